"""Where the runs of an analysis are done: this process, local processes or a Dask cluster.

Each worker builds its own :class:`~indexfuse_tools._robustness.engine.Engine`
from the job, sent to it once, and keeps it for the tasks that follow. Local
processes write their ranks in place into one matrix in shared memory, and
end with the process that started them.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import ctypes
import multiprocessing
import os
import pickle
import signal
import sys
import tempfile
import threading
import time
import uuid
from collections.abc import Callable, Iterator
from concurrent.futures.process import BrokenProcessPool
from typing import Any, NamedTuple, TypeVar, cast

import numpy as np

from indexfuse_tools._robustness.engine import Engine, Job, Task, TaskResult, rank_dtype
from indexfuse_tools._robustness.factors import DISCRETE, REGISTRY, TREATMENT

__all__ = [
    "SMALL_ANALYSIS",
    "Outcome",
    "bootstrap_tasks",
    "execute",
    "local_workers",
    "map_tasks",
    "plan_workers",
    "refuse_in_a_starting_worker",
    "split",
]

_engines: dict[str, Engine] = {}
_outputs: dict[str, np.ndarray] = {}  # a pool worker's view of the shared matrix of ranks
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


def _init_pool_worker(
    parent: int, job: Job, shared: tuple[str, tuple[int, int], str] | None, mapped: Any
) -> None:
    _end_with_parent(parent)
    try:
        if shared is not None:
            path, shape, dtype = shared
            # Gone only if every task ended before this worker started: nothing
            # is left for it, and without the matrix it would send ranks back.
            with contextlib.suppress(FileNotFoundError):
                _outputs[job.token] = np.memmap(path, dtype=dtype, mode="r+", shape=shape)
    finally:
        # Released even on failure: the parent waits for every worker before it unlinks the file.
        if mapped is not None:
            mapped.release()
    _engine_for(job)


def _pool_task(token: str, task: Task) -> TaskResult:
    return _engines[token].work(task, _outputs.get(token))


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


def split(codes: np.ndarray, multipliers: np.ndarray, workers: int) -> list[Task]:
    """The runs in tasks of about equal size, breaking only between configurations.

    Configurations are ordered so that those that share prepared tables,
    coefficient tables and entropy estimates (the same treatment, scale
    method, cumulative, k and resolution) are neighbours. A few tasks per worker balance the load, and
    at least a few dozen keep a progress bar moving.
    """
    pieces = max(8 * workers, 32)
    n_runs = len(codes)
    # np.lexsort sorts by its last key first: the treatment, scale method, cumulative, k, resolution, exclude.
    order = np.lexsort(tuple(codes[:, DISCRETE.index(name)] for name in reversed(_TASK_ORDER)))
    ordered = codes[order]
    starts = np.flatnonzero(np.concatenate(([True], (ordered[1:] != ordered[:-1]).any(axis=1))))
    wanted = np.arange(pieces) * n_runs / pieces
    cuts = np.unique(starts[np.minimum(np.searchsorted(starts, wanted), len(starts) - 1)])
    bounds = [*cuts.tolist(), n_runs]
    return [
        Task(order[a:b], codes[order[a:b]], multipliers[order[a:b]]) for a, b in zip(bounds[:-1], bounds[1:]) if b > a
    ]


def bootstrap_tasks(n: int, workers: int) -> list[Task]:
    pieces = max(8 * workers, 32)
    return [
        Task(runs, np.zeros((len(runs), len(DISCRETE)), dtype=np.int64), np.ones((len(runs), 0)))
        for runs in np.array_split(np.arange(n), min(pieces, n))
    ]


class Outcome(NamedTuple):
    run_ranks: np.ndarray  # runs x units
    shifts: np.ndarray  # each run's mean absolute rank shift
    unit_shifts: np.ndarray  # each unit's mean absolute rank shift


def execute(job: Job, tasks: list[Task], scheduler: Any, progress: bool) -> Outcome:
    """Every run's ranks and shifts, computed in this process, in local processes or on Dask."""
    from tqdm.auto import tqdm

    n_runs, units = sum(len(t.runs) for t in tasks), len(job.nominal_ranks)
    kind, workers = plan_workers(scheduler, n_runs * units)
    shape, dtype = (n_runs, units), np.dtype(rank_dtype(units))
    shifts, unit_shifts = np.empty(n_runs), np.zeros(units)
    with contextlib.ExitStack() as stack:
        bar = stack.enter_context(tqdm(total=n_runs, desc="robustness", unit="run", disable=not progress))
        if kind == "dask":
            run_ranks = np.empty(shape, dtype)
            results = _on_dask(scheduler, job, tasks)
        elif workers == 1 or len(tasks) == 1:
            run_ranks = np.empty(shape, dtype)
            engine = Engine(job)
            results = (engine.work(task, run_ranks) for task in tasks)
        else:
            path = stack.enter_context(_shared_file(shape, dtype))
            run_ranks = np.empty(shape, dtype) if path is None else np.memmap(path, dtype=dtype, mode="w+", shape=shape)
            shared = None if path is None else (path, shape, dtype.str)
            results = _on_processes(job, tasks, min(workers, len(tasks)), shared)
        for result in results:
            if result.ranks is not None:
                run_ranks[result.runs] = result.ranks
            shifts[result.runs] = result.shifts
            unit_shifts += result.unit_shifts
            bar.update(len(result.runs))
    return Outcome(np.asarray(run_ranks), shifts, unit_shifts / n_runs)  # a plain array, whatever holds it


_SHARED_DIR = "/dev/shm"


@contextlib.contextmanager
def _shared_file(shape: tuple[int, int], dtype: np.dtype[Any]) -> Iterator[str | None]:
    """A file in shared memory for the ranks that local workers write in place, or None.

    Sent back through pipes, every rank would be pickled, copied and copied
    again into the matrix (three passes over a gigabyte at the reference
    size). The file is unlinked as soon as every worker has mapped it (see
    :func:`_on_processes`), so that a run killed outright leaves nothing in
    /dev/shm: the mappings keep the memory alive, and the system reclaims it
    with the last of them. It is unlinked here too, whatever happened.
    Without room in /dev/shm, None: the pipes it is.
    """
    size = int(np.prod(shape)) * dtype.itemsize
    try:
        stat = os.statvfs(_SHARED_DIR)
        room = stat.f_bavail * stat.f_frsize > 2 * size
    except OSError:
        room = False
    if not room or not size:
        yield None
        return
    with tempfile.NamedTemporaryFile(dir=_SHARED_DIR, prefix="indexfuse-robustness-") as handle:
        yield handle.name


def _on_processes(
    job: Job, tasks: list[Task], workers: int, shared: tuple[str, tuple[int, int], str] | None
) -> Iterator[TaskResult]:
    # spawn, not fork: the caller may run threads (a notebook, a Dask client),
    # and a forked child would inherit their locks in whatever state they were.
    context = multiprocessing.get_context("spawn")
    mapped = None if shared is None else context.Semaphore(0)
    # Workers are started by the thread that submits the tasks (this one, with
    # spawn), which waits for their results: it outlives them, as the parent
    # death signal, sent when the starting thread ends, requires.
    with concurrent.futures.ProcessPoolExecutor(
        workers, mp_context=context, initializer=_init_pool_worker, initargs=(os.getpid(), job, shared, mapped)
    ) as pool:
        pending = {pool.submit(_pool_task, job.token, task) for task in tasks}
        try:
            if shared is not None:
                _unlink_once_mapped(shared[0], mapped, workers, pending)
            for future in concurrent.futures.as_completed(list(pending)):
                pending.discard(future)  # a finished future holds its result: let both go
                yield _result_of(future)
        finally:
            for future in pending:
                future.cancel()


def _unlink_once_mapped(path: str, mapped: Any, workers: int, futures: set[concurrent.futures.Future[Any]]) -> None:
    """Unlink the shared file once ``workers`` workers have said they mapped it.

    Every task submitted, the pool starts no more workers; if it started
    fewer, or broke, every task ends and the wait with it.
    """
    done = 0
    while done < workers and not all(future.done() for future in futures):
        done += bool(mapped.acquire(timeout=0.05))
    with contextlib.suppress(FileNotFoundError):
        os.unlink(path)


def _result_of(future: concurrent.futures.Future[TaskResult]) -> TaskResult:
    try:
        return future.result()
    except BrokenProcessPool:
        raise BrokenProcessPool(
            "a local worker process ended abruptly: killed (out of memory?) or failed while starting (see its "
            'message above; a script that starts local processes needs the if __name__ == "__main__": guard)'
        ) from None


def _on_dask(client: Any, job: Job, tasks: list[Task]) -> Iterator[TaskResult]:
    from distributed import as_completed

    shared = client.scatter(job, broadcast=True, hash=False)
    pending = {client.submit(_dask_task, shared, task, pure=False) for task in tasks}
    try:
        for future in cast(Any, as_completed)(list(pending)):
            pending.discard(future)  # released on the cluster once dropped here
            yield future.result()
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


def _init_state_worker(parent: int, token: str, path: str, loaded: Any) -> None:
    _end_with_parent(parent)
    try:
        with open(path, "rb") as handle:
            _states[token] = pickle.load(handle)
    finally:
        # Released even on failure: the parent waits for every worker before it unlinks the file.
        loaded.release()


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
    context = multiprocessing.get_context("spawn")  # as for the robustness runs: see _on_processes
    loaded = context.Semaphore(0)
    # The state goes to the workers through a file, not with the arguments of
    # their start: those are written down a pipe the starting worker reads
    # only after it has imported the calling script, and a script that starts
    # workers without the main guard ends there; a start larger than the pipe
    # holds would then wait for that read for ever, and the caller with it.
    with tempfile.NamedTemporaryFile(prefix="indexfuse-state-", suffix=".pickle", delete=False) as handle:
        pickle.dump(state, handle, protocol=pickle.HIGHEST_PROTOCOL)
    try:
        with concurrent.futures.ProcessPoolExecutor(
            workers, mp_context=context, initializer=_init_state_worker,
            initargs=(os.getpid(), token, handle.name, loaded),
        ) as pool:  # fmt: skip
            pending = {pool.submit(_state_task, token, work, task) for task in tasks}
            try:
                _unlink_once_mapped(handle.name, loaded, workers, pending)
                for future in concurrent.futures.as_completed(list(pending)):
                    pending.discard(future)
                    yield cast(_Result, _result_of(cast(Any, future)))
            finally:
                for future in pending:
                    future.cancel()
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(handle.name)
