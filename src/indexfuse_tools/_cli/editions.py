"""``score``, ``report`` and ``explore`` on a long table of editions
(``--period COLUMN``, or ``--period COLUMN=VALUE`` for one edition).

A long table holds one row per unit and period. ``score`` writes the
editions' results as a long table again, with the period and unit columns
named as in the input (only the chosen edition's rows when one is chosen);
``report`` writes the report of one edition with its "Over time" section,
and ``explore`` the page of one edition with every unit's trajectory: the
chosen edition, or the latest.
"""

from __future__ import annotations

import argparse
import contextlib
import sys
from dataclasses import dataclass
from typing import Any

import pandas as pd

from tessel.modelbench import entropy
from indexfuse_tools._cli.arguments import geometry_key
from indexfuse_tools._cli.common import InputError, for_csv, one_line, read_rows, required_table, write_text
from indexfuse_tools._cli.models import (
    check_resolution,
    check_schema,
    given_model,
    load_preparation,
    refuse_constant,
    refuse_replacement,
)
from indexfuse_tools._cli.schemas import read_schema
from indexfuse_tools._core import atomic_path, isolate, show
from indexfuse_tools._editions import Editions, editions
from indexfuse_tools._explorer import explorer
from indexfuse_tools._preparation import Preparation
from indexfuse_tools._report import report
from indexfuse_tools._robustness import RobustnessResult

__all__ = [
    "LongTable",
    "long_results",
    "period_value",
    "read_long_table",
    "run_explore",
    "run_report",
    "run_score",
    "shown_edition",
]


@dataclass(frozen=True)
class LongTable:
    """A long table as ``--period`` and ``--unit`` read it."""

    #: The table, its rows numbered as a spreadsheet shows them.
    table: pd.DataFrame
    #: The period's column.
    period: str
    #: The units' column.
    unit: str
    #: The edition ``--period COLUMN=VALUE`` chose, as the period column holds it; None for every edition.
    edition: Any = None


def read_long_table(arguments: argparse.Namespace) -> LongTable:
    """The long table the command's arguments name, with its period and unit columns."""
    if arguments.id is not None:
        raise InputError("--id labels the rows of one table; with --period, name the units' column with --unit")
    path = required_table(arguments)
    table, numbered = read_rows(path, arguments.sheet)
    if not numbered and not isinstance(table.index, pd.RangeIndex):  # Parquet with the index it was written with
        table = table.reset_index()
    period, edition = _period_option(arguments.period, table, path)
    unit = arguments.unit
    if unit is None:
        others = [column for column in table.columns if column != period]
        if not others:
            raise InputError(f"{path}: no column to name the units besides --period {period}")
        unit = others[0]
    elif unit not in table.columns:
        raise InputError(f"--unit {unit}: no such column in {path}; columns: {show(list(table.columns), 8)}")
    if unit == period:
        raise InputError(f"--unit {unit}: the units' column cannot be the period's")
    return LongTable(table, str(period), str(unit), edition)


def _period_option(text: str, table: pd.DataFrame, path: str) -> tuple[str, Any]:
    """``--period COLUMN`` or ``--period COLUMN=VALUE``: the column, and the edition chosen (or None)."""
    if text in table.columns:
        return text, None
    column, equals, value = text.rpartition("=")
    if not equals or column not in table.columns:
        raise InputError(f"--period {text}: no such column in {path}; columns: {show(list(table.columns), 8)}")
    return column, period_value(table[column], value, f"--period {text}")


def period_value(periods: pd.Series, text: str, option: str) -> Any:
    """The period ``text`` names, as ``periods`` holds it (a year is a number there, the option's text is not)."""
    labels = pd.unique(periods.dropna())
    matches = [period for period in labels if str(period) == text]
    if not matches:
        raise InputError(
            f"{option}: no such period in the column {periods.name!r}; periods: {show(sorted(map(str, labels)), 8)}"
        )
    return matches[0]


def _reference(arguments: argparse.Namespace, long: LongTable) -> Any:
    """The period ``--reference`` names, as the period column holds it."""
    if arguments.reference is None:
        return None
    if arguments.baseline != "reference":
        raise InputError(f"--reference {arguments.reference}: it names the edition of --baseline reference")
    return period_value(long.table[long.period], arguments.reference, f"--reference {arguments.reference}")


def _editions(arguments: argparse.Namespace, long: LongTable) -> tuple[Editions, Preparation | None]:
    """The editions of the long table, with the model given or fitted as --baseline says."""
    table = long.table
    options: dict[str, Any] = {"period": long.period, "unit": long.unit, "scale": getattr(arguments, "scale", None)}
    if arguments.model is not None:
        if arguments.baseline is not None or arguments.reference is not None:
            raise InputError("--baseline: a fitted model (--model) scores every edition as it stands; give --schema")
        model, preparation = given_model(arguments)
        return editions(model, table, preparation=preparation, **options), preparation
    refuse_replacement(arguments)
    if arguments.schema is None:
        raise InputError("give the schema (--schema FILE) or a fitted model (--model FILE)")
    preparation = None if arguments.preparation is None else load_preparation(arguments.preparation)
    schema = read_schema(arguments.schema)
    stacked = table if preparation is None else preparation.apply(table)[0]
    errors = [problem for problem in check_schema(schema, stacked) if problem.level == "error"]
    if errors:
        raise InputError(f"{errors[0].place}: {one_line(errors[0].message)}")
    check_resolution(arguments.resolution)
    refuse_constant(schema, stacked)
    settings = {
        "scale_method": arguments.scale_method,
        "pca_cumulative": arguments.pca_cumulative,
        "ent_k": arguments.ent_k,
    }
    resolution = arguments.resolution
    with entropy.resolution(resolution) if resolution is not None else contextlib.nullcontext():
        result = editions(
            schema, table, baseline=arguments.baseline or "pooled", reference=_reference(arguments, long),
            preparation=preparation, **options, **settings,
        )  # fmt: skip
    return result, preparation


def long_results(result: Editions, long: LongTable) -> pd.DataFrame:
    """``result.results`` as a long table: the period and unit columns first, named as in the input;
    only the chosen edition's rows when ``--period COLUMN=VALUE`` chose one."""
    results = result.results
    if long.edition is not None:
        results = results[results.index.get_level_values("period") == long.edition]
    table: pd.DataFrame = results.reset_index()
    table.columns = [{"period": long.period, "unit": long.unit}.get(name, name) for name in table.columns]
    return table


def run_score(arguments: argparse.Namespace) -> int:
    """``score --period``: every edition's results (or the chosen one's) as one long CSV."""
    if arguments.min_present is not None:
        raise InputError("--min-present: not with --period; the editions score every dimension as the model does")
    long = read_long_table(arguments)
    result, _ = _editions(arguments, long)
    scores = for_csv(long_results(result, long), arguments)
    write_text(arguments.output, lambda stream: scores.to_csv(stream, index=False))
    return 0


def shown_edition(
    arguments: argparse.Namespace, long: LongTable
) -> tuple[Editions, Any, pd.DataFrame, Preparation | None]:
    """The editions, the one a page shows (chosen by ``--period COLUMN=VALUE``, else the latest),
    its raw rows and the preparation replayed on them."""
    result, preparation = _editions(arguments, long)
    shown = result.periods[-1] if long.edition is None else long.edition
    # The row labels named as the units' column, which the preparation may take its groups from.
    frame = result.frame(shown).rename_axis(long.unit)
    if preparation is not None and preparation.over_time:
        # Replayed on one edition alone, a fill over time needs its period; the values
        # the preparation keeps fill it as it was filled among the other editions.
        frame = frame.assign(**{long.period: shown})
    return result, shown, frame, preparation


def run_report(arguments: argparse.Namespace, long: LongTable, external: list[str] | None) -> int:
    """``report --period``: the report of one edition (the latest by default), with its "Over time" section.

    ``long`` is what :func:`read_long_table` read; ``external`` the columns
    of ``--external``, checked to be in it.
    """
    result, shown, frame, preparation = shown_edition(arguments, long)
    with atomic_path(arguments.output) as temporary:
        report(
            result.models[shown], frame, temporary, external=None if external is None else frame[external],
            title=arguments.title, source=arguments.source, preparation=preparation, editions=result,
            scale=arguments.scale, explorer=arguments.explorer, geometry=arguments.geometry,
            key=geometry_key(arguments.key),
        )  # fmt: skip
    print(f"report written to {arguments.output}")
    print(_editions_line(result, shown), file=sys.stderr)
    return 0


def run_explore(arguments: argparse.Namespace, long: LongTable, robustness: RobustnessResult | None) -> int:
    """``explore --period``: the page of one edition (the latest by default), with every unit's trajectory."""
    result, shown, frame, preparation = shown_edition(arguments, long)
    explorer(
        result.models[shown], frame, arguments.output, title=arguments.title,
        source=arguments.source, robustness=robustness, editions=result, preparation=preparation,
        geometry=arguments.geometry, key=geometry_key(arguments.key), scale=result.presentation,
    )  # fmt: skip
    print(f"explorer written to {arguments.output}")
    print(_editions_line(result, shown), file=sys.stderr)
    return 0


def _editions_line(result: Editions, shown: Any) -> str:
    first, last = isolate(result.periods[0]), isolate(result.periods[-1])
    return f"{len(result.periods)} editions, {first} to {last}; the page shows {isolate(shown)}"
