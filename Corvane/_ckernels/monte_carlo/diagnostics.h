/* Residual diagnostics: Breusch-Godfrey, Breusch-Pagan, the autocorrelation
 * function, Ljung-Box and Jarque-Bera, with the tabulated finite-sample
 * Jarque-Bera p-values and critical values.
 *
 * Each statistic writes one double (never a p-value) and returns a 32-bit
 * status: 0, or one of the CRV_STAT_* codes of status.def (1 and -1001 to
 * -1007, shared with stability.h and hac.h); each kernel lists its own.
 * Arrays are row-major and contiguous. Arenas are double regions; each
 * *_arena_size function is the size query of the layout (stats_layout.hpp)
 * its kernel carves. */
#ifndef CORVANE_DIAGNOSTICS_H
#define CORVANE_DIAGNOSTICS_H

#include "crv_api.h"
#include "status.h"

#define CRV_JB_N_COUNT 15
#define CRV_JB_P_COUNT 23

/* The read-only tables of the statistics kernels, by name:
 *   "_JB_N_GRID"     15 Jarque-Bera sample sizes, ascending;
 *   "_JB_PVAL_GRID"  23 upper-tail probabilities, ascending;
 *   "_JB_CV"         23 x 15 critical values, row = probability, column =
 *                    sample size: entry (p, N) is v with P(JB > v) = p; every
 *                    column decreases down the rows;
 *   "_KERNEL_SPECS"  4 x 2, the (a, q) constants of the AR(1) plug-in
 *                    bandwidth per kernel code (hac.h).
 * Returns the row-major data and writes its shape to rows and cols (each may
 * be null); an unknown name returns null with shape 0 x 0. */
CRV_API const double *crv_stat_table(const char *name, int64_t *rows, int64_t *cols);

/* Size query of the BgArena layout. */
CRV_API crv_arena_size_t crv_bg_arena_size(int64_t n, int64_t k, int64_t p);
/* Breusch-Godfrey LM statistic n (1 - SSR/S) of e on Z = [1, X, e lagged
 * 1..p] with missing lags zero-filled; S = sum e^2 (uncentred R^2), 0 when
 * S = 0. Arena: BgArena. Returns 0; 1 (normal matrix not positive definite, *out unwritten);
 * -1005 with *out = NaN when n <= p; -1003 / -1004 with *out = NaN for a
 * negative k / p. */
CRV_API int32_t crv_bg_stat(const double *e, const double *X, int64_t n, int64_t k, int64_t p,
                            double *arena, double *out);

/* Size query of the BpArena layout. */
CRV_API crv_arena_size_t crv_bp_arena_size(int64_t n, int64_t m);
/* Auxiliary regression of w = e^2 / (sum e^2 / n) on Z (the caller supplies
 * the constant column); writes its SSR and centred TSS. Arena: BpArena.
 * Returns 0; 1 (singular ZᵀZ); -1005 for n = 0; -1003 for n < 0 or a zero /
 * non-finite variance. */
CRV_API int32_t crv_bp_aux(const double *e, const double *Z, int64_t n, int64_t m,
                           double *arena, double *ssr, double *tss);
/* Breusch-Pagan statistic: n R^2 (studentized != 0; R^2 clipped to [0, 1],
 * 0 when TSS <= 0) or max(0, (TSS - SSR) / 2). *out = NaN on any non-zero
 * status of crv_bp_aux, which is returned. */
CRV_API int32_t crv_bp_stat(const double *e, const double *Z, int64_t n, int64_t m,
                            int64_t studentized, double *arena, double *out);

/* Centred series d = x - mean(x) and autocorrelations acf[0..h] (acf[j] = 0
 * for j >= n). Returns 0; -1003 with acf = NaN when the centred sum of
 * squares is not a finite positive number (constant series, n <= 0);
 * -1004 for h < 0 (nothing written). */
CRV_API int32_t crv_acorr(const double *x, int64_t n, int64_t h, double *d, double *acf);

/* Size query of the LbArena layout: room for crv_lb_stat's d and acf. */
CRV_API crv_arena_size_t crv_lb_arena_size(int64_t n, int64_t h);
/* Ljung-Box Q = (n + 2) n sum_{j=1..h} r_j^2 / (n - j), h clipped to n - 1.
 * d (n) and acf (h + 1 after clipping) are caller scratch. *out = NaN and
 * -1005 for n < 2, -1004 for h <= 0, -1003 for a degenerate series. */
CRV_API int32_t crv_lb_stat(const double *x, int64_t n, int64_t h, double *d, double *acf,
                            double *out);

/* Jarque-Bera n (K^2/24 + S^2/6) from the biased sample moments. *out = NaN
 * and -1005 for n = 0, -1003 for n < 0 or a zero / non-finite variance;
 * -1005 with the statistic written when 0 < n < 10. */
CRV_API int32_t crv_jb_stat(const double *x, int64_t n, double *out);

/* Tabulated upper-tail probability of stat for sample size n: linear in n
 * between table columns (clamped to 10 ... 10000), then linear in stat;
 * 0.0001 above and 0.9999 below the column. NaN -> NaN, <= 0 -> 1, +inf -> 0. */
CRV_API double crv_jb_pval_interp(int64_t n, double stat);
/* Tabulated critical value for probability p: bilinear in (n, p), clamped to
 * the grids. NaN -> NaN, p <= 0 -> +inf, p >= 1 -> 0. */
CRV_API double crv_jb_isf_interp(int64_t n, double p);
/* out[i] = crv_jb_pval_interp(n, values[i]) / crv_jb_isf_interp(n, values[i]). */
CRV_API void crv_jb_pval_interp_into(int64_t n, const double *values, int64_t count,
                                     double *out);
CRV_API void crv_jb_isf_interp_into(int64_t n, const double *values, int64_t count,
                                    double *out);
/* Brackets x in a sorted array: i = first index with values[i] >= x
 * (descending: values[i] <= x); i = 0 -> lo = hi = 0; i = count -> lo = hi =
 * count - 1; else hi = i and lo = i on an exact match, i - 1 otherwise.
 * count <= 0 -> lo = hi = 0. */
CRV_API void crv_jb_find_hilo_ascending(const double *values, int64_t count, int64_t *lo,
                                        int64_t *hi, double x);
CRV_API void crv_jb_find_hilo_descending(const double *values, int64_t count, int64_t *lo,
                                         int64_t *hi, double x);

#endif
