"""Bijectors: scalar and array forms of the seven operations of nine bijectors.

Scalar form crv_<b>_<op>(in, out, bounds...) with pointers to one double
each; array form crv_<b>_<op>_arr(in, out, n, bounds...). Every pointer
argument accepts a float64 array, a ctypes.c_double (passed by reference) or
a ctypes pointer / byref. The kernels and their bounds are the rows of
bijectors.def.
"""

import ctypes

from ._tables import BIJECTOR_OPS, OPERATIONS as _OPERATIONS
from ._types import F64, i64

OPERATIONS = tuple(op for op, _, _ in _OPERATIONS)
BIJECTORS = tuple(dict.fromkeys(b for b, _, _ in BIJECTOR_OPS))

# Bound parameters each (bijector, operation) takes, in order.
BOUNDS = {(b, op): bounds for b, op, bounds in BIJECTOR_OPS}

_CArg = type(ctypes.byref(ctypes.c_double()))


class DoublePtr(F64):
    """double* to one value: also a ctypes.c_double (by reference) or byref()."""

    @classmethod
    def from_param(cls, obj):
        if isinstance(obj, ctypes.c_double):
            return ctypes.byref(obj)
        if isinstance(obj, _CArg):
            return obj
        return super().from_param(obj)


_bound = DoublePtr

SIGNATURES = {}
for (_b, _op), _params in BOUNDS.items():
    _tail = [_bound] * len(_params)
    SIGNATURES[f"crv_{_b}_{_op}"] = (None, [_bound, _bound, *_tail])
    SIGNATURES[f"crv_{_b}_{_op}_arr"] = (None, [F64, F64, i64, *_tail])

del _b, _op, _params, _tail
