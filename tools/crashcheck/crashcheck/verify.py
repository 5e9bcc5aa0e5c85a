"""One crash state: laid out as a machine, the real service started on it, a few rows
taken, the service stopped, and the files judged."""

from __future__ import annotations

import io
import os
import subprocess
import time
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path

from tarnlog.cli import main as tarnlog_main

from .machine import DROP, LOCAL, RESTART_COUNTER_START, is_restart_row
from .model import whole_rows
from .trace import read_trace

LOCAL_TIMER, UPLOAD_TIMER = 128, 129
ROWS_TAKEN = 2  # of each log, by its control
SAMPLE_TRIES = 50


@dataclass
class Verdict:
    state_key: str
    failing_check: list = field(default_factory=list)  # tarnlog check's lines
    failing_files: set = field(default_factory=set)  # the files they name
    lost_rows: int = 0  # flushed before the cut, missing after the restart
    duplicated_rows: int = 0  # rows in more than one place
    local_backups: int = 0
    handed_over: int = 0
    set_aside_uploads: int = 0
    service_state: str = ""
    restart_rows: int = 0  # local rows the restarted service wrote
    problems: list = field(default_factory=list)

    @property
    def passed(self):
        return not self.problems


def lay_out(state, folder):
    folder = Path(folder)
    for path in sorted(state.folders):
        (folder / path).mkdir(parents=True, exist_ok=True)
    for path, content in state.files.items():
        (folder / path).parent.mkdir(parents=True, exist_ok=True)
        (folder / path).write_bytes(content)


def log_files(machine_folder):
    found = []
    for folder in (LOCAL, DROP):
        where = Path(machine_folder) / folder
        if where.is_dir():
            found += sorted(path for path in where.iterdir() if path.is_file())
    return found


def tarnlog_check(files):
    out, err = io.StringIO(), io.StringIO()
    if not files:
        return []
    code = tarnlog_main(["check"] + [str(path) for path in files], out=out, err=err)
    return [] if code == 0 else (out.getvalue() + err.getvalue()).splitlines() or ["tarnlog check failed"]


def deleted_by_restart(state, restart_ops):
    """The rows of the state's files that the restarted service's own retention deleted
    (its trace followed through renames): no cut lost them."""
    origin = {path: path for path in state.files}
    deleted = set()
    for op in restart_ops:
        if op.kind == "rename" and op.path in origin:
            origin[op.to] = origin.pop(op.path)
        elif op.kind == "delete" and op.path in origin:
            deleted.add(origin.pop(op.path))
    return {row for path in deleted for row in whole_rows(state.files[path])}


def judge(state, machine_folder, limits, service_state, restart_ops=()):
    files = log_files(machine_folder)
    verdict = Verdict(state.key(), service_state=service_state)
    required = state.required_rows - deleted_by_restart(state, restart_ops)
    verdict.failing_check = tarnlog_check(files)
    verdict.failing_files = {str(path) for path in files if any(line.startswith(str(path) + ":")
                                                                for line in verdict.failing_check)}
    where = Counter()
    for path in files:
        for row in whole_rows(path.read_bytes()):
            where[row] += 1
    verdict.lost_rows = sum(1 for row in required if where[row] == 0)
    verdict.duplicated_rows = sum(1 for count in where.values() if count > 1)
    verdict.restart_rows = local_restart_rows(machine_folder)
    local = Path(machine_folder) / LOCAL
    drop = Path(machine_folder) / DROP
    verdict.local_backups = len(list(local.glob("TARNLog_*.csv")))
    verdict.set_aside_uploads = len(list(local.glob("3001_TARNLogUpload_*.csv")))
    verdict.handed_over = len(list(drop.glob("3001_TARNLogUpload_*.csv"))) if drop.is_dir() else 0

    problems = verdict.problems
    if verdict.failing_check:
        problems.append("tarnlog check: %d lines" % len(verdict.failing_check))
    if verdict.lost_rows:
        problems.append("%d flushed rows lost" % verdict.lost_rows)
    if verdict.duplicated_rows:
        problems.append("%d rows duplicated" % verdict.duplicated_rows)
    if verdict.local_backups > limits.local_backups:
        problems.append("%d local backups, limit %d" % (verdict.local_backups, limits.local_backups))
    if verdict.handed_over > limits.upload_backups:
        problems.append("%d handed-over files, limit %d" % (verdict.handed_over, limits.upload_backups))
    if verdict.set_aside_uploads > limits.upload_backups:
        problems.append("%d set-aside upload files, limit %d" % (verdict.set_aside_uploads, limits.upload_backups))
    if service_state != "RUNNING":
        problems.append("service %s after the start" % service_state)
    elif verdict.restart_rows < ROWS_TAKEN:
        problems.append("only %d local rows sampled after the restart" % verdict.restart_rows)
    return verdict


def read_if_there(path):
    """A file's bytes; none when the running service has just renamed or deleted it."""
    try:
        return path.read_bytes()
    except FileNotFoundError:
        return b""


def local_restart_rows(machine_folder):
    return sum(1 for path in log_files(machine_folder) if path.name.startswith(("TARNLog.", "TARNLog_"))
               for row in whole_rows(read_if_there(path)) if is_restart_row(row))


def take_rows(machine):
    """ROWS_TAKEN rows of each log. The service reports running before its start has
    published the logs, and a control before that finds nothing to sample: the local
    control is repeated until its rows are there (SAMPLE_TRIES at most)."""
    for _ in range(SAMPLE_TRIES):
        if local_restart_rows(machine.folder) >= ROWS_TAKEN:
            break
        machine.sample(LOCAL_TIMER)
        time.sleep(0.02)
    for _ in range(ROWS_TAKEN):
        machine.sample(UPLOAD_TIMER)


def check_state(state, machine, limits):
    """Lays the state out on a fresh machine, restarts the service on it and judges it."""
    machine.make(limits, local_period_ms=3600000, upload_period_ms=3600000, counter_start=RESTART_COUNTER_START)
    lay_out(state, machine.folder)
    trace = machine.folder / "restart-trace.txt"
    try:
        service_state = machine.start(dict(os.environ, TARN_SIM_FS_RECORD=str(trace)))
        try:
            if service_state == "RUNNING":
                take_rows(machine)
        finally:
            machine.stop()  # also when the check itself fails: no service outlives its state
    except subprocess.TimeoutExpired:
        service_state = "HUNG"
    return judge(state, machine.folder, limits, service_state, read_trace(trace) if trace.exists() else [])

