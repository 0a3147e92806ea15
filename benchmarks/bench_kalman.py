"""Log-likelihood-only linear Kalman filter: kf_hot_loop against NumPy and statsmodels.

Runs each implementation on the same model and data (m = 3 observables,
k = 3 shocks, T = 200 periods) for n = 4, 10, 30 states and prints the median
best time per call, the ratios and the achieved GFLOP/s of kf_hot_loop from an
explicit flop count of the recursion.

    pip install -r benchmarks/requirements.txt
    python benchmarks/bench_kalman.py [--repeat 30] [--markdown]
"""

import argparse
import ctypes
import os
import time

# Single-threaded BLAS for the peers: the filter runs on one core, and idle
# BLAS threads spinning on the other core would disturb every measurement.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

from Corvane._ckernels import ffi  # noqa: E402

LOG2PI = np.log(2 * np.pi)


def make_model(n, m, k, T, seed=0):
    rng = np.random.default_rng(seed)
    A = rng.standard_normal((n, n))
    A *= 0.95 / np.max(np.abs(np.linalg.eigvals(A)))
    B = rng.standard_normal((n, k))
    Z = rng.standard_normal((m, n))
    d = rng.standard_normal(m)
    S = np.eye(k)
    H = 0.5 * np.eye(m)
    # Data simulated from the model itself.
    x = np.zeros(n)
    data = np.empty((T, m))
    for t in range(T):
        data[t] = Z @ x + d + rng.multivariate_normal(np.zeros(m), H)
        x = A @ x + B @ rng.standard_normal(k)
    x0 = np.zeros(n)
    P0 = np.eye(n) * 10.0
    return dict(A=A, B=B, Z=Z, d=d, S=S, H=H, data=data, x0=x0, P0=P0)


def flops_per_period(n, m):
    """Floating-point operations of one period of the recursion as kf_hot_loop runs it."""
    return (
        2 * m * n + m  # predicted observation, innovation
        + 2 * m * n * n + 2 * m * m * n + m * m  # Z P, F = (Z P) Z' + H
        + m**3 // 3 + m * m + m  # Cholesky
        + 2 * m * m  # w, u
        + 2 * n * n * m  # P Z'
        + 2 * n * m * m  # gain rows
        + 2 * n * m  # filtered state
        + 2 * n * n * m + n * n + 4 * n**3 + 2 * n * m * m + 2 * n * n * m  # Joseph form
        + 2 * n * n + 4 * n**3 + n * n  # prediction
        + 3 * m + 4  # log-determinant, quadratic form, accumulation
    )


class Corvane:
    def __init__(self, model):
        self.lib = ffi.load("regression")
        self.model = {key: np.ascontiguousarray(val, dtype=float) for key, val in model.items()}
        M = self.model
        n, k = M["B"].shape
        T, m = M["data"].shape
        self.arena = np.empty(self.lib.kf_arena_size(n, m, k).doubles)
        self.loglik = np.zeros(1)
        p = lambda a: a.ctypes.data_as(ctypes.POINTER(ctypes.c_double))  # noqa: E731
        self.inputs = ffi.kf_inputs(n, m, k, T, p(M["A"]), p(M["B"]), p(M["Z"]), p(M["d"]),
                                    p(M["S"]), p(M["H"]), p(M["data"]), p(M["x0"]), p(M["P0"]),
                                    1, 0.0, 0, 0)
        self.outputs = ffi.kf_outputs(*([None] * 10 + [p(self.loglik)]))
        self.args = (ctypes.byref(self.inputs), self.arena, ctypes.byref(self.outputs))
        self.fn = self.lib.kf_hot_loop

    def __call__(self):
        status = self.fn(*self.args)
        assert status == 0
        return self.loglik[0]


def numpy_loglik(A, B, Z, d, S, H, data, x0, P0):
    """The same recursion (Joseph form, Cholesky of F, triangular solves) in NumPy."""
    from scipy.linalg import solve_triangular

    m = Z.shape[0]
    n = A.shape[0]
    Q = B @ S @ B.T
    Q = 0.5 * (Q + Q.T)
    x, P = x0.copy(), 0.5 * (P0 + P0.T)
    eye = np.eye(n)
    ll = 0.0
    for y in data:
        v = y - (Z @ x + d)
        F = Z @ P @ Z.T + H
        F = 0.5 * (F + F.T)
        L = np.linalg.cholesky(F)
        w = solve_triangular(L, v, lower=True)
        PZt = P @ Z.T
        K = solve_triangular(L, solve_triangular(L, PZt.T, lower=True), lower=True, trans="T").T
        x = x + K @ v
        IKZ = eye - K @ Z
        P = IKZ @ P @ IKZ.T + K @ H @ K.T
        P = 0.5 * (P + P.T)
        ll -= 0.5 * (2 * np.log(np.diag(L)).sum() + m * LOG2PI + w @ w)
        x = A @ x
        P = A @ P @ A.T + Q
        P = 0.5 * (P + P.T)
    return ll


def statsmodels_model(model, full_recursion):
    import statsmodels.api as sm

    A, B, Z = model["A"], model["B"], model["Z"]
    n, k = B.shape
    mod = sm.tsa.statespace.MLEModel(model["data"], k_states=n, k_posdef=k)
    mod["design"] = Z
    mod["obs_intercept"] = model["d"][:, None]
    mod["obs_cov"] = model["H"]
    mod["transition"] = A
    mod["selection"] = B
    mod["state_cov"] = model["S"]
    mod.ssm.initialize_known(model["x0"], model["P0"])
    if full_recursion:
        mod.ssm.tolerance = 0.0  # never declare the covariance converged
    return mod


def timeit(fn, repeat, inner):
    """Best best time per call over `repeat` batches of `inner` calls (least disturbed)."""
    fn()
    samples = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(inner):
            fn()
        samples.append((time.perf_counter() - t0) / inner)
    return min(samples)


def cpu_ghz():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("cpu MHz"):
                    return float(line.split(":")[1]) / 1000.0
    except OSError:
        pass
    return float("nan")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=21)
    parser.add_argument("--markdown", action="store_true", help="print a Markdown table")
    args = parser.parse_args()

    m, k, T = 3, 3, 200
    ghz = cpu_ghz()
    peak = 16.0 * ghz  # two 4-wide FMA units per core: 16 flop/cycle
    rows = []
    for n in (4, 10, 30):
        model = make_model(n, m, k, T)
        ours = Corvane(model)
        ll = ours()
        sm_full = statsmodels_model(model, full_recursion=True)
        sm_default = statsmodels_model(model, full_recursion=False)
        checks = {
            "numpy": numpy_loglik(**model),
            "statsmodels full": sm_full.loglike([]),
            "statsmodels default": sm_default.loglike([]),
        }
        for name, val in checks.items():
            assert abs(val - ll) <= 1e-8 * abs(ll), (name, val, ll)
        t_ours = timeit(ours, args.repeat, max(1, 2000 // n**2))
        t_np = timeit(lambda: numpy_loglik(**model), max(3, args.repeat // 4), 1)
        t_smf = timeit(lambda: sm_full.loglike([]), args.repeat, 5)
        t_smd = timeit(lambda: sm_default.loglike([]), args.repeat, 5)
        gflops = flops_per_period(n, m) * T / t_ours / 1e9
        rows.append((n, t_ours, t_smf / t_ours, t_smd / t_ours, t_np / t_ours, gflops,
                     gflops / peak))

    if args.markdown:
        print(f"| n | kf_hot_loop (us) | vs statsmodels full | vs statsmodels default "
              f"| vs NumPy | GFLOP/s | share of FMA peak ({peak:.1f} GFLOP/s) |")
        print("|---|---|---|---|---|---|---|")
        for n, t, r1, r2, r3, gf, share in rows:
            print(f"| {n} | {t * 1e6:.1f} | {r1:.1f}x | {r2:.1f}x | {r3:.1f}x | {gf:.2f} "
                  f"| {100 * share:.0f}% |")
    else:
        print(f"m={m} k={k} T={T}; core clock {ghz:.2f} GHz, FMA peak {peak:.1f} GFLOP/s")
        for n, t, r1, r2, r3, gf, share in rows:
            print(f"n={n:3d}: kf_hot_loop {t * 1e6:9.1f} us | statsmodels full x{r1:6.1f} "
                  f"| statsmodels default x{r2:6.1f} | NumPy x{r3:7.1f} | {gf:6.2f} GFLOP/s "
                  f"({100 * share:.0f}% of peak)")


if __name__ == "__main__":
    main()
