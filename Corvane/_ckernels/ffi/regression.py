"""Regression: solvers, fit kernels, the fit result record, block sizes, the
Monte Carlo runners and their context records."""

import ctypes

from ._types import F64, I64, arena_size_t, f64, i32, i64

_dp = ctypes.POINTER(ctypes.c_double)


class crv_fit_result(ctypes.Structure):
    _fields_ = [
        ("n", i64),
        ("p", i64),
        ("coef", _dp),
        ("se", _dp),
        ("rss", f64),
        ("tss", f64),
        ("status", i64),
    ]


class crv_mc_ols_ctx(ctypes.Structure):
    _fields_ = [("n", i64), ("p", i64)]


class crv_mc_ridge_ctx(ctypes.Structure):
    _fields_ = [("n", i64), ("p", i64), ("intercept", i32), ("alpha", f64)]


class crv_mc_ridge_gs_ctx(ctypes.Structure):
    _fields_ = [
        ("alphas", _dp),
        ("n", i64),
        ("p", i64),
        ("n_alphas", i64),
        ("criterion", i64),
        ("intercept", i32),
    ]


class crv_mc_lasso_ctx(ctypes.Structure):
    _fields_ = [
        ("n", i64),
        ("p", i64),
        ("intercept", i32),
        ("max_iter", i64),
        ("tol", f64),
        ("alpha", f64),
    ]


class crv_mc_lasso_gs_ctx(ctypes.Structure):
    _fields_ = [
        ("alphas", _dp),
        ("n", i64),
        ("p", i64),
        ("n_alphas", i64),
        ("intercept", i32),
        ("max_iter", i64),
        ("tol", f64),
    ]


class crv_mc_elastic_net_ctx(ctypes.Structure):
    _fields_ = [
        ("n", i64),
        ("p", i64),
        ("intercept", i32),
        ("max_iter", i64),
        ("tol", f64),
        ("alpha", f64),
        ("l1_ratio", f64),
    ]


class crv_mc_elastic_net_gs_ctx(ctypes.Structure):
    _fields_ = [
        ("alphas", _dp),
        ("n", i64),
        ("p", i64),
        ("n_alphas", i64),
        ("criterion", i64),
        ("intercept", i32),
        ("max_iter", i64),
        ("tol", f64),
        ("l1_ratio", f64),
    ]


# Runner name -> its context record.
RUNNER_CONTEXTS = {
    "crv_mc_ols_runner": crv_mc_ols_ctx,
    "crv_mc_ridge_runner": crv_mc_ridge_ctx,
    "crv_mc_ridge_gs_runner": crv_mc_ridge_gs_ctx,
    "crv_mc_lasso_runner": crv_mc_lasso_ctx,
    "crv_mc_lasso_gs_runner": crv_mc_lasso_gs_ctx,
    "crv_mc_elastic_net_runner": crv_mc_elastic_net_ctx,
    "crv_mc_elastic_net_gs_runner": crv_mc_elastic_net_gs_ctx,
}

RECORDS = {"crv_fit_result": crv_fit_result}
RECORDS.update((ctx.__name__, ctx) for ctx in RUNNER_CONTEXTS.values())

_FIT = ctypes.POINTER(crv_fit_result)
_i64p = ctypes.POINTER(ctypes.c_int64)

SIGNATURES = {
    "crv_ols_chol_solve": (i64, [F64, F64, i64, i64, F64, F64, _i64p, F64, F64]),
    "crv_chol_solve_L2": (None, [F64, F64, i64, i64, i32, F64, F64, _dp, f64, _i64p,
                                 F64, F64, F64, F64]),
    "crv_ridge_grid_search": (None, [F64, F64, i64, i64, F64, i64, i64, i32, _dp, F64, _dp,
                                     _i64p, F64, F64, F64, F64, F64, F64]),
    "crv_mc_sparse_gram": (None, [F64, F64, i64, i64, i32, F64, F64, F64]),
    "crv_lasso_gram_cd": (i64, [F64, F64, i64, i64, F64, F64, f64, f64]),
    "crv_en_gram_cd": (i64, [F64, F64, i64, F64, i64, F64, F64, f64, f64, f64]),
    "crv_en_gram_cd_path": (None, [F64, F64, i64, F64, i64, i64, F64, I64, f64, f64, F64, F64]),
    "crv_en_active_dof": (f64, [F64, F64, i64, i32, F64, f64, f64]),
    "crv_lars_lasso_gram": (i64, [F64, F64, i64, i64, F64, F64, _i64p, F64, f64]),
    "crv_lasso_path_eval": (None, [F64, F64, i64, i64, F64, i64, F64]),
    "crv_mc_ols_fit": (i64, [F64, F64, _FIT, F64, F64, F64, F64]),
    "crv_mc_ridge_fit": (i64, [F64, F64, i32, _FIT, F64, F64, F64, F64, f64, F64]),
    "crv_mc_ridge_gs_fit": (i64, [F64, F64, F64, i64, i64, i32, _FIT, F64, F64, F64, F64,
                                  F64, F64]),
    "crv_mc_lasso_fit": (i64, [F64, F64, i32, i64, _FIT, F64, F64, F64, f64, f64, F64]),
    "crv_mc_lasso_gs_fit": (i64, [F64, F64, F64, i64, i32, i64, _FIT, F64, f64, F64, F64,
                                  F64, F64, F64, F64]),
    "crv_mc_elastic_net_fit": (i64, [F64, F64, i32, i64, _FIT, F64, F64, F64, f64, f64, f64,
                                     F64]),
    "crv_mc_elastic_net_gs_fit": (i64, [F64, F64, F64, i64, i64, i32, i64, _FIT, f64, f64,
                                        F64, F64, F64, F64, I64, F64, F64, F64]),
    "crv_mc_ols_work_arena_size": (arena_size_t, [i64, i64]),
    "crv_mc_ridge_work_arena_size": (arena_size_t, [i64, i64]),
    "crv_mc_ridge_gs_work_arena_size": (arena_size_t, [i64, i64]),
    "crv_mc_lasso_work_arena_size": (arena_size_t, [i64, i64]),
    "crv_mc_lasso_gs_work_arena_size": (arena_size_t, [i64, i64, i32, i64, i64]),
    "crv_mc_elastic_net_work_arena_size": (arena_size_t, [i64, i64]),
    "crv_mc_elastic_net_gs_work_arena_size": (arena_size_t, [i64, i64, i32, i64]),
}

# int32 runner(int64 rep, double *input, double *out, double *work, int64 *iout,
#              void *ctx); the elastic-net grid runner's work block holds int64 statuses.
SIGNATURES.update(
    (name, (i32, [i64, F64, F64, I64 if name == "crv_mc_elastic_net_gs_runner" else F64, I64,
                  ctypes.c_void_p]))
    for name in RUNNER_CONTEXTS
)
