// Linear Kalman filter: the step functions of one period and the whole-sample
// loop built from exactly their arithmetic.
#include <cstring>

#include "arena.hpp"
#include "constants.hpp"
#include "fdot.hpp"
#include "filters.h"
#include "filters_layout.hpp"
#include "gemm.hpp"
#include "kalman_update.hpp"
#include "linalg.h"

using crv::detail::copy_f64;
using crv::detail::kLog2Pi;
using crv::detail::kalman_measurement_update;

crv_arena_size_t kf_arena_size(int64_t n, int64_t m, int64_t k) {
    return crv::detail::arena_size<crv::detail::KalmanArena>(n, m, k);
}

void kf_row_minus_vec(const double *Y, int64_t t, const double *yhat, double *out, int64_t m) {
    if (m <= 0) return;
    crv_vsub(Y + t * m, yhat, out, m);
}

void kf_predict_cov(const double *A, const double *P, const double *Q, double *tmp, double *P_out,
                    int64_t n) {
    crv_matmul(A, P, tmp, n, n, n);
    crv_matmul_abt_plus_c(tmp, A, Q, P_out, n, n, n);
}

void kf_measurement_cov(const double *Z, const double *P, const double *H, double *tmp, double *F,
                        int64_t n, int64_t m) {
    crv_matmul(Z, P, tmp, m, n, n);
    crv_matmul_abt_plus_c(tmp, Z, H, F, m, n, m);
}

void kf_pc_t(const double *P, const double *Z, double *PZt, int64_t n, int64_t m) {
    if (n <= 0 || m <= 0) return;
    crv_matmul_abt(P, Z, PZt, n, n, m);
}

void kf_chol_solve_row(const double *L, const double *G, int64_t i, double *y, double *x,
                       double *K, int64_t m) {
    if (m <= 0) return;
    crv_forward_subst(L, G + i * m, y, m);
    crv_backward_subst_chol_t(L, y, x, m);
    copy_f64(K + i * m, x, m);
}

void kf_gain_from_pc_t(const double *L, const double *PZt, double *y, double *x, double *K,
                       int64_t n, int64_t m) {
    if (n <= 0 || m <= 0) return;
    for (int64_t i = 0; i < n; ++i) kf_chol_solve_row(L, PZt, i, y, x, K, m);
}

void kf_state_update(const double *x_pred, const double *K, const double *v, double *x_filt,
                     int64_t n, int64_t m) {
    if (n <= 0) return;
    crv_matvec_plus_vec(K, v, x_pred, x_filt, n, m);
}

void kf_identity_minus(const double *M, double *out, int64_t n) {
    for (int64_t i = 0; i < n; ++i)
        for (int64_t j = 0; j < n; ++j) out[i * n + j] = (i == j ? 1.0 : 0.0) - M[i * n + j];
}

void kf_joseph_cov(const double *K, const double *Z, const double *P, const double *H, double *KZ,
                   double *IKZ, double *tmp, double *KH, double *P_out, int64_t n, int64_t m) {
    crv_matmul(K, Z, KZ, n, m, n);
    kf_identity_minus(KZ, IKZ, n);
    crv_matmul(IKZ, P, tmp, n, n, n);
    crv_matmul_abt(tmp, IKZ, P_out, n, n, n);
    crv_matmul(K, H, KH, n, m, m);
    // P_out(j, l) += fdot(row j of KH, row l of K), in place.
    if (n > 0 && m > 0) crv::detail::gemm_nt<true>(KH, K, P_out, P_out, n, m, n);
}

void kf_build_bqbt(const double *B, const double *S, double *tmp, double *Q, int64_t n,
                   int64_t k) {
    crv_matmul(B, S, tmp, n, k, k);
    crv_matmul_abt(tmp, B, Q, n, k, n);
    crv_sym_inplace(Q, n);
}

void kf_build_shock_projection(const double *B, const double *Z, const double *S, double *G,
                               double *M, int64_t n, int64_t k, int64_t m) {
    if (k <= 0 || m <= 0) return;
    for (int64_t i = 0; i < k; ++i)
        for (int64_t j = 0; j < m; ++j)
            G[i * m + j] = n > 0 ? crv::detail::fdot_strided(Z + j * n, B + i, k, n) : 0.0;
    crv_matmul(S, G, M, k, k, m);
}

int32_t kf_hot_loop(const kf_inputs *in, double *arena, const kf_outputs *out) {
    const int64_t n = in->n_states, m = in->n_obs, k = in->n_shocks, T = in->n_periods;
    const double *A = in->transition, *B = in->shock_loading, *Z = in->design;
    const double *d = in->obs_intercept, *S = in->shock_cov, *H = in->obs_cov;
    const bool sym = in->symmetrize != 0;
    const bool store = in->store_paths != 0;
    const bool shocks = store && in->want_shocks != 0;

    const auto a = crv::detail::carve<crv::detail::KalmanArena>(arena, nullptr, n, m, k);
    double *x_pred = a.x_pred, *x_filt = a.x_filt, *y_pred = a.y_pred, *y_filt = a.y_filt;
    double *v = a.v, *w = a.w, *u = a.u, *P_pred = a.P_pred, *P_filt = a.P_filt;
    double *prod = a.prod, *Q = a.Q, *F = a.F, *BS = a.BS, *M = a.M, *BtZt = a.BtZt;
    const crv::detail::KalmanBlocks blocks = a.blocks();
    kf_build_bqbt(B, S, BS, Q, n, k);
    if (shocks) kf_build_shock_projection(B, Z, S, BtZt, M, n, k, m);
    copy_f64(x_pred, in->x0, n);
    copy_f64(P_pred, in->P0, n * n);
    if (sym) crv_sym_inplace(P_pred, n);

    double ll = 0.0;
    const double m_log_2pi = static_cast<double>(m) * kLog2Pi;
    if (T < 1) {
        *out->loglik = 0.0;
        return 0;
    }

    for (int64_t t = 0; t < T; ++t) {
        crv_matvec_plus_vec(Z, x_pred, d, y_pred, m, n);
        kf_row_minus_vec(in->data, t, y_pred, v, m);
        double logdet, quad;
        if (!kalman_measurement_update(blocks, Z, H, n, m, sym, in->jitter, &logdet, &quad)) {
            *out->loglik = ll;
            return KF_CHOL_FAILED;
        }

        if (store) {
            if (shocks) crv_matvec(M, u, out->shocks + t * k, k, m);
            crv_matvec_plus_vec(Z, x_filt, d, y_filt, m, n);
            copy_f64(out->x_pred + t * n, x_pred, n);
            copy_f64(out->x_filt + t * n, x_filt, n);
            copy_f64(out->P_pred + t * n * n, P_pred, n * n);
            copy_f64(out->P_filt + t * n * n, P_filt, n * n);
            copy_f64(out->y_pred + t * m, y_pred, m);
            copy_f64(out->y_filt + t * m, y_filt, m);
            copy_f64(out->innov + t * m, v, m);
            copy_f64(out->std_innov + t * m, w, m);
            copy_f64(out->innov_cov + t * m * m, F, m * m);
        }

        crv_matvec(A, x_filt, x_pred, n, n);
        kf_predict_cov(A, P_filt, Q, prod, P_pred, n);
        if (sym) crv_sym_inplace(P_pred, n);
        ll = ll - 0.5 * ((logdet + m_log_2pi) + quad);
    }
    *out->loglik = ll;
    return 0;
}
