"""The real service on simulated machines: the recorded run, and a restart on a crash state."""

from __future__ import annotations

import os
import re
import shutil
import signal
import subprocess
import time
from dataclasses import dataclass
from pathlib import Path

SERVICE = "TarnSvc"
APPDATA = "drive_c/ProgramData"
LOCAL = APPDATA + "/Corvessan/TARNLog/LocalLog"
DROP = APPDATA + "/Corvessan/VORLA/upload"
# Every folder above the logs exists before the run, as on Windows.
INITIAL_FOLDERS = ("drive_c", APPDATA, APPDATA + "/Corvessan", APPDATA + "/Corvessan/VORLA")
COMMAND_TIMEOUT = 20  # seconds for one tarn-sc command: a hung service fails its state


@dataclass(frozen=True)
class Limits:
    """The size and backup limits of both logs (the settings of the same names)."""

    local_size: int = 500
    local_backups: int = 2
    upload_size: int = 400
    upload_backups: int = 2


def registry_text(limits, local_period_ms, upload_period_ms):
    values = [("LogPeriodMs", local_period_ms), ("LogFileSizeByte", limits.local_size),
              ("LogFileBackupNum", limits.local_backups), ("UploadLogPeriodMs", upload_period_ms),
              ("UploadLogFileSizeByte", limits.upload_size), ("UploadLogFileBackupNum", limits.upload_backups)]
    lines = ["Windows Registry Editor Version 5.00", "",
             r"[HKEY_LOCAL_MACHINE\SOFTWARE\WOW6432Node\Corvessan\Tarn]"]
    lines += ['"%s"=dword:%08x' % value for value in values]
    return "\r\n".join(lines) + "\r\n"


def driver_text(start):
    """Two interfaces whose counters begin at `start`: the restarts' rows differ from the run's."""
    sections = []
    for number, component in enumerate(("USB_X_R_2", "SSD_R_0")):
        sections.append("[device]\npath = \\\\?\\root#tarnpwr#%04d#{45bd8344-7ed6-49cf-a440-c276c933b053}\n"
                        "component = %s\nreading0 = counter %d 137\nreading1 = counter %d 250\n"
                        % (number, component, start + number, start + 1000 + number))
    return "\n".join(sections)


# Counters of the recorded run begin low, a restart's high: a row of a restart is known by them.
RUN_COUNTER_START = 0x10000
RESTART_COUNTER_START = 0x7000000000


def is_restart_row(row):
    fields = row.split(b",")
    return len(fields) > 3 and int(fields[2], 16) >= RESTART_COUNTER_START


@dataclass(frozen=True)
class Programs:
    sc: Path
    service: Path

    @staticmethod
    def of_build(root):
        build = Path(root) / "build" / "default"
        return Programs(build / "tools/tarn-sc/tarn-sc", build / "qorlogsvc/model/service/tarnsvc")


class Machine:
    def __init__(self, folder, programs):
        self.folder = Path(folder)
        self.programs = programs

    def make(self, limits, local_period_ms, upload_period_ms, counter_start):
        shutil.rmtree(self.folder, ignore_errors=True)
        for folder in INITIAL_FOLDERS:
            (self.folder / folder).mkdir(parents=True, exist_ok=True)
        (self.folder / "registry.reg").write_text(registry_text(limits, local_period_ms, upload_period_ms))
        (self.folder / "driver.ini").write_text(driver_text(counter_start))

    def sc(self, *args, env=None):
        return subprocess.run([str(self.programs.sc), "--machine", str(self.folder), *args], env=env,
                              capture_output=True, text=True, timeout=COMMAND_TIMEOUT)

    def state(self):
        match = re.search(r"STATE\s*:\s*\d+\s+(\w+)", self.sc("query", SERVICE).stdout)
        return match.group(1) if match else "UNKNOWN"

    def start(self, env=None):
        self.sc("create", SERVICE, "binPath=", str(self.programs.service))
        self.sc("start", SERVICE, env=env)
        return self.state()

    def stop(self):
        """Stops the service; one that does not stop in time is ended by its process id."""
        pid = re.search(r"PID\s*:\s*(\d+)", self.sc("queryex", SERVICE).stdout)
        try:
            self.sc("stop", SERVICE)
        except subprocess.TimeoutExpired:
            if pid and int(pid.group(1)) > 0:
                os.kill(int(pid.group(1)), signal.SIGKILL)
            raise

    def sample(self, control):
        self.sc("control", SERVICE, str(control))


# Current files an earlier run left torn, so the start repairs them (cuts them back).
LEFT_FROM_BEFORE = {
    LOCAL + "/TARNLog.csv": b"# LogFormatVersion:V1.00\r\n20200101T000000+0000,01,0000000000000001,"
                            b"0000000000000002\r\n2020010",
    LOCAL + "/TARNLogUpload.csv": b"#vorla_upload LogFormatVersion:V1.00\r\n20200101T000000+0000,01,"
                                  b"0000000000000003,0000000000000004\r\n" + b"\0" * 40,
}


def record_run(machine, trace, limits, seconds, drop_gone=(0.3, 0.6)):
    """Runs the service for `seconds` at short periods with the recorder on, on a machine
    whose current files an earlier run left torn. The drop
    folder exists at the start, disappears (the collection product removed, its files with
    it) after drop_gone[0] of the time and comes back after drop_gone[1]. These changes are
    written into the trace as the operations they are, in order with the service's.
    Returns the folders and files that were there before the run."""
    machine.make(limits, local_period_ms=250, upload_period_ms=300, counter_start=RUN_COUNTER_START)
    drop = machine.folder / DROP
    drop.mkdir()
    (machine.folder / LOCAL).mkdir(parents=True)
    for path, content in LEFT_FROM_BEFORE.items():
        (machine.folder / path).write_bytes(content)
    trace = Path(trace)
    trace.unlink(missing_ok=True)
    env = dict(os.environ, TARN_SIM_FS_RECORD=str(trace))
    began = time.monotonic()
    if machine.start(env) != "RUNNING":
        raise RuntimeError("the recorded service did not start")

    def note(*lines):
        with open(trace, "a", encoding="utf-8") as out:
            out.write("".join(line + "\n" for line in lines))

    def wait_until(fraction):
        time.sleep(max(0.0, began + seconds * fraction - time.monotonic()))

    wait_until(drop_gone[0])
    gone = drop.with_name("upload.removed")
    os.rename(drop, gone)  # one step, so no hand-over lands half-way
    note("rename\t%s\t%s" % (DROP, DROP + ".removed"))
    removed = sorted(gone.iterdir())
    for file in removed:
        file.unlink()
    gone.rmdir()
    note(*["delete\t%s/%s" % (DROP + ".removed", file.name) for file in removed],
         "delete\t" + DROP + ".removed", "fsyncdir\t" + DROP.rsplit("/", 1)[0])
    wait_until(drop_gone[1])
    drop.mkdir()
    note("mkdir\t" + DROP, "fsyncdir\t" + DROP.rsplit("/", 1)[0])
    wait_until(1.0)
    machine.stop()
    return INITIAL_FOLDERS + (DROP, LOCAL.rsplit("/", 1)[0], LOCAL), dict(LEFT_FROM_BEFORE)
