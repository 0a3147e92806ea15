/* State-space filters.
 *
 * Linear Kalman filter for x(t+1) = A x(t) + B e(t+1), e ~ N(0, S), and
 * y(t) = Z x(t) + d + u(t), u ~ N(0, H): kf_hot_loop runs the whole sample on
 * a caller arena of kf_arena_size(n, m, k) doubles; the kf_* step functions
 * expose the arithmetic of one period. kf_filter_missing and kf_smoother take
 * data with missing entries; crv_dlyap gives the stationary covariance.
 * Nothing here allocates or validates. */
#ifndef CORVANE_FILTERS_H
#define CORVANE_FILTERS_H

#include "crv_api.h"
#include "status.h"

typedef struct kf_inputs {
    int64_t n_states;          /* n */
    int64_t n_obs;             /* m */
    int64_t n_shocks;          /* k */
    int64_t n_periods;         /* T */
    const double *transition;  /* A, n x n */
    const double *shock_loading; /* B, n x k */
    const double *design;      /* Z, m x n */
    const double *obs_intercept; /* d, m */
    const double *shock_cov;   /* S, k x k */
    const double *obs_cov;     /* H, m x m */
    const double *data;        /* T x m, row t is y(t) */
    const double *x0;          /* predicted state for period 0 */
    const double *P0;          /* its covariance */
    int32_t symmetrize;        /* average P0, F, P_filt, P_pred with their transposes */
    double jitter;             /* added to diag(F) inside its factorisation when > 0 */
    int32_t want_shocks;       /* shock projections (with store_paths only) */
    int32_t store_paths;       /* write per-period rows; else loglik only */
} kf_inputs;

typedef struct kf_outputs {
    double *x_pred;    /* T x n */
    double *x_filt;    /* T x n */
    double *P_pred;    /* T x n x n */
    double *P_filt;    /* T x n x n */
    double *y_pred;    /* T x m */
    double *y_filt;    /* T x m */
    double *innov;     /* T x m */
    double *std_innov; /* T x m: L^{-1} v */
    double *innov_cov; /* T x m x m: F without jitter */
    double *shocks;    /* T x k: S B^T Z^T (F + jitter I)^{-1} v */
    double *loglik;    /* 1 */
} kf_outputs;

/* Size query of the linear filter's arena: (doubles, 0) of the KalmanArena
 * layout (filters_layout.hpp). */
CRV_API crv_arena_size_t kf_arena_size(int64_t n, int64_t m, int64_t k);

/* Filters all T periods on the KalmanArena layout of the arena; after success
 * its x_pred and P_pred blocks hold the prediction beyond the sample. Returns
 * 0, or -1102 when F + jitter I is not positive definite in some period t:
 * loglik then holds the sum over periods before t and rows t onward are
 * untouched. */
CRV_API int32_t kf_hot_loop(const kf_inputs *in, double *arena, const kf_outputs *out);

/* out = row t of Y (T x m) minus yhat. */
CRV_API void kf_row_minus_vec(const double *Y, int64_t t, const double *yhat, double *out,
                              int64_t m);
/* tmp = A P; P_out = tmp A^T + Q. */
CRV_API void kf_predict_cov(const double *A, const double *P, const double *Q, double *tmp,
                            double *P_out, int64_t n);
/* tmp = Z P; F = tmp Z^T + H. */
CRV_API void kf_measurement_cov(const double *Z, const double *P, const double *H, double *tmp,
                                double *F, int64_t n, int64_t m);
/* PZt = P Z^T. */
CRV_API void kf_pc_t(const double *P, const double *Z, double *PZt, int64_t n, int64_t m);
/* Row i of K = row i of G times (L L^T)^{-1}, via y and x scratch. */
CRV_API void kf_chol_solve_row(const double *L, const double *G, int64_t i, double *y, double *x,
                               double *K, int64_t m);
/* K = PZt (L L^T)^{-1}, row by row. */
CRV_API void kf_gain_from_pc_t(const double *L, const double *PZt, double *y, double *x,
                               double *K, int64_t n, int64_t m);
/* x_filt = x_pred + K v. */
CRV_API void kf_state_update(const double *x_pred, const double *K, const double *v,
                             double *x_filt, int64_t n, int64_t m);
/* out = I - M. */
CRV_API void kf_identity_minus(const double *M, double *out, int64_t n);
/* P_out = (I - K Z) P (I - K Z)^T + K H K^T (Joseph form); KZ, IKZ, tmp, KH scratch. */
CRV_API void kf_joseph_cov(const double *K, const double *Z, const double *P, const double *H,
                           double *KZ, double *IKZ, double *tmp, double *KH, double *P_out,
                           int64_t n, int64_t m);
/* tmp = B S; Q = tmp B^T, symmetrised. */
CRV_API void kf_build_bqbt(const double *B, const double *S, double *tmp, double *Q, int64_t n,
                           int64_t k);
/* G = B^T Z^T; M = S G. Nothing when k <= 0 or m <= 0. */
CRV_API void kf_build_shock_projection(const double *B, const double *Z, const double *S,
                                       double *G, double *M, int64_t n, int64_t k, int64_t m);

CRV_LAYOUT_CHECK(sizeof(kf_inputs) == 128, "kf_inputs layout");
CRV_LAYOUT_CHECK(offsetof(kf_inputs, P0) == 96, "kf_inputs layout");
CRV_LAYOUT_CHECK(offsetof(kf_inputs, symmetrize) == 104, "kf_inputs layout");
CRV_LAYOUT_CHECK(offsetof(kf_inputs, jitter) == 112, "kf_inputs layout");
CRV_LAYOUT_CHECK(offsetof(kf_inputs, want_shocks) == 120, "kf_inputs layout");
CRV_LAYOUT_CHECK(offsetof(kf_inputs, store_paths) == 124, "kf_inputs layout");
CRV_LAYOUT_CHECK(sizeof(kf_outputs) == 88, "kf_outputs layout");

/* ---- missing observations and the smoother ----------------------------- */

/* The linear filter over data in which NaN marks a missing observation: a
 * period may have all, some or none of its m entries observed. Each period
 * updates on its observed entries o only (Z_o, d_o, H_oo); with none, x_filt
 * = x_pred and P_filt = P_pred. On a period with every entry observed the
 * arithmetic is kf_hot_loop's. Reads the kf_inputs record as kf_hot_loop
 * does and writes the same kf_outputs fields, with:
 *   y_pred, y_filt   every entry (Z x + d);
 *   innov, std_innov NaN at the missing entries;
 *   innov_cov        Z P_pred Z^T + H over all m entries (symmetrised when
 *                    asked): the observed block is the F of the update;
 *   shocks           S B^T Z_o^T u_o;
 *   loglik           the sum over periods of -1/2 (log|F_o + jitter I| +
 *                    m_o log 2pi + v_o^T u_o), m_o the period's observed count
 *                    (0 for a period with none observed).
 * Arena: the MissingArena layout; after success its x_pred and P_pred blocks
 * hold the prediction beyond the sample. Returns 0, or -1102 as kf_hot_loop
 * (F_o + jitter I not positive definite in period t: loglik = the sum over
 * periods before t, rows t onward untouched). */
CRV_API crv_arena_size_t kf_filter_missing_arena_size(int64_t n, int64_t m, int64_t k);
CRV_API int32_t kf_filter_missing(const kf_inputs *in, double *arena, const kf_outputs *out);

/* Smoothed moments of x(t) = A x(t-1) + B e(t), y(t) = Z x(t) + d + u(t)
 * given every observed entry of the sample. The shock of period t is e(t),
 * the one entering x(t); for t = 0 it treats x0, P0 as the prediction of
 * x(0) from x(-1), so it is meaningful when P0 = A P A^T + B S B^T for the
 * covariance P of x(-1) (as for the stationary P0). Null covariance fields
 * are not computed. */
typedef struct kf_smoother_outputs {
    double *x_smooth;     /* T x n: E[x(t) | data] */
    double *P_smooth;     /* T x n x n: Var[x(t) | data], or null */
    double *shocks;       /* T x k: E[e(t) | data] */
    double *shocks_cov;   /* T x k x k: Var[e(t) | data], or null */
    double *meas_err;     /* T x m: E[u(t) | data] */
    double *meas_err_cov; /* T x m x m: Var[u(t) | data], or null */
} kf_smoother_outputs;

/* Size query of the smoother's arena: (doubles, 0) of the SmootherArena
 * layout, which holds the gains and inverse innovation covariances of all T
 * periods. */
CRV_API crv_arena_size_t kf_smoother_arena_size(int64_t n, int64_t m, int64_t k, int64_t T);

/* Runs kf_filter_missing over the sample, writing its paths into filt as
 * with store_paths set (store_paths is not read; fields 1 to 9 of filt must
 * be valid, shocks as want_shocks asks), then the disturbance smoother
 * backwards (Durbin and Koopman): with r and N the information of periods
 * after t, v_o, F_o and the filtered gain K = P_pred Z_o^T F_o^{-1} of t,
 *   q = F_o^{-1} v_o - K^T A^T r,      D = F_o^{-1} + K^T A^T N A K,
 *   r <- Z_o^T q + A^T r,              N <- Z_o^T F_o^{-1} Z_o + L^T A^T N A L,
 *   L = I - K Z_o,
 *   x_smooth = x_pred + P_pred r,      P_smooth = P_pred - P_pred N P_pred,
 *   shocks = S B^T r,                  shocks_cov = S - S B^T N B S,
 *   meas_err = H_{.o} q,               meas_err_cov = H - H_{.o} D H_{o.},
 * every smoothed covariance symmetrised. A missing entry's measurement error
 * is thus its regression on the observed errors of the period (0 with a
 * diagonal H). Arena: the SmootherArena layout. Returns 0, or -1102 when the
 * filter fails in some period (its rows before that period written, nothing
 * smoothed). */
CRV_API int32_t kf_smoother(const kf_inputs *in, double *arena, const kf_outputs *filt,
                            const kf_smoother_outputs *out);

CRV_LAYOUT_CHECK(sizeof(kf_smoother_outputs) == 48, "kf_smoother_outputs layout");
CRV_LAYOUT_CHECK(offsetof(kf_smoother_outputs, meas_err_cov) == 40, "kf_smoother_outputs layout");

/* ---- stationary covariance --------------------------------------------- */

/* dgees select function: pointers to the real and imaginary parts. */
typedef int32_t (*crv_dselect2_fn)(const double *wr, const double *wi);

/* LAPACK reference interface of dgees (Fortran argument order, by address). */
typedef void (*crv_dgees_fn)(const char *jobvs, const char *sort, crv_dselect2_fn select,
                             const int32_t *n, double *a, const int32_t *lda, int32_t *sdim,
                             double *wr, double *wi, double *vs, const int32_t *ldvs,
                             double *work, const int32_t *lwork, int32_t *bwork, int32_t *info);

/* The LAPACK routines of the Lyapunov solver. */
typedef struct crv_dlyap_lapack {
    crv_dgees_fn dgees;
} crv_dlyap_lapack;

/* Size query of crv_dlyap's arena: the DlyapArena layout. */
CRV_API crv_arena_size_t crv_dlyap_arena_size(int64_t n);

/* X = A X A^T + Q for a stable A (n x n) and a symmetric Q: the stationary
 * covariance of x(t) = A x(t-1) + w(t), Var w = Q. Real Schur form A = U T
 * U^T (dgees), the Stein equation of T solved block by block (1 x 1 and 2 x 2
 * diagonal blocks) and X = U Y U^T, written exactly symmetric. *radius = the
 * largest modulus of A's eigenvalues. A root of modulus at least 1 - tol,
 * tol = max(root_tol, 2^-26), has no stationary covariance. Arena: the
 * DlyapArena layout. Returns 0 (n < 1: X untouched, radius 0); -1103 for a
 * unit or explosive root (X not written); -1104 when A or Q has a value that
 * is not finite, or dgees is null or reports a nonzero info. */
CRV_API int32_t crv_dlyap(const crv_dlyap_lapack *lapack, const double *A, const double *Q,
                          double *X, double *radius, int64_t n, double root_tol, double *dwork,
                          int64_t *iwork);

CRV_LAYOUT_CHECK(sizeof(crv_dlyap_lapack) == 8, "crv_dlyap_lapack layout");

/* ---- extended and unscented filters ------------------------------------ */

/* Observation callback: writes h(x) (or, as a Jacobian callback, the row-major
 * dh/dx) into out. params is the record's parameter block, passed unchanged.
 * Callbacks must be re-entrant when filters run concurrently. */
typedef void (*crv_obs_fn)(const double *x, const double *params, double *out);

/* Extended filter: the linear filter's state equation with y(t) = h(x(t)) +
 * u(t), h linearised at each predicted state. */
typedef struct ekf_inputs {
    crv_obs_fn obs_fn;           /* h: x (n) -> out (m) */
    crv_obs_fn obs_jac;          /* dh/dx: x (n) -> out (m x n) */
    const double *transition;    /* A, n x n */
    const double *shock_loading; /* B, n x k */
    const double *params;        /* handed to both callbacks */
    const double *shock_cov;     /* S, k x k */
    const double *obs_cov;       /* H, m x m */
    const double *data;          /* T x m */
    const double *x0;            /* predicted state for period 0 */
    const double *P0;            /* its covariance */
    int64_t n_periods;           /* T */
    int64_t n_states;            /* n */
    int64_t n_obs;               /* m */
    int64_t n_shocks;            /* k */
    int64_t n_params;            /* length of params (not read) */
    double jitter;               /* added to diag(F) inside its factorisation when > 0 */
    int32_t symmetrize;          /* average P0, F, P_filt, P_pred with their transposes */
    int32_t fitted_obs;          /* with store_paths: y_filt = h(x_filt), a second call */
    int32_t want_shocks;         /* with store_paths: shock projections */
    int32_t store_paths;         /* write per-period rows; else loglik only */
} ekf_inputs;

/* Size query of the extended filter's arena: (doubles, 0) of the
 * ExtendedArena layout (filters_layout.hpp). */
CRV_API crv_arena_size_t ekf_arena_size(int64_t n, int64_t m, int64_t k);

/* Filters all T periods into a kf_outputs record. Each period calls obs_fn and
 * obs_jac at the predicted state, rebuilds the shock projection M = S B^T Z^T
 * for that period's Jacobian Z, updates the covariance with kf_joseph_cov and
 * accumulates ll = fma(log|F| + m log 2pi + v'F^{-1}v, -1/2, ll), on the
 * ExtendedArena layout of the arena. Returns 0 (T < 1: loglik = 0, no
 * callback called); -1101 when T >= 1 and a callback is null (nothing
 * written); -1102 when F + jitter I is not positive definite in period t
 * (loglik = the sum over periods before t; rows t onward untouched). */
CRV_API int32_t ekf_hot_loop(const ekf_inputs *in, double *arena, const kf_outputs *out);

/* Unscented filter over the pruned second-order state (x^f, x^s), 2 nx values,
 * with the shocks of the period as extra sigma-point coordinates: L = 2 nx + m
 * and 2L + 1 sigma points. Observables come from obs_fn applied to the full
 * variable vector (states first, n = nx + ny values, plus ss when given). */
typedef struct ukf_inputs {
    crv_obs_fn obs_fn;     /* v (n) -> y (k) */
    const double *hx;      /* nx x nx */
    const double *gx;      /* ny x nx */
    const double *impact;  /* n x m, state rows first */
    const double *h_xx;    /* nx x nx^2 */
    const double *g_xx;    /* ny x nx^2 */
    const double *h_xe;    /* nx x nx*m */
    const double *g_xe;    /* ny x nx*m */
    const double *h_ee;    /* nx x m^2 */
    const double *g_ee;    /* ny x m^2 */
    const double *h_ss;    /* nx */
    const double *g_ss;    /* ny */
    const double *ss;      /* n or null: added to every variable vector */
    const double *params;  /* handed to obs_fn */
    const double *shock_cov; /* m x m */
    const double *obs_cov; /* H, k x k */
    const double *data;    /* T x k */
    const double *x0;      /* filtered (x^f, x^s) before period 0 */
    const double *P0;      /* its covariance, 2nx x 2nx */
    int64_t n_periods;     /* T */
    int64_t nx;
    int64_t ny;
    int64_t n_shocks;      /* m */
    int64_t n_obs;         /* k */
    int64_t n_params;      /* length of params (not read) */
    double alpha;          /* sigma-point spread */
    double beta;           /* prior-distribution parameter */
    double kappa;          /* secondary scaling */
    double jitter;         /* diagonal jitter of every Cholesky factorisation */
    int32_t symmetrize;    /* symmetrise P_pred, F and P_filt when formed */
    int32_t store_paths;   /* write per-period rows; else loglik only */
} ukf_inputs;

typedef struct ukf_outputs {
    double *xf_pred;   /* T x nx */
    double *xs_pred;   /* T x nx */
    double *xf_filt;   /* T x nx */
    double *xs_filt;   /* T x nx */
    double *v_pred;    /* T x n: weighted sigma-point mean of the variables */
    double *v_filt;    /* T x n */
    double *P_pred;    /* T x (2nx)^2 */
    double *P_filt;    /* T x (2nx)^2 */
    double *y_pred;    /* T x k */
    double *y_filt;    /* T x k: obs_fn(v_filt) */
    double *innov;     /* T x k */
    double *std_innov; /* T x k: L^{-1} v */
    double *innov_cov; /* T x k^2: F */
    double *loglik;    /* 1 */
} ukf_outputs;

/* Size query of the unscented filter's arena: (doubles, 0) of the
 * UnscentedArena layout (filters_layout.hpp); m shocks, k observables. */
CRV_API crv_arena_size_t ukf_arena_size(int64_t nx, int64_t ny, int64_t m, int64_t k);

/* Filters all T periods; x0, P0 are the filtered state before period 0, so
 * every period starts with a prediction. c = alpha^2 (L + kappa); weights
 * Wm0 = (c - L)/c, Wc0 = (1 - alpha^2) + beta + Wm0, all others 1/(2c). Every
 * factorisation (shock covariance once, P and F each period) is retried once
 * with jitter + 1e-10 max(0, max diagonal) when the first attempt fails.
 * P_filt = P_pred - K C^T with C the state-observation cross-covariance.
 * Arena: the UnscentedArena layout. Returns 0 (T < 1: loglik = 0); -1101 for
 * a null obs_fn, nx < 1, k < 1, ny < 0 or m < 0 (nothing written); -1102 when
 * c is not finite and positive or the shock covariance cannot be factorised
 * (loglik not written), or when P or F cannot be factorised in period t
 * (loglik = the sum over periods before t; rows t onward untouched). */
CRV_API int32_t ukf_hot_loop(const ukf_inputs *in, double *arena, const ukf_outputs *out);

CRV_LAYOUT_CHECK(sizeof(ekf_inputs) == 144, "ekf_inputs layout");
CRV_LAYOUT_CHECK(offsetof(ekf_inputs, n_periods) == 80, "ekf_inputs layout");
CRV_LAYOUT_CHECK(offsetof(ekf_inputs, jitter) == 120, "ekf_inputs layout");
CRV_LAYOUT_CHECK(offsetof(ekf_inputs, store_paths) == 140, "ekf_inputs layout");
CRV_LAYOUT_CHECK(sizeof(ukf_inputs) == 240, "ukf_inputs layout");
CRV_LAYOUT_CHECK(offsetof(ukf_inputs, n_periods) == 152, "ukf_inputs layout");
CRV_LAYOUT_CHECK(offsetof(ukf_inputs, alpha) == 200, "ukf_inputs layout");
CRV_LAYOUT_CHECK(offsetof(ukf_inputs, symmetrize) == 232, "ukf_inputs layout");
CRV_LAYOUT_CHECK(sizeof(ukf_outputs) == 112, "ukf_outputs layout");

#endif
