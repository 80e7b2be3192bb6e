"""A site's reference figures: lower bounds per group of nodes, in a file
that sites can share (TOML, or the same structure as JSON):

    [[reference]]
    group = "AMD EPYC, 2 cores"     # or: nodes = "c[1-8]" (a host list) or "c*"
    min_simple_gbs = 25.0
    min_blas_gflops = 120.0

Where several entries match a node, the most specific wins: a host list
over a group, a group over a glob; among equals, the first in the file."""

import dataclasses
import fnmatch
import json
import re

from . import hostlist
from .errors import Failure

try:
    import tomllib
except ImportError:  # Python before 3.11: JSON files only
    tomllib = None

BOUNDS = {"min_simple_gbs": ("simple_gbs", "simple", "GB/s", "{:.2f}"),
          "min_blas_gflops": ("blas_gflops", "blas", "GFLOP/s", "{:.1f}")}
SELECTORS = ("group", "nodes")
KEYS = SELECTORS + tuple(BOUNDS)
# Specificity, most specific first.
HOST_LIST, GROUP, GLOB = 3, 2, 1


@dataclasses.dataclass
class Entry:
    index: int  # 1-based, in the file's order
    line: int
    selector: str  # "group" or "nodes"
    value: str
    bounds: dict  # {"min_simple_gbs": 25.0, ...}
    names: frozenset = None  # a host list's names

    def specificity(self):
        if self.selector == "group":
            return GROUP
        return HOST_LIST if self.names is not None else GLOB

    def matches(self, node, group):
        if self.selector == "group":
            return group == self.value
        return node in self.names if self.names is not None else fnmatch.fnmatchcase(
            node, self.value)

    def describe(self, path):
        return f"{path} line {self.line}: {self.selector} = {json.dumps(self.value)}"


def _entry_lines(text):
    """The line of each [[reference]] header (TOML), or of each entry's
    opening brace (JSON), 1-based, in order."""
    lines = text.splitlines()
    heads = [i + 1 for i, line in enumerate(lines) if re.match(r"\s*\[\[\s*reference\s*\]\]", line)]
    return heads or [i + 1 for i, line in enumerate(lines) if line.strip().startswith("{")][1:]


def _key_line(text, start, key):
    """The first line at or after `start` that sets `key`."""
    for number, line in enumerate(text.splitlines()[start - 1:], start):
        if re.match(rf'\s*"?{re.escape(key)}"?\s*[=:]', line):
            return number
    return start


def parse(text, path):
    """The entries of a reference file's text; Failure (status 2) naming the
    line at fault otherwise."""
    def refuse(line, what):
        raise Failure(f"{path} line {line}: {what}", 2)

    if path.endswith(".json") or text.lstrip().startswith("{"):
        try:
            data = json.loads(text)
        except ValueError as e:
            refuse(getattr(e, "lineno", 1), f"not valid JSON: {getattr(e, 'msg', e)}")
    elif tomllib is None:
        raise Failure(f"{path}: TOML needs Python 3.11 or later (tomllib); give the same "
                      f"structure as JSON instead", 2)
    else:
        try:
            data = tomllib.loads(text)
        except tomllib.TOMLDecodeError as e:
            found = re.search(r"line (\d+)", str(e))
            refuse(found.group(1) if found else 1, f"not valid TOML: {e}")
    if not isinstance(data, dict) or set(data) - {"reference"}:
        extra = sorted(set(data) - {"reference"}) if isinstance(data, dict) else []
        line = _key_line(text, 1, extra[0]) if extra else 1
        refuse(line, f"unknown key {extra[0]!r}: a reference file holds [[reference]] "
                     f"entries only" if extra else "not a reference file")
    raw = data.get("reference", [])
    if not isinstance(raw, list) or not raw:
        refuse(1, "no [[reference]] entries")
    heads = _entry_lines(text)
    entries = []
    for index, item in enumerate(raw, 1):
        line = heads[index - 1] if index <= len(heads) else 1
        if not isinstance(item, dict):
            refuse(line, f"reference {index} is not a table")
        for key in item:
            if key not in KEYS:
                refuse(_key_line(text, line, key), f"unknown key {key!r} in reference {index} "
                                                   f"(known: {', '.join(KEYS)})")
        chosen = [k for k in SELECTORS if k in item]
        if len(chosen) != 1:
            refuse(line, f"reference {index} needs exactly one of group or nodes")
        value = item[chosen[0]]
        if not isinstance(value, str) or not value.strip():
            refuse(_key_line(text, line, chosen[0]), f"{chosen[0]} must be a non-empty string")
        bounds = {k: item[k] for k in BOUNDS if k in item}
        if not bounds:
            refuse(line, f"reference {index} sets no bound ({', '.join(BOUNDS)})")
        for key, bound in bounds.items():
            if isinstance(bound, bool) or not isinstance(bound, (int, float)) or not bound > 0:
                refuse(_key_line(text, line, key), f"{key} must be a positive number")
        names = None
        if chosen[0] == "nodes" and not any(c in value for c in "*?"):
            try:
                names = frozenset(hostlist.expand(value))
            except ValueError as e:
                refuse(_key_line(text, line, "nodes"), str(e))
        entries.append(Entry(index, line, chosen[0], value, bounds, names))
    return entries


def load(path):
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except (OSError, UnicodeDecodeError) as e:
        raise Failure(f"{path}: cannot read it: {getattr(e, 'strerror', None) or e}", 2) from None
    return parse(text, path)


def entry_for(entries, node, group):
    """The most specific entry that matches, or None."""
    matching = [e for e in entries if e.matches(node, group)]
    return max(matching, key=lambda e: (e.specificity(), -e.index), default=None)


def check(entries, nodes, path):
    """Flags each node that ran below its reference; records which entry
    applied to each node in node.reference."""
    for node in nodes:
        if node.state != "ok":
            continue
        entry = entry_for(entries, node.name, node.group)
        if entry is None:
            continue
        node.reference = entry.describe(path)
        for key, bound in entry.bounds.items():
            figure, label, unit, form = BOUNDS[key]
            value = getattr(node, figure)
            if value is not None and not value >= bound:
                node.flags.append(f"below reference: {label} {form.format(value)} {unit}, its "
                                  f"bound {form.format(bound)} ({entry.describe(path)})")
