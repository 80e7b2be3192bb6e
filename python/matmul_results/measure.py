"""The one way every mode measures: each program's facts from its own info
tool (PROGRAM-info beside PROGRAM), its runs in interleaved rounds, and
after each round the limits probe, sustained for as long as that round's
multiplies took, so that every figure is set against roofs of its own
round, measured the same way."""

import dataclasses
import os

from . import machine, model, runner, stats
from .errors import Failure, say

# Each round's probe streams for about as long as the naive multiply took,
# and runs each compute roof about as long as the library's multiply, within
# these bounds (seconds): long enough to be sustained, short enough to repeat.
MEMORY_SECONDS = (1.0, 5.0)
COMPUTE_SECONDS = (0.1, 0.5)


@dataclasses.dataclass
class Subject:
    """One program measured: what it runs, and what its runs gave."""
    name: str  # as progress lines and failures call it
    program: str
    env: dict = None  # None: this process's environment
    info: dict = dataclasses.field(default_factory=dict)
    library: model.Library = model.Library()
    runs: list = dataclasses.field(default_factory=list)  # figures, each with its "round"
    results: list = dataclasses.field(default_factory=list)  # model.Run, once paired
    state: str = "ok"  # or "failed"
    failure: str = None
    status: int = 0


def subject(program, env=None, name=None):
    """A program and the facts its own info tool gives about it."""
    info = runner.run_json_tool(program + "-info", lambda out: [],
                                "the program's build and library facts", env=env) or {}
    library = machine.library(info, name)
    return Subject(name or library.name or os.path.basename(program), program, env, info, library)


def _clamp(value, bounds):
    return min(max(value, bounds[0]), bounds[1])


def probe(tool, runs, threads):
    """One round's limits: the probe sustained as long as the round's runs."""
    simple_s = stats.median([r["simple_ms"] for r in runs]) / 1000.0
    blas_s = stats.median([r["blas_ms"] for r in runs]) / 1000.0
    counts = sorted({t for t in threads if t})
    args = (["--threads", ",".join(map(str, counts))] if counts else []) + [
        "--memory-seconds", f"{_clamp(simple_s, MEMORY_SECONDS):.3f}",
        "--compute-seconds", f"{_clamp(blas_s, COMPUTE_SECONDS):.3f}"]
    return runner.run_json_tool(tool, lambda out: [*args, "--json", out],
                                "this round's limits")


def rounds(subjects, count, limits_tool=None, keep_stderr=False, stop_on_failure=False,
           timeout=runner.RUN_TIMEOUT):
    """`count` rounds: every program once per round, the order turned each
    round so that none always runs first, then the limits probe. A failure
    stops everything with stop_on_failure; otherwise that program drops out
    and the others go on. Returns each round's limits (None where unmeasured)."""
    if limits_tool and not os.access(limits_tool, os.X_OK):
        say(f"{limits_tool} not found: the machine's limits and the percentages left out")
        limits_tool = None
    elif limits_tool:
        say(f"each round ends with this machine's limits ({os.path.basename(limits_tool)})")
    samples = []
    for r in range(count):
        active = [s for s in subjects if s.state == "ok"]
        if not active:
            break
        order = active[r % len(active):] + active[:r % len(active)]
        ran = []
        for s in order:
            try:
                run = runner.run_program(s.program, env=s.env, keep_stderr=keep_stderr,
                                         timeout=timeout)
            except Failure as failure:
                if stop_on_failure:
                    raise Failure(f"run {r + 1} of {count}: {failure}", failure.status) from None
                s.state, s.status = "failed", failure.status
                s.failure = getattr(failure, "said", None) or str(failure)
                say(f"{s.name}, run {len(s.runs) + 1}: failed with status {failure.status}: "
                    f"{s.failure}")
                continue
            run["round"] = r
            s.runs.append(run)
            ran.append(run)
            who = f"{s.name}, " if len(subjects) > 1 else ""
            say(f"round {r + 1} of {count}, {who}simple {run['simple_ms']:.1f} ms, "
                f"blas {run['blas_ms']:.1f} ms, diff {run['diff']:.6f}")
        samples.append(probe(limits_tool, ran, [s.library.threads for s in subjects])
                       if limits_tool and ran else None)
    return samples


def to_result(program, subjects, samples, extra=None):
    """One Result of every subject's runs, each with its own library and
    naive build, and its round's roofs and its shares of them."""
    info = subjects[0].info
    env = machine.environment(info)
    node = model.Machine(env["host"], env["cpu_model"], env["cores"], env["isa"])
    limits = stats.limits_summary(samples)
    widths = set()
    runs = []
    for s in subjects:
        width = machine.kernel_width(s.library.core)
        widths.add(width)
        naive = model.NaiveBuild(s.info.get("naive_variant"), s.info.get("naive_variant_flags"),
                                 s.info.get("naive_variants_built"))
        s.results = []
        for f in s.runs:
            roofs = stats.paired_roofs(samples[f["round"]] if f["round"] < len(samples) else None,
                                       limits, s.library.threads, width)
            s.results.append(model.Run({**f, **roofs,
                                        **stats.derived(f["simple_ms"], f["blas_ms"], roofs)},
                                       node, s.library, naive))
        runs += s.results
    if limits is not None:
        # One width where one library ran; each run has its own otherwise.
        limits["kernel_width_bits"] = widths.pop() if len(widths) == 1 else None
    variables = [v for s in subjects for v in machine.library_variables(s.info)]
    return model.Result(program=program, runs=runs, environment=env,
                        openblas=machine.openblas(info), limits=limits,
                        environment_variables={v: os.environ.get(v)
                                               for v in dict.fromkeys(variables)},
                        extra=extra or {})


def program(exe, count, limits_tool=None, keep_stderr=False, timeout=runner.RUN_TIMEOUT):
    """One program, `count` rounds, as a Result: the `run` and the cluster
    node's measurement. Any failed run is a Failure."""
    if not os.access(exe, os.X_OK):
        raise Failure(f"{exe} not found: run ./quickstart.sh bench first", 1)
    one = subject(exe)
    samples = rounds([one], count, limits_tool, keep_stderr=keep_stderr, stop_on_failure=True,
                     timeout=timeout)
    return to_result(exe, [one], samples)


def limits_tool_beside(exe):
    return os.path.join(os.path.dirname(os.path.abspath(exe)), "matmul-limits")
