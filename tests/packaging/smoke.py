"""Smoke test of an installed distribution (.ci/run runs it in a fresh venv
holding only the installed sdist): the version, one solve of the RBC example
model through the public API, and one kernel call through ctypes.

    python tests/packaging/smoke.py   # from outside the source tree's root
"""

import sys
from pathlib import Path

import numpy as np

import Corvane
from Corvane._ckernels import ffi

REPO = Path(__file__).resolve().parents[2]

if Path(Corvane.__file__).resolve().parent == REPO / "Corvane":
    sys.exit(f"smoke test: Corvane was imported from the source tree ({Corvane.__file__})")

solution = Corvane.Model.from_mod(REPO / "examples" / "models" / "rbc.mod").solve()
assert "condition satisfied" in solution.blanchard_kahn, solution.blanchard_kahn
assert np.all(np.isfinite(solution.steady_state)) and np.all(np.isfinite(solution.policy))

A = np.array([[4.0, 2.0], [2.0, 3.0]])
L = np.empty((2, 2))
status = ffi.load("transforms").crv_chol(A, L, 2, 0.0)
assert status == 0 and np.allclose(L, np.linalg.cholesky(A), rtol=1e-15, atol=0.0), (status, L)

include = Path(Corvane.get_include()) / "corvane"
assert (include / "linalg.h").is_file() and (include / "scalars.hpp").is_file()
print(f"smoke test: Corvane {Corvane.__version__} from {Path(Corvane.__file__).parent}: "
      f"{solution.blanchard_kahn}; crv_chol ok")
