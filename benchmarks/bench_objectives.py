"""Estimation objectives on the RBC example: one log-posterior evaluation by
the compiled kernels (crv_post_linear, _extended, _unscented) against the same
linear evaluation in Python (SciPy ordqz solution, statsmodels Kalman filter,
scipy.stats priors).

The RBC model (six variables, one shock) is observed through log output and
log consumption with measurement error, T = 200. theta holds four values: rho
(logit), the shock standard deviation and the two measurement standard
deviations (log), with beta and inverse-gamma priors.

    python benchmarks/bench_objectives.py [--repeat 15] [--markdown]
"""

import argparse
import ctypes
import os
import sys
import time
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
from scipy import optimize, special, stats  # noqa: E402

from Corvane._bridge import objective as O  # noqa: E402
from Corvane._bridge.examples import example_model  # noqa: E402
from Corvane._ckernels import ffi  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "common"))
import kernel_models as models  # noqa: E402
from reference import first_order  # noqa: E402

T = 200
TRUE = np.array([0.33, 0.99, 0.025, 1.8, 0.95, 0.007])
SD_MEAS = np.array([0.004, 0.003])
THETA = np.array([np.log(0.9 / 0.1), np.log(0.008), np.log(0.005), np.log(0.002)])
OBSERVED = [4, 2]
SCATTER = [(0, 4, 4, (0, 0, 0)), (1, 5, 2, (0, 0, 0)), (2, 6, 2, (0, 0, 0)),
           (3, 7, 2, (0, 0, 0))]
PRIORS = [("beta", 20.0, 2.0), ("invgamma", 2.5, 0.01), ("invgamma", 2.5, 0.005),
          ("invgamma", 2.5, 0.005)]


def belief_plan():
    rows = []
    for kind, a, b in PRIORS:
        if kind == "beta":
            rows.append([a, b, special.betaln(a, b), 0, 0])
        else:
            rows.append([a, b, a * np.log(b) - special.gammaln(a), 0, 0])
    return {"scalar_indices": [0, 1, 2, 3], "scalar_transform_codes": [4, 2, 2, 2],
            "scalar_dist_codes": [6, 8, 8, 8], "scalar_dist_params": np.array(rows),
            "scalar_transform_params": np.zeros((4, 3))}


def steady_state(model):
    """Newton-type root of F(x, x, x, 0) from the model's guess (SciPy's
    hybrid method with complex-step Jacobians), as the kernel's Newton step."""
    zero = np.zeros(model.m)

    def residual(x):
        return model.evaluate(x, x, x, zero).real

    def jacobian(x):
        J = np.empty((model.n, model.n))
        for j in range(model.n):
            z = x.astype(complex)
            z[j] += 1e-30j
            J[:, j] = model.evaluate(z, z, z, zero).imag / 1e-30
        return J

    sol = optimize.root(residual, model.x_guess, jac=jacobian, tol=1e-12)
    if not sol.success:
        raise np.linalg.LinAlgError(sol.message)
    return sol.x


def solution(params, guess=None):
    model = models.rbc(**dict(zip(("alpha", "beta", "delta", "psi", "rho"), params[:5])))
    if guess is not None:
        model.x_guess = guess
    ss = steady_state(model)
    hx, gx, R = first_order(model, ss)
    A = np.zeros((6, 6))
    A[:2, :2], A[2:, :2] = hx, gx
    return ss, A, R


def simulate(seed=1):
    rng = np.random.default_rng(seed)
    ss, A, R = solution(TRUE)
    x = np.zeros(6)
    out = np.empty((T, 2))
    for t in range(T):
        x = A @ x + R[:, 0] * TRUE[5] * rng.standard_normal()
        level = ss + x
        out[t] = np.log(level[OBSERVED]) + SD_MEAS * rng.standard_normal(2)
    return out


class PythonPosterior:
    """The linear log-posterior in Python: transforms, steady state by SciPy's
    root finder, Klein's solution by SciPy's ordqz, statsmodels' Kalman filter,
    scipy.stats priors."""

    def __init__(self, data, P0, guess):
        import statsmodels.api as sm

        self.data, self.P0, self.guess = data, P0, guess
        self.sm = sm
        self.priors = [stats.beta(a, b) if kind == "beta" else stats.invgamma(a, scale=b)
                       for kind, a, b in PRIORS]

    def __call__(self, theta):
        params = TRUE.copy()
        params[4] = special.expit(theta[0])
        params[5] = np.exp(theta[1])
        sd = np.exp(theta[2:4])
        try:
            ss, A, R = solution(params, self.guess)
        except np.linalg.LinAlgError:
            return -np.inf
        Z = np.zeros((2, 6))
        Z[[0, 1], OBSERVED] = 1.0 / ss[OBSERVED]
        mod = self.sm.tsa.statespace.MLEModel(self.data, k_states=6, k_posdef=1)
        mod["design"] = Z
        mod["obs_intercept"] = np.log(ss[OBSERVED])[:, None]
        mod["obs_cov"] = np.diag(sd**2)
        mod["transition"] = A
        mod["selection"] = R
        mod["state_cov"] = np.array([[params[5] ** 2]])
        mod.ssm.initialize_known(np.zeros(6), self.P0)
        mod.ssm.tolerance = 0.0  # full recursion, as the kernel runs it
        ll = mod.loglike([])
        x = np.concatenate([[params[4]], np.exp(theta[1:4])])
        lp = sum(p.logpdf(v) for p, v in zip(self.priors, x))
        lp += np.log(x[0] * (1 - x[0])) + theta[1:4].sum()
        return ll + lp


def stage_calls(lib, obj):
    """The model solution and the filter of one linear evaluation as separate
    kernel calls on the record's own arrays (after one evaluation)."""
    rec = obj.record
    model = ffi.solve.crv_klein_model(rec.residual, rec.zgges, rec.dgeqrf, rec.dormqr,
                                      rec.x_guess, rec.params, rec.flags, rec.n, rec.nx, rec.ny,
                                      rec.m, rec.p, None, None)
    dp = ctypes.POINTER(ctypes.c_double)
    ll = np.zeros(1)
    inputs = ffi.kf_inputs(rec.n, rec.n_obs, rec.m, rec.n_periods, rec.solution.transition,
                           rec.solution.impact, rec.design, rec.obs_intercept, rec.shock_cov,
                           rec.obs_cov, rec.data, rec.x0, rec.P0, rec.symmetrize, rec.jitter,
                           0, 0)
    outputs = ffi.kf_outputs(*([None] * 10 + [ll.ctypes.data_as(dp)]))
    solve_args = (ctypes.byref(model), ctypes.byref(rec.solution), obj.solve_arena,
                  obj.solve_iarena)
    filter_args = (ctypes.byref(inputs), obj.filter_arena, ctypes.byref(outputs))
    return (lambda: lib.crv_klein_solve1(*solve_args),
            lambda: lib.kf_hot_loop(*filter_args))


def timeit(fn, repeat, inner):
    fn()
    best = np.inf
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(inner):
            fn()
        best = min(best, (time.perf_counter() - t0) / inner)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--markdown", action="store_true", help="print a Markdown table")
    args = parser.parse_args()

    lib = ffi.load("beliefplan")
    rbc = example_model("rbc")
    data = simulate()
    P0 = 1e-4 * np.eye(6)
    objectives = {}
    for kind in ("linear", "extended", "unscented"):
        objectives[kind] = O.Objective(
            lib, rbc, data, SCATTER, O.cov_pairs([5]), O.cov_pairs([6, 7]), kind=kind,
            extra_params=SD_MEAS, plan=belief_plan(),
            P0=1e-4 * np.eye(4) if kind == "unscented" else P0)
    python = PythonPosterior(data, P0, rbc.x_guess)
    reference = python(THETA)
    ours = objectives["linear"].post(THETA)
    assert abs(ours - reference) <= 1e-8 * abs(reference), (ours, reference)

    t_py = timeit(lambda: python(THETA), args.repeat, 3)
    rows = []
    for kind, obj in objectives.items():
        fn = getattr(lib, f"crv_post_{kind}")
        theta, ctx = np.ascontiguousarray(THETA), obj.address
        t = timeit(lambda: fn(theta, ctx), args.repeat, 200)
        rows.append((kind, t, obj.post(THETA)))

    t_lin = rows[0][1]
    solve, filt = stage_calls(lib, objectives["linear"])
    t_solve = timeit(solve, args.repeat, 200)
    t_filter = timeit(filt, args.repeat, 200)
    stages = (f"of which crv_klein_solve1 {t_solve * 1e6:.1f} us, "
              f"kf_hot_loop (n = 6 states) {t_filter * 1e6:.1f} us")
    if args.markdown:
        print("| objective (RBC, T = 200, 2 observables) | time per evaluation | evaluations/s "
              "| log-posterior |")
        print("|---|---|---|---|")
        for kind, t, value in rows:
            print(f"| crv_post_{kind} | {t * 1e6:.1f} us | {1 / t:,.0f} | {value:.6f} |")
        print(f"| Python (SciPy ordqz, statsmodels, scipy.stats) | {t_py * 1e3:.2f} ms "
              f"| {1 / t_py:,.0f} | {reference:.6f} |")
        print(f"\ncrv_post_linear is {t_py / t_lin:.1f} times faster than the Python evaluation "
              f"({stages}).")
    else:
        for kind, t, value in rows:
            print(f"crv_post_{kind:9s} {t * 1e6:9.1f} us  {1 / t:10,.0f} eval/s  "
                  f"log-posterior {value:.6f}")
        print(f"Python reference   {t_py * 1e6:9.1f} us  {1 / t_py:10,.0f} eval/s  "
              f"log-posterior {reference:.6f}")
        print(f"speed-up of crv_post_linear over Python: {t_py / t_lin:.1f}x")
        print(stages)


if __name__ == "__main__":
    main()
