"""Solve the RBC example model to first and second order.

Reads `examples/models/rbc.mod`, prints the model, its steady state, the
first- and second-order decision rules and the eigenvalues with the
Blanchard-Kahn count, then solves it again at other parameter values.

    python examples/demo_solve.py
"""

from pathlib import Path

import Corvane

RBC_FILE = Path(__file__).resolve().parent / "models" / "rbc.mod"


def rbc_model():
    """The RBC example model (`examples/models/rbc.mod`)."""
    return Corvane.Model.from_mod(RBC_FILE)


def run(params=None, verbose=True):
    """Solve the RBC model to first and second order at `params` (a dict of
    parameter values; default the file's) and print the solutions; returns
    the second-order `Corvane.Solution`."""
    model = rbc_model()
    first = model.solve(order=1, params=params)
    second = model.solve(order=2, params=params)
    if not verbose:
        return second
    print(model)
    print()
    print(second.summary())
    same = first.policy.equals(second.policy)
    print(f"\nfirst-order rule of the second-order solution identical to order 1: "
          f"{'yes' if same else 'no'}")
    # another calibration: a less persistent productivity process
    other = model.solve(params={"rho": 0.9})
    print("\nWith rho = 0.9 instead of 0.95, the response to a productivity shock:")
    print(other.policy[["e"]].T.to_string(float_format=lambda v: f"{v:.5f}"))
    return second


if __name__ == "__main__":
    run()
