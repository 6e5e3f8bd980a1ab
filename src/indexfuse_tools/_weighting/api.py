"""Can the weights be trusted? Their uncertainty, their rivals and what each dimension drives."""

from __future__ import annotations

import math
from collections.abc import Hashable
from typing import TYPE_CHECKING, Any, cast

import numpy as np
import pandas as pd

from indexfuse_tools._audit import agreement_rows
from indexfuse_tools._check import check
from indexfuse_tools._core import (
    Path,
    Schema,
    at,
    coefficient_tables,
    dimension_name,
    dimension_nodes,
    is_integer,
    is_real,
    leaf_columns,
    node_weight,
    split_key,
    unique_units,
    weighted_leaves,
)
from indexfuse_tools._results import treat
from indexfuse_tools._robustness.factors import ModelSchema, Nominal, nominal_of
from indexfuse_tools._robustness.workers import map_tasks, plan_workers, refuse_in_a_starting_worker
from indexfuse_tools._weighting.importance import bins_of, correlation_ratios
from indexfuse_tools._weighting.resample import Drawn, Sample, draw, sample_of
from indexfuse_tools._weighting.result import WeightUncertainty
from indexfuse_tools._weighting.rivals import largest_shifts, rival_ranks, rival_table, rival_trees
from indexfuse_tools._weighting.tables import (
    coefficient_rows,
    equality_test,
    importance_rows,
    order_rows,
    weight_rows,
)

if TYPE_CHECKING:
    from indexfuse_tools._preparation import Preparation

__all__ = ["weight_uncertainty"]

_CALLER = "weight_uncertainty()"
#: The most resamples one task refits: their counts over the units are held
#: at once (33,000 units x 64 resamples: 17 MB).
_TASK_RESAMPLES = 64


def _check_call(schema: Any, data: Any, n: Any, seed: Any, level: Any) -> None:
    if not isinstance(data, pd.DataFrame):
        raise TypeError(f"data is a pandas DataFrame, got {type(data).__name__}")
    # The tables name units by their label: two rows with one label could not be told apart.
    unique_units(data.index, _CALLER)
    if not isinstance(schema, (dict, list, tuple)):
        raise TypeError(f"schema is a dict, list or tuple, got {type(schema).__name__}")
    if not is_integer(n) or n < 2:
        raise ValueError(f"n is the number of resamples, an integer of at least 2, got {n!r}")
    if not is_integer(seed) or seed < 0:
        raise ValueError(
            f"seed is a non-negative integer (the same seed draws the same resamples), got {seed!r}"
        )
    if not is_real(level) or not 0 < level < 1:
        raise ValueError(f"level is the coverage of the intervals, a number between 0 and 1 (0.9), got {level!r}")


def _check_units(schema: Any, data: pd.DataFrame) -> None:
    """Refuse a table with fewer units than some dimension has indicators."""
    for node, labels in leaf_columns(schema, data.columns.tolist()):
        if len(data) < len(labels):
            raise ValueError(
                f"{node.place} has {len(labels)} indicators but the table only {len(data)} units: how "
                f"{len(labels)} indicators vary together cannot be estimated from fewer units, let alone from "
                "resamples of them; give at least as many units as the largest dimension has indicators"
            )


def _importance_inputs(
    model: Any, data: pd.DataFrame, values: Any, composite: pd.Series
) -> tuple[np.ndarray, list[tuple[str, Any, str]], np.ndarray, np.ndarray]:
    """The inputs whose importance is estimated (a row each): every weighted dimension's value, its
    direction applied, then every indicator; their names, nominal weights and effective weights."""
    leaves = weighted_leaves(values, model.dim_weight)
    rows, names, nominal, correlations = [], [], [], []
    y = composite.to_numpy(dtype=np.float64)
    for leaf in leaves:
        signed = leaf.sign * leaf.values
        rows.append(signed)
        names.append(("dimension", dimension_name(leaf.path), dimension_name(leaf.path)))
        nominal.append(leaf.weight)
        correlations.append(float(np.corrcoef(signed, y)[0, 1]) if np.ptp(signed) > 0 and np.ptp(y) > 0 else math.nan)
    squared = np.square(correlations)
    effective = squared / np.nansum(squared) if np.isfinite(squared).any() else squared
    weight_of = {leaf.path: leaf.weight for leaf in leaves}
    for node in coefficient_tables(model.index_coef):
        for key, record in node.value.items():
            label = split_key(key)[0]
            rows.append(data[label].to_numpy(dtype=np.float64))
            names.append(("indicator", label, dimension_name(node.path)))
            nominal.append(float(record["coef"]) * weight_of.get(node.path, math.nan))
    effective = np.concatenate([effective, np.full(len(names) - len(leaves), np.nan)])
    return np.vstack(rows), names, np.asarray(nominal, dtype=np.float64), effective


def _tasks(n: int, workers: int) -> list[np.ndarray]:
    pieces = max(8 * workers if workers > 1 else 1, math.ceil(n / _TASK_RESAMPLES))
    return [runs for runs in np.array_split(np.arange(n), min(pieces, n)) if len(runs)]


def _draw_all(sample: Sample, n: int, scheduler: Any, progress: bool) -> Drawn:
    """Every resample's draws, in the order of the resamples, wherever they were made."""
    indicators = sum(len(columns) for _, columns in sample.leaves)
    size = n * sample.units * indicators
    _, workers = plan_workers(scheduler, size)
    weights = np.empty((n, len(sample.paths)))
    coefficients = np.empty((n, indicators))
    importance = np.empty((n, len(sample.bins.sizes)))
    failures: list[tuple[int, str]] = []
    bar = None
    if progress:
        from tqdm.auto import tqdm

        bar = tqdm(total=n, desc="weight uncertainty", unit="resample")
    try:
        for part in map_tasks(draw, sample, _tasks(n, workers), scheduler, size):
            weights[part.runs], coefficients[part.runs], importance[part.runs] = (
                part.weights, part.coefficients, part.importance,
            )  # fmt: skip
            failures += part.failures
            if bar is not None:
                bar.update(len(part.runs))
    finally:
        if bar is not None:
            bar.close()
    return Drawn(np.arange(n), weights, coefficients, importance, sorted(failures))


def _paths(model: Any) -> dict[str, tuple[Hashable, ...]]:
    return {dimension_name(node.path): node.path for node in dimension_nodes(model.index_coef)}


def weight_uncertainty(
    schema: Schema,
    data: pd.DataFrame,
    *,
    n: int = 1000,
    seed: int = 0,
    preparation: Preparation | None = None,
    scheduler: Any = None,
    level: float = 0.9,
    progress: bool = False,
    **model_args: Any,
) -> WeightUncertainty:
    """Can the weights be trusted? Their uncertainty, their rivals and what each dimension drives.

    Fits ``indexpca_diment(schema, **model_args)`` on ``data`` (the nominal
    index) and asks of its weights what a reviewer asks:

    - how uncertain they are: the units are resampled with replacement
      ``n`` times and the model refitted on each resample, which gives an
      interval for every dimension's weight (nested ones too) and every
      coefficient, the share of resamples in which the order of the
      dimensions' weights changes, and whether the weights can be told apart
      from equal weights;
    - what rival weightings give: the composite and the ranks under equal
      weights and under the weights of the dimensions' first principal
      component, beside the model's, with rank correlations and the units
      that move most;
    - how much each dimension, and each indicator, drives the composite in
      fact: its first-order importance (the correlation ratio) with an
      interval, beside its nominal and effective weight;
    - and, in words (:meth:`WeightUncertainty.findings`), what of this a
      reviewer would ask about.

    Parameters
    ----------
    schema : dict, list or tuple
        The schema, as for ``indexpca_diment``.
    data : pandas.DataFrame
        The table the index is fitted on, one row per unit (the raw table
        with ``preparation``).
    n : int, default 1000
        Resamples; at least 2.
    seed : int, default 0
        The seed of the resamples: the same seed draws the same resamples
        whatever the scheduler and the number of workers, so the result is
        the same too.
    preparation : Preparation, optional
        The treatment the model is fitted after: it is replayed on ``data``
        and the rows it keeps are the units resampled (the treatment itself
        is not learnt again on each resample).
    scheduler : None, int or dask.distributed.Client, default None
        Where the resamples are refitted, as for :func:`robustness`: None,
        one process per local core (this process alone for small tables,
        where starting processes costs more than it saves); an integer, that
        many local processes (1: this process only); a Dask client, its
        cluster. Local processes are spawned, so a script that calls this at
        top level needs the ``if __name__ == "__main__":`` guard.
    level : float, default 0.9
        The coverage of every interval: 0.9 runs from the 5th to the 95th
        percentile of the resamples. Equal weights count as told apart when
        the test's p falls below ``1 - level``.
    progress : bool, default False
        Show a progress bar (tqdm) of the resamples refitted.
    **model_args
        ``scale_method``, ``pca_cumulative``, ``ent_k`` (as for
        ``indexpca_diment``) and ``resolution`` (the entropy resolution;
        default: the one in effect at the call).

    Returns
    -------
    WeightUncertainty
        Its tables, :meth:`~WeightUncertainty.findings`,
        :meth:`~WeightUncertainty.plot` and a text summary (``str()``).

    Raises
    ------
    SchemaError
        If :func:`check` finds an error in the schema or the data.
    ValueError
        If ``n`` is below 2, ``seed`` is not a non-negative integer,
        ``level`` is not between 0 and 1, ``data`` repeats a row label or
        has fewer units than some dimension has indicators; or if the model
        could not be refitted on any resample (the first error is named).
    TypeError
        For a ``data``, ``schema`` or ``scheduler`` of another kind, or an
        unknown model argument.

    Notes
    -----
    *Resamples.* Resample ``b`` draws ``len(data)`` units with replacement
    from a stream of its own (seeded by ``seed`` and ``b``), and the model is
    refitted on them exactly as ``fit`` would be (the same coefficients, and
    weights equal to the last bit or within one unit of the last place).
    A resample the model cannot be refitted on, or whose weights are not
    finite numbers, is counted in :attr:`~WeightUncertainty.failures` and
    named by the findings; the intervals rest on the others. A resample
    holds about 63% of the units, some of them repeated; the neighbour
    estimate of entropy reads repeated values as a denser sample, so the
    resamples' weights sit a little apart from the weights of the whole
    table (the ``bias`` column says by how much): read an interval that
    barely reaches the weight with that in mind.

    *Equal weights.* Wald's test: ``d' S^-1 d``, with ``d`` the fitted
    weights minus the equal ones and ``S`` the resamples' covariance of the
    weights, is about chi-squared under equal weights with as many degrees
    of freedom as there are weighted dimensions less one (the weights add
    up to 1). Each weight's interval against its equal weight is in
    ``differs_from_equal``.

    *Principal components.* The rival weights are the squared loadings of
    the first principal component of the correlation matrix of the
    dimension values (directions applied), flat over the dimensions however
    they nest; a dimension that moves with the others weighs much, one that
    moves alone little, whatever its spread.

    *Importance.* The correlation ratio ``V[E(y | x)] / V(y)`` of the
    composite ``y`` given the input ``x`` (Paruolo, Saisana and Saltelli
    2013): the units are put into about ``sqrt(len(data))`` bins of equal
    count by ``x`` (at most 100; equal values share a bin), ``E(y | x)`` is
    the mean of ``y`` in a bin. The plain ratio is biased upwards by about
    ``(B - 1) / (n - 1)`` for ``B`` bins and ``n`` units (what the bin means
    pick up from noise), which is subtracted as for an adjusted R-squared,
    so that an input without effect is about 0; binning loses what
    ``E(y | x)`` varies within a bin, a small bias downwards once the bins
    are narrow. Its interval comes from the same resamples, the published
    composite held fixed. Under a linear composite of independent
    dimensions, a dimension's importance is its squared correlation with
    the composite; its ``share`` (normalised over the dimensions) is what a
    nominal weight claims and rarely is.

    Examples
    --------
    >>> import statsmodels.api as sm
    >>> from indexfuse_tools import weight_uncertainty
    >>> data = sm.datasets.statecrime.load_pandas().data
    >>> schema = {"safety": [("violent", -1), ("murder", -1)],
    ...           "opportunity": {"education": ["hs_grad"], ("hardship", -1): ["poverty", "single"]}}
    >>> result = weight_uncertainty(schema, data, n=100, scheduler=1)
    >>> columns = ["dimension", "weight", "low", "high", "equal_weight"]
    >>> print(result.weights[columns].round(3).to_string(index=False))
                      dimension  weight   low  high  equal_weight
                         safety   0.481 0.465 0.501          0.50
                    opportunity   0.519 0.499 0.535          0.50
        opportunity / education   0.268 0.256 0.276          0.25
    opportunity / hardship (-1)   0.252 0.240 0.263          0.25
    >>> result.rivals[["spearman", "kendall"]].round(3)
                          spearman  kendall
    weighting
    equal                    0.999    0.987
    principal components     0.990    0.929
    """
    refuse_in_a_starting_worker(_CALLER)
    _check_call(schema, data, n, seed, level)
    plan_workers(scheduler)  # a scheduler of another kind fails before the fit
    schema = cast(ModelSchema, schema)
    nominal: Nominal = nominal_of(model_args, schema, _CALLER)
    if preparation is not None:
        data = treat(data, preparation, _CALLER).prepared
    check(schema, data, strict=True)  # an index that is not what its schema says is not reviewed
    _check_units(schema, data)
    model = nominal.fit(schema, data)
    composite, values = model.score(data)
    inputs, names, nominal_weights, effective = _importance_inputs(model, data, values, composite)
    bins = bins_of(inputs)
    sample = sample_of(int(seed), schema, nominal, model, data, bins, composite)
    drawn = _draw_all(sample, int(n), scheduler, progress)
    failed = np.array([run for run, _ in drawn.failures], dtype=np.int64)
    kept = np.setdiff1d(np.arange(n), failed)
    if not len(kept):
        raise ValueError(f"the model could not be refitted on any of the {n} resamples: {drawn.failures[0][1]}")
    trees = rival_trees(model, values)
    paths: tuple[Path, ...] = sample.paths
    weights = drawn.weights[kept]
    nominal_vector = np.array([node_weight(at(model.dim_weight, path)) for path in paths])
    order, changes = order_rows(paths, nominal_vector, weights)
    estimate = correlation_ratios(bins, sample.composite, np.ones((len(data), 1)))[:, 0]
    ranks = rival_ranks(model, values, trees, data.index)
    return WeightUncertainty(
        n=int(n),
        seed=int(seed),
        level=float(level),
        units=len(data),
        weights=weight_rows(paths, trees, weights, level),
        coefficients=coefficient_rows(model, drawn.coefficients[kept], level),
        order=order,
        order_changes=changes,
        equality=equality_test(model, trees["equal"], paths, weights, level),
        rivals=rival_table(ranks),
        shifts=largest_shifts(ranks),
        ranks=ranks,
        importance=importance_rows(names, nominal_weights, effective, estimate, drawn.importance, level),
        agreement=agreement_rows(values, model.dim_weight, trees["equal"]),
        failures=pd.DataFrame(drawn.failures, columns=["resample", "error"]),
        draws=pd.DataFrame(drawn.weights, columns=[dimension_name(path) for path in paths]).rename_axis("resample"),
        paths=_paths(model),
    )

