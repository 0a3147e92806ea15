"""kf_smoother: smoothed states, shocks and measurement errors with their
covariances, against statsmodels' smoother and against conditioning the joint
Gaussian distribution of the whole sample directly."""

import numpy as np
import pytest
from statsmodels.tsa.statespace.kalman_smoother import KalmanSmoother

from analysis_kernels import StateSpace, make_model, missing_mask, with_missing
from Corvane._ckernels import ffi

SMOOTHED = ffi.KF_SMOOTHER_OUTPUT_FIELDS


def statsmodels_smoother(model):
    n, k = model["B"].shape
    T, m = model["data"].shape
    ks = KalmanSmoother(k_endog=m, k_states=n, k_posdef=k)
    ks.bind(np.array(model["data"]))
    ks["design"] = model["Z"]
    ks["obs_intercept"] = model["d"][:, None]
    ks["obs_cov"] = model["H"]
    ks["transition"] = model["A"]
    ks["selection"] = model["B"]
    ks["state_cov"] = model["S"]
    ks.initialize_known(model["x0"], model["P0"])
    ks.tolerance = 0.0
    return ks.smooth()


@pytest.mark.parametrize("n,m,k,T", [(1, 1, 1, 8), (3, 2, 2, 20), (5, 3, 4, 40), (10, 3, 3, 60),
                                     (2, 4, 1, 15)])
@pytest.mark.parametrize("missing", [False, True])
def test_matches_statsmodels_smoother(lib, rng, n, m, k, T, missing):
    # statsmodels gives a missing entry's measurement error 0 and its variance
    # H_jj, which is the conditional moment only for a diagonal H: with
    # missing data the comparison runs on a diagonal H.
    model = make_model(rng, n, m, k, T, diagonal_H=missing)
    if missing:
        model = with_missing(model, missing_mask(rng, T, m, 0.3))
    ours = StateSpace(lib, model, kernel="kf_smoother")
    sm = statsmodels_smoother(model)
    assert ours.status == 0
    tol = dict(rtol=1e-8, atol=1e-10)
    S = ours.smooth
    np.testing.assert_allclose(S["x_smooth"], sm.smoothed_state.T, **tol)
    np.testing.assert_allclose(S["P_smooth"], sm.smoothed_state_cov.transpose(2, 0, 1), **tol)
    # statsmodels' state disturbance of period t is the shock entering t + 1.
    np.testing.assert_allclose(S["shocks"][1:], sm.smoothed_state_disturbance.T[:-1], **tol)
    np.testing.assert_allclose(S["shocks_cov"][1:],
                               sm.smoothed_state_disturbance_cov.transpose(2, 0, 1)[:-1], **tol)
    np.testing.assert_allclose(S["meas_err"], sm.smoothed_measurement_disturbance.T, **tol)
    np.testing.assert_allclose(S["meas_err_cov"],
                               sm.smoothed_measurement_disturbance_cov.transpose(2, 0, 1), **tol)
    # The filter paths are kf_filter_missing's.
    assert ours.loglik == pytest.approx(sm.llf, rel=1e-10)
    np.testing.assert_allclose(ours.filt["x_filt"], sm.filtered_state.T, **tol)


def joint_smoother(A, B, Z, d, S, H, data, x_prev, P_prev):
    """E and Var of x(t), e(t), u(t) given the observed entries, by conditioning
    the Gaussian vector z = (x(-1), e(0..T-1), u(0..T-1)) on them directly."""
    n, k = B.shape
    T, m = data.shape
    nz = n + T * k + T * m
    mean = np.concatenate([x_prev, np.zeros(T * (k + m))])
    cov = np.zeros((nz, nz))
    cov[:n, :n] = P_prev
    for t in range(T):
        e, u = n + t * k, n + T * k + t * m
        cov[e:e + k, e:e + k] = S
        cov[u:u + m, u:u + m] = H
    shock = [np.eye(nz)[n + t * k:n + (t + 1) * k] for t in range(T)]
    error = [np.eye(nz)[n + T * k + t * m:n + T * k + (t + 1) * m] for t in range(T)]
    state, x = [], np.eye(nz)[:n]
    for t in range(T):
        x = A @ x + B @ shock[t]
        state.append(x)
    obs = [Z @ state[t] + error[t] for t in range(T)]
    seen = ~np.isnan(data)
    G = np.vstack([obs[t][seen[t]] for t in range(T)])
    y = np.concatenate([data[t][seen[t]] - d[seen[t]] for t in range(T)])
    gain = cov @ G.T @ np.linalg.inv(G @ cov @ G.T)
    post_mean = mean + gain @ (y - G @ mean)
    post_cov = cov - gain @ G @ cov
    out = {key: [] for key in SMOOTHED}
    for t in range(T):
        for key, M in (("x_smooth", state[t]), ("shocks", shock[t]), ("meas_err", error[t])):
            out[key].append(M @ post_mean)
            out[{"x_smooth": "P_smooth", "shocks": "shocks_cov",
                 "meas_err": "meas_err_cov"}[key]].append(M @ post_cov @ M.T)
    return {key: np.array(val) for key, val in out.items()}


@pytest.mark.parametrize("pattern", ["complete", "scattered", "whole periods", "last period"])
@pytest.mark.parametrize("diagonal_H", [True, False])
def test_equals_conditioning_the_joint_distribution(lib, rng, pattern, diagonal_H):
    n, m, k, T = 3, 3, 2, 7
    model = make_model(rng, n, m, k, T, diagonal_H=diagonal_H)
    mask = {"complete": np.zeros((T, m), dtype=bool),
            "scattered": missing_mask(rng, T, m, 0.4),
            "whole periods": np.repeat(rng.random((T, 1)) < 0.4, m, axis=1),
            "last period": np.eye(T, dtype=bool)[:, -1:].repeat(m, axis=1)}[pattern]
    model = with_missing(model, mask)
    # x0, P0 as the prediction from x(-1) ~ N(x_prev, P_prev), so that the
    # shock of period 0 is one of the joint vector's.
    x_prev = rng.standard_normal(n)
    C = rng.standard_normal((n, n))
    P_prev = C @ C.T + np.eye(n)
    A, B, S = model["A"], model["B"], model["S"]
    model["x0"] = A @ x_prev
    model["P0"] = A @ P_prev @ A.T + B @ S @ B.T
    ours = StateSpace(lib, model, kernel="kf_smoother")
    assert ours.status == 0
    expected = joint_smoother(*(model[key] for key in "A B Z d S H data".split()),
                              x_prev, P_prev)
    for key in SMOOTHED:
        np.testing.assert_allclose(ours.smooth[key], expected[key], rtol=1e-9, atol=1e-11,
                                   err_msg=key)
    # The smoothed path obeys the state equation with the smoothed shocks.
    x, e = ours.smooth["x_smooth"], ours.smooth["shocks"]
    np.testing.assert_allclose(x[1:], x[:-1] @ A.T + e[1:] @ B.T, rtol=1e-12, atol=1e-12)


def test_null_covariances_are_skipped_and_change_no_mean(lib, rng):
    model = with_missing(make_model(rng, 4, 3, 2, 25), missing_mask(rng, 25, 3))
    full = StateSpace(lib, model, kernel="kf_smoother")
    means = StateSpace(lib, model, kernel="kf_smoother", covariances=False)
    assert full.status == means.status == 0
    for key in ("x_smooth", "shocks", "meas_err"):
        np.testing.assert_array_equal(means.smooth[key], full.smooth[key], err_msg=key)


def test_filter_failure_leaves_the_smoothed_outputs_untouched(lib, rng):
    model = make_model(rng, 2, 2, 1, 6)
    model["H"] = np.diag([0.5, 0.0])
    model["Z"][1] = 0.0              # the second series has variance 0 ...
    model["data"][:, 1] = np.nan
    model["data"][3] = [np.nan, 1.0]  # ... and is all that period 3 observes
    run = StateSpace(lib, model, kernel="kf_smoother", fill=-5.0)
    assert run.status == -1102
    assert np.all(run.filt["x_filt"][:3] != -5.0) and np.all(run.filt["x_filt"][3:] == -5.0)
    for key in SMOOTHED:
        assert np.all(run.smooth[key] == -5.0), key


def test_empty_sample_nothing_observed_and_no_shocks(lib, rng):
    assert StateSpace(lib, make_model(rng, 3, 2, 2, 0), kernel="kf_smoother").status == 0
    # Nothing observed: the smoothed moments are the prior ones.
    model = with_missing(make_model(rng, 3, 2, 2, 5), np.ones((5, 2), dtype=bool))
    run = StateSpace(lib, model, kernel="kf_smoother")
    assert run.status == 0
    np.testing.assert_array_equal(run.smooth["x_smooth"], run.filt["x_pred"])
    np.testing.assert_array_equal(run.smooth["P_smooth"], run.filt["P_pred"])
    np.testing.assert_array_equal(run.smooth["shocks"], 0.0)
    np.testing.assert_array_equal(run.smooth["shocks_cov"],
                                  np.broadcast_to(model["S"], (5, 2, 2)))
    np.testing.assert_array_equal(run.smooth["meas_err_cov"],
                                  np.broadcast_to(model["H"], (5, 2, 2)))


def test_stays_inside_its_arena_whatever_it_held(lib, rng):
    model = with_missing(make_model(rng, 4, 3, 2, 15), missing_mask(rng, 15, 3))
    runs = [StateSpace(lib, model, kernel="kf_smoother", fill=fill)
            for fill in (0.0, np.nan, 1e300)]
    for run in runs:
        assert run.status == 0 and run.guards_intact()
        for key in SMOOTHED:
            np.testing.assert_array_equal(run.smooth[key], runs[0].smooth[key], err_msg=key)
