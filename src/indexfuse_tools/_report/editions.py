"""The report's "Over time" section: an index's editions side by side.

The trajectories of the units with the largest movers called out, the
largest risers and fallers between the first and the last edition with the
waterfall of the top one of each, and what limits the comparison of the
editions, grouped and counted in words.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from indexfuse_tools._core import isolate
from indexfuse_tools._plots.distribution import decimals
from indexfuse_tools._plots.editions import REFIT_NOTE, Value, plot_change, plot_trajectories
from indexfuse_tools._report.pieces import RANK, Picture, picture, table
from indexfuse_tools._report.sections import Section

if TYPE_CHECKING:
    from indexfuse_tools._editions import Editions

__all__ = ["over_time", "Finding", "findings", "movers_table"]

# Units highlighted in the trajectories, and listed at each end of the movers' table.
HIGHLIGHTED = 8
LISTED_MOVERS = 5
# Examples given in words for each kind of finding; the rest are counted.
EXAMPLES = 3
# Kinds whose findings say the same thing edition after edition: one example tells it.
_REPEATED = {"not comparable"}
# How each kind of finding reads as a heading, in the order a reader meets them.
_KINDS = {
    "not comparable": "Composites are not comparable",
    "unit entering": "Units entering",
    "unit leaving": "Units leaving",
    "indicator missing in edition": "Indicators missing in an edition",
    "indicator missing for unit": "Indicators missing for a unit",
    "outside fitted range": "Values outside the range the model was fitted on",
}


@dataclass(frozen=True)
class Finding:
    """One kind of comparability finding, in words: a heading, how many
    findings of that kind, a few of them as sentences, and how many more."""

    heading: str
    count: int
    examples: list[str]
    more: int


def findings(comparability: pd.DataFrame) -> list[Finding]:
    """The comparability table grouped by kind of finding: counted, the largest
    amounts (or the first periods) given as examples.

    Parameters
    ----------
    comparability : pandas.DataFrame
        ``Editions.comparability``: one row per finding, with the columns
        ``"finding"``, ``"amount"`` and ``"detail"``.

    Returns
    -------
    list of Finding
        In the order of the known kinds, then any other in the order met.
    """
    kinds = list(dict.fromkeys([*(kind for kind in _KINDS if kind in set(comparability["finding"])),
                                *comparability["finding"]]))  # fmt: skip
    grouped = []
    for kind in kinds:
        rows = comparability[comparability["finding"] == kind]
        amounts = pd.to_numeric(rows["amount"], errors="coerce").abs()
        if amounts.notna().any():
            rows = rows.iloc[np.argsort(-amounts.fillna(-np.inf).to_numpy(), kind="stable")]
        details = [str(detail).strip().rstrip(".") for detail in rows["detail"] if isinstance(detail, str) and detail]
        shown = list(dict.fromkeys(details))[: 1 if kind in _REPEATED else EXAMPLES]
        grouped.append(Finding(_KINDS.get(kind, str(kind).capitalize()), len(rows), shown, len(rows) - len(shown)))
    return grouped


def movers_table(editions: Editions, count: int = LISTED_MOVERS) -> tuple[pd.DataFrame, pd.DataFrame]:
    """The largest risers and fallers between the first and the last edition.

    Composites are compared under one model; under ``baseline="refit"``
    ranks are, since only they are comparable.

    Returns
    -------
    (pandas.DataFrame, pandas.DataFrame)
        Risers then fallers, each one row per unit (the column ``"unit"``)
        with ``"rank_start"``, ``"rank_end"``, ``"climbed"`` (places),
        ``"start"``, ``"end"`` and ``"change"`` (composites), the largest
        move first. Units missing at either end are left out.
    """
    first, last = editions.periods[0], editions.periods[-1]
    results = editions.results
    composite = results["composite"].unstack("unit")
    rank = results["rank"].unstack("unit")
    table = pd.DataFrame(
        {
            "rank_start": rank.loc[first],
            "rank_end": rank.loc[last],
            "start": composite.loc[first],
            "end": composite.loc[last],
        }
    ).dropna()
    table["climbed"] = table["rank_start"] - table["rank_end"]
    table["change"] = table["end"] - table["start"]
    table.index.name = "unit"
    table = table.reset_index()
    table["unit"] = table["unit"].map(str)
    moved = "climbed" if editions.baseline == "refit" else "change"
    risers = table[table[moved] > 0].sort_values(moved, ascending=False, kind="stable").head(count)
    fallers = table[table[moved] < 0].sort_values(moved, ascending=True, kind="stable").head(count)
    return risers.reset_index(drop=True), fallers.reset_index(drop=True)


def _waterfall(editions: Editions, movers: pd.DataFrame, units: dict[str, Any]) -> Picture | None:
    if movers.empty:
        return None
    first, last = editions.periods[0], editions.periods[-1]
    return picture(plot_change(editions, units[movers["unit"].iloc[0]], first, last))


def over_time(editions: Editions) -> Section:
    """The "Over time" section of the report.

    Parameters
    ----------
    editions : Editions
        What :func:`editions` returned.

    Returns
    -------
    Section
        Anchored ``"over_time"``: the trajectories, the movers' table, the
        waterfalls of the top riser and the top faller, and the
        comparability findings grouped by kind.
    """
    refit = editions.baseline == "refit"
    risers, fallers = movers_table(editions)
    units = {str(unit): unit for unit in editions.results.index.get_level_values("unit").unique()}
    digits = decimals(editions.results["composite"].dropna())
    headers = {
        "unit": "unit",
        "rank_start": f"rank {editions.periods[0]}",
        "rank_end": f"rank {editions.periods[-1]}",
        "climbed": "places climbed",
        "start": f"composite {editions.periods[0]}",
        "end": f"composite {editions.periods[-1]}",
    }
    if not refit:
        headers["change"] = "change"
    whole = bool((pd.concat([risers["climbed"], fallers["climbed"]]) % 1 == 0).all())
    kinds = {"rank_start": RANK, "rank_end": RANK, "climbed": 0 if whole else 1}
    value: Value = "rank" if refit else "composite"
    return Section(
        "over_time",
        "Over time",
        {
            "periods": len(editions.periods),
            "first": isolate(editions.periods[0]),
            "last": isolate(editions.periods[-1]),
            "units": len(units),
            "baseline": editions.baseline,
            "refit_note": REFIT_NOTE if refit else None,
            "value": value,
            "trajectories": picture(plot_trajectories(editions, n=HIGHLIGHTED, value=value)),
            "risers": table(risers, headers, kinds, default=digits) if len(risers) else None,
            "fallers": table(fallers, headers, kinds, default=digits) if len(fallers) else None,
            "riser": None if risers.empty else isolate(risers["unit"].iloc[0]),
            "faller": None if fallers.empty else isolate(fallers["unit"].iloc[0]),
            "riser_waterfall": _waterfall(editions, risers, units),
            "faller_waterfall": _waterfall(editions, fallers, units),
            "findings": findings(editions.comparability),
        },
    )
