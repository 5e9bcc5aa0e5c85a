"""Per series: steps, median interval, rate of each reading, resets and gaps, all vectorised.

A step is the pair of two consecutive samples of a series. A reading that
went down at a step is a reset: the step's delta is left out of the rate. The
rate is the exact sum of the remaining deltas over the seconds they cover;
deltas are summed in two 32-bit halves so that the sum of 64-bit readings
stays exact however long the series, and only the quotient is a float.

A gap is an interval longer than GAP_FACTOR times the period in force around
it: the larger of the median of the GAP_WINDOW intervals before it and the
median of the GAP_WINDOW after it (intervals of 0 s left out). A change of
period (60 s, then 30 s) is then no gap on either side, while a stop of the
service in the middle of either stretch still is.
"""

from __future__ import annotations

from dataclasses import dataclass

import warnings

import numpy
from numpy.lib.stride_tricks import sliding_window_view

from .streams import Series

READINGS = ("reading0", "reading1")
GAP_FACTOR = 1.5
GAP_WINDOW = 10
_LOW_HALF = numpy.uint64(0xFFFFFFFF)
_HALF_BITS = numpy.uint64(32)


@dataclass
class SeriesStats:
    series: Series
    seconds: numpy.ndarray  # int64 per step
    deltas: dict[str, numpy.ndarray]  # reading -> uint64 increase per step (meaningless where the reading went down)
    counted: dict[str, numpy.ndarray]  # reading -> bool per step: the reading did not go down
    median_interval: float | None  # seconds; None without two samples at different times
    rates: dict[str, float | None]  # reading -> per second; None when no counted step covers any time
    resets: dict[str, numpy.ndarray]  # reading -> int64 indexes of the samples at which it went down
    gaps: numpy.ndarray  # int64 indexes of the steps that are gaps (step i: sample i to i + 1)
    gap_periods: numpy.ndarray  # float seconds: the period in force around each gap


def series_stats(series):
    seconds = numpy.diff(series.utc)
    deltas, counted, rates, resets = {}, {}, {}, {}
    for reading in READINGS:
        values = series.reading(reading)
        deltas[reading] = values[1:] - values[:-1]  # uint64: wraps where it went down, never used there
        counted[reading] = values[1:] >= values[:-1]
        rates[reading] = _rate(deltas[reading][counted[reading]], seconds[counted[reading]])
        resets[reading] = numpy.flatnonzero(~counted[reading]) + 1
    positive = seconds[seconds > 0]
    median = float(numpy.median(positive)) if len(positive) else None
    gaps, periods = _gaps(seconds)
    return SeriesStats(series, seconds, deltas, counted, median, rates, resets, gaps, periods)


def _rate(deltas, seconds):
    covered = int(seconds.sum())
    if not covered:
        return None
    low = int((deltas & _LOW_HALF).sum(dtype=numpy.uint64))
    high = int((deltas >> _HALF_BITS).sum(dtype=numpy.uint64))
    return ((high << 32) + low) / covered


def period_in_force(seconds, steps):
    """Per step given: the larger of the medians of the GAP_WINDOW positive intervals before and after it.

    NaN for a step with no other positive interval on either side.
    """
    positive = numpy.flatnonzero(seconds > 0)
    padding = numpy.full(GAP_WINDOW, numpy.nan)
    # windows[i]: the GAP_WINDOW positive intervals before positive interval i (NaN before the first).
    windows = sliding_window_view(numpy.concatenate((padding, seconds[positive].astype(float), padding)), GAP_WINDOW)
    # Only the windows around the steps asked for are taken, so the medians cost nothing for the other steps.
    before = windows[numpy.searchsorted(positive, steps)]
    after = windows[numpy.searchsorted(positive, steps, side="right") + GAP_WINDOW]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # a side without intervals is NaN, as meant
        return numpy.fmax(numpy.nanmedian(before, 1), numpy.nanmedian(after, 1))


def _gaps(seconds):
    """(steps that are gaps, the period in force around each)."""
    positive = seconds[seconds > 0]
    if len(positive) < 2:
        return numpy.zeros(0, numpy.int64), numpy.zeros(0)
    # Only a step longer than GAP_FACTOR times the shortest interval can be a gap.
    candidates = numpy.flatnonzero(seconds > GAP_FACTOR * positive.min())
    period = period_in_force(seconds, candidates)
    is_gap = seconds[candidates] > GAP_FACTOR * numpy.nan_to_num(period, nan=numpy.inf)
    return candidates[is_gap], period[is_gap]
