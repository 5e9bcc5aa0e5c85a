"""Every line of a file is checked; the good rows decode exactly, in numpy arrays."""

import re

import pytest

from conftest import LOCAL_HEADER, UPLOAD_HEADER, log_bytes, row
from tarnlog.decode import decode_file as parse_log
from tarnlog.lines import LOCAL_LOG, UPLOAD_LOG, parse_stamp

GOOD = row("20261208T150621+0900", (5, 0x1F4, 0), (6, 0xBB8, 7))


def bad_lines_of(data, expected_log=LOCAL_LOG):
    parsed = parse_log(data, expected_log)
    return [(b.line_number, "; ".join(b.problems)) for b in parsed.bad_lines]


def entries_of(rows):
    """(id, reading0, reading1) per entry as Python ints, per row."""
    flat = list(zip(rows.ids.tolist(), rows.reading0.tolist(), rows.reading1.tolist()))
    bounds = [0] + rows.count.cumsum().tolist()
    return [flat[a:b] for a, b in zip(bounds, bounds[1:])]


class TestGoodFiles:
    def test_rows_decode_with_reading1_written_before_reading0(self):
        parsed = parse_log(log_bytes(LOCAL_HEADER, [GOOD]), LOCAL_LOG)
        assert parsed.bad_lines == []
        assert parsed.header_log == LOCAL_LOG
        assert parsed.rows.line.tolist() == [2]
        assert entries_of(parsed.rows) == [[(5, 0x1F4, 0), (6, 0xBB8, 7)]]

    def test_largest_counter_stays_exact(self):
        top = 2**64 - 1
        parsed = parse_log(log_bytes(LOCAL_HEADER, [row("20240101T000000+0000", (0xFF, top, top - 1))]))
        assert entries_of(parsed.rows) == [[(0xFF, top, top - 1)]]
        assert parsed.rows.reading0.dtype == "uint64"

    def test_row_without_interfaces_and_unidentified_and_unknown_ids_are_good(self):
        lines = ["20240101T000000+0000,", row("20240101T000100+0000", (0, 1, 2), (0xFF, 3, 4))]
        parsed = parse_log(log_bytes(LOCAL_HEADER, lines))
        assert parsed.bad_lines == []
        assert parsed.rows.count.tolist() == [0, 2]

    def test_upload_header_marks_the_upload_log(self):
        assert parse_log(log_bytes(UPLOAD_HEADER, [GOOD])).header_log == UPLOAD_LOG

    def test_header_alone_is_a_good_file(self):
        parsed = parse_log(log_bytes(LOCAL_HEADER, []))
        assert parsed.bad_lines == [] and len(parsed.rows) == 0


class TestTimeStamps:
    @pytest.mark.parametrize("stamp, utc, offset", [
        (b"19700101T000000+0000", 0, 0),
        (b"19700101T090000+0900", 0, 540),
        (b"19691231T190000-0500", 0, -300),
        (b"19700101T053000+0530", 0, 330),
    ])
    def test_utc_from_local_time_and_offset(self, stamp, utc, offset):
        assert parse_stamp(stamp) == (utc, offset)

    @pytest.mark.parametrize("stamp, reason", [
        (b"20240230T000000+0000", "not a real date"),
        (b"20240101T240000+0000", "not a real date"),
        (b"20240101T000000+1500", "no valid UTC offset"),
        (b"20240101T000000+0060", "no valid UTC offset"),
        (b"2024-01-01T00:00:00Z", "is not YYYYMMDDThhmmss+hhmm"),
        (b"20240101T000000", "is not YYYYMMDDThhmmss+hhmm"),
    ])
    def test_impossible_stamps_are_refused(self, stamp, reason):
        with pytest.raises(ValueError, match=re.escape(reason)):
            parse_stamp(stamp)


class TestBadLines:
    @pytest.mark.parametrize("line, reason", [
        ("", "empty line"),
        ("20240101T000000+0000", "no comma after the time stamp"),
        ("2024010T000000+0000," + GOOD[21:], "is not YYYYMMDDThhmmss+hhmm"),
        ("20241301T000000+0000," + GOOD[21:], "not a real date"),
        (GOOD + ",07", "7 fields after the time stamp, not a multiple of 3"),
        (GOOD.replace(",05,", ",5,"), "interface 1: component id '5' is not 2 lower-case hex digits"),
        (GOOD.replace(",05,", ",30,"), "interface 1: component id 30 is not in the component table"),
        (GOOD.replace("00000000000001f4", "00000000000001F4"), "interface 1: reading0"),
        (GOOD.replace("0000000000000bb8", "bb8"), "interface 2: reading0 'bb8' is not 16"),
        (GOOD.replace(",06,0000000000000007", ",06,00000000000000007"), "interface 2: reading1"),
        (GOOD.replace(",", ", ", 1), "' 05' is not 2 lower-case hex digits"),
        (LOCAL_HEADER, "log header inside the file"),
    ])
    def test_malformed_row_is_reported_with_its_line(self, line, reason):
        data = log_bytes(LOCAL_HEADER, [GOOD, line, GOOD])
        bad = bad_lines_of(data)
        assert [number for number, _ in bad] == [3]
        assert reason in bad[0][1]
        assert parse_log(data).rows.line.tolist() == [2, 4]

    def test_line_ends_other_than_cr_lf(self):
        data = (LOCAL_HEADER + "\r\n" + GOOD + "\n" + GOOD + "\r\n" + GOOD).encode()
        assert bad_lines_of(data) == [
            (2, "line ends with LF alone, not CR LF"),
            (4, "no CR LF at the end (the file ends inside this line)"),
        ]

    def test_bytes_outside_printable_ascii(self):
        nul_filled = b"\x00" * 30
        stray_cr = GOOD.encode()[:21] + b"\r" + GOOD.encode()[21:]
        latin = GOOD.encode().replace(b"05", b"\xe905", 1)
        data = log_bytes(LOCAL_HEADER, []) + b"\r\n".join([nul_filled, stray_cr, latin]) + b"\r\n"
        bad = bad_lines_of(data)
        assert [n for n, _ in bad] == [2, 3, 4]
        assert bad[0][1].startswith("30 bytes outside printable ASCII, the first byte 0x00 at column 1")
        assert bad[1][1].startswith("CR at column 22")
        assert "byte 0xe9" in bad[2][1]

    def test_header_problems(self):
        assert bad_lines_of(b"") == [(1, "empty file: no header")]
        assert bad_lines_of(log_bytes(GOOD, [GOOD])) == [(1, "line 1 is not a log header")]
        assert bad_lines_of(log_bytes(UPLOAD_HEADER, [GOOD]), LOCAL_LOG) == [
            (1, "header of the upload log in a file named as the local log")]
        bom = b"\xef\xbb\xbf" + log_bytes(LOCAL_HEADER, [GOOD])
        assert "byte-order mark before the header" in bad_lines_of(bom)[0][1]
        assert bad_lines_of(LOCAL_HEADER.encode()) == [(1, "no CR LF at the end (the file ends inside this line)")]
        assert bad_lines_of(log_bytes(LOCAL_HEADER, [GOOD]).replace(b"\r\n", b"\n", 1)) == [
            (1, "line ends with LF alone, not CR LF")]
