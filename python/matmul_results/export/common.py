"""What the text exporters share: number formats and the limits in a line."""


def fmt(value, form):
    return "n/a" if value is None else form.format(value)


def limits_text(limits):
    """The roofs in a line: how they were measured, and over how many rounds."""
    if not limits:
        return "not measured"
    sustained = limits.get("method") == "sustained"
    rounds = limits.get("rounds")
    how = (f"sustained, median of {rounds} round{'s' if rounds != 1 else ''}" if sustained
           else "best burst")
    build = limits.get("memory_roof_build")
    memory = (f"memory roof {limits['memory_roof_gbs']:.1f} GB/s (one core, {how}"
              + (f", {build} loads" if build else "") + ")")
    if limits.get("memory_burst_gbs"):
        memory += f"; fastest single pass {limits['memory_burst_gbs']:.1f} GB/s (a burst)"
    by_threads = {}
    for r in limits.get("compute_roofs") or []:
        by_threads.setdefault(r.get("threads", limits.get("threads")), []).append(
            f"{r['width_bits']}-bit {r['gflops']:.1f}")
    kind = "FMA" if limits.get("fma") else "multiply + add (no FMA)"
    roofs = "; ".join(f"{t} thread{'s' if t != 1 else ''} {', '.join(v)}"
                      for t, v in by_threads.items()) or "n/a"
    clock = limits.get("core_clock_ghz")
    return (f"{memory}; compute roofs ({kind}{', sustained' if sustained else ''}) {roofs} "
            "GFLOP/s" + (f"; core clock {clock:.2f} GHz" if clock else ""))


def group_title(key, runs):
    """One line that names a group of runs by what sets it apart."""
    return (f"{key.host or 'unknown host'}, {key.cpu_model or 'unknown CPU'}; "
            f"{key.library or 'unknown library'} {key.library_core or ''} "
            f"({key.library_threads} threads); naive loop {key.naive_variant}; {len(runs)} runs")
