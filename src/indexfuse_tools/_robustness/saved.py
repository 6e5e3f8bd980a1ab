"""The file of a robustness analysis: one JSON document and ``.npy`` arrays in a zip.

Writing is plain. Reading trusts nothing: the document is parsed strictly
and every field is checked for its type, the factors' levels by the
factors' own checks, and the schema and data as :func:`robustness` checked
them; the document then says how many runs and units there are, and each
array is read only if its header has the shape that follows (see
:mod:`~indexfuse_tools._robustness.archive`). Whatever is wrong ends in
one ``ValueError`` naming the file.
"""

from __future__ import annotations

import json
import os
import zipfile
from collections import Counter
from collections.abc import Hashable
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from indexfuse_tools._check import check
from indexfuse_tools._core import (
    MAX_SHARED_HASH,
    Fingerprint,
    atomic_path,
    check_hash_spread,
    decode,
    describe,
    encode,
    indicators,
    is_hashable,
    is_integer,
    is_real,
    parse,
    used_columns,
)
from indexfuse_tools._preparation import Preparation
from indexfuse_tools._robustness.archive import Archive, FileProblem
from indexfuse_tools._robustness.design import CONVERGENCE_COLUMNS, SENSITIVITY_COLUMNS
from indexfuse_tools._robustness.engine import Job, make_job, nominal_options, prepared_table, rank_dtype, raw_fit_rows
from indexfuse_tools._robustness.spill import SPILL_BLOCK_BYTES, SpillFile, default_spill_dir
from indexfuse_tools._robustness.factors import (
    BY_NAME,
    COMBINATION,
    DISCRETE,
    FACTORS,
    NOISE,
    NOMINAL_ARGUMENTS,
    TREATMENT,
    Ground,
    ModelSchema,
    Nominal,
    Setting,
    check_treatment,
    nominal_level,
    nominal_of,
)

__all__ = ["RANK_COLUMNS", "ROBUSTNESS_FORMAT", "ROBUSTNESS_VERSION", "Saved", "read_analysis", "write_analysis"]

#: Value of the ``"format"`` field of a saved analysis.
ROBUSTNESS_FORMAT = "indexfuse-robustness"
#: Version of the file layout written by this release: 2 added the treatment
#: of the raw table and its factors, 3 the weighting and the aggregation;
#: files of versions 1 and 2 are read too.
ROBUSTNESS_VERSION = 3
_READ_VERSIONS = (1, 2, 3)
#: The columns of a result's ``ranks``.
RANK_COLUMNS = ("nominal", "median", "p5", "p95", "mean_shift")

_DOCUMENT = "robustness.json"
# A member streamed into the zip must say beforehand whether it may pass the
# 2 GiB of a classic zip entry.
_ZIP64_FROM = 2**31 - 2**20
# Eight million units (the most float32 ranks hold) take some 200 MB of
# labels; the rest of a document is small.
_DOCUMENT_LIMIT = 512 * 2**20
# A document nests its schema (a few levels), tagged tuples in unit labels
# and the tags themselves; far less than this.
_MAX_DEPTH = 64
_METHODS = ("sobol", "uncertainty", "bootstrap")
_FIELDS = (
    "format", "version", "method", "n", "seed", "nominal", "levels", "varied", "noise", "schema",
    "top_keys", "units", "unit_names", "columns", "sensitivity", "convergence",
)  # fmt: skip
#: The fields version 2 added: the nominal treatment and the raw table it prepares (null without one).
_TREATMENT_FIELDS = ("treatment", "raw")
_TABLE_KEYS = {"index", "columns", "data"}
_RAW_KEYS = {"index", "index_types", "index_names", "columns", "values", "dtypes"}
# The dtypes a raw column is read back as: what a table of indicators and group labels holds.
_RAW_DTYPES = ("float64", "int64", "bool", "object", "str", "string")
_LABEL_TYPES = (
    "None, bool, int, float, str, numpy scalars, dates and time spans (a level of dtype datetime64 or "
    "timedelta64, with or without a time zone), or tuples of these"
)


@dataclass(frozen=True)
class Saved:
    """What a file holds: the analysis's job and every array and table of its result."""

    job: Job
    n: int
    codes: np.ndarray
    multipliers: np.ndarray
    shifts: np.ndarray
    run_ranks: np.ndarray | SpillFile | None  # in memory or spilled to disk; None: left out
    ranks: np.ndarray
    sensitivity: pd.DataFrame
    convergence: pd.DataFrame
    fingerprint: Fingerprint | None = None


# ---------------------------------------------------------------- writing --


def write_analysis(path: str | os.PathLike[str], saved: Saved) -> None:
    """Write ``saved`` to ``path`` (``run_ranks`` None: left out).

    Raises
    ------
    TypeError
        If a label of the data's rows or columns, or a value of the
        schema, cannot be stored; the message says which.
    """
    job = saved.job
    data = job.data
    units, unit_types = _encoded_units(data.index)
    document = {
        "format": ROBUSTNESS_FORMAT,
        "version": ROBUSTNESS_VERSION,
        "method": job.method,
        "n": saved.n,
        "seed": job.seed,
        "nominal": encode({name: getattr(job.nominal, name) for name in NOMINAL_ARGUMENTS}, "nominal"),
        "levels": encode({name: list(levels) for name, levels in job.setting.levels.items()}, "levels"),
        "varied": list(job.setting.varied),
        "noise": job.setting.noise,
        "schema": encode(job.schema, "schema"),
        "top_keys": encode(list(job.top_keys), "top_keys"),
        "units": units,
        "unit_types": unit_types,
        "unit_names": _encoded_labels(list(data.index.names), "the names of the row index"),
        "columns": _encoded_labels(data.columns.tolist(), "the column labels"),
        "sensitivity": _table_document(saved.sensitivity),
        "convergence": _table_document(saved.convergence),
        "treatment": encode(job.treatment, "treatment"),
        "raw": None if job.raw is None else _raw_document(job.raw),
        # Read when present, and by older releases not at all: a file without them is an analysis of
        # every row, fitted on every row, of an unknown fingerprint.
        "fingerprint": None if saved.fingerprint is None else saved.fingerprint.to_dict(),
        "published": None if job.published is None else job.published.to_dict(),
        "fitted": job.fitted,
        "ranked": None if job.ranked is None else len(job.ranked),
    }
    arrays: dict[str, np.ndarray | SpillFile] = {
        "codes": saved.codes,
        "multipliers": saved.multipliers,
        "rank_shift": saved.shifts,
        "ranks": saved.ranks,
        "nominal_ranks": job.nominal_ranks,
    }
    if saved.run_ranks is not None:
        arrays["run_ranks"] = saved.run_ranks
    if job.ranked is not None:
        arrays["ranked"] = np.asarray(job.ranked, dtype=np.int64)
    for j in range(data.shape[1]):
        arrays[f"data_{j}"] = data.iloc[:, j].to_numpy()
    text = json.dumps(document, allow_nan=False, ensure_ascii=False, indent=1)
    with atomic_path(path) as temporary, zipfile.ZipFile(temporary, "w") as archive:
        archive.writestr(_DOCUMENT, text, compress_type=zipfile.ZIP_DEFLATED)
        for name, array in arrays.items():
            _write_array(archive, name, array)


def _write_array(archive: zipfile.ZipFile, name: str, array: np.ndarray | SpillFile) -> None:
    """``array`` as member ``<name>.npy``, streamed: a spilled matrix a block of runs at a time, never whole."""
    if isinstance(array, SpillFile):
        shape, dtype, blocks = (array.runs, array.units), array.dtype, array.run_blocks()
    else:
        if array.dtype.hasobject:
            raise TypeError(f"{name}: cannot store values of dtype {array.dtype} without pickle")
        shape, dtype, blocks = array.shape, array.dtype, iter([np.ascontiguousarray(array)])
    size = int(np.prod(shape, dtype=np.int64)) * dtype.itemsize
    header = {"descr": np.lib.format.dtype_to_descr(dtype), "fortran_order": False, "shape": tuple(shape)}
    with archive.open(f"{name}.npy", "w", force_zip64=size > _ZIP64_FROM) as member:
        np.lib.format.write_array_header_1_0(member, header)
        for block in blocks:
            if block.size:
                member.write(memoryview(block).cast("B"))


def _encoded_labels(labels: list[Any], what: str) -> Any:
    try:
        return encode(labels, "labels")
    except TypeError:
        bad = next(label for label in labels if not _encodable(label))
        raise TypeError(
            f"cannot save the analysis: {what} hold {describe(bad)} of type {type(bad).__qualname__}; "
            f"a saved analysis stores labels that are {_LABEL_TYPES}"
        ) from None


def _encodable(label: Any) -> bool:
    try:
        encode(label, "label")
    except TypeError:
        return False
    return True


def _encoded_units(index: pd.Index) -> tuple[Any, list[Any]]:
    """The row labels as JSON, dates and time spans as integers, and how to read each level back."""
    levels: list[list[Any]] = []
    types: list[Any] = []
    for position in range(index.nlevels):
        level = index.get_level_values(position)
        if isinstance(level, (pd.DatetimeIndex, pd.TimedeltaIndex)):
            levels.append(level.asi8.tolist())
            types.append({"dtype": str(level.dtype), "freq": level.freqstr})
        else:
            levels.append(_encoded_labels(level.tolist(), "the row labels"))
            types.append(None)
    units = levels[0] if index.nlevels == 1 else [{"$tuple": list(unit)} for unit in zip(*levels)]
    return units, types


def _raw_document(raw: pd.DataFrame) -> Any:
    """The raw table a treated analysis prepares, as tagged JSON: it holds gaps and group labels."""
    units, unit_types = _encoded_units(raw.index)
    return {
        "index": units,
        "index_types": unit_types,
        "index_names": _encoded_labels(list(raw.index.names), "the names of the raw table's row index"),
        "columns": _encoded_labels(raw.columns.tolist(), "the raw table's column labels"),
        "values": [_encoded_labels(raw.iloc[:, j].tolist(), "the raw table's values") for j in range(raw.shape[1])],
        "dtypes": [str(dtype) for dtype in raw.dtypes],
    }


def _table_document(table: pd.DataFrame) -> Any:
    return {
        "index": table.index.tolist(),
        "columns": table.columns.tolist(),
        "data": [[None if np.isnan(v) else float(v) for v in row] for row in table.to_numpy(dtype=np.float64)],
    }


# ---------------------------------------------------------------- reading --


def read_analysis(path: str | os.PathLike[str], spill_dir: str | os.PathLike[str] | None = None) -> Saved:
    """What the file at ``path`` holds, every part checked before it is used.

    Every run's ranks, when the file holds them, are copied into a spill
    file in ``spill_dir`` (by default the temporary directory), a block at
    a time, once everything else has been read and checked.

    Raises
    ------
    ValueError
        Naming the file and what is wrong with it: not a zip, a missing or
        malformed member or field, a member larger than the file explains,
        an array of another shape or dtype than the document implies, a
        level or schema the analysis could not have had.
    """
    try:
        with Archive(path) as archive:
            return _read(archive, spill_dir)
    except (ValueError, TypeError, KeyError, IndexError, OverflowError) as exc:
        raise ValueError(f"{os.fspath(path)!r} is not a saved robustness analysis: {exc}") from None


def _read(archive: Archive, spill_dir: str | os.PathLike[str] | None) -> Saved:
    document = _document(archive.text(_DOCUMENT, _DOCUMENT_LIMIT))
    method = document["method"]
    schema = decode(document["schema"], "schema")
    if not isinstance(schema, (dict, list, tuple)):
        raise FileProblem(f"schema: a dict, list or tuple, got {describe(schema)}")
    nominal = _nominal(decode(document["nominal"], "nominal"), schema)
    fitted = _fitted(document.get("fitted"))
    data = _data(document, archive, schema, fitted)
    if fitted is not None and fitted > len(data):
        raise FileProblem(f"fitted: at most the {len(data)} rows of the analysis, got {fitted}")
    ranked = _ranked(document.get("ranked"), archive, len(data))
    published = _published(document.get("published"))
    treatment, raw = _treatment(document, schema, nominal, data, published, fitted)
    setting = _setting(document, schema, nominal, data.iloc[:fitted], treatment)
    top_keys = _top_keys(decode(document["top_keys"], "top_keys"), schema)
    units = len(data) if ranked is None else len(ranked)
    runs = _run_count(method, document["n"], setting)
    arrays = _arrays(archive, method, setting, len(top_keys), units, runs, _factors_in_file(document))
    factors = list(setting.varied) if method == "sobol" else []
    job = make_job(
        method, document["seed"], data, schema, nominal, setting, top_keys, arrays["nominal_ranks"], treatment, raw,
        fitted=fitted, ranked=ranked, published=published,
    )
    sensitivity = _table(document["sensitivity"], "sensitivity", SENSITIVITY_COLUMNS, factors)
    convergence = _table(document["convergence"], "convergence", CONVERGENCE_COLUMNS, factors)
    fingerprint = _fingerprint(document.get("fingerprint"))
    return Saved(
        job, document["n"], arrays["codes"], arrays["multipliers"], arrays["rank_shift"],
        _run_ranks(archive, runs, units, spill_dir), arrays["ranks"], sensitivity, convergence, fingerprint,
    )  # fmt: skip


def _fingerprint(body: Any) -> Fingerprint | None:
    if body is None:
        return None
    try:
        return Fingerprint.from_dict(body)
    except ValueError as exc:
        raise FileProblem(f"fingerprint: {exc}") from None


def _fitted(value: Any) -> int | None:
    if value is None:
        return None
    if type(value) is not int or value < 2:
        raise FileProblem(f"fitted: a number of rows of at least 2, or null, got {describe(value)}")
    return value


def _ranked(count: Any, archive: Archive, rows: int) -> np.ndarray | None:
    """The positions of the rows ranked, each a row of the analysis, none twice."""
    if count is None:
        return None
    if type(count) is not int or not 1 <= count <= rows:
        raise FileProblem(f"ranked: a number of rows from 1 to {rows}, or null, got {describe(count)}")
    positions = archive.array("ranked.npy", (count,), np.int64)
    if positions.min() < 0 or positions.max() >= rows or len(np.unique(positions)) != count:
        raise FileProblem(f"ranked.npy: distinct positions of the analysis's {rows} rows")
    return positions


def _published(body: Any) -> Preparation | None:
    """The preparation the analysis replayed as it is, read as a preparation file is read."""
    if body is None:
        return None
    try:
        return Preparation.from_dict(body)
    except ValueError as exc:
        raise FileProblem(f"published: {exc}") from None


def _document(text: bytes) -> dict[str, Any]:
    """The parsed document, its plain fields checked; tagged fields are decoded where used."""
    document = parse(text.decode("utf-8"))
    _check_depth(document)
    if not isinstance(document, dict):
        raise FileProblem(f"its document is {describe(document)}, not a JSON object")
    if document.get("format") != ROBUSTNESS_FORMAT:
        raise FileProblem(f"format {document.get('format')!r}, not {ROBUSTNESS_FORMAT!r}")
    if document.get("version") not in _READ_VERSIONS:
        raise FileProblem(
            f"saved with layout version {document.get('version')!r}; this release reads "
            f"{', '.join(map(str, _READ_VERSIONS))}"
        )
    fields = _FIELDS if document["version"] == 1 else (*_FIELDS, *_TREATMENT_FIELDS)
    missing = [name for name in fields if name not in document]
    if missing:
        raise FileProblem(f"its document has no field {', '.join(map(repr, missing))}")
    if document["method"] not in _METHODS:
        raise FileProblem(f"method: one of {', '.join(map(repr, _METHODS))}, got {describe(document['method'])}")
    for name, least in (("n", 2), ("seed", 0)):
        if type(document[name]) is not int or document[name] < least:
            raise FileProblem(f"{name}: an integer of at least {least}, got {describe(document[name])}")
    if document["method"] == "sobol" and document["n"] & (document["n"] - 1):
        raise FileProblem(f"n: a power of 2 for method 'sobol', got {document['n']}")
    return document


def _check_depth(document: Any) -> None:
    stack = [(document, 1)]
    while stack:
        node, depth = stack.pop()
        if depth > _MAX_DEPTH:
            raise FileProblem(f"its document is nested deeper than {_MAX_DEPTH} levels")
        children = node.values() if isinstance(node, dict) else node if isinstance(node, list) else ()
        stack.extend((child, depth + 1) for child in children)


# --------------------------------------------- the configuration and data --


def _nominal(values: Any, schema: ModelSchema) -> Nominal:
    if not isinstance(values, dict) or set(values) != set(NOMINAL_ARGUMENTS):
        raise FileProblem(f"nominal: an object of the fields {', '.join(NOMINAL_ARGUMENTS)}, got {describe(values)}")
    if values["resolution"] is None:
        raise FileProblem("nominal: the resolution is a positive number, got None")
    try:
        nominal = nominal_of(values, schema)  # the model's and the toolkit's own checks
    except (TypeError, ValueError) as exc:
        raise FileProblem(f"nominal: {exc}") from None
    if not is_integer(nominal.ent_k) or nominal.ent_k < 1:
        raise FileProblem(f"nominal: ent_k is a positive integer, got {describe(nominal.ent_k)}")
    return nominal


def _data(document: dict[str, Any], archive: Archive, schema: ModelSchema, fitted: int | None = None) -> pd.DataFrame:
    columns = _labels(decode(document["columns"], "columns"), "columns")
    index = _unit_index(document)
    data = pd.DataFrame(
        {j: archive.array(f"data_{j}.npy", (len(index),), "biuf") for j in range(len(columns))}, index=index
    )
    data.columns = pd.Index(columns) if columns else data.columns
    check(schema, data.iloc[:fitted], strict=True)  # what robustness() checked before it ran
    return data


def _labels(labels: Any, where: str) -> list[Any]:
    if not isinstance(labels, list):
        raise FileProblem(f"{where}: a list of labels, got {describe(labels)}")
    bad = next((label for label in labels if not is_hashable(label)), None)
    if bad is not None:
        raise FileProblem(f"{where}: {describe(bad)} cannot be a label")
    # Counting hashes first costs an integer per label; the full check, a
    # list per label, is needed only where some hash repeats that often.
    if labels and max(Counter(map(hash, labels)).values()) > MAX_SHARED_HASH:
        check_hash_spread(labels, where)
    return labels


def _unit_index(document: dict[str, Any]) -> pd.Index:
    names = _labels(decode(document["unit_names"], "unit_names"), "unit_names")
    units = _labels(decode(document["units"], "units"), "units")
    types = document.get("unit_types", [None] * len(names))
    if not names or not isinstance(types, list) or len(types) != len(names):
        raise FileProblem(
            f"unit_names and unit_types: one per level of the row index, got {names!r:.80} and {types!r:.80}"
        )
    if len(names) == 1:
        levels = [units]
    else:
        bad = next((unit for unit in units if not (isinstance(unit, tuple) and len(unit) == len(names))), None)
        if bad is not None:
            raise FileProblem(f"units: each a tuple of {len(names)} labels, got {describe(bad)}")
        levels = [list(level) for level in zip(*units)] if units else [[] for _ in names]
    arrays = [_level(level, kind) for level, kind in zip(levels, types)]
    index: pd.Index = (
        pd.Index(arrays[0], name=names[0]) if len(names) == 1 else pd.MultiIndex.from_arrays(arrays, names=names)
    )
    if not index.is_unique:
        # Every tool refuses repeated unit labels before it runs; a file that
        # holds them was not written by an analysis of this release.
        repeated = index[index.duplicated()].unique().tolist()
        raise FileProblem(f"units: repeated labels such as {describe(repeated[0])}; units are named once each")
    return index


def _level(labels: list[Any], kind: Any) -> Any:
    """One level of the row index: the labels as they are, or dates and time spans read back."""
    if kind is None:
        return labels
    if not (isinstance(kind, dict) and set(kind) == {"dtype", "freq"} and isinstance(kind["dtype"], str)):
        raise FileProblem(f"unit_types: an object of a dtype and a freq, got {describe(kind)}")
    if kind["freq"] is not None and not isinstance(kind["freq"], str):
        raise FileProblem(f"unit_types: a freq is a string or null, got {describe(kind['freq'])}")
    if not all(type(label) is int for label in labels):
        raise FileProblem(f"units: dates and time spans are stored as integers, got {_first_non_integer(labels)}")
    dtype = pd.api.types.pandas_dtype(kind["dtype"])
    freq: Any = kind["freq"]
    ticks = np.array(labels, dtype=np.int64)
    if isinstance(dtype, pd.DatetimeTZDtype):
        moments = pd.DatetimeIndex(ticks.view(f"M8[{dtype.unit}]")).tz_localize("UTC").tz_convert(dtype.tz)
        return pd.DatetimeIndex(moments, freq=freq)
    if isinstance(dtype, np.dtype) and dtype.kind == "M":
        return pd.DatetimeIndex(ticks.view(dtype), freq=freq)
    if isinstance(dtype, np.dtype) and dtype.kind == "m":
        return pd.TimedeltaIndex(ticks.view(dtype), freq=freq)
    raise FileProblem(f"unit_types: {kind['dtype']!r} is not a dtype of dates or time spans")


def _first_non_integer(labels: list[Any]) -> str:
    return describe(next(label for label in labels if type(label) is not int))


def _factors_in_file(document: dict[str, Any]) -> tuple[str, ...]:
    """The discrete factors whose level codes the file holds: version 1 knew no treatment factor,
    version 2 no weighting or aggregation."""
    unknown = {1: (*TREATMENT, *COMBINATION), 2: COMBINATION}.get(document["version"], ())
    return tuple(name for name in DISCRETE if name not in unknown)


def _treatment(
    document: dict[str, Any],
    schema: ModelSchema,
    nominal: Nominal,
    data: pd.DataFrame,
    published: Preparation | None = None,
    fitted: int | None = None,
) -> tuple[dict[str, Any] | None, pd.DataFrame | None]:
    """The nominal treatment and the raw table, checked by preparing the one with the other again
    (replaying the preparation given as it is, when there is one)."""
    if document.get("treatment") is None and document.get("raw") is None:
        return None, None
    try:
        treatment = check_treatment(decode(document["treatment"], "treatment"))
    except TypeError as exc:
        raise FileProblem(f"treatment: {exc}") from None
    if treatment is None or document.get("raw") is None:
        raise FileProblem("treatment and raw: both null, or a treatment and the raw table it prepares")
    raw = _raw(document["raw"])
    options = nominal_options(nominal, treatment)
    assert options is not None
    try:
        if published is None:
            prepared = prepared_table(schema, raw, options, raw_fit_rows(raw, data, fitted))
        else:
            prepared = used_columns(published.apply(raw)[0], schema)
    except (TypeError, ValueError, KeyError) as exc:
        raise FileProblem(f"raw: the treatment {options!r:.200} cannot prepare it: {exc}") from None
    # The analysis's data is the raw table's nominal preparation; a file where it is not was not written by one.
    if not (prepared.index.equals(data.index) and prepared.columns.equals(data.columns) and prepared.equals(data)):
        raise FileProblem("raw: its nominal preparation is not the analysis's table")
    return treatment, raw


def _raw(body: Any) -> pd.DataFrame:
    if not isinstance(body, dict) or set(body) != _RAW_KEYS:
        raise FileProblem(f"raw: an object of {', '.join(sorted(_RAW_KEYS))}, got {describe(body)}")
    index = _unit_index({"unit_names": body["index_names"], "units": body["index"], "unit_types": body["index_types"]})
    columns = _labels(decode(body["columns"], "raw.columns"), "raw.columns")
    values, dtypes = body["values"], body["dtypes"]
    if not (isinstance(values, list) and isinstance(dtypes, list) and len(values) == len(dtypes) == len(columns)):
        raise FileProblem("raw: values and dtypes hold one entry per column")
    series = []
    for column, dtype in zip(values, dtypes):
        if dtype not in _RAW_DTYPES:
            raise FileProblem(f"raw.dtypes: one of {', '.join(_RAW_DTYPES)}, got {describe(dtype)}")
        decoded = decode(column, "raw.values")
        if not isinstance(decoded, list) or len(decoded) != len(index):
            raise FileProblem(f"raw.values: one value per row ({len(index)}), got {describe(decoded)}")
        series.append(pd.Series(decoded, index=index, dtype=dtype))
    frame = pd.concat(series, axis=1) if series else pd.DataFrame(index=index)
    frame.columns = pd.Index(columns)
    return frame


def _setting(
    document: dict[str, Any],
    schema: ModelSchema,
    nominal: Nominal,
    data: pd.DataFrame,
    treatment: dict[str, Any] | None,
) -> Setting:
    """The factors' levels, each checked as :func:`robustness` checked the caller's."""
    stored, varied, noise = decode(document["levels"], "levels"), document["varied"], document["noise"]
    in_file = _factors_in_file(document)
    if not isinstance(stored, dict) or set(stored) != set(in_file):
        raise FileProblem(f"levels: an object of the factors {', '.join(in_file)}, got {describe(stored)}")
    levels = {name: stored.get(name, [nominal_level(name, nominal, treatment)]) for name in DISCRETE}
    if not isinstance(varied, list) or not set(varied) <= set(FACTORS) or len(set(varied)) != len(varied):
        raise FileProblem(f"varied: a list of distinct factors among {', '.join(FACTORS)}, got {describe(varied)}")
    if (document["method"] == "bootstrap") != (not varied):
        raise FileProblem(f"varied: method {document['method']!r} cannot vary {varied!r}")
    ground = Ground(schema, data, nominal, indicators(schema, data.columns.tolist()), treatment)
    checked: dict[str, tuple[Any, ...]] = {}
    for name in DISCRETE:
        if not isinstance(levels[name], list):
            raise FileProblem(f"levels[{name!r}]: a list of levels, got {describe(levels[name])}")
        if name in varied:
            checked[name] = BY_NAME[name].levels(levels[name], ground)
            continue
        fixed = (nominal_level(name, nominal, treatment),)
        if tuple(levels[name]) != fixed:
            raise FileProblem(
                f"levels[{name!r}]: a factor that is not varied keeps {list(fixed)!r}, got {levels[name]!r:.200}"
            )
        checked[name] = fixed
    if NOISE in varied:
        noise = BY_NAME[NOISE].levels(noise, ground)
    elif noise is not None:
        raise FileProblem(f"noise: null when {NOISE!r} is not varied, got {describe(noise)}")
    return Setting(checked, tuple(varied), noise)


def _top_keys(keys: Any, schema: ModelSchema) -> tuple[Hashable, ...]:
    expected = list(schema) if isinstance(schema, dict) else []
    if keys != expected:
        raise FileProblem(f"top_keys: the schema's top-level dimensions {expected!r:.200}, got {keys!r:.200}")
    return tuple(expected)


# ------------------------------------------------------ arrays and tables --


def _arrays(
    archive: Archive, method: str, setting: Setting, top_level: int, units: int, runs: int, in_file: tuple[str, ...]
) -> dict[str, np.ndarray]:
    """The arrays of the file, each of the shape and dtype the document implies.

    The level codes of the factors the file does not know (``in_file`` lacks
    them) are those of their one nominal level, 0.
    """
    weights = 0 if method == "bootstrap" else top_level
    expected: dict[str, tuple[tuple[int, ...], Any]] = {
        "codes": ((runs, len(in_file)), np.int64),
        "multipliers": ((runs, weights), np.float64),
        "rank_shift": ((runs,), np.float64),
        "ranks": ((units, len(RANK_COLUMNS)), np.float64),
        "nominal_ranks": ((units,), np.float64),
    }
    arrays = {name: archive.array(f"{name}.npy", shape, dtype) for name, (shape, dtype) in expected.items()}
    if len(in_file) < len(DISCRETE):  # the factors a file knows are the first columns: they join at the end
        arrays["codes"] = np.pad(arrays["codes"], ((0, 0), (0, len(DISCRETE) - len(in_file))))
    _check_codes(arrays["codes"], setting)
    _check_multipliers(arrays["multipliers"], setting.noise)
    return arrays


def _run_ranks(archive: Archive, runs: int, units: int, spill_dir: str | os.PathLike[str] | None) -> SpillFile | None:
    """Every run's ranks, copied a block of runs at a time into a spill file (None: saved without them)."""
    if not archive.has("run_ranks.npy"):  # save(run_ranks=False) leaves them out
        return None
    spill = SpillFile(default_spill_dir() if spill_dir is None else spill_dir, runs, units, rank_dtype(units))
    try:
        run = 0
        for block in archive.array_rows("run_ranks.npy", (runs, units), spill.dtype, SPILL_BLOCK_BYTES):
            for row in block:
                spill.write(run, row)
                run += 1
    except BaseException:
        spill.close()
        raise
    return spill


def _run_count(method: str, n: int, setting: Setting) -> int:
    # Saltelli's design without second-order terms: n points A, n points B
    # and n points per factor (the weights count as one).
    return n * (len(setting.varied) + 2) if method == "sobol" else n


def _check_codes(codes: np.ndarray, setting: Setting) -> None:
    for position, name in enumerate(DISCRETE):
        column = codes[:, position]
        if len(column) and not (column.min() >= 0 and column.max() < len(setting.levels[name])):
            raise FileProblem(
                f"codes.npy: the level codes of {name!r} run from 0 to {len(setting.levels[name]) - 1}, "
                f"got {column.min()} to {column.max()}"
            )


def _check_multipliers(multipliers: np.ndarray, noise: float | None) -> None:
    width = 0.0 if noise is None else noise
    if not np.all((multipliers >= 1 - width) & (multipliers <= 1 + width)):
        raise FileProblem(f"multipliers.npy: weight multipliers lie in [1 - w, 1 + w] for the noise w = {width}")


def _table(body: Any, where: str, columns: tuple[str, ...], factors: list[str]) -> pd.DataFrame:
    if not isinstance(body, dict) or set(body) != _TABLE_KEYS:
        raise FileProblem(f"{where}: an object of index, columns and data, got {describe(body)}")
    if body["columns"] != list(columns) or body["index"] != factors:
        raise FileProblem(
            f"{where}: the columns {list(columns)} and the factors {factors}, got {body['columns']!r:.200} and "
            f"{body['index']!r:.200}"
        )
    rows = body["data"]
    if not (
        isinstance(rows, list)
        and len(rows) == len(factors)
        and all(isinstance(row, list) and len(row) == len(columns) for row in rows)
        and all(value is None or (is_real(value) and not isinstance(value, bool)) for row in rows for value in row)
    ):
        raise FileProblem(f"{where}: data holds one row of {len(columns)} numbers or nulls per factor")
    values = np.array([[np.nan if v is None else v for v in row] for row in rows], dtype=np.float64)
    return pd.DataFrame(
        values.reshape(len(factors), len(columns)), index=pd.Index(factors, name="factor"), columns=list(columns)
    )
