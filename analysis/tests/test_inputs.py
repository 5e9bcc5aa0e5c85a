"""Which files are read under the paths given, which are skipped and why, and their machines."""

import os

import pytest

from conftest import row
from tarnlog.inputs import classify_name, collect, machine_of


@pytest.mark.parametrize("name, expected", [
    ("TARNLog.csv", ("local", "current")),
    ("TARNLog_20240131T235959+0100.csv", ("local", "backup")),
    ("tarnlog_20240131T235959+0100.CSV", ("local", "backup")),
    ("TARNLogUpload.csv", ("upload", "current")),
    ("3001_TARNLogUpload_20240131T235959+0100.csv", ("upload", "handed-over")),
    ("3002_Other_20190101T000000+0000.csv", (None, "other")),
    ("TARNLog_notes.txt", (None, "other")),
])
def test_names_tell_the_log_and_the_kind(name, expected):
    assert classify_name(name) == expected


def test_the_service_layout_folds_into_one_machine(tmp_path):
    machine = tmp_path / "PC042" / "drive_c"
    local = machine / "ProgramData" / "Corvessan" / "TARNLog" / "LocalLog" / "TARNLog.csv"
    drop = machine / "programdata" / "corvessan" / "VORLA" / "upload" / "3001_TARNLogUpload_x.csv"
    assert machine_of(str(local)) == str(machine)
    assert machine_of(str(drop)) == str(machine)
    assert machine_of(str(tmp_path / "PC043" / "TARNLog.csv")) == str(tmp_path / "PC043")


def test_folders_are_walked_and_other_files_skipped_with_reasons(tmp_path, write_log):
    kept = write_log("drop/PC1/3001_TARNLogUpload_20240101T000000+0000.csv", [])
    write_log("drop/PC1/3002_Other_20190101T000000+0000.csv", [], raw=b"another source")
    nested = write_log("drop/PC2/sub/TARNLog.csv", [])
    os.mkfifo(tmp_path / "drop" / "PC2" / "TARNLog_pipe.csv")
    files, skipped, missing = collect([str(tmp_path / "drop")])
    assert [f.path for f in files] == [kept, nested]
    assert [f.machine for f in files] == ["PC1", os.path.join("PC2", "sub")]
    assert [f.folder for f in files] == [str(tmp_path / "drop" / "PC1"), str(tmp_path / "drop" / "PC2" / "sub")]
    assert {(os.path.basename(s.path), s.reason) for s in skipped} == {
        ("3002_Other_20190101T000000+0000.csv", "not a log file name of the service"),
        ("TARNLog_pipe.csv", "not a regular file"),
    }
    assert missing == []


def test_files_given_by_name_are_read_whatever_their_name_and_only_once(tmp_path, write_log):
    renamed = write_log("PC1/copy of log.txt", [row("20240101T000000+0000", (5, 1, 2))])
    files, skipped, missing = collect([renamed, str(tmp_path / "PC1"), str(tmp_path / "nowhere")])
    assert [(f.path, f.name_log, f.kind) for f in files] == [(renamed, None, "other")]
    reasons = {os.path.basename(s.path): s.reason for s in skipped}
    assert reasons == {"copy of log.txt": "already read under another path or given twice",
                       "nowhere": "no such file or folder"}
    assert missing == [str(tmp_path / "nowhere")]


class TestMachineNames:
    def test_named_relative_to_the_folder_given_or_by_their_own_name(self, tmp_path, write_log):
        write_log("fleet/alpha/TARNLog.csv", [])
        write_log("fleet/site2/beta/drive_c/ProgramData/Corvessan/TARNLog/LocalLog/TARNLog.csv", [])
        given = write_log("elsewhere/gamma/TARNLog.csv", [])
        files, _, _ = collect([str(tmp_path / "fleet"), given, str(tmp_path / "fleet" / "alpha")])
        assert [f.machine for f in files] == ["alpha", os.path.join("site2", "beta", "drive_c"), "gamma"]

    def test_the_folder_given_names_itself_and_clashing_names_stay_apart(self, tmp_path, write_log):
        write_log("a/PC1/TARNLog.csv", [])
        write_log("b/PC1/TARNLog.csv", [])
        write_log("c/drive_c/ProgramData/Corvessan/TARNLog/LocalLog/TARNLog.csv", [])
        files, _, _ = collect([str(tmp_path / "a" / "PC1"), str(tmp_path / "b"),
                               str(tmp_path / "c" / "drive_c" / "ProgramData")])
        assert [f.machine for f in files] == [str(tmp_path / "a" / "PC1"), str(tmp_path / "b" / "PC1"), "drive_c"]
