"""Corvane: compiled numerical core for linearised DSGE models."""

import os

from ._buildinfo import VERSION as __version__

from .errors import (DeterminacyError, EstimationError, EstimationWarning,  # noqa: E402
                     ModelError, ParseError, SolutionError, SteadyStateError)

# The model and solution layers import SymPy and pandas; load them on first use
# so that importing the kernels alone stays light.
_LAZY = {"Model": ("Corvane.model.model", "Model"),
         "Solution": ("Corvane.solution.solution", "Solution"),
         "Estimation": ("Corvane.estimation", "Estimation"),
         "ModeResult": ("Corvane.estimation", "ModeResult"),
         "Posterior": ("Corvane.estimation", "Posterior")}


def __getattr__(name):
    if name in _LAZY:
        import importlib

        module, attribute = _LAZY[name]
        value = getattr(importlib.import_module(module), attribute)
        globals()[name] = value
        return value
    raise AttributeError(f"module 'Corvane' has no attribute '{name}'")


def get_include():
    """The folder of the installed C and C++ headers; pass it as ``-I``.

    Generated model code includes ``<corvane/scalars.hpp>`` from here. A
    regular install also puts the kernel library's C headers here
    (``<corvane/linalg.h>``, ``<corvane/status.h>``, one per kernel family;
    ``<corvane/rng.h>`` also needs ``numpy.get_include()``): a C program
    includes them and links to one of the extension modules, which export the
    kernels under their C names (``examples/c/chol.c``).

    Examples
    --------
    >>> import os, Corvane
    >>> os.path.isfile(os.path.join(Corvane.get_include(), "corvane", "scalars.hpp"))
    True
    """
    return os.path.join(os.path.dirname(__file__), "include")


__all__ = ["Model", "Solution", "Estimation", "ModeResult", "Posterior", "ModelError",
           "ParseError", "SteadyStateError", "SolutionError", "DeterminacyError",
           "EstimationError", "EstimationWarning", "get_include", "__version__"]
