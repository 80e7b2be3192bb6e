"""The findings as others read them, without a cluster: the drain reason's
key fact within what `sinfo -R` shows, for each kind of finding; the
Prometheus file through Debian's promtool and a real node_exporter on
loopback; the JUnit file through Python's XML parser; the node's own check against its stored history.
Node names come from the export files' names, hostile ones among them."""

import copy
import json
import os
import shutil
import socket
import sqlite3
import subprocess
import time
import urllib.request
import xml.etree.ElementTree as ET

import pytest
from conftest import FIXTURES, ROOT
from matmul_results import actions, fleet
from stand_in import LIBRARY, NORMAL, choose, figures, stand_in

TOOL = str(ROOT / "scripts" / "matmul-results")
EXPORT = json.loads((FIXTURES / "export-2026-12-10-zen5-schema3.json").read_text())
# Quotes, a backslash, spaces and a shell's metacharacters in a node's name.
HOSTILE = 'we"ird\\node $(touch pwned)'


@pytest.mark.parametrize("flag, fact", [
    ("slow: blas -23.4 % from its group's median", "blas -23% grp"),
    ("slow: simple -30.1 % from its group's median", "simple -30% grp"),
    ("regressed: simple -12.3 % against its median of 5 runs (1 to 5) (40.00 GB/s, was 45.61)",
     "simple -12% hst"),
    ("below reference: blas 80.0 GFLOP/s, its bound 107.0 (ref.toml line 1: nodes = \"c*\")",
     "blas -25% ref"),
    ("below reference: simple 1.00 GB/s, its bound 1000.00 (ref.toml line 1)", "simple -99% ref"),
    ("faulty: the run failed with status 2", "failed status 2"),
    ("faulty: diff nan: its products are not numbers that agree", "diff nan"),
    ("faulty: diff 0.500000 beyond the bound 0.0010", "diff 5.0e-01"),
    ("faulty: the library's error is 3.2 times the bound", "blas err x3.2"),
])
def test_the_reason_puts_the_key_fact_where_sinfo_shows_it(flag, fact):
    said = actions.reason([flag], "run-1")
    assert said.startswith(f"mmb: {fact}; {flag.replace(chr(34), chr(39))}; run run-1")
    assert len(f"mmb: {fact}") <= actions.SHOWN


def test_the_worst_finding_comes_first_and_no_reason_breaks_a_line():
    said = actions.reason(["slow: blas -23.4 % from its group's median",
                           "faulty: diff nan: x\n|y"])
    assert said.startswith("mmb: diff nan; faulty: diff nan: x  y; slow: blas")
    # Of one kind, the furthest below.
    assert actions.reason(["slow: simple -32.3 % from its group's median",
                           "slow: blas -48.5 % from its group's median"]).startswith(
        "mmb: blas -48% grp; slow: blas -48.5 %")


def node_export(folder, name, factor=1.0):
    data = copy.deepcopy(EXPORT)
    for run in data["runs"]:
        run["simple_ms"] *= factor
        run["blas_ms"] *= factor
        run["blas_gflops"] /= factor
    data["node"] = name
    (folder / "nodes").mkdir(parents=True, exist_ok=True)
    (folder / "nodes" / f"{name}.json").write_text(json.dumps(data))


@pytest.fixture
def report(tmp_path):
    """A fleet of five, one of them slow and one with a hostile name,
    reported with both exports."""
    folder = tmp_path / "c"
    for name, factor in {"c1": 1.0, "c2": 1.0, "c3": 1.4, "c4": 1.0, HOSTILE: 1.0}.items():
        node_export(folder, name, factor)
    (folder / "nodes" / "c5.failed.json").write_text(json.dumps(
        {"node": "c5", "status": 2, "message": "out of memory"}))
    textfiles = tmp_path / "textfiles"
    textfiles.mkdir()
    done = subprocess.run([TOOL, "cluster", "--report", folder, "--no-plot",
                           "--export-prometheus", textfiles / "matmul.prom",
                           "--export-junit", tmp_path / "junit.xml"],
                          capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert done.returncode == fleet.EXIT_FLAGGED, done.stderr
    assert not (tmp_path / "pwned").exists()
    return tmp_path


def test_the_junit_file_has_a_case_per_node(report):
    root = ET.parse(report / "junit.xml").getroot()
    suite = root.find("testsuite")
    cases = {c.get("name"): c for c in suite.iter("testcase")}
    assert sorted(cases) == sorted(["c1", "c2", "c3", "c4", "c5", HOSTILE])
    assert (suite.get("tests"), suite.get("failures"), suite.get("skipped")) == ("6", "2", "0")
    assert cases["c3"].find("failure").get("message").startswith("slow: ")
    assert "out of memory" in cases["c5"].find("failure").text
    assert cases[HOSTILE].find("failure") is None


@pytest.mark.skipif(not shutil.which("promtool"), reason="Debian's prometheus gives promtool")
def test_the_prometheus_file_passes_promtool(report):
    text = (report / "textfiles" / "matmul.prom").read_text()
    lint = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True,
                          text=True, timeout=60)
    assert lint.returncode == 0, lint.stdout + lint.stderr
    names = {line.split()[2] for line in text.splitlines() if line.startswith("# TYPE")}
    assert names == {"matmul_bench_simple_bytes_per_second", "matmul_bench_blas_flop_per_second",
                     "matmul_bench_speedup_ratio", "matmul_bench_diff", "matmul_bench_flag",
                     "matmul_bench_last_run_timestamp_seconds"}
    # No sample carries a timestamp: a value alone after the labels.
    for line in text.splitlines():
        if not line.startswith("#"):
            assert len(line.rsplit("} ", 1)[1].split()) == 1, line
    assert 'matmul_bench_flag{node="c3",flag="slow"} 1.0' in text
    assert 'matmul_bench_flag{node="c1",flag="slow"} 0.0' in text
    assert 'matmul_bench_flag{node="c5",flag="faulty"} 1.0' in text
    # Only the .prom file is left in the folder: written beside it, renamed.
    assert [p.name for p in (report / "textfiles").iterdir()] == ["matmul.prom"]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.mark.skipif(not shutil.which("prometheus-node-exporter"),
                    reason="Debian's prometheus-node-exporter is not installed")
def test_node_exporter_serves_every_nodes_gauges(report):
    port = free_port()
    exporter = subprocess.Popen(
        ["prometheus-node-exporter", f"--web.listen-address=127.0.0.1:{port}",
         "--collector.disable-defaults", "--collector.textfile",
         f"--collector.textfile.directory={report / 'textfiles'}"],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + 30
        while True:
            try:
                with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=5) as r:
                    scraped = r.read().decode()
                break
            except OSError:
                assert time.monotonic() < deadline and exporter.poll() is None, (
                    exporter.stderr.read().decode() if exporter.poll() is not None else "")
                time.sleep(0.2)
    finally:
        exporter.terminate()
        exporter.wait(timeout=30)
    # The file was read whole: no scrape error, and its mtime for staleness.
    assert 'node_textfile_scrape_error 0' in scraped
    assert 'node_textfile_mtime_seconds{file=' in scraped
    escaped = HOSTILE.replace("\\", "\\\\").replace('"', '\\"')
    for node in ("c1", "c2", "c3", "c4", escaped):
        for metric in ("simple_bytes_per_second", "blas_flop_per_second", "speedup_ratio",
                       "diff"):
            assert f'matmul_bench_{metric}{{group="' in scraped
            assert any(line.startswith(f"matmul_bench_{metric}{{") and f'node="{node}"' in line
                       for line in scraped.splitlines()), (metric, node)
        assert f'matmul_bench_last_run_timestamp_seconds{{node="{node}"}}' in scraped


def test_the_check_sets_the_node_against_its_own_stored_history(tmp_path):
    # A node with three runs in the store, then 30 % slower: no Slurm needed.
    program = stand_in(tmp_path, {"h": NORMAL}, info=LIBRARY)
    env = {**os.environ, "SLURMD_NODENAME": "h"}
    store = tmp_path / "store.db"

    def tool(*args):
        return subprocess.run([TOOL, *map(str, args)], capture_output=True, text=True,
                              env=env, timeout=120, cwd=tmp_path)

    for _ in range(3):
        assert tool("run", 1, "--store", store, program).returncode == 0
    (name,), = sqlite3.connect(store).execute("SELECT DISTINCT node FROM results")
    choose(tmp_path, {"h": figures(1430.0)})
    slow = tool("check", "--baseline-store", store, "--node", name, program)
    assert slow.returncode == 1, slow.stderr
    assert slow.stdout.startswith("mmb: simple -30% hst; regressed: simple -30.1 % against its "
                                  "median of 3 runs") and slow.stdout.count("\n") == 1
    choose(tmp_path, {"h": NORMAL})
    well = tool("check", "--baseline-store", store, "--node", name, "--export-prometheus",
                tmp_path / "h.prom", program)
    assert (well.returncode, well.stdout) == (0, "ok\n"), well.stderr
    assert f'matmul_bench_flag{{node="{name}",flag="regressed"}} 0.0' in (
        tmp_path / "h.prom").read_text()
    # A store that is not there is bad usage, not a failing node.
    assert tool("check", "--baseline-store", tmp_path / "none.db", program).returncode == 2
