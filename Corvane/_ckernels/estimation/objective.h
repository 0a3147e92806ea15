/* Estimation objectives: the log-likelihood or log-posterior of one model and
 * one data sample at an unconstrained parameter vector theta.
 *
 * An evaluation scatters theta into the model parameters through the
 * belief-plan transform codes, builds the shock covariance S and the
 * measurement covariance H, solves the model (first order, or second order for
 * the unscented objective), runs the matching filter for its log-likelihood
 * and, for the posterior, adds the belief-plan log density of theta. Every
 * failure is minus infinity (plus infinity from the crv_min_* callbacks);
 * nothing returns a status.
 *
 * The caller builds the record once and owns every array it points to; an
 * evaluation writes only params, the covariance and scratch arrays, the
 * solution records, design, obs_intercept, the arenas and solve_failures. A
 * record serves one thread at a time.
 *
 * Observation callbacks take the full variable vector in levels: the linear
 * objective evaluates them at the steady state (d = h(ss), Z = dh/dx(ss)),
 * the extended one at ss + x for the filter's deviation x, the unscented one
 * at ss + v for each sigma point's variables v. */
#ifndef CORVANE_OBJECTIVE_H
#define CORVANE_OBJECTIVE_H

#include "crv_api.h"
#include "filters.h"
#include "solve.h"

/* A covariance matrix (S or H) from the record: fixed, from standard
 * deviations and correlation pairs taken from the model parameters, or from
 * standard deviations and a correlation block taken from theta. */
typedef struct crv_cov_spec {
    int32_t fixed;               /* nonzero: use fixed_matrix unchanged */
    const double *fixed_matrix;  /* K x K */
    int64_t dim;                 /* K */
    const int64_t *sd_index;     /* K model-parameter indices of the standard deviations */
    int32_t use_cpc;             /* nonzero: correlations from theta[cpc_offset ...] */
    int64_t cpc_offset;          /* first of the K(K-1)/2 unconstrained correlation values */
    int64_t reserved;
    const int64_t *pair_row;     /* n_pairs row indices */
    const int64_t *pair_col;     /* n_pairs column indices */
    const int64_t *pair_index;   /* n_pairs model-parameter indices of the correlations */
    int64_t n_pairs;
} crv_cov_spec;

/* A belief plan (the arguments of crv_logbeliefplan after theta). */
typedef struct crv_belief_plan {
    const int64_t *scalar_indices;
    const int64_t *scalar_dist_codes;
    const int64_t *scalar_transform_codes;
    const double *scalar_dist_params;      /* n_scalar x 5 */
    const double *scalar_transform_params; /* n_scalar x 3 */
    int64_t n_scalar;
    const int64_t *matrix_offsets;
    const int64_t *matrix_dims;
    const int64_t *matrix_lengths;
    const double *matrix_etas;
    const double *matrix_log_constants;
    int64_t n_blocks;
} crv_belief_plan;

/* Parameter scatter row, six words: theta index, model-parameter index,
 * transform code (int64), then the transform's three doubles. */
#define CRV_SCATTER_ROW_WORDS 6

/* The part both objective records share, as their first member: a pointer to
 * either record is also a pointer to its common part. */
typedef struct crv_objective_common {
    int64_t reserved0;
    int64_t n;         /* model variables, also the linear filter's state dimension */
    int64_t nx;        /* states of the solution */
    int64_t ny;        /* other variables */
    int64_t m;         /* shocks */
    int64_t n_obs;     /* observables */
    int64_t p;         /* model parameters */
    int64_t n_periods; /* T */
    crv_residual_fn residual;
    crv_residual_fn hessian; /* read by the unscented objective only */
    crv_zgges_fn zgges;
    crv_dgeqrf_fn dgeqrf;
    crv_dormqr_fn dormqr;
    crv_obs_fn obs_fn;       /* levels (n) -> observables (n_obs) */
    crv_obs_fn obs_jac;      /* levels (n) -> n_obs x n Jacobian */
    const double *x_guess;   /* n: steady-state starting point */
    const uint8_t *flags;    /* n timing flags */
    const double *data;      /* T x n_obs */
    const double *P0;        /* initial state covariance of the filter */
    const double *x0;        /* n: initial predicted state (linear, extended) */
    double jitter;
    int32_t symmetrize;
    int64_t reserved1;
    const int64_t *scatter;  /* n_scatter rows of CRV_SCATTER_ROW_WORDS words */
    int64_t n_scatter;
    crv_cov_spec shock_spec; /* S, m x m */
    crv_cov_spec obs_spec;   /* H, n_obs x n_obs */
    int32_t has_prior;       /* read by crv_logprior_at only */
    crv_belief_plan plan;
    double *params;          /* p, written by the scatter */
    double *shock_cov;       /* m x m */
    int64_t reserved2;
    double *obs_cov;         /* n_obs x n_obs */
    double *shock_corr;      /* m x m scratch */
    double *obs_corr;        /* n_obs x n_obs scratch */
    double *shock_sd;        /* m scratch */
    double *obs_sd;          /* n_obs scratch */
    double *filter_arena;
    double *solve_arena;
    int64_t *solve_iarena;
    int64_t solve_failures;  /* rejected solutions: -503, -504, -505 or bk != 0 */
    crv_klein_solution solution;
} crv_objective_common;

/* Linear and extended objectives. */
typedef struct crv_objective {
    crv_objective_common common;
    double *design;        /* n_obs x n: Z = obs_jac(ss) */
    double *obs_intercept; /* n_obs: d = obs_fn(ss) */
    int64_t reserved3;
} crv_objective;

/* Unscented objective: the second-order solution, the unscented filter's
 * initial (x^f, x^s) (P0 is then 2nx x 2nx) and its sigma-point parameters. */
typedef struct crv_objective_unscented {
    crv_objective_common common;
    crv_klein_second_order second;
    const double *ukf_x0; /* 2 nx */
    double ukf_alpha;
    double ukf_beta;
    double ukf_kappa;
} crv_objective_unscented;

CRV_LAYOUT_CHECK(sizeof(crv_cov_spec) == 88, "crv_cov_spec layout");
CRV_LAYOUT_CHECK(offsetof(crv_cov_spec, fixed_matrix) == 8, "crv_cov_spec layout");
CRV_LAYOUT_CHECK(offsetof(crv_cov_spec, use_cpc) == 32, "crv_cov_spec layout");
CRV_LAYOUT_CHECK(offsetof(crv_cov_spec, pair_row) == 56, "crv_cov_spec layout");
CRV_LAYOUT_CHECK(offsetof(crv_cov_spec, n_pairs) == 80, "crv_cov_spec layout");
CRV_LAYOUT_CHECK(sizeof(crv_belief_plan) == 96, "crv_belief_plan layout");
CRV_LAYOUT_CHECK(offsetof(crv_belief_plan, n_scalar) == 40, "crv_belief_plan layout");
CRV_LAYOUT_CHECK(offsetof(crv_belief_plan, n_blocks) == 88, "crv_belief_plan layout");
CRV_LAYOUT_CHECK(sizeof(crv_objective_common) == 728, "crv_objective_common layout");
CRV_LAYOUT_CHECK(offsetof(crv_objective, common.n_periods) == 56, "crv_objective layout");
CRV_LAYOUT_CHECK(offsetof(crv_objective, common.residual) == 64, "crv_objective layout");
CRV_LAYOUT_CHECK(offsetof(crv_objective, common.obs_jac) == 112, "crv_objective layout");
CRV_LAYOUT_CHECK(offsetof(crv_objective, common.x0) == 152, "crv_objective layout");
CRV_LAYOUT_CHECK(offsetof(crv_objective, common.jitter) == 160, "crv_objective layout");
CRV_LAYOUT_CHECK(offsetof(crv_objective, common.symmetrize) == 168, "crv_objective layout");
CRV_LAYOUT_CHECK(offsetof(crv_objective, common.scatter) == 184, "crv_objective layout");
CRV_LAYOUT_CHECK(offsetof(crv_objective, common.n_scatter) == 192, "crv_objective layout");
CRV_LAYOUT_CHECK(offsetof(crv_objective, common.shock_spec) == 200, "crv_objective layout");
CRV_LAYOUT_CHECK(offsetof(crv_objective, common.obs_spec) == 288, "crv_objective layout");
CRV_LAYOUT_CHECK(offsetof(crv_objective, common.has_prior) == 376, "crv_objective layout");
CRV_LAYOUT_CHECK(offsetof(crv_objective, common.plan) == 384, "crv_objective layout");
CRV_LAYOUT_CHECK(offsetof(crv_objective, common.params) == 480, "crv_objective layout");
CRV_LAYOUT_CHECK(offsetof(crv_objective, common.obs_cov) == 504, "crv_objective layout");
CRV_LAYOUT_CHECK(offsetof(crv_objective, common.filter_arena) == 544, "crv_objective layout");
CRV_LAYOUT_CHECK(offsetof(crv_objective, common.solve_failures) == 568,
                 "crv_objective layout");
CRV_LAYOUT_CHECK(offsetof(crv_objective, common.solution) == 576, "crv_objective layout");
CRV_LAYOUT_CHECK(offsetof(crv_objective, design) == 728, "crv_objective layout");
CRV_LAYOUT_CHECK(offsetof(crv_objective, reserved3) == 744, "crv_objective layout");
CRV_LAYOUT_CHECK(sizeof(crv_objective) == 752, "crv_objective layout");
CRV_LAYOUT_CHECK(offsetof(crv_objective_unscented, common.solution) == 576,
                 "crv_objective_unscented layout");
CRV_LAYOUT_CHECK(offsetof(crv_objective_unscented, second) == 728,
                 "crv_objective_unscented layout");
CRV_LAYOUT_CHECK(offsetof(crv_objective_unscented, ukf_x0) == 808,
                 "crv_objective_unscented layout");
CRV_LAYOUT_CHECK(offsetof(crv_objective_unscented, ukf_kappa) == 832,
                 "crv_objective_unscented layout");
CRV_LAYOUT_CHECK(sizeof(crv_objective_unscented) == 840, "crv_objective_unscented layout");

/* Log-likelihood of the linear state space from the first-order solution,
 * Z and d from the observation callbacks at the steady state, kf_hot_loop;
 * with with_prior nonzero plus crv_logbeliefplan at theta (evaluated whatever
 * has_prior says). Minus infinity on any failure: a solution status other
 * than 0 (-503, -504, -505 counted in solve_failures), a nonzero saddle-path
 * flag (counted), a filter status other than 0, a non-finite log-likelihood
 * or, with the prior, a non-finite prior. */
CRV_API double crv_obj_linear(crv_objective *obj, const double *theta, int32_t with_prior);
/* As crv_obj_linear with ekf_hot_loop; the callbacks see ss + x for the
 * filter's deviation x, assembled in the first n doubles of solve_arena (free
 * once the model is solved), so solve_arena must not overlap filter_arena.
 * design and obs_intercept are not used. */
CRV_API double crv_obj_extended(crv_objective *obj, const double *theta, int32_t with_prior);
/* As crv_obj_linear with crv_sgu_klein_solve2 (hessian callback, sigma = S)
 * and ukf_hot_loop from ukf_x0 and P0. */
CRV_API double crv_obj_unscented(crv_objective_unscented *obj, const double *theta,
                                 int32_t with_prior);

/* Callbacks of the optimisers, (theta, record): minus the objective without
 * (_ll) or with (_lp) the prior; plus infinity on failure. */
CRV_API double crv_min_linear_ll(const double *theta, void *obj);
CRV_API double crv_min_linear_lp(const double *theta, void *obj);
CRV_API double crv_min_extended_ll(const double *theta, void *obj);
CRV_API double crv_min_extended_lp(const double *theta, void *obj);
CRV_API double crv_min_unscented_ll(const double *theta, void *obj);
CRV_API double crv_min_unscented_lp(const double *theta, void *obj);
/* Callbacks of the sampler: the log-posterior; minus infinity on failure. */
CRV_API double crv_post_linear(const double *theta, void *obj);
CRV_API double crv_post_extended(const double *theta, void *obj);
CRV_API double crv_post_unscented(const double *theta, void *obj);

/* 0 when has_prior is zero, else crv_logbeliefplan of the record's plan at
 * theta. Reads only the common part, so either record may be passed. */
CRV_API double crv_logprior_at(const crv_objective *obj, const double *theta);
/* params[row[1]] = transform row[2] of theta[row[0]], for each scatter row in
 * order. Reads only the common part, so either record may be passed. */
CRV_API void crv_scatter_params(crv_objective *obj, const double *theta);
/* Copies n doubles from src to dst when n > 0. */
CRV_API void crv_init_params(double *dst, const double *src, int64_t n);

/* An estimation target over a linear objective record: the function of an
 * estimation's optimiser and sampler.
 *
 * u -> theta = center + chol u (chol lower triangular, d x d; theta = u when
 * center is null). lik_init 1: each evaluation starts the filter from the
 * unconditional covariance of the state at that point, P = T P T' + R S R'
 * solved by doubling in `lyapunov` (4 n^2 doubles; minus infinity when it
 * does not settle); lik_init 0: from the record's P0. jacobian nonzero: the
 * posterior density of theta (the belief plan with its log-Jacobians);
 * zero: of the model parameters themselves (the log-Jacobians of the plan's
 * scalar transforms taken off). prefilter nonzero: the observation
 * intercept is zero (data demeaned by the caller) instead of h(ss).
 * presample > 0 (below n_periods): the log-likelihood of the periods after
 * the first presample ones, filtered from the start. Writes theta, lyapunov
 * and what the objective writes; one thread at a time. */
typedef struct crv_estimation_target {
    crv_objective *obj;
    int64_t d;
    int32_t lik_init;
    int32_t jacobian;
    double *lyapunov;
    const double *center;
    const double *chol;
    double *theta;
    int64_t prefilter;
    int64_t presample;
} crv_estimation_target;

CRV_LAYOUT_CHECK(offsetof(crv_estimation_target, lik_init) == 16, "crv_estimation_target layout");
CRV_LAYOUT_CHECK(offsetof(crv_estimation_target, lyapunov) == 24, "crv_estimation_target layout");
CRV_LAYOUT_CHECK(offsetof(crv_estimation_target, theta) == 48, "crv_estimation_target layout");
CRV_LAYOUT_CHECK(offsetof(crv_estimation_target, prefilter) == 56,
                 "crv_estimation_target layout");
CRV_LAYOUT_CHECK(sizeof(crv_estimation_target) == 72, "crv_estimation_target layout");

/* Log-likelihood at u; minus infinity on failure. */
CRV_API double crv_target_loglik(crv_estimation_target *target, const double *u);
/* Log prior density at u (with or without the log-Jacobians as `jacobian`
 * says); minus infinity outside the support. */
CRV_API double crv_target_logprior(crv_estimation_target *target, const double *u);
/* Log posterior at u, the sampler's callback shape; minus infinity on failure. */
CRV_API double crv_target_logpost(const double *u, void *target);
/* Minus crv_target_logpost, the optimisers' callback shape. */
CRV_API double crv_target_min_logpost(const double *u, void *target);

#endif
