"""Shared setup of the model-solution tests: the kernel library, the example
models package and small ctypes helpers."""

import ctypes
import sys
from pathlib import Path

import numpy as np

from Corvane._ckernels import ffi

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))

import models  # noqa: E402

LIB = ffi.load("regression")
SOLVE = ffi.solve
I64P = ctypes.POINTER(ctypes.c_int64)


def residual_from(fn, n, m, p, counter=None):
    """A ctypes residual callback evaluating fn(lead, cur, lag, e, theta) on
    complex NumPy views; counts calls in counter['calls']."""

    def cb(lead, cur, lag, e, theta, resid):
        if counter is not None:
            counter["calls"] += 1
        views = [models._doubles(a, 2 * k).view(np.complex128)
                 for a, k in ((lead, n), (cur, n), (lag, n), (e, m), (theta, p))]
        models._doubles(resid, 2 * n).view(np.complex128)[:] = fn(*views)

    return SOLVE.residual_fn(cb)


from models.reference import complex_jacobians  # noqa: E402,F401
