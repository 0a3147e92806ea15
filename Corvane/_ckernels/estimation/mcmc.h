/* MCMC sampler: random-walk Metropolis with a Gaussian proposal whose
 * covariance adapts during burn-in to the running covariance of the chain
 * (adaptive Metropolis, scaling 2.38^2 / d).
 *
 * The log-posterior is a callback (x, context); it may return minus infinity
 * or NaN at an infeasible point. Random numbers come only from the caller's
 * bit generator, through crv_rng_standard_normal_fill and
 * crv_rng_standard_uniform_fill, so a run is a deterministic function of the
 * generator state, the start and the configuration. The workspace is taken
 * from the heap for the duration of a run. */
#ifndef CORVANE_MCMC_H
#define CORVANE_MCMC_H

#include "crv_api.h"
#include "status.h"
#include "rng.h"

/* Log-posterior callback, the shape of the crv_post_* objectives. */
typedef double (*crv_mcmc_logpost_fn)(const double *x, void *context);

typedef struct crv_mcmc_config {
    int64_t n_draws;        /* draws to keep */
    int64_t n_burn;         /* burn-in iterations */
    int64_t thin;           /* keep every thin-th state after burn-in (>= 1) */
    int32_t adapt;          /* nonzero: adapt the proposal during burn-in */
    int64_t adapt_start;    /* first iteration at which the proposal may be replaced */
    int64_t adapt_interval; /* replace when (iteration + 1) is a multiple; 0 never */
    double adapt_eps;       /* added to the diagonal of the estimated covariance */
    double init_scale;      /* initial proposal standard deviation, every coordinate */
} crv_mcmc_config;

typedef struct crv_mcmc_output {
    double *draws;   /* n_draws x d, row-major */
    double *logpost; /* n_draws */
} crv_mcmc_output;

typedef struct crv_mcmc_result {
    int64_t accepted;    /* accepted proposals, burn-in included */
    int64_t n_iter;      /* n_burn + n_draws * thin */
    int64_t reserved;    /* always 0 */
    int64_t status;      /* 0, -1601 or -1602 */
    const char *message; /* static text: "ok" or the failure */
} crv_mcmc_result;

/* Runs N = n_burn + n_draws * thin iterations from x0 (d values) and writes
 * the n_draws kept states and their log-posteriors into output. Iteration i:
 * z = d standard normals, x' = x + L z (crv_matvec_plus_vec), lp' =
 * logpost(x'); only when lp' is finite one uniform u is drawn and x' accepted
 * when lp' - lp > log u. During burn-in with adapt set, the running mean and
 * co-moment matrix M2 (rank-one update, fused) take the current state; when
 * i >= adapt_start, adapt_interval divides i + 1 and at least two states are
 * in, L becomes the Cholesky factor of (M2 / k + adapt_eps I) * 5.6644 / d
 * unless that factorisation fails or is not finite. The state at iterations
 * n_burn, n_burn + thin, ... is stored. Workspace: the McmcWork layout
 * (mcmc_layout.hpp), 6d + 4d^2 doubles from the heap. result may be null. Returns 0; -1601 when the workspace cannot be
 * allocated (message "mcmc workspace allocation failed"); -1602 for a null
 * callback, bit generator, start or output (output needed only when n_draws
 * > 0), d < 1, a negative n_draws, n_burn or adapt_interval, thin < 1, a
 * non-finite init_scale or an iteration count beyond int64 (message "invalid
 * mcmc arguments"). On a failure nothing is drawn or called and n_iter is N,
 * or 0 when the arguments are invalid. */
CRV_API int64_t crv_mcmc_run(crv_mcmc_logpost_fn logpost, void *context, bitgen_t *bitgen,
                             const double *x0, int64_t d, const crv_mcmc_config *config,
                             const crv_mcmc_output *output, crv_mcmc_result *result);

CRV_LAYOUT_CHECK(sizeof(crv_mcmc_config) == 64, "crv_mcmc_config layout");
CRV_LAYOUT_CHECK(offsetof(crv_mcmc_config, adapt) == 24, "crv_mcmc_config layout");
CRV_LAYOUT_CHECK(offsetof(crv_mcmc_config, adapt_start) == 32, "crv_mcmc_config layout");
CRV_LAYOUT_CHECK(offsetof(crv_mcmc_config, adapt_eps) == 48, "crv_mcmc_config layout");
CRV_LAYOUT_CHECK(offsetof(crv_mcmc_config, init_scale) == 56, "crv_mcmc_config layout");
CRV_LAYOUT_CHECK(sizeof(crv_mcmc_output) == 16, "crv_mcmc_output layout");
CRV_LAYOUT_CHECK(offsetof(crv_mcmc_output, logpost) == 8, "crv_mcmc_output layout");
CRV_LAYOUT_CHECK(sizeof(crv_mcmc_result) == 40, "crv_mcmc_result layout");
CRV_LAYOUT_CHECK(offsetof(crv_mcmc_result, status) == 24, "crv_mcmc_result layout");
CRV_LAYOUT_CHECK(offsetof(crv_mcmc_result, message) == 32, "crv_mcmc_result layout");

#endif
