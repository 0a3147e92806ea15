"""Data transforms: the kernels against NumPy, their status and NaN rules and
size functions, and each transform runner inside crv_mc_run (chains built
with the driver tests' helpers)."""

import ctypes

import numpy as np
import pytest
from numpy.lib.stride_tricks import sliding_window_view
from test_mc_driver import Job, Stage, binding, payload_stage

from Corvane._ckernels import ffi
from Corvane._ckernels.ffi import mc, mcstats

INVALID = -1301
NEVER = np.iinfo(np.int64).min

lib = ffi.load("regression")


def series(seed, T, k, loc=0.0, positive=False):
    rng = np.random.default_rng(seed)
    X = rng.standard_normal((T, k)) * rng.uniform(0.5, 3.0, k) + loc
    return np.exp(0.3 * X) if positive else X


def scratch(words):
    return np.full(max(words, 1), np.nan)


# ---- kernels against NumPy ---------------------------------------------------

@pytest.mark.parametrize("T,k,ddof", [(1, 1, 0), (7, 3, 1), (200, 4, 0), (33, 2, 5), (9, 1, -2)])
def test_standardize_matches_numpy(T, k, ddof):
    X = series(T * 10 + k, T, k, loc=50.0)
    out = np.full((T, k), np.nan)
    assert lib.crv_standardize_ax0(X, ddof, T, k, scratch(2 * k), out) == 0
    sd = X.std(axis=0, ddof=ddof)
    expected = np.where(sd > 0, (X - X.mean(axis=0)) / np.where(sd > 0, sd, 1.0), 0.0)
    np.testing.assert_allclose(out, expected, rtol=1e-12, atol=1e-12)


def test_standardize_constant_column_gives_zeros():
    X = np.column_stack([np.full(6, 3.25), np.arange(6.0)])
    out = np.full((6, 2), np.nan)
    assert lib.crv_standardize_ax0(X, 1, 6, 2, scratch(4), out) == 0
    np.testing.assert_array_equal(out[:, 0], 0.0)
    np.testing.assert_allclose(out[:, 1], (np.arange(6) - 2.5) / np.arange(6.0).std(ddof=1))


def test_standardize_nan_column_stays_nan():
    X = series(3, 8, 2)
    X[4, 1] = np.nan
    out = np.empty((8, 2))
    assert lib.crv_standardize_ax0(X, 0, 8, 2, scratch(4), out) == 0
    assert np.isnan(out[:, 1]).all(), "a NaN must not standardise to zeros"
    assert np.isfinite(out[:, 0]).all()


@pytest.mark.parametrize("shift", [0.0, 1.5])
def test_log_and_log_diff_match_numpy(shift):
    T, k = 25, 3
    X = series(4, T, k, positive=True)
    out = np.full((T, k), np.nan)
    assert lib.crv_log(X, T, k, out, shift) == 0
    np.testing.assert_allclose(out, np.log(X + shift), rtol=1e-15)
    dout = np.full((T - 1, k), np.nan)
    assert lib.crv_log_diff(X, T, k, scratch(k), dout, shift) == 0
    np.testing.assert_allclose(dout, np.diff(np.log(X + shift), axis=0), rtol=1e-13, atol=1e-15)


def test_log_at_minus_shift_is_minus_infinity():
    X = np.array([[2.0, -1.0], [0.5, 3.0]])
    out = np.empty((2, 2))
    assert lib.crv_log(X, 2, 2, out, 1.0) == 0
    assert out[0, 1] == -np.inf
    np.testing.assert_allclose(out[[0, 1, 1], [0, 0, 1]], np.log([3.0, 1.5, 4.0]))
    below = np.empty(1)
    assert lib.crv_log(np.array([-3.0]), 1, 1, below, 1.0) == 0
    assert np.isnan(below[0])


def test_log_diff_single_row_writes_nothing():
    out = np.full(3, 7.0)
    assert lib.crv_log_diff(np.ones(3), 1, 3, scratch(3), out, 0.0) == 0
    np.testing.assert_array_equal(out, 7.0)


@pytest.mark.parametrize("order", [1, 2, 3, 5, 9])
def test_diff_matches_numpy(order):
    T, k = 9, 3
    X = np.round(series(order, T, k) * 100)  # integers: differences are exact
    out = np.full((max(T - order, 0), k), np.nan)
    state = scratch(order * k)
    assert lib.crv_diff(X, order, T, k, state, out if out.size else None) == 0
    np.testing.assert_array_equal(out, np.diff(X, n=order, axis=0))


@pytest.mark.parametrize("order,expected", [(1, [3.0, 5.0]), (2, [2.0])])
def test_diff_of_squares(order, expected):
    out = np.full(len(expected), np.nan)
    assert lib.crv_diff(np.array([1.0, 4.0, 9.0]), order, 3, 1, scratch(order), out) == 0
    np.testing.assert_array_equal(out, expected)


def test_diff_with_null_output_and_short_series():
    state = np.full(3, np.nan)
    assert lib.crv_diff(np.array([1.0, 4.0, 9.0]), 1, 3, 1, state, None) == 0
    assert state[0] == 9.0  # the cascade still ran
    out = np.full(2, 5.0)
    assert lib.crv_diff(np.array([1.0, 2.0]), 4, 2, 1, scratch(4), out) == 0
    np.testing.assert_array_equal(out, 5.0)  # T <= order: no rows


@pytest.mark.parametrize("T,k,window", [(10, 2, 1), (10, 2, 3), (50, 3, 12), (7, 1, 7)])
def test_rolling_mean_matches_numpy(T, k, window):
    X = series(T + window, T, k)
    out = np.full((T - window + 1, k), np.nan)
    assert lib.crv_rolling_mean(X, T, k, window, scratch(k), out) == 0
    expected = sliding_window_view(X, window, axis=0).mean(axis=-1)
    np.testing.assert_allclose(out, expected, rtol=1e-12, atol=1e-13)


@pytest.mark.parametrize("std", [False, True])
@pytest.mark.parametrize("T,k,window,ddof,loc", [(10, 2, 2, 1, 0.0), (40, 3, 5, 0, 0.0),
                                                 (60, 2, 9, 1, 1e6), (8, 1, 8, 3, 2.0),
                                                 (30, 2, 4, -1, -5.0)])
def test_rolling_var_std_match_numpy(std, T, k, window, ddof, loc):
    X = series(T * window, T, k, loc=loc)
    out = np.full((T - window + 1, k), np.nan)
    kernel = lib.crv_rolling_std if std else lib.crv_rolling_var
    assert kernel(X, T, k, window, ddof, scratch(2 * k), out) == 0
    windows = sliding_window_view(X, window, axis=0)
    expected = windows.var(axis=-1) * window / (window - ddof)
    if std:
        expected = np.sqrt(expected)
    # Removing the oldest value through mean * window - x_o cancels digits in
    # proportion to the offset loc against the window's spread.
    scale = 1.0 + abs(loc) / 1e3
    np.testing.assert_allclose(out, expected, rtol=1e-10 * scale, atol=1e-12 * scale)


def test_rolling_var_window_one_is_zero():
    X = series(5, 6, 2)
    out = np.full((6, 2), np.nan)
    assert lib.crv_rolling_var(X, 6, 2, 1, 0, scratch(4), out) == 0
    np.testing.assert_array_equal(out, 0.0)


def test_rolling_constant_window_never_negative():
    X = np.array([[0.1], [0.1], [0.1], [0.7], [0.1], [0.1], [0.1]])
    out = np.full((5, 1), np.nan)
    assert lib.crv_rolling_var(X, 7, 1, 3, 1, scratch(2), out) == 0
    assert (out >= 0).all()
    assert out[-1, 0] == pytest.approx(0.0, abs=1e-16)


def test_rolling_var_nan_propagates():
    X = series(6, 12, 1)
    X[3, 0] = np.nan
    for kernel in (lib.crv_rolling_var, lib.crv_rolling_std):
        out = np.full((9, 1), -1.0)
        assert kernel(X, 12, 1, 4, 1, scratch(2), out) == 0
        assert np.isnan(out[:, 0]).all(), "a NaN in the window must not read as zero variance"


def test_rolling_window_equal_to_T_gives_one_row():
    X = series(7, 5, 2)
    for kernel, expected in ((lib.crv_rolling_mean, X.mean(axis=0)),):
        out = np.full((2, 2), np.nan)
        assert kernel(X, 5, 2, 5, scratch(2), out) == 0
        np.testing.assert_allclose(out[0], expected, rtol=1e-14)
        assert np.isnan(out[1]).all()
    out = np.full((2, 2), np.nan)
    assert lib.crv_rolling_std(X, 5, 2, 5, 1, scratch(4), out) == 0
    np.testing.assert_allclose(out[0], X.std(axis=0, ddof=1), rtol=1e-13)
    assert np.isnan(out[1]).all()


# ---- status rules --------------------------------------------------------------

BUF = np.zeros(64)
OUT = np.zeros(64)
X8 = np.arange(1.0, 17.0)  # up to 8 x 2

INVALID_CALLS = {
    "standardize T=0": lambda: lib.crv_standardize_ax0(X8, 0, 0, 2, BUF, OUT),
    "standardize k=0": lambda: lib.crv_standardize_ax0(X8, 0, 8, 0, BUF, OUT),
    "standardize ddof=T": lambda: lib.crv_standardize_ax0(X8, 8, 8, 2, BUF, OUT),
    "log T=0": lambda: lib.crv_log(X8, 0, 2, OUT, 0.0),
    "log k<0": lambda: lib.crv_log(X8, 8, -1, OUT, 0.0),
    "log_diff T=0": lambda: lib.crv_log_diff(X8, 0, 2, BUF, OUT, 0.0),
    "log_diff k=0": lambda: lib.crv_log_diff(X8, 8, 0, BUF, OUT, 0.0),
    "diff order 0": lambda: lib.crv_diff(X8, 0, 8, 2, BUF, OUT),
    "diff k=0": lambda: lib.crv_diff(X8, 1, 8, 0, BUF, OUT),
    "diff T=0": lambda: lib.crv_diff(X8, 1, 0, 2, BUF, OUT),
    "rolling mean window > T": lambda: lib.crv_rolling_mean(X8, 8, 2, 9, BUF, OUT),
    "rolling mean window 0": lambda: lib.crv_rolling_mean(X8, 8, 2, 0, BUF, OUT),
    "rolling mean k=0": lambda: lib.crv_rolling_mean(X8, 8, 0, 2, BUF, OUT),
    "rolling var window > T": lambda: lib.crv_rolling_var(X8, 8, 2, 9, 0, BUF, OUT),
    "rolling var window - ddof = 0": lambda: lib.crv_rolling_var(X8, 8, 2, 3, 3, BUF, OUT),
    "rolling var T=0": lambda: lib.crv_rolling_var(X8, 0, 2, 1, 0, BUF, OUT),
    "rolling std window 0": lambda: lib.crv_rolling_std(X8, 8, 2, 0, -1, BUF, OUT),
    "rolling std k=0": lambda: lib.crv_rolling_std(X8, 8, 0, 2, 0, BUF, OUT),
}


@pytest.mark.parametrize("call", INVALID_CALLS.values(), ids=INVALID_CALLS.keys())
def test_invalid_dimensions(call):
    OUT[:] = 42.0
    assert call() == INVALID
    np.testing.assert_array_equal(OUT, 42.0)


SIZES = [
    ("crv_standardize_ax0_arena_size", (7, 3), 7 * 3 + 2 * 3),
    ("crv_log_arena_size", (7, 3), 21),
    ("crv_log_diff_arena_size", (7, 3), 21 + 3),
    ("crv_diff_arena_size", (7, 3, 4), 3 * (7 + 4)),
    ("crv_rolling_mean_arena_size", (7, 3), 21 + 3),
    ("crv_rolling_var_arena_size", (7, 3), 3 * (7 + 2)),
    ("crv_rolling_std_arena_size", (200, 1), 202),
    ("crv_log_arena_size", (-4, 3), 0),
    ("crv_diff_arena_size", (2**40, 2**30, 1), np.iinfo(np.int64).max),
]


@pytest.mark.parametrize("name,args,words", SIZES)
def test_size_functions(name, args, words):
    assert tuple(getattr(lib, name)(*args)) == (words, 0)


# ---- runners inside crv_mc_run ------------------------------------------------

def runner(name):
    return ctypes.cast(getattr(lib, name), mc.crv_mc_runner)


def transform_chain(name, ctx, data, in_words, out_rows, k, n_threads):
    """Stage 0 copies row rep of data (n_reps x T k); stage 1 runs the runner
    with X bound from stage 0 into the front of its input block."""
    n_reps, n = data.shape
    s0 = payload_stage(lib, data, n_threads, n_reps)
    s1 = Stage(runner(name), n_threads, n_reps, in_words=in_words, out_words=out_rows * k,
               iout_words=1, ctx=ctx,
               bindings=[binding(source=0, src_row_len=n, cols=np.arange(n), n_cols=n)])
    return Job([s0, s1], n_reps, n_threads), s1


def _numpy_rolling(window, ddof, std):
    def f(X):
        v = sliding_window_view(X, window, axis=0).var(axis=-1) * window / (window - ddof)
        return np.sqrt(v) if std else v
    return f


T_, K_ = 30, 2

RUNNERS = {
    "standardize": ("crv_mc_standardize_runner", mcstats.crv_mc_standardize_ctx(T_, K_, 1),
                    lib.crv_standardize_ax0_arena_size(T_, K_).doubles, T_,
                    lambda X: (X - X.mean(0)) / X.std(0, ddof=1)),
    "log": ("crv_mc_log_runner", mcstats.crv_mc_log_ctx(T_, K_, 0.5),
            lib.crv_log_arena_size(T_, K_).doubles, T_, lambda X: np.log(X + 0.5)),
    "log_diff": ("crv_mc_log_diff_runner", mcstats.crv_mc_log_ctx(T_, K_, 0.0),
                 lib.crv_log_diff_arena_size(T_, K_).doubles, T_ - 1,
                 lambda X: np.diff(np.log(X), axis=0)),
    "diff": ("crv_mc_diff_runner", mcstats.crv_mc_diff_ctx(T_, K_, 3),
             lib.crv_diff_arena_size(T_, K_, 3).doubles, T_ - 3,
             lambda X: np.diff(X, n=3, axis=0)),
    "rolling_mean": ("crv_mc_rolling_mean_runner", mcstats.crv_mc_rolling_mean_ctx(T_, K_, 6),
                     lib.crv_rolling_mean_arena_size(T_, K_).doubles, T_ - 5,
                     lambda X: sliding_window_view(X, 6, axis=0).mean(axis=-1)),
    "rolling_var": ("crv_mc_rolling_var_runner", mcstats.crv_mc_rolling_var_ctx(T_, K_, 5, 1),
                    lib.crv_rolling_var_arena_size(T_, K_).doubles, T_ - 4,
                    _numpy_rolling(5, 1, False)),
    "rolling_std": ("crv_mc_rolling_std_runner", mcstats.crv_mc_rolling_var_ctx(T_, K_, 4, 0),
                    lib.crv_rolling_std_arena_size(T_, K_).doubles, T_ - 3,
                    _numpy_rolling(4, 0, True)),
}


@pytest.mark.parametrize("n_threads", [1, 2])
@pytest.mark.parametrize("case", RUNNERS.values(), ids=RUNNERS.keys())
def test_transform_runner_in_driver(case, n_threads):
    name, ctx, in_words, out_rows, reference = case
    n_reps = 6
    data = np.stack([series(r, T_, K_, positive=True).ravel() for r in range(n_reps)])
    job, stage = transform_chain(name, ctx, data, in_words, out_rows, K_, n_threads)
    assert job.run(lib) == 0
    np.testing.assert_array_equal(job.failed_stage, -1)
    np.testing.assert_array_equal(stage.iresults, 0)
    for r in range(n_reps):
        expected = reference(data[r].reshape(T_, K_))
        np.testing.assert_allclose(stage.results[r].reshape(out_rows, K_), expected,
                                   rtol=1e-11, atol=1e-12, err_msg=f"replication {r}")


BAD_CONTEXTS = {
    "standardize ddof = T": ("crv_mc_standardize_runner", mcstats.crv_mc_standardize_ctx(4, 1, 4)),
    "log k = 0": ("crv_mc_log_runner", mcstats.crv_mc_log_ctx(4, 0, 0.0)),
    "log_diff T = 0": ("crv_mc_log_diff_runner", mcstats.crv_mc_log_ctx(0, 1, 0.0)),
    "diff order 0": ("crv_mc_diff_runner", mcstats.crv_mc_diff_ctx(4, 1, 0)),
    "rolling mean window > T": ("crv_mc_rolling_mean_runner",
                                mcstats.crv_mc_rolling_mean_ctx(4, 1, 5)),
    "rolling var window = ddof": ("crv_mc_rolling_var_runner",
                                  mcstats.crv_mc_rolling_var_ctx(4, 1, 2, 2)),
    "rolling std window 0": ("crv_mc_rolling_std_runner",
                             mcstats.crv_mc_rolling_var_ctx(4, 1, 0, -1)),
}


@pytest.mark.parametrize("case", BAD_CONTEXTS.values(), ids=BAD_CONTEXTS.keys())
def test_invalid_dimensions_fail_the_replication(case):
    name, ctx = case
    n_reps = 3
    data = np.arange(1.0, 1.0 + n_reps * 4).reshape(n_reps, 4)
    job, stage = transform_chain(name, ctx, data, 16, 4, 1, 1)
    assert job.run(lib) == 0
    np.testing.assert_array_equal(job.failed_stage, 1)
    np.testing.assert_array_equal(job.status, INVALID)
    assert np.isnan(stage.results).all()
    np.testing.assert_array_equal(stage.iresults, NEVER)
    # Outside the driver the runner stores the status it returns.
    iout = np.zeros(1, np.int64)
    fn = getattr(lib, name)
    assert fn(0, np.ones(16), np.ones(16), None, iout.ctypes.data, ctypes.addressof(ctx)) == INVALID
    assert iout[0] == INVALID


@pytest.mark.parametrize("name", mcstats.TRANSFORM_RUNNERS)
def test_runner_without_context_fails(name):
    iout = np.zeros(1, np.int64)
    assert getattr(lib, name)(0, np.ones(4), np.ones(4), None, iout.ctypes.data, None) == -1201
    assert iout[0] == -1201


def test_runner_without_blocks_fails():
    ctx = mcstats.crv_mc_log_ctx(2, 2, 0.0)
    assert lib.crv_mc_log_runner(0, None, np.ones(4), None, None, ctypes.addressof(ctx)) == -1201
    assert lib.crv_mc_log_runner(0, np.ones(4), None, None, None, ctypes.addressof(ctx)) == -1201
    # diff with T = order writes no rows: a null out block is fine.
    dctx = mcstats.crv_mc_diff_ctx(2, 1, 2)
    assert lib.crv_mc_diff_runner(0, np.ones(4), None, None, None, ctypes.addressof(dctx)) == 0


# ---- the user-transform runner ------------------------------------------------

@pytest.mark.parametrize("n_threads", [1, 2])
def test_user_transform_runner(n_threads):
    n_reps, n = 8, 5
    seen = []

    @mcstats.crv_mc_user_transform_fn
    def scale(input_, out, w1, w2, w3, w4):
        seen.append((w1, w2, w3, w4))
        x = np.ctypeslib.as_array(input_, shape=(n,))
        y = np.ctypeslib.as_array(out, shape=(n,))
        y[:] = x * w1 + w2
        return -77 if x[0] == 3 * n else 0  # fails replication 3

    ctx = mcstats.crv_mc_user_transform_ctx(scale, 3, -2, 2**40, -(2**62))
    data = np.arange(n_reps * n, dtype=float).reshape(n_reps, n)
    job, stage = transform_chain("crv_mc_user_transform_runner", ctx, data, n, 1, n, n_threads)
    job.keep = scale
    assert job.run(lib) == 0
    failed = np.arange(n_reps) == 3
    np.testing.assert_array_equal(job.failed_stage, np.where(failed, 1, -1))
    np.testing.assert_array_equal(job.status, np.where(failed, -77, 0))
    np.testing.assert_array_equal(stage.results[~failed], data[~failed] * 3 - 2)
    np.testing.assert_array_equal(stage.iresults[~failed], 0)
    assert np.isnan(stage.results[failed]).all()
    assert set(seen) == {(3, -2, 2**40, -(2**62))} and len(seen) == n_reps


def test_user_transform_without_function_fails():
    ctx = mcstats.crv_mc_user_transform_ctx()
    iout = np.zeros(1, np.int64)
    assert lib.crv_mc_user_transform_runner(0, np.ones(2), np.ones(2), None, iout.ctypes.data,
                                            ctypes.addressof(ctx)) == -1201
    assert iout[0] == -1201


def test_runner_results_independent_of_thread_count():
    n_reps = 11
    data = np.stack([series(40 + r, T_, K_).ravel() for r in range(n_reps)])
    ctx = mcstats.crv_mc_rolling_var_ctx(T_, K_, 7, 1)
    words = lib.crv_rolling_var_arena_size(T_, K_).doubles
    runs = []
    for n_threads in (1, 2, 3):
        job, stage = transform_chain("crv_mc_rolling_std_runner", ctx, data, words, T_ - 6, K_,
                                     n_threads)
        assert job.run(lib) == 0
        runs.append(stage.results.tobytes())
    assert runs[0] == runs[1] == runs[2]
