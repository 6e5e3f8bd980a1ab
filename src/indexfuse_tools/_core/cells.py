"""Cells and files a person opens: labels kept as text in spreadsheets, and
outputs that appear whole or not at all.

Labels come from files written by others (a model file names its dimensions,
a table names its rows), so a label can be crafted to look like a formula.
A spreadsheet that opens our output must show it as the text it is.
"""

from __future__ import annotations

import contextlib
import os
import re
import tempfile
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pandas as pd

__all__ = ["atomic_path", "csv_safe", "csv_safe_label", "text_cells"]

# The first characters on which a spreadsheet reads a CSV field as a formula
# (OWASP, CSV injection).
_FORMULA_STARTS = ("=", "+", "-", "@", "\t", "\r")
# A field that is a plain number is read as that number, never as a formula,
# so "-3.5" in a text column stays as it is.
_NUMBER = re.compile(r"[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?")


def csv_safe_label(value: Any) -> Any:
    """``value`` as a spreadsheet shows it literally when it is written to CSV.

    Text beginning with ``=``, ``+``, ``-``, ``@``, a tab or a carriage
    return gets a leading single quote, unless it is a plain number; every
    other value is returned as it is.

    Examples
    --------
    >>> csv_safe_label('=HYPERLINK("http://x.example")')
    '\\'=HYPERLINK("http://x.example")'
    >>> csv_safe_label("-1.5"), csv_safe_label(-1.5), csv_safe_label("Zürich")
    ('-1.5', -1.5, 'Zürich')
    """
    if isinstance(value, str) and value.startswith(_FORMULA_STARTS) and not _NUMBER.fullmatch(value):
        return "'" + value
    return value


def _safe_index(index: pd.Index) -> pd.Index:
    if isinstance(index, pd.MultiIndex):
        levels = [level.map(csv_safe_label).tolist() for level in index.levels]
        safe: pd.Index = index.set_levels(levels)
    else:
        safe = index.map(csv_safe_label) if index.dtype == object or pd.api.types.is_string_dtype(index) else index
    return safe.set_names([csv_safe_label(name) for name in index.names])


def csv_safe(table: pd.DataFrame) -> pd.DataFrame:
    """A copy of ``table`` whose labels a spreadsheet shows as text.

    Row labels, column names and text cells go through
    :func:`csv_safe_label`; numeric columns are left untouched.

    Examples
    --------
    >>> import pandas as pd
    >>> table = pd.DataFrame({"=cmd": ["@SUM(A1)", "ok"], "score": [-1.0, 2.0]}, index=["+a", "b"])
    >>> print(csv_safe(table).to_csv(), end="")
    ,'=cmd,score
    '+a,'@SUM(A1),-1.0
    b,ok,2.0
    """
    safe = table.copy()
    safe.index = _safe_index(table.index)
    safe.columns = _safe_index(table.columns)
    for position in range(safe.shape[1]):
        column = safe.iloc[:, position]
        if column.dtype == object or pd.api.types.is_string_dtype(column):
            safe.isetitem(position, column.map(csv_safe_label).to_numpy())
    return safe


def text_cells(workbook: Any) -> None:
    """Type every text cell of an openpyxl ``workbook`` as a string.

    openpyxl reads a string that begins with ``=`` as a formula and one such
    as ``#N/A`` as an error value; a label is neither.
    """
    for sheet in workbook.worksheets:
        for row in sheet.iter_rows():
            for cell in row:
                if isinstance(cell.value, str) and cell.data_type in ("f", "e"):
                    cell.data_type = "s"


def _new_file_mode(existing: Path) -> int:
    try:
        return existing.stat().st_mode & 0o7777
    except OSError:
        umask = os.umask(0)
        os.umask(umask)
        return 0o666 & ~umask


@contextlib.contextmanager
def atomic_path(target: str | os.PathLike[str]) -> Iterator[Path]:
    """A temporary path beside ``target`` that replaces it when the block succeeds.

    Write the whole output to the path yielded (by any means: ``open``, a
    library's ``save``, ``DataFrame.to_csv``). Leaving the block normally
    renames it onto ``target`` in one step (:func:`os.replace`), so a reader
    sees the old file or the new one, never half of one; leaving it with an
    exception, an interrupt included, removes the temporary file and leaves
    ``target`` as it was. The new file gets the permissions of the one it
    replaces, or those of a newly created file.

    Examples
    --------
    >>> import pathlib, tempfile
    >>> target = pathlib.Path(tempfile.mkdtemp()) / "scores.csv"
    >>> with atomic_path(target) as path:
    ...     _ = path.write_text("a,b\\n")
    >>> target.read_text()
    'a,b\\n'
    """
    final = Path(os.path.realpath(target))  # through a link, keep the link
    handle, name = tempfile.mkstemp(dir=final.parent, prefix=f".{final.stem}.", suffix=final.suffix or ".tmp")
    os.close(handle)
    temporary = Path(name)
    try:
        yield temporary
        os.chmod(temporary, _new_file_mode(final))
        os.replace(temporary, final)
    except BaseException:
        with contextlib.suppress(OSError):
            temporary.unlink()
        raise
