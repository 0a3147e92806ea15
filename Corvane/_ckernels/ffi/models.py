"""The compiled example-model library (`models/libcrv_models.so`): the model
description record and the library's exports."""

import ctypes

from ._types import f64, i64, void_p
from .linalg import RECORD_LAYOUT, crv_record_field

_dp = ctypes.POINTER(f64)
_names = ctypes.POINTER(ctypes.c_char_p)


class crv_example_model(ctypes.Structure):
    _fields_ = [
        ("name", ctypes.c_char_p),
        ("n", i64),
        ("nx", i64),
        ("ny", i64),
        ("m", i64),
        ("p", i64),
        ("n_obs", i64),
        ("var_names", _names),
        ("shock_names", _names),
        ("param_names", _names),
        ("obs_names", _names),
        ("flags", ctypes.POINTER(ctypes.c_uint8)),
        ("params", _dp),
        ("x_guess", _dp),
        ("residual", void_p),
        ("hessian", void_p),
        ("obs_fn", void_p),
        ("obs_jac", void_p),
        ("obs_linear_fn", void_p),
        ("obs_linear_jac", void_p),
    ]


RECORDS = {"crv_example_model": crv_example_model, "crv_record_field": crv_record_field}

SIGNATURES = {
    "crv_example_model_at": (ctypes.POINTER(crv_example_model), [i64]),
    "crv_record_layout": RECORD_LAYOUT,
}
