"""Regression: solvers, fit kernels, the fit result record, block sizes, the
Monte Carlo runners and their context records."""

import ctypes

from ._types import F64, I64, In, Out, arena_size_t, f64, i32, i64
from .mc import RUNNER_ARGS

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
    "crv_ols_chol_solve": (i64, [In(F64, "X"), In(F64, "y"), i64, i64, Out(F64, "beta"),
                                 Out(F64, "L"), Out(I64, "status"), Out(F64, "G"),
                                 Out(F64, "rhs")]),
    "crv_chol_solve_L2": (None, [In(F64, "X"), In(F64, "y"), i64, i64, i32, Out(F64, "beta"),
                                 Out(F64, "L"), Out(F64, "dof"), f64, Out(I64, "status"),
                                 Out(F64, "G"), Out(F64, "G0"), Out(F64, "rhs"), Out(F64, "tmp")]),
    "crv_ridge_grid_search": (None, [In(F64, "X"), In(F64, "y"), i64, i64, In(F64, "alphas"),
                                     i64, i32, i32, Out(F64, "best_alpha"),
                                     Out(F64, "best_beta"), Out(F64, "best_score"),
                                     Out(I64, "status"), Out(F64, "G"), Out(F64, "G_pen"),
                                     Out(F64, "rhs"), Out(F64, "L"), Out(F64, "beta"),
                                     Out(F64, "tmp")]),
    "crv_mc_sparse_gram": (None, [In(F64, "X"), In(F64, "y"), i64, i64, i32, Out(F64, "G"),
                                  Out(F64, "G_c"), Out(F64, "c")]),
    "crv_lasso_gram_cd": (i64, [In(F64, "G"), In(F64, "c"), i64, i64, Out(F64, "beta"),
                                Out(F64, "Gb"), f64, f64]),
    "crv_en_gram_cd": (i64, [In(F64, "G"), In(F64, "c"), i64, In(F64, "beta0"), i64,
                             Out(F64, "beta"), Out(F64, "Gb"), f64, f64, f64]),
    "crv_en_gram_cd_path": (None, [In(F64, "G"), In(F64, "c"), i64, In(F64, "lambdas"), i64, i64,
                                   Out(F64, "betas"), Out(I64, "statuses"), f64, f64,
                                   Out(F64, "Gb"), Out(F64, "warm")]),
    "crv_en_active_dof": (f64, [In(F64, "G"), In(F64, "beta"), i64, i32, Out(F64, "work"), f64,
                                f64]),
    "crv_lars_lasso_gram": (i64, [In(F64, "G"), In(F64, "c"), i64, i64, Out(F64, "knot_lambdas"),
                                  Out(F64, "knot_betas"), Out(I64, "n_knots"), Out(F64, "work"),
                                  f64]),
    "crv_lasso_path_eval": (None, [In(F64, "knot_lambdas"), In(F64, "knot_betas"), i64, i64,
                                   In(F64, "lambdas"), i64, Out(F64, "out")]),
    "crv_mc_ols_fit": (i64, [In(F64, "X"), In(F64, "y"), _FIT, Out(F64, "L"), Out(F64, "G"),
                             Out(F64, "g"), Out(F64, "tmp")]),
    "crv_mc_ridge_fit": (i64, [In(F64, "X"), In(F64, "y"), i32, _FIT, Out(F64, "L"),
                               Out(F64, "G"), Out(F64, "G_unpen"), Out(F64, "g"), f64,
                               Out(F64, "tmp")]),
    "crv_mc_ridge_gs_fit": (i64, [In(F64, "X"), In(F64, "y"), In(F64, "alphas"), i64, i64, i32,
                                  _FIT, Out(F64, "G_base"), Out(F64, "G"), Out(F64, "L"),
                                  Out(F64, "g"), Out(F64, "coef_work"), Out(F64, "col")]),
    "crv_mc_lasso_fit": (i64, [In(F64, "X"), In(F64, "y"), i32, i64, _FIT, Out(F64, "G_base"),
                               Out(F64, "G"), Out(F64, "g"), f64, f64, Out(F64, "Gcoef")]),
    "crv_mc_lasso_gs_fit": (i64, [In(F64, "X"), In(F64, "y"), In(F64, "alphas"), i64, i32, i64,
                                  _FIT, Out(F64, "G_base"), f64, Out(F64, "G"), Out(F64, "g"),
                                  Out(F64, "lam_path"), Out(F64, "beta_path"),
                                  Out(F64, "beta_grid"), Out(F64, "work")]),
    "crv_mc_elastic_net_fit": (i64, [In(F64, "X"), In(F64, "y"), i32, i64, _FIT,
                                     Out(F64, "G_base"), Out(F64, "G"), Out(F64, "g"), f64, f64,
                                     f64, Out(F64, "Gcoef")]),
    "crv_mc_elastic_net_gs_fit": (i64, [In(F64, "X"), In(F64, "y"), In(F64, "alphas"), i64, i64,
                                        i32, i64, _FIT, f64, f64, Out(F64, "G_base"),
                                        Out(F64, "G"), Out(F64, "g"), Out(F64, "beta_grid"),
                                        Out(I64, "statuses"), Out(F64, "Gcoef"),
                                        Out(F64, "beta"), Out(F64, "dof_work")]),
    "crv_mc_ols_work_arena_size": (arena_size_t, [i64, i64]),
    "crv_mc_ridge_work_arena_size": (arena_size_t, [i64, i64]),
    "crv_mc_ridge_gs_work_arena_size": (arena_size_t, [i64, i64]),
    "crv_mc_lasso_work_arena_size": (arena_size_t, [i64, i64]),
    "crv_mc_lasso_gs_work_arena_size": (arena_size_t, [i64, i64, i32, i64, i64]),
    "crv_mc_elastic_net_work_arena_size": (arena_size_t, [i64, i64]),
    "crv_mc_elastic_net_gs_work_arena_size": (arena_size_t, [i64, i64, i32, i64]),
}

# The crv_mc_runner protocol; the elastic-net grid runner's work block holds
# int64 statuses.
SIGNATURES.update((name, (i32, RUNNER_ARGS)) for name in RUNNER_CONTEXTS)
SIGNATURES["crv_mc_elastic_net_gs_runner"] = (i32, [
    *RUNNER_ARGS[:3], Out(I64, "work"), *RUNNER_ARGS[4:]])
