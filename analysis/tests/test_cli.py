"""The four commands as engineers run them: output, files written and exit codes."""

import csv
import io
import json
import os
import subprocess

import pytest

from conftest import UPLOAD_HEADER, row
from tarnlog.cli import main

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
ROWS = [row("20240101T090000+0900", (5, 100, 7)), row("20240101T090100+0900", (5, 160, 7)),
        row("20240101T090500+0900", (5, 40, 8))]


def run(*argv):
    out, err = io.StringIO(), io.StringIO()
    code = main(list(argv), out, err)
    return code, out.getvalue(), err.getvalue()


class TestCheck:
    def test_good_files_and_folders_pass(self, tmp_path, write_log):
        write_log("PC1/TARNLog.csv", ROWS)
        upload = write_log("PC2/3001_TARNLogUpload_20240101T000000+0000.csv", ROWS, header=UPLOAD_HEADER)
        code, out, err = run("check", str(tmp_path / "PC1"), upload)
        assert (code, out) == (0, "")
        assert "2 files checked, 0 bad lines" in err

    def test_each_bad_line_is_printed_with_file_and_line_number(self, tmp_path, write_log):
        path = write_log("TARNLog.csv", [ROWS[0], "", ROWS[1] + ",ff", ROWS[2]])
        code, out, _ = run("check", path)
        assert code == 1
        assert out.splitlines() == [
            "%s:3: empty line: ''" % path,
            "%s:4: 4 fields after the time stamp, not a multiple of 3 (id, reading1, reading0 per interface): "
            "'%s'" % (path, ROWS[1] + ",ff"),
        ]

    def test_missing_path_fails(self, tmp_path, write_log):
        code, _, err = run("check", write_log("TARNLog.csv", ROWS), str(tmp_path / "absent"))
        assert code == 1
        assert "skipped %s: no such file or folder" % (tmp_path / "absent") in err


class TestSummaryExportPlot:
    def test_summary_json_carries_its_version(self, write_log):
        code, out, _ = run("summary", "--json", write_log("TARNLog.csv", ROWS))
        document = json.loads(out)
        assert (code, document["version"], len(document["series"])) == (0, 2, 1)

    def test_missing_path_fails_after_the_summary_of_the_others(self, tmp_path, write_log):
        code, out, err = run("summary", write_log("TARNLog.csv", ROWS), str(tmp_path / "absent"))
        assert code == 1
        assert "%s: no such file or folder" % (tmp_path / "absent") in out
        assert "BATTERY (05)" in out
        assert "not found: %s" % (tmp_path / "absent") in err

    def test_nothing_to_read_fails(self, tmp_path):
        (tmp_path / "empty").mkdir()
        code, out, err = run("summary", str(tmp_path / "empty"))
        assert (code, out) == (1, "")
        assert "no log file found" in err

    def test_long_export_has_one_row_per_sample_with_exact_readings_and_deltas(self, tmp_path, write_log):
        top = 2**64 - 1
        lines = ROWS[:2] + [row("20240101T090200+0900", (5, 160, 7), (0xFF, top, 0))]
        out_csv = tmp_path / "long.csv"
        code, _, _ = run("export", "--long", str(out_csv), write_log("PC1/TARNLog.csv", lines))
        assert code == 0
        with open(out_csv, newline="") as stream:
            table = list(csv.DictReader(stream))
        assert [(r["time_utc"], r["time_local"], r["position"], r["component"], r["reading0"], r["reading1"],
                 r["interval_s"], r["delta0"], r["delta1"]) for r in table] == [
            ("2024-01-01T00:00:00Z", "2024-01-01T09:00:00+09:00", "1", "BATTERY", "100", "7", "", "", ""),
            ("2024-01-01T00:01:00Z", "2024-01-01T09:01:00+09:00", "1", "BATTERY", "160", "7", "60", "60", "0"),
            ("2024-01-01T00:02:00Z", "2024-01-01T09:02:00+09:00", "1", "BATTERY", "160", "7", "60", "0", "0"),
            ("2024-01-01T00:02:00Z", "2024-01-01T09:02:00+09:00", "2", "unknown", str(top), "0", "", "", ""),
        ]
        assert {r["machine"] for r in table} == {"PC1"}
        assert [r["component_id"] for r in table] == ["05", "05", "05", "ff"]

    def test_long_export_leaves_the_delta_of_a_reset_empty(self, write_log):
        code, out, _ = run("export", "--long", "-", write_log("TARNLog.csv", ROWS))
        last = list(csv.DictReader(io.StringIO(out)))[-1]
        assert (code, last["reading0"], last["delta0"], last["delta1"]) == (0, "40", "", "1")

    @pytest.mark.parametrize("name, magic", [("rates.png", b"\x89PNG"), ("rates.svg", b"<svg"),
                                             ("rates.pdf", b"%PDF")])
    def test_plot_writes_the_picture(self, tmp_path, write_log, name, magic):
        out = tmp_path / name
        code, _, err = run("plot", "--out", str(out), write_log("TARNLog.csv", ROWS))
        assert (code, err) == (0, "")
        assert magic in out.read_bytes()[:400]

    def test_plot_refuses_other_formats(self, tmp_path, write_log):
        code, _, err = run("plot", "--out", str(tmp_path / "rates.jpg"), write_log("TARNLog.csv", ROWS))
        assert code == 2 and "must end in .png or .svg or .pdf" in err
        assert not (tmp_path / "rates.jpg").exists()


def test_launcher_runs_with_the_system_python(write_log):
    result = subprocess.run([os.path.join(REPO, "tools", "tarnlog"), "summary", "--json",
                             write_log("TARNLog.csv", ROWS)], capture_output=True, text=True, check=False)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout)["input"]["rows_used"] == 3


def test_export_and_plot_tell_the_files_they_could_not_use(tmp_path, write_log):
    unsupported = write_log("PC1/TARNLog_20240101T000000+0000.csv", ROWS, header="# LogFormatVersion:V9.99")
    write_log("PC1/TARNLog.csv", ROWS)
    for argv in (["export", "--long", str(tmp_path / "long.csv")], ["plot", "--out", str(tmp_path / "rates.png")]):
        code, _, err = run(*argv, str(tmp_path / "PC1"))
        assert (code, err) == (0, "tarnlog: skipped %s: unsupported log format version V9.99: not read\n" % unsupported)
    code, _, err = run("export", "--long", str(tmp_path / "none.csv"), unsupported)
    assert code == 1 and "no log file found" in err
