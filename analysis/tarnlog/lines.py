"""The per-line check of a log file: what is wrong with a line, in words.

decode.py decodes the good lines of a file together and sends every line
it cannot take here, one at a time, for the reason.

A file is one byte per character, CR LF line ends, no byte-order mark. Line 1
is the header of the local or the upload log; every other line is a local time
stamp YYYYMMDDThhmmss+hhmm, a comma, and per device interface the component id
(2 hex digits), reading1 and reading0 (16 hex digits each), all lower case.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import NamedTuple
from datetime import datetime, timedelta, timezone

from .components import is_valid_component_id
from .times import EPOCH

LOCAL_LOG = "local"
UPLOAD_LOG = "upload"
HEADERS = {
    b"# LogFormatVersion:V1.00": LOCAL_LOG,
    b"#vorla_upload LogFormatVersion:V1.00": UPLOAD_LOG,
}

_STAMP = re.compile(rb"(\d{4})(\d{2})(\d{2})T(\d{2})(\d{2})(\d{2})([+-])(\d{2})(\d{2})")
_COMPONENT_ID = re.compile(rb"[0-9a-f]{2}")
_READING = re.compile(rb"[0-9a-f]{16}")
_WELL_FORMED_FIELDS = re.compile(rb"[0-9a-f]{2},[0-9a-f]{16},[0-9a-f]{16}(?:,[0-9a-f]{2},[0-9a-f]{16},[0-9a-f]{16})*")
_NOT_PRINTABLE = re.compile(rb"[^\x20-\x7e]")
_FIELDS_WIDTH = 2 + 1 + 16 + 1 + 16 + 1
# Real zones lie between UTC-12:00 and UTC+14:00.
_MAX_OFFSET_HOURS = 14


class Entry(NamedTuple):
    """One device interface's part of a row; readings are exact unsigned 64-bit ints."""

    component_id: int
    reading0: int
    reading1: int


@dataclass(frozen=True)
class Row:
    line_number: int
    text: bytes  # the line without its line end; identical rows share it
    stamp: str  # the local time stamp as written
    utc_seconds: int  # seconds since 1970-01-01 UTC
    offset_minutes: int  # local time minus UTC
    entries: tuple[Entry, ...]


@dataclass(frozen=True)
class BadLine:
    line_number: int
    problems: tuple[str, ...]
    text: bytes


def parse_stamp(stamp):
    """(utc_seconds, offset_minutes) of a time stamp, or raises ValueError with the reason."""
    match = _STAMP.fullmatch(stamp)
    if not match:
        raise ValueError("time stamp %s is not YYYYMMDDThhmmss+hhmm" % excerpt(stamp, 24))
    year, month, day, hour, minute, second = (int(g) for g in match.groups()[:6])
    sign = 1 if match.group(7) == b"+" else -1
    offset_hours, offset_mins = int(match.group(8)), int(match.group(9))
    if offset_hours > _MAX_OFFSET_HOURS or offset_mins > 59:
        raise ValueError("time stamp %s has no valid UTC offset" % stamp.decode())
    try:
        local = datetime(year, month, day, hour, minute, second)
    except ValueError:
        raise ValueError("time stamp %s is not a real date and time" % stamp.decode()) from None
    offset_minutes = sign * (offset_hours * 60 + offset_mins)
    local_seconds = (local.replace(tzinfo=timezone.utc) - EPOCH) // timedelta(seconds=1)
    return local_seconds - offset_minutes * 60, offset_minutes


def excerpt(data, limit=60):
    """A line's bytes shown safely on a terminal: non-printable bytes escaped, long lines cut."""
    shown = "".join(chr(b) if 0x20 <= b < 0x7F else "\\x%02x" % b for b in data[:limit])
    return "'" + shown + ("...'" if len(data) > limit else "'")


def _byte_problems(content):
    if not _NOT_PRINTABLE.search(content):
        return []
    bad = [match.start() for match in _NOT_PRINTABLE.finditer(content)]
    first = bad[0]
    what = "CR" if content[first] == 0x0D else "byte 0x%02x" % content[first]
    if len(bad) == 1:
        return ["%s at column %d (only printable ASCII belongs in a line)" % (what, first + 1)]
    return ["%d bytes outside printable ASCII, the first %s at column %d" % (len(bad), what, first + 1)]


def _entries_of_well_formed(rest):
    """The entries of fields known to be well formed, or None when an id is not in the table."""
    entries = []
    for start in range(0, len(rest), _FIELDS_WIDTH):
        component_id = int(rest[start:start + 2], 16)
        if not is_valid_component_id(component_id):
            return None
        entries.append(Entry(component_id, int(rest[start + 20:start + 36], 16), int(rest[start + 3:start + 19], 16)))
    return tuple(entries)


def _row_problems_and_entries(rest):
    """Checks the fields after the time stamp; returns (problems, entries)."""
    if _WELL_FORMED_FIELDS.fullmatch(rest):
        entries = _entries_of_well_formed(rest)
        if entries is not None:
            return [], entries
    elif rest == b"":
        return [], ()  # a row with no interface at all: the time stamp and its comma
    return _field_problems(rest.split(b",")) or ["fields after the time stamp are malformed"], ()


def _field_problems(fields):
    """What is wrong with fields that are not a well-formed row, field by field."""
    if len(fields) % 3:
        return ["%d fields after the time stamp, not a multiple of 3 (id, reading1, reading0 per interface)"
                % len(fields)]
    problems = []
    for index in range(0, len(fields), 3):
        interface = index // 3 + 1
        raw_id, raw_reading1, raw_reading0 = fields[index:index + 3]
        if not _COMPONENT_ID.fullmatch(raw_id):
            problems.append("interface %d: component id %s is not 2 lower-case hex digits"
                            % (interface, excerpt(raw_id, 20)))
        elif not is_valid_component_id(int(raw_id, 16)):
            problems.append("interface %d: component id %s is not in the component table"
                            % (interface, raw_id.decode()))
        for name, raw in (("reading1", raw_reading1), ("reading0", raw_reading0)):
            if not _READING.fullmatch(raw):
                problems.append("interface %d: %s %s is not 16 lower-case hex digits"
                                % (interface, name, excerpt(raw, 20)))
    return problems


def _check_row(number, content):
    """Returns (problems, Row or None) for a line after the header."""
    if content in HEADERS:
        return ["log header inside the file (only line 1 holds one)"], None
    if not content:
        return ["empty line"], None
    stamp, comma, rest = content.partition(b",")
    try:
        utc_seconds, offset_minutes = parse_stamp(stamp)
    except ValueError as error:
        return [str(error)], None
    if not comma:
        return ["no comma after the time stamp"], None
    problems, entries = _row_problems_and_entries(rest)
    if problems:
        return problems, None
    return [], Row(number, content, stamp.decode(), utc_seconds, offset_minutes, entries)


HEADER_PATTERN = re.compile(rb"(# |#vorla_upload )LogFormatVersion:(.*)")
SUPPORTED_VERSION = b"V1.00"


def unsupported_version(first_line):
    """The version a header names when it is a log header of another format version, else None."""
    match = HEADER_PATTERN.fullmatch(first_line)
    if match and match.group(2) != SUPPORTED_VERSION:
        return match.group(2).decode("ascii", "backslashreplace")
    return None


def header_problems(content, expected_log):
    """(log the header names or None, problems of line 1)."""
    problems = _byte_problems(content)
    if content.startswith(b"\xef\xbb\xbf"):
        problems.append("byte-order mark before the header")
    header_log = HEADERS.get(content)
    if header_log is None:
        problems.append("line 1 is not a log header")
    elif expected_log and header_log != expected_log:
        problems.append("header of the %s log in a file named as the %s log" % (header_log, expected_log))
    return header_log, problems


def check_body_line(number, content, problems):
    """(problems, Row or None) of a line after the header; problems holds those of its line end.

    The per-line check behind every bad line's message; rows that pass the
    vectorised checks of decode.py never come here.
    """
    problems = problems + _byte_problems(content)
    if problems:
        return problems, None
    return _check_row(number, content)
