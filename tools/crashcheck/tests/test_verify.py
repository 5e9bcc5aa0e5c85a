"""The judgement of a restarted crash state: each problem it must catch, and a clean state."""

from crashcheck.machine import DROP, LOCAL, RESTART_COUNTER_START, Limits
from crashcheck.model import CrashState
from crashcheck.verify import judge, lay_out

LOCAL_HEADER = b"# LogFormatVersion:V1.00\r\n"
UPLOAD_HEADER = b"#vorla_upload LogFormatVersion:V1.00\r\n"
LIMITS = Limits(local_backups=1, upload_backups=1)


def row(second, counter):
    return b"20261208T1506%02d+0900,05,%016x,00000000000001f4" % (second, counter)


RUN_ROW = row(1, 5)
RESTART_ROWS = [row(30, RESTART_COUNTER_START), row(31, RESTART_COUNTER_START + 1)]


def machine(tmp_path, files, required=()):
    """A machine folder after a restart: the given files, the restart's rows in TARNLog.csv."""
    files = dict(files)
    files.setdefault(LOCAL + "/TARNLog.csv", LOCAL_HEADER)
    files[LOCAL + "/TARNLog.csv"] += b"".join(line + b"\r\n" for line in RESTART_ROWS)
    state = CrashState(1, 0, "all", frozenset({LOCAL, DROP}), files, frozenset(required), "write")
    lay_out(state, tmp_path)
    return state


def test_clean_state_passes(tmp_path):
    state = machine(tmp_path, {LOCAL + "/TARNLog_1.csv": LOCAL_HEADER + RUN_ROW + b"\r\n"}, [RUN_ROW])
    verdict = judge(state, tmp_path, LIMITS, "RUNNING")
    assert verdict.passed, verdict.problems
    assert verdict.restart_rows == 2


def test_lost_row(tmp_path):
    state = machine(tmp_path, {}, [RUN_ROW])
    assert judge(state, tmp_path, LIMITS, "RUNNING").lost_rows == 1


def test_row_in_two_files(tmp_path):
    line = RUN_ROW + b"\r\n"
    state = machine(tmp_path, {LOCAL + "/TARNLog_1.csv": LOCAL_HEADER + line, DROP + "/3001_TARNLogUpload_1.csv":
                               UPLOAD_HEADER + line})
    assert judge(state, tmp_path, LIMITS, "RUNNING").duplicated_rows == 1


def test_nul_bytes_fail_tarnlog_check(tmp_path):
    state = machine(tmp_path, {LOCAL + "/TARNLogUpload.csv": UPLOAD_HEADER + b"\0" * 40})
    verdict = judge(state, tmp_path, LIMITS, "RUNNING")
    assert verdict.failing_files == {str(tmp_path / LOCAL / "TARNLogUpload.csv")} and not verdict.passed


def test_more_files_than_the_limits(tmp_path):
    state = machine(tmp_path, {DROP + "/3001_TARNLogUpload_%d.csv" % n: UPLOAD_HEADER for n in (1, 2)} |
                    {LOCAL + "/TARNLog_%d.csv" % n: LOCAL_HEADER for n in (1, 2)})
    verdict = judge(state, tmp_path, LIMITS, "RUNNING")
    assert (verdict.handed_over, verdict.local_backups) == (2, 2)
    assert len(verdict.problems) == 2


def test_service_that_did_not_run_or_sample(tmp_path):
    state = machine(tmp_path, {})
    assert not judge(state, tmp_path, LIMITS, "STOPPED").passed
    (tmp_path / LOCAL / "TARNLog.csv").write_bytes(LOCAL_HEADER)
    assert judge(state, tmp_path, LIMITS, "RUNNING").problems == ["only 0 local rows sampled after the restart"]


def test_rows_the_restart_deleted_by_retention_are_not_lost(tmp_path):
    from crashcheck.trace import Op

    old = DROP + "/3001_TARNLogUpload_1.csv"
    state = machine(tmp_path, {LOCAL + "/TARNLogUpload.csv": UPLOAD_HEADER + RUN_ROW + b"\r\n"}, [RUN_ROW])
    (tmp_path / LOCAL / "TARNLogUpload.csv").unlink()  # handed over, then removed as the oldest
    restart = [Op("rename", LOCAL + "/TARNLogUpload.csv", to=old), Op("delete", old)]
    assert judge(state, tmp_path, LIMITS, "RUNNING").lost_rows == 1
    assert judge(state, tmp_path, LIMITS, "RUNNING", restart).lost_rows == 0
