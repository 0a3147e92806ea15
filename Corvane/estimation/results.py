"""Results of an estimation: the posterior mode (`ModeResult`) and the
sampled posterior (`Posterior`)."""

import math
import os
import sys
import threading
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd
from scipy import special, stats

from ..errors import EstimationError


# ---- Hessian -----------------------------------------------------------------------

def _steps(x, supports):
    h = 1e-4 * np.maximum(np.abs(x), 1e-2)
    for i, (lo, hi) in enumerate(supports):
        room = min(x[i] - lo, hi - x[i])
        h[i] = min(h[i], 0.25 * room)
    return h


def hessian(f, x, supports):
    """Central-difference Hessian of f (which takes rows of points and
    returns their values) at x, and whether it had to be repaired to be
    positive definite. Points outside the supports are avoided by shorter
    steps; a matrix with eigenvalues <= 0 has them replaced by their
    absolute values (floored at a small multiple of the largest)."""
    x = np.asarray(x, dtype=float)
    d = len(x)
    for _ in range(8):
        h = _steps(x, supports)
        E = np.diag(h)
        points = [x]
        for i in range(d):
            points += [x + E[i], x - E[i]]
        for i in range(d):
            for j in range(i + 1, d):
                points += [x + E[i] + E[j], x + E[i] - E[j], x - E[i] + E[j], x - E[i] - E[j]]
        values = f(np.array(points))
        if np.all(np.isfinite(values)):
            break
        supports = [(lo + (x[i] - lo) / 2 if np.isfinite(lo) else lo,
                     hi - (hi - x[i]) / 2 if np.isfinite(hi) else hi)
                    for i, (lo, hi) in enumerate(supports)]
    else:
        raise EstimationError("the log posterior is not finite around the mode; no Hessian")
    f0 = values[0]
    H = np.empty((d, d))
    for i in range(d):
        H[i, i] = (values[1 + 2 * i] - 2 * f0 + values[2 + 2 * i]) / h[i] ** 2
    k = 1 + 2 * d
    for i in range(d):
        for j in range(i + 1, d):
            pp, pm, mp, mm = values[k:k + 4]
            H[i, j] = H[j, i] = (pp - pm - mp + mm) / (4 * h[i] * h[j])
            k += 4
    return repair(H)


def repair(H):
    """(H, False) when H is positive definite, else (a positive-definite
    repair, True)."""
    H = 0.5 * (H + H.T)
    w, V = np.linalg.eigh(H)
    if w.min() > 0:
        return H, False
    floor = max(np.abs(w).max(), 1.0) * 1e-10
    w = np.maximum(np.abs(w), floor)
    return (V * w) @ V.T, True


# ---- mode ----------------------------------------------------------------------------

class ModeResult:
    """The posterior mode of an estimation.

    Attributes
    ----------
    params : pandas.Series
        The mode, by estimated name.
    log_posterior, log_likelihood, log_prior : float
        At the mode (the prior is the density of the parameters themselves).
    hessian : pandas.DataFrame
        Hessian of minus the log posterior at the mode, in the parameters'
        own space (repaired when it was not positive definite; see `repaired`).
    std : pandas.Series
        Square roots of the diagonal of the inverse Hessian.
    laplace : float
        Laplace approximation of the log marginal density,
        log posterior + d/2 log(2 pi) - 1/2 log det(hessian).
    converged : bool
    message : str
        The optimiser's message.
    """

    def __init__(self, estimation, x, theta, value, H, converged, message, nfev, nit,
                 repaired):
        names = estimation.names
        self.estimation = estimation
        self.params = pd.Series(x, index=names, name="mode")
        self.theta = np.asarray(theta, dtype=float)
        self.log_posterior = float(value)
        target = estimation._target
        self.log_likelihood = float(target.loglik(self.theta))
        self.log_prior = float(target.logprior(self.theta))
        self.hessian = pd.DataFrame(H, index=names, columns=names)
        self.repaired = bool(repaired)
        cov = np.linalg.inv(H)
        self.std = pd.Series(np.sqrt(np.diag(cov)), index=names, name="std")
        sign, logdet = np.linalg.slogdet(H)
        d = len(names)
        self.laplace = float(self.log_posterior + 0.5 * d * math.log(2 * math.pi)
                             - 0.5 * logdet)
        self.converged = bool(converged)
        self.message = message
        self.nfev, self.nit = int(nfev), int(nit)

    def summary(self):
        """Prior shape, prior mean, prior sd, mode and sd at the mode (DataFrame)."""
        priors = self.estimation.priors
        return pd.DataFrame({
            "prior": [priors[n].shape for n in self.params.index],
            "prior mean": [priors[n].mean for n in self.params.index],
            "prior sd": [priors[n].sd for n in self.params.index],
            "mode": self.params.to_numpy(),
            "sd": self.std.to_numpy(),
        }, index=self.params.index)

    def __repr__(self):
        head = (f"ModeResult: log posterior {self.log_posterior:.6f}, log likelihood "
                f"{self.log_likelihood:.6f}, Laplace log marginal density {self.laplace:.6f}"
                f" ({'converged' if self.converged else 'not converged'}: {self.message})")
        return head + "\n" + self.summary().to_string()


# ---- sampling ------------------------------------------------------------------------

def _proposal(estimation, mode):
    """Cholesky factor of the inverse Hessian of minus the log posterior of
    theta at the mode."""
    theta = mode.theta
    supports = [(-np.inf, np.inf)] * len(theta)
    H, _ = hessian(estimation._neg_logpost_theta, theta, supports)
    return np.linalg.cholesky(np.linalg.inv(H))


def run_chains(estimation, mode, draws, chains, burn, scale, init_scale, seed, start_theta,
               progress):
    from .._bridge.estimation import philox_normals

    d = len(estimation.names)
    L = _proposal(estimation, mode)
    n_burn = int(round(burn * draws))
    n_keep = draws - n_burn
    if n_keep < 1:
        raise EstimationError("sample: no draws left after the burn-in")
    targets = [estimation._target.copy() for _ in range(chains)]
    starts = []
    for c, target in enumerate(targets):
        target.affine(mode.theta, L)
        if start_theta is not None:
            u0 = np.linalg.solve(L, start_theta - mode.theta)
        else:
            for attempt in range(100):
                u0 = init_scale * philox_normals(seed, c, d, stream=2 + attempt)
                if np.isfinite(target.logpost(u0, jacobian=True)):
                    break
            else:
                u0 = np.zeros(d)
        starts.append(u0)
    logposts = [None] * chains

    def watch(c):
        def register(array):
            logposts[c] = array
        return register

    def one(c):
        return targets[c].run_chain(starts[c], n_keep, n_burn, scale, seed, c,
                                    progress=watch(c))

    bar = _progress_bar(progress, chains * n_keep)
    workers = max(1, min(chains, os.cpu_count() or 1))
    with ThreadPoolExecutor(max_workers=workers) as pool:
        futures = [pool.submit(one, c) for c in range(chains)]
        if bar is not None:
            done = 0
            while not all(f.done() for f in futures):
                threading.Event().wait(0.2)
                now = sum(int(np.count_nonzero(~np.isnan(a))) for a in logposts if a is not None)
                bar.update(now - done)
                done = now
            bar.update(chains * n_keep - done)
            bar.close()
        results = [f.result() for f in futures]
    u = np.stack([r[0] for r in results])                      # chains x n_keep x d
    theta = mode.theta + u @ L.T
    lp_theta = np.stack([r[1] for r in results])
    accepted = np.array([r[2] / r[3] for r in results])
    return Posterior(estimation, mode, theta, lp_theta, accepted, seed,
                     dict(draws=draws, chains=chains, burn=burn, scale=scale,
                          init_scale=init_scale))


def _progress_bar(progress, total):
    if not progress or not sys.stderr.isatty():
        return None
    try:
        from tqdm.auto import tqdm
    except ImportError:
        return None
    return tqdm(total=total, desc="sampling", unit="draw")


def _arviz():
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", FutureWarning)
            import arviz
    except ImportError:
        raise ImportError("this needs ArviZ: pip install 'Corvane[estimation]' (or "
                          "pip install arviz)") from None
    return arviz


class Posterior:
    """Draws from the posterior of an estimation.

    Attributes
    ----------
    draws : pandas.DataFrame
        Parameter values by estimated name, indexed by (chain, draw).
    log_posterior : pandas.Series
        Log posterior density of the parameters at each draw.
    acceptance : pandas.Series
        Acceptance rate of each chain (burn-in included).
    mode : ModeResult
        The mode the chains started from.
    seed : int
        The seed that replays the run.
    """

    def __init__(self, estimation, mode, theta, lp_theta, accepted, seed, settings):
        self.estimation = estimation
        self.mode = mode
        self.seed = seed
        self.settings = settings
        chains, n, d = theta.shape
        self._theta = theta
        self._lp_theta = lp_theta
        flat = theta.reshape(-1, d)
        x = estimation._to_params(flat)
        index = pd.MultiIndex.from_product([range(chains), range(n)], names=["chain", "draw"])
        self.draws = pd.DataFrame(x, index=index, columns=estimation.names)
        from .._bridge.estimation import log_jacobian

        logjac = log_jacobian(estimation._codes, estimation._tparams, flat)
        self.log_posterior = pd.Series(lp_theta.ravel() - logjac, index=index,
                                       name="log posterior")
        self.acceptance = pd.Series(accepted, index=pd.RangeIndex(chains, name="chain"),
                                    name="acceptance")

    def to_arviz(self):
        """An ArviZ InferenceData of the draws (needs ArviZ)."""
        az = _arviz()
        chains = self._theta.shape[0]
        posterior = {name: self.draws[name].to_numpy().reshape(chains, -1)
                     for name in self.estimation.names}
        stats_ = {"lp": self.log_posterior.to_numpy().reshape(chains, -1)}
        return az.from_dict(posterior=posterior, sample_stats=stats_)

    def summary(self, hdi_prob=0.9):
        """Prior, posterior mean, sd, HPD interval, R-hat and bulk ESS (ArviZ)."""
        az = _arviz()
        table = az.summary(self.to_arviz(), hdi_prob=hdi_prob, kind="all", round_to="none")
        priors = self.estimation.priors
        low, high = [c for c in table.columns if c.startswith("hdi_")]
        out = pd.DataFrame({
            "prior": [priors[n].shape for n in self.estimation.names],
            "prior mean": [priors[n].mean for n in self.estimation.names],
            "prior sd": [priors[n].sd for n in self.estimation.names],
            "mode": self.mode.params.to_numpy(),
            "mean": table.loc[self.estimation.names, "mean"].to_numpy(),
            "sd": table.loc[self.estimation.names, "sd"].to_numpy(),
            low: table.loc[self.estimation.names, low].to_numpy(),
            high: table.loc[self.estimation.names, high].to_numpy(),
            "r_hat": table.loc[self.estimation.names, "r_hat"].to_numpy(),
            "ess_bulk": table.loc[self.estimation.names, "ess_bulk"].to_numpy(),
        }, index=self.estimation.names)
        return out

    def log_marginal(self, method="mhm"):
        """Log marginal density of the data by Geweke's modified harmonic
        mean: the average over truncation levels p = 0.1, ..., 0.9 of the
        estimates with a normal weighting density truncated to its p-region."""
        if method != "mhm":
            raise EstimationError(f"log_marginal: method must be 'mhm', got {method!r}")
        d = self._theta.shape[2]
        theta = self._theta.reshape(-1, d)
        lp = self._lp_theta.ravel()
        mean = theta.mean(axis=0)
        cov = np.atleast_2d(np.cov(theta, rowvar=False))
        chol = np.linalg.cholesky(cov)
        z = np.linalg.solve(chol, (theta - mean).T).T
        quad = np.einsum("ij,ij->i", z, z)
        log_norm = -0.5 * d * math.log(2 * math.pi) - np.log(np.diag(chol)).sum() - 0.5 * quad
        estimates = []
        for p in np.arange(1, 10) / 10:
            inside = quad <= stats.chi2.ppf(p, d)
            terms = np.where(inside, log_norm - math.log(p) - lp, -np.inf)
            estimates.append(-(special.logsumexp(terms) - math.log(len(lp))))
        return float(np.mean(estimates))

    def __repr__(self):
        chains = self._theta.shape[0]
        return (f"Posterior: {chains} chain{'s' * (chains > 1)} of {self._theta.shape[1]} draws "
                f"(seed {self.seed}); acceptance "
                + ", ".join(f"{a:.1%}" for a in self.acceptance))
