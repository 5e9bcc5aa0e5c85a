"""A generated fleet for the benchmark: one folder per machine of rotated local logs.

Usage: fleet.py OUT_FOLDER MACHINES ROWS_PER_MACHINE [INTERFACES]

Each machine gets ROWS_PER_MACHINE one-minute rows of INTERFACES (22)
interfaces with counters that grow, some of them above 2**63, cut into
backups of the service's default size limit (620000 bytes) and a current
file, with CR LF line ends as the service writes them.
"""

import os
import sys

import numpy

FILE_LIMIT_BYTES = 620000
_HEX_DIGITS = numpy.frombuffer(b"0123456789abcdef", numpy.uint8)
_HEADER = b"# LogFormatVersion:V1.00\r\n"


def _hex(values, digits):
    """Lower-case hex of uint64 values as a (n, digits) byte matrix."""
    shifts = numpy.arange(digits - 1, -1, -1, dtype=numpy.uint64) * numpy.uint64(4)
    return _HEX_DIGITS[((values[:, None] >> shifts) & numpy.uint64(15)).astype(numpy.intp)]


def _stamps(utc, offset_minutes):
    local = (utc + offset_minutes * 60).astype("datetime64[s]")
    text = numpy.char.replace(numpy.char.replace(numpy.datetime_as_string(local), "-", ""), ":", "")
    sign = "+" if offset_minutes >= 0 else "-"
    zone = "%s%02d%02d" % ((sign,) + divmod(abs(offset_minutes), 60))
    return numpy.frombuffer(numpy.char.add(text, zone).astype("S20").tobytes(), numpy.uint8).reshape(-1, 20)


def machine_lines(rng, rows, interfaces):
    """The rows' lines (with CR LF) as one byte matrix."""
    utc = 1764547200 + numpy.arange(rows, dtype=numpy.int64) * 60
    ids = rng.permutation(numpy.arange(1, 23))[:interfaces].astype(numpy.uint64)
    blocks = [_stamps(utc, 540)]
    for interface in range(interfaces):
        # Every fourth component's counters start above 2**63.
        base = numpy.uint64(2**63 + 12345) if interface % 4 == 0 else numpy.uint64(rng.integers(0, 2**40))
        reading0, reading1 = (base + numpy.cumsum(rng.integers(0, 5000, rows).astype(numpy.uint64),
                                                  dtype=numpy.uint64) for _ in range(2))
        blocks += [_hex(numpy.full(rows, ids[interface], numpy.uint64), 2), _hex(reading1, 16), _hex(reading0, 16)]
    comma = numpy.full((rows, 1), ord(","), numpy.uint8)
    parts = [blocks[0]]
    for part in blocks[1:]:
        parts += [comma, part]
    parts.append(numpy.tile(numpy.frombuffer(b"\r\n", numpy.uint8), (rows, 1)))
    return numpy.hstack(parts), utc


def write_machine(folder, rng, rows, interfaces):
    os.makedirs(folder, exist_ok=True)
    lines, utc = machine_lines(rng, rows, interfaces)
    per_file = max(1, (FILE_LIMIT_BYTES - len(_HEADER)) // lines.shape[1] + 1)
    for first in range(0, rows, per_file):
        last = min(first + per_file, rows)
        current = last == rows
        stamp = _stamps(utc[last - 1:last] + 30, 540).tobytes().decode()
        name = "TARNLog.csv" if current else "TARNLog_%s.csv" % stamp
        with open(os.path.join(folder, name), "wb") as out:
            out.write(_HEADER)
            out.write(lines[first:last].tobytes())


def main(argv):
    out, machines, rows = argv[0], int(argv[1]), int(argv[2])
    interfaces = int(argv[3]) if len(argv) > 3 else 22
    rng = numpy.random.default_rng(19)
    for number in range(machines):
        write_machine(os.path.join(out, "pc%03d" % number), rng, rows, interfaces)


if __name__ == "__main__":
    main(sys.argv[1:])
