"""The Python side's facts of the problem are the program's own, as its info
tool prints them (CTest names it in MATMUL_BENCH_INFO)."""

import json
import os
import subprocess

import pytest
from matmul_results import problem


@pytest.mark.skipif("MATMUL_BENCH_INFO" not in os.environ, reason="CTest names the info tool")
def test_problem_facts_match_the_program():
    info = json.loads(subprocess.run([os.environ["MATMUL_BENCH_INFO"], "--json"],
                                     capture_output=True, text=True, check=True,
                                     timeout=60).stdout)
    assert info["problem_shape"] == f"{problem.M} {problem.K} {problem.N}"
    assert int(info["problem_flop"]) == problem.FLOP
    assert int(info["problem_matrix_bytes"]) == problem.MATRIX_BYTES
    assert info["report_format"] == "".join(problem.REPORT_FORMATS)


def test_report_pattern_reads_what_the_formats_print():
    line = "".join(problem.REPORT_FORMATS) % (2532.9114, 160.25, 0.000151)
    assert problem.REPORT.fullmatch(line).groups() == ("2532.911400", "160.250000", "0.000151")
    assert problem.REPORT.fullmatch(line.replace("\n", "\r\n"))
    assert not problem.REPORT.fullmatch(line + "extra\n")
