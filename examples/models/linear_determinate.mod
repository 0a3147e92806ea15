// Small linear model with one state x and one jump y, determinate:
// one stable root for one state, as the Blanchard-Kahn condition asks.
//
// The .mod form of the compiled example `linear_determinate` (linear.cpp):
// the same variables in the same order, the same parameters, defaults and
// equations. The C++ example's last parameter, sigma_e = 1, is the shock
// standard deviation and appears in no equation; here it is the stderr of e
// in the shocks block (Dynare reserves the name Sigma_e, so it is not a
// parameter). The variables are deviations: the steady state is 0.

var x y;
varexo e;

parameters rho phi kappa;
rho = 0.5;
phi = 0.8;
kappa = 0.05;

model;
x = rho*x(-1) + kappa*y + e;
y = phi*y(+1) + x;
end;

initval;
x = 0;
y = 0;
end;

shocks;
var e; stderr 1.0;
end;

varobs y;

steady;
check;
stoch_simul(order=1, irf=40);
