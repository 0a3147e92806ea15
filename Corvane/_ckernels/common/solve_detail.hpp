// Helpers shared by the model-solution sources (internal).
#pragma once

#include <cstdint>
#include <cstring>

#include "arena.hpp"

namespace crv::detail {

// Real values into interleaved complex pairs with zero imaginary parts.
inline void to_complex(const double *x, double *z, int64_t count) {
    for (int64_t i = 0; i < count; ++i) {
        z[2 * i] = x[i];
        z[2 * i + 1] = 0.0;
    }
}

}  // namespace crv::detail
