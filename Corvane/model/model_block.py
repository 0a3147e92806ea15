"""The model block: equations and model-local variables, item by item.

Shared by the file reader and by `parse_equations` for equations given from
Python (where each string holds one item and the closing `;` is optional).
"""

import sympy

from Corvane.model import commands as cmd
from Corvane.model import expressions as ex
from Corvane.model.source import Assignment, Equation


class ModelBlock:
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
                            f"{cmd.KIND_TEXT[declared]}", name_tok)
        if name in self.local:
            raise cur.error(f"model-local variable '{name}' is defined twice", name_tok)
        if name in cmd.RESERVED:
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
        if start_tok.kind == "end" or cur.at(";") or cur.at("end", "name"):
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
