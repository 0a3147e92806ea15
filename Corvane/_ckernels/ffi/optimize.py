"""Optimisers: records, objective callback type and kernels."""

import ctypes

from ._types import F64, In, Out, I64, f64, i32, i64, void_p

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
    "crv_neldermead": (i64, [crv_opt_fn, void_p, i64, Out(F64, "x"), In(F64, "lower"),
                             In(F64, "upper"), In(I64, "bound_types"),
                             ctypes.POINTER(crv_nm_options), _RES]),
    "crv_lbfgsb": (i64, [crv_opt_fn, void_p, i64, Out(F64, "x"), In(F64, "lower"),
                         In(F64, "upper"), In(I64, "bound_types"),
                         ctypes.POINTER(crv_lbfgsb_options), _RES]),
    "setulb": (None, [i64, i64, Out(F64, "x"), In(F64, "l"), In(F64, "u"), In(I64, "nbd"),
                      Out(F64, "f"), Out(F64, "g"), f64, f64, Out(F64, "wa"), Out(I64, "iwa"),
                      Out(I64, "task"), Out(I64, "lsave"), Out(I64, "isave"), Out(F64, "dsave"),
                      i64, Out(I64, "ln_task")]),
    "matupd": (None, [i64, i64, Out(F64, "ws"), Out(F64, "wy"), Out(F64, "sy"), Out(F64, "ss"),
                      In(F64, "s"), In(F64, "y"), Out(I64, "itail"), Out(I64, "iupdat"),
                      Out(I64, "col"), Out(I64, "head"), Out(F64, "theta"), f64, f64]),
    "formt": (None, [i64, Out(F64, "wt"), In(F64, "sy"), In(F64, "ss"), i64, f64,
                     Out(I64, "info")]),
    "bmv": (None, [i64, In(F64, "sy"), In(F64, "wt"), i64, In(F64, "v"), Out(F64, "p"),
                   Out(I64, "info")]),
    "dcstep": (None, [Out(F64, "stx"), Out(F64, "fx"), Out(F64, "dx"), Out(F64, "sty"),
                      Out(F64, "fy"), Out(F64, "dy"), Out(F64, "stp"), f64, f64,
                      Out(I64, "brackt"), f64, f64]),
    "crv_shim_dcopy": (None, [In(I64, "n"), In(F64, "x"), In(I64, "incx"), Out(F64, "y"),
                              In(I64, "incy")]),
    "crv_shim_daxpy": (None, [In(I64, "n"), In(F64, "a"), In(F64, "x"), In(I64, "incx"),
                              Out(F64, "y"), In(I64, "incy")]),
    "crv_shim_dscal": (None, [In(I64, "n"), In(F64, "a"), Out(F64, "x"), In(I64, "incx")]),
    "crv_shim_ddot": (f64, [In(I64, "n"), In(F64, "x"), In(I64, "incx"), In(F64, "y"),
                            In(I64, "incy")]),
    "crv_shim_dnrm2": (f64, [In(I64, "n"), In(F64, "x"), In(I64, "incx")]),
    "crv_shim_dpotrf": (None, [_CHARP, In(I64, "n"), Out(F64, "A"), In(I64, "lda"),
                               Out(I64, "info")]),
    "crv_shim_dtrtrs": (None, [_CHARP, _CHARP, _CHARP, In(I64, "n"), In(I64, "nrhs"),
                               In(F64, "A"), In(I64, "lda"), Out(F64, "B"), In(I64, "ldb"),
                               Out(I64, "info")]),
}
