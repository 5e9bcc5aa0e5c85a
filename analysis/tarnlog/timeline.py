"""All rows of the files read, per machine and log, in time order, split into series.

A stream is one machine's local log or its upload log: the two are sampled on
periods of their own, so their rows are never mixed. Within a stream the rows
of all files (backups, the current file, handed-over files) are ordered by
their UTC time; a stable sort keeps rows of the same second in the order of
the files and lines they came from. A row whose text (time stamp and every
field) equals one already taken in the stream is counted once, so a backup
read together with a copy of the file it was rotated from counts each row once.

A series is what one device interface reported: the readings at one position
of the row with one component id. When interfaces are added or removed the
positions move, and the rows after the change start new series.
"""

from dataclasses import dataclass, field
from datetime import datetime, timedelta, timezone
from typing import NamedTuple

from .inputs import Skipped, collect
from .lines import parse_log


@dataclass
class FileResult:
    path: str
    machine: str
    log: str
    kind: str
    rows: int
    bad_lines: int


class Sample(NamedTuple):
    utc_seconds: int
    offset_minutes: int
    reading0: int
    reading1: int


@dataclass
class Series:
    machine: str
    log: str
    position: int  # 1 for the first interface of the row
    component_id: int
    samples: list = field(default_factory=list)


class Step(NamedTuple):
    """Two consecutive samples of a series; a delta is None where the reading went down."""

    before: Sample
    after: Sample
    seconds: int
    delta0: int
    delta1: int


@dataclass
class Timeline:
    files: list = field(default_factory=list)
    skipped: list = field(default_factory=list)
    missing: list = field(default_factory=list)
    rows_read: int = 0
    rows_used: int = 0
    duplicate_rows: int = 0
    bad_lines: int = 0
    series: list = field(default_factory=list)


def read_files(paths):
    """(files with their parsed content, skipped, missing) for the paths given."""
    files, skipped, missing = collect(paths)
    parsed = []
    for log_file in files:
        try:
            with open(log_file.path, "rb") as stream:
                data = stream.read()
        except OSError as error:
            skipped.append(Skipped(log_file.path, "cannot be read: %s" % error.strerror))
            continue
        parsed.append((log_file, parse_log(data, log_file.name_log)))
    return parsed, skipped, missing


def load(paths):
    parsed, skipped, missing = read_files(paths)
    timeline = Timeline(skipped=skipped, missing=missing)
    streams = {}
    for log_file, content in parsed:
        log = log_file.name_log or content.header_log
        if log is None:
            timeline.skipped.append(Skipped(log_file.path, "neither its name nor its first line is one of the logs"))
            continue
        timeline.files.append(FileResult(log_file.path, log_file.machine, log, log_file.kind,
                                         len(content.rows), len(content.bad_lines)))
        timeline.rows_read += len(content.rows)
        timeline.bad_lines += len(content.bad_lines)
        streams.setdefault((log_file.machine, log), []).extend(content.rows)
    for (machine, log), rows in sorted(streams.items()):
        rows = _unique_in_time_order(rows, timeline)
        timeline.series.extend(_split_series(machine, log, rows))
    return timeline


def _unique_in_time_order(rows, timeline):
    seen = set()
    unique = []
    for row in sorted(rows, key=lambda r: r.utc_seconds):
        if row.text in seen:
            timeline.duplicate_rows += 1
            continue
        seen.add(row.text)
        unique.append(row)
    timeline.rows_used += len(unique)
    return unique


def _split_series(machine, log, rows):
    series = {}
    for row in rows:
        for position, entry in enumerate(row.entries, 1):
            key = (position, entry.component_id)
            if key not in series:
                series[key] = Series(machine, log, position, entry.component_id)
            series[key].samples.append(
                Sample(row.utc_seconds, row.offset_minutes, entry.reading0, entry.reading1))
    return [series[key] for key in sorted(series)]


def steps(series):
    """The steps between consecutive samples; a counter that goes down is a reset, not a delta."""
    result = []
    for before, after in zip(series.samples, series.samples[1:]):
        delta0 = after.reading0 - before.reading0
        delta1 = after.reading1 - before.reading1
        result.append(Step(before, after, after.utc_seconds - before.utc_seconds,
                           delta0 if delta0 >= 0 else None, delta1 if delta1 >= 0 else None))
    return result


def utc_datetime(sample):
    return datetime(1970, 1, 1, tzinfo=timezone.utc) + timedelta(seconds=sample.utc_seconds)


def utc_text(sample):
    return utc_datetime(sample).strftime("%Y-%m-%dT%H:%M:%SZ")


def local_text(sample):
    """The local time the service wrote, with its offset, in ISO 8601."""
    zone = timezone(timedelta(minutes=sample.offset_minutes))
    return utc_datetime(sample).astimezone(zone).isoformat()
