"""The tarnlog command.

Exit codes: 0 done; 1 a bad line (check), a path given that does not exist
(the others are still worked on), nothing to work on, or a picture that
cannot be drawn; 2 a wrong command line.
"""

import argparse
import json
import sys

from .lines import excerpt
from .timeline import load, read_files

EXIT_OK = 0
EXIT_FAILED = 1


def _parser():
    parser = argparse.ArgumentParser(
        prog="tarnlog",
        description="Checks, summarises, exports and plots local logs, their backups and "
                    "handed-over upload files, given as files or folders.")
    commands = parser.add_subparsers(dest="command", required=True)
    check = commands.add_parser("check", help="list every bad line with its file and line number")
    check.add_argument("paths", nargs="+", metavar="PATH")
    summary = commands.add_parser("summary", help="samples, times, rates, resets and gaps per component")
    summary.add_argument("--json", action="store_true", help="print the versioned JSON structure")
    summary.add_argument("paths", nargs="+", metavar="PATH")
    export = commands.add_parser("export", help="write one CSV row per sample and component")
    export.add_argument("--long", required=True, metavar="OUT.csv", help="the file to write ('-': standard output)")
    export.add_argument("paths", nargs="+", metavar="PATH")
    plot = commands.add_parser("plot", help="draw the rates over time, one panel per component")
    plot.add_argument("--out", required=True, metavar="FILE.png|svg")
    plot.add_argument("paths", nargs="+", metavar="PATH")
    return parser


def _check(args, out, err):
    parsed, skipped, missing = read_files(args.paths)
    bad = 0
    for log_file, content in parsed:
        for line in content.bad_lines:
            bad += 1
            out.write("%s:%d: %s: %s\n" % (log_file.path, line.line_number, "; ".join(line.problems),
                                          excerpt(line.text)))
    for entry in skipped:
        err.write("tarnlog: skipped %s: %s\n" % (entry.path, entry.reason))
    err.write("tarnlog: %d files checked, %d bad lines\n" % (len(parsed), bad))
    return EXIT_FAILED if bad or missing or not parsed else EXIT_OK


def _load_for_use(args, err):
    """The timeline, or None after saying why there is nothing to work on."""
    timeline = load(args.paths)
    if not timeline.files:
        _report_skipped(timeline, err)
        err.write("tarnlog: no log file found\n")
        return None
    return timeline


def _report_skipped(timeline, err):
    for entry in timeline.skipped:
        err.write("tarnlog: skipped %s: %s\n" % (entry.path, entry.reason))


def _result(timeline, err):
    """A path given that does not exist fails the command, after the work on the others."""
    if timeline.missing:
        err.write("tarnlog: not found: %s\n" % ", ".join(timeline.missing))
        return EXIT_FAILED
    return EXIT_OK


def _summary(args, out, err):
    from .summary import format_summary, summary_document
    timeline = _load_for_use(args, err)
    if timeline is None:
        return EXIT_FAILED
    if args.json:
        json.dump(summary_document(timeline), out, indent=2)
        out.write("\n")
    else:
        out.write(format_summary(timeline))  # lists the skipped paths itself
    return _result(timeline, err)


def _export(args, out, err):
    from .export import write_long
    timeline = _load_for_use(args, err)
    if timeline is None:
        return EXIT_FAILED
    _report_skipped(timeline, err)
    write_long(timeline, out if args.long == "-" else args.long)
    return _result(timeline, err)


def _plot(args, out, err):
    from .plot import PlotError, plot
    timeline = _load_for_use(args, err)
    if timeline is None:
        return EXIT_FAILED
    _report_skipped(timeline, err)
    try:
        plot(timeline, args.out)
    except PlotError as error:
        err.write("tarnlog: %s\n" % error)
        return EXIT_FAILED
    return _result(timeline, err)


_COMMANDS = {"check": _check, "summary": _summary, "export": _export, "plot": _plot}


def main(argv=None, out=None, err=None):
    args = _parser().parse_args(argv)
    out = out or sys.stdout
    err = err or sys.stderr
    try:
        return _COMMANDS[args.command](args, out, err)
    except OSError as error:
        err.write("tarnlog: %s: %s\n" % (error.filename or "", error.strerror))
        return EXIT_FAILED
