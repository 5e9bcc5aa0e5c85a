"""One log file's bytes into numpy arrays, every line checked.

The good rows of a file all have one of a few lengths (20 + 37 bytes per
interface, 21 for a row without any), and consecutive lines of one length
lie in the file as a byte matrix. Such a matrix is checked and decoded at
once: a class bit per column (digit, hex digit, comma, ...), the component
ids looked up in a table, the dates checked against numpy's calendar, and the
readings packed from hex digits into bytes and read as big-endian uint64,
which keeps them exact. A line that fails any check goes to the per-line
checker of lines.py, which says what is wrong with it. The two decide
alike on every line: tests/test_line_agreement.py holds them to it over
generated lines with every kind of fault.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy

from .components import VALID_IDS
from .lines import BadLine, check_body_line, header_problems, unsupported_version

_LF, _CR = 10, 13
_STAMP_WIDTH = 20  # YYYYMMDDThhmmss+hhmm
_ENTRY_WIDTH = 37  # ",ii,<16 hex>,<16 hex>"
# Lines of one length are decoded in slices of at most this many bytes, so a
# large file never needs more than a few such matrices at once.
_SLICE_BYTES = 4 << 20
_MAX_OFFSET_MINUTES = 14 * 60

_HEX = numpy.full(256, 255, dtype=numpy.uint8)
_HEX[numpy.frombuffer(b"0123456789", numpy.uint8)] = numpy.arange(10)
_HEX[numpy.frombuffer(b"abcdef", numpy.uint8)] = numpy.arange(10, 16)
_DIGIT = numpy.full(256, 255, dtype=numpy.uint8)
_DIGIT[numpy.frombuffer(b"0123456789", numpy.uint8)] = numpy.arange(10)
# A bit per kind of byte a column of a good line may hold.
_IS_DIGIT, _IS_HEX, _IS_COMMA, _IS_T, _IS_SIGN = 1, 2, 4, 8, 16
_CLASSES = numpy.zeros(256, numpy.uint8)
_CLASSES[numpy.frombuffer(b"0123456789", numpy.uint8)] = _IS_DIGIT | _IS_HEX
_CLASSES[numpy.frombuffer(b"abcdef", numpy.uint8)] = _IS_HEX
_CLASSES[ord(",")], _CLASSES[ord("T")] = _IS_COMMA, _IS_T
_CLASSES[ord("+")] = _CLASSES[ord("-")] = _IS_SIGN

LF_ONLY_WARNING = "line ends are LF alone, not CR LF (a transfer in text mode?); its rows were read"


@dataclass
class FileRows:
    """The good rows of one file, in line order; entries of all rows flattened in row order."""

    utc: numpy.ndarray  # int64 seconds since 1970 UTC
    offset: numpy.ndarray  # int16 minutes, local time minus UTC
    line: numpy.ndarray  # int64 line numbers
    start: numpy.ndarray  # int64 byte offset of the line in the file
    length: numpy.ndarray  # int64 bytes of the line without its line end
    count: numpy.ndarray  # int64 interfaces per row
    ids: numpy.ndarray  # uint8 per entry
    reading0: numpy.ndarray  # uint64 per entry
    reading1: numpy.ndarray  # uint64 per entry
    repeated: numpy.ndarray  # bool per entry: its id occurs more than once in its row

    @staticmethod
    def empty():
        i64 = numpy.zeros(0, numpy.int64)
        return FileRows(i64, numpy.zeros(0, numpy.int16), i64, i64, i64, i64, numpy.zeros(0, numpy.uint8),
                        numpy.zeros(0, numpy.uint64), numpy.zeros(0, numpy.uint64), numpy.zeros(0, bool))

    def __len__(self):
        return len(self.utc)


@dataclass
class DecodedFile:
    header_log: str | None = None  # "local" or "upload" from line 1, None without a header
    unsupported: str | None = None  # the format version a header of another version names
    warnings: list[str] = field(default_factory=list)  # problems of the whole file, told once
    bad_lines: list[BadLine] = field(default_factory=list)
    rows: FileRows = field(default_factory=FileRows.empty)


def decode_file(data, expected_log=None):
    """Checks every line of a file's bytes and decodes the good rows.

    expected_log is the log the file's name belongs to (None when the name
    does not tell); a header of the other log is then a bad line 1.
    """
    decoded = DecodedFile()
    if not data:
        decoded.bad_lines.append(BadLine(1, ("empty file: no header",), b""))
        return decoded
    array = numpy.frombuffer(data, numpy.uint8)
    starts, ends, terminated = _lines(array)
    lf_only = _lf_only(array, ends, terminated)
    if lf_only:
        decoded.warnings.append(LF_ONLY_WARNING)
    content_ends = ends if lf_only else ends - (terminated & (ends > starts) & (array[ends - 1] == _CR))
    first = data[starts[0]:content_ends[0]]
    decoded.unsupported = unsupported_version(first)
    if decoded.unsupported is not None:
        decoded.bad_lines.append(BadLine(1, ("unsupported log format version %s: the file is not read"
                                             % decoded.unsupported,), first))
        return decoded
    decoded.header_log, problems = header_problems(first, expected_log)
    problems = _line_end_problems(data, 0, content_ends, terminated, lf_only) + problems
    if problems:
        decoded.bad_lines.append(BadLine(1, tuple(problems), first))
    good = terminated & (lf_only | (content_ends < ends))
    good[0] = False
    lengths = content_ends - starts
    fast = good & _decodable_length(lengths)
    blocks, rejected = _decode_by_length(array, starts, lengths, numpy.flatnonzero(fast), 1 if lf_only else 2)
    slow = numpy.union1d(numpy.flatnonzero(~fast[1:]) + 1, rejected)
    slow_rows = _check_lines(data, slow, starts, content_ends, terminated, lf_only, decoded.bad_lines)
    decoded.rows = _rows_in_line_order(blocks + slow_rows, starts, lengths)
    return decoded


def _lines(array):
    """(starts, ends, terminated) per line; ends are the LF's index or the end of the data."""
    line_feeds = numpy.flatnonzero(array == _LF)
    starts = numpy.concatenate(([0], line_feeds + 1))
    ends = numpy.concatenate((line_feeds, [len(array)]))
    terminated = numpy.ones(len(starts), bool)
    if starts[-1] == len(array):  # the data ends with a line end: no last partial line
        starts, ends, terminated = starts[:-1], ends[:-1], terminated[:-1]
    else:
        terminated[-1] = False
    return starts, ends, terminated


def _lf_only(array, ends, terminated):
    """A file none of whose line ends has a CR: it went through a text-mode transfer."""
    ends = ends[terminated]
    ends = ends[ends > 0]
    return len(ends) > 0 and not (array[ends - 1] == _CR).any()


def _decodable_length(lengths):
    return (lengths == _STAMP_WIDTH + 1) | ((lengths >= _STAMP_WIDTH + _ENTRY_WIDTH)
                                           & ((lengths - _STAMP_WIDTH) % _ENTRY_WIDTH == 0))


def _runs(candidates, lengths):
    """(first, last + 1) of each run of consecutive candidate lines of one length, at most _SLICE_BYTES each."""
    if not len(candidates):
        return
    breaks = numpy.flatnonzero((numpy.diff(candidates) != 1) | (numpy.diff(lengths[candidates]) != 0)) + 1
    bounds = numpy.concatenate(([0], breaks, [len(candidates)]))
    for first, last in zip(bounds[:-1], bounds[1:]):
        step = max(1, _SLICE_BYTES // int(lengths[candidates[first]]))
        for part in range(first, last, step):
            yield part, min(part + step, last)


def _decode_by_length(array, starts, lengths, candidates, line_end):
    """Decoded blocks of the candidate lines, and the lines the vectorised checks rejected.

    Consecutive lines of one length lie in the file as a matrix: a reshape of
    the bytes, no copy.
    """
    blocks, rejected = [], [numpy.zeros(0, numpy.int64)]
    for first, last in _runs(candidates, lengths):
        lines = candidates[first:last]
        length = int(lengths[lines[0]])
        start = starts[lines[0]]
        matrix = array[start:start + len(lines) * (length + line_end)].reshape(len(lines), -1)[:, :length]
        block, ok = _decode_matrix(matrix, lines)
        blocks.append(block)
        rejected.append(lines[~ok])
    return blocks, numpy.concatenate(rejected)


def _stamp_classes():
    required = numpy.full(_STAMP_WIDTH + 1, _IS_DIGIT, numpy.uint8)
    required[8], required[15], required[_STAMP_WIDTH] = _IS_T, _IS_SIGN, _IS_COMMA
    return required


# The class bit each byte of a time stamp and the comma after it must have.
_STAMP_CLASSES = _stamp_classes()


def _decode_matrix(matrix, lines):
    """(FileRows of the good lines, mask of good lines) for lines of one length.

    The hex digits are checked by their value (a byte that is none has 255),
    the commas between fields by their byte, the time stamp by class bits.
    """
    interfaces = (matrix.shape[1] - _STAMP_WIDTH) // _ENTRY_WIDTH
    ok = (_CLASSES[matrix[:, :_STAMP_WIDTH + 1]] & _STAMP_CLASSES).all(1)
    utc, offset, stamp_ok = _stamps(_DIGIT[matrix[:, :_STAMP_WIDTH]].astype(numpy.int64), matrix[:, 15])
    fields = matrix[:, _STAMP_WIDTH:_STAMP_WIDTH + interfaces * _ENTRY_WIDTH].reshape(
        len(lines), interfaces, _ENTRY_WIDTH)
    entries = _HEX[fields]
    if interfaces:
        ok &= (fields[:, :, [0, 3, 20]] == ord(",")).all((1, 2))
        ok &= numpy.maximum(entries[:, :, 1:3].max(2), entries[:, :, 4:20].max(2)).max(1) < 16
        ok &= entries[:, :, 21:37].max((1, 2)) < 16
    ids = (entries[:, :, 1] << 4) | entries[:, :, 2]
    ok &= stamp_ok & VALID_IDS[ids].all(1)
    keep = numpy.flatnonzero(ok)
    if len(keep) < len(lines):
        entries, ids = entries[keep], ids[keep]
    block = FileRows(utc[keep], offset[keep], lines[keep], numpy.zeros(len(keep), numpy.int64),
                     numpy.zeros(len(keep), numpy.int64), numpy.full(len(keep), interfaces, numpy.int64),
                     ids.ravel(), _readings(entries[:, :, 21:37]), _readings(entries[:, :, 4:20]),
                     repeated_in_row(ids).ravel())
    return block, ok


def repeated_in_row(ids):
    """Per entry of a (rows, interfaces) id matrix: whether its id occurs again in its row."""
    repeated = numpy.zeros(ids.shape, bool)
    if ids.shape[1] < 2:
        return repeated
    ordered = numpy.sort(ids, 1)
    rows = numpy.flatnonzero((ordered[:, 1:] == ordered[:, :-1]).any(1))  # few rows, if any
    subset = ids[rows]
    repeated[rows] = (subset[:, :, None] == subset[:, None, :]).sum(2) > 1
    return repeated


def _number(digits, columns):
    return digits[:, columns] @ (10 ** numpy.arange(len(columns) - 1, -1, -1, dtype=numpy.int64))


def _stamps(digits, sign):
    """(utc seconds, offset minutes, mask of real dates, times and offsets) per line.

    The date is checked by numpy's calendar: a day past the end of its month
    is not a real date. Columns of other bytes give garbage here; the class
    check has rejected their lines already.
    """
    year, month, day = _number(digits, numpy.r_[0:4]), _number(digits, [4, 5]), _number(digits, [6, 7])
    hour, minute, second = _number(digits, [9, 10]), _number(digits, [11, 12]), _number(digits, [13, 14])
    offset_hours, offset_mins = _number(digits, [16, 17]), _number(digits, [18, 19])
    offset = numpy.where(sign == ord("-"), -1, 1) * (offset_hours * 60 + offset_mins)
    real = (year >= 1) & (year <= 9999) & (month >= 1) & (month <= 12) & (day >= 1)
    months = numpy.where(real, (year - 1970) * 12 + month - 1, 0).astype("datetime64[M]")
    month_start = months.astype("datetime64[D]").astype(numpy.int64)
    month_days = (months + 1).astype("datetime64[D]").astype(numpy.int64) - month_start
    real &= (day <= month_days) & (hour < 24) & (minute < 60) & (second < 60)
    real &= (offset_hours * 60 <= _MAX_OFFSET_MINUTES) & (offset_mins < 60)
    local = (month_start + day - 1) * 86400 + hour * 3600 + minute * 60 + second
    return local - offset * 60, offset.astype(numpy.int16), real


def _readings(nibbles):
    """Exact uint64 readings from 16 hex digits per entry: two digits a byte, read big-endian."""
    packed = numpy.ascontiguousarray((nibbles[:, :, 0::2] << 4) | nibbles[:, :, 1::2])
    return packed.view(">u8").reshape(-1).astype(numpy.uint64)


def _check_lines(data, numbers, starts, content_ends, terminated, lf_only, bad_lines):
    """The per-line check of the lines the vectorised checks did not take; their rows as blocks."""
    blocks = []
    for index in numbers:
        content = data[starts[index]:content_ends[index]]
        problems = _line_end_problems(data, index, content_ends, terminated, lf_only)
        problems, row = check_body_line(int(index) + 1, content, problems)
        if problems:
            bad_lines.append(BadLine(int(index) + 1, tuple(problems), content))
        elif row is not None:
            blocks.append(_block_of_row(row, index))
    return blocks


def _line_end_problems(data, index, content_ends, terminated, lf_only):
    if not terminated[index]:
        return ["no CR LF at the end (the file ends inside this line)"]
    if not lf_only and data[content_ends[index]] != _CR:
        return ["line ends with LF alone, not CR LF"]
    return []


def _block_of_row(row, index):
    entries = row.entries
    ids = numpy.array([[e.component_id for e in entries]], numpy.uint8)
    return FileRows(numpy.array([row.utc_seconds]), numpy.array([row.offset_minutes], numpy.int16),
                    numpy.array([index]), numpy.zeros(1, numpy.int64), numpy.zeros(1, numpy.int64),
                    numpy.array([len(entries)]), ids.ravel(),
                    numpy.array([e.reading0 for e in entries], numpy.uint64),
                    numpy.array([e.reading1 for e in entries], numpy.uint64), repeated_in_row(ids).ravel())


def _rows_in_line_order(blocks, starts, lengths):
    """The blocks' rows in line order, with line numbers from 1 and where each line's text lies."""
    if not blocks:
        return FileRows.empty()
    rows = FileRows(*(numpy.concatenate([getattr(b, name) for b in blocks]) for name in FileRows.__dataclass_fields__))
    order = numpy.argsort(rows.line, kind="stable")
    entry_order = _entry_order(rows.count, order)
    line = rows.line[order]
    return FileRows(rows.utc[order], rows.offset[order], line + 1, starts[line], lengths[line], rows.count[order],
                    rows.ids[entry_order], rows.reading0[entry_order], rows.reading1[entry_order],
                    rows.repeated[entry_order])


def _entry_order(counts, order):
    """Entry indexes that put the entries of rows (given with counts) into the row order given."""
    firsts = numpy.concatenate(([0], numpy.cumsum(counts)[:-1]))
    return expand_ranges(firsts[order], counts[order])


def expand_ranges(firsts, counts):
    """The indexes first..first+count-1 of every (first, count), concatenated."""
    total = int(counts.sum())
    if not total:
        return numpy.zeros(0, numpy.int64)
    ends = numpy.cumsum(counts)
    return numpy.arange(total) - numpy.repeat(ends - counts, counts) + numpy.repeat(firsts, counts)
