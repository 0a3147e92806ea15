// Real business cycle model with labour and two correlated shocks: technology
// (ea, moving productivity a) and labour supply (eb, moving the preference
// weight on leisure through b). With three states (k, b, a) and two
// correlated shocks, the (state, shock) blocks of a second-order solution are
// not square, so their Kronecker order (x (x) e against e (x) x) matters.
//
// The equations are those of rbc.mod with the preference shock added to the
// labour-supply condition; the steady state is the same. Investment is
// named invest here (Dynare's manual advises against a variable named i).

var k a b c l y invest;
varexo ea eb;

parameters alpha beta delta psi rho_a rho_b;
alpha = 0.33;
beta = 0.99;
delta = 0.025;
psi = 1.8;
rho_a = 0.95;
rho_b = 0.8;

model;
[name='production']
y = exp(a)*k(-1)^alpha*l^(1 - alpha);
[name='capital accumulation']
invest = k - (1 - delta)*k(-1);
[name='resources']
c + invest = y;
[name='euler']
1/c = beta*(alpha*exp(a(+1))*k^(alpha - 1)*l(+1)^(1 - alpha) + 1 - delta)/c(+1);
[name='labour supply']
psi*exp(b)*c/(1 - l) = (1 - alpha)*y/l;
[name='productivity']
a = rho_a*a(-1) + ea;
[name='preference']
b = rho_b*b(-1) + eb;
end;

steady_state_model;
kl = (alpha/(1/beta - 1 + delta))^(1/(1 - alpha));
yl = kl^alpha;
l = (1 - alpha)*yl/(psi*(yl - delta*kl) + (1 - alpha)*yl);
k = kl*l;
y = yl*l;
invest = delta*k;
c = y - invest;
a = 0;
b = 0;
end;

shocks;
var ea; stderr 0.007;
var eb; stderr 0.01;
corr ea, eb = 0.3;
end;

varobs y c;

steady;
check;
stoch_simul(order=2, irf=40);
