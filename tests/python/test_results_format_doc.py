"""The example export in docs/results-format.md is a real one: its values
stand in the whole export it was cut from, and every derived figure in
both follows from its own run."""

import json
import re
import statistics

import pytest
from conftest import FIXTURES, ROOT
from matmul_results import model, problem

DOC = ROOT / "docs" / "results-format.md"
EXPORT = FIXTURES / "export-2026-12-10-zen5-schema3.json"


def example():
    blocks = re.findall(r"```json\n(.*?)```", DOC.read_text(), re.S)
    assert len(blocks) == 1
    return json.loads(blocks[0])


def subset(part, whole, where="export"):
    """Every key and value of `part` stands in `whole` (strings that the doc
    put for a list it left out excepted)."""
    if isinstance(part, dict):
        for key, value in part.items():
            assert key in whole, f"{where}.{key}"
            if not (isinstance(value, str) and isinstance(whole[key], list)):
                subset(value, whole[key], f"{where}.{key}")
    elif isinstance(part, list):
        assert len(part) == len(whole), where
        for i, (a, b) in enumerate(zip(part, whole)):
            subset(a, b, f"{where}[{i}]")
    else:
        assert part == whole, where


def test_the_example_is_cut_from_a_real_export():
    subset(example(), json.loads(EXPORT.read_text()))


@pytest.mark.parametrize("source", ["doc", "export"])
def test_every_derived_figure_follows_from_its_run(source):
    data = example() if source == "doc" else json.loads(EXPORT.read_text())
    runs = data["runs"]
    for run in runs:
        gbs = problem.B_BYTES_STREAMED / (run["simple_ms"] / 1000) / 1e9
        assert run["simple_pct_of_stream"] == pytest.approx(100 * gbs / run["memory_roof_gbs"])
        assert run["blas_gflops"] == pytest.approx(problem.FLOP / (run["blas_ms"] / 1000) / 1e9)
        assert run["simple_gflops"] == pytest.approx(problem.FLOP / run["simple_ms"] / 1e6)
        assert run["speedup"] == pytest.approx(run["simple_ms"] / run["blas_ms"])
        assert run["blas_pct_of_peak"] == pytest.approx(
            100 * run["blas_gflops"] / run["peak_gflops"])
    for key in ("simple_ms", "memory_roof_gbs", "simple_pct_of_stream"):
        assert data["summary"][key]["median"] == pytest.approx(
            statistics.median(r[key] for r in runs))
    limits = data["limits"]
    best = max(limits["memory_reads"], key=lambda r: r["gbs"])
    assert (limits["memory_roof_build"], limits["memory_roof_gbs"]) == (best["build"], best["gbs"])
    assert limits["memory_roof_gbs"] == pytest.approx(
        statistics.median(r["memory_roof_gbs"] for r in runs))
    # The burst is shown, never the roof: it is above every sustained rate.
    assert limits["memory_burst_gbs"] >= max(r["gbs"] for r in limits["memory_reads"])


def test_the_export_loads_as_it_was_written():
    result = model.load(EXPORT)
    assert result.schema_version == 3 and len(result.runs) == 2
    assert result.runs[0].library.name == "OpenBLAS" and result.limits["rounds"] == 2
