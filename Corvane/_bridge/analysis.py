"""Stationary covariances, impulse paths, simulations and the Kalman
smoother of a solved model, through the compiled kernels.

Every function takes NumPy arrays and returns NumPy arrays; the labelling by
name is the `Solution` layer's. Arenas are sized by the kernels' own size
queries. A non-zero kernel status raises SolutionError with the library's
message.
"""

import ctypes

import numpy as np

from .._ckernels import ffi
from ..errors import SolutionError
from .solve import status_message

__all__ = ["dlyap", "filter_smooth", "linear_paths", "pruned_paths", "standard_normals"]

# Dynare's qz_criterium: a root within this of the unit circle is a unit root.
ROOT_TOL = 1e-6

_dp = ctypes.POINTER(ctypes.c_double)
_lapack = None


def _lib():
    return ffi.load("regression")


def _dgees():
    global _lapack
    if _lapack is None:
        pointer = ffi.solve.lapack_pointers(("dgees",))["dgees"]
        _lapack = ffi.crv_dlyap_lapack(pointer)
    return _lapack


def _c(a):
    return np.ascontiguousarray(a, dtype=float)


def dlyap(A, Q, root_tol=ROOT_TOL):
    """X = A X A' + Q for a stable A (SolutionError for a unit or explosive root)."""
    lib = _lib()
    A, Q = _c(A), _c(Q)
    n = A.shape[0]
    if n == 0:
        return np.zeros((0, 0))
    doubles, slots = lib.crv_dlyap_arena_size(n)
    dwork = np.empty(max(doubles, 1))
    iwork = np.empty(max(slots, 1), dtype=np.int64)
    X = np.empty((n, n))
    radius = np.zeros(1)
    status = lib.crv_dlyap(ctypes.byref(_dgees()), A, Q, X, radius, n, root_tol, dwork, iwork)
    if status != 0:
        text = status_message(status, lib)
        raise SolutionError(f"no stationary covariance: {text} (spectral radius "
                            f"{radius[0]:.6g})", status=status, status_message=text)
    return X


def linear_paths(A, R, E, s0=None, mu=None):
    """S (T x n): S_t = A S_{t-1} + R E_t (+ mu on output), S_{-1} = s0."""
    lib = _lib()
    A, R, E = _c(A), _c(R), _c(E)
    n, m = R.shape
    T = E.shape[0]
    s0 = np.zeros(n) if s0 is None else _c(s0)
    mu = None if mu is None else _c(mu)
    doubles, _ = lib.crv_simulate_linear_states_arena_size(n)
    arena = np.empty(max(doubles, 1))
    S = np.empty((T, n))
    if n and T:
        lib.crv_simulate_linear_states(A, R, s0, E if m else np.zeros(1), mu, S, arena, T, n, m)
    return S


def pruned_paths(second, E, x0=None, offset=None):
    """Pruned second-order path (T x n, solver order, states first) of a
    SecondOrder solution driven by shocks E (T x m), from first-order state x0."""
    lib = _lib()
    f = second.first
    nx = f.hx.shape[0]
    n, m = f.impact.shape
    ny = n - nx
    T = E.shape[0]
    x0 = np.zeros(nx) if x0 is None else _c(x0)
    arrays = [_c(a) if np.size(a) else np.zeros(1) for a in
              (f.hx, f.gx, f.impact, second.h_xx, second.g_xx, second.h_xe, second.g_xe,
               second.h_ee, second.g_ee, second.h_ss, second.g_ss)]
    doubles, _ = lib.crv_simulate_second_order_pruned_arena_size(nx, m)
    arena = np.empty(max(doubles, 1))
    Y = np.empty((T, n))
    if T:
        lib.crv_simulate_second_order_pruned(*arrays, x0 if nx else np.zeros(1),
                                             _c(E) if m else np.zeros(1),
                                             None if offset is None else _c(offset), Y, arena,
                                             T, nx, ny, m)
    return Y


def standard_normals(count, seed):
    """`count` standard normal draws from the Philox stream keyed by `seed`
    (an integer below 2**128; the same seed gives the same draws)."""
    lib = _lib()
    seed = int(seed)
    if seed < 0 or seed >= 1 << 128:
        raise ValueError(f"seed must be an integer in [0, 2**128), got {seed}")
    state = ffi.rng.crv_philox_state()
    lib.crv_philox_seed(ctypes.byref(state), seed & (2**64 - 1), seed >> 64, 0, 0)
    out = np.empty(max(int(count), 1))
    if count > 0:
        lib.crv_philox_standard_normal_fill(ctypes.byref(state), int(count), out)
    return out[:count]


def _ptr(a):
    return None if a is None else a.ctypes.data_as(_dp)


def filter_smooth(A, B, Z, d, S, H, data, x0, P0, smooth=True):
    """Kalman filter (kf_filter_missing) and, with smooth, the disturbance
    smoother (kf_smoother) on x(t) = A x(t-1) + B e(t), y(t) = Z x(t) + d + u(t),
    NaN in data (T x m) marking missing entries. x0, P0: the prediction of x(0).
    Returns (filter paths dict, smoother paths dict or None)."""
    lib = _lib()
    M = {key: _c(val) for key, val in dict(A=A, B=B, Z=Z, d=d, S=S, H=H, data=data, x0=x0,
                                           P0=P0).items()}
    n, k = M["B"].shape
    T, m = M["data"].shape
    filt = dict(x_pred=(T, n), x_filt=(T, n), P_pred=(T, n, n), P_filt=(T, n, n),
                y_pred=(T, m), y_filt=(T, m), innov=(T, m), std_innov=(T, m),
                innov_cov=(T, m, m), shocks=(T, k), loglik=(1,))
    filt = {key: np.full(shape, np.nan) for key, shape in filt.items()}
    inputs = ffi.kf_inputs(n, m, k, T, *[_ptr(M[key]) for key in
                                        ("A", "B", "Z", "d", "S", "H", "data", "x0", "P0")],
                           1, 0.0, 1, 1)
    filt_record = ffi.kf_outputs(*[_ptr(filt[key]) for key in ffi.KF_OUTPUT_FIELDS])
    if smooth:
        doubles, _ = lib.kf_smoother_arena_size(n, m, k, T)
        arena = np.empty(max(doubles, 1))
        sm = dict(x_smooth=(T, n), P_smooth=(T, n, n), shocks=(T, k), shocks_cov=(T, k, k),
                  meas_err=(T, m), meas_err_cov=(T, m, m))
        sm = {key: np.full(shape, np.nan) for key, shape in sm.items()}
        sm_record = ffi.kf_smoother_outputs(*[_ptr(sm[key])
                                              for key in ffi.KF_SMOOTHER_OUTPUT_FIELDS])
        status = lib.kf_smoother(ffi.ptr(inputs), arena, ffi.ptr(filt_record), ffi.ptr(sm_record))
    else:
        doubles, _ = lib.kf_filter_missing_arena_size(n, m, k)
        arena = np.empty(max(doubles, 1))
        sm = None
        status = lib.kf_filter_missing(ffi.ptr(inputs), arena, ffi.ptr(filt_record))
    if status != 0:
        text = status_message(status, lib)
        raise SolutionError(f"the Kalman filter failed: {text}", status=status,
                            status_message=text)
    return filt, sm
