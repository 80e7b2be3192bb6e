"""The statistics: summaries of repeated runs, the figures set against the
machine's limits, and the rank test that tells two sets of runs apart."""

import math
import statistics

from . import deps, problem

ALPHA = 0.05

median = statistics.median


def summarise(runs, keys):
    """{key: {"min", "median", "max"} or None} over the runs (dicts) that
    have it. A NaN in any run makes all three NaN: no figure of it stands."""
    summary = {}
    for key in keys:
        values = [r[key] for r in runs if isinstance(r.get(key), (int, float))
                  and not isinstance(r.get(key), bool)]
        if not values:
            summary[key] = None
        elif any(math.isnan(v) for v in values):
            summary[key] = {"min": math.nan, "median": math.nan, "max": math.nan}
        else:
            summary[key] = {"min": min(values), "median": median(values), "max": max(values)}
    return summary


def stream_gbs(simple_ms):
    """The rate at which the naive loop streamed B (once per row of A)."""
    return problem.B_BYTES_STREAMED / (simple_ms / 1000.0) / 1e9


def _reads(sample):
    """{build: (load bits, sustained GB/s, burst GB/s)} of one probe's
    output; a probe of before the builds gives its one rate."""
    reads = sample.get("memory_reads")
    if reads:
        return {r["build"]: (r.get("load_bits"), r["gbs"], r.get("burst_gbs")) for r in reads}
    return {sample.get("memory_roof_build") or "unknown": (None, sample["memory_roof_gbs"], None)}


def _roofs(sample):
    """{(width bits, threads): GFLOP/s} of one probe's output."""
    return {(r["width_bits"], r.get("threads", sample.get("threads"))): r["gflops"]
            for r in sample.get("compute_roofs") or []}


def limits_summary(samples):
    """The machine's limits over a run's rounds: each read-loop build's and
    each compute roof's median over the rounds that measured it; the memory
    roof is the build with the best median. None if no round measured."""
    got = [s for s in samples if s]
    if not got:
        return None
    builds, bursts, bits = {}, {}, {}
    for sample in got:
        for build, (load_bits, gbs, burst) in _reads(sample).items():
            builds.setdefault(build, []).append(gbs)
            bits[build] = load_bits
            if burst is not None:
                bursts.setdefault(build, []).append(burst)
    reads = {build: median(v) for build, v in builds.items()}
    roof_build = max(reads, key=reads.get)
    roofs = {}
    for sample in got:
        for key, gflops in _roofs(sample).items():
            roofs.setdefault(key, []).append(gflops)
    clocks = [s["core_clock_ghz"] for s in got if s.get("core_clock_ghz")]
    threads = sorted({t for _, t in roofs}) or [got[0].get("threads")]

    def seconds(key):
        values = [s[key] for s in got if isinstance(s.get(key), (int, float))]
        return median(values) if values else None
    return {
        "method": got[0].get("method", "best burst"),
        "rounds": len(got),
        "threads": threads[-1],
        "fma": got[0].get("fma"),
        "memory_roof_gbs": reads[roof_build],
        "memory_roof_build": roof_build,
        # The fastest single pass of any round: a burst, shown but never divided by.
        "memory_burst_gbs": max((max(v) for v in bursts.values()), default=None),
        "memory_seconds": seconds("memory_seconds"),
        "memory_buffer_bytes": got[0].get("memory_buffer_bytes"),
        "memory_reads": [{"build": b, "load_bits": bits[b], "gbs": reads[b],
                          "burst_gbs": max(bursts[b]) if b in bursts else None} for b in reads],
        "core_clock_ghz": median(clocks) if clocks else None,
        "compute_seconds": seconds("compute_seconds"),
        "compute_roofs": [{"width_bits": w, "fma": got[0].get("fma"), "threads": t,
                           "gflops": median(v)} for (w, t), v in sorted(roofs.items())],
        "samples": got,
    }


def nearest_threads(counts, threads):
    """Of the thread counts measured, the one nearest `threads` (the larger
    on a tie; the largest where `threads` is unknown)."""
    counts = sorted({t for t in counts if t is not None})
    if not counts:
        return None
    want = threads if threads is not None else counts[-1]
    return min(counts, key=lambda t: (abs(t - want), -t))


def roofs_at(limits, threads):
    """The compute roofs of a summary at the thread count nearest `threads`."""
    roofs = (limits or {}).get("compute_roofs") or []
    at = nearest_threads([r.get("threads") for r in roofs], threads)
    return [r for r in roofs if r.get("threads") == at] if at is not None else roofs


def paired_roofs(sample, summary, threads, kernel_width_bits):
    """A run's roofs as its own round measured them: the memory roof of the
    run's best build, and the compute peaks at the library's thread count
    (the nearest measured), widest and at its kernels' width."""
    out = {"memory_roof_gbs": None, "peak_gflops": None, "peak_gflops_at_kernel_width": None}
    if not sample or not summary:
        return out
    reads = _reads(sample)
    if summary["memory_roof_build"] in reads:
        out["memory_roof_gbs"] = reads[summary["memory_roof_build"]][1]
    roofs = _roofs(sample)
    nearest = nearest_threads([t for _, t in roofs], threads)
    if nearest is not None:
        at = {w: g for (w, t), g in roofs.items() if t == nearest}
        out["peak_gflops"] = at[max(at)]
        out["peak_gflops_at_kernel_width"] = at.get(kernel_width_bits)
    return out


def derived(simple_ms, blas_ms, roofs=None):
    """A run's rates, speedup and shares of the roofs it was paired with."""
    roofs = roofs or {}
    blas_gflops = problem.FLOP / (blas_ms / 1000.0) / 1e9

    def share(value, roof):
        return 100.0 * value / roof if roof else None
    return {"simple_gflops": problem.FLOP / (simple_ms / 1000.0) / 1e9,
            "blas_gflops": blas_gflops, "speedup": simple_ms / blas_ms,
            "simple_pct_of_stream": share(stream_gbs(simple_ms), roofs.get("memory_roof_gbs")),
            "blas_pct_of_peak": share(blas_gflops, roofs.get("peak_gflops")),
            "blas_pct_of_peak_at_kernel_width": share(
                blas_gflops, roofs.get("peak_gflops_at_kernel_width"))}


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
