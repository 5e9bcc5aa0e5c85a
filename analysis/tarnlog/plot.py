"""Rates over time, one panel per series, with gaps shaded and resets marked."""

import matplotlib
import numpy

matplotlib.use("Agg")  # headless: files only, never a window

import matplotlib.pyplot as pyplot  # noqa: E402  (after the backend is chosen)

from .stats import READINGS  # noqa: E402
from .times import utc_datetime  # noqa: E402

# Past this the picture would outgrow what a raster image can hold.
MAX_PANELS = 200
_PANEL_HEIGHT_INCHES = 2.2
_MAX_DOTTED_POINTS = 500


class PlotError(Exception):
    pass


def _rate_points(stats, reading):
    """(time, rate) per step, at the step's end.

    No line is drawn across a gap (the shading shows it), a reset, or two rows
    of the same second: a NaN breaks the line there.
    """
    seconds = stats.seconds
    usable = stats.counted[reading] & (seconds > 0)
    usable[stats.gaps] = False
    rates = numpy.full(len(seconds), numpy.nan)
    rates[usable] = stats.deltas[reading][usable].astype(float) / seconds[usable]
    # datetime64 draws far faster than one datetime object per point.
    return stats.series.utc[1:].astype("datetime64[s]"), rates


def _draw_panel(axes, stats, several_streams):
    series = stats.series
    title = "%s %s (%02x)" % (",".join(str(p) for p in series.positions), series.label, series.component_id)
    if several_streams:
        title = "%s, %s log: %s" % (series.machine, series.log, title)
    axes.set_title(title, fontsize=9, loc="left")
    for reading, colour in zip(READINGS, ("tab:blue", "tab:orange")):
        times, rates = _rate_points(stats, reading)
        # Dots show single samples between breaks; on long series they only cost time and file size.
        marker = "." if len(times) <= _MAX_DOTTED_POINTS else None
        axes.plot(times, rates, color=colour, linewidth=1, marker=marker, markersize=3, label=reading + "/s")
        for sample in stats.resets[reading]:
            axes.axvline(utc_datetime(series.utc[sample]), color=colour, linestyle="--", linewidth=1)
    for gap in stats.gaps:
        axes.axvspan(utc_datetime(series.utc[gap]), utc_datetime(series.utc[gap + 1]), color="grey", alpha=0.3)
    axes.set_ylabel("per second", fontsize=8)
    axes.tick_params(labelsize=7)
    axes.legend(fontsize=7, loc="upper left")


def plot(machines, out):
    """Draws the series of machine.MachineData values into the picture out (.png or .svg).

    The command line has refused other names before reading any input.
    """
    extension = out.rsplit(".", 1)[-1].lower()
    panels = [stats for machine in machines for stream in machine.streams for stats in stream.stats]
    if not panels:
        raise PlotError("no samples to plot")
    if len(panels) > MAX_PANELS:
        raise PlotError("%d series is more than %d panels; give fewer files or folders"
                        % (len(panels), MAX_PANELS))
    several_streams = len({(s.series.machine, s.series.log) for s in panels}) > 1
    figure, axes_list = pyplot.subplots(len(panels), 1, squeeze=False, sharex=True,
                                        figsize=(11, _PANEL_HEIGHT_INCHES * len(panels)))
    try:
        for axes, stats in zip(axes_list[:, 0], panels):
            _draw_panel(axes, stats, several_streams)
        axes_list[-1, 0].set_xlabel("time (UTC); shaded: gap; dashed: reading went down")
        figure.autofmt_xdate()
        figure.tight_layout()
        figure.savefig(out, format=extension)
    finally:
        pyplot.close(figure)
