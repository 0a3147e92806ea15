// Real dense kernels: products, Cholesky, triangular solves, Gram matrices,
// sorting and the median.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "constants.hpp"
#include "fdot.hpp"
#include "gemm.hpp"
#include "linalg.h"

using crv::detail::faxpy;
using crv::detail::fdot;
using crv::detail::fdot_strided;

namespace {

using crv::detail::kEps;

inline void fill_zero(double *a, int64_t count) {
    if (count >= 1) std::memset(a, 0, static_cast<size_t>(count) * sizeof(double));
}

}  // namespace

void crv_zero_mat(double *A, int64_t rows, int64_t cols) {
    if (rows <= 0 || cols <= 0) return;
    fill_zero(A, rows * cols);
}

void crv_sym_inplace(double *A, int64_t n) {
    for (int64_t i = 0; i < n; ++i)
        for (int64_t j = i + 1; j < n; ++j) {
            const double v = (A[i * n + j] + A[j * n + i]) * 0.5;
            A[i * n + j] = v;
            A[j * n + i] = v;
        }
}

void crv_matmul(const double *A, const double *B, double *C, int64_t m, int64_t k, int64_t n) {
    if (m <= 0 || n <= 0) return;
    if (k <= 0) {
        fill_zero(C, m * n);
        return;
    }
    if (n == 1)
        crv::detail::gemm_nt<false>(A, B, nullptr, C, m, k, 1);  // contiguous column
    else
        crv::detail::gemm_nn(A, B, C, m, k, n);
}

void crv_matmul_atb(const double *A, const double *B, double *C, int64_t m, int64_t p, int64_t n) {
    if (p > 0 && n > 0) fill_zero(C, p * n);
    if (m <= 0 || p <= 0 || n <= 0) return;
    for (int64_t i = 0; i < m; ++i)
        for (int64_t j = 0; j < p; ++j) faxpy(A[i * p + j], B + i * n, C + j * n, n);
}

void crv_matmul_abt(const double *A, const double *B, double *C, int64_t m, int64_t k, int64_t n) {
    if (m <= 0 || n <= 0) return;
    if (k <= 0) {
        fill_zero(C, m * n);
        return;
    }
    crv::detail::gemm_nt<false>(A, B, nullptr, C, m, k, n);
}

void crv_matmul_abt_plus_c(const double *A, const double *B, const double *C_in, double *C_out,
                           int64_t m, int64_t k, int64_t n) {
    if (m <= 0 || n <= 0) return;
    if (k <= 0) {
        for (int64_t i = 0; i < m; ++i)
            std::memcpy(C_out + i * n, C_in + i * n, static_cast<size_t>(n) * sizeof(double));
        return;
    }
    crv::detail::gemm_nt<true>(A, B, C_in, C_out, m, k, n);
}

void crv_matvec(const double *A, const double *x, double *y, int64_t m, int64_t n) {
    if (m <= 0) return;
    if (n <= 0) {
        fill_zero(y, m);
        return;
    }
    crv::detail::gemm_nt<false>(A, x, nullptr, y, m, n, 1);
}

void crv_matvec_plus_vec(const double *A, const double *x, const double *b, double *y, int64_t m,
                         int64_t n) {
    if (m <= 0) return;
    if (n <= 0) {
        std::memcpy(y, b, static_cast<size_t>(m) * sizeof(double));
        return;
    }
    crv::detail::gemm_nt<true>(A, x, b, y, m, n, 1);
}

void crv_vsub(const double *a, const double *b, double *out, int64_t n) {
    for (int64_t i = 0; i < n; ++i) out[i] = a[i] - b[i];
}

double crv_dot(const double *a, const double *b, int64_t n) {
    return n <= 0 ? 0.0 : fdot(a, b, n);
}

double crv_logdet_from_chol(const double *L, int64_t n) {
    double s = 0.0;
    for (int64_t i = 0; i < n; ++i) s += std::log(L[i * (n + 1)]);
    return 2.0 * s;
}

int64_t crv_chol(const double *A, double *L, int64_t n, double jitter) {
    if (n <= 0) return 0;
    fill_zero(L, n * n);
    const double add = jitter > 0.0 ? jitter : 0.0;
    double d_max = 0.0;
    for (int64_t i = 0; i < n; ++i) {
        const double d = A[i * (n + 1)] + add;
        if (d > d_max) d_max = d;
    }
    const double tau = (static_cast<double>(n) * kEps) * d_max;
    for (int64_t r = 0; r < n; ++r) {
        const double *Lr = L + r * n;
        for (int64_t c = 0; c < r; ++c)
            L[r * n + c] = (A[r * n + c] - fdot(Lr, L + c * n, c)) / L[c * n + c];
        const double v = (A[r * n + r] + add) - fdot(Lr, Lr, r);
        if (v <= tau) return CRV_CHOL_NOT_PD;
        L[r * n + r] = std::sqrt(v);
    }
    return 0;
}

void crv_forward_subst(const double *L, const double *b, double *x, int64_t n) {
    for (int64_t i = 0; i < n; ++i) x[i] = (b[i] - fdot(L + i * n, x, i)) / L[i * n + i];
}

void crv_backward_subst_chol_t(const double *L, const double *b, double *x, int64_t n) {
    for (int64_t i = n - 1; i >= 0; --i)
        x[i] = (b[i] - fdot_strided(x + i + 1, L + (i + 1) * n + i, n, n - 1 - i)) / L[i * n + i];
}

void crv_gram(const double *X, double *G, int64_t m, int64_t n) {
    if (n <= 0) return;
    fill_zero(G, n * n);
    if (m < 1) return;
    for (int64_t i = 0; i < m; ++i) {
        const double *xi = X + i * n;
        for (int64_t j = 0; j < n; ++j) faxpy(xi[j], xi, G + j * n, j + 1);
    }
    for (int64_t j = 0; j < n; ++j)
        for (int64_t l = 0; l < j; ++l) G[l * n + j] = G[j * n + l];
}

void crv_gram_rhs(const double *X, const double *y, double *g, int64_t m, int64_t n) {
    if (n < 1) return;
    fill_zero(g, n);
    for (int64_t i = 0; i < m; ++i) faxpy(y[i], X + i * n, g, n);
}

int64_t crv_chol_solve(const double *A, const double *b, double *x, double *L, int64_t n) {
    const int64_t status = crv_chol(A, L, n, 0.0);
    if (status != 0) return status;
    crv_forward_subst(L, b, x, n);
    crv_backward_subst_chol_t(L, x, x, n);
    return 0;
}

int64_t crv_chol_inv(const double *A, double *A_inv, double *L, int64_t n) {
    const int64_t status = crv_chol(A, L, n, 0.0);
    if (status != 0) return status;
    // Column i of the inverse, solved in place with stride n: L y = e_i, then L^T z = y.
    for (int64_t i = 0; i < n; ++i) {
        double *col = A_inv + i;
        for (int64_t r = 0; r < n; ++r) {
            double s = 0.0;
            for (int64_t c = 0; c < r; ++c) s = std::fma(L[r * n + c], col[c * n], s);
            col[r * n] = ((r == i ? 1.0 : 0.0) - s) / L[r * n + r];
        }
        for (int64_t r = n - 1; r >= 0; --r) {
            double s = 0.0;
            for (int64_t c = r + 1; c < n; ++c) s = std::fma(L[c * n + r], col[c * n], s);
            col[r * n] = (col[r * n] - s) / L[r * n + r];
        }
    }
    return 0;
}

namespace {

int compare_f64(const void *pa, const void *pb) {
    const double a = *static_cast<const double *>(pa);
    const double b = *static_cast<const double *>(pb);
    return (a > b) - (a < b);
}

}  // namespace

void crv_sort_f64(double *x, int64_t n) {
    if (n > 1) std::qsort(x, static_cast<size_t>(n), sizeof(double), compare_f64);
}

double crv_median_f64(double *x, int64_t n) {
    if (n < 1) return std::numeric_limits<double>::quiet_NaN();
    if (n == 1) return x[0];
    crv_sort_f64(x, n);
    return (n % 2 == 1) ? x[n / 2] : (x[n / 2 - 1] + x[n / 2]) * 0.5;
}
