// Bijector kernels: the scalar and array entry points of every row of
// bijectors.def, generated from its operation struct (bijector_ops.hpp) by
// scalar_form and array_form. Copy and Fill operations become a block copy
// and a block fill.
#include <algorithm>
#include <cstring>

#include "bijector_ops.hpp"
#include "bijectors.h"

namespace {

using namespace crv::bijector;

// An operation may give its array form its own bounds and expression
// (`ArrayBounds`, `f_arr`); otherwise both forms share `Bounds` and `f`.
template <class Op> concept HasArrayForm = requires { typename Op::ArrayBounds; };

template <class Op, class... P> inline void scalar_form(const double *in, double *out, P... p) {
    if constexpr (Op::kind == Kind::Fill) {
        *out = 1.0;
    } else {
        *out = Op::f(*in, Op::Bounds::bounds(p...));
    }
}

template <class Op, class... P>
inline void array_form(const double *__restrict in, double *__restrict out, int64_t n, P... p) {
    if (n <= 0) return;
    if constexpr (Op::kind == Kind::Copy) {
        std::memcpy(out, in, static_cast<size_t>(n) * sizeof(double));
    } else if constexpr (Op::kind == Kind::Fill) {
        std::fill_n(out, n, 1.0);
    } else if constexpr (HasArrayForm<Op>) {
        const auto k = Op::ArrayBounds::bounds(p...);
        for (int64_t i = 0; i < n; ++i) out[i] = Op::f_arr(in[i], k);
    } else {
        const auto k = Op::Bounds::bounds(p...);
        for (int64_t i = 0; i < n; ++i) out[i] = Op::f(in[i], k);
    }
}

}  // namespace

// Exported entry points: scalar and array form of each row. The bound
// parameters are those of bijectors.h (CRV_BIJECTOR_PARAMS_*), passed on in
// order.
#define CRV_BIJECTOR_ARGS_NONE
#define CRV_BIJECTOR_ARGS_LOW , low
#define CRV_BIJECTOR_ARGS_HIGH , high
#define CRV_BIJECTOR_ARGS_LOW_HIGH , low, high
#define CRV_BIJECTOR_OP(b, op, bounds, Impl, formula)                                      \
    void crv_##b##_##op(const double *in, double *out CRV_BIJECTOR_PARAMS_##bounds) {      \
        scalar_form<Impl>(in, out CRV_BIJECTOR_ARGS_##bounds);                             \
    }                                                                                      \
    void crv_##b##_##op##_arr(const double *in, double *out,                               \
                              int64_t n CRV_BIJECTOR_PARAMS_##bounds) {                    \
        array_form<Impl>(in, out, n CRV_BIJECTOR_ARGS_##bounds);                           \
    }
#include "bijectors.def"
