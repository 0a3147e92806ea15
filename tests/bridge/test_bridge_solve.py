"""Second order with two shocks against closed forms (the x@e and e@e
Kronecker layouts and the shock covariance are visible only with m > 1),
Newton, and solutions that share one compiled model across threads."""

from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
import sympy as sp

from Corvane._bridge import ModelSpec, compile_model, first_order, newton, second_order
from Corvane.model.symbols import timed

# covariance of (e1, e2) with correlation
SIGMA = np.array([[0.02**2, 0.3 * 0.02 * 0.03], [0.3 * 0.02 * 0.03, 0.03**2]])


def growth2_spec():
    """Growth with full depreciation and two productivity components, the
    second scaled by s: the policy k = alpha beta exp(a1 + a2) k(-1)^alpha,
    c = (1 - alpha beta) exp(a1 + a2) k(-1)^alpha is exact for any shocks."""
    k, a1, a2, c = (timed(v) for v in ("k", "a1", "a2", "c"))
    al, be, r1, r2, s = sp.symbols("alpha beta rho1 rho2 s")
    e1, e2 = sp.symbols("e1 e2")
    eqs = (c + k - sp.exp(a1 + a2) * timed("k", -1) ** al,
           1 / c - be * al * sp.exp(timed("a1", 1) + timed("a2", 1)) * k ** (al - 1)
           / timed("c", 1),
           a1 - r1 * timed("a1", -1) - e1,
           a2 - r2 * timed("a2", -1) - s * e2)
    kss = (al * be) ** (1 / (1 - al))
    ss = (("k", kss), ("a1", sp.Integer(0)), ("a2", sp.Integer(0)),
          ("c", (1 - al * be) * sp.Symbol("k") ** al))
    return ModelSpec("growth2", ("k", "a1", "a2", "c"), ("e1", "e2"),
                     ("alpha", "beta", "rho1", "rho2", "s"), eqs, (3, 7, 7, 6),
                     steady_state=ss)


GROWTH2 = {"alpha": 0.36, "beta": 0.96, "rho1": 0.9, "rho2": 0.6, "s": 1.5}


def growth2_reference():
    """Exact policies of (k, a1, a2, c) in z = (k(-1), a1(-1), a2(-1), e1, e2):
    gradients and Hessians at the steady state, by SymPy."""
    K, A1, A2, E1, E2 = z = sp.symbols("K A1 A2 E1 E2")
    p = GROWTH2
    a1 = p["rho1"] * A1 + E1
    a2 = p["rho2"] * A2 + p["s"] * E2
    output = sp.exp(a1 + a2) * K ** p["alpha"]
    policies = [p["alpha"] * p["beta"] * output, a1, a2, (1 - p["alpha"] * p["beta"]) * output]
    kss = (p["alpha"] * p["beta"]) ** (1 / (1 - p["alpha"]))
    at = {K: kss, A1: 0, A2: 0, E1: 0, E2: 0}
    grad = np.array([[float(sp.diff(f, v).subs(at)) for v in z] for f in policies])
    hess = np.array([[[float(sp.diff(f, v, w).subs(at)) for w in z] for v in z]
                     for f in policies])
    return grad, hess


def blocks(hess, nx, m):
    """(xx, xe, ee) blocks of Hessians over (x, e), laid out as the kernel's
    products: pair (j, k) of an (a, b) product at column j*b + k."""
    xx = hess[:, :nx, :nx].reshape(len(hess), nx * nx)
    xe = hess[:, :nx, nx:].reshape(len(hess), nx * m)
    ee = hess[:, nx:, nx:].reshape(len(hess), m * m)
    return xx, xe, ee


def test_growth_two_shocks_second_order_matches_exact_policy():
    cm = compile_model(growth2_spec())
    params = list(GROWTH2.values())
    ss = cm.steady_state(params)
    sol = second_order(cm, params, SIGMA, ss * 1.01)
    grad, hess = growth2_reference()
    nx, m = 3, 2
    first = sol.first
    np.testing.assert_allclose(first.ss, ss, rtol=1e-13, atol=1e-15)
    np.testing.assert_allclose(first.hx, grad[:nx, :nx], rtol=1e-11, atol=1e-13)
    np.testing.assert_allclose(first.gx, grad[nx:, :nx], rtol=1e-11, atol=1e-13)
    np.testing.assert_allclose(first.impact, grad[:, nx:], rtol=1e-11, atol=1e-13)
    xx, xe, ee = blocks(hess, nx, m)
    scale = np.abs(hess).max()
    for got, want, what in ((sol.h_xx, xx[:nx], "h_xx"), (sol.g_xx, xx[nx:], "g_xx"),
                            (sol.h_xe, xe[:nx], "h_xe"), (sol.g_xe, xe[nx:], "g_xe"),
                            (sol.h_ee, ee[:nx], "h_ee"), (sol.g_ee, ee[nx:], "g_ee")):
        np.testing.assert_allclose(got, want, rtol=1e-10, atol=1e-13 * scale, err_msg=what)
    # the exact policy does not depend on the shock scale
    np.testing.assert_allclose(sol.h_ss, 0.0, atol=1e-13 * scale)
    np.testing.assert_allclose(sol.g_ss, 0.0, atol=1e-13 * scale)


def test_expected_product_two_shocks():
    """x1 = r1 x1(-1) + e1, x2 = r2 x2(-1) + e2, y = x1(+1) x2(+1): the exact
    rule y = r1 r2 (r1 X1 + e1)(r2 X2 + e2) + Sigma12 has every second-order
    block of y in closed form, g_ss = 2 Sigma12, and the states stay linear."""
    x1, x2, y = timed("x1"), timed("x2"), timed("y")
    r1, r2 = sp.symbols("r1 r2")
    spec = ModelSpec("expected_product", ("x1", "x2", "y"), ("e1", "e2"), ("r1", "r2"),
                     (x1 - r1 * timed("x1", -1) - sp.Symbol("e1"),
                      x2 - r2 * timed("x2", -1) - sp.Symbol("e2"),
                      y - timed("x1", 1) * timed("x2", 1)),
                     (7, 7, 2))
    cm = compile_model(spec)
    a, b = 0.8, 0.5
    sol = second_order(cm, [a, b], SIGMA, [0.01, -0.02, 0.03])
    np.testing.assert_allclose(sol.first.ss, 0.0, atol=1e-15)
    np.testing.assert_allclose(sol.first.hx, np.diag([a, b]), rtol=1e-13)
    np.testing.assert_allclose(sol.first.gx, 0.0, atol=1e-14)
    # y in z = (X1, X2, e1, e2): d2y/dX1dX2 = a^2 b^2, d2y/dX1de2 = a^2 b,
    # d2y/dX2de1 = a b^2, d2y/de1de2 = a b
    np.testing.assert_allclose(sol.g_xx, [[0, a * a * b * b, a * a * b * b, 0]], atol=1e-12)
    np.testing.assert_allclose(sol.g_xe, [[0, a * a * b, a * b * b, 0]], atol=1e-12)
    np.testing.assert_allclose(sol.g_ee, [[0, a * b, a * b, 0]], atol=1e-12)
    np.testing.assert_allclose(sol.g_ss, [2 * SIGMA[0, 1]], rtol=1e-9)
    for block in (sol.h_xx, sol.h_xe, sol.h_ee, sol.h_ss):
        np.testing.assert_allclose(block, 0.0, atol=1e-13)


def test_newton_reports_convergence_and_failure():
    cm = compile_model(growth2_spec())
    params = list(GROWTH2.values())
    ss = cm.steady_state(params)
    done = newton(cm, params, ss * 1.1)
    assert done.converged and done.status == 0 and 1 <= done.iterations < 20
    np.testing.assert_allclose(done.x, ss, rtol=1e-12, atol=1e-15)
    assert np.abs(cm.residuals(done.x, params)).max() < 1e-12
    stopped = newton(cm, params, ss * 1.1, max_iter=0)
    assert (stopped.converged, stopped.status, stopped.iterations) == (False, -902, 0)
    at_solution = newton(cm, params, ss, tol=1e-10)
    assert at_solution.converged and at_solution.iterations == 0


@pytest.mark.parametrize("solve", [first_order, second_order])
def test_threads_sharing_a_model_get_their_own_results(solve):
    cm = compile_model(growth2_spec())
    base = np.array(list(GROWTH2.values()))
    variants = [base * np.array([1, 1, 1 - 0.01 * i, 1, 1]) for i in range(12)]
    guesses = [cm.steady_state(v) for v in variants]
    alone = [solve(cm, v, SIGMA, g) for v, g in zip(variants, guesses)]
    with ThreadPoolExecutor(4) as pool:
        together = list(pool.map(lambda args: solve(cm, *args),
                                 [(v, SIGMA, g) for v, g in zip(variants, guesses)] * 4))
    for i, result in enumerate(together):
        ref = alone[i % len(variants)]
        first, ref_first = getattr(result, "first", result), getattr(ref, "first", ref)
        np.testing.assert_array_equal(first.hx, ref_first.hx)
        np.testing.assert_array_equal(first.impact, ref_first.impact)
        if solve is second_order:
            np.testing.assert_array_equal(result.g_xe, ref.g_xe)
