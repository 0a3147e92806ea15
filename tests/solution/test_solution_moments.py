"""Impulse responses, moments, autocorrelations and variance decompositions
of first-order solutions against the stored Dynare numbers
(tests/fixtures/dynare) and against the closed forms of an AR(1) and a
VAR(1) written as models."""

import json
import pathlib

import numpy as np
import pandas as pd
import pytest

import Corvane

ROOT = pathlib.Path(__file__).resolve().parents[2]
FIXTURES = ROOT / "tests" / "fixtures" / "dynare"
MODELS = ROOT / "examples" / "models"
DYNARE = ["nk", "rbc", "rbc2", "growth", "linear_determinate", "leads"]


@pytest.fixture(scope="module", params=DYNARE)
def case(request):
    fx = json.loads((FIXTURES / f"{request.param}_order1.json").read_text())
    sol = Corvane.Model.from_mod(MODELS / f"{request.param}.mod").solve(order=1)
    return fx, sol


def test_irfs_match_dynare(case):
    fx, sol = case
    resp = fx["irfs"]["responses"]
    irf = sol.irf(periods=fx["irfs"]["periods"])
    assert list(irf.index) == list(range(1, 41))
    for shock, by_var in resp.items():
        # responses that are zero in theory carry rounding noise of the solvers
        scale = max(np.max(np.abs(v)) for v in by_var.values())
        for var, values in by_var.items():
            if var not in sol.variables:
                continue
            ours = irf[(shock, var)].to_numpy()
            # Dynare orthogonalises Sigma + 1e-14 I: a relative 1e-10 at sigma = 0.01
            np.testing.assert_allclose(ours, values, rtol=1e-7, atol=1e-9 * scale)


def test_moments_and_autocorrelations_match_dynare(case):
    fx, sol = case
    mo = fx["moments"]
    names = mo["variables"]
    var = np.array(mo["var"], dtype=float).reshape(len(names), len(names))
    cov = sol.covariance().loc[names, names].to_numpy()
    np.testing.assert_allclose(cov, var, rtol=1e-8, atol=1e-14 * np.abs(var).max())
    m = sol.moments().loc[names]
    np.testing.assert_allclose(m["mean"], mo["mean"], rtol=1e-10, atol=1e-12)
    np.testing.assert_allclose(m["variance"], np.diag(var), rtol=1e-8, atol=1e-16)
    np.testing.assert_allclose(m["std"] ** 2, m["variance"], rtol=1e-14)
    ac = sol.autocorrelation(lags=5).loc[names]
    live = np.diag(var) > 1e-14 * np.abs(var).max()
    for k in range(1, 6):
        ref = np.diag(np.array(mo["autocorr"][str(k)], dtype=float).reshape(len(names), -1))
        np.testing.assert_allclose(ac[k].to_numpy()[live], ref[live], rtol=1e-7, atol=1e-10)
    corr = sol.correlation().loc[names, names].to_numpy()[np.ix_(live, live)]
    sd = np.sqrt(np.diag(var)[live])
    np.testing.assert_allclose(corr, var[np.ix_(live, live)] / np.outer(sd, sd), atol=1e-9)


def test_variance_decompositions_match_dynare(case):
    fx, sol = case
    vd = fx["variance_decomposition"]
    ours = sol.variance_decomposition()
    ref = np.array(vd["percent"], dtype=float).reshape(len(vd["variables"]), -1)
    live = np.isfinite(ref).all(axis=1) & (np.abs(ref.sum(axis=1) - 100) < 1e-6)
    got = ours.loc[vd["variables"], vd["shocks"]].to_numpy()
    np.testing.assert_allclose(got[live], ref[live], atol=1e-7)
    np.testing.assert_allclose(ours.dropna().sum(axis=1), 100.0, rtol=1e-12)
    cvd = fx["conditional_variance_decomposition"]
    hs = cvd["horizons"]
    cond = sol.variance_decomposition(horizons=hs)
    assert list(cond.index.names) == ["horizon", "variable"]
    for h in hs:
        ref = 100.0 * np.array(cvd["values"][str(h)], dtype=float).reshape(
            len(cvd["variables"]), -1)
        got = cond.loc[h].loc[cvd["variables"], cvd["shocks"]].to_numpy()
        ok = np.isfinite(ref).all(axis=1) & np.isfinite(got).all(axis=1)
        np.testing.assert_allclose(got[ok], ref[ok], atol=1e-7)


# ---- closed forms -----------------------------------------------------------

def var1_model(A, sigma):
    """y(t) = A y(t-1) + e(t) with shock covariance sigma, as a Model."""
    n = len(A)
    names = [f"y{i}" for i in range(n)]
    eqs = [f"y{i} = " + " + ".join(f"({A[i][j]!r})*y{j}(-1)" for j in range(n)) + f" + e{i}"
           for i in range(n)]
    shocks = pd.DataFrame(sigma, index=[f"e{i}" for i in range(n)],
                          columns=[f"e{i}" for i in range(n)])
    model = Corvane.Model(eqs, endogenous=names, exogenous=[f"e{i}" for i in range(n)],
                          shocks=shocks)
    return model.solve()


AR1 = ([[0.9]], [[0.01 ** 2]])
VAR1 = ([[0.5, 0.2, 0.0], [-0.3, 0.7, 0.1], [0.0, 0.25, -0.4]],
        [[1.0, 0.3, -0.2], [0.3, 2.0, 0.5], [-0.2, 0.5, 0.8]])


@pytest.mark.parametrize("A,sigma", [AR1, VAR1], ids=["ar1", "var1"])
def test_var1_closed_forms(A, sigma):
    A, sigma = np.array(A), np.array(sigma)
    sol = var1_model(A.tolist(), sigma.tolist())
    n = len(A)
    # vec(G) = (I - A (x) A)^{-1} vec(Sigma)
    G = np.linalg.solve(np.eye(n * n) - np.kron(A, A), sigma.ravel()).reshape(n, n)
    np.testing.assert_allclose(sol.covariance().to_numpy(), G, rtol=1e-12)
    ac = sol.autocorrelation(lags=4)
    for k in range(1, 5):
        np.testing.assert_allclose(ac[k], np.diag(np.linalg.matrix_power(A, k) @ G)
                                   / np.diag(G), rtol=1e-11)
    L = np.linalg.cholesky(sigma)
    irf = sol.irf(periods=6)
    unit = sol.irf(periods=6, size="unit")
    for j in range(n):
        for t in range(6):
            np.testing.assert_allclose(irf.loc[t + 1, f"e{j}"],
                                       np.linalg.matrix_power(A, t) @ L[:, j], atol=1e-14)
            np.testing.assert_allclose(unit.loc[t + 1, f"e{j}"],
                                       np.linalg.matrix_power(A, t)[:, j], atol=1e-14)
    # conditional decomposition at h: sum_{t<h} (A^t L)^2 by shock
    h = 3
    parts = sum((np.linalg.matrix_power(A, t) @ L) ** 2 for t in range(h))
    cond = sol.variance_decomposition(horizons=[h]).loc[h]
    np.testing.assert_allclose(cond.to_numpy(), 100 * parts / parts.sum(1, keepdims=True),
                               rtol=1e-12)
    # unconditional: each shock's Lyapunov solution
    share = np.column_stack([np.diag(np.linalg.solve(
        np.eye(n * n) - np.kron(A, A), np.outer(L[:, j], L[:, j]).ravel()).reshape(n, n))
        for j in range(n)])
    np.testing.assert_allclose(sol.variance_decomposition().to_numpy(),
                               100 * share / np.diag(G)[:, None], rtol=1e-11)


def test_irf_selects_shocks_and_rejects_bad_arguments():
    sol = var1_model(VAR1[0], VAR1[1])
    irf = sol.irf(periods=3, shocks="e1")
    assert list(irf.columns.get_level_values("shock").unique()) == ["e1"]
    with pytest.raises(Corvane.ModelError, match="unknown shock"):
        sol.irf(shocks=["nope"])
    with pytest.raises(Corvane.ModelError, match="size"):
        sol.irf(size="big")


def test_unit_root_is_an_error_not_a_number():
    sol = var1_model([[1.0]], [[1.0]])
    with pytest.raises(Corvane.SolutionError, match="stationary"):
        sol.moments()
