// Input blocks of the regression fit runners (internal; the layout idiom is
// described in arena.hpp): X (n x p), y (n), then the fit's scratch in the
// kernel's argument order. The crv_mc_*_work_arena_size functions are these
// layouts' size queries ({input words, work words}); the runners carve them.
// q is the number of penalised coefficients, p - 1 with intercept, else p.
#pragma once

#include <algorithm>
#include <cstdint>

#include "arena.hpp"

namespace crv::detail {

// Penalised coefficients of the centred fits: p - 1 with intercept, else p.
inline int64_t penalised_count(int64_t p, int32_t intercept) {
    const int64_t q = intercept ? p - 1 : p;
    return q > 0 ? q : 0;
}

// crv_mc_ols_fit: L, G (p x p), g, tmp (p).
struct OlsInput {
    double *X, *y, *L, *G, *g, *tmp;

    template <class D>
    OlsInput(D &d, int64_t n, int64_t p)
        : X(d.take(n, p)), y(d.take(n)), L(d.take(p, p)), G(d.take(p, p)), g(d.take(p)),
          tmp(d.take(p)) {}
};

// crv_mc_ridge_fit: L, G, G_unpen (p x p), g, tmp (p).
struct RidgeInput {
    double *X, *y, *L, *G, *G_unpen, *g, *tmp;

    template <class D>
    RidgeInput(D &d, int64_t n, int64_t p)
        : X(d.take(n, p)), y(d.take(n)), L(d.take(p, p)), G(d.take(p, p)), G_unpen(d.take(p, p)),
          g(d.take(p)), tmp(d.take(p)) {}
};

// crv_mc_ridge_gs_fit: G_base, G, L (p x p), g, coef_work, col (p).
struct RidgeGridInput {
    double *X, *y, *G_base, *G, *L, *g, *coef_work, *col;

    template <class D>
    RidgeGridInput(D &d, int64_t n, int64_t p)
        : X(d.take(n, p)), y(d.take(n)), G_base(d.take(p, p)), G(d.take(p, p)), L(d.take(p, p)),
          g(d.take(p)), coef_work(d.take(p)), col(d.take(p)) {}
};

// crv_mc_lasso_fit and crv_mc_elastic_net_fit: G_base, G (p x p), g, Gcoef (p).
struct LassoInput {
    double *X, *y, *G_base, *G, *g, *Gcoef;

    template <class D>
    LassoInput(D &d, int64_t n, int64_t p)
        : X(d.take(n, p)), y(d.take(n)), G_base(d.take(p, p)), G(d.take(p, p)), g(d.take(p)),
          Gcoef(d.take(p)) {}
};

// crv_mc_lasso_gs_fit: G_base, G (p x p), g (p), the LARS path of knots =
// max(max_iter, 0) + 1 knots (lam_path, beta_path knots x q), the path
// evaluated on the grid (n_alphas x q) and the LARS work (q^2 + 8q).
struct LassoGridInput {
    int64_t q, knots;
    double *X, *y, *G_base, *G, *g, *lam_path, *beta_path, *beta_grid, *lars_work;

    template <class D>
    LassoGridInput(D &d, int64_t n, int64_t p, int32_t intercept, int64_t n_alphas,
                   int64_t max_iter)
        : q(penalised_count(p, intercept)), knots(std::max<int64_t>(max_iter, 0) + 1),
          X(d.take(n, p)), y(d.take(n)), G_base(d.take(p, p)), G(d.take(p, p)), g(d.take(p)),
          lam_path(d.take(knots)), beta_path(d.take(knots, q)), beta_grid(d.take(n_alphas, q)),
          lars_work(d.take(q * q + 8 * q)) {}
};

// crv_mc_elastic_net_gs_fit: G_base, G (p x p), g (p), the warm-started path
// (n_alphas x q), Gcoef, beta (p) and the degrees-of-freedom work
// (3q^2 + q); the per-alpha statuses in the work block.
struct ElasticNetGridInput {
    int64_t q;
    double *X, *y, *G_base, *G, *g, *beta_grid, *Gcoef, *beta, *dof_work;
    int64_t *statuses;

    template <class D, class S>
    ElasticNetGridInput(D &d, S &s, int64_t n, int64_t p, int32_t intercept, int64_t n_alphas)
        : q(penalised_count(p, intercept)), X(d.take(n, p)), y(d.take(n)), G_base(d.take(p, p)),
          G(d.take(p, p)), g(d.take(p)), beta_grid(d.take(n_alphas, q)), Gcoef(d.take(p)),
          beta(d.take(p)), dof_work(d.take(3 * q * q + q)), statuses(s.take(n_alphas)) {}
};

}  // namespace crv::detail
