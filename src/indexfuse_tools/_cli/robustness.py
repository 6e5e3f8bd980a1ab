"""``robustness``: how far the ranks move under other defensible choices, and
which choice moves them most."""

from __future__ import annotations

import argparse
import sys
from typing import Any

import pandas as pd

from indexfuse_tools._cli.arguments import MAX_SAMPLES
from indexfuse_tools._cli.common import InputError, check_outputs, data_table, for_csv, write_text
from indexfuse_tools._cli.models import treated_model
from indexfuse_tools._cli.published import refuse_edition_without_index
from indexfuse_tools._cli.schemas import read_schema
from indexfuse_tools._core import atomic_path, isolated, show, table_text
from indexfuse_tools._report import report
from indexfuse_tools._robustness import RobustnessResult, robustness

__all__ = ["MAX_SAMPLES", "SETTLED_SHOWN", "run"]

# Units the robustness command names: the widest rank intervals.
SETTLED_SHOWN = 10


def run(arguments: argparse.Namespace) -> int:
    arguments.model = None
    check_outputs(
        arguments, {"--output": arguments.output, "--ranks": arguments.ranks, "--report": arguments.report}
    )
    if arguments.n > MAX_SAMPLES:
        raise InputError(f"-n {arguments.n}: at most {MAX_SAMPLES} (2**20) base samples, draws or resamples")
    factors = None
    if arguments.factors:
        factors = {
            name.strip(): None for value in arguments.factors for name in value.split(",") if name.strip()
        }
    if arguments.index is not None:
        return _published(arguments, factors)
    refuse_edition_without_index(arguments)
    data = data_table(arguments)
    highlight = _highlighted_units(arguments.highlight, arguments.report, data.index)
    if arguments.schema is None:
        raise InputError("give the schema (--schema FILE) or a published index (--index FILE)")
    schema = read_schema(arguments.schema)
    model, preparation = treated_model(arguments, data)  # the nominal index; also checks the schema
    settings = {
        "scale_method": arguments.scale_method,
        "pca_cumulative": arguments.pca_cumulative,
        "ent_k": arguments.ent_k,
    }
    if arguments.resolution is not None:
        settings["resolution"] = arguments.resolution
    errors = _errors(arguments, data)
    # The saved preparation is the nominal treatment as it is: replayed, not learnt again.
    analysis = robustness(
        schema, data, factors=factors, method=arguments.method, n=arguments.n, seed=arguments.seed,
        scheduler=arguments.workers, progress=not arguments.quiet, preparation=preparation, errors=errors,
        confidence=arguments.confidence, **settings,
    )  # fmt: skip
    _write_analysis(arguments, analysis)
    if arguments.report:
        with atomic_path(arguments.report) as temporary:
            report(
                model, data, temporary, title=arguments.title, source=arguments.source, robustness=analysis,
                preparation=preparation, highlight=highlight,
            )  # fmt: skip
    _summarise(arguments, analysis)
    return 0


def _published(arguments: argparse.Namespace, factors: dict[str, Any] | None) -> int:
    """``robustness --index``: the analysis of the published index, of one edition."""
    from indexfuse_tools._cli.published import chosen_edition, read_index

    index = read_index(arguments)
    period = chosen_edition(index, arguments.period, arguments.index)
    highlight = _highlighted_units(arguments.highlight, arguments.report, index.frame(period).index)
    errors = _errors(arguments, index.frame(period))
    analysis = index.robustness(
        period=period, factors=factors, method=arguments.method, n=arguments.n, seed=arguments.seed,
        scheduler=arguments.workers, progress=not arguments.quiet, errors=errors, confidence=arguments.confidence,
    )  # fmt: skip
    _write_analysis(arguments, analysis)
    if arguments.report:
        index.report(arguments.report, period=period, title=arguments.title, source=arguments.source,
                     highlight=highlight)  # fmt: skip
    _summarise(arguments, analysis)
    return 0


def _write_analysis(arguments: argparse.Namespace, analysis: RobustnessResult) -> None:
    if arguments.output:
        with atomic_path(arguments.output) as temporary:
            analysis.save(temporary)
    if arguments.ranks:
        write_text(arguments.ranks, for_csv(analysis.ranks, arguments).to_csv)


def _summarise(arguments: argparse.Namespace, analysis: RobustnessResult) -> None:
    print(_robustness_summary(analysis))
    for label, path in (
        ("analysis", arguments.output),
        ("ranks", arguments.ranks),
        ("report", arguments.report),
    ):
        if path:
            print(f"{label} written to {path}", file=sys.stderr)


def _errors(arguments: argparse.Namespace, data: pd.DataFrame) -> dict[Any, Any] | None:
    """``--error INDICATOR=COLUMN|FRACTION`` options as ``robustness(errors=...)`` takes them.

    The text after ``=`` is a column when the table has one of that name,
    else a relative error; labels are matched as the table's header reads.
    """
    values = arguments.error
    if not values:
        if arguments.confidence is not None:
            raise InputError(f"--confidence {arguments.confidence}: says how --error values were given; give --error too")
        return None
    by_text = {str(column): column for column in data.columns}
    errors: dict[Any, Any] = {}
    for value in values:
        indicator, equals, source = value.partition("=")
        indicator, source = indicator.strip(), source.strip()
        if not equals or not indicator or not source:
            raise InputError(f"--error {value!r}: INDICATOR=COLUMN or INDICATOR=FRACTION, such as income=income_se")
        if indicator in errors:
            raise InputError(f"--error: {indicator!r} is given twice")
        if source in by_text:
            errors[by_text.get(indicator, indicator)] = by_text[source]
            continue
        try:
            errors[by_text.get(indicator, indicator)] = float(source)
        except ValueError:
            raise InputError(
                f"--error {value!r}: {source!r} is neither a column of the table nor a relative error such as 0.05"
            ) from None
    return errors


def _highlighted_units(values: list[str] | None, report_path: str | None, units: pd.Index) -> list[Any] | None:
    """The row labels ``--highlight`` names (a label read from a file is matched as text)."""
    if not values:
        return None
    if not report_path:
        raise InputError("--highlight names units in the report's figure: give --report FILE too")
    by_text = {str(unit): unit for unit in units}
    names = [name.strip() for value in values for name in value.split(",") if name.strip()]
    missing = [name for name in names if name not in by_text]
    if missing:
        raise InputError(f"--highlight names no row of the table: {show(missing)}")
    return [by_text[name] for name in names]


def _rank_cell(value: float) -> str:
    """A rank as a reader writes it: whole, or a half where tied units share their places."""
    return f"{value:.0f}" if value == int(value) else f"{value:.1f}"


def _robustness_summary(analysis: RobustnessResult) -> str:
    """What the analysis found, in a few lines: the sensitivity indices when there are any, and the
    units whose rank moves most, by name."""
    parts = [
        f"{len(analysis.runs):,} runs ({analysis.method}) of {len(analysis.ranks):,} units; "
        f"mean absolute rank shift {analysis.runs['rank_shift'].mean():.2f}"
    ]
    if len(analysis.sensitivity):
        indices = table_text(analysis.sensitivity, 3)
        parts.append(f"What moves the ranking (Sobol indices of the mean absolute rank shift):\n{indices}")
    settled = analysis.least_settled(SETTLED_SHOWN)
    if len(settled):
        cells = {column: _rank_cell for column in settled.columns}
        named = isolated(settled).to_string(formatters=cells, index_names=False)
        parts.append(f"The least settled units (the widest 5-95% rank intervals over the runs):\n{named}")
    return "\n\n".join(parts)
