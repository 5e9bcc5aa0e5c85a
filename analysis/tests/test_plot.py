"""The small multiples: one cell of two axes per series, a block per stream on its own time range."""

import math

import matplotlib.pyplot as pyplot
import numpy
import pytest
from matplotlib.collections import LineCollection, PolyCollection

from conftest import load, row
from tarnlog import plot
from tarnlog.report import machine_view

ROWS = [row("20240101T090000+0900", (5, 100, 7)), row("20240101T090100+0900", (5, 160, 7)),
        row("20240101T090500+0900", (5, 40, 8))]


def minute_rows(start_hour, count, components, day=1, month=1):
    """count rows a minute apart; every component's reading0 grows by 60 per row, reading1 by 6000."""
    return [row("2024%02d%02dT%02d%02d00+0000" % (month, day, start_hour + i // 60, i % 60),
                *[(c, 60 * i + c, 6000 * i) for c in components]) for i in range(count)]


def views(paths):
    return [stream for data in load(paths) for stream in machine_view(data).streams]


def drawn(streams):
    """The figure save_streams would write, kept open for a look at its axes."""
    columns = plot.columns_for(streams)
    heights = [plot.block_height_in(s, columns) for s in streams]
    figure = pyplot.figure(figsize=(10, sum(heights)))
    blocks = figure.subfigures(len(streams), 1, height_ratios=heights, squeeze=False)[:, 0]
    for block, stream, height in zip(blocks, streams, heights):
        plot.draw_stream(block, stream, stream.machine, columns, height)
    return figure, blocks


@pytest.fixture
def close_figures():
    yield
    pyplot.close("all")


@pytest.mark.usefixtures("close_figures")
class TestGrid:
    def test_each_series_is_a_cell_with_reading0_above_and_reading1_below(self, write_log):
        (stream,) = views([write_log("PC1/TARNLog.csv", minute_rows(0, 5, [1, 2, 3, 4, 5]))])
        _, (block,) = drawn([stream])
        axes = block.axes
        assert len(axes) == 10
        # The top axes of each cell carries the series' title and reading0; 60 per minute is 1/s.
        assert [a.get_title(loc="left") for a in axes[::2]] == [s.label for s in stream.series]
        assert [a.get_ylabel() for a in axes[:2]] == ["reading0/s", "reading1/s"]
        assert numpy.allclose(axes[0].lines[0].get_ydata(), 1.0)
        assert numpy.allclose(axes[1].lines[0].get_ydata(), 100.0)

    def test_every_column_has_time_labels_under_its_lowest_cell(self, write_log):
        # Six series in four columns: columns 3 and 4 end in the first row.
        (stream,) = views([write_log("TARNLog.csv", minute_rows(0, 3, [1, 2, 3, 4, 5, 6]))])
        figure, (block,) = drawn([stream])
        figure.canvas.draw()
        labelled = [top.get_title(loc="left").split()[-1] for top, bottom in zip(block.axes[::2], block.axes[1::2])
                    if any(t.get_visible() and t.get_text() for t in bottom.get_xticklabels())]
        assert labelled == ["(03)", "(04)", "(05)", "(06)"]

    def test_each_machine_keeps_its_own_time_range(self, write_log, tmp_path):
        write_log("PC1/TARNLog.csv", minute_rows(0, 30, [5]))
        write_log("PC2/TARNLog.csv", minute_rows(6, 30, [5], month=6))
        streams = views([str(tmp_path)])
        _, blocks = drawn(streams)
        for block, stream in zip(blocks, streams):
            low, high = (numpy.datetime64(round(x * 86400), "s").astype(int) for x in block.axes[0].get_xlim())
            assert (low, high) == (stream.first_seconds, stream.last_seconds)

    def test_gaps_are_shaded_resets_dashed_and_no_line_crosses_a_gap(self, write_log):
        (stream,) = views([write_log("TARNLog.csv", ROWS)])
        _, (block,) = drawn([stream])
        top, bottom = block.axes
        shaded = [c for c in top.collections if isinstance(c, PolyCollection)]
        dashed = [c for c in top.collections if isinstance(c, LineCollection)]
        assert (len(shaded), len(dashed)) == (1, 1)  # the 4-minute gap; reading0 went down once
        assert not [c for c in bottom.collections if isinstance(c, LineCollection)]  # reading1 never did
        reading1 = list(bottom.lines[0].get_ydata())
        assert reading1[0] == 0 and math.isnan(reading1[1])


class TestPicture:
    def test_too_many_panels_are_refused_before_drawing(self, write_log, tmp_path, monkeypatch):
        monkeypatch.setattr(plot, "MAX_PANELS", 3)
        machines = load([write_log("TARNLog.csv", minute_rows(0, 3, [1, 2, 3, 4]))])
        with pytest.raises(plot.PlotError, match="4 series is more than 3 panels"):
            plot.plot(machines, str(tmp_path / "rates.png"))
        assert not (tmp_path / "rates.png").exists()

    def test_a_single_instant_still_gets_a_time_axis(self, write_log, tmp_path):
        out = tmp_path / "one.pdf"
        plot.plot(load([write_log("TARNLog.csv", ROWS[:1])]), str(out))
        assert out.read_bytes().startswith(b"%PDF")
