"""Calls of the extension modules as a user writes them, with the types the
stubs promise: `mypy --strict` checks this file against the stubs (.ci/run)
and test_stubs.py runs it and checks the same types at run time."""

from typing import assert_type

import numpy as np
from numpy.typing import NDArray

from Corvane._ckernels.estimation import _beliefplan
from Corvane._ckernels.monte_carlo import _regression
from Corvane._ckernels.transforms import _transforms


def calls() -> list[tuple[object, type]]:
    """(result, the class the stub says it has) of one call of each kind."""
    out: list[tuple[object, type]] = []

    y = _transforms.logit_fwd(0.25)
    assert_type(y, np.float64)
    out.append((y, np.float64))
    ys = _transforms.aff_logit_fwd(np.array([0.5, 1.5]), 0.0, 2.0)
    assert_type(ys, NDArray[np.float64])
    out.append((ys, np.ndarray))
    xs = _transforms.lower_inv([0.0, 1.0], 3.0)
    assert_type(xs, NDArray[np.float64])
    out.append((xs, np.ndarray))
    g = _transforms.tanh_grad_inv((0.1, -0.2))
    assert_type(g, NDArray[np.float64])
    out.append((g, np.ndarray))

    X = np.array([[1.0], [2.0], [4.0]])
    target = np.array([1.0, 2.0, 2.5])
    p = 2
    coef, se = np.empty(p), np.empty(p)
    rss, tss, status = _regression.ols_fit(X, target, coef, se, np.empty(p * p),
                                           np.empty(p * p), np.empty(p), np.empty(p))
    assert_type(rss, float)
    assert_type(status, int)
    out += [(rss, float), (tss, float), (status, int)]

    lp = _beliefplan.dist_logpdf(1, np.array([0.0, 1.0]), 0.3)
    assert_type(lp, float)
    out.append((lp, float))
    x, logjac = _beliefplan.transform_inverse_and_logjac(2, None, 0.1)
    assert_type(logjac, float)
    out += [(x, float), (logjac, float)]
    cov, L = _beliefplan.cov_from_unconstrained([0.3], [1.0, 2.0])
    assert_type(L, NDArray[np.float64])
    out += [(cov, np.ndarray), (L, np.ndarray)]
    z = _beliefplan.unconstrained_from_corr_chol(L)
    assert_type(z, NDArray[np.float64])
    out.append((z, np.ndarray))
    return out
