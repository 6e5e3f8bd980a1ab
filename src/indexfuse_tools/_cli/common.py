"""What every command shares: bad input and how it is reported, reading the
table, and outputs checked before the work and written whole."""

from __future__ import annotations

import argparse
import os
import sys
import xml.etree.ElementTree
import zipfile
from collections.abc import Callable
from pathlib import Path
from typing import IO

import pandas as pd

from indexfuse_tools._core import atomic_path, csv_safe

__all__ = [
    "EXIT_INTERNAL",
    "TABLE_SUFFIXES",
    "InputError",
    "check_outputs",
    "data_table",
    "for_csv",
    "one_line",
    "read_bytes",
    "read_table",
    "refuse_period_options",
    "same_file",
    "write_text",
]

TABLE_SUFFIXES = {
    ".csv": "csv",
    ".txt": "csv",
    ".tsv": "tsv",
    ".parquet": "parquet",
    ".pq": "parquet",
    ".xlsx": "excel",
    ".xlsm": "excel",
}

# What a workbook that is not one raises inside the Excel readers: a zip that
# is not a zip, a zip without the expected members, XML that does not parse.
_BROKEN_WORKBOOK = (zipfile.BadZipFile, KeyError, xml.etree.ElementTree.ParseError)


# A fault of this program, not of its input (sysexits.h: EX_SOFTWARE).
EXIT_INTERNAL = 70


class InputError(Exception):
    """Bad input: reported as one line, exit status 2."""


def one_line(error: BaseException | str) -> str:
    text = str(error.args[0] if isinstance(error, KeyError) and error.args else error)
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    if len(lines) <= 1:
        return lines[0] if lines else type(error).__name__
    return f"{lines[0]} (and {len(lines) - 1} more line{'s' if len(lines) > 2 else ''})"


def read_bytes(path: str, what: str) -> bytes:
    try:
        return Path(path).read_bytes()
    except OSError as exc:
        raise InputError(f"{path}: cannot read the {what}: {exc.strerror or exc}") from None


# ---------------------------------------------------------------- reading --


def read_table(path: str | Path, id_column: str | None = None, sheet: str | None = None) -> pd.DataFrame:
    """A table from a CSV, TSV, Parquet or Excel file, chosen by the suffix.

    The rows are labelled by ``id_column`` when given; otherwise by the first
    column when it holds text without repeats (the usual layout: a name, then
    one column per indicator); otherwise by their position.
    """
    file = Path(path)
    kind = TABLE_SUFFIXES.get(file.suffix.lower())
    if kind is None:
        raise InputError(
            f"{file}: cannot tell the format from the suffix {file.suffix!r}; "
            f"use one of {', '.join(sorted(TABLE_SUFFIXES))}"
        )
    if not file.is_file():
        raise InputError(f"{file}: no such file")
    try:
        if kind in ("csv", "tsv"):
            table = pd.read_csv(file, sep="\t" if kind == "tsv" else ",")
        elif kind == "parquet":
            table = pd.read_parquet(file)
        else:
            table = pd.read_excel(file, sheet_name=sheet if sheet is not None else 0)
    except ImportError as exc:
        extra = "parquet" if kind == "parquet" else "excel"
        raise InputError(
            f"{file}: reading {kind} files needs an extra package ({exc}); pip install 'indexfuse[{extra}]'"
        ) from None
    except (ValueError, OSError, pd.errors.ParserError) as exc:
        raise InputError(f"{file}: cannot read it as {kind}: {one_line(exc)}") from None
    except _BROKEN_WORKBOOK as exc:
        raise InputError(f"{file}: not an Excel workbook ({type(exc).__name__}: {one_line(exc)})") from None
    return _label_rows(table, id_column, file)


def _label_rows(table: pd.DataFrame, id_column: str | None, file: Path) -> pd.DataFrame:
    if id_column is not None:
        if id_column not in table.columns:
            raise InputError(
                f"{file}: no column {id_column!r} to label the rows (--id); columns: {', '.join(map(str, table.columns))}"
            )
        labels = table[id_column]
        if not labels.is_unique:
            repeated = labels[labels.duplicated()].unique().tolist()
            raise InputError(
                f"{file}: the --id column {id_column!r} repeats {len(repeated)} label(s), such as "
                f"{', '.join(map(repr, repeated[:3]))}; choose an --id column whose values are unique"
            )
        return table.set_index(id_column)
    if not isinstance(table.index, pd.RangeIndex) or table.shape[1] == 0:
        return table  # Parquet keeps the index it was written with
    first = table.iloc[:, 0]
    if (
        (pd.api.types.is_string_dtype(first) or first.dtype == object)
        and first.notna().all()
        and first.is_unique
    ):
        return table.set_index(table.columns[0])
    return table


def data_table(arguments: argparse.Namespace) -> pd.DataFrame:
    """The table a command's positional argument names, read as ``--id`` and ``--sheet`` say."""
    return read_table(arguments.table, arguments.id, arguments.sheet)


def refuse_period_options(arguments: argparse.Namespace) -> None:
    """Options that only mean something with --period, given without it."""
    for option in ("unit", "baseline", "reference"):
        if getattr(arguments, option, None) is not None:
            raise InputError(f"--{option} needs --period COLUMN: it applies to a long table of editions")


# ---------------------------------------------------------------- outputs --


def same_file(a: str | Path, b: str | Path) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:  # one of them does not exist (yet): compare where they lead
        return os.path.realpath(a) == os.path.realpath(b)


def check_outputs(arguments: argparse.Namespace, outputs: dict[str, str | None]) -> None:
    """Refuse, before any work is done, an output path that is one of the
    inputs or another output, or that cannot be written.

    ``outputs`` maps each output option to its path (None: not asked for;
    ``-``: standard output).
    """
    inputs = {
        "the table": arguments.table,
        "the schema": getattr(arguments, "schema", None),
        "the model": getattr(arguments, "model", None),
        "the preparation": getattr(arguments, "preparation", None),
    }
    earlier: dict[str, str] = {}
    for option, path in outputs.items():
        if path is None or path == "-":
            continue
        for role, source in {**inputs, **earlier}.items():
            if source is not None and same_file(path, source):
                raise InputError(f"{option} {path}: that is {role}; write the output to another file")
        _check_writable(option, path)
        earlier[option] = path


def _check_writable(option: str, path: str) -> None:
    target = Path(os.path.realpath(path))
    if target.is_dir():
        raise InputError(f"{option} {path}: that is a folder; name a file")
    if not target.parent.is_dir():
        raise InputError(f"{option} {path}: no folder {target.parent}")
    # The output is written beside the target, then renamed: the folder must take new files.
    if not os.access(target.parent, os.W_OK | os.X_OK):
        raise InputError(f"{option} {path}: cannot write in the folder {target.parent}")
    # The rename would replace a file its owner made read-only; writing into it would not.
    if target.exists() and not os.access(target, os.W_OK):
        raise InputError(f"{option} {path}: the file is read-only")


def write_text(path: str | None, write: Callable[[IO[str]], object]) -> None:
    if path is None or path == "-":
        write(sys.stdout)
        return
    with atomic_path(path) as temporary, open(temporary, "w", encoding="utf-8", newline="") as stream:
        write(stream)


def for_csv(table: pd.DataFrame, arguments: argparse.Namespace) -> pd.DataFrame:
    return table if arguments.raw_csv else csv_safe(table)
