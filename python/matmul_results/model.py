"""The typed, versioned result: runs, each with the facts that tell it apart
(machine, library, naive build), and what was measured around them.

Schema 1 is what matmul-results wrote before it was versioned: it had no
schema_version and kept the facts once, for the whole result. Schema 2 set
every run against roofs measured once, after the runs, as their best burst.
Schema 3 measures the roofs sustained after every round and keeps each
run's own round's roofs in the run. All three load, with every field kept.

JSON has no NaN or infinity: a figure that is not a number (a faulty
node's diff) is written as the string "nan", "inf" or "-inf", and read
back as the number.
"""

import dataclasses
import json
import math

from . import stats
from .errors import Failure

SCHEMA_VERSION = 3

# Figures of a run: key, label, format, and which way is faster: a lower
# time, a higher rate; "neither" for ratios and the diff (compared as
# higher or lower).
FIGURES = [
    ("simple_ms", "simple (ms)", "{:.1f}", "lower"),
    ("blas_ms", "blas (ms)", "{:.1f}", "lower"),
    ("diff", "diff", "{:.6f}", "neither"),
    ("simple_gflops", "simple (GFLOP/s)", "{:.2f}", "higher"),
    ("blas_gflops", "blas (GFLOP/s)", "{:.1f}", "higher"),
    ("speedup", "speedup (simple / blas)", "{:.1f}", "neither"),
    ("memory_roof_gbs", "memory roof, its round's (GB/s)", "{:.1f}", "higher"),
    ("peak_gflops", "compute peak, its round's (GFLOP/s)", "{:.1f}", "higher"),
    ("simple_pct_of_stream", "simple, % of the memory roof", "{:.1f}", "higher"),
    ("blas_pct_of_peak", "blas, % of the peak (widest vectors)", "{:.1f}", "higher"),
    ("blas_pct_of_peak_at_kernel_width", "blas, % of the peak at its kernels' width",
     "{:.1f}", "higher"),
    ("wall_ms", "process wall time (ms)", "{:.1f}", "lower"),
    ("outside_ms", "outside timed intervals (ms)", "{:.1f}", "lower"),
    ("peak_rss_mb", "peak resident memory (MB)", "{:.1f}", "lower"),
]
FIGURE_KEYS = [key for key, *_ in FIGURES]


@dataclasses.dataclass(frozen=True)
class Machine:
    host: str = None
    cpu_model: str = None
    cores: int = None
    flags: dict = dataclasses.field(default_factory=dict)  # feature -> bool


@dataclasses.dataclass(frozen=True)
class Library:
    name: str = None
    version: str = None
    config: str = None
    core: str = None  # the kernel set it chose at run time
    threads: int = None


@dataclasses.dataclass(frozen=True)
class NaiveBuild:
    variant: str = None
    flags: str = None
    built: str = None


@dataclasses.dataclass(frozen=True)
class Run:
    """One process's figures (and any other keys it was stored with)."""
    figures: dict
    machine: Machine = Machine()
    library: Library = Library()
    naive_build: NaiveBuild = NaiveBuild()

    def key(self):
        """What tells this run's group apart from others in one result."""
        return GroupKey(self.machine.host, self.machine.cpu_model, self.library.name,
                        self.library.version, self.library.core, self.library.threads,
                        self.naive_build.variant)

    def to_dict(self):
        return {**self.figures, "machine": dataclasses.asdict(self.machine),
                "library": dataclasses.asdict(self.library),
                "naive_build": dataclasses.asdict(self.naive_build)}


@dataclasses.dataclass(frozen=True)
class GroupKey:
    host: str
    cpu_model: str
    library: str
    library_version: str
    library_core: str
    library_threads: int
    naive_variant: str


@dataclasses.dataclass
class Result:
    program: str
    runs: list
    environment: dict = dataclasses.field(default_factory=dict)
    openblas: dict = dataclasses.field(default_factory=dict)
    environment_variables: dict = dataclasses.field(default_factory=dict)
    limits: dict = None
    schema_version: int = SCHEMA_VERSION
    extra: dict = dataclasses.field(default_factory=dict)  # keys of a newer writer, kept

    def summary(self):
        return stats.summarise([r.figures for r in self.runs], FIGURE_KEYS)

    def groups(self):
        """[(GroupKey, [Run])] in the order each key first appears."""
        grouped = {}
        for run in self.runs:
            grouped.setdefault(run.key(), []).append(run)
        return list(grouped.items())

    def to_dict(self):
        return {
            "schema_version": SCHEMA_VERSION,
            "program": self.program,
            "runs": [run.to_dict() for run in self.runs],
            "summary": self.summary(),
            "groups": [{"key": dataclasses.asdict(key),
                        "runs": len(runs),
                        "summary": stats.summarise([r.figures for r in runs], FIGURE_KEYS)}
                       for key, runs in self.groups()],
            "environment": self.environment,
            "openblas": self.openblas,
            "environment_variables": self.environment_variables,
            "limits": self.limits,
            **self.extra,
        }


NON_FINITE = {"nan": math.nan, "inf": math.inf, "-inf": -math.inf}


def encode(value):
    """`value` with every float that JSON cannot hold as its string."""
    if isinstance(value, float) and not math.isfinite(value):
        return "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")
    if isinstance(value, dict):
        return {k: encode(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [encode(v) for v in value]
    return value


def _figure(value):
    return NON_FINITE.get(value, value) if isinstance(value, str) else value


def _known(cls, data):
    """cls from the keys of `data` it has fields for; None for a non-dict."""
    if not isinstance(data, dict):
        return None
    names = {f.name for f in dataclasses.fields(cls)}
    return cls(**{k: v for k, v in data.items() if k in names})


def _facts_of_schema_1(data):
    """The facts a schema-1 export kept once for all its runs."""
    env = data.get("environment") if isinstance(data.get("environment"), dict) else {}
    blas = data.get("openblas") if isinstance(data.get("openblas"), dict) else {}
    machine = Machine(None, env.get("cpu_model"), env.get("cores"), dict(env.get("isa") or {}))
    library = _library({"name": "OpenBLAS", **blas})
    naive = NaiveBuild(env.get("naive_variant"), env.get("naive_variant_flags"),
                       env.get("naive_variants_built"))
    return machine, library, naive


def _library(data):
    """A run's library; exports before schema 3 wrote OpenBLAS's version with
    its name in front ("OpenBLAS 0.3.21"), as its own call returns it."""
    library = _known(Library, data)
    if library and library.name == "OpenBLAS" and str(library.version).startswith("OpenBLAS "):
        library = dataclasses.replace(library, version=library.version[len("OpenBLAS "):])
    return library


_TOP = {"schema_version", "program", "runs", "summary", "groups", "environment", "openblas",
        "environment_variables", "limits"}


def from_dict(data, source="the export"):
    """A Result from an export of any schema so far; Failure if it is none."""
    runs = data.get("runs") if isinstance(data, dict) else None
    if (not isinstance(runs, list) or not runs
            or not all(isinstance(r, dict) and isinstance(r.get("simple_ms"), (int, float))
                       and isinstance(r.get("blas_ms"), (int, float)) for r in runs)):
        raise Failure(f"{source}: not a matmul-results export (no runs with simple_ms and "
                      f"blas_ms)", 2)
    version = data.get("schema_version", 1)
    if not isinstance(version, int) or version < 1:
        raise Failure(f"{source}: not a matmul-results export (schema_version {version!r})", 2)
    if version > SCHEMA_VERSION:
        raise Failure(f"{source}: written by a newer matmul-results (schema {version}; this one "
                      f"reads up to {SCHEMA_VERSION})", 2)
    shared = _facts_of_schema_1(data)
    loaded = []
    for r in runs:
        figures = {k: _figure(v) for k, v in r.items()
                   if k not in ("machine", "library", "naive_build")}
        facts = (_known(Machine, r.get("machine")), _library(r.get("library")),
                 _known(NaiveBuild, r.get("naive_build")))
        loaded.append(Run(figures, *(own or old for own, old in zip(facts, shared))))

    def part(key):
        value = data.get(key)
        return value if isinstance(value, dict) else {}
    return Result(program=data.get("program"), runs=loaded, environment=part("environment"),
                  openblas=part("openblas"), environment_variables=part("environment_variables"),
                  limits=data.get("limits") if isinstance(data.get("limits"), dict) else None,
                  schema_version=version,
                  extra={k: v for k, v in data.items() if k not in _TOP})


def load(path):
    """The export at `path`, or a Failure that says what is wrong with it."""
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except FileNotFoundError:
        raise Failure(f"{path}: no such file", 2) from None
    except (OSError, UnicodeDecodeError) as e:
        raise Failure(f"{path}: cannot read it: {getattr(e, 'strerror', None) or e}", 2) from None
    try:
        data = json.loads(text)
    except ValueError as e:
        raise Failure(f"{path}: not valid JSON ({e})", 2) from None
    return from_dict(data, path)
