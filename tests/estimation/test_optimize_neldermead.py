"""Bounded Nelder-Mead: SciPy's simplex search as the reference where the two
coincide, a direct re-implementation of the documented steps elsewhere."""

import ctypes

import numpy as np
import pytest
from scipy.optimize import minimize, rosen

from Corvane._ckernels import ffi
from Corvane._ckernels.ffi import optimize as op

lib = ffi.load("beliefplan")

MSG = {
    0: "Optimization terminated successfully.",
    1: "Maximum number of function evaluations has been exceeded.",
    2: "Maximum number of iterations has been exceeded.",
}


class Recorder:
    """Objective callback that records every point it is called at."""

    def __init__(self, fun, n):
        self.fun, self.n, self.points = fun, n, []

        def cb(xp, ctx):
            x = np.ctypeslib.as_array(xp, shape=(n,)).copy()
            self.points.append(x)
            return float(fun(x))

        self.c = op.crv_opt_fn(cb)


def run_nm(fun, x0, bounds=None, maxiter=0, maxfev=0, xatol=1e-4, fatol=1e-4, options=True):
    n = len(x0)
    rec = Recorder(fun, n)
    x = np.array(x0, dtype=float)
    lo = hi = bt = None
    if bounds is not None:
        lo, hi, bt = bounds
    res = op.crv_opt_result()
    opts = op.crv_nm_options(maxiter=maxiter, maxfev=maxfev, xatol=xatol, fatol=fatol)
    status = lib.crv_neldermead(rec.c, None, n, x, lo, hi, bt,
                                ctypes.byref(opts) if options else None, ctypes.byref(res))
    return status, x, res, rec


def bound_arrays(lower, upper):
    """Bound types and arrays from per-variable (lower or None, upper or None)."""
    bt = np.array([(lo is not None and up is not None) * 2 or (lo is not None) * 1
                   or (up is not None) * 3 for lo, up in zip(lower, upper)], dtype=np.int64)
    lo = np.array([0.0 if v is None else v for v in lower])
    hi = np.array([0.0 if v is None else v for v in upper])
    return lo, hi, bt


def reference_nm(fun, x0, lb, ub, maxiter, maxfev, xatol, fatol, events=None):
    """The documented simplex search step by step (bounds as arrays of +-inf).
    `events`, when a list, receives "shrink" and "shrink-cut" markers."""
    n = len(x0)
    x0 = np.clip(np.asarray(x0, float), lb, ub)
    sim = np.tile(x0, (n + 1, 1))
    for k in range(n):
        sim[k + 1, k] = 1.05 * sim[k + 1, k] if sim[k + 1, k] != 0 else 0.00025
    sim = np.where(sim > ub, 2 * ub - sim, sim)
    sim = np.clip(sim, lb, ub)
    f = np.full(n + 1, np.inf)
    nfev = 0

    def ev(p):
        nonlocal nfev
        nfev += 1
        return fun(p)

    for k in range(n + 1):
        if nfev >= maxfev:
            break
        f[k] = ev(sim[k])

    def order():
        key = [(np.isnan(v), v if not np.isnan(v) else 0.0, i) for i, v in enumerate(f)]
        idx = [i for *_, i in sorted(key)]
        return sim[idx], f[idx]

    sim, f = order()
    nit = 1
    while nfev < maxfev and nit < maxiter:
        if (np.max(np.abs(sim[1:] - sim[0])) <= xatol
                and np.max(np.abs(f[0] - f[1:])) <= fatol):
            break
        y = sim[:-1].sum(axis=0) / n
        xr = np.clip(2 * y - sim[-1], lb, ub)
        fr = ev(xr)
        shrink = False
        if fr < f[0]:
            xe = np.clip(3 * y - 2 * sim[-1], lb, ub)
            fe = ev(xe)
            sim[-1], f[-1] = (xe, fe) if fe < fr else (xr, fr)
        elif fr < f[-2]:
            sim[-1], f[-1] = xr, fr
        elif fr < f[-1]:
            xc = np.clip(1.5 * y - 0.5 * sim[-1], lb, ub)
            fc = ev(xc)
            if fc <= fr:
                sim[-1], f[-1] = xc, fc
            else:
                shrink = True
        else:
            xcc = np.clip(0.5 * y + 0.5 * sim[-1], lb, ub)
            fcc = ev(xcc)
            if fcc < f[-1]:
                sim[-1], f[-1] = xcc, fcc
            else:
                shrink = True
        stop = False
        if shrink:
            if events is not None:
                events.append("shrink")
            for k in range(1, n + 1):
                sim[k] = np.clip(sim[0] + 0.5 * (sim[k] - sim[0]), lb, ub)
                if nfev >= maxfev:
                    stop = True
                    if events is not None:
                        events.append("shrink-cut")
                    break
                f[k] = ev(sim[k])
        sim, f = order()
        if stop:
            break
        nit += 1
    status = 0 if (nfev < maxfev and nit < maxiter) else (1 if nfev >= maxfev else 2)
    return status, sim[0], f[0], nfev, nit


def quartic(x):
    return np.sum((x - np.arange(1, len(x) + 1)) ** 4) + np.sum(x) ** 2


def himmelblau(x):
    return (x[0] ** 2 + x[1] - 11) ** 2 + (x[0] + x[1] ** 2 - 7) ** 2


def stair(x):
    """Piecewise constant: many ties and failed contractions, hence shrinks."""
    return float(np.sum(np.floor(4.0 * x) ** 2))


UNBOUNDED = [
    (stair, [1.0, 1.0]),
    (stair, [0.3, 0.2, 0.1]),
    (rosen, [-1.2, 1.0]),
    (rosen, [0.0, 0.0, 0.0]),
    (rosen, [1.3, 0.7, 0.8, 1.9, 1.2]),
    (quartic, [0.5, -1.0, 2.0]),
    (himmelblau, [0.0, 0.0]),
]


@pytest.mark.parametrize("fun, x0", UNBOUNDED)
def test_matches_scipy_unbounded(fun, x0):
    """Same simplex rules as SciPy: identical evaluations, iterations and optimum."""
    status, x, res, _ = run_nm(fun, x0)
    ref = minimize(fun, np.array(x0, float), method="Nelder-Mead")
    assert (res.nfev, res.nit) == (ref.nfev, ref.nit)
    np.testing.assert_allclose(x, ref.x, rtol=1e-13, atol=1e-15)
    assert res.fun == pytest.approx(ref.fun, rel=1e-12, abs=1e-300)
    assert status == res.status == ref.status
    assert res.success == ref.success
    assert res.message.decode() == MSG[status]


BOUNDED = [
    (rosen, [-1.2, 1.0], [(-2.0, 0.5), (None, 2.0)]),
    (rosen, [0.5, 0.5, 0.5], [(0.0, 0.5), (0.0, None), (None, None)]),
    # start on the upper bound: the perturbed vertex is reflected below it
    (quartic, [2.0, 1.0, 3.0], [(0.0, 2.0), (None, 1.0), (-1.0, 3.0)]),
    (himmelblau, [1.0, 1.0], [(1.5, 4.0), (None, 1.8)]),
]


@pytest.mark.filterwarnings("ignore:Initial guess is not within")
@pytest.mark.parametrize("fun, x0, bounds", BOUNDED)
def test_matches_scipy_bounded(fun, x0, bounds):
    lower, upper = zip(*bounds)
    status, x, res, _ = run_nm(fun, x0, bounds=bound_arrays(lower, upper))
    sb = [(-np.inf if lo is None else lo, np.inf if up is None else up) for lo, up in bounds]
    ref = minimize(fun, np.array(x0, float), method="Nelder-Mead", bounds=sb)
    assert (res.nfev, res.nit, status) == (ref.nfev, ref.nit, ref.status)
    np.testing.assert_allclose(x, ref.x, rtol=1e-13, atol=1e-15)
    assert res.fun == pytest.approx(ref.fun, rel=1e-12, abs=1e-300)


@pytest.mark.parametrize("maxiter, maxfev", [(1, 0), (2, 0), (7, 0), (0, 3), (0, 5), (0, 17),
                                             (0, 40), (0, 41), (25, 60), (0, 1)])
@pytest.mark.parametrize("fun, x0, bounds", [
    (rosen, [-1.2, 1.0, 0.3], None),
    (quartic, [2.0, 1.0, 3.0], [(0.0, 2.0), (None, 1.0), (-1.0, 3.0)]),
    (lambda x: np.abs(x[0]) + np.abs(x[1] - 1), [3.0, -2.0], None),   # shrinks often
])
def test_limits_against_reference(fun, x0, bounds, maxiter, maxfev):
    """Evaluation and iteration limits (checked where the documented steps check
    them) against a direct implementation of those steps."""
    n = len(x0)
    if bounds is None:
        lb, ub, arrays = np.full(n, -np.inf), np.full(n, np.inf), None
    else:
        lower, upper = zip(*bounds)
        arrays = bound_arrays(lower, upper)
        lb = np.array([-np.inf if v is None else v for v in lower])
        ub = np.array([np.inf if v is None else v for v in upper])
    status, x, res, rec = run_nm(fun, x0, bounds=arrays, maxiter=maxiter, maxfev=maxfev)
    want = reference_nm(fun, x0, lb, ub, maxiter if maxiter > 0 else 200 * n,
                        maxfev if maxfev > 0 else 200 * n, 1e-4, 1e-4)
    assert (status, res.nfev, res.nit) == (want[0], want[3], want[4])
    assert len(rec.points) == res.nfev
    np.testing.assert_array_equal(x, want[1])
    assert res.fun == want[2]
    assert res.message.decode() == MSG[status]


@pytest.mark.parametrize("x0, maxfev", [([1.0, 1.0], 10), ([1.0, 1.0], 15), ([1.0, 1.0], 16),
                                        ([0.3, 0.2, 0.1], 5), ([0.3, 0.2, 0.1], 11)])
def test_shrink_cut_by_evaluation_limit(x0, maxfev):
    """A shrink that reaches maxfev stops evaluating, sorts and ends the run
    without counting the iteration."""
    n = len(x0)
    events = []
    want = reference_nm(stair, x0, np.full(n, -np.inf), np.full(n, np.inf), 200 * n, maxfev,
                        1e-4, 1e-4, events)
    assert events[-1] == "shrink-cut"
    status, x, res, _ = run_nm(stair, x0, maxfev=maxfev)
    assert (status, res.nfev, res.nit) == (want[0], want[3], want[4])
    assert status == 1 and res.nfev >= maxfev
    np.testing.assert_array_equal(x, want[1])
    assert res.fun == want[2]


def test_maxiter_one_returns_best_initial_vertex():
    f = lambda x: (x[0] - 3.0) ** 2 + (x[1] + 1.0) ** 2
    status, x, res, rec = run_nm(f, [1.0, 2.0], maxiter=1)
    pts = np.array(rec.points)
    assert status == 2 and res.nit == 1 and res.nfev == 3
    assert res.message.decode() == MSG[2] and res.success == 0
    np.testing.assert_array_equal(x, pts[np.argmin([f(p) for p in pts])])


def test_maxfev_below_simplex_size():
    status, x, res, rec = run_nm(rosen, [0.5, 0.5, 0.5, 0.5], maxfev=3)
    assert status == 1 and res.nfev == 3 and len(rec.points) == 3 and res.nit == 1
    assert res.message.decode() == MSG[1]
    # unevaluated vertices hold +inf and sort after the evaluated ones
    vals = [rosen(p) for p in rec.points]
    assert res.fun == min(vals)


def test_initial_simplex_rules():
    """Zero components become 0.00025; others are scaled by 1.05; with bounds a
    vertex above its upper bound is reflected below it, then clipped."""
    _, _, _, rec = run_nm(rosen, [0.0, 2.0, -1.0], maxiter=1)
    np.testing.assert_array_equal(rec.points, [[0, 2, -1], [0.00025, 2, -1], [0, 2.1, -1],
                                               [0, 2, -1.05]])
    lo, hi, bt = bound_arrays([None, 0.0, -1.02], [2.0, 5.0, None])
    _, _, _, rec = run_nm(rosen, [2.0, 0.0, -1.0], bounds=(lo, hi, bt), maxiter=1)
    pts = np.array(rec.points)
    np.testing.assert_array_equal(pts[1], [2.0 * 2.0 - 2.1, 0.0, -1.0])
    np.testing.assert_array_equal(pts[2], [2.0, 0.00025, -1.0])
    np.testing.assert_array_equal(pts[3], [2.0, 0.0, -1.02])   # -1.05 clipped at lower


def test_null_bound_array_leaves_side_open():
    """Bound types with a null upper array: only the lower bounds apply."""
    lo = np.array([1.5, -np.inf])
    bt = np.array([2, 2], dtype=np.int64)
    status, x, res, _ = run_nm(rosen, [2.0, 2.0], bounds=(lo, None, bt))
    ref = minimize(rosen, np.array([2.0, 2.0]), method="Nelder-Mead",
                   bounds=[(1.5, np.inf), (-np.inf, np.inf)])
    assert (res.nfev, res.nit) == (ref.nfev, ref.nit)
    np.testing.assert_allclose(x, ref.x, rtol=1e-13)


def test_start_outside_bounds_is_clipped():
    lo, hi, bt = bound_arrays([0.0, None], [1.0, 0.5])
    _, _, _, rec = run_nm(rosen, [-3.0, 4.0], bounds=(lo, hi, bt), maxiter=1)
    np.testing.assert_array_equal(rec.points[0], [0.0, 0.5])


def test_infeasible_region_sorts_last():
    """inf and NaN values are never preferred; SciPy's search treats them alike."""
    def f(x):
        if x[0] < -0.5:
            return np.nan
        if x[1] > 1.5:
            return np.inf
        return rosen(x)

    status, x, res, _ = run_nm(f, [-0.45, 1.4])
    ref = minimize(f, np.array([-0.45, 1.4]), method="Nelder-Mead")
    assert (res.nfev, res.nit, status) == (ref.nfev, ref.nit, ref.status)
    np.testing.assert_allclose(x, ref.x, rtol=1e-13)
    assert np.isfinite(res.fun)


def test_ties_keep_order():
    """A flat objective: every vertex ties, the stable sort keeps vertex 0 first."""
    status, x, res, _ = run_nm(lambda x: 1.0, [1.0, 2.0], xatol=0.0, fatol=0.0, maxiter=3)
    want = reference_nm(lambda x: 1.0, [1.0, 2.0], np.full(2, -np.inf), np.full(2, np.inf),
                        3, 400, 0.0, 0.0)
    np.testing.assert_array_equal(x, want[1])
    assert (status, res.nfev) == (want[0], want[3])


def test_default_options_match_scipy_defaults():
    status, x, res, _ = run_nm(rosen, [-1.2, 1.0], options=False)
    ref = minimize(rosen, np.array([-1.2, 1.0]), method="Nelder-Mead")
    assert (res.nfev, res.nit) == (ref.nfev, ref.nit)
    np.testing.assert_allclose(x, ref.x, rtol=1e-13)


@pytest.mark.parametrize("n", [0, -3])
def test_bad_dimension(n):
    res = op.crv_opt_result()
    x = np.zeros(1)
    opts = op.crv_nm_options()
    status = lib.crv_neldermead(Recorder(rosen, 1).c, None, n, x, None, None, None,
                                ctypes.byref(opts), ctypes.byref(res))
    assert status == res.status == -1702
    assert (res.nfev, res.nit, res.success) == (0, 0, 0)
    assert np.isnan(res.fun)
    assert res.message.decode() == "ERROR: n must be >= 1"


def test_null_result_record_and_objective():
    x = np.array([-1.2, 1.0])
    opts = op.crv_nm_options()
    assert lib.crv_neldermead(Recorder(rosen, 2).c, None, 2, x, None, None, None,
                              ctypes.byref(opts), None) == 0
    np.testing.assert_allclose(x, [1.0, 1.0], atol=1e-3)
    res = op.crv_opt_result()
    assert lib.crv_neldermead(op.crv_opt_fn(), None, 2, x, None, None, None,
                              ctypes.byref(opts), ctypes.byref(res)) == -1702


def test_context_pointer_is_passed_through():
    seen = []

    def cb(xp, ctx):
        seen.append(ctx)
        return float(xp[0] ** 2)

    c = op.crv_opt_fn(cb)
    marker = ctypes.c_double(0.0)
    x = np.array([1.0])
    opts = op.crv_nm_options(maxiter=3)
    lib.crv_neldermead(c, ctypes.addressof(marker), 1, x, None, None, None,
                       ctypes.byref(opts), None)
    assert seen and set(seen) == {ctypes.addressof(marker)}
