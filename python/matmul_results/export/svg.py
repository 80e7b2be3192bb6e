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


def fleet_script(nodes, output):
    """The gnuplot script for the fleet's chart: each node that ran, its
    simple and blas rates as % of its group's median, side by side, with
    100 % drawn across, into the file `output`."""
    ran = [n for n in nodes if n.state == "ok"]
    data = "\n".join(f"{_quoted(n.name)} {100 + n.simple_deviation:.6g} "
                     f"{100 + n.blas_deviation:.6g}" for n in ran)
    top = max([100.0] + [100 + max(n.simple_deviation, n.blas_deviation) for n in ran])
    return "\n".join([
        f'set terminal svg size {max(600, 60 * len(ran) + 200)},520 dynamic noenhanced '
        f'font "sans,12"',
        f"set output {_quoted(output)}",
        'set title "Each node against the median of the nodes of its kind (CPU model, cores)"',
        'set ylabel "% of its group\'s median rate"',
        f"set yrange [0:{top * 1.15:.6g}]",
        "set style data histograms",
        "set style histogram clustered gap 1",
        "set style fill solid 0.5",
        "set grid ytics",
        "set key top right",
        "set xtics rotate by -45",
        "set arrow 1 from graph 0, first 100 to graph 1, first 100 nohead dt 2 lc rgb 'gray40'",
        "set label 1 \"group median\" at graph 0.01, first 100 offset 0,0.6",
        "$nodes << EOD",
        data,
        "EOD",
        "plot $nodes using 2:xtic(1) title \"simple (GB/s)\", "
        "$nodes using 3 title \"blas (GFLOP/s)\"",
    ]) + "\n"


def render_fleet(nodes):
    return draw(lambda out: fleet_script(nodes, out))
