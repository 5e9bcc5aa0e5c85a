"""Rates over time as small multiples: per stream a grid with one cell per series.

A cell is two axes, one above the other, sharing the time axis: reading0 per
second above, reading1 per second below, so that a reading a hundred times
smaller than the other is still readable. All cells of a stream share that
stream's own time range; several machines or logs in one picture are blocks
of their own, each on its own time range, so a machine that logged for six
hours is not squeezed against one that logged for months. Gaps are shaded
and no line crosses them; a reset is a dashed line in its reading's axes.
"""

import math

import matplotlib
import numpy

matplotlib.use("Agg")  # headless: files only, never a window

import matplotlib.dates as mdates  # noqa: E402  (after the backend is chosen)
import matplotlib.pyplot as pyplot  # noqa: E402
from matplotlib.ticker import EngFormatter, MaxNLocator  # noqa: E402

PLOT_FORMATS = ("png", "svg", "pdf")
READING_COLOURS = (("reading0", "tab:blue"), ("reading1", "tab:orange"))
# Past this a picture outgrows what a raster image and a viewer can hold;
# 'tarnlog report' draws a fleet one machine per page instead.
MAX_PANELS = 200
MAX_COLUMNS = 4
_CELL_WIDTH_IN = 3.2
_CELL_HEIGHT_IN = 2.1
_BLOCK_TOP_IN = 0.5  # the block's title
_BLOCK_BOTTOM_IN = 0.55  # time labels of the lowest row
_SIDE_IN = 0.7
_MAX_DOTTED_POINTS = 300
# A stream of one instant still gets a readable time axis.
_MIN_SPAN_S = 60
FOOTNOTE = "time (UTC); grey: gap; dashed: the reading went down"


class PlotError(Exception):
    pass


def picture_format(out):
    extension = out.rsplit(".", 1)[-1].lower() if "." in out else ""
    if extension not in PLOT_FORMATS:
        raise PlotError("the picture's name must end in .png, .svg or .pdf: %s" % out)
    return extension


def columns_for(streams):
    return max(1, min(MAX_COLUMNS, max(len(s.series) for s in streams)))


def block_height_in(stream, columns):
    rows = math.ceil(len(stream.series) / columns)
    return _BLOCK_TOP_IN + rows * _CELL_HEIGHT_IN + _BLOCK_BOTTOM_IN


def save_streams(streams, titles, out, fmt=None):
    """Draws the streams one block under the other and writes the picture."""
    fmt = fmt or picture_format(out)
    columns = columns_for(streams)
    heights = [block_height_in(s, columns) for s in streams]
    figure = pyplot.figure(figsize=(2 * _SIDE_IN + columns * _CELL_WIDTH_IN, sum(heights)))
    try:
        blocks = figure.subfigures(len(streams), 1, height_ratios=heights, squeeze=False)[:, 0]
        for block, stream, title, height in zip(blocks, streams, titles, heights):
            draw_stream(block, stream, title, columns, height)
        figure.savefig(out, format=fmt, dpi=100)
    finally:
        pyplot.close(figure)


def draw_stream(block, stream, title, columns, height_in):
    """One stream's grid on a figure or subfigure of height_in inches."""
    rows = math.ceil(len(stream.series) / columns)
    width_in = 2 * _SIDE_IN + columns * _CELL_WIDTH_IN
    grid = block.add_gridspec(rows, columns, left=_SIDE_IN / width_in, right=1 - 0.35 / width_in,
                              top=1 - _BLOCK_TOP_IN / height_in, bottom=_BLOCK_BOTTOM_IN / height_in,
                              wspace=0.55, hspace=0.35)
    # Placed in inches from the top: a fraction of a tall block would reach into the first row's titles.
    block.suptitle(title, x=0.01, y=1 - 0.1 / height_in, ha="left", va="top", fontsize=10)
    block.text(0.99, 0.005, FOOTNOTE, ha="right", va="bottom", fontsize=7, color="dimgrey")
    shared = None
    count = len(stream.series)
    for index, series in enumerate(stream.series):
        row, column = divmod(index, columns)
        cell = grid[row, column].subgridspec(2, 1, hspace=0.08)
        pair = [block.add_subplot(cell[0], sharex=shared)]
        shared = shared or pair[0]
        pair.append(block.add_subplot(cell[1], sharex=shared))
        # Every column is labelled under its lowest cell, also when the last row is short.
        labelled = index + columns >= count
        _draw_cell(pair, series, stream.gaps, labelled)
    _set_time_axis(shared, stream)


def _draw_cell(pair, series, gaps, labelled):
    # An explicit y spares matplotlib placing every title around the tick labels, a third of the time.
    pair[0].set_title(series.label, fontsize=8, loc="left", y=1.0, pad=3)
    gap_spans = [(mdates.date2num(numpy.datetime64(start, "s")),
                  (end - start) / 86400.0) for start, end in gaps]
    for axes, (reading, colour) in zip(pair, READING_COLOURS):
        rates = series.step_rates[reading]
        # Dots show lone points between breaks; on long series they only cost time and size.
        marker = "." if len(rates) <= _MAX_DOTTED_POINTS else None
        axes.plot(series.step_times, rates, color=colour, linewidth=0.9, marker=marker, markersize=2.5)
        if gap_spans:
            axes.broken_barh(gap_spans, (0, 1), transform=axes.get_xaxis_transform(), color="grey", alpha=0.3)
        resets = series.reset_seconds[reading]
        if len(resets):
            axes.vlines(resets.astype("datetime64[s]"), 0, 1, transform=axes.get_xaxis_transform(),
                        colors=colour, linestyles="--", linewidth=0.9)
        axes.set_ylabel(reading + "/s", fontsize=7, color=colour)
        axes.yaxis.set_major_locator(MaxNLocator(3))
        axes.yaxis.set_major_formatter(EngFormatter(sep=""))
        axes.tick_params(labelsize=6.5)
        axes.margins(y=0.15)
    pair[0].tick_params(labelbottom=False)
    pair[1].tick_params(labelbottom=labelled)


def time_locator():
    """Two to five ticks for any span from seconds to years.

    The steps of 2 and 20 seconds and minutes fill the spans (about 100
    minutes, for one) for which matplotlib's own steps find no tick count
    in range and warn.
    """
    locator = mdates.AutoDateLocator(minticks=2, maxticks=5)
    for unit in (mdates.SECONDLY, mdates.MINUTELY):
        locator.intervald[unit] = [1, 2, 5, 10, 15, 20, 30]
    return locator


def _set_time_axis(axes, stream):
    """The stream's own time range; the locator and formatter are shared by every cell."""
    first, last = stream.first_seconds, stream.last_seconds
    if last - first < _MIN_SPAN_S:
        first, last = first - _MIN_SPAN_S // 2, last + _MIN_SPAN_S // 2
    axes.set_xlim(numpy.datetime64(int(first), "s"), numpy.datetime64(int(last), "s"))
    axes.xaxis.set_major_locator(time_locator())
    axes.xaxis.set_major_formatter(mdates.ConciseDateFormatter(axes.xaxis.get_major_locator()))
    for cell in axes.get_shared_x_axes().get_siblings(axes):
        cell.xaxis.get_offset_text().set_fontsize(7)


def plot(machines, out):
    """The rates of every series of the machine.MachineData values, one block per machine and log.

    The command line has refused other picture names before reading any input.
    """
    # The adapter lives with the report, which draws with this module.
    from .report import machine_view
    streams = [stream for data in machines for stream in machine_view(data).streams]
    panels = sum(len(s.series) for s in streams)
    if not panels:
        raise PlotError("no samples to plot")
    if panels > MAX_PANELS:
        raise PlotError("%d series is more than %d panels; give fewer files or folders, "
                        "or draw a report ('tarnlog report')" % (panels, MAX_PANELS))
    save_streams(streams, ["%s, %s log" % (s.machine, s.log) for s in streams], out)


# ---------------------------------------------------------------------------
# The report's fleet figures.

_HEATMAP_ROW_IN = (0.04, 0.25)  # the height of one machine's row, at least and at most
_MAX_NAMED_ROWS = 60


def save_heatmap(matrix, start_seconds, bin_hours, names, out):
    """Machines × hours, coloured by rows per hour.

    matrix: machines × bins of rows per hour, NaN outside a machine's own
    time range. An hour without a row inside that range is red, so a service
    that stopped stands out against the colour scale of the others.
    """
    count, bins = matrix.shape
    row_in = min(_HEATMAP_ROW_IN[1], max(_HEATMAP_ROW_IN[0], 12.0 / count))
    figure, axes = pyplot.subplots(figsize=(11, 1.6 + row_in * count))
    try:
        colours = matplotlib.colormaps["viridis"].copy()
        colours.set_under("#d62728")
        colours.set_bad("#e8e8e8")
        start = mdates.date2num(numpy.datetime64(int(start_seconds), "s"))
        extent = (start, start + bins * bin_hours / 24.0, count + 0.5, 0.5)
        top = numpy.nanmax(matrix) if numpy.isfinite(matrix).any() else 1.0
        image = axes.imshow(numpy.ma.masked_invalid(matrix), cmap=colours, aspect="auto", extent=extent,
                            interpolation="nearest", vmin=1e-6, vmax=max(top, 1e-6))
        figure.colorbar(image, ax=axes, pad=0.01, fraction=0.03,
                        label="rows per hour" + ("" if bin_hours == 1 else " (bins of %d h)" % bin_hours))
        _label_machines(axes, names)
        axes.xaxis_date()
        locator = mdates.AutoDateLocator(minticks=3, maxticks=10)
        axes.xaxis.set_major_locator(locator)
        axes.xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator))
        axes.set_title("rows per hour (UTC); red: an hour without a row; grey: before the first or after "
                       "the last row", fontsize=9, loc="left")
        figure.savefig(out, format="png", dpi=100, bbox_inches="tight")
    finally:
        pyplot.close(figure)


def _label_machines(axes, names):
    """Names while they fit; beyond that the numbers of the overview table's # column."""
    count = len(names)
    if count <= _MAX_NAMED_ROWS:
        axes.set_yticks(range(1, count + 1), names, fontsize=7)
    else:
        step = max(1, count // 25)
        axes.set_yticks(range(1, count + 1, step))
        axes.tick_params(axis="y", labelsize=7)
        axes.set_ylabel("machine (# in the overview)", fontsize=8)


def save_spread(boxes, out):
    """Per component, the spread of each reading's rate across machines.

    boxes: [(component label, {reading: box or None})], top to bottom; a box
    holds quartiles, whiskers and outliers of log10(1 + rate), as the report
    computes them, so that the dots drawn are the machines it names.
    """
    figure, panels = pyplot.subplots(1, 2, figsize=(11, 1.3 + 0.32 * len(boxes)), sharey=True, squeeze=False)
    try:
        for axes, (reading, colour) in zip(panels[0], READING_COLOURS):
            drawn = [(index, per[reading]) for index, (_, per) in enumerate(boxes) if per[reading]]
            axes.bxp([b for _, b in drawn], positions=[i for i, _ in drawn], vert=False, widths=0.6,
                     flierprops={"marker": "o", "markersize": 3, "markeredgecolor": colour},
                     medianprops={"color": colour}, showfliers=True)
            _log_rate_ticks(axes)
            axes.set_title(reading + " per second across machines (log scale)", fontsize=9, loc="left")
            axes.grid(axis="x", alpha=0.3)
        panels[0, 0].set_yticks(range(len(boxes)), [label for label, _ in boxes], fontsize=7)
        panels[0, 0].set_ylim(len(boxes) - 0.5, -0.5)
        figure.tight_layout()
        figure.savefig(out, format="png", dpi=100)
    finally:
        pyplot.close(figure)


def _log_rate_ticks(axes):
    """Ticks at 0, 1, 10, 100, ... per second on an axis of log10(1 + rate)."""
    low, high = axes.get_xlim()
    top = max(1, int(math.ceil(high)))
    # Steps of 1, 2 and 5 while few decades are shown, else one tick per decade.
    steps = (1, 2, 5) if top <= 3 else (1,)
    rates = [0] + [step * 10 ** k for k in range(top + 1) for step in steps]
    axes.set_xticks([math.log10(1 + r) for r in rates], [EngFormatter(sep="")(r) for r in rates], fontsize=7)
    axes.set_xlim(min(low, 0) - 0.05, max(high, 0.5) + 0.05)
