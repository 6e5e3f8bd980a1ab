"""The scores of a table as one tidy frame."""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

import indexfuse

from indexfuse_tools._core import (
    as_frame,
    as_model,
    as_share,
    at,
    check_dimension_names,
    check_scale,
    coefficient_tables,
    dimension_name,
    fingerprint,
    fitted,
    presentation,
    replace_at,
    show,
    split_key,
    unique_units,
    weight_leaves,
)

if TYPE_CHECKING:
    from indexfuse_tools._core import Presentation
    from indexfuse_tools._preparation import Preparation

__all__ = [
    "DOUBLE_TREATMENT_TOLERANCE",
    "Treated",
    "refuse_double_treatment",
    "refuse_marked",
    "results",
    "scores_of",
    "treat",
    "with_presentation",
    "with_score",
]

#: How far past the range the model was fitted on (as a share of that range,
#: on each side) a value still counts as inside it, for the test of a table
#: treated twice (see :func:`refuse_double_treatment`).
DOUBLE_TREATMENT_TOLERANCE = 0.1


@dataclass(frozen=True)
class Treated:
    """A raw table and what replaying a preparation on it gave.

    Attributes
    ----------
    raw : pandas.DataFrame
        The table as given.
    prepared : pandas.DataFrame
        The rows the preparation kept, treated.
    log : pandas.DataFrame
        The replay's log: ``step``, ``column``, ``row``, ``before``,
        ``after``, ``detail``.
    preparation : Preparation
        The rules replayed.
    """

    raw: pd.DataFrame
    prepared: pd.DataFrame
    log: pd.DataFrame
    preparation: Preparation

    @property
    def dropped(self) -> pd.DataFrame:
        """The log's ``"drop"`` rows: one per unit left out, with why."""
        return self.steps("drop")

    def steps(self, step: str) -> pd.DataFrame:
        """The log's rows of one step."""
        return self.log[self.log["step"] == step]

    def per_row(self, step: str) -> pd.Series:
        """How many values ``step`` changed in each row of the raw table."""
        counts = self.steps(step)["row"].value_counts()
        return counts.reindex(self.raw.index, fill_value=0).astype(np.int64)

    def per_indicator(self, step: str) -> pd.Series:
        """How many values ``step`` changed in each indicator, over every one the preparation knows."""
        counts = self.steps(step)["column"].value_counts()
        return counts.reindex(list(self.preparation.indicators), fill_value=0).astype(np.int64)

    def marked(self, step: str) -> pd.DataFrame:
        """Over the raw table's rows and the preparation's indicators: whether ``step`` changed the cell."""
        indicators = list(self.preparation.indicators)
        marks = pd.DataFrame(False, index=self.raw.index, columns=indicators)
        for row, column in zip(self.steps(step)["row"], self.steps(step)["column"]):
            marks.loc[row, column] = True
        return marks


def treat(data: pd.DataFrame, preparation: Preparation, function: str, model: Any = None) -> Treated:
    """Replay ``preparation`` on the raw table ``data`` for ``function`` (``"report()"``).

    With the fitted ``model`` the preparation comes with, a table that was
    prepared already is refused (:func:`refuse_double_treatment`).

    Raises
    ------
    TypeError
        If ``preparation`` is not a :class:`Preparation`.
    ValueError
        If ``data`` repeats a row label (the treatment of a row is told by
        its label), or looks prepared already.
    """
    from indexfuse_tools._preparation import Preparation

    if not isinstance(preparation, Preparation):
        raise TypeError(
            f"{function}: preparation must be the Preparation that prepare(schema, data) returns or "
            f"Preparation.load(path) reads, or None; got {type(preparation).__name__}"
        )
    unique_units(data.index, function)
    refuse_marked(data, preparation, function)
    prepared, log = preparation.apply(data)
    treated = Treated(data, prepared, log, preparation)
    if model is not None:
        refuse_double_treatment(model, treated, function)
    return treated


def refuse_marked(data: pd.DataFrame, preparation: Preparation, function: str) -> None:
    """``ValueError`` when ``data`` carries the mark of a prepared table and ``preparation`` transforms some of it.

    Imputation, winsorisation and the availability thresholds give the same
    table when replayed twice; a transform does not (a log of a log).
    """
    from indexfuse_tools._preparation import PREPARED_MARK

    transformed = [label for label in preparation.transforms if label in data.columns]
    if PREPARED_MARK not in data.attrs or not transformed:
        return
    raise ValueError(
        f"{function}: the table looks already prepared: it carries the mark that prepare() and "
        f"Preparation.apply() leave on the tables they return (DataFrame.attrs[{PREPARED_MARK!r}]), and "
        f"replaying the preparation would transform {show(transformed)} a second time; pass the raw table "
        "with preparation=..., or this table without it"
    )


def fitted_ranges(model: Any) -> dict[Any, tuple[float, float, float]]:
    """``{indicator: (low, high, direction)}``: the range each indicator was fitted on, in the direction it is scaled."""
    ranges: dict[Any, tuple[float, float, float]] = {}
    for node in coefficient_tables(fitted(model, "index_coef")):
        for key, record in node.value.items():
            label, direction = split_key(key)
            ranges.setdefault(label, (float(record["min"]), float(record["max"]), float(direction)))
    return ranges


def refuse_double_treatment(model: Any, treated: Treated, function: str) -> None:
    """``ValueError`` naming an indicator that ``treated`` looks to have transformed a second time.

    The rule: an indicator is taken as treated twice when the preparation
    transforms it and, with the range the model was fitted on widened by
    :data:`DOUBLE_TREATMENT_TOLERANCE` (a tenth) of its span on each side,

    - more than half of its non-missing values after the replay lie outside
      that range, and
    - more than half of its non-missing values as given lie inside it.

    The values given then look like what the model was fitted on, and the
    replay moved them away from it: a log of values already logged. A new
    edition of raw data has values outside the fitted range too (a frozen
    reference baseline, a trend), but its values as given are raw, not on
    the transformed scale, so the second condition does not hold; an
    indicator the preparation does not transform cannot be treated twice
    (imputation and winsorisation give the same values when replayed).
    """
    if not isinstance(model, indexfuse.indexpca_diment) or not hasattr(model, "index_coef"):
        return  # what is wrong with it is said where the model is used
    raw, prepared, preparation = treated.raw, treated.prepared, treated.preparation
    for label, (low, high, direction) in fitted_ranges(model).items():
        if label not in preparation.transforms or label not in raw.columns or label not in prepared.columns:
            continue
        span = high - low
        if not span > 0:
            continue
        margin = DOUBLE_TREATMENT_TOLERANCE * span

        def inside(values: pd.Series) -> tuple[float, int]:
            numbers = pd.to_numeric(values, errors="coerce").to_numpy(dtype=np.float64, na_value=np.nan) * direction
            present = numbers[~np.isnan(numbers)]
            if not present.size:
                return 1.0, 0
            return float(((present >= low - margin) & (present <= high + margin)).mean()), int(present.size)

        before, _ = inside(raw[label])
        after, count = inside(prepared[label])
        if count and after < 0.5 and before > 0.5:
            lowest, highest = sorted((low * direction, high * direction))
            raise ValueError(
                f"{function}: the table looks already prepared: after the preparation is replayed, {1 - after:.0%} "
                f"of the values of {label!r} lie outside the range the model was fitted on ({lowest:.4g} to "
                f"{highest:.4g}), while {before:.0%} of the values given lie inside it, as values the preparation "
                "has transformed already do; pass the raw table with preparation=..., or the prepared table "
                "without it"
            )


def results(
    model: Any,
    data: pd.DataFrame,
    *,
    min_present: float | None = None,
    preparation: Preparation | None = None,
    scale: str | None = None,
) -> pd.DataFrame:
    """Composite, rank, dimension values and missing counts of every row of ``data``.

    Parameters
    ----------
    model : indexfuse.indexpca_diment
        A fitted model.
    data : pandas.DataFrame
        The table to score (the one fitted on, or any with the same columns).
    min_present : float, optional
        A share in (0, 1]: a row in which a dimension has fewer of its
        indicators present than this share gets NaN for that dimension, and
        so for the composite, instead of the value the model computes from
        the indicators it has. By default every row is scored as ``score``
        scores it: a missing indicator counts as the bottom of its scale (or
        its mean, with ``"z_score"``), and only a dimension whose
        indicators are all missing is NaN.
    preparation : Preparation, optional
        The treatment the model was fitted after (what :func:`prepare`
        returns, or :meth:`Preparation.load` reads). ``data`` is then the
        raw table: the preparation is replayed on it first, and the rows it
        drops stay in the table with NaN composite, rank and dimensions.
    scale : {"0-100"}, optional
        A presentation scale: ``"0-100"`` adds the column ``"score"``, the
        composite mapped linearly so that the lowest composite of the rows
        scored is 0 and the highest 100. The map is fixed on these rows:
        a unit's score depends on the other units scored with it. The
        sentence that states it is in ``table.attrs["scale"]``, to show
        wherever the scores are shown. The composite stays as the model
        computes it.

    Returns
    -------
    pandas.DataFrame
        Over the rows of ``data`` (same index), the columns:

        - ``"composite"``: the composite score;
        - ``"score"``, only with ``scale``: the composite on that scale;
        - ``"rank"``: 1 for the highest composite; ties share the average
          rank; NaN where the composite is NaN;
        - one column per dimension, named as ``weights(model)`` names it
          (nested dimensions by their sub-dimensions, e.g.
          ``"opportunity / hardship (-1)"``), holding the dimension's value
          before its weight and direction; NaN throughout for a dimension
          without coefficients;
        - ``"missing"``: how many of the model's indicator columns are
          missing in the row (in the raw table, with ``preparation``);
        - ``"imputed"``, only with ``preparation``: how many of them it
          filled.

        ``table.attrs["fingerprint"]`` is the :class:`Fingerprint` of the
        model, the preparation and ``data``: what the scores were made from.

    Raises
    ------
    ValueError
        If the model is not fitted, no dimension carries a weight, two
        dimensions share a name (``"a / b"`` at the top beside ``"b"``
        inside ``"a"``) or one is named as a column of the table
        (``"rank"``, say): the message names them,
        ``min_present`` is not a share, ``scale`` is not a presentation
        scale, or ``data`` repeats a row label (a unit is named by its
        label; the message shows how to make them unique).
    KeyError
        If ``data`` lacks columns the model uses, or the preparation's
        indicators (all are named).
    TypeError
        If ``preparation`` is not a :class:`Preparation`.
    ValueError
        With ``preparation``, if ``data`` looks already prepared: it carries
        the mark that :func:`prepare` leaves on its table, or an indicator
        the preparation transforms would be transformed twice (see
        :func:`refuse_double_treatment` for the rule).

    Examples
    --------
    >>> import pandas as pd
    >>> import indexfuse
    >>> from indexfuse_tools import results
    >>> data = pd.DataFrame({"gdp": [1.0, 2.0, 3.0, 4.0, 5.0, 6.0],
    ...                      "jobs": [1.5, 2.0, 2.5, 3.5, 4.0, 5.0],
    ...                      "crime": [6.0, 5.0, 4.5, 3.0, 2.0, 1.0]},
    ...                     index=list("uvwxyz"))
    >>> model = indexfuse.indexpca_diment({"economy": ["gdp", "jobs"],
    ...                                    "safety": [("crime", -1)]})
    >>> model.fit(data)
    >>> table = results(model, data)
    >>> table.columns.tolist()
    ['composite', 'rank', 'economy', 'safety', 'missing']
    >>> table["rank"].tolist()
    [6.0, 5.0, 4.0, 3.0, 2.0, 1.0]

    A row missing half of a dimension's indicators, with ``min_present=2/3``:

    >>> holes = data.copy()
    >>> holes.loc["z", "jobs"] = float("nan")
    >>> results(model, holes, min_present=2/3).loc["z", ["composite", "economy", "missing"]].tolist()
    [nan, nan, 1.0]

    The composite on 0..100, for a table to publish:

    >>> scored = results(model, data, scale="0-100")
    >>> scored["score"].round(1).tolist()
    [0.0, 18.6, 32.1, 59.3, 77.9, 100.0]
    >>> scored.attrs["scale"]
    'Composite on a 0-100 scale: 0 is the lowest composite of the 6 units scored (0), 100 the highest (1).'
    """
    check_scale(scale)
    table = with_score(scores_of(model, data, min_present=min_present, preparation=preparation), scale)
    table.attrs["fingerprint"] = fingerprint(model, preparation, data)
    return table


def with_score(table: pd.DataFrame, scale: str | None) -> pd.DataFrame:
    """``table`` with the column ``"score"`` right after ``"composite"`` on ``scale``, and the
    sentence that states the scale in ``table.attrs["scale"]``; ``table`` itself without ``scale``.

    The scale is fixed on the finite composites of ``table``. With no
    finite composite, the scores are NaN and the sentence says so.
    """
    if scale is None:
        return table
    shown = presentation(table["composite"], scale)
    scored = table.copy()
    if shown is None:
        score = pd.Series(np.nan, index=table.index)
        sentence = "Composite on a 0-100 scale: no unit has a composite to fix the scale on."
    else:
        score, sentence = shown.apply(table["composite"].astype(np.float64)), shown.describe()
    scored.insert(list(scored.columns).index("composite") + 1, "score", score)
    scored.attrs["scale"] = sentence
    return scored


def scores_of(
    model: Any, data: pd.DataFrame, *, min_present: float | None = None, preparation: Preparation | None = None
) -> pd.DataFrame:
    """The table of :func:`results`, without a presentation scale or a fingerprint."""
    model = as_model(model, "results")
    frame = as_frame(data)
    unique_units(frame.index, "results()")
    check_dimension_names(leaf.path for leaf in weight_leaves(fitted(model, "dim_weight")))
    share = as_share(min_present, "min_present")
    if preparation is not None:
        treated = treat(frame, preparation, "results()", model)
        table = scores_of(model, treated.prepared, min_present=min_present)
        return with_treatment(table, treated, model)
    coef, weight_tree = fitted(model, "index_coef"), fitted(model, "dim_weight")
    dimensions = [(node.path, [split_key(key)[0] for key in node.value]) for node in coefficient_tables(coef)]
    used = list(dict.fromkeys(label for _, labels in dimensions for label in labels))
    absent = [label for label in used if label not in frame.columns]
    if absent:
        raise KeyError(f"data lacks column(s) the model uses: {show(absent, 10)}")
    composite, values = model.score(frame)
    if share is not None:
        for path, labels in dimensions:
            present = pd.concat([frame[label] for label in labels], axis=1).notna().sum(axis=1)
            # Compared as counts, so that 2 of 3 present meets a share of 2/3 exactly.
            values = _mask(values, path, present >= share * len(labels) - 1e-9)
        composite = model.compute_score(values, weight_tree)
    return score_table(model, frame, composite, values)


def with_presentation(table: pd.DataFrame, shown: Presentation | None, scale: str | None = None) -> pd.DataFrame:
    """``table`` with the column ``"score"`` on the scale ``shown`` fixed beforehand (an index's anchor).

    Without ``shown``, as :func:`with_score` gives it for ``scale``.
    """
    if shown is None:
        return with_score(table, scale)
    scored = table.copy()
    score = shown.apply(table["composite"].astype(np.float64))
    scored.insert(list(scored.columns).index("composite") + 1, "score", score)
    scored.attrs["scale"] = shown.describe()
    return scored


def score_table(model: Any, frame: pd.DataFrame, composite: Any, values: Any) -> pd.DataFrame:
    """The table of :func:`results` from what ``model.score(frame)`` returned.

    For a caller that has scored ``frame`` already (the report, through its
    audit) and checked that it holds the model's columns, so that the rows
    are scored once.

    Parameters
    ----------
    model : indexfuse.indexpca_diment
        The fitted model that scored ``frame``.
    frame : pandas.DataFrame
        The rows scored; it holds every column the model uses.
    composite, values : pandas.Series, nested dict
        The composite and the dimension-value tree of ``model.score(frame)``.

    Returns
    -------
    pandas.DataFrame
        As :func:`results` returns it.
    """
    weight_tree = fitted(model, "dim_weight")
    # Every table of scores is made here: a name two dimensions share would give them one column.
    check_dimension_names(leaf.path for leaf in weight_leaves(weight_tree))
    used = _used(model)
    if not isinstance(composite, pd.Series):
        raise ValueError(
            "no dimension of the model carries a weight, so there is no composite; "
            "check(schema, data) shows which entries name no column"
        )
    columns: list[pd.Series] = [
        composite.rename("composite"),
        composite.rank(ascending=False, method="average").rename("rank"),
    ]
    for leaf in weight_leaves(weight_tree):
        value = at(values, leaf.path)
        name = dimension_name(leaf.path)
        if isinstance(value, pd.Series):
            columns.append(value.astype(np.float64).rename(name))
        else:
            columns.append(pd.Series(np.nan, index=frame.index, name=name))
    missing = pd.concat([frame[label] for label in used], axis=1).isna().sum(axis=1)
    columns.append(missing.rename("missing"))
    table = pd.concat(columns, axis=1)
    table.index = frame.index
    return table


def with_treatment(table: pd.DataFrame, treated: Treated, model: Any) -> pd.DataFrame:
    """The table of :func:`score_table` on ``treated.prepared``, over the raw rows.

    Rows the preparation dropped come back with NaN scores; ``missing``
    counts the gaps of the raw table, and ``imputed`` the values filled.
    """
    used = _used(model)
    absent = [label for label in used if label not in treated.raw.columns]
    if absent:
        raise KeyError(f"data lacks column(s) the model uses: {show(absent, 10)}")
    whole = table.reindex(treated.raw.index)
    whole["missing"] = treated.raw[used].isna().sum(axis=1).astype(np.int64)
    whole["imputed"] = treated.per_row("impute")
    return whole


def _used(model: Any) -> list[Any]:
    """The model's indicator columns, in the order of its coefficients."""
    coef = fitted(model, "index_coef")
    return list(dict.fromkeys(split_key(key)[0] for node in coefficient_tables(coef) for key in node.value))


def _mask(tree: Any, path: tuple[Any, ...], keep: pd.Series) -> Any:
    """A copy of ``tree`` whose value at ``path`` is NaN where ``keep`` is false."""
    value = at(tree, path)
    return replace_at(tree, path, value.where(keep) if isinstance(value, pd.Series) else value)

