"""Klein first-order solution against the closed-form growth policy, an
independent SciPy ordqz solution of the RBC model, saddle-path flags and the
failure codes."""

import ctypes

import numpy as np
import pytest
import scipy.linalg

from Corvane._ckernels import ffi

import kernel_models as models
from reference import first_order

LIB = ffi.load("regression")
SOLVE = ffi.solve


def test_growth_first_order_matches_closed_form():
    st, sol = models.solve1(LIB, models.growth())
    assert (st, sol.bk) == (0, 0)
    first, _ = models.growth_policy()
    np.testing.assert_allclose(sol.hx, first[:2, :2], rtol=1e-10, atol=1e-14)
    np.testing.assert_allclose(sol.gx, first[2:, :2], rtol=1e-10)
    np.testing.assert_allclose(sol.impact[:, 0], first[:, 2], rtol=1e-10, atol=1e-14)
    np.testing.assert_allclose(sol.eig[:2], [0.36, 0.9], rtol=1e-12)


def test_rbc_matches_scipy_ordqz_reference():
    model = models.rbc()
    st, sol = models.solve1(LIB, model)
    assert (st, sol.bk) == (0, 0)
    assert (sol.n_static, sol.n_pred, sol.n_mixed, sol.n_fwd) == (2, 1, 1, 2)
    np.testing.assert_allclose(sol.ss, models.rbc_steady_state(), rtol=1e-12, atol=1e-15)
    hx, gx, R = first_order(model, models.rbc_steady_state())
    np.testing.assert_allclose(sol.hx, hx, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(sol.gx, gx, rtol=1e-9, atol=1e-12)   # static y, i included
    np.testing.assert_allclose(sol.impact, R, rtol=1e-9, atol=1e-12)
    T = sol.transition
    np.testing.assert_array_equal(T[:, model.nx:], 0.0)
    np.testing.assert_array_equal(T[:model.nx, :model.nx], sol.hx)
    np.testing.assert_array_equal(T[model.nx:, :model.nx], sol.gx)
    # eigenvalues: the pencil's finite roots are those of the reference
    finite = np.sort(np.abs(sol.eig[np.isfinite(sol.eig.real)]))
    np.testing.assert_allclose(finite[:2], np.sort(np.abs(np.linalg.eigvals(hx))), rtol=1e-9)


def test_static_variables_policy_from_rotation():
    """expected_square: static y = E x(+1)^2 has zero first-order policy."""
    st, sol = models.solve1(LIB, models.expected_square())
    assert (st, sol.bk, sol.n_static) == (0, 0, 1)
    np.testing.assert_allclose(sol.hx, [[0.8]], rtol=1e-12)
    np.testing.assert_allclose(sol.gx, [[0.0]], atol=1e-14)
    np.testing.assert_allclose(sol.impact[:, 0], [1.0, 0.0], atol=1e-14)


@pytest.mark.parametrize("kind, bk", [("determinate", 0), ("indeterminate", 1),
                                      ("explosive", -1)])
def test_saddle_path_flag(kind, bk):
    model = models.linear(kind)
    st, sol = models.solve1(LIB, model)
    assert (st, sol.bk) == (0, bk)
    rho, phi, kappa = model.params
    P_lead = np.array([[1.0, 0.0], [-1.0, -phi]])   # z = (x(t-1), y(t))
    P_cur = np.array([[rho, kappa], [0.0, -1.0]])
    roots = scipy.linalg.eigvals(P_cur, P_lead)
    n_stable = np.sum(np.abs(roots) < 1)
    assert np.sign(n_stable - 1) == bk
    np.testing.assert_allclose(np.sort_complex(sol.eig), np.sort_complex(roots), rtol=1e-12)
    if bk == 0:
        hx, gx, R = first_order(model, np.zeros(2))
        np.testing.assert_allclose(sol.hx, hx, rtol=1e-12)
        np.testing.assert_allclose(sol.gx, gx, rtol=1e-12)
        np.testing.assert_allclose(sol.impact, R, rtol=1e-12)


def counting_zgges(calls, info=0):
    def fn(*args):
        calls["n"] += 1
        ctypes.cast(args[-1], ctypes.POINTER(ctypes.c_int32))[0] = info

    stub = ctypes.CFUNCTYPE(None, *[ctypes.c_void_p] * 21)(fn)
    return stub, ctypes.cast(stub, ctypes.c_void_p).value


def test_forward_only_model_never_calls_zgges():
    calls = {"n": 0}
    model = models.linear("forward")
    rec = model.record()
    stub, rec.zgges = counting_zgges(calls)
    st, sol = models.solve1(LIB, model, record=rec)
    assert (st, sol.bk, calls["n"]) == (-505, 2, 0)


def with_model(model, **fields):
    rec = model.record()
    for k, v in fields.items():
        setattr(rec, k, v)
    return rec


def failing_models():
    calls = {"n": 0}
    zgges_stub, zgges_addr = counting_zgges(calls, info=3)
    cases = {}
    m = models.growth()
    cases["qz"] = (m, with_model(m, zgges=zgges_addr), -503, zgges_stub)
    m = models.linear("indeterminate")
    m.params[2] = 0.0                         # roots 0.5 (x) and 0.5 (y): Z11 = 0
    cases["z11"] = (m, None, -504, None)
    m = models.growth()
    m.nx, m.ny = 1, 2
    cases["dims"] = (m, None, -511, None)
    m = models.growth()
    cases["flags"] = (m, None, -508, None)
    m.flags[0] = 0
    m = models.Model("singular", ["x"], 1, ["e"], {}, [models.LAG | models.CUR],
                     lambda l, c, g, e, t: [c[0] * c[0] - g[0] * g[0] + 1.0], [0.0], [[1.0]])
    cases["newton"] = (m, None, -501, None)
    m = models.Model("nan", ["x"], 1, ["e"], {}, [models.LAG | models.CUR],
                     lambda l, c, g, e, t: [c[0] * np.nan], [0.0], [[1.0]])
    cases["nan"] = (m, None, -502, None)
    # y flagged static but only its lag appears: zero static column, singular block
    m = models.Model("static", ["x", "y"], 1, ["e"], {}, [models.LAG | models.CUR, models.CUR],
                     lambda l, c, g, e, t: [c[0] - 0.5 * g[0] - e[0], g[1] - c[0]],
                     [0.0, 0.0], [[1.0]])
    cases["static"] = (m, None, -510, None)
    return cases


@pytest.mark.parametrize("case", ["qz", "z11", "dims", "flags", "newton", "nan", "static"])
def test_failure_codes(case):
    model, rec, code, _keep = failing_models()[case]
    st, sol = models.solve1(LIB, model, record=rec)
    assert st == code


def test_rotation_failure_code():
    def fail(m, n, a, lda, tau, work, lwork, out):
        ctypes.cast(out, ctypes.POINTER(ctypes.c_int32))[0] = -4

    stub = ctypes.CFUNCTYPE(None, *[ctypes.c_void_p] * 8)(fail)
    model = models.rbc()
    st, _ = models.solve1(LIB, model, record=with_model(
        model, dgeqrf=ctypes.cast(stub, ctypes.c_void_p).value))
    assert st == -509


def test_klein_ouc_and_postproc_edges():
    one = np.array([1.0, 0.0])
    assert LIB.klein_ouc(np.array([0.0, 1.0]), np.array([0.6, 0.6])) == 1
    assert LIB.klein_ouc(one, one) == 0
    bk = ctypes.c_int64(7)
    z = np.zeros(8)
    st = LIB.klein_postproc(z, z, z, 0, 2, z, z, ctypes.byref(bk), z, z,
                            np.zeros(1, dtype=np.int64))
    assert (st, bk.value) == (-302, 2)
    # singular S: infinite eigenvalue (+inf, 0)
    S = np.array([[1.0, 0.0], [0.0, 1e-13]], complex)
    T = np.array([[0.5, 0.0], [0.0, 2.0]], complex)
    Z = np.eye(2, dtype=complex)
    size = LIB.klein_postproc_arena_size(1, 1)
    eig = np.zeros(2, complex)
    gx, hx = np.zeros(1, complex), np.zeros(1, complex)
    st = LIB.klein_postproc(S, T, Z, 1, 1, gx, hx, ctypes.byref(bk), eig,
                            np.zeros(size.doubles), np.zeros(size.slots, dtype=np.int64))
    assert (st, bk.value) == (0, 0)
    assert eig[0] == 0.5 and eig[1].real == np.inf and eig[1].imag == 0.0
    assert hx[0] == 0.5


@pytest.mark.parametrize("make", [models.rbc, models.growth, models.expected_square])
def test_arena_size_suffices_under_garbage(make):
    st_a, a = models.solve1(LIB, make(), fill=np.nan)
    st_b, b = models.solve1(LIB, make(), fill=-1e300)
    assert st_a == st_b == 0
    for name in ("ss", "hx", "gx", "impact", "transition", "eig", "qz_a", "qz_b", "qz_z"):
        np.testing.assert_array_equal(getattr(a, name), getattr(b, name), err_msg=name)


def test_solve1_arena_size_formula():
    n, nx, ny, p, m, N = 6, 2, 4, 5, 1, 5
    size = LIB.crv_klein_solve1_arena_size(n, nx, ny, p, m, N)
    post = 2 * (N * N + 6 * N * N) + 4 * N * N
    rot = n + n * n + n + 64 * max(n, m)
    pencil = (2 * m + 4 * n) * n + (8 * N + 2 * n) * N + max(post, 142 * N, rot)
    newton = 2 * p + 2 * m + n * (m + 4 * n + 6) + 2 * (4 * n + p + m + n)
    assert (size.doubles, size.slots) == (max(pencil, newton) + 2 * nx * (nx + ny), n + 2 * N)


@pytest.mark.parametrize("module", ["regression", "beliefplan"])
def test_modules_export_every_solution_kernel(module):
    lib = ffi.load(module)   # declaring a missing symbol raises AttributeError
    assert all(hasattr(lib, name) for name in SOLVE.SIGNATURES)
