"""Test runners inside crv_mc_run: each runner's statistic against an
independent reference (SciPy, statsmodels, or NumPy computations of the
statistic's definition) through the documented block offsets, and the rule
that a failing statistic never fails its replication (its status lands in
the integer results, its value is NaN)."""

import ctypes

import numpy as np
import pytest
import scipy.stats
from statsmodels.stats.diagnostic import acorr_ljungbox, het_breuschpagan
from test_mc_driver import Job, Stage, binding, payload_stage

from Corvane._ckernels import ffi
from Corvane._ckernels.ffi import mc, mcstats
from Corvane._ckernels.ffi.stats import STATUS

lib = ffi.load("regression")
NEVER = np.iinfo(np.int64).min
INVALID = -1201


# ---- NumPy references of the statistics' definitions --------------------------

def ols_ssr(y, X):
    beta = np.linalg.lstsq(X, y, rcond=None)[0]
    return np.sum((y - X @ beta) ** 2)


def bg_ref(e, X, p):
    n = len(e)
    lags = np.zeros((n, p))
    for j in range(1, p + 1):
        lags[j:, j - 1] = e[:-j]
    Z = np.column_stack([np.ones(n), X, lags])
    return n * (1 - ols_ssr(e, Z) / np.sum(e**2))


def recursive_residuals_ref(y, X):
    n, k = X.shape
    w = []
    for t in range(k, n):
        Xt = X[:t]
        beta = np.linalg.solve(Xt.T @ Xt, Xt.T @ y[:t])
        f = 1 + X[t] @ np.linalg.solve(Xt.T @ Xt, X[t])
        w.append((y[t] - X[t] @ beta) / np.sqrt(f))
    return np.array(w)


def cusum_ref(y, X):
    n, k = X.shape
    m = n - k
    W = np.cumsum(recursive_residuals_ref(y, X)) / np.sqrt(ols_ssr(y, X) / m)
    s = np.sqrt(m)
    return np.max(np.abs(W) / (s + 2 * np.arange(m) / s))


def cusumsq_ref(y, X):
    w2 = recursive_residuals_ref(y, X) ** 2
    m = len(w2)
    return np.max(np.abs(np.cumsum(w2) / w2.sum() - np.arange(1, m + 1) / m)) / np.sqrt(2)


def chow_ref(y, X, b):
    n, k = X.shape
    s1, s2 = ols_ssr(y[:b], X[:b]), ols_ssr(y[b:], X[b:])
    return ((ols_ssr(y, X) - s1 - s2) / k) / ((s1 + s2) / (n - 2 * k))


def kernel_weight_ref(x, code):
    if code == 0:
        return 1 - x
    return 1 - 6 * x**2 + 6 * x**3 if x <= 0.5 else 2 * (1 - x) ** 3  # Parzen


def hac_wald_ref(M, target, code, L):
    T = len(M)
    mean = M.mean(axis=0)
    C = M - mean
    S = C.T @ C
    L = min(L, T - 1)
    for j in range(1, L + 1):
        G = C[:-j].T @ C[j:]
        S += kernel_weight_ref(j / (L + 1), code) * (G + G.T)
    d = mean - target
    return T * d @ np.linalg.solve(S / T, d)


def vech_rows(X):
    iu = np.triu_indices(X.shape[1])
    return np.stack([np.outer(x, x)[iu] for x in X])


# ---- chains -----------------------------------------------------------------

def runner(name):
    return ctypes.cast(getattr(lib, name), mc.crv_mc_runner)


def make_chain(name, ctx, data, in_words, work_words=0, n_threads=1):
    """Stage 0 copies row rep of data; stage 1 is the test runner with that
    row bound to the front of its input block."""
    n_reps, n = data.shape
    s0 = payload_stage(lib, data, n_threads, n_reps)
    s1 = Stage(runner(name), n_threads, n_reps, in_words=in_words, work_words=work_words,
               out_words=1, iout_words=1, ctx=ctx,
               bindings=[binding(source=0, src_row_len=n, cols=np.arange(n), n_cols=n)])
    return Job([s0, s1], n_reps, n_threads), s1


def regression_data(seed, T, k, constant=True, rho=0.3):
    """y (T), X (T x k) of a linear model with AR(1), heteroskedastic errors."""
    rng = np.random.default_rng(seed)
    X = rng.standard_normal((T, k))
    if constant:
        X[:, 0] = 1.0
    u = np.empty(T)
    u[0] = rng.standard_normal()
    for t in range(1, T):
        u[t] = rho * u[t - 1] + rng.standard_normal()
    y = X @ np.linspace(1.0, 2.0, k) + u * (1 + 0.5 * np.abs(X[:, -1]))
    return y, X


def ols_resid(y, X):
    Z = np.column_stack([np.ones(len(y)), X])
    return y - Z @ np.linalg.lstsq(Z, y, rcond=None)[0]


T, K = 60, 3


def _regression_row(r, degenerate, constant=True, resid=False, k=K):
    y, X = regression_data(r, T, k, constant=constant)
    if resid:
        y = ols_resid(y, X)
    if degenerate:
        X[:, 1] = X[:, 2]  # collinear regressors: the fits are singular
    return np.concatenate([y, X.ravel()])


def _split(row, k=K):
    return row[:T], row[T:].reshape(T, k)


def _series_row(r, degenerate):
    x = np.random.default_rng(100 + r).standard_t(5, T)
    return np.full(T, 2.5) if degenerate else x


def _bp_row(r, degenerate):
    row = _regression_row(r, False, constant=False, resid=True)
    if degenerate:
        row[:T] = 0.0  # zero residual variance
    return row


def _wald_mean_row(r, degenerate):
    X = np.random.default_rng(200 + r).standard_normal((T, K)) + 0.1
    if degenerate:
        X[:, 1] = 4.0  # a constant column: singular long-run covariance
    return X.ravel()


def _wald_row(r, degenerate):
    return (np.random.default_rng(300 + r).standard_normal((T, K)) * [1.0, 2.0, 0.5]).ravel()


MU0 = np.array([0.1, 0.0, 0.2])
SIGMA0 = np.diag([1.0, 4.0, 0.25]) + 0.1
SIGMA0_ASYM = SIGMA0.copy()
SIGMA0_ASYM[0, 1] += 1e-3
FLOOR_T = int(np.floor(4 * (T / 100) ** (2 / 9)))


def _size(name, *args):
    size = getattr(lib, name)(*args)
    return size.doubles, size.slots


def _cases():
    """name -> (runner, ctx, in_words, work_words, make_row(r, degenerate),
    reference(row), status of the degenerate replication)."""
    lb_h = 8
    bp_d = _size("crv_bp_arena_size", T, K + 1)[0]
    cases = {
        "ljung_box": ("crv_mc_ljung_box_test_runner", mcstats.crv_mc_ljung_box_test_ctx(T, lb_h),
                      T + _size("crv_lb_arena_size", T, lb_h)[0], 0, _series_row,
                      lambda row: acorr_ljungbox(row, lags=[lb_h])["lb_stat"].iloc[0],
                      STATUS["bad_variance"]),
        "jarque_bera": ("crv_mc_jarque_bera_test_runner", mcstats.crv_mc_jarque_bera_test_ctx(T),
                        T, 0, _series_row, lambda row: scipy.stats.jarque_bera(row).statistic,
                        STATUS["bad_variance"]),
        "breusch_pagan n R^2": (
            "crv_mc_breusch_pagan_test_runner", mcstats.crv_mc_breusch_pagan_test_ctx(T, K, 1),
            T + T * K + T * (K + 1) + bp_d, 0, _bp_row,
            lambda row: het_breuschpagan(row[:T], np.column_stack(
                [np.ones(T), _split(row)[1]]), robust=True)[0], STATUS["bad_variance"]),
        "breusch_pagan ESS/2": (
            "crv_mc_breusch_pagan_test_runner", mcstats.crv_mc_breusch_pagan_test_ctx(T, K, 0),
            T + T * K + T * (K + 1) + bp_d, 0, _bp_row,
            lambda row: het_breuschpagan(row[:T], np.column_stack(
                [np.ones(T), _split(row)[1]]), robust=False)[0], STATUS["bad_variance"]),
        "breusch_godfrey": (
            "crv_mc_breusch_godfrey_test_runner", mcstats.crv_mc_breusch_godfrey_test_ctx(T, K, 4),
            T + T * K + _size("crv_bg_arena_size", T, K, 4)[0], 0,
            lambda r, d: _regression_row(r, d, constant=False, resid=True),
            lambda row: bg_ref(*_split(row), 4), STATUS["chol_failed"]),
        "cusum": ("crv_mc_cusum_test_runner", mcstats.crv_mc_cusum_test_ctx(T, K),
                  T + T * K + _size("crv_cusum_arena_size", T, K)[0], 0, _regression_row,
                  lambda row: cusum_ref(*_split(row)), STATUS["chol_failed"]),
        "cusum of squares": ("crv_mc_cusumsq_test_runner", mcstats.crv_mc_cusum_test_ctx(T, K),
                             T + T * K + _size("crv_cusumsq_arena_size", T, K)[0], 0,
                             _regression_row, lambda row: cusumsq_ref(*_split(row)),
                             STATUS["chol_failed"]),
        "chow": ("crv_mc_chow_test_runner", mcstats.crv_mc_chow_test_ctx(T, K, 25),
                 T + T * K + _size("crv_chow_arena_size", K)[0], 0, _regression_row,
                 lambda row: chow_ref(*_split(row), 25), STATUS["chol_failed"]),
    }
    d, s = _size("crv_wald_mean_hac_arena_size", T, K)
    cases["wald mean, Bartlett, fixed 5"] = (
        "crv_mc_wald_test_runner",
        mcstats.crv_mc_wald_test_ctx(MU0.ctypes.data_as(ctypes.POINTER(ctypes.c_double)), T, K,
                                     5, 0, 0, 0),
        T * K + d, s, _wald_mean_row,
        lambda row: hac_wald_ref(row.reshape(T, K), MU0, 0, 5), STATUS["singular"])
    d, s = _size("crv_wald_covariance_hac_arena_size", T, K)
    cases["wald covariance, Parzen, floor rule"] = (
        "crv_mc_wald_test_runner",
        mcstats.crv_mc_wald_test_ctx(SIGMA0.ctypes.data_as(ctypes.POINTER(ctypes.c_double)), T,
                                     K, -3, 1, 1, 1),
        T * K + d, s, _wald_mean_row,
        lambda row: hac_wald_ref(vech_rows(row.reshape(T, K) - row.reshape(T, K).mean(0)),
                                 SIGMA0[np.triu_indices(K)], 1, FLOOR_T), STATUS["singular"])
    d, s = _size("crv_wald_second_moment_hac_arena_size", T, K)
    cases["wald second moment, Bartlett, fixed 2"] = (
        "crv_mc_wald_test_runner",
        mcstats.crv_mc_wald_test_ctx(SIGMA0.ctypes.data_as(ctypes.POINTER(ctypes.c_double)), T,
                                     K, 2, 0, 0, 7),
        T * K + d, s, _wald_mean_row,
        lambda row: hac_wald_ref(vech_rows(row.reshape(T, K)), SIGMA0[np.triu_indices(K)], 0, 2),
        STATUS["singular"])
    return cases


CASES = _cases()
BAD_REP = 2


@pytest.mark.parametrize("n_threads", [1, 2])
@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_runner_statistic_and_failing_replication(case, n_threads):
    """Every replication completes; the degenerate one keeps its statistic's
    status in the integer results and a NaN statistic (never the previous
    replication's value), the others match the reference."""
    name, ctx, in_words, work_words, make_row, reference, bad_status = case
    n_reps = 6
    data = np.stack([make_row(r, r == BAD_REP) for r in range(n_reps)])
    job, stage = make_chain(name, ctx, data, in_words, work_words, n_threads)
    assert job.run(lib) == 0
    np.testing.assert_array_equal(job.failed_stage, -1)
    np.testing.assert_array_equal(job.status, 0)
    expected_status = np.where(np.arange(n_reps) == BAD_REP, bad_status, 0)
    np.testing.assert_array_equal(stage.iresults[:, 0], expected_status)
    assert np.isnan(stage.results[BAD_REP, 0])
    for r in range(n_reps):
        if r != BAD_REP:
            assert stage.results[r, 0] == pytest.approx(reference(data[r]), rel=1e-9, abs=1e-12), \
                f"replication {r}"


def test_runners_independent_of_thread_count():
    name, ctx, in_words, work_words, make_row, _, _ = CASES["cusum"]
    data = np.stack([make_row(r, r % 4 == 1) for r in range(13)])
    runs = []
    for n_threads in (1, 2, 3):
        job, stage = make_chain(name, ctx, data, in_words, work_words, n_threads)
        assert job.run(lib) == 0
        runs.append((stage.results.tobytes(), stage.iresults.tobytes()))
    assert runs[0] == runs[1] == runs[2]


# Contexts whose statistic rejects its arguments in every replication.
def _ctx_case(name, ctx, in_words, status, work_words=0, rows=_series_row, written=None):
    return name, ctx, in_words, work_words, rows, status, written


def _jb_short(row):
    return scipy.stats.jarque_bera(row[:5]).statistic


CONTEXT_FAILURES = {
    "ljung-box lags 0": _ctx_case("crv_mc_ljung_box_test_runner",
                                  mcstats.crv_mc_ljung_box_test_ctx(T, 0), 2 * T + 1,
                                  STATUS["bad_lags"]),
    "ljung-box T 1": _ctx_case("crv_mc_ljung_box_test_runner",
                               mcstats.crv_mc_ljung_box_test_ctx(1, 4), T, STATUS["too_few"]),
    "jarque-bera 5 values (statistic written)": _ctx_case(
        "crv_mc_jarque_bera_test_runner", mcstats.crv_mc_jarque_bera_test_ctx(5), T,
        STATUS["too_few"], written=_jb_short),
    "jarque-bera negative T": _ctx_case("crv_mc_jarque_bera_test_runner",
                                        mcstats.crv_mc_jarque_bera_test_ctx(-1), T,
                                        STATUS["bad_variance"]),
    "chow break 0": _ctx_case("crv_mc_chow_test_runner", mcstats.crv_mc_chow_test_ctx(T, K, 0),
                              CASES["chow"][2], STATUS["bad_arg"], rows=_regression_row),
    "chow break T": _ctx_case("crv_mc_chow_test_runner", mcstats.crv_mc_chow_test_ctx(T, K, T),
                              CASES["chow"][2], STATUS["bad_arg"], rows=_regression_row),
    "breusch-godfrey T = lags": _ctx_case(
        "crv_mc_breusch_godfrey_test_runner", mcstats.crv_mc_breusch_godfrey_test_ctx(4, 1, 4),
        T + T * K, STATUS["too_few"], rows=_regression_row),
    "cusum k = T": _ctx_case("crv_mc_cusum_test_runner", mcstats.crv_mc_cusum_test_ctx(3, 3),
                             T + T * K, STATUS["too_few"], rows=_regression_row),
    "cusumsq negative k": _ctx_case("crv_mc_cusumsq_test_runner",
                                    mcstats.crv_mc_cusum_test_ctx(T, -1), T + T * K,
                                    STATUS["bad_variance"], rows=_regression_row),
    "breusch-pagan negative k": _ctx_case(
        "crv_mc_breusch_pagan_test_runner", mcstats.crv_mc_breusch_pagan_test_ctx(T, -2, 1),
        T + T * K, STATUS["bad_variance"], rows=_regression_row),
    "wald asymmetric target": _ctx_case(
        "crv_mc_wald_test_runner",
        mcstats.crv_mc_wald_test_ctx(SIGMA0_ASYM.ctypes.data_as(ctypes.POINTER(ctypes.c_double)),
                                     T, K, 2, 0, 0, 1),
        CASES["wald covariance, Parzen, floor rule"][2], STATUS["asymmetric"], work_words=6,
        rows=_wald_row),
    "wald bad kernel": _ctx_case(
        "crv_mc_wald_test_runner",
        mcstats.crv_mc_wald_test_ctx(MU0.ctypes.data_as(ctypes.POINTER(ctypes.c_double)), T, K,
                                     2, 3, 0, 0),
        CASES["wald mean, Bartlett, fixed 5"][2], STATUS["bad_arg"], work_words=3,
        rows=_wald_row),
    "wald T 1": _ctx_case(
        "crv_mc_wald_test_runner",
        mcstats.crv_mc_wald_test_ctx(SIGMA0.ctypes.data_as(ctypes.POINTER(ctypes.c_double)), 1,
                                     K, 2, 0, 0, 2),
        T * K, STATUS["too_few"], work_words=6, rows=_wald_row),
}


@pytest.mark.parametrize("case", CONTEXT_FAILURES.values(), ids=CONTEXT_FAILURES.keys())
def test_statistic_status_kept_replication_completes(case):
    name, ctx, in_words, work_words, make_row, status, written = case
    n_reps = 3
    data = np.stack([make_row(r, False) for r in range(n_reps)])
    job, stage = make_chain(name, ctx, data, in_words, work_words)
    assert job.run(lib) == 0
    np.testing.assert_array_equal(job.failed_stage, -1)
    np.testing.assert_array_equal(job.status, 0)
    np.testing.assert_array_equal(stage.iresults[:, 0], status)
    if written is None:
        assert np.isnan(stage.results).all()
    else:
        for r in range(n_reps):
            assert stage.results[r, 0] == pytest.approx(written(data[r]), rel=1e-12)


def test_breusch_pagan_builds_design_after_regressors():
    """The design [1, z] lands at word T + T k; the data in front are intact."""
    name, ctx, in_words, _, make_row, _, _ = CASES["breusch_pagan n R^2"]
    row = make_row(0, False)
    block = np.full(in_words, np.nan)
    block[: row.size] = row
    out, iout = np.empty(1), np.full(1, 5, np.int64)
    assert lib.crv_mc_breusch_pagan_test_runner(0, block, out, None, iout.ctypes.data,
                                                ctypes.addressof(ctx)) == 0
    assert iout[0] == 0
    np.testing.assert_array_equal(block[: row.size], row)
    design = block[row.size: row.size + T * (K + 1)].reshape(T, K + 1)
    np.testing.assert_array_equal(design, np.column_stack([np.ones(T), _split(row)[1]]))


@pytest.mark.parametrize("name", mcstats.TEST_RUNNERS)
def test_stage_that_cannot_run_fails(name):
    """A null context (or a null block) is a broken stage, not a failing
    statistic: the replication fails with -1201."""
    iout = np.zeros(1, np.int64)
    blocks = (np.ones(64), np.ones(1), np.ones(8))
    assert getattr(lib, name)(0, *blocks, iout.ctypes.data, None) == INVALID
    assert iout[0] == INVALID
    record = mcstats.RECORDS[name.replace("_runner", "_ctx").replace("cusumsq", "cusum")]
    args = {"crv_mc_wald_test_runner": (None, T, 1),
            "crv_mc_jarque_bera_test_runner": (T,)}.get(name, (T, 1))
    ctx = record(*args)
    assert getattr(lib, name)(0, np.ones(64), None, np.ones(8), None,
                              ctypes.addressof(ctx)) == INVALID
    assert getattr(lib, name)(0, None, np.ones(1), np.ones(8), None,
                              ctypes.addressof(ctx)) == INVALID


@pytest.mark.parametrize("null", ["work", "target"])
def test_wald_runner_needs_work_block_and_target(null):
    target = None if null == "target" else MU0.ctypes.data_as(ctypes.POINTER(ctypes.c_double))
    ctx = mcstats.crv_mc_wald_test_ctx(target, T, K, 2, 0, 0, 0)
    work = None if null == "work" else np.zeros(K)
    iout = np.zeros(1, np.int64)
    assert lib.crv_mc_wald_test_runner(0, np.ones(1000), np.ones(1), work, iout.ctypes.data,
                                       ctypes.addressof(ctx)) == INVALID
    assert iout[0] == INVALID


# (record, size, {field: offset}) as the C header lays them out.
LAYOUTS = [
    (mcstats.crv_mc_wald_test_ctx, 48, {"T": 8, "bw": 24, "code": 32, "rule": 36, "kind": 40}),
    (mcstats.crv_mc_ljung_box_test_ctx, 16, {"lags": 8}),
    (mcstats.crv_mc_jarque_bera_test_ctx, 8, {"T": 0}),
    (mcstats.crv_mc_breusch_pagan_test_ctx, 24, {"option": 16}),
    (mcstats.crv_mc_breusch_godfrey_test_ctx, 24, {"lags": 16}),
    (mcstats.crv_mc_cusum_test_ctx, 16, {"k": 8}),
    (mcstats.crv_mc_chow_test_ctx, 24, {"break_point": 16}),
    (mcstats.crv_mc_standardize_ctx, 24, {"ddof": 16}),
    (mcstats.crv_mc_log_ctx, 24, {"shift": 16}),
    (mcstats.crv_mc_diff_ctx, 24, {"order": 16}),
    (mcstats.crv_mc_rolling_mean_ctx, 24, {"window": 16}),
    (mcstats.crv_mc_rolling_var_ctx, 32, {"window": 16, "ddof": 24}),
    (mcstats.crv_mc_user_transform_ctx, 40, {"fn": 0, "word1": 8, "word4": 32}),
]


@pytest.mark.parametrize("record,size,offsets", LAYOUTS, ids=lambda v: getattr(v, "__name__", ""))
def test_context_layout(record, size, offsets):
    assert ctypes.sizeof(record) == size
    for field, offset in offsets.items():
        assert getattr(record, field).offset == offset, field
