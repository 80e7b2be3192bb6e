"""The console's tables: min, median and max of every figure, and two
results' medians compared."""

from ..model import FIGURES
from . import table as tables
from .common import fmt


def summary_cells(summary):
    """[label, min, median, max] for every figure, "n/a" where unmeasured."""
    rows = []
    for key, label, form, _ in FIGURES:
        s = summary.get(key)
        rows.append([label] + (["n/a"] * 3 if s is None else
                               [fmt(s[x], form) for x in ("min", "median", "max")]))
    return rows


def table(summary):
    return tables.text(["", "min", "median", "max"], summary_cells(summary), right={1, 2, 3})


def compare_table(rows):
    return tables.text(
        ["figure", "old median", "new median", "new/old", "p", "verdict"],
        [[row.label, fmt(row.old_median, row.form), fmt(row.new_median, row.form),
          f"{row.ratio:.3f}", f"{row.p:.4f}", row.verdict] for row in rows],
        right={1, 2, 3, 4})
