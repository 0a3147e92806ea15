"""Dense linear algebra: real and complex kernels, LU records, normal quantile;
the record-layout table every library exports."""

import ctypes

from ._types import F64, I64, In, Out, arena_size_t, f64, i64


class crv_lu_t(ctypes.Structure):
    _fields_ = [
        ("lu", ctypes.POINTER(ctypes.c_double)),
        ("piv", ctypes.POINTER(ctypes.c_int64)),
        ("n", i64),
        ("status", i64),
    ]


class c128_lu_t(ctypes.Structure):
    _fields_ = crv_lu_t._fields_


class crv_record_field(ctypes.Structure):
    """A row of crv_record_layout: a record (field None, its size) or a field."""

    _fields_ = [
        ("record", ctypes.c_char_p),
        ("field", ctypes.c_char_p),
        ("offset", i64),
        ("size", i64),
    ]


RECORDS = {"crv_arena_size_t": arena_size_t, "crv_record_field": crv_record_field,
           "crv_lu_t": crv_lu_t, "c128_lu_t": c128_lu_t}

RECORD_LAYOUT = (ctypes.POINTER(crv_record_field), [Out(I64, "n_rows")])

SIGNATURES = {
    "crv_record_layout": RECORD_LAYOUT,
    "crv_zero_mat": (None, [Out(F64, "A"), i64, i64]),
    "crv_sym_inplace": (None, [Out(F64, "A"), i64]),
    "crv_matmul": (None, [In(F64, "A"), In(F64, "B"), Out(F64, "C"), i64, i64, i64]),
    "crv_matmul_atb": (None, [In(F64, "A"), In(F64, "B"), Out(F64, "C"), i64, i64, i64]),
    "crv_matmul_abt": (None, [In(F64, "A"), In(F64, "B"), Out(F64, "C"), i64, i64, i64]),
    "crv_matmul_abt_plus_c": (None, [In(F64, "A"), In(F64, "B"), In(F64, "C_in"),
                                     Out(F64, "C_out"), i64, i64, i64]),
    "crv_matvec": (None, [In(F64, "A"), In(F64, "x"), Out(F64, "y"), i64, i64]),
    "crv_matvec_plus_vec": (None, [In(F64, "A"), In(F64, "x"), In(F64, "b"), Out(F64, "y"), i64,
                                   i64]),
    "crv_vsub": (None, [In(F64, "a"), In(F64, "b"), Out(F64, "out"), i64]),
    "crv_dot": (f64, [In(F64, "a"), In(F64, "b"), i64]),
    "crv_logdet_from_chol": (f64, [In(F64, "L"), i64]),
    "crv_chol": (i64, [In(F64, "A"), Out(F64, "L"), i64, f64]),
    "crv_forward_subst": (None, [In(F64, "L"), In(F64, "b"), Out(F64, "x"), i64]),
    "crv_backward_subst_chol_t": (None, [In(F64, "L"), In(F64, "b"), Out(F64, "x"), i64]),
    "crv_gram": (None, [In(F64, "X"), Out(F64, "G"), i64, i64]),
    "crv_gram_rhs": (None, [In(F64, "X"), In(F64, "y"), Out(F64, "g"), i64, i64]),
    "crv_chol_solve": (i64, [In(F64, "A"), In(F64, "b"), Out(F64, "x"), Out(F64, "L"), i64]),
    "crv_chol_inv": (i64, [In(F64, "A"), Out(F64, "A_inv"), Out(F64, "L"), i64]),
    "crv_sort_f64": (None, [Out(F64, "x"), i64]),
    "crv_median_f64": (f64, [Out(F64, "x"), i64]),
    "crv_lu_factor_inplace": (i64, [Out(F64, "A"), Out(I64, "piv"), i64]),
    "crv_lu_factor": (crv_lu_t, [In(F64, "A"), i64]),
    "crv_lu_free": (None, [ctypes.POINTER(crv_lu_t)]),
    "crv_lu_solve": (None, [In(F64, "LU"), In(I64, "piv"), In(F64, "B"), Out(F64, "X"), i64, i64]),
    "crv_solve": (i64, [In(F64, "A"), In(F64, "B"), i64, i64, Out(F64, "X")]),
    "crv_inv": (i64, [In(F64, "A"), i64, Out(F64, "A_inv")]),
    "c128_matmul": (None, [In(F64, "A"), In(F64, "B"), i64, i64, i64, Out(F64, "C")]),
    "c128_lu_factor_inplace": (i64, [Out(F64, "A"), Out(I64, "piv"), i64]),
    "c128_lu_factor": (c128_lu_t, [In(F64, "A"), i64]),
    "c128_lu_free": (None, [ctypes.POINTER(c128_lu_t)]),
    "c128_lu_solve": (None, [In(F64, "LU"), In(I64, "piv"), In(F64, "B"), Out(F64, "X"), i64, i64]),
    "c128_solve": (i64, [In(F64, "A"), In(F64, "B"), i64, i64, Out(F64, "X")]),
    "c128_inv": (i64, [In(F64, "A"), i64, Out(F64, "A_inv")]),
    "crv_ndtri_as241": (f64, [f64]),
    "crv_ndtri_as241_into": (None, [In(F64, "p"), i64, Out(F64, "out")]),
    "crv_erfinv_from_as241": (f64, [f64]),
}
