"""The Model object: construction from files and from Python, names, values,
steady states by each route, and every kind of user mistake."""

import math
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import Corvane
from Corvane.errors import ModelError, ParseError, SteadyStateError

ALPHA, BETA, RHO = 0.36, 0.96, 0.9
K = (ALPHA * BETA) ** (1 / (1 - ALPHA))
STEADY = pd.Series({"k": K, "a": 0.0, "c": (1 - ALPHA * BETA) * K ** ALPHA})

EQUATIONS = ["c + k = exp(a) * k(-1)^alpha",
             "1/c = beta * alpha * exp(a(+1)) * k^(alpha - 1) / c(+1)",
             "a = rho * a(-1) + e"]
PARAMETERS = {"alpha": ALPHA, "beta": BETA, "rho": RHO}
CLOSED_FORM = ["k = (alpha*beta)^(1/(1 - alpha))", "a = 0", "c = (1 - alpha*beta)*k^alpha"]

GROWTH = f"""
// growth with log utility and full depreciation
var k a c;
varexo e;
parameters alpha beta rho;
alpha = {ALPHA}; beta = {BETA}; rho = {RHO};
model;
  c + k = exp(a) * k(-1)^alpha;
  [name='euler']
  1/c = beta * alpha * exp(a(+1)) * k^(alpha - 1) / c(+1);
  a = rho * a(-1) + e;
end;
initval; k = 0.2; c = 0.4; end;
shocks; var e; stderr 0.01; end;
varobs c;
"""


def growth(**kwargs):
    args = dict(endogenous=["k", "a", "c"], exogenous=["e"], parameters=PARAMETERS,
                steady_state=CLOSED_FORM, shocks={"e": 0.01})
    args.update(kwargs)
    return Corvane.Model(EQUATIONS, **args)


def test_from_mod_text_and_path_give_the_same_model(tmp_path):
    path = tmp_path / "growth.mod"
    path.write_text(GROWTH)
    from_text = Corvane.Model.from_mod(GROWTH)
    for source in (path, str(path)):
        from_path = Corvane.Model.from_mod(source)
        assert from_path.name == "growth"
        assert from_path.endogenous == from_text.endogenous == ("k", "a", "c")
        assert from_path.exogenous == ("e",)
        assert from_path.observables == ("c",)
        assert from_path.parameters == from_text.parameters == PARAMETERS
        pd.testing.assert_series_equal(from_path.steady_state(), from_text.steady_state())


def test_names_and_values_are_copies():
    model = growth()
    params = model.parameters
    params["alpha"] = 0.5
    assert model.parameters["alpha"] == ALPHA
    cov = model.shock_cov
    assert list(cov.index) == list(cov.columns) == ["e"]
    assert cov.loc["e", "e"] == pytest.approx(1e-4, rel=1e-15)
    cov.loc["e", "e"] = 1.0
    assert model.shock_cov.loc["e", "e"] == pytest.approx(1e-4, rel=1e-15)
    assert model.auxiliary == ()


@pytest.mark.parametrize("route", ["closed form", "dict closed form", "newton", "callable",
                                   "mod file newton"])
def test_steady_state_by_every_route(route):
    if route == "closed form":
        model = growth()
    elif route == "dict closed form":
        model = growth(steady_state={"k": "(alpha*beta)^(1/(1 - alpha))", "a": 0,
                                     "c": "(1 - alpha*beta)*k^alpha"})
    elif route == "newton":
        model = growth(steady_state=None, initval={"k": 0.2, "c": 0.4})
    elif route == "callable":
        def closed(p):
            k = (p["alpha"] * p["beta"]) ** (1 / (1 - p["alpha"]))
            return {"k": k, "a": 0.0, "c": (1 - p["alpha"] * p["beta"]) * k ** p["alpha"]}

        model = growth(steady_state=closed)
    else:
        model = Corvane.Model.from_mod(GROWTH)
    ss = model.steady_state()
    assert list(ss.index) == ["k", "a", "c"]
    pd.testing.assert_series_equal(ss, STEADY, check_names=False, rtol=1e-12, atol=1e-15)


def test_with_parameters_and_params_change_values_and_share_compiled_code():
    model = growth()
    other = model.with_parameters(alpha=0.3)
    assert other.parameters["alpha"] == 0.3 and model.parameters["alpha"] == ALPHA
    k = (0.3 * BETA) ** (1 / 0.7)
    assert other.steady_state()["k"] == pytest.approx(k, rel=1e-13)
    assert model.steady_state(params={"alpha": 0.3})["k"] == pytest.approx(k, rel=1e-13)
    assert model.steady_state()["k"] == pytest.approx(K, rel=1e-13)
    assert other.solve().compiled is model.solve().compiled
    assert other.solve().policy.loc["k", "k(-1)"] == pytest.approx(0.3, rel=1e-10)


def test_estimated_params_initial_value_is_a_parameter_value():
    text = GROWTH.replace(f"rho = {RHO};", "") + "estimated_params; rho, 0.8, 0, 1; end;\n"
    assert Corvane.Model.from_mod(text).parameters["rho"] == 0.8


def test_shocks_block_covariances_and_unmentioned_shocks():
    text = GROWTH.replace("varexo e;", "varexo e u w;").replace(
        "a = rho * a(-1) + e;", "a = rho * a(-1) + e + u + w;").replace(
        "shocks; var e; stderr 0.01; end;",
        "shocks; var e; stderr 0.01; var u = 0.0004; corr e, u = 0.5; end;")
    cov = Corvane.Model.from_mod(text).shock_cov
    expected = np.array([[1e-4, 0.5 * 0.01 * 0.02, 0], [0.5 * 0.01 * 0.02, 4e-4, 0],
                         [0, 0, 0]])
    np.testing.assert_allclose(cov.to_numpy(), expected, rtol=1e-14)
    assert list(cov.index) == ["e", "u", "w"]


def test_repr_shows_the_model():
    text = repr(Corvane.Model.from_mod(GROWTH))
    for part in ("'model'", "3 equations", "k, a, c", "alpha=0.36", "observables  c",
                 "Newton from initval"):
        assert part in text


class Boom(Exception):
    pass


def boom(params):
    raise Boom("inside the user's steady state")


# (what, build, exception, words the message must hold)
MISTAKES = [
    ("unknown name", lambda: growth(parameters={"alpha": ALPHA, "beta": BETA, "rh": RHO}),
     ParseError, ["rho"]),
    ("equation count", lambda: Corvane.Model(EQUATIONS[:2], endogenous=["k", "a", "c"],
                                             exogenous=["e"], parameters=PARAMETERS),
     ModelError, ["2 equations for 3 endogenous variables (k, a, c)"]),
    ("parameter without a value",
     lambda: growth(parameters={"alpha": ALPHA, "beta": BETA, "rho": None}).solve(),
     ModelError, ["rho has no value"]),
    ("endogenous as a string", lambda: growth(endogenous="k a c"), ModelError,
     ["endogenous must be a list of names", "str"]),
    ("parameters as a list", lambda: growth(parameters=["alpha", "beta", "rho"]), ModelError,
     ["parameters must be a dict"]),
    ("parameter value as text", lambda: growth(parameters={**PARAMETERS, "rho": "0.9"}),
     ModelError, ["parameters['rho'] must be a real number", "str"]),
    ("equations as one string", lambda: Corvane.Model("a = rho*a(-1) + e", endogenous=["a"]),
     ModelError, ["equations must be a list of strings"]),
    ("equation not a string", lambda: Corvane.Model([1.0], endogenous=["a"]), ModelError,
     ["equations[0] must be a string"]),
    ("shocks as a list", lambda: growth(shocks=[0.01]), ModelError,
     ["shocks must be a dict of standard deviations"]),
    ("shock not declared", lambda: growth(shocks={"u": 0.01}), ModelError,
     ["'u' is not a declared shock"]),
    ("negative standard deviation", lambda: growth(shocks={"e": -0.01}), ModelError,
     ["non-negative"]),
    ("covariance labels", lambda: growth(shocks=pd.DataFrame([[1.0]], index=["u"],
                                                             columns=["u"])),
     ModelError, ["'u' is not a declared shock"]),
    ("initval for a shock", lambda: growth(initval={"e": 1.0}), ModelError,
     ["initval: 'e' is a shock"]),
    ("initval unknown", lambda: growth(initval={"kk": 1.0}), ModelError,
     ["initval: 'kk' is not an endogenous variable"]),
    ("observable unknown", lambda: growth(observables=["y"]), ModelError,
     ["observables: 'y' is not an endogenous variable"]),
    ("name declared twice", lambda: growth(exogenous=["e", "k"]), ModelError,
     ["'k' is declared both as endogenous variable and as shock"]),
    ("with_parameters unknown", lambda: growth().with_parameters(gamma=1.0), ModelError,
     ["unknown parameter 'gamma'", "alpha, beta, rho"]),
    ("params wrong type", lambda: growth().solve(params=[0.3]), ModelError,
     ["params must be a dict"]),
    ("order 3", lambda: growth().solve(order=3), ModelError, ["order must be 1 or 2"]),
    ("loglinear as text", lambda: growth().solve(loglinear="yes"), ModelError,
     ["loglinear must be True, False or None"]),
    ("steady state misses a variable", lambda: growth(steady_state=CLOSED_FORM[:2]),
     ModelError, ["no value assigned to c"]),
    ("callable misses a variable", lambda: growth(steady_state=lambda p: {"k": K}).solve(),
     ModelError, ["returned no value for a, c"]),
    ("callable returns a list", lambda: growth(steady_state=lambda p: [K, 0, 1]).solve(),
     ModelError, ["must return a dict or Series"]),
    ("callable raises", lambda: growth(steady_state=boom).steady_state(), Boom,
     ["inside the user's steady state"]),
    ("no model file", lambda: Corvane.Model.from_mod("no/such/file.mod"), ModelError,
     ["no model file at"]),
    ("from_mod of a number", lambda: Corvane.Model.from_mod(3), ModelError,
     ["takes a path or the text"]),
]


@pytest.mark.parametrize("what,build,exception,words", MISTAKES, ids=[m[0] for m in MISTAKES])
def test_user_mistakes(what, build, exception, words):
    with pytest.raises(exception) as info:
        build()
    for word in words:
        assert word in str(info.value)


def test_wrong_closed_form_names_the_worst_equations():
    wrong = CLOSED_FORM[:2] + ["c = 0.9*(1 - alpha*beta)*k^alpha"]
    with pytest.raises(SteadyStateError) as info:
        growth(steady_state=wrong).steady_state()
    message = str(info.value)
    assert "closed-form steady state does not solve" in message
    assert "c + k = exp(a) * k(-1)^alpha" in message
    c = (1 - ALPHA * BETA) * K ** ALPHA
    # resource constraint: 0.9 c + k - k^alpha = -0.1 c; Euler: 1/(0.9 c) - 1/(0.9 c) = 0
    residuals = info.value.residuals
    assert residuals.iloc[0] == pytest.approx(-0.1 * c, rel=1e-10)
    assert len(residuals) == 1


def test_newton_failure_names_the_equations():
    with pytest.raises(SteadyStateError) as info:
        Corvane.Model.from_mod(GROWTH.replace("k = 0.2; c = 0.4;", "k = 0; c = 0;")).solve()
    assert "Newton" in str(info.value)
    assert "largest residuals at k = 0, a = 0, c = 0:" in str(info.value)


def test_file_labels_equations_by_tag_and_line():
    text = GROWTH.replace("initval; k = 0.2; c = 0.4; end;",
                          "steady_state_model; k = 0.2; a = 0; c = 0.4; end;")
    with pytest.raises(SteadyStateError) as info:
        Corvane.Model.from_mod(text).steady_state()
    labels = list(info.value.residuals.index)
    assert "equation 'euler'" in labels
    assert any("line 8" in label for label in labels)   # c + k = ... on line 8


@pytest.mark.parametrize("kind,words", [
    # one forward-looking variable y; (x(-1), y) -> (x, y(+1)) has the roots
    # 0.5 (complex pair) for (rho, phi, kappa) = (0.5, 2, 0.1), sqrt(3) for (1.5, 0.5, 0.1)
    ("indeterminate", "indeterminate: 0 eigenvalues larger than 1 in modulus for 1 "
                      "forward-looking variable "),
    ("explosive", "no stable solution: 2 eigenvalues larger than 1 in modulus for 1 "
                  "forward-looking variable "),
])
def test_blanchard_kahn_failures(kind, words):
    rho, phi, kappa = {"indeterminate": (0.5, 2.0, 0.1), "explosive": (1.5, 0.5, 0.1)}[kind]
    model = Corvane.Model(["x = rho*x(-1) + kappa*y + e", "y = phi*y(+1) + x"],
                          endogenous=["x", "y"], exogenous=["e"],
                          parameters={"rho": rho, "phi": phi, "kappa": kappa},
                          steady_state=["x = 0", "y = 0"], shocks={"e": 1.0})
    with pytest.raises(Corvane.DeterminacyError, match=words):
        model.solve()


def test_loglinear_default_comes_from_the_file():
    text = GROWTH.replace("a = rho * a(-1) + e;", "log(a) = rho * log(a(-1)) + e;").replace(
        "exp(a)", "a").replace("exp(a(+1))", "a(+1)").replace("k = 0.2; c = 0.4;",
                                                             "k = 0.2; c = 0.4; a = 1;")
    assert not Corvane.Model.from_mod(text).solve().loglinear
    assert Corvane.Model.from_mod(text + "stoch_simul(order=1, loglinear);").solve().loglinear
    assert math.isclose(Corvane.Model.from_mod(text).steady_state()["a"], 1.0)


POSITIVE = GROWTH.replace("a = rho * a(-1) + e;", "log(a) = rho * log(a(-1)) + e;").replace(
    "exp(a(+1))", "a(+1)").replace("exp(a)", "a").replace("k = 0.2; c = 0.4;",
                                                         "k = 0.2; c = 0.4; a = 1;")


@pytest.mark.parametrize("route", ["closed form", "newton"])
def test_repeated_solves_follow_the_parameter_values(route):
    """Alternating parameter values, orders, loglinear flags and
    with_parameters twins: each solution is the one of its own values (the
    growth policy k' = alpha beta a k^alpha has dk'/dk(-1) = alpha at the
    steady state, in levels and in logs)."""
    if route == "closed form":
        model = Corvane.Model.from_mod(POSITIVE.replace(
            "initval; k = 0.2; c = 0.4; a = 1; end;", "steady_state_model; a = 1; "
            "k = (alpha*beta)^(1/(1 - alpha)); c = (1 - alpha*beta)*k^alpha; end;"))
    else:
        model = Corvane.Model.from_mod(POSITIVE)
    twin = model.with_parameters(alpha=0.3)
    for _ in range(2):
        for m, alpha in ((model, ALPHA), (twin, 0.3), (model, ALPHA)):
            k = (alpha * BETA) ** (1 / (1 - alpha))
            for loglinear, order in ((False, 1), (True, 1), (False, 2), (True, 2)):
                sol = m.solve(order=order, loglinear=loglinear)
                ss = math.log(k) if loglinear else k
                assert sol.steady_state["k"] == pytest.approx(ss, rel=1e-12)
                assert sol.policy.loc["k", "k(-1)"] == pytest.approx(alpha, rel=1e-10)
        sol = model.solve(params={"alpha": 0.25}, loglinear=True)
        assert sol.policy.loc["k", "k(-1)"] == pytest.approx(0.25, rel=1e-10)


def test_a_steady_state_callable_is_called_on_every_solve():
    calls = []

    def closed(p):
        calls.append(p["alpha"])
        k = (p["alpha"] * p["beta"]) ** (1 / (1 - p["alpha"]))
        return {"k": k, "a": 0.0, "c": (1 - p["alpha"] * p["beta"]) * k ** p["alpha"]}

    model = growth(steady_state=closed)
    for _ in range(3):
        model.solve()
    assert calls == [ALPHA] * 3


NK = Path(__file__).resolve().parents[2] / "examples" / "models" / "nk.mod"


@pytest.mark.parametrize("phi_pi", [0.5, 0.9, 0.99, 0.995, 1.01, 1.5, 3.0])
def test_taylor_principle_decides_determinacy(phi_pi):
    """The New Keynesian model with a contemporaneous Taylor rule is
    determinate exactly when kappa (phi_pi - 1) + (1 - beta) phi_y > 0
    (Bullard and Mitra 2002): here phi_pi > 0.99272. Below it the solver's
    singular systems are reported as indeterminacy with the root count."""
    model = Corvane.Model.from_mod(NK)
    p = model.parameters
    kappa = (1 - p["theta"]) * (1 - p["beta"] * p["theta"]) / p["theta"] * (p["sigma"]
                                                                          + p["varphi"])
    determinate = kappa * (phi_pi - 1) + (1 - p["beta"]) * p["phi_y"] > 0
    for order in (1, 2):
        if determinate:
            sol = model.solve(order=order, params={"phi_pi": phi_pi})
            assert np.sum(np.abs(sol.eigenvalues) > 1) == 2
        else:
            with pytest.raises(Corvane.DeterminacyError,
                               match="indeterminate: 1 eigenvalue larger than 1 in modulus "
                                     "for 2 forward-looking variables"):
                model.solve(order=order, params={"phi_pi": phi_pi})
