"""Solve the RBC example model to first and second order and print the
steady state, policy matrices and eigenvalues; `--bench` times the kernels
against the SciPy ordqz reference.

    cd examples && python -m models [--bench]
"""

import sys
import time

import numpy as np

from Corvane._ckernels import ffi

from . import rbc, rbc_steady_state, solve1, solve2
from .reference import first_order


def table(title, rows, cols, M):
    print(f"\n{title}")
    print(" " * 8 + "".join(f"{c:>12}" for c in cols))
    for r, row in zip(rows, np.atleast_2d(M)):
        print(f"{r:>8}" + "".join(f"{v:12.5f}" for v in row))


def main(argv):
    lib = ffi.load("regression")
    model = rbc()
    status, sol = solve2(lib, model)
    if status != 0:
        print(f"solution failed with status {status}")
        return 1
    x, y = model.names[:model.nx], model.names[model.nx:]
    table("steady state", model.names, ["level"], sol.ss[:, None])
    table("hx (states on lagged states)", x, [s + "(-1)" for s in x], sol.hx)
    table("gx (other variables on lagged states)", y, [s + "(-1)" for s in x], sol.gx)
    table("impact", model.names, model.shock_names, sol.impact)
    eig = sol.eig
    print("\ngeneralised eigenvalues (Schur order):",
          ", ".join("inf" if not np.isfinite(e.real) else f"{abs(e):.5f}" for e in eig))
    print(f"saddle-path flag bk = {sol.bk}")
    xx = [f"{a}*{b}" for a in x for b in x]
    table("h_xx", x, xx, sol.h_xx)
    table("g_xx", y, xx, sol.g_xx)
    table("h_ss, g_ss", model.names, ["ss"], np.concatenate([sol.h_ss, sol.g_ss])[:, None])
    if "--bench" in argv:
        bench(lib, model)
    return 0


def bench(lib, model, reps=20):
    def timed(fn):
        fn()
        t0 = time.perf_counter()
        for _ in range(reps):
            fn()
        return (time.perf_counter() - t0) / reps

    ss = rbc_steady_state()
    rec = model.record()
    t1 = timed(lambda: solve1(lib, model, record=rec))
    t2 = timed(lambda: solve2(lib, model, record=rec))
    tr = timed(lambda: first_order(model, ss))
    n, nx = model.n, model.nx
    print("\n| solver | time per solve | dense (x, x) system |")
    print("|---|---|---|")
    print(f"| crv_klein_solve1 | {t1 * 1e3:.3f} ms | |")
    print(f"| crv_sgu_klein_solve2 | {t2 * 1e3:.3f} ms | {n * nx * nx} x {n * nx * nx} |")
    print(f"| SciPy ordqz reference | {tr * 1e3:.3f} ms | |")
    print("(callbacks are Python functions here: their cost dominates the kernel timings)")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
