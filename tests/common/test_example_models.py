"""Compiled example models: the library's enumeration against the Python
twins, and the linear models against theirs: the same description, solution,
status and saddle-path flag, to first and second order."""

import ctypes

import numpy as np
import pytest

from Corvane._bridge.examples import ExampleModel, example_model, example_names
from Corvane._ckernels import ffi

import kernel_models as models

LIB = ffi.load("regression")
_dp = ctypes.POINTER(ctypes.c_double)

# kind: (status, bk) the theory gives: two roots rho and 1/phi against one
# state; the forward-only model has no state coordinate at all.
EXPECTED = {"determinate": (0, 0), "indeterminate": (0, 1), "explosive": (0, -1),
            "forward": (-505, 2)}


@pytest.mark.parametrize("order", [1, 2])
@pytest.mark.parametrize("kind", sorted(EXPECTED))
def test_compiled_linear_model_matches_python_twin(kind, order):
    twin = models.linear(kind)
    compiled = example_model(f"linear_{kind}")
    assert compiled.names == twin.names and compiled.nx == twin.nx and compiled.m == twin.m
    np.testing.assert_array_equal(compiled.flags, twin.flags)
    np.testing.assert_array_equal(compiled.params[:-1], twin.params)
    assert compiled.params[-1] ** 2 == twin.sigma[0, 0]

    solve = models.solve1 if order == 1 else models.solve2
    st_py, py = solve(LIB, twin)
    # the compiled model's own callbacks, parameters and steady-state guess
    rec = twin.record(hessian=False)
    rec.residual, rec.hessian = compiled.residual, compiled.hessian
    rec.params = compiled.params.ctypes.data_as(_dp)
    rec.x_guess = compiled.x_guess.ctypes.data_as(_dp)
    st_c, c = solve(LIB, twin, record=rec)

    assert st_c == st_py == EXPECTED[kind][0]
    assert c.bk == py.bk == EXPECTED[kind][1]
    if st_c != 0:
        return
    np.testing.assert_allclose(c.ss, 0.0, atol=1e-15)
    for field in ("hx", "gx", "impact", "transition", "eig"):
        np.testing.assert_allclose(getattr(c, field), getattr(py, field), rtol=1e-12,
                                   atol=1e-14, err_msg=field)
    if order == 2:  # linear equations: no curvature anywhere
        for field in ("hess", "h_xx", "g_xx", "h_xe", "g_xe", "h_ee", "g_ee", "h_ss", "g_ss"):
            assert not np.any(getattr(c, field)), field


def test_library_enumerates_every_twin():
    # Each compiled model the library lists has a Python twin of the same
    # name and dimensions, and every twin is listed.
    twins = {"rbc": models.rbc(), "growth": models.growth()}
    twins.update({f"linear_{kind}": models.linear(kind) for kind in EXPECTED})
    names = example_names()
    assert sorted(names) == sorted(twins) and len(set(names)) == len(names)
    for name in names:
        compiled, twin = example_model(name), twins[name]
        assert compiled.name == name
        assert (compiled.n, compiled.nx, compiled.m) == (twin.n, twin.nx, twin.m), name
        assert compiled.names == twin.names, name
    assert not ffi.load_models().crv_example_model_at(len(names))
    assert not ffi.load_models().crv_example_model_at(-1)
    with pytest.raises(ValueError, match="no example model 'nope'; the library has rbc"):
        ExampleModel("nope")
