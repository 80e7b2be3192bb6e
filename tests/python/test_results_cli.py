"""scripts/matmul-results and scripts/repeat-run.sh as users call them:
with stand-in programs of known figures, and once with the real program
when CTest names it (MATMUL_BENCH)."""

import json
import os
import re
import shutil
import statistics
import subprocess
import sys

import pytest
from conftest import ROOT
from matmul_results import problem

TOOL = ROOT / "scripts" / "matmul-results"
SHIM = ROOT / "scripts" / "repeat-run.sh"

INFO = {"openblas_version": "OpenBLAS 0.3.99", "openblas_config": "OpenBLAS 0.3.99 Haswell",
        "openblas_core": "Haswell", "openblas_threads": "2",
        "naive_variants_built": "x86-64 x86-64-v3", "naive_variant": "x86-64-v3"}
LIMITS = {"threads": 2, "fma": True, "memory_roof_gbs": 960, "memory_buffer_bytes": 48000000,
          "core_clock_ghz": 3.0, "compute_roofs": [
              {"width_bits": 128, "fma": True, "gflops": 600},
              {"width_bits": 256, "fma": True, "gflops": 1200},
              {"width_bits": 512, "fma": True, "gflops": 2400}]}


def call(*args, command=TOOL):
    return subprocess.run([str(command), *map(str, args)], capture_output=True, text=True,
                          timeout=300)


def script(path, body):
    path.write_text("#!/bin/sh\n" + body)
    path.chmod(0o755)
    return path


@pytest.fixture
def stand_ins(tmp_path):
    """A program whose k-th run reports k * 100 ms, k * 10 ms and k / 10000,
    beside an info tool and a limits probe with round numbers."""
    count = tmp_path / "count"
    script(tmp_path / "stub-info", f"cat <<'J'\n{json.dumps(INFO)}\nJ\n")
    script(tmp_path / "matmul-limits",
           'echo "$*" >>"${0%/*}/limits-calls"\n'
           'while [ $# -gt 0 ]; do [ "$1" = --json ] && out=$2; shift; done\n'
           f'cat >"$out" <<\'J\'\n{json.dumps(LIMITS)}\nJ\n')
    script(tmp_path / "failing", "echo 'matmul-bench: no random seed: test' >&2\nexit 3\n")
    script(tmp_path / "garbled", "echo hello\n")
    report = "".join(problem.REPORT_FORMATS).replace("\n", "\\n")
    return tmp_path, script(tmp_path / "stub", f"""k=$(( $(cat "{count}" 2>/dev/null || echo 0) + 1 )); echo $k >"{count}"
printf '{report}' $((k * 100)) $((k * 10)) "0.000${{k}}00"
""")


@pytest.mark.parametrize("command", [TOOL, SHIM])
@pytest.mark.parametrize("args", ["0", "x", "3 --export-json", "--export-markdown", "--bogus",
                                  "3 STUB extra"])
def test_bad_arguments_give_usage_and_no_run(stand_ins, command, args):
    folder, stub = stand_ins
    argv = ["run"] if command == TOOL else []
    done = call(*argv, *args.replace("STUB", str(stub)).split(), command=command)
    assert done.returncode == 2 and done.stderr.startswith("usage: ")
    assert not (folder / "count").exists()


def test_the_program_alone_runs_the_default_five_times(stand_ins):
    folder, stub = stand_ins
    done = call("run", stub)
    assert done.returncode == 0, done.stderr
    assert (folder / "count").read_text().strip() == "5"


def test_run_exports_agree_with_the_runs(stand_ins):
    folder, stub = stand_ins
    done = call("run", 4, "--export-json", folder / "r.json", "--export-markdown",
                folder / "r.md", stub)
    assert done.returncode == 0, done.stderr
    r = json.loads((folder / "r.json").read_text())
    runs = r["runs"]
    assert [x["simple_ms"] for x in runs] == [100, 200, 300, 400]
    for key in ("simple_ms", "blas_ms", "diff", "wall_ms", "outside_ms"):
        values = [x[key] for x in runs]
        assert r["summary"][key] == {"min": min(values), "median": statistics.median(values),
                                     "max": max(values)}
    for x in runs:
        assert x["outside_ms"] == pytest.approx(x["wall_ms"] - x["simple_ms"] - x["blas_ms"],
                                                abs=1e-2)
        assert x["library"]["core"] == "Haswell" and x["naive_build"]["variant"] == "x86-64-v3"
        assert x["machine"]["host"] == os.uname().nodename
    assert r["schema_version"] == 3 and len(r["groups"]) == 1
    # Run k streams 48 GB in k * 100 ms, of a 960 GB/s roof, and does 1.2e10
    # flops in k * 10 ms, of 2400 GFLOP/s at 512 bits and 1200 at Haswell's 256.
    assert r["limits"]["kernel_width_bits"] == 256
    for k, x in enumerate(runs, 1):
        assert x["simple_pct_of_stream"] == pytest.approx(50 / k)
        assert x["blas_pct_of_peak"] == pytest.approx(50 / k)
        assert x["blas_pct_of_peak_at_kernel_width"] == pytest.approx(100 / k)
    assert set(r["environment_variables"]) == {"OPENBLAS_NUM_THREADS", "OPENBLAS_CORETYPE",
                                               "OMP_NUM_THREADS"}
    md = (folder / "r.md").read_text().splitlines()
    assert "| simple (ms) | 100.0 | 250.0 | 400.0 |" in md
    assert "| blas, % of the peak at its kernels' width | 25.0 | 41.7 | 100.0 |" in md
    assert any(line.startswith("- limits (matmul-limits): memory roof 960.0 GB/s") for line in md)


def test_each_run_is_set_against_the_limits_of_its_own_round(stand_ins):
    folder, stub = stand_ins
    # Round k's probe finds k * 96 GB/s on its best build (of two).
    script(folder / "matmul-limits", """n=$(( $(cat "${0%/*}/probes" 2>/dev/null || echo 0) + 1 ))
echo $n >"${0%/*}/probes"; echo "$*" >>"${0%/*}/limits-calls"
while [ $# -gt 0 ]; do [ "$1" = --json ] && out=$2; shift; done
cat >"$out" <<J
{"method": "sustained", "threads": 2, "fma": true, "memory_seconds": 1,
 "memory_reads": [{"build": "x86-64", "load_bits": 128, "gbs": 1, "burst_gbs": 500},
                  {"build": "avx2", "load_bits": 256, "gbs": $((n * 96)), "burst_gbs": 2000}],
 "compute_roofs": [{"width_bits": 256, "fma": true, "threads": 2, "gflops": $((n * 600))}]}
J
""")
    done = call("run", 3, "--export-json", folder / "r.json", stub)
    assert done.returncode == 0, done.stderr
    # One probe after each run, streaming about as long as its multiplies
    # took (100-300 ms: the lower bounds of 1 s and 0.1 s), at the library's threads.
    calls = (folder / "limits-calls").read_text().splitlines()
    assert len(calls) == 3
    assert all(c.startswith("--threads 2 --memory-seconds 1.000 --compute-seconds 0.100 --json ")
               for c in calls)
    r = json.loads((folder / "r.json").read_text())
    assert r["limits"]["rounds"] == 3 and r["limits"]["memory_roof_build"] == "avx2"
    assert r["limits"]["memory_roof_gbs"] == 192 and r["limits"]["memory_burst_gbs"] == 2000
    for k, x in enumerate(r["runs"], 1):
        # Run k streamed 48 GB in k * 100 ms, 480 / k GB/s, against its own
        # round's k * 96: the share follows from the run's own fields.
        assert x["round"] == k - 1 and x["memory_roof_gbs"] == k * 96
        assert x["simple_pct_of_stream"] == pytest.approx(100 * 480 / k / (k * 96))
        assert x["simple_pct_of_stream"] == pytest.approx(
            100 * problem.B_BYTES_STREAMED / (x["simple_ms"] / 1000) / 1e9 / x["memory_roof_gbs"])
        assert x["blas_pct_of_peak"] == pytest.approx(100 * 1200 / k / (k * 600))
    assert r["summary"]["simple_pct_of_stream"]["median"] == pytest.approx(100 * 240 / 192)
    assert "memory roof 192.0 GB/s (one core, sustained, median of 3 rounds, avx2 loads); " \
           "fastest single pass 2000.0 GB/s (a burst)" in done.stdout


def test_the_library_that_ran_is_the_one_named(stand_ins):
    folder, stub = stand_ins
    naive = {k: v for k, v in INFO.items() if not k.startswith("openblas_")}
    script(folder / "stub-info", "cat <<'J'\n" + json.dumps(
        {**naive, "library_name": "BLIS", "library_version": "0.9.0", "library_kernels": "zen3",
         "library_threads": "1", "library_config": "BLIS 0.9.0 openmp",
         "library_thread_variables": "BLIS_NUM_THREADS OMP_NUM_THREADS",
         "library_kernel_variable": "BLIS_ARCH_TYPE"}) + "\nJ\n")
    done = call("run", 1, "--export-json", folder / "r.json", "--export-markdown",
                folder / "r.md", stub)
    assert done.returncode == 0, done.stderr
    assert "library: BLIS 0.9.0 (BLIS 0.9.0 openmp); kernels zen3, 1 threads" in done.stdout
    assert "OpenBLAS" not in done.stdout
    r = json.loads((folder / "r.json").read_text())
    assert r["runs"][0]["library"] == {"name": "BLIS", "version": "0.9.0",
                                       "config": "BLIS 0.9.0 openmp", "core": "zen3",
                                       "threads": 1}
    assert r["limits"]["kernel_width_bits"] == 256 and r["openblas"] == {}
    assert set(r["environment_variables"]) == {"BLIS_NUM_THREADS", "OMP_NUM_THREADS",
                                               "BLIS_ARCH_TYPE"}
    assert "- library: BLIS 0.9.0" in (folder / "r.md").read_text()
    # Its roofs at its own one thread.
    assert all(c.startswith("--threads 1 ") for c in
               (folder / "limits-calls").read_text().splitlines())


def test_a_diff_that_is_not_a_number_is_kept_and_named(stand_ins):
    folder, _ = stand_ins
    nan = script(folder / "nan", "printf 'simple: 1000.000000 msec\\nblas: 100.000000 msec\\n"
                                 "diff: -nan\\n'\n")
    done = call("run", 2, "--export-json", folder / "r.json", nan)
    assert done.returncode == 3, done.stderr
    assert "diff nan is beyond the bound 0.0673" in done.stdout
    r = json.loads((folder / "r.json").read_text())
    assert [x["diff"] for x in r["runs"]] == ["nan", "nan"] and r["summary"]["diff"]["max"] == "nan"


def test_a_run_that_hangs_is_killed_and_fails(stand_ins):
    folder, _ = stand_ins
    hung = script(folder / "hung",
                  f'echo $$ >"{folder}/pid"\nsleep 300 &\necho $! >"{folder}/child"\nwait\n')
    done = call("run", 2, "--timeout", "1", "--export-json", folder / "r.json", hung)
    assert done.returncode == 124
    assert "hung did not finish within 1 s: killed; nothing exported" in done.stderr
    assert not (folder / "r.json").exists()
    # Nothing of it is left running, the child it started included.
    for name in ("pid", "child"):
        pid = int((folder / name).read_text())
        gone = not os.path.exists(f"/proc/{pid}")
        assert gone or open(f"/proc/{pid}/stat").read().split()[2] == "Z"


def test_a_missing_gnuplot_costs_only_the_plot(stand_ins, tmp_path):
    folder, stub = stand_ins
    bare = tmp_path / "bare-path"
    bare.mkdir()
    for tool in ("sh", "cat", "printf", "git"):
        found = shutil.which(tool)
        if found:
            os.symlink(found, bare / tool)
    done = subprocess.run([sys.executable, str(TOOL), "run", "1", "--export-json",
                           folder / "r.json", "--plot", folder / "r.svg", "--export-markdown",
                           folder / "r.md", str(stub)], capture_output=True, text=True,
                          timeout=300, env=dict(os.environ, PATH=str(bare)))
    assert done.returncode == 2
    assert "r.svg not written: --plot needs gnuplot (Debian: apt-get install gnuplot-nox)" in \
        done.stderr
    assert (folder / "r.json").exists() and (folder / "r.md").exists()
    assert not (folder / "r.svg").exists()


@pytest.mark.parametrize("command", ["run", "libraries", "cluster", "compare"])
def test_every_commands_help_shows_its_usage_and_defaults(command):
    done = call(command, "--help")
    assert done.returncode == 0 and done.stdout.startswith(f"usage: matmul-results {command} ")
    if command != "compare":
        assert "(default: 600.0)" in done.stdout and "--timeout S" in done.stdout
    if command == "cluster":
        for option in ("--time-limit", "--poll", "--controller-wait", "--no-plot", "--resume"):
            assert option in done.stdout
        assert "(default: 100)" in done.stdout
    top = call("--help").stdout
    assert f"matmul-results {command} " in top


@pytest.mark.parametrize("stand_in, status", [("failing", 3), ("garbled", 1)])
def test_failed_run_exports_nothing_and_keeps_its_status(stand_ins, stand_in, status):
    folder, _ = stand_ins
    done = call("run", 3, "--export-json", folder / "f.json", "--plot", folder / "f.svg",
                folder / stand_in)
    assert done.returncode == status
    assert "nothing exported" in done.stderr
    assert not (folder / "f.json").exists() and not (folder / "f.svg").exists()
    if stand_in == "failing":
        assert "no random seed" in done.stderr


def test_plot_leaves_only_the_svg_readable_as_any_file(stand_ins):
    folder, stub = stand_ins
    done = call("run", 1, "--plot", folder / "roof.svg", stub)
    assert done.returncode == 0, done.stderr
    assert "<svg" in (folder / "roof.svg").read_text()
    assert not [p for p in os.listdir(folder) if p.startswith(".matmul-results-")]
    mask = os.umask(0)
    os.umask(mask)
    assert (folder / "roof.svg").stat().st_mode & 0o777 == 0o666 & ~mask


def test_compare_verdicts(write_export):
    old = write_export("old.json", 8, 1000, 100)
    slow = write_export("slow.json", 8, 2000, 100)
    done = call("compare", old, slow)
    assert done.returncode == 0, done.stderr
    rows = {cells[0]: cells[1:] for cells in
            (re.split(r"\s{2,}", line.strip()) for line in done.stdout.splitlines()[1:])}
    assert rows["simple (ms)"][-1] == "slower" and rows["simple (GFLOP/s)"][-1] == "slower"
    assert rows["blas (ms)"][-1] == "no significant difference"
    back = call("compare", slow, old).stdout
    assert "faster" in next(line for line in back.splitlines() if line.startswith("simple (ms)"))
    assert "differs:" not in back


def test_compare_names_what_differs_first(write_export):
    old = write_export("old.json", 8, 1000, 100)
    skx = write_export("skx.json", 8, 1000, 60, core="SkylakeX")
    lines = call("compare", old, skx).stdout.splitlines()
    assert lines[0] == "differs: library core: Haswell -> SkylakeX"


def test_compare_of_too_few_runs_gives_no_verdict(write_export):
    done = call("compare", write_export("a.json", 2, 1000, 100),
                write_export("b.json", 2, 3000, 300))
    assert done.stdout.startswith("too few runs for a verdict")
    assert " faster" not in done.stdout and " slower" not in done.stdout


def test_old_export_compares_with_a_new_one(stand_ins, write_export):
    folder, stub = stand_ins
    assert call("run", 4, "--export-json", folder / "new.json", stub).returncode == 0
    old = ROOT / "tests" / "python" / "fixtures" / "export-2026-12-matmul-results.json"
    done = call("compare", old, folder / "new.json")
    assert done.returncode == 0 and done.stderr == ""
    assert f"differs: host: None -> {os.uname().nodename}" in done.stdout.splitlines()


@pytest.mark.parametrize("bad", ["missing", "truncated", "folder"])
def test_compare_refuses_bad_files_in_one_line(write_export, tmp_path, bad):
    (tmp_path / "truncated.json").write_text('{"runs": [{"simple_ms": 1')
    (tmp_path / "folder.json").mkdir()
    done = call("compare", write_export("old.json", 4, 1000, 100), tmp_path / f"{bad}.json")
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr.count("\n") == 1
    assert done.stderr.startswith(f"matmul-results: {tmp_path / bad}.json: ")


@pytest.mark.skipif(not {"MATMUL_BENCH", "MATMUL_BENCH_INFO"} <= set(os.environ),
                    reason="CTest names the real program and its info tool")
def test_real_program(tmp_path):
    # The program and its info tool alone: the limits probe beside `run` is
    # the per-library test's, and would double this one's time.
    for tool in ("MATMUL_BENCH", "MATMUL_BENCH_INFO"):
        os.symlink(os.environ[tool], tmp_path / os.path.basename(os.environ[tool]))
    done = call(1, "--export-json", tmp_path / "p.json",
                tmp_path / os.path.basename(os.environ["MATMUL_BENCH"]), command=SHIM)
    assert done.returncode == 0, done.stderr
    r = json.loads((tmp_path / "p.json").read_text())
    blas = r["openblas"]
    assert blas["version"].startswith("OpenBLAS 0.") and blas["core"] in blas["config"]
    assert blas["threads"] >= 1
    env = r["environment"]
    assert "-ffp-contract=off" in env["kernel_flags"]
    assert env["naive_variant"] in env["naive_variants_built"].split()
    assert r["summary"]["diff"]["max"] < 1


def test_run_adds_each_run_to_a_store(stand_ins):
    folder, stub = stand_ins
    path = folder / "store.db"
    for expected in ("stored as run 1 in", "stored as run 2 in"):
        done = call("run", 3, "--store", path, stub)
        assert done.returncode == 0, done.stderr
        assert expected in done.stdout
    # The stub's later runs are slower: the second set of three, by half.
    trend = call("history", path, "--node", os.uname().nodename)
    assert trend.returncode == 0, trend.stderr
    rows = [line.split() for line in trend.stdout.splitlines()[2:]]
    assert [r[0] for r in rows] == ["1", "2"]
    gbs = problem.B_BYTES_STREAMED / 1e9
    assert float(rows[0][3]) == pytest.approx(gbs / 0.2, rel=1e-3)
    assert float(rows[1][3]) == pytest.approx(gbs / 0.5, rel=1e-3) and rows[1][4] == "-60.0"
