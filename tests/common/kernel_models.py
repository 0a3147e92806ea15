"""Python-callback models for the model-solution kernel tests.

Each model's equations are written once as a Python function of
(lead, cur, lag, shocks, params) that works on complex NumPy scalars and on
`Bicomplex` values, so the complex residual callback and the bicomplex
second-order callback come from one source. `Model.record(lapack)` builds a
`crv_klein_model`; `solve1` / `solve2` allocate the solution records and
arenas and call the kernels directly (the tests drive the kernels; users go
through `Corvane.Model`).

Models: `growth` (closed-form policy), `rbc` (labour; output and investment
static), `expected_square` (closed-form second order) and the small linear
models `linear(kind)` with kind in "determinate", "indeterminate",
"explosive", "forward".
"""

import ctypes

import numpy as np

from Corvane._ckernels import ffi


# ---- bicomplex numbers ----------------------------------------------------------
# z1 + z2*i2 (z1, z2 complex in i1) for second-derivative steps, with the
# elementary functions the models need. Storage in the callbacks: four
# doubles (a, b, c, d) = a + b i1 + c i2 + d i1 i2, i.e. z1 = a + b i1 and
# z2 = c + d i1.

class Bicomplex:
    __slots__ = ("z1", "z2")

    def __init__(self, z1, z2=0.0):
        self.z1 = np.complex128(z1) if np.isscalar(z1) else z1
        self.z2 = np.complex128(z2) if np.isscalar(z2) else z2

    @staticmethod
    def lift(x):
        return x if isinstance(x, Bicomplex) else Bicomplex(x, 0.0)

    def __add__(self, o):
        o = Bicomplex.lift(o)
        return Bicomplex(self.z1 + o.z1, self.z2 + o.z2)

    __radd__ = __add__

    def __neg__(self):
        return Bicomplex(-self.z1, -self.z2)

    def __sub__(self, o):
        o = Bicomplex.lift(o)
        return Bicomplex(self.z1 - o.z1, self.z2 - o.z2)

    def __rsub__(self, o):
        return Bicomplex.lift(o) - self

    def __mul__(self, o):
        o = Bicomplex.lift(o)
        return Bicomplex(self.z1 * o.z1 - self.z2 * o.z2, self.z1 * o.z2 + self.z2 * o.z1)

    __rmul__ = __mul__

    def __truediv__(self, o):
        o = Bicomplex.lift(o)
        den = o.z1 * o.z1 + o.z2 * o.z2
        return self * Bicomplex(o.z1 / den, -o.z2 / den)

    def __rtruediv__(self, o):
        return Bicomplex.lift(o) / self

    def __pow__(self, alpha):
        return exp(alpha * log(self))

    def exp(self):
        e = np.exp(self.z1)
        return Bicomplex(e * np.cos(self.z2), e * np.sin(self.z2))

    def log(self):
        # z1 (1 + u i2) with u = z2 / z1; log(1 + u i2) = log(1 + u^2)/2 + atan(u) i2
        u = self.z2 / self.z1
        return Bicomplex(np.log(self.z1) + 0.5 * np.log1p(u * u), np.arctan(u))


def exp(x):
    return x.exp() if isinstance(x, Bicomplex) else np.exp(x)


def log(x):
    return x.log() if isinstance(x, Bicomplex) else np.log(x)


_solve = ffi.solve

# Timing flag bits: 1 appears lagged, 2 appears current, 4 appears led.
LAG, CUR, LEAD = 1, 2, 4


def _doubles(address, count):
    if count == 0:
        return np.zeros(0)
    return np.ctypeslib.as_array((ctypes.c_double * count).from_address(address))


def residual_from(fn, n, m, p, counter=None):
    """A ctypes residual callback evaluating fn(lead, cur, lag, shocks, params)
    on complex NumPy views of the six arrays; counts calls in counter['calls']."""

    def cb(lead, cur, lag, e, theta, resid):
        if counter is not None:
            counter["calls"] += 1
        views = [_doubles(a, 2 * k).view(np.complex128)
                 for a, k in ((lead, n), (cur, n), (lag, n), (e, m), (theta, p))]
        _doubles(resid, 2 * n).view(np.complex128)[:] = fn(*views)

    return _solve.residual_fn(cb)


class Model:
    """Equations plus dimensions, parameters, timing flags and guesses."""

    def __init__(self, name, names, nx, shocks, params, flags, equations, x_guess, sigma):
        self.name = name
        self.names = tuple(names)
        self.n = len(self.names)
        self.nx = nx
        self.ny = self.n - nx
        self.m = len(shocks)
        self.shock_names = tuple(shocks)
        self.param_names = tuple(params)
        self.params = np.array(list(params.values()), dtype=float)
        self.p = len(self.params)
        self.flags = np.array(flags, dtype=np.uint8)
        self.equations = equations
        self.x_guess = np.array(x_guess, dtype=float)
        self.sigma = np.array(sigma, dtype=float).reshape(self.m, self.m)
        self.calls = {"residual": 0, "hessian": 0}
        self._keep = []

    # -- evaluation in Python ------------------------------------------------
    def evaluate(self, lead, cur, lag, shocks, params=None):
        """Residuals for complex (or real) inputs, as a complex array."""
        theta = self.params if params is None else params
        return np.array(self.equations(lead, cur, lag, shocks, theta), dtype=complex)

    # -- callbacks -------------------------------------------------------------
    def residual_callback(self):
        n, m, p = self.n, self.m, self.p

        def cb(lead, cur, lag, e, theta, resid):
            self.calls["residual"] += 1
            arrays = [_doubles(a, 2 * k).view(np.complex128)
                      for a, k in ((lead, n), (cur, n), (lag, n), (e, m), (theta, p))]
            out = _doubles(resid, 2 * n).view(np.complex128)
            out[:] = self.equations(*arrays)

        fn = _solve.residual_fn(cb)
        self._keep.append(fn)
        return fn

    def hessian_callback(self):
        n, m, p = self.n, self.m, self.p

        def as_bicomplex(address, k):
            parts = _doubles(address, 4 * k).view(np.complex128).reshape(k, 2)
            return [Bicomplex(parts[i, 0], parts[i, 1]) for i in range(k)]

        def cb(lead, cur, lag, e, theta, resid):
            self.calls["hessian"] += 1
            args = [as_bicomplex(a, k)
                    for a, k in ((lead, n), (cur, n), (lag, n), (e, m), (theta, p))]
            out = _doubles(resid, 4 * n).view(np.complex128).reshape(n, 2)
            for i, value in enumerate(self.equations(*args)):
                value = Bicomplex.lift(value)
                out[i, 0] = value.z1
                out[i, 1] = value.z2

        fn = _solve.residual_fn(cb)
        self._keep.append(fn)
        return fn

    def record(self, lapack=None, hessian=True):
        """A crv_klein_model for this model (keeps its arrays alive)."""
        lapack = lapack or _solve.lapack_pointers()
        rec = _solve.crv_klein_model()
        rec.residual = ctypes.cast(self.residual_callback(), ctypes.c_void_p).value
        rec.zgges, rec.dgeqrf, rec.dormqr = lapack["zgges"], lapack["dgeqrf"], lapack["dormqr"]
        rec.x_guess = self.x_guess.ctypes.data_as(ctypes.POINTER(ctypes.c_double))
        rec.params = self.params.ctypes.data_as(ctypes.POINTER(ctypes.c_double))
        rec.flags = self.flags.ctypes.data_as(ctypes.POINTER(ctypes.c_uint8))
        rec.n, rec.nx, rec.ny, rec.m, rec.p = self.n, self.nx, self.ny, self.m, self.p
        if hessian:
            rec.hessian = ctypes.cast(self.hessian_callback(), ctypes.c_void_p).value
        rec.sigma = self.sigma.ctypes.data_as(ctypes.POINTER(ctypes.c_double))
        return rec


class SolutionArrays:
    """Caller-owned arrays of a crv_klein_solution (and second-order record)."""

    def __init__(self, lib, model):
        n, nx, ny, m = model.n, model.nx, model.ny, model.m
        N = lib.crv_pencil_dim(model.flags, n).N
        self.N = N
        self.arrays = {
            "ss": np.zeros(n), "j_lead": np.zeros((n, n)), "j_cur": np.zeros((n, n)),
            "j_lag": np.zeros((n, n)), "j_shock": np.zeros((n, m)),
            "qz_a": np.zeros((N, N), complex), "qz_b": np.zeros((N, N), complex),
            "qz_z": np.zeros((N, N), complex), "gx": np.zeros((ny, nx)),
            "hx": np.zeros((nx, nx)), "eig": np.zeros(N, complex),
            "transition": np.zeros((n, n)), "impact": np.zeros((n, m)),
        }
        self.order = np.zeros(n, dtype=np.int64)
        rec = _solve.crv_klein_solution()
        for name, a in self.arrays.items():
            setattr(rec, name, a.ctypes.data_as(ctypes.POINTER(ctypes.c_double)))
        rec.order = self.order.ctypes.data_as(ctypes.POINTER(ctypes.c_int64))
        rec.bk = -99
        self.record = rec
        D = 3 * n + m
        self.second = {
            "hess": np.zeros((n, D, D)), "eta": np.zeros((nx, m)),
            "g_xx": np.zeros((ny, nx * nx)), "h_xx": np.zeros((nx, nx * nx)),
            "g_xe": np.zeros((ny, nx * m)), "h_xe": np.zeros((nx, nx * m)),
            "g_ee": np.zeros((ny, m * m)), "h_ee": np.zeros((nx, m * m)),
            "g_ss": np.zeros(ny), "h_ss": np.zeros(nx),
        }
        rec2 = _solve.crv_klein_second_order()
        for name, a in self.second.items():
            setattr(rec2, name, a.ctypes.data_as(ctypes.POINTER(ctypes.c_double)))
        self.record2 = rec2

    def __getattr__(self, name):
        for table in ("arrays", "second"):
            d = self.__dict__.get(table, {})
            if name in d:
                return d[name]
        if name in ("bk", "n_static", "n_pred", "n_mixed", "n_fwd"):
            return getattr(self.__dict__["record"], name)
        raise AttributeError(name)


def arena(size, fill=0.0):
    doubles, slots = size
    return np.full(max(doubles, 1), fill), np.full(max(slots, 1), -7, dtype=np.int64)


def solve1(lib, model, fill=0.0, record=None):
    """First-order solution: (status, SolutionArrays)."""
    rec = record or model.record()
    sol = SolutionArrays(lib, model)
    size = lib.crv_klein_solve1_arena_size(model.n, model.nx, model.ny, model.p, model.m, sol.N)
    dwork, iwork = arena(size, fill)
    status = lib.crv_klein_solve1(ctypes.byref(rec), ctypes.byref(sol.record), dwork, iwork)
    return status, sol


def solve2(lib, model, fill=0.0, record=None):
    """Second-order solution: (status, SolutionArrays)."""
    rec = record or model.record()
    sol = SolutionArrays(lib, model)
    size = lib.crv_sgu_klein_solve2_arena_size(model.n, model.nx, model.ny, model.p, model.m,
                                               sol.N)
    dwork, iwork = arena(size, fill)
    status = lib.crv_sgu_klein_solve2(ctypes.byref(rec), ctypes.byref(sol.record),
                                      ctypes.byref(sol.record2), dwork, iwork)
    return status, sol


# ---- models -------------------------------------------------------------------

def growth(alpha=0.36, beta=0.96, rho=0.9, sigma_e=0.01, guess_scale=1.05):
    """Stochastic growth with full depreciation and log utility.

    Variables k (capital chosen at t), a (log productivity), c (consumption);
    exact policy k' = alpha beta e^a k^alpha, c = (1 - alpha beta) e^a k^alpha.
    """

    def equations(lead, cur, lag, e, th):
        al, be, rh = th[0], th[1], th[2]
        k, a, c = cur[0], cur[1], cur[2]
        return [
            c + k - exp(a) * lag[0] ** al,
            1 / c - be * al * exp(lead[1]) * k ** (al - 1) / lead[2],
            a - rh * lag[1] - e[0],
        ]

    k = (alpha * beta) ** (1 / (1 - alpha))
    c = (1 - alpha * beta) * k ** alpha
    return Model("growth", ["k", "a", "c"], 2, ["e"],
                 {"alpha": alpha, "beta": beta, "rho": rho},
                 [LAG | CUR, LAG | CUR | LEAD, CUR | LEAD], equations,
                 [guess_scale * k, 0.0, guess_scale * c], [[sigma_e ** 2]])


def growth_policy(alpha=0.36, beta=0.96, rho=0.9):
    """Exact derivatives of (k, a, c) in (k(t-1), a(t-1), e): first and second order."""
    k = (alpha * beta) ** (1 / (1 - alpha))
    ratio = (1 - alpha * beta) / (alpha * beta)  # c = ratio * k'
    # k' = alpha beta exp(rho a + e) K^alpha; derivatives at (K, a, e) = (k, 0, 0)
    dk = np.array([alpha, rho * k, k])
    d2k = np.array([[alpha * (alpha - 1) / k, alpha * rho, alpha],
                    [alpha * rho, rho * rho * k, rho * k],
                    [alpha, rho * k, k]])
    da = np.array([0.0, rho, 1.0])
    first = np.vstack([dk, da, ratio * dk])
    second = np.stack([d2k, np.zeros((3, 3)), ratio * d2k])
    return first, second


def rbc_steady_state(alpha=0.33, beta=0.99, delta=0.025, psi=1.8):
    kl = (alpha / (1 / beta - 1 + delta)) ** (1 / (1 - alpha))
    yl = kl ** alpha
    l = (1 - alpha) * yl / (psi * (yl - delta * kl) + (1 - alpha) * yl)
    k, y = kl * l, yl * l
    return np.array([k, 0.0, y - delta * k, l, y, delta * k])


def rbc(alpha=0.33, beta=0.99, delta=0.025, psi=1.8, rho=0.95, sigma_e=0.007,
        guess_scale=1.02):
    """Real business cycle with labour; output y and investment i are static."""

    def equations(lead, cur, lag, e, th):
        al, be, de, ps, rh = th
        k, a, c, l, y, i = cur
        return [
            y - exp(a) * lag[0] ** al * l ** (1 - al),
            i - (k - (1 - de) * lag[0]),
            c + i - y,
            1 / c - be * (al * exp(lead[1]) * k ** (al - 1) * lead[3] ** (1 - al) + 1 - de)
            / lead[2],
            ps * c / (1 - l) - (1 - al) * y / l,
            a - rh * lag[1] - e[0],
        ]

    ss = rbc_steady_state(alpha, beta, delta, psi)
    guess = ss * guess_scale
    return Model("rbc", ["k", "a", "c", "l", "y", "i"], 2, ["e"],
                 {"alpha": alpha, "beta": beta, "delta": delta, "psi": psi, "rho": rho},
                 [LAG | CUR, LAG | CUR | LEAD, CUR | LEAD, CUR | LEAD, CUR, CUR], equations,
                 guess, [[sigma_e ** 2]])


def expected_square(rho=0.8, sigma_e=0.1):
    """x = rho x(-1) + e and the static y = E x(+1)^2; exact policy
    y = rho^2 (rho x(-1) + e)^2 + sigma_e^2, so g_ss = 2 sigma_e^2."""

    def equations(lead, cur, lag, e, th):
        return [cur[0] - th[0] * lag[0] - e[0], cur[1] - lead[0] * lead[0]]

    return Model("expected_square", ["x", "y"], 1, ["e"], {"rho": rho},
                 [LAG | CUR | LEAD, CUR], equations, [0.1, 0.05], [[sigma_e ** 2]])


LINEAR_KINDS = {
    # (rho, phi, kappa): x = rho x(-1) + kappa y + e, y = phi y(+1) + x
    "determinate": (0.5, 0.8, 0.05),
    "indeterminate": (0.5, 2.0, 0.1),
    "explosive": (1.5, 0.5, 0.1),
}


def linear(kind):
    """Small linear models: one state x and one jump y, or a forward-only y."""
    if kind == "forward":
        def equations(lead, cur, lag, e, th):
            return [cur[0] - th[0] * lead[0] - e[0]]

        return Model("forward", ["y"], 0, ["e"], {"phi": 0.5}, [CUR | LEAD], equations,
                     [0.3], [[1.0]])
    rho, phi, kappa = LINEAR_KINDS[kind]

    def equations(lead, cur, lag, e, th):
        return [cur[0] - th[0] * lag[0] - th[2] * cur[1] - e[0],
                cur[1] - th[1] * lead[1] - cur[0]]

    return Model(kind, ["x", "y"], 1, ["e"], {"rho": rho, "phi": phi, "kappa": kappa},
                 [LAG | CUR, CUR | LEAD], equations, [0.2, -0.1], [[1.0]])


__all__ = ["Bicomplex", "Model", "SolutionArrays", "arena", "exp", "expected_square", "growth",
           "growth_policy", "linear", "log", "rbc", "residual_from", "rbc_steady_state", "solve1",
           "solve2"]
