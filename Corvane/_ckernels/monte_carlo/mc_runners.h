/* Model-data runners: the first stages of a Monte Carlo chain. They copy
 * given data, simulate a solved model with freshly drawn shocks, or run a
 * state-space filter over data. Each runner follows the crv_mc_runner
 * protocol (mc.h): it reads its model from the stage's input block, writes
 * its results into the stage's out block and stores its status in iout[0]
 * when iout is given. Every runner has a *_step twin doing the same work on
 * explicit arguments, and size functions giving its block sizes in words.
 *
 * Input blocks, in words and in this order (dimensions below 0 count as 0):
 *   order-1 simulation: A n x n, R n x m, mu n, s0 n, E T x m, params
 *     n_params, simulation arena 2n; shock scratch at ctx.shock_scratch
 *     (crv_mc_shock_scratch_size words, outside the counted size: the caller
 *     sizes the input block to hold it, the runner cannot check).
 *   order-2 simulation: h_x, g_x, R, h_xx, g_xx, h_xe, g_xe, h_ee, g_ee, h_ss,
 *     g_ss, offset nx + ny, x0 nx, E T x m, params n_params, pruned arena;
 *     shock scratch as for order 1.
 *   linear filter: A n x n, B n x k, Z m x n, d m, S k x k, H m x m, data
 *     T x m, x0 n, P0 n x n, then the kf_hot_loop arena.
 *   extended filter: A n x n, B n x k, params n_params, S k x k, H m x m,
 *     data T x m, x0 n, P0 n x n, then the ekf_hot_loop arena.
 *   unscented filter: hx, gx, impact, h_xx, g_xx, h_xe, g_xe, h_ee, g_ee,
 *     h_ss, g_ss, ss nx + ny, params n_params, S m x m, H k x k, data T x k,
 *     x0 2nx, P0 2nx x 2nx, then the ukf_hot_loop arena.
 * The *_input_arena_size and simulation size functions count the whole input
 * block including the arena; a step reads the model arrays from the start of
 * its input (the filter steps take their arena separately).
 *
 * Out blocks:
 *   raw data: data (n_data words), data2 (n_data2 words).
 *   simulation: T rows of n (order 1) or nx + ny (order 2), then T rows of
 *     n_obs observations.
 *   linear and extended filters: x_pred T n, x_filt T n, P_pred T n^2,
 *     P_filt T n^2, y_pred T m, y_filt T m, innov T m, std_innov T m,
 *     innov_cov T m^2, shocks T k (with want_shocks only), loglik 1.
 *   unscented filter: v_pred T (nx + ny), v_filt T (nx + ny), P_pred T 4nx^2,
 *     P_filt T 4nx^2, y_pred T k, y_filt T k, innov T k, std_innov T k,
 *     innov_cov T k^2, loglik 1, xf_pred T nx, xs_pred T nx, xf_filt T nx,
 *     xs_filt T nx.
 * crv_mc_block_layout reports these layouts, for given dimensions, from the
 * same descriptions the runners and size functions use. */
#ifndef CORVANE_MC_RUNNERS_H
#define CORVANE_MC_RUNNERS_H

#include "crv_api.h"
#include "filters.h"
#include "mc.h"

typedef struct crv_mc_raw_model_data_ctx {
    const double *data;
    int64_t n_data;
    int32_t per_rep;   /* data starts rep n_data words in */
    const double *data2;
    int64_t n_data2;
    int32_t per_rep2;
} crv_mc_raw_model_data_ctx;

/* obs_fn(state row t, params, observation row t) fills n_obs values. */
typedef struct crv_mc_simulate_order1_ctx {
    crv_obs_fn obs_fn;
    int64_t T;
    int64_t n;         /* states */
    int64_t m;         /* shocks */
    int64_t n_params;
    int64_t n_obs;     /* observables */
    const crv_mc_shock_spec *shocks; /* null: E as bound */
    int64_t shock_scratch;           /* word offset in the input block */
} crv_mc_simulate_order1_ctx;

typedef struct crv_mc_simulate_order2_ctx {
    crv_obs_fn obs_fn;
    int64_t T;
    int64_t nx;        /* states */
    int64_t ny;        /* other variables */
    int64_t m;         /* shocks */
    int64_t n_params;
    int64_t n_obs;     /* observables */
    const crv_mc_shock_spec *shocks;
    int64_t shock_scratch;
} crv_mc_simulate_order2_ctx;

/* The filter contexts keep the field names their contracts fix: m and k are
 * the observables and the shocks of the linear and extended filters, and the
 * other way round in the unscented filter (as in ukf_inputs); each field says
 * which. The size and step functions take the same names in the same roles. */
typedef struct crv_mc_filter_linear_ctx {
    int64_t T;
    int64_t n;         /* states */
    int64_t m;         /* observables */
    int64_t k;         /* shocks */
    int32_t symmetrize;
    double jitter;
    int32_t want_shocks;
} crv_mc_filter_linear_ctx;

typedef struct crv_mc_filter_extended_ctx {
    crv_obs_fn obs_fn;
    crv_obs_fn obs_jac;
    int64_t T;
    int64_t n;         /* states */
    int64_t m;         /* observables */
    int64_t k;         /* shocks */
    int64_t n_params;
    int32_t symmetrize;
    double jitter;
    int32_t want_shocks;
} crv_mc_filter_extended_ctx;

typedef struct crv_mc_filter_unscented_ctx {
    crv_obs_fn obs_fn;
    int64_t T;
    int64_t nx;        /* states */
    int64_t ny;        /* other variables */
    int64_t m;         /* shocks */
    int64_t k;         /* observables */
    int64_t n_params;
    double alpha;
    double beta;
    double kappa;
    int32_t symmetrize;
    double jitter;
} crv_mc_filter_unscented_ctx;

/* One named block of a runner's input or out block: its word offset, its
 * size in words and its shape (ndim 0 to 3 entries of shape; words is their
 * product, 1 for ndim 0). */
typedef struct crv_mc_block_field {
    const char *name;
    int64_t offset;
    int64_t words;
    int64_t ndim;
    int64_t shape[3];
} crv_mc_block_field;

/* ---- block layouts ------------------------------------------------------- */

/* The named blocks of `block` for dims[0 .. n_dims), in block order. Writes
 * the first min(count, capacity) fields (fields may be null when capacity
 * is 0) and returns the count; -1201 for an unknown block or the wrong
 * number of dimensions. Dimensions below 0 count as 0, sizes saturate as in
 * the size functions. Blocks and their dimensions, in order:
 *   simulate_order1_input   n, m, T, n_params
 *   simulate_order2_input   nx, ny, m, T, n_params
 *   filter_linear_input     n, m, k, T
 *   filter_extended_input   n, m, k, T, n_params
 *   filter_unscented_input  nx, ny, m, k, T, n_params
 *   raw_model_data_output   n_data, n_data2
 *   simulate_order1_output  n, T, n_obs
 *   simulate_order2_output  nx, ny, T, n_obs
 *   filter_linear_output    n, m, k, T, want_shocks
 *   filter_extended_output  n, m, k, T, want_shocks
 *   filter_unscented_output nx, ny, k, T
 * The input layouts end with the block's arena (the filters) or simulation
 * scratch ("arena"); a simulation's shock scratch lies outside them. */
CRV_API int64_t crv_mc_block_layout(const char *block, const int64_t *dims, int64_t n_dims,
                                    crv_mc_block_field *fields, int64_t capacity);

/* ---- block sizes, in words (saturating at INT64_MAX) -------------------- */

/* m T + n (n + m + 2) + n_params + 2n. */
CRV_API int64_t crv_simulate_order1_arena_size(int64_t n, int64_t m, int64_t T, int64_t n_params);
/* The order-2 input block: the solution blocks, offset and x0 (the start of
 * E), then T m + n_params + the pruned-simulation arena. */
CRV_API int64_t crv_simulate_order2_arena_size(int64_t nx, int64_t ny, int64_t m, int64_t T,
                                               int64_t n_params);
/* The model arrays, n + m + k^2 + m (m + T) + n (m + k + 2n), plus
 * kf_arena_size(n, m, k). */
CRV_API int64_t crv_filter_linear_input_arena_size(int64_t n, int64_t m, int64_t k, int64_t T);
/* n + k^2 + n_params + m (m + T) + n (k + 2n), plus ekf_arena_size(n, m, k). */
CRV_API int64_t crv_filter_extended_input_arena_size(int64_t n, int64_t m, int64_t k, int64_t T,
                                                     int64_t n_params);
/* 4nx^2 + ny (nx + 2) + nx (nx (nx + ny + 1) + 4) + n_params + k (k + T)
 * + m (m + (nx + ny)(nx + m + 1)), plus ukf_arena_size(nx, ny, m, k). */
CRV_API int64_t crv_filter_unscented_input_arena_size(int64_t nx, int64_t ny, int64_t m,
                                                      int64_t k, int64_t T, int64_t n_params);
/* T (m^2 + 4m + 2n + 2n^2) + (want_shocks ? k T : 0) + 1. */
CRV_API int64_t crv_filter_linear_output_arena_size(int64_t n, int64_t m, int64_t k, int64_t T,
                                                    int32_t want_shocks);
CRV_API int64_t crv_filter_extended_output_arena_size(int64_t n, int64_t m, int64_t k, int64_t T,
                                                      int32_t want_shocks);
/* T (k + 4) k + 4 nx T + 2 T (nx + ny + 4nx^2) + 1. */
CRV_API int64_t crv_filter_unscented_output_arena_size(int64_t nx, int64_t ny, int64_t k,
                                                       int64_t T);

/* ---- step functions ------------------------------------------------------ */

/* out = n_data words of data (from rep n_data when per_rep), out2 likewise
 * from data2; a non-positive count (or a null pointer) copies nothing. */
CRV_API void crv_raw_model_data_step(const double *data, int64_t n_data, int32_t per_rep,
                                     double *out, const double *data2, int64_t n_data2,
                                     int32_t per_rep2, uint64_t rep, double *out2);

/* Simulates the order-1 input block (shocks already in E) into out: the
 * states crv_simulate_linear_states(A, R, s0, E, mu) on the block's arena,
 * then obs_fn per period. With n_obs > 0 and a null obs_fn the observation
 * rows are NaN. */
CRV_API void crv_simulate_order1_step(double *input, crv_obs_fn obs_fn, int64_t T, int64_t n,
                                      int64_t m, int64_t n_params, int64_t n_obs, double *out);

/* Likewise for order 2 through crv_simulate_second_order_pruned with the
 * block's offset; obs_fn sees the rows of nx + ny variables. */
CRV_API void crv_simulate_order2_step(double *input, crv_obs_fn obs_fn, int64_t T, int64_t nx,
                                      int64_t ny, int64_t m, int64_t n_params, int64_t n_obs,
                                      double *out);

/* kf_hot_loop over the model arrays of input, all paths stored into out
 * (layout above), on the separate arena (kf_arena_size(n, m, k) doubles).
 * Returns the filter's status: 0 or -1102. */
CRV_API int32_t crv_filter_linear_step(const double *input, double *arena, int64_t T, int64_t n,
                                       int64_t m, int64_t k, int32_t symmetrize,
                                       int32_t want_shocks, double jitter, double *out);

/* ekf_hot_loop with fitted_obs = store_paths = 1; arena of
 * ekf_arena_size(n, m, k) doubles. Returns 0, -1101 (null callback, T >= 1)
 * or -1102. */
CRV_API int32_t crv_filter_extended_step(const double *input, double *arena, crv_obs_fn obs_fn,
                                         crv_obs_fn obs_jac, int64_t T, int64_t n, int64_t m,
                                         int64_t k, double jitter, int64_t n_params,
                                         int32_t symmetrize, int32_t want_shocks, double *out);

/* ukf_hot_loop with store_paths = 1 and ss from the input block; arena of
 * ukf_arena_size(nx, ny, m, k) doubles. Returns 0, -1101 or -1102. */
CRV_API int32_t crv_filter_unscented_step(const double *input, double *arena, crv_obs_fn obs_fn,
                                          int64_t T, int64_t nx, int64_t ny, int64_t m, int64_t k,
                                          double alpha, double beta, double kappa, double jitter,
                                          int64_t n_params, int32_t symmetrize, double *out);

/* ---- runners ------------------------------------------------------------- */

/* The two copies of crv_raw_model_data_step, data2 right after data in out.
 * Returns 0; -1201 for a null ctx. */
CRV_API int32_t crv_mc_raw_model_data_runner(int64_t rep, double *input, double *out,
                                             double *work, int64_t *iout, void *ctx);

/* Draws the replication's shocks into E when ctx.shocks is given
 * (crv_mc_shock_draw with the scratch at input + shock_scratch), then runs
 * the step. Returns 0; -1201 (nothing done) for a null ctx, a shock
 * description whose n_periods or n_shocks differ from T and m or a
 * negative shock_scratch, or a null obs_fn with n_obs > 0. */
CRV_API int32_t crv_mc_simulate_order1_runner(int64_t rep, double *input, double *out,
                                              double *work, int64_t *iout, void *ctx);
CRV_API int32_t crv_mc_simulate_order2_runner(int64_t rep, double *input, double *out,
                                              double *work, int64_t *iout, void *ctx);

/* The filter step with the arena right after the model arrays in the input
 * block. Returns the filter's status (-1201 for a null ctx). */
CRV_API int32_t crv_mc_filter_linear_runner(int64_t rep, double *input, double *out,
                                            double *work, int64_t *iout, void *ctx);
CRV_API int32_t crv_mc_filter_extended_runner(int64_t rep, double *input, double *out,
                                              double *work, int64_t *iout, void *ctx);
CRV_API int32_t crv_mc_filter_unscented_runner(int64_t rep, double *input, double *out,
                                               double *work, int64_t *iout, void *ctx);

CRV_LAYOUT_CHECK(sizeof(crv_mc_block_field) == 56 && offsetof(crv_mc_block_field, shape) == 32,
                 "crv_mc_block_field layout");
CRV_LAYOUT_CHECK(sizeof(crv_mc_raw_model_data_ctx) == 48, "crv_mc_raw_model_data_ctx layout");
CRV_LAYOUT_CHECK(offsetof(crv_mc_raw_model_data_ctx, data2) == 24,
                 "crv_mc_raw_model_data_ctx layout");
CRV_LAYOUT_CHECK(sizeof(crv_mc_simulate_order1_ctx) == 64, "crv_mc_simulate_order1_ctx layout");
CRV_LAYOUT_CHECK(sizeof(crv_mc_simulate_order2_ctx) == 72, "crv_mc_simulate_order2_ctx layout");
CRV_LAYOUT_CHECK(sizeof(crv_mc_filter_linear_ctx) == 56, "crv_mc_filter_linear_ctx layout");
CRV_LAYOUT_CHECK(offsetof(crv_mc_filter_linear_ctx, jitter) == 40,
                 "crv_mc_filter_linear_ctx layout");
CRV_LAYOUT_CHECK(sizeof(crv_mc_filter_extended_ctx) == 80, "crv_mc_filter_extended_ctx layout");
CRV_LAYOUT_CHECK(offsetof(crv_mc_filter_extended_ctx, jitter) == 64,
                 "crv_mc_filter_extended_ctx layout");
CRV_LAYOUT_CHECK(sizeof(crv_mc_filter_unscented_ctx) == 96,
                 "crv_mc_filter_unscented_ctx layout");
CRV_LAYOUT_CHECK(offsetof(crv_mc_filter_unscented_ctx, symmetrize) == 80,
                 "crv_mc_filter_unscented_ctx layout");

#endif
