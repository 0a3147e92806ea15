"""Fit kernels: coefficients against NumPy / scikit-learn, the common ending
(intercept recovery, rss, tss, NaN filling, OLS standard errors) and the
Monte Carlo block sizes against the buffer sizes of the fits."""

import ctypes

import numpy as np
import pytest
from sklearn.linear_model import ElasticNet, Lasso, Ridge

from Corvane._ckernels import ffi

LIB = ffi.load("regression")
NOT_PD, NO_CONV = -1501, -1502
_dp = ctypes.POINTER(ctypes.c_double)


def data(seed, n, k, intercept=True, corr=0.0):
    rng = np.random.default_rng(seed)
    Z = rng.standard_normal((n, k)) + 0.5
    if corr and k > 1:
        Z[:, 1] = corr * Z[:, 0] + np.sqrt(1 - corr**2) * Z[:, 1]
    y = Z @ rng.standard_normal(k) + 0.4 * rng.standard_normal(n) + 2.0
    X = np.column_stack((np.ones(n), Z)) if intercept else Z.copy()
    return np.ascontiguousarray(X), y, Z


class Fit:
    """A crv_fit_result with its coefficient and standard-error arrays."""

    def __init__(self, n, p, with_se=False):
        self.coef = np.full(max(p, 1), 7.0)
        self.se = np.full(max(p, 1), 7.0) if with_se else None
        self.rec = ffi.crv_fit_result(
            n=n, p=p, coef=self.coef.ctypes.data_as(_dp),
            se=self.se.ctypes.data_as(_dp) if with_se else None,
            rss=np.nan, tss=np.nan, status=NO_CONV)
        self.ptr = ffi.ptr(self.rec)


def S(*shape):
    return np.full(int(np.prod(shape)) if shape else 1, np.nan)


def check_ending(fit, X, y, p):
    """rss and tss of the reported coefficients, computed independently."""
    assert fit.rec.rss == pytest.approx(np.sum((y - X @ fit.coef[:p]) ** 2), rel=1e-10)
    assert fit.rec.tss == pytest.approx(np.sum((y - y.mean()) ** 2), rel=1e-12)


def check_failed(fit, status, p):
    assert fit.rec.status == status
    assert np.isnan(fit.coef[:p]).all() and np.isnan(fit.rec.rss) and np.isnan(fit.rec.tss)
    if fit.se is not None:
        assert np.isnan(fit.se[:p]).all()


# ---- OLS --------------------------------------------------------------------


def ols(X, y, with_se=True):
    n, p = X.shape
    fit = Fit(n, p, with_se)
    st = LIB.crv_mc_ols_fit(X, y, fit.ptr, S(p, p), S(p, p), S(p), S(p))
    assert st == fit.rec.status
    return fit


@pytest.mark.parametrize("n, k", [(25, 1), (60, 4), (300, 10)])
def test_ols_fit_coefficients_and_standard_errors(n, k):
    X, y, _ = data(n, n, k)
    p = k + 1
    fit = ols(X, y)
    beta = np.linalg.lstsq(X, y, rcond=None)[0]
    assert fit.rec.status == 0
    np.testing.assert_allclose(fit.coef, beta, rtol=1e-9, atol=1e-12)
    rss = np.sum((y - X @ beta) ** 2)
    se = np.sqrt(rss / (n - p) * np.diag(np.linalg.inv(X.T @ X)))
    np.testing.assert_allclose(fit.se, se, rtol=1e-9)
    check_ending(fit, X, y, p)


def test_ols_fit_without_se_and_square_design():
    X, y, _ = data(1, 8, 7)  # p = n = 8: exact fit, no residual degrees of freedom
    fit = ols(X, y)
    assert fit.rec.status == 0 and np.all(np.isfinite(fit.coef)) and np.isnan(fit.se).all()
    np.testing.assert_allclose(fit.coef, np.linalg.solve(X, y), rtol=1e-7)
    fit = ols(X[:, :4].copy(), y, with_se=False)
    assert fit.rec.status == 0 and fit.se is None


def test_ols_fit_singular_gram():
    X, y, _ = data(2, 30, 3)
    X[:, 3] = X[:, 1]
    check_failed(ols(X, y), NOT_PD, 4)


def test_ols_fit_no_regressor():
    y = np.array([1.0, 2.0, 4.0])
    fit = ols(np.empty((3, 0)), y)
    assert fit.rec.status == 0
    assert fit.rec.rss == 21.0 and fit.rec.tss == pytest.approx(14 / 3)


# ---- ridge ------------------------------------------------------------------


def ridge(X, y, alpha, intercept):
    n, p = X.shape
    fit = Fit(n, p)
    st = LIB.crv_mc_ridge_fit(X, y, intercept, fit.ptr, S(p, p), S(p, p), S(p, p), S(p), alpha,
                              S(p))
    assert st == fit.rec.status
    return fit


@pytest.mark.parametrize("intercept", [0, 1])
@pytest.mark.parametrize("alpha", [0.01, 0.5])
def test_ridge_fit_matches_sklearn(intercept, alpha):
    n = 70
    X, y, Z = data(3, n, 5, intercept=bool(intercept), corr=0.8)
    fit = ridge(X, y, alpha, intercept)
    sk = Ridge(alpha=n * alpha, fit_intercept=bool(intercept), solver="cholesky").fit(Z, y)
    ref = np.r_[sk.intercept_, sk.coef_] if intercept else sk.coef_
    assert fit.rec.status == 0
    np.testing.assert_allclose(fit.coef, ref, rtol=1e-9, atol=1e-12)
    check_ending(fit, X, y, X.shape[1])


def test_ridge_fit_failure():
    X, y, _ = data(4, 20, 2)
    check_failed(ridge(X, y, -100.0, 1), NOT_PD, 3)


@pytest.mark.parametrize("criterion", [1, 2, 3])
def test_ridge_gs_fit(criterion):
    n = 40
    X, y, _ = data(5, n, 8, corr=0.9)
    p = X.shape[1]
    alphas = np.array([1.0, 0.1, 0.01, 0.001])
    fit = Fit(n, p)
    st = LIB.crv_mc_ridge_gs_fit(X, y, alphas, 4, criterion, 1, fit.ptr, S(p, p), S(p, p),
                                 S(p, p), S(p), S(p), S(p))
    D = np.eye(p)
    D[0, 0] = 0
    scores, coefs = [], []
    for a in alphas:
        A = X.T @ X / n + a * D
        b = np.linalg.solve(A, X.T @ y / n)
        rss = np.sum((y - X @ b) ** 2)
        dof = np.trace(np.linalg.solve(A, X.T @ X / n))
        pen = {1: 2 * dof, 2: np.log(n) * dof, 3: None}[criterion]
        scores.append(rss if pen is None else n * np.log(rss / n) + pen)
        coefs.append(b)
    assert st == 0
    np.testing.assert_allclose(fit.coef, coefs[int(np.argmin(scores))], rtol=1e-9)
    check_ending(fit, X, y, p)
    bad = Fit(n, p)
    LIB.crv_mc_ridge_gs_fit(X, y, np.array([-1e3]), 1, criterion, 1, bad.ptr, S(p, p),
                            S(p, p), S(p, p), S(p), S(p), S(p))
    check_failed(bad, NOT_PD, p)


# ---- lasso and elastic net ------------------------------------------------


def lasso(X, y, alpha, intercept, max_iter=100000, tol=1e-13):
    n, p = X.shape
    fit = Fit(n, p)
    st = LIB.crv_mc_lasso_fit(X, y, intercept, max_iter, fit.ptr, S(p, p), S(p, p), S(p),
                              alpha, tol, S(p))
    assert st == fit.rec.status
    return fit


def enet(X, y, alpha, l1_ratio, intercept, max_iter=100000, tol=1e-13):
    n, p = X.shape
    fit = Fit(n, p)
    st = LIB.crv_mc_elastic_net_fit(X, y, intercept, max_iter, fit.ptr, S(p, p), S(p, p), S(p),
                                    alpha, l1_ratio, tol, S(p))
    assert st == fit.rec.status
    return fit


def sk_coef(model, intercept):
    return np.r_[model.intercept_, model.coef_] if intercept else model.coef_


@pytest.mark.parametrize("intercept", [0, 1])
@pytest.mark.parametrize("alpha", [0.002, 0.05, 0.4])
def test_lasso_fit_matches_sklearn(intercept, alpha):
    X, y, Z = data(6, 90, 6, intercept=bool(intercept), corr=0.7)
    fit = lasso(X, y, alpha, intercept)
    sk = Lasso(alpha=alpha, fit_intercept=bool(intercept), tol=1e-14, max_iter=100000).fit(Z, y)
    assert fit.rec.status == 0
    np.testing.assert_allclose(fit.coef, sk_coef(sk, intercept), atol=1e-9)
    check_ending(fit, X, y, X.shape[1])


def test_lasso_fit_large_alpha_gives_mean():
    X, y, _ = data(7, 50, 4)
    fit = lasso(X, y, 1e6, 1, max_iter=1)
    assert fit.rec.status == 0 and np.all(fit.coef[1:] == 0)
    assert fit.coef[0] == pytest.approx(y.mean(), rel=1e-14)
    assert fit.rec.rss == pytest.approx(fit.rec.tss, rel=1e-12)


@pytest.mark.parametrize("fitter", ["lasso", "enet"])
def test_sparse_fit_failure(fitter):
    X, y, _ = data(8, 40, 3, corr=0.9)
    fit = lasso(X, y, 1e-4, 1, max_iter=1) if fitter == "lasso" else \
        enet(X, y, 1e-4, 0.5, 1, max_iter=1)
    check_failed(fit, NO_CONV, 4)
    fit = lasso(X, y, 0.1, 1, tol=0.0) if fitter == "lasso" else enet(X, y, 0.1, 0.5, 1, tol=0.0)
    check_failed(fit, NO_CONV, 4)


@pytest.mark.parametrize("intercept", [0, 1])
@pytest.mark.parametrize("alpha, l1_ratio", [(0.01, 0.5), (0.3, 0.2), (0.05, 0.95)])
def test_elastic_net_fit_matches_sklearn(intercept, alpha, l1_ratio):
    X, y, Z = data(9, 80, 5, intercept=bool(intercept), corr=0.85)
    fit = enet(X, y, alpha, l1_ratio, intercept)
    sk = ElasticNet(alpha=alpha, l1_ratio=l1_ratio, fit_intercept=bool(intercept), tol=1e-14,
                    max_iter=100000).fit(Z, y)
    assert fit.rec.status == 0
    np.testing.assert_allclose(fit.coef, sk_coef(sk, intercept), atol=1e-9)
    check_ending(fit, X, y, X.shape[1])


@pytest.mark.parametrize("fitter", ["lasso", "enet"])
def test_sparse_fit_without_rows(fitter):
    # No data: zero Gram (not 0/0), zero coefficients, rss = tss = 0.
    X, y = np.empty((0, 3)), np.empty(0)
    fit = lasso(X, y, 0.1, 1) if fitter == "lasso" else enet(X, y, 0.1, 0.5, 1)
    assert fit.rec.status == 0 and np.all(fit.coef[:3] == 0)
    assert fit.rec.rss == 0.0 and fit.rec.tss == 0.0


# ---- grid fits of the sparse models -----------------------------------------


def lasso_gs(X, y, alphas, intercept, max_iter=50, tol=1e-10):
    n, p = X.shape
    q = p - 1 if intercept else p
    m = len(alphas)
    fit = Fit(n, p)
    grid = S(max(m, 1), q)
    knots = max(max_iter, 0) + 1
    st = LIB.crv_mc_lasso_gs_fit(X, y, np.asarray(alphas, float), m, intercept, max_iter, fit.ptr,
                                 S(p, p), tol, S(p, p), S(p), S(knots), S(knots, q), grid,
                                 S(q * q + 8 * q))
    assert st == fit.rec.status
    return fit, grid[: m * q].reshape(m, q)


@pytest.mark.parametrize("intercept", [0, 1])
def test_lasso_gs_fit(intercept):
    X, y, Z = data(10, 60, 5, intercept=bool(intercept), corr=0.6)
    # Scored by in-sample rss, which can only fall as alpha falls: the winner
    # is the smallest alpha, placed in the middle of the grid here.
    alphas = [0.3, 0.1, 0.001, 0.02, 5.0]
    fit, grid = lasso_gs(X, y, alphas, intercept)
    assert fit.rec.status == 0
    for k, a in enumerate(alphas):
        sk = Lasso(alpha=a, fit_intercept=bool(intercept), tol=1e-14, max_iter=100000).fit(Z, y)
        np.testing.assert_allclose(grid[k], sk.coef_, atol=1e-8, err_msg=f"alpha={a}")
    sk = Lasso(alpha=0.001, fit_intercept=bool(intercept), tol=1e-14, max_iter=100000).fit(Z, y)
    np.testing.assert_allclose(fit.coef, sk_coef(sk, intercept), atol=1e-8)
    check_ending(fit, X, y, X.shape[1])


def test_lasso_gs_tie_keeps_earlier_alpha():
    X, y, _ = data(11, 30, 3)
    fit, grid = lasso_gs(X, y, [50.0, 20.0], 1)  # both above the path: all slopes 0
    assert fit.rec.status == 0 and np.all(grid == 0) and np.all(fit.coef[1:] == 0)
    assert fit.coef[0] == pytest.approx(y.mean())


def test_lasso_gs_failures():
    X, y, _ = data(12, 40, 5)
    check_failed(lasso_gs(X, y, [0.1, 0.01], 1, max_iter=1)[0], NO_CONV, 6)
    check_failed(lasso_gs(X, y, [], 1)[0], NO_CONV, 6)


def enet_gs(X, y, alphas, l1_ratio, criterion, intercept, max_iter=100000, tol=1e-12):
    n, p = X.shape
    q = p - 1 if intercept else p
    m = len(alphas)
    fit = Fit(n, p)
    grid, statuses = S(max(m, 1), q), np.full(max(m, 1), 99, dtype=np.int64)
    st = LIB.crv_mc_elastic_net_gs_fit(X, y, np.asarray(alphas, float), m, criterion, intercept,
                                       max_iter, fit.ptr, l1_ratio, tol, S(p, p), S(p, p), S(p),
                                       grid, statuses, S(p), S(p), S(3 * q * q + q))
    assert st == fit.rec.status
    return fit, grid[: m * q].reshape(m, q), statuses[:m]


@pytest.mark.parametrize("criterion", [1, 2, 3])
@pytest.mark.parametrize("intercept", [0, 1])
def test_elastic_net_gs_fit(criterion, intercept):
    n = 50
    X, y, Z = data(13, n, 8, intercept=bool(intercept), corr=0.5)
    alphas, l1_ratio, tol = [0.5, 0.2, 0.05, 0.01, 0.001], 0.6, 1e-12
    fit, grid, statuses = enet_gs(X, y, alphas, l1_ratio, criterion, intercept, tol=tol)
    assert np.all(statuses == 0) and fit.rec.status == 0
    scores, coefs = [], []
    Zc = Z - Z.mean(0) if intercept else Z
    for k, a in enumerate(alphas):
        sk = ElasticNet(alpha=a, l1_ratio=l1_ratio, fit_intercept=bool(intercept), tol=1e-14,
                        max_iter=100000).fit(Z, y)
        np.testing.assert_allclose(grid[k], sk.coef_, atol=1e-8)
        rss = np.sum((y - sk.predict(Z)) ** 2)
        A = np.flatnonzero(np.abs(sk.coef_) > tol)
        GA = (Zc.T @ Zc / n)[np.ix_(A, A)]
        dof = intercept + np.trace(np.linalg.solve(GA + a * (1 - l1_ratio) * np.eye(A.size), GA))
        pen = {1: 2 * dof, 2: np.log(n) * dof, 3: None}[criterion]
        scores.append(rss if pen is None else n * np.log(rss / n) + pen)
        coefs.append(sk_coef(sk, intercept))
    np.testing.assert_allclose(fit.coef, coefs[int(np.argmin(scores))], atol=1e-8)
    check_ending(fit, X, y, X.shape[1])


def test_elastic_net_gs_no_alpha_converges():
    X, y, _ = data(14, 40, 4, corr=0.9)
    fit, _, statuses = enet_gs(X, y, [0.1, 0.01], 0.5, 1, 1, max_iter=1)
    assert np.all(statuses == NO_CONV)
    check_failed(fit, NO_CONV, 5)
    fit, _, _ = enet_gs(X, y, [], 0.5, 1, 1)
    check_failed(fit, NO_CONV, 5)


def test_elastic_net_gs_skips_failed_alphas():
    # The small alpha needs many sweeps; the large one converges at once.
    X, y, _ = data(15, 40, 4, corr=0.95)
    fit, grid, statuses = enet_gs(X, y, [1e6, 1e-5], 0.5, 3, 1, max_iter=2)
    assert list(statuses) == [0, NO_CONV]
    assert fit.rec.status == 0 and np.all(fit.coef[1:] == 0)
    assert fit.coef[0] == pytest.approx(y.mean())


# ---- Monte Carlo block sizes ------------------------------------------------


@pytest.mark.parametrize("n, p", [(10, 1), (50, 4), (7, 7)])
def test_block_sizes_cover_each_fit_buffer(n, p):
    # Input block: X, y, then the fit's scratch in argument order; sizes from
    # the fits' buffer table.
    data_words = n * p + n
    expected = {
        "crv_mc_ols_work_arena_size": 2 * p * p + 2 * p,           # L, G, g, tmp
        "crv_mc_ridge_work_arena_size": 3 * p * p + 2 * p,         # L, G, G_unpen, g, tmp
        "crv_mc_ridge_gs_work_arena_size": 3 * p * p + 3 * p,      # G_base, G, L, g, work, col
        "crv_mc_lasso_work_arena_size": 2 * p * p + 2 * p,         # G_base, G, g, Gcoef
        "crv_mc_elastic_net_work_arena_size": 2 * p * p + 2 * p,
    }
    for name, scratch in expected.items():
        assert tuple(getattr(LIB, name)(n, p)) == (data_words + scratch, 0), name
    for intercept in (0, 1):
        q = p - 1 if intercept else p
        for m, it in [(1, 1), (5, 30)]:
            scratch = 2 * p * p + p + (it + 1) + (it + 1) * q + m * q + q * q + 8 * q
            got = tuple(LIB.crv_mc_lasso_gs_work_arena_size(n, p, intercept, m, it))
            assert got == (data_words + scratch, 0)
            scratch = 2 * p * p + p + m * q + 2 * p + 3 * q * q + q
            got = tuple(LIB.crv_mc_elastic_net_gs_work_arena_size(n, p, intercept, m))
            assert got == (data_words + scratch, m)
        # A negative step cap is sized as 0: the path still holds its first knot.
        assert tuple(LIB.crv_mc_lasso_gs_work_arena_size(n, p, intercept, 2, -3)) == \
            tuple(LIB.crv_mc_lasso_gs_work_arena_size(n, p, intercept, 2, 0))


def test_lasso_gs_negative_step_cap_fails_cleanly():
    X, y, _ = data(16, 20, 3)
    check_failed(lasso_gs(X, y, [0.1], 1, max_iter=-2)[0], NO_CONV, 4)


def test_fit_result_layout():
    rec = ffi.crv_fit_result
    assert ctypes.sizeof(rec) == 56
    offsets = {"n": 0, "p": 8, "coef": 16, "se": 24, "rss": 32, "tss": 40, "status": 48}
    assert {name: getattr(rec, name).offset for name in offsets} == offsets
