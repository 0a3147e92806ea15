// Workspace layout of the sampler (internal; the idiom is described in
// arena.hpp): crv_mcmc_run allocates it from the heap, sized by its query.
#pragma once

#include <cstdint>

#include "arena.hpp"

namespace crv::detail {

// The state, the proposal, the standard normal draw, the running mean and
// the two Welford deviations (d each); the proposal factor L, the co-moment
// matrix M2, the scaled covariance C and the candidate factor (d x d each).
struct McmcWork {
    double *x, *proposal, *z, *mean, *delta, *delta_new, *L, *M2, *C, *L_new;

    template <class D>
    McmcWork(D &dt, int64_t d)
        : x(dt.take(d)), proposal(dt.take(d)), z(dt.take(d)), mean(dt.take(d)),
          delta(dt.take(d)), delta_new(dt.take(d)), L(dt.take(d, d)), M2(dt.take(d, d)),
          C(dt.take(d, d)), L_new(dt.take(d, d)) {}
};

}  // namespace crv::detail
