// One step of the pruned second-order law of motion, shared by the simulation
// and the unscented filter (internal).
#pragma once

#include <cmath>
#include <cstdint>

#include "fdot.hpp"

namespace crv::detail {

// The second-order solution blocks (shapes in simulate.h).
struct PrunedLaw {
    const double *h_x, *g_x, *R, *h_xx, *g_xx, *h_xe, *g_xe, *h_ee, *g_ee, *h_ss, *g_ss;
    int64_t nx, ny, m;
};

// The three Kronecker products of one period: x^f (x) x^f, x^f (x) e, e (x) e.
struct PrunedKron {
    double *xx, *xe, *ee;
};

inline void pruned_kron(const double *xf, const double *e, const PrunedKron &kr, int64_t nx,
                        int64_t m) {
    for (int64_t j = 0; j < nx; ++j) {
        for (int64_t k = 0; k < nx; ++k) kr.xx[j * nx + k] = xf[j] * xf[k];
        for (int64_t k = 0; k < m; ++k) kr.xe[j * m + k] = xf[j] * e[k];
    }
    for (int64_t j = 0; j < m; ++j)
        for (int64_t k = 0; k < m; ++k) kr.ee[j * m + k] = e[j] * e[k];
}

// One second-order row, summed left to right in the order of the law:
// 1/2 ss + lin1 + lin2 + 1/2 xx.(x^f (x) x^f) + xe.(x^f (x) e) + 1/2 ee.(e (x) e).
inline double pruned_row(double ss, double lin1, double lin2, const double *xx_row,
                         const double *xe_row, const double *ee_row, const PrunedKron &kr,
                         int64_t nx, int64_t m) {
    double acc = 0.5 * ss;
    acc += lin1;
    acc += lin2;
    acc += 0.5 * fdot(xx_row, kr.xx, nx * nx);
    acc += fdot(xe_row, kr.xe, nx * m);
    acc += 0.5 * fdot(ee_row, kr.ee, m * m);
    return acc;
}

// State rows: x^f' = h_x x^f + R_x e; x^s' = 1/2 h_ss + h_x x^s + quadratic
// terms. kr must hold the products of (x^f, e).
inline void pruned_states(const PrunedLaw &law, const double *xf, const double *xs,
                          const double *e, const PrunedKron &kr, double *xf_next,
                          double *xs_next) {
    const int64_t nx = law.nx, m = law.m, nx2 = nx * nx, nxm = nx * m, m2 = m * m;
    for (int64_t i = 0; i < nx; ++i) {
        const double *hx_row = law.h_x + i * nx;
        xf_next[i] = fdot(hx_row, xf, nx) + fdot(law.R + i * m, e, m);
        xs_next[i] = pruned_row(law.h_ss[i], fdot(hx_row, xs, nx), 0.0, law.h_xx + i * nx2,
                                law.h_xe + i * nxm, law.h_ee + i * m2, kr, nx, m);
    }
}

// Other variable l from the components before the update:
// 1/2 g_ss + g_x (x^f + x^s) + R_l e + quadratic terms.
inline double pruned_other(const PrunedLaw &law, int64_t l, const double *xf, const double *xs,
                           const double *e, const PrunedKron &kr) {
    const int64_t nx = law.nx, m = law.m;
    const double *gx_row = law.g_x + l * nx;
    double lin = 0.0;
    for (int64_t j = 0; j < nx; ++j) lin = std::fma(gx_row[j], xf[j] + xs[j], lin);
    return pruned_row(law.g_ss[l], lin, fdot(law.R + (nx + l) * m, e, m), law.g_xx + l * nx * nx,
                      law.g_xe + l * nx * m, law.g_ee + l * m * m, kr, nx, m);
}

}  // namespace crv::detail
