"""Estimation objective records built from NumPy arrays.

`Objective` builds a `crv_objective` (or, for kind="unscented", the longer
`crv_objective_unscented`) from NumPy arrays and a compiled example model,
allocating every scratch array and arena from the kernels' size functions and
keeping them alive:

    from Corvane._ckernels import ffi
    from Corvane._bridge import objective as O
    from Corvane._bridge.examples import example_model
    lib = ffi.load("beliefplan")
    obj = O.Objective(
        lib, example_model("rbc"), data,
        scatter=[(0, 4, 4, (0, 0, 0))],                    # theta[0] -> rho via logit
        shock_cov=O.cov_pairs([5]),                        # sd from params[5]
        obs_cov=O.cov_fixed(np.diag([1e-4, 1e-4])))
    obj.post(theta)        # crv_post_linear; obj.minimise_lp(theta), obj(theta, ...)
"""

import ctypes

import numpy as np

from Corvane._ckernels.ffi.objective import (BELIEF_PLAN_FIELDS, SCATTER_ROW_WORDS,
                                             crv_belief_plan, crv_objective,
                                             crv_objective_unscented)
from Corvane._ckernels.ffi.solve import lapack_pointers

_dp = ctypes.POINTER(ctypes.c_double)

# dtype of each belief-plan array, from the record's pointer types.
_PLAN_DTYPES = {name: np.int64 if ctype._type_ is ctypes.c_int64 else np.float64
                for name, ctype in crv_belief_plan._fields_ if not name.startswith("n_")}


# ---- covariance specifications ------------------------------------------------

class CovSpec:
    """One covariance description; see cov_fixed, cov_pairs, cov_cpc."""

    def __init__(self, fixed=None, sd_index=(), pairs=(), cpc_offset=None):
        self.fixed = None if fixed is None else np.ascontiguousarray(fixed, dtype=float)
        self.sd_index = np.ascontiguousarray(sd_index, dtype=np.int64)
        pairs = np.asarray(pairs, dtype=np.int64).reshape(-1, 3)
        self.pair_row = np.ascontiguousarray(pairs[:, 0])
        self.pair_col = np.ascontiguousarray(pairs[:, 1])
        self.pair_index = np.ascontiguousarray(pairs[:, 2])
        self.cpc_offset = cpc_offset

    def fill(self, rec):
        if self.fixed is not None:
            rec.fixed = 1
            rec.fixed_matrix = _as_ptr(self.fixed)
            rec.dim = self.fixed.shape[0]
            return
        rec.dim = len(self.sd_index)
        rec.sd_index = _as_ptr(self.sd_index)
        if self.cpc_offset is not None:
            rec.use_cpc = 1
            rec.cpc_offset = self.cpc_offset
        rec.pair_row = _as_ptr(self.pair_row)
        rec.pair_col = _as_ptr(self.pair_col)
        rec.pair_index = _as_ptr(self.pair_index)
        rec.n_pairs = len(self.pair_index)


def cov_fixed(matrix):
    """A fixed covariance matrix, used unchanged."""
    return CovSpec(fixed=matrix)


def cov_pairs(sd_index, pairs=()):
    """Standard deviations params[sd_index[i]]; correlation pairs given as
    (row, col, model-parameter index); other correlations 0."""
    return CovSpec(sd_index=sd_index, pairs=pairs)


def cov_cpc(sd_index, offset):
    """Standard deviations params[sd_index[i]]; correlations from the K(K-1)/2
    unconstrained values theta[offset:]."""
    return CovSpec(sd_index=sd_index, cpc_offset=offset)


def scatter_rows(rows):
    """int64 array of scatter rows from (theta index, model-parameter index,
    transform code, (p0, p1, p2)) tuples."""
    out = np.zeros((len(rows), SCATTER_ROW_WORDS), dtype=np.int64)
    for r, (ti, pi, code, tparams) in enumerate(rows):
        out[r, :3] = ti, pi, code
        out[r:r + 1, 3:].view(np.float64)[0] = np.asarray(tparams, dtype=float)
    return out


def _as_ptr(a):
    if a is None or a.size == 0:
        return None
    ctype = {np.dtype(np.float64): ctypes.c_double, np.dtype(np.int64): ctypes.c_int64,
             np.dtype(np.uint8): ctypes.c_uint8}[a.dtype]
    return a.ctypes.data_as(ctypes.POINTER(ctype))


def _arena(size):
    doubles, slots = size
    return np.zeros(max(doubles, 1)), np.zeros(max(slots, 1), dtype=np.int64)


# ---- the builder ---------------------------------------------------------------

class Objective:
    """An objective record over caller-owned arrays, kept alive here.

    lib: a loaded module carrying the objectives (`ffi.load("beliefplan")`).
    model: an `ExampleModel`. data: T x n_obs observations.
    scatter: rows (theta index, model-parameter index, transform code,
    (p0, p1, p2)) or an int64 array of scatter rows.
    shock_cov, obs_cov: `CovSpec`s (cov_fixed, cov_pairs, cov_cpc).
    kind: "linear", "extended" (both on a crv_objective) or "unscented".
    observation: "log" or "linear" observation callbacks of the model, or a
    pair of callback addresses.
    params: the initial model-parameter vector (default: the model's
    defaults); extra_params are appended to it (for example measurement
    standard deviations that sd_index refers to).
    plan: belief-plan arrays by name (crv_belief_plan field names); has_prior
    is set when a plan is given.
    x0, P0: filter start (defaults zeros and the identity; 2 nx values and a
    2 nx x 2 nx matrix for the unscented kind). ukf: (alpha, beta, kappa).
    """

    def __init__(self, lib, model, data, scatter, shock_cov, obs_cov, *, kind="linear",
                 observation="log", params=None, extra_params=(), plan=None, x0=None,
                 P0=None, jitter=0.0, symmetrize=1, ukf=(1.0, 2.0, 0.0), x_guess=None,
                 lapack=None):
        if kind not in ("linear", "extended", "unscented"):
            raise ValueError(f"unknown objective kind {kind!r}")
        self.lib, self.model, self.kind = lib, model, kind
        n, nx, ny, m = model.n, model.nx, model.ny, model.m
        data = np.ascontiguousarray(data, dtype=float)
        T, k = data.shape
        base = model.params if params is None else np.asarray(params, dtype=float)
        self.params = np.ascontiguousarray(np.concatenate([base, np.asarray(extra_params,
                                                                            dtype=float)]))
        p = len(self.params)
        self.data = data
        self.flags = np.ascontiguousarray(model.flags, dtype=np.uint8)
        self.x_guess = np.ascontiguousarray(model.x_guess if x_guess is None else x_guess,
                                            dtype=float)
        self.scatter = (np.ascontiguousarray(scatter, dtype=np.int64)
                        if isinstance(scatter, np.ndarray) else scatter_rows(scatter))
        self.shock_spec, self.obs_spec = shock_cov, obs_cov

        unscented = kind == "unscented"
        rec = crv_objective_unscented() if unscented else crv_objective()
        self.record = rec
        rec.n, rec.nx, rec.ny, rec.m, rec.n_obs, rec.p, rec.n_periods = n, nx, ny, m, k, p, T
        rec.residual, rec.hessian = model.residual, model.hessian
        lapack = lapack or lapack_pointers()
        rec.zgges, rec.dgeqrf, rec.dormqr = lapack["zgges"], lapack["dgeqrf"], lapack["dormqr"]
        obs = model.observation(observation) if isinstance(observation, str) else observation
        rec.obs_fn, rec.obs_jac = obs
        rec.x_guess = _as_ptr(self.x_guess)
        rec.flags = _as_ptr(self.flags)
        rec.data = _as_ptr(self.data)
        dim = 2 * nx if unscented else n
        self.x0 = np.ascontiguousarray(np.zeros(dim) if x0 is None else x0, dtype=float)
        self.P0 = np.ascontiguousarray(np.eye(dim) if P0 is None else P0, dtype=float)
        rec.P0 = _as_ptr(self.P0)
        if unscented:
            rec.ukf_x0 = _as_ptr(self.x0)
            rec.ukf_alpha, rec.ukf_beta, rec.ukf_kappa = ukf
        else:
            rec.x0 = _as_ptr(self.x0)
        rec.jitter, rec.symmetrize = jitter, symmetrize
        rec.scatter = _as_ptr(self.scatter)
        rec.n_scatter = len(self.scatter)
        shock_cov.fill(rec.shock_spec)
        obs_cov.fill(rec.obs_spec)

        self.plan = {}
        if plan is not None:
            rec.has_prior = 1
            for name in BELIEF_PLAN_FIELDS:
                if name.startswith("n_"):
                    continue
                dtype = _PLAN_DTYPES[name]
                a = np.ascontiguousarray(plan.get(name, np.zeros(0)), dtype=dtype)
                self.plan[name] = a
                setattr(rec.plan, name, _as_ptr(a))
            rec.plan.n_scalar = len(self.plan["scalar_indices"])
            rec.plan.n_blocks = len(self.plan["matrix_dims"])

        self.scratch = {
            "shock_cov": np.zeros((m, m)), "obs_cov": np.zeros((k, k)),
            "shock_corr": np.zeros((m, m)), "obs_corr": np.zeros((k, k)),
            "shock_sd": np.zeros(m), "obs_sd": np.zeros(k),
        }
        for name, a in self.scratch.items():
            setattr(rec, name, _as_ptr(a))
        rec.params = _as_ptr(self.params)

        N = lib.crv_pencil_dim(self.flags, n).N
        if unscented:
            fsize = lib.ukf_arena_size(nx, ny, m, k)
            ssize = lib.crv_sgu_klein_solve2_arena_size(n, nx, ny, p, m, N)
        else:  # one record serves the linear and the extended objective
            fsize = tuple(max(a, b) for a, b in zip(lib.kf_arena_size(n, k, m),
                                                    lib.ekf_arena_size(n, k, m)))
            ssize = lib.crv_klein_solve1_arena_size(n, nx, ny, p, m, N)
        self.filter_arena, _ = _arena(fsize)
        self.solve_arena, self.solve_iarena = _arena(ssize)
        rec.filter_arena = _as_ptr(self.filter_arena)
        rec.solve_arena = _as_ptr(self.solve_arena)
        rec.solve_iarena = _as_ptr(self.solve_iarena)

        self.solution = {
            "ss": np.zeros(n), "j_lead": np.zeros((n, n)), "j_cur": np.zeros((n, n)),
            "j_lag": np.zeros((n, n)), "j_shock": np.zeros((n, m)),
            "qz_a": np.zeros((N, N), complex), "qz_b": np.zeros((N, N), complex),
            "qz_z": np.zeros((N, N), complex), "gx": np.zeros((ny, nx)),
            "hx": np.zeros((nx, nx)), "eig": np.zeros(N, complex),
            "transition": np.zeros((n, n)), "impact": np.zeros((n, m)),
        }
        for name, a in self.solution.items():
            setattr(rec.solution, name, a.ctypes.data_as(_dp))
        self.order = np.zeros(n, dtype=np.int64)
        rec.solution.order = _as_ptr(self.order)
        if unscented:
            D = 3 * n + m
            self.second = {
                "hess": np.zeros((n, D, D)), "eta": np.zeros((nx, m)),
                "g_xx": np.zeros((ny, nx * nx)), "h_xx": np.zeros((nx, nx * nx)),
                "g_xe": np.zeros((ny, nx * m)), "h_xe": np.zeros((nx, nx * m)),
                "g_ee": np.zeros((ny, m * m)), "h_ee": np.zeros((nx, m * m)),
                "g_ss": np.zeros(ny), "h_ss": np.zeros(nx),
            }
            for name, a in self.second.items():
                setattr(rec.second, name, a.ctypes.data_as(_dp))
        else:
            self.design = np.zeros((k, n))
            self.obs_intercept = np.zeros(k)
            rec.design = _as_ptr(self.design)
            rec.obs_intercept = _as_ptr(self.obs_intercept)
        self.address = ctypes.addressof(rec)

    # -- evaluation ----------------------------------------------------------------
    def _theta(self, theta):
        return np.ascontiguousarray(theta, dtype=float)

    def __call__(self, theta, with_prior=False):
        """crv_obj_<kind>: log-likelihood, or log-posterior with with_prior."""
        fn = getattr(self.lib, f"crv_obj_{self.kind}")
        return fn(ctypes.byref(self.record), self._theta(theta), int(bool(with_prior)))

    def post(self, theta):
        return getattr(self.lib, f"crv_post_{self.kind}")(self._theta(theta), self.address)

    def minimise_ll(self, theta):
        return getattr(self.lib, f"crv_min_{self.kind}_ll")(self._theta(theta), self.address)

    def minimise_lp(self, theta):
        return getattr(self.lib, f"crv_min_{self.kind}_lp")(self._theta(theta), self.address)

    def logprior(self, theta):
        return self.lib.crv_logprior_at(self.address, self._theta(theta))

    def scatter_params(self, theta):
        self.lib.crv_scatter_params(self.address, self._theta(theta))
        return self.params

    def callback(self, name):
        """Address of the kernel callback `name` (e.g. "crv_min_linear_lp") and
        this record's address: the (function, context) pair of the optimisers."""
        return ctypes.cast(getattr(self.lib, name), ctypes.c_void_p).value, self.address

    @property
    def solve_failures(self):
        return self.record.solve_failures

    @property
    def shock_cov(self):
        return self.scratch["shock_cov"]

    @property
    def obs_cov(self):
        return self.scratch["obs_cov"]
