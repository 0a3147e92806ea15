"""Calibration blocks of the model file: initval, steady_state_model, shocks.

A mixin of the reader: it uses the reader's cursor, declared names and
evaluation of numbers (`error`, `kind`, `number`, `unknown`, ...).
"""

import sympy

from Corvane.model import commands as cmd
from Corvane.model import expressions as ex
from Corvane.model.options import parse_options
from Corvane.model.source import Assignment


class CalibrationBlocks:
    """initval, steady_state_model and shocks, for the reader."""

    def initval(self):
        cur = self.cur
        word = cur.next()
        required = False
        if cur.at("("):
            options, where = parse_options(cur, "initval")
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
                raise self.error(f"'{tok.text}' is {cmd.KIND_TEXT[kind]}: initval sets "
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
            if kind is None and name in cmd.RESERVED:
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
            options, where = parse_options(cur, "shocks")
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
        raise self.error(f"'{tok.text}' is {cmd.KIND_TEXT[kind]}: shocks applies to exogenous "
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
