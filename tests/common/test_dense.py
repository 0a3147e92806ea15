"""Real dense kernels against NumPy/SciPy and closed forms."""

import numpy as np
import pytest
import scipy.linalg as sla

SHAPES = [(1, 1, 1), (3, 4, 5), (7, 9, 1), (1, 17, 6), (12, 8, 10), (5, 33, 3)]


def randm(rng, *shape):
    return rng.standard_normal(shape)


@pytest.mark.parametrize("m,k,n", SHAPES)
def test_products_match_numpy(lib, rng, m, k, n):
    A, B, Bt, Ct = randm(rng, m, k), randm(rng, k, n), randm(rng, n, k), randm(rng, m, n)
    C = np.empty((m, n))
    lib.crv_matmul(A, B, C, m, k, n)
    np.testing.assert_allclose(C, A @ B, rtol=1e-13, atol=1e-13)
    lib.crv_matmul_abt(A, Bt, C, m, k, n)
    np.testing.assert_allclose(C, A @ Bt.T, rtol=1e-13, atol=1e-13)
    lib.crv_matmul_abt_plus_c(A, Bt, Ct, C, m, k, n)
    np.testing.assert_allclose(C, Ct + A @ Bt.T, rtol=1e-13, atol=1e-13)
    # C = A^T B with A (k x m), B (k x n)
    Ak = randm(rng, k, m)
    lib.crv_matmul_atb(Ak, B, C, k, m, n)
    np.testing.assert_allclose(C, Ak.T @ B, rtol=1e-13, atol=1e-13)
    x, b, y = randm(rng, k), randm(rng, m), np.empty(m)
    lib.crv_matvec(A, x, y, m, k)
    np.testing.assert_allclose(y, A @ x, rtol=1e-13, atol=1e-13)
    lib.crv_matvec_plus_vec(A, x, b, y, m, k)
    np.testing.assert_allclose(y, b + A @ x, rtol=1e-13, atol=1e-13)


def test_empty_inner_dimension(lib):
    C = np.full((2, 3), np.nan)
    lib.crv_matmul(np.empty(0), np.empty(0), C, 2, 0, 3)
    assert np.all(C == 0), "k = 0 must zero C"
    Cin, Cout = np.arange(6.0).reshape(2, 3), np.full((2, 3), np.nan)
    lib.crv_matmul_abt_plus_c(np.empty(0), np.empty(0), Cin, Cout, 2, 0, 3)
    np.testing.assert_array_equal(Cout, Cin)
    y = np.full(2, np.nan)
    lib.crv_matvec_plus_vec(np.empty(0), np.empty(0), np.array([1.0, 2.0]), y, 2, 0)
    np.testing.assert_array_equal(y, [1.0, 2.0])
    lib.crv_matvec(np.empty(0), np.empty(0), y, 2, 0)
    np.testing.assert_array_equal(y, [0.0, 0.0])


def test_empty_outputs_untouched(lib):
    C = np.full(4, np.nan)
    lib.crv_matmul(np.ones(4), np.ones(4), C, 0, 2, 2)
    lib.crv_matmul_abt(np.ones(4), np.ones(4), C, 2, 2, 0)
    lib.crv_matvec(np.ones(4), np.ones(4), C, 0, 2)
    assert np.all(np.isnan(C))
    assert lib.crv_dot(np.ones(2), np.ones(2), 0) == 0.0
    assert lib.crv_logdet_from_chol(np.ones(1), 0) == 0.0


def test_inner_products_are_fused(lib):
    # fl(fl(-1) + (1 + e)(1 - e)) is 0 unrounded-product-free; fused it is -e^2.
    e = 2.0**-30
    a = np.array([-1.0, 1.0 + e])
    b = np.array([1.0, 1.0 - e])
    assert lib.crv_dot(a, b, 2) == -(2.0**-60)
    y = np.empty(1)
    lib.crv_matvec(a, b, y, 1, 2)
    assert y[0] == -(2.0**-60)


@pytest.mark.parametrize("n", [1, 7, 8, 9, 64, 1001])
def test_dot_accuracy(lib, rng, n):
    a, b = randm(rng, n), randm(rng, n)
    exact = float(sum(np.float128(x) * np.float128(y) for x, y in zip(a, b)))
    assert abs(lib.crv_dot(a, b, n) - exact) <= 4 * n * 2.0**-53 * np.abs(a) @ np.abs(b)


def test_vsub_in_place_and_sym(lib, rng):
    a, b = randm(rng, 5), randm(rng, 5)
    expect = a - b
    lib.crv_vsub(a, b, a, 5)
    np.testing.assert_array_equal(a, expect)
    M = randm(rng, 4, 4)
    S = M.copy()
    lib.crv_sym_inplace(S, 4)
    np.testing.assert_array_equal(S, S.T)
    np.testing.assert_array_equal(np.diag(S), np.diag(M))
    np.testing.assert_allclose(S, (M + M.T) / 2, rtol=0, atol=0)


@pytest.mark.parametrize("n", [1, 2, 5, 13])
def test_cholesky_and_solves(lib, rng, make_spd, n):
    A = make_spd(n)
    L = np.full((n, n), np.nan)
    assert lib.crv_chol(A, L, n, 0.0) == 0
    np.testing.assert_allclose(L, np.linalg.cholesky(A), rtol=1e-12, atol=1e-12)
    assert np.all(np.triu(L, 1) == 0)
    assert np.isclose(lib.crv_logdet_from_chol(L, n), np.linalg.slogdet(A)[1], rtol=1e-12)
    b = randm(rng, n)
    x = np.empty(n)
    lib.crv_forward_subst(L, b, x, n)
    np.testing.assert_allclose(x, sla.solve_triangular(L, b, lower=True), rtol=1e-12)
    lib.crv_backward_subst_chol_t(L, b, x, n)
    np.testing.assert_allclose(x, sla.solve_triangular(L.T, b, lower=False), rtol=1e-12)
    xb = b.copy()  # in place: x is b
    lib.crv_forward_subst(L, xb, xb, n)
    lib.crv_backward_subst_chol_t(L, xb, xb, n)
    np.testing.assert_allclose(xb, np.linalg.solve(A, b), rtol=1e-11)
    L2 = np.empty((n, n))
    assert lib.crv_chol_solve(A, b, x, L2, n) == 0
    np.testing.assert_allclose(x, np.linalg.solve(A, b), rtol=1e-11)
    Ainv = np.empty((n, n))
    assert lib.crv_chol_inv(A, Ainv, L2, n) == 0
    np.testing.assert_allclose(Ainv, np.linalg.inv(A), rtol=1e-11, atol=1e-14)
    np.testing.assert_array_equal(L2, L)


def test_cholesky_reads_lower_triangle_only(lib, make_spd):
    A = make_spd(4)
    garbage = A + np.triu(np.full((4, 4), 1e6), 1)
    L1, L2 = np.empty((4, 4)), np.empty((4, 4))
    lib.crv_chol(A, L1, 4, 0.0)
    lib.crv_chol(garbage, L2, 4, 0.0)
    np.testing.assert_array_equal(L1, L2)


@pytest.mark.parametrize(
    "A,jitter,status",
    [
        (np.zeros((3, 3)), 0.0, -101),
        (np.diag([1.0, -1.0, 1.0]), 0.0, -101),
        (np.ones((3, 3)), 0.0, -101),  # singular PSD
        (np.ones((3, 3)), 1e-8, 0),  # jitter makes it definite
        (np.ones((3, 3)), -5.0, -101),  # negative jitter ignored
        (np.array([[1.0, 1.0], [1.0, 1.0 + 2.0**-51]]), 0.0, -101),  # pivot 2^-51 <= tau
        (np.array([[1.0, 1.0], [1.0, 1.0 + 2.0**-50]]), 0.0, 0),  # pivot 2^-50 > tau
    ],
)
def test_cholesky_threshold(lib, A, jitter, status):
    n = A.shape[0]
    L = np.empty((n, n))
    assert lib.crv_chol(A, L, n, jitter) == status
    if status == 0 and jitter > 0:
        np.testing.assert_allclose(L @ L.T, A + jitter * np.eye(n), rtol=1e-12, atol=1e-14)


def test_cholesky_failure_leaves_upper_rows(lib):
    A = np.array([[4.0, 2.0, 0.0], [2.0, 5.0, 0.0], [0.0, 0.0, -1.0]])
    L = np.empty((3, 3))
    assert lib.crv_chol(A, L, 3, 0.0) == -101
    np.testing.assert_allclose(L[:2, :2], np.linalg.cholesky(A[:2, :2]))


def test_cholesky_empty(lib):
    L = np.full(1, np.nan)
    assert lib.crv_chol(np.empty(0), L, 0, 0.0) == 0
    assert np.isnan(L[0])


@pytest.mark.parametrize("m,n", [(10, 4), (3, 3), (1, 5), (0, 3)])
def test_gram(lib, rng, m, n):
    X, y = randm(rng, m, n), randm(rng, m)
    G, g = np.full((n, n), np.nan), np.full(n, np.nan)
    lib.crv_gram(X, G, m, n)
    lib.crv_gram_rhs(X, y, g, m, n)
    np.testing.assert_allclose(G, X.T @ X, rtol=1e-13, atol=1e-13)
    np.testing.assert_array_equal(G, G.T)
    np.testing.assert_allclose(g, X.T @ y, rtol=1e-13, atol=1e-13)


def test_sort_and_median(lib):
    x = np.array([3.0, 1.0, 2.0, 4.0])
    assert lib.crv_median_f64(x, 4) == 2.5
    np.testing.assert_array_equal(x, [1, 2, 3, 4])
    assert lib.crv_median_f64(np.array([5.0, -1.0, 3.0]), 3) == 3.0
    assert np.isnan(lib.crv_median_f64(np.empty(0), 0))
    one = np.array([7.0, 0.0])
    assert lib.crv_median_f64(one, 1) == 7.0
    y = np.random.default_rng(1).standard_normal(101)
    s = y.copy()
    lib.crv_sort_f64(s, 101)
    np.testing.assert_array_equal(s, np.sort(y))


@pytest.mark.parametrize("n", [1, 2, 6, 11])
def test_lu_matches_lapack(lib, rng, n):
    A = randm(rng, n, n)
    lu_ref, piv_ref = sla.lu_factor(A)
    work, piv = A.copy(), np.empty(n, dtype=np.int64)
    assert lib.crv_lu_factor_inplace(work, piv, n) == 0
    np.testing.assert_array_equal(piv, piv_ref)
    np.testing.assert_allclose(work, lu_ref, rtol=1e-11, atol=1e-12)
    B, X = randm(rng, n, 3), np.empty((n, 3))
    lib.crv_lu_solve(work, piv, B, X, n, 3)
    np.testing.assert_allclose(X, np.linalg.solve(A, B), rtol=1e-9, atol=1e-11)
    assert lib.crv_solve(A, B, n, 3, X) == 0
    np.testing.assert_allclose(X, np.linalg.solve(A, B), rtol=1e-9, atol=1e-11)
    Ainv = np.empty((n, n))
    assert lib.crv_inv(A, n, Ainv) == 0
    np.testing.assert_allclose(Ainv @ A, np.eye(n), atol=1e-10)


@pytest.mark.parametrize(
    "A,status,piv0",
    [
        ([[0.0, 1.0], [0.0, 2.0]], -103, 0),
        ([[1.0, 2.0], [3.0, 4.0]], 0, 1),
        ([[-2.0, 1.0], [2.0, 5.0]], 0, 0),  # equal magnitudes: upper row
    ],
)
def test_lu_pivot_rules(lib, A, status, piv0):
    A = np.array(A)
    piv = np.full(2, -7, dtype=np.int64)
    assert lib.crv_lu_factor_inplace(A, piv, 2) == status
    assert piv[0] == piv0


def test_lu_tie_picks_upper_row_in_later_column(lib):
    # After step 0 the column-1 candidates are 3 - 0.5 = 2.5 and -2 - 0.5 = -2.5.
    A = np.array([[4.0, 1.0, 0.0], [2.0, 3.0, 1.0], [2.0, -2.0, 5.0]])
    work, mine = A.copy(), np.empty(3, dtype=np.int64)
    assert lib.crv_lu_factor_inplace(work, mine, 3) == 0
    np.testing.assert_array_equal(mine, [0, 1, 2])
    np.testing.assert_array_equal(mine, sla.lu_factor(A)[1])


def test_lu_factor_record_lifecycle(lib):
    from Corvane._ckernels import ffi

    rec = lib.crv_lu_factor(None, 3)
    assert rec.status == -102 and not rec.lu and not rec.piv and rec.n == 3
    rec = lib.crv_lu_factor(np.zeros((2, 2)), 2)
    assert rec.status == -103 and rec.lu and rec.piv
    lib.crv_lu_free(ffi.ptr(rec))
    assert (rec.n, rec.status, bool(rec.lu), bool(rec.piv)) == (0, 0, False, False)
    lib.crv_lu_free(None)
    lib.crv_lu_free(ffi.ptr(rec))  # second release of a zeroed record is harmless
    A = np.array([[2.0, 1.0], [4.0, 3.0]])
    rec = lib.crv_lu_factor(A, 2)
    assert rec.status == 0 and rec.piv[0] == 1
    np.testing.assert_array_equal(A, [[2.0, 1.0], [4.0, 3.0]])
    lib.crv_lu_free(ffi.ptr(rec))


@pytest.mark.parametrize(
    "A,n,status", [(None, 2, -102), (np.eye(2), 0, -102), (np.zeros((2, 2)), 2, -103)]
)
def test_solve_and_inverse_statuses(lib, A, n, status):
    out = np.empty(4)
    assert lib.crv_solve(A, np.ones(2), n, 1, out) == status
    assert lib.crv_inv(A, n, out) == status
    piv = np.empty(2, dtype=np.int64)
    if A is None or n == 0:
        assert lib.crv_lu_factor_inplace(A, piv, n) == -102


@pytest.mark.parametrize("m,k,n", [(1, 3, 1), (5, 7, 6), (6, 8, 9), (13, 29, 17), (3, 40, 2)])
def test_blocked_products_keep_the_inner_product_arithmetic(lib, rng, m, k, n):
    # The register-blocked products must round each entry exactly as crv_dot does.
    A, B = randm(rng, m, k), randm(rng, n, k)
    C, Cp = np.empty((m, n)), np.empty((m, n))
    Cin = randm(rng, m, n)
    lib.crv_matmul_abt(A, B, C, m, k, n)
    lib.crv_matmul_abt_plus_c(A, B, Cin, Cp, m, k, n)
    dots = np.array([[lib.crv_dot(A[i].copy(), B[j].copy(), k) for j in range(n)]
                     for i in range(m)])
    np.testing.assert_array_equal(C, dots)
    np.testing.assert_array_equal(Cp, Cin + dots)
    y = np.empty(m)
    lib.crv_matvec(A, B[0].copy(), y, m, k)
    np.testing.assert_array_equal(y, dots[:, 0])
    if k < 8:  # below one block the inner product is the plain fused chain of crv_matmul
        Bt = np.ascontiguousarray(B.T)
        lib.crv_matmul(A, Bt, C, m, k, n)
        np.testing.assert_array_equal(C, dots)


def test_negative_dimensions_write_nothing(lib):
    out = np.full(4, np.nan)
    lib.crv_zero_mat(out, -1, -1)
    assert lib.crv_chol(np.ones(4), out, -2, 0.0) == 0
    lib.crv_gram(np.ones(4), out, -1, -2)
    lib.crv_matmul_atb(np.ones(4), np.ones(4), out, 1, -1, -1)
    lib.crv_lu_solve(np.ones(4), np.zeros(2, dtype=np.int64), np.ones(4), out, -2, -2)
    assert np.all(np.isnan(out))
