"""Bijectors: scalar and array forms of the seven operations of nine bijectors.

Scalar form crv_<b>_<op>(in, out, bounds...) with pointers to one double
each; array form crv_<b>_<op>_arr(in, out, n, bounds...). Every pointer
argument accepts a float64 array, a ctypes.c_double (passed by reference), a
ctypes pointer or a byref() of a c_double. The kernels and their bounds are
the rows of bijectors.def.
"""

from ._tables import BIJECTOR_OPS, OPERATIONS as _OPERATIONS
from ._types import F64, In, Out, i64

OPERATIONS = tuple(op for op, _, _ in _OPERATIONS)
BIJECTORS = tuple(dict.fromkeys(b for b, _, _ in BIJECTOR_OPS))

# Bound parameters each (bijector, operation) takes, in order.
BOUNDS = {(b, op): bounds for b, op, bounds in BIJECTOR_OPS}

SIGNATURES = {}
for (_b, _op), _params in BOUNDS.items():
    _tail = [In(F64, name) for name in _params]
    SIGNATURES[f"crv_{_b}_{_op}"] = (None, [In(F64, "in"), Out(F64, "out"), *_tail])
    SIGNATURES[f"crv_{_b}_{_op}_arr"] = (None, [In(F64, "in"), Out(F64, "out"), i64, *_tail])

del _b, _op, _params, _tail
