"""How timed variables are named in the model's symbolic expressions.

Equations are SymPy expressions over plain `Symbol`s. A variable at its
current date is `Symbol("k")`; led and lagged values carry the shift in the
name as the model language writes it, `Symbol("k(+1)")`, `Symbol("k(-1)")`;
the steady-state value is `Symbol("STEADY_STATE(k)")`. Shocks and parameters
are plain symbols by name. Names are therefore what a reader expects to see
in messages and in printed expressions.
"""

import re

import sympy

_TIMED = re.compile(r"^(?P<name>[A-Za-z_]\w*)\((?P<shift>[+-]\d+)\)$")
_STEADY = re.compile(r"^STEADY_STATE\((?P<name>[A-Za-z_]\w*)\)$")


def timed(name, shift=0):
    """The symbol of variable `name` at date t + shift."""
    if shift == 0:
        return sympy.Symbol(name)
    return sympy.Symbol(f"{name}({shift:+d})")


def steady(name):
    """The symbol of the steady-state value of variable `name`."""
    return sympy.Symbol(f"STEADY_STATE({name})")


def split(symbol):
    """(name, shift) of a timed symbol, (name, "ss") of a steady-state one."""
    text = symbol.name if isinstance(symbol, sympy.Symbol) else str(symbol)
    m = _STEADY.match(text)
    if m:
        return m["name"], "ss"
    m = _TIMED.match(text)
    if m:
        return m["name"], int(m["shift"])
    return text, 0
