// Complex-step linearisation, timing partition, rotation of the static
// variables and assembly of the first-order pencil.
#include "linalg.h"
#include "solve.h"
#include "solve_detail.hpp"

using crv::detail::Carver;

namespace {

constexpr double kComplexStep = 1e-30;

// Category of a flags byte: 0 static, 1 predetermined, 2 mixed, 3 forward.
inline int category(uint8_t flags) {
    const bool lag = (flags & 1u) != 0, lead = (flags & 4u) != 0;
    if (lag) return lead ? 2 : 1;
    return lead ? 3 : 0;
}

}  // namespace

// The residual block holds max(n, neq) values: the callback always writes n.
crv_arena_size_t klein_preproc_arena_size(int64_t n, int64_t p, int64_t m, int64_t neq) {
    return {2 * (4 * n + p + m + (neq > n ? neq : n)), 0};
}

void klein_preproc(crv_residual_fn residual, const double *x, const double *params, int64_t n,
                   int64_t p, int64_t m, int64_t neq, double *J_lead, double *J_cur,
                   double *J_lag, double *J_shock, double *dwork) {
    Carver<double> c{dwork};
    double *z = c.take(2 * n), *theta = c.take(2 * p);
    double *X1 = c.take(2 * n), *X2 = c.take(2 * n), *X3 = c.take(2 * n);
    double *E = c.take(2 * m), *R = c.take(2 * (neq > n ? neq : n));
    crv::detail::to_complex(x, z, n);
    crv::detail::to_complex(params, theta, p);
    const double h = kComplexStep;

    auto reset = [&]() {
        crv::detail::copy_f64(X1, z, 2 * n);
        crv::detail::copy_f64(X2, z, 2 * n);
        crv::detail::copy_f64(X3, z, 2 * n);
        crv::detail::zero_f64(E, 2 * m);
    };
    double *slots[3] = {X1, X2, X3};
    double *jacs[3] = {J_lead, J_cur, J_lag};
    const double denom[3] = {h, -h, -h};
    for (int64_t j = 0; j < n; ++j) {
        for (int s = 0; s < 3; ++s) {
            reset();
            slots[s][2 * j + 1] += h;
            residual(X1, X2, X3, E, theta, R);
            for (int64_t i = 0; i < neq; ++i) jacs[s][i * n + j] = R[2 * i + 1] / denom[s];
        }
    }
    for (int64_t j = 0; j < m; ++j) {
        reset();
        E[2 * j + 1] = h;
        residual(X1, X2, X3, E, theta, R);
        for (int64_t i = 0; i < neq; ++i) J_shock[i * m + j] = R[2 * i + 1] / (-h);
    }
}

int64_t crv_pencil_partition(const uint8_t *flags, int64_t n, int64_t *order, int64_t *n_static,
                             int64_t *n_pred, int64_t *n_mixed, int64_t *n_fwd) {
    int64_t count[4] = {0, 0, 0, 0};
    for (int64_t i = 0; i < n; ++i) {
        if (flags[i] == 0) return CRV_PARTITION_BAD_FLAGS;
        ++count[category(flags[i])];
    }
    int64_t pos = 0;
    for (int cat = 0; cat < 4; ++cat)
        for (int64_t i = 0; i < n; ++i)
            if (category(flags[i]) == cat) order[pos++] = i;
    *n_static = count[0];
    *n_pred = count[1];
    *n_mixed = count[2];
    *n_fwd = count[3];
    return 0;
}

crv_pencil_dim_t crv_pencil_dim(const uint8_t *flags, int64_t n) {
    int64_t N = 0;
    for (int64_t i = 0; i < n; ++i) {
        const bool lag = (flags[i] & 1u) != 0, lead = (flags[i] & 4u) != 0;
        N += (lag || lead ? 1 : 0) + (lag && lead ? 1 : 0);
    }
    return {N, n};
}

crv_arena_size_t crv_pencil_rotate_arena_size(int64_t n, int64_t k, int64_t c) {
    return {k + n * k + n + 64 * crv::detail::max64(n, c), 0};
}

int64_t crv_pencil_rotate_static(crv_dgeqrf_fn dgeqrf, crv_dormqr_fn dormqr, const double *Bmat,
                                 const int64_t *order, int64_t n, int64_t n_static,
                                 double *const *mats, const int64_t *ncols, int64_t nmats,
                                 double *dwork) {
    if (n_static < 1) return 0;
    int64_t widest = n;
    for (int64_t k = 0; k < nmats; ++k) widest = crv::detail::max64(widest, ncols[k]);
    Carver<double> c{dwork};
    double *W = c.take(n * n_static), *tau = c.take(n_static), *work = c.next;
    for (int64_t s = 0; s < n_static; ++s)
        for (int64_t i = 0; i < n; ++i) W[s * n + i] = Bmat[i * n + order[s]];

    const int32_t M = static_cast<int32_t>(n), K = static_cast<int32_t>(n_static);
    const int32_t lwork = static_cast<int32_t>(n + 64 * widest);
    int32_t info = 0;
    dgeqrf(&M, &K, W, &M, tau, work, &lwork, &info);
    if (info != 0) return CRV_ROTATION_FAILED;
    const char side = 'R', trans = 'N';
    for (int64_t k = 0; k < nmats; ++k) {
        if (ncols[k] == 0) continue;
        const int32_t rows = static_cast<int32_t>(ncols[k]);
        dormqr(&side, &trans, &rows, &M, &K, W, &M, tau, mats[k], &rows, work, &lwork, &info);
        if (info != 0) return CRV_ROTATION_FAILED;
    }
    return 0;
}

void crv_pencil_assemble(const double *A, const double *B, const double *C, const int64_t *order,
                         int64_t n, int64_t n_static, int64_t n_pred, int64_t n_mixed,
                         int64_t n_fwd, double *P_cur, double *P_lead) {
    const int64_t c = n_pred + n_mixed, h = n_mixed + n_fwd, N = c + h;
    const int64_t size = N * N > 1 ? N * N : 1;
    crv::detail::zero_f64(P_cur, size);
    crv::detail::zero_f64(P_lead, size);
    const int64_t *states = order + n_static;        // pred then mixed
    const int64_t *jumps = order + n_static + n_pred; // mixed then fwd
    const int64_t count = n_pred + n_mixed + n_fwd;
    for (int64_t i = 0; i < count; ++i) {
        const int64_t row = (n_static + i) * n;
        double *cur = P_cur + i * N, *lead = P_lead + i * N;
        for (int64_t j = 0; j < c; ++j) cur[j] = C[row + states[j]];
        for (int64_t j = 0; j < h; ++j) cur[c + j] = B[row + jumps[j]];
        for (int64_t j = 0; j < n_pred; ++j) lead[j] = -B[row + states[j]];
        for (int64_t j = 0; j < h; ++j) lead[c + j] = A[row + jumps[j]];
    }
    for (int64_t k = 0; k < n_mixed; ++k) {
        const int64_t i = count + k;
        P_lead[i * N + n_pred + k] = 1.0;
        P_cur[i * N + c + k] = 1.0;
    }
}

int64_t crv_klein_linearize(const crv_klein_model *model, crv_klein_solution *sol, double *dwork,
                            int64_t *iwork) {
    const int64_t n = model->n, p = model->p, m = model->m;
    double *scratch = dwork + 2 * model->nx * (model->nx + model->ny);
    int64_t iterations = 0;
    const int64_t status = crv_steady_state_newton(model->residual, model->x_guess, model->params,
                                                   n, p, m, 50, sol->ss, 1e-12, &iterations,
                                                   scratch, iwork);
    if (status == CRV_NEWTON_SINGULAR) return CRV_SS_SINGULAR;
    if (status != 0) return CRV_SS_NO_CONVERGENCE;
    klein_preproc(model->residual, sol->ss, model->params, n, p, m, n, sol->j_lead, sol->j_cur,
                  sol->j_lag, sol->j_shock, scratch);
    if (crv_pencil_partition(model->flags, n, sol->order, &sol->n_static, &sol->n_pred,
                             &sol->n_mixed, &sol->n_fwd) != 0)
        return CRV_LINEARIZE_BAD_FLAGS;
    return 0;
}
