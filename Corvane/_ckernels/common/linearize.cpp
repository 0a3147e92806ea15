// Linearisation at the steady state (Newton, then the complex-step
// Jacobians), timing partition, rotation of the static variables and
// assembly of the first-order pencil.
#include <algorithm>

#include "linalg.h"
#include "solve.h"
#include "solve_detail.hpp"
#include "solve_layout.hpp"

namespace {

// Category of a flags byte: 0 static, 1 predetermined, 2 mixed, 3 forward.
inline int category(uint8_t flags) {
    const bool lag = (flags & 1u) != 0, lead = (flags & 4u) != 0;
    if (lag) return lead ? 2 : 1;
    return lead ? 3 : 0;
}

}  // namespace

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
    return crv::detail::arena_size<crv::detail::RotateArena>(n, k, c);
}

int64_t crv_pencil_rotate_static(crv_dgeqrf_fn dgeqrf, crv_dormqr_fn dormqr, const double *Bmat,
                                 const int64_t *order, int64_t n, int64_t n_static,
                                 double *const *mats, const int64_t *ncols, int64_t nmats,
                                 double *dwork) {
    if (n_static < 1) return 0;
    int64_t widest = n;
    for (int64_t k = 0; k < nmats; ++k) widest = std::max(widest, ncols[k]);
    const auto a =
        crv::detail::carve<crv::detail::RotateArena>(dwork, nullptr, n, n_static, widest);
    double *W = a.W, *tau = a.tau, *work = a.work;
    for (int64_t s = 0; s < n_static; ++s)
        for (int64_t i = 0; i < n; ++i) W[s * n + i] = Bmat[i * n + order[s]];

    const int32_t M = static_cast<int32_t>(n), K = static_cast<int32_t>(n_static);
    const int32_t lwork = static_cast<int32_t>(a.lwork);
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
    const auto a = crv::detail::carve<crv::detail::Solve1Arena>(dwork, iwork, model->nx, model->ny,
                                                                crv_arena_size_t{0, 0});
    double *scratch = a.stage;
    int64_t iterations = 0;
    const int64_t status = crv_steady_state_newton(model->residual, model->x_guess, model->params,
                                                   n, p, m, 50, sol->ss, 1e-12, &iterations,
                                                   scratch, a.stage_slots);
    if (status == CRV_NEWTON_SINGULAR) return CRV_SS_SINGULAR;
    if (status != 0) return CRV_SS_NO_CONVERGENCE;
    klein_preproc(model->residual, sol->ss, model->params, n, p, m, n, sol->j_lead, sol->j_cur,
                  sol->j_lag, sol->j_shock, scratch);
    if (crv_pencil_partition(model->flags, n, sol->order, &sol->n_static, &sol->n_pred,
                             &sol->n_mixed, &sol->n_fwd) != 0)
        return CRV_LINEARIZE_BAD_FLAGS;
    return 0;
}
