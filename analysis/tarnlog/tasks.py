"""Where the per-machine work runs: in this process, in local processes, or on a Dask cluster.

Every command's work is one task per machine, and the results come back in
the order of the machines, whichever way they ran, so the output is the same
in all three. At most WINDOW_PER_WORKER tasks per worker are in flight:
results are taken and written in order as they come, and memory holds only
those few machines.
"""

import collections
import itertools
import logging

WINDOW_PER_WORKER = 2


class RunnerError(Exception):
    pass


class InProcess:
    """The default: each machine's task in turn, in this process."""

    in_process = True

    def map(self, function, items):
        return (function(item) for item in items)

    def close(self):
        pass


class Cluster:
    """Tasks on dask.distributed workers: local processes (jobs) or a scheduler's workers."""

    in_process = False

    def __init__(self, jobs=None, scheduler=None):
        try:
            import distributed
        except ImportError:
            raise RunnerError("--jobs and --scheduler need Dask's distributed (python3-distributed)") from None
        self._cluster = None
        try:
            if scheduler:
                self._client = distributed.Client(scheduler, timeout="10s")
            else:
                # On loopback only, the status page on any free port: nothing is offered to the network.
                self._cluster = distributed.LocalCluster(n_workers=jobs, threads_per_worker=1, processes=True,
                                                         host="127.0.0.1", dashboard_address="127.0.0.1:0",
                                                         silence_logs=logging.ERROR)
                self._client = distributed.Client(self._cluster)
        except (OSError, TimeoutError) as error:
            self._close_cluster()
            raise RunnerError("cannot reach the Dask scheduler %s: %s" % (scheduler or "", error)) from None
        self._workers = max(1, len(self._client.scheduler_info().get("workers", {})))

    def map(self, function, items):
        items = iter(items)
        window = self._workers * WINDOW_PER_WORKER
        pending = collections.deque(self._client.submit(function, item, pure=False)
                                    for item in itertools.islice(items, window))
        while pending:
            future = pending.popleft()
            result = _result(future)
            future.release()
            pending.extend(self._client.submit(function, item, pure=False) for item in itertools.islice(items, 1))
            yield result

    def _close_cluster(self):
        if self._cluster is not None:
            self._cluster.close()

    def close(self):
        self._client.close()
        self._close_cluster()


def _result(future):
    try:
        return future.result()
    except ModuleNotFoundError as error:  # raised where the worker unpickles the task
        raise RunnerError("the Dask workers cannot import %s: start them with PYTHONPATH=<repository>/analysis"
                          % error.name) from None


def runner(jobs=None, scheduler=None):
    """The runner for the command line's --jobs N or --scheduler tcp://HOST:PORT (neither: in-process)."""
    if jobs is None and scheduler is None:
        return InProcess()
    return Cluster(jobs=jobs, scheduler=scheduler)
