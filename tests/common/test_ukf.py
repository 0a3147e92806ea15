"""Unscented Kalman filter over the pruned second-order state: against a linear
Kalman filter with the unscented timing, a NumPy unscented filter written from
the sigma-point recipe, closed-form sigma-point moments, and every status."""

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


def callback(fn, n_in, n_out, calls=None):
    def raw(x_ptr, p_ptr, out_ptr):
        x = np.ctypeslib.as_array(x_ptr, shape=(n_in,)).copy()
        np.ctypeslib.as_array(out_ptr, shape=(n_out,))[:] = np.ravel(fn(x))
        if calls is not None:
            calls.append(x)

    return filters.OBS_FN(raw)


class Setup:
    """Second-order blocks, shock and measurement covariances and a sample."""

    def __init__(self, rng, nx, ny, m, k, T, second_order=0.2):
        A = rng.standard_normal((nx, nx))
        self.hx = 0.8 * A / max(abs(np.linalg.eigvals(A)))
        self.gx = rng.standard_normal((ny, nx))
        self.impact = rng.standard_normal((nx + ny, m))
        so = second_order
        self.h_xx = so * rng.standard_normal((nx, nx * nx))
        self.g_xx = so * rng.standard_normal((ny, nx * nx))
        self.h_xe = so * rng.standard_normal((nx, nx * m))
        self.g_xe = so * rng.standard_normal((ny, nx * m))
        self.h_ee = so * rng.standard_normal((nx, m * m))
        self.g_ee = so * rng.standard_normal((ny, m * m))
        self.h_ss = so * rng.standard_normal(nx)
        self.g_ss = so * rng.standard_normal(ny)
        self.ss = None
        self.params = np.array([1.0])
        S = rng.standard_normal((m, m))
        self.shock_cov = 0.1 * (S @ S.T) + 0.1 * np.eye(m)
        H = rng.standard_normal((k, k))
        self.obs_cov = 0.05 * (H @ H.T) + 0.1 * np.eye(k)
        self.data = rng.standard_normal((T, k))
        self.x0 = 0.1 * rng.standard_normal(2 * nx)
        P = rng.standard_normal((2 * nx, 2 * nx))
        self.P0 = 0.1 * (P @ P.T) + 0.1 * np.eye(2 * nx)
        self.nx, self.ny, self.m, self.k, self.T = nx, ny, m, k, T
        self.alpha, self.beta, self.kappa = 1.0, 2.0, 0.0

    def zero_second_order(self):
        for name in ("h_xx", "g_xx", "h_xe", "g_xe", "h_ee", "g_ee", "h_ss", "g_ss"):
            setattr(self, name, np.zeros_like(getattr(self, name)))


def out_shapes(T, nx, ny, k):
    n, s = nx + ny, 2 * nx
    return {"xf_pred": (T, nx), "xs_pred": (T, nx), "xf_filt": (T, nx), "xs_filt": (T, nx),
            "v_pred": (T, n), "v_filt": (T, n), "P_pred": (T, s, s), "P_filt": (T, s, s),
            "y_pred": (T, k), "y_filt": (T, k), "innov": (T, k), "std_innov": (T, k),
            "innov_cov": (T, k, k), "loglik": (1,)}


def run_ukf(su, obs_fn, *, store=True, sym=1, jitter=0.0, T=None, nx=None, k=None, ny=None,
            m=None):
    nx = su.nx if nx is None else nx
    ny = su.ny if ny is None else ny
    m = su.m if m is None else m
    k = su.k if k is None else k
    T = su.T if T is None else T
    fields = {name: as_ptr(getattr(su, name)) for name in (
        "hx", "gx", "impact", "h_xx", "g_xx", "h_xe", "g_xe", "h_ee", "g_ee", "h_ss", "g_ss",
        "ss", "params", "shock_cov", "obs_cov", "data", "x0", "P0")}
    inp = filters.ukf_inputs(obs_fn=obs_fn, n_periods=T, nx=nx, ny=ny, n_shocks=m, n_obs=k,
                             n_params=su.params.size, alpha=su.alpha, beta=su.beta,
                             kappa=su.kappa, jitter=jitter, symmetrize=sym,
                             store_paths=int(store), **fields)
    doubles, slots = LIB.ukf_arena_size(max(nx, 0), max(ny, 0), max(m, 0), max(k, 0))
    assert slots == 0
    arena = np.full(doubles + 8, GUARD)
    shapes = out_shapes(max(T, 0), max(nx, 0), max(ny, 0), max(k, 0))
    outs = {name: np.full(shape, np.nan) for name, shape in shapes.items()
            if store or name == "loglik"}
    rec = filters.ukf_outputs(**{name: as_ptr(a) for name, a in outs.items()})
    status = LIB.ukf_hot_loop(ctypes.byref(inp), arena, ctypes.byref(rec))
    assert np.all(arena[doubles:] == GUARD), "ukf_hot_loop wrote past its arena"
    return status, outs


# ---- references ---------------------------------------------------------------

def linear_maps(su):
    """With zero second-order blocks the period is linear in (x^f, x^s, e):
    propagated state = Phi [z; e], variables = Gamma [z; e]."""
    nx, ny, m = su.nx, su.ny, su.m
    Rx, Ry = su.impact[:nx], su.impact[nx:]
    Z0 = np.zeros((nx, nx))
    Phi = np.block([[su.hx, Z0, Rx], [Z0, su.hx, np.zeros((nx, m))]])
    Gamma = np.block([[su.hx, su.hx, Rx], [su.gx, su.gx, Ry]])
    return Phi, Gamma


def kalman_unscented_timing(su, D, d0):
    """Linear Kalman filter for y = D v + d0 + u in which x0, P0 are the filtered
    state before period 0 and the period's shock enters the augmented state."""
    Phi, Gamma = linear_maps(su)
    Psi = D @ Gamma
    ss = np.zeros(su.nx + su.ny) if su.ss is None else su.ss
    x, P = su.x0.copy(), su.P0.copy()
    zeros = np.zeros((2 * su.nx, su.m))
    ll, rows = 0.0, []
    for y in su.data:
        mu = np.concatenate([x, np.zeros(su.m)])
        Sig = np.block([[P, zeros], [zeros.T, su.shock_cov]])
        x_pred, P_pred = Phi @ mu, Phi @ Sig @ Phi.T
        v_pred = Gamma @ mu + ss
        y_pred = D @ v_pred + d0
        F = Psi @ Sig @ Psi.T + su.obs_cov
        C, Cv = Phi @ Sig @ Psi.T, Gamma @ Sig @ Psi.T
        innov = y - y_pred
        x = x_pred + C @ np.linalg.solve(F, innov)
        P = P_pred - C @ np.linalg.solve(F, C.T)
        v_filt = v_pred + Cv @ np.linalg.solve(F, innov)
        ll += -0.5 * (np.linalg.slogdet(F)[1] + su.k * LOG2PI + innov @ np.linalg.solve(F, innov))
        rows.append(dict(x_pred=x_pred, x_filt=x, P_pred=P_pred, P_filt=P, v_pred=v_pred,
                         v_filt=v_filt, y_pred=y_pred, y_filt=D @ v_filt + d0, innov=innov,
                         innov_cov=F))
    return ll, rows


def pruned_point(su, xf, xs, e):
    nx = su.nx
    kxx, kxe, kee = np.kron(xf, xf), np.kron(xf, e), np.kron(e, e)
    xf_next = su.hx @ xf + su.impact[:nx] @ e
    xs_next = (su.hx @ xs + 0.5 * su.h_xx @ kxx + su.h_xe @ kxe + 0.5 * su.h_ee @ kee
               + 0.5 * su.h_ss)
    y = (su.gx @ (xf + xs) + su.impact[nx:] @ e + 0.5 * su.g_xx @ kxx + su.g_xe @ kxe
         + 0.5 * su.g_ee @ kee + 0.5 * su.g_ss)
    v = np.concatenate([xf_next + xs_next, y])
    if su.ss is not None:
        v = v + su.ss
    return np.concatenate([xf_next, xs_next]), v


def numpy_ukf(su, obs):
    """Scaled unscented filter (Julier; Wan and van der Merwe) over the
    augmented (x^f, x^s, e) with the pruned law of motion."""
    nx, m = su.nx, su.m
    L = 2 * nx + m
    c = su.alpha ** 2 * (L + su.kappa)
    Wm = np.full(2 * L + 1, 1.0 / (2.0 * c))
    Wc = Wm.copy()
    Wm[0] = (c - L) / c
    Wc[0] = Wm[0] + 1.0 - su.alpha ** 2 + su.beta
    x, P = su.x0.copy(), su.P0.copy()
    ll, rows = 0.0, []
    for y in su.data:
        root = np.zeros((L, L))
        root[:2 * nx, :2 * nx] = np.linalg.cholesky(P)
        if m:
            root[2 * nx:, 2 * nx:] = np.linalg.cholesky(su.shock_cov)
        mu = np.concatenate([x, np.zeros(m)])
        pts = [mu] + [mu + np.sqrt(c) * root[:, i] for i in range(L)] + \
              [mu - np.sqrt(c) * root[:, i] for i in range(L)]
        X, V = zip(*(pruned_point(su, p[:nx], p[nx:2 * nx], p[2 * nx:]) for p in pts))
        X, V = np.array(X), np.array(V)
        Y = np.array([obs(v) for v in V])
        x_pred, v_pred, y_pred = Wm @ X, Wm @ V, Wm @ Y
        dX, dV, dY = X - x_pred, V - v_pred, Y - y_pred
        P_pred = (Wc[:, None] * dX).T @ dX
        F = (Wc[:, None] * dY).T @ dY + su.obs_cov
        C, Cv = (Wc[:, None] * dX).T @ dY, (Wc[:, None] * dV).T @ dY
        innov = y - y_pred
        K = C @ np.linalg.inv(F)
        x = x_pred + K @ innov
        P = P_pred - K @ F @ K.T
        v_filt = v_pred + Cv @ np.linalg.solve(F, innov)
        Lf = np.linalg.cholesky(F)
        ll += -0.5 * (2 * np.log(np.diag(Lf)).sum() + su.k * LOG2PI
                      + innov @ np.linalg.solve(F, innov))
        rows.append(dict(x_pred=x_pred, x_filt=x, P_pred=P_pred, P_filt=P, v_pred=v_pred,
                         v_filt=v_filt, y_pred=y_pred, y_filt=obs(v_filt), innov=innov,
                         innov_cov=F, std_innov=np.linalg.solve(Lf, innov)))
    return ll, rows


def compare_paths(got, rows, nx, rtol, atol):
    ref = {name: np.array([r[name] for r in rows]) for name in rows[0]}
    np.testing.assert_allclose(got["xf_pred"], ref["x_pred"][:, :nx], rtol=rtol, atol=atol)
    np.testing.assert_allclose(got["xs_pred"], ref["x_pred"][:, nx:], rtol=rtol, atol=atol)
    np.testing.assert_allclose(got["xf_filt"], ref["x_filt"][:, :nx], rtol=rtol, atol=atol)
    np.testing.assert_allclose(got["xs_filt"], ref["x_filt"][:, nx:], rtol=rtol, atol=atol)
    for name in ("P_pred", "P_filt", "v_pred", "v_filt", "y_pred", "y_filt", "innov",
                 "innov_cov", "std_innov"):
        if name in ref:
            np.testing.assert_allclose(got[name], ref[name], rtol=rtol, atol=atol,
                                       err_msg=name)


# ---- agreement with references ------------------------------------------------

@pytest.mark.parametrize("nx, ny, m, k, alpha, beta, kappa, with_ss", [
    (1, 0, 0, 1, 1.0, 2.0, 0.0, False),
    (2, 1, 1, 2, 1.0, 2.0, 0.0, True),
    (3, 2, 2, 2, 0.5, 2.0, 1.0, False),
    (2, 3, 2, 3, 1e-1, 0.0, 0.0, True),
    (4, 2, 3, 2, 1.3, 1.0, -1.0, True),
])
def test_linear_model_matches_kalman_filter_with_unscented_timing(nx, ny, m, k, alpha, beta,
                                                                  kappa, with_ss):
    rng = np.random.default_rng(nx * 31 + ny * 7 + m * 3 + k)
    su = Setup(rng, nx, ny, m, k, 20)
    su.zero_second_order()
    su.alpha, su.beta, su.kappa = alpha, beta, kappa
    if with_ss:
        su.ss = rng.standard_normal(nx + ny)
    D, d0 = rng.standard_normal((k, nx + ny)), rng.standard_normal(k)
    status, got = run_ukf(su, callback(lambda v: D @ v + d0, nx + ny, k))
    ll, rows = kalman_unscented_timing(su, D, d0)
    assert status == 0
    tol = 1e-9 if alpha >= 0.5 else 1e-7  # small alpha: large cancelling weights
    np.testing.assert_allclose(got["loglik"][0], ll, rtol=tol)
    compare_paths(got, rows, nx, rtol=tol, atol=tol)


@pytest.mark.parametrize("alpha, beta, kappa", [(1.0, 2.0, 0.0), (0.7, 2.0, 1.0),
                                                (1.0, 0.0, 2.0), (0.3, 2.0, 0.5)])
@pytest.mark.parametrize("sym", [0, 1])
def test_second_order_model_matches_numpy_unscented_filter(alpha, beta, kappa, sym):
    rng = np.random.default_rng(17)
    nx, ny, m, k = 2, 2, 2, 2
    su = Setup(rng, nx, ny, m, k, 15, second_order=0.4)
    su.alpha, su.beta, su.kappa = alpha, beta, kappa
    su.ss = np.array([1.0, 0.5, 2.0, 1.5])
    W = rng.standard_normal((k, nx + ny))

    def obs(v):
        return np.log(v[:k] ** 2 + 1.0) + 0.2 * W @ v

    status, got = run_ukf(su, callback(obs, nx + ny, k), sym=sym)
    ll, rows = numpy_ukf(su, obs)
    assert status == 0
    np.testing.assert_allclose(got["loglik"][0], ll, rtol=1e-9)
    compare_paths(got, rows, nx, rtol=1e-8, atol=1e-10)


def test_weights_alpha_one_kappa_zero_beta_two():
    """With alpha = 1, kappa = 0, beta = 2: Wm0 = 0, Wc0 = 2, others 1/(2L).
    Checked on period 0 against sigma-point moments written with those weights,
    and the mean against the closed form of a quadratic observable."""
    rng = np.random.default_rng(23)
    nx, ny, m, k = 2, 1, 1, 1
    su = Setup(rng, nx, ny, m, k, 1)
    su.zero_second_order()
    a = rng.standard_normal(nx + ny)

    def obs(v):
        return np.array([(a @ v) ** 2 + v[0]])

    status, got = run_ukf(su, callback(obs, nx + ny, k))
    assert status == 0
    L = 2 * nx + m
    root = np.zeros((L, L))
    root[:4, :4] = np.linalg.cholesky(su.P0)
    root[4:, 4:] = np.linalg.cholesky(su.shock_cov)
    mu = np.concatenate([su.x0, [0.0]])
    pts = [mu] + [mu + np.sqrt(L) * root[:, i] for i in range(L)] + \
          [mu - np.sqrt(L) * root[:, i] for i in range(L)]
    Y = np.array([obs(pruned_point(su, p[:2], p[2:4], p[4:])[1]) for p in pts])[:, 0]
    y_pred = Y[1:].sum() / (2 * L)                     # Wm0 = 0: the centre does not count
    F = 2.0 * (Y[0] - y_pred) ** 2 + ((Y[1:] - y_pred) ** 2).sum() / (2 * L) + su.obs_cov[0, 0]
    np.testing.assert_allclose(got["y_pred"][0, 0], y_pred, rtol=1e-12)
    np.testing.assert_allclose(got["innov_cov"][0, 0, 0], F, rtol=1e-11)
    # Symmetric points reproduce the mean of a quadratic of a Gaussian exactly.
    _, Gamma = linear_maps(su)
    Sig = np.zeros((L, L))
    Sig[:4, :4], Sig[4:, 4:] = su.P0, su.shock_cov
    mean_v, cov_v = Gamma @ mu, Gamma @ Sig @ Gamma.T
    np.testing.assert_allclose(y_pred, (a @ mean_v) ** 2 + a @ cov_v @ a + mean_v[0],
                               rtol=1e-12)


# ---- callbacks, storage and statuses -----------------------------------------

def linear_setup(seed=5, T=6, nx=2, ny=1, m=1, k=1):
    rng = np.random.default_rng(seed)
    su = Setup(rng, nx, ny, m, k, T)
    su.zero_second_order()
    D = rng.standard_normal((k, nx + ny))
    return su, D


def test_callback_counts_and_loglik_only_mode():
    su, D = linear_setup()
    L = 2 * su.nx + su.m
    calls = []
    status, full = run_ukf(su, callback(lambda v: D @ v, 3, 1, calls))
    assert status == 0 and len(calls) == (2 * L + 2) * su.T
    calls.clear()
    status, only = run_ukf(su, callback(lambda v: D @ v, 3, 1, calls), store=False)
    assert status == 0 and len(calls) == (2 * L + 1) * su.T
    assert only["loglik"][0] == full["loglik"][0]
    np.testing.assert_allclose(full["y_filt"], full["v_filt"] @ D.T, rtol=1e-12)


def test_zero_periods():
    su, D = linear_setup()
    calls = []
    status, got = run_ukf(su, callback(lambda v: D @ v, 3, 1, calls), T=0)
    assert status == 0 and got["loglik"][0] == 0.0 and not calls


@pytest.mark.parametrize("change", ["null_obs_fn", "nx0", "k0", "ny_negative", "m_negative"])
def test_invalid_input_returns_1101_and_writes_nothing(change):
    su, D = linear_setup()
    obs = callback(lambda v: D @ v, 3, 1)
    kwargs = {}
    if change == "null_obs_fn":
        obs = filters.OBS_FN()
    elif change == "nx0":
        kwargs["nx"] = 0
    elif change == "k0":
        kwargs["k"] = 0
    elif change == "ny_negative":
        kwargs["ny"] = -1
    else:
        kwargs["m"] = -2
    status, got = run_ukf(su, obs, **kwargs)
    assert status == -1101
    assert all(np.isnan(a).all() for a in got.values()), "nothing may be written on -1101"


@pytest.mark.parametrize("alpha, kappa", [(0.0, 0.0), (np.nan, 0.0), (1.0, -5.0),
                                          (np.inf, 0.0), (1e200, 0.0)])
def test_bad_scaling_returns_1102_without_loglik(alpha, kappa):
    su, D = linear_setup()  # L = 5
    su.alpha, su.kappa = alpha, kappa
    calls = []
    status, got = run_ukf(su, callback(lambda v: D @ v, 3, 1, calls))
    assert status == -1102 and np.isnan(got["loglik"][0]) and not calls


def test_shock_covariance_not_factorisable():
    su, D = linear_setup()
    su.shock_cov = np.array([[-1.0]])
    status, got = run_ukf(su, callback(lambda v: D @ v, 3, 1))
    assert status == -1102 and np.isnan(got["loglik"][0])


def test_state_covariance_failure_in_first_period_writes_zero_loglik():
    su, D = linear_setup()
    su.P0 = -np.eye(4)
    status, got = run_ukf(su, callback(lambda v: D @ v, 3, 1))
    assert status == -1102 and got["loglik"][0] == 0.0
    assert np.isnan(got["y_pred"]).all()


def test_innovation_covariance_failure_in_later_period():
    """Period 0 is linear; from period 1 on the callback is constant and H = 0,
    so F = 0 even after the retry jitter (1e-10 * max(0, diag F) = 0)."""
    su, D = linear_setup(T=4)
    su.obs_cov = np.zeros((1, 1))
    L = 2 * su.nx + su.m
    calls = []

    def obs(v):
        return D @ v if len(calls) < 2 * L + 1 else np.array([3.0])

    status, got = run_ukf(su, callback(obs, 3, 1, calls), store=False)
    su.data = su.data[:1]
    ll0, _ = kalman_unscented_timing(su, D, np.zeros(1))
    assert status == -1102
    np.testing.assert_allclose(got["loglik"][0], ll0, rtol=1e-10)


def test_state_covariance_failure_in_later_period_and_rows_stop():
    """A negative measurement variance makes P_filt indefinite after period 0
    (the variance of x^f + x^s turns negative), beyond the retry's reach."""
    su, _ = linear_setup(T=4, nx=1, ny=0, m=0, k=1)
    su.obs_cov = np.array([[-0.05]])
    status, got = run_ukf(su, callback(lambda v: v, 1, 1))
    assert status == -1102
    assert np.isfinite(got["y_pred"][0]).all() and np.isnan(got["y_pred"][1:]).all()
    v0 = su.data[0, 0] - got["y_pred"][0, 0]
    F0 = got["innov_cov"][0, 0, 0]
    np.testing.assert_allclose(got["loglik"][0], -0.5 * (np.log(F0) + LOG2PI + v0 * v0 / F0),
                               rtol=1e-12)


def test_retry_jitter_rescues_singular_state_covariance():
    """P0 with an exactly zero x^s block fails the plain factorisation; the
    retry with 1e-10 * max diagonal succeeds and perturbs the result only at
    that scale."""
    su, D = linear_setup()
    su.P0[2:, :] = 0.0
    su.P0[:, 2:] = 0.0
    status, got = run_ukf(su, callback(lambda v: D @ v, 3, 1))
    ll, _ = kalman_unscented_timing(su, D, np.zeros(1))
    assert status == 0
    np.testing.assert_allclose(got["loglik"][0], ll, rtol=1e-6)


def test_arena_size_formula_and_exports():
    for nx, ny, m, k in [(1, 0, 0, 1), (2, 3, 1, 2), (4, 5, 3, 6)]:
        L = 2 * nx + m
        expect = (m + 2 * ny + L * L + 2 * m * m + (ny + m + 5 * nx) * (2 * L + 1)
                  + nx * (m + 17 * nx + 10) + k * (2 * (k + ny + m) + 10 * nx + 7))
        assert tuple(LIB.ukf_arena_size(nx, ny, m, k)) == (expect, 0)
    for name in ("regression", "beliefplan"):
        lib = ffi.load(name)
        assert hasattr(lib, "ukf_hot_loop") and hasattr(lib, "ukf_arena_size")
