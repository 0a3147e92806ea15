"""Optimisers: records, objective callback type and kernels."""

import ctypes

from ._types import F64, I64, f64, i32, i64, void_p

#: double fn(const double *x, void *context)
crv_opt_fn = ctypes.CFUNCTYPE(f64, ctypes.POINTER(f64), void_p)


class crv_opt_result(ctypes.Structure):
    _fields_ = [
        ("status", i64),
        ("nfev", i64),
        ("nit", i64),
        ("fun", f64),
        ("success", i32),
        ("message", ctypes.c_char_p),
    ]


class crv_nm_options(ctypes.Structure):
    _fields_ = [
        ("maxiter", i64),
        ("maxfev", i64),
        ("xatol", f64),
        ("fatol", f64),
    ]


class crv_lbfgsb_options(ctypes.Structure):
    _fields_ = [
        ("m", i64),
        ("maxiter", i64),
        ("maxfun", i64),
        ("maxls", i64),
        ("factr", f64),
        ("pgtol", f64),
        ("fd_step", f64),
    ]


RECORDS = {
    "crv_opt_result": crv_opt_result,
    "crv_nm_options": crv_nm_options,
    "crv_lbfgsb_options": crv_lbfgsb_options,
}

_RES = ctypes.POINTER(crv_opt_result)
_I64P = ctypes.POINTER(i64)
_F64P = ctypes.POINTER(f64)
_CHARP = ctypes.c_char_p

SIGNATURES = {
    "crv_neldermead": (i64, [crv_opt_fn, void_p, i64, F64, F64, F64, I64,
                             ctypes.POINTER(crv_nm_options), _RES]),
    "crv_lbfgsb": (i64, [crv_opt_fn, void_p, i64, F64, F64, F64, I64,
                         ctypes.POINTER(crv_lbfgsb_options), _RES]),
    "setulb": (None, [i64, i64, F64, F64, F64, I64, F64, F64, f64, f64, F64, I64, I64,
                      I64, I64, F64, i64, I64]),
    "matupd": (None, [i64, i64, F64, F64, F64, F64, F64, F64, I64, I64, I64, I64, F64,
                      f64, f64]),
    "formt": (None, [i64, F64, F64, F64, i64, f64, I64]),
    "bmv": (None, [i64, F64, F64, i64, F64, F64, I64]),
    "dcstep": (None, [F64, F64, F64, F64, F64, F64, F64, f64, f64, I64, f64, f64]),
    "crv_shim_dcopy": (None, [_I64P, F64, _I64P, F64, _I64P]),
    "crv_shim_daxpy": (None, [_I64P, _F64P, F64, _I64P, F64, _I64P]),
    "crv_shim_dscal": (None, [_I64P, _F64P, F64, _I64P]),
    "crv_shim_ddot": (f64, [_I64P, F64, _I64P, F64, _I64P]),
    "crv_shim_dnrm2": (f64, [_I64P, F64, _I64P]),
    "crv_shim_dpotrf": (None, [_CHARP, _I64P, F64, _I64P, I64]),
    "crv_shim_dtrtrs": (None, [_CHARP, _CHARP, _CHARP, _I64P, _I64P, F64, _I64P, F64,
                               _I64P, I64]),
}
