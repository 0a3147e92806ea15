"""Monte Carlo data transforms and test runners: transform kernels, their
size functions, the runner context records and the runners.

Runners are declared with the crv_mc_runner argument types; to put one in a
stage, cast it: `ctypes.cast(lib.crv_mc_log_runner, mc.crv_mc_runner)`.
"""

import ctypes

from ._types import F64, In, Out, arena_size_t, f64, i32, i64
from .mc import RUNNER_ARGS
from .status import STATUS

CRV_TRANSFORM_INVALID = STATUS["CRV_TRANSFORM_INVALID"]

# int32 fn(double *input, double *out, int64 word1, ..., int64 word4)
crv_mc_user_transform_fn = ctypes.CFUNCTYPE(
    i32, ctypes.POINTER(ctypes.c_double), ctypes.POINTER(ctypes.c_double), i64, i64, i64, i64)


class crv_mc_standardize_ctx(ctypes.Structure):
    _fields_ = [("T", i64), ("k", i64), ("ddof", i64)]


class crv_mc_log_ctx(ctypes.Structure):
    _fields_ = [("T", i64), ("k", i64), ("shift", f64)]


class crv_mc_diff_ctx(ctypes.Structure):
    _fields_ = [("T", i64), ("k", i64), ("order", i64)]


class crv_mc_rolling_mean_ctx(ctypes.Structure):
    _fields_ = [("T", i64), ("k", i64), ("window", i64)]


class crv_mc_rolling_var_ctx(ctypes.Structure):
    _fields_ = [("T", i64), ("k", i64), ("window", i64), ("ddof", i64)]


class crv_mc_user_transform_ctx(ctypes.Structure):
    _fields_ = [("fn", crv_mc_user_transform_fn), ("word1", i64), ("word2", i64),
                ("word3", i64), ("word4", i64)]


class crv_mc_wald_test_ctx(ctypes.Structure):
    _fields_ = [("target", ctypes.POINTER(ctypes.c_double)), ("T", i64), ("k", i64),
                ("bw", i64), ("code", i32), ("rule", i32), ("kind", i32)]


class crv_mc_ljung_box_test_ctx(ctypes.Structure):
    _fields_ = [("T", i64), ("lags", i64)]


class crv_mc_jarque_bera_test_ctx(ctypes.Structure):
    _fields_ = [("T", i64)]


class crv_mc_breusch_pagan_test_ctx(ctypes.Structure):
    _fields_ = [("T", i64), ("k", i64), ("option", i32)]


class crv_mc_breusch_godfrey_test_ctx(ctypes.Structure):
    _fields_ = [("T", i64), ("k", i64), ("lags", i64)]


class crv_mc_cusum_test_ctx(ctypes.Structure):
    _fields_ = [("T", i64), ("k", i64)]


class crv_mc_chow_test_ctx(ctypes.Structure):
    _fields_ = [("T", i64), ("k", i64), ("break_point", i64)]


RECORDS = {
    cls.__name__: cls
    for cls in (crv_mc_standardize_ctx, crv_mc_log_ctx, crv_mc_diff_ctx, crv_mc_rolling_mean_ctx,
                crv_mc_rolling_var_ctx, crv_mc_user_transform_ctx, crv_mc_wald_test_ctx,
                crv_mc_ljung_box_test_ctx, crv_mc_jarque_bera_test_ctx,
                crv_mc_breusch_pagan_test_ctx, crv_mc_breusch_godfrey_test_ctx,
                crv_mc_cusum_test_ctx, crv_mc_chow_test_ctx)
}

TRANSFORM_RUNNERS = (
    "crv_mc_standardize_runner",
    "crv_mc_log_runner",
    "crv_mc_log_diff_runner",
    "crv_mc_diff_runner",
    "crv_mc_rolling_mean_runner",
    "crv_mc_rolling_var_runner",
    "crv_mc_rolling_std_runner",
    "crv_mc_user_transform_runner",
)
TEST_RUNNERS = (
    "crv_mc_wald_test_runner",
    "crv_mc_ljung_box_test_runner",
    "crv_mc_jarque_bera_test_runner",
    "crv_mc_breusch_pagan_test_runner",
    "crv_mc_breusch_godfrey_test_runner",
    "crv_mc_cusum_test_runner",
    "crv_mc_cusumsq_test_runner",
    "crv_mc_chow_test_runner",
)

SIGNATURES = {
    "crv_standardize_ax0": (i64, [In(F64, "X"), i64, i64, i64, Out(F64, "buf"), Out(F64, "out")]),
    "crv_standardize_ax0_arena_size": (arena_size_t, [i64, i64]),
    "crv_log": (i64, [In(F64, "X"), i64, i64, Out(F64, "out"), f64]),
    "crv_log_arena_size": (arena_size_t, [i64, i64]),
    "crv_log_diff": (i64, [In(F64, "X"), i64, i64, Out(F64, "prev"), Out(F64, "out"), f64]),
    "crv_log_diff_arena_size": (arena_size_t, [i64, i64]),
    "crv_diff": (i64, [In(F64, "X"), i64, i64, i64, Out(F64, "state"), Out(F64, "out")]),
    "crv_diff_arena_size": (arena_size_t, [i64, i64, i64]),
    "crv_rolling_mean": (i64, [In(F64, "X"), i64, i64, i64, Out(F64, "buf"), Out(F64, "out")]),
    "crv_rolling_mean_arena_size": (arena_size_t, [i64, i64]),
    "crv_rolling_var": (i64, [In(F64, "X"), i64, i64, i64, i64, Out(F64, "buf"), Out(F64, "out")]),
    "crv_rolling_var_arena_size": (arena_size_t, [i64, i64]),
    "crv_rolling_std": (i64, [In(F64, "X"), i64, i64, i64, i64, Out(F64, "buf"), Out(F64, "out")]),
    "crv_rolling_std_arena_size": (arena_size_t, [i64, i64]),
    **{name: (i32, RUNNER_ARGS) for name in TRANSFORM_RUNNERS + TEST_RUNNERS},
}
