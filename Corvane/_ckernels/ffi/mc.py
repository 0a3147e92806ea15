"""Monte Carlo driver: job, stage, binding and shock records and kernels."""

import ctypes

from ._types import F64, I64, Out, In, f64, i32, i64, void_p
from .status import STATUS

u64 = ctypes.c_uint64
_dp = ctypes.POINTER(ctypes.c_double)
_ip = ctypes.POINTER(ctypes.c_int64)

CRV_MC_INVALID = STATUS["CRV_MC_INVALID"]

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

# Argument types of every crv_mc_runner (its input, out and work blocks are
# written; the elastic-net grid runner's work block holds int64 statuses).
RUNNER_ARGS = [i64, Out(F64, "input"), Out(F64, "out"), Out(F64, "work"), Out(I64, "iout"),
               void_p]

SIGNATURES = {
    "crv_mc_run": (i64, [ctypes.POINTER(crv_mc_job)]),
    "crv_mc_run_range": (i64, [ctypes.POINTER(crv_mc_job), i64, i64]),
    "crv_mc_shock_scratch_size": (i64, [_SPEC]),
    "crv_mc_shock_draw": (None, [_SPEC, u64, Out(F64, "scratch"), Out(F64, "out")]),
    "crv_mc_payload_runner": (i32, RUNNER_ARGS),
    "crv_add_payload_step": (None, [In(F64, "data"), i64, i32, u64, Out(F64, "out")]),
}


# ---- model-data runners ---------------------------------------------------

from .filters import OBS_FN  # noqa: E402  (callback type shared with the filters)


class crv_mc_raw_model_data_ctx(ctypes.Structure):
    _fields_ = [
        ("data", _dp),
        ("n_data", i64),
        ("per_rep", i32),
        ("data2", _dp),
        ("n_data2", i64),
        ("per_rep2", i32),
    ]


class crv_mc_simulate_order1_ctx(ctypes.Structure):
    _fields_ = [
        ("obs_fn", OBS_FN),
        ("T", i64),
        ("n", i64),
        ("m", i64),
        ("n_params", i64),
        ("n_obs", i64),
        ("shocks", ctypes.POINTER(crv_mc_shock_spec)),
        ("shock_scratch", i64),
    ]


class crv_mc_simulate_order2_ctx(ctypes.Structure):
    _fields_ = [
        ("obs_fn", OBS_FN),
        ("T", i64),
        ("nx", i64),
        ("ny", i64),
        ("m", i64),
        ("n_params", i64),
        ("n_obs", i64),
        ("shocks", ctypes.POINTER(crv_mc_shock_spec)),
        ("shock_scratch", i64),
    ]


class crv_mc_filter_linear_ctx(ctypes.Structure):
    _fields_ = [
        ("T", i64),
        ("n", i64),
        ("m", i64),
        ("k", i64),
        ("symmetrize", i32),
        ("jitter", f64),
        ("want_shocks", i32),
    ]


class crv_mc_filter_extended_ctx(ctypes.Structure):
    _fields_ = [
        ("obs_fn", OBS_FN),
        ("obs_jac", OBS_FN),
        ("T", i64),
        ("n", i64),
        ("m", i64),
        ("k", i64),
        ("n_params", i64),
        ("symmetrize", i32),
        ("jitter", f64),
        ("want_shocks", i32),
    ]


class crv_mc_filter_unscented_ctx(ctypes.Structure):
    _fields_ = [
        ("obs_fn", OBS_FN),
        ("T", i64),
        ("nx", i64),
        ("ny", i64),
        ("m", i64),
        ("k", i64),
        ("n_params", i64),
        ("alpha", f64),
        ("beta", f64),
        ("kappa", f64),
        ("symmetrize", i32),
        ("jitter", f64),
    ]


class crv_mc_block_field(ctypes.Structure):
    _fields_ = [
        ("name", ctypes.c_char_p),
        ("offset", i64),
        ("words", i64),
        ("ndim", i64),
        ("shape", i64 * 3),
    ]


RECORDS.update({
    "crv_mc_block_field": crv_mc_block_field,
    "crv_mc_raw_model_data_ctx": crv_mc_raw_model_data_ctx,
    "crv_mc_simulate_order1_ctx": crv_mc_simulate_order1_ctx,
    "crv_mc_simulate_order2_ctx": crv_mc_simulate_order2_ctx,
    "crv_mc_filter_linear_ctx": crv_mc_filter_linear_ctx,
    "crv_mc_filter_extended_ctx": crv_mc_filter_extended_ctx,
    "crv_mc_filter_unscented_ctx": crv_mc_filter_unscented_ctx,
})

RUNNERS = (
    "crv_mc_raw_model_data_runner",
    "crv_mc_simulate_order1_runner",
    "crv_mc_simulate_order2_runner",
    "crv_mc_filter_linear_runner",
    "crv_mc_filter_extended_runner",
    "crv_mc_filter_unscented_runner",
)

SIGNATURES.update({name: (i32, RUNNER_ARGS) for name in RUNNERS})
SIGNATURES.update({
    "crv_mc_block_layout": (i64, [ctypes.c_char_p, In(I64, "dims"), i64,
                                  ctypes.POINTER(crv_mc_block_field), i64]),
    "crv_simulate_order1_arena_size": (i64, [i64, i64, i64, i64]),
    "crv_simulate_order2_arena_size": (i64, [i64, i64, i64, i64, i64]),
    "crv_filter_linear_input_arena_size": (i64, [i64, i64, i64, i64]),
    "crv_filter_extended_input_arena_size": (i64, [i64, i64, i64, i64, i64]),
    "crv_filter_unscented_input_arena_size": (i64, [i64, i64, i64, i64, i64, i64]),
    "crv_filter_linear_output_arena_size": (i64, [i64, i64, i64, i64, i32]),
    "crv_filter_extended_output_arena_size": (i64, [i64, i64, i64, i64, i32]),
    "crv_filter_unscented_output_arena_size": (i64, [i64, i64, i64, i64]),
    "crv_raw_model_data_step": (None, [In(F64, "data"), i64, i32, Out(F64, "out"),
                                       In(F64, "data2"), i64, i32, u64, Out(F64, "out2")]),
    "crv_simulate_order1_step": (None, [Out(F64, "input"), OBS_FN, i64, i64, i64, i64, i64,
                                        Out(F64, "out")]),
    "crv_simulate_order2_step": (None, [Out(F64, "input"), OBS_FN, i64, i64, i64, i64, i64, i64,
                                        Out(F64, "out")]),
    "crv_filter_linear_step": (i32, [In(F64, "input"), Out(F64, "arena"), i64, i64, i64, i64,
                                     i32, i32, f64, Out(F64, "out")]),
    "crv_filter_extended_step": (i32, [In(F64, "input"), Out(F64, "arena"), OBS_FN, OBS_FN, i64,
                                       i64, i64, i64, f64, i64, i32, i32, Out(F64, "out")]),
    "crv_filter_unscented_step": (i32, [In(F64, "input"), Out(F64, "arena"), OBS_FN, i64, i64,
                                        i64, i64, i64, f64, f64, f64, f64, i64, i32,
                                        Out(F64, "out")]),
})
