// Small linear models for the saddle-path cases. Three share the equations
//     x = rho x(-1) + kappa y + e,    y = phi y(+1) + x
// (state x, jump y) and differ only in their parameters: determinate,
// indeterminate (phi > 1: a second stable root) and explosive (rho > 1: one
// stable root too few). The fourth is purely forward-looking,
//     y = phi y(+1) + e,
// with no state at all. All steady states are 0; the variables are
// deviations, so both observation pairs observe y in levels.
#include <corvane/scalars.hpp>

#include "example_models.h"

namespace {

using namespace corvane;

// Parameters: rho, phi, kappa (sigma_e is not in the equations).
template <class T>
void two_variable(const T *lead, const T *cur, const T *lag, const T *e, const T *th, T *r) {
    r[0] = cur[0] - th[0] * lag[0] - th[2] * cur[1] - e[0];
    r[1] = cur[1] - th[1] * lead[1] - cur[0];
}

// Parameter: phi.
template <class T>
void forward_only(const T *lead, const T *cur, const T *, const T *e, const T *th, T *r) {
    r[0] = cur[0] - th[0] * lead[0] - e[0];
}

// The single observable y is the last variable of either model.
template <int N> void observe_y(const double *x, const double *, double *out) {
    out[0] = x[N - 1];
}

template <int N> void observe_y_jac(const double *, const double *, double *out) {
    for (int j = 0; j < N; ++j) out[j] = j == N - 1 ? 1.0 : 0.0;
}

const char *const two_vars[] = {"x", "y"};
const char *const two_params[] = {"rho", "phi", "kappa", "sigma_e"};
const uint8_t two_flags[] = {3, 6};
const double two_guess[] = {0.0, 0.0};
const char *const fwd_vars[] = {"y"};
const char *const fwd_params[] = {"phi", "sigma_e"};
const uint8_t fwd_flags[] = {6};
const double fwd_guess[] = {0.0};
const char *const shocks[] = {"e"};
const char *const observed[] = {"y"};

}  // namespace

extern "C" {

CRV_API void linear_residual(const double *lead, const double *cur, const double *lag,
                             const double *shocks, const double *params, double *resid) {
    evaluate<Complex>(two_variable<Complex>, lead, cur, lag, shocks, params, resid);
}

CRV_API void linear_hessian(const double *lead, const double *cur, const double *lag,
                            const double *shocks, const double *params, double *resid) {
    evaluate<Bicomplex>(two_variable<Bicomplex>, lead, cur, lag, shocks, params, resid);
}

CRV_API void linear_obs(const double *x, const double *params, double *out) {
    observe_y<2>(x, params, out);
}

CRV_API void linear_obs_jac(const double *x, const double *params, double *out) {
    observe_y_jac<2>(x, params, out);
}

CRV_API void forward_residual(const double *lead, const double *cur, const double *lag,
                              const double *shocks, const double *params, double *resid) {
    evaluate<Complex>(forward_only<Complex>, lead, cur, lag, shocks, params, resid);
}

CRV_API void forward_hessian(const double *lead, const double *cur, const double *lag,
                             const double *shocks, const double *params, double *resid) {
    evaluate<Bicomplex>(forward_only<Bicomplex>, lead, cur, lag, shocks, params, resid);
}

CRV_API void forward_obs(const double *x, const double *params, double *out) {
    observe_y<1>(x, params, out);
}

CRV_API void forward_obs_jac(const double *x, const double *params, double *out) {
    observe_y_jac<1>(x, params, out);
}

#define CRV_LINEAR_EXAMPLE(kind, rho, phi, kappa)                                           \
    CRV_API const crv_example_model *crv_example_linear_##kind(void) {                      \
        static const double defaults[] = {rho, phi, kappa, 1.0};                            \
        static const crv_example_model model{                                               \
            "linear_" #kind, 2, 1, 1, 1, 4, 1, two_vars, shocks, two_params, observed,      \
            two_flags, defaults, two_guess, linear_residual, linear_hessian, linear_obs,    \
            linear_obs_jac, linear_obs, linear_obs_jac};                                    \
        return &model;                                                                      \
    }

CRV_LINEAR_EXAMPLE(determinate, 0.5, 0.8, 0.05)
CRV_LINEAR_EXAMPLE(indeterminate, 0.5, 2.0, 0.1)
CRV_LINEAR_EXAMPLE(explosive, 1.5, 0.5, 0.1)

#undef CRV_LINEAR_EXAMPLE

CRV_API const crv_example_model *crv_example_linear_forward(void) {
    static const double defaults[] = {0.5, 1.0};
    static const crv_example_model model{
        "linear_forward", 1, 0, 1, 1, 2, 1, fwd_vars, shocks, fwd_params, observed,
        fwd_flags, defaults, fwd_guess, forward_residual, forward_hessian, forward_obs,
        forward_obs_jac, forward_obs, forward_obs_jac};
    return &model;
}

}  // extern "C"
