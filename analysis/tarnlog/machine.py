"""One machine's files read into streams, series, statistics and events: the unit of work.

Everything tarnlog computes about a machine depends on that machine's files
only, so machines are worked on one at a time (or as separate tasks, see
tasks.py), and memory holds one machine's rows at most.

load_machine gives the full data (arrays per series) for the commands that
draw or export it; summarise_machine gives the small, picklable summary that
a task sends back and summary.py merges.
"""

from __future__ import annotations

from dataclasses import dataclass, field

from .allocator import keep_freed_memory
from .decode import decode_file
from .events import Event, stream_events
from .inputs import Skipped
from .stats import READINGS, SeriesStats, series_stats
from .streams import Moment, Stream, build_stream, utc_and_offset


@dataclass
class FileResult:
    path: str
    machine: str
    log: str
    kind: str
    rows: int
    bad_lines: int
    warnings: list[str]


@dataclass
class StreamData:
    stream: Stream
    stats: list[SeriesStats]  # per series of the stream, in its order
    events: list[Event]  # in time order


@dataclass
class MachineData:
    machine: str
    files: list[FileResult] = field(default_factory=list)  # every file whose rows were used
    skipped: list[Skipped] = field(default_factory=list)  # files not read, with the reason
    bad_lines: int = 0
    streams: list[StreamData] = field(default_factory=list)  # local before upload


@dataclass
class SeriesSummary:
    machine: str
    log: str
    component_id: int
    label: str
    position: int | None  # None when keyed by id
    positions: tuple[int, ...]
    samples: int
    first: Moment
    last: Moment
    median_interval: float | None
    rates: dict[str, float | None]  # per reading
    resets: dict[str, list[Moment]]  # per reading
    gaps: list[tuple[Moment, Moment, int, float]]  # before, after, seconds, the period in force


@dataclass
class MachineSummary:
    machine: str
    files: list[FileResult]
    skipped: list[Skipped]
    bad_lines: int
    rows_read: int
    rows_used: int
    duplicate_rows: int
    series: list[SeriesSummary]
    events: list[Event]


def read_file(log_file):
    """(bytes, None) or (None, Skipped) for a file that cannot be read."""
    try:
        with open(log_file.path, "rb") as stream:
            return stream.read(), None
    except OSError as error:
        return None, Skipped(log_file.path, "cannot be read: %s" % error.strerror)


def load_machine(machine_files):
    """MachineData of one inputs.MachineFiles."""
    keep_freed_memory()  # here, so that it holds on Dask's workers too
    data = MachineData(machine_files.machine)
    parts = {}
    for log_file in machine_files.files:
        content, skipped = read_file(log_file)
        if skipped is None:
            skipped = _take_file(data, log_file, content, parts)
        if skipped is not None:
            data.skipped.append(skipped)
    for log in sorted(parts):
        stream = build_stream(data.machine, log, parts[log])
        stats = [series_stats(series) for series in stream.series]
        data.streams.append(StreamData(stream, stats, stream_events(stream, stats)))
    return data


def _take_file(data, log_file, content, parts):
    """Decodes a file into its stream's parts; a Skipped when it cannot be used."""
    decoded = decode_file(content, log_file.name_log)
    if decoded.unsupported is not None:
        return Skipped(log_file.path, "unsupported log format version %s: not read" % decoded.unsupported)
    log = log_file.name_log or decoded.header_log
    if log is None:
        return Skipped(log_file.path, "neither its name nor its first line is one of the logs")
    data.files.append(FileResult(log_file.path, data.machine, log, log_file.kind, len(decoded.rows),
                                 len(decoded.bad_lines), decoded.warnings))
    data.bad_lines += len(decoded.bad_lines)
    parts.setdefault(log, []).append((decoded.rows, content))
    return None


def each_machine(machines):
    """MachineData of each inputs.MachineFiles in turn: one machine in memory at a time."""
    for machine_files in machines:
        yield load_machine(machine_files)


def summarise_machine(machine_files):
    """MachineSummary of one inputs.MachineFiles: what a task returns."""
    data = load_machine(machine_files)
    series, events = [], []
    for stream_data in data.streams:
        series += [_series_summary(stats) for stats in stream_data.stats]
        events += stream_data.events
    streams = [s.stream for s in data.streams]
    return MachineSummary(data.machine, data.files, data.skipped, data.bad_lines,
                          sum(s.rows_read for s in streams), sum(s.rows_used for s in streams),
                          sum(s.duplicate_rows for s in streams), series, events)


def _series_summary(stats):
    series = stats.series
    return SeriesSummary(
        series.machine, series.log, series.component_id, series.label, series.position, series.positions,
        len(series.utc), utc_and_offset(series, 0), utc_and_offset(series, -1), stats.median_interval, stats.rates,
        {r: [utc_and_offset(series, i) for i in stats.resets[r]] for r in READINGS},
        [(utc_and_offset(series, g), utc_and_offset(series, g + 1), int(stats.seconds[g]), float(p))
         for g, p in zip(stats.gaps, stats.gap_periods)])
