"""Complex LU family and the AS 241 normal quantile."""

import numpy as np
import pytest
import scipy.special as sp

from Corvane._ckernels import ffi


def crandn(rng, *shape):
    return rng.standard_normal(shape) + 1j * rng.standard_normal(shape)


@pytest.mark.parametrize("m,k,n", [(1, 1, 1), (3, 4, 2), (5, 9, 6)])
def test_c128_matmul(lib, rng, m, k, n):
    A, B = crandn(rng, m, k), crandn(rng, k, n)
    C = np.empty((m, n), dtype=np.complex128)
    lib.c128_matmul(A, B, m, k, n, C)
    np.testing.assert_allclose(C, A @ B, rtol=1e-13, atol=1e-13)
    lib.c128_matmul(A, B, m, 0, n, C)
    assert np.all(C == 0)


@pytest.mark.parametrize("n", [1, 3, 8])
def test_c128_lu_solve_inverse(lib, rng, n):
    A = crandn(rng, n, n)
    work, piv = A.copy(), np.empty(n, dtype=np.int64)
    assert lib.c128_lu_factor_inplace(work, piv, n) == 0
    # P A = L U, with pivoting by modulus keeping every multiplier within the unit disc.
    PA = A.copy()
    for i, p in enumerate(piv):
        PA[[i, p]] = PA[[p, i]]
    L, U = np.tril(work, -1) + np.eye(n), np.triu(work)
    np.testing.assert_allclose(L @ U, PA, rtol=1e-12, atol=1e-12)
    assert np.all(np.abs(np.tril(work, -1)) <= 1.0)
    B, X = crandn(rng, n, 2), np.empty((n, 2), dtype=np.complex128)
    lib.c128_lu_solve(work, piv, B, X, n, 2)
    np.testing.assert_allclose(X, np.linalg.solve(A, B), rtol=1e-9, atol=1e-11)
    assert lib.c128_solve(A, B, n, 2, X) == 0
    np.testing.assert_allclose(X, np.linalg.solve(A, B), rtol=1e-9, atol=1e-11)
    Ainv = np.empty((n, n), dtype=np.complex128)
    assert lib.c128_inv(A, n, Ainv) == 0
    np.testing.assert_allclose(Ainv @ A, np.eye(n), atol=1e-10)


def test_c128_pivoting_rules(lib):
    # Squared moduli 25 and 25: the upper row wins; a zero first column is singular.
    A = np.array([[3 + 4j, 1], [5j, 2]], dtype=np.complex128)
    piv = np.empty(2, dtype=np.int64)
    assert lib.c128_lu_factor_inplace(A.copy(), piv, 2) == 0 and piv[0] == 0
    Z = np.array([[0, 1], [0, 2j]], dtype=np.complex128)
    assert lib.c128_lu_factor_inplace(Z, piv, 2) == -103 and piv[0] == 0
    assert lib.c128_lu_factor_inplace(None, piv, 2) == -102


def test_c128_division_does_not_overflow(lib):
    # 1/(c + di) with c, d near the overflow limit: Smith's scaling stays finite.
    w = np.array([[1e300 + 1e300j]])
    out = np.empty((1, 1), dtype=np.complex128)
    assert lib.c128_inv(w, 1, out) == 0
    np.testing.assert_allclose(out[0, 0], 5e-301 - 5e-301j, rtol=1e-15)


def test_c128_lu_record(lib):
    rec = lib.c128_lu_factor(np.zeros((2, 2), dtype=np.complex128), 2)
    assert rec.status == -103 and rec.lu
    lib.c128_lu_free(ffi.ptr(rec))
    assert (rec.n, rec.status, bool(rec.lu)) == (0, 0, False)
    rec = lib.c128_lu_factor(None, 2)
    assert rec.status == -102 and not rec.lu
    for status in (lib.c128_solve(None, None, 2, 1, None), lib.c128_inv(None, 0, None)):
        assert status == -102


P_GRID = np.concatenate(
    [
        [1e-300, 1e-100, 1e-20, 1e-10, 1e-5, 0.001, 0.02425, 0.075, 0.0749],
        np.linspace(0.01, 0.99, 197),
        [0.5, 0.925, 0.9251, 1 - 1e-10, 1 - 2.0**-53],
    ]
)


def test_ndtri_matches_scipy(lib):
    out = np.empty_like(P_GRID)
    lib.crv_ndtri_as241_into(P_GRID, P_GRID.size, out)
    ref = sp.ndtri(P_GRID)
    np.testing.assert_allclose(out, ref, rtol=4e-16 * 8, atol=1e-300)
    assert all(lib.crv_ndtri_as241(p) == o for p, o in zip(P_GRID, out))


@pytest.mark.parametrize(
    "p,expected",
    [(0.5, 0.0), (0.0, -np.inf), (-1.0, -np.inf), (1.0, np.inf), (2.0, np.inf)],
)
def test_ndtri_special_values(lib, p, expected):
    assert lib.crv_ndtri_as241(p) == expected
    assert np.isnan(lib.crv_ndtri_as241(np.nan))


def test_ndtri_odd_symmetry(lib):
    for k in range(1, 512):
        p = k / 1024.0
        assert lib.crv_ndtri_as241(p) == -lib.crv_ndtri_as241(1.0 - p)


def test_erfinv(lib):
    x = np.linspace(-0.999, 0.999, 41)
    got = np.array([lib.crv_erfinv_from_as241(v) for v in x])
    np.testing.assert_allclose(got, sp.erfinv(x), rtol=1e-14, atol=1e-16)
