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

import sympy

from Corvane.errors import ParseError
from Corvane.model import commands as cmd
from Corvane.model import expressions as ex
from Corvane.model.lexer import Cursor, is_integer_literal, number_value, tokenize
from Corvane.model.source import (Assignment, Command, Declaration, Equation,
                                  EstimatedParam, ModFile)

__all__ = ["read_mod", "read_mod_file", "parse_equations", "parse_expression"]

parse_expression = ex.parse_expression

_KIND_WORDS = {"var": "endogenous", "varexo": "exogenous", "parameters": "parameter"}
_KIND_TEXT = {"endogenous": "an endogenous variable", "exogenous": "an exogenous variable",
              "parameter": "a parameter", "local": "a model-local variable",
              "helper": "a steady_state_model helper"}
_RESERVED = ex.RESERVED | cmd.KEYWORDS


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
    >>> mod.equations[0].residual
    -rho*y(-1) + y - e
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
    ('ar', rho*y(-1) + e)
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
    model = _ModelBlock(endogenous, exogenous, parameters, local)
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


# ---------------------------------------------------------------- options

def _parse_options(cur, command):
    """`( name [= value], ... )` at the cursor: dict of name to value, with the
    token of each name."""
    options, where = {}, {}
    cur.expect("(", f"to open the options of {command}")
    if cur.accept(")"):
        return options, where
    while True:
        name_tok = cur.expect_name(f"an option name of {command}")
        if name_tok.text in options:
            raise cur.error(f"option '{name_tok.text}' of {command} is given twice", name_tok)
        if cur.accept("="):
            options[name_tok.text] = _option_value(cur, command, name_tok.text)
        else:
            options[name_tok.text] = True
        where[name_tok.text] = name_tok
        if cur.accept(")"):
            return options, where
        cur.expect(",", f"or ')' after option '{name_tok.text}' of {command}")


def _option_value(cur, command, name):
    """A value: number, name or quoted string, [list] or (list), else the text as
    written (dates like 1990Q1, ranges like B2:D200)."""
    first = cur.pos
    depth = 0
    while True:
        tok = cur.peek
        if tok.kind == "end" or (tok.kind == "op" and tok.text == ";"):
            raise cur.error(f"option '{name}' of {command} is not closed", tok)
        if tok.kind == "op" and tok.text in "([":
            depth += 1
        elif tok.kind == "op" and tok.text in ")]":
            if depth == 0:
                break
            depth -= 1
        elif tok.kind == "op" and tok.text == "," and depth == 0:
            break
        cur.next()
    tokens = cur.tokens[first:cur.pos]
    if not tokens:
        raise cur.error(f"option '{name}' of {command} needs a value after '='", cur.peek)
    value = _literal(tokens)
    if value is not None:
        return value
    opener, closer = tokens[0], tokens[-1]
    if (opener.kind == "op" and (opener.text, closer.text) in (("[", "]"), ("(", ")"))):
        items = _list_items(tokens[1:-1])
        if items is not None:
            return items
    return cur.text_between(first, cur.pos - 1).replace(" ", "")


def _literal(tokens):
    """A number, a name or a string from one token (or a sign and a number)."""
    sign = 1
    if len(tokens) == 2 and tokens[0].kind == "op" and tokens[0].text in "+-":
        sign = -1 if tokens[0].text == "-" else 1
        tokens = tokens[1:]
        if not (tokens[0].kind == "number" or tokens[0].text in ex.SPECIAL_NUMBERS):
            return None
    if len(tokens) != 1:
        return None
    tok = tokens[0]
    if tok.kind == "number":
        return sign * (int(tok.text) if is_integer_literal(tok.text) else number_value(tok.text))
    if tok.kind == "name" and tok.text in ex.SPECIAL_NUMBERS:
        return sign * ex.SPECIAL_NUMBERS[tok.text]
    if tok.kind in ("name", "string"):
        return tok.text
    return None


def _list_items(tokens):
    """Items of a bracketed list, separated by commas or spaces; `a:b` and
    `a:step:b` integer ranges are expanded. None when the list has other forms."""
    groups, group, prev = [], [], None
    for tok in tokens:
        if tok.kind == "op" and tok.text == ",":
            if group:
                groups.append(group)
            group, prev = [], None
            continue
        adjacent = prev is not None and (tok.start == prev.end or (
            (tok.kind == "op" and tok.text in ":") or (prev.kind == "op" and prev.text in ":+-")))
        if group and not adjacent:
            groups.append(group)
            group = []
        group.append(tok)
        prev = tok
    if group:
        groups.append(group)
    items = []
    for group in groups:
        value = _literal(group)
        if value is not None:
            items.append(value)
            continue
        parts = [[]]
        for tok in group:
            if tok.kind == "op" and tok.text == ":":
                parts.append([])
            else:
                parts[-1].append(tok)
        bounds = [_literal(p) for p in parts]
        if len(parts) in (2, 3) and all(isinstance(b, int) for b in bounds):
            start, stop = bounds[0], bounds[-1]
            step = bounds[1] if len(parts) == 3 else 1
            if step == 0:
                return None
            items.extend(range(start, stop + (1 if step > 0 else -1), step))
            continue
        return None
    return items


# ------------------------------------------------------------ model block

class _ModelBlock:
    """Equations and model-local variables, read item by item."""

    def __init__(self, endogenous, exogenous, parameters, local=None, constants=None,
                 kinds=None):
        self.endogenous, self.exogenous, self.parameters = endogenous, exogenous, parameters
        self.local = dict(local or {})
        self.constants = constants or {}
        self.kinds = kinds          # declared names, to report clashes of local names
        self.equations = []
        self.locals = []
        self.names = {}

    def scope(self, cur, context):
        return ex.Scope(cur, self.endogenous, self.exogenous, self.parameters, self.local,
                        self.constants, context)

    def item(self, cur, python=False):
        """One tag list with its equation, or one local definition."""
        tags, tag_tok = {}, None
        if cur.at("["):
            tag_tok = cur.peek
            tags = self._tags(cur)
            cur.accept(";")
        if cur.at("#"):
            if tags:
                raise cur.error("equation tags must be followed by an equation, not by a "
                                "model-local definition", tag_tok)
            self._local(cur, python)
            return
        self._equation(cur, tags, tag_tok, python)

    def _tags(self, cur):
        cur.expect("[")
        tags = {}
        while True:
            key = cur.expect_name("a tag name")
            if cur.accept("="):
                tok = cur.peek
                if tok.kind not in ("string", "name", "number"):
                    raise cur.error(f"expected the value of tag '{key.text}' (a quoted "
                                    f"string), found {tok}", tok)
                cur.next()
                tags[key.text] = tok.text
            else:
                tags[key.text] = ""
            if cur.accept("]"):
                return tags
            cur.expect(",", "or ']' between equation tags")

    def _local(self, cur, python):
        cur.expect("#")
        name_tok = cur.expect_name("the name of a model-local variable after '#'")
        name = name_tok.text
        declared = self._declared_kind(name)
        if declared:
            raise cur.error(f"model-local variable '{name}' has the name of "
                            f"{_KIND_TEXT[declared]}", name_tok)
        if name in self.local:
            raise cur.error(f"model-local variable '{name}' is defined twice", name_tok)
        if name in _RESERVED:
            raise cur.error(f"'{name}' is a reserved word and cannot name a model-local "
                            "variable", name_tok)
        cur.expect("=", f"after '# {name}'")
        node = ex.parse(cur)
        self._end(cur, python, f"the definition of '{name}'")
        expr = ex.to_sympy(node, self.scope(cur, f"model-local variable '{name}'"))
        self.local[name] = expr
        self.locals.append(Assignment(name, expr, None if python else name_tok.line))

    def _declared_kind(self, name):
        if self.kinds is not None:
            return self.kinds.get(name, (None,))[0]
        for kind, names in (("endogenous", self.endogenous), ("exogenous", self.exogenous),
                            ("parameter", self.parameters)):
            if name in names:
                return kind
        return None

    def _equation(self, cur, tags, tag_tok, python):
        first = cur.pos
        start_tok = cur.peek
        if start_tok.kind == "end" or cur.at(";"):
            raise cur.error("expected an equation after the tags" if tags else
                            "expected an equation", tag_tok if tags else start_tok)
        number = len(self.equations) + 1
        name = tags.get("name")
        if name is not None and name in self.names:
            raise cur.error(f"equation name '{name}' is already used by the equation at "
                            f"line {self.names[name]}", tag_tok)
        context = f"equation '{name}'" if name else f"equation {number}"
        lhs_node = ex.parse(cur)
        rhs_node = None
        if cur.at("="):
            cur.next()
            rhs_node = ex.parse(cur)
            if cur.at("="):
                raise cur.error(f"{context} has more than one '='")
        last = cur.pos - 1
        self._end(cur, python, context)
        scope = self.scope(cur, context)
        lhs = ex.to_sympy(lhs_node, scope)
        rhs = ex.to_sympy(rhs_node, scope) if rhs_node is not None else sympy.Integer(0)
        if name is not None:
            self.names[name] = start_tok.line
        self.equations.append(Equation(lhs, rhs, start_tok.line, cur.text_between(first, last),
                                       name, tags, number))

    @staticmethod
    def _end(cur, python, what):
        if python:
            cur.accept(";")
            return
        tok = cur.peek
        if tok.kind == "op" and tok.text == ")":
            raise cur.error(f"unbalanced ')' in {what}", tok)
        cur.expect(";", f"to end {what}")


# ------------------------------------------------------------------ reader

class _Reader:
    def __init__(self, text, filename, directory):
        self.filename = filename
        self.cur = Cursor(tokenize(text, filename), filename, text)
        self.mod = ModFile(filename=filename, directory=directory)
        self.kinds = {}              # declared name -> (kind, line)
        self.constant_lines = {}     # undeclared top-level name -> line
        self.measurement = []        # (name, token): endogenous names that need varobs
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

    def unknown(self, tok, what="name", context=None):
        node = ex.Ref(tok.text, None, tok)
        scope = ex.Scope(self.cur, self.endogenous, self.exogenous, self.parameters,
                         constants=self.constant_lines, context=context or "this statement")
        return scope.unknown(node)

    def end_statement(self, what):
        self.cur.expect(";", f"to end {what}")

    def value(self, node, context, local_values=None):
        """Evaluate an expression outside the model."""

        def lookup(ref):
            name = ref.name
            if ref.shift is not None:
                raise self.error(f"a time shift ({name}({ref.shift:+d})) is only allowed in "
                                 "model equations", ref.tok)
            if local_values is not None and name in local_values:
                return local_values[name]
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
                raise self.error(f"{_KIND_TEXT[kind]} '{name}' has no value in {context}: "
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
                raise self.error(f"'{tok.text}' in {what} is {_KIND_TEXT[kind]}, not "
                                 f"{_KIND_TEXT[allowed_kind]}", tok)
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
                labels, where = _parse_options(cur, f"'{tok.text}'")
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
        if name in _RESERVED or name in cmd.COMMAND_OPTIONS:
            raise self.error(f"'{name}' is a reserved word of the model language and cannot "
                             "be declared", tok)
        if name in self.kinds:
            old_kind, old_line = self.kinds[name]
            raise self.error(f"'{name}' is already declared as {_KIND_TEXT[old_kind]} at "
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
            raise self.error(f"'{name}' is {_KIND_TEXT[kind]}: give its value in an "
                             "initval block", tok)
        if name in _RESERVED:
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
            options, where = _parse_options(cur, "model")
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
        block = _ModelBlock(self.endogenous, self.exogenous, self.parameters,
                            constants=self.constant_lines, kinds=self.kinds)
        while not self.at_block_end("model", word):
            block.item(cur)
        self.mod.equations = block.equations
        self.mod.model_locals = block.locals

    def initval(self):
        cur = self.cur
        word = cur.next()
        required = False
        if cur.at("("):
            options, where = _parse_options(cur, "initval")
            for key in options:
                if key != "all_values_required":
                    raise self.error(self.unknown_option(key, "initval",
                                                         {"all_values_required"}), where[key])
            required = True
        self.end_statement("the initval statement")
        given = set()
        while not self.at_block_end("initval", word):
            tok = cur.expect_name("a variable name in the initval block")
            kind = self.kind(tok.text)
            if kind not in ("endogenous", "exogenous"):
                if kind is None:
                    raise self.unknown(tok, context="the initval block")
                raise self.error(f"'{tok.text}' is {_KIND_TEXT[kind]}: initval sets "
                                 "endogenous and exogenous variables", tok)
            cur.expect("=", f"after '{tok.text}' in the initval block")
            value = self.number(f"the initial value of '{tok.text}'")
            self.end_statement(f"the initial value of '{tok.text}'")
            self.mod.initval[tok.text] = value
            given.add(tok.text)
        if required:
            missing = [n for n in self.endogenous + self.exogenous if n not in given]
            if missing:
                raise self.error("initval(all_values_required) leaves out "
                                 + ", ".join(missing), word)

    def steady_state_model(self):
        cur = self.cur
        word = cur.next()
        self.open_block("steady_state_model", word, once=True)
        self.end_statement("the steady_state_model statement")
        assignments = []
        scope = _SteadyScope(self, cur)
        while not self.at_block_end("steady_state_model", word):
            tok = cur.peek
            if cur.at("["):
                raise self.error("assignments of several values from a MATLAB function are "
                                 "not supported in steady_state_model: write each value as "
                                 "an expression, or give the steady state as a Python "
                                 "callable (steady_state=...)", tok)
            tok = cur.expect_name("a name to assign in steady_state_model")
            name, kind = tok.text, self.kind(tok.text)
            if kind == "exogenous":
                raise self.error(f"'{name}' is an exogenous variable: steady_state_model "
                                 "assigns endogenous variables, parameters and helper "
                                 "names", tok)
            if kind is None and name in _RESERVED:
                raise self.error(f"'{name}' is a reserved word and cannot be assigned", tok)
            cur.expect("=", f"after '{name}' in steady_state_model")
            node = ex.parse(cur)
            self.end_statement(f"the steady-state assignment to '{name}'")
            scope.context = f"the steady-state value of '{name}'"
            expr = ex.to_sympy(node, scope)
            assignments.append(Assignment(name, expr, tok.line))
            scope.assigned.add(name)
        self.mod.steady_state_model = assignments

    def shocks(self):
        cur = self.cur
        word = cur.next()
        if cur.at("("):
            options, where = _parse_options(cur, "shocks")
            for key in options:
                if key != "overwrite":
                    raise self.error(self.unknown_option(key, "shocks", {"overwrite"}),
                                     where[key])
            block = self.mod.shocks
            for table in (block.variances, block.covariances, block.correlations,
                          block.measurement_variances, block.measurement_covariances,
                          block.measurement_correlations):
                table.clear()
        self.end_statement("the shocks statement")
        while not self.at_block_end("shocks", word):
            tok = cur.expect_name("'var' or 'corr' in the shocks block")
            if tok.text == "var":
                self.shock_var()
            elif tok.text == "corr":
                a, b = self.shock_pair("corr")
                cur.expect("=", "after the pair of names of 'corr'")
                r = self.number(f"the correlation of '{a.text}' and '{b.text}'")
                self.end_statement("the correlation")
                if not -1.0 <= r <= 1.0:
                    raise self.error(f"correlation of '{a.text}' and '{b.text}' is {r}, "
                                     "outside [-1, 1]", a)
                self.set_pair("correlations", a, b, r)
            elif tok.text == "stderr":
                raise self.error("'stderr' must follow 'var NAME;' in the shocks block", tok)
            elif tok.text in ("periods", "values"):
                raise self.error("deterministic shocks ('periods' and 'values') are not "
                                 "supported", tok)
            else:
                raise self.error(f"expected 'var' or 'corr' in the shocks block, found "
                                 f"'{tok.text}'", tok)

    def shock_name(self, what):
        tok = self.cur.expect_name(f"a shock or observed variable name after {what}")
        kind = self.kind(tok.text)
        if kind == "exogenous":
            return tok
        if kind == "endogenous":
            self.measurement.append(tok)
            return tok
        if kind is None:
            raise self.unknown(tok, context="the shocks block")
        raise self.error(f"'{tok.text}' is {_KIND_TEXT[kind]}: shocks applies to exogenous "
                         "variables (and to observed endogenous ones, as measurement errors)",
                         tok)

    def shock_pair(self, what):
        a = self.shock_name(f"'{what}'")
        self.cur.expect(",", f"between the two names of '{what}'")
        b = self.shock_name(f"'{what} {a.text},'")
        if self.kind(a.text) != self.kind(b.text):
            raise self.error(f"'{a.text}' and '{b.text}' pair an exogenous variable with a "
                             "measurement error", b)
        if a.text == b.text:
            raise self.error(f"'{what}' pairs '{a.text}' with itself", b)
        return a, b

    def shock_var(self):
        cur = self.cur
        a = self.shock_name("'var'")
        if cur.accept(";"):
            tok = cur.expect_name("'stderr' after 'var " + a.text + ";'")
            if tok.text in ("periods", "values"):
                raise self.error("deterministic shocks ('periods' and 'values') are not "
                                 "supported", tok)
            if tok.text != "stderr":
                raise self.error(f"expected 'stderr' after 'var {a.text};', found "
                                 f"'{tok.text}'", tok)
            s = self.number(f"the standard error of '{a.text}'")
            self.end_statement(f"the standard error of '{a.text}'")
            if s < 0:
                raise self.error(f"standard error of '{a.text}' is negative ({s})", tok)
            self.set_variance(a, s * s)
            return
        if cur.accept(","):
            b = self.shock_name(f"'var {a.text},'")
            if self.kind(a.text) != self.kind(b.text):
                raise self.error(f"'{a.text}' and '{b.text}' pair an exogenous variable with "
                                 "a measurement error", b)
            cur.expect("=", "after the pair of names of 'var'")
            c = self.number(f"the covariance of '{a.text}' and '{b.text}'")
            self.end_statement("the covariance")
            if a.text == b.text:
                self.set_variance(a, c)
            else:
                self.set_pair("covariances", a, b, c)
            return
        cur.expect("=", f"or ';' after 'var {a.text}'")
        v = self.number(f"the variance of '{a.text}'")
        self.end_statement(f"the variance of '{a.text}'")
        self.set_variance(a, v)

    def set_variance(self, tok, v):
        if v < 0:
            raise self.error(f"variance of '{tok.text}' is negative ({v})", tok)
        block = self.mod.shocks
        table = (block.variances if self.kind(tok.text) == "exogenous"
                 else block.measurement_variances)
        table[tok.text] = v

    def set_pair(self, what, a, b, value):
        block = self.mod.shocks
        if self.kind(a.text) == "endogenous":
            what = "measurement_" + what
        table = getattr(block, what)
        table.pop((b.text, a.text), None)
        table[(a.text, b.text)] = value

    # -- estimation blocks

    def estimated_head(self, block):
        """`stderr NAME`, `corr A, B` or `NAME`: (kind, names, token)."""
        cur = self.cur
        tok = cur.expect_name(f"a parameter, 'stderr' or 'corr' in {block}")
        if tok.text in ("stderr", "corr") and cur.peek.kind == "name":
            kind = "stderr" if tok.text == "stderr" else "corr"
            first = self.estimated_name(block, tok.text)
            names = (first.text,)
            if kind == "corr":
                cur.expect(",", "between the two names of 'corr'")
                second = self.estimated_name(block, "corr")
                if self.kind(first.text) != self.kind(second.text):
                    raise self.error(f"'{first.text}' and '{second.text}' pair an exogenous "
                                     "variable with a measurement error", second)
                names += (second.text,)
            return kind, names, first
        kind = self.kind(tok.text)
        if kind != "parameter":
            if kind is None:
                raise self.unknown(tok, context=block)
            raise self.error(f"'{tok.text}' is {_KIND_TEXT[kind]}: write 'stderr "
                             f"{tok.text}' to estimate its standard error", tok)
        return "param", (tok.text,), tok

    def estimated_name(self, block, word):
        tok = self.cur.expect_name(f"a variable name after '{word}'")
        kind = self.kind(tok.text)
        if kind == "endogenous":
            self.measurement.append(tok)
        elif kind != "exogenous":
            if kind is None:
                raise self.unknown(tok, context=block)
            raise self.error(f"'{tok.text}' is {_KIND_TEXT[kind]}: '{word}' takes shocks or "
                             "observed variables", tok)
        return tok

    def estimated_params(self):
        cur = self.cur
        word = cur.next()
        self.end_statement("the estimated_params statement")
        while not self.at_block_end("estimated_params", word):
            kind, names, tok = self.estimated_head("estimated_params")
            self.check_duplicate(kind, names, tok)
            fields = []
            while cur.accept(","):
                fields.append(self.estimated_field(names))
            self.end_statement("the estimated_params line")
            self.mod.estimated_params.append(self.estimated_line(kind, names, tok, fields))

    def check_duplicate(self, kind, names, tok):
        key = (kind, tuple(sorted(names)) if kind == "corr" else names)
        if key in self.estimated:
            raise self.error(f"{_estimated_label(kind, names)} is already estimated at line "
                             f"{self.estimated[key]}", tok)
        self.estimated[key] = tok.line

    def estimated_field(self, names):
        """One comma-separated field: None when empty, the shape (str), or a number."""
        cur = self.cur
        tok = cur.peek
        if tok.kind == "op" and tok.text in ",;":
            return None
        if tok.kind == "name" and tok.text.endswith("_pdf"):
            if tok.text not in cmd.PRIOR_SHAPES:
                near = ex.close_matches(tok.text, cmd.PRIOR_SHAPES)
                raise self.error(f"unknown prior shape '{tok.text}'"
                                 + (f"; did you mean '{near[0]}'?" if near else
                                    "; the shapes are " + ", ".join(sorted(cmd.PRIOR_SHAPES))),
                                 tok)
            cur.next()
            return (tok.text, tok)
        node = ex.parse(cur)
        return (self.value(node, f"the estimated_params line of '{', '.join(names)}'"), tok)

    def estimated_line(self, kind, names, tok, fields):
        entry = EstimatedParam(kind, names, line=tok.line)
        label = _estimated_label(kind, names)
        shapes = [i for i, f in enumerate(fields) if f is not None and isinstance(f[0], str)]
        if len(shapes) > 1:
            raise self.error(f"two prior shapes on the line of '{label}'", fields[shapes[1]][1])
        values = [None if f is None or isinstance(f[0], str) else f[0] for f in fields]
        if not shapes:
            if len(values) not in (1, 3) or values[0] is None:
                raise self.error(f"the line of '{label}' needs a prior shape, or an initial "
                                 "value with optional lower and upper bounds "
                                 f"('{label}, INIT [, LOWER, UPPER]')", tok)
            entry.init = values[0]
            if len(values) == 3:
                entry.lower, entry.upper = values[1], values[2]
            return entry
        k = shapes[0]
        before, after = values[:k], values[k + 1:]
        if len(before) not in (0, 1, 3):
            raise self.error(f"the line of '{label}' has {len(before)} values before the prior "
                             "shape: give none, the initial value, or the initial value and "
                             "both bounds", fields[k][1])
        if len(after) < 2 or len(after) > 5:
            raise self.error(f"prior '{fields[k][0]}' of '{label}' takes its mean and standard "
                             "deviation, then optionally a 3rd and 4th parameter and a scale "
                             f"({len(after)} values given)", fields[k][1])
        entry.prior = fields[k][0]
        if before:
            entry.init = before[0]
            if len(before) == 3:
                entry.lower, entry.upper = before[1], before[2]
        entry.prior_mean, entry.prior_sd = after[0], after[1]
        extra = after[2:] + [None] * (5 - len(after))
        entry.prior_p3, entry.prior_p4, entry.scale = extra
        return entry

    def estimated_params_init(self):
        cur = self.cur
        word = cur.next()
        if cur.at("("):
            options, where = _parse_options(cur, "estimated_params_init")
            for key in options:
                if key != "use_calibration":
                    raise self.error(self.unknown_option(key, "estimated_params_init",
                                                         {"use_calibration"}), where[key])
            self.mod.estimated_params_init_options = options
        self.end_statement("the estimated_params_init statement")
        seen = {}
        while not self.at_block_end("estimated_params_init", word):
            kind, names, tok = self.estimated_head("estimated_params_init")
            key = (kind, names)
            if key in seen:
                raise self.error(f"'{', '.join(names)}' is already initialised at line "
                                 f"{seen[key]}", tok)
            seen[key] = tok.line
            cur.expect(",", f"and the initial value after '{', '.join(names)}'")
            init = self.number(f"the initial value of '{', '.join(names)}'")
            self.end_statement("the estimated_params_init line")
            self.mod.estimated_params_init.append(EstimatedParam(kind, names, init=init,
                                                                 line=tok.line))

    # -- commands

    def command(self):
        cur = self.cur
        word = cur.next()
        name = word.text
        known = cmd.COMMAND_OPTIONS[name]
        options = {}
        if cur.at("("):
            options, where = _parse_options(cur, name)
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


def _estimated_label(kind, names):
    return names[0] if kind == "param" else f"{kind} {', '.join(names)}"


class _SteadyScope(ex.Scope):
    """Names in steady_state_model: parameters, exogenous variables (at their
    steady state), and names assigned earlier in the block, all as plain symbols."""

    def __init__(self, reader, cur):
        super().__init__(cur, reader.endogenous, reader.exogenous, reader.parameters,
                         constants=reader.constant_lines)
        self.assigned = set()

    def ref(self, node, in_steady):
        name = node.name
        if node.shift is not None:
            raise self.error(f"time shift {name}({node.shift:+d}) in {self.context}: "
                             "steady_state_model has no dates", node.tok)
        if name in self.assigned or name in self.parameter_set or name in self.exogenous:
            return sympy.Symbol(name)
        if name in self.endogenous:
            raise self.error(f"'{name}' is used in {self.context} before steady_state_model "
                             "assigns it", node.tok)
        raise self.unknown(node)

    def unknown_call(self, node):
        if node.name in self.endogenous or node.name in self.exogenous:
            return super().unknown_call(node)
        return self.error(f"'{node.name}' is not a function of the model language (it has "
                          f"{ex.FUNCTION_LIST}) in {self.context}; write the computation out "
                          "in steady_state_model, or give the steady state as a Python "
                          "callable (steady_state=...)", node.tok)
