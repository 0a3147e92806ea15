"""Build the Monte Carlo race checker and run it under Helgrind.

    python tests/monte_carlo/race/check.py [--keep DIR]

Compiles mc_race.cpp with the driver, the runners and the kernels they call
(the project's flags, -O1 -g for readable reports) plus gomp_hb.cpp, which
tells Helgrind about the ordering GCC's OpenMP runtime provides, then runs it
under Helgrind. Reports whose innermost frame lies inside libgomp are
suppressed (helgrind.supp); any other report, or a mismatch of the results,
fails the check. Exit status 0 on success."""

import argparse
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", "..", ".."))
KERNELS = os.path.join(ROOT, "Corvane", "_ckernels")
SOURCES = [
    "monte_carlo/mc_driver.cpp", "monte_carlo/mc_shocks.cpp", "monte_carlo/mc_runners.cpp",
    "common/simulate.cpp", "common/kalman.cpp", "common/ekf.cpp", "common/ukf.cpp",
    "common/dense.cpp", "common/philox.cpp",
]


def build(out_dir):
    exe = os.path.join(out_dir, "mc_race")
    npyrandom = os.path.join(os.path.dirname(np.__file__), "random", "lib")
    cmd = [
        os.environ.get("CXX", "g++"), "-std=c++20", "-O1", "-g", "-fopenmp",
        "-march=x86-64-v3", "-ffp-contract=off", "-fno-exceptions",
        "-I" + KERNELS, "-I" + os.path.join(KERNELS, "common"),
        "-I" + os.path.join(KERNELS, "monte_carlo"), "-I" + np.get_include(),
        "-I" + sysconfig.get_paths()["include"],
        os.path.join(HERE, "mc_race.cpp"), os.path.join(HERE, "gomp_hb.cpp"),
        *[os.path.join(KERNELS, s) for s in SOURCES],
        "-L" + npyrandom, "-lnpyrandom", "-lm", "-ldl", "-o", exe,
    ]
    subprocess.run(cmd, check=True)
    return exe


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keep", help="build into this folder and keep it")
    args = parser.parse_args()
    if shutil.which("valgrind") is None:
        print("race check: valgrind not found", file=sys.stderr)
        return 2
    out_dir = args.keep or tempfile.mkdtemp(prefix="mc_race_")
    os.makedirs(out_dir, exist_ok=True)
    try:
        start = time.perf_counter()
        exe = build(out_dir)
        built = time.perf_counter()
        result = subprocess.run([
            "valgrind", "--tool=helgrind", "--error-exitcode=3", "--error-limit=no",
            "--suppressions=" + os.path.join(HERE, "helgrind.supp"), exe])
        print(f"race check: build {built - start:.1f} s, helgrind run "
              f"{time.perf_counter() - built:.1f} s, exit {result.returncode}")
        return result.returncode
    finally:
        if not args.keep:
            shutil.rmtree(out_dir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
