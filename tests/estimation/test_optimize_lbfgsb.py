"""L-BFGS-B: the driver against SciPy's L-BFGS-B given the same forward-difference
gradient, bounded problems with closed-form or independently solved optima, the
task codes, the reverse-communication routine and its building blocks."""

import ctypes

import numpy as np
import pytest
from scipy.optimize import lsq_linear, minimize, rosen, rosen_der

from Corvane._ckernels import ffi
from Corvane._ckernels.ffi import optimize as op

lib = ffi.load("beliefplan")
EPS = 2.220446049250313e-16
H = 1.4901161193847656e-8
MESSAGES = {4: "CONVERGENCE", 5: "STOP: iteration or evaluation limit reached",
            6: "WARNING: rounding errors prevent progress", 7: "ERROR: invalid input",
            8: "ABNORMAL: line search failed"}


class Recorder:
    def __init__(self, fun, n):
        self.values = []

        def cb(xp, ctx):
            v = float(fun(np.ctypeslib.as_array(xp, shape=(n,)).copy()))
            self.values.append(v)
            return v

        self.c = op.crv_opt_fn(cb)


def bound_arrays(bounds):
    """(lower, upper, bound types) from SciPy-style (lo or None, hi or None) pairs."""
    lo = np.array([0.0 if a is None else a for a, _ in bounds])
    hi = np.array([0.0 if b is None else b for _, b in bounds])
    bt = np.array([0 if a is None and b is None else 1 if b is None else 3 if a is None else 2
                   for a, b in bounds], dtype=np.int64)
    return lo, hi, bt


def run(fun, x0, bounds=None, m=10, maxiter=0, maxfun=0, maxls=20, factr=1e7, pgtol=1e-5,
        fd_step=0.0):
    n = len(x0)
    rec = Recorder(fun, n)
    x = np.array(x0, dtype=float)
    lo, hi, bt = bound_arrays(bounds) if bounds is not None else (None, None, None)
    opts = op.crv_lbfgsb_options(m=m, maxiter=maxiter, maxfun=maxfun, maxls=maxls, factr=factr,
                                 pgtol=pgtol, fd_step=fd_step)
    res = op.crv_opt_result()
    status = lib.crv_lbfgsb(rec.c, None, n, x, lo, hi, bt, ctypes.byref(opts), ctypes.byref(res))
    return status, x, res, rec


def fd_gradient(fun):
    """The driver's gradient: forward differences, zero where a value is not finite."""
    def grad(x):
        f = fun(x)
        g = np.zeros_like(x)
        if not np.isfinite(f):
            return g
        for j in range(len(x)):
            h = max(abs(x[j]), 1.0) * H
            xx = x.copy()
            xx[j] += h
            fj = fun(xx)
            g[j] = (fj - f) / h if np.isfinite(fj) else 0.0
        return g
    return grad


def scipy_ref(fun, x0, bounds=None, m=10, factr=1e7, pgtol=1e-5):
    return minimize(fun, np.array(x0, float), jac=fd_gradient(fun), method="L-BFGS-B",
                    bounds=bounds, options=dict(maxcor=m, ftol=factr * EPS, gtol=pgtol,
                                                maxiter=15000, maxfun=15000))


def quadratic(n, seed, cond=10.0):
    rng = np.random.default_rng(seed)
    A = rng.normal(size=(n, n))
    Q = A @ A.T + cond * np.eye(n)
    b = rng.normal(size=n) * 10.0
    return Q, b, (lambda x: 0.5 * x @ Q @ x - b @ x)


def qp_solution(Q, b, bounds):
    """Minimiser of 0.5 x'Qx - b'x in a box, as bounded least squares (BVLS)."""
    R = np.linalg.cholesky(Q).T                 # Q = R'R
    c = np.linalg.solve(R.T, b)                 # 0.5|Rx - c|^2 = objective + const
    lb = [-np.inf if a is None else a for a, _ in bounds]
    ub = [np.inf if u is None else u for _, u in bounds]
    return lsq_linear(R, c, bounds=(lb, ub), method="bvls", tol=1e-14).x


# ---- the driver against SciPy and closed forms ---------------------------------


@pytest.mark.parametrize("n, seed", [(2, 0), (5, 1), (10, 2), (20, 3)])
def test_rosenbrock_matches_scipy(n, seed):
    x0 = np.random.default_rng(seed).uniform(-2, 2, n)
    status, x, res, rec = run(rosen, x0)
    ref = scipy_ref(rosen, x0)
    assert status == res.status == 4 and res.success == 1
    assert res.message.decode() == "CONVERGENCE"
    np.testing.assert_allclose(x, np.ones(n), atol=2e-4)
    np.testing.assert_allclose(x, ref.x, atol=5e-5)
    assert abs(res.nit - ref.nit) <= max(3, 0.1 * ref.nit)
    assert res.nfev == len(rec.values) and res.nfev % (n + 1) == 0
    assert res.fun == rec.values[-(n + 1)] or res.fun == pytest.approx(rosen(x), abs=0)


@pytest.mark.parametrize("bounds", [
    [(-0.5, 0.5)] * 4,
    [(None, 0.3), (None, 0.3), (0.1, None), (0.1, None)],
    [(-1.0, 2.0), (None, None), (None, -0.2), (0.4, 0.4)],         # includes a fixed variable
])
def test_separable_quadratic_hits_bounds_exactly(bounds):
    """0.5 sum w_i (x_i - a_i)^2 in a box: the optimum is clip(a); active bounds are exact."""
    a = np.array([1.5, -0.8, 0.9, -2.0])
    w = np.array([1.0, 4.0, 0.5, 2.0])
    f = lambda x: 0.5 * np.sum(w * (x - a) ** 2)
    lo = np.array([-np.inf if p is None else p for p, _ in bounds])
    hi = np.array([np.inf if q is None else q for _, q in bounds])
    status, x, res, _ = run(f, np.zeros(4), bounds=bounds, pgtol=1e-10, factr=10.0)
    want = np.clip(a, lo, hi)
    assert status == 4
    active = (want == lo) | (want == hi)
    np.testing.assert_array_equal(x[active], want[active])
    np.testing.assert_allclose(x[~active], want[~active], atol=1e-6)


@pytest.mark.parametrize("n, seed, kind", [(4, 10, "box"), (8, 11, "box"), (12, 12, "mixed"),
                                           (20, 13, "mixed")])
def test_coupled_quadratic_against_bvls(n, seed, kind):
    Q, b, f = quadratic(n, seed)
    rng = np.random.default_rng(seed + 100)
    if kind == "box":
        bounds = [(-0.3, 0.3)] * n
    else:
        bounds = [[(None, None), (-0.2, None), (None, 0.1), (-0.25, 0.25)][i % 4] for i in range(n)]
    x0 = rng.uniform(-0.1, 0.1, n)
    status, x, res, _ = run(f, x0, bounds=bounds, pgtol=1e-8, factr=10.0)
    want = qp_solution(Q, b, bounds)
    ref = scipy_ref(f, x0, bounds, pgtol=1e-8, factr=10.0)
    # At factr = 10 the last line search may end on the rounding warning (6)
    # instead of the convergence test (4); the point is checked below either way.
    assert status in (4, 6)
    lo = np.array([-np.inf if p is None else p for p, _ in bounds])
    hi = np.array([np.inf if q is None else q for _, q in bounds])
    active = (np.abs(want - lo) < 1e-9) | (np.abs(want - hi) < 1e-9)
    assert active.any() and not active.all()
    np.testing.assert_array_equal(x[active], np.where(np.abs(want - lo) < 1e-9, lo, hi)[active])
    np.testing.assert_allclose(x, want, atol=1e-6)
    np.testing.assert_allclose(x, ref.x, atol=1e-6)
    assert abs(res.nit - ref.nit) <= max(3, 0.2 * ref.nit)


def test_infeasible_region_is_backed_off():
    """+inf outside a region: the line search retreats; the optimum is interior."""
    f = lambda x: rosen(x) if x[0] > 0.9 else np.inf
    status, x, res, rec = run(f, [1.5, 1.0])
    assert status == 4
    assert any(np.isinf(v) for v in rec.values)
    np.testing.assert_allclose(x, [1.0, 1.0], atol=1e-4)
    assert np.isfinite(res.fun)


def test_nan_trials_are_backed_off():
    f = lambda x: rosen(x) if np.all(np.abs(x) < 1.6) else np.nan
    status, x, res, rec = run(f, [-1.2, 1.0])
    assert status == 4
    np.testing.assert_allclose(x, [1.0, 1.0], atol=1e-4)


@pytest.mark.parametrize("step", [1e-7, 1e-5])
def test_fixed_difference_step(step):
    """A fixed step enters every difference: the gradient of a quadratic is off by
    step/2 per unit curvature, which moves the optimum by exactly that much."""
    f = lambda x: 0.5 * np.sum((x - 1.0) ** 2) * 4.0
    status, x, res, _ = run(f, [0.0, 3.0], fd_step=step, pgtol=1e-10, factr=1.0)
    np.testing.assert_allclose(x, 1.0 - step / 2, rtol=0, atol=1e-9)
    assert status == 4


# ---- limits and task codes ----------------------------------------------------


def test_maxiter_one_stops_after_first_iterate():
    status, x, res, _ = run(rosen, [-1.2, 1.0], maxiter=1)
    assert status == res.status == 5 and res.nit == 1 and res.success == 0
    assert res.message.decode() == MESSAGES[5]
    assert res.fun == pytest.approx(rosen(x), abs=0) and res.fun < rosen(np.array([-1.2, 1.0]))


def test_maxfun_stops_at_first_iterate_beyond_it():
    """The evaluation limit is checked at each new iterate: the run stops at the
    first one whose count exceeds maxfun, which is the same point a run limited
    to that many iterations reaches."""
    status, x, res, _ = run(rosen, [-1.2, 1.0], maxfun=40)
    assert status == 5 and res.nfev > 40
    s2, x2, r2, _ = run(rosen, [-1.2, 1.0], maxiter=res.nit)
    assert s2 == 5 and r2.nfev == res.nfev
    np.testing.assert_array_equal(x, x2)
    s3, _, r3, _ = run(rosen, [-1.2, 1.0], maxiter=res.nit - 1)
    assert r3.nfev <= 40


def test_rounding_errors_prevent_progress():
    """A descent step far below the spacing of x leaves x unchanged."""
    f = lambda x: 1e-30 * x[0]
    status, x, res, _ = run(f, [1e20], pgtol=0.0)
    assert status == 6 and res.message.decode() == MESSAGES[6] and res.success == 0
    assert x[0] == 1e20 and res.nit == 0


def test_line_search_failure():
    """Every trial point is far worse than the start: after maxls evaluations
    the run ends at the start with status 8."""
    start = np.array([0.5, -0.25])
    allowed = {tuple(start)}
    for j in range(2):
        p = start.copy()
        p[j] += max(abs(p[j]), 1.0) * H
        allowed.add(tuple(p))
    f = lambda x: float(np.sum(x)) if tuple(x) in allowed else 1e10
    status, x, res, rec = run(f, start, maxls=2)
    assert status == 8 and res.message.decode() == MESSAGES[8]
    np.testing.assert_array_equal(x, start)
    assert res.fun == np.sum(start)
    assert res.nfev == 3 * (1 + 2) and res.nit == 0


@pytest.mark.parametrize("change", [
    dict(m=0), dict(maxls=0), dict(factr=-1.0), dict(pgtol=-1e-5),
    dict(types=[0, 4]), dict(types=[2, 2], lower=[0.0, 2.0], upper=[1.0, 1.0]),
])
def test_invalid_input(change):
    types = np.array(change.pop("types", [2, 2]), dtype=np.int64)
    lower = np.array(change.pop("lower", [-1.0, -1.0]))
    upper = np.array(change.pop("upper", [1.0, 1.0]))
    kw = dict(m=5, maxiter=0, maxfun=0, maxls=20, factr=1e7, pgtol=1e-5, fd_step=0.0)
    kw.update(change)
    opts = op.crv_lbfgsb_options(**kw)
    res = op.crv_opt_result()
    rec = Recorder(rosen, 2)
    status = lib.crv_lbfgsb(rec.c, None, 2, np.zeros(2), lower, upper, types, ctypes.byref(opts),
                            ctypes.byref(res))
    assert status == res.status == 7 and res.message.decode() == MESSAGES[7]
    assert res.success == 0 and res.nit == 0


def test_infinite_start_is_an_error_with_zero_gradient():
    """The first value is infinite: one evaluation, no differences, no success."""
    status, x, res, rec = run(lambda x: np.inf, [1.0, 2.0])
    assert status == 7 and res.nfev == 1 and len(rec.values) == 1
    assert res.success == 0 and np.isinf(res.fun)


def test_null_arguments_and_allocation_failure():
    res = op.crv_opt_result()
    opts = op.crv_lbfgsb_options(m=5, maxls=20, factr=1e7, pgtol=1e-5)
    assert lib.crv_lbfgsb(Recorder(rosen, 2).c, None, 2, np.zeros(2), None, None, None, None,
                          ctypes.byref(res)) == 7
    assert lib.crv_lbfgsb(Recorder(rosen, 2).c, None, 0, np.zeros(2), None, None, None,
                          ctypes.byref(opts), ctypes.byref(res)) == 7
    huge = 1 << 61
    assert lib.crv_lbfgsb(Recorder(rosen, 2).c, None, huge, np.zeros(2), None, None, None,
                          ctypes.byref(opts), ctypes.byref(res)) == -1701
    assert res.status == -1701 and np.isnan(res.fun) and res.nfev == 0
    assert res.message.decode() == "ERROR: workspace allocation failed"
    nm = op.crv_nm_options()
    assert lib.crv_neldermead(Recorder(rosen, 2).c, None, huge, np.zeros(2), None, None, None,
                              ctypes.byref(nm), ctypes.byref(res)) == -1701
    assert res.message.decode() == "ERROR: workspace allocation failed"


def test_no_result_record():
    x = np.array([-1.2, 1.0])
    opts = op.crv_lbfgsb_options(m=5, maxls=20, factr=1e7, pgtol=1e-5)
    assert lib.crv_lbfgsb(Recorder(rosen, 2).c, None, 2, x, None, None, None,
                          ctypes.byref(opts), None) == 4
    np.testing.assert_allclose(x, 1.0, atol=1e-4)


# ---- setulb by reverse communication ------------------------------------------

GUARD = 8


class Setulb:
    """State arrays of exactly the documented sizes, each followed by guard words."""

    def __init__(self, n, m, lower, upper, nbd, factr=1e7, pgtol=1e-5, maxls=20):
        self.n, self.m = n, m
        self.wa = np.full(2 * m * n + 5 * n + 11 * m * m + 8 * m + GUARD, -7.5)
        self.iwa = np.full(3 * n + GUARD, -7, dtype=np.int64)
        self.lsave = np.full(4 + GUARD, -7, dtype=np.int64)
        self.isave = np.full(44 + GUARD, -7, dtype=np.int64)
        self.dsave = np.full(29 + GUARD, -7.5)
        self.task = np.zeros(2, dtype=np.int64)
        self.ln_task = np.zeros(2, dtype=np.int64)
        self.f = np.zeros(1)
        self.g = np.zeros(n)
        self.l, self.u, self.nbd = lower, upper, nbd
        self.factr, self.pgtol, self.maxls = factr, pgtol, maxls

    def step(self, x):
        lib.setulb(self.n, self.m, x, self.l, self.u, self.nbd, self.f, self.g, self.factr,
                   self.pgtol, self.wa, self.iwa, self.task, self.lsave, self.isave, self.dsave,
                   self.maxls, self.ln_task)
        return int(self.task[0])

    def guards_intact(self):
        return (np.all(self.wa[-GUARD:] == -7.5) and np.all(self.iwa[-GUARD:] == -7)
                and np.all(self.lsave[-GUARD:] == -7) and np.all(self.isave[-GUARD:] == -7)
                and np.all(self.dsave[-GUARD:] == -7.5))


def drive(fun, grad, x, s, limit=2000):
    """Runs setulb with exact gradients; returns the iterates (x, f, g) and the task."""
    iterates = [(x.copy(), fun(x), grad(x))]
    for _ in range(limit):
        code = s.step(x)
        if code == 3:
            s.f[0] = fun(x)
            s.g[:] = grad(x)
        elif code == 1:
            iterates.append((x.copy(), s.f[0], s.g.copy()))
        else:
            return iterates, code
    raise AssertionError("setulb did not finish")


@pytest.mark.parametrize("n, m", [(2, 3), (10, 5), (30, 4)])
def test_setulb_iterates_satisfy_wolfe_conditions(n, m):
    """Unbounded Rosenbrock with exact gradients: every accepted step meets the
    More-Thuente (strong Wolfe) conditions with ftol 1e-3, gtol 0.9, and the
    workspace of the documented size is never overrun."""
    x = np.random.default_rng(n).uniform(-1.5, 1.5, n)
    s = Setulb(n, m, np.zeros(n), np.zeros(n), np.zeros(n, dtype=np.int64), factr=10.0,
               pgtol=1e-8)
    its, code = drive(rosen, rosen_der, x, s)
    assert code == 4 and s.guards_intact()
    np.testing.assert_allclose(x, 1.0, atol=1e-6)
    for (x0, f0, g0), (x1, f1, g1) in zip(its[:-1], its[1:]):
        step = x1 - x0
        slope0 = g0 @ step
        assert slope0 < 0
        assert f1 <= f0 + 1e-3 * slope0 + 1e-12 * abs(f0)
        assert abs(g1 @ step) <= 0.9 * abs(slope0) * (1 + 1e-10)


@pytest.mark.parametrize("n, m, seed", [(6, 3, 0), (25, 7, 1)])
def test_setulb_bounded_quadratic(n, m, seed):
    Q, b, f = quadratic(n, seed)
    bounds = [[(-0.2, 0.2), (None, 0.05), (-0.1, None), (None, None)][i % 4] for i in range(n)]
    lo, hi, bt = bound_arrays(bounds)
    x = np.full(n, 5.0)                        # infeasible start: projected first
    s = Setulb(n, m, lo, hi, bt, factr=0.0, pgtol=1e-10)
    its, code = drive(f, lambda x: Q @ x - b, x, s)
    # pgtol = 1e-10 sits at rounding level: convergence (4) or the rounding warning (6).
    assert code in (4, 6) and s.guards_intact()
    want = qp_solution(Q, b, bounds)
    np.testing.assert_allclose(x, want, atol=1e-8)
    fs = [v for _, v, _ in its[1:]]
    assert all(b2 <= a2 for a2, b2 in zip(fs[:-1], fs[1:]))
    lo_eff = np.where((bt == 1) | (bt == 2), lo, -np.inf)
    hi_eff = np.where((bt == 2) | (bt == 3), hi, np.inf)
    for xi, _, _ in its[1:]:
        assert np.all(xi >= lo_eff) and np.all(xi <= hi_eff)


def test_setulb_stop_code_passes_through():
    n = 3
    s = Setulb(n, 4, np.zeros(n), np.zeros(n), np.zeros(n, dtype=np.int64))
    x = np.array([-1.0, 0.5, 2.0])
    assert s.step(x) == 3
    s.f[0], s.g[:] = rosen(x), rosen_der(x)
    code = s.step(x)
    while code == 3:
        s.f[0], s.g[:] = rosen(x), rosen_der(x)
        code = s.step(x)
    assert code == 1
    s.task[:] = (5, 504)
    before = x.copy()
    assert s.step(x) == 5 and s.task[1] == 504
    np.testing.assert_array_equal(x, before)


@pytest.mark.parametrize("n, m, nbd, lo, hi, factr, pgtol, maxls, detail", [
    (0, 5, [], [], [], 1e7, 0.0, 20, 701),
    (2, 0, [0, 0], [0, 0], [0, 0], 1e7, 0.0, 20, 702),
    (2, 5, [0, 0], [0, 0], [0, 0], -1.0, 0.0, 20, 703),
    (2, 5, [0, 0], [0, 0], [0, 0], 1e7, -1.0, 20, 704),
    (2, 5, [0, 0], [0, 0], [0, 0], 1e7, 0.0, 0, 705),
    (2, 5, [0, -1], [0, 0], [0, 0], 1e7, 0.0, 20, 706),
    (2, 5, [1, 2], [5, 3], [0, 2], 1e7, 0.0, 20, 707),
    (2, 5, [1, 0], [np.nan, 0], [0, 0], 1e7, 0.0, 20, 707),
    (2, 5, [0, 3], [0, 0], [0, np.nan], 1e7, 0.0, 20, 707),
])
def test_setulb_input_errors(n, m, nbd, lo, hi, factr, pgtol, maxls, detail):
    s = Setulb(max(n, 1), max(m, 1), np.array(lo + [0.0], float), np.array(hi + [0.0], float),
               np.array(nbd + [0], dtype=np.int64), factr, pgtol, maxls)
    s.n, s.m = n, m
    assert s.step(np.zeros(max(n, 1))) == 7 and s.task[1] == detail


# ---- limited-memory matrices ------------------------------------------------


def test_matupd_formt_bmv_against_dense_algebra():
    """After every update SY = S'Y and SS = S'S (oldest pair first, also after
    the memory wraps), WT'WT = theta S'S + L D^-1 L', and bmv multiplies by the
    inverse of [[-D, L'], [L, theta S'S]]."""
    n, m = 7, 3
    rng = np.random.default_rng(5)
    ws, wy = np.zeros(m * n), np.zeros(m * n)
    sy, ss, wt = np.zeros(m * m), np.zeros(m * m), np.zeros(m * m)
    itail, iupdat, col, head = (np.zeros(1, dtype=np.int64) for _ in range(4))
    theta = np.ones(1)
    pairs = []
    for k in range(6):
        s = rng.normal(size=n)
        y = s * rng.uniform(0.5, 2.0, n) + 0.1 * rng.normal(size=n)
        assert s @ y > 0
        lib.matupd(n, m, ws, wy, sy, ss, s, y, itail, iupdat, col, head, theta, y @ y, s @ y)
        pairs = (pairs + [(s, y)])[-m:]
        k_col = len(pairs)
        S = np.column_stack([p[0] for p in pairs])
        Y = np.column_stack([p[1] for p in pairs])
        assert col[0] == k_col and iupdat[0] == k + 1
        assert theta[0] == pytest.approx((y @ y) / (s @ y), rel=1e-14)
        SY = sy.reshape(m, m, order="F")[:k_col, :k_col]
        SS = ss.reshape(m, m, order="F")[:k_col, :k_col]
        np.testing.assert_allclose(SY, S.T @ Y, rtol=1e-13, atol=1e-13)
        np.testing.assert_allclose(SS, S.T @ S, rtol=1e-13, atol=1e-13)

        info = np.array([5], dtype=np.int64)
        lib.formt(m, wt, sy, ss, k_col, theta[0], info)
        assert info[0] == 0
        D = np.diag(np.diag(S.T @ Y))
        L = np.tril(S.T @ Y, -1)
        T = theta[0] * S.T @ S + L @ np.linalg.inv(D) @ L.T
        U = np.triu(wt.reshape(m, m, order="F")[:k_col, :k_col])
        np.testing.assert_allclose(U.T @ U, T, rtol=1e-12, atol=1e-12)

        Minv = np.block([[-D, L.T], [L, theta[0] * S.T @ S]])
        v = rng.normal(size=2 * k_col)
        p = np.zeros(2 * k_col)
        lib.bmv(m, sy, wt, k_col, v, p, info)
        assert info[0] == 0
        np.testing.assert_allclose(p, np.linalg.solve(Minv, v), rtol=1e-10, atol=1e-12)


def test_formt_reports_indefinite_middle_matrix():
    m = 2
    sy = np.array([1.0, 0.0, 0.0, 1.0])
    ss = np.array([1.0, 2.0, 2.0, 1.0])            # S'S not positive definite
    wt = np.zeros(4)
    info = np.zeros(1, dtype=np.int64)
    lib.formt(m, wt, sy, ss, 2, 1.0, info)
    assert info[0] != 0


# ---- the safeguarded step -------------------------------------------------------


def cubic_minimiser(a, fa, da, b, fb, db):
    """Local minimiser of the Hermite cubic through (a, fa, da), (b, fb, db)."""
    t = b - a
    # p(s) = fa + da s + c2 s^2 + c3 s^3 on s in units of the step
    M = np.array([[t ** 2, t ** 3], [2 * t, 3 * t ** 2]])
    c2, c3 = np.linalg.solve(M, [fb - fa - da * t, db - da])
    roots = np.roots([3 * c3, 2 * c2, da])
    roots = roots[np.isreal(roots)].real
    mins = [r for r in roots if 6 * c3 * r + 2 * c2 > 0]
    return a + mins[0]


def dcstep_call(stx, fx, dx, sty, fy, dy, stp, fp, dp, brackt, stpmin, stpmax):
    a = [np.array([v], float) for v in (stx, fx, dx, sty, fy, dy, stp)]
    br = np.array([brackt], dtype=np.int64)
    lib.dcstep(*a, fp, dp, br, stpmin, stpmax)
    return [v[0] for v in a], int(br[0])


@pytest.mark.parametrize("fp, dp", [(0.5, 2.0), (0.2, -0.5), (3.0, 10.0), (0.01, 0.3)])
def test_dcstep_higher_value_brackets(fp, dp):
    """Case 1: a higher value brackets a minimiser in [stx, stp]; the step is the
    cubic minimiser when closer to stx than the quadratic one, else their mean."""
    (stx, fx, dx, sty, fy, dy, stp), br = dcstep_call(0.0, 0.0, -1.0, 0.0, 0.0, -1.0, 1.0, fp,
                                                      dp, 0, 0.0, 5.0)
    assert br == 1 and (stx, fx, dx) == (0.0, 0.0, -1.0) and (sty, fy, dy) == (1.0, fp, dp)
    c = cubic_minimiser(0.0, 0.0, -1.0, 1.0, fp, dp)
    a2 = (fp - 0.0 - (-1.0) * 1.0)
    q = 1.0 / (2 * a2)                            # quadratic through fx, dx, fp
    want = c if abs(c) < abs(q) else c + (q - c) / 2
    assert stp == pytest.approx(want, rel=1e-12)
    assert 0.0 < stp < 1.0


@pytest.mark.parametrize("fp, dp", [(-0.5, 1.0), (-0.1, 0.2), (-0.9, 3.0)])
def test_dcstep_derivative_sign_change_brackets(fp, dp):
    """Case 2: lower value, derivative changes sign; the endpoint with the lower
    value becomes stx and the step lies between the two points."""
    (stx, fx, dx, sty, fy, dy, stp), br = dcstep_call(0.0, 0.0, -1.0, 0.0, 0.0, -1.0, 1.0, fp,
                                                      dp, 0, 0.0, 5.0)
    assert br == 1 and (stx, fx, dx) == (1.0, fp, dp) and (sty, fy, dy) == (0.0, 0.0, -1.0)
    c = cubic_minimiser(0.0, 0.0, -1.0, 1.0, fp, dp)
    q = 1.0 + dp / (dp - (-1.0)) * (0.0 - 1.0)   # secant step
    want = c if abs(c - 1.0) > abs(q - 1.0) else q
    assert stp == pytest.approx(want, rel=1e-12)
    assert 0.0 < stp < 1.0
    assert dx * (sty - stx) < 0                  # derivative at stx points into the interval


@pytest.mark.parametrize("fp, dp, lo, hi", [(-0.8, -0.5, 1.1, 5.0), (-0.2, -0.9, 1.1, 5.0),
                                            (-2.0, -3.0, 1.1, 5.0)])
def test_dcstep_extrapolates_within_limits(fp, dp, lo, hi):
    """Cases 3 and 4 unbracketed: lower value, same derivative sign: extrapolate
    beyond stp, never past the given limits."""
    (stx, fx, dx, sty, fy, dy, stp), br = dcstep_call(0.0, 0.0, -1.0, 0.0, 0.0, -1.0, 1.0, fp,
                                                      dp, 0, lo, hi)
    assert br == 0 and (stx, fx, dx) == (1.0, fp, dp) and sty == 0.0
    assert lo <= stp <= hi
    if abs(dp) >= 1.0:
        assert stp == hi


def test_dcstep_bracketed_same_sign_uses_far_cubic():
    """Case 4 bracketed: lower value, steeper derivative of the same sign: the
    step is the cubic minimiser between stp and sty."""
    stx, fx, dx = 0.0, 0.0, -1.0
    stp, fp, dp = 1.0, -1.0, -1.5
    sty, fy, dy = 3.0, 5.0, 4.0
    (x, _, _, y, _, _, new), br = dcstep_call(stx, fx, dx, sty, fy, dy, stp, fp, dp, 1, 0.0, 3.0)
    assert br == 1 and (x, y) == (stp, sty)
    c = cubic_minimiser(stp, fp, dp, sty, fy, dy)
    assert new == pytest.approx(c, rel=1e-12)
    assert stp < new < sty


def test_dcstep_infinite_value_bisects():
    (stx, fx, dx, sty, fy, dy, stp), br = dcstep_call(0.0, 1.0, -1.0, 0.0, 1.0, -1.0, 2.0,
                                                      np.inf, 0.0, 0, 0.0, 10.0)
    assert br == 1 and sty == 2.0 and stx == 0.0
    assert np.isfinite(stp) and 0.0 < stp < 2.0


@pytest.mark.parametrize("dx", [0.0, -0.0])
def test_dcstep_zero_derivative_at_stx_brackets_nothing(dx):
    """A zero derivative at stx has no sign, so a lower value with a negative
    slope is not a sign change: the step extrapolates to stpmax (case 4)."""
    (stx, fx, _, _, _, _, stp), br = dcstep_call(0.0, 1.0, dx, 0.0, 1.0, dx, 1.0, 0.5, -0.1, 0,
                                                 0.0, 10.0)
    assert br == 0 and stp == 10.0 and (stx, fx) == (1.0, 0.5)
