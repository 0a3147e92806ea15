"""Timing classification and the rewriting of models into the solvers' form.

Equations are built by hand with SymPy over the symbols of
`Corvane.model.symbols`; expected results are the hand-written flags of the
compiled example models and hand-expanded twins of each rewritten model.
"""

import pytest
import sympy

from Corvane.errors import ModelError
from Corvane.model.symbols import steady, timed
from Corvane.model.timing import LAG, CUR, LEAD, category, prepare

S = sympy.Symbol
al, be, de, ps, rh = sympy.symbols("alpha beta delta psi rho")


def v(name, shift=0):
    return timed(name, shift)


def growth_equations():
    return [v("c") + v("k") - sympy.exp(v("a")) * v("k", -1) ** al,
            1 / v("c") - be * al * sympy.exp(v("a", 1)) * v("k") ** (al - 1) / v("c", 1),
            v("a") - rh * v("a", -1) - v("e")]


def rbc_equations():
    k, a, c, l, y, i = (v(n) for n in "kacly i".replace(" ", ""))
    return [y - sympy.exp(a) * v("k", -1) ** al * l ** (1 - al),
            i - (k - (1 - de) * v("k", -1)),
            c + i - y,
            1 / c - be * (al * sympy.exp(v("a", 1)) * k ** (al - 1) * v("l", 1) ** (1 - al)
                          + 1 - de) / v("c", 1),
            ps * c / (1 - l) - (1 - al) * y / l,
            a - rh * v("a", -1) - v("e")]


# flags of the compiled examples (examples/models/*.cpp), variables in their order
EXAMPLES = [
    ("growth", growth_equations, ["k", "a", "c"], ["alpha", "beta", "rho"], [3, 7, 6]),
    ("rbc", rbc_equations, ["k", "a", "c", "l", "y", "i"],
     ["alpha", "beta", "delta", "psi", "rho"], [3, 7, 6, 6, 2, 2]),
]


@pytest.mark.parametrize("name,equations,names,params,flags", EXAMPLES,
                         ids=[e[0] for e in EXAMPLES])
def test_flags_match_the_compiled_examples(name, equations, names, params, flags):
    d = prepare(equations(), names, ["e"], params)
    # the examples already list their states first, so solver order is theirs
    assert d.variables == tuple(names)
    assert d.flags == tuple(flags)
    assert d.nx == 2
    assert d.states == ("k(-1)", "a(-1)")
    assert d.auxiliary == ()


@pytest.mark.parametrize("flags,expected", [
    (CUR, "static"), (LAG | CUR, "predetermined"), (LAG, "predetermined"),
    (LAG | CUR | LEAD, "mixed"), (LAG | LEAD, "mixed"), (CUR | LEAD, "forward"),
    (LEAD, "forward"),
])
def test_category(flags, expected):
    assert category(flags) == expected


def test_states_first_in_declared_order():
    # y static, z forward, w and x states declared after them
    eqs = [v("y") - v("x"), v("z") - be * v("z", 1) - v("w"), v("w") - rh * v("w", -1) - v("e"),
           v("x") - rh * v("x", -1)]
    d = prepare(eqs, ["y", "z", "w", "x"], ["e"], ["beta", "rho"])
    assert d.variables == ("w", "x", "y", "z")
    assert d.categories == ("predetermined", "predetermined", "static", "forward")
    assert d.states == ("w(-1)", "x(-1)")


def leads_model():
    """x(+2), x(-3) and e(-1) in a two-variable model."""
    return [v("x") - rh * v("x", -1) - 0.1 * v("x", -3) - v("e") - 0.2 * v("e", -1),
            v("y") - be * v("y", 1) - 0.3 * v("x", 2) - v("x")]


def leads_twin():
    """The same model expanded by hand: L1 = x(-1), L2 = L1(-1), F1 = x(+1), E = e."""
    return [v("x") - rh * v("x", -1) - 0.1 * v("AUX_LAG_x_2", -1) - v("e")
            - 0.2 * v("AUX_EXO_e", -1),
            v("y") - be * v("y", 1) - 0.3 * v("AUX_LEAD_x_1", 1) - v("x"),
            v("AUX_EXO_e") - v("e"),
            v("AUX_LEAD_x_1") - v("x", 1),
            v("AUX_LAG_x_1") - v("x", -1),
            v("AUX_LAG_x_2") - v("AUX_LAG_x_1", -1)]


def test_leads_and_lags_beyond_one_match_the_hand_expanded_twin():
    d = prepare(leads_model(), ["x", "y"], ["e"], ["rho", "beta"])
    assert [sympy.expand(a - b) for a, b in zip(d.equations, leads_twin())] == [0] * 6
    assert [a.name for a in d.auxiliary] == ["AUX_EXO_e", "AUX_LEAD_x_1", "AUX_LAG_x_1",
                                             "AUX_LAG_x_2"]
    assert [(a.kind, a.base, a.shift) for a in d.auxiliary] == [
        ("exo", "e", 0), ("lead", "x", 1), ("lag", "x", -1), ("lag", "x", -2)]
    # states: x, the shock carrier and the lag chain; y and the lead are forward-looking
    assert d.variables[:d.nx] == ("x", "AUX_EXO_e", "AUX_LAG_x_1", "AUX_LAG_x_2")
    assert d.states == ("x(-1)", "e(-1)", "x(-2)", "x(-3)")
    assert dict(zip(d.variables, d.categories)) == {
        "x": "mixed", "AUX_EXO_e": "predetermined", "AUX_LAG_x_1": "predetermined",
        "AUX_LAG_x_2": "predetermined", "y": "forward", "AUX_LEAD_x_1": "forward"}
    assert d.auxiliary[1].definition == "AUX_LEAD_x_1 = x(+1)"


@pytest.mark.parametrize("shift,names", [
    (-3, ["AUX_EXO_e", "AUX_EXO_LAG_e_1", "AUX_EXO_LAG_e_2"]),
    (2, ["AUX_EXO_e", "AUX_EXO_LEAD_e_1"]),
    (1, ["AUX_EXO_e"]),
])
def test_shifted_shocks_use_a_carrier_and_its_chain(shift, names):
    d = prepare([v("x") - rh * v("x", -1) - v("e", shift)], ["x"], ["e"], ["rho"])
    assert [a.name for a in d.auxiliary] == names
    # every auxiliary holds e at its date: following the chain reproduces the shift
    assert all(a.base == "e" for a in d.auxiliary)
    assert [a.shift for a in d.auxiliary] == [0] + [
        (1 if shift > 0 else -1) * j for j in range(1, abs(shift))]
    # only current-date shocks remain, and only in the carrier's equation
    shocks = [eq for eq in d.equations if any(str(s).startswith("e") for s in eq.free_symbols)]
    assert shocks == [v("AUX_EXO_e") - v("e")]


def test_steady_state_values_become_parameters():
    eqs = [v("r") - 0.04 - 1.5 * (v("p") - steady("p")), v("p") - rh * v("p", -1) - v("e")]
    d = prepare(eqs, ["r", "p"], ["e"], ["rho"])
    assert d.parameters == ("rho", "STEADY_STATE_p")
    assert d.steady_parameters == (("STEADY_STATE_p", "p"),)
    assert d.equations[0] == v("r") - 0.04 - 1.5 * (v("p") - S("STEADY_STATE_p"))


def test_predetermined_variables_shift_back_one_period():
    # manual's example: y = k^alpha; k(+1) = i + (1-delta) k with k predetermined
    written = [v("y") - v("k") ** al, v("k", 1) - v("i") - (1 - de) * v("k"),
               v("i") - 0.2 * v("y")]
    twin = [v("y") - v("k", -1) ** al, v("k") - v("i") - (1 - de) * v("k", -1),
            v("i") - 0.2 * v("y")]
    a = prepare(written, ["y", "k", "i"], [], ["alpha", "delta"], predetermined=["k"])
    b = prepare(twin, ["y", "k", "i"], [], ["alpha", "delta"])
    assert a.equations == b.equations
    assert (a.variables, a.flags) == (b.variables, b.flags)


def test_loglinear_replaces_each_variable_by_exp_of_its_log():
    eqs = growth_equations()
    eqs[2] = v("a") - rh * v("a", -1) - v("e") + 0.5 * (v("k") - steady("k"))
    d = prepare(eqs, ["k", "a", "c"], ["e"], ["alpha", "beta", "rho"], loglinear=True)
    E = sympy.exp
    by_hand = [E(v("c")) + E(v("k")) - E(E(v("a"))) * E(v("k", -1)) ** al,
               1 / E(v("c")) - be * al * E(E(v("a", 1))) * E(v("k")) ** (al - 1) / E(v("c", 1)),
               E(v("a")) - rh * E(v("a", -1)) - v("e") + 0.5 * (E(v("k"))
                                                                 - E(S("STEADY_STATE_k")))]
    assert [sympy.simplify(a - b) for a, b in zip(d.equations, by_hand)] == [0, 0, 0]
    assert d.loglinear
    # logs or levels: the timing is the same
    assert d.flags == prepare(eqs, ["k", "a", "c"], ["e"], ["alpha", "beta", "rho"]).flags


def test_complete_fills_auxiliary_steady_states():
    d = prepare(leads_model(), ["x", "y"], ["e"], ["rho", "beta"])
    values = dict(zip(d.variables, d.complete({"x": 2.0, "y": 3.0})))
    assert values == {"x": 2.0, "y": 3.0, "AUX_EXO_e": 0.0, "AUX_LEAD_x_1": 2.0,
                      "AUX_LAG_x_1": 2.0, "AUX_LAG_x_2": 2.0}
    closed = dict(d.steady_assignments([("x", sympy.Integer(2)), ("y", sympy.Integer(3))]))
    assert closed == {"x": 2, "y": 3, "AUX_EXO_e": 0, "AUX_LEAD_x_1": S("x"),
                      "AUX_LAG_x_1": S("x"), "AUX_LAG_x_2": S("x")}


@pytest.mark.parametrize("equations,kwargs,message", [
    ([v("x") - S("betta") * v("x", -1)], {}, "unknown name 'betta'"),
    ([v("x") - timed("rho", -1) * v("x", -1)], {}, "parameter 'rho' cannot carry a time shift"),
    ([v("x") - rh * v("x", -1) - steady("e")], {}, "STEADY_STATE(e) of the shock"),
    ([v("x") - rh * v("x", -1)], {"predetermined": ["z"]}, "'z' is not an endogenous"),
    ([v("x") - rh * v("x", -2) - S("AUX_LAG_x_1")], {"parameters": ["rho", "AUX_LAG_x_1"]},
     "'AUX_LAG_x_1' the model needs clashes"),
    ([v("x") - rh * v("x", -1), steady("y") - 1], {"endogenous": ["x", "y"]},
     "'y' appears in no equation"),
])
def test_errors(equations, kwargs, message):
    args = {"endogenous": ["x"], "exogenous": ["e"], "parameters": ["rho"]}
    args.update(kwargs)
    predetermined = args.pop("predetermined", ())
    with pytest.raises(ModelError) as info:
        prepare(equations, args["endogenous"], args["exogenous"], args["parameters"],
                predetermined=predetermined, labels=["equation 'first'", "equation 'second'"])
    assert message in str(info.value)
