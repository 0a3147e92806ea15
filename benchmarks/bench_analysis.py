"""Analysis kernels: theoretical moments through crv_dlyap, and kf_smoother against the filter.

Moments: a solved first-order model of 40 variables, v(t) = [hx; gx] x(t-1) +
R e(t) with nx of them states; the stationary covariance of the states from
crv_dlyap (the kernel called through ctypes on preallocated buffers), then
the variables' covariance [hx; gx] Sx [hx; gx]' + R S R', their standard
deviations and correlations in NumPy. Peer: the same with SciPy's
solve_discrete_lyapunov. Both agree to 1e-10 relative.

Smoother: n = 10 states, m = 3 observables, k = 3 shocks, T = 200 periods;
kf_smoother (forward filter with every path stored, then the backward pass,
with and without the smoothed covariances) against kf_hot_loop
(log-likelihood only and with paths) and kf_filter_missing; peer:
statsmodels' KalmanSmoother with its steady-state shortcut off and at its
defaults.

    pip install -r benchmarks/requirements.txt
    python benchmarks/bench_analysis.py [--repeat 100] [--markdown]
"""

import argparse
import ctypes
import os
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

from Corvane._ckernels import ffi  # noqa: E402
from Corvane._ckernels.ffi.solve import lapack_pointers  # noqa: E402

_dp = ctypes.POINTER(ctypes.c_double)


def timeit(fns, repeat, inner):
    """{name: best time per call} over `repeat` rounds of `inner` calls of
    each function, the functions taking turns within a round so that a
    disturbance on the machine reaches all of them alike."""
    best = dict.fromkeys(fns, float("inf"))
    for fn in fns.values():
        fn()
    for _ in range(repeat):
        for name, fn in fns.items():
            t0 = time.perf_counter()
            for _ in range(inner):
                fn()
            best[name] = min(best[name], (time.perf_counter() - t0) / inner)
    return best


# ---- moments ------------------------------------------------------------------

def solved_model(n, nx, k, seed=0):
    rng = np.random.default_rng(seed)
    hx = rng.standard_normal((nx, nx))
    hx *= 0.95 / np.max(np.abs(np.linalg.eigvals(hx)))
    gx = rng.standard_normal((n - nx, nx))
    R = rng.standard_normal((n, k))
    S = np.diag(rng.uniform(0.5, 2.0, k))
    return hx, gx, R, S


class Moments:
    """Covariance, standard deviations and correlations of the variables."""

    def __init__(self, hx, gx, R, S):
        self.lib = ffi.load("regression")
        self.lapack = ffi.crv_dlyap_lapack(lapack_pointers(("dgees",))["dgees"])
        nx = hx.shape[0]
        self.hx = np.ascontiguousarray(hx)
        self.C = np.vstack([hx, gx])
        self.Rx = R[:nx]
        self.RSR = R @ S @ R.T
        self.Qx = np.ascontiguousarray(self.Rx @ S @ self.Rx.T)
        doubles, slots = self.lib.crv_dlyap_arena_size(nx)
        self.dwork = np.empty(doubles)
        self.iwork = np.empty(slots, dtype=np.int64)
        self.Sx = np.empty((nx, nx))
        self.radius = np.empty(1)
        self.nx = nx
        self.fn = self.lib.crv_dlyap
        self.rec = ctypes.byref(self.lapack)

    def states(self):
        status = self.fn(self.rec, self.hx, self.Qx, self.Sx, self.radius, self.nx, 1e-6,
                         self.dwork, self.iwork)
        assert status == 0
        return self.Sx

    def __call__(self, states=None):
        Sx = self.states() if states is None else states()
        V = self.C @ Sx @ self.C.T + self.RSR
        std = np.sqrt(np.diag(V))
        return V, std, V / np.outer(std, std)


def scipy_moments(m):
    from scipy.linalg import solve_discrete_lyapunov

    return m(lambda: solve_discrete_lyapunov(m.hx, m.Qx))


# ---- smoother -------------------------------------------------------------------

def state_space(n, m, k, T, seed=0):
    rng = np.random.default_rng(seed)
    A = rng.standard_normal((n, n))
    A *= 0.95 / np.max(np.abs(np.linalg.eigvals(A)))
    B = rng.standard_normal((n, k))
    Z = rng.standard_normal((m, n))
    d = rng.standard_normal(m)
    S = np.eye(k)
    H = 0.5 * np.eye(m)
    x = np.zeros(n)
    data = np.empty((T, m))
    for t in range(T):
        x = A @ x + B @ rng.standard_normal(k)
        data[t] = Z @ x + d + np.sqrt(0.5) * rng.standard_normal(m)
    return dict(A=A, B=B, Z=Z, d=d, S=S, H=H, data=data, x0=np.zeros(n), P0=np.eye(n) * 10.0)


class Kernels:
    """The filter and smoother calls on preallocated records and buffers."""

    def __init__(self, model):
        lib = ffi.load("regression")
        self.model = M = {key: np.ascontiguousarray(val, dtype=float)
                          for key, val in model.items()}
        n, k = M["B"].shape
        T, m = M["data"].shape
        p = lambda a: None if a is None else a.ctypes.data_as(_dp)  # noqa: E731
        fields = [p(M[key]) for key in ("A", "B", "Z", "d", "S", "H", "data", "x0", "P0")]
        self.loglik_only = ffi.kf_inputs(n, m, k, T, *fields, 1, 0.0, 0, 0)
        self.paths = ffi.kf_inputs(n, m, k, T, *fields, 1, 0.0, 0, 1)
        shapes = dict(x_pred=(T, n), x_filt=(T, n), P_pred=(T, n, n), P_filt=(T, n, n),
                      y_pred=(T, m), y_filt=(T, m), innov=(T, m), std_innov=(T, m),
                      innov_cov=(T, m, m), shocks=(T, k), loglik=(1,))
        self.filt = {key: np.empty(shape) for key, shape in shapes.items()}
        self.filt_rec = ffi.kf_outputs(*[p(self.filt[key]) for key in ffi.KF_OUTPUT_FIELDS])
        sshapes = dict(x_smooth=(T, n), P_smooth=(T, n, n), shocks=(T, k), shocks_cov=(T, k, k),
                       meas_err=(T, m), meas_err_cov=(T, m, m))
        self.smooth = {key: np.empty(shape) for key, shape in sshapes.items()}
        self.smooth_rec = ffi.kf_smoother_outputs(
            *[p(self.smooth[key]) for key in ffi.KF_SMOOTHER_OUTPUT_FIELDS])
        self.means_rec = ffi.kf_smoother_outputs(
            *[p(self.smooth[key]) if "cov" not in key and key != "P_smooth" else None
              for key in ffi.KF_SMOOTHER_OUTPUT_FIELDS])
        self.kf_arena = np.empty(lib.kf_arena_size(n, m, k).doubles)
        self.missing_arena = np.empty(lib.kf_filter_missing_arena_size(n, m, k).doubles)
        self.smoother_arena = np.empty(lib.kf_smoother_arena_size(n, m, k, T).doubles)
        by = ctypes.byref
        self.calls = {
            "kf_hot_loop, loglik only": (lib.kf_hot_loop, (by(self.loglik_only), self.kf_arena,
                                                           by(self.filt_rec))),
            "kf_hot_loop, paths": (lib.kf_hot_loop, (by(self.paths), self.kf_arena,
                                                     by(self.filt_rec))),
            "kf_filter_missing, paths": (lib.kf_filter_missing, (by(self.paths),
                                                                 self.missing_arena,
                                                                 by(self.filt_rec))),
            "kf_smoother": (lib.kf_smoother, (by(self.paths), self.smoother_arena,
                                              by(self.filt_rec), by(self.smooth_rec))),
            "kf_smoother, means only": (lib.kf_smoother, (by(self.paths), self.smoother_arena,
                                                          by(self.filt_rec),
                                                          by(self.means_rec))),
        }

    def run(self, name):
        fn, args = self.calls[name]
        assert fn(*args) == 0


def statsmodels_smoother(model, full_recursion):
    from statsmodels.tsa.statespace.kalman_smoother import KalmanSmoother

    n, k = model["B"].shape
    T, m = model["data"].shape
    ks = KalmanSmoother(k_endog=m, k_states=n, k_posdef=k)
    ks.bind(np.array(model["data"]))
    ks["design"], ks["obs_intercept"], ks["obs_cov"] = model["Z"], model["d"][:, None], model["H"]
    ks["transition"], ks["selection"], ks["state_cov"] = model["A"], model["B"], model["S"]
    ks.initialize_known(model["x0"], model["P0"])
    if full_recursion:
        ks.tolerance = 0.0
    return ks


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=100)
    parser.add_argument("--markdown", action="store_true", help="print Markdown tables")
    args = parser.parse_args()

    n_vars, k = 40, 8
    moment_rows = []
    for nx in (10, 20, 40):
        m = Moments(*solved_model(n_vars, nx, k))
        V, _, _ = m()
        V_ref, _, _ = scipy_moments(m)
        assert np.linalg.norm(V - V_ref) <= 1e-10 * np.linalg.norm(V_ref)
        t = timeit({"lyap": m.states, "ours": m, "scipy": lambda m=m: scipy_moments(m)},
                   args.repeat, 5)
        moment_rows.append((nx, t["lyap"], t["ours"], t["scipy"]))

    model = state_space(10, 3, 3, 200)
    kernels = Kernels(model)
    kernels.run("kf_smoother")
    sm_full = statsmodels_smoother(model, True)
    res = sm_full.smooth()
    assert np.allclose(kernels.smooth["x_smooth"], res.smoothed_state.T, rtol=1e-8, atol=1e-10)
    times = timeit({name: lambda name=name: kernels.run(name) for name in kernels.calls},
                   args.repeat, 3)
    sm_default = statsmodels_smoother(model, False)
    times.update(timeit({"statsmodels smooth, full recursion": sm_full.smooth,
                         "statsmodels smooth, defaults": sm_default.smooth}, args.repeat, 2))
    base = times["kf_hot_loop, loglik only"]
    paths = times["kf_hot_loop, paths"]

    if args.markdown:
        print(f"| states (of {n_vars} variables) | crv_dlyap (us) | moments (us) "
              f"| moments with SciPy (us) | speed-up |")
        print("|---|---|---|---|---|")
        for nx, t_lyap, t_ours, t_scipy in moment_rows:
            print(f"| {nx} | {t_lyap * 1e6:.0f} | {t_ours * 1e6:.0f} | {t_scipy * 1e6:.0f} "
                  f"| {t_scipy / t_ours:.1f}x |")
        print()
        print("| n = 10, m = 3, T = 200 | time (us) | vs kf_hot_loop loglik | "
              "vs kf_hot_loop paths |")
        print("|---|---|---|---|")
        for name, t in times.items():
            print(f"| {name} | {t * 1e6:.0f} | {t / base:.2f}x | {t / paths:.2f}x |")
    else:
        print(f"moments of {n_vars} variables, {k} shocks")
        for nx, t_lyap, t_ours, t_scipy in moment_rows:
            print(f"  nx={nx:3d}: crv_dlyap {t_lyap * 1e6:8.1f} us | moments {t_ours * 1e6:8.1f} us"
                  f" | with SciPy {t_scipy * 1e6:8.1f} us (x{t_scipy / t_ours:.1f})")
        print("smoother, n=10 m=3 k=3 T=200")
        for name, t in times.items():
            print(f"  {name:38s} {t * 1e6:9.1f} us | x{t / base:5.2f} of the log-likelihood "
                  f"filter | x{t / paths:5.2f} of the filter with paths")


if __name__ == "__main__":
    main()
