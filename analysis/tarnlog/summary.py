"""Per series: samples, first and last time, rate of each reading, resets and gaps."""

import statistics
from dataclasses import dataclass

import pandas

from .components import component_name
from .timeline import local_text, steps, utc_text

SUMMARY_VERSION = 1
READINGS = ("reading0", "reading1")
# An interval longer than this many times the usual one is a gap.
GAP_FACTOR = 1.5


@dataclass
class SeriesStats:
    series: object
    steps: list  # [Step] between consecutive samples
    median_interval: float  # seconds; None with fewer than two samples a second apart
    rates: dict  # reading name -> per second, None when no step without a reset covers any time
    resets: dict  # reading name -> [Sample after the reset]
    gaps: list  # [Step]


def median_interval(series_steps):
    # Rows taken within one second (a control sent by hand) say nothing about the period.
    intervals = [step.seconds for step in series_steps if step.seconds > 0]
    return statistics.median(intervals) if intervals else None


def series_stats(series):
    series_steps = steps(series)
    median = median_interval(series_steps)
    gaps = [s for s in series_steps if median is not None and s.seconds > GAP_FACTOR * median]
    rates, resets = {}, {}
    for reading in READINGS:
        delta_of = (lambda s: s.delta0) if reading == "reading0" else (lambda s: s.delta1)
        counted = [s for s in series_steps if delta_of(s) is not None]
        seconds = sum(s.seconds for s in counted)
        # The increase is summed exactly as ints; only the quotient is a float.
        rates[reading] = sum(delta_of(s) for s in counted) / seconds if seconds else None
        resets[reading] = [s.after for s in series_steps if delta_of(s) is None]
    return SeriesStats(series, series_steps, median, rates, resets, gaps)


def _moment(sample):
    return {"utc": utc_text(sample), "local": local_text(sample)}


def summary_document(timeline):
    """The --json structure; its layout is documented in analysis/README.md."""
    return {
        "format": "tarnlog-summary",
        "version": SUMMARY_VERSION,
        "input": {
            "files_read": len(timeline.files),
            "rows_read": timeline.rows_read,
            "rows_used": timeline.rows_used,
            "duplicate_rows": timeline.duplicate_rows,
            "bad_lines": timeline.bad_lines,
            "files": [{"path": f.path, "machine": f.machine, "log": f.log, "kind": f.kind,
                       "rows": f.rows, "bad_lines": f.bad_lines} for f in timeline.files],
            "skipped": [{"path": s.path, "reason": s.reason} for s in timeline.skipped],
        },
        "series": [_series_document(series_stats(series)) for series in timeline.series],
    }


def _series_document(stats):
    series = stats.series
    return {
        "machine": series.machine,
        "log": series.log,
        "position": series.position,
        "component_id": series.component_id,
        "component": component_name(series.component_id),
        "samples": len(series.samples),
        "first": _moment(series.samples[0]),
        "last": _moment(series.samples[-1]),
        "median_interval_s": stats.median_interval,
        "readings": {reading: {"rate_per_s": stats.rates[reading],
                               "resets": [_moment(sample) for sample in stats.resets[reading]]}
                     for reading in READINGS},
        "gaps": [{"from": _moment(gap.before), "to": _moment(gap.after), "seconds": gap.seconds}
                 for gap in stats.gaps],
    }


def _plural(count, word):
    return "%d %s%s" % (count, word, "" if count == 1 else "s")


def _rate_text(rate):
    return "-" if rate is None else "%.6g" % rate


def format_summary(timeline):
    lines = ["Read %s, %s (%s counted once, %s left out)." % (
        _plural(len(timeline.files), "file"), _plural(timeline.rows_read, "row"),
        _plural(timeline.duplicate_rows, "identical row"), _plural(timeline.bad_lines, "bad line"))]
    if timeline.bad_lines:
        lines.append("The bad lines are not used; 'tarnlog check' lists them.")
    if timeline.skipped:
        lines.append("Skipped %s:" % _plural(len(timeline.skipped), "path"))
        lines += ["  %s: %s" % (s.path, s.reason) for s in timeline.skipped]
    by_stream = {}
    for series in timeline.series:
        by_stream.setdefault((series.machine, series.log), []).append(series_stats(series))
    for (machine, log), stream in by_stream.items():
        lines += ["", "Machine %s, %s log:" % (machine, log), _stream_table(stream)]
        lines += _gap_and_reset_lines(stream)
    return "\n".join(lines) + "\n"


def _stream_table(stream):
    table = pandas.DataFrame([{
        "pos": stats.series.position,
        "component": "%s (%02x)" % (component_name(stats.series.component_id), stats.series.component_id),
        "samples": len(stats.series.samples),
        "first (local)": local_text(stats.series.samples[0]),
        "last (local)": local_text(stats.series.samples[-1]),
        "interval s": "-" if stats.median_interval is None else "%g" % stats.median_interval,
        "reading0/s": _rate_text(stats.rates["reading0"]),
        "reading1/s": _rate_text(stats.rates["reading1"]),
        "resets": sum(len(stats.resets[r]) for r in READINGS),
        "gaps": len(stats.gaps),
    } for stats in stream])
    return table.to_string(index=False)


def _gap_and_reset_lines(stream):
    lines = []
    for stats in stream:
        name = "%d %s" % (stats.series.position, component_name(stats.series.component_id))
        for gap in stats.gaps:
            lines.append("  gap    %s: %s to %s (%d s)" % (name, local_text(gap.before),
                                                          local_text(gap.after), gap.seconds))
        for reading in READINGS:
            for sample in stats.resets[reading]:
                lines.append("  reset  %s: %s went down at %s" % (name, reading, local_text(sample)))
    return lines
