"""Callers of the stationary-covariance, missing-data filter and smoother
kernels for the tests: each sizes its arena by the kernel's own query, puts
guard words after it and keeps every buffer alive on the result."""

import ctypes

import numpy as np

from Corvane._ckernels import ffi
from Corvane._ckernels.ffi.solve import lapack_pointers

GUARD_WORDS = 16
GUARD = -3.25e301
DGEES = ffi.crv_dlyap_lapack(lapack_pointers(("dgees",))["dgees"])


def guarded(count, fill):
    """count entries of `fill` followed by guard words."""
    region = np.full(count + GUARD_WORDS, GUARD)
    region[:count] = fill
    return region


class Lyapunov:
    """crv_dlyap(A, Q) on an arena of exactly the queried size."""

    def __init__(self, lib, A, Q, root_tol=1e-6, fill=np.nan, lapack=DGEES):
        A = np.ascontiguousarray(A, dtype=float)
        Q = np.ascontiguousarray(Q, dtype=float)
        n = A.shape[0]
        self.size = tuple(lib.crv_dlyap_arena_size(n))
        self.dwork = guarded(self.size[0], fill)
        self.iwork = np.full(self.size[1] + GUARD_WORDS, -123456789, dtype=np.int64)
        self.iwork[:self.size[1]] = -7
        self.X = np.full((n, n), -9.0)
        self.radius = np.full(1, -1.0)
        record = None if lapack is None else ctypes.byref(lapack)
        self.status = lib.crv_dlyap(record, A, Q, self.X, self.radius, n, root_tol, self.dwork,
                                    self.iwork)

    def guards_intact(self):
        return (np.all(self.dwork[self.size[0]:] == GUARD)
                and np.all(self.iwork[self.size[1]:] == -123456789))


def filter_shapes(n, m, k, T):
    return dict(x_pred=(T, n), x_filt=(T, n), P_pred=(T, n, n), P_filt=(T, n, n),
                y_pred=(T, m), y_filt=(T, m), innov=(T, m), std_innov=(T, m),
                innov_cov=(T, m, m), shocks=(T, k), loglik=(1,))


def smoother_shapes(n, m, k, T):
    return dict(x_smooth=(T, n), P_smooth=(T, n, n), shocks=(T, k), shocks_cov=(T, k, k),
                meas_err=(T, m), meas_err_cov=(T, m, m))


def _ptr(a):
    return None if a is None else a.ctypes.data_as(ffi.filters._dp)


class StateSpace:
    """One run of kf_hot_loop, kf_filter_missing or kf_smoother on a model dict
    (A, B, Z, d, S, H, data, x0, P0). Filter paths in .filt, smoothed ones in
    .smooth; `covariances=False` passes null smoothed covariance fields."""

    def __init__(self, lib, model, kernel="kf_filter_missing", store=True, shocks=True,
                 jitter=0.0, symmetrize=1, covariances=True, fill=np.nan):
        self.model = {key: np.ascontiguousarray(val, dtype=float) for key, val in model.items()}
        M = self.model
        n, k = M["B"].shape
        T, m = M["data"].shape
        self.n, self.m, self.k, self.T = n, m, k, T
        queries = {"kf_hot_loop": lambda: lib.kf_arena_size(n, m, k),
                   "kf_filter_missing": lambda: lib.kf_filter_missing_arena_size(n, m, k),
                   "kf_smoother": lambda: lib.kf_smoother_arena_size(n, m, k, T)}
        self.size = tuple(queries[kernel]())
        assert self.size[1] == 0
        self.arena = guarded(self.size[0], fill)
        self.filt = {key: np.full(shape, fill) for key, shape in filter_shapes(n, m, k, T).items()}
        self.inputs = ffi.kf_inputs(
            n, m, k, T, *[_ptr(M[key]) for key in ("A", "B", "Z", "d", "S", "H", "data", "x0",
                                                   "P0")],
            symmetrize, jitter, int(shocks), int(store))
        self.filt_record = ffi.kf_outputs(*[_ptr(self.filt[key])
                                            for key in ffi.KF_OUTPUT_FIELDS])
        fn = getattr(lib, kernel)
        if kernel == "kf_smoother":
            self.smooth = {key: np.full(shape, fill)
                           for key, shape in smoother_shapes(n, m, k, T).items()}
            if not covariances:
                for key in ("P_smooth", "shocks_cov", "meas_err_cov"):
                    self.smooth[key] = None
            self.smooth_record = ffi.kf_smoother_outputs(
                *[_ptr(self.smooth[key]) for key in ffi.KF_SMOOTHER_OUTPUT_FIELDS])
            self.status = fn(ffi.ptr(self.inputs), self.arena, ffi.ptr(self.filt_record),
                             ffi.ptr(self.smooth_record))
        else:
            self.status = fn(ffi.ptr(self.inputs), self.arena, ffi.ptr(self.filt_record))
        self.loglik = self.filt["loglik"][0]

    def guards_intact(self):
        return np.all(self.arena[self.size[0]:] == GUARD)


def make_model(rng, n, m, k, T, stable=0.9, diagonal_H=True):
    """A random stable state space with data drawn from it."""
    A = rng.standard_normal((n, n))
    A *= stable / max(1e-12, np.max(np.abs(np.linalg.eigvals(A))))
    B = rng.standard_normal((n, k))
    Z = rng.standard_normal((m, n))
    d = rng.standard_normal(m)
    C = rng.standard_normal((k, k))
    S = C @ C.T + np.eye(k)
    if diagonal_H:
        H = np.diag(rng.uniform(0.2, 0.8, m))
    else:
        C = rng.standard_normal((m, m))
        H = 0.3 * C @ C.T + 0.2 * np.eye(m)
    x, data = np.zeros(n), np.empty((T, m))
    S_half, H_half = np.linalg.cholesky(S), np.linalg.cholesky(H) if m else H
    for t in range(T):
        x = A @ x + B @ S_half @ rng.standard_normal(k)
        data[t] = Z @ x + d + H_half @ rng.standard_normal(m)
    x0 = rng.standard_normal(n)
    P0 = np.eye(n) * 2.0 + 0.1
    return dict(A=A, B=B, Z=Z, d=d, S=S, H=H, data=data, x0=x0, P0=P0)


def with_missing(model, mask):
    """The model with NaN at the True entries of mask (T x m)."""
    out = dict(model)
    data = model["data"].copy()
    data[mask] = np.nan
    out["data"] = data
    return out


def missing_mask(rng, T, m, share=0.3):
    """A missing pattern with some partly observed periods, one period with
    nothing observed and the first and last periods partly observed."""
    mask = rng.random((T, m)) < share
    mask[T // 2] = True
    mask[0, 0] = mask[-1, -1] = True
    if m > 1:
        mask[0, 1:] = mask[-1, :-1] = False
    return mask
