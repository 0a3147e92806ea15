// Reference-order BLAS and LAPACK routines used by L-BFGS-B: int64 integers,
// arguments by address, column-major matrices.
#include <cmath>

#include "optimize.h"

namespace {

// Index of the first element walked by a vector of n elements with
// increment inc: the far end when inc < 0.
inline int64_t first(int64_t n, int64_t inc) { return inc < 0 ? (1 - n) * inc : 0; }

inline char upper_case(const char *c) {
    char v = c ? *c : '\0';
    return (v >= 'a' && v <= 'z') ? static_cast<char>(v - 'a' + 'A') : v;
}

}  // namespace

void crv_shim_dcopy(const int64_t *n, const double *x, const int64_t *incx, double *y,
                    const int64_t *incy) {
    const int64_t len = *n, ix0 = *incx, iy0 = *incy;
    if (len <= 0) return;
    int64_t ix = first(len, ix0), iy = first(len, iy0);
    for (int64_t i = 0; i < len; ++i, ix += ix0, iy += iy0) y[iy] = x[ix];
}

void crv_shim_daxpy(const int64_t *n, const double *a, const double *x, const int64_t *incx,
                    double *y, const int64_t *incy) {
    const int64_t len = *n, ix0 = *incx, iy0 = *incy;
    const double alpha = *a;
    if (len <= 0 || alpha == 0.0) return;
    int64_t ix = first(len, ix0), iy = first(len, iy0);
    for (int64_t i = 0; i < len; ++i, ix += ix0, iy += iy0) y[iy] = std::fma(alpha, x[ix], y[iy]);
}

void crv_shim_dscal(const int64_t *n, const double *a, double *x, const int64_t *incx) {
    const int64_t len = *n, inc = *incx;
    if (len <= 0 || inc <= 0) return;
    const double alpha = *a;
    for (int64_t i = 0, ix = 0; i < len; ++i, ix += inc) x[ix] *= alpha;
}

double crv_shim_ddot(const int64_t *n, const double *x, const int64_t *incx, const double *y,
                     const int64_t *incy) {
    const int64_t len = *n, ix0 = *incx, iy0 = *incy;
    if (len <= 0) return 0.0;
    double s = 0.0;
    int64_t ix = first(len, ix0), iy = first(len, iy0);
    for (int64_t i = 0; i < len; ++i, ix += ix0, iy += iy0) s = std::fma(x[ix], y[iy], s);
    return s;
}

double crv_shim_dnrm2(const int64_t *n, const double *x, const int64_t *incx) {
    const int64_t len = *n, inc = *incx;
    if (len <= 0 || inc == 0) return 0.0;
    if (len == 1) return std::fabs(x[0]);
    double scale = 0.0, ssq = 1.0;
    int64_t ix = first(len, inc);
    for (int64_t i = 0; i < len; ++i, ix += inc) {
        if (x[ix] == 0.0) continue;
        const double a = std::fabs(x[ix]);
        if (scale < a) {
            const double q = scale / a;
            ssq = 1.0 + ssq * (q * q);
            scale = a;
        } else {
            const double q = a / scale;
            ssq += q * q;
        }
    }
    return scale * std::sqrt(ssq);
}

void crv_shim_dpotrf(const char *uplo, const int64_t *n, double *A, const int64_t *lda,
                     int64_t *info) {
    const char up = upper_case(uplo);
    const int64_t N = *n, ld = *lda;
    *info = 0;
    if (up != 'U' && up != 'L') { *info = -1; return; }
    if (N < 0) { *info = -2; return; }
    if (ld < (N > 1 ? N : 1)) { *info = -4; return; }
    auto a = [&](int64_t i, int64_t j) -> double & { return A[i + j * ld]; };
    for (int64_t j = 0; j < N; ++j) {
        // Pivot j from the already factored part of its column (U) or row (L).
        double ajj = a(j, j);
        if (up == 'U') {
            for (int64_t k = 0; k < j; ++k) ajj = std::fma(-a(k, j), a(k, j), ajj);
        } else {
            for (int64_t k = 0; k < j; ++k) ajj = std::fma(-a(j, k), a(j, k), ajj);
        }
        if (!(ajj > 0.0)) {
            a(j, j) = ajj;
            *info = j + 1;
            return;
        }
        ajj = std::sqrt(ajj);
        a(j, j) = ajj;
        if (up == 'U') {
            for (int64_t c = j + 1; c < N; ++c) {
                double v = a(j, c);
                for (int64_t k = 0; k < j; ++k) v = std::fma(-a(k, j), a(k, c), v);
                a(j, c) = v / ajj;
            }
        } else {
            for (int64_t r = j + 1; r < N; ++r) {
                double v = a(r, j);
                for (int64_t k = 0; k < j; ++k) v = std::fma(-a(j, k), a(r, k), v);
                a(r, j) = v / ajj;
            }
        }
    }
}

void crv_shim_dtrtrs(const char *uplo, const char *trans, const char *diag, const int64_t *n,
                     const int64_t *nrhs, const double *A, const int64_t *lda, double *B,
                     const int64_t *ldb, int64_t *info) {
    const char up = upper_case(uplo), tr = upper_case(trans), dg = upper_case(diag);
    const int64_t N = *n, R = *nrhs, la = *lda, lb = *ldb;
    *info = 0;
    if (up != 'U' && up != 'L') *info = -1;
    else if (tr != 'N' && tr != 'T' && tr != 'C') *info = -2;
    else if (dg != 'N' && dg != 'U') *info = -3;
    else if (N < 0) *info = -4;
    else if (R < 0) *info = -5;
    else if (la < (N > 1 ? N : 1)) *info = -7;
    else if (lb < (N > 1 ? N : 1)) *info = -9;
    if (*info != 0 || N == 0) return;
    const bool unit = dg == 'U';
    auto a = [&](int64_t i, int64_t j) { return A[i + j * la]; };
    if (!unit)
        for (int64_t i = 0; i < N; ++i)
            if (a(i, i) == 0.0) { *info = i + 1; return; }
    // op(A) is lower triangular for (L, N) and (U, T): forward substitution.
    const bool forward = (up == 'L') == (tr == 'N');
    for (int64_t c = 0; c < R; ++c) {
        double *b = B + c * lb;
        for (int64_t s = 0; s < N; ++s) {
            const int64_t i = forward ? s : N - 1 - s;
            double v = b[i];
            if (tr == 'N') {
                // row i of A
                if (forward) for (int64_t k = 0; k < i; ++k) v = std::fma(-a(i, k), b[k], v);
                else for (int64_t k = i + 1; k < N; ++k) v = std::fma(-a(i, k), b[k], v);
            } else {
                // column i of A
                if (forward) for (int64_t k = 0; k < i; ++k) v = std::fma(-a(k, i), b[k], v);
                else for (int64_t k = i + 1; k < N; ++k) v = std::fma(-a(k, i), b[k], v);
            }
            b[i] = unit ? v : v / a(i, i);
        }
    }
}
