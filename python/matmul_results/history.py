"""Each node, and each group's median, set against its own earlier figures
in the results store, measured with the same configuration: a node that
regressed or improved, a group that regressed fleet-wide, and a changed
configuration named as such, never as either."""

import collections

from . import stats
from .errors import Failure

# A figure regressed when it is below its baseline by more than the larger
# of REGRESS_MADS median absolute deviations of its history and
# REGRESS_PERCENT % of the baseline (--regress-mads, --regress-percent).
# On the emulated cluster (docs/cluster.md), a node's 5-run medians moved
# from run to run by 5 % (the median of their deviations), up to 18 %: 3
# MADs of such a history is about 15 %, and keeps that noise from blaming
# a node; 8 % is the floor for a quiet node, whose MADs are small, below
# the 12 % drift worth catching and above this noise's typical 5 %.
REGRESS_MADS = 3.0
REGRESS_PERCENT = 8.0
# The history that a spread is taken over, for `last` and `RUN`.
HISTORY_WINDOW = 10
DEFAULT_BASELINE = "median:5"
FIGURES = (("simple_gbs", "simple", "GB/s", "{:.2f}"), ("blas_gflops", "blas", "GFLOP/s",
                                                         "{:.1f}"))


def parse_baseline(text):
    """("last", None), ("run", id) or ("median", N) from last|RUN|median:N."""
    if text == "last":
        return ("last", None)
    if text.isdigit() and int(text) > 0:
        return ("run", int(text))
    kind, _, count = text.partition(":")
    if kind == "median" and count.isdigit() and int(count) > 0:
        return ("median", int(count))
    raise ValueError(f"not a baseline: {text!r} (last, a run's id, or median:N)")


def changes(old, new):
    """What differs between two configurations, as "library A -> B; ..."."""
    return "; ".join(f"{key} {old.get(key)} -> {new.get(key)}"
                     for key in sorted(set(old) | set(new)) if old.get(key) != new.get(key))


def _runs_label(runs):
    runs = sorted(runs)
    if len(runs) == 1:
        return f"run {runs[0]}"
    return f"median of {len(runs)} runs ({runs[0]} to {runs[-1]})"


def judge(values, configuration, history, baseline, mads=REGRESS_MADS,
          percent=REGRESS_PERCENT):
    """One series' verdict: `values` ({figure: value}) now, against
    `history` (entries newest first, each with run, configuration and the
    figures). Returns (baseline or None, flags, notes); flags and notes are
    (kind, text) pairs."""
    kind, arg = baseline
    if not history:
        return None, [], []
    if kind == "run":
        chosen = [h for h in history if h["run"] == arg]
        if not chosen:
            return None, [], [("no baseline", f"no baseline: not in run {arg}")]
        reference = chosen[0]
    else:
        reference = history[0]
    if reference["configuration"] != configuration:
        return None, [], [("configuration changed",
                           f"configuration changed since run {reference['run']}: "
                           f"{changes(reference['configuration'] or {}, configuration)}")]
    # The history with this configuration: from the reference back to the
    # last change.
    start = history.index(reference)
    same = []
    for h in history[start:]:
        if h["configuration"] != configuration:
            break
        same.append(h)
    used = same[:arg] if kind == "median" else [reference]
    spread_over = same[:max(len(used), HISTORY_WINDOW)]
    base = {"label": _runs_label([h["run"] for h in used]), "runs": [h["run"] for h in used]}
    flags, notes = [], []
    for figure, label, unit, form in FIGURES:
        past = [h[figure] for h in used if h[figure] is not None]
        now = values.get(figure)
        if not past or now is None:
            continue
        median = stats.median(past)
        spread = [h[figure] for h in spread_over if h[figure] is not None]
        mad = stats.median([abs(v - stats.median(spread)) for v in spread]) if len(
            spread) >= 3 else 0.0
        threshold = max(mads * mad, percent / 100.0 * median)
        change = 100.0 * (now - median) / median if median else 0.0
        base[figure] = median
        base[f"{figure}_change"] = change
        said = (f"{label} {change:+.1f} % against its {base['label']} "
                f"({form.format(now)} {unit}, was {form.format(median)})")
        if now < median - threshold:
            flags.append(("regressed", f"regressed: {said}"))
        elif now > median + threshold:
            notes.append(("improved", f"improved: {said}"))
    return base, flags, notes


def node_history(store, name, exclude_key, before):
    return store.results("results.node = ? AND results.state = 'ok'", [name], exclude_key,
                         before)


def node_verdict(store, node, key, time, baseline, mads=REGRESS_MADS, percent=REGRESS_PERCENT):
    """judge() for one node against its history in the store."""
    return judge({f: getattr(node, f) for f, *_ in FIGURES}, node.configuration(),
                 node_history(store, node.name, key, time), baseline, mads, percent)


def group_series(store, group, exclude_key=None, before=None):
    """The group's medians per stored run, newest first: [{run, time,
    configuration (its nodes' majority), figures, nodes, flags}]."""
    by_run = collections.OrderedDict()
    for row in store.results("results.grp = ? AND results.state = 'ok'", [group], exclude_key,
                             before):
        by_run.setdefault(row["run"], []).append(row)
    series = []
    for run, rows in by_run.items():
        entry = {"run": run, "time": rows[0]["time"], "nodes": len(rows),
                 "configuration": majority([r["configuration"] for r in rows]),
                 "flagged": sum(1 for r in rows if r["flags"])}
        for figure, *_ in FIGURES:
            values = [r[figure] for r in rows if r[figure] is not None]
            entry[figure] = stats.median(values) if values else None
        series.append(entry)
    return series


def majority(configurations):
    counts = collections.Counter(repr(sorted(c.items())) if c else None for c in configurations)
    ranked = counts.most_common(1)
    for c in configurations:
        if (repr(sorted(c.items())) if c else None) == ranked[0][0]:
            return c
    return None


def judge_fleet(store, nodes, groups, key, time, baseline, mads=REGRESS_MADS,
                percent=REGRESS_PERCENT):
    """Sets every node that ran, and every group, against its history in the
    store (the run of `key` itself left out). Flags nodes in place; adds
    "baseline" and "flags" to each group of `groups`."""
    for node in nodes:
        if node.state != "ok":
            continue
        base, flags, notes = node_verdict(store, node, key, time, baseline, mads, percent)
        node.baseline = base
        node.flags += [text for _, text in flags]
        node.notes += [text for _, text in notes]
    for name, group in groups.items():
        members = [n for n in nodes if n.group == name]
        values = {f: group[f]["median"] for f, *_ in FIGURES}
        base, flags, notes = judge(values, majority([n.configuration() for n in members]),
                                   group_series(store, name, key, time), baseline, mads,
                                   percent)
        group["baseline"] = base
        group["flags"] = [f"fleet regression: {text[len('regressed: '):]}" for _, text in flags]
        group["notes"] = [text for _, text in notes]


def check_baseline(store, baseline):
    """Refuses a baseline run that the store does not hold."""
    if baseline[0] == "run":
        store.run(baseline[1])


def series_rows(series):
    """The history table's rows, oldest first, each with its change
    against the row before it and what changed in its configuration."""
    rows, previous = [], None
    for entry in reversed(series):
        cells = [entry["run"], entry["time"].replace("T", " ").rstrip("Z")]
        for figure, _, _, form in FIGURES:
            value = entry[figure]
            before = previous[figure] if previous else None
            cells.append("" if value is None else form.format(value))
            cells.append("" if value is None or not before else
                         f"{100.0 * (value - before) / before:+.1f} %")
        changed = ""
        if previous and previous["configuration"] != entry["configuration"]:
            changed = "changed: " + changes(previous["configuration"] or {},
                                            entry["configuration"] or {})
        flags = entry.get("flags_text", "")
        rows.append(cells + [changed, flags])
        previous = entry
    return rows


HEADER = ["run", "time (UTC)", "simple GB/s", "change", "blas GFLOP/s", "change",
          "configuration", "flags"]


def node_series(store, name):
    series = []
    for row in store.results("results.node = ?", [name]):
        entry = dict(row)
        entry["flags_text"] = "; ".join(row["flags"])
        entry["marked"] = bool(row["flags"])
        series.append(entry)
    if not series:
        raise Failure(f"{store.path} holds no run of node {name}", 2)
    return series


def groups_in(store):
    return [g for (g,) in store.conn.execute(
        "SELECT DISTINCT grp FROM results WHERE grp IS NOT NULL ORDER BY grp")]


def group_series_for_history(store, group):
    series = group_series(store, group)
    if not series:
        raise Failure(f"{store.path} holds no run of group {group!r} (its groups: "
                      f"{'; '.join(groups_in(store)) or 'none'})", 2)
    own = store.group_flags(group)
    for entry in series:
        said = own.get(entry["run"], []) + (
            [f"{entry['flagged']} of {entry['nodes']} nodes flagged"] if entry["flagged"] else [])
        entry["flags_text"] = "; ".join(said)
        # The chart marks the group's own findings, not its nodes'.
        entry["marked"] = bool(own.get(entry["run"]))
    return series
