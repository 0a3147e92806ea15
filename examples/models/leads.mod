// A linear model with leads beyond one, lags beyond one and a lagged shock:
// x(-3), x(-2), y(+2) and e(-1). Dynare (and Corvane's reader) rewrites it
// with auxiliary variables so that every variable appears with at most one
// lead and one lag and no shock is shifted.
//
// z is an AR(1) driven by e; x is a backward-looking third-order process fed
// by z and by last period's e; y is forward-looking two periods ahead with a
// constant mu, so its steady state is mu/(1 - f1 - f2); w is static.

var z x y w;
varexo e u;

parameters rho_z a1 a3 b_z b_e f1 f2 mu;
rho_z = 0.7;
a1 = 0.5;
a3 = 0.2;
b_z = 0.3;
b_e = 0.4;
f1 = 0.4;
f2 = 0.3;
mu = 0.6;

model;
[name='driving process']
z = rho_z*z(-1) + e;
[name='backward']
x = a1*x(-1) + a3*x(-3) + b_z*z + b_e*e(-1);
[name='forward']
y = mu + f1*y(+1) + f2*y(+2) + x + u;
[name='static']
w = y(+1) - x(-2);
end;

initval;
z = 0;
x = 0;
y = 1;
w = 1;
end;

shocks;
var e; stderr 0.1;
var u; stderr 0.2;
end;

varobs y x;

steady;
check;
stoch_simul(order=1, irf=40);
