// The measurement update shared by the linear and extended Kalman filters
// (internal): from the innovation v and the design Z to the filtered state and
// covariance, the log-determinant and the quadratic form of one period.
#pragma once

#include <cstdint>

#include "filters.h"
#include "linalg.h"

namespace crv::detail {

// Arena blocks the update reads and writes; the caller carves them.
struct KalmanBlocks {
    double *x_pred, *x_filt, *v, *w, *u, *gain_y, *gain_x;
    double *P_pred, *P_filt, *KZ, *IKZ, *prod, *F, *L, *PZt, *K, *KH, *ZP;
};

// F = Z P Z' + H (symmetrised when asked), L = chol(F + jitter I), w = L^-1 v,
// u = L^-T w, K = P Z' (L L')^-1, x_filt = x_pred + K v, Joseph-form P_filt
// (symmetrised when asked), log|F + jitter I| and v'u. False, with nothing
// after L written, when the factorisation fails.
inline bool kalman_measurement_update(const KalmanBlocks &b, const double *Z, const double *H,
                                      int64_t n, int64_t m, bool sym, double jitter,
                                      double *logdet, double *quad) {
    kf_measurement_cov(Z, b.P_pred, H, b.ZP, b.F, n, m);
    if (sym) crv_sym_inplace(b.F, m);
    if (crv_chol(b.F, b.L, m, jitter) != 0) return false;
    crv_forward_subst(b.L, b.v, b.w, m);
    crv_backward_subst_chol_t(b.L, b.w, b.u, m);
    kf_pc_t(b.P_pred, Z, b.PZt, n, m);
    kf_gain_from_pc_t(b.L, b.PZt, b.gain_y, b.gain_x, b.K, n, m);
    kf_state_update(b.x_pred, b.K, b.v, b.x_filt, n, m);
    kf_joseph_cov(b.K, Z, b.P_pred, H, b.KZ, b.IKZ, b.prod, b.KH, b.P_filt, n, m);
    if (sym) crv_sym_inplace(b.P_filt, n);
    *logdet = crv_logdet_from_chol(b.L, m);
    *quad = crv_dot(b.v, b.u, m);
    return true;
}

}  // namespace crv::detail
