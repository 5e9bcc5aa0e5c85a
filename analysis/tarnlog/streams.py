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
    position: int  # the position (from 1) of a position-keyed series; None when keyed by id
    positions: tuple  # every position it was seen at, ascending
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
    series: list = field(default_factory=list)
    # The rows' entries, flattened in row order: what events.py compares row to row.
    entry_row: numpy.ndarray = None
    entry_key: numpy.ndarray = None

    @property
    def rows_used(self):
        return len(self.utc)


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
    entries = expand_ranges(rows["first"][kept], rows["count"][kept])
    counts = rows["count"][kept]
    entry_row = numpy.repeat(numpy.arange(len(kept)), counts)
    position = numpy.arange(len(entries)) - numpy.repeat(numpy.cumsum(counts) - counts, counts) + 1
    ids = rows["ids"][entries]
    keys = _series_keys(entry_row, position, ids)
    stream = Stream(machine, log, rows["utc"][kept], rows["offset"][kept], len(order), len(order) - len(kept),
                    entry_row=entry_row, entry_key=keys)
    stream.series = _split_series(stream, keys, entry_row, position, ids,
                                  rows["reading0"][entries], rows["reading1"][entries])
    return stream


def _concatenate(parts):
    """The files' rows as one set of columns, and a function giving a row's text."""
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
    }
    file_of = numpy.repeat(numpy.arange(len(files)), [len(f) for f in files])
    starts = numpy.concatenate([f.start for f in files])
    lengths = numpy.concatenate([f.length for f in files])

    def text(row):
        start = starts[row]
        return datas[file_of[row]][start:start + lengths[row]]
    return rows, text


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


def _series_keys(entry_row, position, ids):
    """Per entry: its id where that id occurs once in its row, else 256 * position + id."""
    if not len(ids):
        return numpy.zeros(0, numpy.int64)
    pair = entry_row.astype(numpy.int64) * 256 + ids
    _, inverse, counts = numpy.unique(pair, return_inverse=True, return_counts=True)
    repeated = counts[inverse] > 1
    return numpy.where(repeated, position * 256 + ids, ids).astype(numpy.int64)


def _split_series(stream, keys, entry_row, position, ids, reading0, reading1):
    order = numpy.argsort(keys, kind="stable")  # stable: each series stays in time order
    bounds = numpy.flatnonzero(numpy.diff(keys[order])) + 1
    series = []
    for group in numpy.split(order, bounds) if len(order) else []:
        key = int(keys[group[0]])
        row = entry_row[group]
        series.append(Series(stream.machine, stream.log, int(ids[group[0]]),
                             None if key < _ID_KEYS else int(position[group[0]]),
                             tuple(int(p) for p in numpy.unique(position[group])),
                             row, position[group], stream.utc[row], stream.offset[row],
                             reading0[group], reading1[group]))
    # Ordered as the rows show them: by the first position, then id.
    series.sort(key=lambda s: (s.positions[0], s.component_id, s.position or 0))
    return series
