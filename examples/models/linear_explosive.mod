// Small linear model with one state x and one jump y, explosive:
// rho > 1 leaves one stable root too few, so Dynare's
// Blanchard-Kahn check fails and stoch_simul stops.
//
// The .mod form of the compiled example `linear_explosive` (linear.cpp):
// the same variables in the same order, the same parameters, defaults and
// equations. The C++ example's last parameter, sigma_e = 1, is the shock
// standard deviation and appears in no equation; here it is the stderr of e
// in the shocks block (Dynare reserves the name Sigma_e, so it is not a
// parameter). The variables are deviations: the steady state is 0.

var x y;
varexo e;

parameters rho phi kappa;
rho = 1.5;
phi = 0.5;
kappa = 0.1;

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
