"""Options of commands and blocks: `(name, name = value, ...)`.

A value is a number (int for integer literals, float otherwise, `inf`), a
name or quoted string (str), a bracketed or parenthesised list (list; integer
ranges `a:b` and `a:step:b` expanded), or, for other forms such as dates
(`1990Q1`) and spreadsheet ranges (`B2:D200`), the text as written. A flag
given without a value is True.
"""

from Corvane.model import expressions as ex
from Corvane.model.lexer import is_integer_literal, number_value


def parse_options(cur, command):
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
