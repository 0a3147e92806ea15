// Arena carving and block copies shared by the kernel sources (internal).
#pragma once

#include <cstdint>
#include <cstring>

namespace crv::detail {

// Consecutive blocks carved from the front of an arena region; a negative
// count takes nothing.
template <class T = double> struct Carver {
    T *next;
    T *take(int64_t count) {
        T *block = next;
        next += count > 0 ? count : 0;
        return block;
    }
};

inline void copy_f64(double *dst, const double *src, int64_t count) {
    if (count > 0) std::memcpy(dst, src, static_cast<size_t>(count) * sizeof(double));
}

inline void zero_f64(double *dst, int64_t count) {
    if (count > 0) std::memset(dst, 0, static_cast<size_t>(count) * sizeof(double));
}

}  // namespace crv::detail
