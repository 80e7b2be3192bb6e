"""Slurm's host lists (c[1-8,10],gpu[01-04]) read without Slurm, so that a
report can be rewritten where no Slurm is installed. Debian packages no
host-list library; this is the subset Slurm's own documentation shows:
comma-separated names, each with at most one bracketed set of numbers and
ranges, zero-padded ranges keeping their width."""

import re

_PART = re.compile(r"([^\[\],]*)(?:\[([0-9,\-]+)\])?([^\[\],]*)")


def _numbers(ranges):
    for item in ranges.split(","):
        low, _, high = item.partition("-")
        if not low.isdigit() or (high and not high.isdigit()) or (high and int(high) < int(low)):
            raise ValueError(f"not a range of numbers: [{ranges}]")
        width = len(low) if low.startswith("0") else 1
        for n in range(int(low), int(high or low) + 1):
            yield str(n).zfill(width)


def _split_top(text):
    """Splits on the commas outside brackets."""
    parts, depth, start = [], 0, 0
    for i, c in enumerate(text):
        depth += {"[": 1, "]": -1}.get(c, 0)
        if depth not in (0, 1):
            raise ValueError(f"unbalanced brackets in {text!r}")
        if c == "," and depth == 0:
            parts.append(text[start:i])
            start = i + 1
    if depth:
        raise ValueError(f"unbalanced brackets in {text!r}")
    return parts + [text[start:]]


def expand(text):
    """The names of a host list, in its order; ValueError if it is none."""
    names = []
    for part in _split_top(text.strip()):
        match = _PART.fullmatch(part.strip())
        if not part.strip() or not match:
            raise ValueError(f"not a host list: {text!r}")
        prefix, ranges, suffix = match.groups()
        names += [prefix + n + suffix for n in _numbers(ranges)] if ranges else [
            prefix + suffix]
    return names
