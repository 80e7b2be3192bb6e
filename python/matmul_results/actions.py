"""Acting on findings through Slurm: draining the nodes whose own health is
at fault, and returning them once a fresh test passes, without ever
touching a node that someone else drained, downed or reserved.

The drain reason is "mmb: " and the key fact, within the 20 characters
that `sinfo -R` shows ("mmb: blas -23% grp"), then the detail. Whatever
starts with the prefix is ours to lift; nothing else ever is."""

import dataclasses
import math
import os
import pwd
import re
import shlex

from . import fleet, slurm
from .errors import Failure, say

PREFIX = "mmb:"
# What `sinfo -R` shows of a reason.
SHOWN = 20
# The findings that are a fault of the node's own health, worst first: a
# wrong result, then a site's bound, then its own history, then its peers.
# Unlike configuration or cores are a setting to fix, not a node to take
# out; a node that did not run is already out, or was never ours.
DRAIN_KINDS = ("faulty", "below reference", "regressed", "slow")
# --drain-max by default: this share of the run's nodes, at least one. The
# slow test flags beyond 3 MADs (about 2 standard deviations of normal
# noise, 2.3 % of healthy nodes at most, fewer with its 10 % floor), so a
# run that finds more than twice that many nodes at fault at once points to
# a cause they share (a rollout, a filesystem, the bounds themselves) that
# draining will not mend, and 5 % is the capacity a site can spare.
DRAIN_SHARE = 0.05
# Slurm's states that mean someone has the node out of service: left alone.
OUT_OF_SERVICE = ("drain", "drained", "draining", "down", "fail", "failing", "maint",
                  "reserved", "unknown", "future", "inval", "not_responding",
                  "reboot_issued", "reboot_requested", "power_down", "powering_down",
                  "powered_down")
BUSY = ("allocated", "mixed", "completing")


def default_limit(count):
    return max(1, math.floor(DRAIN_SHARE * count))


def ours(reason):
    return (reason or "").startswith(PREFIX)


def _words(state):
    return set(state.lower().rstrip("*~#!%$@^-").replace("+", " ").split())


def out_of_service(state):
    return state.endswith("*") or bool(_words(state) & set(OUT_OF_SERVICE))


def busy(state):
    return bool(_words(state) & set(BUSY))


def _short(percent):
    # A shortfall is at most -99 %: four characters.
    return f"{max(-99, min(99, round(percent))):+d}%"


def change(flag):
    """How far below (%, negative) a slow, regressed or below-reference
    flag says the figure is; None for the others."""
    kind = fleet.kind(flag)
    rest = flag[len(kind) + 1:].strip()
    if kind in ("slow", "regressed"):
        said = re.search(r"([-+][0-9.]+) %", rest)
        return float(said.group(1)) if said else None
    if kind == "below reference":
        said = re.match(r"\S+ ([0-9.]+) \S+, its bound ([0-9.]+)", rest)
        if said and float(said.group(2)) > 0:
            return 100.0 * (float(said.group(1)) - float(said.group(2))) / float(said.group(2))
    return None


SUFFIX = {"slow": "grp", "regressed": "hst", "below reference": "ref"}


def key_fact(flag):
    """The flag's key fact, short enough for `sinfo -R` after the prefix."""
    kind = fleet.kind(flag)
    rest = flag[len(kind) + 1:].strip()
    figure = re.match(r"(simple|blas) ", rest)
    if kind in SUFFIX and figure and change(flag) is not None:
        return f"{figure.group(1)} {_short(change(flag))} {SUFFIX[kind]}"
    if kind == "faulty":
        status = re.search(r"failed with status (\S+)", rest)
        if status:
            return f"failed status {status.group(1)}"
        diff = re.match(r"diff ([^\s:]+)", rest)
        if diff:
            try:
                return f"diff {float(diff.group(1)):.1e}"
            except ValueError:
                return f"diff {diff.group(1)}"
        error = re.search(r"error is (\S+) times", rest)
        if error:
            return f"blas err x{error.group(1)}"
    return kind


def clean(text):
    """One line of plain text: sinfo prints the reason on a line of its
    own, our reading of it splits at '|', and scontrol's parser takes a
    double quote for its own."""
    return re.sub(r"[\x00-\x1f\x7f|]", " ", text).replace('"', "'")


def reason(flags, run=None):
    """Our drain reason for a node with these drainable flags: the worst's
    key fact first (the worst kind, then the furthest below), then every
    flag, then the run that found them."""
    worst = sorted(flags, key=lambda f: (DRAIN_KINDS.index(fleet.kind(f)), change(f) or 0.0))
    detail = "; ".join(worst) + (f"; run {run}" if run else "")
    return clean(f"{PREFIX} {key_fact(worst[0])}; {detail}")[:400]


def drainable(node):
    return [f for f in node.flags if fleet.kind(f) in DRAIN_KINDS]


@dataclasses.dataclass
class Action:
    node: str
    outcome: str  # "drained", "draining", "left alone", "not drained", ...
    why: str  # the reason given to Slurm, or why nothing was done
    argv: list = None  # the command, if one is (or would be) run

    def line(self):
        return f"{self.node}: {self.outcome}: {self.why}"


def severity(node):
    """Worst first: by the kind of its worst flag, then by how far below."""
    kinds = [DRAIN_KINDS.index(fleet.kind(f)) for f in drainable(node)]
    shortfall = min((d for d in (node.simple_deviation, node.blas_deviation) if d is not None),
                    default=0.0)
    return (min(kinds), shortfall)


def plan(nodes, slurm_states, limit, run=None):
    """What --drain does with each node the report flags: [Action]. Reads
    no Slurm itself: `slurm_states` is {name: (state, reason)} as sinfo
    gave them just now."""
    actions = []
    drains = 0
    candidates = sorted((n for n in nodes if drainable(n)), key=severity)
    for node in candidates:
        state, said = slurm_states.get(node.name, ("unknown", "not known to Slurm"))
        if ours(said) and out_of_service(state):
            actions.append(Action(node.name, "left alone", f"drained by us already ({said})"))
            continue
        if out_of_service(state):
            actions.append(Action(node.name, "left alone",
                                  f"{state} by someone else" + (f" ({said})" if said else "")
                                  + ": its state and reason are kept"))
            continue
        text = reason(drainable(node), run)
        if drains >= limit:
            actions.append(Action(node.name, "not drained",
                                  f"--drain-max {limit} reached; would be: {text}"))
            continue
        drains += 1
        actions.append(Action(node.name, "draining" if busy(state) else "drained", text,
                              slurm.update_node(node.name, "DRAIN", text)))
    for node in nodes:
        if node.flags and not drainable(node):
            state, said = slurm_states.get(node.name, ("unknown", ""))
            if out_of_service(state):
                actions.append(Action(node.name, "left alone", (
                    f"{state} by us already ({said})" if ours(said) else
                    f"{state} by someone else" + (f" ({said})" if said else "")
                    + ": its state and reason are kept")))
            else:
                what = "; ".join(sorted({fleet.kind(f) for f in node.flags}))
                actions.append(Action(node.name, "not drained",
                                      f"its findings ({what}) are no fault of its health"))
    return actions


def carry_out(actions, dry_run, run_command=None):
    """Runs each action's command, or (dry_run) prints it exactly, one
    argument each as a shell would need them quoted. Marks failures."""
    run_command = run_command or slurm.command
    for action in actions:
        if not action.argv:
            continue
        if dry_run:
            print(f"would run: {shlex.join(action.argv)}")
            action.outcome = f"would be {action.outcome}"
            continue
        try:
            run_command(action.argv)
        except Failure as failure:
            say(f"{action.node}: not drained: {failure}")
            action.outcome, action.why = "drain failed", f"{failure}; {action.why}"
    return actions


def states(names=None, partition=None):
    """{name: (state, reason)} from one sinfo reading."""
    return {name: (state, said) for name, state, said in slurm.nodes(partition, names)}


def describe(actions):
    """The report's lines for what was done, or would be."""
    if not actions:
        return []
    notes = {"draining": " (busy: Slurm drains it once its job ends)"}
    return [f"{a.line()}{notes.get(a.outcome.replace('would be ', ''), '')}" for a in actions]


def me():
    """The user that Slurm knows this process as, for the reservation."""
    return pwd.getpwuid(os.getuid()).pw_name
