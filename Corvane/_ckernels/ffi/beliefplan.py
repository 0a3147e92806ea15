"""Belief plans: scalar helpers, transform and distribution tables, LKJ
densities and correlation-factor maps (no records)."""

from ._tables import DISTRIBUTIONS as _DISTRIBUTIONS, TRANSFORMS as _TRANSFORMS
from ._types import F64, I64, f64, i64

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
    "crv_transform_inverse_and_logjac": (None, [i64, F64, F64, F64, f64]),
    "crv_dist_logpdf": (None, [i64, F64, F64, f64]),
    "crv_lkj_chol_logjac": (None, [F64, i64, i64, F64]),
    "crv_lkj_chol_logjac_return": (f64, [F64, i64, i64]),
    "crv_lkj_chol_logpdf_from_z": (None, [F64, i64, i64, F64, f64, f64]),
    "crv_logbeliefplan": (f64, [F64, I64, I64, I64, F64, F64, i64,
                                I64, I64, I64, F64, F64, i64]),
    "crv_cov_from_unconstrained": (None, [F64, F64, i64, F64, F64]),
    "crv_unconstrained_from_corr_chol": (None, [F64, i64, F64]),
}
