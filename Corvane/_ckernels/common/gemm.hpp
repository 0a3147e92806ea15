// Register-blocked matrix products (internal). Blocking only changes which
// entries are computed together: every entry keeps exactly the arithmetic of
// its scalar definition, so results do not depend on block sizes.
//   gemm_nn: C_ij = sum_l A_il B_lj, one fused chain per entry, l ascending.
//   gemm_nt: C_ij = [C_in_ij +] fdot(row i of A, row j of B, k).
#pragma once

#include <cmath>
#include <cstdint>

#include "fdot.hpp"

#if defined(__AVX2__) && defined(__FMA__)
#include <immintrin.h>
#define CRV_GEMM_AVX2 1
#endif

namespace crv::detail {

#ifdef CRV_GEMM_AVX2
// Lanes [0, w) of a four-wide row segment, w in 1..4.
inline __m256i lane_mask(int64_t w) {
    alignas(32) static constexpr int64_t kOnes[8] = {-1, -1, -1, -1, 0, 0, 0, 0};
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(kOnes + 4 - w));
}

// R rows by (4 * V) columns of C = A B at (i, j); the last vector holds `tail`
// valid lanes (1..4). One fused chain per entry over l ascending.
template <int R, int V>
inline void gemm_nn_simd(const double *A, const double *B, double *C, int64_t k, int64_t n,
                         int64_t i, int64_t j, int64_t tail) {
    const __m256i mask = lane_mask(tail);
    __m256d acc[R][V];
    for (int r = 0; r < R; ++r)
        for (int v = 0; v < V; ++v) acc[r][v] = _mm256_setzero_pd();
    for (int64_t l = 0; l < k; ++l) {
        const double *b = B + l * n + j;
        __m256d bv[V];
        for (int v = 0; v < V - 1; ++v) bv[v] = _mm256_loadu_pd(b + 4 * v);
        bv[V - 1] = _mm256_maskload_pd(b + 4 * (V - 1), mask);
        for (int r = 0; r < R; ++r) {
            const __m256d a = _mm256_broadcast_sd(A + (i + r) * k + l);
            for (int v = 0; v < V; ++v) acc[r][v] = _mm256_fmadd_pd(a, bv[v], acc[r][v]);
        }
    }
    for (int r = 0; r < R; ++r) {
        double *c = C + (i + r) * n + j;
        for (int v = 0; v < V - 1; ++v) _mm256_storeu_pd(c + 4 * v, acc[r][v]);
        _mm256_maskstore_pd(c + 4 * (V - 1), mask, acc[r][V - 1]);
    }
}

template <int R>
inline void gemm_nn_simd_rows(const double *A, const double *B, double *C, int64_t k, int64_t n,
                              int64_t i) {
    int64_t j = 0;
    for (; j + 8 <= n; j += 8) gemm_nn_simd<R, 2>(A, B, C, k, n, i, j, 4);
    if (n - j > 4)
        gemm_nn_simd<R, 2>(A, B, C, k, n, i, j, n - j - 4);
    else if (n - j > 0)
        gemm_nn_simd<R, 1>(A, B, C, k, n, i, j, n - j);
}

// Sum of the eight partial sums held as (s0..s3, s4..s7), in fdot_combine order.
inline double combine(__m256d lo, __m256d hi) {
    const __m256d t = _mm256_add_pd(lo, hi);  // s0+s4, s1+s5, s2+s6, s3+s7
    const __m128d u = _mm_add_pd(_mm256_castpd256_pd128(t), _mm256_extractf128_pd(t, 1));
    return _mm_cvtsd_f64(_mm_add_sd(u, _mm_unpackhi_pd(u, u)));
}

// R rows of A against W rows of B with fdot's partial sums, computed together.
template <int R, int W, bool AddC>
inline void gemm_nt_simd(const double *A, const double *B, const double *C_in, double *C,
                         int64_t k, int64_t n, int64_t i, int64_t j) {
    __m256d lo[R][W], hi[R][W];
    for (int r = 0; r < R; ++r)
        for (int c = 0; c < W; ++c) lo[r][c] = hi[r][c] = _mm256_setzero_pd();
    int64_t l = 0;
    for (; l + 8 <= k; l += 8) {
        __m256d alo[R], ahi[R];
        for (int r = 0; r < R; ++r) {
            alo[r] = _mm256_loadu_pd(A + (i + r) * k + l);
            ahi[r] = _mm256_loadu_pd(A + (i + r) * k + l + 4);
        }
        for (int c = 0; c < W; ++c) {
            const __m256d blo = _mm256_loadu_pd(B + (j + c) * k + l);
            const __m256d bhi = _mm256_loadu_pd(B + (j + c) * k + l + 4);
            for (int r = 0; r < R; ++r) {
                lo[r][c] = _mm256_fmadd_pd(alo[r], blo, lo[r][c]);
                hi[r][c] = _mm256_fmadd_pd(ahi[r], bhi, hi[r][c]);
            }
        }
    }
    double out[R][W];
    for (int r = 0; r < R; ++r)
        for (int c = 0; c < W; ++c) out[r][c] = combine(lo[r][c], hi[r][c]);
    for (; l < k; ++l)
        for (int r = 0; r < R; ++r)
            for (int c = 0; c < W; ++c)
                out[r][c] = std::fma(A[(i + r) * k + l], B[(j + c) * k + l], out[r][c]);
    for (int r = 0; r < R; ++r)
        for (int c = 0; c < W; ++c) {
            const int64_t at = (i + r) * n + j + c;
            C[at] = AddC ? C_in[at] + out[r][c] : out[r][c];
        }
}

// C = A B^T (+ C_in) with B transposed chunk by chunk into stack scratch, so
// that four entries of a row of C share each vector instruction. Every entry
// keeps fdot's arithmetic: eight partial sums over blocks of eight, combined
// in fdot_combine order, then the remaining terms fused in order.
constexpr int64_t kTransposeScratch = 2048;

template <bool AddC>
inline void gemm_nt_transposed(const double *A, const double *B, const double *C_in, double *C,
                               int64_t m, int64_t k, int64_t n) {
    alignas(32) double Bt[kTransposeScratch];
    const int64_t width = (kTransposeScratch / k) & ~int64_t{3};
    for (int64_t j0 = 0; j0 < n; j0 += width) {
        const int64_t cols = n - j0 < width ? n - j0 : width;
        const int64_t padded = (cols + 3) & ~int64_t{3};
        for (int64_t c = 0; c < cols; ++c) {
            const double *b = B + (j0 + c) * k;
            for (int64_t l = 0; l < k; ++l) Bt[l * padded + c] = b[l];
        }
        for (int64_t c = cols; c < padded; ++c)
            for (int64_t l = 0; l < k; ++l) Bt[l * padded + c] = 0.0;
        for (int64_t i = 0; i < m; ++i) {
            const double *a = A + i * k;
            for (int64_t c = 0; c < padded; c += 4) {
                const double *bt = Bt + c;
                __m256d s[8];
                for (int q = 0; q < 8; ++q) s[q] = _mm256_setzero_pd();
                int64_t l = 0;
                for (; l + 8 <= k; l += 8)
                    for (int q = 0; q < 8; ++q)
                        s[q] = _mm256_fmadd_pd(_mm256_broadcast_sd(a + l + q),
                                               _mm256_load_pd(bt + (l + q) * padded), s[q]);
                __m256d r = _mm256_add_pd(
                    _mm256_add_pd(_mm256_add_pd(s[0], s[4]), _mm256_add_pd(s[2], s[6])),
                    _mm256_add_pd(_mm256_add_pd(s[1], s[5]), _mm256_add_pd(s[3], s[7])));
                for (; l < k; ++l)
                    r = _mm256_fmadd_pd(_mm256_broadcast_sd(a + l), _mm256_load_pd(bt + l * padded),
                                        r);
                const int64_t at = i * n + j0 + c;
                if (c + 4 <= cols) {
                    if (AddC) r = _mm256_add_pd(_mm256_loadu_pd(C_in + at), r);
                    _mm256_storeu_pd(C + at, r);
                } else {
                    const __m256i mask = lane_mask(cols - c);
                    if (AddC) r = _mm256_add_pd(_mm256_maskload_pd(C_in + at, mask), r);
                    _mm256_maskstore_pd(C + at, mask, r);
                }
            }
        }
    }
}
#endif

// R rows by W columns of C = A B starting at (i, j).
template <int R, int W>
inline void gemm_nn_block(const double *A, const double *B, double *C, int64_t k, int64_t n,
                          int64_t i, int64_t j) {
    double acc[R][W] = {};
    for (int64_t l = 0; l < k; ++l) {
        const double *b = B + l * n + j;
        for (int r = 0; r < R; ++r) {
            const double a = A[(i + r) * k + l];
            for (int c = 0; c < W; ++c) acc[r][c] = std::fma(a, b[c], acc[r][c]);
        }
    }
    for (int r = 0; r < R; ++r)
        for (int c = 0; c < W; ++c) C[(i + r) * n + j + c] = acc[r][c];
}

template <int R>
inline void gemm_nn_rows(const double *A, const double *B, double *C, int64_t k, int64_t n,
                         int64_t i) {
#ifdef CRV_GEMM_AVX2
    gemm_nn_simd_rows<R>(A, B, C, k, n, i);
    return;
#endif
    int64_t j = 0;
    for (; j + 8 <= n; j += 8) gemm_nn_block<R, 8>(A, B, C, k, n, i, j);
    if (j + 4 <= n) {
        gemm_nn_block<R, 4>(A, B, C, k, n, i, j);
        j += 4;
    }
    for (; j < n; ++j) gemm_nn_block<R, 1>(A, B, C, k, n, i, j);
}

// C = A B for m, k, n >= 1.
inline void gemm_nn(const double *A, const double *B, double *C, int64_t m, int64_t k,
                    int64_t n) {
    int64_t i = 0;
    for (; i + 4 <= m; i += 4) gemm_nn_rows<4>(A, B, C, k, n, i);
    switch (m - i) {
        case 3: gemm_nn_rows<3>(A, B, C, k, n, i); break;
        case 2: gemm_nn_rows<2>(A, B, C, k, n, i); break;
        case 1: gemm_nn_rows<1>(A, B, C, k, n, i); break;
        default: break;
    }
}

// R rows of A against W rows of B: fdot for each pair, computed together.
template <int R, int W, bool AddC>
inline void gemm_nt_block(const double *A, const double *B, const double *C_in, double *C,
                          int64_t k, int64_t n, int64_t i, int64_t j) {
    double s[R][W][8] = {};
    int64_t l = 0;
    for (; l + 8 <= k; l += 8)
        for (int r = 0; r < R; ++r)
            for (int c = 0; c < W; ++c) {
                const double *a = A + (i + r) * k + l;
                const double *b = B + (j + c) * k + l;
                for (int q = 0; q < 8; ++q) s[r][c][q] = std::fma(a[q], b[q], s[r][c][q]);
            }
    double out[R][W];
    for (int r = 0; r < R; ++r)
        for (int c = 0; c < W; ++c) out[r][c] = fdot_combine(s[r][c]);
    for (; l < k; ++l)
        for (int r = 0; r < R; ++r)
            for (int c = 0; c < W; ++c)
                out[r][c] = std::fma(A[(i + r) * k + l], B[(j + c) * k + l], out[r][c]);
    for (int r = 0; r < R; ++r)
        for (int c = 0; c < W; ++c) {
            const int64_t at = (i + r) * n + j + c;
            C[at] = AddC ? C_in[at] + out[r][c] : out[r][c];
        }
}

template <int R, bool AddC>
inline void gemm_nt_rows(const double *A, const double *B, const double *C_in, double *C,
                         int64_t k, int64_t n, int64_t i) {
    int64_t j = 0;
#ifdef CRV_GEMM_AVX2
    for (; j + 2 <= n; j += 2) gemm_nt_simd<R, 2, AddC>(A, B, C_in, C, k, n, i, j);
    if (j < n) gemm_nt_simd<R, 1, AddC>(A, B, C_in, C, k, n, i, j);
    return;
#endif
    for (; j + 2 <= n; j += 2) gemm_nt_block<R, 2, AddC>(A, B, C_in, C, k, n, i, j);
    if (j < n) gemm_nt_block<R, 1, AddC>(A, B, C_in, C, k, n, i, j);
}

// C = A B^T (+ C_in) for m, n >= 1 and k >= 1. C may equal C_in: each entry
// of C_in is read once, just before the same entry of C is written.
template <bool AddC>
inline void gemm_nt(const double *A, const double *B, const double *C_in, double *C, int64_t m,
                    int64_t k, int64_t n) {
#ifdef CRV_GEMM_AVX2
    if (n >= 2 && k <= kTransposeScratch / 4) {
        gemm_nt_transposed<AddC>(A, B, C_in, C, m, k, n);
        return;
    }
#endif
    int64_t i = 0;
    for (; i + 2 <= m; i += 2) gemm_nt_rows<2, AddC>(A, B, C_in, C, k, n, i);
    if (i < m) gemm_nt_rows<1, AddC>(A, B, C_in, C, k, n, i);
}

}  // namespace crv::detail
