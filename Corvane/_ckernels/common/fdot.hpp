// Fused inner products and updates used by every kernel family (internal).
#pragma once

#include <cmath>
#include <cstdint>

namespace crv::detail {

// Contiguous inner product: eight partial sums (four two-wide lanes) updated
// with fused multiply-add, combined lane-wise then across the pair, then the
// remaining n mod 8 terms fused in order. For n < 8 this is the plain fused
// sum in index order.
inline double fdot(const double *a, const double *b, int64_t n) {
    double s[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    int64_t i = 0;
    for (; i + 8 <= n; i += 8)
        for (int j = 0; j < 8; ++j) s[j] = std::fma(a[i + j], b[i + j], s[j]);
    double r = ((s[0] + s[2]) + (s[4] + s[6])) + ((s[1] + s[3]) + (s[5] + s[7]));
    for (; i < n; ++i) r = std::fma(a[i], b[i], r);
    return r;
}

// Inner product along a contiguous row of a and a strided column of b,
// fused in index order (strided walks stay scalar).
inline double fdot_strided(const double *a, const double *b, int64_t stride, int64_t n) {
    double r = 0.0;
    for (int64_t i = 0; i < n; ++i) r = std::fma(a[i], b[i * stride], r);
    return r;
}

// y += alpha * x, element-wise fused.
inline void faxpy(double alpha, const double *x, double *y, int64_t n) {
    for (int64_t i = 0; i < n; ++i) y[i] = std::fma(alpha, x[i], y[i]);
}

}  // namespace crv::detail
