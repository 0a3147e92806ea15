"""Bayesian estimation: `Estimation` (made by `Model.estimation`), its
posterior mode `ModeResult` and its sampled `Posterior`."""

from .estimation import Estimation
from .results import ModeResult, Posterior

__all__ = ["Estimation", "ModeResult", "Posterior"]
