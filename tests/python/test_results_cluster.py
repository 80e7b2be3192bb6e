"""matmul-results cluster against a real Slurm started here (slurm_cluster):
the real program on three emulated nodes; a stand-in that prints figures
chosen per node for the flagging, a drained node, a node lost mid-run and
resumed, an interrupt, thirty-two nodes, and hostile paths. Needs root and
Debian's slurm-wlm and munge; skipped with the reason otherwise."""

import json
import os
import shutil
import signal
import subprocess
import time

import pytest
import slurm_cluster
from conftest import ROOT
from stand_in import NORMAL, stand_in

TOOL = str(ROOT / "scripts" / "matmul-results")
PROGRAM = os.environ.get("MATMUL_BENCH")
pytestmark = pytest.mark.skipif(slurm_cluster.why_not() is not None,
                                reason=slurm_cluster.why_not() or "")

def tool(cluster, *args, timeout=300):
    return subprocess.run([TOOL, "cluster", "--poll", "0.5", *map(str, args)],
                          capture_output=True, text=True, env=cluster.env, timeout=timeout)


def start(cluster, program, out, *args):
    """The tool on n1-n3, one run each, in the background."""
    return subprocess.Popen([TOOL, "cluster", "--poll", "0.5", *map(str, args), "--nodes",
                             "n[1-3]", "1", "--out", out, program], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=cluster.env)


def wait_for_progress(cluster, run, text, seconds=120):
    """Reads the tool's progress lines until one holds `text`."""
    deadline = time.monotonic() + seconds
    while text not in (run.stderr.readline() if run.poll() is None else ""):
        assert time.monotonic() < deadline and run.poll() is None, (
            f"no line with {text!r}\n{cluster.status()}")


def rows(out):
    """{node: row} from the report in DIR/cluster.json."""
    with open(os.path.join(out, "cluster.json"), encoding="utf-8") as f:
        return {n["name"]: n for n in json.load(f)["nodes"]}


tmp_path = slurm_cluster.own_tmp_path("mm-cluster-")


@pytest.fixture(scope="module")
def slurm():
    with slurm_cluster.SlurmCluster([f"n{i}" for i in range(1, 6)]) as c:
        yield c


@pytest.fixture
def cluster(slurm, tmp_path):
    """The shared cluster, every job of the test ended after it, before the
    test's folder goes (its jobs' programs read their figures there)."""
    yield slurm
    slurm.settle()


@pytest.mark.skipif(not PROGRAM, reason="CTest names the built program (MATMUL_BENCH)")
def test_the_real_program_on_three_nodes(cluster, tmp_path):
    # One node at a time: the emulated nodes share this machine's cores. They
    # are one machine, so what tells them apart is this shared VM's noise and
    # the other tests running beside this one: the threshold is set above it.
    done = tool(cluster, "--nodes", "n[1-3]", "1", "--max-queued", "1", "--slow-percent", "90",
                "--out", tmp_path / "out", PROGRAM, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
    report = rows(tmp_path / "out")
    assert set(report) == {"n1", "n2", "n3"}
    for node in report.values():
        assert node["state"] == "ok" and node["flags"] == []
        assert node["kernels"] and node["naive"] and 0 < node["diff"] < 1
    table = (tmp_path / "out" / "cluster.md").read_text()
    assert table.startswith("# matmul-bench on 3 nodes\n\n3 nodes: 3 ok.")
    every = table.split("## Every node")[1]
    assert all(f"\n| {n} | ok |" in every for n in ("n1", "n2", "n3")), every
    chart = (tmp_path / "out" / "cluster.svg").read_text()
    # One box per group, its label as text; no node flagged, none named.
    assert f">{report['n1']['group']}</text>" in chart and ">n1</text>" not in chart
    assert "nodes: 3 done" in done.stderr


def test_slow_faulty_and_failing_nodes_are_named(cluster, tmp_path):
    program = stand_in(tmp_path, {"n1": NORMAL,
                                  "n2": "1000.000000 100.000000 -nan",  # garbage
                                  "n3": "1430.000000 100.000000 0.000150",  # 30 % slower
                                  "n4": "1000.000000 100.000000 0.500000",  # diff out of bound
                                  "n5": "0 0 0 2 out of memory: test"})
    done = tool(cluster, "2", "--out", tmp_path / "out", program)
    assert done.returncode == 3, done.stdout + done.stderr
    report = rows(tmp_path / "out")
    assert report["n1"]["flags"] == []
    # A NaN is kept, as JSON can hold it, and named.
    assert report["n2"]["diff"] == "nan" and report["n2"]["flags"] == [
        "faulty: diff nan: its products are not numbers that agree"]
    node_export = json.loads((tmp_path / "out" / "nodes" / "n2.json").read_text())
    assert node_export["runs"][0]["diff"] == "nan"
    assert report["n3"]["flags"] == ["slow: simple -30.1 % from its group's median"]
    assert [f for f in report["n4"]["flags"] if f.startswith("faulty: diff 0.500000")]
    assert report["n5"]["state"] == "failed" and report["n5"]["status"] == 2
    assert "out of memory: test" in report["n5"]["reason"]
    assert "n3: slow" in done.stdout and "n5: faulty: the run failed with status 2" in done.stdout
    # Looser thresholds, set by hand, let the slow node pass.
    again = subprocess.run([TOOL, "cluster", "--resume", tmp_path / "out", "--slow-percent",
                            "40"], capture_output=True, text=True, env=cluster.env, timeout=120)
    assert rows(tmp_path / "out")["n3"]["flags"] == [], again.stderr


def test_a_drained_node_is_listed_with_slurms_reason(cluster, tmp_path):
    program = stand_in(tmp_path, {f"n{i}": NORMAL for i in range(1, 6)})
    cluster.run(["scontrol", "update", "NodeName=n2", "State=DRAIN", "Reason=fan replaced"])
    try:
        done = tool(cluster, "1", "--out", tmp_path / "out", program)
    finally:
        cluster.run(["scontrol", "update", "NodeName=n2", "State=RESUME"])
    assert done.returncode == 3
    report = rows(tmp_path / "out")
    assert report["n2"]["state"] == "not run"
    assert "drained" in report["n2"]["reason"] and "fan replaced" in report["n2"]["reason"]
    assert all(report[n]["state"] == "ok" for n in ("n1", "n3", "n4", "n5"))


def test_a_node_lost_mid_run_is_reported_and_resume_completes_it(cluster, tmp_path):
    program = stand_in(tmp_path, {f"n{i}": NORMAL for i in range(1, 4)}, hold=["n3"])
    out = tmp_path / "out"
    run = start(cluster, program, out)
    try:
        deadline = time.monotonic() + 120
        while not (out / "nodes" / "n1.json").exists() or not (out / "nodes" / "n2.json").exists():
            assert time.monotonic() < deadline, f"n1 and n2 did not finish\n{cluster.status()}"
            time.sleep(0.2)
        cluster.stop_node("n3")  # its job is still holding
        stdout, stderr = run.communicate(timeout=120)
    finally:
        if run.poll() is None:
            run.kill()
    assert run.returncode == 3, stdout + stderr
    report = rows(out)
    assert report["n3"]["state"] == "lost" and "without a result" in report["n3"]["reason"]
    assert report["n1"]["state"] == report["n2"]["state"] == "ok"
    # The node back (its lost job killed as it registers, still holding),
    # --resume runs it alone and reports all three.
    (tmp_path / "figures" / "n3.hold").unlink()
    cluster.start_node("n3")
    try:
        cluster._wait(lambda: "n3" in cluster.idle(), "n3 idle again")
        jobs_before = json.loads((out / "state.json").read_text())["jobs"]
        done = subprocess.run([TOOL, "cluster", "--poll", "0.5", "--resume", out],
                              capture_output=True, text=True, env=cluster.env, timeout=120)
    finally:
        (tmp_path / "figures" / "release").write_text("")
    assert done.returncode == 0, done.stdout + done.stderr
    assert all(n["state"] == "ok" for n in rows(out).values())
    jobs_after = json.loads((out / "state.json").read_text())["jobs"]
    assert jobs_after["n1"] == jobs_before["n1"] and jobs_after["n3"] != jobs_before["n3"]


def test_an_interrupt_cancels_only_this_runs_jobs_that_have_not_started(cluster, tmp_path):
    program = stand_in(tmp_path, {f"n{i}": NORMAL for i in range(1, 4)}, hold=["n2", "n3"])
    # Another user's job holds n1, so this run's job for n1 waits.
    foreign = cluster.run(["sbatch", "--parsable", "--nodelist=n1", "--exclusive",
                           f"--output={tmp_path / 'foreign.out'}", "--wrap",
                           "sleep 60"]).stdout.strip()
    out = tmp_path / "out"
    run = start(cluster, program, out)
    try:
        wait_for_progress(cluster, run, "2 running, 1 pending")
        run.send_signal(signal.SIGINT)
        stdout, stderr = run.communicate(timeout=60)
        queue = cluster.run(["squeue", "--noheader", "--format=%i %T"]).stdout
    finally:
        (tmp_path / "figures" / "release").write_text("")
        cluster.run(["scancel", foreign])
        if run.poll() is None:
            run.kill()
    assert run.returncode == 130, stderr
    jobs = json.loads((out / "state.json").read_text())["jobs"]
    states = dict(line.split() for line in queue.splitlines())
    assert jobs["n1"] not in states  # cancelled before it started
    assert states[foreign] == "RUNNING"  # not ours: untouched
    assert states[jobs["n2"]] == "RUNNING" and states[jobs["n3"]] == "RUNNING"
    assert "cancelling this run's" in stderr
    report = rows(out)
    assert report["n1"]["state"] == "not run"


# sbatch as the tool calls it: the real one, logging "NODE JOB" for each job
# it queued; while FOLDER/interrupt exists, it then interrupts the tool
# before the tool can have read the job's id.
INTERRUPTING_SBATCH = """#!/bin/sh
here=$(dirname "$0")
id=$("$REAL_SBATCH" "$@") || exit $?
for a in "$@"; do case $a in --nodelist=*) node=${a#--nodelist=} ;; esac; done
echo "$node $id" >>"$here/submitted"
if [ -e "$here/interrupt" ]; then rm "$here/interrupt"; kill -INT $PPID; sleep 1; fi
echo "$id"
"""


def test_an_interrupt_as_sbatch_returns_orphans_no_job(cluster, tmp_path):
    program = stand_in(tmp_path, {f"n{i}": NORMAL for i in range(1, 4)})
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "sbatch").write_text(INTERRUPTING_SBATCH)
    (bin_dir / "sbatch").chmod(0o755)
    (bin_dir / "interrupt").write_text("")
    env = dict(cluster.env, REAL_SBATCH=shutil.which("sbatch", path=cluster.env.get("PATH")),
               PATH=f"{bin_dir}{os.pathsep}{cluster.env.get('PATH', os.defpath)}")
    out = tmp_path / "out"
    done = subprocess.run([TOOL, "cluster", "--poll", "0.5", "--max-queued", "1", "--nodes",
                           "n[1-3]", "1", "--out", out, program], capture_output=True,
                          text=True, env=env, timeout=120)
    assert done.returncode == 130, done.stdout + done.stderr
    state = json.loads((out / "state.json").read_text())
    queued = set(cluster.run(["squeue", "--noheader", f"--name={state['name']}",
                              "--states=all", "--format=%i"]).stdout.split())
    # The job sbatch queued is in the state file: nothing of this run's is
    # in Slurm's queue that the tool does not know of.
    assert queued and queued <= set(state["jobs"].values()), (queued, state["jobs"])
    again = subprocess.run([TOOL, "cluster", "--poll", "0.5", "--resume", out],
                           capture_output=True, text=True, env=env, timeout=120)
    assert again.returncode == 0, again.stdout + again.stderr
    assert all(n["state"] == "ok" for n in rows(out).values())
    # Every node ran one job: any other was cancelled before it started.
    states = dict(line.split() for line in cluster.run(
        ["squeue", "--noheader", f"--name={state['name']}", "--states=all",
         "--format=%i %T"]).stdout.splitlines())
    ran = {}
    for line in (bin_dir / "submitted").read_text().splitlines():
        node, job = line.split()
        if states.get(job) != "CANCELLED":
            ran.setdefault(node, []).append(job)
    assert {node: len(jobs) for node, jobs in ran.items()} == {"n1": 1, "n2": 1, "n3": 1}, (
        ran, states)


def test_a_malformed_failure_record_is_reported_not_a_traceback(cluster, tmp_path):
    program = stand_in(tmp_path, {f"n{i}": NORMAL for i in range(1, 3)})
    out = tmp_path / "out"
    assert tool(cluster, "--nodes", "n[1-2]", "1", "--out", out, program).returncode == 0
    (out / "nodes" / "n2.json").unlink()
    for record in ("{truncated", "[1, 2]", "\xff\xfe"):
        (out / "nodes" / "n2.failed.json").write_bytes(record.encode("latin-1"))
        done = subprocess.run([TOOL, "cluster", "--resume", out], capture_output=True,
                              text=True, env=cluster.env, timeout=120)
        assert done.returncode == 3 and "Traceback" not in done.stderr, done.stderr
        assert "failure record" in rows(out)["n2"]["reason"]


def test_hostile_paths_go_to_slurm_as_arguments(cluster, tmp_path):
    hostile = tmp_path / "a b 'q' \"dq\" $(touch pwned) `touch pwned2` %j"
    program = stand_in(hostile, {f"n{i}": NORMAL for i in range(1, 4)})
    done = subprocess.run([TOOL, "cluster", "--poll", "0.5", "--nodes", "n[1-3]", "1",
                           "--out", str(hostile / "out $(touch pwned3)"), str(program)],
                          capture_output=True, text=True, env=cluster.env, timeout=120,
                          cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    out = hostile / "out $(touch pwned3)"
    assert all(n["state"] == "ok" for n in rows(out).values())
    assert (out / "logs" / "n1.out").exists()
    found = [p for p in tmp_path.rglob("pwned*")]
    assert not found and not list(ROOT.glob("pwned*"))


def test_a_controller_that_stops_answering_loses_nothing(cluster, tmp_path):
    program = stand_in(tmp_path, {f"n{i}": NORMAL for i in range(1, 4)},
                       hold=["n1", "n2", "n3"])
    out = tmp_path / "out"
    run = start(cluster, program, out, "--controller-wait", "3")
    try:
        wait_for_progress(cluster, run, "3 running")
        cluster.stop_controller()
        stdout, stderr = run.communicate(timeout=60)
        assert run.returncode == 4, stdout + stderr
        assert "Slurm's controller stopped answering for 3 s" in stderr
        assert all("controller stopped answering" in n["reason"] for n in rows(out).values())
    finally:
        if run.poll() is None:
            run.kill()
        cluster.start_controller()
        (tmp_path / "figures" / "release").write_text("")
    # Back up, the jobs were never lost: --resume waits for them, submits nothing.
    jobs_before = json.loads((out / "state.json").read_text())["jobs"]
    done = subprocess.run([TOOL, "cluster", "--poll", "0.5", "--resume", out],
                          capture_output=True, text=True, env=cluster.env, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    assert json.loads((out / "state.json").read_text())["jobs"] == jobs_before
    assert all(n["state"] == "ok" for n in rows(out).values())


def test_a_controller_that_does_not_answer_is_a_clear_failure(cluster, tmp_path):
    conf = tmp_path / "slurm.conf"
    text = open(cluster.env["SLURM_CONF"], encoding="utf-8").read()
    conf.write_text(text.replace(f"SlurmctldPort={cluster.controller_port}", "SlurmctldPort=9"))
    env = dict(cluster.env, SLURM_CONF=str(conf))
    program = stand_in(tmp_path, {})
    done = subprocess.run([TOOL, "cluster", "1", "--out", tmp_path / "out", program],
                          capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 4
    assert done.stderr.startswith("matmul-results: scontrol failed")
    assert not (tmp_path / "out").exists()


def test_thirty_two_nodes_in_bounded_time(tmp_path):
    names = [f"s{i:02d}" for i in range(1, 33)]
    program = stand_in(tmp_path, {n: NORMAL for n in names})
    with slurm_cluster.SlurmCluster(names, timeout=120) as big:
        start = time.monotonic()
        done = subprocess.run([TOOL, "cluster", "--poll", "1", "1", "--max-queued", "16",
                               "--out", tmp_path / "out", program], capture_output=True,
                              text=True, env=big.env, timeout=600)
        took = time.monotonic() - start
    assert done.returncode == 0, done.stdout + done.stderr
    assert len(rows(tmp_path / "out")) == 32
    print(f"32 nodes: submitted, waited and reported in {took:.1f} s")
    assert took < 180
