// Helpers shared by the model-solution sources (internal).
#pragma once

#include <cstdint>
#include <cstring>

namespace crv::detail {

// Consecutive blocks carved from the front of an arena region.
template <class T> struct SolveCarver {
    T *next;
    T *take(int64_t count) {
        T *block = next;
        next += count > 0 ? count : 0;
        return block;
    }
};

inline void copy_doubles(double *dst, const double *src, int64_t count) {
    if (count > 0) std::memcpy(dst, src, static_cast<size_t>(count) * sizeof(double));
}

inline void zero_doubles(double *dst, int64_t count) {
    if (count > 0) std::memset(dst, 0, static_cast<size_t>(count) * sizeof(double));
}

// Real values into interleaved complex pairs with zero imaginary parts.
inline void to_complex(const double *x, double *z, int64_t count) {
    for (int64_t i = 0; i < count; ++i) {
        z[2 * i] = x[i];
        z[2 * i + 1] = 0.0;
    }
}

inline int64_t max64(int64_t a, int64_t b) { return a > b ? a : b; }

}  // namespace crv::detail
