"""The fleet's figures in Prometheus's text format, for node_exporter's
textfile collector: one gauge per figure and node, in base units, a 0/1
gauge per kind of finding, and when each node last ran. No sample carries
a timestamp (node_exporter skips a file whose samples do)."""

import math

from .. import fleet

PREFIX = "matmul_bench_"
LABELS = ("node", "group", "library", "kernels", "naive_build")
# (name, help, the node's value in base units)
FIGURES = (
    ("simple_bytes_per_second",
     "The naive loop's rate of streaming B, median of the node's runs (bytes/s).",
     lambda n: None if n.simple_gbs is None else n.simple_gbs * 1e9),
    ("blas_flop_per_second",
     "The library's cblas_dgemm rate, median of the node's runs (FLOP/s).",
     lambda n: None if n.blas_gflops is None else n.blas_gflops * 1e9),
    ("speedup_ratio", "The naive loop's time over the library's, median of the node's runs.",
     lambda n: n.speedup),
    ("diff", "The summed absolute difference of the two products, median of the node's runs.",
     lambda n: n.diff),
)
# Every kind of finding, each node's gauge 0 or 1, so that a finding that
# goes away is a 0, not a series that vanishes.
FLAG_KINDS = ("faulty", "below reference", "regressed", "slow", "configuration", "cores",
              "lost", "not run")


def _label(value):
    text = "" if value is None else str(value)
    return text.replace("\\", "\\\\").replace("\n", "\\n").replace('"', '\\"')


def _labels(pairs):
    return "{" + ",".join(f'{k}="{_label(v)}"' for k, v in pairs) + "}"


def _number(value):
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "+Inf" if value > 0 else "-Inf"
    return repr(float(value))


def render(nodes, measured):
    """`nodes`: fleet.Node rows; `measured`: {name: when it ran, Unix
    seconds} for those that ran."""
    lines = []

    def metric(name, what, samples):
        lines.append(f"# HELP {PREFIX}{name} {what}")
        lines.append(f"# TYPE {PREFIX}{name} gauge")
        lines.extend(f"{PREFIX}{name}{_labels(labels)} {_number(value)}"
                     for labels, value in samples)

    for name, what, value_of in FIGURES:
        metric(name, what, [
            ([("node", n.name), ("group", n.group), ("library", n.library),
              ("kernels", n.kernels), ("naive_build", n.naive)], value_of(n))
            for n in nodes if n.state == "ok" and value_of(n) is not None])
    metric("flag", "1 when the node's latest run has a finding of this kind, else 0.", [
        ([("node", n.name), ("flag", kind.replace(" ", "_"))],
         1.0 if any(fleet.kind(f) == kind for f in n.flags) else 0.0)
        for n in nodes for kind in FLAG_KINDS])
    metric("last_run_timestamp_seconds", "When the node's figures were measured (Unix time).",
           [([("node", n.name)], measured[n.name]) for n in nodes if n.name in measured])
    return "\n".join(lines) + "\n"
