"""One self-contained HTML file that presents a fitted index: what it is made
of, how it weighs its parts, who ranks where, and whether it holds together.

The file loads nothing: figures are PNG images inside the page, styles sit in
the page's head, and there is no script.
"""

from __future__ import annotations

import base64
import datetime
import html
import io
import math
import os
import sys
from collections.abc import Callable, Iterable
from pathlib import Path
from typing import TYPE_CHECKING, Any

import pandas as pd

from indexfuse_tools._audit import FEW_DISTINCT, Audit, audit, fit_resolution
from indexfuse_tools._check import check
from indexfuse_tools._figures import (
    decimals,
    plot_correlations,
    plot_distribution,
    plot_effective_weights,
    plot_weights,
    style,
)
from indexfuse_tools._results import plot_ranking, results
from indexfuse_tools._robustness import FACTOR_LABELS as _FACTOR_LABELS
from indexfuse_tools._tables import _split, effect, is_coefficient_table, node_weight, plain_name

if TYPE_CHECKING:
    from matplotlib.figure import Figure

__all__ = ["report", "DPI"]

#: Resolution of the report's figures: sharp on paper and on dense screens.
DPI = 200
# Up to this many units the report draws and lists every one of them; beyond
# it, the top and the bottom ones.
ALL_UNITS = 60
LISTED_UNITS = 100

_CSS = """
:root { color-scheme: light; }
body { font-family: system-ui, -apple-system, "Segoe UI", Roboto, "Helvetica Neue", Arial, sans-serif;
       color: #222; background: #fff; margin: 0; line-height: 1.45; font-size: 15px; }
main { max-width: 60rem; margin: 0 auto; padding: 2rem 1.5rem 4rem; }
header { border-bottom: 3px solid #0072B2; padding-bottom: 1rem; margin-bottom: 1.5rem; }
h1 { font-size: 1.9rem; margin: 0 0 .4rem; }
h2 { font-size: 1.3rem; margin: 2.4rem 0 .6rem; border-bottom: 1px solid #ddd; padding-bottom: .2rem; }
h3 { font-size: 1.05rem; margin: 1.4rem 0 .4rem; }
.meta { color: #555; margin: .15rem 0; }
nav ol { columns: 2; padding-left: 1.2rem; margin: .4rem 0; }
a { color: #0060a0; }
figure { margin: 1rem 0 1.4rem; }
figure img { max-width: 100%; height: auto; display: block; }
figcaption { color: #555; font-size: .88rem; margin-top: .35rem; }
table { border-collapse: collapse; font-size: .84rem; margin: .6rem 0 1.2rem; font-variant-numeric: tabular-nums; }
th, td { padding: .25rem .6rem; border-bottom: 1px solid #e3e3e3; text-align: right; vertical-align: top; }
th { background: #f3f5f7; font-weight: 600; border-bottom: 2px solid #ccc; }
td:first-child, th:first-child, td.text, th.text { text-align: left; }
.scroll { overflow-x: auto; }
ul.tree, ul.tree ul { list-style: none; padding-left: 1.3rem; margin: .2rem 0; }
ul.tree { padding-left: 0; }
ul.tree li { margin: .2rem 0; }
.dimension { font-weight: 600; }
.pill { display: inline-block; font-size: .78rem; padding: 0 .45rem; border-radius: .7rem; margin-left: .35rem; }
.raises { background: #e1effa; color: #004b80; }
.lowers { background: #fbe7dc; color: #8a3300; }
.none { background: #eee; color: #555; }
.num { color: #555; font-size: .85rem; margin-left: .35rem; }
.findings li { margin: .25rem 0; }
.note { color: #555; font-size: .9rem; }
@media print {
  body { font-size: 11pt; }
  main { max-width: none; padding: 0; }
  h2 { break-after: avoid; }
  figure, table { break-inside: avoid; }
  nav { display: none; }
}
"""


# ------------------------------------------------------------- pieces --


def _esc(value: Any) -> str:
    return html.escape(str(value), quote=True)


def _png(fig: Figure, alt: str) -> str:
    """An <img> holding the figure as a PNG, shown at its physical size."""
    buffer = io.BytesIO()
    # No "Software" entry: the page then names no address at all, not even
    # inside its images.
    fig.savefig(buffer, format="png", dpi=DPI, metadata={"Software": None})
    _close(fig)
    # Shown a third larger than its printed size, so that its lettering
    # matches the page's; never wider than the column.
    width = round(fig.get_figwidth() * 96 * 4 / 3)
    data = base64.b64encode(buffer.getvalue()).decode("ascii")
    return f'<img src="data:image/png;base64,{data}" alt="{_esc(alt)}" style="width:{width}px">'


def _close(fig: Figure) -> None:
    # Figures made through pyplot stay registered there until closed.
    pyplot = sys.modules.get("matplotlib.pyplot")
    if pyplot is not None:
        pyplot.close(fig)


def _figure(fig: Figure, alt: str, caption: str) -> str:
    return f"<figure>{_png(fig, alt)}<figcaption>{caption}</figcaption></figure>"


def _number(value: Any, digits: int) -> str:
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "–"
    if isinstance(value, bool):
        return "yes" if value else ""
    if isinstance(value, int):
        return f"{value:,}"
    if isinstance(value, float):
        return f"{value:,g}" if digits < 0 else f"{value:,.{digits}f}"
    return _esc(value)


def _table(
    frame: pd.DataFrame, headers: dict[str, str], digits: dict[str, int] | None = None, default: int = 3
) -> str:
    """An HTML table of the columns named in ``headers``, in that order."""
    digits = digits or {}
    head = "".join(
        f'<th class="{"text" if not pd.api.types.is_numeric_dtype(frame[name]) else ""}">{_esc(title)}</th>'
        for name, title in headers.items()
    )
    body = []
    for _, row in frame.iterrows():
        cells = []
        for name in headers:
            value = row[name]
            if hasattr(value, "item") and not isinstance(value, str):
                value = value.item()
            numeric = isinstance(value, (int, float)) and not isinstance(value, bool)
            text = _number(value, digits.get(name, default))
            cells.append(f"<td>{text}</td>" if numeric else f'<td class="text">{text}</td>')
        body.append("<tr>" + "".join(cells) + "</tr>")
    return f'<div class="scroll"><table><thead><tr>{head}</tr></thead><tbody>{"".join(body)}</tbody></table></div>'


def _pill(sign: float) -> str:
    kind = "raises" if sign > 0 else ("lowers" if sign < 0 else "none")
    return f'<span class="pill {kind}">{_esc(effect(sign))}</span>'


def _tree(model: Any) -> str:
    """The framework: dimensions, their weights and indicators, directions in words."""

    def node(coef: Any, weight: Any, sign: float) -> str:
        if is_coefficient_table(coef):
            items = []
            for key, record in coef.items():
                label, direction = _split(key)
                items.append(
                    f"<li>{_esc(label)}{_pill(sign * direction)}"
                    f'<span class="num">coefficient {record["coef"]:.3f}</span></li>'
                )
            return "<ul>" + "".join(items) + "</ul>"
        items = []
        for key, child in coef.items():
            label, direction = _split(key)
            share = node_weight(weight.get(key) if isinstance(weight, dict) else None)
            shown = "no weight" if math.isnan(share) else f"weight {share:.3f}"
            items.append(
                f'<li><span class="dimension">{_esc(label)}</span>{_pill(sign * direction)}'
                f'<span class="num">{shown}</span>'
                + (
                    ""
                    if child is None
                    else node(child, weight.get(key) if isinstance(weight, dict) else None, sign * direction)
                )
                + "</li>"
            )
        return "<ul>" + "".join(items) + "</ul>"

    tree = model.index_coef
    if is_coefficient_table(tree):
        return (
            '<ul class="tree"><li><span class="dimension">all indicators</span>'
            + node(tree, 1, 1.0)
            + "</li></ul>"
        )
    return node(tree, model.dim_weight, 1.0).replace("<ul>", '<ul class="tree">', 1)


def _plain_column(frame: pd.DataFrame, result: Audit, column: str = "dimension") -> pd.DataFrame:
    shown = frame.copy()
    shown[column] = [plain_name(result.paths.get(name, (name,))) for name in frame[column]]
    return shown


def _units(scores: pd.DataFrame) -> pd.DataFrame:
    ranked = scores.sort_values("rank", kind="stable")
    return (
        ranked
        if len(ranked) <= LISTED_UNITS
        else pd.concat([ranked.head(LISTED_UNITS // 2), ranked.tail(LISTED_UNITS // 2)])
    )


# ------------------------------------------------------------ sections --


def _section(anchor: str, heading: str, body: Iterable[str]) -> tuple[str, str, str]:
    return anchor, heading, f'<section id="{anchor}"><h2>{_esc(heading)}</h2>' + "".join(body) + "</section>"


def _glance(result: Audit, scores: pd.DataFrame, problems: list[Any]) -> tuple[str, str, str]:
    ranked = scores.sort_values("rank", kind="stable")["composite"].dropna()
    digits = decimals(ranked)
    top = ", ".join(f"{_esc(name)} ({value:.{digits}f})" for name, value in ranked.head(3).items())
    bottom = ", ".join(
        f"{_esc(name)} ({value:.{digits}f})" for name, value in ranked.tail(3).iloc[::-1].items()
    )
    findings = result.findings() + [f"{problem.place}: {problem.message}" for problem in problems]
    listed = "".join(f"<li>{_esc(text)}</li>" for text in findings) or "<li>Nothing stands out.</li>"
    return _section(
        "glance",
        "At a glance",
        [
            f"<p>{len(ranked):,} units scored on {len(result.indicators)} indicators in "
            f"{len(result.coherence)} dimensions. Highest: {top}. Lowest: {bottom}.</p>",
            f'<h3>What a reviewer would ask about</h3><ul class="findings">{listed}</ul>',
        ],
    )


def _framework(model: Any) -> tuple[str, str, str]:
    return _section(
        "framework",
        "The framework",
        [
            '<p class="note">Each dimension with its weight, and each indicator with the way it moves the '
            "index: for an indicator that lowers the index, higher values mean a lower score.</p>",
            _tree(model),
        ],
    )


def _weights(model: Any, result: Audit) -> tuple[str, str, str]:
    signs = result.directions()
    dimensions = _plain_column(result.dimensions, result)
    dimensions["effect"] = [effect(signs.get(name, 1.0)) for name in result.dimensions["dimension"]]
    dimensions["parent"] = [
        ""
        if parent is None or (isinstance(parent, float) and math.isnan(parent))
        else plain_name(result.paths[parent])
        for parent in result.dimensions["parent"]
    ]
    effective = _plain_column(result.effective_weights, result)
    return _section(
        "weights",
        "Weights",
        [
            _figure(
                plot_weights(model),
                "Bar chart of the dimension weights",
                "Each bar is a dimension's weight in the index; a nested dimension's bar is split into its "
                "sub-dimensions, listed below it. The grey tick is the share every dimension would get with "
                "equal weights.",
            ),
            "<p>The model weighs each dimension by the information its values carry (an entropy estimate "
            "above that of a constant column), at every level of the nesting.</p>",
            _table(
                dimensions,
                {
                    "dimension": "dimension",
                    "parent": "part of",
                    "effect": "direction",
                    "information": "information",
                    "information_share": "share of its level",
                    "weight": "weight",
                    "equal_weight": "equal weight",
                },
            ),
            _figure(
                plot_effective_weights(result),
                "Dot chart of nominal against effective weights",
                "The effective weight of a dimension is its squared correlation with the composite, the "
                "squares normalised to add up to 1: how much of the ranking the dimension drives in fact. "
                "It parts from the nominal weight when dimensions differ in spread or move together.",
            ),
            _table(
                effective,
                {
                    "dimension": "dimension",
                    "weight": "nominal weight",
                    "correlation": "correlation with the composite",
                    "effective_weight": "effective weight",
                    "difference": "effective − nominal",
                },
            ),
        ],
    )


def _ranking(scores: pd.DataFrame) -> tuple[str, str, str]:
    with style():  # lettering as in the other figures
        ranking = plot_ranking(
            scores, n=None if len(scores) <= ALL_UNITS else 15, title="Ranking on the composite"
        )
    every = len(scores) <= ALL_UNITS
    shown = "every unit" if every else "the 15 highest and the 15 lowest units"
    return _section(
        "ranking",
        "Ranking",
        [
            _figure(
                ranking,
                "Ranked dot chart of the composite",
                f"The composite of {shown}, best first (rank 1 is the highest score; tied units share the "
                "average rank).",
            ),
            _figure(
                plot_distribution(scores),
                "Dot plot of the composite with the extremes named",
                "Every unit is a dot; dots that would overlap are stacked. The three highest and the three "
                "lowest are named; the dashed line is the median.",
            ),
        ],
    )


def _coherence(result: Audit) -> tuple[str, str, str]:
    body = [
        "<p>The indicators of a dimension should move together once their directions are applied: "
        "positive correlations, a high Cronbach's alpha (0.7 and above is the usual reading) and a first "
        "principal component that carries most of the variance.</p>"
    ]
    if any(matrix.shape[0] >= 2 for matrix in result.correlations.values()):
        body.append(
            _figure(
                plot_correlations(result),
                "Heat maps of the correlations within each dimension",
                "Correlation of every pair of indicators of a dimension, with the indicators taken the way "
                "they enter it (“reversed”: higher values count against the dimension). Blue: they move "
                "together. Dimensions of a single indicator have no map.",
            )
        )
    body.append(
        _table(
            _plain_column(result.coherence, result),
            {
                "dimension": "dimension",
                "indicators": "indicators",
                "cronbach_alpha": "Cronbach's alpha",
                "standardized_alpha": "standardised alpha",
                "mean_correlation": "mean correlation",
                "min_correlation": "lowest correlation",
                "first_component_share": "first component's share",
                "components_kept": "components kept",
            },
            {"indicators": 0, "components_kept": 0},
        )
    )
    body.append("<h3>Each indicator against its dimension and the index</h3>")
    body.append(
        _table(
            _plain_column(result.indicator_correlations, result),
            {
                "dimension": "dimension",
                "indicator": "indicator",
                "with_dimension": "correlation with its dimension",
                "with_composite": "correlation with the composite",
            },
        )
    )
    return _section("coherence", "Do the indicators hang together?", body)


def _indicators(result: Audit) -> tuple[str, str, str]:
    table = _plain_column(result.indicators, result)
    table["effect"] = [effect(sign) for sign in result.indicators["overall_direction"]]
    table["flags"] = [
        ", ".join(text for flag, text in zip(flags, ("needs treatment", "constant", "few values")) if flag)
        for flags in zip(table["needs_treatment"], table["constant"], table["few_distinct"])
    ]
    return _section(
        "indicators",
        "Indicators",
        [
            '<p class="note">Statistics of each column as given. Flags: “needs treatment”, skewed and '
            "heavy-tailed by the rule data preparation applies (|skew| above 2 and kurtosis above 3.5); "
            f"“constant”; “few values”, fewer than {FEW_DISTINCT} distinct values.</p>",
            _table(
                table,
                {
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
                },
                {"missing_share": 2},
                default=2,
            ),
        ],
    )


def _coefficients(result: Audit) -> tuple[str, str, str]:
    signs = result.directions()
    table = _plain_column(result.coefficients, result)
    table["effect"] = [
        effect(direction * signs[name])
        for name, direction in zip(result.coefficients["dimension"], result.coefficients["direction"])
    ]
    return _section(
        "coefficients",
        "Coefficients",
        [
            '<p class="note">Within each dimension the coefficients add up to 1 in absolute value; the '
            "weight in the index is the coefficient times the dimension's weight. Statistics are those of the "
            "column with its direction applied, as the model stores them to scale new data. An abnormal "
            "coefficient pulls against the rest of its dimension, usually because a direction is wrong.</p>",
            _table(
                table,
                {
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
                },
            ),
        ],
    )


def _links(result: Audit) -> tuple[str, str, str]:
    assert result.links is not None
    table = result.links.copy()
    table["measure"] = [
        "composite" if name == "composite" else plain_name(result.paths[name]) for name in table["measure"]
    ]
    return _section(
        "links",
        "Links to other measures",
        [
            '<p class="note">Correlation of the composite and of each dimension (taken the way it enters '
            "the index) with each outside measure, over the units that have both. Pearson's r reads a "
            "straight-line relation, Spearman's ρ any relation that keeps the order; p is the chance of a "
            "correlation this strong without any relation.</p>",
            _table(
                table,
                {
                    "external": "measure outside the index",
                    "measure": "index or dimension",
                    "n": "units",
                    "pearson": "Pearson's r",
                    "pearson_p": "p",
                    "spearman": "Spearman's ρ",
                    "spearman_p": "p ",
                },
                {"pearson": 2, "spearman": 2},
            ),
        ],
    )


# Headers of the sensitivity table's columns.
_SENSITIVITY = {
    "factor": "choice",
    "S1": "first-order index",
    "S1_low": "low",
    "S1_high": "high",
    "ST": "total index",
    "ST_low": "low ",
    "ST_high": "high ",
}


def _robustness(analysis: Any) -> tuple[str, str, str]:
    body = [
        _figure(
            analysis.plot_ranks(),
            "Rank of each unit with its interval over the alternative indices",
            "Each unit's rank in the index as published and the range of ranks, 5th to 95th "
            "percentile, it takes over the alternative indices the analysis built. A long line: the rank "
            "depends on choices an expert could make otherwise.",
        )
    ]
    sensitivity = getattr(analysis, "sensitivity", None)
    if isinstance(sensitivity, pd.DataFrame) and len(sensitivity):
        plot_sensitivity: Callable[[], Figure] | None = getattr(analysis, "plot_sensitivity", None)
        if plot_sensitivity is not None:
            body.append(
                _figure(
                    plot_sensitivity(),
                    "Sensitivity indices of the methodological choices",
                    "How much of the shift in ranks each choice explains alone (first-order index) and "
                    "together with its interactions with the others (total index), with 95% intervals.",
                )
            )
        table = sensitivity.reset_index()
        first = str(table.columns[0])
        table[first] = [_FACTOR_LABELS.get(str(name), str(name).replace("_", " ")) for name in table[first]]
        headers = {str(name): _SENSITIVITY.get(str(name), str(name)) for name in table.columns}
        body.append(
            "<p>A choice with a total index near 0 leaves the ranking as it is; the larger the index, the more "
            "of the movement in ranks that choice accounts for. Indices are read with their intervals: "
            "small negative values are estimation noise.</p>"
        )
        body.append(_table(table, headers, default=2))
    return _section("robustness", "Is the ranking robust?", body)


def _rank_intervals(analysis: Any, index: pd.Index) -> pd.Series | None:
    """Each unit's 5th to 95th percentile rank over the runs, as text ("3–7")."""
    ranks = getattr(analysis, "ranks", None)
    if not isinstance(ranks, pd.DataFrame) or not {"p5", "p95"} <= set(ranks.columns):
        return None
    text = [f"{low:g}–{high:g}" for low, high in zip(ranks["p5"], ranks["p95"], strict=True)]
    return pd.Series(text, index=ranks.index).reindex(index)


def _scores(scores: pd.DataFrame, result: Audit, analysis: Any) -> tuple[str, str, str]:
    units = _units(scores)
    intervals = None if analysis is None else _rank_intervals(analysis, units.index)
    units = units.reset_index()
    name = str(units.columns[0])
    headers = {"rank": "rank", name: "unit" if name == "index" else name}
    if intervals is not None:
        units["interval"] = intervals.to_numpy()
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
    note = (
        ""
        if len(scores) <= LISTED_UNITS
        else f'<p class="note">The {LISTED_UNITS // 2} highest and the {LISTED_UNITS // 2} lowest of {len(scores):,} units.</p>'
    )
    table = _table(units, headers, {"rank": -1, "missing": 0}, default=digits)
    return _section("scores", "Scores", [note, table])


def _page(title: str, source: str | None, sections: list[tuple[str, str, str]], meta: str) -> str:
    contents = "".join(f'<li><a href="#{anchor}">{_esc(heading)}</a></li>' for anchor, heading, _ in sections)
    origin = f'<p class="meta">Source: {_esc(source)}</p>' if source else ""
    return (
        "<!DOCTYPE html>\n"
        '<html lang="en"><head><meta charset="utf-8">'
        '<meta name="viewport" content="width=device-width, initial-scale=1">'
        f"<title>{_esc(title)}</title><style>{_CSS}</style></head>"
        f"<body><main><header><h1>{_esc(title)}</h1>{origin}"
        f'<p class="meta">{meta}</p></header>'
        f'<nav aria-label="Contents"><strong>Contents</strong><ol>{contents}</ol></nav>'
        + "".join(body for _, _, body in sections)
        + "</main></body></html>\n"
    )


def _meta(model: Any) -> str:
    from indexfuse_tools import __version__

    cumulative = getattr(getattr(model, "pca", None), "cumulative", None)
    settings = [f"scale method {model.scale_method}", f"{model.k} neighbours for the entropy"]
    if cumulative is not None:
        settings.insert(1, f"principal components covering {cumulative:.0%} of the variance")
    resolution = fit_resolution(model)
    if resolution is not None:
        settings.append(f"entropy read at a resolution of {resolution:.3g}")
    today = datetime.date.today().isoformat()
    return f"Written {today} by indexfuse_tools {_esc(__version__)}. Model: {_esc(', '.join(settings))}."


def report(
    model: Any,
    data: pd.DataFrame,
    path: str | os.PathLike[str],
    external: pd.DataFrame | pd.Series | None = None,
    title: str | None = None,
    source: str | None = None,
    robustness: Any = None,
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
    is given; and the scores of the units.

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
        Where to write the HTML file (overwritten).
    external : pandas.DataFrame or pandas.Series, optional
        Measures outside the index over the same rows, as for :func:`audit`.
    title : str, optional
        The report's title; by default "Composite index report".
    source : str, optional
        Where the data come from, shown under the title.
    robustness : RobustnessResult, optional
        The result of :func:`robustness` on the same rows: its rank-interval
        figure, and with ``method="sobol"`` its sensitivity figure and
        table, are shown, and the scores table gains each unit's 5-95% rank
        interval.

    Returns
    -------
    pathlib.Path
        The path written.

    Raises
    ------
    TypeError, ValueError
        As :func:`audit` raises them for the model, the data and
        ``external``.
    ImportError
        If matplotlib is not installed.

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
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise ImportError(
            "report() draws with matplotlib: pip install matplotlib (or indexfuse[plot])"
        ) from None
    result = audit(model, data, external=external)
    scores = results(model, data)
    problems = [problem for problem in check(model.schema, data) if problem.level == "warning"]
    sections = [
        _glance(result, scores, problems),
        _framework(model),
        _weights(model, result),
        _ranking(scores),
        _coherence(result),
        _indicators(result),
        _coefficients(result),
    ]
    if result.links is not None:
        sections.append(_links(result))
    if robustness is not None:
        sections.append(_robustness(robustness))
    sections.append(_scores(scores, result, robustness))
    page = _page(title or "Composite index report", source, sections, _meta(model))
    target = Path(path)
    target.write_text(page, encoding="utf-8")
    return target
