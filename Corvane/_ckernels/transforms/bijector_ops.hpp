// Element-wise bijector operations (internal), shared by the bijector
// kernels and the belief-plan transforms. Each operation is one struct: `f`
// is the expression of one element, `Bounds` the bound-only quantities,
// gathered once per call; `kind` marks the operations whose array form is a
// block copy or a block fill. bijectors.def names the struct of every kernel.
#pragma once

#include <cmath>

#include "constants.hpp"
#include "linalg.h"

namespace crv::bijector {

inline constexpr double kNegSqrt2 = -crv::detail::kSqrt2;  // -sqrt 2, the divisor of Phi
using crv::detail::kInvSqrt2Pi;
using crv::detail::kLog4;

// s(y), the logistic function.
inline double logistic(double y) { return 1.0 / (std::exp(-y) + 1.0); }
// Standard normal density: exponential first, then the constant.
inline double phi(double z) { return std::exp(z * z * -0.5) * kInvSqrt2Pi; }
// Standard normal distribution function.
inline double Phi(double y) { return 0.5 * std::erfc(y / kNegSqrt2); }
inline double ndtri(double p) { return crv_ndtri_as241(p); }

enum class Kind { Map, Copy, Fill };

// Bound types: `bounds` takes the kernels' bound pointers; `from_row` takes
// a belief-plan transform row, whose p[0] is the bound of lower and upper.
struct NoBounds {
    static NoBounds bounds() { return {}; }
    static NoBounds from_row(const double *) { return {}; }
};
struct Low {
    double low;
    static Low bounds(const double *low) { return {*low}; }
    static Low from_row(const double *p) { return {p[0]}; }
};
struct High {
    double high;
    static High bounds(const double *high) { return {*high}; }
    static High from_row(const double *p) { return {p[0]}; }
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
        return kLog4 - 2.0 * (std::log1p(std::exp(-2.0 * a)) + a);
    }
};
struct TanhGradLdetInv : MapOp<NoBounds> {
    static double f(double y, NoBounds) { return -2.0 * std::tanh(y); }
};

}  // namespace crv::bijector
