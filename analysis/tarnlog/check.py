"""The check command's work on one machine: every bad line and every whole-file problem, as text."""

from __future__ import annotations

from dataclasses import dataclass, field

from .allocator import keep_freed_memory
from .decode import decode_file
from .inputs import Skipped
from .lines import excerpt
from .machine import read_file


@dataclass
class CheckResult:
    files: int = 0  # files checked
    bad_lines: int = 0
    file_problems: int = 0  # files with a problem of the whole file (line ends, format version)
    lines: list[str] = field(default_factory=list)  # FILE:LINE: problems: 'line', one per bad line or file problem
    skipped: list[Skipped] = field(default_factory=list)


def check_machine(machine_files):
    keep_freed_memory()
    result = CheckResult()
    for log_file in machine_files.files:
        data, skipped = read_file(log_file)
        if skipped is not None:
            result.skipped.append(skipped)
            continue
        decoded = decode_file(data, log_file.name_log)
        result.files += 1
        for warning in decoded.warnings:
            result.file_problems += 1
            result.lines.append("%s: %s\n" % (log_file.path, warning))
        for line in decoded.bad_lines:
            result.bad_lines += 1
            result.lines.append("%s:%d: %s: %s\n" % (log_file.path, line.line_number, "; ".join(line.problems),
                                                    excerpt(line.text)))
    return result
