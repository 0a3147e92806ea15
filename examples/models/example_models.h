/* Compiled example models: plain C callbacks for the model-solution kernels,
 * the filters and the estimation objectives, and one description record per
 * model. Observation functions take the full variable vector in levels. */
#ifndef CORVANE_EXAMPLE_MODELS_H
#define CORVANE_EXAMPLE_MODELS_H

#include "crv_api.h"
#include "filters.h"
#include "record_layout.h"
#include "solve.h"

typedef struct crv_example_model {
    const char *name;
    int64_t n;                      /* variables, states first */
    int64_t nx;
    int64_t ny;
    int64_t m;                      /* shocks */
    int64_t p;                      /* parameters (the last is the shock standard deviation) */
    int64_t n_obs;                  /* observables */
    const char *const *var_names;   /* n */
    const char *const *shock_names; /* m */
    const char *const *param_names; /* p */
    const char *const *obs_names;   /* n_obs */
    const uint8_t *flags;           /* n timing flags */
    const double *params;           /* p default values */
    const double *x_guess;          /* n: the steady state at the defaults */
    crv_residual_fn residual;       /* complex arithmetic */
    crv_residual_fn hessian;        /* bicomplex arithmetic */
    crv_obs_fn obs_fn;              /* logs of the observed variables (levels for the
                                       linear models, whose variables are deviations) */
    crv_obs_fn obs_jac;
    crv_obs_fn obs_linear_fn;       /* the observed variables themselves */
    crv_obs_fn obs_linear_jac;
} crv_example_model;

CRV_LAYOUT_CHECK(sizeof(crv_example_model) == 160, "crv_example_model layout");

/* The description records (static, never freed). */
CRV_API const crv_example_model *crv_example_rbc(void);
CRV_API const crv_example_model *crv_example_growth(void);
CRV_API const crv_example_model *crv_example_linear_determinate(void);
CRV_API const crv_example_model *crv_example_linear_indeterminate(void);
CRV_API const crv_example_model *crv_example_linear_explosive(void);
CRV_API const crv_example_model *crv_example_linear_forward(void);

/* The library's models in a fixed order: model i for 0 <= i < count, null
 * past the end (enumerate until null). */
CRV_API const crv_example_model *crv_example_model_at(int64_t i);

/* crv_record_layout (record_layout.h) gives this library's records: the
 * description record (and the table's own row record). */

#endif
