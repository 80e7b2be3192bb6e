"""A real Slurm on this machine for the cluster tests: its own munged, one
slurmctld and one slurmd per emulated node (slurmd -N NAME, each with its
own port, spool and log), all in the foreground of processes this module
started, stopped by their pids, their folder removed afterwards.

Needs root (slurmd runs jobs as their users, munged guards its key) and
Debian's slurm-wlm and munge. `why_not()` says what is missing."""

import ctypes
import os
import pathlib
import shutil
import signal
import socket
import subprocess
import tempfile
import time

import pytest

DAEMONS = ("munged", "mungekey", "slurmctld", "slurmd", "sbatch", "squeue", "sinfo", "scontrol",
           "scancel")


def why_not():
    if os.geteuid() != 0:
        return "needs root: slurmd and munged run as root here"
    missing = [d for d in DAEMONS if not (shutil.which(d) or os.path.exists(f"/usr/sbin/{d}"))]
    if missing:
        return f"Slurm or munge not installed ({', '.join(missing)}; Debian: slurm-wlm munge)"
    return None


def own_tmp_path(prefix):
    """A tmp_path fixture whose folder is removed after each test: the jobs'
    programs read their figures there, and pytest keeps its own folders for
    a while."""
    @pytest.fixture
    def tmp_path():
        folder = tempfile.mkdtemp(prefix=prefix)
        yield pathlib.Path(folder)
        shutil.rmtree(folder, ignore_errors=True)
    return tmp_path


def _program(name):
    return shutil.which(name) or f"/usr/sbin/{name}"


def _free_port_base(count):
    """A run of `count` + 1 free TCP ports: the controller's, then the nodes'."""
    for _ in range(50):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            base = s.getsockname()[1]
        if base + count + 1 >= 65535:
            continue
        ok = True
        for port in range(base, base + count + 1):
            with socket.socket() as s:
                try:
                    s.bind(("127.0.0.1", port))
                except OSError:
                    ok = False
                    break
        if ok:
            return base
    raise RuntimeError("no run of free ports")


class SlurmCluster:
    """with SlurmCluster(["n1", "n2"]) as c: ... c.env is what Slurm's
    commands need (SLURM_CONF); c.stop_node("n2") kills one slurmd."""

    def __init__(self, nodes, partition="test", timeout=60, cpus=None):
        self.nodes = list(nodes)
        self.cpus = dict(cpus or {})  # {node: CPUs configured}, 2 for any other
        self.partition = partition
        self.timeout = timeout
        self.procs = {}  # name: Popen
        # Short: munge's socket path must fit in a sockaddr_un.
        self.dir = tempfile.mkdtemp(prefix="mmslurm-", dir="/tmp")
        self.env = dict(os.environ, SLURM_CONF=os.path.join(self.dir, "slurm.conf"))

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def _start(self, name, argv):
        log = open(self.path(f"{name}.stdout"), "wb")
        self.procs[name] = subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT,
                                            env=self.env, start_new_session=True)
        log.close()

    def _config(self):
        host = socket.gethostname()
        base = _free_port_base(len(self.nodes))
        self.controller_port = base
        lines = [
            "ClusterName=mmtest", f"SlurmctldHost={host}", f"SlurmctldPort={base}",
            "SlurmUser=root", "SlurmdUser=root",
            "AuthType=auth/munge", f"AuthInfo=socket={self.path('munge.sock')}",
            "CredType=cred/munge",
            "ProctrackType=proctrack/linuxproc", "TaskPlugin=task/none",
            "SwitchType=switch/none", "MpiDefault=none", "JobAcctGatherType=jobacct_gather/none",
            "AccountingStorageType=accounting_storage/none", "JobCompType=jobcomp/none",
            "SelectType=select/linear",
            f"StateSaveLocation={self.path('state')}",
            f"SlurmdSpoolDir={self.path('spool', '%n')}",
            f"SlurmctldPidFile={self.path('slurmctld.pid')}",
            f"SlurmdPidFile={self.path('slurmd-%n.pid')}",
            f"SlurmctldLogFile={self.path('slurmctld.log')}",
            f"SlurmdLogFile={self.path('slurmd-%n.log')}",
            # A node whose slurmd stops is marked down within seconds.
            "SlurmdTimeout=10", "SlurmctldTimeout=10", "MessageTimeout=5",
            "ReturnToService=2", "InactiveLimit=0", "KillWait=2", "MinJobAge=600",
            "SchedulerParameters=sched_interval=1",
        ]
        for i, node in enumerate(self.nodes):
            lines.append(f"NodeName={node} NodeHostname={host} NodeAddr=127.0.0.1 "
                         f"CPUs={self.cpus.get(node, 2)} "
                         f"Port={base + 1 + i} State=UNKNOWN")
        lines.append(f"PartitionName={self.partition} Nodes={','.join(self.nodes)} Default=YES "
                     f"MaxTime=INFINITE State=UP")
        with open(self.env["SLURM_CONF"], "w", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")

    def __enter__(self):
        # slurmd's job steps leave their parent; as a subreaper this process
        # inherits them and reaps them at the end, rather than leave zombies.
        ctypes.CDLL(None, use_errno=True).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
        try:
            for sub in ("state", "spool", "munge"):
                os.makedirs(self.path(sub), mode=0o700)
            for node in self.nodes:
                os.makedirs(self.path("spool", node), mode=0o700)
            key = self.path("munge", "munge.key")
            subprocess.run([_program("mungekey"), "--create", f"--keyfile={key}"], check=True,
                           capture_output=True, timeout=30)
            self._start("munged", [_program("munged"), "--foreground", "--force",
                                   f"--socket={self.path('munge.sock')}", f"--key-file={key}",
                                   f"--pid-file={self.path('munge', 'munged.pid')}",
                                   f"--log-file={self.path('munge', 'munged.log')}",
                                   f"--seed-file={self.path('munge', 'munged.seed')}"])
            self._wait(lambda: os.path.exists(self.path("munge.sock")), "munged's socket")
            self._config()
            self._start("slurmctld", [_program("slurmctld"), "-D", "-i"])
            self._wait(lambda: self.run(["scontrol", "ping"]).returncode == 0,
                       "slurmctld to answer")
            for node in self.nodes:
                self.start_node(node)
            self._wait(lambda: self.idle() == set(self.nodes), "every node idle")
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def stop_controller(self):
        proc = self.procs.pop("slurmctld")
        proc.send_signal(signal.SIGTERM)
        proc.wait(timeout=30)

    def start_controller(self):
        self._start("slurmctld", [_program("slurmctld"), "-D", "-i"])
        self._wait(lambda: self.run(["scontrol", "ping"]).returncode == 0, "slurmctld to answer")

    def start_node(self, node):
        self._start(f"slurmd-{node}", [_program("slurmd"), "-D", "-N", node])

    def stop_node(self, node):
        """Kills a node's slurmd outright, as a crash would."""
        proc = self.procs.pop(f"slurmd-{node}")
        proc.send_signal(signal.SIGKILL)
        proc.wait(timeout=30)

    def run(self, argv, timeout=30):
        return subprocess.run(argv, capture_output=True, text=True, env=self.env,
                              timeout=timeout)

    def settle(self, seconds=60):
        """Waits for every job to end (all are the tests'), cancels any
        left after `seconds`, and waits for every node to be idle again."""
        active = "--states=PENDING,RUNNING,CONFIGURING,COMPLETING,SUSPENDED"
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if not self.run(["squeue", "--noheader", active, "--format=%i"]).stdout.split():
                break
            time.sleep(0.3)
        else:
            jobs = self.run(["squeue", "--noheader", active, "--format=%i"]).stdout.split()
            if jobs:
                self.run(["scancel", *jobs])
        self._wait(lambda: self.idle() == set(self.nodes), "every node idle again")

    def status(self):
        """The queue and the nodes, and the controller's log's end, for a
        failure's message."""
        queue = self.run(["squeue", "--states=all", "--format=%i %j %T %R %N"]).stdout
        nodes = self.run(["sinfo", "--Node", "--format=%N %T %E"]).stdout
        with open(self.path("slurmctld.log"), encoding="utf-8", errors="replace") as f:
            log = f.read()[-3000:]
        return f"--- squeue\n{queue}--- sinfo\n{nodes}--- slurmctld.log\n{log}"

    def idle(self):
        out = self.run(["sinfo", "--noheader", "--Node", "--format=%N %T"]).stdout.split("\n")
        return {line.split()[0] for line in out if line.split() and line.split()[1] == "idle"}

    def _wait(self, ready, what):
        deadline = time.monotonic() + self.timeout
        while time.monotonic() < deadline:
            try:
                if ready():
                    return
            except (OSError, subprocess.SubprocessError):
                pass
            dead = [n for n, p in self.procs.items() if p.poll() is not None]
            if dead:
                break
            time.sleep(0.3)
        raise RuntimeError(f"Slurm test cluster: no {what} within {self.timeout} s; "
                           f"exited: {dead}\n{self.logs()}")

    def logs(self):
        out = []
        for name in sorted(os.listdir(self.dir)):
            if name.endswith((".log", ".stdout")):
                with open(self.path(name), encoding="utf-8", errors="replace") as f:
                    out.append(f"--- {name}\n{f.read()[-1500:]}")
        return "\n".join(out)

    def __exit__(self, *exc):
        # Jobs first (all of this cluster's are the test's), then the
        # daemons, each by the pid this module got, then the files.
        if "slurmctld" in self.procs and self.procs["slurmctld"].poll() is None:
            jobs = self.run(["squeue", "--noheader", "--format=%i"]).stdout.split()
            if jobs:
                self.run(["scancel", *jobs])
                deadline = time.monotonic() + 20
                while (time.monotonic() < deadline
                       and self.run(["squeue", "--noheader", "--states=RUNNING,COMPLETING",
                                     "--format=%i"]).stdout.split()):
                    time.sleep(0.5)
        order = [n for n in self.procs if n.startswith("slurmd-")] + ["slurmctld", "munged"]
        for name in order:
            proc = self.procs.pop(name, None)
            if proc is None or proc.poll() is not None:
                continue
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(timeout=15)
        self._reap()
        shutil.rmtree(self.dir, ignore_errors=True)
        return False

    @staticmethod
    def _reap():
        """Waits for the orphaned job steps this process inherited."""
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            try:
                pid, _ = os.waitpid(-1, os.WNOHANG)
            except ChildProcessError:
                return
            if pid == 0:
                time.sleep(0.2)
