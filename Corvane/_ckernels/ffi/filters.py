"""State-space filters: records and kernels."""

import ctypes

from ._types import F64, I64, In, Out, arena_size_t, f64, i32, i64, void_p

_dp = ctypes.POINTER(ctypes.c_double)


class kf_inputs(ctypes.Structure):
    _fields_ = [
        ("n_states", i64),
        ("n_obs", i64),
        ("n_shocks", i64),
        ("n_periods", i64),
        ("transition", _dp),
        ("shock_loading", _dp),
        ("design", _dp),
        ("obs_intercept", _dp),
        ("shock_cov", _dp),
        ("obs_cov", _dp),
        ("data", _dp),
        ("x0", _dp),
        ("P0", _dp),
        ("symmetrize", i32),
        ("jitter", f64),
        ("want_shocks", i32),
        ("store_paths", i32),
    ]


KF_OUTPUT_FIELDS = ("x_pred", "x_filt", "P_pred", "P_filt", "y_pred", "y_filt",
                    "innov", "std_innov", "innov_cov", "shocks", "loglik")


class kf_outputs(ctypes.Structure):
    _fields_ = [(name, _dp) for name in KF_OUTPUT_FIELDS]


RECORDS = {"kf_inputs": kf_inputs, "kf_outputs": kf_outputs}

_KF = ctypes.POINTER(kf_inputs)
_KFO = ctypes.POINTER(kf_outputs)

SIGNATURES = {
    "kf_arena_size": (arena_size_t, [i64, i64, i64]),
    "kf_hot_loop": (i32, [_KF, Out(F64, "arena"), _KFO]),
    "kf_row_minus_vec": (None, [In(F64, "Y"), i64, In(F64, "yhat"), Out(F64, "out"), i64]),
    "kf_predict_cov": (None, [In(F64, "A"), In(F64, "P"), In(F64, "Q"), Out(F64, "tmp"),
                              Out(F64, "P_out"), i64]),
    "kf_measurement_cov": (None, [In(F64, "Z"), In(F64, "P"), In(F64, "H"), Out(F64, "tmp"),
                                  Out(F64, "F"), i64, i64]),
    "kf_pc_t": (None, [In(F64, "P"), In(F64, "Z"), Out(F64, "PZt"), i64, i64]),
    "kf_chol_solve_row": (None, [In(F64, "L"), In(F64, "G"), i64, Out(F64, "y"), Out(F64, "x"),
                                 Out(F64, "K"), i64]),
    "kf_gain_from_pc_t": (None, [In(F64, "L"), In(F64, "PZt"), Out(F64, "y"), Out(F64, "x"),
                                 Out(F64, "K"), i64, i64]),
    "kf_state_update": (None, [In(F64, "x_pred"), In(F64, "K"), In(F64, "v"), Out(F64, "x_filt"),
                               i64, i64]),
    "kf_identity_minus": (None, [In(F64, "M"), Out(F64, "out"), i64]),
    "kf_joseph_cov": (None, [In(F64, "K"), In(F64, "Z"), In(F64, "P"), In(F64, "H"),
                             Out(F64, "KZ"), Out(F64, "IKZ"), Out(F64, "tmp"), Out(F64, "KH"),
                             Out(F64, "P_out"), i64, i64]),
    "kf_build_bqbt": (None, [In(F64, "B"), In(F64, "S"), Out(F64, "tmp"), Out(F64, "Q"), i64, i64]),
    "kf_build_shock_projection": (None, [In(F64, "B"), In(F64, "Z"), In(F64, "S"), Out(F64, "G"),
                                         Out(F64, "M"), i64, i64, i64]),
}


# ---- missing observations, the smoother, the stationary covariance ----------

KF_SMOOTHER_OUTPUT_FIELDS = ("x_smooth", "P_smooth", "shocks", "shocks_cov", "meas_err",
                             "meas_err_cov")


class kf_smoother_outputs(ctypes.Structure):
    _fields_ = [(name, _dp) for name in KF_SMOOTHER_OUTPUT_FIELDS]


class crv_dlyap_lapack(ctypes.Structure):
    _fields_ = [("dgees", void_p)]


RECORDS.update({"kf_smoother_outputs": kf_smoother_outputs,
                "crv_dlyap_lapack": crv_dlyap_lapack})

SIGNATURES.update({
    "kf_filter_missing_arena_size": (arena_size_t, [i64, i64, i64]),
    "kf_filter_missing": (i32, [_KF, Out(F64, "arena"), _KFO]),
    "kf_smoother_arena_size": (arena_size_t, [i64, i64, i64, i64]),
    "kf_smoother": (i32, [_KF, Out(F64, "arena"), _KFO, ctypes.POINTER(kf_smoother_outputs)]),
    "crv_dlyap_arena_size": (arena_size_t, [i64]),
    "crv_dlyap": (i32, [ctypes.POINTER(crv_dlyap_lapack), In(F64, "A"), In(F64, "Q"),
                        Out(F64, "X"), Out(F64, "radius"), i64, f64, Out(F64, "dwork"),
                        Out(I64, "iwork")]),
})

# Observation and Jacobian callbacks: (x, params, out), nothing returned.
OBS_FN = ctypes.CFUNCTYPE(None, _dp, _dp, _dp)


class ekf_inputs(ctypes.Structure):
    _fields_ = [
        ("obs_fn", OBS_FN),
        ("obs_jac", OBS_FN),
        ("transition", _dp),
        ("shock_loading", _dp),
        ("params", _dp),
        ("shock_cov", _dp),
        ("obs_cov", _dp),
        ("data", _dp),
        ("x0", _dp),
        ("P0", _dp),
        ("n_periods", i64),
        ("n_states", i64),
        ("n_obs", i64),
        ("n_shocks", i64),
        ("n_params", i64),
        ("jitter", f64),
        ("symmetrize", i32),
        ("fitted_obs", i32),
        ("want_shocks", i32),
        ("store_paths", i32),
    ]


class ukf_inputs(ctypes.Structure):
    _fields_ = [("obs_fn", OBS_FN)] + [
        (name, _dp) for name in (
            "hx", "gx", "impact", "h_xx", "g_xx", "h_xe", "g_xe", "h_ee", "g_ee",
            "h_ss", "g_ss", "ss", "params", "shock_cov", "obs_cov", "data", "x0", "P0")
    ] + [
        ("n_periods", i64),
        ("nx", i64),
        ("ny", i64),
        ("n_shocks", i64),
        ("n_obs", i64),
        ("n_params", i64),
        ("alpha", f64),
        ("beta", f64),
        ("kappa", f64),
        ("jitter", f64),
        ("symmetrize", i32),
        ("store_paths", i32),
    ]


UKF_OUTPUT_FIELDS = ("xf_pred", "xs_pred", "xf_filt", "xs_filt", "v_pred", "v_filt",
                     "P_pred", "P_filt", "y_pred", "y_filt", "innov", "std_innov",
                     "innov_cov", "loglik")


class ukf_outputs(ctypes.Structure):
    _fields_ = [(name, _dp) for name in UKF_OUTPUT_FIELDS]


RECORDS.update({"ekf_inputs": ekf_inputs, "ukf_inputs": ukf_inputs,
                "ukf_outputs": ukf_outputs})

SIGNATURES.update({
    "ekf_arena_size": (arena_size_t, [i64, i64, i64]),
    "ekf_hot_loop": (i32, [ctypes.POINTER(ekf_inputs), Out(F64, "arena"), _KFO]),
    "ukf_arena_size": (arena_size_t, [i64, i64, i64, i64]),
    "ukf_hot_loop": (i32, [ctypes.POINTER(ukf_inputs), Out(F64, "arena"),
                           ctypes.POINTER(ukf_outputs)]),
})
