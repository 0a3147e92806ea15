// Purely forward-looking linear model with no state: y = phi*y(+1) + e.
//
// The .mod form of the compiled example `linear_forward` (linear.cpp): the
// same variable, parameter, default and equation. The C++ example's last
// parameter, sigma_e = 1, is the shock standard deviation and appears in no
// equation; here it is the stderr of e in the shocks block (Dynare reserves
// the name Sigma_e, so it is not a parameter). The variable is a deviation:
// the steady state is 0, and the solution is y = e.

var y;
varexo e;

parameters phi;
phi = 0.5;

model;
y = phi*y(+1) + e;
end;

initval;
y = 0;
end;

shocks;
var e; stderr 1.0;
end;

varobs y;

steady;
check;
stoch_simul(order=1, irf=40);
