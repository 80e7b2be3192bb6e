"""Every node of a cluster: the program run on each node through Slurm, one
job per node with the node to itself, and one report for the fleet.

DIR holds everything, so that an interrupted or failed run loses nothing
and --resume DIR finishes it:
  DIR/state.json          what was asked and the jobs submitted (ours alone)
  DIR/job.sh              the batch script, every value quoted
  DIR/nodes/NODE.json     a node's export, written atomically as it arrives
  DIR/nodes/NODE.failed.json  a node's failed run: its status and message
  DIR/logs/NODE.out       the job's own output
  DIR/confirm/            --confirm's second runs, laid out as DIR is
  DIR/cluster.md, .csv, .json, .svg   the fleet report

cluster --report DIR writes the report again from DIR/nodes alone, with
no Slurm: a folder of node exports copied in by hand will do.
"""

import contextlib
import hashlib
import json
import os
import shlex
import signal
import time
import uuid

from . import actions, fleet, history, model, problem, references, runner, slurm
from .errors import Failure, say
from .export import fleet_report, junit, prometheus, svg
from .store import Store

STATE = "state.json"
# Where --confirm's second runs go, as DIR does for the first.
CONFIRM = "confirm"


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
    if args.report:
        return report(args.report, None, {}, {}, args, write)
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
                 "timeout": args.timeout, "started": now(),
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
    state["slurm_cpus"] = slurm.configured_cpus()
    retest = retest_candidates(found) if args.retest_drained else {}
    write_script(launcher, out, state, write)
    not_run = {name: f"{state_}: {reason}" if reason else state_
               for name, state_, reason in found if not slurm.usable(state_)
               and name not in retest}
    if args.retest_drained:
        if not retest:
            say(f"no node is drained with a reason of this tool's ({actions.PREFIX}): "
                f"nothing to retest")
            return 0
        return retest_run(launcher, out, state, retest, not_run, args, write)
    return measure_and_report(launcher, out, state, not_run, args, write)


def measure_and_report(launcher, out, state, not_run, args, write, retest=None):
    jobs = Jobs(state, out, out, "jobs", args, write)
    lost, interrupted, controller_lost = jobs.run(
        [n for n in state["nodes"] if n not in not_run], not_run)
    if controller_lost:
        say(f"Slurm's controller stopped answering for {args.controller_wait:g} s: "
            f"{controller_lost}")
    confirm = None if interrupted or controller_lost or not args.confirm else (
        lambda nodes: confirm_nodes(launcher, out, state, nodes, args, write))
    status = report(out, state["nodes"], not_run, lost, args, write, confirm, retest)
    if interrupted:
        return 130
    return slurm.EXIT_NO_CONTROLLER if controller_lost else status


def retest_candidates(found):
    """{node: its reason} of the nodes drained by this tool and idle: a node
    still running a job (draining) or not responding waits for a later retest."""
    return {name: reason for name, state, reason in found
            if actions.ours(reason) and state.lower().rstrip("~") == "drained"}


def reservation_minutes(time_limit):
    """The retest's reservation lasts the jobs' time limit twice, and ten
    minutes for the report; the run deletes it as soon as it is done."""
    return f"{2 * int(time_limit) + 10}" if str(time_limit).isdigit() else "UNLIMITED"


def retest_run(launcher, out, state, retest, not_run, args, write):
    """Our drained nodes, each resumed inside a maintenance reservation of
    this user's alone, so that no other job lands on them, and run beside
    their peers; the report returns those that pass and drains the others
    again. Whatever happens, a retested node that was not judged is drained
    again with its old reason and the reservation is deleted."""
    name = f"mmb-retest-{state['name'].rsplit('-', 1)[-1]}"
    info = {"reservation": name, "nodes": retest, "settled": set()}
    state["retest"] = {"reservation": name, "nodes": retest}
    state["node_sbatch_args"] = {n: [f"--reservation={name}"] for n in retest}
    write(os.path.join(out, STATE), json.dumps(state, indent=2) + "\n")

    def stop(signum, _frame):
        raise KeyboardInterrupt

    previous = {s: signal.signal(s, stop) for s in (signal.SIGINT, signal.SIGTERM)}
    created = False
    try:
        with signals_held():
            slurm.create_reservation(name, list(retest), actions.me(),
                                     reservation_minutes(args.time_limit))
            created = True
        say(f"reservation {name} holds {', '.join(retest)} for this user alone; resuming "
            f"them inside it to retest them")
        for node in retest:
            slurm.command(slurm.update_node(node, "RESUME"))
        wait_responding(list(retest))
        return measure_and_report(launcher, out, state, not_run, args, write, info)
    except KeyboardInterrupt:
        return 130
    finally:
        # A second interrupt waits until the nodes are safe again.
        with signals_held():
            if created:
                end_retest(name, retest, info["settled"], state)
            for s, handler in previous.items():
                signal.signal(s, handler)


def end_retest(name, retest, settled, state):
    """Drains again, with its old reason, each retested node that was not
    judged, ends its job (an unfinished retest's figures are no verdict,
    and Slurm keeps a reservation that a job still uses), then deletes the
    reservation: no node returns untested."""
    try:
        queued = slurm.queue(state["name"])
        jobs = [job for key in ("jobs", "confirm_jobs") for node, job in
                state.get(key, {}).items()
                if node in retest and queued.get(job, ("",))[0] in ACTIVE]
        if jobs:
            slurm.command(["scancel", *jobs])
    except Failure as failure:
        say(f"the retest's jobs not cancelled: {failure}")
    for node in (n for n in retest if n not in settled):
        try:
            slurm.command(slurm.update_node(node, "DRAIN", retest[node]))
            say(f"{node}: drained again with its old reason: its retest was not finished")
        except Failure as failure:
            say(f"{node}: could not be drained again ({failure}): drain it by hand")
    try:
        slurm.delete_reservation(name)
        say(f"reservation {name} deleted")
    except Failure as failure:
        say(f"reservation {name} not deleted ({failure}): scontrol delete "
            f"ReservationName={name}")


def wait_responding(names, seconds=30):
    """A resumed node is "not responding" until slurmd answers the
    controller's ping: a job sent to it before then is refused."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        states = {n: s for n, s, _ in slurm.nodes(node_list=",".join(names))}
        if all(not states.get(n, "*").endswith("*") for n in names):
            return
        time.sleep(0.5)


def against_peers(nodes, retested, args):
    """A retested node is set against its peers alone, the nodes of its group
    that were not drained: judged among themselves, a few drained nodes
    would widen the group's spread and pass one another."""
    for node in nodes:
        if node.name not in retested or node.state != "ok":
            continue
        peers = [n for n in nodes if n.state == "ok" and n.group == node.group
                 and n.name not in retested]
        node.flags = [f for f in node.flags if fleet.kind(f) != "slow"]
        if peers:
            node.flags += fleet.slow_flags(node, fleet.rates(peers, args.slow_mads,
                                                             args.slow_percent))
        elif not any(fleet.kind(n) == "no peers" for n in node.notes):
            node.notes.append("no peers: no node of its group that was not drained ran")


def retest_actions(nodes, info, run):
    """Each retested node returned (it was resumed for the retest and stays
    so), or drained again: with its new reason if it failed, its old one if
    it did not run or there was nothing to judge it against."""
    out = []
    for node in nodes:
        if node.name not in info["nodes"]:
            continue
        old = info["nodes"][node.name]
        flags = actions.drainable(node)
        alone = (node.state == "ok" and any(fleet.kind(n) == "no peers" for n in node.notes)
                 and node.reference is None and node.baseline is None)
        if node.state == "ok" and not flags and not alone:
            out.append(actions.Action(node.name, "returned", "its retest passed"))
        elif flags:
            text = actions.reason(flags, run)
            out.append(actions.Action(node.name, "drained again", text,
                                      slurm.update_node(node.name, "DRAIN", text)))
        else:
            why = ("nothing to judge it against (no peers ran, no --reference, no history in "
                   "--store)" if alone else f"its retest did not finish ({node.state}: "
                   f"{node.reason or 'no result'})")
            out.append(actions.Action(node.name, "drained again", f"{old} (kept: {why})",
                                      slurm.update_node(node.name, "DRAIN", old)))
    return out


def act(nodes, names, key, args, state, retest):
    """The retest's verdicts and --drain's drains, carried out (or, with
    --drain-dry-run, printed): the report's lines of what was done."""
    done = []
    if retest:
        done += actions.carry_out(retest_actions(nodes, retest, key), False)
        retest["settled"].update(a.node for a in done if a.outcome != "drain failed")
    if args.drain or args.drain_dry_run:
        limit = args.drain_max if args.drain_max is not None else actions.default_limit(
            len(names))
        seen = actions.states(partition=(state or {}).get("partition"))
        asked = [n for n in nodes if n.name not in (retest or {}).get("nodes", {})]
        done += actions.carry_out(actions.plan(asked, seen, limit, key), args.drain_dry_run)
    return actions.describe(done)


def measured_times(out, names):
    """{node: when its export was written}, for the monitoring's staleness."""
    times = {}
    for name in names:
        for folder in (os.path.join(out, CONFIRM), out):
            if os.path.exists(node_file(folder, name)):
                times[name] = os.path.getmtime(node_file(folder, name))
                break
    return times


def now():
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())


def write_script(launcher, out, state, write, folder=None):
    folder = folder or out
    script = os.path.join(folder, "job.sh")
    write(script, batch_script(launcher, os.path.abspath(folder), state["runs"], state["program"],
                               state.get("timeout", runner.RUN_TIMEOUT)))
    os.chmod(script, 0o755)
    write(os.path.join(out, STATE), json.dumps(state, indent=2) + "\n")
    return script


class Jobs:
    """One job per node, submitted and waited for: their results land in
    FOLDER/nodes, their ids in state[KEY], written to OUT/state.json as each
    is queued."""

    def __init__(self, state, out, folder, key, args, write):
        self.state, self.out, self.folder, self.key = state, out, folder, key
        self.args, self.write = args, write
        state.setdefault(key, {})

    def run(self, nodes, not_run):
        """Runs `nodes`; fills `not_run`; returns (lost, interrupted,
        controller_lost)."""
        state, args, out, folder = self.state, self.args, self.out, self.folder
        jobs = state[self.key]
        script = os.path.join(folder, "job.sh")
        # Jobs of an earlier, interrupted run that are still queued are waited
        # for, not submitted again.
        queued = slurm.queue(state["name"])
        active = {node: job for node, job in jobs.items()
                  if node in nodes and job in queued and queued[job][0] in ACTIVE}
        to_submit = [n for n in nodes if n not in active and not has_result(folder, n)]
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
                                               os.path.join(os.path.abspath(folder), "logs",
                                                            f"{node}.out"),
                                               state["partition"], args.time_limit,
                                               state["sbatch_args"] + state.get(
                                                   "node_sbatch_args", {}).get(node, []))
                        except Failure as failure:
                            not_run[node] = f"not submitted: {failure}"
                            to_submit.pop(0)
                            continue
                        to_submit.pop(0)
                        active[node] = job
                        jobs[node] = job
                        self.write(os.path.join(out, STATE), json.dumps(state, indent=2) + "\n")
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
                    if job_state in ACTIVE:
                        if job_state == "PENDING" and ("ReqNodeNotAvail" in reason
                                                       or "NodeDown" in reason):
                            # Its node went away before it started: not run.
                            slurm.cancel_pending([job])
                            not_run[node] = f"its node is unavailable ({reason})"
                            del active[node]
                        continue
                    del active[node]
                    if not has_result(folder, node):
                        lost[node] = f"job {job} ended {job_state.lower()} without a result"
                running = sum(1 for job in active.values()
                              if queued.get(job, ("",))[0] in ACTIVE[1:])
                done = [n for n in nodes if os.path.exists(node_file(folder, n))]
                failed = [n for n in nodes if os.path.exists(node_file(folder, n, "failed.json"))]
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
            for node in to_submit + list(active):
                not_run[node] = f"Slurm's controller stopped answering ({controller_lost})"
        return lost, bool(interrupted), controller_lost


ACTIVE = ("PENDING", "RUNNING", "CONFIGURING", "COMPLETING")


def confirm_nodes(launcher, out, state, names, args, write):
    """Runs `names` once more, each as one more job, into OUT/confirm; returns
    {node: its second row} for those that ran."""
    folder = os.path.join(out, CONFIRM)
    for sub in (folder, os.path.join(folder, "nodes"), os.path.join(folder, "logs")):
        os.makedirs(sub, exist_ok=True)
    write_script(launcher, out, state, write, folder)
    say(f"confirming {len(names)} flagged nodes with one more job each: {', '.join(names[:20])}"
        + (" ..." if len(names) > 20 else ""))
    not_run = {}
    lost, interrupted, controller_lost = Jobs(state, out, folder, "confirm_jobs", args,
                                              write).run(names, not_run)
    if interrupted:
        raise KeyboardInterrupt
    return {n.name: n for n in collect(folder, names, not_run, lost)}


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


def report_names(out):
    """The nodes of a folder with no run of ours to resume: the state file's
    if there is one, else every node with an export or a failure record."""
    if os.path.exists(os.path.join(out, STATE)):
        state = load_state(out)
        return state.get("nodes", []), state
    try:
        files = os.listdir(os.path.join(out, "nodes"))
    except OSError as e:
        raise Failure(f"{out}: no node exports to report (nodes/: {e.strerror or e})", 2) from None
    names = sorted({f[:-len(".failed.json")] if f.endswith(".failed.json") else f[:-len(".json")]
                    for f in files if f.endswith(".json") and not f.startswith(".")})
    if not names:
        raise Failure(f"{out}/nodes holds no node export (NODE.json)", 2)
    return names, None


def identity(out, names, state):
    """(key, time) of a cluster run: the key that tells it apart in a store,
    the time it started (or, for exports alone, when the last was written)."""
    files = [p for n in names for p in (node_file(out, n), node_file(out, n, "failed.json"))
             if os.path.exists(p)]
    latest = max((os.path.getmtime(p) for p in files), default=time.time())
    written = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(latest))
    if state and state.get("name"):
        return state["name"], state.get("started") or written
    digest = hashlib.sha256()
    for path in sorted(files):
        digest.update(os.path.basename(path).encode() + b"\0")
        with open(path, "rb") as f:
            digest.update(f.read() + b"\0")
    return "nodes:" + digest.hexdigest(), written


def reconsider(node, second, group, regressed):
    """A node flagged slow or regressed, judged again on its second run: it
    stays flagged, or is "transient", with both figures either way."""
    doubted = [f for f in node.flags if fleet.kind(f) in CONFIRMED_KINDS]
    if second is None or second.state != "ok":
        why = f"{second.state}: {second.reason}" if second else "did not run"
        node.notes.append(f"not confirmed: its second run {why}")
        return
    figures = ("simple_ms", "blas_ms", "simple_gbs", "blas_gflops", "speedup", "diff")
    node.first = {**{f: getattr(node, f) for f in figures}, "flags": doubted}
    for f in figures + ("samples",):
        setattr(node, f, getattr(second, f))
    again = fleet.slow_flags(node, group) + regressed(node)
    node.flags = [f for f in node.flags if fleet.kind(f) not in CONFIRMED_KINDS] + again
    node.notes = [n for n in node.notes if fleet.kind(n) != "improved"]
    both = (f"first simple {node.first['simple_gbs']:.2f} GB/s, blas "
            f"{node.first['blas_gflops']:.1f} GFLOP/s; again simple {node.simple_gbs:.2f} GB/s, "
            f"blas {node.blas_gflops:.1f} GFLOP/s")
    if again:
        node.notes.append(f"confirmed by a second run ({both})")
    else:
        node.notes.append(f"transient: {'; '.join(doubted)} at first, within bounds when run "
                          f"again ({both})")


# The flags that --confirm runs a node again for.
CONFIRMED_KINDS = ("slow", "regressed")


def report(out, names, not_run, lost, args, write, confirm=None, retest=None):
    """Judges, stores and writes the report; returns the exit status.
    `names` None: the exports in OUT/nodes alone (--report)."""
    state = None
    if names is None:
        names, state = report_names(out)
    elif os.path.exists(os.path.join(out, STATE)):
        state = load_state(out)
    key, started = identity(out, names, state)
    nodes = collect(out, names, not_run, lost)
    groups = fleet.judge(nodes, args.slow_mads, args.slow_percent,
                         (state or {}).get("slurm_cpus"))
    if retest:
        against_peers(nodes, retest["nodes"], args)
    context = []
    thresholds = {"slow_mads": args.slow_mads, "slow_percent": args.slow_percent}
    if args.references:
        references.check(args.references, nodes, args.reference)
        context.append(f"References: {args.reference} ({len(args.references)} entries; the "
                       f"most specific one that matches a node applies).")
    store = failed = None
    if args.store:
        try:
            store = Store(args.store)
        except Failure as failure:
            failed = failure  # the report is written all the same
    try:
        baseline = history.parse_baseline(args.baseline) if store else None

        def regressed(node):
            """The node's regressed flags against its own history, if stored."""
            if not store:
                return []
            _, flags, _ = history.node_verdict(store, node, key, started, baseline,
                                               args.regress_mads, args.regress_percent)
            return [text for _, text in flags]
        if store:
            thresholds.update(regress_mads=args.regress_mads, regress_percent=args.regress_percent)
            history.judge_fleet(store, nodes, groups, key, started, baseline, args.regress_mads,
                                args.regress_percent)
        doubted = [n for n in nodes if any(fleet.kind(f) in CONFIRMED_KINDS for f in n.flags)]
        if confirm and doubted:
            second = confirm([n.name for n in doubted])
            for node in doubted:
                reconsider(node, second.get(node.name), groups[node.group], regressed)
        if store:
            try:
                run_id, added = store.add(key, started, "cluster", os.path.abspath(out), nodes,
                                          groups)
                context.insert(0, f"Run {run_id} of the store {args.store}"
                                  f"{'' if added else ' (stored before; not added again)'}, "
                                  f"started {started}; baseline {args.baseline}: each node's, "
                                  f"and each group's, history with the same configuration.")
            except Failure as failure:
                failed = failure
    finally:
        if store:
            store.close()
    if failed:
        say(f"not stored: {failed}")
        context.insert(0, f"Not stored, and not set against its history: {failed}")
    context = {"lines": context}
    if retest or getattr(args, "drain", False) or getattr(args, "drain_dry_run", False):
        try:
            context["actions"] = act(nodes, names, key, args, state, retest)
        except Failure as failure:
            # Slurm gone: the report is written all the same.
            say(f"not acted on: {failure}")
            context["actions"] = [f"not acted on: {failure}"]
            failed = failed or failure
    write(os.path.join(out, "cluster.md"), fleet_report.markdown(nodes, groups, thresholds,
                                                                 context))
    write(os.path.join(out, "cluster.csv"), fleet_report.csv_table(nodes))
    write(os.path.join(out, "cluster.json"), json.dumps(model.encode(
        {"run": {"key": key, "started": started}, "nodes": [vars(n) for n in nodes],
         "groups": groups, "thresholds": thresholds, "diff_bound": problem.DIFF_BOUND,
         "context": context["lines"], "actions": context.get("actions", [])}), indent=2,
        allow_nan=False) + "\n")
    if any(n.state == "ok" for n in nodes) and not args.no_plot:
        try:
            write(os.path.join(out, "cluster.svg"), svg.render_fleet(nodes, groups))
        except Failure as failure:
            say(f"no chart: {failure}")
    exports = []
    if getattr(args, "export_prometheus", None):
        exports.append((args.export_prometheus, lambda: prometheus.render(
            nodes, measured_times(out, names))))
    if getattr(args, "export_junit", None):
        exports.append((args.export_junit, lambda: junit.render(
            nodes, f"matmul-bench cluster {key}", started)))
    print(fleet_report.text(nodes, groups, context), end="")
    for path, render in exports:
        try:
            write(path, render())
        except OSError as e:
            say(f"{path} not written: {e.strerror or e}")
            failed = failed or Failure(str(e), 1)
    if any(g.get("flags") for g in groups.values()):
        return fleet.EXIT_FLEET_REGRESSION
    if fleet.flagged(nodes):
        return fleet.EXIT_FLAGGED
    return failed.status if failed else 0
