// Regression solvers on Gram quantities: OLS and ridge by Cholesky, the ridge
// grid search, the centred Gram, lasso and elastic net by coordinate descent,
// the elastic-net degrees of freedom and the LARS-lasso homotopy.
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "constants.hpp"
#include "fdot.hpp"
#include "linalg.h"
#include "regression.h"
#include "regression_detail.hpp"

using crv::detail::faxpy;
using crv::detail::fdot;

namespace crv::detail {

void gram_scaled(const double *X, const double *y, int64_t n, int64_t p, double *G,
                 double *rhs) {
    if (p < 1) return;
    crv_gram(X, G, n, p);
    crv_gram_rhs(X, y, rhs, n, p);
    if (n < 1) return;  // no rows: the Gram stays 0 rather than 0/0
    const double dn = static_cast<double>(n);
    for (int64_t i = 0; i < p * p; ++i) G[i] /= dn;
    for (int64_t j = 0; j < p; ++j) rhs[j] /= dn;
}

double residual_ss(const double *X, const double *y, const double *beta, int64_t n, int64_t p) {
    double rss = 0.0;
    for (int64_t i = 0; i < n; ++i) {
        const double r = y[i] - fdot(X + i * p, beta, p);
        rss = std::fma(r, r, rss);
    }
    return rss;
}

double criterion_score(double rss, double dof, int64_t n, int64_t criterion) {
    if (criterion == 3) return n <= 0 ? 0.0 : rss;
    if (n <= 0 || rss == 0.0) return -std::numeric_limits<double>::infinity();
    const double dn = static_cast<double>(n);
    const double fit = dn * std::log(rss / dn);
    return criterion == 1 ? fit + 2.0 * dof : fit + std::log(dn) * dof;
}

double trace_solve(const double *L, const double *B, double *col, int64_t k) {
    double trace = 0.0;
    for (int64_t j = 0; j < k; ++j) {
        for (int64_t i = 0; i < k; ++i) col[i] = B[i * k + j];
        crv_forward_subst(L, col, col, k);
        crv_backward_subst_chol_t(L, col, col, k);
        trace += col[j];
    }
    return trace;
}

}  // namespace crv::detail

using crv::detail::criterion_score;
using crv::detail::fill_nan;
using crv::detail::gram_scaled;
using crv::detail::residual_ss;
using crv::detail::trace_solve;

namespace {

using crv::detail::kInf;
using crv::detail::kNaN;

inline void copy(double *dst, const double *src, int64_t count) {
    if (count > 0 && dst != src)
        std::memmove(dst, src, static_cast<size_t>(count) * sizeof(double));
}

// G + lambda on the penalised diagonal (all of it, or all but (0, 0)).
void penalise(const double *G, double *G_pen, int64_t p, int32_t intercept, double lambda) {
    copy(G_pen, G, p * p);
    for (int64_t j = intercept ? 1 : 0; j < p; ++j) G_pen[j * (p + 1)] += lambda;
}

// beta = (L L^T)^{-1} rhs.
void chol_apply(const double *L, const double *rhs, double *beta, int64_t p) {
    crv_forward_subst(L, rhs, beta, p);
    crv_backward_subst_chol_t(L, beta, beta, p);
}

inline double soft_threshold(double rho, double lambda) {
    if (rho > lambda) return rho - lambda;
    if (rho < -lambda) return rho + lambda;
    return 0.0;
}

// Cyclic coordinate descent shared by lasso (l2 = 0, Gb = G beta) and the
// elastic net (Gb = (G + l2 I) beta); beta and Gb hold the start.
int64_t coordinate_descent(const double *G, const double *c, int64_t p, int64_t max_iter,
                           double *beta, double *Gb, double l1, double l2, double tol) {
    for (int64_t sweep = 0; sweep < max_iter; ++sweep) {
        double max_delta = 0.0;
        for (int64_t j = 0; j < p; ++j) {
            const double h = G[j * (p + 1)] + l2;
            if (h <= 0.0) continue;
            const double rho = c[j] - Gb[j] + beta[j] * h;
            const double z = soft_threshold(rho, l1);
            const double delta = z / h - beta[j];
            if (!(std::fabs(delta) > tol)) continue;
            for (int64_t i = 0; i < p; ++i) Gb[i] = std::fma(delta, G[i * p + j], Gb[i]);
            if (l2 != 0.0) Gb[j] = std::fma(delta, l2, Gb[j]);
            beta[j] = z / h;
            if (std::fabs(delta) > max_delta) max_delta = std::fabs(delta);
        }
        if (max_delta < tol) return 0;
    }
    return CRV_REG_NO_CONVERGENCE;
}

}  // namespace

int64_t crv_ols_chol_solve(const double *X, const double *y, int64_t n, int64_t p, double *beta,
                           double *L, int64_t *status, double *G, double *rhs) {
    crv_gram(X, G, n, p);
    crv_gram_rhs(X, y, rhs, n, p);
    if (crv_chol_solve(G, rhs, beta, L, p) != 0) {
        fill_nan(beta, p);
        *status = CRV_REG_NOT_PD;
    } else {
        *status = 0;
    }
    return *status;
}

void crv_chol_solve_L2(const double *X, const double *y, int64_t n, int64_t p, int32_t intercept,
                       double *beta, double *L, double *dof, double lambda, int64_t *status,
                       double *G, double *G0, double *rhs, double *tmp) {
    gram_scaled(X, y, n, p, G0, rhs);
    penalise(G0, G, p, intercept, lambda);
    if (crv_chol(G, L, p, 0.0) != 0) {
        fill_nan(beta, p);
        *dof = kNaN;
        *status = CRV_REG_NOT_PD;
        return;
    }
    chol_apply(L, rhs, beta, p);
    *dof = p < 1 ? 0.0 : trace_solve(L, G0, tmp, p);
    *status = 0;
}

void crv_ridge_grid_search(const double *X, const double *y, int64_t n, int64_t p,
                           const double *alphas, int64_t n_alphas, int32_t criterion,
                           int32_t intercept, double *best_alpha, double *best_beta,
                           double *best_score, int64_t *status, double *G, double *G_pen,
                           double *rhs, double *L, double *beta, double *tmp) {
    gram_scaled(X, y, n, p, G, rhs);
    if (n_alphas < 1) {
        *best_alpha = kNaN;
        *best_score = kInf;
        fill_nan(best_beta, p);
        *status = CRV_REG_NOT_PD;
        return;
    }
    bool have_best = false;
    for (int64_t k = 0; k < n_alphas; ++k) {
        const double a = alphas[k];
        penalise(G, G_pen, p, intercept, a);
        if (crv_chol(G_pen, L, p, 0.0) != 0) {
            if (k == 0) {
                *best_alpha = a;
                *best_score = kInf;
                fill_nan(best_beta, p);
                *status = CRV_REG_NOT_PD;
            }
            continue;
        }
        chol_apply(L, rhs, beta, p);
        const double dof = p < 1 ? 0.0 : trace_solve(L, G, tmp, p);
        const double score = criterion_score(residual_ss(X, y, beta, n, p), dof, n, criterion);
        if (!have_best || score < *best_score) {
            have_best = true;
            *best_alpha = a;
            *best_score = score;
            copy(best_beta, beta, p);
            *status = 0;
        }
    }
}

void crv_mc_sparse_gram(const double *X, const double *y, int64_t n, int64_t p, int32_t intercept,
                        double *G, double *G_c, double *c) {
    gram_scaled(X, y, n, p, G, c);
    if (p < 1) return;
    if (!intercept) {
        copy(G_c, G, p * p);
        return;
    }
    const int64_t m = p - 1;
    const double ybar = c[0];
    for (int64_t i = 0; i < m; ++i)
        for (int64_t j = 0; j < m; ++j)
            G_c[i * m + j] = G[(i + 1) * p + (j + 1)] - G[(i + 1) * p] * G[j + 1];
    for (int64_t i = 0; i < m; ++i) c[i] = c[i + 1] - G[i + 1] * ybar;
    c[m] = ybar;
}

int64_t crv_lasso_gram_cd(const double *G, const double *c, int64_t p, int64_t max_iter,
                          double *beta, double *Gb, double lambda, double tol) {
    if (p < 1) return (max_iter > 0 && tol > 0.0) ? 0 : CRV_REG_NO_CONVERGENCE;
    std::memset(beta, 0, static_cast<size_t>(p) * sizeof(double));
    std::memset(Gb, 0, static_cast<size_t>(p) * sizeof(double));
    return coordinate_descent(G, c, p, max_iter, beta, Gb, lambda, 0.0, tol);
}

int64_t crv_en_gram_cd(const double *G, const double *c, int64_t p, const double *beta0,
                       int64_t max_iter, double *beta, double *Gb, double l1, double l2,
                       double tol) {
    if (p < 1) return (max_iter > 0 && tol > 0.0) ? 0 : CRV_REG_NO_CONVERGENCE;
    copy(beta, beta0, p);
    for (int64_t i = 0; i < p; ++i) Gb[i] = std::fma(l2, beta[i], fdot(G + i * p, beta, p));
    return coordinate_descent(G, c, p, max_iter, beta, Gb, l1, l2, tol);
}

void crv_en_gram_cd_path(const double *G, const double *c, int64_t p, const double *lambdas,
                         int64_t n_lambdas, int64_t max_iter, double *betas, int64_t *statuses,
                         double l1_ratio, double tol, double *Gb, double *warm) {
    if (p > 0) std::memset(warm, 0, static_cast<size_t>(p) * sizeof(double));
    if (n_lambdas < 1) return;
    const bool ascending = n_lambdas >= 2 && lambdas[0] < lambdas[n_lambdas - 1];
    for (int64_t step = 0; step < n_lambdas; ++step) {
        const int64_t k = ascending ? n_lambdas - 1 - step : step;
        const double lambda = lambdas[k];
        double *row = betas + k * (p > 0 ? p : 0);
        statuses[k] = crv_en_gram_cd(G, c, p, warm, max_iter, row, Gb, l1_ratio * lambda,
                                     (1.0 - l1_ratio) * lambda, tol);
        copy(warm, row, p);
    }
}

double crv_en_active_dof(const double *G, const double *beta, int64_t p, int32_t intercept,
                         double *work, double l2, double tol) {
    const double base = intercept ? 1.0 : 0.0;
    if (p < 1) return base;
    int64_t k = 0;
    for (int64_t j = 0; j < p; ++j)
        if (std::fabs(beta[j]) > tol) ++k;
    if (k == 0) return base;
    double *G_AA = work;
    double *G_pen = work + p * p;
    double *L = work + 2 * p * p;
    double *col = work + 3 * p * p;
    int64_t r = 0;
    for (int64_t i = 0; i < p; ++i) {
        if (!(std::fabs(beta[i]) > tol)) continue;
        int64_t s = 0;
        for (int64_t j = 0; j < p; ++j) {
            if (!(std::fabs(beta[j]) > tol)) continue;
            G_AA[r * k + s] = G[i * p + j];
            G_pen[r * k + s] = G[i * p + j] + (r == s ? l2 : 0.0);
            ++s;
        }
        ++r;
    }
    if (crv_chol(G_pen, L, k, 0.0) != 0) return static_cast<double>(k) + base;
    return base + trace_solve(L, G_AA, col, k);
}

namespace {

// Solves M u = rhs (M k x k, overwritten) by Gaussian elimination with partial
// pivoting; the largest |pivot| wins, ties keep the current row. u holds rhs
// on entry.
void gauss_solve(double *M, double *u, int64_t k) {
    for (int64_t i = 0; i < k; ++i) {
        int64_t best = i;
        double best_size = std::fabs(M[i * k + i]);
        for (int64_t r = i + 1; r < k; ++r)
            if (std::fabs(M[r * k + i]) > best_size) {
                best_size = std::fabs(M[r * k + i]);
                best = r;
            }
        if (best != i) {
            for (int64_t j = 0; j < k; ++j) std::swap(M[i * k + j], M[best * k + j]);
            std::swap(u[i], u[best]);
        }
        const double pivot = M[i * k + i];
        for (int64_t r = i + 1; r < k; ++r) {
            const double f = M[r * k + i] / pivot;
            for (int64_t j = i + 1; j < k; ++j) M[r * k + j] = std::fma(-f, M[i * k + j], M[r * k + j]);
            u[r] = std::fma(-f, u[i], u[r]);
        }
    }
    for (int64_t i = k - 1; i >= 0; --i)
        u[i] = (u[i] - fdot(M + i * k + i + 1, u + i + 1, k - 1 - i)) / M[i * k + i];
}

}  // namespace

int64_t crv_lars_lasso_gram(const double *G, const double *c, int64_t p, int64_t max_steps,
                            double *knot_lambdas, double *knot_betas, int64_t *n_knots,
                            double *work, double lambda_min) {
    const int64_t pp = p > 0 ? p : 0;
    if (max_steps < 0) {  // no room even for the first knot
        *n_knots = 0;
        return CRV_REG_NO_CONVERGENCE;
    }
    double *beta = work;
    double *sign = beta + pp;
    double *corr = sign + pp;
    double *s_A = corr + pp;
    double *u = s_A + pp;
    double *direction = u + pp;
    double *a = direction + pp;
    double *G_AA = a + pp;
    double *active = G_AA + pp * pp;

    double C = 0.0;
    for (int64_t j = 0; j < pp; ++j) {
        beta[j] = 0.0;
        sign[j] = 0.0;
        active[j] = 0.0;
        corr[j] = c[j];
        if (std::fabs(c[j]) > C) C = std::fabs(c[j]);
    }
    knot_lambdas[0] = C;
    for (int64_t j = 0; j < pp; ++j) knot_betas[j] = 0.0;
    if (lambda_min >= C) {
        *n_knots = 1;
        return 0;
    }
    if (max_steps < 1) {
        *n_knots = 1;
        return CRV_REG_NO_CONVERGENCE;
    }

    bool dropped = false;
    for (int64_t step = 1;; ++step) {
        // 1. Add the inactive variable of largest |corr| (lowest index on ties).
        if (!dropped) {
            int64_t pick = -1;
            double pick_size = 0.0;
            for (int64_t j = 0; j < pp; ++j) {
                if (active[j] != 0.0) continue;
                if (pick < 0 || std::fabs(corr[j]) > pick_size) {
                    pick = j;
                    pick_size = std::fabs(corr[j]);
                }
            }
            if (pick >= 0) {
                active[pick] = 1.0;
                sign[pick] = corr[pick] > 0.0 ? 1.0 : -1.0;
                C = pick_size;
            } else {
                bool any_active = false;
                for (int64_t j = 0; j < pp; ++j) any_active = any_active || active[j] != 0.0;
                if (!any_active) {
                    *n_knots = step;
                    return 0;
                }
            }
        }
        dropped = false;

        // 2. Equiangular system G_AA u = s_A over the active set in index order.
        int64_t k = 0;
        for (int64_t j = 0; j < pp; ++j)
            if (active[j] != 0.0) ++k;
        int64_t r = 0;
        for (int64_t i = 0; i < pp; ++i) {
            if (active[i] == 0.0) continue;
            int64_t s = 0;
            for (int64_t j = 0; j < pp; ++j)
                if (active[j] != 0.0) G_AA[r * k + s++] = G[i * p + j];
            s_A[r++] = sign[i];
        }
        copy(u, s_A, k);
        gauss_solve(G_AA, u, k);
        const double v = fdot(s_A, u, k);
        if (!(v > 0.0) || !std::isfinite(v)) {
            *n_knots = step;
            return CRV_REG_NO_CONVERGENCE;
        }

        // 3. Direction and a = G direction.
        const double A_A = 1.0 / std::sqrt(v);
        r = 0;
        for (int64_t j = 0; j < pp; ++j) direction[j] = active[j] != 0.0 ? A_A * u[r++] : 0.0;
        for (int64_t i = 0; i < pp; ++i) a[i] = fdot(G + i * p, direction, pp);

        // 4. Step to the next variable entering.
        double gamma = C / A_A;
        for (int64_t j = 0; j < pp; ++j) {
            if (active[j] != 0.0) continue;
            if (A_A - a[j] > 1e-14) {
                const double g = (C - corr[j]) / (A_A - a[j]);
                if (g > 0.0 && g < gamma) gamma = g;
            }
            if (A_A + a[j] > 1e-14) {
                const double g = (C + corr[j]) / (A_A + a[j]);
                if (g > 0.0 && g < gamma) gamma = g;
            }
        }
        // 5. Lasso modification: stop where an active coefficient crosses zero.
        int64_t drop = -1;
        for (int64_t m = 0; m < pp; ++m) {
            if (active[m] == 0.0 || direction[m] == 0.0) continue;
            const double g = -beta[m] / direction[m];
            if (g > 0.0 && g < gamma) {
                gamma = g;
                drop = m;
            }
        }

        // 6. Move along the direction.
        faxpy(gamma, direction, beta, pp);
        faxpy(-gamma, a, corr, pp);
        if (drop >= 0) {
            active[drop] = 0.0;
            beta[drop] = 0.0;
            dropped = true;
        }

        // 7. Knot.
        C = C - gamma * A_A;
        if (C < 0.0 && C > -lambda_min) C = 0.0;
        knot_lambdas[step] = C;
        copy(knot_betas + step * pp, beta, pp);

        // 8. Stop at lambda_min or the step cap.
        if (lambda_min >= C) {
            *n_knots = step + 1;
            return 0;
        }
        if (step >= max_steps) {
            *n_knots = step + 1;
            return CRV_REG_NO_CONVERGENCE;
        }
    }
}

void crv_lasso_path_eval(const double *knot_lambdas, const double *knot_betas, int64_t n_knots,
                         int64_t p, const double *lambdas, int64_t n_lambdas, double *out) {
    if (n_lambdas <= 0 || p <= 0) return;
    for (int64_t k = 0; k < n_lambdas; ++k) {
        double *row = out + k * p;
        std::memset(row, 0, static_cast<size_t>(p) * sizeof(double));
        if (n_knots < 1) continue;
        const double lambda = lambdas[k];
        if (lambda >= knot_lambdas[0]) continue;
        if (lambda <= knot_lambdas[n_knots - 1]) {
            copy(row, knot_betas + (n_knots - 1) * p, p);
            continue;
        }
        int64_t lo = 0, hi = n_knots - 1;
        while (hi - lo > 1) {
            const int64_t mid = (lo + hi) / 2;
            if (lambda <= knot_lambdas[mid])
                lo = mid;
            else
                hi = mid;
        }
        const double l_lo = knot_lambdas[lo], l_hi = knot_lambdas[hi];
        const double *b_lo = knot_betas + lo * p;
        const double *b_hi = knot_betas + hi * p;
        for (int64_t j = 0; j < p; ++j)
            row[j] = b_lo[j] + (b_hi[j] - b_lo[j]) * (lambda - l_lo) / (l_hi - l_lo);
    }
}
