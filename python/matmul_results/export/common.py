"""What the text exporters share: number formats and the limits in a line."""


def fmt(value, form):
    return "n/a" if value is None else form.format(value)


def limits_text(limits):
    if not limits:
        return "not measured"
    roofs = ", ".join(f"{r['width_bits']}-bit {r['gflops']:.1f}" for r in limits["compute_roofs"])
    kind = "FMA" if limits.get("fma") else "multiply + add (no FMA)"
    clock = limits.get("core_clock_ghz")
    return (f"memory roof {limits['memory_roof_gbs']:.1f} GB/s (one core); compute roofs "
            f"({kind}, {limits['threads']} threads) {roofs or 'n/a'} GFLOP/s"
            + (f"; core clock {clock:.2f} GHz" if clock else ""))


def group_title(key, runs):
    """One line that names a group of runs by what sets it apart."""
    return (f"{key.host or 'unknown host'}, {key.cpu_model or 'unknown CPU'}; "
            f"{key.library or 'unknown library'} {key.library_core or ''} "
            f"({key.library_threads} threads); naive loop {key.naive_variant}; {len(runs)} runs")
