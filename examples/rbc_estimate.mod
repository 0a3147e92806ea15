// The RBC example (models/rbc.mod) estimated from 200 periods of simulated
// output and consumption with measurement errors (rbc_data.csv). The
// calibration below is the one the data were simulated at.

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
var y; stderr 0.004;
var c; stderr 0.003;
end;

varobs y c;

estimated_params;
alpha, beta_pdf, 0.30, 0.05;
psi, gamma_pdf, 2.0, 0.5;
rho, beta_pdf, 0.85, 0.10;
stderr e, inv_gamma_pdf, 0.01, 0.005;
stderr y, inv_gamma_pdf, 0.005, 0.0025;
stderr c, inv_gamma_pdf, 0.005, 0.0025;
end;

estimation(datafile='rbc_data.csv', mode_compute=4, mh_replic=20000, mh_nblocks=2, mh_drop=0.5,
           lik_init=1, nograph);
