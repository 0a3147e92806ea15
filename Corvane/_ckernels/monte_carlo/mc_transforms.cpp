// Data transforms: the kernels, their size functions and their Monte Carlo
// runners. All loops walk the rows in order and update the k columns side by
// side, so each column sees exactly the arithmetic of a single series.
#include <climits>
#include <cmath>

#include "mc_transforms.h"
#include "mc_transforms_layout.hpp"

namespace {

using crv::detail::TransformInput;

constexpr int64_t kInvalid = CRV_TRANSFORM_INVALID;

inline int64_t nonneg(int64_t v) { return v > 0 ? v : 0; }

// The runner's input block: X and `rows` rows of scratch; negative
// dimensions count as 0 and a count beyond int64 is INT64_MAX.
crv_arena_size_t input_words(int64_t T, int64_t k, int64_t rows) {
    return crv::detail::arena_size<TransformInput>(nonneg(T), nonneg(k), nonneg(rows));
}

// The scratch of a runner's input block.
double *scratch_of(double *input, int64_t T, int64_t k, int64_t rows) {
    return crv::detail::carve<TransformInput>(input, nullptr, T, k, rows).scratch;
}

// Welford's update of one column: delta = x - mean; mean += delta / i;
// M2 += (x - mean) delta as one fused multiply-add.
inline void welford_add(double x, double count, double &mean, double &m2) {
    const double delta = x - mean;
    mean += delta / count;
    m2 = std::fma(x - mean, delta, m2);
}

template <bool kStd>
int64_t rolling_moment(const double *X, int64_t T, int64_t k, int64_t window, int64_t ddof,
                       double *buf, double *out) {
    if (T <= 0 || k <= 0 || window <= 0 || window > T || window - ddof <= 0) return kInvalid;
    double *mean = buf;
    double *m2 = buf + k;
    for (int64_t j = 0; j < k; ++j) mean[j] = m2[j] = 0.0;
    for (int64_t i = 0; i < window; ++i) {
        const double *row = X + i * k;
        const double count = static_cast<double>(i + 1);
        for (int64_t j = 0; j < k; ++j) welford_add(row[j], count, mean[j], m2[j]);
    }
    const double w = static_cast<double>(window);
    const double divisor = static_cast<double>(window - ddof);
    auto emit = [&](double *dst) {
        for (int64_t j = 0; j < k; ++j) {
            const double var = (m2[j] < 0.0 ? 0.0 : m2[j]) / divisor;  // NaN stays NaN
            dst[j] = kStd ? std::sqrt(var) : var;
        }
    };
    emit(out);
    for (int64_t i = window; i < T; ++i) {
        const double *oldest = X + (i - window) * k;
        const double *row = X + i * k;
        for (int64_t j = 0; j < k; ++j) {
            const double x_o = oldest[j];
            double mean_r = 0.0, m2_r = 0.0;
            if (window > 1) {
                mean_r = (mean[j] * w - x_o) / (w - 1.0);
                m2_r = m2[j] + (x_o - mean[j]) * (mean_r - x_o);
            }
            const double x_n = row[j];
            const double delta = x_n - mean_r;
            mean[j] = mean_r + delta / w;
            const double m2_n = m2_r + delta * (x_n - mean[j]);
            m2[j] = m2_n < 0.0 ? 0.0 : m2_n;  // NaN stays NaN
        }
        emit(out + (i - window + 1) * k);
    }
    return 0;
}

// The common tail of the transform runners.
inline int32_t finish(int64_t status, int64_t *iout) {
    if (iout != nullptr) iout[0] = status;
    return static_cast<int32_t>(status);
}

// The block pointers a transform runner needs: the input always, the out
// block when the kernel writes rows.
inline bool blocks_ok(const double *input, const double *out, int64_t out_rows) {
    return input != nullptr && (out_rows <= 0 || out != nullptr);
}

}  // namespace

int64_t crv_standardize_ax0(const double *X, int64_t ddof, int64_t T, int64_t k, double *buf,
                            double *out) {
    if (T <= 0 || k < 1 || T - ddof <= 0) return kInvalid;
    double *mean = buf;
    double *scale = buf + k;  // M2, then 1/sd
    for (int64_t j = 0; j < k; ++j) mean[j] = scale[j] = 0.0;
    for (int64_t i = 0; i < T; ++i) {
        const double *row = X + i * k;
        const double count = static_cast<double>(i + 1);
        for (int64_t j = 0; j < k; ++j) welford_add(row[j], count, mean[j], scale[j]);
    }
    const double divisor = static_cast<double>(T - ddof);
    for (int64_t j = 0; j < k; ++j) {
        const double var = scale[j] / divisor;
        scale[j] = var > 0.0 ? 1.0 / std::sqrt(var) : 0.0;
    }
    for (int64_t i = 0; i < T; ++i) {
        const double *row = X + i * k;
        double *dst = out + i * k;
        for (int64_t j = 0; j < k; ++j) dst[j] = (row[j] - mean[j]) * scale[j];
    }
    return 0;
}

crv_arena_size_t crv_standardize_ax0_arena_size(int64_t T, int64_t k) {
    return input_words(T, k, 2);
}

int64_t crv_log(const double *X, int64_t T, int64_t k, double *out, double shift) {
    if (T <= 0 || k <= 0) return kInvalid;
    const int64_t n = T * k;
    for (int64_t i = 0; i < n; ++i) out[i] = std::log(X[i] + shift);
    return 0;
}

crv_arena_size_t crv_log_arena_size(int64_t T, int64_t k) { return input_words(T, k, 0); }

int64_t crv_log_diff(const double *X, int64_t T, int64_t k, double *prev, double *out,
                     double shift) {
    if (T <= 0 || k <= 0) return kInvalid;
    for (int64_t j = 0; j < k; ++j) prev[j] = std::log(X[j] + shift);
    for (int64_t i = 1; i < T; ++i) {
        const double *row = X + i * k;
        double *dst = out + (i - 1) * k;
        for (int64_t j = 0; j < k; ++j) {
            const double l = std::log(row[j] + shift);
            dst[j] = l - prev[j];
            prev[j] = l;
        }
    }
    return 0;
}

crv_arena_size_t crv_log_diff_arena_size(int64_t T, int64_t k) { return input_words(T, k, 1); }

int64_t crv_diff(const double *X, int64_t order, int64_t T, int64_t k, double *state,
                 double *out) {
    if (order < 1 || k < 1 || T < 1) return kInvalid;
    for (int64_t i = 0; i < T; ++i) {
        const double *row = X + i * k;
        const int64_t levels = i < order ? i : order;
        for (int64_t j = 0; j < k; ++j) {
            double b = row[j];
            for (int64_t l = 0; l < levels; ++l) {
                const double c = state[l * k + j];
                state[l * k + j] = b;
                b = b - c;
            }
            if (i < order)
                state[i * k + j] = b;
            else if (out != nullptr)
                out[(i - order) * k + j] = b;
        }
    }
    return 0;
}

crv_arena_size_t crv_diff_arena_size(int64_t T, int64_t k, int64_t order) {
    return input_words(T, k, order);
}

int64_t crv_rolling_mean(const double *X, int64_t T, int64_t k, int64_t window, double *buf,
                         double *out) {
    if (T <= 0 || k <= 0 || window <= 0 || T < window) return kInvalid;
    double *sum = buf;
    for (int64_t j = 0; j < k; ++j) sum[j] = 0.0;
    for (int64_t i = 0; i < window; ++i) {
        const double *row = X + i * k;
        for (int64_t j = 0; j < k; ++j) sum[j] += row[j];
    }
    const double inv_window = 1.0 / static_cast<double>(window);
    for (int64_t j = 0; j < k; ++j) out[j] = sum[j] * inv_window;
    for (int64_t i = window; i < T; ++i) {
        const double *row = X + i * k;
        const double *oldest = X + (i - window) * k;
        double *dst = out + (i - window + 1) * k;
        for (int64_t j = 0; j < k; ++j) {
            sum[j] = sum[j] + (row[j] - oldest[j]);
            dst[j] = sum[j] * inv_window;
        }
    }
    return 0;
}

crv_arena_size_t crv_rolling_mean_arena_size(int64_t T, int64_t k) {
    return input_words(T, k, 1);
}

int64_t crv_rolling_var(const double *X, int64_t T, int64_t k, int64_t window, int64_t ddof,
                        double *buf, double *out) {
    return rolling_moment<false>(X, T, k, window, ddof, buf, out);
}

int64_t crv_rolling_std(const double *X, int64_t T, int64_t k, int64_t window, int64_t ddof,
                        double *buf, double *out) {
    return rolling_moment<true>(X, T, k, window, ddof, buf, out);
}

crv_arena_size_t crv_rolling_var_arena_size(int64_t T, int64_t k) {
    return input_words(T, k, 2);
}

crv_arena_size_t crv_rolling_std_arena_size(int64_t T, int64_t k) {
    return crv_rolling_var_arena_size(T, k);
}

// ---------------------------------------------------------------------------
// Runners: the TransformInput layout over the input block.

int32_t crv_mc_standardize_runner(int64_t, double *input, double *out, double *, int64_t *iout,
                                  void *ctx) {
    const auto *c = static_cast<const crv_mc_standardize_ctx *>(ctx);
    if (c == nullptr) return finish(CRV_MC_INVALID, iout);
    int64_t status = kInvalid;
    if (c->T > 0 && c->k >= 1 && c->T - c->ddof > 0) {
        status = blocks_ok(input, out, c->T)
                     ? crv_standardize_ax0(input, c->ddof, c->T, c->k,
                                           scratch_of(input, c->T, c->k, 2), out)
                     : CRV_MC_INVALID;
    }
    return finish(status, iout);
}

int32_t crv_mc_log_runner(int64_t, double *input, double *out, double *, int64_t *iout,
                          void *ctx) {
    const auto *c = static_cast<const crv_mc_log_ctx *>(ctx);
    if (c == nullptr) return finish(CRV_MC_INVALID, iout);
    int64_t status = kInvalid;
    if (c->T > 0 && c->k > 0)
        status = blocks_ok(input, out, c->T) ? crv_log(input, c->T, c->k, out, c->shift)
                                             : CRV_MC_INVALID;
    return finish(status, iout);
}

int32_t crv_mc_log_diff_runner(int64_t, double *input, double *out, double *, int64_t *iout,
                               void *ctx) {
    const auto *c = static_cast<const crv_mc_log_ctx *>(ctx);
    if (c == nullptr) return finish(CRV_MC_INVALID, iout);
    int64_t status = kInvalid;
    if (c->T > 0 && c->k > 0)
        status = blocks_ok(input, out, c->T - 1)
                     ? crv_log_diff(input, c->T, c->k, scratch_of(input, c->T, c->k, 1), out,
                                    c->shift)
                     : CRV_MC_INVALID;
    return finish(status, iout);
}

int32_t crv_mc_diff_runner(int64_t, double *input, double *out, double *, int64_t *iout,
                           void *ctx) {
    const auto *c = static_cast<const crv_mc_diff_ctx *>(ctx);
    if (c == nullptr) return finish(CRV_MC_INVALID, iout);
    int64_t status = kInvalid;
    if (c->order >= 1 && c->k >= 1 && c->T >= 1)
        status = blocks_ok(input, out, c->T - c->order)
                     ? crv_diff(input, c->order, c->T, c->k,
                                scratch_of(input, c->T, c->k, c->order), out)
                     : CRV_MC_INVALID;
    return finish(status, iout);
}

int32_t crv_mc_rolling_mean_runner(int64_t, double *input, double *out, double *, int64_t *iout,
                                   void *ctx) {
    const auto *c = static_cast<const crv_mc_rolling_mean_ctx *>(ctx);
    if (c == nullptr) return finish(CRV_MC_INVALID, iout);
    int64_t status = kInvalid;
    if (c->T > 0 && c->k > 0 && c->window > 0 && c->T >= c->window)
        status = blocks_ok(input, out, 1)
                     ? crv_rolling_mean(input, c->T, c->k, c->window,
                                        scratch_of(input, c->T, c->k, 1), out)
                     : CRV_MC_INVALID;
    return finish(status, iout);
}

namespace {

template <bool kStd>
int32_t rolling_moment_runner(double *input, double *out, int64_t *iout, void *ctx) {
    const auto *c = static_cast<const crv_mc_rolling_var_ctx *>(ctx);
    if (c == nullptr) return finish(CRV_MC_INVALID, iout);
    int64_t status = kInvalid;
    if (c->T > 0 && c->k > 0 && c->window > 0 && c->window <= c->T && c->window - c->ddof > 0)
        status = blocks_ok(input, out, 1)
                     ? rolling_moment<kStd>(input, c->T, c->k, c->window, c->ddof,
                                            scratch_of(input, c->T, c->k, 2), out)
                     : CRV_MC_INVALID;
    return finish(status, iout);
}

}  // namespace

int32_t crv_mc_rolling_var_runner(int64_t, double *input, double *out, double *, int64_t *iout,
                                  void *ctx) {
    return rolling_moment_runner<false>(input, out, iout, ctx);
}

int32_t crv_mc_rolling_std_runner(int64_t, double *input, double *out, double *, int64_t *iout,
                                  void *ctx) {
    return rolling_moment_runner<true>(input, out, iout, ctx);
}

int32_t crv_mc_user_transform_runner(int64_t, double *input, double *out, double *,
                                     int64_t *iout, void *ctx) {
    const auto *c = static_cast<const crv_mc_user_transform_ctx *>(ctx);
    if (c == nullptr || c->fn == nullptr) return finish(CRV_MC_INVALID, iout);
    return finish(c->fn(input, out, c->word1, c->word2, c->word3, c->word4), iout);
}
