"""Events told once per stream, series that survive a change of the interfaces, and whole-file problems."""

import json
import os
import re

import pytest

from conftest import LOCAL_HEADER, log_bytes, row, summarise
from test_cli import run
from tarnlog.components import COMPONENT_NAMES
from tarnlog.summary import summary_document

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BATTERY, WIFI, SSD = 5, 6, 3


def stamp(seconds):
    hours, rest = divmod(seconds, 3600)
    return "20240101T%02d%02d%02d+0000" % (hours, rest // 60, rest % 60)


def rows_at(times, components=(BATTERY, WIFI, SSD), value=lambda i, t: t):
    return [row(stamp(t), *[(c, value(i, t) + c, 2 * value(i, t)) for c in components]) for i, t in enumerate(times)]


def document(write_log, lines, name="PC1/TARNLog.csv"):
    return summary_document(summarise([write_log(name, lines)]))


def events_of(doc, kind):
    return [e for e in doc["events"] if e["kind"] == kind]


class TestToldOnce:
    def test_a_stop_is_one_gap_event_naming_every_component(self, write_log):
        doc = document(write_log, rows_at([0, 60, 120, 180, 3780, 3840, 3900]))
        (gap,) = events_of(doc, "gap")
        assert (gap["from"]["utc"], gap["at"]["utc"], gap["seconds"], gap["expected_s"]) == (
            "2024-01-01T00:03:00Z", "2024-01-01T01:03:00Z", 3600, 60.0)
        assert gap["components"] == ["BATTERY", "WIFI", "STORAGE_SSD"]
        assert [len(s["gaps"]) for s in doc["series"]] == [1, 1, 1]

    def test_a_reboot_is_one_reset_event_and_each_series_keeps_its_resets(self, write_log):
        doc = document(write_log, rows_at([0, 60, 120, 180], value=lambda i, t: t if i < 2 else t - 120))
        (reset,) = events_of(doc, "reset")
        assert (reset["at"]["utc"], reset["readings"]) == ("2024-01-01T00:02:00Z", 6)
        assert reset["components"] == ["BATTERY", "WIFI", "STORAGE_SSD"]
        assert [len(s["readings"]["reading0"]["resets"]) for s in doc["series"]] == [1, 1, 1]

    def test_the_text_names_the_event_once(self, tmp_path, write_log):
        write_log("PC1/TARNLog.csv", rows_at([0, 60, 120, 180, 3780, 3840]))
        _, out, _ = run("summary", str(tmp_path / "PC1"))
        assert len(re.findall(r"^  gap ", out, re.M)) == 1
        assert "(3600 s, period 60 s): all 3 series" in out


class TestInterfacesChanged:
    def test_a_removed_interface_splits_no_series_after_it_and_is_reported(self, write_log):
        lines = rows_at([0, 60, 120]) + rows_at([180, 240], components=(WIFI, SSD)) + rows_at([300])
        doc = document(write_log, lines)
        assert [(s["component"], s["keyed_by"], s["positions"], s["samples"]) for s in doc["series"]] == [
            ("BATTERY", "component", [1], 4), ("WIFI", "component", [1, 2], 6), ("STORAGE_SSD", "component", [2, 3], 6)]
        changes = [(e["at"]["utc"], e["went"], e["came"]) for e in events_of(doc, "interfaces-changed")]
        assert changes == [("2024-01-01T00:03:00Z", ["BATTERY"], []), ("2024-01-01T00:05:00Z", [], ["BATTERY"])]
        wifi = doc["series"][1]
        assert wifi["readings"]["reading0"] == {"rate_per_s": 1.0, "resets": []}  # one series across the change

    def test_repeated_ids_fall_back_to_their_positions(self, write_log):
        lines = [row(stamp(t), (0xFF, t, 0), (BATTERY, t, 0), (0xFF, 2 * t, 0)) for t in (0, 60, 120)]
        # The first ff interface went: the other one's id now occurs once, which keys it by id.
        lines.append(row(stamp(180), (BATTERY, 180, 0), (0xFF, 360, 0)))
        doc = document(write_log, lines)
        assert [(s["component"], s["position"], s["samples"]) for s in doc["series"]] == [
            ("BATTERY", None, 4), ("unknown", 1, 3), ("unknown", None, 1), ("unknown", 3, 3)]
        (change,) = events_of(doc, "interfaces-changed")
        assert (change["went"], change["came"]) == (["unknown at 1", "unknown at 3"], ["unknown"])

    def test_the_same_interfaces_in_another_order_change_nothing(self, write_log):
        lines = rows_at([0, 60]) + rows_at([120, 180], components=(SSD, BATTERY, WIFI))
        doc = document(write_log, lines)
        assert events_of(doc, "interfaces-changed") == []
        assert [s["samples"] for s in doc["series"]] == [4, 4, 4]


class TestPeriodInForce:
    def test_a_change_of_period_is_no_gap_and_a_stop_after_it_still_is(self, write_log):
        times = [60 * i for i in range(120)]
        times += [times[-1] + 30 * (i + 1) for i in range(200)]
        times[200:] = [t + 1800 for t in times[200:]]  # a stop of half an hour in the 30 s stretch
        doc = document(write_log, rows_at(times, components=(BATTERY,)))
        ((series,),) = [doc["series"]]
        assert [(g["seconds"], g["expected_s"]) for g in series["gaps"]] == [(1830, 30.0)]
        assert series["median_interval_s"] == 30.0

    @pytest.mark.parametrize("times", [[0, 60, 120], [0, 60, 180, 240]])
    def test_number_types_in_json_are_stable(self, write_log, times):
        doc = json.loads(json.dumps(document(write_log, rows_at(times, components=(BATTERY,)))))
        series = doc["series"][0]
        assert isinstance(series["median_interval_s"], float)
        assert isinstance(series["readings"]["reading0"]["rate_per_s"], float)
        assert all(isinstance(g["seconds"], int) and isinstance(g["expected_s"], float) for g in series["gaps"])


class TestWholeFileProblems:
    def test_another_format_version_is_not_read_and_told_once(self, tmp_path, write_log):
        path = write_log("PC1/TARNLog.csv", rows_at([0, 60]) + ["garbage"], header="# LogFormatVersion:V2.00")
        code, out, _ = run("check", path)
        assert (code, out) == (1, "%s:1: unsupported log format version V2.00: the file is not read: "
                                  "'# LogFormatVersion:V2.00'\n" % path)
        code, out, err = run("summary", path)
        assert code == 1 and "no log file found" in err
        assert "skipped %s: unsupported log format version V2.00: not read" % path in err

    def test_lf_alone_line_ends_are_read_with_one_warning_and_fail_check(self, tmp_path, write_log):
        path = write_log("PC1/TARNLog.csv", [], raw=log_bytes(LOCAL_HEADER, rows_at([0, 60, 120]), line_end="\n"))
        code, out, err = run("check", path)
        assert code == 1
        assert out == "%s: line ends are LF alone, not CR LF (a transfer in text mode?); its rows were read\n" % path
        doc = json.loads(run("summary", "--json", path)[1])
        assert doc["input"]["rows_read"] == 3 and doc["input"]["bad_lines"] == 0
        assert doc["input"]["files"][0]["warnings"] == [
            "line ends are LF alone, not CR LF (a transfer in text mode?); its rows were read"]
        assert run("summary", path)[1].count("LF alone") == 1


class TestRefusedBeforeReading:
    @pytest.mark.parametrize("argv, reason", [
        (["plot", "--out", "rates.jpg"], "must end in .png or .svg or .pdf"),
        (["plot", "--out", "no-such-folder/rates.png"], "no folder no-such-folder"),
        (["export", "--long", "no-such-folder/long.csv"], "no folder no-such-folder"),
        (["export", "--long", "."], ". is a folder"),
        (["summary", "--jobs", "0"], "--jobs must be at least 1"),
        (["summary", "--scheduler", "localhost"], "--scheduler must be an address"),
    ])
    def test_impossible_requests(self, tmp_path, argv, reason, monkeypatch):
        monkeypatch.chdir(tmp_path)
        code, out, err = run(*argv, str(tmp_path / "absent"))
        assert (code, out) == (2, "")
        assert reason in err
        assert "not found" not in err  # no input was looked at


def test_component_names_match_the_services_table():
    with open(os.path.join(REPO, "device", "component_table.cpp")) as source:
        table = {int(number): name for name, number in re.findall(r'\{L"(\w+)", (\d+)\}', source.read())}
    assert len(table) == 22
    assert COMPONENT_NAMES == table


def test_series_are_the_same_whether_taken_by_layout_or_by_sorting(write_log, monkeypatch):
    from conftest import all_stats, load
    from tarnlog import streams
    lines = rows_at(range(0, 6000, 60)) + rows_at(range(6000, 9000, 60), components=(SSD, 0xFF, WIFI, 0xFF))
    lines += rows_at(range(9000, 12000, 60), components=(WIFI, BATTERY))
    path = write_log("TARNLog.csv", lines)

    def series_of():
        return [(s.series.label, s.series.positions, s.series.row.tolist(), s.series.place.tolist(),
                 s.series.reading0.tolist(), s.series.reading1.tolist()) for s in all_stats(load([path]))]
    by_layout = series_of()
    monkeypatch.setattr(streams, "_MIN_ROWS_PER_LAYOUT", 10**9)
    assert series_of() == by_layout
    assert [label for label, *_ in by_layout] == [
        "STORAGE_SSD", "BATTERY", "WIFI", "unknown at 2", "unknown at 4"]  # by first position, then id
