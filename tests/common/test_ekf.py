"""Extended Kalman filter: against the linear filter for a linear observation
function and against a NumPy extended filter for a nonlinear one."""

import ctypes

import numpy as np
import pytest

from Corvane._ckernels import ffi
from Corvane._ckernels.ffi import filters

LIB = ffi.load("regression")
LOG2PI = np.log(2.0 * np.pi)
GUARD = 1e300


def as_ptr(a):
    return None if a is None else a.ctypes.data_as(ctypes.POINTER(ctypes.c_double))


def callback(fn, n_in, n_out, counter=None):
    """ctypes observation callback wrapping fn(x, params) -> array of n_out."""

    def raw(x_ptr, p_ptr, out_ptr):
        x = np.ctypeslib.as_array(x_ptr, shape=(n_in,)).copy()
        out = np.ctypeslib.as_array(out_ptr, shape=(n_out,))
        out[:] = np.ravel(fn(x))
        if counter is not None:
            counter.append(x)

    return filters.OBS_FN(raw)


class Model:
    def __init__(self, rng, n, m, k, T):
        A = rng.standard_normal((n, n))
        self.A = 0.9 * A / max(abs(np.linalg.eigvals(A)))
        self.B = rng.standard_normal((n, k))
        S = rng.standard_normal((k, k))
        self.S = S @ S.T + np.eye(k)
        H = rng.standard_normal((m, m))
        self.H = 0.1 * (H @ H.T) + 0.2 * np.eye(m)
        self.Z = rng.standard_normal((m, n))
        self.d = rng.standard_normal(m)
        self.data = rng.standard_normal((T, m))
        self.x0 = 0.1 * rng.standard_normal(n)
        P0 = rng.standard_normal((n, n))
        self.P0 = P0 @ P0.T + np.eye(n)
        self.params = np.array([0.5, 2.0])
        self.n, self.m, self.k, self.T = n, m, k, T


def alloc_outputs(T, n, m, k, fields):
    shapes = {"x_pred": (T, n), "x_filt": (T, n), "P_pred": (T, n, n), "P_filt": (T, n, n),
              "y_pred": (T, m), "y_filt": (T, m), "innov": (T, m), "std_innov": (T, m),
              "innov_cov": (T, m, m), "shocks": (T, k), "loglik": (1,)}
    arrays = {name: np.full(shapes[name], np.nan) for name in fields}
    arrays.setdefault("loglik", np.full(1, np.nan))
    rec = filters.kf_outputs(**{name: as_ptr(a) for name, a in arrays.items()})
    return arrays, rec


def run_ekf(mod, obs_fn, obs_jac, *, store=True, fitted=True, shocks=True, sym=1, jitter=0.0,
            T=None, fields=filters.KF_OUTPUT_FIELDS):
    n, m, k = mod.n, mod.m, mod.k
    T = mod.T if T is None else T
    inp = filters.ekf_inputs(
        obs_fn=obs_fn, obs_jac=obs_jac, transition=as_ptr(mod.A), shock_loading=as_ptr(mod.B),
        params=as_ptr(mod.params), shock_cov=as_ptr(mod.S), obs_cov=as_ptr(mod.H),
        data=as_ptr(mod.data), x0=as_ptr(mod.x0), P0=as_ptr(mod.P0), n_periods=T, n_states=n,
        n_obs=m, n_shocks=k, n_params=mod.params.size, jitter=jitter, symmetrize=sym,
        fitted_obs=int(fitted), want_shocks=int(shocks), store_paths=int(store))
    doubles, slots = LIB.ekf_arena_size(n, m, k)
    assert slots == 0
    arena = np.full(doubles + 8, GUARD)
    outs, rec = alloc_outputs(T, n, m, k, fields if store else ("loglik",))
    status = LIB.ekf_hot_loop(ctypes.byref(inp), arena, ctypes.byref(rec))
    assert np.all(arena[doubles:] == GUARD), "ekf_hot_loop wrote past its arena"
    return status, outs, arena


def run_kf(mod, *, sym=1, jitter=0.0, shocks=True):
    n, m, k, T = mod.n, mod.m, mod.k, mod.T
    inp = filters.kf_inputs(
        n_states=n, n_obs=m, n_shocks=k, n_periods=T, transition=as_ptr(mod.A),
        shock_loading=as_ptr(mod.B), design=as_ptr(mod.Z), obs_intercept=as_ptr(mod.d),
        shock_cov=as_ptr(mod.S), obs_cov=as_ptr(mod.H), data=as_ptr(mod.data),
        x0=as_ptr(mod.x0), P0=as_ptr(mod.P0), symmetrize=sym, jitter=jitter,
        want_shocks=int(shocks), store_paths=1)
    arena = np.zeros(LIB.kf_arena_size(n, m, k).doubles)
    outs, rec = alloc_outputs(T, n, m, k, filters.KF_OUTPUT_FIELDS)
    assert LIB.kf_hot_loop(ctypes.byref(inp), arena, ctypes.byref(rec)) == 0
    return outs


def linear_callbacks(mod, counter=None):
    h = callback(lambda x: mod.Z @ x + mod.d, mod.n, mod.m, counter)
    jac = callback(lambda x: mod.Z, mod.n, mod.m * mod.n)
    return h, jac


@pytest.mark.parametrize("n, m, k, sym, jitter", [(1, 1, 1, 1, 0.0), (3, 2, 2, 1, 0.0),
                                                  (4, 3, 2, 0, 0.0), (5, 2, 3, 1, 1e-3),
                                                  (9, 4, 2, 1, 0.0), (3, 2, 0, 1, 0.0)])
def test_linear_observation_reproduces_linear_filter(n, m, k, sym, jitter):
    mod = Model(np.random.default_rng(10 * n + m + k), n, m, k, 25)
    h, jac = linear_callbacks(mod)
    status, got, _ = run_ekf(mod, h, jac, sym=sym, jitter=jitter)
    ref = run_kf(mod, sym=sym, jitter=jitter)
    assert status == 0
    np.testing.assert_allclose(got["loglik"], ref["loglik"], rtol=1e-13,
                               err_msg="EKF with h = Zx + d must give the linear filter's loglik")
    for name in ("x_pred", "x_filt", "P_pred", "P_filt", "y_pred", "y_filt", "innov",
                 "std_innov", "innov_cov", "shocks"):
        np.testing.assert_allclose(got[name], ref[name], rtol=1e-12, atol=1e-12, err_msg=name)


def numpy_ekf(mod, h, jac):
    """Textbook extended filter with the predicted-state timing of x0, P0."""
    x, P = mod.x0.copy(), mod.P0.copy()
    Q = mod.B @ mod.S @ mod.B.T
    ll, rows = 0.0, []
    for y in mod.data:
        Z = jac(x)
        v = y - h(x)
        F = Z @ P @ Z.T + mod.H
        K = P @ Z.T @ np.linalg.inv(F)
        xf = x + K @ v
        IKZ = np.eye(mod.n) - K @ Z
        Pf = IKZ @ P @ IKZ.T + K @ mod.H @ K.T
        ll += -0.5 * (np.linalg.slogdet(F)[1] + mod.m * LOG2PI + v @ np.linalg.solve(F, v))
        rows.append((x, xf, h(xf), mod.S @ mod.B.T @ Z.T @ np.linalg.solve(F, v)))
        x, P = mod.A @ xf, mod.A @ Pf @ mod.A.T + Q
    return ll, rows


@pytest.mark.parametrize("n, m, k", [(2, 2, 1), (3, 2, 2), (4, 3, 2)])
def test_nonlinear_observation_matches_numpy_ekf(n, m, k):
    mod = Model(np.random.default_rng(100 + n), n, m, k, 30)
    W = np.random.default_rng(1).standard_normal((m, n))

    def h(x):
        return np.exp(0.3 * W @ x) + 0.1 * (x @ x)

    def jac(x):
        return (0.3 * np.exp(0.3 * W @ x))[:, None] * W + 0.2 * x[None, :]

    status, got, _ = run_ekf(mod, callback(h, n, m), callback(jac, n, m * n))
    ll, rows = numpy_ekf(mod, h, jac)
    assert status == 0
    np.testing.assert_allclose(got["loglik"][0], ll, rtol=1e-10)
    np.testing.assert_allclose(got["x_pred"], [r[0] for r in rows], rtol=1e-9, atol=1e-11)
    np.testing.assert_allclose(got["x_filt"], [r[1] for r in rows], rtol=1e-9, atol=1e-11)
    np.testing.assert_allclose(got["y_filt"], [r[2] for r in rows], rtol=1e-9, atol=1e-11)
    np.testing.assert_allclose(got["shocks"], [r[3] for r in rows], rtol=1e-9, atol=1e-11,
                               err_msg="M = S B'Z'(t) must be rebuilt with each Jacobian")


@pytest.mark.parametrize("fitted, calls_per_period", [(0, 1), (1, 2)])
def test_fitted_obs_controls_the_second_callback(fitted, calls_per_period):
    mod = Model(np.random.default_rng(4), 3, 2, 1, 6)
    calls = []
    h, jac = linear_callbacks(mod, calls)
    status, got, _ = run_ekf(mod, h, jac, fitted=bool(fitted))
    assert status == 0
    assert len(calls) == calls_per_period * mod.T
    if fitted:
        np.testing.assert_allclose(got["y_filt"], got["x_filt"] @ mod.Z.T + mod.d, rtol=1e-12)
    else:
        assert np.all(np.isnan(got["y_filt"])), "y_filt must be untouched without fitted_obs"


def test_loglik_only_and_no_shocks():
    mod = Model(np.random.default_rng(8), 3, 2, 2, 12)
    h, jac = linear_callbacks(mod)
    status, full, _ = run_ekf(mod, h, jac)
    status_ll, only, _ = run_ekf(mod, h, jac, store=False)
    assert status == status_ll == 0
    assert only["loglik"][0] == full["loglik"][0]
    fields = tuple(f for f in filters.KF_OUTPUT_FIELDS if f != "shocks")
    status, noshock, _ = run_ekf(mod, h, jac, shocks=False, fields=fields)
    assert status == 0 and noshock["loglik"][0] == full["loglik"][0]


def test_zero_periods_calls_nothing():
    mod = Model(np.random.default_rng(9), 2, 1, 1, 3)
    calls = []
    h, jac = linear_callbacks(mod, calls)
    status, got, arena = run_ekf(mod, h, jac, T=0)
    assert status == 0 and got["loglik"][0] == 0.0 and not calls
    # The arena still carries x0 as the prediction beyond the (empty) sample.
    np.testing.assert_array_equal(arena[:2], mod.x0)


def test_innovation_covariance_failure_reports_earlier_periods():
    # Scalar model whose F turns negative once the first update shrinks P.
    mod = Model(np.random.default_rng(0), 1, 1, 1, 5)
    mod.A, mod.B, mod.S = np.array([[0.1]]), np.array([[0.1]]), np.array([[1.0]])
    mod.Z, mod.d = np.array([[1.0]]), np.zeros(1)
    mod.H, mod.P0 = np.array([[-0.5]]), np.array([[10.0]])
    h, jac = linear_callbacks(mod)
    status, got, _ = run_ekf(mod, h, jac)
    F0 = 10.0 - 0.5
    v0 = mod.data[0, 0] - mod.x0[0]
    ll0 = -0.5 * (np.log(F0) + LOG2PI + v0 * v0 / F0)
    assert status == -1102
    np.testing.assert_allclose(got["loglik"][0], ll0, rtol=1e-14)
    assert not np.isnan(got["x_pred"][0]).any() and np.isnan(got["x_pred"][1:]).all(), (
        "rows from the failing period on must be untouched")


@pytest.mark.parametrize("which", ["obs_fn", "obs_jac"])
def test_null_callback_is_refused(which):
    mod = Model(np.random.default_rng(3), 2, 1, 1, 4)
    h, jac = linear_callbacks(mod)
    cbs = {"obs_fn": h, "obs_jac": jac}
    cbs[which] = filters.OBS_FN()
    status, got, _ = run_ekf(mod, cbs["obs_fn"], cbs["obs_jac"])
    assert status == -1101 and np.isnan(got["loglik"][0])


def test_arena_size_formula():
    for n, m, k in [(1, 1, 1), (4, 3, 2), (7, 0, 3)]:
        expect = 2 * n + 6 * m + 6 * n * n + 2 * m * m + 5 * n * m + n * k + 2 * k * m
        assert tuple(LIB.ekf_arena_size(n, m, k)) == (expect, 0)


def test_both_modules_export_the_extended_filter():
    for name in ("regression", "beliefplan"):
        lib = ffi.load(name)
        assert hasattr(lib, "ekf_hot_loop") and hasattr(lib, "ekf_arena_size")
