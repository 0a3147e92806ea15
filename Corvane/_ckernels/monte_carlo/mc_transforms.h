/* Data transforms of a Monte Carlo chain: standardisation, logarithms,
 * log-differences, differences of any order, rolling means, variances and
 * standard deviations; each as a plain kernel, a size function and a runner,
 * plus the runner of a caller-supplied transform.
 *
 * X is T x k row-major (T periods, k series); every transform works column
 * by column down the rows and writes its output rows contiguously (row-major,
 * k columns). Status (int64): 0 success; -1301 invalid dimensions.
 *
 * Size functions give the words of a transform runner's input block: X
 * (T x k) followed by the kernel's scratch (the TransformInput layout,
 * mc_transforms_layout.hpp); they return (words, 0).
 * Negative dimensions count as 0; a count that does not fit int64 is
 * returned as INT64_MAX. Runners read X and the scratch from their input
 * block, write the output rows into their out block, store the status in
 * iout[0] (when iout is given) and return it, so an invalid dimension fails
 * the replication. A null ctx, input or out block fails with -1201. */
#ifndef CORVANE_MC_TRANSFORMS_H
#define CORVANE_MC_TRANSFORMS_H

#include "crv_api.h"
#include "status.h"
#include "mc.h"

/* Context of crv_mc_standardize_runner. */
typedef struct crv_mc_standardize_ctx {
    int64_t T;
    int64_t k;
    int64_t ddof;
} crv_mc_standardize_ctx;

/* Context of crv_mc_log_runner and crv_mc_log_diff_runner. */
typedef struct crv_mc_log_ctx {
    int64_t T;
    int64_t k;
    double shift;
} crv_mc_log_ctx;

/* Context of crv_mc_diff_runner. */
typedef struct crv_mc_diff_ctx {
    int64_t T;
    int64_t k;
    int64_t order;
} crv_mc_diff_ctx;

/* Context of crv_mc_rolling_mean_runner. */
typedef struct crv_mc_rolling_mean_ctx {
    int64_t T;
    int64_t k;
    int64_t window;
} crv_mc_rolling_mean_ctx;

/* Context of crv_mc_rolling_var_runner and crv_mc_rolling_std_runner. */
typedef struct crv_mc_rolling_var_ctx {
    int64_t T;
    int64_t k;
    int64_t window;
    int64_t ddof;
} crv_mc_rolling_var_ctx;

/* A caller-supplied transform: reads the stage's input block, writes its out
 * block; word1 ... word4 are the context's words, passed unchanged. Its
 * result is the stage's status (0 = success). Must be re-entrant. */
typedef int32_t (*crv_mc_user_transform_fn)(double *input, double *out, int64_t word1,
                                            int64_t word2, int64_t word3, int64_t word4);

/* Context of crv_mc_user_transform_runner. */
typedef struct crv_mc_user_transform_ctx {
    crv_mc_user_transform_fn fn;
    int64_t word1;
    int64_t word2;
    int64_t word3;
    int64_t word4;
} crv_mc_user_transform_ctx;

/* out (T x k) = (x - mean) / sd per column, sd^2 = M2 / (T - ddof) from one
 * Welford pass (M2 += (x - mean) delta fused); a column with zero variance
 * becomes zeros. buf (2k): the running means, then M2 and 1/sd.
 * -1301 for T <= 0, k < 1 or T - ddof <= 0. */
CRV_API int64_t crv_standardize_ax0(const double *X, int64_t ddof, int64_t T, int64_t k,
                                    double *buf, double *out);
/* Input-block words: X, then buf. */
CRV_API crv_arena_size_t crv_standardize_ax0_arena_size(int64_t T, int64_t k);

/* out (T x k) = ln(x + shift). -1301 for T <= 0 or k <= 0. */
CRV_API int64_t crv_log(const double *X, int64_t T, int64_t k, double *out, double shift);
/* Input-block words: X alone. */
CRV_API crv_arena_size_t crv_log_arena_size(int64_t T, int64_t k);

/* out ((T - 1) x k) row i - 1 = ln(x_i + shift) - ln(x_{i-1} + shift);
 * prev (k) holds the previous row's logarithms. -1301 for T <= 0 or k <= 0. */
CRV_API int64_t crv_log_diff(const double *X, int64_t T, int64_t k, double *prev, double *out,
                             double shift);
/* Input-block words: X, then prev. */
CRV_API crv_arena_size_t crv_log_diff_arena_size(int64_t T, int64_t k);

/* out ((T - order) x k) = the order-th differences, by a cascade that keeps
 * per column the last difference of each level 0 ... order-1 in state
 * (order x k). Nothing is written when out is null or T <= order.
 * -1301 for order < 1, k < 1 or T < 1. */
CRV_API int64_t crv_diff(const double *X, int64_t order, int64_t T, int64_t k, double *state,
                         double *out);
/* Input-block words: X, then state. */
CRV_API crv_arena_size_t crv_diff_arena_size(int64_t T, int64_t k, int64_t order);

/* out ((T - window + 1) x k) = means of window consecutive rows: the first
 * window's sums (buf, k) times 1/window, then sum + (new - old) per row.
 * -1301 for T, k or window <= 0, or window > T. */
CRV_API int64_t crv_rolling_mean(const double *X, int64_t T, int64_t k, int64_t window,
                                 double *buf, double *out);
/* Input-block words: X, then buf. */
CRV_API crv_arena_size_t crv_rolling_mean_arena_size(int64_t T, int64_t k);

/* out ((T - window + 1) x k) = max(M2, 0) / (window - ddof) over each window
 * (rolling_std: its square root): Welford over the first window, then each
 * slide removes the oldest value and adds the new one (sliding Welford
 * update, M2 clamped at 0). buf (2k): means, then M2.
 * -1301 for T, k or window <= 0, window > T or window - ddof <= 0. */
CRV_API int64_t crv_rolling_var(const double *X, int64_t T, int64_t k, int64_t window,
                                int64_t ddof, double *buf, double *out);
CRV_API int64_t crv_rolling_std(const double *X, int64_t T, int64_t k, int64_t window,
                                int64_t ddof, double *buf, double *out);
/* Input-block words: X, then buf. */
CRV_API crv_arena_size_t crv_rolling_var_arena_size(int64_t T, int64_t k);
CRV_API crv_arena_size_t crv_rolling_std_arena_size(int64_t T, int64_t k);

/* Runners (crv_mc_runner). Input block: X (T x k), then the kernel's scratch;
 * out block: the kernel's output rows. */
CRV_API int32_t crv_mc_standardize_runner(int64_t rep, double *input, double *out, double *work,
                                          int64_t *iout, void *ctx);
CRV_API int32_t crv_mc_log_runner(int64_t rep, double *input, double *out, double *work,
                                  int64_t *iout, void *ctx);
CRV_API int32_t crv_mc_log_diff_runner(int64_t rep, double *input, double *out, double *work,
                                       int64_t *iout, void *ctx);
CRV_API int32_t crv_mc_diff_runner(int64_t rep, double *input, double *out, double *work,
                                   int64_t *iout, void *ctx);
CRV_API int32_t crv_mc_rolling_mean_runner(int64_t rep, double *input, double *out,
                                           double *work, int64_t *iout, void *ctx);
CRV_API int32_t crv_mc_rolling_var_runner(int64_t rep, double *input, double *out, double *work,
                                          int64_t *iout, void *ctx);
CRV_API int32_t crv_mc_rolling_std_runner(int64_t rep, double *input, double *out, double *work,
                                          int64_t *iout, void *ctx);

/* fn(input, out, word1, word2, word3, word4); its result is stored in iout[0]
 * (when given) and returned. A null ctx or fn fails with -1201. */
CRV_API int32_t crv_mc_user_transform_runner(int64_t rep, double *input, double *out,
                                             double *work, int64_t *iout, void *ctx);

CRV_LAYOUT_CHECK(sizeof(crv_mc_standardize_ctx) == 24, "crv_mc_standardize_ctx layout");
CRV_LAYOUT_CHECK(sizeof(crv_mc_log_ctx) == 24, "crv_mc_log_ctx layout");
CRV_LAYOUT_CHECK(offsetof(crv_mc_log_ctx, shift) == 16, "crv_mc_log_ctx layout");
CRV_LAYOUT_CHECK(sizeof(crv_mc_diff_ctx) == 24, "crv_mc_diff_ctx layout");
CRV_LAYOUT_CHECK(sizeof(crv_mc_rolling_mean_ctx) == 24, "crv_mc_rolling_mean_ctx layout");
CRV_LAYOUT_CHECK(sizeof(crv_mc_rolling_var_ctx) == 32, "crv_mc_rolling_var_ctx layout");
CRV_LAYOUT_CHECK(sizeof(crv_mc_user_transform_ctx) == 40, "crv_mc_user_transform_ctx layout");
CRV_LAYOUT_CHECK(offsetof(crv_mc_user_transform_ctx, word4) == 32,
                 "crv_mc_user_transform_ctx layout");

#endif
