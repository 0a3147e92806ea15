"""Expressions of the model language: parsing, conversion to SymPy, evaluation.

Precedence, loosest first, as in Dynare: `+ -`; `* /`; unary `+ -`; `^`.
So `-x^2` is `-(x^2)`, `a^-b*c` is `(a^(-b))*c` and `2^-1^2` is `2^(-(1^2))`;
`^` is not associative (`a^b^c` is an error: write `(a^b)^c` or `a^(b^c)`).
Comparison operators, `max`, `min` and external functions are outside the
language Corvane reads and are reported as errors.

Functions: `exp log ln log10 sqrt abs sign sin cos tan asin acos atan sinh cosh
tanh erf erfc normcdf normpdf`. In SymPy `log10(x)` is `log(x)/log(10)`,
`normcdf(x, mu, sigma)` is `erfc(-(x - mu)/(sigma*sqrt(2)))/2` (erfc keeps the
lower tail accurate) and `normpdf(x, mu, sigma)` is
`exp(-((x - mu)/sigma)^2/2)/(sigma*sqrt(2*pi))`; `normcdf(x)` and `normpdf(x)`
take mu = 0, sigma = 1. A code generator therefore needs only SymPy's own
`exp log sqrt Abs sign sin cos tan asin acos atan sinh cosh tanh erf erfc`.

Numbers are exact binary doubles in SymPy: an integer literal becomes a SymPy
Integer, any other literal `sympy.Float` of the nearest double.
Outside the model (parameter values, `initval`, `shocks`, priors) expressions
are evaluated in IEEE double arithmetic, as MATLAB would: `1/0` is `inf`.
"""

import difflib
import math
from dataclasses import dataclass

import numpy as np
import sympy

from Corvane.model.lexer import Cursor, is_integer_literal, number_value, tokenize
from Corvane.model.symbols import split, steady, timed

SQRT2 = math.sqrt(2.0)


def _normcdf_sym(x, mu=0, sigma=1):
    return sympy.erfc(-(x - mu) / (sigma * sympy.sqrt(2))) / 2


def _normpdf_sym(x, mu=0, sigma=1):
    return sympy.exp(-((x - mu) / sigma) ** 2 / 2) / (sigma * sympy.sqrt(2 * sympy.pi))


def _normcdf_num(x, mu=0.0, sigma=1.0):
    return np.float64(0.5 * math.erfc(-(x - mu) / (sigma * SQRT2)))


def _normpdf_num(x, mu=0.0, sigma=1.0):
    z = (x - mu) / sigma
    return np.exp(-0.5 * z * z) / (sigma * math.sqrt(2.0 * math.pi))


def _erf_num(x):
    return np.float64(math.erf(x)) if not math.isnan(x) else np.float64("nan")


def _erfc_num(x):
    return np.float64(math.erfc(x)) if not math.isnan(x) else np.float64("nan")


# name: (allowed argument counts, SymPy form, double form)
FUNCTIONS = {
    "exp": ((1,), sympy.exp, np.exp),
    "log": ((1,), sympy.log, np.log),
    "ln": ((1,), sympy.log, np.log),
    "log10": ((1,), lambda x: sympy.log(x, 10), np.log10),
    "sqrt": ((1,), sympy.sqrt, np.sqrt),
    "abs": ((1,), sympy.Abs, np.abs),
    "sign": ((1,), sympy.sign, np.sign),
    "sin": ((1,), sympy.sin, np.sin),
    "cos": ((1,), sympy.cos, np.cos),
    "tan": ((1,), sympy.tan, np.tan),
    "asin": ((1,), sympy.asin, np.arcsin),
    "acos": ((1,), sympy.acos, np.arccos),
    "atan": ((1,), sympy.atan, np.arctan),
    "sinh": ((1,), sympy.sinh, np.sinh),
    "cosh": ((1,), sympy.cosh, np.cosh),
    "tanh": ((1,), sympy.tanh, np.tanh),
    "erf": ((1,), sympy.erf, _erf_num),
    "erfc": ((1,), sympy.erfc, _erfc_num),
    "normcdf": ((1, 3), _normcdf_sym, _normcdf_num),
    "normpdf": ((1, 3), _normpdf_sym, _normpdf_num),
}
FUNCTION_LIST = " ".join(FUNCTIONS)
STEADY_OPERATORS = ("STEADY_STATE", "steady_state")
SPECIAL_NUMBERS = {"inf": math.inf, "Inf": math.inf, "nan": math.nan, "NaN": math.nan}
RESERVED = set(FUNCTIONS) | set(STEADY_OPERATORS) | set(SPECIAL_NUMBERS) | {"EXPECTATION"}
_COMPARISONS = ("<", ">", "<=", ">=", "==", "!=")


# ---------------------------------------------------------------- syntax tree

@dataclass
class Num:
    text: str
    tok: object


@dataclass
class Ref:
    """A name, with its time shift when written (`x(+1)`, `x(0)`), else None."""
    name: str
    shift: int | None
    tok: object


@dataclass
class Call:
    name: str
    args: list
    tok: object


@dataclass
class SteadyOp:
    arg: object
    tok: object


@dataclass
class Unary:
    op: str
    arg: object
    tok: object


@dataclass
class Binary:
    op: str
    left: object
    right: object
    tok: object


def parse(cur: Cursor):
    """Parse one expression at the cursor; stops before `;`, `,`, `=`, `)`, `]`."""
    node = _additive(cur)
    if cur.peek.kind == "op" and cur.peek.text in _COMPARISONS:
        raise cur.error(f"comparison operator '{cur.peek.text}' is not supported in "
                        "Corvane's model language")
    return node


def _additive(cur):
    node = _term(cur)
    while cur.peek.kind == "op" and cur.peek.text in "+-":
        tok = cur.next()
        node = Binary(tok.text, node, _term(cur), tok)
    return node


def _term(cur):
    node = _unary(cur)
    while cur.peek.kind == "op" and cur.peek.text in "*/":
        tok = cur.next()
        node = Binary(tok.text, node, _unary(cur), tok)
    return node


def _unary(cur):
    if cur.peek.kind == "op" and cur.peek.text in "+-":
        tok = cur.next()
        return Unary(tok.text, _unary(cur), tok)
    return _power(cur)


def _power(cur):
    node = _primary(cur)
    if cur.at("^"):
        tok = cur.next()
        if cur.peek.kind == "op" and cur.peek.text in "+-":
            right = _unary(cur)
        else:
            right = _primary(cur)
            if cur.at("^"):
                raise cur.error("'^' is not associative in the model language: "
                                "write (a^b)^c or a^(b^c)")
        node = Binary("^", node, right, tok)
    return node


def _primary(cur):
    tok = cur.peek
    if tok.kind == "number":
        cur.next()
        return Num(tok.text, tok)
    if tok.kind == "name":
        cur.next()
        if tok.text in SPECIAL_NUMBERS:
            return Num(tok.text, tok)
        if tok.text == "EXPECTATION":
            raise cur.error("the EXPECTATION operator is not supported", tok)
        if cur.at("|"):
            raise cur.error("on-the-fly declarations (name|e, name|p) are not supported: "
                            "declare the name with var, varexo or parameters")
        if not cur.at("("):
            return Ref(tok.text, None, tok)
        if tok.text in STEADY_OPERATORS:
            cur.next()
            arg = parse(cur)
            cur.expect(")", f"to close {tok.text}(")
            return SteadyOp(arg, tok)
        if tok.text not in FUNCTIONS:
            shift = _shift(cur)
            if shift is not None:
                return Ref(tok.text, shift, tok)
        if tok.text not in FUNCTIONS and cur.ahead().kind == "string":
            raise cur.error(f"'{tok.text}' is not a function of the model language (it has "
                            f"{FUNCTION_LIST}); MATLAB functions cannot be called", tok)
        open_tok = cur.next()
        args = [parse(cur)]
        while cur.accept(","):
            args.append(parse(cur))
        cur.expect(")", f"to close the '(' at line {open_tok.line}, column {open_tok.column}")
        node = Call(tok.text, args, tok)
        if tok.text in FUNCTIONS and len(args) not in FUNCTIONS[tok.text][0]:
            counts = " or ".join(str(k) for k in FUNCTIONS[tok.text][0])
            raise cur.error(f"function '{tok.text}' takes {counts} argument"
                            f"{'s' if counts != '1' else ''}, not {len(args)}", tok)
        return node
    if tok.kind == "op" and tok.text == "(":
        cur.next()
        node = parse(cur)
        cur.expect(")", f"to close the '(' at line {tok.line}, column {tok.column}")
        return node
    if tok.kind == "op" and tok.text == "[":
        raise cur.error("MATLAB matrices are not supported: expressions are scalar", tok)
    raise cur.error(f"expected an expression, found {tok}", tok)


def _shift(cur):
    """`(k)`, `(+k)`, `(-k)` with an integer k after a name: the shift, consuming it."""
    i = 1
    sign = 1
    tok = cur.ahead(i)
    if tok.kind == "op" and tok.text in "+-":
        sign = -1 if tok.text == "-" else 1
        i += 1
        tok = cur.ahead(i)
    if tok.kind == "number" and cur.ahead(i + 1).kind == "op" and cur.ahead(i + 1).text == ")":
        if not is_integer_literal(tok.text):
            raise cur.error(f"a time shift must be an integer, not {tok.text}", tok)
        for _ in range(i + 2):
            cur.next()
        return sign * int(tok.text)
    return None


# ------------------------------------------------------------------ to SymPy

def close_matches(name, candidates):
    return difflib.get_close_matches(name, list(candidates), n=3, cutoff=0.6)


def _listing(names, limit=12):
    names = list(names)
    shown = ", ".join(names[:limit])
    return shown + (f", ... ({len(names)} in all)" if len(names) > limit else "") if names else "none"


class Scope:
    """How names in a model expression resolve.

    `endogenous`, `exogenous`, `parameters`: collections of names; `local`: dict
    of model-local names to SymPy expressions (already expanded); `constants`:
    names assigned at top level without a declaration (not usable in the
    model). `context` names the expression in messages, e.g. "equation 'euler'".
    """

    def __init__(self, cursor, endogenous=(), exogenous=(), parameters=(), local=None,
                 constants=None, context="expression"):
        self.cur = cursor
        self.endogenous = set(endogenous)
        self.exogenous = set(exogenous)
        self.parameters = list(parameters)
        self.parameter_set = set(parameters)
        self.local = dict(local or {})
        self.constants = constants or {}
        self.context = context

    def error(self, message, tok):
        return self.cur.error(message, tok)

    def ref(self, node, in_steady):
        name, shift = node.name, node.shift
        if name in self.endogenous:
            return steady(name) if in_steady else timed(name, shift or 0)
        if name in self.exogenous:
            if in_steady:
                raise self.error(f"exogenous variable '{name}' inside STEADY_STATE in "
                                 f"{self.context}: only endogenous variables and parameters "
                                 "may appear there", node.tok)
            return timed(name, shift or 0)
        if name in self.parameter_set:
            if shift is not None:
                raise self.error(f"parameter '{name}' cannot have a time shift "
                                 f"({name}({shift:+d}) in {self.context})", node.tok)
            return sympy.Symbol(name)
        if name in self.local:
            if shift is not None:
                raise self.error(f"model-local variable '{name}' cannot have a time shift "
                                 f"({name}({shift:+d}) in {self.context})", node.tok)
            expr = self.local[name]
            return self.steady_of(expr, node) if in_steady else expr
        raise self.unknown(node)

    def steady_of(self, expr, node):
        """`expr` at the steady state: every timed endogenous symbol replaced by its
        STEADY_STATE symbol."""
        replace = {}
        for sym in expr.free_symbols:
            base, shift = split(sym)
            if base in self.exogenous:
                raise self.error(f"'{node.name}' contains exogenous variable '{base}', "
                                 f"which may not appear inside STEADY_STATE in {self.context}",
                                 node.tok)
            if base in self.endogenous:
                replace[sym] = steady(base)
        return expr.xreplace(replace)

    def unknown(self, node):
        name = node.name
        if name in self.constants:
            return self.error(
                f"'{name}' in {self.context} is not a parameter: it was assigned at line "
                f"{self.constants[name]} without being declared; declare it with "
                "'parameters' to use it in the model", node.tok)
        what = "function or name" if node.shift is not None else "name"
        message = f"unknown {what} '{name}' in {self.context}: it is not declared"
        kinds = [("endogenous variable", self.endogenous), ("exogenous variable", self.exogenous),
                 ("parameter", self.parameter_set), ("model-local variable", self.local)]
        suggestions = [f"'{m}' ({kind})" for kind, names in kinds
                       for m in close_matches(name, names)]
        if suggestions:
            message += "; did you mean " + " or ".join(suggestions[:3]) + "?"
        else:
            message += f"; declared parameters are {_listing(self.parameters)}"
        return self.error(message, node.tok)

    def unknown_call(self, node):
        name = node.name
        if name in self.endogenous or name in self.exogenous:
            return self.error(f"a time shift of '{name}' must be an integer, like {name}(+1) "
                              f"or {name}(-2), in {self.context}", node.tok)
        return self.error(f"'{name}' is not a function of the model language (it has "
                          f"{FUNCTION_LIST}) in {self.context}", node.tok)


def to_sympy(node, scope, in_steady=False):
    """The SymPy expression of a syntax tree, names resolved through `scope`."""
    if isinstance(node, Num):
        if node.text in SPECIAL_NUMBERS:
            raise scope.error(f"'{node.text}' is not allowed in {scope.context}", node.tok)
        if is_integer_literal(node.text):
            return sympy.Integer(int(node.text))
        return sympy.Float(number_value(node.text))
    if isinstance(node, Ref):
        return scope.ref(node, in_steady)
    if isinstance(node, Binary):
        a = to_sympy(node.left, scope, in_steady)
        b = to_sympy(node.right, scope, in_steady)
        if node.op == "+":
            return a + b
        if node.op == "-":
            return a - b
        if node.op == "*":
            return a * b
        if node.op == "/":
            return a / b
        return a ** b
    if isinstance(node, Unary):
        a = to_sympy(node.arg, scope, in_steady)
        return -a if node.op == "-" else a
    if isinstance(node, SteadyOp):
        return to_sympy(node.arg, scope, True)
    if isinstance(node, Call):
        if node.name not in FUNCTIONS:
            raise scope.unknown_call(node)
        args = [to_sympy(a, scope, in_steady) for a in node.args]
        return FUNCTIONS[node.name][1](*args)
    raise TypeError(node)


# ------------------------------------------------------------- evaluation

def evaluate(node, lookup, cur, context="expression"):
    """The double value of a syntax tree; `lookup(ref)` gives a name's value."""
    with np.errstate(all="ignore"):
        value = float(_eval(node, lookup, cur, context))
    if math.isnan(value) and not _mentions_nan(node):
        raise cur.error(f"{context} does not evaluate to a real number", _first_token(node))
    return value


def _eval(node, lookup, cur, context):
    if isinstance(node, Num):
        if node.text in SPECIAL_NUMBERS:
            return np.float64(SPECIAL_NUMBERS[node.text])
        return np.float64(number_value(node.text))
    if isinstance(node, Ref):
        return np.float64(lookup(node))
    if isinstance(node, Binary):
        a = _eval(node.left, lookup, cur, context)
        b = _eval(node.right, lookup, cur, context)
        if node.op == "+":
            return a + b
        if node.op == "-":
            return a - b
        if node.op == "*":
            return a * b
        if node.op == "/":
            return a / b
        return np.power(a, b)
    if isinstance(node, Unary):
        a = _eval(node.arg, lookup, cur, context)
        return -a if node.op == "-" else a
    if isinstance(node, SteadyOp):
        raise cur.error(f"{node.tok.text} is only allowed in model equations", node.tok)
    if isinstance(node, Call):
        if node.name not in FUNCTIONS:
            raise cur.error(f"'{node.name}' is not a function of the model language (it has "
                            f"{FUNCTION_LIST}); MATLAB functions cannot be called in "
                            f"{context}", node.tok)
        args = [_eval(a, lookup, cur, context) for a in node.args]
        return FUNCTIONS[node.name][2](*args)
    raise TypeError(node)


def _children(node):
    if isinstance(node, Binary):
        return (node.left, node.right)
    if isinstance(node, (Unary, SteadyOp)):
        return (node.arg,)
    if isinstance(node, Call):
        return tuple(node.args)
    return ()


def _mentions_nan(node):
    if isinstance(node, Num) and node.text in ("nan", "NaN"):
        return True
    return any(_mentions_nan(c) for c in _children(node))


def _first_token(node):
    if isinstance(node, Binary):
        return _first_token(node.left)
    return node.tok


# ------------------------------------------------------------ public helper

def parse_expression(text, endogenous=(), exogenous=(), parameters=(), local=None):
    """Parse one model-language expression into SymPy.

    Parameters
    ----------
    text : str
        The expression, e.g. ``"beta*c(+1)/c - 1"``.
    endogenous, exogenous, parameters : iterables of str
        Declared names; `parameters` may be a dict (its keys are used).
    local : dict, optional
        Model-local variables, name to expression (str in the same syntax, or
        SymPy), substituted where they appear; a string may use earlier locals.

    Returns
    -------
    sympy.Expr
        Over the symbols of `Corvane.model.symbols` (``timed``, ``steady``).

    Examples
    --------
    >>> parse_expression("-x(+1)^2", endogenous=["x"])
    -x(+1)**2
    """
    local = resolve_locals(local, endogenous, exogenous, parameters)
    tokens = tokenize(text, "<expression>")
    cur = Cursor(tokens, "<expression>", text)
    node = parse(cur)
    if cur.peek.kind != "end":
        raise cur.error(f"unexpected {cur.peek} after the expression")
    scope = Scope(cur, endogenous, exogenous, parameters, local)
    return to_sympy(node, scope)


def resolve_locals(local, endogenous, exogenous, parameters):
    """Model-local definitions given from Python as SymPy expressions, in order."""
    resolved = {}
    for name, value in (local or {}).items():
        if isinstance(value, str):
            where = f"<local {name}>"
            cur = Cursor(tokenize(value, where), where, value)
            node = parse(cur)
            if cur.peek.kind != "end":
                raise cur.error(f"unexpected {cur.peek} after the expression")
            value = to_sympy(node, Scope(cur, endogenous, exogenous, parameters, resolved,
                                         context=f"model-local variable '{name}'"))
        else:
            value = sympy.sympify(value)
        resolved[name] = value
    return resolved
