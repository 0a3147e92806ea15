"""Prior distributions of estimated parameters, parameterised as in Dynare.

Each prior is given by its mean and standard deviation (``Uniform`` also by
its bounds) and, for the shapes that have one, a shifted support:

    from Corvane.priors import Beta, Gamma, InvGamma1, Normal
    Beta(0.9, 0.05)                  # on [0, 1]
    Beta(0.0, 0.3, lower=-1, upper=1)
    Gamma(2.0, 0.5)
    InvGamma1(0.01, float("inf"))    # Dynare's `inv_gamma_pdf, 0.01, inf`

The density is evaluated by the compiled belief-plan kernel from the row the
prior compiles to (`plan_row`), so ``logpdf`` is exactly what an estimation
adds to the log-likelihood.
"""

import math

import numpy as np
from scipy import optimize, special

from .errors import EstimationError

__all__ = ["Beta", "Gamma", "InvGamma1", "InvGamma2", "Normal", "Prior", "Uniform", "Weibull",
           "from_dynare"]


def _codes():
    from ._ckernels.ffi.beliefplan import DISTRIBUTION_CODES, TRANSFORM_CODES

    return DISTRIBUTION_CODES, TRANSFORM_CODES


def _positive(value, what):
    value = float(value)
    if not value > 0:
        raise EstimationError(f"{what} must be positive, got {value!r}")
    return value


class Prior:
    """A prior density of one estimated parameter.

    Attributes
    ----------
    shape : str
        The Dynare name of the shape (``"beta_pdf"``, ...).
    mean, sd : float
        Mean and standard deviation (``sd`` may be infinite).
    support : tuple of float
        (lower, upper) of the support.
    """

    shape = ""

    def __init__(self, mean, sd, lower=-math.inf, upper=math.inf):
        self.mean = float(mean)
        self.sd = float(sd)
        self.support = (float(lower), float(upper))

    # -- what subclasses define ----------------------------------------------------
    def _row(self):
        """(distribution name, parameter values) of the belief-plan row."""
        raise NotImplementedError

    # -- common behaviour ------------------------------------------------------------
    def plan_row(self):
        """The belief-plan row: (distribution code, 5 distribution parameters,
        transform code, 3 transform parameters). The transform maps the real
        line onto the support."""
        dist, tcode = _codes()
        name, values = self._row()
        dparams = np.zeros(5)
        dparams[:len(values)] = values
        lo, hi = self.support
        if math.isinf(lo) and math.isinf(hi):
            transform, tparams = tcode["identity"], (0.0, 0.0, 0.0)
        elif math.isinf(hi):
            transform, tparams = ((tcode["log"], (0.0, 0.0, 0.0)) if lo == 0.0
                                  else (tcode["lower"], (lo, 0.0, 0.0)))
        elif math.isinf(lo):
            transform, tparams = tcode["upper"], (hi, 0.0, 0.0)
        elif (lo, hi) == (0.0, 1.0):
            transform, tparams = tcode["logit"], (0.0, 0.0, 0.0)
        else:
            transform, tparams = tcode["aff_logit"], (lo, hi, hi - lo)
        return dist[name], dparams, transform, np.array(tparams, dtype=float)

    def logpdf(self, x):
        """Log density at x (scalar or array); -inf outside the support."""
        from ._ckernels.estimation import _beliefplan

        code, params, _, _ = self.plan_row()
        x = np.asarray(x, dtype=float)
        out = np.array([_beliefplan.dist_logpdf(code, params, float(v)) for v in x.ravel()])
        out[np.isnan(out)] = -np.inf
        return out.reshape(x.shape) if x.ndim else float(out[0])

    def pdf(self, x):
        """Density at x."""
        return np.exp(self.logpdf(x))

    def _args(self):
        args = [f"{self.mean:g}", f"{self.sd:g}"]
        return args

    def __repr__(self):
        return f"{type(self).__name__}({', '.join(self._args())})"

    def __eq__(self, other):
        return (type(self) is type(other) and self.mean == other.mean and self.sd == other.sd
                and self.support == other.support)

    def __hash__(self):
        return hash((type(self).__name__, self.mean, self.sd, self.support))


class Normal(Prior):
    """Normal prior with the given mean and standard deviation."""

    shape = "normal_pdf"

    def __init__(self, mean, sd):
        super().__init__(mean, _positive(sd, "Normal: sd"))

    def _row(self):
        return "normal", (self.mean, self.sd**2)


class Beta(Prior):
    """Beta prior with the given mean and sd on [lower, upper] (Dynare's
    generalised beta when the bounds are not 0 and 1)."""

    shape = "beta_pdf"

    def __init__(self, mean, sd, lower=0.0, upper=1.0):
        lower, upper = float(lower), float(upper)
        if not upper > lower:
            raise EstimationError(f"Beta: upper ({upper}) must exceed lower ({lower})")
        super().__init__(mean, _positive(sd, "Beta: sd"), lower, upper)
        w = upper - lower
        m, s = (self.mean - lower) / w, self.sd / w
        if not 0 < m < 1:
            raise EstimationError(f"Beta: the mean {mean} must lie inside ({lower}, {upper})")
        k = m * (1 - m) / s**2 - 1
        if not k > 0:
            raise EstimationError(f"Beta: sd {sd} is too large for mean {mean} on "
                                  f"[{lower}, {upper}]; it must be below "
                                  f"{w * math.sqrt(m * (1 - m)):.6g}")
        self.a, self.b = m * k, (1 - m) * k

    def _row(self):
        lo, hi = self.support
        if (lo, hi) == (0.0, 1.0):
            return "beta", (self.a, self.b, special.betaln(self.a, self.b))
        return "gen_beta", (self.a, self.b, lo, hi,
                            special.betaln(self.a, self.b) + math.log(hi - lo))

    def _args(self):
        args = super()._args()
        if self.support != (0.0, 1.0):
            args += [f"lower={self.support[0]:g}", f"upper={self.support[1]:g}"]
        return args


class Gamma(Prior):
    """Gamma prior with the given mean and sd on [lower, inf)."""

    shape = "gamma_pdf"

    def __init__(self, mean, sd, lower=0.0):
        super().__init__(mean, _positive(sd, "Gamma: sd"), lower)
        m = self.mean - self.support[0]
        if not m > 0:
            raise EstimationError(f"Gamma: the mean {mean} must exceed lower ({lower})")
        self.k, self.theta = (m / self.sd) ** 2, self.sd**2 / m

    def _row(self):
        const = special.gammaln(self.k) + self.k * math.log(self.theta)
        lo = self.support[0]
        if lo == 0.0:
            return "gamma", (self.k, self.theta, const)
        return "shifted_gamma", (self.k, self.theta, lo, const)

    def _args(self):
        lo = self.support[0]
        return super()._args() + ([f"lower={lo:g}"] if lo else [])


def _inv_gamma1_nu(mean, sd):
    """nu of the inverse gamma of type 1 with this mean and sd: with r(nu) =
    Gamma((nu - 1) / 2) / Gamma(nu / 2), mean^2 = s r^2 / 2 and
    sd^2 + mean^2 = s / (nu - 2)."""
    target = 1.0 + (sd / mean) ** 2

    def excess(nu):
        logr = special.gammaln((nu - 1) / 2) - special.gammaln(nu / 2)
        return math.log(2.0) - math.log(nu - 2) - 2 * logr - math.log(target)

    hi = 4.0
    while excess(hi) > 0:
        hi *= 2
        if hi > 1e12:
            raise EstimationError(f"InvGamma1: no shape fits mean {mean} and sd {sd}")
    return optimize.brentq(excess, 2.0 + 1e-12, hi, xtol=1e-14, rtol=4 * np.finfo(float).eps,
                           maxiter=500)


class InvGamma1(Prior):
    """Inverse gamma of type 1: a prior on a standard deviation x with
    density proportional to x^-(nu+1) exp(-s / (2 x^2)) (x^2 is inverse
    gamma with shape nu/2 and scale s/2). An infinite sd means nu = 2."""

    shape = "inv_gamma1_pdf"

    def __init__(self, mean, sd, lower=0.0):
        super().__init__(_positive(mean, "InvGamma1: mean"), _positive(sd, "InvGamma1: sd"),
                         lower)
        m = self.mean - self.support[0]
        if not m > 0:
            raise EstimationError(f"InvGamma1: the mean {mean} must exceed lower ({lower})")
        self.nu = 2.0 if math.isinf(self.sd) else _inv_gamma1_nu(m, self.sd)
        logr = special.gammaln((self.nu - 1) / 2) - special.gammaln(self.nu / 2)
        self.s = 2 * m**2 / math.exp(2 * logr)

    def _row(self):
        half = self.nu / 2
        const = math.log(2.0) + half * math.log(self.s / 2) - special.gammaln(half)
        return "inv_gamma1", (self.nu, self.s, self.support[0], const)


class InvGamma2(Prior):
    """Inverse gamma of type 2: density proportional to x^-(nu/2+1)
    exp(-s / (2 x)) (an inverse gamma with shape nu/2 and scale s/2), with
    mean s / (nu - 2); an infinite sd means nu = 4."""

    shape = "inv_gamma2_pdf"

    def __init__(self, mean, sd, lower=0.0):
        super().__init__(_positive(mean, "InvGamma2: mean"), _positive(sd, "InvGamma2: sd"),
                         lower)
        m = self.mean - self.support[0]
        if not m > 0:
            raise EstimationError(f"InvGamma2: the mean {mean} must exceed lower ({lower})")
        self.nu = 4.0 if math.isinf(self.sd) else 2 * (m / self.sd) ** 2 + 4
        self.s = m * (self.nu - 2)

    def _row(self):
        alpha, beta = self.nu / 2, self.s / 2
        const = alpha * math.log(beta) - special.gammaln(alpha)
        lo = self.support[0]
        if lo == 0.0:
            return "invgamma", (alpha, beta, const)
        return "shifted_invgamma", (alpha, beta, lo, const)


class Uniform(Prior):
    """Uniform prior on [lower, upper]; `Uniform.from_moments(mean, sd)` as
    Dynare's `uniform_pdf, mean, sd`."""

    shape = "uniform_pdf"

    def __init__(self, lower, upper):
        lower, upper = float(lower), float(upper)
        if not upper > lower:
            raise EstimationError(f"Uniform: upper ({upper}) must exceed lower ({lower})")
        super().__init__((lower + upper) / 2, (upper - lower) / math.sqrt(12), lower, upper)

    @classmethod
    def from_moments(cls, mean, sd):
        half = math.sqrt(3) * _positive(sd, "Uniform: sd")
        return cls(float(mean) - half, float(mean) + half)

    def _row(self):
        lo, hi = self.support
        return "uniform", (lo, hi, hi - lo)

    def _args(self):
        return [f"{self.support[0]:g}", f"{self.support[1]:g}"]


class Weibull(Prior):
    """Weibull prior with the given mean and sd on [lower, inf)."""

    shape = "weibull_pdf"

    def __init__(self, mean, sd, lower=0.0):
        super().__init__(mean, _positive(sd, "Weibull: sd"), lower)
        m = self.mean - self.support[0]
        if not m > 0:
            raise EstimationError(f"Weibull: the mean {mean} must exceed lower ({lower})")
        target = math.log1p((self.sd / m) ** 2)

        def excess(logk):
            k = math.exp(logk)
            return special.gammaln(1 + 2 / k) - 2 * special.gammaln(1 + 1 / k) - target

        logk = optimize.brentq(excess, math.log(1e-3), math.log(1e4), xtol=1e-15,
                               rtol=4 * np.finfo(float).eps, maxiter=500)
        self.k = math.exp(logk)
        self.scale = m / math.exp(special.gammaln(1 + 1 / self.k))

    def _row(self):
        const = math.log(self.k) - self.k * math.log(self.scale)
        return "weibull", (self.k, self.scale, self.support[0], const)


def from_dynare(shape, mean, sd, p3=None, p4=None):
    """The prior an `estimated_params` line writes: shape as in Dynare
    (``"beta_pdf"``, ...), mean, sd and the optional 3rd and 4th parameters."""
    lower = 0.0 if p3 is None else float(p3)
    if shape == "beta_pdf":
        return Beta(mean, sd, lower, 1.0 if p4 is None else p4)
    if shape == "gamma_pdf":
        return Gamma(mean, sd, lower)
    if shape == "normal_pdf":
        return Normal(mean, sd)
    if shape in ("inv_gamma_pdf", "inv_gamma1_pdf"):
        return InvGamma1(mean, sd, lower)
    if shape == "inv_gamma2_pdf":
        return InvGamma2(mean, sd, lower)
    if shape == "weibull_pdf":
        return Weibull(mean, sd, lower)
    if shape == "uniform_pdf":
        if p3 is not None and p4 is not None:
            if mean is not None or sd is not None:
                raise EstimationError("uniform_pdf takes either its mean and sd or its "
                                      "bounds (3rd and 4th parameters), not both")
            return Uniform(p3, p4)
        return Uniform.from_moments(mean, sd)
    raise EstimationError(f"unknown prior shape {shape!r}")
