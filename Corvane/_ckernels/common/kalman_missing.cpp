// Linear Kalman filter over data with missing entries.
#include "filters.h"
#include "filters_layout.hpp"
#include "kalman_missing.hpp"

crv_arena_size_t kf_filter_missing_arena_size(int64_t n, int64_t m, int64_t k) {
    return crv::detail::arena_size<crv::detail::MissingArena>(n, m, k);
}

int32_t kf_filter_missing(const kf_inputs *in, double *arena, const kf_outputs *out) {
    const auto a = crv::detail::carve<crv::detail::MissingArena>(arena, nullptr, in->n_states,
                                                                 in->n_obs, in->n_shocks);
    return crv::detail::filter_missing_run(in, a, out, in->store_paths != 0,
                                           crv::detail::NoHook{});
}
