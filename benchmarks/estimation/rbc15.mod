// An RBC model with government spending and a labour-supply shock: 15
// variables, 3 shocks, output and consumption observed (for bench_estimation.py).

var k a c l y i w r g z lp iy cy ly dy;
varexo e eg ez;

parameters alpha beta delta psi rho rho_g rho_z gbar;
alpha = 0.33;
beta = 0.99;
delta = 0.025;
psi = 1.8;
rho = 0.95;
rho_g = 0.9;
rho_z = 0.8;
gbar = 0.15;

model;
y = exp(a)*k(-1)^alpha*l^(1 - alpha);
i = k - (1 - delta)*k(-1);
c + i + g = y;
1/c = beta*(r(+1) + 1 - delta)/c(+1);
r = alpha*y/k(-1);
w = (1 - alpha)*y/l;
psi*exp(z)*c/(1 - l) = w;
a = rho*a(-1) + e;
g = (1 - rho_g)*gbar + rho_g*g(-1) + eg;
z = rho_z*z(-1) + ez;
lp = y/l;
iy = i/y;
cy = c/y;
ly = log(y);
dy = ly - ly(-1);
end;

steady_state_model;
r = 1/beta - 1 + delta;
kl = (alpha/r)^(1/(1 - alpha));
yl = kl^alpha;
w = (1 - alpha)*yl;
l = (w + psi*gbar)/(psi*(yl - delta*kl) + w);
k = kl*l;
y = yl*l;
i = delta*k;
g = gbar;
c = y - i - g;
a = 0;
z = 0;
lp = y/l;
iy = i/y;
cy = c/y;
ly = log(y);
dy = 0;
end;

shocks;
var e; stderr 0.007;
var eg; stderr 0.005;
var ez; stderr 0.01;
end;

varobs y c;

estimated_params;
alpha, beta_pdf, 0.30, 0.05;
psi, gamma_pdf, 2.0, 0.5;
rho, beta_pdf, 0.85, 0.10;
rho_g, beta_pdf, 0.80, 0.10;
stderr e, inv_gamma_pdf, 0.01, inf;
stderr eg, inv_gamma_pdf, 0.01, inf;
stderr ez, inv_gamma_pdf, 0.01, inf;
end;

estimation(datafile='rbc15_data.csv', mode_compute=4, mh_replic=20000, mh_nblocks=2,
           mh_drop=0.5, mh_jscale=0.5, lik_init=1, nograph, nodiagnostic);
