"""Compiled example models: the same solutions as the Python example models
(first and second order), the closed-form growth policy, and exact
observation Jacobians."""

import ctypes

import numpy as np
import pytest

from Corvane._bridge.examples import example_model
from Corvane._ckernels import ffi

import objective_reference as ref

models = ref.models


@pytest.fixture(scope="module")
def lib():
    return ffi.load("beliefplan")


def solve_both(lib, name, order):
    """(Python-callback solution, compiled-callback solution) of one model."""
    py_model = getattr(models, name)()
    compiled = example_model(name)
    solve = models.solve1 if order == 1 else models.solve2
    st_py, sol_py = solve(lib, py_model)
    rec = py_model.record()
    rec.residual, rec.hessian = compiled.residual, compiled.hessian
    st_c, sol_c = solve(lib, py_model, record=rec)
    assert st_py == 0 and st_c == 0
    return py_model, compiled, sol_py, sol_c


@pytest.mark.parametrize("name", ["rbc", "growth"])
def test_description_matches_python_model(name):
    py_model = getattr(models, name)()
    compiled = example_model(name)
    assert compiled.names == py_model.names
    assert (compiled.n, compiled.nx, compiled.ny, compiled.m) == (
        py_model.n, py_model.nx, py_model.ny, py_model.m)
    assert np.array_equal(compiled.flags, py_model.flags)
    assert compiled.param_names[:-1] == py_model.param_names
    assert compiled.param_names[-1] == "sigma_e"
    np.testing.assert_array_equal(compiled.params[:-1], py_model.params)
    assert compiled.params[-1] ** 2 == pytest.approx(py_model.sigma[0, 0], rel=1e-15)


@pytest.mark.parametrize("name", ["rbc", "growth"])
def test_compiled_first_order_matches_python(lib, name):
    _, _, py, c = solve_both(lib, name, 1)
    for field in ("ss", "hx", "gx", "impact", "transition"):
        np.testing.assert_allclose(getattr(c, field), getattr(py, field), rtol=1e-11,
                                   atol=1e-13, err_msg=field)
    assert c.bk == 0


@pytest.mark.parametrize("name", ["rbc", "growth"])
def test_compiled_second_order_matches_python(lib, name):
    _, _, py, c = solve_both(lib, name, 2)
    for field in ("hess", "g_xx", "h_xx", "g_xe", "h_xe", "g_ee", "h_ee", "g_ss", "h_ss"):
        scale = max(np.abs(getattr(py, field)).max(), 1.0)
        np.testing.assert_allclose(getattr(c, field), getattr(py, field), rtol=1e-10,
                                   atol=1e-12 * scale, err_msg=field)


def test_compiled_rbc_steady_state_is_the_closed_form():
    rbc = example_model("rbc")
    np.testing.assert_allclose(rbc.x_guess, models.rbc_steady_state(), rtol=1e-14)


def test_compiled_growth_matches_closed_form_policy(lib):
    _, _, _, c = solve_both(lib, "growth", 2)
    first, second = models.growth_policy()
    # rows k, a, c on (k(-1), a(-1), e)
    np.testing.assert_allclose(np.vstack([c.hx, c.gx]), first[:, :2], rtol=1e-10, atol=1e-14)
    np.testing.assert_allclose(c.impact[:, 0], first[:, 2], rtol=1e-10, atol=1e-14)
    h_xx = c.h_xx.reshape(2, 2, 2)
    np.testing.assert_allclose(h_xx[0], second[0][:2, :2], rtol=1e-6)
    np.testing.assert_allclose(c.g_xx[0].reshape(2, 2), second[2][:2, :2], rtol=1e-6)


@pytest.mark.parametrize("name,observed", [("rbc", [4, 2]), ("growth", [2, 0])])
@pytest.mark.parametrize("kind", ["log", "linear"])
def test_observation_functions_and_jacobians(name, observed, kind):
    model = example_model(name)
    fn, jac = (ffi.filters.OBS_FN(a) for a in model.observation(kind))
    rng = np.random.default_rng(3)
    x = np.abs(model.x_guess) * (1 + 0.1 * rng.standard_normal(model.n)) + 0.1
    params = model.params.copy()
    out = np.zeros(2)
    J = np.zeros((2, model.n))
    dp = ctypes.POINTER(ctypes.c_double)
    fn(x.ctypes.data_as(dp), params.ctypes.data_as(dp), out.ctypes.data_as(dp))
    jac(x.ctypes.data_as(dp), params.ctypes.data_as(dp), J.ctypes.data_as(dp))
    expected_J = np.zeros((2, model.n))
    if kind == "log":
        np.testing.assert_allclose(out, np.log(x[observed]), rtol=1e-15)
        expected_J[[0, 1], observed] = 1.0 / x[observed]
    else:
        np.testing.assert_array_equal(out, x[observed])
        expected_J[[0, 1], observed] = 1.0
    np.testing.assert_allclose(J, expected_J, rtol=1e-15, atol=0)
