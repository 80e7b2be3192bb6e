"""The roofline as SVG, drawn by gnuplot, the project's one plotting tool:
both figures under this machine's measured memory and compute roofs."""

import os
import subprocess
import tempfile

from .. import deps, problem, stats
from ..errors import Failure


def script(result, output):
    """The gnuplot script that draws `result` into the file `output`."""
    limits = result.limits
    summary = result.summary()
    if not limits or not limits.get("compute_roofs"):
        raise Failure("--plot needs this machine's limits (matmul-limits beside the program)", 2)
    bw = limits["memory_roof_gbs"]
    env = result.environment
    lib = result.runs[0].library
    title = (f"matmul-bench on {env.get('cpu_model')}, {env.get('cores')} cores; {lib.name} "
             f"{lib.core} kernels, naive loop {env.get('naive_variant')}")
    roofs = stats.roofs_at(limits, lib.threads)
    plots = [f"roof(x, {r['gflops']:.6g}) with lines lw 2 dt {i + 1} "
             f"title \"{r['width_bits']}-bit {'FMA' if limits.get('fma') else 'mul+add'} peak, "
             f"{r['gflops']:.1f} GFLOP/s\""
             for i, r in enumerate(roofs)]
    # Each point with its label, the library's to its left, clear of the edge.
    points = [("simple (naive loop)", problem.NAIVE_INTENSITY,
               summary["simple_gflops"]["median"], "left offset 1,-1"),
              ("blas (cblas_dgemm)", problem.BLAS_INTENSITY, summary["blas_gflops"]["median"],
               "right offset -1,-1")]
    labels = [f"set label {i + 1} \"{name}: {y:.1f} GFLOP/s\" at {x:.6g},{y:.6g} {place} "
              f"point pt 7 ps 1.5"
              for i, (name, x, y, place) in enumerate(points)]
    return "\n".join([
        # noenhanced: every label is plain text, found whole in the SVG.
        'set terminal svg size 900,560 dynamic noenhanced font "sans,12"',
        f"set output '{output}'",
        f"set title \"{title}\"",
        'set xlabel "arithmetic intensity (FLOP per byte of memory traffic)"',
        'set ylabel "GFLOP/s"',
        "set logscale xy",
        "set xrange [0.05:1000]",
        f"set yrange [{min(bw * 0.05, points[0][2]) / 2:.6g}:{roofs[-1]['gflops'] * 2:.6g}]",
        "set grid",
        "set key bottom right",
        f"bw = {bw:.6g}",
        "roof(x, peak) = (bw * x < peak) ? bw * x : peak",
        *labels,
        "set samples 400",
        f"plot bw * x with lines lw 1 lc rgb 'gray' title \"memory roof, {bw:.1f} GB/s\", "
        + ", ".join(plots),
    ]) + "\n"


def draw(script_for):
    """The SVG that gnuplot draws from script_for(output path)."""
    gnuplot = deps.program("gnuplot", "--plot")
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "chart.svg")
        try:
            proc = subprocess.run([gnuplot], input=script_for(out), text=True,
                                  capture_output=True, timeout=120)
        except subprocess.TimeoutExpired:
            raise Failure("gnuplot did not finish within 120 s", 1) from None
        if proc.returncode != 0 or not os.path.exists(out):
            raise Failure(f"gnuplot failed: {proc.stderr.strip()[:300]}", 1)
        with open(out, encoding="utf-8") as f:
            return f.read()


def render(result):
    return draw(lambda out: script(result, out))


def bars_script(lines, limits, naive_gflops, output):
    """The gnuplot script for the libraries' chart: one bar per library that
    ran (its median GFLOP/s), with the compute roofs and the naive loop's
    figure drawn across, into the file `output`."""
    ran = [line for line in lines if line.blas_gflops]
    if not ran:
        raise Failure("--plot needs at least one library that ran", 1)
    # The roofs at the most threads any library ran.
    roofs = stats.roofs_at(limits, max((line.threads or 0 for line in ran), default=None) or None)
    top = max([line.blas_gflops["median"] for line in ran] + [r["gflops"] for r in roofs])
    data = "\n".join(
        f"\"{line.library} ({line.kernels or 'no kernel set'}, {line.threads} threads)\" "
        f"{line.blas_gflops['median']:.6g}" for line in ran)
    across = [(f"{r['width_bits']}-bit {'FMA' if limits.get('fma') else 'mul+add'} peak, "
               f"{r.get('threads', limits.get('threads'))} threads, {r['gflops']:.1f} GFLOP/s",
               r["gflops"]) for r in roofs]
    if naive_gflops:
        across.append((f"naive loop, {naive_gflops:.2f} GFLOP/s", naive_gflops))
    marks = []
    for i, (label, y) in enumerate(across):
        marks += [f"set arrow {i + 1} from graph 0, first {y:.6g} to graph 1, first {y:.6g} "
                  f"nohead dt {i + 2} lc rgb 'gray40'",
                  f"set label {i + 1} \"{label}\" at graph 0.01, first {y:.6g} offset 0,0.6"]
    return "\n".join([
        'set terminal svg size 900,560 dynamic noenhanced font "sans,12"',
        f"set output '{output}'",
        'set title "cblas_dgemm, 1000x2000 by 2000x3000: median GFLOP/s per library"',
        'set ylabel "GFLOP/s"',
        f"set yrange [0:{top * 1.15:.6g}]",
        "set style fill solid 0.5",
        "set boxwidth 0.6",
        "set grid ytics",
        "unset key",
        "$bars << EOD",
        data,
        "EOD",
        *marks,
        "plot $bars using 0:2:xtic(1) with boxes, "
        "$bars using 0:2:(sprintf('%.1f', $2)) with labels offset 0,0.8",
    ]) + "\n"


def render_bars(lines, limits, naive_gflops):
    return draw(lambda out: bars_script(lines, limits, naive_gflops, out))


def _quoted(text):
    """A gnuplot string: node names are the cluster's, not ours."""
    return '"' + str(text).replace("\\", "\\\\").replace('"', '\\"') + '"'


# The fleet's chart stays readable, and its size bounded, at any fleet:
# the largest groups, and the flagged nodes named up to a count per group.
CHART_GROUPS_MAX = 12
CHART_NAMES_MAX = 30


def _finite(value):
    return value is not None and value == value and abs(value) != float("inf")


def _spread(values, gap):
    """Label heights for sorted `values`, each at least `gap` from the one
    below, as close to its own value as that allows."""
    out = []
    for v in values:
        out.append(max(v, out[-1] + gap) if out else v)
    return out


def fleet_script(nodes, groups, output):
    """The gnuplot script for the fleet's chart, into the file `output`: for
    each group, the distribution of its nodes' simple GB/s (left) and blas
    GFLOP/s (right) as a box, its baseline where it has one, and its
    flagged nodes as points, named beside the box."""
    shown = sorted(groups, key=lambda g: -groups[g]["nodes"])[:CHART_GROUPS_MAX]
    lines = ['set terminal svg size 1100,600 dynamic noenhanced font "sans,11"',
             f"set output {_quoted(output)}", "set multiplot layout 1,2 title " + _quoted(
                 f"{len(nodes)} nodes: each group's distribution, its baseline, and its "
                 f"flagged nodes" + (f" ({len(shown)} largest of {len(groups)} groups)"
                                     if len(groups) > len(shown) else "")),
             "set style boxplot nooutliers", "set style fill solid 0.25", "set boxwidth 0.3",
             "set grid ytics", "set key below", "set xtics rotate by -20",
             "set bmargin 6", f"set xrange [0.5:{len(shown) + 0.6}]",
             "set xtics (" + ", ".join(f"{_quoted(g)} {i}" for i, g in enumerate(shown, 1)) + ")"]
    for figure, label in (("simple_gbs", "simple (naive loop), GB/s"),
                          ("blas_gflops", "blas (cblas_dgemm), GFLOP/s")):
        plots, marks = [], []
        values = {g: [getattr(n, figure) for n in nodes if n.group == g and _finite(
            getattr(n, figure))] for g in shown}
        everything = [v for vs in values.values() for v in vs] + [
            (groups[g].get("baseline") or {}).get(figure) for g in shown
            if _finite((groups[g].get("baseline") or {}).get(figure))]
        low, high = min(everything, default=0.0), max(everything, default=1.0)
        low, high = low - 0.08 * (high - low or high or 1), high + 0.08 * (high - low or high or 1)
        for i, name in enumerate(shown, 1):
            lines += [f"$g{i}{figure} << EOD", *(f"{v:.6g}" for v in values[name]), "EOD"]
            plots.append(f"$g{i}{figure} using ({i}):1 with boxplot lc rgb 'steelblue' "
                         + ("title \"its nodes\"" if i == 1 else "notitle"))
            flagged = sorted((getattr(n, figure), n.name) for n in nodes
                             if n.flags and n.group == name and _finite(getattr(n, figure)))
            if flagged:
                lines += [f"$f{i}{figure} << EOD", *(f"{v:.6g}" for v, _ in flagged), "EOD"]
                plots.append(f"$f{i}{figure} using ({i}):1 with points pt 7 lc rgb 'red' "
                             + ("title \"flagged\"" if not any("flagged" in p for p in plots)
                                else "notitle"))
                named = flagged[:CHART_NAMES_MAX]
                heights = _spread([v for v, _ in named], (high - low) / 45)
                for (v, who), y in zip(named, heights):
                    marks.append(f"set arrow from {i + 0.02},{v:.6g} to {i + 0.2},{y:.6g} "
                                 f"nohead lc rgb 'gray60'")
                    marks.append(f"set label {_quoted(who)} at {i + 0.21},{y:.6g} left "
                                 f"font \",9\"")
                if len(flagged) > len(named):
                    more = f"{len(flagged) - len(named)} more flagged: cluster.md names them"
                    marks.append(f"set label {_quoted(more)} at {i + 0.21},"
                                 f"{heights[-1] + (high - low) / 45:.6g} left font \",9\"")
        base = [(i, (groups[g].get("baseline") or {}).get(figure)) for i, g in
                enumerate(shown, 1)]
        base = [(i, v) for i, v in base if _finite(v)]
        if base:
            lines += [f"$base{figure} << EOD", *(f"{i} {v:.6g}" for i, v in base), "EOD"]
            plots.append(f"$base{figure} using 1:2 with points pt 2 ps 2 lc rgb 'black' "
                         f"title \"baseline\"")
        lines += [f"set title {_quoted(label)}", f"set ylabel {_quoted(label)}",
                  f"set yrange [{low:.6g}:{high:.6g}]", *marks, "plot " + ", ".join(plots),
                  "unset arrow", "unset label"]
    lines.append("unset multiplot")
    return "\n".join(lines) + "\n"


def render_fleet(nodes, groups):
    return draw(lambda out: fleet_script(nodes, groups, out))


def history_script(title, series, output):
    """The gnuplot script for a history: simple GB/s (left axis) and blas
    GFLOP/s (right axis) per run, oldest first, the flagged runs marked."""
    rows = list(reversed(series))
    data = "\n".join(f"{i} {_number(e['simple_gbs'])} {_number(e['blas_gflops'])} "
                      f"{1 if e.get('marked', bool(e.get('flags_text'))) else 0}"
                     for i, e in enumerate(rows))
    # The run's id and its date and time, both ours: digits only.
    tics = ", ".join(f"\"run {int(e['run'])}\\n{e['time'][5:16].replace('T', ' ')}\" {i}"
                     for i, e in enumerate(rows))
    return "\n".join([
        'set terminal svg size 900,520 dynamic noenhanced font "sans,11"',
        f"set output {_quoted(output)}",
        f"set title {_quoted(title)}",
        'set ylabel "simple (naive loop), GB/s"', 'set y2label "blas (cblas_dgemm), GFLOP/s"',
        "set ytics nomirror", "set y2tics", "set grid", "set key bottom left", "set bmargin 4",
        f"set xrange [-0.5:{len(rows) - 0.5}]", f"set xtics ({tics})",
        "set datafile missing 'NaN'",
        "$h << EOD", data, "EOD",
        "plot $h using 1:2 with linespoints pt 7 lc rgb 'steelblue' title \"simple GB/s\", "
        "$h using 1:3 axes x1y2 with linespoints pt 5 lc rgb 'dark-orange' "
        "title \"blas GFLOP/s\", "
        "$h using 1:($4 > 0 ? $2 : NaN) with points pt 6 ps 3 lc rgb 'red' "
        "title \"flagged\", "
        "$h using 1:($4 > 0 ? $3 : NaN) axes x1y2 with points pt 6 ps 3 lc rgb 'red' notitle",
    ]) + "\n"


def _number(value):
    return "NaN" if value is None else f"{value:.6g}"


def render_history(title, series):
    return draw(lambda out: history_script(title, series, out))
