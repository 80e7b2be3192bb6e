"""The results store, the site's references and the fleet report at
scale, without a cluster: a real SQLite file through the tool's own
commands (import, history, cluster --report), its schema's migrations and
refusals, two writers at once, the reference file's every refusal, and
2,000 node exports reported."""

import copy
import json
import shutil
import sqlite3
import subprocess
import time

import pytest
from conftest import FIXTURES, ROOT
from matmul_results import fleet, history, hostlist, references, store
from matmul_results.errors import Failure

TOOL = str(ROOT / "scripts" / "matmul-results")
EXPORT = json.loads((FIXTURES / "export-2026-12-10-zen5-schema3.json").read_text())


def call(*args, timeout=300):
    return subprocess.run([TOOL, *map(str, args)], capture_output=True, text=True,
                          timeout=timeout)


def node_export(folder, name, factor=1.0, cpu=None, date="2026-12-10T10:00:00Z"):
    """A node's export made from the real one, its times `factor` longer."""
    data = copy.deepcopy(EXPORT)
    for run in data["runs"]:
        run["simple_ms"] *= factor
        run["blas_ms"] *= factor
        run["blas_gflops"] /= factor
        if cpu:
            run["machine"]["cpu_model"] = cpu
    data["node"], data["environment"]["date"] = name, date
    (folder / "nodes").mkdir(parents=True, exist_ok=True)
    (folder / "nodes" / f"{name}.json").write_text(json.dumps(data))


def cluster_folder(folder, factors, **kw):
    for name, factor in factors.items():
        node_export(folder, name, factor, **kw)
    return folder


# --- the store's schema, its refusals and its writers

def test_an_older_store_migrates_and_keeps_its_runs(tmp_path):
    path = tmp_path / "old.db"
    conn = sqlite3.connect(path, isolation_level=None)
    store.migrate(conn, upto=1)
    conn.execute("INSERT INTO runs (key, time, kind, source) VALUES ('k', "
                 "'2026-11-01T00:00:00Z', 'cluster', 'x')")
    conn.execute("INSERT INTO results (run, node, grp, state, configuration, simple_gbs, "
                 "blas_gflops) VALUES (1, 'c1', 'G', 'ok', '{}', 30.0, 190.0)")
    conn.close()
    done = call("history", path, "--node", "c1")
    assert done.returncode == 0, done.stderr
    assert "30.00" in done.stdout and "190.0" in done.stdout
    conn = sqlite3.connect(path)
    assert conn.execute("PRAGMA user_version").fetchone()[0] == store.SCHEMA_VERSION == 2
    assert [c[1] for c in conn.execute("PRAGMA table_info(results)")][-2:] == ["figures",
                                                                               "notes"]


def _truncated_store(path):
    with store.Store(str(path)):
        pass
    path.write_bytes(path.read_bytes()[:100])


def _foreign(path):
    conn = sqlite3.connect(path)
    conn.execute("CREATE TABLE accounts (id INTEGER)")
    conn.commit()
    conn.close()


def _newer(path):
    with store.Store(str(path)) as s:
        s.conn.execute("PRAGMA user_version = 99")


@pytest.mark.parametrize("make,said", [
    (lambda p: p.write_bytes(b"\x00garbage" * 512), "not a matmul-results store"),
    (lambda p: p.write_text("a text file\n"), "not a matmul-results store"),
    (_truncated_store, "not a matmul-results store"),
    (_foreign, "a SQLite file, but not a matmul-results store"),
    (_newer, "written by a newer matmul-results (store schema 99")])
def test_a_file_that_is_no_store_of_ours_is_refused_untouched(tmp_path, make, said):
    path = tmp_path / "store.db"
    make(path)
    before = path.read_bytes()
    folder = cluster_folder(tmp_path / "c", {"c1": 1.0, "c2": 1.0})
    for args in (["history", path], ["store", "import", path, folder],
                 ["cluster", "--report", folder, "--store", path]):
        done = call(*args)
        assert done.returncode == 2 and said in done.stderr, (args, done.stderr)
        assert "Traceback" not in done.stderr
    assert path.read_bytes() == before


def test_two_writers_at_once_both_land(tmp_path):
    # Two importers of 25 runs each, started together on one new store.
    for side in ("a", "b"):
        (tmp_path / side).mkdir()
        for i in range(25):
            data = copy.deepcopy(EXPORT)
            data["node"] = f"{side}{i}"
            (tmp_path / side / f"{i}.json").write_text(json.dumps(data))
    path = tmp_path / "store.db"
    procs = [subprocess.Popen([TOOL, "store", "import", str(path), str(tmp_path / side)],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
             for side in ("a", "b")]
    outs = [p.communicate(timeout=120) for p in procs]
    assert [p.returncode for p in procs] == [0, 0], outs
    conn = sqlite3.connect(path)
    assert conn.execute("SELECT count(*) FROM runs").fetchone()[0] == 50
    assert conn.execute("SELECT count(DISTINCT node) FROM results").fetchone()[0] == 50


def test_import_adds_each_export_once(tmp_path):
    folder = cluster_folder(tmp_path / "c", {"c1": 1.0, "c2": 1.1})
    (tmp_path / "run.json").write_text(json.dumps(EXPORT))
    path = tmp_path / "store.db"
    first = call("store", "import", path, folder, tmp_path / "run.json")
    assert first.returncode == 0, first.stderr
    assert first.stdout.splitlines() == [f"{folder}: added as run 1 (2 nodes)",
                                         f"{tmp_path / 'run.json'}: added as run 2 (1 node)"]
    again = call("store", "import", path, folder)
    assert again.stdout.strip() == f"{folder}: in the store already, as run 1"
    missing = call("store", "import", path, tmp_path / "nowhere")
    assert missing.returncode == 2 and "no such file or folder" in missing.stderr


def test_a_store_on_a_network_filesystem_is_named(monkeypatch, tmp_path, capsys):
    monkeypatch.setattr(store, "filesystem_of", lambda path: "nfs4")
    with store.Store(str(tmp_path / "s.db")):
        pass
    assert "on a network filesystem (nfs4)" in capsys.readouterr().err


# --- each node against its history

def _history(values, configuration=None):
    return [{"run": len(values) - i, "configuration": configuration or {"library": "A"},
             "simple_gbs": v, "blas_gflops": v} for i, v in enumerate(values)]


def test_regressed_is_beyond_the_larger_of_the_spread_and_the_percent():
    steady = _history([100.0] * 5)
    noisy = _history([100.0, 88.0, 112.0, 94.0, 106.0])  # MAD 6: 3 MADs is 18 %
    cfg = {"library": "A"}
    median5 = ("median", 5)
    _, flags, _ = history.judge({"simple_gbs": 91.0}, cfg, steady, median5)
    assert [k for k, _ in flags] == ["regressed"]  # 9 % down, the 8 % decides
    _, flags, _ = history.judge({"simple_gbs": 93.0}, cfg, steady, median5)
    assert flags == []
    _, flags, _ = history.judge({"simple_gbs": 85.0}, cfg, noisy, median5)
    assert flags == []  # 15 % down is within this node's own noise
    _, flags, notes = history.judge({"simple_gbs": 115.0}, cfg, steady, median5)
    assert flags == [] and notes[0][1].startswith("improved: simple +15.0 %")
    _, flags, _ = history.judge({"simple_gbs": 91.0}, cfg, steady, median5, percent=10)
    assert flags == []
    # Against the last run, or a run by its id.
    base, flags, _ = history.judge({"simple_gbs": 91.0}, cfg, _history([90.0, 100.0]),
                                   ("last", None))
    assert flags == [] and base["label"] == "run 2"
    base, flags, _ = history.judge({"simple_gbs": 91.0}, cfg, _history([90.0, 100.0]),
                                   ("run", 1))
    assert [k for k, _ in flags] == ["regressed"] and base["label"] == "run 1"


def test_a_changed_configuration_is_no_verdict():
    changed = _history([100.0, 100.0], {"library": "B"})
    base, flags, notes = history.judge({"simple_gbs": 50.0}, {"library": "A"}, changed,
                                       ("median", 3))
    assert base is None and flags == []
    assert notes == [("configuration changed", "configuration changed since run 2: "
                                               "library B -> A")]
    # Only the history since the change counts.
    mixed = _history([100.0, 100.0]) + _history([50.0, 50.0, 50.0], {"library": "B"})
    base, _, _ = history.judge({"simple_gbs": 100.0}, {"library": "A"}, mixed, ("median", 5))
    assert base["simple_gbs"] == 100.0 and len(base["runs"]) == 2


@pytest.mark.parametrize("text", ["", "median", "median:0", "median:x", "0", "-1", "lasts"])
def test_a_baseline_that_is_none_is_refused(text, tmp_path):
    with pytest.raises(ValueError):
        history.parse_baseline(text)
    done = call("cluster", "--report", tmp_path, "--baseline", text)
    assert done.returncode == 2 and "usage:" in done.stderr


def test_a_baseline_run_the_store_lacks_is_refused(tmp_path):
    folder = cluster_folder(tmp_path / "c", {"c1": 1.0})
    done = call("cluster", "--report", folder, "--store", tmp_path / "s.db", "--baseline", "7")
    assert done.returncode == 2 and "holds no run 7" in done.stderr
    assert not (folder / "cluster.md").exists()


# --- the site's references

@pytest.mark.parametrize("text,line,said", [
    ('[[reference]]\nnodes = "c*"\nmin_simple_gbs = 1\nmin_blas = 2\n', 4,
     "unknown key 'min_blas' in reference 1"),
    ('[[reference]]\ngroup = "G"\nmin_simple_gbs = 1\n\n[[reference]]\nnode = "c1"\n', 6,
     "unknown key 'node' in reference 2"),
    ('[[reference]]\nnodes = "c*"\nmin_simple_gbs = = 1\n', 3, "not valid TOML"),
    ('[[reference]]\nmin_simple_gbs = 1\n', 1, "needs exactly one of group or nodes"),
    ('[[reference]]\ngroup = "G"\nnodes = "c*"\nmin_simple_gbs = 1\n', 1,
     "needs exactly one of group or nodes"),
    ('[[reference]]\ngroup = "G"\n', 1, "sets no bound"),
    ('[[reference]]\ngroup = "G"\nmin_blas_gflops = -3\n', 3, "must be a positive number"),
    ('[[reference]]\ngroup = "G"\nmin_blas_gflops = true\n', 3, "must be a positive number"),
    ('[[reference]]\ngroup = ""\nmin_blas_gflops = 3\n', 2, "must be a non-empty string"),
    ('[[reference]]\nnodes = "c[3-1]"\nmin_blas_gflops = 3\n', 2, "not a range of numbers"),
    ('[[reference]]\nnodes = "c[1-3"\nmin_blas_gflops = 3\n', 2, "unbalanced brackets"),
    ('title = "x"\n', 1, "unknown key 'title'"),
    ('', 1, "no [[reference]] entries"),
    ('{"reference": [{"group": "G", "min_simple_gbs": 1,\n "bogus": 2}]}', 2,
     "unknown key 'bogus'"),
    ('{"reference": [\n', 2, "not valid JSON")])
def test_a_malformed_reference_file_is_refused_with_its_line(tmp_path, text, line, said):
    path = tmp_path / ("site.json" if text.startswith("{") else "site.toml")
    path.write_text(text)
    with pytest.raises(Failure) as refused:
        references.load(str(path))
    assert refused.value.status == 2
    assert str(refused.value).startswith(f"{path} line {line}: ") and said in str(
        refused.value), str(refused.value)


def test_the_most_specific_reference_applies(tmp_path):
    toml = ('[[reference]]\nnodes = "c*"\nmin_simple_gbs = 10\n'
            '[[reference]]\ngroup = "G"\nmin_simple_gbs = 20\n'
            '[[reference]]\nnodes = "c[1-2],d7"\nmin_simple_gbs = 30\n'
            '[[reference]]\nnodes = "c1"\nmin_simple_gbs = 40\n')
    (tmp_path / "r.toml").write_text(toml)
    entries = references.load(str(tmp_path / "r.toml"))
    def line(node, group):
        entry = references.entry_for(entries, node, group)
        return entry.line if entry else None
    # A host list over a group over a glob; among equals, the first.
    assert [line("c1", "G"), line("c2", "G"), line("d7", "H"), line("c3", "G"), line("c3", "H"),
            line("e1", "G"), line("e1", "H")] == [7, 7, 7, 4, 1, 4, None]
    # The same structure as JSON reads alike.
    as_json = {"reference": [{"nodes": "c*", "min_simple_gbs": 10}]}
    (tmp_path / "r.json").write_text(json.dumps(as_json))
    assert references.load(str(tmp_path / "r.json"))[0].value == "c*"


@pytest.mark.parametrize("text,names", [
    ("c1", ["c1"]), ("c[1-3]", ["c1", "c2", "c3"]), ("c[08-10]", ["c08", "c09", "c10"]),
    ("a[1,3],b2", ["a1", "a3", "b2"]), ("r[1-2]-ib", ["r1-ib", "r2-ib"])])
def test_host_lists(text, names):
    assert hostlist.expand(text) == names


# --- the report at scale, and a group of one

def test_2000_nodes_report_in_bounded_time_and_size(tmp_path):
    folder = tmp_path / "big"
    slow = {f"c{i:04d}" for i in range(97, 2001, 97)}
    for i in range(1, 2001):
        name = f"c{i:04d}"
        node_export(folder, name, 1.3 if name in slow else 1.0 + (i % 7) * 0.004)
    node_export(folder, "odd", 1.0, cpu="Another CPU")  # a group of one
    started = time.monotonic()
    done = call("cluster", "--report", folder, timeout=600)
    took = time.monotonic() - started
    assert done.returncode == fleet.EXIT_FLAGGED, done.stderr
    print(f"2001 node exports reported in {took:.1f} s")
    assert took < 60
    report = (folder / "cluster.md").read_text()
    table = report.index("## Every node")
    for name in slow:
        assert 0 < report.index(f"| {name} |") < table
    assert "2001 nodes: 2001 ok." in report and f"Flagged: {len(slow)} nodes" in report
    assert "| odd | no peers: the only node of its group" in report
    assert len(report.splitlines()) < 120  # the summary, not a 2,000-row table
    rows = (folder / "cluster.csv").read_text().splitlines()
    assert len(rows) == 2002 and rows[0].startswith("node,state,")
    assert len(json.loads((folder / "cluster.json").read_text())["nodes"]) == 2001
    if shutil.which("gnuplot"):
        chart = (folder / "cluster.svg").read_text()
        assert len(chart.encode()) < 100_000
        assert ">c0097<" in chart and "more flagged: cluster.md names them" not in chart


def test_a_store_held_locked_costs_no_report(tmp_path, monkeypatch, capsys):
    from matmul_results import cli, cluster
    folder = cluster_folder(tmp_path / "c", {"c1": 1.0, "c2": 1.0})
    path = tmp_path / "s.db"
    with store.Store(str(path)):
        pass
    monkeypatch.setattr(store, "LOCK_WAIT", 0.2)
    holder = sqlite3.connect(path, isolation_level=None)
    holder.execute("BEGIN EXCLUSIVE")
    try:
        args = cli.parse(["cluster", "--report", str(folder), "--store", str(path), "--no-plot"])
        args.references = None
        status = cluster.report(str(folder), None, {}, {}, args, cli.write_atomically)
    finally:
        holder.execute("ROLLBACK")
    assert status == 1
    assert "held it locked for 0.2 s" in capsys.readouterr().err
    assert "Not stored" in (folder / "cluster.md").read_text()
