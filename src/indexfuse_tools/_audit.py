"""The statistical audit of a fitted index: do the indicators of each dimension
hang together, do the weights do what they claim, and how does the index
relate to other measures?"""

from __future__ import annotations

import contextlib
import copy
import math
import os
from collections.abc import Hashable, Iterator, Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd
from tessel import process
from tessel.modelbench import PCA, entropy

from indexfuse_tools._core import (
    FEW_DISTINCT,
    Path,
    as_frame,
    as_model,
    at,
    check_dimension_names,
    coefficient_tables,
    dimension_name,
    dimension_nodes,
    fitted,
    fixed,
    is_real,
    isolate,
    map_leaves,
    node_weight,
    nodes,
    plain_name,
    split_key,
    strip_bidi,
    unique_units,
    weighted_leaves,
    write_excel,
)
from indexfuse_tools._preparation import needs_treatment
from indexfuse_tools._results import Treated, treat
from indexfuse_tools._tables import coefficients
from indexfuse_tools._weights import equal_weights

if TYPE_CHECKING:
    from indexfuse_tools._preparation import Preparation

__all__ = [
    "Audit",
    "audit",
    "FEW_DISTINCT",
    "LOW_AGREEMENT",
    "agreement_findings",
    "agreement_rows",
    "fit_resolution",
    "model_settings",
]


# Pairs of indicators of one dimension that correlate below this, after their
# directions, are named in the summary: they pull against each other.
_NEGATIVE_R = 0.0
# The summary names a dimension whose effective weight parts from its nominal
# weight by more than this share of the nominal weight.
_PARTING = 0.25
#: A dimension whose values correlate below this with the other dimensions,
#: on average and with their composite, agrees little with them: a weak
#: correlation by the usual reading (|r| < 0.3).
LOW_AGREEMENT = 0.3


# --------------------------------------------------------------- the walk --


@dataclass(frozen=True)
class Dimension:
    """One dimension that holds indicators, as the fitted model sees it."""

    path: tuple[Hashable, ...]
    name: str
    #: Product of the directions of the keys on the path: -1 when the
    #: dimension lowers the index.
    sign: float
    #: The coefficient table: index key -> coefficient record.
    table: Mapping[Any, Mapping[str, float]]
    #: The dimension's value on the audited rows (before ``sign``).
    value: pd.Series | None
    #: The model's weight, or None when the dimension has none.
    weight: float | None

    def entries(self) -> Iterator[tuple[Hashable, float]]:
        """(column label, direction) of each indicator, in the table's order."""
        for key in self.table:
            yield split_key(key)


def walk(model: Any, values: Any) -> list[Dimension]:
    """Every dimension of ``model`` that has a coefficient table, in schema order.

    ``values`` is the dimension-value tree that ``model.score`` returned for
    the rows being looked at.
    """
    found = []
    for node in coefficient_tables(model.index_coef):
        sign = 1.0
        for key in node.path:
            sign *= split_key(key)[1]
        value, weight = at(values, node.path), at(model.dim_weight, node.path)
        series = value if isinstance(value, pd.Series) else None
        number = float(weight) if is_real(weight) else None
        found.append(Dimension(node.path, dimension_name(node.path), sign, node.value, series, number))
    return found


def _paths(tree: Any) -> dict[str, Path]:
    return {dimension_name(node.path): node.path for node in dimension_nodes(tree)}


def _check_names(tree: Any) -> None:
    """``ValueError`` when two dimensions of the ``index_coef`` tree read alike: the audit's tables
    find a dimension by its name."""
    check_dimension_names(node.path for node in dimension_nodes(tree) if node.path)


def indicator_frame(data: pd.DataFrame, dimension: Dimension) -> pd.DataFrame:
    """The dimension's columns of ``data`` with their directions applied."""
    columns = []
    for label, direction in dimension.entries():
        column = data[label]
        if isinstance(column, pd.DataFrame):
            raise ValueError(
                f"column {label!r} appears {column.shape[1]} times in the data: "
                "give every column a label of its own"
            )
        columns.append(column.astype(np.float64) * direction)
    frame = pd.concat(columns, axis=1)
    frame.columns = pd.Index([label for label, _ in dimension.entries()], tupleize_cols=False)
    return frame


def scaled_frame(model: Any, data: pd.DataFrame, dimension: Dimension) -> pd.DataFrame:
    """The dimension's columns as the model scales them before weighting:
    directions applied, then ``process.scale`` with the stored statistics."""
    frame = indicator_frame(data, dimension)
    columns = []
    for position, record in enumerate(dimension.table.values()):
        columns.append(
            process.scale(
                frame.iloc[:, position],
                method=model.scale_method,
                range=(record["min"], record["max"]),
                mean=record["mean"],
                std=record["std"],
            )
        )
    scaled = pd.concat(columns, axis=1)
    scaled.columns = frame.columns
    return scaled


def _check_inputs(model: Any, data: Any) -> None:
    as_model(model, "audit")
    for name in ("index_coef", "dim_weight", "min_ent"):
        fitted(model, name)
    as_frame(data)
    used = coefficients(model)["index"].tolist()
    missing = [label for label in dict.fromkeys(used) if label not in data.columns]
    if missing:
        raise ValueError(
            f"the data lack the model's column(s) {', '.join(map(repr, missing))}: "
            "audit the model on a table with the columns it was fitted on"
        )


def _external_frame(external: Any, index: pd.Index) -> pd.DataFrame:
    """``external`` as numeric columns over the rows ``index``."""
    if isinstance(external, pd.Series):
        external = external.to_frame(name=external.name if external.name is not None else "external")
    if not isinstance(external, pd.DataFrame):
        raise TypeError(
            f"external must be a pandas DataFrame or Series over the rows of data, got {type(external).__name__}"
        )
    if not external.index.isin(index).any():
        raise ValueError(
            "external shares no row label with data: give it the same index as the data "
            f"(data starts {list(index[:3])!r}, external starts {list(external.index[:3])!r})"
        )
    if not external.index.is_unique:
        raise ValueError("external has repeated row labels: each row of data needs one value")
    for label, column in external.items():
        if not (pd.api.types.is_numeric_dtype(column) and not pd.api.types.is_bool_dtype(column)):
            raise ValueError(f"external column {label!r} is not numeric (dtype {column.dtype})")
    return external.reindex(index).astype(np.float64)


# ----------------------------------------------------------- the numbers --


def cronbach_alpha(frame: pd.DataFrame) -> float:
    """Cronbach's alpha of the columns of ``frame`` over its complete rows.

    ``k / (k - 1) * (1 - sum(var_i) / var(sum_i x_i))``; NaN for fewer than
    two columns or a constant total.
    """
    complete = frame.dropna()
    k = complete.shape[1]
    total = complete.sum(axis=1).var(ddof=1)
    if k < 2 or len(complete) < 2 or not total > 0:
        return math.nan
    return float(k / (k - 1) * (1 - complete.var(ddof=1).sum() / total))


def standardized_alpha(correlations: pd.DataFrame) -> float:
    """Cronbach's alpha of standardised indicators: ``k r / (1 + (k - 1) r)``,
    with ``r`` the mean correlation between two different indicators."""
    k = correlations.shape[0]
    if k < 2:
        return math.nan
    r = _mean_off_diagonal(correlations)
    denominator = 1 + (k - 1) * r
    # two rows make every correlation +1 or -1: two indicators at -1 have no alpha
    return float(k * r / denominator) if denominator != 0 else math.nan


def _off_diagonal(correlations: pd.DataFrame) -> np.ndarray:
    values = correlations.to_numpy(dtype=np.float64)
    return values[~np.eye(len(values), dtype=bool)]


def _mean_off_diagonal(correlations: pd.DataFrame) -> float:
    values = _off_diagonal(correlations)
    return float(np.mean(values)) if values.size else math.nan


def _correlation(x: pd.Series, y: pd.Series) -> float:
    both = pd.concat([x, y], axis=1).dropna()
    if len(both) < 3 or (both.nunique() < 2).any():
        return math.nan
    return float(np.corrcoef(both.iloc[:, 0], both.iloc[:, 1])[0, 1])


def _components(model: Any, frame: pd.DataFrame) -> tuple[float, float]:
    """(first component's share of variance, number of components kept), from
    the toolkit's PCA set up as the model's."""
    complete = frame.dropna()
    if complete.shape[0] < 2:
        return math.nan, math.nan
    cumulative = getattr(getattr(model, "pca", None), "cumulative", 1)
    pca = PCA(cumulative=cumulative, scale_method=model.scale_method)
    pca.fit(complete)
    ratios = pca.explained_variance_ratio
    if not ratios.sum() > 0:
        return math.nan, math.nan
    return float(ratios[0]), float(pca.n_components)


def _indicator_rows(data: pd.DataFrame, dimensions: list[Dimension]) -> pd.DataFrame:
    rows = []
    for dimension in dimensions:
        for label, direction in dimension.entries():
            column = data[label].astype(np.float64)
            present = column.dropna()
            distinct = int(present.nunique())
            rows.append(
                {
                    "dimension": dimension.name,
                    "indicator": label,
                    "direction": direction,
                    "overall_direction": direction * dimension.sign,
                    "count": int(present.size),
                    "missing_share": float(column.isna().mean()) if len(column) else math.nan,
                    "min": present.min(),
                    "max": present.max(),
                    "mean": present.mean(),
                    "std": present.std(ddof=1),
                    "skew": present.skew(),
                    "kurtosis": present.kurt(),
                    "distinct": distinct,
                    # the rule prepare() applies: the audit flags what prepare would treat
                    "needs_treatment": needs_treatment(present),
                    "constant": distinct <= 1,
                    "few_distinct": 1 < distinct < FEW_DISTINCT,
                }
            )
    return pd.DataFrame(rows, columns=_INDICATOR_COLUMNS)


_INDICATOR_COLUMNS = [
    "dimension", "indicator", "direction", "overall_direction", "count", "missing_share",
    "min", "max", "mean", "std", "skew", "kurtosis", "distinct",
    "needs_treatment", "constant", "few_distinct",
]  # fmt: skip


def _treatment_rows(table: pd.DataFrame, treated: Treated) -> pd.DataFrame:
    """The indicator table of the prepared rows, told what the treatment did.

    ``count`` and ``missing_share`` become those of the raw table, since
    after imputation every value is present; the shape statistics stay
    those of the values the model scores.
    """
    shown = table.copy()
    raw = treated.raw
    labels = shown["indicator"]
    shown["count"] = [int(raw[label].notna().sum()) for label in labels]
    shown["missing_share"] = [float(raw[label].isna().mean()) if len(raw) else math.nan for label in labels]
    imputed, winsorized = treated.per_indicator("impute"), treated.per_indicator("winsorize")
    transforms = treated.preparation.transforms
    shown["imputed"] = [int(imputed.get(label, 0)) for label in labels]
    shown["winsorized"] = [int(winsorized.get(label, 0)) for label in labels]
    shown["transform"] = [str(transforms[label]["kind"]) if label in transforms else "" for label in labels]
    return shown


def _coherence(
    model: Any, data: pd.DataFrame, dimensions: list[Dimension], composite: pd.Series
) -> tuple[dict[str, pd.DataFrame], pd.DataFrame, pd.DataFrame]:
    matrices: dict[str, pd.DataFrame] = {}
    summary, members = [], []
    for dimension in dimensions:
        frame = indicator_frame(data, dimension)
        correlations = frame.corr()
        scaled = scaled_frame(model, data, dimension)
        matrices[dimension.name] = correlations
        pairs = _off_diagonal(correlations)
        first, kept = _components(model, frame)
        summary.append(
            {
                "dimension": dimension.name,
                "indicators": frame.shape[1],
                "cronbach_alpha": cronbach_alpha(scaled),
                "standardized_alpha": standardized_alpha(correlations),
                "mean_correlation": _mean_off_diagonal(correlations),
                "min_correlation": float(np.min(pairs)) if pairs.size else math.nan,
                "first_component_share": first,
                "components_kept": kept,
            }
        )
        for position, label in enumerate(frame.columns):
            column = frame.iloc[:, position]
            value = dimension.value
            members.append(
                {
                    "dimension": dimension.name,
                    "indicator": label,
                    "with_dimension": math.nan if value is None else _correlation(column, value),
                    "with_composite": _correlation(column * dimension.sign, composite),
                }
            )
    return (
        matrices,
        pd.DataFrame(summary),
        pd.DataFrame(members, columns=["dimension", "indicator", "with_dimension", "with_composite"]),
    )


def _abnormal_keys(model: Any) -> set[tuple[Any, float]]:
    # abnormal_index only grows across refits: a record counts for the current
    # fit when its coefficient is the one the table holds now.
    found = set()
    for record in model.abnormal_index:
        if isinstance(record, dict):
            for key, coef in record.items():
                found.add((key, float(coef)))
    return found


def _coefficient_rows(model: Any, dimensions: list[Dimension]) -> pd.DataFrame:
    table = coefficients(model)
    abnormal = _abnormal_keys(model)
    flags, shares = [], []
    for dimension in dimensions:
        for key, record in dimension.table.items():
            flags.append((key, float(record["coef"])) in abnormal)
            weight = math.nan if dimension.weight is None else dimension.weight
            shares.append(float(record["coef"]) * weight)
    table["abnormal"] = flags
    table["weight_in_index"] = shares
    return table


def _equal_tree(model: Any) -> Any:
    # equal_weights sets the weights of the model it is given: give it a
    # shallow copy, whose dim_weight alone is rebound.
    stand_in = copy.copy(model)
    equal_weights(stand_in)
    return stand_in.dim_weight


def _complete_rows(node: Any) -> np.ndarray | None:
    """Which rows have a value for every dimension below ``node``; None when
    it holds no dimension value."""
    series = [found.value for found in nodes(node) if isinstance(found.value, pd.Series)]
    if not series:
        return None
    complete: np.ndarray = np.logical_and.reduce([np.isfinite(value.to_numpy(dtype=np.float64)) for value in series])
    return complete


def _on_rows(node: Any, rows: np.ndarray) -> Any:
    return map_leaves(node, lambda leaf: leaf.value[rows] if isinstance(leaf.value, pd.Series) else leaf.value)


def _with_k_below(model: Any, rows: int) -> Any:
    """``model``, or a shallow copy whose ``k`` is lowered to ``rows - 1`` as
    ``fit`` lowers it on a table that small."""
    if model.k <= rows - 1:
        return model
    stand_in = copy.copy(model)
    stand_in.k = rows - 1
    return stand_in


def _read_information(result: Any, node: Any) -> dict[Any, float]:
    found = result[1] if isinstance(result, tuple) else None
    if not isinstance(found, dict) or found is node:  # no dimension had a value
        return {}
    return {key: float(iv) for key, iv in found.items()}


def _alone(model: Any, key: Any, value: Any) -> float:
    # Alone on its level a dimension's share is its information over itself:
    # the division fails exactly when it carries none.
    try:
        return _read_information(model.compute_dim_weight({key: value}), None).get(key, math.nan)
    except ZeroDivisionError:
        return 0.0


def _information(model: Any, node: Any, level: str, notes: list[str]) -> dict[Any, float] | float:
    """Information of each dimension of one level, as the model computes it,
    on the rows with a value for every one of them and with ``k`` capped as
    ``fit`` caps it; a plain number for a model of one dimension.

    What cannot be estimated is NaN, and ``notes`` gains a sentence saying why.
    """
    rows = _complete_rows(node)
    if rows is None:
        return {}
    if rows.sum() < 2:
        notes.append(
            f"the information of {level} cannot be estimated: it needs at least two rows with a value "
            f"for every dimension, and {int(rows.sum())} row(s) have one"
        )
        return math.nan if isinstance(node, pd.Series) else dict.fromkeys(node, math.nan)
    if not rows.all():
        node = _on_rows(node, rows)
    estimator = _with_k_below(model, int(rows.sum()))
    if isinstance(node, pd.Series):
        return float(estimator.compute_dim_weight(node)[1])
    try:
        return _read_information(estimator.compute_dim_weight(node), node)
    except ZeroDivisionError:
        notes.append(
            f"none of {level} carries information on these rows (their values do not vary): "
            "their information shares cannot be computed"
        )
        return {key: _alone(estimator, key, value) for key, value in node.items()}


_DIMENSION_COLUMNS = ["dimension", "parent", "information", "information_share", "weight", "equal_weight"]


def model_settings(model: Any) -> list[str]:
    """The model's settings in words, for the header of the report and of the explorer page."""
    cumulative = getattr(getattr(model, "pca", None), "cumulative", None)
    settings = [f"scale method {model.scale_method}", f"{model.k} neighbours for the entropy"]
    if cumulative is not None:
        settings.insert(1, f"principal components covering {cumulative:.0%} of the variance")
    resolution = fit_resolution(model)
    if resolution is not None:
        settings.append(f"entropy read at a resolution of {resolution:.3g}")
    return settings


def fit_resolution(model: Any) -> float | None:
    """The entropy resolution the model was fitted at, read from its baseline.

    The baseline ``min_ent`` is the estimate for a constant column, which is
    exactly ``log(resolution)``; None when it is not a finite number.
    """
    try:
        resolution = math.exp(float(model.min_ent))
    except (TypeError, ValueError, OverflowError):
        return None
    return resolution if math.isfinite(resolution) and resolution > 0 else None


def _dimension_rows(model: Any, values: Any) -> tuple[pd.DataFrame, list[str]]:
    """Information, its share, the model's weight and the equal weight of every
    dimension, a nested dimension first, then its sub-dimensions; and a
    sentence for each estimate that left rows out or could not be made."""
    resolution = fit_resolution(model)
    notes: list[str] = []
    # The information is an estimate minus the baseline: both at the fit's resolution.
    with entropy.resolution(resolution) if resolution is not None else contextlib.nullcontext():
        return _dimension_table(model, values, notes), notes


def _level(parent: Path) -> str:
    return f"the sub-dimensions of {plain_name(parent)}" if parent else "the top-level dimensions"


def _dimension_table(model: Any, values: Any, notes: list[str]) -> pd.DataFrame:
    if not isinstance(values, dict):
        row = [dimension_name(()), None, _information(model, values, "the index", notes), 1.0, 1.0, 1.0]
        return pd.DataFrame([row], columns=_DIMENSION_COLUMNS)
    equal = _equal_tree(model)
    information: dict[Path, dict[Any, float]] = {}
    rows: list[list[Any]] = []
    for node in nodes(values):
        if not node.path:
            continue
        parent, key = node.path[:-1], node.path[-1]
        if parent not in information:
            level = _information(model, at(values, parent), _level(parent), notes)
            information[parent] = level if isinstance(level, dict) else {}
        shares = information[parent]
        total = sum(shares.values())
        iv = shares.get(key, math.nan)
        share = iv / total if total else math.nan
        nominal_weight, equal_weight = node_weight(at(model.dim_weight, node.path)), node_weight(at(equal, node.path))
        parent_name = dimension_name(parent) if parent else None
        rows.append([dimension_name(node.path), parent_name, iv, share, nominal_weight, equal_weight])
    return pd.DataFrame(rows, columns=_DIMENSION_COLUMNS)


def _missing_notes(dimensions: list[Dimension]) -> list[str]:
    """A sentence for each dimension without a value on some rows: every one
    of its indicators is missing there."""
    notes = []
    for dimension in dimensions:
        if dimension.value is None or not dimension.value.isna().any():
            continue
        lacking = dimension.value.index[dimension.value.isna().to_numpy()]
        shown = ", ".join(map(repr, lacking[:5])) + (", ..." if len(lacking) > 5 else "")
        notes.append(
            f"{plain_name(dimension.path)} has no value on {len(lacking)} row(s) ({shown}): every one of its "
            "indicators is missing there, so the information estimates leave those rows out"
        )
    return notes


def _effective_rows(dimensions: list[Dimension], composite: pd.Series) -> pd.DataFrame:
    rows = []
    for dimension in dimensions:
        signed = None if dimension.value is None else dimension.value * dimension.sign
        r = math.nan if signed is None or dimension.weight is None else _correlation(signed, composite)
        rows.append({"dimension": dimension.name, "weight": dimension.weight, "correlation": r})
    table = pd.DataFrame(rows, columns=["dimension", "weight", "correlation"])
    squared = table["correlation"] ** 2
    table["effective_weight"] = squared / squared.sum(min_count=1)
    table["difference"] = table["effective_weight"] - table["weight"]
    return table.astype({"weight": np.float64})


_AGREEMENT_COLUMNS = ["dimension", "weight", "equal_weight", "with_others", "with_rest"]


def _pearson(x: np.ndarray, y: np.ndarray) -> float:
    """Pearson's r over the units with both values; NaN where either does not vary.

    :func:`_correlation`'s rule on arrays: the review of the weights reads it
    on tables of tens of thousands of units.
    """
    both = np.isfinite(x) & np.isfinite(y)
    if both.sum() < 3 or np.ptp(x[both]) == 0 or np.ptp(y[both]) == 0:
        return math.nan
    return float(np.corrcoef(x[both], y[both])[0, 1])


def agreement_rows(values: Any, weights: Any, equal: Any) -> pd.DataFrame:
    """How much each weighted dimension agrees with the others, beside its weight and its equal weight.

    ``with_others`` is the mean of its correlations with each other weighted
    dimension, ``with_rest`` its correlation with the composite of the others
    (their weighted sum without it), both with every direction applied. Its
    correlation with the whole composite would count its own part in the
    composite as agreement; the composite of the others does not.
    """
    leaves = weighted_leaves(values, weights)
    equal_of = {leaf.path: leaf.weight for leaf in weighted_leaves(values, equal)}
    signed = [leaf.sign * leaf.values for leaf in leaves]
    rows = []
    for position, leaf in enumerate(leaves):
        others = [array for other, array in enumerate(signed) if other != position]
        with_others = float(np.mean([_pearson(signed[position], other) for other in others])) if others else math.nan
        rest = sum(other.weight * array for other, array in zip(leaves, signed) if other.path != leaf.path)
        with_rest = _pearson(signed[position], np.asarray(rest)) if others else math.nan
        rows.append([dimension_name(leaf.path), leaf.weight, equal_of.get(leaf.path, math.nan), with_others, with_rest])
    return pd.DataFrame(rows, columns=_AGREEMENT_COLUMNS)


def agreement_findings(table: pd.DataFrame, paths: Mapping[str, Path]) -> list[str]:
    """A sentence for each dimension of ``table`` (see :func:`agreement_rows`) that agrees little
    with the others (both correlations below :data:`LOW_AGREEMENT`) yet weighs at least its equal share."""
    found = []
    for row in _records(table):
        lonely = row["with_others"] < LOW_AGREEMENT and row["with_rest"] < LOW_AGREEMENT
        if lonely and row["weight"] >= row["equal_weight"]:
            found.append(
                f"{plain_name(paths.get(row['dimension'], (row['dimension'],)))} agrees little with the other "
                f"dimensions (mean correlation {fixed(row['with_others'], 2)} with each of them, "
                f"{fixed(row['with_rest'], 2)} with their composite) yet earns a weight of {fixed(row['weight'], 3)}, "
                f"at least the equal {fixed(row['equal_weight'], 3)}: its weight comes from the spread of its "
                "values, not from agreement"
            )
    return found


def _link_rows(measures: dict[str, pd.Series], external: pd.DataFrame) -> pd.DataFrame:
    from scipy import stats

    rows = []
    for outside, column in external.items():
        for measure, series in measures.items():
            both = pd.concat([series, column], axis=1).dropna()
            row: dict[str, Any] = {"measure": measure, "external": outside, "n": len(both)}
            usable = len(both) >= 3 and (both.nunique() > 1).all()
            for method, test in (("pearson", stats.pearsonr), ("spearman", stats.spearmanr)):
                if usable:
                    result = test(both.iloc[:, 0], both.iloc[:, 1])
                    row[method], row[f"{method}_p"] = float(result[0]), float(result[1])
                else:
                    row[method], row[f"{method}_p"] = math.nan, math.nan
            rows.append(row)
    columns = ["measure", "external", "n", "pearson", "pearson_p", "spearman", "spearman_p"]
    return pd.DataFrame(rows, columns=columns)


# ------------------------------------------------------------ the result --


@dataclass(frozen=True, repr=False)
class Audit:
    """The tables of :func:`audit`; ``str(audit)`` is a short text summary.

    Attributes
    ----------
    rows : int
        Number of rows audited.
    indicators : pandas.DataFrame
        One row per indicator of each dimension: ``dimension``, ``indicator``,
        ``direction`` (its own), ``overall_direction`` (with the directions of
        the dimensions above it: -1 when higher values lower the index),
        ``count`` (values present), ``missing_share``, ``min``, ``max``,
        ``mean``, ``std``, ``skew``, ``kurtosis`` (excess, 0 for a normal
        sample; both bias-corrected as pandas computes them), ``distinct``,
        and the flags ``needs_treatment`` (skewed and heavy-tailed by the rule
        :func:`prepare` applies), ``constant`` and ``few_distinct`` (more than
        one but fewer than :data:`FEW_DISTINCT` distinct values). The
        statistics are those of the column as given, before its direction.
        With a preparation, ``imputed`` and ``winsorized`` (values it
        changed) and ``transform`` (its kind, or ``""``) follow, ``count``
        and ``missing_share`` are those of the raw table, and the other
        statistics those of the treated values the model scores.
    correlations : dict of str to pandas.DataFrame
        The Pearson correlation matrix of each dimension's indicators after
        their directions (pairwise complete rows); all entries should be
        positive.
    coherence : pandas.DataFrame
        One row per dimension: ``indicators``, ``cronbach_alpha`` (raw, over
        complete rows), ``standardized_alpha`` (from the mean correlation),
        ``mean_correlation``, ``min_correlation``, ``first_component_share``
        (share of variance of the first principal component of the columns
        scaled as the model scales them) and ``components_kept`` (as the
        model's ``pca_cumulative`` keeps them).
    indicator_correlations : pandas.DataFrame
        ``dimension``, ``indicator``, ``with_dimension`` (correlation of the
        indicator, after its direction, with its dimension's value) and
        ``with_composite`` (with the composite, all directions on its path
        applied, so positive means it moves the index the way the schema
        says).
    coefficients : pandas.DataFrame
        :func:`coefficients` with ``abnormal`` (the model recorded the
        coefficient in ``abnormal_index``) and ``weight_in_index`` (the
        coefficient times its dimension's weight).
    dimensions : pandas.DataFrame
        Every dimension, a nested one before its sub-dimensions: ``parent``,
        ``information`` (the entropy estimate minus the model's baseline, as
        ``model.compute_dim_weight`` computes it on these rows),
        ``information_share`` (its share among its siblings), ``weight`` (the
        model's, summed over the sub-dimensions for a nested one) and
        ``equal_weight`` (as :func:`equal_weights` would set them).
    effective_weights : pandas.DataFrame
        One row per weighted dimension: ``weight`` (nominal),
        ``correlation`` (of the dimension's value, its direction applied, with
        the composite), ``effective_weight`` (the squared correlations
        normalised to sum to 1) and ``difference`` (effective minus nominal).
    links : pandas.DataFrame or None
        With ``external``: one row per measure (``"composite"`` and each
        dimension, directions applied) and external variable: ``n`` (rows with
        both values), ``pearson``, ``pearson_p``, ``spearman``,
        ``spearman_p``.
    paths : dict of str to tuple
        The path of dimension keys behind each dimension name of the tables.
    notes : list of str
        What the estimates had to leave out, one sentence each: rows on which
        a dimension has no value (every one of its indicators missing) are
        left out of the information estimates, and an estimate that cannot be
        made on these rows (fewer than two complete rows, no variation) is
        NaN. Empty on a complete table.
    agreement : pandas.DataFrame or None
        One row per weighted dimension: ``weight`` (nominal),
        ``equal_weight``, ``with_others`` (the mean of its correlations with
        each other weighted dimension) and ``with_rest`` (its correlation
        with the weighted sum of the others), every direction applied. A
        dimension below :data:`LOW_AGREEMENT` on both that weighs at least
        its equal share is a finding: its weight comes from the spread of
        its values, which entropy weights reward whether or not they carry
        the concept the others share.
    """

    rows: int
    indicators: pd.DataFrame
    correlations: dict[str, pd.DataFrame]
    coherence: pd.DataFrame
    indicator_correlations: pd.DataFrame
    coefficients: pd.DataFrame
    dimensions: pd.DataFrame
    effective_weights: pd.DataFrame
    links: pd.DataFrame | None = field(default=None)
    paths: dict[str, tuple[Hashable, ...]] = field(default_factory=dict)
    notes: list[str] = field(default_factory=list)
    agreement: pd.DataFrame | None = field(default=None)

    def __repr__(self) -> str:
        return f"<Audit of {self.rows} rows, {len(self.indicators)} indicators in {len(self.coherence)} dimensions>"

    def __str__(self) -> str:
        return "\n".join(_summary_lines(self))

    def directions(self) -> dict[str, float]:
        """The direction of each dimension in the index: the product of the
        directions of the keys on its path (-1: it lowers the index)."""
        return {name: math.prod(float(split_key(key)[1]) for key in path) for name, path in self.paths.items()}

    def findings(self) -> list[str]:
        """What a methodological review would ask about, one sentence each:
        flagged indicators, indicators of one dimension that correlate
        negatively after their directions, abnormal coefficients,
        dimensions whose effective weight parts from the nominal one by more
        than a quarter of it, dimensions that agree little with the others
        yet weigh at least their equal share (see :attr:`agreement`), and
        the :attr:`notes` on what the estimates left out."""
        return _findings(self)

    def tables(self) -> dict[str, pd.DataFrame]:
        """Every table by name, the correlation matrices stacked into one."""
        stacked = (
            pd.concat(self.correlations, names=["dimension", "indicator"])
            if self.correlations
            else pd.DataFrame()
        )
        tables = {
            "indicators": self.indicators,
            "coherence": self.coherence,
            "correlations": stacked,
            "indicator_correlations": self.indicator_correlations,
            "coefficients": self.coefficients,
            "dimensions": self.dimensions,
            "effective_weights": self.effective_weights,
        }
        if self.links is not None:
            tables["links"] = self.links
        if self.agreement is not None:
            tables["agreement"] = self.agreement
        return tables

    def to_excel(self, path: str | os.PathLike[str]) -> None:
        """Write the summary and every table to one workbook (needs openpyxl).

        One sheet per table, named as the attributes are; ``summary`` holds
        the text of ``str(audit)``, one line per row, and ``correlations``
        the matrices of all dimensions one below the other. Every label is
        written as text, never as a formula, whatever it begins with; a
        control character no workbook can hold is written as its visible
        symbol (form feed as "␌"), with a warning. The file is written whole
        or not at all: a failed write leaves the previous one as it was.
        """
        try:
            import openpyxl  # noqa: F401
        except ImportError:
            raise ImportError(
                "Audit.to_excel needs openpyxl: pip install openpyxl (or indexfuse[excel])"
            ) from None
        sheets = {"summary": (pd.DataFrame({"summary": str(self).splitlines()}), False)}
        for name, table in self.tables().items():
            sheets[name] = (table, name == "correlations")
        write_excel(path, sheets)


def _plain(result: Audit, name: str) -> str:
    return plain_name(result.paths.get(name, (name,)))


def _fmt(value: Any, digits: int = 2) -> str:
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "-"
    return fixed(value, digits)


def _records(frame: pd.DataFrame) -> list[dict[str, Any]]:
    return [{str(key): value for key, value in row.items()} for row in frame.to_dict("records")]


def _left(text: str, width: int) -> str:
    """``text`` padded to ``width`` columns, its invisible isolates not counted."""
    return text + " " * (width - len(strip_bidi(text)))


def _summary_lines(result: Audit) -> list[str]:
    names = {name: _plain(result, name) for name in result.paths}
    width = max([len(strip_bidi(name)) for name in names.values()] + [len("composite")]) + 2
    lines = [
        f"Audit of {result.rows} rows: {len(result.indicators)} indicators in {len(result.coherence)} dimensions",
        "",
        f"{'Coherence':<{width}}  indicators  alpha  std. alpha  first component",
    ]
    for row in _records(result.coherence):
        lines.append(
            f"  {_left(names[row['dimension']], width - 2)}  {row['indicators']:>10}  {_fmt(row['cronbach_alpha']):>5}"
            f"  {_fmt(row['standardized_alpha']):>10}  {_fmt(row['first_component_share']):>15}"
        )
    lines += ["", f"{'Weights':<{width}}  nominal  equal  effective"]
    signs = result.directions()
    equal = dict(zip(result.dimensions["dimension"], result.dimensions["equal_weight"]))
    for row in _records(result.effective_weights):
        lines.append(
            f"  {_left(names[row['dimension']], width - 2)}  {_fmt(row['weight'], 3):>7}"
            f"  {_fmt(equal.get(row['dimension']), 3):>5}"
            f"  {_fmt(row['effective_weight'], 3):>9}"
            + ("  lowers the index" if signs[row["dimension"]] < 0 else "")
        )
    if result.links is not None:
        lines += ["", f"{'Links':<{width}}  Pearson  Spearman  (with the composite)"]
        for row in _records(result.links[result.links["measure"] == "composite"]):
            lines.append(
                f"  {_left(isolate(row['external']), width - 2)}  {_fmt(row['pearson']):>7}  {_fmt(row['spearman']):>8}"
            )
    findings = _findings(result)
    lines += ["", "Findings:"] + ([f"- {text}" for text in findings] if findings else ["none"])
    return lines


def _findings(result: Audit) -> list[str]:
    found = []
    for row in _records(result.indicators):
        flags = [
            text
            for flag, text in (
                (row["constant"], "is constant"),
                (row["few_distinct"], f"has only {row['distinct']} distinct values"),
                (
                    row["needs_treatment"],
                    f"is skewed and heavy-tailed (skew {fixed(row['skew'], 1)}, kurtosis {fixed(row['kurtosis'], 1)})",
                ),
                (row["missing_share"] > 0, f"misses {row['missing_share']:.0%} of its values"),
                (row.get("imputed", 0) > 0, f"has {row.get('imputed')} values imputed"),
                (row.get("winsorized", 0) > 0, f"has {row.get('winsorized')} values winsorised"),
            )
            if flag
        ]
        if flags:
            found.append(f"{isolate(row['indicator'])} ({_plain(result, row['dimension'])}) " + ", ".join(flags))
    for name, matrix in result.correlations.items():
        labels, values = list(matrix.columns), matrix.to_numpy()
        for i in range(len(labels)):
            for j in range(i + 1, len(labels)):
                if values[i, j] < _NEGATIVE_R:
                    found.append(
                        f"{isolate(labels[i])} and {isolate(labels[j])} ({_plain(result, name)}) correlate "
                        f"negatively once their directions are applied (r = {fixed(values[i, j], 2)}): "
                        "check the directions"
                    )
    for row in _records(result.coefficients[result.coefficients["abnormal"]]):
        found.append(
            f"the coefficient of {isolate(row['index'])} ({_plain(result, row['dimension'])}) is abnormal "
            f"({fixed(row['coef'], 3)})"
        )
    for row in _records(result.effective_weights):
        if row["weight"] and abs(row["difference"]) > _PARTING * row["weight"]:
            found.append(
                f"{_plain(result, row['dimension'])} has an effective weight of {fixed(row['effective_weight'], 3)} "
                f"against a nominal {fixed(row['weight'], 3)}"
            )
    if result.agreement is not None:
        found += agreement_findings(result.agreement, result.paths)
    return found + result.notes


def audit(
    model: Any,
    data: pd.DataFrame,
    *,
    external: pd.DataFrame | pd.Series | None = None,
    preparation: Preparation | None = None,
) -> Audit:
    """Check a fitted index the way a methodological review would.

    Parameters
    ----------
    model : indexfuse.indexpca_diment
        A fitted model.
    data : pandas.DataFrame
        The rows to audit, usually the table the model was fitted on; it must
        hold every column the model uses.
    external : pandas.DataFrame or pandas.Series, optional
        Other measures over the same rows (matched by row label), for example
        income per head: the audit then correlates the composite and each
        dimension with each of them.
    preparation : Preparation, optional
        The treatment the model was fitted after. ``data`` is then the raw
        table: the preparation is replayed on it and the rows it keeps are
        audited; the indicator table gains ``imputed`` and ``winsorized``
        (values the replay changed) and ``transform`` (its kind, or ``""``),
        and its ``count`` and ``missing_share`` are those of the raw table.

    Returns
    -------
    Audit
        The tables described there; ``str()`` of it is a short summary and
        :meth:`Audit.to_excel` writes them all to one workbook.

    Raises
    ------
    TypeError
        If ``model`` is not a model or ``data`` not a DataFrame, or
        ``external`` is neither a DataFrame nor a Series, or
        ``preparation`` is not a :class:`Preparation`.
    ValueError
        If the model is not fitted, ``data`` lacks a column the model uses
        or no row of it has a composite (the table is empty, or every row
        lacks every indicator of some dimension), or ``external`` shares no
        row label with ``data``, repeats one, or holds a column that is not
        numeric; with ``external`` or ``preparation``, if ``data`` repeats a
        row label (rows matched by label could not be told apart).
    KeyError
        If ``data`` lacks an indicator column of ``preparation``.

    Notes
    -----
    Information values come from the model's own ``compute_dim_weight`` on
    the audited rows, at the entropy resolution the model was fitted at (its
    baseline ``min_ent`` is ``log(resolution)``), whatever resolution is in
    effect at the call; on the training table they are the ones the fit
    weighted with. They are read on the rows with a value for every
    dimension of a level, with ``k`` lowered to one less than their number
    as ``fit`` lowers it; :attr:`Audit.notes` says what was left out. The
    effective weight of a dimension is its squared correlation with the
    composite, normalised over the dimensions: it shows how much of the
    ranking each dimension actually drives, which differs from its nominal
    weight when dimensions differ in spread or correlate with each other.

    Examples
    --------
    >>> import indexfuse, indexfuse_tools
    >>> import statsmodels.api as sm
    >>> data = sm.datasets.statecrime.load_pandas().data
    >>> model = indexfuse.indexpca_diment({"safety": [("violent", -1), ("murder", -1)],
    ...                                    "schooling": ["hs_grad"]})
    >>> model.fit(data)
    >>> result = indexfuse_tools.audit(model, data, external=data["urban"])
    >>> print(result.coherence[["dimension", "indicators", "standardized_alpha"]].round(2).to_string(index=False))
    dimension  indicators  standardized_alpha
       safety           2                0.93
    schooling           1                 NaN
    >>> round(float(result.effective_weights["effective_weight"].sum()), 12)
    1.0
    """
    treated = None if preparation is None else treat(as_frame(data), preparation, "audit(preparation=...)", model)
    return scored_audit(model, data, external, treated)[0]


def _check_composite(composite: pd.Series, data: pd.DataFrame) -> None:
    if len(data) == 0:
        raise ValueError("the data have no rows: there is nothing to audit")
    if composite.isna().all():
        raise ValueError(
            f"none of the {len(data)} row(s) has a composite: each lacks every indicator of some dimension, "
            "so no weight, correlation or rank can be computed; fill the missing values "
            "(indexfuse_tools.prepare) or audit rows that have them"
        )


def scored_audit(
    model: Any,
    data: pd.DataFrame,
    external: pd.DataFrame | pd.Series | None = None,
    treated: Treated | None = None,
) -> tuple[Audit, tuple[pd.Series, Any]]:
    """:func:`audit`, and the model's scores of ``data`` it was read from.

    With ``treated`` (the preparation replayed on ``data``), the prepared
    rows are audited and scored, and the indicator table says what the
    treatment did.

    Returns
    -------
    Audit
        As :func:`audit` returns it.
    tuple of pandas.Series and nested dict
        The composite and the dimension-value tree of ``model.score(data)``,
        for a caller that shows the scores too and should not score the rows
        a second time.
    """
    if treated is not None:
        data = treated.prepared
    _check_inputs(model, data)
    _check_names(model.index_coef)
    if external is not None:
        # The outside measures are matched to the rows by label: a repeated label would give both rows one value.
        unique_units(data.index, "audit(external=...)")
    composite, values = model.score(data)
    if not isinstance(composite, pd.Series):
        raise ValueError("the model's weights give no composite (no dimension carries a number weight)")
    _check_composite(composite, data)
    dimensions = walk(model, values)
    matrices, coherence, members = _coherence(model, data, dimensions, composite)
    links = None
    if external is not None:
        measures = {"composite": composite}
        for dimension in dimensions:
            if dimension.value is not None:
                measures[dimension.name] = dimension.value * dimension.sign
        links = _link_rows(measures, _external_frame(external, data.index))
    information, notes = _dimension_rows(model, values)
    result = Audit(
        rows=len(data),
        indicators=_indicator_rows(data, dimensions)
        if treated is None
        else _treatment_rows(_indicator_rows(data, dimensions), treated),
        correlations=matrices,
        coherence=coherence,
        indicator_correlations=members,
        coefficients=_coefficient_rows(model, dimensions),
        dimensions=information,
        effective_weights=_effective_rows(dimensions, composite),
        links=links,
        paths=_paths(model.index_coef),
        notes=_missing_notes(dimensions) + notes,
        agreement=agreement_rows(values, model.dim_weight, _equal_tree(model)),
    )
    return result, (composite, values)
