// Input block of the data-transform runners (internal; the layout idiom is
// described in arena.hpp): X (T x k), then the kernel's scratch of `rows`
// rows of k words (standardize and rolling var/std 2, log 0, log_diff and
// rolling mean 1, diff `order`). The *_arena_size functions of
// mc_transforms.h are its size queries.
#pragma once

#include <cstdint>

#include "arena.hpp"

namespace crv::detail {

struct TransformInput {
    double *X, *scratch;

    template <class D>
    TransformInput(D &d, int64_t T, int64_t k, int64_t rows)
        : X(d.take(T, k)), scratch(d.take(rows, k)) {}
};

}  // namespace crv::detail
