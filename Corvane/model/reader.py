"""The model-file reader: Dynare's `.mod` language, the subset that carries models.

`read_mod(text)` and `read_mod_file(path)` return a `ModFile`; `parse_equations`
reads equations given from Python in the same syntax. Expressions follow
`Corvane.model.expressions` (precedence, functions, numbers).

What is read: `var`, `varexo`, `parameters` (with `$tex$` names and
`(long_name='...', NAME='...')` labels); parameter assignments (evaluated in
file order; an undeclared name assigned at top level is kept in
`ModFile.constants` with a warning); `model; ... end;` and `model(linear);`
with `# local = expr;` definitions (substituted into the equations) and
`[name='...', ...]` tags; `initval`; `steady_state_model`; `shocks`;
`varobs`; `predetermined_variables`; `estimated_params`;
`estimated_params_init`; the commands `steady`, `check`, `stoch_simul`,
`estimation` with all their options.

Equations are kept as written: `predetermined_variables` only lists names
(the model layer shifts their timing), leads and lags of any length stay as
they are. Anything outside the subset (macro directives, MATLAB statements,
other Dynare blocks and commands, unknown options) raises `ParseError` with
the file, line and column; nothing is skipped silently.
"""

import sys
import warnings
from pathlib import Path

from Corvane.errors import ParseError
from Corvane.model import commands as cmd
from Corvane.model import expressions as ex
from Corvane.model.calibration import CalibrationBlocks
from Corvane.model.estimation_blocks import EstimationBlocks
from Corvane.model.lexer import Cursor, tokenize
from Corvane.model.model_block import ModelBlock
from Corvane.model.options import parse_options
from Corvane.model.source import Command, Declaration, ModFile

__all__ = ["read_mod", "read_mod_file", "parse_equations", "parse_expression"]

parse_expression = ex.parse_expression

_KIND_WORDS = {"var": "endogenous", "varexo": "exogenous", "parameters": "parameter"}


def read_mod(text, filename=None, directory=None):
    """Read model-file text.

    Parameters
    ----------
    text : str
        The file's contents.
    filename : str, optional
        Used in messages and to find a MATLAB steady-state file beside it.
    directory : str or Path, optional
        Where data files named in the file are found.

    Returns
    -------
    ModFile

    Raises
    ------
    ParseError
        With `filename`, `line` and `column` of the first problem.

    Examples
    --------
    >>> mod = read_mod("var y; varexo e; parameters rho; rho = 0.9;"
    ...                "model; y = rho*y(-1) + e; end;")
    >>> mod.equations[0].rhs
    e + rho*y(-1)
    """
    directory = Path(directory) if directory is not None else None
    reader = _Reader(text, filename, directory)
    return reader.read()


def read_mod_file(path):
    """Read a model file from disk; data files are found relative to its folder."""
    path = Path(path)
    text = path.read_text(encoding="utf-8")
    return read_mod(text, filename=str(path), directory=path.parent)


def parse_equations(equations, endogenous, exogenous, parameters, local=None):
    """Equations given from Python, in the model-file syntax.

    Parameters
    ----------
    equations : list of str
        One equation per string: ``"lhs = rhs"`` or ``"expr"`` (a trailing
        ``;`` is allowed), optionally led by tags ``"[name='euler'] ..."``.
        A string ``"# name = expr"`` defines a model-local variable for the
        equations after it.
    endogenous, exogenous : iterables of str
    parameters : iterable of str, or dict (its keys are used)
    local : dict, optional
        Model-local variables defined before the first equation, name to
        expression (str in the same syntax, or SymPy).

    Returns
    -------
    list of Equation
        `number` is the position among the equations, `line` is None.

    Raises
    ------
    ParseError
        `filename` is ``"<equation N>"`` (N the position in `equations`), and
        `line`, `column` are within that string.

    Examples
    --------
    >>> [eq] = parse_equations(["[name='ar'] y = rho*y(-1) + e"], ["y"], ["e"], ["rho"])
    >>> eq.name, eq.rhs
    ('ar', e + rho*y(-1))
    """
    endogenous, exogenous, parameters = list(endogenous), list(exogenous), list(parameters)
    for kind, names in (("endogenous", endogenous), ("exogenous", exogenous),
                        ("parameters", parameters)):
        for name in names:
            if not isinstance(name, str):
                raise TypeError(f"{kind} must be names (str), got {name!r}")
    if isinstance(equations, str):
        raise TypeError("equations must be a list of strings, one equation each")
    local = ex.resolve_locals(local, endogenous, exogenous, parameters)
    model = ModelBlock(endogenous, exogenous, parameters, local)
    for index, text in enumerate(equations, start=1):
        if not isinstance(text, str):
            raise TypeError(f"equation {index} must be a str, got {type(text).__name__}")
        where = f"<equation {index}>"
        cur = Cursor(tokenize(text, where), where, text)
        model.item(cur, python=True)
        if cur.peek.kind != "end":
            raise cur.error(f"unexpected {cur.peek} after the equation: give one equation "
                            "per string")
    for eq in model.equations:
        eq.line = None
    return model.equations


def _warn(message):
    """A UserWarning attributed to the first caller outside this package."""
    level, frame = 2, sys._getframe(1)
    while frame is not None and frame.f_globals.get("__name__", "").startswith("Corvane."):
        level, frame = level + 1, frame.f_back
    warnings.warn(message, UserWarning, stacklevel=level)


# ------------------------------------------------------------------ reader

class _Reader(CalibrationBlocks, EstimationBlocks):
    """One pass over a file's statements, filling a ModFile."""

    def __init__(self, text, filename, directory):
        self.filename = filename
        self.cur = Cursor(tokenize(text, filename), filename, text)
        self.mod = ModFile(filename=filename, directory=directory)
        self.kinds = {}              # declared name -> (kind, line)
        self.constant_lines = {}     # undeclared top-level name -> line
        self.measurement = []        # tokens of endogenous names that need varobs
        self.seen = {}               # block name -> line, for blocks allowed once
        self.estimated = {}          # (kind, names) -> line

    # -- helpers

    def error(self, message, tok=None):
        return self.cur.error(message, tok)

    def names_of(self, kind):
        return [n for n, (k, _) in self.kinds.items() if k == kind]

    @property
    def endogenous(self):
        return self.names_of("endogenous")

    @property
    def exogenous(self):
        return self.names_of("exogenous")

    @property
    def parameters(self):
        return self.names_of("parameter")

    def kind(self, name):
        return self.kinds.get(name, (None, None))[0]

    def unknown(self, tok, context=None):
        node = ex.Ref(tok.text, None, tok)
        scope = ex.Scope(self.cur, self.endogenous, self.exogenous, self.parameters,
                         constants=self.constant_lines, context=context or "this statement")
        return scope.unknown(node)

    def end_statement(self, what):
        self.cur.expect(";", f"to end {what}")

    def value(self, node, context):
        """Evaluate an expression outside the model."""

        def lookup(ref):
            name = ref.name
            if ref.shift is not None:
                raise self.error(f"a time shift ({name}({ref.shift:+d})) is only allowed in "
                                 "model equations", ref.tok)
            if name in self.mod.param_values:
                return self.mod.param_values[name]
            if name in self.mod.constants:
                return self.mod.constants[name]
            kind = self.kind(name)
            if kind == "parameter":
                raise self.error(f"parameter '{name}' is used in {context} before it is "
                                 "given a value", ref.tok)
            if kind in ("endogenous", "exogenous"):
                if name in self.mod.initval:
                    return self.mod.initval[name]
                raise self.error(f"{cmd.KIND_TEXT[kind]} '{name}' has no value in {context}: "
                                 "only parameters and values set earlier are known here",
                                 ref.tok)
            raise self.unknown(ref.tok, context=context)

        return ex.evaluate(node, lookup, self.cur, context)

    def number(self, context):
        node = ex.parse(self.cur)
        return self.value(node, context)

    def name_list(self, what, allowed_kind="endogenous"):
        names = []
        while not self.cur.at(";"):
            tok = self.cur.peek
            if tok.kind == "end":
                raise self.error(f"expected ';' to end {what}", tok)
            if tok.kind != "name":
                raise self.error(f"expected a variable name in {what}, found {tok}", tok)
            self.cur.next()
            kind = self.kind(tok.text)
            if kind is None:
                raise self.unknown(tok, context=what)
            if allowed_kind and kind != allowed_kind:
                raise self.error(f"'{tok.text}' in {what} is {cmd.KIND_TEXT[kind]}, not "
                                 f"{cmd.KIND_TEXT[allowed_kind]}", tok)
            names.append(tok.text)
            self.cur.accept(",")
        self.cur.next()
        return names

    def open_block(self, name, tok, once=False):
        if once and name in self.seen:
            raise self.error(f"a second {name} block (the first is at line "
                             f"{self.seen[name]})", tok)
        self.seen[name] = tok.line

    def at_block_end(self, block, open_tok):
        tok = self.cur.peek
        if tok.kind == "end":
            raise self.error(f"{block} block opened at line {open_tok.line} is never closed "
                             "with 'end;'", open_tok)
        if tok.kind == "name" and tok.text == "end":
            self.cur.next()
            self.end_statement(f"the {block} block")
            return True
        return False

    # -- top level

    def read(self):
        while self.cur.peek.kind != "end":
            self.statement()
        self.finish()
        return self.mod

    def statement(self):
        cur = self.cur
        tok = cur.peek
        if tok.kind == "op":
            if tok.text == ";":
                cur.next()
                return
            if tok.text == "[":
                raise self.error("MATLAB statements are not supported (a bracketed "
                                 "assignment or matrix at top level)", tok)
            if tok.text == "#":
                raise self.error("model-local definitions ('# name = ...') belong inside "
                                 "the model block", tok)
            raise self.error(f"expected a declaration, block or command, found {tok}", tok)
        if tok.kind != "name":
            raise self.error(f"expected a declaration, block or command, found {tok}", tok)
        word = tok.text
        nxt = cur.ahead()
        if word in _KIND_WORDS:
            return self.declarations(_KIND_WORDS[word])
        handler = {
            "predetermined_variables": self.predetermined,
            "varobs": self.varobs,
            "model": self.model,
            "initval": self.initval,
            "steady_state_model": self.steady_state_model,
            "shocks": self.shocks,
            "estimated_params": self.estimated_params,
            "estimated_params_init": self.estimated_params_init,
        }.get(word)
        if handler is not None and not (nxt.kind == "op" and nxt.text == "="):
            return handler()
        if word in cmd.COMMAND_OPTIONS and not (nxt.kind == "op" and nxt.text == "="):
            return self.command()
        if word == "end":
            raise self.error("'end' without an open block", tok)
        if word == "Sigma_e":
            raise self.error("Sigma_e is not supported: give the shock covariances in a "
                             "shocks block", tok)
        if nxt.kind == "op" and nxt.text == "=":
            return self.assignment()
        if word in cmd.UNSUPPORTED_BLOCKS:
            raise self.error(f"the {word} block is not supported by Corvane", tok)
        if word in cmd.UNSUPPORTED_COMMANDS:
            raise self.error(f"the {word} command is not supported by Corvane", tok)
        if nxt.kind == "op" and nxt.text == "(":
            raise self.error(f"MATLAB statements are not supported: call of '{word}'", tok)
        if nxt.kind == "op" and nxt.text == ".":
            raise self.error(f"MATLAB statements are not supported: assignment to a field "
                             f"of '{word}'", tok)
        if word in ("if", "for", "while", "function", "disp", "load", "save", "addpath",
                    "close", "clear", "clc"):
            raise self.error(f"MATLAB statements are not supported: '{word}'", tok)
        raise self.error(f"unknown command '{word}'", tok)

    def declarations(self, kind):
        cur = self.cur
        word = cur.next()
        if cur.at("("):
            raise self.error(f"options of '{word.text}' (deflators, trends) are not "
                             "supported", cur.peek)
        count = 0
        while not cur.at(";"):
            tok = cur.peek
            if tok.kind == "end":
                raise self.error(f"expected ';' to end the {word.text} declaration", tok)
            if tok.kind != "name":
                raise self.error(f"expected a name in the {word.text} declaration, found "
                                 f"{tok}", tok)
            cur.next()
            decl = Declaration(tok.text, line=tok.line)
            self.declare(tok, kind)
            if cur.peek.kind == "tex":
                decl.tex = cur.next().text
            if cur.at("("):
                labels, where = parse_options(cur, f"'{tok.text}'")
                for key, value in labels.items():
                    if not isinstance(value, str) or value is True:
                        raise self.error(f"label '{key}' of '{tok.text}' must be a quoted "
                                         "string", where[key])
                    if key == "long_name":
                        decl.long_name = value
                    else:
                        decl.partitions[key] = value
            {"endogenous": self.mod.endogenous, "exogenous": self.mod.exogenous,
             "parameter": self.mod.parameters}[kind].append(decl)
            count += 1
            cur.accept(",")
        if count == 0:
            raise self.error(f"'{word.text}' declares no name", word)
        cur.next()

    def declare(self, tok, kind):
        name = tok.text
        if name in cmd.RESERVED or name in cmd.COMMAND_OPTIONS:
            raise self.error(f"'{name}' is a reserved word of the model language and cannot "
                             "be declared", tok)
        if name in self.kinds:
            old_kind, old_line = self.kinds[name]
            raise self.error(f"'{name}' is already declared as {cmd.KIND_TEXT[old_kind]} at "
                             f"line {old_line}", tok)
        self.kinds[name] = (kind, tok.line)

    def predetermined(self):
        word = self.cur.next()
        names = self.name_list("predetermined_variables")
        if not names:
            raise self.error("predetermined_variables lists no variable", word)
        for name in names:
            if name not in self.mod.predetermined:
                self.mod.predetermined.append(name)

    def varobs(self):
        word = self.cur.next()
        self.open_block("varobs", word, once=True)
        names = self.name_list("varobs")
        if not names:
            raise self.error("varobs lists no variable", word)
        self.mod.varobs = names

    def assignment(self):
        cur = self.cur
        tok = cur.next()
        name = tok.text
        cur.expect("=")
        node = ex.parse(cur)
        self.end_statement(f"the assignment to '{name}'")
        kind = self.kind(name)
        if kind in ("endogenous", "exogenous"):
            raise self.error(f"'{name}' is {cmd.KIND_TEXT[kind]}: give its value in an "
                             "initval block", tok)
        if name in cmd.RESERVED:
            raise self.error(f"'{name}' is a reserved word and cannot be assigned", tok)
        value = self.value(node, f"the value of '{name}'")
        if kind == "parameter":
            self.mod.param_values[name] = value
            return
        _warn(f"{self.where(tok)}'{name}' is not a declared parameter: kept as a constant "
              "for later assignments, not usable in the model")
        self.mod.constants[name] = value
        self.constant_lines[name] = tok.line

    def where(self, tok):
        return f"{self.filename or '<model>'}:{tok.line}:{tok.column}: "

    # -- blocks

    def model(self):
        cur = self.cur
        word = cur.next()
        self.open_block("model", word, once=True)
        if cur.at("("):
            options, where = parse_options(cur, "model")
            for key, value in options.items():
                if key not in cmd.MODEL_OPTIONS:
                    raise self.error(self.unknown_option(key, "model", cmd.MODEL_OPTIONS),
                                     where[key])
                if key in cmd.MODEL_OPTIONS_WITHOUT_EFFECT:
                    _warn(f"{self.where(where[key])}model option '{key}' has no effect in "
                          "Corvane (models are always compiled, and solved as a whole)")
                if key == "linear" and value is not True:
                    raise self.error("model option 'linear' takes no value", where[key])
            self.mod.model_options = options
        self.end_statement("the model statement")
        block = ModelBlock(self.endogenous, self.exogenous, self.parameters,
                            constants=self.constant_lines, kinds=self.kinds)
        while not self.at_block_end("model", word):
            block.item(cur)
        self.mod.equations = block.equations
        self.mod.model_locals = block.locals

    # -- commands

    def command(self):
        cur = self.cur
        word = cur.next()
        name = word.text
        known = cmd.COMMAND_OPTIONS[name]
        options = {}
        if cur.at("("):
            options, where = parse_options(cur, name)
            for key in options:
                if key not in known:
                    raise self.error(self.unknown_option(key, name, known), where[key])
        variables = []
        if name in cmd.COMMANDS_WITH_VARIABLES:
            variables = self.name_list(f"the variables of {name}")
        else:
            self.end_statement(f"the {name} command")
        self.mod.commands.append(Command(name, options, variables, word.line))

    @staticmethod
    def unknown_option(key, command, known):
        near = ex.close_matches(key, known)
        return (f"unknown option '{key}' of {command}"
                + (f"; did you mean '{near[0]}'?" if near else ""))

    # -- end of file

    def finish(self):
        for tok in self.measurement:
            if tok.text not in self.mod.varobs:
                raise self.error(f"'{tok.text}' is endogenous: a measurement error needs it "
                                 "in varobs, which does not list it", tok)
        if self.filename and self.mod.directory is not None:
            stem = Path(self.filename).stem
            mfile = self.mod.directory / f"{stem}_steadystate.m"
            if mfile.exists():
                raise ParseError(
                    f"{mfile.name} beside the model file is a MATLAB steady-state file, which "
                    "Corvane cannot run: write the steady state in a steady_state_model block "
                    "or pass a Python callable (steady_state=...), and remove or rename the "
                    ".m file", filename=self.filename, line=1, column=1)
        exo = self.exogenous
        variances = self.mod.shocks.variances
        self.mod.shocks.variances = {e: variances.get(e, 0.0) for e in exo}
