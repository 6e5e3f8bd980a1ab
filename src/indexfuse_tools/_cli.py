"""The command line: ``indexfuse`` (or ``python -m indexfuse_tools``) with one
subcommand per job, each reading a table and a schema or model file, and
the preparation that treats a raw table (which ``prepare`` writes).

Exit status: 0 on success, 1 when ``check`` finds errors, 2 for a mistake
in the input (a missing or unreadable file, a schema, model or preparation
file that cannot be read, data the model refuses, an output path that is one of the inputs or
lies in a folder that cannot take it), with one line on standard error; 70
(``EX_SOFTWARE``) for a fault of the program itself, with its traceback.

Every output is checked before any work starts and written whole: to a
temporary file beside it, renamed onto the path at the end. CSV output writes
labels that a spreadsheet would run as a formula (beginning with ``=``, ``+``,
``-``, ``@``, a tab or a carriage return) with a leading single quote, unless
``--raw-csv`` is given.
"""

from __future__ import annotations

import argparse
import contextlib
import math
import os
import re
import sys
import tomllib
import traceback
import warnings
import xml.etree.ElementTree
import zipfile
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Any

import pandas as pd

import indexfuse
from tessel.modelbench import entropy
from indexfuse_tools._check import Problem, check
from indexfuse_tools._core import (
    DEFAULT_K,
    DEFAULT_PCA_CUMULATIVE,
    DEFAULT_SCALE_METHOD,
    ModelFileError,
    Node,
    atomic_path,
    check_scale,
    csv_safe,
    decode,
    dimension_name,
    leaf_columns,
    map_leaves,
    parse,
    show,
    table_text,
    unsigned_zeros,
)
from indexfuse_tools._explorer import explorer
from indexfuse_tools._persist import dump, loads
from indexfuse_tools._preparation import IMPUTATIONS, STATISTICS, TRANSFORMS, Preparation, prepare
from indexfuse_tools._report import report
from indexfuse_tools._results import results
from indexfuse_tools._robustness import FACTORS, METHODS, RobustnessResult, robustness

__all__ = ["main", "read_schema", "read_table"]

_PROG = "indexfuse"
_TABLE_SUFFIXES = {
    ".csv": "csv",
    ".txt": "csv",
    ".tsv": "tsv",
    ".parquet": "parquet",
    ".pq": "parquet",
    ".xlsx": "excel",
    ".xlsm": "excel",
}
# "label:direction" in a TOML schema: the direction is the number after the last colon.
_DIRECTED = re.compile(r"^(?P<label>.*\S)\s*:\s*(?P<direction>[-+]?(\d+(\.\d*)?|\.\d+)([eE][-+]?\d+)?)$")


# What a workbook that is not one raises inside the Excel readers: a zip that
# is not a zip, a zip without the expected members, XML that does not parse.
_BROKEN_WORKBOOK = (zipfile.BadZipFile, KeyError, xml.etree.ElementTree.ParseError)


# A fault of this program, not of its input (sysexits.h: EX_SOFTWARE).
EXIT_INTERNAL = 70
# Schemas nest a few levels; a file nested deeper is a mistake or an attack,
# refused before anything recurses through it.
MAX_SCHEMA_DEPTH = 64
# Values of a dimension lie within a few units of each other (max_min scaling
# keeps indicators in [0, 1]); a coarser resolution reads every dimension as
# one value and leaves nothing to weight by.
MAX_RESOLUTION = 1.0
# What --baseline offers: how the editions of a long table are fitted.
_BASELINES = ("pooled", "reference", "refit")
# Base samples of the analysis: 2**20 runs of each factor are already more
# than any analysis needs, and more than memory holds on a large table.
MAX_SAMPLES = 2**20
# Units the robustness command names: the widest rank intervals.
SETTLED_SHOWN = 10


class InputError(Exception):
    """Bad input: reported as one line, exit status 2."""


# ---------------------------------------------------------------- reading --


def read_table(path: str | Path, id_column: str | None = None, sheet: str | None = None) -> pd.DataFrame:
    """A table from a CSV, TSV, Parquet or Excel file, chosen by the suffix.

    The rows are labelled by ``id_column`` when given; otherwise by the first
    column when it holds text without repeats (the usual layout: a name, then
    one column per indicator); otherwise by their position.
    """
    file = Path(path)
    kind = _TABLE_SUFFIXES.get(file.suffix.lower())
    if kind is None:
        raise InputError(
            f"{file}: cannot tell the format from the suffix {file.suffix!r}; "
            f"use one of {', '.join(sorted(_TABLE_SUFFIXES))}"
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
        raise InputError(f"{file}: cannot read it as {kind}: {_one_line(exc)}") from None
    except _BROKEN_WORKBOOK as exc:
        raise InputError(f"{file}: not an Excel workbook ({type(exc).__name__}: {_one_line(exc)})") from None
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


def _toml_direction(text: str) -> int | float:
    number = float(text)
    if not math.isfinite(number):
        raise ValueError(text)
    return int(number) if number.is_integer() and not re.search(r"[.eE]", text) else number


def _toml_label(text: str) -> Any:
    """``"violent:-1"`` as the pair ``("violent", -1)``; other strings as they are."""
    match = _DIRECTED.match(text)
    if match is None:
        return text
    return (match["label"], _toml_direction(match["direction"]))


def _toml_entry(entry: Any, where: str) -> Any:
    if isinstance(entry, str):
        return _toml_label(entry)
    if isinstance(entry, dict):
        unknown = set(entry) - {"label", "direction"}
        if "label" not in entry or unknown:
            raise InputError(
                f"{where}: an entry written as a table holds label and, optionally, direction "
                f'(for example {{label = "violent", direction = -1}}), got keys {sorted(entry)}'
            )
        return (entry["label"], entry["direction"]) if "direction" in entry else entry["label"]
    return entry


def _toml_schema(document: dict[str, Any]) -> Any:
    def leaf(node: Node) -> Any:
        if isinstance(node.value, list):
            return [_toml_entry(entry, f"{node.place}[{i}]") for i, entry in enumerate(node.value)]
        return node.value

    return map_leaves(document, leaf, where="schema", key=_toml_label)


def _depth(document: Any) -> int:
    """How deep lists and mappings nest in ``document``, found without recursion."""
    deepest, stack = 0, [(document, 0)]
    while stack:
        node, depth = stack.pop()
        if isinstance(node, dict):
            node = list(node.values())
        if isinstance(node, list):
            deepest = max(deepest, depth + 1)
            stack.extend((child, depth + 1) for child in node)
    return deepest


def _shallow(document: Any) -> Any:
    depth = _depth(document)
    if depth > MAX_SCHEMA_DEPTH:
        raise InputError(f"the schema nests {depth} levels deep; a schema nests at most {MAX_SCHEMA_DEPTH}")
    return document


def read_schema(path: str | Path) -> Any:
    r"""A schema from a JSON or a TOML file.

    JSON uses the encoding of the model files: a pair is
    ``{"$tuple": ["violent", -1]}`` and every string is a label as it stands.
    TOML writes a direction after a colon, ``"violent:-1"``, or as a table,
    ``{label = "violent", direction = -1}``; dimension keys take the colon
    form (``"hardship:-1" = [...]``). A label that itself ends in a colon
    and a number is written as ``{label = "ratio:2"}``.

    Examples
    --------
    >>> import pathlib, tempfile
    >>> path = pathlib.Path(tempfile.mkdtemp()) / "schema.toml"
    >>> _ = path.write_text('safety = ["violent:-1", {label = "murder", direction = -1}]\n'
    ...                     '[opportunity]\n"hardship:-1" = ["poverty"]\n')
    >>> read_schema(path)
    {'safety': [('violent', -1), ('murder', -1)], 'opportunity': {('hardship', -1): ['poverty']}}
    """
    file = Path(path)
    try:
        text = file.read_text(encoding="utf-8")
    except OSError as exc:
        raise InputError(f"{file}: cannot read the schema: {exc.strerror or exc}") from None
    suffix = file.suffix.lower()
    try:
        if suffix == ".json":
            return decode(_shallow(parse(text)), "schema")
        if suffix == ".toml":
            try:
                document = tomllib.loads(text)
            except RecursionError:
                raise InputError("not valid TOML: nested too deeply") from None
            return _toml_schema(_shallow(document))
    except (ModelFileError, tomllib.TOMLDecodeError, InputError) as exc:
        raise InputError(f"{file}: {_one_line(exc)}") from None
    raise InputError(f"{file}: a schema file is .json or .toml, not {suffix or 'without a suffix'}")


# --------------------------------------------------------------- models --


def _one_line(error: BaseException | str) -> str:
    text = str(error.args[0] if isinstance(error, KeyError) and error.args else error)
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    if len(lines) <= 1:
        return lines[0] if lines else type(error).__name__
    return f"{lines[0]} (and {len(lines) - 1} more line{'s' if len(lines) > 2 else ''})"


def _read_bytes(path: str, what: str) -> bytes:
    try:
        return Path(path).read_bytes()
    except OSError as exc:
        raise InputError(f"{path}: cannot read the {what}: {exc.strerror or exc}") from None


def _load_model(path: str) -> tuple[Any, Preparation | None]:
    """The model a file holds, and the preparation it was fitted after when it carries one."""
    content = _read_bytes(path, "model")
    try:
        model = loads(content)
        text = content.decode("utf-8")  # loads has read it as UTF-8
        carried = Preparation.loads(text) if _carries_preparation(text) else None
    except ValueError as exc:
        raise InputError(f"{path}: {_one_line(exc)}") from None
    return model, carried


def _carries_preparation(text: str) -> bool:
    document = parse(text)
    return isinstance(document, dict) and "preparation" in document


def _load_preparation(path: str) -> Preparation:
    try:
        return Preparation.loads(_read_bytes(path, "preparation"))
    except ValueError as exc:
        raise InputError(f"{path}: {_one_line(exc)}") from None


def _used_columns(schema: Any, data: pd.DataFrame) -> list[Any]:
    found = leaf_columns(schema, list(data.columns))
    return list(dict.fromkeys(column for _, columns in found for column in columns))


def _refuse_constant(schema: Any, data: pd.DataFrame) -> None:
    """Refuse a table on which no dimension can carry information: the
    entropy weights would divide by a total of zero."""
    used = _used_columns(schema, data)
    if used and bool((data[used].nunique(dropna=True) <= 1).all()):
        raise InputError(
            "every column the schema uses is constant in this table: no dimension carries information to weight by"
        )


def _check_resolution(resolution: float | None) -> None:
    if resolution is not None and not 0 < resolution <= MAX_RESOLUTION:
        raise InputError(
            f"--resolution {resolution:g}: the entropy resolution is a number in (0, {MAX_RESOLUTION:g}] "
            f"(default {entropy.DEFAULT_RESOLUTION:g}); a coarser one reads every dimension as one value"
        )


def _treated_model(arguments: argparse.Namespace, data: pd.DataFrame) -> tuple[Any, Preparation | None]:
    """The model a command works with and the treatment to replay on the raw table.

    The treatment is the one ``--preparation`` names, else the one the model
    file carries (a model fitted after a preparation scores raw tables only
    once it is replayed), else none.
    """
    given = None if arguments.preparation is None else _load_preparation(arguments.preparation)
    if arguments.model is not None:
        model, carried = _load_model(arguments.model)
        return model, given if given is not None else carried
    return _model(arguments, _replayed(given, data)), given


def _replayed(preparation: Preparation | None, data: pd.DataFrame) -> pd.DataFrame:
    return data if preparation is None else preparation.apply(data)[0]


def _model(arguments: argparse.Namespace, data: pd.DataFrame) -> Any:
    """The model a command works with: loaded with --model, or fitted here on
    the table with --schema (after the schema passed check)."""

    if arguments.model is not None:
        return _load_model(arguments.model)[0]
    if arguments.schema is None:
        raise InputError("give the schema (--schema FILE) or a fitted model (--model FILE)")
    schema = read_schema(arguments.schema)
    errors = [problem for problem in _check(schema, data) if problem.level == "error"]
    if errors:
        first = errors[0]
        more = (
            f" (and {len(errors) - 1} more error{'s' if len(errors) > 2 else ''}: run check for the list)"
            if len(errors) > 1
            else ""
        )
        raise InputError(f"{first.place}: {_one_line(first.message)}{more}")
    _check_resolution(arguments.resolution)
    _refuse_constant(schema, data)
    model = indexfuse.indexpca_diment(
        schema,
        scale_method=arguments.scale_method,
        pca_cumulative=arguments.pca_cumulative,
        ent_k=arguments.ent_k,
    )
    resolution = arguments.resolution
    with entropy.resolution(resolution) if resolution is not None else contextlib.nullcontext():
        model.fit(data)
    return model


def _check(schema: Any, data: pd.DataFrame) -> list[Problem]:
    # Someone at a shell is told which command or file edit fixes a finding, not which call.
    return check(schema, data, advice="command line")


# ---------------------------------------------------------------- outputs --


def _same_file(a: str | Path, b: str | Path) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:  # one of them does not exist (yet): compare where they lead
        return os.path.realpath(a) == os.path.realpath(b)


def _check_outputs(arguments: argparse.Namespace, outputs: dict[str, str | None]) -> None:
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
            if source is not None and _same_file(path, source):
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


def _write_text(path: str | None, write: Callable[[IO[str]], object]) -> None:
    if path is None or path == "-":
        write(sys.stdout)
        return
    with atomic_path(path) as temporary, open(temporary, "w", encoding="utf-8", newline="") as stream:
        write(stream)


def _for_csv(table: pd.DataFrame, arguments: argparse.Namespace) -> pd.DataFrame:
    return table if arguments.raw_csv else csv_safe(table)


# ------------------------------------------------------------- commands --


def _run_check(arguments: argparse.Namespace) -> int:
    data = _table(arguments)
    problems = _check(read_schema(arguments.schema), data)
    for problem in problems:
        print(f"{problem.level}: {problem.place}: {problem.message}")
    errors = sum(problem.level == "error" for problem in problems)
    failed = errors > 0 or (arguments.strict and problems)
    if not problems:
        print("no problems found")
    else:
        print(
            f"{errors} error{'s' * (errors != 1)}, {len(problems) - errors} warning{'s' * (len(problems) - errors != 1)}"
        )
    return 1 if failed else 0


def _run_prepare(arguments: argparse.Namespace) -> int:
    arguments.model = arguments.preparation = None
    _check_outputs(arguments, {"--output": arguments.output, "--preparation-out": arguments.preparation_out})
    _check_table_output(arguments.output)
    data = _table(arguments)
    for option in ("group", "period", "unit"):
        label = getattr(arguments, option)
        if label is not None and label not in data.columns:
            raise InputError(f"--{option} {label}: no such column; columns: {show(list(data.columns), 8)}")
    prepared, log, preparation = prepare(
        read_schema(arguments.schema), data,
        impute=arguments.impute, group=arguments.group, period=arguments.period, unit=arguments.unit,
        max_gap=arguments.max_gap, fallback=arguments.fallback, transform=_transform_option(arguments.transform),
        winsorize=arguments.winsorize, min_present=_min_present_option(arguments.min_present),
        min_present_total=None if arguments.min_present_total is None else _share_or_count(
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
            "indicators present: " + ", ".join(f"{name} {count}" for name, count in reasons.items())
        )
    lines.append(unsigned_zeros(per_indicator).to_string())
    return "\n".join(lines)


def _check_table_output(path: str) -> None:
    # The prepared table is read back by the other commands, which tell its format by the suffix.
    if path == "-" or Path(path).suffix.lower() not in _TABLE_SUFFIXES:
        raise InputError(
            f"--output {path}: the prepared table is a file whose suffix names its format, one of "
            f"{', '.join(sorted(_TABLE_SUFFIXES))}"
        )


def _write_table(path: Path, table: pd.DataFrame, arguments: argparse.Namespace) -> None:
    """``table`` in the format its path's suffix names; its row labels kept
    unless they are only positions."""
    kind = _TABLE_SUFFIXES[path.suffix.lower()]
    index = not isinstance(table.index, pd.RangeIndex)
    if kind == "parquet":
        table.to_parquet(path, index=index)
    elif kind == "excel":  # a spreadsheet would run a label such as "=1+1" as a formula
        _for_csv(table, arguments).to_excel(path, index=index)
    else:
        _for_csv(table, arguments).to_csv(path, sep="\t" if kind == "tsv" else ",", index=index)


def _share_or_count(text: str, option: str) -> float | int:
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
        thresholds[key] = _share_or_count(threshold, "--min-present")
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


def _run_fit(arguments: argparse.Namespace) -> int:
    arguments.model = None
    _check_outputs(arguments, {"--output": arguments.output})
    model, preparation = _treated_model(arguments, _table(arguments))
    _write_text(arguments.output, lambda stream: dump(model, stream, preparation=preparation))
    if arguments.output not in (None, "-"):
        print(f"model written to {arguments.output}", file=sys.stderr)
    return 0


def _run_score(arguments: argparse.Namespace) -> int:
    _check_outputs(arguments, {"--output": arguments.output})
    if arguments.period is not None:
        from indexfuse_tools._cli_editions import run_score

        return run_score(arguments)
    _refuse_period_options(arguments)
    data = _table(arguments)
    model, preparation = _treated_model(arguments, data)
    scores = results(
        model, data, min_present=arguments.min_present, preparation=preparation, scale=arguments.scale
    )
    scores = _for_csv(scores, arguments)
    _write_text(arguments.output, scores.to_csv)
    return 0


def _run_report(arguments: argparse.Namespace) -> int:
    _check_outputs(arguments, {"--output": arguments.output, "--explorer": arguments.explorer})
    if arguments.period is not None:
        from indexfuse_tools._cli_editions import read_long_table, run_report

        table, unit = read_long_table(arguments)
        return run_report(arguments, table, unit, _external_columns(arguments, table))
    _refuse_period_options(arguments)
    data = _table(arguments)
    names = _external_columns(arguments, data)
    external = None if names is None else data[names]
    model, preparation = _treated_model(arguments, data)
    _refuse_constant(model.schema, _replayed(preparation, data))
    with atomic_path(arguments.output) as temporary:
        report(
            model, data, temporary, external=external, title=arguments.title, source=arguments.source,
            preparation=preparation, scale=arguments.scale, explorer=arguments.explorer,
        )  # fmt: skip
    print(f"report written to {arguments.output}")
    if arguments.explorer:
        print(f"explorer written to {arguments.explorer}")
    return 0


def _load_robustness(path: str | None) -> RobustnessResult | None:
    if path is None:
        return None
    try:
        return RobustnessResult.load(path)
    except (ValueError, KeyError) as exc:
        raise InputError(f"{path}: not an analysis saved by robustness -o ({_one_line(exc)})") from None


def _run_explore(arguments: argparse.Namespace) -> int:
    _check_outputs(arguments, {"--output": arguments.output})
    if arguments.robustness is not None and _same_file(arguments.output, arguments.robustness):
        raise InputError(
            f"--output {arguments.output}: that is the robustness analysis; write the page to another file"
        )
    data = _table(arguments)
    model, preparation = _treated_model(arguments, data)
    _refuse_constant(model.schema, _replayed(preparation, data))
    analysis = _load_robustness(arguments.robustness)
    explorer(
        model, data, arguments.output, title=arguments.title, source=arguments.source, robustness=analysis,
        preparation=preparation,
    )  # fmt: skip
    print(f"explorer written to {arguments.output}")
    return 0


def _external_columns(arguments: argparse.Namespace, data: pd.DataFrame) -> list[str] | None:
    """The columns --external names, each checked to be in the table."""
    if not arguments.external:
        return None
    names = [name.strip() for value in arguments.external for name in value.split(",") if name.strip()]
    missing = [name for name in names if name not in data.columns]
    if missing:
        raise InputError(f"--external names no column of the table: {', '.join(missing)}")
    return names


def _run_robustness(arguments: argparse.Namespace) -> int:
    arguments.model = None
    _check_outputs(
        arguments, {"--output": arguments.output, "--ranks": arguments.ranks, "--report": arguments.report}
    )
    if arguments.n > MAX_SAMPLES:
        raise InputError(f"-n {arguments.n}: at most {MAX_SAMPLES} (2**20) base samples, draws or resamples")
    data = _table(arguments)
    highlight = _highlighted_units(arguments.highlight, arguments.report, data.index)
    schema = read_schema(arguments.schema)
    model, preparation = _treated_model(arguments, data)  # the nominal index; also checks the schema
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
    analysis = robustness(
        schema, data, factors=factors, method=arguments.method, n=arguments.n, seed=arguments.seed,
        scheduler=arguments.workers, progress=not arguments.quiet,
        preparation=None if preparation is None else _prepare_options(preparation, data), **settings,
    )  # fmt: skip
    if arguments.output:
        with atomic_path(arguments.output) as temporary:
            analysis.save(temporary)
    if arguments.ranks:
        _write_text(arguments.ranks, _for_csv(analysis.ranks, arguments).to_csv)
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
        named = settled.to_string(formatters=cells, index_names=False)
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


def _table(arguments: argparse.Namespace) -> pd.DataFrame:
    return read_table(arguments.table, arguments.id, arguments.sheet)


# ------------------------------------------------------------ the parser --


def _table_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("table", help="the data: a .csv, .tsv, .parquet or .xlsx file, one row per unit")
    parser.add_argument(
        "--id",
        metavar="COLUMN",
        help="column that names the rows (default: the first column when it holds text without repeats)",
    )
    parser.add_argument("--sheet", metavar="NAME", help="sheet of an Excel workbook (default: the first)")


def _schema_argument(parser: argparse.ArgumentParser, required: bool) -> None:
    parser.add_argument(
        "--schema",
        metavar="FILE",
        required=required,
        help='the schema: .json as the model files write it (a pair is {"$tuple": ["violent", -1]}) '
        'or .toml ("violent:-1" or {label = "violent", direction = -1})',
    )


def _model_arguments(parser: argparse.ArgumentParser, loadable: bool) -> None:
    _schema_argument(parser, required=not loadable)
    if loadable:
        parser.add_argument(
            "--model", metavar="FILE", help="a fitted model (JSON, as fit writes it) instead of --schema"
        )
    group = parser.add_argument_group("fitting (with --schema)")
    group.add_argument(
        "--scale-method",
        choices=("max_min", "z_score"),
        default=DEFAULT_SCALE_METHOD,
        help=f"how indicators are scaled (default: {DEFAULT_SCALE_METHOD})",
    )
    group.add_argument(
        "--pca-cumulative",
        type=float,
        default=float(DEFAULT_PCA_CUMULATIVE),
        metavar="SHARE",
        help=f"share of variance the kept components reach, in (0, 1] (default: {DEFAULT_PCA_CUMULATIVE:g})",
    )
    group.add_argument(
        "--ent-k",
        type=int,
        default=DEFAULT_K,
        metavar="K",
        help=f"neighbours of the entropy estimate (default: {DEFAULT_K})",
    )
    group.add_argument(
        "--resolution",
        type=float,
        metavar="VALUE",
        help="values of a dimension closer than this are read as the same value by the entropy "
        f"estimate (default: {entropy.DEFAULT_RESOLUTION:g})",
    )


def _add_check(parser: argparse.ArgumentParser) -> None:
    _table_arguments(parser)
    _schema_argument(parser, required=True)
    parser.add_argument("--strict", action="store_true", help="exit with status 1 on warnings too")


def _preparation_argument(parser: argparse.ArgumentParser, fits: bool) -> None:
    where = "before fitting, and embed it in the model file" if fits else (
        "first (default: the one the model file carries, if any)"
    )
    parser.add_argument(
        "--preparation",
        metavar="FILE",
        help=f"a preparation (as prepare writes it) to replay on the raw table {where}",
    )


def _add_prepare(parser: argparse.ArgumentParser) -> None:
    _table_arguments(parser)
    _schema_argument(parser, required=True)
    steps = parser.add_argument_group("treatment (in this order: drop, impute, transform, winsorise)")
    steps.add_argument(
        "--min-present",
        action="append",
        metavar="[DIMENSION=]THRESHOLD",
        help="drop the rows in which a dimension has fewer indicators present than a share (0.5, 2/3) "
        "or a count (2); DIMENSION=THRESHOLD for one dimension, named as in the weights "
        "(e.g. 'economy / work=2'); may be repeated",
    )
    steps.add_argument(
        "--min-present-total",
        metavar="THRESHOLD",
        help="drop the rows with fewer of all the index's indicators present than a share or a count",
    )
    steps.add_argument(
        "--impute",
        choices=IMPUTATIONS,
        help="fill missing values with this statistic; or, in a long table (--period, --unit), from the "
        "unit's own periods: carry (its last value) or interpolate (a line between two), the rest with "
        "--fallback",
    )
    steps.add_argument(
        "--group",
        metavar="COLUMN",
        help="impute within the rows sharing this column's value (a region, or the unit); also warns "
        "when the dropped rows cluster in one group",
    )
    steps.add_argument("--period", metavar="COLUMN", help="with --impute carry or interpolate: the periods' column")
    steps.add_argument("--unit", metavar="COLUMN", help="with --impute carry or interpolate: the units' column")
    steps.add_argument(
        "--max-gap",
        type=int,
        metavar="N",
        help="with --impute carry or interpolate: how many periods a value reaches (default: any)",
    )
    steps.add_argument(
        "--fallback",
        choices=STATISTICS,
        help="with --impute carry or interpolate: the statistic of the gaps the unit's own values do not "
        "reach (default: median)",
    )
    steps.add_argument(
        "--transform",
        action="append",
        metavar="[INDICATOR=]KIND",
        help=f"{', '.join(TRANSFORMS)} for the indicators the outlier rule flags, or INDICATOR=KIND "
        "(KIND may be none) for each indicator named; may be repeated",
    )
    steps.add_argument(
        "--winsorize",
        nargs="?",
        type=int,
        const=True,
        default=False,
        metavar="N",
        help="winsorise the indicators the outlier rule flags, up to N points each (default N: 5)",
    )
    out = parser.add_argument_group("output")
    out.add_argument(
        "-o", "--output", metavar="FILE", required=True,
        help="the prepared table (.csv, .tsv, .parquet or .xlsx, by the suffix)",
    )  # fmt: skip
    out.add_argument(
        "--preparation-out", metavar="FILE", required=True,
        help="the preparation: every rule learned, for fit, score, report and robustness to replay (JSON)",
    )  # fmt: skip
    _raw_csv_argument(out)


def _add_fit(parser: argparse.ArgumentParser) -> None:
    _table_arguments(parser)
    _model_arguments(parser, loadable=False)
    _preparation_argument(parser, fits=True)
    parser.add_argument(
        "-o", "--output", metavar="FILE", help="where to write the model (JSON; default: standard output)"
    )


def _add_score(parser: argparse.ArgumentParser) -> None:
    _table_arguments(parser)
    _model_arguments(parser, loadable=True)
    _preparation_argument(parser, fits=False)
    parser.add_argument(
        "--min-present",
        type=float,
        metavar="SHARE",
        help="score a dimension only where at least this share of its indicators is present",
    )
    parser.add_argument(
        "-o", "--output", metavar="FILE", help="where to write the scores (CSV; default: standard output)"
    )
    _scale_argument(parser, 'add the column "score", the composite')
    _raw_csv_argument(parser)
    _period_arguments(parser)


def _scale_option(text: str) -> str:
    try:
        return str(check_scale(text))
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _scale_argument(parser: argparse.ArgumentParser, what: str) -> None:
    parser.add_argument(
        "--scale",
        type=_scale_option,
        metavar="SCALE",
        help=f"{what} on a presentation scale: 0-100 puts the lowest composite at 0 and the highest at 100 "
        "(default: the composite as the model computes it)",
    )


def _raw_csv_argument(parser: argparse.ArgumentParser | argparse._ArgumentGroup) -> None:
    parser.add_argument(
        "--raw-csv",
        action="store_true",
        help="write text that begins with =, +, -, @, a tab or a carriage return as it is, for programs "
        "that read the CSV (default: with a leading ' so that a spreadsheet shows it as text)",
    )


def _period_arguments(parser: argparse.ArgumentParser) -> None:
    """The options that make a command read a long table of editions."""
    group = parser.add_argument_group("editions (a long table: one row per unit and period)")
    group.add_argument(
        "--period",
        metavar="COLUMN",
        help="column of the period (year, date or any sortable label): score every edition",
    )
    group.add_argument(
        "--unit",
        metavar="COLUMN",
        help="with --period: column that names the units (default: the first column other than the period)",
    )
    group.add_argument(
        "--baseline",
        choices=_BASELINES,
        help="with --period and --schema: pooled (one model on all editions stacked; the default), "
        "reference (one model on the --reference edition) or refit (one model per edition; composites "
        "are then not comparable across editions)",
    )
    group.add_argument(
        "--reference",
        metavar="PERIOD",
        help="with --baseline reference: the edition the model is fitted on (default: the first)",
    )


def _refuse_period_options(arguments: argparse.Namespace) -> None:
    """Options that only mean something with --period, given without it."""
    for option in ("unit", "baseline", "reference"):
        if getattr(arguments, option, None) is not None:
            raise InputError(f"--{option} needs --period COLUMN: it applies to a long table of editions")


def _add_report(parser: argparse.ArgumentParser) -> None:
    _table_arguments(parser)
    _model_arguments(parser, loadable=True)
    _preparation_argument(parser, fits=False)
    parser.add_argument(
        "-o", "--output", metavar="FILE", required=True, help="where to write the report (HTML)"
    )
    parser.add_argument("--title", help='the report\'s title (default: "Composite index report")')
    parser.add_argument("--source", help="where the data come from, shown under the title")
    parser.add_argument(
        "--external",
        action="append",
        metavar="COLUMNS",
        help="columns of the table to correlate the index with (comma-separated; may be repeated)",
    )
    _scale_argument(parser, "show every composite")
    parser.add_argument(
        "--explorer",
        metavar="FILE",
        help="write the explorer page (as explore does) too, and link to it from the report",
    )
    _period_arguments(parser)


def _add_explore(parser: argparse.ArgumentParser) -> None:
    _table_arguments(parser)
    _model_arguments(parser, loadable=True)
    _preparation_argument(parser, fits=False)
    parser.add_argument(
        "-o", "--output", metavar="FILE", required=True, help="where to write the explorer page (HTML)"
    )
    parser.add_argument("--title", help='the page\'s title (default: "Composite index explorer")')
    parser.add_argument("--source", help="where the data come from, shown under the title")
    parser.add_argument(
        "--robustness",
        metavar="FILE",
        help="an analysis saved by robustness -o: each unit's 5-95%% rank interval",
    )


def _add_robustness(parser: argparse.ArgumentParser) -> None:
    _table_arguments(parser)
    _model_arguments(parser, loadable=False)
    parser.add_argument(
        "--preparation",
        metavar="FILE",
        help="the nominal treatment (a preparation, as prepare writes it): the raw table is prepared "
        "per run, the factors imputation, transform and outliers varying it",
    )
    group = parser.add_argument_group("the analysis")
    group.add_argument(
        "--method",
        choices=METHODS,
        default="sobol",
        help="sobol (sensitivity indices), uncertainty or bootstrap",
    )
    group.add_argument(
        "-n",
        type=int,
        default=1024,
        help="base samples (a power of 2 for sobol), draws or resamples (default: 1024)",
    )
    group.add_argument("--seed", type=int, default=0, help="seed of the design (default: 0)")
    group.add_argument(
        "--factors",
        action="append",
        metavar="NAMES",
        help=f"the choices to vary, with their default levels (comma-separated; default: all of {', '.join(FACTORS)})",
    )
    group.add_argument("--workers", type=int, metavar="N", help="local processes (default: as many as pay)")
    group.add_argument("--quiet", action="store_true", help="no progress bar")
    out = parser.add_argument_group("output")
    out.add_argument(
        "-o", "--output", metavar="FILE", help="save the analysis (a file robustness results load from)"
    )
    out.add_argument(
        "--ranks", metavar="FILE", help="each unit's nominal rank, median and 5-95%% interval (CSV)"
    )
    _raw_csv_argument(out)
    out.add_argument("--report", metavar="FILE", help="the HTML report with the analysis in it")
    out.add_argument(
        "--highlight",
        action="append",
        metavar="UNITS",
        help="units to name in the report's rank-interval figure whatever their interval "
        "(row labels, comma-separated; may be repeated)",
    )
    out.add_argument("--title", help="the report's title")
    out.add_argument("--source", help="where the data come from, shown under the report's title")


@dataclass(frozen=True)
class _Command:
    name: str
    summary: str
    add_arguments: Callable[[argparse.ArgumentParser], None]
    run: Callable[[argparse.Namespace], int]


_COMMANDS = (
    _Command("check", "check a schema against a table and list every problem", _add_check, _run_check),
    _Command(
        "prepare",
        "drop, impute, transform and winsorise a table; write it and the rules to replay",
        _add_prepare,
        _run_prepare,
    ),
    _Command("fit", "fit a model and write it as JSON", _add_fit, _run_fit),
    _Command("score", "score a table: composite, rank and dimensions as CSV", _add_score, _run_score),
    _Command("report", "write a self-contained HTML report of the index", _add_report, _run_report),
    _Command(
        "explore",
        "write one offline HTML page to sort, search and re-weight every unit",
        _add_explore,
        _run_explore,
    ),
    _Command(
        "robustness",
        "how far the ranks move under other defensible choices, and which choice moves them most",
        _add_robustness,
        _run_robustness,
    ),
)


def _parser(prog: str) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=prog,
        description="Composite indices from indicator tables: check a schema, prepare the data, fit, score "
        "and report.",
        epilog=f"Run '{prog} COMMAND --help' for the options of a command.",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for command in _COMMANDS:
        sub = commands.add_parser(
            command.name,
            help=command.summary,
            description=command.summary[0].upper() + command.summary[1:] + ".",
        )
        command.add_arguments(sub)
        sub.set_defaults(run=command.run)
    return parser


def main(argv: Sequence[str] | None = None, prog: str = _PROG) -> int:
    """Run the command line on ``argv`` (default: ``sys.argv[1:]``); return the exit status."""
    arguments = _parser(prog).parse_args(argv)
    try:
        with warnings.catch_warnings():
            # A warning is one line of the command's own, not a source line of this module.
            warnings.showwarning = lambda message, *_, **__: print(f"{prog}: warning: {message}", file=sys.stderr)
            status: int = arguments.run(arguments)
            return status
    except BrokenPipeError:
        # The reader went away (``... | head``): stop writing, quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    # The user's: InputError (this module's own findings), ValueError (the
    # library's answer to data or settings it refuses, and text that is not
    # UTF-8), KeyError (the extension's answer to a table without a column the
    # model uses), OSError (files, folders, permissions, a full disk) and
    # ImportError (an optional package to install).
    except (InputError, ValueError, KeyError, OSError, ImportError) as exc:
        print(f"{prog}: error: {_one_line(exc)}", file=sys.stderr)
        return 2
    # Ours: input on which the library would divide by zero, recurse past the
    # stack or allocate without bound is refused before the work starts, so
    # any other exception (TypeError included: this module builds every
    # argument it passes) is a fault to report with its traceback.
    except Exception:
        traceback.print_exc()
        print(f"{prog}: internal error; please report it with the lines above", file=sys.stderr)
        return EXIT_INTERNAL
