"""A machine's rows per log in time order, counted once, split into series.

A stream is one machine's local log or its upload log: the two are sampled on
periods of their own, so their rows are never mixed. Within a stream the rows
of all files (backups, the current file, handed-over files) are ordered by
their UTC time; a stable sort keeps rows of the same second in the order of
the files and lines they came from. A row whose text (time stamp and every
field) equals one already taken in the stream is counted once, so a backup
read together with a copy of the file it was rotated from counts each row once.

A series is what one component reported. Where a component id occurs once in
a row, the series is keyed by that id, so that an interface added or removed
before it, which moves its position, does not split it. Ids that occur more
than once in a row (ff for names the table lacks, 00 before identification,
or a component the driver lists twice) cannot be told apart by id: those
entries are keyed by position and id.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy

from .components import component_name
from .decode import expand_ranges

# Keys of position-keyed entries (256 * position + id, position from 1) lie above every id.
_ID_KEYS = 256


@dataclass
class Series:
    machine: str
    log: str
    component_id: int
    position: int | None  # the position (from 1) of a position-keyed series; None when keyed by id
    positions: tuple[int, ...]  # every position it was seen at, ascending
    row: numpy.ndarray  # int64 index of each sample's row in the stream
    place: numpy.ndarray  # int64 position (from 1) of each sample in its row
    utc: numpy.ndarray  # int64 seconds since 1970 UTC
    offset: numpy.ndarray  # int16 minutes, local time minus UTC
    reading0: numpy.ndarray  # uint64, exact
    reading1: numpy.ndarray  # uint64, exact

    @property
    def label(self):
        """The component's name; a position-keyed series adds its position."""
        name = component_name(self.component_id)
        return name if self.position is None else "%s at %d" % (name, self.position)

    def reading(self, name):
        return self.reading0 if name == "reading0" else self.reading1


@dataclass
class Stream:
    machine: str
    log: str
    utc: numpy.ndarray  # per row used, in time order
    offset: numpy.ndarray
    rows_read: int
    duplicate_rows: int
    series: list[Series] = field(default_factory=list)
    # Each row's entries as series keys, flattened in row order: keys[first[r]:first[r] + count[r]].
    keys: numpy.ndarray | None = None
    first: numpy.ndarray | None = None
    count: numpy.ndarray | None = None
    # The rows (from 1) whose keys differ from the row before's, in number or order.
    layout_changes: numpy.ndarray | None = None

    def row_keys(self, row):
        return self.keys[self.first[row]:self.first[row] + self.count[row]]

    @property
    def rows_used(self):
        return len(self.utc)


Moment = tuple[int, int]  # (UTC seconds, offset minutes)


def utc_and_offset(rows: Series | Stream, index: int) -> Moment:
    """(UTC seconds, offset minutes) of a Series' sample or a Stream's row, as plain ints."""
    return int(rows.utc[index]), int(rows.offset[index])


def key_label(key):
    """The label of a series key, as Series.label gives it."""
    if key < _ID_KEYS:
        return component_name(int(key))
    return "%s at %d" % (component_name(int(key % 256)), key // 256)


def build_stream(machine, log, parts):
    """The Stream of (FileRows, file bytes) pairs, given in the order the files were reached."""
    rows, texts = _concatenate(parts)
    order = numpy.argsort(rows["utc"], kind="stable")
    kept = order[_first_of_each_text(rows["utc"][order], order, texts)]
    counts = rows["count"][kept]
    if len(kept) == len(order) and (numpy.diff(kept) == 1).all():  # files in time order, no row twice
        entries = slice(None)
    else:
        entries = expand_ranges(rows["first"][kept], counts)
    stream = Stream(machine, log, rows["utc"][kept], rows["offset"][kept], len(order), len(order) - len(kept),
                    first=numpy.cumsum(counts) - counts, count=counts)
    ids = rows["ids"][entries]
    stream.keys = _series_keys(ids, rows["repeated"][entries], stream.first)
    stream.layout_changes = layout_changes(stream.keys, counts)
    stream.series = _split_series(stream, ids, rows["reading0"][entries], rows["reading1"][entries])
    return stream


def _series_keys(ids, repeated, first):
    """Per entry: its id where that id occurs once in its row, else 256 * position + id (above every id)."""
    keys = ids.astype(numpy.int64)
    again = numpy.flatnonzero(repeated)
    keys[again] += _positions(again, first) * 256
    return keys


def _positions(entries, first):
    """The positions (from 1) in their rows of the entries given."""
    rows = numpy.searchsorted(first, entries, side="right") - 1
    return entries - first[rows] + 1


def layout_changes(keys, counts):
    """The rows (from 1) whose keys differ from those of the row before, in number or in order."""
    if not len(counts):
        return numpy.zeros(0, numpy.int64)
    if (counts == counts[0]).all():
        matrix = keys.reshape(len(counts), counts[0])
        return numpy.flatnonzero((matrix[1:] != matrix[:-1]).any(1)) + 1
    entry_row = numpy.repeat(numpy.arange(len(counts)), counts)
    same_count = counts == numpy.concatenate(([-1], counts[:-1]))
    index = numpy.flatnonzero(same_count[entry_row] & (entry_row > 0))
    differs = index[keys[index] != keys[index - counts[entry_row[index]]]]
    changed = ~same_count | (numpy.bincount(entry_row[differs], minlength=len(counts)) > 0)
    changed[0] = False
    return numpy.flatnonzero(changed)


def _concatenate(parts):
    """The files' rows as one set of columns, and a function giving a row's text."""
    parts = _in_time_order(parts)
    files = [p[0] for p in parts]
    datas = [p[1] for p in parts]
    counts = numpy.concatenate([f.count for f in files])
    rows = {
        "utc": numpy.concatenate([f.utc for f in files]),
        "offset": numpy.concatenate([f.offset for f in files]),
        "count": counts,
        "first": numpy.cumsum(counts) - counts,
        "ids": numpy.concatenate([f.ids for f in files]),
        "reading0": numpy.concatenate([f.reading0 for f in files]),
        "reading1": numpy.concatenate([f.reading1 for f in files]),
        "repeated": numpy.concatenate([f.repeated for f in files]),
    }
    file_of = numpy.repeat(numpy.arange(len(files)), [len(f) for f in files])
    starts = numpy.concatenate([f.start for f in files])
    lengths = numpy.concatenate([f.length for f in files])

    def text(row):
        start = starts[row]
        return datas[file_of[row]][start:start + lengths[row]]
    return rows, text


def _in_time_order(parts):
    """The files ordered by time when no two of them overlap in time, else as given.

    Without an overlap no two files share a second, so the order of the files
    decides nothing, and the rows of backups and current file then come
    already sorted.
    """
    spans = [(int(rows.utc.min()), int(rows.utc.max()), index) for index, (rows, _) in enumerate(parts) if len(rows)]
    spans.sort()
    if any(later[0] <= earlier[1] for earlier, later in zip(spans, spans[1:])):
        return parts
    return [parts[index] for _, _, index in spans] + [part for part in parts if not len(part[0])]


def _first_of_each_text(sorted_utc, order, texts):
    """Mask over the sorted rows: True for the first of each text.

    Identical texts have the same time stamp, so only rows that share their
    UTC second with a neighbour need their text compared.
    """
    keep = numpy.ones(len(order), bool)
    same = sorted_utc[1:] == sorted_utc[:-1]
    shared = numpy.flatnonzero(numpy.concatenate(([False], same)) | numpy.concatenate((same, [False])))
    seen = set()
    for index in shared:
        text = texts(order[index])
        if text in seen:
            keep[index] = False
        seen.add(text)
    return keep


# Past this many rows per layout on average, series are gathered by sorting instead.
_MIN_ROWS_PER_LAYOUT = 64


def _split_series(stream, ids, reading0, reading1):
    """The stream's series, each in time order.

    Between two changes of the layout every row has the same keys in the
    same order, so each series is a column of that stretch's entries.
    """
    if not len(stream.keys):  # no row, or rows without any interface
        return []
    bounds = numpy.concatenate(([0], stream.layout_changes, [len(stream.utc)]))
    if len(bounds) - 1 > max(1, len(stream.utc) // _MIN_ROWS_PER_LAYOUT):
        pieces = _pieces_by_sorting(stream, ids, reading0, reading1)
    else:
        pieces = _pieces_by_layout(stream, bounds, reading0, reading1)
    series = [_joined(stream, key, ids_of, parts) for key, (ids_of, parts) in pieces.items()]
    # Ordered as the rows show them: by the first position, then id.
    series.sort(key=lambda s: (s.positions[0], s.component_id, s.position or 0))
    return series


def _pieces_by_layout(stream, bounds, reading0, reading1):
    pieces = {}
    for start, end in zip(bounds[:-1], bounds[1:]):
        width = int(stream.count[start])
        if not width:
            continue
        entries = slice(stream.first[start], stream.first[start] + (end - start) * width)
        # One transposing copy makes every column contiguous.
        columns0 = numpy.ascontiguousarray(reading0[entries].reshape(-1, width).T)
        columns1 = numpy.ascontiguousarray(reading1[entries].reshape(-1, width).T)
        rows = numpy.arange(start, end)
        for column, key in enumerate(stream.row_keys(start).tolist()):
            part = (rows, numpy.full(end - start, column + 1), columns0[column], columns1[column])
            pieces.setdefault(key, (key % 256, []))[1].append(part)
    return pieces


def _pieces_by_sorting(stream, ids, reading0, reading1):
    keys = stream.keys
    # Stable, so that each series stays in time order; 16-bit keys sort by radix.
    order = numpy.argsort(keys.astype(numpy.uint16) if keys.max() < 1 << 16 else keys, kind="stable")
    bounds = numpy.flatnonzero(numpy.diff(keys[order])) + 1
    pieces = {}
    for group in numpy.split(order, bounds):
        rows = numpy.searchsorted(stream.first, group, side="right") - 1
        part = (rows, group - stream.first[rows] + 1, reading0[group], reading1[group])
        pieces[int(keys[group[0]])] = (int(ids[group[0]]), [part])
    return pieces


def _joined(stream, key, component_id, parts):
    rows, place, reading0, reading1 = (numpy.concatenate(column) for column in zip(*parts))
    return Series(stream.machine, stream.log, component_id, None if key < _ID_KEYS else key // 256,
                  tuple(numpy.unique(place).tolist()), rows, place, stream.utc[rows], stream.offset[rows],
                  reading0, reading1)
