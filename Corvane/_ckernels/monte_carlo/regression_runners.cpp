// Monte Carlo runners of the regression fits: each carves X, y and the fit's
// scratch from its input block, fits into its out block and reports rss, tss
// and the status (crv_mc_runner protocol).
#include <limits>
#include <type_traits>

#include "arena.hpp"
#include "constants.hpp"
#include "mc.h"
#include "regression.h"

namespace {

using Carver = crv::detail::Carver<double>;

using crv::detail::kNaN;

inline int64_t penalised_count(int64_t p, int32_t intercept) {
    const int64_t q = intercept ? p - 1 : p;
    return q > 0 ? q : 0;
}

// Input-block words of each runner: the first value of its work-size function.
int64_t input_words(const crv_mc_ols_ctx &c) { return crv_mc_ols_work_arena_size(c.n, c.p).doubles; }
int64_t input_words(const crv_mc_ridge_ctx &c) {
    return crv_mc_ridge_work_arena_size(c.n, c.p).doubles;
}
int64_t input_words(const crv_mc_ridge_gs_ctx &c) {
    return crv_mc_ridge_gs_work_arena_size(c.n, c.p).doubles;
}
int64_t input_words(const crv_mc_lasso_ctx &c) {
    return crv_mc_lasso_work_arena_size(c.n, c.p).doubles;
}
int64_t input_words(const crv_mc_lasso_gs_ctx &c) {
    return crv_mc_lasso_gs_work_arena_size(c.n, c.p, c.intercept, c.n_alphas, c.max_iter).doubles;
}
int64_t input_words(const crv_mc_elastic_net_ctx &c) {
    return crv_mc_elastic_net_work_arena_size(c.n, c.p).doubles;
}
int64_t input_words(const crv_mc_elastic_net_gs_ctx &c) {
    return crv_mc_elastic_net_gs_work_arena_size(c.n, c.p, c.intercept, c.n_alphas).doubles;
}

// Whether the runner can work inside the blocks it was given.
template <class Ctx>
bool usable(const Ctx &c, const double *input, const double *out, const double *work) {
    if (c.n < 0 || c.p < 0 || out == nullptr) return false;
    if (input == nullptr && input_words(c) > 0) return false;
    if constexpr (requires { c.alphas; }) {
        if (c.n_alphas < 0 || (c.n_alphas > 0 && c.alphas == nullptr)) return false;
    }
    if constexpr (std::is_same_v<Ctx, crv_mc_elastic_net_gs_ctx>) {
        if (c.n_alphas > 0 && work == nullptr) return false;  // the statuses
    }
    return true;
}

// The frame shared by every runner: checks, X and y, the result record on the
// stack (coef = out, no standard errors), rss and tss after the coefficients,
// the status in iout[0]. fit(ctx, X, y, carver, rec, work) carves the rest
// and calls the kernel.
template <class Ctx, class Fit>
int32_t run_fit(void *ctx_ptr, double *input, double *out, double *work, int64_t *iout, Fit fit) {
    const auto *ctx = static_cast<const Ctx *>(ctx_ptr);
    int64_t status = CRV_MC_INVALID;
    if (ctx != nullptr && usable(*ctx, input, out, work)) {
        const int64_t n = ctx->n, p = ctx->p;
        Carver c{input};
        const double *X = c.take(n * p);
        const double *y = c.take(n);
        crv_fit_result rec{n, p, out, nullptr, kNaN, kNaN, CRV_REG_NO_CONVERGENCE};
        status = fit(*ctx, X, y, c, &rec, work);
        out[p] = rec.rss;
        out[p + 1] = rec.tss;
    }
    if (iout != nullptr) iout[0] = status;
    return static_cast<int32_t>(status);
}

}  // namespace

int32_t crv_mc_ols_runner(int64_t, double *input, double *out, double *work, int64_t *iout,
                          void *ctx) {
    return run_fit<crv_mc_ols_ctx>(
        ctx, input, out, work, iout,
        [](const crv_mc_ols_ctx &c, const double *X, const double *y, Carver &cv,
           crv_fit_result *rec, double *) {
            const int64_t p = c.p;
            double *L = cv.take(p * p), *G = cv.take(p * p), *g = cv.take(p), *tmp = cv.take(p);
            return crv_mc_ols_fit(X, y, rec, L, G, g, tmp);
        });
}

int32_t crv_mc_ridge_runner(int64_t, double *input, double *out, double *work, int64_t *iout,
                            void *ctx) {
    return run_fit<crv_mc_ridge_ctx>(
        ctx, input, out, work, iout,
        [](const crv_mc_ridge_ctx &c, const double *X, const double *y, Carver &cv,
           crv_fit_result *rec, double *) {
            const int64_t p = c.p;
            double *L = cv.take(p * p), *G = cv.take(p * p), *G_unpen = cv.take(p * p);
            double *g = cv.take(p), *tmp = cv.take(p);
            return crv_mc_ridge_fit(X, y, c.intercept, rec, L, G, G_unpen, g, c.alpha, tmp);
        });
}

int32_t crv_mc_ridge_gs_runner(int64_t, double *input, double *out, double *work, int64_t *iout,
                               void *ctx) {
    return run_fit<crv_mc_ridge_gs_ctx>(
        ctx, input, out, work, iout,
        [](const crv_mc_ridge_gs_ctx &c, const double *X, const double *y, Carver &cv,
           crv_fit_result *rec, double *) {
            const int64_t p = c.p;
            double *G_base = cv.take(p * p), *G = cv.take(p * p), *L = cv.take(p * p);
            double *g = cv.take(p), *coef_work = cv.take(p), *col = cv.take(p);
            return crv_mc_ridge_gs_fit(X, y, c.alphas, c.n_alphas, c.criterion, c.intercept, rec,
                                       G_base, G, L, g, coef_work, col);
        });
}

int32_t crv_mc_lasso_runner(int64_t, double *input, double *out, double *work, int64_t *iout,
                            void *ctx) {
    return run_fit<crv_mc_lasso_ctx>(
        ctx, input, out, work, iout,
        [](const crv_mc_lasso_ctx &c, const double *X, const double *y, Carver &cv,
           crv_fit_result *rec, double *) {
            const int64_t p = c.p;
            double *G_base = cv.take(p * p), *G = cv.take(p * p), *g = cv.take(p);
            double *Gcoef = cv.take(p);
            return crv_mc_lasso_fit(X, y, c.intercept, c.max_iter, rec, G_base, G, g, c.alpha,
                                    c.tol, Gcoef);
        });
}

int32_t crv_mc_lasso_gs_runner(int64_t, double *input, double *out, double *work, int64_t *iout,
                               void *ctx) {
    return run_fit<crv_mc_lasso_gs_ctx>(
        ctx, input, out, work, iout,
        [](const crv_mc_lasso_gs_ctx &c, const double *X, const double *y, Carver &cv,
           crv_fit_result *rec, double *) {
            const int64_t p = c.p, q = penalised_count(p, c.intercept);
            const int64_t knots = (c.max_iter > 0 ? c.max_iter : 0) + 1;
            double *G_base = cv.take(p * p), *G = cv.take(p * p), *g = cv.take(p);
            double *lam_path = cv.take(knots), *beta_path = cv.take(knots * q);
            double *beta_grid = cv.take(c.n_alphas * q), *lars_work = cv.take(q * q + 8 * q);
            return crv_mc_lasso_gs_fit(X, y, c.alphas, c.n_alphas, c.intercept, c.max_iter, rec,
                                       G_base, c.tol, G, g, lam_path, beta_path, beta_grid,
                                       lars_work);
        });
}

int32_t crv_mc_elastic_net_runner(int64_t, double *input, double *out, double *work,
                                  int64_t *iout, void *ctx) {
    return run_fit<crv_mc_elastic_net_ctx>(
        ctx, input, out, work, iout,
        [](const crv_mc_elastic_net_ctx &c, const double *X, const double *y, Carver &cv,
           crv_fit_result *rec, double *) {
            const int64_t p = c.p;
            double *G_base = cv.take(p * p), *G = cv.take(p * p), *g = cv.take(p);
            double *Gcoef = cv.take(p);
            return crv_mc_elastic_net_fit(X, y, c.intercept, c.max_iter, rec, G_base, G, g,
                                          c.alpha, c.l1_ratio, c.tol, Gcoef);
        });
}

int32_t crv_mc_elastic_net_gs_runner(int64_t, double *input, double *out, double *work,
                                     int64_t *iout, void *ctx) {
    return run_fit<crv_mc_elastic_net_gs_ctx>(
        ctx, input, out, work, iout,
        [](const crv_mc_elastic_net_gs_ctx &c, const double *X, const double *y, Carver &cv,
           crv_fit_result *rec, double *work_block) {
            const int64_t p = c.p, q = penalised_count(p, c.intercept);
            double *G_base = cv.take(p * p), *G = cv.take(p * p), *g = cv.take(p);
            double *beta_grid = cv.take(c.n_alphas * q), *Gcoef = cv.take(p), *beta = cv.take(p);
            double *dof_work = cv.take(3 * q * q + q);
            auto *statuses = reinterpret_cast<int64_t *>(work_block);
            return crv_mc_elastic_net_gs_fit(X, y, c.alphas, c.n_alphas, c.criterion, c.intercept,
                                             c.max_iter, rec, c.l1_ratio, c.tol, G_base, G, g,
                                             beta_grid, statuses, Gcoef, beta, dof_work);
        });
}
