"""Shared by the Python tests: the project's python/ folder on the path, the
fixtures folder, and made-up exports."""

import json
import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
FIXTURES = pathlib.Path(__file__).with_name("fixtures")
sys.path.insert(0, str(ROOT / "python"))


def make_export(n, simple, blas, core="Haswell", **environment):
    """A schema-1 export of n runs whose times are BASE + 0..n-1 ms."""
    runs = [{"simple_ms": simple + i, "blas_ms": blas + i, "diff": 0.000151,
             "wall_ms": simple + blas + 100 + i, "outside_ms": 100.0, "peak_rss_mb": 122.0,
             "exit_status": 0, "simple_gflops": 12000 / (simple + i),
             "blas_gflops": 12000 / (blas + i), "speedup": (simple + i) / (blas + i)}
            for i in range(n)]
    return {"runs": runs, "summary": {},
            "environment": {"cpu_model": "Test CPU", "naive_variant": "x86-64-v3", **environment},
            "openblas": {"version": "OpenBLAS 0.3.29", "core": core}}


@pytest.fixture
def write_export(tmp_path):
    def write(name, *args, **kwargs):
        path = tmp_path / name
        path.write_text(json.dumps(make_export(*args, **kwargs)))
        return path
    return write
