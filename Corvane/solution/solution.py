"""`Solution`: a model solved to first or second order, labelled by name."""

import functools

import numpy as np
import pandas as pd

from .analysis import AnalysisMethods
from .data import DataMethods


class Solution(AnalysisMethods, DataMethods):
    """The decision rules of a solved model, in deviations from the steady state.

    With s the states (the variables that appear lagged, at t-1) and e the
    shocks, every reported variable y follows, at first order,

        y - ybar = policy[states] @ (s - sbar) + policy[shocks] @ e

    and at second order adds ``policy2 @ products`` where products are the
    distinct products of states and shocks named in ``policy2``'s columns
    (``k(-1)*k(-1)``, ``k(-1)*e``, ``e*u``) and ``constant`` (the shift
    from the shock variance). For a loglinear solution every variable is the
    log of the model's variable.

    Attributes
    ----------
    order : int
        1 or 2.
    loglinear : bool
    steady_state : pandas.Series
        Steady state by variable (logs for a loglinear solution).
    states : tuple of str
        The states by date: ``k(-1)``; lags beyond one read ``x(-2)``,
        a lagged shock ``e(-1)``.
    shocks : tuple of str
    policy : pandas.DataFrame
        First-order decision rule: rows the variables in declared order,
        columns the states then the shocks.
    policy2 : pandas.DataFrame
        Second-order terms (order 2 only): rows the variables, columns the
        distinct products and ``constant``, with the coefficients exactly as
        they multiply those products (the 1/2 of the Taylor expansion and the
        two appearances of a cross product in x⊗x are folded in).
    eigenvalues : numpy.ndarray
        The generalised eigenvalues of the first-order system (complex),
        sorted by modulus as Dynare's `check` prints them; ``abs()`` gives
        the moduli. Unit-free roots of z(t+1) = lambda z(t); infinite roots
        last.
    blanchard_kahn : str
        The eigenvalue count against the forward-looking variables.
    model : Corvane.Model
        The model solved (with the parameter values used).

    Raw results for computations on the solution, in the solver's variable
    order (`variables_all`: states first, auxiliary variables included):
    `first` (the bridge's FirstOrder: ss, gx, hx, transition, impact,
    eigenvalues, bk, Jacobians), `second` (SecondOrder or None), `params`
    (the parameter vector the compiled code read), `shock_cov_matrix`,
    `rows` (solver index of each reported variable), `compiled` and
    `dynamic` (the compiled model and its symbolic system).
    """

    def __init__(self, *, model, dynamic, compiled, params, first, second, order, loglinear,
                 shock_cov, layout):
        self.model = model
        self.dynamic = dynamic
        self.compiled = compiled
        self.params = params
        self.first = first
        self.second = second
        self.order = order
        self.loglinear = loglinear
        self.shock_cov_matrix = shock_cov
        self.variables, self.rows = layout

    @property
    def variables_all(self):
        return self.dynamic.variables

    @property
    def states(self):
        return self.dynamic.states

    @property
    def shocks(self):
        return self.dynamic.exogenous

    @property
    def nx(self):
        return self.dynamic.nx

    # -- labelled results --------------------------------------------------------
    @functools.cached_property
    def steady_state(self):
        name = "steady state (logs)" if self.loglinear else "steady state"
        return pd.Series(np.asarray(self.first.ss)[self.rows], index=list(self.variables),
                         name=name)

    @functools.cached_property
    def policy(self):
        nx = self.nx
        coef = np.hstack([np.asarray(self.first.transition)[:, :nx],
                          np.asarray(self.first.impact)])[self.rows]
        return pd.DataFrame(coef, index=list(self.variables),
                            columns=list(self.states) + list(self.shocks))

    @functools.cached_property
    def policy2(self):
        if self.second is None:
            raise AttributeError("policy2 needs a second-order solution: model.solve(order=2)")
        s = self.second
        nx, m = self.nx, len(self.shocks)
        n = len(self.variables_all)
        xx = np.vstack([np.reshape(s.h_xx, (nx, nx * nx)),
                        np.reshape(s.g_xx, (n - nx, nx * nx))])
        xe = np.vstack([np.reshape(s.h_xe, (nx, nx * m)), np.reshape(s.g_xe, (n - nx, nx * m))])
        ee = np.vstack([np.reshape(s.h_ee, (nx, m * m)), np.reshape(s.g_ee, (n - nx, m * m))])
        ss = np.concatenate([np.ravel(s.h_ss), np.ravel(s.g_ss)])
        columns, blocks = [], []

        def symmetric(names, block, size):
            # 1/2 (x@x): x_j x_k (j < k) sits at j*size + k and k*size + j
            for j in range(size):
                for k in range(j, size):
                    coef = block[:, j * size + k]
                    if k != j:
                        coef = coef + block[:, k * size + j]
                    columns.append(f"{names[j]}*{names[k]}")
                    blocks.append(0.5 * coef)

        # y = first order + 1/2 xx (x@x) + xe (x@e) + 1/2 ee (e@e) + 1/2 ss
        symmetric(self.states, xx, nx)
        for j in range(nx):
            for k in range(m):
                columns.append(f"{self.states[j]}*{self.shocks[k]}")
                blocks.append(xe[:, j * m + k])
        symmetric(self.shocks, ee, m)
        columns.append("constant")
        blocks.append(0.5 * ss)
        coef = np.column_stack(blocks) if blocks else np.zeros((n, 0))
        return pd.DataFrame(coef[self.rows], index=list(self.variables), columns=columns)

    @functools.cached_property
    def eigenvalues(self):
        eig = np.asarray(self.first.eigenvalues, dtype=complex)
        return eig[np.argsort(np.abs(eig), kind="stable")]

    @property
    def blanchard_kahn(self):
        unstable = int(np.sum(np.abs(self.eigenvalues) > 1))
        forward = int(self.first.n_mixed + self.first.n_fwd)
        verdict = "satisfied" if unstable == forward else "not satisfied"
        return (f"{unstable} eigenvalue{'s' * (unstable != 1)} larger than 1 in modulus for "
                f"{forward} forward-looking variable{'s' * (forward != 1)}: Blanchard-Kahn "
                f"condition {verdict}")

    @property
    def shock_cov(self):
        return pd.DataFrame(self.shock_cov_matrix, index=list(self.shocks),
                            columns=list(self.shocks))

    # -- printing ----------------------------------------------------------------
    def summary(self):
        """Steady state, decision rules and eigenvalues as text tables."""
        units = " (logs)" if self.loglinear else ""
        width = 10
        with pd.option_context("display.float_format", lambda v: f"{v:{width}.6g}",
                               "display.width", 120, "display.max_columns", 50):
            parts = [f"Solution of model '{self.model.name}', order {self.order}{units}",
                     "", "Steady state" + units, _shown(self.steady_state).to_string(), "",
                     "First-order decision rule (deviations from the steady state)",
                     _shown(self.policy).to_string()]
            if self.order == 2:
                parts += ["", "Second-order terms (coefficients of the products)",
                          _shown(self.policy2.T).to_string()]
            eig = pd.DataFrame({"modulus": np.abs(self.eigenvalues),
                                "real": self.eigenvalues.real,
                                "imaginary": self.eigenvalues.imag})
            parts += ["", "Eigenvalues", eig.to_string(index=False), "", self.blanchard_kahn]
        return "\n".join(parts)

    def __repr__(self):
        units = ", loglinear" if self.loglinear else ""
        return (f"<Corvane.Solution of '{self.model.name}', order {self.order}{units}: "
                f"{len(self.variables)} variables, states {', '.join(self.states)}; "
                f"shocks {', '.join(self.shocks) or '(none)'}>\n"
                + _shown(self.policy).to_string(float_format=lambda v: f"{v:.6g}"))


def _shown(table):
    """`table` for printing: entries below 1e-12 of its largest in magnitude
    (rounding noise of the solver) shown as 0, and no negative zeros."""
    values = table.to_numpy(dtype=float)
    finite = np.abs(values[np.isfinite(values)])
    scale = finite.max(initial=0.0)
    shown = np.where(np.abs(values) < 1e-12 * scale, 0.0, values) + 0.0
    if isinstance(table, pd.Series):
        return pd.Series(shown, index=table.index, name=table.name)
    return pd.DataFrame(shown, index=table.index, columns=table.columns)
