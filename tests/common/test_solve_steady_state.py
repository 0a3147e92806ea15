"""Newton steady state, residual path and the call trampoline, against
closed-form steady states and counted callback evaluations."""

import ctypes

import numpy as np
import pytest

from Corvane._ckernels import ffi

import kernel_models as models
from kernel_models import residual_from

LIB = ffi.load("regression")
SOLVE = ffi.solve


def newton(fn, x0, params, m=0, max_iter=50, tol=1e-12, fill=0.0):
    n, p = len(x0), len(params)
    counter = {"calls": 0}
    cb = residual_from(fn, n, m, p, counter)
    size = LIB.crv_newton_arena_size(n, p, m)
    dwork = np.full(size.doubles, fill)
    iwork = np.full(max(size.slots, 1), -3, dtype=np.int64)
    x = np.zeros(n)
    it = ctypes.c_int64(-1)
    status = LIB.crv_steady_state_newton(ctypes.cast(cb, ctypes.c_void_p).value,
                                         np.asarray(x0, float), np.asarray(params, float), n, p,
                                         m, max_iter, x, tol, ctypes.byref(it), dwork, iwork)
    return status, x, it.value, counter["calls"]


def test_newton_arena_size_formula():
    n, p, m = 4, 3, 2
    size = LIB.crv_newton_arena_size(n, p, m)
    assert (size.doubles, size.slots) == (2 * p + 2 * m + n * (m + 4 * n + 6)
                                          + 2 * (4 * n + p + m + n), n)


@pytest.mark.parametrize("model, exact", [
    (models.growth(), lambda: [(0.36 * 0.96) ** (1 / 0.64), 0.0,
                               (1 - 0.36 * 0.96) * (0.36 * 0.96) ** (0.36 / 0.64)]),
    (models.rbc(), lambda: models.rbc_steady_state()),
])
def test_newton_finds_closed_form_steady_state(model, exact):
    status, x, it, calls = newton(lambda *a: model.equations(*a), model.x_guess, model.params,
                                  m=model.m)
    assert status == 0
    np.testing.assert_allclose(x, exact(), rtol=1e-12, atol=1e-14)
    # one residual per iteration plus 3n + m per Jacobian
    assert calls == (it + 1) + it * (3 * model.n + model.m)
    assert it >= 2


def test_guess_already_converged_evaluates_once():
    status, x, it, calls = newton(lambda l, c, g, e, t: [c[0] - t[0]], [2.0], [2.0])
    assert (status, it, calls) == (0, 0, 1)
    assert x[0] == 2.0


def test_linear_model_converges_in_one_step():
    A = np.array([[3.0, 1.0], [1.0, 2.0]])
    b = np.array([1.0, -4.0])
    status, x, it, _ = newton(lambda l, c, g, e, t: A @ c - b, [5.0, 7.0], [])
    assert (status, it) == (0, 1)
    np.testing.assert_allclose(x, np.linalg.solve(A, b), rtol=1e-14)


@pytest.mark.parametrize("fn, x0, max_iter, code, iters", [
    (lambda l, c, g, e, t: [c[0] * c[0] + 1.0], [0.0], 50, -901, 0),   # J = 0 at x = 0
    (lambda l, c, g, e, t: [c[0] - 1.0], [0.0], 0, -902, 0),           # max_iter = 0
    (lambda l, c, g, e, t: [np.sqrt(c[0]) * np.nan], [1.0], 50, -902, 0),
    (lambda l, c, g, e, t: [np.exp(c[0]) + 1.0], [0.0], 3, -902, 3),   # no root
])
def test_newton_failures(fn, x0, max_iter, code, iters):
    status, x, it, _ = newton(fn, x0, [], max_iter=max_iter)
    assert (status, it) == (code, iters)


def test_residual_path_argument_order_and_strides():
    n, m, T, sx, se = 2, 1, 4, 3, 2
    rng = np.random.default_rng(1)
    Xc, Xl, Xg = (rng.normal(size=(T, sx)) + 0j for _ in range(3))
    E = rng.normal(size=(T, se)) + 0j
    theta = np.array([0.5 + 0j])

    def fn(lead, cur, lag, e, t):
        return [lead[0] + 10 * cur[0] + 100 * lag[1], t[0] * e[0] + cur[1]]

    cb = residual_from(fn, n, m, 1)
    out = np.zeros((T, n))
    st = LIB.crv_residual_path(ctypes.cast(cb, ctypes.c_void_p).value, Xc, Xl, Xg, E, theta, T,
                               sx, se, n, out)
    assert st == 0
    ref = np.array([np.real(fn(Xl[t], Xc[t], Xg[t], E[t], theta)) for t in range(T)])
    np.testing.assert_array_equal(out, ref)


def test_residual_path_empty_calls_nothing():
    counter = {"calls": 0}
    cb = residual_from(lambda *a: [0.0], 1, 0, 0, counter)
    z = np.zeros(2)
    assert LIB.crv_residual_path(ctypes.cast(cb, ctypes.c_void_p).value, z, z, z, z, z, 0, 1, 0,
                                 1, z) == 0
    assert counter["calls"] == 0


def test_spike_call_passes_arguments_in_order():
    fn = SOLVE.spike_fn(lambda a, b, c, d: a * 1000 + b * 100 + c * 10 + d)
    assert LIB.spike_call(ctypes.cast(fn, ctypes.c_void_p).value, 1, 2, 3, 4) == 1234
