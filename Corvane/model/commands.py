"""What the reader knows of the model language's commands and blocks.

Option names are those the Dynare reference manual documents for each
command; any other name is reported as an error so that a misspelt option is
never dropped. The reader keeps every option it accepts in `Command.options`:
whether a later stage supports an option is that stage's business.
"""

from Corvane.model.expressions import RESERVED as _EXPRESSION_WORDS

_words = str.split

STOCH_SIMUL_OPTIONS = frozenset(_words("""
ar drop hp_filter one_sided_hp_filter bandpass_filter filtered_theoretical_moments_grid
irf irf_shocks relative_irf irf_plot_threshold nocorr nodecomposition nofunctions
nomoments nograph graph nodisplay graph_format noprint print order k_order_solver
periods qz_criterium qz_zero_threshold replic simul_replic solve_algo aim_solver
conditional_variance_decomposition pruning partial_information sylvester
sylvester_fixed_point_tol dr dr_cycle_reduction_tol dr_logarithmic_reduction_tol
dr_logarithmic_reduction_maxiter loglinear tex dr_display_tol
contemporaneous_correlation spectral_density hp_ngrid
"""))

# estimation computes the decision rule and moments as stoch_simul does and
# takes its options too.
ESTIMATION_OPTIONS = STOCH_SIMUL_OPTIONS | frozenset(_words("""
datafile dirname xls_sheet xls_range nobs first_obs prefilter presample loglinear
logdata plot_priors nograph posterior_nograph posterior_graph nodisplay graph_format
no_init_estimation_check_first_obs lik_init lik_algo conf_sig mh_conf_sig mh_replic
sub_draws posterior_max_subsample_draws mh_nblocks mh_drop mh_jscale mh_init_scale
mh_tune_jscale mh_tune_guess mh_recover mh_posterior_mode_estimation mode_file
mode_compute silent_optimizer mcmc_jumping_covariance mode_check
mode_check_neighbourhood_size mode_check_symmetric_plots mode_check_number_of_points
prior_trunc huge_number load_mh_file load_results_after_load_mh
mh_initialize_from_previous_mcmc mh_initialize_from_previous_mcmc_directory
mh_initialize_from_previous_mcmc_record mh_initialize_from_previous_mcmc_prior optim
nodiagnostic bayesian_irf relative_irf dsge_var dsge_varlag posterior_sampling_method
posterior_sampler_options moments_varendo contemporaneous_correlation
no_posterior_kernel_density conditional_variance_decomposition filtered_vars smoother
smoother_redux forecast tex kalman_algo fast_kalman_filter kalman_tol diffuse_kalman_tol
filter_covariance filter_step_ahead filter_decomposition smoothed_state_uncertainty
diffuse_filter heteroskedastic_filter selected_variables_only cova_compute solve_algo
order irf irf_shocks irf_plot_threshold aim_solver sylvester sylvester_fixed_point_tol
lyapunov lyapunov_fixed_point_tol lyapunov_doubling_tol
use_penalized_objective_for_hessian analytic_derivation ar endogenous_prior
use_univariate_filters_if_singularity_is_detected
keep_kalman_algo_if_singularity_is_detected rescale_prediction_error_covariance
qz_zero_threshold taper_steps geweke_interval raftery_lewis_diagnostics
raftery_lewis_qrs consider_all_endogenous consider_all_endogenous_and_auxiliary
consider_only_observed number_of_particles resampling resampling_threshold
resampling_method filter_algorithm proposal_approximation distribution_approximation
cpf_weights nonlinear_filter_initialization particle_filter_options nointeractive
"""))

STEADY_OPTIONS = frozenset(_words("""
maxit tolf solve_algo homotopy_mode homotopy_steps homotopy_force_continue nocheck
markowitz
"""))

CHECK_OPTIONS = frozenset(_words("solve_algo qz_zero_threshold"))

COMMAND_OPTIONS = {
    "stoch_simul": STOCH_SIMUL_OPTIONS,
    "estimation": ESTIMATION_OPTIONS,
    "steady": STEADY_OPTIONS,
    "check": CHECK_OPTIONS,
}
COMMANDS_WITH_VARIABLES = frozenset({"stoch_simul", "estimation"})

# model(...) options that change how Dynare computes, not what the model is:
# accepted with a warning that they have no effect here, and kept.
MODEL_OPTIONS_WITHOUT_EFFECT = frozenset(_words("""
use_dll block bytecode cutoff mfs no_static differentiate_forward_vars
parallel_local_files balanced_growth_test_tol
"""))
MODEL_OPTIONS = frozenset({"linear"}) | MODEL_OPTIONS_WITHOUT_EFFECT

PRIOR_SHAPES = frozenset(_words("""
beta_pdf gamma_pdf normal_pdf uniform_pdf inv_gamma_pdf inv_gamma1_pdf inv_gamma2_pdf
weibull_pdf
"""))

# Dynare blocks (closed by `end;`) and commands outside the subset Corvane reads:
# named in the error so the user knows the statement is understood, just not supported.
UNSUPPORTED_BLOCKS = frozenset(_words("""
conditional_forecast_paths endval epilogue estimated_params_bounds filter_initial_state
heteroskedastic_shocks histval homotopy_setup init2shocks irf_calibration matched_moments
moment_calibration mshocks observation_trends occbin_constraints optim_weights
osr_params_bounds ramsey_constraints shock_groups svar_identification verbatim
model_replace model_remove
"""))
UNSUPPORTED_COMMANDS = frozenset(_words("""
bvar_density bvar_forecast calib_smoother change_type compilation_setup
conditional_forecast discretionary_policy dsample dynare_sensitivity dynasave dynatype
estimated_params_remove evaluate_planner_objective extended_path external_function
forecast generate_trace_plots histval_file identification initial_condition_decomposition
initval_file load_params_and_steady_state log_trend_var markov_switching
method_of_moments model_comparison model_diagnostics model_info model_local_variable
model_options ms_compute_mdd ms_compute_probabilities ms_estimation ms_forecast ms_irf
ms_simulation ms_variance_decomposition occbin_graph occbin_setup occbin_solver
occbin_write_regimes osr osr_params pac_model perfect_foresight_setup
perfect_foresight_solver periods planner_objective plot_conditional_forecast
plot_shock_decomposition posterior_function print_bytecode_dynamic_model
print_bytecode_static_model prior_function ramsey_model ramsey_policy
realtime_shock_decomposition resid rplot save_params_and_steady_state sbvar
set_dynare_seed shock_decomposition simul smoother2histval squeeze_shock_decomposition
svar trend_component_model trend_var unit_root_vars var_expectation_model var_model
var_remove varexo_det write_latex_dynamic_model write_latex_original_model
write_latex_static_model write_latex_steady_state_model write_latex_prior_table
write_latex_definitions write_latex_parameter_table collect_latex_files prior
options Sigma_e
"""))

# Words the reader gives a meaning at the start of a statement or inside a block.
KEYWORDS = frozenset(_words("""
var varexo parameters predetermined_variables model end initval steady_state_model
shocks stderr corr steady check stoch_simul estimated_params estimated_params_init
estimation varobs
"""))
RESERVED = _EXPRESSION_WORDS | KEYWORDS     # names a declaration may not take

KIND_TEXT = {"endogenous": "an endogenous variable", "exogenous": "an exogenous variable",
             "parameter": "a parameter", "local": "a model-local variable"}
