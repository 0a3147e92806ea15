"""Residual diagnostics and the Jarque-Bera table lookups against NumPy,
SciPy and statsmodels."""

import ctypes
import math

import numpy as np
import pytest
import scipy.stats
import statsmodels.api as sm
from statsmodels.stats.diagnostic import acorr_breusch_godfrey, acorr_ljungbox, het_breuschpagan
from statsmodels.tsa.stattools import acf as sm_acf

from Corvane._ckernels import ffi
from Corvane._ckernels.ffi.stats import STATUS, tables

lib = ffi.load("regression")
TABLES = tables(lib)
NAN = float("nan")


def arena(size):
    doubles, _ = size
    return np.full(max(doubles, 1), np.nan)


def out_cell(value=-12345.0):
    return np.array([value])


def ols_residuals(seed, n, k_extra, rho=0.0):
    """Residuals of an OLS fit with constant; returns (e, X without constant, fit)."""
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, k_extra))
    u = np.empty(n)
    u[0] = rng.normal()
    for t in range(1, n):
        u[t] = rho * u[t - 1] + rng.normal()
    y = 1.0 + X @ np.arange(1, k_extra + 1) + u * (1 + 0.5 * np.abs(X[:, 0]) if k_extra else u)
    fit = sm.OLS(y, sm.add_constant(X, has_constant="add")).fit()
    return np.ascontiguousarray(fit.resid), np.ascontiguousarray(X), fit


# ---- Breusch-Godfrey ---------------------------------------------------------

def bg_numpy(e, X, p):
    n = len(e)
    lags = np.zeros((n, p))
    for j in range(1, p + 1):
        lags[j:, j - 1] = e[:-j]
    Z = np.column_stack([np.ones(n), X, lags])
    beta = np.linalg.lstsq(Z, e, rcond=None)[0]
    ssr = np.sum((e - Z @ beta) ** 2)
    return n * (1 - ssr / np.sum(e**2))


@pytest.mark.parametrize("n,k,p,rho", [(50, 2, 1, 0.0), (120, 3, 4, 0.5), (30, 0, 2, -0.4),
                                       (200, 1, 8, 0.3)])
def test_bg_matches_auxiliary_regression(n, k, p, rho):
    e, X, fit = ols_residuals(n + p, n, k, rho)
    out = out_cell()
    st = lib.crv_bg_stat(e, X, n, k, p, arena(lib.crv_bg_arena_size(n, k, p)), out)
    assert st == 0
    assert out[0] == pytest.approx(bg_numpy(e, X, p), rel=1e-10, abs=1e-10)
    # statsmodels zero-fills the lags too but uses the centred R^2; OLS residuals
    # with a constant have mean zero, so the two agree to rounding.
    lm = acorr_breusch_godfrey(fit, nlags=p, result_object=True).lm
    assert out[0] == pytest.approx(lm, rel=1e-8, abs=1e-9)


def test_bg_orthogonal_residuals_give_zero():
    # e = (1, 0, -1, 0) repeated sums to zero and every product e_t e_{t-1} is
    # zero, so e is exactly orthogonal to the constant and to its first lag.
    e = np.tile([1.0, 0.0, -1.0, 0.0], 10)
    out = out_cell()
    st = lib.crv_bg_stat(e, np.zeros((40, 0)), 40, 0, 1, arena(lib.crv_bg_arena_size(40, 0, 1)),
                         out)
    assert st == 0
    assert out[0] == 0.0


@pytest.mark.parametrize("n,k,p,status", [(3, 1, 3, STATUS["too_few"]), (2, 0, 5, STATUS["too_few"]),
                                          (10, -1, 1, STATUS["bad_variance"]),
                                          (10, 1, -1, STATUS["bad_lags"])])
def test_bg_invalid_sizes_give_nan(n, k, p, status):
    e = np.arange(1.0, n + 1)
    X = np.ones((n, max(k, 0)))
    out = out_cell()
    assert lib.crv_bg_stat(e, X, n, k, p, arena((200, 0)), out) == status
    assert math.isnan(out[0])


def test_bg_singular_design_leaves_output_unwritten():
    n = 20
    e, _, _ = ols_residuals(3, n, 1)
    X = np.ones((n, 1))  # duplicates the constant column
    out = out_cell(7.0)
    st = lib.crv_bg_stat(e, X, n, 1, 2, arena(lib.crv_bg_arena_size(n, 1, 2)), out)
    assert st == STATUS["chol_failed"]
    assert out[0] == 7.0


# ---- Breusch-Pagan -----------------------------------------------------------

@pytest.mark.parametrize("studentized", [1, 0])
@pytest.mark.parametrize("n,k", [(60, 1), (200, 3)])
def test_bp_matches_statsmodels(studentized, n, k):
    e, X, _ = ols_residuals(7 * n + k, n, k)
    Z = np.ascontiguousarray(sm.add_constant(X, has_constant="add"))
    m = Z.shape[1]
    out = out_cell()
    st = lib.crv_bp_stat(e, Z, n, m, studentized, arena(lib.crv_bp_arena_size(n, m)), out)
    assert st == 0
    lm = het_breuschpagan(e, Z, robust=bool(studentized))[0]
    assert out[0] == pytest.approx(lm, rel=1e-10)


def test_bp_aux_sums_of_squares():
    n, m = 40, 2
    e, X, _ = ols_residuals(11, n, 1)
    Z = np.ascontiguousarray(np.c_[np.ones(n), X])
    ssr, tss = out_cell(), out_cell()
    assert lib.crv_bp_aux(e, Z, n, m, arena(lib.crv_bp_arena_size(n, m)), ssr, tss) == 0
    w = e**2 / np.mean(e**2)
    beta = np.linalg.lstsq(Z, w, rcond=None)[0]
    assert ssr[0] == pytest.approx(np.sum((w - Z @ beta) ** 2), rel=1e-11)
    assert tss[0] == pytest.approx(np.sum((w - w.mean()) ** 2), rel=1e-11)


def test_bp_without_constant_is_clipped_at_zero():
    # A regressor without the constant column can fit worse than the mean:
    # SSR > TSS. Both forms then report 0, never a negative value.
    n = 50
    rng = np.random.default_rng(5)
    e = rng.normal(size=n) + 3.0 * (np.arange(n) % 2)
    Z = np.ascontiguousarray(np.where(np.arange(n) % 2 == 0, 1.0, -1.0)[:, None])
    w = e**2 / np.mean(e**2)
    beta = (Z[:, 0] @ w) / (Z[:, 0] @ Z[:, 0])
    assert np.sum((w - Z[:, 0] * beta) ** 2) > np.sum((w - w.mean()) ** 2)
    for studentized in (0, 1):
        out = out_cell()
        assert lib.crv_bp_stat(e, Z, n, 1, studentized, arena(lib.crv_bp_arena_size(n, 1)), out) == 0
        assert out[0] == 0.0


@pytest.mark.parametrize("e,n,status", [(np.zeros(5), 5, STATUS["bad_variance"]),
                                        (np.array([1.0, np.inf]), 2, STATUS["bad_variance"]),
                                        (np.zeros(1), 0, STATUS["too_few"]),
                                        (np.zeros(1), -3, STATUS["bad_variance"])])
def test_bp_degenerate_variance(e, n, status):
    Z = np.ones((max(n, 1), 1))
    out = out_cell()
    assert lib.crv_bp_stat(e, Z, n, 1, 1, arena((50, 0)), out) == status
    assert math.isnan(out[0])


def test_bp_singular_aux_regression_gives_status_1_and_nan():
    n = 10
    e = np.arange(1.0, n + 1)
    Z = np.ones((n, 2))
    out = out_cell()
    assert lib.crv_bp_stat(e, Z, n, 2, 1, arena(lib.crv_bp_arena_size(n, 2)), out) == 1
    assert math.isnan(out[0])


# ---- autocorrelations and Ljung-Box -------------------------------------------

def ar1(seed, n, rho):
    rng = np.random.default_rng(seed)
    x = np.empty(n)
    x[0] = rng.normal()
    for t in range(1, n):
        x[t] = rho * x[t - 1] + rng.normal()
    return x + 2.0


@pytest.mark.parametrize("n,h", [(50, 10), (7, 12), (200, 1), (3, 0)])
def test_acorr_matches_statsmodels(n, h):
    x = ar1(n, n, 0.6)
    d, acf = np.empty(n), np.empty(h + 1)
    assert lib.crv_acorr(x, n, h, d, acf) == 0
    np.testing.assert_allclose(d, x - x.mean(), rtol=0, atol=1e-14)
    ref = sm_acf(x, nlags=min(h, n - 1), adjusted=False, fft=False)
    expected = np.r_[ref, np.zeros(h + 1 - len(ref))]  # lags >= n are zero
    np.testing.assert_allclose(acf, expected, rtol=1e-12, atol=1e-14)


@pytest.mark.parametrize("n,h", [(100, 5), (100, 20), (30, 1), (500, 40)])
def test_ljung_box_matches_statsmodels(n, h):
    x = ar1(3 * n + h, n, 0.3)
    size = lib.crv_lb_arena_size(n, h)
    assert size.doubles == n + h + 1 and size.slots == 0
    d, acf, out = np.empty(n), np.empty(h + 1), out_cell()
    assert lib.crv_lb_stat(x, n, h, d, acf, out) == 0
    ref = acorr_ljungbox(x, lags=[h])["lb_stat"].iloc[0]
    assert out[0] == pytest.approx(ref, rel=1e-11)


def test_ljung_box_clips_lags_to_n_minus_1():
    n = 8
    x = ar1(1, n, 0.2)
    assert lib.crv_lb_arena_size(n, 50).doubles == n + (n - 1) + 1
    d, acf, out = np.empty(n), np.empty(n), out_cell()
    assert lib.crv_lb_stat(x, n, 50, d, acf, out) == 0
    ref = acorr_ljungbox(x, lags=[n - 1])["lb_stat"].iloc[0]
    assert out[0] == pytest.approx(ref, rel=1e-11)


@pytest.mark.parametrize("x,h,status", [(np.array([1.0]), 3, STATUS["too_few"]),
                                        (np.arange(5.0), 0, STATUS["bad_lags"]),
                                        (np.arange(5.0), -2, STATUS["bad_lags"]),
                                        (np.full(6, 2.5), 2, STATUS["bad_variance"]),
                                        (np.array([1.0, np.nan, 2.0]), 1, STATUS["bad_variance"])])
def test_ljung_box_failures_write_nan(x, h, status):
    n = len(x)
    d, acf, out = np.empty(n), np.empty(max(h, 0) + n), out_cell()
    assert lib.crv_lb_stat(x, n, h, d, acf, out) == status
    assert math.isnan(out[0])


def test_acorr_constant_series_gives_nan_acf():
    x = np.full(10, 4.0)
    d, acf = np.empty(10), np.zeros(4)
    assert lib.crv_acorr(x, 10, 3, d, acf) == STATUS["bad_variance"]
    assert np.isnan(acf).all()


# ---- Jarque-Bera -------------------------------------------------------------

@pytest.mark.parametrize("dist,n", [("normal", 500), ("t3", 200), ("expo", 60), ("uniform", 10)])
def test_jarque_bera_matches_scipy(dist, n):
    rng = np.random.default_rng(n)
    x = {"normal": rng.normal, "t3": lambda size: rng.standard_t(3, size),
         "expo": rng.exponential, "uniform": rng.uniform}[dist](size=n)
    out = out_cell()
    assert lib.crv_jb_stat(x, n, out) == 0
    assert out[0] == pytest.approx(scipy.stats.jarque_bera(x).statistic, rel=1e-11)


def test_jarque_bera_small_sample_writes_statistic_and_flags():
    x = np.array([0.3, -1.2, 2.5, 0.1, 0.9])
    out = out_cell()
    assert lib.crv_jb_stat(x, 5, out) == STATUS["too_few"]
    assert out[0] == pytest.approx(scipy.stats.jarque_bera(x).statistic, rel=1e-12)


@pytest.mark.parametrize("x,n,status", [(np.zeros(1), 0, STATUS["too_few"]),
                                        (np.full(20, 3.0), 20, STATUS["bad_variance"]),
                                        (np.array([1.0, np.inf, 2.0]), 3, STATUS["bad_variance"])])
def test_jarque_bera_failures_write_nan(x, n, status):
    out = out_cell()
    assert lib.crv_jb_stat(x, n, out) == status
    assert math.isnan(out[0])


# ---- tables, bracketing, interpolation ---------------------------------------

def test_tables_shape_and_order():
    n_grid, p_grid, cv = TABLES["_JB_N_GRID"], TABLES["_JB_PVAL_GRID"], TABLES["_JB_CV"]
    np.testing.assert_array_equal(n_grid[[0, 5, -1]], [10, 100, 10000])
    np.testing.assert_array_equal(p_grid[[0, 5, -1]], [0.0001, 0.05, 0.9999])
    assert np.all(np.diff(n_grid) > 0) and np.all(np.diff(p_grid) > 0)
    assert np.all(np.diff(cv, axis=0) < 0), "every column must decrease down the rows"
    assert cv[5, 5] == 5.43 and cv[5, -1] == 5.9857 and cv[0, 0] == 15.345
    assert cv[-1, -1] == 0.0002 and cv[16, 3] == 0.1997


@pytest.mark.parametrize("descending", [False, True])
@pytest.mark.parametrize("x", [-5.0, 0.0, 1.0, 2.5, 3.0, 4.0, 7.0, 9.0, 20.0])
def test_find_hilo_matches_searchsorted(descending, x):
    values = np.array([0.0, 1.0, 3.0, 4.0, 7.0, 9.0])
    if descending:
        values = values[::-1].copy()
    lo, hi = np.zeros(1, np.int64), np.zeros(1, np.int64)
    fn = lib.crv_jb_find_hilo_descending if descending else lib.crv_jb_find_hilo_ascending
    fn(values, len(values), lo, hi, x)
    asc = values[::-1] if descending else values
    i = int(np.searchsorted(asc, x, side="left"))
    if descending:  # first index with values[i] <= x in the reversed array
        i = len(values) - int(np.searchsorted(asc, x, side="right"))
    count = len(values)
    if i == 0:
        expected = (0, 0)
    elif i == count:
        expected = (count - 1, count - 1)
    else:
        expected = (i, i) if values[i] == x else (i - 1, i)
    assert (lo[0], hi[0]) == expected


def test_find_hilo_empty():
    lo, hi = np.full(1, 9, np.int64), np.full(1, 9, np.int64)
    lib.crv_jb_find_hilo_ascending(np.zeros(1), 0, lo, hi, 1.0)
    assert (lo[0], hi[0]) == (0, 0)


@pytest.mark.parametrize("n,stat,expected", [(100, 5.43, 0.05), (100, 100.0, 0.0001),
                                             (100, 0.0, 1.0), (100, -2.0, 1.0),
                                             (100, math.inf, 0.0), (100, 1e-9, 0.9999),
                                             (5, 2.5247, 0.05), (50000, 5.9857, 0.05)])
def test_pval_fixed_points(n, stat, expected):
    assert lib.crv_jb_pval_interp(n, stat) == expected


@pytest.mark.parametrize("n,p,expected", [(10000, 0.05, 5.9857), (20000, 0.05, 5.9857),
                                          (100, 0.0, math.inf), (100, -1.0, math.inf),
                                          (100, 1.0, 0.0), (100, 0.00001, 68.032),
                                          (3, 0.99999, 0.0003)])
def test_isf_fixed_points(n, p, expected):
    assert lib.crv_jb_isf_interp(n, p) == expected


def test_nan_inputs():
    assert math.isnan(lib.crv_jb_pval_interp(100, NAN))
    assert math.isnan(lib.crv_jb_isf_interp(100, NAN))


def column_for(n):
    n_grid, cv = TABLES["_JB_N_GRID"], TABLES["_JB_CV"]
    return np.array([np.interp(n, n_grid, row) for row in cv])


@pytest.mark.parametrize("n", [10, 42, 100, 777, 5000])
def test_pval_interpolation_matches_numpy(n):
    col, p_grid = column_for(n), TABLES["_JB_PVAL_GRID"]
    stats = np.r_[np.linspace(col[-1] * 1.01, col[0] * 0.99, 57), col[3], col[17]]
    out = np.empty_like(stats)
    lib.crv_jb_pval_interp_into(n, stats, len(stats), out)
    expected = np.interp(stats, col[::-1], p_grid[::-1])
    np.testing.assert_allclose(out, expected, rtol=1e-12, atol=1e-15)
    assert all(lib.crv_jb_pval_interp(n, s) == o for s, o in zip(stats, out))


@pytest.mark.parametrize("n", [10, 42, 100, 777, 5000])
def test_isf_is_bilinear_and_inverts_pval(n):
    n_grid, p_grid, cv = TABLES["_JB_N_GRID"], TABLES["_JB_PVAL_GRID"], TABLES["_JB_CV"]
    ps = np.r_[np.linspace(0.0002, 0.9998, 41), p_grid[4], p_grid[20]]
    out = np.empty_like(ps)
    lib.crv_jb_isf_interp_into(n, ps, len(ps), out)
    expected = [np.interp(p, p_grid, column_for(n)) for p in ps]
    np.testing.assert_allclose(out, expected, rtol=1e-12, atol=1e-15)
    back = np.array([lib.crv_jb_pval_interp(n, v) for v in out])
    np.testing.assert_allclose(back, ps, rtol=1e-9, atol=1e-12)


@pytest.mark.parametrize("name,shape", [("_JB_N_GRID", (15, 1)), ("_JB_PVAL_GRID", (23, 1)),
                                        ("_JB_CV", (23, 15)), ("_KERNEL_SPECS", (4, 2)),
                                        ("_JB_NOPE", (0, 0)), ("", (0, 0))])
def test_stat_table_query_gives_shape_or_null(name, shape):
    rows, cols = np.full(1, -1, dtype=np.int64), np.full(1, -1, dtype=np.int64)
    data = lib.crv_stat_table(name.encode(), rows, cols)
    assert (int(rows[0]), int(cols[0])) == shape, name
    assert bool(data) == (shape != (0, 0)), "null exactly for an unknown name"


def test_stat_tables_are_not_exported_as_data():
    # The tables are read through crv_stat_table only: no symbol carries them.
    for name in ffi.stats.TABLES:
        with pytest.raises(ValueError):
            ctypes.c_double.in_dll(lib, name)
    # Each table is sorted as its lookups assume: grids ascending, columns of
    # critical values decreasing down the probabilities.
    assert np.all(np.diff(TABLES["_JB_N_GRID"]) > 0)
    assert np.all(np.diff(TABLES["_JB_PVAL_GRID"]) > 0)
    assert np.all(np.diff(TABLES["_JB_CV"], axis=0) <= 0)
