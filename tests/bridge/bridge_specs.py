"""Model specs written by hand with SymPy for the compiled example models
(their equations are in examples/models/*.cpp), the examples' own callbacks,
and a raw kernel solve over those callbacks for comparisons."""

import ctypes

import numpy as np
import sympy as sp

from Corvane._bridge.codegen import ModelSpec
from Corvane._ckernels import ffi
from Corvane.model.symbols import timed

try:  # the example-model loader may move to the bridge
    from Corvane._bridge.examples import example_model
except ImportError:
    example_model = ffi.objective.example_model

LIB = ffi.load("regression")
SOLVE = ffi.solve
_dp = ctypes.POINTER(ctypes.c_double)


def _lag(v):
    return timed(v, -1)


def _lead(v):
    return timed(v, 1)


def growth_spec():
    k, a, c = (timed(v) for v in "k a c".split())
    al, be, rh = sp.symbols("alpha beta rho")
    e = sp.Symbol("e")
    kss = (al * be) ** (1 / (1 - al))
    return ModelSpec(
        "growth", ("k", "a", "c"), ("e",), ("alpha", "beta", "rho", "sigma_e"),
        (c + k - sp.exp(a) * _lag("k") ** al,
         1 / c - be * al * sp.exp(_lead("a")) * k ** (al - 1) / _lead("c"),
         a - rh * _lag("a") - e),
        (3, 7, 6),
        observables=(sp.log(c), sp.log(k)),
        steady_state=(("k", kss), ("a", sp.Integer(0)),
                      ("c", (1 - al * be) * sp.Symbol("k") ** al)))


def rbc_spec():
    k, a, c, l, y, i = (timed(v) for v in "k a c l y i".split())
    al, be, de, ps, rh = sp.symbols("alpha beta delta psi rho")
    e = sp.Symbol("e")
    kl, yl, L = sp.symbols("kl yl l")
    return ModelSpec(
        "rbc", ("k", "a", "c", "l", "y", "i"), ("e",),
        ("alpha", "beta", "delta", "psi", "rho", "sigma_e"),
        (y - sp.exp(a) * _lag("k") ** al * l ** (1 - al),
         i - (k - (1 - de) * _lag("k")),
         c + i - y,
         1 / c - be * (al * sp.exp(_lead("a")) * k ** (al - 1) * _lead("l") ** (1 - al)
                       + 1 - de) / _lead("c"),
         ps * c / (1 - l) - (1 - al) * y / l,
         a - rh * _lag("a") - e),
        (3, 7, 6, 6, 2, 2),
        observables=(sp.log(y), sp.log(c)),
        steady_state=(
            ("kl", (al / (1 / be - 1 + de)) ** (1 / (1 - al))),
            ("yl", kl ** al),
            ("l", (1 - al) * yl / (ps * (yl - de * kl) + (1 - al) * yl)),
            ("k", kl * L), ("y", yl * L), ("a", sp.Integer(0)),
            ("c", sp.Symbol("y") - de * sp.Symbol("k")), ("i", de * sp.Symbol("k"))))


def linear_spec():
    x, y = timed("x"), timed("y")
    rho, phi, kappa = sp.symbols("rho phi kappa")
    e = sp.Symbol("e")
    return ModelSpec(
        "linear", ("x", "y"), ("e",), ("rho", "phi", "kappa", "sigma_e"),
        (x - rho * _lag("x") - kappa * y - e, y - phi * _lead("y") - x),
        (3, 6), observables=(y,), steady_state=(("x", sp.Integer(0)), ("y", sp.Integer(0))))


def forward_spec():
    y, phi, e = timed("y"), sp.Symbol("phi"), sp.Symbol("e")
    return ModelSpec("linear_forward", ("y",), ("e",), ("phi", "sigma_e"),
                     (y - phi * _lead("y") - e,), (6,), observables=(y,),
                     steady_state=(("y", sp.Integer(0)),))


# example name -> spec of the same equations
SPECS = {"growth": growth_spec, "rbc": rbc_spec, "linear_determinate": linear_spec,
         "linear_indeterminate": linear_spec, "linear_explosive": linear_spec,
         "linear_forward": forward_spec}


def shock_cov(example):
    """The examples' last parameter is the shock standard deviation."""
    return np.array([[example.params[-1] ** 2]])


def raw_solve(example, order, sigma):
    """The kernels on the example's own callbacks: (status, arrays)."""
    n, nx, m, p = example.n, example.nx, example.m, example.p
    ny = n - nx
    lapack = SOLVE.lapack_pointers()
    rec = SOLVE.crv_klein_model()
    rec.residual, rec.hessian = example.residual, example.hessian
    rec.zgges, rec.dgeqrf, rec.dormqr = lapack["zgges"], lapack["dgeqrf"], lapack["dormqr"]
    rec.x_guess = example.x_guess.ctypes.data_as(_dp)
    rec.params = example.params.ctypes.data_as(_dp)
    rec.flags = example.flags.ctypes.data_as(ctypes.POINTER(ctypes.c_uint8))
    rec.n, rec.nx, rec.ny, rec.m, rec.p = n, nx, ny, m, p
    sigma = np.ascontiguousarray(sigma, dtype=float)
    rec.sigma = sigma.ctypes.data_as(_dp)
    N = LIB.crv_pencil_dim(example.flags, n).N
    out = {"ss": np.zeros(n), "j_lead": np.zeros((n, n)), "j_cur": np.zeros((n, n)),
           "j_lag": np.zeros((n, n)), "j_shock": np.zeros((n, m)),
           "qz_a": np.zeros((N, N), complex), "qz_b": np.zeros((N, N), complex),
           "qz_z": np.zeros((N, N), complex), "gx": np.zeros((max(ny, 1), nx)),
           "hx": np.zeros((nx, nx)), "eig": np.zeros(N, complex),
           "transition": np.zeros((n, n)), "impact": np.zeros((n, m))}
    order_idx = np.zeros(n, dtype=np.int64)
    sol = SOLVE.crv_klein_solution()
    for name, arr in out.items():
        setattr(sol, name, arr.ctypes.data_as(_dp))
    sol.order = order_idx.ctypes.data_as(ctypes.POINTER(ctypes.c_int64))
    D = 3 * n + m
    second = {"hess": np.zeros((n, D, D)), "eta": np.zeros((nx, m)),
              "g_xx": np.zeros((ny, nx * nx)), "h_xx": np.zeros((nx, nx * nx)),
              "g_xe": np.zeros((ny, nx * m)), "h_xe": np.zeros((nx, nx * m)),
              "g_ee": np.zeros((ny, m * m)), "h_ee": np.zeros((nx, m * m)),
              "g_ss": np.zeros(ny), "h_ss": np.zeros(nx)}
    sol2 = SOLVE.crv_klein_second_order()
    for name, arr in second.items():
        setattr(sol2, name, arr.ctypes.data_as(_dp))
    if order == 1:
        size = LIB.crv_klein_solve1_arena_size(n, nx, ny, p, m, N)
    else:
        size = LIB.crv_sgu_klein_solve2_arena_size(n, nx, ny, p, m, N)
    dwork = np.zeros(max(size.doubles, 1))
    iwork = np.zeros(max(size.slots, 1), dtype=np.int64)
    if order == 1:
        status = LIB.crv_klein_solve1(ctypes.byref(rec), ctypes.byref(sol), dwork, iwork)
    else:
        status = LIB.crv_sgu_klein_solve2(ctypes.byref(rec), ctypes.byref(sol),
                                          ctypes.byref(sol2), dwork, iwork)
    out.update(second)
    out["bk"] = sol.bk
    out["gx"] = out["gx"][:ny]
    return status, out


def ar1_spec(rho_value, name="ar1"):
    """x = rho x(-1) + e with rho a number in the equation: one library per value."""
    x, e = timed("x"), sp.Symbol("e")
    return ModelSpec(name, ("x",), ("e",), ("s",),
                     (x - sp.Float(rho_value) * _lag("x") - sp.Symbol("s") * e,), (3,))


def compile_in_child(rho_value, barrier, results):
    """Process target: wait for the others, compile, report (path, residual)."""
    from Corvane._bridge import compile_model

    barrier.wait()
    try:
        cm = compile_model(ar1_spec(rho_value, name="race"))
        results.put((str(cm.library), float(cm.residuals([2.0], [1.0])[0])))
    except BaseException as exc:  # reported to the parent
        results.put(("error", repr(exc)))
