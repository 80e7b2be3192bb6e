"""matmul-results: matmul-bench's figures, repeated, summarised and set
against this machine's own limits; libraries and cluster nodes side by
side; and two results compared. COMMANDS below says how to call each."""

import argparse
import json
import os
import re
import socket
import sys
import tempfile
import time

from . import (check, cluster, compare, deps, fleet, history, importer, libraries, machine,
               measure, model, problem, references, runner, stats)
from .errors import PROG, Failure, say
from .export import EXPORTERS, prometheus, svg, text
from .export import table as tables
from .export.common import limits_text
from .store import Store


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


def library_line(library):
    """The library that ran, as the run's header names it."""
    return (f"library: {library.name or 'unknown'} {library.version or ''} "
            f"({library.config or 'no configuration reported'}); kernels "
            f"{library.core or 'unknown'}, {library.threads or 'unknown'} threads")


def write_exports(wanted):
    """Renders each (path, render) and writes those that rendered, each whole
    or not at all: one export that cannot be made costs no other. Returns the
    first failure's status, or 0."""
    status = 0
    outputs = []
    for path, render in wanted:
        try:
            outputs.append((path, render()))
        except Failure as failure:
            say(f"{path} not written: {failure}")
            status = status or failure.status
    for path, content in outputs:
        write_atomically(path, content)
    return status


def faults(result):
    """A line for each run whose diff is beyond the bound or not a number."""
    return [f"warning: run {i} of {len(result.runs)}: diff {run.figures['diff']:.6f} is beyond "
            f"the bound {problem.DIFF_BOUND:.4f}: the two products disagree, a fault"
            for i, run in enumerate(result.runs, 1) if problem.diff_is_fault(run.figures["diff"])]


def cmd_run(args):
    exe = args.program or os.path.join(machine.ROOT, "build", "matmul-bench")
    result = measure.program(exe, args.runs, measure.limits_tool_beside(exe),
                             timeout=args.timeout)
    env, library = result.environment, result.runs[0].library
    threads = ", ".join(f"{k}: {v or 'unset'}" for k, v in result.environment_variables.items())
    print(f"runs: {args.runs}   CPU: {env['cpu_model']}   cores: {env['cores']}   {threads}")
    print(library_line(library))
    print(f"naive loop: {env['naive_variant']} build (of {env['naive_variants_built']})")
    print(f"limits: {limits_text(result.limits)}")
    print(text.table(result.summary()))
    warnings = faults(result)
    for line in warnings:
        print(line)
    wanted = [(args.export_json, "json"), (args.export_markdown, "markdown"), (args.plot, "svg")]
    exports = [(path, lambda name=name: EXPORTERS[name](result)) for path, name in wanted if path]
    if args.export_prometheus:
        exports.append((args.export_prometheus, lambda: prometheus.render(
            [fleet.alone(check.own_name(), result)], {check.own_name(): time.time()})))
    status = write_exports(exports)
    if args.store:
        with Store(args.store) as store:
            run_id, _ = importer.add_result(store, result, EXPORTERS["json"](result), "run",
                                            os.path.abspath(exe))
        print(f"stored as run {run_id} in {args.store}")
    return status or (fleet.EXIT_FLAGGED if warnings else 0)


def cmd_check(args):
    return check.run(args, write_atomically)


def cmd_libraries(args):
    exe = args.program or os.path.join(machine.ROOT, "build", "matmul-bench")
    rows, samples = libraries.measure_all(exe, args.runs, args.threads,
                                      measure.limits_tool_beside(exe), timeout=args.timeout)
    result = libraries.to_result(exe, rows, samples)
    limits = result.limits
    flags = {f for f, on in result.environment["isa"].items() if on}
    comparison, warnings = libraries.lines(rows, flags)
    env = result.environment
    print(f"CPU: {env['cpu_model']}   cores: {env['cores']}   naive loop: {env['naive_variant']}"
          f"   threads: {'each library its own default' if args.threads is None else args.threads}")
    print(f"limits: {limits_text(limits)}")
    print(libraries.text(comparison, warnings), end="")
    wanted = []
    if args.export_json and result.runs:
        wanted.append((args.export_json, lambda: EXPORTERS["json"](result)))
    if args.export_markdown:
        wanted.append((args.export_markdown, lambda: libraries.markdown(comparison, warnings)))
    if args.plot:
        naive = [r.figures["simple_gflops"] for r in result.runs]
        wanted.append((args.plot, lambda: svg.render_bars(
            comparison, limits, stats.median(naive) if naive else None)))
    status = write_exports(wanted)
    failed = [row for row in rows if row.state == "failed"]
    for row in failed:
        say(f"{row.sibling.name} failed: {row.failure}")
    return (failed[0].status or 1) if failed else status


def cmd_cluster(args):
    launcher = os.path.join(machine.ROOT, "scripts", "matmul-results")
    # Whatever would refuse the report is refused before any job runs.
    args.references = references.load(args.reference) if args.reference else None
    if args.store:
        with Store(args.store) as store:
            history.check_baseline(store, history.parse_baseline(args.baseline))
    return cluster.run(args, launcher, write_atomically)


def cmd_history(args):
    with Store(args.store, create=False) as store:
        if args.node:
            series = {f"node {args.node}": history.node_series(store, args.node)}
        elif args.group:
            series = {f"group {args.group}": history.group_series_for_history(store, args.group)}
        else:
            series = {f"group {g}": history.group_series_for_history(store, g)
                      for g in history.groups_in(store)}
            if not series:
                raise Failure(f"{args.store} holds no run yet", 2)
    for title, entries in series.items():
        print(f"{title}: {len(entries)} runs")
        print(tables.text(history.HEADER, history.series_rows(entries), right={0, 2, 3, 4, 5}))
    if args.plot:
        if len(series) != 1:
            raise Failure("--plot draws one series: give --node NAME or --group G", 2)
        (title, entries), = series.items()
        return write_exports([(args.plot, lambda: svg.render_history(
            f"matmul-bench history of {title}", entries))])
    return 0


def cmd_store(args):
    status = 0
    with Store(args.store) as store:
        for source in args.sources:
            try:
                for line in importer.import_path(store, source):
                    print(line)
            except Failure as failure:
                say(str(failure))
                status = status or failure.status
    return status


def cmd_cluster_node(args):
    """One node's share of a cluster run, inside its Slurm job: its export,
    or its failure, written into DIR/nodes where the controller looks."""
    node = os.environ.get("SLURMD_NODENAME") or socket.gethostname()
    os.makedirs(os.path.join(args.out, "nodes"), exist_ok=True)
    try:
        result = measure.program(args.program, args.runs,
                                 measure.limits_tool_beside(args.program), keep_stderr=True,
                                 timeout=args.timeout)
        here = os.path.dirname(os.path.abspath(args.program))
        name = os.path.basename(args.program)
        suffix = name[len("matmul-bench"):] if name.startswith("matmul-bench") else ""
        result.extra["accuracy"] = runner.run_json_tool(
            os.path.join(here, "matmul-accuracy" + suffix), lambda out: ["--json", out],
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


def share(value):
    if not re.fullmatch(r"[0-9]+", value):
        raise argparse.ArgumentTypeError(f"not a count of nodes: {value!r}")
    return int(value)


def seconds(value):
    try:
        number = float(value)
    except ValueError:
        number = -1.0
    if not 0 < number < 1e6:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {value!r}")
    return number


# Each command's usage and what it does: its --help, and the tool's.
COMMANDS = {
    "run": ("matmul-results run [N] [--export-json F] [--export-markdown F] [--plot F.svg] "
            "[--store FILE] [--export-prometheus F.prom] [--timeout S] [PROGRAM]",
            "Runs PROGRAM (default build/matmul-bench) N times (default 5). After each run, "
            "the limits probe beside it (matmul-limits) streams memory and runs the compute "
            "roofs for about as long as that run's multiplies took, so that each run is set "
            "against roofs of its own round, and the summary's shares are medians of those "
            "paired shares. Prints min / median / max of every figure and the library that "
            "ran, as its info tool (PROGRAM-info) names it; exports JSON, Markdown and a "
            "roofline SVG once every run succeeded (one export that cannot be made costs no "
            "other); --store adds the run to a results store. Exit status 3 when a run's "
            "diff is beyond the bound."),
    "libraries": ("matmul-results libraries [N] [--threads T] [--export-json F] "
                  "[--export-markdown F] [--plot F.svg] [--timeout S] [PROGRAM]",
                  "Runs PROGRAM and each sibling built beside it against another CBLAS "
                  "library (PROGRAM-blis, -atlas, -reference) N times each (default 5), "
                  "interleaved, each round followed by the limits probe, and prints one row "
                  "per library: its version, kernels and threads, its times, rates and "
                  "shares of the peak at its own threads, and how it compares with OpenBLAS."),
    "cluster": ("matmul-results cluster [--partition P] [--nodes LIST] [N] --out DIR "
                "[--sbatch-arg ARG]... [--max-queued J] [--time-limit M] [--poll S] "
                "[--controller-wait S] [--slow-mads K] [--slow-percent P] [--timeout S] "
                "[--store FILE [--baseline last|RUN|median:N] [--regress-mads K] "
                "[--regress-percent P]] [--reference FILE] [--confirm] [--no-plot]\n"
                "       [--drain | --drain-dry-run] [--drain-max N] [--export-prometheus F.prom] "
                "[--export-junit F.xml] [PROGRAM]"
                "\n       matmul-results cluster --retest-drained [--partition P] [--nodes LIST] "
                "[N] --out DIR [options] [PROGRAM]"
                "\n       matmul-results cluster --resume DIR [options of the report]"
                "\n       matmul-results cluster --report DIR [options of the report]",
                "Runs PROGRAM N times (default 5) on every node of the partition (or of "
                "LIST), one Slurm job per node with the node to itself, each node set "
                "against its own limits; then writes DIR/cluster.md, .json and .svg, one "
                "row per node, set against the nodes of its kind, and names the slow, the "
                "faulty, the unlike and those that did not run. Exit status 3 when any is "
                "named, 5 when a group's median fell against its own history (a fleet "
                "regression), 4 when Slurm's controller does not answer, 130 when "
                "interrupted. --store adds the run to a results store and sets each node and "
                "group against its history there; --reference sets each node against a "
                "site's lower bounds; --confirm runs each node flagged slow or regressed once "
                "more before the report; --report DIR writes the report again from "
                "DIR/nodes alone, without Slurm. --drain drains each node found slow, "
                "regressed, below reference or faulty, with a reason that starts \"mmb:\" "
                "and its key fact, never one that someone else drained, downed or reserved, "
                "and at most --drain-max nodes (default 5 % of the nodes, at least one); "
                "--drain-dry-run prints the commands instead. --retest-drained runs the nodes "
                "this tool drained again, inside a maintenance reservation of this user's, "
                "beside their peers, returns those that pass and drains the others again."),
    "check": ("matmul-results check [N] [--reference FILE] [--baseline-store FILE] "
              "[--baseline last|RUN|median:N] [--drain] [--return-passed] [--drain-max N] "
              "[--node NAME] [--budget S] [--export-prometheus F.prom] [PROGRAM]",
              "This node's own health check, for Slurm's HealthCheckProgram or NHC: runs "
              "PROGRAM N times (default 1) with the limits probe, sets the figures against "
              "the site's reference and the node's own history in the store, and prints one "
              "line: ok, or the failing fact with its value and bound. Exit status 0 when it "
              "passes, 1 when it fails, 2 when it cannot check as asked. --drain drains this "
              "node when it fails (the cluster mode's reason and rules); --return-passed "
              "returns it when it passes and the drain reason is this tool's."),
    "history": ("matmul-results history STORE [--node NAME | --group G] [--plot F.svg]",
                "One row per stored run, oldest first: the node's medians (or the group's "
                "median of its nodes' medians), the change against the run before, what "
                "changed in the configuration, and the flags; --plot draws the series as SVG "
                "with the flagged runs marked."),
    "store": ("matmul-results store import STORE PATH...",
              "Adds exports written before to the store: a cluster folder (DIR with "
              "nodes/*.json) as one run, a run's export (FILE.json) as one run, a folder of "
              "exports as one run each. What the store holds already is not added again."),
    "compare": ("matmul-results compare OLD.json NEW.json",
                "Each figure's medians side by side, their ratio, a Mann-Whitney U p-value "
                "over the runs, and a verdict at alpha = 0.05."),
}


def history_ok(parser, args):
    if args.regress_mads < 0 or not 0 <= args.regress_percent < 100:
        parser.error("--regress-mads and --regress-percent (0 to 100) must not be negative")
    try:
        history.parse_baseline(args.baseline)
    except ValueError as e:
        parser.error(str(e))


def parse(argv):
    parser = argparse.ArgumentParser(
        prog=PROG, description=__doc__.split("\n\n")[0],
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="\n\n".join(f"{usage}\n  {what}" for usage, what in COMMANDS.values()))
    sub = parser.add_subparsers(dest="command", required=True)

    def command(name, short):
        usage, what = COMMANDS[name]
        return sub.add_parser(name, help=short, usage=usage, description=what,
                              formatter_class=argparse.ArgumentDefaultsHelpFormatter)

    def measuring(p, plot_help):
        # [N] [PROGRAM], anywhere among the options.
        p.add_argument("positional", nargs="*", metavar="[N] [PROGRAM]",
                       help="runs (default 5) and the program (default build/matmul-bench)")
        p.add_argument("--export-json", metavar="FILE", help="every run, as JSON")
        p.add_argument("--export-markdown", metavar="FILE", help="the summary, as Markdown")
        p.add_argument("--plot", metavar="FILE.svg", help=plot_help)
        p.add_argument("--timeout", type=seconds, default=runner.RUN_TIMEOUT, metavar="S",
                       help="seconds one run may take before it is killed and fails")

    def against_history(p):
        p.add_argument("--baseline", default=history.DEFAULT_BASELINE,
                       metavar="last|RUN|median:N",
                       help="what each node is set against in the store: its last run, the "
                            "run of that id, or the median of its last N runs")
        p.add_argument("--regress-mads", type=float, default=history.REGRESS_MADS,
                       metavar="K",
                       help="regressed: below its baseline by more than K MADs of its "
                            "history ...")
        p.add_argument("--regress-percent", type=float, default=history.REGRESS_PERCENT,
                       metavar="P", help="... and by more than P %%")

    run = command("run", "run the benchmark N times and summarise it")
    measuring(run, "the roofline, as SVG (needs gnuplot)")
    run.add_argument("--store", metavar="FILE", help="add the run to this results store")
    run.add_argument("--export-prometheus", metavar="FILE.prom",
                     help="the figures in Prometheus's text format, for node_exporter")
    libs = command("libraries", "every CBLAS library's sibling, side by side")
    measuring(libs, "GFLOP/s per library, as SVG (needs gnuplot)")
    libs.add_argument("--threads", type=count, metavar="T",
                      help="set every library's own thread variable to T (default: each "
                           "library's own default)")
    clu = command("cluster", "every node of a Slurm cluster, one report")
    clu.add_argument("positional", nargs="*", metavar="[N] [PROGRAM]",
                     help="runs per node (default 5) and the program (default "
                          "build/matmul-bench), on a filesystem every node sees")
    clu.add_argument("--partition", metavar="P", help="Slurm partition (default: Slurm's)")
    clu.add_argument("--nodes", metavar="LIST", help="Slurm host list, e.g. n[1-8],m3")
    clu.add_argument("--out", metavar="DIR", help="where the nodes' exports and the report go")
    clu.add_argument("--resume", metavar="DIR", help="finish the run in DIR")
    clu.add_argument("--sbatch-arg", action="append", default=[], metavar="ARG",
                     help="passed to sbatch as one argument (repeatable)")
    clu.add_argument("--max-queued", type=count, default=100, metavar="J",
                     help="jobs of this run in the queue at once")
    clu.add_argument("--time-limit", default="30", metavar="MINUTES",
                     help="each job's Slurm time limit")
    clu.add_argument("--poll", type=float, default=5.0, metavar="S",
                     help="seconds between readings of the queue")
    clu.add_argument("--controller-wait", type=float, default=120.0, metavar="S",
                     help="how long a controller that stops answering is waited for")
    clu.add_argument("--slow-mads", type=float, default=fleet.SLOW_MADS, metavar="K",
                     help="slow: below the group's median by more than K MADs ...")
    clu.add_argument("--slow-percent", type=float, default=fleet.SLOW_PERCENT, metavar="P",
                     help="... and by more than P %%")
    clu.add_argument("--timeout", type=seconds, default=runner.RUN_TIMEOUT, metavar="S",
                     help="seconds one run may take on a node before it is killed and fails")
    clu.add_argument("--no-plot", action="store_true", help="no SVG chart")
    clu.add_argument("--report", metavar="DIR", help="write the report again from DIR/nodes "
                                                     "alone, without Slurm")
    clu.add_argument("--store", metavar="FILE", help="the results store (SQLite) to add the run "
                                                    "to and to take each history from")
    against_history(clu)
    clu.add_argument("--reference", metavar="FILE",
                     help="a site's lower bounds per group or node list (TOML, or JSON)")
    clu.add_argument("--confirm", action="store_true",
                     help="run each node flagged slow or regressed once more, as one more job, "
                          "before the report")
    clu.add_argument("--drain", action="store_true",
                     help="drain each node found slow, regressed, below reference or faulty")
    clu.add_argument("--drain-dry-run", action="store_true",
                     help="print the drain commands exactly, and run none")
    clu.add_argument("--drain-max", type=share, metavar="N",
                     help="drain at most N nodes in one run (default: 5 %% of the nodes, at "
                          "least 1)")
    clu.add_argument("--retest-drained", action="store_true",
                     help="run the nodes this tool drained again, in a reservation of their "
                          "own, and return those that pass")
    clu.add_argument("--export-prometheus", metavar="FILE.prom",
                     help="every node's figures and findings in Prometheus's text format")
    clu.add_argument("--export-junit", metavar="FILE.xml",
                     help="one JUnit test case per node")
    chk = command("check", "this node's health check, for Slurm or NHC")
    chk.add_argument("positional", nargs="*", metavar="[N] [PROGRAM]",
                     help="runs (default 1) and the program (default build/matmul-bench)")
    chk.add_argument("--reference", metavar="FILE",
                     help="the site's lower bounds per group or node list (TOML, or JSON)")
    chk.add_argument("--baseline-store", metavar="FILE",
                     help="the results store that holds this node's history")
    against_history(chk)
    chk.add_argument("--drain", action="store_true", help="drain this node when it fails")
    chk.add_argument("--return-passed", action="store_true",
                     help="return this node when it passes and the drain reason is ours")
    chk.add_argument("--drain-max", type=share, metavar="N",
                     help="drain it only while this tool has drained fewer than N nodes "
                          "(default: 5 %% of Slurm's nodes, at least 1)")
    chk.add_argument("--node", metavar="NAME",
                     help="this node's Slurm name (default: SLURMD_NODENAME, or the short "
                          "host name)")
    chk.add_argument("--budget", type=seconds, default=check.BUDGET, metavar="S",
                     help="seconds the whole check may take (Slurm stops one at 60)")
    chk.add_argument("--export-prometheus", metavar="FILE.prom",
                     help="the figures in Prometheus's text format, for node_exporter")
    node = sub.add_parser("cluster-node", help=argparse.SUPPRESS)
    node.add_argument("--out", required=True)
    node.add_argument("--timeout", type=seconds, default=runner.RUN_TIMEOUT)
    node.add_argument("runs", type=count)
    node.add_argument("program")
    hist = command("history", "a node's or a group's stored runs, as a trend")
    hist.add_argument("store", metavar="STORE", help="the results store")
    which = hist.add_mutually_exclusive_group()
    which.add_argument("--node", metavar="NAME", help="this node's runs")
    which.add_argument("--group", metavar="G", help="this group's medians (as the report "
                                                    "names it)")
    hist.add_argument("--plot", metavar="FILE.svg", help="the series, as SVG (needs gnuplot)")
    sto = command("store", "add exports written before to a results store")
    sto.add_argument("action", choices=["import"], help="what to do: import")
    sto.add_argument("store", metavar="STORE", help="the results store (made if missing)")
    sto.add_argument("sources", nargs="+", metavar="PATH", help="cluster folders or exports")
    cmp = command("compare", "compare two exports")
    cmp.add_argument("old", metavar="OLD.json", help="the earlier export")
    cmp.add_argument("new", metavar="NEW.json", help="the later export")
    # argparse takes one run of positionals; [N] and PROGRAM may stand apart.
    args, extras = parser.parse_known_args(argv)
    if args.command in ("compare", "history", "store") and extras:
        parser.error(f"unrecognized arguments: {' '.join(extras)}")
    if args.command == "cluster-node" and extras:
        parser.error(f"unrecognized arguments: {' '.join(extras)}")
    if args.command in ("run", "libraries", "cluster", "check"):
        sub_parser = {"run": run, "libraries": libs, "cluster": clu, "check": chk}[args.command]
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
            args.positional.insert(0, str(check.RUNS if args.command == "check" else 5))
        try:
            args.runs = count(args.positional[0]) if args.positional else (
                check.RUNS if args.command == "check" else 5)
        except argparse.ArgumentTypeError as e:
            sub_parser.error(str(e))
        args.program = args.positional[1] if len(args.positional) > 1 else None
    if args.command == "cluster":
        if sum(map(bool, (args.out, args.resume, args.report))) != 1:
            clu.error("give --out DIR for a new run, --resume DIR or --report DIR, one of them")
        if (args.resume or args.report) and (args.positional or args.partition or args.nodes
                                             or args.sbatch_arg):
            clu.error("--resume and --report take what the run in DIR asked for: no N, "
                      "PROGRAM, --partition, --nodes or --sbatch-arg")
        if args.report and (args.confirm or args.drain or args.drain_dry_run
                            or args.retest_drained):
            clu.error("--confirm, --drain and --retest-drained need Slurm: --report DIR "
                      "reads none")
        if args.drain and args.drain_dry_run:
            clu.error("--drain drains, --drain-dry-run only prints: give one of them")
        if args.retest_drained and (args.resume or args.drain_dry_run):
            clu.error("--retest-drained resumes nodes: it is neither resumed nor a dry run")
        if args.slow_mads < 0 or not 0 <= args.slow_percent < 100 or args.poll <= 0:
            clu.error("--slow-mads, --slow-percent (0 to 100) and --poll must not be negative")
        history_ok(clu, args)
        args.program = args.program or os.path.join(machine.ROOT, "build", "matmul-bench")
    if args.command == "check":
        history_ok(chk, args)
        if args.budget >= 60:
            chk.error("--budget must stay below the 60 s that Slurm gives a health check")
        args.program = args.program or os.path.join(machine.ROOT, "build", "matmul-bench")
    for option in ("export_json", "export_markdown", "plot", "store", "reference", "report",
                   "export_prometheus", "export_junit", "baseline_store"):
        if getattr(args, option, "x") == "":
            parser.error(f"--{option.replace('_', '-')} needs a file name")
    return args


def main(argv):
    args = parse(argv)
    try:
        commands = {"run": cmd_run, "libraries": cmd_libraries, "compare": cmd_compare,
                    "cluster": cmd_cluster, "cluster-node": cmd_cluster_node,
                    "history": cmd_history, "store": cmd_store, "check": cmd_check}
        return commands[args.command](args)
    except Failure as failure:
        say(str(failure))
        return failure.status
    except BrokenPipeError:
        return 141
    except KeyboardInterrupt:
        return 130
    except OSError as e:
        # A file of the user's that cannot be written: said, not a traceback.
        say(f"{e.filename or ''}: {e.strerror or e}" if e.filename else str(e))
        return 1


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
