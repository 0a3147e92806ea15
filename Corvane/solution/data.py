"""What a solution says about data: the Kalman filter and smoother,
historical decompositions and forecasts (methods of `Solution`)."""

from dataclasses import dataclass

import numpy as np
import pandas as pd
from scipy.stats import norm

from .._bridge import analysis as bridge
from ..errors import ModelError
from .analysis import lower_cholesky


@dataclass(frozen=True)
class FilterResult:
    """Kalman filter of a first-order solution on data.

    States are deviations from the steady state, one column per variable;
    the data's index labels every table. The covariance arrays are
    (periods x variables x variables) in the column order of the tables.

    Attributes
    ----------
    loglike : float
        Gaussian log-likelihood of the observed entries.
    predicted_states, filtered_states : pandas.DataFrame
        E[x(t) | data to t-1] and E[x(t) | data to t].
    predicted_state_cov, filtered_state_cov : numpy.ndarray
    innovations : pandas.DataFrame
        Observed minus predicted observables (NaN where missing).
    innovation_cov : numpy.ndarray
        (periods x observables x observables).
    """

    loglike: float
    predicted_states: pd.DataFrame
    filtered_states: pd.DataFrame
    predicted_state_cov: np.ndarray
    filtered_state_cov: np.ndarray
    innovations: pd.DataFrame
    innovation_cov: np.ndarray


@dataclass(frozen=True)
class SmootherResult:
    """Kalman (disturbance) smoother of a first-order solution on data.

    Attributes
    ----------
    loglike : float
    states : pandas.DataFrame
        E[x(t) | all data], deviations from the steady state.
    states_cov : numpy.ndarray
        (periods x variables x variables).
    shocks : pandas.DataFrame
        E[e(t) | all data]; the shock of period t enters period t's equations.
    shocks_cov : numpy.ndarray
    measurement_errors : pandas.DataFrame
        E[u(t) | all data], one column per observable.
    measurement_errors_cov : numpy.ndarray
    """

    loglike: float
    states: pd.DataFrame
    states_cov: np.ndarray
    shocks: pd.DataFrame
    shocks_cov: np.ndarray
    measurement_errors: pd.DataFrame
    measurement_errors_cov: np.ndarray


class DataMethods:
    """Filtering, smoothing, historical decompositions and forecasts; mixed
    into `Solution`."""

    def _observables(self, data):
        if not isinstance(data, pd.DataFrame):
            raise ModelError("data must be a pandas DataFrame with one column per observable")
        names = list(self.model.observables) or [c for c in data.columns
                                                 if c in self.variables_all]
        if not names:
            raise ModelError("the model declares no observables (varobs) and no data column "
                             "is an endogenous variable")
        missing = [v for v in names if v not in data.columns]
        if missing:
            raise ModelError(f"data: no column for the observable{'s' * (len(missing) > 1)} "
                             f"{', '.join(missing)}")
        return names

    def _state_space(self, data):
        """(names, A, B, Z, d, S, H, Y, x0, P0) of x(t) = every variable in
        deviations (solver order), y = Z x + d + u."""
        if self.order != 1:
            raise ModelError("filter and smooth need a first-order solution: solve(order=1)")
        names = self._observables(data)
        allv = list(self.variables_all)
        rows = [allv.index(v) for v in names]
        A, B = self._transition(), self._impact()
        n = A.shape[0]
        Z = np.zeros((len(names), n))
        Z[np.arange(len(names)), rows] = 1.0
        d = np.asarray(self.first.ss, dtype=float)[rows]
        meas = getattr(self.model, "_measurement_cov", None)
        H = np.zeros((len(names), len(names)))
        if meas is not None and len(meas):
            H = meas.reindex(index=names, columns=names, fill_value=0.0).to_numpy(dtype=float)
        Y = data[names].to_numpy(dtype=float)
        return names, A, B, Z, d, self.shock_cov_matrix, H, Y, np.zeros(n), self._cov_all()

    def _frame(self, values, index, columns):
        return pd.DataFrame(values, index=index, columns=columns)

    def filter(self, data):
        """Kalman filter of the first-order solution on data.

        Parameters
        ----------
        data : pandas.DataFrame
            One column per observable (the model's ``varobs``, else the columns
            named as endogenous variables), in the solution's units (logs for
            a loglinear solution); NaN marks a missing observation. The filter
            starts from the stationary distribution; measurement errors are
            those of the model's shocks block.

        Returns
        -------
        FilterResult
        """
        names, *ss = self._state_space(data)
        filt, _ = bridge.filter_smooth(*ss, smooth=False)
        return self._filter_result(filt, data.index, names)

    def _filter_result(self, filt, index, names):
        rows, cols = self.rows, list(self.variables)
        sub = np.ix_(np.arange(filt["P_pred"].shape[0]), rows, rows)
        return FilterResult(
            loglike=float(filt["loglik"][0]),
            predicted_states=self._frame(filt["x_pred"][:, rows], index, cols),
            filtered_states=self._frame(filt["x_filt"][:, rows], index, cols),
            predicted_state_cov=filt["P_pred"][sub], filtered_state_cov=filt["P_filt"][sub],
            innovations=self._frame(filt["innov"], index, names),
            innovation_cov=filt["innov_cov"])

    def smooth(self, data):
        """Kalman smoother (Durbin and Koopman's disturbance smoother) on data.

        Parameters
        ----------
        data : pandas.DataFrame
            As for `filter`; NaN marks a missing observation.

        Returns
        -------
        SmootherResult
            Smoothed states (deviations from the steady state), shocks and
            measurement errors with their covariances, labelled by the data's
            index.
        """
        return self._smooth(data)[0]

    def _smooth(self, data):
        names, *ss = self._state_space(data)
        filt, sm = bridge.filter_smooth(*ss, smooth=True)
        rows, cols, idx = self.rows, list(self.variables), data.index
        T = sm["x_smooth"].shape[0]
        result = SmootherResult(
            loglike=float(filt["loglik"][0]),
            states=self._frame(sm["x_smooth"][:, rows], idx, cols),
            states_cov=sm["P_smooth"][np.ix_(np.arange(T), rows, rows)],
            shocks=self._frame(sm["shocks"], idx, list(self.shocks)),
            shocks_cov=sm["shocks_cov"],
            measurement_errors=self._frame(sm["meas_err"], idx, names),
            measurement_errors_cov=sm["meas_err_cov"])
        return result, sm, filt, ss

    def historical_decomposition(self, data):
        """Contributions of the smoothed shocks and of the initial state to
        the smoothed path of every variable.

        Parameters
        ----------
        data : pandas.DataFrame
            As for `smooth`.

        Returns
        -------
        pandas.DataFrame
            The data's index; columns a MultiIndex (variable, source), sources
            the shock names and ``initial`` (the propagated smoothed state
            before the sample). Per variable the sources sum to the smoothed
            path (deviations from the steady state). Measurement errors are
            not part of the smoothed path (they are in
            ``smooth(data).measurement_errors``).
        """
        _, sm, _, ss = self._smooth(data)
        A, B = ss[0], ss[1]
        x, e = sm["x_smooth"], sm["shocks"]
        T, n = x.shape
        m = B.shape[1]
        parts = np.empty((T, n, m + 1))
        for j in range(m):
            parts[:, :, j] = bridge.linear_paths(A, B[:, j:j + 1], e[:, j:j + 1])
        # x(0) = A x(-1) + B e(0): the initial part is A^t (x(0) - B e(0))
        pulse = np.zeros((T, 1))
        pulse[0] = 1.0
        parts[:, :, m] = bridge.linear_paths(A, (x[0] - B @ e[0])[:, None], pulse)
        parts = parts[:, self.rows, :]
        sources = list(self.shocks) + ["initial"]
        columns = pd.MultiIndex.from_product([list(self.variables), sources],
                                             names=["variable", "source"])
        return pd.DataFrame(parts.reshape(T, -1), index=data.index, columns=columns)

    def forecast(self, periods=8, data=None, bands=(0.05, 0.95)):
        """Mean forecasts and Gaussian bands of the first-order solution.

        Parameters
        ----------
        periods : int
            Forecast horizon.
        data : pandas.DataFrame, optional
            Forecast from the filtered state at the end of these data (as for
            `filter`); from the steady state when None.
        bands : sequence of float
            Quantiles of the forecast distribution (shock and, with data,
            state uncertainty).

        Returns
        -------
        pandas.DataFrame
            Rows the forecast periods (continuing the data's index when it
            has a frequency, else 1..periods), columns a MultiIndex (variable,
            ``mean`` or the quantile), in the solution's units (levels; logs
            for a loglinear solution).
        """
        if self.order != 1:
            raise ModelError("forecast needs a first-order solution: solve(order=1)")
        periods = int(periods)
        if periods < 1:
            raise ModelError(f"forecast: periods must be a positive integer, got {periods}")
        A, B = self._transition(), self._impact()
        n = A.shape[0]
        if data is None:
            x, P = np.zeros(n), np.zeros((n, n))
        else:
            _, *ss = self._state_space(data)
            filt, _ = bridge.filter_smooth(*ss, smooth=False)
            x, P = filt["x_filt"][-1], filt["P_filt"][-1]
        mean = bridge.linear_paths(A, np.zeros((n, 1)), np.zeros((periods, 1)), s0=x)
        # forecast error variance: shocks' responses plus the propagated state
        # uncertainty, column by column of factors
        L = lower_cholesky(self.shock_cov_matrix)
        resp = self._responses(periods, L)
        var = np.cumsum((resp * resp).sum(axis=2), axis=0)
        w, V = np.linalg.eigh(0.5 * (P + P.T))
        U = V[:, w > 0] * np.sqrt(w[w > 0])
        pulse = np.zeros((periods, 1))
        pulse[0] = 1.0
        for j in range(U.shape[1]):
            path = bridge.linear_paths(A, (A @ U[:, j])[:, None], pulse)
            var += path * path
        rows = self.rows
        ss_rows = np.asarray(self.first.ss, dtype=float)[rows]
        mu, sd = mean[:, rows] + ss_rows, np.sqrt(var[:, rows])
        tables = {"mean": mu}
        for q in bands:
            tables[q] = mu + norm.ppf(q) * sd
        stats = list(tables)
        values = np.stack([tables[s] for s in stats], axis=2)
        columns = pd.MultiIndex.from_product([list(self.variables), stats],
                                             names=["variable", "statistic"])
        return pd.DataFrame(values.reshape(periods, -1), index=_future(data, periods),
                            columns=columns)


def _future(data, periods):
    index = getattr(data, "index", None)
    freq = getattr(index, "freq", None)
    if isinstance(index, pd.PeriodIndex) and len(index):
        return pd.period_range(index[-1] + 1, periods=periods, freq=index.freq)
    if freq is not None and len(index):
        return pd.date_range(index[-1], periods=periods + 1, freq=freq)[1:]
    return pd.RangeIndex(1, periods + 1, name="period")
