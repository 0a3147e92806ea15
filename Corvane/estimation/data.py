"""Observed data for an estimation: a DataFrame, an array or a data file.

Data files as Dynare's `datafile` option names them: CSV (a header row of
variable names; a first column of dates becomes the index), a MATLAB `.mat`
file (one vector per variable, read by SciPy) or a `.m` file of plain
`name = [ ... ];` assignments.
"""

import re
from pathlib import Path

import numpy as np
import pandas as pd

from ..errors import EstimationError

_ASSIGNMENT = re.compile(r"(?ms)^\s*([A-Za-z_]\w*)\s*=\s*\[(.*?)\]\s*'?\s*;")
_COMMENT = re.compile(r"(%|//).*?$", re.M)


def read_data_file(path):
    """A DataFrame of the variables in a CSV, .mat or .m data file."""
    path = Path(path)
    if not path.is_file():
        raise EstimationError(f"datafile: no file {path}")
    suffix = path.suffix.lower()
    if suffix == ".csv":
        frame = pd.read_csv(path)
        first = frame.columns[0]
        if str(first).startswith("Unnamed") or not pd.api.types.is_numeric_dtype(frame[first]):
            frame = frame.set_index(first)
            frame.index.name = None if str(first).startswith("Unnamed") else first
        return frame
    if suffix == ".mat":
        from scipy.io import loadmat

        content = {k: v for k, v in loadmat(path).items() if not k.startswith("__")}
        columns = {k: np.asarray(v, dtype=float).ravel() for k, v in content.items()
                   if isinstance(v, np.ndarray) and v.dtype.kind in "fiu" and min(v.shape) == 1}
        return _frame(columns, path)
    if suffix == ".m":
        text = _COMMENT.sub("", path.read_text())
        columns = {}
        for name, body in _ASSIGNMENT.findall(text):
            try:
                columns[name] = np.array([float(v) for v in re.split(r"[\s,;]+", body.strip())
                                          if v], dtype=float)
            except ValueError:
                raise EstimationError(f"{path}: '{name}' is not a list of numbers") from None
        return _frame(columns, path)
    raise EstimationError(f"datafile: {path.name} is not a .csv, .mat or .m file")


def _frame(columns, path):
    if not columns:
        raise EstimationError(f"{path}: no data vectors found")
    # vectors of other lengths (a file may hold more than the data) are padded with NaN
    return pd.DataFrame({k: pd.Series(v) for k, v in columns.items()})


def observed_frame(data, observables):
    """The observables' columns of `data` as a float DataFrame (index kept)."""
    if isinstance(data, pd.DataFrame):
        missing = [v for v in observables if v not in data.columns]
        if missing:
            raise EstimationError(f"data: no column for {', '.join(missing)}; the columns are "
                                  f"{', '.join(map(str, data.columns))}")
        frame = data[list(observables)].astype(float)
    elif isinstance(data, dict):
        return observed_frame(pd.DataFrame(data), observables)
    else:
        values = np.asarray(data, dtype=float)
        if values.ndim == 1 and len(observables) == 1:
            values = values[:, None]
        if values.ndim != 2 or values.shape[1] != len(observables):
            raise EstimationError(f"data: an array of shape {values.shape} for "
                                  f"{len(observables)} observables ({', '.join(observables)})")
        frame = pd.DataFrame(values, columns=list(observables))
    if frame.isna().to_numpy().any():
        bad = [v for v in observables if frame[v].isna().any()]
        raise EstimationError(f"data: missing observations in {', '.join(bad)}; estimation "
                              "with missing data is not supported yet")
    return frame


def sample(frame, first_obs, nobs):
    """Rows first_obs (1-based) to first_obs + nobs - 1."""
    if int(first_obs) != first_obs or first_obs < 1:
        raise EstimationError(f"first_obs must be a positive integer, got {first_obs!r}")
    first = int(first_obs) - 1
    available = len(frame) - first
    if nobs is None:
        nobs = available
    if int(nobs) != nobs or nobs < 1:
        raise EstimationError(f"nobs must be a positive integer, got {nobs!r}")
    if nobs > available:
        raise EstimationError(f"nobs = {int(nobs)} from first_obs = {first_obs}: the data have "
                              f"{len(frame)} rows")
    return frame.iloc[first:first + int(nobs)]
