"""What a solution implies without data: impulse responses, moments,
variance decompositions and simulations (methods of `Solution`)."""

import secrets

import numpy as np
import pandas as pd

from .._bridge import analysis as bridge
from ..errors import ModelError

# Histories the second-order generalised impulse responses start from are
# this many periods of draws from the steady state.
GIRF_BURN = 100


def lower_cholesky(sigma):
    """Lower Cholesky factor of a covariance matrix; shocks of zero variance
    get zero columns (a singular but positive semidefinite matrix)."""
    sigma = np.asarray(sigma, dtype=float)
    live = np.flatnonzero(np.diag(sigma) > 0)
    L = np.zeros_like(sigma)
    if live.size:
        L[np.ix_(live, live)] = np.linalg.cholesky(sigma[np.ix_(live, live)])
    return L


class AnalysisMethods:
    """Impulse responses, theoretical moments, variance decompositions and
    simulation; mixed into `Solution`."""

    # -- pieces of the first-order state space -----------------------------------
    def _transition(self):
        return np.asarray(self.first.transition, dtype=float)

    def _impact(self):
        return np.asarray(self.first.impact, dtype=float)

    def _cov_all(self, Q_shocks=None):
        """Stationary covariance of every variable (solver order) at first
        order, for shock covariance Q_shocks (the model's by default)."""
        Q_shocks = self.shock_cov_matrix if Q_shocks is None else Q_shocks
        nx = self.nx
        T, R = self._transition(), self._impact()
        Tx, Rx = T[:, :nx], R[:nx]
        Sx = bridge.dlyap(T[:nx, :nx], Rx @ Q_shocks @ Rx.T)
        G = Tx @ Sx @ Tx.T + R @ Q_shocks @ R.T
        return 0.5 * (G + G.T)

    def _shock_names(self, shocks):
        if shocks is None:
            return list(self.shocks)
        if isinstance(shocks, str):
            shocks = [shocks]
        shocks = list(shocks)
        unknown = [s for s in shocks if s not in self.shocks]
        if unknown:
            raise ModelError(f"unknown shock{'s' * (len(unknown) > 1)} {', '.join(unknown)}; "
                             f"the model's shocks are {', '.join(self.shocks) or '(none)'}")
        return shocks

    def _impulses(self, size):
        """Impulse vectors, one column per shock: the lower Cholesky factor of
        the shock covariance (size "std") or the identity (size "unit")."""
        if size == "std":
            return lower_cholesky(self.shock_cov_matrix)
        if size == "unit":
            return np.eye(len(self.shocks))
        raise ModelError(f"irf: size must be 'std' or 'unit', got {size!r}")

    def _responses(self, periods, impulses):
        """First-order responses (periods x n x columns of impulses), solver order."""
        T, R = self._transition(), self._impact() @ impulses
        n, k = R.shape
        E = np.zeros((periods, 1))
        E[0, 0] = 1.0
        out = np.empty((periods, n, k))
        for j in range(k):
            out[:, :, j] = bridge.linear_paths(T, R[:, j:j + 1], E)
        return out

    # -- impulse responses -------------------------------------------------------
    def irf(self, periods=40, shocks=None, size="std", draws=200, seed=None):
        """Impulse responses, in deviations from the steady state.

        Parameters
        ----------
        periods : int
            Number of periods; period 1 is the impact.
        shocks : str or list of str, optional
            The shocks to respond to (all by default).
        size : {"std", "unit"}
            "std": a one-standard-deviation impulse, orthogonalised as Dynare's
            ``stoch_simul`` does: the impulse of shock j is column j of the
            lower Cholesky factor of the shock covariance, shocks in declared
            order (so with correlated shocks an impulse to the first shock
            moves the later ones on impact). "unit": a unit impulse to the
            shock alone.
        draws : int
            Order 2 only: number of simulated histories.
        seed : int, optional
            Order 2 only: seed of the Philox stream of the histories.

        Returns
        -------
        pandas.DataFrame
            Index 1..periods, columns a MultiIndex (shock, variable). For a
            loglinear solution the responses are in logs.

        Notes
        -----
        At order 2 these are generalised impulse responses of the pruned
        system: the mean over `draws` histories (each ``GIRF_BURN`` periods of
        random shocks from the steady state) of the path with the impulse
        added to the first period's shocks minus the path without it, both
        driven by the same random numbers.
        """
        periods = _positive(periods, "irf: periods")
        names = self._shock_names(shocks)
        cols = [self.shocks.index(s) for s in names]
        impulses = self._impulses(size)[:, cols]
        if self.order == 1:
            resp = self._responses(periods, impulses)
        else:
            resp = self._girf(periods, impulses, _positive(draws, "irf: draws"), seed)
        resp = resp[:, self.rows, :]
        columns = pd.MultiIndex.from_product([names, list(self.variables)],
                                             names=["shock", "variable"])
        values = resp.transpose(0, 2, 1).reshape(periods, -1)
        return pd.DataFrame(values, index=pd.RangeIndex(1, periods + 1, name="period"),
                            columns=columns)

    def _girf(self, periods, impulses, draws, seed):
        m = len(self.shocks)
        L = lower_cholesky(self.shock_cov_matrix)
        total = GIRF_BURN + periods
        z = bridge.standard_normals(draws * total * m, _seed(seed)).reshape(draws, total, m)
        E = z @ L.T
        n = self._impact().shape[0]
        out = np.zeros((periods, n, impulses.shape[1]))
        for d in range(draws):
            base = bridge.pruned_paths(self.second, E[d])[GIRF_BURN:]
            for j in range(impulses.shape[1]):
                hit = E[d].copy()
                hit[GIRF_BURN] += impulses[:, j]
                out[:, :, j] += bridge.pruned_paths(self.second, hit)[GIRF_BURN:] - base
        return out / draws

    # -- moments -----------------------------------------------------------------
    def _first_order_only(self, what):
        if self.order != 1:
            raise ModelError(f"{what} is computed for first-order solutions; solve with "
                             "order=1")

    def _covariance(self):
        self._first_order_only("the covariance")
        rows = self.rows
        return self._cov_all()[np.ix_(rows, rows)]

    def covariance(self):
        """Theoretical covariance matrix of the variables (first order).

        Exact, from the discrete Lyapunov equation of the decision rule
        (solved by a compiled real-Schur solver).

        Returns
        -------
        pandas.DataFrame
            Rows and columns the variables.

        Raises
        ------
        SolutionError
            When the transition has a unit or explosive root (no stationary
            covariance).
        """
        names = list(self.variables)
        return pd.DataFrame(self._covariance(), index=names, columns=names)

    def correlation(self):
        """Theoretical correlation matrix of the variables (first order).

        Returns
        -------
        pandas.DataFrame
            Rows and columns the variables; NaN for a variable of zero variance.
        """
        G = self._covariance()
        sd = np.sqrt(np.diag(G))
        with np.errstate(divide="ignore", invalid="ignore"):
            C = G / np.outer(sd, sd)
        names = list(self.variables)
        return pd.DataFrame(C, index=names, columns=names)

    def moments(self):
        """Theoretical mean, standard deviation and variance of each variable.

        At first order the mean is the steady state and the variance solves
        the discrete Lyapunov equation of the decision rule.

        Returns
        -------
        pandas.DataFrame
            Rows the variables, columns ``mean``, ``std``, ``variance``
            (logs for a loglinear solution).
        """
        var = np.diag(self._covariance()).copy()
        return pd.DataFrame({"mean": self.steady_state.to_numpy(), "std": np.sqrt(var),
                             "variance": var}, index=list(self.variables))

    def autocorrelation(self, lags=5):
        """Theoretical autocorrelations corr(y(t), y(t-k)), k = 1..lags.

        Parameters
        ----------
        lags : int

        Returns
        -------
        pandas.DataFrame
            Rows the variables, columns the lags 1..lags; NaN for a variable
            of zero variance.
        """
        self._first_order_only("the autocorrelation")
        lags = _positive(lags, "autocorrelation: lags")
        G = self._cov_all()
        T = self._transition()
        rows = self.rows
        var = np.diag(G)[rows]
        out = np.empty((len(rows), lags))
        Gk = G
        for k in range(lags):
            Gk = T @ Gk
            out[:, k] = np.diag(Gk)[rows]
        with np.errstate(divide="ignore", invalid="ignore"):
            out = out / var[:, None]
        return pd.DataFrame(out, index=list(self.variables),
                            columns=pd.RangeIndex(1, lags + 1, name="lag"))

    def variance_decomposition(self, horizons=None):
        """Shares of the shocks in the variance of each variable, in percent.

        Parameters
        ----------
        horizons : list of int, optional
            None: the decomposition of the unconditional variance. Otherwise
            the conditional decomposition of the h-step-ahead forecast error
            variance at each horizon h (h = 1 is the impact).

        Returns
        -------
        pandas.DataFrame
            Columns the shocks, each row summing to 100. Rows the variables,
            or a MultiIndex (horizon, variable) with horizons. NaN for a
            variable of zero variance.

        Notes
        -----
        Correlated shocks are orthogonalised as Dynare does: by the lower
        Cholesky factor of the shock covariance in declared order, so the
        share of a shock includes what it moves of the shocks declared after
        it.
        """
        self._first_order_only("the variance decomposition")
        L = lower_cholesky(self.shock_cov_matrix)
        m = L.shape[1]
        rows = self.rows
        if horizons is None:
            parts = np.column_stack([np.diag(self._cov_all(np.outer(L[:, j], L[:, j])))[rows]
                                     for j in range(m)]) if m else np.zeros((len(rows), 0))
            index = list(self.variables)
        else:
            hs = [_positive(h, "variance_decomposition: horizon") for h in np.ravel(horizons)]
            resp = self._responses(max(hs), L)[:, rows, :]
            cum = np.cumsum(resp * resp, axis=0)
            parts = np.concatenate([cum[h - 1] for h in hs])
            index = pd.MultiIndex.from_product([hs, list(self.variables)],
                                               names=["horizon", "variable"])
        total = parts.sum(axis=1, keepdims=True)
        with np.errstate(divide="ignore", invalid="ignore"):
            pct = 100.0 * parts / total
        return pd.DataFrame(pct, index=index, columns=list(self.shocks))

    # -- simulation --------------------------------------------------------------
    def simulate(self, periods, seed=None, burn=0, shocks=None):
        """Simulate the model from its steady state.

        First order: the linear decision rule; order 2: the pruned
        second-order system (Kim, Kim, Schaumburg and Sims).

        Parameters
        ----------
        periods : int
            Periods returned.
        seed : int, optional
            Seed of the Philox stream the shocks are drawn from (the same seed
            gives the same path); random when None.
        burn : int
            Periods simulated first and dropped.
        shocks : array_like or pandas.DataFrame, optional
            (burn + periods) x shocks values to use instead of random draws
            (a DataFrame's columns are matched by shock name, missing ones 0).

        Returns
        -------
        pandas.DataFrame
            Index 1..periods, one column per variable, in levels (a loglinear
            solution's logs exponentiated).
        """
        periods = _positive(periods, "simulate: periods")
        burn = int(burn)
        if burn < 0:
            raise ModelError(f"simulate: burn must be non-negative, got {burn}")
        total, m = burn + periods, len(self.shocks)
        if shocks is None:
            z = bridge.standard_normals(total * m, _seed(seed)).reshape(total, m)
            E = z @ lower_cholesky(self.shock_cov_matrix).T
        else:
            if isinstance(shocks, pd.DataFrame):
                shocks = shocks.reindex(columns=list(self.shocks), fill_value=0.0)
            E = np.asarray(shocks, dtype=float).reshape(-1, m) if m else np.zeros((total, 0))
            if E.shape[0] != total:
                raise ModelError(f"simulate: shocks need {total} rows (burn + periods), got "
                                 f"{E.shape[0]}")
        ss = np.asarray(self.first.ss, dtype=float)
        if self.order == 1:
            Y = bridge.linear_paths(self._transition(), self._impact(), E, mu=ss)
        else:
            Y = bridge.pruned_paths(self.second, E, offset=ss)
        Y = Y[burn:, self.rows]
        if self.loglinear:
            Y = np.exp(Y)
        return pd.DataFrame(Y, index=pd.RangeIndex(1, periods + 1, name="period"),
                            columns=list(self.variables))


def _positive(value, what):
    if isinstance(value, bool) or int(value) != value or value < 1:
        raise ModelError(f"{what} must be a positive integer, got {value!r}")
    return int(value)


def _seed(seed):
    return secrets.randbits(64) if seed is None else seed
