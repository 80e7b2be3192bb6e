"""The fleet report: one row per node, each node set against the nodes of
its own kind (same CPU model and core count), and the nodes that are slow,
faulty, configured unlike their peers, or did not run, named."""

import collections
import dataclasses
import math

from . import problem, stats
from .export import table as tables

# A node is slow when its rate falls below its group's median by more than
# the larger of SLOW_MADS median absolute deviations and SLOW_PERCENT % of
# the median (both settable: --slow-mads, --slow-percent).
SLOW_MADS = 3.0
SLOW_PERCENT = 10.0
# Exit status when any node is flagged or did not run.
EXIT_FLAGGED = 3
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
    flags: list = dataclasses.field(default_factory=list)


def from_result(name, result):
    """A node's row from its export (a model.Result)."""
    runs = result.runs
    first = runs[0]
    med = {key: (value or {}).get("median") for key, value in result.summary().items()}
    accuracy = (result.extra or {}).get("accuracy") or {}
    of_bound = (accuracy.get("blas") or {}).get("max_of_bound")
    return Node(
        name, "ok", cpu=first.machine.cpu_model, cores=first.machine.cores,
        library=f"{first.library.name} {first.library.version}", kernels=first.library.core,
        threads=first.library.threads, naive=first.naive_build.variant, runs=len(runs),
        simple_ms=med["simple_ms"], blas_ms=med["blas_ms"],
        simple_gbs=stats.stream_gbs(med["simple_ms"]),
        blas_gflops=med["blas_gflops"], speedup=med["speedup"], diff=med["diff"],
        accuracy_of_bound=of_bound)


def _majority(values):
    ranked = collections.Counter(values).most_common(2)
    # No majority in a tie.
    return ranked[0][0] if len(ranked) == 1 or ranked[0][1] > ranked[1][1] else None


def judge(nodes, slow_mads=SLOW_MADS, slow_percent=SLOW_PERCENT):
    """Groups the nodes that ran by hardware, sets each against its group,
    and flags it. Returns {group name: {"nodes", "simple_gbs", "blas_gflops"}}."""
    groups = {}
    for node in nodes:
        if node.state == "ok":
            node.group = f"{node.cpu}, {node.cores} cores"
            groups.setdefault(node.group, []).append(node)
        elif node.state == "failed":
            node.flags.append(f"faulty: the run failed with status {node.status}")
        elif node.state == "lost":
            node.flags.append("lost: its job ended without a result")
        else:
            node.flags.append("not run")
    summary = {}
    for name, members in groups.items():
        summary[name] = {"nodes": len(members)}
        for rate, deviation in (("simple_gbs", "simple_deviation"),
                                ("blas_gflops", "blas_deviation")):
            values = [getattr(n, rate) for n in members]
            median = stats.median(values)
            mad = stats.median([abs(v - median) for v in values])
            threshold = max(slow_mads * mad, slow_percent / 100.0 * median)
            summary[name][rate] = {"median": median, "mad": mad, "slow_below": median - threshold}
            for node in members:
                value = getattr(node, rate)
                setattr(node, deviation, 100.0 * (value - median) / median)
                if value < median - threshold:
                    figure = "simple" if rate == "simple_gbs" else "blas"
                    node.flags.append(f"slow: {figure} {getattr(node, deviation):+.1f} % from "
                                      f"its group's median")
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


def _cell(value, form):
    return "" if value is None else form.format(value)


HEADER = ["node", "state", "simple ms", "simple GB/s", "vs group", "blas ms", "blas GFLOP/s",
          "vs group", "speedup", "diff", "kernels", "naive build", "CPU", "flags"]


def cells(node):
    return [node.name, node.state, _cell(node.simple_ms, "{:.1f}"), _cell(node.simple_gbs, "{:.2f}"),
            _cell(node.simple_deviation, "{:+.1f} %"), _cell(node.blas_ms, "{:.1f}"),
            _cell(node.blas_gflops, "{:.1f}"), _cell(node.blas_deviation, "{:+.1f} %"),
            _cell(node.speedup, "{:.1f}"), _cell(node.diff, "{:.6f}"),
            node.kernels or "", node.naive or "",
            "" if node.cpu is None else f"{node.cpu} ({node.cores} cores)",
            "; ".join(node.flags + ([node.reason] if node.reason else []))]


def markdown(nodes, groups, thresholds):
    out = [tables.markdown(HEADER, [cells(n) for n in nodes]), ""]
    out.append(tables.markdown(
        ["group", "nodes", "simple GB/s, median", "blas GFLOP/s, median"],
        [[name, g["nodes"], f"{g['simple_gbs']['median']:.2f}",
          f"{g['blas_gflops']['median']:.1f}"] for name, g in groups.items()], right={1, 2, 3}))
    out += ["", f"Slow: below the group's median by more than {thresholds['slow_mads']:g} median "
            f"absolute deviations or {thresholds['slow_percent']:g} %, whichever is larger. "
            f"Faulty: a diff above the rounding-error bound {problem.DIFF_BOUND:.4f} (or not a "
            f"number), the library's error beyond its bound, or a failed run."]
    return "\n".join(out) + "\n"


def text(nodes):
    out = [tables.text(HEADER[:-1], [cells(n)[:-1] for n in nodes])]
    for node in nodes:
        out += [f"{node.name}: {flag}" for flag in node.flags]
        if node.reason:
            out.append(f"{node.name}: {node.reason}")
    return "\n".join(out) + "\n"


def flagged(nodes):
    return [n for n in nodes if n.flags]
