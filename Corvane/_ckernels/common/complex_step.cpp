// Complex-step Jacobians of the model equations (klein_preproc), shared by
// the steady-state Newton iteration and the linearisation.
#include "solve.h"
#include "solve_detail.hpp"
#include "solve_layout.hpp"

namespace {

constexpr double kComplexStep = 1e-30;

}  // namespace

crv_arena_size_t klein_preproc_arena_size(int64_t n, int64_t p, int64_t m, int64_t neq) {
    return crv::detail::arena_size<crv::detail::PreprocArena>(n, p, m, neq);
}

void klein_preproc(crv_residual_fn residual, const double *x, const double *params, int64_t n,
                   int64_t p, int64_t m, int64_t neq, double *J_lead, double *J_cur,
                   double *J_lag, double *J_shock, double *dwork) {
    const auto a = crv::detail::carve<crv::detail::PreprocArena>(dwork, nullptr, n, p, m, neq);
    double *z = a.z, *theta = a.theta, *X1 = a.X1, *X2 = a.X2, *X3 = a.X3, *E = a.E, *R = a.R;
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
