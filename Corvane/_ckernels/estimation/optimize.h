/* Optimisers: bounded Nelder-Mead simplex search and L-BFGS-B with
 * forward-difference gradients, plus the reverse-communication L-BFGS-B
 * routines and the BLAS/LAPACK shims they use.
 *
 * Both drivers minimise fn(x, context) over n variables, overwrite the
 * caller's start vector with the result and fill a crv_opt_result. Unlike the
 * other kernels they allocate their workspace from the heap (the layouts of
 * optimize_layout.hpp) and free it before returning. The objective may return +inf or NaN for an infeasible
 * point.
 *
 * Bound types (one int64 per variable): 0 none, 1 lower only, 2 both,
 * 3 upper only; lower[i] / upper[i] are read only when the type uses them.
 *
 * Status codes: CRV_OPT_ALLOC_FAILED and CRV_OPT_BAD_INPUT of status.def;
 * crv_lbfgsb otherwise returns its final task code (4 to 8). */
#ifndef CORVANE_OPTIMIZE_H
#define CORVANE_OPTIMIZE_H

#include "crv_api.h"
#include "status.h"

/* Objective: value at x (n doubles); context is the optimiser's pointer. */
typedef double (*crv_opt_fn)(const double *x, void *context);

typedef struct crv_opt_result {
    int64_t status;      /* the optimiser's return value */
    int64_t nfev;        /* objective evaluations */
    int64_t nit;         /* iterations */
    double fun;          /* objective at the returned point (NaN on allocation failure) */
    int32_t success;     /* 1 when the run converged */
    const char *message; /* static text */
} crv_opt_result;

typedef struct crv_nm_options {
    int64_t maxiter; /* <= 0: 200 n */
    int64_t maxfev;  /* <= 0: 200 n */
    double xatol;
    double fatol;
} crv_nm_options;

typedef struct crv_lbfgsb_options {
    int64_t m;       /* stored correction pairs */
    int64_t maxiter; /* <= 0: unlimited */
    int64_t maxfun;  /* <= 0: unlimited */
    int64_t maxls;   /* evaluations allowed per line search */
    double factr;    /* stop when the relative reduction of f is <= factr * 2^-52 */
    double pgtol;    /* stop when max |projected gradient| <= pgtol */
    double fd_step;  /* forward-difference step; <= 0: max(|x_j|, 1) * 2^-26 */
} crv_lbfgsb_options;

CRV_LAYOUT_CHECK(sizeof(crv_opt_result) == 48 && offsetof(crv_opt_result, fun) == 24 &&
                     offsetof(crv_opt_result, success) == 32 &&
                     offsetof(crv_opt_result, message) == 40,
                 "crv_opt_result layout");
CRV_LAYOUT_CHECK(sizeof(crv_nm_options) == 32 && offsetof(crv_nm_options, fatol) == 24,
                 "crv_nm_options layout");
CRV_LAYOUT_CHECK(sizeof(crv_lbfgsb_options) == 56 && offsetof(crv_lbfgsb_options, factr) == 32 &&
                     offsetof(crv_lbfgsb_options, fd_step) == 48,
                 "crv_lbfgsb_options layout");

/* ---- drivers ------------------------------------------------------------ */

/* Nelder-Mead simplex search (reflection 1, expansion 2, contraction 0.5,
 * shrink 0.5), bounded by clipping when bound_types is not null (a null
 * lower or upper array leaves that side unbounded). x holds the start on
 * entry and the best vertex on return. A null options pointer means
 * maxiter = maxfev = 200 n and xatol = fatol = 1e-4. Returns 0 (converged),
 * 1 (evaluation limit), 2 (iteration limit), -1702 (n < 1, or a null
 * objective or x) or -1701 (allocation failed); result may be null. */
CRV_API int64_t crv_neldermead(crv_opt_fn fn, void *context, int64_t n, double *x,
                               const double *lower, const double *upper,
                               const int64_t *bound_types, const crv_nm_options *options,
                               crv_opt_result *result);

/* L-BFGS-B over setulb with forward-difference gradients; lower, upper and
 * bound_types may each be null (no bounds). A non-finite objective value is
 * passed on with a zero gradient. Returns the final task code: 4 converged,
 * 5 iteration (nit >= maxiter) or evaluation (nfev > maxfun) limit,
 * 6 rounding errors prevent progress, 7 invalid input (including a null
 * objective, x or options, and a start whose objective is not finite),
 * 8 line search failed; or -1701 when the workspace cannot be allocated. */
CRV_API int64_t crv_lbfgsb(crv_opt_fn fn, void *context, int64_t n, double *x,
                           const double *lower, const double *upper, const int64_t *bound_types,
                           const crv_lbfgsb_options *options, crv_opt_result *result);

/* ---- L-BFGS-B (reverse communication) ------------------------------------
 *
 * task = (code, detail). Codes: 0 start, 1 new iterate, 3 evaluate f and g at
 * x, 4 convergence, 5 stop requested by the caller, 6 warning, 7 error,
 * 8 abnormal termination of the line search. Details set here:
 *   601 projected gradient <= pgtol        602 relative reduction <= factr*eps
 *   603 rounding errors prevent progress   604 line search failed
 *   701 n < 1    702 m < 1    703 factr < 0    704 pgtol < 0    705 maxls < 1
 *   706 bound type outside 0..3            707 a used bound is NaN, or l > u
 *   708 objective not finite at the starting point
 * ln_task is the line search's (code, detail): 3 evaluate, 4 converged,
 * 6 warning (601 rounding, 602 interval too small, 603 at stpmax,
 * 604 at stpmin), 7 error.
 *
 * Storage (column-major, leading dimension m, pairs in order oldest first):
 * SY(i, j) = s_i'y_j, SS(i, j) = s_i's_j; WT holds the upper Cholesky factor
 * U of T = theta SS + L D^-1 L' (L the strict lower part of SY, D its
 * diagonal). The correction vectors are the rows of WS and WY (m x n,
 * circular, slot head holds the oldest). wa and iwa are laid out by the
 * SetulbWork layout (optimize_layout.hpp). */

/* One step of L-BFGS-B: returns with task[0] = 3 to request f and g at x,
 * 1 after each new iterate, or a terminal code. wa holds 2mn + 5n + 11m^2 +
 * 8m doubles, iwa 3n int64; lsave[4], isave[44], dsave[29] carry the state. */
CRV_API void setulb(int64_t n, int64_t m, double *x, const double *l, const double *u,
                    const int64_t *nbd, double *f, double *g, double factr, double pgtol,
                    double *wa, int64_t *iwa, int64_t *task, int64_t *lsave, int64_t *isave,
                    double *dsave, int64_t maxls, int64_t *ln_task);

/* Adds the pair (s, y) to the limited memory: stores them in slot itail,
 * drops the oldest pair when col = m, updates SY and SS and sets
 * theta = rr / dr (rr = y'y, dr = s'y). */
CRV_API void matupd(int64_t n, int64_t m, double *ws, double *wy, double *sy, double *ss,
                    const double *s, const double *y, int64_t *itail, int64_t *iupdat,
                    int64_t *col, int64_t *head, double *theta, double rr, double dr);

/* WT = upper Cholesky factor of T = theta SS + L D^-1 L' (col x col).
 * info = 0, or -1 when T is not numerically positive definite. */
CRV_API void formt(int64_t m, double *wt, const double *sy, const double *ss, int64_t col,
                   double theta, int64_t *info);

/* p = M v for the 2col middle matrix M = [[-D, L'], [L, theta SS]]^-1 of the
 * compact form B = theta I - W M W', W = [Y, theta S]. info = 0, or nonzero
 * when a triangular solve meets a zero pivot. Nothing is done when col = 0. */
CRV_API void bmv(int64_t m, const double *sy, const double *wt, int64_t col, const double *v,
                 double *p, int64_t *info);

/* Safeguarded step of the More-Thuente line search: updates the interval of
 * uncertainty [stx, sty] (with function values and derivatives) from the
 * trial (stp, fp, dp), sets brackt once a minimiser is bracketed, and writes
 * the next trial step into stp, kept within [stpmin, stpmax]. */
CRV_API void dcstep(double *stx, double *fx, double *dx, double *sty, double *fy, double *dy,
                    double *stp, double fp, double dp, int64_t *brackt, double stpmin,
                    double stpmax);

/* ---- BLAS / LAPACK shims -------------------------------------------------
 * Reference argument order, every argument by address, int64 integers,
 * single-byte characters compared case-insensitively, column-major matrices
 * (element (i, j) at i + j*lda). A negative increment walks the vector from
 * its far end, as the reference routines do. */

/* y = x. Nothing when n <= 0. */
CRV_API void crv_shim_dcopy(const int64_t *n, const double *x, const int64_t *incx, double *y,
                            const int64_t *incy);
/* y = a x + y. Nothing when n <= 0 or a = 0. */
CRV_API void crv_shim_daxpy(const int64_t *n, const double *a, const double *x,
                            const int64_t *incx, double *y, const int64_t *incy);
/* x = a x. Nothing when n <= 0 or incx <= 0. */
CRV_API void crv_shim_dscal(const int64_t *n, const double *a, double *x, const int64_t *incx);
/* x'y, fused in order; 0 when n <= 0. */
CRV_API double crv_shim_ddot(const int64_t *n, const double *x, const int64_t *incx,
                             const double *y, const int64_t *incy);
/* Euclidean norm by the scaled sum of squares; 0 when n <= 0 or incx = 0. */
CRV_API double crv_shim_dnrm2(const int64_t *n, const double *x, const int64_t *incx);
/* Unblocked Cholesky of the "U" (A = U'U) or "L" (A = L L') triangle, in
 * place. info = 0, k (1-based) at the first pivot that is not positive (the
 * pivot's value is left at A(k, k)), or -i for an invalid i-th argument. */
CRV_API void crv_shim_dpotrf(const char *uplo, const int64_t *n, double *A, const int64_t *lda,
                             int64_t *info);
/* Solves op(A) X = B in place for triangular A, op = "N" or "T"/"C"; diag "U"
 * means a unit diagonal. For a non-unit diagonal info = the 1-based index of
 * the first zero diagonal element and nothing is solved; -i for an invalid
 * i-th argument. */
CRV_API void crv_shim_dtrtrs(const char *uplo, const char *trans, const char *diag,
                             const int64_t *n, const int64_t *nrhs, const double *A,
                             const int64_t *lda, double *B, const int64_t *ldb, int64_t *info);

#endif
