"""Simulate the RBC example model and filter the simulated data.

Solves `examples/models/rbc.mod` to second order, simulates it to first
order and to pruned second order on the same shocks, observes output and
consumption (in levels and in logs) with measurement error, and filters the
second-order data with the linear, extended and unscented Kalman filters.
Prints the three log-likelihoods and the simulated moments; with matplotlib
installed it also saves a PNG of the simulated and filtered paths.

    python examples/demo_simulate_filter.py
"""

import ctypes
from pathlib import Path

import numpy as np
from scipy.linalg import solve_discrete_lyapunov

from Corvane._bridge.examples import example_model
from Corvane._ckernels import ffi

from demo_solve import rbc_model

_dp = ctypes.POINTER(ctypes.c_double)
OBS_FN = ffi.filters.OBS_FN
SD_MEAS = (0.002, 0.002)  # measurement error, in logs (scaled by the steady state in levels)


def _ptr(a):
    return None if a is None else a.ctypes.data_as(_dp)


def simulate(lib, first, second, shocks):
    """First-order and pruned second-order paths (levels, T x n) for the shocks,
    from the solution's raw blocks (`Solution.first`, `Solution.second`)."""
    T, m = shocks.shape
    nx, ny = first.hx.shape[0], first.gx.shape[0]
    n = nx + ny
    path1 = np.empty((T, n))
    arena = np.empty(lib.crv_simulate_linear_states_arena_size(n).doubles)
    lib.crv_simulate_linear_states(first.transition, first.impact, np.zeros(n), shocks,
                                   first.ss, path1, arena, T, n, m)
    path2 = np.empty((T, n))
    arena = np.empty(lib.crv_simulate_second_order_pruned_arena_size(nx, m).doubles)
    lib.crv_simulate_second_order_pruned(first.hx, first.gx, first.impact, second.h_xx,
                                         second.g_xx, second.h_xe, second.g_xe, second.h_ee,
                                         second.g_ee, second.h_ss, second.g_ss, np.zeros(nx),
                                         shocks, first.ss, path2, arena, T, nx, ny, m)
    return path1, path2


def observe(address, X, params, k):
    """Apply a compiled observation callback to every row of X."""
    fn = OBS_FN(address)
    X = np.ascontiguousarray(np.atleast_2d(X))
    out = np.empty((X.shape[0], k))
    for t in range(X.shape[0]):
        fn(_ptr(X[t]), _ptr(params), _ptr(out[t]))
    return out


def in_levels(address, ss):
    """A callback that adds the steady state to the filter's deviation state
    before calling the compiled observation callback at `address` (the
    extended filter works in deviations, the example models observe levels)."""
    fn = OBS_FN(address)
    levels = np.empty_like(ss)
    levels_ptr = _ptr(levels)

    def call(x, params, out):
        np.add(ss, np.ctypeslib.as_array(x, ss.shape), out=levels)
        fn(levels_ptr, params, out)

    return OBS_FN(call)


def kf_outputs(T, n, k):
    paths = {"x_pred": (T, n), "x_filt": (T, n), "P_pred": (T, n, n), "P_filt": (T, n, n),
             "y_pred": (T, k), "y_filt": (T, k), "innov": (T, k), "std_innov": (T, k),
             "innov_cov": (T, k, k), "shocks": None, "loglik": (1,)}
    arrays = {name: None if shape is None else np.zeros(shape) for name, shape in paths.items()}
    return arrays, ffi.kf_outputs(*[_ptr(arrays[name]) for name in ffi.KF_OUTPUT_FIELDS])


def linear_filter(lib, first, Z, d, S, H, data, P0):
    """kf_hot_loop on the first-order solution with observation d + Z x."""
    T, k = data.shape
    n, m = first.impact.shape
    x0 = np.zeros(n)
    arrays = (first.transition, first.impact, Z, d, S, H, data, x0, P0)
    inputs = ffi.kf_inputs(n, k, m, T, *[_ptr(a) for a in arrays], 1, 0.0, 0, 1)
    paths, outputs = kf_outputs(T, n, k)
    arena = np.empty(lib.kf_arena_size(n, k, m).doubles)
    status = lib.kf_hot_loop(ctypes.byref(inputs), arena, ctypes.byref(outputs))
    if status != 0:
        raise RuntimeError(f"kf_hot_loop failed with status {status}")
    return paths["loglik"][0], paths


def extended_filter(lib, first, obs_fn, obs_jac, params, S, H, data, P0):
    """ekf_hot_loop with the observation callbacks (already in deviations)."""
    T, k = data.shape
    n, m = first.impact.shape
    x0 = np.zeros(n)
    inputs = ffi.filters.ekf_inputs(
        obs_fn, obs_jac, _ptr(first.transition), _ptr(first.impact), _ptr(params), _ptr(S),
        _ptr(H), _ptr(data), _ptr(x0), _ptr(P0), T, n, k, m, len(params), 0.0, 1, 1, 0, 1)
    paths, outputs = kf_outputs(T, n, k)
    arena = np.empty(lib.ekf_arena_size(n, k, m).doubles)
    status = lib.ekf_hot_loop(ctypes.byref(inputs), arena, ctypes.byref(outputs))
    if status != 0:
        raise RuntimeError(f"ekf_hot_loop failed with status {status}")
    return paths["loglik"][0], paths


def unscented_filter(lib, first, second, obs_address, params, S, H, data, P0,
                     ukf=(1.0, 2.0, 0.0)):
    """ukf_hot_loop on the second-order solution; the filter adds the steady
    state before calling the observation callback. x0 = 0, P0 the covariance
    of (x^f, x^s)."""
    T, k = data.shape
    nx, ny = first.hx.shape[0], first.gx.shape[0]
    m = first.impact.shape[1]
    x0 = np.zeros(2 * nx)
    blocks = (first.hx, first.gx, first.impact, second.h_xx, second.g_xx, second.h_xe,
              second.g_xe, second.h_ee, second.g_ee, second.h_ss, second.g_ss, first.ss, params,
              S, H, data, x0, P0)
    inputs = ffi.filters.ukf_inputs(OBS_FN(obs_address), *[_ptr(a) for a in blocks],
                                    T, nx, ny, m, k, len(params), *ukf, 0.0, 1, 1)
    n = nx + ny
    shapes = {"xf_pred": (T, nx), "xs_pred": (T, nx), "xf_filt": (T, nx), "xs_filt": (T, nx),
              "v_pred": (T, n), "v_filt": (T, n), "P_pred": (T, 2 * nx, 2 * nx),
              "P_filt": (T, 2 * nx, 2 * nx), "y_pred": (T, k), "y_filt": (T, k),
              "innov": (T, k), "std_innov": (T, k), "innov_cov": (T, k, k), "loglik": (1,)}
    paths = {name: np.zeros(shape) for name, shape in shapes.items()}
    outputs = ffi.filters.ukf_outputs(*[_ptr(paths[name])
                                        for name in ffi.filters.UKF_OUTPUT_FIELDS])
    arena = np.empty(lib.ukf_arena_size(nx, ny, m, k).doubles)
    status = lib.ukf_hot_loop(ctypes.byref(inputs), arena, ctypes.byref(outputs))
    if status != 0:
        raise RuntimeError(f"ukf_hot_loop failed with status {status}")
    return paths["loglik"][0], paths


def moments(logs):
    """Mean and sd (in %, of log deviations) and first-order autocorrelation."""
    x = 100.0 * logs
    c = x - x.mean(axis=0)
    ac1 = (c[1:] * c[:-1]).sum(axis=0) / (c * c).sum(axis=0)
    return x.mean(axis=0), x.std(axis=0, ddof=1), ac1


def run(T=300, burn=100, seed=2026, plot=True, outdir=".", verbose=True):
    """Simulate T periods (after `burn` discarded ones), filter them and print
    the log-likelihoods and moments. Returns a dict with `loglik`
    {(observation, filter): value}, `moments` {(order, statistic): array},
    the paths and the PNG path (or None)."""
    lib = ffi.load("beliefplan")
    model = example_model("rbc")   # the observation callbacks
    params = model.params.copy()
    solution = rbc_model().solve(order=2)
    first, second = solution.first, solution.second
    n, nx, m, k = model.n, model.nx, model.m, model.n_obs
    observed = [model.names.index(name) for name in model.obs_names]

    rng = np.random.default_rng(seed)
    shocks = params[-1] * rng.standard_normal((burn + T, m))
    path1, path2 = (path[burn:] for path in simulate(lib, first, second, shocks))
    noise = rng.standard_normal((T, k)) * SD_MEAS

    # The filters' common inputs: shock covariance, the stationary covariance
    # of the first-order solution as the initial state covariance.
    S = np.diag(np.full(m, params[-1] ** 2))
    P0 = solve_discrete_lyapunov(first.transition, first.impact @ S @ first.impact.T)
    Pxx = P0[:nx, :nx]
    P0_ukf = np.block([[Pxx, np.zeros((nx, nx))], [np.zeros((nx, nx)), 1e-4 * Pxx]])

    loglik, data, filtered = {}, {}, {}
    for kind in ("levels", "logs"):
        fn, jac = model.observation("linear" if kind == "levels" else "log")
        scale = first.ss[observed] if kind == "levels" else 1.0
        y = observe(fn, path2, params, k) + noise * scale
        H = np.diag((np.asarray(SD_MEAS) * scale) ** 2)
        d = observe(fn, first.ss, params, k)[0]
        Z = observe(jac, first.ss, params, k * n).reshape(k, n)
        ll_kf, kf = linear_filter(lib, first, Z, d, S, H, y, P0)
        ll_ekf, _ = extended_filter(lib, first, in_levels(fn, first.ss),
                                    in_levels(jac, first.ss),
                                    params, S, H, y, P0)
        ll_ukf, uk = unscented_filter(lib, first, second, fn, params, S, H, y, P0_ukf)
        loglik.update({(kind, "linear"): ll_kf, (kind, "extended"): ll_ekf,
                       (kind, "unscented"): ll_ukf})
        data[kind] = y
        filtered[kind] = {"linear": kf["y_filt"], "unscented": uk["y_filt"]}

    stats = {}
    log_ss = np.log(first.ss[observed])
    for order, path in (("first", path1), ("second", path2)):
        mean, sd, ac1 = moments(np.log(path[:, observed]) - log_ss)
        stats.update({(order, "mean"): mean, (order, "sd"): sd, (order, "ac1"): ac1})

    png = None
    if plot:
        png = save_plot(Path(outdir), model.obs_names, path2[:, observed], data["logs"],
                        filtered["logs"])
    if verbose:
        report(model, T, loglik, stats, png)
    return {"loglik": loglik, "moments": stats, "first": path1, "second": path2,
            "data": data, "filtered": filtered, "png": png}


def report(model, T, loglik, stats, png):
    names = model.obs_names
    print(f"RBC model simulated for {T} periods (first order and pruned second order, same "
          f"shocks);\nobservables {', '.join(names)} with measurement error, filtered on the "
          f"second-order data.")
    print("\n  log-likelihood of the second-order data")
    print(f"  {'observation':<18}{'linear KF':>14}{'extended KF':>14}{'unscented KF':>14}")
    for kind, label in (("levels", "levels (linear)"), ("logs", "logs (nonlinear)")):
        print(f"  {label:<18}" + "".join(f"{loglik[(kind, f)]:>14.3f}"
                                          for f in ("linear", "extended", "unscented")))
    diff = abs(loglik[("levels", "linear")] - loglik[("levels", "extended")])
    print(f"  (a linear observation makes the extended filter the linear one: "
          f"|difference| = {diff:.1e})")

    print("\n  simulated moments of log " + " and log ".join(names)
          + " (mean and sd in % of the steady state)")
    header = "".join(f"{f'{s} {v}':>11}" for s in ("mean", "sd", "ac(1)") for v in names)
    print(f"  {'order':<8}" + header)
    for order in ("first", "second"):
        row = np.concatenate([stats[(order, s)] for s in ("mean", "sd", "ac1")])
        print(f"  {order:<8}" + "".join(f"{v:>11.4f}" for v in row))
    if png:
        print(f"\n  paths saved to {png}")


def save_plot(outdir, names, truth, data, filtered):
    """PNG of the simulated (log) observables, the data and the filtered
    estimates; None when matplotlib is not installed."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return None
    outdir.mkdir(parents=True, exist_ok=True)
    fig, axes = plt.subplots(len(names), 1, figsize=(9, 3 * len(names)), sharex=True)
    for j, (ax, name) in enumerate(zip(np.atleast_1d(axes), names)):
        ax.plot(np.log(truth[:, j]), color="0.6", lw=2, label="simulated (second order)")
        ax.plot(data[:, j], ".", ms=3, color="k", label="data (with measurement error)")
        ax.plot(filtered["linear"][:, j], lw=1, label="linear KF (filtered)")
        ax.plot(filtered["unscented"][:, j], lw=1, ls="--", label="unscented KF (filtered)")
        ax.set_ylabel(f"log {name}")
    np.atleast_1d(axes)[0].legend(fontsize=8)
    np.atleast_1d(axes)[-1].set_xlabel("period")
    fig.tight_layout()
    path = outdir / "demo_simulate_filter.png"
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


if __name__ == "__main__":
    run()
