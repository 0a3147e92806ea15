"""Second-order solution: bicomplex Hessian against finite differences,
contraction against NumPy, closed-form second-order policies, failure codes."""

import ctypes

import numpy as np
import pytest

from Corvane._ckernels import ffi

import kernel_models as models

LIB = ffi.load("regression")
SOLVE = ffi.solve


def hessian(model, x):
    n, m, p = model.n, model.m, model.p
    D = 3 * n + m
    cb = model.hessian_callback()
    size = LIB.crv_bicomplex_hessian_arena_size(n, p, m, n)
    assert (size.doubles, size.slots) == (4 * (3 * n + p + m + n), 0)
    H = np.full((n, D, D), np.nan)
    before = model.calls["hessian"]
    LIB.crv_bicomplex_hessian(ctypes.cast(cb, ctypes.c_void_p).value, x, model.params, n, p, m,
                              n, H, np.full(size.doubles, np.nan))
    return H, model.calls["hessian"] - before


def fd_hessian(model, x, h=1e-4):
    """Central second differences of the real equations in v = (lag, cur, lead, e)."""
    n, m = model.n, model.m
    D = 3 * n + m
    v0 = np.concatenate([x, x, x, np.zeros(m)])

    def F(v):
        return model.evaluate(v[2 * n:3 * n], v[n:2 * n], v[:n], v[3 * n:]).real

    H = np.zeros((n, D, D))
    for i in range(D):
        for j in range(D):
            ei, ej = np.eye(D)[i] * h, np.eye(D)[j] * h
            H[:, i, j] = (F(v0 + ei + ej) - F(v0 + ei - ej) - F(v0 - ei + ej)
                          + F(v0 - ei - ej)) / (4 * h * h)
    return H


@pytest.mark.parametrize("make", [models.growth, models.rbc])
def test_bicomplex_hessian_matches_finite_differences(make):
    model = make()
    x = model.x_guess
    H, calls = hessian(model, x)
    D = 3 * model.n + model.m
    assert calls == D * (D + 1) // 2
    np.testing.assert_array_equal(H, np.swapaxes(H, 1, 2))
    ref = fd_hessian(model, x)
    scale = np.abs(ref).max()
    np.testing.assert_allclose(H, ref, rtol=1e-5, atol=1e-6 * scale)


def test_contract2_matches_einsum():
    rng = np.random.default_rng(5)
    count, N, a, b = 3, 4, 2, 5
    H, A, B = rng.normal(size=(count, N, N)), rng.normal(size=(N, a)), rng.normal(size=(N, b))
    out = np.full((count, a, b), np.nan)
    LIB.crv_contract2(H, A, a, B, b, count, N, np.zeros((N, b)), out)
    np.testing.assert_allclose(out, np.einsum("ia,kij,jb->kab", A, H, B), rtol=1e-13)
    LIB.crv_contract2(H, A, a, B, b, count, 0, np.zeros(1), out)
    np.testing.assert_array_equal(out, 0.0)


def test_growth_second_order_matches_closed_form():
    st, sol = models.solve2(LIB, models.growth())
    assert st == 0
    _, second = models.growth_policy()
    # second[v] is the 3x3 Hessian of variable v in (k(t-1), a(t-1), e)
    xx = second[:, :2, :2].reshape(3, 4)
    xe = second[:, :2, 2].reshape(3, 2)
    ee = second[:, 2, 2].reshape(3, 1)
    np.testing.assert_allclose(sol.h_xx, xx[:2], rtol=1e-6, atol=1e-7)
    np.testing.assert_allclose(sol.g_xx, xx[2:], rtol=1e-6)
    np.testing.assert_allclose(sol.h_xe, xe[:2], rtol=1e-6, atol=1e-7)
    np.testing.assert_allclose(sol.g_xe, xe[2:], rtol=1e-6)
    np.testing.assert_allclose(sol.h_ee, ee[:2], rtol=1e-6, atol=1e-7)
    np.testing.assert_allclose(sol.g_ee, ee[2:], rtol=1e-6)
    # the exact policy does not depend on the shock variance
    np.testing.assert_allclose(sol.h_ss, 0.0, atol=1e-9)
    np.testing.assert_allclose(sol.g_ss, 0.0, atol=1e-9)
    np.testing.assert_array_equal(sol.eta, sol.impact[:2])


@pytest.mark.parametrize("rho, sd", [(0.8, 0.1), (0.5, 0.3)])
def test_scale_correction_of_static_variable(rho, sd):
    """y = E x(+1)^2 = rho^2 (rho x(-1) + e)^2 + sd^2 exactly."""
    st, sol = models.solve2(LIB, models.expected_square(rho, sd))
    assert st == 0
    np.testing.assert_allclose(sol.g_xx, [[2 * rho ** 4]], rtol=1e-6)
    np.testing.assert_allclose(sol.g_xe, [[2 * rho ** 3]], rtol=1e-6)
    np.testing.assert_allclose(sol.g_ee, [[2 * rho ** 2]], rtol=1e-6)
    np.testing.assert_allclose(sol.g_ss, [2 * sd ** 2], rtol=1e-6)
    for name in ("h_xx", "h_xe", "h_ee", "h_ss"):
        np.testing.assert_allclose(getattr(sol, name), 0.0, atol=1e-9, err_msg=name)


def test_linear_model_has_zero_second_order_terms():
    st, sol = models.solve2(LIB, models.linear("determinate"))
    assert st == 0
    np.testing.assert_array_equal(sol.hess, 0.0)
    for name in ("g_xx", "h_xx", "g_xe", "h_xe", "g_ee", "h_ee", "g_ss", "h_ss"):
        np.testing.assert_array_equal(getattr(sol, name), 0.0, err_msg=name)


def second_order(j_lead, j_cur, hx, gx, impact, sigma, hess=None):
    n, nx, m = j_lead.shape[0], hx.shape[0], impact.shape[1]
    D = 3 * n + m
    hess = np.zeros((n, D, D)) if hess is None else hess
    size = LIB.crv_second_order_arena_size(n, nx, m)
    outs = [np.zeros(k) for k in ((n - nx) * nx * nx, nx ** 3, (n - nx) * nx * m, nx * nx * m,
                                  (n - nx) * m * m, nx * m * m, n - nx, nx)]
    st = LIB.crv_second_order(j_lead, j_cur, hess, gx, hx, impact, sigma, n, nx, m, *outs,
                              np.zeros(size.doubles), np.zeros(size.slots, dtype=np.int64))
    return st, outs


@pytest.mark.parametrize("j_lead, j_cur, code", [
    (0.0, 0.0, -801),     # every system zero
    (-1.0, -1.5, -802),   # M0 = 1, M0 + J_lead = 0
])
def test_second_order_failure_codes(j_lead, j_cur, code):
    st, _ = second_order(np.array([[j_lead]]), np.array([[j_cur]]), np.array([[0.5]]),
                         np.zeros((0, 1)), np.array([[1.0]]), np.array([[1.0]]))
    assert st == code


def test_solve2_arena_under_garbage_and_formula():
    a_st, a = models.solve2(LIB, models.rbc(), fill=np.nan)
    b_st, b = models.solve2(LIB, models.rbc(), fill=3e300)
    assert a_st == b_st == 0
    for name in ("g_xx", "h_xx", "g_xe", "h_xe", "g_ee", "h_ee", "g_ss", "h_ss", "hess"):
        np.testing.assert_array_equal(getattr(a, name), getattr(b, name), err_msg=name)
    n, nx, m = 6, 2, 1
    q = max(nx * m, nx * nx, m * m)
    so = LIB.crv_second_order_arena_size(n, nx, m)
    assert (so.doubles, so.slots) == (
        n * (nx * nx * (nx * nx * n + 3) + m * m + 3 * n + 3 * q + 2 * nx + 1)
        + (m + 3 * n) * (nx + 2 * m + q), nx * nx * n)


def test_rbc_second_order_residual_is_third_order():
    """With the second-order policy, E F (Gauss-Hermite over the future shock)
    shrinks like delta^3 when deviations, shock and shock scale are delta."""
    model = models.rbc()
    st, sol = models.solve2(LIB, model)
    assert st == 0
    nx = model.nx
    G = {k: np.vstack([getattr(sol, "h_" + k), getattr(sol, "g_" + k)])
         for k in ("xx", "xe", "ee")}
    G["ss"] = np.concatenate([sol.h_ss, sol.g_ss])
    Phi = np.vstack([sol.hx, sol.gx])

    def policy(x, e, s):
        return (sol.ss + Phi @ x + sol.impact @ e + 0.5 * G["xx"] @ np.kron(x, x)
                + G["xe"] @ np.kron(x, e) + 0.5 * G["ee"] @ np.kron(e, e) + 0.5 * G["ss"] * s * s)

    nodes, weights = np.polynomial.hermite_e.hermegauss(9)
    weights = weights / weights.sum()
    sd = np.sqrt(model.sigma[0, 0])

    def expected_residual(delta):
        x, e, s = delta * np.array([1.0, 1.0]), np.array([delta]), delta / sd
        y = policy(x, e, s)
        lag = sol.ss.copy()
        lag[:nx] += x
        total = 0.0
        for u, w in zip(nodes, weights):
            lead = policy(y[:nx] - sol.ss[:nx], np.array([s * sd * u]), s)
            total = total + w * model.evaluate(lead, y, lag, e).real
        return np.abs(total).max()

    r = [expected_residual(d) for d in (0.0008, 0.0004, 0.0002)]
    # halving delta divides a third-order residual by 8 (a wrong block leaves delta^2)
    assert all(7.0 < a / b < 9.0 for a, b in zip(r, r[1:])), r
