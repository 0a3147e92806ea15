"""Complex-step linearisation, timing partition, static rotation and pencil,
against NumPy references and the closed-form growth policy."""

import ctypes

import numpy as np
import pytest

from Corvane._ckernels import ffi

import kernel_models as models
from kernel_models import residual_from
from reference import complex_jacobians

LIB = ffi.load("regression")
SOLVE = ffi.solve


def preproc(model, x, counter):
    n, m, p = model.n, model.m, model.p
    cb = residual_from(lambda *a: model.equations(*a), n, m, p, counter)
    J = [np.full((n, n), np.nan) for _ in range(3)] + [np.full((n, m), np.nan)]
    size = LIB.klein_preproc_arena_size(n, p, m, n)
    assert (size.doubles, size.slots) == (2 * (4 * n + p + m + n), 0)
    LIB.klein_preproc(ctypes.cast(cb, ctypes.c_void_p).value, x, model.params, n, p, m, n, *J,
                      np.full(size.doubles, np.nan))
    return J


@pytest.mark.parametrize("make", [models.growth, models.rbc])
def test_preproc_jacobians_signs_and_count(make):
    model = make()
    x = model.x_guess
    counter = {"calls": 0}
    J_lead, J_cur, J_lag, J_shock = preproc(model, x, counter)
    assert counter["calls"] == 3 * model.n + model.m
    d_lead, d_cur, d_lag, d_e = complex_jacobians(model, x)
    np.testing.assert_allclose(J_lead, d_lead, rtol=1e-14, atol=1e-300)
    np.testing.assert_allclose(J_cur, -d_cur, rtol=1e-14, atol=1e-300)
    np.testing.assert_allclose(J_lag, -d_lag, rtol=1e-14, atol=1e-300)
    np.testing.assert_allclose(J_shock, -d_e, rtol=1e-14, atol=1e-300)
    # and against central finite differences of the real equations
    h = 1e-6
    for j in range(model.n):
        dx = np.zeros(model.n)
        dx[j] = h
        z = np.zeros(model.m)
        fd = (model.evaluate(x, x + dx, x, z) - model.evaluate(x, x - dx, x, z)).real / (2 * h)
        np.testing.assert_allclose(-J_cur[:, j], fd, rtol=1e-6, atol=1e-8)


def partition(flags):
    flags = np.array(flags, dtype=np.uint8)
    n = len(flags)
    order = np.full(n, -1, dtype=np.int64)
    counts = [ctypes.c_int64(-1) for _ in range(4)]
    st = LIB.crv_pencil_partition(flags, n, order, *[ctypes.byref(c) for c in counts])
    return st, order, [c.value for c in counts]


def test_partition_groups_by_timing():
    st, order, counts = partition([3, 1, 4, 5, 2])
    assert st == 0
    assert order.tolist() == [4, 0, 1, 3, 2]
    assert counts == [1, 2, 1, 1]
    dim = LIB.crv_pencil_dim(np.array([3, 1, 4, 5, 2], dtype=np.uint8), 5)
    assert (dim.N, dim.n) == (5, 5)


def test_partition_rejects_zero_flags_untouched():
    st, order, counts = partition([3, 0, 4])
    assert st == -601
    assert order.tolist() == [-1, -1, -1] and counts == [-1, -1, -1, -1]


def rotate(B, order, n_static, mats, dgeqrf=None, dormqr=None):
    lap = SOLVE.lapack_pointers()
    n = B.shape[0]
    ptrs = (ctypes.POINTER(ctypes.c_double) * len(mats))(
        *[M.ctypes.data_as(ctypes.POINTER(ctypes.c_double)) for M in mats])
    ncols = np.array([M.shape[1] for M in mats], dtype=np.int64)
    size = LIB.crv_pencil_rotate_arena_size(n, n_static, int(ncols.max()))
    return LIB.crv_pencil_rotate_static(dgeqrf or lap["dgeqrf"], dormqr or lap["dormqr"], B,
                                        order, n, n_static, ptrs, ncols, len(mats),
                                        np.zeros(size.doubles))


def test_static_rotation_is_orthogonal_and_clears_static_columns():
    rng = np.random.default_rng(3)
    n, ns = 5, 2
    B = rng.normal(size=(n, n))
    order = np.array([3, 1, 0, 2, 4], dtype=np.int64)
    mats = [B.copy(), rng.normal(size=(n, n)), rng.normal(size=(n, 2))]
    before = [M.copy() for M in mats]
    assert rotate(B, order, ns, mats) == 0
    for M, M0 in zip(mats, before):   # Q^T M: Gram matrix preserved
        np.testing.assert_allclose(M.T @ M, M0.T @ M0, rtol=1e-12, atol=1e-12)
    Q = np.linalg.lstsq(before[1].T, mats[1].T, rcond=None)[0]  # M1_rot^T = M1^T Q
    np.testing.assert_allclose(Q.T @ Q, np.eye(n), atol=1e-12)
    static = mats[0][:, order[:ns]]
    np.testing.assert_allclose(static[ns:], 0.0, atol=1e-13)
    assert abs(static[1, 0]) < 1e-13   # triangular factor
    np.testing.assert_allclose(np.abs(np.diag(static[:ns])),
                               np.abs(np.diag(np.linalg.qr(B[:, order[:ns]])[1])), rtol=1e-12)


def test_rotation_without_static_variables_calls_no_lapack():
    calls = {"n": 0}

    def count(*args):
        calls["n"] += 1

    stub = ctypes.CFUNCTYPE(None, *[ctypes.c_void_p] * 8)(count)
    addr = ctypes.cast(stub, ctypes.c_void_p).value
    M = np.eye(3)
    assert rotate(M, np.arange(3, dtype=np.int64), 0, [M], addr, addr) == 0
    assert calls["n"] == 0


@pytest.mark.parametrize("info, code", [(-1, -602), (2, -602)])
def test_rotation_reports_lapack_info(info, code):
    def fail(m, n, a, lda, tau, work, lwork, out):
        ctypes.cast(out, ctypes.POINTER(ctypes.c_int32))[0] = info

    stub = ctypes.CFUNCTYPE(None, *[ctypes.c_void_p] * 8)(fail)
    M = np.eye(3)
    assert rotate(M, np.arange(3, dtype=np.int64), 1, [M],
                  ctypes.cast(stub, ctypes.c_void_p).value) == code


def test_pencil_holds_along_exact_growth_policy():
    """P_lead z(t+1) = P_cur z(t) for z built from the closed-form policy."""
    model = models.growth()
    first, _ = models.growth_policy()
    x = models.growth().x_guess / 1.05
    J_lead, J_cur, J_lag, _ = preproc(model, x, None)
    st, order, (ns, npred, nm, nf) = partition(model.flags)
    N = npred + 2 * nm + nf
    P_cur, P_lead = np.full((N, N), np.nan), np.full((N, N), np.nan)
    LIB.crv_pencil_assemble(J_lead, J_cur, J_lag, order, model.n, ns, npred, nm, nf, P_cur,
                            P_lead)
    P = first[:, :2]   # all variables on (k(t-1), a(t-1))
    hx = P[:2]
    states, jumps = order[ns:ns + npred + nm], order[ns + npred:]
    z_t = np.vstack([np.eye(2), P[jumps]])
    z_next = np.vstack([hx, P[jumps] @ hx])
    np.testing.assert_allclose(P_lead @ z_next, P_cur @ z_t, atol=1e-12)
    assert states.tolist() == [0, 1]


def test_linearize_zero_flag_after_jacobians():
    model = models.growth()
    model.flags[2] = 0
    st, sol = models.solve1(LIB, model)
    assert st == -508
    np.testing.assert_allclose(sol.ss[0], (0.36 * 0.96) ** (1 / 0.64), rtol=1e-12)
    assert model.calls["residual"] > 3 * model.n + model.m
    assert np.any(sol.j_lead != 0)
