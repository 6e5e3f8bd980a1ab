"""What a review of the weights found: its tables, its findings in words and its figure."""

from __future__ import annotations

import math
import os
import textwrap
from collections.abc import Hashable
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

import pandas as pd

from indexfuse_tools._audit import agreement_findings
from indexfuse_tools._core import fixed, isolate, plain_name, strip_bidi, write_excel
from indexfuse_tools._weighting.rivals import RIVALS
from indexfuse_tools._weighting.tables import Equality

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

__all__ = ["WIDE_INTERVAL", "WeightUncertainty"]

#: A weight whose interval is wider than this share of its equal weight is
#: named as uncertain: at half the equal share, the data cannot say whether
#: the dimension counts for about as much as the others or much more or less.
WIDE_INTERVAL = 0.5

# Units named per rival in the text summary (the table holds more), on lines
# no longer than a terminal's or a manual's column.
_SHOWN_SHIFTS = 5
_LINE = 88


@dataclass(frozen=True, repr=False)
class WeightUncertainty:
    """What :func:`weight_uncertainty` found; ``str()`` of it is a text summary.

    Attributes
    ----------
    n : int
        Resamples drawn.
    seed : int
        The seed they were drawn from.
    level : float
        The coverage of every interval (0.9: from the 5th to the 95th
        percentile of the resamples).
    units : int
        Units (rows) of the table.
    weights : pandas.DataFrame
        One row per dimension, a nested one before its sub-dimensions:
        ``dimension``, ``parent``, ``weight`` (the model's; a nested
        dimension's is the sum of its sub-dimensions'), ``low`` and ``high``
        (its interval over the resamples), ``width``, ``std``, ``bias`` (the
        resamples' mean minus the weight: see the Notes of
        :func:`weight_uncertainty`), ``equal_weight`` (as
        :func:`equal_weights` sets it), ``principal_components`` (the rival
        weight of the dimensions' first principal component) and
        ``differs_from_equal`` (the interval leaves the equal weight out).
    coefficients : pandas.DataFrame
        One row per indicator: ``dimension``, ``index``, ``direction``,
        ``coef`` and its ``low``, ``high``, ``width`` and ``std``.
    order : pandas.DataFrame
        One row per pair of dimensions with the same parent: ``dimension``,
        ``other``, ``difference`` (the model's weight of the first minus the
        second's) and ``reversed`` (the share of resamples in which the
        second weighs more, or as much: their order changes).
    order_changes : float
        The share of resamples in which any such pair changes its order.
    equality : Equality
        ``statistic``, ``dof``, ``p`` and ``told_apart`` of Wald's test of
        the weights against equal weights.
    rivals : pandas.DataFrame
        Per rival weighting (``"equal"``, ``"principal components"``): its
        ranking against the model's, ``spearman``, ``kendall``,
        ``mean_shift`` and ``largest_shift`` (absolute rank shifts) and
        ``moved`` (the share of units whose rank changes).
    shifts : pandas.DataFrame
        The units that move most under each rival: ``weighting``, ``unit``,
        ``rank`` (the model's), ``rival_rank`` and ``shift`` (the rival's
        rank minus the model's: positive when the unit falls).
    ranks : pandas.DataFrame
        Every unit's composite and rank (1 = best) under each weighting:
        columns ``"model"``, ``"model rank"``, ``"equal"``, ...
    importance : pandas.DataFrame
        One row per dimension, then one per indicator: ``kind``
        (``"dimension"`` or ``"indicator"``), ``name``, ``dimension``,
        ``nominal_weight`` (an indicator's: its coefficient times its
        dimension's weight), ``effective_weight`` (a dimension's squared
        correlation with the composite, normalised), ``importance`` (the
        correlation ratio of the composite given the input), ``low`` and
        ``high`` (its interval) and ``share`` (the importance normalised
        over its kind, to read against the nominal weight).
    agreement : pandas.DataFrame
        As :attr:`Audit.agreement`: how much each dimension agrees with the
        others, beside its weight and its equal weight.
    failures : pandas.DataFrame
        ``resample`` and ``error`` of every resample the model could not be
        refitted on; the intervals rest on the others.
    draws : pandas.DataFrame
        Every resample's weight of every dimension (a row per resample, NaN
        where it failed).
    paths : dict of str to tuple
        The path of dimension keys behind each dimension name of the tables.
    """

    n: int
    seed: int
    level: float
    units: int
    weights: pd.DataFrame
    coefficients: pd.DataFrame
    order: pd.DataFrame
    order_changes: float
    equality: Equality
    rivals: pd.DataFrame
    shifts: pd.DataFrame
    ranks: pd.DataFrame
    importance: pd.DataFrame
    agreement: pd.DataFrame
    failures: pd.DataFrame
    draws: pd.DataFrame
    paths: dict[str, tuple[Hashable, ...]] = field(default_factory=dict)

    @property
    def refitted(self) -> int:
        """Resamples the model was refitted on."""
        return self.n - len(self.failures)

    def __repr__(self) -> str:
        return (
            f"<WeightUncertainty of {len(self.weights)} dimension weights over {self.units} units: "
            f"{self.refitted} of {self.n} resamples refitted>"
        )

    def __str__(self) -> str:
        return "\n".join(_summary_lines(self))

    def findings(self) -> list[str]:
        """What a reviewer of the weights would ask about, one sentence each: a dimension that
        agrees little with the others yet weighs at least its equal share, weights that cannot be
        told apart from equal weights, a weight whose interval is wider than
        :data:`WIDE_INTERVAL` of its equal weight, and resamples the model could not be refitted on."""
        return _findings(self)

    def tables(self) -> dict[str, pd.DataFrame]:
        """Every table by name: ``weights``, ``coefficients``, ``order``, ``rivals``, ``shifts``,
        ``importance``, ``agreement``, ``failures`` and ``ranks``."""
        return {
            "weights": self.weights,
            "coefficients": self.coefficients,
            "order": self.order,
            "rivals": self.rivals.reset_index(),
            "shifts": self.shifts,
            "importance": self.importance,
            "agreement": self.agreement,
            "failures": self.failures,
            "ranks": self._ranks_by_unit(),
        }

    def _ranks_by_unit(self) -> pd.DataFrame:
        ranks = self.ranks.copy()
        # Rows of stacked editions are labelled by period and unit, each level already named.
        if ranks.index.nlevels == 1 and ranks.index.name is None:
            ranks.index = ranks.index.rename("unit")
        return ranks.reset_index()

    def to_excel(self, path: str | os.PathLike[str]) -> None:
        """Write the summary and every table to one workbook (needs openpyxl).

        One sheet per table of :meth:`tables`, and ``summary`` with the text
        of ``str()``; every label is written as text, never as a formula.
        """
        sheets = {"summary": (pd.DataFrame({"summary": str(self).splitlines()}), False)}
        sheets.update((name, (table, False)) for name, table in self.tables().items())
        write_excel(path, sheets)

    def plot(
        self, *, title: str | None = "Weights, their uncertainty and their rivals", ax: Axes | None = None
    ) -> Figure:
        """Each dimension's weight with its interval over the resamples, beside the equal weight,
        the principal components' weight and its share of the importance.

        A row per dimension (a nested dimension's sub-dimensions below it):
        the model's weight (dot) on its interval (the light bar, written out
        at the right, as it is often narrower than the dot), the equal
        weight (grey tick), and just above and below the line, the weight of
        the first principal component (open diamond) and the dimension's
        share of the importance (square).

        Parameters
        ----------
        title : str or None, optional
            The figure's title; None for none.
        ax : matplotlib.axes.Axes, optional
            Draw here instead of on a new figure.

        Returns
        -------
        matplotlib.figure.Figure
        """
        from indexfuse_tools._plots import plot_weight_intervals

        return plot_weight_intervals(self, title=title, ax=ax)

    def name(self, dimension: str) -> str:
        """A dimension of the tables in words, without directions."""
        return plain_name(self.paths.get(dimension, (dimension,)))


def _percent(share: float) -> str:
    return "-" if math.isnan(share) else f"{share:.0%}"


def _left(text: str, width: int) -> str:
    """``text`` padded to ``width`` columns, its invisible isolates not counted."""
    return text + " " * (width - len(strip_bidi(text)))


def _findings(result: WeightUncertainty) -> list[str]:
    found = agreement_findings(result.agreement, result.paths)
    test = result.equality
    if not math.isnan(test.p) and not test.told_apart:
        found.append(
            f"the dimension weights cannot be told apart from equal weights (p = {fixed(test.p, 2)}, Wald's test "
            f"on the covariance of {result.refitted:,} bootstrap resamples): the data do not show that the "
            "dimensions deserve other shares than equal ones"
        )
    share = f"{result.level:.0%}"
    for row in result.weights.to_dict("records"):
        if row["width"] > WIDE_INTERVAL * row["equal_weight"]:
            found.append(
                f"the weight of {result.name(row['dimension'])} is uncertain: its {share} interval runs from "
                f"{fixed(row['low'], 3)} to {fixed(row['high'], 3)}, wider than half its equal weight of "
                f"{fixed(row['equal_weight'], 3)}"
            )
    if len(result.failures):
        errors = result.failures["error"].drop_duplicates().head(3).tolist()
        found.append(
            f"{len(result.failures):,} of {result.n:,} resamples could not be refitted ({'; '.join(errors)}): "
            f"the intervals rest on the other {result.refitted:,}"
        )
    return found


def _rows_reviewed(result: WeightUncertainty) -> str:
    """The rows resampled, in words: units, or each unit in each edition when editions were stacked."""
    labels = result.ranks.index
    if isinstance(labels, pd.MultiIndex) and labels.nlevels == 2:
        units, editions = labels.get_level_values(1).nunique(), labels.get_level_values(0).nunique()
        return f"{result.units:,} rows ({units:,} units in {editions:,} editions)"
    return f"{result.units:,} units"


def _summary_lines(result: WeightUncertainty) -> list[str]:
    share = f"{result.level:.0%}"
    names = {name: result.name(name) for name in result.weights["dimension"]}
    width = max([len(strip_bidi(name)) for name in names.values()] + [len("dimension")]) + 2
    lines = [
        f"Weights of {_rows_reviewed(result)} over {result.refitted:,} bootstrap resamples"
        + (f" ({len(result.failures):,} more failed)" if len(result.failures) else "")
        + f", {share} intervals",
        "",
        f"{'dimension':<{width}}  weight  {'interval':>13}  equal  principal components",
    ]
    for row in result.weights.to_dict("records"):
        interval = f"{fixed(row['low'], 3)}-{fixed(row['high'], 3)}"
        indent = "  " if row["parent"] else ""
        lines.append(
            f"{_left(indent + names[row['dimension']], width)}  {fixed(row['weight'], 3):>6}  {interval:>13}"
            f"  {fixed(row['equal_weight'], 3):>5}  {fixed(row['principal_components'], 3):>20}"
        )
    test = result.equality
    if not math.isnan(test.p):
        lines += [
            "",
            f"Order of the weights: changes in {_percent(result.order_changes)} of the resamples.",
            f"Against equal weights: Wald's test {fixed(test.statistic, 2)} on {test.dof} degrees of freedom, "
            f"p = {fixed(test.p, 3)}: " + ("told apart." if test.told_apart else "cannot be told apart."),
        ]
    lines += ["", f"{'Rival weighting':<22}  Spearman  Kendall  mean shift  largest shift"]
    for name, rival in zip(result.rivals.index, result.rivals.to_dict("records")):
        lines.append(
            f"  {name:<20}  {fixed(rival['spearman'], 3):>8}  {fixed(rival['kendall'], 3):>7}  "
            f"{fixed(rival['mean_shift'], 1):>10}  {fixed(rival['largest_shift'], 0):>13}"
        )
    for name in RIVALS:
        moved = result.shifts[result.shifts["weighting"] == name].head(_SHOWN_SHIFTS)
        if len(moved) and moved["shift"].abs().max() > 0:
            units = ", ".join(
                f"{isolate(unit)} ({fixed(rank, 0)} to {fixed(other, 0)})"
                for unit, rank, other in zip(moved["unit"], moved["rank"], moved["rival_rank"])
            )
            lines += textwrap.wrap(
                f"moved most under {name}: {units}", _LINE, initial_indent="  ", subsequent_indent="      "
            )
    dimensions = result.importance[result.importance["kind"] == "dimension"]
    lines += ["", f"{'Importance':<{width}}  nominal  effective  importance  {'interval':>13}  share"]
    for row in dimensions.to_dict("records"):
        interval = f"{fixed(row['low'], 3)}-{fixed(row['high'], 3)}"
        lines.append(
            f"  {_left(result.name(row['name']), width - 2)}  {fixed(row['nominal_weight'], 3):>7}"
            f"  {fixed(row['effective_weight'], 3):>9}  {fixed(row['importance'], 3):>10}  {interval:>13}"
            f"  {fixed(row['share'], 3):>5}"
        )
    findings = _findings(result)
    lines += ["", "Findings:"] + ([f"- {text}" for text in findings] if findings else ["none"])
    return lines
