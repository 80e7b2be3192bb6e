"""The console's table: min, median and max of every figure."""

from ..model import FIGURES
from .common import fmt


def table(summary):
    lines = [f"{'':44} {'min':>12} {'median':>12} {'max':>12}"]
    for key, label, form, _ in FIGURES:
        s = summary.get(key)
        if s is None:
            lines.append(f"{label:44} {'n/a':>12}")
        else:
            lines.append(f"{label:44} " + " ".join(f"{fmt(s[x], form):>12}"
                                                   for x in ("min", "median", "max")))
    return "\n".join(lines)


def compare_table(rows):
    lines = [f"{'figure':44} {'old median':>12} {'new median':>12} {'new/old':>8} "
             f"{'p':>7}  verdict"]
    for row in rows:
        lines.append(f"{row.label:44} {fmt(row.old_median, row.form):>12} "
                     f"{fmt(row.new_median, row.form):>12} {row.ratio:8.3f} "
                     f"{row.p:7.4f}  {row.verdict}")
    return "\n".join(lines)
