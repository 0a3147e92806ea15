"""Parameter bijectors and belief plans from Python.

Array forms on 10^6 doubles against the equivalent NumPy/SciPy expression,
the per-call cost of a scalar call against a NumPy ufunc on a Python float,
and calls per second of `logbeliefplan` with 20 scalar parameters and one
4 x 4 correlation block.

    python benchmarks/bench_transforms.py [--markdown]
"""

import argparse
import os
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
from scipy import special  # noqa: E402

from Corvane._ckernels.estimation import _beliefplan as bp  # noqa: E402
from Corvane._ckernels.transforms import _transforms as tf  # noqa: E402

N = 10**6
rng = np.random.default_rng(0)
UNIT = rng.uniform(0.01, 0.99, N)  # constrained values in (0, 1)
POS = rng.uniform(0.1, 5.0, N)
REAL = rng.standard_normal(N) * 2.0
LOW, HIGH = -1.0, 3.0
INTERVAL = LOW + (HIGH - LOW) * UNIT


def logistic(y):
    return 1.0 / (np.exp(-y) + 1.0)


# (name, Corvane call, NumPy/SciPy equivalent); the equivalents follow the
# same formulas so the outputs agree to rounding (checked below).
CASES = [
    ("log_fwd", lambda: tf.log_fwd(POS), lambda: np.log(POS)),
    ("log_inv", lambda: tf.log_inv(REAL), lambda: np.exp(REAL)),
    ("logit_fwd", lambda: tf.logit_fwd(UNIT), lambda: np.log(UNIT / (1.0 - UNIT))),
    ("logit_inv", lambda: tf.logit_inv(REAL), lambda: logistic(REAL)),
    ("logit_ldet_abs_jac_inv", lambda: tf.logit_ldet_abs_jac_inv(REAL),
     lambda: -REAL - 2.0 * np.log(np.exp(-REAL) + 1.0)),
    ("probit_fwd", lambda: tf.probit_fwd(UNIT), lambda: special.ndtri(UNIT)),
    ("probit_inv", lambda: tf.probit_inv(REAL), lambda: special.ndtr(REAL)),
    ("aff_logit_inv", lambda: tf.aff_logit_inv(REAL, LOW, HIGH),
     lambda: (HIGH - LOW) / (np.exp(-REAL) + 1.0) + LOW),
    ("aff_probit_inv", lambda: tf.aff_probit_inv(REAL, LOW, HIGH),
     lambda: special.ndtr(REAL) * (HIGH - LOW) + LOW),
    ("softplus_inv", lambda: tf.softplus_inv(REAL),
     lambda: np.where(REAL > 0, REAL + np.log1p(np.exp(-np.abs(REAL))),
                      np.log1p(np.exp(-np.abs(REAL))))),
    ("softplus_fwd", lambda: tf.softplus_fwd(POS), lambda: np.log(np.expm1(POS))),
    ("lower_inv", lambda: tf.lower_inv(REAL, LOW), lambda: np.exp(REAL) + LOW),
    ("tanh_fwd", lambda: tf.tanh_fwd(UNIT), lambda: np.arctanh(UNIT)),
    ("tanh_inv", lambda: tf.tanh_inv(REAL), lambda: np.tanh(REAL)),
    ("tanh_ldet_abs_jac_inv", lambda: tf.tanh_ldet_abs_jac_inv(REAL),
     lambda: 1.3862943611198906 - 2.0 * (np.log1p(np.exp(-2.0 * np.abs(REAL))) + np.abs(REAL))),
]


def best(fn, repeat=7, inner=1):
    fn()
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(inner):
            fn()
        times.append((time.perf_counter() - t0) / inner)
    return min(times)


def belief_plan_args():
    n_scalar = 20
    theta = rng.standard_normal(n_scalar + 6) * 0.3
    # normal / log / beta on a logit / gamma on an interval (0, 2)
    kw = {
        "theta": theta,
        "scalar_indices": np.arange(n_scalar, dtype=np.int64),
        "scalar_dist_codes": np.array([1, 2, 6, 7] * 5, dtype=np.int64),
        "scalar_transform_codes": np.array([1, 2, 4, 6] * 5, dtype=np.int64),
        "scalar_dist_params": np.tile([[0.5, 0.2, 0.0, 0.0, 0.0],
                                       [0.0, 0.5, 0.0, 0.0, 0.0],
                                       [2.0, 2.0, 0.0, 0.0, 0.0],
                                       [2.0, 1.0, 0.0, 0.0, 0.0]], (5, 1)),
        "scalar_transform_params": np.tile([[0.0, 0.0, 0.0], [0.0, 0.0, 0.0],
                                            [0.0, 0.0, 0.0], [0.0, 0.0, 2.0]], (5, 1)),
        "matrix_offsets": np.array([n_scalar], dtype=np.int64),
        "matrix_dims": np.array([4], dtype=np.int64),
        "matrix_lengths": np.array([6], dtype=np.int64),
        "matrix_etas": np.array([2.0]),
        "matrix_log_constants": np.array([0.0]),
    }
    return kw


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--markdown", action="store_true")
    args = parser.parse_args()

    rows = []
    for name, ours, peer in CASES:
        np.testing.assert_allclose(ours(), peer(), rtol=1e-12, atol=1e-14, err_msg=name)
        t_ours, t_peer = best(ours), best(peer)
        rows.append((name, t_ours * 1e3, t_peer * 1e3, t_peer / t_ours))

    x = 0.3
    t_scalar = best(lambda: tf.log_fwd(x), inner=100000)
    t_ufunc = best(lambda: np.log(x), inner=100000)
    kw = belief_plan_args()
    assert np.isfinite(bp.logbeliefplan(**kw))
    positional = [kw[k] for k in kw]
    t_plan = best(lambda: bp.logbeliefplan(*positional), inner=20000)

    if args.markdown:
        print("| operation (10^6 doubles) | Corvane (ms) | NumPy/SciPy (ms) | speed-up |")
        print("|---|---|---|---|")
        for name, a, b, r in rows:
            print(f"| `{name}` | {a:.2f} | {b:.2f} | {r:.2f}x |")
        print()
        print(f"Scalar call `log_fwd(0.3)`: {t_scalar * 1e9:.0f} ns; `np.log(0.3)`: "
              f"{t_ufunc * 1e9:.0f} ns. `logbeliefplan` (20 scalars, one 4x4 block): "
              f"{1 / t_plan:,.0f} calls/s.")
    else:
        for name, a, b, r in rows:
            print(f"{name:28s} ours {a:7.2f} ms  peer {b:7.2f} ms  x{r:5.2f}")
        print(f"scalar log_fwd {t_scalar * 1e9:.0f} ns vs np.log {t_ufunc * 1e9:.0f} ns")
        print(f"logbeliefplan: {1 / t_plan:,.0f} calls/s")


if __name__ == "__main__":
    main()
