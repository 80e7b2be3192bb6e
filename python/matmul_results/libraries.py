"""Which BLAS: the program and its siblings, one per CBLAS library, run in
interleaved rounds on the same machine, each row naming the kernels its
library chose and the threads it ran, set against OpenBLAS and the roofs.

A sibling is the program built against another library: PROGRAM-blis,
PROGRAM-atlas, PROGRAM-reference beside PROGRAM, each with its info tool
(SIBLING-info) and its accuracy tool (matmul-accuracy-blis, ...) beside it.
"""

import dataclasses
import os

from . import machine, model, runner, stats
from .errors import Failure, say


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
    state: str  # "ok", "failed" or "missing"
    info: dict = dataclasses.field(default_factory=dict)
    runs: list = dataclasses.field(default_factory=list)  # model.Run
    failure: str = None
    status: int = 0
    threads_ignored: bool = False  # --threads asked for what it cannot follow
    accuracy: dict = None  # its accuracy tool's report, where it has one


def library_facts(sibling, info):
    """The library as its sibling's info tool reports it."""
    threads = info.get("library_threads", info.get("openblas_threads"))
    return model.Library(
        name=info.get("library_name", sibling.name),
        version=info.get("library_version", info.get("openblas_version")),
        config=info.get("library_config", info.get("openblas_config")),
        core=info.get("library_kernels", info.get("openblas_core")),
        threads=int(threads) if threads is not None and str(threads).isdigit() else None)


def environment_for(sibling, threads):
    env = dict(os.environ)
    if threads is not None:
        for variable in sibling.thread_variables:
            env[variable] = str(threads)
    return env


def measure(program, count, threads=None, limits_tool=None):
    """Every sibling found beside `program`, `count` times each, round-robin;
    then the limits probe once. Returns (rows, limits)."""
    rows = []
    for sibling in LIBRARIES:
        path = program + sibling.suffix
        if not os.access(path, os.X_OK):
            rows.append(Row(sibling, path, "missing"))
            continue
        env = environment_for(sibling, threads)
        info = runner.run_json_tool(path + "-info", lambda out: [], f"{sibling.name}'s facts",
                                    env=env) or {}
        rows.append(Row(sibling, path, "ok", info,
                        threads_ignored=threads is not None and not sibling.thread_variables))
    active = [row for row in rows if row.state == "ok"]
    if not active:
        raise Failure(f"{program} not found: run ./quickstart.sh libraries first", 1)
    for r in range(count):
        # Turned each round, so that no library always runs first.
        order = active[r % len(active):] + active[:r % len(active)]
        for row in order:
            if row.state != "ok":
                continue
            try:
                run = runner.run_program(row.program, env=environment_for(row.sibling, threads),
                                         keep_stderr=True)
            except Failure as failure:
                row.state, row.status = "failed", failure.status
                row.failure = getattr(failure, "said", None) or str(failure)
                say(f"{row.sibling.name}, run {len(row.runs) + 1}: failed with status "
                    f"{failure.status}: {row.failure}")
                continue
            say(f"round {r + 1} of {count}, {row.sibling.name}: simple {run['simple_ms']:.1f} ms, "
                f"blas {run['blas_ms']:.1f} ms, diff {run['diff']:.6f}")
            row.runs.append(run)
    limits = None
    if limits_tool:
        say("measuring this machine's limits (matmul-limits)")
        limits = runner.run_json_tool(limits_tool, lambda out: ["--json", out],
                                      "the machine's limits and the percentages")
    for row in rows:
        if row.runs:
            tool = os.path.join(os.path.dirname(program), "matmul-accuracy" + row.sibling.suffix)
            say(f"{row.sibling.name}: errors against the exact product ({os.path.basename(tool)})")
            row.accuracy = runner.run_json_tool(tool, lambda out: ["--json", out],
                                                f"{row.sibling.name}'s accuracy",
                                                env=environment_for(row.sibling, threads))
    return rows, limits


def error_of_bound(row):
    """The library's largest error as a share of the error bound, or None."""
    try:
        return float(row.accuracy["blas"]["max_of_bound"])
    except (TypeError, KeyError, ValueError):
        return None


def to_result(program, rows, limits, info):
    """One Result holding every library's runs, keyed by library."""
    env = machine.environment(info)
    node = model.Machine(env["host"], env["cpu_model"], env["cores"], env["isa"])
    naive = model.NaiveBuild(env["naive_variant"], env["naive_variant_flags"],
                             env["naive_variants_built"])
    runs = []
    for row in rows:
        library = library_facts(row.sibling, row.info)
        width = kernel_width(library.core)
        runs += [model.Run({**f, **stats.derived(f["simple_ms"], f["blas_ms"], limits, width)},
                           node, library, naive) for f in row.runs]
    return model.Result(program=program, runs=runs, environment=env,
                        openblas=machine.library(info), limits=limits,
                        environment_variables={v: os.environ.get(v) for sibling in LIBRARIES
                                               for v in sibling.thread_variables
                                               + ((sibling.kernel_variable,)
                                                  if sibling.kernel_variable else ())},
                        extra={"libraries": [{"library": row.sibling.name, "program": row.program,
                                              "state": row.state, "status": row.status,
                                              "failure": row.failure,
                                              "package": row.sibling.package,
                                              "accuracy": row.accuracy}
                                             for row in rows]})


def kernel_width(core):
    """Vector width of a library's kernel set: OpenBLAS's names, or BLIS's
    sub-configurations (zen*, haswell, skx, knl)."""
    name = (core or "").lower()
    if name in ("skx", "knl") or name.startswith("zen4") or name.startswith("zen5"):
        return 512
    if name.startswith("zen") or name in ("haswell", "sandybridge", "piledriver", "bulldozer",
                                          "steamroller", "excavator"):
        return 256
    return machine.kernel_width(core)


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


def lines(rows, limits, cpu_flags):
    """The comparison's rows, and the warnings to print under them."""
    out, warnings = [], []
    reference = next((row for row in rows if row.sibling.name == "OpenBLAS" and row.runs), None)
    for row in rows:
        if row.state == "missing":
            out.append(Line(row.sibling.name, "not built",
                            note=f"no {os.path.basename(row.program)} beside the program "
                                 f"(its library: Debian's {row.sibling.package})"))
            continue
        library = library_facts(row.sibling, row.info)
        if not row.runs:
            out.append(Line(row.sibling.name, f"failed with status {row.status}", library.version,
                            library.core, library.threads, note=row.failure))
            continue
        blas = [f["blas_ms"] for f in row.runs]
        derived = [stats.derived(f["simple_ms"], f["blas_ms"], limits, kernel_width(library.core))
                   for f in row.runs]
        summary = stats.summarise(derived, ["blas_gflops", "blas_pct_of_peak",
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
            summary["speedup"]["median"], stats.median([f["diff"] for f in row.runs]),
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
    table = [HEADER] + [cells(line) for line in comparison]
    widths = [max(len(r[i]) for r in table) for i in range(len(HEADER))]
    out = ["  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip() for r in table]
    out += [f"{line.library}: {line.note}" for line in comparison if line.note]
    return "\n".join(out + warnings) + "\n"


def markdown(comparison, warnings):
    out = ["| " + " | ".join(HEADER) + " |", "|" + "---|" * len(HEADER)]
    out += ["| " + " | ".join(cells(line)) + " |" for line in comparison]
    notes = [f"- {line.library}: {line.note}" for line in comparison if line.note] + [
        f"- {w}" for w in warnings]
    return "\n".join(out + ([""] + notes if notes else [])) + "\n"
