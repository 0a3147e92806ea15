// Disturbance smoother (Durbin and Koopman) over the missing-data filter:
// the forward pass keeps each period's filtered gain, inverse innovation
// covariance and F^-1 v; the backward pass runs r and N from the end of the
// sample and writes the smoothed states, shocks and measurement errors.
#include <cstdint>

#include "arena.hpp"
#include "fdot.hpp"
#include "filters.h"
#include "filters_layout.hpp"
#include "kalman_missing.hpp"
#include "linalg.h"

using crv::detail::copy_f64;
using crv::detail::fdot_strided;
using crv::detail::zero_f64;

namespace {

// F^-1 = L^-T L^-1 column by column from the lower factor L (m x m), through
// the scratch vectors y and x; symmetrised.
void chol_inverse(const double *L, double *Finv, double *y, double *x, int64_t m) {
    for (int64_t i = 0; i < m; ++i) {
        zero_f64(y, m);
        y[i] = 1.0;
        crv_forward_subst(L, y, y, m);
        crv_backward_subst_chol_t(L, y, x, m);
        for (int64_t j = 0; j < m; ++j) Finv[j * m + i] = x[j];
    }
    crv_sym_inplace(Finv, m);
}

// The forward pass's hook: the period's K (n x m_o), F_o^-1 and u_o.
struct KeepUpdate {
    const crv::detail::SmootherArena &a;
    int64_t n, m;

    void operator()(const crv::detail::MissingPeriod &p) const {
        const int64_t mo = p.m_obs;
        if (mo == 0) return;
        copy_f64(a.K_all + p.t * n * m, p.blocks->K, n * mo);
        chol_inverse(p.blocks->L, a.Finv_all + p.t * m * m, p.blocks->gain_y, p.blocks->gain_x,
                     mo);
        copy_f64(a.u_all + p.t * m, p.blocks->u, mo);
    }
};

// out = C - M (rows x rows), symmetrised.
void minus_sym(const double *C, const double *M, double *out, int64_t rows) {
    for (int64_t i = 0; i < rows * rows; ++i) out[i] = C[i] - M[i];
    crv_sym_inplace(out, rows);
}

}  // namespace

crv_arena_size_t kf_smoother_arena_size(int64_t n, int64_t m, int64_t k, int64_t T) {
    return crv::detail::arena_size<crv::detail::SmootherArena>(n, m, k, T);
}

int32_t kf_smoother(const kf_inputs *in, double *arena, const kf_outputs *filt,
                    const kf_smoother_outputs *out) {
    const int64_t n = in->n_states, m = in->n_obs, k = in->n_shocks, T = in->n_periods;
    const auto a = crv::detail::carve<crv::detail::SmootherArena>(arena, nullptr, n, m, k, T);
    const int32_t status =
        crv::detail::filter_missing_run(in, a.filter, filt, true, KeepUpdate{a, n, m});
    if (status != 0 || T < 1) return status;

    const double *A = in->transition, *Z = in->design, *H = in->obs_cov, *S = in->shock_cov;
    const double *BS = a.filter.kf.BS;
    for (int64_t i = 0; i < n; ++i)
        for (int64_t j = 0; j < n; ++j) a.At[i * n + j] = A[j * n + i];
    for (int64_t c = 0; c < k; ++c)
        for (int64_t i = 0; i < n; ++i) a.SBt[c * n + i] = BS[i * k + c];
    zero_f64(a.r, n);
    zero_f64(a.N, n * n);

    for (int64_t t = T - 1; t >= 0; --t) {
        const double *y = in->data + t * m;
        const int64_t mo = crv::detail::count_observed(y, m);
        const bool all = mo == m;

        // The information of the periods after t, carried back through A.
        if (t == T - 1) {
            zero_f64(a.r_bar, n);
            zero_f64(a.N_bar, n * n);
        } else {
            crv_matvec(a.At, a.r, a.r_bar, n, n);
            crv_matmul(a.At, a.N, a.prod, n, n, n);
            crv_matmul(a.prod, A, a.N_bar, n, n, n);
            crv_sym_inplace(a.N_bar, n);
        }

        double *meas_err = out->meas_err + t * m;
        double *meas_cov = out->meas_err_cov ? out->meas_err_cov + t * m * m : nullptr;
        if (mo > 0) {
            const double *K = a.K_all + t * n * m, *Finv = a.Finv_all + t * m * m;
            const double *u = a.u_all + t * m;
            const double *Zo = Z, *Hc = H;
            if (!all) {
                crv::detail::pack_rows(y, Z, m, n, a.filter.Zo);
                crv::detail::pack_columns(y, H, m, m, mo, a.Hc);
                Zo = a.filter.Zo;
                Hc = a.Hc;
            }
            // q = F^-1 v - K^T A^T r;  D = F^-1 + K^T (A^T N A) K.
            for (int64_t j = 0; j < mo; ++j) a.q[j] = u[j] - fdot_strided(a.r_bar, K + j, mo, n);
            crv_matmul(a.N_bar, K, a.G, n, n, mo);
            crv_matmul_atb(K, a.G, a.D, n, mo, mo);
            for (int64_t i = 0; i < mo * mo; ++i) a.D[i] += Finv[i];
            crv_sym_inplace(a.D, mo);
            // r = Z_o^T q + A^T r;  N = A^T N A + Z_o^T D Z_o - G Z_o - (G Z_o)^T.
            for (int64_t i = 0; i < n; ++i) a.r[i] = a.r_bar[i] + fdot_strided(a.q, Zo + i, n, mo);
            crv_matmul(a.D, Zo, a.DZ, mo, mo, n);
            crv_matmul_atb(Zo, a.DZ, a.prod, mo, n, n);
            crv_matmul(a.G, Zo, a.prod2, n, mo, n);
            for (int64_t i = 0; i < n; ++i)
                for (int64_t j = 0; j < n; ++j)
                    a.N[i * n + j] = ((a.N_bar[i * n + j] + a.prod[i * n + j]) -
                                      a.prod2[i * n + j]) - a.prod2[j * n + i];
            crv_sym_inplace(a.N, n);
            // u(t): H_.o q, H - H_.o D H_o.
            crv_matvec(Hc, a.q, meas_err, m, mo);
            if (meas_cov) {
                crv_matmul(Hc, a.D, a.HD, m, mo, mo);
                crv_matmul_abt(a.HD, Hc, meas_cov, m, mo, m);
                minus_sym(H, meas_cov, meas_cov, m);
            }
        } else {
            copy_f64(a.r, a.r_bar, n);
            copy_f64(a.N, a.N_bar, n * n);
            zero_f64(meas_err, m);
            if (meas_cov) copy_f64(meas_cov, H, m * m);
        }

        // x(t): x_pred + P_pred r, P_pred - P_pred N P_pred.
        const double *x_pred = filt->x_pred + t * n, *P_pred = filt->P_pred + t * n * n;
        crv_matvec_plus_vec(P_pred, a.r, x_pred, out->x_smooth + t * n, n, n);
        if (out->P_smooth) {
            crv_matmul(P_pred, a.N, a.prod, n, n, n);
            crv_matmul(a.prod, P_pred, a.prod2, n, n, n);
            minus_sym(P_pred, a.prod2, out->P_smooth + t * n * n, n);
        }
        // e(t): S B^T r, S - S B^T N B S.
        crv_matvec(a.SBt, a.r, out->shocks + t * k, k, n);
        if (out->shocks_cov) {
            double *cov = out->shocks_cov + t * k * k;
            crv_matmul(a.SBt, a.N, a.SBtN, k, n, n);
            crv_matmul_abt(a.SBtN, a.SBt, cov, k, n, k);
            minus_sym(S, cov, cov, k);
        }
    }
    return 0;
}
