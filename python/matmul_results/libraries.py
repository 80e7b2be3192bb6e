"""Which BLAS: the program and its siblings, one per CBLAS library, run in
interleaved rounds on the same machine, each row naming the kernels its
library chose and the threads it ran, set against OpenBLAS and the roofs.

A sibling is the program built against another library: PROGRAM-blis,
PROGRAM-atlas, PROGRAM-reference beside PROGRAM, each with its info tool
(SIBLING-info) and its accuracy tool (matmul-accuracy-blis, ...) beside it.
"""

import dataclasses
import os

from . import measure, runner, stats
from .errors import Failure, say
from .export import table as tables


@dataclasses.dataclass(frozen=True)
class Sibling:
    name: str
    suffix: str  # of the program's name
    package: str  # Debian's package that brings the library
    thread_variables: tuple  # what sets its thread count; none when fixed at its build
    kernel_variable: str = None  # what selects its kernels, where something does
    fixed_kernels: str = None  # where nothing does: why, and what to do instead


LIBRARIES = [
    Sibling("OpenBLAS", "", "libopenblas-dev", ("OPENBLAS_NUM_THREADS",), "OPENBLAS_CORETYPE"),
    Sibling("BLIS", "-blis", "libblis-dev", ("BLIS_NUM_THREADS",), "BLIS_ARCH_TYPE"),
    Sibling("ATLAS", "-atlas", "libatlas-base-dev", (), fixed_kernels=(
        "it is tuned when it is built; to build it for this CPU, see Debian's "
        "/usr/share/doc/libatlas3-base/README.Debian")),
    Sibling("reference BLAS", "-reference", "libblas-dev", (), fixed_kernels=(
        "its plain loops are the floor that any library should beat, not a choice")),
]
# Kernel sets that are no better than plain loops on a modern CPU.
GENERIC_KERNELS = ("generic", "reference")


def baseline_kernels(kernels):
    """Kernels for no better than the x86-64 baseline: none at all (the
    reference BLAS), a generic set, or ATLAS's build for SSE2 (its
    architecture names any AVX it was built for)."""
    name = (kernels or "").lower()
    return (not name or any(g in name for g in GENERIC_KERNELS)
            or ("sse2" in name and "avx" not in name))


@dataclasses.dataclass
class Row:
    sibling: Sibling
    program: str
    measured: measure.Subject = None  # None where the program is not built
    threads_ignored: bool = False  # --threads asked for what it cannot follow
    accuracy: dict = None  # its accuracy tool's report, where it has one

    @property
    def state(self):  # "ok", "failed" or "missing"
        return self.measured.state if self.measured else "missing"

    @property
    def info(self):
        return self.measured.info if self.measured else {}

    @property
    def failure(self):
        return self.measured.failure if self.measured else None

    @property
    def status(self):
        return self.measured.status if self.measured else 0

    @property
    def runs(self):
        """Its runs, each with its round's roofs and its shares of them."""
        return [run.figures for run in self.measured.results] if self.measured else []


def environment_for(sibling, threads):
    env = dict(os.environ)
    if threads is not None:
        for variable in sibling.thread_variables:
            env[variable] = str(threads)
    return env


def measure_all(program, count, threads=None, limits_tool=None, timeout=runner.RUN_TIMEOUT):
    """Every sibling found beside `program`, `count` rounds of each, each
    round followed by the limits probe; then each library's accuracy tool.
    Returns (rows, each round's limits)."""
    rows = []
    for sibling in LIBRARIES:
        path = program + sibling.suffix
        if not os.access(path, os.X_OK):
            rows.append(Row(sibling, path))
            continue
        env = environment_for(sibling, threads)
        rows.append(Row(sibling, path, measure.subject(path, env, sibling.name),
                        threads_ignored=threads is not None and not sibling.thread_variables))
    active = [row.measured for row in rows if row.measured]
    if not active:
        raise Failure(f"{program} not found: run ./quickstart.sh libraries first", 1)
    samples = measure.rounds(active, count, limits_tool, keep_stderr=True, timeout=timeout)
    for row in rows:
        if row.measured and row.measured.runs:
            tool = os.path.join(os.path.dirname(program), "matmul-accuracy" + row.sibling.suffix)
            say(f"{row.sibling.name}: errors against the exact product ({os.path.basename(tool)})")
            row.accuracy = runner.run_json_tool(tool, lambda out: ["--json", out],
                                                f"{row.sibling.name}'s accuracy",
                                                env=row.measured.env)
    return rows, samples


def error_of_bound(row):
    """The library's largest error as a share of the error bound, or None."""
    try:
        return float(row.accuracy["blas"]["max_of_bound"])
    except (TypeError, KeyError, ValueError):
        return None


def to_result(program, rows, samples):
    """One Result holding every library's runs, each with its library."""
    measured = [row.measured for row in rows if row.measured]
    return measure.to_result(program, measured, samples, extra={"libraries": [
        {"library": row.sibling.name, "program": row.program, "state": row.state,
         "status": row.status, "failure": row.failure, "package": row.sibling.package,
         "accuracy": row.accuracy} for row in rows]})


@dataclasses.dataclass(frozen=True)
class Line:
    """One row of the comparison, ready to print."""
    library: str
    state: str
    version: str = None
    kernels: str = None
    threads: int = None
    runs: int = 0
    blas_ms: dict = None
    blas_gflops: dict = None
    pct_of_peak: float = None
    pct_at_width: float = None
    speedup: float = None
    diff: float = None
    vs_openblas: float = None
    verdict: str = None
    note: str = None
    error_of_bound: float = None


def lines(rows, cpu_flags):
    """The comparison's rows, and the warnings to print under them."""
    out, warnings = [], []
    reference = next((row for row in rows if row.sibling.name == "OpenBLAS" and row.runs), None)
    for row in rows:
        if row.state == "missing":
            out.append(Line(row.sibling.name, "not built",
                            note=f"no {os.path.basename(row.program)} beside the program "
                                 f"(its library: Debian's {row.sibling.package})"))
            continue
        library = row.measured.library
        if not row.runs:
            out.append(Line(row.sibling.name, f"failed with status {row.status}", library.version,
                            library.core, library.threads, note=row.failure))
            continue
        blas = [f["blas_ms"] for f in row.runs]
        summary = stats.summarise(row.runs, ["blas_gflops", "blas_pct_of_peak",
                                             "blas_pct_of_peak_at_kernel_width", "speedup"])
        ratio = verdict = None
        if reference is not None and row is not reference:
            base = [f["blas_ms"] for f in reference.runs]
            ratio = stats.median(blas) / stats.median(base)
            _, verdict = stats.verdict(base, blas, "lower")
        note = (f"failed with status {row.status} after {len(row.runs)} runs: {row.failure}"
                if row.state == "failed" else None)
        if row.threads_ignored:
            note = "its thread count is fixed at its build: --threads not followed"
        out.append(Line(
            row.sibling.name, "failed" if row.state == "failed" else "ok", library.version,
            library.core, library.threads, len(row.runs),
            {"min": min(blas), "median": stats.median(blas), "max": max(blas)},
            summary["blas_gflops"],
            (summary["blas_pct_of_peak"] or {}).get("median"),
            (summary["blas_pct_of_peak_at_kernel_width"] or {}).get("median"),
            summary["speedup"]["median"],
            stats.summarise(row.runs, ["diff"])["diff"]["median"],
            ratio, verdict, note, error_of_bound(row)))
        if "avx2" in cpu_flags and baseline_kernels(library.core):
            warnings.append(kernel_warning(row, library))
        bound = error_of_bound(row)
        if bound is not None and bound > 1:
            warnings.append(f"warning: {row.sibling.name}'s error leaves the bound: its largest is "
                            f"{bound:.3g} times the bound (matmul-accuracy"
                            f"{row.sibling.suffix})")
    return out, warnings


def kernel_warning(row, library):
    """What to tell a user whose library runs baseline kernels on an AVX2 CPU:
    what selects others, if anything does. Their choice is never changed."""
    name = row.sibling.name
    variable = row.info.get("library_kernel_variable", row.sibling.kernel_variable)
    if variable:
        choices = row.info.get("library_kernel_choices")
        how = f"{variable} selects others" + (f" (by number: {choices})" if choices else "")
        return (f"warning: {name} runs its {library.core} kernels on a CPU with AVX2; {how}; "
                f"this tool does not change its choice")
    kernels = f"its {library.core} kernels" if library.core else "no tuned kernels"
    return (f"warning: {name} runs {kernels} on a CPU with AVX2; nothing selects others at run "
            f"time: {row.sibling.fixed_kernels or 'see its documentation'}")


def _cell(value, form):
    return "n/a" if value is None else form.format(value)


HEADER = ["library", "version", "kernels", "threads", "runs", "blas ms (min-median-max)",
          "GFLOP/s", "% of peak", "% at its width", "speedup over naive", "diff",
          "error / bound", "vs OpenBLAS", "verdict"]


def cells(line):
    if line.blas_ms is None:
        return [line.library, line.version or "", line.kernels or "",
                _cell(line.threads, "{}"), "0", line.state, "", "", "", "", "", "", "", ""]
    ms = line.blas_ms
    return [line.library, line.version or "unknown", line.kernels or "none",
            _cell(line.threads, "{}"), str(line.runs),
            f"{ms['min']:.1f} - {ms['median']:.1f} - {ms['max']:.1f}",
            _cell(line.blas_gflops["median"], "{:.1f}"), _cell(line.pct_of_peak, "{:.1f}"),
            _cell(line.pct_at_width, "{:.1f}"), _cell(line.speedup, "{:.1f}"),
            _cell(line.diff, "{:.6f}"), _cell(line.error_of_bound, "{:.3g}"),
            _cell(line.vs_openblas, "{:.3f}") if line.verdict else "base",
            line.verdict or ""]


def text(comparison, warnings):
    out = [tables.text(HEADER, [cells(line) for line in comparison])]
    out += [f"{line.library}: {line.note}" for line in comparison if line.note]
    return "\n".join(out + warnings) + "\n"


def markdown(comparison, warnings):
    out = [tables.markdown(HEADER, [cells(line) for line in comparison])]
    notes = [f"- {line.library}: {line.note}" for line in comparison if line.note] + [
        f"- {w}" for w in warnings]
    return "\n".join(out + ([""] + notes if notes else [])) + "\n"
