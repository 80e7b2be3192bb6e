"""A stand-in for matmul-bench on the emulated cluster's nodes: it prints
the figures chosen for the node it runs on, so that a test can make a node
slow, faulty or failing, once or every time."""

import json

STAND_IN = """#!/bin/sh
# The figures chosen for the node it runs on: FIGURES/NODE holds
# "simple_ms blas_ms diff [status message]"; FIGURES/NODE.then, if there,
# becomes FIGURES/NODE after this run (the next run's figures);
# FIGURES/NODE.hold makes it wait until FIGURES/release exists (at most a
# minute).
here=$(dirname "$0")
node=$SLURMD_NODENAME
if [ -e "$here/figures/$node.hold" ]; then
  i=0
  while [ ! -e "$here/figures/release" ] && [ $i -lt 600 ]; do sleep 0.1; i=$((i + 1)); done
fi
read -r simple blas diff status message <"$here/figures/$node"
if [ -e "$here/figures/$node.then" ]; then mv "$here/figures/$node.then" "$here/figures/$node"; fi
if [ -n "$status" ]; then echo "matmul-bench: $message" >&2; exit "$status"; fi
printf 'simple: %s msec\\nblas: %s msec\\ndiff: %s\\n' "$simple" "$blas" "$diff"
"""
# Its info tool: FIGURES/NODE.info, or FIGURES/info, as the real one's JSON.
INFO = """#!/bin/sh
here=$(dirname "$0")
if [ -e "$here/figures/$SLURMD_NODENAME.info" ]; then
  exec cat "$here/figures/$SLURMD_NODENAME.info"
fi
exec cat "$here/figures/info"
"""
NORMAL = "1000.000000 100.000000 0.000150"
LIBRARY = {"library_name": "OpenBLAS", "library_version": "0.3.21", "library_kernels": "Zen",
           "library_threads": "2", "naive_variant": "x86-64-v3"}


def figures(simple_ms, blas_ms=100.0):
    return f"{simple_ms:.6f} {blas_ms:.6f} 0.000150"


def stand_in(folder, chosen, hold=(), info=None):
    """The program in `folder`, with `chosen` {node: figures line}; with
    `info` ({key: value}), an info tool beside it that reports it."""
    (folder / "figures").mkdir(parents=True, exist_ok=True)
    program = folder / "matmul-bench"
    program.write_text(STAND_IN)
    program.chmod(0o755)
    if info is not None:
        (folder / "matmul-bench-info").write_text(INFO)
        (folder / "matmul-bench-info").chmod(0o755)
        (folder / "figures" / "info").write_text(json.dumps(info))
    choose(folder, chosen)
    for node in hold:
        (folder / "figures" / f"{node}.hold").write_text("")
    return program


def choose(folder, chosen, then=None):
    """Sets each node's figures, and (`then`) those of its run after."""
    for node, line in chosen.items():
        (folder / "figures" / node).write_text(line + "\n")
    for node, line in (then or {}).items():
        (folder / "figures" / f"{node}.then").write_text(line + "\n")
