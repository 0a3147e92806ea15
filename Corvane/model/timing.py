"""From the equations as written to the system the solvers take.

The solvers take equations F(x(+1), x, x(-1), e) = 0 with every variable at
most one period ahead or behind, shocks at the current date only, and the
state variables (those that appear lagged) first. `prepare` rewrites a model
into that form, in this order:

1. `predetermined_variables`: every occurrence of a predetermined variable
   moves back one period (`k` becomes `k(-1)`, `k(+1)` becomes `k`), so the
   variable is reported, as in Dynare, at the date it is decided.
2. `loglinear`: every endogenous variable is replaced by the exponential of
   its log (`x(s)` becomes `exp(x(s))`, `STEADY_STATE(x)` becomes
   `exp(STEADY_STATE(x))`); steady state and decision rules are then in logs.
3. Shocks at other dates: `e(s)` becomes `AUX_EXO_e(s)` with the auxiliary
   equation `AUX_EXO_e = e`.
4. Leads and lags beyond one, by chains of auxiliary variables whose value at
   t is the variable k periods ahead or behind: `AUX_LEAD_x_1 = x(+1)`,
   `AUX_LEAD_x_2 = AUX_LEAD_x_1(+1)`, ... and `x(+k)` becomes
   `AUX_LEAD_x_{k-1}(+1)`; likewise `AUX_LAG_x_j` (holding x(-j)) and, for
   the shock carriers, `AUX_EXO_LAG_e_j` (holding e(-j)) and
   `AUX_EXO_LEAD_e_j` (holding e(+j)).
5. `STEADY_STATE(x)` becomes the extra parameter `STEADY_STATE_x`, whose
   value the model layer sets to the steady state of x.

Timing flags, one byte per variable: bit 1 appears lagged, 2 appears at the
current date, 4 appears led. The category follows from bits 1 and 4: static
(neither), predetermined (lagged only), mixed (both), forward-looking (led
only).
"""

from dataclasses import dataclass

import sympy

from ..errors import ModelError
from .symbols import split, steady, timed

LAG, CUR, LEAD = 1, 2, 4

CATEGORIES = {0: "static", LAG: "predetermined", LAG | LEAD: "mixed", LEAD: "forward"}


def category(flags):
    """Timing category of a flags byte: static, predetermined, mixed or forward."""
    return CATEGORIES[flags & (LAG | LEAD)]


@dataclass(frozen=True)
class Auxiliary:
    """An auxiliary variable: its value at t is `base` at t + `shift`.

    kind is "lead" or "lag" (chains of an endogenous variable), "exo" (the
    carrier of a shock at other dates, shift 0), "exo_lead" or "exo_lag".
    `equation` is the residual that defines it.
    """

    name: str
    kind: str
    base: str
    shift: int
    equation: sympy.Expr

    @property
    def definition(self):
        """The defining equation as text, e.g. 'AUX_LEAD_x_1 = x(+1)'."""
        return f"{self.name} = {sympy.sstr(sympy.Symbol(self.name) - self.equation)}"


@dataclass(frozen=True)
class Dynamic:
    """A model in the form the solvers take.

    `variables` is the solver order: the `nx` states (variables with flag
    bit 1) first, each group in declared order (declared endogenous, then
    auxiliary). `equations` are residuals over `timed(v, -1 | 0 | 1)`,
    current-date shocks and `parameters` (the declared ones, then the
    `STEADY_STATE_x` parameters of `steady_parameters`); the first
    `n_declared` of them are the model's own, the rest define the auxiliary
    variables in `auxiliary` order.
    """

    endogenous: tuple[str, ...]
    exogenous: tuple[str, ...]
    parameters: tuple[str, ...]
    variables: tuple[str, ...]
    flags: tuple[int, ...]
    nx: int
    equations: tuple[sympy.Expr, ...]
    auxiliary: tuple[Auxiliary, ...]
    steady_parameters: tuple[tuple[str, str], ...]  # (parameter, variable)
    loglinear: bool
    predetermined: tuple[str, ...]

    @property
    def n_declared(self):
        return len(self.endogenous)

    @property
    def states(self):
        """The states by what they mean: `k(-1)`, and `x(-3)` for the lag
        chain variable `AUX_LAG_x_2`, `e(-1)` for `AUX_EXO_e`."""
        aux = {a.name: a for a in self.auxiliary}
        names = []
        for v in self.variables[:self.nx]:
            a = aux.get(v)
            if a is not None and a.kind in ("lag", "exo", "exo_lag"):
                names.append(f"{a.base}({a.shift - 1:+d})")
            else:
                names.append(f"{v}(-1)")
        return tuple(names)

    @property
    def categories(self):
        """Timing category of each variable in solver order."""
        return tuple(category(f) for f in self.flags)

    def complete(self, values):
        """Steady-state values in solver order from a mapping of the declared
        endogenous variables (in the model's units: logs for a loglinear
        model); auxiliary variables take their base variable's value, shock
        carriers 0."""
        full = dict(values)
        for a in self.auxiliary:
            full[a.name] = 0.0 if a.kind.startswith("exo") else full[a.base]
        return [full[v] for v in self.variables]

    def steady_assignments(self, assignments):
        """Closed-form steady-state assignments for the solver's variables.

        `assignments` are (name, expr) pairs in levels over parameters and
        earlier names, assigning every declared endogenous variable. For a
        loglinear model the levels go to helper names `LEVEL_x` and `x` is
        assigned their log; the auxiliary variables follow.
        """
        out = []
        endogenous = set(self.endogenous)
        if self.loglinear:
            rename = {}
            for name, expr in assignments:
                expr = expr.xreplace(rename)
                if name in endogenous:
                    rename[sympy.Symbol(name)] = sympy.Symbol(f"LEVEL_{name}")
                    name = f"LEVEL_{name}"
                out.append((name, expr))
            out.extend((x, sympy.log(sympy.Symbol(f"LEVEL_{x}"))) for x in self.endogenous)
        else:
            out.extend(assignments)
        for a in self.auxiliary:
            value = sympy.Integer(0) if a.kind.startswith("exo") else sympy.Symbol(a.base)
            out.append((a.name, value))
        return tuple(out)


def _occurrences(equations):
    """{name: set of shifts (int or "ss")} over all equations."""
    seen = {}
    for eq in equations:
        for s in eq.free_symbols:
            name, shift = split(s)
            seen.setdefault(name, set()).add(shift)
    return seen


def prepare(equations, endogenous, exogenous, parameters, *, predetermined=(), loglinear=False,
            labels=None):
    """Rewrite residuals `equations` (SymPy expressions) into a `Dynamic`.

    `labels[i]` names equation i in messages (default "equation i+1").
    Raises ModelError for a name that is neither a variable, a shock nor a
    parameter, a parameter with a time shift, `STEADY_STATE` of a shock, a
    predetermined name that is not an endogenous variable, an auxiliary name
    that clashes with a declared one, and a variable that appears in no
    equation.
    """
    endogenous, exogenous, parameters = tuple(endogenous), tuple(exogenous), tuple(parameters)
    labels = labels or [f"equation {i + 1}" for i in range(len(equations))]
    endo, exo, par = set(endogenous), set(exogenous), set(parameters)
    for name in predetermined:
        if name not in endo:
            raise ModelError(f"predetermined_variables: '{name}' is not an endogenous variable")
    eqs = [sympy.sympify(e) for e in equations]

    for eq, label in zip(eqs, labels):
        for s in sorted(eq.free_symbols, key=str):
            name, shift = split(s)
            if name in endo:
                continue
            if name in exo:
                if shift == "ss":
                    raise ModelError(f"{label}: STEADY_STATE({name}) of the shock '{name}': "
                                     "only endogenous variables have a steady state")
                continue
            if name in par:
                if shift != 0:
                    raise ModelError(f"{label}: the parameter '{name}' cannot carry a time "
                                     f"shift ({s})")
                continue
            raise ModelError(f"{label}: unknown name '{s}': not a declared variable, shock "
                             "or parameter")

    # 1. predetermined variables move back one period
    if predetermined:
        pre = set(predetermined)
        back = {}
        for eq in eqs:
            for s in eq.free_symbols:
                name, shift = split(s)
                if name in pre and shift != "ss":
                    back[s] = timed(name, shift - 1)
        eqs = [eq.xreplace(back) for eq in eqs]

    # 2. loglinear: every endogenous variable is exp of its log
    if loglinear:
        logs = {}
        for eq in eqs:
            for s in eq.free_symbols:
                if split(s)[0] in endo:
                    logs[s] = sympy.exp(s)
        eqs = [eq.xreplace(logs) for eq in eqs]

    auxiliary = []
    taken = endo | exo | par

    def new_aux(name, kind, base, shift, equation):
        if name in taken:
            raise ModelError(f"the auxiliary variable '{name}' the model needs clashes with a "
                             "declared name; rename that name")
        taken.add(name)
        auxiliary.append(Auxiliary(name, kind, base, shift, equation))

    # 3. shocks at other dates go through a carrier variable
    seen = _occurrences(eqs)
    carrier = {}
    for e in exogenous:
        if seen.get(e, {0}) - {0}:
            name = f"AUX_EXO_{e}"
            new_aux(name, "exo", e, 0, sympy.Symbol(name) - sympy.Symbol(e))
            carrier[e] = name
    if carrier:
        move = {}
        for eq in eqs:
            for s in eq.free_symbols:
                name, shift = split(s)
                if name in carrier and shift != 0:
                    move[s] = timed(carrier[name], shift)
        eqs = [eq.xreplace(move) for eq in eqs]

    # 4. chains for leads and lags beyond one
    seen = _occurrences(eqs)
    chain = {}
    for x in list(endogenous) + [carrier[e] for e in exogenous if e in carrier]:
        shifts = [s for s in seen.get(x, ()) if s != "ss"]
        if not shifts:
            continue
        base = x if x in endo else x[len("AUX_EXO_"):]
        prefix = ("AUX_LEAD_{}_{}", "AUX_LAG_{}_{}") if x in endo else (
            "AUX_EXO_LEAD_{}_{}", "AUX_EXO_LAG_{}_{}")
        kinds = ("lead", "lag") if x in endo else ("exo_lead", "exo_lag")
        for direction, fmt, kind in ((1, prefix[0], kinds[0]), (-1, prefix[1], kinds[1])):
            depth = max((direction * s for s in shifts), default=0)
            previous = x
            for j in range(1, depth):
                name = fmt.format(base, j)
                new_aux(name, kind, base, direction * j,
                        sympy.Symbol(name) - timed(previous, direction))
                chain[(x, direction * (j + 1))] = timed(name, direction)
                previous = name
    if chain:
        eqs = [eq.xreplace({timed(x, k): v for (x, k), v in chain.items()}) for eq in eqs]

    # 5. steady-state values become parameters
    steady_parameters = []
    ss_map = {}
    for x in endogenous:
        if "ss" in seen.get(x, ()):
            pname = f"STEADY_STATE_{x}"
            if pname in taken:
                raise ModelError(f"the parameter '{pname}' that STEADY_STATE({x}) needs clashes "
                                 "with a declared name; rename that name")
            taken.add(pname)
            steady_parameters.append((pname, x))
            ss_map[steady(x)] = sympy.Symbol(pname)
    if ss_map:
        eqs = [eq.xreplace(ss_map) for eq in eqs]

    eqs.extend(a.equation for a in auxiliary)
    declared = list(endogenous) + [a.name for a in auxiliary]
    flags = dict.fromkeys(declared, 0)
    bit = {-1: LAG, 0: CUR, 1: LEAD}
    for eq in eqs:
        for s in eq.free_symbols:
            name, shift = split(s)
            if name in flags:
                flags[name] |= bit[shift]
    missing = [v for v in endogenous if flags[v] == 0]
    if missing:
        raise ModelError("endogenous variable" + ("s " if len(missing) > 1 else " ")
                         + ", ".join(f"'{v}'" for v in missing)
                         + " appear" + ("" if len(missing) > 1 else "s")
                         + " in no equation (outside STEADY_STATE)")
    states = [v for v in declared if flags[v] & LAG]
    rest = [v for v in declared if not flags[v] & LAG]
    variables = tuple(states + rest)
    return Dynamic(
        endogenous=endogenous, exogenous=exogenous,
        parameters=parameters + tuple(p for p, _ in steady_parameters),
        variables=variables, flags=tuple(flags[v] for v in variables), nx=len(states),
        equations=tuple(eqs), auxiliary=tuple(auxiliary),
        steady_parameters=tuple(steady_parameters), loglinear=bool(loglinear),
        predetermined=tuple(predetermined))
