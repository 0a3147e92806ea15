"""Statistical tests and HAC: residual diagnostics, stability tests, HAC Wald
tests, and the read-only Jarque-Bera and kernel tables.

The statistics kernels return 32-bit status codes; `STATUS` names them.
`tables(lib)` reads the library's read-only tables (crv_stat_table) into
NumPy arrays.
"""

import ctypes

import numpy as np

from ._types import F64, In, Out, I64, arena_size_t, f64, i32, i64
from .status import STATUS as _STATUS

# The CRV_STAT_* codes of status.def, by their names without the prefix.
STATUS = {name.removeprefix("CRV_STAT_").lower(): code for name, code in _STATUS.items()
          if name.startswith("CRV_STAT_")}

KERNELS = {"bartlett": 0, "parzen": 1, "quadratic_spectral": 2, "none": 3}
RULES = {"fixed": 0, "floor": 1, "plug_in": 2, "floor_or_plug_in": 3}

# Read-only tables: name -> shape.
TABLES = {
    "_JB_N_GRID": (15,),
    "_JB_PVAL_GRID": (23,),
    "_JB_CV": (23, 15),
    "_KERNEL_SPECS": (4, 2),
}


def tables(lib):
    """Copies of the library's read-only tables, keyed by name."""
    out = {}
    for name, shape in TABLES.items():
        count = int(np.prod(shape))
        data = lib.crv_stat_table(name.encode(), None, None)
        out[name] = np.ctypeslib.as_array(data, shape=(count,)).copy().reshape(shape)
    return out


RECORDS = {}

SIGNATURES = {
    # residual diagnostics
    "crv_bg_arena_size": (arena_size_t, [i64, i64, i64]),
    "crv_bg_stat": (i32, [In(F64, "e"), In(F64, "X"), i64, i64, i64, Out(F64, "arena"),
                          Out(F64, "out")]),
    "crv_bp_arena_size": (arena_size_t, [i64, i64]),
    "crv_bp_aux": (i32, [In(F64, "e"), In(F64, "Z"), i64, i64, Out(F64, "arena"),
                         Out(F64, "ssr"), Out(F64, "tss")]),
    "crv_bp_stat": (i32, [In(F64, "e"), In(F64, "Z"), i64, i64, i64, Out(F64, "arena"),
                          Out(F64, "out")]),
    "crv_acorr": (i32, [In(F64, "x"), i64, i64, Out(F64, "d"), Out(F64, "acf")]),
    "crv_lb_arena_size": (arena_size_t, [i64, i64]),
    "crv_lb_stat": (i32, [In(F64, "x"), i64, i64, Out(F64, "d"), Out(F64, "acf"), Out(F64, "out")]),
    "crv_jb_stat": (i32, [In(F64, "x"), i64, Out(F64, "out")]),
    "crv_jb_pval_interp": (f64, [i64, f64]),
    "crv_jb_isf_interp": (f64, [i64, f64]),
    "crv_jb_pval_interp_into": (None, [i64, In(F64, "values"), i64, Out(F64, "out")]),
    "crv_jb_isf_interp_into": (None, [i64, In(F64, "values"), i64, Out(F64, "out")]),
    "crv_jb_find_hilo_ascending": (None, [In(F64, "values"), i64, Out(I64, "lo"), Out(I64, "hi"),
                                          f64]),
    "crv_jb_find_hilo_descending": (None, [In(F64, "values"), i64, Out(I64, "lo"),
                                           Out(I64, "hi"), f64]),
    "crv_stat_table": (ctypes.POINTER(f64), [ctypes.c_char_p, Out(I64, "rows"), Out(I64, "cols")]),
    # stability tests
    "crv_chow_arena_size": (arena_size_t, [i64]),
    "crv_chow_stat": (i32, [In(F64, "y"), In(F64, "X"), i64, i64, i64, Out(F64, "arena"),
                            Out(F64, "out")]),
    "crv_recursive_residuals": (i32, [In(F64, "y"), In(F64, "X"), i64, i64, Out(F64, "arena"),
                                      Out(F64, "w")]),
    "crv_cusum_series": (i32, [In(F64, "y"), In(F64, "X"), i64, i64, Out(F64, "arena"),
                               Out(F64, "W")]),
    "crv_cusum_arena_size": (arena_size_t, [i64, i64]),
    "crv_cusum_stat": (i32, [In(F64, "y"), In(F64, "X"), i64, i64, Out(F64, "arena"),
                             Out(F64, "out")]),
    "crv_cusumsq_arena_size": (arena_size_t, [i64, i64]),
    "crv_cusumsq_stat": (i32, [In(F64, "y"), In(F64, "X"), i64, i64, Out(I64, "m"),
                               Out(F64, "arena"), Out(F64, "out")]),
    "crv_cusum_sf": (f64, [f64]),
    "crv_cusum_sf_into": (None, [In(F64, "x"), i64, Out(F64, "out")]),
    # HAC and Wald tests
    "kernel_weight": (f64, [i64, i64, i32]),
    "wooldridge_bandwidth": (i64, [In(F64, "x"), i64]),
    "andrews_bandwidth": (i64, [In(F64, "x"), i32, i64]),
    "andrews_bandwidth_matrix": (i64, [In(F64, "X"), i32, i64, i64, Out(F64, "work")]),
    "crv_fill_mean_ax0": (None, [In(F64, "X"), i64, i64, Out(F64, "mean")]),
    "crv_fill_centered_ax0": (None, [In(F64, "X"), In(F64, "mean"), i64, i64, Out(F64, "out")]),
    "crv_hac_estimator_matmul": (None, [In(F64, "X"), i32, i64, i64, i64, Out(F64, "work"),
                                        Out(F64, "S")]),
    "crv_wald_stat_from_mean_and_cov": (i32, [In(F64, "mean"), In(F64, "mu0"), In(F64, "S"), i64,
                                              i64, Out(F64, "d"), Out(F64, "F"), Out(I64, "piv"),
                                              Out(F64, "z"), Out(F64, "out")]),
    "crv_wald_mean_hac_arena_size": (arena_size_t, [i64, i64]),
    "crv_wald_mean_hac": (i32, [In(F64, "X"), In(F64, "mu0"), i64, i64, i32, i32, i64,
                                Out(F64, "arena"), Out(I64, "iarena"), Out(F64, "out")]),
    "crv_wald_covariance_hac_arena_size": (arena_size_t, [i64, i64]),
    "crv_wald_covariance_hac": (i32, [In(F64, "X"), In(F64, "Sigma0"), i64, i64, i32, i32, i64,
                                      Out(F64, "arena"), Out(I64, "iarena"), Out(F64, "out")]),
    "crv_fill_symmetric_target_vec": (i32, [In(F64, "A"), i64, Out(F64, "out"), f64, f64]),
    "crv_symmetric_outer_prod_2dim": (None, [In(F64, "X"), i64, i64, i64, Out(F64, "out")]),
    "crv_wald_second_moment_hac_arena_size": (arena_size_t, [i64, i64]),
    "crv_wald_second_moment_hac": (i32, [In(F64, "X"), In(F64, "Sigma0"), i64, i64, i32, i32,
                                         i64, Out(F64, "arena"), Out(I64, "iarena"),
                                         Out(F64, "out")]),
}
