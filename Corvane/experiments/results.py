"""`Results` of an experiment: every statistic per replication, and the
summaries a Monte Carlo study reports (size and power, moments, bias, RMSE)
and plots of a statistic against its reference distribution."""

import numpy as np
import pandas as pd
import scipy.stats

from .._bridge.experiment_job import cusum_sf

NEVER = np.iinfo(np.int64).min


class Reference:
    """The null distribution of a statistic: `sf` gives p-values (upper tail)."""

    def __init__(self, label, dist=None, sf=None):
        self.label, self.dist, self._sf = label, dist, sf

    def sf(self, x):
        x = np.asarray(x, dtype=np.float64)
        if self.dist is None and self._sf is None:
            return np.full(x.shape, np.nan)
        p = self.dist.sf(x) if self.dist is not None else self._sf(x)
        return np.where(np.isnan(x), np.nan, p)

    def __repr__(self):
        return self.label


def _chi2(df):
    return Reference(f"chi2({df})", scipy.stats.chi2(df))


REFERENCES = {
    "ljung_box": _chi2,
    "jarque_bera": _chi2,
    "breusch_godfrey": _chi2,
    "breusch_pagan": _chi2,
    "wald_mean": _chi2,
    "chow": lambda df: Reference(f"F({df[0]}, {df[1]})", scipy.stats.f(*df)),
    "cusum": lambda df: Reference("Brownian band crossing", sf=cusum_sf),
    "loglik": lambda df: Reference("no reference distribution"),
}


class Results:
    """The statistics of every replication of an experiment.

    Attributes
    ----------
    statistics : pandas.DataFrame
        One row per replication (index ``replication``), one column per
        statistic; NaN where the replication failed or the statistic could
        not be computed.
    pvalues : pandas.DataFrame
        Upper-tail p-values against each statistic's reference distribution.
    failures : pandas.DataFrame
        The failed replications: the stage that failed (``data``, a
        transform or a test label) and the library's status; for statistics
        that could not be computed, the test's status in ``codes``.
    codes : pandas.DataFrame
        Status of each test per replication (0 = computed).
    references : dict
        Statistic label -> reference distribution.
    """

    def __init__(self, parts, names, references, stages, first=0):
        parts = sorted(parts, key=lambda p: p["first"])
        values = np.concatenate([p["values"] for p in parts])
        codes = np.concatenate([p["codes"] for p in parts])
        failed = np.concatenate([p["failed_stage"] for p in parts])
        status = np.concatenate([p["status"] for p in parts])
        index = pd.RangeIndex(first, first + len(values), name="replication")
        self.statistics = pd.DataFrame(values, index=index, columns=names)
        self.codes = pd.DataFrame(codes, index=index, columns=names)
        self.references = dict(zip(names, references))
        self.pvalues = pd.DataFrame(
            {name: self.references[name].sf(values[:, j]) for j, name in enumerate(names)},
            index=index)
        stage = np.array([stages[s] if s >= 0 else None for s in failed], dtype=object)
        self._failed = pd.DataFrame({"stage": stage, "status": status}, index=index)
        self.stages = stages

    @property
    def replications(self):
        return len(self.statistics)

    @property
    def failures(self):
        return self._failed[self._failed["stage"].notna()]

    def table(self):
        """Statistics, the failing stage and status of every replication."""
        return self.statistics.join(self._failed)

    # -- summaries -----------------------------------------------------------------
    def rejection_rates(self, levels=(0.01, 0.05, 0.10)):
        """Share of replications rejecting at each level (p-value < level),
        over the replications where the statistic exists: size under the
        null, power under an alternative. Rows: the statistics with a
        reference distribution; columns: levels; with the count of
        replications used."""
        levels = [float(a) for a in np.atleast_1d(levels)]
        tested = [name for name, ref in self.references.items()
                  if ref.dist is not None or ref._sf is not None]
        p = self.pvalues[tested]
        rates = pd.DataFrame({f"{a:g}": (p < a).sum() / p.notna().sum() for a in levels})
        rates.columns.name = "level"
        rates["replications"] = p.notna().sum()
        return rates

    def describe(self, true=None, quantiles=(0.05, 0.5, 0.95)):
        """Mean, standard deviation and quantiles of each statistic; with
        true values (a dict or Series by statistic), bias and RMSE too."""
        s = self.statistics
        out = pd.DataFrame({"mean": s.mean(), "std": s.std(ddof=1)})
        for q in quantiles:
            out[f"q{q:g}"] = s.quantile(q)
        if true is not None:
            true = pd.Series(true, dtype=float).reindex(s.columns)
            out["true"] = true
            out["bias"] = s.mean() - true
            out["rmse"] = np.sqrt(((s - true) ** 2).mean())
        out["replications"] = s.notna().sum()
        return out

    def summary(self, levels=(0.01, 0.05, 0.10)):
        """Rejection rates and moments as text."""
        with pd.option_context("display.float_format", lambda v: f"{v:.4g}",
                               "display.width", 120):
            parts = [f"Monte Carlo results: {self.replications} replications, "
                     f"{len(self.failures)} failed",
                     "", "Rejection rates (p-value below the level)",
                     self.rejection_rates(levels).to_string(),
                     "", "Statistics", self.describe().to_string()]
        return "\n".join(parts)

    def __repr__(self):
        return self.summary()

    # -- plots -------------------------------------------------------------------------
    def plot(self, statistic, ax=None, bins=50):
        """Histogram of a statistic against its reference density (or, for a
        reference without a density, the empirical distribution of the
        p-values against the uniform). Needs matplotlib."""
        try:
            import matplotlib.pyplot as plt
        except ImportError as exc:  # pragma: no cover - optional dependency
            raise ImportError("plots need matplotlib: pip install 'Corvane[plot]'") from exc
        if statistic not in self.statistics:
            raise KeyError(f"no statistic {statistic!r} (statistics: "
                           f"{', '.join(self.statistics)})")
        ref = self.references[statistic]
        x = self.statistics[statistic].dropna().to_numpy()
        if ax is None:
            _, ax = plt.subplots(figsize=(6, 4))
        if ref.dist is None and ref._sf is None:
            ax.hist(x, bins=bins, density=True, alpha=0.5, label=f"{len(x)} replications")
            ax.set_xlabel(statistic)
            ax.set_ylabel("density")
            ax.set_title(f"{statistic}: distribution over replications")
            ax.legend()
            return ax
        if ref.dist is not None:
            ax.hist(x, bins=bins, density=True, alpha=0.5, label=f"{len(x)} replications")
            grid = np.linspace(min(x.min(), ref.dist.ppf(0.0005)),
                               max(x.max(), ref.dist.ppf(0.999)), 400)
            ax.plot(grid, ref.dist.pdf(grid), color="k", label=f"{ref.label} density")
            ax.set_xlabel(statistic)
            ax.set_ylabel("density")
        else:
            p = np.sort(self.pvalues[statistic].dropna().to_numpy())
            ax.plot(p, np.arange(1, len(p) + 1) / len(p), label="p-values")
            ax.plot([0, 1], [0, 1], color="k", label="uniform")
            ax.set_xlabel(f"p-value of {statistic} ({ref.label})")
            ax.set_ylabel("share of replications")
        ax.set_title(f"{statistic}: replications against {ref.label}")
        ax.legend()
        return ax
