"""Solutions against decision rules known in closed form.

Growth model with log utility and full depreciation: k = alpha beta exp(a)
k(-1)^alpha exactly, c = (1 - alpha beta)/(alpha beta) k, at every order and
whatever the shock variance. Two-shock expectations model: y = E x(+1) w(+1)
and z = E [x(+1)^2 + 0.3 w(+1)^2] with AR(1) x and w are exact quadratics in
(x(-1), w(-1), e, u), so their second-order terms, including the (x, e) and
(e, e) blocks and the variance constant, are known exactly.
"""

import re
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import Corvane

ALPHA, BETA, RHO = 0.36, 0.96, 0.9

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
steady_state_model;
  k = (alpha*beta)^(1/(1 - alpha));
  a = 0;
  c = (1 - alpha*beta) * k^alpha;
end;
shocks; var e; stderr 0.01; end;
"""


@pytest.fixture(scope="module")
def growth():
    return Corvane.Model.from_mod(GROWTH)


def growth_rule():
    """Exact Taylor coefficients of (k, a, c) in (k(-1), a(-1), e)."""
    k = (ALPHA * BETA) ** (1 / (1 - ALPHA))
    ratio = (1 - ALPHA * BETA) / (ALPHA * BETA)
    first_k = [ALPHA, RHO * k, k]
    # k(-1)^2, k(-1) a(-1), a(-1)^2, k(-1) e, a(-1) e, e^2, constant
    second_k = [ALPHA * (ALPHA - 1) / (2 * k), ALPHA * RHO, RHO ** 2 * k / 2, ALPHA, RHO * k,
                k / 2, 0.0]
    first = pd.DataFrame([first_k, [0, RHO, 1], np.multiply(ratio, first_k)],
                         index=["k", "a", "c"], columns=["k(-1)", "a(-1)", "e"])
    second = pd.DataFrame([second_k, [0.0] * 7, np.multiply(ratio, second_k)],
                          index=["k", "a", "c"],
                          columns=["k(-1)*k(-1)", "k(-1)*a(-1)", "a(-1)*a(-1)", "k(-1)*e",
                                   "a(-1)*e", "e*e", "constant"])
    steady = pd.Series([k, 0.0, (1 - ALPHA * BETA) * k ** ALPHA], index=["k", "a", "c"])
    return steady, first, second


@pytest.mark.parametrize("order", [1, 2])
def test_growth_first_order_rule_is_the_closed_form(growth, order):
    sol = growth.solve(order=order)
    steady, first, _ = growth_rule()
    assert sol.order == order
    assert sol.states == ("k(-1)", "a(-1)")
    assert sol.shocks == ("e",)
    pd.testing.assert_series_equal(sol.steady_state, steady, check_names=False, rtol=1e-13)
    pd.testing.assert_frame_equal(sol.policy, first, rtol=1e-10, atol=1e-13)


def test_growth_second_order_terms_are_the_closed_form(growth):
    sol = growth.solve(order=2)
    _, _, second = growth_rule()
    # bicomplex-step Hessians are exact to rounding of the step, ~1e-9 relative
    pd.testing.assert_frame_equal(sol.policy2, second, rtol=1e-7, atol=1e-9)


def test_growth_eigenvalues_and_blanchard_kahn(growth):
    sol = growth.solve()
    moduli = np.abs(sol.eigenvalues)
    assert np.all(np.diff(moduli) >= 0), "sorted by modulus"
    # the stable roots are those of the state transition: alpha and rho
    np.testing.assert_allclose(np.sort(sol.eigenvalues[moduli < 1].real), [ALPHA, RHO],
                               rtol=1e-10)
    assert np.sum(moduli > 1) == 2          # c forward-looking, a mixed
    assert "2 eigenvalues larger than 1 in modulus for 2 forward-looking" in sol.blanchard_kahn


def test_growth_second_order_rule_reproduces_the_exact_policy(growth):
    """The second-order rule evaluated off the steady state against the
    exact nonlinear policy: the error is third order in the deviation."""
    sol = growth.solve(order=2)
    steady, _, _ = growth_rule()
    k0 = steady["k"]
    for scale in (1e-2, 5e-3):
        dk, da, de = 0.3 * scale * k0, scale, -0.5 * scale
        exact = ALPHA * BETA * np.exp(RHO * da + de) * (k0 + dk) ** ALPHA
        products = {"k(-1)*k(-1)": dk * dk, "k(-1)*a(-1)": dk * da, "a(-1)*a(-1)": da * da,
                    "k(-1)*e": dk * de, "a(-1)*e": da * de, "e*e": de * de, "constant": 1.0}
        approx = (k0 + sol.policy.loc["k"] @ pd.Series({"k(-1)": dk, "a(-1)": da, "e": de})
                  + sol.policy2.loc["k"] @ pd.Series(products))
        assert abs(approx - exact) < 10 * scale ** 3 * k0


RX, RW, SE, SU, CORR = 0.9, 0.5, 0.1, 0.2, 0.3

TWO_SHOCKS = [
    "x = rx*x(-1) + e",
    "w = rw*w(-1) + u",
    "y = x(+1)*w(+1)",
    "z = x(+1)^2 + 0.3*w(+1)^2",
]


def two_shock_model(shocks="dataframe"):
    cov = np.array([[SE ** 2, CORR * SE * SU], [CORR * SE * SU, SU ** 2]])
    return Corvane.Model(TWO_SHOCKS, endogenous=["x", "w", "y", "z"], exogenous=["e", "u"],
                         parameters={"rx": RX, "rw": RW},
                         steady_state={"x": 0, "w": 0, "y": 0, "z": 0},
                         shocks=pd.DataFrame(cov, index=["e", "u"], columns=["e", "u"]))


def two_shock_rule():
    """Exact coefficients: x = rx x(-1) + e, w = rw w(-1) + u, and
    y = rx rw x w + cov(e, u), z = rx^2 x^2 + var e + 0.3 (rw^2 w^2 + var u)
    expanded in (x(-1), w(-1), e, u)."""
    cols = ["x(-1)*x(-1)", "x(-1)*w(-1)", "w(-1)*w(-1)", "x(-1)*e", "x(-1)*u", "w(-1)*e",
            "w(-1)*u", "e*e", "e*u", "u*u", "constant"]
    y = dict.fromkeys(cols, 0.0)
    y.update({"x(-1)*w(-1)": RX ** 2 * RW ** 2, "x(-1)*u": RX ** 2 * RW,
              "w(-1)*e": RX * RW ** 2, "e*u": RX * RW, "constant": CORR * SE * SU})
    z = dict.fromkeys(cols, 0.0)
    z.update({"x(-1)*x(-1)": RX ** 4, "x(-1)*e": 2 * RX ** 3, "e*e": RX ** 2,
              "w(-1)*w(-1)": 0.3 * RW ** 4, "w(-1)*u": 0.6 * RW ** 3, "u*u": 0.3 * RW ** 2,
              "constant": SE ** 2 + 0.3 * SU ** 2})
    zero = dict.fromkeys(cols, 0.0)
    return pd.DataFrame([zero, zero, y, z], index=["x", "w", "y", "z"], columns=cols)


def test_two_shock_first_order():
    sol = two_shock_model().solve()
    expected = pd.DataFrame([[RX, 0, 1, 0], [0, RW, 0, 1], [0, 0, 0, 0], [0, 0, 0, 0]],
                            index=["x", "w", "y", "z"],
                            columns=["x(-1)", "w(-1)", "e", "u"], dtype=float)
    pd.testing.assert_frame_equal(sol.policy, expected, atol=1e-12)


def test_two_shock_second_order_blocks_in_kronecker_order():
    """x(-1)*u and w(-1)*e differ (rx^2 rw against rx rw^2), as do the two
    orders of e*u in e@e: a wrong layout of the (x, e) or (e, e) block fails."""
    sol = two_shock_model().solve(order=2)
    pd.testing.assert_frame_equal(sol.policy2, two_shock_rule(), rtol=1e-7, atol=1e-9)


def test_two_shock_policy2_matches_the_raw_kronecker_arrays():
    """Rebuild y's second-order part from the raw arrays with numpy.kron and
    compare with policy2's products at a random point."""
    sol = two_shock_model().solve(order=2)
    rng = np.random.default_rng(7)
    x, e = rng.standard_normal(2), rng.standard_normal(2)
    s = sol.second
    row = list(sol.variables_all).index("y") - sol.nx     # y is not a state
    raw = (0.5 * s.g_xx[row] @ np.kron(x, x) + s.g_xe[row] @ np.kron(x, e)
           + 0.5 * s.g_ee[row] @ np.kron(e, e) + 0.5 * s.g_ss[row])
    values = {"x(-1)": x[0], "w(-1)": x[1], "e": e[0], "u": e[1]}
    products = pd.Series({c: 1.0 if c == "constant" else
                          values[c.split("*")[0]] * values[c.split("*")[1]]
                          for c in sol.policy2.columns})
    assert sol.policy2.loc["y"] @ products == pytest.approx(raw, rel=1e-12, abs=1e-15)


def test_policy2_needs_order_two(growth):
    with pytest.raises(AttributeError, match="order=2"):
        growth.solve().policy2


def test_summary_and_repr_name_the_parts(growth):
    sol = growth.solve(order=2)
    text = sol.summary()
    for part in ("Steady state", "First-order decision rule", "Second-order terms",
                 "Eigenvalues", "k(-1)*a(-1)", "Blanchard-Kahn condition satisfied"):
        assert part in text
    assert "order 2" in repr(sol) and "k(-1), a(-1)" in repr(sol)


def test_printed_tables_show_rounding_noise_as_zero():
    """In the RBC model productivity a is exogenous: its row has no k(-1)
    term and no second-order terms, where the solver leaves rounding noise
    or signed zeros; the printed tables show 0 there and the coefficients
    rho and 1 of its own process."""
    model = Corvane.Model.from_mod(Path(__file__).resolve().parents[2] / "examples" / "models"
                                   / "rbc.mod")
    sol = model.solve(order=2)
    assert abs(sol.policy.loc["a", "k(-1)"]) < 1e-15
    for text in (sol.summary(), repr(sol)):
        rows = [line.split() for line in text.splitlines()]
        assert ["a", "0", "0.95", "1"] in rows
        assert not any(word == "-0" or re.fullmatch(r"-?[0-9.]+e-(1\d|[2-9]\d)", word)
                       for r in rows for word in r)
    products = sol.summary().split("Second-order terms")[1].split("Eigenvalues")[0]
    lines = [line for line in products.splitlines() if line.strip()]
    column = lines[1].split().index("a")
    for line in lines[2:]:
        assert line.split()[column + 1] == "0", line
