"""Editions of an index: the checks on what is given, the baseline's fit, the scoring of every edition."""

from __future__ import annotations

from collections.abc import Hashable, Mapping
from typing import Any, cast

import numpy as np
import pandas as pd

import indexfuse
from indexfuse_tools._core import (
    period_order,
    as_frame,
    check_dimension_names,
    check_scale,
    indicators,
    over_editions,
    same_label,
    show,
    unique_units,
    walk,
)
from indexfuse_tools._editions.distributed import gathered_editions, is_dask_frame
from indexfuse_tools._editions.result import Editions, Scored
from indexfuse_tools._preparation import OVER_TIME, Preparation, prepare
from indexfuse_tools._results import Treated

__all__ = ["BASELINES", "editions", "period_order", "split_editions"]

#: The baselines an index's editions can be scored against.
BASELINES = ("pooled", "reference", "refit")

_FUNCTION = "editions()"


def editions(
    model_or_schema: Any,
    data: pd.DataFrame | Mapping[Any, pd.DataFrame],
    *,
    period: Hashable,
    unit: Hashable | None = None,
    baseline: str = "pooled",
    reference: Any = None,
    preparation: Preparation | Mapping[str, Any] | None = None,
    scale: str | None = None,
    **model_args: Any,
) -> Editions:
    """Score every edition of an index against one baseline, so that editions compare.

    An index that comes out year after year is only comparable across
    years if every edition is scored with the same scaling statistics,
    coefficients and weights. Refitting each year moves all three with the
    data, and a 0..100 rescale per year hides real change; this function
    fixes the baseline once and says where comparing still needs care.

    Parameters
    ----------
    model_or_schema : dict, list, tuple or indexfuse.indexpca_diment
        The schema of the model to fit (as ``indexpca_diment`` takes it), or
        a model already fitted, which then scores every edition as it
        stands (the baseline is reported as ``"given"``).
    data : pandas.DataFrame or mapping
        A long table with a ``period`` column and one row per unit and
        period, the units named by the ``unit`` column or, when ``unit`` is
        None, by the row labels; or a mapping ``{period: DataFrame}`` whose
        frames name their units by their row labels. Never modified.
    period : column label
        The column holding the editions' labels: years, dates or any labels
        that sort. A categorical column's editions follow the order of its
        categories (``Jan``, ``Feb``, ``Mar``), ordered or not; text labels
        follow natural order, in which a run of digits counts as a number
        (``FY9``, ``FY10``, ``FY11``; text without digits, or with digits
        of one width such as ``2019Q1``, sorts as text). With a mapping, its
        keys are put in order by the same rules, and ``period`` only names
        the level of the results' index, which is always ``"period"``.
    unit : column label, optional
        The column naming the units in a long table (not the period column).
    baseline : {"pooled", "reference", "refit"}, default "pooled"
        ``"pooled"``: one model fitted on all editions stacked, the usual
        choice for comparability; ``"reference"``: one model fitted on the
        edition ``reference`` and every edition scored with it (a frozen
        baseline); ``"refit"``: one model per edition, whose composites do
        not compare across editions (ranks do), as every comparison of the
        object says. Ignored with a fitted model.
    reference : period label, optional
        With ``baseline="reference"``: the edition to fit on (the first by
        default).
    preparation : Preparation or dict, optional
        A :class:`Preparation` is replayed on every edition as it is. A dict
        holds :func:`prepare`'s keyword arguments (``impute``, ``group``,
        ``transform``, ``winsorize``, ``min_present``,
        ``min_present_total``, and over time ``max_gap`` and ``fallback``):
        the rules are learnt where the model is fitted (on the stacked
        editions for ``"pooled"``, on the reference edition for
        ``"reference"``, on each edition for ``"refit"``) and replayed on
        every edition, so that treatment does not break comparability
        either. The preparation names the unit column and the period
        column by their labels here (``group="state"`` with
        ``unit="state"``). A preparation that fills gaps over time
        (``impute="carry"`` or ``"interpolate"``; its ``period`` and
        ``unit`` default to those given here) is replayed on all the
        editions at once, so that a unit's gap is filled from its own
        neighbouring editions; as a dict it is learnt on the stacked
        editions, so only with ``"pooled"``.
    scale : {"0-100"}, optional
        Adds a ``"score"`` column: the composite on 0..100, fixed once over
        the composites of all editions together (never per edition), so
        that a unit's score moves only when its composite does.
    **model_args
        The model's constructor arguments (``scale_method``,
        ``pca_cumulative``, ``ent_k``); not with a fitted model.

    Returns
    -------
    Editions
        The results of every edition, the model(s), the comparability
        findings, each unit's trajectory and the attribution of a change.

    Raises
    ------
    ValueError
        Before any fitting: an unknown ``baseline`` or ``scale``; a period
        column with missing or unsortable labels; a ``unit`` that names the
        period column, or a unit column (or row labels) with missing
        labels; a unit repeated within a period (a few pairs named); an
        edition with fewer than 2 rows; a ``reference`` that is not a period
        (or given without ``baseline="reference"``); a dict ``preparation``
        with a fitted model, or one that fills gaps over time with a
        baseline other than ``"pooled"``; two dimensions of the schema that
        read alike in the results (see :func:`check`). Learning the preparation or
        fitting the model on an edition, and replaying the preparation on
        one, fail with a message that names the edition.
    KeyError
        If ``period`` or ``unit`` is not a column, or the frames of a
        mapping lack indicator columns that others have (named per period).
    TypeError
        If ``data`` is neither a DataFrame nor a mapping of DataFrames, or
        ``model_args`` come with a fitted model.

    See Also
    --------
    Editions.change : the exact attribution of a unit's change.
    results, contributions, prepare

    Examples
    --------
    >>> import pandas as pd
    >>> from indexfuse_tools import editions
    >>> data = pd.DataFrame({
    ...     "year": [2020] * 4 + [2021] * 4,
    ...     "region": ["n", "s", "e", "w"] * 2,
    ...     "gdp": [1.0, 2.0, 3.0, 4.0, 1.5, 2.0, 3.5, 3.0],
    ...     "crime": [4.0, 3.0, 2.5, 1.0, 3.5, 3.0, 2.0, 1.5]})
    >>> ed = editions({"economy": ["gdp"], "safety": [("crime", -1)]}, data,
    ...               period="year", unit="region")
    >>> ed
    Editions(2 periods 2020..2021, 4 units, baseline='pooled')
    >>> ed.results.loc[2021, "rank_change"].tolist()
    [0.0, 0.0, 1.0, -1.0]
    >>> terms = ed.change(2020, 2021)
    >>> bool(abs(terms.loc["n", "change"] - terms.loc["n", ed.terms].sum()) < 1e-12)
    True
    """
    check_scale(scale)
    given = isinstance(model_or_schema, indexfuse.indexpca_diment)
    if given:
        _check_given(model_or_schema, preparation, model_args)
        baseline = "given"
    elif baseline not in BASELINES:
        raise ValueError(f"baseline must be one of {show(BASELINES)}, got {baseline!r}")
    if reference is not None and baseline != "reference":
        raise ValueError(
            f"reference={reference!r} names the edition to fit on, which only baseline='reference' uses "
            f"(baseline is {baseline!r})"
        )
    if preparation is not None and not isinstance(preparation, (Preparation, Mapping)):
        raise TypeError(
            "preparation must be a Preparation, a dict of prepare()'s keyword arguments or None, "
            f"got {type(preparation).__name__}"
        )
    if unit is not None and same_label(unit, period):
        raise ValueError(
            f"{_FUNCTION}: unit={unit!r} names the period column: the units need a column of their own "
            "(or, with unit=None, the row labels)"
        )
    # The treatment knows the unit and period by the caller's labels, as index levels.
    levels = (period, "unit" if unit is None else unit)
    preparation = _over_time_options(preparation, baseline, levels)
    order = _categories(data, period) if is_dask_frame(data) else None
    data = gathered_editions(data, period, unit) if is_dask_frame(data) else data
    frames, in_order = split_editions(data, period, unit, order)
    periods = list(frames)
    if baseline == "reference":
        reference = _reference(reference, periods)
    schema = model_or_schema.schema if given else model_or_schema
    check_dimension_names(node.path for node in walk(schema) if node.depth > 0)
    _check_columns(schema, frames)

    models: dict[Any, indexfuse.indexpca_diment] = {}
    preparations: dict[Any, Preparation | None] = {}
    # A preparation over time is replayed on every edition at once: a gap is filled from the unit's other editions.
    replayed = preparation if isinstance(preparation, Preparation) and preparation.over_time else None
    over_time = _treated_over_time(frames, replayed, levels) if replayed is not None else None
    if given:
        models = dict.fromkeys(periods, model_or_schema)
        preparations = dict.fromkeys(periods, preparation if isinstance(preparation, Preparation) else None)
    elif baseline == "refit":
        for key, frame in frames.items():
            basis = over_time[key].prepared if over_time else named(frame, levels[1]) if preparation else frame
            models[key], learnt = _fit(schema, basis, None if over_time else preparation, model_args,
                                       f"the {key!r} edition")  # fmt: skip
            preparations[key] = replayed or learnt
    else:
        if over_time:
            basis = stack({key: treated.prepared for key, treated in over_time.items()}, levels)
            if baseline == "reference":
                basis = over_time[reference].prepared
        elif baseline == "pooled":
            # A table already in period order is the stacked editions as it stands: no copy to fit on.
            basis = in_order if in_order is not None and preparation is None else stack(frames, levels)
        else:
            basis = named(frames[reference], levels[1]) if preparation is not None else frames[reference]
        where = "the stacked editions" if baseline == "pooled" else f"the reference edition {reference!r}"
        model, learnt = _fit(schema, basis, None if over_time else preparation, model_args, where)
        models = dict.fromkeys(periods, model)
        preparations = dict.fromkeys(periods, replayed or learnt)
        if learnt is not None and learnt.over_time and over_time is None:
            over_time = _treated_over_time(frames, learnt, levels)
    scored = {
        key: Scored.of_treated(models[key], over_time[key]) if over_time
        else _scored(models[key], named(frames[key], levels[1]) if preparations[key] else frames[key],
                     preparations[key], key)
        for key in periods
    }  # fmt: skip
    return Editions(
        frames=frames,
        models=models,
        preparations=preparations,
        scored=scored,
        baseline=baseline,
        reference=reference,
        presentation=over_editions({key: s.table["composite"] for key, s in scored.items()}, scale),
    )


def stack(frames: Mapping[Any, pd.DataFrame], names: tuple[Hashable, Hashable] = ("period", "unit")) -> pd.DataFrame:
    """The editions one under the other, indexed by (period, unit), the levels named ``names``."""
    return pd.concat(list(frames.values()), keys=list(frames), names=list(names))


def named(frame: pd.DataFrame, unit: Hashable) -> pd.DataFrame:
    """An edition whose row labels are named as the caller names the unit column (not a copy of its values)."""
    return frame if frame.index.name == unit else frame.rename_axis(cast(Any, unit))


def _treated_over_time(
    frames: Mapping[Any, pd.DataFrame], preparation: Preparation, levels: tuple[Hashable, Hashable]
) -> dict[Any, Treated]:
    """``preparation`` replayed on all the editions stacked, split back into one treatment per edition."""
    whole = stack(frames, levels)
    try:
        prepared, log = preparation.apply(whole)
    except (ValueError, KeyError) as error:
        raise _in_edition(error, "replaying the preparation on the stacked editions failed") from error
    rows = log["row"].tolist()
    periods = pd.Index([row[0] for row in rows], dtype=object)
    units = np.empty(len(rows), dtype=object)
    units[:] = [row[1] for row in rows]
    kept = prepared.index.get_level_values(0)
    treated = {}
    for key, frame in frames.items():
        mine = np.asarray(periods == key, dtype=bool)
        part = log[mine].assign(row=units[mine]).reset_index(drop=True)
        edition = prepared[np.asarray(kept == key, dtype=bool)].droplevel(0)
        treated[key] = Treated(named(frame, levels[1]), edition, part, preparation)
    return treated


def _over_time_options(preparation: Any, baseline: str, levels: tuple[Hashable, Hashable]) -> Any:
    """``prepare``'s options with the period and unit given here, for a fill over time; else as they are."""
    if not isinstance(preparation, Mapping) or preparation.get("impute") not in OVER_TIME:
        return preparation
    if baseline != "pooled":
        raise ValueError(
            f"{_FUNCTION}: impute={preparation['impute']!r} fills a unit's gaps from its other editions, so it is "
            f"learnt on the stacked editions, which baseline={baseline!r} does not fit on; use baseline='pooled', "
            "or learn it with prepare() on the long table and pass the Preparation"
        )
    return {"period": levels[0], "unit": levels[1], **preparation}


def split_editions(
    data: pd.DataFrame | Mapping[Any, pd.DataFrame],
    period: Hashable,
    unit: Hashable | None,
    order: list[Any] | None = None,
) -> tuple[dict[Any, pd.DataFrame], pd.DataFrame | None]:
    """``{period: frame indexed by unit}``, periods in order, after every check on the editions.

    The frames are new objects: the caller's table is never modified
    through them. The second value is the caller's long table when its
    rows already come edition after edition, in period order (so that it
    is the stacked editions), else None. ``order`` gives the periods'
    order of a mapping whose keys came from a categorical column (see
    :func:`period_order`).
    """
    in_order = None
    if isinstance(data, Mapping):
        frames = _from_mapping(data, order)
    else:
        frames, ordered = _from_long(as_frame(data), period, unit)
        in_order = data if ordered else None
    thin = [key for key, frame in frames.items() if len(frame) < 2]
    if thin:
        raise ValueError(
            f"{_FUNCTION}: every edition needs at least 2 units to be scored, and edition(s) "
            f"{show(thin)} have fewer"
        )
    return frames, in_order


def _from_long(
    frame: pd.DataFrame, period: Hashable, unit: Hashable | None
) -> tuple[dict[Any, pd.DataFrame], bool]:
    if period not in frame.columns:
        raise KeyError(f"{_FUNCTION}: period={period!r} is not a column of data")
    if unit is not None and unit not in frame.columns:
        raise KeyError(f"{_FUNCTION}: unit={unit!r} is not a column of data")
    labels = frame[period]
    if labels.isna().any():
        rows = frame.index[labels.isna().to_numpy()].tolist()
        raise ValueError(f"{_FUNCTION}: the period column {period!r} has missing labels, in rows {show(rows)}")
    units = frame.index.to_series(index=frame.index) if unit is None else frame[unit]
    holder = "the row labels have" if unit is None else f"the unit column {unit!r} has"
    if units.isna().any():
        rows = frame.index[units.isna().to_numpy()].tolist() if unit is not None else []
        where = f", in rows {show(rows)}" if rows else ""
        raise ValueError(f"{_FUNCTION}: {holder} missing labels{where}; every row must name its unit")
    codes, uniques = pd.factorize(labels)
    categories = labels.cat.categories.tolist() if isinstance(labels.dtype, pd.CategoricalDtype) else None
    periods = _ordered(pd.Index(uniques).tolist(), f"the period column {period!r}", categories)
    _no_repeats(codes, labels, units)
    # One stable sort of the codes keeps each edition's rows in the order the table gives them.
    by_code = np.argsort(codes, kind="stable")
    bounds = np.searchsorted(codes[by_code], np.arange(len(uniques) + 1))
    positions = {
        label: by_code[bounds[code] : bounds[code + 1]] for code, label in enumerate(pd.Index(uniques).tolist())
    }
    columns = [position for position, label in enumerate(frame.columns) if label not in (period, unit)]
    frames = {}
    together = True
    for key in periods:
        at: Any = positions[key]
        if at[-1] - at[0] + 1 == len(at):
            # An edition whose rows are together is a slice of the table, not a copy of its rows.
            at = slice(int(at[0]), int(at[-1]) + 1)
        else:
            together = False
        edition = frame.iloc[at, columns]
        edition.index = pd.Index(units.iloc[at], name="unit")
        frames[key] = edition
    starts = [int(positions[key][0]) for key in periods]
    return frames, together and starts == sorted(starts)


def _no_repeats(codes: np.ndarray, labels: pd.Series, units: pd.Series) -> None:
    """``ValueError`` naming a few (period, unit) pairs that ``units`` repeats within a period."""
    unit_codes, unit_labels = pd.factorize(units)
    pairs = codes.astype(np.int64) * (len(unit_labels) + 1) + unit_codes
    repeated = pd.Series(pairs).duplicated(keep="first").to_numpy()
    if not repeated.any():
        return
    named = list(dict.fromkeys(zip(labels[repeated].tolist(), units[repeated].tolist())))
    raise ValueError(
        f"{_FUNCTION}: each unit may appear once per period, and {len(named)} (period, unit) pair(s) "
        f"repeat: {show(named, 3)}"
    )


def _from_mapping(data: Mapping[Any, pd.DataFrame], order: list[Any] | None = None) -> dict[Any, pd.DataFrame]:
    periods = _ordered(list(data), "the mapping's keys", order)
    frames = {}
    for key in periods:
        frame = data[key]
        if not isinstance(frame, pd.DataFrame):
            raise TypeError(f"{_FUNCTION}: edition {key!r} is a {type(frame).__name__}, not a DataFrame")
        if frame.index.hasnans:
            raise ValueError(f"{_FUNCTION}: the row labels of edition {key!r} have missing labels; each row names its unit")
        unique_units(frame.index, _FUNCTION, f"edition {key!r}")
        edition = frame.copy(deep=False)
        edition.index = edition.index.rename("unit")
        frames[key] = edition
    return frames


# A run of ASCII digits, read as a number when periods are put in order.
def _ordered(labels: list[Any], holder: str, categories: list[Any] | None) -> list[Any]:
    """:func:`period_order`, a refusal naming this function."""
    try:
        return period_order(labels, holder, categories)
    except ValueError as error:
        raise ValueError(f"{_FUNCTION}: {error}") from None


def _categories(data: Any, period: Hashable) -> list[Any] | None:
    """The categories of a Dask table's categorical period column, in their order, when known."""
    try:
        dtype = data.dtypes[period]
    except (KeyError, TypeError):
        return None
    if not isinstance(dtype, pd.CategoricalDtype) or dtype.categories is None:
        return None
    categories = dtype.categories.tolist()
    # Dask marks categories it has not read yet with a placeholder.
    return None if "__UNKNOWN_CATEGORIES__" in categories else categories


def _reference(reference: Any, periods: list[Any]) -> Any:
    if reference is None:
        return periods[0]
    if reference not in periods:
        raise ValueError(f"{_FUNCTION}: reference={reference!r} is not a period; the periods are {show(periods)}")
    return reference


def _check_given(model: Any, preparation: Any, model_args: dict[str, Any]) -> None:
    if not hasattr(model, "index_coef"):
        raise ValueError(f"{_FUNCTION}: the model given is not fitted: call fit(data) first, or pass its schema")
    if model_args:
        raise TypeError(
            f"{_FUNCTION}: {show(sorted(model_args))} configure a model to fit; the model given is fitted already"
        )
    if preparation is not None and not isinstance(preparation, Preparation):
        raise ValueError(
            f"{_FUNCTION}: with a fitted model nothing is learnt, so preparation must be the Preparation "
            "it was fitted after (or None), not prepare()'s arguments"
        )


def _check_columns(schema: Any, frames: Mapping[Any, pd.DataFrame]) -> None:
    """``KeyError`` naming, per edition, the indicator columns it lacks and other editions have."""
    union = list(dict.fromkeys(label for frame in frames.values() for label in frame.columns))
    needed = indicators(schema, union)
    lacking = {}
    for key, frame in frames.items():
        absent = [label for label in needed if label not in frame.columns]
        if absent:
            lacking[key] = absent
    if lacking:
        named = "; ".join(f"edition {key!r} lacks {show(labels)}" for key, labels in list(lacking.items())[:5])
        raise KeyError(
            f"{_FUNCTION}: every edition needs the indicator columns the schema names: {named}"
            + (f" ({len(lacking)} editions in all)" if len(lacking) > 5 else "")
            + "; an indicator not collected in an edition is a column of missing values there"
        )


def _fit(
    schema: Any, frame: pd.DataFrame, preparation: Any, model_args: dict[str, Any], where: str
) -> tuple[indexfuse.indexpca_diment, Preparation | None]:
    """A model fitted on ``frame`` (``where``, as a message names it) and the preparation it was fitted after."""
    try:
        if isinstance(preparation, Mapping):
            # prepare() returns its own replay, so the model is fitted on what apply() gives.
            fitted_on, _, preparation = prepare(schema, frame, **dict(preparation))
        elif preparation is not None:
            fitted_on = preparation.apply(frame)[0]
        else:
            fitted_on = frame
    except (ValueError, KeyError) as error:
        raise _in_edition(error, f"preparing {where} failed") from error
    model = indexfuse.indexpca_diment(schema, **model_args)
    try:
        model.fit(fitted_on)
    except ValueError as error:
        hint = (
            "; pass preparation={'impute': 'median'} (or another of prepare()'s treatments) to fill the gaps "
            "where the model is fitted"
            if "missing" in str(error) and preparation is None
            else ""
        )
        raise ValueError(f"{_FUNCTION}: fitting on {where} failed: {error}{hint}") from error
    return model, preparation


def _scored(model: Any, frame: pd.DataFrame, preparation: Preparation | None, key: Any) -> Scored:
    """The edition ``key`` scored, a failure naming it."""
    try:
        return Scored.of(model, frame, preparation)
    except (ValueError, KeyError) as error:
        raise _in_edition(error, f"scoring the edition {key!r} failed") from error


def _in_edition(error: ValueError | KeyError, what: str) -> ValueError | KeyError:
    """``error`` again, of its own kind, its message led by ``what`` (which edition, doing what)."""
    # A KeyError's text is the repr of its argument: read the argument itself.
    message = error.args[0] if isinstance(error, KeyError) and len(error.args) == 1 else error
    return type(error)(f"{_FUNCTION}: {what}: {message}")
