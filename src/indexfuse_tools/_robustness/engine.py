"""The engine behind :func:`indexfuse_tools.robustness`.

Every run equals, bit for bit, the index built through the public API for its
configuration. Runs share most of their work, and the engine shares it too:

* a coefficient table depends only on its leaf's entries, the scale method
  and ``pca_cumulative``; a dimension value on that table and the scale
  method. Both are computed once per leaf variant with the model's own
  ``compute_index_coef`` and ``compute_dim_value`` and assembled into the
  trees each configuration needs;
* ``min_ent`` depends only on the number of rows, ``k`` and the resolution,
  and is computed once per (``k``, resolution) as ``fit`` computes it;
* the entropy estimates dominate what is left, and their inputs repeat from
  configuration to configuration. While the engine computes weights with the
  model's ``compute_dim_weight``, the module global ``indexfuse.entropy``
  (which the model looks up at every use) is bound to a stand-in that
  remembers each estimate by its exact input, so every distinct input is
  estimated once per process. A nested dimension's information is that of
  its sub-dimensions' composite, which the model builds again for every
  configuration with several pandas operations: the engine builds it once
  per distinct set of sub-dimension values, ``k`` and resolution, with the
  same operations, and hands the model the composite in its place;
* runs of one configuration differ only in their weights: each run's are the
  configuration's, scaled and renormalised with the very operations of
  ``set_weights``, and its composite is ``compute_score``'s (see
  ``weighted_sum``);
* when the raw table is prepared in each run, a prepared table depends only
  on the run's treatment levels: it is prepared once per combination of
  them, with ``prepare`` itself, and every coefficient table and dimension
  value above is computed once per prepared table.

Where the runs are done (this process, local processes, a Dask cluster) is
the business of ``workers``.
"""

from __future__ import annotations

import contextlib
import contextvars
import hashlib
import math
import threading
import uuid
import warnings
from collections.abc import Callable, Hashable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, NamedTuple, cast

import numpy as np
import pandas as pd

import indexfuse
from indexfuse_tools._core import (
    Node,
    WeightTree,
    geometric_composite,
    geometric_logs,
    is_real,
    map_leaves,
    nodes,
    principal_component_weights,
    split_key,
    used_columns,
    without,
)
from indexfuse_tools._preparation import prepare
from indexfuse_tools._robustness.factors import (
    COMBINATION,
    DISCRETE,
    ERRORS,
    TABLE_FACTORS,
    TREATMENT,
    ModelSchema,
    Nominal,
    Setting,
    excluded,
    nominal_level,
    treatment_options,
)
from indexfuse_tools._robustness.measurement import MeasurementErrors
from indexfuse_tools._robustness.series import (
    Moves,
    Series,
    Tally,
    TaskResult,
    analysis_series,
    descending_ranks,
    rank_dtype,
    run_values,
)
from indexfuse_tools._robustness.spill import Spill
from indexfuse_tools._weights import equal_weights, set_weights
from tessel.modelbench import entropy

__all__ = [
    "Engine",
    "Job",
    "Task",
    "TaskResult",
    "apply_weights",
    "descending_ranks",
    "fit_baseline",
    "make_job",
    "weighted_sum",
    "nominal_options",
    "prepared_table",
    "perturbed",
    "rank_dtype",
    "ranked_units",
    "raw_fit_rows",
    "resample_rows",
]

# ---------------------------------------------- the entropy and the weights --


def apply_weights(model: indexfuse.indexpca_diment, weights: WeightTree) -> None:
    """Give ``model`` the dimension weights ``weights`` (shaped like its own), renormalised to sum to 1."""
    set_weights(model, weights, normalize=True)


# ------------------------------------------------------------ the job --


@dataclass(frozen=True)
class Job:
    """Everything a worker needs, sent to it once.

    Not the finding of :func:`indexfuse_tools.check` (``Problem``): the
    analysis as the workers see it.
    """

    token: str
    method: str
    seed: int
    data: pd.DataFrame  # the columns the index uses; with a treatment, of the nominal preparation
    schema: ModelSchema
    nominal: Nominal
    setting: Setting
    top_keys: tuple[Hashable, ...]  # the top-level dimensions, one weight multiplier each
    nominal_ranks: np.ndarray
    variants: tuple[ModelSchema, ...]  # the schema of each exclude level
    plans: tuple[Any, ...]  # the leaf plan of each variant
    leaves: tuple[Any, ...]  # the leaves the plans point to
    treatment: dict[str, Any] | None = None  # the nominal preparation's options; None: data is used as it is
    raw: pd.DataFrame | None = None  # the table each run prepares, with a treatment
    # The rows each run's index is fitted on: the first ``fitted`` rows of data (None: all of them); the
    # rows after them are only scored, as the later editions of an index frozen on a reference edition.
    fitted: int | None = None
    # The rows whose composites are ranked in each run, as positions into data (None: all of them): the
    # edition whose rank intervals an analysis of several editions gives.
    ranked: np.ndarray | None = None
    # The preparation the nominal table is the replay of, when one was given as it is (a Preparation);
    # runs at every nominal treatment level use that table, the others learn theirs again.
    published: Any = None
    # The standard errors of the raw values (rows as the raw table's, or as data's without one), when given.
    errors: MeasurementErrors | None = None
    # The earlier edition whose ranks and composites the ranked units' moves are measured from, when asked.
    moves: Moves | None = None

    @property
    def fit_rows(self) -> int:
        """How many of the first rows of data each run's index is fitted on."""
        return len(self.data) if self.fitted is None else self.fitted

    @property
    def raw_fit_rows(self) -> int | None:
        """How many of the first rows of the raw table a run's preparation is learnt on (None: all of them)."""
        return None if self.raw is None else raw_fit_rows(self.raw, self.data, self.fitted)

    def ranked_part(self, composite: Any) -> Any:
        """The composites of the rows ranked (all of them, or those of ``ranked``)."""
        if self.ranked is None or np.ndim(composite) == 0:
            return composite
        return np.asarray(composite, dtype=np.float64)[self.ranked]

    def run_values(self, composite: Any) -> tuple[dict[str, np.ndarray], float]:
        """The series of one run from the composites of every row, and its mean absolute rank shift."""
        earlier = None
        if self.moves is not None and np.ndim(composite) != 0:
            earlier = np.asarray(composite, dtype=np.float64)[self.moves.rows]
        elif self.moves is not None:
            earlier = composite
        return run_values(self.ranked_part(composite), self.nominal_ranks, self.moves, earlier)

    def options(self, codes: Sequence[int]) -> dict[str, Any] | None:
        """The options of ``prepare`` a run with these level codes prepares the raw table with."""
        if self.treatment is None:
            return None
        levels = {name: self.setting.levels[name][int(codes[DISCRETE.index(name)])] for name in TREATMENT}
        return treatment_options(self.treatment, levels)


def make_job(
    method: str,
    seed: int,
    data: pd.DataFrame,
    schema: ModelSchema,
    nominal: Nominal,
    setting: Setting,
    top_keys: tuple[Hashable, ...],
    nominal_ranks: np.ndarray,
    treatment: dict[str, Any] | None = None,
    raw: pd.DataFrame | None = None,
    *,
    fitted: int | None = None,
    ranked: np.ndarray | None = None,
    published: Any = None,
    errors: MeasurementErrors | None = None,
    moves: Moves | None = None,
) -> Job:
    """The job of an analysis, with the schema of each ``exclude`` level and their shared leaves.

    With a ``treatment``, ``data`` is the nominal preparation of ``raw``
    (``published`` replayed on it, when given). ``fitted`` and ``ranked``
    are as :class:`Job` holds them.
    """
    columns = data.columns.tolist()
    variants = tuple(
        schema if level is None else without(schema, excluded(level), columns) for level in setting.levels["exclude"]
    )
    leaves: list[Any] = []
    plans = tuple(leaf_plan(variant, leaves) for variant in variants)
    return Job(
        uuid.uuid4().hex, method, seed, used_columns(data, schema), schema, nominal, setting,
        top_keys, nominal_ranks, variants, plans, tuple(leaves), treatment,
        None if raw is None else raw_columns(raw, schema, treatment), fitted, ranked, published, errors, moves,
    )


def nominal_options(nominal: Nominal, treatment: Mapping[str, Any] | None) -> dict[str, Any] | None:
    """The options of ``prepare`` the nominal index's table is prepared with (None: it is not)."""
    if treatment is None:
        return None
    return treatment_options(treatment, {name: nominal_level(name, nominal, treatment) for name in TREATMENT})


def raw_columns(raw: pd.DataFrame, schema: ModelSchema, treatment: Mapping[str, Any] | None) -> pd.DataFrame:
    """The columns of the raw table a preparation reads: the index's, and the group, period and unit columns."""
    used = used_columns(raw, schema)
    named = [(treatment or {}).get(option) for option in ("group", "period", "unit")]
    # An index level the preparation names stays with the rows' labels.
    extra = list(dict.fromkeys(label for label in named if label is not None and label in raw.columns))
    extra = [label for label in extra if label not in used.columns]
    return used.join(raw[extra]) if extra else used


def ranked_units(index: pd.Index, ranked: np.ndarray | None) -> pd.Index:
    """The labels of the rows ranked: those of ``index`` at ``ranked`` (all of them for None).

    Rows of several editions are told apart by a first level ``"period"``;
    the rows of one edition, ranked among themselves, are named by their
    units alone, as that edition's results name them.
    """
    if ranked is None:
        return index
    labels = index[ranked]
    if isinstance(labels, pd.MultiIndex) and labels.nlevels == 2 and labels.names[0] == "period":
        if labels.get_level_values(0).nunique() <= 1:
            return labels.droplevel(0)
    return labels


def raw_fit_rows(raw: pd.DataFrame, data: pd.DataFrame, fitted: int | None) -> int | None:
    """How many of the first rows of ``raw`` precede the rows of ``data`` that are only scored.

    ``data`` is the preparation of ``raw``, whose rows it keeps in order;
    ``fitted`` counts its rows fitted on. A row the thresholds drop between
    the two parts counts with the first: it is dropped before anything is
    learnt, so it changes nothing.
    """
    if fitted is None or fitted >= len(data):
        return None
    where = raw.index.get_loc(data.index[fitted])
    assert isinstance(where, int)  # labels are unique
    return where


def prepared_table(
    schema: ModelSchema, raw: pd.DataFrame, options: Mapping[str, Any], fitted: int | None = None
) -> pd.DataFrame:
    """The columns the index uses of ``prepare(schema, raw, **options)``'s table.

    With ``fitted``, the rules are learnt on the first ``fitted`` rows alone
    (those the index is fitted on) and replayed on the rest.
    """
    if fitted is None or fitted == len(raw):
        prepared = prepare(schema, raw, **options)[0]
    else:
        learnt, _, preparation = prepare(schema, raw.iloc[:fitted], **options)
        prepared = pd.concat([learnt, preparation.apply(raw.iloc[fitted:])[0]])
    return used_columns(prepared, schema)


def leaf_plan(schema: ModelSchema, leaves: list[Any]) -> Any:
    """``schema`` with every list of entries replaced by its position in ``leaves``.

    A list that is the same object in several variants gets one position, so
    its coefficient table is computed once for all of them.
    """

    def position(node: Node) -> Any:
        leaf = node.value
        if leaf is None:
            return None
        for known, other in enumerate(leaves):
            if other is leaf:
                return known
        leaves.append(leaf)
        return len(leaves) - 1

    return map_leaves(schema, position)


def assemble(plan: Any, value_of: Callable[[int], Any]) -> Any:
    """The tree of ``plan`` with each leaf position replaced by ``value_of(position)``."""
    return map_leaves(plan, lambda node: None if node.value is None else value_of(node.value))


# ------------------------------------------------------ entropy memory --


class _EntropyMemo:
    """Entropy estimates by their exact input, for one engine.

    An input is known by the SHA-256 digest of its bytes (with its
    shape and dtype), or, for the dimension values the engine holds for the
    whole analysis, by the address of their buffer: those buffers stay alive,
    so no other array can take their place.
    """

    def __init__(self) -> None:
        self._pinned: dict[tuple[Any, ...], np.ndarray] = {}
        self._estimates: dict[tuple[Any, ...], Any] = {}

    def where(self, values: pd.Series) -> tuple[Any, ...]:
        """The key a pinned Series's values are known by."""
        return self._where(cast(np.ndarray, values.values))

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
        # SHA-256 rather than BLAKE2: processors with SHA instructions (most
        # x86 and ARM ones since 2017) hash three times faster with it.
        digest = hashlib.sha256(np.ascontiguousarray(x).view(np.uint8)).digest()
        return ("bytes", x.shape, x.dtype.str, digest)

    def is_pinned(self, values: Any) -> bool:
        array = values.values if isinstance(values, pd.Series) else None
        return isinstance(array, np.ndarray) and self._where(array) in self._pinned

    def estimate(self, module: Any, x: np.ndarray, k: Any) -> Any:
        key = self._estimate_key(self._input_key(x), k)
        if key not in self._estimates:
            self._estimates[key] = module.multivar_knn(x, k=k)
        return self._estimates[key]

    @staticmethod
    def _estimate_key(input_key: tuple[Any, ...], k: Any) -> tuple[Any, ...]:
        return (input_key, type(k), k, entropy.get_resolution())

    def stand_in(self, estimate: Any, k: Any) -> pd.Series:
        """A one-value Series whose estimate, for ``k`` at the resolution in force, is ``estimate``.

        The model is handed it in place of an input estimated before (a
        nested dimension's composite), which need not then be kept.
        """
        array = np.zeros(1)
        where = self._where(array)
        self._pinned[where] = array
        self._estimates[self._estimate_key(("pinned", *where), k)] = estimate
        return pd.Series(array, copy=False)


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


# ------------------------------------------------------------- weights --


def perturbed(weights: WeightTree, multipliers: Mapping[Hashable, float]) -> WeightTree:
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
    if is_real(weight):
        return float(weight) * factor
    if isinstance(weight, dict):
        return {key: float(w) * factor if is_real(w) else w for key, w in weight.items()}
    return weight


def renormalised(weights: Any, multipliers: Mapping[Hashable, float]) -> Any:
    """What ``apply_weights`` leaves in ``model.dim_weight`` for ``perturbed(weights, multipliers)``, or None.

    The same operations on the same numbers (a product, :func:`math.fsum`
    of the products, a quotient), without the checks and the trees
    ``set_weights`` builds on the way: they are a fifth of a run. Covers a
    tree of floats and None, nested once, whose scaled weights are finite,
    non-negative and not all 0; for anything else (None) the run goes
    through ``apply_weights``, which refuses what it must.
    """
    if not isinstance(weights, dict):
        return None
    given: list[float] = []

    def scaled(weight: Any, factor: float) -> float | None:
        if weight is None:
            return None
        if type(weight) is not float:
            raise _Unusual
        value = weight * factor
        if not (math.isfinite(value) and value >= 0):
            raise _Unusual
        given.append(value)
        return value

    def dimension(key: Hashable, weight: Any) -> Any:
        factor = multipliers.get(key)
        if type(factor) is not float:
            raise _Unusual
        if isinstance(weight, dict):
            return {sub: scaled(w, factor) for sub, w in weight.items()}
        return scaled(weight, factor)

    try:
        products = {key: dimension(key, weight) for key, weight in weights.items()}
        total = math.fsum(given)
    except (_Unusual, OverflowError):
        return None
    if not total > 0 or not math.isfinite(total):
        return None
    return {
        key: {sub: None if w is None else w / total for sub, w in value.items()}
        if isinstance(value, dict)
        else (None if value is None else value / total)
        for key, value in products.items()
    }


# -------------------------------------------------------------- engine --


class Cell(NamedTuple):
    """The model of one configuration, its dimension values and weights (of its weighting)."""

    model: indexfuse.indexpca_diment
    values: Any
    weights: Any
    arrays: Any  # the dimension values as numpy arrays (views), for the runs' scores
    logs: Any = None  # under geometric aggregation, what it sums: see geometric_logs

    def score(self, weights: Any, scratch: np.ndarray) -> Any:
        """The composite of this configuration's aggregation under ``weights`` (``scratch``: see weighted_sum)."""
        if self.logs is None:
            return weighted_sum(self.model, self.arrays, weights, scratch)
        return geometric_composite(self.arrays, weights, self.logs)


def _as_arrays(values: Any) -> Any:
    """The dimension values with every float64 Series replaced by its array (a view).

    ``compute_score`` only multiplies and adds them, which numpy does with
    the very operations pandas hands them to, so the composite is the same
    to the bit; without pandas' per-operation overhead it costs a sixth.
    A tree holding any other value is kept as it is.
    """
    leaves = (node.value for node in nodes(values) if not isinstance(node.value, dict))
    if not all(leaf is None or (isinstance(leaf, pd.Series) and leaf.dtype == np.float64) for leaf in leaves):
        return values
    return map_leaves(values, lambda node: None if node.value is None else node.value.to_numpy())


def fit_baseline(model: indexfuse.indexpca_diment, rows: int) -> tuple[Any, Any]:
    """(``k``, ``min_ent``) as ``model.fit`` sets them on a table of ``rows`` rows, without the rest of a fit.

    ``fit`` first caps the neighbour count at ``rows - 1`` (keeping its own
    object unless the cap is lower), then estimates the entropy of ``rows``
    zeros with it, through ``indexfuse.entropy`` as it stands at the call.
    """
    k = model.k
    if rows - 1 < k:
        k = rows - 1
    return k, indexfuse.entropy.multivar_knn(np.zeros(rows), k=k)


class _Unusual(Exception):
    """A weight or value a shortcut does not cover (:func:`weighted_sum`, :func:`renormalised`): the public path takes it."""


def weighted_sum(model: indexfuse.indexpca_diment, arrays: Any, weights: Any, scratch: np.ndarray) -> Any:
    """What ``model.compute_score(arrays, weights)`` gives, to the bit, in half the passes over memory.

    The model adds each dimension's ``0 + value * weight`` times its
    direction to its total, each step a new array. Here a term is
    ``value * (weight * direction)`` (or a nested total negated) and goes
    into the total in place. Those are the same numbers except where a term
    or a partial sum is a zero: ``0 + x`` makes a zero positive, and the
    order of signs of zeros is all that can differ. A nonzero total is
    therefore the model's own; the totals that come out zero (or NaN) are
    taken from the model itself, on those units alone. A tree with anything
    but float64 arrays, real weights, None and plain directions goes to the
    model whole. ``scratch`` holds one term at a time (one float64 per unit).
    """
    try:
        total = _weighted(arrays, weights, scratch)
    except _Unusual:
        total = None
    if total is None:
        return model.compute_score(arrays, weights)
    odd = np.flatnonzero((total == 0) | np.isnan(total))
    if odd.size:
        subset = map_leaves(arrays, lambda node: None if node.value is None else node.value[odd])
        total[odd] = model.compute_score(subset, weights)
    return total


def _direction(key: Any) -> int:
    _, direction = split_key(key)
    if type(direction) is not int or direction not in (1, -1):
        raise _Unusual
    return direction


def _leaf_array(values: Any) -> np.ndarray:
    if type(values) is not np.ndarray or values.dtype != np.float64 or values.ndim != 1:
        raise _Unusual
    return values


def _weighted(values: Any, weights: Any, scratch: np.ndarray) -> np.ndarray | None:
    """The total of one node of the trees (a new array), None for a node that adds nothing."""
    if weights is None:
        return None
    if type(weights) in (float, np.float64, int):
        product: np.ndarray = np.multiply(_leaf_array(values), weights)
        return product
    if not isinstance(weights, dict) or not isinstance(values, dict):
        raise _Unusual
    total: np.ndarray | None = None
    for key, weight in weights.items():
        direction = _direction(key)
        if key not in values:
            raise _Unusual
        if isinstance(weight, dict):
            child = _weighted(values[key], weight, scratch)
            if child is None:
                continue
            if total is None:
                total = child if direction == 1 else np.multiply(child, -1.0, out=child)
            else:
                (np.add if direction == 1 else np.subtract)(total, child, out=total)
        elif weight is None:
            continue
        elif type(weight) in (float, np.float64, int):
            leaf = _leaf_array(values[key])
            if total is None:
                total = np.multiply(leaf, weight * direction)
            else:
                np.multiply(leaf, weight, out=scratch)
                (np.add if direction == 1 else np.subtract)(total, scratch, out=total)
        else:
            raise _Unusual
    return total


@dataclass
class Task:
    """Runs for one worker: their numbers, level codes and weight multipliers."""

    runs: np.ndarray
    codes: np.ndarray  # one row per run: its level of each factor of DISCRETE
    multipliers: np.ndarray  # one row per run, one column per top-level dimension


_CELL_FACTORS = ("exclude", "scale_method", "pca_cumulative", "ent_k", "resolution")


@dataclass
class Engine:
    """The memoised index builder of one process, or of one Dask worker."""

    job: Job
    memo: _EntropyMemo = field(default_factory=_EntropyMemo)
    lock: threading.Lock = field(default_factory=threading.Lock)
    _coef_models: dict[tuple[int, int], indexfuse.indexpca_diment] = field(default_factory=dict)
    _leaf_values: dict[tuple[Any, ...], tuple[Any, Any]] = field(default_factory=dict)
    _baselines: dict[tuple[int, int], tuple[Any, Any]] = field(default_factory=dict)
    _tables: dict[tuple[int, ...], pd.DataFrame] = field(default_factory=dict)
    _trees: dict[tuple[Any, ...], tuple[Any, Any, Any]] = field(default_factory=dict)
    _nested_weights: dict[tuple[Any, ...], tuple[pd.Series, Any]] = field(default_factory=dict)

    def level(self, name: str, code: int) -> Any:
        return self.job.setting.levels[name][code]

    def table(self, codes: Sequence[int]) -> tuple[tuple[int, ...], pd.DataFrame]:
        """(key, table) of the prepared table a configuration is built on; the nominal one without a treatment."""
        key = tuple(int(codes[DISCRETE.index(name)]) for name in TABLE_FACTORS)
        if key not in self._tables:
            self._tables[key] = self._prepare(codes)
        return key, self._tables[key]

    def _prepare(self, codes: Sequence[int]) -> pd.DataFrame:
        job = self.job
        options = job.options(codes)
        draw = self.level(ERRORS, int(codes[DISCRETE.index(ERRORS)]))
        nominal = options is None or options == nominal_options(job.nominal, job.treatment)
        if draw is None and nominal:
            return job.data
        raw = job.raw if job.raw is not None else job.data
        if draw is not None:
            assert job.errors is not None
            raw = job.errors.perturbed(raw, draw, job.seed)
            if options is None:
                return raw
        assert options is not None
        with warnings.catch_warnings():
            # prepare's advice (a transform, a cluster of dropped rows) is for the nominal table, said once there.
            warnings.simplefilter("ignore", UserWarning)
            if nominal and job.published is not None:
                table = used_columns(job.published.apply(raw)[0], job.schema)
            else:
                table = prepared_table(job.schema, raw, options, job.raw_fit_rows)
        if not table.index.equals(job.data.index):
            raise ValueError(
                f"prepare(**{options!r}) keeps other rows than the nominal preparation: the runs would rank "
                "other units (rows are dropped before any treatment, so only the thresholds could do this)"
            )
        return table

    def _ctor(self, s: int, c: int, **more: Any) -> dict[str, Any]:
        return self.job.nominal.ctor(
            scale_method=self.level("scale_method", s), pca_cumulative=self.level("pca_cumulative", c), **more
        )

    def _leaf(self, leaf: int, s: int, c: int, prepared: tuple[tuple[int, ...], pd.DataFrame]) -> tuple[Any, Any]:
        """(coefficient table, dimension value) of one leaf for a scale method, cumulative and prepared table."""
        key = (leaf, s, c, prepared[0])
        if key not in self._leaf_values:
            if (s, c) not in self._coef_models:
                self._coef_models[s, c] = indexfuse.indexpca_diment(self.job.schema, **self._ctor(s, c))
            model, data = self._coef_models[s, c], prepared[1]
            table = model.compute_index_coef(data.iloc[: self.job.fit_rows], self.job.leaves[leaf])
            values = model.compute_dim_value(data, table)
            self.memo.pin(values)
            self._leaf_values[key] = (table, values)
        return self._leaf_values[key]

    def _baseline(self, k: int, r: int) -> tuple[Any, Any]:
        """(``k``, ``min_ent``) as ``fit`` sets them for a neighbour count and resolution.

        They depend on the number of rows, which every prepared table shares.
        """
        if (k, r) not in self._baselines:
            model = indexfuse.indexpca_diment(self.job.schema, **self.job.nominal.ctor(ent_k=self.level("ent_k", k)))
            with entropy.resolution(self.level("resolution", r)):
                self._baselines[k, r] = fit_baseline(model, self.job.fit_rows)
        return self._baselines[k, r]

    def cell(self, codes: Sequence[int]) -> Cell:
        """The fitted model of a configuration, from the shared parts."""
        e, s, c, k, r = (int(codes[DISCRETE.index(name)]) for name in _CELL_FACTORS)
        prepared = self.table(codes)
        model = indexfuse.indexpca_diment(self.job.variants[e], **self._ctor(s, c, ent_k=self.level("ent_k", k)))
        model.k, model.min_ent = self._baseline(k, r)
        model.index_coef, values, arrays = self._assembled(e, s, c, prepared)
        with entropy.resolution(self.level("resolution", r)):
            weights = self._dimension_weights(model, self._fitted_values(values))
        model.dim_weight = weights
        weighting, aggregation = (self.level(name, int(codes[DISCRETE.index(name)])) for name in COMBINATION)
        if weighting == "equal":
            equal_weights(model)
        elif weighting == "principal components":
            model.dim_weight = principal_component_weights(self._fitted_values(values), weights)
        logs = geometric_logs(arrays, model.dim_weight) if aggregation == "geometric" else None
        return Cell(model, values, model.dim_weight, arrays, logs)

    def _assembled(
        self, e: int, s: int, c: int, prepared: tuple[tuple[int, ...], pd.DataFrame]
    ) -> tuple[Any, Any, Any]:
        """(coefficient tree, dimension values, the values as arrays) of an exclusion, scale method and cumulative.

        The configurations that differ only in ``k``, the resolution, the
        weighting and the aggregation share them; the model reads the trees
        and never changes them.
        """
        key = (e, s, c, prepared[0])
        if key not in self._trees:
            plan = self.job.plans[e]
            coefficients = assemble(plan, lambda leaf: self._leaf(leaf, s, c, prepared)[0])
            values = assemble(plan, lambda leaf: self._leaf(leaf, s, c, prepared)[1])
            self._trees[key] = (coefficients, values, _as_arrays(values))
        return self._trees[key]

    def _dimension_weights(self, model: indexfuse.indexpca_diment, values: Any) -> Any:
        """``model.compute_dim_weight(values)``'s weights, as ``fit`` computes them.

        Each nested dimension whose sub-dimension values the engine holds
        enters as a stand-in for its composite (see :meth:`_nested`); the
        model then weighs it as it weighs its composite, and its share is
        spread over its sub-dimensions as the model spreads it.
        """
        nested: dict[Any, tuple[pd.Series, Any]] = {}
        if isinstance(values, dict):
            for key, value in values.items():
                if isinstance(value, dict):
                    found = self._nested(model, value)
                    if found is None:
                        nested.clear()
                        break
                    nested[key] = found
        if not nested:
            return cast(tuple[Any, Any], model.compute_dim_weight(values))[0]
        flat = {key: nested[key][0] if key in nested else value for key, value in values.items()}
        weights = cast(tuple[Any, Any], model.compute_dim_weight(flat))[0]
        return {
            key: {sub: None if w is None else share * w for sub, w in nested[key][1].items()} if key in nested else share
            for key, share in weights.items()
        }

    def _nested(self, model: indexfuse.indexpca_diment, values: dict[Any, Any]) -> tuple[pd.Series, Any] | None:
        """(stand-in of the composite, sub-dimension weights) of a nested dimension; None where not shared.

        The composite is built with the model's own operations: each
        sub-dimension's value times its information times its direction,
        side by side, summed across, over the total information. Shared by
        every configuration with the same sub-dimension values, ``k``,
        ``min_ent`` and resolution; sub-dimension values the engine did not
        compute (and pin) are built again by the model each time.
        """
        if not all(value is None or self.memo.is_pinned(value) for value in values.values()):
            return None
        k, min_ent = model.k, model.min_ent
        try:
            key = (
                tuple((sub, None if value is None else self.memo.where(value)) for sub, value in values.items()),
                type(k), k, type(min_ent), min_ent, entropy.get_resolution(),
            )
            hash(key)
        except TypeError:
            return None
        if key not in self._nested_weights:
            sub_weights, information = cast(tuple[Any, Any], model.compute_dim_weight(values))
            columns = [values[sub] * iv * split_key(sub)[1] for sub, iv in information.items()]
            composite = pd.concat(columns, axis=1).sum(axis=1) / sum(information.values())
            estimate = indexfuse.entropy.multivar_knn(composite.values, k=k)
            self._nested_weights[key] = (self.memo.stand_in(estimate, k), sub_weights)
        return self._nested_weights[key]

    def _fitted_values(self, values: Any) -> Any:
        """The dimension values of the rows the index is fitted on: the weights are learnt on them alone."""
        if self.job.fit_rows == len(self.job.data):
            return values
        rows = self.job.fit_rows
        return map_leaves(values, lambda node: node.value.iloc[:rows] if isinstance(node.value, pd.Series) else node.value)

    def weights(self, cell: Cell, multipliers: np.ndarray) -> Any:
        """The weights of one run: the cell's own, or noisy ones set on its model."""
        if self.job.setting.noise is None:
            return cell.weights
        factors = dict(zip(self.job.top_keys, multipliers.tolist()))
        quick = renormalised(cell.weights, factors)
        if quick is not None:
            return quick
        cell.model.dim_weight = cell.weights
        apply_weights(cell.model, perturbed(cell.weights, factors))
        return cell.model.dim_weight

    def run_weights(self, codes: Sequence[int], multipliers: np.ndarray) -> Any:
        with self.lock, _memo_scope(self.memo):
            return self.weights(self.cell(codes), multipliers)

    def composite(self, codes: Sequence[int], multipliers: np.ndarray) -> Any:
        with self.lock, _memo_scope(self.memo):
            cell = self.cell(codes)
            weights = self.weights(cell, multipliers)
            if cell.logs is None:
                return cell.model.compute_score(cell.values, weights)
            return pd.Series(geometric_composite(cell.arrays, weights, cell.logs), index=self.job.data.index)

    def describe(self, codes: Sequence[int], multipliers: np.ndarray) -> str:
        parts = [f"{name}={self.level(name, int(code))!r}" for name, code in zip(DISCRETE, codes)]
        if self.job.setting.noise is not None:
            parts.append(f"weight multipliers {np.round(multipliers, 4).tolist()}")
        return ", ".join(parts)

    @property
    def series(self) -> tuple[Series, ...]:
        return analysis_series(len(self.job.nominal_ranks), self.job.moves is not None)

    def run(self, task: Task, tally: Tally) -> None:
        """Build a task's runs, runs of one configuration together, and tally what each leaves behind."""
        job = self.job
        scratch = np.empty(len(job.data))
        with self.lock, _memo_scope(self.memo):
            cell, cell_codes = None, task.codes[:0]
            for row, (run, codes) in enumerate(zip(task.runs, task.codes)):
                try:
                    if cell is None or not np.array_equal(codes, cell_codes):
                        cell, cell_codes = self.cell(codes), codes
                    composite = cell.score(self.weights(cell, task.multipliers[row]), scratch)
                except Exception as exc:
                    exc.add_note(f"in robustness run {int(run)}: {self.describe(codes, task.multipliers[row])}")
                    raise
                tally.add(row, *job.run_values(composite))

    # The bootstrap refits the nominal index on resampled rows: nothing to share.

    def bootstrap_model(self, run: int) -> indexfuse.indexpca_diment:
        rows = resample_rows(self.job.seed, run, self.job.fit_rows)
        return self.job.nominal.fit(self.job.schema, self.job.data.iloc[rows])

    def run_bootstrap(self, task: Task, tally: Tally) -> None:
        for row, run in enumerate(task.runs):
            try:
                composite, _ = self.bootstrap_model(int(run)).score(self.job.data)
            except Exception as exc:
                exc.add_note(f"in robustness run {int(run)} (a bootstrap resample)")
                raise
            tally.add(row, *self.job.run_values(composite))

    def work(self, task: Task, spills: Mapping[str, Spill] | None = None) -> TaskResult:
        """What a task's runs leave behind; kept series go to ``spills`` when given, else with the result."""
        tally = Tally(self.series, task.runs, len(self.job.nominal_ranks), spills)
        if self.job.method == "bootstrap":
            self.run_bootstrap(task, tally)
        else:
            self.run(task, tally)
        return tally.result()


def resample_rows(seed: int, run: int, n_rows: int) -> np.ndarray:
    """Row positions of bootstrap resample ``run``, from its own stream: the same wherever it is drawn."""
    rng = np.random.default_rng(np.random.SeedSequence(seed, spawn_key=(run,)))
    return rng.integers(0, n_rows, size=n_rows)


