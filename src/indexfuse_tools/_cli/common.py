"""What every command shares: bad input and how it is reported, reading the
table, and outputs checked before the work and written whole."""

from __future__ import annotations

import argparse
import csv
import io
import os
import re
import sys
import xml.etree.ElementTree
import zipfile
from collections.abc import Callable, Mapping
from pathlib import Path
from typing import IO

import pandas as pd

from indexfuse_tools._cli.errors import EXIT_INTERNAL, InputError, one_line
from indexfuse_tools._core import atomic_path, csv_safe, same_file, show

__all__ = [
    "EXIT_INTERNAL",
    "ROW",
    "TABLE_SUFFIXES",
    "InputError",
    "check_outputs",
    "data_table",
    "for_csv",
    "label_rows",
    "one_line",
    "read_bytes",
    "read_rows",
    "read_table",
    "refuse_period_options",
    "required_table",
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

# The name of the index that numbers a table's rows as a spreadsheet shows them.
ROW = "row"

# What a workbook that is not one raises inside the Excel readers: a zip that
# is not a zip, a zip without the expected members, XML that does not parse.
_BROKEN_WORKBOOK = (zipfile.BadZipFile, KeyError, xml.etree.ElementTree.ParseError)


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
    one column per indicator); otherwise as :func:`read_rows` numbers them.
    """
    table, numbered = read_rows(path, sheet)
    return label_rows(table, id_column, Path(path), numbered)


def read_rows(path: str | Path, sheet: str | None = None) -> tuple[pd.DataFrame, bool]:
    """A table as its file holds it, and whether its rows are numbered as a spreadsheet shows them.

    The rows of a CSV, TSV or Excel file are numbered by the row a
    spreadsheet shows them on (the header is row 1, so the first row of
    data is row 2; a blank line of a CSV is a row too), in an index named
    ``row``: a message about a row then points at it in the file. Parquet
    has no such rows and keeps the index it was written with.
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
            content = file.read_bytes()
            separator = "\t" if kind == "tsv" else ","
            table = pd.read_csv(io.BytesIO(content), sep=separator)
            table.index = _text_rows(content, separator, len(table))
        elif kind == "parquet":
            return pd.read_parquet(file), False
        else:
            table = pd.read_excel(file, sheet_name=sheet if sheet is not None else 0)
            table.index = pd.RangeIndex(2, len(table) + 2, name=ROW)
    except ImportError as exc:
        extra = "parquet" if kind == "parquet" else "excel"
        raise InputError(
            f"{file}: reading {kind} files needs an extra package ({exc}); pip install 'indexfuse[{extra}]'"
        ) from None
    except (ValueError, OSError, pd.errors.ParserError) as exc:
        raise InputError(f"{file}: cannot read it as {kind}: {one_line(exc)}") from None
    except _BROKEN_WORKBOOK as exc:
        raise InputError(f"{file}: not an Excel workbook ({type(exc).__name__}: {one_line(exc)})") from None
    return table, True


# A line the CSV reader skips: nothing on it but spaces and tabs.
_BLANK_LINE = re.compile(rb"(?:\A|\n)[ \t]*\r?\n")


def _text_rows(content: bytes, separator: str, count: int) -> pd.Index:
    """The spreadsheet rows of the ``count`` records of data that the CSV reader read from ``content``.

    Record ``k`` (the header is record 1) is row ``k``, however many lines
    its quoted cells span. The reader skips blank lines, a spreadsheet shows
    them as empty rows: only then are the records counted one by one.
    """
    if _BLANK_LINE.search(content) is None:
        return pd.RangeIndex(2, count + 2, name=ROW)
    records = csv.reader(io.StringIO(content.decode("utf-8", errors="replace"), newline=""), delimiter=separator)
    kept = [number for number, record in enumerate(records, start=1) if record[1:] or "".join(record).strip(" \t")]
    if len(kept) != count + 1:  # a file the two readers split otherwise: the rows as the CSV reader counts them
        return pd.RangeIndex(2, count + 2, name=ROW)
    return pd.Index(kept[1:], name=ROW)


def label_rows(table: pd.DataFrame, id_column: str | None, file: Path, numbered: bool) -> pd.DataFrame:
    """``table`` (as :func:`read_rows` read it from ``file``) with its rows labelled as :func:`read_table` says."""
    if id_column is not None:
        if id_column not in table.columns:
            raise InputError(
                f"{file}: no column {id_column!r} to label the rows (--id); columns: {', '.join(map(str, table.columns))}"
            )
        labels = table[id_column]
        if not labels.is_unique:
            repeated = labels[labels.duplicated()].unique().tolist()
            first = labels.index[(labels == repeated[0]).to_numpy()].tolist()
            where = f" ({repeated[0]!r} on rows {show(first, 3, count=False)})" if numbered else ""
            raise InputError(
                f"{file}: the --id column {id_column!r} repeats {len(repeated)} label(s), such as "
                f"{', '.join(map(repr, repeated[:3]))}{where}; choose an --id column whose values are unique"
            )
        return table.set_index(id_column)
    if (not numbered and not isinstance(table.index, pd.RangeIndex)) or table.shape[1] == 0:
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
    return read_table(required_table(arguments), arguments.id, arguments.sheet)


def required_table(arguments: argparse.Namespace) -> str:
    """The table's path; a command that also works on a published index lets it out only with ``--index``."""
    if arguments.table is None:
        raise InputError("give the table (a .csv, .tsv, .parquet or .xlsx file) or a published index (--index FILE)")
    path: str = arguments.table
    return path


def refuse_period_options(arguments: argparse.Namespace) -> None:
    """Options that only mean something with --period, given without it."""
    for option in ("unit", "baseline", "reference"):
        if getattr(arguments, option, None) is not None:
            raise InputError(f"--{option} needs --period COLUMN: it applies to a long table of editions")


# ---------------------------------------------------------------- outputs --


def check_outputs(arguments: argparse.Namespace, outputs: Mapping[str, str | None]) -> None:
    """Refuse, before any work is done, an output path that is one of the
    inputs or another output, or that cannot be written.

    ``outputs`` maps each output option to its path (None: not asked for;
    ``-``: standard output).
    """
    inputs = {
        "the table": arguments.table,
        "the index": getattr(arguments, "index", None),
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
