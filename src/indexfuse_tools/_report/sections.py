"""The report's sections: each function works out what its section shows.

A section's words and markup are in the template named by its anchor
(``templates/<anchor>.html``); the functions here hand it the figures,
tables and numbers, as plain values for the template to escape.
"""

from __future__ import annotations

import math
import urllib.parse
from collections.abc import Hashable, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from indexfuse_tools._audit import FEW_DISTINCT, Audit
from indexfuse_tools._check import Problem
from indexfuse_tools._core import (
    GEOMETRIC_RANGE,
    coefficient_tables,
    csv_safe,
    dimension_name,
    effect,
    fixed,
    isolate,
    plain_name,
    significant,
    split_key,
)
from indexfuse_tools._plots import (
    decimals,
    plot_correlations,
    plot_distribution,
    plot_effective_weights,
    plot_ranking,
    plot_weights,
    style,
)
from indexfuse_tools._plots.style import LABEL_WIDTH
from indexfuse_tools._report.pieces import RANK, framework, picture, rank_text, table
from indexfuse_tools._results import Treated
from indexfuse_tools._robustness import FACTOR_LABELS, RobustnessResult

if TYPE_CHECKING:
    from indexfuse_tools._preparation import Preparation
    from indexfuse_tools._weighting import WeightUncertainty

# Up to this many units the report draws and lists every one of them; beyond
# it, the top and the bottom ones.
ALL_UNITS = 60
LISTED_UNITS = 100
# Units named at each end of the ranking at a glance, and drawn at each end
# of the ranked chart when there are too many to draw them all.
NAMED_UNITS = 3
DRAWN_UNITS = 15
# Units the robustness section lists as the least settled (widest intervals).
LEAST_SETTLED = 12
# Values the data treatment section lists among the largest changes.
LARGEST_CHANGES = 10
# Decimals of a score on the presentation scale: tenths of a point tell
# apart units that integers would tie.
SCORE_DIGITS = 1
#: What every place that shows composites says when no presentation scale is asked for.
OWN_SCALE = (
    "Composite on the model's own scale: a weighted sum of the dimension values, with no unit of its "
    "own; the order of the units and the gaps between them are what it tells."
)

# Headers of the sensitivity table's columns; the second low and high carry a
# space so that the table keeps both pairs of columns apart.
_SENSITIVITY = {
    "factor": "choice",
    "S1": "first-order index",
    "S1_low": "low",
    "S1_high": "high",
    "ST": "total index",
    "ST_low": "low ",
    "ST_high": "high ",
}


@dataclass(frozen=True)
class Section:
    """One section of the page: its anchor (which also names its template),
    its heading, and the values its template shows."""

    anchor: str
    heading: str
    facts: dict[str, Any]


def _plain_column(frame: pd.DataFrame, result: Audit, column: str = "dimension") -> pd.DataFrame:
    shown = frame.copy()
    shown[column] = [plain_name(result.paths.get(name, (name,))) for name in frame[column]]
    return shown


@dataclass(frozen=True)
class Shown:
    """The column of the scores table that the page shows as the units' score, and how.

    Attributes
    ----------
    column : str
        ``"score"`` on a presentation scale, else ``"composite"``.
    title : str
        Its name on the page.
    digits : int
        Its decimals.
    scale : str
        The sentence that states its scale.
    """

    column: str
    title: str
    digits: int
    scale: str


def shown_score(scores: pd.DataFrame) -> Shown:
    """What the page shows of ``scores`` (a table of :func:`results`): the score on the presentation
    scale when it has one, else the composite, with the sentence that states the scale."""
    if "score" in scores.columns:
        return Shown("score", "score (0–100)", SCORE_DIGITS, str(scores.attrs.get("scale", "")))
    return Shown("composite", "composite", decimals(scores["composite"].dropna()), OWN_SCALE)


def _ends(ranked: pd.Series, digits: int) -> tuple[str, str]:
    def listed(part: pd.Series) -> str:
        return ", ".join(f"{isolate(name)} ({fixed(value, digits, grouping=True)})" for name, value in part.items())

    return listed(ranked.head(NAMED_UNITS)), listed(ranked.tail(NAMED_UNITS).iloc[::-1])


def glance(
    result: Audit, scores: pd.DataFrame, problems: list[Problem], dropped: int = 0, more: Sequence[str] = ()
) -> Section:
    """How many units, the best and the worst, and what a reviewer would ask about;
    ``dropped`` units left out by the data treatment are counted too, and ``more``
    findings (from the map, from the review of the weights) follow the rest, each once."""
    shown = shown_score(scores)
    ranked = scores.sort_values("rank", kind="stable")[shown.column].dropna()
    highest, lowest = _ends(ranked, shown.digits)
    findings = result.findings() + [f"{problem.place}: {problem.message}" for problem in problems]
    findings += [finding for finding in more if finding not in findings]
    return Section(
        "glance",
        "At a glance",
        {
            "units": len(ranked),
            "dropped": dropped,
            "indicators": len(result.indicators),
            "dimensions": len(result.coherence),
            "highest": highest,
            "lowest": lowest,
            "score": shown.title,
            "scale": shown.scale,
            "findings": findings,
        },
    )


def framework_section(model: Any) -> Section:
    """The dimensions and indicators as a tree, with weights, coefficients and directions."""
    return Section("framework", "The framework", {"tree": framework(model)})


def weights(model: Any, result: Audit) -> Section:
    """The nominal weights as a chart and a table, and the effective ones against them; what
    the information estimates left out."""
    signs = result.directions()
    dimensions = _plain_column(result.dimensions, result)
    dimensions["effect"] = [effect(signs.get(name, 1.0)) for name in result.dimensions["dimension"]]
    dimensions["parent"] = [
        ""
        if parent is None or (isinstance(parent, float) and math.isnan(parent))
        else plain_name(result.paths[parent])
        for parent in result.dimensions["parent"]
    ]
    dimension_headers = {
        "dimension": "dimension",
        "parent": "part of",
        "effect": "direction",
        "information": "entropy above a constant (nats)",
        "information_share": "share of its level",
        "weight": "weight",
        "equal_weight": "equal weight",
    }
    effective_headers = {
        "dimension": "dimension",
        "weight": "nominal weight",
        "correlation": "correlation with the composite",
        "effective_weight": "effective weight",
        "difference": "effective − nominal",
    }
    return Section(
        "weights",
        "Weights",
        {
            "chart": picture(plot_weights(model)),
            "dimensions": table(dimensions, dimension_headers),
            "notes": result.notes,
            "effective_chart": picture(plot_effective_weights(result)),
            "effective": table(_plain_column(result.effective_weights, result), effective_headers),
        },
    )


def _without(headers: Mapping[str, str], *names: str) -> dict[str, str]:
    return {name: title for name, title in headers.items() if name not in names}


# Units named per rival among those that move most.
SHIFTED_UNITS = 5


def trust(review: WeightUncertainty) -> Section:
    """The weights' intervals over the bootstrap resamples, the rival weightings, the importance
    of each dimension and indicator beside its nominal weight, and what a reviewer would ask."""
    weights = review.weights.copy()
    weights["dimension"] = [review.name(name) for name in weights["dimension"]]
    weights["parent"] = [review.name(name) if isinstance(name, str) else "" for name in weights["parent"]]
    weight_headers = {
        "dimension": "dimension",
        **({"parent": "part of"} if any(weights["parent"]) else {}),
        "weight": "weight",
        "low": "low",
        "high": "high",
        "equal_weight": "equal weight",
        "principal_components": "principal components",
    }
    rivals = review.rivals.reset_index()
    rival_headers = {
        "weighting": "weights",
        "spearman": "Spearman's ρ",
        "kendall": "Kendall's τ",
        "mean_shift": "mean rank shift",
        "largest_shift": "largest rank shift",
        "moved": "units that move",
    }
    shifts = review.shifts.copy()
    shifts = shifts[shifts["shift"] != 0].groupby("weighting", sort=False).head(SHIFTED_UNITS)
    shifts["unit"] = shifts["unit"].map(str)
    shifts["shift"] = [f"{shift:+g}".replace("-", "−") for shift in shifts["shift"]]
    shift_headers = {
        "weighting": "weights", "unit": "unit", "rank": "rank", "rival_rank": "their rank", "shift": "shift",
    }  # fmt: skip
    importance = review.importance.copy()
    importance["dimension"] = [review.name(name) for name in importance["dimension"]]
    importance["name"] = [
        review.name(name) if kind == "dimension" else str(name)
        for kind, name in zip(importance["kind"], importance["name"])
    ]
    importance_headers = {
        "name": "",
        "dimension": "dimension",
        "nominal_weight": "nominal weight",
        "effective_weight": "effective weight",
        "importance": "importance",
        "low": "low",
        "high": "high",
        "share": "share of the importance",
    }
    dimensions = importance[importance["kind"] == "dimension"]
    indicators = importance[importance["kind"] == "indicator"]
    coefficients = review.coefficients.copy()
    coefficients["dimension"] = [review.name(name) for name in coefficients["dimension"]]
    coefficient_headers = {
        "dimension": "dimension", "index": "indicator", "coef": "coefficient", "low": "low", "high": "high",
    }  # fmt: skip
    test = review.equality
    return Section(
        "trust",
        "Can the weights be trusted?",
        {
            "chart": picture(review.plot()),
            "resamples": review.refitted,
            "failed": len(review.failures),
            "level": f"{review.level:.0%}",
            "weights": table(weights, weight_headers),
            "order_changes": None if math.isnan(review.order_changes) else f"{review.order_changes:.0%}",
            "tested": not math.isnan(test.p),
            "told_apart": test.told_apart,
            "p": fixed(test.p, 3) if not math.isnan(test.p) else "",
            "statistic": fixed(test.statistic, 2) if not math.isnan(test.statistic) else "",
            "dof": test.dof,
            "rivals": table(
                rivals, rival_headers, {"spearman": 3, "kendall": 3, "mean_shift": 1, "largest_shift": RANK, "moved": 2}
            ),
            "shifts": table(shifts, shift_headers, {"rank": RANK, "rival_rank": RANK}) if len(shifts) else None,
            "dimensions": table(
                dimensions, {"name": "dimension", **_without(importance_headers, "name", "dimension")}
            ),
            "indicators": table(
                indicators, {"name": "indicator", **_without(importance_headers, "name", "effective_weight")}
            ),
            "coefficients": table(coefficients, coefficient_headers),
            "findings": review.findings(),
        },
    )


def ranking(scores: pd.DataFrame) -> Section:
    """The ranked dot chart of the composite (or its score) and the dot plot of its spread."""
    every = len(scores) <= ALL_UNITS
    shown = shown_score(scores)
    with style():  # lettering as in the other figures
        chart = plot_ranking(
            scores, n=None if every else DRAWN_UNITS, column=shown.column, label=shown.title,
            title=f"Ranking on the {shown.column}",
        )  # fmt: skip
    spread = plot_distribution(scores, column=shown.column, title=f"Where the units fall on the {shown.column}")
    return Section(
        "ranking",
        "Ranking",
        {
            "chart": picture(chart),
            "every": every,
            "drawn": DRAWN_UNITS,
            "spread": picture(spread),
            "score": shown.column,
            "scale": shown.scale,
        },
    )


def coherence(result: Audit) -> Section:
    """Whether each dimension's indicators move together: heat maps and tables."""
    maps = any(matrix.shape[0] >= 2 for matrix in result.correlations.values())
    coherence_headers = {
        "dimension": "dimension",
        "indicators": "indicators",
        "cronbach_alpha": "Cronbach's alpha",
        "standardized_alpha": "standardised alpha",
        "mean_correlation": "mean correlation",
        "min_correlation": "lowest correlation",
        "first_component_share": "first component's share",
        "components_kept": "components kept",
    }
    member_headers = {
        "dimension": "dimension",
        "indicator": "indicator",
        "with_dimension": "correlation with its dimension",
        "with_composite": "correlation with the composite",
    }
    return Section(
        "coherence",
        "Do the indicators hang together?",
        {
            "maps": picture(plot_correlations(result)) if maps else None,
            "cut": maps and _cut_on_the_maps(result),
            "label_width": LABEL_WIDTH,
            "dimensions": table(
                _plain_column(result.coherence, result),
                coherence_headers,
                {"indicators": 0, "components_kept": 0},
            ),
            "members": table(_plain_column(result.indicator_correlations, result), member_headers),
        },
    )


def _cut_on_the_maps(result: Audit) -> bool:
    """Whether the heat maps cut a name: the tables below them then give it whole."""
    names = [
        name
        for dimension, matrix in result.correlations.items()
        if matrix.shape[0] >= 2
        for name in (*matrix.columns, *(split_key(key)[0] for key in result.paths[dimension]))
    ]
    return any(len(str(name)) > LABEL_WIDTH for name in names)


def indicators(result: Audit) -> Section:
    """Each indicator column's statistics as given, and its flags in words."""
    shown = _plain_column(result.indicators, result)
    shown["effect"] = [effect(sign) for sign in result.indicators["overall_direction"]]
    shown["flags"] = [
        ", ".join(text for flag, text in zip(flags, ("needs treatment", "constant", "few values")) if flag)
        for flags in zip(shown["needs_treatment"], shown["constant"], shown["few_distinct"])
    ]
    headers = {
        "dimension": "dimension",
        "indicator": "indicator",
        "effect": "direction",
        "count": "values",
        "missing_share": "missing",
        "min": "min",
        "max": "max",
        "mean": "mean",
        "skew": "skew",
        "kurtosis": "kurtosis",
        "distinct": "distinct",
        "flags": "flags",
    }
    treated = "imputed" in shown.columns
    if treated:
        flags = headers.pop("flags")
        headers = {**headers, "imputed": "imputed", "winsorized": "winsorised", "transform": "transform"}
        headers["flags"] = flags
    counts = {"missing_share": 2, "imputed": 0, "winsorized": 0}
    return Section(
        "indicators",
        "Indicators",
        {"few_distinct": FEW_DISTINCT, "treated": treated, "table": table(shown, headers, counts, default=2)},
    )


def coefficients(result: Audit) -> Section:
    """Each indicator's coefficient, its weight in the index and the statistics it scales by."""
    signs = result.directions()
    shown = _plain_column(result.coefficients, result)
    shown["effect"] = [
        effect(direction * signs[name])
        for name, direction in zip(result.coefficients["dimension"], result.coefficients["direction"])
    ]
    headers = {
        "dimension": "dimension",
        "index": "indicator",
        "effect": "direction",
        "coef": "coefficient",
        "weight_in_index": "weight in the index",
        "abnormal": "abnormal",
        "min": "min",
        "max": "max",
        "mean": "mean",
        "std": "std",
    }
    return Section("coefficients", "Coefficients", {"table": table(shown, headers)})


def links(result: Audit) -> Section:
    """The composite's and each dimension's correlations with the outside measures."""
    assert result.links is not None
    shown = result.links.copy()
    shown["measure"] = [
        "composite" if name == "composite" else plain_name(result.paths[name]) for name in shown["measure"]
    ]
    headers = {
        "external": "measure outside the index",
        "measure": "index or dimension",
        "n": "units",
        "pearson": "Pearson's r",
        "pearson_p": "p",
        "spearman": "Spearman's ρ",
        "spearman_p": "p ",
    }
    return Section(
        "links",
        "Links to other measures",
        {"table": table(shown, headers, {"pearson": 2, "spearman": 2})},
    )


_LEVEL_HEADERS = {
    "level": "left out",
    "runs": "runs",
    "mean_shift": "mean rank shift",
    "median_shift": "median rank shift",
    "excess": "above the mean of all runs",
}


# The interval before the median, so that a phone shows it before the table scrolls.
_SETTLED_HEADERS = {
    "nominal": "rank",
    "p5": "5%",
    "p95": "95%",
    "width": "width",
    "median": "median",
}


def _unit_column(frame: pd.DataFrame) -> tuple[pd.DataFrame, str]:
    """``frame`` with its row labels as its first column, and that column's name."""
    named = frame.reset_index()
    if frame.index.name is None and frame.index.nlevels == 1:
        named = named.rename(columns={named.columns[0]: "unit"})
    return named, str(named.columns[0])


def ranks_csv(analysis: RobustnessResult, scores: pd.DataFrame) -> str:
    """Every unit's nominal rank, median, 5-95% interval and composite, best first, as CSV text.

    Labels a spreadsheet would read as a formula are written as text
    (:func:`csv_safe`); numbers are written in full.
    """
    ranks = analysis.ranks
    full = pd.DataFrame(
        {
            "nominal": ranks["nominal"],
            "median": ranks["median"],
            "p5": ranks["p5"],
            "p95": ranks["p95"],
            "top_tenth": ranks["top_tenth"],
            "bottom_tenth": ranks["bottom_tenth"],
            "composite": scores["composite"].reindex(ranks.index),
        },
        index=ranks.index,
    ).sort_values("nominal", kind="stable")
    shown, _ = _unit_column(full)
    return str(csv_safe(shown).to_csv(index=False, lineterminator="\r\n"))


def download_link(text: str, media: str = "text/csv") -> str:
    """``text`` as a data URI a link downloads: every byte but letters, digits and ``_.-~`` escaped."""
    return f"data:{media};charset=utf-8," + urllib.parse.quote(text, safe="")


def _error_sources(analysis: RobustnessResult) -> dict[str, Any] | None:
    """What the measurement-error factor drew from: each indicator and where its errors come from."""
    errors = analysis.errors
    if errors is None:
        return None
    given = errors.get("errors") or {}
    sources = []
    for indicator in errors["columns"]:
        source = next((value for key, value in given.items() if key == indicator), None)
        if source is None:
            sources.append(isolate(indicator))
        elif isinstance(source, (int, float)) and not isinstance(source, bool):
            sources.append(f"{isolate(indicator)} ({fixed(100 * source, 0 if source * 100 % 1 == 0 else 1)}% of each value)")
        else:
            sources.append(f"{isolate(indicator)} (column {isolate(source)})")
    confidence = errors.get("confidence")
    margin = None if confidence is None else f"{fixed(100 * confidence, 0)}%"
    draws = analysis.factors.get("measurement_error")
    return {"sources": sources, "draws": len(draws) if isinstance(draws, tuple) else 0, "margin": margin}


def robustness(
    analysis: RobustnessResult, scores: pd.DataFrame, highlight: Sequence[Hashable] | None = None
) -> Section:
    """The rank intervals over the alternative indices, the units least settled, every unit's interval
    as a CSV download, and with Sobol's method the sensitivity."""
    settled, unit = _unit_column(analysis.least_settled(LEAST_SETTLED))
    facts: dict[str, Any] = {
        "ranks": picture(analysis.plot_ranks(highlight=highlight)),
        "settled": table(settled, {unit: unit, **_SETTLED_HEADERS}, default=RANK),
        "shown": len(settled),
        "units": len(analysis.ranks),
        "download": download_link(ranks_csv(analysis, scores)),
        "highlighted": bool(highlight),
        "sensitivity": None,
    }
    if len(analysis.sensitivity):
        shown = analysis.sensitivity.reset_index()
        first = str(shown.columns[0])
        shown[first] = [FACTOR_LABELS.get(str(name), str(name).replace("_", " ")) for name in shown[first]]
        headers = {str(name): _SENSITIVITY.get(str(name), str(name)) for name in shown.columns}
        facts["sensitivity"] = picture(analysis.plot_sensitivity())
        facts["table"] = table(shown, headers, default=2)
    facts["geometric"] = (
        f"{fixed(GEOMETRIC_RANGE[0], 0)}–{fixed(GEOMETRIC_RANGE[1], 0)}" if "aggregation" in analysis.factors else None
    )
    facts["errors"] = _error_sources(analysis)
    facts["exclusions"] = None
    if "exclude" in analysis.factors:
        # Which indicator's removal moves the ranking most: the reviewer's
        # next question once the exclusion factor's index is large.
        levels = analysis.by_level("exclude").reset_index()
        facts["exclusions"] = picture(analysis.plot_by_level("exclude"))
        facts["exclusion_table"] = table(levels, _LEVEL_HEADERS, {"runs": 0}, default=2)
    return Section("robustness", "Is the ranking robust?", facts)


def _threshold_text(value: float | int) -> str:
    """An availability threshold in words: a count, or a share of the indicators."""
    return f"at least {value:,}" if isinstance(value, int) else f"at least {value:.0%}"


def _thresholds(preparation: Preparation) -> list[str]:
    """Each availability rule of ``preparation`` in words; one rule for every dimension in one phrase."""
    rules = preparation.min_present
    kinds = {(type(value), value) for value in rules.values()}
    if len(rules) > 1 and len(kinds) == 1 and set(rules) == set(preparation.dimensions):
        words = [f"{_threshold_text(next(iter(rules.values())))} of the indicators of every dimension"]
    else:
        words = [f"{_threshold_text(value)} of the indicators of {plain_name(path)}" for path, value in rules.items()]
    total = preparation.min_present_total
    if total is not None:
        words.append(f"{_threshold_text(total)} of all the index's indicators")
    return words


def _transform_text(rule: Mapping[str, Any] | None) -> str:
    """A stored transform in words, with its parameter: ``"log (shift 1)"``, ``"box-cox (λ 0.31)"``."""
    if not rule:
        return ""
    kind = str(rule["kind"])
    if kind == "log":
        shift = float(rule.get("shift", 0.0))
        return "log" if shift == 0 else f"log (shift {significant(shift, 4)})"
    if "lambda" in rule:
        return f"{kind} (λ {significant(float(rule['lambda']), 3)})"
    return kind


def _imputation_text(preparation: Preparation) -> str | None:
    if preparation.impute is None:
        return None
    statistic = preparation.statistic
    if preparation.group is None:
        across = f"the indicator's {statistic} over the units kept"
    else:
        across = (
            f"the indicator's {statistic} among the units of the same {isolate(preparation.group)} "
            f"(the {statistic} of all units kept where the group has no value)"
        )
    if not preparation.over_time:
        return across
    reach = "" if preparation.max_gap is None else (
        f" at most {preparation.max_gap} period{'s' if preparation.max_gap != 1 else ''} away"
    )
    own = (
        "the unit's last value before the gap (its first one after, for a gap before its first value)"
        if preparation.impute == "carry"
        else "a straight line between the unit's values before and after the gap (its nearest value at either end)"
    )
    return f"{own}, from a value{reach}; where the unit has none, {across}"


def _owners(preparation: Preparation) -> dict[Any, str]:
    """Each indicator's dimension in words (the first, for one used twice)."""
    owners: dict[Any, str] = {}
    for path, labels in preparation.dimensions.items():
        for label in labels:
            owners.setdefault(label, plain_name(path))
    return owners


def _cap_text(caps: tuple[float, float] | None, digits: int) -> str:
    if caps is None:
        return ""
    low, high = caps
    sides = [
        f"≥ {fixed(low, digits, grouping=True)}" if math.isfinite(low) else "",
        f"≤ {fixed(high, digits, grouping=True)}" if math.isfinite(high) else "",
    ]
    return ", ".join(side for side in sides if side)


def _per_indicator(treated: Treated) -> pd.DataFrame:
    """One row per indicator of the preparation: what the treatment did to it."""
    preparation = treated.preparation
    owners = _owners(preparation)
    imputed, winsorized = treated.per_indicator("impute"), treated.per_indicator("winsorize")
    rows = []
    for label in preparation.indicators:
        column = treated.prepared[label]
        digits = decimals(column.dropna()) if column.notna().any() else 3
        rows.append(
            {
                "dimension": owners.get(label, ""),
                "indicator": str(label),
                "missing": int(treated.raw[label].isna().sum()),
                "imputed": int(imputed[label]),
                "transform": _transform_text(preparation.transforms.get(label)),
                "winsorized": int(winsorized[label]),
                "caps": _cap_text(preparation.caps.get(label), digits),
            }
        )
    return pd.DataFrame(rows)


def _untreated(treated: Treated, label: Any) -> pd.Series:
    """An indicator's values over the rows kept as they were before its transform and caps."""
    values: pd.Series = treated.prepared[label].astype(np.float64)
    first = "transform" if label in treated.preparation.transforms else "winsorize"
    steps = treated.steps(first)
    steps = steps[steps["column"] == label]
    values.loc[steps["row"].to_numpy()] = steps["before"].to_numpy(dtype=np.float64)
    return values


def _place(values: pd.Series) -> pd.Series:
    """Each value's place in the column's range: 0 at its lowest, 1 at its highest."""
    low, high = values.min(), values.max()
    return (values - low) / (high - low) if high > low else values * np.nan


def _largest_changes(treated: Treated) -> pd.DataFrame:
    """The values the transforms and caps moved most within their indicator's range."""
    preparation = treated.preparation
    moved = [label for label in preparation.indicators if label in preparation.transforms or label in preparation.caps]
    parts = []
    for label in moved:
        before, after = _untreated(treated, label), treated.prepared[label].astype(np.float64)
        part = pd.DataFrame(
            {
                "unit": before.index.map(str),
                "indicator": str(label),
                "before": before.to_numpy(),
                "after": after.to_numpy(),
                "place_before": _place(before).to_numpy(),
                "place_after": _place(after).to_numpy(),
            }
        )
        parts.append(part)
    if not parts:
        return pd.DataFrame()
    changes = pd.concat(parts, ignore_index=True)
    changes["shift"] = changes["place_after"] - changes["place_before"]
    changes = changes[changes["shift"].abs() > 0]
    order = changes["shift"].abs().sort_values(ascending=False, kind="stable").index
    return changes.loc[order].head(LARGEST_CHANGES)


def _dropped_by_group(treated: Treated) -> pd.DataFrame | None:
    """Per group of the preparation's group column: units, how many dropped and their share."""
    group = treated.preparation.group
    if group is None or group not in treated.raw.columns or treated.dropped.empty:
        return None
    labels = treated.raw[group].astype(object).where(treated.raw[group].notna(), "(no group)").map(str)
    dropped = pd.Series(treated.raw.index.isin(treated.dropped["row"]), index=treated.raw.index)
    counts = dropped.groupby(labels.to_numpy()).agg(["size", "sum"])
    shown = pd.DataFrame(
        {
            "group": counts.index.map(str),
            "units": counts["size"].astype(int).to_numpy(),
            "dropped": counts["sum"].astype(int).to_numpy(),
        }
    )
    shown["share"] = shown["dropped"] / shown["units"]
    return shown.sort_values(["share", "units"], ascending=False, kind="stable").reset_index(drop=True)


@dataclass(frozen=True)
class Dropped:
    """A unit the preparation left out: its label, its group (or None) and why, in words."""

    unit: str
    group: str | None
    reason: str


# The log opens every reason for a drop with this; the section's heading says it once.
_DROP_PREFIX = "too few indicators present: "


def _dropped_units(treated: Treated) -> list[Dropped]:
    """The first :data:`LISTED_UNITS` units dropped, in the table's order."""
    listed = treated.dropped.head(LISTED_UNITS)
    group = treated.preparation.group
    groups: list[Any] = [None] * len(listed)
    if group is not None and group in treated.raw.columns:
        groups = treated.raw.loc[listed["row"].to_numpy(), group].tolist()
    return [
        Dropped(str(unit), None if key is None or pd.isna(key) else str(key), str(detail).removeprefix(_DROP_PREFIX))
        for unit, key, detail in zip(listed["row"], groups, listed["detail"], strict=True)
    ]


def treatment(treated: Treated) -> Section:
    """What the data went through before they were scored: units dropped and why, values imputed,
    transformed and winsorised per indicator, and the largest changes."""
    preparation = treated.preparation
    dropped = treated.dropped
    # The indicator and its counts first, so that a phone shows them before the table scrolls.
    indicator_headers = {
        "indicator": "indicator",
        "missing": "missing in the data",
        "imputed": "imputed",
        "transform": "transform",
        "winsorized": "winsorised",
        "caps": "kept within",
        "dimension": "dimension",
    }
    facts: dict[str, Any] = {
        "units": len(treated.raw),
        "kept": len(treated.prepared),
        "dropped": len(dropped),
        "imputed": len(treated.steps("impute")),
        "winsorized": len(treated.steps("winsorize")),
        "transformed": sorted(str(label) for label in preparation.transforms),
        "capped": bool(preparation.caps),
        "imputation": _imputation_text(preparation),
        "thresholds": _thresholds(preparation),
        "drops": _dropped_units(treated),
        "indicators": table(_per_indicator(treated), indicator_headers),
        "groups": None,
        "changes": None,
    }
    by_group = _dropped_by_group(treated)
    if by_group is not None:
        facts["group"] = str(preparation.group)
        facts["groups"] = table(
            by_group,
            {"group": str(preparation.group), "units": "units", "dropped": "dropped", "share": "share dropped"},
            {"share": 2},
        )
    changes = _largest_changes(treated)
    if not changes.empty:
        headers = {
            "unit": "unit",
            "indicator": "indicator",
            "before": "value",
            "after": "treated",
            "place_before": "place in its range",
            "place_after": "treated place",
            "shift": "moved by",
        }
        facts["changes"] = table(changes, headers, {"before": -1, "after": 3}, default=2)
    return Section("treatment", "Data treatment", facts)


def _listed(scores: pd.DataFrame) -> pd.DataFrame:
    ranked = scores.sort_values("rank", kind="stable")
    if len(ranked) <= LISTED_UNITS:
        return ranked
    return pd.concat([ranked.head(LISTED_UNITS // 2), ranked.tail(LISTED_UNITS // 2)])


# The shares of the runs a unit spends in the best and the worst tenth, as percentages.
_TENTH_HEADERS = {"top_tenth": "in top 10%", "bottom_tenth": "in bottom 10%"}


def _rank_intervals(analysis: RobustnessResult, index: pd.Index) -> pd.Series:
    """Each unit's 5th to 95th percentile rank over the runs, as text ("3–7", "12.5–20")."""
    ranks = analysis.ranks
    text = [f"{rank_text(low)}–{rank_text(high)}" for low, high in zip(ranks["p5"], ranks["p95"], strict=True)]
    return pd.Series(text, index=ranks.index).reindex(index)


def imputed_marks(model: Any, scores: pd.DataFrame, treated: Treated) -> dict[str, list[bool]]:
    """Over the rows of ``scores``: whether each dimension value, and the composite, rests on an
    imputed value of one of its indicators."""
    filled = treated.marked("impute").reindex(scores.index, fill_value=False)
    marks: dict[str, list[bool]] = {}
    every = pd.Series(False, index=scores.index)
    for node in coefficient_tables(model.index_coef):
        labels = [label for label in (split_key(key)[0] for key in node.value) if label in filled.columns]
        touched = filled[labels].any(axis=1) if labels else pd.Series(False, index=scores.index)
        marks[dimension_name(node.path)] = touched.tolist()
        every |= touched
    marks["composite"] = every.tolist()
    return marks


def scores_section(
    scores: pd.DataFrame,
    result: Audit,
    analysis: RobustnessResult | None,
    imputed: dict[str, list[bool]] | None = None,
) -> Section:
    """The units' scores, ranks and dimension values, with their rank intervals when analysed;
    with ``imputed`` (see :func:`imputed_marks`), the values resting on imputed ones marked."""
    listed = _listed(scores)
    shown = shown_score(scores)
    marks = None
    if imputed is not None:
        positions = scores.index.get_indexer(listed.index)
        marks = {name: [flags[i] for i in positions] for name, flags in imputed.items()}
        # The score rests on what the composite rests on.
        marks["score"] = marks.get("composite", [False] * len(listed))
    units = listed.reset_index()
    name = str(units.columns[0])
    headers = {"rank": "rank", name: "unit" if name == "index" else name}
    places = {"rank": RANK, "missing": 0, "imputed": 0, shown.column: shown.digits}
    if analysis is not None:
        units["interval"] = _rank_intervals(analysis, listed.index).to_numpy()
        headers["interval"] = "rank, 5–95% over the alternatives"
        if analysis.ranks["top_tenth"].notna().any():  # an analysis saved before the shares were kept has none
            for column, title in _TENTH_HEADERS.items():
                units[column] = 100 * analysis.ranks[column].reindex(listed.index).to_numpy()
                headers[column] = title
                places[column] = 0
    headers[shown.column] = shown.title
    signs = result.directions()
    for column in scores.columns:
        if column in result.paths:
            lowers = " (lowers the index)" if signs[column] < 0 else ""
            headers[column] = plain_name(result.paths[column]) + lowers
    if "missing" in scores.columns:
        headers["missing"] = "missing values"
    if "imputed" in scores.columns:
        headers["imputed"] = "imputed values"
    digits = decimals(scores["composite"].dropna())
    return Section(
        "scores",
        "Scores",
        {
            "total": len(scores),
            "half": LISTED_UNITS // 2 if len(scores) > LISTED_UNITS else None,
            "scale": shown.scale,
            "download": analysis is not None,
            "tenths": analysis is not None and "top_tenth" in units.columns,
            "table": table(units, headers, places, default=digits, imputed=marks),
            "marked": marks is not None and any(any(flags) for flags in marks.values()),
        },
    )
