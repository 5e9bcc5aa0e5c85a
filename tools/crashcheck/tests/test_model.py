"""The crash model: which states a cut may leave, and which rows must survive it."""

import pytest

from crashcheck.model import Recording, distinct_states, persisted
from crashcheck.trace import Op, parse_line, read_trace

LOG = "drive_c/L/TARNLog.csv"
BACKUP = "drive_c/L/TARNLog_1.csv"
HEADER = b"# LogFormatVersion:V1.00\r\n"
ROW1 = b"20261208T150621+0900,05,0000000000000000,00000000000001f4\r\n"
ROW2 = b"20261208T150622+0900,05,0000000000000001,00000000000001f5\r\n"


def write(path, offset, data):
    return Op("write", path, offset=offset, data=data)


class TestPersistedBytes:
    def test_unflushed_append_is_none_half_all_or_zeros(self):
        durable, current = HEADER, HEADER + ROW1
        assert persisted(durable, current, "none") == HEADER
        assert persisted(durable, current, "all") == current
        assert persisted(durable, current, "half") == HEADER + ROW1[:len(ROW1) // 2]
        assert persisted(durable, current, "zeros") == HEADER + b"\0" * len(ROW1)

    def test_unflushed_cut_back_may_not_persist(self):
        assert persisted(HEADER + ROW1, HEADER, "none") == HEADER + ROW1
        assert persisted(HEADER + ROW1, HEADER, "all") == HEADER

    def test_flushed_file_is_what_was_flushed(self):
        for variant in ("none", "half", "all", "zeros"):
            assert persisted(HEADER, HEADER, variant) == HEADER


class TestTrace:
    def test_lines_and_only_drive_c(self, tmp_path):
        trace = tmp_path / "trace"
        trace.write_text("create\t%s\nwrite\t3\t0d0a\t%s\nrename\t%s\t%s\nmkdir\trun/scm\nsetsize\t0\t%s\n"
                         % (LOG, LOG, LOG, BACKUP, LOG))
        assert read_trace(trace) == [Op("create", LOG), write(LOG, 3, b"\r\n"), Op("rename", LOG, to=BACKUP),
                                     Op("setsize", LOG, offset=0)]

    def test_unknown_operation_is_refused(self):
        with pytest.raises(ValueError):
            parse_line("chmod\tdrive_c/x")


def rotation(flush_folder):
    """A file flushed with a row, renamed to a backup, a new file flushed with a row."""
    ops = [Op("mkdir", "drive_c/L"), Op("create", LOG), write(LOG, 0, HEADER + ROW1), Op("fsync", LOG),
           Op("rename", LOG, to=BACKUP), Op("create", LOG), write(LOG, 0, HEADER + ROW2), Op("fsync", LOG)]
    if flush_folder:
        ops.insert(6, Op("fsyncdir", "drive_c/L"))
    return Recording(ops, ["drive_c"])


class TestStates:
    def test_without_folder_flush_the_new_file_may_be_missing(self):
        recording = rotation(flush_folder=False)
        last = recording.cuts[-1]
        assert last.required_rows == {ROW1[:-2], ROW2[:-2]}
        seen = [state.files for state in recording.states(last)]
        assert {LOG: HEADER + ROW1} in seen  # neither the rename nor the new file persisted: ROW2 gone

    def test_folder_flush_keeps_every_state_after_it(self):
        recording = rotation(flush_folder=True)
        for state in recording.states(recording.cuts[-1]):
            assert state.files == {BACKUP: HEADER + ROW1, LOG: HEADER + ROW2}

    def test_cut_before_anything_leaves_nothing(self):
        recording = rotation(flush_folder=True)
        assert all(not state.files and not state.folders - {"drive_c"} for state in recording.states(recording.cuts[0]))

    def test_rows_of_a_deleted_file_are_not_required(self):
        ops = [Op("create", LOG), write(LOG, 0, HEADER + ROW1), Op("fsync", LOG), Op("delete", LOG)]
        recording = Recording(ops, ["drive_c"])
        assert recording.cuts[3].required_rows == {ROW1[:-2]}
        assert recording.cuts[4].required_rows == frozenset()

    def test_unflushed_rows_are_not_required(self):
        ops = [Op("create", LOG), write(LOG, 0, HEADER + ROW1), Op("fsync", LOG), write(LOG, len(HEADER + ROW1), ROW2)]
        recording = Recording(ops, ["drive_c"])
        assert recording.cuts[-1].required_rows == {ROW1[:-2]}
        contents = {state.variant: state.files.get(LOG) for state in recording.states(recording.cuts[-1])
                    if state.metadata_persisted == 1}
        assert contents["zeros"] == HEADER + ROW1 + b"\0" * len(ROW2)

    def test_same_state_from_two_cuts_keeps_both_requirements(self):
        ops = [Op("create", LOG), write(LOG, 0, HEADER + ROW1), Op("fsync", LOG), write(LOG, 100, ROW2),
               Op("fsync", LOG)]
        states = distinct_states(Recording(ops, ["drive_c"]))
        keys = [state.key() for state in states]
        assert len(keys) == len(set(keys))
        # Written but unflushed at cut 2, flushed at cut 3: one state, whose first row must stay.
        first = [state for state in states if state.files.get(LOG) == HEADER + ROW1]
        assert len(first) == 1 and first[0].cut == 2 and first[0].required_rows == {ROW1[:-2]}


def test_a_file_from_before_the_run_is_flushed_and_may_be_cut_back():
    ops = [Op("setsize", LOG, offset=len(HEADER + ROW1)), Op("write", LOG, offset=len(HEADER + ROW1), data=ROW2)]
    recording = Recording(ops, ["drive_c", "drive_c/L"], {LOG: HEADER + ROW1 + b"2026"})
    assert recording.cuts[0].required_rows == {ROW1[:-2]}
    first = {state.variant: state.files[LOG] for state in recording.states(recording.cuts[0])}
    assert first["zeros"] == HEADER + ROW1 + b"2026"
    last = {state.variant: state.files[LOG] for state in recording.states(recording.cuts[-1])}
    assert last["none"] == HEADER + ROW1 + b"2026" and last["all"] == HEADER + ROW1 + ROW2


def test_smoke_selection_keeps_every_kind_and_spreads_over_the_run():
    from crashcheck.__main__ import smoke_selection

    recording = rotation(flush_folder=True)
    states = distinct_states(recording)
    chosen = smoke_selection(states, 2)
    assert {state.op_kind for state in chosen} == {state.op_kind for state in states}
    assert len(chosen) < len(states)
