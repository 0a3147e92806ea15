"""The shared argument helper of _regression and _beliefplan (pyargs.hpp):
float64 and int64 buffers that are not aligned to 8 bytes are read from an
aligned copy when the kernel only reads them, and refused with a ValueError
naming the argument when the kernel writes them. Either way no kernel ever
touches misaligned memory (the sanitizer build would abort)."""

import numpy as np
import pytest
from scipy import stats

from Corvane._ckernels.estimation import _beliefplan as bp
from Corvane._ckernels.monte_carlo import _regression as reg


def misaligned(a, writable=True):
    """A copy of `a` (same dtype and shape, C order) one byte off alignment."""
    a = np.ascontiguousarray(a)
    buf = bytearray(a.nbytes + 1)
    out = np.frombuffer(buf, dtype=a.dtype, offset=1, count=a.size).reshape(a.shape)
    out[...] = a
    assert not out.flags.aligned
    if not writable:
        out = np.frombuffer(bytes(buf), dtype=a.dtype, offset=1, count=a.size).reshape(a.shape)
    return out


RNG = np.random.default_rng(20261208)
Z, Y = RNG.standard_normal((30, 2)), RNG.standard_normal(30)
P = 3  # with the intercept column


def ols(X=Z, y=Y, **bufs):
    args = dict(coef=np.empty(P), se=np.empty(P), L=np.empty(P * P), G=np.empty(P * P),
                g=np.empty(P), work=np.empty(P))
    args.update(bufs)
    return reg.ols_fit(X, y, **args)


PLAN = dict(
    theta=np.array([0.3, -1.2, 0.4, 0.1, -0.2]),
    scalar_indices=np.array([0, 1], dtype=np.int64),
    scalar_dist_codes=np.array([1, 3], dtype=np.int64),
    scalar_transform_codes=np.array([1, 2], dtype=np.int64),
    scalar_dist_params=np.array([[0.0, 2.0, 0, 0, 0], [1.5, 0, 0, 0, 0]]),
    scalar_transform_params=np.zeros((2, 3)),
    matrix_offsets=np.array([2], dtype=np.int64),
    matrix_dims=np.array([3], dtype=np.int64),
    matrix_lengths=np.array([3], dtype=np.int64),
    matrix_etas=np.array([2.0]),
    matrix_log_constants=np.array([-0.7]),
)


def plan(**shifted):
    return bp.logbeliefplan(**{**PLAN, **shifted})


def norm_logpdf(x, mean, var):
    return stats.norm(mean, np.sqrt(var)).logpdf(x)


def plan_reference():
    # normal prior on theta[0], half-normal on exp(theta[1]) plus its
    # log-Jacobian theta[1], and the LKJ block by the kernel on aligned data.
    x1 = np.exp(PLAN["theta"][1])
    half = stats.halfnorm(scale=1.5).logpdf(x1) + PLAN["theta"][1]
    lkj = bp.lkj_chol_logpdf_from_z(PLAN["theta"][2:].copy(), 3, 3, 2.0, -0.7)
    return norm_logpdf(0.3, 0.0, 2.0) + half + lkj


# (id, call with misaligned read-only inputs, independent reference value)
INPUTS = [
    ("beliefplan dist_logpdf params",
     lambda: bp.dist_logpdf(1, misaligned(np.array([0.5, 2.0, 0, 0, 0])), 1.3),
     lambda: norm_logpdf(1.3, 0.5, 2.0)),
    ("beliefplan dist_logpdf read-only params",
     lambda: bp.dist_logpdf(1, misaligned(np.array([0.5, 2.0, 0, 0, 0]), writable=False), 1.3),
     lambda: norm_logpdf(1.3, 0.5, 2.0)),
    ("beliefplan transform params",
     lambda: bp.transform_inverse_and_logjac(8, misaligned(np.array([2.0, 0.0, 0.0])), 0.4),
     lambda: (2.0 + np.exp(0.4), 0.4)),
    ("beliefplan lkj z",
     lambda: bp.lkj_chol_logjac(misaligned(np.array([0.3])), 2, 1),
     lambda: np.log1p(-np.tanh(0.3) ** 2)),
    ("beliefplan logbeliefplan theta",
     lambda: plan(theta=misaligned(PLAN["theta"])), plan_reference),
    ("beliefplan logbeliefplan int64 and 2-D arrays",
     lambda: plan(**{k: misaligned(v) for k, v in PLAN.items() if k != "theta"}),
     plan_reference),
    ("regression ols X and y",
     lambda: ols(X=misaligned(Z), y=misaligned(Y))[0],
     lambda: np.linalg.lstsq(np.column_stack([np.ones(30), Z]), Y, rcond=None)[1][0]),
]


@pytest.mark.parametrize("call,reference", [c[1:] for c in INPUTS], ids=[c[0] for c in INPUTS])
def test_misaligned_input_is_read_from_a_copy(call, reference):
    np.testing.assert_allclose(call(), reference(), rtol=1e-12, atol=1e-12)


# (id, call with one misaligned output, the argument named in the error)
OUTPUTS = [
    ("regression ols coef", lambda: ols(coef=misaligned(np.empty(P))), "coef"),
    ("regression ols se", lambda: ols(se=misaligned(np.empty(P))), "se"),
    ("regression ols G", lambda: ols(G=misaligned(np.empty(P * P))), "G"),
    ("regression ridge_gs alphas",
     lambda: reg.ridge_gs_fit(Z, Y, misaligned(np.array([0.1, 1.0])), 3, np.empty(P),
                              np.empty(P * P), np.empty(P * P), np.empty(P * P), np.empty(P),
                              np.empty(P), np.empty(P)), "alphas"),
    ("regression elastic_net_gs int64 statuses",
     lambda: reg.elastic_net_gs_fit(Z, Y, np.array([0.1, 1.0]), 0.5, 3, np.empty(P), 100, 1e-8,
                                    np.empty(P * P), np.empty(P * P), np.empty(P), np.empty(4),
                                    misaligned(np.zeros(2, dtype=np.int64)), np.empty(P),
                                    np.empty(P), np.empty(3 * 4 + 2)), "statuses"),
]


@pytest.mark.parametrize("call,name", [c[1:] for c in OUTPUTS], ids=[c[0] for c in OUTPUTS])
def test_misaligned_output_is_refused(call, name):
    with pytest.raises(ValueError, match=rf"\b{name}\b.*aligned to 8 bytes"):
        call()
