"""Build step: the Python constants of the ctypes binding, from the C tables.

    gen_tables.py OUT STATUS_DEF BIJECTORS_DEF

reads the X-macro rows of ``common/status.def`` and ``transforms/bijectors.def``
and writes the module ``ffi/_tables.py``. The C sources include the same
files, so each code, name and bound list is written once. A row is one macro
call on one line with identifier, integer and string-literal arguments;
anything else in a table file (other than comments and preprocessor lines)
is an error.
"""

import re
import sys

_COMMENT = re.compile(r"/\*.*?\*/|//[^\n]*|^[ \t]*#[^\n]*", re.S | re.M)
_ROW = re.compile(r"^[ \t]*(\w+)\((.*)\)[ \t]*$", re.M)
_TOKEN = re.compile(r'\s*(?:("(?:[^"\\]|\\.)*")|(-?\d+)|([A-Za-z_]\w*))\s*(?:,|$)')


def _arguments(text, where):
    args, pos = [], 0
    while pos < len(text):
        m = _TOKEN.match(text, pos)
        if m is None or m.end() == pos:
            raise SystemExit(f"{where}: cannot read the arguments {text!r}")
        string, number, name = m.groups()
        if string is not None:
            args.append(re.sub(r"\\(.)", r"\1", string[1:-1]))
        elif number is not None:
            args.append(int(number))
        else:
            args.append(name)
        pos = m.end()
    return args


def read_rows(path):
    """{macro name: [argument lists]} of a table file, rows in file order."""
    with open(path, encoding="utf-8") as f:
        text = _COMMENT.sub(lambda m: "\n" * m.group(0).count("\n"), f.read())
    rows = {}
    for m in _ROW.finditer(text):
        line = text.count("\n", 0, m.start()) + 1
        rows.setdefault(m.group(1), []).append(_arguments(m.group(2), f"{path}:{line}"))
    rest = _ROW.sub("", text).strip()
    if rest:
        raise SystemExit(f"{path}: text outside table rows: {rest[:60]!r}")
    return rows


def _expect(rows, macro, arity, path):
    out = rows.get(macro, [])
    if not out:
        raise SystemExit(f"{path}: no {macro} rows")
    for r in out:
        if len(r) != arity:
            raise SystemExit(f"{path}: {macro}{tuple(r)} takes {arity} arguments")
    return out


_BOUNDS = {"NONE": (), "LOW": ("low",), "HIGH": ("high",), "LOW_HIGH": ("low", "high")}


def _bounds(kind, path):
    if kind not in _BOUNDS:
        raise SystemExit(f"{path}: bound kind {kind!r} is not one of {sorted(_BOUNDS)}")
    return _BOUNDS[kind]


def render(status_def, bijectors_def):
    statuses = _expect(read_rows(status_def), "CRV_STATUS", 3, status_def)
    rows = read_rows(bijectors_def)
    operations = _expect(rows, "CRV_OPERATION", 3, bijectors_def)
    ops = _expect(rows, "CRV_BIJECTOR_OP", 5, bijectors_def)
    transforms = _expect(rows, "CRV_TRANSFORM", 5, bijectors_def)
    distributions = _expect(rows, "CRV_DISTRIBUTION", 4, bijectors_def)
    lines = [
        '"""Generated at build time by gen_tables.py from common/status.def and',
        'transforms/bijectors.def; edit those tables, not this file."""',
        "",
        "# (name, code, message) of every status code.",
        "STATUSES = (",
        *(f"    ({name!r}, {code}, {message!r})," for name, code, message in statuses),
        ")",
        "",
        "# (operation, argument name, doc) of the seven bijector operations.",
        "OPERATIONS = (",
        *(f"    ({op!r}, {arg!r}, {doc!r})," for op, arg, doc in operations),
        ")",
        "",
        "# (bijector, operation, bound parameters) of every bijector kernel.",
        "BIJECTOR_OPS = (",
        *(f"    ({b!r}, {op!r}, {_bounds(bounds, bijectors_def)!r})," for b, op, bounds, _, _ in ops),
        ")",
        "",
        "# (code, name, parameter values read) of the belief-plan transforms.",
        "TRANSFORMS = (",
        *(f"    ({code}, {name!r}, {nread})," for code, name, nread, _, _ in transforms),
        ")",
        "",
        "# (code, name, parameter values read) of the belief-plan distributions.",
        "DISTRIBUTIONS = (",
        *(f"    ({code}, {name!r}, {nread})," for code, name, nread, _ in distributions),
        ")",
        "",
    ]
    return "\n".join(lines)


def main(argv):
    out, status_def, bijectors_def = argv
    text = render(status_def, bijectors_def)
    with open(out, "w", encoding="utf-8") as f:
        f.write(text)


if __name__ == "__main__":
    main(sys.argv[1:])
