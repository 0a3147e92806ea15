"""Model solution: model and solution records, kernels, LAPACK pointers.

`lapack_pointers()` returns the addresses of SciPy's `zgges`, `dgeqrf` and
`dormqr` (from the `scipy.linalg.cython_lapack` capsules) for the LAPACK
fields of `crv_klein_model`.
"""

import ctypes

from ._types import F64, I64, U8, arena_size_t, f64, i32, i64, void_p

_dp = ctypes.POINTER(ctypes.c_double)

# Model callbacks: six pointers to interleaved complex (bicomplex) arrays.
residual_fn = ctypes.CFUNCTYPE(None, void_p, void_p, void_p, void_p, void_p, void_p)
spike_fn = ctypes.CFUNCTYPE(i64, i64, i64, i64, i64)


class crv_klein_model(ctypes.Structure):
    _fields_ = [
        ("residual", void_p),
        ("zgges", void_p),
        ("dgeqrf", void_p),
        ("dormqr", void_p),
        ("x_guess", _dp),
        ("params", _dp),
        ("flags", ctypes.POINTER(ctypes.c_uint8)),
        ("n", i64),
        ("nx", i64),
        ("ny", i64),
        ("m", i64),
        ("p", i64),
        ("hessian", void_p),
        ("sigma", _dp),
    ]


KLEIN_SOLUTION_ARRAYS = ("ss", "j_lead", "j_cur", "j_lag", "j_shock", "qz_a", "qz_b", "qz_z",
                         "gx", "hx", "eig")


class crv_klein_solution(ctypes.Structure):
    _fields_ = [(name, _dp) for name in KLEIN_SOLUTION_ARRAYS] + [
        ("bk", i64),
        ("transition", _dp),
        ("impact", _dp),
        ("order", ctypes.POINTER(ctypes.c_int64)),
        ("n_static", i64),
        ("n_pred", i64),
        ("n_mixed", i64),
        ("n_fwd", i64),
    ]


SECOND_ORDER_FIELDS = ("hess", "eta", "g_xx", "h_xx", "g_xe", "h_xe", "g_ee", "h_ee",
                       "g_ss", "h_ss")


class crv_klein_second_order(ctypes.Structure):
    _fields_ = [(name, _dp) for name in SECOND_ORDER_FIELDS]


class crv_pencil_dim_t(ctypes.Structure):
    _fields_ = [("N", i64), ("n", i64)]


RECORDS = {
    "crv_klein_model": crv_klein_model,
    "crv_klein_solution": crv_klein_solution,
    "crv_klein_second_order": crv_klein_second_order,
    "crv_pencil_dim_t": crv_pencil_dim_t,
}

_M = ctypes.POINTER(crv_klein_model)
_S = ctypes.POINTER(crv_klein_solution)
_S2 = ctypes.POINTER(crv_klein_second_order)
_i64p = ctypes.POINTER(ctypes.c_int64)

SIGNATURES = {
    "crv_newton_arena_size": (arena_size_t, [i64, i64, i64]),
    "crv_steady_state_newton": (i64, [void_p, F64, F64, i64, i64, i64, i64, F64, f64, _i64p,
                                      F64, I64]),
    "crv_residual_path": (i64, [void_p, F64, F64, F64, F64, F64, i64, i64, i64, i64, F64]),
    "spike_call": (i64, [void_p, i64, i64, i64, i64]),
    "klein_preproc_arena_size": (arena_size_t, [i64, i64, i64, i64]),
    "klein_preproc": (None, [void_p, F64, F64, i64, i64, i64, i64, F64, F64, F64, F64, F64]),
    "crv_pencil_partition": (i64, [U8, i64, I64, _i64p, _i64p, _i64p, _i64p]),
    "crv_pencil_dim": (crv_pencil_dim_t, [U8, i64]),
    "crv_pencil_rotate_arena_size": (arena_size_t, [i64, i64, i64]),
    "crv_pencil_rotate_static": (i64, [void_p, void_p, F64, I64, i64, i64,
                                       ctypes.POINTER(_dp), I64, i64, F64]),
    "crv_pencil_assemble": (None, [F64, F64, F64, I64, i64, i64, i64, i64, i64, F64, F64]),
    "crv_klein_linearize": (i64, [_M, _S, F64, I64]),
    "klein_ouc": (i32, [F64, F64]),
    "klein_qz_arena_size": (arena_size_t, [i64]),
    "klein_qz": (i64, [void_p, i64, F64, F64, F64, F64, I64]),
    "klein_postproc_arena_size": (arena_size_t, [i64, i64]),
    "klein_postproc": (i64, [F64, F64, F64, i64, i64, F64, F64, _i64p, F64, F64, I64]),
    "crv_assemble_transition": (None, [F64, F64, i64, i64, F64]),
    "crv_klein_solve1_arena_size": (arena_size_t, [i64, i64, i64, i64, i64, i64]),
    "crv_klein_from_pencil": (i64, [_M, _S, F64, I64]),
    "crv_klein_solve1": (i64, [_M, _S, F64, I64]),
    "crv_bicomplex_hessian_arena_size": (arena_size_t, [i64, i64, i64, i64]),
    "crv_bicomplex_hessian": (None, [void_p, F64, F64, i64, i64, i64, i64, F64, F64]),
    "crv_contract2": (None, [F64, F64, i64, F64, i64, i64, i64, F64, F64]),
    "crv_second_order_arena_size": (arena_size_t, [i64, i64, i64]),
    "crv_second_order": (i64, [F64, F64, F64, F64, F64, F64, F64, i64, i64, i64,
                               F64, F64, F64, F64, F64, F64, F64, F64, F64, I64]),
    "crv_sgu_klein_solve2_arena_size": (arena_size_t, [i64, i64, i64, i64, i64, i64]),
    "crv_sgu_klein_solve2": (i64, [_M, _S, _S2, F64, I64]),
}


def _capsule_pointer(capsule):
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype = ctypes.c_char_p
    get_name.argtypes = [ctypes.py_object]
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    return get_pointer(capsule, get_name(capsule))


def lapack_pointers():
    """Addresses of SciPy's LAPACK zgges, dgeqrf, dormqr as a dict."""
    from scipy.linalg import cython_lapack

    capi = cython_lapack.__pyx_capi__
    return {name: _capsule_pointer(capi[name]) for name in ("zgges", "dgeqrf", "dormqr")}
