// Fused inner products and updates used by every kernel family (internal).
#pragma once

#include <cmath>
#include <cstdint>

namespace crv::detail {

// Combination of the eight partial sums of fdot: the four two-wide lanes
// (s0,s1) (s2,s3) (s4,s5) (s6,s7) are added as (v0 + v2) + (v1 + v3), then the
// two halves of the resulting lane.
inline double fdot_combine(const double (&s)[8]) {
    return ((s[0] + s[4]) + (s[2] + s[6])) + ((s[1] + s[5]) + (s[3] + s[7]));
}

// Contiguous inner product: eight partial sums updated with fused
// multiply-add over blocks of eight, combined by fdot_combine, then the
// remaining n mod 8 terms fused in order. For n < 8 this is the plain fused
// sum in index order.
inline double fdot(const double *a, const double *b, int64_t n) {
    double s[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    int64_t i = 0;
    for (; i + 8 <= n; i += 8)
        for (int j = 0; j < 8; ++j) s[j] = std::fma(a[i + j], b[i + j], s[j]);
    double r = fdot_combine(s);
    for (; i < n; ++i) r = std::fma(a[i], b[i], r);
    return r;
}

// fdot over two operands with the same stride: the same lanes and
// combination order, so a column of a matrix gives exactly the inner product
// of its contiguous copy.
inline double fdot_lanes_strided(const double *a, const double *b, int64_t stride, int64_t n) {
    double s[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    int64_t i = 0;
    for (; i + 8 <= n; i += 8)
        for (int j = 0; j < 8; ++j) s[j] = std::fma(a[(i + j) * stride], b[(i + j) * stride], s[j]);
    double r = fdot_combine(s);
    for (; i < n; ++i) r = std::fma(a[i * stride], b[i * stride], r);
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
