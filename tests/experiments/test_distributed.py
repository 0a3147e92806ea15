"""Experiments on a Dask LocalCluster of two worker processes: rows
bit-identical to the single-machine run for any number of shards, and a
worker killed mid-run costs only its shards, recomputed elsewhere with the
same result."""

import os
import signal
import threading
import time

import pandas as pd
import pytest

import Corvane
from Corvane.experiments import Experiment

distributed = pytest.importorskip("distributed")

AR = """
var y a;
varexo e;
parameters rho;
rho = 0.7;
model;
  a = rho*a(-1) + e;
  y = a + e;
end;
shocks; var e; stderr 1; end;
"""


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None, silence_logs=40)
    with distributed.Client(cluster) as c:
        yield c
    cluster.close()


@pytest.fixture(scope="module")
def sol():
    return Corvane.Model.from_mod(AR).solve()


@pytest.fixture(scope="module")
def experiment(sol):
    exp = Experiment(600, periods=120, seed=42, threads=2).simulate(sol, ["y", "a"], burn=20)
    exp.transform("diff")
    return exp.test("ljung_box", "y", lags=6).test("chow", "a", regressors=["y"])


@pytest.fixture(scope="module")
def local(experiment):
    return experiment.run()


@pytest.mark.parametrize("shards", [None, 3, 16])
def test_cluster_rows_equal_the_local_run(client, experiment, local, shards):
    res = experiment.run(executor=client, shards=shards)
    pd.testing.assert_frame_equal(res.table(), local.table(), check_exact=True)


def test_a_lost_worker_costs_only_its_shards(client, sol, tmp_path):
    """Kill one worker process (SIGKILL) once the first shards are written:
    the scheduler recomputes the shards it held on the other worker (or the
    nanny's replacement) and the gathered rows are unchanged."""
    pids = client.run(os.getpid)
    victim = sorted(pids)[0]
    at_kill = []

    def kill_after_first_shard():
        deadline = time.monotonic() + 30
        while not list(tmp_path.glob("shard-*.npz")) and time.monotonic() < deadline:
            time.sleep(0.005)
        at_kill.append(len(list(tmp_path.glob("shard-*.npz"))))
        os.kill(pids[victim], signal.SIGKILL)

    exp = (Experiment(20000, periods=400, seed=42).simulate(sol, ["y", "a"], burn=20)
           .transform("diff").test("ljung_box", "y", lags=6))
    reference = exp.run()
    killer = threading.Thread(target=kill_after_first_shard, daemon=True)
    killer.start()
    res = exp.run(executor=client, shards=80, directory=tmp_path)
    killer.join(30)
    assert at_kill and 1 <= at_kill[0] < 80, "the worker was not killed mid-run"
    assert victim not in client.run(os.getpid) or client.run(os.getpid)[victim] != pids[victim]
    pd.testing.assert_frame_equal(res.table(), reference.table(), check_exact=True)
    assert len(list(tmp_path.glob("shard-*.npz"))) == 80
