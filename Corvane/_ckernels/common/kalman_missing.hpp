// The linear filter over data with missing entries (internal): the loop of
// kf_filter_missing, shared with the smoother's forward pass through a hook
// called after each period's measurement update.
#pragma once

#include <cmath>
#include <cstdint>

#include "arena.hpp"
#include "constants.hpp"
#include "filters.h"
#include "filters_layout.hpp"
#include "kalman_update.hpp"
#include "linalg.h"

namespace crv::detail {

// The number of observed entries of row y (m values; NaN marks a missing one).
inline int64_t count_observed(const double *y, int64_t m) {
    int64_t c = 0;
    for (int64_t j = 0; j < m; ++j) c += std::isnan(y[j]) ? 0 : 1;
    return c;
}

// The rows of the m x cols matrix M at the observed entries of row y.
inline void pack_rows(const double *y, const double *M, int64_t m, int64_t cols, double *Mo) {
    for (int64_t j = 0, c = 0; j < m; ++j)
        if (!std::isnan(y[j])) copy_f64(Mo + (c++) * cols, M + j * cols, cols);
}

// The columns of the rows x m matrix M at the observed entries of row y,
// packed rows x m_obs.
inline void pack_columns(const double *y, const double *M, int64_t rows, int64_t m, int64_t m_obs,
                         double *Mo) {
    for (int64_t i = 0; i < rows; ++i)
        for (int64_t j = 0, c = 0; j < m; ++j)
            if (!std::isnan(y[j])) Mo[i * m_obs + c++] = M[i * m + j];
}

// Z_o (the observed rows of Z), H_oo and v_o of row y, m_obs entries observed.
inline void pack_observed(const double *y, const double *Z, const double *H, const double *v,
                          int64_t n, int64_t m, int64_t m_obs, double *Zo, double *Ho,
                          double *vo) {
    pack_rows(y, Z, m, n, Zo);
    for (int64_t j = 0, c = 0; j < m; ++j) {
        if (std::isnan(y[j])) continue;
        vo[c] = v[j];
        for (int64_t j2 = 0, c2 = 0; j2 < m; ++j2)
            if (!std::isnan(y[j2])) Ho[c * m_obs + c2++] = H[j * m + j2];
        ++c;
    }
}

// What a period's update leaves for the hook: its observed count and the
// arena blocks of the update (gain K, factor L, u over the observed entries).
struct MissingPeriod {
    int64_t t, m_obs;
    const KalmanBlocks *blocks;
};

struct NoHook {
    void operator()(const MissingPeriod &) const {}
};

// The whole sample on the MissingArena layout a; paths are written when
// `store`. Returns 0 or KF_CHOL_FAILED, as kf_filter_missing.
template <class Hook>
int32_t filter_missing_run(const kf_inputs *in, const MissingArena &a, const kf_outputs *out,
                           bool store, const Hook &hook) {
    const int64_t n = in->n_states, m = in->n_obs, k = in->n_shocks, T = in->n_periods;
    const double *A = in->transition, *B = in->shock_loading, *Z = in->design;
    const double *d = in->obs_intercept, *S = in->shock_cov, *H = in->obs_cov;
    const bool sym = in->symmetrize != 0;
    const bool shocks = store && in->want_shocks != 0;
    const KalmanArena &f = a.kf;
    double *x_pred = f.x_pred, *x_filt = f.x_filt, *y_pred = f.y_pred, *y_filt = f.y_filt;
    double *v = f.v, *P_pred = f.P_pred, *P_filt = f.P_filt;

    kf_build_bqbt(B, S, f.BS, f.Q, n, k);
    if (shocks) kf_build_shock_projection(B, Z, S, f.BtZt, f.M, n, k, m);
    copy_f64(x_pred, in->x0, n);
    copy_f64(P_pred, in->P0, n * n);
    if (sym) crv_sym_inplace(P_pred, n);

    double ll = 0.0;
    if (T < 1) {
        *out->loglik = 0.0;
        return 0;
    }

    KalmanBlocks blocks = f.blocks();
    for (int64_t t = 0; t < T; ++t) {
        const double *y = in->data + t * m;
        crv_matvec_plus_vec(Z, x_pred, d, y_pred, m, n);
        kf_row_minus_vec(in->data, t, y_pred, v, m);
        const int64_t m_obs = count_observed(y, m);
        const bool all = m_obs == m;
        if (!all) pack_observed(y, Z, H, v, n, m, m_obs, a.Zo, a.Ho, a.vo);
        const double *Zo = all ? Z : a.Zo;
        double logdet = 0.0, quad = 0.0;
        if (m_obs > 0) {
            blocks.v = all ? v : a.vo;
            if (!kalman_measurement_update(blocks, Zo, all ? H : a.Ho, n, m_obs, sym, in->jitter,
                                           &logdet, &quad)) {
                *out->loglik = ll;
                return KF_CHOL_FAILED;
            }
        } else {
            copy_f64(x_filt, x_pred, n);
            copy_f64(P_filt, P_pred, n * n);
        }
        hook(MissingPeriod{t, m_obs, &blocks});

        if (store) {
            if (shocks) {
                if (all) {
                    crv_matvec(f.M, f.u, out->shocks + t * k, k, m);
                } else {
                    pack_columns(y, f.M, k, m, m_obs, a.Mo);
                    crv_matvec(a.Mo, f.u, out->shocks + t * k, k, m_obs);
                }
            }
            crv_matvec_plus_vec(Z, x_filt, d, y_filt, m, n);
            copy_f64(out->x_pred + t * n, x_pred, n);
            copy_f64(out->x_filt + t * n, x_filt, n);
            copy_f64(out->P_pred + t * n * n, P_pred, n * n);
            copy_f64(out->P_filt + t * n * n, P_filt, n * n);
            copy_f64(out->y_pred + t * m, y_pred, m);
            copy_f64(out->y_filt + t * m, y_filt, m);
            copy_f64(out->innov + t * m, v, m);
            double *std_innov = out->std_innov + t * m;
            if (all) {
                copy_f64(std_innov, f.w, m);
                copy_f64(out->innov_cov + t * m * m, f.F, m * m);
            } else {
                for (int64_t j = 0, c = 0; j < m; ++j)
                    std_innov[j] = std::isnan(y[j]) ? kNaN : f.w[c++];
                kf_measurement_cov(Z, P_pred, H, f.ZP, a.F_all, n, m);
                if (sym) crv_sym_inplace(a.F_all, m);
                copy_f64(out->innov_cov + t * m * m, a.F_all, m * m);
            }
        }

        crv_matvec(A, x_filt, x_pred, n, n);
        kf_predict_cov(A, P_filt, f.Q, f.prod, P_pred, n);
        if (sym) crv_sym_inplace(P_pred, n);
        if (m_obs > 0)
            ll = ll - 0.5 * ((logdet + static_cast<double>(m_obs) * kLog2Pi) + quad);
    }
    *out->loglik = ll;
    return 0;
}

}  // namespace crv::detail
