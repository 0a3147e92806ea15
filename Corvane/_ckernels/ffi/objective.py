"""Estimation objectives: the covariance-specification, belief-plan and
objective records, the objective kernels and the callback type. The builder
of these records is `Corvane._bridge.objective.Objective`."""

import ctypes

from ._types import F64, In, Out, f64, i32, i64, void_p
from .solve import crv_klein_second_order, crv_klein_solution

_dp = ctypes.POINTER(ctypes.c_double)
_i64p = ctypes.POINTER(ctypes.c_int64)

SCATTER_ROW_WORDS = 6


class crv_cov_spec(ctypes.Structure):
    _fields_ = [
        ("fixed", i32),
        ("fixed_matrix", _dp),
        ("dim", i64),
        ("sd_index", _i64p),
        ("use_cpc", i32),
        ("cpc_offset", i64),
        ("reserved", i64),
        ("pair_row", _i64p),
        ("pair_col", _i64p),
        ("pair_index", _i64p),
        ("n_pairs", i64),
    ]


BELIEF_PLAN_FIELDS = ("scalar_indices", "scalar_dist_codes", "scalar_transform_codes",
                      "scalar_dist_params", "scalar_transform_params", "n_scalar",
                      "matrix_offsets", "matrix_dims", "matrix_lengths", "matrix_etas",
                      "matrix_log_constants", "n_blocks")
_PLAN_INT_ARRAYS = ("scalar_indices", "scalar_dist_codes", "scalar_transform_codes",
                    "matrix_offsets", "matrix_dims", "matrix_lengths")  # the int64 arrays


class crv_belief_plan(ctypes.Structure):
    _fields_ = [(name, i64 if name.startswith("n_") else
                 _i64p if name in _PLAN_INT_ARRAYS else _dp) for name in BELIEF_PLAN_FIELDS]


# The part both objective records share, their first member `common`; its
# fields read as fields of the record (`rec.n`).
_COMMON_FIELDS = [
    ("reserved0", i64),
    ("n", i64),
    ("nx", i64),
    ("ny", i64),
    ("m", i64),
    ("n_obs", i64),
    ("p", i64),
    ("n_periods", i64),
    ("residual", void_p),
    ("hessian", void_p),
    ("zgges", void_p),
    ("dgeqrf", void_p),
    ("dormqr", void_p),
    ("obs_fn", void_p),
    ("obs_jac", void_p),
    ("x_guess", _dp),
    ("flags", ctypes.POINTER(ctypes.c_uint8)),
    ("data", _dp),
    ("P0", _dp),
    ("x0", _dp),
    ("jitter", f64),
    ("symmetrize", i32),
    ("reserved1", i64),
    ("scatter", _i64p),
    ("n_scatter", i64),
    ("shock_spec", crv_cov_spec),
    ("obs_spec", crv_cov_spec),
    ("has_prior", i32),
    ("plan", crv_belief_plan),
    ("params", _dp),
    ("shock_cov", _dp),
    ("reserved2", i64),
    ("obs_cov", _dp),
    ("shock_corr", _dp),
    ("obs_corr", _dp),
    ("shock_sd", _dp),
    ("obs_sd", _dp),
    ("filter_arena", _dp),
    ("solve_arena", _dp),
    ("solve_iarena", _i64p),
    ("solve_failures", i64),
    ("solution", crv_klein_solution),
]


class crv_objective_common(ctypes.Structure):
    _fields_ = _COMMON_FIELDS


class crv_objective(ctypes.Structure):
    _anonymous_ = ("common",)
    _fields_ = [("common", crv_objective_common)] + [
        ("design", _dp),
        ("obs_intercept", _dp),
        ("reserved3", i64),
    ]


class crv_objective_unscented(ctypes.Structure):
    _anonymous_ = ("common",)
    _fields_ = [("common", crv_objective_common)] + [
        ("second", crv_klein_second_order),
        ("ukf_x0", _dp),
        ("ukf_alpha", f64),
        ("ukf_beta", f64),
        ("ukf_kappa", f64),
    ]


class crv_estimation_target(ctypes.Structure):
    _fields_ = [
        ("obj", ctypes.POINTER(crv_objective)),
        ("d", i64),
        ("lik_init", i32),
        ("jacobian", i32),
        ("lyapunov", _dp),
        ("center", _dp),
        ("chol", _dp),
        ("theta", _dp),
        ("prefilter", i64),
        ("presample", i64),
    ]


RECORDS = {
    "crv_estimation_target": crv_estimation_target,
    "crv_cov_spec": crv_cov_spec,
    "crv_belief_plan": crv_belief_plan,
    "crv_objective_common": crv_objective_common,
    "crv_objective": crv_objective,
    "crv_objective_unscented": crv_objective_unscented,
}

_OBJ = ctypes.POINTER(crv_objective)
_UOBJ = ctypes.POINTER(crv_objective_unscented)

# The callbacks take the record as an opaque context (an address); so do
# crv_logprior_at and crv_scatter_params, which read only the common fields.
SIGNATURES = {
    "crv_obj_linear": (f64, [_OBJ, In(F64, "theta"), i32]),
    "crv_obj_extended": (f64, [_OBJ, In(F64, "theta"), i32]),
    "crv_obj_unscented": (f64, [_UOBJ, In(F64, "theta"), i32]),
    "crv_logprior_at": (f64, [void_p, In(F64, "theta")]),
    "crv_scatter_params": (None, [void_p, In(F64, "theta")]),
    "crv_init_params": (None, [Out(F64, "dst"), In(F64, "src"), i64]),
}
_TARGET = ctypes.POINTER(crv_estimation_target)
SIGNATURES["crv_target_loglik"] = (f64, [_TARGET, In(F64, "u")])
SIGNATURES["crv_target_logprior"] = (f64, [_TARGET, In(F64, "u")])
SIGNATURES["crv_target_logpost"] = (f64, [In(F64, "u"), void_p])
SIGNATURES["crv_target_min_logpost"] = (f64, [In(F64, "u"), void_p])
for _kind in ("linear", "extended", "unscented"):
    for _name in (f"crv_min_{_kind}_ll", f"crv_min_{_kind}_lp", f"crv_post_{_kind}"):
        SIGNATURES[_name] = (f64, [In(F64, "theta"), void_p])

# Objective callback shape of the optimisers and the sampler: (theta, context).
OBJECTIVE_FN = ctypes.CFUNCTYPE(ctypes.c_double, _dp, ctypes.c_void_p)
