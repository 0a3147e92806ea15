// Scalar types of compiled models: complex numbers for the complex-step
// residual and observation Jacobians, bicomplex numbers z1 + z2 i2 (z1, z2
// complex in i1) for the second-order callback, and the model language's
// functions on double, Complex and Bicomplex. Model equations are templates
// over the scalar, written once; `evaluate` and `observation_jacobian` adapt
// them to the plain C callbacks the kernels take.
//
// Functions: exp log log10 sqrt abs sign sin cos tan asin acos atan sinh cosh
// tanh erf erfc normcdf normpdf, `power(x, a)` and `ipow<N>(x)`.
#ifndef CORVANE_SCALARS_HPP
#define CORVANE_SCALARS_HPP

#include <cmath>
#include <complex>
#include <cstdint>

// Entry point of a compiled model: C linkage, default visibility (models are
// built with hidden visibility, so nothing else is exported).
#define CORVANE_MODEL_API extern "C" __attribute__((visibility("default")))

namespace corvane {

using Complex = std::complex<double>;

// ---- double ---------------------------------------------------------------
// The standard library's functions; the complex overloads it also brings in
// lose against the non-template Complex forms below where both exist.
using std::abs;
using std::acos;
using std::asin;
using std::atan;
using std::cos;
using std::cosh;
using std::erf;
using std::erfc;
using std::exp;
using std::log;
using std::log10;
using std::sin;
using std::sinh;
using std::sqrt;
using std::tan;
using std::tanh;

constexpr double kInvSqrt2 = 0.70710678118654752440;   // 1 / sqrt(2)
constexpr double kInvSqrt2Pi = 0.39894228040143267794; // 1 / sqrt(2 pi)
constexpr double kTwoInvSqrtPi = 1.12837916709551257390; // 2 / sqrt(pi)
constexpr double kInvLn10 = 0.43429448190325182765;    // 1 / log(10)

// -1, 0 or 1 (a NaN stays NaN).
inline double sign(double x) { return x > 0.0 ? 1.0 : (x < 0.0 ? -1.0 : x); }
inline double normpdf(double x) { return kInvSqrt2Pi * std::exp(-0.5 * x * x); }
// erfc keeps the lower tail accurate.
inline double normcdf(double x) { return 0.5 * std::erfc(-x * kInvSqrt2); }
inline double power(double x, double a) { return std::pow(x, a); }

// ---- bicomplex --------------------------------------------------------------

// log(1 + w) for complex w, accurate for small |w|.
inline Complex log1p(Complex w) {
    const double a = w.real(), b = w.imag();
    return {0.5 * std::log1p(2.0 * a + (a * a + b * b)), std::atan2(b, 1.0 + a)};
}

// Storage (a, b, c, d) = a + b i1 + c i2 + d i1 i2: z1 = a + b i1, z2 = c + d i1.
struct Bicomplex {
    Complex z1, z2;
    Bicomplex() = default;
    Bicomplex(double x) : z1(x), z2(0.0) {}
    Bicomplex(Complex a, Complex b) : z1(a), z2(b) {}
};

inline Bicomplex operator+(Bicomplex x, Bicomplex y) { return {x.z1 + y.z1, x.z2 + y.z2}; }
inline Bicomplex operator-(Bicomplex x, Bicomplex y) { return {x.z1 - y.z1, x.z2 - y.z2}; }
inline Bicomplex operator-(Bicomplex x) { return {-x.z1, -x.z2}; }
inline Bicomplex operator*(Bicomplex x, Bicomplex y) {
    return {x.z1 * y.z1 - x.z2 * y.z2, x.z1 * y.z2 + x.z2 * y.z1};
}
inline Bicomplex operator/(Bicomplex x, Bicomplex y) {
    const Complex den = y.z1 * y.z1 + y.z2 * y.z2;
    return x * Bicomplex(y.z1 / den, -y.z2 / den);
}
inline Bicomplex operator+(Bicomplex x, double y) { return x + Bicomplex(y); }
inline Bicomplex operator+(double x, Bicomplex y) { return Bicomplex(x) + y; }
inline Bicomplex operator-(Bicomplex x, double y) { return x - Bicomplex(y); }
inline Bicomplex operator-(double x, Bicomplex y) { return Bicomplex(x) - y; }
inline Bicomplex operator*(Bicomplex x, double y) { return {x.z1 * y, x.z2 * y}; }
inline Bicomplex operator*(double x, Bicomplex y) { return {x * y.z1, x * y.z2}; }
inline Bicomplex operator/(Bicomplex x, double y) { return {x.z1 / y, x.z2 / y}; }
inline Bicomplex operator/(double x, Bicomplex y) { return Bicomplex(x) / y; }

// ---- expansions ---------------------------------------------------------------
// Both scalar types carry tiny perturbations around a real point: the kernels
// step by 1e-30 (complex) and 1e-9 (bicomplex). Two expansions extend a
// function to them; the terms they drop are third order in the step, below
// rounding of every part the kernels read, so first and second derivatives
// taken through them are exact to rounding.

// f(a + d) = f(a) + f'(a) d + f''(a) d^2 / 2 around the real part a: the form
// of the functions without a natural complex extension (abs, sign, erf, erfc,
// normcdf, normpdf), from their real value and first two derivatives.
inline Complex taylor2(Complex x, double f0, double f1, double f2) {
    const double b = x.imag();
    return {f0 - 0.5 * f2 * b * b, f1 * b};
}
inline Bicomplex taylor2(Bicomplex x, double f0, double f1, double f2) {
    const Bicomplex d(Complex(0.0, x.z1.imag()), x.z2);
    return Bicomplex(f0) + f1 * d + (0.5 * f2) * (d * d);
}

// f(z1 + z2 i2) = f(z1) - f''(z1) z2^2 / 2 + f'(z1) z2 i2 for an analytic f,
// from its complex value and derivatives at z1.
inline Bicomplex lift(Bicomplex x, Complex f0, Complex f1, Complex f2) {
    return {f0 - 0.5 * f2 * (x.z2 * x.z2), f1 * x.z2};
}

// ---- complex ------------------------------------------------------------------
// The analytic functions are the standard library's complex ones (through the
// using-declarations above); the others follow the real Taylor form.

inline Complex abs(Complex x) { return taylor2(x, std::abs(x.real()), sign(x.real()), 0.0); }
inline Complex sign(Complex x) { return taylor2(x, sign(x.real()), 0.0, 0.0); }
inline Complex erf(Complex x) {
    const double a = x.real(), d1 = kTwoInvSqrtPi * std::exp(-a * a);
    return taylor2(x, std::erf(a), d1, -2.0 * a * d1);
}
inline Complex erfc(Complex x) {
    const double a = x.real(), d1 = kTwoInvSqrtPi * std::exp(-a * a);
    return taylor2(x, std::erfc(a), -d1, 2.0 * a * d1);
}
inline Complex normcdf(Complex x) {
    const double a = x.real(), pdf = normpdf(a);
    return taylor2(x, normcdf(a), pdf, -a * pdf);
}
inline Complex normpdf(Complex x) {
    const double a = x.real(), pdf = normpdf(a);
    return taylor2(x, pdf, -a * pdf, (a * a - 1.0) * pdf);
}

// ---- bicomplex functions -----------------------------------------------------
// Closed forms where the bicomplex extension has one without cancellation:
// exp, log, sin, cos, sinh, cosh (i2 z2 behaves as an imaginary argument:
// cos(i2 z2) = cosh(z2), sin(i2 z2) = i2 sinh(z2)).

inline Bicomplex exp(Bicomplex x) {
    const Complex e = std::exp(x.z1);
    return {e * std::cos(x.z2), e * std::sin(x.z2)};
}

// z1 (1 + u i2) with u = z2 / z1: log(1 + u i2) = log(1 + u^2) / 2 + atan(u) i2.
inline Bicomplex log(Bicomplex x) {
    const Complex u = x.z2 / x.z1;
    return {std::log(x.z1) + 0.5 * log1p(u * u), std::atan(u)};
}

inline Bicomplex log10(Bicomplex x) { return log(x) * kInvLn10; }

inline Bicomplex sin(Bicomplex x) {
    return {std::sin(x.z1) * std::cosh(x.z2), std::cos(x.z1) * std::sinh(x.z2)};
}
inline Bicomplex cos(Bicomplex x) {
    return {std::cos(x.z1) * std::cosh(x.z2), -std::sin(x.z1) * std::sinh(x.z2)};
}
inline Bicomplex sinh(Bicomplex x) {
    return {std::sinh(x.z1) * std::cos(x.z2), std::cosh(x.z1) * std::sin(x.z2)};
}
inline Bicomplex cosh(Bicomplex x) {
    return {std::cosh(x.z1) * std::cos(x.z2), std::sinh(x.z1) * std::sin(x.z2)};
}

inline Bicomplex sqrt(Bicomplex x) {
    const Complex r = std::sqrt(x.z1);
    return lift(x, r, 0.5 / r, -0.25 / (r * x.z1));
}
inline Bicomplex tan(Bicomplex x) {
    const Complex t = std::tan(x.z1), d1 = 1.0 + t * t;
    return lift(x, t, d1, 2.0 * t * d1);
}
inline Bicomplex tanh(Bicomplex x) {
    const Complex t = std::tanh(x.z1), d1 = 1.0 - t * t;
    return lift(x, t, d1, -2.0 * t * d1);
}
inline Bicomplex asin(Bicomplex x) {
    const Complex s = std::sqrt(1.0 - x.z1 * x.z1);
    return lift(x, std::asin(x.z1), 1.0 / s, x.z1 / (s * s * s));
}
inline Bicomplex acos(Bicomplex x) {
    const Complex s = std::sqrt(1.0 - x.z1 * x.z1);
    return lift(x, std::acos(x.z1), -1.0 / s, -x.z1 / (s * s * s));
}
inline Bicomplex atan(Bicomplex x) {
    const Complex q = 1.0 + x.z1 * x.z1;
    return lift(x, std::atan(x.z1), 1.0 / q, -2.0 * x.z1 / (q * q));
}

inline Bicomplex abs(Bicomplex x) {
    const double a = x.z1.real();
    return taylor2(x, std::abs(a), sign(a), 0.0);
}
inline Bicomplex sign(Bicomplex x) { return taylor2(x, sign(x.z1.real()), 0.0, 0.0); }
inline Bicomplex erf(Bicomplex x) {
    const double a = x.z1.real(), d1 = kTwoInvSqrtPi * std::exp(-a * a);
    return taylor2(x, std::erf(a), d1, -2.0 * a * d1);
}
inline Bicomplex erfc(Bicomplex x) {
    const double a = x.z1.real(), d1 = kTwoInvSqrtPi * std::exp(-a * a);
    return taylor2(x, std::erfc(a), -d1, 2.0 * a * d1);
}
inline Bicomplex normcdf(Bicomplex x) {
    const double a = x.z1.real(), pdf = normpdf(a);
    return taylor2(x, normcdf(a), pdf, -a * pdf);
}
inline Bicomplex normpdf(Bicomplex x) {
    const double a = x.z1.real(), pdf = normpdf(a);
    return taylor2(x, pdf, -a * pdf, (a * a - 1.0) * pdf);
}

// ---- powers -------------------------------------------------------------------

// x^a = exp(a log x) for the perturbed scalars (x > 0); std::pow on doubles.
template <class T> T power(T x, T a) { return exp(a * log(x)); }
template <class T> T power(T x, double a) { return exp(a * log(x)); }
template <class T> T power(double x, T a) { return exp(a * std::log(x)); }

// x^N for an integer N >= 1 by repeated squaring: products only, so valid for
// any sign of x.
template <int N, class T> T ipow(T x) {
    static_assert(N >= 1, "ipow: exponent below 1");
    if constexpr (N == 1) {
        return x;
    } else if constexpr (N % 2 == 0) {
        const T half = ipow<N / 2>(x);
        return half * half;
    } else {
        return x * ipow<N - 1>(x);
    }
}

// ---- callback adapters --------------------------------------------------------

// Residual callback: interleaved doubles in, the template evaluated on T.
template <class T, class Eq>
void evaluate(Eq equations, const double *lead, const double *cur, const double *lag,
              const double *shocks, const double *params, double *resid) {
    equations(reinterpret_cast<const T *>(lead), reinterpret_cast<const T *>(cur),
              reinterpret_cast<const T *>(lag), reinterpret_cast<const T *>(shocks),
              reinterpret_cast<const T *>(params), reinterpret_cast<T *>(resid));
}

// Row-major k x n Jacobian of an observation template by complex step: exact
// to rounding (the non-analytic functions follow their Taylor form above).
template <int N, int K, class Obs>
void observation_jacobian(Obs observe, const double *x, const double *params, double *out) {
    constexpr double h = 1e-30;
    Complex z[N], y[K];
    for (int i = 0; i < N; ++i) z[i] = x[i];
    for (int j = 0; j < N; ++j) {
        z[j] = Complex(x[j], h);
        observe(z, params, y);
        for (int r = 0; r < K; ++r) out[r * N + j] = y[r].imag() / h;
        z[j] = x[j];
    }
}

}  // namespace corvane

#endif
