"""Pruned second-order simulation against NumPy, and the unscented filter's
evaluation rate with the share of its time spent in the observation callback.

1. crv_simulate_second_order_pruned for T = 10,000 periods on the RBC
   example's second-order solution (nx = 2, ny = 4, m = 1) and on a random
   larger one (nx = ny = 10, m = 3), against NumPy doing all it can in bulk:
   the shock terms R e, e (x) e and their products for all periods at once,
   the first-order recursion as a loop over preallocated rows, then every
   Kronecker product and second-order source term for all periods by einsum
   and matrix products, the second-order recursion as a second loop, and the
   outputs of the other variables by matrix products. Both paths agree to
   1e-12 before timing.
2. ukf_hot_loop on the RBC example (T = 200, observables log output and log
   consumption through the compiled `rbc_obs`), log-likelihood only. The
   callback's own cost is timed alone, compiled, over the same (2L + 1) T
   calls on points around the steady state, by a small C loop built here with
   the system compiler.

    python benchmarks/bench_simulate.py [--repeat 15] [--markdown]
"""

import argparse
import ctypes
import pathlib
import subprocess
import tempfile

from bench_objectives import SD_MEAS, timeit  # sets single-threaded BLAS
from bench_solve import CompiledRBC, models

import numpy as np  # noqa: E402

from Corvane._bridge.examples import example_model  # noqa: E402
from Corvane._ckernels import ffi  # noqa: E402

T_SIM, T_UKF = 10_000, 200
BLOCKS = ("h_xx", "g_xx", "h_xe", "g_xe", "h_ee", "g_ee", "h_ss", "g_ss")


def numpy_pruned(blocks, x0, E):
    hx, gx, R, hxx, gxx, hxe, gxe, hee, gee, hss, gss = blocks
    T, nx, m = len(E), len(hx), E.shape[1]
    RE = E @ R.T                                        # R e for all periods
    kee = np.einsum("ti,tj->tij", E, E).reshape(T, m * m)
    XF = np.empty((T + 1, nx))                          # x^f before period t
    XF[0] = x0
    for t in range(T):
        np.dot(hx, XF[t], out=XF[t + 1])
        XF[t + 1] += RE[t, :nx]
    xf = XF[:T]
    kxx = np.einsum("ti,tj->tij", xf, xf).reshape(T, nx * nx)
    kxe = np.einsum("ti,tj->tij", xf, E).reshape(T, nx * m)
    src = 0.5 * hss + 0.5 * kxx @ hxx.T + kxe @ hxe.T + 0.5 * kee @ hee.T
    XS = np.empty((T + 1, nx))
    XS[0] = 0.0
    for t in range(T):
        np.dot(hx, XS[t], out=XS[t + 1])
        XS[t + 1] += src[t]
    Y = np.empty((T, nx + len(gx)))
    Y[:, :nx] = XF[1:] + XS[1:]
    Y[:, nx:] = (0.5 * gss + (xf + XS[:T]) @ gx.T + RE[:, nx:] + 0.5 * kxx @ gxx.T
                 + kxe @ gxe.T + 0.5 * kee @ gee.T)
    return Y


def random_blocks(rng, nx, ny, m, scale=0.1):
    hx = rng.standard_normal((nx, nx))
    hx *= 0.9 / np.max(np.abs(np.linalg.eigvals(hx)))
    shapes = [(ny, nx), (nx + ny, m), (nx, nx * nx), (ny, nx * nx), (nx, nx * m),
              (ny, nx * m), (nx, m * m), (ny, m * m), (nx,), (ny,)]
    return [hx] + [scale * rng.standard_normal(s) for s in shapes]


def pruned_runner(lib, blocks, x0, E):
    nx, ny, m = len(blocks[0]), len(blocks[1]), E.shape[1]
    Y = np.empty((len(E), nx + ny))
    arena = np.empty(max(lib.crv_simulate_second_order_pruned_arena_size(nx, m).doubles, 1))
    args = (*blocks, x0, E, None, Y, arena, len(E), nx, ny, m)
    return lambda: lib.crv_simulate_second_order_pruned(*args), Y


OBS_TIMER = r"""
#include <stdint.h>
#include <time.h>
typedef void (*obs_fn)(const double *, const double *, double *);
/* Seconds for one pass of fn over n_points points of n values (best of reps). */
double time_obs(obs_fn fn, const double *X, int64_t n_points, int64_t n, const double *params,
                double *Y, int64_t k, int64_t reps) {
    double best = 1e300;
    for (int64_t r = 0; r < reps; ++r) {
        struct timespec a, b;
        clock_gettime(CLOCK_MONOTONIC, &a);
        for (int64_t i = 0; i < n_points; ++i) fn(X + i * n, params, Y + i * k);
        clock_gettime(CLOCK_MONOTONIC, &b);
        double s = (double)(b.tv_sec - a.tv_sec) + 1e-9 * (double)(b.tv_nsec - a.tv_nsec);
        if (s < best) best = s;
    }
    return best;
}
"""


def obs_timer(tmp):
    src, so = pathlib.Path(tmp) / "obs_timer.c", pathlib.Path(tmp) / "obs_timer.so"
    src.write_text(OBS_TIMER)
    subprocess.run(["cc", "-O2", "-shared", "-fPIC", str(src), "-o", str(so)], check=True)
    fn = ctypes.CDLL(str(so)).time_obs
    fn.restype = ctypes.c_double
    fn.argtypes = [ctypes.c_void_p, ffi.F64, ctypes.c_int64, ctypes.c_int64, ffi.F64, ffi.F64,
                   ctypes.c_int64, ctypes.c_int64]
    return fn


def ukf_runner(lib, rbc, obs_fn, data):
    """A closure running ukf_hot_loop (log-likelihood only) on the solved RBC."""
    sol, twin = rbc.sol, rbc.twin
    nx, ny, m, k = twin.nx, twin.ny, twin.m, data.shape[1]
    keep = {"shock_cov": twin.sigma, "obs_cov": np.diag(SD_MEAS ** 2), "data": data,
            "x0": np.zeros(2 * nx), "P0": 1e-4 * np.eye(2 * nx), "ll": np.zeros(1),
            "arena": np.empty(lib.ukf_arena_size(nx, ny, m, k).doubles)}
    dp = ctypes.POINTER(ctypes.c_double)
    ptr = {name: a.ctypes.data_as(dp) for name, a in keep.items()}
    inp = ffi.filters.ukf_inputs()
    inp.obs_fn = ffi.filters.OBS_FN(obs_fn)
    for name in ("hx", "gx", "impact", "ss"):
        setattr(inp, name, sol.arrays[name].ctypes.data_as(dp))
    for name in BLOCKS:
        setattr(inp, name, sol.second[name].ctypes.data_as(dp))
    inp.params = twin.params.ctypes.data_as(dp)
    for name in ("shock_cov", "obs_cov", "data", "x0", "P0"):
        setattr(inp, name, ptr[name])
    inp.n_periods, inp.nx, inp.ny, inp.n_shocks, inp.n_obs = len(data), nx, ny, m, k
    inp.n_params, inp.alpha, inp.beta, inp.kappa = twin.p, 1.0, 2.0, 0.0
    inp.symmetrize, inp.store_paths = 1, 0
    out = ffi.filters.ukf_outputs(loglik=ptr["ll"])
    args = (ctypes.byref(inp), keep["arena"], ctypes.byref(out))

    def run():
        assert lib.ukf_hot_loop(*args) == 0
        return keep["ll"][0]

    return run


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--markdown", action="store_true", help="print a Markdown table")
    args = parser.parse_args()

    lib = ffi.load("beliefplan")
    rng = np.random.default_rng(7)
    rbc = CompiledRBC(lib, models.rbc_steady_state())
    assert rbc.solve2() == 0
    s = rbc.sol
    rbc_blocks = [s.hx, s.gx, s.impact] + [s.second[b] for b in BLOCKS]
    sigma_e = np.sqrt(rbc.twin.sigma[0, 0])
    cases = [("RBC example (nx = 2, ny = 4, m = 1)", rbc_blocks, sigma_e),
             ("random (nx = 10, ny = 10, m = 3)", random_blocks(rng, 10, 10, 3), 0.1)]
    sim_rows = []
    for name, blocks, sd in cases:
        blocks = [np.ascontiguousarray(b, dtype=float) for b in blocks]
        E = sd * rng.standard_normal((T_SIM, blocks[2].shape[1]))
        x0 = np.zeros(len(blocks[0]))
        run, Y = pruned_runner(lib, blocks, x0, E)
        run()
        np.testing.assert_allclose(Y, numpy_pruned(blocks, x0, E), rtol=1e-12,
                                   atol=1e-12 * np.abs(Y).max())
        t_c = timeit(run, args.repeat, 5)
        t_np = timeit(lambda: numpy_pruned(blocks, x0, E), args.repeat, 1)
        sim_rows.append((name, t_c, t_np))

    # Data for the filter: the pruned path in levels, logs of y and c plus noise.
    E = sigma_e * rng.standard_normal((T_UKF, 1))
    levels = np.empty((T_UKF, rbc.twin.n))
    arena = np.empty(lib.crv_simulate_second_order_pruned_arena_size(2, 1).doubles)
    lib.crv_simulate_second_order_pruned(*rbc_blocks, np.zeros(2), E, s.ss, levels, arena,
                                         T_UKF, 2, 4, 1)
    data = np.log(levels[:, [4, 2]]) + SD_MEAS * rng.standard_normal((T_UKF, 2))
    compiled = example_model("rbc")
    ukf = ukf_runner(lib, rbc, compiled.obs_fn, data)
    assert np.isfinite(ukf())
    t_ukf = timeit(ukf, args.repeat, 20)
    L = 2 * rbc.twin.nx + rbc.twin.m
    calls = (2 * L + 1) * T_UKF
    points = s.ss * (1 + 0.01 * rng.standard_normal((calls, rbc.twin.n)))
    with tempfile.TemporaryDirectory() as tmp:
        t_obs = obs_timer(tmp)(compiled.obs_fn, points, calls, rbc.twin.n, rbc.twin.params,
                               np.empty((calls, 2)), 2, 20 * args.repeat)
    share = t_obs / t_ukf

    if args.markdown:
        print(f"| pruned simulation, T = {T_SIM:,} | crv_simulate_second_order_pruned "
              "| vectorised NumPy | speed-up |")
        print("|---|---|---|---|")
        for name, t_c, t_np in sim_rows:
            print(f"| {name} | {t_c * 1e3:.3f} ms | {t_np * 1e3:.2f} ms | {t_np / t_c:.0f}x |")
        print(f"\n| ukf_hot_loop, RBC, T = {T_UKF} | value |")
        print("|---|---|")
        print(f"| time per log-likelihood | {t_ukf * 1e6:,.0f} us |")
        print(f"| evaluations per second | {1 / t_ukf:,.0f} |")
        print(f"| observation calls per evaluation, (2L + 1) T | {calls:,} |")
        print(f"| compiled `rbc_obs` alone over those calls | {t_obs * 1e6:.1f} us "
              f"({t_obs / calls * 1e9:.1f} ns per call) |")
        print(f"| share of the filter's time in the callback | {100 * share:.1f}% |")
        print(f"| kernel time beyond the callback | {(t_ukf - t_obs) * 1e6:,.0f} us "
              f"({(t_ukf - t_obs) / t_obs:.1f} times the callback's cost) |")
    else:
        for name, t_c, t_np in sim_rows:
            print(f"pruned {name:36s} kernel {t_c * 1e3:8.3f} ms  NumPy {t_np * 1e3:8.2f} ms"
                  f"  {t_np / t_c:6.1f}x")
        print(f"ukf_hot_loop RBC T={T_UKF}: {t_ukf * 1e6:.0f} us, {1 / t_ukf:,.0f} eval/s; "
              f"callback alone {t_obs * 1e6:.1f} us over {calls} calls = {100 * share:.1f}%")


if __name__ == "__main__":
    main()
