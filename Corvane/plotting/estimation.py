"""Plots of an estimation: priors against posteriors, chain traces and the
log posterior through the mode (Dynare's `mode_check`)."""

import math

import numpy as np
from scipy import stats

from ..errors import EstimationError


def _pyplot():
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError("plotting needs matplotlib: pip install 'Corvane[plot]'") from None
    return plt


def _grid(n, width=3):
    cols = min(width, n)
    return -(-n // cols), cols


def _panels(names, title, width=3, panel=(3.4, 2.5)):
    plt = _pyplot()
    rows, cols = _grid(len(names), width)
    fig, axes = plt.subplots(rows, cols, figsize=(panel[0] * cols, panel[1] * rows),
                             squeeze=False)
    for ax in axes.flat[len(names):]:
        ax.axis("off")
    fig.suptitle(title)
    return fig, list(axes.flat[:len(names)])


def _names(estimation, names):
    if names is None:
        return list(estimation.names)
    unknown = [n for n in names if n not in estimation.names]
    if unknown:
        raise EstimationError(f"not estimated: {', '.join(unknown)}")
    return list(names)


def plot_prior_posterior(posterior, names=None, bins=None):
    """Prior density (grey line) against the posterior's kernel density
    (black) with the mode (dashed line), one panel per parameter.

    Parameters
    ----------
    posterior : Corvane.Posterior
    names : list of str, optional
        The parameters to show (default all).
    bins : int, optional
        Draw a histogram of the draws with this many bins as well.

    Returns
    -------
    matplotlib.figure.Figure
    """
    est = posterior.estimation
    names = _names(est, names)
    fig, axes = _panels(names, "Priors and posteriors")
    for ax, name in zip(axes, names):
        x = posterior.draws[name].to_numpy()
        prior = est.priors[name]
        lo, hi = np.quantile(x, [0.001, 0.999])
        span = hi - lo
        # the prior over its own central range, widened to cover the posterior
        a, b = lo - 0.5 * span, hi + 0.5 * span
        if math.isfinite(prior.sd) and prior.sd > 0:
            a, b = min(a, prior.mean - 3 * prior.sd), max(b, prior.mean + 3 * prior.sd)
        a, b = max(a, prior.support[0]), min(b, prior.support[1])
        grid = np.linspace(a, b, 400)
        if bins:
            ax.hist(x, bins=bins, density=True, color="0.85")
        kde = stats.gaussian_kde(x)
        ax.plot(grid, prior.pdf(grid), color="0.55", lw=1.5, label="prior")
        ax.plot(grid, kde(grid), color="k", lw=1.5, label="posterior")
        ax.axvline(posterior.mode.params[name], color="C3", ls="--", lw=1, label="mode")
        ax.set_title(name)
        ax.set_yticks([])
        ax.locator_params(axis="x", nbins=4)
    axes[0].legend(fontsize=7, frameon=False)
    fig.tight_layout()
    return fig


def plot_trace(posterior, names=None):
    """The draws of each chain against the draw number, one panel per parameter.

    Returns
    -------
    matplotlib.figure.Figure
    """
    est = posterior.estimation
    names = _names(est, names)
    plt = _pyplot()
    fig, axes = plt.subplots(len(names), 1, figsize=(9, 1.5 * len(names) + 0.6), sharex=True,
                             squeeze=False)
    axes = axes[:, 0]
    draws = posterior.draws
    for ax, name in zip(axes, names):
        for chain, series in draws[name].groupby(level="chain"):
            ax.plot(series.index.get_level_values("draw"), series.to_numpy(), lw=0.4,
                    label=f"chain {chain}")
        ax.set_ylabel(name, rotation=0, ha="right", va="center")
    axes[-1].set_xlabel("draw (after burn-in)")
    axes[0].legend(fontsize=7, frameon=False, loc="upper right", ncol=4)
    fig.suptitle("Traces")
    fig.tight_layout()
    return fig


def plot_mode_check(mode, names=None, width=None, points=41):
    """The log posterior (black) and the log-likelihood plus a constant (grey)
    along each parameter through the mode, the others held at the mode (as
    Dynare's `mode_check`); the mode is marked.

    Parameters
    ----------
    mode : Corvane.ModeResult
    width : float, optional
        Half-width of each line in standard deviations at the mode (default 4),
        shortened to stay inside the prior's support.

    Returns
    -------
    matplotlib.figure.Figure
    """
    est = mode.estimation
    names = _names(est, names)
    width = 4.0 if width is None else float(width)
    fig, axes = _panels(names, "Log posterior through the mode")
    target = est._target
    for ax, name in zip(axes, names):
        j = est.names.index(name)
        x0, sd = mode.params[name], mode.std[name]
        lo, hi = est.priors[name].support
        a = max(x0 - width * sd, lo + 1e-3 * (x0 - lo) if math.isfinite(lo) else -np.inf)
        b = min(x0 + width * sd, hi - 1e-3 * (hi - x0) if math.isfinite(hi) else np.inf)
        grid = np.linspace(a, b, points)
        pts = np.tile(mode.params.to_numpy(), (points, 1))
        pts[:, j] = grid
        theta = est._to_theta(pts)
        lp = np.array([target.logpost(t) for t in theta])
        ll = np.array([target.loglik(t) for t in theta])
        ax.plot(grid, lp, color="k", lw=1.5, label="log posterior")
        ax.plot(grid, ll - mode.log_likelihood + mode.log_posterior, color="0.6", lw=1.2,
                ls="-", label="log likelihood (shifted)")
        ax.axvline(x0, color="C3", ls="--", lw=1, label="mode")
        finite = lp[np.isfinite(lp)]
        if finite.size:
            ax.set_ylim(finite.min() - 0.05 * (finite.max() - finite.min() + 1e-12),
                        finite.max() + 0.1 * (finite.max() - finite.min() + 1e-12))
        ax.set_title(name)
        ax.locator_params(axis="x", nbins=4)
    axes[0].legend(fontsize=7, frameon=False)
    fig.tight_layout()
    return fig
