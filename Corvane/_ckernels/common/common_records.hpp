// Layout tables of the records of families 1 to 5 (see record_table.hpp).
#ifndef CORVANE_COMMON_RECORDS_HPP
#define CORVANE_COMMON_RECORDS_HPP

#include "filters.h"
#include "linalg.h"
#include "record_table.hpp"
#include "rng.h"
#include "solve.h"

namespace crv::records {

// Family 1 and the conventions every module shares.
inline constexpr crv_record_field linalg[] = {
    CRV_RECORD(crv_arena_size_t, doubles, slots),
    CRV_RECORD(crv_record_field, record, field, offset, size),
    CRV_RECORD(crv_lu_t, lu, piv, n, status),
    CRV_RECORD(c128_lu_t, lu, piv, n, status)
};

// Families 2 to 5: model solution, filters, random numbers.
inline constexpr crv_record_field core[] = {
    CRV_RECORD(crv_klein_model, residual, zgges, dgeqrf, dormqr, x_guess, params, flags, n, nx, ny,
               m, p, hessian, sigma),
    CRV_RECORD(crv_klein_solution, ss, j_lead, j_cur, j_lag, j_shock, qz_a, qz_b, qz_z, gx, hx, eig,
               bk, transition, impact, order, n_static, n_pred, n_mixed, n_fwd),
    CRV_RECORD(crv_klein_second_order, hess, eta, g_xx, h_xx, g_xe, h_xe, g_ee, h_ee, g_ss, h_ss),
    CRV_RECORD(crv_pencil_dim_t, N, n),
    CRV_RECORD(kf_inputs, n_states, n_obs, n_shocks, n_periods, transition, shock_loading, design,
               obs_intercept, shock_cov, obs_cov, data, x0, P0, symmetrize, jitter, want_shocks,
               store_paths),
    CRV_RECORD(kf_outputs, x_pred, x_filt, P_pred, P_filt, y_pred, y_filt, innov, std_innov,
               innov_cov, shocks, loglik),
    CRV_RECORD(kf_smoother_outputs, x_smooth, P_smooth, shocks, shocks_cov, meas_err,
               meas_err_cov),
    CRV_RECORD(crv_dlyap_lapack, dgees),
    CRV_RECORD(ekf_inputs, obs_fn, obs_jac, transition, shock_loading, params, shock_cov, obs_cov,
               data, x0, P0, n_periods, n_states, n_obs, n_shocks, n_params, jitter, symmetrize,
               fitted_obs, want_shocks, store_paths),
    CRV_RECORD(ukf_inputs, obs_fn, hx, gx, impact, h_xx, g_xx, h_xe, g_xe, h_ee, g_ee, h_ss, g_ss,
               ss, params, shock_cov, obs_cov, data, x0, P0, n_periods, nx, ny, n_shocks, n_obs,
               n_params, alpha, beta, kappa, jitter, symmetrize, store_paths),
    CRV_RECORD(ukf_outputs, xf_pred, xs_pred, xf_filt, xs_filt, v_pred, v_filt, P_pred, P_filt,
               y_pred, y_filt, innov, std_innov, innov_cov, loglik),
    CRV_RECORD(crv_philox_state, key, ctr, buffer, buffer_pos),
    CRV_RECORD(bitgen_t, state, next_uint64, next_uint32, next_double, next_raw)
};

}  // namespace crv::records

#endif
