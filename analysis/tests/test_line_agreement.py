"""The vectorised decoder and the per-line checker give every line the same verdict.

decode.py checks the lines of a file a byte matrix at a time; lines.py
checks one line with regular expressions and says what is wrong with it.
Hypothesis writes files of good lines and of lines with every kind of fault
that 'check' knows, and each line must come out of decode_file as the
per-line functions of lines.py judge it, a good row with the same values.
"""

from datetime import datetime

from hypothesis import HealthCheck, example, given, settings, strategies as st

from conftest import LOCAL_HEADER, UPLOAD_HEADER, row
from tarnlog.components import COMPONENT_NAMES, UNIDENTIFIED_ID, UNKNOWN_ID
from tarnlog.decode import decode_file
from tarnlog.lines import LOCAL_LOG, UPLOAD_LOG, check_body_line, header_problems, unsupported_version

VALID_IDS = sorted([*COMPONENT_NAMES, UNKNOWN_ID, UNIDENTIFIED_ID])
HEADERS = [LOCAL_HEADER.encode(), UPLOAD_HEADER.encode()]
# Columns of YYYYMMDDThhmmss+hhmm and the digits each field has.
STAMP_FIELDS = [(0, 4), (4, 6), (6, 8), (9, 11), (11, 13), (13, 15), (16, 18), (18, 20)]
ODD_BYTES = b"\x00\t\r\x7f\x80\xe9\xff ,;:TZ+-gGAF"


def verdicts_line_by_line(data, expected_log):
    """(bad line numbers, good rows) as the functions of lines.py judge each line of data."""
    if not data:
        return [1], []
    pieces = data.split(b"\n")
    terminated = [True] * (len(pieces) - 1) + [False]
    if pieces[-1] == b"":
        pieces, terminated = pieces[:-1], terminated[:-1]
    lf_only = not any(piece.endswith(b"\r") for piece, ended in zip(pieces, terminated) if ended)
    bad, rows = [], []
    for number, (piece, ended) in enumerate(zip(pieces, terminated), 1):
        cr_lf = ended and piece.endswith(b"\r") and not lf_only
        content = piece[:-1] if cr_lf else piece
        end_problems = [] if cr_lf or (ended and lf_only) else ["the line end"]
        if number == 1:
            if unsupported_version(content) is not None:
                return [1], []  # the file is not read
            if header_problems(content, expected_log)[1] or end_problems:
                bad.append(1)
            continue
        problems, good = check_body_line(number, content, end_problems)
        if problems:
            bad.append(number)
        else:
            rows.append((number, good.utc_seconds, good.offset_minutes,
                         [(e.component_id, e.reading0, e.reading1) for e in good.entries]))
    return bad, rows


def decoded_verdicts(data, expected_log):
    decoded = decode_file(data, expected_log)
    rows = decoded.rows
    flat = list(zip(rows.ids.tolist(), rows.reading0.tolist(), rows.reading1.tolist()))
    bounds = [0] + rows.count.cumsum().tolist()
    entries = [flat[a:b] for a, b in zip(bounds, bounds[1:])]
    return ([b.line_number for b in decoded.bad_lines],
            list(zip(rows.line.tolist(), rows.utc.tolist(), rows.offset.tolist(), entries)))


@st.composite
def good_lines(draw):
    moment = draw(st.datetimes(min_value=datetime(1, 1, 1), max_value=datetime(9999, 12, 31, 23, 59, 59)))
    offset = draw(st.integers(-(14 * 60 + 59), 14 * 60 + 59))
    stamp = "%04d%s%s%02d%02d" % (moment.year, moment.strftime("%m%dT%H%M%S"), "-" if offset < 0 else "+",
                                   *divmod(abs(offset), 60))
    entries = draw(st.lists(st.tuples(st.sampled_from(VALID_IDS), st.integers(0, 2**64 - 1),
                                      st.integers(0, 2**64 - 1)), max_size=3))
    return row(stamp, *entries).encode()


def _replace(line, start, end, text):
    return line[:start] + text + line[end:]


def _field_bounds(line, draw):
    """(start, end) of one field after the time stamp, or of the stamp when there is none."""
    bounds, start = [], 21
    for field in line[21:].split(b","):
        bounds.append((start, start + len(field)))
        start += len(field) + 1
    return draw(st.sampled_from(bounds)) if len(line) > 21 else (0, 20)


# Each fault: (draw, good line) -> the line with that fault, or with a value that happens to be good.
def stamp_number(draw, line):
    start, end = draw(st.sampled_from(STAMP_FIELDS))
    return _replace(line, start, end, b"%0*d" % (end - start, draw(st.integers(0, 10 ** (end - start) - 1))))


def impossible_day(draw, line):
    year = draw(st.sampled_from([b"1900", b"2000", b"2023", b"2024", b"0000", b"9999"]))
    month, day = draw(st.integers(0, 13)), draw(st.integers(0, 32))
    return _replace(line, 0, 8, year + b"%02d%02d" % (month, day))


def stamp_byte(draw, line):
    at = draw(st.integers(0, 20))
    return _replace(line, at, at + 1, bytes([draw(st.sampled_from(b"0123456789" + ODD_BYTES))]))


def stamp_length(draw, line):
    at = draw(st.integers(0, 20))
    return _replace(line, at, at + draw(st.integers(0, 1)), draw(st.sampled_from([b"", b"0", b"1"])))


def hex_field(draw, line):
    start, end = _field_bounds(line, draw)
    digits = draw(st.text("0123456789abcdefABCDEFg", min_size=0, max_size=18))
    return _replace(line, start, end, digits.encode())


def component_id(draw, line):
    start, end = _field_bounds(line, draw)
    return _replace(line, start, end, b"%02x" % draw(st.integers(0, 255)))


def separator(draw, line):
    commas = [i for i, byte in enumerate(line) if byte == ord(",")]
    at = draw(st.sampled_from(commas))
    return _replace(line, at, at + 1, draw(st.sampled_from([b"", b",,", b";", b" ", b", "])))


def extra_fields(draw, line):
    return line + draw(st.sampled_from([b",05", b",05,0000000000000001", b",05,0000000000000001,0000000000000002",
                                        b",", b" "]))


def cut(draw, line):
    return line[:draw(st.integers(0, len(line)))]


def odd_byte(draw, line):
    at = draw(st.integers(0, len(line)))
    return _replace(line, at, at + draw(st.integers(0, 1)), bytes([draw(st.sampled_from(ODD_BYTES))]))


def nul_filled(draw, line):
    return b"\x00" * draw(st.integers(1, len(line)))


def byte_order_mark(draw, line):
    return b"\xef\xbb\xbf" + line


def header_line(draw, line):
    return draw(st.sampled_from(HEADERS + [b"# LogFormatVersion:V2.00", LOCAL_HEADER.encode() + b" "]))


FAULTS = [stamp_number, impossible_day, stamp_byte, stamp_length, hex_field, component_id, separator,
          extra_fields, cut, odd_byte, nul_filled, byte_order_mark, header_line]


@st.composite
def body_lines(draw):
    line = draw(good_lines())
    fault = draw(st.one_of(st.none(), st.sampled_from(FAULTS)))
    return line if fault is None else fault(draw, line)


@st.composite
def log_files(draw):
    """(file bytes, the log its name stands for): a header or a fault in its place, lines and their ends."""
    header = draw(st.sampled_from(HEADERS + [
        b"\xef\xbb\xbf" + HEADERS[0], b"# LogFormatVersion:V2.00", b"#vorla_upload LogFormatVersion:V1.01",
        b"# logformatversion:v1.00", b"", b"20240101T000000+0000,"]))
    lines = [header] + draw(st.lists(body_lines(), max_size=8))
    usual = draw(st.sampled_from([b"\r\n", b"\n"]))
    ends = [draw(st.sampled_from([usual] * 6 + [b"\r\n", b"\n", b"\r\r\n"])) for _ in lines]
    if draw(st.booleans()):
        ends[-1] = b""  # the file ends inside its last line
    expected_log = draw(st.sampled_from([LOCAL_LOG, UPLOAD_LOG, None]))
    return b"".join(line + end for line, end in zip(lines, ends)), expected_log


EDGE_STAMPS = ["20240101T000000+1500", "20240101T000000+1460", "20240101T000000-1459", "20230229T000000+0000",
               "20000229T000000+0000", "19000229T000000+0000", "00000101T000000+0000", "99991231T235959-0100",
               "20240101T240000+0000", "20240101T236000+0000", "20240101T235960+0000", "20241131T000000+0000"]


@given(log_files())
@example((b"".join(line.encode() + b"\r\n" for line in [LOCAL_HEADER] + [
    row(stamp, (5, 2**64 - 1, 2**63), (0xFF, 0, 1)) for stamp in EDGE_STAMPS]), LOCAL_LOG))
@settings(max_examples=600, deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow])
def test_decoder_and_per_line_checker_agree_on_every_line(log_file):
    data, expected_log = log_file
    assert decoded_verdicts(data, expected_log) == verdicts_line_by_line(data, expected_log)
