"""Slurm's own commands, as the cluster mode uses them: every value is one
argument of its own, never a shell's word, and every reading of the queue
or the nodes is one command for all of them, whatever their number."""

import subprocess
import time

from .errors import Failure

# Exit status when Slurm's controller does not answer: nothing can be
# submitted or read, whatever the nodes are doing.
EXIT_NO_CONTROLLER = 4
# Node states that take no job: Slurm's long names (sinfo %T), with any
# "*" (not responding) or "~" (powered down) suffix on top.
UNUSABLE = ("down", "drained", "draining", "drain", "fail", "failing", "maint", "reserved",
            "unknown", "inval", "future", "power_down", "powering_down", "powered_down",
            "not_responding", "reboot_issued", "reboot_requested")


def command(argv, timeout=60):
    """Stdout of one Slurm command; Failure if it cannot run or fails."""
    try:
        proc = subprocess.run(argv, capture_output=True, text=True, timeout=timeout)
    except FileNotFoundError:
        raise Failure(f"{argv[0]} not found: is Slurm's client installed (Debian: "
                      f"slurm-client) and on PATH?", EXIT_NO_CONTROLLER) from None
    except subprocess.TimeoutExpired:
        raise Failure(f"{argv[0]} did not answer within {timeout} s: is Slurm's controller "
                      f"up?", EXIT_NO_CONTROLLER) from None
    if proc.returncode != 0:
        said = (" ".join(proc.stderr.split()) or " ".join(proc.stdout.split()))[:300] or (
            f"status {proc.returncode}")
        raise Failure(f"{argv[0]} failed: {said}", EXIT_NO_CONTROLLER)
    return proc.stdout


def usable(state):
    """Whether a node in this sinfo state takes a job now."""
    base = state.lower().rstrip("*~#!%$@^-")
    return not state.endswith("*") and not any(
        part in UNUSABLE for part in base.replace("+", " ").split())


def nodes(partition=None, node_list=None):
    """[(name, state, reason)] of the partition's nodes, or of node_list's
    (Slurm's host-list syntax: n[1-3],m7), in Slurm's order, each once."""
    argv = ["sinfo", "--noheader", "--Node", "--format=%N|%T|%E"]
    if partition:
        argv.append(f"--partition={partition}")
    if node_list:
        argv.append(f"--nodes={node_list}")
    seen, out = set(), []
    for line in command(argv).splitlines():
        name, state, reason = (line.split("|", 2) + ["", ""])[:3]
        if name and name not in seen:
            seen.add(name)
            out.append((name, state, "" if reason == "none" else reason))
    return out


def configured_cpus():
    """{node: the CPUs Slurm has configured for it (CPUTot)}: one reading."""
    out = {}
    for line in command(["scontrol", "--oneliner", "show", "node"]).splitlines():
        fields = dict(f.split("=", 1) for f in line.split() if "=" in f)
        if fields.get("NodeName") and fields.get("CPUTot", "").isdigit():
            out[fields["NodeName"]] = int(fields["CPUTot"])
    return out


def expand(node_list):
    """Slurm's host list (n[1-3]) as names."""
    return command(["scontrol", "show", "hostnames", node_list]).split()


def submit(script, node, job_name, output, partition=None, time_limit=None, extra=()):
    """Submits `script` to run alone on `node`; returns the job id."""
    argv = ["sbatch", "--parsable", f"--job-name={job_name}", f"--nodelist={node}",
            "--nodes=1", "--ntasks=1", "--exclusive", "--no-requeue",
            # Slurm reads % in file names as a pattern: %% is a plain %.
            f"--output={output.replace('%', '%%')}"]
    if partition:
        argv.append(f"--partition={partition}")
    if time_limit:
        argv.append(f"--time={time_limit}")
    argv += list(extra)
    argv += ["--", script]
    return command(argv).strip().split(";")[0]


def queue(job_name):
    """{job id: (state, reason)} of the jobs in the queue with this name:
    one reading for all of them."""
    text = command(["squeue", "--noheader", f"--name={job_name}", "--format=%i|%T|%R",
                    "--states=all"])
    out = {}
    for line in text.splitlines():
        job, state, reason = (line.split("|", 2) + ["", ""])[:3]
        out[job] = (state, reason)
    return out


def cancel_pending(job_ids):
    """Cancels those of these jobs that have not started; never any other."""
    ids = list(job_ids)
    for start in range(0, len(ids), 500):
        command(["scancel", "--state=PENDING", *ids[start:start + 500]])


def environment_ok():
    """Raises Failure with Slurm's own word when its controller is down."""
    command(["scontrol", "ping"])
    return True


def update_node(node, state, reason=None):
    """scontrol update NodeName=NODE State=STATE [Reason=...]: the argv, for
    a dry run to print and a real one to run."""
    argv = ["scontrol", "update", f"NodeName={node}", f"State={state}"]
    if reason is not None:
        argv.append(f"Reason={reason}")
    return argv


def create_reservation(name, nodes, user, minutes):
    """A maintenance reservation of `nodes` for `user` alone, from now: no
    other job lands on them while it lasts, and jobs already there are no
    obstacle to making it."""
    command(["scontrol", "create", "reservation", f"ReservationName={name}", "StartTime=now",
             f"Duration={minutes}", f"Nodes={','.join(nodes)}", f"Users={user}",
             "Flags=MAINT,IGNORE_JOBS"])


def delete_reservation(name, wait=60):
    """Deletes it; Slurm refuses while a job of it is still ending, so
    that refusal is waited out for up to `wait` seconds."""
    deadline = time.monotonic() + wait
    while True:
        try:
            command(["scontrol", "delete", f"ReservationName={name}"])
            return
        except Failure as failure:
            if "in use" not in str(failure) or time.monotonic() > deadline:
                raise
            time.sleep(1)
