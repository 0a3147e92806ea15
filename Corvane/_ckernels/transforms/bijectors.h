/* Bijectors: nine maps between a constrained parameter x and the real line y,
 * each with seven element-wise operations in a scalar and an array form.
 *
 *   fwd                    y = f(x)                  (takes x)
 *   inv                    x = f^-1(y)               (takes y)
 *   grad_fwd               dy/dx                     (takes x)
 *   grad_inv               dx/dy                     (takes y)
 *   ldet_abs_jac_fwd       ln |dy/dx|                (takes x)
 *   ldet_abs_jac_inv       ln |dx/dy|                (takes y)
 *   grad_ldet_abs_jac_inv  d/dy ln |dx/dy|           (takes y)
 *
 * Scalar form crv_<b>_<op>(in, out, bounds...): writes *out from *in.
 * Array form crv_<b>_<op>_arr(in, out, n, bounds...): out[i] from in[i] for
 * i < n; nothing is read or written when n <= 0; in and out do not overlap.
 * Bounds are pointers to one double each (low, then high), the same for every
 * element; the array forms compute bound-only quantities once per call.
 * Nothing is checked or clamped: out-of-domain values give whatever IEEE
 * arithmetic gives.
 *
 * The kernels are the CRV_BIJECTOR_OP rows of bijectors.def: each row gives
 * the bijector, the operation, the bounds it takes and its formula. */
#ifndef CORVANE_BIJECTORS_H
#define CORVANE_BIJECTORS_H

#include "crv_api.h"

#define CRV_BIJECTOR_PARAMS_NONE
#define CRV_BIJECTOR_PARAMS_LOW , const double *low
#define CRV_BIJECTOR_PARAMS_HIGH , const double *high
#define CRV_BIJECTOR_PARAMS_LOW_HIGH , const double *low, const double *high

#define CRV_BIJECTOR_OP(b, op, bounds, Impl, formula)                                       \
    CRV_API void crv_##b##_##op(const double *in, double *out CRV_BIJECTOR_PARAMS_##bounds); \
    CRV_API void crv_##b##_##op##_arr(const double *in, double *out,                        \
                                      int64_t n CRV_BIJECTOR_PARAMS_##bounds);
#include "bijectors.def"

#endif
