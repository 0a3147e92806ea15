"""Sampler overhead of crv_mcmc_run per iteration beyond the log-posterior, d = 10.

Method. A ctypes callback costs microseconds per call, far more than the
sampler itself, so the chain is driven by a compiled callback: the library's
own exported `crv_logdet_from_chol(L, n)`, whose signature (const double*,
int64) is ABI-compatible with the callback's (const double*, void*). With a
null context it reads n = 0 and returns 0.0 after an empty loop: a constant
log-posterior costing a call and a return (a few nanoseconds, included in the
figures, so they are an upper bound of the overhead). A constant target
accepts every proposal, so every iteration draws its d normals and its
uniform and copies the state: the sampler's most expensive path.

Measured, per iteration: fixed-proposal sampling (adapt = 0), adaptive
burn-in replacing the factor every 100 iterations and every iteration, with
NumPy's PCG64 and with the library's Philox behind bitgen_t; and, for
comparison, the random numbers alone (one fill of N*d normals and one of N
uniforms through the same bit generator).

    python benchmarks/bench_mcmc.py [--iterations 1000000] [--repeat 5] [--markdown]
"""

import argparse
import ctypes
import time

import numpy as np

from Corvane._ckernels import ffi
from Corvane._ckernels.ffi import mcmc, rng

D = 10


def pcg64_bitgen():
    bit_generator = np.random.PCG64(2026)
    record = rng.bitgen_from_numpy(bit_generator)
    record.owner = bit_generator
    return record


def philox_bitgen(lib):
    state = rng.crv_philox_state()
    lib.crv_philox_seed(ctypes.byref(state), 1, 2, 3, 0)
    fp = lambda name, kind: ctypes.cast(getattr(lib, name), kind)  # noqa: E731
    record = rng.bitgen_t(ctypes.addressof(state),
                          fp("crv_philox_bg_next_u64", rng.next_uint64_t),
                          fp("crv_philox_bg_next_u32", rng.next_uint32_t),
                          fp("crv_philox_bg_next_double", rng.next_double_t),
                          fp("crv_philox_bg_next_raw", rng.next_uint64_t))
    record.owner = state
    return record


def best_times(fns, repeat):
    """Best wall time of each function; the functions take turns in every
    round so that a disturbance on the shared machine hits them alike."""
    best = [float("inf")] * len(fns)
    for fn in fns:
        fn()
    for _ in range(repeat):
        for j, fn in enumerate(fns):
            t0 = time.perf_counter()
            fn()
            best[j] = min(best[j], time.perf_counter() - t0)
    return best


def chain_runner(lib, bitgen, n_iter, adapt, interval):
    """A closure running one chain of n_iter iterations (all burn-in when
    adapting, all kept draws otherwise)."""
    callback = ctypes.cast(lib.crv_logdet_from_chol, ctypes.c_void_p)
    if adapt:
        config = mcmc.crv_mcmc_config(0, n_iter, 1, 1, 0, interval, 1e-8, 0.1)
        n_keep = 0
    else:
        config = mcmc.crv_mcmc_config(n_iter, 0, 1, 0, 0, 0, 0.0, 0.1)
        n_keep = n_iter
    draws = np.empty((n_keep, D))
    logposts = np.empty(n_keep)
    out = mcmc.crv_mcmc_output(draws.ctypes.data_as(mcmc._dp), logposts.ctypes.data_as(mcmc._dp))
    result = mcmc.crv_mcmc_result()
    x0 = np.zeros(D)
    args = (callback, None, ctypes.byref(bitgen), x0, D, ctypes.byref(config),
            ctypes.byref(out), ctypes.byref(result))

    def run():
        # The output record holds raw addresses: the arrays live with the closure.
        assert draws.shape[0] == logposts.shape[0] == n_keep
        status = lib.crv_mcmc_run(*args)
        assert status == 0 and result.accepted == n_iter, (status, result.accepted)

    return run


def rng_runner(lib, bitgen, n_iter):
    normals = np.empty(n_iter * D)
    uniforms = np.empty(n_iter)

    def run():
        lib.crv_rng_standard_normal_fill(ctypes.byref(bitgen), n_iter * D, normals)
        lib.crv_rng_standard_uniform_fill(ctypes.byref(bitgen), n_iter, uniforms)

    return run


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iterations", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--markdown", action="store_true", help="print a Markdown table")
    args = parser.parse_args()

    lib = ffi.load("beliefplan")
    n = args.iterations
    cases = []
    for gen_name, make in (("PCG64", pcg64_bitgen), ("Philox", lambda: philox_bitgen(lib))):
        cases += [
            (gen_name, "sampling, fixed proposal", chain_runner(lib, make(), n, False, 0)),
            (gen_name, "burn-in, adapt every 100", chain_runner(lib, make(), n, True, 100)),
            (gen_name, "burn-in, adapt every iteration", chain_runner(lib, make(), n, True, 1)),
            (gen_name, "random numbers alone", rng_runner(lib, make(), n)),
        ]
    times = best_times([case[2] for case in cases], args.repeat)
    rows = [(gen_name, name, t / n * 1e9) for (gen_name, name, _), t in zip(cases, times)]

    if args.markdown:
        print(f"| bit generator | d = {D}, {n} iterations | ns per iteration |")
        print("|---|---|---|")
        for gen_name, name, ns in rows:
            print(f"| {gen_name} | {name} | {ns:.0f} |")
    else:
        print(f"d = {D}, {n} iterations, best of {args.repeat}; compiled no-op log-posterior")
        for gen_name, name, ns in rows:
            print(f"{gen_name:7s} {name:32s} {ns:8.1f} ns/iteration")


if __name__ == "__main__":
    main()
