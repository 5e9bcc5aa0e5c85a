"""What happened to a whole stream, told once: gaps, resets and changes of the interfaces.

A stop of the service leaves the same gap in every series of the stream, and
a reboot resets the counters of every component at one row. Each is one event
of the stream that names the components concerned; the series keep their own
gaps and resets for their counts. An "interfaces changed" event is a row whose
set of series differs from the row before: the series that went and came.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import ClassVar

from .stats import READINGS
from .streams import Moment, key_label, utc_and_offset


@dataclass
class Event:
    """What happened to a whole stream, seen between two consecutive rows; one subclass per kind."""

    kind: ClassVar[str]  # its name in the --json form
    machine: str
    log: str
    before: Moment  # the row before the event: a gap's start, the row before a reset or a change
    at: Moment  # the row at which it is seen: a gap's end, a reset, a change


@dataclass
class Gap(Event):
    """No row for longer than the period in force allows, in the series named."""

    kind: ClassVar[str] = "gap"
    components: list[str]  # labels of the series that have the gap
    expected_s: float  # the period in force around it

    @property
    def seconds(self) -> int:
        return self.at[0] - self.before[0]


@dataclass
class Reset(Event):
    """Readings that went down at one row."""

    kind: ClassVar[str] = "reset"
    components: list[str]  # labels of the series whose readings went down
    readings: int  # how many readings went down, over all those series


@dataclass
class InterfacesChanged(Event):
    """A row whose set of series differs from the row before's."""

    kind: ClassVar[str] = "interfaces-changed"
    went: list[str]  # labels of the series that went
    came: list[str]  # and of those that came


# Of events seen at the same row: a change of the interfaces first, then gaps, then resets.
_ORDER_AT_A_ROW = {InterfacesChanged: 0, Gap: 1, Reset: 2}


def stream_events(stream, stats_list) -> list[Event]:
    """The stream's events in time order."""
    events = _gap_events(stream, stats_list) + _reset_events(stream, stats_list) + _interface_changes(stream)
    return sorted(events, key=lambda e: (e.at[0], _ORDER_AT_A_ROW[type(e)], e.before[0]))


def _gap_events(stream, stats_list):
    grouped = {}
    for stats in stats_list:
        series = stats.series
        for gap, period in zip(stats.gaps, stats.gap_periods):
            key = (utc_and_offset(series, gap), utc_and_offset(series, gap + 1))
            grouped.setdefault(key, []).append((series.label, float(period)))
    return [Gap(stream.machine, stream.log, before, at, [label for label, _ in members],
                max(period for _, period in members))
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
    return [Reset(stream.machine, stream.log, before, at, list(members), sum(members.values()))
            for (before, at), members in grouped.items()]


def _interface_changes(stream):
    events = []
    for row in stream.layout_changes:
        before, now = set(stream.row_keys(row - 1).tolist()), set(stream.row_keys(row).tolist())
        if before == now:  # the same series in another order
            continue
        events.append(InterfacesChanged(stream.machine, stream.log,
                                        utc_and_offset(stream, row - 1), utc_and_offset(stream, row),
                                        [key_label(k) for k in sorted(before - now)],
                                        [key_label(k) for k in sorted(now - before)]))
    return events
