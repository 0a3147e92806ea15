"""Corvane demo: solve, simulate and filter, Monte Carlo, estimate.

Runs each section on its embedded defaults, in order:

    solve       demo_solve.py            the RBC model to first and second order
    simulate    demo_simulate_filter.py  simulation; linear, extended, unscented filters
    monte-carlo demo_monte_carlo.py      Monte Carlo experiments (when present)
    estimate    demo_estimate.py         a model file's estimation: mode, chains, tables

Each section is a module with a `run()` function that can be run or copied
on its own. Plots (PNG) are written to the current directory when matplotlib
is installed.

    python examples/demo.py [--only SECTION]
"""

import argparse
import importlib
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent

SECTIONS = [
    ("solve", "Model solution", "demo_solve"),
    ("simulate", "Simulation and filtering", "demo_simulate_filter"),
    ("monte-carlo", "Monte Carlo", "demo_monte_carlo"),
    ("estimate", "Estimation", "demo_estimate"),
]


def available(module_name):
    return (HERE / f"{module_name}.py").is_file()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", choices=[key for key, _, _ in SECTIONS],
                        help="run one section only")
    args = parser.parse_args(argv)
    if str(HERE) not in sys.path:
        sys.path.insert(0, str(HERE))

    start = time.perf_counter()
    for key, title, module_name in SECTIONS:
        if args.only and key != args.only:
            continue
        print(f"\n=== {title} " + "=" * max(3, 66 - len(title)))
        if not available(module_name):
            print(f"(skipped: examples/{module_name}.py is not in this checkout)")
            continue
        try:
            module = importlib.import_module(module_name)
        except ImportError as exc:
            print(f"(skipped: {module_name} could not be imported: {exc})")
            continue
        t0 = time.perf_counter()
        module.run()
        print(f"\n({title}: {time.perf_counter() - t0:.1f} s)")
    print(f"\nDemo finished in {time.perf_counter() - start:.1f} s.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
