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
 * Bounds are pointers to one double each, the same for every element; the
 * array forms compute bound-only quantities once per call. Nothing is checked
 * or clamped: out-of-domain values give whatever IEEE arithmetic gives. */
#ifndef CORVANE_BIJECTORS_H
#define CORVANE_BIJECTORS_H

#include "crv_api.h"

/* log: x > 0, y = ln x. */
/* fwd: ln x */
CRV_API void crv_log_fwd(const double *in, double *out);
CRV_API void crv_log_fwd_arr(const double *in, double *out, int64_t n);
/* inv: exp y */
CRV_API void crv_log_inv(const double *in, double *out);
CRV_API void crv_log_inv_arr(const double *in, double *out, int64_t n);
/* grad_fwd: 1 / x */
CRV_API void crv_log_grad_fwd(const double *in, double *out);
CRV_API void crv_log_grad_fwd_arr(const double *in, double *out, int64_t n);
/* grad_inv: exp y */
CRV_API void crv_log_grad_inv(const double *in, double *out);
CRV_API void crv_log_grad_inv_arr(const double *in, double *out, int64_t n);
/* ldet_abs_jac_fwd: -ln x */
CRV_API void crv_log_ldet_abs_jac_fwd(const double *in, double *out);
CRV_API void crv_log_ldet_abs_jac_fwd_arr(const double *in, double *out, int64_t n);
/* ldet_abs_jac_inv: y (copied; the array form copies the block) */
CRV_API void crv_log_ldet_abs_jac_inv(const double *in, double *out);
CRV_API void crv_log_ldet_abs_jac_inv_arr(const double *in, double *out, int64_t n);
/* grad_ldet_abs_jac_inv: 1.0 (the array form fills; in is not read) */
CRV_API void crv_log_grad_ldet_abs_jac_inv(const double *in, double *out);
CRV_API void crv_log_grad_ldet_abs_jac_inv_arr(const double *in, double *out, int64_t n);

/* logit: 0 < x < 1, y = ln(x / (1 - x)); s(y) = 1 / (exp(-y) + 1). */
/* fwd: ln(x / (1 - x)) */
CRV_API void crv_logit_fwd(const double *in, double *out);
CRV_API void crv_logit_fwd_arr(const double *in, double *out, int64_t n);
/* inv: s(y) */
CRV_API void crv_logit_inv(const double *in, double *out);
CRV_API void crv_logit_inv_arr(const double *in, double *out, int64_t n);
/* grad_fwd: 1 / ((1 - x) x) */
CRV_API void crv_logit_grad_fwd(const double *in, double *out);
CRV_API void crv_logit_grad_fwd_arr(const double *in, double *out, int64_t n);
/* grad_inv: (1 - t) t, t = s(y) */
CRV_API void crv_logit_grad_inv(const double *in, double *out);
CRV_API void crv_logit_grad_inv_arr(const double *in, double *out, int64_t n);
/* ldet_abs_jac_fwd: -(ln(1 - x) + ln x) */
CRV_API void crv_logit_ldet_abs_jac_fwd(const double *in, double *out);
CRV_API void crv_logit_ldet_abs_jac_fwd_arr(const double *in, double *out, int64_t n);
/* ldet_abs_jac_inv: -y - 2 ln(exp(-y) + 1); -inf once exp(-y) overflows */
CRV_API void crv_logit_ldet_abs_jac_inv(const double *in, double *out);
CRV_API void crv_logit_ldet_abs_jac_inv_arr(const double *in, double *out, int64_t n);
/* grad_ldet_abs_jac_inv: -2 / (exp(-y) + 1) + 1 */
CRV_API void crv_logit_grad_ldet_abs_jac_inv(const double *in, double *out);
CRV_API void crv_logit_grad_ldet_abs_jac_inv_arr(const double *in, double *out, int64_t n);

/* probit: 0 < x < 1, y = ndtri(x) (crv_ndtri_as241); phi(z) = exp(-z z / 2) / sqrt(2 pi),
 * Phi(y) = 0.5 erfc(y / -sqrt 2). */
/* fwd: ndtri(x) */
CRV_API void crv_probit_fwd(const double *in, double *out);
CRV_API void crv_probit_fwd_arr(const double *in, double *out, int64_t n);
/* inv: Phi(y) */
CRV_API void crv_probit_inv(const double *in, double *out);
CRV_API void crv_probit_inv_arr(const double *in, double *out, int64_t n);
/* grad_fwd: 1 / phi(ndtri(x)) */
CRV_API void crv_probit_grad_fwd(const double *in, double *out);
CRV_API void crv_probit_grad_fwd_arr(const double *in, double *out, int64_t n);
/* grad_inv: phi(y) */
CRV_API void crv_probit_grad_inv(const double *in, double *out);
CRV_API void crv_probit_grad_inv_arr(const double *in, double *out, int64_t n);
/* ldet_abs_jac_fwd: -ln phi(ndtri(x)) */
CRV_API void crv_probit_ldet_abs_jac_fwd(const double *in, double *out);
CRV_API void crv_probit_ldet_abs_jac_fwd_arr(const double *in, double *out, int64_t n);
/* ldet_abs_jac_inv: ln phi(y) */
CRV_API void crv_probit_ldet_abs_jac_inv(const double *in, double *out);
CRV_API void crv_probit_ldet_abs_jac_inv_arr(const double *in, double *out, int64_t n);
/* grad_ldet_abs_jac_inv: -y (sign flip: +0 gives -0) */
CRV_API void crv_probit_grad_ldet_abs_jac_inv(const double *in, double *out);
CRV_API void crv_probit_grad_ldet_abs_jac_inv_arr(const double *in, double *out, int64_t n);

/* aff_logit: low < x < high, w = high - low, u = (x - low) / w, y = logit u. */
/* fwd: ln(u / (1 - u)) */
CRV_API void crv_aff_logit_fwd(const double *in, double *out, const double *low, const double *high);
CRV_API void crv_aff_logit_fwd_arr(const double *in, double *out, int64_t n, const double *low, const double *high);
/* inv: w / (exp(-y) + 1) + low */
CRV_API void crv_aff_logit_inv(const double *in, double *out, const double *low, const double *high);
CRV_API void crv_aff_logit_inv_arr(const double *in, double *out, int64_t n, const double *low, const double *high);
/* grad_fwd: (1 / ((1 - u) u)) / w */
CRV_API void crv_aff_logit_grad_fwd(const double *in, double *out, const double *low, const double *high);
CRV_API void crv_aff_logit_grad_fwd_arr(const double *in, double *out, int64_t n, const double *low, const double *high);
/* grad_inv: (1 - t) t w, t = s(y) */
CRV_API void crv_aff_logit_grad_inv(const double *in, double *out, const double *low, const double *high);
CRV_API void crv_aff_logit_grad_inv_arr(const double *in, double *out, int64_t n, const double *low, const double *high);
/* ldet_abs_jac_fwd: -(ln u + ln(1 - u)) - ln w */
CRV_API void crv_aff_logit_ldet_abs_jac_fwd(const double *in, double *out, const double *low, const double *high);
CRV_API void crv_aff_logit_ldet_abs_jac_fwd_arr(const double *in, double *out, int64_t n, const double *low, const double *high);
/* ldet_abs_jac_inv: -y - 2 ln(exp(-y) + 1) + ln w */
CRV_API void crv_aff_logit_ldet_abs_jac_inv(const double *in, double *out, const double *low, const double *high);
CRV_API void crv_aff_logit_ldet_abs_jac_inv_arr(const double *in, double *out, int64_t n, const double *low, const double *high);
/* grad_ldet_abs_jac_inv: -2 / (exp(-y) + 1) + 1 (no bounds) */
CRV_API void crv_aff_logit_grad_ldet_abs_jac_inv(const double *in, double *out);
CRV_API void crv_aff_logit_grad_ldet_abs_jac_inv_arr(const double *in, double *out, int64_t n);

/* aff_probit: low < x < high, w = high - low, u = (x - low) / w, y = ndtri(u). */
/* fwd: ndtri(u) */
CRV_API void crv_aff_probit_fwd(const double *in, double *out, const double *low, const double *high);
CRV_API void crv_aff_probit_fwd_arr(const double *in, double *out, int64_t n, const double *low, const double *high);
/* inv: fma(erfc(y / -sqrt 2), 0.5 w, low) */
CRV_API void crv_aff_probit_inv(const double *in, double *out, const double *low, const double *high);
CRV_API void crv_aff_probit_inv_arr(const double *in, double *out, int64_t n, const double *low, const double *high);
/* grad_fwd: (1 / phi(ndtri(u))) / w */
CRV_API void crv_aff_probit_grad_fwd(const double *in, double *out, const double *low, const double *high);
CRV_API void crv_aff_probit_grad_fwd_arr(const double *in, double *out, int64_t n, const double *low, const double *high);
/* grad_inv: phi(y) w (array form: exp(-y y / 2) (w / sqrt(2 pi))) */
CRV_API void crv_aff_probit_grad_inv(const double *in, double *out, const double *low, const double *high);
CRV_API void crv_aff_probit_grad_inv_arr(const double *in, double *out, int64_t n, const double *low, const double *high);
/* ldet_abs_jac_fwd: -ln phi(ndtri(u)) - ln w */
CRV_API void crv_aff_probit_ldet_abs_jac_fwd(const double *in, double *out, const double *low, const double *high);
CRV_API void crv_aff_probit_ldet_abs_jac_fwd_arr(const double *in, double *out, int64_t n, const double *low, const double *high);
/* ldet_abs_jac_inv: ln phi(y) + ln w */
CRV_API void crv_aff_probit_ldet_abs_jac_inv(const double *in, double *out, const double *low, const double *high);
CRV_API void crv_aff_probit_ldet_abs_jac_inv_arr(const double *in, double *out, int64_t n, const double *low, const double *high);
/* grad_ldet_abs_jac_inv: -y (sign flip; no bounds) */
CRV_API void crv_aff_probit_grad_ldet_abs_jac_inv(const double *in, double *out);
CRV_API void crv_aff_probit_grad_ldet_abs_jac_inv_arr(const double *in, double *out, int64_t n);

/* softplus: x > 0, y = ln(expm1 x); x = ln(1 + exp y). */
/* fwd: ln(expm1 x) */
CRV_API void crv_softplus_fwd(const double *in, double *out);
CRV_API void crv_softplus_fwd_arr(const double *in, double *out, int64_t n);
/* inv: y > 0: y + log1p(exp(-y)), else log1p(exp y) */
CRV_API void crv_softplus_inv(const double *in, double *out);
CRV_API void crv_softplus_inv_arr(const double *in, double *out, int64_t n);
/* grad_fwd: 1 / expm1(x) + 1 */
CRV_API void crv_softplus_grad_fwd(const double *in, double *out);
CRV_API void crv_softplus_grad_fwd_arr(const double *in, double *out, int64_t n);
/* grad_inv: s(y) */
CRV_API void crv_softplus_grad_inv(const double *in, double *out);
CRV_API void crv_softplus_grad_inv_arr(const double *in, double *out, int64_t n);
/* ldet_abs_jac_fwd: x - ln(expm1 x) */
CRV_API void crv_softplus_ldet_abs_jac_fwd(const double *in, double *out);
CRV_API void crv_softplus_ldet_abs_jac_fwd_arr(const double *in, double *out, int64_t n);
/* ldet_abs_jac_inv: y < 0: -(log1p(exp y) - y), else -log1p(exp(-y)) */
CRV_API void crv_softplus_ldet_abs_jac_inv(const double *in, double *out);
CRV_API void crv_softplus_ldet_abs_jac_inv_arr(const double *in, double *out, int64_t n);
/* grad_ldet_abs_jac_inv: 1 - s(y) */
CRV_API void crv_softplus_grad_ldet_abs_jac_inv(const double *in, double *out);
CRV_API void crv_softplus_grad_ldet_abs_jac_inv_arr(const double *in, double *out, int64_t n);

/* lower: x > low, y = ln(x - low). */
/* fwd: ln(x - low) */
CRV_API void crv_lower_fwd(const double *in, double *out, const double *low);
CRV_API void crv_lower_fwd_arr(const double *in, double *out, int64_t n, const double *low);
/* inv: exp(y) + low */
CRV_API void crv_lower_inv(const double *in, double *out, const double *low);
CRV_API void crv_lower_inv_arr(const double *in, double *out, int64_t n, const double *low);
/* grad_fwd: 1 / (x - low) */
CRV_API void crv_lower_grad_fwd(const double *in, double *out, const double *low);
CRV_API void crv_lower_grad_fwd_arr(const double *in, double *out, int64_t n, const double *low);
/* grad_inv: exp y */
CRV_API void crv_lower_grad_inv(const double *in, double *out);
CRV_API void crv_lower_grad_inv_arr(const double *in, double *out, int64_t n);
/* ldet_abs_jac_fwd: -ln(x - low) */
CRV_API void crv_lower_ldet_abs_jac_fwd(const double *in, double *out, const double *low);
CRV_API void crv_lower_ldet_abs_jac_fwd_arr(const double *in, double *out, int64_t n, const double *low);
/* ldet_abs_jac_inv: y (copied) */
CRV_API void crv_lower_ldet_abs_jac_inv(const double *in, double *out);
CRV_API void crv_lower_ldet_abs_jac_inv_arr(const double *in, double *out, int64_t n);
/* grad_ldet_abs_jac_inv: 1.0 (filled) */
CRV_API void crv_lower_grad_ldet_abs_jac_inv(const double *in, double *out);
CRV_API void crv_lower_grad_ldet_abs_jac_inv_arr(const double *in, double *out, int64_t n);

/* upper: x < high, y = ln(high - x). */
/* fwd: ln(high - x) */
CRV_API void crv_upper_fwd(const double *in, double *out, const double *high);
CRV_API void crv_upper_fwd_arr(const double *in, double *out, int64_t n, const double *high);
/* inv: high - exp(y) */
CRV_API void crv_upper_inv(const double *in, double *out, const double *high);
CRV_API void crv_upper_inv_arr(const double *in, double *out, int64_t n, const double *high);
/* grad_fwd: -1 / (high - x) */
CRV_API void crv_upper_grad_fwd(const double *in, double *out, const double *high);
CRV_API void crv_upper_grad_fwd_arr(const double *in, double *out, int64_t n, const double *high);
/* grad_inv: -exp y */
CRV_API void crv_upper_grad_inv(const double *in, double *out);
CRV_API void crv_upper_grad_inv_arr(const double *in, double *out, int64_t n);
/* ldet_abs_jac_fwd: -ln(high - x) */
CRV_API void crv_upper_ldet_abs_jac_fwd(const double *in, double *out, const double *high);
CRV_API void crv_upper_ldet_abs_jac_fwd_arr(const double *in, double *out, int64_t n, const double *high);
/* ldet_abs_jac_inv: y (copied) */
CRV_API void crv_upper_ldet_abs_jac_inv(const double *in, double *out);
CRV_API void crv_upper_ldet_abs_jac_inv_arr(const double *in, double *out, int64_t n);
/* grad_ldet_abs_jac_inv: 1.0 (filled) */
CRV_API void crv_upper_grad_ldet_abs_jac_inv(const double *in, double *out);
CRV_API void crv_upper_grad_ldet_abs_jac_inv_arr(const double *in, double *out, int64_t n);

/* tanh: -1 < x < 1, y = atanh x. */
/* fwd: atanh x */
CRV_API void crv_tanh_fwd(const double *in, double *out);
CRV_API void crv_tanh_fwd_arr(const double *in, double *out, int64_t n);
/* inv: tanh y */
CRV_API void crv_tanh_inv(const double *in, double *out);
CRV_API void crv_tanh_inv_arr(const double *in, double *out, int64_t n);
/* grad_fwd: 1 / ((1 - x)(x + 1)) */
CRV_API void crv_tanh_grad_fwd(const double *in, double *out);
CRV_API void crv_tanh_grad_fwd_arr(const double *in, double *out, int64_t n);
/* grad_inv: 1 / (ch ch), ch = cosh y */
CRV_API void crv_tanh_grad_inv(const double *in, double *out);
CRV_API void crv_tanh_grad_inv_arr(const double *in, double *out, int64_t n);
/* ldet_abs_jac_fwd: -ln((1 - x)(x + 1)) */
CRV_API void crv_tanh_ldet_abs_jac_fwd(const double *in, double *out);
CRV_API void crv_tanh_ldet_abs_jac_fwd_arr(const double *in, double *out, int64_t n);
/* ldet_abs_jac_inv: 2 ln 2 - 2 (log1p(exp(-2a)) + a), a = |y|: finite for finite y */
CRV_API void crv_tanh_ldet_abs_jac_inv(const double *in, double *out);
CRV_API void crv_tanh_ldet_abs_jac_inv_arr(const double *in, double *out, int64_t n);
/* grad_ldet_abs_jac_inv: -2 tanh y */
CRV_API void crv_tanh_grad_ldet_abs_jac_inv(const double *in, double *out);
CRV_API void crv_tanh_grad_ldet_abs_jac_inv_arr(const double *in, double *out, int64_t n);
#endif
