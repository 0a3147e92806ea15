"""Monte Carlo experiments: a data step, transforms and tests stated by name,
compiled to one job and run here or on a Dask cluster."""

from .experiment import Experiment
from .results import Results
from .runner import shard_ranges

__all__ = ["Experiment", "Results", "shard_ranges"]
