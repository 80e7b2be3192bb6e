"""Every node of a cluster: the program run on each node through Slurm, one
job per node with the node to itself, and one report for the fleet.

DIR holds everything, so that an interrupted or failed run loses nothing
and --resume DIR finishes it:
  DIR/state.json          what was asked and the jobs submitted (ours alone)
  DIR/job.sh              the batch script, every value quoted
  DIR/nodes/NODE.json     a node's export, written atomically as it arrives
  DIR/nodes/NODE.failed.json  a node's failed run: its status and message
  DIR/logs/NODE.out       the job's own output
  DIR/cluster.md, DIR/cluster.json, DIR/cluster.svg   the fleet report
"""

import contextlib
import json
import os
import shlex
import signal
import time
import uuid

from . import fleet, model, problem, runner, slurm
from .errors import Failure, say
from .export import svg

STATE = "state.json"


def node_file(out, node, kind="json"):
    return os.path.join(out, "nodes", f"{node}.{kind}")


def load_state(out):
    try:
        with open(os.path.join(out, STATE), encoding="utf-8") as f:
            return json.load(f)
    except FileNotFoundError:
        raise Failure(f"{out} holds no cluster run to resume ({STATE} not found)", 2) from None
    except (OSError, ValueError) as e:
        raise Failure(f"cannot read {os.path.join(out, STATE)}: {e}", 2) from None


def batch_script(launcher, out, runs, program, timeout=runner.RUN_TIMEOUT):
    """The job: the results tool's node mode on whichever node Slurm gave,
    run by the node's own python3 (the launcher's first line)."""
    argv = [launcher, "cluster-node", "--out", out, "--timeout", f"{timeout:g}", str(runs), "--",
            program]
    return ("#!/bin/sh\n# Written by matmul-results cluster: one node's runs.\n"
            "exec " + " ".join(shlex.quote(a) for a in argv) + "\n")


@contextlib.contextmanager
def signals_held():
    """Holds an interrupt until the block is done: a job that sbatch has
    queued is in the state file before any interrupt is heard, so that no
    job is left out of it and --resume never submits a node twice."""
    held = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, held)


def has_result(out, node):
    return os.path.exists(node_file(out, node)) or os.path.exists(
        node_file(out, node, "failed.json"))


class Progress:
    def __init__(self):
        self.last = None

    def show(self, counts):
        line = ", ".join(f"{n} {what}" for what, n in counts.items())
        if line != self.last:
            say(f"nodes: {line}")
            self.last = line


def run(args, launcher, write):
    """Submits, waits and reports. `write(path, text)` writes atomically."""
    if args.resume:
        out = args.resume
        state = load_state(out)
    else:
        out = args.out
        if os.path.exists(os.path.join(out, STATE)):
            raise Failure(f"{out} already holds a cluster run: --resume {out} finishes it, "
                          f"or choose another folder", 2)
        program = os.path.abspath(args.program)
        if not os.access(program, os.X_OK):
            raise Failure(f"{program} not found or not executable", 2)
        state = {"program": program, "runs": args.runs, "partition": args.partition,
                 "nodes_asked": args.nodes, "sbatch_args": args.sbatch_arg,
                 "timeout": args.timeout,
                 "name": f"matmul-results-{uuid.uuid4().hex[:12]}", "jobs": {}}
    slurm.environment_ok()  # before anything is written
    for folder in (out, os.path.join(out, "nodes"), os.path.join(out, "logs")):
        os.makedirs(folder, exist_ok=True)
    found = slurm.nodes(state["partition"], state["nodes_asked"])
    if state["nodes_asked"]:
        # A node asked for but unknown to Slurm is reported, not dropped.
        known = {name for name, _, _ in found}
        found += [(n, "unknown", "not known to Slurm") for n in slurm.expand(state["nodes_asked"])
                  if n not in known]
    if not found:
        raise Failure("Slurm lists no node " + (f"in partition {state['partition']}"
                                               if state["partition"] else "to run on"), 2)
    state["nodes"] = [name for name, _, _ in found]
    script = os.path.join(out, "job.sh")
    write(script, batch_script(launcher, os.path.abspath(out), state["runs"], state["program"],
                               state.get("timeout", runner.RUN_TIMEOUT)))
    os.chmod(script, 0o755)
    write(os.path.join(out, STATE), json.dumps(state, indent=2) + "\n")

    not_run = {name: f"{state_}: {reason}" if reason else state_
               for name, state_, reason in found if not slurm.usable(state_)}
    # Jobs of an earlier, interrupted run that are still queued are waited
    # for, not submitted again.
    queued = slurm.queue(state["name"])
    active = {node: job for node, job in state["jobs"].items()
              if job in queued and queued[job][0] in ("PENDING", "RUNNING", "CONFIGURING",
                                                        "COMPLETING")}
    to_submit = [n for n in state["nodes"]
                 if n not in not_run and n not in active and not has_result(out, n)]
    lost = {}
    progress = Progress()
    interrupted = []
    silent_since = controller_lost = None

    def stop(signum, _frame):
        interrupted.append(signum)
        raise KeyboardInterrupt

    previous = {s: signal.signal(s, stop) for s in (signal.SIGINT, signal.SIGTERM)}
    try:
        while to_submit or active:
            while to_submit and len(active) < args.max_queued:
                node = to_submit[0]
                with signals_held():
                    try:
                        job = slurm.submit(script, node, state["name"],
                                           os.path.join(os.path.abspath(out), "logs",
                                                        f"{node}.out"),
                                           state["partition"], args.time_limit,
                                           state["sbatch_args"])
                    except Failure as failure:
                        not_run[node] = f"not submitted: {failure}"
                        to_submit.pop(0)
                        continue
                    to_submit.pop(0)
                    active[node] = job
                    state["jobs"][node] = job
                    write(os.path.join(out, STATE), json.dumps(state, indent=2) + "\n")
            try:
                queued = slurm.queue(state["name"])
                silent_since = None
            except Failure as failure:
                # A controller restarting is waited for; one gone is reported.
                silent_since = silent_since or time.monotonic()
                if time.monotonic() - silent_since < args.controller_wait:
                    time.sleep(args.poll)
                    continue
                controller_lost = str(failure)
                break
            for node, job in list(active.items()):
                job_state, reason = queued.get(job, ("GONE", ""))
                if job_state in ("PENDING", "RUNNING", "CONFIGURING", "COMPLETING"):
                    if job_state == "PENDING" and ("ReqNodeNotAvail" in reason
                                                   or "NodeDown" in reason):
                        # Its node went away before it started: not run.
                        slurm.cancel_pending([job])
                        not_run[node] = f"its node is unavailable ({reason})"
                        del active[node]
                    continue
                del active[node]
                if not has_result(out, node):
                    lost[node] = f"job {job} ended {job_state.lower()} without a result"
            running = sum(1 for job in active.values()
                          if queued.get(job, ("",))[0] in ("RUNNING", "CONFIGURING",
                                                           "COMPLETING"))
            done = [n for n in state["nodes"] if os.path.exists(node_file(out, n))]
            failed = [n for n in state["nodes"] if os.path.exists(
                node_file(out, n, "failed.json"))]
            progress.show({"done": len(done), "running": running,
                           "pending": len(active) - running + len(to_submit),
                           "failed": len(failed) + len(lost), "not run": len(not_run)})
            if to_submit or active:
                time.sleep(args.poll)
    except KeyboardInterrupt:
        mine = list(active.values())
        if mine:
            say(f"interrupted: cancelling this run's {len(mine)} jobs that have not started")
            try:
                slurm.cancel_pending(mine)
            except Failure as failure:
                say(str(failure))
        for node in to_submit:
            not_run[node] = "interrupted before it was submitted"
        for node in active:
            not_run[node] = "interrupted: its job had not finished (--resume waits for it)"
    finally:
        for s, handler in previous.items():
            signal.signal(s, handler)
    if controller_lost:
        say(f"Slurm's controller stopped answering for {args.controller_wait:g} s: {controller_lost}")
        for node in to_submit + list(active):
            not_run[node] = f"Slurm's controller stopped answering ({controller_lost})"
    status = report(out, state["nodes"], not_run, lost, args, write)
    if interrupted:
        return 130
    return slurm.EXIT_NO_CONTROLLER if controller_lost else status


def collect(out, names, not_run, lost):
    """Every node's row: its export, its failure, or why it has neither."""
    nodes = []
    for name in names:
        if os.path.exists(node_file(out, name)):
            try:
                nodes.append(fleet.from_result(name, model.load(node_file(out, name))))
            except Failure as failure:
                nodes.append(fleet.Node(name, "failed", f"its export is unreadable: {failure}"))
            continue
        if os.path.exists(node_file(out, name, "failed.json")):
            nodes.append(failed_node(name, node_file(out, name, "failed.json")))
        elif name in lost:
            nodes.append(fleet.Node(name, "lost", lost[name]))
        else:
            nodes.append(fleet.Node(name, "not run", not_run.get(name, "no result")))
    return nodes


def failed_node(name, path):
    """A node's row from its failure record; one that cannot be read is a
    failure still, with what is wrong with the record."""
    try:
        with open(path, encoding="utf-8") as f:
            failed = json.load(f)
        if not isinstance(failed, dict):
            raise ValueError("not a JSON object")
    except (OSError, UnicodeDecodeError, ValueError) as e:
        return fleet.Node(name, "failed", f"its failure record {path} is unreadable: {e}")
    status = failed.get("status")
    return fleet.Node(name, "failed", str(failed.get("message", "")),
                      status=status if isinstance(status, int) else None)


def report(out, names, not_run, lost, args, write):
    nodes = collect(out, names, not_run, lost)
    thresholds = {"slow_mads": args.slow_mads, "slow_percent": args.slow_percent}
    groups = fleet.judge(nodes, args.slow_mads, args.slow_percent)
    write(os.path.join(out, "cluster.md"), fleet.markdown(nodes, groups, thresholds))
    write(os.path.join(out, "cluster.json"), json.dumps(model.encode(
        {"nodes": [vars(n) for n in nodes], "groups": groups, "thresholds": thresholds,
         "diff_bound": problem.DIFF_BOUND}), indent=2, allow_nan=False) + "\n")
    if any(n.state == "ok" for n in nodes) and not args.no_plot:
        try:
            write(os.path.join(out, "cluster.svg"), svg.render_fleet(nodes))
        except Failure as failure:
            say(f"no chart: {failure}")
    print(fleet.text(nodes), end="")
    return fleet.EXIT_FLAGGED if fleet.flagged(nodes) else 0
