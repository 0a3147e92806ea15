"""The demo sections run end to end on small sizes and give sensible output:
the solution against the SciPy ordqz reference, the filters' log-likelihoods
against each other, the posterior mode against the truth and the draws, and
the effective-sample-size estimator against the AR(1) closed form."""

import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
sys.path.insert(0, str(EXAMPLES))
sys.path.insert(0, str(Path(__file__).resolve().parent / "common"))

import demo  # noqa: E402
import demo_estimate  # noqa: E402
import demo_monte_carlo  # noqa: E402
import demo_simulate_filter  # noqa: E402
import demo_solve  # noqa: E402
import kernel_models  # noqa: E402
from reference import first_order  # noqa: E402

import Corvane  # noqa: E402


@pytest.fixture(scope="module")
def estimate():
    return demo_estimate.run(draws=1500, chains=2, plot=False, verbose=False)


@pytest.fixture(scope="module")
def filtered():
    return demo_simulate_filter.run(T=150, burn=30, plot=False, verbose=False)


@pytest.fixture(autouse=True, scope="module")
def model_cache(tmp_path_factory):
    """Models the demos compile go to a temporary cache directory."""
    mp = pytest.MonkeyPatch()
    mp.setenv("CORVANE_CACHE_DIR", str(tmp_path_factory.mktemp("corvane-cache")))
    yield
    mp.undo()


def test_solve_matches_ordqz_reference(capsys):
    sol = demo_solve.run()
    text = capsys.readouterr().out
    for heading in ("Steady state", "First-order decision rule", "Second-order terms",
                    "Eigenvalues", "Blanchard-Kahn condition satisfied",
                    "identical to order 1: yes", "With rho = 0.9"):
        assert heading in text, heading
    py_model = kernel_models.rbc()
    ss = kernel_models.rbc_steady_state()
    hx, gx, R = first_order(py_model, ss)
    nx = py_model.nx
    np.testing.assert_allclose(sol.steady_state.to_numpy(), ss, rtol=1e-12)
    policy = sol.policy
    assert list(policy.columns) == ["k(-1)", "a(-1)", "e"]
    np.testing.assert_allclose(policy.iloc[:nx, :nx], hx, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(policy.iloc[nx:, :nx], gx, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(policy[["e"]], R, rtol=1e-9, atol=1e-12)
    moduli = np.abs(sol.eigenvalues)
    assert np.sum(moduli < 1) == nx
    # second-order terms: none for the exogenous AR(1) productivity row
    assert np.all(sol.policy2.loc["a"] == 0)
    assert sol.policy2.loc["k", "constant"] != 0


@pytest.mark.parametrize("params", [
    {"alpha": 0.35, "beta": 0.99, "delta": 0.03, "psi": 2.0, "rho": 0.9},
    {"alpha": 0.36, "beta": 0.98, "delta": 0.05, "psi": 2.0, "rho": 0.9},
])
def test_solve_at_other_parameters(params):
    ss = kernel_models.rbc_steady_state(*list(params.values())[:4])
    sol = demo_solve.run(params=params, verbose=False)
    np.testing.assert_allclose(sol.steady_state.to_numpy(), ss, rtol=1e-12, atol=1e-14)
    assert sol.policy.loc["a", "a(-1)"] == pytest.approx(params["rho"], rel=1e-12)


def test_solve_refuses_a_solution_that_is_not_unique_and_stable():
    with pytest.raises(Corvane.DeterminacyError, match="no stable solution"):
        demo_solve.run(params={"rho": 1.2}, verbose=False)


def test_filters_loglikelihoods(filtered):
    ll = filtered["loglik"]
    assert all(np.isfinite(v) for v in ll.values())
    # a linear observation: the extended filter is the linear filter
    assert ll[("levels", "extended")] == pytest.approx(ll[("levels", "linear")], rel=1e-12)
    # the log observation is nonlinear, but barely so for these fluctuations
    assert ll[("logs", "extended")] != ll[("logs", "linear")]
    for kind in ("levels", "logs"):
        for f in ("extended", "unscented"):
            assert ll[(kind, f)] == pytest.approx(ll[(kind, "linear")], rel=5e-3)


def test_simulated_moments(filtered):
    stats, first, second = filtered["moments"], filtered["first"], filtered["second"]
    assert first.shape == second.shape == (150, 6)
    for order in ("first", "second"):
        assert np.all(stats[(order, "sd")] > 0.1)        # percent
        assert np.all((stats[(order, "ac1")] > 0.5) & (stats[(order, "ac1")] < 1.0))
    # the two orders differ by second-order terms only: small next to the sd
    diff = stats[("second", "mean")] - stats[("first", "mean")]
    assert np.all(np.abs(diff) < 0.2 * stats[("first", "sd")])
    logs = np.log(second[:, [4, 2]])
    sd = 100 * logs.std(axis=0, ddof=1)
    np.testing.assert_allclose(stats[("second", "sd")], sd, rtol=1e-12)
    # the filtered log output tracks the data within a few measurement sds
    resid = filtered["filtered"]["logs"]["unscented"] - filtered["data"]["logs"]
    assert np.sqrt(np.mean(resid**2)) < 3 * max(demo_simulate_filter.SD_MEAS)


def test_simulate_filter_report(capsys):
    demo_simulate_filter.run(T=60, burn=10, plot=False)
    text = capsys.readouterr().out
    assert "log-likelihood" in text and "unscented KF" in text and "ac(1)" in text


def test_posterior_mode_near_truth(estimate):
    mode, post = estimate["mode"], estimate["posterior"]
    assert mode.converged, mode.message
    sd = post.draws.std()
    z = (mode.params - pd.Series(demo_estimate.TRUE)) / sd
    assert np.all(np.abs(z) < 4), z.to_dict()
    # nothing the chains visited beats the optimiser's mode
    assert post.log_posterior.max() <= mode.log_posterior + 1e-6
    assert estimate["estimation"]._target.solve_failures == 0


def test_posterior_draws_and_summaries(estimate):
    pytest.importorskip("arviz")
    post = estimate["posterior"]
    assert post.draws.shape == (2 * 750, 6)
    assert post.acceptance.between(0.1, 0.6).all()
    table = post.summary()
    assert np.all(table["hdi_5%"] < table["mean"]) and np.all(table["mean"] < table["hdi_95%"])
    np.testing.assert_allclose(table["mean"], post.draws.mean(), rtol=1e-12)
    assert np.all((table["ess_bulk"] > 10) & (table["ess_bulk"] < 1500))


def test_estimate_report(capsys):
    demo_estimate.run(draws=400, chains=2, plot=False)
    text = capsys.readouterr().out
    for part in ("ModeResult", "acceptance", "Laplace", "modified harmonic mean", "wall time"):
        assert part in text, part


def test_plots_are_written(tmp_path):
    pytest.importorskip("matplotlib")
    out = demo_simulate_filter.run(T=40, burn=5, outdir=tmp_path, verbose=False)
    assert out["png"].is_file()
    est = demo_estimate.run(draws=200, chains=2, outdir=tmp_path, verbose=False)
    assert len(est["png"]) == 3 and all(p.is_file() for p in est["png"])


def test_demo_runs_one_section(capsys):
    assert demo.main(["--only", "solve"]) == 0
    text = capsys.readouterr().out
    assert "=== Model solution" in text and "Estimation" not in text
    assert [key for key, _, _ in demo.SECTIONS] == ["solve", "simulate", "monte-carlo",
                                                    "estimate"]


def test_monte_carlo_loglik_has_its_expected_mean_and_ignores_threads():
    # Under the true model E[loglik] = -1/2 sum_t (k log 2 pi + log det F_t + k),
    # with F_t the (data-free) innovation covariances of the filter.
    T, n_reps = 120, 300
    one = demo_monte_carlo.run(n_reps=n_reps, n_threads=1, T=T, quiet=True)
    two = demo_monte_carlo.run(n_reps=n_reps, n_threads=2, T=T, quiet=True)
    assert one["failed"] == two["failed"] == 0
    np.testing.assert_array_equal(one["loglik"], two["loglik"])
    A, R, Z, H = demo_monte_carlo.model()
    k = Z.shape[0]
    P, expected = R @ R.T, 0.0
    for _ in range(T):
        F = Z @ P @ Z.T + H
        expected -= 0.5 * (k * np.log(2 * np.pi) + np.linalg.slogdet(F)[1] + k)
        K = P @ Z.T @ np.linalg.inv(F)
        P = A @ (P - K @ Z @ P) @ A.T + R @ R.T
    ll = one["loglik"]
    assert abs(ll.mean() - expected) < 4 * ll.std() / np.sqrt(n_reps)
