"""Expressions of the model language: precedence, functions, names, errors."""

import math

import numpy as np
import pytest
import sympy
from scipy import special, stats
from sympy.parsing.sympy_parser import convert_xor, parse_expr, standard_transformations

from Corvane.errors import ParseError
from Corvane.model.expressions import parse_expression
from Corvane.model.reader import read_mod
from Corvane.model.symbols import steady, timed

a, b, c, d = sympy.symbols("a b c d")

PRECEDENCE_NAMES = ("a", "b", "c", "d")
# (text, the expression as Dynare 5.3 writes it back, fully bracketed): made by
# dynare_precedence.py beside this file.
PRECEDENCE = [
    ('-a^2', '(-(a^2))'),
    ('a^-b*c', 'a^(-b)*c'),
    ('a^-b^c', 'a^(-(b^c))'),
    ('-a^-b', '(-(a^(-b)))'),
    ('a/b/c', 'a/b/c'),
    ('a-b-c', 'a-b-c'),
    ('a-(b-c)', 'a-(b-c)'),
    ('-a*b', 'b*(-a)'),
    ('a*-b', 'a*(-b)'),
    ('a--b', 'a+b'),
    ('+a-+b', 'a-b'),
    ('a/b*c', 'c*a/b'),
    ('a*b^c/d', 'a*b^c/d'),
    ('(a+b)^(c-d)', '(a+b)^(c-d)'),
    ('a^(b*c)', 'a^(b*c)'),
    ('-(a+b)*c', 'c*(-(a+b))'),
    ('a/-b^c', 'a/(-(b^c))'),
    ('a+b*c^d', 'a+b*c^d'),
    ('(a^b)^c', '(a^b)^c'),
    ('-a/b', '(-a)/b'),
    ('a*(b+c)*d', 'd*a*(b+c)'),
    ('a^2*b^-2', 'a^2*b^(-2)'),
    ('-a+b*-c^d', 'b*(-(c^d))-a'),
]
PRECEDENCE_TEXTS = [text for text, _ in PRECEDENCE]


def params(text, **kw):
    return parse_expression(text, parameters=PRECEDENCE_NAMES, **kw)


@pytest.mark.parametrize("text, dynare_form", PRECEDENCE)
def test_precedence_matches_dynare(text, dynare_form):
    """Each case parses to the tree Dynare's own parser builds (its bracketed
    form, read by SymPy's parser)."""
    expected = parse_expr(dynare_form, transformations=standard_transformations + (convert_xor,),
                          local_dict={"a": a, "b": b, "c": c, "d": d})
    assert sympy.simplify(params(text) - expected) == 0
    assert params(text) == expected


@pytest.mark.parametrize("text, expected", [
    ("-a^2", -(a ** 2)),
    ("(-a)^2", a ** 2),
    ("2^-1^2", sympy.Rational(1, 2)),       # 2^(-(1^2)), as Dynare folds it
    ("a^b^-c", None),                         # not associative: error below
])
def test_unary_minus_binds_looser_than_power(text, expected):
    if expected is None:
        with pytest.raises(ParseError, match="not associative"):
            params(text)
    else:
        assert params(text) == expected


@pytest.mark.parametrize("text, expected", [
    ("a^b^c", (1, 4)),
    ("a*b^c^d", (1, 6)),
])
def test_chained_power_is_an_error_at_the_second_caret(text, expected):
    with pytest.raises(ParseError, match=r"\(a\^b\)\^c") as info:
        params(text)
    assert (info.value.line, info.value.column) == expected


@pytest.mark.parametrize("text, value", [
    ("1", 1), ("2.5", 2.5), ("1.1e3", 1100.0), ("1.1E3", 1100.0), ("1.1d3", 1100.0),
    ("1.1D-3", 0.0011), (".5", 0.5), ("3.", 3.0), ("0.1", 0.1),
])
def test_numbers_are_exact_doubles(text, value):
    expr = parse_expression(text)
    assert float(expr) == value
    assert isinstance(expr, sympy.Integer) == ("." not in text and "e" not in text.lower()
                                               and "d" not in text.lower())


def test_decimal_literal_is_the_nearest_double():
    # Float of the double nearest 0.1, not of the decimal 0.1 at higher precision
    assert parse_expression("0.1") == sympy.Float(0.1)
    assert sympy.Float(parse_expression("0.1"), 30) == sympy.Float(0.1, 30)


x = sympy.Symbol("x")

FUNCTION_CASES = [
    ("exp(x)", sympy.exp(x)), ("log(x)", sympy.log(x)), ("ln(x)", sympy.log(x)),
    ("log10(x)", sympy.log(x) / sympy.log(10)), ("sqrt(x)", sympy.sqrt(x)),
    ("abs(x)", sympy.Abs(x)), ("sign(x)", sympy.sign(x)), ("sin(x)", sympy.sin(x)),
    ("cos(x)", sympy.cos(x)), ("tan(x)", sympy.tan(x)), ("asin(x)", sympy.asin(x)),
    ("acos(x)", sympy.acos(x)), ("atan(x)", sympy.atan(x)), ("sinh(x)", sympy.sinh(x)),
    ("cosh(x)", sympy.cosh(x)), ("tanh(x)", sympy.tanh(x)), ("erf(x)", sympy.erf(x)),
    ("erfc(x)", sympy.erfc(x)),
]


@pytest.mark.parametrize("text, expected", FUNCTION_CASES)
def test_functions_map_to_sympy(text, expected):
    assert parse_expression(text, endogenous=["x"]) == expected


@pytest.mark.parametrize("text, reference", [
    ("normcdf(x)", lambda v: stats.norm.cdf(v)),
    ("normcdf(x, 0.5, 2)", lambda v: stats.norm.cdf(v, 0.5, 2)),
    ("normpdf(x)", lambda v: stats.norm.pdf(v)),
    ("normpdf(x, -1, 0.3)", lambda v: stats.norm.pdf(v, -1, 0.3)),
])
def test_normal_functions_against_scipy(text, reference):
    expr = parse_expression(text, endogenous=["x"])
    for v in (-9.0, -1.3, 0.0, 0.7, 4.0):
        got = float(expr.subs(x, v).evalf(30))
        assert got == pytest.approx(reference(v), rel=1e-13, abs=0)
    # the derivative is the density, as a solver's Jacobian needs
    if text.startswith("normcdf(x)"):
        assert sympy.simplify(sympy.diff(expr, x) - parse_expression("normpdf(x)",
                                                                     endogenous=["x"])) == 0


@pytest.mark.parametrize("text, value", [
    ("exp(1)", math.e), ("log(2)", math.log(2)), ("ln(2)", math.log(2)),
    ("log10(1000)", 3.0), ("sqrt(2)", math.sqrt(2)), ("abs(-2)", 2.0), ("sign(-3)", -1.0),
    ("sin(1)+cos(1)+tan(1)", math.sin(1) + math.cos(1) + math.tan(1)),
    ("asin(0.5)+acos(0.5)+atan(2)", math.asin(0.5) + math.acos(0.5) + math.atan(2)),
    ("sinh(1)*cosh(1)/tanh(1)", math.sinh(1) * math.cosh(1) / math.tanh(1)),
    ("erf(0.3)+erfc(0.3)", special.erf(0.3) + special.erfc(0.3)),
    ("normcdf(1.96)", stats.norm.cdf(1.96)), ("normcdf(1,2,3)", stats.norm.cdf(1, 2, 3)),
    ("normpdf(0.5)", stats.norm.pdf(0.5)), ("normpdf(1,2,3)", stats.norm.pdf(1, 2, 3)),
    ("2^-1^2", 0.5), ("1/0", math.inf), ("-1/0", -math.inf), ("inf", math.inf),
    ("-Inf", -math.inf), ("0.009^2", 0.009 ** 2), ("1-0.1-0.2", 1 - 0.1 - 0.2),
])
def test_numeric_values_outside_the_model(text, value):
    """Parameter values are computed in double arithmetic, like MATLAB."""
    mod = read_mod(f"parameters p; p = {text};")
    assert mod.param_values["p"] == pytest.approx(value, rel=1e-15, abs=0)


@pytest.mark.parametrize("text", ["log(-1)", "sqrt(-2)", "(-8)^(1/3)", "0/0"])
def test_values_that_are_not_real_are_errors(text):
    with pytest.raises(ParseError, match="real number") as info:
        read_mod(f"parameters p;\np = {text};")
    assert info.value.line == 2


def test_nan_written_out_is_kept():
    assert math.isnan(read_mod("parameters p; p = nan;").param_values["p"])


@pytest.mark.parametrize("text, expected", [
    ("k(-1)", timed("k", -1)), ("k(+1)", timed("k", 1)), ("k(1)", timed("k", 1)),
    ("k(0)", timed("k", 0)), ("k(+3)", timed("k", 3)), ("k(-12)", timed("k", -12)),
    ("e(-1)", timed("e", -1)), ("e(+2)", timed("e", 2)),
    ("STEADY_STATE(k)", steady("k")), ("steady_state(k)", steady("k")),
    ("STEADY_STATE(k(+1))", steady("k")),
    ("STEADY_STATE(log(k)*b) - log(k(-1))", sympy.log(steady("k")) * b - sympy.log(timed("k", -1))),
    ("k^(b)*e", timed("k") ** b * timed("e")),
])
def test_time_shifts_and_steady_state(text, expected):
    got = parse_expression(text, endogenous=["k"], exogenous=["e"], parameters=["b"])
    assert got == expected


def test_locals_are_substituted_and_may_use_earlier_ones():
    got = parse_expression("u + w", endogenous=["k"], parameters=["b"],
                           local={"u": "b*k(+1)", "w": "u^2"})
    bk = b * timed("k", 1)
    assert got == bk + bk ** 2


def test_steady_state_of_a_local():
    got = parse_expression("STEADY_STATE(u)", endogenous=["k"], parameters=["b"],
                           local={"u": "b*k(+1)"})
    assert got == b * steady("k")


@pytest.mark.parametrize("text, kw, line, column, pattern", [
    ("b(+1)", {}, 1, 1, r"parameter 'b' cannot have a time shift"),
    ("u(-1)", {"local": {"u": "k"}}, 1, 1, "model-local variable 'u' cannot have a time shift"),
    ("k(+1.5)", {}, 1, 4, "must be an integer"),
    ("k(b)", {}, 1, 1, "time shift of 'k' must be an integer"),
    ("kk + 1", {}, 1, 1, r"unknown name 'kk'.*did you mean 'k'"),
    ("zzz", {}, 1, 1, r"unknown name 'zzz'.*declared parameters are b"),
    ("max(k, 1)", {}, 1, 1, "'max' is not a function"),
    ("k < 1", {}, 1, 3, "comparison operator '<'"),
    ("k == 1", {}, 1, 3, "comparison operator '=='"),
    ("exp(k, 1)", {}, 1, 1, "takes 1 argument, not 2"),
    ("normcdf(k, 1)", {}, 1, 1, "takes 1 or 3 arguments, not 2"),
    ("STEADY_STATE(e)", {}, 1, 14, "exogenous variable 'e' inside STEADY_STATE"),
    ("(k + 1", {}, 1, 7, "expected '\\)'"),
    ("k +", {}, 1, 4, "expected an expression"),
    ("k k", {}, 1, 3, "unexpected 'k'"),
    ("[k]", {}, 1, 1, "MATLAB matrices"),
    ("k|e", {}, 1, 2, "on-the-fly declarations"),
    ("EXPECTATION(-1)(k)", {}, 1, 1, "EXPECTATION"),
    ("inf*k", {}, 1, 1, "'inf' is not allowed"),
    ("k\n  + $", {}, 2, 5, "LaTeX name opened"),
])
def test_expression_errors(text, kw, line, column, pattern):
    with pytest.raises(ParseError, match=pattern) as info:
        parse_expression(text, endogenous=["k"], exogenous=["e"], parameters=["b"], **kw)
    assert (info.value.line, info.value.column) == (line, column)


def test_parsed_expression_evaluates_like_numpy():
    """An equation parsed into SymPy and evaluated at a point agrees with the
    same formula written in NumPy."""
    text = "b*exp(-k(-1)^0.36)*log10(k(+1)) - sqrt(abs(k))/normcdf(k)"
    expr = parse_expression(text, endogenous=["k"], parameters=["b"])
    f = sympy.lambdify([b, timed("k", -1), timed("k"), timed("k", 1)], expr,
                       modules=[{"erfc": special.erfc}, "numpy"])
    vals = (0.97, 1.3, -0.4, 2.2)
    ref = (vals[0] * np.exp(-vals[1] ** 0.36) * np.log10(vals[3])
           - np.sqrt(abs(vals[2])) / stats.norm.cdf(vals[2]))
    assert f(*vals) == pytest.approx(ref, rel=1e-14)
