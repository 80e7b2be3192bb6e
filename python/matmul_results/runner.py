"""Running the program and its companion tools."""

import json
import os
import subprocess
import tempfile
import time

from . import problem
from .errors import Failure, say


def run_program(exe, env=None, keep_stderr=False):
    """One run's figures: the report's three, the wall time, the time outside
    the two timed intervals and the peak resident memory. The program's
    stderr is ours, unless kept for the Failure's message."""
    start = time.perf_counter()
    with tempfile.TemporaryFile() as err:
        proc = subprocess.Popen([exe], stdout=subprocess.PIPE, env=env,
                                stderr=err if keep_stderr else None)
        out = proc.stdout.read()
        proc.stdout.close()
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
        err.seek(0)
        said = err.read().decode("utf-8", "replace").strip()
    wall_ms = (time.perf_counter() - start) * 1000.0
    if proc.returncode != 0:
        code = proc.returncode if proc.returncode > 0 else 128 - proc.returncode
        failure = Failure(f"the run failed with status {code}" + (f": {said}" if said else "")
                          + "; nothing exported", code)
        failure.said = said
        raise failure
    text = out.decode("utf-8", "replace")
    match = problem.REPORT.fullmatch(text)
    if not match:
        raise Failure(f"the run printed no report: {text[:300]!r}; nothing exported", 1)
    simple_ms, blas_ms, diff = (float(x) for x in match.groups())
    # ru_maxrss is in KiB on Linux.
    rss_mb = usage.ru_maxrss * 1024 / 1e6 if usage.ru_maxrss > 0 else None
    return {"simple_ms": simple_ms, "blas_ms": blas_ms, "diff": diff,
            "wall_ms": round(wall_ms, 3), "outside_ms": round(wall_ms - simple_ms - blas_ms, 3),
            "peak_rss_mb": None if rss_mb is None else round(rss_mb, 1), "exit_status": 0}


def run_json_tool(path, args, what, env=None):
    """The JSON that a companion tool writes, or None (with a word) if absent."""
    if not os.access(path, os.X_OK):
        say(f"{path} not found: {what} left out")
        return None
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "out.json")
        try:
            proc = subprocess.run([path, *args(out)], stdout=subprocess.PIPE, timeout=600,
                                  env=env)
        except subprocess.TimeoutExpired:
            say(f"{path} did not finish: {what} left out")
            return None
        text = proc.stdout.decode("utf-8", "replace")
        if os.path.exists(out):
            with open(out, encoding="utf-8") as f:
                text = f.read()
        try:
            return json.loads(text) if proc.returncode == 0 else None
        except ValueError:
            say(f"{path} wrote no JSON: {what} left out")
            return None
