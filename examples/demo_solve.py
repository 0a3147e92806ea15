"""Solve the compiled RBC example model to first and second order.

Prints the steady state, the first-order policy (hx, gx, impact), the
generalised eigenvalues with the saddle-path flag, and the second-order
blocks. `solve(lib, model, params, order)` is the reusable part: it fills a
`crv_klein_model` from a compiled model description, allocates the solution
records and arenas from the kernels' size functions and calls
`crv_klein_solve1` or `crv_sgu_klein_solve2`.

    python examples/demo_solve.py
"""

import ctypes

import numpy as np

from Corvane._bridge.examples import example_model
from Corvane._ckernels import ffi

_dp = ctypes.POINTER(ctypes.c_double)


def _ptr(a, ctype=ctypes.c_double):
    return a.ctypes.data_as(ctypes.POINTER(ctype))


class Solution:
    """The arrays of a first- (and second-) order solution, as NumPy arrays.

    First order: ss, hx, gx, impact, transition, eig, bk. Second order (when
    solved to order 2): h_xx, g_xx, h_xe, g_xe, h_ee, g_ee, h_ss, g_ss in the
    Kronecker ordering of the simulation kernels."""

    def __init__(self, first, second, bk):
        self.__dict__.update(first)
        self.__dict__.update(second)
        self.bk = bk
        self.order = 2 if second else 1


def solve(lib, model, params=None, order=1, x_guess=None):
    """Solve a `Corvane._bridge.examples.ExampleModel` at `params` (default: its
    defaults; the last parameter is the shock standard deviation), starting
    the steady-state search from `x_guess` (default: the model's guess).

    Returns a `Solution`; raises RuntimeError on a failed solve or when the
    saddle-path flag shows no unique stable solution."""
    n, nx, ny, m, p = model.n, model.nx, model.ny, model.m, model.p
    params = np.ascontiguousarray(model.params if params is None else params, dtype=float)
    flags = np.ascontiguousarray(model.flags, dtype=np.uint8)
    x_guess = np.ascontiguousarray(model.x_guess if x_guess is None else x_guess, dtype=float)
    sigma = np.diag(np.full(m, params[-1] ** 2))  # shock covariance (second order)
    lapack = ffi.solve.lapack_pointers()

    rec = ffi.solve.crv_klein_model()
    rec.residual, rec.hessian = model.residual, model.hessian
    rec.zgges, rec.dgeqrf, rec.dormqr = lapack["zgges"], lapack["dgeqrf"], lapack["dormqr"]
    rec.x_guess, rec.params, rec.flags = _ptr(x_guess), _ptr(params), _ptr(flags, ctypes.c_uint8)
    rec.n, rec.nx, rec.ny, rec.m, rec.p = n, nx, ny, m, p
    rec.sigma = _ptr(sigma)

    N = lib.crv_pencil_dim(flags, n).N
    first = {
        "ss": np.zeros(n), "j_lead": np.zeros((n, n)), "j_cur": np.zeros((n, n)),
        "j_lag": np.zeros((n, n)), "j_shock": np.zeros((n, m)),
        "qz_a": np.zeros((N, N), complex), "qz_b": np.zeros((N, N), complex),
        "qz_z": np.zeros((N, N), complex), "gx": np.zeros((ny, nx)), "hx": np.zeros((nx, nx)),
        "eig": np.zeros(N, complex), "transition": np.zeros((n, n)), "impact": np.zeros((n, m)),
    }
    sol = ffi.solve.crv_klein_solution()
    for name, a in first.items():
        setattr(sol, name, a.ctypes.data_as(_dp))
    variable_order = np.zeros(n, dtype=np.int64)
    sol.order = _ptr(variable_order, ctypes.c_int64)

    second = {}
    if order == 2:
        D = 3 * n + m
        second = {
            "hess": np.zeros((n, D, D)), "eta": np.zeros((nx, m)),
            "h_xx": np.zeros((nx, nx * nx)), "g_xx": np.zeros((ny, nx * nx)),
            "h_xe": np.zeros((nx, nx * m)), "g_xe": np.zeros((ny, nx * m)),
            "h_ee": np.zeros((nx, m * m)), "g_ee": np.zeros((ny, m * m)),
            "h_ss": np.zeros(nx), "g_ss": np.zeros(ny),
        }
        sol2 = ffi.solve.crv_klein_second_order()
        for name, a in second.items():
            setattr(sol2, name, a.ctypes.data_as(_dp))
        doubles, slots = lib.crv_sgu_klein_solve2_arena_size(n, nx, ny, p, m, N)
    else:
        doubles, slots = lib.crv_klein_solve1_arena_size(n, nx, ny, p, m, N)
    dwork = np.zeros(max(doubles, 1))
    iwork = np.zeros(max(slots, 1), dtype=np.int64)
    if order == 2:
        status = lib.crv_sgu_klein_solve2(ctypes.byref(rec), ctypes.byref(sol),
                                          ctypes.byref(sol2), dwork, iwork)
    else:
        status = lib.crv_klein_solve1(ctypes.byref(rec), ctypes.byref(sol), dwork, iwork)
    if status != 0:
        raise RuntimeError(f"model solution failed with status {status}")
    if sol.bk != 0:  # policies exist but are not the unique stable solution
        raise RuntimeError(f"no unique stable solution: saddle-path flag bk = {sol.bk}")
    return Solution(first, second, sol.bk)


# ---- printing -------------------------------------------------------------------

def print_table(title, row_names, col_names, M, fmt="{:>11.5f}", width=11):
    """A labelled matrix; `fmt` formats one entry."""
    M = np.atleast_2d(M)
    label = max([len(r) for r in row_names] + [6])
    print(f"\n  {title}")
    print("  " + " " * label + "".join(f"{c:>{width}}" for c in col_names))
    for name, row in zip(row_names, M):
        print(f"  {name:<{label}}" + "".join(fmt.format(v) for v in row))


def describe_eigenvalues(eig):
    out = []
    for e in eig:
        if not np.isfinite(e.real):
            out.append("inf")
        elif abs(e.imag) > 1e-12:
            out.append(f"{e.real:.4f}{e.imag:+.4f}i")
        else:
            out.append(f"{e.real:.4f}")
    return out


BK_MEANING = {0: "unique stable solution", 1: "indeterminate (too many stable roots)",
              -1: "no stable solution (too few stable roots)"}


def run(params=None, x_guess=None, verbose=True):
    """Solve the compiled RBC model to first and second order and print the
    solution; returns the second-order `Solution`."""
    lib = ffi.load("beliefplan")
    model = example_model("rbc")
    first = solve(lib, model, params, order=1, x_guess=x_guess)
    sol = solve(lib, model, params, order=2, x_guess=x_guess)
    if not verbose:
        return sol
    values = model.params if params is None else params
    states, others = model.names[:model.nx], model.names[model.nx:]
    lagged = [f"{s}(-1)" for s in states]
    print(f"RBC model: {model.n} variables ({model.nx} states: {', '.join(states)}), "
          f"{model.m} shock, parameters "
          + ", ".join(f"{k} = {v:g}" for k, v in zip(model.param_names, values)))
    print_table("steady state", model.names, ["level"], sol.ss[:, None])
    print_table("hx: states on lagged states", states, lagged, sol.hx)
    print_table("gx: other variables on lagged states", others, lagged, sol.gx)
    print_table("impact: response to a unit shock", model.names, model.shock_names, sol.impact)
    eig = describe_eigenvalues(sol.eig)
    print("\n  generalised eigenvalues (Schur order): " + ", ".join(eig))
    print(f"  saddle-path flag bk = {sol.bk}: {BK_MEANING.get(sol.bk, 'failure')}")
    same = all(np.array_equal(getattr(first, k), getattr(sol, k))
               for k in ("hx", "gx", "impact"))
    print(f"  first-order blocks of the second-order solve identical to crv_klein_solve1: "
          f"{'yes' if same else 'no'}")

    xx = [f"{a}*{b}" for a in lagged for b in lagged]
    wide = dict(fmt="{:>13.5f}", width=13)
    print_table("h_xx: states, second order in lagged states (1/2 applied in simulation)",
                states, xx, sol.h_xx, **wide)
    print_table("g_xx: other variables, second order in lagged states", others, xx, sol.g_xx,
                **wide)
    print_table("risk correction h_ss, g_ss (shock-variance terms)", model.names, ["ss"],
                np.concatenate([sol.h_ss, sol.g_ss])[:, None], fmt="{:>11.3e}")
    print("\n  second-order blocks")
    print(f"  {'block':<6}{'shape':>10}{'max |entry|':>14}")
    for name in ("h_xx", "g_xx", "h_xe", "g_xe", "h_ee", "g_ee", "h_ss", "g_ss"):
        a = getattr(sol, name)
        shape = "x".join(str(s) for s in a.shape)
        print(f"  {name:<6}{shape:>10}{np.abs(a).max():>14.4e}")
    n, nx = model.n, model.nx
    print(f"  (h_xx and g_xx come from one dense system of {n * nx * nx} unknowns)")
    return sol


if __name__ == "__main__":
    run()
