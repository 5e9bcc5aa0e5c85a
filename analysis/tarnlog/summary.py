"""The summary of all machines: the --json structure and the text tables.

The per-machine summaries (machine.MachineSummary) are merged here, in the
order of the machines' names, whichever way the tasks ran.
"""

from __future__ import annotations

from dataclasses import dataclass, field

from .components import component_name
from .events import Gap, Reset
from .inputs import Skipped
from .machine import MachineSummary
from .stats import READINGS
from .times import local_text, moment
from .wording import plural, rate_text

SUMMARY_VERSION = 2


@dataclass
class Summary:
    skipped: list[Skipped] = field(default_factory=list)  # found while collecting, then per machine
    missing: list[str] = field(default_factory=list)  # paths given that do not exist
    machines: list[MachineSummary] = field(default_factory=list)  # ordered by name

    def total(self, name):
        return sum(getattr(m, name) for m in self.machines)

    @property
    def files(self):
        return [f for m in self.machines for f in m.files]

    @property
    def all_skipped(self):
        return self.skipped + [s for m in self.machines for s in m.skipped]


def summary_document(summary):
    """The --json structure; its layout is documented in analysis/README.md."""
    return {
        "format": "tarnlog-summary",
        "version": SUMMARY_VERSION,
        "input": {
            "files_read": len(summary.files),
            "rows_read": summary.total("rows_read"),
            "rows_used": summary.total("rows_used"),
            "duplicate_rows": summary.total("duplicate_rows"),
            "bad_lines": summary.total("bad_lines"),
            "files": [{"path": f.path, "machine": f.machine, "log": f.log, "kind": f.kind,
                       "rows": f.rows, "bad_lines": f.bad_lines, "warnings": list(f.warnings)}
                      for f in summary.files],
            "skipped": [{"path": s.path, "reason": s.reason} for s in summary.all_skipped],
        },
        "series": [_series_document(s) for m in summary.machines for s in m.series],
        "events": [_event_document(e) for m in summary.machines for e in m.events],
    }


def _float(value):
    return None if value is None else float(value)


def _series_document(series):
    return {
        "machine": series.machine,
        "log": series.log,
        "component_id": series.component_id,
        "component": component_name(series.component_id),
        "keyed_by": "component" if series.position is None else "position",
        "position": series.position,
        "positions": list(series.positions),
        "samples": series.samples,
        "first": moment(series.first),
        "last": moment(series.last),
        "median_interval_s": _float(series.median_interval),
        "readings": {reading: {"rate_per_s": _float(series.rates[reading]),
                               "resets": [moment(m) for m in series.resets[reading]]}
                     for reading in READINGS},
        "gaps": [{"from": moment(before), "to": moment(after), "seconds": seconds, "expected_s": period}
                 for before, after, seconds, period in series.gaps],
    }


def _event_document(event):
    document = {"kind": event.kind, "machine": event.machine, "log": event.log,
                "from": moment(event.before), "at": moment(event.at)}
    if isinstance(event, Gap):
        document.update(seconds=event.seconds, expected_s=float(event.expected_s), components=event.components)
    elif isinstance(event, Reset):
        document.update(components=event.components, readings=event.readings)
    else:
        document.update(went=event.went, came=event.came)
    return document


def format_summary(summary):
    files = summary.files
    lines = ["Read %s, %s (%s counted once, %s left out)." % (
        plural(len(files), "file"), plural(summary.total("rows_read"), "row"),
        plural(summary.total("duplicate_rows"), "identical row"), plural(summary.total("bad_lines"), "bad line"))]
    if summary.total("bad_lines"):
        lines.append("The bad lines are not used; 'tarnlog check' lists them.")
    lines += ["Warning: %s: %s" % (f.path, warning) for f in files for warning in f.warnings]
    skipped = summary.all_skipped
    if skipped:
        lines.append("Skipped %s:" % plural(len(skipped), "path"))
        lines += ["  %s: %s" % (s.path, s.reason) for s in skipped]
    for machine in summary.machines:
        for log in sorted({s.log for s in machine.series}):
            stream = [s for s in machine.series if s.log == log]
            lines += ["", "Machine %s, %s log:" % (machine.machine, log), _stream_table(stream)]
            lines += [_event_line(e, len(stream)) for e in machine.events if e.log == log]
    return "\n".join(lines) + "\n"


def _stream_table(stream):
    return _text_table([{
        "pos": ",".join(str(p) for p in series.positions),
        "component": "%s (%02x)" % (series.label, series.component_id),
        "samples": series.samples,
        "first (local)": local_text(*series.first),
        "last (local)": local_text(*series.last),
        "interval s": "-" if series.median_interval is None else "%g" % series.median_interval,
        "reading0/s": rate_text(series.rates["reading0"]),
        "reading1/s": rate_text(series.rates["reading1"]),
        "resets": sum(len(series.resets[r]) for r in READINGS),
        "gaps": len(series.gaps),
    } for series in stream])


def _text_table(rows):
    """Dicts of the same keys as lines under a header line: columns right-aligned, as wide as their widest."""
    columns = [[name] + [str(row[name]) for row in rows] for name in rows[0]]
    widths = [max(len(text) for text in column) for column in columns]
    return "\n".join(" ".join(text.rjust(width) for text, width in zip(line, widths)) for line in zip(*columns))


def _components_text(components, in_stream):
    if len(components) == in_stream and in_stream > 1:
        return "all %d series" % in_stream
    return ", ".join(components)


def _event_line(event, in_stream):
    if isinstance(event, Gap):
        return "  gap      %s to %s (%d s, period %g s): %s" % (
            local_text(*event.before), local_text(*event.at), event.seconds, event.expected_s,
            _components_text(event.components, in_stream))
    if isinstance(event, Reset):
        return "  reset    %s: %s went down (%s)" % (
            local_text(*event.at), plural(event.readings, "reading"), _components_text(event.components, in_stream))
    return "  changed  %s: interfaces changed; went: %s; came: %s" % (
        local_text(*event.at), ", ".join(event.went) or "none", ", ".join(event.came) or "none")
