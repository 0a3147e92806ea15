"""The stored Dynare reference numbers (tests/fixtures/dynare) mean what their
README says: decision rules against closed forms, moments against the
discrete Lyapunov equation of the stored rule, variance decompositions and
impulse responses against the orthogonalised moving average, second-order
moments against the pruned state space. Needs neither Octave nor Corvane."""

import json
import pathlib

import numpy as np
import pytest
import scipy.linalg

FIXTURES = pathlib.Path(__file__).resolve().parents[1] / "fixtures" / "dynare"
ALL = sorted(p.stem for p in FIXTURES.glob("*.json"))


def load(stem):
    with open(FIXTURES / f"{stem}.json") as f:
        return json.load(f)


SOLVED = [s for s in ALL if "dr" in load(s)]
FIRST = [s for s in SOLVED if s.endswith("_order1")]
SECOND = [s for s in SOLVED if s.endswith("_order2")]

# Dynare orthogonalises the impulses with the Cholesky factor of Sigma_e + 1e-14 I
IRF_JITTER = 1e-14


class Rule:
    """The stored decision rule in Dynare's DR order."""

    def __init__(self, fx):
        dr = fx["dr"]
        self.fx = fx
        self.names = dr["order_var"]
        self.states = dr["state_var"]
        self.n, self.nx, self.m = len(self.names), len(self.states), len(fx["exogenous"])
        self.row = {name: i for i, name in enumerate(self.names)}
        self.ghx = np.array(dr["ghx"], dtype=float).reshape(self.n, self.nx)
        self.ghu = np.array(dr["ghu"], dtype=float).reshape(self.n, self.m)
        self.sigma = np.array(fx["shock_cov"], dtype=float)
        self.state_rows = [self.row[s] for s in self.states]
        self.A = self.ghx[self.state_rows]          # states on lagged states
        self.B = self.ghu[self.state_rows]          # states on shocks
        self.F = np.zeros((self.n, self.n))         # every variable on every lagged variable
        self.F[:, self.state_rows] = self.ghx
        self.ys = np.array([dr["ys"][name] for name in self.names])
        for key in ("ghxx", "ghxu", "ghuu", "ghs2"):
            if key in dr:
                setattr(self, key, np.array(dr[key], dtype=float))

    def rows(self, names):
        return [self.row[name] for name in names]


def first_order_covariance(rule):
    return scipy.linalg.solve_discrete_lyapunov(rule.F, rule.ghu @ rule.sigma @ rule.ghu.T)


def close(actual, expected, rtol=1e-10, atol=1e-13):
    np.testing.assert_allclose(np.asarray(actual), np.asarray(expected), rtol=rtol, atol=atol)


# ---- layout --------------------------------------------------------------------

@pytest.mark.parametrize("stem", ALL)
def test_layout(stem):
    fx = load(stem)
    assert fx["dynare_version"] == "5.3"
    assert fx["all_endogenous"][:len(fx["endogenous"])] == fx["endogenous"]
    assert [a["name"] for a in fx["auxiliary"]] == fx["all_endogenous"][len(fx["endogenous"]):]
    assert list(fx["steady_state"]) == fx["all_endogenous"]
    assert np.shape(fx["shock_cov"]) == (len(fx["exogenous"]),) * 2
    eig = np.array(fx["eigenvalues"]["real"]) + 1j * np.array(fx["eigenvalues"]["imag"])
    assert fx["blanchard_kahn"]["explosive"] == int(np.sum(np.abs(eig) > 1))
    if "dr" not in fx:
        assert fx["blanchard_kahn"]["error"]
        return
    dr = fx["dr"]
    assert sorted(dr["order_var"]) == sorted(fx["all_endogenous"])
    # DR order: static, purely backward, mixed, purely forward; states are the
    # backward and mixed variables in that order
    first = dr["nstatic"]
    assert dr["state_var"] == dr["order_var"][first:first + dr["npred"] + dr["nboth"]]
    assert first + dr["npred"] + dr["nboth"] + dr["nfwrd"] == len(dr["order_var"])
    assert dr["ys"] == fx["steady_state"]
    # one eigenvalue per state and per forward-looking variable (mixed count twice)
    assert len(eig) == dr["npred"] + 2 * dr["nboth"] + dr["nfwrd"]
    assert fx["blanchard_kahn"]["explosive"] == fx["blanchard_kahn"]["forward_looking"]
    rule = Rule(fx)
    assert np.shape(dr["ghx"]) in ((rule.n, rule.nx), (1, 0))
    if fx["order"] == 2:
        assert rule.ghxx.shape == (rule.n, rule.nx ** 2)
        assert rule.ghxu.shape == (rule.n, rule.nx * rule.m)
        assert rule.ghuu.shape == (rule.n, rule.m ** 2)
        assert rule.ghs2.shape == (rule.n,)


# ---- steady states in closed form --------------------------------------------

def rbc_steady_state(p):
    al, be, de, ps = p["alpha"], p["beta"], p["delta"], p["psi"]
    kl = (al / (1 / be - 1 + de)) ** (1 / (1 - al))
    yl = kl ** al
    l = (1 - al) * yl / (ps * (yl - de * kl) + (1 - al) * yl)
    k, y = kl * l, yl * l
    return {"k": k, "c": y - de * k, "l": l, "y": y}


def expected_steady_state(model, p):
    if model == "growth":
        k = (p["alpha"] * p["beta"]) ** (1 / (1 - p["alpha"]))
        return {"k": k, "a": 0.0, "c": (1 - p["alpha"] * p["beta"]) * k ** p["alpha"]}
    if model in ("rbc", "rbc2"):
        ss = rbc_steady_state(p)
        ss.update({"a": 0.0, "b": 0.0})
        ss["i" if model == "rbc" else "invest"] = p["delta"] * ss["k"]
        return {k: v for k, v in ss.items() if model == "rbc2" or k != "b"}
    if model == "nk":
        return {"y": 0.0, "pi": p["pi_star"], "r": p["pi_star"] / p["beta"], "g": 0.0, "u": 0.0}
    if model == "leads":
        y = p["mu"] / (1 - p["f1"] - p["f2"])
        return {"z": 0.0, "x": 0.0, "y": y, "w": y}
    return {"x": 0.0, "y": 0.0} if model != "linear_forward" else {"y": 0.0}


@pytest.mark.parametrize("stem", ALL)
def test_steady_state_closed_form(stem):
    fx = load(stem)
    expected = expected_steady_state(fx["model"], fx["parameters"])
    assert set(expected) == set(fx["endogenous"])
    close([fx["steady_state"][k] for k in expected], list(expected.values()), rtol=1e-12)


# ---- first-order decision rules in closed form -------------------------------

def linear_roots(p):
    """Roots h of phi h^2 - (1 - kappa + rho phi) h + rho = 0: x = h x(-1) + ..."""
    return np.roots([p["phi"], -(1 - p["kappa"] + p["rho"] * p["phi"]), p["rho"]])


def sort_complex(z):
    z = np.asarray(z, dtype=complex)
    return z[np.lexsort((z.imag, z.real))]


@pytest.mark.parametrize("kind,verdict", [("indeterminate", "indeterminacy"),
                                          ("explosive", "no stable equilibrium")])
def test_blanchard_kahn_failures(kind, verdict):
    fx = load(f"linear_{kind}_order1")
    eig = np.array(fx["eigenvalues"]["real"]) + 1j * np.array(fx["eigenvalues"]["imag"])
    close(sort_complex(eig), sort_complex(linear_roots(fx["parameters"])), rtol=1e-12)
    bk = fx["blanchard_kahn"]
    assert bk["explosive"] == int(np.sum(np.abs(eig) > 1))
    assert bk["forward_looking"] == 1
    assert (bk["explosive"] < 1) == (kind == "indeterminate")
    assert verdict in bk["error"]


def test_linear_determinate_closed_form():
    fx = load("linear_determinate_order1")
    p, rule = fx["parameters"], Rule(fx)
    roots = linear_roots(p)
    h = roots[np.abs(roots) < 1].item().real
    g = 1 / (1 - p["phi"] * h)                       # y = g x
    b = 1 / (1 - p["kappa"] * g)                     # x = h x(-1) + b e, h = rho b
    assert rule.states == ["x"]
    close(rule.ghx[rule.rows(["x", "y"]), 0], [h, g * h], rtol=1e-12)
    close(rule.ghu[rule.rows(["x", "y"]), 0], [b, g * b], rtol=1e-12)
    eig = np.array(fx["eigenvalues"]["real"]) + 1j * np.array(fx["eigenvalues"]["imag"])
    close(sort_complex(eig), sort_complex(roots), rtol=1e-12)


def test_linear_forward_closed_form():
    fx = load("linear_forward_order1")
    rule = Rule(fx)
    assert rule.nx == 0
    close(rule.ghu, [[1.0]], rtol=1e-14)
    close(fx["eigenvalues"]["real"], [1 / fx["parameters"]["phi"]], rtol=1e-12)


def growth_policy(p, k):
    """Exact derivatives of (k, a, c) in (k(-1), a(-1)) and e, and the second
    derivatives in kron((k(-1), a(-1)), ...) order."""
    al, be, rh = p["alpha"], p["beta"], p["rho"]
    ratio = (1 - al * be) / (al * be)                # c = ratio * k
    dk_x, dk_u = np.array([al, rh * k]), np.array([k])
    d2k_xx = np.array([[al * (al - 1) / k, al * rh], [al * rh, rh * rh * k]])
    d2k_xu = np.array([[al], [rh * k]])
    d2k_uu = np.array([[k]])
    first = {"k": (dk_x, dk_u), "a": ([0.0, rh], [1.0]), "c": (ratio * dk_x, ratio * dk_u)}
    zero = np.zeros
    second = {"k": (d2k_xx, d2k_xu, d2k_uu), "a": (zero((2, 2)), zero((2, 1)), zero((1, 1))),
              "c": (ratio * d2k_xx, ratio * d2k_xu, ratio * d2k_uu)}
    return first, second


@pytest.mark.parametrize("order", [1, 2])
def test_growth_closed_form(order):
    fx = load(f"growth_order{order}")
    rule = Rule(fx)
    assert rule.states == ["k", "a"]
    first, second = growth_policy(fx["parameters"], fx["steady_state"]["k"])
    for name, (gx, gu) in first.items():
        close(rule.ghx[rule.row[name]], gx, rtol=1e-12, atol=1e-15)
        close(rule.ghu[rule.row[name]], gu, rtol=1e-12, atol=1e-15)
    if order == 2:
        # ghxx, ghxu, ghuu hold second derivatives (the rule halves ghxx and ghuu)
        for name, (gxx, gxu, guu) in second.items():
            i = rule.row[name]
            close(rule.ghxx[i], gxx.ravel(), rtol=1e-10, atol=1e-13)
            close(rule.ghxu[i], gxu.ravel(), rtol=1e-10, atol=1e-13)
            close(rule.ghuu[i], guu.ravel(), rtol=1e-10, atol=1e-13)
        close(rule.ghs2, np.zeros(3), atol=1e-15)    # the exact policy ignores risk


def nk_log_policy(p):
    """The log-linear NK model solved by undetermined coefficients: coefficients
    of (y, log pi - log pi*, log r - log r*) on each shock's driving process."""
    kappa = (1 - p["theta"]) * (1 - p["beta"] * p["theta"]) / p["theta"] * (p["sigma"] + p["varphi"])
    s, be = p["sigma"], p["beta"]
    coef = []
    for rho, impulse in ((p["rho_g"], (1, 0, 0)), (p["rho_u"], (0, 1, 0)), (0.0, (0, 0, 1))):
        # unknowns (a_y, a_pi, a_r): IS, Phillips curve, Taylor rule
        M = np.array([[1 - rho, -rho / s, 1 / s],
                      [-kappa, 1 - be * rho, 0],
                      [-p["phi_y"], -p["phi_pi"], 1]])
        coef.append(np.linalg.solve(M, impulse))
    coef = np.array(coef).T                           # rows y, pi, r; columns g, u, m
    gx = coef[:, :2] * [p["rho_g"], p["rho_u"]]       # on g(-1), u(-1)
    return gx, coef


@pytest.mark.parametrize("order", [1, 2])
def test_nk_closed_form(order):
    fx = load(f"nk_order{order}")
    p, rule, ss = fx["parameters"], Rule(fx), fx["steady_state"]
    assert rule.states == ["g", "u"]
    gx, gu = nk_log_policy(p)
    # pi and r are levels: pi = pi* exp(log-deviation)
    scale = np.array([1.0, ss["pi"], ss["r"]])
    rows = rule.rows(["y", "pi", "r"])
    close(rule.ghx[rows], scale[:, None] * gx, rtol=1e-10, atol=1e-14)
    close(rule.ghu[rows], scale[:, None] * gu, rtol=1e-10, atol=1e-14)
    close(rule.ghx[rule.rows(["g", "u"])], np.diag([p["rho_g"], p["rho_u"]]), atol=1e-14)
    close(rule.ghu[rule.rows(["g", "u"])], np.eye(2, 3), atol=1e-14)
    if order == 2:
        # the model is exactly linear in (y, log pi, log r), so the second
        # derivatives of pi and r are outer products of the log coefficients
        # and those of y vanish; x (x) e in ghxu is state-major
        for k, name in enumerate(["y", "pi", "r"]):
            v, i = (scale[k] if k else 0.0), rule.row[name]
            close(rule.ghxx[i], v * np.kron(gx[k], gx[k]), rtol=1e-9, atol=1e-13)
            close(rule.ghxu[i], v * np.kron(gx[k], gu[k]), rtol=1e-9, atol=1e-13)
            close(rule.ghuu[i], v * np.kron(gu[k], gu[k]), rtol=1e-9, atol=1e-13)
        close(rule.ghs2, np.zeros(rule.n), atol=1e-15)


def test_leads_closed_form():
    """x(-3), y(+2), e(-1) through Dynare's auxiliary variables: the backward
    block S = (z, x, x(-1), x(-2), e) is a VAR(1) S = T S(-1) + R u, and the
    forward variable is y - ys = c'S + u with c'(I - f1 T - f2 T^2) = x."""
    fx = load("leads_order1")
    p, rule = fx["parameters"], Rule(fx)
    aux = {a["stands_for"]: a["name"] for a in fx["auxiliary"]}
    lag1, lag2, e_aux, lead = aux["x(-1)"], aux[aux["x(-1)"] + "(-1)"], aux["e"], aux["y(1)"]
    S = ["z", "x", lag1, lag2, e_aux]
    T, R = np.zeros((5, 5)), np.zeros((5, 2))
    T[0, 0], R[0, 0] = p["rho_z"], 1.0
    T[1] = [p["b_z"] * p["rho_z"], p["a1"], 0.0, p["a3"], p["b_e"]]
    R[1, 0] = p["b_z"]
    T[2, 1] = T[3, 2] = 1.0
    R[4, 0] = 1.0
    c = np.linalg.solve((np.eye(5) - p["f1"] * T - p["f2"] * T @ T).T, np.eye(5)[1])
    expected = {name: (T[j], R[j]) for j, name in enumerate(S)}
    expected["y"] = (c @ T, c @ R + [0.0, 1.0])
    expected[lead] = (c @ T @ T, c @ T @ R)              # E_t y(+1)
    expected["w"] = (c @ T @ T - np.eye(5)[2], c @ T @ R)  # E_t y(+1) - x(-2)
    assert sorted(rule.states) == sorted(S)
    order = [S.index(s) for s in rule.states]
    for name, (gx, gu) in expected.items():
        close(rule.ghx[rule.row[name]], gx[order], rtol=1e-10, atol=1e-13)
        close(rule.ghu[rule.row[name]], gu, rtol=1e-10, atol=1e-13)


@pytest.mark.parametrize("model", ["growth", "rbc", "rbc2", "nk"])
def test_second_order_keeps_first_order(model):
    one, two = Rule(load(f"{model}_order1")), Rule(load(f"{model}_order2"))
    assert one.names == two.names and one.states == two.states
    close(two.ghx, one.ghx, rtol=1e-10, atol=1e-14)
    close(two.ghu, one.ghu, rtol=1e-10, atol=1e-14)


# ---- first-order moments -------------------------------------------------------

@pytest.mark.parametrize("stem", FIRST)
def test_first_order_moments(stem):
    fx = load(stem)
    rule, mom = Rule(fx), fx["moments"]
    idx = rule.rows(mom["variables"])
    gamma0 = first_order_covariance(rule)
    close(mom["mean"], rule.ys[idx], rtol=1e-12, atol=1e-15)
    close(mom["var"], gamma0[np.ix_(idx, idx)], rtol=1e-9, atol=1e-16)
    sd = np.sqrt(np.diag(gamma0))[idx]
    gamma = gamma0
    for lag in range(1, 6):
        gamma = rule.F @ gamma                       # Cov(z(t), z(t-lag))
        corr = gamma[np.ix_(idx, idx)] / np.outer(sd, sd)
        close(mom["autocorr"][str(lag)], corr, rtol=1e-8, atol=1e-12)


def shock_contributions(rule, horizons):
    """Variance of every variable due to each orthogonalised shock (Cholesky
    factor of Sigma_e in declared order): unconditional, and at each horizon."""
    L = np.linalg.cholesky(rule.sigma)
    total, by_horizon = [], {h: [] for h in horizons}
    for j in range(rule.m):
        impulse = rule.ghu @ L[:, j]
        total.append(np.diag(scipy.linalg.solve_discrete_lyapunov(rule.F, np.outer(impulse, impulse))))
        acc, z = np.zeros(rule.n), impulse
        for h in range(1, max(horizons) + 1):
            acc = acc + z * z
            z = rule.F @ z
            if h in by_horizon:
                by_horizon[h].append(acc)
    return np.array(total).T, {h: np.array(v).T for h, v in by_horizon.items()}


@pytest.mark.parametrize("stem", FIRST)
def test_variance_decompositions(stem):
    fx = load(stem)
    rule = Rule(fx)
    cvd = fx["conditional_variance_decomposition"]
    horizons = cvd["horizons"]
    total, by_horizon = shock_contributions(rule, horizons)
    vd = fx["variance_decomposition"]
    idx = rule.rows(vd["variables"])
    close(vd["percent"], 100 * total[idx] / total[idx].sum(axis=1, keepdims=True), rtol=1e-8,
          atol=1e-10)
    idx = rule.rows(cvd["variables"])
    for h in horizons:
        share = by_horizon[h][idx] / by_horizon[h][idx].sum(axis=1, keepdims=True)
        close(cvd["values"][str(h)], share, rtol=1e-8, atol=1e-12)  # fractions, not percent


@pytest.mark.parametrize("stem", FIRST)
def test_impulse_responses(stem):
    fx = load(stem)
    rule, irfs = Rule(fx), fx["irfs"]
    L = np.linalg.cholesky(rule.sigma + IRF_JITTER * np.eye(rule.m))
    for j, shock in enumerate(fx["exogenous"]):
        responses = irfs["responses"][shock]
        assert list(responses) == fx["endogenous"]
        z, path = rule.ghu @ L[:, j], []
        for _ in range(irfs["periods"]):
            path.append(z)
            z = rule.F @ z
        expected = np.array(path)[:, rule.rows(fx["endogenous"])]
        stored = np.array([responses[v] for v in fx["endogenous"]]).T
        scale = np.abs(expected).max()
        close(stored, expected, rtol=0, atol=1e-12 * scale)
        # the impact is one standard deviation, chol(Sigma_e), up to the jitter
        close(stored[0], (rule.ghu @ np.linalg.cholesky(rule.sigma)[:, j])[
            rule.rows(fx["endogenous"])], rtol=0, atol=1e-8 * scale)


# ---- second-order moments: the pruned state space ----------------------------

def commutation(p, q):
    """K with K vec(X) = vec(X.T) for X of shape (p, q), row-major vec."""
    K = np.zeros((p * q, p * q))
    for i in range(p):
        for j in range(q):
            K[j * p + i, i * q + j] = 1.0
    return K


def pruned_moments(rule, lags=5):
    """Mean, covariance and autocovariances of all variables under the pruned
    second-order rule  y = ys + 0.5 ghs2 + ghx (xf + xs) + ghu u
    + 0.5 ghxx (xf (x) xf) + ghxu (xf (x) u) + 0.5 ghuu (u (x) u),
    with xf the first-order states and xs the second-order part."""
    nx, m = rule.nx, rule.m
    A, B, S = rule.A, rule.B, rule.sigma
    sr = rule.state_rows
    hxx, hxu, huu, hs2 = rule.ghxx[sr], rule.ghxu[sr], rule.ghuu[sr], rule.ghs2[sr]
    Sx = scipy.linalg.solve_discrete_lyapunov(A, B @ S @ B.T)
    vSx, vS = Sx.ravel(), S.ravel()
    mean_xs = np.linalg.solve(np.eye(nx) - A, 0.5 * (hxx @ vSx + huu @ vS + hs2))
    mean = rule.ys + 0.5 * rule.ghs2 + rule.ghx @ mean_xs + 0.5 * (rule.ghxx @ vSx
                                                                   + rule.ghuu @ vS)
    # Z = (xf, xs, xf (x) xf) - mean;  Z' = M Z + N xi,  y - mean = P Z(-1) + Q xi
    # xi = (u, u (x) u - vec S, xf(-1) (x) u, u (x) xf(-1)), serially uncorrelated
    nz, nxi = 2 * nx + nx * nx, m + m * m + 2 * nx * m
    M, N = np.zeros((nz, nz)), np.zeros((nz, nxi))
    a, b, c = slice(0, nx), slice(nx, 2 * nx), slice(2 * nx, nz)
    u, uu = slice(0, m), slice(m, m + m * m)
    xu, ux = slice(m + m * m, m + m * m + nx * m), slice(m + m * m + nx * m, nxi)
    M[a, a], N[a, u] = A, B
    M[b, b], M[b, c] = A, 0.5 * hxx
    N[b, uu], N[b, xu] = 0.5 * huu, hxu
    M[c, c] = np.kron(A, A)
    N[c, uu], N[c, xu], N[c, ux] = np.kron(B, B), np.kron(A, B), np.kron(B, A)
    V = np.zeros((nxi, nxi))
    V[u, u] = S
    V[uu, uu] = (np.eye(m * m) + commutation(m, m)) @ np.kron(S, S)
    Vxu = np.kron(Sx, S)
    K = commutation(nx, m)                            # u (x) x = K (x (x) u)
    V[xu, xu], V[ux, ux] = Vxu, K @ Vxu @ K.T
    V[xu, ux] = Vxu @ K.T
    V[ux, xu] = K @ Vxu
    P = np.hstack([rule.ghx, rule.ghx, 0.5 * rule.ghxx])
    Q = np.hstack([rule.ghu, 0.5 * rule.ghuu, rule.ghxu, np.zeros((rule.n, nx * m))])
    VZ = scipy.linalg.solve_discrete_lyapunov(M, N @ V @ N.T)
    gamma0 = P @ VZ @ P.T + Q @ V @ Q.T
    cross = M @ VZ @ P.T + N @ V @ Q.T                # Cov(Z(t), y(t))
    autocov = []
    for _ in range(lags):
        autocov.append(P @ cross)                     # Cov(y(t), y(t-lag))
        cross = M @ cross
    return mean, gamma0, autocov


@pytest.mark.parametrize("stem", SECOND)
def test_pruned_second_order_moments(stem):
    fx = load(stem)
    rule, mom = Rule(fx), fx["moments"]
    idx = rule.rows(mom["variables"])
    mean, gamma0, autocov = pruned_moments(rule)
    close(mom["mean"], mean[idx], rtol=1e-10, atol=1e-15)
    close(mom["var"], gamma0[np.ix_(idx, idx)], rtol=1e-8, atol=1e-16)
    sd = np.sqrt(np.diag(gamma0))[idx]
    for lag, g in enumerate(autocov, start=1):
        close(mom["autocorr"][str(lag)], g[np.ix_(idx, idx)] / np.outer(sd, sd), rtol=1e-7,
              atol=1e-10)
    # the risk correction moves the means of the nonlinear models off the steady state
    if fx["model"] in ("growth", "rbc", "rbc2"):
        assert np.abs(mean - rule.ys).max() > 1e-6
