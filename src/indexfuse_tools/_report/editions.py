"""The report's "Over time" section: an index's editions side by side.

The trajectories of the units with the largest movers called out; the
largest risers and fallers between the first and the last edition, by
places and (under one model) by composite, with the waterfall of the top
one of each; and what limits the comparison of the editions, grouped and
counted in words.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from indexfuse_tools._core import BEYOND, WITHIN, fixed, isolate, move_verdict
from indexfuse_tools._plots.distribution import decimals
from indexfuse_tools._plots.editions import REFIT_NOTE, Value, plot_change, plot_trajectories
from indexfuse_tools._report.pieces import RANK, Picture, Table, picture, table
from indexfuse_tools._report.sections import Section

if TYPE_CHECKING:
    from indexfuse_tools._editions import Editions

__all__ = ["MOVED_BY", "over_time", "Finding", "Movers", "findings", "movers_table"]

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


#: How movers are ranked: by places gained or lost, or by the change of their composite.
MOVED_BY = ("places", "composite")


def movers_table(
    editions: Editions, count: int = LISTED_MOVERS, by: str = "places", moves: pd.DataFrame | None = None
) -> tuple[pd.DataFrame, pd.DataFrame]:
    """The largest risers and fallers between the first and the last edition.

    Parameters
    ----------
    editions : Editions
        What :func:`editions` returned.
    count : int
        How many of each.
    by : {"places", "composite"}
        ``"places"``: the units that climbed or lost most places, ranks
        being comparable under every baseline; ties by the change of
        composite (under one model). ``"composite"``: the largest rises and
        falls of composite, comparable under one model only (not under
        ``baseline="refit"``). When every composite rose, some units still
        lost places: they are the fallers by places, and there is no faller
        by composite.
    moves : pandas.DataFrame, optional
        The moves between the first and the last edition with their
        intervals over the runs of a robustness analysis
        (:attr:`RobustnessResult.moves`): each mover then has its
        ``"interval"`` (of places climbed, or of the composite's change
        when ``by="composite"``) as text and its ``"verdict"``, beyond or
        within the method's uncertainty.

    Returns
    -------
    (pandas.DataFrame, pandas.DataFrame)
        Risers then fallers, each one row per unit (the column ``"unit"``)
        with ``"rank_start"``, ``"rank_end"``, ``"climbed"`` (places),
        ``"start"``, ``"end"`` and ``"change"`` (composites), the largest
        move first. Units missing at either end are left out.
    """
    if by not in MOVED_BY:
        raise ValueError(f"by must be one of {MOVED_BY}, got {by!r}")
    if by == "composite" and editions.baseline == "refit":
        raise ValueError("under baseline='refit' composites of different editions do not compare: rank movers by places")
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
    moved, then = ("climbed", "change") if by == "places" else ("change", "climbed")
    tie = [] if editions.baseline == "refit" and by == "places" else [then]
    risers = table[table[moved] > 0].sort_values([moved, *tie], ascending=False, kind="stable").head(count)
    fallers = table[table[moved] < 0].sort_values([moved, *tie], ascending=True, kind="stable").head(count)
    if moves is not None:
        risers, fallers = (_judged(part, moves, by, decimals(table["change"])) for part in (risers, fallers))
    return risers.reset_index(drop=True), fallers.reset_index(drop=True)


def _signed(value: float, digits: int) -> str:
    """A change as a reader writes it: its sign always shown, a true minus sign."""
    if value == 0:
        return "0"
    return ("+" if value > 0 else "−") + fixed(abs(value), digits)


def _judged(movers: pd.DataFrame, moves: pd.DataFrame, by: str, digits: int) -> pd.DataFrame:
    """``movers`` with the interval of their move over the runs, and whether it is beyond the method's uncertainty."""
    by_text = {str(unit): unit for unit in moves.index}
    found = moves.loc[[by_text[unit] for unit in movers["unit"]]]
    name, places = ("rank_change", 0) if by == "places" else ("composite_change", digits)
    if by == "places" and not ((found[f"{name}_p5"] % 1 == 0) & (found[f"{name}_p95"] % 1 == 0)).all():
        places = 1  # tied units share half places
    beyond = found["beyond" if by == "places" else "composite_beyond"]
    judged = movers.copy()
    judged["interval"] = [
        f"{_signed(low, places)} to {_signed(high, places)}"
        for low, high in zip(found[f"{name}_p5"], found[f"{name}_p95"], strict=True)
    ]
    judged["verdict"] = [move_verdict(bool(flag)) for flag in beyond]
    return judged


@dataclass(frozen=True)
class Movers:
    """One list of movers as the page shows it.

    Attributes
    ----------
    heading : str
        Its heading.
    table : Table or None
        The movers, the largest first; None when no unit moved that way.
    empty : str
        What the page says instead of an empty table.
    unit : str or None
        The first of them, whose waterfall follows.
    waterfall : Picture or None
        What moved that unit's composite, indicator by indicator; None when
        there is no mover or an earlier list showed that unit's already.
    caption : str
        The waterfall's caption.
    judged : list of (str, list of str)
        With the moves' intervals: each verdict and the movers it holds, in
        words for a reader whose screen cuts the table short.
    """

    heading: str
    table: Table | None
    empty: str
    unit: str | None
    waterfall: Picture | None
    caption: str
    judged: list[tuple[str, list[str]]] = field(default_factory=list)


def _movers(
    editions: Editions, by: str, headers: dict[str, str], kinds: dict[str, int], digits: int, units: dict[str, Any],
    drawn: set[str], moves: pd.DataFrame | None = None,
) -> list[Movers]:
    start, end = editions.periods[0], editions.periods[-1]
    first, last = isolate(start), isolate(end)
    risers, fallers = movers_table(editions, by=by, moves=moves)
    if moves is not None:
        # The interval and the verdict right after the move they judge, so that a phone shows them unscrolled.
        moved_column = "climbed" if by == "places" else "change"
        judged = {"interval": f"{headers.get(moved_column, moved_column)}, 5–95% of runs", "verdict": "the move is"}
        order = list(headers)
        at = order.index(moved_column) + 1 if moved_column in order else len(order)
        headers = {key: ({**headers, **judged})[key] for key in [*order[:at], *judged, *order[at:]]}
    groups = []
    for direction, movers in (("risers", risers), ("fallers", fallers)):
        if by == "places":
            heading = f"Largest {direction}"
            moved = "that climbed most places" if direction == "risers" else "that lost most places"
            empty = f"No unit {'climbed' if direction == 'risers' else 'lost'} places between {first} and {last}."
        else:
            heading = f"Largest {'rises' if direction == 'risers' else 'falls'} of composite"
            moved = "whose composite rose most" if direction == "risers" else "whose composite fell most"
            empty = f"No unit's composite {'rose' if direction == 'risers' else 'fell'} between {first} and {last}."
            # One edition is both start and end: asked for twice, its rows would repeat.
            everyone = editions.results.loc[list(dict.fromkeys((start, end))), "composite"].unstack("period").dropna()
            change = everyone[end] - everyone[start]
            if direction == "fallers" and len(change) and (change > 0).all():
                empty += " Every unit's composite rose: the units that lost places did so because others rose more."
            if direction == "risers" and len(change) and (change < 0).all():
                empty += " Every unit's composite fell: the units that climbed did so because others fell further."
        unit = None if movers.empty else str(movers["unit"].iloc[0])
        waterfall = None
        if unit is not None and unit not in drawn:
            drawn.add(unit)
            waterfall = picture(plot_change(editions, units[unit], start, end))
        named = None if unit is None else isolate(unit)
        caption = (
            f"Why {named}, the unit {moved}, moved: what each indicator added to its composite between "
            f"{first} and {last}, largest first. The bars add up to the difference between the two composites."
        )
        table_shown = table(movers, headers, kinds, default=digits) if len(movers) else None
        verdicts: list[tuple[str, list[str]]] = []
        if moves is not None and len(movers):
            for verdict in (BEYOND, WITHIN):
                named_units = [isolate(unit) for unit in movers.loc[movers["verdict"] == verdict, "unit"]]
                if named_units:
                    verdicts.append((verdict[0].upper() + verdict[1:], named_units))
        groups.append(Movers(heading, table_shown, empty, named, waterfall, caption, verdicts))
    return groups


def over_time(editions: Editions, moves: pd.DataFrame | None = None) -> Section:
    """The "Over time" section of the report.

    Parameters
    ----------
    editions : Editions
        What :func:`editions` returned.
    moves : pandas.DataFrame, optional
        The moves from the first edition to the last with their intervals
        over the runs of a robustness analysis
        (:attr:`RobustnessResult.moves`): each mover is then said to have
        moved beyond the method's uncertainty (its interval excludes zero)
        or within it. Moves between other editions are not shown.

    Returns
    -------
    Section
        Anchored ``"over_time"``: the trajectories, the movers' table, the
        waterfalls of the top riser and the top faller, and the
        comparability findings grouped by kind.
    """
    refit = editions.baseline == "refit"
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
    climbed = editions.results["rank_change"].dropna()
    whole = bool((climbed % 1 == 0).all())
    kinds = {"rank_start": RANK, "rank_end": RANK, "climbed": 0 if whole else 1}
    value: Value = "rank" if refit else "composite"
    drawn: set[str] = set()
    if moves is not None and (moves.attrs.get("since"), moves.attrs.get("until")) != (
        editions.periods[0], editions.periods[-1]
    ):
        moves = None
    movers = _movers(editions, "places", headers, kinds, digits, units, drawn, moves)
    if not refit:
        movers += _movers(editions, "composite", headers, kinds, digits, units, drawn, moves)
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
            "movers": movers,
            "judged": moves is not None,
            "findings": findings(editions.comparability),
        },
    )
