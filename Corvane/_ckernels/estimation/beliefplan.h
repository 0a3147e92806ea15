/* Belief plans: log prior densities of an unconstrained parameter vector.
 *
 * A scalar parameter i sits at theta[scalar_indices[i]]; a transform (code,
 * parameter row of 3 doubles) maps it to its constrained value x
 * with log-Jacobian logjac = log |dx/dz|, and a distribution (code,
 * parameter row of 5 doubles) gives the log prior density at x. A
 * K x K correlation block is held as K(K-1)/2 unconstrained values (canonical
 * partial correlations through tanh, row by row) and carries an LKJ prior.
 *
 * Invalid input (unknown code, x outside a support, a correlation block with
 * fewer values than it needs) gives NaN; no kernel returns a status, reads
 * past the lengths it is given, or allocates.
 *
 * The transform and distribution codes, their formulas and the parameter
 * values each reads are the CRV_TRANSFORM and CRV_DISTRIBUTION rows of
 * transforms/bijectors.def. */
#ifndef CORVANE_BELIEFPLAN_H
#define CORVANE_BELIEFPLAN_H

#include "crv_api.h"

/* Stable scalar forms: softplus(z) = log(1 + e^z), log sigmoid(z),
 * sigmoid(z) = 1 / (1 + e^-z), Phi(z) = 0.5 erf(z / sqrt 2) + 0.5 and
 * log phi(z) = -0.5 z^2 - 0.5 log(2 pi). */
CRV_API double crv_softplus_scalar(double z);
CRV_API double crv_log_sigmoid_scalar(double z);
CRV_API double crv_sigmoid_scalar(double z);
CRV_API double crv_std_norm_cdf(double z);
CRV_API double crv_std_norm_logpdf(double z);

/* Writes x and logjac of transform `code` at z. params (3 values) may be null
 * for the codes that read none (1-5 and 10). Unknown code: both NaN. */
CRV_API void crv_transform_inverse_and_logjac(int64_t code, const double *params, double *out_x,
                                              double *out_logjac, double z);

/* Writes the log density of distribution `code` at x; NaN outside the support
 * or for an unknown code (params is then not read). */
CRV_API void crv_dist_logpdf(int64_t code, const double *params, double *out, double x);

/* Log-Jacobian of the map from the K(K-1)/2 values z to the strictly lower
 * entries of a correlation Cholesky factor. At most `length` values are read;
 * NaN when length < K(K-1)/2 (0 when K < 2). */
CRV_API void crv_lkj_chol_logjac(const double *z, int64_t dim, int64_t length, double *out);
CRV_API double crv_lkj_chol_logjac_return(const double *z, int64_t dim, int64_t length);

/* out = LKJ(eta) log density of the factor built from z (without its
 * constant) + log_const + the log-Jacobian of the map: the log density of z.
 * NaN when length < K(K-1)/2; log_const when K < 2. */
CRV_API void crv_lkj_chol_logpdf_from_z(const double *z, int64_t dim, int64_t length, double *out,
                                        double eta, double log_const);

/* Log density of theta under the belief plan: sum over scalar parameters of
 * logjac + log prior, plus the LKJ terms of the correlation blocks. Returns
 * NaN at the first NaN term. scalar_dist_params is n_scalar x 5,
 * scalar_transform_params n_scalar x 3. */
CRV_API double crv_logbeliefplan(const double *theta, const int64_t *scalar_indices,
                                 const int64_t *scalar_dist_codes,
                                 const int64_t *scalar_transform_codes,
                                 const double *scalar_dist_params,
                                 const double *scalar_transform_params, int64_t n_scalar,
                                 const int64_t *matrix_offsets, const int64_t *matrix_dims,
                                 const int64_t *matrix_lengths, const double *matrix_etas,
                                 const double *matrix_log_constants, int64_t n_blocks);

/* Builds the correlation factor L (K x K, row by row from z of K(K-1)/2
 * values; entries above the diagonal are not written) and the covariance
 * cov = diag(std) L L^T diag(std), whose diagonal is exactly std^2. */
CRV_API void crv_cov_from_unconstrained(const double *z, const double *std, int64_t K, double *L,
                                        double *cov);

/* Inverse map: writes the K(K-1)/2 unconstrained values of a correlation
 * factor L (K x K; the diagonal and upper triangle are not read). Partial
 * correlations are clamped to +-0.99999999999999 before atanh. */
CRV_API void crv_unconstrained_from_corr_chol(const double *L, int64_t K, double *z);

#endif
