/* State-space filters.
 *
 * Linear Kalman filter for x(t+1) = A x(t) + B e(t+1), e ~ N(0, S), and
 * y(t) = Z x(t) + d + u(t), u ~ N(0, H): kf_hot_loop runs the whole sample on
 * a caller arena of kf_arena_size(n, m, k) doubles; the kf_* step functions
 * expose the arithmetic of one period. Nothing here allocates or validates. */
#ifndef CORVANE_FILTERS_H
#define CORVANE_FILTERS_H

#include "crv_api.h"

#define KF_CHOL_FAILED (-1102)

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

/* (n(k + 6n + 2) + m(4n + 2(m + k) + 7), 0). */
CRV_API crv_arena_size_t kf_arena_size(int64_t n, int64_t m, int64_t k);

/* Filters all T periods. Arena carve order (doubles): x_pred n, x_filt n,
 * y_pred m, y_filt m, v m, w m, u m, gain scratch m, m; P_pred n^2, P_filt n^2,
 * KZ n^2, I-KZ n^2, product scratch n^2, Q n^2, F m^2, L m^2, PZ^T nm, K nm,
 * KH nm, ZP mn, BS nk, M km, B^T Z^T km. After success the arena's first
 * blocks hold the prediction beyond the sample. Returns 0, or -1102 when
 * F + jitter I is not positive definite in some period t: loglik then holds
 * the sum over periods before t and rows t onward are untouched. */
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

#endif
