"""Bayesian estimation of the compiled RBC example model.

1. Simulate data (log output and log consumption with measurement error)
   from the first-order solution at known parameters.
2. Build the estimation objective from the binding helpers: the compiled
   model, the data, the parameter scatter (unconstrained theta -> model
   parameters), the shock and measurement covariances and a belief plan (the
   priors).
3. Find the posterior mode with L-BFGS-B (`crv_lbfgsb`) over
   `crv_min_linear_lp`.
4. Sample the posterior from the mode with the adaptive random-walk
   Metropolis sampler (`crv_mcmc_run` over `crv_post_linear`).
5. Print true values, mode, posterior means, 90% intervals, the acceptance
   rate and effective sample sizes; with matplotlib installed, save trace
   and density plots.

To estimate another model, replace the model, the data, the ESTIMATED table
and the covariance specifications; the rest is unchanged.

    python examples/demo_estimate.py
"""

import ctypes
import sys
import threading
import time
from pathlib import Path

import numpy as np
from scipy import special
from scipy.linalg import solve_discrete_lyapunov

from Corvane._bridge import objective as O
from Corvane._bridge.examples import example_model
from Corvane._ckernels import ffi

from demo_solve import rbc_model

LOG, LOGIT = 2, 4                      # transform codes (theta -> parameter)
NORMAL, BETA, GAMMA, INV_GAMMA = 1, 6, 7, 8  # prior distribution codes


# ---- priors: rows of the belief plan -----------------------------------------------

def beta_prior(mean, sd):
    """Beta prior row (a, b, log B(a, b)) with the given mean and sd."""
    s = mean * (1 - mean) / sd**2 - 1
    a, b = mean * s, (1 - mean) * s
    return BETA, [a, b, special.betaln(a, b), 0, 0], mean


def gamma_prior(mean, sd):
    """Gamma prior row (shape, scale, log normaliser) with the given mean and sd."""
    shape, scale = (mean / sd) ** 2, sd**2 / mean
    return GAMMA, [shape, scale, special.gammaln(shape) + shape * np.log(scale), 0, 0], mean


def inv_gamma_prior(mean, sd):
    """Inverse-gamma prior row (shape, scale, log normaliser) with the given mean and sd."""
    shape = 2 + (mean / sd) ** 2
    scale = mean * (shape - 1)
    return INV_GAMMA, [shape, scale, shape * np.log(scale) - special.gammaln(shape), 0, 0], mean


# The estimated parameters of the RBC example: name, model-parameter index
# (6 and 7 are the measurement standard deviations appended to the model's
# parameters), transform, prior, true value.
ESTIMATED = [
    ("alpha", 0, LOGIT, beta_prior(0.30, 0.05), 0.33),
    ("psi", 3, LOG, gamma_prior(2.0, 0.5), 1.8),
    ("rho", 4, LOGIT, beta_prior(0.85, 0.10), 0.95),
    ("sigma_e", 5, LOG, inv_gamma_prior(0.01, 0.005), 0.007),
    ("sd_y", 6, LOG, inv_gamma_prior(0.005, 0.0025), 0.004),
    ("sd_c", 7, LOG, inv_gamma_prior(0.005, 0.0025), 0.003),
]


def to_theta(code, x):
    """The unconstrained value of x under a transform code."""
    return {LOG: np.log, LOGIT: special.logit}[code](x)


def belief_plan(estimated):
    return {
        "scalar_indices": np.arange(len(estimated)),
        "scalar_transform_codes": [e[2] for e in estimated],
        "scalar_dist_codes": [e[3][0] for e in estimated],
        "scalar_dist_params": np.array([e[3][1] for e in estimated]),
        "scalar_transform_params": np.zeros((len(estimated), 3)),
    }


# ---- data ------------------------------------------------------------------------

def simulate_data(lib, model, params, sd_meas, T, rng, burn=100):
    """T x n_obs observations (the model's log observation, linearised at the
    steady state, plus measurement error) from the first-order solution."""
    rbc = rbc_model()
    sol = rbc.solve(params=dict(zip(rbc.parameters, params))).first
    n, m, k = model.n, model.m, model.n_obs
    dp = ctypes.POINTER(ctypes.c_double)
    d, Z = np.zeros(k), np.zeros((k, n))
    fn, jac = (ffi.filters.OBS_FN(a) for a in model.observation("log"))
    fn(sol.ss.ctypes.data_as(dp), params.ctypes.data_as(dp), d.ctypes.data_as(dp))
    jac(sol.ss.ctypes.data_as(dp), params.ctypes.data_as(dp), Z.ctypes.data_as(dp))
    shocks = params[model.p - 1] * rng.standard_normal((burn + T, m))
    states = np.empty((burn + T, n))
    arena = np.empty(lib.crv_simulate_linear_states_arena_size(n).doubles)
    lib.crv_simulate_linear_states(sol.transition, sol.impact, np.zeros(n), shocks, None,
                                   states, arena, burn + T, n, m)
    states = np.ascontiguousarray(states[burn:])
    y = np.empty((T, k))
    lib.crv_affine_observations(states, Z, d, y, T, k, n)
    return y + rng.standard_normal((T, k)) * sd_meas


# ---- diagnostics -----------------------------------------------------------------

def ess(chain):
    """Effective sample size of a 1-d chain by Geyer's initial monotone
    sequence estimator of the integrated autocorrelation time."""
    x = np.asarray(chain, dtype=float)
    n = x.size
    x = x - x.mean()
    f = np.fft.rfft(x, 2 * n)
    acov = np.fft.irfft(f * np.conj(f))[:n] / n
    if acov[0] <= 0:
        return float(n)
    rho = acov / acov[0]
    pairs = rho[: 2 * (n // 2)].reshape(-1, 2).sum(axis=1)  # Gamma_k = rho_2k + rho_2k+1
    positive = np.flatnonzero(pairs <= 0)
    pairs = pairs[: positive[0] if positive.size else pairs.size]
    pairs = np.minimum.accumulate(pairs)
    tau = max(-1.0 + 2.0 * pairs.sum(), 1.0 / n)
    return n / tau


# ---- estimation --------------------------------------------------------------------

def find_mode(lib, obj, theta0):
    """L-BFGS-B over the negative log-posterior; returns (theta, result)."""
    fn, context = obj.callback("crv_min_linear_lp")
    theta = np.array(theta0, dtype=float)
    options = ffi.optimize.crv_lbfgsb_options(m=10, maxiter=500, maxfun=5000, maxls=20,
                                              factr=1e7, pgtol=1e-6, fd_step=0.0)
    result = ffi.optimize.crv_opt_result()
    lib.crv_lbfgsb(ffi.optimize.crv_opt_fn(fn), context, len(theta), theta, None, None, None,
                   ctypes.byref(options), ctypes.byref(result))
    return theta, result


def sample(lib, obj, start, n_draws, n_burn, seed, init_scale=0.02, progress=True):
    """Adaptive random-walk Metropolis from `start`. The chain runs on a
    worker thread (ctypes releases the interpreter lock) while this thread
    reports progress from the stored log-posteriors."""
    d = len(start)
    fn, context = obj.callback("crv_post_linear")
    config = ffi.mcmc.crv_mcmc_config(n_draws=n_draws, n_burn=n_burn, thin=1, adapt=1,
                                      adapt_start=min(200, n_burn // 4), adapt_interval=50,
                                      adapt_eps=1e-8, init_scale=init_scale)
    draws = np.zeros((n_draws, d))
    logpost = np.full(n_draws, np.nan)
    dp = ctypes.POINTER(ctypes.c_double)
    output = ffi.mcmc.crv_mcmc_output(draws.ctypes.data_as(dp),
                                      logpost.ctypes.data_as(dp))
    result = ffi.mcmc.crv_mcmc_result()
    generator = np.random.default_rng(seed)
    bitgen = ffi.rng.bitgen_from_numpy(generator.bit_generator)
    x0 = np.ascontiguousarray(start, dtype=float)

    status = []
    worker = threading.Thread(target=lambda: status.append(lib.crv_mcmc_run(
        fn, context, ctypes.byref(bitgen), x0, d, ctypes.byref(config), ctypes.byref(output),
        ctypes.byref(result))), daemon=True)
    worker.start()
    bar = Progress(n_burn, n_draws) if progress else None
    while worker.is_alive():
        worker.join(0.1)
        if bar:
            bar.show(np.count_nonzero(~np.isnan(logpost)))
    if bar:
        bar.show(n_draws, final=True)
    if status[0] != 0:
        raise RuntimeError(f"crv_mcmc_run failed: {result.message.decode()}")
    return draws, logpost, result


class Progress:
    """A one-line progress bar on a terminal, milestones otherwise."""

    def __init__(self, n_burn, n_draws, width=30):
        self.n_burn, self.n_draws, self.width = n_burn, n_draws, width
        self.tty = sys.stdout.isatty()
        self.last = -1

    def show(self, kept, final=False):
        if kept == 0 and not final:
            if self.last < 0:
                print(f"  sampling: burn-in of {self.n_burn} iterations (adapting the proposal)"
                      + ("" if self.tty else " ..."), flush=True)
                self.last = 0
            return
        share = kept / self.n_draws
        if self.tty:
            filled = int(self.width * share)
            print(f"\r  sampling: [{'#' * filled}{'.' * (self.width - filled)}] "
                  f"{kept}/{self.n_draws} draws", end="\n" if final else "", flush=True)
        else:
            quarter = int(4 * share)
            if quarter > self.last:
                print(f"  sampling: {kept}/{self.n_draws} draws", flush=True)
                self.last = quarter


def run(T=200, n_draws=20000, n_burn=5000, seed=11, plot=True, outdir=".", verbose=True):
    """Simulate, find the mode, sample; print the table. Returns a dict with
    `names`, `true`, `mode`, `mean`, `lower`, `upper` (5% and 95%), `ess`,
    `acceptance`, `draws` (constrained), the optimiser result and timings."""
    lib = ffi.load("beliefplan")
    model = example_model("rbc")
    names = [e[0] for e in ESTIMATED]
    truth = np.array([e[4] for e in ESTIMATED])
    index = [e[1] for e in ESTIMATED]

    # Data at the true parameters.
    true_params = np.concatenate([model.params, [0.0, 0.0]])
    true_params[index] = truth
    rng = np.random.default_rng(seed)
    data = simulate_data(lib, model, true_params[:model.p], true_params[model.p:], T, rng)

    # The objective: theta -> parameters, covariances, priors.
    prior_means = np.array([e[3][2] for e in ESTIMATED])
    theta0 = np.array([to_theta(e[2], mean) for e, mean in zip(ESTIMATED, prior_means)])
    obj = O.Objective(lib, model, data,
                      scatter=[(i, e[1], e[2], (0, 0, 0)) for i, e in enumerate(ESTIMATED)],
                      shock_cov=O.cov_pairs([5]),        # sd of the shock: sigma_e
                      obs_cov=O.cov_pairs([6, 7]),       # measurement sds, uncorrelated
                      kind="linear", observation="log",
                      extra_params=(0.0, 0.0),           # sd_y, sd_c: set from theta
                      plan=belief_plan(ESTIMATED))
    # Initial state covariance: the stationary one at the starting point
    # (obj.P0 is the array the record points at).
    if not np.isfinite(obj.post(theta0)):
        raise RuntimeError("the log-posterior is not finite at the starting point")
    R, S = obj.solution["impact"], obj.shock_cov
    obj.P0[:] = solve_discrete_lyapunov(obj.solution["transition"], R @ S @ R.T)

    if verbose:
        print(f"RBC model, {T} periods of simulated log output and log consumption; "
              f"estimating {', '.join(names)}.")
    t0 = time.perf_counter()
    mode, opt = find_mode(lib, obj, theta0)
    t_mode = time.perf_counter() - t0
    if verbose:
        print(f"  posterior mode: {opt.message.decode()} after {opt.nit} iterations, "
              f"{opt.nfev} evaluations ({t_mode:.2f} s); log-posterior {-opt.fun:.3f}")
    t1 = time.perf_counter()
    draws, logpost, res = sample(lib, obj, mode, n_draws, n_burn, seed + 1, progress=verbose)
    t_sample = time.perf_counter() - t1
    wall = t_mode + t_sample
    evaluations = opt.nfev + res.n_iter + 1

    def constrained(theta):
        return obj.scatter_params(theta)[index].copy()

    values = np.array([constrained(t) for t in draws])
    out = {
        "names": names, "true": truth, "prior_mean": prior_means, "mode": constrained(mode),
        "mean": values.mean(axis=0), "lower": np.quantile(values, 0.05, axis=0),
        "upper": np.quantile(values, 0.95, axis=0),
        "ess": np.array([ess(values[:, j]) for j in range(len(names))]),
        "acceptance": res.accepted / res.n_iter, "draws": values, "logpost": logpost,
        "theta_mode": mode, "optimizer": opt, "log_posterior_mode": -opt.fun,
        "wall": wall, "evaluations": evaluations, "solve_failures": obj.solve_failures,
    }
    if verbose:
        report(out, n_draws, n_burn, t_mode, t_sample)
    out["png"] = save_plots(Path(outdir), out) if plot else None
    if verbose and out["png"]:
        print(f"  trace and density plots saved to {', '.join(map(str, out['png']))}")
    return out


def report(out, n_draws, n_burn, t_mode, t_sample):
    print(f"\n  {'parameter':<10}{'true':>9}{'prior':>9}{'mode':>9}{'mean':>9}"
          f"{'5%':>9}{'95%':>9}{'ESS':>8}")
    for j, name in enumerate(out["names"]):
        row = [out[key][j] for key in ("true", "prior_mean", "mode", "mean", "lower", "upper")]
        places = max(3, 3 - int(np.floor(np.log10(abs(out["true"][j])))))
        print(f"  {name:<10}" + "".join(f"{v:>9.{places}f}" for v in row)
              + f"{out['ess'][j]:>8.0f}")
    print(f"\n  {n_draws} draws after a burn-in of {n_burn}; acceptance rate "
          f"{out['acceptance']:.1%}; rejected model solutions: {out['solve_failures']}")
    print(f"  wall time: mode {t_mode:.2f} s + sampling {t_sample:.2f} s = {out['wall']:.2f} s; "
          f"{out['evaluations']} posterior evaluations, "
          f"{out['evaluations'] / out['wall']:,.0f} per second")


def save_plots(outdir, out):
    """Trace and density PNGs; None when matplotlib is not installed."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return None
    outdir.mkdir(parents=True, exist_ok=True)
    d = len(out["names"])
    paths = []
    fig, axes = plt.subplots(d, 1, figsize=(9, 1.6 * d), sharex=True)
    for j, ax in enumerate(axes):
        ax.plot(out["draws"][:, j], lw=0.4)
        ax.axhline(out["true"][j], color="k", lw=1)
        ax.set_ylabel(out["names"][j])
    axes[-1].set_xlabel("draw")
    fig.tight_layout()
    paths.append(outdir / "demo_estimate_trace.png")
    fig.savefig(paths[-1], dpi=110)
    plt.close(fig)

    cols = 3
    rows = -(-d // cols)
    fig, axes = plt.subplots(rows, cols, figsize=(10, 2.8 * rows))
    for j, ax in enumerate(axes.flat):
        if j >= d:
            ax.axis("off")
            continue
        ax.hist(out["draws"][:, j], bins=50, density=True, color="0.7")
        ax.axvline(out["true"][j], color="k", lw=1, label="true")
        ax.axvline(out["mode"][j], color="C1", lw=1, ls="--", label="mode")
        ax.set_title(out["names"][j])
        ax.locator_params(axis="x", nbins=4)
    axes.flat[0].legend(fontsize=8)
    fig.tight_layout()
    paths.append(outdir / "demo_estimate_density.png")
    fig.savefig(paths[-1], dpi=110)
    plt.close(fig)
    return paths


if __name__ == "__main__":
    run()
