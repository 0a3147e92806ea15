"""Monte Carlo demo: draw shocks, simulate the RBC model, filter it, on all cores.

Each replication draws its own keyed Philox shocks, simulates the first-order
solution of the compiled RBC example model for T periods and runs the Kalman
filter over log output and log consumption observed with measurement error;
the experiment reports replications per second and the distribution of the
log-likelihood across replications.

    python examples/demo_monte_carlo.py [n_reps]
    >>> from demo_monte_carlo import run; run(1000)   # with examples/ on sys.path
"""

import ctypes
import os
import sys
import threading
import time

import numpy as np

from Corvane._bridge.examples import example_model
from Corvane._ckernels import ffi
from Corvane._bridge import mcjob

NEVER = np.iinfo(np.int64).min


def model(measurement_sd=0.002):
    """The RBC example's first-order solution x(t) = A x(t-1) + R e(t) in
    deviations from the steady state, with e the productivity innovation
    (standard deviation sigma_e folded into R), the loadings Z of log output
    and log consumption (the observation Jacobian at the steady state) and the
    measurement-error covariance H."""
    from demo_solve import rbc_model

    rbc = example_model("rbc")   # the observation callbacks
    sol = rbc_model().solve().first
    sigma_e = rbc.params[-1]
    Z = np.zeros((rbc.n_obs, rbc.n))
    jac = ffi.filters.OBS_FN(rbc.obs_jac)
    dp = ctypes.POINTER(ctypes.c_double)
    jac(sol.ss.ctypes.data_as(dp), rbc.params.ctypes.data_as(dp), Z.ctypes.data_as(dp))
    H = measurement_sd**2 * np.eye(rbc.n_obs)
    return sol.transition, sigma_e * sol.impact, Z, H


def build_job(lib, n_reps, n_threads, T):
    A, R, Z, H = model()
    n, m = A.shape[0], R.shape[1]
    k = Z.shape[0]
    # Simulate the states together with the observables y(t) = Z x(t) + u(t),
    # u ~ N(0, H): the stacked vector (x, y) follows a first-order law with
    # shocks (e, u), so one simulation produces the filter's data.
    A_stack = np.block([[A, np.zeros((n, k))], [Z @ A, np.zeros((k, k))]])
    R_stack = np.block([[R, np.zeros((n, k))], [Z @ R, np.eye(k)]])
    shocks = (mcjob.ShockSpec(T, m + k)
              .normal(np.arange(m), np.eye(m), key=(2026, 1208))           # e
              .normal(m + np.arange(k), np.linalg.cholesky(H), key=(7, 7)))  # u
    simulate = mcjob.simulate_order1_stage(
        lib, T=T, n=n + k, m=m + k, shocks=shocks,
        arrays=dict(A=A_stack, R=R_stack, mu=np.zeros(n + k), s0=np.zeros(n + k)))
    # The paths start at x(-1) = 0, so x(0) = R e(0): the filter's prediction
    # for period 0 is 0 with covariance R R'.
    P0 = R @ R.T
    filt = mcjob.filter_linear_stage(
        lib, T=T, n=n, m=k, k=m,
        arrays=dict(A=A, B=R, Z=Z, d=np.zeros(k), S=np.eye(m), H=H, x0=np.zeros(n), P0=P0))
    filt.bind(mcjob.Binding(0, filt.input_layout["data"][0], T, n + np.arange(k),
                            src_row_len=n + k))
    keep = np.arange(n_reps, dtype=np.int64)
    skip = np.full(n_reps, -1, dtype=np.int64)  # simulated paths are not kept
    return mcjob.Job([simulate, filt], n_reps, n_threads, row_maps=[skip, keep])


def _progress(job, done_event, every=1.0):
    """Prints the share of finished replications while the job runs. It only
    reads the per-replication status words the workers fill in."""
    start = time.perf_counter()
    while not done_event.wait(every):
        finished = int(np.count_nonzero(job.failed_stage != NEVER))
        print(f"  {finished:>7} / {job.n_reps} replications, "
              f"{time.perf_counter() - start:5.1f} s", flush=True)


def run(n_reps=1000, n_threads=None, T=200, quiet=False):
    """Runs the experiment; returns the log-likelihoods and the rate."""
    lib = ffi.load("regression")
    n_threads = n_threads or os.cpu_count() or 1
    job = build_job(lib, n_reps, n_threads, T)
    job.failed_stage[:] = NEVER
    done = threading.Event()
    ticker = threading.Thread(target=_progress, args=(job, done), daemon=True)
    if not quiet:
        print(f"Monte Carlo: {n_reps} replications of T = {T} on {n_threads} threads")
        ticker.start()
    start = time.perf_counter()
    status = job.run(lib)
    elapsed = time.perf_counter() - start
    done.set()
    if status < 0:
        raise RuntimeError(f"crv_mc_run rejected the job ({status})")
    ok = job.failed_stage == -1
    loglik = job.stages[-1].output()["loglik"][ok]
    rate = n_reps / elapsed
    if not quiet:
        if ticker.is_alive():
            ticker.join()
        q05, q95 = np.quantile(loglik, [0.05, 0.95])
        print(f"  {rate:,.0f} replications per second ({elapsed:.2f} s)")
        print(f"  log-likelihood over {ok.sum()} replications: mean {loglik.mean():.2f}, "
              f"5% {q05:.2f}, 95% {q95:.2f}")
        if not ok.all():
            print(f"  {np.count_nonzero(~ok)} replications failed")
    return dict(loglik=loglik, reps_per_second=rate, failed=int(np.count_nonzero(~ok)))


if __name__ == "__main__":
    run(int(sys.argv[1]) if len(sys.argv) > 1 else 1000)
