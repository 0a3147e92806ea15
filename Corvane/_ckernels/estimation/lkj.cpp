// Correlation blocks: the map from unconstrained values to a correlation
// Cholesky factor (canonical partial correlations through tanh), its
// log-Jacobian, the LKJ density of the factor, and the covariance maps.
#include <cmath>
#include <limits>

#include "beliefplan.h"
#include "constants.hpp"
#include "fdot.hpp"

namespace {

using crv::detail::kNaN;
constexpr double kNormFloor = 1e-14;      // floor on the remaining row norm of L
constexpr double kJacobianFloor = 1e-300; // floor on the running norm in the Jacobian
constexpr double kMaxPartialCorr = 0.99999999999999;

// max(s, floor) that keeps a NaN s (std::fmax would replace it by the floor).
inline double floor_at(double s, double floor) { return s < floor ? floor : s; }

// Values still available when `used` have been consumed of `length`.
inline int64_t remaining(int64_t length, int64_t used) {
    return (length > used ? length : used) - used;
}

// Sum over rows r = 1..K-1 of the row's Jacobian terms; false when the
// values run out before a row is complete.
bool chol_logjac(const double *z, int64_t K, int64_t length, double &acc) {
    acc = 0.0;
    int64_t used = 0;
    for (int64_t r = 1; r < K; ++r) {
        if (remaining(length, used) < r) return false;
        double s = 1.0;
        for (int64_t i = 0; i < r; ++i) {
            const double t = std::tanh(z[used + i]);
            acc = (acc + 0.5 * std::log(floor_at(s, kJacobianFloor))) + std::log1p(-(t * t));
            s = (1.0 - t * t) * s;
        }
        used += r;
    }
    return true;
}

}  // namespace

void crv_lkj_chol_logjac(const double *z, int64_t dim, int64_t length, double *out) {
    *out = crv_lkj_chol_logjac_return(z, dim, length);
}

double crv_lkj_chol_logjac_return(const double *z, int64_t dim, int64_t length) {
    if (dim < 2) return 0.0;
    double acc;
    return chol_logjac(z, dim, length, acc) ? acc : kNaN;
}

void crv_lkj_chol_logpdf_from_z(const double *z, int64_t dim, int64_t length, double *out,
                                double eta, double log_const) {
    if (dim < 2) {
        *out = log_const;
        return;
    }
    // Density of the factor: prod over rows of L(r, r)^(K - r + 2 eta - 3).
    const double base_power = (static_cast<double>(dim) + 2.0 * eta) - 3.0;
    double lp = 0.0;
    int64_t used = 0;
    for (int64_t r = 1; r < dim; ++r) {
        if (remaining(length, used) < r) {
            *out = kNaN;
            return;
        }
        double prod = 1.0;
        for (int64_t i = 0; i < r; ++i) {
            const double t = std::tanh(z[used + i]);
            prod = prod * (1.0 - t * t);
        }
        const double log_diag = std::log(std::sqrt(floor_at(prod, kNormFloor)));
        lp = lp + (base_power - static_cast<double>(r)) * log_diag;
        used += r;
    }
    double logjac;
    if (!chol_logjac(z, dim, length, logjac)) {
        *out = kNaN;
        return;
    }
    *out = (lp + log_const) + logjac;
}

void crv_cov_from_unconstrained(const double *z, const double *std, int64_t K, double *L,
                                double *cov) {
    int64_t used = 0;
    for (int64_t j = 0; j < K; ++j) {
        double *row = L + j * K;
        double s = 1.0;
        for (int64_t i = 0; i < j; ++i) {
            const double t = std::tanh(z[used++]);
            row[i] = t * std::sqrt(floor_at(s, kNormFloor));
            s = s - row[i] * row[i];
        }
        row[j] = j == 0 ? 1.0 : std::sqrt(floor_at(s, kNormFloor));
        for (int64_t m = 0; m < j; ++m) {
            const double c = (crv::detail::fdot(row, L + m * K, m + 1) * std[j]) * std[m];
            cov[j * K + m] = c;
            cov[m * K + j] = c;
        }
        cov[j * K + j] = std[j] * std[j];
    }
}

void crv_unconstrained_from_corr_chol(const double *L, int64_t K, double *z) {
    int64_t used = 0;
    for (int64_t r = 1; r < K; ++r) {
        const double *row = L + r * K;
        double s = 1.0;
        for (int64_t i = 0; i < r; ++i) {
            double q = row[i] / std::sqrt(floor_at(s, kNormFloor));
            if (q > kMaxPartialCorr) q = kMaxPartialCorr;
            else if (q < -kMaxPartialCorr) q = -kMaxPartialCorr;
            z[used++] = std::atanh(q);
            s = s - row[i] * row[i];
        }
    }
}
