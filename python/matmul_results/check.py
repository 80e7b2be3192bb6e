"""One node's own health check, as Slurm's HealthCheckProgram or NHC runs
it: the program and the limits probe, the figures set against the site's
reference and the node's own stored history, and one line out: "ok", or
the failing fact with its value and bound, as the drain reason would say
it. Exit 0 or 1; 2 for a check that cannot be made as asked.

--drain drains this node on a failure, and --return-passed returns it on
a pass when the drain is ours, by the same rules as the cluster mode's."""

import os
import socket
import time

from . import actions, fleet, history, measure, references, slurm
from .errors import Failure, say
from .export import prometheus
from .store import Store

# Slurm kills a health check after 60 s: the whole check, probe included,
# stays within this by default (--budget).
BUDGET = 45.0
RUNS = 1
EXIT_FAILED = 1


def own_name(given=None):
    """This node as Slurm names it: slurmd sets SLURMD_NODENAME for what it
    runs; otherwise the short host name, which Slurm's NodeName usually is."""
    return given or os.environ.get("SLURMD_NODENAME") or socket.gethostname().split(".")[0]


def measure_node(name, program, runs, budget):
    """The node's row: its figures, or its failure."""
    try:
        result = measure.program(program, runs, measure.limits_tool_beside(program),
                                 timeout=max(1.0, budget / runs))
    except Failure as failure:
        return fleet.Node(name, "failed", str(failure), status=failure.status)
    return fleet.from_result(name, result)


def verdict(row, entries, reference_path, store, baseline, args):
    """Flags the row (faults, the reference, its own history); returns the
    flags that fail the check."""
    fleet.judge([row])
    row.notes = [n for n in row.notes if fleet.kind(n) != "no peers"]
    if entries:
        references.check(entries, [row], reference_path)
    if store is not None and row.state == "ok":
        row.baseline, flags, notes = history.node_verdict(
            store, row, None, None, baseline, args.regress_mads, args.regress_percent)
        row.flags += [text for _, text in flags]
        row.notes += [text for _, text in notes]
    return actions.drainable(row)


def line(failing, row):
    if not failing:
        return "ok"
    said = actions.reason(failing)
    return said + (f" ({actions.clean(row.reason)[:200]})" if row.reason else "")


def drained_share():
    """(ours, limit): how many of Slurm's nodes this tool has drained, and
    how many --drain-max allows by default: the cluster mode's share."""
    everyone = slurm.nodes()
    drained = sum(1 for _, _, said in everyone if actions.ours(said))
    return drained, actions.default_limit(len(everyone))


def act(node, failing, args):
    """--drain on a failure, --return-passed on a pass: said on stderr."""
    found = actions.states(node)
    if node not in found:
        say(f"{node}: not known to Slurm: neither drained nor returned")
        return
    state, said = found[node]
    if failing and args.drain:
        ours, limit = drained_share()
        limit = args.drain_max if args.drain_max is not None else limit
        if ours >= limit and not actions.out_of_service(state):
            say(f"{node}: not drained: {ours} nodes are drained by this tool already, "
                f"--drain-max {limit}: a fault that many share is no one node's")
            return
        plan = actions.plan([_row(node, failing)], {node: (state, said)}, 1)
        for action in actions.carry_out(plan, False):
            say(action.line())
    elif not failing and args.return_passed:
        if actions.ours(said) and actions.out_of_service(state):
            slurm.command(slurm.update_node(node, "RESUME"))
            say(f"{node}: returned: the check passed and the drain was ours ({said})")
        elif said and actions.out_of_service(state):
            say(f"{node}: left alone: {state} by someone else ({said})")


def _row(node, failing):
    return fleet.Node(node, "ok", flags=list(failing))


def run(args, write):
    started = time.monotonic()
    program = os.path.abspath(args.program)
    if not os.access(program, os.X_OK):
        raise Failure(f"{program} not found or not executable", 2)
    entries = references.load(args.reference) if args.reference else None
    baseline = history.parse_baseline(args.baseline)
    store = Store(args.baseline_store, create=False) if args.baseline_store else None
    name = own_name(args.node)
    try:
        row = measure_node(name, program, args.runs, args.budget)
        failing = verdict(row, entries, args.reference, store, baseline, args)
    finally:
        if store is not None:
            store.close()
    took = time.monotonic() - started
    if took > args.budget:
        failing = failing + [f"faulty: the check took {took:.0f} s, its budget {args.budget:g} s"]
    text = line(failing, row)
    print(text, flush=True)
    say(f"{name}: checked in {took:.1f} s")
    if args.export_prometheus:
        write(args.export_prometheus, prometheus.render([row], {name: time.time()}))
    if args.drain or args.return_passed:
        try:
            act(name, failing, args)
        except Failure as failure:
            say(f"{name}: Slurm did not take it: {failure}")
    return EXIT_FAILED if failing else 0
