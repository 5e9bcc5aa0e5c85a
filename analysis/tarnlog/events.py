"""What happened to a whole stream, told once: gaps, resets and changes of the interfaces.

A stop of the service leaves the same gap in every series of the stream, and
a reboot resets the counters of every component at one row. Each is one event
of the stream that names the components concerned; the series keep their own
gaps and resets for their counts. An "interfaces changed" event is a row whose
set of series differs from the row before: the series that went and came.
"""

from dataclasses import dataclass

import numpy

from .stats import READINGS
from .streams import key_label


@dataclass
class Event:
    kind: str  # "gap", "reset" or "interfaces-changed"
    machine: str
    log: str
    before: tuple  # (utc, offset) of the row before the event: a gap's start, the row before a change
    at: tuple  # (utc, offset) of the row at which it is seen: a gap's end, a reset, a change
    components: list  # labels of the series concerned (gaps, resets)
    readings: int = 0  # resets: readings that went down
    expected_s: float = None  # gaps: the period in force around it
    went: list = None  # interfaces-changed: labels of the series that went
    came: list = None  # and of those that came

    @property
    def seconds(self):
        return self.at[0] - self.before[0]


def stream_events(stream, stats_list):
    """The stream's events in time order (gaps, resets, changes of the same row in that order)."""
    events = _gap_events(stream, stats_list) + _reset_events(stream, stats_list) + _interface_changes(stream)
    kinds = {"interfaces-changed": 0, "gap": 1, "reset": 2}
    return sorted(events, key=lambda e: (e.at[0], kinds[e.kind], e.before[0]))


def _moment(series, sample):
    return int(series.utc[sample]), int(series.offset[sample])


def _gap_events(stream, stats_list):
    grouped = {}
    for stats in stats_list:
        series = stats.series
        for gap, period in zip(stats.gaps, stats.gap_periods):
            key = (_moment(series, gap), _moment(series, gap + 1))
            grouped.setdefault(key, []).append((series.label, float(period)))
    return [Event("gap", stream.machine, stream.log, before, at, [label for label, _ in members],
                  expected_s=max(period for _, period in members))
            for (before, at), members in grouped.items()]


def _reset_events(stream, stats_list):
    grouped = {}
    for stats in stats_list:
        series = stats.series
        for reading in READINGS:
            for sample in stats.resets[reading]:
                key = (_moment(series, sample - 1), _moment(series, sample))
                grouped.setdefault(key, {}).setdefault(series.label, 0)
                grouped[key][series.label] += 1
    return [Event("reset", stream.machine, stream.log, before, at, list(members), readings=sum(members.values()))
            for (before, at), members in grouped.items()]


def changed_rows(entry_row, entry_key, rows):
    """Indexes of the rows (from 1) whose set of series keys differs from the row before.

    Keys within a row are distinct, so sorted per row two rows hold the same
    set when they have as many keys and each equals the one as many places back.
    """
    counts = numpy.bincount(entry_row, minlength=rows)
    order = numpy.lexsort((entry_key, entry_row))
    keys = entry_key[order]
    previous = numpy.concatenate(([-1], counts[:-1]))
    same_count = counts == previous
    row_of = entry_row[order]
    comparable = same_count[row_of] & (row_of > 0)
    index = numpy.flatnonzero(comparable)
    differs = index[keys[index] != keys[index - counts[row_of[index]]]]
    changed = ~same_count | (numpy.bincount(row_of[differs], minlength=rows) > 0)
    changed[0] = False
    return numpy.flatnonzero(changed), order


def _interface_changes(stream):
    rows = len(stream.utc)
    if rows < 2:
        return []
    changed, _ = changed_rows(stream.entry_row, stream.entry_key, rows)
    bounds = numpy.searchsorted(stream.entry_row, numpy.arange(rows + 1))
    events = []
    for row in changed:
        before = set(stream.entry_key[bounds[row - 1]:bounds[row]].tolist())
        now = set(stream.entry_key[bounds[row]:bounds[row + 1]].tolist())
        events.append(Event("interfaces-changed", stream.machine, stream.log,
                            (int(stream.utc[row - 1]), int(stream.offset[row - 1])),
                            (int(stream.utc[row]), int(stream.offset[row])), [],
                            went=[key_label(k) for k in sorted(before - now)],
                            came=[key_label(k) for k in sorted(now - before)]))
    return events
