"""The roofline as SVG, drawn by gnuplot, the project's one plotting tool:
both figures under this machine's measured memory and compute roofs."""

import os
import subprocess
import tempfile

from .. import deps, problem
from ..errors import Failure


def script(result, output):
    """The gnuplot script that draws `result` into the file `output`."""
    limits = result.limits
    summary = result.summary()
    if not limits or not limits.get("compute_roofs"):
        raise Failure("--plot needs this machine's limits (matmul-limits beside the program)", 2)
    bw = limits["memory_roof_gbs"]
    env = result.environment
    title = (f"matmul-bench on {env.get('cpu_model')}, {env.get('cores')} cores; OpenBLAS "
             f"{result.openblas.get('core')} kernels, naive loop {env.get('naive_variant')}")
    roofs = limits["compute_roofs"]
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


def render(result):
    gnuplot = deps.program("gnuplot", "--plot")
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "roofline.svg")
        proc = subprocess.run([gnuplot], input=script(result, out), text=True,
                              capture_output=True)
        if proc.returncode != 0 or not os.path.exists(out):
            raise Failure(f"gnuplot failed: {proc.stderr.strip()[:300]}", 1)
        with open(out, encoding="utf-8") as f:
            return f.read()
