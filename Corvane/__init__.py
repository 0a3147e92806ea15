"""Corvane: compiled numerical core for linearised DSGE models."""

__version__ = "0.1.0"
