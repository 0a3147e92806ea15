"""Monte Carlo statistics: a crv_mc_run experiment against the same statistics
computed with statsmodels/SciPy in a Python loop.

Each replication takes a simulated series of T = 200 periods (an AR(1) with
Student-t innovations, simulated beforehand with NumPy and fed to the chain
by the payload runner), standardises it (ddof 1), and runs Ljung-Box (10
lags) and Jarque-Bera on the standardised series and a Bartlett-kernel HAC
Wald test of a zero mean (floor-rule bandwidth, 4 lags at T = 200) on the
simulated series itself (on the standardised one the mean is zero by
construction). The chain is

    payload -> standardize -> Ljung-Box, Jarque-Bera;  payload -> Wald mean

Prints replications per second of crv_mc_run on 1 and 2 threads and of the
Python loop (numpy standardisation, statsmodels `acorr_ljungbox`,
`scipy.stats.jarque_bera`, statsmodels OLS with HAC covariance), the ratios,
and the largest relative difference between the two sets of statistics.

    pip install -r benchmarks/requirements.txt
    python benchmarks/bench_statistics.py [--reps 20000] [--python-reps 400] [--markdown]
"""

import argparse
import ctypes
import os
import time
import warnings

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
import scipy.stats  # noqa: E402
import statsmodels.api as sm  # noqa: E402
from statsmodels.stats.diagnostic import acorr_ljungbox  # noqa: E402

from Corvane._ckernels import ffi  # noqa: E402
from Corvane._ckernels.ffi import mc, mcstats  # noqa: E402

T = 200
LAGS = 10
HAC_LAGS = int(np.floor(4 * (T / 100) ** (2 / 9)))  # the floor rule: 4 at T = 200

_dp = ctypes.POINTER(ctypes.c_double)
_ip = ctypes.POINTER(ctypes.c_int64)


def simulate(n_reps, seed=1):
    rng = np.random.default_rng(seed)
    e = rng.standard_t(6, size=(n_reps, T + 50))
    x = np.zeros_like(e)
    for t in range(1, T + 50):
        x[:, t] = 0.5 * x[:, t - 1] + e[:, t]
    return np.ascontiguousarray(x[:, 50:] + 0.05)


class Chain:
    """The crv_mc_run job of the experiment; every buffer lives as long as
    the object."""

    def __init__(self, lib, data, n_threads):
        n_reps = data.shape[0]
        self.keep = [data]
        cols = np.arange(T, dtype=np.int64)
        self.keep.append(cols)

        def bind(source):
            return mc.crv_mc_binding(source, 0, T, 0, 1, cols.ctypes.data_as(_ip), T, 0, T,
                                     0.0, None, 0, 0)

        def runner(name):
            return ctypes.cast(getattr(lib, name), mc.crv_mc_runner)

        mu0 = np.zeros(1)
        self.keep.append(mu0)
        wald_d, wald_s = lib.crv_wald_mean_hac_arena_size(T, 1)
        stages = [
            # (runner, ctx, in_words, work_words, out_words, source stage)
            ("crv_mc_payload_runner", mc.crv_mc_payload(data.ctypes.data_as(_dp), T, 1), 0, 0,
             T, None),
            ("crv_mc_standardize_runner", mcstats.crv_mc_standardize_ctx(T, 1, 1),
             lib.crv_standardize_ax0_arena_size(T, 1).doubles, 0, T, 0),
            ("crv_mc_ljung_box_test_runner", mcstats.crv_mc_ljung_box_test_ctx(T, LAGS),
             T + lib.crv_lb_arena_size(T, LAGS).doubles, 0, 1, 1),
            ("crv_mc_jarque_bera_test_runner", mcstats.crv_mc_jarque_bera_test_ctx(T), T, 0, 1,
             1),
            ("crv_mc_wald_test_runner",
             mcstats.crv_mc_wald_test_ctx(mu0.ctypes.data_as(_dp), T, 1, 0, 0, 1, 0),
             T + wald_d, wald_s, 1, 0),
        ]
        row_map = np.arange(n_reps, dtype=np.int64)
        self.keep.append(row_map)
        records = []
        self.results = []
        for name, ctx, in_words, work_words, out_words, source in stages:
            iout_words = 1
            blocks = [np.zeros(max(n_threads * w, 1)) for w in (in_words, work_words, out_words)]
            iout = np.zeros(n_threads * iout_words, np.int64)
            results = np.full((n_reps, out_words), np.nan)
            iresults = np.zeros((n_reps, iout_words), np.int64)
            bindings = (mc.crv_mc_binding * 1)(bind(source)) if source is not None else None
            self.keep += [ctx, blocks, iout, results, iresults, bindings]
            self.results.append((results, iresults))
            records.append(mc.crv_mc_stage(
                runner(name), blocks[0].ctypes.data_as(_dp) if in_words else None,
                blocks[1].ctypes.data_as(_dp) if work_words else None,
                blocks[2].ctypes.data_as(_dp), iout.ctypes.data_as(_ip),
                results.ctypes.data_as(_dp), iresults.ctypes.data_as(_ip),
                row_map.ctypes.data_as(_ip), in_words, work_words, out_words, iout_words,
                out_words, iout_words, ctypes.cast(ctypes.pointer(ctx), ctypes.c_void_p),
                bindings, 0 if bindings is None else 1))
        self.stages = (mc.crv_mc_stage * len(records))(*records)
        self.failed_stage = np.zeros(n_reps, np.int64)
        self.status = np.zeros(n_reps, np.int64)
        self.job = mc.crv_mc_job(self.stages, len(records), n_reps, n_threads, 0, 0, 0, 0, 0,
                                 self.failed_stage.ctypes.data_as(_ip),
                                 self.status.ctypes.data_as(_ip), 0, None, None, None)
        self.lib = lib

    def run(self):
        rc = self.lib.crv_mc_run(ctypes.byref(self.job))
        if rc != 0 or (self.failed_stage != -1).any():
            raise RuntimeError("the Monte Carlo run failed")
        return np.column_stack([self.results[s][0][:, 0] for s in (2, 3, 4)])


def python_loop(data):
    out = np.empty((len(data), 3))
    ones = np.ones((T, 1))
    for r, x in enumerate(data):
        z = (x - x.mean()) / x.std(ddof=1)
        lb = acorr_ljungbox(z, lags=[LAGS])["lb_stat"].iloc[0]
        jb = scipy.stats.jarque_bera(z).statistic
        fit = sm.OLS(x, ones).fit(cov_type="HAC",
                                  cov_kwds={"maxlags": HAC_LAGS, "use_correction": False})
        out[r] = lb, jb, (fit.params[0] / fit.bse[0]) ** 2
    return out


def best_time(fn, repeat):
    best = np.inf
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=20000, help="replications of crv_mc_run")
    parser.add_argument("--python-reps", type=int, default=400,
                        help="replications of the Python loop")
    parser.add_argument("--repeat", type=int, default=9, help="best of this many runs")
    parser.add_argument("--markdown", action="store_true", help="print a Markdown table")
    args = parser.parse_args()

    lib = ffi.load("regression")
    data = simulate(args.reps)

    # The 1- and 2-thread runs alternate, so both see the same machine load.
    chains = {n_threads: Chain(lib, data, n_threads) for n_threads in (1, 2)}
    stats = {n_threads: chain.run() for n_threads, chain in chains.items()}  # and warm-up
    best = {1: np.inf, 2: np.inf}
    for _ in range(args.repeat):
        for n_threads, chain in chains.items():
            best[n_threads] = min(best[n_threads], best_time(chain.run, 1))
    rates = {n_threads: args.reps / seconds for n_threads, seconds in best.items()}
    if stats[1].tobytes() != stats[2].tobytes():
        raise RuntimeError("results differ between 1 and 2 threads")

    py_data = data[: args.python_reps]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        python_loop(py_data[:10])  # warm-up
        py_time = best_time(lambda: python_loop(py_data), max(1, args.repeat // 2))
        reference = python_loop(py_data)
    rates["python"] = args.python_reps / py_time
    diff = np.max(np.abs(stats[1][: args.python_reps] - reference) / np.abs(reference), axis=0)

    rows = [
        ("crv_mc_run, 1 thread", rates[1], rates[1] / rates["python"]),
        ("crv_mc_run, 2 threads", rates[2], rates[2] / rates["python"]),
        ("statsmodels/SciPy Python loop", rates["python"], 1.0),
    ]
    if args.markdown:
        print("| run | replications/s | vs Python loop |")
        print("|---|---:|---:|")
        for name, rate, ratio in rows:
            print(f"| {name} | {rate:,.0f} | {ratio:,.1f}x |")
    else:
        for name, rate, ratio in rows:
            print(f"{name:32s} {rate:12,.0f} reps/s  {ratio:8,.1f}x")
    print(f"\nT = {T}, {args.reps} replications (Python loop: {args.python_reps}); largest "
          f"relative difference Ljung-Box {diff[0]:.1e}, Jarque-Bera {diff[1]:.1e}, "
          f"Wald {diff[2]:.1e}")


if __name__ == "__main__":
    main()
