"""The tarnlog command.

Exit codes: 0 done; 1 a bad line or a file with CR-less line ends (check), a
path given that does not exist (the others are still worked on), nothing to
work on, a picture that cannot be drawn, or a Dask scheduler that cannot be
reached; 2 a wrong command line, refused before any input is read.
"""

import argparse
import json
import os
import sys

from .inputs import by_machine, collect

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2


def _parser():
    parser = argparse.ArgumentParser(
        prog="tarnlog",
        description="Checks, summarises, exports, plots and reports local logs, their backups and "
                    "handed-over upload files, given as files or folders.")
    commands = parser.add_subparsers(dest="command", required=True)
    _command(commands, "check", "list every bad line with its file and line number")
    summary = _command(commands, "summary", "samples, times, rates, resets, gaps and events per component")
    summary.add_argument("--json", action="store_true", help="print the versioned JSON structure")
    export = _command(commands, "export", "write one CSV row per sample and component")
    export.add_argument("--long", required=True, metavar="OUT.csv", help="the file to write ('-': standard output)")
    plot = commands.add_parser("plot", help="draw the rates over time, a grid of panels per machine")
    plot.add_argument("--out", required=True, metavar="FILE.png|svg|pdf")
    plot.add_argument("paths", nargs="+", metavar="PATH")
    report = _command(commands, "report", "write an HTML report: a fleet overview and one page per machine")
    report.add_argument("--out", required=True, metavar="DIR", help="the folder to write index.html and machines/ in")
    return parser


def _command(commands, name, help_text):
    """A command whose per-machine work can run as Dask tasks."""
    command = commands.add_parser(name, help=help_text)
    where = command.add_mutually_exclusive_group()
    where.add_argument("--jobs", type=int, metavar="N", help="work on N machines at once in local processes")
    where.add_argument("--scheduler", metavar="tcp://HOST:PORT",
                       help="run the work on the workers of this dask.distributed scheduler")
    command.add_argument("paths", nargs="+", metavar="PATH")
    return command


def _output_problem(path, extensions=None):
    """Why a file cannot be written where asked, or None; looked at before any input is read."""
    if path == "-" and extensions is None:
        return None
    if extensions is not None:
        extension = path.rsplit(".", 1)[-1].lower() if "." in os.path.basename(path) else ""
        if extension not in extensions:
            return "the picture's name must end in %s: %s" % (" or ".join("." + e for e in extensions), path)
    folder = os.path.dirname(path) or "."
    if os.path.isdir(path):
        return "%s is a folder" % path
    if not os.path.isdir(folder):
        return "no folder %s to write %s in" % (folder, os.path.basename(path))
    if not os.access(folder, os.W_OK | os.X_OK):
        return "folder %s is not writable" % folder
    return None


def _refusal(args):
    """Why the command line asks for something impossible, or None."""
    if getattr(args, "jobs", None) is not None and args.jobs < 1:
        return "--jobs must be at least 1"
    scheduler = getattr(args, "scheduler", None)
    if scheduler is not None and "://" not in scheduler:
        return "--scheduler must be an address such as tcp://HOST:PORT: %s" % scheduler
    if args.command == "export":
        return _output_problem(args.long)
    if args.command == "plot":
        from .plot import PLOT_FORMATS  # here: only a plot needs matplotlib
        return _output_problem(args.out, PLOT_FORMATS)
    if args.command == "report" and os.path.exists(args.out) and not os.path.isdir(args.out):
        return "%s is not a folder" % args.out
    return None


def _report_skipped(skipped, err):
    for entry in skipped:
        err.write("tarnlog: skipped %s: %s\n" % (entry.path, entry.reason))


def _missing_fails(missing, err):
    """A path given that does not exist fails the command, after the work on the others."""
    if missing:
        err.write("tarnlog: not found: %s\n" % ", ".join(missing))
        return EXIT_FAILED
    return EXIT_OK


def _check(args, machines, run, out, err):
    from .check import check_machine
    files = bad = file_problems = 0
    for result in run.map(check_machine, machines):
        out.write("".join(result.lines))
        _report_skipped(result.skipped, err)
        files, bad, file_problems = files + result.files, bad + result.bad_lines, file_problems + result.file_problems
    err.write("tarnlog: %d files checked, %d bad lines%s\n" % (
        files, bad, ", %d files with LF-alone line ends" % file_problems if file_problems else ""))
    return EXIT_FAILED if bad or file_problems or not files else EXIT_OK


def _summary(args, machines, run, out, err):
    from .machine import summarise_machine
    from .summary import Summary, format_summary, summary_document
    summary = Summary(skipped=args.skipped, missing=args.missing, machines=list(run.map(summarise_machine, machines)))
    if not summary.files:
        return _nothing_read(summary.all_skipped, err)
    if args.json:
        json.dump(summary_document(summary), out, indent=2)
        out.write("\n")
    else:
        out.write(format_summary(summary))  # lists the skipped paths itself
    return EXIT_OK


def _nothing_read(skipped, err):
    _report_skipped(skipped, err)
    err.write("tarnlog: no log file found\n")
    return EXIT_FAILED


def _binary(out):
    """Writes bytes to out, a binary file or a text stream (standard output, a test's StringIO)."""
    target = getattr(out, "buffer", None)
    if target is not None:
        out.flush()
        return target.write
    return lambda data: out.write(data.decode("utf-8"))


def _export(args, machines, run, out, err):
    from .export import header, machine_export, machine_export_task
    _report_skipped(args.skipped, err)
    target = open(args.long, "wb") if args.long != "-" else None
    files = 0
    try:
        write = target.write if target else _binary(out)
        write(header())
        # In this process each series' lines are written as they are made; from a task, a machine's at once.
        for result in run.map(machine_export if run.in_process else machine_export_task, machines):
            for chunk in result.chunks:
                write(chunk)
            _report_skipped(result.skipped, err)
            files += result.files
    finally:
        if target:
            target.close()
        elif hasattr(out, "buffer"):
            out.buffer.flush()
    return EXIT_OK if files else _nothing_read([], err)


def _plot(args, machines, run, out, err):
    from .machine import load_machine
    from .plot import PlotError, plot
    _report_skipped(args.skipped, err)
    data = [load_machine(m) for m in machines]
    _report_skipped([s for machine in data for s in machine.skipped], err)
    try:
        plot(data, args.out)
    except PlotError as error:
        err.write("tarnlog: %s\n" % error)
        return EXIT_FAILED
    return EXIT_OK


def _report(args, machines, run, out, err):
    from .report import ReportError, write_report
    _report_skipped(args.skipped, err)
    try:
        drawn, skipped = write_report(machines, args.out, run, len(args.skipped))
    except ReportError as error:
        err.write("tarnlog: %s\n" % error)
        return EXIT_FAILED
    _report_skipped(skipped, err)
    out.write("%s: %d machine%s\n" % (os.path.join(args.out, "index.html"), drawn, "" if drawn == 1 else "s"))
    return EXIT_OK


_COMMANDS = {"check": _check, "summary": _summary, "export": _export, "plot": _plot, "report": _report}


def _run(args, out, err):
    from .tasks import RunnerError, runner
    files, args.skipped, args.missing = collect(args.paths)
    machines = by_machine(files)
    if not machines and args.command != "check":
        return _nothing_read(args.skipped, err)
    if args.command == "check":
        _report_skipped(args.skipped, err)
    try:
        run = runner(getattr(args, "jobs", None), getattr(args, "scheduler", None))
    except RunnerError as error:
        err.write("tarnlog: %s\n" % error)
        return EXIT_FAILED
    try:
        code = _COMMANDS[args.command](args, machines, run, out, err)
    except RunnerError as error:
        err.write("tarnlog: %s\n" % error)
        return EXIT_FAILED
    finally:
        run.close()
    return max(code, _missing_fails(args.missing, err))


def _quiet_stdout():
    """Standard output to /dev/null, so that Python's flush at exit finds no broken pipe either."""
    try:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    except (OSError, ValueError):
        pass


def main(argv=None, out=None, err=None):
    parser = _parser()
    args = parser.parse_args(argv)
    out = out or sys.stdout
    err = err or sys.stderr
    refusal = _refusal(args)
    if refusal:  # before any input is read
        err.write("tarnlog: %s\n" % refusal)
        return EXIT_USAGE
    try:
        return _run(args, out, err)
    except BrokenPipeError:  # the reader went away (| head): nothing more to say
        _quiet_stdout()
        return EXIT_FAILED
    except OSError as error:
        err.write("tarnlog: %s: %s\n" % (error.filename or "", error.strerror))
        return EXIT_FAILED
