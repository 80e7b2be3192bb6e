"""Two results set side by side: what differs between them, and each
figure's medians, ratio, p-value and verdict."""

import dataclasses

from . import stats
from .model import FIGURES


def _runs(fact):
    """A run fact of a whole result: the one value its runs share, or the set of them."""
    def get(result):
        values = [fact(run) for run in result.runs]
        distinct = sorted({str(v) for v in values})
        return values[0] if len(distinct) == 1 else "{" + ", ".join(distinct) + "}"
    return get


def _build(key):
    return lambda result: result.environment.get(key)


# What can tell two results apart besides chance.
FACTS = [("machine", _runs(lambda r: r.machine.cpu_model)),
         ("cores", _runs(lambda r: r.machine.cores)),
         ("host", _runs(lambda r: r.machine.host)),
         ("compiler", _build("compiler")),
         ("kernel flags", _build("kernel_flags")),
         ("build", _build("git_commit")),
         ("library", _runs(lambda r: r.library.name)),
         ("library version", _runs(lambda r: r.library.version)),
         ("library core", _runs(lambda r: r.library.core)),
         ("library threads", _runs(lambda r: r.library.threads)),
         ("naive variant", _runs(lambda r: r.naive_build.variant))]


@dataclasses.dataclass(frozen=True)
class Row:
    label: str
    form: str
    old_median: float
    new_median: float
    p: float
    verdict: str

    @property
    def ratio(self):
        return self.new_median / self.old_median if self.old_median else float("nan")


def differences(old, new):
    """Lines "name: old -> new" for each fact that differs."""
    return [f"{name}: {get(old)} -> {get(new)}" for name, get in FACTS if get(old) != get(new)]


def rows(old, new):
    out = []
    for key, label, form, better in FIGURES:
        a = [r.figures[key] for r in old.runs if isinstance(r.figures.get(key), (int, float))]
        b = [r.figures[key] for r in new.runs if isinstance(r.figures.get(key), (int, float))]
        if a and b:
            p, verdict = stats.verdict(a, b, better)
            out.append(Row(label, form, stats.median(a), stats.median(b), p, verdict))
    return out
