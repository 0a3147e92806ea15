// Scalar types of the compiled example models: complex numbers for the
// complex-step residual and observation Jacobians, bicomplex numbers
// z1 + z2 i2 (z1, z2 complex in i1) for the second-order callback. The model
// equations are templates over the scalar, written once.
#ifndef CORVANE_EXAMPLES_SCALARS_HPP
#define CORVANE_EXAMPLES_SCALARS_HPP

#include <cmath>
#include <complex>
#include <cstdint>

namespace crv_examples {

using Complex = std::complex<double>;

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

inline Bicomplex exp(Bicomplex x) {
    const Complex e = std::exp(x.z1);
    return {e * std::cos(x.z2), e * std::sin(x.z2)};
}

// z1 (1 + u i2) with u = z2 / z1: log(1 + u i2) = log(1 + u^2) / 2 + atan(u) i2.
inline Bicomplex log(Bicomplex x) {
    const Complex u = x.z2 / x.z1;
    return {std::log(x.z1) + 0.5 * log1p(u * u), std::atan(u)};
}

inline Complex exp(Complex x) { return std::exp(x); }
inline Complex log(Complex x) { return std::log(x); }

// x^a = exp(a log x) for every scalar type.
template <class T> T power(T x, T a) { return exp(a * log(x)); }

// Callback adapters: interleaved doubles in, the template evaluated on T.
template <class T, class Eq>
void evaluate(Eq equations, const double *lead, const double *cur, const double *lag,
              const double *shocks, const double *params, double *resid) {
    equations(reinterpret_cast<const T *>(lead), reinterpret_cast<const T *>(cur),
              reinterpret_cast<const T *>(lag), reinterpret_cast<const T *>(shocks),
              reinterpret_cast<const T *>(params), reinterpret_cast<T *>(resid));
}

// Row-major k x n Jacobian of an observation template by complex step: exact
// to rounding for analytic observation functions.
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

}  // namespace crv_examples

#endif
