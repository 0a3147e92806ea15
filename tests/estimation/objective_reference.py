"""Independent pipeline for the objective tests: parameters from theta by the
closed-form transforms, the first-order solution of the Python RBC model by
SciPy's ordqz (tests/common/reference.py), Z and d of the log observation
at the closed-form steady state, a textbook NumPy Kalman filter and the prior
from scipy.stats."""

import sys
from pathlib import Path

import numpy as np
from scipy import stats

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "common"))

import kernel_models as models  # noqa: E402
from reference import first_order  # noqa: E402

RBC_NAMES = ("alpha", "beta", "delta", "psi", "rho")
OBSERVED = (4, 2)  # y, c


def logistic(z):
    return 1.0 / (1.0 + np.exp(-z))


def rbc_solution(params):
    """(ss, transition, impact) of the RBC model at params (first five used)."""
    kw = dict(zip(RBC_NAMES, params[:5]))
    model = models.rbc(**kw)
    ss = models.rbc_steady_state(*params[:4])
    hx, gx, R = first_order(model, ss)
    n, nx = model.n, model.nx
    A = np.zeros((n, n))
    A[:nx, :nx] = hx
    A[nx:, :nx] = gx
    return ss, A, R


def log_observation(ss, n=6, observed=OBSERVED):
    """d = log(ss[observed]) and its Jacobian Z = d log x / dx."""
    d = np.log(ss[list(observed)])
    Z = np.zeros((len(observed), n))
    for r, j in enumerate(observed):
        Z[r, j] = 1.0 / ss[j]
    return d, Z


def kalman_loglik(A, B, S, Z, d, H, data, x0, P0):
    """Gaussian log-likelihood of y(t) = d + Z x(t) + u(t), x(t+1) = A x(t) +
    B e(t+1); x0, P0 the prediction for period 0."""
    x, P = np.array(x0, dtype=float), np.array(P0, dtype=float)
    Q = B @ S @ B.T
    ll = 0.0
    k = data.shape[1]
    for y in data:
        v = y - d - Z @ x
        F = Z @ P @ Z.T + H
        Finv_v = np.linalg.solve(F, v)
        ll -= 0.5 * (np.linalg.slogdet(F)[1] + k * np.log(2 * np.pi) + v @ Finv_v)
        K = P @ Z.T @ np.linalg.inv(F)
        x = A @ (x + K @ v)
        P = A @ (P - K @ Z @ P) @ A.T + Q
    return ll


def simulate_rbc(params, sd_meas, T, seed):
    """Log output and log consumption with measurement error from the
    first-order solution at params (shock sd params[5])."""
    rng = np.random.default_rng(seed)
    ss, A, R = rbc_solution(params)
    d, Z = log_observation(ss)
    x = np.zeros(len(ss))
    out = np.empty((T, 2))
    for t in range(T):
        x = A @ x + R[:, 0] * (params[5] * rng.standard_normal())
        out[t] = d + Z @ x + np.asarray(sd_meas) * rng.standard_normal(2)
    return out


# Belief plan of the tests: theta = (logit rho, log sigma_e, log sd_y, log sd_c).
PLAN = {
    "scalar_indices": [0, 1, 2, 3],
    "scalar_transform_codes": [4, 2, 2, 2],
    "scalar_dist_codes": [6, 8, 8, 8],
    "scalar_transform_params": np.zeros((4, 3)),
}


def plan_arrays():
    from scipy import special

    a, b = 20.0, 2.0
    rows = [[a, b, special.betaln(a, b), 0, 0]]
    for shape, scale in ((2.5, 0.01), (2.5, 0.005), (2.5, 0.005)):
        # inverse gamma: log const = shape log scale - lgamma(shape)
        rows.append([shape, scale, shape * np.log(scale) - special.gammaln(shape), 0, 0])
    plan = dict(PLAN)
    plan["scalar_dist_params"] = np.array(rows)
    return plan


def prior_logdensity(theta):
    """log density of theta under PLAN: scipy.stats densities plus log-Jacobians."""
    rho = logistic(theta[0])
    lp = stats.beta(20.0, 2.0).logpdf(rho) + np.log(rho * (1 - rho))
    for z, scale in zip(theta[1:4], (0.01, 0.005, 0.005)):
        lp += stats.invgamma(2.5, scale=scale).logpdf(np.exp(z)) + z
    return lp
