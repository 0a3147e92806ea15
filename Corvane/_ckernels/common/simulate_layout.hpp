// Arena layouts of the simulations (internal; the idiom is described in
// arena.hpp). Their size queries are crv_simulate_linear_states_arena_size
// and crv_simulate_second_order_pruned_arena_size.
#pragma once

#include <cstdint>

#include "arena.hpp"
#include "pruned.hpp"

namespace crv::detail {

// crv_simulate_linear_states: the current and the next state, swapped by
// pointer each period.
struct LinearSimArena {
    double *s, *s_next;

    template <class D> LinearSimArena(D &d, int64_t n) : s(d.take(n)), s_next(d.take(n)) {}
};

// crv_simulate_second_order_pruned: the current and next components, then
// the period's Kronecker products of (x^f, e).
struct PrunedSimArena {
    double *xf, *xs, *xf_next, *xs_next;
    PrunedKron kron;

    template <class D>
    PrunedSimArena(D &d, int64_t nx, int64_t m)
        : xf(d.take(nx)), xs(d.take(nx)), xf_next(d.take(nx)), xs_next(d.take(nx)),
          kron{d.take(nx, nx), d.take(nx, m), d.take(m, m)} {}
};

}  // namespace crv::detail
