"""The estimation plots draw what they say: prior densities, chains and the
log posterior through the mode."""

import numpy as np
import pytest

import Corvane
from Corvane.priors import Beta, Normal

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")

from Corvane.plotting import plot_mode_check, plot_prior_posterior, plot_trace  # noqa: E402

MOD = """
var y z;
varexo e;
parameters rho mu;
rho = 0.7; mu = 0.5;
model;
z = rho*z(-1) + e;
y = mu + z;
end;
shocks; var e; stderr 0.3; end;
varobs y;
"""


@pytest.fixture(scope="module")
def post():
    rng = np.random.default_rng(4)
    z, y = 0.0, []
    for _ in range(120):
        z = 0.7 * z + 0.3 * rng.standard_normal()
        y.append(0.5 + z)
    est = Corvane.Model.from_mod(MOD).estimation(
        np.array(y), priors={"rho": Beta(0.6, 0.1), "mu": Normal(0.0, 1.0)})
    return est.sample(draws=2000, chains=2, seed=3, progress=False)


def test_prior_posterior_panels(post, tmp_path):
    fig = plot_prior_posterior(post, bins=30)
    axes = [ax for ax in fig.axes if ax.get_visible() and ax.lines]
    assert [ax.get_title() for ax in axes] == ["rho", "mu"]
    for ax, name in zip(axes, ["rho", "mu"]):
        prior_line = ax.lines[0]
        x, dens = prior_line.get_data()
        np.testing.assert_allclose(dens, post.estimation.priors[name].pdf(x), rtol=1e-12)
        assert ax.lines[2].get_xdata()[0] == post.mode.params[name]
    fig.savefig(tmp_path / "pp.png")


def test_trace_has_a_line_per_chain(post):
    fig = plot_trace(post)
    assert len(fig.axes) == 2
    for ax, name in zip(fig.axes, ["rho", "mu"]):
        assert len(ax.lines) == 2
        np.testing.assert_array_equal(ax.lines[1].get_ydata(), post.draws.loc[1, name])


def test_mode_check_peaks_at_the_mode(post):
    mode = post.mode
    fig = plot_mode_check(mode, points=41)
    for ax, name in zip(fig.axes, ["rho", "mu"]):
        x, lp = ax.lines[0].get_data()
        assert lp[20] == pytest.approx(mode.log_posterior, abs=1e-9)
        assert x[np.argmax(lp)] == pytest.approx(mode.params[name], abs=(x[1] - x[0]))
