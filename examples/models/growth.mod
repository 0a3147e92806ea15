// Stochastic growth with full depreciation and log utility.
//
// The .mod form of the compiled example `growth` (growth.cpp): the same
// variables in the same order, the same parameters, defaults and equations.
// The C++ example's last parameter, sigma_e = 0.01, is the shock standard
// deviation and appears in no equation; here it is the stderr of e in the
// shocks block (Dynare reserves the name Sigma_e, so it is not a parameter).
// The policy is known in closed form:
//     k = alpha*beta*exp(a)*k(-1)^alpha,  c = (1 - alpha*beta)*exp(a)*k(-1)^alpha.

var k a c;
varexo e;

parameters alpha beta rho;
alpha = 0.36;
beta = 0.96;
rho = 0.9;

model;
[name='resources']
c + k = exp(a)*k(-1)^alpha;
[name='euler']
1/c = beta*alpha*exp(a(+1))*k^(alpha - 1)/c(+1);
[name='productivity']
a = rho*a(-1) + e;
end;

steady_state_model;
k = (alpha*beta)^(1/(1 - alpha));
a = 0;
c = (1 - alpha*beta)*k^alpha;
end;

shocks;
var e; stderr 0.01;
end;

varobs c k;

steady;
check;
stoch_simul(order=1, irf=40);
