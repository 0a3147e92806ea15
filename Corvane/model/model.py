"""The `Model` object: a model's equations, calibration and shocks, by name."""

import math
import numbers
import os
import textwrap
from collections.abc import Mapping, Sequence
from pathlib import Path

import numpy as np
import pandas as pd
import sympy

from ..errors import ModelError, SolutionError, SteadyStateError
from . import source as src
from .symbols import timed
from .timing import prepare

#: Largest steady-state residual (maximum norm) accepted from a closed form or
#: a Python callable.
STEADY_STATE_TOL = 1e-8
#: How many equations a SteadyStateError lists.
WORST = 5


def _is_text(source):
    return isinstance(source, str) and ("\n" in source or ";" in source)


def _names(value, argument, *, allow_empty=True):
    """A tuple of distinct identifier strings from a sequence, or ModelError."""
    if isinstance(value, str) or not isinstance(value, Sequence):
        raise ModelError(f"{argument} must be a list of names, got {type(value).__name__}")
    names = tuple(value)
    for name in names:
        if not isinstance(name, str) or not name.isidentifier():
            raise ModelError(f"{argument}: {name!r} is not a valid name")
    if len(set(names)) != len(names):
        dup = sorted({n for n in names if names.count(n) > 1})
        raise ModelError(f"{argument}: {', '.join(dup)} listed more than once")
    if not names and not allow_empty:
        raise ModelError(f"{argument} is empty")
    return names


def _number(value, what):
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise ModelError(f"{what} must be a real number, got {type(value).__name__} {value!r}")
    return float(value)


def _covariance(block, exogenous):
    """The shock covariance matrix of a `ShockBlock` (undeclared shocks 0)."""
    m = len(exogenous)
    index = {e: i for i, e in enumerate(exogenous)}
    cov = np.zeros((m, m))
    for e, v in block.variances.items():
        cov[index[e], index[e]] = v
    for (a, b), c in block.covariances.items():
        cov[index[a], index[b]] = cov[index[b], index[a]] = c
    for (a, b), r in block.correlations.items():
        i, j = index[a], index[b]
        cov[i, j] = cov[j, i] = r * math.sqrt(cov[i, i] * cov[j, j])
    return cov


def _check_covariance(cov, what):
    if not np.all(np.isfinite(cov)):
        raise ModelError(f"{what}: entries must be finite")
    if not np.allclose(cov, cov.T, rtol=0, atol=1e-14 * max(1.0, np.abs(cov).max(initial=0))):
        raise ModelError(f"{what} is not symmetric")
    if cov.size and np.linalg.eigvalsh(cov).min() < -1e-12 * max(1.0, np.abs(cov).max()):
        raise ModelError(f"{what} is not positive semi-definite")


class Model:
    """A DSGE model: equations, variables, shocks, parameters and calibration.

    Build one from a model file with `Model.from_mod`, or from Python::

        model = Corvane.Model(
            ["c + k = exp(a) * k(-1)^alpha",
             "1/c = beta * alpha * exp(a(+1)) * k^(alpha - 1) / c(+1)",
             "a = rho * a(-1) + e"],
            endogenous=["k", "a", "c"], exogenous=["e"],
            parameters={"alpha": 0.36, "beta": 0.96, "rho": 0.9},
            initval={"k": 0.2, "c": 0.4}, shocks={"e": 0.01})
        model.steady_state()          # pandas Series, levels
        sol = model.solve(order=2)    # Corvane.Solution

    Parameters
    ----------
    equations : list of str
        Equations in the model-file syntax (`lhs = rhs` or an expression equal
        to zero); `# name = expr` lines define model-local variables and
        `[name='...']` tags name the equation that follows.
    endogenous, exogenous : list of str
        Variables and shocks, in declared order.
    parameters : dict
        Parameter values by name (None for a parameter without a value yet).
    steady_state : callable, dict or list of str, optional
        A closed form: ordered assignments as `"name = expr"` strings or a
        dict `{name: expr or number}`, in parameters and earlier names; or a
        callable taking the parameter dict and returning the levels of every
        endogenous variable by name. Without it, Newton's method from
        `initval`.
    initval : dict, optional
        Starting values of Newton's method (levels; 0 where not given).
    shocks : dict or pandas.DataFrame, optional
        Standard deviations by shock name (shocks not named have variance 0),
        or the covariance matrix labelled by shock names.
    observables : list of str, optional
        Observed endogenous variables (as `varobs`).
    predetermined : list of str, optional
        Variables written with the `predetermined_variables` timing.
    name : str, optional
        Name used in messages and in the generated code.
    """

    def __init__(self, equations, endogenous, exogenous=(), parameters=None, steady_state=None,
                 initval=None, shocks=None, observables=(), *, predetermined=(), name="model"):
        from .reader import parse_equations

        endogenous = _names(endogenous, "endogenous", allow_empty=False)
        exogenous = _names(exogenous, "exogenous")
        if parameters is None:
            parameters = {}
        if not isinstance(parameters, Mapping):
            raise ModelError("parameters must be a dict of values by name, got "
                             f"{type(parameters).__name__}")
        param_names = _names(list(parameters), "parameters")
        if isinstance(equations, str) or not isinstance(equations, Sequence):
            raise ModelError("equations must be a list of strings, got "
                             f"{type(equations).__name__}")
        for i, eq in enumerate(equations):
            if not isinstance(eq, str):
                raise ModelError(f"equations[{i}] must be a string, got {type(eq).__name__}")
        _clashes(endogenous, exogenous, param_names)

        mf = src.ModFile()
        mf.endogenous = [src.Declaration(v) for v in endogenous]
        mf.exogenous = [src.Declaration(e) for e in exogenous]
        mf.parameters = [src.Declaration(p) for p in param_names]
        for p, v in parameters.items():
            if v is not None:
                mf.param_values[p] = _number(v, f"parameters['{p}']")
        mf.equations = list(parse_equations(list(equations), endogenous, exogenous,
                                            param_names))
        mf.predetermined = list(_names(predetermined, "predetermined"))
        if initval is not None:
            if not isinstance(initval, Mapping):
                raise ModelError("initval must be a dict of values by name, got "
                                 f"{type(initval).__name__}")
            for v, x in initval.items():
                mf.initval[v] = _number(x, f"initval['{v}']")
        mf.varobs = list(_names(observables, "observables"))
        callable_ss = None
        if callable(steady_state):
            callable_ss = steady_state
        elif steady_state is not None:
            mf.steady_state_model = _assignments(steady_state, param_names)
        cov = None
        if shocks is not None:
            cov = _shock_matrix(shocks, exogenous)
        self._setup(mf, name=name, shock_cov=cov, steady_callable=callable_ss)

    # -- construction ------------------------------------------------------------
    @classmethod
    def from_mod(cls, source):
        """Read a model file: a path (str or pathlib.Path), or the file's text.

        A string containing a newline or a ';' is the text itself; data files
        it names are then found relative to the working directory.
        """
        from .reader import read_mod, read_mod_file

        if isinstance(source, Path) or (isinstance(source, str) and not _is_text(source)):
            path = Path(source)
            if not path.is_file():
                raise ModelError(f"no model file at '{path}'")
            mf = read_mod_file(path)
            name = path.stem
        elif isinstance(source, str):
            mf = read_mod(source, directory=Path(os.getcwd()))
            name = "model"
        else:
            raise ModelError("Model.from_mod takes a path or the text of a model file, got "
                             f"{type(source).__name__}")
        model = cls.__new__(cls)
        model._setup(mf, name=name)
        return model

    def _setup(self, mf, *, name, shock_cov=None, steady_callable=None):
        self._source = mf
        self.name = name
        self._endogenous = tuple(d.name for d in mf.endogenous)
        self._exogenous = tuple(d.name for d in mf.exogenous)
        self._param_names = tuple(d.name for d in mf.parameters)
        _clashes(self._endogenous, self._exogenous, self._param_names)
        n, k = len(self._endogenous), len(mf.equations)
        if n != k:
            raise ModelError(f"model '{name}' has {k} equation{'s' * (k != 1)} for {n} "
                             f"endogenous variable{'s' * (n != 1)} "
                             f"({', '.join(self._endogenous)}); the counts must match")
        values = {p: None for p in self._param_names}
        for entries in (mf.estimated_params, mf.estimated_params_init):
            for ep in entries:
                if ep.kind == "param" and ep.init is not None and ep.names[0] in values:
                    values[ep.names[0]] = float(ep.init)
        for p, v in mf.param_values.items():
            if p in values:
                values[p] = float(v)
        self._values = values
        for v in mf.initval:
            if v not in self._endogenous:
                where = "a shock (shocks have steady state 0)" if v in self._exogenous else \
                    "not an endogenous variable"
                raise ModelError(f"initval: '{v}' is {where}")
        for v in mf.varobs:
            if v not in self._endogenous:
                raise ModelError(f"observables: '{v}' is not an endogenous variable")
        if shock_cov is None:
            shock_cov = _covariance(_checked_shocks(mf.shocks, self._exogenous),
                                    self._exogenous)
        _check_covariance(shock_cov, "the shock covariance")
        self._shock_cov = shock_cov
        self._steady_callable = steady_callable
        if mf.steady_state_model is not None:
            self._steady_assignments = _closed_form(mf.steady_state_model, self._endogenous,
                                                    self._param_names)
        else:
            self._steady_assignments = None
        self._labels = [eq.label for eq in mf.equations]
        self._measurement_cov = _measurement(mf.shocks, list(mf.varobs))
        # dynamic systems and their compiled code, by loglinear flag; shared by
        # the models with_parameters makes
        self._shared = {}
        self._theta = None
        self._system(False)     # checks names and timing now

    # -- names and values ----------------------------------------------------------
    @property
    def endogenous(self):
        """Endogenous variables in declared order (tuple)."""
        return self._endogenous

    @property
    def exogenous(self):
        """Shocks in declared order (tuple)."""
        return self._exogenous

    @property
    def observables(self):
        """Observed endogenous variables (tuple), as `varobs`."""
        return tuple(self._source.varobs)

    @property
    def auxiliary(self):
        """Auxiliary variables the solvers add for leads and lags beyond one and
        for shocks at other dates (tuple of names); results leave them out
        unless asked."""
        return tuple(a.name for a in self._system(False)[0].auxiliary)

    @property
    def parameters(self):
        """Parameter values by name (a new dict; None where no value is set)."""
        return dict(self._values)

    @property
    def shock_cov(self):
        """Covariance matrix of the shocks (DataFrame labelled by shock names)."""
        return pd.DataFrame(self._shock_cov.copy(), index=list(self._exogenous),
                            columns=list(self._exogenous))

    @property
    def equations(self):
        """The model's equations as written (list of str)."""
        return [eq.text or f"{sympy.sstr(eq.lhs)} = {sympy.sstr(eq.rhs)}"
                for eq in self._source.equations]

    @property
    def source(self):
        """What the reader kept from the model file (`Corvane.model.source.ModFile`)."""
        return self._source

    def with_parameters(self, **values):
        """A new model with some parameter values changed (sharing compiled code)."""
        new = object.__new__(type(self))
        new.__dict__.update(self.__dict__)
        new._values = self._merged(values, "with_parameters")
        new._theta = None
        return new

    def _merged(self, values, argument):
        if values is None:
            return self._values
        if isinstance(values, pd.Series):
            values = values.to_dict()
        if not isinstance(values, Mapping):
            raise ModelError(f"{argument} must be a dict of parameter values by name, got "
                             f"{type(values).__name__}")
        merged = dict(self._values)
        for p, v in values.items():
            if p not in merged:
                raise ModelError(f"{argument}: unknown parameter '{p}'; the model's parameters "
                                 f"are {', '.join(self._param_names) or '(none)'}")
            merged[p] = _number(v, f"{argument}: parameter '{p}'")
        return merged

    def _vector(self, values):
        """Declared parameter vector; ModelError naming parameters without values."""
        missing = [p for p, v in values.items() if v is None]
        if missing:
            raise ModelError(
                f"model '{self.name}': parameter{'s' * (len(missing) > 1)} "
                f"{', '.join(missing)} ha{'ve' if len(missing) > 1 else 's'} no value; give "
                "one in the model file, in parameters=..., or with with_parameters(...)")
        return np.array([values[p] for p in self._param_names], dtype=float)

    def _params(self, params):
        if params is None:
            if self._theta is None:
                self._theta = self._vector(self._values)
            return self._values, self._theta
        values = self._merged(params, "params")
        return values, self._vector(values)

    # -- symbolic system and compiled code ---------------------------------------
    def _system(self, loglinear):
        """(Dynamic, CompiledModel or None) for the level or log system; the
        compiled code is built on first use."""
        key = bool(loglinear)
        if key not in self._shared:
            mf = self._source
            dynamic = prepare([eq.residual for eq in mf.equations], self._endogenous,
                              self._exogenous, self._param_names,
                              predetermined=mf.predetermined, loglinear=key,
                              labels=self._labels)
            self._shared[key] = [dynamic, None]
            if not key:
                self._shared["steady_index"] = [dynamic.variables.index(v)
                                                for _, v in dynamic.steady_parameters]
        return self._shared[key]

    def _compiled(self, loglinear):
        entry = self._system(loglinear)
        if entry[1] is None:
            from .._bridge.codegen import ModelSpec
            from .._bridge.compiler import compile_model

            dynamic = entry[0]
            closed = None
            if not loglinear and self._steady_assignments is not None:
                closed = dynamic.steady_assignments(self._steady_assignments)
            spec = ModelSpec(
                name=self.name + ("_log" if loglinear else ""),
                variables=dynamic.variables, shocks=dynamic.exogenous,
                parameters=dynamic.parameters, equations=dynamic.equations,
                flags=dynamic.flags,
                observables=tuple(timed(v) for v in self._source.varobs),
                steady_state=closed)
            entry[1] = compile_model(spec)
        return entry

    # -- steady state ------------------------------------------------------------
    def steady_state(self, params=None):
        """The deterministic steady state in levels (Series by variable name).

        From the closed form (`steady_state_model` or `steady_state=`) if the
        model has one, else Newton's method from `initval`. `params` changes
        parameter values for this call only. Raises SteadyStateError listing
        the worst equations when the residuals are not small.
        """
        values, theta = self._params(params)
        dynamic = self._system(False)[0]
        x, _, _ = self._steady(values, theta)
        return pd.Series(x[[dynamic.variables.index(v) for v in self._endogenous]],
                         index=list(self._endogenous), name="steady state")

    def _steady(self, values, theta, check=True):
        """Level steady state in solver order, the full parameter vector
        (declared parameters, then the STEADY_STATE_x values) and where it
        came from. With check=False the closed form and the callable are not
        checked and Newton's method is left to the solver (`source` None: x is
        the initval guess), for `solve` to check the solver's steady state."""
        dynamic, cm = self._compiled(False)
        where = self._shared["steady_index"]

        def full(x):
            return np.concatenate([theta, x[where]]) if where else theta

        if self._steady_callable is not None:
            levels = self._steady_callable(dict(values))
            x = np.array(dynamic.complete(self._callable_levels(levels)), dtype=float)
            source = "the steady_state callable"
        elif self._steady_assignments is not None:
            # the closed form reads only the declared parameters
            x = np.asarray(cm.steady_state(full(np.zeros(len(dynamic.variables)))), dtype=float)
            source = "the closed-form steady state"
        else:
            guess = np.array(dynamic.complete(
                {v: self._source.initval.get(v, 0.0) for v in self._endogenous}), dtype=float)
            if not check and not where:
                return guess, theta, None
            x, p = self._newton(dynamic, cm, theta, guess, where)
            return x, p, "Newton's method from initval"
        if check:
            self._check_residuals(dynamic, cm, x, full(x), source)
        return x, full(x), source

    def _callable_levels(self, levels):
        if isinstance(levels, pd.Series):
            levels = levels.to_dict()
        if not isinstance(levels, Mapping):
            raise ModelError("the steady_state callable must return a dict or Series of "
                             f"values by variable name, got {type(levels).__name__}")
        unknown = [v for v in levels if v not in self._endogenous]
        if unknown:
            raise ModelError("the steady_state callable returned values for "
                             f"{', '.join(map(str, unknown))}, not endogenous variables")
        missing = [v for v in self._endogenous if v not in levels]
        if missing:
            raise ModelError("the steady_state callable returned no value for "
                             f"{', '.join(missing)}")
        return {v: _number(levels[v], f"steady state of '{v}'") for v in self._endogenous}

    def _newton(self, dynamic, cm, theta, guess, where):
        from .._bridge.solve import newton

        if not where:
            result = newton(cm, theta, guess)
            x = np.asarray(result.x, dtype=float)
            if not result.converged:
                finite = np.all(np.isfinite(cm.residuals(x, theta)))
                why = ("singular Jacobian" if result.status == -901 else
                       "residuals not finite" if not finite else
                       f"no convergence in {result.iterations} iterations")
                self._raise_residuals(dynamic, cm, x, theta,
                                      f"Newton's method from initval failed ({why})")
            return x, theta
        x = _newton_steady_operator(dynamic, theta, guess)
        if x is None:
            self._raise_residuals(dynamic, cm, guess, np.concatenate([theta, guess[where]]),
                                  "Newton's method from initval failed (no convergence)")
        p = np.concatenate([theta, x[where]])
        self._check_residuals(dynamic, cm, x, p, "Newton's method from initval")
        return x, p

    def _check_residuals(self, dynamic, cm, x, theta, source):
        resid = np.asarray(cm.residuals(x, theta), dtype=float)
        worst = np.max(np.abs(resid), initial=0.0)
        if not worst < STEADY_STATE_TOL:
            self._raise_residuals(dynamic, cm, x, theta,
                                  f"{source} does not solve the model's equations",
                                  resid=resid)

    def _raise_residuals(self, dynamic, cm, x, theta, message, resid=None):
        if resid is None:
            resid = np.asarray(cm.residuals(x, theta), dtype=float)
        mf = self._source
        labels, texts = [], []
        for i in range(len(resid)):
            if i < len(mf.equations):
                eq = mf.equations[i]
                labels.append(eq.label)
                texts.append(eq.text or f"{sympy.sstr(eq.lhs)} = {sympy.sstr(eq.rhs)}")
            else:
                a = dynamic.auxiliary[i - len(mf.equations)]
                labels.append(f"auxiliary equation {a.name}")
                texts.append(a.definition)
        magnitude = np.where(np.isnan(resid), np.inf, np.abs(resid))
        order = np.argsort(-magnitude, kind="stable")[:WORST]
        order = [i for i in order if magnitude[i] >= STEADY_STATE_TOL] or list(order[:1])
        lines = [f"  {labels[i]}: {texts[i]}   residual {resid[i]:.3e}" for i in order]
        point = ", ".join(f"{v} = {x[dynamic.variables.index(v)]:.6g}" for v in self._endogenous)
        table = pd.Series(resid[order], index=[labels[i] for i in order], name="residual")
        raise SteadyStateError(
            f"model '{self.name}': {message}; largest residuals at {point}:\n"
            + "\n".join(lines), residuals=table)

    # -- solution ----------------------------------------------------------------
    def solve(self, order=1, params=None, loglinear=None, auxiliary=False):
        """Solve the model to first or second order around its steady state.

        Parameters
        ----------
        order : {1, 2}
        params : dict, optional
            Parameter values for this solution only.
        loglinear : bool, optional
            Solve in the logs of every endogenous variable (steady state and
            decision rules then in logs). None takes the `loglinear` option of
            the file's `stoch_simul` or `estimation` command, else False.
        auxiliary : bool
            Include the auxiliary variables in the rows of the results.

        Returns
        -------
        Corvane.Solution
        """
        if isinstance(order, bool) or order not in (1, 2):
            raise ModelError(f"solve: order must be 1 or 2, got {order!r}")
        if loglinear is None:
            loglinear = self._file_loglinear()
        elif not isinstance(loglinear, (bool, np.bool_)):
            raise ModelError(f"solve: loglinear must be True, False or None, got {loglinear!r}")
        dynamic, cm, x, p, source = self._point(params, bool(loglinear))
        bridge, solution_class = _late_imports()
        solver = bridge.first_order if order == 1 else bridge.second_order
        try:
            result = solver(cm, p, self._shock_cov, x)
        except SolutionError as err:
            if err.status in (-501, -502):
                start = f"{source} is not a steady state and Newton's method from it" \
                    if source else "Newton's method from initval"
                self._raise_residuals(dynamic, cm, x, p,
                                      f"{start} failed ({err.status_message})")
            raise
        first = result if order == 1 else result.first
        if source is not None and not loglinear and first.ss.tobytes() != x.tobytes():
            if not np.all(np.abs(first.ss - x) <= STEADY_STATE_TOL * (1.0 + np.abs(x))):
                self._check_residuals(dynamic, cm, x, p, source)
        second = None if order == 1 else result
        return solution_class(model=self, dynamic=dynamic, compiled=cm, params=p, first=first,
                              second=second, order=order, loglinear=bool(loglinear),
                              shock_cov=self._shock_cov,
                              layout=self._layout(loglinear, auxiliary))

    def _point(self, params, loglinear):
        """(dynamic, compiled, x, p, source): the system solved, its compiled
        code, the solver's starting point, the full parameter vector and where
        x came from. Kept for the last parameter vector of each loglinear flag
        (shared with the models with_parameters makes: it depends on the
        parameter values only), except when a Python callable gives the
        steady state, which is called on every solve."""
        values, theta = self._params(params)
        key = theta.tobytes()
        kept = self._shared.setdefault("points", {})
        entry = kept.get(loglinear)
        if entry is not None and entry[0] == key:
            return entry[1]
        if loglinear:
            # the level steady state, checked, in logs
            x, p, source = self._steady(values, theta)
            dynamic = self._system(False)[0]
            levels = {v: x[dynamic.variables.index(v)] for v in self._endogenous}
            # Newton can leave a zero steady state as a tiny positive number:
            # below 1e-10 of the model's scale (or absolute) counts as zero
            scale = max((abs(lv) for lv in levels.values() if math.isfinite(lv)), default=1.0)
            tiny = 1e-10 * max(1.0, scale)
            bad = [v for v, level in levels.items() if not level > tiny]
            if bad:
                raise SteadyStateError(
                    f"model '{self.name}': a loglinear model needs strictly positive steady "
                    "states; " + ", ".join(
                        f"{v} = {levels[v]:.6g}" + (" (effectively zero)" if levels[v] > 0 else "")
                        for v in bad))
            dynamic, cm = self._compiled(True)
            x = np.array(dynamic.complete({v: math.log(lv) for v, lv in levels.items()}))
            where = [dynamic.variables.index(v) for _, v in dynamic.steady_parameters]
            p = np.concatenate([theta, x[where]]) if where else theta
        else:
            # the solver's Newton step starts from x: a closed form that is a
            # steady state leaves it unmoved, which is checked after the solve
            x, p, source = self._steady(values, theta, check=False)
            dynamic, cm = self._compiled(False)
        point = (dynamic, cm, np.array(x, dtype=float), np.array(p, dtype=float), source)
        if self._steady_callable is None:
            point[2].flags.writeable = point[3].flags.writeable = False
            kept[loglinear] = (key, point)
        return point

    def estimation(self, data=None, *, priors=None, observables=None, first_obs=1, nobs=None):
        """A Bayesian estimation problem of this model.

        With no arguments everything comes from the model file: the
        `estimated_params` block (priors and initial values), `varobs` and the
        `estimation(...)` command's options (`datafile`, found relative to the
        model file, `first_obs`, `nobs`, `lik_init`, `mode_compute`,
        `mh_replic`, `mh_nblocks`, `mh_jscale`, `mh_drop`, `mh_init_scale`).

        Parameters
        ----------
        data : pandas.DataFrame, numpy.ndarray or dict, optional
            Observations, a column per observed variable (an array in the
            order of `observables`); a DataFrame's index is kept in results.
        priors : dict, optional
            Prior of each estimated thing by name: ``{"rho": Beta(0.9, 0.05),
            "stderr e": InvGamma1(0.01, inf), "corr e, u": ...}`` (see
            `Corvane.priors`); replaces the file's `estimated_params`.
        observables : sequence of str, optional
            Observed variables (default `varobs`).
        first_obs : int
            First observation used, 1-based.
        nobs : int, optional
            Number of observations used (default: all from `first_obs`).

        Returns
        -------
        Corvane.estimation.Estimation
        """
        from ..estimation import Estimation

        return Estimation(self, data, priors=priors, observables=observables,
                          first_obs=first_obs, nobs=nobs)

    def _layout(self, loglinear, auxiliary):
        """Rows of the reported variables in solver order, kept per model."""
        key = ("layout", bool(loglinear), bool(auxiliary))
        if key not in self._shared:
            dynamic = self._system(loglinear)[0]
            reported = dynamic.endogenous + (tuple(a.name for a in dynamic.auxiliary)
                                             if auxiliary else ())
            position = {v: i for i, v in enumerate(dynamic.variables)}
            self._shared[key] = (reported, np.array([position[v] for v in reported],
                                                    dtype=np.intp))
        return self._shared[key]

    def _file_loglinear(self):
        for cmd in reversed(self._source.commands):
            if cmd.name in ("stoch_simul", "estimation"):
                return bool(cmd.options.get("loglinear", False))
        return False

    # -- printing ------------------------------------------------------------------
    def __repr__(self):
        def listing(names):
            return ", ".join(names) if names else "(none)"

        params = ", ".join(f"{p}={'?' if v is None else f'{v:g}'}" for p, v in self._values.items())
        lines = [f"<Corvane.Model '{self.name}': {len(self._source.equations)} equations",
                 f"  endogenous   {listing(self._endogenous)}",
                 f"  exogenous    {listing(self._exogenous)}",
                 textwrap.fill(params or "(none)", width=88, initial_indent="  parameters   ",
                               subsequent_indent=" " * 15, break_long_words=False,
                               break_on_hyphens=False)]
        if self.auxiliary:
            lines.append(f"  auxiliary    {listing(self.auxiliary)}")
        if self._source.varobs:
            lines.append(f"  observables  {listing(self._source.varobs)}")
        kind = ("Python callable" if self._steady_callable else
                "closed form" if self._steady_assignments is not None else "Newton from initval")
        lines.append(f"  steady state {kind}>")
        return "\n".join(lines)


_LATE = []


def _late_imports():
    """(the bridge's solve module, Solution), imported on first use."""
    if not _LATE:
        from .._bridge import solve as bridge
        from ..solution.solution import Solution

        _LATE[:] = [bridge, Solution]
    return _LATE


def _clashes(endogenous, exogenous, parameters):
    seen = {}
    for kind, names in (("endogenous variable", endogenous), ("shock", exogenous),
                        ("parameter", parameters)):
        for n in names:
            if n in seen:
                raise ModelError(f"'{n}' is declared both as {seen[n]} and as {kind}")
            seen[n] = kind


def _checked_shocks(block, exogenous):
    exo = set(exogenous)
    for table in (block.variances, block.covariances, block.correlations):
        for key in table:
            for name in (key if isinstance(key, tuple) else (key,)):
                if name not in exo:
                    raise ModelError(f"shocks: '{name}' is not a declared shock")
    for e, v in block.variances.items():
        if not v >= 0:
            raise ModelError(f"shocks: the variance of '{e}' is {v}, not non-negative")
    for (a, b), r in block.correlations.items():
        if not -1 <= r <= 1:
            raise ModelError(f"shocks: corr {a}, {b} = {r} is outside [-1, 1]")
    return block


def _measurement(block, varobs):
    """Measurement-error covariance over the observables (DataFrame)."""
    index = {v: i for i, v in enumerate(varobs)}
    for table in (block.measurement_variances, block.measurement_covariances,
                  block.measurement_correlations):
        for key in table:
            for name in (key if isinstance(key, tuple) else (key,)):
                if name not in index:
                    raise ModelError(f"shocks: measurement error on '{name}', which is not an "
                                     "observed variable (varobs)")
    measured = src.ShockBlock(variances=block.measurement_variances,
                              covariances=block.measurement_covariances,
                              correlations=block.measurement_correlations)
    return pd.DataFrame(_covariance(measured, varobs), index=varobs, columns=varobs)


def _shock_matrix(shocks, exogenous):
    """Covariance from Model(shocks=...): std devs by name or a labelled DataFrame."""
    m = len(exogenous)
    index = {e: i for i, e in enumerate(exogenous)}
    cov = np.zeros((m, m))
    if isinstance(shocks, pd.DataFrame):
        labels = list(shocks.index)
        if labels != list(shocks.columns):
            raise ModelError("shocks: the covariance DataFrame must have the same shock names "
                             "as index and columns, in the same order")
        for name in labels:
            if name not in index:
                raise ModelError(f"shocks: '{name}' is not a declared shock")
        try:
            values = shocks.to_numpy(dtype=float)
        except (TypeError, ValueError):
            raise ModelError("shocks: the covariance DataFrame must hold numbers") from None
        where = [index[n] for n in labels]
        cov[np.ix_(where, where)] = values
        return cov
    if not isinstance(shocks, Mapping):
        raise ModelError("shocks must be a dict of standard deviations by shock name or a "
                         f"covariance DataFrame, got {type(shocks).__name__}")
    for name, sd in shocks.items():
        if name not in index:
            raise ModelError(f"shocks: '{name}' is not a declared shock")
        sd = _number(sd, f"shocks['{name}']")
        if not sd >= 0:
            raise ModelError(f"shocks['{name}']: a standard deviation must be non-negative, "
                             f"got {sd}")
        cov[index[name], index[name]] = sd * sd
    return cov


def _assignments(steady_state, parameters):
    """steady_state=... as dict or list of 'name = expr' strings -> [Assignment]."""
    from .reader import parse_expression

    if isinstance(steady_state, Mapping):
        items = list(steady_state.items())
    elif isinstance(steady_state, Sequence) and not isinstance(steady_state, str):
        items = []
        for i, line in enumerate(steady_state):
            if not isinstance(line, str) or line.count("=") != 1:
                raise ModelError(f"steady_state[{i}] must be a string 'name = expression', "
                                 f"got {line!r}")
            name, expr = (part.strip() for part in line.split("="))
            items.append((name, expr.rstrip(";").strip()))
    else:
        raise ModelError("steady_state must be a callable, a dict or a list of "
                         f"'name = expression' strings, got {type(steady_state).__name__}")
    known = list(parameters)
    out = []
    for name, expr in items:
        if not isinstance(name, str) or not name.isidentifier():
            raise ModelError(f"steady_state: {name!r} is not a valid name")
        if isinstance(expr, str):
            value = parse_expression(expr, parameters=known)
        else:
            value = sympy.Float(_number(expr, f"steady_state['{name}']"))
        out.append(src.Assignment(name, value))
        known.append(name)
    return out


def _closed_form(assignments, endogenous, parameters):
    """Checked (name, expr) pairs of a closed-form steady state."""
    names = [a.name for a in assignments]
    clash = [n for n in names if n in parameters]
    if clash:
        raise ModelError("steady state: assignments to parameters are not supported "
                         f"({', '.join(clash)})")
    missing = [v for v in endogenous if v not in names]
    if missing:
        raise ModelError(f"steady state: no value assigned to {', '.join(missing)}")
    return [(a.name, a.expr) for a in assignments]


def _newton_steady_operator(dynamic, theta, guess, tol=1e-12, max_iter=100):
    """Newton's method on F(x, x, x, 0) with STEADY_STATE_x = x, for models
    with STEADY_STATE(): the kernel's Newton holds parameters fixed, so this
    one differentiates symbolically. None when it does not converge."""
    import scipy.optimize

    xs = [sympy.Symbol(f"_ss{i}") for i in range(len(dynamic.variables))]
    at = {}
    for i, v in enumerate(dynamic.variables):
        for s in (-1, 0, 1):
            at[timed(v, s)] = xs[i]
    for pname, v in dynamic.steady_parameters:
        at[sympy.Symbol(pname)] = xs[dynamic.variables.index(v)]
    for e in dynamic.exogenous:
        at[sympy.Symbol(e)] = sympy.Integer(0)
    declared = dynamic.parameters[:len(theta)]
    at.update({sympy.Symbol(p): sympy.Float(float(t)) for p, t in zip(declared, theta)})
    F = sympy.Matrix([eq.xreplace(at) for eq in dynamic.equations])
    f = sympy.lambdify([xs], list(F), "numpy")
    jac = sympy.lambdify([xs], F.jacobian(xs).tolist(), "numpy")
    sol = scipy.optimize.root(lambda z: np.asarray(f(z), dtype=float), guess,
                              jac=lambda z: np.asarray(jac(z), dtype=float), method="hybr",
                              tol=tol, options={"maxfev": max_iter * (len(xs) + 1)})
    if not sol.success or np.max(np.abs(f(sol.x)), initial=0.0) >= STEADY_STATE_TOL:
        return None
    return sol.x
