"""First-order and pruned second-order simulation against NumPy recursions and
the exact path of the closed-form growth model."""

import numpy as np
import pytest

from Corvane._ckernels import ffi

LIB = ffi.load("regression")
GUARD = 1e300  # sentinel after the arena: the kernel must not touch it


def arena_for(size):
    doubles, slots = size
    assert slots == 0
    buf = np.full(doubles + 8, GUARD)
    return buf


def guard_intact(buf, doubles):
    return bool(np.all(buf[doubles:] == GUARD))


def simulate_linear(A, R, s0, E, mu=None):
    n, m = R.shape
    T = E.shape[0]
    S = np.full((T, n), np.nan)
    size = tuple(LIB.crv_simulate_linear_states_arena_size(n))
    arena = arena_for(size)
    LIB.crv_simulate_linear_states(A, R, s0, E, mu, S, arena, T, n, m)
    assert guard_intact(arena, size[0]), "linear simulation wrote past its arena"
    return S


def simulate_pruned(blocks, x0, E, offset=None):
    hx, gx, R, hxx, gxx, hxe, gxe, hee, gee, hss, gss = blocks
    nx, ny, m = hx.shape[0], gx.shape[0], R.shape[1]
    T = E.shape[0]
    Y = np.full((T, nx + ny), np.nan)
    size = tuple(LIB.crv_simulate_second_order_pruned_arena_size(nx, m))
    arena = arena_for(size)
    LIB.crv_simulate_second_order_pruned(hx, gx, R, hxx, gxx, hxe, gxe, hee, gee, hss, gss,
                                         x0, E, offset, Y, arena, T, nx, ny, m)
    assert guard_intact(arena, size[0]), "pruned simulation wrote past its arena"
    return Y


def stable_matrix(rng, n, radius=0.9):
    A = rng.standard_normal((n, n))
    return A * (radius / max(abs(np.linalg.eigvals(A))))


def random_blocks(rng, nx, ny, m, scale=0.3):
    hx = stable_matrix(rng, nx)
    gx = rng.standard_normal((ny, nx))
    R = rng.standard_normal((nx + ny, m))
    hxx = scale * rng.standard_normal((nx, nx * nx))
    gxx = scale * rng.standard_normal((ny, nx * nx))
    hxe = scale * rng.standard_normal((nx, nx * m))
    gxe = scale * rng.standard_normal((ny, nx * m))
    hee = scale * rng.standard_normal((nx, m * m))
    gee = scale * rng.standard_normal((ny, m * m))
    hss = rng.standard_normal(nx)
    gss = rng.standard_normal(ny)
    return [np.ascontiguousarray(b) for b in
            (hx, gx, R, hxx, gxx, hxe, gxe, hee, gee, hss, gss)]


def pruned_reference(blocks, x0, E):
    """Kim-Kim-Schaumburg-Sims pruning written from the second-order law:
    x^f' = h_x x^f + eta e,
    x^s' = h_x x^s + 1/2 h_xx (x^f x^f) + h_xe (x^f e) + 1/2 h_ee (e e) + 1/2 h_ss,
    y = g_x (x^f + x^s) + eta_y e + 1/2 g_xx (x^f x^f) + g_xe (x^f e)
        + 1/2 g_ee (e e) + 1/2 g_ss, the controls evaluated before the update."""
    hx, gx, R, hxx, gxx, hxe, gxe, hee, gee, hss, gss = blocks
    nx = hx.shape[0]
    xf, xs = x0.copy(), np.zeros(nx)
    rows = []
    for e in E:
        kxx, kxe, kee = np.kron(xf, xf), np.kron(xf, e), np.kron(e, e)
        xf_next = hx @ xf + R[:nx] @ e
        xs_next = (hx @ xs + 0.5 * hxx @ kxx + hxe @ kxe + 0.5 * hee @ kee + 0.5 * hss)
        y = (gx @ (xf + xs) + R[nx:] @ e + 0.5 * gxx @ kxx + gxe @ kxe + 0.5 * gee @ kee
             + 0.5 * gss)
        rows.append(np.concatenate([xf_next + xs_next, y]))
        xf, xs = xf_next, xs_next
    return np.array(rows)


# ---- linear simulation -----------------------------------------------------

@pytest.mark.parametrize("n, m, T, with_mu", [(1, 1, 5, False), (3, 2, 40, True),
                                              (9, 3, 60, True), (4, 0, 10, False),
                                              (12, 11, 25, False)])
def test_linear_states_match_numpy_recursion(n, m, T, with_mu):
    rng = np.random.default_rng(n * 100 + m)
    A, R = stable_matrix(rng, n), rng.standard_normal((n, m))
    s0, E = rng.standard_normal(n), rng.standard_normal((T, m))
    mu = rng.standard_normal(n) if with_mu else None
    s, expected = s0, []
    for e in E:
        s = A @ s + R @ e
        expected.append(s + (mu if with_mu else 0.0))
    got = simulate_linear(A, R, s0, E, mu)
    np.testing.assert_allclose(got, np.array(expected), rtol=1e-12, atol=1e-12,
                               err_msg="S_t must be A s_{t-1} + R e_t (+ mu on output only)")


def test_linear_zero_inputs_give_zero_path_and_mu_is_output_only():
    rng = np.random.default_rng(1)
    A, R = stable_matrix(rng, 3), rng.standard_normal((3, 2))
    E = np.zeros((7, 2))
    np.testing.assert_array_equal(simulate_linear(A, R, np.zeros(3), E), 0.0)
    mu = np.array([1.0, -2.0, 3.0])
    # mu never enters the recursion: levels = deviations + mu in every period.
    E = rng.standard_normal((7, 2))
    s0 = rng.standard_normal(3)
    np.testing.assert_allclose(simulate_linear(A, R, s0, E, mu),
                               simulate_linear(A, R, s0, E) + mu, rtol=0, atol=1e-14)


def test_linear_empty_problems_write_nothing():
    S = np.full((3, 2), 7.0)
    arena = np.full(4, 7.0)
    LIB.crv_simulate_linear_states(np.eye(2), np.eye(2), np.ones(2), np.ones((3, 2)), None, S,
                                   arena, 3, 0, 2)
    assert np.all(S == 7.0) and np.all(arena == 7.0)
    LIB.crv_simulate_linear_states(np.eye(2), np.eye(2), np.ones(2), np.ones((3, 2)), None, S,
                                   arena, 0, 2, 2)
    assert np.all(S == 7.0), "T = 0 must write no output row"
    assert tuple(LIB.crv_simulate_linear_states_arena_size(5)) == (10, 0)
    assert tuple(LIB.crv_simulate_linear_states_arena_size(-3)) == (0, 0)


@pytest.mark.parametrize("T, k, n", [(6, 3, 4), (1, 1, 1), (5, 2, 17), (4, 3, 0)])
def test_affine_observations(T, k, n):
    rng = np.random.default_rng(T + k + n)
    S = rng.standard_normal((T, max(n, 1)))[:, :n].copy()
    Z = rng.standard_normal((k, max(n, 1)))[:, :n].copy()
    d = rng.standard_normal(k)
    Y = np.full((T, k), np.nan)
    LIB.crv_affine_observations(S, Z, d, Y, T, k, n)
    np.testing.assert_allclose(Y, S @ Z.T + d, rtol=1e-13, atol=1e-13)


def test_affine_observations_empty_writes_nothing():
    Y = np.full((2, 2), 5.0)
    LIB.crv_affine_observations(np.ones((2, 2)), np.ones((2, 2)), np.ones(2), Y, 0, 2, 2)
    LIB.crv_affine_observations(np.ones((2, 2)), np.ones((2, 2)), np.ones(2), Y, 2, 0, 2)
    assert np.all(Y == 5.0)


# ---- pruned second-order simulation ----------------------------------------

@pytest.mark.parametrize("nx, ny, m, T", [(1, 1, 1, 30), (3, 2, 2, 80), (5, 4, 3, 50),
                                          (4, 0, 2, 20), (3, 3, 0, 20), (9, 2, 1, 15)])
def test_pruned_matches_numpy_pruning(nx, ny, m, T):
    rng = np.random.default_rng(7 * nx + 3 * ny + m)
    blocks = random_blocks(rng, nx, ny, m)
    x0 = 0.3 * rng.standard_normal(nx)
    E = 0.5 * rng.standard_normal((T, m))
    expected = pruned_reference(blocks, x0, E)
    np.testing.assert_allclose(simulate_pruned(blocks, x0, E), expected, rtol=1e-11, atol=1e-11)
    offset = rng.standard_normal(nx + ny)
    np.testing.assert_allclose(simulate_pruned(blocks, x0, E, offset), expected + offset,
                               rtol=1e-11, atol=1e-11)


def test_pruned_without_second_order_terms_is_the_linear_simulation():
    rng = np.random.default_rng(11)
    nx, ny, m, T = 4, 2, 3, 30
    blocks = random_blocks(rng, nx, ny, m)
    for i in range(3, 11):
        blocks[i] = np.zeros_like(blocks[i])
    x0, E = rng.standard_normal(nx), rng.standard_normal((T, m))
    Y = simulate_pruned(blocks, x0, E)
    S = simulate_linear(blocks[0], np.ascontiguousarray(blocks[2][:nx]), x0, E)
    np.testing.assert_allclose(Y[:, :nx], S, rtol=1e-13, atol=1e-13)


def test_pruned_zero_shock_path_converges_to_stochastic_steady_state_correction():
    rng = np.random.default_rng(5)
    nx, ny, m = 4, 3, 2
    blocks = random_blocks(rng, nx, ny, m)
    blocks[0] = stable_matrix(rng, nx, radius=0.8)
    Y = simulate_pruned(blocks, np.zeros(nx), np.zeros((400, m)))
    hx, gx, hss, gss = blocks[0], blocks[1], blocks[9], blocks[10]
    xs_inf = 0.5 * np.linalg.solve(np.eye(nx) - hx, hss)
    np.testing.assert_allclose(Y[-1, :nx], xs_inf, rtol=1e-10, atol=1e-12,
                               err_msg="x^s must converge to 1/2 (I - h_x)^-1 h_ss")
    np.testing.assert_allclose(Y[-1, nx:], gx @ xs_inf + 0.5 * gss, rtol=1e-10, atol=1e-12)


def test_pruned_empty_problems_write_nothing():
    rng = np.random.default_rng(2)
    blocks = random_blocks(rng, 2, 1, 1)
    Y = np.full((3, 3), 4.0)
    args = blocks + [np.zeros(2), np.zeros((3, 1)), None, Y, np.zeros(64)]
    for T, nx, ny, m in [(0, 2, 1, 1), (3, 0, 0, 1), (3, -1, 1, 1), (3, 2, -1, 1),
                         (3, 2, 1, -1)]:
        LIB.crv_simulate_second_order_pruned(*args, T, nx, ny, m)
        assert np.all(Y == 4.0), f"(T, nx, ny, m) = {(T, nx, ny, m)} must write nothing"
    assert tuple(LIB.crv_simulate_second_order_pruned_arena_size(3, 2)) == (4 + 3 * 9, 0)
    assert tuple(LIB.crv_simulate_second_order_pruned_arena_size(-1, -1)) == (0, 0)


# ---- closed-form growth model -----------------------------------------------
# Full depreciation and log utility: k_{t+1} = alpha beta exp(a_t) k_t^alpha,
# c_t = (1 - alpha beta) exp(a_t) k_t^alpha, a_t = rho a_{t-1} + sigma e_t.
# States after the shock of period t: (k_{t+1}, a_t); the control c_t is a
# function of (k_t, a_{t-1}, e_t). Both are B exp(rho a + sigma e) k^alpha, so
# their derivatives at the steady state are those of f = fbar exp(rho a +
# sigma e) (k / kbar)^alpha, worked out by hand below.

ALPHA, BETA, RHO, SIGMA = 0.33, 0.96, 0.9, 1.0
KBAR = (ALPHA * BETA) ** (1.0 / (1.0 - ALPHA))
CBAR = (1.0 - ALPHA * BETA) * KBAR ** ALPHA


def growth_derivatives(fbar):
    """Rows (first order in (k, a); e; xx over (k, a)^2; xe; ee) of f."""
    fx = np.array([ALPHA * fbar / KBAR, RHO * fbar])
    fe = np.array([SIGMA * fbar])
    fkk = ALPHA * (ALPHA - 1.0) * fbar / KBAR ** 2
    fka = ALPHA * RHO * fbar / KBAR
    fxx = np.array([fkk, fka, fka, RHO ** 2 * fbar])
    fxe = np.array([ALPHA * SIGMA * fbar / KBAR, RHO * SIGMA * fbar])
    fee = np.array([SIGMA ** 2 * fbar])
    return fx, fe, fxx, fxe, fee


def growth_blocks():
    kx, ke, kxx, kxe, kee = growth_derivatives(KBAR)      # k' = alpha beta ... = KBAR at ss
    cx, ce, cxx, cxe, cee = growth_derivatives(CBAR)
    hx = np.array([kx, [0.0, RHO]])
    R = np.array([ke, [SIGMA], ce])
    hxx = np.array([kxx, np.zeros(4)])
    hxe = np.array([kxe, np.zeros(2)])
    hee = np.array([kee, [0.0]])
    return [np.ascontiguousarray(b) for b in
            (hx, cx[None, :], R, hxx, cxx[None, :], hxe, cxe[None, :], hee, cee[None, :],
             np.zeros(2), np.zeros(1))]


def growth_exact(E):
    k, a, rows = KBAR, 0.0, []
    for (e,) in E:
        a_new = RHO * a + SIGMA * e
        out = np.exp(a_new) * k ** ALPHA
        rows.append([ALPHA * BETA * out, a_new, (1.0 - ALPHA * BETA) * out])
        k, a = ALPHA * BETA * out, a_new
    return np.array(rows)


def test_growth_model_pruned_error_is_third_order():
    blocks = growth_blocks()
    offset = np.array([KBAR, 0.0, CBAR])
    z = np.random.default_rng(3).standard_normal((60, 1))
    errors1, errors2 = [], []
    for scale in (0.04, 0.02, 0.01):
        E = scale * z
        exact = growth_exact(E)
        pruned = simulate_pruned(blocks, np.zeros(2), E, offset)
        lin = simulate_linear(blocks[0], np.ascontiguousarray(blocks[2][:2]), np.zeros(2), E)
        errors2.append(np.max(np.abs(pruned - exact)))
        errors1.append(np.max(np.abs(lin[:, 0] + KBAR - exact[:, 0])))
    ratios2 = np.array(errors2[:-1]) / np.array(errors2[1:])
    ratios1 = np.array(errors1[:-1]) / np.array(errors1[1:])
    assert np.all((ratios2 > 6.5) & (ratios2 < 9.5)), (
        f"halving the shocks should cut the pruned error ~8x, got {ratios2}")
    assert np.all((ratios1 > 3.3) & (ratios1 < 4.8)), (
        f"first-order error should shrink ~4x, got {ratios1}")
    assert errors2[-1] < 0.1 * errors1[-1], "second order must beat first order"


def test_both_modules_export_the_simulation_kernels():
    for name in ("regression", "beliefplan"):
        lib = ffi.load(name)
        for kernel in ("crv_simulate_linear_states", "crv_simulate_linear_states_arena_size",
                       "crv_affine_observations", "crv_simulate_second_order_pruned",
                       "crv_simulate_second_order_pruned_arena_size"):
            assert hasattr(lib, kernel), f"{name} does not export {kernel}"
