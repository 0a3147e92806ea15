// Shock generator of the simulation runners: each block draws from its own
// Philox stream keyed by the block and the replication index.
#include <cmath>

#include "fdot.hpp"
#include "mc.h"
#include "rng.h"

namespace {

constexpr int32_t kUniform = 1;

// Whether every column of the block lies inside the output row and the
// block's draws fit the scratch.
bool block_fits(const crv_mc_shock_spec &plan, const crv_mc_shock_block &block) {
    const int64_t n_cols = block.kind == kUniform ? 1 : block.dim;
    if (block.cols == nullptr || plan.scratch_width < n_cols) return false;
    if (block.kind != kUniform && block.loading == nullptr) return false;
    for (int64_t k = 0; k < n_cols; ++k)
        if (block.cols[k] < 0 || block.cols[k] >= plan.n_shocks) return false;
    return true;
}

}  // namespace

int64_t crv_mc_shock_scratch_size(const crv_mc_shock_spec *plan) {
    if (plan == nullptr || plan->n_periods <= 0 || plan->scratch_width <= 0) return 0;
    return plan->n_periods * plan->scratch_width;
}

void crv_mc_shock_draw(const crv_mc_shock_spec *plan, uint64_t rep, double *scratch,
                       double *out) {
    if (plan == nullptr) return;
    const int64_t T = plan->n_periods;
    const int64_t width = plan->n_shocks;
    if (T < 1 || width < 1) return;
    for (int64_t i = 0; i < T * width; ++i) out[i] = 0.0;
    if (plan->blocks == nullptr) return;

    for (int64_t b = 0; b < plan->n_blocks; ++b) {
        const crv_mc_shock_block &block = plan->blocks[b];
        if (block.kind != kUniform && block.dim < 1) continue;
        if (!block_fits(*plan, block)) continue;
        crv_philox_state state;
        crv_philox_seed(&state, block.key0, block.key1, rep, 0);
        if (block.kind == kUniform) {
            crv_philox_standard_uniform_fill(&state, T, scratch);
            const int64_t col = block.cols[0];
            for (int64_t p = 0; p < T; ++p)
                out[p * width + col] = std::fma(block.width, scratch[p], block.lower) * plan->scale;
            continue;
        }
        const int64_t m = block.dim;
        crv_philox_standard_normal_fill(&state, T * m, scratch);
        for (int64_t p = 0; p < T; ++p) {
            const double *z = scratch + p * m;
            for (int64_t k = 0; k < m; ++k) {
                const double mean = block.mean != nullptr ? block.mean[k] : 0.0;
                const double value = mean + crv::detail::fdot(block.loading + k * m, z, m);
                out[p * width + block.cols[k]] = value * plan->scale;
            }
        }
    }
}
