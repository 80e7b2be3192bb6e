"""Running the program and its companion tools."""

import json
import os
import subprocess
import tempfile
import time

from . import problem
from .errors import Failure, say


def run_program(exe):
    """One run: (simple_ms, blas_ms, diff, wall_ms, peak_rss_mb)."""
    start = time.perf_counter()
    proc = subprocess.Popen([exe], stdout=subprocess.PIPE)
    out = proc.stdout.read()
    proc.stdout.close()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    wall_ms = (time.perf_counter() - start) * 1000.0
    if proc.returncode != 0:
        # The program has said why on stderr, which is ours.
        code = proc.returncode if proc.returncode > 0 else 128 - proc.returncode
        raise Failure(f"the run failed with status {code}; nothing exported", code)
    text = out.decode("utf-8", "replace")
    match = problem.REPORT.fullmatch(text)
    if not match:
        raise Failure(f"the run printed no report: {text[:300]!r}; nothing exported", 1)
    simple_ms, blas_ms, diff = (float(x) for x in match.groups())
    # ru_maxrss is in KiB on Linux.
    rss_mb = usage.ru_maxrss * 1024 / 1e6 if usage.ru_maxrss > 0 else None
    return simple_ms, blas_ms, diff, wall_ms, rss_mb


def run_json_tool(path, args, what):
    """The JSON that a companion tool writes, or None (with a word) if absent."""
    if not os.access(path, os.X_OK):
        say(f"{path} not found: {what} left out")
        return None
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "out.json")
        try:
            proc = subprocess.run([path, *args(out)], stdout=subprocess.PIPE, timeout=600)
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
