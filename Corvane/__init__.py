"""Corvane: compiled numerical core for linearised DSGE models."""

import os

__version__ = "0.1.0"


def get_include():
    """The folder of the C++ headers compiled models include.

    Generated model code includes ``<corvane/scalars.hpp>`` from here; pass
    it to the compiler as ``-I``.

    Examples
    --------
    >>> import os, Corvane
    >>> os.path.isfile(os.path.join(Corvane.get_include(), "corvane", "scalars.hpp"))
    True
    """
    return os.path.join(os.path.dirname(__file__), "include")
