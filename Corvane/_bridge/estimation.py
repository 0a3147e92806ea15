"""Estimation targets: a compiled model and a data sample as the function of
an optimiser and of the sampler.

`Target` builds the objective record of a compiled model (`Objective`) and
the `crv_estimation_target` over it, whose callbacks `crv_target_logpost`
and `crv_target_min_logpost` the sampler and the optimisers call. A target
serves one thread; `Target.copy()` gives another over the same arrays'
values (one per chain).

    target = Target(cm, params, x_guess, data, scatter, shock_cov, obs_cov, plan,
                    lik_init=1)
    target.logpost(theta)                 # density of the model parameters
    target.logpost(theta, jacobian=True)  # density of theta
"""

import ctypes

import numpy as np

from .._ckernels import ffi
from ..errors import EstimationError
from .objective import Objective

_dp = ctypes.POINTER(ctypes.c_double)


def _address(fn):
    return ctypes.cast(fn, ctypes.c_void_p).value


class ModelView:
    """The part of a compiled model an objective record reads."""

    def __init__(self, cm, params, x_guess):
        self.n, self.nx, self.m = cm.n, cm.nx, cm.m
        self.ny = cm.n - cm.nx
        self.params = np.ascontiguousarray(params, dtype=float)
        self.flags = cm.flags
        self.x_guess = np.ascontiguousarray(x_guess, dtype=float)
        self.residual, self.hessian = cm.residual_address, cm.hessian_address
        if cm.obs_fn is None:
            raise EstimationError(f"model {cm.spec.name} has no observables")
        self._obs = (_address(cm.obs_fn), _address(cm.obs_jac_fn))
        self.cm = cm

    def observation(self, kind="linear"):
        return self._obs


# ---- transforms of the belief plan, element-wise over arrays -----------------------

def _bijector(code):
    """(bijector name or None for the identity, bound names) of a transform code."""
    name = {c: n for n, c in ffi.beliefplan.TRANSFORM_CODES.items()}[int(code)]
    if name == "identity":
        return None, ()
    return name, ffi.bijectors.BOUNDS[(name, "inv")]


def _bounds(names, tparams):
    # transform rows: lower/upper read p[0]; aff_* read p[0] (low) and p[0] + p[2]
    values = {"low": tparams[0], "high": tparams[0]}
    if len(names) == 2:
        values["high"] = tparams[0] + tparams[2]
    return [ctypes.c_double(values[n]) for n in names]


def transform(codes, tparams, values, op):
    """Column j of `values` mapped by transform codes[j]: op "inv" (theta to
    parameters) or "fwd" (parameters to theta)."""
    lib = ffi.load("transforms")
    values = np.ascontiguousarray(values, dtype=float)
    flat = values.reshape(-1, len(codes))
    out = np.empty_like(flat)
    for j, code in enumerate(codes):
        name, bound_names = _bijector(code)
        column = np.ascontiguousarray(flat[:, j])
        if name is None:
            out[:, j] = column
            continue
        result = np.empty_like(column)
        getattr(lib, f"crv_{name}_{op}_arr")(column, result, len(column),
                                            *_bounds(bound_names, tparams[j]))
        out[:, j] = result
    return out.reshape(values.shape)


# ---- the target ------------------------------------------------------------------

class Target:
    """An objective record with its estimation target.

    cm: a `CompiledModel`; params: the full model-parameter vector the
    scatter writes into (model parameters, then the covariance parameters
    the specs index); data: T x n_obs; scatter, shock_cov, obs_cov, plan: as
    `Objective` takes them; lik_init 1 starts the filter from the
    unconditional covariance at each point, 0 from P0; prefilter: the
    observation intercept is zero (for demeaned data); presample: periods
    filtered but not counted in the log-likelihood.
    """

    def __init__(self, cm, params, x_guess, data, scatter, shock_cov, obs_cov, plan, *,
                 lik_init=1, P0=None, prefilter=False, presample=0):
        self.lib = ffi.load("beliefplan")
        self._args = (cm, params, x_guess, data, scatter, shock_cov, obs_cov, plan)
        self._lik_init, self._P0 = lik_init, P0
        self._prefilter, self._presample = prefilter, presample
        view = ModelView(cm, params, x_guess)
        self.objective = Objective(self.lib, view, data, scatter, shock_cov, obs_cov,
                                   kind="linear", observation="linear", params=view.params,
                                   plan=plan, P0=P0)
        self.d = len(plan["scalar_indices"])
        n = cm.n
        self.lyapunov = np.zeros(4 * n * n)
        self.theta = np.zeros(self.d)
        self.center = np.zeros(self.d)
        self.chol = np.eye(self.d)
        rec = ffi.objective.crv_estimation_target()
        rec.obj = ctypes.pointer(self.objective.record)
        rec.d = self.d
        rec.lik_init = int(lik_init)
        rec.jacobian = 0
        rec.lyapunov = self.lyapunov.ctypes.data_as(_dp)
        rec.theta = self.theta.ctypes.data_as(_dp)
        rec.prefilter = int(bool(prefilter))
        rec.presample = int(presample)
        self.record = rec
        self.address = ctypes.addressof(rec)

    def copy(self):
        """Another target over the same model, data and specification."""
        cm, params, x_guess, data, scatter, shock_cov, obs_cov, plan = self._args
        return Target(cm, params, x_guess, data, scatter, shock_cov, obs_cov, plan,
                      lik_init=self._lik_init, P0=self._P0, prefilter=self._prefilter,
                      presample=self._presample)

    # -- parametrisation -------------------------------------------------------------
    def affine(self, center=None, chol=None):
        """Evaluate at theta = center + chol u (None: at theta = u)."""
        if center is None:
            self.record.center = None
            self.record.chol = None
            return
        self.center[:] = center
        self.chol[:] = np.tril(chol)
        self.record.center = self.center.ctypes.data_as(_dp)
        self.record.chol = self.chol.ctypes.data_as(_dp)

    def _u(self, u):
        u = np.ascontiguousarray(u, dtype=float)
        if u.shape != (self.d,):
            raise EstimationError(f"{u.size} values for {self.d} estimated parameters")
        return u

    # -- evaluation --------------------------------------------------------------------
    def loglik(self, u):
        return self.lib.crv_target_loglik(ctypes.byref(self.record), self._u(u))

    def logprior(self, u, jacobian=False):
        self.record.jacobian = int(bool(jacobian))
        return self.lib.crv_target_logprior(ctypes.byref(self.record), self._u(u))

    def logpost(self, u, jacobian=False):
        self.record.jacobian = int(bool(jacobian))
        return self.lib.crv_target_logpost(self._u(u), self.address)

    def params_at(self, theta):
        """The model-parameter vector the scatter writes at theta (a copy)."""
        return self.objective.scatter_params(np.ascontiguousarray(theta, dtype=float)).copy()

    @property
    def solve_failures(self):
        return self.objective.solve_failures

    # -- optimisers --------------------------------------------------------------------
    def minimise(self, start, method="lbfgsb", jacobian=False, maxiter=0):
        """Minimise minus the log posterior over theta from start: (theta,
        value, converged, message, nfev, nit)."""
        self.record.jacobian = int(bool(jacobian))
        fn = ffi.optimize.crv_opt_fn(_address(self.lib.crv_target_min_logpost))
        x = np.ascontiguousarray(start, dtype=float).copy()
        result = ffi.optimize.crv_opt_result()
        if method == "lbfgsb":
            options = ffi.optimize.crv_lbfgsb_options(m=10, maxiter=maxiter or 1000,
                                                      maxfun=20000, maxls=20, factr=1e5,
                                                      pgtol=1e-7, fd_step=0.0)
            self.lib.crv_lbfgsb(fn, self.address, self.d, x, None, None, None,
                                ctypes.byref(options), ctypes.byref(result))
        elif method == "neldermead":
            options = ffi.optimize.crv_nm_options(maxiter=maxiter or 2000 * self.d,
                                                  maxfev=4000 * self.d, xatol=1e-8,
                                                  fatol=1e-10)
            self.lib.crv_neldermead(fn, self.address, self.d, x, None, None, None,
                                    ctypes.byref(options), ctypes.byref(result))
        else:
            raise EstimationError(f"unknown optimiser {method!r}")
        return (x, -result.fun, bool(result.success), result.message.decode(), result.nfev,
                result.nit)

    # -- sampler -----------------------------------------------------------------------
    def run_chain(self, u0, n_draws, n_burn, scale, seed, chain, progress=None):
        """Random-walk Metropolis over u (theta = center + chol u, set by
        `affine`) with proposal sd `scale` in every coordinate, the bit
        generator a Philox stream keyed by (seed, chain). Returns (u draws,
        log posteriors of theta, accepted, iterations)."""
        self.record.jacobian = 1
        state = ffi.rng.crv_philox_state()
        self.lib.crv_philox_seed(ctypes.byref(state), int(seed) & (2**64 - 1), 0x65737469,
                                 int(chain), 1)
        bitgen = ffi.rng.bitgen_t(
            ctypes.c_void_p(ctypes.addressof(state)),
            ffi.rng.next_uint64_t(_address(self.lib.crv_philox_bg_next_u64)),
            ffi.rng.next_uint32_t(_address(self.lib.crv_philox_bg_next_u32)),
            ffi.rng.next_double_t(_address(self.lib.crv_philox_bg_next_double)),
            ffi.rng.next_uint64_t(_address(self.lib.crv_philox_bg_next_raw)))
        config = ffi.mcmc.crv_mcmc_config(n_draws=n_draws, n_burn=n_burn, thin=1, adapt=0,
                                          adapt_start=0, adapt_interval=0, adapt_eps=0.0,
                                          init_scale=float(scale))
        draws = np.zeros((n_draws, self.d))
        logpost = np.full(n_draws, np.nan)
        output = ffi.mcmc.crv_mcmc_output(draws.ctypes.data_as(_dp), logpost.ctypes.data_as(_dp))
        result = ffi.mcmc.crv_mcmc_result()
        if progress is not None:
            progress(logpost)
        status = self.lib.crv_mcmc_run(_address(self.lib.crv_target_logpost), self.address,
                                       ctypes.byref(bitgen), np.ascontiguousarray(u0, float),
                                       self.d, ctypes.byref(config), ctypes.byref(output),
                                       ctypes.byref(result))
        if status != 0:
            raise EstimationError(f"the sampler failed: {result.message.decode()} "
                                  f"(status {status})")
        return draws, logpost, result.accepted, result.n_iter


def philox_normals(seed, chain, n, stream=2):
    """n standard normals from the Philox stream keyed by (seed, chain, stream)."""
    lib = ffi.load("beliefplan")
    state = ffi.rng.crv_philox_state()
    lib.crv_philox_seed(ctypes.byref(state), int(seed) & (2**64 - 1), 0x65737469, int(chain),
                        int(stream))
    out = np.empty(n)
    lib.crv_philox_standard_normal_fill(ctypes.byref(state), n, out)
    return out


def log_jacobian(codes, tparams, theta):
    """Sum over columns of log |dx/dtheta| at each row of theta."""
    lib = ffi.load("transforms")
    theta = np.ascontiguousarray(np.atleast_2d(theta), dtype=float)
    total = np.zeros(theta.shape[0])
    for j, code in enumerate(codes):
        name, bound_names = _bijector(code)
        if name is None:
            continue
        column = np.ascontiguousarray(theta[:, j])
        out = np.empty_like(column)
        getattr(lib, f"crv_{name}_ldet_abs_jac_inv_arr")(column, out, len(column),
                                                        *_bounds(bound_names, tparams[j]))
        total += out
    return total
