"""Dense linear algebra: real and complex kernels, LU records, normal quantile."""

import ctypes

from ._types import F64, I64, f64, i64


class crv_lu_t(ctypes.Structure):
    _fields_ = [
        ("lu", ctypes.POINTER(ctypes.c_double)),
        ("piv", ctypes.POINTER(ctypes.c_int64)),
        ("n", i64),
        ("status", i64),
    ]


class c128_lu_t(ctypes.Structure):
    _fields_ = crv_lu_t._fields_


RECORDS = {"crv_lu_t": crv_lu_t, "c128_lu_t": c128_lu_t}

SIGNATURES = {
    "crv_zero_mat": (None, [F64, i64, i64]),
    "crv_sym_inplace": (None, [F64, i64]),
    "crv_matmul": (None, [F64, F64, F64, i64, i64, i64]),
    "crv_matmul_atb": (None, [F64, F64, F64, i64, i64, i64]),
    "crv_matmul_abt": (None, [F64, F64, F64, i64, i64, i64]),
    "crv_matmul_abt_plus_c": (None, [F64, F64, F64, F64, i64, i64, i64]),
    "crv_matvec": (None, [F64, F64, F64, i64, i64]),
    "crv_matvec_plus_vec": (None, [F64, F64, F64, F64, i64, i64]),
    "crv_vsub": (None, [F64, F64, F64, i64]),
    "crv_dot": (f64, [F64, F64, i64]),
    "crv_logdet_from_chol": (f64, [F64, i64]),
    "crv_chol": (i64, [F64, F64, i64, f64]),
    "crv_forward_subst": (None, [F64, F64, F64, i64]),
    "crv_backward_subst_chol_t": (None, [F64, F64, F64, i64]),
    "crv_gram": (None, [F64, F64, i64, i64]),
    "crv_gram_rhs": (None, [F64, F64, F64, i64, i64]),
    "crv_chol_solve": (i64, [F64, F64, F64, F64, i64]),
    "crv_chol_inv": (i64, [F64, F64, F64, i64]),
    "crv_sort_f64": (None, [F64, i64]),
    "crv_median_f64": (f64, [F64, i64]),
    "crv_lu_factor_inplace": (i64, [F64, I64, i64]),
    "crv_lu_factor": (crv_lu_t, [F64, i64]),
    "crv_lu_free": (None, [ctypes.POINTER(crv_lu_t)]),
    "crv_lu_solve": (None, [F64, I64, F64, F64, i64, i64]),
    "crv_solve": (i64, [F64, F64, i64, i64, F64]),
    "crv_inv": (i64, [F64, i64, F64]),
    "c128_matmul": (None, [F64, F64, i64, i64, i64, F64]),
    "c128_lu_factor_inplace": (i64, [F64, I64, i64]),
    "c128_lu_factor": (c128_lu_t, [F64, i64]),
    "c128_lu_free": (None, [ctypes.POINTER(c128_lu_t)]),
    "c128_lu_solve": (None, [F64, I64, F64, F64, i64, i64]),
    "c128_solve": (i64, [F64, F64, i64, i64, F64]),
    "c128_inv": (i64, [F64, i64, F64]),
    "crv_ndtri_as241": (f64, [f64]),
    "crv_ndtri_as241_into": (None, [F64, i64, F64]),
    "crv_erfinv_from_as241": (f64, [f64]),
}
