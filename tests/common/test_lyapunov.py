"""crv_dlyap, X = A X A' + Q: against closed forms (AR(1), diagonal and
rotation VARs turned by a random orthogonal matrix), SciPy's solver, and the
statuses of unit and explosive roots."""

import numpy as np
import pytest
from scipy.linalg import solve_discrete_lyapunov
from scipy.stats import ortho_group

from analysis_kernels import Lyapunov


def relative_error(X, ref):
    return np.linalg.norm(X - ref) / np.linalg.norm(ref)


@pytest.mark.parametrize("a", [0.0, 0.5, -0.9, 0.999, -0.99999, 0.9999999])
@pytest.mark.parametrize("q", [1.0, 2.5e-3])
def test_ar1_variance_is_q_over_one_minus_a_squared(lib, a, q):
    run = Lyapunov(lib, [[a]], [[q]], root_tol=0.0)
    assert run.status == 0
    expected = q / ((1.0 - a) * (1.0 + a))
    assert run.X[0, 0] == pytest.approx(expected, rel=1e-15)
    assert run.radius[0] == abs(a)


def rotated_var(rng, moduli, angles, n):
    """A = U blockdiag(...) U', Q = U blockdiag(q) U' with 1 x 1 blocks a_i
    and 2 x 2 blocks rho (cos, -sin; sin, cos) (complex roots rho e^{+-i theta}),
    and the exact X = U blockdiag(q_i / (1 - a_i a_j) ...) U'. Rotation blocks
    carry Q = q I, whose solution is q / (1 - rho^2) I; the diagonal
    blocks carry a dense Q, X_ij = Q_ij / (1 - a_i a_j). Also returns the
    spectral radius."""
    D = np.zeros((n, n))
    Qd = np.zeros((n, n))
    Xd = np.zeros((n, n))
    at = 0
    for rho, theta in zip(moduli, angles):
        c, s = np.cos(theta), np.sin(theta)
        D[at:at + 2, at:at + 2] = rho * np.array([[c, -s], [s, c]])
        q = rng.uniform(0.5, 2.0)
        Qd[at:at + 2, at:at + 2] = q * np.eye(2)
        Xd[at:at + 2, at:at + 2] = q / (1.0 - rho * rho) * np.eye(2)
        at += 2
    real = n - at
    a = rng.uniform(-0.95, 0.95, real)
    C = rng.standard_normal((real, real))
    Qr = C @ C.T + np.eye(real)
    D[at:, at:] = np.diag(a)
    Qd[at:, at:] = Qr
    Xd[at:, at:] = Qr / (1.0 - np.outer(a, a))
    U = ortho_group.rvs(n, random_state=rng) if n > 1 else np.eye(1)
    radius = max([0.0, *moduli, *np.abs(a)])
    return U @ D @ U.T, U @ Qd @ U.T, U @ Xd @ U.T, radius


@pytest.mark.parametrize("n,pairs", [(2, 1), (5, 1), (12, 3), (50, 10), (300, 40)])
def test_rotated_var_closed_form(lib, rng, n, pairs):
    moduli = rng.uniform(0.3, 0.95, pairs)
    angles = rng.uniform(0.1, 3.0, pairs)
    A, Q, X, radius = rotated_var(rng, moduli, angles, n)
    run = Lyapunov(lib, A, Q)
    assert run.status == 0
    assert relative_error(run.X, X) < 1e-12, "the solution misses the closed form"
    np.testing.assert_array_equal(run.X, run.X.T)
    assert run.radius[0] == pytest.approx(radius, rel=1e-12)


@pytest.mark.parametrize("rho", [0.999, 0.9999, 0.99999])
@pytest.mark.parametrize("complex_root", [False, True])
def test_near_unit_roots_keep_their_accuracy(lib, rng, rho, complex_root):
    # The condition of the equation grows as 1 / (1 - rho): the error bound
    # is machine precision times that, with a small constant.
    n = 20
    if complex_root:
        A, Q, X, _ = rotated_var(rng, [rho], [0.4], n)
    else:
        A, Q, X, _ = rotated_var(rng, [], [], n)
        # Put the near-unit root on a real eigenvalue.
        w, V = np.linalg.eigh(A)
        w[np.argmax(np.abs(w))] = rho
        A = V @ np.diag(w) @ V.T
        Qe = V.T @ Q @ V
        X = V @ (Qe / (1.0 - np.outer(w, w))) @ V.T
    run = Lyapunov(lib, A, Q)
    assert run.status == 0
    assert relative_error(run.X, X) < 50 * np.finfo(float).eps / (1.0 - rho)
    assert run.radius[0] == pytest.approx(rho, rel=1e-12)


def stable(rng, n, radius):
    A = rng.standard_normal((n, n))
    return A * radius / np.max(np.abs(np.linalg.eigvals(A)))


@pytest.mark.parametrize("n,method,tol", [(1, "direct", 1e-12), (3, "direct", 1e-12),
                                          (20, "direct", 1e-12), (40, "bilinear", 1e-11),
                                          (150, "bilinear", 1e-11), (300, "bilinear", 1e-11)])
def test_matches_scipy_and_solves_the_equation(lib, rng, n, method, tol):
    A = stable(rng, n, 0.97)
    C = rng.standard_normal((n, max(1, n // 2)))
    Q = C @ C.T                                   # singular Q for n > 2
    run = Lyapunov(lib, A, Q)
    assert run.status == 0
    ref = solve_discrete_lyapunov(A, Q, method=method)
    assert relative_error(run.X, ref) < tol
    residual = run.X - A @ run.X @ A.T - Q
    assert np.linalg.norm(residual) / np.linalg.norm(run.X) < 1e-13
    assert np.all(np.linalg.eigvalsh(run.X) > -1e-10 * np.linalg.norm(run.X))


def test_nonnormal_triangular_and_already_schur(lib):
    # A (defective-looking) upper triangular A with a large off-diagonal part.
    n = 6
    A = np.triu(np.full((n, n), 2.0), 1) + np.diag(np.linspace(-0.8, 0.8, n))
    Q = np.eye(n)
    run = Lyapunov(lib, A, Q)
    assert run.status == 0
    ref = solve_discrete_lyapunov(A, Q, method="direct")
    assert relative_error(run.X, ref) < 1e-11


UNIT_OR_EXPLOSIVE = {
    "unit root": np.diag([0.5, 1.0, 0.2]),
    "minus one": np.diag([-1.0, 0.3, 0.0]),
    "explosive": np.diag([0.5, 1.01, 0.2]),
    "unit-modulus complex pair": np.array([[0.0, -1.0, 0.0], [1.0, 0.0, 0.0], [0.0, 0.0, 0.5]]),
    "Jordan block at one": np.array([[1.0, 1.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 0.5]]),
    "random walk with drift state": np.array([[1.0, 0.0, 0.0], [0.3, 0.9, 0.0],
                                              [0.0, 0.2, 0.1]]),
    "within the floor": np.diag([1.0 - 1e-9, 0.1, 0.1]),
}


@pytest.mark.parametrize("name", sorted(UNIT_OR_EXPLOSIVE))
def test_unit_or_explosive_root_is_a_status_not_a_number(lib, rng, name):
    A = UNIT_OR_EXPLOSIVE[name]
    U = ortho_group.rvs(3, random_state=rng)
    run = Lyapunov(lib, U @ A @ U.T, np.eye(3), root_tol=0.0)
    assert run.status == -1103, f"{name}: status {run.status}"
    assert np.all(run.X == -9.0), "X written despite the unit root"
    assert run.radius[0] >= 1.0 - 2.0**-26


@pytest.mark.parametrize("rho,root_tol,status", [(0.99999, 1e-6, 0), (0.9999995, 1e-6, -1103),
                                                 (0.9, 0.2, -1103), (0.79, 0.2, 0)])
def test_root_tolerance_is_the_callers_above_the_floor(lib, rho, root_tol, status):
    run = Lyapunov(lib, np.diag([rho, 0.5]), np.eye(2), root_tol=root_tol)
    assert run.status == status
    assert run.radius[0] == rho


def test_empty_nonfinite_and_missing_lapack(lib):
    empty = Lyapunov(lib, np.zeros((0, 0)), np.zeros((0, 0)))
    assert empty.status == 0 and empty.radius[0] == 0.0
    nan = Lyapunov(lib, np.array([[0.5, np.nan], [0.0, 0.2]]), np.eye(2))
    assert nan.status == -1104
    missing = Lyapunov(lib, np.diag([0.5, 0.2]), np.eye(2), lapack=None)
    assert missing.status == -1104


@pytest.mark.parametrize("n", [1, 7, 33])
def test_stays_inside_its_arena_whatever_it_held(lib, rng, n):
    A, Q, _, _ = rotated_var(rng, [0.8] * (n > 1), [1.0] * (n > 1), n)
    runs = [Lyapunov(lib, A, Q, fill=fill) for fill in (0.0, np.nan, 1e300)]
    for run in runs:
        assert run.status == 0 and run.guards_intact()
        np.testing.assert_array_equal(run.X, runs[0].X)
