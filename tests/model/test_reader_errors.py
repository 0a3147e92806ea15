"""Every kind of mistake in a model file: a ParseError that says what and where."""

import re
import warnings

import pytest

from Corvane.errors import ModelError, ParseError
from Corvane.model.reader import read_mod, read_mod_file

HEAD = """var y c k;
varexo e;
parameters beta alpha rho;
beta = 0.99; alpha = 0.36; rho = 0.9;
"""   # four lines: the cases below start on line 5


def fail(body, **kw):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with pytest.raises(ParseError) as info:
            read_mod(HEAD + body, **kw)
    return info.value


CASES = {
    # syntax
    "unclosed comment": ("/* never closed\n", 5, 1, r"'/\*' is never closed"),
    "unclosed string": ("var z (long_name='x);\n", 5, 18, "string opened with ' is not closed"),
    "stray character": ("beta = 1 & 2;\n", 5, 10, "expected ';'"),
    "bad character": ("beta = 1 ? 2;\n", 5, 10, "unexpected character '\\?'"),
    "missing semicolon": ("beta = 0.9\nalpha = 0.3;\n", 6, 1, "expected ';' to end the "
                          "assignment to 'beta'"),
    "unbalanced parenthesis": ("model;\ny = (c + k;\nend;\n", 6, 11, r"expected '\)'"),
    "extra parenthesis": ("model;\ny = c + k);\nend;\n", 6, 10, r"unbalanced '\)'"),
    "two equals": ("model;\n[name='euler']\nc = beta*c(+1) = k;\nend;\n", 7, 16,
                   "equation 'euler' has more than one '='"),
    "initval without equals": ("initval;\nk 1;\nend;\n", 6, 3, "expected '=' after 'k'"),
    "unclosed model": ("model;\ny = c;\n", 5, 1, "model block opened at line 5 is never "
                       "closed"),
    "end without block": ("end;\n", 5, 1, "'end' without an open block"),
    "empty declaration": ("var ;\n", 5, 1, "'var' declares no name"),
    # names
    "unknown name in equation": (
        "model;\n[name='euler']\nc = betta*c(+1);\ny = c; k = y;\nend;\n", 7, 5,
        r"unknown name 'betta' in equation 'euler': it is not declared; did you mean "
        r"'beta' \(parameter\)\?"),
    "unknown name lists parameters": ("model;\ny = qqq;\nend;\n", 6, 5,
                                      "unknown name 'qqq' in equation 1: it is not declared; "
                                      "declared parameters are beta, alpha, rho"),
    "constant used in model": ("phi = 0.1;\nmodel;\ny = phi*c;\nend;\n", 7, 5,
                               "'phi' in equation 1 is not a parameter: it was assigned at "
                               "line 5 without being declared"),
    "redeclared": ("parameters k;\n", 5, 12, "'k' is already declared as an endogenous "
                   "variable at line 1"),
    "redeclared same kind": ("varexo u, e;\n", 5, 11, "'e' is already declared as an "
                             "exogenous variable at line 2"),
    "reserved name": ("parameters exp;\n", 5, 12, "'exp' is a reserved word"),
    "reserved keyword": ("var model;\n", 5, 5, "'model' is a reserved word"),
    "shift on parameter": ("model;\ny = beta(+1)*c;\nend;\n", 6, 5,
                           r"parameter 'beta' cannot have a time shift \(beta\(\+1\) in "
                           "equation 1\\)"),
    "shift on local": ("model;\n# r = 1/beta;\ny = r(-1)*c;\nend;\n", 7, 5,
                       "model-local variable 'r' cannot have a time shift"),
    "local named like a variable": ("model;\n# c = 1;\nend;\n", 6, 3,
                                    "'c' has the name of an endogenous variable"),
    "local defined twice": ("model;\n# r = 1;\n# r = 2;\nend;\n", 7, 3,
                            "'r' is defined twice"),
    "tag before end": ("model;\ny = c;\n[name='x']\nend;\n", 7, 1,
                       "expected an equation after the tags"),
    "tag before local": ("model;\n[name='x']\n# r = 1;\nend;\n", 6, 1,
                         "tags must be followed by an equation"),
    "duplicate equation name": ("model;\n[name='a'] y = c;\n[name='a'] c = k;\nend;\n", 7, 1,
                                "equation name 'a' is already used by the equation at line 6"),
    "parameter before value": ("parameters g;\ng = 2*h;\nparameters h;\n", 6, 7,
                               "unknown name 'h'"),
    "parameter without value used": ("parameters g h;\ng = 2*h;\n", 6, 7,
                                     "parameter 'h' is used in the value of 'g' before it is "
                                     "given a value"),
    "variable in parameter value": ("beta = 1/k;\n", 5, 10, "an endogenous variable 'k' has "
                                    "no value in the value of 'beta'"),
    "shift in parameter value": ("beta = rho(-1);\n", 5, 8, "only allowed in model equations"),
    "steady state in parameter value": ("beta = STEADY_STATE(y);\n", 5, 8,
                                        "only allowed in model equations"),
    "assignment to a variable": ("k = 1;\n", 5, 1, "'k' is an endogenous variable: give its "
                                 "value in an initval block"),
    "initval on a parameter": ("initval;\nbeta = 1;\nend;\n", 6, 1, "'beta' is a parameter: "
                               "initval sets endogenous and exogenous variables"),
    "stoch_simul on a parameter": ("stoch_simul y beta;\n", 5, 15, "'beta' in the variables of "
                                   "stoch_simul is a parameter, not an endogenous variable"),
    "varobs on a shock": ("varobs e;\n", 5, 8, "'e' in varobs is an exogenous variable"),
    "varobs twice": ("varobs y;\nvarobs c;\n", 6, 1, "a second varobs block"),
    "second model": ("model;\ny=c;c=k;k=y;\nend;\nmodel;\nend;\n", 8, 1,
                     "a second model block \\(the first is at line 5\\)"),
    # options
    "unknown option": ("stoch_simul(ordr=2);\n", 5, 13, "unknown option 'ordr' of stoch_simul; "
                       "did you mean 'order'"),
    "unknown estimation option": ("estimation(datafil=x);\n", 5, 12,
                                  "unknown option 'datafil' of estimation; did you mean "
                                  "'datafile'"),
    "unknown model option": ("model(liner);\nend;\n", 5, 7, "unknown option 'liner' of model; "
                             "did you mean 'linear'"),
    "option twice": ("stoch_simul(order=1, order=2);\n", 5, 22, "option 'order' of stoch_simul "
                     "is given twice"),
    "option without value": ("stoch_simul(order=);\n", 5, 19, "option 'order' of stoch_simul "
                             "needs a value"),
    "unclosed options": ("stoch_simul(order=1;\n", 5, 20, "option 'order' of stoch_simul is "
                         "not closed"),
    "steady takes no variables": ("steady y;\n", 5, 8, "expected ';' to end the steady "
                                  "command"),
    "declaration options": ("var(deflator=A) z;\n", 5, 4, "options of 'var'"),
    "label not a string": ("var z (long_name=2);\n", 5, 8, "label 'long_name' of 'z' must be "
                           "a quoted string"),
    # outside the subset
    "macro include": ('@#include "other.mod"\n', 5, 1, "macro-processor directive '@#include' "
                      "is not supported"),
    "macro define": ("@# define N = 3\n", 5, 1, "directive '@#define'"),
    "macro expression": ("var x_@{i};\n", 5, 7, "macro-processor expression"),
    "matlab call": ("disp(beta);\n", 5, 1, "MATLAB statements are not supported: call of "
                    "'disp'"),
    "matlab field": ("options_.nograph = 1;\n", 5, 1, "assignment to a field of 'options_'"),
    "matlab matrix": ("xx = [1.2; 1.3];\n", 5, 6, "MATLAB matrices are not supported"),
    "matlab multiple assignment": ("[a, b] = deal(1, 2);\n", 5, 1, "MATLAB statements"),
    "matlab function in value": ("beta = load('beta.mat');\n", 5, 8,
                                 "'load' is not a function of the model language"),
    "matlab function in model": ("model;\ny = max(c, k);\nend;\n", 6, 5, "'max' is not a "
                                 "function of the model language"),
    "matlab loop": ("for i = 1:3\n", 5, 1, "MATLAB statements are not supported: 'for'"),
    "sigma_e": ("Sigma_e = [0.1];\n", 5, 1, "Sigma_e is not supported"),
    "histval": ("histval;\nk(0) = 1;\nend;\n", 5, 1, "the histval block is not supported"),
    "endval": ("endval;\nk = 1;\nend;\n", 5, 1, "the endval block is not supported"),
    "homotopy_setup": ("homotopy_setup;\nbeta, 0.5, 2;\nend;\n", 5, 1,
                       "the homotopy_setup block is not supported"),
    "planner_objective": ("planner_objective y^2;\n", 5, 1, "the planner_objective command "
                          "is not supported"),
    "ramsey_model": ("ramsey_model(planner_discount=0.99);\n", 5, 1, "the ramsey_model "
                     "command is not supported"),
    "osr": ("osr y;\n", 5, 1, "the osr command is not supported"),
    "varexo_det": ("varexo_det tau;\n", 5, 1, "the varexo_det command is not supported"),
    "write_latex": ("write_latex_dynamic_model;\n", 5, 1, "the write_latex_dynamic_model "
                    "command is not supported"),
    "unknown command": ("simulate_all;\n", 5, 1, "unknown command 'simulate_all'"),
    "comparison": ("model;\ny = (c > k);\nend;\n", 6, 8, "comparison operator '>'"),
    "on the fly declaration": ("model;\ny = c|e;\nend;\n", 6, 6, "on-the-fly declarations"),
    "deterministic shocks": ("shocks;\nvar e;\nperiods 1;\nvalues 0.5;\nend;\n", 7, 1,
                             "deterministic shocks"),
}


@pytest.mark.parametrize("body, line, column, pattern", CASES.values(), ids=CASES.keys())
def test_error_kind_and_position(body, line, column, pattern):
    err = fail(body, filename="m.mod")
    assert isinstance(err, ModelError)
    assert err.filename == "m.mod"
    assert (err.line, err.column) == (line, column), str(err)
    assert re.search(pattern, err.reason), err.reason
    assert str(err).startswith(f"m.mod:{line}:{column}: ")
    # the message quotes the line with a caret under the column
    lines = (HEAD + body).splitlines()
    text = lines[line - 1] if line <= len(lines) else ""
    if text.strip():
        assert str(err).endswith(f"\n    {text.rstrip()}\n    {' ' * (column - 1)}^")
    else:
        assert "\n" not in str(err)


def test_caret_keeps_tabs_of_the_line():
    err = fail("model;\n\ty =\tc + + ;\nend;\n")
    assert (err.line, err.column) == (6, 12)     # the ';' after a second '+'
    assert str(err).endswith("\n    \ty =\tc + + ;\n    \t   \t      ^")


def test_matlab_steady_state_file_beside_the_model(tmp_path):
    path = tmp_path / "rbc.mod"
    path.write_text(HEAD + "model;\ny = c; c = k; k = y;\nend;\n")
    assert len(read_mod_file(path).equations) == 3
    (tmp_path / "rbc_steadystate.m").write_text("function [ys, params, check] = f()\nend\n")
    with pytest.raises(ParseError, match="rbc_steadystate.m beside the model file is a MATLAB "
                                         "steady-state file.*steady_state_model.*Python "
                                         "callable") as info:
        read_mod_file(path)
    assert info.value.filename == str(path)


def test_read_mod_file_keeps_name_and_directory(tmp_path):
    path = tmp_path / "sub" / "ar.mod"
    path.parent.mkdir()
    path.write_text("var y; varexo e; parameters rho; rho = 0.5;\nmodel;\ny = rho*y(-1) + e;"
                    "\nend;\nestimation(datafile='data.csv');\n")
    mod = read_mod_file(path)
    assert mod.filename == str(path) and mod.directory == path.parent
    assert mod.command("estimation").options["datafile"] == "data.csv"
    bad = path.with_name("bad.mod")
    bad.write_text("var y;\nmodel;\ny = 2*q;\nend;\n")
    with pytest.raises(ParseError) as info:
        read_mod_file(bad)
    assert (info.value.filename, info.value.line, info.value.column) == (str(bad), 3, 7)
