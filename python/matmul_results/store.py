"""The results store: every run, each node's figures in it and the
configuration they were measured with, in one SQLite file, so that each
node and each group can be set against its own history.

Only the one process that writes a report writes the store; nodes never
do (SQLite's locking is not safe on network filesystems). Each run is
added in one transaction: two runs adding at once on a local disk both
land, one after the other. The schema has a version (PRAGMA user_version)
and migrations: a store of an older schema is brought up to date when
opened; a newer one, or a file that is not a store, is refused."""

import json
import os
import sqlite3

from . import model
from .errors import Failure, say

# 'MMBR' in the file's header: a SQLite file of another program's is not ours.
APPLICATION_ID = 0x4D4D4252
# Each migration takes the schema from its index to the next version.
MIGRATIONS = [
    # 1: the runs and each node's medians in them.
    """
    CREATE TABLE runs (
        id INTEGER PRIMARY KEY,
        key TEXT NOT NULL UNIQUE,   -- what the run is, so that it is added once
        time TEXT NOT NULL,         -- ISO 8601, UTC
        kind TEXT NOT NULL,         -- cluster, run or import
        source TEXT);
    CREATE TABLE results (
        run INTEGER NOT NULL REFERENCES runs(id),
        node TEXT NOT NULL,
        grp TEXT,
        state TEXT NOT NULL,
        configuration TEXT,         -- JSON: library, kernels, threads, naive, cpu, cores
        simple_gbs REAL, blas_gflops REAL, simple_ms REAL, blas_ms REAL,
        speedup REAL, diff REAL,
        flags TEXT NOT NULL DEFAULT '[]',
        PRIMARY KEY (run, node));
    """,
    # 2: every run's own figures, the notes, the groups' own flags (a fleet
    # regression), and lookups by node and group.
    """
    ALTER TABLE results ADD COLUMN figures TEXT NOT NULL DEFAULT '[]';
    ALTER TABLE results ADD COLUMN notes TEXT NOT NULL DEFAULT '[]';
    CREATE TABLE group_flags (
        run INTEGER NOT NULL REFERENCES runs(id),
        grp TEXT NOT NULL,
        flags TEXT NOT NULL,
        PRIMARY KEY (run, grp));
    CREATE INDEX results_by_node ON results (node, run);
    CREATE INDEX results_by_group ON results (grp, run);
    """,
]
SCHEMA_VERSION = len(MIGRATIONS)
# Filesystems on which SQLite's locking cannot be trusted.
NETWORK_FILESYSTEMS = {"nfs", "nfs4", "cifs", "smb3", "smbfs", "lustre", "gpfs", "beegfs",
                       "ceph", "glusterfs", "fuse.sshfs", "fuse.glusterfs", "9p", "afs",
                       "fuse.cephfs", "panfs", "wekafs", "orangefs"}
# Seconds a writer waits for another's transaction to end.
LOCK_WAIT = 60


def _failure(path, error, doing):
    if "locked" in str(error) or "busy" in str(error):
        return Failure(f"{path}: {doing}: another process held it locked for {LOCK_WAIT} s", 1)
    return Failure(f"{path}: {doing}: {error}", 1)


FIGURE_COLUMNS = ("simple_gbs", "blas_gflops", "simple_ms", "blas_ms", "speedup", "diff")


def filesystem_of(path):
    """The type of the filesystem that holds `path` (Linux), or None."""
    try:
        with open("/proc/self/mountinfo", encoding="utf-8") as f:
            mounts = [line.split() for line in f]
    except OSError:
        return None
    where = os.path.realpath(os.path.dirname(os.path.abspath(path)))
    best, kind = "", None
    for fields in mounts:
        point = fields[4].encode().decode("unicode_escape")
        dash = fields.index("-") if "-" in fields else None
        inside = where == point or where.startswith(point.rstrip("/") + "/")
        if dash and inside and len(point) > len(best):
            best, kind = point, fields[dash + 1]
    return kind


def migrate(conn, upto=SCHEMA_VERSION):
    """Brings the store's schema to version `upto`, in one transaction (two
    processes opening a new store at once: the second finds it done)."""
    conn.execute("BEGIN IMMEDIATE")
    try:
        version = conn.execute("PRAGMA user_version").fetchone()[0]
        for number in range(version, upto):
            for statement in MIGRATIONS[number].split(";"):
                if statement.strip():
                    conn.execute(statement)
            conn.execute(f"PRAGMA user_version = {number + 1}")
        conn.execute(f"PRAGMA application_id = {APPLICATION_ID}")
        conn.execute("COMMIT")
    except BaseException:
        if conn.in_transaction:
            conn.execute("ROLLBACK")
        raise


class Store:
    def __init__(self, path, create=True):
        self.path = path
        if not create and not os.path.exists(path):
            raise Failure(f"{path}: no such store", 2)
        kind = filesystem_of(path)
        if kind in NETWORK_FILESYSTEMS:
            say(f"warning: the store {path} is on a network filesystem ({kind}): SQLite's "
                f"locking is not safe there, and two runs writing it at once can corrupt it. "
                f"Keep the store on a local disk of the machine that writes the reports.")
        try:
            # Autocommit: each change below is its own explicit transaction.
            self.conn = sqlite3.connect(path, timeout=LOCK_WAIT, isolation_level=None)
            self._check_and_migrate()
        except sqlite3.OperationalError as e:
            raise _failure(path, e, "cannot open it") from None
        except sqlite3.DatabaseError as e:
            raise Failure(f"{path}: not a matmul-results store ({e})", 2) from None
        except OSError as e:
            raise Failure(f"{path}: cannot open it: {e.strerror or e}", 2) from None

    def _check_and_migrate(self):
        conn = self.conn
        app = conn.execute("PRAGMA application_id").fetchone()[0]
        version = conn.execute("PRAGMA user_version").fetchone()[0]
        tables = conn.execute("SELECT count(*) FROM sqlite_master").fetchone()[0]
        if app != APPLICATION_ID and (tables or version):
            raise Failure(f"{self.path}: a SQLite file, but not a matmul-results store "
                          f"(application id {app:#x}): refused, nothing written", 2)
        if version > SCHEMA_VERSION:
            raise Failure(f"{self.path}: written by a newer matmul-results (store schema "
                          f"{version}; this one reads up to {SCHEMA_VERSION})", 2)
        if version < SCHEMA_VERSION:
            migrate(conn)
        conn.execute("PRAGMA quick_check").fetchone()

    def close(self):
        self.conn.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def add(self, key, time, kind, source, nodes, groups=None):
        """Adds one run of fleet.Node rows (and its groups' own flags);
        returns (run id, whether it was added: a run of this key already
        stored is not added again)."""
        conn = self.conn
        try:
            conn.execute("BEGIN IMMEDIATE")
            found = conn.execute("SELECT id FROM runs WHERE key = ?", (key,)).fetchone()
            if found:
                conn.execute("ROLLBACK")
                return found[0], False
            run = conn.execute("INSERT INTO runs (key, time, kind, source) VALUES (?, ?, ?, ?)",
                               (key, time, kind, source)).lastrowid
            conn.executemany(
                "INSERT INTO results (run, node, grp, state, configuration, simple_gbs, "
                "blas_gflops, simple_ms, blas_ms, speedup, diff, flags, figures, notes) "
                "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                [(run, n.name, n.group, n.state,
                  json.dumps(n.configuration(), sort_keys=True) if n.state == "ok" else None,
                  *(getattr(n, c) for c in FIGURE_COLUMNS), json.dumps(n.flags),
                  json.dumps(model.encode(n.samples)), json.dumps(n.notes)) for n in nodes])
            conn.executemany("INSERT INTO group_flags (run, grp, flags) VALUES (?, ?, ?)",
                             [(run, name, json.dumps(g["flags"]))
                              for name, g in (groups or {}).items() if g.get("flags")])
            conn.execute("COMMIT")
            return run, True
        except BaseException as e:
            if conn.in_transaction:
                conn.execute("ROLLBACK")
            if isinstance(e, sqlite3.Error):
                raise _failure(self.path, e, "the run was not added") from None
            raise

    def run(self, run_id):
        """(id, time) of the run of this id; Failure if none."""
        row = None
        if str(run_id).isdigit():
            row = self.conn.execute("SELECT id, time FROM runs WHERE id = ?",
                                    (int(run_id),)).fetchone()
        if row is None:
            raise Failure(f"{self.path} holds no run {run_id} (its runs: "
                          f"{self.describe_runs()})", 2)
        return row

    def describe_runs(self):
        ids = [r[0] for r in self.conn.execute("SELECT id FROM runs ORDER BY id")]
        return f"{ids[0]} to {ids[-1]}" if ids else "none"

    def group_flags(self, group):
        return {run: json.loads(flags) for run, flags in self.conn.execute(
            "SELECT run, flags FROM group_flags WHERE grp = ?", (group,))}

    def results(self, where, args, exclude_key=None, before=None):
        """Stored rows (dicts), newest run first, that match `where`."""
        sql = ("SELECT runs.id AS run, runs.time AS time, results.* FROM results JOIN runs "
               "ON runs.id = results.run WHERE " + where)
        args = list(args)
        if exclude_key is not None:
            sql += " AND runs.key != ?"
            args.append(exclude_key)
        if before is not None:
            sql += " AND runs.time <= ?"
            args.append(before)
        sql += " ORDER BY runs.time DESC, runs.id DESC"
        cursor = self.conn.execute(sql, args)
        names = [d[0] for d in cursor.description]
        out = []
        for values in cursor:
            row = dict(zip(names, values))
            row["configuration"] = json.loads(row["configuration"] or "null")
            row["flags"] = json.loads(row["flags"] or "[]")
            row["notes"] = json.loads(row["notes"] or "[]")
            out.append(row)
        return out
