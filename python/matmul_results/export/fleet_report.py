"""The fleet report as a person reads it, at three nodes or at thousands:
a summary first (counts per state, flag and note; each group's median and
its change; every flagged node with its reason), then the full table, in
the Markdown while the fleet is small and in cluster.csv always."""

import collections
import csv
import io

from .. import fleet, problem
from . import table as tables

# Up to this many nodes, the Markdown and the console carry the full table;
# beyond, it is in cluster.csv (and every figure in cluster.json).
FULL_TABLE_MAX = 100
# Nodes with notes and no flag, listed by name up to this many.
NOTES_LISTED_MAX = 200


def _cell(value, form):
    return "" if value is None else form.format(value)


HEADER = ["node", "state", "simple ms", "simple GB/s", "vs group", "blas ms", "blas GFLOP/s",
          "vs group", "speedup", "diff", "kernels", "naive build", "CPU", "flags"]


def cells(node):
    return [node.name, node.state, _cell(node.simple_ms, "{:.1f}"),
            _cell(node.simple_gbs, "{:.2f}"),
            _cell(node.simple_deviation, "{:+.1f} %"), _cell(node.blas_ms, "{:.1f}"),
            _cell(node.blas_gflops, "{:.1f}"), _cell(node.blas_deviation, "{:+.1f} %"),
            _cell(node.speedup, "{:.1f}"), _cell(node.diff, "{:.6f}"),
            node.kernels or "", node.naive or "",
            "" if node.cpu is None else f"{node.cpu} ({node.cores} cores)", reasons(node)]


def reasons(node):
    return "; ".join(node.flags + ([node.reason] if node.reason else []) + node.notes)


def counts(nodes):
    """{state: n}, {flag kind: nodes}, {note kind: nodes}."""
    states = collections.Counter(n.state for n in nodes)
    flags = collections.Counter(k for n in nodes for k in dict.fromkeys(map(fleet.kind, n.flags)))
    notes = collections.Counter(k for n in nodes for k in dict.fromkeys(map(fleet.kind, n.notes)))
    return states, flags, notes


def _listed(counter):
    return ", ".join(f"{n} {what}" for what, n in counter.most_common()) or "none"


def _change(group, figure):
    base = group.get("baseline") or {}
    value = base.get(f"{figure}_change")
    return "" if value is None else f"{value:+.1f} %"


def group_rows(groups):
    return [[name, g["nodes"], f"{g['simple_gbs']['median']:.2f}", _change(g, "simple_gbs"),
             f"{g['blas_gflops']['median']:.1f}", _change(g, "blas_gflops"),
             (g.get("baseline") or {}).get("label", ""),
             "; ".join(g.get("flags", []) + g.get("notes", []))] for name, g in groups.items()]


GROUP_HEADER = ["group", "nodes", "simple GB/s, median", "change", "blas GFLOP/s, median",
                "change", "baseline", "flags"]


def summary_lines(nodes, groups, context):
    states, flags, notes = counts(nodes)
    out = [f"{len(nodes)} nodes: {_listed(states)}.",
           f"Flagged: {len(fleet.flagged(nodes))} nodes ({_listed(flags)}).",
           f"Notes: {_listed(notes)}."]
    for line in context.get("lines", []):
        out.append(line)
    return out


def markdown(nodes, groups, thresholds, context):
    """The report; `context` holds what the run was set against (store,
    baseline, references) as lines of text."""
    out = [f"# matmul-bench on {len(nodes)} nodes", ""]
    out += [line + "  " for line in summary_lines(nodes, groups, context)]
    regressions = [(name, f) for name, g in groups.items() for f in g.get("flags", [])]
    if regressions:
        out += ["", "## Fleet regressions", ""]
        out += [f"- {name}: {flag}" for name, flag in regressions]
    out += ["", "## Groups", "", tables.markdown(GROUP_HEADER, group_rows(groups),
                                                  right={1, 2, 3, 4, 5})]
    flagged = fleet.flagged(nodes)
    out += ["", f"## Flagged nodes ({len(flagged)})", ""]
    out.append(tables.markdown(["node", "group", "simple GB/s", "blas GFLOP/s", "reason"],
                               [[n.name, n.group or "", _cell(n.simple_gbs, "{:.2f}"),
                                 _cell(n.blas_gflops, "{:.1f}"), reasons(n)] for n in flagged],
                               right={2, 3}) if flagged else "None.")
    acted = context.get("actions")
    if acted:
        out += ["", "## Acting on findings", ""] + [f"- {line}" for line in acted]
        out += ["", "Drained by this tool: the reason starts with \"mmb:\" and the key fact. "
                "A node that someone else drained, downed or reserved keeps its state and "
                "reason."]
    noted = [n for n in nodes if n.notes and not n.flags]
    if noted:
        out += ["", f"## Notes ({len(noted)} nodes not flagged)", ""]
        out.append(tables.markdown(["node", "note"], [[n.name, "; ".join(n.notes)]
                                                      for n in noted[:NOTES_LISTED_MAX]]))
        if len(noted) > NOTES_LISTED_MAX:
            out.append(f"\nAnd {len(noted) - NOTES_LISTED_MAX} more: cluster.csv lists them.")
    out += ["", "## Every node", ""]
    if len(nodes) <= FULL_TABLE_MAX:
        out.append(tables.markdown(HEADER, [cells(n) for n in nodes]))
    else:
        out.append(f"All {len(nodes)} nodes are in cluster.csv, one row each (and every "
                   f"figure in cluster.json).")
    out += ["", f"Slow: below the group's median by more than {thresholds['slow_mads']:g} median "
            f"absolute deviations or {thresholds['slow_percent']:g} %, whichever is larger. "
            f"Faulty: a diff above the rounding-error bound {problem.DIFF_BOUND:.4f} (or not a "
            f"number), the library's error beyond its bound, or a failed run."]
    if "regress_mads" in thresholds:
        out[-1] += (f" Regressed: below its own baseline by more than "
                    f"{thresholds['regress_mads']:g} median absolute deviations of its history "
                    f"or {thresholds['regress_percent']:g} %, whichever is larger; improved: "
                    f"above it by as much.")
    return "\n".join(out) + "\n"


def text(nodes, groups, context):
    """The console's report: the summary, the table while the fleet is
    small, and one line per flag and note."""
    out = summary_lines(nodes, groups, context)
    for name, g in groups.items():
        out += [f"{name}: {f}" for f in g.get("flags", []) + g.get("notes", [])]
    if len(nodes) <= FULL_TABLE_MAX:
        out.append(tables.text(HEADER[:-1], [cells(n)[:-1] for n in nodes]))
    for node in nodes:
        out += [f"{node.name}: {flag}" for flag in node.flags]
        if node.reason:
            out.append(f"{node.name}: {node.reason}")
        if len(nodes) <= FULL_TABLE_MAX:
            out += [f"{node.name}: {note}" for note in node.notes]
    out += context.get("actions") or []
    return "\n".join(out) + "\n"


CSV_HEADER = HEADER[:-1] + ["group", "flags", "notes", "reason", "reference", "baseline"]


def csv_table(nodes):
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    writer.writerow(CSV_HEADER)
    for n in nodes:
        writer.writerow(cells(n)[:-1] + [n.group or "", "; ".join(n.flags), "; ".join(n.notes),
                                         n.reason, n.reference or "",
                                         (n.baseline or {}).get("label", "")])
    return buffer.getvalue()
