"""The facts a run records about its machine and library."""

import pytest
from matmul_results import machine


def test_cpu_flags_come_from_the_program_where_it_says():
    env = machine.environment({"cpu_features": "avx fma"})
    assert env["isa"] == {"avx2": False, "fma": True, "avx512f": False}
    _, flags = machine.cpu_facts()
    fallback = machine.environment({})["isa"]
    assert fallback == {f: f in flags for f in machine.CPU_FLAGS}


@pytest.mark.parametrize("core, bits", [("Cooperlake", 512), ("SkylakeX", 512), ("Haswell", 256),
                                        ("Zen", 256), ("Nehalem", 128), ("ARMV8", None),
                                        (None, None)])
def test_kernel_width_of_openblas_cores(core, bits):
    assert machine.kernel_width(core) == bits


def test_library_threads_only_when_a_count():
    assert machine.library({"openblas_threads": "2"})["threads"] == 2
    assert machine.library({"openblas_threads": "n/a"})["threads"] is None
