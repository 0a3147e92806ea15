"""Kernel weights, bandwidth rules, HAC sums and the HAC Wald tests against
closed forms, statsmodels' HAC sum and direct NumPy evaluation."""

import math

import numpy as np
import pytest
from statsmodels.stats.sandwich_covariance import S_hac_simple, weights_bartlett

from Corvane._ckernels import ffi
from Corvane._ckernels.ffi.stats import KERNELS, RULES, STATUS, tables

lib = ffi.load("regression")
SPECS = tables(lib)["_KERNEL_SPECS"]
BARTLETT, PARZEN, QS, NONE = (KERNELS[name] for name in ("bartlett", "parzen",
                                                         "quadratic_spectral", "none"))


# ---- independent references ------------------------------------------------------

def weight_ref(j, bw, code):
    x = abs(j) / (bw + 1.0)
    if code == BARTLETT:
        return 1.0 - x if abs(j) <= bw else 0.0
    if code == PARZEN:
        if x <= 0.5:
            return 1 - 6 * x**2 + 6 * x**3
        return 2 * (1 - x) ** 3 if x <= 1 else 0.0
    if code == QS:
        if x <= 1e-8:
            return 1.0
        z = 6 * np.pi * x / 5
        return 25 / (12 * np.pi**2 * x**2) * (np.sin(z) / z - np.cos(z))
    return 0.0


def hac_ref(X, bw, code):
    T, _ = X.shape
    L = min(bw, T - 1)
    S = X.T @ X
    for j in range(1, L + 1):
        g = X[:T - j].T @ X[j:]
        S = S + weight_ref(j, L, code) * (g + g.T)
    return S / T


def floor_rule(T):
    return int(np.floor(4 * (T / 100) ** (2 / 9)))


def plug_in_ref(x, code):
    T = len(x)
    if T < 2 or np.var(x) <= 1e-14:
        return 1
    rho = np.clip(np.dot(x[1:], x[:-1]) / np.dot(x[:-1], x[:-1]), -0.999, 0.999)
    alpha = 2 * rho * (1 + rho) / (1 - rho) ** 2
    if not alpha > 0:
        return 1
    a, q = SPECS[code]
    p = 1 / (2 * q + 1)
    b = math.floor(T**p * a * alpha**p)
    return 1 if b < 2 else b


def bandwidth_ref(M, code, rule, bw):
    T, m = M.shape
    if rule == RULES["fixed"]:
        return bw
    if rule == RULES["floor"] or (rule == RULES["floor_or_plug_in"] and code == BARTLETT):
        return floor_rule(T)
    if m == 1:
        return plug_in_ref(M[:, 0], code)
    return int(np.floor(np.median([plug_in_ref(M[:, c], code) for c in range(m)])))


def wald_ref(M, target, code, rule, bw):
    T = M.shape[0]
    mean = M.mean(axis=0)
    C = M - mean
    S = hac_ref(C, bandwidth_ref(C, code, rule, bw), code)
    d = mean - target
    return T * d @ np.linalg.solve(S, d)


def vech(A):
    return A[np.triu_indices(A.shape[0])]


def var1(seed, T, k, phi=0.5):
    rng = np.random.default_rng(seed)
    X = np.empty((T, k))
    X[0] = rng.normal(size=k)
    for t in range(1, T):
        X[t] = phi * X[t - 1] + rng.normal(size=k)
    return np.ascontiguousarray(X + np.arange(k))


def arenas(size):
    return np.full(max(size.doubles, 1), np.nan), np.full(max(size.slots, 1), -1, np.int64)


# ---- kernel weights and bandwidths --------------------------------------------------

@pytest.mark.parametrize("code", [BARTLETT, PARZEN, QS, NONE])
@pytest.mark.parametrize("bw", [0, 1, 4, 9, 30])
def test_kernel_weight_closed_forms(code, bw):
    got = [lib.kernel_weight(j, bw, code) for j in range(0, bw + 4)]
    expected = [weight_ref(j, bw, code) for j in range(0, bw + 4)]
    np.testing.assert_allclose(got, expected, rtol=1e-13, atol=1e-15)


def test_kernel_weight_special_values():
    assert lib.kernel_weight(3, 5, BARTLETT) == 1 - 3 / 6
    assert lib.kernel_weight(6, 5, BARTLETT) == 0.0
    assert all(lib.kernel_weight(j, 10, NONE) == 0.0 for j in range(5))
    assert lib.kernel_weight(-2, 5, PARZEN) == lib.kernel_weight(2, 5, PARZEN)  # symmetric
    assert lib.kernel_weight(1, 5, 7) == 0.0 and lib.kernel_weight(1, -1, BARTLETT) == 0.0
    np.testing.assert_array_equal(SPECS, [[1.1447, 1], [2.6614, 2], [1.3221, 2], [1, 1]])


@pytest.mark.parametrize("T,expected", [(100, 4), (500, 5), (50, 3), (1000, 6), (1, 1), (0, 0)])
def test_floor_rule(T, expected):
    assert lib.wooldridge_bandwidth(None, T) == expected
    if T > 0:
        assert expected == floor_rule(T)


@pytest.mark.parametrize("code", [BARTLETT, PARZEN, QS])
@pytest.mark.parametrize("phi,T", [(0.5, 200), (0.9, 400), (0.2, 60), (0.99, 1000)])
def test_andrews_bandwidth_matches_plug_in_formula(code, phi, T):
    x = var1(int(phi * 100) + T, T, 1, phi)[:, 0]
    assert lib.andrews_bandwidth(x, code, T) == plug_in_ref(x, code)


@pytest.mark.parametrize("x", [np.tile([1.0, -1.0], 50),            # rho < 0
                               np.full(40, 3.0),                     # zero variance
                               np.array([2.0]),                      # T < 2
                               np.random.default_rng(0).normal(size=300) * [(-1) ** t for t in range(300)]])
def test_andrews_bandwidth_degenerate_cases_give_one(x):
    assert lib.andrews_bandwidth(np.ascontiguousarray(x), BARTLETT, len(x)) == 1


@pytest.mark.parametrize("k", [1, 2, 3, 4])
def test_andrews_bandwidth_matrix_is_floor_of_median(k):
    T = 250
    X = var1(k, T, k, 0.8)
    X[:, 0] *= -1.0
    work = np.empty(k)
    got = lib.andrews_bandwidth_matrix(X, PARZEN, T, k, work)
    per_column = [plug_in_ref(X[:, c], PARZEN) for c in range(k)]
    assert got == int(np.floor(np.median(per_column)))
    if k > 1:
        np.testing.assert_array_equal(work, np.sort(per_column))
    assert lib.andrews_bandwidth_matrix(X, PARZEN, 1, k, work) == 1
    assert lib.andrews_bandwidth_matrix(X, PARZEN, T, 0, work) == 1


# ---- means, centring, HAC sums -----------------------------------------------------

def test_column_means_and_centring():
    X = var1(3, 37, 4)
    mean = np.empty(4)
    lib.crv_fill_mean_ax0(X, 37, 4, mean)
    np.testing.assert_allclose(mean, X.mean(axis=0), rtol=1e-14)
    out = np.empty_like(X)
    lib.crv_fill_centered_ax0(X, mean, 37, 4, out)
    np.testing.assert_array_equal(out, X - mean)
    lib.crv_fill_centered_ax0(X, mean, 37, 4, X)  # in place
    np.testing.assert_array_equal(X, out)


@pytest.mark.parametrize("T,k,bw", [(200, 3, 5), (50, 1, 0), (30, 2, 29), (10, 2, 100)])
def test_hac_bartlett_matches_statsmodels(T, k, bw):
    X = var1(T + k, T, k)
    S, work = np.empty((k, k)), np.empty((k, k))
    lib.crv_hac_estimator_matmul(X, BARTLETT, bw, T, k, work, S)
    L = min(bw, T - 1)  # bandwidths beyond T - 1 are clipped, weights use T as divisor
    ref = S_hac_simple(X, nlags=L, weights_func=weights_bartlett) / T
    np.testing.assert_allclose(S, ref, rtol=1e-12, atol=1e-13)


@pytest.mark.parametrize("code", [PARZEN, QS, NONE])
@pytest.mark.parametrize("T,k,bw", [(150, 2, 7), (20, 3, 40)])
def test_hac_other_kernels_match_direct_sum(code, T, k, bw):
    X = var1(T * k + code, T, k) - 1.0
    S, work = np.empty((k, k)), np.empty((k, k))
    lib.crv_hac_estimator_matmul(X, code, bw, T, k, work, S)
    np.testing.assert_allclose(S, hac_ref(X, bw, code), rtol=1e-12, atol=1e-13)


# ---- quadratic form ---------------------------------------------------------------

def quad_form(mean, mu0, S, T):
    k = len(mean)
    d, F, z, out = np.empty(k), np.empty((k, k)), np.empty(k), np.empty(1)
    piv = np.empty(k, np.int64)
    st = lib.crv_wald_stat_from_mean_and_cov(mean, mu0, np.ascontiguousarray(S), T, k, d, F, piv,
                                             z, out)
    return st, out[0], z


@pytest.mark.parametrize("S", [np.array([[2.0, 0.3], [0.3, 1.0]]),          # Cholesky path
                               np.array([[1.0, 2.0], [2.0, 1.0]]),          # indefinite: LU path
                               np.array([[-2.0, 0.5], [0.5, -1.0]])])       # negative definite
def test_quadratic_form_cholesky_and_lu_paths(S):
    mean, mu0 = np.array([0.4, -0.3]), np.array([0.1, 0.2])
    st, W, z = quad_form(mean, mu0, S, 50)
    assert st == 0
    d = mean - mu0
    np.testing.assert_allclose(z, np.linalg.solve(S, d), rtol=1e-13)
    assert W == pytest.approx(50 * d @ np.linalg.solve(S, d), rel=1e-13)


def test_quadratic_form_singular_gives_nan():
    st, W, _ = quad_form(np.array([1.0, 2.0]), np.zeros(2), np.zeros((2, 2)), 10)
    assert st == STATUS["singular"] and math.isnan(W)


def test_quadratic_form_tiny_negative_becomes_zero():
    # An indefinite S with d nearly in its null direction: W = T d'S^-1 d is a
    # tiny negative number, reported as 0; a larger negative value passes.
    S = np.diag([1.0, -1.0])
    st, W, _ = quad_form(np.array([1e-7, 1.1e-7]), np.zeros(2), S, 1)
    assert st == 0 and W == 0.0
    st, W, _ = quad_form(np.array([1e-3, 2e-3]), np.zeros(2), S, 1)
    assert st == 0 and W == pytest.approx(1e-6 - 4e-6, rel=1e-12)


# ---- the three Wald tests -----------------------------------------------------------

CASES = [(BARTLETT, RULES["fixed"], 4), (PARZEN, RULES["floor"], 0), (QS, RULES["plug_in"], 0),
         (BARTLETT, RULES["floor_or_plug_in"], 0), (PARZEN, RULES["floor_or_plug_in"], 0),
         (BARTLETT, RULES["fixed"], 10_000)]


@pytest.mark.parametrize("code,rule,bw", CASES)
@pytest.mark.parametrize("k", [1, 3])
def test_wald_mean_matches_numpy(code, rule, bw, k):
    T = 160
    X = var1(k * 31 + code + rule, T, k, 0.6)
    mu0 = np.arange(k) + 0.2
    size = lib.crv_wald_mean_hac_arena_size(T, k)
    assert (size.doubles, size.slots) == (k * (T + 3 * k + 4), k)
    arena, iarena = arenas(size)
    X_before = X.copy()
    out = np.empty(1)
    assert lib.crv_wald_mean_hac(X, mu0, T, k, code, rule, bw, arena, iarena, out) == 0
    assert out[0] == pytest.approx(wald_ref(X, mu0, code, rule, bw), rel=1e-10)
    np.testing.assert_array_equal(X, X_before)


def test_wald_mean_at_sample_mean_is_zero():
    X = var1(9, 80, 2)
    arena, iarena = arenas(lib.crv_wald_mean_hac_arena_size(80, 2))
    mean = np.empty(2)
    lib.crv_fill_mean_ax0(X, 80, 2, mean)
    out = np.empty(1)
    assert lib.crv_wald_mean_hac(X, mean, 80, 2, BARTLETT, 1, 0, arena, iarena, out) == 0
    assert out[0] == 0.0


@pytest.mark.parametrize("code,rule,bw", CASES[:4])
@pytest.mark.parametrize("k", [1, 2, 3])
def test_wald_covariance_matches_numpy(code, rule, bw, k):
    T = 300
    X = var1(k * 7 + rule, T, k, 0.3)
    Sigma0 = np.eye(k) * 1.2 + 0.1
    size = lib.crv_wald_covariance_hac_arena_size(T, k)
    h = k * (k + 1) // 2
    assert (size.doubles, size.slots) == (T * (k + h) + h * (3 * h + 5), h)
    arena, iarena = arenas(size)
    out = np.empty(1)
    assert lib.crv_wald_covariance_hac(X, Sigma0, T, k, code, rule, bw, arena, iarena, out) == 0
    C = X - X.mean(axis=0)
    M = np.array([vech(np.outer(c, c)) for c in C])
    assert out[0] == pytest.approx(wald_ref(M, vech(Sigma0), code, rule, bw), rel=1e-9)


@pytest.mark.parametrize("code,rule,bw", CASES[:4])
@pytest.mark.parametrize("k", [1, 2, 3])
def test_wald_second_moment_matches_numpy(code, rule, bw, k):
    T = 250
    X = var1(k * 5 + code, T, k, 0.4)
    Sigma0 = np.full((k, k), 0.2) + np.diag(np.arange(1.0, k + 1))
    size = lib.crv_wald_second_moment_hac_arena_size(T, k)
    h = k * (k + 1) // 2
    assert (size.doubles, size.slots) == (h * (T + 3 * h + 5), h)
    arena, iarena = arenas(size)
    out = np.empty(1)
    assert lib.crv_wald_second_moment_hac(X, Sigma0, T, k, code, rule, bw, arena, iarena, out) == 0
    M = np.array([vech(np.outer(x, x)) for x in X])
    assert out[0] == pytest.approx(wald_ref(M, vech(Sigma0), code, rule, bw), rel=1e-9)


def test_vech_order_and_symmetry_tolerances():
    A = np.arange(16.0).reshape(4, 4)
    A = A + A.T
    out = np.empty(10)
    assert lib.crv_fill_symmetric_target_vec(A, 4, out, 1e-8, 1e-5) == 0
    np.testing.assert_array_equal(out, vech(A))
    B = A.copy()
    B[1, 2] += 1e-3
    assert lib.crv_fill_symmetric_target_vec(B, 4, out, 1e-8, 1e-5) == STATUS["asymmetric"]
    assert lib.crv_fill_symmetric_target_vec(B, 4, out, 2e-3, 0.0) == 0
    assert lib.crv_fill_symmetric_target_vec(B, 4, out, 0.0, 1e-4) == 0  # 1e-3 <= 1e-4 * |A[2,1]|
    B[1, 2] = np.nan
    assert lib.crv_fill_symmetric_target_vec(B, 4, out, 1.0, 1.0) == STATUS["asymmetric"]


def test_outer_products_with_row_stride():
    X = var1(1, 5, 3)
    out = np.full((5, 8), -1.0)
    lib.crv_symmetric_outer_prod_2dim(X, 5, 3, 8, out)
    np.testing.assert_array_equal(out[:, :6], [vech(np.outer(x, x)) for x in X])
    assert np.all(out[:, 6:] == -1.0)


@pytest.mark.parametrize("which", ["mean", "covariance", "second_moment"])
@pytest.mark.parametrize("T,code,rule,bw,status", [
    (1, BARTLETT, 0, 2, STATUS["too_few"]),
    (40, 3, 0, 2, STATUS["bad_arg"]),
    (40, -1, 0, 2, STATUS["bad_arg"]),
    (40, BARTLETT, 4, 2, STATUS["bad_arg"]),
    (40, BARTLETT, 0, -1, STATUS["bad_arg"]),
])
def test_wald_early_failures_leave_output_unwritten(which, T, code, rule, bw, status):
    k = 2
    X = var1(2, 40, k)
    target = np.zeros(k) if which == "mean" else np.eye(k)
    fn = getattr(lib, f"crv_wald_{which}_hac")
    arena, iarena = arenas(getattr(lib, f"crv_wald_{which}_hac_arena_size")(40, k))
    out = np.array([123.0])
    assert fn(X, target, T, k, code, rule, bw, arena, iarena, out) == status
    assert out[0] == 123.0


@pytest.mark.parametrize("which", ["covariance", "second_moment"])
def test_wald_asymmetric_target(which):
    k, T = 2, 50
    X = var1(4, T, k)
    Sigma0 = np.array([[1.0, 0.5], [0.501, 1.0]])
    fn = getattr(lib, f"crv_wald_{which}_hac")
    arena, iarena = arenas(getattr(lib, f"crv_wald_{which}_hac_arena_size")(T, k))
    out = np.array([123.0])
    assert fn(X, Sigma0, T, k, BARTLETT, 0, 3, arena, iarena, out) == STATUS["asymmetric"]
    assert out[0] == 123.0


def test_wald_singular_long_run_covariance():
    # Two identical columns: S is exactly singular, Cholesky and LU both fail.
    T = 30
    x = var1(8, T, 1)[:, 0]
    X = np.ascontiguousarray(np.c_[x, x])
    arena, iarena = arenas(lib.crv_wald_mean_hac_arena_size(T, 2))
    out = np.array([123.0])
    st = lib.crv_wald_mean_hac(X, np.zeros(2), T, 2, BARTLETT, 0, 0, arena, iarena, out)
    assert st == STATUS["singular"] and math.isnan(out[0])


def test_concurrent_calls_on_separate_arenas_agree():
    # ctypes releases the interpreter lock: the kernels run truly in parallel.
    from concurrent.futures import ThreadPoolExecutor

    T, k = 400, 3
    samples = [var1(s, T, k, 0.7) for s in range(8)]

    def run(X):
        arena, iarena = arenas(lib.crv_wald_mean_hac_arena_size(T, k))
        out = np.empty(1)
        assert lib.crv_wald_mean_hac(X, np.zeros(k), T, k, QS, RULES["plug_in"], 0, arena,
                                     iarena, out) == 0
        return out[0]

    serial = [run(X) for X in samples]
    with ThreadPoolExecutor(max_workers=4) as pool:
        parallel = list(pool.map(run, samples * 4))
    assert parallel == serial * 4
