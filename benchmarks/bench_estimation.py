"""Estimation: posterior evaluation cost, and mode plus 2 chains of 20,000
draws, Corvane against Dynare (GNU Octave) on the same model file.

`estimation/rbc15.mod` (15 variables, 3 shocks, output and consumption
observed, 7 estimated) is estimated from 200 simulated periods written to a
temporary folder. Measured:

1. the cost of one posterior evaluation through `Estimation` (the compiled
   target, filter started from the unconditional covariance) against the raw
   compiled objective `crv_post_linear` on the same record (fixed P0);
2. wall time of `find_mode()` plus `sample(draws=20000, chains=2)`;
3. when `octave` with Dynare is on the path, the wall time of Dynare's
   `estimation` of the same file (mode_compute=4, mh_replic=20000,
   mh_nblocks=2), with its mode and posterior means.

    python benchmarks/bench_estimation.py [--no-dynare] [--markdown]
"""

import argparse
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np
import pandas as pd

import Corvane

HERE = pathlib.Path(__file__).resolve().parent
MOD = HERE / "estimation" / "rbc15.mod"
T, BURN, SEED = 200, 100, 7


def simulate(model, path):
    """200 periods of y and c (levels) from the first-order solution."""
    sol = model.solve()
    policy, ss = sol.policy, sol.steady_state
    states = [s.split("(")[0] for s in sol.states]
    shocks = list(sol.shocks)
    sd = np.sqrt(np.diag(model.shock_cov.loc[shocks, shocks].to_numpy()))
    A = policy[list(sol.states)].to_numpy()
    B = policy[shocks].to_numpy()
    rows = [list(policy.index).index(v) for v in states]
    rng = np.random.default_rng(SEED)
    s, out = np.zeros(len(states)), []
    for t in range(BURN + T):
        dev = A @ s + B @ (sd * rng.standard_normal(len(shocks)))
        s = dev[rows]
        if t >= BURN:
            out.append(dev)
    dev = pd.DataFrame(out, columns=policy.index)
    pd.DataFrame({v: ss[v] + dev[v] for v in ("y", "c")}).to_csv(path, index=False,
                                                               float_format="%.17g")


def best(fn, n, repeat=5):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        for _ in range(n):
            fn()
        times.append((time.perf_counter() - t) / n)
    return min(times)


def corvane(work):
    model = Corvane.Model.from_mod(work / "rbc15.mod")
    t0 = time.perf_counter()
    est = model.estimation()
    t_setup = time.perf_counter() - t0
    target = est._target
    theta = est._to_theta(est._init)
    lib = target.lib
    t_target = best(lambda: lib.crv_target_logpost(theta, target.address), 500)
    target.objective.P0[:] = np.eye(len(target.objective.P0))
    t_raw = best(lambda: lib.crv_post_linear(theta, target.objective.address), 500)
    t1 = time.perf_counter()
    mode = est.find_mode()
    t2 = time.perf_counter()
    post = est.sample(draws=20000, chains=2, seed=1, mode=mode, progress=False)
    t3 = time.perf_counter()
    return {"setup": t_setup, "eval_target": t_target, "eval_raw": t_raw, "mode": t2 - t1,
            "sample": t3 - t2, "mode_values": mode.params, "mean": post.draws.mean(),
            "log_posterior": mode.log_posterior, "laplace": mode.laplace,
            "acceptance": post.acceptance.mean(), "nfev": mode.nfev}


OCTAVE = """
tic; dynare rbc15 nograph nolog; wall = toc;
names = M_.param_names(estim_params_.param_vals(:, 1));
mode = oo_.posterior_mode; mean_ = oo_.posterior_mean;
printf('WALL %.6f\\n', wall);
printf('LOGPOST %.10f\\n', oo_.posterior.optimization.log_density);
printf('LAPLACE %.10f\\n', oo_.MarginalDensity.LaplaceApproximation);
fn = fieldnames(mode.parameters);
for i = 1:numel(fn), printf('MODE %s %.10g %.10g\\n', fn{i}, mode.parameters.(fn{i}), mean_.parameters.(fn{i})); end
fn = fieldnames(mode.shocks_std);
for i = 1:numel(fn), printf('MODE stderr %s %.10g %.10g\\n', fn{i}, mode.shocks_std.(fn{i}), mean_.shocks_std.(fn{i})); end
"""


def dynare(work):
    if shutil.which("octave") is None:
        return None
    t = time.perf_counter()
    run = subprocess.run(["octave", "--no-gui", "--quiet", "--no-window-system", "--eval",
                          OCTAVE], cwd=work, capture_output=True, text=True)
    total = time.perf_counter() - t
    text = run.stdout
    if "WALL" not in text:
        print(text[-3000:], run.stderr[-3000:], file=sys.stderr)
        return None
    mode, mean = {}, {}
    for line in text.splitlines():
        if line.startswith("MODE "):
            parts = line.split()
            name = " ".join(parts[1:-2])
            mode[name], mean[name] = float(parts[-2]), float(parts[-1])
    return {"wall": float(re.search(r"WALL (\S+)", text).group(1)), "process": total,
            "log_posterior": float(re.search(r"LOGPOST (\S+)", text).group(1)),
            "laplace": float(re.search(r"LAPLACE (\S+)", text).group(1)),
            "mode": mode, "mean": mean}


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--no-dynare", action="store_true")
    parser.add_argument("--markdown", action="store_true")
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory() as tmp:
        work = pathlib.Path(tmp)
        shutil.copy(MOD, work)
        simulate(Corvane.Model.from_mod(work / "rbc15.mod"), work / "rbc15_data.csv")
        c = corvane(work)
        d = None if args.no_dynare else dynare(work)
    ratio = c["eval_target"] / c["eval_raw"]
    print(f"posterior evaluation: Estimation target {1e6 * c['eval_target']:.1f} us, raw "
          f"crv_post_linear {1e6 * c['eval_raw']:.1f} us (ratio {ratio:.3f})")
    print(f"Corvane: set-up {c['setup']:.2f} s, mode {c['mode']:.2f} s ({c['nfev']} "
          f"evaluations), 2 x 20000 draws {c['sample']:.2f} s: total "
          f"{c['mode'] + c['sample']:.2f} s; acceptance {c['acceptance']:.1%}")
    print(f"  log posterior at the mode {c['log_posterior']:.4f}, Laplace {c['laplace']:.4f}")
    if d is not None:
        print(f"Dynare: {d['wall']:.1f} s inside Octave ({d['process']:.1f} s with start-up); "
              f"log posterior at the mode {d['log_posterior']:.4f}, Laplace {d['laplace']:.4f}")
    rows = []
    for name in c["mode_values"].index:
        dn = name if name.startswith("stderr") else name
        rows.append((name, c["mode_values"][name], c["mean"][name],
                     d["mode"].get(dn, np.nan) if d else np.nan,
                     d["mean"].get(dn, np.nan) if d else np.nan))
    table = pd.DataFrame(rows, columns=["parameter", "Corvane mode", "Corvane mean",
                                        "Dynare mode", "Dynare mean"]).set_index("parameter")
    if args.markdown:
        print("| " + " | ".join([table.index.name] + list(table.columns)) + " |")
        print("|" + "---|" * (len(table.columns) + 1))
        for name, row in table.iterrows():
            print(f"| {name} | " + " | ".join(f"{v:.5g}" for v in row) + " |")
    else:
        print(table.to_string())


if __name__ == "__main__":
    main(sys.argv[1:])
