"""Bijector kernels: values against SciPy / closed forms, derivatives against
numerical differentiation, round trips, the exact edge values, scalar versus
array forms and the ctypes binding."""

import ctypes
import math
from fractions import Fraction

import numpy as np
import pytest
import scipy.special as sp
from scipy import stats

from Corvane._ckernels import ffi
from Corvane._ckernels.ffi.bijectors import BIJECTORS, BOUNDS, OPERATIONS
from Corvane._ckernels.transforms import _transforms as T

LOW, HIGH = -1.5, 2.7
W = HIGH - LOW
LOWER_BOUND = 0.7
UPPER_BOUND = -0.3

BOUND_VALUES = {"low": {"aff_logit": LOW, "aff_probit": LOW, "lower": LOWER_BOUND},
                "high": {"aff_logit": HIGH, "aff_probit": HIGH, "upper": UPPER_BOUND}}


def bounds_of(b, op):
    return tuple(BOUND_VALUES[name][b] for name in BOUNDS[b, op])


def call(b, op, v):
    return getattr(T, f"{b}_{op}")(v, *bounds_of(b, op))


# Interior points of each constrained domain and of the real line.
X_POINTS = {
    "log": np.array([1e-3, 0.2, 1.0, 3.5, 40.0]),
    "logit": np.array([1e-4, 0.1, 0.5, 0.73, 0.999]),
    "probit": np.array([1e-6, 0.02, 0.5, 0.81, 0.9999]),
    "aff_logit": LOW + W * np.array([1e-4, 0.1, 0.5, 0.73, 0.999]),
    "aff_probit": LOW + W * np.array([1e-6, 0.02, 0.5, 0.81, 0.9999]),
    "softplus": np.array([1e-3, 0.3, 1.0, 5.0, 30.0]),
    "lower": LOWER_BOUND + np.array([1e-3, 0.2, 1.0, 3.5, 40.0]),
    "upper": UPPER_BOUND - np.array([1e-3, 0.2, 1.0, 3.5, 40.0]),
    "tanh": np.array([-0.999, -0.4, 0.0, 0.3, 0.95]),
}
Y_POINTS = np.array([-6.0, -2.5, -0.3, 0.0, 0.4, 1.7, 6.0])


def _ldet_logistic(y):
    return sp.log_expit(y) + sp.log_expit(-y)


# Independent references: (fwd, inv, dy/dx, dx/dy, ln|dy/dx|, ln|dx/dy|, d/dy ln|dx/dy|).
REFERENCE = {
    "log": (np.log, np.exp, lambda x: 1 / x, np.exp, lambda x: -np.log(x), lambda y: y,
            lambda y: np.ones_like(y)),
    "logit": (sp.logit, sp.expit, lambda x: 1 / (x * (1 - x)),
              lambda y: sp.expit(y) * sp.expit(-y), lambda x: -(np.log(x) + np.log1p(-x)),
              _ldet_logistic, lambda y: -np.tanh(y / 2)),
    "probit": (sp.ndtri, sp.ndtr, lambda x: 1 / stats.norm.pdf(sp.ndtri(x)), stats.norm.pdf,
               lambda x: -stats.norm.logpdf(sp.ndtri(x)), stats.norm.logpdf, lambda y: -y),
    "aff_logit": (lambda x: sp.logit((x - LOW) / W), lambda y: LOW + W * sp.expit(y),
                  lambda x: W / ((x - LOW) * (HIGH - x)),
                  lambda y: W * sp.expit(y) * sp.expit(-y),
                  lambda x: -np.log((x - LOW) * (HIGH - x) / W),
                  lambda y: np.log(W) + _ldet_logistic(y), lambda y: -np.tanh(y / 2)),
    "aff_probit": (lambda x: sp.ndtri((x - LOW) / W), lambda y: LOW + W * sp.ndtr(y),
                   lambda x: 1 / (W * stats.norm.pdf(sp.ndtri((x - LOW) / W))),
                   lambda y: W * stats.norm.pdf(y),
                   lambda x: -np.log(W) - stats.norm.logpdf(sp.ndtri((x - LOW) / W)),
                   lambda y: np.log(W) + stats.norm.logpdf(y), lambda y: -y),
    "softplus": (lambda x: x + np.log(-np.expm1(-x)), lambda y: np.logaddexp(0.0, y),
                 lambda x: -1 / np.expm1(-x), sp.expit, lambda x: -np.log(-np.expm1(-x)),
                 sp.log_expit, lambda y: sp.expit(-y)),
    "lower": (lambda x: np.log(x - LOWER_BOUND), lambda y: np.exp(y) + LOWER_BOUND,
              lambda x: 1 / (x - LOWER_BOUND), np.exp, lambda x: -np.log(x - LOWER_BOUND),
              lambda y: y, lambda y: np.ones_like(y)),
    "upper": (lambda x: np.log(UPPER_BOUND - x), lambda y: UPPER_BOUND - np.exp(y),
              lambda x: 1 / (x - UPPER_BOUND), lambda y: -np.exp(y),
              lambda x: -np.log(UPPER_BOUND - x), lambda y: y, lambda y: np.ones_like(y)),
    "tanh": (np.arctanh, np.tanh, lambda x: 1 / (1 - x * x), lambda y: 1 / np.cosh(y) ** 2,
             lambda x: -np.log1p(-x * x),
             lambda y: 2 * (np.log(2.0) - y - np.logaddexp(0.0, -2 * y)),
             lambda y: -2 * np.tanh(y)),
}

CASES = [(b, op) for b in BIJECTORS for op in OPERATIONS]


def points(b, op):
    return X_POINTS[b] if op.endswith("fwd") else Y_POINTS


@pytest.mark.parametrize("b,op", CASES)
def test_operation_matches_reference(b, op):
    v = points(b, op)
    expected = REFERENCE[b][OPERATIONS.index(op)](v)
    got = call(b, op, v)
    np.testing.assert_allclose(got, expected, rtol=2e-12, atol=1e-14,
                               err_msg=f"{b}_{op} disagrees with the reference")


def _central_diff(f, v):
    h = 1e-6 * np.maximum(1.0, np.abs(v))
    return (f(v + h) - f(v - h)) / (2 * h)


# Which operation is the numerical derivative of which.
DERIVATIVES = [("grad_fwd", "fwd"), ("grad_inv", "inv"), ("grad_ldet_abs_jac_inv", "ldet_abs_jac_inv")]


@pytest.mark.parametrize("b", BIJECTORS)
@pytest.mark.parametrize("deriv,base", DERIVATIVES)
def test_derivative_against_finite_difference(b, deriv, base):
    v = points(b, base)
    if base == "fwd":  # keep the stencil inside the domain
        v = v[1:-1]
    numeric = _central_diff(lambda t: call(b, base, t), v)
    np.testing.assert_allclose(call(b, deriv, v), numeric, rtol=1e-6, atol=1e-8,
                               err_msg=f"{b}_{deriv} is not the derivative of {b}_{base}")


@pytest.mark.parametrize("b", BIJECTORS)
def test_log_jacobians_are_logs_of_the_gradients(b):
    x, y = X_POINTS[b], Y_POINTS
    np.testing.assert_allclose(call(b, "ldet_abs_jac_fwd", x), np.log(np.abs(call(b, "grad_fwd", x))),
                               rtol=1e-12, atol=1e-13)
    np.testing.assert_allclose(call(b, "ldet_abs_jac_inv", y), np.log(np.abs(call(b, "grad_inv", y))),
                               rtol=1e-12, atol=1e-13)


@pytest.mark.parametrize("b", BIJECTORS)
def test_round_trip_and_jacobian_identity(b):
    x = X_POINTS[b]
    y = call(b, "fwd", x)
    np.testing.assert_allclose(call(b, "inv", y), x, rtol=1e-12, atol=1e-14,
                               err_msg=f"{b}: inv(fwd(x)) != x")
    np.testing.assert_allclose(call(b, "ldet_abs_jac_fwd", x), -call(b, "ldet_abs_jac_inv", y),
                               rtol=1e-9, atol=1e-11)
    np.testing.assert_allclose(call(b, "inv", Y_POINTS)[2:-2], call(b, "inv", Y_POINTS[2:-2]))
    np.testing.assert_allclose(call(b, "fwd", call(b, "inv", Y_POINTS[1:-1])), Y_POINTS[1:-1],
                               rtol=1e-9, atol=1e-12, err_msg=f"{b}: fwd(inv(y)) != y")


# ---- the documented expressions, evaluated with the C math library ----------

def _ndtri(p):
    return ffi.load("transforms").crv_ndtri_as241(p)


def _s(y):
    return 1.0 / (math.exp(-y) + 1.0)


def _phi(z):
    return math.exp(z * z * -0.5) * 0.3989422804014327


def _softplus_inv(y):
    return y + math.log1p(math.exp(-y)) if y > 0 else math.log1p(math.exp(y))


def _softplus_ldet_inv(y):
    return -(math.log1p(math.exp(y)) - y) if y < 0 else -math.log1p(math.exp(-y))


def _tanh_ldet_inv(y):
    a = abs(y)
    return 1.3862943611198906 - 2.0 * (math.log1p(math.exp(-2.0 * a)) + a)


def _u(x):
    return (x - LOW) / W


FORMULAS = {
    ("logit", "fwd"): lambda x: math.log(x / (1 - x)),
    ("logit", "grad_inv"): lambda y: (1 - _s(y)) * _s(y),
    ("logit", "ldet_abs_jac_fwd"): lambda x: -(math.log(1 - x) + math.log(x)),
    ("logit", "ldet_abs_jac_inv"): lambda y: -y - 2 * math.log(math.exp(-y) + 1),
    ("logit", "grad_ldet_abs_jac_inv"): lambda y: (-2 / (math.exp(-y) + 1)) + 1,
    ("probit", "inv"): lambda y: 0.5 * math.erfc(y / -1.4142135623730951),
    ("probit", "grad_fwd"): lambda x: 1 / _phi(_ndtri(x)),
    ("probit", "ldet_abs_jac_fwd"): lambda x: -math.log(_phi(_ndtri(x))),
    ("probit", "ldet_abs_jac_inv"): lambda y: math.log(_phi(y)),
    ("aff_logit", "fwd"): lambda x: math.log(_u(x) / (1 - _u(x))),
    ("aff_logit", "inv"): lambda y: W / (math.exp(-y) + 1) + LOW,
    ("aff_logit", "grad_fwd"): lambda x: (1 / ((1 - _u(x)) * _u(x))) / W,
    ("aff_logit", "grad_inv"): lambda y: (1 - _s(y)) * _s(y) * W,
    ("aff_logit", "ldet_abs_jac_fwd"): lambda x: -(math.log(_u(x)) + math.log(1 - _u(x))) - math.log(W),
    ("aff_logit", "ldet_abs_jac_inv"): lambda y: -y - 2 * math.log(math.exp(-y) + 1) + math.log(W),
    ("aff_probit", "grad_fwd"): lambda x: (1 / _phi(_ndtri(_u(x)))) / W,
    ("aff_probit", "grad_inv"): lambda y: _phi(y) * W,
    ("aff_probit", "ldet_abs_jac_fwd"): lambda x: -math.log(_phi(_ndtri(_u(x)))) - math.log(W),
    ("aff_probit", "ldet_abs_jac_inv"): lambda y: math.log(_phi(y)) + math.log(W),
    ("softplus", "fwd"): lambda x: math.log(math.expm1(x)),
    ("softplus", "inv"): _softplus_inv,
    ("softplus", "grad_fwd"): lambda x: 1 / math.expm1(x) + 1,
    ("softplus", "ldet_abs_jac_fwd"): lambda x: x - math.log(math.expm1(x)),
    ("softplus", "ldet_abs_jac_inv"): _softplus_ldet_inv,
    ("softplus", "grad_ldet_abs_jac_inv"): lambda y: 1 - _s(y),
    ("upper", "grad_fwd"): lambda x: -1 / (UPPER_BOUND - x),
    ("tanh", "grad_fwd"): lambda x: 1 / ((1 - x) * (x + 1)),
    ("tanh", "grad_inv"): lambda y: 1 / (math.cosh(y) * math.cosh(y)),
    ("tanh", "ldet_abs_jac_fwd"): lambda x: -math.log((1 - x) * (x + 1)),
    ("tanh", "ldet_abs_jac_inv"): _tanh_ldet_inv,
}


DENSE_Y = np.linspace(-8.0, 8.0, 321)


def dense_points(b, op):
    if op.endswith("fwd"):
        return REFERENCE[b][1](DENSE_Y[20:-20])  # interior points of the domain
    return DENSE_Y


@pytest.mark.parametrize("b,op", sorted(FORMULAS))
def test_scalar_form_rounds_as_documented(b, op):
    """Bitwise agreement with the documented operation order (same libm)."""
    for v in dense_points(b, op):
        got = call(b, op, float(v))
        want = FORMULAS[b, op](float(v))
        assert got == want, f"{b}_{op}({v!r}) = {got!r}, documented form gives {want!r}"


def test_aff_probit_inv_is_one_fused_multiply_add():
    half_w = 0.5 * W
    for y in DENSE_Y:
        e = math.erfc(float(y) / -1.4142135623730951)
        fused = float(Fraction(e) * Fraction(half_w) + Fraction(LOW))  # rounded once
        assert T.aff_probit_inv(float(y), LOW, HIGH) == fused, f"y = {y!r}"
        assert T.aff_probit_inv(np.array([y]), LOW, HIGH)[0] == fused


# ---- exact edge values -------------------------------------------------------

def _bits(a):
    return np.asarray(a, dtype=np.float64).view(np.uint64)


PAYLOAD_NAN = np.array([0x7FF8000000012345], dtype=np.uint64).view(np.float64)


@pytest.mark.parametrize("b", ["log", "lower", "upper"])
def test_constant_jacobian_operations(b):
    y = np.concatenate([PAYLOAD_NAN, [-0.0, 3.25, -np.inf]])
    copied = call(b, "ldet_abs_jac_inv", y)
    np.testing.assert_array_equal(_bits(copied), _bits(y))  # NaN payload and -0.0 kept
    assert _bits(call(b, "ldet_abs_jac_inv", float(PAYLOAD_NAN[0]))) == _bits(PAYLOAD_NAN[0])
    np.testing.assert_array_equal(call(b, "grad_ldet_abs_jac_inv", y), np.ones(4))
    assert call(b, "grad_ldet_abs_jac_inv", math.nan) == 1.0


@pytest.mark.parametrize("b", ["probit", "aff_probit"])
def test_probit_grad_ldet_flips_sign_of_zero(b):
    assert math.copysign(1.0, call(b, "grad_ldet_abs_jac_inv", 0.0)) == -1.0
    assert math.copysign(1.0, call(b, "grad_ldet_abs_jac_inv", np.array([0.0]))[0]) == -1.0


EXACT = [
    ("probit", "inv", 0.0, 0.5),
    ("aff_probit", "inv", 0.0, LOW + 0.5 * W),
    ("logit", "inv", -1000.0, 0.0),
    ("logit", "inv", 1000.0, 1.0),
    ("logit", "ldet_abs_jac_inv", -710.0, -math.inf),
    ("aff_logit", "ldet_abs_jac_inv", -710.0, -math.inf),
    ("softplus", "inv", 0.0, math.log(2.0)),
    ("softplus", "inv", 800.0, 800.0),
    ("softplus", "inv", -800.0, 0.0),
    ("tanh", "ldet_abs_jac_inv", 0.0, 0.0),
    ("tanh", "ldet_abs_jac_inv", 1000.0, 1.3862943611198906 - 2000.0),
    ("tanh", "ldet_abs_jac_inv", -1000.0, 1.3862943611198906 - 2000.0),
    ("log", "fwd", 0.0, -math.inf),
    ("logit", "fwd", 1.0, math.inf),
    ("logit", "fwd", 0.0, -math.inf),
    ("tanh", "fwd", 1.0, math.inf),
    ("tanh", "fwd", -1.0, -math.inf),
]


@pytest.mark.parametrize("b,op,v,expected", EXACT)
def test_exact_edge_values(b, op, v, expected):
    assert call(b, op, v) == expected
    assert call(b, op, np.array([v]))[0] == expected


@pytest.mark.parametrize("b", ["softplus", "tanh"])
@pytest.mark.parametrize("y", [-710.0, -1e5, 710.0, 1e5])
def test_stable_log_jacobians_stay_finite(b, y):
    value = call(b, "ldet_abs_jac_inv", y)
    assert math.isfinite(value)
    assert value == pytest.approx(float(REFERENCE[b][5](np.float64(y))), rel=1e-12)


def test_logit_ldet_finite_just_above_overflow():
    assert math.isfinite(call("logit", "ldet_abs_jac_inv", -709.0))


@pytest.mark.parametrize("b,op", [("softplus", "inv"), ("softplus", "ldet_abs_jac_inv")])
def test_softplus_branches_meet_at_zero(b, op):
    tiny = np.array([-5e-324, -0.0, 0.0, 5e-324])
    got = call(b, op, tiny)
    np.testing.assert_allclose(got, got[2], rtol=1e-15)


@pytest.mark.parametrize("plain,affine", [("logit", "aff_logit"), ("probit", "aff_probit")])
def test_affine_grad_ldet_ignores_bounds(plain, affine):
    op = "grad_ldet_abs_jac_inv"
    np.testing.assert_array_equal(call(affine, op, Y_POINTS), call(plain, op, Y_POINTS))


@pytest.mark.parametrize("b,op,v", [("log", "fwd", -1.0), ("logit", "fwd", 1.5),
                                    ("tanh", "fwd", 2.0), ("softplus", "fwd", -1.0),
                                    ("lower", "fwd", LOWER_BOUND - 1), ("upper", "fwd", UPPER_BOUND + 1)])
def test_out_of_domain_gives_nan_not_error(b, op, v):
    assert math.isnan(call(b, op, v))


def test_probit_outside_unit_interval_saturates_like_the_quantile():
    assert T.probit_fwd([-0.1, 0.0, 1.0, 1.1]).tolist() == [-math.inf, -math.inf, math.inf, math.inf]
    assert T.aff_probit_fwd(HIGH + 1.0, LOW, HIGH) == math.inf


def test_reversed_bounds_are_not_clamped():
    # low > high: plain IEEE arithmetic, a finite value of the other sign.
    assert T.aff_logit_inv(0.0, 2.0, 0.0) == pytest.approx(1.0)
    assert T.aff_logit_grad_inv(0.0, 2.0, 0.0) == pytest.approx(-0.5)


# ---- scalar and array kernels through the ctypes binding --------------------

@pytest.fixture(scope="module")
def lib():
    return ffi.load("transforms")


def _bound_args(b, op):
    return [ctypes.c_double(v) for v in bounds_of(b, op)]


def test_binding_declares_all_kernels(lib):
    names = {f"crv_{b}_{op}{sfx}" for b in BIJECTORS for op in OPERATIONS for sfx in ("", "_arr")}
    assert len(names) == 126
    assert set(ffi.bijectors.SIGNATURES) == names
    for name in names:
        assert getattr(lib, name).argtypes is not None


@pytest.mark.parametrize("b,op", CASES)
def test_scalar_and_array_kernels_agree(lib, b, op):
    v = np.ascontiguousarray(points(b, op))
    out = np.empty_like(v)
    getattr(lib, f"crv_{b}_{op}_arr")(v, out, v.size, *_bound_args(b, op))
    scalar = np.empty_like(v)
    for i, value in enumerate(v):
        res = ctypes.c_double()
        getattr(lib, f"crv_{b}_{op}")(ctypes.c_double(value), res, *_bound_args(b, op))
        scalar[i] = res.value
    np.testing.assert_array_max_ulp(out, scalar, maxulp=2)
    np.testing.assert_array_equal(call(b, op, v), out)


@pytest.mark.parametrize("b,op", CASES)
@pytest.mark.parametrize("n", [0, -3])
def test_array_kernel_with_no_elements_touches_nothing(lib, b, op, n):
    v = np.full(4, 0.5)
    out = np.full(4, -123.0)
    getattr(lib, f"crv_{b}_{op}_arr")(v, out, n, *_bound_args(b, op))
    np.testing.assert_array_equal(out, -123.0)
