"""Model solution: model and solution records, kernels, LAPACK pointers.

`lapack_pointers()` returns the addresses of SciPy's `zgges`, `dgeqrf` and
`dormqr` (from the `scipy.linalg.cython_lapack` capsules) for the LAPACK
fields of `crv_klein_model`; `lapack_pointers(("dgees",))` the one of
`crv_dlyap_lapack`.
"""

import ctypes

from ._types import F64, In, Out, I64, U8, arena_size_t, f64, i32, i64, void_p

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
    "crv_steady_state_newton": (i64, [void_p, In(F64, "x_init"), In(F64, "params"), i64, i64,
                                      i64, i64, Out(F64, "x_out"), f64, Out(I64, "iter_out"),
                                      Out(F64, "dwork"), Out(I64, "iwork")]),
    "crv_residual_path": (i64, [void_p, In(F64, "X_cur"), In(F64, "X_lead"), In(F64, "X_lag"),
                                In(F64, "E"), In(F64, "params"), i64, i64, i64, i64,
                                Out(F64, "out")]),
    "spike_call": (i64, [void_p, i64, i64, i64, i64]),
    "klein_preproc_arena_size": (arena_size_t, [i64, i64, i64, i64]),
    "klein_preproc": (None, [void_p, In(F64, "x"), In(F64, "params"), i64, i64, i64, i64,
                             Out(F64, "J_lead"), Out(F64, "J_cur"), Out(F64, "J_lag"),
                             Out(F64, "J_shock"), Out(F64, "dwork")]),
    "crv_pencil_partition": (i64, [In(U8, "flags"), i64, Out(I64, "order"), Out(I64, "n_static"),
                                   Out(I64, "n_pred"), Out(I64, "n_mixed"), Out(I64, "n_fwd")]),
    "crv_pencil_dim": (crv_pencil_dim_t, [In(U8, "flags"), i64]),
    "crv_pencil_rotate_arena_size": (arena_size_t, [i64, i64, i64]),
    "crv_pencil_rotate_static": (i64, [void_p, void_p, In(F64, "Bmat"), In(I64, "order"), i64,
                                       i64, ctypes.POINTER(_dp), In(I64, "ncols"), i64,
                                       Out(F64, "dwork")]),
    "crv_pencil_assemble": (None, [In(F64, "A"), In(F64, "B"), In(F64, "C"), In(I64, "order"),
                                   i64, i64, i64, i64, i64, Out(F64, "P_cur"), Out(F64, "P_lead")]),
    "crv_klein_linearize": (i64, [_M, _S, Out(F64, "dwork"), Out(I64, "iwork")]),
    "klein_ouc": (i32, [In(F64, "alpha"), In(F64, "beta")]),
    "klein_qz_arena_size": (arena_size_t, [i64]),
    "klein_qz": (i64, [void_p, i64, Out(F64, "A"), Out(F64, "B"), Out(F64, "VSR"),
                       Out(F64, "dwork"), Out(I64, "iwork")]),
    "klein_postproc_arena_size": (arena_size_t, [i64, i64]),
    "klein_postproc": (i64, [In(F64, "S"), In(F64, "T"), In(F64, "Z"), i64, i64,
                             Out(F64, "gx_c"), Out(F64, "hx_c"), Out(I64, "bk"), Out(F64, "eig"),
                             Out(F64, "dwork"), Out(I64, "iwork")]),
    "crv_assemble_transition": (None, [In(F64, "hx"), In(F64, "gx"), i64, i64, Out(F64, "T")]),
    "crv_klein_solve1_arena_size": (arena_size_t, [i64, i64, i64, i64, i64, i64]),
    "crv_klein_from_pencil": (i64, [_M, _S, Out(F64, "dwork"), Out(I64, "iwork")]),
    "crv_klein_solve1": (i64, [_M, _S, Out(F64, "dwork"), Out(I64, "iwork")]),
    "crv_bicomplex_hessian_arena_size": (arena_size_t, [i64, i64, i64, i64]),
    "crv_bicomplex_hessian": (None, [void_p, In(F64, "x"), In(F64, "params"), i64, i64, i64, i64,
                                     Out(F64, "hess"), Out(F64, "dwork")]),
    "crv_contract2": (None, [In(F64, "H"), In(F64, "A"), i64, In(F64, "B"), i64, i64, i64,
                             Out(F64, "tmp"), Out(F64, "out")]),
    "crv_second_order_arena_size": (arena_size_t, [i64, i64, i64]),
    "crv_second_order": (i64, [In(F64, "j_lead"), In(F64, "j_cur"), In(F64, "hess"),
                               In(F64, "gx"), In(F64, "hx"), In(F64, "impact"), In(F64, "sigma"),
                               i64, i64, i64, Out(F64, "g_xx"), Out(F64, "h_xx"),
                               Out(F64, "g_xe"), Out(F64, "h_xe"), Out(F64, "g_ee"),
                               Out(F64, "h_ee"), Out(F64, "g_ss"), Out(F64, "h_ss"),
                               Out(F64, "dwork"), Out(I64, "iwork")]),
    "crv_sgu_klein_solve2_arena_size": (arena_size_t, [i64, i64, i64, i64, i64, i64]),
    "crv_sgu_klein_solve2": (i64, [_M, _S, _S2, Out(F64, "dwork"), Out(I64, "iwork")]),
}


def _capsule_pointer(capsule):
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype = ctypes.c_char_p
    get_name.argtypes = [ctypes.py_object]
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    return get_pointer(capsule, get_name(capsule))


def lapack_pointers(names=("zgges", "dgeqrf", "dormqr")):
    """Addresses of SciPy's LAPACK routines `names` (by default zgges, dgeqrf,
    dormqr; dgees for crv_dlyap_lapack) as a dict."""
    from scipy.linalg import cython_lapack

    capi = cython_lapack.__pyx_capi__
    return {name: _capsule_pointer(capi[name]) for name in names}
