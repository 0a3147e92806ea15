// Arena layouts, their takers and block copies shared by the kernel sources
// (internal).
//
// A kernel's scratch is described once, as a layout: a struct whose members
// are the blocks of its arena, declared in carve order and initialised by one
// constructor over two takers, d for the double region and s for the 64-bit
// slot region (layouts of the double region alone take d only):
//
//     struct QzArena {                    // solve_layout.hpp
//         int64_t lwork;                  // a value the blocks depend on
//         double *alpha, *beta, *rwork, *work;
//         int32_t *bwork;
//         template <class D, class S>
//         QzArena(D &d, S &s, int64_t N)
//             : lwork(65 * N), alpha(d.take(2, N)), beta(d.take(2, N)),
//               rwork(d.take(8, N)), work(d.take(2, lwork)), bwork(take_int32(s, N)) {}
//     };
//
// Built over Counters the layout is the size query, arena_size<QzArena>(N),
// in the spirit of LAPACK's workspace query; built over Carvers it is the
// kernel's view of the caller's regions, carve<QzArena>(dwork, iwork, N).
// Members are initialised in declaration order, so the declaration is the
// carve order (-Wreorder flags an initialiser list that disagrees). A
// composite kernel takes its persistent blocks first and then one block of
// the largest size among its phases, each phase carving its own layout there.
// Counters hand out null pointers: a layout constructor only takes blocks and
// never offsets a pointer it was given. docs/developing.md has the rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>

#include "crv_api.h"

namespace crv::detail {

// Consecutive blocks carved from the front of an arena region. A block of
// factors a, b, ... holds a * b * ... elements; a negative count takes nothing.
template <class T = double> struct Carver {
    T *next;
    template <class... I> T *take(int64_t count, I... factors) {
        ((count *= static_cast<int64_t>(factors)), ...);
        T *block = next;
        next += count > 0 ? count : 0;
        return block;
    }
};

// The counting taker of the size query: the sum of the blocks' sizes as the
// layout states them (a block the carver would skip for a negative count is
// summed as it is, so for any arguments the query is the closed-form sum of
// the blocks). A count beyond int64 saturates at INT64_MAX, which no caller
// can allocate.
template <class T = double> struct Counter {
    static constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    int64_t count = 0;
    template <class... I> T *take(int64_t block, I... factors) {
        bool overflow = false;
        ((overflow = overflow || __builtin_mul_overflow(block, static_cast<int64_t>(factors),
                                                         &block)),
         ...);
        if (overflow || count == kMax || __builtin_add_overflow(count, block, &count))
            count = kMax;
        return nullptr;
    }
};

// An array of count 32-bit integers (a LAPACK logical work array) in the slot
// region: (count + 1) / 2 slots.
template <class S> int32_t *take_int32(S &slots, int64_t count) {
    return reinterpret_cast<int32_t *>(slots.take((count + 1) / 2));
}

// Builds Layout over the two takers, or over the double taker alone for a
// layout of the double region only.
template <class Layout, class D, class S, class... Dims>
Layout build_layout(D &d, S &s, Dims... dims) {
    if constexpr (std::is_constructible_v<Layout, D &, S &, Dims...>)
        return Layout(d, s, dims...);
    else
        return Layout(d, dims...);
}

// The size query of a layout: {doubles, slots}.
template <class Layout, class... Dims> crv_arena_size_t arena_size(Dims... dims) {
    Counter<double> d;
    Counter<int64_t> s;
    build_layout<Layout>(d, s, dims...);
    return {d.count, s.count};
}

// The layout carved from the caller's regions (iwork may be null for a layout
// of the double region only).
template <class Layout, class... Dims>
Layout carve(double *dwork, int64_t *iwork, Dims... dims) {
    Carver<double> d{dwork};
    Carver<int64_t> s{iwork};
    return build_layout<Layout>(d, s, dims...);
}

// A heap workspace of count elements for the kernels whose contract lets
// them allocate; null when the count cannot be allocated (it saturated, or
// its bytes exceed the address space). Released with std::free.
template <class T> T *heap_block(int64_t count) {
    constexpr int64_t limit = PTRDIFF_MAX / static_cast<int64_t>(sizeof(T));
    if (count < 1 || count > limit) return nullptr;
    return static_cast<T *>(std::malloc(static_cast<size_t>(count) * sizeof(T)));
}

inline void copy_f64(double *dst, const double *src, int64_t count) {
    if (count > 0) std::memcpy(dst, src, static_cast<size_t>(count) * sizeof(double));
}

inline void zero_f64(double *dst, int64_t count) {
    if (count > 0) std::memset(dst, 0, static_cast<size_t>(count) * sizeof(double));
}

}  // namespace crv::detail
