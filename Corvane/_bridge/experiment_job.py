"""Monte Carlo jobs from experiment plans.

A plan is plain data (dicts, tuples, NumPy arrays; no pointers), so that it
pickles to a Dask worker and builds there the very job it builds here:

    {"data": {"kind": "order1", "A", "R", "mu", "loading", "key", "periods",
              "burn", "columns"}            # or "order2" (h_x ... g_ss,
                                            # offset) or "payload" ("table")
     "transforms": [{"name": "diff", "order": 1}, ...],
     "tests": [{"name": "ljung_box", "series": 0, "regressors": (), ...}]}

`run_shard(plan, first, count, threads)` runs replications first ..
first + count - 1 with crv_mc_run_range and returns the statistics
(count x n_tests), their kernel statuses, and per replication the failing
stage (-1 none) and its status. Shock streams are keyed by the global
replication, so any split of an experiment gives the rows of the whole run.
"""

import ctypes
import functools

import numpy as np

from .._ckernels import ffi
from .._ckernels.ffi import mcstats
from . import mcjob

_dp = ctypes.POINTER(ctypes.c_double)

# Transform name -> (runner, context record, size function, output rows(T, options)).
TRANSFORMS = {
    "standardize": ("crv_mc_standardize_runner", "standardize", lambda T, o: T),
    "log": ("crv_mc_log_runner", "log", lambda T, o: T),
    "log_diff": ("crv_mc_log_diff_runner", "log_diff", lambda T, o: T - 1),
    "diff": ("crv_mc_diff_runner", "diff", lambda T, o: T - o["order"]),
    "rolling_mean": ("crv_mc_rolling_mean_runner", "rolling_mean",
                     lambda T, o: T - o["window"] + 1),
    "rolling_var": ("crv_mc_rolling_var_runner", "rolling_var", lambda T, o: T - o["window"] + 1),
    "rolling_std": ("crv_mc_rolling_std_runner", "rolling_std", lambda T, o: T - o["window"] + 1),
}

TESTS = ("ljung_box", "jarque_bera", "breusch_godfrey", "breusch_pagan", "cusum", "chow",
         "wald_mean", "loglik")


@functools.cache
def library():
    return ffi.load("regression")


def _doubles(size):
    return int(size.doubles)


def _transform_ctx(name, T, k, o):
    if name == "standardize":
        return mcstats.crv_mc_standardize_ctx(T, k, o["ddof"])
    if name in ("log", "log_diff"):
        return mcstats.crv_mc_log_ctx(T, k, o["shift"])
    if name == "diff":
        return mcstats.crv_mc_diff_ctx(T, k, o["order"])
    if name == "rolling_mean":
        return mcstats.crv_mc_rolling_mean_ctx(T, k, o["window"])
    return mcstats.crv_mc_rolling_var_ctx(T, k, o["window"], o["ddof"])


def _transform_words(lib, name, T, k, o):
    if name == "diff":
        return _doubles(lib.crv_diff_arena_size(T, k, o["order"]))
    base = {"standardize": "standardize_ax0"}.get(name, name)
    return _doubles(getattr(lib, f"crv_{base}_arena_size")(T, k))


def _data_stage(lib, data):
    kind, T = data["kind"], data["periods"] + data.get("burn", 0)
    if kind == "payload":
        table = data["table"]
        return mcjob.raw_model_data_stage(lib, table.reshape(len(table), -1)), table.shape[2]
    loading = data["loading"]
    m = loading.shape[0]
    shocks = mcjob.ShockSpec(T, m).normal(np.arange(m), loading, key=data["key"])
    if kind == "order1":
        A, R, mu = data["A"], data["R"], data["mu"]
        n = A.shape[0]
        noisy = data.get("noisy", ())
        if len(noisy):
            # Observations o = Z x + u, u ~ N(0, diag(sd^2)) keyed apart from
            # the model's shocks: (x, o) follows a first-order law in (e, u).
            k = len(noisy)
            Z = np.eye(n)[list(noisy)]
            A = np.block([[A, np.zeros((n, k))], [Z @ A, np.zeros((k, k))]])
            R = np.block([[R, np.zeros((n, k))], [Z @ R, np.eye(k)]])
            mu = np.concatenate([mu, mu[list(noisy)]])
            shocks = (mcjob.ShockSpec(T, m + k).normal(np.arange(m), loading, key=data["key"])
                      .normal(m + np.arange(k), np.diag(data["noise_sd"]),
                              key=(data["key"][0], 1)))
            m += k
            n += k
        stage = mcjob.simulate_order1_stage(
            lib, T=T, n=n, m=m, shocks=shocks,
            arrays=dict(A=A, R=R, mu=mu, s0=np.zeros(n)))
        return stage, n
    nx, ny = data["h_x"].shape[0], data["g_x"].shape[0]
    names = ("h_x", "g_x", "R", "h_xx", "g_xx", "h_xe", "g_xe", "h_ee", "g_ee", "h_ss", "g_ss",
             "offset")
    arrays = {name: data[name] for name in names}
    arrays["x0"] = np.zeros(nx)
    stage = mcjob.simulate_order2_stage(lib, T=T, nx=nx, ny=ny, m=m, shocks=shocks,
                                        arrays=arrays)
    return stage, nx + ny


def _bind_columns(stage, source, row_len, row0, T, cols, dst_offset):
    """Columns cols of T source rows (from row0), stacked row-major at dst_offset."""
    stage.bind(mcjob.Binding(source, dst_offset, T, np.asarray(cols, np.int64),
                             src_row_len=row_len, src_row0=row0))


def _series_and_regressors(stage, src, row_len, row0, T, test):
    """y (T) at 0, then X (T x k): the regressors, after a column of ones when
    test["constant"]."""
    _bind_columns(stage, src, row_len, row0, T, [test["series"]], 0)
    k = len(test["regressors"]) + bool(test.get("constant"))
    if test.get("constant"):
        stage.bind(mcjob.Binding(-1, T, T, [0], dst_stride=k, fill=1.0))
    if test["regressors"]:
        stage.bind(mcjob.Binding(src, T + bool(test.get("constant")), T,
                                 np.asarray(test["regressors"], np.int64), dst_stride=k,
                                 src_row_len=row_len, src_row0=row0))
    return k


def _test_stage(lib, test, src, row_len, row0, T):
    name = test["name"]
    run = mcjob.runner(lib, f"crv_mc_{name}_test_runner" if name != "wald_mean"
                       else "crv_mc_wald_test_runner")
    keep, work = [], 0
    stage = mcjob.Stage(run, out_words=1, iout_words=1)
    if name == "ljung_box":
        ctx = mcstats.crv_mc_ljung_box_test_ctx(T, test["lags"])
        words = T + _doubles(lib.crv_lb_arena_size(T, test["lags"]))
        _bind_columns(stage, src, row_len, row0, T, [test["series"]], 0)
    elif name == "jarque_bera":
        ctx = mcstats.crv_mc_jarque_bera_test_ctx(T)
        words = T
        _bind_columns(stage, src, row_len, row0, T, [test["series"]], 0)
    elif name == "wald_mean":
        cols = test["columns"]
        k = len(cols)
        target = mcjob._f64(test["target"])
        keep.append(target)
        ctx = mcstats.crv_mc_wald_test_ctx(target.ctypes.data_as(_dp), T, k, test["bandwidth"],
                                           test["kernel"], test["rule"], 0)
        size = lib.crv_wald_mean_hac_arena_size(T, k)
        words, work = T * k + int(size.doubles), int(size.slots)
        _bind_columns(stage, src, row_len, row0, T, cols, 0)
    else:
        k = _series_and_regressors(stage, src, row_len, row0, T, test)
        if name == "breusch_godfrey":
            ctx = mcstats.crv_mc_breusch_godfrey_test_ctx(T, k, test["lags"])
            words = T + T * k + _doubles(lib.crv_bg_arena_size(T, k, test["lags"]))
        elif name == "breusch_pagan":
            ctx = mcstats.crv_mc_breusch_pagan_test_ctx(T, k, int(test["robust"]))
            words = T + T * k + T * (k + 1) + _doubles(lib.crv_bp_arena_size(T, k + 1))
        elif name == "cusum":
            ctx = mcstats.crv_mc_cusum_test_ctx(T, k)
            words = T + T * k + _doubles(lib.crv_cusum_arena_size(T, k))
        else:  # chow
            ctx = mcstats.crv_mc_chow_test_ctx(T, k, test["break_point"])
            words = T + T * k + _doubles(lib.crv_chow_arena_size(k))
    stage.ctx, stage.in_words, stage.work_words = ctx, words, work
    stage.keep += keep
    return stage


def _loglik_stages(lib, test, src, row_len, row0, T):
    """The linear Kalman filter of the test's state space over its columns,
    and a one-word stage keeping the log-likelihood (a rolling mean of
    window 1 over it is the value itself), so the filter's paths are not
    stored per replication."""
    a = test["arrays"]
    n, k = a["B"].shape
    m = a["Z"].shape[0]
    filt = mcjob.filter_linear_stage(lib, T=T, n=n, m=m, k=k, arrays=a)
    _bind_columns(filt, src, row_len, row0, T, test["columns"], filt.input_layout["data"].offset)
    at = filt.layout["loglik"].offset
    pick = mcjob.Stage(mcjob.runner(lib, "crv_mc_rolling_mean_runner"),
                       mcstats.crv_mc_rolling_mean_ctx(1, 1, 1),
                       in_words=_doubles(lib.crv_rolling_mean_arena_size(1, 1)), out_words=1,
                       iout_words=1)
    return filt, pick, at


def stage_labels(plan):
    """The name of every stage of the plan's job, in order."""
    labels = ["data"] + [t["name"] for t in plan["transforms"]]
    for test in plan["tests"]:
        labels += [test["label"]] * (2 if test["name"] == "loglik" else 1)
    return labels


def build_job(plan, first, count, threads, lib=None):
    """The job of replications first .. first + count - 1 of the plan."""
    lib = library() if lib is None else lib
    data = plan["data"]
    stage, width = _data_stage(lib, data)
    stages = [stage]
    T, row0 = data["periods"], data.get("burn", 0)
    # The current data: stage src, its rows of row_len words from row0.
    src, row_len, cols = 0, width, list(data["columns"])
    for transform in plan["transforms"]:
        name = transform["name"]
        runner_name, _, rows = TRANSFORMS[name]
        k = len(cols)
        words = _transform_words(lib, name, T, k, transform)
        t_out = rows(T, transform)
        st = mcjob.Stage(mcjob.runner(lib, runner_name), _transform_ctx(name, T, k, transform),
                         in_words=words, out_words=max(t_out, 0) * k, iout_words=1)
        _bind_columns(st, src, row_len, row0, T, cols, 0)
        stages.append(st)
        src, row_len, row0, T, cols = len(stages) - 1, k, 0, t_out, list(range(k))
    n_data = len(stages)
    kept = []
    for test in plan["tests"]:
        # Tests name columns of the current data by their position in cols.
        test = dict(test)
        for key in ("series",):
            if key in test:
                test[key] = cols[test[key]]
        for key in ("regressors", "columns"):
            if key in test:
                test[key] = [cols[c] for c in test[key]]
        if test["name"] == "loglik":
            filt, pick, at = _loglik_stages(lib, test, src, row_len, row0, T)
            stages.append(filt)
            pick.bind(mcjob.Binding.stage(len(stages) - 1, at, 1, 0))
            stages.append(pick)
        else:
            stages.append(_test_stage(lib, test, src, row_len, row0, T))
        kept.append(len(stages) - 1)
    skip = np.full(count, -1, dtype=np.int64)
    keep = np.arange(count, dtype=np.int64)
    row_maps = [keep if s in kept else skip for s in range(len(stages))]
    job = mcjob.Job(stages, count, threads, row_maps=row_maps, first=first)
    return job, kept


def run_shard(plan, first, count, threads=1):
    """Runs one range of the plan: {"first", "values", "codes", "failed_stage",
    "status"} (statistics count x n_tests; failing stages counted from 0 =
    the data step, named by stage_labels)."""
    lib = library()
    job, kept = build_job(plan, first, count, threads, lib)
    code = job.run(lib)
    if code < 0:
        raise RuntimeError(f"the Monte Carlo driver rejected the job ({code})")
    tests = [job.stages[s] for s in kept]
    values = np.column_stack([s.results[:, 0] for s in tests]) if tests else np.empty((count, 0))
    codes = np.column_stack([s.iresults[:, 0] for s in tests]) if tests else \
        np.empty((count, 0), np.int64)
    return {"first": int(first), "values": values, "codes": codes,
            "failed_stage": job.failed_stage.copy(), "status": job.status.copy()}


def cusum_sf(x):
    """P(sup |W(r)| / (1 + 2r) > x) of the CUSUM test's boundary crossing,
    elementwise (the library's crv_cusum_sf_into)."""
    x = np.ascontiguousarray(x, dtype=np.float64)
    out = np.empty_like(x)
    if x.size:
        library().crv_cusum_sf_into(x.ravel(), x.size, out.ravel())
    return out
