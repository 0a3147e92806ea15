"""Linear Kalman filter against an independent NumPy filter and the joint Gaussian density."""

import numpy as np
import pytest
from scipy.stats import multivariate_normal

from Corvane._ckernels import ffi

LOG2PI = np.log(2 * np.pi)


def make_model(rng, n, m, k, T, stable=0.9):
    A = rng.standard_normal((n, n))
    if n:
        A *= stable / max(1e-12, np.max(np.abs(np.linalg.eigvals(A))))
    B = rng.standard_normal((n, k))
    Z = rng.standard_normal((m, n))
    d = rng.standard_normal(m)
    S = np.eye(k) + 0.1 * np.ones((k, k))
    H = 0.5 * np.eye(m)
    data = rng.standard_normal((T, m))
    x0 = rng.standard_normal(n)
    P0 = np.eye(n) * 2.0 + 0.1
    return dict(A=A, B=B, Z=Z, d=d, S=S, H=H, data=data, x0=x0, P0=P0)


def reference_filter(A, B, Z, d, S, H, data, x0, P0, jitter=0.0, symmetrize=False):
    """Textbook Kalman filter with the same timing; returns loglik and per-period paths."""
    n, m = A.shape[0], Z.shape[0]
    sym = (lambda M: (M + M.T) / 2) if symmetrize else (lambda M: M)
    Q = B @ S @ B.T
    Q = (Q + Q.T) / 2
    x, P = x0.copy(), sym(P0.copy())
    paths = {key: [] for key in ffi.KF_OUTPUT_FIELDS[:-1]}
    ll = 0.0
    for y in data:
        yp = Z @ x + d
        v = y - yp
        F = sym(Z @ P @ Z.T + H)
        Fj = F + (jitter if jitter > 0 else 0.0) * np.eye(m)
        L = np.linalg.cholesky(Fj)
        K = P @ Z.T @ np.linalg.inv(Fj)
        xf = x + K @ v
        IKZ = np.eye(n) - K @ Z
        Pf = sym(IKZ @ P @ IKZ.T + K @ H @ K.T)
        u = np.linalg.solve(Fj, v)
        for key, val in zip(paths, (x, xf, P, Pf, yp, Z @ xf + d, v, np.linalg.solve(L, v), F,
                                    S @ B.T @ Z.T @ u)):
            paths[key].append(np.array(val, copy=True))
        ll += -0.5 * (np.linalg.slogdet(Fj)[1] + m * LOG2PI + v @ u)
        x, P = A @ xf, sym(A @ Pf @ A.T + Q)
    return ll, {key: np.array(val) for key, val in paths.items()}, x, P


def joint_loglik(A, B, Z, d, S, H, data, x0, P0):
    """Exact log density of the stacked sample from its joint Gaussian distribution."""
    T, m = data.shape
    n = A.shape[0]
    Q = B @ S @ B.T
    means, covs = [x0], [P0]
    for _ in range(T - 1):
        means.append(A @ means[-1])
    # Cov(x_s, x_t) for s <= t is A^(t-s) P_s.
    P = [P0]
    for _ in range(T - 1):
        P.append(A @ P[-1] @ A.T + Q)
    Sigma = np.zeros((T * m, T * m))
    for s in range(T):
        for t in range(s, T):
            cxx = np.linalg.matrix_power(A, t - s) @ P[s]
            block = Z @ cxx @ Z.T + (H if s == t else 0)
            Sigma[t * m:(t + 1) * m, s * m:(s + 1) * m] = block
            Sigma[s * m:(s + 1) * m, t * m:(t + 1) * m] = block.T
    mu = np.concatenate([Z @ x + d for x in means])
    return multivariate_normal(mu, Sigma).logpdf(data.ravel())


class Filter:
    """Runs kf_hot_loop on a model dict; keeps every buffer alive."""

    def __init__(self, lib, model, store=True, shocks=True, jitter=0.0, symmetrize=1,
                 fill=np.nan):
        self.model = {key: np.ascontiguousarray(val, dtype=float) for key, val in model.items()}
        M = self.model
        n, k = M["B"].shape
        T, m = M["data"].shape
        self.n, self.m, self.k, self.T = n, m, k, T
        doubles, slots = lib.kf_arena_size(n, m, k)
        assert slots == 0
        self.arena = np.full(doubles, np.nan)
        shapes = dict(x_pred=(T, n), x_filt=(T, n), P_pred=(T, n, n), P_filt=(T, n, n),
                      y_pred=(T, m), y_filt=(T, m), innov=(T, m), std_innov=(T, m),
                      innov_cov=(T, m, m), shocks=(T, k), loglik=(1,))
        self.out = {key: np.full(shape, fill) for key, shape in shapes.items()}
        ptr = lambda a: a.ctypes.data_as(ffi.filters._dp)  # noqa: E731
        self.inputs = ffi.kf_inputs(
            n, m, k, T, ptr(M["A"]), ptr(M["B"]), ptr(M["Z"]), ptr(M["d"]), ptr(M["S"]),
            ptr(M["H"]), ptr(M["data"]), ptr(M["x0"]), ptr(M["P0"]), symmetrize, jitter,
            int(shocks), int(store))
        self.outputs = ffi.kf_outputs(*[ptr(self.out[key]) for key in ffi.KF_OUTPUT_FIELDS])
        self.status = lib.kf_hot_loop(ffi.ptr(self.inputs), self.arena, ffi.ptr(self.outputs))
        self.loglik = self.out["loglik"][0]


@pytest.mark.parametrize("n,m,k,T", [(1, 1, 1, 5), (3, 2, 2, 6), (4, 3, 1, 4), (2, 3, 3, 3)])
def test_loglik_equals_joint_gaussian_density(lib, rng, n, m, k, T):
    model = make_model(rng, n, m, k, T)
    f = Filter(lib, model, store=False)
    assert f.status == 0
    expected = joint_loglik(**model)
    assert f.loglik == pytest.approx(expected, rel=1e-10, abs=1e-10)


@pytest.mark.parametrize("n,m,k,T", [(3, 2, 2, 8), (5, 3, 4, 12), (10, 3, 3, 20)])
@pytest.mark.parametrize("jitter", [0.0, 0.25])
def test_paths_match_reference(lib, rng, n, m, k, T, jitter):
    model = make_model(rng, n, m, k, T)
    f = Filter(lib, model, jitter=jitter)
    ll, paths, x_next, P_next = reference_filter(**model, jitter=jitter, symmetrize=True)
    assert f.status == 0
    assert f.loglik == pytest.approx(ll, rel=1e-11)
    for key, val in paths.items():
        np.testing.assert_allclose(f.out[key], val, rtol=1e-9, atol=1e-10, err_msg=key)
    # The arena's first blocks hold the prediction beyond the sample.
    np.testing.assert_allclose(f.arena[:n], x_next, rtol=1e-9, atol=1e-12)
    off = 2 * n + 7 * m
    np.testing.assert_allclose(f.arena[off:off + n * n].reshape(n, n), P_next, rtol=1e-9,
                               atol=1e-12)


def test_jitter_changes_loglik_not_stored_F(lib, rng):
    model = make_model(rng, 3, 2, 2, 5)
    plain, jittered = Filter(lib, model), Filter(lib, model, jitter=0.5)
    assert plain.loglik != jittered.loglik
    np.testing.assert_allclose(jittered.out["innov_cov"][0],
                               model["Z"] @ model["P0"] @ model["Z"].T + model["H"], rtol=1e-12)
    for bad in (0.0, -3.0):
        assert Filter(lib, model, jitter=bad).loglik == plain.loglik


def test_loglik_only_writes_nothing_else(lib, rng):
    f = Filter(lib, make_model(rng, 3, 2, 2, 5), store=False, shocks=True)
    assert f.status == 0 and np.isfinite(f.loglik)
    for key in ffi.KF_OUTPUT_FIELDS[:-1]:
        assert np.all(np.isnan(f.out[key])), key


def test_shocks_not_written_unless_requested(lib, rng):
    f = Filter(lib, make_model(rng, 3, 2, 2, 5), store=True, shocks=False)
    assert np.all(np.isnan(f.out["shocks"])) and np.all(np.isfinite(f.out["x_filt"]))


def test_empty_sample(lib, rng):
    model = make_model(rng, 2, 2, 1, 0)
    f = Filter(lib, model, fill=7.0)
    assert f.status == 0 and f.loglik == 0.0


def test_no_observables(lib, rng):
    model = make_model(rng, 3, 0, 2, 4)
    f = Filter(lib, model)
    assert f.status == 0 and f.loglik == 0.0
    np.testing.assert_array_equal(f.out["x_filt"], f.out["x_pred"])
    np.testing.assert_array_equal(f.out["P_filt"], f.out["P_pred"])


def test_no_shocks_is_deterministic_between_observations(lib, rng):
    model = make_model(rng, 3, 2, 0, 4)
    f = Filter(lib, model)
    ll, paths, _, _ = reference_filter(**model, symmetrize=True)
    A = model["A"]
    for t in range(3):
        np.testing.assert_allclose(f.out["P_pred"][t + 1], A @ f.out["P_filt"][t] @ A.T,
                                   rtol=1e-12, atol=1e-14)
    assert f.loglik == pytest.approx(ll, rel=1e-11)


def test_cholesky_failure_keeps_partial_loglik(lib):
    # Scalar model whose filtered variance turns negative: F fails in period 1.
    model = dict(A=np.eye(1), B=np.zeros((1, 1)), Z=np.eye(1), d=np.zeros(1),
                 S=np.eye(1), H=np.array([[-0.5]]), data=np.array([[0.3], [0.1], [0.2]]),
                 x0=np.zeros(1), P0=np.array([[10.0]]))
    f = Filter(lib, model)
    assert f.status == -1102
    F0 = 9.5
    assert f.loglik == pytest.approx(-0.5 * (np.log(F0) + LOG2PI + 0.3**2 / F0), rel=1e-14)
    assert np.all(np.isfinite(f.out["x_pred"][0])) and np.all(np.isnan(f.out["x_pred"][1:]))
    model["P0"] = np.array([[0.1]])
    f = Filter(lib, model)
    assert f.status == -1102 and f.loglik == 0.0 and np.all(np.isnan(f.out["innov"]))


def test_symmetrize_flag(lib, rng):
    model = make_model(rng, 3, 2, 2, 4)
    model["P0"] = model["P0"] + np.triu(np.full((3, 3), 0.05), 1)
    raw = Filter(lib, model, symmetrize=0)
    np.testing.assert_array_equal(raw.out["P_pred"][0], model["P0"])
    sym = Filter(lib, model, symmetrize=1)
    np.testing.assert_array_equal(sym.out["P_pred"][0], (model["P0"] + model["P0"].T) / 2)
    ll, _, _, _ = reference_filter(**model, symmetrize=True)
    assert sym.loglik == pytest.approx(ll, rel=1e-11)


# ---- step functions ---------------------------------------------------------

def test_step_functions(lib, rng, make_spd):
    n, m, k = 4, 3, 2
    A, P, Q = rng.standard_normal((n, n)), make_spd(n), make_spd(n)
    Z, H, B, S = rng.standard_normal((m, n)), make_spd(m), rng.standard_normal((n, k)), make_spd(k)
    out_nn, tmp_nn = np.empty((n, n)), np.empty((n, n))
    lib.kf_predict_cov(A, P, Q, tmp_nn, out_nn, n)
    np.testing.assert_allclose(out_nn, A @ P @ A.T + Q, rtol=1e-12)
    F, tmp_mn = np.empty((m, m)), np.empty((m, n))
    lib.kf_measurement_cov(Z, P, H, tmp_mn, F, n, m)
    np.testing.assert_allclose(F, Z @ P @ Z.T + H, rtol=1e-12)
    PZt = np.empty((n, m))
    lib.kf_pc_t(P, Z, PZt, n, m)
    np.testing.assert_allclose(PZt, P @ Z.T, rtol=1e-12)
    L = np.linalg.cholesky(F)
    K, y, x = np.empty((n, m)), np.empty(m), np.empty(m)
    lib.kf_gain_from_pc_t(L, PZt, y, x, K, n, m)
    np.testing.assert_allclose(K, P @ Z.T @ np.linalg.inv(F), rtol=1e-10)
    v, xp, xf = rng.standard_normal(m), rng.standard_normal(n), np.empty(n)
    lib.kf_state_update(xp, K, v, xf, n, m)
    np.testing.assert_allclose(xf, xp + K @ v, rtol=1e-12)
    bufs = [np.empty((n, n)) for _ in range(3)] + [np.empty((n, m))]
    lib.kf_joseph_cov(K, Z, P, H, *bufs, out_nn, n, m)
    IKZ = np.eye(n) - K @ Z
    np.testing.assert_allclose(out_nn, IKZ @ P @ IKZ.T + K @ H @ K.T, rtol=1e-10)
    np.testing.assert_allclose(out_nn, P - K @ Z @ P, rtol=1e-8, atol=1e-10)  # optimal gain
    lib.kf_build_bqbt(B, S, np.empty((n, k)), out_nn, n, k)
    np.testing.assert_allclose(out_nn, B @ S @ B.T, rtol=1e-12)
    np.testing.assert_array_equal(out_nn, out_nn.T)
    G, M = np.empty((k, m)), np.empty((k, m))
    lib.kf_build_shock_projection(B, Z, S, G, M, n, k, m)
    np.testing.assert_allclose(M, S @ B.T @ Z.T, rtol=1e-12)
    Y, res = rng.standard_normal((5, m)), np.empty(m)
    lib.kf_row_minus_vec(Y, 3, v, res, m)
    np.testing.assert_array_equal(res, Y[3] - v)
    lib.kf_identity_minus(A, out_nn, n)
    np.testing.assert_array_equal(out_nn, np.eye(n) - A)
