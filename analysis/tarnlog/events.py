"""What happened to a whole stream, told once: gaps, resets and changes of the interfaces.

A stop of the service leaves the same gap in every series of the stream, and
a reboot resets the counters of every component at one row. Each is one event
of the stream that names the components concerned; the series keep their own
gaps and resets for their counts. An "interfaces changed" event is a row whose
set of series differs from the row before: the series that went and came.
"""

from dataclasses import dataclass

from .stats import READINGS
from .streams import key_label, utc_and_offset


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


def _gap_events(stream, stats_list):
    grouped = {}
    for stats in stats_list:
        series = stats.series
        for gap, period in zip(stats.gaps, stats.gap_periods):
            key = (utc_and_offset(series, gap), utc_and_offset(series, gap + 1))
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
                key = (utc_and_offset(series, sample - 1), utc_and_offset(series, sample))
                grouped.setdefault(key, {}).setdefault(series.label, 0)
                grouped[key][series.label] += 1
    return [Event("reset", stream.machine, stream.log, before, at, list(members), readings=sum(members.values()))
            for (before, at), members in grouped.items()]


def _interface_changes(stream):
    events = []
    for row in stream.layout_changes:
        before, now = set(stream.row_keys(row - 1).tolist()), set(stream.row_keys(row).tolist())
        if before == now:  # the same series in another order
            continue
        events.append(Event("interfaces-changed", stream.machine, stream.log,
                            utc_and_offset(stream, row - 1), utc_and_offset(stream, row), [],
                            went=[key_label(k) for k in sorted(before - now)],
                            came=[key_label(k) for k in sorted(now - before)]))
    return events
