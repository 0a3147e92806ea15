/* Structural-stability tests of y = X beta + u: the Chow break-point F
 * statistic, recursive residuals by Sherman-Morrison updating, the CUSUM
 * series and statistic, CUSUM of squares and the CUSUM boundary-crossing
 * probability.
 *
 * X is n x k row-major. Status codes (32-bit, see diagnostics.h): 0; 1 an
 * inner Cholesky factorisation failed; -1003 negative k; -1005 too few
 * observations (n = 0, k >= n, or 2k >= n for Chow); -1007 Chow break point
 * outside 1 ... n-1. Statistics are NaN on a negative status. */
#ifndef CORVANE_STABILITY_H
#define CORVANE_STABILITY_H

#include "crv_api.h"
#include "diagnostics.h"

/* Size query of the ChowArena layout (stats_layout.hpp, as are the layouts
 * below). */
CRV_API crv_arena_size_t crv_chow_arena_size(int64_t k);
/* Chow F = ((SSR_p - SSR_1 - SSR_2) / k) / ((SSR_1 + SSR_2) / (n - 2k)) for
 * regimes rows 0..b-1 and b..n-1. Arena: ChowArena, reused by the three
 * fits. Returns 0; 1 (a fit failed or a regime
 * has fewer than k rows, *out unwritten); -1005 / -1007 / -1003 with *out = NaN. */
CRV_API int32_t crv_chow_stat(const double *y, const double *X, int64_t n, int64_t k, int64_t b,
                              double *arena, double *out);

/* Recursive residuals w_j, j = t - k for t = k ... n-1, from the fit on the
 * first k rows updated one row at a time (Sherman-Morrison on the inverse
 * normal matrix). Arena: RecursiveArena (3k^2 + 3k doubles; no size
 * query). k = 0 copies y. Returns 0; 1 (first k rows singular);
 * -1005 for n = 0 or k >= n; -1003 for k < 0. */
CRV_API int32_t crv_recursive_residuals(const double *y, const double *X, int64_t n, int64_t k,
                                        double *arena, double *w);

/* CUSUM path W_r = (w_0 + ... + w_r) / sigma_hat, sigma_hat^2 = SSR / (n - k)
 * of the full-sample fit (SSR = 0 is not guarded). Arena: CusumSeriesArena
 * ((n - k) + 5k^2 + 5k doubles; no size query). Returns the recursive-residual status, 1 (full fit
 * singular) or 0. */
CRV_API int32_t crv_cusum_series(const double *y, const double *X, int64_t n, int64_t k,
                                 double *arena, double *W);

/* Size query of the CusumArena layout. */
CRV_API crv_arena_size_t crv_cusum_arena_size(int64_t n, int64_t k);
/* max_r |W_r| / (s + 2r/s), s = sqrt(n - k). Arena: CusumArena. *out = NaN on any non-zero status. */
CRV_API int32_t crv_cusum_stat(const double *y, const double *X, int64_t n, int64_t k,
                               double *arena, double *out);

/* Size query of the CusumsqArena layout. */
CRV_API crv_arena_size_t crv_cusumsq_arena_size(int64_t n, int64_t k);
/* max_r |s_r / S - (r + 1)/m| / sqrt(2) with s_r the running sums of w_j^2,
 * S = s_{m-1}, m = n - k. *m is written first (n - k, or 0 when k >= n).
 * Arena: CusumsqArena. *out = NaN on any non-zero status. */
CRV_API int32_t crv_cusumsq_stat(const double *y, const double *X, int64_t n, int64_t k,
                                 int64_t *m, double *arena, double *out);

/* Probability that a standard Brownian motion on [0, 1] leaves the band
 * +-x (1 + 2t): 2 [(1 - Phi(3x)) + exp(-4x^2) Phi(x)], capped at 1 (NaN -> 1). */
CRV_API double crv_cusum_sf(double x);
/* out[i] = crv_cusum_sf(x[i]). */
CRV_API void crv_cusum_sf_into(const double *x, int64_t count, double *out);

#endif
