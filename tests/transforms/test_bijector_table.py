"""The bijector, transform and distribution table (bijectors.def) as the
ctypes binding and the modules read it: its rows against the contract's
tables, and the parameter counts against what the kernels actually read."""

import numpy as np
import pytest

from Corvane._ckernels import ffi
from Corvane._ckernels.estimation import _beliefplan as bp
from Corvane._ckernels.ffi import beliefplan, bijectors

# The contract, written out independently of the table.
AFFINE_OPS = ("fwd", "inv", "grad_fwd", "grad_inv", "ldet_abs_jac_fwd", "ldet_abs_jac_inv")
ONE_BOUND_OPS = ("fwd", "inv", "grad_fwd", "ldet_abs_jac_fwd")


def contract_bounds(b, op):
    if b in ("aff_logit", "aff_probit") and op in AFFINE_OPS:
        return ("low", "high")
    if b == "lower" and op in ONE_BOUND_OPS:
        return ("low",)
    if b == "upper" and op in ONE_BOUND_OPS:
        return ("high",)
    return ()


BIJECTORS = ("log", "logit", "probit", "aff_logit", "aff_probit", "softplus", "lower", "upper",
             "tanh")
OPERATIONS = ("fwd", "inv", "grad_fwd", "grad_inv", "ldet_abs_jac_fwd", "ldet_abs_jac_inv",
              "grad_ldet_abs_jac_inv")
TRANSFORMS = {"identity": (1, 0), "log": (2, 0), "softplus": (3, 0), "logit": (4, 0),
              "probit": (5, 0), "aff_logit": (6, 3), "aff_probit": (7, 3), "lower": (8, 1),
              "upper": (9, 1), "tanh": (10, 0)}
DISTRIBUTIONS = {"normal": (1, 2), "lognormal": (2, 2), "halfnormal": (3, 1),
                 "truncnormal": (4, 5), "halfcauchy": (5, 1), "beta": (6, 3), "gamma": (7, 3),
                 "invgamma": (8, 3), "uniform": (9, 3), "gen_beta": (10, 5),
                 "shifted_gamma": (11, 4), "inv_gamma1": (12, 4), "shifted_invgamma": (13, 4),
                 "weibull": (14, 4)}


def test_bijector_rows_match_the_contract():
    assert bijectors.BIJECTORS == BIJECTORS
    assert bijectors.OPERATIONS == OPERATIONS
    expected = {(b, op): contract_bounds(b, op) for b in BIJECTORS for op in OPERATIONS}
    assert bijectors.BOUNDS == expected


def test_belief_plan_codes_match_the_contract():
    assert {n: (c, beliefplan.TRANSFORM_PARAMS_READ[c])
            for n, c in beliefplan.TRANSFORM_CODES.items()} == TRANSFORMS
    assert {n: (c, beliefplan.DIST_PARAMS_READ[c])
            for n, c in beliefplan.DISTRIBUTION_CODES.items()} == DISTRIBUTIONS


# A point inside each code's domain and a parameter row valid for it.
TRANSFORM_ROWS = {6: [-1.0, 0.0, 3.0], 7: [-1.0, 0.0, 3.0], 8: [2.0], 9: [2.0]}
DIST_ROWS = {1: ([0.5, 2.0], 0.3), 2: ([0.1, 0.7], 1.2), 3: ([1.5], 0.4),
             4: ([0.0, 1.0, -1.0, 2.0, -0.3], 0.5), 5: ([2.0], 0.4), 6: ([2.0, 3.0, -2.5], 0.3),
             7: ([2.0, 1.5, 0.9], 0.8), 8: ([3.0, 2.0, 0.2], 0.9), 9: ([-1.0, 2.0, 3.0], 0.5),
             10: ([2.0, 3.0, -1.0, 1.0, -1.2], 0.3), 11: ([2.0, 1.5, 0.5, 0.9], 0.8),
             12: ([3.0, 2.0, 0.1, 0.2], 0.9), 13: ([3.0, 2.0, 0.1, 0.2], 0.9),
             14: ([1.5, 2.0, 0.2, 0.3], 0.9)}


@pytest.mark.parametrize("code", sorted(beliefplan.TRANSFORM_PARAMS_READ))
def test_transform_reads_exactly_its_parameters(code):
    nread = beliefplan.TRANSFORM_PARAMS_READ[code]
    row = TRANSFORM_ROWS.get(code, [])
    assert len(row) == nread
    # Values beyond the count (and p[1]) are NaN: a kernel reading them gives NaN.
    full = np.array(row + [np.nan] * (3 - nread))
    full[1] = np.nan
    x, logjac = bp.transform_inverse_and_logjac(code, full, 0.3)
    assert np.isfinite(x) and np.isfinite(logjac)
    assert (x, logjac) == bp.transform_inverse_and_logjac(code, np.array(row) if row else None, 0.3)
    if nread:
        with pytest.raises(ValueError, match=f"reads {nread} parameters"):
            bp.transform_inverse_and_logjac(code, np.array(row[:-1]), 0.3)


@pytest.mark.parametrize("code", sorted(beliefplan.DIST_PARAMS_READ))
def test_distribution_reads_exactly_its_parameters(code):
    nread = beliefplan.DIST_PARAMS_READ[code]
    row, x = DIST_ROWS[code]
    assert len(row) == nread
    value = bp.dist_logpdf(code, np.array(row + [np.nan] * (5 - nread)), x)
    assert np.isfinite(value)
    assert value == bp.dist_logpdf(code, np.array(row), x)
    with pytest.raises(ValueError, match=f"reads {nread} parameters"):
        bp.dist_logpdf(code, np.array(row[:-1]), x)


def test_every_bijector_row_is_exported_by_transforms():
    lib = ffi.load("transforms")
    for b, op in bijectors.BOUNDS:
        for name in (f"crv_{b}_{op}", f"crv_{b}_{op}_arr"):
            assert hasattr(lib, name), name
