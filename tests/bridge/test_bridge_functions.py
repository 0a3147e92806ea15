"""Every function of the model language and every power form, through the
generated callbacks: values against NumPy/SciPy, complex-step first
derivatives and bicomplex second derivatives against the analytical
derivatives (SymPy, evaluated in 30-digit arithmetic)."""

import ctypes

import numpy as np
import pytest
import scipy.special
import scipy.stats
import sympy as sp

from Corvane._bridge import ModelSpec, compile_model
from Corvane._bridge.codegen import FUNCTIONS

u = sp.Symbol("u", real=True)
theta = sp.Symbol("theta")
THETA = 0.37

# name, point, model expression in u, NumPy/SciPy value, reference expression
# (the erf forms of normcdf/normpdf keep the reference independent of ours)
CASES = [
    ("exp", 0.7, FUNCTIONS["exp"](u), np.exp, None),
    ("log", 1.3, FUNCTIONS["log"](u), np.log, None),
    ("log10", 2.5, FUNCTIONS["log10"](u), np.log10, sp.log(u) / sp.log(10)),
    ("sqrt", 0.8, FUNCTIONS["sqrt"](u), np.sqrt, None),
    ("abs_negative", -0.6, FUNCTIONS["abs"](u), np.abs, -u),
    ("abs_positive", 0.9, FUNCTIONS["abs"](u), np.abs, u),
    ("sign", -0.4, FUNCTIONS["sign"](u), np.sign, sp.Integer(-1)),
    ("sin", 0.9, FUNCTIONS["sin"](u), np.sin, None),
    ("cos", 0.4, FUNCTIONS["cos"](u), np.cos, None),
    ("tan", 0.3, FUNCTIONS["tan"](u), np.tan, None),
    ("asin", 0.35, FUNCTIONS["asin"](u), np.arcsin, None),
    ("acos", -0.25, FUNCTIONS["acos"](u), np.arccos, None),
    ("atan", 1.7, FUNCTIONS["atan"](u), np.arctan, None),
    ("sinh", 0.6, FUNCTIONS["sinh"](u), np.sinh, None),
    ("cosh", -0.8, FUNCTIONS["cosh"](u), np.cosh, None),
    ("tanh", 0.45, FUNCTIONS["tanh"](u), np.tanh, None),
    ("erf", 0.55, FUNCTIONS["erf"](u), scipy.special.erf, None),
    ("erfc", 1.2, FUNCTIONS["erfc"](u), scipy.special.erfc, None),
    ("normcdf", -1.1, FUNCTIONS["normcdf"](u), scipy.stats.norm.cdf,
     (1 + sp.erf(u / sp.sqrt(2))) / 2),
    ("normpdf", 0.75, FUNCTIONS["normpdf"](u), scipy.stats.norm.pdf,
     sp.exp(-u**2 / 2) / sp.sqrt(2 * sp.pi)),
    ("normcdf_by_name", 0.3, sp.Function("normcdf")(u), scipy.stats.norm.cdf,
     (1 + sp.erf(u / sp.sqrt(2))) / 2),
    # powers: products, ipow, half powers, general powers, parameter exponents
    ("square", -1.3, u**2, lambda x: x * x, None),
    ("cube_negative", -1.3, u**3, lambda x: x**3, None),
    ("seventh", 1.1, u**7, lambda x: x**7, None),
    ("inverse_square", 0.9, u**-2, lambda x: x**-2.0, None),
    ("compound_cube", 0.4, (u + 1)**3, lambda x: (x + 1)**3, None),
    ("compound_inverse", 0.4, (u + 1)**-3, lambda x: (x + 1)**-3.0, None),
    ("inverse_sqrt", 1.7, 1 / sp.sqrt(u), lambda x: x**-0.5, None),
    ("cube_root", 2.2, u**sp.Rational(1, 3), np.cbrt, None),
    ("float_power", 1.6, u**0.33, lambda x: x**0.33, None),
    ("parameter_power", 1.6, u**theta, lambda x: x**THETA, u**THETA),
    ("number_base", 0.8, 2**u, lambda x: 2.0**x, None),
    ("nested", 0.45, sp.exp(sp.sin(u) * u**2) / (1 + sp.Abs(u)),
     lambda x: np.exp(np.sin(x) * x * x) / (1 + abs(x)), sp.exp(sp.sin(u) * u**2) / (1 + u)),
]


@pytest.fixture(scope="module")
def functions_model():
    names = tuple(f"v{i}" for i in range(len(CASES)))
    equations = tuple(expr.subs(u, sp.Symbol(v)) for v, (_, _, expr, _, _) in zip(names, CASES))
    spec = ModelSpec("functions", names, (), ("theta",), equations, (2,) * len(names),
                     observables=equations[:4])
    return compile_model(spec)


def _evaluate(fn, parts, p_parts, n):
    width = parts.shape[1]
    zeros = np.zeros_like(parts)
    out = np.zeros(n * width)
    fn(zeros.ctypes.data, np.ascontiguousarray(parts).ctypes.data, zeros.ctypes.data, 0,
       np.ascontiguousarray(p_parts).ctypes.data, out.ctypes.data)
    return out.reshape(n, width)


def _derivatives(case):
    _, x, _, _, reference = case
    ref = CASES_REF[case[0]] if reference is None else reference
    return [float(sp.diff(ref, u, k).subs(u, sp.Float(x, 30)).evalf(30)) for k in (0, 1, 2)]


CASES_REF = {name: expr.subs(theta, THETA) for name, _, expr, _, _ in CASES}


def test_values_and_derivatives(functions_model):
    cm = functions_model
    points = np.array([c[1] for c in CASES])
    n = len(CASES)
    # complex step: every variable at x + 1e-30 i; equation k reads only v_k
    h = 1e-30
    z = np.column_stack([points, np.full(n, h)])
    r = _evaluate(cm.residual_fn, z, np.array([[THETA, 0.0]]), n)
    # bicomplex step as the Hessian kernel takes it: x + h i1 + h i2, h = 1e-9
    hb = 1e-9
    zb = np.column_stack([points, np.full(n, hb), np.full(n, hb), np.zeros(n)])
    rb = _evaluate(cm.hessian_fn, zb, np.array([[THETA, 0.0, 0.0, 0.0]]), n)
    failures = []
    for k, case in enumerate(CASES):
        name, x, _, numpy_value, _ = case
        f0, f1, f2 = _derivatives(case)
        checks = [("value", r[k, 0], numpy_value(x), 4e-16),
                  ("value (bicomplex)", rb[k, 0], numpy_value(x), 4e-16),
                  ("reference value", r[k, 0], f0, 4e-16),
                  ("first derivative", r[k, 1] / h, f1, 1e-15),
                  ("first derivative (bicomplex i1)", rb[k, 1] / hb, f1, 1e-15),
                  ("first derivative (bicomplex i2)", rb[k, 2] / hb, f1, 1e-15),
                  ("second derivative", rb[k, 3] / hb**2, f2, 1e-14)]
        for what, got, want, atol_scale in checks:
            tol = 4 * np.finfo(float).eps * abs(want) + atol_scale
            if not abs(got - want) <= tol * max(1.0, abs(want)):
                failures.append(f"{name} at {x}: {what} {got!r}, expected {want!r}")
    assert not failures, "\n".join(failures)


def test_observation_jacobian_is_the_analytical_one(functions_model):
    cm = functions_model
    x = np.array([c[1] for c in CASES])
    y = cm.observe(x, [THETA])
    J = np.zeros((cm.n_obs, cm.n))
    p = ctypes.POINTER(ctypes.c_double)
    theta_arr = np.array([THETA])
    cm.obs_jac_fn(x.ctypes.data_as(p), theta_arr.ctypes.data_as(p), J.ctypes.data_as(p))
    expected = np.zeros_like(J)
    for k in range(cm.n_obs):
        f0, f1, _ = _derivatives(CASES[k])
        assert y[k] == pytest.approx(f0, rel=1e-15)
        expected[k, k] = f1
    np.testing.assert_allclose(J, expected, rtol=1e-15, atol=0)
