// Estimation objectives: scatter, covariances, model solution, filter, prior.
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>

#include "beliefplan.h"
#include "constants.hpp"
#include "filters.h"
#include "objective.h"
#include "solve.h"

namespace {

constexpr double kMinusInf = -crv::detail::kInf;

bool finite(double v) { return std::fabs(v) <= DBL_MAX; }
bool is_finite(double v) { return finite(v); }

void scatter(crv_objective_common &common, const double *theta) {
    const int64_t *row = common.scatter;
    for (int64_t r = 0; r < common.n_scatter; ++r, row += CRV_SCATTER_ROW_WORDS) {
        double tparams[3];
        std::memcpy(tparams, row + 3, sizeof tparams);
        double x, logjac;
        crv_transform_inverse_and_logjac(row[2], tparams, &x, &logjac, theta[row[0]]);
        common.params[row[1]] = x;
    }
}

// The covariance one description gives: the fixed matrix, or cov = diag(sd) R diag(sd)
// with R from theta (correlation block) or from the correlation pairs.
const double *build_cov(const crv_cov_spec &desc, const double *theta, const double *params,
                        double *cov, double *corr, double *sd) {
    if (desc.fixed) return desc.fixed_matrix;
    const int64_t K = desc.dim;
    if (desc.use_cpc) {
        for (int64_t i = 0; i < K; ++i) sd[i] = params[desc.sd_index[i]];
        crv_cov_from_unconstrained(theta + desc.cpc_offset, sd, K, corr, cov);
        return cov;
    }
    for (int64_t i = 0; i < K; ++i)
        for (int64_t c = 0; c < K; ++c) corr[i * K + c] = i == c ? 1.0 : 0.0;
    for (int64_t j = 0; j < desc.n_pairs; ++j) {
        const double v = params[desc.pair_index[j]];
        const int64_t r = desc.pair_row[j], c = desc.pair_col[j];
        corr[r * K + c] = v;
        corr[c * K + r] = v;
    }
    for (int64_t i = 0; i < K; ++i) {
        const double sd_i = params[desc.sd_index[i]];
        for (int64_t c = 0; c < K; ++c)
            cov[i * K + c] = params[desc.sd_index[c]] * (sd_i * corr[i * K + c]);
    }
    return cov;
}

struct Covariances {
    const double *S;
    const double *H;
};

Covariances covariances(crv_objective_common &common, const double *theta) {
    return {build_cov(common.shock_spec, theta, common.params, common.shock_cov,
                      common.shock_corr, common.shock_sd),
            build_cov(common.obs_spec, theta, common.params, common.obs_cov, common.obs_corr,
                      common.obs_sd)};
}

crv_klein_model model_of(const crv_objective_common &common) {
    crv_klein_model model{};
    model.residual = common.residual;
    model.zgges = common.zgges;
    model.dgeqrf = common.dgeqrf;
    model.dormqr = common.dormqr;
    model.x_guess = common.x_guess;
    model.params = common.params;
    model.flags = common.flags;
    model.n = common.n;
    model.nx = common.nx;
    model.ny = common.ny;
    model.m = common.m;
    model.p = common.p;
    return model;
}

// True when the solution is usable; counts the rejections that mean "no
// unique stable solution at this point" (QZ, singular, no states, bk != 0).
bool accept_solution(crv_objective_common &common, int64_t status) {
    if (status == CRV_SOLVE_QZ_FAILED || status == CRV_SOLVE_SINGULAR ||
        status == CRV_SOLVE_NO_STATES) {
        ++common.solve_failures;
        return false;
    }
    if (status != 0) return false;
    if (common.solution.bk != 0) {
        ++common.solve_failures;
        return false;
    }
    return true;
}

double plan_logdensity(const crv_belief_plan &b, const double *theta) {
    return crv_logbeliefplan(theta, b.scalar_indices, b.scalar_dist_codes,
                             b.scalar_transform_codes, b.scalar_dist_params,
                             b.scalar_transform_params, b.n_scalar, b.matrix_offsets,
                             b.matrix_dims, b.matrix_lengths, b.matrix_etas,
                             b.matrix_log_constants, b.n_blocks);
}

// The log-likelihood, or with the prior the log-posterior.
double finish(const crv_objective_common &common, const double *theta, int32_t status, double ll,
              int32_t with_prior) {
    if (status != 0 || !finite(ll)) return kMinusInf;
    if (!with_prior) return ll;
    const double lp = plan_logdensity(common.plan, theta);
    return finite(lp) ? lp + ll : kMinusInf;
}

// The extended filter hands its deviation state x to the observation
// callbacks; these trampolines pass the levels ss + x instead, so that one
// observation function serves all three objectives. The context travels in
// the filter's params slot.
struct LevelObs {
    crv_obs_fn obs_fn;
    crv_obs_fn obs_jac;
    const double *params;
    const double *ss;
    double *levels; // n scratch
    int64_t n;
};

const LevelObs *level_context(const double *ctx) {
    return reinterpret_cast<const LevelObs *>(ctx);
}

void to_levels(const LevelObs *c, const double *x) {
    for (int64_t i = 0; i < c->n; ++i) c->levels[i] = c->ss[i] + x[i];
}

void level_obs_fn(const double *x, const double *ctx, double *out) {
    const LevelObs *c = level_context(ctx);
    to_levels(c, x);
    c->obs_fn(c->levels, c->params, out);
}

void level_obs_jac(const double *x, const double *ctx, double *out) {
    const LevelObs *c = level_context(ctx);
    to_levels(c, x);
    c->obs_jac(c->levels, c->params, out);
}

}  // namespace

void crv_init_params(double *dst, const double *src, int64_t n) {
    if (n > 0) std::memcpy(dst, src, static_cast<size_t>(n) * sizeof(double));
}

void crv_scatter_params(crv_objective *obj, const double *theta) { scatter(obj->common, theta); }

double crv_logprior_at(const crv_objective *obj, const double *theta) {
    if (!obj->common.has_prior) return 0.0;
    return plan_logdensity(obj->common.plan, theta);
}

namespace {

// The unconditional covariance P = T P T' + R S R' of the state by doubling,
// in work[0, n^2); work holds 4 n^2 doubles. False when it does not settle
// (a unit or explosive root) or is not finite.
bool stationary_cov(const crv_klein_solution &s, const double *S, int64_t n, int64_t m,
                    double *work) {
    double *P = work, *A = work + n * n, *t1 = A + n * n, *t2 = t1 + n * n;
    // t1 = R S (n x m), P = t1 R'
    for (int64_t i = 0; i < n; ++i)
        for (int64_t j = 0; j < m; ++j) {
            double acc = 0.0;
            for (int64_t k = 0; k < m; ++k) acc += s.impact[i * m + k] * S[k * m + j];
            t1[i * m + j] = acc;
        }
    for (int64_t i = 0; i < n; ++i)
        for (int64_t j = 0; j < n; ++j) {
            double acc = 0.0;
            for (int64_t k = 0; k < m; ++k) acc += t1[i * m + k] * s.impact[j * m + k];
            P[i * n + j] = acc;
        }
    std::memcpy(A, s.transition, static_cast<size_t>(n * n) * sizeof(double));
    constexpr int kMaxDoublings = 100;
    for (int it = 0; it < kMaxDoublings; ++it) {
        // t2 = A P A'
        for (int64_t i = 0; i < n; ++i)
            for (int64_t j = 0; j < n; ++j) {
                double acc = 0.0;
                for (int64_t k = 0; k < n; ++k) acc += A[i * n + k] * P[k * n + j];
                t1[i * n + j] = acc;
            }
        double step = 0.0, size = 0.0;
        for (int64_t i = 0; i < n; ++i)
            for (int64_t j = 0; j < n; ++j) {
                double acc = 0.0;
                for (int64_t k = 0; k < n; ++k) acc += t1[i * n + k] * A[j * n + k];
                t2[i * n + j] = acc;
            }
        for (int64_t i = 0; i < n * n; ++i) {
            P[i] += t2[i];
            step = std::fmax(step, std::fabs(t2[i]));
            size = std::fmax(size, std::fabs(P[i]));
        }
        if (!finite(size)) return false;
        if (step <= 1e-16 * size) {
            for (int64_t i = 0; i < n; ++i)
                for (int64_t j = 0; j < i; ++j) {
                    const double v = 0.5 * (P[i * n + j] + P[j * n + i]);
                    P[i * n + j] = v;
                    P[j * n + i] = v;
                }
            return true;
        }
        // A = A A
        for (int64_t i = 0; i < n; ++i)
            for (int64_t j = 0; j < n; ++j) {
                double acc = 0.0;
                for (int64_t k = 0; k < n; ++k) acc += A[i * n + k] * A[k * n + j];
                t1[i * n + j] = acc;
            }
        std::memcpy(A, t1, static_cast<size_t>(n * n) * sizeof(double));
    }
    return false;
}

// Variants of the linear objective: with `lyapunov` (4 n^2 doubles) the
// filter starts from the unconditional covariance at this point instead of
// the record's P0; with `no_intercept` the observation intercept is zero; the
// first `presample` periods are filtered but their log-likelihood is not counted.
struct LinearVariant {
    double *lyapunov = nullptr;
    bool no_intercept = false;
    int64_t presample = 0;
};

double linear(crv_objective *obj, const double *theta, int32_t with_prior,
              const LinearVariant &variant = LinearVariant{});

// Sum of log |dx/dtheta| over the belief plan's scalar entries.
double plan_logjac(const crv_belief_plan &b, const double *theta) {
    double total = 0.0;
    for (int64_t i = 0; i < b.n_scalar; ++i) {
        double x, lj;
        crv_transform_inverse_and_logjac(b.scalar_transform_codes[i],
                                         b.scalar_transform_params + 3 * i, &x, &lj,
                                         theta[b.scalar_indices[i]]);
        total += lj;
    }
    return total;
}

// theta = center + chol u when the target has a center, else u itself.
const double *target_theta(crv_estimation_target *t, const double *u) {
    if (t->center == nullptr) return u;
    const int64_t d = t->d;
    for (int64_t i = 0; i < d; ++i) {
        double acc = t->center[i];
        for (int64_t j = 0; j <= i; ++j) acc += t->chol[i * d + j] * u[j];
        t->theta[i] = acc;
    }
    return t->theta;
}

double target_eval(crv_estimation_target *t, const double *u, int32_t with_prior) {
    const double *theta = target_theta(t, u);
    LinearVariant variant;
    variant.lyapunov = t->lik_init == 1 ? t->lyapunov : nullptr;
    variant.no_intercept = t->prefilter != 0;
    variant.presample = t->presample;
    double v = linear(t->obj, theta, with_prior, variant);
    if (with_prior && !t->jacobian && v > kMinusInf)
        v -= plan_logjac(t->obj->common.plan, theta);
    return finite(v) ? v : kMinusInf;
}

double linear(crv_objective *obj, const double *theta, int32_t with_prior,
              const LinearVariant &variant) {
    crv_objective_common &common = obj->common;
    scatter(common, theta);
    const Covariances cov = covariances(common, theta);
    const crv_klein_model model = model_of(common);
    const int64_t status =
        crv_klein_solve1(&model, &common.solution, common.solve_arena, common.solve_iarena);
    if (!accept_solution(common, status)) return kMinusInf;
    if (common.obs_fn == nullptr || common.obs_jac == nullptr) return kMinusInf;
    common.obs_fn(common.solution.ss, common.params, obj->obs_intercept);
    common.obs_jac(common.solution.ss, common.params, obj->design);
    if (variant.no_intercept)
        for (int64_t j = 0; j < common.n_obs; ++j) obj->obs_intercept[j] = 0.0;

    kf_inputs in{};
    in.n_states = common.n;
    in.n_obs = common.n_obs;
    in.n_shocks = common.m;
    in.n_periods = common.n_periods;
    in.transition = common.solution.transition;
    in.shock_loading = common.solution.impact;
    in.design = obj->design;
    in.obs_intercept = obj->obs_intercept;
    in.shock_cov = cov.S;
    in.obs_cov = cov.H;
    in.data = common.data;
    in.x0 = common.x0;
    in.P0 = common.P0;
    if (variant.lyapunov != nullptr) {
        if (!stationary_cov(common.solution, cov.S, common.n, common.m, variant.lyapunov))
            return kMinusInf;
        in.P0 = variant.lyapunov;
    }
    in.symmetrize = common.symmetrize;
    in.jitter = common.jitter;
    double ll = std::numeric_limits<double>::quiet_NaN();
    kf_outputs out{};
    out.loglik = &ll;
    int32_t fstatus = kf_hot_loop(&in, common.filter_arena, &out);
    if (fstatus == 0 && variant.presample > 0) {
        // the sum of the first presample predictive log densities, taken off
        double head = std::numeric_limits<double>::quiet_NaN();
        in.n_periods = variant.presample;
        out.loglik = &head;
        fstatus = kf_hot_loop(&in, common.filter_arena, &out);
        ll -= head;
    }
    return finish(common, theta, fstatus, ll, with_prior);
}

}  // namespace

double crv_obj_linear(crv_objective *obj, const double *theta, int32_t with_prior) {
    return linear(obj, theta, with_prior);
}

double crv_target_loglik(crv_estimation_target *target, const double *u) {
    return target_eval(target, u, 0);
}

double crv_target_logprior(crv_estimation_target *target, const double *u) {
    const double *theta = target_theta(target, u);
    const crv_belief_plan &plan = target->obj->common.plan;
    double lp = plan_logdensity(plan, theta);
    if (!target->jacobian && is_finite(lp)) lp -= plan_logjac(plan, theta);
    return is_finite(lp) ? lp : kMinusInf;
}

double crv_target_logpost(const double *u, void *target) {
    return target_eval(static_cast<crv_estimation_target *>(target), u, 1);
}

double crv_target_min_logpost(const double *u, void *target) {
    return -target_eval(static_cast<crv_estimation_target *>(target), u, 1);
}

double crv_obj_extended(crv_objective *obj, const double *theta, int32_t with_prior) {
    crv_objective_common &common = obj->common;
    scatter(common, theta);
    const Covariances cov = covariances(common, theta);
    const crv_klein_model model = model_of(common);
    const int64_t status =
        crv_klein_solve1(&model, &common.solution, common.solve_arena, common.solve_iarena);
    if (!accept_solution(common, status)) return kMinusInf;
    if (common.obs_fn == nullptr || common.obs_jac == nullptr) return kMinusInf;

    // The solve is over, so its arena is free scratch for the level vector.
    const LevelObs ctx{common.obs_fn, common.obs_jac, common.params, common.solution.ss,
                       common.solve_arena, common.n};
    ekf_inputs in{};
    in.obs_fn = level_obs_fn;
    in.obs_jac = level_obs_jac;
    in.transition = common.solution.transition;
    in.shock_loading = common.solution.impact;
    in.params = reinterpret_cast<const double *>(&ctx);
    in.shock_cov = cov.S;
    in.obs_cov = cov.H;
    in.data = common.data;
    in.x0 = common.x0;
    in.P0 = common.P0;
    in.n_periods = common.n_periods;
    in.n_states = common.n;
    in.n_obs = common.n_obs;
    in.n_shocks = common.m;
    in.n_params = common.p;
    in.jitter = common.jitter;
    in.symmetrize = common.symmetrize;
    double ll = std::numeric_limits<double>::quiet_NaN();
    kf_outputs out{};
    out.loglik = &ll;
    const int32_t fstatus = ekf_hot_loop(&in, common.filter_arena, &out);
    return finish(common, theta, fstatus, ll, with_prior);
}

double crv_obj_unscented(crv_objective_unscented *obj, const double *theta, int32_t with_prior) {
    crv_objective_common &common = obj->common;
    scatter(common, theta);
    const Covariances cov = covariances(common, theta);
    crv_klein_model model = model_of(common);
    model.hessian = common.hessian;
    model.sigma = cov.S;
    const int64_t status = crv_sgu_klein_solve2(&model, &common.solution, &obj->second,
                                                common.solve_arena, common.solve_iarena);
    if (!accept_solution(common, status)) return kMinusInf;

    const crv_klein_solution &s = common.solution;
    const crv_klein_second_order &s2 = obj->second;
    ukf_inputs in{};
    in.obs_fn = common.obs_fn;
    in.hx = s.hx;
    in.gx = s.gx;
    in.impact = s.impact;
    in.h_xx = s2.h_xx;
    in.g_xx = s2.g_xx;
    in.h_xe = s2.h_xe;
    in.g_xe = s2.g_xe;
    in.h_ee = s2.h_ee;
    in.g_ee = s2.g_ee;
    in.h_ss = s2.h_ss;
    in.g_ss = s2.g_ss;
    in.ss = s.ss;
    in.params = common.params;
    in.shock_cov = cov.S;
    in.obs_cov = cov.H;
    in.data = common.data;
    in.x0 = obj->ukf_x0;
    in.P0 = common.P0;
    in.n_periods = common.n_periods;
    in.nx = common.nx;
    in.ny = common.ny;
    in.n_shocks = common.m;
    in.n_obs = common.n_obs;
    in.n_params = common.p;
    in.alpha = obj->ukf_alpha;
    in.beta = obj->ukf_beta;
    in.kappa = obj->ukf_kappa;
    in.jitter = common.jitter;
    in.symmetrize = common.symmetrize;
    in.store_paths = 0;
    double ll = std::numeric_limits<double>::quiet_NaN();
    ukf_outputs out{};
    out.loglik = &ll;
    const int32_t fstatus = ukf_hot_loop(&in, common.filter_arena, &out);
    return finish(common, theta, fstatus, ll, with_prior);
}

double crv_min_linear_ll(const double *theta, void *obj) {
    return -crv_obj_linear(static_cast<crv_objective *>(obj), theta, 0);
}

double crv_min_linear_lp(const double *theta, void *obj) {
    return -crv_obj_linear(static_cast<crv_objective *>(obj), theta, 1);
}

double crv_min_extended_ll(const double *theta, void *obj) {
    return -crv_obj_extended(static_cast<crv_objective *>(obj), theta, 0);
}

double crv_min_extended_lp(const double *theta, void *obj) {
    return -crv_obj_extended(static_cast<crv_objective *>(obj), theta, 1);
}

double crv_min_unscented_ll(const double *theta, void *obj) {
    return -crv_obj_unscented(static_cast<crv_objective_unscented *>(obj), theta, 0);
}

double crv_min_unscented_lp(const double *theta, void *obj) {
    return -crv_obj_unscented(static_cast<crv_objective_unscented *>(obj), theta, 1);
}

double crv_post_linear(const double *theta, void *obj) {
    return crv_obj_linear(static_cast<crv_objective *>(obj), theta, 1);
}

double crv_post_extended(const double *theta, void *obj) {
    return crv_obj_extended(static_cast<crv_objective *>(obj), theta, 1);
}

double crv_post_unscented(const double *theta, void *obj) {
    return crv_obj_unscented(static_cast<crv_objective_unscented *>(obj), theta, 1);
}
