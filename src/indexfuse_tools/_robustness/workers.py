"""Where the runs of an analysis are done: this process, local processes or a Dask cluster.

Each worker builds its own :class:`~indexfuse_tools._robustness.engine.Engine`
from the job, sent to it once, and keeps it for the tasks that follow. Local
processes read the job from a nameless file and write every run's kept series
(its ranks) in place into the analysis's spill files, whose descriptors they
get while they start; they end with the process that started them. Dask
workers send the kept series back with each task, and tasks are sized so that
what one sends back stays small.
"""

from __future__ import annotations

import collections
import concurrent.futures
import contextlib
import ctypes
import itertools
import mmap
import multiprocessing
import os
import pickle
import signal
import sys
import tempfile
import threading
import time
import uuid
from collections.abc import Callable, Iterator, Mapping, Sequence
from concurrent.futures.process import BrokenProcessPool
from typing import Any, TypeVar, cast

import numpy as np

from indexfuse_tools._robustness.engine import Engine, Job, Task
from indexfuse_tools._robustness.factors import DISCRETE, REGISTRY, TREATMENT
from indexfuse_tools._robustness.series import Accumulator, TaskResult, order_statistics, unit_ranges
from indexfuse_tools._robustness.spill import SPILL_PREFIX, SharedFd, SharedSpill, Spill

__all__ = [
    "DASK_TASK_BYTES",
    "SMALL_ANALYSIS",
    "bootstrap_tasks",
    "check_dask_workers",
    "execute",
    "local_workers",
    "map_tasks",
    "plan_workers",
    "refuse_in_a_starting_worker",
    "split",
    "task_runs",
]

_engines: dict[str, Engine] = {}
_spills: dict[str, dict[str, Spill]] = {}  # a pool worker's spill files, by analysis and series
_engines_lock = threading.Lock()
_KEPT_ENGINES = 2  # a long-lived worker keeps the engines of this many recent analyses


def _engine_for(job: Job) -> Engine:
    with _engines_lock:
        engine = _engines.pop(job.token, None) or Engine(job)
        _engines[job.token] = engine
        while len(_engines) > _KEPT_ENGINES:
            del _engines[next(iter(_engines))]
        return engine


_PR_SET_PDEATHSIG = 1  # from <linux/prctl.h>
_PARENT_POLL_SECONDS = 0.5


def _end_with_parent(parent: int) -> None:
    """Make this worker end as soon as the process ``parent`` does.

    A parent that is killed outright (SIGKILL, as the out-of-memory killer
    does) never shuts its pool down, and its workers, which hold the writing
    end of the queue they wait on, would wait for ever. On Linux the kernel
    sends this worker SIGKILL when its parent dies (``PR_SET_PDEATHSIG``);
    elsewhere, or if that call fails, a daemon thread polls ``os.getppid()``.
    """
    if sys.platform.startswith("linux"):
        libc = ctypes.CDLL(None, use_errno=True)
        if libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0) == 0:
            # A parent that died before the call above sends no signal: this
            # worker has been handed to another process already.
            if os.getppid() != parent:
                os._exit(1)
            return
    threading.Thread(target=_watch_parent, args=(parent,), name="indexfuse-parent-watch", daemon=True).start()


def _watch_parent(parent: int) -> None:
    while os.getppid() == parent:
        time.sleep(_PARENT_POLL_SECONDS)
    os._exit(1)


def _init_pool_worker(parent: int, job_file: SharedFd, spills: dict[str, SharedSpill]) -> None:
    _end_with_parent(parent)
    job = cast(Job, _unpickled(job_file.fd))
    _spills[job.token] = {name: shared.open() for name, shared in spills.items()}
    _engine_for(job)


def _unpickled(fd: int) -> Any:
    """What :func:`_pickled_file` wrote, read from this worker's descriptor of it, which is then closed."""
    try:
        with mmap.mmap(fd, 0, access=mmap.ACCESS_READ) as mapped:
            return pickle.loads(mapped)
    finally:
        os.close(fd)


def _pool_task(token: str, task: Task) -> tuple[int, TaskResult]:
    """(this worker's process id, the task's result)."""
    return os.getpid(), _engines[token].work(task, _spills[token])


def _pool_order_statistics(token: str, name: str, positions: list[int], start: int, stop: int) -> np.ndarray:
    return order_statistics(_spills[token][name], positions, start, stop)


def _dask_task(job: Job, task: Task) -> TaskResult:
    return _engine_for(job).work(task)


def local_workers() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # pragma: no cover - not on Linux
        return os.cpu_count() or 1


def _is_dask_client(scheduler: Any) -> bool:
    try:
        from distributed import Client
    except ImportError:  # pragma: no cover - dask is optional
        return False
    return isinstance(scheduler, Client)


#: Below this many rank values (runs x units), ``scheduler=None`` works in
#: this process: starting processes (a new interpreter that imports the
#: caller's script, pandas and the model) costs more than they would save.
#: The quickstart's 8,192 runs of 51 units take 3 s in one process and 6 s
#: in two.
SMALL_ANALYSIS = 20_000_000


def plan_workers(scheduler: Any, size: int = SMALL_ANALYSIS) -> tuple[str, int]:
    """("local" or "dask", the number of workers) for a ``scheduler`` argument."""
    if scheduler is None:
        return "local", 1 if size < SMALL_ANALYSIS else local_workers()
    if isinstance(scheduler, (int, np.integer)) and not isinstance(scheduler, (bool, np.bool_)):
        if scheduler < 1:
            raise ValueError(f"scheduler: a number of local processes is at least 1, got {scheduler}")
        return "local", int(scheduler)
    if _is_dask_client(scheduler):
        return "dask", max(1, len(scheduler.scheduler_info().get("workers", {})))
    raise TypeError(
        "scheduler must be None (every local core), a number of local processes (1: this process only) "
        f"or a dask.distributed.Client, got {type(scheduler).__name__}"
    )


# Neighbouring configurations share the most when they agree on the prepared
# table first (every coefficient table depends on it), then on the model's
# arguments: the registry's order, the weight noise aside.
_TASK_ORDER = (*TREATMENT, *(factor.name for factor in REGISTRY if factor.discrete and factor.name not in TREATMENT))


#: A Dask task sends its runs' kept series back with its result: tasks hold
#: few enough runs for that to stay below about this many bytes.
DASK_TASK_BYTES = 32 * 2**20
#: Dask tasks waiting or running per worker at any time: each holds its
#: result on the worker until this process takes it.
_DASK_TASKS_PER_WORKER = 2


def split(codes: np.ndarray, multipliers: np.ndarray, workers: int, most: int | None = None) -> list[Task]:
    """The runs in tasks of about equal size, breaking between configurations where it can.

    Configurations are ordered so that those that share prepared tables,
    coefficient tables and entropy estimates (the same treatment, scale
    method, cumulative, k and resolution) are neighbours. A few tasks per
    worker balance the load, and at least a few dozen keep a progress bar
    moving. With ``most``, no task holds more runs than that, even if a
    configuration has to be split (its parts then build it again).
    """
    n_runs = len(codes)
    pieces = max(8 * workers, 32, 0 if most is None else -(-n_runs // most))
    # np.lexsort sorts by its last key first: the treatment, scale method, cumulative, k, resolution, exclude.
    order = np.lexsort(tuple(codes[:, DISCRETE.index(name)] for name in reversed(_TASK_ORDER)))
    ordered = codes[order]
    starts = np.flatnonzero(np.concatenate(([True], (ordered[1:] != ordered[:-1]).any(axis=1))))
    wanted = np.arange(pieces) * n_runs / pieces
    cuts = np.unique(starts[np.minimum(np.searchsorted(starts, wanted), len(starts) - 1)])
    bounds = [*cuts.tolist(), n_runs]
    if most is not None:
        bounds = sorted({*bounds, *(cut for a, b in zip(bounds[:-1], bounds[1:]) for cut in range(a, b, most))})
    return [
        Task(order[a:b], codes[order[a:b]], multipliers[order[a:b]]) for a, b in zip(bounds[:-1], bounds[1:]) if b > a
    ]


def bootstrap_tasks(n: int, workers: int, most: int | None = None) -> list[Task]:
    pieces = max(8 * workers, 32, 0 if most is None else -(-n // most))
    return [
        Task(runs, np.zeros((len(runs), len(DISCRETE)), dtype=np.int64), np.ones((len(runs), 0)))
        for runs in np.array_split(np.arange(n), min(pieces, n))
    ]


def task_runs(kind: str, row_bytes: int) -> int | None:
    """The most runs a task may hold where it runs: a Dask task carries its kept series back (None: no limit)."""
    return max(1, DASK_TASK_BYTES // max(1, row_bytes)) if kind == "dask" else None


def execute(
    job: Job,
    tasks: list[Task],
    scheduler: Any,
    progress: bool,
    accumulator: Accumulator,
    wanted: Mapping[str, Sequence[int]],
) -> dict[str, np.ndarray]:
    """Build every run and add it to ``accumulator``; then the order statistics ``wanted`` of the kept series.

    The runs are built in this process, in local processes or on Dask.
    ``wanted`` maps a kept series to positions in each unit's sorted values
    over the runs; the statistics come back one row per unit. Local
    processes compute them too, each reading its range of units from the
    spill files; elsewhere this process reads them.
    """
    from tqdm.auto import tqdm

    n_runs = sum(len(t.runs) for t in tasks)
    kind, workers = plan_workers(scheduler, n_runs * len(job.data))  # every row is scored, whichever are ranked
    with contextlib.ExitStack() as stack:
        bar = stack.enter_context(tqdm(total=n_runs, desc="robustness", unit="run", disable=not progress))
        pool = None
        if kind == "dask":
            results = _on_dask(scheduler, job, tasks, workers)
        elif workers == 1 or len(tasks) == 1:
            engine = Engine(job)
            results = (engine.work(task, accumulator.spills) for task in tasks)
        else:
            workers = min(workers, len(tasks))
            pool = stack.enter_context(_local_pool(job, workers, accumulator))
            results = _on_processes(pool, job, tasks, workers)
        for result in results:
            accumulator.take(result)
            bar.update(len(result.runs))
        if pool is None:
            return {name: order_statistics(accumulator.spills[name], positions) for name, positions in wanted.items()}
        return {
            name: _on_pool(pool, job.token, name, list(positions), accumulator.spills[name])
            for name, positions in wanted.items()
        }


@contextlib.contextmanager
def _pickled_file(value: Any, directory: str | os.PathLike[str] | None = None) -> Iterator[SharedFd]:
    """``value`` pickled into a nameless file, for local processes to read while they start.

    Handed over with the other arguments of a new process, it would go
    through the pipe that starts it; a process that stops before it reads
    them all (a script without the ``__main__`` guard) would then leave this
    one waiting for ever to write the rest. Having no name, the file is left
    behind by no way of ending, a kill included.
    """
    with tempfile.TemporaryFile(dir=directory, prefix=SPILL_PREFIX) as handle:
        pickle.dump(value, handle, protocol=pickle.HIGHEST_PROTOCOL)
        handle.flush()
        yield SharedFd(handle.fileno())


@contextlib.contextmanager
def _local_pool(job: Job, workers: int, accumulator: Accumulator) -> Iterator[concurrent.futures.Executor]:
    """Local processes that hold the job and the spill files, ended (or their tasks cancelled) on the way out."""
    # spawn, not fork: the caller may run threads (a notebook, a Dask client),
    # and a forked child would inherit their locks in whatever state they were.
    context = multiprocessing.get_context("spawn")
    spills = {name: spill.shared() for name, spill in accumulator.spills.items()}
    with _pickled_file(job, accumulator.directory) as job_file:
        # Workers are started by the thread that submits the tasks (this one,
        # with spawn), which waits for their results: it outlives them, as
        # the parent death signal, sent when the starting thread ends, requires.
        with concurrent.futures.ProcessPoolExecutor(
            workers, mp_context=context, initializer=_init_pool_worker, initargs=(os.getpid(), job_file, spills)
        ) as pool:
            try:
                yield pool
            except BaseException:
                pool.shutdown(wait=True, cancel_futures=True)
                raise


class _Stretches:
    """The tasks in one stretch of the configuration order per worker: a worker keeps to its own.

    Neighbouring configurations share coefficient tables, dimension values
    and entropy estimates. Workers that each take whatever task comes next
    each build most of them; a worker that keeps to one stretch builds its
    own once. A worker whose stretch is done takes the last task of the
    stretch with the most runs left. A worker is told its stretch by the
    first task it returns (or, if another worker has that one, the first
    stretch nobody has).
    """

    def __init__(self, tasks: list[Task], workers: int) -> None:
        ends = np.cumsum([len(task.runs) for task in tasks])
        cuts = np.searchsorted(ends, ends[-1] * np.arange(1, workers) / workers, side="right")
        bounds = [0, *cuts.tolist(), len(tasks)]
        self.stretches = [collections.deque(tasks[a:b]) for a, b in zip(bounds[:-1], bounds[1:])]
        self.owner: dict[int, int] = {}

    def first(self) -> list[tuple[int, Task]]:
        """A task from the start of each stretch."""
        return [(number, stretch.popleft()) for number, stretch in enumerate(self.stretches) if stretch]

    def after(self, worker: int, stretch: int) -> tuple[int, Task] | None:
        """(stretch, task) for ``worker``, which has just returned a task of ``stretch``; None when all are given."""
        if worker not in self.owner:
            taken = set(self.owner.values())
            free = [number for number in range(len(self.stretches)) if number not in taken]
            self.owner[worker] = stretch if stretch not in taken or not free else free[0]
        own = self.owner[worker]
        if self.stretches[own]:
            return own, self.stretches[own].popleft()
        richest = max(range(len(self.stretches)), key=lambda n: sum(len(task.runs) for task in self.stretches[n]))
        if self.stretches[richest]:
            return richest, self.stretches[richest].pop()
        return None


def _on_processes(
    pool: concurrent.futures.Executor, job: Job, tasks: list[Task], workers: int
) -> Iterator[TaskResult]:
    """The tasks' results, one task at a time per worker, each worker on its stretch of the configurations.

    With one task waiting per worker, the worker that has just finished is
    the only one free to take the next task submitted: that is how it gets
    one of its own stretch.
    """
    stretches = _Stretches(tasks, workers)
    pending = {pool.submit(_pool_task, job.token, task): number for number, task in stretches.first()}
    try:
        while pending:
            done, _ = concurrent.futures.wait(pending, return_when=concurrent.futures.FIRST_COMPLETED)
            for future in done:
                stretch = pending.pop(future)  # a finished future holds its result: let both go
                worker, result = _result_of(future)
                following = stretches.after(worker, stretch)
                if following is not None:
                    pending[pool.submit(_pool_task, job.token, following[1])] = following[0]
                yield result
    finally:
        for future in pending:
            future.cancel()


def _on_pool(
    pool: concurrent.futures.Executor, token: str, name: str, positions: list[int], spill: Spill
) -> np.ndarray:
    """The order statistics of kept series ``name``, each worker reading a range of units at a time."""
    out = np.empty((spill.units, len(positions)), dtype=spill.dtype)
    ranges = unit_ranges(spill.units, spill.block_width())
    futures = {pool.submit(_pool_order_statistics, token, name, positions, a, b): a for a, b in ranges}
    for future in concurrent.futures.as_completed(futures):
        found = _result_of(future)
        out[futures[future] : futures[future] + len(found)] = found
    return out


_T = TypeVar("_T")


def _result_of(future: concurrent.futures.Future[_T]) -> _T:
    try:
        return future.result()
    except BrokenProcessPool:
        raise BrokenProcessPool(
            "a local worker process ended abruptly: killed (out of memory?) or failed while starting (see its "
            'message above; a script that starts local processes needs the if __name__ == "__main__": guard)'
        ) from None


def check_dask_workers(client: Any, needed: int) -> None:
    """Refuse a cluster with a worker whose memory limit is below what a worker of the analysis needs.

    Raises
    ------
    MemoryError
        Naming the worker, its limit and the estimate.
    """
    for address, worker in client.scheduler_info().get("workers", {}).items():
        limit = worker.get("memory_limit") or 0
        if limit and needed > limit:
            raise MemoryError(
                f"robustness(): each Dask worker would need about {needed / 2**30:.2f} GiB, and worker {address} "
                f"may take {limit / 2**30:.2f} GiB (its memory_limit): give the workers more memory each "
                "(fewer workers per machine), or vary fewer levels of exclude, scale_method or pca_cumulative"
            )


def _on_dask(client: Any, job: Job, tasks: list[Task], workers: int) -> Iterator[TaskResult]:
    """The tasks' results from the cluster, a few tasks per worker at a time.

    Submitting every task at once would let finished results pile up on the
    workers, each holding its runs' kept series, while this process takes
    them one by one.
    """
    from distributed import as_completed

    shared = client.scatter(job, broadcast=True, hash=False)
    waiting = iter(tasks)

    def submit(task: Task) -> Any:
        return client.submit(_dask_task, shared, task, pure=False)

    pending = {submit(task) for task in itertools.islice(waiting, _DASK_TASKS_PER_WORKER * workers)}
    finished = cast(Any, as_completed)(list(pending))
    try:
        for future in finished:
            pending.discard(future)  # released on the cluster once dropped here
            result = future.result()
            for task in itertools.islice(waiting, 1):
                following = submit(task)
                pending.add(following)
                finished.add(following)
            yield result
    finally:
        client.cancel([*pending, shared])


# ------------------------------------------------- other work, same workers --

_State = TypeVar("_State")
_Task = TypeVar("_Task")
_Result = TypeVar("_Result")

_states: dict[str, Any] = {}  # a pool worker's state, sent to it once


def refuse_in_a_starting_worker(function: str) -> None:
    """Stop a spawned process that is running the caller's script again, with one line.

    A local process started with ``spawn`` imports the main script before it
    does anything; a script without the ``if __name__ == "__main__":`` guard
    then calls ``function`` again in every worker, and each would fail with
    two pages of multiprocessing's traceback. ``SystemExit`` with a message
    prints that line alone and ends the worker, which is all it can do.
    """
    # multiprocessing's own test for the same mistake; False in any other process.
    if getattr(multiprocessing.current_process(), "_inheriting", False):
        raise SystemExit(
            f"{function}: a local worker process ran the calling script again while starting; "
            f'put the code that calls {function} under if __name__ == "__main__": (local processes are spawned)'
        )


def _init_state_worker(parent: int, token: str, state_file: SharedFd) -> None:
    _end_with_parent(parent)
    _states[token] = _unpickled(state_file.fd)


def _state_task(token: str, work: Callable[[Any, Any], Any], task: Any) -> Any:
    return work(_states[token], task)


def _state_dask_task(work: Callable[[Any, Any], Any], state: Any, task: Any) -> Any:
    return work(state, task)


def map_tasks(
    work: Callable[[_State, _Task], _Result],
    state: _State,
    tasks: list[_Task],
    scheduler: Any,
    size: int = SMALL_ANALYSIS,
) -> Iterator[_Result]:
    """``work(state, task)`` for every task, in this process, in local processes or on Dask.

    The same workers as the robustness runs, for other work: ``state`` is
    sent to each worker once (a worker may cache what it derives from it on
    the object, which lives as long as the pool or the Dask worker's copy),
    and the results come back as their tasks finish, in no set order.
    ``work`` must be a module-level function, as processes import it by
    name; ``scheduler`` and ``size`` are read as :func:`plan_workers` reads
    them.
    """
    kind, workers = plan_workers(scheduler, size)
    if kind == "dask":
        from distributed import as_completed

        shared = scheduler.scatter(state, broadcast=True, hash=False)
        pending = {scheduler.submit(_state_dask_task, work, shared, task, pure=False) for task in tasks}
        try:
            for future in cast(Any, as_completed)(list(pending)):
                pending.discard(future)
                yield future.result()
        finally:
            scheduler.cancel([*pending, shared])
        return
    if workers == 1 or len(tasks) <= 1:
        for task in tasks:
            yield work(state, task)
        return
    token = uuid.uuid4().hex
    workers = min(workers, len(tasks))
    context = multiprocessing.get_context("spawn")  # as for the robustness runs: see _local_pool
    # The state goes to the workers through a file, as the robustness job does (see _pickled_file).
    with _pickled_file(state) as state_file, concurrent.futures.ProcessPoolExecutor(
        workers, mp_context=context, initializer=_init_state_worker, initargs=(os.getpid(), token, state_file)
    ) as pool:
        pending = {pool.submit(_state_task, token, work, task) for task in tasks}
        try:
            for future in concurrent.futures.as_completed(list(pending)):
                pending.discard(future)
                yield cast(_Result, _result_of(future))
        finally:
            for future in pending:
                future.cancel()
