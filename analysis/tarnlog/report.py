"""tarnlog report: an HTML report of one machine or a fleet, read from disk without a network.

The index page holds only what grows with the number of machines: the fleet
overview (one row per machine), the coverage heatmap and the spread of rates
per component. Each machine's series are drawn on a page of its own under
machines/, linked from the index, so the index stays small at a thousand
machines. Figures are PNG files next to their page; styles and the one small
script are inline, so the folder can be copied anywhere and opened from disk.
All times are UTC.

Each machine is one task (tasks.py): it reads the machine, writes its page
and sends back only what the index needs of it, so memory holds one machine
at a time and --jobs draws several pages at once.
"""

from __future__ import annotations

import functools
import html
import os
import re
from dataclasses import dataclass
from datetime import datetime, timezone

import numpy
from matplotlib import cbook

from . import plot as drawing
from .components import component_name
from .events import Gap, InterfacesChanged, Reset
from .inputs import Skipped
from .machine import load_machine
from .stats import READINGS
from .tasks import InProcess
from .wording import plural, rate_text

# ---------------------------------------------------------------------------
# The views: what the report and the plot draw, whatever layer computes it.


@dataclass
class SeriesView:
    """What one component reported."""

    positions: tuple[int, ...]  # where in the row it was seen, from 1
    component_id: int
    name: str  # the component's name; with its position where the id alone does not tell it
    sample_seconds: numpy.ndarray  # UTC seconds of every sample, int64, ascending
    step_times: numpy.ndarray  # datetime64[s]: the end of every step between two samples
    step_rates: dict[str, numpy.ndarray]  # reading -> float per step; NaN where no line is drawn
    rate_per_s: dict[str, float | None]  # reading -> None when no step counts
    reset_seconds: dict[str, numpy.ndarray]  # reading -> int64 UTC seconds of the samples that went down

    @property
    def label(self):
        return "%s (%02x)" % (self.name, self.component_id)


@dataclass
class StreamView:
    """One machine's local or upload log."""

    machine: str
    log: str
    series: list[SeriesView]
    period_s: float | None  # the usual interval between rows; None without two rows at different times
    gaps: list[tuple[int, int]]  # from, to in UTC seconds, each gap of the stream once
    # (UTC seconds, kind, what): gaps, resets and interface changes, each once, in time order
    events: list[tuple[int, str, str]]
    row_seconds: numpy.ndarray  # UTC seconds of every row used, ascending
    interfaces: numpy.ndarray  # the number of interfaces in each of those rows

    @property
    def first_seconds(self):
        return int(self.row_seconds[0])

    @property
    def last_seconds(self):
        return int(self.row_seconds[-1])

    @property
    def resets(self):
        return sum(1 for _, kind, _ in self.events if kind == "reset")

    @property
    def interface_changes(self):
        return [(moment, text) for moment, kind, text in self.events if kind == "interfaces"]


@dataclass
class MachineView:
    name: str
    streams: list[StreamView]  # with samples, the local log first
    files: int  # files whose rows were used
    rows: int  # rows used, identical ones counted once
    bad_lines: int
    skipped: list[Skipped]  # its files that could not be used


def machine_view(data):
    """The adapter: one machine.MachineData as the views; the one function that knows that layer's shapes."""
    streams = [_stream_view(s) for s in data.streams if s.stream.series]
    return MachineView(data.machine, streams, len(data.files), sum(s.stream.rows_used for s in data.streams),
                       data.bad_lines, list(data.skipped))


def _stream_view(stream_data):
    stream = stream_data.stream
    counts = {int(stream.utc[row]): (int(stream.count[row - 1]), int(stream.count[row]))
              for row in stream.layout_changes.tolist()}
    told = [(e.at[0], _EVENT_KINDS[type(e)], _event_text(e, counts)) for e in stream_data.events]
    gaps = [(e.before[0], e.at[0]) for e in stream_data.events if isinstance(e, Gap)]
    return StreamView(stream.machine, stream.log, [_series_view(s) for s in stream_data.stats],
                      _period(stream.utc), gaps, told, stream.utc, stream.count)


def _series_view(stats):
    series = stats.series
    # No line across a gap (it is shaded), a reset, or two rows of one second (no rate).
    drawable = stats.seconds > 0
    drawable[stats.gaps] = False
    rates = {}
    for reading in READINGS:
        usable = drawable & stats.counted[reading]
        rates[reading] = numpy.full(len(stats.seconds), numpy.nan)
        rates[reading][usable] = stats.deltas[reading][usable].astype(float) / stats.seconds[usable]
    return SeriesView(series.positions, series.component_id, series.label, series.utc,
                      series.utc[1:].astype("datetime64[s]"), rates, dict(stats.rates),
                      {r: series.utc[stats.resets[r]] for r in READINGS})


_EVENT_KINDS = {Gap: "gap", Reset: "reset", InterfacesChanged: "interfaces"}


def _event_text(event, counts):
    if isinstance(event, Gap):
        return "no row for %s (%s to %s; the period around it %g s)" % (
            _duration(event.seconds), _utc(event.before[0]), _utc(event.at[0]), event.expected_s)
    if isinstance(event, Reset):
        return "went down: %s (%s)" % (", ".join(event.components), plural(event.readings, "reading"))
    before, after = counts.get(event.at[0], (None, None))
    text = "%s → %s interfaces" % (before, after) if before is not None else "interfaces changed"
    if event.went:
        text += "; gone: " + ", ".join(event.went)
    if event.came:
        text += "; new: " + ", ".join(event.came)
    return text


def _period(row_seconds):
    # As the summary's median interval: rows of one second (a control sent by hand) do not count.
    intervals = numpy.diff(row_seconds)
    intervals = intervals[intervals > 0]
    return float(numpy.median(intervals)) if len(intervals) else None


# ---------------------------------------------------------------------------
# What the report tells of a stream.

# Outliers are told among at least this many machines.
MIN_MACHINES_FOR_OUTLIERS = 5
# A rate is an outlier more than this many interquartile ranges beyond the
# quartiles, on a log scale: rates of one component spread by factors, not sums.
OUTLIER_IQR_FACTOR = 1.5
# The interquartile range counts as at least this (a factor of 1.26) so that
# machines reporting nearly the same rate do not name every small difference.
MIN_LOG_IQR = 0.1
# The heatmap's columns: one per hour, or per several hours past this many.
MAX_HEATMAP_COLUMNS = 1500
# A machine page lists at most this many events; the count says how many more.
MAX_EVENTS_LISTED = 2000


class ReportError(Exception):
    pass


def coverage_percent(stream):
    """Of the periods from the first row to the last, the share that has a row.

    The rows are counted, not fitted to a grid of periods from the first row:
    a restart puts the rows after it in a phase of their own, and rows half a
    period out of phase with a grid would fall two to a slot.
    """
    if stream.period_s is None:
        return 100.0
    span = (stream.last_seconds - stream.first_seconds) / stream.period_s + 1
    return min(100.0, 100.0 * periods_with_a_row(stream.row_seconds, stream.period_s) / span)


def periods_with_a_row(row_seconds, period):
    """How many rows stand for a period of their own: each more than half a period after the last one counted.

    Rows of a regular sampling jittered by less than a quarter period lie more
    than half a period apart and all count; a row sent by hand between two
    of them does not add a period.
    """
    half = period / 2
    close = numpy.flatnonzero(numpy.diff(row_seconds) <= half) + 1
    counted = numpy.ones(len(row_seconds), bool)
    last = None
    for row in close.tolist():  # rows sent by hand, if any: few
        if counted[row - 1]:
            last = row_seconds[row - 1]
        # else the row before is itself close and not counted: the last counted row is still the same
        counted[row] = row_seconds[row] - last > half
    return int(counted.sum())


def _utc(seconds):
    return datetime.fromtimestamp(int(seconds), timezone.utc).strftime("%Y-%m-%d %H:%M:%S")


def _duration(seconds):
    for unit, size in (("d", 86400), ("h", 3600), ("min", 60)):
        if seconds >= size:
            return "%.3g %s" % (seconds / size, unit)
    return "%d s" % seconds


def page_names(names):
    """{machine name: its page's file name without extension}, unique also where letter case is ignored."""
    taken, pages = set(), {}
    for name in sorted(names):
        base = re.sub(r"[^A-Za-z0-9._-]+", "_", name).strip("._")[:60] or "machine"
        page, number = base, 1
        while page.lower() in taken:  # file names on Windows ignore case
            number += 1
            page = "%s-%d" % (base, number)
        taken.add(page.lower())
        pages[name] = page
    return pages


@dataclass
class MachineEntry:
    """What the index keeps of a machine once its page is written: small, and sent back by a task."""

    name: str
    page: str
    files: int
    rows: int
    bad_lines: int
    skipped: list[Skipped]
    log: str | None = None  # the stream the overview tells; None when the machine has no sample
    cells: list | None = None  # its overview cells after the machine's name and log
    coverage: float | None = None
    first: int | None = None
    last: int | None = None
    hours: numpy.ndarray | None = None  # the hours (UTC seconds // 3600) that have rows
    hour_rows: numpy.ndarray | None = None  # and how many each
    rates: dict[int, dict[str, float | None]] | None = None  # component id -> reading -> rate


def _entry(view, page):
    entry = MachineEntry(view.name, page, view.files, view.rows, view.bad_lines, view.skipped)
    if not view.streams:
        return entry
    main = view.streams[0]  # the local log, or the upload log when only that was collected
    entry.log, entry.cells, entry.coverage = main.log, _stream_cells(main), coverage_percent(main)
    entry.first, entry.last = main.first_seconds, main.last_seconds
    entry.hours, entry.hour_rows = numpy.unique(main.row_seconds // 3600, return_counts=True)
    entry.rates = _component_rates(main)
    return entry


def _component_rates(stream):
    """Per component id the rates of its series with the most samples (there may be several: ff, 00)."""
    chosen = {}
    for series in stream.series:
        best = chosen.get(series.component_id)
        if best is None or len(series.sample_seconds) > len(best.sample_seconds):
            chosen[series.component_id] = series
    return {cid: dict(series.rate_per_s) for cid, series in chosen.items()}


def rate_spread(entries):
    """{component id: {reading: [(entry, rate)]}} over the machines' main streams."""
    spread = {}
    for entry in entries:
        for component_id, rates in entry.rates.items():
            per_reading = spread.setdefault(component_id, {r: [] for r in READINGS})
            for reading in READINGS:
                if rates[reading] is not None:
                    per_reading[reading].append((entry, rates[reading]))
    return dict(sorted(spread.items()))


def box(pairs):
    """The spread of (machine, rate) pairs on a log scale, log10(1 + rate), and its outliers.

    matplotlib's box plot numbers (quartiles, whiskers to the farthest rate
    that is no outlier, the fliers beyond them) and the outlying pairs.
    """
    logs = numpy.log10(1.0 + numpy.array([rate for _, rate in pairs]))
    (stats,) = cbook.boxplot_stats(logs, whis=_whisker_percentiles(logs))
    stats["outliers"] = [pair for pair, log in zip(pairs, logs) if not stats["whislo"] <= log <= stats["whishi"]]
    return stats


def _whisker_percentiles(logs):
    """The percentiles of the lowest and highest logs within reach of the box, where the whiskers end.

    The reach is OUTLIER_IQR_FACTOR interquartile ranges, the range counted as
    at least MIN_LOG_IQR. boxplot_stats takes a reach only as a multiple of the
    range itself, which a range of 0 (most machines at one rate, such as 0)
    cannot scale, so the whiskers are given as percentiles: halfway between the
    last log within reach and the first beyond it, where no rounding of the
    percentile can move a whisker past a log. With fewer than
    MIN_MACHINES_FOR_OUTLIERS machines they reach every log.
    """
    if len(logs) < MIN_MACHINES_FOR_OUTLIERS:
        return (0, 100)
    low, high = numpy.percentile(logs, [25, 75])
    reach = OUTLIER_IQR_FACTOR * max(high - low, MIN_LOG_IQR)
    ordered = numpy.sort(logs)
    last = len(logs) - 1
    lowest = max(0, numpy.searchsorted(ordered, low - reach) - 0.5)
    highest = min(last, numpy.searchsorted(ordered, high + reach, side="right") - 0.5)
    return (100.0 * lowest / last, 100.0 * highest / last)


# ---------------------------------------------------------------------------
# The pages.

_STYLE = """
body { font: 14px/1.4 system-ui, sans-serif; margin: 1.5em; color: #222; }
table { border-collapse: collapse; margin: 0.5em 0 1.5em; }
th, td { border: 1px solid #ccc; padding: 2px 8px; text-align: left; vertical-align: top; }
td { white-space: nowrap; }
td.wrap { white-space: normal; }
td.n { text-align: right; font-variant-numeric: tabular-nums; }
th { background: #f0f0f0; }
table.sortable th { cursor: pointer; }
tr.bad td { background: #fde8e8; }
img { max-width: 100%; height: auto; border: 1px solid #eee; }
.note { color: #555; }
"""

# Sorting by a column (its data-key when it has one) and filtering by machine
# name: at a thousand machines the overview is only usable with both.
_SCRIPT = """
document.querySelectorAll("table.sortable").forEach(function (table) {
  Array.prototype.forEach.call(table.tHead.rows[0].cells, function (th, column) {
    th.addEventListener("click", function () {
      var body = table.tBodies[0], rows = Array.prototype.slice.call(body.rows);
      var ascending = th.dataset.order !== "ascending";
      th.dataset.order = ascending ? "ascending" : "descending";
      function key(row) { var c = row.cells[column]; return c.dataset.key !== undefined ? c.dataset.key : c.textContent; }
      rows.sort(function (a, b) {
        var x = key(a), y = key(b), nx = parseFloat(x), ny = parseFloat(y);
        var order = (!isNaN(nx) && !isNaN(ny)) ? nx - ny : x.localeCompare(y);
        return ascending ? order : -order;
      });
      rows.forEach(function (row) { body.appendChild(row); });
    });
  });
});
var filter = document.getElementById("filter");
if (filter) {
  filter.addEventListener("input", function () {
    var text = filter.value.toLowerCase();
    document.querySelectorAll("#overview tbody tr").forEach(function (row) {
      row.hidden = row.cells[1].textContent.toLowerCase().indexOf(text) < 0;
    });
  });
}
"""


def _page(title, body):
    return ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>%s</title>\n"
            "<style>%s</style></head>\n<body>\n%s\n<script>%s</script>\n</body></html>\n"
            % (html.escape(title), _STYLE, body, _SCRIPT))


def _table(headers, rows, attributes=""):
    """rows: lists of cells, each HTML text or (HTML text, class, sort key)."""
    def cell(value):
        if isinstance(value, tuple):
            text, css, key = value
            return "<td%s%s>%s</td>" % (' class="%s"' % css if css else "",
                                         ' data-key="%s"' % html.escape(str(key)) if key is not None else "", text)
        return "<td>%s</td>" % value
    head = "".join("<th>%s</th>" % html.escape(h) for h in headers)
    body = "\n".join("<tr%s>%s</tr>" % (row_class, "".join(cell(v) for v in cells)) for row_class, cells in rows)
    return "<table %s><thead><tr>%s</tr></thead>\n<tbody>\n%s\n</tbody></table>" % (attributes, head, body)


def _number(value, text=None):
    return (html.escape(text if text is not None else str(value)), "n", value)


def _stream_cells(stream):
    """The overview's facts of a stream, shared by the index and the machine pages."""
    coverage = coverage_percent(stream)
    counts = stream.interfaces
    interfaces = str(counts[-1]) if counts[0] == counts[-1] else "%d → %d" % (counts[0], counts[-1])
    if counts.min() != counts.max() and counts[0] == counts[-1]:
        interfaces += " (%d to %d)" % (counts.min(), counts.max())
    changes = stream.interface_changes
    changed = "; ".join(_utc(t) for t, _ in changes[-3:]) + (" (%d changes)" % len(changes) if len(changes) > 3 else "")
    return [_number(len(stream.row_seconds)), html.escape(_utc(stream.first_seconds)),
            html.escape(_utc(stream.last_seconds)),
            _number(stream.period_s or 0, "–" if stream.period_s is None else "%g" % stream.period_s),
            _number(coverage, "%.1f" % coverage), _number(len(stream.gaps)), _number(stream.resets),
            (html.escape(interfaces), "n", int(counts[-1])), html.escape(changed or "–")]


_STREAM_HEADERS = ["rows", "first (UTC)", "last (UTC)", "period s", "coverage %", "gaps", "resets",
                   "interfaces", "interfaces changed"]

# A machine whose coverage is below this is marked in the overview.
LOW_COVERAGE_PERCENT = 90.0


def _link(entry):
    return '<a href="machines/%s.html">%s</a>' % (html.escape(entry.page), html.escape(entry.name))


def _overview(entries):
    rows = []
    for number, entry in enumerate(entries, 1):
        cells = [_number(number), (_link(entry), None, entry.name), html.escape(entry.log)]
        rows.append((' class="bad"' if entry.coverage < LOW_COVERAGE_PERCENT else "", cells + entry.cells))
    return _table(["#", "machine", "log"] + _STREAM_HEADERS, rows, 'id="overview" class="sortable"')


def heatmap_matrix(entries):
    """(machines × bins of rows per hour, NaN outside each machine's range; start; hours per bin)."""
    start = min(e.first for e in entries) // 3600 * 3600
    hours = (max(e.last for e in entries) - start) // 3600 + 1
    bin_hours = -(-hours // MAX_HEATMAP_COLUMNS)
    bins = -(-hours // bin_hours)
    matrix = numpy.full((len(entries), bins), numpy.nan)
    for index, entry in enumerate(entries):
        slots = (entry.hours - start // 3600) // bin_hours
        counts = numpy.bincount(slots, weights=entry.hour_rows, minlength=bins) / bin_hours
        matrix[index, slots[0]:slots[-1] + 1] = counts[slots[0]:slots[-1] + 1]
    return matrix, start, bin_hours


def _spread_section(entries):
    spread = rate_spread(entries)
    if not spread:
        return "<p>No rates to compare.</p>", []
    boxes, rows = [], []
    for component_id, per_reading in spread.items():
        label = "%s (%02x)" % (component_name(component_id), component_id)
        boxes_here = {r: box(pairs) if pairs else None for r, pairs in per_reading.items()}
        boxes.append((label, boxes_here))
        cells = [html.escape(label), _number(max(len(p) for p in per_reading.values()))]
        for reading in READINGS:
            cells += _spread_cells(per_reading[reading], boxes_here[reading])
        rows.append(("", cells))
    headers = ["component", "machines"]
    for reading in READINGS:
        headers += [reading + "/s median", reading + "/s range", reading + "/s outliers"]
    return _table(headers, rows, 'id="spread" class="sortable"'), boxes


def _spread_cells(pairs, found):
    if not pairs:
        return ["–", "–", "–"]
    rates = numpy.array([rate for _, rate in pairs])
    median = float(numpy.median(rates))
    named = ", ".join("%s (%s)" % (_link(entry), rate_text(rate)) for entry, rate in found["outliers"])
    return [_number(median, rate_text(median)),
            html.escape("%s to %s" % (rate_text(rates.min()), rate_text(rates.max()))),
            (named or "–", "wrap", len(found["outliers"]))]


def _index_page(entries, sampled, skipped, out_dir):
    matrix, start, bin_hours = heatmap_matrix(sampled)
    drawing.save_heatmap(matrix, start, bin_hours, [e.name for e in sampled], os.path.join(out_dir, "coverage.png"))
    spread_table, boxes = _spread_section(sampled)
    if boxes:
        drawing.save_spread(boxes, os.path.join(out_dir, "rates.png"))
    body = [
        "<h1>Tarn fleet report</h1>",
        '<p class="note">%s, %s to %s UTC; %d files, %d rows read (identical rows once), '
        "%d bad lines left out, %d paths skipped ('tarnlog summary' lists them). Rates are the driver's "
        "raw counts per second.</p>" % (
            plural(len(sampled), "machine"), _utc(min(e.first for e in sampled)),
            _utc(max(e.last for e in sampled)), sum(e.files for e in entries), sum(e.rows for e in entries),
            sum(e.bad_lines for e in entries), skipped + sum(len(e.skipped) for e in entries)),
        _without_samples_note([e for e in entries if e.log is None]),
        "<h2>Machines</h2>",
        '<p class="note">The local log of each machine (its upload log where only that was collected). '
        "Coverage: the share of periods from the first row to the last that have a row; below %g %% the "
        "row is marked. Click a heading to sort.</p>" % LOW_COVERAGE_PERCENT,
        '<p><label>Machine: <input id="filter" type="search" placeholder="part of the name"></label></p>',
        _overview(sampled),
        "<h2>Coverage</h2>",
        '<img id="coverage" src="coverage.png" alt="rows per hour, machines by hours">',
        "<h2>Rates per component across machines</h2>",
        '<p class="note">Per component each machine\'s rate over its whole local log. Outliers lie more than '
        "%g interquartile ranges beyond the middle half on a log scale (among %d machines or more).</p>"
        % (OUTLIER_IQR_FACTOR, MIN_MACHINES_FOR_OUTLIERS),
        '<img id="rates" src="rates.png" alt="spread of rates per component">' if boxes else "",
        spread_table,
    ]
    _write(os.path.join(out_dir, "index.html"), _page("Tarn fleet report", "\n".join(body)))


def _without_samples_note(silent):
    """Machines whose files have only headers, bad lines or rows without interfaces: not in the table."""
    if not silent:
        return ""
    return '<p id="without-samples">No samples in the files of: %s.</p>' % ", ".join(
        html.escape(e.name) for e in silent)


def _series_table(stream):
    rows = []
    for series in stream.series:
        resets = sum(len(series.reset_seconds[r]) for r in READINGS)
        rows.append(("", [(html.escape(",".join(str(p) for p in series.positions)), "n", series.positions[0]),
                          html.escape(series.label), _number(len(series.sample_seconds)),
                          html.escape(_utc(series.sample_seconds[0])), html.escape(_utc(series.sample_seconds[-1]))]
                     + [_number(series.rate_per_s[r] or 0, rate_text(series.rate_per_s[r])) for r in READINGS]
                     + [_number(resets)]))
    return _table(["position", "component", "samples", "first (UTC)", "last (UTC)", "reading0/s", "reading1/s",
                   "resets"], rows, 'id="components-%s" class="sortable series"' % stream.log)


def _events_table(stream):
    told = stream.events
    if not told:
        return "<p>No gaps, resets or interface changes.</p>"
    rows = [("", [html.escape(_utc(moment)), html.escape(kind), (html.escape(text), "wrap", None)])
            for moment, kind, text in told[:MAX_EVENTS_LISTED]]
    more = len(told) - MAX_EVENTS_LISTED
    note = '<p class="note">%d more events are not listed.</p>' % more if more > 0 else ""
    return _table(["time (UTC)", "event", "what"], rows, 'id="events-%s" class="events"' % stream.log) + note


def _machine_page(view, page, folder):
    figure = page + ".png"
    main = view.streams[0]
    # The main stream only: the upload log samples the same counters less often,
    # and drawing it too would double the time a fleet's pages take.
    drawing.save_streams([main], ["%s, %s log" % (view.name, main.log)], os.path.join(folder, figure), "png")
    facts = _table(["log"] + _STREAM_HEADERS,
                   [("", [html.escape(s.log)] + _stream_cells(s)) for s in view.streams], 'class="facts"')
    body = ['<p><a href="../index.html">Fleet overview</a></p>', "<h1>%s</h1>" % html.escape(view.name), facts,
            "<h2>%s log: rates over time</h2>" % html.escape(main.log),
            '<img class="series" src="%s" alt="rates over time per component">' % html.escape(figure)]
    for stream in view.streams:
        body += ["<h2>%s log: components</h2>" % html.escape(stream.log), _series_table(stream),
                 "<h2>%s log: events</h2>" % html.escape(stream.log), _events_table(stream)]
    _write(os.path.join(folder, page + ".html"), _page(view.name + " – Tarn", "\n".join(body)))


def _write(path, text):
    with open(path, "w", encoding="utf-8", newline="\n") as stream:
        stream.write(text)


def report_machine(item, folder):
    """A task: one machine's page written into folder; returns its MachineEntry.

    item is (inputs.MachineFiles, page name). Module-level, so that it can be sent to a Dask worker.
    """
    machine_files, page = item
    view = machine_view(load_machine(machine_files))
    if view.streams:
        _machine_page(view, page, folder)
    return _entry(view, page)


def write_report(machines, out_dir, run=None, skipped=0):
    """index.html and machines/*.html for inputs.MachineFiles values; (machines drawn, Skipped files).

    run is a tasks runner (one machine per task); skipped counts the paths the collection skipped.
    """
    pages = page_names([m.machine for m in machines])
    folder = os.path.join(out_dir, "machines")
    os.makedirs(folder, exist_ok=True)
    task = functools.partial(report_machine, folder=folder)
    entries = list((run or InProcess()).map(task, [(m, pages[m.machine]) for m in machines]))
    sampled = [e for e in entries if e.log is not None]
    if not sampled:
        raise ReportError("no samples to report")
    _index_page(entries, sampled, skipped, out_dir)
    return len(sampled), [s for e in entries for s in e.skipped]
