"""Bootstrap resamples of the units, each refitted, in whatever process draws them.

A refit is what ``fit`` does on the resampled rows, done on what every
resample shares: each dimension's columns, directions applied, are held
once as one array per dimension (a column per row of it, as pandas holds a
frame, so that the statistics run along contiguous memory as they do in
``fit``); a resample takes its rows from them and fits the model's own
principal-component object on them, scores them with it, and hands the
dimension values to the model's own ``compute_dim_weight`` with the
baseline ``min_ent`` of the nominal fit (it depends only on the number of
rows, ``k`` and the resolution, which every resample shares). Nothing of
the table goes through pandas, which is most of a plain ``fit``'s time.

The same resamples give the bootstrap of the importance estimates: a
resample is a vector of counts over the units, and the correlation ratios
of a batch of resamples are two sparse products (:mod:`.importance`).
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, NamedTuple, cast

import numpy as np
import pandas as pd

import indexfuse
from indexfuse_tools._core import Path, coefficient_tables, map_leaves, node_weight, nodes, split_key
from indexfuse_tools._robustness.engine import resample_rows
from indexfuse_tools._robustness.factors import ModelSchema, Nominal
from indexfuse_tools._weighting.importance import Bins, correlation_ratios
from tessel.modelbench import entropy

__all__ = ["Drawn", "Sample", "dimension_paths", "draw", "rows_of", "sample_of"]


def rows_of(seed: int, run: int, units: int) -> np.ndarray:
    """The rows of resample ``run``, in order: its draws from its own stream, sorted.

    A resample is a multiset of units; sorted, its rows are read from memory
    in order, which makes taking them several times faster.
    """
    return np.sort(resample_rows(seed, run, units))


def dimension_paths(weights: Any) -> list[Path]:
    """The path of every dimension of a weight tree, a nested one before its sub-dimensions;
    the empty path alone for a model of one dimension."""
    found = [node.path for node in nodes(weights) if node.path]
    return found or [()]


@dataclass
class Sample:
    """What every resample shares; sent once to each worker, which adds its caches."""

    seed: int
    schema: ModelSchema
    nominal: Nominal
    k: Any
    min_ent: Any
    units: int
    #: Each dimension that holds indicators: its path and its columns,
    #: directions applied, one row per column.
    leaves: tuple[tuple[Path, np.ndarray], ...]
    #: The weight tree's shape, each dimension's path in place of its weight.
    plan: Any
    paths: tuple[Path, ...]
    #: The published composite, centred, and the bins of the inputs whose
    #: importance for it is estimated.
    composite: np.ndarray
    bins: Bins
    _cache: dict[str, Any] = field(default_factory=dict, repr=False)

    def model(self) -> indexfuse.indexpca_diment:
        """This worker's model: its principal-component object refitted for every dimension, as ``fit`` does."""
        if "model" not in self._cache:
            model = indexfuse.indexpca_diment(self.schema, **self.nominal.ctor())
            model.k, model.min_ent = self.k, self.min_ent
            self._cache["model"] = model
        return self._cache["model"]  # type: ignore[no-any-return]

    def __getstate__(self) -> dict[str, Any]:
        return {**self.__dict__, "_cache": {}}  # the caches are rebuilt where they are used


def sample_of(
    seed: int, schema: ModelSchema, nominal: Nominal, model: Any, data: pd.DataFrame, bins: Bins, composite: Any
) -> Sample:
    """The shared part of the resamples of ``model``, fitted on ``data``, with the bins of the importance inputs."""
    leaves = []
    for node in coefficient_tables(model.index_coef):
        labels, directions = zip(*(split_key(key) for key in node.value))
        columns = data[list(labels)] * list(directions)  # as compute_index_coef applies them
        leaves.append((node.path, np.ascontiguousarray(columns.to_numpy(dtype=np.float64).T)))
    y = np.asarray(composite, dtype=np.float64)
    return Sample(
        seed, schema, nominal, model.k, model.min_ent, len(data), tuple(leaves),
        map_leaves(model.dim_weight, lambda node: node.path), tuple(dimension_paths(model.dim_weight)),
        y - y.mean(), bins,
    )  # fmt: skip


class Drawn(NamedTuple):
    """What a batch of resamples gave, one row per resample."""

    runs: np.ndarray
    weights: np.ndarray  # resamples x dimensions (of Sample.paths); NaN where the refit failed
    coefficients: np.ndarray  # resamples x indicators; NaN where the refit failed
    importance: np.ndarray  # resamples x inputs
    failures: list[tuple[int, str]]  # (resample, what went wrong)


def _refit(sample: Sample, rows: np.ndarray) -> tuple[list[float], list[float]]:
    """The weight of every dimension and every coefficient of the model refitted on ``rows``."""
    model = sample.model()
    pca: Any = model.pca  # fitted on arrays too, as it documents
    values: dict[Path, Any] = {}
    coefficients: list[float] = []
    for path, columns in sample.leaves:
        taken = np.take(columns, rows, axis=1).T
        pca.fit(taken)
        coef = pca.coef
        scored = _scored(taken, pca, sample.nominal.scale_method, coef)
        # The parts of a nested dimension are combined with pandas.concat, which takes Series;
        # anything else the model estimates as an array, which spares a Series per dimension.
        values[path] = pd.Series(scored, copy=False) if len(path) > 1 else scored
        coefficients += coef
    tree = map_leaves(sample.plan, lambda node: values[node.value])
    with entropy.resolution(sample.nominal.resolution):
        weights, _ = cast(tuple[Any, Any], model.compute_dim_weight(tree))  # unpacked as fit does
    drawn = [node_weight(_at(weights, path)) for path in sample.paths]
    if not np.isfinite(drawn).all():
        raise ArithmeticError(f"the weights came out {drawn!r}, not finite numbers")
    return drawn, coefficients


def _scored(taken: np.ndarray, pca: Any, method: str, coef: list[float]) -> np.ndarray:
    """The dimension values of the rows just fitted: ``pca.score(taken)``'s values, by its very
    operations, without its checks of a table that passed them when the nominal index was fitted."""
    if method == "max_min":
        offset = np.asarray(pca.min, dtype=np.float64)
        width = np.asarray(pca.max, dtype=np.float64) - offset
    else:
        offset, width = np.asarray(pca.mean, dtype=np.float64), np.asarray(pca.std, dtype=np.float64)
    zero = width == 0
    scaled = taken - offset
    scaled /= np.where(zero, 1.0, width)
    scaled[:, zero] = 0.0
    return np.asarray(scaled @ np.asarray(coef))


def _at(tree: Any, path: Path) -> Any:
    for key in path:
        tree = tree[key]
    return tree


def draw(sample: Sample, runs: np.ndarray) -> Drawn:
    """Refit each resample of ``runs`` and estimate the importance of every input on it.

    A resample whose refit fails is counted with what went wrong, and its row
    is NaN; the others go on.
    """
    n_indicators = sum(len(columns) for _, columns in sample.leaves)
    weights = np.full((len(runs), len(sample.paths)), np.nan)
    coefficients = np.full((len(runs), n_indicators), np.nan)
    counts = np.empty((sample.units, len(runs)))
    failures = []
    for row, run in enumerate(runs):
        rows = rows_of(sample.seed, int(run), sample.units)
        counts[:, row] = np.bincount(rows, minlength=sample.units)
        try:
            weights[row], coefficients[row] = _refit(sample, rows)
        except Exception as exc:  # counted and reported: a resample the model cannot fit is a finding
            failures.append((int(run), f"{type(exc).__name__}: {exc}"))
    importance = correlation_ratios(sample.bins, sample.composite, counts).T
    return Drawn(np.asarray(runs), weights, coefficients, importance, failures)
