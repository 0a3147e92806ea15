// Helpers shared by the statistics kernels (internal).
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>

namespace crv::detail {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Consecutive blocks carved from the front of an arena; negative counts take
// nothing.
struct StatCarver {
    double *next;
    double *take(int64_t count) {
        double *block = next;
        next += count > 0 ? count : 0;
        return block;
    }
};

inline void copy_f64(double *dst, const double *src, int64_t count) {
    if (count > 0) std::memcpy(dst, src, static_cast<size_t>(count) * sizeof(double));
}

}  // namespace crv::detail
