"""Bijectors: scalar and array forms of the seven operations of nine bijectors.

Scalar form crv_<b>_<op>(in, out, bounds...) with pointers to one double
each; array form crv_<b>_<op>_arr(in, out, n, bounds...). Every pointer
argument accepts a float64 array, a ctypes.c_double (passed by reference), a
ctypes pointer or a byref() of a c_double.
"""

from ._types import F64, In, Out, i64

BIJECTORS = ("log", "logit", "probit", "aff_logit", "aff_probit", "softplus", "lower", "upper",
             "tanh")
OPERATIONS = ("fwd", "inv", "grad_fwd", "grad_inv", "ldet_abs_jac_fwd", "ldet_abs_jac_inv",
              "grad_ldet_abs_jac_inv")

_VALUE_OPS = OPERATIONS[:6]
_BOUNDED_OPS = ("fwd", "inv", "grad_fwd", "ldet_abs_jac_fwd")

# Bound parameters each (bijector, operation) takes, in order.
BOUNDS = {}
for _b in BIJECTORS:
    for _op in OPERATIONS:
        if _b in ("aff_logit", "aff_probit") and _op in _VALUE_OPS:
            BOUNDS[_b, _op] = ("low", "high")
        elif _b == "lower" and _op in _BOUNDED_OPS:
            BOUNDS[_b, _op] = ("low",)
        elif _b == "upper" and _op in _BOUNDED_OPS:
            BOUNDS[_b, _op] = ("high",)
        else:
            BOUNDS[_b, _op] = ()

SIGNATURES = {}
for (_b, _op), _params in BOUNDS.items():
    _tail = [In(F64, name) for name in _params]
    SIGNATURES[f"crv_{_b}_{_op}"] = (None, [In(F64, "in"), Out(F64, "out"), *_tail])
    SIGNATURES[f"crv_{_b}_{_op}_arr"] = (None, [In(F64, "in"), Out(F64, "out"), i64, *_tail])

del _b, _op, _params, _tail
