"""Regression solvers against NumPy closed forms and scikit-learn.

The penalised solvers work on G = X'X/n and c = X'y/n, so a penalty lambda is
scikit-learn's `alpha` for Lasso / ElasticNet, and n*lambda for Ridge.
"""

import ctypes

import numpy as np
import pytest
from sklearn.linear_model import ElasticNet, Lasso, Ridge, lars_path_gram

from Corvane._ckernels import ffi

LIB = ffi.load("regression")
NOT_PD, NO_CONV = -1501, -1502


def data(seed, n, p, intercept=False, corr=0.0):
    rng = np.random.default_rng(seed)
    Z = rng.standard_normal((n, p))
    if corr and p > 1:
        Z[:, 1] = corr * Z[:, 0] + np.sqrt(1 - corr**2) * Z[:, 1]
    y = Z @ rng.standard_normal(p) + 0.5 * rng.standard_normal(n) + 1.5
    X = np.column_stack((np.ones(n), Z)) if intercept else Z
    return np.ascontiguousarray(X), y, Z


def gram(Z, y):
    n = Z.shape[0]
    return np.ascontiguousarray(Z.T @ Z / n), Z.T @ y / n


def out_i64():
    return ctypes.c_int64(12345)


def out_f64():
    return ctypes.c_double(12345.0)


# ---- OLS ------------------------------------------------------------------


@pytest.mark.parametrize("n, p", [(30, 1), (50, 4), (12, 11), (200, 9)])
def test_ols_matches_lstsq(n, p):
    X, y, _ = data(n + p, n, p)
    beta, L, G, rhs = np.empty(p), np.empty(p * p), np.empty(p * p), np.empty(p)
    status = out_i64()
    rc = LIB.crv_ols_chol_solve(X, y, n, p, beta, L, ctypes.byref(status), G, rhs)
    assert rc == 0 and status.value == 0
    np.testing.assert_allclose(beta, np.linalg.lstsq(X, y, rcond=None)[0], rtol=1e-9, atol=1e-11)
    np.testing.assert_allclose(G.reshape(p, p), X.T @ X, rtol=1e-13)
    Lm = L.reshape(p, p)
    np.testing.assert_allclose(Lm @ Lm.T, X.T @ X, rtol=1e-12, atol=1e-12)


def test_ols_singular_gram_fails_with_nan():
    X, y, _ = data(3, 20, 3)
    X[:, 2] = X[:, 0]
    p = 3
    beta, status = np.zeros(p), out_i64()
    rc = LIB.crv_ols_chol_solve(X, y, 20, p, beta, np.empty(9), ctypes.byref(status),
                                np.empty(9), np.empty(3))
    assert rc == NOT_PD and status.value == NOT_PD
    assert np.isnan(beta).all()


# ---- ridge ----------------------------------------------------------------


def ridge_reference(X, y, lam, intercept):
    n, p = X.shape
    G, c = X.T @ X / n, X.T @ y / n
    D = np.eye(p)
    if intercept:
        D[0, 0] = 0
    beta = np.linalg.solve(G + lam * D, c)
    dof = np.trace(np.linalg.solve(G + lam * D, G))
    return beta, dof


@pytest.mark.parametrize("intercept", [0, 1])
@pytest.mark.parametrize("lam", [0.0, 0.05, 3.0])
def test_ridge_closed_form_and_dof(intercept, lam):
    n, k = 60, 4
    X, y, Z = data(7, n, k, intercept=bool(intercept))
    p = X.shape[1]
    beta, L, G, G0, rhs, tmp = (np.empty(p), np.empty(p * p), np.empty(p * p),
                                np.empty(p * p), np.empty(p), np.empty(p))
    dof, status = out_f64(), out_i64()
    LIB.crv_chol_solve_L2(X, y, n, p, intercept, beta, L, ctypes.byref(dof), lam,
                          ctypes.byref(status), G, G0, rhs, tmp)
    ref_beta, ref_dof = ridge_reference(X, y, lam, intercept)
    assert status.value == 0
    np.testing.assert_allclose(beta, ref_beta, rtol=1e-10, atol=1e-12)
    assert dof.value == pytest.approx(ref_dof, rel=1e-12)
    np.testing.assert_allclose(G0.reshape(p, p), X.T @ X / n, rtol=1e-13)
    # scikit-learn's Ridge minimises |y - Xb|^2 + alpha |b|^2: alpha = n * lambda.
    sk = Ridge(alpha=n * lam, fit_intercept=bool(intercept), solver="cholesky").fit(Z, y)
    sk_coef = np.r_[sk.intercept_, sk.coef_] if intercept else sk.coef_
    np.testing.assert_allclose(beta, sk_coef, rtol=1e-9, atol=1e-11)


def test_ridge_not_positive_definite():
    X, y, _ = data(8, 20, 3)
    p = 3
    beta, dof, status = np.zeros(p), out_f64(), out_i64()
    LIB.crv_chol_solve_L2(X, y, 20, p, 0, beta, np.empty(9), ctypes.byref(dof), -100.0,
                          ctypes.byref(status), np.empty(9), np.empty(9), np.empty(3),
                          np.empty(3))
    assert status.value == NOT_PD and np.isnan(dof.value) and np.isnan(beta).all()


def test_ridge_empty_problem_has_zero_dof():
    dof, status = out_f64(), out_i64()
    X, y = np.empty((5, 0)), np.ones(5)
    LIB.crv_chol_solve_L2(X, y, 5, 0, 0, None, None, ctypes.byref(dof), 1.0,
                          ctypes.byref(status), None, None, None, None)
    assert status.value == 0 and dof.value == 0.0


# ---- ridge grid search ----------------------------------------------------


def grid_reference(X, y, alphas, criterion, intercept):
    n = X.shape[0]
    scores, betas = [], []
    for a in alphas:
        beta, dof = ridge_reference(X, y, a, intercept)
        rss = np.sum((y - X @ beta) ** 2)
        if criterion == 3:
            s = rss
        elif criterion == 1:
            s = n * np.log(rss / n) + 2 * dof
        else:
            s = n * np.log(rss / n) + np.log(n) * dof
        scores.append(s)
        betas.append(beta)
    k = int(np.argmin(scores))
    return alphas[k], betas[k], scores[k]


def run_grid(X, y, alphas, criterion, intercept):
    n, p = X.shape
    alphas = np.asarray(alphas, dtype=float)
    best_alpha, best_score, status = out_f64(), out_f64(), out_i64()
    best_beta = np.full(p, 7.0)
    LIB.crv_ridge_grid_search(X, y, n, p, alphas, len(alphas), criterion, intercept,
                              ctypes.byref(best_alpha), best_beta, ctypes.byref(best_score),
                              ctypes.byref(status), np.empty(p * p), np.empty(p * p),
                              np.empty(p), np.empty(p * p), np.empty(p), np.empty(p))
    return best_alpha.value, best_beta, best_score.value, status.value


@pytest.mark.parametrize("criterion", [1, 2, 3, -7])
@pytest.mark.parametrize("intercept", [0, 1])
def test_ridge_grid_search_picks_lowest_score(criterion, intercept):
    X, y, _ = data(11, 40, 8, intercept=bool(intercept), corr=0.9)
    alphas = [2.0, 0.5, 0.1, 0.01, 0.001, 1e-4]
    a, beta, score, status = run_grid(X, y, alphas, criterion, intercept)
    ra, rbeta, rscore = grid_reference(X, y, alphas, criterion, intercept)
    assert status == 0 and a == ra
    assert score == pytest.approx(rscore, rel=1e-9)
    np.testing.assert_allclose(beta, rbeta, rtol=1e-9, atol=1e-12)


def test_ridge_grid_tie_keeps_first_alpha():
    # Only the unpenalised intercept column: every alpha gives the same fit.
    n = 15
    X = np.ones((n, 1))
    y = np.arange(n, dtype=float)
    a, beta, score, status = run_grid(X, y, [0.3, 5.0, 0.1], 3, 1)
    assert status == 0 and a == 0.3
    assert beta[0] == pytest.approx(y.mean())
    assert score == pytest.approx(np.sum((y - y.mean()) ** 2))


def test_ridge_grid_failures():
    X, y, _ = data(12, 20, 3)
    # Every candidate fails: first alpha recorded with +inf and NaN.
    a, beta, score, status = run_grid(X, y, [-50.0, -60.0], 1, 0)
    assert status == NOT_PD and a == -50.0 and score == np.inf and np.isnan(beta).all()
    # A failing first candidate is replaced by a later success.
    a, beta, score, status = run_grid(X, y, [-50.0, 0.2], 1, 0)
    ra, rbeta, _ = grid_reference(X, y, [0.2], 1, 0)
    assert status == 0 and a == 0.2
    np.testing.assert_allclose(beta, rbeta, rtol=1e-10)
    # An empty grid is a failure, not a success with stale coefficients.
    a, beta, score, status = run_grid(X, y, [], 1, 0)
    assert status == NOT_PD and np.isnan(a) and score == np.inf and np.isnan(beta).all()


@pytest.mark.parametrize("criterion, expected", [(1, -np.inf), (2, -np.inf), (3, 0.0)])
def test_ridge_grid_zero_rss_score(criterion, expected):
    X, _, _ = data(13, 10, 2)
    a, beta, score, status = run_grid(X, np.zeros(10), [0.5], criterion, 0)
    assert status == 0 and score == expected and np.all(beta == 0)


# ---- centred Gram -----------------------------------------------------------


@pytest.mark.parametrize("intercept", [0, 1])
def test_sparse_gram(intercept):
    n, k = 35, 4
    X, y, Z = data(14, n, k, intercept=bool(intercept))
    p = X.shape[1]
    G, Gc, c = np.empty(p * p), np.full(p * p, np.nan), np.empty(p)
    LIB.crv_mc_sparse_gram(X, y, n, p, intercept, G, Gc, c)
    np.testing.assert_allclose(G.reshape(p, p), X.T @ X / n, rtol=1e-13)
    if intercept:
        Zc, yc = Z - Z.mean(0), y - y.mean()
        np.testing.assert_allclose(Gc[: k * k].reshape(k, k), Zc.T @ Zc / n, rtol=1e-11,
                                   atol=1e-13)
        np.testing.assert_allclose(c[:k], Zc.T @ yc / n, rtol=1e-11, atol=1e-13)
        assert c[k] == pytest.approx(y.mean(), rel=1e-14)
    else:
        np.testing.assert_array_equal(Gc, G)
        np.testing.assert_allclose(c, X.T @ y / n, rtol=1e-13)


# ---- lasso and elastic net by coordinate descent -------------------------


def lasso_cd(G, c, lam, max_iter=10000, tol=1e-13):
    p = len(c)
    beta, Gb = np.full(p, 9.0), np.empty(p)
    st = LIB.crv_lasso_gram_cd(G, c, p, max_iter, beta, Gb, lam, tol)
    return st, beta, Gb


@pytest.mark.parametrize("lam", [0.001, 0.05, 0.3])
@pytest.mark.parametrize("seed", [1, 2])
def test_lasso_cd_matches_sklearn(lam, seed):
    _, y, Z = data(seed, 80, 7, corr=0.7)
    G, c = gram(Z, y)
    st, beta, Gb = lasso_cd(G, c, lam)
    sk = Lasso(alpha=lam, fit_intercept=False, tol=1e-14, max_iter=100000).fit(Z, y)
    assert st == 0
    np.testing.assert_allclose(beta, sk.coef_, atol=1e-9)
    np.testing.assert_allclose(Gb, G @ beta, atol=1e-12)


def test_lasso_large_lambda_zero_in_one_sweep():
    _, y, Z = data(3, 50, 5)
    G, c = gram(Z, y)
    st, beta, _ = lasso_cd(G, c, np.max(np.abs(c)), max_iter=1)
    assert st == 0 and np.all(beta == 0)


@pytest.mark.parametrize("max_iter, tol, p, expected", [
    (0, 1e-8, 3, NO_CONV), (-1, 1e-8, 3, NO_CONV), (5, 0.0, 3, NO_CONV),
    (5, -1.0, 3, NO_CONV), (5, 1e-8, 0, 0), (0, 1e-8, 0, NO_CONV), (5, 0.0, 0, NO_CONV),
])
def test_cd_status_rules(max_iter, tol, p, expected):
    _, y, Z = data(4, 30, 3)
    G, c = gram(Z, y)
    G, c = np.ascontiguousarray(G[:p, :p]), c[:p].copy()
    b, Gb = np.zeros(max(p, 1)), np.zeros(max(p, 1))
    assert LIB.crv_lasso_gram_cd(G, c, p, max_iter, b, Gb, 0.01, tol) == expected
    assert LIB.crv_en_gram_cd(G, c, p, b, max_iter, b, Gb, 0.01, 0.01, tol) == expected


def test_cd_non_convergence_keeps_last_iterate():
    _, y, Z = data(5, 40, 4, corr=0.95)
    G, c = gram(Z, y)
    st, beta, Gb = lasso_cd(G, c, 0.001, max_iter=2, tol=1e-14)
    assert st == NO_CONV
    assert np.all(np.isfinite(beta)) and np.any(beta != 0)
    np.testing.assert_allclose(Gb, G @ beta, atol=1e-12)


@pytest.mark.parametrize("tol_factor, applied", [(1.0, False), (1.0000001, False),
                                                 (0.9999999, True)])
def test_change_of_at_most_tol_not_applied(tol_factor, applied):
    # One coordinate: the exact minimiser is soft(c, lam) / g.
    G, c, lam = np.array([[2.0]]), np.array([1.5]), 0.5
    target = (1.5 - 0.5) / 2.0
    st, beta, _ = lasso_cd(G, c, lam, max_iter=3, tol=target * tol_factor)
    assert st == 0
    assert beta[0] == (target if applied else 0.0)


@pytest.mark.parametrize("alpha, l1_ratio", [(0.01, 0.5), (0.2, 0.9), (0.05, 0.1), (0.1, 1.0)])
def test_en_cd_matches_sklearn(alpha, l1_ratio):
    _, y, Z = data(6, 90, 6, corr=0.8)
    G, c = gram(Z, y)
    p = len(c)
    beta0 = np.linspace(-1, 1, p)  # warm start far from the solution
    beta, Gb = np.empty(p), np.empty(p)
    st = LIB.crv_en_gram_cd(G, c, p, beta0, 100000, beta, Gb, l1_ratio * alpha,
                            (1 - l1_ratio) * alpha, 1e-13)
    sk = ElasticNet(alpha=alpha, l1_ratio=l1_ratio, fit_intercept=False, tol=1e-14,
                    max_iter=100000).fit(Z, y)
    assert st == 0
    np.testing.assert_allclose(beta, sk.coef_, atol=1e-9)
    np.testing.assert_allclose(Gb, G @ beta + (1 - l1_ratio) * alpha * beta, atol=1e-12)
    # beta0 may be the output array itself.
    same = beta0.copy()
    LIB.crv_en_gram_cd(G, c, p, same, 100000, same, Gb, l1_ratio * alpha,
                       (1 - l1_ratio) * alpha, 1e-13)
    np.testing.assert_allclose(same, beta, atol=1e-12)


# ---- elastic-net path ------------------------------------------------------


def run_path(G, c, lambdas, l1_ratio, max_iter, tol):
    p, m = len(c), len(lambdas)
    betas, statuses = np.full(m * p, np.nan), np.full(m, 99, dtype=np.int64)
    LIB.crv_en_gram_cd_path(G, c, p, np.asarray(lambdas, float), m, max_iter, betas, statuses,
                            l1_ratio, tol, np.empty(p), np.empty(p))
    return betas.reshape(m, p), statuses


@pytest.mark.parametrize("order", ["descending", "ascending", "unsorted"])
def test_en_path_matches_sklearn(order):
    _, y, Z = data(9, 70, 5, corr=0.6)
    G, c = gram(Z, y)
    lambdas = {"descending": [0.5, 0.1, 0.02, 0.001], "ascending": [0.001, 0.02, 0.1, 0.5],
               "unsorted": [0.02, 0.5, 0.001, 0.1]}[order]
    betas, statuses = run_path(G, c, lambdas, 0.7, 100000, 1e-13)
    assert np.all(statuses == 0)
    for k, lam in enumerate(lambdas):
        sk = ElasticNet(alpha=lam, l1_ratio=0.7, fit_intercept=False, tol=1e-14,
                        max_iter=100000).fit(Z, y)
        np.testing.assert_allclose(betas[k], sk.coef_, atol=1e-9, err_msg=f"lambda={lam}")


@pytest.mark.parametrize("lambdas, order", [
    ([0.3, 0.1, 0.01], [0, 1, 2]),        # descending: forwards
    ([0.01, 0.1, 0.3], [2, 1, 0]),        # ascending: from the last entry backwards
    ([0.1, 0.3, 0.01], [0, 1, 2]),        # first < last is false: forwards
    ([0.2], [0]),
])
def test_en_path_warm_start_order(lambdas, order):
    # With one sweep per penalty the result depends on the warm start, so it
    # records the order in which the grid was run.
    _, y, Z = data(10, 50, 4, corr=0.9)
    G, c = gram(Z, y)
    p = len(c)
    betas, statuses = run_path(G, c, lambdas, 0.5, 1, 1e-12)
    warm = np.zeros(p)
    for k in order:
        row, Gb = np.empty(p), np.empty(p)
        st = LIB.crv_en_gram_cd(G, c, p, warm, 1, row, Gb, 0.5 * lambdas[k],
                                0.5 * lambdas[k], 1e-12)
        np.testing.assert_array_equal(betas[k], row)
        assert statuses[k] == st
        warm = row


def test_en_path_empty_grid_writes_nothing():
    G, c = np.eye(2), np.ones(2)
    betas, statuses = run_path(G, c, [], 0.5, 10, 1e-8)
    assert betas.size == 0 and statuses.size == 0


# ---- elastic-net degrees of freedom ----------------------------------------


def dof_reference(G, beta, l2, tol, intercept):
    A = np.flatnonzero(np.abs(beta) > tol)
    base = 1.0 if intercept else 0.0
    if A.size == 0:
        return base
    GA = G[np.ix_(A, A)]
    return base + np.trace(np.linalg.solve(GA + l2 * np.eye(A.size), GA))


def active_dof(G, beta, l2, tol, intercept):
    p = len(beta)
    return LIB.crv_en_active_dof(G, beta, p, intercept, np.empty(3 * p * p + p), l2, tol)


@pytest.mark.parametrize("intercept", [0, 1])
@pytest.mark.parametrize("l2", [0.0, 0.05, 1.0])
def test_en_active_dof(intercept, l2):
    _, y, Z = data(15, 60, 6)
    G, _ = gram(Z, y)
    beta = np.array([0.5, 0.0, -1e-9, 2.0, 1e-3, -0.7])
    tol = 1e-6
    got = active_dof(G, beta, l2, tol, intercept)
    assert got == pytest.approx(dof_reference(G, beta, l2, tol, intercept), rel=1e-12)
    if l2 == 0.0:
        assert got == pytest.approx(4 + intercept, rel=1e-12)


def test_en_active_dof_edges():
    G = np.array([[1.0, 1.0], [1.0, 1.0]])  # singular active block
    assert active_dof(G, np.array([0.3, 0.4]), 0.0, 1e-8, 1) == 3.0
    assert active_dof(G, np.zeros(2), 0.5, 1e-8, 1) == 1.0
    assert active_dof(G, np.zeros(2), 0.5, 1e-8, 0) == 0.0


# ---- LARS-lasso -------------------------------------------------------------


def lars(G, c, max_steps, lambda_min):
    p = len(c)
    lam = np.full(max_steps + 1, np.nan)
    betas = np.full((max_steps + 1) * p, np.nan)
    n_knots = out_i64()
    st = LIB.crv_lars_lasso_gram(G, c, p, max_steps, lam, betas, ctypes.byref(n_knots),
                                 np.full(p * p + 8 * p, np.nan), lambda_min)
    k = n_knots.value
    return st, lam[:k], betas.reshape(-1, p)[:k]


def drop_design(seed):
    rng = np.random.default_rng(seed)
    n, p = 40, 6
    Z = rng.standard_normal((n, p))
    Z[:, 1] = Z[:, 0] * 0.8 + 0.3 * Z[:, 1]
    Z[:, 3] = 0.6 * Z[:, 2] + 0.5 * Z[:, 3]
    y = Z @ rng.standard_normal(p) + rng.standard_normal(n)
    return gram(Z, y)


@pytest.mark.parametrize("case", ["plain", "correlated", "drop30", "drop33", "drop56"])
def test_lars_knots_match_sklearn(case):
    if case.startswith("drop"):
        G, c = drop_design(int(case[4:]))
    else:
        _, y, Z = data(16, 60, 7, corr=0.0 if case == "plain" else 0.9)
        G, c = gram(Z, y)
    ref_lam, _, ref_coef = lars_path_gram(c, G, n_samples=1, method="lasso", alpha_min=1e-10)
    if case.startswith("drop"):  # the reference path really drops a variable
        nz = ref_coef != 0
        assert np.any(nz[:, :-1] & ~nz[:, 1:])
    st, lam, betas = lars(G, c, 100, 1e-10)
    assert st == 0
    assert len(lam) == len(ref_lam)
    np.testing.assert_allclose(lam, ref_lam, atol=1e-9)
    np.testing.assert_allclose(betas, ref_coef.T, atol=1e-8)
    assert np.all(np.diff(lam) < 0)


def test_lars_step_cap_and_lambda_min():
    G, c = drop_design(30)
    ref_lam, _, ref_coef = lars_path_gram(c, G, n_samples=1, method="lasso", alpha_min=1e-10)
    st, lam, betas = lars(G, c, 3, 1e-10)
    assert st == NO_CONV and len(lam) == 4
    np.testing.assert_allclose(lam, ref_lam[:4], atol=1e-12)
    np.testing.assert_allclose(betas, ref_coef.T[:4], atol=1e-10)
    # Stops at the first knot at or below lambda_min.
    lam_min = 0.5 * (ref_lam[2] + ref_lam[3])
    st, lam, betas = lars(G, c, 100, lam_min)
    assert st == 0 and len(lam) == 4 and lam[-1] <= lam_min < lam[-2]
    # lambda_min at or above max |c|: one all-zero knot.
    st, lam, betas = lars(G, c, 100, np.max(np.abs(c)))
    assert st == 0 and len(lam) == 1 and lam[0] == np.max(np.abs(c)) and np.all(betas == 0)
    st, lam, betas = lars(G, c, 0, 1e-10)
    assert st == NO_CONV and len(lam) == 1 and np.all(betas == 0)
    # A negative cap leaves no room for any knot: nothing is written.
    p = len(c)
    n_knots, sentinel = out_i64(), np.full(p, np.nan)
    st = LIB.crv_lars_lasso_gram(G, c, p, -1, sentinel[:0], sentinel, ctypes.byref(n_knots),
                                 np.empty(p * p + 8 * p), 1e-10)
    assert st == NO_CONV and n_knots.value == 0 and np.isnan(sentinel).all()


@pytest.mark.parametrize("G", [[[0.0]], [[-1.0]]])
def test_lars_degenerate_equiangular_system(G):
    st, lam, betas = lars(np.array(G), np.array([1.0]), 10, 0.0)
    assert st == NO_CONV and len(lam) == 1 and lam[0] == 1.0


# ---- path evaluation -------------------------------------------------------


def test_path_eval_interpolates_like_numpy():
    G, c = drop_design(33)
    st, lam, betas = lars(G, c, 100, 1e-10)
    assert st == 0
    p = len(c)
    queries = np.r_[lam[0] * 2, lam[0], lam, 0.5 * (lam[:-1] + lam[1:]), lam[-1] - 1.0, 1e-3]
    out = np.full(len(queries) * p, np.nan)
    LIB.crv_lasso_path_eval(lam, betas.ravel().copy(), len(lam), p, queries, len(queries), out)
    out = out.reshape(-1, p)
    for j in range(p):
        ref = np.interp(queries, lam[::-1], betas[::-1, j])  # constant beyond the ends
        ref[queries >= lam[0]] = 0.0
        np.testing.assert_allclose(out[:, j], ref, atol=1e-13, err_msg=f"coordinate {j}")


def test_path_eval_edges():
    lam = np.array([2.0, 1.0])
    betas = np.array([0.0, 0.0, 1.0, -3.0])
    out = np.full(6, np.nan)
    LIB.crv_lasso_path_eval(lam, betas, 2, 2, np.array([5.0, 0.5, 1.5]), 3, out)
    np.testing.assert_array_equal(out, [0.0, 0.0, 1.0, -3.0, 0.5, -1.5])
    out = np.full(4, np.nan)  # no knots: zero rows, no read before the arrays
    LIB.crv_lasso_path_eval(lam, betas, 0, 2, np.array([5.0, 0.5]), 2, out)
    np.testing.assert_array_equal(out, 0.0)


def test_ridge_grid_criterion_is_a_32_bit_int():
    # criterion is a C int: a caller passing one leaves the upper half of the
    # 64-bit argument slot undefined. Pass (1 << 32) | 3 through a binding
    # that declares the slot 64-bit: the kernel must read 3 (RSS), not fall
    # back to the BIC score. Pure noise with many regressors separates the
    # two: RSS picks the smallest penalty, BIC a large one.
    rng = np.random.default_rng(14)
    n, p = 30, 12
    X, y = rng.standard_normal((n, p)), rng.standard_normal(n)
    alphas = np.array([10.0, 1.0, 1e-3])
    rss_alpha = grid_reference(X, y, alphas, 3, 0)[0]
    bic_alpha = grid_reference(X, y, alphas, 2, 0)[0]
    assert rss_alpha != bic_alpha, "the data must separate the criteria"
    raw = ffi.Library(LIB._name).crv_ridge_grid_search
    raw.restype = None
    argtypes = list(LIB.crv_ridge_grid_search.argtypes)
    argtypes[6] = ctypes.c_int64
    raw.argtypes = argtypes
    best_alpha, best_score, status = out_f64(), out_f64(), out_i64()
    raw(X, y, n, p, alphas, len(alphas), (1 << 32) | 3, 0, ctypes.byref(best_alpha),
        np.empty(p), ctypes.byref(best_score), ctypes.byref(status), np.empty(p * p),
        np.empty(p * p), np.empty(p), np.empty(p * p), np.empty(p), np.empty(p))
    assert status.value == 0
    assert best_alpha.value == rss_alpha, "the upper half of criterion was read"


@pytest.mark.parametrize("criterion, reference", [(3, 3), (1, 1), ((1 << 32) | 3, 2),
                                                  (-(1 << 40), 2)])
def test_ridge_grid_fit_passes_only_known_criteria(criterion, reference):
    # The fit takes a 64-bit criterion and hands the search an int: a code
    # other than 1 or 3 must stay the BIC rather than be truncated to one.
    rng = np.random.default_rng(14)
    n, p = 30, 12
    X, y = rng.standard_normal((n, p)), rng.standard_normal(n)
    alphas = np.array([10.0, 1.0, 1e-3])
    _, rbeta, _ = grid_reference(X, y, alphas, reference, 0)
    rec = ffi.crv_fit_result(n, p)
    coef, se = np.full(p, 7.0), np.empty(p)
    rec.coef = coef.ctypes.data_as(ctypes.POINTER(ctypes.c_double))
    rec.se = se.ctypes.data_as(ctypes.POINTER(ctypes.c_double))
    status = LIB.crv_mc_ridge_gs_fit(X, y, alphas, len(alphas), criterion, 0, ctypes.byref(rec),
                                     np.empty(p * p), np.empty(p * p), np.empty(p * p),
                                     np.empty(p), np.empty(p), np.empty(p))
    assert status == 0
    np.testing.assert_allclose(coef, rbeta, rtol=1e-9)
