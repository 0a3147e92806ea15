// Arena layouts of the model-solution kernels (internal; the idiom is
// described in arena.hpp). Every *_arena_size function of solve.h is the size
// query of one layout here, and its kernel carves the same layout.
//
// Dimensions: n variables (nx states, ny others), m shocks, p parameters, neq
// equations, N the order of the pencil (crv_pencil_dim); complex values take
// two doubles.
#pragma once

#include <algorithm>
#include <cstdint>

#include "arena.hpp"

namespace crv::detail {

// klein_preproc: the point and the parameters as complex values, three
// evaluation copies, the shocks and the residuals. The residual block holds
// max(n, neq) values: the callback always writes n.
struct PreprocArena {
    double *z, *theta, *X1, *X2, *X3, *E, *R;

    template <class D>
    PreprocArena(D &d, int64_t n, int64_t p, int64_t m, int64_t neq)
        : z(d.take(2, n)), theta(d.take(2, p)), X1(d.take(2, n)), X2(d.take(2, n)),
          X3(d.take(2, n)), E(d.take(2, m)), R(d.take(2, std::max(neq, n))) {}
};

// crv_steady_state_newton: the iterate and the parameters as complex values,
// the residual, the zero shocks, the real residual and step, the four
// Jacobians and their combination J, then klein_preproc's arena; the
// pivots of J in the slots.
struct NewtonArena {
    double *z, *theta, *r, *e, *f, *delta, *J_lead, *J_cur, *J_lag, *J_shock, *J, *preproc;
    int64_t *piv;

    template <class D, class S>
    NewtonArena(D &d, S &s, int64_t n, int64_t p, int64_t m)
        : z(d.take(2, n)), theta(d.take(2, p)), r(d.take(2, n)), e(d.take(2, m)),
          f(d.take(n)), delta(d.take(n)), J_lead(d.take(n, n)), J_cur(d.take(n, n)),
          J_lag(d.take(n, n)), J_shock(d.take(n, m)), J(d.take(n, n)),
          preproc(d.take(arena_size<PreprocArena>(n, p, m, n).doubles)), piv(s.take(n)) {}
};

// crv_pencil_rotate_static: W (n x k static columns, column-major) and tau
// for dgeqrf, then the LAPACK work array of lwork doubles; c is the widest
// matrix rotated.
struct RotateArena {
    int64_t lwork;
    double *W, *tau, *work;

    template <class D>
    RotateArena(D &d, int64_t n, int64_t k, int64_t c)
        : lwork(n + 64 * std::max(n, c)), W(d.take(n, k)), tau(d.take(k)), work(d.take(lwork)) {}
};

// klein_qz: zgges's alpha and beta, rwork, its work array of lwork complex
// values and the logical array bwork in the slots.
struct QzArena {
    int64_t lwork;
    double *alpha, *beta, *rwork, *work;
    int32_t *bwork;

    template <class D, class S>
    QzArena(D &d, S &s, int64_t N)
        : lwork(65 * N), alpha(d.take(2, N)), beta(d.take(2, N)), rwork(d.take(8, N)),
          work(d.take(2, lwork)), bwork(take_int32(s, N)) {}
};

// klein_postproc (complex blocks): the leading blocks of Z, S and T, the
// identity, Z11^-1, S11^-1 T11 and a product; the pivots in the slots. The
// size has always counted one nk x nk complex block more than the kernel
// uses: it stays, unused, so the size query keeps its value.
struct PostprocArena {
    double *Z11, *Z21, *S11, *T11, *I, *Z11inv, *X, *tmp, *unused;
    int64_t *piv;

    template <class D, class S>
    PostprocArena(D &d, S &s, int64_t nk, int64_t nf)
        : Z11(d.take(2, nk, nk)), Z21(d.take(2, nf, nk)), S11(d.take(2, nk, nk)),
          T11(d.take(2, nk, nk)), I(d.take(2, nk, nk)), Z11inv(d.take(2, nk, nk)),
          X(d.take(2, nk, nk)), tmp(d.take(2, nk, nk)), unused(d.take(2, nk, nk)),
          piv(s.take(nk)) {}
};

// The pencil stage of the first-order solution (crv_klein_from_pencil): the
// rotated copies of the Jacobians, the pencil, the policies (complex, then
// their real parts), the policy of every variable on the states, the system
// matrix, the right-hand sides and the impact; then the scratch the rotation,
// the QZ step and the post-processing use in turn (also the static policy's
// P h product). The policy blocks are sized for nk, nf <= N, all the size
// query knows. Slots: the pivots, the phases' slots, and N slots the size
// has always counted and nothing uses.
struct PencilStage {
    double *L, *B, *C, *E, *P_cur, *P_lead, *gx_c, *hx_c, *gx_r, *hx_r, *P, *M, *rhs, *R;
    double *scratch;
    int64_t *piv, *phase_slots, *unused;

    // The phases' needs; the rotation takes no slots.
    static crv_arena_size_t phases(int64_t n, int64_t m, int64_t N) {
        const crv_arena_size_t post = arena_size<PostprocArena>(N, N), qz = arena_size<QzArena>(N);
        return {std::max({post.doubles, qz.doubles,
                          arena_size<RotateArena>(n, n, std::max(n, m)).doubles}),
                std::max(post.slots, qz.slots)};
    }

    template <class D, class S>
    PencilStage(D &d, S &s, int64_t n, int64_t m, int64_t N)
        : PencilStage(d, s, n, m, N, phases(n, m, N)) {}

  private:
    template <class D, class S>
    PencilStage(D &d, S &s, int64_t n, int64_t m, int64_t N, crv_arena_size_t need)
        : L(d.take(n, n)), B(d.take(n, n)), C(d.take(n, n)), E(d.take(n, m)),
          P_cur(d.take(N, N)), P_lead(d.take(N, N)), gx_c(d.take(2, N, N)),
          hx_c(d.take(2, N, N)), gx_r(d.take(N, N)), hx_r(d.take(N, N)), P(d.take(N, n)),
          M(d.take(n, n)), rhs(d.take(N, n)), R(d.take(n, m)), scratch(d.take(need.doubles)),
          piv(s.take(n)), phase_slots(s.take(need.slots)), unused(s.take(N)) {}
};

// crv_klein_solve1 (and crv_klein_linearize, crv_klein_from_pencil on the
// same regions): a reserve of 2 nx (nx + ny) doubles that neither stage
// touches, then one area used by the linearisation (Newton, then
// klein_preproc) and afterwards by the pencil stage.
struct Solve1Arena {
    double *reserve, *stage;
    int64_t *stage_slots;

    // What the stages need of the shared area; klein_preproc takes no slots.
    static crv_arena_size_t stages(int64_t n, int64_t p, int64_t m, int64_t N) {
        const crv_arena_size_t newton = arena_size<NewtonArena>(n, p, m);
        const crv_arena_size_t pencil = arena_size<PencilStage>(n, m, N);
        return {std::max({newton.doubles, arena_size<PreprocArena>(n, p, m, n).doubles,
                          pencil.doubles}),
                std::max(newton.slots, pencil.slots)};
    }

    template <class D, class S>
    Solve1Arena(D &d, S &s, int64_t n, int64_t nx, int64_t ny, int64_t p, int64_t m, int64_t N)
        : Solve1Arena(d, s, nx, ny, stages(n, p, m, N)) {}

    // The same layout for a given stage requirement. Where the stage starts
    // does not depend on it: crv_klein_linearize, which runs before the
    // pencil's order is known, carves it with {0, 0}.
    template <class D, class S>
    Solve1Arena(D &d, S &s, int64_t nx, int64_t ny, crv_arena_size_t area)
        : reserve(d.take(2, nx, nx + ny)), stage(d.take(area.doubles)),
          stage_slots(s.take(area.slots)) {}
};

// crv_bicomplex_hessian (bicomplex values, four doubles each): the three
// copies of the point, the parameters, the shocks and the residuals, which
// hold max(n, neq) values.
struct HessianArena {
    double *X_lead, *X_cur, *X_lag, *theta, *E, *resid;

    template <class D>
    HessianArena(D &d, int64_t n, int64_t p, int64_t m, int64_t neq)
        : X_lead(d.take(4, n)), X_cur(d.take(4, n)), X_lag(d.take(4, n)), theta(d.take(4, p)),
          E(d.take(4, m)), resid(d.take(4, std::max(neq, n))) {}
};

// crv_second_order, with k2 = nx^2, D = 3n + m and q = max(nx m, nx^2, m^2):
// the dense (x, x) system and its right-hand side and solution, a block of
// the same size the size has always counted and nothing uses, the scale
// terms, the coefficient matrices, the (x, e) and (e, e) work, Phi, the
// first-order derivatives of v and the contraction scratch; the pivots of
// the largest system in the slots.
struct SecondOrderArena {
    double *sys, *Qxx, *Gxx, *unused, *Qss, *M0, *Mss, *ss_sol, *Q, *W, *rhs, *Phi, *LPhi;
    double *ss_rhs, *Vx, *Ve, *We, *tmp;
    int64_t *piv;

    template <class D, class S>
    SecondOrderArena(D &d, S &s, int64_t n, int64_t nx, int64_t m)
        : SecondOrderArena(d, s, n, nx, m, n * nx * nx, std::max({nx * m, nx * nx, m * m}),
                           3 * n + m) {}

  private:
    template <class D, class S>
    SecondOrderArena(D &d, S &s, int64_t n, int64_t nx, int64_t m, int64_t nk2, int64_t q,
                     int64_t D_)
        : sys(d.take(nk2, nk2)), Qxx(d.take(nk2)), Gxx(d.take(nk2)), unused(d.take(nk2)),
          Qss(d.take(n, m, m)), M0(d.take(n, n)), Mss(d.take(n, n)), ss_sol(d.take(n, n)),
          Q(d.take(n, q)), W(d.take(n, q)), rhs(d.take(n, q)), Phi(d.take(n, nx)),
          LPhi(d.take(n, nx)), ss_rhs(d.take(n)), Vx(d.take(D_, nx)), Ve(d.take(D_, m)),
          We(d.take(D_, m)), tmp(d.take(D_, q)), piv(s.take(std::max(n, nk2))) {}
};

// crv_sgu_klein_solve2: the reserve of the first-order solution, then one
// area used by its two stages, the Hessian and the second-order terms in
// turn.
struct Solve2Arena {
    double *reserve, *stage;
    int64_t *stage_slots;

    // What the phases need of the shared area; the Hessian takes no slots.
    static crv_arena_size_t phases(int64_t n, int64_t nx, int64_t p, int64_t m, int64_t N) {
        const crv_arena_size_t first = Solve1Arena::stages(n, p, m, N);
        const crv_arena_size_t second = arena_size<SecondOrderArena>(n, nx, m);
        return {std::max({first.doubles, arena_size<HessianArena>(n, p, m, n).doubles,
                          second.doubles}),
                std::max(first.slots, second.slots)};
    }

    template <class D, class S>
    Solve2Arena(D &d, S &s, int64_t n, int64_t nx, int64_t ny, int64_t p, int64_t m, int64_t N)
        : Solve2Arena(d, s, nx, ny, phases(n, nx, p, m, N)) {}

  private:
    template <class D, class S>
    Solve2Arena(D &d, S &s, int64_t nx, int64_t ny, crv_arena_size_t area)
        : reserve(d.take(2, nx, nx + ny)), stage(d.take(area.doubles)),
          stage_slots(s.take(area.slots)) {}
};

}  // namespace crv::detail
