// Second-order perturbation solution: bicomplex-step Hessian of the model
// equations, its contraction with the first-order solution and the linear
// systems of the (x, x), (x, e), (e, e) and scale terms (docs/second_order.md).
#include <cmath>

#include "fdot.hpp"
#include "linalg.h"
#include "solve.h"
#include "solve_detail.hpp"
#include "solve_layout.hpp"

namespace {

constexpr double kBicomplexStep = 1e-9;
constexpr double kInvStepSquared = 1e18;  // 1 / h^2

// rhs = -(Q + J_lead X) for n rows of width w.
void negated_source(const double *Q, const double *j_lead, const double *X, double *rhs,
                    int64_t n, int64_t w) {
    crv_matmul(j_lead, X, rhs, n, n, w);
    for (int64_t i = 0; i < n * w; ++i) rhs[i] = -(Q[i] + rhs[i]);
}

}  // namespace

crv_arena_size_t crv_bicomplex_hessian_arena_size(int64_t n, int64_t p, int64_t m, int64_t neq) {
    return crv::detail::arena_size<crv::detail::HessianArena>(n, p, m, neq);
}

void crv_bicomplex_hessian(crv_residual_fn hessian, const double *x, const double *params,
                           int64_t n, int64_t p, int64_t m, int64_t neq, double *hess,
                           double *dwork) {
    const auto a = crv::detail::carve<crv::detail::HessianArena>(dwork, nullptr, n, p, m, neq);
    double *X_lead = a.X_lead, *X_cur = a.X_cur, *X_lag = a.X_lag, *theta = a.theta, *E = a.E;
    double *resid = a.resid;
    crv::detail::zero_f64(dwork, crv_bicomplex_hessian_arena_size(n, p, m, neq).doubles);
    for (int64_t i = 0; i < n; ++i) X_lead[4 * i] = X_cur[4 * i] = X_lag[4 * i] = x[i];
    for (int64_t i = 0; i < p; ++i) theta[4 * i] = params[i];
    const int64_t D = 3 * n + m;
    // Stacked v = (x(t-1), x(t), x(t+1), e): the bicomplex value of entry i.
    auto entry = [&](int64_t i) -> double * {
        if (i < n) return X_lag + 4 * i;
        if (i < 2 * n) return X_cur + 4 * (i - n);
        if (i < 3 * n) return X_lead + 4 * (i - 2 * n);
        return E + 4 * (i - 3 * n);
    };
    for (int64_t i = 0; i < D; ++i) {
        for (int64_t j = i; j < D; ++j) {
            double *vi = entry(i), *vj = entry(j);
            vi[1] = kBicomplexStep;
            vj[2] = kBicomplexStep;
            hessian(X_lead, X_cur, X_lag, E, theta, resid);
            for (int64_t k = 0; k < neq; ++k) {
                const double d = resid[4 * k + 3] * kInvStepSquared;
                hess[(k * D + i) * D + j] = d;
                hess[(k * D + j) * D + i] = d;
            }
            vi[1] = 0.0;
            vj[2] = 0.0;
        }
    }
}

void crv_contract2(const double *H, const double *A, int64_t a, const double *B, int64_t b,
                   int64_t count, int64_t N, double *tmp, double *out) {
    for (int64_t k = 0; k < count; ++k) {
        double *out_k = out + k * a * b;
        if (N <= 0) {
            crv::detail::zero_f64(out_k, a * b);
            continue;
        }
        crv_matmul(H + k * N * N, B, tmp, N, N, b);
        crv_matmul_atb(A, tmp, out_k, N, a, b);
    }
}

crv_arena_size_t crv_second_order_arena_size(int64_t n, int64_t nx, int64_t m) {
    return crv::detail::arena_size<crv::detail::SecondOrderArena>(n, nx, m);
}

int64_t crv_second_order(const double *j_lead, const double *j_cur, const double *hess,
                         const double *gx, const double *hx, const double *impact,
                         const double *sigma, int64_t n, int64_t nx, int64_t m, double *g_xx,
                         double *h_xx, double *g_xe, double *h_xe, double *g_ee, double *h_ee,
                         double *g_ss, double *h_ss, double *dwork, int64_t *iwork) {
    const int64_t ny = n - nx, k2 = nx * nx, D = 3 * n + m, nk2 = n * k2;
    const auto ws = crv::detail::carve<crv::detail::SecondOrderArena>(dwork, iwork, n, nx, m);
    double *sys = ws.sys, *Qxx = ws.Qxx, *Gxx = ws.Gxx, *Qss = ws.Qss, *M0 = ws.M0;
    double *Mss = ws.Mss, *ss_sol = ws.ss_sol, *Q = ws.Q, *W = ws.W, *rhs = ws.rhs;
    double *Phi = ws.Phi, *LPhi = ws.LPhi, *ss_rhs = ws.ss_rhs, *Vx = ws.Vx, *Ve = ws.Ve;
    double *We = ws.We, *tmp = ws.tmp;
    int64_t *piv = ws.piv;

    // First-order derivatives of v = (y(t-1), y(t), y(t+1), e) in (x(t-1), e(t)).
    crv::detail::copy_f64(Phi, hx, nx * nx);
    crv::detail::copy_f64(Phi + nx * nx, gx, ny * nx);
    const double *Rx = impact;  // state rows of the impact
    crv::detail::zero_f64(Vx, D * nx);
    crv::detail::zero_f64(Ve, D * m);
    crv::detail::zero_f64(We, D * m);
    for (int64_t i = 0; i < nx; ++i) Vx[i * nx + i] = 1.0;
    crv::detail::copy_f64(Vx + n * nx, Phi, n * nx);
    crv_matmul(Phi, hx, Vx + 2 * n * nx, n, nx, nx);
    crv::detail::copy_f64(Ve + n * m, impact, n * m);
    crv_matmul(Phi, Rx, Ve + 2 * n * m, n, nx, m);
    for (int64_t i = 0; i < m; ++i) Ve[(3 * n + i) * m + i] = 1.0;
    crv::detail::copy_f64(We + 2 * n * m, impact, n * m);

    // M0 = [J_lead Phi, 0] - J_cur: the coefficient of y(t)'s second-order terms.
    crv_matmul(j_lead, Phi, LPhi, n, n, nx);
    for (int64_t k = 0; k < n; ++k)
        for (int64_t i = 0; i < n; ++i)
            M0[k * n + i] = (i < nx ? LPhi[k * nx + i] : 0.0) - j_cur[k * n + i];

    // (x, x): M0 G + J_lead G (hx (x) hx) = -Q_xx, unknown (i, c) at i k2 + c.
    crv_contract2(hess, Vx, nx, Vx, nx, n, D, tmp, Qxx);
    if (nk2 > 0) {
        for (int64_t k = 0; k < n; ++k)
            for (int64_t a = 0; a < nx; ++a)
                for (int64_t b = 0; b < nx; ++b) {
                    double *row = sys + (k * k2 + a * nx + b) * nk2;
                    for (int64_t i = 0; i < n; ++i) {
                        const double lead = j_lead[k * n + i], m0 = M0[k * n + i];
                        double *blk = row + i * k2;
                        for (int64_t j = 0; j < nx; ++j)
                            for (int64_t l = 0; l < nx; ++l)
                                blk[j * nx + l] = lead * (hx[j * nx + a] * hx[l * nx + b]);
                        blk[a * nx + b] += m0;
                    }
                }
        for (int64_t i = 0; i < nk2; ++i) Qxx[i] = -Qxx[i];
        if (crv_lu_factor_inplace(sys, piv, nk2) != 0) return CRV_SECOND_ORDER_SINGULAR;
        crv_lu_solve(sys, piv, Qxx, Gxx, nk2, 1);
    }

    // (x, e) and (e, e): M0 G = -(Q + J_lead (A^T G_xx,i B)).
    for (int64_t i = 0; i < n * n; ++i) Mss[i] = M0[i] + j_lead[i];
    if (crv_lu_factor_inplace(M0, piv, n) != 0) return CRV_SECOND_ORDER_SINGULAR;
    if (m > 0) {
        crv_contract2(hess, Vx, nx, Ve, m, n, D, tmp, Q);
        crv_contract2(Gxx, hx, nx, Rx, m, n, nx, tmp, W);
        negated_source(Q, j_lead, W, rhs, n, nx * m);
        crv_lu_solve(M0, piv, rhs, Q, n, nx * m);
        crv::detail::copy_f64(h_xe, Q, nx * nx * m);
        crv::detail::copy_f64(g_xe, Q + nx * nx * m, ny * nx * m);

        crv_contract2(hess, Ve, m, Ve, m, n, D, tmp, Q);
        crv_contract2(Gxx, Rx, m, Rx, m, n, nx, tmp, W);
        negated_source(Q, j_lead, W, rhs, n, m * m);
        crv_lu_solve(M0, piv, rhs, W, n, m * m);  // W holds G_ee from here on
        crv::detail::copy_f64(h_ee, W, nx * m * m);
        crv::detail::copy_f64(g_ee, W + nx * m * m, ny * m * m);
    }

    // Scale: (M0 + J_lead) G_ss = -(sum Sigma_ab (R^T H_lead R)_ab + J_lead G_ee:Sigma).
    for (int64_t k = 0; k < n; ++k) ss_rhs[k] = 0.0;
    if (m > 0) {
        crv_contract2(hess, We, m, We, m, n, D, tmp, Qss);
        double *ge = rhs;
        for (int64_t k = 0; k < n; ++k) {
            double s = 0.0, g = 0.0;
            for (int64_t ab = 0; ab < m * m; ++ab) {
                s = std::fma(Qss[k * m * m + ab], sigma[ab], s);
                g = std::fma(W[k * m * m + ab], sigma[ab], g);
            }
            ss_rhs[k] = s;
            ge[k] = g;
        }
        for (int64_t k = 0; k < n; ++k)
            ss_rhs[k] = -(ss_rhs[k] + crv::detail::fdot(j_lead + k * n, ge, n));
    }
    if (crv_lu_factor_inplace(Mss, piv, n) != 0) return CRV_SECOND_ORDER_SCALE_SINGULAR;
    crv_lu_solve(Mss, piv, ss_rhs, ss_sol, n, 1);

    crv::detail::copy_f64(h_xx, Gxx, nx * k2);
    crv::detail::copy_f64(g_xx, Gxx + nx * k2, ny * k2);
    crv::detail::copy_f64(h_ss, ss_sol, nx);
    crv::detail::copy_f64(g_ss, ss_sol + nx, ny);
    return 0;
}

crv_arena_size_t crv_sgu_klein_solve2_arena_size(int64_t n, int64_t nx, int64_t ny, int64_t p,
                                                 int64_t m, int64_t N) {
    return crv::detail::arena_size<crv::detail::Solve2Arena>(n, nx, ny, p, m, N);
}

int64_t crv_sgu_klein_solve2(const crv_klein_model *model, crv_klein_solution *sol,
                             crv_klein_second_order *sol2, double *dwork, int64_t *iwork) {
    int64_t status = crv_klein_linearize(model, sol, dwork, iwork);
    if (status != 0) return status;
    status = crv_klein_from_pencil(model, sol, dwork, iwork);
    if (status != 0) return status;
    const int64_t n = model->n, nx = model->nx, m = model->m;
    if (nx * m > 0) crv::detail::copy_f64(sol2->eta, sol->impact, nx * m);
    const int64_t N = sol->n_pred + 2 * sol->n_mixed + sol->n_fwd;
    const auto a = crv::detail::carve<crv::detail::Solve2Arena>(dwork, iwork, n, nx, model->ny,
                                                                model->p, m, N);
    double *scratch = a.stage;
    crv_bicomplex_hessian(model->hessian, sol->ss, model->params, n, model->p, m, n, sol2->hess,
                          scratch);
    status = crv_second_order(sol->j_lead, sol->j_cur, sol2->hess, sol->gx, sol->hx, sol->impact,
                              model->sigma, n, nx, m, sol2->g_xx, sol2->h_xx, sol2->g_xe,
                              sol2->h_xe, sol2->g_ee, sol2->h_ee, sol2->g_ss, sol2->h_ss, scratch,
                              a.stage_slots);
    if (status == 0) return 0;
    return status == CRV_SECOND_ORDER_SCALE_SINGULAR ? CRV_SOLVE2_SCALE_SINGULAR : CRV_SOLVE2_SINGULAR;
}
