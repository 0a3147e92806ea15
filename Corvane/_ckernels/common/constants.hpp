// Numerical constants shared by the kernel sources (internal). Constants of
// one algorithm (step sizes, tolerances, floors) stay beside it.
#pragma once

#include <limits>

namespace crv::detail {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline constexpr double kEps = 2.220446049250313e-16;           // 2^-52, the library's epsilon

inline constexpr double kTwoPi = 6.283185307179586;             // 2 pi
inline constexpr double kLog2Pi = 1.8378770664093453;           // log(2 pi)
inline constexpr double kHalfLog2Pi = 0.9189385332046727;       // 0.5 log(2 pi)
inline constexpr double kInvSqrt2Pi = 0.3989422804014327;       // 1 / sqrt(2 pi)
inline constexpr double kSqrt2 = 1.4142135623730951;            // sqrt 2
inline constexpr double kLog4 = 1.3862943611198906;             // log 4 = 2 log 2
inline constexpr double kLog2OverPi = 0.4515827052894548;       // log(2 / pi)
inline constexpr double kHalfLog2OverPi = 0.2257913526447274;   // 0.5 log(2 / pi)

}  // namespace crv::detail
