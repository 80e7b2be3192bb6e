"""matmul-limits and matmul-accuracy run as the results tool and a user run
them: bad arguments refused with a usage line, and JSON whose every field
is in its unit and within what the hardware can do. CTest names the tools
(MATMUL_LIMITS, MATMUL_ACCURACY: the accuracy tool of each library's
program, separated by colons) and runs this file alone, since the limits
are timings."""

import json
import os
import platform
import socket
import subprocess

import pytest

LIMITS = os.environ.get("MATMUL_LIMITS")
ACCURACY_TOOLS = [t for t in os.environ.get("MATMUL_ACCURACY", "").split(os.pathsep) if t]
ACCURACY = ACCURACY_TOOLS[0] if ACCURACY_TOOLS else None
PROGRAMS = [t for t in os.environ.get("MATMUL_PROGRAMS", "").split(os.pathsep) if t]
TOOL = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                    "scripts", "matmul-results")
needs_limits = pytest.mark.skipif(not LIMITS, reason="CTest names matmul-limits")
needs_accuracy = pytest.mark.skipif(not ACCURACY, reason="CTest names matmul-accuracy")


def call(tool, *args, timeout=300):
    return subprocess.run([tool, *map(str, args)], capture_output=True, text=True,
                          timeout=timeout)


@needs_limits
@pytest.mark.parametrize("args", ["--threads 0", "--threads x", "--threads", "--threads 1,",
                                  "--threads 1,0", "--memory-seconds 0", "--memory-seconds x",
                                  "--compute-seconds 601", "--compute-seconds", "--json",
                                  "--bogus"])
def test_limits_refuses_bad_arguments(args):
    done = call(LIMITS, *args.split(), timeout=60)
    assert done.returncode == 2 and "usage: matmul-limits" in done.stderr


@needs_limits
def test_limits_json_within_what_hardware_can_do(tmp_path):
    done = call(LIMITS, "--threads", "2,1", "--memory-seconds", "0.3", "--compute-seconds", "0.05",
                "--json", tmp_path / "limits.json", timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("memory, one core reading 48 MB for 0.3 s")
    d = json.loads((tmp_path / "limits.json").read_text())
    assert d["method"] == "sustained" and d["threads"] == 2
    assert d["memory_buffer_bytes"] == 48000000 and d["memory_seconds"] == 0.3
    assert d["compute_seconds"] == 0.05
    # One core streams somewhere between a slow laptop's and a fast server's
    # rate; the roof is the best build's sustained rate, and no pass of a
    # build is slower than the whole stretch it is part of.
    reads = d["memory_reads"]
    builds = [r["build"] for r in reads]
    assert builds[0] in ("x86-64", "neon", "generic") and len(set(builds)) == len(builds)
    for r in reads:
        assert 0.5 < r["gbs"] <= r["burst_gbs"] * 1.0001 < 1000
    best = max(reads, key=lambda r: r["gbs"])
    assert (d["memory_roof_build"], d["memory_roof_gbs"], d["memory_burst_gbs"]) == (
        best["build"], best["gbs"], best["burst_gbs"])
    clock = d["core_clock_ghz"]
    assert clock is None or 0.3 < clock < 8
    roofs = d["compute_roofs"]
    if platform.machine() == "x86_64":
        assert clock is not None and roofs
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            assert ("avx2" in builds) == (" avx2" in f.read())
    # A roof for every width at each thread count asked for, in that order.
    widths = sorted({r["width_bits"] for r in roofs})
    assert [(r["width_bits"], r["threads"]) for r in roofs] == [
        (w, t) for w in widths for t in (2, 1)]
    assert set(widths) <= {128, 256, 512}
    for r in roofs:
        assert r["fma"] == d["fma"]
        # At most 4 vector pipes per core, each a multiply-add (2 flops) per
        # lane per cycle: anything above is a unit error, not a fast machine.
        assert 0 < r["gflops"] < r["threads"] * (clock or 8) * 1.1 * (r["width_bits"] // 64) * 8
    # Wider vectors never lose (within noise), and the widest is well ahead
    # of 128 bits (a CPU that splits wide operations would be the exception).
    one = [r for r in roofs if r["threads"] == 1]
    for narrow, wide in zip(one, one[1:]):
        assert wide["gflops"] > 0.85 * narrow["gflops"]
    if len(one) > 1:
        assert one[-1]["gflops"] > 1.5 * one[0]["gflops"]


@needs_accuracy
@pytest.mark.parametrize("args", ["--sample 0", "--sample 3000001", "--sample x", "--seed -1",
                                  "--seed 4294967296", "--seed", "--json", "--bogus"])
def test_accuracy_refuses_bad_arguments(args):
    done = call(ACCURACY, *args.split(), timeout=60)
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr.startswith("matmul-accuracy: ") and "usage: matmul-accuracy" in done.stderr


# Every library's product within the bound, each naming its library.
@pytest.mark.parametrize("tool", ACCURACY_TOOLS or [pytest.param(
    "matmul-accuracy", marks=pytest.mark.skip(reason="CTest names matmul-accuracy"))],
    ids=os.path.basename)
def test_accuracy_rows_and_json(tmp_path, tool):
    done = call(tool, "--seed", 1, "--sample", 300, "--json", tmp_path / "r.json")
    assert done.returncode == 0, done.stderr
    rows = [line.split()[0] for line in done.stdout.splitlines() if line.split()]
    assert "simple" in rows and "blas" in rows
    r = json.loads((tmp_path / "r.json").read_text())
    assert r["library"]["name"] and f"blas: {r['library']['name']} " in done.stdout
    assert r["seed"] == 1 and r["sampled"] == 300
    assert r["shape"] == {"M": 1000, "K": 2000, "N": 3000}
    for side in ("simple", "blas"):
        s = r[side]
        # Within the a-priori bound, and consistent: max >= median >= 0.
        assert 0 <= s["median_of_bound"] <= s["max_of_bound"] <= 1
        assert 0 <= s["median_ulp"] <= s["max_ulp"]
    assert 0 <= r["blas_closer_share"] + r["tie_share"] <= 1
    # The reference BLAS sums in the naive loop's order: its diff is 0.
    assert 0 <= r["diff"] < 1


# The results tool names the library that ran, as that program's own info
# tool tells it, in what it prints and in the export: in `run` for every
# library, and in the cluster's node mode. Each run costs a full multiply
# (the reference BLAS's takes seconds), so what one rule does for every
# program runs for the first two only: the limits probe beside `run`, and
# the node mode, whose choice of the library's own accuracy tool is one
# rule for every suffix (each library's accuracy tool is checked above).
@pytest.mark.parametrize("program", PROGRAMS or [pytest.param(
    "matmul-bench", marks=pytest.mark.skip(reason="CTest names the programs"))],
    ids=os.path.basename)
def test_results_name_the_library_that_ran(tmp_path, program):
    info = json.loads(call(program + "-info").stdout)
    # The program and its two tools, linked in alone: no limits probe.
    alone = tmp_path / "alone"
    alone.mkdir()
    name_of = os.path.basename(program)
    for tool in (program, program + "-info", os.path.join(
            os.path.dirname(program), "matmul-accuracy" + name_of[len("matmul-bench"):])):
        os.symlink(tool, alone / os.path.basename(tool))
    first_two = PROGRAMS.index(program) < 2
    done = call(TOOL, "run", 1, "--export-json", tmp_path / "r.json",
                program if first_two else alone / name_of, timeout=300)
    assert done.returncode == 0, done.stderr
    name, version = info["library_name"], info["library_version"]
    line = next(x for x in done.stdout.splitlines() if x.startswith("library: "))
    assert line.startswith(f"library: {name} {version} (")
    assert line.endswith(f"; kernels {info['library_kernels'] or 'unknown'}, "
                         f"{info['library_threads']} threads")
    exports = [tmp_path / "r.json"]
    if first_two:
        assert json.loads(exports[0].read_text())["limits"]["rounds"] == 1
        node = call(TOOL, "cluster-node", "--out", tmp_path, 1, alone / name_of, timeout=300)
        assert node.returncode == 0, node.stderr
        assert "matmul-limits not found" in node.stderr
        exports.append(tmp_path / "nodes" / f"{socket.gethostname()}.json")
        # Each library's own error against the exact product, from its own tool.
        assert json.loads(exports[1].read_text())["accuracy"]["library"]["name"] == name
    for export in exports:
        r = json.loads(export.read_text())
        assert r["runs"][0]["library"] == {
            "name": name, "version": version, "config": info["library_config"],
            "core": info["library_kernels"], "threads": int(info["library_threads"])}
