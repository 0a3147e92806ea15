// Unscented Kalman filter over the pruned second-order state (x^f, x^s), with
// the shocks of each period as extra sigma-point coordinates.
#include <cmath>
#include <cstring>
#include <utility>

#include "constants.hpp"
#include "arena.hpp"
#include "fdot.hpp"
#include "filters.h"
#include "filters_layout.hpp"
#include "linalg.h"
#include "pruned.hpp"

using crv::detail::copy_f64;
using crv::detail::fdot;
using crv::detail::kLog2Pi;

namespace {

constexpr double kRetryScale = 1e-10;

// Cholesky factor of A + jitter I; on failure once more with the jitter raised
// by 1e-10 times the largest diagonal entry of A (floored at 0).
bool chol_with_retry(const double *A, double *Lf, int64_t n, double jitter) {
    if (crv_chol(A, Lf, n, jitter) == 0) return true;
    double d_max = 0.0;
    for (int64_t i = 0; i < n; ++i)
        if (A[i * n + i] > d_max) d_max = A[i * n + i];
    return crv_chol(A, Lf, n, jitter + kRetryScale * d_max) == 0;
}

// mean = sum_p W_p rows_p (rows: count x dim); W_0 = w0, every other W_p = wi.
void weighted_mean(const double *rows, int64_t count, int64_t dim, double w0, double wi,
                   double *mean) {
    for (int64_t j = 0; j < dim; ++j) {
        double rest = 0.0;
        for (int64_t p = 1; p < count; ++p) rest += rows[p * dim + j];
        mean[j] = std::fma(w0, rows[j], wi * rest);
    }
}

// rows_p -= mean for every row.
void center(double *rows, int64_t count, int64_t dim, const double *mean) {
    for (int64_t p = 0; p < count; ++p)
        for (int64_t j = 0; j < dim; ++j) rows[p * dim + j] -= mean[j];
}

// out (da x db) = w0 a_0 b_0^T + wi sum_{p >= 1} a_p b_p^T (+ add when given),
// over centred rows a (count x da) and b (count x db).
void weighted_cross(const double *a, const double *b, int64_t count, int64_t da, int64_t db,
                    double w0, double wi, const double *add, double *out) {
    for (int64_t i = 0; i < da; ++i)
        for (int64_t j = 0; j < db; ++j) {
            double rest = 0.0;
            for (int64_t p = 1; p < count; ++p) rest = std::fma(a[p * da + i], b[p * db + j], rest);
            double v = std::fma(w0 * a[i], b[j], wi * rest);
            out[i * db + j] = add ? v + add[i * db + j] : v;
        }
}

}  // namespace

crv_arena_size_t ukf_arena_size(int64_t nx, int64_t ny, int64_t m, int64_t k) {
    return crv::detail::arena_size<crv::detail::UnscentedArena>(nx, ny, m, k);
}

int32_t ukf_hot_loop(const ukf_inputs *in, double *arena, const ukf_outputs *out) {
    const int64_t nx = in->nx, ny = in->ny, m = in->n_shocks, k = in->n_obs, T = in->n_periods;
    if (in->obs_fn == nullptr || nx < 1 || k < 1 || ny < 0 || m < 0) return KF_INVALID_INPUT;

    const int64_t n = nx + ny, s = 2 * nx, L = s + m, N = 2 * L + 1;
    const double alpha2 = in->alpha * in->alpha;
    const double c = alpha2 * (static_cast<double>(L) + in->kappa);
    if (!(std::isfinite(c) && c > 0.0)) return KF_CHOL_FAILED;
    const double sqrt_c = std::sqrt(c);
    const double wm0 = (c - static_cast<double>(L)) / c;
    const double wc0 = (1.0 - alpha2) + in->beta + wm0;
    const double wi = 1.0 / (2.0 * c);

    const bool sym = in->symmetrize != 0;
    const bool store = in->store_paths != 0;
    const double *H = in->obs_cov, *ss = in->ss, *params = in->params;
    const crv::detail::PrunedLaw law{in->hx,   in->gx,   in->impact, in->h_xx, in->g_xx,
                                     in->h_xe, in->g_xe, in->h_ee,   in->g_ee, in->h_ss,
                                     in->g_ss, nx,       ny,         m};

    const auto a = crv::detail::carve<crv::detail::UnscentedArena>(arena, nullptr, nx, ny, m, k);
    double *x_cur = a.x_cur, *P_cur = a.P_cur, *aug = a.aug, *shock_fac = a.shock_fac;
    double *P_fac = a.P_fac, *aug_mean = a.aug_mean, *sigma = a.sigma, *X = a.X, *V = a.V;
    double *Yobs = a.Yobs, *x_pred = a.x_pred, *P_pred = a.P_pred, *x_filt = a.x_filt;
    double *P_filt = a.P_filt, *y_pred = a.y_pred, *v = a.v, *w = a.w, *u = a.u;
    double *gain_y = a.gain_y, *gain_x = a.gain_x, *F = a.F, *F_fac = a.F_fac, *C = a.C;
    double *K = a.K, *v_pred = a.v_pred, *v_filt = a.v_filt, *Cv = a.Cv, *Kv = a.Kv;
    const crv::detail::PrunedKron &kr = a.kron;

    copy_f64(x_cur, in->x0, s);
    copy_f64(P_cur, in->P0, s * s);
    crv_zero_mat(aug, L, L);
    if (m >= 1) {
        if (!chol_with_retry(in->shock_cov, shock_fac, m, in->jitter)) return KF_CHOL_FAILED;
        for (int64_t i = 0; i < m; ++i) copy_f64(aug + (s + i) * L + s, shock_fac + i * m, m);
    }
    double ll = 0.0;
    const double k_log_2pi = static_cast<double>(k) * kLog2Pi;

    for (int64_t t = 0; t < T; ++t) {
        if (!chol_with_retry(P_cur, P_fac, s, in->jitter)) {
            *out->loglik = ll;
            return KF_CHOL_FAILED;
        }
        for (int64_t i = 0; i < s; ++i) copy_f64(aug + i * L, P_fac + i * s, s);
        copy_f64(aug_mean, x_cur, s);
        for (int64_t j = s; j < L; ++j) aug_mean[j] = 0.0;

        // Sigma points: the mean, then mean +/- sqrt(c) times each column.
        copy_f64(sigma, aug_mean, L);
        for (int64_t i = 0; i < L; ++i) {
            double *plus = sigma + (1 + i) * L, *minus = sigma + (1 + L + i) * L;
            for (int64_t j = 0; j < L; ++j) {
                plus[j] = std::fma(sqrt_c, aug[j * L + i], aug_mean[j]);
                minus[j] = std::fma(-sqrt_c, aug[j * L + i], aug_mean[j]);
            }
        }

        // Propagation through the pruned law, then the observation callback.
        for (int64_t p = 0; p < N; ++p) {
            const double *xf = sigma + p * L, *xs = xf + nx, *e = xf + s;
            double *xf_next = X + p * s, *xs_next = xf_next + nx, *vars = V + p * n;
            crv::detail::pruned_kron(xf, e, kr, nx, m);
            crv::detail::pruned_states(law, xf, xs, e, kr, xf_next, xs_next);
            for (int64_t i = 0; i < nx; ++i) vars[i] = xf_next[i] + xs_next[i];
            for (int64_t l = 0; l < ny; ++l)
                vars[nx + l] = crv::detail::pruned_other(law, l, xf, xs, e, kr);
            if (ss)
                for (int64_t i = 0; i < n; ++i) vars[i] += ss[i];
        }
        for (int64_t p = 0; p < N; ++p) in->obs_fn(V + p * n, params, Yobs + p * k);

        // Predicted moments; the tables are centred in place.
        weighted_mean(X, N, s, wm0, wi, x_pred);
        center(X, N, s, x_pred);
        weighted_cross(X, X, N, s, s, wc0, wi, nullptr, P_pred);
        if (sym) crv_sym_inplace(P_pred, s);
        weighted_mean(Yobs, N, k, wm0, wi, y_pred);
        center(Yobs, N, k, y_pred);
        weighted_cross(Yobs, Yobs, N, k, k, wc0, wi, H, F);
        if (sym) crv_sym_inplace(F, k);
        weighted_cross(X, Yobs, N, s, k, wc0, wi, nullptr, C);

        kf_row_minus_vec(in->data, t, y_pred, v, k);
        if (!chol_with_retry(F, F_fac, k, in->jitter)) {
            *out->loglik = ll;
            return KF_CHOL_FAILED;
        }
        crv_forward_subst(F_fac, v, w, k);
        crv_backward_subst_chol_t(F_fac, w, u, k);
        kf_gain_from_pc_t(F_fac, C, gain_y, gain_x, K, s, k);
        kf_state_update(x_pred, K, v, x_filt, s, k);
        for (int64_t i = 0; i < s; ++i)
            for (int64_t j = 0; j < s; ++j)
                P_filt[i * s + j] = P_pred[i * s + j] - fdot(K + i * k, C + j * k, k);
        if (sym) crv_sym_inplace(P_filt, s);
        const double logdet = crv_logdet_from_chol(F_fac, k);
        const double quad = crv_dot(v, u, k);

        if (store) {
            weighted_mean(V, N, n, wm0, wi, v_pred);
            center(V, N, n, v_pred);
            weighted_cross(V, Yobs, N, n, k, wc0, wi, nullptr, Cv);
            kf_gain_from_pc_t(F_fac, Cv, gain_y, gain_x, Kv, n, k);
            kf_state_update(v_pred, Kv, v, v_filt, n, k);
            copy_f64(out->xf_pred + t * nx, x_pred, nx);
            copy_f64(out->xs_pred + t * nx, x_pred + nx, nx);
            copy_f64(out->xf_filt + t * nx, x_filt, nx);
            copy_f64(out->xs_filt + t * nx, x_filt + nx, nx);
            copy_f64(out->v_pred + t * n, v_pred, n);
            copy_f64(out->v_filt + t * n, v_filt, n);
            copy_f64(out->P_pred + t * s * s, P_pred, s * s);
            copy_f64(out->P_filt + t * s * s, P_filt, s * s);
            copy_f64(out->y_pred + t * k, y_pred, k);
            in->obs_fn(out->v_filt + t * n, params, out->y_filt + t * k);
            copy_f64(out->innov + t * k, v, k);
            copy_f64(out->std_innov + t * k, w, k);
            copy_f64(out->innov_cov + t * k * k, F, k * k);
        }

        ll = ll + ((logdet + k_log_2pi) + quad) * -0.5;
        std::swap(x_cur, x_filt);
        std::swap(P_cur, P_filt);
    }
    *out->loglik = ll;
    return 0;
}
