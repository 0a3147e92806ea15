/* Regression: OLS, ridge (one penalty or a grid scored by an information
 * criterion), lasso by coordinate descent or the LARS-lasso homotopy, elastic
 * net (one penalty or a warm-started path), and the fit kernels built on them.
 *
 * X is n x p row-major, y has n entries. The penalised solvers work on Gram
 * quantities scaled by 1/n, so a penalty lambda means the objective
 * (1/2n)||y - X beta||^2 + penalty(beta). "intercept" means column 0 of X is
 * a column of ones that is never penalised. Nothing here allocates.
 *
 * Status codes: CRV_REG_NOT_PD and CRV_REG_NO_CONVERGENCE of status.def. */
#ifndef CORVANE_REGRESSION_H
#define CORVANE_REGRESSION_H

#include "crv_api.h"
#include "status.h"

/* Result of a fit kernel; the caller fills n, p, coef and se. */
typedef struct crv_fit_result {
    int64_t n;      /* rows of X */
    int64_t p;      /* columns of X, intercept column included */
    double *coef;   /* p coefficients, intercept first */
    double *se;     /* p standard errors (OLS only); may be null */
    double rss;     /* sum (y_i - yhat_i)^2 */
    double tss;     /* sum (y_i - ybar)^2 */
    int64_t status; /* 0, -1501 or -1502 */
} crv_fit_result;

CRV_LAYOUT_CHECK(sizeof(crv_fit_result) == 56 && offsetof(crv_fit_result, coef) == 16 &&
                     offsetof(crv_fit_result, rss) == 32 &&
                     offsetof(crv_fit_result, status) == 48,
                 "crv_fit_result layout");

/* ---- solvers -------------------------------------------------------------- */

/* Solves (X^T X) beta = X^T y by Cholesky (unscaled Gram in G, X^T y in rhs,
 * factor kept in L). Writes *status = 0, or -1501 with beta all NaN; returns
 * *status. */
CRV_API int64_t crv_ols_chol_solve(const double *X, const double *y, int64_t n, int64_t p,
                                   double *beta, double *L, int64_t *status, double *G,
                                   double *rhs);

/* Ridge with one penalty: (X^T X/n + lambda D) beta = X^T y/n, D the identity
 * without (0, 0) when intercept is set. G0 keeps X^T X/n, G the penalised
 * Gram, L its factor; *dof = trace(G^{-1} G0) solved column by column in tmp.
 * *status = 0, or -1501 with beta and *dof NaN. */
CRV_API void crv_chol_solve_L2(const double *X, const double *y, int64_t n, int64_t p,
                               int32_t intercept, double *beta, double *L, double *dof,
                               double lambda, int64_t *status, double *G, double *G0,
                               double *rhs, double *tmp);

/* Ridge over alphas (in the given order), scored by criterion: 3 -> RSS,
 * 1 -> n ln(RSS/n) + 2 dof, other -> n ln(RSS/n) + ln(n) dof. The first
 * solved candidate, then any strictly lower score, becomes the best. A failed
 * first candidate records best_alpha = alphas[0], +inf score, NaN beta and
 * -1501 until a later candidate solves. An empty grid gives -1501, NaN
 * best_alpha and beta, +inf score. Scratch: G (X^T X/n), G_pen, rhs, L, beta,
 * tmp. */
CRV_API void crv_ridge_grid_search(const double *X, const double *y, int64_t n, int64_t p,
                                   const double *alphas, int64_t n_alphas, int32_t criterion,
                                   int32_t intercept, double *best_alpha, double *best_beta,
                                   double *best_score, int64_t *status, double *G,
                                   double *G_pen, double *rhs, double *L, double *beta,
                                   double *tmp);

/* G = X^T X/n, c = X^T y/n (unscaled when n <= 0). Without intercept G_c is a
 * copy of G. With intercept, m = p - 1: G_c (m x m, stride m) is the
 * covariance of the non-constant columns, c[0..m) their covariances with y
 * and c[m] = ybar. */
CRV_API void crv_mc_sparse_gram(const double *X, const double *y, int64_t n, int64_t p,
                                int32_t intercept, double *G, double *G_c, double *c);

/* Lasso by cyclic coordinate descent on 1/2 b^T G b - c^T b + lambda |b|_1,
 * from beta = 0, keeping Gb = G beta. An update of at most tol is not applied.
 * Returns 0 when a sweep applies no update, -1502 after max_iter sweeps, or
 * for a non-positive max_iter or tol (beta keeps the last iterate). */
CRV_API int64_t crv_lasso_gram_cd(const double *G, const double *c, int64_t p, int64_t max_iter,
                                  double *beta, double *Gb, double lambda, double tol);

/* Elastic net 1/2 b^T G b - c^T b + l1 |b|_1 + 1/2 l2 |b|^2 by coordinate
 * descent from beta0 (beta0 may equal beta). Statuses as crv_lasso_gram_cd. */
CRV_API int64_t crv_en_gram_cd(const double *G, const double *c, int64_t p,
                               const double *beta0, int64_t max_iter, double *beta, double *Gb,
                               double l1, double l2, double tol);

/* Elastic-net path over lambdas with l1 = l1_ratio lambda, l2 = (1 - l1_ratio)
 * lambda, run from the largest penalty down (an ascending grid from its last
 * entry), each solve warm-started from the previous one through warm. Row k
 * of betas and statuses[k] belong to lambdas[k]. */
CRV_API void crv_en_gram_cd_path(const double *G, const double *c, int64_t p,
                                 const double *lambdas, int64_t n_lambdas, int64_t max_iter,
                                 double *betas, int64_t *statuses, double l1_ratio, double tol,
                                 double *Gb, double *warm);

/* Degrees of freedom of an elastic-net solution: base (1 with intercept) plus
 * trace((G_AA + l2 I)^{-1} G_AA) over A = {j : |beta_j| > tol}; k + base if
 * the Cholesky fails. work: 3p^2 + p words (G_AA, G_AA + l2 I, factor,
 * column). */
CRV_API double crv_en_active_dof(const double *G, const double *beta, int64_t p,
                                 int32_t intercept, double *work, double l2, double tol);

/* LARS-lasso homotopy on Gram quantities down to lambda_min. Writes knots in
 * decreasing lambda (knot_lambdas, max_steps + 1; knot_betas rows of p) and
 * *n_knots. work: p^2 + 8p words (beta, sign, corr, s_A, u, direction, a,
 * G_AA, active flags). Returns 0, or -1502 when max_steps is reached first
 * (or max_steps < 1) or the equiangular system is degenerate. A negative
 * max_steps writes nothing and gives n_knots = 0. */
CRV_API int64_t crv_lars_lasso_gram(const double *G, const double *c, int64_t p,
                                    int64_t max_steps, double *knot_lambdas, double *knot_betas,
                                    int64_t *n_knots, double *work, double lambda_min);

/* Linear interpolation of a LARS path (knots decreasing) at each lambda:
 * 0 above the first knot, the last knot's row below the last knot. Rows of
 * out are n_lambdas x p; n_knots < 1 gives zero rows. */
CRV_API void crv_lasso_path_eval(const double *knot_lambdas, const double *knot_betas,
                                 int64_t n_knots, int64_t p, const double *lambdas,
                                 int64_t n_lambdas, double *out);

/* ---- fits ------------------------------------------------------------------
 *
 * Each fit reads rec->n and rec->p, writes rec->coef, rec->se (OLS, when
 * non-null), rss, tss and status, and returns the status. On success rss =
 * sum (y_i - x_i coef)^2 and tss = sum (y_i - ybar)^2 (both 0 when n <= 0);
 * the lasso and elastic-net fits with intercept solve the centred problem in
 * p' = p - 1 slopes and recover coef[0] = ybar - sum_j xbar_j coef[j]. On a
 * nonzero status coef, se, rss and tss are NaN. Scratch sizes: p x p for L,
 * G, G_unpen, G_base; p for g, tmp, coef_work, col, Gcoef, beta. */

/* OLS through crv_ols_chol_solve; se[k] = sqrt(rss/(n - p) |L^{-1} e_k|^2)
 * when p < n, NaN otherwise. */
CRV_API int64_t crv_mc_ols_fit(const double *X, const double *y, crv_fit_result *rec, double *L,
                               double *G, double *g, double *tmp);
/* Ridge with one penalty (crv_chol_solve_L2); intercept unpenalised. */
CRV_API int64_t crv_mc_ridge_fit(const double *X, const double *y, int32_t intercept,
                                 crv_fit_result *rec, double *L, double *G, double *G_unpen,
                                 double *g, double alpha, double *tmp);
/* Ridge over a grid (crv_ridge_grid_search); coef_work and col are scratch. */
CRV_API int64_t crv_mc_ridge_gs_fit(const double *X, const double *y, const double *alphas,
                                    int64_t n_alphas, int64_t criterion, int32_t intercept,
                                    crv_fit_result *rec, double *G_base, double *G, double *L,
                                    double *g, double *coef_work, double *col);
/* Lasso: centred Gram into G_base, G, g, then crv_lasso_gram_cd (Gcoef = G b). */
CRV_API int64_t crv_mc_lasso_fit(const double *X, const double *y, int32_t intercept,
                                 int64_t max_iter, crv_fit_result *rec, double *G_base,
                                 double *G, double *g, double alpha, double tol, double *Gcoef);
/* Lasso over a grid: LARS path down to lambda_min = tol with max_iter steps
 * (lam_path max_iter + 1, beta_path (max_iter + 1) x p', work p'^2 + 8p'),
 * evaluated at every alpha into beta_grid (n_alphas x p'); the lowest
 * in-sample RSS wins (earlier alpha on ties). Status: the LARS status, or
 * -1502 for an empty grid. */
CRV_API int64_t crv_mc_lasso_gs_fit(const double *X, const double *y, const double *alphas,
                                    int64_t n_alphas, int32_t intercept, int64_t max_iter,
                                    crv_fit_result *rec, double *G_base, double tol, double *G,
                                    double *g, double *lam_path, double *beta_path,
                                    double *beta_grid, double *work);
/* Elastic net from a zero start, l1 = l1_ratio alpha, l2 = (1 - l1_ratio) alpha. */
CRV_API int64_t crv_mc_elastic_net_fit(const double *X, const double *y, int32_t intercept,
                                       int64_t max_iter, crv_fit_result *rec, double *G_base,
                                       double *G, double *g, double alpha, double l1_ratio,
                                       double tol, double *Gcoef);
/* Elastic net over a grid: crv_en_gram_cd_path (statuses n_alphas, beta_grid
 * n_alphas x p', warm starts in beta), each converged alpha scored by
 * criterion with crv_en_active_dof (dof_work 3p'^2 + p'); strictly lower
 * scores win. -1502 when no alpha is taken. */
CRV_API int64_t crv_mc_elastic_net_gs_fit(const double *X, const double *y, const double *alphas,
                                          int64_t n_alphas, int64_t criterion,
                                          int32_t intercept, int64_t max_iter,
                                          crv_fit_result *rec, double l1_ratio, double tol,
                                          double *G_base, double *G, double *g,
                                          double *beta_grid, int64_t *statuses, double *Gcoef,
                                          double *beta, double *dof_work);

/* ---- Monte Carlo block sizes ------------------------------------------------
 *
 * Words of a fit runner's input block (X n x p, y n, then the fit's scratch
 * in the kernel's argument order) and of its work block, returned as
 * {doubles = input words, slots = work words}: the size queries of the
 * runners' layouts in regression_layout.hpp. */
CRV_API crv_arena_size_t crv_mc_ols_work_arena_size(int64_t n, int64_t p);
CRV_API crv_arena_size_t crv_mc_ridge_work_arena_size(int64_t n, int64_t p);
CRV_API crv_arena_size_t crv_mc_ridge_gs_work_arena_size(int64_t n, int64_t p);
CRV_API crv_arena_size_t crv_mc_lasso_work_arena_size(int64_t n, int64_t p);
CRV_API crv_arena_size_t crv_mc_lasso_gs_work_arena_size(int64_t n, int64_t p, int32_t intercept,
                                                         int64_t n_alphas, int64_t max_iter);
CRV_API crv_arena_size_t crv_mc_elastic_net_work_arena_size(int64_t n, int64_t p);
CRV_API crv_arena_size_t crv_mc_elastic_net_gs_work_arena_size(int64_t n, int64_t p,
                                                               int32_t intercept,
                                                               int64_t n_alphas);

/* ---- Monte Carlo runners ------------------------------------------------------
 *
 * crv_mc_runner protocol (mc.h). The input block holds X (n x p), y (n), then
 * the fit's scratch in the kernel's argument order (the runner's layout in
 * regression_layout.hpp); its size is the first value of the matching
 * work-size function. Each runner fits with se =
 * null into out[0 .. p), stores rss and tss at out[p] and out[p + 1]
 * (out_words = p + 2), writes the status to iout[0] when iout is non-null and
 * returns it. -1201 for a null ctx, negative n, p or n_alphas, a null alphas
 * with n_alphas > 0, or a null block the fit needs. */

typedef struct crv_mc_ols_ctx {
    int64_t n;
    int64_t p;
} crv_mc_ols_ctx;

typedef struct crv_mc_ridge_ctx {
    int64_t n;
    int64_t p;
    int32_t intercept;
    double alpha;
} crv_mc_ridge_ctx;

typedef struct crv_mc_ridge_gs_ctx {
    const double *alphas;
    int64_t n;
    int64_t p;
    int64_t n_alphas;
    int64_t criterion;
    int32_t intercept;
} crv_mc_ridge_gs_ctx;

typedef struct crv_mc_lasso_ctx {
    int64_t n;
    int64_t p;
    int32_t intercept;
    int64_t max_iter;
    double tol;
    double alpha;
} crv_mc_lasso_ctx;

typedef struct crv_mc_lasso_gs_ctx {
    const double *alphas;
    int64_t n;
    int64_t p;
    int64_t n_alphas;
    int32_t intercept;
    int64_t max_iter;
    double tol;
} crv_mc_lasso_gs_ctx;

typedef struct crv_mc_elastic_net_ctx {
    int64_t n;
    int64_t p;
    int32_t intercept;
    int64_t max_iter;
    double tol;
    double alpha;
    double l1_ratio;
} crv_mc_elastic_net_ctx;

typedef struct crv_mc_elastic_net_gs_ctx {
    const double *alphas;
    int64_t n;
    int64_t p;
    int64_t n_alphas;
    int64_t criterion;
    int32_t intercept;
    int64_t max_iter;
    double tol;
    double l1_ratio;
} crv_mc_elastic_net_gs_ctx;

CRV_LAYOUT_CHECK(sizeof(crv_mc_ols_ctx) == 16, "crv_mc_ols_ctx layout");
CRV_LAYOUT_CHECK(sizeof(crv_mc_ridge_ctx) == 32 && offsetof(crv_mc_ridge_ctx, intercept) == 16 &&
                     offsetof(crv_mc_ridge_ctx, alpha) == 24,
                 "crv_mc_ridge_ctx layout");
CRV_LAYOUT_CHECK(sizeof(crv_mc_ridge_gs_ctx) == 48 &&
                     offsetof(crv_mc_ridge_gs_ctx, criterion) == 32 &&
                     offsetof(crv_mc_ridge_gs_ctx, intercept) == 40,
                 "crv_mc_ridge_gs_ctx layout");
CRV_LAYOUT_CHECK(sizeof(crv_mc_lasso_ctx) == 48 && offsetof(crv_mc_lasso_ctx, max_iter) == 24 &&
                     offsetof(crv_mc_lasso_ctx, tol) == 32 &&
                     offsetof(crv_mc_lasso_ctx, alpha) == 40,
                 "crv_mc_lasso_ctx layout");
CRV_LAYOUT_CHECK(sizeof(crv_mc_lasso_gs_ctx) == 56 &&
                     offsetof(crv_mc_lasso_gs_ctx, intercept) == 32 &&
                     offsetof(crv_mc_lasso_gs_ctx, max_iter) == 40 &&
                     offsetof(crv_mc_lasso_gs_ctx, tol) == 48,
                 "crv_mc_lasso_gs_ctx layout");
CRV_LAYOUT_CHECK(sizeof(crv_mc_elastic_net_ctx) == 56 &&
                     offsetof(crv_mc_elastic_net_ctx, max_iter) == 24 &&
                     offsetof(crv_mc_elastic_net_ctx, alpha) == 40 &&
                     offsetof(crv_mc_elastic_net_ctx, l1_ratio) == 48,
                 "crv_mc_elastic_net_ctx layout");
CRV_LAYOUT_CHECK(sizeof(crv_mc_elastic_net_gs_ctx) == 72 &&
                     offsetof(crv_mc_elastic_net_gs_ctx, intercept) == 40 &&
                     offsetof(crv_mc_elastic_net_gs_ctx, max_iter) == 48 &&
                     offsetof(crv_mc_elastic_net_gs_ctx, tol) == 56 &&
                     offsetof(crv_mc_elastic_net_gs_ctx, l1_ratio) == 64,
                 "crv_mc_elastic_net_gs_ctx layout");

/* Input block: OlsInput. */
CRV_API int32_t crv_mc_ols_runner(int64_t rep, double *input, double *out, double *work,
                                  int64_t *iout, void *ctx);
/* Input block: RidgeInput. */
CRV_API int32_t crv_mc_ridge_runner(int64_t rep, double *input, double *out, double *work,
                                    int64_t *iout, void *ctx);
/* Input block: RidgeGridInput. */
CRV_API int32_t crv_mc_ridge_gs_runner(int64_t rep, double *input, double *out, double *work,
                                       int64_t *iout, void *ctx);
/* Input block: LassoInput. */
CRV_API int32_t crv_mc_lasso_runner(int64_t rep, double *input, double *out, double *work,
                                    int64_t *iout, void *ctx);
/* Input block: LassoGridInput. */
CRV_API int32_t crv_mc_lasso_gs_runner(int64_t rep, double *input, double *out, double *work,
                                       int64_t *iout, void *ctx);
/* Input block: LassoInput. */
CRV_API int32_t crv_mc_elastic_net_runner(int64_t rep, double *input, double *out, double *work,
                                          int64_t *iout, void *ctx);
/* Input block: ElasticNetGridInput; the work block (n_alphas words) holds the
 * per-alpha statuses as int64. */
CRV_API int32_t crv_mc_elastic_net_gs_runner(int64_t rep, double *input, double *out,
                                             double *work, int64_t *iout, void *ctx);

#endif
