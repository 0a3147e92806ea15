// Deterministic steady state by Newton iteration with complex-step
// Jacobians; residuals along a path; the function-pointer trampoline.
#include <cmath>
#include <cstdlib>

#include "linalg.h"
#include "solve.h"
#include "solve_detail.hpp"
#include "solve_layout.hpp"

crv_arena_size_t crv_newton_arena_size(int64_t n, int64_t p, int64_t m) {
    return crv::detail::arena_size<crv::detail::NewtonArena>(n, p, m);
}

int64_t crv_steady_state_newton(crv_residual_fn residual, const double *x_init,
                                const double *params, int64_t n, int64_t p, int64_t m,
                                int64_t max_iter, double *x_out, double tol, int64_t *iter_out,
                                double *dwork, int64_t *iwork) {
    crv::detail::copy_f64(x_out, x_init, n);
    const auto ws = crv::detail::carve<crv::detail::NewtonArena>(dwork, iwork, n, p, m);
    double *z = ws.z, *theta = ws.theta, *r = ws.r, *e = ws.e, *f = ws.f, *delta = ws.delta;
    double *J_lead = ws.J_lead, *J_cur = ws.J_cur, *J_lag = ws.J_lag, *J_shock = ws.J_shock;
    double *J = ws.J;
    int64_t *piv = ws.piv;
    crv::detail::to_complex(params, theta, p);
    crv::detail::zero_f64(e, 2 * m);

    for (int64_t i = 0;; ++i) {
        *iter_out = i;
        if (i >= max_iter) return CRV_NEWTON_NO_CONVERGENCE;
        double norm = 0.0;
        if (n > 0) {
            crv::detail::to_complex(x_out, z, n);
            residual(z, z, z, e, theta, r);
            bool non_finite = false;
            for (int64_t j = 0; j < n; ++j) {
                f[j] = r[2 * j];
                const double a = std::fabs(f[j]);
                if (std::isnan(a) || std::isinf(a)) non_finite = true;
                else if (a > norm) norm = a;
            }
            if (non_finite) return CRV_NEWTON_NO_CONVERGENCE;
        } else {
            residual(z, z, z, e, theta, r);
        }
        if (norm < tol) {
            *iter_out = i;
            return 0;
        }
        klein_preproc(residual, x_out, params, n, p, m, n, J_lead, J_cur, J_lag, J_shock,
                      ws.preproc);
        crv_vsub(J_lead, J_cur, J, n * n);
        crv_vsub(J, J_lag, J, n * n);
        if (crv_lu_factor_inplace(J, piv, n) != 0) return CRV_NEWTON_SINGULAR;
        crv_lu_solve(J, piv, f, delta, n, 1);
        crv_vsub(x_out, delta, x_out, n);
    }
}

int64_t crv_residual_path(crv_residual_fn residual, const double *X_cur, const double *X_lead,
                          const double *X_lag, const double *E, const double *params, int64_t T,
                          int64_t s_x, int64_t s_e, int64_t neq, double *out) {
    const int64_t len = neq > 1 ? neq : 1;
    double *buffer = static_cast<double *>(std::malloc(static_cast<size_t>(2 * len) * sizeof(double)));
    if (buffer == nullptr) return CRV_PATH_NO_MEMORY;
    for (int64_t t = 0; t < T; ++t) {
        residual(X_lead + 2 * t * s_x, X_cur + 2 * t * s_x, X_lag + 2 * t * s_x, E + 2 * t * s_e,
                 params, buffer);
        for (int64_t j = 0; j < neq; ++j) out[t * neq + j] = buffer[2 * j];
    }
    std::free(buffer);
    return 0;
}

int64_t spike_call(crv_spike_fn f, int64_t a, int64_t b, int64_t c, int64_t d) {
    return f(a, b, c, d);
}
