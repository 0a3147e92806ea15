// HAC long-run covariance, bandwidth rules and the Wald tests on the mean,
// covariance and second-moment matrix.
#include <cmath>

#include "arena.hpp"
#include "constants.hpp"
#include "fdot.hpp"
#include "hac.h"
#include "linalg.h"
#include "stats_layout.hpp"
#include "stats_tables.hpp"

using crv::detail::fdot;
using crv::detail::kNaN;
using crv::tables::kernel_specs;
using crv::detail::vech_size;

namespace {

constexpr double kSixPi = 18.84955592153876;
constexpr double kTwelvePiSq = 118.4352528130723;
constexpr double kFloorExponent = 0.2222222222222222;

enum Rule : int32_t { kFixed = 0, kFloor = 1, kPlugIn = 2, kFloorOrPlugIn = 3 };

// AR(1) plug-in rule on the series x[0], x[stride], ..., x[(T-1) stride].
int64_t plug_in_bandwidth(const double *x, int64_t stride, int32_t code, int64_t T) {
    if (T < 2 || code < 0 || code >= CRV_KERNEL_COUNT) return 1;
    const double dT = static_cast<double>(T);
    double sum = 0.0;
    for (int64_t t = 0; t < T; ++t) sum += x[t * stride];
    const double mean = sum / dT;
    double ss = 0.0;
    for (int64_t t = 0; t < T; ++t) {
        const double c = x[t * stride] - mean;
        ss = std::fma(c, c, ss);
    }
    const double var = ss / dT;
    if (var <= 1e-14) return 1;
    const double num = crv::detail::fdot_lanes_strided(x + stride, x, stride, T - 1);
    const double den = crv::detail::fdot_lanes_strided(x, x, stride, T - 1);
    if (!std::isfinite(den) || !std::isfinite(num) || den == 0.0) return 1;
    double rho = num / den;
    rho = rho < -0.999 ? -0.999 : (rho > 0.999 ? 0.999 : rho);
    const double alpha = 2.0 * rho * (1.0 + rho) / ((1.0 - rho) * (1.0 - rho));
    if (!(std::isfinite(alpha) && alpha > 0.0)) return 1;
    const double a = kernel_specs[code][0];
    const double p = 1.0 / (2.0 * kernel_specs[code][1] + 1.0);
    const double b = std::floor(std::pow(dT, p) * a * std::pow(alpha, p));
    return b < 2.0 ? 1 : static_cast<int64_t>(b);
}

// Moments M (T x m) centred in place, then the HAC Wald statistic against
// target, on the WaldMomentsArena layout of (work, iwork).
int32_t wald_hac_from_moments(double *M, const double *target, int64_t T, int64_t m,
                              int32_t code, int32_t rule, int64_t bw, double *work,
                              int64_t *iwork, double *out) {
    const auto a = crv::detail::carve<crv::detail::WaldMomentsArena>(work, iwork, m);
    double *mean = a.mean, *gamma = a.gamma, *S = a.S, *d = a.d, *F = a.F, *z = a.z;
    double *bw_work = a.bandwidths;

    crv_fill_mean_ax0(M, T, m, mean);
    crv_fill_centered_ax0(M, mean, T, m, M);
    if (code < 0 || code > 2) return CRV_STAT_BAD_ARG;
    switch (rule) {
        case kFixed:
            if (bw < 0) return CRV_STAT_BAD_ARG;
            break;
        case kFloor:
            bw = wooldridge_bandwidth(M, T);
            break;
        case kPlugIn:
            bw = andrews_bandwidth_matrix(M, code, T, m, bw_work);
            break;
        case kFloorOrPlugIn:
            bw = code == 0 ? wooldridge_bandwidth(M, T) : andrews_bandwidth_matrix(M, code, T, m, bw_work);
            break;
        default:
            return CRV_STAT_BAD_ARG;
    }
    crv_hac_estimator_matmul(M, code, bw < T - 1 ? bw : T - 1, T, m, gamma, S);
    return crv_wald_stat_from_mean_and_cov(mean, target, S, T, m, d, F, a.piv, z, out);
}

}  // namespace

double kernel_weight(int64_t j, int64_t bw, int32_t code) {
    if (bw < 0 || code < 0 || code > 2) return 0.0;
    const int64_t lag = j < 0 ? -j : j;
    const double x = static_cast<double>(lag) / (static_cast<double>(bw) + 1.0);
    switch (code) {
        case 0:
            return lag <= bw ? 1.0 - x : 0.0;
        case 1:
            if (x <= 0.5) return 1.0 - 6.0 * x * x + 6.0 * x * x * x;
            if (x <= 1.0) {
                const double c = 1.0 - x;
                return 2.0 * c * c * c;
            }
            return 0.0;
        default: {
            if (x <= 1e-8) return 1.0;
            const double z = kSixPi * x / 5.0;
            return 25.0 / (kTwelvePiSq * x * x) * (std::sin(z) / z - std::cos(z));
        }
    }
}

int64_t wooldridge_bandwidth(const double *, int64_t T) {
    if (T <= 0) return 0;
    return static_cast<int64_t>(
        std::floor(4.0 * std::pow(static_cast<double>(T) / 100.0, kFloorExponent)));
}

int64_t andrews_bandwidth(const double *x, int32_t code, int64_t T) {
    return plug_in_bandwidth(x, 1, code, T);
}

int64_t andrews_bandwidth_matrix(const double *X, int32_t code, int64_t T, int64_t k,
                                 double *work) {
    if (k == 1) return plug_in_bandwidth(X, 1, code, T);
    if (k <= 0 || T < 2) return 1;
    for (int64_t c = 0; c < k; ++c)
        work[c] = static_cast<double>(plug_in_bandwidth(X + c, k, code, T));
    return static_cast<int64_t>(std::floor(crv_median_f64(work, k)));
}

void crv_fill_mean_ax0(const double *X, int64_t T, int64_t k, double *mean) {
    if (k <= 0) return;
    for (int64_t c = 0; c < k; ++c) mean[c] = 0.0;
    for (int64_t t = 0; t < T; ++t)
        for (int64_t c = 0; c < k; ++c) mean[c] += X[t * k + c];
    const double dT = T > 0 ? static_cast<double>(T) : kNaN;
    for (int64_t c = 0; c < k; ++c) mean[c] /= dT;
}

void crv_fill_centered_ax0(const double *X, const double *mean, int64_t T, int64_t k,
                           double *out) {
    if (k <= 0) return;
    for (int64_t t = 0; t < T; ++t)
        for (int64_t c = 0; c < k; ++c) out[t * k + c] = X[t * k + c] - mean[c];
}

void crv_hac_estimator_matmul(const double *X, int32_t code, int64_t bw, int64_t T, int64_t k,
                              double *work, double *S) {
    if (k <= 0) return;
    crv_gram(X, S, T, k);
    const int64_t L = bw < T - 1 ? bw : T - 1;
    for (int64_t j = 1; j <= L; ++j) {
        const double w = kernel_weight(j, L, code);
        if (w == 0.0) continue;
        crv_matmul_atb(X, X + j * k, work, T - j, k, k);
        for (int64_t r = 0; r < k; ++r)
            for (int64_t c = 0; c < k; ++c)
                S[r * k + c] = std::fma(w, work[r * k + c] + work[c * k + r], S[r * k + c]);
    }
    const double dT = static_cast<double>(T);
    for (int64_t i = 0; i < k * k; ++i) S[i] /= dT;
}

int32_t crv_wald_stat_from_mean_and_cov(const double *mean, const double *mu0, const double *S,
                                        int64_t T, int64_t k, double *d, double *F, int64_t *piv,
                                        double *z, double *out) {
    *out = kNaN;
    crv_vsub(mean, mu0, d, k);
    if (crv_chol(S, F, k, 0.0) == 0) {
        crv_forward_subst(F, d, z, k);
        crv_backward_subst_chol_t(F, z, z, k);
    } else {
        crv::detail::copy_f64(F, S, k * k);
        if (crv_lu_factor_inplace(F, piv, k) != 0) return CRV_STAT_SINGULAR;
        crv_lu_solve(F, piv, d, z, k, 1);
    }
    double W = static_cast<double>(T) * (k > 0 ? fdot(d, z, k) : 0.0);
    if (W > -1e-12 && W < 0.0) W = 0.0;
    *out = W;
    return 0;
}

crv_arena_size_t crv_wald_mean_hac_arena_size(int64_t T, int64_t k) {
    return crv::detail::arena_size<crv::detail::WaldMeanArena>(T, k);
}

int32_t crv_wald_mean_hac(const double *X, const double *mu0, int64_t T, int64_t k, int32_t code,
                          int32_t rule, int64_t bw, double *arena, int64_t *iarena, double *out) {
    if (T < 2) return CRV_STAT_TOO_FEW;
    const auto a = crv::detail::carve<crv::detail::WaldMeanArena>(arena, iarena, T, k);
    crv::detail::copy_f64(a.moments, X, T * k);
    return wald_hac_from_moments(a.moments, mu0, T, k, code, rule, bw, a.step, a.step_slots, out);
}

crv_arena_size_t crv_wald_covariance_hac_arena_size(int64_t T, int64_t k) {
    return crv::detail::arena_size<crv::detail::WaldCovArena>(T, k);
}

int32_t crv_fill_symmetric_target_vec(const double *A, int64_t k, double *out, double atol,
                                      double rtol) {
    int64_t idx = 0;
    for (int64_t j = 0; j < k; ++j)
        for (int64_t l = j; l < k; ++l) {
            const double upper = A[j * k + l], lower = A[l * k + j];
            if (upper != lower) {
                const double diff = std::fabs(upper - lower);
                if (!(std::isfinite(diff) && diff <= atol + rtol * std::fabs(lower)))
                    return CRV_STAT_ASYMMETRIC;
            }
            out[idx++] = upper;
        }
    return 0;
}

void crv_symmetric_outer_prod_2dim(const double *X, int64_t T, int64_t k, int64_t stride,
                                   double *out) {
    for (int64_t t = 0; t < T; ++t) {
        const double *x = X + t * k;
        double *row = out + t * stride;
        int64_t idx = 0;
        for (int64_t j = 0; j < k; ++j)
            for (int64_t l = j; l < k; ++l) row[idx++] = x[j] * x[l];
    }
}

int32_t crv_wald_covariance_hac(const double *X, const double *Sigma0, int64_t T, int64_t k,
                                int32_t code, int32_t rule, int64_t bw, double *arena,
                                int64_t *iarena, double *out) {
    if (T < 2) return CRV_STAT_TOO_FEW;
    const int64_t h = vech_size(k);
    const auto a = crv::detail::carve<crv::detail::WaldCovArena>(arena, iarena, T, k);
    double *target = a.target, *centred = a.centred, *moments = a.moments;
    double *column_mean = moments;  // until the data are centred
    crv_fill_mean_ax0(X, T, k, column_mean);
    crv_fill_centered_ax0(X, column_mean, T, k, centred);
    if (crv_fill_symmetric_target_vec(Sigma0, k, target, 1e-8, 1e-5) != 0)
        return CRV_STAT_ASYMMETRIC;
    crv_symmetric_outer_prod_2dim(centred, T, k, h, moments);
    return wald_hac_from_moments(moments, target, T, h, code, rule, bw, a.step, a.step_slots, out);
}

crv_arena_size_t crv_wald_second_moment_hac_arena_size(int64_t T, int64_t k) {
    return crv::detail::arena_size<crv::detail::WaldSecondArena>(T, k);
}

int32_t crv_wald_second_moment_hac(const double *X, const double *Sigma0, int64_t T, int64_t k,
                                   int32_t code, int32_t rule, int64_t bw, double *arena,
                                   int64_t *iarena, double *out) {
    if (T < 2) return CRV_STAT_TOO_FEW;
    const int64_t h = vech_size(k);
    const auto a = crv::detail::carve<crv::detail::WaldSecondArena>(arena, iarena, T, k);
    double *target = a.target, *moments = a.moments;
    if (crv_fill_symmetric_target_vec(Sigma0, k, target, 1e-8, 1e-5) != 0)
        return CRV_STAT_ASYMMETRIC;
    crv_symmetric_outer_prod_2dim(X, T, k, h, moments);
    return wald_hac_from_moments(moments, target, T, h, code, rule, bw, a.step, a.step_slots, out);
}
