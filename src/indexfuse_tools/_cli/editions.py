"""``score`` and ``report`` on a long table of editions (``--period COLUMN``).

A long table holds one row per unit and period. ``score`` writes the
editions' results as a long table again, with the period and unit columns
named as in the input; ``report`` writes the report of the latest edition
with its "Over time" section.
"""

from __future__ import annotations

import argparse
import contextlib
import sys
from typing import Any

import pandas as pd

from tessel.modelbench import entropy

from indexfuse_tools._cli.arguments import geometry_key
from indexfuse_tools._cli.common import InputError, for_csv, one_line, read_table, write_text
from indexfuse_tools._cli.models import check_resolution, check_schema, load_model, load_preparation, refuse_constant
from indexfuse_tools._cli.schemas import read_schema
from indexfuse_tools._core import atomic_path, isolate, show
from indexfuse_tools._editions import Editions, editions
from indexfuse_tools._preparation import Preparation
from indexfuse_tools._report import report

__all__ = ["read_long_table", "long_results", "run_score", "run_report"]


def read_long_table(arguments: argparse.Namespace) -> tuple[pd.DataFrame, str]:
    """The long table as read, and the name of its unit column."""
    if arguments.id is not None:
        raise InputError("--id labels the rows of one table; with --period, name the units' column with --unit")
    path = arguments.table
    table = read_table(path, id_column=None, sheet=arguments.sheet)
    if not isinstance(table.index, pd.RangeIndex):  # the reader took a text column as the labels
        table = table.reset_index()
    period = arguments.period
    if period not in table.columns:
        raise InputError(f"--period {period}: no such column in {path}; columns: {show(list(table.columns), 8)}")
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
    return table, str(unit)


def _reference(arguments: argparse.Namespace, table: pd.DataFrame) -> Any:
    """The period ``--reference`` names, as the period column holds it (a year is a number there)."""
    if arguments.reference is None:
        return None
    if arguments.baseline != "reference":
        raise InputError(f"--reference {arguments.reference}: it names the edition of --baseline reference")
    periods = pd.unique(table[arguments.period].dropna())
    matches = [period for period in periods if str(period) == arguments.reference]
    if not matches:
        raise InputError(
            f"--reference {arguments.reference}: no such period in the column {arguments.period!r}; "
            f"periods: {show(sorted(map(str, periods)), 8)}"
        )
    return matches[0]


def _editions(arguments: argparse.Namespace, table: pd.DataFrame, unit: str) -> tuple[Editions, Preparation | None]:
    """The editions of the long table, with the model given or fitted as --baseline says."""
    preparation = None if arguments.preparation is None else load_preparation(arguments.preparation)
    options: dict[str, Any] = {"period": arguments.period, "unit": unit, "scale": arguments.scale}
    if arguments.model is not None:
        if arguments.baseline is not None or arguments.reference is not None:
            raise InputError("--baseline: a fitted model (--model) scores every edition as it stands; give --schema")
        model, carried = load_model(arguments.model)
        preparation = preparation if preparation is not None else carried
        return editions(model, table, preparation=preparation, **options), preparation
    if arguments.schema is None:
        raise InputError("give the schema (--schema FILE) or a fitted model (--model FILE)")
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
            schema, table, baseline=arguments.baseline or "pooled", reference=_reference(arguments, table),
            preparation=preparation, **options, **settings,
        )  # fmt: skip
    return result, preparation


def long_results(result: Editions, period: str, unit: str) -> pd.DataFrame:
    """``result.results`` as a long table: the period and unit columns first, named as in the input."""
    table: pd.DataFrame = result.results.reset_index()
    table.columns = [{"period": period, "unit": unit}.get(name, name) for name in table.columns]
    return table


def run_score(arguments: argparse.Namespace) -> int:
    """``score --period``: every edition's results as one long CSV."""
    if arguments.min_present is not None:
        raise InputError("--min-present: not with --period; the editions score every dimension as the model does")
    table, unit = read_long_table(arguments)
    result, _ = _editions(arguments, table, unit)
    scores = for_csv(long_results(result, arguments.period, unit), arguments)
    write_text(arguments.output, lambda stream: scores.to_csv(stream, index=False))
    return 0


def run_report(arguments: argparse.Namespace, table: pd.DataFrame, unit: str, external: list[str] | None) -> int:
    """``report --period``: the report of the latest edition, with its "Over time" section.

    ``table`` and ``unit`` are what :func:`read_long_table` read; ``external``
    the columns of ``--external``, checked to be in it.
    """
    result, preparation = _editions(arguments, table, unit)
    latest = result.frame(result.periods[-1])
    model = result.models[result.periods[-1]]
    given = preparation if isinstance(preparation, Preparation) else None
    with atomic_path(arguments.output) as temporary:
        report(
            model, latest, temporary, external=None if external is None else latest[external],
            title=arguments.title, source=arguments.source, preparation=given, editions=result,
            scale=arguments.scale, explorer=arguments.explorer, geometry=arguments.geometry,
            key=geometry_key(arguments.key),
        )  # fmt: skip
    print(f"report written to {arguments.output}")
    first, last = isolate(result.periods[0]), isolate(result.periods[-1])
    print(f"{len(result.periods)} editions, {first} to {last}", file=sys.stderr)
    return 0
