"""C++ source of a model: from a `ModelSpec` to the callbacks the kernels take.

The residual is one template over the scalar type, instantiated for complex
numbers (the complex-step residual callback) and bicomplex numbers (the
second-order callback); the observation function is a template evaluated on
doubles and, for its Jacobian, by complex step; the closed-form steady state
is plain double code. Common subexpressions are shared through `sympy.cse`
and printed with SymPy's C++ printer, customised for the scalar templates of
``<corvane/scalars.hpp>``.

The generated library exports plain C entry points (everything else is
hidden)::

    void crv_model_residual(lead, cur, lag, shocks, params, resid)  // complex
    void crv_model_hessian(lead, cur, lag, shocks, params, resid)   // bicomplex
    void crv_model_obs(x, params, out)            // when there are observables
    void crv_model_obs_jac(x, params, out)        // row-major n_obs x n
    void crv_model_steady_state(params, ss)       // when a closed form is given
    void crv_model_dims(int64_t *out)             // n, m, p, n_obs, has steady state
"""

import math
import numbers
from dataclasses import dataclass

import sympy
import sympy.codegen.cfunctions
from sympy.printing.cxx import CXX17CodePrinter

from ..errors import ModelError
from ..model.symbols import split

# Timing flag bits of the model record.
LAG, CUR, LEAD = 1, 2, 4


class normcdf(sympy.Function):
    """Standard normal distribution function (the model language's normcdf)."""

    nargs = 1

    def fdiff(self, argindex=1):
        return normpdf(self.args[0])

    @classmethod
    def eval(cls, x):
        if x.is_Number:
            return (1 + sympy.erf(x / sympy.sqrt(2))) / 2
        return None


class normpdf(sympy.Function):
    """Standard normal density (the model language's normpdf)."""

    nargs = 1

    def fdiff(self, argindex=1):
        return -self.args[0] * normpdf(self.args[0])

    @classmethod
    def eval(cls, x):
        if x.is_Number:
            return sympy.exp(-x * x / 2) / sympy.sqrt(2 * sympy.pi)
        return None


# The model language's functions as SymPy builds them: name -> callable. `sqrt`
# is a power and `abs` is `Abs` in SymPy; `log10` is SymPy's C function.
FUNCTIONS = {
    "exp": sympy.exp,
    "log": sympy.log,
    "ln": sympy.log,
    "log10": sympy.codegen.cfunctions.log10,
    "sqrt": sympy.sqrt,
    "abs": sympy.Abs,
    "sign": sympy.sign,
    "sin": sympy.sin,
    "cos": sympy.cos,
    "tan": sympy.tan,
    "asin": sympy.asin,
    "acos": sympy.acos,
    "atan": sympy.atan,
    "sinh": sympy.sinh,
    "cosh": sympy.cosh,
    "tanh": sympy.tanh,
    "erf": sympy.erf,
    "erfc": sympy.erfc,
    "normcdf": normcdf,
    "normpdf": normpdf,
}

# SymPy class name -> the C++ function of <corvane/scalars.hpp>. Undefined
# SymPy functions of the same names (sympy.Function("normcdf")) print alike.
_CXX_FUNCTIONS = {name: name for name in FUNCTIONS if name not in ("ln", "sqrt", "abs")}
_CXX_FUNCTIONS.update({"Abs": "abs", "abs": "abs", "sqrt": "sqrt", "ln": "log"})

# Integer powers up to this exponent of a plain symbol print as products.
_INLINE_PRODUCT = 4


@dataclass(frozen=True)
class ModelSpec:
    """A model as the code generator takes it.

    `variables` are in solver order, the first `nx` (leading variables with
    flag bit 1) being the states; `equations` are SymPy residual expressions
    in `timed(v, -1 | 0 | +1)` for v in variables, current-date shocks and
    parameters; `flags` are the timing flags (1 lagged, 2 current, 4 led);
    `observables` are expressions in current-date variables and parameters;
    `steady_state` holds ordered closed-form assignments (helper names
    allowed) that assign every variable, or is None.
    """

    name: str
    variables: tuple
    shocks: tuple
    parameters: tuple
    equations: tuple
    flags: tuple
    observables: tuple = ()
    steady_state: tuple | None = None

    def __post_init__(self):
        for field in ("variables", "shocks", "parameters", "equations", "observables"):
            object.__setattr__(self, field, tuple(getattr(self, field)))
        object.__setattr__(self, "flags", tuple(
            int(f) if isinstance(f, numbers.Integral) else f for f in self.flags))
        if self.steady_state is not None:
            object.__setattr__(self, "steady_state",
                               tuple((str(k), v) for k, v in self.steady_state))

    @property
    def nx(self):
        """Number of states: the leading variables with flag bit 1."""
        count = 0
        for flag in self.flags:
            if not int(flag) & LAG:
                break
            count += 1
        return count


# ---- printing ------------------------------------------------------------------

class ScalarPrinter(CXX17CodePrinter):
    """SymPy's C++ printer for the scalar templates of <corvane/scalars.hpp>.

    Symbols print through `names` (array elements or local names), numbers
    as double literals (the scalar types mix with double, not with int),
    integer powers as products or `ipow<N>`, half powers as `sqrt`, other
    powers as `power`, and the model functions unqualified so the overloads
    for each scalar type apply.
    """

    def __init__(self, names):
        # terms in the expressions' own (canonical) order: sorting them costs
        # as much as the rest of the printing
        super().__init__({"contract": False, "strict": False, "order": "none"})
        self._names = names

    def _print_Symbol(self, expr):
        return self._names[expr]

    _print_Dummy = _print_Symbol

    def _print_Integer(self, expr):
        value = int(expr)
        if abs(value) < 2**53:
            return f"{value}.0"
        return repr(float(value))

    def _print_Rational(self, expr):
        return f"({self._print_Integer(sympy.Integer(expr.p))}/{expr.q}.0)"

    def _print_Float(self, expr):
        return _double_literal(float(expr))

    def _print_NumberSymbol(self, expr):
        return _double_literal(float(expr))

    _print_Pi = _print_Exp1 = _print_EulerGamma = _print_GoldenRatio = _print_NumberSymbol
    _print_Catalan = _print_NumberSymbol

    def _print_Pow(self, expr):
        base, exponent = expr.base, expr.exp
        if exponent.is_Integer:
            k = int(exponent)
            if k == 0:
                return "1.0"
            power = self._integer_power(base, abs(k))
            return power if k > 0 else f"(1.0/{power})"
        if exponent == sympy.S.Half:
            return f"sqrt({self._print(base)})"
        if exponent == -sympy.S.Half:
            return f"(1.0/sqrt({self._print(base)}))"
        return f"power({self._print(base)}, {self._print(exponent)})"

    def _integer_power(self, base, k):
        text = self._print(base)
        if k == 1:
            return text if isinstance(base, sympy.Symbol) else f"({text})"
        if isinstance(base, sympy.Symbol) and k <= _INLINE_PRODUCT:
            return "(" + "*".join([text] * k) + ")"
        return f"ipow<{k}>({text})"

    def _print_model_function(self, expr):
        name = _CXX_FUNCTIONS[type(expr).__name__]
        return f"{name}({', '.join(self._print(a) for a in expr.args)})"

    # SymPy's printer skips the classes of undefined functions
    # (sympy.Function("normcdf")): they arrive here and print by name.
    _print_AppliedUndef = _print_model_function


for _name in _CXX_FUNCTIONS:
    setattr(ScalarPrinter, f"_print_{_name}", ScalarPrinter._print_model_function)


def _double_literal(value):
    if not math.isfinite(value):
        raise ValueError(f"non-finite constant {value}")
    text = repr(value)
    return text if any(c in text for c in ".en") else text + ".0"


# ---- checks --------------------------------------------------------------------

_ALLOWED_NODES = (sympy.Add, sympy.Mul, sympy.Pow, sympy.Symbol, sympy.Rational,
                  sympy.Float, sympy.NumberSymbol)


def _check_nodes(expr, where):
    """ModelError for any node the printer cannot render faithfully."""
    for node in sympy.preorder_traversal(expr):
        if isinstance(node, sympy.Function):
            name = type(node).__name__
            if name not in _CXX_FUNCTIONS:
                raise ModelError(f"{where}: function {name} is not supported (supported: "
                                 f"{', '.join(sorted(n for n in FUNCTIONS))})")
            if len(node.args) != 1:
                raise ModelError(f"{where}: {name} takes one argument, got {len(node.args)}")
        elif isinstance(node, (sympy.core.numbers.Infinity, sympy.core.numbers.NegativeInfinity,
                               sympy.core.numbers.ComplexInfinity, sympy.core.numbers.NaN)):
            raise ModelError(f"{where}: the expression contains {node}")
        elif node is sympy.I or isinstance(node, sympy.core.numbers.ImaginaryUnit):
            raise ModelError(f"{where}: the expression is complex (contains I)")
        elif not isinstance(node, _ALLOWED_NODES):
            raise ModelError(f"{where}: {type(node).__name__} ({node}) is not supported in "
                             f"model equations")


def _expr(value, where):
    if isinstance(value, sympy.Basic):
        return value
    if isinstance(value, (int, float)):
        return sympy.sympify(value)
    raise ModelError(f"{where}: expected a SymPy expression, got {type(value).__name__}")


def _c_comment(text):
    return " ".join(str(text).replace("*/", "* /").split())


def check_spec(spec):
    """Validate a spec: names, dimensions, timing flags against the symbols
    the equations use. Raises ModelError saying what and where."""
    name = spec.name
    names = list(spec.variables) + list(spec.shocks) + list(spec.parameters)
    seen = set()
    for item in names:
        if not isinstance(item, str) or not item:
            raise ModelError(f"model {name}: names must be non-empty strings, got {item!r}")
        if item in seen:
            raise ModelError(f"model {name}: the name {item} is declared twice")
        seen.add(item)
    n = len(spec.variables)
    if len(spec.equations) != n:
        raise ModelError(f"model {name}: {len(spec.equations)} equations for {n} variables")
    if len(spec.flags) != n:
        raise ModelError(f"model {name}: {len(spec.flags)} timing flags for {n} variables")
    for v, flag in zip(spec.variables, spec.flags):
        if not isinstance(flag, int) or not 1 <= flag <= 7:
            raise ModelError(f"model {name}: timing flag of {v} is {flag!r}, expected 1..7")
    nx = spec.nx
    late = [v for v, f in zip(spec.variables[nx:], spec.flags[nx:]) if f & LAG]
    if late:
        raise ModelError(f"model {name}: the lagged variables must come first; "
                         f"{', '.join(late)} follow a variable that is not lagged")
    index = {v: i for i, v in enumerate(spec.variables)}
    shocks, params = set(spec.shocks), set(spec.parameters)
    used = [0] * n
    bit = {-1: LAG, 0: CUR, 1: LEAD}
    for k, eq in enumerate(spec.equations):
        where = f"model {name}, equation {k + 1}"
        eq = _expr(eq, where)
        _check_nodes(eq, where)
        for sym in eq.free_symbols:
            base, shift = split(sym)
            if base in index and shift in bit and sym.name == _timed_name(base, shift):
                used[index[base]] |= bit[shift]
            elif sym.name in shocks or sym.name in params:
                continue
            elif base in shocks:
                raise ModelError(f"{where}: shock {base} at {sym.name}; shocks enter at the "
                                 f"current date only")
            elif base in index:
                raise ModelError(f"{where}: {sym.name} is outside one lead or lag")
            else:
                raise ModelError(f"{where}: unknown name {sym.name}")
    for v, flag, u in zip(spec.variables, spec.flags, used):
        missing = [word for b, word in ((LAG, "lagged"), (LEAD, "led")) if u & b and not flag & b]
        if missing:
            raise ModelError(f"model {name}: {v} appears {' and '.join(missing)} but its "
                             f"timing flag {flag} does not say so")
    for k, obs in enumerate(spec.observables):
        where = f"model {name}, observable {k + 1}"
        obs = _expr(obs, where)
        _check_nodes(obs, where)
        for sym in obs.free_symbols:
            if sym.name in index or sym.name in params:
                continue
            raise ModelError(f"{where}: {sym.name} is not a current-date variable or a "
                             f"parameter")
    if spec.steady_state is not None:
        known = set(params)
        for lhs, rhs in spec.steady_state:
            where = f"model {name}, steady state of {lhs}"
            rhs = _expr(rhs, where)
            _check_nodes(rhs, where)
            for sym in rhs.free_symbols:
                if sym.name not in known:
                    raise ModelError(f"{where}: {sym.name} is neither a parameter nor "
                                     f"assigned before")
            known.add(lhs)
        missing = [v for v in spec.variables if v not in known]
        if missing:
            raise ModelError(f"model {name}: the steady state assigns no value to "
                             f"{', '.join(missing)}")


def _timed_name(base, shift):
    return base if shift == 0 else f"{base}({shift:+d})"


# ---- generation ----------------------------------------------------------------

def _symbol_map(expr_list, mapping):
    """Printer names for every free symbol: {Symbol: C++ text}."""
    names = {}
    for expr in expr_list:
        for sym in expr.free_symbols:
            names[sym] = mapping(sym)
    return names


def _body(exprs, names, scalar, out, indent="    "):
    """Statements computing `exprs` into out[k], temporaries shared by cse."""
    exprs = [sympy.sympify(e) for e in exprs]
    temps, reduced = sympy.cse(exprs, symbols=sympy.numbered_symbols("t", cls=sympy.Dummy),
                               order="none")
    names = dict(names)
    lines = []
    for i, (sym, value) in enumerate(temps):
        printer = ScalarPrinter(names)
        lines.append(f"{indent}const {scalar} t{i} = {printer.doprint(value)};")
        names[sym] = f"t{i}"
    printer = ScalarPrinter(names)
    for k, value in enumerate(reduced):
        lines.append(f"{indent}{out}[{k}] = {printer.doprint(value)};")
    return lines


def generate(spec):
    """C++ source of the model's library (see the module docstring)."""
    check_spec(spec)
    n, m, p, n_obs = (len(spec.variables), len(spec.shocks), len(spec.parameters),
                      len(spec.observables))
    var_index = {v: i for i, v in enumerate(spec.variables)}
    shock_index = {e: j for j, e in enumerate(spec.shocks)}
    param_index = {q: j for j, q in enumerate(spec.parameters)}
    slot = {-1: "lag", 0: "cur", 1: "lead"}

    def residual_name(sym):
        if sym.name in shock_index:
            return f"e[{shock_index[sym.name]}]"
        if sym.name in param_index:
            return f"th[{param_index[sym.name]}]"
        base, shift = split(sym)
        return f"{slot[shift]}[{var_index[base]}]"

    def observation_name(sym):
        if sym.name in var_index:
            return f"x[{var_index[sym.name]}]"
        return f"th[{param_index[sym.name]}]"

    equations = [sympy.sympify(e) for e in spec.equations]
    observables = [sympy.sympify(e) for e in spec.observables]
    out = [
        f"// Model {_c_comment(spec.name)}: generated by Corvane (Corvane._bridge.codegen).",
        f"// Variables (lead, cur, lag, x): {' '.join(spec.variables) or '-'}",
        f"// Shocks (e): {' '.join(spec.shocks) or '-'}",
        f"// Parameters (th): {' '.join(spec.parameters) or '-'}",
        "#include <cstdint>",
        "",
        "#include <corvane/scalars.hpp>",
        "",
        "namespace {",
        "",
        "using namespace corvane;",
        "",
        f"constexpr int kVars = {n}, kObs = {n_obs};",
        "",
        "template <class T>",
        "void equations(const T *lead, const T *cur, const T *lag, const T *e, const T *th, "
        "T *r) {",
        *_body(equations, _symbol_map(equations, residual_name), "T", "r"),
        "}",
        "",
    ]
    if n_obs:
        out += [
            "template <class T> void observe(const T *x, const double *th, T *y) {",
            *_body(observables, _symbol_map(observables, observation_name), "T", "y"),
            "}",
            "",
        ]
    if spec.steady_state is not None:
        out += ["void steady_state(const double *th, double *ss) {", *_steady_lines(spec),
                "}", ""]
    out += [
        "}  // namespace",
        "",
        "CORVANE_MODEL_API void crv_model_residual(const double *lead, const double *cur, "
        "const double *lag,",
        "                                          const double *shocks, const double *params,"
        " double *resid) {",
        "    evaluate<Complex>(equations<Complex>, lead, cur, lag, shocks, params, resid);",
        "}",
        "",
        "CORVANE_MODEL_API void crv_model_hessian(const double *lead, const double *cur, "
        "const double *lag,",
        "                                         const double *shocks, const double *params,"
        " double *resid) {",
        "    evaluate<Bicomplex>(equations<Bicomplex>, lead, cur, lag, shocks, params, resid);",
        "}",
        "",
    ]
    if n_obs:
        out += [
            "CORVANE_MODEL_API void crv_model_obs(const double *x, const double *params, "
            "double *out) {",
            "    observe<double>(x, params, out);",
            "}",
            "",
            "CORVANE_MODEL_API void crv_model_obs_jac(const double *x, const double *params, "
            "double *out) {",
            "    observation_jacobian<kVars, kObs>(observe<Complex>, x, params, out);",
            "}",
            "",
        ]
    if spec.steady_state is not None:
        out += [
            "CORVANE_MODEL_API void crv_model_steady_state(const double *params, double *ss) {",
            "    steady_state(params, ss);",
            "}",
            "",
        ]
    has_ss = int(spec.steady_state is not None)
    out += [
        "// n, m, p, n_obs, and 1 when the closed-form steady state is compiled.",
        "CORVANE_MODEL_API void crv_model_dims(int64_t *out) {",
        f"    const int64_t dims[5] = {{{n}, {m}, {p}, {n_obs}, {has_ss}}};",
        "    for (int i = 0; i < 5; ++i) out[i] = dims[i];",
        "}",
        "",
    ]
    return "\n".join(out)


def _steady_lines(spec):
    """Ordered assignments in double: one local per assignment (a name assigned
    twice takes its latest value), then ss in variable order."""
    param_index = {q: j for j, q in enumerate(spec.parameters)}
    current = {}
    lines = []
    for i, (lhs, rhs) in enumerate(spec.steady_state):
        rhs = sympy.sympify(rhs)
        names = {}
        for sym in rhs.free_symbols:
            names[sym] = current[sym.name] if sym.name in current else \
                f"th[{param_index[sym.name]}]"
        lines.append(f"    const double s{i} = {ScalarPrinter(names).doprint(rhs)};"
                     f"  // {_c_comment(lhs)}")
        current[lhs] = f"s{i}"
    for k, v in enumerate(spec.variables):
        lines.append(f"    ss[{k}] = {current[v]};")
    return lines
