// Layout table of the records of the estimation family (see record_table.hpp).
#ifndef CORVANE_ESTIMATION_RECORDS_HPP
#define CORVANE_ESTIMATION_RECORDS_HPP

#include "mcmc.h"
#include "objective.h"
#include "optimize.h"
#include "common_records.hpp"

namespace crv::records {

inline constexpr crv_record_field estimation[] = {
    CRV_RECORD(crv_cov_spec, fixed, fixed_matrix, dim, sd_index, use_cpc, cpc_offset, reserved,
               pair_row, pair_col, pair_index, n_pairs),
    CRV_RECORD(crv_belief_plan, scalar_indices, scalar_dist_codes, scalar_transform_codes,
               scalar_dist_params, scalar_transform_params, n_scalar, matrix_offsets, matrix_dims,
               matrix_lengths, matrix_etas, matrix_log_constants, n_blocks),
    CRV_RECORD(crv_objective_common, reserved0, n, nx, ny, m, n_obs, p, n_periods, residual,
               hessian, zgges, dgeqrf, dormqr, obs_fn, obs_jac, x_guess, flags, data, P0, x0,
               jitter, symmetrize, reserved1, scatter, n_scatter, shock_spec, obs_spec, has_prior,
               plan, params, shock_cov, reserved2, obs_cov, shock_corr, obs_corr, shock_sd, obs_sd,
               filter_arena, solve_arena, solve_iarena, solve_failures, solution),
    CRV_RECORD(crv_objective, common, design, obs_intercept, reserved3),
    CRV_RECORD(crv_objective_unscented, common, second, ukf_x0, ukf_alpha, ukf_beta, ukf_kappa),
    CRV_RECORD(crv_estimation_target, obj, d, lik_init, jacobian, lyapunov, center, chol, theta,
               prefilter, presample),
    CRV_RECORD(crv_opt_result, status, nfev, nit, fun, success, message),
    CRV_RECORD(crv_nm_options, maxiter, maxfev, xatol, fatol),
    CRV_RECORD(crv_lbfgsb_options, m, maxiter, maxfun, maxls, factr, pgtol, fd_step),
    CRV_RECORD(crv_mcmc_config, n_draws, n_burn, thin, adapt, adapt_start, adapt_interval,
               adapt_eps, init_scale),
    CRV_RECORD(crv_mcmc_output, draws, logpost),
    CRV_RECORD(crv_mcmc_result, accepted, n_iter, reserved, status, message)
};

}  // namespace crv::records

#endif
