"""The recorder's lines (TARN_SIM_FS_RECORD, platform/posix/include/tarn_sim/file_recorder.h)."""

from __future__ import annotations

from dataclasses import dataclass

METADATA = frozenset({"create", "rename", "delete", "mkdir"})
DRIVE = "drive_c/"


@dataclass(frozen=True)
class Op:
    kind: str  # create write setsize rename delete mkdir fsync fsyncdir
    path: str
    to: str = ""  # rename: the new name
    offset: int = 0  # write: where; setsize: the new size
    data: bytes = b""  # write: the bytes

    @property
    def is_metadata(self):
        return self.kind in METADATA


def parse_line(line):
    fields = line.rstrip("\n").split("\t")
    kind = fields[0]
    if kind == "write":
        return Op(kind, fields[3], offset=int(fields[1]), data=bytes.fromhex(fields[2]))
    if kind == "setsize":
        return Op(kind, fields[2], offset=int(fields[1]))
    if kind == "rename":
        return Op(kind, fields[1], to=fields[2])
    if kind in ("create", "delete", "mkdir", "fsync", "fsyncdir"):
        return Op(kind, fields[1])
    raise ValueError("unknown operation in the trace: %r" % line)


def read_trace(path):
    """The operations on the machine's drive C:, in order; the rest (the service
    manager's records, the debugger output) is no log of the service."""
    with open(path, encoding="utf-8") as lines:
        ops = [parse_line(line) for line in lines if line.strip()]
    return [op for op in ops if op.path.startswith(DRIVE)]
