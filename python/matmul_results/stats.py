"""The statistics: summaries of repeated runs, the figures set against the
machine's limits, and the rank test that tells two sets of runs apart."""

import math

from . import deps, problem

ALPHA = 0.05


def median(values):
    values = sorted(values)
    n = len(values)
    return values[n // 2] if n % 2 else (values[n // 2 - 1] + values[n // 2]) / 2


def summarise(runs, keys):
    """{key: {"min", "median", "max"} or None} over the runs (dicts) that have it."""
    summary = {}
    for key in keys:
        values = sorted(r[key] for r in runs if isinstance(r.get(key), (int, float)))
        summary[key] = (None if not values else
                        {"min": values[0], "median": median(values), "max": values[-1]})
    return summary


def stream_gbs(simple_ms):
    """The rate at which the naive loop streamed B (once per row of A)."""
    return problem.B_BYTES_STREAMED / (simple_ms / 1000.0) / 1e9


def derived(simple_ms, blas_ms, limits, kernel_width_bits):
    """A run's rates, speedup and shares of the machine's roofs."""
    blas_gflops = problem.FLOP / (blas_ms / 1000.0) / 1e9
    out = {"simple_gflops": problem.FLOP / (simple_ms / 1000.0) / 1e9,
           "blas_gflops": blas_gflops, "speedup": simple_ms / blas_ms,
           "simple_pct_of_stream": None, "blas_pct_of_peak": None,
           "blas_pct_of_peak_at_kernel_width": None}
    if not limits:
        return out
    if limits.get("memory_roof_gbs"):
        out["simple_pct_of_stream"] = 100.0 * stream_gbs(simple_ms) / limits["memory_roof_gbs"]
    roofs = {r["width_bits"]: r["gflops"] for r in limits.get("compute_roofs", [])}
    if roofs:
        out["blas_pct_of_peak"] = 100.0 * blas_gflops / roofs[max(roofs)]
    if kernel_width_bits in roofs:
        out["blas_pct_of_peak_at_kernel_width"] = 100.0 * blas_gflops / roofs[kernel_width_bits]
    return out


def u_test_p(old, new):
    """Two-sided Mann-Whitney U p-value of two samples."""
    scipy_stats = deps.module("scipy.stats", "compare")
    if len(set(old) | set(new)) == 1:
        return 1.0  # all equal: nothing to rank
    return float(scipy_stats.mannwhitneyu(old, new, alternative="two-sided").pvalue)


def min_p(n_old, n_new):
    """The smallest two-sided p-value any ranking of n_old and n_new runs can give."""
    return min(1.0, 2.0 / math.comb(n_old + n_new, n_old))


def verdict(old, new, better):
    """(p, verdict) for one figure: "faster", "slower", "higher", "lower", "no
    significant difference" or "too few runs for a verdict"."""
    p = u_test_p(old, new)
    med_old, med_new = median(old), median(new)
    if min_p(len(old), len(new)) > ALPHA:
        return p, "too few runs for a verdict"
    if p >= ALPHA:
        return p, "no significant difference"
    if better == "neither":
        return p, "lower" if med_new < med_old else "higher"
    return p, "faster" if (med_new < med_old) == (better == "lower") else "slower"
