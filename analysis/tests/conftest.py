import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

LOCAL_HEADER = "# LogFormatVersion:V1.00"
UPLOAD_HEADER = "#vorla_upload LogFormatVersion:V1.00"


def row(stamp, *entries):
    """A log line without its line end; entries are (component id, reading0, reading1)."""
    return stamp + "," + ",".join("%02x,%016x,%016x" % (cid, r1, r0) for cid, r0, r1 in entries)


def log_bytes(header, lines, line_end="\r\n"):
    return "".join(line + line_end for line in [header] + list(lines)).encode("ascii")


@pytest.fixture
def write_log(tmp_path):
    """Writes a log under tmp_path; returns its path as a string."""
    def write(relative, lines, header=LOCAL_HEADER, raw=None):
        path = tmp_path / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(raw if raw is not None else log_bytes(header, lines))
        return str(path)
    return write


def load(paths):
    """MachineData of every machine under paths, as the commands see them."""
    from tarnlog.inputs import by_machine, collect
    from tarnlog.machine import each_machine
    files, _, _ = collect(paths)
    return list(each_machine(by_machine(files)))


def summarise(paths):
    """The Summary the summary command prints for paths."""
    from tarnlog.inputs import by_machine, collect
    from tarnlog.machine import summarise_machine
    from tarnlog.summary import Summary
    files, skipped, missing = collect(paths)
    return Summary(skipped, missing, [summarise_machine(m) for m in by_machine(files)])


def all_stats(machines):
    return [stats for machine in machines for stream in machine.streams for stats in stream.stats]
