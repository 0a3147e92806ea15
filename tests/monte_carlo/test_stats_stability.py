"""Structural-stability tests against statsmodels' recursive residuals, direct
NumPy evaluations of the definitions, and the Brownian-motion boundary-crossing
probability."""

import math

import numpy as np
import pytest
import scipy.stats
import statsmodels.api as sm
from statsmodels.stats.diagnostic import recursive_olsresiduals

from Corvane._ckernels import ffi
from Corvane._ckernels.ffi.stats import STATUS

lib = ffi.load("regression")


def regression(seed, n, k, shift=0.0):
    rng = np.random.default_rng(seed)
    X = np.c_[np.ones(n), rng.normal(size=(n, k - 1))] if k else np.zeros((n, 0))
    beta = np.arange(1.0, k + 1)
    y = X @ beta + rng.normal(size=n)
    y[n // 2:] += shift
    return np.ascontiguousarray(y), np.ascontiguousarray(X)


def numpy_recursive_residuals(y, X):
    """w_t = (y_t - x_t b_{t-1}) / sqrt(1 + x_t (X_t' X_t)^-1 x_t'), refitting each time."""
    n, k = X.shape
    w = []
    for t in range(k, n):
        Xt = X[:t]
        b = np.linalg.lstsq(Xt, y[:t], rcond=None)[0]
        x = X[t]
        w.append((y[t] - x @ b) / np.sqrt(1.0 + x @ np.linalg.solve(Xt.T @ Xt, x)))
    return np.array(w)


def ssr(y, X):
    if X.shape[1] == 0:
        return float(y @ y)
    b = np.linalg.lstsq(X, y, rcond=None)[0]
    r = y - X @ b
    return float(r @ r)


def buf(count, fill=np.nan):
    return np.full(max(count, 1), fill)


# ---- recursive residuals -----------------------------------------------------

@pytest.mark.parametrize("n,k", [(30, 3), (12, 1), (100, 5), (6, 5)])
def test_recursive_residuals_match_statsmodels(n, k):
    y, X = regression(n * 10 + k, n, k)
    w = buf(n - k)
    assert lib.crv_recursive_residuals(y, X, n, k, buf(3 * k * k + 3 * k), w) == 0
    np.testing.assert_allclose(w, numpy_recursive_residuals(y, X), rtol=1e-9, atol=1e-11)
    if n - k >= 2:  # statsmodels needs two residuals for its variance estimate
        scaled = recursive_olsresiduals(sm.OLS(y, X).fit())[4]
        np.testing.assert_allclose(w, scaled[k:], rtol=1e-9, atol=1e-11)


def test_recursive_residuals_exact_fit_are_zero():
    n, k = 20, 3
    _, X = regression(1, n, k)
    y = X @ np.array([0.5, -2.0, 3.0])
    w = buf(n - k)
    assert lib.crv_recursive_residuals(y, X, n, k, buf(3 * k * k + 3 * k), w) == 0
    np.testing.assert_allclose(w, 0.0, atol=1e-12)


def test_recursive_residuals_without_regressors_copy_y():
    y = np.array([3.0, -1.0, 2.5, 0.25])
    w = buf(4)
    assert lib.crv_recursive_residuals(y, np.zeros((4, 0)), 4, 0, buf(1), w) == 0
    np.testing.assert_array_equal(w, y)


@pytest.mark.parametrize("n,k,status", [(0, 0, STATUS["too_few"]), (3, 3, STATUS["too_few"]),
                                        (3, 5, STATUS["too_few"]), (5, -1, STATUS["bad_variance"])])
def test_recursive_residuals_sizes(n, k, status):
    w = buf(8, 99.0)
    assert lib.crv_recursive_residuals(np.ones(8), np.ones(40), n, k, buf(200), w) == status
    assert np.all(w == 99.0)


def test_recursive_residuals_singular_start():
    n, k = 10, 2
    X = np.ones((n, k))
    w = buf(n - k)
    assert lib.crv_recursive_residuals(np.arange(1.0, n + 1), X, n, k, buf(3 * k * k + 3 * k), w) == 1


# ---- Chow ----------------------------------------------------------------------

@pytest.mark.parametrize("n,k,b,shift", [(40, 2, 20, 0.0), (60, 3, 15, 2.0), (25, 1, 24, 1.0),
                                         (9, 4, 5, 0.0)])
def test_chow_matches_definition(n, k, b, shift):
    y, X = regression(n + b, n, k, shift)
    out = buf(1)
    size = lib.crv_chow_arena_size(k)
    assert (size.doubles, size.slots) == (2 * k * k + 2 * k, 0)
    st = lib.crv_chow_stat(y, X, n, k, b, buf(size.doubles), out)
    if b < k or n - b < k:  # a regime shorter than k rows fails in the solve
        assert st == 1
        return
    assert st == 0
    s1, s2 = ssr(y[:b], X[:b]), ssr(y[b:], X[b:])
    expected = ((ssr(y, X) - (s1 + s2)) / k) / ((s1 + s2) / (n - 2 * k))
    assert out[0] == pytest.approx(expected, rel=1e-9)


@pytest.mark.parametrize("n,k,b,status", [(20, 2, 0, STATUS["bad_arg"]), (20, 2, 20, STATUS["bad_arg"]),
                                          (20, 2, -3, STATUS["bad_arg"]), (10, 5, 5, STATUS["too_few"]),
                                          (0, 0, 1, STATUS["too_few"]), (20, -1, 5, STATUS["bad_variance"])])
def test_chow_invalid_arguments_give_nan(n, k, b, status):
    y, X = regression(2, 20, 2)
    out = buf(1, 5.0)
    assert lib.crv_chow_stat(y, X, n, k, b, buf(50), out) == status
    assert math.isnan(out[0])


@pytest.mark.parametrize("seed", range(5))
@pytest.mark.parametrize("b", [1, 2, 18, 19])
def test_chow_short_regime_fails_and_leaves_output_unwritten(seed, b):
    # A regime with fewer than k = 3 rows cannot be fitted.
    y, X = regression(seed, 20, 3)
    X[:, 0] = np.random.default_rng(seed).uniform(0.1, 10.0, 20)
    out = buf(1, 5.0)
    assert lib.crv_chow_stat(y, X, 20, 3, b, buf(24), out) == 1
    assert out[0] == 5.0


# ---- CUSUM and CUSUM of squares ---------------------------------------------------

def cusum_reference(y, X):
    n, k = X.shape
    w = numpy_recursive_residuals(y, X)
    sigma = np.sqrt(ssr(y, X) / (n - k))
    W = np.cumsum(w) / sigma
    m = n - k
    r = np.arange(m)
    stat = np.max(np.abs(W) / (np.sqrt(m) + 2 * r / np.sqrt(m)))
    s = np.cumsum(w**2)
    D = np.max(np.abs(s / s[-1] - (r + 1) / m))
    return W, stat, D / np.sqrt(2)


@pytest.mark.parametrize("n,k,shift", [(50, 2, 0.0), (80, 3, 3.0), (15, 1, 0.0), (4, 3, 0.0)])
def test_cusum_family_matches_definitions(n, k, shift):
    y, X = regression(7 * n + k, n, k, shift)
    W_ref, stat_ref, sq_ref = cusum_reference(y, X)
    m = n - k

    W = buf(m)
    assert lib.crv_cusum_series(y, X, n, k, buf(m + 5 * k * k + 5 * k), W) == 0
    np.testing.assert_allclose(W, W_ref, rtol=1e-9, atol=1e-11)

    size = lib.crv_cusum_arena_size(n, k)
    assert (size.doubles, size.slots) == (2 * n + 3 * k + 5 * k * k, 0)
    out = buf(1)
    assert lib.crv_cusum_stat(y, X, n, k, buf(size.doubles), out) == 0
    assert out[0] == pytest.approx(stat_ref, rel=1e-9)

    size = lib.crv_cusumsq_arena_size(n, k)
    assert (size.doubles, size.slots) == (n + 3 * k * k + 2 * k, 0)
    count, out = np.full(1, -1, np.int64), buf(1)
    assert lib.crv_cusumsq_stat(y, X, n, k, count, buf(size.doubles), out) == 0
    assert count[0] == m
    assert out[0] == pytest.approx(sq_ref, rel=1e-9, abs=1e-15)


def test_single_recursive_residual():
    n, k = 6, 5
    y, X = regression(4, n, k)
    w = numpy_recursive_residuals(y, X)
    sigma = np.sqrt(ssr(y, X) / 1)
    out = buf(1)
    assert lib.crv_cusum_stat(y, X, n, k, buf(lib.crv_cusum_arena_size(n, k).doubles), out) == 0
    assert out[0] == pytest.approx(abs(w[0]) / sigma, rel=1e-9)
    count, out = np.zeros(1, np.int64), buf(1)
    assert lib.crv_cusumsq_stat(y, X, n, k, count, buf(lib.crv_cusumsq_arena_size(n, k).doubles),
                                out) == 0
    assert out[0] == 0.0 and count[0] == 1


@pytest.mark.parametrize("n,k", [(0, 0), (3, 3), (2, 4)])
def test_cusum_too_few_observations(n, k):
    y, X = np.ones(8), np.ones(40)
    W = buf(4, 7.0)
    assert lib.crv_cusum_series(y, X, n, k, buf(500), W) == STATUS["too_few"]
    assert np.all(W == 7.0)
    out = buf(1, 7.0)
    assert lib.crv_cusum_stat(y, X, n, k, buf(500), out) == STATUS["too_few"]
    assert math.isnan(out[0])
    count, out = np.full(1, 9, np.int64), buf(1, 7.0)
    assert lib.crv_cusumsq_stat(y, X, n, k, count, buf(500), out) == STATUS["too_few"]
    assert math.isnan(out[0]) and count[0] == 0


def test_cusum_singular_start_gives_nan_and_status_1():
    n, k = 10, 2
    X = np.ones((n, k))
    y = np.arange(1.0, n + 1)
    out = buf(1, 7.0)
    assert lib.crv_cusum_stat(y, X, n, k, buf(lib.crv_cusum_arena_size(n, k).doubles), out) == 1
    assert math.isnan(out[0])
    count, out = np.zeros(1, np.int64), buf(1, 7.0)
    assert lib.crv_cusumsq_stat(y, X, n, k, count, buf(200), out) == 1
    assert math.isnan(out[0]) and count[0] == n - k


# ---- boundary-crossing probability ---------------------------------------------------

def crossing_probability(x):
    """P(|B(t)| >= x (1 + 2t) for some t in [0, 1]): the line a + b t is crossed
    with probability 1 - Phi(a + b) + exp(-2ab) Phi(b - a); a = x, b = 2x, twice."""
    norm = scipy.stats.norm
    return min(1.0, 2.0 * (norm.sf(3 * x) + np.exp(-4 * x * x) * norm.cdf(x)))


@pytest.mark.parametrize("x", [0.0, 0.1, 0.5, 0.85, 0.948, 1.143, 1.5, 2.5, 4.0])
def test_cusum_sf_closed_form(x):
    assert lib.crv_cusum_sf(x) == pytest.approx(crossing_probability(x), rel=1e-12, abs=1e-300)


@pytest.mark.parametrize("x,level", [(0.850, 0.10), (0.948, 0.05), (1.143, 0.01)])
def test_cusum_sf_reproduces_brown_durbin_evans_critical_values(x, level):
    assert lib.crv_cusum_sf(x) == pytest.approx(level, abs=6e-4)


def test_cusum_sf_limits_and_array_form():
    assert lib.crv_cusum_sf(0.0) == 1.0
    assert lib.crv_cusum_sf(float("nan")) == 1.0
    assert lib.crv_cusum_sf(-0.3) == 1.0
    x = np.linspace(0.0, 6.0, 61)
    out = buf(len(x))
    lib.crv_cusum_sf_into(x, len(x), out)
    assert np.all(np.diff(out) <= 0) and out[-1] < 1e-30
    np.testing.assert_array_equal(out, [lib.crv_cusum_sf(v) for v in x])


def test_cusum_sf_size_under_the_null():
    # The CUSUM statistic of an unbroken regression exceeds the 5% boundary in
    # about 5% of samples (the approximation is slightly conservative).
    rng = np.random.default_rng(2024)
    n, k = 120, 2
    size = lib.crv_cusum_arena_size(n, k).doubles
    rejections = 0
    reps = 400
    for _ in range(reps):
        X = np.ascontiguousarray(np.c_[np.ones(n), rng.normal(size=n)])
        y = X @ [1.0, 1.0] + rng.normal(size=n)
        out = buf(1)
        assert lib.crv_cusum_stat(y, X, n, k, buf(size), out) == 0
        rejections += lib.crv_cusum_sf(out[0]) < 0.05
    assert 0.005 < rejections / reps < 0.08
