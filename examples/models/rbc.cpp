// Real business cycle model with labour: capital k and productivity a are the
// states, consumption c and labour l are forward-looking, output y and
// investment i are static. Observables: output and consumption.
#include <cmath>
#include <corvane/scalars.hpp>

#include "example_models.h"

namespace {

using namespace corvane;

constexpr int kVars = 6, kObs = 2;

// Parameters: alpha, beta, delta, psi, rho (sigma_e is not in the equations).
template <class T>
void equations(const T *lead, const T *cur, const T *lag, const T *e, const T *th, T *r) {
    const T al = th[0], be = th[1], de = th[2], ps = th[3], rh = th[4];
    const T k = cur[0], a = cur[1], c = cur[2], l = cur[3], y = cur[4], i = cur[5];
    r[0] = y - exp(a) * power(lag[0], al) * power(l, 1.0 - al);
    r[1] = i - (k - (1.0 - de) * lag[0]);
    r[2] = c + i - y;
    r[3] = 1.0 / c -
           be * (al * exp(lead[1]) * power(k, al - 1.0) * power(lead[3], 1.0 - al) + 1.0 - de) /
               lead[2];
    r[4] = ps * c / (1.0 - l) - (1.0 - al) * y / l;
    r[5] = a - rh * lag[1] - e[0];
}

template <class T> void observe_logs(const T *x, const double *, T *out) {
    out[0] = log(x[4]);
    out[1] = log(x[2]);
}

template <class T> void observe_levels(const T *x, const double *, T *out) {
    out[0] = x[4];
    out[1] = x[2];
}

void steady_state(const double *th, double *ss) {
    const double al = th[0], be = th[1], de = th[2], ps = th[3];
    const double kl = std::pow(al / (1.0 / be - 1.0 + de), 1.0 / (1.0 - al));
    const double yl = std::pow(kl, al);
    const double l = (1.0 - al) * yl / (ps * (yl - de * kl) + (1.0 - al) * yl);
    const double k = kl * l, y = yl * l;
    const double values[kVars] = {k, 0.0, y - de * k, l, y, de * k};
    for (int i = 0; i < kVars; ++i) ss[i] = values[i];
}

}  // namespace

extern "C" {

CRV_API void rbc_residual(const double *lead, const double *cur, const double *lag,
                          const double *shocks, const double *params, double *resid) {
    evaluate<Complex>(equations<Complex>, lead, cur, lag, shocks, params, resid);
}

CRV_API void rbc_hessian(const double *lead, const double *cur, const double *lag,
                         const double *shocks, const double *params, double *resid) {
    evaluate<Bicomplex>(equations<Bicomplex>, lead, cur, lag, shocks, params, resid);
}

CRV_API void rbc_obs(const double *x, const double *params, double *out) {
    observe_logs<double>(x, params, out);
}

CRV_API void rbc_obs_jac(const double *x, const double *params, double *out) {
    observation_jacobian<kVars, kObs>(observe_logs<Complex>, x, params, out);
}

CRV_API void rbc_obs_linear(const double *x, const double *params, double *out) {
    observe_levels<double>(x, params, out);
}

CRV_API void rbc_obs_linear_jac(const double *x, const double *params, double *out) {
    observation_jacobian<kVars, kObs>(observe_levels<Complex>, x, params, out);
}

CRV_API const crv_example_model *crv_example_rbc(void) {
    static const char *const vars[] = {"k", "a", "c", "l", "y", "i"};
    static const char *const shocks[] = {"e"};
    static const char *const params[] = {"alpha", "beta", "delta", "psi", "rho", "sigma_e"};
    static const char *const obs[] = {"y", "c"};
    static const uint8_t flags[kVars] = {3, 7, 6, 6, 2, 2};
    static const double defaults[] = {0.33, 0.99, 0.025, 1.8, 0.95, 0.007};
    static double guess[kVars];
    static const crv_example_model model = [] {
        steady_state(defaults, guess);
        return crv_example_model{
            "rbc", kVars, 2, 4, 1, 6, kObs, vars, shocks, params, obs, flags, defaults, guess,
            rbc_residual, rbc_hessian, rbc_obs, rbc_obs_jac, rbc_obs_linear,
            rbc_obs_linear_jac};
    }();
    return &model;
}

}  // extern "C"
