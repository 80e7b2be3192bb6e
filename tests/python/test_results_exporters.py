"""Every exporter's exact output for one real export."""

import shutil

import pytest
from conftest import FIXTURES
from matmul_results import model
from matmul_results.errors import Failure
from matmul_results.export import EXPORTERS, svg, text

FIXTURE = FIXTURES / "export-2026-12-matmul-results.json"


@pytest.fixture
def result():
    return model.load(FIXTURE)


def test_markdown(result):
    assert EXPORTERS["markdown"](result) == FIXTURE.with_suffix(".md").read_text()


def test_json(result):
    assert EXPORTERS["json"](result) == FIXTURE.with_suffix(".v3.json").read_text()


def test_roofline_script(result):
    expected = FIXTURE.with_suffix(".gnuplot").read_text()
    assert svg.script(result, "OUT.svg") == expected


def test_roofline_needs_the_limits(result):
    result.limits = None
    with pytest.raises(Failure, match="needs this machine's limits"):
        svg.script(result, "OUT.svg")


@pytest.mark.skipif(shutil.which("gnuplot") is None, reason="gnuplot-nox is not installed")
def test_roofline_svg_labels_are_text(result):
    drawn = EXPORTERS["svg"](result)
    assert drawn.lstrip().startswith("<?xml") and "<svg" in drawn
    for label in ("memory roof, 50.3 GB/s", "512-bit FMA peak, 103.0 GFLOP/s", "simple (naive loop): 3.6 GFLOP/s",
                  "arithmetic intensity (FLOP per byte of memory traffic)"):
        assert f">{label}</text>" in drawn


def test_console_table(result):
    lines = text.table(result.summary()).splitlines()
    assert lines[0].split() == ["min", "median", "max"]
    assert lines[1].split()[:2] == ["simple", "(ms)"] and len(lines) == 15
