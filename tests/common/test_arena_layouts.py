"""Scratch layouts: every size query against the closed form its contract
states, and the composite kernels and statistics inside exactly the arena
their query asks for, whatever the arena held before."""

import ctypes
import itertools

import numpy as np
import pytest

from Corvane._ckernels import ffi

import kernel_models as models

LIB = ffi.load("regression")
GUARD_WORDS = 16
GUARD = -3.25e301


# ---- closed forms -------------------------------------------------------------------

def ukf_doubles(nx, ny, m, k):
    L = 2 * nx + m
    return (m + 2 * ny + L * L + 2 * m * m + (ny + m + 5 * nx) * (2 * L + 1)
            + nx * (m + 17 * nx + 10) + k * (2 * (k + ny + m) + 10 * nx + 7))


def missing_doubles(n, m, k):
    kf = n * (k + 6 * n + 2) + m * (4 * n + 2 * (m + k) + 7)
    return kf + m * (n + 2 * m + k + 1)     # Z_o, H_oo, v_o, M_o, F over all entries


def preproc(n, p, m, neq):
    return 2 * (4 * n + p + m + max(neq, n))      # the residual block holds max(n, neq)


def newton(n, p, m):
    return (2 * p + 2 * m + n * (m + 4 * n + 6) + preproc(n, p, m, n), n)


def postproc(nk, nf):
    return (2 * (nk * nf + 6 * nk * nk) + 4 * nk * nk, nk)


def rotate(n, k, c):
    return (k + n * k + n + 64 * max(n, c), 0)


def solve1(n, nx, ny, p, m, N):
    phases = max(postproc(N, N)[0], 142 * N, rotate(n, n, max(n, m))[0])
    pencil = (2 * m + 4 * n) * n + (8 * N + 2 * n) * N + phases
    doubles = max(pencil, preproc(n, p, m, n), newton(n, p, m)[0]) + 2 * nx * (nx + ny)
    return (doubles, max(n + N + max(N, (N + 1) // 2), n))


def hessian(n, p, m, neq):
    return (4 * (3 * n + p + m + max(neq, n)), 0)


def second_order(n, nx, m):
    q, k2 = max(nx * m, nx * nx, m * m), nx * nx
    return (n * (k2 * (k2 * n + 3) + m * m + 3 * n + 3 * q + 2 * nx + 1)
            + (m + 3 * n) * (nx + 2 * m + q), max(n, k2 * n))


def solve2(n, nx, ny, p, m, N):
    reserve = 2 * nx * (nx + ny)
    first, second = solve1(n, nx, ny, p, m, N), second_order(n, nx, m)
    F = max(first[0] - reserve, hessian(n, p, m, n)[0])
    return (max(F, second[0]) + reserve, max(first[1], second[1]))


def vech(k):
    return k * (k + 1) // 2


def lasso_gs(n, p, intercept, n_alphas, max_iter):
    q, it = max(p - intercept, 0), max(max_iter, 0)
    return (it + n + n * p + p * (2 * p + 1) + q * (p + n_alphas + it + (1 - intercept) + 8) + 1,
            0)


def en_gs(n, p, intercept, n_alphas):
    q = max(p - intercept, 0)
    return (q * (3 * q + n_alphas) + p * (2 * p + 3) + q + n + n * p, n_alphas)


# name: (closed form, arity, {argument index: values} overrides)
QUERIES = {
    "kf_arena_size": (lambda n, m, k: (n * (k + 6 * n + 2) + m * (4 * n + 2 * (m + k) + 7), 0),
                      3),
    "ekf_arena_size": (lambda n, m, k: (n * (k + 6 * n + 2) + m * (5 * n + 2 * (m + k) + 6), 0),
                       3),
    "ukf_arena_size": (lambda nx, ny, m, k: (ukf_doubles(nx, ny, m, k), 0), 4),
    "kf_filter_missing_arena_size": (lambda n, m, k: (missing_doubles(n, m, k), 0), 3),
    "kf_smoother_arena_size": (lambda n, m, k, T: (missing_doubles(n, m, k) + T * m * (n + m + 1)
                                                   + 5 * n * n + 2 * n * (k + m + 1)
                                                   + m * (3 * m + 1), 0), 4),
    "crv_dlyap_arena_size": (lambda n: (4 * n * n + 40 * n, (n + 1) // 2), 1),
    "crv_simulate_linear_states_arena_size": (lambda n: (2 * n, 0), 1),
    "crv_simulate_second_order_pruned_arena_size": (lambda nx, m: (m * m + nx * (nx + m + 4), 0),
                                                    2),
    "crv_newton_arena_size": (newton, 3),
    "klein_preproc_arena_size": (lambda n, p, m, neq: (preproc(n, p, m, neq), 0), 4),
    "crv_pencil_rotate_arena_size": (rotate, 3),
    "klein_qz_arena_size": (lambda N: (142 * N, (N + 1) // 2), 1),
    "klein_postproc_arena_size": (postproc, 2),
    "crv_klein_solve1_arena_size": (solve1, 6),
    "crv_bicomplex_hessian_arena_size": (hessian, 4),
    "crv_second_order_arena_size": (second_order, 3),
    "crv_sgu_klein_solve2_arena_size": (solve2, 6),
    "crv_bg_arena_size": (lambda n, k, p: ((k + p + 1) * (n + 2 * (k + p + 1) + 2), 0), 3),
    "crv_bp_arena_size": (lambda n, m: (n + 2 * m + 2 * m * m, 0), 2),
    "crv_lb_arena_size": (lambda n, h: (n + min(h, n - 1 if n >= 2 else 0) + 1, 0), 2),
    "crv_chow_arena_size": (lambda k: (2 * k * k + 2 * k, 0), 1),
    "crv_cusum_arena_size": (lambda n, k: (2 * n + 3 * k + 5 * k * k, 0), 2),
    "crv_cusumsq_arena_size": (lambda n, k: (n + 3 * k * k + 2 * k, 0), 2),
    "crv_wald_mean_hac_arena_size": (lambda T, k: (k * (T + 3 * k + 4), k), 2),
    "crv_wald_covariance_hac_arena_size":
        (lambda T, k: (T * (k + vech(k)) + vech(k) * (3 * vech(k) + 5), vech(k)), 2),
    "crv_wald_second_moment_hac_arena_size":
        (lambda T, k: (vech(k) * (T + 3 * vech(k) + 5), vech(k)), 2),
    "crv_mc_ols_work_arena_size": (lambda n, p: (n + n * p + (2 * p + 2) * p, 0), 2),
    "crv_mc_ridge_work_arena_size": (lambda n, p: (n + n * p + p * (3 * p + 2), 0), 2),
    "crv_mc_ridge_gs_work_arena_size": (lambda n, p: (n + n * p + p * (3 * p + 3), 0), 2),
    "crv_mc_lasso_work_arena_size": (lambda n, p: (n + n * p + (2 * p + 2) * p, 0), 2),
    "crv_mc_lasso_gs_work_arena_size": (lasso_gs, 5),
    "crv_mc_elastic_net_work_arena_size": (lambda n, p: (n + n * p + (2 * p + 2) * p, 0), 2),
    "crv_mc_elastic_net_gs_work_arena_size": (en_gs, 4),
    "crv_standardize_ax0_arena_size": (lambda T, k: (k * (T + 2), 0), 2),
    "crv_log_arena_size": (lambda T, k: (T * k, 0), 2),
    "crv_log_diff_arena_size": (lambda T, k: (k + T * k, 0), 2),
    "crv_diff_arena_size": (lambda T, k, order: (k * (T + order), 0), 3),
    "crv_rolling_mean_arena_size": (lambda T, k: (k + T * k, 0), 2),
    "crv_rolling_var_arena_size": (lambda T, k: (k * (T + 2), 0), 2),
    "crv_rolling_std_arena_size": (lambda T, k: (k * (T + 2), 0), 2),
}
FLAG_ARGS = {"crv_mc_lasso_gs_work_arena_size": 2, "crv_mc_elastic_net_gs_work_arena_size": 2}


def dimension_grid(name, arity):
    """Every combination of small dimensions, or a fixed random sample of them."""
    values = [0, 1, 2, 3, 7]
    grid = list(itertools.product(values, repeat=arity))
    if len(grid) > 800:
        rng = np.random.default_rng(arity)
        grid = [tuple(int(v) for v in rng.integers(0, 12, arity)) for _ in range(800)]
    flag = FLAG_ARGS.get(name)
    if flag is not None:   # the intercept flag is 0 or 1
        grid = [a[:flag] + (a[flag] % 2,) + a[flag + 1:] for a in grid]
    return grid


@pytest.mark.parametrize("name", sorted(QUERIES))
def test_size_query_matches_closed_form(name):
    closed, arity = QUERIES[name]
    query = getattr(LIB, name)
    for dims in dimension_grid(name, arity):
        got = tuple(query(*dims))
        assert got == closed(*dims), f"{name}{dims}: {got} != {closed(*dims)}"


@pytest.mark.parametrize("name", ["kf_arena_size", "ekf_arena_size", "kf_smoother_arena_size",
                                  "crv_dlyap_arena_size", "crv_newton_arena_size",
                                  "crv_klein_solve1_arena_size", "crv_mc_ols_work_arena_size",
                                  "crv_wald_mean_hac_arena_size", "crv_cusum_arena_size"])
def test_size_query_saturates_instead_of_wrapping(name):
    """A size beyond int64 is INT64_MAX: no caller can allocate it, none sees a wrapped count."""
    _, arity = QUERIES[name]
    huge = 2**40
    doubles, _ = getattr(LIB, name)(*([huge] * arity))
    assert doubles == 2**63 - 1


# ---- composite kernels inside their arena -------------------------------------------

def guarded_regions(size, fill):
    """The two regions of exactly the queried size, each followed by guard words."""
    doubles, slots = size
    dwork = np.full(doubles + GUARD_WORDS, GUARD)
    dwork[:doubles] = fill
    iwork = np.full(slots + GUARD_WORDS, -123456789, dtype=np.int64)
    iwork[:slots] = -7
    return dwork, iwork


def guards_intact(dwork, iwork, size):
    return (np.all(dwork[size[0]:] == GUARD) and np.all(iwork[size[1]:] == -123456789))


def solve_in(model, order, fill):
    sol = models.SolutionArrays(LIB, model)
    rec = model.record()
    dims = (model.n, model.nx, model.ny, model.p, model.m, sol.N)
    if order == 1:
        size = tuple(LIB.crv_klein_solve1_arena_size(*dims))
        dwork, iwork = guarded_regions(size, fill)
        status = LIB.crv_klein_solve1(ctypes.byref(rec), ctypes.byref(sol.record), dwork, iwork)
    else:
        size = tuple(LIB.crv_sgu_klein_solve2_arena_size(*dims))
        dwork, iwork = guarded_regions(size, fill)
        status = LIB.crv_sgu_klein_solve2(ctypes.byref(rec), ctypes.byref(sol.record),
                                          ctypes.byref(sol.record2), dwork, iwork)
    return status, sol, guards_intact(dwork, iwork, size)


FIRST = ("ss", "hx", "gx", "impact", "transition", "eig")
SECOND = ("g_xx", "h_xx", "g_xe", "h_xe", "g_ee", "h_ee", "g_ss", "h_ss")


@pytest.mark.parametrize("order", [1, 2])
@pytest.mark.parametrize("make", [models.rbc, models.growth, models.expected_square])
def test_solutions_stay_inside_their_arena(order, make):
    status, clean, intact = solve_in(make(), order, 0.0)
    assert status == 0 and intact, "the solution wrote past the regions its size query gave"
    status, dirty, intact = solve_in(make(), order, np.nan)
    assert status == 0 and intact
    for name in FIRST + (SECOND if order == 2 else ()):
        np.testing.assert_array_equal(getattr(dirty, name), getattr(clean, name),
                                      err_msg=f"{name} depends on what the arena held")


def ols_data(rng, n, k):
    X = rng.standard_normal((n, k))
    y = X @ rng.standard_normal(k) + 0.3 * rng.standard_normal(n) * (1 + np.abs(X[:, 0]))
    return np.ascontiguousarray(y), np.ascontiguousarray(X)


def stat_calls(rng):
    """(label, size, call(dwork, iwork, out) -> status) for the statistics."""
    n, k, p, T = 40, 3, 2, 60
    y, X = ols_data(rng, n, k)
    Z = np.ascontiguousarray(np.column_stack([np.ones(n), X]))
    W = np.ascontiguousarray(rng.standard_normal((T, k)) + 0.2)
    S0 = np.eye(k)
    mu0 = np.zeros(k)
    return [
        ("bg", LIB.crv_bg_arena_size(n, k, p),
         lambda d, i, o: LIB.crv_bg_stat(y, X, n, k, p, d, o)),
        ("bp", LIB.crv_bp_arena_size(n, k + 1),
         lambda d, i, o: LIB.crv_bp_stat(y, Z, n, k + 1, 1, d, o)),
        ("chow", LIB.crv_chow_arena_size(k),
         lambda d, i, o: LIB.crv_chow_stat(y, X, n, k, n // 2, d, o)),
        ("recursive", (3 * k * k + 3 * k, 0),
         lambda d, i, o: LIB.crv_recursive_residuals(y, X, n, k, d, np.empty(n - k))),
        ("cusum_series", (n - k + 5 * k * k + 5 * k, 0),
         lambda d, i, o: LIB.crv_cusum_series(y, X, n, k, d, np.empty(n - k))),
        ("cusum", LIB.crv_cusum_arena_size(n, k),
         lambda d, i, o: LIB.crv_cusum_stat(y, X, n, k, d, o)),
        ("cusumsq", LIB.crv_cusumsq_arena_size(n, k),
         lambda d, i, o: LIB.crv_cusumsq_stat(y, X, n, k, np.zeros(1, dtype=np.int64), d, o)),
        ("wald_mean", LIB.crv_wald_mean_hac_arena_size(T, k),
         lambda d, i, o: LIB.crv_wald_mean_hac(W, mu0, T, k, 0, 2, 0, d, i, o)),
        ("wald_cov", LIB.crv_wald_covariance_hac_arena_size(T, k),
         lambda d, i, o: LIB.crv_wald_covariance_hac(W, S0, T, k, 1, 2, 0, d, i, o)),
        ("wald_second", LIB.crv_wald_second_moment_hac_arena_size(T, k),
         lambda d, i, o: LIB.crv_wald_second_moment_hac(W, S0, T, k, 2, 1, 0, d, i, o)),
    ]


@pytest.mark.parametrize("index", range(10))
def test_statistics_stay_inside_their_arena(index):
    results = []
    for fill in (0.0, np.nan, 1e300):
        label, size, call = stat_calls(np.random.default_rng(5))[index]
        size = tuple(size)
        dwork, iwork = guarded_regions(size, fill)
        out = np.full(1, -1.0)
        status = call(dwork, iwork, out)
        assert status == 0, label
        assert guards_intact(dwork, iwork, size), f"{label} wrote past its arena"
        results.append(out[0])
    assert results[0] == results[1] == results[2], f"{label} depends on what the arena held"
