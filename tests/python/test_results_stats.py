"""Summaries, shares of the machine's roofs and the U-test's verdicts."""

import pytest
from matmul_results import problem, stats

def sample(x86, avx2, roofs, burst=99.0):
    """One round's probe output: two read-loop builds, roofs {(width, threads): GFLOP/s}."""
    return {"method": "sustained", "threads": 1, "fma": True, "memory_seconds": 1.5,
            "memory_reads": [{"build": "x86-64", "load_bits": 128, "gbs": x86, "burst_gbs": burst},
                             {"build": "avx2", "load_bits": 256, "gbs": avx2, "burst_gbs": 50.0}],
            "compute_roofs": [{"width_bits": w, "fma": True, "threads": t, "gflops": g}
                              for (w, t), g in roofs.items()]}


ROOFS = {(256, 1): 600.0, (512, 1): 1200.0, (256, 2): 1200.0, (512, 2): 2400.0}


def test_summary_skips_runs_without_the_figure():
    runs = [{"a": 3.0}, {"a": 1.0}, {"a": None}, {"a": 2.0, "b": 5}, {"a": 10.0}]
    assert stats.summarise(runs, ["a", "b", "c"]) == {
        "a": {"min": 1.0, "median": 2.5, "max": 10.0},
        "b": {"min": 5, "median": 5, "max": 5}, "c": None}


def test_limits_are_medians_of_the_rounds_and_the_roof_the_best_builds():
    # The baseline build wins two rounds of three, but AVX2's median is higher.
    rounds = [sample(40.0, 30.0, ROOFS), sample(41.0, 45.0, ROOFS), sample(39.0, 44.0, ROOFS),
              None]
    limits = stats.limits_summary(rounds)
    assert limits["rounds"] == 3 and limits["method"] == "sustained"
    assert limits["memory_roof_build"] == "avx2" and limits["memory_roof_gbs"] == 44.0
    # The burst is kept, labelled, and is not the roof.
    assert limits["memory_burst_gbs"] == 99.0
    assert {(r["width_bits"], r["threads"]): r["gflops"] for r in limits["compute_roofs"]} == ROOFS
    assert stats.limits_summary([None, None]) is None


def test_each_run_is_set_against_its_own_rounds_roofs():
    rounds = [sample(40.0, 30.0, ROOFS), sample(41.0, 58.0, {k: v / 2 for k, v in ROOFS.items()})]
    limits = stats.limits_summary(rounds)
    # Round 0's own AVX2 rate, not the median; the roofs at the library's 2 threads.
    roofs = stats.paired_roofs(rounds[0], limits, 2, 256)
    assert roofs == {"memory_roof_gbs": 30.0, "peak_gflops": 2400.0,
                     "peak_gflops_at_kernel_width": 1200.0}
    # A thread count not measured takes the nearest; unknown threads, the most.
    assert stats.paired_roofs(rounds[1], limits, 8, 512)["peak_gflops"] == 1200.0
    assert stats.paired_roofs(rounds[1], limits, None, None)["peak_gflops"] == 1200.0
    assert stats.paired_roofs(None, limits, 2, 256)["memory_roof_gbs"] is None
    # 48 GB of B in 1000 ms is 48 GB/s, 160 % of round 0's roof; 1.2e10 flops
    # in 10 ms is 1200 GFLOP/s, half the widest peak and all of the 256-bit one.
    out = stats.derived(1000.0, 10.0, roofs)
    assert out["simple_pct_of_stream"] == pytest.approx(160)
    assert out["blas_pct_of_peak"] == pytest.approx(50)
    assert out["blas_pct_of_peak_at_kernel_width"] == pytest.approx(100)
    assert out["speedup"] == 100 and out["blas_gflops"] == pytest.approx(problem.FLOP / 1e7)
    bare = stats.derived(100.0, 10.0)
    assert bare["simple_pct_of_stream"] is None and bare["blas_pct_of_peak"] is None


def test_a_probe_of_before_the_builds_still_counts():
    old = {"threads": 2, "memory_roof_gbs": 960,
           "compute_roofs": [{"width_bits": 256, "gflops": 1200}]}
    limits = stats.limits_summary([old])
    assert limits["memory_roof_gbs"] == 960 and limits["method"] == "best burst"
    assert stats.paired_roofs(old, limits, 2, 256)["peak_gflops_at_kernel_width"] == 1200


def test_a_nan_anywhere_makes_the_summary_nan():
    s = stats.summarise([{"d": 0.1}, {"d": float("nan")}, {"d": 0.2}], ["d"])["d"]
    assert all(v != v for v in s.values())


def test_fewest_runs_for_a_verdict():
    assert stats.min_p(3, 3) == pytest.approx(0.1)
    assert stats.min_p(4, 4) == pytest.approx(2 / 70)
    assert stats.min_p(4, 3) > stats.ALPHA > stats.min_p(4, 4)


BASE = [1000.0 + i for i in range(8)]


@pytest.mark.parametrize("new, better, expected", [
    ([2 * x for x in BASE], "lower", "slower"),
    ([x / 2 for x in BASE], "lower", "faster"),
    ([2 * x for x in BASE], "higher", "faster"),
    ([x / 2 for x in BASE], "higher", "slower"),
    ([2 * x for x in BASE], "neither", "higher"),
    ([x / 2 for x in BASE], "neither", "lower"),
    (list(BASE), "lower", "no significant difference"),
    ([x + 0.5 for x in BASE], "lower", "no significant difference"),
])
def test_verdicts(new, better, expected):
    p, verdict = stats.verdict(BASE, new, better)
    assert verdict == expected
    assert (p < stats.ALPHA) == (expected not in ("no significant difference",))


def test_too_few_runs_give_no_verdict():
    p, verdict = stats.verdict([1.0, 2.0], [30.0, 40.0], "lower")
    assert verdict == "too few runs for a verdict"
