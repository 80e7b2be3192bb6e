"""Facts about the machine, the build and the library that a run records."""

import datetime
import os
import platform
import re
import socket
import subprocess

from . import model

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CPU_FLAGS = ("avx2", "fma", "avx512f")

# OpenBLAS's kernel sets by the vector width of their double-precision kernels.
WIDE_CORES = {512: ("skylakex", "cooperlake", "sapphirerapids"),
              256: ("sandybridge", "haswell", "zen", "bulldozer", "piledriver", "steamroller",
                    "excavator")}
X86_CORES_128 = ("prescott", "core2", "penryn", "dunnington", "nehalem", "opteron", "barcelona",
                 "bobcat", "atom", "nano", "katmai", "coppermine", "northwood", "banias")


def kernel_width(core):
    """The vector width in bits of a library's kernel set, or None: OpenBLAS's
    core names, or BLIS's sub-configurations (zen*, haswell, skx, knl)."""
    name = (core or "").lower()
    if name in ("skx", "knl") or name.startswith(("zen4", "zen5")):
        return 512
    for width, cores in WIDE_CORES.items():
        if any(c in name for c in cores):
            return width
    if any(c in name for c in X86_CORES_128):
        return 128
    return None


def cpu_facts(cpuinfo="/proc/cpuinfo"):
    model, flags = None, set()
    try:
        with open(cpuinfo, encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name") and model is None:
                    model = line.split(":", 1)[1].strip()
                elif line.startswith("flags") and not flags:
                    flags = set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return model or platform.processor() or None, flags


def git_commit():
    try:
        rev = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short=12", "HEAD"],
                             capture_output=True, text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", ROOT, "diff", "--quiet", "HEAD", "--"],
                               capture_output=True, timeout=30).returncode != 0
        return rev + ("-dirty" if dirty else "")
    except (OSError, subprocess.SubprocessError):
        return None


def transparent_hugepages():
    try:
        with open("/sys/kernel/mm/transparent_hugepage/enabled", encoding="utf-8") as f:
            found = re.search(r"\[(\w+)\]", f.read())
            return found.group(1) if found else None
    except OSError:
        return None


def environment(info):
    """The run's surroundings, as the schema-1 "environment" object had them."""
    model, flags = cpu_facts()
    # The program's own reading of the CPU, where its info tool gives one.
    if info.get("cpu_features") is not None:
        flags = set(info["cpu_features"].split())
    env = {
        "cpu_model": model,
        "cores": os.cpu_count() or 0,
        "isa": {f: f in flags for f in CPU_FLAGS},
        "os_kernel": f"{platform.system()} {platform.release()}",
        "transparent_hugepages": transparent_hugepages(),
        "host": socket.gethostname(),
    }
    for key in ("compiler", "kernel_flags", "naive_variants_built", "naive_variant",
                "naive_variant_flags", "build_type", "project_version"):
        env[key] = info.get(key)
    env["git_commit"] = git_commit()
    env["date"] = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    return env


def library(info, name=None):
    """The library that the program beside its info tool runs, as that tool
    reports it; `name` where the tool does not say. Programs built before
    the other libraries came name only OpenBLAS's facts."""
    threads = info.get("library_threads", info.get("openblas_threads"))
    version = info.get("library_version")
    if version is None and info.get("openblas_version"):
        version = info["openblas_version"].removeprefix("OpenBLAS ")
        name = name or "OpenBLAS"
    return model.Library(
        name=info.get("library_name", name), version=version,
        config=info.get("library_config", info.get("openblas_config")),
        core=info.get("library_kernels", info.get("openblas_core")),
        threads=int(threads) if threads is not None and str(threads).isdigit() else None)


def library_variables(info):
    """The environment variables that set the library's threads and kernels,
    as its info tool names them (OpenBLAS's where it names none)."""
    if "library_thread_variables" not in info and "library_kernel_variable" not in info:
        return ["OPENBLAS_NUM_THREADS", "OPENBLAS_CORETYPE", "OMP_NUM_THREADS"]
    names = (info.get("library_thread_variables") or "").split()
    names += (info.get("library_kernel_variable") or "").split()
    return list(dict.fromkeys(names + ["OMP_NUM_THREADS"]))


def openblas(info):
    """OpenBLAS's own facts, as the "openblas" object of exports kept them;
    empty for a program that runs another library."""
    if not info.get("openblas_version"):
        return {}
    lib = library(info)
    return {"version": info["openblas_version"], "config": lib.config, "core": lib.core,
            "threads": lib.threads}
