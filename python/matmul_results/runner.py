"""Running the program and its companion tools, each within a time bound."""

import json
import math
import os
import selectors
import signal
import subprocess
import tempfile
import time

from . import problem
from .errors import Failure, say

# Seconds one run of the program may take: a slow machine's run takes
# seconds, so this is a hang, and the run fails rather than waits forever.
RUN_TIMEOUT = 600.0
TOOL_TIMEOUT = 600.0


def _kill(proc):
    """The program and anything it started (its own session)."""
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


def _read_until(proc, deadline):
    """Everything the program writes to stdout, or None once the deadline passes."""
    out = bytearray()
    with selectors.DefaultSelector() as sel:
        sel.register(proc.stdout, selectors.EVENT_READ)
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            if sel.select(left):
                chunk = os.read(proc.stdout.fileno(), 65536)
                if not chunk:
                    return bytes(out)
                out += chunk


def _wait_until(proc, deadline):
    """(status, rusage) of the ended program, or None once the deadline passes."""
    while True:
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid:
            return status, usage
        if time.monotonic() >= deadline:
            return None
        time.sleep(0.01)


def parse_report(text):
    """(simple_ms, blas_ms, diff) of the program's three lines, or None. A
    diff that is not a number (nan, inf) is kept as one: it is a fault to
    name, not a report to lose."""
    match = problem.REPORT.fullmatch(text)
    if not match:
        return None
    simple_ms, blas_ms, diff = match.groups()
    return float(simple_ms), float(blas_ms), float(diff.split("(")[0])


def run_program(exe, env=None, keep_stderr=False, timeout=RUN_TIMEOUT):
    """One run's figures: the report's three, the wall time, the time outside
    the two timed intervals and the peak resident memory. The program's
    stderr is ours, unless kept for the Failure's message. A run that takes
    longer than `timeout` seconds is killed and fails."""
    start = time.perf_counter()
    deadline = time.monotonic() + timeout
    with tempfile.TemporaryFile() as err:
        proc = subprocess.Popen([exe], stdout=subprocess.PIPE, env=env, start_new_session=True,
                                stderr=err if keep_stderr else None)
        try:
            out = _read_until(proc, deadline)
            proc.stdout.close()
            ended = _wait_until(proc, deadline) if out is not None else None
        except BaseException:
            # Its own session hears no Ctrl-C from the terminal: stop it here.
            _kill(proc)
            os.wait4(proc.pid, 0)
            raise
        if ended is None:
            _kill(proc)
            os.wait4(proc.pid, 0)
            proc.returncode = -signal.SIGKILL
            raise Failure(f"{exe} did not finish within {timeout:g} s: killed; nothing "
                          f"exported", 124)
        status, usage = ended
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
    figures = parse_report(text)
    if figures is None:
        raise Failure(f"the run printed no report: {text[:300]!r}; nothing exported", 1)
    simple_ms, blas_ms, diff = figures
    if not math.isfinite(diff):
        say(f"the run's diff is {diff}: its two products are not numbers that agree, a fault")
    # ru_maxrss is in KiB on Linux.
    rss_mb = usage.ru_maxrss * 1024 / 1e6 if usage.ru_maxrss > 0 else None
    return {"simple_ms": simple_ms, "blas_ms": blas_ms, "diff": diff,
            "wall_ms": round(wall_ms, 3), "outside_ms": round(wall_ms - simple_ms - blas_ms, 3),
            "peak_rss_mb": None if rss_mb is None else round(rss_mb, 1), "exit_status": 0}


def run_json_tool(path, args, what, env=None, timeout=TOOL_TIMEOUT):
    """The JSON that a companion tool writes, or None (with a word) if absent,
    failed or out of time."""
    if not os.access(path, os.X_OK):
        say(f"{path} not found: {what} left out")
        return None
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "out.json")
        try:
            proc = subprocess.run([path, *args(out)], stdout=subprocess.PIPE, timeout=timeout,
                                  env=env)
        except subprocess.TimeoutExpired:
            say(f"{path} did not finish within {timeout:g} s: {what} left out")
            return None
        text = proc.stdout.decode("utf-8", "replace")
        if os.path.exists(out):
            with open(out, encoding="utf-8") as f:
                text = f.read()
        if proc.returncode != 0:
            say(f"{path} failed with status {proc.returncode}: {what} left out")
            return None
        try:
            return json.loads(text)
        except ValueError:
            say(f"{path} wrote no JSON: {what} left out")
            return None
