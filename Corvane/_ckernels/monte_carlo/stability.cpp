// Structural-stability tests: Chow, recursive residuals, CUSUM and CUSUM of
// squares, and the CUSUM boundary-crossing probability.
#include <cmath>

#include "arena.hpp"
#include "constants.hpp"
#include "fdot.hpp"
#include "linalg.h"
#include "stability.h"
#include "stats_layout.hpp"

using crv::detail::faxpy;
using crv::detail::fdot;
using crv::detail::kNaN;

namespace {

using crv::detail::kSqrt2;

// OLS of y on X (rows x k) with G, L, g, beta from the caller; returns the
// residual sum of squares through *ssr. Returns 0 or 1.
int32_t ols_ssr(const double *y, const double *X, int64_t rows, int64_t k, double *G, double *L,
                double *g, double *beta, double *ssr) {
    if (k > 0) {
        crv_gram(X, G, rows, k);
        crv_gram_rhs(X, y, g, rows, k);
        if (crv_chol_solve(G, g, beta, L, k) != 0) return CRV_STAT_CHOL_FAILED;
    }
    double s = 0.0;
    for (int64_t i = 0; i < rows; ++i) {
        const double r = y[i] - (k > 0 ? fdot(X + i * k, beta, k) : 0.0);
        s = std::fma(r, r, s);
    }
    *ssr = s;
    return 0;
}

// Maximum of non-negative values; any NaN makes the maximum NaN.
struct NanMax {
    double best = 0.0;
    bool nan = false;
    void add(double v) {
        if (std::isnan(v))
            nan = true;
        else if (v > best)
            best = v;
    }
    double value() const { return nan ? kNaN : best; }
};

}  // namespace

crv_arena_size_t crv_chow_arena_size(int64_t k) {
    return crv::detail::arena_size<crv::detail::ChowArena>(k);
}

int32_t crv_chow_stat(const double *y, const double *X, int64_t n, int64_t k, int64_t b,
                      double *arena, double *out) {
    if (k < 0) {
        *out = kNaN;
        return CRV_STAT_BAD_VARIANCE;
    }
    if (2 * k >= n) {
        *out = kNaN;
        return CRV_STAT_TOO_FEW;
    }
    if (b <= 0 || b >= n) {
        *out = kNaN;
        return CRV_STAT_BAD_ARG;
    }
    // A regime with fewer than k rows has a singular normal matrix; report it
    // as the failed solve it is instead of trusting rounding to expose it.
    if (b < k || n - b < k) return CRV_STAT_CHOL_FAILED;
    const auto a = crv::detail::carve<crv::detail::ChowArena>(arena, nullptr, k);
    double *G = a.G, *L = a.L, *g = a.g, *beta = a.beta;
    double ssr_pooled = 0.0, ssr_1 = 0.0, ssr_2 = 0.0;
    if (ols_ssr(y, X, n, k, G, L, g, beta, &ssr_pooled) != 0 ||
        ols_ssr(y, X, b, k, G, L, g, beta, &ssr_1) != 0 ||
        ols_ssr(y + b, X + b * k, n - b, k, G, L, g, beta, &ssr_2) != 0)
        return CRV_STAT_CHOL_FAILED;
    const double ssr_split = ssr_1 + ssr_2;
    *out = ((ssr_pooled - ssr_split) / static_cast<double>(k)) /
           (ssr_split / static_cast<double>(n - 2 * k));
    return 0;
}

int32_t crv_recursive_residuals(const double *y, const double *X, int64_t n, int64_t k,
                                double *arena, double *w) {
    if (k < 0) return CRV_STAT_BAD_VARIANCE;
    if (n == 0 || k >= n) return CRV_STAT_TOO_FEW;
    if (k == 0) {
        crv::detail::copy_f64(w, y, n);
        return 0;
    }
    const auto a = crv::detail::carve<crv::detail::RecursiveArena>(arena, nullptr, k);
    double *G = a.G, *L = a.L, *P = a.P, *g = a.g, *beta = a.beta, *Px = a.Px;

    crv_gram(X, G, k, k);
    crv_gram_rhs(X, y, g, k, k);
    if (crv_chol_inv(G, P, L, k) != 0) return CRV_STAT_CHOL_FAILED;
    crv_matvec(P, g, beta, k, k);

    for (int64_t t = k; t < n; ++t) {
        const double *x = X + t * k;
        double e = y[t];
        for (int64_t i = 0; i < k; ++i) e = std::fma(-x[i], beta[i], e);
        crv_matvec(P, x, Px, k, k);
        const double scale = 1.0 + fdot(x, Px, k);
        w[t - k] = e / std::sqrt(scale);
        faxpy(e / scale, Px, beta, k);
        const double inv_scale = 1.0 / scale;
        for (int64_t i = 0; i < k; ++i) faxpy(-(inv_scale * Px[i]), Px, P + i * k, k);
    }
    return 0;
}

int32_t crv_cusum_series(const double *y, const double *X, int64_t n, int64_t k, double *arena,
                         double *W) {
    if (k < 0) return CRV_STAT_BAD_VARIANCE;
    if (n == 0 || k >= n) return CRV_STAT_TOO_FEW;
    const int64_t m = n - k;
    const auto a = crv::detail::carve<crv::detail::CusumSeriesArena>(arena, nullptr, n, k);
    double *w = a.w, *G = a.G, *L = a.L, *g = a.g, *beta = a.beta;

    const int32_t status = crv_recursive_residuals(y, X, n, k, a.recursive, w);
    if (status != 0) return status;
    double ssr = 0.0;
    if (ols_ssr(y, X, n, k, G, L, g, beta, &ssr) != 0) return CRV_STAT_CHOL_FAILED;
    const double sigma = std::sqrt(ssr / static_cast<double>(m));
    double cum = 0.0;
    for (int64_t r = 0; r < m; ++r) {
        cum += w[r];
        W[r] = cum / sigma;
    }
    return 0;
}

crv_arena_size_t crv_cusum_arena_size(int64_t n, int64_t k) {
    return crv::detail::arena_size<crv::detail::CusumArena>(n, k);
}

int32_t crv_cusum_stat(const double *y, const double *X, int64_t n, int64_t k, double *arena,
                       double *out) {
    *out = kNaN;
    if (k < 0) return CRV_STAT_BAD_VARIANCE;
    if (n == 0 || k >= n) return CRV_STAT_TOO_FEW;
    const int64_t m = n - k;
    const auto a = crv::detail::carve<crv::detail::CusumArena>(arena, nullptr, n, k);
    double *W = a.W;
    const int32_t status = crv_cusum_series(y, X, n, k, a.series, W);
    if (status != 0) return status;
    const double s = std::sqrt(static_cast<double>(m));
    NanMax best;
    for (int64_t r = 0; r < m; ++r)
        best.add(std::fabs(W[r]) / (s + 2.0 * static_cast<double>(r) / s));
    *out = best.value();
    return 0;
}

crv_arena_size_t crv_cusumsq_arena_size(int64_t n, int64_t k) {
    return crv::detail::arena_size<crv::detail::CusumsqArena>(n, k);
}

int32_t crv_cusumsq_stat(const double *y, const double *X, int64_t n, int64_t k, int64_t *m,
                         double *arena, double *out) {
    *m = (k >= 0 && k < n) ? n - k : 0;
    *out = kNaN;
    if (k < 0) return CRV_STAT_BAD_VARIANCE;
    if (n == 0 || k >= n) return CRV_STAT_TOO_FEW;
    const int64_t count = n - k;
    const auto a = crv::detail::carve<crv::detail::CusumsqArena>(arena, nullptr, n, k);
    double *w = a.w;
    const int32_t status = crv_recursive_residuals(y, X, n, k, a.recursive, w);
    if (status != 0) return status;
    double total = 0.0;
    for (int64_t j = 0; j < count; ++j) total = std::fma(w[j], w[j], total);
    const double dm = static_cast<double>(count);
    double running = 0.0;
    NanMax D;
    for (int64_t r = 0; r < count; ++r) {
        running = std::fma(w[r], w[r], running);
        D.add(std::fabs(running / total - static_cast<double>(r + 1) / dm));
    }
    *out = D.value() / kSqrt2;
    return 0;
}

double crv_cusum_sf(double x) {
    const double P = 2.0 * (0.5 * std::erfc(3.0 * x / kSqrt2) +
                            std::exp(-4.0 * x * x) * (0.5 + 0.5 * std::erf(x / kSqrt2)));
    return std::fmin(P, 1.0);
}

void crv_cusum_sf_into(const double *x, int64_t count, double *out) {
    for (int64_t i = 0; i < count; ++i) out[i] = crv_cusum_sf(x[i]);
}
