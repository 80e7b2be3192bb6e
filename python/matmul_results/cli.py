"""matmul-results: matmul-bench's figures, repeated, summarised and set
against this machine's own limits; and two such results compared.

  matmul-results run [N] [--export-json F] [--export-markdown F] [--plot F.svg] [PROGRAM]
      Runs PROGRAM (default build/matmul-bench) N times (default 5), then
      the limits probe beside it (matmul-limits) once, and prints min /
      median / max of every figure, with the naive loop's share of the
      memory roof and the library's share of the compute peak. Exports JSON,
      Markdown and a roofline SVG, only when every run succeeded.

  matmul-results libraries [N] [--threads T] [--export-json F] [--export-markdown F]
                           [--plot F.svg] [PROGRAM]
      Runs PROGRAM and each sibling built beside it against another CBLAS
      library (PROGRAM-blis, -atlas, -reference) N times each (default 5),
      interleaved, then the limits probe once, and prints one row per
      library: its version, kernels and threads, its times, rates and
      shares of the peak, and how it compares with OpenBLAS.

  matmul-results cluster [--partition P] [--nodes LIST] [N] --out DIR [--sbatch-arg ARG]...
                         [--max-queued J] [--slow-mads K] [--slow-percent P] [PROGRAM]
  matmul-results cluster --resume DIR
      Runs PROGRAM N times (default 5) on every node of the partition (or
      of LIST), one Slurm job per node with the node to itself, each node
      set against its own limits; then writes DIR/cluster.md, .json and
      .svg, one row per node, set against the nodes of its kind, and names
      the slow, the faulty, the unlike and those that did not run. Exit
      status 3 when any is named, 4 when Slurm's controller does not answer.

  matmul-results compare OLD.json NEW.json
      Each figure's medians side by side, their ratio, a Mann-Whitney U
      p-value over the runs, and a verdict at alpha = 0.05.
"""

import argparse
import json
import os
import socket
import re
import sys
import tempfile

from . import cluster, compare, deps, fleet, libraries, machine, model, runner, stats
from .errors import PROG, Failure, say
from .export import EXPORTERS, svg, text
from .export.common import limits_text

ENVIRONMENT_VARIABLES = ("OPENBLAS_NUM_THREADS", "OPENBLAS_CORETYPE", "OMP_NUM_THREADS")


def write_atomically(path, content):
    """Writes the whole file or, on any failure, nothing."""
    directory = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(dir=directory, prefix=".matmul-results-", suffix=".tmp")
    # mkstemp's file is private; an export is read by others, as any file would be.
    mask = os.umask(0)
    os.umask(mask)
    try:
        os.fchmod(fd, 0o666 & ~mask)
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(content)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def measure(exe, count, keep_stderr=False):
    """N runs of the program and the facts around them, as a Result. With
    keep_stderr, the program's message is in the Failure, not on stderr."""
    if not os.access(exe, os.X_OK):
        raise Failure(f"{exe} not found: run ./quickstart.sh bench first", 1)
    here = os.path.dirname(os.path.abspath(exe))
    figures = []
    for i in range(1, count + 1):
        try:
            run = runner.run_program(exe, keep_stderr=keep_stderr)
        except Failure as failure:
            raise Failure(f"run {i} of {count}: {failure}", failure.status) from None
        say(f"run {i} of {count}: simple {run['simple_ms']:.1f} ms, "
            f"blas {run['blas_ms']:.1f} ms, diff {run['diff']:.6f}")
        figures.append(run)
    info = runner.run_json_tool(os.path.join(here, "matmul-bench-info"), lambda out: [],
                                "build and library facts") or {}
    say("measuring this machine's limits (matmul-limits)")
    limits = runner.run_json_tool(os.path.join(here, "matmul-limits"),
                                  lambda out: ["--json", out],
                                  "the machine's limits and the percentages")
    width = machine.kernel_width(info.get("openblas_core"))
    if limits is not None:
        limits["kernel_width_bits"] = width
    env = machine.environment(info)
    blas = machine.library(info)
    facts = (model.Machine(env["host"], env["cpu_model"], env["cores"], env["isa"]),
             model.Library("OpenBLAS", blas["version"], blas["config"], blas["core"],
                           blas["threads"]),
             model.NaiveBuild(env["naive_variant"], env["naive_variant_flags"],
                              env["naive_variants_built"]))
    runs = [model.Run({**f, **stats.derived(f["simple_ms"], f["blas_ms"], limits, width)}, *facts)
            for f in figures]
    return model.Result(program=exe, runs=runs, environment=env, openblas=blas,
                        environment_variables={k: os.environ.get(k)
                                               for k in ENVIRONMENT_VARIABLES},
                        limits=limits)


def cmd_run(args):
    exe = args.program or os.path.join(machine.ROOT, "build", "matmul-bench")
    result = measure(exe, args.runs)
    env, blas = result.environment, result.openblas
    print(f"runs: {args.runs}   CPU: {env['cpu_model']}   cores: {env['cores']}   "
          f"OPENBLAS_NUM_THREADS: {os.environ.get('OPENBLAS_NUM_THREADS', 'unset')}")
    print(f"OpenBLAS: {blas['config']} (core {blas['core']}, {blas['threads']} threads)")
    print(f"naive loop: {env['naive_variant']} build (of {env['naive_variants_built']})")
    print(f"limits: {limits_text(result.limits)}")
    print(text.table(result.summary()))
    # Everything is made before anything is written, so a failure leaves no file.
    wanted = [(args.export_json, "json"), (args.export_markdown, "markdown"), (args.plot, "svg")]
    outputs = [(path, EXPORTERS[name](result)) for path, name in wanted if path]
    for path, content in outputs:
        write_atomically(path, content)
    return 0


def cmd_libraries(args):
    exe = args.program or os.path.join(machine.ROOT, "build", "matmul-bench")
    here = os.path.dirname(os.path.abspath(exe))
    rows, limits = libraries.measure(exe, args.runs, args.threads,
                                     os.path.join(here, "matmul-limits"))
    info = next((row.info for row in rows if row.sibling.name == "OpenBLAS"), {}) or {}
    result = libraries.to_result(exe, rows, limits, info)
    if limits is not None:
        limits["kernel_width_bits"] = None  # one per library: in each run's shares
    flags = {f for f, on in result.environment["isa"].items() if on}
    comparison, warnings = libraries.lines(rows, limits, flags)
    env = result.environment
    print(f"CPU: {env['cpu_model']}   cores: {env['cores']}   naive loop: {env['naive_variant']}"
          f"   threads: {'each library its own default' if args.threads is None else args.threads}")
    print(f"limits: {limits_text(limits)}")
    print(libraries.text(comparison, warnings), end="")
    outputs = []
    if args.export_json and result.runs:
        outputs.append((args.export_json, EXPORTERS["json"](result)))
    if args.export_markdown:
        outputs.append((args.export_markdown, libraries.markdown(comparison, warnings)))
    if args.plot:
        naive = [r.figures["simple_gflops"] for r in result.runs]
        outputs.append((args.plot, svg.render_bars(comparison, limits,
                                                   stats.median(naive) if naive else None)))
    for path, content in outputs:
        write_atomically(path, content)
    failed = [row for row in rows if row.state == "failed"]
    for row in failed:
        say(f"{row.sibling.name} failed: {row.failure}")
    return failed[0].status or 1 if failed else 0


def cmd_cluster(args):
    launcher = os.path.join(machine.ROOT, "scripts", "matmul-results")
    return cluster.run(args, launcher, write_atomically)


def cmd_cluster_node(args):
    """One node's share of a cluster run, inside its Slurm job: its export,
    or its failure, written into DIR/nodes where the controller looks."""
    node = os.environ.get("SLURMD_NODENAME") or socket.gethostname()
    try:
        result = measure(args.program, args.runs, keep_stderr=True)
        here = os.path.dirname(os.path.abspath(args.program))
        result.extra["accuracy"] = runner.run_json_tool(
            os.path.join(here, "matmul-accuracy"), lambda out: ["--json", out],
            "the library's error against the exact product")
        result.extra["node"] = node
        write_atomically(cluster.node_file(args.out, node), EXPORTERS["json"](result))
        return 0
    except Failure as failure:
        write_atomically(cluster.node_file(args.out, node, "failed.json"), json.dumps(
            {"node": node, "status": failure.status, "message": str(failure)}) + "\n")
        say(str(failure))
        return failure.status


def cmd_compare(args):
    old, new = model.load(args.old), model.load(args.new)
    for line in compare.differences(old, new):
        print(f"differs: {line}")
    floor = stats.min_p(len(old.runs), len(new.runs))
    if floor > stats.ALPHA:
        print(f"too few runs for a verdict: {len(old.runs)} and {len(new.runs)} runs can "
              f"give no p-value below {floor:.3f}; at alpha = {stats.ALPHA} take 4 or more of "
              f"each")
    print(text.compare_table(compare.rows(old, new)))
    return 0


def count(value):
    if not re.fullmatch(r"[1-9][0-9]*", value):
        raise argparse.ArgumentTypeError(f"not a count of runs: {value!r}")
    return int(value)


def parse(argv):
    parser = argparse.ArgumentParser(prog=PROG, description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    run = sub.add_parser("run", help="run the benchmark N times and summarise it")
    # [N] [PROGRAM], anywhere among the options.
    run.add_argument("positional", nargs="*", metavar="[N] [PROGRAM]")
    run.add_argument("--export-json", metavar="FILE")
    run.add_argument("--export-markdown", metavar="FILE")
    run.add_argument("--plot", metavar="FILE.svg", help="the roofline, as SVG")
    libs = sub.add_parser("libraries", help="every CBLAS library's sibling, side by side")
    libs.add_argument("positional", nargs="*", metavar="[N] [PROGRAM]")
    libs.add_argument("--threads", type=count, metavar="T",
                      help="set every library's own thread variable to T")
    libs.add_argument("--export-json", metavar="FILE")
    libs.add_argument("--export-markdown", metavar="FILE")
    libs.add_argument("--plot", metavar="FILE.svg", help="GFLOP/s per library, as SVG")
    clu = sub.add_parser("cluster", help="every node of a Slurm cluster, one report")
    clu.add_argument("positional", nargs="*", metavar="[N] [PROGRAM]")
    clu.add_argument("--partition", metavar="P")
    clu.add_argument("--nodes", metavar="LIST", help="Slurm host list, e.g. n[1-8],m3")
    clu.add_argument("--out", metavar="DIR", help="where the nodes' exports and the report go")
    clu.add_argument("--resume", metavar="DIR", help="finish the run in DIR")
    clu.add_argument("--sbatch-arg", action="append", default=[], metavar="ARG",
                     help="passed to sbatch as one argument (repeatable)")
    clu.add_argument("--max-queued", type=count, default=100, metavar="J",
                     help="jobs of this run in the queue at once (default 100)")
    clu.add_argument("--time-limit", default="30", metavar="MINUTES",
                     help="each job's Slurm time limit (default 30)")
    clu.add_argument("--poll", type=float, default=5.0, metavar="S",
                     help="seconds between readings of the queue (default 5)")
    clu.add_argument("--controller-wait", type=float, default=120.0, metavar="S",
                     help="how long a controller that stops answering is waited for (default 120)")
    clu.add_argument("--slow-mads", type=float, default=fleet.SLOW_MADS, metavar="K")
    clu.add_argument("--slow-percent", type=float, default=fleet.SLOW_PERCENT, metavar="P")
    clu.add_argument("--no-plot", action="store_true", help="no SVG chart")
    node = sub.add_parser("cluster-node", help=argparse.SUPPRESS)
    node.add_argument("--out", required=True)
    node.add_argument("runs", type=count)
    node.add_argument("program")
    cmp = sub.add_parser("compare", help="compare two exports")
    cmp.add_argument("old", metavar="OLD.json")
    cmp.add_argument("new", metavar="NEW.json")
    # argparse takes one run of positionals; [N] and PROGRAM may stand apart.
    args, extras = parser.parse_known_args(argv)
    if args.command == "compare" and extras:
        parser.error(f"unrecognized arguments: {' '.join(extras)}")
    if args.command == "cluster-node" and extras:
        parser.error(f"unrecognized arguments: {' '.join(extras)}")
    if args.command in ("run", "libraries", "cluster"):
        sub_parser = {"run": run, "libraries": libs, "cluster": clu}[args.command]
        unknown = [x for x in extras if x.startswith("-")]
        if unknown:
            sub_parser.error(f"unrecognized arguments: {' '.join(unknown)}")
        args.positional += extras
        if len(args.positional) > 2:
            sub_parser.error(f"unrecognized arguments: {' '.join(args.positional[2:])}")
        # N is optional: a lone path (one that exists, or names a folder)
        # is the program.
        lone = args.positional[0] if len(args.positional) == 1 else ""
        if not lone.isdigit() and (os.sep in lone or os.path.exists(lone)):
            args.positional.insert(0, "5")
        try:
            args.runs = count(args.positional[0]) if args.positional else 5
        except argparse.ArgumentTypeError as e:
            sub_parser.error(str(e))
        args.program = args.positional[1] if len(args.positional) > 1 else None
    if args.command == "cluster":
        if bool(args.out) == bool(args.resume):
            clu.error("give --out DIR for a new run or --resume DIR, one of them")
        if args.resume and (args.positional or args.partition or args.nodes or args.sbatch_arg):
            clu.error("--resume takes what the run in DIR asked for: no N, PROGRAM, --partition, "
                      "--nodes or --sbatch-arg")
        if args.slow_mads < 0 or not 0 <= args.slow_percent < 100 or args.poll <= 0:
            clu.error("--slow-mads, --slow-percent (0 to 100) and --poll must not be negative")
        args.program = args.program or os.path.join(machine.ROOT, "build", "matmul-bench")
    for option in ("export_json", "export_markdown", "plot"):
        if getattr(args, option, "x") == "":
            parser.error(f"--{option.replace('_', '-')} needs a file name")
    return args


def main(argv):
    args = parse(argv)
    try:
        commands = {"run": cmd_run, "libraries": cmd_libraries, "compare": cmd_compare,
                    "cluster": cmd_cluster, "cluster-node": cmd_cluster_node}
        return commands[args.command](args)
    except Failure as failure:
        say(str(failure))
        return failure.status
    except BrokenPipeError:
        return 141


def reexec_with_system_python(script):
    """compare and libraries need SciPy, which Debian's python3 has as python3-scipy; a
    python3 of one's own on PATH (pyenv, a venv) may not see it."""
    system = "/usr/bin/python3"
    if (os.path.realpath(sys.executable) == os.path.realpath(system)
            or not os.access(system, os.X_OK) or os.environ.get("MATMUL_RESULTS_REEXEC")):
        return
    if not deps.have_module("scipy.stats"):
        os.environ["MATMUL_RESULTS_REEXEC"] = "1"
        os.execv(system, [system, os.path.abspath(script), *sys.argv[1:]])


def entry(script):
    """The command: `script` is the launcher's own path, for the re-exec."""
    if len(sys.argv) > 1 and sys.argv[1] in ("compare", "libraries"):
        reexec_with_system_python(script)
    sys.exit(main(sys.argv[1:]))
