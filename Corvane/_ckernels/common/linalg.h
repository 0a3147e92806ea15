/* Dense linear algebra: real products, Cholesky and triangular solves, Gram
 * matrices, sorting, LU with partial pivoting; complex products and LU; the
 * normal quantile.
 *
 * Matrices are dense, row-major and contiguous (element (i, j) of an m-by-n
 * matrix at i*n + j); complex values are interleaved (re, im) pairs. Outputs
 * never alias inputs except where a comment says so. Inner products are
 * accumulated with fused multiply-add. A negative dimension makes a problem
 * empty like 0 does: no product of two negative dimensions is ever written.
 *
 * Status codes (status.def): -101 Cholesky pivot not above tau = (n * 2^-52) *
 * max(0, max diagonal); -102 and -103 of the LU family. */
#ifndef CORVANE_LINALG_H
#define CORVANE_LINALG_H

#include "crv_api.h"
#include "status.h"

/* LU result owning its buffers; release with crv_lu_free. */
typedef struct crv_lu_t {
    double *lu;   /* n*n: unit-lower multipliers below the diagonal, U on and above */
    int64_t *piv; /* piv[i]: row exchanged with row i at step i */
    int64_t n;
    int64_t status; /* 0, -102 or -103 */
} crv_lu_t;

/* Same layout with n*n interleaved complex values in lu. */
typedef struct c128_lu_t {
    double *lu;
    int64_t *piv;
    int64_t n;
    int64_t status;
} c128_lu_t;

CRV_LAYOUT_CHECK(sizeof(crv_lu_t) == 32 && offsetof(crv_lu_t, status) == 24, "crv_lu_t layout");
CRV_LAYOUT_CHECK(sizeof(c128_lu_t) == 32 && offsetof(c128_lu_t, status) == 24, "c128_lu_t layout");

/* ---- products and vector operations ------------------------------------ */

/* A = 0 (rows*cols entries, when rows*cols >= 1). */
CRV_API void crv_zero_mat(double *A, int64_t rows, int64_t cols);
/* A <- (A + A^T)/2: both mirrored entries get (A_ij + A_ji)*0.5; diagonal kept. */
CRV_API void crv_sym_inplace(double *A, int64_t n);
/* C = A B. Nothing when m <= 0 or n <= 0; C = 0 when k <= 0. */
CRV_API void crv_matmul(const double *A, const double *B, double *C,
                        int64_t m, int64_t k, int64_t n);
/* C = A^T B with A m-by-p, B m-by-n, accumulated over the rows of A and B. */
CRV_API void crv_matmul_atb(const double *A, const double *B, double *C,
                            int64_t m, int64_t p, int64_t n);
/* C = A B^T with A m-by-k, B n-by-k. */
CRV_API void crv_matmul_abt(const double *A, const double *B, double *C,
                            int64_t m, int64_t k, int64_t n);
/* C_out = C_in + A B^T; C_out must not alias C_in. */
CRV_API void crv_matmul_abt_plus_c(const double *A, const double *B, const double *C_in,
                                   double *C_out, int64_t m, int64_t k, int64_t n);
/* y = A x. Nothing when m <= 0; y = 0 when n <= 0. */
CRV_API void crv_matvec(const double *A, const double *x, double *y, int64_t m, int64_t n);
/* y = b + A x. Nothing when m <= 0; y = b when n <= 0. */
CRV_API void crv_matvec_plus_vec(const double *A, const double *x, const double *b,
                                 double *y, int64_t m, int64_t n);
/* out = a - b; out may equal a or b. */
CRV_API void crv_vsub(const double *a, const double *b, double *out, int64_t n);
/* sum a_i b_i (0 when n <= 0). */
CRV_API double crv_dot(const double *a, const double *b, int64_t n);
/* 2 sum log L_ii; reads only the diagonal. */
CRV_API double crv_logdet_from_chol(const double *L, int64_t n);

/* ---- Cholesky and triangular solves ------------------------------------ */

/* Lower Cholesky factor of A + jitter*I (jitter ignored unless > 0), reading
 * only the lower triangle of A. L is zeroed first; returns 0 or -101 (rows
 * above the failing one complete). */
CRV_API int64_t crv_chol(const double *A, double *L, int64_t n, double jitter);
/* Solves L x = b; x may equal b. */
CRV_API void crv_forward_subst(const double *L, const double *b, double *x, int64_t n);
/* Solves L^T x = b without forming L^T; x may equal b. */
CRV_API void crv_backward_subst_chol_t(const double *L, const double *b, double *x, int64_t n);
/* G = X^T X (m-by-n X), exactly symmetric. */
CRV_API void crv_gram(const double *X, double *G, int64_t m, int64_t n);
/* g = X^T y. */
CRV_API void crv_gram_rhs(const double *X, const double *y, double *g, int64_t m, int64_t n);
/* x = A^{-1} b through L = chol(A); returns 0 or -101. */
CRV_API int64_t crv_chol_solve(const double *A, const double *b, double *x, double *L, int64_t n);
/* A_inv = A^{-1} column by column through L = chol(A); returns 0 or -101. */
CRV_API int64_t crv_chol_inv(const double *A, double *A_inv, double *L, int64_t n);

/* ---- sorting and median ------------------------------------------------- */

/* Ascending sort in place, three-way comparison (NaN compares equal). */
CRV_API void crv_sort_f64(double *x, int64_t n);
/* Median; sorts x in place when n > 1. NaN when n < 1. */
CRV_API double crv_median_f64(double *x, int64_t n);

/* ---- real LU ------------------------------------------------------------ */

/* In-place Doolittle LU with partial pivoting (topmost row wins ties).
 * Returns 0, -102 (null pointer or n < 1) or -103. */
CRV_API int64_t crv_lu_factor_inplace(double *A, int64_t *piv, int64_t n);
/* Factorises a private copy of A; the result owns its buffers (also on -103). */
CRV_API crv_lu_t crv_lu_factor(const double *A, int64_t n);
/* Releases the buffers of *lu and zeroes the record; accepts null. */
CRV_API void crv_lu_free(crv_lu_t *lu);
/* X = A^{-1} B from the factors (B n-by-r). */
CRV_API void crv_lu_solve(const double *LU, const int64_t *piv, const double *B, double *X,
                          int64_t n, int64_t r);
/* X = A^{-1} B; returns the factorisation status (0, -102, -103). Allocates. */
CRV_API int64_t crv_solve(const double *A, const double *B, int64_t n, int64_t r, double *X);
/* A_inv = A^{-1}; returns 0, -102 or -103. Allocates. */
CRV_API int64_t crv_inv(const double *A, int64_t n, double *A_inv);

/* ---- complex matrices (interleaved pairs) ------------------------------ */

/* C = A B (no conjugation); note the output after the dimensions. */
CRV_API void c128_matmul(const double *A, const double *B, int64_t m, int64_t k, int64_t n,
                         double *C);
CRV_API int64_t c128_lu_factor_inplace(double *A, int64_t *piv, int64_t n);
CRV_API c128_lu_t c128_lu_factor(const double *A, int64_t n);
CRV_API void c128_lu_free(c128_lu_t *lu);
CRV_API void c128_lu_solve(const double *LU, const int64_t *piv, const double *B, double *X,
                           int64_t n, int64_t r);
CRV_API int64_t c128_solve(const double *A, const double *B, int64_t n, int64_t r, double *X);
CRV_API int64_t c128_inv(const double *A, int64_t n, double *A_inv);

/* ---- normal quantile (Wichura AS 241, PPND16) -------------------------- */

CRV_API double crv_ndtri_as241(double p);
CRV_API void crv_ndtri_as241_into(const double *p, int64_t n, double *out);
/* erfinv(x) = ndtri(0.5 x + 0.5) / sqrt(2). */
CRV_API double crv_erfinv_from_as241(double x);

#endif
