"""What a power cut may leave on the disk, after what NTFS and ext4 (data=ordered) promise.

The model (RELIABILITY.md says what it leaves out):

- Data a file's flush (fsync, FlushFileBuffers) reached persists.
- Metadata operations (create, rename, delete, make folder) persist in the order they
  were made, each wholly or not at all, up to any point of them; a folder's flush makes
  every one made before it persist. A file's flush does not persist its name.
- Data written since a file's last flush persists as a prefix of it: none, half or all,
  or as the full length with the unflushed bytes read back as zeros. One choice holds
  for every file of a state.
"""

from __future__ import annotations

import hashlib
from dataclasses import dataclass, field

VARIANTS = ("none", "half", "all", "zeros")
# Past this many persisted prefixes at one cut, only the newest few and the oldest are built.
PREFIX_LIMIT = 8


@dataclass
class Namespace:
    """Names to inodes (None: a folder) and the next inode of a create."""

    names: dict = field(default_factory=dict)

    def copy(self):
        return Namespace(dict(self.names))

    def apply(self, op, inode):
        if op.kind == "create":
            self.names[op.path] = inode
        elif op.kind == "mkdir":
            self.names[op.path] = None
        elif op.kind == "delete":
            self.names.pop(op.path, None)
        elif op.kind == "rename":
            if op.path in self.names:
                self.names[op.to] = self.names.pop(op.path)


def write_into(content, offset, data):
    if offset > len(content):
        content = content + b"\0" * (offset - len(content))
    return content[:offset] + data + content[offset + len(data):]


def resize(content, size):
    return content[:size] if size <= len(content) else content + b"\0" * (size - len(content))


def whole_rows(content):
    """The rows of a file's bytes: whole lines (CR LF) that are not the header."""
    lines = content.split(b"\r\n")[:-1]
    return [line for line in lines if line and not line.startswith(b"#")]


def persisted(durable, current, variant):
    """A file's bytes after a cut, from those its last flush reached and those written since."""
    if variant == "none" or durable == current:
        return durable
    if variant == "all":
        return current
    common = 0
    limit = min(len(durable), len(current))
    while common < limit and durable[common] == current[common]:
        common += 1
    if variant == "half":
        return current[:common + (len(current) - common) // 2]
    return current[:common] + b"\0" * (len(current) - common)


@dataclass
class Cut:
    """The file system as the recorded run left it just before operation `index`."""

    index: int
    current: dict  # inode -> bytes, as written
    durable: dict  # inode -> bytes, as last flushed
    metadata_done: int  # metadata operations made before the cut
    metadata_flushed: int  # of them, those a folder's flush made persist
    required_rows: frozenset  # rows flushed before the cut whose file was not deleted
    op_kind: str  # the kind of the operation that follows the cut ("end" after the last)


class Recording:
    """A replay of a trace from the folders that existed before the run."""

    def __init__(self, ops, initial_folders=(), initial_files=None):
        """initial_files: path -> bytes of files on the disk before the run (all flushed)."""
        self.ops = ops
        self.initial = Namespace({folder: None for folder in initial_folders})
        # Files from before the run are inodes -1, -2, ...; a create's inode is its operation's index.
        self.initial_content = {}
        for number, (path, content) in enumerate(sorted((initial_files or {}).items()), 1):
            self.initial.names[path] = -number
            self.initial_content[-number] = content
        self.metadata = [(op, i) for i, op in enumerate(ops) if op.is_metadata]
        self.cuts = list(self._replay())

    def _replay(self):
        names = self.initial.copy()
        current, durable = dict(self.initial_content), dict(self.initial_content)
        flushed_rows = {row: inode for inode, content in self.initial_content.items() for row in whole_rows(content)}
        done = flushed = 0
        for i, op in enumerate(self.ops + [None]):
            live = set(names.names.values())
            required = frozenset(row for row, inode in flushed_rows.items() if inode in live)
            yield Cut(i, dict(current), dict(durable), done, flushed, required, op.kind if op else "end")
            if op is None:
                break
            inode = names.names.get(op.path)
            if op.is_metadata:
                if op.kind == "create":
                    current[i] = durable.setdefault(i, b"")
                    inode = i
                names.apply(op, inode)
                done += 1
            elif op.kind == "write" and inode is not None:
                current[inode] = write_into(current[inode], op.offset, op.data)
            elif op.kind == "setsize" and inode is not None:
                current[inode] = resize(current[inode], op.offset)
            elif op.kind == "fsync" and inode is not None:
                durable[inode] = current[inode]
                for row in whole_rows(current[inode]):
                    flushed_rows.setdefault(row, inode)
            elif op.kind == "fsyncdir":
                flushed = done

    def namespace_after(self, count):
        """The names after the first `count` metadata operations persisted."""
        names = self.initial.copy()
        for op, index in self.metadata[:count]:
            names.apply(op, index)
        return names

    def prefixes(self, cut):
        counts = list(range(cut.metadata_flushed, cut.metadata_done + 1))
        if len(counts) > PREFIX_LIMIT:
            counts = counts[:1] + counts[-(PREFIX_LIMIT - 1):]
        return counts

    def states(self, cut):
        """Every state the model allows at this cut, as CrashState."""
        for count in self.prefixes(cut):
            names = self.namespace_after(count)
            for variant in VARIANTS:
                files = {}
                for path, inode in names.names.items():
                    if inode is not None:
                        files[path] = persisted(cut.durable.get(inode, b""), cut.current.get(inode, b""), variant)
                folders = frozenset(path for path, inode in names.names.items() if inode is None)
                yield CrashState(cut.index, count, variant, folders, files, cut.required_rows, cut.op_kind)


@dataclass
class CrashState:
    cut: int
    metadata_persisted: int
    variant: str
    folders: frozenset
    files: dict  # path -> bytes
    required_rows: frozenset
    op_kind: str

    def key(self):
        digest = hashlib.sha256()
        for folder in sorted(self.folders):
            digest.update(b"d" + folder.encode() + b"\0")
        for path in sorted(self.files):
            digest.update(b"f" + path.encode() + b"\0" + hashlib.sha256(self.files[path]).digest())
        return digest.hexdigest()


def distinct_states(recording):
    """Every distinct state over all cuts; a state reached from several cuts must keep
    the rows every one of them flushed."""
    states = {}
    for cut in recording.cuts:
        for state in recording.states(cut):
            key = state.key()
            if key in states:
                kept = states[key]
                kept.required_rows = kept.required_rows | state.required_rows
            else:
                states[key] = state
    return list(states.values())
