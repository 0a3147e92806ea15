"""Generated model code: compile time, cached load, callback speed, solve overhead.

1. First compile of a 40-equation model (a chain of coupled nonlinear
   equations, 4 shocks, 41 parameters) into an empty cache: code generation,
   compiler and loading.
2. Loading it again from the cache in a fresh process (no in-process memo;
   the process asks the compiler for its version once, as every process does).
3. The generated RBC residual and Hessian callbacks against the hand-written
   C++ example's, each driven from C (`crv_residual_path` over T points,
   `crv_bicomplex_hessian`) so no Python sits between calls.
4. `first_order` on the generated RBC model against the bare
   `crv_klein_solve1` call on the same callbacks, records and arena (started
   at the steady state): the difference is the bridge's overhead.

    python benchmarks/bench_model_compile.py [--repeat 15] [--markdown]
"""

import argparse
import ctypes
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
import sympy as sp  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "bridge"))

from bridge_specs import example_model, rbc_spec, shock_cov  # noqa: E402
from Corvane._bridge import ModelSpec, compile_model, first_order, solve  # noqa: E402
from Corvane._ckernels import ffi  # noqa: E402
from Corvane.model.symbols import timed  # noqa: E402

N_CHAIN, M_CHAIN = 40, 4


def chain_spec(n=N_CHAIN, m=M_CHAIN):
    """x_i = rho x_i(-1) + a log(1 + x_{i+1}^2) + b sin(x_{i+2}) exp(theta_i x_i(-1))
    + shock, indices mod n; shock j drives every m-th equation. Steady state 0."""
    rho = sp.Symbol("rho")
    thetas = sp.symbols(f"theta0:{n}")
    x = [timed(f"x{i}") for i in range(n)]
    lag = [timed(f"x{i}", -1) for i in range(n)]
    shocks = [sp.Symbol(f"e{j}") for j in range(m)]
    eqs = [x[i] - rho * lag[i] - sp.Rational(1, 20) * sp.log(1 + x[(i + 1) % n] ** 2)
           - sp.Rational(1, 10) * sp.sin(x[(i + 2) % n]) * sp.exp(thetas[i] * lag[i])
           - shocks[i % m] for i in range(n)]
    return ModelSpec("chain40", tuple(f"x{i}" for i in range(n)),
                     tuple(str(e) for e in shocks), ("rho", *map(str, thetas)), tuple(eqs),
                     (3,) * n)


def cached_load_seconds():
    """compile_model(chain_spec()) in a fresh interpreter on a warm cache."""
    code = ("import sys, time; sys.path.insert(0, %r); import bench_model_compile as b; "
            "spec = b.chain_spec(); t = time.perf_counter(); b.compile_model(spec); "
            "print(time.perf_counter() - t)" % str(Path(__file__).resolve().parent))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True, env=os.environ)
    return float(out.stdout.strip().splitlines()[-1])


def timeit(fn, repeat, inner):
    fn()
    best = np.inf
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(inner):
            fn()
        best = min(best, (time.perf_counter() - t0) / inner)
    return best


def residual_path_rate(lib, address, n, m, params, T, repeat):
    """Callback evaluations per second through crv_residual_path."""
    rng = np.random.default_rng(1)
    ss = example_model("rbc").x_guess
    X = (ss * (1 + 0.01 * rng.standard_normal((T, n)))).astype(complex)
    E = (0.01 * rng.standard_normal((T, m))).astype(complex)
    theta = np.asarray(params, dtype=complex)
    out = np.zeros((T, n))
    seconds = timeit(lambda: lib.crv_residual_path(address, X, X, X, E, theta, T, n, m, n, out),
                     repeat, 1)
    return T / seconds, out


def hessian_rate(lib, address, n, m, params, x, repeat):
    p = len(params)
    D = 3 * n + m
    size = lib.crv_bicomplex_hessian_arena_size(n, p, m, n)
    work = np.zeros(size.doubles)
    hess = np.zeros((n, D, D))
    params = np.asarray(params, dtype=float)
    seconds = timeit(lambda: lib.crv_bicomplex_hessian(address, x, params, n, p, m, n, hess,
                                                       work), repeat, 20)
    return D * (D + 1) / 2 / seconds, hess.copy()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--markdown", action="store_true", help="print a Markdown table")
    args = parser.parse_args()
    rows = []

    with tempfile.TemporaryDirectory() as cache:
        os.environ["CORVANE_CACHE_DIR"] = cache
        spec = chain_spec()
        t0 = time.perf_counter()
        chain = compile_model(spec)
        first = time.perf_counter() - t0
        rows.append(("first compile, 40 equations (s)", f"{first:.2f}", "< 5"))
        loads = [cached_load_seconds() for _ in range(5)]
        rows.append(("cached load in a fresh process (ms, best of 5)",
                     f"{1e3 * min(loads):.1f}", "< 50"))
        sol = first_order(chain, [0.5] + [0.3] * N_CHAIN, np.eye(M_CHAIN), np.zeros(N_CHAIN))
        assert sol.bk == 0

        lib = ffi.load("regression")
        ex = example_model("rbc")
        cm = compile_model(rbc_spec())
        n, m = ex.n, ex.m
        T = 200_000
        rate_gen, out_gen = residual_path_rate(lib, cm.residual_address, n, m, ex.params, T,
                                               args.repeat)
        rate_hand, out_hand = residual_path_rate(lib, ex.residual, n, m, ex.params, T,
                                                 args.repeat)
        assert np.allclose(out_gen, out_hand, rtol=1e-12, atol=1e-13)
        rows.append(("RBC residual callback (10^6 calls/s): generated / hand-written",
                     f"{rate_gen / 1e6:.2f} / {rate_hand / 1e6:.2f}",
                     f"{rate_gen / rate_hand:.2f}x"))
        hrate_gen, h_gen = hessian_rate(lib, cm.hessian_address, n, m, ex.params, ex.x_guess,
                                        args.repeat)
        hrate_hand, h_hand = hessian_rate(lib, ex.hessian, n, m, ex.params, ex.x_guess,
                                          args.repeat)
        assert np.allclose(h_gen, h_hand, rtol=1e-10, atol=1e-12)
        rows.append(("RBC Hessian callback (10^6 calls/s): generated / hand-written",
                     f"{hrate_gen / 1e6:.2f} / {hrate_hand / 1e6:.2f}",
                     f"{hrate_gen / hrate_hand:.2f}x"))

        # solve overhead: the bridge against the bare kernel on the same workspace kind
        sigma, ss = shock_cov(ex), cm.steady_state(ex.params)
        first_order(cm, ex.params, sigma, ss)
        ws = solve._Workspace(cm, 1, lib)
        solve._fill(ws, cm, ex.params, sigma, ss)
        raw_args = (ws.model_ref, ws.solution_ref, ws.dwork_address, ws.iwork_address)
        assert lib.crv_klein_solve1(*raw_args) == 0
        inner = 200
        raw = [timeit(lambda: lib.crv_klein_solve1(*raw_args), args.repeat, inner)
               for _ in range(3)]
        bridged = [timeit(lambda: first_order(cm, ex.params, sigma, ss), args.repeat, inner)
                   for _ in range(3)]
        raw_us, bridged_us = 1e6 * min(raw), 1e6 * min(bridged)
        rows.append(("RBC crv_klein_solve1, bare call (us)", f"{raw_us:.1f}", ""))
        rows.append(("RBC first_order() overhead over the bare call (us)",
                     f"{bridged_us - raw_us:.1f}", "< 20"))

    if args.markdown:
        print("| measure | result | target / ratio |")
        print("|---|---|---|")
        for row in rows:
            print("| " + " | ".join(row) + " |")
    else:
        for name, value, note in rows:
            print(f"{name:68s} {value:>14s}  {note}")


if __name__ == "__main__":
    main()
