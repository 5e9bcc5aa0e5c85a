"""The report's numbers (coverage, events told once, outliers, the heatmap) and its pages on disk."""

import io
import os
import re

import numpy
import pytest

import fleet
from conftest import UPLOAD_HEADER, load, row
from tarnlog import report
from tarnlog.cli import main
from tarnlog.inputs import by_machine, collect


def second_rows(seconds):
    """Rows of BATTERY at these seconds after 2024-01-01 08:00:00 UTC, its counter a count a second."""
    return [row("20240101T%02d%02d%02d+0000" % (8 + s // 3600, s // 60 % 60, s % 60), (5, s, 0)) for s in seconds]


def restarted_sampling(phase, jitter_s=0, seed=0):
    """Every 60 s from 08:00 to 10:00, an hour's stop, then every 60 s from 11:00 + phase periods to before 12:00.

    180 rows in 239 + phase periods; each row jittered by up to jitter_s either way.
    """
    seconds = numpy.concatenate((numpy.arange(0, 7201, 60), numpy.arange(10800 + round(60 * phase), 14340, 60)))
    seconds = seconds + numpy.random.default_rng(seed).integers(-jitter_s, jitter_s + 1, len(seconds))
    return second_rows(sorted(seconds.tolist()))


def minute_rows(minutes, components=(5,), reading=lambda minute, component: 60 * minute):
    return [row("20240101T%02d%02d00+0000" % divmod(m, 60), *[(c, reading(m, c), 7 * m) for c in components])
            for m in minutes]


def views(paths):
    return [report.machine_view(data) for data in load(paths)]


def streams_of(write_log, lines, name="PC1/TARNLog.csv"):
    (view,) = views([write_log(name, lines)])
    return view.streams


def entries(paths):
    return [report._entry(view, view.name) for view in views(paths)]


def machine_files(paths):
    return by_machine(collect(paths)[0])


class TestStreamFacts:
    def test_coverage_counts_periods_with_a_row_not_rows(self, write_log):
        # Ten periods, two without a row, one with a second row sent by hand.
        minutes = [0, 1, 2, 3, 4, 5, 8, 9]
        lines = minute_rows(minutes)
        lines.insert(3, row("20240101T000230+0000", (5, 150, 7)))
        (stream,) = streams_of(write_log, lines)
        assert stream.period_s == 60
        assert report.coverage_percent(stream) == pytest.approx(80.0)

    def test_a_restart_half_a_period_out_of_phase_loses_no_row(self, write_log):
        (stream,) = streams_of(write_log, restarted_sampling(0.5))
        assert report.coverage_percent(stream) == pytest.approx(100 * 180 / 239.5)

    def test_a_row_sent_by_hand_adds_no_period_and_takes_none_away(self):
        # 80 s: sent by hand; 105 s: the next regular row, 15 s early, still a period on from 60 s.
        assert report.periods_with_a_row(numpy.array([0, 60, 80, 105, 180, 181, 240]), 60.0) == 5

    @pytest.mark.parametrize("phase", [0, 0.25, 0.5, 0.75])
    @pytest.mark.parametrize("jitter_s, seed", [(0, 0), (1, 1), (14, 2), (14, 3)])
    def test_every_row_counts_whatever_the_phase_and_a_jitter_below_a_quarter(self, write_log, phase, jitter_s, seed):
        (stream,) = streams_of(write_log, restarted_sampling(phase, jitter_s, seed))
        # Every row counts; only the span (first to last row) moves with the phase and the jitter.
        span_periods = (stream.last_seconds - stream.first_seconds) / stream.period_s + 1
        assert span_periods == pytest.approx(239 + phase, abs=0.5)
        assert report.coverage_percent(stream) == pytest.approx(100 * 180 / span_periods)

    def test_a_gap_is_told_once_for_the_stream_not_once_per_component(self, write_log):
        (stream,) = streams_of(write_log, minute_rows([0, 1, 2, 10, 11], components=(3, 5, 6)))
        assert stream.gaps == [(1704067320, 1704067800)]
        (gap,) = stream.events
        assert gap[1] == "gap" and "8 min" in gap[2]

    def test_a_reset_of_every_component_at_once_is_one_event(self, write_log):
        readings = lambda minute, component: 60 * (minute if minute < 3 else minute - 3)  # noqa: E731
        (stream,) = streams_of(write_log, minute_rows(range(6), components=(3, 5), reading=readings))
        (event,) = stream.events
        assert event == (1704067380, "reset", "went down: STORAGE_SSD, BATTERY (2 readings)")
        assert stream.resets == 1

    def test_interfaces_that_come_and_go_are_events_with_their_names(self, write_log):
        lines = (minute_rows([0, 1], components=(5, 6)) + minute_rows([2, 3], components=(5,))
                 + minute_rows([4], components=(5, 6)))
        (stream,) = streams_of(write_log, lines)
        assert stream.interfaces.tolist() == [2, 2, 1, 1, 2]
        assert stream.interface_changes == [(1704067320, "2 → 1 interfaces; gone: WIFI"),
                                            (1704067440, "1 → 2 interfaces; new: WIFI")]

    def test_rates_per_step_break_at_resets_and_gaps(self, write_log):
        readings = lambda minute, component: [0, 60, 120, 30, 0, 0, 0, 0, 0, 0, 600][minute]  # noqa: E731
        (stream,) = streams_of(write_log, minute_rows([0, 1, 2, 3, 10], reading=readings))
        (series,) = stream.series
        rates = series.step_rates["reading0"]
        assert rates[:2].tolist() == [1.0, 1.0]
        assert numpy.isnan(rates[2]) and numpy.isnan(rates[3])  # went down; the step across the gap
        assert series.reset_seconds["reading0"].tolist() == [1704067380]

    def test_readings_above_two_to_the_63_stay_exact_enough_for_rates(self, write_log):
        top = 2**64 - 61
        lines = [row("20240101T000000+0000", (5, top, 0)), row("20240101T000100+0000", (5, top + 60, 0))]
        (stream,) = streams_of(write_log, lines)
        assert stream.series[0].step_rates["reading0"].tolist() == [1.0]


class TestFleetNumbers:
    def test_heatmap_marks_hours_without_rows_inside_a_machines_range_only(self, write_log, tmp_path):
        write_log("PC1/TARNLog.csv", minute_rows(list(range(0, 60)) + list(range(120, 180))))
        write_log("PC2/TARNLog.csv", minute_rows(range(60, 120)))
        matrix, start, bin_hours = report.heatmap_matrix(entries([str(tmp_path)]))
        assert (start, bin_hours) == (1704067200, 1)
        assert numpy.array_equal(matrix, [[60, 0, 60], [numpy.nan, 60, numpy.nan]], equal_nan=True)

    def test_heatmap_bins_several_hours_past_its_column_limit(self, write_log, monkeypatch):
        monkeypatch.setattr(report, "MAX_HEATMAP_COLUMNS", 2)
        matrix, _, bin_hours = report.heatmap_matrix(entries([write_log("PC1/TARNLog.csv",
                                                                        minute_rows(range(0, 240, 10)))]))
        assert bin_hours == 2 and matrix.tolist() == [[6.0, 6.0]]

    @pytest.mark.parametrize("rates, named", [
        ([100, 110, 95, 105, 98, 102, 10000], [10000]),
        ([100, 110, 95, 105, 0], [0]),
        ([100, 100.5, 99.7, 100.2, 99.9, 100.1], []),  # nearly equal: no difference is named
        ([100, 110, 95, 10000], []),  # too few machines to call one an outlier
        ([0, 0, 0, 0, 0, 5], [5]),  # most at one rate: no spread, yet one far off is named
        ([0, 0, 0, 0, 0, 0.01], []),  # and one barely off is not
    ])
    def test_outliers_are_far_outside_the_others_on_a_log_scale(self, rates, named):
        pairs = [("m%d" % i, rate) for i, rate in enumerate(rates)]
        found = report.box(pairs)
        assert [rate for _, rate in found["outliers"]] == named
        assert len(found["fliers"]) == len(named)

    def test_the_overview_tells_the_local_log_or_else_the_upload_log(self, write_log, tmp_path):
        lines = minute_rows([0, 1, 2])
        write_log("PC1/TARNLog.csv", lines)
        write_log("PC1/3001_TARNLogUpload_20240101T000300+0000.csv", lines[:2], header=UPLOAD_HEADER)
        write_log("PC2/3001_TARNLogUpload_20240101T000300+0000.csv", lines[:2], header=UPLOAD_HEADER)
        assert [(e.name, e.log, e.cells[0][0]) for e in entries([str(tmp_path)])] == [
            ("PC1", "local", "3"), ("PC2", "upload", "2")]

    def test_page_names_never_collide_where_letter_case_is_ignored(self):
        pages = report.page_names(["a b", "a_b", "A_B", "site1/a_b"])
        assert len({page.lower() for page in pages.values()}) == 4  # Windows folds A_B and a_b into one file
        assert all(re.fullmatch(r"[A-Za-z0-9._-]+", page) for page in pages.values())


class TestPages:
    def test_index_links_every_machine_page_and_stays_small_as_series_grow(self, tmp_path):
        sizes = []
        for rows in (40, 400):
            root = tmp_path / ("fleet%d" % rows)
            fleet.write_fleet(root, machines=6, rows=rows)
            out = tmp_path / ("report%d" % rows)
            assert report.write_report(machine_files([str(root)]), str(out)) == (6, [])
            index = (out / "index.html").read_text()
            links = re.findall(r'href="(machines/[^"]+)"', index)
            assert sorted(set(links)) == ["machines/PC00%d.html" % n for n in range(1, 7)]
            assert all((out / link).is_file() for link in links)
            sizes.append(len(index))
        # Ten times the rows per machine: the index holds no series, so it barely grows.
        assert abs(sizes[1] - sizes[0]) < 200

    def test_index_and_machine_page_show_the_same_coverage(self, tmp_path, write_log):
        write_log("PC1/TARNLog.csv", restarted_sampling(0.5, jitter_s=1))
        report.write_report(machine_files([str(tmp_path / "PC1")]), str(tmp_path / "out"))
        for page in (tmp_path / "out" / "index.html", tmp_path / "out" / "machines" / "PC1.html"):
            cells = re.findall(r"<td[^>]*>([^<]*)</td>", page.read_text())
            assert "75.2" in cells

    def test_a_rate_reads_the_same_in_the_text_summary_and_on_the_machine_page(self, tmp_path, write_log):
        path = write_log("PC1/TARNLog.csv", minute_rows(range(4), reading=lambda minute, _: 100 * minute))
        out = io.StringIO()
        assert main(["summary", path], out, io.StringIO()) == 0
        report.write_report(machine_files([path]), str(tmp_path / "out"))
        page = (tmp_path / "out" / "machines" / "PC1.html").read_text()
        assert "1.667" in out.getvalue().split() and ">1.667</td>" in page

    def test_a_machine_without_samples_is_named_not_left_out(self, tmp_path, write_log):
        write_log("PC1/TARNLog.csv", minute_rows([0, 1]))
        write_log("PC2/TARNLog.csv", ["20240101T000000+0000,", "garbage"])
        assert report.write_report(machine_files([str(tmp_path)]), str(tmp_path / "out"))[0] == 1
        index = (tmp_path / "out" / "index.html").read_text()
        assert "No samples in the files of: PC2." in index

    def test_machine_page_lists_each_event_once(self, tmp_path):
        fleet.write_fleet(tmp_path / "fleet", machines=fleet.RESET)
        report.write_report(machine_files([str(tmp_path / "fleet")]), str(tmp_path / "out"))
        page = (tmp_path / "out" / "machines" / (fleet.machine_name(fleet.STOPPED) + ".html")).read_text()
        local_events = page.split("local log: events")[1].split("upload log")[0]
        assert local_events.count("<td>gap</td>") == 1
        page = (tmp_path / "out" / "machines" / (fleet.machine_name(fleet.RESET) + ".html")).read_text()
        local_events = page.split("local log: events")[1].split("upload log")[0]
        assert local_events.count("<td>reset</td>") == 1

    def test_pages_drawn_by_worker_processes_are_those_of_one_process(self, tmp_path):
        pytest.importorskip("distributed")
        fleet.write_fleet(tmp_path / "fleet", machines=4, rows=60)
        outs = [tmp_path / "here", tmp_path / "workers"]
        for out, where in zip(outs, ([], ["--jobs", "2"])):
            argv = ["report", "--out", str(out)] + where + [str(tmp_path / "fleet")]
            assert main(argv, io.StringIO(), io.StringIO()) == 0
        assert (outs[0] / "index.html").read_text() == (outs[1] / "index.html").read_text()
        assert sorted(os.listdir(outs[0] / "machines")) == sorted(os.listdir(outs[1] / "machines"))
        assert len(os.listdir(outs[1] / "machines")) == 8

    def test_command_writes_the_report_and_fails_without_logs(self, tmp_path, write_log):
        out = io.StringIO()
        assert main(["report", "--out", str(tmp_path / "r"), write_log("TARNLog.csv", minute_rows([0, 1]))],
                    out, io.StringIO()) == 0
        assert out.getvalue() == "%s: 1 machine\n" % os.path.join(str(tmp_path / "r"), "index.html")
        (tmp_path / "empty").mkdir()
        err = io.StringIO()
        assert main(["report", "--out", str(tmp_path / "r2"), str(tmp_path / "empty")], io.StringIO(), err) == 1
        assert "no log file found" in err.getvalue() and not (tmp_path / "r2").exists()
        (tmp_path / "a-file").write_text("")
        err = io.StringIO()
        argv = ["report", "--out", str(tmp_path / "a-file"), str(tmp_path / "empty")]
        assert main(argv, io.StringIO(), err) == 2 and "is not a folder" in err.getvalue()
