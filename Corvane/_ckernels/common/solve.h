/* Model solution: steady state by Newton iteration, complex-step
 * linearisation, timing partition and matrix pencil, Klein's first-order
 * solution through an ordered complex QZ, and the second-order solution.
 *
 * A model is the residual callback F(x_lead, x_cur, x_lag, shocks, params)
 * evaluated on interleaved complex arrays (n, n, n, m, p values in, n
 * residuals out), plus a second callback of the same shape on bicomplex
 * arrays (four doubles a + b i1 + c i2 + d i1 i2 per value). LAPACK is reached
 * only through the record's pointers: every argument by address, 32-bit
 * integers, single-byte characters, no hidden string lengths.
 *
 * Status codes (status.def): -301/-302 post-processing, -401 QZ, -501..-511 solution
 * drivers, -601/-602 partition and static rotation, -701 residual path,
 * -801/-802 second-order systems, -901/-902 Newton. */
#ifndef CORVANE_SOLVE_H
#define CORVANE_SOLVE_H

#include "crv_api.h"
#include "status.h"

/* Model equations on interleaved complex (residual) or bicomplex (hessian)
 * arrays: x_lead, x_cur, x_lag (n), shocks (m), params (p), resid (out, n). */
typedef void (*crv_residual_fn)(const double *x_lead, const double *x_cur, const double *x_lag,
                                const double *shocks, const double *params, double *resid);

/* zgges selector: pointers to one complex alpha and one complex beta. */
typedef int32_t (*crv_zselect2_fn)(const double *alpha, const double *beta);

/* LAPACK reference interfaces (Fortran argument order, all by address). */
typedef void (*crv_zgges_fn)(const char *jobvsl, const char *jobvsr, const char *sort,
                             crv_zselect2_fn selctg, const int32_t *n, double *a,
                             const int32_t *lda, double *b, const int32_t *ldb, int32_t *sdim,
                             double *alpha, double *beta, double *vsl, const int32_t *ldvsl,
                             double *vsr, const int32_t *ldvsr, double *work,
                             const int32_t *lwork, double *rwork, int32_t *bwork, int32_t *info);
typedef void (*crv_dgeqrf_fn)(const int32_t *m, const int32_t *n, double *a, const int32_t *lda,
                              double *tau, double *work, const int32_t *lwork, int32_t *info);
typedef void (*crv_dormqr_fn)(const char *side, const char *trans, const int32_t *m,
                              const int32_t *n, const int32_t *k, const double *a,
                              const int32_t *lda, const double *tau, double *c,
                              const int32_t *ldc, double *work, const int32_t *lwork,
                              int32_t *info);

/* The model. Timing flags, one byte per variable: bit 1 = appears lagged,
 * bit 4 = appears led; 0 is invalid. The state variables (lagged ones) must
 * be the first nx variables. */
typedef struct crv_klein_model {
    crv_residual_fn residual;
    crv_zgges_fn zgges;
    crv_dgeqrf_fn dgeqrf;
    crv_dormqr_fn dormqr;
    const double *x_guess; /* n: Newton starting point */
    const double *params;  /* p */
    const uint8_t *flags;  /* n */
    int64_t n;
    int64_t nx;
    int64_t ny;
    int64_t m;
    int64_t p;
    crv_residual_fn hessian; /* same equations in bicomplex arithmetic */
    const double *sigma;     /* m x m shock covariance */
} crv_klein_model;

/* First-order solution; all arrays caller-allocated (N = crv_pencil_dim). */
typedef struct crv_klein_solution {
    double *ss;         /* n steady state */
    double *j_lead;     /* n x n  dF/dx(t+1) */
    double *j_cur;      /* n x n  -dF/dx(t) */
    double *j_lag;      /* n x n  -dF/dx(t-1) */
    double *j_shock;    /* n x m  -dF/de */
    double *qz_a;       /* complex N x N: lead side in, S out */
    double *qz_b;       /* complex N x N: current side in, T out */
    double *qz_z;       /* complex N x N: right Schur vectors */
    double *gx;         /* ny x nx */
    double *hx;         /* nx x nx */
    double *eig;        /* complex N, Schur order */
    int64_t bk;         /* 2 undetermined, -1 too few, 0 unique, 1 too many stable roots */
    double *transition; /* n x n: [[hx, 0], [gx, 0]] */
    double *impact;     /* n x m */
    int64_t *order;     /* n: variable indices grouped static, pred, mixed, fwd */
    int64_t n_static;
    int64_t n_pred;
    int64_t n_mixed;
    int64_t n_fwd;
} crv_klein_solution;

/* Second-order terms; pair (j, k) of an (a, b) product at column j*b + k.
 * y = first order + 1/2 g_xx (x@x) + g_xe (x@e) + 1/2 g_ee (e@e) + 1/2 g_ss. */
typedef struct crv_klein_second_order {
    double *hess; /* n x D x D, D = 3n + m, v = (x(t-1), x(t), x(t+1), e) */
    double *eta;  /* nx x m */
    double *g_xx; /* ny x nx^2 */
    double *h_xx; /* nx x nx^2 */
    double *g_xe; /* ny x nx*m */
    double *h_xe; /* nx x nx*m */
    double *g_ee; /* ny x m^2 */
    double *h_ee; /* nx x m^2 */
    double *g_ss; /* ny */
    double *h_ss; /* nx */
} crv_klein_second_order;

/* (N, n) returned by crv_pencil_dim. */
typedef struct crv_pencil_dim_t {
    int64_t N;
    int64_t n;
} crv_pencil_dim_t;

CRV_LAYOUT_CHECK(sizeof(crv_klein_model) == 112, "crv_klein_model layout");
CRV_LAYOUT_CHECK(offsetof(crv_klein_model, flags) == 48, "crv_klein_model layout");
CRV_LAYOUT_CHECK(offsetof(crv_klein_model, p) == 88, "crv_klein_model layout");
CRV_LAYOUT_CHECK(offsetof(crv_klein_model, sigma) == 104, "crv_klein_model layout");
CRV_LAYOUT_CHECK(sizeof(crv_klein_solution) == 152, "crv_klein_solution layout");
CRV_LAYOUT_CHECK(offsetof(crv_klein_solution, bk) == 88, "crv_klein_solution layout");
CRV_LAYOUT_CHECK(offsetof(crv_klein_solution, order) == 112, "crv_klein_solution layout");
CRV_LAYOUT_CHECK(offsetof(crv_klein_solution, n_fwd) == 144, "crv_klein_solution layout");
CRV_LAYOUT_CHECK(sizeof(crv_klein_second_order) == 80, "crv_klein_second_order layout");
CRV_LAYOUT_CHECK(offsetof(crv_klein_second_order, h_ss) == 72, "crv_klein_second_order layout");
CRV_LAYOUT_CHECK(sizeof(crv_pencil_dim_t) == 16, "crv_pencil_dim_t layout");

/* ---- steady state and residual path ------------------------------------ */

/* Arenas: every *_arena_size function below is the size query of one layout
 * of solve_layout.hpp, which its kernel carves. */

/* Size query of the NewtonArena layout. */
CRV_API crv_arena_size_t crv_newton_arena_size(int64_t n, int64_t p, int64_t m);
/* Newton iteration on x -> F(x, x, x, 0) from x_init, iterate in x_out. Stops
 * with 0 when max|F| < tol (before the step); *iter_out = Jacobians evaluated.
 * Arena: NewtonArena, which ends with klein_preproc's arena. Returns 0, -901
 * (singular Jacobian) or -902 (max_iter reached, or a non-finite residual). */
CRV_API int64_t crv_steady_state_newton(crv_residual_fn residual, const double *x_init,
                                        const double *params, int64_t n, int64_t p, int64_t m,
                                        int64_t max_iter, double *x_out, double tol,
                                        int64_t *iter_out, double *dwork, int64_t *iwork);
/* Residuals along a path: row t of out (T x neq) is Re F(X_lead_t, X_cur_t,
 * X_lag_t, E_t); rows at complex offsets t*s_x (t*s_e for E). Note the
 * argument order (X_cur first). Allocates one buffer; returns 0 or -701. */
CRV_API int64_t crv_residual_path(crv_residual_fn residual, const double *X_cur,
                                  const double *X_lead, const double *X_lag, const double *E,
                                  const double *params, int64_t T, int64_t s_x, int64_t s_e,
                                  int64_t neq, double *out);
/* Calls f(a, b, c, d) and returns its result. */
typedef int64_t (*crv_spike_fn)(int64_t a, int64_t b, int64_t c, int64_t d);
CRV_API int64_t spike_call(crv_spike_fn f, int64_t a, int64_t b, int64_t c, int64_t d);

/* ---- linearisation and pencil ------------------------------------------ */

/* Size query of the PreprocArena layout. */
CRV_API crv_arena_size_t klein_preproc_arena_size(int64_t n, int64_t p, int64_t m, int64_t neq);
/* Complex-step Jacobians at x (h = 1e-30), 3n + m evaluations:
 * J_lead = dF/dx(t+1), J_cur = -dF/dx(t), J_lag = -dF/dx(t-1), J_shock =
 * -dF/de, each neq rows. Arena: PreprocArena. */
CRV_API void klein_preproc(crv_residual_fn residual, const double *x, const double *params,
                           int64_t n, int64_t p, int64_t m, int64_t neq, double *J_lead,
                           double *J_cur, double *J_lag, double *J_shock, double *dwork);
/* Groups variables by category (0 static, 1 predetermined, 2 mixed, 3
 * forward), ascending within groups. Returns 0 or -601 (a zero flags byte;
 * outputs untouched). */
CRV_API int64_t crv_pencil_partition(const uint8_t *flags, int64_t n, int64_t *order,
                                     int64_t *n_static, int64_t *n_pred, int64_t *n_mixed,
                                     int64_t *n_fwd);
/* (N, n), N = n_pred + 2 n_mixed + n_fwd, without validation. */
CRV_API crv_pencil_dim_t crv_pencil_dim(const uint8_t *flags, int64_t n);
/* Size query of the RotateArena layout: k static columns, c the widest of
 * the matrices rotated. */
CRV_API crv_arena_size_t crv_pencil_rotate_arena_size(int64_t n, int64_t k, int64_t c);
/* mats[k] <- Q^T mats[k] (n x ncols[k] each) where Q R is the QR of the
 * static columns of Bmat. No-op when n_static < 1. Arena: RotateArena.
 * Returns 0 or -602 (LAPACK INFO). */
CRV_API int64_t crv_pencil_rotate_static(crv_dgeqrf_fn dgeqrf, crv_dormqr_fn dormqr,
                                         const double *Bmat, const int64_t *order, int64_t n,
                                         int64_t n_static, double *const *mats,
                                         const int64_t *ncols, int64_t nmats, double *dwork);
/* P_lead z(t+1) = P_cur z(t), z(t) = (pred+mixed at t-1, mixed+fwd at t), from
 * the dynamic rows n_static.. of the (rotated) Jacobians A = lead, B = cur,
 * C = lag, plus one auxiliary row per mixed variable. */
CRV_API void crv_pencil_assemble(const double *A, const double *B, const double *C,
                                 const int64_t *order, int64_t n, int64_t n_static, int64_t n_pred,
                                 int64_t n_mixed, int64_t n_fwd, double *P_cur, double *P_lead);
/* Steady state into sol->ss (Newton, 50 iterations, tol 1e-12), Jacobians
 * and partition into sol, on the arena of crv_klein_solve1 (Solve1Arena:
 * Newton runs in its stage area). Returns 0, -501, -502 or -508. */
CRV_API int64_t crv_klein_linearize(const crv_klein_model *model, crv_klein_solution *sol,
                                    double *dwork, int64_t *iwork);

/* ---- first-order solution ----------------------------------------------- */

/* 1 when |alpha|^2 > |beta|^2 (a stable root beta/alpha). */
CRV_API int32_t klein_ouc(const double *alpha, const double *beta);
/* Size query of the QzArena layout. */
CRV_API crv_arena_size_t klein_qz_arena_size(int64_t N);
/* Ordered complex QZ of the column-major pair (A, B) through zgges, stable
 * roots first: A <- S, B <- T, VSR <- Z. Arena: QzArena. Returns 0 or -401. */
CRV_API int64_t klein_qz(crv_zgges_fn zgges, int64_t N, double *A, double *B, double *VSR,
                         double *dwork, int64_t *iwork);
/* Size query of the PostprocArena layout. */
CRV_API crv_arena_size_t klein_postproc_arena_size(int64_t nk, int64_t nf);
/* Policies from the row-major Schur factors: gx_c = Z21 Z11^-1, hx_c = Z11
 * S11^-1 T11 Z11^-1; saddle-path flag and eigenvalues T_kk / S_kk (+inf when
 * |S_kk| <= 1e-12). Arena: PostprocArena. Returns 0, -301 (Z11 or S11
 * singular) or -302 (nk < 1). */
CRV_API int64_t klein_postproc(const double *S, const double *T, const double *Z, int64_t nk,
                               int64_t nf, double *gx_c, double *hx_c, int64_t *bk, double *eig,
                               double *dwork, int64_t *iwork);
/* T = [[hx, 0], [gx, 0]] ((nx + ny)^2). */
CRV_API void crv_assemble_transition(const double *hx, const double *gx, int64_t nx, int64_t ny,
                                     double *T);
/* Size query of the Solve1Arena layout (the arena of crv_klein_solve1,
 * crv_klein_linearize and crv_klein_from_pencil). */
CRV_API crv_arena_size_t crv_klein_solve1_arena_size(int64_t n, int64_t nx, int64_t ny,
                                                     int64_t p, int64_t m, int64_t N);
/* First-order solution from the linearised model in sol: static rotation,
 * pencil, ordered QZ, policies, static policies, impact, transition. Arena:
 * Solve1Arena, its stage area carved as PencilStage. Returns 0, -503, -504,
 * -505, -509, -510 or -511 (nx, ny do not match the timing flags: the states
 * must be the first nx variables). */
CRV_API int64_t crv_klein_from_pencil(const crv_klein_model *model, crv_klein_solution *sol,
                                      double *dwork, int64_t *iwork);
/* crv_klein_linearize then crv_klein_from_pencil. */
CRV_API int64_t crv_klein_solve1(const crv_klein_model *model, crv_klein_solution *sol,
                                 double *dwork, int64_t *iwork);

/* ---- second-order solution ---------------------------------------------- */

/* Size query of the HessianArena layout. */
CRV_API crv_arena_size_t crv_bicomplex_hessian_arena_size(int64_t n, int64_t p, int64_t m,
                                                          int64_t neq);
/* hess[k, i, j] = d2 F_k / dv_i dv_j at (x, x, x, 0), v = (x(t-1), x(t),
 * x(t+1), e), by bicomplex step h = 1e-9; D(D + 1)/2 evaluations; exactly
 * symmetric. Arena: HessianArena. */
CRV_API void crv_bicomplex_hessian(crv_residual_fn hessian, const double *x, const double *params,
                                   int64_t n, int64_t p, int64_t m, int64_t neq, double *hess,
                                   double *dwork);
/* out_k = A^T H_k B for k < count (H_k N x N, A N x a, B N x b), tmp N x b. */
CRV_API void crv_contract2(const double *H, const double *A, int64_t a, const double *B,
                           int64_t b, int64_t count, int64_t N, double *tmp, double *out);
/* Size query of the SecondOrderArena layout. */
CRV_API crv_arena_size_t crv_second_order_arena_size(int64_t n, int64_t nx, int64_t m);
/* Second-order coefficients from the Hessian and the first-order solution
 * (model variable order, states first). Arena: SecondOrderArena. Returns 0,
 * -801 ((x, x) system or the (x, e)/(e, e) matrix singular) or -802 (scale
 * matrix singular). */
CRV_API int64_t crv_second_order(const double *j_lead, const double *j_cur, const double *hess,
                                 const double *gx, const double *hx, const double *impact,
                                 const double *sigma, int64_t n, int64_t nx, int64_t m,
                                 double *g_xx, double *h_xx, double *g_xe, double *h_xe,
                                 double *g_ee, double *h_ee, double *g_ss, double *h_ss,
                                 double *dwork, int64_t *iwork);
/* Size query of the Solve2Arena layout. */
CRV_API crv_arena_size_t crv_sgu_klein_solve2_arena_size(int64_t n, int64_t nx, int64_t ny,
                                                         int64_t p, int64_t m, int64_t N);
/* First-order solution, then Hessian and second-order terms, on the
 * Solve2Arena layout (the first-order stages in its area as Solve1Arena
 * lays them out). Returns the first-order codes, -506 (-801) or -507
 * (-802). */
CRV_API int64_t crv_sgu_klein_solve2(const crv_klein_model *model, crv_klein_solution *sol,
                                     crv_klein_second_order *sol2, double *dwork,
                                     int64_t *iwork);

#endif
