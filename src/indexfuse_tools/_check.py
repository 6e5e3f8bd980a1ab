"""Problems with a schema and a table that the model would skip silently or fail on."""

from __future__ import annotations

import difflib
import unicodedata
from collections import Counter
from dataclasses import dataclass
from typing import Any, Literal

import numpy as np
import pandas as pd
from tessel.validation import check_choice, is_numeric, series_to_float

from indexfuse_tools._core import (
    DEFAULT_K,
    MAX_DEPTH,
    Node,
    Path,
    Schema,
    frame_problem,
    is_finite,
    is_hashable,
    is_leaf,
    is_real,
    name_clashes,
    place,
    resolve,
    show,
    walk,
    where_of,
)

__all__ = ["Problem", "SchemaError", "check"]

ERROR: Literal["error"] = "error"
WARNING: Literal["warning"] = "warning"

_MIN_ROWS = 2  # the entropy estimate and the principal components need two points

Advice = Literal["python", "command line"]

# The fixes a finding suggests, in the words of whoever reads it: a Python
# session is told which call to make, a shell user which command or file edit.
_ADVICE: dict[str, dict[str, str]] = {
    "python": {
        "impute": "impute them (prepare(..., impute='median')) or drop those rows",
        "duplicated": "rename or drop the extra ones (data.loc[:, ~data.columns.duplicated()])",
        "categorical": "convert it to numbers (e.g. .cat.codes for ordered levels) or remove it",
        "text": "convert it with pd.to_numeric or remove it from the schema",
        "normal form": "normalise both, e.g. with unicodedata.normalize('NFC', label)",
    },
    "command line": {
        "impute": (
            "impute them (indexfuse prepare TABLE --schema FILE --impute median -o PREPARED.csv "
            "--preparation-out PREPARATION.json) or drop those rows"
        ),
        "duplicated": "rename or delete the extra ones in the table's header",
        "categorical": "write its levels as numbers in the table (e.g. 1, 2, 3 for ordered levels) or remove it",
        "text": "write it as plain numbers in the table or remove it from the schema",
        "normal form": "save the schema and the table in the same normal form (NFC)",
    },
}


@dataclass(frozen=True)
class Problem:
    """One problem found by :func:`check`.

    Attributes
    ----------
    level : {"error", "warning"}
        ``"error"``: ``fit`` fails, or silently builds something else than
        the schema says. ``"warning"``: the index is built as written, but
        probably not as meant.
    place : str
        Where: a schema entry such as ``schema['safety'][1]``, a dimension
        such as ``schema['opportunity']``, a column such as
        ``data['murder']``, or ``schema`` or ``data`` as a whole.
    message : str
        What is wrong and what to change.
    """

    level: Literal["error", "warning"]
    place: str
    message: str

    def __str__(self) -> str:
        return f"{self.place}: {self.level}: {self.message}"


class SchemaError(ValueError):
    """The errors :func:`check` found, raised with ``strict=True``.

    Its message lists every error, one per line; ``problems`` holds every
    :class:`Problem` found, warnings included.
    """

    def __init__(self, problems: list[Problem]) -> None:
        self.problems = list(problems)
        errors = [p for p in self.problems if p.level == ERROR]
        lines = [f"  {p.place}: {p.message}" for p in errors]
        warned = len(self.problems) - len(errors)
        tail = f"\n(and {warned} warning(s); see .problems)" if warned else ""
        super().__init__(f"{len(errors)} error(s) in the schema or the data:\n" + "\n".join(lines) + tail)


class _Findings:
    def __init__(self, advice: Advice = "python") -> None:
        self.problems: list[Problem] = []
        self.advice = _ADVICE[advice]

    def error(self, where: str, message: str) -> None:
        self.problems.append(Problem(ERROR, where, message))

    def warning(self, where: str, message: str) -> None:
        self.problems.append(Problem(WARNING, where, message))


def check(
    schema: Schema, data: pd.DataFrame, *, strict: bool = False, advice: Advice = "python"
) -> list[Problem]:
    """Find what the model would skip silently or fail on, before fitting.

    The model reads a schema leniently: an entry that names no column is
    skipped, a direction of any type is multiplied in, and a table with
    missing values fails deep inside the toolkit. ``check`` reads ``schema``
    and ``data`` by the model's own rules and reports each problem with its
    place and what to change.

    Parameters
    ----------
    schema : dict, list or tuple
        The schema you will pass to ``indexpca_diment``.
    data : pandas.DataFrame
        The table you will fit on.
    strict : bool, default False
        Raise :class:`SchemaError` if any error is found, instead of
        returning the problems.
    advice : {"python", "command line"}, default "python"
        Whom the suggested fixes address: a Python session (a call such as
        ``prepare(..., impute='median')``) or a user of the ``indexfuse``
        command (``indexfuse prepare ... --impute median``, an edit of the
        table file).

    Returns
    -------
    list of Problem
        In schema order, then column by column, then the table's size; an
        empty list for a clean schema on clean data. Neither argument is
        modified.

    Raises
    ------
    SchemaError
        With ``strict=True``, when at least one problem is an error. Its
        message lists every error; warnings alone never raise.
    ValueError
        When ``advice`` is neither ``"python"`` nor ``"command line"``.

    Notes
    -----
    Errors (``fit`` fails, or builds something else than written):

    - an entry that names no column (the closest labels are suggested; a
      label equal to a column once both are NFC-normalised is named with
      both normal forms), an empty entry, an entry that cannot be compared
      with the labels;
    - a column listed twice in one dimension (its coefficients no longer add
      up to 1);
    - a direction, of an entry or of a dimension key, that is not a finite
      number (``"-1"``, ``None``, ``nan``); a key such as
      ``("economy", "jobs")`` is read as a name and a direction;
    - two dimensions that read alike in the results (``"a / b"`` at the top
      beside ``"b"`` inside ``"a"``, the key ``("safety", -1)`` beside
      ``"safety (-1)"``), or a dimension named as a column the results hold
      beside the dimensions (``"composite"``, ``"rank"``, ``"missing"``...):
      the scores would show two columns of one name;
    - mappings nested more than one level below the top; an empty mapping;
      an empty dimension; a dimension none of whose entries names a column;
      a nested dimension none of whose sub-dimensions names one, and a
      schema none of whose dimensions does (placeholders ``None`` alone
      included); a dimension
      that is neither a mapping, a list nor a tuple (a string, a set, an
      array);
    - a tuple column label (a ``MultiIndex``) written as an entry, which the
      model reads as a label plus a direction;
    - ``data`` that is not a DataFrame; a used label that names several
      columns; a used column that is not numeric (categorical, datetime,
      text) or holds missing or infinite values; fewer than 2 rows.

    Warnings: a column used in two dimensions; a direction that is a bool,
    0, or another number than 1 and -1; an entry of three or more elements
    (only its label is read); a constant column; fewer rows than the
    entropy estimate's default 10 neighbours need, or than a dimension has
    indicators.

    Examples
    --------
    >>> import pandas as pd
    >>> from indexfuse_tools import check
    >>> data = pd.DataFrame({"gdp": [1.0, 2.0, 4.0, 3.0] * 3,
    ...                      "jobs": [3.0, 1.0, 2.0, 5.0] * 3,
    ...                      "crime": [2.0, 2.5, 1.0, 0.5] * 3})
    >>> check({"economy": ["gdp", "jobs"], "safety": [("crime", -1)]}, data)
    []
    >>> for problem in check({"economy": ["gdp", "jbos"], "safety": [("crime", "-1")]}, data):
    ...     print(problem)
    schema['economy'][1]: error: 'jbos' names no column of the data; did you mean 'jobs'?
    schema['safety'][0]: error: the direction '-1' of the column 'crime' is a string, not a number:
    write -1 without quotes
    """
    check_choice(advice, "advice", tuple(_ADVICE))
    found = _Findings(advice)
    problem = frame_problem(data)
    if problem is not None:
        found.error("data", problem)
    frame: pd.DataFrame | None = data if problem is None else None
    columns = frame.columns.tolist() if frame is not None else None
    uses = _check_schema(schema, columns, found)
    if frame is not None:
        _check_columns(frame, uses, found)
        _check_rows(frame, uses, found)
    if strict and any(p.level == ERROR for p in found.problems):
        raise SchemaError(found.problems)
    return found.problems


# ---------------------------------------------------------------- schema --


@dataclass
class _Use:
    """A column named by an entry: which entry, and in which dimension."""

    label: Any
    place: str
    dimension: str


def _check_schema(schema: Any, columns: list[Any] | None, found: _Findings) -> list[_Use]:
    if schema is None or not isinstance(schema, (dict, list, tuple)):
        found.error("schema", _not_a_dimension(schema, top=True))
        return []
    uses: list[_Use] = []
    named: list[tuple[Any, ...]] = []  # paths of the lists that name at least one column
    nested: list[Node] = []
    dimensions: list[Path] = []
    for node in walk(schema):
        if node.depth > 0:
            _check_key(node, found)
            dimensions.append(node.path)
        value = node.value
        if isinstance(value, dict):
            _check_mapping(node, found, nested)
        elif is_leaf(node):
            leaf_uses = _check_leaf(node, columns, uses, found)
            if leaf_uses:
                named.append(node.path)
            uses.extend(leaf_uses)
        elif value is not None or node.depth == 0:
            found.error(node.place, _not_a_dimension(value, top=node.depth == 0))
    _check_names(dimensions, found)
    if columns is not None and isinstance(schema, dict) and schema and not named:
        found.error("schema", "no dimension names a column: the composite would be the integer 0")
    if columns is not None:
        for node in nested:
            depth = len(node.path)
            too_deep = any(isinstance(child, dict) for child in node.value.values())  # reported
            if not too_deep and not any(path[:depth] == node.path for path in named):
                found.error(
                    node.place,
                    "none of its sub-dimensions names a column: fit fails with TypeError; "
                    "fix the entries below or remove the dimension",
                )
    return uses


def _check_names(dimensions: list[Path], found: _Findings) -> None:
    for name, paths in name_clashes(dimensions):
        if len(paths) == 1:
            found.error(
                where_of("schema", paths[0]),
                f"its name {name!r} is that of a column the results hold beside the dimensions: "
                "results(), the report and the explorer refuse it; rename the dimension",
            )
            continue
        first = where_of("schema", paths[0])
        for path in paths[1:]:
            found.error(
                where_of("schema", path),
                f"shows as {name!r} in the results, as {first} does: the two would share one column, "
                "so results(), the report and the explorer refuse them; rename one",
            )


def _check_mapping(node: Node, found: _Findings, nested: list[Node]) -> None:
    if node.depth > MAX_DEPTH:
        found.error(
            node.place,
            "mappings nest deeper than the model reads: a dimension may hold sub-dimensions, "
            "but a sub-dimension must be a list of entries (fit fails with TypeError); "
            "flatten this level into its parent",
        )
    elif not node.value:
        found.error(
            node.place,
            "the schema has no dimensions: the composite would be the integer 0"
            if node.depth == 0
            else "an empty mapping of sub-dimensions: fit fails with KeyError; "
            "give it sub-dimensions, or use None for a placeholder",
        )
    elif node.depth > 0:
        nested.append(node)


def _check_key(node: Node, found: _Findings) -> None:
    key = node.path[-1]
    if isinstance(key, tuple) and len(key) == 2:
        problem = _direction_problem(
            key[1], "the dimension's contribution to the composite", ", while it keeps its weight"
        )
        if problem is not None:
            level, message = problem
            if level == ERROR:
                message += (
                    f"; a two-element key is read as (name, direction): to name the dimension "
                    f"{key!r}, use a string such as {' / '.join(map(str, key))!r}"
                )
            found.problems.append(Problem(level, node.place, message))


def _check_leaf(node: Node, columns: list[Any] | None, uses: list[_Use], found: _Findings) -> list[_Use]:
    fate = "fit fails with TypeError" if node.depth == 0 else "it gets no weight and drops out of the index"
    if not node.value:
        found.error(node.place, f"an empty dimension: {fate}; list its columns, or use None for a placeholder")
        return []
    here: list[_Use] = []
    for i, entry in enumerate(node.value):
        where = f"{node.place}[{i}]"
        use = _check_entry(entry, where, node.place, columns, found)
        if use is None:
            continue
        _check_repeat(use, here, uses, found)
        here.append(use)
    if columns is not None and not here:
        found.error(node.place, f"none of its entries names a column: {fate}")
    return here


def _check_entry(
    entry: Any, where: str, dimension: str, columns: list[Any] | None, found: _Findings
) -> _Use | None:
    sequence = isinstance(entry, (list, tuple))
    if sequence and len(entry) == 0:
        found.error(where, "an empty entry: fit fails with IndexError; remove it")
        return None
    if columns is None:  # no table to match against: only the entry's own shape can be read
        if sequence and len(entry) == 2:
            _report_direction(entry, where, found)
        return None
    try:
        match = resolve(entry, columns)
    except Exception as exc:  # the model's own comparison would fail the same way
        found.error(where, f"{entry!r:.60} cannot be compared with the column labels ({exc})")
        return None
    if match is None:
        label = entry[0] if sequence else entry
        found.error(where, f"{label!r} names no column of the data; {_suggest(label, columns, found)}")
        return None
    if match.whole:
        found.error(
            where,
            f"{match.label!r} is a column label, but the model reads a tuple entry as a label and "
            f"a direction and would select the column {entry[0]!r}: write [{match.label!r}] to "
            f"use the label whole, or ({match.label!r}, -1) to give it a direction",
        )
        return _Use(match.label, where, dimension)
    if sequence and len(entry) == 2 and tuple(entry) in columns:
        found.error(
            where,
            f"read as the column {entry[0]!r} with the direction {entry[1]!r}, although "
            f"{tuple(entry)!r} is a column label too: write [{tuple(entry)!r}] for that column",
        )
    elif sequence and len(entry) == 2:
        _report_direction(entry, where, found)
    elif sequence and len(entry) > 2:
        found.warning(
            where,
            f"an entry of {len(entry)} elements: the model reads the column {entry[0]!r} with "
            f"the direction 1 and ignores the rest; write ({entry[0]!r}, -1) for a direction",
        )
    if sequence and not is_hashable(tuple(entry)):
        found.error(where, f"{entry!r:.60} holds an unhashable value: fit fails with TypeError")
    return _Use(match.label, where, dimension)


def _check_repeat(use: _Use, here: list[_Use], uses: list[_Use], found: _Findings) -> None:
    earlier = next((u for u in here if u.label == use.label), None)
    if earlier is not None:
        found.error(
            use.place,
            f"repeats the column {use.label!r} of {earlier.place}: the model fits it twice and "
            "the dimension's coefficients no longer add up to 1; list each column once",
        )
        return
    elsewhere = next((u for u in uses if u.label == use.label), None)
    if elsewhere is not None:
        found.warning(
            use.place,
            f"the column {use.label!r} is also used in {elsewhere.dimension}: it counts in both "
            "dimensions; keep it in one unless that is intended",
        )


def _report_direction(entry: Any, where: str, found: _Findings) -> None:
    # The place says which entry; the message says which column, as a place
    # such as schema['E'][1] means little once the schema is out of sight.
    column = f"the column {entry[0]!r:.60}"
    problem = _direction_problem(entry[1], column, owner=f" of {column}")
    if problem is not None:
        found.problems.append(Problem(problem[0], where, problem[1]))


def _direction_problem(
    direction: Any, target: str, kept: str = "", owner: str = ""
) -> tuple[Literal["error", "warning"], str] | None:
    """The level and message of a direction that is not 1 or -1; ``None`` for those.

    ``target`` is what the direction multiplies, ``kept`` what it leaves as
    it is, and ``owner`` (`` of the column 'gdp'``) follows the direction
    in the messages that do not name ``target``.
    """
    if isinstance(direction, (bool, np.bool_)):
        return WARNING, (
            f"the direction {direction!r}{owner} is a bool, read as {int(direction)}: write 1 or -1"
        )
    if isinstance(direction, str):
        fix = f"write {direction.strip()} without quotes" if _is_number_text(direction) else "write 1 or -1"
        return ERROR, f"the direction {direction!r}{owner} is a string, not a number: {fix}"
    if not is_real(direction):
        return ERROR, f"the direction {direction!r:.40}{owner} is not a number: write 1 or -1"
    if not is_finite(direction):
        return ERROR, f"the direction {direction!r}{owner} is not a finite number: write 1 or -1"
    if direction == 0:
        return WARNING, f"the direction 0 zeroes {target}{kept}: write 1 or -1"
    if direction not in (1, -1):
        return WARNING, f"the direction {direction!r} scales {target} by {direction!r}{kept}: write 1 or -1"
    return None


def _is_number_text(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


def _not_a_dimension(value: Any, top: bool) -> str:
    what = "a schema is a mapping of dimensions or a list of entries" if top else (
        "a dimension is a list of entries or a mapping of sub-dimensions"
    )
    effect = "fit fails" if top else "the model gives it no weight"
    if isinstance(value, str):
        return f"{value!r} is a string, not a list of entries: write [{value!r}] ({effect} as it is)"
    if isinstance(value, (set, frozenset)):
        return f"a set has no order and the model skips it ({effect}): write a list"
    if isinstance(value, (np.ndarray, pd.Index, pd.Series)):
        kind = "numpy array" if isinstance(value, np.ndarray) else f"pandas {type(value).__name__}"
        return f"a {kind} is not read as a list of entries ({effect}): pass list(...) instead"
    return f"{what}, got {type(value).__name__} {value!r:.40} ({effect})"


def _suggest(label: Any, columns: list[Any], found: _Findings) -> str:
    same = _same_text(label, columns)
    if same is not None:
        return (
            f"the column {same!r} has the same letters written in another Unicode normal form "
            f"(the schema's is {_normal_form(label)}, the data's {_normal_form(same)}): "
            + found.advice["normal form"]
        )
    by_text: dict[str, Any] = {}
    for column in columns:
        by_text.setdefault(str(column).lower(), column)
    close = difflib.get_close_matches(str(label).lower(), list(by_text), n=3, cutoff=0.6)
    if close:
        return f"did you mean {' or '.join(repr(by_text[c]) for c in close)}?"
    return f"its columns are {show(columns, 8)}"


def _same_text(label: Any, columns: list[Any]) -> Any:
    """The string column that reads as ``label`` once both are NFC-normalised, or ``None``.

    ``'Zürich'`` typed on one system and read from a file written on another
    may be one character or a letter and a combining mark: equal to the eye,
    unequal to ``==``.
    """
    if not isinstance(label, str):
        return None
    wanted = unicodedata.normalize("NFC", label)
    return next(
        (c for c in columns if isinstance(c, str) and unicodedata.normalize("NFC", c) == wanted),
        None,
    )


def _normal_form(text: str) -> str:
    forms = [form for form in ("NFC", "NFD") if unicodedata.is_normalized(form, text)]
    return " and ".join(forms) if forms else "neither NFC nor NFD"


# ----------------------------------------------------------------- table --


def _check_columns(frame: pd.DataFrame, uses: list[_Use], found: _Findings) -> None:
    counts = Counter(frame.columns.tolist())
    for label in dict.fromkeys(u.label for u in uses):
        where = place("data", label)
        if counts[label] > 1:
            found.error(
                where,
                f"{counts[label]} columns carry this label: the model selects all of them and "
                f"fails; {found.advice['duplicated']}",
            )
            continue
        column = frame[label]
        values = column.to_numpy() if column.dtype == object else None
        if not is_numeric(column.dtype, values):
            found.error(where, _not_numeric(column, found.advice))
            continue
        numbers = series_to_float(column)
        missing, infinite = np.isnan(numbers), np.isinf(numbers)
        if missing.any():
            rows = show(column.index[missing], 3, count=False)
            found.error(
                where,
                f"{missing.sum()} missing value(s) (rows {rows}): fit rejects them; {found.advice['impute']}",
            )
        if infinite.any():
            rows = show(column.index[infinite], 3, count=False)
            found.error(
                where,
                f"{infinite.sum()} infinite value(s) (rows {rows}): fit rejects them; "
                "replace them or drop those rows",
            )
        finite = numbers[np.isfinite(numbers)]
        if len(frame) >= _MIN_ROWS and finite.size and (finite == finite[0]).all():
            found.warning(
                where,
                f"constant (every value is {finite[0]:g}): it carries no information, gets the "
                "coefficient 0 in its dimension, and a dimension of it alone the weight 0",
            )


def _not_numeric(column: pd.Series, advice: dict[str, str]) -> str:
    dtype = column.dtype
    if isinstance(dtype, pd.CategoricalDtype):
        return (
            "categorical, not numeric: the model multiplies it by its direction and fails; "
            + advice["categorical"]
        )
    if pd.api.types.is_datetime64_any_dtype(dtype) or pd.api.types.is_timedelta64_dtype(dtype):
        return f"of dtype {dtype}, not numeric: convert it to a number (such as the year) or remove it"
    sample = column.dropna()
    example = f" (e.g. {sample.iloc[0]!r:.30})" if len(sample) else ""
    return f"of dtype {dtype}, not numeric{example}: {advice['text']}"


def _check_rows(frame: pd.DataFrame, uses: list[_Use], found: _Findings) -> None:
    rows = len(frame)
    if rows < _MIN_ROWS:
        found.error(
            "data",
            f"{rows} row(s): fit needs at least {_MIN_ROWS} (the entropy estimate and the "
            "principal components need two points)",
        )
        return
    if rows <= DEFAULT_K:
        found.warning(
            "data",
            f"{rows} rows: fit lowers the entropy estimate's neighbour count from "
            f"{DEFAULT_K} to {rows - 1}; weights estimated on so few rows are fragile",
        )
    by_dimension: dict[str, set[Any]] = {}
    for use in uses:
        by_dimension.setdefault(use.dimension, set()).add(use.label)
    for dimension, labels in by_dimension.items():
        if len(labels) >= rows:
            found.warning(
                dimension,
                f"{len(labels)} indices on {rows} rows: principal components of {len(labels)} "
                f"columns need more than {len(labels)} rows, so the coefficients are not "
                "determined by the data; add rows or drop indices",
            )
