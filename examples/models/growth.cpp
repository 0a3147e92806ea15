// Stochastic growth with full depreciation and log utility: capital k and
// productivity a are the states, consumption c is forward-looking; the policy
// is known in closed form. Observables: consumption and capital.
#include <cmath>
#include <corvane/scalars.hpp>

#include "example_models.h"

namespace {

using namespace corvane;

constexpr int kVars = 3, kObs = 2;

// Parameters: alpha, beta, rho (sigma_e is not in the equations).
template <class T>
void equations(const T *lead, const T *cur, const T *lag, const T *e, const T *th, T *r) {
    const T al = th[0], be = th[1], rh = th[2];
    const T k = cur[0], a = cur[1], c = cur[2];
    r[0] = c + k - exp(a) * power(lag[0], al);
    r[1] = 1.0 / c - be * al * exp(lead[1]) * power(k, al - 1.0) / lead[2];
    r[2] = a - rh * lag[1] - e[0];
}

template <class T> void observe_logs(const T *x, const double *, T *out) {
    out[0] = log(x[2]);
    out[1] = log(x[0]);
}

template <class T> void observe_levels(const T *x, const double *, T *out) {
    out[0] = x[2];
    out[1] = x[0];
}

}  // namespace

extern "C" {

CRV_API void growth_residual(const double *lead, const double *cur, const double *lag,
                             const double *shocks, const double *params, double *resid) {
    evaluate<Complex>(equations<Complex>, lead, cur, lag, shocks, params, resid);
}

CRV_API void growth_hessian(const double *lead, const double *cur, const double *lag,
                            const double *shocks, const double *params, double *resid) {
    evaluate<Bicomplex>(equations<Bicomplex>, lead, cur, lag, shocks, params, resid);
}

CRV_API void growth_obs(const double *x, const double *params, double *out) {
    observe_logs<double>(x, params, out);
}

CRV_API void growth_obs_jac(const double *x, const double *params, double *out) {
    observation_jacobian<kVars, kObs>(observe_logs<Complex>, x, params, out);
}

CRV_API void growth_obs_linear(const double *x, const double *params, double *out) {
    observe_levels<double>(x, params, out);
}

CRV_API void growth_obs_linear_jac(const double *x, const double *params, double *out) {
    observation_jacobian<kVars, kObs>(observe_levels<Complex>, x, params, out);
}

CRV_API const crv_example_model *crv_example_growth(void) {
    static const char *const vars[] = {"k", "a", "c"};
    static const char *const shocks[] = {"e"};
    static const char *const params[] = {"alpha", "beta", "rho", "sigma_e"};
    static const char *const obs[] = {"c", "k"};
    static const uint8_t flags[kVars] = {3, 7, 6};
    static const double defaults[] = {0.36, 0.96, 0.9, 0.01};
    static double guess[kVars];
    static const crv_example_model model = [] {
        const double al = defaults[0], be = defaults[1];
        const double k = std::pow(al * be, 1.0 / (1.0 - al));
        guess[0] = k;
        guess[1] = 0.0;
        guess[2] = (1.0 - al * be) * std::pow(k, al);
        return crv_example_model{
            "growth", kVars, 2, 1, 1, 4, kObs, vars, shocks, params, obs, flags, defaults,
            guess, growth_residual, growth_hessian, growth_obs, growth_obs_jac,
            growth_obs_linear, growth_obs_linear_jac};
    }();
    return &model;
}

}  // extern "C"
