/* Monte Carlo test runners: the residual, stability and HAC Wald statistics
 * applied to each replication (crv_mc_runner protocol, mc.h).
 *
 * Input blocks (words): the Wald runner: X (T x k), then the statistic's
 * double arena; its work block is the statistic's integer arena. The
 * Ljung-Box and Jarque-Bera runners: the series (T), then the statistic's
 * scratch. The other runners: the series (T: residuals or the dependent
 * variable), the regressors (T x k), then the statistic's scratch; the
 * Breusch-Pagan runner first builds its design [1, z] (T x (k + 1)) after
 * the regressors, and its scratch follows the design.
 *
 * Out block: the statistic (1 double), set to NaN before the statistic runs,
 * so a statistic that leaves its output unwritten reports NaN. iout[0] (when
 * given) receives the statistic's status (diagnostics.h), or -1003 for a
 * negative T or k in the context. A failing statistic never fails the
 * replication: the runners return 0, except for a stage that cannot run at
 * all (null ctx, input or out block, or a null work block or target for the
 * Wald runner), which fails with -1201. */
#ifndef CORVANE_MC_TEST_RUNNERS_H
#define CORVANE_MC_TEST_RUNNERS_H

#include "crv_api.h"
#include "mc.h"

/* Wald kinds: 0 mean, 1 covariance, anything else second moment. target is
 * mu0 (k) or Sigma0 (k x k); code, rule and bw as in hac.h. */
typedef struct crv_mc_wald_test_ctx {
    const double *target;
    int64_t T;
    int64_t k;
    int64_t bw;
    int32_t code;
    int32_t rule;
    int32_t kind;
} crv_mc_wald_test_ctx;

typedef struct crv_mc_ljung_box_test_ctx {
    int64_t T;
    int64_t lags;
} crv_mc_ljung_box_test_ctx;

typedef struct crv_mc_jarque_bera_test_ctx {
    int64_t T;
} crv_mc_jarque_bera_test_ctx;

/* option: crv_bp_stat's studentized flag. */
typedef struct crv_mc_breusch_pagan_test_ctx {
    int64_t T;
    int64_t k;
    int32_t option;
} crv_mc_breusch_pagan_test_ctx;

typedef struct crv_mc_breusch_godfrey_test_ctx {
    int64_t T;
    int64_t k;
    int64_t lags;
} crv_mc_breusch_godfrey_test_ctx;

/* Context of the CUSUM and CUSUM-of-squares runners. */
typedef struct crv_mc_cusum_test_ctx {
    int64_t T;
    int64_t k;
} crv_mc_cusum_test_ctx;

/* break_point: rows 0 ... break_point - 1 form the first regime. */
typedef struct crv_mc_chow_test_ctx {
    int64_t T;
    int64_t k;
    int64_t break_point;
} crv_mc_chow_test_ctx;

/* kind 0: crv_wald_mean_hac, 1: crv_wald_covariance_hac, other:
 * crv_wald_second_moment_hac on (X, target, T, k, code, rule, bw,
 * input + T k, work, out). */
CRV_API int32_t crv_mc_wald_test_runner(int64_t rep, double *input, double *out, double *work,
                                        int64_t *iout, void *ctx);
/* crv_lb_stat(series, T, lags, input + T, input + 2T, out). */
CRV_API int32_t crv_mc_ljung_box_test_runner(int64_t rep, double *input, double *out,
                                             double *work, int64_t *iout, void *ctx);
/* crv_jb_stat(series, T, out). */
CRV_API int32_t crv_mc_jarque_bera_test_runner(int64_t rep, double *input, double *out,
                                               double *work, int64_t *iout, void *ctx);
/* Design [1, z] at input + T + T k, then crv_bp_stat(residuals, design, T,
 * k + 1, option, the words after the design, out). */
CRV_API int32_t crv_mc_breusch_pagan_test_runner(int64_t rep, double *input, double *out,
                                                 double *work, int64_t *iout, void *ctx);
/* crv_bg_stat(residuals, X, T, k, lags, input + T + T k, out). */
CRV_API int32_t crv_mc_breusch_godfrey_test_runner(int64_t rep, double *input, double *out,
                                                   double *work, int64_t *iout, void *ctx);
/* crv_cusum_stat(y, X, T, k, input + T + T k, out). */
CRV_API int32_t crv_mc_cusum_test_runner(int64_t rep, double *input, double *out, double *work,
                                         int64_t *iout, void *ctx);
/* crv_cusumsq_stat(y, X, T, k, discarded count, input + T + T k, out). */
CRV_API int32_t crv_mc_cusumsq_test_runner(int64_t rep, double *input, double *out,
                                           double *work, int64_t *iout, void *ctx);
/* crv_chow_stat(y, X, T, k, break_point, input + T + T k, out). */
CRV_API int32_t crv_mc_chow_test_runner(int64_t rep, double *input, double *out, double *work,
                                        int64_t *iout, void *ctx);

CRV_LAYOUT_CHECK(sizeof(crv_mc_wald_test_ctx) == 48, "crv_mc_wald_test_ctx layout");
CRV_LAYOUT_CHECK(offsetof(crv_mc_wald_test_ctx, bw) == 24, "crv_mc_wald_test_ctx layout");
CRV_LAYOUT_CHECK(offsetof(crv_mc_wald_test_ctx, code) == 32, "crv_mc_wald_test_ctx layout");
CRV_LAYOUT_CHECK(offsetof(crv_mc_wald_test_ctx, kind) == 40, "crv_mc_wald_test_ctx layout");
CRV_LAYOUT_CHECK(sizeof(crv_mc_ljung_box_test_ctx) == 16, "crv_mc_ljung_box_test_ctx layout");
CRV_LAYOUT_CHECK(sizeof(crv_mc_jarque_bera_test_ctx) == 8, "crv_mc_jarque_bera_test_ctx layout");
CRV_LAYOUT_CHECK(sizeof(crv_mc_breusch_pagan_test_ctx) == 24,
                 "crv_mc_breusch_pagan_test_ctx layout");
CRV_LAYOUT_CHECK(offsetof(crv_mc_breusch_pagan_test_ctx, option) == 16,
                 "crv_mc_breusch_pagan_test_ctx layout");
CRV_LAYOUT_CHECK(sizeof(crv_mc_breusch_godfrey_test_ctx) == 24,
                 "crv_mc_breusch_godfrey_test_ctx layout");
CRV_LAYOUT_CHECK(sizeof(crv_mc_cusum_test_ctx) == 16, "crv_mc_cusum_test_ctx layout");
CRV_LAYOUT_CHECK(sizeof(crv_mc_chow_test_ctx) == 24, "crv_mc_chow_test_ctx layout");

#endif
