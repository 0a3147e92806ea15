"""Tokens of the model language.

`tokenize` turns model-file text into a list of `Token`s with 1-based line
and column, dropping whitespace and comments (`// ...`, `% ...` to the end
of the line, `/* ... */` across lines). Macro-processor directives (`@#`,
`@{...}`) are errors: the file must be expanded before Corvane reads it.
"""

import re
from dataclasses import dataclass

from Corvane.errors import ParseError

# Kinds: "name", "number", "string", "tex", "op", "end" (one sentinel at the end).
_NUMBER = re.compile(r"(?:\d+\.?\d*|\.\d+)(?:[eEdD][+-]?\d+)?")
_NAME = re.compile(r"[A-Za-z_]\w*")
_OPERATORS = ("==", "!=", "<=", ">=", "+", "-", "*", "/", "^", "(", ")", "[", "]",
              ",", ";", "=", "#", ":", "<", ">", ".", "|", "!", "&", "~", "'", "{", "}")
_SPACE = re.compile(r"[ \t\r\f\v]+")


@dataclass(frozen=True)
class Token:
    kind: str
    text: str
    line: int
    column: int
    start: int           # offsets into the source text
    end: int

    def __str__(self):
        return "end of input" if self.kind == "end" else repr(self.text)


def number_value(text):
    """The float a number token stands for (`1.1d3` is `1.1e3`, as in the manual)."""
    return float(text.replace("d", "e").replace("D", "e"))


def is_integer_literal(text):
    return text.isdigit()


class _Position:
    """Line and column of offsets in one text."""

    def __init__(self, text):
        self.line_starts = [0] + [m.end() for m in re.finditer(r"\n", text)]

    def __call__(self, offset):
        lo, hi = 0, len(self.line_starts) - 1
        while lo < hi:
            mid = (lo + hi + 1) // 2
            if self.line_starts[mid] <= offset:
                lo = mid
            else:
                hi = mid - 1
        return lo + 1, offset - self.line_starts[lo] + 1


def tokenize(text, filename=None):
    """The tokens of `text`, ending with one token of kind "end"."""
    where = _Position(text)
    tokens = []
    i, n = 0, len(text)

    def fail(message, offset):
        line, column = where(offset)
        raise ParseError(message, filename=filename, line=line, column=column,
                         source_line=source_line(text, line))

    while i < n:
        c = text[i]
        if c == "\n":
            i += 1
            continue
        m = _SPACE.match(text, i)
        if m:
            i = m.end()
            continue
        if text.startswith("//", i) or c == "%":
            j = text.find("\n", i)
            i = n if j < 0 else j
            continue
        if text.startswith("/*", i):
            j = text.find("*/", i + 2)
            if j < 0:
                fail("comment opened with '/*' is never closed with '*/'", i)
            i = j + 2
            continue
        if c == "@":
            if text.startswith("@#", i):
                directive = re.match(r"@#\s*(\w*)", text[i:]).group(1)
                fail(f"macro-processor directive '@#{directive}' is not supported: "
                     "expand the macros (for example with Dynare's 'savemacro' option) "
                     "and read the expanded file", i)
            fail("macro-processor expression '@{...}' is not supported: expand the macros "
                 "and read the expanded file", i)
        line, column = where(i)
        m = _NUMBER.match(text, i)
        if m and (c.isdigit() or (c == "." and i + 1 < n and text[i + 1].isdigit())):
            kind, j = "number", m.end()
        elif (m := _NAME.match(text, i)):
            kind, j = "name", m.end()
        elif c in "'\"":
            j = text.find(c, i + 1)
            newline = text.find("\n", i + 1)
            if j < 0 or 0 <= newline < j:
                fail(f"string opened with {c} is not closed on its line", i)
            tokens.append(Token("string", text[i + 1:j], line, column, i, j + 1))
            i = j + 1
            continue
        elif c == "$":
            j = text.find("$", i + 1)
            if j < 0:
                fail("LaTeX name opened with '$' is never closed", i)
            tokens.append(Token("tex", text[i + 1:j].strip(), line, column, i, j + 1))
            i = j + 1
            continue
        else:
            op = next((o for o in _OPERATORS if text.startswith(o, i)), None)
            if op is None:
                fail(f"unexpected character {c!r}", i)
            kind, j = "op", i + len(op)
        tokens.append(Token(kind, text[i:j], line, column, i, j))
        i = j
    line, column = where(n)
    tokens.append(Token("end", "", line, column, n, n))
    return tokens


def source_line(text, line):
    """Line `line` (1-based) of `text`, None past its end."""
    lines = text.splitlines()
    return lines[line - 1] if text and 0 < line <= len(lines) else None


class Cursor:
    """A position in a token list, with the error helpers the parsers share."""

    def __init__(self, tokens, filename=None, source=""):
        self.tokens = tokens
        self.pos = 0
        self.filename = filename
        self.source = source

    @property
    def peek(self):
        return self.tokens[self.pos]

    def ahead(self, k=1):
        return self.tokens[min(self.pos + k, len(self.tokens) - 1)]

    def next(self):
        tok = self.tokens[self.pos]
        if tok.kind != "end":
            self.pos += 1
        return tok

    def at(self, text, kind="op"):
        tok = self.tokens[self.pos]
        return tok.kind == kind and tok.text == text

    def accept(self, text, kind="op"):
        if self.at(text, kind):
            return self.next()
        return None

    def expect(self, text, what=None, kind="op"):
        if self.at(text, kind):
            return self.next()
        tok = self.peek
        raise self.error(f"expected '{text}'{' ' + what if what else ''}, found {tok}", tok)

    def expect_name(self, what):
        tok = self.peek
        if tok.kind != "name":
            raise self.error(f"expected {what}, found {tok}", tok)
        return self.next()

    def error(self, message, tok=None):
        tok = tok or self.peek
        return ParseError(message, filename=self.filename, line=tok.line, column=tok.column,
                          source_line=source_line(self.source, tok.line))

    def text_between(self, first, last):
        """The source of tokens `first` to `last` (indices, inclusive), comments
        and line breaks reduced to single spaces."""
        parts = []
        for i in range(first, last + 1):
            tok = self.tokens[i]
            if i > first and tok.start > self.tokens[i - 1].end:
                parts.append(" ")
            parts.append(self.source[tok.start:tok.end])
        return "".join(parts)
