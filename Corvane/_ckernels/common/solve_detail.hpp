// Helpers shared by the model-solution sources (internal).
#pragma once

#include <cstdint>
#include <cstring>

#include "arena.hpp"

namespace crv::detail {

template <class T> using SolveCarver = Carver<T>;
inline void copy_doubles(double *dst, const double *src, int64_t count) { copy_f64(dst, src, count); }
inline void zero_doubles(double *dst, int64_t count) { zero_f64(dst, count); }

// Real values into interleaved complex pairs with zero imaginary parts.
inline void to_complex(const double *x, double *z, int64_t count) {
    for (int64_t i = 0; i < count; ++i) {
        z[2 * i] = x[i];
        z[2 * i + 1] = 0.0;
    }
}

inline int64_t max64(int64_t a, int64_t b) { return a > b ? a : b; }

}  // namespace crv::detail
