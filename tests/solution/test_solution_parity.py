"""The shipped .mod examples against the hand-written C++ examples and Dynare.

1. Each `examples/models/<name>.mod` that has a compiled C++ twin
   (`examples/models/<name>.cpp`) solves to the same numbers as the kernels
   on the twin's own callbacks (to 1e-12: both are complex- and
   bicomplex-step derivatives of the same equations).
2. Each Dynare fixture `tests/fixtures/dynare/<model>_order<k>.json` (made
   by `make_fixtures.py` with Dynare; see its README): steady state,
   decision rules and eigenvalues to ~1e-8. Dynare's arrays are read in
   Dynare's conventions here (rows in `order_var`, state columns in
   `state_var`, kron(x, u) column order, 1/2 on ghxx, ghuu and ghs2) and
   turned into labelled coefficients of the distinct products, independently
   of `Solution`.
"""

import ctypes
import json
import re
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import Corvane
from Corvane._ckernels import ffi

ROOT = Path(__file__).resolve().parents[2]
MODELS = ROOT / "examples" / "models"
FIXTURES = ROOT / "tests" / "fixtures" / "dynare"

try:  # the example-model loader may move to the bridge
    from Corvane._bridge.examples import example_model
except ImportError:
    example_model = ffi.objective.example_model

_dp = ctypes.POINTER(ctypes.c_double)


def raw_solve(example, sigma, order):
    """The kernels on the C++ example's own callbacks: (status, arrays)."""
    lib = ffi.load("regression")
    solve = ffi.solve
    n, nx, m, p = example.n, example.nx, example.m, example.p
    ny = n - nx
    keep = {"params": np.array(example.params, dtype=float),
            "guess": np.array(example.x_guess, dtype=float),
            "flags": np.array(example.flags, dtype=np.uint8),
            "sigma": np.ascontiguousarray(sigma, dtype=float)}
    rec = solve.crv_klein_model()
    lapack = solve.lapack_pointers()
    rec.residual, rec.hessian = example.residual, example.hessian
    rec.zgges, rec.dgeqrf, rec.dormqr = lapack["zgges"], lapack["dgeqrf"], lapack["dormqr"]
    rec.x_guess = keep["guess"].ctypes.data_as(_dp)
    rec.params = keep["params"].ctypes.data_as(_dp)
    rec.flags = keep["flags"].ctypes.data_as(ctypes.POINTER(ctypes.c_uint8))
    rec.sigma = keep["sigma"].ctypes.data_as(_dp)
    rec.n, rec.nx, rec.ny, rec.m, rec.p = n, nx, ny, m, p
    N = lib.crv_pencil_dim(keep["flags"], n).N
    arrays = {"ss": np.zeros(n), "j_lead": np.zeros((n, n)), "j_cur": np.zeros((n, n)),
              "j_lag": np.zeros((n, n)), "j_shock": np.zeros((n, m)),
              "qz_a": np.zeros((N, N), complex), "qz_b": np.zeros((N, N), complex),
              "qz_z": np.zeros((N, N), complex), "gx": np.zeros((ny, nx)),
              "hx": np.zeros((nx, nx)), "eig": np.zeros(N, complex),
              "transition": np.zeros((n, n)), "impact": np.zeros((n, m))}
    sol = solve.crv_klein_solution()
    for name, a in arrays.items():
        setattr(sol, name, a.ctypes.data_as(_dp))
    order_index = np.zeros(n, dtype=np.int64)
    sol.order = order_index.ctypes.data_as(ctypes.POINTER(ctypes.c_int64))
    D = 3 * n + m
    second = {"hess": np.zeros((n, D, D)), "eta": np.zeros((nx, m)),
              "g_xx": np.zeros((ny, nx * nx)), "h_xx": np.zeros((nx, nx * nx)),
              "g_xe": np.zeros((ny, nx * m)), "h_xe": np.zeros((nx, nx * m)),
              "g_ee": np.zeros((ny, m * m)), "h_ee": np.zeros((nx, m * m)),
              "g_ss": np.zeros(ny), "h_ss": np.zeros(nx)}
    if order == 1:
        size = lib.crv_klein_solve1_arena_size(n, nx, ny, p, m, N)
    else:
        size = lib.crv_sgu_klein_solve2_arena_size(n, nx, ny, p, m, N)
    dwork = np.zeros(max(size.doubles, 1))
    iwork = np.zeros(max(size.slots, 1), dtype=np.int64)
    if order == 1:
        status = lib.crv_klein_solve1(ctypes.byref(rec), ctypes.byref(sol), dwork, iwork)
    else:
        rec2 = solve.crv_klein_second_order()
        for name, a in second.items():
            setattr(rec2, name, a.ctypes.data_as(_dp))
        status = lib.crv_sgu_klein_solve2(ctypes.byref(rec), ctypes.byref(sol),
                                          ctypes.byref(rec2), dwork, iwork)
        arrays.update(second)
    arrays["bk"] = sol.bk
    return status, arrays


# -- 1. the compiled C++ examples ---------------------------------------------------

TWINS = ["growth", "rbc", "linear_determinate"]


def mod(name):
    path = MODELS / f"{name}.mod"
    if not path.exists():
        pytest.skip(f"{path.name} is not in this tree")
    return Corvane.Model.from_mod(path)


@pytest.mark.parametrize("order", [1, 2])
@pytest.mark.parametrize("name", TWINS)
def test_mod_file_reproduces_the_compiled_example(name, order):
    model = mod(name)
    example = example_model(name)
    sol = model.solve(order=order)
    assert sol.variables_all == example.names, "same variables in the same solver order"
    assert sol.shocks == example.shock_names
    # the examples carry the shock sd as their last parameter
    np.testing.assert_allclose(sol.shock_cov_matrix, [[example.params[-1] ** 2]], rtol=1e-15)
    named = dict(zip(example.param_names, example.params))
    assert {p: named[p] for p in model.parameters} == model.parameters
    status, ref = raw_solve(example, sol.shock_cov_matrix, order)
    assert status == 0
    first = sol.first
    for field in ("ss", "gx", "hx", "transition", "impact"):
        np.testing.assert_allclose(getattr(first, field), ref[field], rtol=1e-12, atol=1e-12,
                                   err_msg=field)
    if order == 2:
        for field in ("g_xx", "h_xx", "g_xe", "h_xe", "g_ee", "h_ee", "g_ss", "h_ss"):
            np.testing.assert_allclose(np.reshape(getattr(sol.second, field), ref[field].shape),
                                       ref[field], rtol=1e-12, atol=1e-12, err_msg=field)


@pytest.mark.parametrize("name,words,bk", [
    ("linear_indeterminate", "indeterminate", 1),
    ("linear_explosive", "no stable solution", -1),
])
def test_saddle_path_failures_match_the_compiled_example(name, words, bk):
    model = mod(name)
    example = example_model(name)
    status, ref = raw_solve(example, model.shock_cov.to_numpy(), 1)
    assert status == 0 and ref["bk"] == bk
    with pytest.raises(Corvane.DeterminacyError, match=words):
        model.solve()


def test_forward_only_model_has_no_state_as_in_the_compiled_example():
    model = mod("linear_forward")
    status, _ = raw_solve(example_model("linear_forward"), model.shock_cov.to_numpy(), 1)
    with pytest.raises(Corvane.SolutionError) as info:
        model.solve()
    assert info.value.status == status == -505


# -- 2. Dynare fixtures ---------------------------------------------------------------

def fixtures():
    return sorted(FIXTURES.glob("*_order*.json")) if FIXTURES.is_dir() else []


def load(path):
    data = json.loads(path.read_text())
    if not (MODELS / f"{data['model']}.mod").exists():
        pytest.skip(f"{data['model']}.mod is not in this tree")
    return data


_SHIFT = re.compile(r"^(\w+)(?:\(([+-]?\d+)\))?$")


def dynare_meaning(data):
    """Dynare auxiliary name -> (base, shift): the variable it holds at t."""
    stands = {a["name"]: a["stands_for"] for a in data.get("auxiliary", [])}

    def resolve(name):
        if name not in stands:
            return name, 0
        base, shift = _SHIFT.match(stands[name]).groups()
        root, inner = resolve(base)
        return root, inner + int(shift or 0)

    return resolve


def dynare_state_names(data):
    resolve = dynare_meaning(data)
    names = []
    for s in data["dr"]["state_var"]:
        base, shift = resolve(s)
        names.append(f"{base}({shift - 1:+d})")
    return names


def product(*names):
    return "*".join(sorted(names))


def dynare_rules(data):
    """(first, second) coefficient tables from Dynare's ghx, ghu, ghxx, ghxu,
    ghuu, ghs2 with rows by variable name, columns by state/shock name."""
    dr = data["dr"]
    rows = dr["order_var"]
    states = dynare_state_names(data)
    shocks = data["exogenous"]
    nx, m = len(states), len(shocks)
    ghx = np.reshape(np.array(dr["ghx"], dtype=float), (len(rows), nx))
    ghu = np.reshape(np.array(dr["ghu"], dtype=float), (len(rows), m))
    first = pd.DataFrame(np.hstack([ghx, ghu]), index=rows, columns=states + shocks)
    if "ghxx" not in dr:
        return first, None
    coef = {}

    def add(name, column):
        coef[name] = coef.get(name, 0.0) + column

    ghxx = np.reshape(np.array(dr["ghxx"], dtype=float), (len(rows), nx * nx))
    ghxu = np.reshape(np.array(dr["ghxu"], dtype=float), (len(rows), nx * m))
    ghuu = np.reshape(np.array(dr["ghuu"], dtype=float), (len(rows), m * m))
    for i in range(nx):
        for j in range(nx):
            add(product(states[i], states[j]), 0.5 * ghxx[:, i * nx + j])
        for k in range(m):
            add(product(states[i], shocks[k]), ghxu[:, i * m + k])
    for k in range(m):
        for l in range(m):
            add(product(shocks[k], shocks[l]), 0.5 * ghuu[:, k * m + l])
    coef["constant"] = 0.5 * np.array(dr["ghs2"], dtype=float)
    return first, pd.DataFrame(coef, index=rows)


@pytest.mark.parametrize("path", fixtures(), ids=lambda p: p.stem)
def test_dynare_fixture(path):
    data = load(path)
    model = Corvane.Model.from_mod(MODELS / f"{data['model']}.mod")
    np.testing.assert_allclose(model.shock_cov.to_numpy(), data["shock_cov"], rtol=1e-14)
    error = data["blanchard_kahn"]["error"]
    if error:
        words = "indeterminate" if "indeterminacy" in error else "no stable solution"
        with pytest.raises(Corvane.DeterminacyError, match=words):
            model.solve()
        return
    if not data["dr"]["state_var"]:
        # Dynare solves models without states; the library's solver needs one
        with pytest.raises(Corvane.SolutionError) as info:
            model.solve(order=data["order"])
        assert info.value.status == -505
        return
    sol = model.solve(order=data["order"])
    steady = pd.Series(data["steady_state"], dtype=float)[list(model.endogenous)]
    pd.testing.assert_series_equal(sol.steady_state, steady, check_names=False, rtol=1e-8,
                                   atol=1e-10)
    first, second = dynare_rules(data)
    rows = list(model.endogenous)
    assert sorted(sol.policy.columns) == sorted(first.columns)
    pd.testing.assert_frame_equal(sol.policy, first.loc[rows, sol.policy.columns],
                                  rtol=1e-8, atol=1e-10)
    if second is not None:
        ours = sol.policy2.rename(columns=lambda c: c if c == "constant"
                                  else product(*c.split("*")))
        assert sorted(ours.columns) == sorted(second.columns)
        pd.testing.assert_frame_equal(ours, second.loc[rows, ours.columns], rtol=1e-6,
                                      atol=1e-9)
    # eigenvalues: the finite ones, by modulus (Dynare prints near-infinite
    # roots of singular lead matrices as huge numbers)
    theirs = np.array(data["eigenvalues"]["real"]) + 1j * np.array(data["eigenvalues"]["imag"])
    theirs = theirs[np.argsort(np.abs(theirs))]
    ours = sol.eigenvalues
    finite = 1e6
    np.testing.assert_allclose(np.abs(ours[np.abs(ours) < finite]),
                               np.abs(theirs[np.abs(theirs) < finite]), rtol=1e-8, atol=1e-12)
    bk = data["blanchard_kahn"]
    assert (f"{bk['explosive']} eigenvalue" in sol.blanchard_kahn
            and f"for {bk['forward_looking']} forward-looking" in sol.blanchard_kahn)
