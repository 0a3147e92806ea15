/* Simulation of solved models for caller-supplied shock paths.
 *
 * First order: s(t) = A s(t-1) + R e(t), written as a T x n path (row t is the
 * state after the shock of period t), and the affine map Y = S Z^T + 1 d^T.
 * Pruned second order: the first-order component x^f and the second-order
 * component x^s are propagated apart and every quadratic term is formed from
 * x^f only, so simulated paths stay bounded whenever h_x is stable.
 *
 * Second-order blocks (Kronecker order (a (x) b)[j*len(b) + k] = a_j b_k):
 * h_x nx x nx, g_x ny x nx, R (nx+ny) x m (state rows first), h_xx nx x nx^2,
 * g_xx ny x nx^2, h_xe nx x nx*m, g_xe ny x nx*m, h_ee nx x m^2, g_ee ny x m^2,
 * h_ss nx, g_ss ny. The factor 1/2 applies to the xx, ee and ss terms, never to
 * the cross term xe.
 *
 * The kernels take the double arena region only (no integer slots), draw no
 * random numbers, never allocate and cannot fail. */
#ifndef CORVANE_SIMULATE_H
#define CORVANE_SIMULATE_H

#include "crv_api.h"

/* Size query of the LinearSimArena layout (simulate_layout.hpp); a negative
 * n counts as 0. */
CRV_API crv_arena_size_t crv_simulate_linear_states_arena_size(int64_t n);

/* S (T x n) = the path of s' = A s + R e(t) from s0, plus mu (may be null) on
 * the output only: the recursion runs in deviations. Arena: the LinearSimArena
 * layout. Nothing is written when n < 1; E and R are not read when m < 1. */
CRV_API void crv_simulate_linear_states(const double *A, const double *R, const double *s0,
                                        const double *E, const double *mu, double *S,
                                        double *arena, int64_t T, int64_t n, int64_t m);

/* Y (T x k) = S Z^T + 1 d^T for S (T x n), Z (k x n); every row of Y is a copy
 * of d when n < 1; nothing when T < 1 or k < 1. */
CRV_API void crv_affine_observations(const double *S, const double *Z, const double *d, double *Y,
                                     int64_t T, int64_t k, int64_t n);

/* Size query of the PrunedSimArena layout (simulate_layout.hpp); negative
 * dimensions count as 0. */
CRV_API crv_arena_size_t crv_simulate_second_order_pruned_arena_size(int64_t nx, int64_t m);

/* Pruned second-order path from x^f = x0, x^s = 0. Row t of Y (T x (nx+ny)):
 * states x^f' + x^s' after the shock of period t, then the other variables
 * g(x^f + x^s, e(t)) evaluated at the components before the update; offset
 * (nx+ny, may be null) is added to the output only. Arena: the PrunedSimArena
 * layout; the products are formed once per period. Nothing is written when
 * T < 1, nx < 0, ny < 0, m < 0 or nx + ny < 1. */
CRV_API void crv_simulate_second_order_pruned(
    const double *h_x, const double *g_x, const double *R, const double *h_xx,
    const double *g_xx, const double *h_xe, const double *g_xe, const double *h_ee,
    const double *g_ee, const double *h_ss, const double *g_ss, const double *x0, const double *E,
    const double *offset, double *Y, double *arena, int64_t T, int64_t nx, int64_t ny, int64_t m);

#endif
