"""The method tables of the three extension modules: every function has a
text signature, and the signature help() shows is the argument list the
binder accepts (names, keywords, required count, defaults)."""

import inspect
import types

import pytest

from Corvane._ckernels.estimation import _beliefplan
from Corvane._ckernels.monte_carlo import _regression
from Corvane._ckernels.transforms import _transforms

MODULES = {"_transforms": _transforms, "_regression": _regression, "_beliefplan": _beliefplan}
FUNCTIONS = [(m, name) for m, mod in MODULES.items() for name in sorted(dir(mod))
             if isinstance(getattr(mod, name), types.BuiltinFunctionType)]


def test_every_module_is_covered():
    counts = {m: sum(1 for mm, _ in FUNCTIONS if mm == m) for m in MODULES}
    assert counts == {"_transforms": 63, "_regression": 7, "_beliefplan": 7}


class Refused:
    """An argument every converter refuses."""


@pytest.mark.parametrize("module,name", FUNCTIONS, ids=[f"{m}.{n}" for m, n in FUNCTIONS])
def test_text_signature_is_the_binders(module, name):
    f = getattr(MODULES[module], name)
    assert f.__doc__.splitlines()[0] and not f.__doc__.startswith(name + "(")
    params = inspect.signature(f).parameters
    assert params and all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params.values())
    required = [p for p in params.values() if p.default is p.empty]
    optional = [p for p in params.values() if p.default is not p.empty]
    assert [p.default for p in optional] == ([True] if module == "_regression" else [])

    how = "exactly" if not optional else "at least"
    count = len(required)
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes {how} {count} positional argument"):
        f()
    # Every name of the signature binds by keyword: the call gets past binding
    # and fails in a conversion instead.
    with pytest.raises((TypeError, ValueError)) as bound:
        f(**{p: Refused() for p in params})
    assert "keyword" not in str(bound.value) and "positional" not in str(bound.value)
    with pytest.raises(TypeError, match="unexpected keyword argument 'not_an_argument'"):
        f(**{p: Refused() for p in params}, not_an_argument=1)
