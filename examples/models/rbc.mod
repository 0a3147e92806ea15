// Real business cycle model with labour.
//
// The .mod form of the compiled example `rbc` (rbc.cpp): the same variables
// in the same order, the same parameters, defaults and equations. The C++
// example's last parameter, sigma_e = 0.007, is the shock standard deviation
// and appears in no equation; here it is the stderr of e in the shocks block
// (Dynare reserves the name Sigma_e, so it is not a parameter).
// Capital k and productivity a are the states, consumption c and labour l are
// forward-looking, output y and investment i are static.

var k a c l y i;
varexo e;

parameters alpha beta delta psi rho;
alpha = 0.33;
beta = 0.99;
delta = 0.025;
psi = 1.8;
rho = 0.95;

model;
[name='production']
y = exp(a)*k(-1)^alpha*l^(1 - alpha);
[name='capital accumulation']
i = k - (1 - delta)*k(-1);
[name='resources']
c + i = y;
[name='euler']
1/c = beta*(alpha*exp(a(+1))*k^(alpha - 1)*l(+1)^(1 - alpha) + 1 - delta)/c(+1);
[name='labour supply']
psi*c/(1 - l) = (1 - alpha)*y/l;
[name='productivity']
a = rho*a(-1) + e;
end;

steady_state_model;
// capital-labour and output-labour ratios from the Euler equation
kl = (alpha/(1/beta - 1 + delta))^(1/(1 - alpha));
yl = kl^alpha;
l = (1 - alpha)*yl/(psi*(yl - delta*kl) + (1 - alpha)*yl);
k = kl*l;
y = yl*l;
i = delta*k;
c = y - i;
a = 0;
end;

shocks;
var e; stderr 0.007;
end;

varobs y c;

steady;
check;
stoch_simul(order=1, irf=40);
