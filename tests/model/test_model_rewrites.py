"""Models the solvers see rewritten, against twins written in the solvers' form
by hand: auxiliary variables, loglinear, predetermined_variables and
STEADY_STATE. The twin's solution is computed independently of the rewrite
(its equations need none), so agreement checks the rewrite end to end."""

import math

import numpy as np
import pandas as pd
import pytest

import Corvane

ALPHA, BETA, RHO = 0.36, 0.96, 0.9


def renamed(frame, rows=None, columns=None):
    """frame with its labels renamed and put in the order of the mapping."""
    out = frame
    if columns:
        out = out.rename(columns=columns)
    if rows:
        out = out.rename(index=rows)
    return out


# -- leads and lags beyond one ------------------------------------------------------

LEADS = """
var x y;
varexo e;
parameters rho beta;
rho = 0.5; beta = 0.9;
model;
  x = rho*x(-1) + 0.1*x(-3) + e + 0.2*e(-1);
  y = beta*y(+1) + 0.3*x(+2) + 0.5*x(+2)^2 + x;
end;
steady_state_model; x = 0; y = 0; end;
shocks; var e; stderr 0.1; end;
"""

LEADS_TWIN = """
var x y L1 L2 F1 E0;
varexo e;
parameters rho beta;
rho = 0.5; beta = 0.9;
model;
  x = rho*x(-1) + 0.1*L2(-1) + e + 0.2*E0(-1);
  y = beta*y(+1) + 0.3*F1(+1) + 0.5*F1(+1)^2 + x;
  E0 = e;
  F1 = x(+1);
  L1 = x(-1);
  L2 = L1(-1);
end;
steady_state_model; x = 0; y = 0; L1 = 0; L2 = 0; F1 = 0; E0 = 0; end;
shocks; var e; stderr 0.1; end;
"""

TWIN_STATES = {"x(-1)": "x(-1)", "e(-1)": "E0(-1)", "x(-2)": "L1(-1)", "x(-3)": "L2(-1)"}
TWIN_ROWS = {"AUX_EXO_e": "E0", "AUX_LEAD_x_1": "F1", "AUX_LAG_x_1": "L1",
             "AUX_LAG_x_2": "L2"}


def product_names(columns, mapping):
    return {c: "*".join(mapping.get(p, p) for p in c.split("*")) for c in columns}


@pytest.mark.parametrize("order", [1, 2])
def test_auxiliary_variables_match_the_hand_expanded_twin(order):
    model = Corvane.Model.from_mod(LEADS)
    twin = Corvane.Model.from_mod(LEADS_TWIN)
    assert model.auxiliary == ("AUX_EXO_e", "AUX_LEAD_x_1", "AUX_LAG_x_1", "AUX_LAG_x_2")
    sol = model.solve(order=order, auxiliary=True)
    ref = twin.solve(order=order)
    assert set(sol.states) == set(TWIN_STATES)
    got = renamed(sol.policy, rows=TWIN_ROWS, columns=TWIN_STATES)
    pd.testing.assert_frame_equal(got, ref.policy.loc[got.index, got.columns], atol=1e-13)
    if order == 2:
        got = renamed(sol.policy2, rows=TWIN_ROWS,
                      columns=product_names(sol.policy2.columns, TWIN_STATES))
        want = ref.policy2.rename(columns=lambda c: "*".join(sorted(c.split("*"))))
        got = got.rename(columns=lambda c: "*".join(sorted(c.split("*"))))
        pd.testing.assert_frame_equal(got, want.loc[got.index, got.columns], atol=1e-9)


def test_auxiliary_variables_are_left_out_unless_asked():
    model = Corvane.Model.from_mod(LEADS)
    sol = model.solve()
    assert list(sol.policy.index) == ["x", "y"]
    assert list(sol.steady_state.index) == ["x", "y"]
    assert list(model.solve(auxiliary=True).policy.index) == ["x", "y", *model.auxiliary]


# -- loglinear --------------------------------------------------------------------

LEVELS = f"""
var k z c;
varexo e;
parameters alpha beta rho;
alpha = {ALPHA}; beta = {BETA}; rho = {RHO};
model;
  c + k = z * k(-1)^alpha;
  1/c = beta*alpha*z(+1)*k^(alpha - 1)/c(+1);
  log(z) = rho*log(z(-1)) + e;
end;
steady_state_model;
  z = 1; k = (alpha*beta)^(1/(1 - alpha)); c = (1 - alpha*beta)*k^alpha;
end;
shocks; var e; stderr 0.01; end;
stoch_simul(order=1, loglinear);
"""

LOGS = f"""
var lk lz lc;
varexo e;
parameters alpha beta rho;
alpha = {ALPHA}; beta = {BETA}; rho = {RHO};
model;
  exp(lc) + exp(lk) = exp(lz)*exp(lk(-1))^alpha;
  1/exp(lc) = beta*alpha*exp(lz(+1))*exp(lk)^(alpha - 1)/exp(lc(+1));
  lz = rho*lz(-1) + e;
end;
steady_state_model;
  lz = 0; lk = log(alpha*beta)/(1 - alpha); lc = log(1 - alpha*beta) + alpha*lk;
end;
shocks; var e; stderr 0.01; end;
"""


def test_loglinear_matches_the_model_written_in_logs():
    levels = Corvane.Model.from_mod(LEVELS)
    logs = Corvane.Model.from_mod(LOGS)
    sol = levels.solve()                     # loglinear from stoch_simul
    ref = logs.solve()
    assert sol.loglinear and not ref.loglinear
    names = {"k": "lk", "z": "lz", "c": "lc", "k(-1)": "lk(-1)", "z(-1)": "lz(-1)"}
    pd.testing.assert_series_equal(sol.steady_state.rename(names), ref.steady_state,
                                   check_names=False, rtol=1e-13)
    pd.testing.assert_frame_equal(renamed(sol.policy, rows=names, columns=names), ref.policy,
                                  rtol=1e-10, atol=1e-13)
    # in logs the model is exactly linear: log k = log(alpha beta) + alpha log k(-1) + log z
    np.testing.assert_allclose(sol.policy.loc[["k", "c"]].to_numpy(),
                               [[ALPHA, RHO, 1.0], [ALPHA, RHO, 1.0]], rtol=1e-10)
    assert sol.steady_state["k"] == pytest.approx(math.log(ALPHA * BETA) / (1 - ALPHA),
                                                  rel=1e-14)


def test_loglinear_second_order_terms_vanish_for_the_log_linear_model():
    sol = Corvane.Model.from_mod(LEVELS).solve(order=2)
    np.testing.assert_allclose(sol.policy2.to_numpy(), 0.0, atol=1e-8)


def test_loglinear_option_and_steady_state_in_levels():
    model = Corvane.Model.from_mod(LEVELS)
    levels = model.solve(loglinear=False)
    logs = model.solve()
    assert not levels.loglinear
    # model.steady_state() is always in levels
    np.testing.assert_allclose(np.log(model.steady_state()), logs.steady_state, rtol=1e-14)
    # level and log rules differ by the steady-state scaling: d y = ybar d log y
    scale = model.steady_state()
    states = scale[["k", "z"]].to_numpy()
    np.testing.assert_allclose(levels.policy.iloc[:, :2].to_numpy(),
                               logs.policy.iloc[:, :2].to_numpy() * scale.to_numpy()[:, None]
                               / states[None, :], rtol=1e-9)


def test_loglinear_needs_positive_steady_states():
    growth = LEVELS.replace("log(z) = rho*log(z(-1)) + e", "z = rho*z(-1) + e").replace(
        "z = 1;", "z = 0;").replace("c + k = z * k(-1)^alpha", "c + k = exp(z) * k(-1)^alpha")
    growth = growth.replace("1/c = beta*alpha*z(+1)", "1/c = beta*alpha*exp(z(+1))")
    with pytest.raises(Corvane.SteadyStateError, match="positive steady states; z = 0"):
        Corvane.Model.from_mod(growth).solve()


@pytest.mark.parametrize("z", ["1e-14", "3e-11"])
def test_loglinear_rejects_effectively_zero_steady_states(z):
    # z's steady state is 0 up to rounding: log(z) ~ -30 would pass a plain
    # positivity check and give a meaningless log rule
    growth = LEVELS.replace("log(z) = rho*log(z(-1)) + e",
                            f"z - {z} = rho*(z(-1) - {z}) + e").replace(
        "c + k = z * k(-1)^alpha", "c + k = exp(z) * k(-1)^alpha").replace(
        "1/c = beta*alpha*z(+1)", "1/c = beta*alpha*exp(z(+1))")
    # Newton from initval instead of the closed form
    growth = growth.replace(
        "steady_state_model;\n  z = 1; k = (alpha*beta)^(1/(1 - alpha)); c = (1 - alpha*beta)*k^alpha;\nend;",
        "initval; z = 0.01; k = 0.2; c = 0.5; end;\nsteady;")
    assert "initval" in growth
    model = Corvane.Model.from_mod(growth)
    assert 0 < model.steady_state()["z"] < 1e-10
    with pytest.raises(Corvane.ModelError,
                       match=r"strictly positive steady states; z = \S+ \(effectively zero\)"):
        model.solve()
    # in levels the same model solves
    assert not model.solve(loglinear=False).loglinear


# -- predetermined_variables ------------------------------------------------------

GROWTH = f"""
var k a c;
varexo e;
parameters alpha beta rho;
alpha = {ALPHA}; beta = {BETA}; rho = {RHO};
model;
  c + k = exp(a) * k(-1)^alpha;
  1/c = beta * alpha * exp(a(+1)) * k^(alpha - 1) / c(+1);
  a = rho * a(-1) + e;
end;
initval; k = 0.2; c = 0.4; end;
shocks; var e; stderr 0.01; end;
"""

PREDETERMINED = GROWTH.replace("parameters alpha", "predetermined_variables k;\nparameters alpha")
PREDETERMINED = PREDETERMINED.replace("c + k = exp(a) * k(-1)^alpha",
                                      "c + k(+1) = exp(a) * k^alpha").replace(
    "exp(a(+1)) * k^(alpha - 1)", "exp(a(+1)) * k(+1)^(alpha - 1)")


@pytest.mark.parametrize("order", [1, 2])
def test_predetermined_variables_match_the_shifted_twin(order):
    assert "predetermined_variables k" in PREDETERMINED
    sol = Corvane.Model.from_mod(PREDETERMINED).solve(order=order)
    ref = Corvane.Model.from_mod(GROWTH).solve(order=order)
    assert sol.states == ref.states == ("k(-1)", "a(-1)")
    pd.testing.assert_frame_equal(sol.policy, ref.policy, rtol=1e-13, atol=1e-15)
    if order == 2:
        pd.testing.assert_frame_equal(sol.policy2, ref.policy2, rtol=1e-12, atol=1e-14)


# -- STEADY_STATE -----------------------------------------------------------------

TAYLOR = """
var p r v;
varexo e;
parameters rr pistar phi rho;
rr = 0.01; pistar = 0.005; phi = 1.5; rho = 0.7;
model;
  r = rr + p(+1);
  r = rr + pistar + phi*(p - STEADY_STATE(p)) + v;
  v = rho*v(-1) + e;
end;
initval; p = 0; r = 0; end;
shocks; var e; stderr 0.0025; end;
"""


@pytest.mark.parametrize("steady", ["newton", "closed form"])
def test_steady_state_operator_matches_its_value_written_in(steady):
    """With STEADY_STATE(p) held fixed at s, p = (pistar - phi s)/(1 - phi):
    a fixed-point iteration on s diverges for phi > 1, so this checks the
    steady state is solved jointly."""
    text = TAYLOR
    if steady == "closed form":
        text = text.replace("initval; p = 0; r = 0; end;",
                            "steady_state_model; p = pistar; r = rr + pistar; v = 0; end;")
    model = Corvane.Model.from_mod(text)
    twin = Corvane.Model.from_mod(TAYLOR.replace("STEADY_STATE(p)", "0.005"))
    np.testing.assert_allclose(model.steady_state(), [0.005, 0.015, 0.0], atol=1e-14)
    sol, ref = model.solve(), twin.solve()
    pd.testing.assert_frame_equal(sol.policy, ref.policy, rtol=1e-12, atol=1e-15)
    # the target moves with pistar: a new steady state, the same dynamics
    moved = model.with_parameters(pistar=0.01)
    assert moved.steady_state()["p"] == pytest.approx(0.01, abs=1e-14)
    pd.testing.assert_frame_equal(moved.solve().policy, sol.policy, rtol=1e-10, atol=1e-15)
