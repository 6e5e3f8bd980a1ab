"""The report's "On the map" section: the score on a map, the dimensions as
small multiples, with editions the change in rank, and every unit and shape
that found no partner, listed."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import pandas as pd

from indexfuse_tools._core import isolate
from indexfuse_tools._geo import Placed
from indexfuse_tools._plots.maps import plot_map, plot_map_multiples
from indexfuse_tools._report.pieces import picture
from indexfuse_tools._report.sections import Section, shown_score

if TYPE_CHECKING:
    from indexfuse_tools._editions import Editions

__all__ = ["map_section", "map_findings"]

# Names listed in full in a sentence; the rest are counted, and listed whole
# in the map section.
_NAMED = 5


def _listed(labels: list[Any]) -> str:
    named = ", ".join(isolate(label) for label in labels[:_NAMED])
    more = len(labels) - _NAMED
    return named + (f" and {more:,} more" if more > 0 else "")


def map_findings(placed: Placed) -> list[str]:
    """What a reviewer should know of the join: the units without a shape (a bundled
    set's shapes without a unit are expected, a file's are not)."""
    joined = placed.joined
    found = []
    if joined.units_without_shape:
        found.append(
            f"{len(joined.units_without_shape):,} unit(s) have no shape on the map and are not drawn: "
            f"{_listed(joined.units_without_shape)}."
        )
    if joined.shapes_without_unit and placed.geometry.bundled is None:
        found.append(
            f"{len(joined.shapes_without_unit):,} shape(s) of {placed.geometry.source} match no unit and are "
            f"drawn hatched: {_listed(joined.shapes_without_unit)}."
        )
    return found


def _rank_change(editions: Editions, units: pd.Index) -> tuple[pd.Series, str, str]:
    ranks = editions.results["rank"]
    first, last = editions.periods[0], editions.periods[-1]
    start = ranks.xs(first, level=0).reindex(units)
    end = ranks.xs(last, level=0).reindex(units)
    return start - end, str(first), str(last)


def map_section(placed: Placed, scores: pd.DataFrame, dimensions: list[str], editions: Editions | None) -> Section:
    """The map of the score shown, the dimensions' small multiples, and the rank change over the editions."""
    shown = shown_score(scores)
    facts: dict[str, Any] = {
        "score": shown.title,
        "scale": shown.scale,
        "chart": picture(plot_map(scores, placed.geometry, column=shown.column, label=shown.title, placed=placed)),
        "multiples": picture(plot_map_multiples(placed, scores, dimensions, dimensions)) if len(dimensions) > 1 else None,
        "change": None,
        "how": placed.joined.how,
        "source": placed.geometry.source,
        "units_without": [str(label) for label in placed.joined.units_without_shape],
        "shapes_without": placed.joined.shapes_without_unit,
        "bundled": placed.geometry.bundled is not None,
    }
    if editions is not None and len(editions.periods) > 1:
        change, first, last = _rank_change(editions, placed.units)
        table = pd.DataFrame({"change": change})
        facts["change"] = picture(
            plot_map(table, placed.geometry, column="change", change=True, placed=placed,
                     label=f"Places climbed from {first} to {last}")
        )  # fmt: skip
        facts["first"], facts["last"] = first, last
    return Section("map", "On the map", facts)
