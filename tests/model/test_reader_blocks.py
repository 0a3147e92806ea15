"""Each block and command of the model file, read into a ModFile."""

import math
import warnings

import pytest
import sympy

from Corvane.errors import ParseError
from Corvane.model.reader import parse_equations, read_mod
from Corvane.model.symbols import steady, timed

S = sympy.Symbol


def read(text, **kw):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        return read_mod(text, **kw)


# ----------------------------------------------------------- declarations

def test_declarations_keep_order_labels_and_lines():
    mod = read("""var y, c $C$ (long_name='Consumption')
  k (long_name='Capital', country='US');
var i;
varexo e_a $\\varepsilon_a$, e_m;
parameters beta $\\beta$ alpha, delta (long_name='depreciation');
""")
    assert [d.name for d in mod.endogenous] == ["y", "c", "k", "i"]
    assert [d.name for d in mod.exogenous] == ["e_a", "e_m"]
    assert [d.name for d in mod.parameters] == ["beta", "alpha", "delta"]
    c = mod.endogenous[1]
    assert (c.tex, c.long_name, c.line) == ("C", "Consumption", 1)
    k = mod.endogenous[2]
    assert (k.tex, k.long_name, k.partitions, k.line) == (None, "Capital", {"country": "US"}, 2)
    assert mod.endogenous[3].line == 3
    assert mod.exogenous[0].tex == "\\varepsilon_a"
    assert mod.parameters[0].tex == "\\beta"
    assert mod.parameters[2].long_name == "depreciation"


# ------------------------------------------------------------- parameters

def test_parameter_arithmetic_on_earlier_parameters():
    mod = read("""parameters alpha beta A g;
beta = 0.99;
alpha = 0.36;
A = 1-alpha*beta;
g = A^2/(1+beta) - exp(-alpha);
alpha = 0.3;   // a later value replaces the earlier one
""")
    alpha, beta = 0.36, 0.99
    A = 1 - alpha * beta
    assert mod.param_values == {"beta": 0.99, "alpha": 0.3, "A": A,
                                "g": A ** 2 / (1 + beta) - math.exp(-alpha)}


def test_undeclared_constant_warns_and_feeds_later_values():
    with pytest.warns(UserWarning, match=r"<model>:2:1: 'phi' is not a declared parameter"):
        mod = read_mod("parameters rho;\nphi = 0.1;\nrho = 9*phi;")
    assert mod.constants == {"phi": 0.1}
    assert mod.param_values == {"rho": 9 * 0.1}
    assert "phi" not in mod.param_values


# ------------------------------------------------------------------ model

def test_model_equations_locals_and_tags():
    mod = read("""var c k;
varexo x;
parameters aa alph bet delt gam sigma;
model;
# gamma = 1 - 1/sigma;
# mpk = aa*alph*x(+1)*k^(alph-1);
[name='resource']
c = - k + aa*x*k(-1)^alph + (1-delt)*k(-1);
[name = 'euler', mcp = 'c > 0', static]
c^(-gam) = (mpk + 1 - delt)*c(+1)^(-gam)/(1+bet) + 0*gamma;
k - STEADY_STATE(k);
end;
""")
    c, k, x = S("c"), S("k"), S("x")
    aa, alph, bet, delt, gam, sigma = sympy.symbols("aa alph bet delt gam sigma")
    km1, cp1, xp1 = timed("k", -1), timed("c", 1), timed("x", 1)
    eq1, eq2, eq3 = mod.equations
    assert (eq1.lhs, eq1.rhs) == (c, -k + aa * x * km1 ** alph + (1 - delt) * km1)
    mpk = aa * alph * xp1 * k ** (alph - 1)
    assert eq2.lhs == c ** (-gam)
    assert sympy.simplify(eq2.rhs - (mpk + 1 - delt) * cp1 ** (-gam) / (1 + bet)) == 0
    assert (eq3.lhs, eq3.rhs) == (k - steady("k"), 0)
    assert [e.name for e in mod.equations] == ["resource", "euler", None]
    assert eq2.tags == {"name": "euler", "mcp": "c > 0", "static": ""}
    assert [e.line for e in mod.equations] == [8, 10, 11]
    assert [e.number for e in mod.equations] == [1, 2, 3]
    assert eq1.text == "c = - k + aa*x*k(-1)^alph + (1-delt)*k(-1)"
    assert [e.label for e in mod.equations] == ["equation 'resource'", "equation 'euler'",
                                                "equation 3 (line 11)"]
    assert [a.name for a in mod.model_locals] == ["gamma", "mpk"]
    assert mod.model_locals[0].expr == 1 - 1 / sigma
    assert mod.model_locals[1].line == 6
    assert mod.model_options == {}


def test_equation_text_spans_lines_without_comments():
    mod = read("""var k; parameters b;
model;
k = b*(k(-1)  // first part
     /* middle */ + 1);
end;""")
    assert mod.equations[0].text == "k = b*(k(-1) + 1)"
    assert mod.equations[0].line == 3


def test_model_linear_option():
    mod = read("""var x y; varexo e_x e_y; parameters a b d;
model(linear);
x = a*x(-1)+b*y(+1)+e_x;
y = d*y(-1)+e_y;
end;""")
    assert mod.model_options == {"linear": True}
    assert len(mod.equations) == 2


@pytest.mark.parametrize("option", ["use_dll", "block", "bytecode", "no_static",
                                    "mfs = 2", "cutoff = 1e-12"])
def test_model_options_without_effect_warn_and_are_kept(option):
    with pytest.warns(UserWarning, match="has no effect in Corvane"):
        mod = read_mod(f"var y; model({option}, linear); y = 1; end;")
    name = option.split("=")[0].strip()
    assert name in mod.model_options and mod.model_options["linear"] is True


# -------------------------------------------------------------- initval

def test_initval_evaluated_with_parameters_and_earlier_values():
    mod = read("""var c k; varexo x; parameters alph delt bet aa;
alph=0.5; delt=0.02; aa=0.5; bet=0.05;
initval;
x = 1;
k = ((delt+bet)/(aa*x*alph))^(1/(alph-1));
c = aa*x*k^alph-delt*k;
end;""")
    k = ((0.02 + 0.05) / (0.5 * 1 * 0.5)) ** (1 / (0.5 - 1))
    assert mod.initval == {"x": 1.0, "k": k, "c": 0.5 * k ** 0.5 - 0.02 * k}


def test_initval_all_values_required():
    with pytest.raises(ParseError, match="leaves out c, e") as info:
        read("var k c; varexo e;\ninitval(all_values_required);\nk = 1;\nend;")
    assert (info.value.line, info.value.column) == (2, 1)
    mod = read("var k; varexo e; initval(all_values_required); k = 1; e = 0; end;")
    assert mod.initval == {"k": 1.0, "e": 0.0}


# --------------------------------------------------- steady_state_model

def test_steady_state_model_keeps_ordered_symbolic_assignments():
    mod = read("""var k c y; varexo e; parameters alp bet del;
steady_state_model;
  khst = ((1/bet - (1-del))/alp)^(1/(alp-1));   // a helper name
  k = khst;
  y = k^alp + e;
  c = y - del*k;
  bet = bet;   // parameters may be reassigned
end;""")
    alp, bet, dl, khst = sympy.symbols("alp bet del khst")
    ss = mod.steady_state_model
    assert [(a.name, a.line) for a in ss] == [("khst", 3), ("k", 4), ("y", 5), ("c", 6),
                                              ("bet", 7)]
    assert ss[0].expr == ((1 / bet - (1 - dl)) / alp) ** (1 / (alp - 1))
    assert ss[1].expr == khst
    assert ss[2].expr == S("k") ** alp + S("e")
    assert ss[3].expr == S("y") - dl * S("k")


@pytest.mark.parametrize("body, line, column, pattern", [
    ("k = c;", 1, 5, "'c' is used in the steady-state value of 'k' before"),
    ("k = kk;", 1, 5, "unknown name 'kk'"),
    ("k = c(-1);", 1, 5, "steady_state_model has no dates"),
    ("e = 1;", 1, 1, "'e' is an exogenous variable"),
    ("[k, c] = f(1);", 1, 1, "several values from a MATLAB function"),
    ("k = helper(bet);", 1, 5, r"'helper' is not a function.*Python callable"),
])
def test_steady_state_model_errors(body, line, column, pattern):
    text = "var k c; varexo e; parameters bet; steady_state_model;\n" + body + "\nend;"
    with pytest.raises(ParseError, match=pattern) as info:
        read(text)
    assert (info.value.line - 1, info.value.column) == (line, column)


# ----------------------------------------------------------------- shocks

def test_shocks_all_four_forms_and_measurement_errors():
    mod = read("""var y pi r; varexo e u v w; parameters phi;
phi = 0.5;
varobs y pi;
shocks;
var e = 0.000081;
var u; stderr 0.009;
corr e, u = 0.8;
var v, w = 2*phi;
var y; stderr 0.1;
var pi = 0.04;
var y, pi = 0.001;
corr pi, y = 0.2;
end;""")
    sh = mod.shocks
    assert sh.variances == {"e": 0.000081, "u": 0.009 ** 2, "v": 0.0, "w": 0.0}
    assert list(sh.variances) == ["e", "u", "v", "w"]   # declared order; absent ones are 0
    assert sh.correlations == {("e", "u"): 0.8}
    assert sh.covariances == {("v", "w"): 1.0}
    assert sh.measurement_variances == {"y": 0.1 ** 2, "pi": 0.04}
    assert sh.measurement_covariances == {("y", "pi"): 0.001}
    assert sh.measurement_correlations == {("pi", "y"): 0.2}


def test_shock_blocks_accumulate_and_overwrite_resets():
    text = """varexo e u;
shocks; var e; stderr 2; var e, u = 0.5; end;
shocks; var u = 3; end;
"""
    mod = read(text)
    assert mod.shocks.variances == {"e": 4.0, "u": 3.0}
    assert mod.shocks.covariances == {("e", "u"): 0.5}
    mod = read(text + "shocks(overwrite); var u = 1; end;")
    assert mod.shocks.variances == {"e": 0.0, "u": 1.0}
    assert mod.shocks.covariances == {}


def test_a_pair_given_twice_keeps_the_later_value_once():
    mod = read("varexo e u; shocks; var e, u = 0.5; var u, e = 0.25; end;")
    assert mod.shocks.covariances == {("u", "e"): 0.25}


@pytest.mark.parametrize("body, line, column, pattern", [
    ("var e; periods 1; values 0.5;", 1, 8, "deterministic shocks"),
    ("stderr 0.1;", 1, 1, "'stderr' must follow"),
    ("var z = 1;", 1, 5, "unknown name 'z'"),
    ("var b = 1;", 1, 5, "'b' is a parameter"),
    ("var y = 1;", 1, 5, "measurement error needs it in varobs"),
    ("var e, y = 1;", 1, 8, "pair an exogenous variable with a measurement error"),
    ("corr e, u = 1.5;", 1, 6, r"outside \[-1, 1\]"),
    ("var e = -1;", 1, 5, "variance of 'e' is negative"),
    ("var e; stderr -1;", 1, 8, "standard error of 'e' is negative"),
    ("var e; stderr log(-1);", 1, 15, "real number"),
    ("var e stderr 1;", 1, 7, "expected '='"),
])
def test_shock_errors(body, line, column, pattern):
    text = "var y; varexo e u; parameters b; b = 1;\nshocks;\n" + body + "\nend;"
    with pytest.raises(ParseError, match=pattern) as info:
        read(text)
    assert (info.value.line - 2, info.value.column) == (line, column)


# ------------------------------------------------ varobs, predetermined

def test_varobs_and_predetermined_variables():
    mod = read("""var y, k, i;
predetermined_variables k;
varobs y i;
parameters alpha delta;
model;
y = k^alpha;
k(+1) = i + (1-delta)*k;
i = 0.2*y;
end;""")
    assert mod.varobs == ["y", "i"]
    assert mod.predetermined == ["k"]
    # kept as written: the model layer shifts predetermined variables
    assert mod.equations[1].lhs == timed("k", 1)


# -------------------------------------------------------------- commands

@pytest.mark.parametrize("text, name, options, variables", [
    ("steady;", "steady", {}, []),
    ("steady(maxit = 100, tolf=1e-10, nocheck);", "steady",
     {"maxit": 100, "tolf": 1e-10, "nocheck": True}, []),
    ("check;", "check", {}, []),
    ("check(qz_zero_threshold=1e-8);", "check", {"qz_zero_threshold": 1e-8}, []),
    ("stoch_simul;", "stoch_simul", {}, []),
    ("stoch_simul y c;", "stoch_simul", {}, ["y", "c"]),
    ("stoch_simul(order=2, irf=40, pruning, nograph) y, c;", "stoch_simul",
     {"order": 2, "irf": 40, "pruning": True, "nograph": True}, ["y", "c"]),
    ("stoch_simul(irf_shocks=(e, u), hp_filter=1600, qz_criterium=1.000001);", "stoch_simul",
     {"irf_shocks": ["e", "u"], "hp_filter": 1600, "qz_criterium": 1.000001}, []),
    ("stoch_simul(conditional_variance_decomposition=[1 4 8:10], bandpass_filter=[6 32]);",
     "stoch_simul", {"conditional_variance_decomposition": [1, 4, 8, 9, 10],
                     "bandpass_filter": [6, 32]}, []),
    ("stoch_simul(graph_format=(eps, pdf), dr=cyclic_reduction, ar=-1);", "stoch_simul",
     {"graph_format": ["eps", "pdf"], "dr": "cyclic_reduction", "ar": -1}, []),
    ("estimation(order=1, datafile=fsdat_simul, nobs=192, loglinear, mh_replic=2000, "
     "mh_nblocks=2, mh_jscale=0.8);", "estimation",
     {"order": 1, "datafile": "fsdat_simul", "nobs": 192, "loglinear": True,
      "mh_replic": 2000, "mh_nblocks": 2, "mh_jscale": 0.8}, []),
    ("estimation(datafile='../data/fs.csv', first_obs=1990Q1, xls_range=B2:D200, "
     "mode_compute=4, optim=('MaxIter', 200, 'TolFun', 1e-6), filter_step_ahead=[1:3], "
     "prior_trunc=0, mh_conf_sig=0.9, mcmc_jumping_covariance=prior_variance, "
     "taper_steps=[4 8 15], geweke_interval=[0.2 0.5], huge_number=inf) y;", "estimation",
     {"datafile": "../data/fs.csv", "first_obs": "1990Q1", "xls_range": "B2:D200",
      "mode_compute": 4, "optim": ["MaxIter", 200, "TolFun", 1e-6],
      "filter_step_ahead": [1, 2, 3], "prior_trunc": 0, "mh_conf_sig": 0.9,
      "mcmc_jumping_covariance": "prior_variance", "taper_steps": [4, 8, 15],
      "geweke_interval": [0.2, 0.5], "huge_number": math.inf}, ["y"]),
])
def test_commands_keep_every_option(text, name, options, variables):
    mod = read("var y c; varexo e u;\n" + text)
    (command,) = mod.commands
    assert command.name == name
    assert command.options == options
    assert all(type(command.options[k]) is type(v) for k, v in options.items())
    assert command.variables == variables
    assert command.line == 2


def test_commands_in_file_order_and_last_by_name():
    mod = read("var y; steady; check; stoch_simul(order=1); stoch_simul(order=2);")
    assert [c.name for c in mod.commands] == ["steady", "check", "stoch_simul", "stoch_simul"]
    assert mod.command("stoch_simul").options == {"order": 2}
    assert mod.command("estimation") is None


# ------------------------------------------------------- estimated_params

EST_DECL = """var y pi; varexo e_a e_m eps_1 eps_2; parameters alp bet rho;
varobs y pi;
"""


@pytest.mark.parametrize("line, expected", [
    ("alp, 0.356;", dict(kind="param", names=("alp",), init=0.356)),
    ("alp, 0.356, 0.3, 0.4;", dict(kind="param", names=("alp",), init=0.356, lower=0.3,
                                   upper=0.4)),
    ("alp, 0.356, 0.3, 0.4, normal_pdf, 0.356, 0.02;",
     dict(kind="param", names=("alp",), init=0.356, lower=0.3, upper=0.4, prior="normal_pdf",
          prior_mean=0.356, prior_sd=0.02)),
    ("alp, beta_pdf, 0.356, 0.02;", dict(kind="param", names=("alp",), prior="beta_pdf",
                                         prior_mean=0.356, prior_sd=0.02)),
    ("bet, 0.99, beta_pdf, 0.993, 0.002;", dict(kind="param", names=("bet",), init=0.99,
                                                prior="beta_pdf", prior_mean=0.993,
                                                prior_sd=0.002)),
    ("stderr e_a, inv_gamma_pdf, 0.035449, inf;",
     dict(kind="stderr", names=("e_a",), prior="inv_gamma_pdf", prior_mean=0.035449,
          prior_sd=math.inf)),
    ("stderr e_m, 0.01, 1e-5, 1, inv_gamma1_pdf, 0.008862, 2;",
     dict(kind="stderr", names=("e_m",), init=0.01, lower=1e-5, upper=1,
          prior="inv_gamma1_pdf", prior_mean=0.008862, prior_sd=2)),
    ("stderr y, 0.2;", dict(kind="stderr", names=("y",), init=0.2)),
    ("corr eps_1, eps_2, 0.5,  ,  , beta_pdf, 0, 0.3, -1, 1;",
     dict(kind="corr", names=("eps_1", "eps_2"), init=0.5, prior="beta_pdf", prior_mean=0,
          prior_sd=0.3, prior_p3=-1, prior_p4=1)),
    ("corr eps_1, eps_2, 0.5,  -0.5,  1, beta_pdf, 0, 0.3, -1, 1;",
     dict(kind="corr", names=("eps_1", "eps_2"), init=0.5, lower=-0.5, upper=1,
          prior="beta_pdf", prior_mean=0, prior_sd=0.3, prior_p3=-1, prior_p4=1)),
    ("corr y, pi, 0.1;", dict(kind="corr", names=("y", "pi"), init=0.1)),
    ("rho, uniform_pdf, , , 0, 1;", dict(kind="param", names=("rho",), prior="uniform_pdf",
                                         prior_p3=0, prior_p4=1)),
    ("rho, gamma_pdf, 2, 0.5, 0.1, , 0.7;",
     dict(kind="param", names=("rho",), prior="gamma_pdf", prior_mean=2, prior_sd=0.5,
          prior_p3=0.1, scale=0.7)),
    ("rho, weibull_pdf, 1/2, 2^-2;", dict(kind="param", names=("rho",), prior="weibull_pdf",
                                          prior_mean=0.5, prior_sd=0.25)),
    ("rho, inv_gamma2_pdf, 1, 0.1;", dict(kind="param", names=("rho",),
                                          prior="inv_gamma2_pdf", prior_mean=1,
                                          prior_sd=0.1)),
])
def test_estimated_params_line_forms(line, expected):
    mod = read(EST_DECL + "estimated_params;\n" + line + "\nend;")
    (entry,) = mod.estimated_params
    defaults = dict(init=None, lower=None, upper=None, prior=None, prior_mean=None,
                    prior_sd=None, prior_p3=None, prior_p4=None, scale=None, line=4)
    for key, value in {**defaults, **expected}.items():
        assert getattr(entry, key) == value, key


@pytest.mark.parametrize("line, column, pattern", [
    ("alp, betta_pdf, 0.3, 0.1;", 6, "unknown prior shape 'betta_pdf'; did you mean 'beta_pdf'"),
    ("alp;", 1, "needs a prior shape, or an initial value"),
    ("alp, 0.3, 0.1;", 1, "needs a prior shape, or an initial value"),
    ("alp, 0.3, 0.1, beta_pdf, 0.3, 0.1;", 16, "2 values before the prior shape"),
    ("alp, beta_pdf, 0.3;", 6, r"mean and standard deviation.*\(1 values given\)"),
    ("alp, beta_pdf, 0.3, 0.1, 0, 1, 0.5, 9;", 6, r"\(6 values given\)"),
    ("alp, beta_pdf, 0.3, 0.1, normal_pdf, 1;", 26, "two prior shapes"),
    ("y, 0.1;", 1, "write 'stderr y'"),
    ("gam, 0.1;", 1, "unknown name 'gam'"),
    ("stderr alp, 0.1;", 8, "'alp' is a parameter"),
    ("corr e_a, y, 0.1;", 11, "pair an exogenous variable"),
    ("alp, 0.1 0.2;", 10, "expected ';'"),
])
def test_estimated_params_errors(line, column, pattern):
    with pytest.raises(ParseError, match=pattern) as info:
        read(EST_DECL + "estimated_params;\n" + line + "\nend;")
    assert (info.value.line, info.value.column) == (4, column)


def test_estimated_params_duplicate_and_measurement_needs_varobs():
    with pytest.raises(ParseError, match="corr e_m, e_a is already estimated at line 5") as info:
        read(EST_DECL + "estimated_params;\nalp, 0.3;\ncorr e_a, e_m, 0;\ncorr e_m, e_a, 0.1;"
             "\nend;")
    assert info.value.line == 6
    with pytest.raises(ParseError, match="'c' is endogenous: a measurement error needs it in "
                                         "varobs") as info:
        read("var y c; varobs y; estimated_params; stderr c, 0.1; end;")
    assert (info.value.line, info.value.column) == (1, 45)


def test_estimated_params_init_and_its_option():
    mod = read(EST_DECL + """estimated_params;
alp, beta_pdf, 0.356, 0.02;
stderr e_a, inv_gamma_pdf, 0.035449, inf;
end;
estimated_params_init(use_calibration);
alp, 0.33;
stderr e_a, 1/100;
corr e_a, e_m, -0.1;
end;""")
    init = mod.estimated_params_init
    assert [(e.kind, e.names, e.init, e.line) for e in init] == [
        ("param", ("alp",), 0.33, 8), ("stderr", ("e_a",), 0.01, 9),
        ("corr", ("e_a", "e_m"), -0.1, 10)]
    assert mod.estimated_params_init_options == {"use_calibration": True}


# --------------------------------------------------------------- comments

def test_comments_everywhere():
    mod = read("""// leading comment
var y /* inline */ k; % MATLAB-style comment
varexo e; // after a declaration
parameters rho /* between names */ , beta;
/* a block
   comment ; with ; semicolons */
rho = 0.9; % rho
beta = /* inside an expression */ 0.99;
model; // after model
y = rho*y(-1) /* inside */ + e; // trailing
% whole line
k = beta*k(+1) // split
    + y;
end; /* after end */
shocks; var e; // between var and stderr
stderr 0.01; end;
stoch_simul(order=1 /* in options */, irf=0) y; // done
""")
    assert [d.name for d in mod.endogenous] == ["y", "k"]
    assert mod.param_values == {"rho": 0.9, "beta": 0.99}
    assert len(mod.equations) == 2
    assert mod.equations[1].text == "k = beta*k(+1) + y"
    assert mod.shocks.variances == {"e": 0.01 ** 2}
    assert mod.commands[0].options == {"order": 1, "irf": 0}


def test_comment_markers_inside_strings_are_text():
    mod = read("var y (long_name='rate in % // per year'); model; [name='a/*b'] y = 1; end;")
    assert mod.endogenous[0].long_name == "rate in % // per year"
    assert mod.equations[0].name == "a/*b"


# --------------------------------------------------------- parse_equations

def test_parse_equations_from_python():
    eqs = parse_equations(
        ["# r = 1/beta", "[name='euler'] c(+1) = r*c;", "k = (1-delta)*k(-1) + i",
         "y - STEADY_STATE(y)"],
        endogenous=["c", "k", "y", "i"], exogenous=[], parameters={"beta": 0.99, "delta": 0.1})
    beta, delta = sympy.symbols("beta delta")
    assert [(e.lhs, e.rhs) for e in eqs] == [
        (timed("c", 1), S("c") / beta),
        (S("k"), (1 - delta) * timed("k", -1) + S("i")),
        (S("y") - steady("y"), 0)]
    assert [e.name for e in eqs] == ["euler", None, None]
    assert [e.number for e in eqs] == [1, 2, 3]
    assert [e.line for e in eqs] == [None, None, None]
    assert [e.label for e in eqs] == ["equation 'euler'", "equation 2", "equation 3"]
    assert eqs[1].text == "k = (1-delta)*k(-1) + i"


def test_parse_equations_with_locals_given_as_a_dict():
    eqs = parse_equations(["y = a*w"], ["y", "x"], [], ["a"],
                          local={"u": "x(-1)^2", "w": sympy.Symbol("a") * 2})
    assert eqs[0].rhs == 2 * sympy.Symbol("a") ** 2


@pytest.mark.parametrize("equations, filename, line, column, pattern", [
    (["y = a*y(-1)", "y = betta"], "<equation 2>", 1, 5, "unknown name 'betta'"),
    (["y = a = 1"], "<equation 1>", 1, 7, "more than one '='"),
    (["y = a; y = 1"], "<equation 1>", 1, 8, "one equation per string"),
    (["y =\n a +"], "<equation 1>", 2, 5, "expected an expression"),
    (["[name='x']"], "<equation 1>", 1, 1, "expected an equation after the tags"),
    (["a(+1) = y"], "<equation 1>", 1, 1, "parameter 'a' cannot have a time shift"),
])
def test_parse_equations_errors(equations, filename, line, column, pattern):
    with pytest.raises(ParseError, match=pattern) as info:
        parse_equations(equations, ["y"], [], ["a"])
    assert (info.value.filename, info.value.line, info.value.column) == (filename, line, column)


@pytest.mark.parametrize("args, pattern", [
    (("y = 1", ["y"], [], []), "list of strings"),
    ((["y = 1", 3], ["y"], [], []), "equation 2 must be a str"),
    ((["y = 1"], ["y", 1], [], []), "endogenous must be names"),
])
def test_parse_equations_type_errors(args, pattern):
    with pytest.raises(TypeError, match=pattern):
        parse_equations(*args)


def test_docstring_examples_run():
    import doctest

    from Corvane.model import expressions, reader
    for module in (reader, expressions):
        result = doctest.testmod(module)
        assert result.attempted > 0 and result.failed == 0, module.__name__
