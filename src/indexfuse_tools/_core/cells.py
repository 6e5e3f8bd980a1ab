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
import warnings
from collections.abc import Iterator, Mapping
from pathlib import Path
from typing import Any

import pandas as pd

__all__ = [
    "atomic_path",
    "csv_safe",
    "csv_safe_label",
    "excel_text",
    "same_file",
    "text_cells",
    "write_excel",
]

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


# The characters a workbook cannot hold: the XML it is made of allows no C0
# control but tab, line feed and carriage return.
_NOT_IN_WORKBOOKS = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f]")
# Unicode draws each C0 control as a visible symbol of its own (U+2400 for
# NUL, U+240C for form feed, U+241B for escape), one to one.
_CONTROL_PICTURES = 0x2400


def _picture(match: re.Match[str]) -> str:
    return chr(_CONTROL_PICTURES + ord(match.group()))


def excel_text(value: Any) -> Any:
    """``value`` as a workbook can hold it: a control character a cell cannot
    store is written as its control picture (form feed as "␌", NUL as "␀").

    The substitution is one to one and visible, so the label reads as what
    it was; anything but such text is returned as it is.

    Examples
    --------
    >>> excel_text("North\\x0cEast"), excel_text("ok\\tyes"), excel_text(2.5)
    ('North␌East', 'ok\\tyes', 2.5)
    """
    if isinstance(value, str) and _NOT_IN_WORKBOOKS.search(value):
        return _NOT_IN_WORKBOOKS.sub(_picture, value)
    return value


def _may_hold_text(values: pd.Index | pd.Series) -> bool:
    return (
        values.dtype == object
        or pd.api.types.is_string_dtype(values.dtype)
        or isinstance(values.dtype, pd.CategoricalDtype)
    )


def _excel_labels(labels: list[Any], changed: list[Any]) -> list[Any]:
    """``labels`` made storable (:func:`excel_text`); each label changed is added to ``changed``."""
    stored = [excel_text(label) for label in labels]
    changed.extend(old for old, new in zip(labels, stored) if new is not old)
    return stored


def _excel_index(index: pd.Index, changed: list[Any]) -> pd.Index:
    """``index`` with its text made storable (:func:`excel_text`)."""
    if isinstance(index, pd.MultiIndex):
        # Rebuilt row by row: two levels' values could become one, which a level cannot hold twice.
        rows = [tuple(_excel_labels(list(row), changed)) for row in index]
        shown: pd.Index = pd.MultiIndex.from_tuples(rows, names=index.names)
    elif _may_hold_text(index):
        shown = pd.Index(_excel_labels(index.tolist(), changed), name=index.name)
    else:
        shown = index
    return shown.set_names(_excel_labels(list(index.names), changed))


def _excel_frame(table: pd.DataFrame, changed: list[Any]) -> pd.DataFrame:
    """A copy of ``table`` a workbook can hold; every label and cell changed for it is added to ``changed``."""
    shown = table.copy()
    shown.index = _excel_index(table.index, changed)
    shown.columns = _excel_index(table.columns, changed)
    for position in range(shown.shape[1]):
        column = shown.iloc[:, position]
        if _may_hold_text(column):
            shown.isetitem(position, _excel_labels(column.tolist(), changed))
    return shown


def write_excel(target: str | os.PathLike[str], sheets: Mapping[str, tuple[pd.DataFrame, bool]]) -> None:
    """Write each table to a sheet of one workbook at ``target``, whole or not at all.

    Every spreadsheet the package writes goes through here, so that each
    one holds its labels alike: a label is stored as text, never as a
    formula or an error value (:func:`text_cells`), and a control character
    no workbook can hold (form feed, NUL, escape...) is written as its
    control picture (:func:`excel_text`), with a warning naming the labels
    changed, rather than failing the whole export on one character. The
    workbook is written through :func:`atomic_path`.

    Parameters
    ----------
    target : str or os.PathLike
        The ``.xlsx`` file to write (replaced).
    sheets : mapping
        Sheet name -> ``(table, index)``: the table and whether its row
        labels are written as its first column(s).

    Raises
    ------
    ImportError
        If openpyxl is not installed.
    """
    try:
        import openpyxl  # noqa: F401
    except ImportError:
        raise ImportError("writing a workbook needs openpyxl: pip install openpyxl (or indexfuse[excel])") from None
    changed: list[Any] = []
    with atomic_path(target) as temporary:
        with pd.ExcelWriter(temporary, engine="openpyxl") as writer:
            for name, (table, index) in sheets.items():
                _excel_frame(table, changed).to_excel(writer, sheet_name=name, index=index)
            text_cells(writer.book)
    if changed:
        examples = ", ".join(repr(label) for label in list(dict.fromkeys(changed))[:3])
        warnings.warn(
            f"{len(changed)} label(s) or cell(s) held control characters a spreadsheet cannot store "
            f"({examples}{', ...' if len(set(changed)) > 3 else ''}): the workbook shows each such "
            "character as its visible symbol (form feed as ␌, NUL as ␀, escape as ␛)",
            stacklevel=2,
        )


def same_file(first: str | os.PathLike[str], second: str | os.PathLike[str]) -> bool:
    """Whether two paths lead to one file: the same file on disk (a hard link,
    a symbolic link, a relative path), or, when one does not exist yet, the
    same place once links and relative parts are resolved.

    Examples
    --------
    >>> import os, pathlib, tempfile
    >>> folder = pathlib.Path(tempfile.mkdtemp())
    >>> same_file(folder / "a.html", folder / "sub" / ".." / "a.html")
    True
    """
    try:
        return os.path.samefile(first, second)
    except OSError:
        return os.path.realpath(first) == os.path.realpath(second)


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
