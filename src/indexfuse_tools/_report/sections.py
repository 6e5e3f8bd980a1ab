"""The report's sections: each function works out what its section shows.

A section's words and markup are in the template named by its anchor
(``templates/<anchor>.html``); the functions here hand it the figures,
tables and numbers, as plain values for the template to escape.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import pandas as pd

from indexfuse_tools._audit import FEW_DISTINCT, Audit
from indexfuse_tools._check import Problem
from indexfuse_tools._core import effect, plain_name
from indexfuse_tools._plots import (
    decimals,
    plot_correlations,
    plot_distribution,
    plot_effective_weights,
    plot_ranking,
    plot_weights,
    style,
)
from indexfuse_tools._report.pieces import RANK, framework, picture, rank_text, table
from indexfuse_tools._robustness import FACTOR_LABELS, RobustnessResult

# Up to this many units the report draws and lists every one of them; beyond
# it, the top and the bottom ones.
ALL_UNITS = 60
LISTED_UNITS = 100
# Units named at each end of the ranking at a glance, and drawn at each end
# of the ranked chart when there are too many to draw them all.
NAMED_UNITS = 3
DRAWN_UNITS = 15

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


def _ends(ranked: pd.Series, digits: int) -> tuple[str, str]:
    def listed(part: pd.Series) -> str:
        return ", ".join(f"{name} ({value:.{digits}f})" for name, value in part.items())

    return listed(ranked.head(NAMED_UNITS)), listed(ranked.tail(NAMED_UNITS).iloc[::-1])


def glance(result: Audit, scores: pd.DataFrame, problems: list[Problem]) -> Section:
    """How many units, the best and the worst, and what a reviewer would ask about."""
    ranked = scores.sort_values("rank", kind="stable")["composite"].dropna()
    highest, lowest = _ends(ranked, decimals(ranked))
    findings = result.findings() + [f"{problem.place}: {problem.message}" for problem in problems]
    return Section(
        "glance",
        "At a glance",
        {
            "units": len(ranked),
            "indicators": len(result.indicators),
            "dimensions": len(result.coherence),
            "highest": highest,
            "lowest": lowest,
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
        "information": "information",
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


def ranking(scores: pd.DataFrame) -> Section:
    """The ranked dot chart of the composite and the dot plot of its spread."""
    every = len(scores) <= ALL_UNITS
    with style():  # lettering as in the other figures
        chart = plot_ranking(scores, n=None if every else DRAWN_UNITS, title="Ranking on the composite")
    return Section(
        "ranking",
        "Ranking",
        {
            "chart": picture(chart),
            "every": every,
            "drawn": DRAWN_UNITS,
            "spread": picture(plot_distribution(scores)),
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
            "dimensions": table(
                _plain_column(result.coherence, result),
                coherence_headers,
                {"indicators": 0, "components_kept": 0},
            ),
            "members": table(_plain_column(result.indicator_correlations, result), member_headers),
        },
    )


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
    return Section(
        "indicators",
        "Indicators",
        {"few_distinct": FEW_DISTINCT, "table": table(shown, headers, {"missing_share": 2}, default=2)},
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


def robustness(analysis: RobustnessResult) -> Section:
    """The rank intervals over the alternative indices, and with Sobol's method the sensitivity."""
    facts: dict[str, Any] = {"ranks": picture(analysis.plot_ranks()), "sensitivity": None}
    if len(analysis.sensitivity):
        shown = analysis.sensitivity.reset_index()
        first = str(shown.columns[0])
        shown[first] = [FACTOR_LABELS.get(str(name), str(name).replace("_", " ")) for name in shown[first]]
        headers = {str(name): _SENSITIVITY.get(str(name), str(name)) for name in shown.columns}
        facts["sensitivity"] = picture(analysis.plot_sensitivity())
        facts["table"] = table(shown, headers, default=2)
    return Section("robustness", "Is the ranking robust?", facts)


def _listed(scores: pd.DataFrame) -> pd.DataFrame:
    ranked = scores.sort_values("rank", kind="stable")
    if len(ranked) <= LISTED_UNITS:
        return ranked
    return pd.concat([ranked.head(LISTED_UNITS // 2), ranked.tail(LISTED_UNITS // 2)])


def _rank_intervals(analysis: RobustnessResult, index: pd.Index) -> pd.Series:
    """Each unit's 5th to 95th percentile rank over the runs, as text ("3–7", "12.5–20")."""
    ranks = analysis.ranks
    text = [f"{rank_text(low)}–{rank_text(high)}" for low, high in zip(ranks["p5"], ranks["p95"], strict=True)]
    return pd.Series(text, index=ranks.index).reindex(index)


def scores_section(scores: pd.DataFrame, result: Audit, analysis: RobustnessResult | None) -> Section:
    """The units' scores, ranks and dimension values, with their rank intervals when analysed."""
    listed = _listed(scores)
    units = listed.reset_index()
    name = str(units.columns[0])
    headers = {"rank": "rank", name: "unit" if name == "index" else name}
    if analysis is not None:
        units["interval"] = _rank_intervals(analysis, listed.index).to_numpy()
        headers["interval"] = "rank, 5–95% over the alternatives"
    headers["composite"] = "composite"
    signs = result.directions()
    for column in scores.columns:
        if column in result.paths:
            lowers = " (lowers the index)" if signs[column] < 0 else ""
            headers[column] = plain_name(result.paths[column]) + lowers
    if "missing" in scores.columns:
        headers["missing"] = "missing values"
    digits = decimals(scores["composite"].dropna())
    return Section(
        "scores",
        "Scores",
        {
            "total": len(scores),
            "half": LISTED_UNITS // 2 if len(scores) > LISTED_UNITS else None,
            "table": table(units, headers, {"rank": RANK, "missing": 0}, default=digits),
        },
    )
