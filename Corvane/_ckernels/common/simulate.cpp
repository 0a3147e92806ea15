// First-order and pruned second-order simulation for given shock paths.
#include <cstring>
#include <utility>

#include "fdot.hpp"
#include "pruned.hpp"
#include "simulate.h"
#include "simulate_layout.hpp"

using crv::detail::fdot;

namespace {

inline int64_t nonneg(int64_t v) { return v > 0 ? v : 0; }

}  // namespace

crv_arena_size_t crv_simulate_linear_states_arena_size(int64_t n) {
    return crv::detail::arena_size<crv::detail::LinearSimArena>(nonneg(n));
}

void crv_simulate_linear_states(const double *A, const double *R, const double *s0,
                                const double *E, const double *mu, double *S, double *arena,
                                int64_t T, int64_t n, int64_t m) {
    if (n < 1) return;
    const auto a = crv::detail::carve<crv::detail::LinearSimArena>(arena, nullptr, n);
    double *s = a.s, *s_next = a.s_next;
    std::memcpy(s, s0, static_cast<size_t>(n) * sizeof(double));
    for (int64_t t = 0; t < T; ++t) {
        const double *e = E + t * m;
        double *row = S + t * n;
        for (int64_t j = 0; j < n; ++j) {
            double v = fdot(A + j * n, s, n);
            if (m > 0) v += fdot(R + j * m, e, m);
            s_next[j] = v;
            row[j] = mu ? v + mu[j] : v;
        }
        std::swap(s, s_next);
    }
}

void crv_affine_observations(const double *S, const double *Z, const double *d, double *Y,
                             int64_t T, int64_t k, int64_t n) {
    if (T <= 0 || k <= 0) return;
    for (int64_t t = 0; t < T; ++t) {
        double *row = Y + t * k;
        if (n <= 0) {
            std::memcpy(row, d, static_cast<size_t>(k) * sizeof(double));
            continue;
        }
        for (int64_t j = 0; j < k; ++j) row[j] = d[j] + fdot(S + t * n, Z + j * n, n);
    }
}

crv_arena_size_t crv_simulate_second_order_pruned_arena_size(int64_t nx, int64_t m) {
    return crv::detail::arena_size<crv::detail::PrunedSimArena>(nonneg(nx), nonneg(m));
}

void crv_simulate_second_order_pruned(const double *h_x, const double *g_x, const double *R,
                                      const double *h_xx, const double *g_xx, const double *h_xe,
                                      const double *g_xe, const double *h_ee, const double *g_ee,
                                      const double *h_ss, const double *g_ss, const double *x0,
                                      const double *E, const double *offset, double *Y,
                                      double *arena, int64_t T, int64_t nx, int64_t ny,
                                      int64_t m) {
    if (T < 1 || nx < 0 || ny < 0 || m < 0 || nx + ny < 1) return;
    const crv::detail::PrunedLaw law{h_x,  g_x,  R,    h_xx, g_xx, h_xe, g_xe,
                                     h_ee, g_ee, h_ss, g_ss, nx,   ny,   m};
    const int64_t n = nx + ny;
    const auto a = crv::detail::carve<crv::detail::PrunedSimArena>(arena, nullptr, nx, m);
    double *xf = a.xf, *xs = a.xs, *xf_next = a.xf_next, *xs_next = a.xs_next;
    const crv::detail::PrunedKron &kr = a.kron;
    if (nx > 0) {
        std::memcpy(xf, x0, static_cast<size_t>(nx) * sizeof(double));
        std::memset(xs, 0, static_cast<size_t>(nx) * sizeof(double));
    }
    for (int64_t t = 0; t < T; ++t) {
        const double *e = E + t * m;
        double *row = Y + t * n;
        crv::detail::pruned_kron(xf, e, kr, nx, m);
        crv::detail::pruned_states(law, xf, xs, e, kr, xf_next, xs_next);
        for (int64_t i = 0; i < nx; ++i) {
            const double v = xf_next[i] + xs_next[i];
            row[i] = offset ? v + offset[i] : v;
        }
        for (int64_t l = 0; l < ny; ++l) {
            const double v = crv::detail::pruned_other(law, l, xf, xs, e, kr);
            row[nx + l] = offset ? v + offset[nx + l] : v;
        }
        std::swap(xf, xf_next);
        std::swap(xs, xs_next);
    }
}
