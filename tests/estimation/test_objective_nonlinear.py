"""Extended and unscented objectives: the extended one against a NumPy
extended filter in levels and against the linear objective for a linear
observation function; the unscented one against the unscented filter run
directly on the second-order solution; sign conventions of all callbacks."""

import ctypes

import numpy as np
import pytest

from Corvane._bridge.examples import example_model
from Corvane._ckernels import ffi

import objective_reference as ref
from test_objective_linear import P0, P0_UKF, SCATTER, SD_MEAS, THETAS, TRUE, build, params_of

T = 80


@pytest.fixture(scope="module")
def lib():
    return ffi.load("beliefplan")


@pytest.fixture(scope="module")
def rbc():
    return example_model("rbc")


@pytest.fixture(scope="module")
def data():
    return ref.simulate_rbc(TRUE, SD_MEAS, T, seed=11)


def numpy_ekf_loglik(theta, data):
    """Extended filter with h(x) = log((ss + x)[y, c]) linearised at each
    predicted deviation x."""
    p, sd = params_of(theta)
    ss, A, R = ref.rbc_solution(p)
    H = np.diag(sd**2)
    Q = R @ R.T * p[5] ** 2
    x, P = np.zeros(6), P0.copy()
    obs = list(ref.OBSERVED)
    ll = 0.0
    for y in data:
        level = ss + x
        h = np.log(level[obs])
        Z = np.zeros((2, 6))
        Z[[0, 1], obs] = 1.0 / level[obs]
        v = y - h
        F = Z @ P @ Z.T + H
        ll -= 0.5 * (np.linalg.slogdet(F)[1] + 2 * np.log(2 * np.pi) + v @ np.linalg.solve(F, v))
        K = P @ Z.T @ np.linalg.inv(F)
        x = A @ (x + K @ v)
        P = A @ (P - K @ Z @ P) @ A.T + Q
    return ll


@pytest.mark.parametrize("theta", THETAS, ids=["true", "mid", "far"])
def test_extended_objective_matches_numpy_extended_filter(lib, rbc, data, theta):
    obj = build(lib, rbc, data, kind="extended")
    assert obj(theta) == pytest.approx(numpy_ekf_loglik(theta, data), rel=1e-9)


@pytest.mark.parametrize("theta", THETAS, ids=["true", "mid", "far"])
def test_extended_equals_linear_for_a_linear_observation(lib, rbc, data, theta):
    linear = build(lib, rbc, data, observation="linear", plan=ref.plan_arrays())
    extended = build(lib, rbc, data, kind="extended", observation="linear",
                     plan=ref.plan_arrays())
    for with_prior in (False, True):
        assert extended(theta, with_prior) == pytest.approx(linear(theta, with_prior), rel=1e-12)
    # the log observation is genuinely nonlinear: the two filters then differ
    assert build(lib, rbc, data, kind="extended")(theta) != build(lib, rbc, data)(theta)


def direct_unscented(lib, rbc, obj, theta, ukf):
    """crv_sgu_klein_solve2 and ukf_hot_loop called directly at the scattered
    parameters, with S = sigma_e^2 and H = diag(sd^2)."""
    p, sd = params_of(theta)
    params = np.concatenate([p, sd])
    S = np.array([[p[5] ** 2]])
    H = np.diag(sd**2)
    model = ffi.solve.crv_klein_model()
    lapack = ffi.solve.lapack_pointers()
    model.residual, model.hessian = rbc.residual, rbc.hessian
    model.zgges, model.dgeqrf, model.dormqr = lapack["zgges"], lapack["dgeqrf"], lapack["dormqr"]
    dp = ctypes.POINTER(ctypes.c_double)
    x_guess = rbc.x_guess.copy()
    flags = rbc.flags.copy()
    model.x_guess, model.params, model.sigma = (a.ctypes.data_as(dp) for a in (x_guess, params, S))
    model.flags = flags.ctypes.data_as(ctypes.POINTER(ctypes.c_uint8))
    model.n, model.nx, model.ny, model.m, model.p = 6, 2, 4, 1, len(params)
    sol = {k: np.zeros_like(v) for k, v in obj.solution.items()}
    order = np.zeros(6, dtype=np.int64)
    rec = ffi.solve.crv_klein_solution()
    for k, v in sol.items():
        setattr(rec, k, v.ctypes.data_as(dp))
    rec.order = order.ctypes.data_as(ctypes.POINTER(ctypes.c_int64))
    second = {k: np.zeros_like(v) for k, v in obj.second.items()}
    rec2 = ffi.solve.crv_klein_second_order()
    for k, v in second.items():
        setattr(rec2, k, v.ctypes.data_as(dp))
    N = lib.crv_pencil_dim(flags, 6).N
    dw, sw = lib.crv_sgu_klein_solve2_arena_size(6, 2, 4, len(params), 1, N)
    dwork, iwork = np.zeros(dw), np.zeros(max(sw, 1), dtype=np.int64)
    assert lib.crv_sgu_klein_solve2(ctypes.byref(model), ctypes.byref(rec), ctypes.byref(rec2),
                                    dwork, iwork) == 0
    assert rec.bk == 0
    inp = ffi.filters.ukf_inputs()
    inp.obs_fn = ffi.filters.OBS_FN(rbc.obs_fn)
    for k in ("hx", "gx", "impact"):
        setattr(inp, k, sol[k].ctypes.data_as(dp))
    for k in ("h_xx", "g_xx", "h_xe", "g_xe", "h_ee", "g_ee", "h_ss", "g_ss"):
        setattr(inp, k, second[k].ctypes.data_as(dp))
    x0 = np.zeros(4)
    inp.ss = sol["ss"].ctypes.data_as(dp)
    for k, v in (("params", params), ("shock_cov", S), ("obs_cov", H), ("data", obj.data),
                 ("x0", x0), ("P0", P0_UKF)):
        setattr(inp, k, v.ctypes.data_as(dp))
    inp.n_periods, inp.nx, inp.ny, inp.n_shocks, inp.n_obs, inp.n_params = (
        len(obj.data), 2, 4, 1, 2, len(params))
    inp.alpha, inp.beta, inp.kappa = ukf
    inp.symmetrize = 1
    ll = np.zeros(1)
    out = ffi.filters.ukf_outputs()
    out.loglik = ll.ctypes.data_as(dp)
    arena = np.zeros(lib.ukf_arena_size(2, 4, 1, 2).doubles)
    assert lib.ukf_hot_loop(ctypes.byref(inp), arena, ctypes.byref(out)) == 0
    return ll[0], sol, second


@pytest.mark.parametrize("ukf", [(1.0, 2.0, 0.0), (0.5, 2.0, 1.0)])
@pytest.mark.parametrize("theta", THETAS[:2], ids=["true", "mid"])
def test_unscented_objective_equals_direct_filter(lib, rbc, data, theta, ukf):
    obj = build(lib, rbc, data, kind="unscented", plan=ref.plan_arrays(), ukf=ukf)
    expected, sol, second = direct_unscented(lib, rbc, obj, theta, ukf)
    assert obj(theta) == expected
    assert obj.post(theta) == pytest.approx(expected + ref.prior_logdensity(theta), rel=1e-12)
    for k in ("h_xx", "g_xx", "g_ss", "h_ss"):
        assert np.array_equal(obj.second[k], second[k]), k
    assert obj.solve_failures == 0


@pytest.mark.parametrize("kind", ["linear", "extended", "unscented"])
def test_callback_signs(lib, rbc, data, kind):
    obj = build(lib, rbc, data, kind=kind, scatter=[(0, 4, 1, (0, 0, 0))] + SCATTER[1:],
                plan={"scalar_indices": [1], "scalar_transform_codes": [2],
                      "scalar_dist_codes": [1], "scalar_dist_params": [[-5.0, 1.0, 0, 0, 0]],
                      "scalar_transform_params": np.zeros((1, 3))})
    theta = np.array([0.9, np.log(0.008), np.log(0.004), np.log(0.003)])
    ll, lp = obj(theta), obj(theta, with_prior=True)
    assert np.isfinite(ll) and lp < ll  # the prior term is negative here
    assert obj.minimise_ll(theta) == -ll
    assert obj.minimise_lp(theta) == -lp
    assert obj.post(theta) == lp
    fn, ctx = obj.callback(f"crv_min_{kind}_lp")
    assert ffi.objective.OBJECTIVE_FN(fn)(theta.ctypes.data_as(ctypes.POINTER(ctypes.c_double)), ctx) == -lp
    theta[0] = 1.03  # unstable: bk = -1
    assert obj.post(theta) == -np.inf
    assert obj.minimise_ll(theta) == np.inf and obj.minimise_lp(theta) == np.inf
    assert obj.solve_failures == 3
    theta[0] = 0.9
    assert obj(theta) == ll


def test_objectives_are_independent_records(lib, rbc, data):
    """Two records of one model do not share scratch: interleaved evaluations
    give the values of separate runs."""
    a = build(lib, rbc, data, kind="extended")
    b = build(lib, rbc, data, kind="extended")
    va = a(THETAS[0])
    vb = b(THETAS[1])
    assert a(THETAS[0]) == va and b(THETAS[1]) == vb
