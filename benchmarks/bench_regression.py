"""Regression fits: the _regression functions against scikit-learn and NumPy,
and OLS fits per second through crv_mc_run.

- lasso_fit / elastic_net_fit on n = 500, p = 20 against scikit-learn's Lasso
  / ElasticNet (with and without a precomputed Gram) at the same nominal
  tolerance; the coefficients are checked to agree before timing.
- ols_fit (coefficients and standard errors) against numpy.linalg.lstsq plus
  the standard-error computation, on the same data.
- A Monte Carlo experiment of 10,000 OLS fits (n = 200, p = 5, fixed
  regressors, a fresh y per replication) through crv_mc_run with the
  crv_mc_ols_runner, on 1 and 2 threads.

    pip install -r benchmarks/requirements.txt
    python benchmarks/bench_regression.py [--repeat 15] [--markdown]
"""

import argparse
import ctypes
import os
import time
import warnings

# Single-threaded BLAS for the peers (and no idle BLAS threads spinning on the
# second core while crv_mc_run uses it).
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_WAIT_POLICY", "passive")

import numpy as np  # noqa: E402
from sklearn.exceptions import ConvergenceWarning  # noqa: E402
from sklearn.linear_model import ElasticNet, Lasso  # noqa: E402

from Corvane._ckernels import ffi  # noqa: E402
from Corvane._ckernels.ffi import mc, regression  # noqa: E402
from Corvane._ckernels.monte_carlo import _regression as reg  # noqa: E402

_dp = ctypes.POINTER(ctypes.c_double)
_ip = ctypes.POINTER(ctypes.c_int64)


def timeit(fn, repeat, inner):
    """Best time per call over `repeat` batches of `inner` calls."""
    fn()
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(inner):
            fn()
        best = min(best, (time.perf_counter() - t0) / inner)
    return best


def make_data(n, k, seed=0):
    rng = np.random.default_rng(seed)
    Z = rng.standard_normal((n, k))
    Z[:, 1] = 0.7 * Z[:, 0] + 0.7 * Z[:, 1]
    beta = np.where(rng.random(k) < 0.5, 0.0, rng.standard_normal(k))
    y = Z @ beta + 0.5 * rng.standard_normal(n) + 1.0
    return Z, y


# ---- lasso and elastic net ------------------------------------------------------

def sparse_case(kind, Z, y, alpha, l1_ratio, tol, repeat):
    n, k = Z.shape
    p = k + 1
    bufs = dict(G_base=np.empty(p * p), G=np.empty(p * p), g=np.empty(p), Gcoef=np.empty(p))
    coef = np.empty(p)
    max_iter = 100000
    if kind == "lasso":
        ours = lambda: reg.lasso_fit(Z, y, coef, alpha, max_iter, tol, **bufs)  # noqa: E731
        make_peer = lambda pre: Lasso(alpha=alpha, tol=tol, max_iter=max_iter,  # noqa: E731
                                      precompute=pre)
    else:
        ours = lambda: reg.elastic_net_fit(Z, y, coef, alpha, l1_ratio, max_iter, tol,  # noqa
                                           **bufs)
        make_peer = lambda pre: ElasticNet(alpha=alpha, l1_ratio=l1_ratio, tol=tol,  # noqa
                                           max_iter=max_iter, precompute=pre)
    assert ours()[2] == 0
    rows = []
    for pre in (True, False):
        peer = make_peer(pre)
        fit_peer = lambda: peer.fit(Z, y)  # noqa: E731
        fit_peer()
        diff = np.max(np.abs(np.r_[peer.intercept_, peer.coef_] - coef))
        assert diff < 1e-6, (kind, pre, diff)
        t_ours = timeit(ours, repeat, 200)
        t_peer = timeit(fit_peer, repeat, 20)
        rows.append((kind, "precomputed Gram" if pre else "plain", t_ours, t_peer, diff))
    return rows


# ---- OLS ------------------------------------------------------------------------

def ols_case(Z, y, repeat):
    n, k = Z.shape
    p = k + 1
    coef, se = np.empty(p), np.empty(p)
    bufs = dict(L=np.empty(p * p), G=np.empty(p * p), g=np.empty(p), work=np.empty(p))
    ours = lambda: reg.ols_fit(Z, y, coef, se, **bufs)  # noqa: E731

    def peer():
        X = np.column_stack((np.ones(n), Z))
        b, rss, _, _ = np.linalg.lstsq(X, y, rcond=None)
        res = y - X @ b
        sigma2 = (res @ res) / (n - p)
        return b, np.sqrt(sigma2 * np.diag(np.linalg.inv(X.T @ X)))

    assert ours()[2] == 0
    b, s = peer()
    diff = max(np.max(np.abs(b - coef)), np.max(np.abs(s - se)))
    assert diff < 1e-9, diff
    return timeit(ours, repeat, 500), timeit(peer, repeat, 100), diff


# ---- Monte Carlo ----------------------------------------------------------------

class OlsExperiment:
    """n_reps OLS fits through crv_mc_run: X (n x p, intercept first) shared by
    every replication, y from row r of a table."""

    def __init__(self, lib, n_reps, n, k, n_threads, seed=1):
        rng = np.random.default_rng(seed)
        self.lib = lib
        p = k + 1
        self.X = np.column_stack((np.ones(n), rng.standard_normal((n, k)))).ravel()
        beta = rng.standard_normal(p)
        self.Y = np.ascontiguousarray(
            (self.X.reshape(n, p) @ beta)[None, :] + rng.standard_normal((n_reps, n)))
        self.ctx = regression.crv_mc_ols_ctx(n, p)
        in_words = lib.crv_mc_ols_work_arena_size(n, p).doubles
        self.xcols = np.arange(n * p, dtype=np.int64)
        self.ycols = np.arange(n, dtype=np.int64)
        dp = lambda a: a.ctypes.data_as(_dp)  # noqa: E731
        ip = lambda a: a.ctypes.data_as(_ip)  # noqa: E731
        self.bindings = (mc.crv_mc_binding * 2)(
            mc.crv_mc_binding(-2, 0, n * p, 0, 1, ip(self.xcols), n * p, 0, n * p, 0.0,
                              dp(self.X), 0, 0),
            mc.crv_mc_binding(-2, 0, n, 0, 1, ip(self.ycols), n, n * p, n, 0.0, dp(self.Y), n,
                              1))
        self.input = np.empty(n_threads * in_words)
        self.out = np.empty(n_threads * (p + 2))
        self.iout = np.empty(n_threads, dtype=np.int64)
        self.results = np.empty((n_reps, p + 2))
        self.iresults = np.empty((n_reps, 1), dtype=np.int64)
        self.row_map = np.arange(n_reps, dtype=np.int64)
        runner = ctypes.cast(lib.crv_mc_ols_runner, mc.crv_mc_runner)
        self.stages = (mc.crv_mc_stage * 1)(mc.crv_mc_stage(
            runner, dp(self.input), None, dp(self.out), ip(self.iout), dp(self.results),
            ip(self.iresults), ip(self.row_map), in_words, 0, p + 2, 1, p + 2, 1,
            ctypes.cast(ctypes.pointer(self.ctx), ctypes.c_void_p), self.bindings, 2))
        self.failed = np.empty(n_reps, dtype=np.int64)
        self.status = np.empty(n_reps, dtype=np.int64)
        self.job = mc.crv_mc_job(self.stages, 1, n_reps, n_threads, 0, 0, 0, 0, 0,
                                 ip(self.failed), ip(self.status), 0, None, None, None)
        self.n, self.p = n, p

    def __call__(self):
        assert self.lib.crv_mc_run(ctypes.byref(self.job)) == 0

    def check(self):
        assert np.all(self.failed == -1)
        X = self.X.reshape(self.n, self.p)
        coef = np.linalg.lstsq(X, self.Y[:50].T, rcond=None)[0].T
        assert np.allclose(self.results[:50, : self.p], coef, rtol=1e-9, atol=1e-12)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--markdown", action="store_true", help="print Markdown tables")
    args = parser.parse_args()
    warnings.simplefilter("ignore", ConvergenceWarning)

    Z, y = make_data(500, 20)
    tol = 1e-8
    sparse = sparse_case("lasso", Z, y, 0.02, 1.0, tol, args.repeat)
    sparse += sparse_case("elastic_net", Z, y, 0.03, 0.5, tol, args.repeat)
    t_ols, t_np, ols_diff = ols_case(Z, y, args.repeat)

    lib = ffi.load("regression")
    mc_rows = []
    for threads in (1, 2):
        exp = OlsExperiment(lib, 10000, 200, 4, threads)
        t = timeit(exp, max(3, args.repeat // 3), 1)
        exp.check()
        mc_rows.append((threads, t, 10000 / t))

    if args.markdown:
        print(f"n = 500, p = 20 (intercept included: 21 coefficients), tol = {tol:g}, "
              "best of the repeats.\n")
        print("| fit | scikit-learn peer | Corvane (us) | peer (us) | speed-up | max coef diff |")
        print("|---|---|---|---|---|---|")
        for kind, peer, t1, t2, d in sparse:
            print(f"| `{kind}_fit` | {'Lasso' if kind == 'lasso' else 'ElasticNet'} ({peer}) "
                  f"| {t1 * 1e6:.1f} | {t2 * 1e6:.1f} | {t2 / t1:.1f}x | {d:.1e} |")
        print(f"| `ols_fit` + standard errors | numpy.linalg.lstsq + standard errors "
              f"| {t_ols * 1e6:.1f} | {t_np * 1e6:.1f} | {t_np / t_ols:.1f}x | {ols_diff:.1e} |")
        print("\n10,000 OLS fits (n = 200, p = 5) through `crv_mc_run` with "
              "`crv_mc_ols_runner`:\n")
        print("| threads | wall time (ms) | fits per second | vs 1 thread |")
        print("|---|---|---|---|")
        for threads, t, rate in mc_rows:
            print(f"| {threads} | {t * 1e3:.1f} | {rate:,.0f} | {mc_rows[0][1] / t:.2f}x |")
    else:
        for kind, peer, t1, t2, d in sparse:
            print(f"{kind}_fit {t1 * 1e6:8.1f} us | sklearn ({peer}) {t2 * 1e6:8.1f} us "
                  f"| x{t2 / t1:5.1f} | max coef diff {d:.1e}")
        print(f"ols_fit {t_ols * 1e6:8.1f} us | lstsq + se {t_np * 1e6:8.1f} us "
              f"| x{t_np / t_ols:5.1f} | max diff {ols_diff:.1e}")
        for threads, t, rate in mc_rows:
            print(f"crv_mc_run, {threads} thread(s): {t * 1e3:7.1f} ms for 10,000 OLS fits "
                  f"= {rate:,.0f} fits/s")


if __name__ == "__main__":
    main()
