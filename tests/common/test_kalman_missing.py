"""kf_filter_missing: the linear filter with NaN marking missing observations,
against kf_hot_loop on complete data, statsmodels' state-space filter and the
joint Gaussian density of the observed entries."""

import numpy as np
import pytest
from scipy.stats import multivariate_normal
from statsmodels.tsa.statespace.kalman_filter import KalmanFilter

from analysis_kernels import StateSpace, make_model, missing_mask, with_missing
from Corvane._ckernels import ffi

PATHS = ffi.KF_OUTPUT_FIELDS[:-1]


def statsmodels_filter(model):
    """statsmodels' filter on the same system, timing and initialisation, with
    its steady-state shortcut off (the full recursion every period)."""
    n, k = model["B"].shape
    T, m = model["data"].shape
    kf = KalmanFilter(k_endog=m, k_states=n, k_posdef=k)
    kf.bind(np.array(model["data"]))
    kf["design"] = model["Z"]
    kf["obs_intercept"] = model["d"][:, None]
    kf["obs_cov"] = model["H"]
    kf["transition"] = model["A"]
    kf["selection"] = model["B"]
    kf["state_cov"] = model["S"]
    kf.initialize_known(model["x0"], model["P0"])
    kf.tolerance = 0.0
    return kf.filter()


def observed_loglik(A, B, Z, d, S, H, data, x0, P0):
    """Log density of the observed entries from their joint Gaussian distribution."""
    T, m = data.shape
    Q = B @ S @ B.T
    P = [P0]
    means = [x0]
    for _ in range(T - 1):
        P.append(A @ P[-1] @ A.T + Q)
        means.append(A @ means[-1])
    Sigma = np.zeros((T * m, T * m))
    for s in range(T):
        for t in range(s, T):
            block = Z @ np.linalg.matrix_power(A, t - s) @ P[s] @ Z.T + (H if s == t else 0)
            Sigma[t * m:(t + 1) * m, s * m:(s + 1) * m] = block
            Sigma[s * m:(s + 1) * m, t * m:(t + 1) * m] = block.T
    mu = np.concatenate([Z @ x + d for x in means])
    seen = ~np.isnan(data.ravel())
    if not seen.any():
        return 0.0
    return multivariate_normal(mu[seen], Sigma[np.ix_(seen, seen)]).logpdf(data.ravel()[seen])


@pytest.mark.parametrize("n,m,k,T", [(1, 1, 1, 6), (3, 2, 2, 12), (5, 3, 4, 25), (10, 3, 3, 40),
                                     (2, 4, 1, 15)])
@pytest.mark.parametrize("jitter", [0.0, 0.25])
@pytest.mark.parametrize("symmetrize", [0, 1])
def test_complete_data_is_kf_hot_loop(lib, rng, n, m, k, T, jitter, symmetrize):
    model = make_model(rng, n, m, k, T, diagonal_H=False)
    ours = StateSpace(lib, model, jitter=jitter, symmetrize=symmetrize)
    ref = StateSpace(lib, model, kernel="kf_hot_loop", jitter=jitter, symmetrize=symmetrize)
    assert ours.status == ref.status == 0
    assert ours.loglik == pytest.approx(ref.loglik, rel=1e-10)
    # Every period fully observed: the same arithmetic, so the same numbers.
    for key in PATHS:
        np.testing.assert_array_equal(ours.filt[key], ref.filt[key], err_msg=key)
    np.testing.assert_array_equal(ours.arena[:n], ref.arena[:n])  # prediction beyond


@pytest.mark.parametrize("n,m,k,T", [(2, 2, 1, 10), (4, 3, 2, 30), (10, 3, 3, 60),
                                     (3, 5, 3, 20)])
@pytest.mark.parametrize("share", [0.1, 0.5])
def test_missing_entries_match_statsmodels(lib, rng, n, m, k, T, share):
    model = with_missing(make_model(rng, n, m, k, T, diagonal_H=False),
                         missing_mask(rng, T, m, share))
    ours = StateSpace(lib, model)
    sm = statsmodels_filter(model)
    assert ours.status == 0
    assert ours.loglik == pytest.approx(sm.llf_obs.sum(), rel=1e-10)
    tol = dict(rtol=1e-8, atol=1e-10)
    F = ours.filt
    np.testing.assert_allclose(F["x_filt"], sm.filtered_state.T, **tol)
    np.testing.assert_allclose(F["P_filt"], sm.filtered_state_cov.transpose(2, 0, 1), **tol)
    np.testing.assert_allclose(F["x_pred"], sm.predicted_state[:, :-1].T, **tol)
    np.testing.assert_allclose(F["P_pred"], sm.predicted_state_cov[..., :-1].transpose(2, 0, 1),
                               **tol)
    np.testing.assert_allclose(F["y_pred"], sm.forecasts.T, **tol)
    # Innovations: NaN exactly where the data are missing.
    np.testing.assert_allclose(F["innov"], sm.forecasts_error.T, **tol)
    np.testing.assert_array_equal(np.isnan(F["innov"]), np.isnan(model["data"]))
    np.testing.assert_allclose(F["innov_cov"], sm.forecasts_error_cov.transpose(2, 0, 1), **tol)
    seen = ~np.isnan(model["data"])
    np.testing.assert_allclose(F["std_innov"][seen], sm.standardized_forecasts_error.T[seen],
                               **tol)
    assert np.all(np.isnan(F["std_innov"][~seen]))


@pytest.mark.parametrize("pattern", ["scattered", "whole periods", "one series missing",
                                     "nothing observed"])
def test_loglik_is_the_density_of_the_observed_entries(lib, rng, pattern):
    n, m, k, T = 3, 3, 2, 8
    model = make_model(rng, n, m, k, T, diagonal_H=False)
    mask = {"scattered": missing_mask(rng, T, m, 0.4),
            "whole periods": np.repeat(rng.random((T, 1)) < 0.5, m, axis=1),
            "one series missing": np.eye(1, m, 1, dtype=bool).repeat(T, axis=0),
            "nothing observed": np.ones((T, m), dtype=bool)}[pattern]
    model = with_missing(model, mask)
    ours = StateSpace(lib, model, store=False)
    assert ours.status == 0
    assert ours.loglik == pytest.approx(observed_loglik(**model), rel=1e-10, abs=1e-12)


def test_unobserved_periods_carry_the_prediction_and_shock_projection(lib, rng):
    n, m, k, T = 4, 3, 2, 12
    model = with_missing(make_model(rng, n, m, k, T), missing_mask(rng, T, m, 0.4))
    ours = StateSpace(lib, model)
    F, M = ours.filt, ours.model
    for t in range(T):
        seen = ~np.isnan(M["data"][t])
        if not seen.any():
            np.testing.assert_array_equal(F["x_filt"][t], F["x_pred"][t])
            np.testing.assert_array_equal(F["P_filt"][t], F["P_pred"][t])
            np.testing.assert_array_equal(F["shocks"][t], 0.0)
            continue
        # The shock projection S B' Z_o' F_oo^-1 v_o from the stored paths.
        Zo = M["Z"][seen]
        Fo = F["innov_cov"][t][np.ix_(seen, seen)]
        expected = M["S"] @ M["B"].T @ Zo.T @ np.linalg.solve(Fo, F["innov"][t][seen])
        np.testing.assert_allclose(F["shocks"][t], expected, rtol=1e-10, atol=1e-12)
        np.testing.assert_allclose(F["y_filt"][t], M["Z"] @ F["x_filt"][t] + M["d"], rtol=1e-12)


def test_failure_reports_the_loglik_before_the_period(lib, rng):
    n, m, k, T = 2, 2, 1, 6
    model = make_model(rng, n, m, k, T)
    model["H"] = np.zeros((m, m))
    model["Z"][1] = 0.0            # the second series carries no information
    model["data"][:3, 0] = np.nan  # ... and is the only one observed in periods 0 to 2
    ours = StateSpace(lib, model, fill=-5.0)
    assert ours.status == -1102
    assert ours.loglik == 0.0   # no period was filtered
    assert np.all(ours.filt["x_filt"] == -5.0)
    model["data"][0, 1] = np.nan  # period 0 has nothing observed: filtered, then 1 fails
    ours = StateSpace(lib, model, fill=-5.0)
    assert ours.status == -1102
    assert np.all(ours.filt["x_filt"][1:] == -5.0)
    np.testing.assert_array_equal(ours.filt["x_filt"][0], model["x0"])


def test_empty_sample_and_no_observables(lib, rng):
    model = make_model(rng, 3, 2, 2, 0)
    assert StateSpace(lib, model).status == 0
    model = make_model(rng, 3, 0, 2, 5)
    run = StateSpace(lib, model)
    assert run.status == 0 and run.loglik == 0.0
    np.testing.assert_array_equal(run.filt["x_filt"], run.filt["x_pred"])


@pytest.mark.parametrize("store", [False, True])
def test_stays_inside_its_arena_whatever_it_held(lib, rng, store):
    model = with_missing(make_model(rng, 4, 3, 2, 15), missing_mask(rng, 15, 3))
    runs = [StateSpace(lib, model, store=store, fill=fill) for fill in (0.0, np.nan, 1e300)]
    for run in runs:
        assert run.status == 0 and run.guards_intact()
        assert run.loglik == runs[0].loglik
        if store:
            for key in PATHS:
                np.testing.assert_array_equal(run.filt[key], runs[0].filt[key], err_msg=key)
