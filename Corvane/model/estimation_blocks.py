"""Estimation blocks of the model file: estimated_params, estimated_params_init.

A mixin of the reader, like `CalibrationBlocks`. Each line is kept as an
`EstimatedParam`; the line forms are those of the Dynare manual (an initial
value with optional bounds, and/or a prior shape with its mean, standard
deviation, optional 3rd and 4th parameters and scale; empty fields are None).
"""

from Corvane.model import commands as cmd
from Corvane.model import expressions as ex
from Corvane.model.options import parse_options
from Corvane.model.source import EstimatedParam


class EstimationBlocks:
    """estimated_params and estimated_params_init, for the reader."""

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
            raise self.error(f"'{tok.text}' is {cmd.KIND_TEXT[kind]}: write 'stderr "
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
            raise self.error(f"'{tok.text}' is {cmd.KIND_TEXT[kind]}: '{word}' takes shocks or "
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
            options, where = parse_options(cur, "estimated_params_init")
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


def _estimated_label(kind, names):
    return names[0] if kind == "param" else f"{kind} {', '.join(names)}"
