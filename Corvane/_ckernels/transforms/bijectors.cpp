// Bijector kernels. Each operation is one struct: `f` is the element-wise
// expression, `bounds` gathers the bound-only quantities once per call; the
// scalar and array entry points are generated from it by scalar_form and
// array_form. Copy and Fill operations become a block copy and a block fill.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "bijectors.h"
#include "linalg.h"

namespace {

constexpr double kInvSqrt2Pi = 0.3989422804014327;   // 1 / sqrt(2 pi)
constexpr double kNegSqrt2 = -1.4142135623730951;    // -sqrt(2)
constexpr double kTwoLn2 = 1.3862943611198906;       // 2 ln 2

// s(y), the logistic function.
inline double logistic(double y) { return 1.0 / (std::exp(-y) + 1.0); }
// Standard normal density: exponential first, then the constant.
inline double phi(double z) { return std::exp(z * z * -0.5) * kInvSqrt2Pi; }
// Standard normal distribution function.
inline double Phi(double y) { return 0.5 * std::erfc(y / kNegSqrt2); }
inline double ndtri(double p) { return crv_ndtri_as241(p); }

enum class Kind { Map, Copy, Fill };

struct NoBounds {
    static NoBounds bounds() { return {}; }
};
struct Low {
    double low;
    static Low bounds(const double *low) { return {*low}; }
};
struct High {
    double high;
    static High bounds(const double *high) { return {*high}; }
};
// low, w = high - low and ln w of the affine bijectors.
struct Interval {
    double low, w, log_w;
    static Interval bounds(const double *low, const double *high) {
        const double w = *high - *low;
        return {*low, w, std::log(w)};
    }
};
struct IntervalNoLog {
    double low, w;
    static IntervalNoLog bounds(const double *low, const double *high) {
        return {*low, *high - *low};
    }
};

template <class K> struct MapOp {
    using Bounds = K;
    static constexpr Kind kind = Kind::Map;
};
struct CopyOp {
    using Bounds = NoBounds;
    static constexpr Kind kind = Kind::Copy;
    static double f(double y, NoBounds) { return y; }
};
struct FillOneOp {
    using Bounds = NoBounds;
    static constexpr Kind kind = Kind::Fill;
    static double f(double, NoBounds) { return 1.0; }
};

// An operation may give its array form its own bounds and expression
// (`ArrayBounds`, `f_arr`); otherwise both forms share `Bounds` and `f`.
template <class Op> concept HasArrayForm = requires { typename Op::ArrayBounds; };

template <class Op, class... P> inline void scalar_form(const double *in, double *out, P... p) {
    if constexpr (Op::kind == Kind::Fill) {
        *out = 1.0;
    } else {
        *out = Op::f(*in, Op::Bounds::bounds(p...));
    }
}

template <class Op, class... P>
inline void array_form(const double *__restrict in, double *__restrict out, int64_t n, P... p) {
    if (n <= 0) return;
    if constexpr (Op::kind == Kind::Copy) {
        std::memcpy(out, in, static_cast<size_t>(n) * sizeof(double));
    } else if constexpr (Op::kind == Kind::Fill) {
        std::fill_n(out, n, 1.0);
    } else if constexpr (HasArrayForm<Op>) {
        const auto k = Op::ArrayBounds::bounds(p...);
        for (int64_t i = 0; i < n; ++i) out[i] = Op::f_arr(in[i], k);
    } else {
        const auto k = Op::Bounds::bounds(p...);
        for (int64_t i = 0; i < n; ++i) out[i] = Op::f(in[i], k);
    }
}

// ---- log ----
struct LogFwd : MapOp<NoBounds> {
    static double f(double x, NoBounds) { return std::log(x); }
};
struct LogInv : MapOp<NoBounds> {
    static double f(double y, NoBounds) { return std::exp(y); }
};
struct LogGradFwd : MapOp<NoBounds> {
    static double f(double x, NoBounds) { return 1.0 / x; }
};
struct LogLdetFwd : MapOp<NoBounds> {
    static double f(double x, NoBounds) { return -std::log(x); }
};

// ---- logit ----
struct LogitFwd : MapOp<NoBounds> {
    static double f(double x, NoBounds) { return std::log(x / (1.0 - x)); }
};
struct LogitInv : MapOp<NoBounds> {
    static double f(double y, NoBounds) { return logistic(y); }
};
struct LogitGradFwd : MapOp<NoBounds> {
    static double f(double x, NoBounds) { return 1.0 / ((1.0 - x) * x); }
};
struct LogitGradInv : MapOp<NoBounds> {
    static double f(double y, NoBounds) {
        const double t = logistic(y);
        return (1.0 - t) * t;
    }
};
struct LogitLdetFwd : MapOp<NoBounds> {
    static double f(double x, NoBounds) { return -(std::log(1.0 - x) + std::log(x)); }
};
// Plain log of (exp(-y) + 1), no branch: -inf once exp(-y) overflows.
struct LogitLdetInv : MapOp<NoBounds> {
    static double f(double y, NoBounds) { return -y - 2.0 * std::log(std::exp(-y) + 1.0); }
};
struct LogitGradLdetInv : MapOp<NoBounds> {
    static double f(double y, NoBounds) { return (-2.0 / (std::exp(-y) + 1.0)) + 1.0; }
};

// ---- probit ----
struct ProbitFwd : MapOp<NoBounds> {
    static double f(double x, NoBounds) { return ndtri(x); }
};
struct ProbitInv : MapOp<NoBounds> {
    static double f(double y, NoBounds) { return Phi(y); }
};
struct ProbitGradFwd : MapOp<NoBounds> {
    static double f(double x, NoBounds) { return 1.0 / phi(ndtri(x)); }
};
struct ProbitGradInv : MapOp<NoBounds> {
    static double f(double y, NoBounds) { return phi(y); }
};
// Logarithms of the computed density, not of its closed form.
struct ProbitLdetFwd : MapOp<NoBounds> {
    static double f(double x, NoBounds) { return -std::log(phi(ndtri(x))); }
};
struct ProbitLdetInv : MapOp<NoBounds> {
    static double f(double y, NoBounds) { return std::log(phi(y)); }
};
// Sign flip: +0 gives -0.
struct NegateOp : MapOp<NoBounds> {
    static double f(double y, NoBounds) { return -y; }
};

// ---- aff_logit ----
struct AffLogitFwd : MapOp<IntervalNoLog> {
    static double f(double x, IntervalNoLog k) {
        const double u = (x - k.low) / k.w;
        return std::log(u / (1.0 - u));
    }
};
struct AffLogitInv : MapOp<IntervalNoLog> {
    static double f(double y, IntervalNoLog k) { return k.w / (std::exp(-y) + 1.0) + k.low; }
};
struct AffLogitGradFwd : MapOp<IntervalNoLog> {
    static double f(double x, IntervalNoLog k) {
        const double u = (x - k.low) / k.w;
        return (1.0 / ((1.0 - u) * u)) / k.w;
    }
};
struct AffLogitGradInv : MapOp<IntervalNoLog> {
    static double f(double y, IntervalNoLog k) {
        const double t = logistic(y);
        return (1.0 - t) * t * k.w;
    }
};
struct AffLogitLdetFwd : MapOp<Interval> {
    static double f(double x, Interval k) {
        const double u = (x - k.low) / k.w;
        return -(std::log(u) + std::log(1.0 - u)) - k.log_w;
    }
};
struct AffLogitLdetInv : MapOp<Interval> {
    static double f(double y, Interval k) {
        return -y - 2.0 * std::log(std::exp(-y) + 1.0) + k.log_w;
    }
};

// ---- aff_probit ----
struct HalfInterval {
    double low, half_w;
    static HalfInterval bounds(const double *low, const double *high) {
        return {*low, 0.5 * (*high - *low)};
    }
};
// w / sqrt(2 pi), the array form's constant of grad_inv.
struct ScaledDensity {
    double w_inv_sqrt2pi;
    static ScaledDensity bounds(const double *low, const double *high) {
        return {(*high - *low) * kInvSqrt2Pi};
    }
};

struct AffProbitFwd : MapOp<IntervalNoLog> {
    static double f(double x, IntervalNoLog k) { return ndtri((x - k.low) / k.w); }
};
// One fused multiply-add.
struct AffProbitInv : MapOp<HalfInterval> {
    static double f(double y, HalfInterval k) {
        return std::fma(std::erfc(y / kNegSqrt2), k.half_w, k.low);
    }
};
struct AffProbitGradFwd : MapOp<IntervalNoLog> {
    static double f(double x, IntervalNoLog k) {
        const double u = (x - k.low) / k.w;
        return (1.0 / phi(ndtri(u))) / k.w;
    }
};
struct AffProbitGradInv : MapOp<IntervalNoLog> {
    static double f(double y, IntervalNoLog k) { return phi(y) * k.w; }
    using ArrayBounds = ScaledDensity;
    static double f_arr(double y, ScaledDensity k) { return std::exp(y * y * -0.5) * k.w_inv_sqrt2pi; }
};
struct AffProbitLdetFwd : MapOp<Interval> {
    static double f(double x, Interval k) {
        const double u = (x - k.low) / k.w;
        return -std::log(phi(ndtri(u))) - k.log_w;
    }
};
struct AffProbitLdetInv : MapOp<Interval> {
    static double f(double y, Interval k) { return std::log(phi(y)) + k.log_w; }
};

// ---- softplus ----
struct SoftplusFwd : MapOp<NoBounds> {
    static double f(double x, NoBounds) { return std::log(std::expm1(x)); }
};
// exp never sees a large positive argument.
struct SoftplusInv : MapOp<NoBounds> {
    static double f(double y, NoBounds) {
        return y > 0.0 ? y + std::log1p(std::exp(-y)) : std::log1p(std::exp(y));
    }
};
struct SoftplusGradFwd : MapOp<NoBounds> {
    static double f(double x, NoBounds) { return 1.0 / std::expm1(x) + 1.0; }
};
struct SoftplusLdetFwd : MapOp<NoBounds> {
    static double f(double x, NoBounds) { return x - std::log(std::expm1(x)); }
};
struct SoftplusLdetInv : MapOp<NoBounds> {
    static double f(double y, NoBounds) {
        return y < 0.0 ? -(std::log1p(std::exp(y)) - y) : -std::log1p(std::exp(-y));
    }
};
struct SoftplusGradLdetInv : MapOp<NoBounds> {
    static double f(double y, NoBounds) { return 1.0 - logistic(y); }
};

// ---- lower ----
struct LowerFwd : MapOp<Low> {
    static double f(double x, Low k) { return std::log(x - k.low); }
};
struct LowerInv : MapOp<Low> {
    static double f(double y, Low k) { return std::exp(y) + k.low; }
};
struct LowerGradFwd : MapOp<Low> {
    static double f(double x, Low k) { return 1.0 / (x - k.low); }
};
struct LowerLdetFwd : MapOp<Low> {
    static double f(double x, Low k) { return -std::log(x - k.low); }
};

// ---- upper ----
struct UpperFwd : MapOp<High> {
    static double f(double x, High k) { return std::log(k.high - x); }
};
struct UpperInv : MapOp<High> {
    static double f(double y, High k) { return k.high - std::exp(y); }
};
struct UpperGradFwd : MapOp<High> {
    static double f(double x, High k) { return -1.0 / (k.high - x); }
};
struct UpperGradInv : MapOp<NoBounds> {
    static double f(double y, NoBounds) { return -std::exp(y); }
};
struct UpperLdetFwd : MapOp<High> {
    static double f(double x, High k) { return -std::log(k.high - x); }
};

// ---- tanh ----
struct TanhFwd : MapOp<NoBounds> {
    static double f(double x, NoBounds) { return std::atanh(x); }
};
struct TanhInv : MapOp<NoBounds> {
    static double f(double y, NoBounds) { return std::tanh(y); }
};
struct TanhGradFwd : MapOp<NoBounds> {
    static double f(double x, NoBounds) { return 1.0 / ((1.0 - x) * (x + 1.0)); }
};
struct TanhGradInv : MapOp<NoBounds> {
    static double f(double y, NoBounds) {
        const double ch = std::cosh(y);
        return 1.0 / (ch * ch);
    }
};
struct TanhLdetFwd : MapOp<NoBounds> {
    static double f(double x, NoBounds) { return -std::log((1.0 - x) * (x + 1.0)); }
};
// ln sech^2 y in a form that stays finite for every finite y.
struct TanhLdetInv : MapOp<NoBounds> {
    static double f(double y, NoBounds) {
        const double a = std::fabs(y);
        return kTwoLn2 - 2.0 * (std::log1p(std::exp(-2.0 * a)) + a);
    }
};
struct TanhGradLdetInv : MapOp<NoBounds> {
    static double f(double y, NoBounds) { return -2.0 * std::tanh(y); }
};

}  // namespace

// Exported entry points: scalar and array form of each operation.
#define CRV_BIJECTOR_OP0(b, op, Op)                                                        \
    void crv_##b##_##op(const double *in, double *out) { scalar_form<Op>(in, out); }       \
    void crv_##b##_##op##_arr(const double *in, double *out, int64_t n) {                  \
        array_form<Op>(in, out, n);                                                        \
    }
#define CRV_BIJECTOR_OP1(b, op, Op, bound)                                                 \
    void crv_##b##_##op(const double *in, double *out, const double *bound) {              \
        scalar_form<Op>(in, out, bound);                                                   \
    }                                                                                      \
    void crv_##b##_##op##_arr(const double *in, double *out, int64_t n,                    \
                              const double *bound) {                                       \
        array_form<Op>(in, out, n, bound);                                                 \
    }
#define CRV_BIJECTOR_OP2(b, op, Op)                                                        \
    void crv_##b##_##op(const double *in, double *out, const double *low,                  \
                        const double *high) {                                              \
        scalar_form<Op>(in, out, low, high);                                               \
    }                                                                                      \
    void crv_##b##_##op##_arr(const double *in, double *out, int64_t n, const double *low, \
                              const double *high) {                                        \
        array_form<Op>(in, out, n, low, high);                                             \
    }

CRV_BIJECTOR_OP0(log, fwd, LogFwd)
CRV_BIJECTOR_OP0(log, inv, LogInv)
CRV_BIJECTOR_OP0(log, grad_fwd, LogGradFwd)
CRV_BIJECTOR_OP0(log, grad_inv, LogInv)
CRV_BIJECTOR_OP0(log, ldet_abs_jac_fwd, LogLdetFwd)
CRV_BIJECTOR_OP0(log, ldet_abs_jac_inv, CopyOp)
CRV_BIJECTOR_OP0(log, grad_ldet_abs_jac_inv, FillOneOp)

CRV_BIJECTOR_OP0(logit, fwd, LogitFwd)
CRV_BIJECTOR_OP0(logit, inv, LogitInv)
CRV_BIJECTOR_OP0(logit, grad_fwd, LogitGradFwd)
CRV_BIJECTOR_OP0(logit, grad_inv, LogitGradInv)
CRV_BIJECTOR_OP0(logit, ldet_abs_jac_fwd, LogitLdetFwd)
CRV_BIJECTOR_OP0(logit, ldet_abs_jac_inv, LogitLdetInv)
CRV_BIJECTOR_OP0(logit, grad_ldet_abs_jac_inv, LogitGradLdetInv)

CRV_BIJECTOR_OP0(probit, fwd, ProbitFwd)
CRV_BIJECTOR_OP0(probit, inv, ProbitInv)
CRV_BIJECTOR_OP0(probit, grad_fwd, ProbitGradFwd)
CRV_BIJECTOR_OP0(probit, grad_inv, ProbitGradInv)
CRV_BIJECTOR_OP0(probit, ldet_abs_jac_fwd, ProbitLdetFwd)
CRV_BIJECTOR_OP0(probit, ldet_abs_jac_inv, ProbitLdetInv)
CRV_BIJECTOR_OP0(probit, grad_ldet_abs_jac_inv, NegateOp)

CRV_BIJECTOR_OP2(aff_logit, fwd, AffLogitFwd)
CRV_BIJECTOR_OP2(aff_logit, inv, AffLogitInv)
CRV_BIJECTOR_OP2(aff_logit, grad_fwd, AffLogitGradFwd)
CRV_BIJECTOR_OP2(aff_logit, grad_inv, AffLogitGradInv)
CRV_BIJECTOR_OP2(aff_logit, ldet_abs_jac_fwd, AffLogitLdetFwd)
CRV_BIJECTOR_OP2(aff_logit, ldet_abs_jac_inv, AffLogitLdetInv)
CRV_BIJECTOR_OP0(aff_logit, grad_ldet_abs_jac_inv, LogitGradLdetInv)

CRV_BIJECTOR_OP2(aff_probit, fwd, AffProbitFwd)
CRV_BIJECTOR_OP2(aff_probit, inv, AffProbitInv)
CRV_BIJECTOR_OP2(aff_probit, grad_fwd, AffProbitGradFwd)
CRV_BIJECTOR_OP2(aff_probit, grad_inv, AffProbitGradInv)
CRV_BIJECTOR_OP2(aff_probit, ldet_abs_jac_fwd, AffProbitLdetFwd)
CRV_BIJECTOR_OP2(aff_probit, ldet_abs_jac_inv, AffProbitLdetInv)
CRV_BIJECTOR_OP0(aff_probit, grad_ldet_abs_jac_inv, NegateOp)

CRV_BIJECTOR_OP0(softplus, fwd, SoftplusFwd)
CRV_BIJECTOR_OP0(softplus, inv, SoftplusInv)
CRV_BIJECTOR_OP0(softplus, grad_fwd, SoftplusGradFwd)
CRV_BIJECTOR_OP0(softplus, grad_inv, LogitInv)
CRV_BIJECTOR_OP0(softplus, ldet_abs_jac_fwd, SoftplusLdetFwd)
CRV_BIJECTOR_OP0(softplus, ldet_abs_jac_inv, SoftplusLdetInv)
CRV_BIJECTOR_OP0(softplus, grad_ldet_abs_jac_inv, SoftplusGradLdetInv)

CRV_BIJECTOR_OP1(lower, fwd, LowerFwd, low)
CRV_BIJECTOR_OP1(lower, inv, LowerInv, low)
CRV_BIJECTOR_OP1(lower, grad_fwd, LowerGradFwd, low)
CRV_BIJECTOR_OP0(lower, grad_inv, LogInv)
CRV_BIJECTOR_OP1(lower, ldet_abs_jac_fwd, LowerLdetFwd, low)
CRV_BIJECTOR_OP0(lower, ldet_abs_jac_inv, CopyOp)
CRV_BIJECTOR_OP0(lower, grad_ldet_abs_jac_inv, FillOneOp)

CRV_BIJECTOR_OP1(upper, fwd, UpperFwd, high)
CRV_BIJECTOR_OP1(upper, inv, UpperInv, high)
CRV_BIJECTOR_OP1(upper, grad_fwd, UpperGradFwd, high)
CRV_BIJECTOR_OP0(upper, grad_inv, UpperGradInv)
CRV_BIJECTOR_OP1(upper, ldet_abs_jac_fwd, UpperLdetFwd, high)
CRV_BIJECTOR_OP0(upper, ldet_abs_jac_inv, CopyOp)
CRV_BIJECTOR_OP0(upper, grad_ldet_abs_jac_inv, FillOneOp)

CRV_BIJECTOR_OP0(tanh, fwd, TanhFwd)
CRV_BIJECTOR_OP0(tanh, inv, TanhInv)
CRV_BIJECTOR_OP0(tanh, grad_fwd, TanhGradFwd)
CRV_BIJECTOR_OP0(tanh, grad_inv, TanhGradInv)
CRV_BIJECTOR_OP0(tanh, ldet_abs_jac_fwd, TanhLdetFwd)
CRV_BIJECTOR_OP0(tanh, ldet_abs_jac_inv, TanhLdetInv)
CRV_BIJECTOR_OP0(tanh, grad_ldet_abs_jac_inv, TanhGradLdetInv)
