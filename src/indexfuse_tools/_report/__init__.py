"""One self-contained HTML file that presents a fitted index: what it is made
of, how it weighs its parts, who ranks where, and whether it holds together.

The file loads nothing: figures are PNG images inside the page, styles sit in
the page's head, and there is no script. The page is written from the Jinja2
templates in ``templates/`` and the styles in ``report.css``, both shipped
with the package; :mod:`.sections` works out what each section shows.
"""

from __future__ import annotations

import datetime
import os
import urllib.parse
from collections.abc import Hashable, Iterable
from pathlib import Path
from typing import TYPE_CHECKING, Any

import pandas as pd

from indexfuse_tools._audit import model_settings, scored_audit
from indexfuse_tools._check import check
from indexfuse_tools._core import (
    Presentation,
    as_frame,
    as_model,
    atomic_path,
    check_parts,
    check_scale,
    fingerprint,
    over_editions,
    same_file,
    unique_units,
)
from indexfuse_tools._core import presentation as fixed_on
from indexfuse_tools._plots.style import PRINT_DPI
from indexfuse_tools._results import score_table, treat, with_presentation, with_treatment
from indexfuse_tools._robustness import RobustnessResult

if TYPE_CHECKING:
    from indexfuse_tools._editions import Editions
    from indexfuse_tools._preparation import Preparation
    from indexfuse_tools._weighting import WeightUncertainty

__all__ = ["report", "write_report", "DPI"]

#: Resolution of the report's figures: sharp on paper and on dense screens.
DPI = PRINT_DPI


def _require_drawing() -> None:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise ImportError(
            "report() draws with matplotlib: pip install matplotlib (or indexfuse[plot])"
        ) from None
    try:
        import jinja2  # noqa: F401
    except ImportError:
        raise ImportError("report() writes its page with Jinja2: pip install jinja2 (or indexfuse[plot])") from None


def _highlighted(highlight: Iterable[Hashable] | None, analysis: RobustnessResult | None) -> list[Hashable]:
    """The units ``highlight`` names, checked against the analysis before any work starts."""
    if highlight is None:
        return []
    if analysis is None:
        raise ValueError("highlight names units in the robustness section: pass robustness= as well")
    from indexfuse_tools._plots.robustness import known_units

    return known_units(highlight, analysis.ranks.index)


def _check_editions(editions: object) -> None:
    from indexfuse_tools._editions import Editions

    if editions is not None and not isinstance(editions, Editions):
        raise TypeError(
            "editions must be the Editions that indexfuse_tools.editions(schema, data, period=...) "
            f"returns, or None; got {type(editions).__name__}"
        )


def report(
    model: Any,
    data: pd.DataFrame,
    path: str | os.PathLike[str],
    *,
    external: pd.DataFrame | pd.Series | None = None,
    title: str | None = None,
    source: str | None = None,
    robustness: RobustnessResult | None = None,
    preparation: Preparation | None = None,
    scale: str | None = None,
    highlight: Iterable[Hashable] | None = None,
    explorer: str | os.PathLike[str] | None = None,
    editions: Editions | None = None,
    geometry: Any = None,
    key: Any = None,
    weight_uncertainty: WeightUncertainty | None = None,
) -> Path:
    """Write a report of a fitted index to one self-contained HTML file.

    The page holds, in order: the title, the source and the date; what a
    reviewer would ask about (the audit's findings and the warnings of
    :func:`check`); the framework (dimensions and indicators as a tree, the
    direction of each in words); the weights (a nested chart, information,
    equal and effective weights); the ranking (a ranked dot chart and the
    spread of the composite); the coherence of each dimension (correlation
    heat maps, Cronbach's alpha, principal components); the indicators'
    statistics and flags; the coefficients; the links to other measures
    when ``external`` is given; the robustness analysis when ``robustness``
    is given; and the scores of the units. With ``preparation``, a "Data
    treatment" section follows the framework, and the scores that rest on
    imputed values are marked. With ``editions``, an "Over time" section
    follows the ranking. With ``weight_uncertainty``, a section "Can the
    weights be trusted?" follows the weights.

    The file needs nothing else to be read, printed or mailed: figures are
    PNG images at 200 dpi inside the page, styles are in the page, and it
    refers to no address on the network and runs no script.

    Parameters
    ----------
    model : indexfuse.indexpca_diment
        A fitted model.
    data : pandas.DataFrame
        The rows to report on, usually the table the model was fitted on;
        the row labels name the units.
    path : str or os.PathLike
        Where to write the HTML file (replaced whole: the page is written
        beside it, then renamed onto it, so a failed write leaves the
        previous file as it was).
    external : pandas.DataFrame or pandas.Series, optional
        Measures outside the index over the same rows, as for :func:`audit`.
    title : str, optional
        The report's title; by default "Composite index report".
    source : str, optional
        Where the data come from, shown under the title.
    robustness : RobustnessResult, optional
        The result of :func:`robustness` of the same index (the same model,
        preparation and raw table: its fingerprint says so): its rank-interval
        figure (with more than 60 units, the widest intervals, the three best
        and three worst units and ``highlight`` named), the least settled
        units (:meth:`RobustnessResult.least_settled`), a link that
        downloads every unit's rank, interval and composite as
        ``ranks.csv``, and with ``method="sobol"`` its sensitivity figure and
        table, are shown; the scores table gains each unit's 5-95% rank
        interval.
    preparation : Preparation, optional
        The treatment the model was fitted after. ``data`` is then the raw
        table: the preparation is replayed on it, and the page shows the
        units it dropped and why, the values imputed, transformed and
        winsorised per indicator, and the largest changes; in the scores
        table, a value resting on an imputed one is marked.
    scale : {"0-100"}, optional
        A presentation scale, as :func:`results` takes it: wherever the page
        shows composites (at a glance, the ranking's figures, the scores
        table) it shows them on 0..100, fixed on the units reported (the
        lowest composite is 0, the highest 100), with the sentence that
        states the transformation beside them. With ``editions``, the
        scale is the editions' own, fixed once over every edition (with or
        without ``scale``, when they have one), so that a unit's score is
        the same in the report and in ``editions.results``. By default the
        page shows the composite and says that it is on the model's own
        scale.
    highlight : iterable, optional
        Units (row labels) to name in the robustness section's rank-interval
        figure whatever their interval, in bold: the ones a reader of this
        report will look for. Needs ``robustness``.
    explorer : str or os.PathLike, optional
        Where to write the explorer page too (:func:`explorer`, from the
        same model, data, title, source, robustness, preparation, editions,
        presentation scale and map); the
        report's header links to it by its path relative to the report's
        folder, so keep the two files side by side when moving them.
    editions : Editions, optional
        The editions of the index (what :func:`editions` returns), with
        ``model``, ``preparation`` and ``data`` those of one of its
        editions (usually the latest): the page gains an
        "Over time" section with every unit's trajectory, the largest risers
        and fallers between the first and the last edition with the
        waterfall of the top one of each, and what limits the comparison of
        the editions, in words. Under ``baseline="refit"`` it says that
        composites are not comparable and ranks the movers by places.
    geometry : str, os.PathLike, GeoDataFrame or Geometry, optional
        The units' shapes, as :func:`read_geometry` reads them (``"world"``,
        ``"us-states"``, ``"us-counties"``, a GeoJSON, TopoJSON or other
        geometry file, or a geopandas table): an "On the map" section
        follows the ranking, with the score on a map, each dimension on a
        small map, and with ``editions`` the places each unit climbed or
        fell from the first edition to the last. Units without a shape are
        a finding at a glance, and listed with the shapes that match no unit.
    key : str or tuple, optional
        How units find their shapes: the shapes' property the row labels
        match (``"iso_a3"``), or a pair (a column of ``data`` or None for
        the row labels, the property). By default every property of a
        bundled set is tried, or the property of a file that matches the
        most units.
    weight_uncertainty : WeightUncertainty, optional
        What :func:`weight_uncertainty` found for this index on the same
        rows: the page gains the section "Can the weights be trusted?" (each
        weight with its interval, the rival weightings and the units they
        move most, each dimension's and indicator's importance beside its
        nominal weight, the coefficients' intervals) and its findings join
        the reviewer's questions at the top.

    Returns
    -------
    pathlib.Path
        The path written.

    Raises
    ------
    TypeError
        If ``robustness`` is neither None nor a :class:`RobustnessResult`,
        ``editions`` neither None nor an :class:`Editions`, or
        ``weight_uncertainty`` neither None nor a :class:`WeightUncertainty`;
        and as :func:`audit` raises it for the model, the data,
        ``external`` and ``preparation``.
    ValueError
        If ``robustness`` or ``editions`` are of another index than the one
        reported (another model, preparation, raw table or units: the
        message names which), or ``data`` looks already prepared while
        ``preparation`` is given (see :func:`results`);
        as :func:`audit` raises it; if ``scale`` is not a presentation scale;
        if ``explorer`` names the report's own file (through a link or a
        relative path too);
        if ``data`` or ``robustness`` repeats a row label (a unit is named
        and found by its label); if ``highlight`` is given without
        ``robustness``; and if ``weight_uncertainty`` reviewed other weights
        or another number of units than the page shows.
    KeyError
        As :func:`audit` raises it for ``preparation``, and naming the
        labels of ``highlight`` that are no unit of the analysis.
    ImportError
        If matplotlib or Jinja2 is not installed.

    Examples
    --------
    >>> import pathlib, tempfile
    >>> import pandas as pd
    >>> import indexfuse
    >>> from indexfuse_tools import report
    >>> data = pd.DataFrame({"gdp": [1.0, 2.0, 4.0, 3.0, 6.0, 5.0],
    ...                      "jobs": [2.0, 1.0, 3.0, 5.0, 4.0, 6.0],
    ...                      "crime": [3.0, 1.0, 2.0, 5.0, 4.0, 6.0]}, index=list("uvwxyz"))
    >>> model = indexfuse.indexpca_diment({"economy": ["gdp", "jobs"], "safety": [("crime", -1)]})
    >>> model.fit(data)
    >>> folder = pathlib.Path(tempfile.mkdtemp())
    >>> page = report(model, data, folder / "index.html", title="Regions", source="made up")
    >>> page.read_text(encoding="utf-8").startswith("<!DOCTYPE html>")
    True
    """
    return write_report(
        model, data, path, external=external, title=title, source=source, robustness=robustness,
        preparation=preparation, scale=scale, highlight=highlight, explorer=explorer, editions=editions,
        geometry=geometry, key=key, weight_uncertainty=weight_uncertainty,
    )  # fmt: skip


def write_report(
    model: Any,
    data: pd.DataFrame,
    path: str | os.PathLike[str],
    *,
    external: pd.DataFrame | pd.Series | None = None,
    title: str | None = None,
    source: str | None = None,
    robustness: RobustnessResult | None = None,
    preparation: Preparation | None = None,
    scale: str | None = None,
    highlight: Iterable[Hashable] | None = None,
    explorer: str | os.PathLike[str] | None = None,
    editions: Editions | None = None,
    geometry: Any = None,
    key: Any = None,
    weight_uncertainty: WeightUncertainty | None = None,
    presentation: Presentation | None = None,
    function: str = "report()",
    explorer_link: str | os.PathLike[str] | None = None,
    reviewed_units: int | None = None,
) -> Path:
    """:func:`report`, with the presentation scale of an index fixed beforehand.

    ``presentation`` (the anchor an index fixed once) is the scale of every
    score shown, in place of ``scale``; ``function`` names the call in
    messages. ``explorer_link`` is an explorer page written apart, which
    the header links to as it links to ``explorer`` (which it excludes),
    without writing it. ``reviewed_units`` is how many rows
    ``weight_uncertainty`` must have resampled, when they are not the rows
    reported (an index with editions reviews the rows it was fitted on).
    """
    if explorer is not None and explorer_link is not None:
        raise ValueError(
            f"{function}: explorer writes the page it links to, explorer_link links to one written apart: give one"
        )
    if robustness is not None and not isinstance(robustness, RobustnessResult):
        raise TypeError(
            "robustness must be the RobustnessResult that indexfuse_tools.robustness(schema, data) "
            f"returns, or None; got {type(robustness).__name__}"
        )
    check_scale(scale)
    _check_editions(editions)
    frame = as_frame(data)
    linked = explorer if explorer is not None else explorer_link
    _check_explorer_path(linked, path)
    _check_review(weight_uncertainty)
    unique_units(frame.index, function)
    if robustness is not None:
        unique_units(robustness.ranks.index, "report(robustness=...)", "the robustness analysis")
    named = _highlighted(highlight, robustness)
    as_model(model, "report")
    anchor = _anchor(presentation, scale, editions)
    _require_drawing()
    placed = None
    if geometry is not None:
        from indexfuse_tools._geo import place

        placed = place(geometry, key, frame, frame.index, function)
    from indexfuse_tools import __version__
    from indexfuse_tools._report import sections
    from indexfuse_tools._report.editions import over_time
    from indexfuse_tools._report.page import render

    treated = None if preparation is None else treat(frame, preparation, function, model)
    # Before the audit and the figures: an analysis or editions of another index would put its numbers beside these.
    if robustness is not None or editions is not None:
        check_parts(function, fingerprint(model, preparation, frame), robustness, editions)
    result, (composite, values) = scored_audit(model, data, external, treated)
    scored = data if treated is None else treated.prepared
    scores = score_table(model, scored, composite, values)
    marks = None
    if treated is not None:
        scores = with_treatment(scores, treated, model)
        scores = scores.loc[scored.index]
        marks = sections.imputed_marks(model, scores, treated)
    shown_scale = anchor if anchor is not None else fixed_on(scores["composite"], scale)
    scores = with_presentation(scores, shown_scale, scale)
    problems = [problem for problem in check(model.schema, scored) if problem.level == "warning"]
    on_map = []
    if placed is not None:
        from indexfuse_tools._report.maps import map_findings, map_section

        from indexfuse_tools._tables import weights as weight_table

        dimensions = [str(name) for name in weight_table(model).index if name in scores.columns]
        on_map = [map_section(placed, scores.reindex(placed.units), dimensions, editions)]
    review = []
    if weight_uncertainty is not None:
        _same_weights(weight_uncertainty, model, len(scored) if reviewed_units is None else reviewed_units)
        review = [sections.trust(weight_uncertainty)]
    shown = [
        sections.glance(
            result, scores, problems, 0 if treated is None else len(treated.dropped),
            ([] if placed is None else map_findings(placed))
            + ([] if weight_uncertainty is None else weight_uncertainty.findings()),
        ),
        sections.framework_section(model),
        *([] if treated is None else [sections.treatment(treated)]),
        sections.weights(model, result),
        *review,
        sections.ranking(scores),
        *([] if editions is None else [over_time(editions, None if robustness is None else robustness.moves)]),
        *on_map,
        sections.coherence(result),
        sections.indicators(result),
        sections.coefficients(result),
    ]
    if result.links is not None:
        shown.append(sections.links(result))
    if robustness is not None:
        shown.append(sections.robustness(robustness, scores, named))
    shown.append(sections.scores_section(scores, result, robustness, marks))
    page = render(
        title or "Composite index report",
        source,
        datetime.date.today().isoformat(),
        __version__,
        model_settings(model),
        shown,
        explorer=None if linked is None else _address(linked, path),
    )
    target = Path(path)
    if explorer is not None:
        from indexfuse_tools._explorer import write_explorer

        # The page readers explore shows what the report shows: the same analysis, editions and scale.
        write_explorer(
            model, data, explorer, title=title, source=source, robustness=robustness, preparation=preparation,
            editions=editions, scale=shown_scale, function=function,
            geometry=None if placed is None else placed.geometry, key=key,
        )  # fmt: skip
    with atomic_path(target) as temporary:
        temporary.write_text(page, encoding="utf-8")
    return target


def _check_review(review: object) -> None:
    from indexfuse_tools._weighting import WeightUncertainty

    if review is not None and not isinstance(review, WeightUncertainty):
        raise TypeError(
            "weight_uncertainty must be the WeightUncertainty that indexfuse_tools.weight_uncertainty(schema, "
            f"data) returns, or None; got {type(review).__name__}"
        )


def _same_weights(review: WeightUncertainty, model: Any, units: int) -> None:
    """Refuse a review of other weights, or of another table, than the page shows."""
    import math

    from indexfuse_tools._core import at, node_weight

    shown = [node_weight(at(model.dim_weight, review.paths.get(name, ()))) for name in review.weights["dimension"]]
    same = len(shown) == len(review.weights) and all(
        math.isclose(a, b, rel_tol=1e-9, abs_tol=1e-12) for a, b in zip(shown, review.weights["weight"])
    )
    if not same or review.units != units:
        raise ValueError(
            f"weight_uncertainty reviewed other weights ({review.units} units, weights "
            f"{[round(float(w), 4) for w in review.weights['weight']]}) than this report shows ({units} units, "
            f"weights {[round(w, 4) for w in shown]}): review the model and table of the report"
        )


def _check_explorer_path(explorer: str | os.PathLike[str] | None, path: str | os.PathLike[str]) -> None:
    """``ValueError`` when the explorer would be written over the report itself."""
    if explorer is not None and same_file(explorer, path):
        raise ValueError(
            f"explorer={os.fspath(explorer)!r} is the report's own file {os.fspath(path)!r}: the explorer "
            "would overwrite the report; write it to another file beside it (explore.html, say)"
        )


def _anchor(presentation: Presentation | None, scale: str | None, editions: Editions | None) -> Presentation | None:
    """The scale fixed before the units shown are scored: an index's anchor, or the editions' one.

    With editions, a scale is fixed once over every edition (theirs, when
    they have one), so that a unit's score in the report is its score in
    the editions. None: fixed on the units shown, if ``scale`` asks for one.
    """
    if presentation is not None:
        return presentation
    if editions is None:
        return None
    if editions.presentation is not None:
        return editions.presentation
    composites = {period: editions.results.loc[period, "composite"] for period in editions.periods}
    return over_editions(composites, scale)


def _address(page: str | os.PathLike[str], report: str | os.PathLike[str]) -> str:
    """The address of ``page`` relative to the folder of ``report``, for a link."""
    relative = os.path.relpath(os.path.realpath(page), os.path.dirname(os.path.realpath(report)))
    return urllib.parse.quote(Path(relative).as_posix())
