"""Experiments built by name against independent references: the shocks
redrawn with NumPy's Philox, the paths simulated by NumPy (first order and
the pruned second-order recursion), the statistics from statsmodels and
SciPy; against a job assembled by hand from the bridge's stages (identical
rows); split and resumed runs identical to whole runs; and rejection rates
under the null near the nominal level."""

import numpy as np
import pandas as pd
import pytest
import scipy.stats
from statsmodels.stats.diagnostic import acorr_ljungbox, het_breuschpagan

import Corvane
from Corvane._bridge import experiment_job, mcjob
from Corvane.experiments import Experiment, shard_ranges

AR = """
var y a;
varexo e u;
parameters rho;
rho = 0.8;
model;
  a = rho*a(-1) + e;
  y = 1 + u + 0.5*e;
end;
steady_state_model; a = 0; y = 1; end;
shocks; var e; stderr 0.5; var u; stderr 2; end;
"""

GROWTH = """
var k a c;
varexo e;
parameters alpha beta rho;
alpha = 0.36; beta = 0.96; rho = 0.9;
model;
  c + k = exp(a) * k(-1)^alpha;
  1/c = beta * alpha * exp(a(+1)) * k^(alpha - 1) / c(+1);
  a = rho * a(-1) + e;
end;
steady_state_model;
  k = (alpha*beta)^(1/(1 - alpha));
  a = 0;
  c = (1 - alpha*beta) * k^alpha;
end;
shocks; var e; stderr 0.05; end;
"""


@pytest.fixture(scope="module")
def ar():
    return Corvane.Model.from_mod(AR).solve()


@pytest.fixture(scope="module")
def growth2():
    return Corvane.Model.from_mod(GROWTH).solve(order=2)


def numpy_shocks(sol, seed, rep, T):
    """The replication's shocks as the driver draws them: Philox keyed
    (seed, 0) on counter (0, 0, rep, 0), standard normals period-major,
    times the Cholesky factor of the shock covariance."""
    bg = np.random.Philox(counter=np.array([0, 0, rep, 0], dtype=np.uint64),
                          key=np.array([seed, 0], dtype=np.uint64))
    m = len(sol.shocks)
    z = np.random.Generator(bg).standard_normal(T * m).reshape(T, m)
    return z @ np.linalg.cholesky(sol.shock_cov_matrix).T


def numpy_order1(sol, E):
    A, R, ss = sol.first.transition, sol.first.impact, sol.first.ss
    s, out = np.zeros(A.shape[0]), []
    for e in E:
        s = A @ s + R @ e
        out.append(s + ss)
    return pd.DataFrame(np.array(out)[:, sol.rows], columns=list(sol.variables))


def numpy_pruned(sol, E):
    """Pruned second order (Kim, Kim, Schaumburg, Sims): first- and
    second-order state components kept apart, products of the first only."""
    f, s2 = sol.first, sol.second
    nx = sol.nx
    R = f.impact
    xf, xs, out = np.zeros(nx), np.zeros(nx), []
    for e in E:
        xx, xe, ee = np.kron(xf, xf), np.kron(xf, e), np.kron(e, e)
        y = (0.5 * s2.g_ss + f.gx @ (xf + xs) + R[nx:] @ e + 0.5 * s2.g_xx @ xx
             + s2.g_xe @ xe + 0.5 * s2.g_ee @ ee)
        xf, xs = (f.hx @ xf + R[:nx] @ e,
                  0.5 * s2.h_ss + f.hx @ xs + 0.5 * s2.h_xx @ xx + s2.h_xe @ xe
                  + 0.5 * s2.h_ee @ ee)
        out.append(np.concatenate([xf + xs, y]) + f.ss)
    return pd.DataFrame(np.array(out)[:, sol.rows], columns=list(sol.variables))


def test_order1_statistics_match_numpy_and_statsmodels(ar):
    T, burn, reps, seed = 80, 20, 6, 17
    exp = (Experiment(reps, periods=T, seed=seed, threads=2)
           .simulate(ar, variables=["a", "y"], burn=burn)
           .test("ljung_box", "y", lags=6).test("ljung_box", "a", lags=3)
           .test("jarque_bera", "y")
           .test("breusch_pagan", "y", regressors=["a"], robust=False)
           .test("chow", "y", regressors=["a"], break_point=30))
    res = exp.run()
    for r in range(reps):
        path = numpy_order1(ar, numpy_shocks(ar, seed, r, T + burn)).iloc[burn:]
        y, a = path["y"].to_numpy(), path["a"].to_numpy()
        X = np.column_stack([np.ones(T), a])
        e = y - X @ np.linalg.lstsq(X, y, rcond=None)[0]
        ssr = lambda lo, hi: np.sum((y[lo:hi] - X[lo:hi] @ np.linalg.lstsq(  # noqa: E731
            X[lo:hi], y[lo:hi], rcond=None)[0]) ** 2)
        chow = ((ssr(0, T) - ssr(0, 30) - ssr(30, T)) / 2) / ((ssr(0, 30) + ssr(30, T)) / (T - 4))
        expected = [acorr_ljungbox(y, lags=[6])["lb_stat"].iloc[0],
                    acorr_ljungbox(a, lags=[3])["lb_stat"].iloc[0],
                    scipy.stats.jarque_bera(y).statistic,
                    het_breuschpagan(y, X, robust=False)[0], chow]
        np.testing.assert_allclose(res.statistics.iloc[r], expected, rtol=1e-8)
    # p-values against the statistics' references
    np.testing.assert_allclose(res.pvalues["ljung_box(y)"],
                               scipy.stats.chi2(6).sf(res.statistics["ljung_box(y)"]))
    np.testing.assert_allclose(res.pvalues["chow(y)"],
                               scipy.stats.f(2, T - 4).sf(res.statistics["chow(y)"]))


def test_pruned_second_order_with_transforms_matches_numpy(growth2):
    T, reps, seed = 60, 4, 3
    exp = (Experiment(reps, periods=T, seed=seed)
           .simulate(growth2, variables=["c", "k"], burn=10)
           .transform("log_diff").transform("standardize", ddof=1)
           .test("ljung_box", "c", lags=4).test("jarque_bera", "k"))
    res = exp.run()
    for r in range(reps):
        path = numpy_pruned(growth2, numpy_shocks(growth2, seed, r, T + 10)).iloc[10:]
        d = np.diff(np.log(path[["c", "k"]].to_numpy()), axis=0)
        z = (d - d.mean(0)) / d.std(0, ddof=1)
        np.testing.assert_allclose(
            res.statistics.iloc[r],
            [acorr_ljungbox(z[:, 0], lags=[4])["lb_stat"].iloc[0],
             scipy.stats.jarque_bera(z[:, 1]).statistic], rtol=1e-7)
    # The pruned paths differ from the first-order ones.
    first = Experiment(reps, periods=T, seed=seed).simulate(growth2, ["c", "k"], order=1,
                                                            burn=10)
    first.transform("log_diff").transform("standardize", ddof=1)
    first.test("ljung_box", "c", lags=4).test("jarque_bera", "k")
    assert not np.allclose(first.run().statistics, res.statistics)


def test_given_data_and_rows_of_a_hand_built_job():
    """data(table) against the same chain assembled from the bridge's
    stages by hand (bit-identical rows), and the Wald and CUSUM statistics'
    p-values against their references."""
    rng = np.random.default_rng(4)
    reps, T = 9, 50
    table = rng.standard_normal((reps, T, 2))
    exp = (Experiment(reps, seed=1, threads=3).data(table, ["x", "z"])
           .transform("diff").test("ljung_box", "x", lags=5)
           .test("wald_mean", ["x", "z"], target=[0.1, 0.0], bandwidth=3)
           .test("cusum", "z", regressors=["x"]))
    res = exp.run()
    assert res.statistics.shape == (reps, 3) and res.statistics.notna().all().all()
    lib = experiment_job.library()
    raw = mcjob.raw_model_data_stage(lib, table.reshape(reps, -1))
    diff = mcjob.Stage(mcjob.runner(lib, "crv_mc_diff_runner"),
                       experiment_job.mcstats.crv_mc_diff_ctx(T, 2, 1),
                       in_words=lib.crv_diff_arena_size(T, 2, 1).doubles,
                       out_words=(T - 1) * 2, iout_words=1)
    diff.bind(mcjob.Binding(0, 0, T, [0, 1], src_row_len=2))
    lb = mcjob.Stage(mcjob.runner(lib, "crv_mc_ljung_box_test_runner"),
                     experiment_job.mcstats.crv_mc_ljung_box_test_ctx(T - 1, 5),
                     in_words=T - 1 + lib.crv_lb_arena_size(T - 1, 5).doubles,
                     out_words=1, iout_words=1)
    lb.bind(mcjob.Binding(1, 0, T - 1, [0], src_row_len=2))
    job = mcjob.Job([raw, diff, lb], reps, 2)
    assert job.run(lib) == 0
    np.testing.assert_array_equal(res.statistics["ljung_box(x)"].to_numpy(), lb.results[:, 0])
    d = np.diff(table, axis=1)
    np.testing.assert_allclose(res.statistics["ljung_box(x)"],
                               [acorr_ljungbox(d[r, :, 0], lags=[5])["lb_stat"].iloc[0]
                                for r in range(reps)], rtol=1e-9)
    np.testing.assert_allclose(res.pvalues["wald_mean(x, z)"],
                               scipy.stats.chi2(2).sf(res.statistics["wald_mean(x, z)"]))
    p = res.pvalues["cusum(z)"]
    assert ((0 <= p) & (p <= 1)).all() and p.std() > 0


def test_failed_replications_keep_stage_and_status():
    table = np.random.default_rng(1).standard_normal((5, 12))
    exp = Experiment(5).data(table, ["x"]).transform("standardize", ddof=12)
    exp.test("jarque_bera", "x")
    res = exp.run()
    assert res.statistics["jarque_bera(x)"].isna().all()
    assert list(res.failures["stage"]) == ["standardize"] * 5
    assert (res.failures["status"] == -1301).all()
    table = res.table()
    assert list(table.columns) == ["jarque_bera(x)", "stage", "status"]
    assert res.rejection_rates()["replications"].iloc[0] == 0


@pytest.fixture(scope="module")
def lb_experiment(ar):
    exp = Experiment(37, periods=40, seed=9, threads=1).simulate(ar, ["y", "a"])
    exp.test("ljung_box", "y", lags=4).test("wald_mean", ["y"], target=[1.0])
    return exp


@pytest.fixture(scope="module")
def lb_whole(lb_experiment):
    return lb_experiment.run()


@pytest.mark.parametrize("shards, threads", [(2, 1), (5, 2), (37, 1), (11, 3)])
def test_shards_and_threads_give_the_whole_run(lb_experiment, lb_whole, shards, threads):
    lb_experiment.threads = threads
    try:
        res = lb_experiment.run(shards=shards)
    finally:
        lb_experiment.threads = 1
    pd.testing.assert_frame_equal(res.table(), lb_whole.table(), check_exact=True)


def test_shard_ranges_cover_once():
    for n, k in [(10, 3), (7, 7), (5, 9), (1000, 64)]:
        ranges = shard_ranges(n, k)
        assert [f for f, _ in ranges] == list(np.cumsum([0] + [c for _, c in ranges])[:-1])
        assert sum(c for _, c in ranges) == n and min(c for _, c in ranges) >= 1


def test_resume_from_a_directory(lb_experiment, lb_whole, tmp_path, ar):
    lb_experiment.run(shards=6, directory=tmp_path)
    shards = sorted(tmp_path.glob("shard-*.npz"))
    assert len(shards) == 6
    for f in shards[1::2]:
        f.unlink()
    # Finished shards are read, not recomputed: a changed file shows up.
    kept = np.load(shards[0])
    part = {k: kept[k] for k in kept.files}
    part["values"] = part["values"] + 1000.0
    np.savez(shards[0], **part)
    res = lb_experiment.run(shards=6, directory=tmp_path)
    assert len(list(tmp_path.glob("shard-*.npz"))) == 6
    first, count = (int(x) for x in shards[0].stem.split("-")[1:])
    np.testing.assert_array_equal(res.statistics.iloc[first:first + count],
                                  lb_whole.statistics.iloc[first:first + count] + 1000.0)
    rest = res.statistics.drop(index=range(first, first + count))
    pd.testing.assert_frame_equal(rest, lb_whole.statistics.drop(index=range(first, first + count)))
    other = Experiment(37, periods=40, seed=10).simulate(ar, ["y"]).test("jarque_bera", "y")
    with pytest.raises(ValueError, match="another experiment"):
        other.run(directory=tmp_path)


def test_size_under_the_null(ar):
    """y = 1 + u + e/2 is i.i.d. normal. Chow's F with a constant-only model
    is exact under that null; Ljung-Box and the HAC Wald test are
    asymptotic. With N = 4000 replications the binomial standard error at
    5% is 0.0034: the exact test must lie within 4 of them (0.0138) of each
    level, the asymptotic ones within 0.02 at 5% and 10%."""
    N = 4000
    exp = (Experiment(N, periods=200, seed=2026, threads=2).simulate(ar, ["y"])
           .test("chow", "y", break_point=80).test("ljung_box", "y", lags=5)
           .test("wald_mean", ["y"], target=[1.0], bandwidth=4))
    rates = exp.run().rejection_rates(levels=(0.05, 0.10))
    assert (rates["replications"] == N).all()
    se = np.sqrt(0.05 * 0.95 / N)
    assert abs(rates.loc["chow(y)", "0.05"] - 0.05) < 4 * se
    assert abs(rates.loc["chow(y)", "0.1"] - 0.10) < 4 * np.sqrt(0.09 / N)
    for name in ("ljung_box(y)", "wald_mean(y)"):
        assert abs(rates.loc[name, "0.05"] - 0.05) < 0.02, name
        assert abs(rates.loc[name, "0.1"] - 0.10) < 0.02, name
    # and power against the persistent a: Ljung-Box rejects always
    power = (Experiment(200, periods=200, seed=1).simulate(ar, ["a"])
             .test("ljung_box", "a", lags=5).run().rejection_rates(levels=0.05))
    assert power.iloc[0, 0] == 1.0


def test_describe_bias_and_rmse(lb_whole):
    s = lb_whole.statistics["wald_mean(y)"]
    d = lb_whole.describe(true={"wald_mean(y)": 1.0})
    assert d.loc["wald_mean(y)", "bias"] == pytest.approx(s.mean() - 1.0)
    assert d.loc["wald_mean(y)", "rmse"] == pytest.approx(np.sqrt(((s - 1.0) ** 2).mean()))
    assert d.loc["ljung_box(y)", "q0.5"] == pytest.approx(
        lb_whole.statistics["ljung_box(y)"].median())


@pytest.mark.parametrize("call, error, match", [
    (lambda e, s: e.simulate(s, ["nope"]), Corvane.ModelError, "no variable 'nope'"),
    (lambda e, s: e.simulate(s).transform("fft"), ValueError, "unknown transform"),
    (lambda e, s: e.simulate(s).test("ljung_box", "q"), ValueError, "no series 'q'"),
    (lambda e, s: e.simulate(s).test("ljung_box", "y", lag=3), TypeError, "no option 'lag'"),
    (lambda e, s: e.simulate(s, order=2), ValueError, "order must be"),
    (lambda e, s: e.test("ljung_box", "y"), ValueError, "data step first"),
    (lambda e, s: e.simulate(s).run(), ValueError, "no test"),
    (lambda e, s: e.simulate(s).test("jarque_bera", "y").test("jarque_bera", "y"),
     ValueError, "labelled"),
])
def test_errors_name_the_argument(ar, call, error, match):
    with pytest.raises(error, match=match):
        call(Experiment(3, periods=20), ar)


def numpy_loglik(Y, A, B, S, Z, d, H, P0):
    """Gaussian log-likelihood of Y (T x k) by the Kalman filter, x0 = 0."""
    x, P, ll = np.zeros(A.shape[0]), P0, 0.0
    Q = B @ S @ B.T
    for t, y in enumerate(Y):
        if t:
            x, P = A @ x, A @ P @ A.T + Q
        F = Z @ P @ Z.T + H
        v = y - d - Z @ x
        ll -= 0.5 * (len(y) * np.log(2 * np.pi) + np.linalg.slogdet(F)[1]
                     + v @ np.linalg.solve(F, v))
        K = P @ Z.T @ np.linalg.inv(F)
        x, P = x + K @ v, P - K @ Z @ P
    return ll


def test_loglik_with_measurement_error_matches_numpy(ar):
    """Observations y + u with u's own keyed stream (seed, 1), filtered from
    the steady state with the first period's shock covariance."""
    T, reps, seed, sd = 50, 4, 8, 0.3
    res = (Experiment(reps, periods=T, seed=seed).simulate(ar, ["y", "a"],
                                                          measurement_error={"y": sd})
           .loglik(["y", "a"], measurement_error={"y": sd})).run()
    A, B = ar.first.transition, ar.first.impact
    rows = [ar.rows[list(ar.variables).index(v)] for v in ("y", "a")]
    Z, S = np.eye(A.shape[0])[rows], ar.shock_cov_matrix
    for r in range(reps):
        path = numpy_order1(ar, numpy_shocks(ar, seed, r, T))[["y", "a"]].to_numpy().copy()
        bg = np.random.Philox(counter=np.array([0, 0, r, 0], dtype=np.uint64),
                              key=np.array([seed, 1], dtype=np.uint64))
        path[:, 0] += sd * np.random.Generator(bg).standard_normal(T)
        expected = numpy_loglik(path, A, B, S, Z, ar.first.ss[rows], np.diag([sd**2, 0.0]),
                                B @ S @ B.T)
        assert res.statistics["loglik"].iloc[r] == pytest.approx(expected, rel=1e-10)
    assert res.pvalues["loglik"].isna().all()
    assert list(res.rejection_rates().index) == []


def test_plot_and_progress_bar(lb_experiment, lb_whole, tmp_path):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    ax = lb_whole.plot("ljung_box(y)")
    assert ax.get_lines()[0].get_label() == "chi2(4) density"
    ax.figure.savefig(tmp_path / "lb.png")
    assert (tmp_path / "lb.png").stat().st_size > 1000
    pytest.importorskip("tqdm")
    res = lb_experiment.run(progress=True)
    pd.testing.assert_frame_equal(res.table(), lb_whole.table(), check_exact=True)


def test_loglik_of_given_data(ar):
    """Filtering a table of data under a solution: the filter starts from
    the stationary covariance."""
    import scipy.linalg

    rng = np.random.default_rng(12)
    T, reps = 40, 3
    table = rng.standard_normal((reps, T, 2)) + [1.0, 0.0]
    res = (Experiment(reps).data(table, ["y", "a"])
           .loglik(solution=ar, measurement_error={"y": 0.5, "a": 0.1})).run()
    A, B, S = ar.first.transition, ar.first.impact, ar.shock_cov_matrix
    rows = [ar.rows[list(ar.variables).index(v)] for v in ("y", "a")]
    P0 = scipy.linalg.solve_discrete_lyapunov(A, B @ S @ B.T)
    for r in range(reps):
        expected = numpy_loglik(table[r], A, B, S, np.eye(A.shape[0])[rows], ar.first.ss[rows],
                                np.diag([0.25, 0.01]), P0)
        assert res.statistics["loglik"].iloc[r] == pytest.approx(expected, rel=1e-10)
