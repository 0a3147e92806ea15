"""`Experiment`: a Monte Carlo study stated in the user's terms.

    exp = Experiment(replications=5000, periods=200, seed=7, threads=2)
    exp.simulate(solution, variables=["y", "c"], burn=100)   # or exp.data(table)
    exp.transform("log_diff")
    exp.test("ljung_box", "y", lags=10)
    res = exp.run()               # one compiled job; executor=client for Dask
    res.rejection_rates()         # size or power at 1%, 5%, 10%

Every replication draws its shocks from a Philox stream keyed by the seed and
the replication's global index, so results do not depend on threads,
shards, workers or the order in which shards finish.
"""

import hashlib
import pickle

import numpy as np

from .._bridge import experiment_job
from ..errors import ModelError
from .results import REFERENCES, Results

_KERNELS = {"bartlett": 0, "parzen": 1, "quadratic_spectral": 2, "none": 3}
_RULES = {"fixed": 0, "floor": 1, "plug_in": 2, "floor_or_plug_in": 3}


def _positive_int(value, argument):
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 1:
        raise ValueError(f"{argument} must be a positive integer, got {value!r}")
    return int(value)


class Experiment:
    """A Monte Carlo experiment: one data step, transforms, tests.

    Parameters
    ----------
    replications : int
    periods : int
        Periods of each simulated sample (after the burn-in); ignored by
        `data`, whose table gives them.
    seed : int
        Key of the shock streams (0 .. 2**64 - 1).
    threads : int
        Threads of the compiled replication loop on each machine.
    """

    def __init__(self, replications, periods=200, seed=0, threads=1):
        self.replications = _positive_int(replications, "replications")
        self.periods = _positive_int(periods, "periods")
        if not 0 <= int(seed) < 2**64:
            raise ValueError(f"seed must be in 0 .. 2**64 - 1, got {seed!r}")
        self.seed = int(seed)
        self.threads = _positive_int(threads, "threads")
        self._data = None
        self._source = None       # (solution, order, noise, levels, burn) of simulate
        self._columns = []        # names of the current data columns
        self._transforms = []
        self._tests = []
        self._names = []

    # -- the data step -----------------------------------------------------------
    def simulate(self, solution, variables=None, order=None, burn=0, levels=True,
                 measurement_error=None):
        """Draw the shocks of each replication and simulate a solved model.

        solution : Corvane.Solution (first order, or second order simulated
            with pruning); order=1 simulates a second-order solution's first
            order. variables: the reported variables kept (default all).
            burn: periods simulated and dropped before the sample. levels:
            add the steady state (else deviations from it).
            measurement_error: {variable: standard deviation}, first order
            only: those variables are observed with independent normal
            errors, drawn from their own keyed stream.
        """
        self._check_no_data()
        order = solution.order if order is None else int(order)
        if order not in (1, 2) or order > solution.order:
            raise ValueError(f"order must be 1 or 2 and at most the solution's "
                             f"({solution.order}), got {order!r}")
        if int(burn) < 0:
            raise ValueError(f"burn must be >= 0, got {burn!r}")
        names = list(solution.variables)
        variables = names if variables is None else list(variables)
        unknown = [v for v in variables if v not in names]
        if unknown:
            raise ModelError(f"simulate: no variable {unknown[0]!r} in the model "
                             f"(variables: {', '.join(names)})")
        cov = np.asarray(solution.shock_cov_matrix, dtype=np.float64)
        if cov.size == 0:
            raise ModelError("simulate: the model has no shocks")
        loading = _cholesky(cov)
        first = solution.first
        ss = np.asarray(first.ss, dtype=np.float64)
        mu = ss if levels else np.zeros_like(ss)
        rows = [int(solution.rows[names.index(v)]) for v in variables]
        noise = dict(measurement_error or {})
        for v, sd in noise.items():
            if v not in variables:
                raise ValueError(f"simulate: measurement error on {v!r}, which is not among "
                                 f"the variables kept ({', '.join(variables)})")
            if not float(sd) > 0:
                raise ValueError(f"simulate: measurement error of {v!r} must be > 0, got {sd!r}")
        if noise and order != 1:
            raise ValueError("simulate: measurement errors need order=1")
        noisy = [rows[variables.index(v)] for v in noise]
        n_all = np.asarray(first.transition).shape[0]
        columns = [n_all + list(noise).index(v) if v in noise else r
                   for v, r in zip(variables, rows)]
        data = {"periods": self.periods, "burn": int(burn), "loading": loading,
                "key": (self.seed, 0), "columns": columns}
        if order == 1:
            data.update(kind="order1", A=_f64(first.transition), R=_f64(first.impact), mu=mu,
                        noisy=tuple(noisy),
                        noise_sd=np.array([float(sd) for sd in noise.values()]))
        else:
            s = solution.second
            data.update(kind="order2", h_x=_f64(first.hx), g_x=_f64(first.gx),
                        R=_f64(first.impact), h_xx=_f64(s.h_xx), g_xx=_f64(s.g_xx),
                        h_xe=_f64(s.h_xe), g_xe=_f64(s.g_xe), h_ee=_f64(s.h_ee),
                        g_ee=_f64(s.g_ee), h_ss=_f64(s.h_ss), g_ss=_f64(s.g_ss), offset=mu)
        self._data = data
        self._columns = variables
        self._source = (solution, order, noise, levels, int(burn))
        return self

    def data(self, table, columns=None):
        """Given data instead of a simulation: table (replications x periods x
        series, or replications x periods for one series) row r for
        replication r; columns names the series."""
        self._check_no_data()
        table = np.asarray(table, dtype=np.float64)
        if table.ndim == 2:
            table = table[:, :, None]
        if table.ndim != 3:
            raise ValueError("data: table must be replications x periods [x series]")
        if table.shape[0] < self.replications:
            raise ValueError(f"data: the table has {table.shape[0]} replications for "
                             f"{self.replications}")
        columns = [f"x{j}" for j in range(table.shape[2])] if columns is None else list(columns)
        if len(columns) != table.shape[2]:
            raise ValueError(f"data: {len(columns)} names for {table.shape[2]} series")
        self.periods = table.shape[1]
        self._data = {"kind": "payload", "table": np.ascontiguousarray(table),
                      "periods": table.shape[1], "columns": list(range(table.shape[2]))}
        self._columns = columns
        return self

    def _check_no_data(self):
        if self._data is not None:
            raise ValueError("the experiment already has its data step")
        if self._transforms or self._tests:
            raise ValueError("state the data step before transforms and tests")

    # -- transforms and tests ----------------------------------------------------
    def transform(self, name, **options):
        """Apply a data transform to every series: standardize (ddof), log
        (shift), log_diff (shift), diff (order), rolling_mean (window),
        rolling_var / rolling_std (window, ddof)."""
        self._need_data()
        if self._tests:
            raise ValueError("transforms come before the tests")
        if name not in experiment_job.TRANSFORMS:
            raise ValueError(f"unknown transform {name!r} (transforms: "
                             f"{', '.join(experiment_job.TRANSFORMS)})")
        defaults = {"standardize": {"ddof": 0}, "log": {"shift": 0.0},
                    "log_diff": {"shift": 0.0}, "diff": {"order": 1},
                    "rolling_mean": {"window": 4}, "rolling_var": {"window": 4, "ddof": 1},
                    "rolling_std": {"window": 4, "ddof": 1}}[name]
        unknown = set(options) - set(defaults)
        if unknown:
            raise TypeError(f"transform {name!r} takes no option {sorted(unknown)[0]!r}")
        options = {**defaults, **options}
        self._transforms.append({"name": name, **options})
        return self

    def test(self, name, series=None, regressors=(), label=None, **options):
        """Apply a test to each replication's (transformed) data.

        ljung_box (series, lags), jarque_bera (series), breusch_godfrey
        (series: residuals, regressors, lags; the auxiliary regression has
        its own constant), breusch_pagan (series: residuals, regressors,
        robust: Koenker's n R^2, else ESS/2), cusum and chow (series,
        regressors, constant: a column of ones first, break_point), wald_mean (series: a list of names, target, kernel,
        bandwidth, rule). label names the statistic's column (default the
        test's name, with the series).
        """
        self._need_data()
        if name not in experiment_job.TESTS:
            raise ValueError(f"unknown test {name!r} (tests: {', '.join(experiment_job.TESTS)})")
        defaults = {"ljung_box": {"lags": 10}, "jarque_bera": {},
                    "breusch_godfrey": {"lags": 4},
                    "breusch_pagan": {"robust": True},
                    "cusum": {"constant": True}, "chow": {"constant": True, "break_point": None},
                    "wald_mean": {"target": None, "kernel": "bartlett", "bandwidth": 4,
                                  "rule": "fixed"}}[name]
        unknown = set(options) - set(defaults)
        if unknown:
            raise TypeError(f"test {name!r} takes no option {sorted(unknown)[0]!r}")
        o = {**defaults, **options}
        spec = {"name": name}
        periods = self._periods_after_transforms()
        if name == "wald_mean":
            cols = self._columns if series is None else list(np.atleast_1d(series))
            spec["columns"] = [self._column(c) for c in cols]
            target = np.zeros(len(cols)) if o["target"] is None else \
                np.asarray(o["target"], dtype=np.float64).ravel()
            if target.size != len(cols):
                raise ValueError(f"wald_mean: target needs {len(cols)} values")
            if o["kernel"] not in _KERNELS or o["rule"] not in _RULES:
                raise ValueError(f"wald_mean: kernel in {list(_KERNELS)}, rule in {list(_RULES)}")
            spec.update(target=target, kernel=_KERNELS[o["kernel"]], rule=_RULES[o["rule"]],
                        bandwidth=int(o["bandwidth"]))
            df = len(cols)
            label = label or f"wald_mean({', '.join(cols)})"
        else:
            if series is None:
                raise TypeError(f"test {name!r} needs the series it tests")
            spec["series"] = self._column(series)
            regressors = list(regressors)
            if regressors and name in ("ljung_box", "jarque_bera"):
                raise TypeError(f"test {name!r} takes no regressors")
            spec["regressors"] = [self._column(r) for r in regressors]
            k = len(regressors) + bool(o.get("constant"))
            for key in ("lags", "robust", "constant"):
                if key in o:
                    spec[key] = o[key]
            if name == "chow":
                spec["break_point"] = periods // 2 if o["break_point"] is None \
                    else int(o["break_point"])
            if name in ("cusum", "chow") and k < 1:
                raise ValueError(f"test {name!r} needs regressors or a constant")
            if name == "breusch_pagan" and k < 1:
                raise ValueError("test 'breusch_pagan' needs regressors")
            df = {"ljung_box": o.get("lags"), "jarque_bera": 2, "breusch_godfrey": o.get("lags"),
                  "breusch_pagan": k, "cusum": None,
                  "chow": (k, periods - 2 * k)}[name]
            label = label or f"{name}({series})"
        if label in self._names:
            raise ValueError(f"two statistics are labelled {label!r}; pass label=")
        spec["label"] = label
        self._names.append(label)
        self._tests.append((spec, REFERENCES[name](df)))
        return self

    def loglik(self, observables=None, solution=None, measurement_error=None, label=None):
        """The Gaussian log-likelihood of each replication's observables
        under a first-order solution (linear Kalman filter).

        observables: series of the data (default all); solution: the
        filtering model (default the simulated one); measurement_error:
        {observable: standard deviation} (default the simulation's). The
        filter starts from the steady state with the covariance of the
        first period's shocks when the simulation has no burn-in, else from
        the stationary covariance. A replication whose filter fails is
        missing, with the filter's status.
        """
        import scipy.linalg

        self._need_data()
        src = self._source
        solution = solution if solution is not None else (src[0] if src else None)
        if solution is None:
            raise ValueError("loglik: pass the filtering model's solution=")
        observables = list(self._columns if observables is None else observables)
        cols = [self._column(o) for o in observables]
        noise = dict(src[2] if (src and measurement_error is None) else (measurement_error or {}))
        names = list(solution.variables)
        unknown = [o for o in observables if o not in names]
        if unknown:
            raise ModelError(f"loglik: no variable {unknown[0]!r} in the filtering model")
        first = solution.first
        A, B = _f64(first.transition), _f64(first.impact)
        n = A.shape[0]
        rows = [int(solution.rows[names.index(o)]) for o in observables]
        Z = np.eye(n)[rows]
        levels = src[3] if src else True
        d = _f64(first.ss)[rows] if levels else np.zeros(len(rows))
        S = _f64(solution.shock_cov_matrix)
        H = np.diag([float(noise.get(o, 0.0)) ** 2 for o in observables])
        Q = B @ S @ B.T
        burn = src[4] if src else 1
        P0 = Q if burn == 0 else scipy.linalg.solve_discrete_lyapunov(A, Q)
        P0 = 0.5 * (P0 + P0.T)
        label = label or "loglik"
        if label in self._names:
            raise ValueError(f"two statistics are labelled {label!r}; pass label=")
        spec = {"name": "loglik", "label": label, "columns": cols,
                "arrays": dict(A=A, B=B, Z=Z, d=d, S=S, H=H, x0=np.zeros(n), P0=P0)}
        self._names.append(label)
        self._tests.append((spec, REFERENCES["loglik"](None)))
        return self

    def _need_data(self):
        if self._data is None:
            raise ValueError("state the data step first: simulate(...) or data(...)")

    def _column(self, name):
        if name not in self._columns:
            raise ValueError(f"no series {name!r} in the experiment's data "
                             f"(series: {', '.join(self._columns)})")
        return self._columns.index(name)

    def _periods_after_transforms(self):
        T = self.periods
        for t in self._transforms:
            T = experiment_job.TRANSFORMS[t["name"]][2](T, t)
        return T

    # -- compiling and running -----------------------------------------------------
    def plan(self):
        """The plain-data plan of the compiled job (what a Dask worker receives)."""
        self._need_data()
        if not self._tests:
            raise ValueError("the experiment has no test: add one with test(...)")
        if self._periods_after_transforms() < 2:
            raise ValueError("the transforms leave fewer than 2 periods")
        return {"data": self._data, "transforms": list(self._transforms),
                "tests": [spec for spec, _ in self._tests]}

    def fingerprint(self):
        """A hash of the plan and the replication count (names shard files)."""
        payload = pickle.dumps((self.plan(), self.replications), protocol=4)
        return hashlib.sha256(payload).hexdigest()[:16]

    def run(self, executor=None, shards=None, directory=None, progress=False):
        """Run every replication; returns `Results`.

        executor : a dask.distributed.Client, to run the shards on its
            workers (each with `threads` threads), else this machine.
        shards : number of replication ranges (default 1 here, or twice the
            number of workers with an executor; more with a progress bar).
        directory : a folder where finished shards are written; a run of
            the same experiment over the same folder resumes from them.
        progress : show a progress bar over shards (needs tqdm).
        """
        from .runner import run_experiment

        return run_experiment(self, executor=executor, shards=shards, directory=directory,
                              progress=progress)

    def _results(self, parts):
        stages = experiment_job.stage_labels(self.plan())
        return Results(parts, names=list(self._names),
                       references=[ref for _, ref in self._tests], stages=stages,
                       first=0)

    def __repr__(self):
        data = "no data step" if self._data is None else self._data["kind"]
        tests = ", ".join(self._names) or "no tests"
        return (f"<Corvane.Experiment: {self.replications} replications of {self.periods} "
                f"periods, seed {self.seed}; {data}; transforms "
                f"{[t['name'] for t in self._transforms]}; {tests}>")


def _f64(a):
    return np.ascontiguousarray(a, dtype=np.float64)


def _cholesky(cov):
    """A loading L with L L' = cov; zero-variance shocks get zero columns."""
    cov = _f64(cov)
    keep = np.diag(cov) > 0
    L = np.zeros_like(cov)
    if keep.any():
        L[np.ix_(keep, keep)] = np.linalg.cholesky(cov[np.ix_(keep, keep)])
    return L
