"""Monte Carlo experiments: size and power, and scale over Dask workers.

1. Size and power of the Ljung-Box test on pruned second-order simulated
   data: y = exp(a) - 1 with a = rho a(-1) + e, solved to second order and
   simulated with pruning; rho = 0 makes y i.i.d. (the null), rho > 0 an
   alternative. 10,000 replications of T = 200, 10 lags.
2. Scale: one experiment (shocks, pruned simulation, Ljung-Box) on this
   machine with 1 and 2 threads, and on a Dask LocalCluster with 1 and 2
   worker processes of one thread each; the per-shard cost and the bytes
   moved per shard (the pickled plan sent, the rows returned).

Prints the tables and writes them as the "## Experiments" section of
benchmarks/README.md (replacing an earlier one).

    python benchmarks/bench_experiments.py [--replications 10000]
        [--scale-replications 400000] [--no-write]
"""

import argparse
import os
import pickle
import re
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

import Corvane  # noqa: E402
from Corvane._bridge.experiment_job import run_shard  # noqa: E402
from Corvane.experiments import Experiment  # noqa: E402

README = os.path.join(os.path.dirname(os.path.abspath(__file__)), "README.md")

MODEL = """
var y a;
varexo e;
parameters rho;
rho = {rho};
model;
  a = rho*a(-1) + e;
  y = exp(a) - 1;
end;
steady_state_model; a = 0; y = 0; end;
shocks; var e; stderr 0.1; end;
"""


def experiment(rho, replications, threads=2, seed=2026):
    sol = Corvane.Model.from_mod(MODEL.format(rho=rho)).solve(order=2)
    exp = Experiment(replications, periods=200, seed=seed, threads=threads)
    return exp.simulate(sol, ["y"], burn=100).test("ljung_box", "y", lags=10)


def size_and_power(replications):
    rows = {}
    for rho in (0.0, 0.05, 0.1, 0.2, 0.3):
        rates = experiment(rho, replications).run().rejection_rates()
        rows[f"rho = {rho:g}"] = rates.iloc[0]
    table = pd.DataFrame(rows).T
    table["replications"] = table["replications"].astype(int)
    return table


def markdown(table, fmt):
    """A DataFrame as a Markdown table (index first)."""
    cols = [table.index.name or ""] + [str(c) for c in table.columns]
    lines = ["| " + " | ".join(cols) + " |", "|" + "---|" * len(cols)]
    for name, row in table.astype(object).iterrows():
        cells = [v if isinstance(v, str) else (f"{v:d}" if isinstance(v, (int, np.integer))
                                               else fmt(v)) for v in row.tolist()]
        lines.append("| " + " | ".join([str(name)] + cells) + " |")
    return "\n".join(lines)


def timed(fn, repeat=3):
    best = np.inf
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def scale(replications, shards):
    exp1 = experiment(0.2, replications, threads=1)
    exp2 = experiment(0.2, replications, threads=2)
    rows = {"this machine, 1 thread": timed(lambda: exp1.run()),
            "this machine, 2 threads": timed(lambda: exp2.run())}
    plan = exp1.plan()
    count = replications // shards
    per_shard = timed(lambda: run_shard(plan, 0, count, 1))
    sent = len(pickle.dumps((plan, 0, count, 1)))
    back = len(pickle.dumps(run_shard(plan, 0, count, 1)))
    try:
        import distributed
    except ImportError:
        distributed = None
    if distributed is not None:
        for workers in (1, 2):
            with distributed.LocalCluster(n_workers=workers, threads_per_worker=1,
                                          processes=True, dashboard_address=None,
                                          silence_logs=40) as cluster, \
                    distributed.Client(cluster) as client:
                exp1.run(executor=client, shards=shards)  # warm the workers
                rows[f"Dask, {workers} worker process{'es' * (workers > 1)}"] = timed(
                    lambda: exp1.run(executor=client, shards=shards))
    base = rows["this machine, 1 thread"]
    table = pd.DataFrame({"seconds": rows, "replications per second":
                          {k: replications / v for k, v in rows.items()},
                          "speed-up": {k: base / v for k, v in rows.items()}})
    return table, dict(per_shard=per_shard, count=count, sent=sent, back=back)


def paper_estimate(shard):
    """10^8 replications over 100 machines of 2 cores, from the measured
    per-replication cost and bytes per shard."""
    per_rep = shard["per_shard"] / shard["count"]
    reps, machines, cores = 10**8, 100, 2
    shard_reps = 10**5
    shards = reps // shard_reps
    compute = reps * per_rep / (machines * cores)
    back_per_rep = shard["back"] / shard["count"]
    moved = shards * shard["sent"] + reps * back_per_rep
    return (f"Per replication {per_rep * 1e6:.1f} us on one core; a shard of "
            f"{shard['count']} replications sends {shard['sent']:,} bytes (the plan) and returns "
            f"{shard['back']:,} bytes (about {back_per_rep:.0f} bytes per replication). "
            f"10^8 replications in {shards:,} shards of {shard_reps:,} over {machines} machines "
            f"of {cores} cores: {compute:.0f} s of compute per core, {moved / 1e9:.1f} GB "
            f"gathered in all ({moved / 1e9 / compute * 8:.2f} Gbit/s at the client while it "
            f"runs); a lost machine costs its running shards, {shard_reps * per_rep:.1f} s each.")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--replications", type=int, default=10000)
    ap.add_argument("--scale-replications", type=int, default=400000)
    ap.add_argument("--no-write", action="store_true")
    args = ap.parse_args()
    sp = size_and_power(args.replications)
    sc, shard = scale(args.scale_replications, 16)
    text = ["## Experiments", "",
            f"Ljung-Box (10 lags) rejection rates on pruned second-order simulated data, "
            f"T = 200, {args.replications} replications (rho = 0: size; rho > 0: power):", "",
            markdown(sp, lambda v: f"{v:.4f}"), "",
            f"Scale: {args.scale_replications} replications (pruned simulation, Ljung-Box), "
            f"16 shards on Dask; {os.cpu_count()} cores:", "",
            markdown(sc, lambda v: f"{v:,.3g}"), "", paper_estimate(shard), ""]
    out = "\n".join(text)
    print(out)
    if not args.no_write:
        old = open(README).read() if os.path.exists(README) else ""
        new = re.sub(r"## Experiments\n.*?(?=\n## |\Z)", lambda m: out.rstrip("\n") + "\n",
                     old, flags=re.S) if "## Experiments" in old else old.rstrip("\n") + "\n\n" + out
        with open(README, "w") as f:
            f.write(new)


if __name__ == "__main__":
    main()
