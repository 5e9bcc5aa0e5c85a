"""The long table: one CSV line per sample of every series, written as it is made.

Lines are assembled as byte matrices, one row per line: every field is a
block of columns (fixed texts, time stamps, decimal numbers right-aligned
with NUL bytes in front), the blocks are put side by side, and dropping the
NUL bytes leaves the lines. Decimals are made two digits at a time from the
exact uint64 values, so readings above 2**63 stay exact.
"""

from __future__ import annotations

import csv
import io
from collections.abc import Iterable
from dataclasses import dataclass

import numpy

from .components import component_name
from .inputs import Skipped
from .machine import load_machine
from .times import local_texts, utc_texts

COLUMNS = ("machine", "log", "time_utc", "time_local", "position", "component_id", "component",
           "reading0", "reading1", "interval_s", "delta0", "delta1")
# Lines per matrix: bounds the memory of one series' lines however long it is.
_CHUNK_LINES = 1 << 15
# The two digits of 0 to 99 as one 16-bit value each, in memory order.
_PAIRS = numpy.frombuffer("".join("%02d" % n for n in range(100)).encode(), numpy.uint16)
_ZERO = ord("0")
_POWERS = numpy.array([10 ** n for n in range(1, 20)], numpy.uint64)  # a value >= 10**n has n + 1 digits


def header():
    return (",".join(COLUMNS) + "\n").encode()


def _csv_fields(*fields):
    """Fields as the csv module quotes them (a machine's name may hold a comma)."""
    text = io.StringIO()
    csv.writer(text, lineterminator="").writerow(fields)
    return text.getvalue().encode()


def decimals(values):
    """Right-aligned decimal digits of uint64 or non-negative int64 values; NUL bytes before the first digit.

    The matrix is as wide as the largest value needs (rounded up to pairs), so
    that small numbers (intervals, deltas) cost a few columns, not twenty.
    """
    values = values.astype(numpy.uint64)
    largest = int(values.max()) if len(values) else 0
    width = len(str(largest)) + len(str(largest)) % 2
    pairs = numpy.zeros((len(values), width // 2), numpy.uint16)
    column = width // 2
    hundred = numpy.uint64(100)
    remaining = values
    while column > 0 and remaining.any():
        # Floor division by a constant is many times faster than divmod, which has no fast path.
        quotient = remaining // hundred
        pairs[:, column - 1] = _PAIRS[(remaining - quotient * hundred).astype(numpy.intp)]
        remaining = quotient
        column -= 1
    digits = pairs.view(numpy.uint8).reshape(len(values), width)
    if column == width // 2:  # all zeros
        digits[:, -1] = _ZERO
    count = numpy.searchsorted(_POWERS, values, side="right") + 1
    digits *= numpy.arange(width) >= width - count[:, None]
    return digits


def _constant(text, lines):
    return numpy.broadcast_to(numpy.frombuffer(text, numpy.uint8), (lines, len(text)))


def _empty_where(digits, mask):
    digits[mask] = 0
    return digits


def _series_lines(series, stats, utc, local, first, last):
    """The CSV bytes of samples first..last-1 of a series."""
    lines = last - first
    steps = slice(max(first - 1, 0), last - 1)
    no_step = numpy.zeros(lines, bool)
    no_step[0] = first == 0

    def step_column(values, counted=None):
        column = numpy.zeros(lines, values.dtype)
        column[int(first == 0):] = values[steps]
        empty = no_step.copy()
        if counted is not None:
            empty[int(first == 0):] |= ~counted[steps]
        column[empty] = 0  # a reset's wrapped delta would widen the whole column
        return _empty_where(decimals(column), empty)

    rows = series.row[first:last]
    comma = _constant(b",", lines)
    blocks = [
        _constant(_csv_fields(series.machine, series.log) + b",", lines), utc[rows], comma, local[rows], comma,
        decimals(series.place[first:last]),
        _constant(b"," + _csv_fields("%02x" % series.component_id, component_name(series.component_id)) + b",", lines),
        decimals(series.reading0[first:last]), comma, decimals(series.reading1[first:last]), comma,
        step_column(stats.seconds), comma,
        step_column(stats.deltas["reading0"], stats.counted["reading0"]), comma,
        step_column(stats.deltas["reading1"], stats.counted["reading1"]), _constant(b"\n", lines),
    ]
    matrix = numpy.hstack(blocks)
    return matrix[matrix != 0].tobytes()


@dataclass
class MachineExport:
    """What export made of one machine: the files used, those skipped, and its lines."""

    files: int
    skipped: list[Skipped]
    chunks: Iterable[bytes]  # made as they are taken; a list when sent back by a task


def machine_export(machine_files):
    """The export of one machine; its lines are made chunk by chunk as they are taken."""
    data = load_machine(machine_files)
    return MachineExport(len(data.files), data.skipped, _lines(data))


def _lines(data):
    """The CSV bytes of one machine, in the order of its streams, series and time."""
    for stream_data in data.streams:
        stream = stream_data.stream
        utc, local = utc_texts(stream.utc), local_texts(stream.utc, stream.offset)
        for stats in stream_data.stats:
            samples = len(stats.series.utc)
            for first in range(0, samples, _CHUNK_LINES):
                yield _series_lines(stats.series, stats, utc, local, first, min(first + _CHUNK_LINES, samples))


def machine_export_task(machine_files):
    """The export of one machine with all its lines made: what a task on another process returns."""
    result = machine_export(machine_files)
    result.chunks = [b"".join(result.chunks)]
    return result
