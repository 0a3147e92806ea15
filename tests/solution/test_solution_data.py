"""Filter, smoother, historical decomposition and forecasts of a solved
model against statsmodels' state-space smoother on the same state space
and data, and against the closed form of a VAR(1); simulations against the
linear and pruned recursions written in NumPy."""

import pathlib

import numpy as np
import pandas as pd
import pytest
import scipy.linalg
from scipy.stats import norm
from statsmodels.tsa.statespace.kalman_smoother import KalmanSmoother

import Corvane

MODELS = pathlib.Path(__file__).resolve().parents[2] / "examples" / "models"
RBC2 = (MODELS / "rbc2.mod").read_text()
# the same model with measurement errors on both observables (one correlated)
RBC2_ME = RBC2.replace("corr ea, eb = 0.3;", "corr ea, eb = 0.3;\nvar y; stderr 0.002;\n"
                       "var c; stderr 0.001;\ncorr y, c = 0.2;")


@pytest.fixture(scope="module", params=["exact", "measurement error"])
def solved(request):
    text = RBC2 if request.param == "exact" else RBC2_ME
    return Corvane.Model.from_mod(text).solve(order=1)


def observed(sol, T, seed, missing):
    sim = sol.simulate(T, seed=seed, burn=20)
    data = sim[list(sol.model.observables)].copy()
    rng = np.random.default_rng(seed)
    data += 1e-3 * rng.standard_normal(data.shape)
    data.index = pd.period_range("2000Q1", periods=T, freq="Q")
    if missing:
        mask = rng.random(data.shape) < 0.25
        mask[T // 2] = True
        data = data.mask(mask)
    return data


def reference_state_space(sol):
    """The state space of every solver variable, built here from the raw
    solution arrays and the model's declared names."""
    A = np.asarray(sol.first.transition)
    B = np.asarray(sol.first.impact)
    S = sol.shock_cov_matrix
    obs = list(sol.model.observables)
    allv = list(sol.variables_all)
    Z = np.zeros((len(obs), A.shape[0]))
    for i, v in enumerate(obs):
        Z[i, allv.index(v)] = 1.0
    d = np.asarray(sol.first.ss)[[allv.index(v) for v in obs]]
    P0 = scipy.linalg.solve_discrete_lyapunov(A, B @ S @ B.T)
    return A, B, S, Z, d, P0


def statsmodels_smooth(sol, data, H):
    A, B, S, Z, d, P0 = reference_state_space(sol)
    ks = KalmanSmoother(k_endog=Z.shape[0], k_states=A.shape[0], k_posdef=B.shape[1])
    ks.bind(np.ascontiguousarray(data.to_numpy(dtype=float)))
    ks["design"], ks["obs_intercept"], ks["obs_cov"] = Z, d[:, None], H
    ks["transition"], ks["selection"], ks["state_cov"] = A, B, S
    ks.initialize_known(np.zeros(A.shape[0]), P0)
    ks.tolerance = 0.0
    return ks.smooth()


@pytest.mark.parametrize("missing", [False, True])
def test_smoother_matches_statsmodels(solved, missing):
    sol = solved
    data = observed(sol, 60, 11, missing)
    has_me = "y" in sol.model._measurement_cov.index and \
        sol.model._measurement_cov.to_numpy().any()
    H = np.diag([0.002 ** 2, 0.001 ** 2])
    H[0, 1] = H[1, 0] = 0.2 * 0.002 * 0.001
    H = H if has_me else np.zeros((2, 2))
    if missing and has_me:
        # statsmodels gives a missing entry's measurement error 0 only; use
        # the diagonal part for a like-for-like comparison
        pytest.skip("statsmodels' missing measurement error is the diagonal-H moment")
    sm = statsmodels_smooth(sol, data, H)
    res = sol.smooth(data)
    tol = dict(rtol=1e-8, atol=1e-11)
    rows = sol.rows
    assert res.states.index.equals(data.index)
    np.testing.assert_allclose(res.states.to_numpy(), sm.smoothed_state.T[:, rows], **tol)
    np.testing.assert_allclose(res.states_cov, sm.smoothed_state_cov.transpose(2, 0, 1)
                               [np.ix_(range(len(data)), rows, rows)], rtol=1e-7, atol=1e-13)
    # statsmodels' state disturbance of period t is the shock entering t + 1
    np.testing.assert_allclose(res.shocks.to_numpy()[1:], sm.smoothed_state_disturbance.T[:-1],
                               **tol)
    assert list(res.shocks.columns) == list(sol.shocks)
    np.testing.assert_allclose(res.measurement_errors.to_numpy(),
                               sm.smoothed_measurement_disturbance.T, rtol=1e-8, atol=1e-12)
    assert res.loglike == pytest.approx(sm.llf, rel=1e-10)
    filt = sol.filter(data)
    assert filt.loglike == pytest.approx(sm.llf, rel=1e-10)
    np.testing.assert_allclose(filt.filtered_states.to_numpy(), sm.filtered_state.T[:, rows],
                               **tol)
    np.testing.assert_allclose(filt.predicted_states.to_numpy(),
                               sm.predicted_state.T[:-1, rows], **tol)


def test_historical_decomposition_sums_to_the_smoothed_path(solved):
    sol = solved
    data = observed(sol, 50, 5, True)
    hd = sol.historical_decomposition(data)
    states = sol.smooth(data).states
    assert list(hd.columns.get_level_values("source").unique()) == list(sol.shocks) + ["initial"]
    total = hd.T.groupby(level="variable", sort=False).sum().T[states.columns]
    scale = np.abs(states.to_numpy()).max()
    np.testing.assert_allclose(total.to_numpy(), states.to_numpy(), rtol=0, atol=1e-10 * scale)
    # the initial part decays by the transition and is nonzero
    assert np.abs(hd.xs("initial", axis=1, level="source").iloc[0]).max() > 0


def var1():
    A = np.array([[0.6, 0.2], [-0.1, 0.8]])
    sigma = np.array([[1.0, 0.4], [0.4, 0.5]])
    model = Corvane.Model(["y0 = 0.6*y0(-1) + 0.2*y1(-1) + e0",
                           "y1 = -0.1*y0(-1) + 0.8*y1(-1) + e1"],
                          endogenous=["y0", "y1"], exogenous=["e0", "e1"],
                          shocks=pd.DataFrame(sigma, index=["e0", "e1"], columns=["e0", "e1"]),
                          observables=["y0", "y1"])
    return A, sigma, model.solve()


def test_forecast_matches_var1_closed_form():
    A, sigma, sol = var1()
    data = pd.DataFrame({"y0": [0.3, -0.2, 1.5], "y1": [0.1, 0.4, -0.7]},
                        index=pd.date_range("2020-01-01", periods=3, freq="MS"))
    # complete data without measurement error: the last state is known
    fc = sol.forecast(periods=5, data=data, bands=(0.05, 0.95))
    assert fc.index[0] == pd.Timestamp("2020-04-01")
    x = data.iloc[-1].to_numpy()
    V = np.zeros((2, 2))
    for h in range(1, 6):
        x = A @ x
        V = A @ V @ A.T + sigma
        np.testing.assert_allclose(fc.xs("mean", axis=1, level="statistic").iloc[h - 1], x,
                                   atol=1e-12)
        np.testing.assert_allclose(fc.xs(0.95, axis=1, level="statistic").iloc[h - 1],
                                   x + norm.ppf(0.95) * np.sqrt(np.diag(V)), atol=1e-10)
    unconditional = sol.forecast(periods=200)
    lo = unconditional.xs(0.05, axis=1, level="statistic").iloc[-1].to_numpy()
    np.testing.assert_allclose(lo, norm.ppf(0.05) * np.sqrt(np.diag(sol.covariance())),
                               rtol=1e-9)


def test_simulation_follows_the_decision_rule_and_the_seed():
    A, sigma, sol = var1()
    a = sol.simulate(30, seed=7, burn=5)
    b = sol.simulate(30, seed=7, burn=5)
    pd.testing.assert_frame_equal(a, b)
    assert not a.equals(sol.simulate(30, seed=8, burn=5))
    E = np.random.default_rng(0).standard_normal((35, 2))
    path = sol.simulate(30, burn=5, shocks=E).to_numpy()
    y, ref = np.zeros(2), []
    for e in E:
        y = A @ y + e
        ref.append(y)
    np.testing.assert_allclose(path, np.array(ref)[5:], atol=1e-13)
    long = sol.simulate(200_000, seed=3)
    np.testing.assert_allclose(np.cov(long.to_numpy().T), sol.covariance(), rtol=0.03)


def test_pruned_simulation_matches_numpy_recursion():
    sol = Corvane.Model.from_mod(RBC2).solve(order=2)
    rng = np.random.default_rng(2)
    E = rng.standard_normal((40, 2)) * [0.007, 0.01]
    path = sol.simulate(40, shocks=E).to_numpy()
    # the pruned recursion in the solution's labelled coefficients
    p1, p2 = sol.policy, sol.policy2
    states = [s[:-4] for s in sol.states]       # "k(-1)" -> "k"
    xf = np.zeros(len(states))
    xs = np.zeros(len(states))
    ref = []
    for e in E:
        values = dict(zip(sol.states, xf)) | dict(zip(sol.shocks, e))
        prods = np.array([values[c.split("*")[0]] * values[c.split("*")[1]]
                          for c in p2.columns[:-1]] + [1.0])
        y = p1.to_numpy() @ np.concatenate([xf + xs, e]) + p2.to_numpy() @ prods
        y_first = p1.to_numpy() @ np.concatenate([xf, e])
        ref.append(y)
        xf = y_first[[list(sol.variables).index(s) for s in states]]
        xs = (y - y_first)[[list(sol.variables).index(s) for s in states]]
    levels = np.array(ref) + sol.steady_state.to_numpy()
    np.testing.assert_allclose(path, levels, rtol=1e-12, atol=1e-14)
