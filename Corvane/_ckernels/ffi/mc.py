"""Monte Carlo driver: job, stage, binding and shock records and kernels."""

import ctypes

from ._types import F64, f64, i32, i64

u64 = ctypes.c_uint64
_dp = ctypes.POINTER(ctypes.c_double)
_ip = ctypes.POINTER(ctypes.c_int64)

CRV_MC_INVALID = -1201

# int32 runner(int64 rep, double *input, double *out, double *work,
#              int64 *iout, void *ctx)
crv_mc_runner = ctypes.CFUNCTYPE(i32, i64, _dp, _dp, _dp, _ip, ctypes.c_void_p)


class crv_mc_binding(ctypes.Structure):
    _fields_ = [
        ("source", i64),
        ("src_offset", i64),
        ("src_row_len", i64),
        ("src_row0", i64),
        ("n_rows", i64),
        ("cols", _ip),
        ("n_cols", i64),
        ("dst_offset", i64),
        ("dst_stride", i64),
        ("fill", f64),
        ("table", _dp),
        ("table_rep_stride", i64),
        ("per_rep", i32),
    ]


class crv_mc_stage(ctypes.Structure):
    _fields_ = [
        ("runner", crv_mc_runner),
        ("input_base", _dp),
        ("work_base", _dp),
        ("out_base", _dp),
        ("iout_base", _ip),
        ("results", _dp),
        ("iresults", _ip),
        ("row_map", _ip),
        ("in_words", i64),
        ("work_words", i64),
        ("out_words", i64),
        ("iout_words", i64),
        ("out_count", i64),
        ("iout_count", i64),
        ("ctx", ctypes.c_void_p),
        ("bindings", ctypes.POINTER(crv_mc_binding)),
        ("n_bindings", i64),
    ]


class crv_mc_job(ctypes.Structure):
    _fields_ = [
        ("stages", ctypes.POINTER(crv_mc_stage)),
        ("n_stages", i64),
        ("n_reps", i64),
        ("n_threads", i64),
        ("stop_on_error", i32),
        ("halted", i64),
        ("first_failed_rep", i64),
        ("first_failed_stage", i64),
        ("first_failed_status", i32),
        ("failed_stage", _ip),
        ("status", _ip),
        ("timing", i32),
        ("stage_seconds", _dp),
        ("stage_calls", _ip),
        ("stage_failures", _ip),
    ]


class crv_mc_shock_block(ctypes.Structure):
    _fields_ = [
        ("kind", i32),
        ("dim", i64),
        ("cols", _ip),
        ("loading", _dp),
        ("mean", _dp),
        ("lower", f64),
        ("width", f64),
        ("key0", u64),
        ("key1", u64),
    ]


class crv_mc_shock_spec(ctypes.Structure):
    _fields_ = [
        ("blocks", ctypes.POINTER(crv_mc_shock_block)),
        ("n_blocks", i64),
        ("n_periods", i64),
        ("n_shocks", i64),
        ("scale", f64),
        ("scratch_width", i64),
    ]


class crv_mc_payload(ctypes.Structure):
    _fields_ = [("data", _dp), ("n", i64), ("per_rep", i32)]


RECORDS = {
    "crv_mc_binding": crv_mc_binding,
    "crv_mc_stage": crv_mc_stage,
    "crv_mc_job": crv_mc_job,
    "crv_mc_shock_block": crv_mc_shock_block,
    "crv_mc_shock_spec": crv_mc_shock_spec,
    "crv_mc_payload": crv_mc_payload,
}

_SPEC = ctypes.POINTER(crv_mc_shock_spec)

SIGNATURES = {
    "crv_mc_run": (i64, [ctypes.POINTER(crv_mc_job)]),
    "crv_mc_shock_scratch_size": (i64, [_SPEC]),
    "crv_mc_shock_draw": (None, [_SPEC, u64, F64, F64]),
    "crv_mc_payload_runner": (i32, [i64, F64, F64, F64, ctypes.c_void_p, ctypes.c_void_p]),
    "crv_add_payload_step": (None, [F64, i64, i32, u64, F64]),
}
