"""Monte Carlo demo: draw shocks, simulate the RBC model, filter it, on all cores.

Each replication draws its own keyed shocks, simulates the first-order
solution of `models/rbc.mod` for T periods from the steady state, with output
and consumption observed with measurement errors (standard deviation 0.2% of
their steady states), and runs the Kalman filter over them; the experiment reports replications per second and the
distribution of the log-likelihood across replications. The whole
experiment is one compiled job stated with `Corvane.experiments.Experiment`.

    python examples/demo_monte_carlo.py [n_reps]
    >>> from demo_monte_carlo import run; run(1000)   # with examples/ on sys.path
"""

import os
import sys
import time
from pathlib import Path

import numpy as np

import Corvane
from Corvane.experiments import Experiment

MODEL = Path(__file__).resolve().parent / "models" / "rbc.mod"
OBSERVED = ("y", "c")


def solution():
    """The RBC model's first-order solution."""
    return Corvane.Model.from_mod(MODEL).solve()


def measurement_sd(sol, relative=0.002):
    """Standard deviations of the measurement errors: a share of the
    observed variables' steady states."""
    return {v: relative * float(sol.steady_state[v]) for v in OBSERVED}


def model(sol=None):
    """The filter's state space x(t) = A x(t-1) + R e(t) in deviations from
    the steady state (the shock's standard deviation folded into R), the
    loadings Z of the observed variables and the measurement-error
    covariance H."""
    sol = solution() if sol is None else sol
    A = np.asarray(sol.first.transition)
    R = np.asarray(sol.first.impact) @ np.linalg.cholesky(sol.shock_cov_matrix)
    rows = [sol.rows[list(sol.variables).index(v)] for v in OBSERVED]
    Z = np.eye(A.shape[0])[rows]
    H = np.diag([sd**2 for sd in measurement_sd(sol).values()])
    return A, R, Z, H


def experiment(n_reps, n_threads, T, sol=None):
    """Simulate from the steady state (no burn-in) with measurement errors
    on the observed variables, and filter them with the true model: the
    log-likelihood of each replication."""
    sol = solution() if sol is None else sol
    exp = Experiment(n_reps, periods=T, seed=2026, threads=n_threads)
    exp.simulate(sol, variables=list(OBSERVED), measurement_error=measurement_sd(sol))
    return exp.loglik()


def run(n_reps=1000, n_threads=None, T=200, quiet=False):
    """Runs the experiment; returns the log-likelihoods and the rate."""
    n_threads = n_threads or os.cpu_count() or 1
    exp = experiment(n_reps, n_threads, T)
    if not quiet:
        print(f"Monte Carlo: {n_reps} replications of T = {T} on {n_threads} threads")
    start = time.perf_counter()
    res = exp.run(progress=not quiet and _has_tqdm())
    elapsed = time.perf_counter() - start
    loglik = res.statistics["loglik"].dropna().to_numpy()
    failed = len(res.failures)
    rate = n_reps / elapsed
    if not quiet:
        q05, q95 = np.quantile(loglik, [0.05, 0.95])
        print(f"  {rate:,.0f} replications per second ({elapsed:.2f} s)")
        print(f"  log-likelihood over {len(loglik)} replications: mean {loglik.mean():.2f}, "
              f"5% {q05:.2f}, 95% {q95:.2f}")
        if failed:
            print(f"  {failed} replications failed")
    return dict(loglik=loglik, reps_per_second=rate, failed=failed, results=res)


def _has_tqdm():
    try:
        import tqdm  # noqa: F401
    except ImportError:
        return False
    return True


if __name__ == "__main__":
    run(int(sys.argv[1]) if len(sys.argv) > 1 else 1000)
