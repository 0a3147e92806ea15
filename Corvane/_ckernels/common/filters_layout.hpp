// Arena layouts of the state-space filters (internal; the idiom is described
// in arena.hpp). kf_arena_size, ekf_arena_size and ukf_arena_size are these
// layouts' size queries; the hot loops carve them.
#pragma once

#include <algorithm>
#include <cstdint>

#include "arena.hpp"
#include "kalman_update.hpp"
#include "pruned.hpp"

namespace crv::detail {

// kf_hot_loop: n states, n_obs observables, n_shocks shocks. The first two
// blocks (x_pred, then P_pred after the vectors) carry the prediction from
// one period to the next and hold the one beyond the sample on return.
struct KalmanArena {
    double *x_pred, *x_filt, *y_pred, *y_filt, *v, *w, *u, *gain_y, *gain_x;
    double *P_pred, *P_filt, *KZ, *IKZ, *prod, *Q;
    double *F, *L;
    double *PZt, *K, *KH, *ZP;
    double *BS, *M, *BtZt;

    template <class D>
    KalmanArena(D &d, int64_t n, int64_t n_obs, int64_t n_shocks)
        : x_pred(d.take(n)), x_filt(d.take(n)), y_pred(d.take(n_obs)), y_filt(d.take(n_obs)),
          v(d.take(n_obs)), w(d.take(n_obs)), u(d.take(n_obs)), gain_y(d.take(n_obs)),
          gain_x(d.take(n_obs)), P_pred(d.take(n, n)), P_filt(d.take(n, n)), KZ(d.take(n, n)),
          IKZ(d.take(n, n)), prod(d.take(n, n)), Q(d.take(n, n)), F(d.take(n_obs, n_obs)),
          L(d.take(n_obs, n_obs)), PZt(d.take(n, n_obs)), K(d.take(n, n_obs)),
          KH(d.take(n, n_obs)), ZP(d.take(n_obs, n)), BS(d.take(n, n_shocks)),
          M(d.take(n_shocks, n_obs)), BtZt(d.take(n_shocks, n_obs)) {}

    KalmanBlocks blocks() const {
        return {x_pred, x_filt, v, w, u, gain_y, gain_x, P_pred, P_filt,
                KZ,     IKZ,    prod, F, L, PZt,    K,      KH,     ZP};
    }
};

// ekf_hot_loop: as the linear filter without the fitted observations (they
// go straight to the output) and with the period's Jacobian Z.
struct ExtendedArena {
    double *x_pred, *x_filt, *h_pred, *v, *w, *u, *gain_y, *gain_x;
    double *P_pred, *P_filt, *KZ, *IKZ, *prod, *Q;
    double *F, *L;
    double *PZt, *K, *KH, *Z, *ZP;
    double *BS, *M, *BtZt;

    template <class D>
    ExtendedArena(D &d, int64_t n, int64_t n_obs, int64_t n_shocks)
        : x_pred(d.take(n)), x_filt(d.take(n)), h_pred(d.take(n_obs)), v(d.take(n_obs)),
          w(d.take(n_obs)), u(d.take(n_obs)), gain_y(d.take(n_obs)), gain_x(d.take(n_obs)),
          P_pred(d.take(n, n)), P_filt(d.take(n, n)), KZ(d.take(n, n)), IKZ(d.take(n, n)),
          prod(d.take(n, n)), Q(d.take(n, n)), F(d.take(n_obs, n_obs)), L(d.take(n_obs, n_obs)),
          PZt(d.take(n, n_obs)), K(d.take(n, n_obs)), KH(d.take(n, n_obs)), Z(d.take(n_obs, n)),
          ZP(d.take(n_obs, n)), BS(d.take(n, n_shocks)), M(d.take(n_shocks, n_obs)),
          BtZt(d.take(n_shocks, n_obs)) {}

    KalmanBlocks blocks() const {
        return {x_pred, x_filt, v, w, u, gain_y, gain_x, P_pred, P_filt,
                KZ,     IKZ,    prod, F, L, PZt,    K,      KH,     ZP};
    }
};

// ukf_hot_loop over the pruned state (x^f, x^s) of s = 2 nx values with
// L = s + n_shocks sigma-point coordinates and 2L + 1 sigma points; the
// variable vectors have nx + ny values.
struct UnscentedArena {
    double *x_cur, *P_cur, *aug, *shock_fac, *P_fac, *aug_mean;
    double *sigma, *X, *V, *Yobs;
    PrunedKron kron;
    double *x_pred, *P_pred, *x_filt, *P_filt;
    double *y_pred, *v, *w, *u, *gain_y, *gain_x, *F, *F_fac, *C, *K;
    double *v_pred, *v_filt, *Cv, *Kv;

    template <class D>
    UnscentedArena(D &d, int64_t nx, int64_t ny, int64_t n_shocks, int64_t n_obs)
        : UnscentedArena(d, nx, nx + ny, 2 * nx, 2 * nx + n_shocks, n_shocks, n_obs) {}

  private:
    template <class D>
    UnscentedArena(D &d, int64_t nx, int64_t n, int64_t s, int64_t L, int64_t n_shocks,
                   int64_t n_obs)
        : x_cur(d.take(s)), P_cur(d.take(s, s)), aug(d.take(L, L)),
          shock_fac(d.take(n_shocks, n_shocks)), P_fac(d.take(s, s)), aug_mean(d.take(L)),
          sigma(d.take(2 * L + 1, L)), X(d.take(2 * L + 1, s)), V(d.take(2 * L + 1, n)),
          Yobs(d.take(2 * L + 1, n_obs)),
          kron{d.take(nx, nx), d.take(nx, n_shocks), d.take(n_shocks, n_shocks)},
          x_pred(d.take(s)), P_pred(d.take(s, s)), x_filt(d.take(s)), P_filt(d.take(s, s)),
          y_pred(d.take(n_obs)), v(d.take(n_obs)), w(d.take(n_obs)), u(d.take(n_obs)),
          gain_y(d.take(n_obs)), gain_x(d.take(n_obs)), F(d.take(n_obs, n_obs)),
          F_fac(d.take(n_obs, n_obs)), C(d.take(s, n_obs)), K(d.take(s, n_obs)),
          v_pred(d.take(n)), v_filt(d.take(n)), Cv(d.take(n, n_obs)), Kv(d.take(n, n_obs)) {}
};

// kf_filter_missing: the linear filter's layout, then the observed rows of Z,
// the observed block of H, the observed innovations, the observed columns of
// the shock projection and the innovation covariance over all m entries.
struct MissingArena {
    KalmanArena kf;
    double *Zo, *Ho, *vo, *Mo, *F_all;

    template <class D>
    MissingArena(D &d, int64_t n, int64_t n_obs, int64_t n_shocks)
        : kf(d, n, n_obs, n_shocks), Zo(d.take(n_obs, n)), Ho(d.take(n_obs, n_obs)),
          vo(d.take(n_obs)), Mo(d.take(n_shocks, n_obs)), F_all(d.take(n_obs, n_obs)) {}
};

// kf_smoother: the missing-data filter's layout; the filtered gains, inverse
// innovation covariances and F^-1 v of all T periods (observed entries
// first); A^T, S B^T; the backward recursion's r, A^T r, N, A^T N A, two
// product blocks, N A K, F^-1 v - K^T A^T r, D, D Z_o, the observed columns
// of H, H_.o D and S B^T N.
struct SmootherArena {
    MissingArena filter;
    double *K_all, *Finv_all, *u_all;
    double *At, *SBt, *r, *r_bar, *N, *N_bar, *prod, *prod2;
    double *G, *q, *D, *DZ, *Hc, *HD, *SBtN;

    template <class D_>
    SmootherArena(D_ &d, int64_t n, int64_t n_obs, int64_t n_shocks, int64_t T)
        : filter(d, n, n_obs, n_shocks), K_all(d.take(T, n, n_obs)),
          Finv_all(d.take(T, n_obs, n_obs)), u_all(d.take(T, n_obs)), At(d.take(n, n)),
          SBt(d.take(n_shocks, n)), r(d.take(n)), r_bar(d.take(n)), N(d.take(n, n)),
          N_bar(d.take(n, n)), prod(d.take(n, n)), prod2(d.take(n, n)), G(d.take(n, n_obs)),
          q(d.take(n_obs)), D(d.take(n_obs, n_obs)), DZ(d.take(n_obs, n)),
          Hc(d.take(n_obs, n_obs)), HD(d.take(n_obs, n_obs)), SBtN(d.take(n_shocks, n)) {}
};

// crv_dlyap: dgees's matrix (A in, the real Schur form out) and Schur
// vectors, its eigenvalues, the transformed equation's Y, a product block,
// two block columns of the solve, dgees's work array of lwork doubles and
// its logical array bwork in the slots.
struct DlyapArena {
    int64_t lwork;
    double *T, *W, *wr, *wi, *Y, *prod, *Wq, *Gq, *work;
    int32_t *bwork;

    template <class D, class S>
    DlyapArena(D &d, S &s, int64_t n)
        : lwork(34 * std::min<int64_t>(n, INT64_MAX / 34)), T(d.take(n, n)), W(d.take(n, n)),
          wr(d.take(n)), wi(d.take(n)), Y(d.take(n, n)), prod(d.take(n, n)), Wq(d.take(2, n)),
          Gq(d.take(2, n)), work(d.take(lwork)), bwork(take_int32(s, n)) {}
};

}  // namespace crv::detail
