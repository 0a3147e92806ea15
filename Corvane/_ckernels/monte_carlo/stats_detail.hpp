// Helpers shared by the statistics kernels (internal).
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>

#include "arena.hpp"

namespace crv::detail {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace crv::detail
