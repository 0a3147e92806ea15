"""Optimiser overhead per objective evaluation: crv_neldermead and crv_lbfgsb
driving a trivial compiled objective, beside SciPy's Nelder-Mead and L-BFGS-B
driving the same compiled objective through ctypes.

    python benchmarks/bench_optimize.py

The objective (a shifted sum of squares) is compiled here with the system C
compiler into a temporary shared object; its context pointer holds n.
"""

import ctypes
import pathlib
import subprocess
import tempfile
import time

import numpy as np
from scipy.optimize import minimize

from Corvane._ckernels import ffi
from Corvane._ckernels.ffi import optimize as op

SOURCE = r"""
#include <stdint.h>
double bench_objective(const double *x, void *ctx) {
    int64_t n = *(const int64_t *)ctx;
    double s = 0.0;
    for (int64_t i = 0; i < n; ++i) { double d = x[i] - 0.5 * (double)(i + 1); s += d * d * (1.0 + i); }
    return s;
}
"""


def compiled_objective(tmp):
    src = pathlib.Path(tmp) / "objective.c"
    so = pathlib.Path(tmp) / "objective.so"
    src.write_text(SOURCE)
    subprocess.run(["cc", "-O2", "-shared", "-fPIC", str(src), "-o", str(so)], check=True)
    lib = ctypes.CDLL(str(so))
    fn = lib.bench_objective
    fn.restype = ctypes.c_double
    fn.argtypes = [ctypes.POINTER(ctypes.c_double), ctypes.c_void_p]
    return lib, fn


def best_of(f, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        out = f()
        times.append(time.perf_counter() - t0)
    return min(times), out


def main():
    lib = ffi.load("beliefplan")
    with tempfile.TemporaryDirectory() as tmp:
        so, fn = compiled_objective(tmp)
        c_fn = op.crv_opt_fn(ctypes.cast(fn, ctypes.c_void_p).value)
        print(f"{'method':12s} {'n':>3s} {'nfev':>6s} {'crv us/eval':>12s} "
              f"{'scipy nfev':>10s} {'scipy us/eval':>14s} {'ratio':>7s}")
        for n in (5, 20):
            ctx = ctypes.c_int64(n)
            ctx_p = ctypes.addressof(ctx)
            x0 = np.zeros(n)

            def py_obj(x):
                return fn(x.ctypes.data_as(ctypes.POINTER(ctypes.c_double)), ctx_p)

            res = op.crv_opt_result()
            nm = op.crv_nm_options(maxiter=0, maxfev=0, xatol=1e-8, fatol=1e-8)
            t_c, _ = best_of(lambda: lib.crv_neldermead(c_fn, ctx_p, n, x0.copy(), None, None, None,
                                                        ctypes.byref(nm), ctypes.byref(res)), 5)
            nfev_c = res.nfev
            t_s, ref = best_of(lambda: minimize(py_obj, x0, method="Nelder-Mead",
                                                options=dict(xatol=1e-8, fatol=1e-8)), 3)
            print(f"{'neldermead':12s} {n:3d} {nfev_c:6d} {1e6 * t_c / nfev_c:12.3f} "
                  f"{ref.nfev:10d} {1e6 * t_s / ref.nfev:14.3f} {t_s / ref.nfev / (t_c / nfev_c):7.1f}")

            lb = op.crv_lbfgsb_options(m=10, maxiter=0, maxfun=0, maxls=20, factr=1e7, pgtol=1e-5,
                                       fd_step=0.0)
            t_c, _ = best_of(lambda: lib.crv_lbfgsb(c_fn, ctx_p, n, x0.copy(), None, None, None,
                                                    ctypes.byref(lb), ctypes.byref(res)), 5)
            nfev_c = res.nfev
            t_s, ref = best_of(lambda: minimize(py_obj, x0, method="L-BFGS-B",
                                                options=dict(maxcor=10, ftol=1e7 * 2.22e-16,
                                                             gtol=1e-5)), 3)
            print(f"{'lbfgsb':12s} {n:3d} {nfev_c:6d} {1e6 * t_c / nfev_c:12.3f} "
                  f"{ref.nfev:10d} {1e6 * t_s / ref.nfev:14.3f} {t_s / ref.nfev / (t_c / nfev_c):7.1f}")
        del so


if __name__ == "__main__":
    main()
