"""What a model file holds, as the reader hands it to the model layer.

Expressions are SymPy expressions over the symbols of `Corvane.model.symbols`
(timed variables, shocks and parameters by name); model-local variables are
already substituted. Numbers a file assigns (parameter values, `initval`,
`shocks`) are evaluated to floats in file order. Line numbers are 1-based.
"""

from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import sympy


@dataclass
class Declaration:
    """A declared name with its optional labels."""

    name: str
    tex: str | None = None
    long_name: str | None = None
    line: int | None = None
    partitions: dict[str, str] = field(default_factory=dict)   # `(NAME='...')` labels


@dataclass
class Equation:
    """One model equation: `lhs = rhs` (rhs 0 for an `expr;` equation)."""

    lhs: sympy.Expr
    rhs: sympy.Expr
    line: int | None = None
    text: str = ""                      # the equation as written, for messages
    name: str | None = None             # the `name` tag, if any
    tags: dict[str, str] = field(default_factory=dict)   # bare tags like `[static]` map to ""
    number: int | None = None           # 1-based position among the model's equations

    @property
    def residual(self):
        return self.lhs - self.rhs

    @property
    def label(self):
        """How messages refer to the equation."""
        if self.name:
            return f"equation '{self.name}'"
        if self.number and self.line:
            return f"equation {self.number} (line {self.line})"
        if self.number:
            return f"equation {self.number}"
        return f"equation at line {self.line}" if self.line else "equation"


@dataclass
class Assignment:
    """`name = expr;` in a steady_state_model block or a model-local `# name = expr;`."""

    name: str
    expr: sympy.Expr
    line: int | None = None


@dataclass
class Command:
    """A command such as `steady;`, `stoch_simul(order=2) y c;` or `estimation(...)`.

    `options` maps option names to values: float or int for numbers, str for
    names and quoted strings, list for bracketed lists, True for flags.
    `variables` is the trailing list of names.
    """

    name: str
    options: dict[str, Any] = field(default_factory=dict)
    variables: list[str] = field(default_factory=list)
    line: int | None = None


@dataclass
class EstimatedParam:
    """One line of `estimated_params`.

    kind "param" (names = (parameter,)), "stderr" (names = (shock or observed
    variable,)) or "corr" (names = (a, b)). Numbers are floats, None when the
    line leaves them out; `prior` is the shape as written (e.g.
    "beta_pdf", "gamma_pdf", "normal_pdf", "inv_gamma_pdf", "inv_gamma1_pdf",
    "inv_gamma2_pdf", "uniform_pdf", "weibull_pdf") or None.
    """

    kind: str
    names: tuple[str, ...]
    init: float | None = None
    lower: float | None = None
    upper: float | None = None
    prior: str | None = None
    prior_mean: float | None = None
    prior_sd: float | None = None
    prior_p3: float | None = None
    prior_p4: float | None = None
    scale: float | None = None
    line: int | None = None


@dataclass
class ShockBlock:
    """The `shocks` block: variances and covariances by shock name.

    `variances[e]` from `var e; stderr s;` (s squared) or `var e = v;`;
    `covariances[(e, u)]` from `var e, u = c;`; `correlations[(e, u)]` from
    `corr e, u = r;`. Entries naming an observed endogenous variable are
    measurement errors, kept in `measurement_variances`,
    `measurement_covariances` and `measurement_correlations`. The reader
    lists every declared shock in `variances`, in declared order, with 0 for
    those the file never mentions (as in Dynare).
    """

    variances: dict[str, float] = field(default_factory=dict)
    covariances: dict[tuple[str, str], float] = field(default_factory=dict)
    correlations: dict[tuple[str, str], float] = field(default_factory=dict)
    measurement_variances: dict[str, float] = field(default_factory=dict)
    measurement_covariances: dict[tuple[str, str], float] = field(default_factory=dict)
    measurement_correlations: dict[tuple[str, str], float] = field(default_factory=dict)


@dataclass
class ModFile:
    """Everything the reader keeps from a model file, in file order."""

    endogenous: list[Declaration] = field(default_factory=list)
    exogenous: list[Declaration] = field(default_factory=list)
    parameters: list[Declaration] = field(default_factory=list)
    param_values: dict[str, float] = field(default_factory=dict)
    constants: dict[str, float] = field(default_factory=dict)   # undeclared top-level names
    equations: list[Equation] = field(default_factory=list)
    model_locals: list[Assignment] = field(default_factory=list)
    model_options: dict[str, Any] = field(default_factory=dict)  # e.g. {"linear": True}
    predetermined: list[str] = field(default_factory=list)      # equations keep their timing
    initval: dict[str, float] = field(default_factory=dict)     # endogenous and exogenous
    steady_state_model: list[Assignment] | None = None
    shocks: ShockBlock = field(default_factory=ShockBlock)
    varobs: list[str] = field(default_factory=list)
    estimated_params: list[EstimatedParam] = field(default_factory=list)
    estimated_params_init: list[EstimatedParam] = field(default_factory=list)
    estimated_params_init_options: dict[str, Any] = field(default_factory=dict)
    commands: list[Command] = field(default_factory=list)
    filename: str | None = None
    directory: Path | None = None       # data files are found relative to it

    def command(self, name):
        """The last command called `name`, or None."""
        for cmd in reversed(self.commands):
            if cmd.name == name:
                return cmd
        return None
