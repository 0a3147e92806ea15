"""BLAS/LAPACK shims of the L-BFGS-B routines against SciPy's BLAS and LAPACK
(reference semantics, including negative increments and info values)."""

import ctypes

import numpy as np
import pytest
import scipy.linalg
from scipy.linalg import blas, lapack

from Corvane._ckernels import ffi

lib = ffi.load("beliefplan")
rng = np.random.default_rng(20261208)


def i64(v):
    return ctypes.byref(ctypes.c_int64(v))


def f64(v):
    return ctypes.byref(ctypes.c_double(v))


def ch(c):
    return c.encode()


def walked(x, n, inc):
    """The n elements a reference BLAS routine visits with increment inc."""
    if n <= 0:
        return np.empty(0)
    idx = np.arange(n) * abs(inc)
    return x[idx] if inc > 0 else x[idx][::-1]


INCS = [(1, 1), (2, 1), (1, 3), (-1, 1), (2, -3), (-2, -1)]


@pytest.mark.parametrize("incx, incy", INCS)
@pytest.mark.parametrize("n", [0, 1, 7, 13])
def test_level1_against_scipy_blas(n, incx, incy):
    x = rng.normal(size=max(1, n * abs(incx)))
    y = rng.normal(size=max(1, n * abs(incy)))
    a = -0.75

    out = y.copy()
    lib.crv_shim_dcopy(i64(n), x, i64(incx), out, i64(incy))
    want = blas.dcopy(x, y.copy(), n=n, incx=incx, incy=incy) if n > 0 else y
    np.testing.assert_array_equal(out, want)

    out = y.copy()
    lib.crv_shim_daxpy(i64(n), f64(a), x, i64(incx), out, i64(incy))
    want = blas.daxpy(x, y.copy(), n=n, a=a, incx=incx, incy=incy) if n > 0 else y
    np.testing.assert_allclose(out, want, rtol=1e-15, atol=1e-15)

    got = lib.crv_shim_ddot(i64(n), x, i64(incx), y, i64(incy))
    want = float(walked(x, n, incx) @ walked(y, n, incy)) if n > 0 else 0.0
    assert got == pytest.approx(want, rel=1e-13, abs=1e-13)
    if n > 0:
        assert got == pytest.approx(blas.ddot(x, y, n=n, incx=incx, incy=incy), rel=1e-13,
                                    abs=1e-13)


@pytest.mark.parametrize("inc", [1, 2, 3])
@pytest.mark.parametrize("n", [0, 1, 6])
def test_dscal(n, inc):
    x = rng.normal(size=max(1, n * inc))
    out = x.copy()
    lib.crv_shim_dscal(i64(n), f64(2.5), out, i64(inc))
    want = blas.dscal(2.5, x.copy(), n=n, incx=inc) if n > 0 else x
    np.testing.assert_array_equal(out, want)


@pytest.mark.parametrize("inc", [0, -2])
def test_dscal_nonpositive_increment_does_nothing(inc):
    x = rng.normal(size=6)
    out = x.copy()
    lib.crv_shim_dscal(i64(3), f64(2.5), out, i64(inc))
    np.testing.assert_array_equal(out, x)


def test_daxpy_zero_alpha_leaves_y():
    y = np.array([1.0, np.nan, 3.0])
    out = y.copy()
    lib.crv_shim_daxpy(i64(3), f64(0.0), np.array([np.inf, 1.0, 1.0]), i64(1), out, i64(1))
    np.testing.assert_array_equal(out, y)


@pytest.mark.parametrize("scale", [1.0, 1e-170, 1e170])
@pytest.mark.parametrize("n, inc", [(1, 1), (9, 1), (9, 2), (9, -2), (5, -1)])
def test_dnrm2_scaled(n, inc, scale):
    """Scaled sum of squares: no overflow or underflow at extreme magnitudes."""
    x = rng.normal(size=n * abs(inc)) * scale
    x[0] = 0.0 if n > 2 else x[0]
    got = lib.crv_shim_dnrm2(i64(n), x, i64(inc))
    v = walked(x, n, inc)
    want = scale * np.linalg.norm(v / scale)
    assert got == pytest.approx(want, rel=1e-14)
    if inc > 0:
        assert got == pytest.approx(blas.dnrm2(x, n=n, incx=inc), rel=1e-14)


@pytest.mark.parametrize("n, inc", [(0, 1), (-2, 1), (4, 0)])
def test_dnrm2_empty(n, inc):
    assert lib.crv_shim_dnrm2(i64(n), np.ones(4), i64(inc)) == 0.0


def spd(n):
    A = rng.normal(size=(n, n))
    return A @ A.T + n * np.eye(n)


@pytest.mark.parametrize("uplo", ["U", "u", "L", "l"])
@pytest.mark.parametrize("n, lda", [(1, 1), (4, 4), (6, 9)])
def test_dpotrf_against_scipy(uplo, n, lda):
    A = spd(n)
    buf = np.full((lda, n), 7.0, order="F")        # column-major, leading dimension lda
    buf[:n, :] = A
    flat = buf.ravel(order="F").copy()
    info = np.array([99], dtype=np.int64)
    lib.crv_shim_dpotrf(ch(uplo), i64(n), flat, i64(lda), info)
    assert info[0] == 0
    out = flat.reshape((lda, n), order="F")
    lower = uplo.upper() == "L"
    want = scipy.linalg.cholesky(A, lower=lower)
    tri = np.tril if lower else np.triu
    np.testing.assert_allclose(tri(out[:n]), want, rtol=1e-13, atol=1e-13)
    # the other triangle and the padding rows are untouched
    other = np.triu(np.ones((n, n)), 1) if lower else np.tril(np.ones((n, n)), -1)
    np.testing.assert_array_equal(out[:n][other == 1], A[other == 1])
    assert np.all(out[n:] == 7.0)


@pytest.mark.parametrize("uplo", ["U", "L"])
@pytest.mark.parametrize("bad", [0, 2, 4])
def test_dpotrf_info_at_first_nonpositive_pivot(uplo, bad):
    A = spd(5)
    A[bad, :] *= 1e-3
    A[:, bad] *= 1e-3
    A[bad, bad] = -1.0 if bad == 0 else A[bad, bad] * 1e-6 - 50.0
    flat = np.asfortranarray(A).ravel(order="F").copy()
    info = np.array([0], dtype=np.int64)
    lib.crv_shim_dpotrf(ch(uplo), i64(5), flat, i64(5), info)
    _, want = lapack.dpotrf(A, lower=uplo == "L")
    assert info[0] == want == bad + 1


@pytest.mark.parametrize("args, code", [(("X", 3, 3), -1), (("U", -1, 1), -2), (("L", 3, 2), -4)])
def test_dpotrf_argument_errors(args, code):
    uplo, n, lda = args
    info = np.array([0], dtype=np.int64)
    lib.crv_shim_dpotrf(ch(uplo), i64(n), np.eye(3).ravel(), i64(lda), info)
    assert info[0] == code


def triangular(n, lower, unit):
    T = rng.normal(size=(n, n)) + 3 * np.eye(n)
    T = np.tril(T) if lower else np.triu(T)
    if unit:
        T[np.diag_indices(n)] = 42.0        # must be ignored
    return T


@pytest.mark.parametrize("uplo", ["U", "l"])
@pytest.mark.parametrize("trans", ["N", "t", "C"])
@pytest.mark.parametrize("diag", ["N", "u"])
@pytest.mark.parametrize("n, nrhs, lda, ldb", [(1, 1, 1, 1), (5, 3, 5, 5), (4, 2, 6, 7)])
def test_dtrtrs_against_solve_triangular(uplo, trans, diag, n, nrhs, lda, ldb):
    lower, unit = uplo.upper() == "L", diag.upper() == "U"
    T = triangular(n, lower, unit)
    B = rng.normal(size=(n, nrhs))
    abuf = np.zeros((lda, n), order="F")
    abuf[:n] = T
    bbuf = np.full((ldb, nrhs), 5.0, order="F")
    bbuf[:n] = B
    a_flat = abuf.ravel(order="F").copy()
    b_flat = bbuf.ravel(order="F").copy()
    info = np.array([99], dtype=np.int64)
    lib.crv_shim_dtrtrs(ch(uplo), ch(trans), ch(diag), i64(n), i64(nrhs), a_flat, i64(lda),
                        b_flat, i64(ldb), info)
    assert info[0] == 0
    X = b_flat.reshape((ldb, nrhs), order="F")
    want = scipy.linalg.solve_triangular(T, B, lower=lower, unit_diagonal=unit,
                                         trans=0 if trans.upper() == "N" else 1)
    np.testing.assert_allclose(X[:n], want, rtol=1e-12, atol=1e-12)
    assert np.all(X[n:] == 5.0)


def test_dtrtrs_zero_diagonal_reports_and_solves_nothing():
    T = triangular(4, False, False)
    T[2, 2] = 0.0
    B = rng.normal(size=(4, 2))
    b_flat = np.asfortranarray(B).ravel(order="F").copy()
    info = np.array([0], dtype=np.int64)
    lib.crv_shim_dtrtrs(b"U", b"N", b"N", i64(4), i64(2),
                        np.asfortranarray(T).ravel(order="F").copy(), i64(4), b_flat, i64(4), info)
    _, want = lapack.dtrtrs(T, B, lower=0)
    assert info[0] == want == 3
    np.testing.assert_array_equal(b_flat, np.asfortranarray(B).ravel(order="F"))
    # with a unit diagonal the zero is never read
    lib.crv_shim_dtrtrs(b"U", b"N", b"U", i64(4), i64(2),
                        np.asfortranarray(T).ravel(order="F").copy(), i64(4), b_flat, i64(4), info)
    assert info[0] == 0


@pytest.mark.parametrize("args, code", [
    (("Q", "N", "N", 2, 1, 2, 2), -1), (("U", "X", "N", 2, 1, 2, 2), -2),
    (("U", "N", "Z", 2, 1, 2, 2), -3), (("U", "N", "N", -1, 1, 2, 2), -4),
    (("U", "N", "N", 2, -1, 2, 2), -5), (("U", "N", "N", 2, 1, 1, 2), -7),
    (("U", "N", "N", 2, 1, 2, 1), -9),
])
def test_dtrtrs_argument_errors(args, code):
    uplo, trans, diag, n, nrhs, lda, ldb = args
    info = np.array([0], dtype=np.int64)
    lib.crv_shim_dtrtrs(ch(uplo), ch(trans), ch(diag), i64(n), i64(nrhs), np.eye(2).ravel(),
                        i64(lda), np.ones(2), i64(ldb), info)
    assert info[0] == code
