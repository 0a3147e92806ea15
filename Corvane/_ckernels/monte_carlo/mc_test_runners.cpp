// Test runners: unpack the context, lay the statistic's arguments over the
// stage's blocks, run it and keep its status as an integer result.
#include <limits>

#include "constants.hpp"
#include "diagnostics.h"
#include "hac.h"
#include "mc_test_runners.h"
#include "stability.h"

namespace {

using crv::detail::kNaN;

// Status of a stage that cannot run: it fails the replication.
inline int32_t cannot_run(int64_t *iout) {
    if (iout != nullptr) iout[0] = CRV_MC_INVALID;
    return CRV_MC_INVALID;
}

// Records the statistic's status; the replication goes on whatever it is.
inline int32_t keep(int32_t status, int64_t *iout) {
    if (iout != nullptr) iout[0] = status;
    return 0;
}

// Shared prologue: false when the stage cannot run (the caller fails it),
// otherwise the output is NaN until the statistic writes it.
template <typename Ctx>
inline const Ctx *prepare(void *ctx, const double *input, double *out) {
    if (ctx == nullptr || input == nullptr || out == nullptr) return nullptr;
    out[0] = kNaN;
    return static_cast<const Ctx *>(ctx);
}

// Series (T) and regressors (T x k) at the start of the input block; the
// statistic's scratch after them.
struct Regression {
    const double *y;
    const double *X;
    double *scratch;
};

inline Regression regression_blocks(double *input, int64_t T, int64_t k) {
    return {input, input + T, input + T + T * k};
}

}  // namespace

int32_t crv_mc_wald_test_runner(int64_t, double *input, double *out, double *work, int64_t *iout,
                                void *ctx) {
    const auto *c = prepare<crv_mc_wald_test_ctx>(ctx, input, out);
    if (c == nullptr || work == nullptr || c->target == nullptr) return cannot_run(iout);
    if (c->T < 0 || c->k < 0) return keep(CRV_STAT_BAD_VARIANCE, iout);
    double *scratch = input + c->T * c->k;
    auto *iwork = reinterpret_cast<int64_t *>(work);
    int32_t status;
    if (c->kind == 0)
        status = crv_wald_mean_hac(input, c->target, c->T, c->k, c->code, c->rule, c->bw,
                                   scratch, iwork, out);
    else if (c->kind == 1)
        status = crv_wald_covariance_hac(input, c->target, c->T, c->k, c->code, c->rule, c->bw,
                                         scratch, iwork, out);
    else
        status = crv_wald_second_moment_hac(input, c->target, c->T, c->k, c->code, c->rule,
                                            c->bw, scratch, iwork, out);
    return keep(status, iout);
}

int32_t crv_mc_ljung_box_test_runner(int64_t, double *input, double *out, double *,
                                     int64_t *iout, void *ctx) {
    const auto *c = prepare<crv_mc_ljung_box_test_ctx>(ctx, input, out);
    if (c == nullptr) return cannot_run(iout);
    if (c->T < 0) return keep(CRV_STAT_BAD_VARIANCE, iout);
    return keep(crv_lb_stat(input, c->T, c->lags, input + c->T, input + 2 * c->T, out), iout);
}

int32_t crv_mc_jarque_bera_test_runner(int64_t, double *input, double *out, double *,
                                       int64_t *iout, void *ctx) {
    const auto *c = prepare<crv_mc_jarque_bera_test_ctx>(ctx, input, out);
    if (c == nullptr) return cannot_run(iout);
    return keep(crv_jb_stat(input, c->T, out), iout);
}

int32_t crv_mc_breusch_pagan_test_runner(int64_t, double *input, double *out, double *,
                                         int64_t *iout, void *ctx) {
    const auto *c = prepare<crv_mc_breusch_pagan_test_ctx>(ctx, input, out);
    if (c == nullptr) return cannot_run(iout);
    const int64_t T = c->T, k = c->k;
    if (T < 0 || k < 0) return keep(CRV_STAT_BAD_VARIANCE, iout);
    const Regression blocks = regression_blocks(input, T, k);
    double *design = blocks.scratch;  // [1, z], T x (k + 1)
    for (int64_t t = 0; t < T; ++t) {
        double *row = design + t * (k + 1);
        const double *z = blocks.X + t * k;
        row[0] = 1.0;
        for (int64_t j = 0; j < k; ++j) row[j + 1] = z[j];
    }
    return keep(crv_bp_stat(blocks.y, design, T, k + 1, c->option, design + T * (k + 1), out),
                iout);
}

int32_t crv_mc_breusch_godfrey_test_runner(int64_t, double *input, double *out, double *,
                                           int64_t *iout, void *ctx) {
    const auto *c = prepare<crv_mc_breusch_godfrey_test_ctx>(ctx, input, out);
    if (c == nullptr) return cannot_run(iout);
    if (c->T < 0 || c->k < 0) return keep(CRV_STAT_BAD_VARIANCE, iout);
    const Regression b = regression_blocks(input, c->T, c->k);
    return keep(crv_bg_stat(b.y, b.X, c->T, c->k, c->lags, b.scratch, out), iout);
}

int32_t crv_mc_cusum_test_runner(int64_t, double *input, double *out, double *, int64_t *iout,
                                 void *ctx) {
    const auto *c = prepare<crv_mc_cusum_test_ctx>(ctx, input, out);
    if (c == nullptr) return cannot_run(iout);
    if (c->T < 0 || c->k < 0) return keep(CRV_STAT_BAD_VARIANCE, iout);
    const Regression b = regression_blocks(input, c->T, c->k);
    return keep(crv_cusum_stat(b.y, b.X, c->T, c->k, b.scratch, out), iout);
}

int32_t crv_mc_cusumsq_test_runner(int64_t, double *input, double *out, double *,
                                   int64_t *iout, void *ctx) {
    const auto *c = prepare<crv_mc_cusum_test_ctx>(ctx, input, out);
    if (c == nullptr) return cannot_run(iout);
    if (c->T < 0 || c->k < 0) return keep(CRV_STAT_BAD_VARIANCE, iout);
    const Regression b = regression_blocks(input, c->T, c->k);
    int64_t discarded_m = 0;
    return keep(crv_cusumsq_stat(b.y, b.X, c->T, c->k, &discarded_m, b.scratch, out), iout);
}

int32_t crv_mc_chow_test_runner(int64_t, double *input, double *out, double *, int64_t *iout,
                                void *ctx) {
    const auto *c = prepare<crv_mc_chow_test_ctx>(ctx, input, out);
    if (c == nullptr) return cannot_run(iout);
    if (c->T < 0 || c->k < 0) return keep(CRV_STAT_BAD_VARIANCE, iout);
    const Regression b = regression_blocks(input, c->T, c->k);
    return keep(crv_chow_stat(b.y, b.X, c->T, c->k, c->break_point, b.scratch, out), iout);
}
