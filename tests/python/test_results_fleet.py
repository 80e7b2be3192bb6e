"""The fleet report's judgement without a cluster: groups by hardware, the
slow threshold (deviations or percent, the larger), configuration unlike
the group's majority, the diff bound; Slurm's node states; the batch
script's quoting; the cluster command's usage errors."""

import shlex
import subprocess

import pytest
from conftest import ROOT
from matmul_results import cli, cluster, fleet, problem, slurm


def node(name, simple_gbs=40.0, blas_gflops=120.0, cpu="EPYC", cores=2, **facts):
    values = {"library": "OpenBLAS 0.3.21", "kernels": "Zen", "threads": 2,
              "naive": "x86-64-v3", "diff": 0.00015, **facts}
    return fleet.Node(name, "ok", cpu=cpu, cores=cores, simple_gbs=simple_gbs,
                      blas_gflops=blas_gflops, **values)


def flags(nodes, **thresholds):
    fleet.judge(nodes, **thresholds)
    return {n.name: n.flags for n in nodes}


def test_a_retested_node_is_set_against_the_peers_that_were_not_drained():
    # Two of four nodes still slow: among all four the spread hides them;
    # against the other two (median 40.5) they are 31 % and 33 % below.
    nodes = [node("a", 40.0), node("b", 41.0), node("c", 28.0), node("d", 27.0)]
    assert flags(nodes) == {n: [] for n in "abcd"}
    args = cli.parse(["cluster", "--report", "x"])
    cluster.against_peers(nodes, {"c": "mmb: old", "d": "mmb: old"}, args)
    assert [n.flags for n in nodes[2:]] == [["slow: simple -30.9 % from its group's median"],
                                             ["slow: simple -33.3 % from its group's median"]]
    # With none of its group left, it has nothing to be judged against.
    alone = [node("c", 28.0), node("d", 40.0)]
    fleet.judge(alone)
    cluster.against_peers(alone, {"c": "", "d": ""}, args)
    assert all(n.flags == [] and "no peers" in n.notes[-1] for n in alone)


def test_slow_is_below_the_larger_of_deviations_and_percent():
    # Spread peers: median 38, MAD 4, so 3 MADs (12) beat 10 % (3.8): g, 16 %
    # below, is within the spread; f, 34 % below, is not.
    spread = [node("a", 40.0), node("b", 42.0), node("c", 38.0), node("d", 44.0),
              node("e", 36.0), node("f", 25.0), node("g", 32.0)]
    assert [n for n, f in flags(spread).items() if f] == ["f"]
    # Identical peers: MAD 0, so 10 % decides; 9 % below passes, 11 % does not.
    same = [node("a"), node("b"), node("c", 36.4), node("d", 35.6), node("e")]
    got = flags(same)
    assert got["c"] == [] and got["d"] == ["slow: simple -11.0 % from its group's median"]
    # Both settable.
    assert flags([node("a"), node("b"), node("c", 35.6)], slow_percent=20)["c"] == []
    assert flags([node("a"), node("b"), node("c", 39.0)], slow_percent=2)["c"] != []


def test_nodes_are_set_against_their_own_kind_only():
    nodes = [node("a"), node("b"), node("big1", 80.0, cpu="Zen 5", cores=64),
             node("big2", 80.0, cpu="Zen 5", cores=64), node("small", 20.0, cpu="Zen 5", cores=8)]
    groups = fleet.judge(nodes)
    assert set(groups) == {"EPYC, 2 cores", "Zen 5, 64 cores", "Zen 5, 8 cores"}
    assert all(n.flags == [] for n in nodes)


def test_a_node_configured_unlike_its_group_is_flagged():
    nodes = [node("a"), node("b"), node("c", kernels="Haswell"), node("d", threads=1),
             node("e", naive="x86-64")]
    got = flags(nodes)
    assert got["c"] == ["configuration: library kernels Haswell, its group's Zen"]
    assert got["d"] == ["configuration: library threads 1, its group's 2"]
    assert got["e"] == ["configuration: naive build x86-64, its group's x86-64-v3"]
    # Two against two: no majority, nothing to flag.
    assert flags([node("a"), node("b"), node("c", kernels="Haswell"),
                  node("d", kernels="Haswell")]) == {"a": [], "b": [], "c": [], "d": []}


def test_faulty_beyond_the_diff_bound_or_the_accuracy_bound():
    assert 0.06 < problem.DIFF_BOUND < 0.07  # 2 gamma_K M N K 25, with 1 % to spare
    nodes = [node("a"), node("b", diff=problem.DIFF_BOUND * 1.01), node("c"),
             node("d", accuracy_of_bound=1.5), node("e", accuracy_of_bound=0.9)]
    got = flags(nodes)
    assert got["b"][0].startswith("faulty: diff") and got["d"][0].startswith("faulty: the lib")
    assert got["a"] == got["c"] == got["e"] == []
    assert fleet.EXIT_FLAGGED == 3


@pytest.mark.parametrize("state,takes_jobs", [
    ("idle", True), ("mixed", True), ("allocated", True), ("completing", True),
    ("idle*", False), ("down*", False), ("down", False), ("drained", False),
    ("draining", False), ("mixed+drain", False), ("fail", False), ("maint", False),
    ("idle~", True)])  # powered down to save power: Slurm starts it for a job
def test_slurm_node_states(state, takes_jobs):
    assert slurm.usable(state) == takes_jobs


def test_the_batch_script_quotes_every_value():
    hostile = "/x/a b 'q' \"dq\" $(touch p) `touch q` ;|&"
    script = cluster.batch_script(hostile + "/launcher", hostile + "/out", 3, hostile + "/prog",
                                  90.5)
    line = script.splitlines()[-1]
    assert line.startswith("exec ")
    assert shlex.split(line[5:]) == [hostile + "/launcher", "cluster-node", "--out",
                                     hostile + "/out", "--timeout", "90.5", "3", "--",
                                     hostile + "/prog"]


@pytest.mark.parametrize("args", [["cluster"], ["cluster", "--out", "a", "--resume", "b"],
                                  ["cluster", "--resume", "b", "5"],
                                  ["cluster", "--out", "a", "--slow-percent", "100"],
                                  ["cluster", "--out", "a", "--max-queued", "0"]])
def test_cluster_usage_errors(args):
    done = subprocess.run([str(ROOT / "scripts" / "matmul-results"), *args],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 2 and "usage:" in done.stderr
