// LU factorisation with partial pivoting, solves and inverses, written once
// for real and complex entries; the complex matrix product.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "linalg.h"

namespace {

// Complex number with explicit arithmetic (no library operators).
struct cplx {
    double re, im;
};

// ---- scalar operations over double and cplx ------------------------------

inline double pivot_size(double a) { return std::fabs(a); }
inline double pivot_size(cplx a) { return a.re * a.re + a.im * a.im; }

// acc - a*b, fused term by term.
inline double sub_mul(double acc, double a, double b) { return std::fma(-a, b, acc); }
inline cplx sub_mul(cplx acc, cplx a, cplx b) {
    double re = std::fma(-a.re, b.re, acc.re);
    re = std::fma(a.im, b.im, re);
    double im = std::fma(-a.re, b.im, acc.im);
    im = std::fma(-a.im, b.re, im);
    return {re, im};
}

inline double divide(double z, double w) { return z / w; }
// Smith's division; |d| <= |c| takes the first branch.
inline cplx divide(cplx z, cplx w) {
    const double c = w.re, d = w.im;
    if (std::fabs(d) <= std::fabs(c)) {
        const double t = d / c;
        const double den = c + d * t;
        return {(z.re + z.im * t) / den, (z.im - z.re * t) / den};
    }
    const double t = c / d;
    const double den = d + c * t;
    return {(z.re * t + z.im) / den, (z.im * t - z.re) / den};
}

template <class T> inline T one();
template <> inline double one<double>() { return 1.0; }
template <> inline cplx one<cplx>() { return {1.0, 0.0}; }

template <class T> inline T *as(double *p) { return reinterpret_cast<T *>(p); }
template <class T> inline const T *as(const double *p) { return reinterpret_cast<const T *>(p); }

template <class T> void swap_rows(T *A, int64_t r1, int64_t r2, int64_t cols) {
    for (int64_t j = 0; j < cols; ++j) {
        const T t = A[r1 * cols + j];
        A[r1 * cols + j] = A[r2 * cols + j];
        A[r2 * cols + j] = t;
    }
}

// ---- generic LU ------------------------------------------------------------

template <class T> int64_t lu_inplace(T *A, int64_t *piv, int64_t n) {
    if (A == nullptr || piv == nullptr || n < 1) return CRV_LU_BAD_ARG;
    for (int64_t i = 0; i < n; ++i) {
        int64_t best = i;
        double best_size = pivot_size(A[i * n + i]);
        for (int64_t j = i + 1; j < n; ++j) {
            const double s = pivot_size(A[j * n + i]);
            if (s > best_size) {
                best_size = s;
                best = j;
            }
        }
        piv[i] = best;
        if (best_size == 0.0) return CRV_LU_SINGULAR;
        if (best != i) swap_rows(A, i, best, n);
        const T pivot = A[i * n + i];
        const T *row_i = A + i * n;
        for (int64_t k = i + 1; k < n; ++k) {
            T *row_k = A + k * n;
            const T mult = divide(row_k[i], pivot);
            row_k[i] = mult;
            for (int64_t j = i + 1; j < n; ++j) row_k[j] = sub_mul(row_k[j], mult, row_i[j]);
        }
    }
    return 0;
}

// Element count n*n (times `width` doubles) without overflow, or -1.
int64_t square_doubles(int64_t n, int64_t width) {
    int64_t nn, total;
    if (__builtin_mul_overflow(n, n, &nn) || __builtin_mul_overflow(nn, width, &total) ||
        total > static_cast<int64_t>(SIZE_MAX / sizeof(double)))
        return -1;
    return total;
}

// Result record of a factorisation; T's width is 1 (real) or 2 (complex).
template <class T, class Rec> Rec lu_factor(const double *A, int64_t n) {
    constexpr int64_t width = sizeof(T) / sizeof(double);
    Rec rec{nullptr, nullptr, n, CRV_LU_BAD_ARG};
    if (A == nullptr || n <= 0) return rec;
    const int64_t count = square_doubles(n, width);
    if (count < 0 || n > static_cast<int64_t>(SIZE_MAX / sizeof(int64_t))) return rec;
    double *lu = static_cast<double *>(std::malloc(static_cast<size_t>(count) * sizeof(double)));
    int64_t *piv = static_cast<int64_t *>(std::malloc(static_cast<size_t>(n) * sizeof(int64_t)));
    if (lu == nullptr || piv == nullptr) {
        std::free(lu);
        std::free(piv);
        return rec;
    }
    std::memcpy(lu, A, static_cast<size_t>(count) * sizeof(double));
    rec.lu = lu;
    rec.piv = piv;
    rec.status = lu_inplace(as<T>(lu), piv, n);
    return rec;
}

template <class Rec> void lu_free(Rec *rec) {
    if (rec == nullptr) return;
    std::free(rec->lu);
    std::free(rec->piv);
    rec->lu = nullptr;
    rec->piv = nullptr;
    rec->n = 0;
    rec->status = 0;
}

template <class T>
void lu_solve(const T *LU, const int64_t *piv, const T *B, T *X, int64_t n, int64_t r) {
    if (n <= 0 || r <= 0) return;
    std::memcpy(X, B, static_cast<size_t>(n * r) * sizeof(T));
    for (int64_t i = 0; i < n; ++i)
        if (piv[i] != i) swap_rows(X, i, piv[i], r);
    for (int64_t j = 0; j < n; ++j) {
        T *xj = X + j * r;
        for (int64_t k = 0; k < j; ++k) {
            const T l = LU[j * n + k];
            const T *xk = X + k * r;
            for (int64_t c = 0; c < r; ++c) xj[c] = sub_mul(xj[c], l, xk[c]);
        }
    }
    for (int64_t j = n - 1; j >= 0; --j) {
        T *xj = X + j * r;
        for (int64_t k = j + 1; k < n; ++k) {
            const T u = LU[j * n + k];
            const T *xk = X + k * r;
            for (int64_t c = 0; c < r; ++c) xj[c] = sub_mul(xj[c], u, xk[c]);
        }
        const T d = LU[j * n + j];
        for (int64_t c = 0; c < r; ++c) xj[c] = divide(xj[c], d);
    }
}

template <class T, class Rec>
int64_t solve(const double *A, const double *B, int64_t n, int64_t r, double *X) {
    Rec f = lu_factor<T, Rec>(A, n);
    const int64_t status = f.status;
    if (status != 0) {
        lu_free(&f);
        return status;
    }
    lu_solve(as<T>(f.lu), f.piv, as<const T>(B), as<T>(X), n, r);
    lu_free(&f);
    return 0;
}

template <class T, class Rec> int64_t inverse(const double *A, int64_t n, double *A_inv) {
    constexpr int64_t width = sizeof(T) / sizeof(double);
    if (A == nullptr || n <= 0) return CRV_LU_BAD_ARG;
    const int64_t count = square_doubles(n, width);
    if (count < 0) return CRV_LU_BAD_ARG;
    double *eye = static_cast<double *>(std::calloc(static_cast<size_t>(count), sizeof(double)));
    if (eye == nullptr) return CRV_LU_BAD_ARG;
    for (int64_t i = 0; i < n; ++i) as<T>(eye)[i * n + i] = one<T>();
    const int64_t status = solve<T, Rec>(A, eye, n, n, A_inv);
    std::free(eye);
    return status;
}

}  // namespace

// ---- real ------------------------------------------------------------------

int64_t crv_lu_factor_inplace(double *A, int64_t *piv, int64_t n) { return lu_inplace(A, piv, n); }

crv_lu_t crv_lu_factor(const double *A, int64_t n) { return lu_factor<double, crv_lu_t>(A, n); }

void crv_lu_free(crv_lu_t *lu) { lu_free(lu); }

void crv_lu_solve(const double *LU, const int64_t *piv, const double *B, double *X, int64_t n,
                  int64_t r) {
    lu_solve(LU, piv, B, X, n, r);
}

int64_t crv_solve(const double *A, const double *B, int64_t n, int64_t r, double *X) {
    return solve<double, crv_lu_t>(A, B, n, r, X);
}

int64_t crv_inv(const double *A, int64_t n, double *A_inv) {
    return inverse<double, crv_lu_t>(A, n, A_inv);
}

// ---- complex ---------------------------------------------------------------

void c128_matmul(const double *A, const double *B, int64_t m, int64_t k, int64_t n, double *C) {
    if (m <= 0 || n <= 0) return;
    cplx *c = as<cplx>(C);
    if (k <= 0) {
        for (int64_t i = 0; i < m * n; ++i) c[i] = {0.0, 0.0};
        return;
    }
    const cplx *a = as<const cplx>(A);
    const cplx *b = as<const cplx>(B);
    for (int64_t i = 0; i < m; ++i)
        for (int64_t j = 0; j < n; ++j) {
            double re = 0.0, im = 0.0;
            for (int64_t l = 0; l < k; ++l) {
                const cplx x = a[i * k + l], y = b[l * n + j];
                re = std::fma(x.re, y.re, re);
                re = std::fma(-x.im, y.im, re);
                im = std::fma(x.re, y.im, im);
                im = std::fma(x.im, y.re, im);
            }
            c[i * n + j] = {re, im};
        }
}

int64_t c128_lu_factor_inplace(double *A, int64_t *piv, int64_t n) {
    return lu_inplace(as<cplx>(A), piv, n);
}

c128_lu_t c128_lu_factor(const double *A, int64_t n) { return lu_factor<cplx, c128_lu_t>(A, n); }

void c128_lu_free(c128_lu_t *lu) { lu_free(lu); }

void c128_lu_solve(const double *LU, const int64_t *piv, const double *B, double *X, int64_t n,
                   int64_t r) {
    lu_solve(as<const cplx>(LU), piv, as<const cplx>(B), as<cplx>(X), n, r);
}

int64_t c128_solve(const double *A, const double *B, int64_t n, int64_t r, double *X) {
    return solve<cplx, c128_lu_t>(A, B, n, r, X);
}

int64_t c128_inv(const double *A, int64_t n, double *A_inv) {
    return inverse<cplx, c128_lu_t>(A, n, A_inv);
}
