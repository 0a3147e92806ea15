"""Bayesian estimation of the RBC model from a model file.

`rbc_estimate.mod` holds the model, the priors (`estimated_params`), the
observed variables (`varobs y c`) and the estimation options, with the data
in `rbc_data.csv`; the lines below find the posterior mode, sample the
posterior with two chains and print Dynare's tables.

    python examples/demo_estimate.py
"""

import time
from pathlib import Path

import Corvane

HERE = Path(__file__).resolve().parent
#: The calibration the data were simulated at.
TRUE = {"alpha": 0.33, "psi": 1.8, "rho": 0.95, "stderr e": 0.007, "stderr y": 0.004,
        "stderr c": 0.003}


def run(draws=None, chains=None, seed=11, plot=True, outdir=".", verbose=True):
    """Mode and posterior of rbc_estimate.mod; returns a dict with the
    `estimation`, `mode`, `posterior`, timings and the PNG paths."""
    est = Corvane.Model.from_mod(HERE / "rbc_estimate.mod").estimation()
    t0 = time.perf_counter()
    mode = est.find_mode()
    t1 = time.perf_counter()
    post = est.sample(draws=draws, chains=chains, seed=seed, mode=mode, progress=verbose)
    t2 = time.perf_counter()
    out = {"estimation": est, "mode": mode, "posterior": post, "t_mode": t1 - t0,
           "t_sample": t2 - t1, "png": None}
    if verbose:
        print(est, "\n")
        print(mode, "\n")
        print(post)
        try:
            print(post.summary().to_string(float_format=lambda v: f"{v:.4g}"))
        except ImportError as err:
            print(f"  ({err})")
        print(f"\n  log marginal density: Laplace {mode.laplace:.3f}, "
              f"modified harmonic mean {post.log_marginal('mhm'):.3f}")
        print(f"  wall time: mode {t1 - t0:.2f} s, sampling {t2 - t1:.2f} s")
    if plot:
        out["png"] = save_plots(Path(outdir), mode, post)
    return out


def save_plots(outdir, mode, post):
    """Priors and posteriors, traces and the mode check as PNGs; None without
    matplotlib."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        from Corvane.plotting import plot_mode_check, plot_prior_posterior, plot_trace
    except ImportError:
        return None
    outdir.mkdir(parents=True, exist_ok=True)
    paths = []
    for name, fig in (("prior_posterior", plot_prior_posterior(post)),
                      ("trace", plot_trace(post)), ("mode_check", plot_mode_check(mode))):
        paths.append(outdir / f"demo_estimate_{name}.png")
        fig.savefig(paths[-1], dpi=100)
    return paths


if __name__ == "__main__":
    run()
