"""The cluster mode's memory, against a real Slurm started here
(slurm_cluster) with a stand-in program whose figures each test chooses:
a fleet-wide regression that no node shows against its peers, a node that
drifts, a changed configuration, a site's references, Slurm's configured
CPUs, and --confirm. Needs root and Debian's slurm-wlm and munge; skipped
with the reason otherwise."""

import json
import os
import pathlib
import shutil
import subprocess
import tempfile

import pytest
import slurm_cluster
from conftest import ROOT
from matmul_results.stats import stream_gbs
from stand_in import LIBRARY, choose, figures, stand_in

TOOL = str(ROOT / "scripts" / "matmul-results")
pytestmark = pytest.mark.skipif(slurm_cluster.why_not() is not None,
                                reason=slurm_cluster.why_not() or "")
# h1 is faster than its peers; h5 has one CPU configured and two seen.
USUAL = {"h1": figures(1000.0), "h2": figures(1080.0), "h3": figures(1080.0),
         "h4": figures(1080.0)}


def tool(cluster, *args, timeout=300):
    return subprocess.run([TOOL, *map(str, args)], capture_output=True, text=True,
                          env=cluster.env, timeout=timeout)


def cluster_run(cluster, program, out, *args, nodes="h[1-4]"):
    return tool(cluster, "cluster", "--poll", "0.5", "--nodes", nodes, "1", "--out", out, *args,
                program)


def report(out):
    with open(os.path.join(out, "cluster.json"), encoding="utf-8") as f:
        data = json.load(f)
    return {n["name"]: n for n in data["nodes"]}, data["groups"]


@pytest.fixture(scope="module")
def slurm():
    with slurm_cluster.SlurmCluster([f"h{i}" for i in range(1, 6)], cpus={"h5": 1}) as c:
        yield c


tmp_path = slurm_cluster.own_tmp_path("mm-history-")


@pytest.fixture(scope="module")
def three_runs(slurm):
    """A store of three runs of h1-h4 with the usual figures, and the
    stand-in that made them (each test chooses its own figures after)."""
    folder = pathlib.Path(tempfile.mkdtemp(prefix="mm-history-"))
    program = stand_in(folder / "program", USUAL, info=LIBRARY)
    store = folder / "store.db"
    try:
        for i in range(3):
            done = cluster_run(slurm, program, folder / f"run{i}", "--store", store)
            assert done.returncode == 0, done.stdout + done.stderr
        yield folder / "program", program, store
    finally:
        slurm.settle()
        shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture
def cluster(slurm, tmp_path):
    yield slurm
    slurm.settle()


def fourth_run(cluster, three_runs, tmp_path, chosen, *args):
    """A copy of the three runs' store, and a fourth run into it."""
    folder, program, store = three_runs
    choose(folder, chosen)
    shutil.copy(store, tmp_path / "store.db")
    done = cluster_run(cluster, program, tmp_path / "out", "--store", tmp_path / "store.db",
                       *args)
    return done, *report(tmp_path / "out")


def test_every_node_20_percent_slower_is_a_fleet_regression(cluster, three_runs, tmp_path):
    slower = {n: figures(1.25 * float(line.split()[0]), 125.0) for n, line in USUAL.items()}
    done, nodes, groups = fourth_run(cluster, three_runs, tmp_path, slower)
    assert done.returncode == 5, done.stdout + done.stderr
    (group,) = groups.values()
    assert [f.split(" against")[0] for f in group["flags"]] == [
        "fleet regression: simple -20.0 %", "fleet regression: blas -20.0 %"]
    # No node differs from its peers; each has fallen against its own past.
    for node in nodes.values():
        assert not [f for f in node["flags"] if f.startswith("slow")]
        assert [f.split(" against")[0] for f in node["flags"]] == [
            "regressed: simple -20.0 %", "regressed: blas -20.0 %"], node
    summary = (tmp_path / "out" / "cluster.md").read_text()
    assert summary.index("## Fleet regressions") < summary.index("## Every node")
    trend = tool(cluster, "history", tmp_path / "store.db", "--group", node["group"])
    assert trend.returncode == 0, trend.stderr
    rows = [line.split() for line in trend.stdout.splitlines() if line.split()[:1] in (
        ["1"], ["2"], ["3"], ["4"])]
    assert [r[0] for r in rows] == ["1", "2", "3", "4"] and "-20.0" in rows[3]


def test_a_node_that_drifts_inside_its_group_is_regressed_against_its_median(
        cluster, three_runs, tmp_path):
    # 12 % below its own median, 5 % below its group's: the peers miss it.
    drifted = dict(USUAL, h1=figures(1000.0 / 0.88))
    done, nodes, groups = fourth_run(cluster, three_runs, tmp_path, drifted,
                                     "--baseline", "median:3")
    assert done.returncode == 3, done.stdout + done.stderr
    assert nodes["h1"]["flags"] == [
        f"regressed: simple -12.0 % against its median of 3 runs (1 to 3) "
        f"({stream_gbs(1000.0 / 0.88):.2f} GB/s, was {stream_gbs(1000.0):.2f})"], nodes["h1"]
    assert -10 < nodes["h1"]["simple_deviation"] < 0
    assert all(nodes[n]["flags"] == [] for n in ("h2", "h3", "h4"))
    assert all(not g.get("flags") for g in groups.values())
    # Its history, as a table and as a chart with every label as text.
    chart = tmp_path / "h1.svg"
    trend = tool(cluster, "history", tmp_path / "store.db", "--node", "h1", "--plot", chart)
    assert trend.returncode == 0, trend.stderr
    assert "-12.0 %" in trend.stdout and "regressed: simple" in trend.stdout
    assert ">run 4</tspan>" in chart.read_text() or ">run 4" in chart.read_text()


def test_a_changed_library_is_a_configuration_change_not_a_regression(
        cluster, three_runs, tmp_path):
    folder = three_runs[0]
    (folder / "figures" / "h2.info").write_text(json.dumps(dict(
        LIBRARY, library_name="BLIS", library_version="0.9.0", library_kernels="generic",
        library_threads="1")))
    try:
        done, nodes, _ = fourth_run(cluster, three_runs, tmp_path,
                                    dict(USUAL, h2=figures(1080.0, 400.0)))
    finally:
        (folder / "figures" / "h2.info").unlink()
    assert done.returncode == 3, done.stdout + done.stderr  # unlike its peers
    h2 = nodes["h2"]
    assert not [f for f in h2["flags"] if f.startswith("regressed")], h2
    assert h2["notes"] == ["configuration changed since run 3: kernels Zen -> generic; library "
                           "OpenBLAS 0.3.21 -> BLIS 0.9.0; threads 2 -> 1"]


def test_a_reference_file_and_slurms_configured_cpus(cluster, tmp_path):
    program = stand_in(tmp_path / "program", dict(USUAL, h5=figures(1080.0)), info=LIBRARY)
    references = tmp_path / "site.toml"
    # h2 and h3 stream at 1080 ms, just below the bound their own entry sets.
    bound = stream_gbs(1075.0)
    references.write_text(f'# this site\n[[reference]]\nnodes = "h*"\nmin_simple_gbs = 1.0\n\n'
                          f'[[reference]]\nnodes = "h[2-3]"\nmin_simple_gbs = {bound}\n'
                          f'min_blas_gflops = 100.0\n')
    done = cluster_run(cluster, program, tmp_path / "out", "--reference", references,
                       nodes="h[1-5]")
    assert done.returncode == 3, done.stdout + done.stderr
    nodes, _ = report(tmp_path / "out")
    entry = f'{references} line 6: nodes = "h[2-3]"'
    for name in ("h2", "h3"):
        assert nodes[name]["flags"] == [f"below reference: simple {stream_gbs(1080.0):.2f} GB/s, "
                                        f"its bound {bound:.2f} ({entry})"]
        assert nodes[name]["reference"] == entry
    assert nodes["h1"]["flags"] == [] and nodes["h1"]["reference"].endswith('nodes = "h*"')
    assert nodes["h5"]["flags"] == ["cores: 2 seen, Slurm has 1 configured (CPUTot)"]
    # A malformed file is refused before any job runs.
    references.write_text('[[reference]]\nnodes = "h*"\nmin_simple_gb = 1.0\n')
    bad = cluster_run(cluster, program, tmp_path / "out2", "--reference", references)
    assert bad.returncode == 2 and f"{references} line 3: unknown key 'min_simple_gb'" in (
        bad.stderr)
    assert not (tmp_path / "out2").exists()


def test_confirm_runs_the_flagged_again_and_names_the_transient(cluster, tmp_path):
    # Three alike, h2 slow the first time only, h3 slow each time.
    program = stand_in(tmp_path / "program", {"h1": figures(1080.0), "h2": figures(1600.0),
                                              "h3": figures(1600.0), "h4": figures(1080.0),
                                              "h5": figures(1080.0)}, info=LIBRARY)
    choose(tmp_path / "program", {}, then={"h2": figures(1080.0)})
    done = cluster_run(cluster, program, tmp_path / "out", "--confirm", nodes="h[1-5]")
    assert done.returncode == 3, done.stdout + done.stderr
    nodes, _ = report(tmp_path / "out")
    assert nodes["h2"]["flags"] == []
    assert nodes["h2"]["notes"] == [
        "transient: slow: simple -32.5 % from its group's median at first, within bounds when "
        f"run again (first simple {stream_gbs(1600.0):.2f} GB/s, blas 120.0 GFLOP/s; again "
        f"simple {stream_gbs(1080.0):.2f} GB/s, blas 120.0 GFLOP/s)"]
    assert nodes["h3"]["flags"] == ["slow: simple -32.5 % from its group's median"]
    assert nodes["h3"]["notes"][0].startswith("confirmed by a second run")
    assert sorted(os.listdir(tmp_path / "out" / "confirm" / "nodes")) == ["h2.json", "h3.json"]
    assert "confirming 2 flagged nodes" in done.stderr
