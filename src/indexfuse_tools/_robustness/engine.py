"""The engine behind :func:`indexfuse_tools.robustness`.

Every run equals, bit for bit, the index built through the public API for its
configuration. Runs share most of their work, and the engine shares it too:

* a coefficient table depends only on its leaf's entries, the scale method
  and ``pca_cumulative``; a dimension value on that table and the scale
  method. Both are computed once per leaf variant with the model's own
  ``compute_index_coef`` and ``compute_dim_value`` and assembled into the
  trees each configuration needs;
* ``min_ent`` depends only on the number of rows, ``k`` and the resolution,
  and comes from one real ``fit`` per (``k``, resolution);
* the entropy estimates dominate what is left, and their inputs repeat from
  configuration to configuration. While the engine computes weights with the
  model's ``compute_dim_weight``, the module global ``indexfuse.entropy``
  (which the model looks up at every use) is bound to a stand-in that
  remembers each estimate by its exact input, so every distinct input is
  estimated once per process;
* runs of one configuration differ only in their weights: each run sets its
  weights on the configuration's model and calls ``compute_score``.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import contextvars
import hashlib
import multiprocessing
import os
import tempfile
import threading
import uuid
from collections.abc import Callable, Hashable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, NamedTuple, cast

import numpy as np
import pandas as pd

import indexfuse
from indexfuse_tools._weights import set_weights
from tessel.modelbench import entropy

# The factors that take one of a list of levels, in the order of a run's codes.
DISCRETE = ("exclude", "scale_method", "pca_cumulative", "ent_k", "resolution")

# ---------------------------------------------- the entropy and the weights --


def apply_weights(model: indexfuse.indexpca_diment, weights: Any) -> None:
    """Give ``model`` the dimension weights ``weights`` (shaped like its own), renormalised to sum to 1."""
    set_weights(model, weights, normalize=True)


def is_number(value: Any) -> bool:
    return isinstance(value, (int, float, np.integer, np.floating)) and not isinstance(value, (bool, np.bool_))


# ------------------------------------------------------------- schemas --

GONE = object()  # what an exclusion leaves of a node it emptied


def entry_label(entry: Any, columns: list[Any]) -> Any:
    """The column an index entry selects, by the model's own rule; ``GONE`` if none."""
    if isinstance(entry, (tuple, list)) and entry and entry[0] in columns:
        return entry[0]
    if entry in columns:
        return entry
    return GONE


def _entries(node: Any) -> Iterator[Any]:
    if isinstance(node, dict):
        for child in node.values():
            yield from _entries(child)
    elif isinstance(node, (list, tuple)):
        yield from node


def indicators(schema: Any, columns: list[Any]) -> list[Any]:
    """Column labels the schema's entries select, in schema order, each once."""
    found: list[Any] = []
    for entry in _entries(schema):
        label = entry_label(entry, columns)
        if label is not GONE and label not in found:
            found.append(label)
    return found


def excluded(level: Any) -> list[Any]:
    """The labels an ``exclude`` level leaves out: None, one label, or a list of labels."""
    if level is None:
        return []
    return list(level) if isinstance(level, list) else [level]


def without(node: Any, drop: list[Any], columns: list[Any]) -> Any:
    """``node`` without the entries that select a column in ``drop``.

    A leaf left without any entry that selects a column disappears, and so
    does a mapping all of whose children disappeared: leaving out the only
    indicator of a dimension leaves out the dimension. Untouched parts are
    the caller's own objects; ``GONE`` if nothing is left at all.
    """
    if isinstance(node, dict):
        kept: dict[Any, Any] = {}
        for key, child in node.items():
            new = None if child is None else without(child, drop, columns)
            if new is not GONE:
                kept[key] = new
        return kept if kept or not node else GONE
    if isinstance(node, (list, tuple)):
        entries = [e for e in node if entry_label(e, columns) not in drop]
        if len(entries) == len(node):
            return node
        if all(entry_label(e, columns) is GONE for e in entries):
            return GONE
        return entries if isinstance(node, list) else tuple(entries)
    return node


def _leaf_plan(node: Any, leaves: list[Any]) -> Any:
    """``node`` with every non-mapping child replaced by its position in ``leaves``.

    A leaf that is the same object in several variants gets one position, so
    its coefficient table is computed once for all of them.
    """
    if isinstance(node, dict):
        return {key: None if child is None else _leaf_plan(child, leaves) for key, child in node.items()}
    for position, leaf in enumerate(leaves):
        if leaf is node:
            return position
    leaves.append(node)
    return len(leaves) - 1


def _assemble(plan: Any, value_of: Callable[[int], Any]) -> Any:
    if isinstance(plan, dict):
        return {key: None if child is None else _assemble(child, value_of) for key, child in plan.items()}
    return value_of(plan)


def _used_columns(data: pd.DataFrame, schema: Any) -> pd.DataFrame:
    """``data`` reduced to the columns an entry of the schema could select."""
    names: list[Any] = []
    for entry in _entries(schema):
        names.append(entry)
        if isinstance(entry, (tuple, list)) and entry:
            names.append(entry[0])
    keep = [any(_same_label(label, name) for name in names) for label in data.columns]
    return data.loc[:, keep]


def _same_label(label: Any, name: Any) -> bool:
    try:
        return bool(label == name)
    except (TypeError, ValueError):  # an entry list against a tuple label, say
        return False


# ------------------------------------------------------ the configuration --


@dataclass(frozen=True)
class Nominal:
    """The configuration of the nominal index: the model arguments and the resolution."""

    scale_method: Any
    pca_cumulative: Any
    ent_k: Any
    resolution: float

    def ctor(self, **changes: Any) -> dict[str, Any]:
        args = {"scale_method": self.scale_method, "pca_cumulative": self.pca_cumulative, "ent_k": self.ent_k}
        args.update(changes)
        return args

    def fit(self, schema: Any, data: pd.DataFrame) -> indexfuse.indexpca_diment:
        model = indexfuse.indexpca_diment(schema, **self.ctor())
        with entropy.resolution(self.resolution):
            model.fit(data)
        return model


@dataclass(frozen=True)
class Setting:
    """Checked factors: the levels of every discrete factor, and the weight noise."""

    levels: dict[str, tuple[Any, ...]]  # every factor of DISCRETE; one level if not varied
    varied: tuple[str, ...]  # the factors of the analysis
    noise: float | None  # half-width of the weight noise; None if it is not a factor


@dataclass(frozen=True)
class Problem:
    """Everything a worker needs, sent to it once."""

    token: str
    method: str
    seed: int
    data: pd.DataFrame
    schema: Any
    nominal: Nominal
    setting: Setting
    top_keys: tuple[Hashable, ...]  # the top-level dimensions, one weight multiplier each
    nominal_ranks: np.ndarray
    variants: tuple[Any, ...]  # the schema of each exclude level
    plans: tuple[Any, ...]  # the leaf plan of each variant
    leaves: tuple[Any, ...]  # the leaves the plans point to


def make_problem(
    method: str,
    seed: int,
    data: pd.DataFrame,
    schema: Any,
    nominal: Nominal,
    setting: Setting,
    top_keys: tuple[Hashable, ...],
    nominal_ranks: np.ndarray,
) -> Problem:
    columns = data.columns.tolist()
    variants = tuple(
        schema if level is None else without(schema, excluded(level), columns) for level in setting.levels["exclude"]
    )
    leaves: list[Any] = []
    plans = tuple(_leaf_plan(variant, leaves) for variant in variants)
    return Problem(
        uuid.uuid4().hex, method, seed, _used_columns(data, schema), schema, nominal, setting,
        top_keys, nominal_ranks, variants, plans, tuple(leaves),
    )


# ------------------------------------------------------ entropy memory --


class _EntropyMemo:
    """Entropy estimates by their exact input, for one engine.

    An input is known by a 256-bit BLAKE2 digest of its bytes (with its
    shape and dtype), or, for the dimension values the engine holds for the
    whole analysis, by the address of their buffer: those buffers stay alive,
    so no other array can take their place.
    """

    def __init__(self) -> None:
        self._pinned: dict[tuple[Any, ...], np.ndarray] = {}
        self._estimates: dict[tuple[Any, ...], Any] = {}

    @staticmethod
    def _where(array: np.ndarray) -> tuple[Any, ...]:
        return (array.__array_interface__["data"][0], array.shape, array.strides, array.dtype.str)

    def pin(self, values: Any) -> None:
        if isinstance(values, pd.Series) and isinstance(values.values, np.ndarray):
            array = values.values
            self._pinned[self._where(array)] = array

    def _input_key(self, x: np.ndarray) -> tuple[Any, ...]:
        where = self._where(x)
        if where in self._pinned:
            return ("pinned", *where)
        digest = hashlib.blake2b(np.ascontiguousarray(x).view(np.uint8), digest_size=32).digest()
        return ("bytes", x.shape, x.dtype.str, digest)

    def estimate(self, module: Any, x: np.ndarray, k: Any) -> Any:
        key = (self._input_key(x), type(k), k, entropy.get_resolution())
        if key not in self._estimates:
            self._estimates[key] = module.multivar_knn(x, k=k)
        return self._estimates[key]


_ACTIVE_MEMO: contextvars.ContextVar[_EntropyMemo | None] = contextvars.ContextVar("_ACTIVE_MEMO", default=None)


class _EntropyStandIn:
    """Bound as ``indexfuse.entropy`` while an engine works in this process.

    The model calls ``entropy.multivar_knn(x, k=k)``. Inside an engine's
    scope those calls are answered from its memo; everywhere else (other
    threads, other code) they go straight to the object bound before.
    """

    def __init__(self, module: Any) -> None:
        self._module = module

    def __getattr__(self, name: str) -> Any:
        return getattr(self._module, name)

    def multivar_knn(self, x: Any, *args: Any, **kwargs: Any) -> Any:
        memo = _ACTIVE_MEMO.get()
        if memo is None or args or list(kwargs) != ["k"] or type(x) is not np.ndarray:
            return self._module.multivar_knn(x, *args, **kwargs)
        return memo.estimate(self._module, x, kwargs["k"])


_binding_lock = threading.Lock()
_binding: list[Any] = []  # [the stand-in, what it replaced, scopes open]


@contextlib.contextmanager
def _memo_scope(memo: _EntropyMemo) -> Iterator[None]:
    with _binding_lock:
        if not _binding:
            replaced = indexfuse.entropy
            _binding[:] = [_EntropyStandIn(replaced), replaced, 0]
            indexfuse.entropy = _binding[0]
        _binding[2] += 1
    token = _ACTIVE_MEMO.set(memo)
    try:
        yield
    finally:
        _ACTIVE_MEMO.reset(token)
        with _binding_lock:
            _binding[2] -= 1
            if not _binding[2]:
                indexfuse.entropy = _binding[1]
                _binding.clear()


# -------------------------------------------------------------- ranks --


def rank_dtype(units: int) -> type[np.floating[Any]]:
    """float32 holds every rank of up to 2**23 units exactly (they are multiples of 1/2), in half the room."""
    return np.float32 if units <= 2**23 else np.float64


def descending_ranks(values: Any, n: int) -> np.ndarray:
    """Ranks, 1 for the largest value, ties sharing their average rank, NaN kept.

    What ``Series.rank(ascending=False)`` gives, in a third of the time of
    ``scipy.stats.rankdata``: averaged ties need no stable sort, and this
    runs once per run.
    """
    values = np.asarray(values, dtype=np.float64)
    if values.ndim == 0:  # the composite of an index without any weight is the integer 0
        values = np.full(n, float(values))
    missing = np.isnan(values)
    if missing.any():
        ranks = np.full(values.shape, np.nan)
        ranks[~missing] = descending_ranks(values[~missing], int((~missing).sum()))
        return ranks
    order = np.argsort(values)[::-1]
    ordered = values[order]
    starts = np.flatnonzero(np.concatenate(([True], ordered[1:] != ordered[:-1])))
    ranks = np.empty(values.shape)
    if starts.size == values.size:
        ranks[order] = np.arange(1, values.size + 1, dtype=np.float64)
    else:
        counts = np.diff(np.append(starts, values.size))
        ranks[order] = np.repeat(starts + (counts + 1) / 2, counts)
    return ranks


# ------------------------------------------------------------- weights --


def perturbed(weights: Any, multipliers: Mapping[Hashable, float]) -> Any:
    """The fitted weights, those of top-level dimension ``d`` multiplied by ``multipliers[d]``.

    A nested dimension's sub-weights are multiplied by its multiplier, so
    they scale with it; :func:`apply_weights` then renormalises the whole
    tree to sum to 1. Weights that are not a mapping (the 1 of a single
    dimension) are returned as they are.
    """
    if not isinstance(weights, dict):
        return weights
    return {key: _scaled(weight, multipliers[key]) for key, weight in weights.items()}


def _scaled(weight: Any, factor: float) -> Any:
    if is_number(weight):
        return float(weight) * factor
    if isinstance(weight, dict):
        return {key: float(w) * factor if is_number(w) else w for key, w in weight.items()}
    return weight


# -------------------------------------------------------------- engine --


class Cell(NamedTuple):
    """The model of one configuration, its dimension values and fitted weights."""

    model: indexfuse.indexpca_diment
    values: Any
    weights: Any
    arrays: Any  # the dimension values as numpy arrays (views), for the runs' scores


def _as_arrays(values: Any) -> Any:
    """The dimension values with every float64 Series replaced by its array (a view).

    ``compute_score`` only multiplies and adds them, which numpy does with
    the very operations pandas hands them to, so the composite is the same
    to the bit; without pandas' per-operation overhead it costs a sixth.
    Any other value keeps the tree as it is.
    """
    if isinstance(values, dict):
        arrays = {key: _as_arrays(value) for key, value in values.items()}
        return values if any(arrays[key] is values[key] and values[key] is not None for key in values) else arrays
    if isinstance(values, pd.Series) and values.dtype == np.float64:
        return values.to_numpy()
    return values


@dataclass
class Task:
    """Runs for one worker: their numbers, level codes and weight multipliers."""

    runs: np.ndarray
    codes: np.ndarray  # one row per run: its level of each factor of DISCRETE
    multipliers: np.ndarray  # one row per run, one column per top-level dimension


@dataclass
class TaskResult:
    runs: np.ndarray
    ranks: np.ndarray | None  # one row per run, of rank_dtype; None when written to the shared matrix
    shifts: np.ndarray  # the mean absolute rank shift of each run
    unit_shifts: np.ndarray  # each unit's absolute rank shift, summed over the runs


@dataclass
class Engine:
    """The memoised index builder of one process, or of one Dask worker."""

    problem: Problem
    memo: _EntropyMemo = field(default_factory=_EntropyMemo)
    lock: threading.Lock = field(default_factory=threading.Lock)
    _coef_models: dict[tuple[int, int], indexfuse.indexpca_diment] = field(default_factory=dict)
    _leaf_values: dict[tuple[int, int, int], tuple[Any, Any]] = field(default_factory=dict)
    _baselines: dict[tuple[int, int], tuple[Any, Any]] = field(default_factory=dict)

    def level(self, name: str, code: int) -> Any:
        return self.problem.setting.levels[name][code]

    def _ctor(self, s: int, c: int, **more: Any) -> dict[str, Any]:
        return self.problem.nominal.ctor(
            scale_method=self.level("scale_method", s), pca_cumulative=self.level("pca_cumulative", c), **more
        )

    def _leaf(self, leaf: int, s: int, c: int) -> tuple[Any, Any]:
        """(coefficient table, dimension value) of one leaf for a scale method and cumulative."""
        key = (leaf, s, c)
        if key not in self._leaf_values:
            if (s, c) not in self._coef_models:
                self._coef_models[s, c] = indexfuse.indexpca_diment(self.problem.schema, **self._ctor(s, c))
            model, data = self._coef_models[s, c], self.problem.data
            table = model.compute_index_coef(data, self.problem.leaves[leaf])
            values = model.compute_dim_value(data, table)
            self.memo.pin(values)
            self._leaf_values[key] = (table, values)
        return self._leaf_values[key]

    def _baseline(self, k: int, r: int) -> tuple[Any, Any]:
        """(``k``, ``min_ent``) as ``fit`` sets them for a neighbour count and resolution."""
        if (k, r) not in self._baselines:
            model = indexfuse.indexpca_diment(self.problem.schema, **self.problem.nominal.ctor(ent_k=self.level("ent_k", k)))
            with entropy.resolution(self.level("resolution", r)):
                model.fit(self.problem.data)
            self._baselines[k, r] = (model.k, model.min_ent)
        return self._baselines[k, r]

    def cell(self, codes: Sequence[int]) -> Cell:
        """The fitted model of a configuration, from the shared parts."""
        e, s, c, k, r = (int(code) for code in codes)
        plan = self.problem.plans[e]
        model = indexfuse.indexpca_diment(self.problem.variants[e], **self._ctor(s, c, ent_k=self.level("ent_k", k)))
        model.k, model.min_ent = self._baseline(k, r)
        model.index_coef = _assemble(plan, lambda leaf: self._leaf(leaf, s, c)[0])
        values = _assemble(plan, lambda leaf: self._leaf(leaf, s, c)[1])
        with entropy.resolution(self.level("resolution", r)):
            weights, _ = cast(tuple[Any, Any], model.compute_dim_weight(values))  # unpacked as fit does
        model.dim_weight = weights
        return Cell(model, values, weights, _as_arrays(values))

    def weights(self, cell: Cell, multipliers: np.ndarray) -> Any:
        """The weights of one run: the cell's own, or noisy ones set on its model."""
        if self.problem.setting.noise is None:
            return cell.weights
        cell.model.dim_weight = cell.weights
        apply_weights(cell.model, perturbed(cell.weights, dict(zip(self.problem.top_keys, multipliers.tolist()))))
        return cell.model.dim_weight

    def run_weights(self, codes: Sequence[int], multipliers: np.ndarray) -> Any:
        with self.lock, _memo_scope(self.memo):
            return self.weights(self.cell(codes), multipliers)

    def composite(self, codes: Sequence[int], multipliers: np.ndarray) -> Any:
        with self.lock, _memo_scope(self.memo):
            cell = self.cell(codes)
            return cell.model.compute_score(cell.values, self.weights(cell, multipliers))

    def describe(self, codes: Sequence[int], multipliers: np.ndarray) -> str:
        parts = [f"{name}={self.level(name, int(code))!r}" for name, code in zip(DISCRETE, codes)]
        if self.problem.setting.noise is not None:
            parts.append(f"weight multipliers {np.round(multipliers, 4).tolist()}")
        return ", ".join(parts)

    def _result(self, task: Task, out: np.ndarray | None) -> TaskResult:
        units = len(self.problem.nominal_ranks)
        ranks = np.empty((len(task.runs), units), dtype=rank_dtype(units)) if out is None else None
        return TaskResult(task.runs, ranks, np.empty(len(task.runs)), np.zeros(units))

    def _rank(self, composite: Any, result: TaskResult, row: int, out: np.ndarray | None) -> None:
        ranks = descending_ranks(composite, len(self.problem.nominal_ranks))
        shift = np.abs(ranks - self.problem.nominal_ranks)
        if result.ranks is None:
            assert out is not None
            out[result.runs[row]] = ranks
        else:
            result.ranks[row] = ranks
        result.shifts[row] = shift.mean()
        result.unit_shifts += shift

    def run(self, task: Task, out: np.ndarray | None = None) -> TaskResult:
        """Ranks and rank shifts of a task's runs; runs of one configuration come together.

        The ranks go to the rows of ``out`` (all the runs' ranks) when it is
        given, else with the result.
        """
        result = self._result(task, out)
        with self.lock, _memo_scope(self.memo):
            cell, cell_codes = None, task.codes[:0]
            for row, (run, codes) in enumerate(zip(task.runs, task.codes)):
                try:
                    if cell is None or not np.array_equal(codes, cell_codes):
                        cell, cell_codes = self.cell(codes), codes
                    composite = cell.model.compute_score(cell.arrays, self.weights(cell, task.multipliers[row]))
                except Exception as exc:
                    exc.add_note(f"in robustness run {int(run)}: {self.describe(codes, task.multipliers[row])}")
                    raise
                self._rank(composite, result, row, out)
        return result

    # The bootstrap refits the nominal index on resampled rows: nothing to share.

    def bootstrap_model(self, run: int) -> indexfuse.indexpca_diment:
        rows = resample_rows(self.problem.seed, run, len(self.problem.data))
        return self.problem.nominal.fit(self.problem.schema, self.problem.data.iloc[rows])

    def run_bootstrap(self, task: Task, out: np.ndarray | None = None) -> TaskResult:
        result = self._result(task, out)
        for row, run in enumerate(task.runs):
            try:
                composite, _ = self.bootstrap_model(int(run)).score(self.problem.data)
            except Exception as exc:
                exc.add_note(f"in robustness run {int(run)} (a bootstrap resample)")
                raise
            self._rank(composite, result, row, out)
        return result

    def work(self, task: Task, out: np.ndarray | None = None) -> TaskResult:
        return self.run_bootstrap(task, out) if self.problem.method == "bootstrap" else self.run(task, out)


def resample_rows(seed: int, run: int, n_rows: int) -> np.ndarray:
    """Row positions of bootstrap resample ``run``, from its own stream: the same wherever it is drawn."""
    rng = np.random.default_rng(np.random.SeedSequence(seed, spawn_key=(run,)))
    return rng.integers(0, n_rows, size=n_rows)


# -------------------------------------------------- workers and clusters --

_engines: dict[str, Engine] = {}
_outputs: dict[str, np.ndarray] = {}  # a pool worker's view of the shared matrix of ranks
_engines_lock = threading.Lock()
_KEPT_ENGINES = 2  # a long-lived worker keeps the engines of this many recent analyses


def _engine_for(problem: Problem) -> Engine:
    with _engines_lock:
        engine = _engines.pop(problem.token, None) or Engine(problem)
        _engines[problem.token] = engine
        while len(_engines) > _KEPT_ENGINES:
            del _engines[next(iter(_engines))]
        return engine


def _init_pool_worker(problem: Problem, shared: tuple[str, tuple[int, int], str] | None) -> None:
    _engine_for(problem)
    if shared is not None:
        path, shape, dtype = shared
        _outputs[problem.token] = np.memmap(path, dtype=dtype, mode="r+", shape=shape)


def _pool_task(token: str, task: Task) -> TaskResult:
    return _engines[token].work(task, _outputs.get(token))


def _dask_task(problem: Problem, task: Task) -> TaskResult:
    return _engine_for(problem).work(task)


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


_TASK_ORDER = ("scale_method", "pca_cumulative", "ent_k", "resolution", "exclude")


def split(codes: np.ndarray, multipliers: np.ndarray, workers: int) -> list[Task]:
    """The runs in tasks of about equal size, breaking only between configurations.

    Configurations are ordered so that those that share coefficient tables
    and entropy estimates (the same scale method, cumulative, k and
    resolution) are neighbours. A few tasks per worker balance the load, and
    at least a few dozen keep a progress bar moving.
    """
    pieces = max(8 * workers, 32)
    n_runs = len(codes)
    # np.lexsort sorts by its last key first: scale method, cumulative, k, resolution, exclude.
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


def execute(problem: Problem, tasks: list[Task], scheduler: Any, progress: bool) -> Outcome:
    """Every run's ranks and shifts, computed in this process, in local processes or on Dask."""
    from tqdm.auto import tqdm

    n_runs, units = sum(len(t.runs) for t in tasks), len(problem.nominal_ranks)
    kind, workers = plan_workers(scheduler, n_runs * units)
    shape, dtype = (n_runs, units), np.dtype(rank_dtype(units))
    shifts, unit_shifts = np.empty(n_runs), np.zeros(units)
    with contextlib.ExitStack() as stack:
        bar = stack.enter_context(tqdm(total=n_runs, desc="robustness", unit="run", disable=not progress))
        if kind == "dask":
            run_ranks = np.empty(shape, dtype)
            results = _on_dask(scheduler, problem, tasks)
        elif workers == 1 or len(tasks) == 1:
            run_ranks = np.empty(shape, dtype)
            engine = Engine(problem)
            results = (engine.work(task, run_ranks) for task in tasks)
        else:
            path = stack.enter_context(_shared_file(shape, dtype))
            run_ranks = np.empty(shape, dtype) if path is None else np.memmap(path, dtype=dtype, mode="w+", shape=shape)
            shared = None if path is None else (path, shape, dtype.str)
            results = _on_processes(problem, tasks, min(workers, len(tasks)), shared)
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
    size). The file is removed when the workers are done; the caller's
    mapping of it lives on. Without room in /dev/shm, None: the pipes it is.
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
    problem: Problem, tasks: list[Task], workers: int, shared: tuple[str, tuple[int, int], str] | None
) -> Iterator[TaskResult]:
    # spawn, not fork: the caller may run threads (a notebook, a Dask client),
    # and a forked child would inherit their locks in whatever state they were.
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(
        workers, mp_context=context, initializer=_init_pool_worker, initargs=(problem, shared)
    ) as pool:
        pending = {pool.submit(_pool_task, problem.token, task) for task in tasks}
        try:
            for future in concurrent.futures.as_completed(list(pending)):
                pending.discard(future)  # a finished future holds its result: let both go
                yield future.result()
        finally:
            for future in pending:
                future.cancel()


def _on_dask(client: Any, problem: Problem, tasks: list[Task]) -> Iterator[TaskResult]:
    from distributed import as_completed

    shared = client.scatter(problem, broadcast=True, hash=False)
    pending = {client.submit(_dask_task, shared, task, pure=False) for task in tasks}
    try:
        for future in cast(Any, as_completed)(list(pending)):
            pending.discard(future)  # released on the cluster once dropped here
            yield future.result()
    finally:
        client.cancel([*pending, shared])
