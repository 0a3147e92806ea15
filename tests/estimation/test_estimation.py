"""Estimation: likelihood and posterior against independent evaluations,
the mode against SciPy's optimiser, Laplace against an exact marginal
likelihood, sampling reproducibility, the modified harmonic mean and the
reading of the model file's estimation blocks and data files."""

import math
import os
import warnings

import numpy as np
import pandas as pd
import pytest
from scipy import optimize, stats
from scipy.linalg import toeplitz

import Corvane
from Corvane.errors import EstimationError
from Corvane.estimation.results import hessian, repair
from Corvane.priors import Beta, InvGamma1, Normal

AR1 = """
var y z;
varexo e;
parameters rho mu;
rho = 0.8; mu = 1.0;
model;
z = rho*z(-1) + e;
y = mu + z;
end;
shocks; var e; stderr 0.5; {measurement}
end;
varobs y;
"""

PRIORS = {"rho": Beta(0.7, 0.1), "mu": Normal(1, 0.5), "stderr e": InvGamma1(0.5, 1.0),
          "stderr y": InvGamma1(0.1, 0.1)}


def simulate(T, rho=0.8, mu=1.0, sd=0.5, sd_y=0.1, seed=1):
    rng = np.random.default_rng(seed)
    z = rng.standard_normal() * sd / math.sqrt(1 - rho**2)
    out = np.empty(T)
    for t in range(T):
        z = rho * z + sd * rng.standard_normal()
        out[t] = mu + z
    return out + sd_y * rng.standard_normal(T)


@pytest.fixture(scope="module")
def model():
    return Corvane.Model.from_mod(AR1.format(measurement=""))


@pytest.fixture(scope="module")
def y():
    return simulate(100)


@pytest.fixture(scope="module")
def est(model, y):
    return model.estimation(y, priors=PRIORS)


def exact_loglik(y, rho, mu, sd, sd_y):
    """y ~ N(mu 1, stationary AR(1) covariance + sd_y^2 I)."""
    T = len(y)
    gamma = sd**2 / (1 - rho**2) * rho ** np.arange(T)
    return stats.multivariate_normal(mu * np.ones(T), toeplitz(gamma) + sd_y**2 * np.eye(T)
                                     ).logpdf(y)


def scipy_logprior(rho, mu, sd, sd_y):
    def inv_gamma1(prior, x):  # x^2 ~ InvGamma(nu/2, s/2), density of x
        return stats.invgamma(prior.nu / 2, scale=prior.s / 2).logpdf(x * x) + math.log(2 * x)

    b = PRIORS["rho"]
    return (stats.beta(b.a, b.b).logpdf(rho) + stats.norm(1, 0.5).logpdf(mu)
            + inv_gamma1(PRIORS["stderr e"], sd) + inv_gamma1(PRIORS["stderr y"], sd_y))


POINTS = [(0.75, 0.9, 0.45, 0.12), (0.5, 1.3, 0.6, 0.05), (0.95, 0.2, 0.3, 0.3)]


@pytest.mark.parametrize("point", POINTS)
def test_log_posterior_against_an_exact_gaussian_evaluation(est, y, point):
    params = dict(zip(["rho", "mu", "stderr e", "stderr y"], point))
    ll, lp = exact_loglik(y, *point), scipy_logprior(*point)
    assert est.log_likelihood(params) == pytest.approx(ll, abs=1e-8, rel=1e-12)
    assert est.log_prior(params) == pytest.approx(lp, abs=1e-8, rel=1e-12)
    assert est.log_posterior(pd.Series(params)) == pytest.approx(ll + lp, abs=1e-8, rel=1e-12)


def kalman_loglik(y, rho, mu, sd, sd_y, P0):
    """NumPy Kalman filter of x = (z, y - mu): x' = T x + R e, obs = mu + x[1] + v."""
    T_ = np.array([[rho, 0.0], [rho, 0.0]])
    R = np.array([[1.0], [1.0]])
    Z = np.array([[0.0, 1.0]])
    x, P, ll = np.zeros(2), P0.copy(), 0.0
    for obs in y:
        F = Z @ P @ Z.T + sd_y**2
        v = obs - mu - Z @ x
        ll += -0.5 * (math.log(2 * math.pi) + math.log(F[0, 0]) + v[0] ** 2 / F[0, 0])
        K = P @ Z.T / F[0, 0]
        x, P = x + (K @ v), P - K @ Z @ P
        x, P = T_ @ x, T_ @ P @ T_.T + sd**2 * (R @ R.T)
    return ll


def test_lik_init_2_starts_from_ten_times_the_identity(tmp_path, y):
    path = tmp_path / "ar1.mod"
    path.write_text(AR1.format(measurement="") + "estimation(lik_init=2, datafile=ar1data);\n")
    pd.DataFrame({"y": y}).to_csv(tmp_path / "ar1data.csv", index=False)
    est = Corvane.Model.from_mod(path).estimation(priors=PRIORS)
    for point in POINTS:
        params = dict(zip(["rho", "mu", "stderr e", "stderr y"], point))
        expected = kalman_loglik(y, *point, P0=10 * np.eye(2))
        assert est.log_likelihood(params) == pytest.approx(expected, abs=1e-8, rel=1e-12)


def test_prefilter_demeans_the_data(tmp_path, y):
    path = tmp_path / "ar1.mod"
    path.write_text(AR1.format(measurement="") + "estimation(prefilter=1, datafile=obs);\n")
    pd.DataFrame({"y": y}).to_csv(tmp_path / "obs.csv", index=False)
    est = Corvane.Model.from_mod(path).estimation(priors=PRIORS)
    params = dict(zip(["rho", "mu", "stderr e", "stderr y"], POINTS[0]))
    # the mean mu plays no part: the demeaned data around zero
    expected = exact_loglik(y - y.mean(), POINTS[0][0], 0.0, *POINTS[0][2:])
    assert est.log_likelihood(params) == pytest.approx(expected, abs=1e-8, rel=1e-12)
    params["mu"] = 3.0
    assert est.log_likelihood(params) == pytest.approx(expected, abs=1e-8, rel=1e-12)


def test_presample_counts_the_later_periods_only(tmp_path, y):
    path = tmp_path / "ar1.mod"
    path.write_text(AR1.format(measurement="") + "estimation(presample=5, datafile=obs);\n")
    pd.DataFrame({"y": y}).to_csv(tmp_path / "obs.csv", index=False)
    est = Corvane.Model.from_mod(path).estimation(priors=PRIORS)
    params = dict(zip(["rho", "mu", "stderr e", "stderr y"], POINTS[1]))
    # log p(y_6..y_T | y_1..y_5) = log p(y) - log p(y_1..y_5)
    expected = exact_loglik(y, *POINTS[1]) - exact_loglik(y[:5], *POINTS[1])
    assert est.log_likelihood(params) == pytest.approx(expected, abs=1e-8, rel=1e-12)


LOGMOD = """
var y a;
varexo e;
parameters rho mu;
rho = 0.8; mu = 2.0;
model;
a = a(-1)^rho*exp(e);
y = mu*a;
end;
steady_state_model;
a = 1;
y = mu;
end;
shocks; var e; stderr 0.05; end;
varobs y;
estimation(loglinear, {logdata}datafile=obs);
"""


@pytest.mark.parametrize("logdata", [False, True])
def test_loglinear_logs_the_model_and_the_data(tmp_path, logdata):
    # log y = log mu + log a, log a an AR(1): the exact Gaussian likelihood of log y
    logy = simulate(120, rho=0.8, mu=np.log(2.0), sd=0.05, sd_y=0.0, seed=9)
    data = logy if logdata else np.exp(logy)
    path = tmp_path / "logm.mod"
    path.write_text(LOGMOD.format(logdata="logdata, " if logdata else ""))
    pd.DataFrame({"y": data}).to_csv(tmp_path / "obs.csv", index=False)
    est = Corvane.Model.from_mod(path).estimation(
        priors={"rho": Beta(0.7, 0.1), "mu": Normal(2.0, 0.5), "stderr e": InvGamma1(0.05, 1)})
    for rho, mu, sd in [(0.8, 2.0, 0.05), (0.6, 2.3, 0.08)]:
        got = est.log_likelihood({"rho": rho, "mu": mu, "stderr e": sd})
        assert got == pytest.approx(exact_loglik(logy, rho, np.log(mu), sd, 0.0), abs=1e-8)


TWO = """
var y1 y2 z1 z2;
varexo e u;
parameters r1 r2;
r1 = 0.7; r2 = 0.4;
model;
z1 = r1*z1(-1) + e;
z2 = r2*z2(-1) + u;
y1 = z1;
y2 = z2 + 0.5*z1;
end;
shocks; var e; stderr 0.3; var u; stderr 0.2; corr e, u = 0.25;
var y1; stderr 0.1; var y2; stderr 0.05; end;
varobs y1 y2;
"""


def exact_two(y, r1, r2, se, su, rho, s1, s2, rho_m):
    """Stacked Gaussian likelihood of the VAR(1) observed with correlated errors."""
    from scipy.linalg import solve_discrete_lyapunov

    A, C = np.diag([r1, r2]), np.array([[1.0, 0.0], [0.5, 1.0]])
    S = np.array([[se**2, rho * se * su], [rho * se * su, su**2]])
    H = np.array([[s1**2, rho_m * s1 * s2], [rho_m * s1 * s2, s2**2]])
    G0 = solve_discrete_lyapunov(A, S)
    T = len(y)
    big = np.zeros((2 * T, 2 * T))
    for t in range(T):
        for u in range(t + 1):
            block = C @ np.linalg.matrix_power(A, t - u) @ G0 @ C.T + (H if t == u else 0)
            big[2 * t:2 * t + 2, 2 * u:2 * u + 2] = block
            big[2 * u:2 * u + 2, 2 * t:2 * t + 2] = block.T
    return stats.multivariate_normal(np.zeros(2 * T), big).logpdf(y.ravel())


def test_correlations_of_shocks_and_measurement_errors():
    rng = np.random.default_rng(8)
    y = rng.standard_normal((40, 2)) * [0.4, 0.3]
    model = Corvane.Model.from_mod(TWO)
    # estimating the shock correlation; the measurement one stays at its calibration 0
    est = model.estimation(y, priors={"r1": Beta(0.6, 0.1), "corr e, u": Beta(0, 0.3, -1, 1),
                                      "stderr y2": InvGamma1(0.05, 1.0),
                                      "corr y1, y2": Beta(0, 0.3, -1, 1)})
    assert est.names == ["r1", "corr e, u", "stderr y2", "corr y1, y2"]
    for r1, rho, s2, rho_m in [(0.7, 0.25, 0.05, 0.0), (0.5, -0.6, 0.12, 0.4)]:
        got = est.log_likelihood({"r1": r1, "corr e, u": rho, "stderr y2": s2,
                                  "corr y1,y2": rho_m})
        expected = exact_two(y, r1, 0.4, 0.3, 0.2, rho, 0.1, s2, rho_m)
        assert got == pytest.approx(expected, abs=1e-8, rel=1e-12)
    # the calibrated correlation is used when it is not estimated
    est = model.estimation(y, priors={"r1": Beta(0.6, 0.1)})
    assert est.log_likelihood({"r1": 0.7}) == pytest.approx(
        exact_two(y, 0.7, 0.4, 0.3, 0.2, 0.25, 0.1, 0.05, 0.0), abs=1e-8, rel=1e-12)


def test_mode_agrees_with_scipy_on_the_same_function(est):
    mode = est.find_mode()
    assert mode.converged
    names = est.names

    def f(v):
        try:
            return -est.log_posterior(dict(zip(names, v)))
        except EstimationError:      # outside a support
            return np.inf

    ref = optimize.minimize(f, est.initial.to_numpy(), method="Nelder-Mead",
                            options={"xatol": 1e-10, "fatol": 1e-12, "maxiter": 20000,
                                     "maxfev": 20000})
    np.testing.assert_allclose(mode.params.to_numpy(), ref.x, rtol=2e-4)
    assert mode.log_posterior == pytest.approx(-ref.fun, abs=1e-7)
    assert mode.log_posterior >= -ref.fun - 1e-9
    assert mode.log_likelihood + mode.log_prior == pytest.approx(mode.log_posterior, abs=1e-10)
    nm = est.find_mode("neldermead")
    np.testing.assert_allclose(nm.params.to_numpy(), ref.x, rtol=2e-4)
    table = mode.summary()
    assert list(table.columns) == ["prior", "prior mean", "prior sd", "mode", "sd"]
    assert table.loc["stderr e", "prior"] == "inv_gamma1_pdf"
    np.testing.assert_allclose(table["sd"], np.sqrt(np.diag(np.linalg.inv(mode.hessian))))


CONJUGATE = """
var y z;
varexo e;
parameters rho mu;
rho = 0.6; mu = 0.3;
model;
z = rho*z(-1) + e;
y = mu + z;
end;
shocks; var e; stderr 0.4; end;
varobs y;
"""


@pytest.fixture(scope="module")
def conjugate():
    """Only the mean mu is estimated, with a normal prior: the posterior is
    normal and the marginal likelihood is known exactly."""
    y = simulate(80, rho=0.6, mu=0.3, sd=0.4, sd_y=0.0, seed=3)
    est = Corvane.Model.from_mod(CONJUGATE).estimation(y, priors={"mu": Normal(0.5, 0.2)})
    T = len(y)
    C = toeplitz(0.4**2 / (1 - 0.36) * 0.6 ** np.arange(T))
    exact = stats.multivariate_normal(0.5 * np.ones(T), C + 0.2**2 * np.ones((T, T))).logpdf(y)
    return est, exact


def test_laplace_is_the_exact_marginal_likelihood_of_a_conjugate_case(conjugate):
    est, exact = conjugate
    mode = est.find_mode()
    assert mode.laplace == pytest.approx(exact, abs=1e-6)


def test_modified_harmonic_mean_agrees_with_laplace(conjugate):
    est, exact = conjugate
    post = est.sample(draws=8000, chains=2, seed=11, progress=False)
    assert post.log_marginal("mhm") == pytest.approx(exact, abs=0.05)
    assert post.acceptance.between(0.1, 0.9).all()


def test_chains_replay_from_the_seed_whatever_the_workers(est, monkeypatch):
    mode = est.find_mode()
    a = est.sample(draws=600, chains=2, seed=42, mode=mode, progress=False)
    b = est.sample(draws=600, chains=2, seed=42, mode=mode, progress=False)
    pd.testing.assert_frame_equal(a.draws, b.draws)
    monkeypatch.setattr(os, "cpu_count", lambda: 1)
    c = est.sample(draws=600, chains=3, seed=42, mode=mode, progress=False)
    pd.testing.assert_frame_equal(c.draws.loc[[0, 1]], a.draws)
    d = est.sample(draws=600, chains=2, seed=43, mode=mode, progress=False)
    assert not np.allclose(d.draws.to_numpy(), a.draws.to_numpy())
    assert a.draws.index.names == ["chain", "draw"]
    assert len(a.draws) == 2 * 300
    np.testing.assert_allclose(a.log_posterior.iloc[:5],
                               [est.log_posterior(r) for _, r in a.draws.iloc[:5].iterrows()],
                               rtol=1e-12, atol=1e-9)


def test_posterior_summary_and_coverage(model):
    pytest.importorskip("arviz")
    covered = 0
    for seed in range(5):
        y = simulate(150, seed=100 + seed)
        est = model.estimation(y, priors=PRIORS)
        post = est.sample(draws=4000, chains=2, seed=seed, progress=False)
        table = post.summary()
        assert {"mean", "sd", "hdi_5%", "hdi_95%", "r_hat", "ess_bulk"} <= set(table.columns)
        covered += table.loc["rho", "hdi_5%"] <= 0.8 <= table.loc["rho", "hdi_95%"]
        assert (table["r_hat"] < 1.1).all()
    assert covered >= 4
    assert post.to_arviz().posterior["rho"].shape == (2, 2000)


def test_hessian_repair_is_flagged():
    H, repaired = repair(np.array([[2.0, 0.0], [0.0, -1.0]]))
    assert repaired and np.all(np.linalg.eigvalsh(H) > 0)
    H, repaired = hessian(lambda p: p[:, 0] ** 2 - 3 * p[:, 1] ** 2 + p[:, 0] * p[:, 1],
                          np.array([0.1, 0.2]), [(-np.inf, np.inf)] * 2)
    assert repaired
    H, repaired = hessian(lambda p: p[:, 0] ** 2 + 3 * p[:, 1] ** 2 + p[:, 0] * p[:, 1],
                          np.array([0.1, 0.2]), [(-np.inf, np.inf)] * 2)
    assert not repaired
    np.testing.assert_allclose(H, [[2, 1], [1, 6]], rtol=1e-6)


# ---- the model file's blocks and data files -------------------------------------

MOD = AR1.format(measurement="var y; stderr 0.1;") + """
estimated_params;
rho, 0.7, beta_pdf, 0.7, 0.1;
mu, normal_pdf, 1, 0.5;
stderr e, inv_gamma_pdf, 0.5, 1.0;
stderr y, inv_gamma1_pdf, 0.1, 0.1;
end;
estimation(datafile={datafile}, first_obs=11, nobs=60, mh_replic=0, nograph);
"""


def write_data(tmp_path, kind, y):
    if kind == "csv":
        pd.DataFrame({"date": range(len(y)), "y": y}).to_csv(tmp_path / "obs.csv", index=False)
    elif kind == "mat":
        from scipy.io import savemat

        savemat(tmp_path / "obs.mat", {"y": y[:, None], "other": np.ones(3)})
    else:
        body = "\n".join(f"{v:.17g}" for v in y)
        (tmp_path / "obs.m").write_text(f"% data\ny = [\n{body}\n];\n")


@pytest.mark.parametrize("kind", ["csv", "mat", "m"])
def test_model_file_blocks_and_data_files(tmp_path, y, kind):
    write_data(tmp_path, kind, y)
    (tmp_path / "ar1.mod").write_text(MOD.format(datafile=f"obs.{kind}" if kind != "m"
                                                 else "obs"))
    est = Corvane.Model.from_mod(tmp_path / "ar1.mod").estimation()
    assert est.names == ["rho", "mu", "stderr e", "stderr y"]
    assert est.priors == PRIORS
    assert est.initial["rho"] == 0.7 and est.initial["mu"] == 1.0
    assert len(est.data) == 60
    np.testing.assert_array_equal(est.data["y"].to_numpy(), y[10:70])
    params = dict(zip(est.names, POINTS[0]))
    assert est.log_likelihood(params) == pytest.approx(exact_loglik(y[10:70], *POINTS[0]),
                                                       abs=1e-8)


def test_dataframe_index_is_kept(model, y):
    index = pd.period_range("1990Q1", periods=len(y), freq="Q")
    est = model.estimation(pd.DataFrame({"y": y}, index=index), priors=PRIORS, first_obs=5,
                           nobs=40)
    assert est.data.index.equals(index[4:44])


@pytest.mark.parametrize("options,match", [
    ("mode_check, datafile=obs", "option mode_check is not supported"),
    ("datafile=obs, presample=100", "presample=100 must be an integer from 0 to 99"),
    ("datafile=obs, order=2", "order=2 is not supported"),
    ("datafile=obs, lik_init=3", "lik_init=3 is not supported"),
])
def test_unsupported_options_are_named(tmp_path, y, options, match):
    write_data(tmp_path, "csv", y)
    text = MOD.format(datafile="obs").replace(
        "estimation(datafile=obs, first_obs=11, nobs=60, mh_replic=0, nograph);",
        f"estimation({options});")
    (tmp_path / "ar1.mod").write_text(text)
    with pytest.raises(EstimationError, match=match):
        Corvane.Model.from_mod(tmp_path / "ar1.mod").estimation()


def test_argument_errors(model, y):
    with pytest.raises(EstimationError, match="no column for y"):
        model.estimation(pd.DataFrame({"x": y}), priors=PRIORS)
    with pytest.raises(EstimationError, match="missing observations"):
        model.estimation(np.where(np.arange(len(y)) == 3, np.nan, y), priors=PRIORS)
    with pytest.raises(EstimationError, match="not a parameter"):
        model.estimation(y, priors={"kappa": Normal(0, 1)})
    with pytest.raises(EstimationError, match="neither a shock nor an observed"):
        model.estimation(y, priors={"stderr z": InvGamma1(0.1, 1)})
    est = model.estimation(y, priors=PRIORS)
    with pytest.raises(EstimationError, match="no value for stderr y"):
        est.log_posterior({"rho": 0.5, "mu": 1, "stderr e": 0.4})
    with pytest.raises(EstimationError, match="outside the prior's support"):
        est.log_posterior({"rho": 1.5, "mu": 1, "stderr e": 0.4, "stderr y": 0.1})


def test_explosive_points_have_no_posterior(model, y):
    est = model.estimation(y, priors={"rho": Normal(0.5, 1.0), "mu": Normal(1, 0.5)})
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert est.log_posterior({"rho": 1.2, "mu": 1.0}) == -np.inf
    assert np.isfinite(est.log_posterior({"rho": 0.9, "mu": 1.0}))
