"""One log file's bytes into numpy arrays, every line checked.

The good rows of a file all have one of a few lengths (20 + 37 bytes per
interface, 21 for a row without any), so the lines of one length are checked
and decoded together as a byte matrix: a class per column (digit, hex digit,
comma, ...), the component ids looked up in a table, the dates by pandas'
to_datetime over the few distinct days, and the readings packed from hex
digits into bytes and read as big-endian uint64, which keeps them exact. A
line that fails any check goes to the per-line checker of lines.py, which
says what is wrong with it.
"""

from dataclasses import dataclass, field

import numpy
import pandas

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

    @staticmethod
    def empty():
        i64 = numpy.zeros(0, numpy.int64)
        return FileRows(i64, numpy.zeros(0, numpy.int16), i64, i64, i64, i64,
                        numpy.zeros(0, numpy.uint8), numpy.zeros(0, numpy.uint64), numpy.zeros(0, numpy.uint64))

    def __len__(self):
        return len(self.utc)


@dataclass
class DecodedFile:
    header_log: str = None  # "local" or "upload" from line 1, None without a header
    unsupported: str = None  # the format version a header of another version names
    warnings: list = field(default_factory=list)  # problems of the whole file, told once
    bad_lines: list = field(default_factory=list)
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
    if problems:
        decoded.bad_lines.append(BadLine(1, tuple(problems), first))
    good = terminated & (lf_only | (content_ends < ends))
    good[0] = False
    lengths = content_ends - starts
    fast = good & _decodable_length(lengths)
    blocks, rejected = _decode_by_length(array, starts, lengths, numpy.flatnonzero(fast))
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


def _decode_by_length(array, starts, lengths, candidates):
    """Decoded blocks of the candidate lines, and the lines the vectorised checks rejected."""
    blocks, rejected = [], []
    if not len(candidates):
        return blocks, numpy.zeros(0, numpy.int64)
    by_length = pandas.Series(candidates).groupby(lengths[candidates]).indices
    for length, positions in by_length.items():
        lines = candidates[positions]
        step = max(1, _SLICE_BYTES // int(length))
        for first in range(0, len(lines), step):
            part = lines[first:first + step]
            matrix = array[starts[part, None] + numpy.arange(length)]
            block, ok = _decode_matrix(matrix, part)
            blocks.append(block)
            rejected.append(part[~ok])
    return blocks, numpy.concatenate(rejected)


def _column_kinds(length):
    """Column indexes of one line length: (digits, hex digits, commas)."""
    interfaces = (length - _STAMP_WIDTH) // _ENTRY_WIDTH
    digits = numpy.r_[0:8, 9:15, 16:20]
    entry = numpy.arange(interfaces)[:, None] * _ENTRY_WIDTH + _STAMP_WIDTH
    hexes = (entry + numpy.r_[1:3, 4:20, 21:37]).ravel()
    commas = numpy.concatenate(([_STAMP_WIDTH], (entry + numpy.r_[3, 20]).ravel(),
                                numpy.arange(1, interfaces) * _ENTRY_WIDTH + _STAMP_WIDTH))
    return interfaces, digits, hexes, commas


def _decode_matrix(matrix, lines):
    """(FileRows of the good lines, mask of good lines) for lines of one length."""
    interfaces, digit_columns, hex_columns, comma_columns = _column_kinds(matrix.shape[1])
    digits = _DIGIT[matrix[:, digit_columns]]
    hexes = _HEX[matrix[:, hex_columns]].reshape(len(lines), interfaces, 34)
    ok = ((digits < 10).all(1) & (hexes < 16).all((1, 2)) & (matrix[:, comma_columns] == ord(",")).all(1)
          & (matrix[:, 8] == ord("T")) & ((matrix[:, 15] == ord("+")) | (matrix[:, 15] == ord("-"))))
    digits = digits.astype(numpy.int64)
    utc, offset, stamp_ok = _stamps(digits, matrix[:, 15], ok)
    ids = (hexes[:, :, 0] << 4) | hexes[:, :, 1]
    ok &= stamp_ok & VALID_IDS[ids].all(1)
    keep = numpy.flatnonzero(ok)
    hexes = hexes[keep]
    block = FileRows(utc[keep], offset[keep], lines[keep], numpy.zeros(len(keep), numpy.int64),
                     numpy.zeros(len(keep), numpy.int64), numpy.full(len(keep), interfaces, numpy.int64),
                     ids[keep].ravel(), _readings(hexes[:, :, 18:34]), _readings(hexes[:, :, 2:18]))
    return block, ok


def _number(digits, columns):
    return digits[:, columns] @ (10 ** numpy.arange(len(columns) - 1, -1, -1, dtype=numpy.int64))


def _stamps(digits, sign, ok):
    """(utc seconds, offset minutes, mask of real dates, times and offsets) per line."""
    day_number = _number(digits, numpy.r_[0:8])
    hour, minute, second = _number(digits, [8, 9]), _number(digits, [10, 11]), _number(digits, [12, 13])
    offset_hours, offset_mins = _number(digits, [14, 15]), _number(digits, [16, 17])
    offset = numpy.where(sign == ord("-"), -1, 1) * (offset_hours * 60 + offset_mins)
    # Lines of a file fall on few days: each distinct day is parsed once.
    days, inverse = numpy.unique(numpy.where(ok, day_number, 19700101), return_inverse=True)
    dates = pandas.to_datetime(pandas.Series(days.astype(str)), format="%Y%m%d", errors="coerce")
    epoch_days = (dates.values.astype("datetime64[D]") - numpy.datetime64(0, "D")).astype(numpy.int64)
    real = ~dates.isna().values[inverse]
    real &= (hour < 24) & (minute < 60) & (second < 60) & (offset_hours * 60 <= _MAX_OFFSET_MINUTES) & (offset_mins < 60)
    local = epoch_days[inverse] * 86400 + hour * 3600 + minute * 60 + second
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
        problems = []
        if not terminated[index]:
            problems.append("no CR LF at the end (the file ends inside this line)")
        elif not lf_only and data[content_ends[index]] != _CR:
            problems.append("line ends with LF alone, not CR LF")
        problems, row = check_body_line(int(index) + 1, content, problems)
        if problems:
            bad_lines.append(BadLine(int(index) + 1, tuple(problems), content))
        elif row is not None:
            blocks.append(_block_of_row(row, index))
    return blocks


def _block_of_row(row, index):
    entries = row.entries
    return FileRows(numpy.array([row.utc_seconds]), numpy.array([row.offset_minutes], numpy.int16),
                    numpy.array([index]), numpy.zeros(1, numpy.int64), numpy.zeros(1, numpy.int64),
                    numpy.array([len(entries)]), numpy.array([e.component_id for e in entries], numpy.uint8),
                    numpy.array([e.reading0 for e in entries], numpy.uint64),
                    numpy.array([e.reading1 for e in entries], numpy.uint64))


def _rows_in_line_order(blocks, starts, lengths):
    """The blocks' rows in line order, with line numbers from 1 and where each line's text lies."""
    if not blocks:
        return FileRows.empty()
    rows = FileRows(*(numpy.concatenate([getattr(b, name) for b in blocks]) for name in FileRows.__dataclass_fields__))
    order = numpy.argsort(rows.line, kind="stable")
    entry_order = _entry_order(rows.count, order)
    line = rows.line[order]
    return FileRows(rows.utc[order], rows.offset[order], line + 1, starts[line], lengths[line], rows.count[order],
                    rows.ids[entry_order], rows.reading0[entry_order], rows.reading1[entry_order])


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
