// Extended Kalman filter: linear state equation, observation function and its
// Jacobian supplied as callbacks and linearised at each predicted state.
#include <cmath>
#include <cstring>

#include "arena.hpp"
#include "constants.hpp"
#include "filters.h"
#include "filters_layout.hpp"
#include "kalman_update.hpp"
#include "linalg.h"

using crv::detail::copy_f64;
using crv::detail::kLog2Pi;
using crv::detail::kalman_measurement_update;

crv_arena_size_t ekf_arena_size(int64_t n, int64_t m, int64_t k) {
    return crv::detail::arena_size<crv::detail::ExtendedArena>(n, m, k);
}

int32_t ekf_hot_loop(const ekf_inputs *in, double *arena, const kf_outputs *out) {
    const int64_t n = in->n_states, m = in->n_obs, k = in->n_shocks, T = in->n_periods;
    const double *A = in->transition, *B = in->shock_loading, *S = in->shock_cov;
    const double *H = in->obs_cov, *params = in->params;
    const bool sym = in->symmetrize != 0;
    const bool store = in->store_paths != 0;
    const bool shocks = store && in->want_shocks != 0;
    const bool fitted = store && in->fitted_obs != 0;

    const auto a = crv::detail::carve<crv::detail::ExtendedArena>(arena, nullptr, n, m, k);
    double *x_pred = a.x_pred, *x_filt = a.x_filt, *h_pred = a.h_pred, *v = a.v, *w = a.w;
    double *u = a.u, *P_pred = a.P_pred, *P_filt = a.P_filt, *prod = a.prod, *Q = a.Q;
    double *F = a.F, *Z = a.Z, *BS = a.BS, *M = a.M, *BtZt = a.BtZt;
    const crv::detail::KalmanBlocks blocks = a.blocks();
    kf_build_bqbt(B, S, BS, Q, n, k);
    copy_f64(x_pred, in->x0, n);
    copy_f64(P_pred, in->P0, n * n);
    if (sym) crv_sym_inplace(P_pred, n);

    if (T < 1) {
        *out->loglik = 0.0;
        return 0;
    }
    // A null callback would be called below; refuse the record instead.
    if (in->obs_fn == nullptr || in->obs_jac == nullptr) return KF_INVALID_INPUT;

    const double m_log_2pi = static_cast<double>(m) * kLog2Pi;
    double ll = 0.0;

    for (int64_t t = 0; t < T; ++t) {
        in->obs_fn(x_pred, params, h_pred);
        in->obs_jac(x_pred, params, Z);
        kf_row_minus_vec(in->data, t, h_pred, v, m);
        double logdet, quad;
        if (!kalman_measurement_update(blocks, Z, H, n, m, sym, in->jitter, &logdet, &quad)) {
            *out->loglik = ll;
            return KF_CHOL_FAILED;
        }

        if (shocks) {
            kf_build_shock_projection(B, Z, S, BtZt, M, n, k, m);
            crv_matvec(M, u, out->shocks + t * k, k, m);
        }
        if (store) {
            copy_f64(out->x_pred + t * n, x_pred, n);
            copy_f64(out->x_filt + t * n, x_filt, n);
            copy_f64(out->P_pred + t * n * n, P_pred, n * n);
            copy_f64(out->P_filt + t * n * n, P_filt, n * n);
            copy_f64(out->y_pred + t * m, h_pred, m);
            if (fitted) in->obs_fn(x_filt, params, out->y_filt + t * m);
            copy_f64(out->innov + t * m, v, m);
            copy_f64(out->std_innov + t * m, w, m);
            copy_f64(out->innov_cov + t * m * m, F, m * m);
        }

        crv_matvec(A, x_filt, x_pred, n, n);
        kf_predict_cov(A, P_filt, Q, prod, P_pred, n);
        if (sym) crv_sym_inplace(P_pred, n);
        ll = std::fma((logdet + m_log_2pi) + quad, -0.5, ll);
    }
    *out->loglik = ll;
    return 0;
}
