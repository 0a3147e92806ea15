"""Steady state, first- and second-order solutions of a compiled model.

Each function fills the kernel's model record from NumPy arrays, calls the
kernel through the ffi layer and returns NumPy results in the model's
variable order. Records, solution arrays and arenas (sized by the kernels'
own `*_arena_size` functions) are allocated once per compiled model and
reused, so a call costs little more than the kernel itself; a call that
finds them busy (another thread is solving the same model) uses a fresh set.

A non-zero kernel status raises SolutionError with the library's message; a
failed Blanchard-Kahn condition raises DeterminacyError. `newton` reports
its status instead of raising, for the caller to word.
"""

import ctypes
import threading
import weakref
from dataclasses import dataclass

import numpy as np

from .._ckernels import ffi
from ..errors import DeterminacyError, ModelError, SolutionError

__all__ = ["FirstOrder", "NewtonResult", "SecondOrder", "first_order", "newton",
           "second_order", "status_message"]

_solve = ffi.solve
_dp = ctypes.POINTER(ctypes.c_double)
_i64p = ctypes.POINTER(ctypes.c_int64)

# Solution steps by status code, for messages.
_STEPS = {-501: "steady state", -502: "steady state", -508: "timing flags",
          -506: "second-order solution", -507: "second-order solution"}

# Workspaces above this many doubles are not kept between calls.
_KEEP_DOUBLES = 1 << 23


def _lib():
    return ffi.load("regression")


def status_message(code, lib=None):
    """The library's message for a status code."""
    return (lib or _lib()).crv_status_message(int(code)).decode()


@dataclass(frozen=True)
class NewtonResult:
    """Newton iteration on x -> F(x, x, x, 0): the last iterate, whether the
    residual fell below tol, Jacobians evaluated, the kernel's status."""

    x: np.ndarray
    converged: bool
    iterations: int
    status: int


@dataclass(frozen=True)
class FirstOrder:
    """First-order solution in the model's variable order (states first).

    s_t - ss = transition (s_{t-1} - ss) + impact e_t; hx (nx x nx) and gx
    (ny x nx) are the policy rows of the states and the other variables;
    eigenvalues the generalised eigenvalues in the kernel's Schur order;
    j_lead = dF/dx(t+1), j_cur = -dF/dx(t), j_lag = -dF/dx(t-1),
    j_shock = -dF/de at the steady state.
    """

    ss: np.ndarray
    gx: np.ndarray
    hx: np.ndarray
    transition: np.ndarray
    impact: np.ndarray
    eigenvalues: np.ndarray
    bk: int
    n_static: int
    n_pred: int
    n_mixed: int
    n_fwd: int
    j_lead: np.ndarray
    j_cur: np.ndarray
    j_lag: np.ndarray
    j_shock: np.ndarray


@dataclass(frozen=True)
class SecondOrder:
    """Second-order terms as the kernel defines them, x the lagged states and
    e the shocks (deviations): y = first order + 1/2 g_xx (x@x) + g_xe (x@e)
    + 1/2 g_ee (e@e) + 1/2 g_ss, pair (j, k) of an (a, b) product at column
    j*b + k; h_* likewise for the states."""

    first: FirstOrder
    g_xx: np.ndarray
    h_xx: np.ndarray
    g_xe: np.ndarray
    h_xe: np.ndarray
    g_ee: np.ndarray
    h_ee: np.ndarray
    g_ss: np.ndarray
    h_ss: np.ndarray


# ---- workspaces -----------------------------------------------------------------

class _Workspace:
    """Model record, solution records and arena of one compiled model."""

    def __init__(self, cm, order, lib):
        n, nx, m, p = cm.n, cm.nx, cm.m, cm.p
        ny = n - nx
        self.lock = threading.Lock()
        self.params = np.zeros(max(p, 1))
        self.guess = np.zeros(max(n, 1))
        self.sigma = np.zeros(max(m * m, 1))
        self.flags = cm.flags.copy() if n else np.ones(1, dtype=np.uint8)
        lapack = _solve.lapack_pointers()
        rec = _solve.crv_klein_model()
        rec.residual, rec.hessian = cm.residual_address, cm.hessian_address
        rec.zgges, rec.dgeqrf, rec.dormqr = lapack["zgges"], lapack["dgeqrf"], lapack["dormqr"]
        rec.x_guess = self.guess.ctypes.data_as(_dp)
        rec.params = self.params.ctypes.data_as(_dp)
        rec.flags = self.flags.ctypes.data_as(ctypes.POINTER(ctypes.c_uint8))
        rec.n, rec.nx, rec.ny, rec.m, rec.p = n, nx, ny, m, p
        rec.sigma = self.sigma.ctypes.data_as(_dp)
        self.model = rec
        N = lib.crv_pencil_dim(self.flags, n).N
        shapes = {"ss": (n,), "j_lead": (n, n), "j_cur": (n, n), "j_lag": (n, n),
                  "j_shock": (n, m), "gx": (ny, nx), "hx": (nx, nx),
                  "transition": (n, n), "impact": (n, m)}
        complex_shapes = {"qz_a": (N, N), "qz_b": (N, N), "qz_z": (N, N), "eig": (N,)}
        self.arrays = {k: _zeros(s, float) for k, s in shapes.items()}
        self.arrays.update({k: _zeros(s, complex) for k, s in complex_shapes.items()})
        self.order = np.zeros(max(n, 1), dtype=np.int64)
        sol = _solve.crv_klein_solution()
        for name, a in self.arrays.items():
            setattr(sol, name, a.ctypes.data_as(_dp))
        sol.order = self.order.ctypes.data_as(_i64p)
        self.solution = sol
        if order == 1:
            size = lib.crv_klein_solve1_arena_size(n, nx, ny, p, m, N)
            self.second = None
        else:
            size = lib.crv_sgu_klein_solve2_arena_size(n, nx, ny, p, m, N)
            D = 3 * n + m
            second_shapes = {"hess": (n, D, D), "eta": (nx, m), "g_xx": (ny, nx * nx),
                             "h_xx": (nx, nx * nx), "g_xe": (ny, nx * m), "h_xe": (nx, nx * m),
                             "g_ee": (ny, m * m), "h_ee": (nx, m * m), "g_ss": (ny,),
                             "h_ss": (nx,)}
            self.second = {k: _zeros(s, float) for k, s in second_shapes.items()}
            sol2 = _solve.crv_klein_second_order()
            for name, a in self.second.items():
                setattr(sol2, name, a.ctypes.data_as(_dp))
            self.solution2 = sol2
            self.solution2_ref = ctypes.byref(sol2)
        self.doubles = size.doubles
        self.dwork = np.zeros(max(size.doubles, 1))
        self.iwork = np.zeros(max(size.slots, 1), dtype=np.int64)
        self.model_ref = ctypes.byref(rec)
        self.solution_ref = ctypes.byref(sol)
        self.dwork_address = self.dwork.ctypes.data
        self.iwork_address = self.iwork.ctypes.data


def _zeros(shape, dtype):
    """A zero array of `shape` whose buffer is never empty (kernels take its
    address even when a dimension is 0)."""
    size = int(np.prod(shape))
    return np.zeros(max(size, 1), dtype=dtype)[:size].reshape(shape)


_workspaces = weakref.WeakKeyDictionary()   # CompiledModel -> {order: _Workspace}
_workspaces_lock = threading.Lock()


class _Borrowed:
    """Context manager: the model's kept workspace for `order` if free, else
    a fresh one (and the kept one is replaced only when it does not exist)."""

    __slots__ = ("ws", "locked")

    def __init__(self, cm, order, lib):
        kept = _workspaces.get(cm)
        ws = kept.get(order) if kept is not None else None
        if ws is None:
            ws = _Workspace(cm, order, lib)
            if ws.doubles <= _KEEP_DOUBLES:
                with _workspaces_lock:
                    ws = _workspaces.setdefault(cm, {}).setdefault(order, ws)
        if ws.lock.acquire(blocking=False):
            self.ws, self.locked = ws, True
        else:
            self.ws, self.locked = _Workspace(cm, order, lib), False

    def __enter__(self):
        return self.ws

    def __exit__(self, *exc):
        if self.locked:
            self.ws.lock.release()
        return False


# ---- inputs -----------------------------------------------------------------------

def _vector(values, size, what, cm, target):
    a = np.asarray(values, dtype=float)
    if a.size != size:
        raise ModelError(f"model {cm.spec.name}: {what} has {a.size} values, expected {size}")
    target[:size] = a.reshape(-1)


def _fill(ws, cm, params, sigma, guess):
    _vector(params, cm.p, "the parameter vector", cm, ws.params)
    _vector(guess, cm.n, "the steady-state guess", cm, ws.guess)
    if sigma is None:
        ws.sigma[:] = 0.0
    else:
        s = np.asarray(sigma, dtype=float)
        if s.shape != (cm.m, cm.m) and not (cm.m == 0 and s.size == 0):
            raise ModelError(f"model {cm.spec.name}: shock covariance of shape {s.shape}, "
                             f"expected ({cm.m}, {cm.m})")
        ws.sigma[:cm.m * cm.m] = s.reshape(-1)


# ---- results and failures ------------------------------------------------------

# Kernel failures that a failed Blanchard-Kahn condition causes: the
# post-processing finds the leading block of the Schur vectors singular
# (-504 with the flag still 2, the roots then read off the Schur diagonals),
# or the shock-impact or static-variable system singular after the flag is
# set (-504, -510 with the flag -1 or 1).
_AFTER_QZ = (-504, -510)


def _raise_status(cm, status, step, lib, ws=None):
    """SolutionError for a kernel status; DeterminacyError when the kernel
    failed because the Blanchard-Kahn condition does not hold."""
    text = status_message(status, lib)
    if ws is not None and status in _AFTER_QZ:
        sol = ws.solution
        forward = sol.n_mixed + sol.n_fwd
        if sol.bk in (-1, 1):
            _raise_determinacy(cm, _outside(ws.arrays["eig"]), forward, status, text)
        if sol.bk == 2 and status == -504:
            # |T_kk| > |S_kk|: the root T_kk / S_kk of the ordered pencil is unstable
            s_kk, t_kk = np.diagonal(ws.arrays["qz_a"]), np.diagonal(ws.arrays["qz_b"])
            outside = int(np.count_nonzero(np.abs(t_kk) > np.abs(s_kk)))
            if outside != forward:
                _raise_determinacy(cm, outside, forward, status, text)
    step = _STEPS.get(status, step)
    raise SolutionError(f"model {cm.spec.name}: {step} failed: {text}", status=status,
                        status_message=text)


def _first_result(ws):
    a, sol = ws.arrays, ws.solution
    return FirstOrder(
        ss=a["ss"].copy(), gx=a["gx"].copy(), hx=a["hx"].copy(),
        transition=a["transition"].copy(), impact=a["impact"].copy(),
        eigenvalues=a["eig"].copy(), bk=sol.bk, n_static=sol.n_static, n_pred=sol.n_pred,
        n_mixed=sol.n_mixed, n_fwd=sol.n_fwd, j_lead=a["j_lead"].copy(),
        j_cur=a["j_cur"].copy(), j_lag=a["j_lag"].copy(), j_shock=a["j_shock"].copy())


def _outside(eigenvalues):
    """Roots larger than 1 in modulus, infinite ones included."""
    return int(np.count_nonzero(~(np.abs(eigenvalues) <= 1.0)))


def _check_determinacy(cm, first):
    if first.bk != 0:
        _raise_determinacy(cm, _outside(first.eigenvalues), first.n_mixed + first.n_fwd, 0,
                           f"Blanchard-Kahn flag {first.bk}")


def _raise_determinacy(cm, outside, forward, status, text):
    if outside < forward:
        kind, meaning = "indeterminate", "too few, so many solutions stay bounded"
    else:
        kind, meaning = "no stable solution", "too many, so none stays bounded"
    raise DeterminacyError(
        f"model '{cm.spec.name}': {kind}: {outside} eigenvalue{'s' * (outside != 1)} larger "
        f"than 1 in modulus for {forward} forward-looking variable{'s' * (forward != 1)} "
        f"(Blanchard-Kahn: {meaning})", status=status, status_message=text)


# ---- the three solvers -----------------------------------------------------------

def newton(cm, params, guess, *, tol=1e-12, max_iter=100):
    """Newton iteration on x -> F(x, x, x, 0) from `guess` (the steady-state
    kernel): stops when max |F| < tol; never raises on a failed iteration."""
    lib = _lib()
    n, p, m = cm.n, cm.p, cm.m
    theta = np.zeros(max(p, 1))
    x0 = np.zeros(max(n, 1))
    _vector(params, p, "the parameter vector", cm, theta)
    _vector(guess, n, "the steady-state guess", cm, x0)
    size = lib.crv_newton_arena_size(n, p, m)
    dwork = np.zeros(max(size.doubles, 1))
    iwork = np.zeros(max(size.slots, 1), dtype=np.int64)
    x = np.zeros(max(n, 1))
    iterations = ctypes.c_int64(0)
    status = lib.crv_steady_state_newton(cm.residual_address, x0, theta, n, p, m,
                                         int(max_iter), x, float(tol),
                                         ctypes.byref(iterations), dwork, iwork)
    return NewtonResult(x=x[:n].copy(), converged=status == 0,
                        iterations=int(iterations.value), status=int(status))


def first_order(cm, params, sigma, guess):
    """First-order solution (Klein): steady state by Newton from `guess`,
    linearisation, ordered QZ, policies. `sigma` is the m x m shock
    covariance (kept in the record; the first order does not read it)."""
    lib = _lib()
    with _Borrowed(cm, 1, lib) as ws:
        _fill(ws, cm, params, sigma, guess)
        status = lib.crv_klein_solve1(ws.model_ref, ws.solution_ref, ws.dwork_address,
                                      ws.iwork_address)
        if status != 0:
            _raise_status(cm, status, "first-order solution", lib, ws)
        first = _first_result(ws)
    _check_determinacy(cm, first)
    return first


def second_order(cm, params, sigma, guess):
    """Second-order solution (first order, bicomplex Hessian, second-order
    terms) with `sigma` the m x m shock covariance."""
    lib = _lib()
    with _Borrowed(cm, 2, lib) as ws:
        _fill(ws, cm, params, sigma, guess)
        status = lib.crv_sgu_klein_solve2(ws.model_ref, ws.solution_ref, ws.solution2_ref,
                                          ws.dwork_address, ws.iwork_address)
        if status != 0:
            _raise_status(cm, status, "first-order solution", lib, ws)
        first = _first_result(ws)
        s = ws.second
        result = SecondOrder(first=first, g_xx=s["g_xx"].copy(), h_xx=s["h_xx"].copy(),
                             g_xe=s["g_xe"].copy(), h_xe=s["h_xe"].copy(),
                             g_ee=s["g_ee"].copy(), h_ee=s["h_ee"].copy(),
                             g_ss=s["g_ss"].copy(), h_ss=s["h_ss"].copy())
    _check_determinacy(cm, first)
    return result
