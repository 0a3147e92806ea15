// Arena layouts of the statistics kernels: residual diagnostics, stability
// tests and HAC Wald tests (internal; the idiom is described in arena.hpp).
// The *_arena_size functions of diagnostics.h, stability.h and hac.h are
// these layouts' size queries.
#pragma once

#include <algorithm>
#include <cstdint>

#include "arena.hpp"

namespace crv::detail {

// Entries of vech of a k x k matrix.
inline int64_t vech_size(int64_t k) { return k > 0 ? k * (k + 1) / 2 : 0; }

// crv_bg_stat: the auxiliary design Z = [1, X, lagged e] (n x m with
// m = k + p + 1), its normal matrix, factor, right-hand side and solution.
struct BgArena {
    double *Z, *G, *L, *g, *beta;

    template <class D>
    BgArena(D &d, int64_t n, int64_t k, int64_t p) : BgArena(d, n, k + p + 1) {}

  private:
    template <class D>
    BgArena(D &d, int64_t n, int64_t m)
        : Z(d.take(n, m)), G(d.take(m, m)), L(d.take(m, m)), g(d.take(m)), beta(d.take(m)) {}
};

// crv_bp_aux (and crv_bp_stat): the scaled squared residuals w, then the
// auxiliary regression on the m columns of Z.
struct BpArena {
    double *w, *G, *L, *g, *beta;

    template <class D>
    BpArena(D &d, int64_t n, int64_t m)
        : w(d.take(n)), G(d.take(m, m)), L(d.take(m, m)), g(d.take(m)), beta(d.take(m)) {}
};

// crv_lb_stat's scratch: the centred series d and the autocorrelations up to
// the lag actually used, h clipped to n - 1.
struct LbArena {
    double *d, *acf;

    template <class D>
    LbArena(D &dt, int64_t n, int64_t h)
        : d(dt.take(std::max<int64_t>(n, 0))),
          acf(dt.take(std::min(std::max<int64_t>(h, 0), n >= 2 ? n - 1 : 0) + 1)) {}
};

// crv_chow_stat: one OLS fit's normal matrix, factor, right-hand side and
// solution, reused by the three fits.
struct ChowArena {
    double *G, *L, *g, *beta;

    template <class D>
    ChowArena(D &d, int64_t k) : G(d.take(k, k)), L(d.take(k, k)), g(d.take(k)), beta(d.take(k)) {}
};

// crv_recursive_residuals: the first k rows' normal matrix, factor and
// inverse P, right-hand side, coefficients and P x.
struct RecursiveArena {
    double *G, *L, *P, *g, *beta, *Px;

    template <class D>
    RecursiveArena(D &d, int64_t k)
        : G(d.take(k, k)), L(d.take(k, k)), P(d.take(k, k)), g(d.take(k)), beta(d.take(k)),
          Px(d.take(k)) {}
};

// crv_cusum_series: the recursive residuals (n - k), the full-sample fit,
// then the recursive-residual arena.
struct CusumSeriesArena {
    double *w, *G, *L, *g, *beta, *recursive;

    template <class D>
    CusumSeriesArena(D &d, int64_t n, int64_t k)
        : w(d.take(n - k)), G(d.take(k, k)), L(d.take(k, k)), g(d.take(k)), beta(d.take(k)),
          recursive(d.take(arena_size<RecursiveArena>(k).doubles)) {}
};

// crv_cusum_stat: the series' arena, then the CUSUM path W (n - k).
struct CusumArena {
    double *series, *W;

    template <class D>
    CusumArena(D &d, int64_t n, int64_t k)
        : series(d.take(arena_size<CusumSeriesArena>(n, k).doubles)), W(d.take(n - k)) {}
};

// crv_cusumsq_stat: the recursive-residual arena, then the residuals (n - k).
struct CusumsqArena {
    double *recursive, *w;

    template <class D>
    CusumsqArena(D &d, int64_t n, int64_t k)
        : recursive(d.take(arena_size<RecursiveArena>(k).doubles)), w(d.take(n - k)) {}
};

// The HAC Wald statistic of m moment series: their means, the lag product
// Gamma, the long-run covariance S, the deviation d, the factor F of S, z =
// S^-1 d and the per-column plug-in bandwidths; the LU pivots in the slots.
struct WaldMomentsArena {
    double *mean, *gamma, *S, *d, *F, *z, *bandwidths;
    int64_t *piv;

    template <class D, class Slots>
    WaldMomentsArena(D &dt, Slots &s, int64_t m)
        : mean(dt.take(m)), gamma(dt.take(m, m)), S(dt.take(m, m)), d(dt.take(m)),
          F(dt.take(m, m)), z(dt.take(m)), bandwidths(dt.take(m)), piv(s.take(m)) {}
};

// crv_wald_mean_hac: a copy of X (T x k), then the moments step on it (m = k).
struct WaldMeanArena {
    double *moments, *step;
    int64_t *step_slots;

    template <class D, class S>
    WaldMeanArena(D &d, S &s, int64_t T, int64_t k)
        : WaldMeanArena(d, s, T, k, arena_size<WaldMomentsArena>(k)) {}

  private:
    template <class D, class S>
    WaldMeanArena(D &d, S &s, int64_t T, int64_t k, crv_arena_size_t step_size)
        : moments(d.take(T, k)), step(d.take(step_size.doubles)),
          step_slots(s.take(step_size.slots)) {}
};

// crv_wald_covariance_hac: the target vech (h), the centred data (T x k), the
// moments vech((x_t - xbar)(x_t - xbar)') (T x h; the column means use their
// start until the data are centred), then the moments step (m = h).
struct WaldCovArena {
    double *target, *centred, *moments, *step;
    int64_t *step_slots;

    template <class D, class S>
    WaldCovArena(D &d, S &s, int64_t T, int64_t k)
        : WaldCovArena(d, s, T, k, vech_size(k), arena_size<WaldMomentsArena>(vech_size(k))) {}

  private:
    template <class D, class S>
    WaldCovArena(D &d, S &s, int64_t T, int64_t k, int64_t h, crv_arena_size_t step_size)
        : target(d.take(h)), centred(d.take(T, k)), moments(d.take(T, h)),
          step(d.take(step_size.doubles)), step_slots(s.take(step_size.slots)) {}
};

// crv_wald_second_moment_hac: the target vech (h), the moments vech(x_t x_t')
// (T x h), then the moments step (m = h).
struct WaldSecondArena {
    double *target, *moments, *step;
    int64_t *step_slots;

    template <class D, class S>
    WaldSecondArena(D &d, S &s, int64_t T, int64_t k)
        : WaldSecondArena(d, s, T, vech_size(k), arena_size<WaldMomentsArena>(vech_size(k))) {}

  private:
    template <class D, class S>
    WaldSecondArena(D &d, S &s, int64_t T, int64_t h, crv_arena_size_t step_size)
        : target(d.take(h)), moments(d.take(T, h)), step(d.take(step_size.doubles)),
          step_slots(s.take(step_size.slots)) {}
};

}  // namespace crv::detail
