"""Rates over time, one panel per series, with gaps shaded and resets marked."""

import matplotlib
import numpy

matplotlib.use("Agg")  # headless: files only, never a window

import matplotlib.pyplot as pyplot  # noqa: E402  (after the backend is chosen)

from .components import component_name  # noqa: E402
from .summary import series_stats  # noqa: E402
from .timeline import utc_datetime  # noqa: E402

PLOT_FORMATS = ("png", "svg")
# Past this the picture would outgrow what a raster image can hold.
MAX_PANELS = 200
_PANEL_HEIGHT_INCHES = 2.2
_MAX_DOTTED_POINTS = 500


class PlotError(Exception):
    pass


def _rate_points(series_steps, gaps, reading):
    """(time, rate) per step, at the step's end.

    No line is drawn across a gap (the shading shows it), a reset, or two rows
    of the same second: a NaN breaks the line there.
    """
    gap_ends = {gap.after.utc_seconds for gap in gaps}
    times, rates = [], []
    for step in series_steps:
        delta = step.delta0 if reading == "reading0" else step.delta1
        usable = delta is not None and step.seconds > 0 and step.after.utc_seconds not in gap_ends
        times.append(step.after.utc_seconds)
        rates.append(delta / step.seconds if usable else float("nan"))
    # datetime64 draws far faster than one datetime object per point.
    return numpy.array(times, dtype="datetime64[s]"), numpy.array(rates, dtype=float)


def _draw_panel(axes, series, several_streams):
    stats = series_stats(series)
    title = "%d %s (%02x)" % (series.position, component_name(series.component_id), series.component_id)
    if several_streams:
        title = "%s, %s log: %s" % (series.machine, series.log, title)
    axes.set_title(title, fontsize=9, loc="left")
    for reading, colour in (("reading0", "tab:blue"), ("reading1", "tab:orange")):
        times, rates = _rate_points(stats.steps, stats.gaps, reading)
        # Dots show single samples between breaks; on long series they only cost time and file size.
        marker = "." if len(times) <= _MAX_DOTTED_POINTS else None
        axes.plot(times, rates, color=colour, linewidth=1, marker=marker, markersize=3, label=reading + "/s")
        for sample in stats.resets[reading]:
            axes.axvline(utc_datetime(sample), color=colour, linestyle="--", linewidth=1)
    for gap in stats.gaps:
        axes.axvspan(utc_datetime(gap.before), utc_datetime(gap.after), color="grey", alpha=0.3)
    axes.set_ylabel("per second", fontsize=8)
    axes.tick_params(labelsize=7)
    axes.legend(fontsize=7, loc="upper left")


def plot(timeline, out):
    extension = out.rsplit(".", 1)[-1].lower() if "." in out else ""
    if extension not in PLOT_FORMATS:
        raise PlotError("the picture's name must end in .png or .svg: %s" % out)
    panels = timeline.series
    if not panels:
        raise PlotError("no samples to plot")
    if len(panels) > MAX_PANELS:
        raise PlotError("%d series is more than %d panels; give fewer files or folders"
                        % (len(panels), MAX_PANELS))
    several_streams = len({(s.machine, s.log) for s in panels}) > 1
    figure, axes_list = pyplot.subplots(len(panels), 1, squeeze=False, sharex=True,
                                        figsize=(11, _PANEL_HEIGHT_INCHES * len(panels)))
    try:
        for axes, series in zip(axes_list[:, 0], panels):
            _draw_panel(axes, series, several_streams)
        axes_list[-1, 0].set_xlabel("time (UTC); shaded: gap; dashed: reading went down")
        figure.autofmt_xdate()
        figure.tight_layout()
        figure.savefig(out, format=extension)
    finally:
        pyplot.close(figure)
