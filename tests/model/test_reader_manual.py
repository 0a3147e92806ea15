"""Models from Dynare's documentation, typed in: read as a Dynare user expects.

Example 1 of Collard (2001) and Schorfheide's (2000) cash-in-advance model
(`example1.mod` and `fs2000.mod` in Dynare's examples) and snippets of the
Dynare reference manual. The static-model checks evaluate the equations read
here at steady states computed independently (the documented closed form,
the published initial values).
"""

import math
import warnings

import pytest
import sympy

from Corvane.errors import ParseError
from Corvane.model.reader import read_mod
from Corvane.model.symbols import split

EXAMPLE1 = """
var y, c, k, a, h, b;
varexo e, u;

parameters beta, rho, alpha, delta, theta, psi, tau;

alpha = 0.36;
rho   = 0.95;
tau   = 0.025;
beta  = 0.99;
delta = 0.025;
psi   = 0;
theta = 2.95;

phi   = 0.1;

model;
c*theta*h^(1+psi)=(1-alpha)*y;
k = beta*(((exp(b)*c)/(exp(b(+1))*c(+1)))
    *(exp(b(+1))*alpha*y(+1)+(1-delta)*k));
y = exp(a)*(k(-1)^alpha)*(h^(1-alpha));
k = exp(b)*(y-c)+(1-delta)*k(-1);
a = rho*a(-1)+tau*b(-1) + e;
b = tau*a(-1)+rho*b(-1) + u;
end;

initval;
y = 1.08068253095672;
c = 0.80359242014163;
h = 0.29175631001732;
k = 11.08360443260358;
a = 0;
b = 0;
e = 0;
u = 0;
end;

shocks;
var e; stderr 0.009;
var u; stderr 0.009;
var e, u = phi*0.009*0.009;
end;

stoch_simul;
"""

FS2000 = """
var m P c e W R k d n l gy_obs gp_obs y dA;
varexo e_a e_m;

parameters alp bet gam mst rho psi del;

alp = 0.33;
bet = 0.99;
gam = 0.003;
mst = 1.011;
rho = 0.7;
psi = 0.787;
del = 0.02;

model;
dA = exp(gam+e_a);
log(m) = (1-rho)*log(mst) + rho*log(m(-1))+e_m;
-P/(c(+1)*P(+1)*m)+bet*P(+1)*(alp*exp(-alp*(gam+log(e(+1))))*k^(alp-1)*n(+1)^(1-alp)+(1-del)*exp(-(gam+log(e(+1)))))/(c(+2)*P(+2)*m(+1))=0;
W = l/n;
-(psi/(1-psi))*(c*P/(1-n))+l/n = 0;
R = P*(1-alp)*exp(-alp*(gam+e_a))*k(-1)^alp*n^(-alp)/W;
1/(c*P)-bet*P*(1-alp)*exp(-alp*(gam+e_a))*k(-1)^alp*n^(1-alp)/(m*l*c(+1)*P(+1)) = 0;
c+k = exp(-alp*(gam+e_a))*k(-1)^alp*n^(1-alp)+(1-del)*exp(-(gam+e_a))*k(-1);
P*c = m;
m-1+d = l;
e = exp(e_a);
y = k(-1)^alp*n^(1-alp)*exp(-alp*(gam+e_a));
gy_obs = dA*y/y(-1);
gp_obs = (P/P(-1))*m(-1)/dA;
end;

shocks;
var e_a; stderr 0.014;
var e_m; stderr 0.005;
end;

steady_state_model;
  dA = exp(gam);
  gst = 1/dA;
  m = mst;
  khst = ( (1-gst*bet*(1-del)) / (alp*gst^alp*bet) )^(1/(alp-1));
  xist = ( ((khst*gst)^alp - (1-gst*(1-del))*khst)/mst )^(-1);
  nust = psi*mst^2/( (1-alp)*(1-psi)*bet*gst^alp*khst^alp );
  n  = xist/(nust+xist);
  P  = xist + nust;
  k  = khst*n;

  l  = psi*mst*n/( (1-psi)*(1-n) );
  c  = mst/P;
  d  = l - mst + 1;
  y  = k^alp*n^(1-alp)*gst^alp;
  R  = mst/bet;
  W  = l/n;
  ist  = y-c;
  q  = 1 - d;

  e = 1;

  gp_obs = m/dA;
  gy_obs = dA;
end;

steady;

check;

estimated_params;
alp, beta_pdf, 0.356, 0.02;
bet, beta_pdf, 0.993, 0.002;
gam, normal_pdf, 0.0085, 0.003;
mst, normal_pdf, 1.0002, 0.007;
rho, beta_pdf, 0.129, 0.100;
psi, beta_pdf, 0.65, 0.05;
del, beta_pdf, 0.01, 0.005;
stderr e_a, inv_gamma_pdf, 0.035449, inf;
stderr e_m, inv_gamma_pdf, 0.008862, inf;
end;

varobs gp_obs gy_obs;

estimation(order=1, datafile=fsdat_simul, nobs=192, loglinear, mh_replic=2000, mh_nblocks=2, mh_jscale=0.8);

//stoch_simul(periods=200, order=1);
//datatomfile('fsdat_simul', char('gy_obs', 'gp_obs'));
"""


def static_residuals(mod, values):
    """Residuals of the model with every date set to the steady state `values`
    and shocks at zero."""
    env = {sympy.Symbol(p): v for p, v in mod.param_values.items()}
    out = []
    for eq in mod.equations:
        subs = dict(env)
        for sym in eq.residual.free_symbols:
            name, _ = split(sym)
            if sym not in subs:
                subs[sym] = values.get(name, 0.0)
        out.append(float(eq.residual.xreplace(subs)))
    return out


def test_example1_reads_as_documented():
    with pytest.warns(UserWarning, match=r":15:1: 'phi' is not a declared parameter"):
        mod = read_mod(EXAMPLE1, filename="example1.mod")
    assert [d.name for d in mod.endogenous] == ["y", "c", "k", "a", "h", "b"]
    assert [d.name for d in mod.exogenous] == ["e", "u"]
    assert mod.param_values == {"alpha": 0.36, "rho": 0.95, "tau": 0.025, "beta": 0.99,
                                "delta": 0.025, "psi": 0.0, "theta": 2.95}
    assert mod.constants == {"phi": 0.1}
    assert mod.shocks.variances == {"e": 0.009 ** 2, "u": 0.009 ** 2}
    assert mod.shocks.covariances == {("e", "u"): 0.1 * 0.009 * 0.009}
    assert [c.name for c in mod.commands] == ["stoch_simul"]
    assert mod.equations[1].line == 19 and mod.equations[2].line == 21

    # the Euler equation, written by hand
    y, c, k, b = sympy.symbols("y c k b")
    yp, cp, bp = sympy.symbols("y(+1) c(+1) b(+1)")
    beta, alpha, delta = sympy.symbols("beta alpha delta")
    euler = k - beta * (sympy.exp(b) * c / (sympy.exp(bp) * cp)) * (
        sympy.exp(bp) * alpha * yp + (1 - delta) * k)
    assert sympy.simplify(mod.equations[1].residual - euler) == 0

    # the published initial values are the steady state to their 14 digits
    residuals = static_residuals(mod, mod.initval)
    assert max(abs(r) for r in residuals) < 1e-12


def test_fs2000_closed_form_solves_the_static_model():
    mod = read_mod(FS2000, filename="fs2000.mod")
    assert len(mod.equations) == len(mod.endogenous) == 14
    assert mod.varobs == ["gp_obs", "gy_obs"]
    assert [c.name for c in mod.commands] == ["steady", "check", "estimation"]
    assert mod.command("estimation").options == {
        "order": 1, "datafile": "fsdat_simul", "nobs": 192, "loglinear": True,
        "mh_replic": 2000, "mh_nblocks": 2, "mh_jscale": 0.8}
    est = {e.names: e for e in mod.estimated_params}
    assert (est[("alp",)].prior, est[("alp",)].prior_mean, est[("alp",)].prior_sd) == (
        "beta_pdf", 0.356, 0.02)
    assert est[("e_a",)].kind == "stderr" and est[("e_a",)].prior_sd == math.inf
    assert len(est) == 9

    # evaluate the steady_state_model assignments in order, as the block says
    values = {}
    env = {sympy.Symbol(p): v for p, v in mod.param_values.items()}
    for assignment in mod.steady_state_model:
        value = float(assignment.expr.xreplace(env))
        values[assignment.name] = value
        env[sympy.Symbol(assignment.name)] = value
    assert {"gst", "khst", "xist", "nust", "ist", "q"} <= set(values)   # helpers kept
    assert all(v.name in values for v in mod.endogenous)
    residuals = static_residuals(mod, values)
    assert max(abs(r) for r in residuals) < 1e-13


def test_manual_elementary_rbc_and_model_local_variables():
    mod = read_mod("""var c k;
varexo x;
parameters aa alph bet delt gam;

model;
c =  - k + aa*x*k(-1)^alph + (1-delt)*k(-1);
c^(-gam) = (aa*alph*x(+1)*k^(alph-1) + 1 - delt)*c(+1)^(-gam)/(1+bet);
end;
""")
    assert len(mod.equations) == 2
    with_local = read_mod("""var u1 u2 c1 c2; parameters sigma;
model;
# gamma = 1 - 1/sigma;
u1 = c1^gamma/gamma;
u2 = c2^gamma/gamma;
c1 = 1; c2 = 2;
end;""")
    written_out = read_mod("""var u1 u2 c1 c2; parameters sigma;
model;
u1 = c1^(1-1/sigma)/(1-1/sigma);
u2 = c2^(1-1/sigma)/(1-1/sigma);
c1 = 1; c2 = 2;
end;""")
    for a, b in zip(with_local.equations, written_out.equations):
        assert sympy.simplify(a.residual - b.residual) == 0


def test_manual_equation_tags():
    mod = read_mod("""var c k r Infl YGap; varexo e; parameters theta A rho gpi gy;
model;
[name = 'Budget constraint'];
c + k = k^theta*A;
[name='Taylor rule',mcp = 'r > -1.94478']
r = rho*r(-1) + (1-rho)*(gpi*Infl+gy*YGap) + e;
end;""")
    assert [e.name for e in mod.equations] == ["Budget constraint", "Taylor rule"]
    assert mod.equations[1].tags == {"name": "Taylor rule", "mcp": "r > -1.94478"}


def test_manual_shocks_example():
    mod = read_mod("""varexo e u v w;
shocks;
var e = 0.000081;
var u; stderr 0.009;
corr e, u = 0.8;
var v, w = 2;
end;""")
    assert mod.shocks.variances == {"e": 0.000081, "u": 0.009 ** 2, "v": 0.0, "w": 0.0}
    assert mod.shocks.correlations == {("e", "u"): 0.8}
    assert mod.shocks.covariances == {("v", "w"): 2.0}


def test_manual_parameter_transformation_with_a_local():
    mod = read_mod("""var c mpk; parameters bet;
model;
# sig = 1/bet;
c = sig*c(+1)*mpk;
mpk = 1;
end;
estimated_params;
bet, normal_pdf, 1, 0.05;
end;""")
    bet = sympy.Symbol("bet")
    assert mod.equations[0].rhs == sympy.Symbol("c(+1)") * sympy.Symbol("mpk") / bet
    assert mod.estimated_params[0].prior == "normal_pdf"


def test_manual_homotopy_example_stops_at_homotopy_setup():
    text = """var c k;
varexo x;

parameters alph gam delt bet aa;
alph=0.5;
delt=0.02;
aa=0.5;
bet=0.05;

model;
c + k - aa*x*k(-1)^alph - (1-delt)*k(-1);
c^(-gam) - (1+bet)^(-1)*(aa*alph*x(+1)*k^(alph-1) + 1 - delt)*c(+1)^(-gam);
end;

initval;
x = 1;
k = ((delt+bet)/(aa*x*alph))^(1/(alph-1));
c = aa*x*k^alph-delt*k;
end;

homotopy_setup;
gam, 0.5, 2;
x, 2;
end;

steady(homotopy_mode = 1, homotopy_steps = 50);
"""
    with pytest.raises(ParseError, match="the homotopy_setup block is not supported") as info:
        read_mod(text)
    assert (info.value.line, info.value.column) == (21, 1)
    # everything before it is the documented model: the initval values solve it
    mod = read_mod(text.split("homotopy_setup")[0] + "parameters g2;")
    assert mod.initval["x"] == 1.0
    env = dict(mod.param_values, gam=0.5)
    residuals = static_residuals(type(mod)(equations=mod.equations, param_values=env),
                                 mod.initval)
    assert max(abs(r) for r in residuals) < 1e-12


def test_manual_steady_state_model_with_a_matlab_function():
    text = """var l n W e; parameters psi mst;
steady_state_model;
  n = 0.3;
  l = psi*mst*n;
  // You can use MATLAB functions which return several arguments
  [W, e] = my_function(l, n);
end;"""
    with pytest.raises(ParseError, match="several values from a MATLAB function") as info:
        read_mod(text)
    assert (info.value.line, info.value.column) == (6, 3)


def test_example3_helper_function_is_named():
    text = EXAMPLE1.split("initval;")[0] + """
steady_state_model;
h=example3_steady_state_helper(alpha,beta,delta,psi,theta);
k=((1/beta-(1-delta))/alpha)^(1/(alpha-1))*h;
end;
"""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with pytest.raises(ParseError, match="'example3_steady_state_helper' is not a function "
                                             ".*steady_state_model, or give the steady state "
                                             "as a Python callable") as info:
            read_mod(text)
    assert (info.value.line, info.value.column) == (29, 3)


def test_manual_predetermined_variables_snippets_read_alike():
    default = read_mod("""var y, k, i; parameters alpha delta;
model;
y = k(-1)^alpha;
k = i + (1-delta)*k(-1);
i = 1;
end;""")
    alternative = read_mod("""var y, k, i; parameters alpha delta;
predetermined_variables k;
model;
y = k^alpha;
k(+1) = i + (1-delta)*k;
i = 1;
end;""")
    assert default.predetermined == [] and alternative.predetermined == ["k"]
    # the alternative shifted by one period for k is the default timing
    shift = {sympy.Symbol("k"): sympy.Symbol("k(-1)"), sympy.Symbol("k(+1)"): sympy.Symbol("k")}
    for a, b in zip(default.equations, alternative.equations):
        assert a.residual == b.residual.xreplace(shift)
