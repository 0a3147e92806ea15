// Belief plans: scalar helpers, transform and distribution tables, and the
// evaluator summing scalar priors and correlation-block LKJ terms.
#include <cmath>
#include <limits>

#include "beliefplan.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kHalfLog2Pi = 0.9189385332046727;   // 0.5 log(2 pi)
constexpr double kTwoPi = 6.283185307179586;
constexpr double kHalfLog2OverPi = 0.2257913526447274;  // 0.5 log(2 / pi), negated below
constexpr double kLog2OverPi = 0.4515827052894548;      // log(2 / pi), negated below
constexpr double kLog4 = 1.3862943611198906;
constexpr double kSqrt2 = 1.4142135623730951;

inline double softplus(double z) {
    return z > 0.0 ? std::log1p(std::exp(-z)) + z : std::log1p(std::exp(z));
}

inline double log_sigmoid(double z) {
    return z > 0.0 ? -std::log1p(std::exp(-z)) : z - std::log1p(std::exp(z));
}

// log sigmoid(-z), branching on the sign of z so exp never overflows.
inline double log_sigmoid_neg(double z) {
    return z < 0.0 ? -std::log1p(std::exp(z)) : -z - std::log1p(std::exp(-z));
}

inline double sigmoid(double z) {
    if (z >= 0.0) return 1.0 / (std::exp(-z) + 1.0);
    const double e = std::exp(z);
    return e / (e + 1.0);
}

inline double std_norm_cdf(double z) { return 0.5 * std::erf(z / kSqrt2) + 0.5; }

inline double std_norm_logpdf(double z) { return -0.5 * z * z - kHalfLog2Pi; }

inline double square(double v) { return v * v; }

// Log density of distribution `code` at x (parameters p); NaN outside the
// support. The support test is written so that a NaN x fails it.
double dist_logpdf(int64_t code, const double *p, double x) {
    switch (code) {
    case 1:  // normal, variance p[1]
        return -0.5 * std::log(kTwoPi * p[1]) - 0.5 * square(x - p[0]) / p[1];
    case 2: {  // log-normal
        if (!(x > 0.0)) return kNaN;
        const double lx = std::log(x);
        return -kHalfLog2Pi - (lx + std::log(p[1])) - 0.5 * square((lx - p[0]) / p[1]);
    }
    case 3:  // half-normal
        if (!(x >= 0.0)) return kNaN;
        return -kHalfLog2OverPi - std::log(p[0]) - 0.5 * square(x / p[0]);
    case 4:  // truncated normal
        if (!(p[2] <= x && x <= p[3])) return kNaN;
        return -0.5 * square((x - p[0]) / p[1]) - p[4];
    case 5:  // half-Cauchy
        if (!(x >= 0.0)) return kNaN;
        return -kLog2OverPi - (std::log(p[0]) + std::log1p(square(x / p[0])));
    case 6: {  // beta: each power term dropped when its exponent is 0
        if (!(x >= 0.0 && x <= 1.0)) return kNaN;
        const double a = p[0], b = p[1];
        if (a == 1.0 && b == 1.0) return -p[2];
        if (a == 1.0) return (b - 1.0) * std::log1p(-x) - p[2];
        if (b == 1.0) return (a - 1.0) * std::log(x) - p[2];
        return ((a - 1.0) * std::log(x) + (b - 1.0) * std::log1p(-x)) - p[2];
    }
    case 7: {  // gamma, scale p[1]
        if (!(x >= 0.0)) return kNaN;
        const double rate_term = p[2] + x / p[1];
        if (p[0] == 1.0) return -rate_term;
        return (p[0] - 1.0) * std::log(x) - rate_term;
    }
    case 8:  // inverse gamma: the log constant is added
        if (!(x > 0.0)) return kNaN;
        return (p[2] + (-1.0 - p[0]) * std::log(x)) - p[1] / x;
    case 9:  // uniform, width p[2]
        if (!(p[0] <= x && x <= p[1])) return kNaN;
        return -std::log(p[2]);
    default:
        return kNaN;
    }
}

// Transform `code` at z: constrained value and log |dx/dz|.
void transform(int64_t code, const double *p, double z, double &x, double &logjac) {
    switch (code) {
    case 1:
        x = z;
        logjac = 0.0;
        return;
    case 2:
        x = std::exp(z);
        logjac = z;
        return;
    case 3:
        x = softplus(z);
        logjac = log_sigmoid(z);
        return;
    case 4: {
        x = sigmoid(z);
        const double ls = log_sigmoid(z);
        logjac = z < 0.0 ? ls - std::log1p(std::exp(z)) : (-z - std::log1p(std::exp(-z))) + ls;
        return;
    }
    case 5:
        x = std_norm_cdf(z);
        logjac = std_norm_logpdf(z);
        return;
    case 6: {
        double f, g;
        if (z >= 0.0) {
            f = std::exp(-z);
            g = 1.0;
        } else {
            f = std::exp(z);
            g = f;
        }
        x = p[2] * g / (f + 1.0) + p[0];
        logjac = (std::log(p[2]) + log_sigmoid(z)) + log_sigmoid_neg(z);
        return;
    }
    case 7:
        x = p[0] + p[2] * std_norm_cdf(z);
        logjac = std_norm_logpdf(z) + std::log(p[2]);
        return;
    case 8:
        x = p[0] + std::exp(z);
        logjac = z;
        return;
    case 9:
        x = p[0] - std::exp(z);
        logjac = z;
        return;
    case 10: {
        const double a = std::fabs(z);
        x = std::tanh(z);
        logjac = kLog4 - 2.0 * (a + std::log1p(std::exp(-2.0 * a)));
        return;
    }
    default:
        x = kNaN;
        logjac = kNaN;
        return;
    }
}

}  // namespace

double crv_softplus_scalar(double z) { return softplus(z); }

double crv_log_sigmoid_scalar(double z) { return log_sigmoid(z); }

double crv_sigmoid_scalar(double z) { return sigmoid(z); }

double crv_std_norm_cdf(double z) { return std_norm_cdf(z); }

double crv_std_norm_logpdf(double z) { return std_norm_logpdf(z); }

void crv_transform_inverse_and_logjac(int64_t code, const double *params, double *out_x,
                                      double *out_logjac, double z) {
    double x, logjac;
    transform(code, params, z, x, logjac);
    *out_x = x;
    *out_logjac = logjac;
}

void crv_dist_logpdf(int64_t code, const double *params, double *out, double x) {
    *out = dist_logpdf(code, params, x);
}

double crv_logbeliefplan(const double *theta, const int64_t *scalar_indices,
                         const int64_t *scalar_dist_codes, const int64_t *scalar_transform_codes,
                         const double *scalar_dist_params, const double *scalar_transform_params,
                         int64_t n_scalar, const int64_t *matrix_offsets,
                         const int64_t *matrix_dims, const int64_t *matrix_lengths,
                         const double *matrix_etas, const double *matrix_log_constants,
                         int64_t n_blocks) {
    double lp = 0.0;
    for (int64_t i = 0; i < n_scalar; ++i) {
        double x, lj;
        transform(scalar_transform_codes[i], scalar_transform_params + 3 * i,
                  theta[scalar_indices[i]], x, lj);
        if (std::isnan(x) || std::isnan(lj)) return kNaN;
        const double ld = dist_logpdf(scalar_dist_codes[i], scalar_dist_params + 5 * i, x);
        lp = (lj + lp) + ld;
        if (std::isnan(ld)) return kNaN;
    }
    for (int64_t j = 0; j < n_blocks; ++j) {
        double e;
        crv_lkj_chol_logpdf_from_z(theta + matrix_offsets[j], matrix_dims[j], matrix_lengths[j],
                                   &e, matrix_etas[j], matrix_log_constants[j]);
        lp = e + lp;
        if (std::isnan(e)) return kNaN;
    }
    return lp;
}
