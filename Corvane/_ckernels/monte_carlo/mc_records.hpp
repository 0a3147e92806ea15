// Layout table of the records of families 6 to 8 (see record_table.hpp).
#ifndef CORVANE_MC_RECORDS_HPP
#define CORVANE_MC_RECORDS_HPP

#include "mc.h"
#include "mc_runners.h"
#include "mc_test_runners.h"
#include "mc_transforms.h"
#include "common_records.hpp"
#include "regression.h"

namespace crv::records {

inline constexpr crv_record_field monte_carlo[] = {
    CRV_RECORD(crv_mc_binding, source, src_offset, src_row_len, src_row0, n_rows, cols, n_cols,
               dst_offset, dst_stride, fill, table, table_rep_stride, per_rep),
    CRV_RECORD(crv_mc_stage, runner, input_base, work_base, out_base, iout_base, results, iresults,
               row_map, in_words, work_words, out_words, iout_words, out_count, iout_count, ctx,
               bindings, n_bindings),
    CRV_RECORD(crv_mc_job, stages, n_stages, n_reps, n_threads, stop_on_error, halted,
               first_failed_rep, first_failed_stage, first_failed_status, failed_stage, status,
               timing, stage_seconds, stage_calls, stage_failures),
    CRV_RECORD(crv_mc_shock_block, kind, dim, cols, loading, mean, lower, width, key0, key1),
    CRV_RECORD(crv_mc_shock_spec, blocks, n_blocks, n_periods, n_shocks, scale, scratch_width),
    CRV_RECORD(crv_mc_payload, data, n, per_rep),
    CRV_RECORD(crv_mc_block_field, name, offset, words, ndim, shape),
    CRV_RECORD(crv_mc_raw_model_data_ctx, data, n_data, per_rep, data2, n_data2, per_rep2),
    CRV_RECORD(crv_mc_simulate_order1_ctx, obs_fn, T, n, m, n_params, n_obs, shocks, shock_scratch),
    CRV_RECORD(crv_mc_simulate_order2_ctx, obs_fn, T, nx, ny, m, n_params, n_obs, shocks,
               shock_scratch),
    CRV_RECORD(crv_mc_filter_linear_ctx, T, n, m, k, symmetrize, jitter, want_shocks),
    CRV_RECORD(crv_mc_filter_extended_ctx, obs_fn, obs_jac, T, n, m, k, n_params, symmetrize,
               jitter, want_shocks),
    CRV_RECORD(crv_mc_filter_unscented_ctx, obs_fn, T, nx, ny, m, k, n_params, alpha, beta, kappa,
               symmetrize, jitter),
    CRV_RECORD(crv_mc_standardize_ctx, T, k, ddof),
    CRV_RECORD(crv_mc_log_ctx, T, k, shift),
    CRV_RECORD(crv_mc_diff_ctx, T, k, order),
    CRV_RECORD(crv_mc_rolling_mean_ctx, T, k, window),
    CRV_RECORD(crv_mc_rolling_var_ctx, T, k, window, ddof),
    CRV_RECORD(crv_mc_user_transform_ctx, fn, word1, word2, word3, word4),
    CRV_RECORD(crv_mc_wald_test_ctx, target, T, k, bw, code, rule, kind),
    CRV_RECORD(crv_mc_ljung_box_test_ctx, T, lags),
    CRV_RECORD(crv_mc_jarque_bera_test_ctx, T),
    CRV_RECORD(crv_mc_breusch_pagan_test_ctx, T, k, option),
    CRV_RECORD(crv_mc_breusch_godfrey_test_ctx, T, k, lags),
    CRV_RECORD(crv_mc_cusum_test_ctx, T, k),
    CRV_RECORD(crv_mc_chow_test_ctx, T, k, break_point),
    CRV_RECORD(crv_fit_result, n, p, coef, se, rss, tss, status),
    CRV_RECORD(crv_mc_ols_ctx, n, p),
    CRV_RECORD(crv_mc_ridge_ctx, n, p, intercept, alpha),
    CRV_RECORD(crv_mc_ridge_gs_ctx, alphas, n, p, n_alphas, criterion, intercept),
    CRV_RECORD(crv_mc_lasso_ctx, n, p, intercept, max_iter, tol, alpha),
    CRV_RECORD(crv_mc_lasso_gs_ctx, alphas, n, p, n_alphas, intercept, max_iter, tol),
    CRV_RECORD(crv_mc_elastic_net_ctx, n, p, intercept, max_iter, tol, alpha, l1_ratio),
    CRV_RECORD(crv_mc_elastic_net_gs_ctx, alphas, n, p, n_alphas, criterion, intercept, max_iter,
               tol, l1_ratio)
};

}  // namespace crv::records

#endif
