"""Rows merged in time order per machine and log; rates, resets, gaps; the --json structure."""

import pytest

from conftest import UPLOAD_HEADER, all_stats, load, row, summarise
from tarnlog.summary import format_summary, summary_document

BATTERY = 5


def minute_rows(readings, start_minute=0, minutes=None, component=BATTERY):
    """One row per reading0 value, a minute apart unless minutes lists the offsets."""
    minutes = minutes or [start_minute + i for i in range(len(readings))]
    return [row("20240101T%02d%02d00+0000" % divmod(m, 60), (component, r0, 2 * r0))
            for m, r0 in zip(minutes, readings)]


def only_series(machines):
    (stats,) = all_stats(machines)
    return stats.series, stats


def streams(machines):
    return [stream for machine in machines for stream in machine.streams]


class TestMerging:
    def test_backup_and_overlapping_copy_count_each_row_once_in_time_order(self, tmp_path, write_log):
        rows = minute_rows([10, 20, 30, 40])
        current = write_log("PC1/TARNLog.csv", rows[2:])
        backup = write_log("PC1/TARNLog_20240101T000130+0000.csv", rows[:3])
        (stream,) = streams(load([current, backup]))
        assert (stream.stream.rows_read, stream.stream.rows_used, stream.stream.duplicate_rows) == (5, 4, 1)
        series, stats = only_series(load([current, backup]))
        assert series.reading0.tolist() == [10, 20, 30, 40]
        assert [len(stats.resets[r]) for r in ("reading0", "reading1")] == [0, 0]

    def test_machines_and_logs_stay_apart(self, tmp_path, write_log):
        rows = minute_rows([1, 2, 3])
        write_log("drop/PC1/TARNLog.csv", rows)
        write_log("drop/PC2/TARNLog.csv", rows)
        write_log("drop/PC2/TARNLogUpload.csv", rows[:2], header=UPLOAD_HEADER)
        summary = summarise([str(tmp_path / "drop")])
        assert summary.total("duplicate_rows") == 0
        assert [(s.machine, s.log, s.samples) for m in summary.machines for s in m.series] == [
            ("PC1", "local", 3), ("PC2", "local", 3), ("PC2", "upload", 2)]


    @pytest.mark.parametrize("lines", [[], ["20240101T000000+0000,", "20240101T000100+0000,"]])
    def test_a_header_alone_or_rows_without_interfaces_give_no_series(self, write_log, lines):
        summary = summarise([write_log("PC1/TARNLog.csv", lines)])
        assert (summary.total("rows_used"), summary.machines[0].series) == (len(lines), [])
        assert format_summary(summary).startswith("Read 1 file, %d rows" % len(lines))

    def test_file_of_unknown_log_is_skipped_and_bad_lines_left_out(self, tmp_path, write_log):
        good = write_log("TARNLog.csv", minute_rows([1, 2]) + ["garbage"])
        mystery = write_log("notes.csv", [], raw=b"hello\r\n")
        summary = summarise([good, mystery])
        assert (summary.total("rows_read"), summary.total("bad_lines")) == (2, 1)
        assert [(s.path, s.reason) for s in summary.all_skipped] == [
            (mystery, "neither its name nor its first line is one of the logs")]


class TestSeriesFigures:
    def test_reading_that_goes_down_is_a_reset_and_stays_out_of_the_rate(self, write_log):
        timeline = load([write_log("TARNLog.csv", minute_rows([100, 200, 50, 150]))])
        _, stats = only_series(timeline)
        assert stats.series.reading0[stats.resets["reading0"]].tolist() == [50]
        assert stats.rates["reading0"] == pytest.approx(200 / 120)
        assert stats.rates["reading1"] == pytest.approx(400 / 120)

    def test_interval_over_one_and_a_half_median_is_a_gap(self, write_log):
        rows = minute_rows([1, 2, 3, 4, 5, 6], minutes=[0, 1, 2, 8, 9, 10])
        rows.append(row("20240101T001130+0000", (BATTERY, 7, 14)))  # 1.5 times the median: no gap
        _, stats = only_series(load([write_log("TARNLog.csv", rows)]))
        assert stats.median_interval == 60
        assert [(stats.series.utc[g], stats.series.utc[g + 1], stats.seconds[g]) for g in stats.gaps] == [
            (1704067320, 1704067680, 360)]

    @pytest.mark.parametrize("stamps", [
        # Daylight saving ends: 03:00+0200 becomes 02:00+0100.
        ["20241027T025800+0200", "20241027T025900+0200", "20241027T020000+0100", "20241027T020100+0100"],
        # Daylight saving begins: 02:00+0100 becomes 03:00+0200.
        ["20240331T015800+0100", "20240331T015900+0100", "20240331T030000+0200", "20240331T030100+0200"],
    ])
    def test_daylight_saving_change_keeps_intervals_regular(self, write_log, stamps):
        rows = [row(stamp, (BATTERY, 60 * i, 0)) for i, stamp in enumerate(stamps)]
        series, stats = only_series(load([write_log("TARNLog.csv", rows)]))
        assert stats.seconds.tolist() == [60, 60, 60]
        assert (len(stats.gaps), stats.rates["reading0"]) == (0, 1.0)

    def test_counters_near_the_top_of_64_bits_keep_exact_deltas(self, write_log):
        top = 2**64 - 1
        rows = [row("20240101T000000+0000", (BATTERY, top - 6001, top - 60)),
                row("20240101T000100+0000", (BATTERY, top - 1, top))]
        series, stats = only_series(load([write_log("TARNLog.csv", rows)]))
        assert series.reading1.tolist() == [top - 60, top]
        # As floats both readings would be the same 2**64 and the rates 0.
        assert (stats.rates["reading0"], stats.rates["reading1"]) == (100.0, 1.0)


class TestSummaryOutput:
    def test_json_structure_is_stable(self, tmp_path, write_log):
        rows = minute_rows([100, 200, 50], minutes=[0, 1, 5])
        path = write_log("PC1/TARNLog.csv", rows + ["20240101T0010+0000,"])
        skipped = str(tmp_path / "absent")
        document = summary_document(summarise([path, skipped]))
        machine = "PC1"
        moment = {"utc": "2024-01-01T00:05:00Z", "local": "2024-01-01T00:05:00+00:00"}
        assert document == {
            "format": "tarnlog-summary",
            "version": 2,
            "input": {
                "files_read": 1, "rows_read": 3, "rows_used": 3, "duplicate_rows": 0, "bad_lines": 1,
                "files": [{"path": path, "machine": machine, "log": "local", "kind": "current",
                           "rows": 3, "bad_lines": 1, "warnings": []}],
                "skipped": [{"path": skipped, "reason": "no such file or folder"}],
            },
            "series": [{
                "machine": machine, "log": "local", "component_id": 5, "component": "BATTERY",
                "keyed_by": "component", "position": None, "positions": [1], "samples": 3,
                "first": {"utc": "2024-01-01T00:00:00Z", "local": "2024-01-01T00:00:00+00:00"},
                "last": {"utc": "2024-01-01T00:05:00Z", "local": "2024-01-01T00:05:00+00:00"},
                "median_interval_s": 150.0,
                "readings": {
                    "reading0": {"rate_per_s": 100 / 60, "resets": [
                        {"utc": "2024-01-01T00:05:00Z", "local": "2024-01-01T00:05:00+00:00"}]},
                    "reading1": {"rate_per_s": 200 / 60, "resets": [
                        {"utc": "2024-01-01T00:05:00Z", "local": "2024-01-01T00:05:00+00:00"}]},
                },
                "gaps": [{"from": {"utc": "2024-01-01T00:01:00Z", "local": "2024-01-01T00:01:00+00:00"},
                          "to": moment, "seconds": 240, "expected_s": 60.0}],
            }],
            "events": [
                {"kind": "gap", "machine": machine, "log": "local",
                 "from": {"utc": "2024-01-01T00:01:00Z", "local": "2024-01-01T00:01:00+00:00"}, "at": moment,
                 "seconds": 240, "expected_s": 60.0, "components": ["BATTERY"]},
                {"kind": "reset", "machine": machine, "log": "local",
                 "from": {"utc": "2024-01-01T00:01:00Z", "local": "2024-01-01T00:01:00+00:00"}, "at": moment,
                 "components": ["BATTERY"], "readings": 2},
            ],
        }

    def test_unknown_component_and_counts_in_the_text(self, tmp_path, write_log):
        path = write_log("TARNLog.csv", minute_rows([1, 2], component=0xFF) + ["bad"])
        text = format_summary(summarise([path, str(tmp_path / "other.txt")]))
        assert text.startswith("Read 1 file, 2 rows (0 identical rows counted once, 1 bad line left out).")
        assert "%s: no such file or folder" % (tmp_path / "other.txt") in text
        assert "unknown (ff)" in text
