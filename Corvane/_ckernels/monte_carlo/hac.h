/* HAC long-run covariances and Wald tests on the mean, covariance and
 * second-moment matrix of a multivariate series.
 *
 * Kernel codes (32-bit): 0 Bartlett, 1 Parzen, 2 quadratic spectral, 3 no
 * lags; the table "_KERNEL_SPECS" (crv_stat_table) holds the (a, q) constants
 * of the AR(1) plug-in bandwidth per code. Bandwidth rules (32-bit): 0 fixed (bw >= 0), 1 floor
 * rule floor(4 (T/100)^(2/9)), 2 AR(1) plug-in over all columns (median),
 * 3 floor rule for Bartlett, plug-in otherwise. vech order: the upper
 * triangle row by row, h = k(k + 1)/2 entries.
 *
 * Status codes (32-bit, see diagnostics.h): 0; -1001 target not symmetric;
 * -1002 long-run covariance singular; -1005 T < 2; -1007 bad kernel code
 * (outside 0 ... 2 in the Wald tests), bad rule or negative fixed bandwidth. */
#ifndef CORVANE_HAC_H
#define CORVANE_HAC_H

#include "crv_api.h"
#include "diagnostics.h"

#define CRV_KERNEL_COUNT 4

/* Kernel weight w(|j| / (bw + 1)); 0 for code 3, for an unknown code and for
 * bw < 0. */
CRV_API double kernel_weight(int64_t j, int64_t bw, int32_t code);
/* floor(4 (T/100)^(2/9)); 0 for T <= 0. x is not read. */
CRV_API int64_t wooldridge_bandwidth(const double *x, int64_t T);
/* Andrews' AR(1) plug-in bandwidth of one series (1 whenever the rule
 * degenerates or gives less than 2, and for an unknown code). */
CRV_API int64_t andrews_bandwidth(const double *x, int32_t code, int64_t T);
/* floor of the median of the per-column plug-in bandwidths (stored in work,
 * k doubles); 1 for k <= 0 or T < 2. */
CRV_API int64_t andrews_bandwidth_matrix(const double *X, int32_t code, int64_t T, int64_t k,
                                         double *work);

/* Column means of X (T x k); NaN for T <= 0. */
CRV_API void crv_fill_mean_ax0(const double *X, int64_t T, int64_t k, double *mean);
/* out = X - mean row by row; out may equal X. */
CRV_API void crv_fill_centered_ax0(const double *X, const double *mean, int64_t T, int64_t k,
                                   double *out);
/* S = (XᵀX + sum_{j=1..L} w_j (Γ_j + Γ_jᵀ)) / T with Γ_j = X_{0..T-j-1}ᵀ X_{j..T-1},
 * L = min(bw, T - 1) and w_j = kernel_weight(j, L, code); zero weights are
 * skipped. work (k x k) holds Γ_j. */
CRV_API void crv_hac_estimator_matmul(const double *X, int32_t code, int64_t bw, int64_t T,
                                      int64_t k, double *work, double *S);
/* W = T dᵀ S⁻¹ d with d = mean - mu0, through the Cholesky factor F of S or,
 * when S is not positive definite, its LU factors (F, piv); z = S⁻¹ d.
 * Values in (-1e-12, 0) become 0. *out = NaN first; returns 0 or -1002. */
CRV_API int32_t crv_wald_stat_from_mean_and_cov(const double *mean, const double *mu0,
                                                const double *S, int64_t T, int64_t k, double *d,
                                                double *F, int64_t *piv, double *z, double *out);

/* Size query of the WaldMeanArena layout (stats_layout.hpp, as are the
 * layouts below; each ends with the WaldMomentsArena of the moments step). */
CRV_API crv_arena_size_t crv_wald_mean_hac_arena_size(int64_t T, int64_t k);
/* Wald test of E x_t = mu0 on a copy of X. Arena (both regions):
 * WaldMeanArena. */
CRV_API int32_t crv_wald_mean_hac(const double *X, const double *mu0, int64_t T, int64_t k,
                                  int32_t code, int32_t rule, int64_t bw, double *arena,
                                  int64_t *iarena, double *out);

/* Size query of the WaldCovArena layout. */
CRV_API crv_arena_size_t crv_wald_covariance_hac_arena_size(int64_t T, int64_t k);
/* Wald test of Cov x_t = Sigma0 on the moments vech((x_t - xbar)(x_t - xbar)ᵀ).
 * Arena: WaldCovArena. Returns 0, -1001, -1002, -1005 or -1007. */
CRV_API int32_t crv_wald_covariance_hac(const double *X, const double *Sigma0, int64_t T,
                                        int64_t k, int32_t code, int32_t rule, int64_t bw,
                                        double *arena, int64_t *iarena, double *out);

/* out = vech(A) after checking, for each pair (j, l >= j) that differs, a
 * finite |A_jl - A_lj| <= atol + rtol |A_lj|. Returns 0 or -1001. */
CRV_API int32_t crv_fill_symmetric_target_vec(const double *A, int64_t k, double *out,
                                              double atol, double rtol);
/* Row t of out (at t * stride) = vech(x_t x_tᵀ). */
CRV_API void crv_symmetric_outer_prod_2dim(const double *X, int64_t T, int64_t k, int64_t stride,
                                           double *out);

/* Size query of the WaldSecondArena layout. */
CRV_API crv_arena_size_t crv_wald_second_moment_hac_arena_size(int64_t T, int64_t k);
/* Wald test of E x_t x_tᵀ = Sigma0 on the uncentred moments vech(x_t x_tᵀ).
 * Arena: WaldSecondArena. */
CRV_API int32_t crv_wald_second_moment_hac(const double *X, const double *Sigma0, int64_t T,
                                           int64_t k, int32_t code, int32_t rule, int64_t bw,
                                           double *arena, int64_t *iarena, double *out);

#endif
