"""Results into the store: a run's export as the run command writes it,
and exports written before (a cluster folder, a run's export, a folder
of them), each added once however often it is imported."""

import hashlib
import os
import time

from . import cluster, fleet, model
from .errors import Failure


def _iso(seconds):
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(seconds))


def add_result(store, result, text, kind, source, written=None):
    """Adds one export (`text`, its JSON) as a run of one node; returns
    (run id, whether it was added)."""
    name = (result.extra or {}).get("node") or result.runs[0].machine.host or "localhost"
    node = fleet.alone(name, result)
    key = "export:" + hashlib.sha256(text.encode() if isinstance(text, str) else text).hexdigest()
    when = (result.environment or {}).get("date") or _iso(written or time.time())
    return store.add(key, when, kind, source, [node])


def _said(path, run_id, added, nodes):
    return (f"{path}: added as run {run_id} ({nodes} node{'s' if nodes != 1 else ''})" if added
            else f"{path}: in the store already, as run {run_id}")


def import_file(store, path):
    result = model.load(path)
    with open(path, "rb") as f:
        text = f.read()
    run_id, added = add_result(store, result, text, "import", os.path.abspath(path),
                               os.path.getmtime(path))
    return _said(path, run_id, added, 1)


def import_cluster(store, folder):
    names, state = cluster.report_names(folder)
    key, started = cluster.identity(folder, names, state)
    nodes = cluster.collect(folder, names, {}, {})
    groups = fleet.judge(nodes, slurm_cpus=(state or {}).get("slurm_cpus"))
    run_id, added = store.add(key, started, "import", os.path.abspath(folder), nodes, groups)
    return _said(folder, run_id, added, len(nodes))


def import_path(store, path):
    """Lines saying what each export in `path` became."""
    if os.path.isdir(os.path.join(path, "nodes")):
        return [import_cluster(store, path)]
    if os.path.isdir(path):
        files = sorted(f for f in os.listdir(path) if f.endswith(".json") and
                       not f.startswith("."))
        if not files:
            raise Failure(f"{path}: no export in it (neither nodes/ nor *.json)", 2)
        return [import_file(store, os.path.join(path, f)) for f in files]
    if not os.path.exists(path):
        raise Failure(f"{path}: no such file or folder", 2)
    return [import_file(store, path)]
