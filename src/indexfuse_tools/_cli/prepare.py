"""``prepare``: a table dropped, imputed, transformed and winsorised, written
with the preparation that replays it."""

from __future__ import annotations

import argparse
import re
import sys
from pathlib import Path
from typing import Any

import pandas as pd

from indexfuse_tools._cli.common import TABLE_SUFFIXES, InputError, check_outputs, data_table, for_csv
from indexfuse_tools._cli.schemas import read_schema
from indexfuse_tools._core import atomic_path, isolate, isolated, show, unsigned_zeros, write_excel
from indexfuse_tools._preparation import TRANSFORMS, Preparation, prepare

__all__ = ["run", "share_or_count"]


def run(arguments: argparse.Namespace) -> int:
    arguments.model = arguments.preparation = None
    check_outputs(arguments, {"--output": arguments.output, "--preparation-out": arguments.preparation_out})
    _check_table_output(arguments.output)
    data = data_table(arguments)
    for option in ("group", "period", "unit"):
        label = getattr(arguments, option)
        if label is not None and label not in data.columns:
            raise InputError(f"--{option} {label}: no such column; columns: {show(list(data.columns), 8)}")
    prepared, log, preparation = prepare(
        read_schema(arguments.schema), data,
        impute=arguments.impute, group=arguments.group, period=arguments.period, unit=arguments.unit,
        max_gap=arguments.max_gap, fallback=arguments.fallback, transform=_transform_option(arguments.transform),
        winsorize=arguments.winsorize, min_present=_min_present_option(arguments.min_present),
        min_present_total=None if arguments.min_present_total is None else share_or_count(
            arguments.min_present_total, "--min-present-total"
        ),
    )  # fmt: skip
    # Both files or neither: a table without the rules that made it cannot be replayed.
    with atomic_path(arguments.output) as table, atomic_path(arguments.preparation_out) as rules:
        _write_table(table, prepared, arguments)
        rules.write_text(preparation.dumps() + "\n", encoding="utf-8")
    print(_treatment_summary(data, log, preparation))
    print(f"prepared table written to {arguments.output}", file=sys.stderr)
    print(f"preparation written to {arguments.preparation_out}", file=sys.stderr)
    return 0


def _treatment_summary(data: pd.DataFrame, log: pd.DataFrame, preparation: Preparation) -> str:
    """What ``prepare`` did, in the words of the report's treatment section:
    rows dropped and why, then values changed per indicator."""
    per_indicator = preparation.summary()
    dropped = log[log["step"] == "drop"]
    lines = [
        f"{len(data) - len(dropped)} of {len(data)} rows kept; {per_indicator['imputed'].sum()} values imputed, "
        f"{per_indicator['winsorized'].sum()} winsorised, {len(preparation.transforms)} indicators transformed"
    ]
    if len(dropped):
        reasons = dropped["column"].value_counts()
        lines.append(
            f"{len(dropped)} rows dropped below the availability thresholds, by the dimension with the fewest "
            "indicators present: " + ", ".join(f"{isolate(name)} {count}" for name, count in reasons.items())
        )
    lines.append(isolated(unsigned_zeros(per_indicator)).to_string())
    return "\n".join(lines)


def _check_table_output(path: str) -> None:
    # The prepared table is read back by the other commands, which tell its format by the suffix.
    if path == "-" or Path(path).suffix.lower() not in TABLE_SUFFIXES:
        raise InputError(
            f"--output {path}: the prepared table is a file whose suffix names its format, one of "
            f"{', '.join(sorted(TABLE_SUFFIXES))}"
        )


def _write_table(path: Path, table: pd.DataFrame, arguments: argparse.Namespace) -> None:
    """``table`` in the format its path's suffix names; its row labels kept
    unless they are only positions."""
    kind = TABLE_SUFFIXES[path.suffix.lower()]
    index = not isinstance(table.index, pd.RangeIndex)
    if kind == "parquet":
        table.to_parquet(path, index=index)
    elif kind == "excel":  # a spreadsheet would run a label such as "=1+1" as a formula
        write_excel(path, {"Sheet1": (for_csv(table, arguments), index)})
    else:
        for_csv(table, arguments).to_csv(path, sep="\t" if kind == "tsv" else ",", index=index)


def share_or_count(text: str, option: str) -> float | int:
    """A threshold as written: a whole number is a count of indicators, a
    decimal or a fraction (``2/3``) a share."""
    written = text.strip()
    try:
        if re.fullmatch(r"[+-]?\d+", written):
            return int(written)
        if "/" in written:
            top, _, bottom = written.partition("/")
            return float(top) / float(bottom)
        return float(written)
    except (ValueError, ZeroDivisionError):
        raise InputError(
            f"{option} {text}: a count of indicators (such as 2) or a share (such as 0.5 or 2/3)"
        ) from None


def _min_present_option(values: list[str] | None) -> float | dict[Any, float | int] | None:
    """``--min-present`` as ``prepare`` takes it: one share for every dimension,
    or a mapping from dimension names (``DIMENSION=THRESHOLD``) with ``None``
    for the rest."""
    if not values:
        return None
    thresholds: dict[Any, float | int] = {}
    for value in values:
        name, equals, threshold = value.rpartition("=")
        key = name.strip() if equals else None
        if key in thresholds:
            raise InputError(f"--min-present: {'the default' if key is None else repr(key)} is given twice")
        thresholds[key] = share_or_count(threshold, "--min-present")
    default = thresholds.get(None)
    if list(thresholds) == [None] and isinstance(default, float):
        return default
    return thresholds


def _transform_option(values: list[str] | None) -> str | dict[Any, str | None] | None:
    """``--transform`` as ``prepare`` takes it: a kind for the indicators the
    outlier rule flags, or ``INDICATOR=KIND`` for each indicator named."""
    if not values:
        return None
    named = [value.rpartition("=") for value in values]
    if not any(equals for _, equals, _ in named):
        if len(values) > 1:
            raise InputError(f"--transform: one kind for the flagged indicators, got {', '.join(values)}")
        return _transform_kind(values[0])
    if not all(equals for _, equals, _ in named):
        raise InputError(
            "--transform: either one kind for the indicators the outlier rule flags, "
            "or INDICATOR=KIND for each indicator, not both"
        )
    return {label: _transform_kind(kind) for label, _, kind in named}


def _transform_kind(text: str) -> str | None:
    kind = text.strip().lower()
    if kind == "none":
        return None
    if kind not in TRANSFORMS:
        raise InputError(f"--transform {text}: a kind is one of {', '.join(TRANSFORMS)} or none")
    return kind
