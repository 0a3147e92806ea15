"""The compile cache: reuse without the compiler, new keys for new code,
concurrent builds from several processes, compiler failures; spec checks."""

import multiprocessing
import os
import time

import pytest
import sympy as sp

import Corvane
from bridge_specs import ar1_spec, compile_in_child, rbc_spec
from Corvane._bridge import ModelSpec, compile_model, compiler
from Corvane.errors import ModelError
from Corvane.model.symbols import timed


def test_get_include_holds_the_model_header():
    header = os.path.join(Corvane.get_include(), "corvane", "scalars.hpp")
    assert os.path.isfile(header)
    assert "namespace corvane" in open(header).read()


def test_cache_dir_follows_environment(model_cache):
    assert compiler.cache_dir() == model_cache


def test_second_compile_reuses_the_cached_library(monkeypatch):
    spec = ar1_spec(0.5, name="reuse")
    first = compile_model(spec)
    assert first.residuals([2.0], [1.0]) == pytest.approx([1.0], rel=1e-15)
    # a fresh process state: nothing in memory, and no compiler allowed
    monkeypatch.setattr(compiler, "_memo", {})
    monkeypatch.setattr(compiler, "_spec_memo", {})

    def no_compiler(command):
        raise AssertionError(f"compiler invoked: {command}")

    monkeypatch.setattr(compiler, "_run_compiler", no_compiler)
    again = compile_model(spec)
    assert again is not first and again.library == first.library
    assert again.residuals([2.0], [1.0]) == pytest.approx([1.0], rel=1e-15)
    assert compile_model(ar1_spec(0.5, name="reuse")) is again   # in-process memo


def test_changed_equation_gives_a_new_library():
    a, b = compile_model(ar1_spec(0.25, name="keyed")), compile_model(ar1_spec(0.75, name="keyed"))
    assert a.library != b.library and a.library.is_file() and b.library.is_file()
    assert a.residuals([1.0], [1.0])[0] == pytest.approx(0.75)
    assert b.residuals([1.0], [1.0])[0] == pytest.approx(0.25)
    source = compiler.generate(ar1_spec(0.25, name="keyed"))
    assert compiler.cache_key(source, "keyed") == a.library.stem
    assert compiler.cache_key(source + " ", "keyed") != a.library.stem


def test_concurrent_compilation_from_four_processes(model_cache):
    """Four processes build the same new model at once: all load it, one
    library file remains and no temporary file is left behind."""
    ctx = multiprocessing.get_context("spawn")
    barrier, results = ctx.Barrier(4), ctx.Queue()
    rho = 0.5 + time.time_ns() % 1000 / 1e4      # a model no earlier run has cached
    procs = [ctx.Process(target=compile_in_child, args=(rho, barrier, results))
             for _ in range(4)]
    for p in procs:
        p.start()
    outcomes = [results.get(timeout=120) for _ in procs]
    for p in procs:
        p.join(timeout=60)
        assert p.exitcode == 0
    assert all(path != "error" for path, _ in outcomes), outcomes
    assert len({path for path, _ in outcomes}) == 1
    assert all(value == pytest.approx(2.0 - 2.0 * rho, rel=1e-15) for _, value in outcomes)
    stem = os.path.basename(outcomes[0][0])[:-3]
    assert sorted(f for f in os.listdir(model_cache) if f.startswith(stem)) == \
        [f"{stem}.cpp", f"{stem}.so"]
    assert not [f for f in os.listdir(model_cache) if f.endswith(".tmp")]


def test_compiler_failure_reports_message_and_source():
    with pytest.raises(ModelError) as info:
        compiler.compile_source("int broken( {\n", name="broken")
    message = str(info.value)
    assert "model broken" in message and "error" in message
    path = message.split("source: ", 1)[1].split("\n", 1)[0]
    assert path.endswith(".cpp") and open(path).read() == "int broken( {\n"


def test_missing_compiler(monkeypatch):
    monkeypatch.setenv("CXX", "/nonexistent/c++")
    with pytest.raises(ModelError, match="no C\\+\\+ compiler"):
        compile_model(ar1_spec(0.123, name="nocompiler"))


def _replace(spec, **changes):
    fields = {f: getattr(spec, f) for f in ("name", "variables", "shocks", "parameters",
                                             "equations", "flags", "observables",
                                             "steady_state")}
    fields.update(changes)
    return ModelSpec(**fields)


def _rbc_with_equation(k, expr):
    spec = rbc_spec()
    eqs = list(spec.equations)
    eqs[k] = expr
    return _replace(spec, equations=tuple(eqs))


y, c = timed("y"), timed("c")
BAD_SPECS = [
    (lambda: _replace(rbc_spec(), equations=rbc_spec().equations[:5]), "5 equations for 6"),
    (lambda: _replace(rbc_spec(), flags=(3, 7, 6, 6, 2)), "5 timing flags"),
    (lambda: _replace(rbc_spec(), flags=(3, 7, 6, 6, 2, 0)), "timing flag of i is 0"),
    (lambda: _replace(rbc_spec(), flags=(3, 6, 7, 6, 2, 2)), "lagged variables must come first"),
    (lambda: _replace(rbc_spec(), flags=(3, 3, 6, 6, 2, 2)), "a appears led"),
    (lambda: _rbc_with_equation(2, c - y + timed("zeta")), "equation 3: unknown name zeta"),
    (lambda: _rbc_with_equation(2, c - timed("y", 2)), "y\\(\\+2\\) is outside one lead"),
    (lambda: _rbc_with_equation(5, timed("a") - timed("e", -1)), "shocks enter at the current"),
    (lambda: _rbc_with_equation(2, sp.Max(c, y)), "Max.* is not supported"),
    (lambda: _rbc_with_equation(2, sp.Function("gamma_fn")(c)), "gamma_fn is not supported"),
    (lambda: _rbc_with_equation(2, c - sp.oo), "contains -oo"),
    (lambda: _rbc_with_equation(2, "c - y"), "expected a SymPy expression"),
    (lambda: _replace(rbc_spec(), observables=(timed("y", -1),)), "observable 1: y\\(-1\\)"),
    (lambda: _replace(rbc_spec(), steady_state=rbc_spec().steady_state[1:]),
     "steady state of yl: kl is neither"),
    (lambda: _replace(rbc_spec(), steady_state=rbc_spec().steady_state[:-1]),
     "assigns no value to i"),
    (lambda: _replace(rbc_spec(), parameters=("alpha", "beta", "delta", "psi", "rho", "k")),
     "name k is declared twice"),
]


@pytest.mark.parametrize("make, message", BAD_SPECS)
def test_invalid_specs_raise_model_error(make, message):
    with pytest.raises(ModelError, match=message):
        compile_model(make())
