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
                                        ("skx", 512), ("zen3", 256), ("zen4", 512),
                                        ("haswell", 256), ("generic", None),
                                        (None, None)])
def test_kernel_width_of_openblas_cores(core, bits):
    assert machine.kernel_width(core) == bits


def test_library_threads_only_when_a_count():
    assert machine.library({"openblas_threads": "2"}).threads == 2
    assert machine.library({"openblas_threads": "n/a"}).threads is None


def test_library_named_by_its_own_info_tool():
    blis = machine.library({"library_name": "BLIS", "library_version": "0.9.0",
                            "library_kernels": "zen3", "library_threads": "1"})
    assert (blis.name, blis.version, blis.core, blis.threads) == ("BLIS", "0.9.0", "zen3", 1)
    # A program built before the other libraries came names only OpenBLAS's facts.
    old = machine.library({"openblas_version": "OpenBLAS 0.3.21", "openblas_core": "Zen"})
    assert (old.name, old.version, old.core) == ("OpenBLAS", "0.3.21", "Zen")
    assert machine.library({}, "ATLAS").name == "ATLAS" and machine.library({}).name is None
