"""Generated callbacks against the hand-written C++ example models: the same
residuals (complex and bicomplex), observations, closed-form steady state,
and first- and second-order solutions through the bridge's solvers."""

import numpy as np
import pytest

from bridge_specs import SPECS, example_model, raw_solve, shock_cov
from Corvane._bridge import compile_model, first_order, second_order
from Corvane._ckernels import ffi
from Corvane.errors import DeterminacyError, SolutionError

SOLVE = ffi.solve
NAMES = ("rbc", "growth", "linear_determinate", "linear_forward")


def compiled(name):
    return compile_model(SPECS[name]()), example_model(name)


def call_residual(address_or_fn, arrays, width, n):
    """Evaluate a residual callback on interleaved arrays of `width` doubles
    per value; returns the n outputs as (n, width)."""
    fn = address_or_fn if callable(address_or_fn) else SOLVE.residual_fn(address_or_fn)
    arrays = [np.ascontiguousarray(a, dtype=float) for a in arrays]
    out = np.zeros(n * width)
    fn(*(a.ctypes.data for a in arrays), out.ctypes.data)
    return out.reshape(n, width)


@pytest.mark.parametrize("width", [2, 4], ids=["complex", "bicomplex"])
@pytest.mark.parametrize("name", NAMES)
def test_generated_residuals_match_example(name, width):
    """Complex and bicomplex callbacks agree with the hand-written ones at
    perturbed points with every part non-zero."""
    cm, ex = compiled(name)
    rng = np.random.default_rng(7)
    base = np.where(ex.x_guess == 0, 0.05, ex.x_guess)
    for _ in range(5):
        arrays = []
        for real, k in ((base, ex.n), (base, ex.n), (base, ex.n), (np.zeros(ex.m), ex.m),
                        (ex.params, ex.p)):
            parts = np.zeros((k, width))
            parts[:, 0] = real * (1 + 0.05 * rng.standard_normal(k)) + 0.01 * rng.standard_normal(k)
            parts[:, 1:] = 1e-3 * rng.standard_normal((k, width - 1))
            arrays.append(parts)
        ours = call_residual(cm.hessian_fn if width == 4 else cm.residual_fn, arrays, width,
                             ex.n)
        theirs = call_residual(ex.hessian if width == 4 else ex.residual, arrays, width, ex.n)
        scale = np.abs(theirs).max(axis=0)
        np.testing.assert_allclose(ours, theirs, rtol=1e-12, atol=1e-14 * scale.max())


@pytest.mark.parametrize("name", NAMES)
def test_generated_observation_and_steady_state_match_example(name):
    cm, ex = compiled(name)
    kind = "linear" if name.startswith("linear") else "log"
    obs, jac = ex.observation(kind)
    x = ex.x_guess * 1.01 + 0.02
    dp = SOLVE._dp
    y_ref = np.zeros(ex.n_obs)
    J_ref = np.zeros((ex.n_obs, ex.n))
    fn = ffi.filters.OBS_FN
    fn(obs)(x.ctypes.data_as(dp), ex.params.ctypes.data_as(dp), y_ref.ctypes.data_as(dp))
    fn(jac)(x.ctypes.data_as(dp), ex.params.ctypes.data_as(dp), J_ref.ctypes.data_as(dp))
    J = np.zeros((cm.n_obs, cm.n))
    cm.obs_jac_fn(x.ctypes.data_as(dp), ex.params.ctypes.data_as(dp), J.ctypes.data_as(dp))
    np.testing.assert_allclose(cm.observe(x, ex.params), y_ref, rtol=1e-15)
    np.testing.assert_allclose(J, J_ref, rtol=1e-15)
    # the examples' guess is their closed-form steady state at the defaults
    np.testing.assert_allclose(cm.steady_state(ex.params), ex.x_guess, rtol=1e-12, atol=1e-15)
    np.testing.assert_allclose(cm.residuals(cm.steady_state(ex.params), ex.params), 0.0,
                               atol=1e-13)


FIRST = ("ss", "gx", "hx", "transition", "impact", "j_lead", "j_cur", "j_lag", "j_shock")
SECOND = ("g_xx", "h_xx", "g_xe", "h_xe", "g_ee", "h_ee", "g_ss", "h_ss")


@pytest.mark.parametrize("order", [1, 2])
@pytest.mark.parametrize("name", ["rbc", "growth", "linear_determinate"])
def test_solution_matches_example_callbacks(name, order):
    cm, ex = compiled(name)
    sigma = shock_cov(ex)
    status, ref = raw_solve(ex, order, sigma)
    assert status == 0 and ref["bk"] == 0
    guess = ex.x_guess * 1.02
    if order == 1:
        first, second = first_order(cm, ex.params, sigma, guess), None
    else:
        second = second_order(cm, ex.params, sigma, guess)
        first = second.first
    assert first.bk == 0
    for field in FIRST:
        scale = max(np.abs(ref[field]).max(initial=0.0), 1e-300)
        np.testing.assert_allclose(getattr(first, field), ref[field], rtol=1e-12,
                                   atol=1e-13 * scale, err_msg=field)
    finite = np.isfinite(ref["eig"])
    np.testing.assert_array_equal(np.isfinite(first.eigenvalues), finite)
    np.testing.assert_allclose(first.eigenvalues[finite], ref["eig"][finite], rtol=1e-12)
    if second is not None:
        # zero terms (growth's g_ss) are rounding noise on the scale of the others
        scale = max(np.abs(ref[field]).max(initial=0.0) for field in SECOND)
        for field in SECOND:
            np.testing.assert_allclose(getattr(second, field), ref[field], rtol=1e-10,
                                       atol=1e-13 * scale, err_msg=field)


@pytest.mark.parametrize("kind, outside, forward", [
    ("indeterminate", 0, 1),        # roots rho = 0.5 and 1/phi = 0.5: both stable
    ("explosive", 2, 1),            # roots rho = 1.5 and 1/phi = 2
])
def test_blanchard_kahn_failures_raise_determinacy_error(kind, outside, forward):
    cm, ex = compiled("linear_determinate")
    params = example_model(f"linear_{kind}").params
    word = "indeterminate" if kind == "indeterminate" else "no stable solution"
    for solve in (first_order, second_order):
        with pytest.raises(DeterminacyError, match=word) as info:
            solve(cm, params, [[1.0]], [0.0, 0.0])
        assert f"{outside} eigenvalue" in str(info.value)
        assert f"for {forward} forward-looking" in str(info.value)
        assert "linear" in str(info.value)


def test_kernel_status_raises_solution_error():
    """No state variable (-505) and a steady state Newton cannot start from
    (NaN guess: -502) carry the kernel's status and the step."""
    cm, ex = compiled("linear_forward")
    with pytest.raises(SolutionError) as info:
        first_order(cm, ex.params, [[1.0]], [0.0])
    assert info.value.status == -505 and not isinstance(info.value, DeterminacyError)
    assert "linear_forward" in str(info.value)
    assert info.value.status_message in str(info.value)
    cm, ex = compiled("rbc")
    with pytest.raises(SolutionError, match="steady state") as info:
        second_order(cm, ex.params, shock_cov(ex), np.full(6, np.nan))
    assert info.value.status == -502
