"""The fleet report: one row per node, each node set against the nodes of
its own kind (same CPU model and core count), and the nodes that are slow,
faulty, configured unlike their peers, or did not run, named."""

import collections
import dataclasses
import math

from . import problem, stats

# A node is slow when its rate falls below its group's median by more than
# the larger of SLOW_MADS median absolute deviations and SLOW_PERCENT % of
# the median (both settable: --slow-mads, --slow-percent).
SLOW_MADS = 3.0
SLOW_PERCENT = 10.0
# Exit status when any node is flagged or did not run.
EXIT_FLAGGED = 3
# Exit status when a group's median fell against its own history: a fault
# of the fleet (a library, a firmware, a setting rolled out everywhere)
# that no node shows against its peers.
EXIT_FLEET_REGRESSION = 5
# What must agree among a group's nodes: the library and its kernels and
# threads, and the naive loop's build.
CONFIGURATION = (("library", "library version"), ("kernels", "library kernels"),
                 ("threads", "library threads"), ("naive", "naive build"))


@dataclasses.dataclass
class Node:
    name: str
    state: str  # "ok", "failed", "lost" or "not run"
    reason: str = ""  # why it failed, was lost or did not run
    status: int = None  # a failed run's exit status
    cpu: str = None
    cores: int = None
    library: str = None
    kernels: str = None
    threads: int = None
    naive: str = None
    runs: int = 0
    simple_ms: float = None
    blas_ms: float = None
    simple_gbs: float = None
    blas_gflops: float = None
    speedup: float = None
    diff: float = None
    accuracy_of_bound: float = None
    group: str = None
    simple_deviation: float = None  # % from the group's median rate
    blas_deviation: float = None
    flags: list = dataclasses.field(default_factory=list)  # what is wrong: exit status 3
    notes: list = dataclasses.field(default_factory=list)  # news that is no fault
    samples: list = dataclasses.field(default_factory=list)  # every run's figures
    slurm_cpus: int = None  # the CPUs Slurm has configured for it (CPUTot)
    reference: str = None  # the reference entry that applied
    baseline: dict = None  # its own history's figures it was set against
    first: dict = None  # a confirmed node's first figures

    def configuration(self):
        """What its figures were measured with: history compares like with like."""
        return {"library": self.library, "kernels": self.kernels, "threads": self.threads,
                "naive": self.naive, "cpu": self.cpu, "cores": self.cores}


def group_of(node):
    return f"{node.cpu}, {node.cores} cores"


def from_result(name, result):
    """A node's row from its export (a model.Result)."""
    runs = result.runs
    first = runs[0]
    med = {key: (value or {}).get("median") for key, value in result.summary().items()}
    accuracy = (result.extra or {}).get("accuracy") or {}
    of_bound = (accuracy.get("blas") or {}).get("max_of_bound")
    node = Node(
        name, "ok", cpu=first.machine.cpu_model, cores=first.machine.cores,
        library=f"{first.library.name} {first.library.version}", kernels=first.library.core,
        threads=first.library.threads, naive=first.naive_build.variant, runs=len(runs),
        simple_ms=med["simple_ms"], blas_ms=med["blas_ms"],
        simple_gbs=stats.stream_gbs(med["simple_ms"]),
        blas_gflops=med["blas_gflops"], speedup=med["speedup"], diff=med["diff"],
        accuracy_of_bound=of_bound,
        samples=[{k: r.figures.get(k) for k in ("simple_ms", "blas_ms", "diff", "blas_gflops",
                                                 "memory_roof_gbs", "peak_gflops")}
                 for r in runs])
    node.group = group_of(node)
    return node


def alone(name, result):
    """A run of one machine as a fleet's row of one: its figures and its
    faults, with no peers to be set against."""
    node = from_result(name, result)
    judge([node])
    node.notes = []
    return node


RATES = {"simple_gbs": ("simple_deviation", "simple"), "blas_gflops": ("blas_deviation", "blas")}


def slow_flags(node, group):
    """Sets the node's deviations from its group's medians; the flags of a
    rate below the group's threshold."""
    flags = []
    for rate, (deviation, figure) in RATES.items():
        value, median = getattr(node, rate), group[rate]["median"]
        setattr(node, deviation, 100.0 * (value - median) / median)
        if value < group[rate]["slow_below"]:
            flags.append(f"slow: {figure} {getattr(node, deviation):+.1f} % from its group's "
                         f"median")
    return flags


def rates(members, slow_mads=SLOW_MADS, slow_percent=SLOW_PERCENT):
    """{rate: its median, MAD and the slow threshold} over these nodes."""
    out = {}
    for rate in RATES:
        values = [getattr(n, rate) for n in members]
        median = stats.median(values)
        mad = stats.median([abs(v - median) for v in values])
        threshold = max(slow_mads * mad, slow_percent / 100.0 * median)
        out[rate] = {"median": median, "mad": mad, "slow_below": median - threshold}
    return out


def _majority(values):
    ranked = collections.Counter(values).most_common(2)
    # No majority in a tie.
    return ranked[0][0] if len(ranked) == 1 or ranked[0][1] > ranked[1][1] else None


def judge(nodes, slow_mads=SLOW_MADS, slow_percent=SLOW_PERCENT, slurm_cpus=None):
    """Groups the nodes that ran by hardware, sets each against its group
    (and against the CPUs Slurm has configured for it, where `slurm_cpus`
    gives them), and flags it. Returns {group name: {"nodes",
    "simple_gbs", "blas_gflops"}}."""
    groups = {}
    for node in nodes:
        if node.state == "ok":
            node.group = group_of(node)
            groups.setdefault(node.group, []).append(node)
            configured = (slurm_cpus or {}).get(node.name)
            node.slurm_cpus = configured
            if configured is not None and node.cores != configured:
                node.flags.append(f"cores: {node.cores} seen, Slurm has {configured} configured "
                                  f"(CPUTot)")
        elif node.state == "failed":
            node.flags.append(f"faulty: the run failed with status {node.status}")
        elif node.state == "lost":
            node.flags.append("lost: its job ended without a result")
        else:
            node.flags.append("not run")
    summary = {}
    for name, members in groups.items():
        summary[name] = {"nodes": len(members)}
        if len(members) == 1:
            members[0].notes.append("no peers: the only node of its group, so not set against "
                                    "peers")
        summary[name].update(rates(members, slow_mads, slow_percent))
        for node in members:
            node.flags += slow_flags(node, summary[name])
        for field, label in CONFIGURATION:
            usual = _majority([getattr(n, field) for n in members])
            for node in members:
                if usual is not None and getattr(node, field) != usual:
                    node.flags.append(f"configuration: {label} {getattr(node, field)}, its "
                                      f"group's {usual}")
        for node in members:
            if node.diff is not None and math.isnan(node.diff):
                node.flags.append("faulty: diff nan: its products are not numbers that agree")
            elif node.diff is not None and problem.diff_is_fault(node.diff):
                node.flags.append(f"faulty: diff {node.diff:.6f} beyond the bound "
                                  f"{problem.DIFF_BOUND:.4f}")
            if node.accuracy_of_bound is not None and node.accuracy_of_bound > 1:
                node.flags.append(f"faulty: the library's error is {node.accuracy_of_bound:.3g} "
                                  f"times the bound")
    return summary


def flagged(nodes):
    return [n for n in nodes if n.flags]


def kind(flag):
    """A flag's or a note's kind: the words before its colon."""
    return flag.split(":", 1)[0]
