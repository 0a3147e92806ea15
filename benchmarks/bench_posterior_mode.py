"""Posterior mode of the RBC example: crv_lbfgsb over crv_min_linear_lp from a
fixed start, beside SciPy's L-BFGS-B driving the same compiled objective
through ctypes.

The objective is the one of bench_objectives.py (RBC, T = 200 simulated
observations of log output and log consumption, four estimated values with
beta and inverse-gamma priors), built with `Corvane._bridge.objective.Objective`. SciPy
gets the kernel driver's forward-difference gradient (step max(|x_j|, 1) 2^-26,
n + 1 evaluations per gradient) so that both run the same algorithm on the
same function values; both use m = 10, factr = 1e7, pgtol = 1e-5, maxls = 20.

    python benchmarks/bench_posterior_mode.py [--repeat 15] [--markdown]
"""

import argparse
import ctypes

from bench_mcmc import best_times
from bench_objectives import SCATTER, SD_MEAS, THETA, belief_plan, simulate, timeit  # 1 thread

import numpy as np  # noqa: E402
from scipy.optimize import minimize  # noqa: E402

from Corvane._bridge import objective as O  # noqa: E402
from Corvane._bridge.examples import example_model  # noqa: E402
from Corvane._ckernels import ffi  # noqa: E402

op = ffi.optimize
FACTR, PGTOL, M, MAXLS = 1e7, 1e-5, 10, 20


def kernel_mode(lib, obj):
    fn, ctx = obj.callback("crv_min_linear_lp")
    options = op.crv_lbfgsb_options(m=M, maxiter=0, maxfun=0, maxls=MAXLS, factr=FACTR,
                                    pgtol=PGTOL, fd_step=0.0)
    result = op.crv_opt_result()
    x = THETA.copy()

    def run():
        x[:] = THETA
        lib.crv_lbfgsb(op.crv_opt_fn(fn), ctx, len(x), x, None, None, None,
                       ctypes.byref(options), ctypes.byref(result))
        return x.copy(), result.fun, result.nfev, result.nit, result.message.decode()

    return run


def scipy_mode(obj):
    """SciPy L-BFGS-B on crv_min_linear_lp called through ctypes, with the
    kernel driver's forward-difference gradient."""
    fn_address, ctx = obj.callback("crv_min_linear_lp")
    fn = ffi.objective.OBJECTIVE_FN(fn_address)
    dp = ctypes.POINTER(ctypes.c_double)
    calls = [0]

    def f(x):
        calls[0] += 1
        return fn(x.ctypes.data_as(dp), ctx)

    def fun_and_grad(x):
        x = np.array(x, dtype=float)
        fx = f(x)
        g = np.zeros_like(x)
        if not np.isfinite(fx):
            return fx, g
        for j in range(len(x)):
            h = max(abs(x[j]), 1.0) * 2.0 ** -26
            xj = x[j]
            x[j] = xj + h
            fj = f(x)
            x[j] = xj
            g[j] = (fj - fx) / h if np.isfinite(fj) else 0.0
        return fx, g

    def run():
        calls[0] = 0
        res = minimize(fun_and_grad, THETA, jac=True, method="L-BFGS-B",
                       options=dict(maxcor=M, ftol=FACTR * np.finfo(float).eps, gtol=PGTOL,
                                    maxls=MAXLS))
        return res.x, res.fun, calls[0], res.nit, res.message

    return run


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--markdown", action="store_true", help="print a Markdown table")
    args = parser.parse_args()

    lib = ffi.load("beliefplan")
    obj = O.Objective(lib, example_model("rbc"), simulate(), SCATTER, O.cov_pairs([5]),
                      O.cov_pairs([6, 7]), extra_params=SD_MEAS, plan=belief_plan(),
                      P0=1e-4 * np.eye(6))
    cases = (("crv_lbfgsb (compiled objective)", kernel_mode(lib, obj)),
             ("SciPy L-BFGS-B (same objective via ctypes)", scipy_mode(obj)))
    times = best_times([run for _, run in cases], args.repeat)
    rows = [(name, t, *run()) for (name, run), t in zip(cases, times)]
    (_, _, x_c, f_c, *_), (_, _, x_s, f_s, *_) = rows
    assert abs(f_c - f_s) <= 1e-6 * abs(f_s), (f_c, f_s)

    start = obj.minimise_lp(THETA)
    # the objective alone, as many evaluations as the kernel run made
    theta = THETA.copy()
    t_obj = timeit(lambda: lib.crv_min_linear_lp(theta, obj.address), args.repeat, 20)
    overhead = ", ".join(f"{short} {(t - nfev * t_obj) * 1e3:.1f} ms"
                         for short, (_, t, _, _, nfev, *_) in zip(("crv_lbfgsb", "SciPy"), rows))
    natural = ("rho", "sigma_e", "sd_y", "sd_c")

    def to_natural(x):
        return np.concatenate([[1 / (1 + np.exp(-x[0]))], np.exp(x[1:])])

    if args.markdown:
        print(f"| RBC posterior mode (4 parameters, T = 200), from -log posterior "
              f"{start:.3f} | wall time | evaluations | iterations | evaluations/s "
              "| -log posterior at the mode |")
        print("|---|---|---|---|---|---|")
        for name, t, x, fun, nfev, nit, message in rows:
            print(f"| {name} | {t * 1e3:.1f} ms | {nfev} | {nit} | {nfev / t:,.0f} "
                  f"| {fun:.6f} |")
        print("\nMode (" + ", ".join(natural) + "): crv_lbfgsb "
              + ", ".join(f"{v:.5g}" for v in to_natural(x_c)) + "; SciPy "
              + ", ".join(f"{v:.5g}" for v in to_natural(x_s)) + ".")
        print(f"\nOne evaluation of crv_min_linear_lp alone: {t_obj * 1e6:.1f} us; wall time "
              f"beyond the evaluations: {overhead}.")
    else:
        print(f"start: -log posterior {start:.6f}")
        for name, t, x, fun, nfev, nit, message in rows:
            print(f"{name:44s} {t * 1e3:8.1f} ms  nfev {nfev:4d}  nit {nit:3d}  "
                  f"{nfev / t:9,.0f} eval/s  f {fun:.6f}  ({message})")
            print(" " * 44 + "  mode " + ", ".join(
                f"{k} {v:.5g}" for k, v in zip(natural, to_natural(x))))
        print(f"objective alone {t_obj * 1e6:.1f} us per evaluation; beyond it: {overhead}")


if __name__ == "__main__":
    main()
