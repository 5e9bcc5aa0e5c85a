"""Runs one command and prints what it cost: wall seconds, CPU seconds (user + system) and peak memory.

Usage: measure.py LABEL BYTES COMMAND...   (BYTES: the input's size, for the rates)
Prints one line: LABEL wall_s cpu_s peak_MiB MB/s-by-wall MB/s-by-CPU; exits with the command's status.
The peak is the largest resident set of the command and of every process it waited for.
"""

import os
import subprocess
import sys
import tempfile
import time


def main(argv):
    label, size, command = argv[0], int(argv[1]), argv[2:]
    with tempfile.TemporaryFile() as errors:
        started = time.monotonic()
        child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=errors)
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.monotonic() - started
        if status:  # its messages only when it failed
            errors.seek(0)
            sys.stderr.write(errors.read().decode(errors="replace"))
    cpu = usage.ru_utime + usage.ru_stime
    megabytes = size / 1e6
    print("%-28s %8.2f %8.2f %9.0f %10.1f %10.1f" % (label, wall, cpu, usage.ru_maxrss / 1024,
                                                     megabytes / wall, megabytes / cpu if cpu else 0.0))
    return os.waitstatus_to_exitcode(status)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
