"""The type stubs and numpydoc docstrings of the three extension modules.

The checked-in stubs are what gen_stubs.py makes of the live modules; every
stub function has the text signature of the function it describes; every
docstring documents exactly the arguments the binder takes, what it returns
and what it raises; the bijector docstrings state their rows of
bijectors.def; the regression fits' documented buffer shapes are the sizes
the fits accept; the stubs' result types are the ones calls return."""

import ast
import importlib.resources
import importlib.util
import inspect
import types
from pathlib import Path

import numpy as np
import pytest

from Corvane._ckernels.estimation import _beliefplan
from Corvane._ckernels.monte_carlo import _regression
from Corvane._ckernels.transforms import _transforms

REPO = Path(__file__).resolve().parents[2]
KERNELS = REPO / "Corvane" / "_ckernels"


def _load(path):
    spec = importlib.util.spec_from_file_location(path.stem, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


gen_stubs = _load(KERNELS / "gen_stubs.py")
gen_tables = _load(KERNELS / "ffi" / "gen_tables.py")
stub_usage = _load(Path(__file__).with_name("stub_usage.py"))
ROWS = gen_tables.read_rows(KERNELS / "transforms" / "bijectors.def")

MODULES = {m.__name__: m for m in (_transforms, _regression, _beliefplan)}
FUNCTIONS = [(m, n) for m, mod in MODULES.items() for n in sorted(dir(mod))
             if isinstance(getattr(mod, n), types.BuiltinFunctionType)]
IDS = [f"{m.rsplit('.', 1)[1]}.{n}" for m, n in FUNCTIONS]


@pytest.mark.parametrize("module", list(MODULES))
def test_checked_in_stub_is_generated_from_the_live_module(module):
    assert gen_stubs.stub_path(module).read_text() == gen_stubs.render(module), \
        "stale stub: run python Corvane/_ckernels/gen_stubs.py with the package installed"


@pytest.mark.parametrize("module", list(MODULES))
def test_stub_functions_have_the_text_signatures(module):
    tree = ast.parse(gen_stubs.stub_path(module).read_text())
    defs = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            defs.setdefault(node.name, []).append(node)
    live = MODULES[module]
    assert sorted(defs) == sorted(n for m, n in FUNCTIONS if m == module)
    for name, nodes in defs.items():
        params = inspect.signature(getattr(live, name)).parameters
        overloaded = len(nodes) > 1
        assert len(nodes) == (2 if module.endswith("_transforms") else 1)
        for node in nodes:
            assert overloaded == any(getattr(d, "id", None) == "overload"
                                     for d in node.decorator_list)
            args = node.args
            assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg)
            assert [a.arg for a in args.args] == list(params)
            assert all(a.annotation is not None for a in args.args) and node.returns is not None
            defaults = [p.default for p in params.values() if p.default is not p.empty]
            assert [ast.literal_eval(d) for d in args.defaults] == defaults


@pytest.mark.parametrize("module,name", FUNCTIONS, ids=IDS)
def test_docstring_documents_the_call(module, name):
    f = getattr(MODULES[module], name)
    doc = f.__doc__
    summary = doc.splitlines()[0]
    assert summary.endswith(".") and not summary.startswith(name)
    parts = gen_stubs.sections(doc)
    assert list(parts) == ["Parameters", "Returns", "Raises"]
    assert [n for n, _ in parts["Parameters"]] == list(inspect.signature(f).parameters)
    assert all(kind for _, kind in parts["Parameters"] + parts["Returns"])
    raised = [line for _, line in parts["Raises"]]
    assert "TypeError" in raised and "ValueError" in raised
    for exc in raised:  # each exception is described
        assert doc.split(f"\n{exc}\n", 1)[1].startswith("    ")


OPERATIONS = {op: (argument, text) for op, argument, text in ROWS["CRV_OPERATION"]}
BIJECTORS = {b: (domain, definition) for b, domain, definition in ROWS["CRV_BIJECTOR"]}
BOUNDS = {"NONE": [], "LOW": ["low"], "HIGH": ["high"], "LOW_HIGH": ["low", "high"]}


@pytest.mark.parametrize("row", ROWS["CRV_BIJECTOR_OP"], ids=lambda r: f"{r[0]}_{r[1]}")
def test_bijector_docstring_states_its_row(row):
    b, op, bounds, _, formula = row
    doc = getattr(_transforms, f"{b}_{op}").__doc__
    argument, text = OPERATIONS[op]
    domain, definition = BIJECTORS[b]
    assert doc.splitlines()[0] == f"{text}, for the {b} bijector: {formula}."
    assert f"maps {domain} to the real line: {definition}." in doc
    params = gen_stubs.sections(doc)["Parameters"]
    assert params == [(argument, "float or array_like")] + [(n, "float") for n in BOUNDS[bounds]]


def test_every_bijector_has_its_definition():
    assert sorted(BIJECTORS) == sorted({row[0] for row in ROWS["CRV_BIJECTOR_OP"]})


@pytest.mark.parametrize("func,macro", [(_beliefplan.dist_logpdf, "CRV_DISTRIBUTION"),
                                        (_beliefplan.transform_inverse_and_logjac,
                                         "CRV_TRANSFORM")])
def test_belief_plan_docstring_lists_every_code(func, macro):
    listed = [line.strip() for line in func.__doc__.splitlines()
              if line.startswith("    ") and ", reads " in line]
    assert listed == [f"{row[0]} {row[1]}, reads {row[2]};" for row in ROWS[macro]]


def _sizes(doc, dims):
    """{argument: element count} of the documented one-dimensional buffers."""
    out = {}
    for name, kind in gen_stubs.sections(doc)["Parameters"]:
        if kind.startswith("numpy.ndarray"):
            rule = kind.split("shape (", 1)[1][:-2].replace("p'", "q")
            out[name] = eval(rule, {}, dims)  # noqa: S307 - the docstring's own arithmetic
    return out


REGRESSION = sorted(n for m, n in FUNCTIONS if m.endswith("_regression"))


@pytest.mark.parametrize("intercept", [True, False])
@pytest.mark.parametrize("name", REGRESSION)
def test_regression_buffers_of_the_documented_shapes_are_accepted(name, intercept):
    f = getattr(_regression, name)
    rng = np.random.default_rng(7)
    n, k, n_alphas, max_iter = 12, 3, 4, 200
    p = k + intercept
    dims = {"p": p, "q": p - 1 if intercept else p, "n_alphas": n_alphas, "max_iter": max_iter}
    sizes = _sizes(f.__doc__, dims)
    scalars = {"alpha": 0.1, "l1_ratio": 0.5, "tol": 1e-6, "max_iter": max_iter, "criterion": 3}

    def arguments(short=None):
        args = {"X": rng.normal(size=(n, k)), "y": rng.normal(size=n), "intercept": intercept}
        for arg in inspect.signature(f).parameters:
            if arg in sizes:
                size = sizes[arg] - (arg == short)
                dtype = np.int64 if arg == "statuses" else np.float64
                args[arg] = (np.geomspace(1.0, 1e-3, size) if arg == "alphas"
                             else np.zeros(size, dtype))
            elif arg in scalars:
                args[arg] = scalars[arg]
        return args

    rss, tss, status = f(**arguments())
    assert status == 0 and rss <= tss
    for arg in sizes:
        if arg != "alphas" and sizes[arg] > 0:
            with pytest.raises(ValueError, match=f"{arg} must"):
                f(**arguments(short=arg))


def test_results_have_the_stub_types():
    results = stub_usage.calls()
    assert len(results) == 13
    for value, cls in results:
        assert type(value) is cls


@pytest.mark.parametrize("package,name", [
    ("Corvane", "py.typed"),
    ("Corvane._ckernels.transforms", "_transforms.pyi"),
    ("Corvane._ckernels.monte_carlo", "_regression.pyi"),
    ("Corvane._ckernels.estimation", "_beliefplan.pyi")])
def test_type_information_is_installed(package, name):
    assert importlib.resources.files(package).joinpath(name).is_file()


# Codes numpydoc's validator may report: no See Also or Examples sections, and
# summaries that start with a formula (dy/dx, ln |dx/dy|, (x, log |dx/dz|)).
ALLOWED = {"SA01", "EX01", "SS02"}


@pytest.mark.parametrize("module,name", FUNCTIONS, ids=IDS)
def test_numpydoc_validates_the_docstring(module, name):
    validate = pytest.importorskip("numpydoc.validate")
    errors = [(code, message) for code, message in validate.validate(f"{module}.{name}")["errors"]
              if code not in ALLOWED]
    assert not errors
