// Belief plans: scalar helpers, the transforms and distributions of
// bijectors.def, and the evaluator summing scalar priors and
// correlation-block LKJ terms.
#include <cmath>

#include "beliefplan.h"
#include "constants.hpp"
#include "transforms/bijector_ops.hpp"

namespace {

using namespace crv::bijector;
using crv::detail::kHalfLog2OverPi;
using crv::detail::kHalfLog2Pi;
using crv::detail::kLog2OverPi;
using crv::detail::kNaN;
using crv::detail::kSqrt2;
using crv::detail::kTwoPi;

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

// ---- transforms -------------------------------------------------------------
// The belief plan's own forms of the logit and probit families (the other
// transforms are bijector operations, bijector_ops.hpp). Each reads the
// parameter row p through its Bounds.

struct PlanRow {
    const double *p;
    static PlanRow from_row(const double *p) { return {p}; }
};
struct ZeroOp {
    using Bounds = NoBounds;
    static double f(double, NoBounds) { return 0.0; }
};
struct PlanSigmoid {
    using Bounds = NoBounds;
    static double f(double z, NoBounds) { return sigmoid(z); }
};
// log sigmoid(z) first; then log sigmoid(-z) by the sign of z.
struct PlanLogitLogjac {
    using Bounds = NoBounds;
    static double f(double z, NoBounds) {
        const double ls = log_sigmoid(z);
        return z < 0.0 ? ls - std::log1p(std::exp(z)) : (-z - std::log1p(std::exp(-z))) + ls;
    }
};
struct PlanNormCdf {
    using Bounds = NoBounds;
    static double f(double z, NoBounds) { return std_norm_cdf(z); }
};
struct PlanNormLogpdf {
    using Bounds = NoBounds;
    static double f(double z, NoBounds) { return std_norm_logpdf(z); }
};
// p[0] + p[2] sigmoid(z) as p[2] g / (f + 1) + p[0].
struct PlanAffSigmoid {
    using Bounds = PlanRow;
    static double f(double z, PlanRow r) {
        double f, g;
        if (z >= 0.0) {
            f = std::exp(-z);
            g = 1.0;
        } else {
            f = std::exp(z);
            g = f;
        }
        return r.p[2] * g / (f + 1.0) + r.p[0];
    }
};
struct PlanAffLogitLogjac {
    using Bounds = PlanRow;
    static double f(double z, PlanRow r) {
        return (std::log(r.p[2]) + log_sigmoid(z)) + log_sigmoid_neg(z);
    }
};
struct PlanAffNormCdf {
    using Bounds = PlanRow;
    static double f(double z, PlanRow r) { return r.p[0] + r.p[2] * std_norm_cdf(z); }
};
struct PlanAffProbitLogjac {
    using Bounds = PlanRow;
    static double f(double z, PlanRow r) { return std_norm_logpdf(z) + std::log(r.p[2]); }
};

template <class Op> inline double on_row(const double *p, double z) {
    return Op::f(z, Op::Bounds::from_row(p));
}

// Transform `code` at z: constrained value and log |dx/dz|.
void transform(int64_t code, const double *p, double z, double &x, double &logjac) {
    switch (code) {
#define CRV_TRANSFORM(code, name, nread, XImpl, LogjacImpl) \
    case code:                                              \
        x = on_row<XImpl>(p, z);                            \
        logjac = on_row<LogjacImpl>(p, z);                  \
        return;
#include "transforms/bijectors.def"
    default:
        x = kNaN;
        logjac = kNaN;
        return;
    }
}

// ---- distributions ----------------------------------------------------------
// Log density at x from the parameter row p; NaN outside the support. The
// support tests are written so that a NaN x fails them.

struct NormalPdf {  // variance p[1]
    static double logpdf(const double *p, double x) {
        return -0.5 * std::log(kTwoPi * p[1]) - 0.5 * square(x - p[0]) / p[1];
    }
};
struct LogNormalPdf {
    static double logpdf(const double *p, double x) {
        if (!(x > 0.0)) return kNaN;
        const double lx = std::log(x);
        return -kHalfLog2Pi - (lx + std::log(p[1])) - 0.5 * square((lx - p[0]) / p[1]);
    }
};
struct HalfNormalPdf {
    static double logpdf(const double *p, double x) {
        if (!(x >= 0.0)) return kNaN;
        return -kHalfLog2OverPi - std::log(p[0]) - 0.5 * square(x / p[0]);
    }
};
struct TruncNormalPdf {
    static double logpdf(const double *p, double x) {
        if (!(p[2] <= x && x <= p[3])) return kNaN;
        return -0.5 * square((x - p[0]) / p[1]) - p[4];
    }
};
struct HalfCauchyPdf {
    static double logpdf(const double *p, double x) {
        if (!(x >= 0.0)) return kNaN;
        return -kLog2OverPi - (std::log(p[0]) + std::log1p(square(x / p[0])));
    }
};
// Each power term dropped when its exponent is 0.
struct BetaPdf {
    static double logpdf(const double *p, double x) {
        if (!(x >= 0.0 && x <= 1.0)) return kNaN;
        const double a = p[0], b = p[1];
        if (a == 1.0 && b == 1.0) return -p[2];
        if (a == 1.0) return (b - 1.0) * std::log1p(-x) - p[2];
        if (b == 1.0) return (a - 1.0) * std::log(x) - p[2];
        return ((a - 1.0) * std::log(x) + (b - 1.0) * std::log1p(-x)) - p[2];
    }
};
struct GammaPdf {  // scale p[1]
    static double logpdf(const double *p, double x) {
        if (!(x >= 0.0)) return kNaN;
        const double rate_term = p[2] + x / p[1];
        if (p[0] == 1.0) return -rate_term;
        return (p[0] - 1.0) * std::log(x) - rate_term;
    }
};
// The log constant is added here.
struct InvGammaPdf {
    static double logpdf(const double *p, double x) {
        if (!(x > 0.0)) return kNaN;
        return (p[2] + (-1.0 - p[0]) * std::log(x)) - p[1] / x;
    }
};
struct UniformPdf {  // width p[2]
    static double logpdf(const double *p, double x) {
        if (!(p[0] <= x && x <= p[1])) return kNaN;
        return -std::log(p[2]);
    }
};

struct GenBetaPdf {
    static double logpdf(const double *p, double x) {
        if (!(p[2] <= x && x <= p[3])) return kNaN;
        const double w = p[3] - p[2];
        const double u = (x - p[2]) / w, v = (p[3] - x) / w;
        return ((p[0] - 1.0) * std::log(u) + (p[1] - 1.0) * std::log(v)) - p[4];
    }
};
struct ShiftedGammaPdf {
    static double logpdf(const double *p, double x) {
        const double y = x - p[2];
        if (!(y >= 0.0)) return kNaN;
        const double rate_term = p[3] + y / p[1];
        if (p[0] == 1.0) return -rate_term;
        return (p[0] - 1.0) * std::log(y) - rate_term;
    }
};
struct InvGamma1Pdf {
    static double logpdf(const double *p, double x) {
        const double y = x - p[2];
        if (!(y > 0.0)) return kNaN;
        return (p[3] - (p[0] + 1.0) * std::log(y)) - 0.5 * p[1] / (y * y);
    }
};
struct ShiftedInvGammaPdf {
    static double logpdf(const double *p, double x) {
        const double y = x - p[2];
        if (!(y > 0.0)) return kNaN;
        return (p[3] - (p[0] + 1.0) * std::log(y)) - p[1] / y;
    }
};
struct WeibullPdf {
    static double logpdf(const double *p, double x) {
        const double y = x - p[2];
        if (!(y >= 0.0)) return kNaN;
        const double z = y / p[1];
        if (p[0] == 1.0) return p[3] - z;
        return (p[3] + (p[0] - 1.0) * std::log(y)) - std::pow(z, p[0]);
    }
};

// Log density of distribution `code` at x; NaN for an unknown code.
double dist_logpdf(int64_t code, const double *p, double x) {
    switch (code) {
#define CRV_DISTRIBUTION(code, name, nread, Impl) \
    case code:                                    \
        return Impl::logpdf(p, x);
#include "transforms/bijectors.def"
    default:
        return kNaN;
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
