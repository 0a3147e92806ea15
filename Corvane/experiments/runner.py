"""Running an experiment's shards: here, or on Dask workers, with finished
shards optionally written to a folder and read back on resume.

A shard is a replication range [first, first + count); its job is built
from the experiment's plain-data plan wherever it runs, and its shock
streams are keyed by the global replication index, so the gathered rows are
those of the single-machine run for any number of shards and workers. A
shard lost with its worker is recomputed by Dask elsewhere with the same
result.
"""

import json
import os
from pathlib import Path

import numpy as np

from .._bridge.experiment_job import run_shard


def shard_ranges(replications, shards):
    """Contiguous ranges (first, count) splitting replications into shards."""
    shards = max(1, min(int(shards), replications))
    edges = np.linspace(0, replications, shards + 1).round().astype(np.int64)
    return [(int(a), int(b - a)) for a, b in zip(edges[:-1], edges[1:]) if b > a]


class _Store:
    """Finished shards in a folder: shard-<first>-<count>.npz, and
    experiment.json with the experiment's fingerprint."""

    def __init__(self, directory, fingerprint):
        self.path = Path(directory)
        self.path.mkdir(parents=True, exist_ok=True)
        meta = self.path / "experiment.json"
        if meta.exists():
            found = json.loads(meta.read_text()).get("fingerprint")
            if found != fingerprint:
                raise ValueError(f"{self.path} holds shards of another experiment "
                                 f"({found}, this one is {fingerprint})")
        else:
            meta.write_text(json.dumps({"fingerprint": fingerprint}))

    def _file(self, first, count):
        return self.path / f"shard-{first}-{count}.npz"

    def load(self, first, count):
        f = self._file(first, count)
        if not f.exists():
            return None
        with np.load(f) as z:
            part = {key: z[key] for key in z.files}
        part["first"] = int(part["first"])
        return part

    def save(self, part, count):
        f = self._file(part["first"], count)
        tmp = f.with_name(f".{f.name}.{os.getpid()}.tmp")
        with open(tmp, "wb") as fh:
            np.savez(fh, **part)
        os.replace(tmp, f)


def _same(value):
    return value


def _progress_bar(total, enabled):
    if not enabled:
        return None
    try:
        from tqdm.auto import tqdm
    except ImportError as exc:
        raise ImportError("a progress bar needs tqdm: pip install 'Corvane[progress]'") from exc
    return tqdm(total=total, unit="rep", desc="replications")


def run_experiment(experiment, executor=None, shards=None, directory=None, progress=False):
    plan = experiment.plan()
    n, threads = experiment.replications, experiment.threads
    if shards is None:
        if executor is not None:
            workers = len(executor.scheduler_info().get("workers", {})) or 1
            shards = 2 * workers
        else:
            shards = 100 if progress else 1
    ranges = shard_ranges(n, shards)
    store = None if directory is None else _Store(directory, experiment.fingerprint())
    parts, todo = [], []
    for first, count in ranges:
        part = store.load(first, count) if store is not None else None
        (parts.append(part) if part is not None else todo.append((first, count)))
    bar = _progress_bar(n, progress)
    if bar is not None:
        bar.update(sum(len(p["status"]) for p in parts))

    def finished(part, count):
        if store is not None:
            store.save(part, count)
        parts.append(part)
        if bar is not None:
            bar.update(count)

    try:
        if executor is None:
            for first, count in todo:
                finished(run_shard(plan, first, count, threads), count)
        elif todo:
            from distributed import as_completed

            # The plan as a task's result: sent once, and recomputed from the
            # task (unlike scattered data) if every worker holding it is lost.
            remote_plan = executor.submit(_same, plan, pure=False)
            futures = {executor.submit(run_shard, remote_plan, first, count, threads,
                                       pure=False, retries=3): count
                       for first, count in todo}
            for future in as_completed(futures):
                finished(future.result(), futures[future])
    finally:
        if bar is not None:
            bar.close()
    return experiment._results(parts)
