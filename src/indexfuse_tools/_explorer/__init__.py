"""One offline HTML page for an index's readers: every unit in a table to sort
and search, the weights to try otherwise, and why a unit ranks where it does.

The page is written from ``explorer.html`` with ``explorer.css``,
``explorer.js`` and ``engine.js``, all shipped with the package;
:mod:`.payload` works out what it carries and :mod:`.columns` packs the
per-unit numbers.
"""

from __future__ import annotations

import datetime
import os
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from indexfuse_tools._audit import model_settings
from indexfuse_tools._core import (
    Presentation,
    as_frame,
    as_model,
    atomic_path,
    check_parts,
    check_scale,
    dimension_name,
    fingerprint,
    fitted,
    presentation,
    unique_units,
)
from indexfuse_tools._explorer.payload import (
    EDITION_COLUMNS,
    Inputs,
    Scale,
    Treatment,
    payload,
    refuse_non_finite,
    used_columns,
    weighted_leaves,
)
from indexfuse_tools._results import scores_of, treat
from indexfuse_tools._robustness import RobustnessResult

if TYPE_CHECKING:
    from indexfuse_tools._preparation import Preparation

__all__ = ["explorer", "write_explorer"]


def _require_jinja() -> None:
    try:
        import jinja2  # noqa: F401
    except ImportError:
        raise ImportError(
            "explorer() writes its page with Jinja2: pip install jinja2 (or indexfuse[explorer])"
        ) from None


def _intervals(robustness: RobustnessResult | None, units: pd.Index) -> pd.DataFrame | None:
    if robustness is None:
        return None
    if not isinstance(robustness, RobustnessResult):
        raise TypeError(
            "robustness must be the RobustnessResult that indexfuse_tools.robustness(schema, data) "
            f"returns, or None; got {type(robustness).__name__}"
        )
    unique_units(robustness.ranks.index, "explorer(robustness=...)", "the robustness analysis")
    intervals = robustness.ranks[["p5", "median", "p95"]].reindex(units)
    refuse_non_finite(intervals, "the robustness analysis's column")
    if robustness.ranks["top_tenth"].notna().any():  # analyses saved before the shares were kept have none
        shares = robustness.ranks[["top_tenth", "bottom_tenth"]].reindex(units)
        intervals = intervals.join(shares)
    return intervals


def _moves(robustness: Any, units: pd.Index) -> pd.DataFrame | None:
    """The analysis's moves since an earlier edition, over the units shown; None without them."""
    moves = robustness.moves if isinstance(robustness, RobustnessResult) else None
    if moves is None:
        return None
    shown = moves[["rank_change_p5", "rank_change_p95", "beyond"]].reindex(units)
    shown.attrs = dict(moves.attrs)
    return shown


def _editions(editions: Any) -> tuple[pd.DataFrame, list[Any]] | None:
    """The editions' results by (period, unit) that the page shows, and their periods."""
    if editions is None:
        return None
    table = getattr(editions, "results", None)
    periods = getattr(editions, "periods", None)
    if not isinstance(table, pd.DataFrame) or periods is None:
        raise TypeError(
            "editions must be the Editions that indexfuse_tools.editions(...) returns (with .results "
            f"and .periods), or None; got {type(editions).__name__}"
        )
    if table.index.nlevels != 2 or not {"composite", "rank"} <= set(table.columns):
        raise ValueError(
            "editions.results must be indexed by (period, unit) and hold the columns composite and rank"
        )
    shown = [name for name in EDITION_COLUMNS if name in table.columns]
    trajectories = table[shown]
    refuse_non_finite(trajectories, "the editions' column")
    return trajectories, list(periods)


def _scale(scale: Any, composite: pd.Series) -> Scale | None:
    """The scores' presentation: fixed on the units shown, or the anchor given."""
    if isinstance(scale, Presentation):
        return Scale(scale.low, scale.high, scale.units, scale.describe(), follows=False)
    fixed_here = presentation(composite, check_scale(scale))
    if fixed_here is None:
        return None
    return Scale(fixed_here.low, fixed_here.high, fixed_here.units, fixed_here.describe(), follows=True)


def _steps(preparation: Preparation, label: Any) -> dict[str, Any] | None:
    """What the preparation does to one indicator, as the page words it for a unit."""
    steps: dict[str, Any] = {}
    if preparation.impute is not None and label in preparation.fills:
        # The group is a column's label: isolated, so that its direction stays its own.
        within = f" within \u2068{preparation.group}\u2069" if preparation.group is not None else ""
        steps["fill"] = f"the {preparation.impute}{within}"
    rule = preparation.transforms.get(label)
    if rule is not None:
        kind = rule["kind"]
        shown = f"log(x + {rule['shift']:.6g})" if kind == "log" else f"{kind}, lambda {rule['lambda']:.4g}"
        steps["transform"] = shown
    low, high = preparation.caps.get(label, (-np.inf, np.inf))
    if np.isfinite(low) or np.isfinite(high):
        steps["caps"] = [float(low) if np.isfinite(low) else None, float(high) if np.isfinite(high) else None]
    return steps or None


def _treatment(
    preparation: Preparation | None, frame: pd.DataFrame, units: pd.Index, used: list[Any], model: Any, function: str
) -> Treatment | None:
    """What the model scored after the preparation, and what the preparation does to each indicator."""
    if preparation is None:
        return None
    scored = treat(frame, preparation, function, model).prepared[used].reindex(units)
    refuse_non_finite(scored, "the treated column")
    steps = {label: _steps(preparation, label) for label in used}
    return Treatment(scored, {label: step for label, step in steps.items() if step})


def explorer(
    model: Any,
    data: pd.DataFrame,
    path: str | os.PathLike[str],
    *,
    title: str | None = None,
    source: str | None = None,
    robustness: RobustnessResult | None = None,
    editions: Any = None,
    preparation: Preparation | None = None,
    geometry: Any = None,
    key: Any = None,
    scale: str | Presentation | None = None,
) -> Path:
    """Write one offline HTML page where readers sort, search and re-weight the index.

    The page shows every unit in a table (rank, composite, each dimension's
    value; the score with ``scale``, the rank interval with ``robustness``)
    that sorts on every column, finds a unit by any part of its label, and
    draws its rows as they scroll into view, so that it holds a quarter of
    a million units. A slider and a number box per dimension (nested
    dimensions inside their parent) set the weights: moving one rescales its
    siblings so that they keep their proportions and share what is left,
    and every composite and rank is computed again in the page, as
    :func:`set_weights` with ``normalize=True`` followed by :func:`results`
    computes them. The weights are kept in the page's address (after ``#``)
    so that a setting can be shared, and a note says so while they differ
    from the model's. Selecting a unit shows why it ranks where it does:
    what each dimension and indicator adds to its composite, each
    indicator's value as given against the range of all units (and, with
    ``preparation``, the value the model scored after the treatment), its
    rank interval and its composite, score and rank in every edition.

    The file needs nothing else: open it in any browser from 2023 on, from
    a disk or a mail, without a network. Its numbers travel as compressed
    typed arrays, with the digits they were written with (the dimension
    values whole, since the page computes with them); the page ranks,
    sorts and searches in a worker of its own.

    Parameters
    ----------
    model : indexfuse.indexpca_diment
        A fitted model; its weights are the published ones.
    data : pandas.DataFrame
        The units to show, one row each, labelled by their names.
    path : str or os.PathLike
        Where to write the page (replaced whole, or left as it was on error).
    title : str, optional
        The page's title; by default "Composite index explorer".
    source : str, optional
        Where the data come from, shown under the title.
    robustness : RobustnessResult, optional
        The analysis of :func:`robustness` on the same units: each unit's
        5-95% rank interval, for the published weights.
    editions : Editions, optional
        The index's editions: each unit's composite, rank and their changes
        per period, and its score with a scale (``editions.results``,
        indexed by period and unit, over ``editions.periods``).
    preparation : Preparation, optional
        The treatment the model was fitted after; ``data`` is then the raw
        table, replayed as :func:`results` replays it. The page shows the
        raw values, and the treated ones beside them; the units the
        treatment drops are listed without a score.
    geometry : str, os.PathLike, GeoDataFrame or Geometry, optional
        The units' shapes, as :func:`read_geometry` reads them (``"world"``,
        ``"us-states"``, ``"us-counties"``, a GeoJSON, TopoJSON or other
        geometry file, or a geopandas table): the page gains a map, drawn
        in the page (no tiles, no network), coloured by the composite, the
        score, the rank, any dimension or, with ``editions``, the change in
        rank between two editions; moving a weight recolours it, hovering
        or focusing a shape names its unit and value, and a click or Enter
        opens the unit's profile. Units without a shape and shapes without
        a unit are listed under it.
    key : str or tuple, optional
        How units find their shapes: the shapes' property the row labels
        match (``"iso_a3"``), or a pair (a column of ``data`` or None for
        the row labels, the property). By default every property of a
        bundled set is tried, or the property of a file that matches the
        most units.
    scale : {"0-100"} or Presentation, optional
        Scores on 0..100 beside the composites: ``"0-100"`` fixes the map
        on the units shown (again on the new composites when a reader moves
        a weight, as :func:`results` with ``scale="0-100"`` does after
        :func:`set_weights`); a ``Presentation`` (``editions.presentation``)
        is an anchor fixed once, kept whatever the weights.

    Returns
    -------
    pathlib.Path
        The path written.

    Raises
    ------
    ValueError
        If a value the page would show is infinite (the message names the
        column and the unit), if ``data`` repeats a unit, if ``scale`` is
        not a presentation scale, if ``robustness`` or ``editions`` are of
        another index than the one shown (another model, preparation, raw
        table or units: the message names which), and as :func:`results`
        raises it.
    TypeError
        If ``robustness``, ``editions`` or ``preparation`` is not what it
        should be.
    ImportError
        If Jinja2 is not installed (``pip install indexfuse[explorer]``).

    Examples
    --------
    >>> import pathlib, tempfile
    >>> import pandas as pd
    >>> import indexfuse
    >>> from indexfuse_tools import explorer
    >>> data = pd.DataFrame({"gdp": [1.0, 2.0, 4.0, 3.0, 6.0, 5.0],
    ...                      "crime": [3.0, 1.0, 2.0, 5.0, 4.0, 6.0]}, index=list("uvwxyz"))
    >>> model = indexfuse.indexpca_diment({"economy": ["gdp"], "safety": [("crime", -1)]})
    >>> model.fit(data)
    >>> page = explorer(model, data, pathlib.Path(tempfile.mkdtemp()) / "explore.html")
    >>> page.read_text(encoding="utf-8").startswith("<!DOCTYPE html>")
    True
    """
    return write_explorer(
        model, data, path, title=title, source=source, robustness=robustness, editions=editions,
        preparation=preparation, geometry=geometry, key=key, scale=scale,
    )  # fmt: skip


def write_explorer(
    model: Any,
    data: pd.DataFrame,
    path: str | os.PathLike[str],
    *,
    title: str | None = None,
    source: str | None = None,
    robustness: RobustnessResult | None = None,
    editions: Any = None,
    preparation: Preparation | None = None,
    geometry: Any = None,
    key: Any = None,
    scale: str | Presentation | None = None,
    function: str = "explorer()",
) -> Path:
    """:func:`explorer`, named ``function`` in its messages.

    An index (or the report the page is written beside) passes its anchor
    as ``scale``: the scale its scores are shown on, fixed once, and the
    sentence that states it.
    """
    model = as_model(model, "explorer")
    frame = as_frame(data)
    unique_units(frame.index, function)
    _require_jinja()
    from indexfuse_tools import __version__
    from indexfuse_tools._explorer.page import render

    used = used_columns(model)
    # Before scoring, so that the message names the unit as well as the column.
    refuse_non_finite(frame[[label for label in used if label in frame.columns]], "the column")
    # Before the page is made: an analysis or editions of another index would put its numbers beside these.
    analysis = robustness if isinstance(robustness, RobustnessResult) else None
    shown = editions if hasattr(editions, "edition_fingerprint") else None
    if analysis is not None or shown is not None:
        check_parts(function, fingerprint(model, preparation, frame), analysis, shown)
    scores = scores_of(model, frame, preparation=preparation)
    raw = frame[used].reindex(scores.index)
    names = [dimension_name(path) for path, _ in weighted_leaves(fitted(model, "dim_weight"))]
    refuse_non_finite(scores[names], "the dimension")
    editions_found = _editions(editions)
    inputs = Inputs(
        scores=scores,
        raw=raw,
        treatment=_treatment(preparation, frame, scores.index, used, model, function),
        intervals=_intervals(robustness, scores.index),
        moves=_moves(robustness, scores.index),
        trajectories=None if editions_found is None else editions_found[0],
        periods=None if editions_found is None else editions_found[1],
        scale=_scale(scale, scores["composite"]),
    )
    document, columns = payload(model, inputs)
    map_data = None
    if geometry is not None:
        from indexfuse_tools._explorer.mapdata import map_payload
        from indexfuse_tools._geo import place

        placed = place(geometry, key, frame, scores.index, function)
        map_data = map_payload(placed, scores[names], inputs.trajectories, inputs.periods)
    page = render(
        title=title or "Composite index explorer",
        source=source,
        written=datetime.date.today().isoformat(),
        version=__version__,
        settings=model_settings(model),
        data=document,
        columns=columns,
        map_data=map_data,
    )
    target = Path(path)
    with atomic_path(target) as temporary:
        temporary.write_text(page, encoding="utf-8")
    return target

