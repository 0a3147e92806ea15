// Monte Carlo runners of the regression fits: each lays its input-block
// layout (regression_layout.hpp) over the block, fits into its out block and
// reports rss, tss and the status (crv_mc_runner protocol).
#include <limits>
#include <type_traits>

#include "arena.hpp"
#include "constants.hpp"
#include "mc.h"
#include "regression.h"
#include "regression_layout.hpp"

namespace {

using crv::detail::carve;

using crv::detail::kNaN;

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

// The frame shared by every runner: checks, the result record on the stack
// (coef = out, no standard errors), rss and tss after the coefficients, the
// status in iout[0]. fit(ctx, input, rec, work) lays the runner's layout over
// the blocks and calls the kernel.
template <class Ctx, class Fit>
int32_t run_fit(void *ctx_ptr, double *input, double *out, double *work, int64_t *iout, Fit fit) {
    const auto *ctx = static_cast<const Ctx *>(ctx_ptr);
    int64_t status = CRV_MC_INVALID;
    if (ctx != nullptr && usable(*ctx, input, out, work)) {
        const int64_t n = ctx->n, p = ctx->p;
        crv_fit_result rec{n, p, out, nullptr, kNaN, kNaN, CRV_REG_NO_CONVERGENCE};
        status = fit(*ctx, input, &rec, work);
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
        [](const crv_mc_ols_ctx &c, double *in, crv_fit_result *rec, double *) {
            const auto b = carve<crv::detail::OlsInput>(in, nullptr, c.n, c.p);
            return crv_mc_ols_fit(b.X, b.y, rec, b.L, b.G, b.g, b.tmp);
        });
}

int32_t crv_mc_ridge_runner(int64_t, double *input, double *out, double *work, int64_t *iout,
                            void *ctx) {
    return run_fit<crv_mc_ridge_ctx>(
        ctx, input, out, work, iout,
        [](const crv_mc_ridge_ctx &c, double *in, crv_fit_result *rec, double *) {
            const auto b = carve<crv::detail::RidgeInput>(in, nullptr, c.n, c.p);
            return crv_mc_ridge_fit(b.X, b.y, c.intercept, rec, b.L, b.G, b.G_unpen, b.g, c.alpha,
                                    b.tmp);
        });
}

int32_t crv_mc_ridge_gs_runner(int64_t, double *input, double *out, double *work, int64_t *iout,
                               void *ctx) {
    return run_fit<crv_mc_ridge_gs_ctx>(
        ctx, input, out, work, iout,
        [](const crv_mc_ridge_gs_ctx &c, double *in, crv_fit_result *rec, double *) {
            const auto b = carve<crv::detail::RidgeGridInput>(in, nullptr, c.n, c.p);
            return crv_mc_ridge_gs_fit(b.X, b.y, c.alphas, c.n_alphas, c.criterion, c.intercept,
                                       rec, b.G_base, b.G, b.L, b.g, b.coef_work, b.col);
        });
}

int32_t crv_mc_lasso_runner(int64_t, double *input, double *out, double *work, int64_t *iout,
                            void *ctx) {
    return run_fit<crv_mc_lasso_ctx>(
        ctx, input, out, work, iout,
        [](const crv_mc_lasso_ctx &c, double *in, crv_fit_result *rec, double *) {
            const auto b = carve<crv::detail::LassoInput>(in, nullptr, c.n, c.p);
            return crv_mc_lasso_fit(b.X, b.y, c.intercept, c.max_iter, rec, b.G_base, b.G, b.g,
                                    c.alpha, c.tol, b.Gcoef);
        });
}

int32_t crv_mc_lasso_gs_runner(int64_t, double *input, double *out, double *work, int64_t *iout,
                               void *ctx) {
    return run_fit<crv_mc_lasso_gs_ctx>(
        ctx, input, out, work, iout,
        [](const crv_mc_lasso_gs_ctx &c, double *in, crv_fit_result *rec, double *) {
            const auto b = carve<crv::detail::LassoGridInput>(in, nullptr, c.n, c.p, c.intercept,
                                                              c.n_alphas, c.max_iter);
            return crv_mc_lasso_gs_fit(b.X, b.y, c.alphas, c.n_alphas, c.intercept, c.max_iter,
                                       rec, b.G_base, c.tol, b.G, b.g, b.lam_path, b.beta_path,
                                       b.beta_grid, b.lars_work);
        });
}

int32_t crv_mc_elastic_net_runner(int64_t, double *input, double *out, double *work,
                                  int64_t *iout, void *ctx) {
    return run_fit<crv_mc_elastic_net_ctx>(
        ctx, input, out, work, iout,
        [](const crv_mc_elastic_net_ctx &c, double *in, crv_fit_result *rec, double *) {
            const auto b = carve<crv::detail::LassoInput>(in, nullptr, c.n, c.p);
            return crv_mc_elastic_net_fit(b.X, b.y, c.intercept, c.max_iter, rec, b.G_base, b.G,
                                          b.g, c.alpha, c.l1_ratio, c.tol, b.Gcoef);
        });
}

int32_t crv_mc_elastic_net_gs_runner(int64_t, double *input, double *out, double *work,
                                     int64_t *iout, void *ctx) {
    return run_fit<crv_mc_elastic_net_gs_ctx>(
        ctx, input, out, work, iout,
        [](const crv_mc_elastic_net_gs_ctx &c, double *in, crv_fit_result *rec,
           double *work_block) {
            const auto b = carve<crv::detail::ElasticNetGridInput>(
                in, reinterpret_cast<int64_t *>(work_block), c.n, c.p, c.intercept, c.n_alphas);
            return crv_mc_elastic_net_gs_fit(b.X, b.y, c.alphas, c.n_alphas, c.criterion,
                                             c.intercept, c.max_iter, rec, c.l1_ratio, c.tol,
                                             b.G_base, b.G, b.g, b.beta_grid, b.statuses, b.Gcoef,
                                             b.beta, b.dof_work);
        });
}
