"""The `Estimation` object: a model, its observed data and the priors of its
estimated parameters, evaluated in compiled code.

Estimated are model parameters (``"alp"``), shock standard deviations
(``"stderr e_a"``), measurement-error standard deviations of observed
variables (``"stderr y"``) and correlations (``"corr e_a, e_m"``), named as
a model file's ``estimated_params`` block names them. The likelihood follows
Dynare's conventions: the observed variables minus their steady state, the
Kalman filter started from the unconditional covariance of the state
(``lik_init=1``) or from 10 times the identity over the predetermined and
observed variables (``lik_init=2``); with ``prefilter=1`` the data are
demeaned and the observation equation has no constant; with ``loglinear``
the model is solved in the logs of its variables and the data are logged
(unless ``logdata``); with ``presample=k``
the first k periods are filtered but not counted.
"""

import math
import warnings
from dataclasses import dataclass

import numpy as np
import pandas as pd

from ..errors import EstimationError, EstimationWarning
from .. import priors as pr
from . import data as data_io

#: Options of the `estimation` command this class applies.
OPTIONS = frozenset({"datafile", "nobs", "first_obs", "loglinear", "logdata", "prefilter",
                     "presample", "lik_init", "mode_compute", "mode_file", "mh_replic",
                     "mh_nblocks", "mh_jscale", "mh_drop", "mh_init_scale", "order"})
#: Display options, accepted and ignored.
DISPLAY = frozenset({"nograph", "noprint", "tex", "nodiagnostic", "graph_format"})
#: Dynare's mode_compute values run by each optimiser (0: no optimisation).
NELDER_MEAD = frozenset({7, 8})


@dataclass
class _Item:
    """One estimated thing: its label, kind, names, prior, start and the
    position of its value in the full parameter vector."""

    label: str
    kind: str
    names: tuple
    prior: pr.Prior
    init: float
    index: int = -1


def _label(kind, names):
    if kind == "param":
        return names[0]
    return f"{kind} {', '.join(names)}"


def _parse_label(label):
    label = " ".join(str(label).replace(",", ", ").split()).replace(" ,", ",")
    if label.startswith("stderr "):
        return "stderr", (label[7:].strip(),)
    if label.startswith("corr "):
        names = tuple(n.strip() for n in label[5:].split(","))
        if len(names) != 2 or not all(names):
            raise EstimationError(f"priors: '{label}' should read 'corr A, B'")
        return "corr", names
    return "param", (label,)


class Estimation:
    """A Bayesian estimation problem: model, data, priors and options.

    Made by `Model.estimation`; see there for the arguments.

    Attributes
    ----------
    model : Corvane.Model
    names : list of str
        The estimated things, in `estimated_params` order.
    priors : dict
        Prior of each estimated thing (`Corvane.priors.Prior`).
    data : pandas.DataFrame
        The observations used (after `first_obs` and `nobs`), index kept.
    observables : tuple of str
    options : dict
        The `estimation` options in force.
    """

    def __init__(self, model, data=None, *, priors=None, observables=None, first_obs=1,
                 nobs=None):
        mf = model._source
        command = mf.command("estimation")
        options = dict(command.options) if command is not None else {}
        _check_options(options)
        self.model = model
        self.options = options
        if data is None and "datafile" not in options:
            raise EstimationError("estimation: no data; pass data=... or give the "
                                  "estimation command a datafile")
        if first_obs == 1 and "first_obs" in options:
            first_obs = options["first_obs"]
        if nobs is None and "nobs" in options:
            nobs = options["nobs"]
        self.observables = tuple(observables) if observables is not None else model.observables
        if not self.observables:
            raise EstimationError("estimation: no observed variables; give varobs in the "
                                  "model file or observables=...")
        for v in self.observables:
            if v not in model.endogenous:
                raise EstimationError(f"observables: '{v}' is not an endogenous variable")
        if options.get("order", 1) != 1:
            raise EstimationError(f"estimation: order={options['order']} is not supported; "
                                  "only order=1")
        self.loglinear = bool(options.get("loglinear", False))
        self.prefilter = bool(options.get("prefilter", 0))
        self.lik_init = int(options.get("lik_init", 1))
        if self.lik_init not in (1, 2):
            raise EstimationError(f"estimation: lik_init={self.lik_init} is not supported; "
                                  "1 (unconditional covariance) or 2 (10 times the identity)")

        if data is None:
            directory = mf.directory
            path = options["datafile"]
            from pathlib import Path

            path = Path(path)
            if directory is not None and not path.is_absolute():
                path = Path(directory) / path
            if not path.suffix:
                for suffix in (".m", ".mat", ".csv"):
                    if path.with_suffix(suffix).is_file():
                        path = path.with_suffix(suffix)
                        break
            data = data_io.read_data_file(path)
        frame = data_io.observed_frame(data, self.observables)
        if self.loglinear and not options.get("logdata", False):
            # as Dynare: the model is in logs, so are the data (unless logdata)
            bad = [v for v in self.observables if not (frame[v] > 0).all()]
            if bad:
                raise EstimationError("estimation: loglinear takes the logs of the data, but "
                                      f"{', '.join(bad)} ha{'ve' if len(bad) > 1 else 's'} "
                                      "values <= 0 (give logged data with logdata)")
            frame = np.log(frame)
        self.data = data_io.sample(frame, first_obs, nobs)
        presample = options.get("presample", 0)
        if int(presample) != presample or not 0 <= presample < len(self.data):
            raise EstimationError(f"estimation: presample={presample} must be an integer "
                                  f"from 0 to {len(self.data) - 1} (the number of "
                                  "observations less one)")
        self.presample = int(presample)

        self._items = self._estimated(priors)
        self.names = [it.label for it in self._items]
        self.priors = {it.label: it.prior for it in self._items}
        self._build()

    # -- what is estimated -------------------------------------------------------------
    def _estimated(self, priors):
        mf = self.model._source
        items = []
        if priors is None:
            if not mf.estimated_params:
                raise EstimationError("estimation: nothing to estimate; give an "
                                      "estimated_params block or priors=...")
            inits = {(e.kind, e.names): e.init for e in mf.estimated_params_init}
            for e in mf.estimated_params:
                label = _label(e.kind, e.names)
                if e.prior is None:
                    raise EstimationError(f"estimated_params line {e.line}: '{label}' has no "
                                          "prior; maximum likelihood is not supported")
                try:
                    prior = pr.from_dynare(e.prior, e.prior_mean, e.prior_sd, e.prior_p3,
                                           e.prior_p4)
                except EstimationError as err:
                    raise EstimationError(f"estimated_params line {e.line} ('{label}'): "
                                          f"{err}") from None
                init = inits.get((e.kind, e.names), e.init)
                items.append(_Item(label, e.kind, tuple(e.names), prior,
                                   prior.mean if init is None else float(init)))
        else:
            if not isinstance(priors, dict) or not priors:
                raise EstimationError("priors: a dict of priors by name, e.g. "
                                      "{'rho': Beta(0.9, 0.05), 'stderr e': InvGamma1(0.01, inf)}")
            for label, prior in priors.items():
                if not isinstance(prior, pr.Prior):
                    raise EstimationError(f"priors: '{label}' is {type(prior).__name__}, not a "
                                          "prior from Corvane.priors")
                kind, names = _parse_label(label)
                items.append(_Item(_label(kind, names), kind, names, prior, prior.mean))
        for it in items:
            lo, hi = it.prior.support
            if not lo < it.init < hi:
                raise EstimationError(f"'{it.label}': the initial value {it.init} is outside "
                                      f"the prior's support ({lo:g}, {hi:g})")
        return items

    # -- the compiled target -----------------------------------------------------------
    def _build(self):
        from .._bridge import objective as O
        from .._bridge.estimation import Target

        model = self.model
        dynamic, cm = _compiled(model, self.observables, self.loglinear)
        if dynamic.steady_parameters:
            raise EstimationError("estimation: models whose equations use steady-state "
                                  "values (STEADY_STATE) are not supported")
        values, theta = model._params(None)
        x, p, _ = model._steady(values, theta)
        if self.loglinear:
            levels = dict(zip(model._system(False)[0].variables, x))
            bad = [v for v in model.endogenous if not levels[v] > 0]
            if bad:
                raise EstimationError("estimation: loglinear needs positive steady states; "
                                      + ", ".join(f"{v} = {levels[v]:.6g}" for v in bad))
            x = np.array(dynamic.complete({v: math.log(levels[v]) for v in model.endogenous}))
        params = list(p)
        P = len(params)
        shocks = list(dynamic.exogenous)
        obs = list(self.observables)
        m, k = len(shocks), len(obs)
        S = model.shock_cov.reindex(index=shocks, columns=shocks).to_numpy(dtype=float)
        H = np.zeros((k, k))
        mc = model._measurement_cov
        for i, a in enumerate(obs):
            for j, b in enumerate(obs):
                if a in mc.index and b in mc.index:
                    H[i, j] = mc.loc[a, b]
        sd_s, sd_h = np.sqrt(np.diag(S)), np.sqrt(np.diag(H))
        params += list(sd_s) + list(sd_h)

        def corr(C, sd, i, j):
            return C[i, j] / (sd[i] * sd[j]) if sd[i] > 0 and sd[j] > 0 else 0.0

        pairs = {"shock": {}, "obs": {}}
        for group, C, sd in (("shock", S, sd_s), ("obs", H, sd_h)):
            K = C.shape[0]
            for i in range(K):
                for j in range(i + 1, K):
                    if C[i, j] != 0.0:
                        pairs[group][(i, j)] = len(params)
                        params.append(corr(C, sd, i, j))

        param_index = {name: i for i, name in enumerate(dynamic.parameters)}
        for it in self._items:
            if it.kind == "param":
                name = it.names[0]
                if name not in param_index:
                    raise EstimationError(f"'{it.label}' is not a parameter of the model")
                it.index = param_index[name]
            elif it.kind == "stderr":
                name = it.names[0]
                if name in shocks:
                    it.index = P + shocks.index(name)
                elif name in obs:
                    it.index = P + m + obs.index(name)
                else:
                    raise EstimationError(f"'{it.label}': '{name}' is neither a shock nor an "
                                          "observed variable")
            else:
                a, b = it.names
                if a in shocks and b in shocks:
                    group, i, j = "shock", shocks.index(a), shocks.index(b)
                elif a in obs and b in obs:
                    group, i, j = "obs", obs.index(a), obs.index(b)
                else:
                    raise EstimationError(f"'{it.label}': both names must be shocks, or both "
                                          "observed variables")
                if i == j:
                    raise EstimationError(f"'{it.label}': a correlation of two names")
                key = (min(i, j), max(i, j))
                if key not in pairs[group]:
                    pairs[group][key] = len(params)
                    params.append(0.0)
                it.index = pairs[group][key]
        seen = {}
        for it in self._items:
            if it.index in seen:
                raise EstimationError(f"'{it.label}' and '{seen[it.index]}' are the same "
                                      "estimated value")
            seen[it.index] = it.label
        params = np.array(params, dtype=float)
        for it in self._items:
            params[it.index] = it.init

        rows = [it.prior.plan_row() for it in self._items]
        d = len(rows)
        self._codes = [r[2] for r in rows]
        self._tparams = np.array([r[3] for r in rows])
        plan = {
            "scalar_indices": np.arange(d),
            "scalar_dist_codes": [r[0] for r in rows],
            "scalar_transform_codes": self._codes,
            "scalar_dist_params": np.array([r[1] for r in rows]),
            "scalar_transform_params": self._tparams,
        }
        scatter = [(i, it.index, rows[i][2], tuple(rows[i][3])) for i, it in
                   enumerate(self._items)]
        shock_spec = O.cov_pairs(np.arange(P, P + m),
                                 [(i, j, ix) for (i, j), ix in pairs["shock"].items()])
        obs_spec = O.cov_pairs(np.arange(P + m, P + m + k),
                               [(i, j, ix) for (i, j), ix in pairs["obs"].items()])
        P0 = None
        if self.lik_init == 2:
            n = len(dynamic.variables)
            mask = np.zeros(n)
            mask[:dynamic.nx] = 1.0
            for v in obs:
                mask[list(dynamic.variables).index(v)] = 1.0
            P0 = 10.0 * np.diag(mask)
        observed = self.data.to_numpy()
        if self.prefilter:
            # Dynare's prefilter: each series minus its sample mean, no constant
            observed = observed - observed.mean(axis=0)
        self._target = Target(cm, params, x, observed, scatter, shock_spec, obs_spec, plan,
                              lik_init=1 if self.lik_init == 1 else 0, P0=P0,
                              prefilter=self.prefilter, presample=self.presample)
        self._init = np.array([it.init for it in self._items])

    # -- conversions ---------------------------------------------------------------------
    def _to_theta(self, x):
        from .._bridge.estimation import transform

        return transform(self._codes, self._tparams, x, "fwd")

    def _to_params(self, theta):
        from .._bridge.estimation import transform

        return transform(self._codes, self._tparams, theta, "inv")

    def _values(self, params, argument="params"):
        """Constrained values in estimation order from a dict or Series."""
        if isinstance(params, pd.Series):
            params = params.to_dict()
        if not isinstance(params, dict):
            raise EstimationError(f"{argument}: a dict or Series of values by name "
                                  f"({', '.join(self.names)})")
        given = {}
        for label, v in params.items():
            kind, names = _parse_label(label)
            given[_label(kind, names)] = float(v)
        unknown = [lb for lb in given if lb not in self.priors]
        if unknown:
            raise EstimationError(f"{argument}: {', '.join(unknown)} not estimated; the "
                                  f"estimated are {', '.join(self.names)}")
        missing = [lb for lb in self.names if lb not in given]
        if missing:
            raise EstimationError(f"{argument}: no value for {', '.join(missing)}")
        x = np.array([given[lb] for lb in self.names])
        for label, v in zip(self.names, x):
            lo, hi = self.priors[label].support
            if not lo < v < hi:
                raise EstimationError(f"{argument}: '{label}' = {v} is outside the prior's "
                                      f"support ({lo:g}, {hi:g})")
        return x

    def _theta_of(self, params, argument="params"):
        return self._to_theta(self._values(params, argument))

    # -- evaluation ----------------------------------------------------------------------
    def log_posterior(self, params):
        """Log posterior density of the parameters (log-likelihood plus log
        prior density), -inf where the model has no stable solution.

        Parameters
        ----------
        params : dict or pandas.Series
            A value for every estimated name.
        """
        return self._target.logpost(self._theta_of(params))

    def log_likelihood(self, params):
        """Log-likelihood of the data at `params` (dict or Series)."""
        return self._target.loglik(self._theta_of(params))

    def log_prior(self, params):
        """Log prior density of the parameters at `params` (dict or Series)."""
        return self._target.logprior(self._theta_of(params))

    @property
    def initial(self):
        """The starting values (Series): `estimated_params` initial values, else
        prior means."""
        return pd.Series(self._init, index=self.names, name="initial")

    # -- mode --------------------------------------------------------------------------
    def find_mode(self, method=None, start=None):
        """The posterior mode of the parameters.

        Parameters
        ----------
        method : {"lbfgsb", "neldermead", None}
            The compiled optimiser (over the unconstrained transforms of the
            parameters; the maximised density is that of the parameters).
            None: as the file's ``mode_compute`` (0: no optimisation, the
            result is at the start; 7 or 8: "neldermead"; else "lbfgsb").
        start : dict or Series, optional
            Starting values; default the values of the file's ``mode_file``,
            else the initial values.

        Returns
        -------
        ModeResult
        """
        from .results import ModeResult, hessian

        if method is None:
            method = _file_method(self.options)
        if method not in ("lbfgsb", "neldermead", "none"):
            raise EstimationError(f"find_mode: method must be 'lbfgsb' or 'neldermead', "
                                  f"got {method!r}")
        if start is not None:
            x0 = self._values(start, "start")
        elif "mode_file" in self.options:
            x0 = self._values(self._mode_file(), "mode_file")
        else:
            x0 = self._init
        theta0 = self._to_theta(x0)
        value = self._target.logpost(theta0)
        if not np.isfinite(value):
            raise EstimationError("find_mode: the log posterior is not finite at the start "
                                  "(the model has no stable solution there)")
        if method == "none":
            theta, converged, message, nfev, nit = theta0, True, "no optimisation", 1, 0
        else:
            theta, value, converged, message, nfev, nit = self._target.minimise(theta0, method)
        if method == "neldermead":
            # polish: Nelder-Mead's simplex stops on coarse tolerances
            theta2, value2, conv2, message2, nfev2, nit2 = self._target.minimise(theta, "lbfgsb")
            if value2 >= value:
                theta, value, converged, message = theta2, value2, conv2 or converged, message
            nfev += nfev2
        x = x0 if method == "none" else self._to_params(theta)
        H, repaired = hessian(self._neg_logpost_params, x, self._supports())
        if repaired:
            warnings.warn("find_mode: the Hessian of minus the log posterior at the mode is not "
                          "positive definite; it was repaired (negative eigenvalues made "
                          "positive) and the standard deviations and the Laplace "
                          "approximation use the repaired matrix", EstimationWarning,
                          stacklevel=2)
        return ModeResult(self, x, theta, value, H, converged, message, nfev, nit, repaired)

    def _mode_file(self):
        """Values by name from the `mode_file` option: a .mat file as Dynare
        writes it (xparam1, and parameter_names when present; stderr values
        are named by their variable)."""
        from pathlib import Path

        from scipy.io import loadmat

        path = Path(str(self.options["mode_file"]))
        directory = self.model._source.directory
        if directory is not None and not path.is_absolute():
            path = Path(directory) / path
        if not path.suffix:
            path = path.with_suffix(".mat")
        if not path.is_file():
            raise EstimationError(f"mode_file: no file {path}")
        content = loadmat(path)
        if "xparam1" not in content:
            raise EstimationError(f"mode_file: {path.name} has no xparam1")
        values = np.asarray(content["xparam1"], dtype=float).ravel()
        if "parameter_names" not in content:
            if len(values) != len(self.names):
                raise EstimationError(f"mode_file: {len(values)} values for "
                                      f"{len(self.names)} estimated parameters")
            return dict(zip(self.names, values))
        raw = [str(np.asarray(c).ravel()[0]).strip() if np.asarray(c).size else ""
               for c in np.asarray(content["parameter_names"], dtype=object).ravel()]
        named = {}
        for name, v in zip(raw, values):
            if name in self.priors:
                named[name] = v
            elif "," in name:
                named[_label("corr", tuple(n.strip() for n in name.split(",")))] = v
            else:
                named[f"stderr {name}"] = v
        return named

    def _supports(self):
        return [self.priors[n].support for n in self.names]

    def _neg_logpost_params(self, x):
        """Minus the log posterior of the parameters at each row of x."""
        theta = self._to_theta(np.atleast_2d(x))
        return np.array([-self._target.logpost(t) for t in theta])

    def _neg_logpost_theta(self, theta):
        return np.array([-self._target.logpost(t, jacobian=True) for t in np.atleast_2d(theta)])

    # -- sampling ------------------------------------------------------------------------
    def sample(self, draws=None, chains=None, burn=None, scale=None, seed=None, start="mode",
               progress=True, mode=None):
        """Random-walk Metropolis from the posterior mode.

        Parameters
        ----------
        draws : int
            Iterations per chain, burn-in included (``mh_replic``; default 20000).
        chains : int
            Chains (``mh_nblocks``; default 2), run in parallel on threads.
        burn : float
            Share of each chain dropped as burn-in (``mh_drop``; default 0.5).
        scale : float
            The proposal is N(0, scale^2 Sigma) with Sigma the inverse Hessian
            of minus the log posterior at the mode, in the unconstrained
            transforms (``mh_jscale``; default 2.38 / sqrt(number of
            parameters)).
        seed : int, optional
            Chain c draws from the Philox stream keyed by (seed, c): a run is
            reproducible from its seed whatever the number of cores.
        start : "mode" or dict
            "mode": each chain starts at the mode displaced by
            ``mh_init_scale`` (default 2 scale) times a standard normal in the
            proposal's metric; a dict or Series: every chain starts there.
        progress : bool
            A tqdm progress bar when tqdm is installed and stderr is a terminal.
        mode : ModeResult, optional
            A mode already found (else `find_mode()` is run).

        Returns
        -------
        Posterior
        """
        from .results import run_chains

        o = self.options
        draws = int(o.get("mh_replic", 20000) if draws is None else draws)
        chains = int(o.get("mh_nblocks", 2) if chains is None else chains)
        burn = float(o.get("mh_drop", 0.5) if burn is None else burn)
        d = len(self.names)
        if scale is None:
            scale = float(o.get("mh_jscale", 2.38 / math.sqrt(d)))
        init_scale = float(o.get("mh_init_scale", 2.0 * scale))
        if draws < 2 or chains < 1:
            raise EstimationError("sample: draws must be at least 2 and chains at least 1")
        if not 0.0 <= burn < 1.0:
            raise EstimationError(f"sample: burn is a share in [0, 1), got {burn}")
        if not scale > 0:
            raise EstimationError(f"sample: scale must be positive, got {scale}")
        if mode is None:
            mode = self.find_mode(_file_method(o))
        if seed is None:
            seed = int(np.random.SeedSequence().entropy) & (2**63 - 1)
        start_theta = None
        if not (isinstance(start, str) and start == "mode"):
            start_theta = self._theta_of(start, "start")
        return run_chains(self, mode, draws, chains, burn, scale, init_scale, int(seed),
                          start_theta, progress)

    def __repr__(self):
        lines = [f"Estimation of model '{self.model.name}': {len(self.names)} estimated, "
                 f"{len(self.data)} observations of {', '.join(self.observables)}"]
        for name in self.names:
            lines.append(f"  {name:<20} {self.priors[name]!r}")
        return "\n".join(lines)


def _file_method(options):
    mc = options.get("mode_compute", 4)
    if mc == 0:
        return "none"
    return "neldermead" if mc in NELDER_MEAD else "lbfgsb"


def _check_options(options):
    unknown = sorted(k for k in options if k not in OPTIONS and k not in DISPLAY)
    if unknown:
        raise EstimationError("estimation: option" + ("s " if len(unknown) > 1 else " ")
                              + ", ".join(unknown) + (" are" if len(unknown) > 1 else " is")
                              + " not supported; the supported options are "
                              + ", ".join(sorted(OPTIONS | DISPLAY)))


def _compiled(model, observables, loglinear=False):
    """(Dynamic, CompiledModel) of the level (or log) system with these observables."""
    dynamic, cm = model._compiled(bool(loglinear))
    if tuple(observables) == tuple(model.observables):
        return dynamic, cm
    key = ("estimation observables", tuple(observables), bool(loglinear))
    if key not in model._shared:
        import dataclasses

        from .._bridge.compiler import compile_model
        from ..model.symbols import timed

        spec = dataclasses.replace(cm.spec, name=cm.spec.name + "_obs" + str(abs(hash(key))),
                                   observables=tuple(timed(v) for v in observables))
        model._shared[key] = compile_model(spec)
    return dynamic, model._shared[key]
