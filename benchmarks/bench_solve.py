"""Model solution: crv_klein_solve1 on the compiled RBC example model against
the SciPy ordqz first-order solution of the tests (`tests/common/reference.py`)
called from Python; crv_sgu_klein_solve2 beside it.

Two pairings: the kernel started at the steady state (its Newton iteration
stops at the first residual) against the reference as the tests call it
(complex-step Jacobians of the Python RBC equations and ordqz at the known
steady state); and the kernel started 2% above the steady state against the
reference with the steady state found first by SciPy's root finder from the
same guess. Both sides are checked to agree before timing.

    python benchmarks/bench_solve.py [--repeat 15] [--markdown]
"""

import argparse
import ctypes

from bench_objectives import TRUE, models, solution, timeit  # sets single-threaded BLAS

import numpy as np  # noqa: E402

from Corvane._bridge.examples import example_model  # noqa: E402
from Corvane._ckernels import ffi  # noqa: E402
from reference import first_order  # noqa: E402


class CompiledRBC:
    """The compiled RBC example's callbacks in a crv_klein_model, with its
    solution records and both arenas allocated once; `solve1()` and `solve2()`
    are the bare kernel calls. x_guess: the steady-state guess (default the
    Python twin's, 2% above the steady state)."""

    def __init__(self, lib, x_guess=None):
        self.lib = lib
        self.twin = models.rbc()  # dimensions, flags, sigma and the Python equations
        if x_guess is not None:
            self.twin.x_guess = np.array(x_guess, dtype=float)
        compiled = example_model("rbc")
        self.rec = self.twin.record(hessian=False)
        self.rec.residual, self.rec.hessian = compiled.residual, compiled.hessian
        self.sol = models.SolutionArrays(lib, self.twin)
        t = self.twin
        size = lib.crv_sgu_klein_solve2_arena_size(t.n, t.nx, t.ny, t.p, t.m, self.sol.N)
        self.dwork, self.iwork = models.arena(size)
        self.args = (ctypes.byref(self.rec), ctypes.byref(self.sol.record), self.dwork,
                     self.iwork)
        self.args2 = self.args[:2] + (ctypes.byref(self.sol.record2),) + self.args[2:]

    def solve1(self):
        return self.lib.crv_klein_solve1(*self.args)

    def solve2(self):
        return self.lib.crv_sgu_klein_solve2(*self.args2)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--markdown", action="store_true", help="print a Markdown table")
    args = parser.parse_args()

    lib = ffi.load("beliefplan")
    ss = models.rbc_steady_state()
    at_ss, off = CompiledRBC(lib, ss), CompiledRBC(lib)
    model = off.twin
    hx, gx, R = first_order(model, ss)
    ss_root, _, _ = solution(TRUE, model.x_guess)
    for rbc in (at_ss, off):
        sol = rbc.sol
        assert rbc.solve1() == 0 and sol.bk == 0
        np.testing.assert_allclose(sol.ss, ss_root, rtol=1e-12, atol=1e-15)
        for ours, ref in ((sol.hx, hx), (sol.gx, gx), (sol.impact, R)):
            np.testing.assert_allclose(ours, ref, rtol=1e-9, atol=1e-12)
        assert rbc.solve2() == 0

    t_at = timeit(at_ss.solve1, args.repeat, 200)
    t_off = timeit(off.solve1, args.repeat, 200)
    t2 = timeit(at_ss.solve2, args.repeat, 50)
    t_ref = timeit(lambda: first_order(model, ss), args.repeat, 5)
    t_root = timeit(lambda: solution(TRUE, model.x_guess), args.repeat, 5)
    n, nx, m = model.n, model.nx, model.m
    dim, D = n * nx * nx, 3 * n + m
    rows = [
        ("first order at the known steady state", "crv_klein_solve1", t_at,
         "ordqz reference", t_ref, ""),
        ("first order, steady state from a guess 2% off", "crv_klein_solve1", t_off,
         "SciPy root + ordqz reference", t_root, ""),
        ("second order at the known steady state", "crv_sgu_klein_solve2", t2,
         "ordqz reference (first order only)", t_ref, f"{dim} x {dim}"),
    ]
    if args.markdown:
        print(f"| RBC example (n = {n}, nx = {nx}, m = {m}) | Corvane | time | SciPy peer "
              "| time | speed-up | dense (x, x) system |")
        print("|---|---|---|---|---|---|---|")
        for case, ours, t, peer, tp, system in rows:
            print(f"| {case} | `{ours}` | {t * 1e6:,.1f} us | {peer} | {tp * 1e6:,.1f} us "
                  f"| {tp / t:.1f}x | {system} |")
        print(f"\ncrv_sgu_klein_solve2 makes {D * (D + 1) // 2} bicomplex model evaluations "
              f"(D = {D}) and factorises the {dim} x {dim} (x, x) system.")
    else:
        for case, ours, t, peer, tp, system in rows:
            print(f"{case:48s} {ours:22s} {t * 1e6:9.1f} us | {peer:36s} {tp * 1e6:9.1f} us "
                  f"| {tp / t:6.1f}x {system}")


if __name__ == "__main__":
    main()
