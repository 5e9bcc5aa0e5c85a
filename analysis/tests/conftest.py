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
