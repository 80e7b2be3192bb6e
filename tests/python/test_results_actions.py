"""Acting on findings against a real Slurm started here (slurm_cluster):
drains with our reason, an administrator's drain never touched, a dry run
that changes nothing, --drain-max when every node is slow, a retest inside
a reservation that no other user's job can enter, and the node's own
check. Needs root and Debian's slurm-wlm and munge; skipped otherwise."""

import json
import signal
import os
import subprocess
import time
import xml.etree.ElementTree as ET

import pytest
import slurm_cluster
from conftest import ROOT
from stand_in import NORMAL, choose, figures, stand_in

TOOL = str(ROOT / "scripts" / "matmul-results")
PROGRAM = os.environ.get("MATMUL_BENCH")
NODES = ["a1", "a2", "a3", "a4"]
SLOW = figures(1430.0)  # simple 30 % below its peers
pytestmark = pytest.mark.skipif(slurm_cluster.why_not() is not None,
                                reason=slurm_cluster.why_not() or "")


def tool(cluster, *args, timeout=300, env=None):
    return subprocess.run([TOOL, *map(str, args)], capture_output=True, text=True,
                          env={**cluster.env, **(env or {})}, timeout=timeout)


def cluster_run(cluster, *args, timeout=300):
    return tool(cluster, "cluster", "--poll", "0.5", *args, timeout=timeout)


def nodes(cluster):
    """{node: (state, reason)} as sinfo shows them."""
    out = cluster.run(["sinfo", "--noheader", "--Node", "--format=%N|%T|%E"]).stdout
    return {n: (s, r) for n, s, r in (line.split("|", 2) for line in out.splitlines())}


def shown_reasons(cluster):
    """{node: reason} as `sinfo -R` shows them, cut at its 20 characters."""
    out = cluster.run(["sinfo", "-R", "--noheader", "--format=%20E|%N"]).stdout
    return {n: r.rstrip() for r, n in (line.rsplit("|", 1) for line in out.splitlines())}


def reservations(cluster):
    return cluster.run(["scontrol", "show", "reservation"]).stdout


tmp_path = slurm_cluster.own_tmp_path("mm-actions-")


@pytest.fixture(scope="module")
def slurm():
    with slurm_cluster.SlurmCluster(NODES) as c:
        yield c


def in_service(slurm):
    for name, (state, _) in nodes(slurm).items():
        if state.rstrip("*$~") != "idle":
            slurm.run(["scontrol", "update", f"NodeName={name}", "State=RESUME"])


@pytest.fixture
def cluster(slurm, tmp_path):
    """The shared cluster with every node in service; after the test, every
    job of it ended and every node back in service."""
    in_service(slurm)
    yield slurm
    in_service(slurm)
    slurm.settle()


def admin_drain(cluster, node, reason="admin: psu"):
    assert cluster.run(["scontrol", "update", f"NodeName={node}", "State=DRAIN",
                        f"Reason={reason}"]).returncode == 0


def test_drain_then_retest_returns_only_what_is_ours(cluster, tmp_path):
    admin_drain(cluster, "a4")
    # A folder and a reason no shell may read as code.
    out = tmp_path / "out 'it''s' $(touch pwned) `x`"
    program = stand_in(tmp_path, {"a1": NORMAL, "a2": SLOW, "a3": NORMAL, "a4": NORMAL})
    done = cluster_run(cluster, "--drain", "1", "--out", out, "--export-junit",
                       tmp_path / "j.xml", program)
    assert done.returncode == 3, done.stdout + done.stderr
    state = nodes(cluster)
    assert state["a2"][0] == "drained" and state["a2"][1].startswith(
        "mmb: simple -30% grp; slow: simple -30.1 % from its group's median; run ")
    assert shown_reasons(cluster) == {"a2": "mmb: simple -30% grp", "a4": "admin: psu"}
    assert state["a4"] == ("drained", "admin: psu")
    report = (out / "cluster.md").read_text()
    assert "- a2: drained: mmb: simple -30% grp;" in report
    assert "a4: left alone: drained by someone else (admin: psu)" in report
    assert not (tmp_path / "pwned").exists()
    # JUnit: a case per node, the slow one failed, the drained one skipped
    # with Slurm's reason.
    suite = ET.parse(tmp_path / "j.xml").getroot().find("testsuite")
    cases = {c.get("name"): c for c in suite.iter("testcase")}
    assert sorted(cases) == NODES and suite.get("tests") == "4"
    assert cases["a2"].find("failure").get("message").startswith("slow: simple -30.1 %")
    assert "admin: psu" in cases["a4"].find("skipped").get("message")
    assert cases["a1"].find("failure") is None and cases["a1"].find("skipped") is None

    # Still slow: it stays drained, with the retest's reason. While the
    # retest holds it, another user's job asking for it cannot start.
    choose(tmp_path, {"a2": SLOW})
    (tmp_path / "figures" / "a2.hold").write_text("")
    retest = subprocess.Popen([TOOL, "cluster", "--poll", "0.5", "--retest-drained", "1",
                               "--out", tmp_path / "again", program], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, env=cluster.env)
    try:
        deadline = time.monotonic() + 120
        while "ReservationName=mmb-retest-" not in reservations(cluster):
            assert time.monotonic() < deadline and retest.poll() is None, cluster.status()
            time.sleep(0.3)
        while not nodes(cluster)["a2"][0].startswith(("allocated", "mixed")):
            assert time.monotonic() < deadline and retest.poll() is None, cluster.status()
            time.sleep(0.3)
        assert "Users=root" in reservations(cluster) and "MAINT" in reservations(cluster)
        other = cluster.run(["sbatch", "--parsable", "--uid=nobody", "--nodelist=a2",
                             "--output=/dev/null", "--wrap=true"])
        assert other.returncode == 0, other.stderr
        job = other.stdout.strip()
        time.sleep(3)
        queued = cluster.run(["squeue", "--noheader", "--jobs", job, "--format=%T|%u"]).stdout
        assert queued.strip() == "PENDING|nobody", queued
        cluster.run(["scancel", job])
    finally:
        (tmp_path / "figures" / "release").write_text("")
        stdout, stderr = retest.communicate(timeout=240)
    assert retest.returncode == 3, stdout + stderr
    again = nodes(cluster)["a2"]
    assert again[0] == "drained" and again[1].startswith("mmb: simple -30% grp")
    assert again[1] != state["a2"][1]  # the new run's reason
    assert "a2: drained again: mmb: simple -30% grp" in stdout
    assert "mmb-retest-" not in reservations(cluster)
    assert nodes(cluster)["a4"] == ("drained", "admin: psu")

    # Well again: the retest returns it, and leaves the administrator's alone.
    (tmp_path / "figures" / "a2.hold").unlink()
    choose(tmp_path, {"a2": NORMAL})
    well = cluster_run(cluster, "--retest-drained", "1", "--out", tmp_path / "well", program)
    assert well.returncode == 3, well.stdout + well.stderr  # a4 did not run
    assert "a2: returned: its retest passed" in well.stdout
    assert nodes(cluster)["a2"][0] in ("idle", "mixed", "allocated")
    assert nodes(cluster)["a4"] == ("drained", "admin: psu")
    assert "mmb-retest-" not in reservations(cluster)


def test_a_dry_run_changes_nothing_and_every_node_slow_drains_at_most_the_limit(cluster,
                                                                                tmp_path):
    program = stand_in(tmp_path, {n: NORMAL for n in NODES} | {"a3": SLOW})
    before = nodes(cluster)
    dry = cluster_run(cluster, "--drain-dry-run", "1", "--out", tmp_path / "dry", program)
    assert dry.returncode == 3, dry.stdout + dry.stderr
    assert nodes(cluster) == before
    command = next(x for x in dry.stdout.splitlines() if x.startswith("would run: "))
    assert command.startswith("would run: scontrol update NodeName=a3 State=DRAIN "
                              "'Reason=mmb: simple -30% grp; slow: simple -30.1 %")

    # Every node below the site's bound: one drained (5 % of four nodes,
    # at least one), the rest reported, worst first.
    (tmp_path / "ref.toml").write_text('[[reference]]\nnodes = "a*"\nmin_simple_gbs = 1000\n')
    every = cluster_run(cluster, "--drain", "--reference", tmp_path / "ref.toml", "1",
                        "--out", tmp_path / "all", program)
    assert every.returncode == 3, every.stdout + every.stderr
    drained = {n: r for n, (s, r) in nodes(cluster).items() if s == "drained"}
    assert list(drained) == ["a3"] and drained["a3"].startswith("mmb: simple -97% ref;")
    refused = [x for x in every.stdout.splitlines() if "--drain-max 1 reached" in x]
    assert len(refused) == 3, every.stdout
    # Twice as many allowed, set by hand: the next worst two.
    more = cluster_run(cluster, "--drain", "--drain-max", "2", "--reference",
                       tmp_path / "ref.toml", "1", "--out", tmp_path / "more", program)
    assert more.returncode == 3, more.stdout + more.stderr
    assert sum(1 for s, _ in nodes(cluster).values() if s == "drained") == 3
    assert "a3: left alone: drained by us already" in more.stdout


def test_the_check_drains_and_returns_its_own_node_only(cluster, tmp_path):
    admin_drain(cluster, "a4")
    program = stand_in(tmp_path, {n: NORMAL for n in NODES})
    (tmp_path / "ref.toml").write_text('[[reference]]\nnodes = "a*"\nmin_simple_gbs = 20\n')
    (tmp_path / "figures" / "a3").write_text(figures(3000.0) + "\n")  # 16 GB/s

    def check(node, *args):
        started = time.monotonic()
        done = tool(cluster, "check", "--reference", tmp_path / "ref.toml", *args, program,
                    env={"SLURMD_NODENAME": node}, timeout=120)
        return done, time.monotonic() - started

    done, took = check("a3", "--drain")
    assert done.returncode == 1, done.stderr
    assert done.stdout.startswith("mmb: simple -20% ref; below reference: simple 16.00 GB/s, "
                                  "its bound 20.00") and done.stdout.count("\n") == 1
    assert took < 60
    assert nodes(cluster)["a3"][1].startswith("mmb: simple -20% ref")
    (tmp_path / "figures" / "a3").write_text(NORMAL + "\n")
    for node in ("a3", "a4"):
        done, _ = check(node, "--return-passed")
        assert (done.returncode, done.stdout) == (0, "ok\n"), done.stderr
    assert nodes(cluster)["a3"][0].rstrip("*") == "idle"  # "*" until slurmd answers
    assert nodes(cluster)["a4"] == ("drained", "admin: psu")
    assert "a4: left alone: drained by someone else (admin: psu)" in done.stderr
    # Bad usage is 2, with nothing run.
    assert tool(cluster, "check", "--budget", "75", program).returncode == 2
    assert tool(cluster, "check", "--reference", tmp_path / "none.toml",
                program).returncode == 2


@pytest.mark.skipif(not PROGRAM, reason="CTest names the built program (MATMUL_BENCH)")
def test_the_real_check_ends_well_within_a_minute(cluster, tmp_path):
    (tmp_path / "ref.toml").write_text('[[reference]]\nnodes = "*"\nmin_blas_gflops = 1\n')
    started = time.monotonic()
    done = tool(cluster, "check", "--reference", tmp_path / "ref.toml", "--export-prometheus",
                tmp_path / "n.prom", PROGRAM, env={"SLURMD_NODENAME": "a1"}, timeout=120)
    took = time.monotonic() - started
    print(f"check with the real program and its limits probe: {took:.1f} s")
    assert (done.returncode, done.stdout) == (0, "ok\n"), done.stderr
    assert took < 45
    assert 'matmul_bench_blas_flop_per_second{node="a1",' in (tmp_path / "n.prom").read_text()
    assert json.dumps(done.stdout)  # one line, nothing else on stdout


def test_an_interrupted_retest_returns_nothing_untested(cluster, tmp_path):
    ours = "mmb: simple -30% grp; drained by the test"
    cluster.run(["scontrol", "update", "NodeName=a3", "State=DRAIN", f"Reason={ours}"])
    program = stand_in(tmp_path, {n: NORMAL for n in NODES}, hold=["a3"])
    retest = subprocess.Popen([TOOL, "cluster", "--poll", "0.5", "--retest-drained", "1",
                               "--out", tmp_path / "out", program], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, env=cluster.env)
    try:
        deadline = time.monotonic() + 120
        while not nodes(cluster)["a3"][0].startswith(("allocated", "mixed")):
            assert time.monotonic() < deadline and retest.poll() is None, cluster.status()
            time.sleep(0.3)
        retest.send_signal(signal.SIGTERM)
        stdout, stderr = retest.communicate(timeout=120)
    finally:
        (tmp_path / "figures" / "release").write_text("")
    assert retest.returncode == 130, stdout + stderr
    # Its cancelled job ends within Slurm's KillWait: draining, then drained.
    deadline = time.monotonic() + 30
    while nodes(cluster)["a3"][0] == "draining" and time.monotonic() < deadline:
        time.sleep(0.3)
    assert nodes(cluster)["a3"] == ("drained", ours)
    assert "mmb-retest-" not in reservations(cluster)
    assert f"a3: drained again: {ours} (kept: its retest did not finish" in stdout
