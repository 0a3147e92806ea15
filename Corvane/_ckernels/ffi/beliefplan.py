"""Belief plans: scalar helpers, transform and distribution tables, LKJ
densities and correlation-factor maps (no records)."""

from ._tables import DISTRIBUTIONS as _DISTRIBUTIONS, TRANSFORMS as _TRANSFORMS
from ._types import F64, In, Out, I64, f64, i64

# The codes of bijectors.def by name, and the parameter values each reads.
TRANSFORM_CODES = {name: code for code, name, _ in _TRANSFORMS}
DISTRIBUTION_CODES = {name: code for code, name, _ in _DISTRIBUTIONS}
TRANSFORM_PARAMS_READ = {code: nread for code, _, nread in _TRANSFORMS}
DIST_PARAMS_READ = {code: nread for code, _, nread in _DISTRIBUTIONS}

SIGNATURES = {
    "crv_softplus_scalar": (f64, [f64]),
    "crv_log_sigmoid_scalar": (f64, [f64]),
    "crv_sigmoid_scalar": (f64, [f64]),
    "crv_std_norm_cdf": (f64, [f64]),
    "crv_std_norm_logpdf": (f64, [f64]),
    "crv_transform_inverse_and_logjac": (None, [i64, In(F64, "params"), Out(F64, "out_x"),
                                                Out(F64, "out_logjac"), f64]),
    "crv_dist_logpdf": (None, [i64, In(F64, "params"), Out(F64, "out"), f64]),
    "crv_lkj_chol_logjac": (None, [In(F64, "z"), i64, i64, Out(F64, "out")]),
    "crv_lkj_chol_logjac_return": (f64, [In(F64, "z"), i64, i64]),
    "crv_lkj_chol_logpdf_from_z": (None, [In(F64, "z"), i64, i64, Out(F64, "out"), f64, f64]),
    "crv_logbeliefplan": (f64, [In(F64, "theta"), In(I64, "scalar_indices"),
                                In(I64, "scalar_dist_codes"), In(I64, "scalar_transform_codes"),
                                In(F64, "scalar_dist_params"),
                                In(F64, "scalar_transform_params"), i64,
                                In(I64, "matrix_offsets"), In(I64, "matrix_dims"),
                                In(I64, "matrix_lengths"), In(F64, "matrix_etas"),
                                In(F64, "matrix_log_constants"), i64]),
    "crv_cov_from_unconstrained": (None, [In(F64, "z"), In(F64, "std"), i64, Out(F64, "L"),
                                          Out(F64, "cov")]),
    "crv_unconstrained_from_corr_chol": (None, [In(F64, "L"), i64, Out(F64, "z")]),
}
