"""Plots (matplotlib, the `plot` extra)."""

from .estimation import plot_mode_check, plot_prior_posterior, plot_trace

__all__ = ["plot_mode_check", "plot_prior_posterior", "plot_trace"]
