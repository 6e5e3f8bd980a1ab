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
from indexfuse_tools._cli.schemas import read_schema
from indexfuse_tools._core import atomic_path, dimension_name, isolated, show, table_text
from indexfuse_tools._preparation import Preparation
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
    data = data_table(arguments)
    highlight = _highlighted_units(arguments.highlight, arguments.report, data.index)
    schema = read_schema(arguments.schema)
    model, preparation = treated_model(arguments, data)  # the nominal index; also checks the schema
    factors = None
    if arguments.factors:
        factors = {
            name.strip(): None for value in arguments.factors for name in value.split(",") if name.strip()
        }
    settings = {
        "scale_method": arguments.scale_method,
        "pca_cumulative": arguments.pca_cumulative,
        "ent_k": arguments.ent_k,
    }
    if arguments.resolution is not None:
        settings["resolution"] = arguments.resolution
    errors = _errors(arguments.error, data)
    if arguments.confidence is not None and errors is None:
        raise InputError(f"--confidence {arguments.confidence}: says how --error values were given; give --error too")
    analysis = robustness(
        schema, data, factors=factors, method=arguments.method, n=arguments.n, seed=arguments.seed,
        scheduler=arguments.workers, progress=not arguments.quiet,
        preparation=None if preparation is None else _prepare_options(preparation, data), errors=errors,
        confidence=arguments.confidence, **settings,
    )  # fmt: skip
    if arguments.output:
        with atomic_path(arguments.output) as temporary:
            analysis.save(temporary)
    if arguments.ranks:
        write_text(arguments.ranks, for_csv(analysis.ranks, arguments).to_csv)
    if arguments.report:
        with atomic_path(arguments.report) as temporary:
            report(
                model, data, temporary, title=arguments.title, source=arguments.source, robustness=analysis,
                preparation=preparation, highlight=highlight,
            )  # fmt: skip
    print(_robustness_summary(analysis))
    for label, path in (
        ("analysis", arguments.output),
        ("ranks", arguments.ranks),
        ("report", arguments.report),
    ):
        if path:
            print(f"{label} written to {path}", file=sys.stderr)
    return 0


def _errors(values: list[str] | None, data: pd.DataFrame) -> dict[Any, Any] | None:
    """``--error INDICATOR=COLUMN|FRACTION`` options as ``robustness(errors=...)`` takes them.

    The text after ``=`` is a column when the table has one of that name,
    else a relative error; labels are matched as the table's header reads.
    """
    if not values:
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


def _prepare_options(preparation: Preparation, data: pd.DataFrame) -> dict[str, Any]:
    """The options of ``prepare`` that learn ``preparation`` again from the raw table ``data``.

    The analysis prepares the raw table anew in every run, so it needs the
    choices, not the values learned. A preparation keeps every choice but
    the winsorisation limit; each point winsorised moves one more distinct
    value onto the cap, so the limit is the most distinct values capped in
    one indicator when the preparation is replayed: every indicator stopped
    there or sooner, and on the table it was made on the same points are
    capped again.
    """
    _, log = preparation.apply(data)
    capped = log[log["step"] == "winsorize"]
    points = capped.groupby("column", sort=False)["before"].nunique()
    options: dict[str, Any] = {
        "impute": preparation.impute,
        "group": preparation.group,
        "period": preparation.period,
        "unit": preparation.unit,
        "max_gap": preparation.max_gap,
        "fallback": preparation.fallback,
        "transform": {label: rule["kind"] for label, rule in preparation.transforms.items()} or None,
        "winsorize": int(points.max()) if len(points) else False,
        "min_present": {dimension_name(path): value for path, value in preparation.min_present.items()} or None,
        "min_present_total": preparation.min_present_total,
    }
    return {name: value for name, value in options.items() if value is not None and value is not False}
