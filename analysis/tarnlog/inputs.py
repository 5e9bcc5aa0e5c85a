"""Finding the log files under the paths given, and which machine each belongs to.

Machines are kept apart by folder: a handed-over file's name carries no
machine name, so the files of many machines arrive in one folder per machine.
A file's machine is its folder, except that the service's own layout is
folded together: ...\\ProgramData\\Corvessan\\TARNLog\\LocalLog and
...\\ProgramData\\Corvessan\\VORLA\\upload both belong to the machine folder
above ProgramData, so one machine's local log, current upload file and
handed-over files are read as one machine.

A machine is named by its folder relative to the folder given on the command
line (alpha, or site1/alpha, for the folder fleet given), by the folder's
own name when that is the folder given or the file was given by name, and by
its absolute folder only where two machines would otherwise share a name.
"""

from __future__ import annotations

import fnmatch
import os
import stat
from dataclasses import dataclass, replace

from .lines import LOCAL_LOG, UPLOAD_LOG

# (pattern, log, kind); Windows names are matched without regard to case.
_NAME_PATTERNS = (
    ("tarnlog.csv", LOCAL_LOG, "current"),
    ("tarnlogupload.csv", UPLOAD_LOG, "current"),
    ("tarnlog_*.csv", LOCAL_LOG, "backup"),
    ("3001_tarnlogupload_*.csv", UPLOAD_LOG, "handed-over"),
)
_SERVICE_FOLDERS = (("corvessan", "tarnlog", "locallog"), ("corvessan", "vorla", "upload"))


@dataclass(frozen=True)
class LogFile:
    path: str  # as found under the path given
    folder: str  # absolute folder of the machine
    name_log: str | None  # LOCAL_LOG or UPLOAD_LOG when the name tells
    kind: str  # "current", "backup", "handed-over", or "other"
    machine: str | None = None  # the machine's name, set once every file is known


@dataclass
class MachineFiles:
    """One machine's files, in the order they were reached: the unit of work."""

    machine: str
    files: list[LogFile]


@dataclass(frozen=True)
class Skipped:
    path: str
    reason: str


def classify_name(name):
    """(log, kind) that a file name stands for, or (None, "other")."""
    lowered = name.lower()
    for pattern, log, kind in _NAME_PATTERNS:
        if fnmatch.fnmatchcase(lowered, pattern):
            return log, kind
    return None, "other"


def machine_of(path):
    folder = os.path.dirname(os.path.abspath(path))
    parts = folder.split(os.sep)
    lowered = [p.lower() for p in parts]
    for layout in _SERVICE_FOLDERS:
        if tuple(lowered[-len(layout):]) == layout:
            parts = parts[:-len(layout)]
            if parts and parts[-1].lower() == "programdata":
                parts = parts[:-1]
            return os.sep.join(parts) or os.sep
    return folder


def _name_under(folder, given_folder):
    """The machine's name as seen from the folder given (None: a file given by name)."""
    if given_folder is not None:
        given = os.path.abspath(given_folder)
        relative = os.path.relpath(folder, given)
        if relative != "." and not relative.startswith(os.pardir):
            return relative
    return os.path.basename(folder) or folder


def _name_machines(found):
    """LogFiles with their machine names; a name that two folders would share is the absolute folder."""
    names = {}
    for log_file, given_folder in found:
        names.setdefault(_name_under(log_file.folder, given_folder), set()).add(log_file.folder)
    named = []
    for log_file, given_folder in found:
        name = _name_under(log_file.folder, given_folder)
        named.append(replace(log_file, machine=name if len(names[name]) == 1 else log_file.folder))
    return named


class _Collector:
    def __init__(self):
        self.found = []  # (LogFile, the folder given it was found under or None)
        self.skipped = []
        self.missing = []  # paths given that do not exist
        self._seen = set()

    def add_file(self, path, given_folder=None, given=False):
        """given: named on the command line, read whatever its name; else only log names."""
        real = os.path.realpath(path)
        if real in self._seen:
            self.skipped.append(Skipped(path, "already read under another path or given twice"))
            return
        log, kind = classify_name(os.path.basename(path))
        if not given and log is None:
            self.skipped.append(Skipped(path, "not a log file name of the service"))
            return
        self._seen.add(real)
        self.found.append((LogFile(path, machine_of(path), log, kind), given_folder))

    def add_folder(self, folder):
        for root, dirs, names in os.walk(folder, onerror=self._walk_error):
            dirs.sort()
            for name in sorted(names):
                path = os.path.join(root, name)
                if self._is_regular_file(path):
                    self.add_file(path, given_folder=folder)

    def add(self, path):
        try:
            mode = os.stat(path).st_mode
        except FileNotFoundError:
            self.missing.append(path)
            self.skipped.append(Skipped(path, "no such file or folder"))
            return
        except OSError as error:
            self.missing.append(path)
            self.skipped.append(Skipped(path, "cannot be examined: %s" % error.strerror))
            return
        if stat.S_ISDIR(mode):
            self.add_folder(path)
        elif stat.S_ISREG(mode):
            self.add_file(path, given=True)
        else:
            self.skipped.append(Skipped(path, "not a regular file or folder"))

    def _is_regular_file(self, path):
        # A pipe or device in a folder would block or never end when read.
        try:
            if stat.S_ISREG(os.stat(path).st_mode):
                return True
            reason = "not a regular file"
        except OSError as error:
            reason = "cannot be examined: %s" % error.strerror
        self.skipped.append(Skipped(path, reason))
        return False

    def _walk_error(self, error):
        self.skipped.append(Skipped(error.filename, "folder cannot be listed: %s" % error.strerror))


def collect(paths):
    """(files, skipped, missing) for the files and folders given, in the order given."""
    collector = _Collector()
    for path in paths:
        collector.add(path)
    return _name_machines(collector.found), collector.skipped, collector.missing


def by_machine(files):
    """MachineFiles per machine, ordered by name; each machine's files in the order reached."""
    machines = {}
    for log_file in files:
        machines.setdefault(log_file.machine, []).append(log_file)
    return [MachineFiles(name, machines[name]) for name in sorted(machines)]
