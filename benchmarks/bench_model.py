"""The model layer as a user meets it: `Corvane.Model` from `.mod` text.

1. `model.solve()` on `examples/models/rbc.mod` against the bare
   `crv_klein_solve1` call on the same compiled callbacks, record and arena
   (started at the steady state), and the bridge's `first_order()` between
   them: called in turn and timed call by call, medians per round.
2. First `Model.from_mod(text)` + `solve()` of a 40-equation model into an
   empty cache (reading, SymPy, code generation, compiler, loading), each
   round in a fresh interpreter past its once-per-process start (imports,
   SciPy's LAPACK pointers, SymPy's first expressions: timed apart).
3. The same in a fresh interpreter on a warm cache (the cached load).
4. The RBC residual callback generated from `rbc.mod` against the
   hand-written C++ example's (`libcrv_models.so`), both driven from C by
   `crv_residual_path` (the driver of `bench_model_compile.py`), interleaved.

Reports the median and the spread (lowest and highest round) of each.

    python benchmarks/bench_model.py [--rounds 15] [--markdown]
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests" / "bridge"))

from bench_model_compile import N_CHAIN, residual_path_rate  # noqa: E402
from bridge_specs import example_model  # noqa: E402

import Corvane  # noqa: E402
from Corvane._bridge import solve as bridge  # noqa: E402
from Corvane._ckernels import ffi  # noqa: E402

RBC = HERE.parent / "examples" / "models" / "rbc.mod"


def chain_mod(n=N_CHAIN, m=4):
    """The chain model of bench_model_compile.py as a .mod file:
    x_i = rho x_i(-1) + log(1 + x_{i+1}^2)/20 + sin(x_{i+2}) exp(theta_i x_i(-1))/10
    + e_j, indices mod n, shock j = i mod m; steady state 0."""
    lines = [f"var {' '.join(f'x{i}' for i in range(n))};",
             f"varexo {' '.join(f'e{j}' for j in range(m))};",
             f"parameters rho {' '.join(f'theta{i}' for i in range(n))};", "rho = 0.5;"]
    lines += [f"theta{i} = 0.3;" for i in range(n)]
    lines.append("model;")
    for i in range(n):
        lines.append(f"x{i} = rho*x{i}(-1) + log(1 + x{(i + 1) % n}^2)/20 "
                     f"+ sin(x{(i + 2) % n})*exp(theta{i}*x{i}(-1))/10 + e{i % m};")
    lines += ["end;", "shocks;"] + [f"var e{j}; stderr 1;" for j in range(m)] + ["end;"]
    return "\n".join(lines) + "\n"


WARM_UP = ("var x; varexo e; parameters r; r = 0.5; model; "
           "x = r*x(-1) + log(1 + x^2)/20 + sin(x)*exp(x)/10 + e; end;")


def in_fresh_process(cache):
    """(seconds of the once-per-process start: imports, LAPACK pointers, SymPy's
    first expressions; seconds of from_mod + solve of the chain model) in a
    new interpreter."""
    code = ("import sys, time; sys.path.insert(0, %r); import bench_model as b; "
            "t = time.perf_counter(); import Corvane; from Corvane._ckernels import ffi; "
            "ffi.solve.lapack_pointers(); Corvane.Model.from_mod(b.WARM_UP); "
            "t1 = time.perf_counter(); text = b.chain_mod(); "
            "Corvane.Model.from_mod(text).solve(); t2 = time.perf_counter(); "
            "print(t1 - t, t2 - t1)" % str(HERE))
    env = dict(os.environ, CORVANE_CACHE_DIR=cache)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True, env=env)
    start, seconds = map(float, out.stdout.strip().splitlines()[-1].split())
    return start, seconds


def per_call(fn, inner):
    t0 = time.perf_counter_ns()
    for _ in range(inner):
        fn()
    return (time.perf_counter_ns() - t0) / inner / 1e3


def solve_overhead(rounds, inner=200):
    """Per-round median microseconds of (bare kernel, first_order,
    model.solve), the three called in turn and timed call by call so a load
    spike on the machine hits all three alike and drops out of the medians."""
    lib = ffi.load("regression")
    model = Corvane.Model.from_mod(RBC)
    sol = model.solve()
    cm, p, ss = sol.compiled, sol.params, np.array(sol.first.ss)
    sigma = sol.shock_cov_matrix
    ws = bridge._Workspace(cm, 1, lib)
    bridge._fill(ws, cm, p, sigma, ss)
    raw_args = (ws.model_ref, ws.solution_ref, ws.dwork_address, ws.iwork_address)
    assert lib.crv_klein_solve1(*raw_args) == 0
    np.testing.assert_array_equal(ws.arrays["transition"], sol.first.transition)
    calls = [lambda: lib.crv_klein_solve1(*raw_args),
             lambda: bridge.first_order(cm, p, sigma, ss),
             model.solve]
    for fn in calls:
        per_call(fn, inner)
    clock = time.perf_counter_ns
    medians = []
    for _ in range(rounds):
        samples = np.empty((inner, len(calls)))
        for i in range(inner):
            for j, fn in enumerate(calls):
                t0 = clock()
                fn()
                samples[i, j] = clock() - t0
        medians.append(np.median(samples, axis=0) / 1e3)
    return np.array(medians)


def callback_rates(rounds, T=100_000):
    """Per-round 10^6 residual calls per second: generated, hand-written."""
    lib = ffi.load("regression")
    model = Corvane.Model.from_mod(RBC)
    cm = model.solve().compiled
    ex = example_model("rbc")
    params = np.asarray(ex.params[:cm.p])
    rates = []
    for _ in range(rounds):
        gen, out_gen = residual_path_rate(lib, cm.residual_address, ex.n, ex.m, params, T, 1)
        hand, out_hand = residual_path_rate(lib, ex.residual, ex.n, ex.m, ex.params, T, 1)
        rates.append((gen / 1e6, hand / 1e6))
    assert np.allclose(out_gen, out_hand, rtol=1e-12, atol=1e-13)
    return np.array(rates)


def spread(values, fmt):
    v = np.asarray(values)
    return f"{fmt.format(np.median(v))} ({fmt.format(v.min())}-{fmt.format(v.max())})"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--compile-rounds", type=int, default=3)
    parser.add_argument("--markdown", action="store_true", help="print a Markdown table")
    args = parser.parse_args()
    rows = []
    with tempfile.TemporaryDirectory() as cache:
        os.environ["CORVANE_CACHE_DIR"] = cache
        times = solve_overhead(args.rounds)
        raw, bridged, solved = times.T
        rows.append(("RBC crv_klein_solve1, bare call (us)", spread(raw, "{:.1f}"), ""))
        rows.append(("RBC first_order() overhead over the bare call (us)",
                     spread(bridged - raw, "{:.1f}"), ""))
        rows.append(("RBC model.solve() overhead over the bare call (us)",
                     spread(solved - raw, "{:.1f}"), "< 20"))
        rates = callback_rates(args.rounds)
        rows.append(("RBC residual callback (10^6 calls/s): generated / hand-written",
                     f"{np.median(rates[:, 0]):.2f} / {np.median(rates[:, 1]):.2f}",
                     spread(rates[:, 0] / rates[:, 1], "{:.2f}") + "x"))
        firsts, loads, imports = [], [], []
        for _ in range(args.compile_rounds):
            with tempfile.TemporaryDirectory() as empty:
                firsts.append(in_fresh_process(empty)[1])
                imported, load = in_fresh_process(empty)
                loads.append(load)
                imports.append(imported)
        rows.append(("first from_mod + solve, 40 equations, empty cache (s)",
                     spread(firsts, "{:.2f}"), "< 5"))
        rows.append(("from_mod + solve, 40 equations, warm cache (ms)",
                     spread(1e3 * np.array(loads), "{:.1f}"), "< 50"))
        rows.append(("process start: imports, LAPACK pointers, first SymPy use (ms)",
                     spread(1e3 * np.array(imports), "{:.0f}"), ""))
    if args.markdown:
        print("| measure | median (lowest-highest round) | target / ratio |")
        print("|---|---|---|")
        for row in rows:
            print("| " + " | ".join(row) + " |")
    else:
        for name, value, note in rows:
            print(f"{name:66s} {value:>24s}  {note}")


if __name__ == "__main__":
    main()
