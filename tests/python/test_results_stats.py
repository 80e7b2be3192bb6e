"""Summaries, shares of the machine's roofs and the U-test's verdicts."""

import pytest
from matmul_results import problem, stats

LIMITS = {"memory_roof_gbs": 960, "compute_roofs": [
    {"width_bits": 128, "gflops": 600}, {"width_bits": 256, "gflops": 1200},
    {"width_bits": 512, "gflops": 2400}]}


def test_summary_skips_runs_without_the_figure():
    runs = [{"a": 3.0}, {"a": 1.0}, {"a": None}, {"a": 2.0, "b": 5}, {"a": 10.0}]
    assert stats.summarise(runs, ["a", "b", "c"]) == {
        "a": {"min": 1.0, "median": 2.5, "max": 10.0},
        "b": {"min": 5, "median": 5, "max": 5}, "c": None}


def test_shares_of_the_roofs():
    # 48 GB of B in 100 ms is 480 GB/s, half the memory roof; 1.2e10 flops in
    # 10 ms is 1200 GFLOP/s, half the 512-bit peak and all of the 256-bit one.
    out = stats.derived(100.0, 10.0, LIMITS, 256)
    assert out["simple_pct_of_stream"] == pytest.approx(50)
    assert out["blas_pct_of_peak"] == pytest.approx(50)
    assert out["blas_pct_of_peak_at_kernel_width"] == pytest.approx(100)
    assert out["speedup"] == 10 and out["blas_gflops"] == pytest.approx(problem.FLOP / 1e7)
    bare = stats.derived(100.0, 10.0, None, 256)
    assert bare["simple_pct_of_stream"] is None and bare["blas_pct_of_peak"] is None
    assert stats.derived(100.0, 10.0, LIMITS, None)["blas_pct_of_peak_at_kernel_width"] is None


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
