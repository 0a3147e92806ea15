"""Prior shapes against scipy.stats: densities, moments, supports."""

import math

import numpy as np
import pytest
from scipy import stats

from Corvane.errors import EstimationError
from Corvane.priors import (Beta, Gamma, InvGamma1, InvGamma2, Normal, Uniform, Weibull,
                            from_dynare)


def _inv_gamma1_scipy(nu, s, lower=0.0):
    # x^2 ~ InvGamma(nu/2, scale s/2): the density of x = sqrt(x^2) by change of variable
    ig = stats.invgamma(nu / 2, scale=s / 2)
    return lambda x: ig.logpdf((x - lower) ** 2) + np.log(2 * (x - lower))


# (prior, frozen scipy distribution or log-density, interior points)
CASES = [
    ("normal", Normal(0.5, 0.2), stats.norm(0.5, 0.2)),
    ("beta01", Beta(0.7, 0.1), None),
    ("beta_gen", Beta(0.0, 0.3, lower=-1, upper=1), None),
    ("gamma", Gamma(2.0, 0.5), stats.gamma(16.0, scale=0.125)),
    ("gamma_shift", Gamma(3.0, 0.5, lower=1.0), stats.gamma(16.0, loc=1.0, scale=0.125)),
    ("invgamma2", InvGamma2(0.1, 0.05), None),
    ("invgamma2_shift", InvGamma2(0.3, 0.05, lower=0.2), None),
    ("uniform", Uniform(-0.5, 1.5), stats.uniform(-0.5, 2.0)),
    ("weibull", Weibull(1.0, 0.4), None),
    ("weibull_shift", Weibull(1.5, 0.4, lower=0.5), None),
    ("invgamma1", InvGamma1(0.02, 0.01), None),
    ("invgamma1_inf", InvGamma1(0.02, math.inf), None),
]


def _scipy(prior):
    if isinstance(prior, Beta):
        lo, hi = prior.support
        return stats.beta(prior.a, prior.b, loc=lo, scale=hi - lo)
    if isinstance(prior, InvGamma2):
        return stats.invgamma(prior.nu / 2, loc=prior.support[0], scale=prior.s / 2)
    if isinstance(prior, Weibull):
        return stats.weibull_min(prior.k, loc=prior.support[0], scale=prior.scale)
    return None


@pytest.mark.parametrize("name,prior,frozen", CASES, ids=[c[0] for c in CASES])
def test_logpdf_against_scipy(name, prior, frozen):
    frozen = frozen or _scipy(prior)
    if isinstance(prior, InvGamma1):
        logpdf = _inv_gamma1_scipy(prior.nu, prior.s)
        x = np.linspace(0.005, 0.08, 9)
    else:
        logpdf = frozen.logpdf
        x = frozen.ppf(np.linspace(0.02, 0.98, 9))
    np.testing.assert_allclose(prior.logpdf(x), logpdf(x), rtol=1e-12, atol=1e-12)
    assert np.isfinite(prior.logpdf(float(x[3])))


@pytest.mark.parametrize("name,prior,frozen", [c for c in CASES if "inf" not in c[0]],
                         ids=[c[0] for c in CASES if "inf" not in c[0]])
def test_moments_are_the_ones_asked_for(name, prior, frozen):
    if isinstance(prior, InvGamma1):
        # E x = sqrt(s/2) G((nu-1)/2) / G(nu/2), E x^2 = s / (nu - 2): by quadrature
        f = _inv_gamma1_scipy(prior.nu, prior.s)
        from scipy.integrate import quad
        m1 = quad(lambda x: x * np.exp(f(x)), 0, np.inf, limit=200)[0]
        m2 = quad(lambda x: x * x * np.exp(f(x)), 0, np.inf, limit=200)[0]
        mean, sd = m1, math.sqrt(m2 - m1**2)
    else:
        frozen = frozen or _scipy(prior)
        mean, sd = frozen.mean(), frozen.std()
    assert mean == pytest.approx(prior.mean, rel=1e-8)
    assert sd == pytest.approx(prior.sd, rel=1e-7)


def test_inv_gamma1_with_infinite_sd_has_nu_two():
    p = InvGamma1(0.02, math.inf)
    assert p.nu == 2.0
    # mean sqrt(s/2) Gamma(1/2) / Gamma(1) = sqrt(pi s / 2)
    assert math.sqrt(math.pi * p.s / 2) == pytest.approx(0.02, rel=1e-14)


@pytest.mark.parametrize("prior,outside", [
    (Beta(0.7, 0.1), [-0.1, 1.1]), (Beta(0.0, 0.3, -1, 1), [-1.2, 1.01]),
    (Gamma(2.0, 0.5), [-0.1]), (Gamma(3.0, 0.5, lower=1.0), [0.99]),
    (InvGamma1(0.02, 0.01), [0.0, -1.0]), (InvGamma2(0.1, 0.05), [0.0]),
    (Uniform(-0.5, 1.5), [-0.51, 1.6]), (Weibull(1.5, 0.4, lower=0.5), [0.4]),
])
def test_outside_the_support_is_minus_infinity(prior, outside):
    assert np.all(prior.logpdf(np.array(outside)) == -np.inf)


def test_plan_row_transform_maps_onto_the_support():
    from Corvane._ckernels.estimation import _beliefplan as bp

    for prior in (Beta(0.0, 0.3, -1, 1), Gamma(3.0, 0.5, lower=1.0), Normal(0, 1),
                  InvGamma1(0.02, 0.01), Uniform(2, 3)):
        _, _, code, tparams = prior.plan_row()
        lo, hi = prior.support
        for z in (-30.0, -1.0, 0.0, 2.0, 30.0):
            x, _ = bp.transform_inverse_and_logjac(code, tparams, z)
            assert lo <= x <= hi


def test_from_dynare_and_errors():
    assert from_dynare("inv_gamma_pdf", 0.01, math.inf) == InvGamma1(0.01, math.inf)
    assert from_dynare("beta_pdf", 0, 0.3, -1, 1) == Beta(0, 0.3, -1, 1)
    assert from_dynare("uniform_pdf", None, None, 0, 2) == Uniform(0, 2)
    assert from_dynare("uniform_pdf", 1, 1 / math.sqrt(3)).support == pytest.approx((0, 2))
    with pytest.raises(EstimationError, match="sd 0.6 is too large"):
        Beta(0.5, 0.6)
    with pytest.raises(EstimationError, match="mean 1.5 must lie inside"):
        Beta(1.5, 0.1)
    with pytest.raises(EstimationError, match="must be positive"):
        Gamma(1.0, -0.1)
