"""matmul-results libraries with stand-in siblings of known figures: the
table, the verdicts against OpenBLAS, the warning for generic kernels, a
failing sibling and a missing library."""

import json
import shutil

import pytest
from conftest import ROOT
from matmul_results import problem

TOOL = ROOT / "scripts" / "matmul-results"
REPORT = "".join(problem.REPORT_FORMATS).replace("\n", "\\n")
LIMITS = {"threads": 2, "fma": True, "memory_roof_gbs": 960, "memory_buffer_bytes": 48000000,
          "core_clock_ghz": 3.0, "compute_roofs": [
              {"width_bits": 256, "fma": True, "gflops": 1200},
              {"width_bits": 512, "fma": True, "gflops": 2400}]}


def script(path, body):
    path.write_text("#!/bin/sh\n" + body)
    path.chmod(0o755)


def sibling(folder, suffix, blas_ms, kernels, threads_variable=None, fail=None, info=None,
            of_bound=None):
    """A program whose k-th run takes blas_ms + k ms, its info tool (with
    `info` added), and, given of_bound, its accuracy tool."""
    name = f"matmul-bench{suffix}"
    log = folder / "order"
    threads = f'${{{threads_variable}:-1}}' if threads_variable else "1"
    facts = {"library_name": suffix or "OpenBLAS", "library_version": "9.9",
             "library_kernels": kernels, "library_threads": "@THREADS@",
             "cpu_features": "avx avx2 fma", "naive_variant": "x86-64-v3",
             "naive_variants_built": "x86-64 x86-64-v3", **(info or {})}
    script(folder / f"{name}-info", "cat <<J\n" +
           json.dumps(facts).replace("@THREADS@", threads) + "\nJ\n")
    if of_bound is not None:
        report = {"blas": {"max_of_bound": of_bound}, "simple": {"max_of_bound": 0.01}}
        script(folder / f"matmul-accuracy{suffix}", f"""[ "$1" = --json ] || exit 2
cat >"$2" <<'J'
{json.dumps(report)}
J
""")
    if fail:
        script(folder / name, f"echo '{name}{suffix}' >>'{log}'\necho 'matmul-bench: {fail}' >&2\n"
                              "exit 3\n")
        return
    count = folder / f"count{suffix}"
    script(folder / name, f"""k=$(( $(cat '{count}' 2>/dev/null || echo 0) + 1 )); echo $k >'{count}'
echo '{name}' >>'{log}'
printf '{REPORT}' $((1000 + k)) $(({blas_ms} + k)) 0.000151
""")


def run(folder, *args):
    import subprocess
    return subprocess.run([str(TOOL), "libraries", *map(str, args), folder / "matmul-bench"],
                          capture_output=True, text=True, timeout=300)


@pytest.fixture
def siblings(tmp_path):
    sibling(tmp_path, "", 100, "Haswell", "OPENBLAS_NUM_THREADS")
    sibling(tmp_path, "-blis", 800, "generic", "BLIS_NUM_THREADS")
    sibling(tmp_path, "-atlas", 0, "x86-64", fail="out of memory: test")
    return tmp_path


def table(stdout):
    rows = {}
    for line in stdout.splitlines():
        words = line.split()
        if words and words[0] in ("OpenBLAS", "BLIS", "ATLAS", "reference"):
            rows[words[0]] = line
    return rows


def test_every_library_gets_a_row_and_a_failure_is_not_lost(siblings):
    done = run(siblings, 8, "--export-json", siblings / "r.json", "--export-markdown",
               siblings / "r.md")
    assert done.returncode == 3, done.stderr  # the failing sibling's own status
    rows = table(done.stdout)
    assert set(rows) == {"OpenBLAS", "BLIS", "ATLAS", "reference"}
    assert "Haswell" in rows["OpenBLAS"] and " 8 " in rows["OpenBLAS"]
    assert rows["BLIS"].split()[-1] == "slower" and "generic" in rows["BLIS"]
    assert "failed" in rows["ATLAS"] and "status 3" in rows["ATLAS"]
    assert "ATLAS: matmul-bench: out of memory: test" in done.stdout.splitlines()
    assert ("no matmul-bench-reference beside the program (its library: Debian's libblas-dev)"
            in rows["reference"])
    assert "ATLAS failed" in done.stderr
    # The successful rows are exported, keyed by library.
    r = json.loads((siblings / "r.json").read_text())
    assert [g["key"]["library"] for g in r["groups"]] == ["OpenBLAS", "-blis"]
    assert [g["runs"] for g in r["groups"]] == [8, 8]
    states = {x["library"]: x["state"] for x in r["libraries"]}
    assert states == {"OpenBLAS": "ok", "BLIS": "ok", "ATLAS": "failed",
                      "reference BLAS": "missing"}
    assert "| BLIS |" in (siblings / "r.md").read_text()


def test_generic_kernels_on_an_avx2_cpu_are_warned_about_not_changed(siblings):
    done = run(siblings, 4)
    warnings = [line for line in done.stdout.splitlines() if line.startswith("warning:")]
    assert len(warnings) == 1
    assert "BLIS runs its generic kernels" in warnings[0] and "BLIS_ARCH_TYPE" in warnings[0]


def test_runs_are_interleaved_round_robin(siblings):
    run(siblings, 3)
    order = (siblings / "order").read_text().split()
    # ATLAS fails at once and drops out; the others take turns, each round turned.
    assert order[:3] == ["matmul-bench", "matmul-bench-blis", "matmul-bench-atlas-atlas"]
    assert order[3:] == ["matmul-bench-blis", "matmul-bench", "matmul-bench", "matmul-bench-blis"]


def test_threads_are_set_through_each_librarys_own_variable(tmp_path):
    sibling(tmp_path, "", 100, "Haswell", "OPENBLAS_NUM_THREADS")
    sibling(tmp_path, "-blis", 90, "zen3", "BLIS_NUM_THREADS")
    sibling(tmp_path, "-atlas", 300, "x86-64")
    done = run(tmp_path, 4, "--threads", 2)
    assert done.returncode == 0, done.stderr
    rows = table(done.stdout)
    assert rows["OpenBLAS"].split()[3] == "2" and rows["BLIS"].split()[3] == "2"
    assert rows["ATLAS"].split()[3] == "1"
    assert "ATLAS: its thread count is fixed at its build: --threads not followed" in done.stdout
    assert not [line for line in done.stdout.splitlines() if line.startswith("warning:")]


def test_nothing_to_run_is_a_clear_failure(tmp_path):
    done = run(tmp_path, 2)
    assert done.returncode == 1
    assert "not found: run ./quickstart.sh libraries first" in done.stderr


@pytest.mark.skipif(shutil.which("gnuplot") is None, reason="gnuplot-nox is not installed")
def test_chart_has_a_bar_per_library_that_ran_and_the_lines_across(siblings):
    script(siblings / "matmul-limits", f"""while [ $# -gt 0 ]; do [ "$1" = --json ] && out=$2; shift; done
cat >"$out" <<'J'
{json.dumps(LIMITS)}
J
""")
    done = run(siblings, 4, "--plot", siblings / "bars.svg")
    assert done.returncode == 3  # ATLAS still fails, and the chart is still drawn
    drawn = (siblings / "bars.svg").read_text()
    for label in ("OpenBLAS (Haswell, 1 threads)", "BLIS (generic, 1 threads)",
                  "256-bit FMA peak, 2 threads, 1200.0 GFLOP/s", "naive loop, 11.97 GFLOP/s"):
        assert f">{label}</text>" in drawn
    assert "ATLAS" not in drawn


def test_kernels_that_nothing_selects_are_warned_about_with_what_to_do(tmp_path):
    sibling(tmp_path, "", 100, "Haswell", "OPENBLAS_NUM_THREADS")
    sibling(tmp_path, "-blis", 800, "generic", "BLIS_NUM_THREADS",
            info={"library_kernel_variable": "BLIS_ARCH_TYPE",
                  "library_kernel_choices": "3 haswell, 6 zen3, 25 generic"})
    sibling(tmp_path, "-atlas", 300, "x86SSE264SSE2")
    sibling(tmp_path, "-reference", 3000, "")
    done = run(tmp_path, 2)
    assert done.returncode == 0, done.stderr
    warnings = {line.split()[1]: line for line in done.stdout.splitlines()
                if line.startswith("warning:")}
    assert set(warnings) == {"BLIS", "ATLAS", "reference"}
    assert "BLIS_ARCH_TYPE selects others (by number: 3 haswell, 6 zen3, 25 generic)" in (
        warnings["BLIS"])
    assert "x86SSE264SSE2 kernels" in warnings["ATLAS"] and "README.Debian" in warnings["ATLAS"]
    assert "no tuned kernels" in warnings["reference"]
    # An ATLAS built for this CPU's AVX is not warned about.
    sibling(tmp_path, "-atlas", 300, "x86AVX2FMA")
    done = run(tmp_path, 2)
    assert not [line for line in done.stdout.splitlines() if line.startswith("warning: ATLAS")]


def test_a_library_whose_error_leaves_the_bound_is_named(tmp_path):
    sibling(tmp_path, "", 100, "Haswell", "OPENBLAS_NUM_THREADS", of_bound=0.002)
    sibling(tmp_path, "-blis", 90, "zen3", "BLIS_NUM_THREADS", of_bound=3.5)
    done = run(tmp_path, 2, "--export-json", tmp_path / "r.json")
    assert done.returncode == 0, done.stderr
    rows = table(done.stdout)
    assert " 0.002 " in rows["OpenBLAS"] and " 3.5 " in rows["BLIS"]
    named = [line for line in done.stdout.splitlines() if "leaves the bound" in line]
    assert named == ["warning: BLIS's error leaves the bound: its largest is 3.5 times the "
                     "bound (matmul-accuracy-blis)"]
    kept = {x["library"]: x["accuracy"] for x in json.loads((tmp_path / "r.json").read_text())[
        "libraries"]}
    assert kept["BLIS"]["blas"]["max_of_bound"] == 3.5
