// Adaptive random-walk Metropolis sampler.
#include "mcmc.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "arena.hpp"
#include "fdot.hpp"
#include "linalg.h"
#include "mcmc_layout.hpp"

namespace {

constexpr double kScale = 5.6644;  // 2.38^2
constexpr char kOk[] = "ok";
constexpr char kAllocFailed[] = "mcmc workspace allocation failed";
constexpr char kInvalid[] = "invalid mcmc arguments";

inline void copy(double *dst, const double *src, int64_t count) {
    std::memcpy(dst, src, static_cast<size_t>(count) * sizeof(double));
}

inline int64_t fail(crv_mcmc_result *result, int64_t status, const char *message) {
    if (result) {
        result->status = status;
        result->message = message;
    }
    return status;
}

bool valid(crv_mcmc_logpost_fn logpost, const bitgen_t *bitgen, const double *x0, int64_t d,
           const crv_mcmc_config *config, const crv_mcmc_output *output) {
    if (!logpost || !bitgen || !bitgen->next_uint64 || !bitgen->next_double || !x0 || !config ||
        d < 1)
        return false;
    const crv_mcmc_config &c = *config;
    if (c.n_draws < 0 || c.n_burn < 0 || c.thin < 1 || c.adapt_interval < 0 ||
        !std::isfinite(c.init_scale))
        return false;
    if (c.n_draws > (std::numeric_limits<int64_t>::max() - c.n_burn) / c.thin) return false;
    if (c.n_draws > 0 && (!output || !output->draws || !output->logpost)) return false;
    return true;
}

// One Welford step on state x: mean and co-moment matrix M2 of k + 1 states.
inline void accumulate(const double *x, double *mean, double *delta, double *delta_new, double *M2,
                       int64_t d, int64_t k) {
    const double count = static_cast<double>(k + 1);
    for (int64_t j = 0; j < d; ++j) {
        delta[j] = x[j] - mean[j];
        mean[j] = mean[j] + delta[j] / count;
        delta_new[j] = x[j] - mean[j];
    }
    for (int64_t j = 0; j < d; ++j) crv::detail::faxpy(delta[j], delta_new, M2 + j * d, d);
}

// L = chol((M2 / k + eps I) * 2.38^2 / d) when it factorises with finite
// entries; otherwise L is left unchanged.
inline void replace_factor(const double *M2, double *C, double *L_new, double *L, int64_t d,
                           int64_t k, double eps) {
    const double count = static_cast<double>(k);
    const double dim = static_cast<double>(d);
    for (int64_t j = 0; j < d; ++j)
        for (int64_t l = 0; l < d; ++l) {
            const double cov = M2[j * d + l] / count + (j == l ? eps : 0.0);
            C[j * d + l] = cov * kScale / dim;
        }
    if (crv_chol(C, L_new, d, 0.0) != 0) return;
    for (int64_t i = 0; i < d * d; ++i)
        if (!std::isfinite(L_new[i])) return;
    copy(L, L_new, d * d);
}

}  // namespace

int64_t crv_mcmc_run(crv_mcmc_logpost_fn logpost, void *context, bitgen_t *bitgen,
                     const double *x0, int64_t d, const crv_mcmc_config *config,
                     const crv_mcmc_output *output, crv_mcmc_result *result) {
    if (result) {
        result->accepted = 0;
        result->n_iter = 0;
        result->reserved = 0;
        result->status = 0;
        result->message = kOk;
    }
    if (!valid(logpost, bitgen, x0, d, config, output))
        return fail(result, CRV_MCMC_INVALID_ARGS, kInvalid);
    const crv_mcmc_config &cfg = *config;
    const int64_t n_burn = cfg.n_burn, thin = cfg.thin, interval = cfg.adapt_interval;
    const int64_t n_iter = n_burn + cfg.n_draws * thin;
    if (result) result->n_iter = n_iter;

    using crv::detail::McmcWork;
    double *work = crv::detail::heap_block<double>(crv::detail::arena_size<McmcWork>(d).doubles);
    if (!work) return fail(result, CRV_MCMC_ALLOC_FAILED, kAllocFailed);
    const auto ws = crv::detail::carve<McmcWork>(work, nullptr, d);
    double *x = ws.x, *proposal = ws.proposal, *z = ws.z, *mean = ws.mean, *delta = ws.delta;
    double *delta_new = ws.delta_new, *L = ws.L, *M2 = ws.M2, *C = ws.C, *L_new = ws.L_new;

    crv_zero_mat(L, d, d);
    for (int64_t j = 0; j < d; ++j) L[j * (d + 1)] = cfg.init_scale;
    crv_zero_mat(mean, 1, d);
    crv_zero_mat(M2, d, d);
    copy(x, x0, d);
    double lp = logpost(x, context);

    const bool adapt = cfg.adapt != 0;
    int64_t accepted = 0, k = 0, stored = 0, next_store = n_burn;
    for (int64_t i = 0; i < n_iter; ++i) {
        crv_rng_standard_normal_fill(bitgen, d, z);
        crv_matvec_plus_vec(L, z, x, proposal, d, d);
        const double lp_new = logpost(proposal, context);
        if (std::isfinite(lp_new)) {
            double u;
            crv_rng_standard_uniform_fill(bitgen, 1, &u);
            if (lp_new - lp > std::log(u)) {
                copy(x, proposal, d);
                lp = lp_new;
                ++accepted;
            }
        }
        if (i < n_burn) {
            if (adapt) {
                accumulate(x, mean, delta, delta_new, M2, d, k);
                if (i >= cfg.adapt_start && interval > 0 && (i + 1) % interval == 0 && k >= 1)
                    replace_factor(M2, C, L_new, L, d, k, cfg.adapt_eps);
                ++k;
            }
        } else if (i == next_store) {
            copy(output->draws + stored * d, x, d);
            output->logpost[stored] = lp;
            ++stored;
            next_store += thin;
        }
    }

    if (result) result->accepted = accepted;
    std::free(work);
    return 0;
}
