// Three-equation New Keynesian model: a dynamic IS curve, a New Keynesian
// Phillips curve and a Taylor rule, with demand, cost-push and monetary
// policy shocks.
//
// y is the output gap (log deviation from potential); pi and r are gross
// quarterly inflation and the gross nominal interest rate, in levels, so the
// model is linear in log(pi) and log(r) and mildly nonlinear in the declared
// variables (its second-order terms are not zero). Demand g and cost-push u
// follow AR(1) processes; the monetary policy shock em is i.i.d.
// Preferences, pricing and the rule take the textbook quarterly calibration
// (Gali 2015, ch. 3); the inflation target is 2% a year.

var y pi r g u;
varexo eg eu em;

parameters beta sigma varphi theta phi_pi phi_y rho_g rho_u pi_star;
beta = 0.99;
sigma = 1;
varphi = 1;
theta = 0.75;
phi_pi = 1.5;
phi_y = 0.5/4;
rho_g = 0.8;
rho_u = 0.5;
pi_star = 1.005;

model;
// slope of the Phillips curve under Calvo pricing
# kappa = (1 - theta)*(1 - beta*theta)/theta*(sigma + varphi);
// the steady-state gross real rate
# r_star = 1/beta;
[name='IS curve']
y = y(+1) - (log(r) - log(pi(+1)) - log(r_star))/sigma + g;
[name='Phillips curve']
log(pi/pi_star) = beta*log(pi(+1)/pi_star) + kappa*y + u;
[name='Taylor rule']
log(r) = log(r_star*pi_star) + phi_pi*log(pi/pi_star) + phi_y*y + em;
[name='demand']
g = rho_g*g(-1) + eg;
[name='cost push']
u = rho_u*u(-1) + eu;
end;

steady_state_model;
y = 0;
pi = pi_star;
r = pi_star/beta;
g = 0;
u = 0;
end;

shocks;
var eg; stderr 0.01;
var eu; stderr 0.005;
var em; stderr 0.0025;
end;

varobs y pi r;

steady;
check;
stoch_simul(order=1, irf=40);
