"""An index as one file, and back, read without trusting the file.

The file is a zip (written whole or not at all) of:

- ``index.json``: strict, tagged JSON (as model files are) holding the
  layout's ``format`` and ``version``, the schema, the model document, the
  preparation document (and the options it was learnt with), the model's
  arguments, the period and unit columns, the baseline and the editions
  fitted on, the presentation scale, each edition's period and unit
  labels, the raw table's column labels and dtypes, its text columns, the
  fingerprint, and the robustness analyses kept;
- ``raw_<j>.npy``: the raw table's numeric column ``j``, every edition one
  after the other;
- ``composite.npy``: the published composite of every row;
- ``robustness_<i>.zip``: each analysis kept, as :meth:`RobustnessResult.save`
  writes it (without every run's ranks).

The raw table holds the columns the index reads (the model's indicators,
the preparation's indicators and its group column): with them the file is
self-contained, so that the published results are checked on reading (the
model scores the raw table again after the preparation, and must give the
published composites and the fingerprint to the bit) and every output, a
new edition and a robustness analysis can be made again from it alone.

Reading runs no code (no pickle): every member is read only after its
declared size (and, for arrays, its header) agrees with what the document
implies; the model and the preparation are read by their own loaders; any
problem is one :class:`IndexFileError` naming the file and the place.
"""

from __future__ import annotations

import contextlib
import io
import json
import os
import tempfile
import zipfile
from collections.abc import Iterator
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from indexfuse_tools._core import (
    Fingerprint,
    ModelFileError,
    Presentation,
    atomic_path,
    decode,
    describe,
    encode,
    is_finite,
    is_integer,
    parse,
    read_columns,
)
from indexfuse_tools._editions import Editions
from indexfuse_tools._persist import from_dict, to_dict
from indexfuse_tools._preparation import Preparation
from indexfuse_tools._robustness import Archive, RobustnessResult

if TYPE_CHECKING:
    from indexfuse_tools._index.index import Index

__all__ = ["INDEX_FORMAT", "INDEX_VERSION", "IndexFileError", "read_index", "write_index"]

#: The ``format`` field of an index file's document.
INDEX_FORMAT = "indexfuse-index"
#: Version of the index file layout written by this release.
INDEX_VERSION = 1

_DOCUMENT = "index.json"
# Unit labels and text columns of a census-sized index take tens of megabytes; the rest is small.
_DOCUMENT_LIMIT = 1024 * 2**20
_ANALYSIS_LIMIT = 16 * 2**30
_MAX_DEPTH = 100
_FIELDS = (
    "format", "version", "schema", "model", "preparation", "preparation_options", "model_args", "period", "unit",
    "baseline", "reference", "fitted_on", "presentation", "editions", "unit_names", "columns", "dtypes", "text",
    "fingerprint", "analyses",
)  # fmt: skip
_BASELINES = ("pooled", "reference")
# Numeric columns go to arrays; these are read back from the document's text.
_TEXT_DTYPES = ("object", "str", "string", "category")
_NUMERIC_KINDS = "biuf"
# The dtypes unit labels are read back as.
_LABEL_DTYPES = ("object", "str", "string", "int64", "float64", "bool")


class IndexFileError(ModelFileError):
    """An index file that cannot be read: the message names the file, the place and the problem."""


# ----------------------------------------------------------------- writing --


def write_index(index: Index, path: str | os.PathLike[str]) -> Path:
    """Write ``index`` to ``path``, whole or not at all.

    Raises
    ------
    TypeError
        If a unit, period or column label, or a text value, cannot be stored
        (labels are None, bool, int, float, str, numpy scalars and tuples
        of these); the message says which.
    """
    frames = _frames(index)
    columns = read_columns(index.model, index.preparation)
    raw = pd.concat([frame[columns] for frame in frames.values()]) if frames else pd.DataFrame(columns=columns)
    numeric = [j for j, label in enumerate(columns) if raw[label].dtype.kind in _NUMERIC_KINDS]
    for j in numeric:
        if not isinstance(raw[columns[j]].dtype, np.dtype):
            # A nullable column (Int64, Float64) as the floats the model reads, its gaps as NaN.
            raw[columns[j]] = raw[columns[j]].to_numpy(dtype=np.float64, na_value=np.nan)
    document: dict[str, Any] = {
        "format": INDEX_FORMAT,
        "version": INDEX_VERSION,
        "schema": encode(index.schema, "schema"),
        "model": to_dict(index.model),
        "preparation": None if index.preparation is None else index.preparation.to_dict(),
        "preparation_options": encode(index.preparation_options, "preparation_options"),
        "model_args": encode(index.model_args, "model_args"),
        "period": encode(index.period, "period"),
        "unit": encode(index.unit, "unit"),
        "baseline": index.baseline,
        "reference": encode(index.reference, "reference"),
        "fitted_on": encode(list(index.fitted_on), "fitted_on"),
        "presentation": _presentation_document(index.presentation),
        "editions": [
            {
                "period": encode(key, "editions"),
                "units": encode(frame.index.tolist(), f"the units of {key!r}"),
                "dtypes": [str(frame.index.get_level_values(level).dtype) for level in range(frame.index.nlevels)],
            }
            for key, frame in frames.items()
        ],
        "unit_names": encode(list(next(iter(frames.values())).index.names), "unit_names"),
        "columns": encode(columns, "columns"),
        "dtypes": [str(raw[label].dtype) for label in columns],
        "text": {
            str(j): encode(raw[label].astype(object).where(raw[label].notna(), None).tolist(), f"column {label!r}")
            for j, label in enumerate(columns)
            if j not in numeric
        },
        "fingerprint": index.fingerprint.to_dict(),
        "analyses": [],
    }
    target = Path(path)
    with atomic_path(target) as temporary, zipfile.ZipFile(temporary, "w", zipfile.ZIP_DEFLATED) as archive:
        for i, (key, analysis) in enumerate(index.analyses.items()):
            member = f"robustness_{i}.zip"
            document["analyses"].append({"period": encode(key, "analyses"), "member": member})
            archive.writestr(member, _analysis_bytes(analysis), compress_type=zipfile.ZIP_STORED)
        for j in numeric:
            archive.writestr(f"raw_{j}.npy", _npy(raw[columns[j]].to_numpy()))
        composite = index.results()["composite"].to_numpy(dtype=np.float64)
        archive.writestr("composite.npy", _npy(composite))
        text = json.dumps(document, allow_nan=False, ensure_ascii=False, indent=1)
        archive.writestr(_DOCUMENT, text)
    return target


def _frames(index: Index) -> dict[Any, pd.DataFrame]:
    """The raw table by edition (one table under the key None without editions)."""
    if index.editions is None:
        return {None: index.frame()}
    return {key: index.editions.frame(key) for key in index.periods}


def _npy(array: np.ndarray) -> bytes:
    buffer = io.BytesIO()
    np.save(buffer, np.ascontiguousarray(array), allow_pickle=False)
    return buffer.getvalue()


def _presentation_document(shown: Presentation | None) -> Any:
    if shown is None:
        return None
    return {
        "low": shown.low,
        "high": shown.high,
        "units": shown.units,
        "periods": encode(list(shown.periods), "presentation"),
        "given": shown.given,
    }


def _analysis_bytes(analysis: RobustnessResult) -> bytes:
    with tempfile.TemporaryDirectory(prefix="indexfuse-index-") as folder:
        member = Path(folder) / "analysis.zip"
        analysis.save(member, run_ranks=False)
        return member.read_bytes()


# ----------------------------------------------------------------- reading --


def read_index(path: str | os.PathLike[str], schema: Any = None) -> Index:
    """The index in the file at ``path``, every part checked; ``schema``: the one it must have.

    Raises
    ------
    IndexFileError
        Naming the file and what is wrong, and where.
    """
    name = os.fspath(path)
    try:
        with Archive(path) as archive:
            return _read(archive, schema)
    except IndexFileError as exc:
        raise IndexFileError(f"{name!r}: {exc}") from None
    except (ValueError, TypeError, KeyError, IndexError, OverflowError, RecursionError) as exc:
        raise IndexFileError(f"{name!r} is not an index file this release can read: {exc}") from None


def _fail(where: str, message: str) -> IndexFileError:
    return IndexFileError(f"{where}: {message}")


@contextlib.contextmanager
def _at(where: str) -> Iterator[None]:
    """Errors raised while reading a part, named by the place of that part."""
    try:
        yield
    except IndexFileError:
        raise
    except (ValueError, TypeError, KeyError) as exc:
        raise _fail(where, str(exc)) from None


def _read(archive: Archive, schema: Any) -> Index:
    from indexfuse_tools._index.index import Index

    document = _document(archive)
    with _at("model"):
        model = from_dict(document["model"])
    if schema is not None and not _same_schema(schema, model.schema):
        raise _fail(
            "schema",
            f"the file is an index of another schema: it has {describe(model.schema)}, not {describe(schema)}",
        )
    with _at("preparation"):
        preparation = None if document["preparation"] is None else Preparation.from_dict(document["preparation"])
    with _at("schema"):
        stored_schema = decode(document["schema"], "schema")
        if stored_schema != model.schema:
            raise _fail("schema", "differs from the schema of the model it holds")
    with _at("model_args"):
        model_args = _model_args(decode(document["model_args"], "model_args"), model)
    with _at("preparation_options"):
        options = decode(document["preparation_options"], "preparation_options")
        if options is not None and not (isinstance(options, dict) and preparation is not None):
            raise _fail("preparation_options", "a mapping of prepare() options beside the preparation, or null")
    period, unit = decode(document["period"], "period"), decode(document["unit"], "unit")
    frames = _raw(document, archive, model, preparation, period)
    presentation = _presentation(document["presentation"])
    baseline, reference = document["baseline"], decode(document["reference"], "reference")
    fitted_on = tuple(_list(decode(document["fitted_on"], "fitted_on"), "fitted_on"))
    with _at("editions"):
        editions = _editions(frames, model, preparation, period, baseline, reference, fitted_on, presentation)
    index = Index(
        schema=model.schema, model=model, preparation=preparation, preparation_options=options,
        raw=frames[None] if editions is None else None, editions=editions, period=period, unit=unit,
        fitted_on=fitted_on, presentation=presentation, model_args=model_args,
    )  # fmt: skip
    _check_published(index, archive, document)
    for i, entry in enumerate(_list(document["analyses"], "analyses")):
        key, analysis = _analysis(archive, entry, f"analyses[{i}]", index)
        index.analyses[key] = analysis
    return index


def _same_schema(expected: Any, found: Any) -> bool:
    try:
        return bool(encode(expected, "schema") == encode(found, "schema"))
    except TypeError:
        return False


def _document(archive: Archive) -> dict[str, Any]:
    text = archive.text(_DOCUMENT, _DOCUMENT_LIMIT)
    try:
        document = parse(text.decode("utf-8"))
    except UnicodeDecodeError as exc:
        raise _fail(_DOCUMENT, f"not UTF-8 text: {exc}") from None
    _check_depth(document)
    if not isinstance(document, dict):
        raise _fail(_DOCUMENT, f"expected a JSON object, got {describe(document)}")
    if document.get("format") != INDEX_FORMAT:
        raise _fail("format", f"expected {INDEX_FORMAT!r}, got {describe(document.get('format'))}: not an index file")
    version = document.get("version")
    if type(version) is not int or version < 1:
        raise _fail("version", f"expected a layout version, got {describe(version)}")
    if version > INDEX_VERSION:
        raise _fail(
            "version",
            f"the file was written by a newer release (layout {version}); this release reads layout "
            f"{INDEX_VERSION}: upgrade indexfuse to read it",
        )
    missing = [field for field in _FIELDS if field not in document]
    if missing:
        raise _fail(_DOCUMENT, f"missing field(s): {', '.join(missing)}")
    extra = [field for field in document if field not in _FIELDS]
    if extra:
        raise _fail(_DOCUMENT, f"unknown field(s): {', '.join(map(repr, extra))}")
    if document["baseline"] not in (None, *_BASELINES):
        raise _fail("baseline", f"expected one of {', '.join(map(repr, _BASELINES))} or null, got {describe(document['baseline'])}")
    return document


def _check_depth(document: Any) -> None:
    stack = [(document, 1)]
    while stack:
        node, depth = stack.pop()
        if depth > _MAX_DEPTH:
            raise _fail(_DOCUMENT, f"nested deeper than {_MAX_DEPTH} levels")
        children = node.values() if isinstance(node, dict) else node if isinstance(node, list) else ()
        stack.extend((child, depth + 1) for child in children)


def _list(value: Any, where: str) -> list[Any]:
    if not isinstance(value, list):
        raise _fail(where, f"expected an array, got {describe(value)}")
    return value


def _model_args(value: Any, model: Any) -> dict[str, Any]:
    if not isinstance(value, dict) or set(value) - {"scale_method", "pca_cumulative", "ent_k", "resolution"}:
        raise _fail("model_args", f"expected the model's arguments and its resolution, got {describe(value)}")
    resolution: Any = value.get("resolution")
    if not (is_finite(resolution) and float(resolution) > 0):
        raise _fail("model_args", f"the resolution is a positive number, got {describe(resolution)}")
    cumulative = getattr(getattr(model, "pca", None), "cumulative", None)
    for name, found in (("scale_method", model.scale_method), ("pca_cumulative", cumulative)):
        if name in value and value[name] != found:
            raise _fail("model_args", f"{name} {describe(value[name])} is not the model's ({describe(found)})")
    return value


def _raw(
    document: dict[str, Any], archive: Archive, model: Any, preparation: Preparation | None, period: Any
) -> dict[Any, pd.DataFrame]:
    """The raw table by edition, each column of the length and kind the document declares."""
    with _at("columns"):
        columns = _list(decode(document["columns"], "columns"), "columns")
        if columns != read_columns(model, preparation):
            raise _fail("columns", "are not the columns the model and the preparation read")
    dtypes = _list(document["dtypes"], "dtypes")
    if len(dtypes) != len(columns) or not all(isinstance(dtype, str) for dtype in dtypes):
        raise _fail("dtypes", "one dtype name per column")
    with _at("unit_names"):
        names = _list(decode(document["unit_names"], "unit_names"), "unit_names")
    entries = _list(document["editions"], "editions")
    if not entries or (period is None and len(entries) != 1):
        raise _fail("editions", "one entry per edition, or one entry for an index without editions")
    keys, unit_lists, unit_dtypes = [], [], []
    for i, entry in enumerate(entries):
        if not isinstance(entry, dict) or set(entry) != {"period", "units", "dtypes"}:
            raise _fail(f"editions[{i}]", f"expected an object of a period, units and dtypes, got {describe(entry)}")
        with _at(f"editions[{i}]"):
            keys.append(decode(entry["period"], f"editions[{i}].period"))
            unit_lists.append(_list(decode(entry["units"], f"editions[{i}].units"), f"editions[{i}].units"))
        found = _list(entry["dtypes"], f"editions[{i}].dtypes")
        if not all(dtype in _LABEL_DTYPES for dtype in found):
            raise _fail(f"editions[{i}].dtypes", f"each one of {', '.join(_LABEL_DTYPES)}, got {describe(found)}")
        unit_dtypes.append(found)
    if period is None and keys != [None]:
        raise _fail("editions", "an index without a period column has one table, of period null")
    rows = sum(len(units) for units in unit_lists)
    text = document["text"]
    if not isinstance(text, dict):
        raise _fail("text", f"expected an object, got {describe(text)}")
    values: dict[Any, Any] = {}
    for j, (label, dtype) in enumerate(zip(columns, dtypes)):
        if str(j) in text:
            if dtype not in _TEXT_DTYPES:
                raise _fail(f"dtypes[{j}]", f"a text column is one of {', '.join(_TEXT_DTYPES)}, got {dtype!r}")
            with _at(f"text[{j}]"):
                column = _list(decode(text[str(j)], f"text[{j}]"), f"text[{j}]")
            if len(column) != rows:
                raise _fail(f"text[{j}]", f"expected {rows} values, one per row, got {len(column)}")
            values[label] = pd.Series(column, dtype=dtype)
        else:
            array = archive.array(f"raw_{j}.npy", (rows,), _NUMERIC_KINDS)
            if str(array.dtype) != dtype:
                raise _fail(f"raw_{j}.npy", f"holds {array.dtype} where the document declares {dtype}")
            values[label] = pd.Series(array)
    whole = pd.DataFrame(values)
    whole.columns = pd.Index(columns)
    frames, start = {}, 0
    for key, units, label_dtypes in zip(keys, unit_lists, unit_dtypes):
        with _at("editions"):
            labels = _labels(units, label_dtypes, names)
        if not labels.is_unique:
            raise _fail("editions", f"the units of {key!r} repeat a label")
        frame = whole.iloc[start : start + len(units)].copy()
        frame.index = labels
        frames[key] = frame
        start += len(units)
    return frames


def _labels(units: list[Any], dtypes: list[str], names: list[Any]) -> pd.Index:
    """The unit labels of an edition, each level of the dtype it was saved with."""
    if len(dtypes) != len(names) or not dtypes:
        raise _fail("editions", "one dtype per level of the unit labels")
    if len(dtypes) == 1:
        return pd.Index(units, dtype=dtypes[0], name=names[0], tupleize_cols=False)
    if not all(isinstance(unit, tuple) and len(unit) == len(dtypes) for unit in units):
        raise _fail("editions", f"each unit is a tuple of {len(dtypes)} labels")
    levels = [pd.Index([unit[i] for unit in units], dtype=dtype) for i, dtype in enumerate(dtypes)]
    return pd.MultiIndex.from_arrays(levels, names=names)


def _presentation(body: Any) -> Presentation | None:
    if body is None:
        return None
    if not isinstance(body, dict) or set(body) != {"low", "high", "units", "periods", "given"}:
        raise _fail("presentation", f"expected an object of low, high, units, periods and given, got {describe(body)}")
    low, high, units, given = body["low"], body["high"], body["units"], body["given"]
    periods = decode(body["periods"], "presentation.periods")
    if not (is_finite(low) and is_finite(high) and float(low) <= float(high)):
        raise _fail("presentation", f"low and high are finite with low <= high, got {describe(low)} and {describe(high)}")
    if not (is_integer(units) and units >= 0) or not isinstance(given, bool) or not isinstance(periods, list):
        raise _fail("presentation", "units is a count, periods a list and given a boolean")
    return Presentation(float(low), float(high), int(units), tuple(periods), given)


def _editions(
    frames: dict[Any, pd.DataFrame], model: Any, preparation: Preparation | None, period: Any, baseline: Any,
    reference: Any, fitted_on: tuple[Any, ...], presentation: Presentation | None,
) -> Editions | None:  # fmt: skip
    if period is None:
        if baseline is not None or reference is not None or fitted_on:
            raise _fail("baseline", "an index without editions has no baseline, reference or editions fitted on")
        return None
    keys = list(frames)
    try:
        ordered = keys == sorted(keys)
    except TypeError:
        ordered = False
    if not ordered or len(set(map(repr, keys))) != len(keys):
        raise _fail("editions", "the periods come once each, in order")
    if baseline is None or not fitted_on or not set(fitted_on) <= set(keys):
        raise _fail("fitted_on", "the editions the model was fitted on are editions of the index")
    if (baseline == "reference") != (reference is not None) or (baseline == "reference" and fitted_on != (reference,)):
        raise _fail("reference", "the reference edition is the one edition fitted on, under baseline 'reference'")
    return Editions.scored_by(
        model, frames, preparation, baseline=baseline, reference=reference, presentation=presentation
    )


def _check_published(index: Index, archive: Archive, document: dict[str, Any]) -> None:
    """The file's published composites and fingerprint are what its model gives on its data, to the bit."""
    composite = index.results()["composite"].to_numpy(dtype=np.float64)
    stored = archive.array("composite.npy", (len(composite),), np.float64)
    if not np.array_equal(stored, composite, equal_nan=True):
        changed = int((~((stored == composite) | (np.isnan(stored) & np.isnan(composite)))).sum())
        raise _fail(
            "composite.npy",
            f"{changed} published composite(s) are not what the model gives on the file's data after its "
            "preparation: the file was edited or damaged",
        )
    with _at("fingerprint"):
        stored_print = Fingerprint.from_dict(document["fingerprint"])
    differing = stored_print.differences(index.fingerprint)
    if differing:
        raise _fail("fingerprint", f"{', '.join(differing)} differ from what the file holds: it was edited or damaged")


def _analysis(archive: Archive, entry: Any, where: str, index: Index) -> tuple[Any, RobustnessResult]:
    if not isinstance(entry, dict) or set(entry) != {"period", "member"} or not isinstance(entry["member"], str):
        raise _fail(where, f"expected an object of a period and a member, got {describe(entry)}")
    key = decode(entry["period"], f"{where}.period")
    if key not in ([None] if index.editions is None else index.periods):
        raise _fail(where, f"{key!r} is not an edition of the index")
    member = entry["member"]
    if not (member.startswith("robustness_") and member.endswith(".zip")):
        raise _fail(where, f"{member!r} is not an analysis member")
    contents = archive.text(member, _ANALYSIS_LIMIT)
    with tempfile.TemporaryDirectory(prefix="indexfuse-index-") as folder:
        copy = Path(folder) / "analysis.zip"
        copy.write_bytes(contents)
        try:
            analysis = RobustnessResult.load(copy)
        except ValueError as exc:
            raise _fail(member, str(exc).replace(repr(os.fspath(copy)), "the analysis")) from None
    expected = index.fingerprint if index.editions is None else index.editions.edition_fingerprint(key)
    if analysis.fingerprint is None or analysis.fingerprint.differences(expected):
        raise _fail(member, f"the analysis is not of this index's {'table' if key is None else f'{key!r} edition'}")
    return key, analysis

