"""The per-machine work as Dask tasks: a real scheduler and two workers on loopback, and local processes.

Each mode must give byte for byte what the in-process run gives.
"""

import contextlib
import json
import os
import subprocess
import sys
import time

import distributed  # not skipped when missing: tools/install-build-deps.sh installs it
import pytest

from conftest import UPLOAD_HEADER, row
from test_cli import run

ANALYSIS = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
START_TIMEOUT_S = 60


def _fleet(write_log):
    """Three machines with resets, a gap, an upload log and a bad line: enough for every part of the output."""
    for machine, shift in (("alpha", 0), ("beta", 7), ("site2/gamma", 3)):
        rows = [row("20240101T%02d%02d00+0100" % divmod(m, 60), (5, 100 * m + shift, m), (0xFF, m, 2 * m),
                    (0xFF, 5, 5)) for m in list(range(30)) + list(range(40, 50))]
        rows[20] = row("20240101T002000+0100", (5, 1, 1), (0xFF, 0, 0), (0xFF, 5, 5))
        write_log("fleet/%s/TARNLog_20240101T000500+0100.csv" % machine, rows[:12])
        write_log("fleet/%s/TARNLog.csv" % machine, rows[10:] + ["bad line"])
        write_log("fleet/%s/TARNLogUpload.csv" % machine, rows[::5], header=UPLOAD_HEADER)


def _wait_for(path, process):
    deadline = time.monotonic() + START_TIMEOUT_S
    while not os.path.exists(path):
        if process.poll() is not None or time.monotonic() > deadline:
            raise RuntimeError("the Dask scheduler did not start")
        time.sleep(0.1)


@contextlib.contextmanager
def _cluster(folder, workers, python_path):
    """Starts a dask scheduler and single-threaded workers on 127.0.0.1; yields its address."""
    scheduler_file = str(folder / "scheduler.json")
    environment = dict(os.environ, PYTHONPATH=python_path)
    common = ["--no-dashboard"]
    processes = [subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
                                   "--port", "0", "--scheduler-file", scheduler_file] + common,
                                  cwd=folder, env=environment, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
    try:
        _wait_for(scheduler_file, processes[0])
        for _ in range(workers):
            processes.append(subprocess.Popen(
                [sys.executable, "-m", "distributed.cli.dask_worker", "--scheduler-file", scheduler_file,
                 "--nthreads", "1", "--host", "127.0.0.1"] + common,
                cwd=folder, env=environment, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        with open(scheduler_file) as stream:
            address = json.load(stream)["address"]
        with distributed.Client(address, timeout=START_TIMEOUT_S) as client:
            client.wait_for_workers(workers, timeout=START_TIMEOUT_S)
        yield address
    finally:
        for process in reversed(processes):
            process.terminate()
        for process in processes:
            process.wait(timeout=30)


@pytest.fixture(scope="module")
def scheduler(tmp_path_factory):
    """Two workers that can import tarnlog."""
    with _cluster(tmp_path_factory.mktemp("dask"), 2, ANALYSIS) as address:
        yield address


@pytest.fixture
def fleet(tmp_path, write_log):
    _fleet(write_log)
    return str(tmp_path / "fleet")


@pytest.mark.parametrize("command", [["summary", "--json"], ["summary"], ["check"]])
def test_scheduler_and_local_processes_give_the_in_process_result(scheduler, fleet, command):
    expected = run(*command, fleet)
    assert expected[0] == (1 if command == ["check"] else 0)
    assert run(*command, "--scheduler", scheduler, fleet) == expected
    assert run(*command, "--jobs", "2", fleet) == expected


def test_export_on_the_cluster_writes_the_same_file(scheduler, fleet, tmp_path):
    outputs = {}
    for mode in ([], ["--scheduler", scheduler], ["--jobs", "2"]):
        out = tmp_path / ("long%d.csv" % len(outputs))
        assert run("export", "--long", str(out), *mode, fleet)[0] == 0
        outputs[tuple(mode[:1])] = out.read_bytes()
    assert len(set(outputs.values())) == 1
    assert outputs[()].count(b"\n") == 1 + 3 * (3 * 40 + 3 * 8)  # the header; per machine 3 series of each log


def test_an_unreachable_scheduler_fails_before_any_work(fleet):
    code, out, err = run("summary", "--scheduler", "tcp://127.0.0.1:9", fleet)
    assert (code, out) == (1, "")
    assert "cannot reach the Dask scheduler tcp://127.0.0.1:9" in err


def test_workers_that_cannot_import_tarnlog_are_told_how_to_start(tmp_path_factory, fleet):
    folder = tmp_path_factory.mktemp("bare")  # the workers' folder: no tarnlog there either
    with _cluster(folder, 1, "") as address:
        code, out, err = run("summary", "--scheduler", address, fleet)
        assert (code, out) == (1, "")
        assert "the Dask workers cannot import tarnlog: start them with PYTHONPATH=<repository>/analysis" in err
