// Regression fits: each runs its solver, then the common ending (intercept
// recovery for the centred fits, rss, tss, NaN filling on failure, OLS
// standard errors); and the block sizes of their Monte Carlo runners.
#include <cmath>
#include <cstring>
#include <limits>

#include "constants.hpp"
#include "fdot.hpp"
#include "linalg.h"
#include "regression.h"
#include "regression_detail.hpp"
#include "regression_layout.hpp"

using crv::detail::criterion_score;
using crv::detail::fdot;
using crv::detail::fill_nan;
using crv::detail::penalised_count;
using crv::detail::residual_ss;

namespace {

using crv::detail::kInf;
using crv::detail::kNaN;

inline void zero(double *a, int64_t count) {
    if (count > 0) std::memset(a, 0, static_cast<size_t>(count) * sizeof(double));
}

// Common ending: on a nonzero status NaN coefficients, errors, rss and tss;
// otherwise rss = sum (y_i - x_i coef)^2 and tss = sum (y_i - ybar)^2.
int64_t finish(const double *X, const double *y, crv_fit_result *rec, int64_t status) {
    const int64_t n = rec->n, p = rec->p;
    rec->status = status;
    if (status != 0) {
        fill_nan(rec->coef, p);
        if (rec->se != nullptr) fill_nan(rec->se, p);
        rec->rss = kNaN;
        rec->tss = kNaN;
        return status;
    }
    if (n <= 0) {
        rec->rss = 0.0;
        rec->tss = 0.0;
        return 0;
    }
    rec->rss = residual_ss(X, y, rec->coef, n, p > 0 ? p : 0);
    double sum = 0.0;
    for (int64_t i = 0; i < n; ++i) sum += y[i];
    const double ybar = sum / static_cast<double>(n);
    double tss = 0.0;
    for (int64_t i = 0; i < n; ++i) {
        const double d = y[i] - ybar;
        tss = std::fma(d, d, tss);
    }
    rec->tss = tss;
    return 0;
}

// coef[0] = ybar - sum_{j>=1} xbar_j coef[j], with xbar in row 0 of
// G_base = X^T X / n and ybar in g[p - 1] (crv_mc_sparse_gram).
void recover_intercept(double *coef, const double *G_base, const double *g, int64_t p) {
    if (p < 1) return;
    coef[0] = g[p - 1] - fdot(G_base + 1, coef + 1, p - 1);
}

// In-sample rss of penalised coefficients b (q of them). With intercept the
// prediction is ybar + sum_{j>=1} (x_ij - xbar_j) b_{j-1}.
double centred_rss(const double *X, const double *y, int64_t n, int64_t p, int32_t intercept,
                   const double *G_base, const double *g, const double *b) {
    if (!intercept || p < 1) return residual_ss(X, y, b, n, p > 0 ? p : 0);
    const double ybar = g[p - 1];
    double rss = 0.0;
    for (int64_t i = 0; i < n; ++i) {
        const double *xi = X + i * p;
        double s = 0.0;
        for (int64_t j = 1; j < p; ++j) s = std::fma(xi[j] - G_base[j], b[j - 1], s);
        const double r = y[i] - (ybar + s);
        rss = std::fma(r, r, rss);
    }
    return rss;
}

}  // namespace

int64_t crv_mc_ols_fit(const double *X, const double *y, crv_fit_result *rec, double *L,
                       double *G, double *g, double *tmp) {
    const int64_t n = rec->n, p = rec->p;
    int64_t status = 0;
    crv_ols_chol_solve(X, y, n, p, rec->coef, L, &status, G, g);
    if (finish(X, y, rec, status) != 0) return status;
    if (rec->se == nullptr) return 0;
    if (p >= n) {
        fill_nan(rec->se, p);
        return 0;
    }
    // se_k^2 = sigma^2 [(X^T X)^{-1}]_kk = sigma^2 |L^{-1} e_k|^2.
    const double sigma2 = rec->rss / static_cast<double>(n - p);
    for (int64_t k = 0; k < p; ++k) {
        zero(tmp, p);
        tmp[k] = 1.0;
        crv_forward_subst(L, tmp, tmp, p);
        rec->se[k] = std::sqrt(sigma2 * fdot(tmp, tmp, p));
    }
    return 0;
}

int64_t crv_mc_ridge_fit(const double *X, const double *y, int32_t intercept, crv_fit_result *rec,
                         double *L, double *G, double *G_unpen, double *g, double alpha,
                         double *tmp) {
    double dof = 0.0;
    int64_t status = 0;
    crv_chol_solve_L2(X, y, rec->n, rec->p, intercept, rec->coef, L, &dof, alpha, &status, G,
                      G_unpen, g, tmp);
    return finish(X, y, rec, status);
}

int64_t crv_mc_ridge_gs_fit(const double *X, const double *y, const double *alphas,
                            int64_t n_alphas, int64_t criterion, int32_t intercept,
                            crv_fit_result *rec, double *G_base, double *G, double *L, double *g,
                            double *coef_work, double *col) {
    double best_alpha = kNaN, best_score = kInf;
    int64_t status = CRV_REG_NOT_PD;
    // The fit's criterion is 64-bit; the search takes an int. Codes other than
    // 1 and 3 all mean the BIC, so they pass as 0 rather than truncated.
    const int32_t code = criterion == 1 || criterion == 3 ? static_cast<int32_t>(criterion) : 0;
    crv_ridge_grid_search(X, y, rec->n, rec->p, alphas, n_alphas, code, intercept,
                          &best_alpha, rec->coef, &best_score, &status, G_base, G, g, L,
                          coef_work, col);
    return finish(X, y, rec, status);
}

int64_t crv_mc_lasso_fit(const double *X, const double *y, int32_t intercept, int64_t max_iter,
                         crv_fit_result *rec, double *G_base, double *G, double *g, double alpha,
                         double tol, double *Gcoef) {
    const int64_t n = rec->n, p = rec->p, q = penalised_count(p, intercept);
    crv_mc_sparse_gram(X, y, n, p, intercept, G_base, G, g);
    double *b = intercept ? rec->coef + 1 : rec->coef;
    const int64_t status = crv_lasso_gram_cd(G, g, q, max_iter, b, Gcoef, alpha, tol);
    if (status == 0 && intercept) recover_intercept(rec->coef, G_base, g, p);
    return finish(X, y, rec, status);
}

int64_t crv_mc_lasso_gs_fit(const double *X, const double *y, const double *alphas,
                            int64_t n_alphas, int32_t intercept, int64_t max_iter,
                            crv_fit_result *rec, double *G_base, double tol, double *G, double *g,
                            double *lam_path, double *beta_path, double *beta_grid,
                            double *work) {
    const int64_t n = rec->n, p = rec->p, q = penalised_count(p, intercept);
    crv_mc_sparse_gram(X, y, n, p, intercept, G_base, G, g);
    int64_t knots = 0;
    int64_t status = crv_lars_lasso_gram(G, g, q, max_iter, lam_path, beta_path, &knots, work, tol);
    if (status == 0 && n_alphas < 1) status = CRV_REG_NO_CONVERGENCE;
    if (status == 0) {
        crv_lasso_path_eval(lam_path, beta_path, knots, q, alphas, n_alphas, beta_grid);
        int64_t best = 0;
        double best_rss = 0.0;
        for (int64_t k = 0; k < n_alphas; ++k) {
            const double rss = centred_rss(X, y, n, p, intercept, G_base, g, beta_grid + k * q);
            if (k == 0 || rss < best_rss) {
                best = k;
                best_rss = rss;
            }
        }
        double *b = intercept ? rec->coef + 1 : rec->coef;
        if (q > 0) std::memcpy(b, beta_grid + best * q, static_cast<size_t>(q) * sizeof(double));
        if (intercept) recover_intercept(rec->coef, G_base, g, p);
    }
    return finish(X, y, rec, status);
}

int64_t crv_mc_elastic_net_fit(const double *X, const double *y, int32_t intercept,
                               int64_t max_iter, crv_fit_result *rec, double *G_base, double *G,
                               double *g, double alpha, double l1_ratio, double tol,
                               double *Gcoef) {
    const int64_t n = rec->n, p = rec->p, q = penalised_count(p, intercept);
    crv_mc_sparse_gram(X, y, n, p, intercept, G_base, G, g);
    double *b = intercept ? rec->coef + 1 : rec->coef;
    zero(b, q);
    const int64_t status = crv_en_gram_cd(G, g, q, b, max_iter, b, Gcoef, l1_ratio * alpha,
                                          (1.0 - l1_ratio) * alpha, tol);
    if (status == 0 && intercept) recover_intercept(rec->coef, G_base, g, p);
    return finish(X, y, rec, status);
}

int64_t crv_mc_elastic_net_gs_fit(const double *X, const double *y, const double *alphas,
                                  int64_t n_alphas, int64_t criterion, int32_t intercept,
                                  int64_t max_iter, crv_fit_result *rec, double l1_ratio,
                                  double tol, double *G_base, double *G, double *g,
                                  double *beta_grid, int64_t *statuses, double *Gcoef,
                                  double *beta, double *dof_work) {
    const int64_t n = rec->n, p = rec->p, q = penalised_count(p, intercept);
    crv_mc_sparse_gram(X, y, n, p, intercept, G_base, G, g);
    crv_en_gram_cd_path(G, g, q, alphas, n_alphas, max_iter, beta_grid, statuses, l1_ratio, tol,
                        Gcoef, beta);
    int64_t best = -1;
    double best_score = kInf;
    for (int64_t k = 0; k < n_alphas; ++k) {
        if (statuses[k] != 0) continue;
        const double *row = beta_grid + k * q;
        const double rss = centred_rss(X, y, n, p, intercept, G_base, g, row);
        const double dof =
            crv_en_active_dof(G, row, q, intercept, dof_work, alphas[k] * (1.0 - l1_ratio), tol);
        const double score = criterion_score(rss, dof, n, criterion);
        if (score < best_score) {
            best = k;
            best_score = score;
        }
    }
    if (best < 0) return finish(X, y, rec, CRV_REG_NO_CONVERGENCE);
    double *b = intercept ? rec->coef + 1 : rec->coef;
    if (q > 0) std::memcpy(b, beta_grid + best * q, static_cast<size_t>(q) * sizeof(double));
    if (intercept) recover_intercept(rec->coef, G_base, g, p);
    return finish(X, y, rec, 0);
}

// ---- Monte Carlo block sizes: {input words, work words} ----------------------

crv_arena_size_t crv_mc_ols_work_arena_size(int64_t n, int64_t p) {
    return crv::detail::arena_size<crv::detail::OlsInput>(n, p);
}

crv_arena_size_t crv_mc_ridge_work_arena_size(int64_t n, int64_t p) {
    return crv::detail::arena_size<crv::detail::RidgeInput>(n, p);
}

crv_arena_size_t crv_mc_ridge_gs_work_arena_size(int64_t n, int64_t p) {
    return crv::detail::arena_size<crv::detail::RidgeGridInput>(n, p);
}

crv_arena_size_t crv_mc_lasso_work_arena_size(int64_t n, int64_t p) {
    return crv::detail::arena_size<crv::detail::LassoInput>(n, p);
}

crv_arena_size_t crv_mc_lasso_gs_work_arena_size(int64_t n, int64_t p, int32_t intercept,
                                                 int64_t n_alphas, int64_t max_iter) {
    return crv::detail::arena_size<crv::detail::LassoGridInput>(n, p, intercept, n_alphas,
                                                                max_iter);
}

crv_arena_size_t crv_mc_elastic_net_work_arena_size(int64_t n, int64_t p) {
    return crv::detail::arena_size<crv::detail::LassoInput>(n, p);
}

crv_arena_size_t crv_mc_elastic_net_gs_work_arena_size(int64_t n, int64_t p, int32_t intercept,
                                                       int64_t n_alphas) {
    return crv::detail::arena_size<crv::detail::ElasticNetGridInput>(n, p, intercept, n_alphas);
}
