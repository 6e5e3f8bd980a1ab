"""A fitted model as a JSON document, and back.

The document is plain, strict JSON (no ``NaN`` or ``Infinity`` literals) that
a person can read and review. Values that JSON cannot hold as they are get a
one-key tag object whose key starts with ``$``:

========================================  =====================================
Python value                              JSON
========================================  =====================================
``None``, ``bool``, ``str``, ``int``      as they are
finite ``float``                          a number
``nan``, ``inf``, ``-inf``                ``{"$float": "nan"}`` (or ``"inf"``,
                                          ``"-inf"``)
``list``                                  an array
``tuple``                                 ``{"$tuple": [...]}``
``dict`` with ``str`` keys, none of       an object
them starting with ``$``
any other ``dict``                        ``{"$dict": [[key, value], ...]}``
numpy scalar (``np.float64(0.5)``, ...)   ``{"$numpy": "float64", "value": 0.5}``
========================================  =====================================

Mappings keep their order; dict subclasses and tuple subclasses come back as
plain dicts and tuples.
"""

from __future__ import annotations

import json
import math
import os
from collections.abc import Hashable
from typing import IO, Any, cast

import numpy as np

import indexfuse
from indexfuse_tools._tables import RECORD_KEYS, is_coefficient_table
from tessel._validate import describe

__all__ = [
    "FORMAT",
    "VERSION",
    "ModelFileError",
    "to_dict",
    "from_dict",
    "dumps",
    "loads",
    "dump",
    "load",
]

#: Value of the document's ``"format"`` field.
FORMAT = "indexfuse-model"
#: Version of the document layout written by this release.
VERSION = 1

_FIELDS = (
    "format",
    "version",
    "schema",
    "scale_method",
    "pca_cumulative",
    "k",
    "min_ent",
    "index_coef",
    "dim_weight",
    "abnormal_index",
)
_NUMPY_TYPES = {
    "bool": np.bool_,
    "int8": np.int8,
    "int16": np.int16,
    "int32": np.int32,
    "int64": np.int64,
    "uint8": np.uint8,
    "uint16": np.uint16,
    "uint32": np.uint32,
    "uint64": np.uint64,
    "float16": np.float16,
    "float32": np.float32,
    "float64": np.float64,
}
_NON_FINITE = {"nan": math.nan, "inf": math.inf, "-inf": -math.inf}
# Far deeper than any model document (a dimension level adds four), and
# shallow enough for the checks below to recurse over.
_MAX_DEPTH = 100


class ModelFileError(ValueError):
    """A model document that cannot be loaded.

    The message names the place in the document (for example
    ``index_coef['safety'][('murder', -1)]``) and what is wrong there.
    """


# ---------------------------------------------------------------- saving --


def _place(where: str, key: Any) -> str:
    return f"{where}[{key!r}]"


def _encode(value: Any, where: str) -> Any:
    if value is None or type(value) in (bool, str):
        return value
    if isinstance(value, np.generic):
        name = value.dtype.name
        if name not in _NUMPY_TYPES:
            raise TypeError(f"{where}: cannot store a numpy {name} value ({value!r})")
        return {"$numpy": name, "value": _encode(value.item(), where)}
    if type(value) is int:
        return value
    if type(value) is float:
        if math.isfinite(value):
            return value
        return {"$float": "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")}
    if isinstance(value, str):
        return str(value)
    if isinstance(value, tuple):
        return {"$tuple": [_encode(item, f"{where}[{i}]") for i, item in enumerate(value)]}
    if isinstance(value, list):
        return [_encode(item, f"{where}[{i}]") for i, item in enumerate(value)]
    if isinstance(value, dict):
        if all(isinstance(k, str) and type(k) is str and not k.startswith("$") for k in value):
            return {k: _encode(v, _place(where, k)) for k, v in value.items()}
        return {
            "$dict": [
                [_encode(k, f"{where} key {k!r}"), _encode(v, _place(where, k))]
                for k, v in value.items()
            ]
        }
    raise TypeError(
        f"{where}: cannot store a value of type {type(value).__qualname__} ({describe(value)}); "
        "stored models hold None, bool, int, float, str, numpy scalars, and lists, "
        "tuples and dicts of these"
    )


def to_dict(model: indexfuse.indexpca_diment, pca_cumulative: float | None = None) -> dict[str, Any]:
    """The fitted state of ``model`` as a JSON-ready dict.

    Parameters
    ----------
    model : indexfuse.indexpca_diment
        A fitted model.
    pca_cumulative : float, optional
        The ``pca_cumulative`` the model was built with. The model does not
        keep it itself; by default it is read from ``model.pca.cumulative``.

    Returns
    -------
    dict
        The fields ``format``, ``version``, ``schema``, ``scale_method``,
        ``pca_cumulative``, ``k``, ``min_ent``, ``index_coef``,
        ``dim_weight`` and ``abnormal_index``, encoded as the module
        docstring describes; ``json.dumps`` accepts it as it is.

    Raises
    ------
    ValueError
        If the model is not fitted, or ``pca_cumulative`` is not given and
        ``model.pca`` has no ``cumulative``.
    TypeError
        If a stored value is of a type that the document cannot hold (the
        message says where).
    """
    missing = [name for name in ("min_ent", "index_coef", "dim_weight") if not hasattr(model, name)]
    if missing:
        raise ValueError(
            f"the model is not fitted (it has no {', '.join(missing)}): call fit(data) first"
        )
    if pca_cumulative is None:
        pca_cumulative = getattr(getattr(model, "pca", None), "cumulative", None)
        if pca_cumulative is None:
            raise ValueError(
                "cannot tell the model's pca_cumulative: model.pca has no 'cumulative'; "
                "pass pca_cumulative=... explicitly"
            )
    fields = {
        "schema": model.schema,
        "scale_method": model.scale_method,
        "pca_cumulative": pca_cumulative,
        "k": model.k,
        "min_ent": model.min_ent,
        "index_coef": model.index_coef,
        "dim_weight": model.dim_weight,
        "abnormal_index": list(model.abnormal_index),
    }
    document: dict[str, Any] = {"format": FORMAT, "version": VERSION}
    for name, value in fields.items():
        document[name] = _encode(value, name)
    return document


def _pretty(value: Any, indent: int, depth: int) -> str:
    """JSON text with one member per line, and short containers kept on one line."""
    flat = json.dumps(value, allow_nan=False, ensure_ascii=False)
    if not isinstance(value, (dict, list)) or len(flat) + indent * depth <= 88:
        return flat
    pad, inner = " " * (indent * depth), " " * (indent * (depth + 1))
    if isinstance(value, list):
        items = [inner + _pretty(item, indent, depth + 1) for item in value]
        return "[\n" + ",\n".join(items) + "\n" + pad + "]"
    members = [
        f"{inner}{json.dumps(key, ensure_ascii=False)}: {_pretty(item, indent, depth + 1)}"
        for key, item in value.items()
    ]
    return "{\n" + ",\n".join(members) + "\n" + pad + "}"


def dumps(
    model: indexfuse.indexpca_diment, *, indent: int | None = 2, pca_cumulative: float | None = None
) -> str:
    """The fitted state of ``model`` as JSON text (see :func:`to_dict`).

    With an ``indent`` (the default), every mapping member gets its own line
    and containers short enough stay on one line; ``indent=None`` gives the
    most compact text.
    """
    document = to_dict(model, pca_cumulative)
    if indent is None:
        return json.dumps(document, allow_nan=False, ensure_ascii=False, separators=(",", ":"))
    return _pretty(document, indent, 0)


def dump(
    model: indexfuse.indexpca_diment,
    file: str | os.PathLike[str] | IO[str],
    *,
    indent: int | None = 2,
    pca_cumulative: float | None = None,
) -> None:
    """Write the fitted state of ``model`` as JSON to a path or a text file object."""
    text = dumps(model, indent=indent, pca_cumulative=pca_cumulative) + "\n"
    if isinstance(file, (str, os.PathLike)):
        with open(file, "w", encoding="utf-8") as handle:
            handle.write(text)
    else:
        file.write(text)


# --------------------------------------------------------------- loading --


def _fail(where: str, message: str) -> ModelFileError:
    return ModelFileError(f"{where}: {message}")


def _decode(value: Any, where: str) -> Any:
    if value is None or isinstance(value, (bool, str, int, float)):
        return value
    if isinstance(value, list):
        return [_decode(item, f"{where}[{i}]") for i, item in enumerate(value)]
    if not isinstance(value, dict):  # pragma: no cover - json never yields anything else
        raise _fail(where, f"unexpected value {value!r}")
    tags = [k for k in value if k.startswith("$")]
    if not tags:
        return {k: _decode(v, _place(where, k)) for k, v in value.items()}
    tag = tags[0]
    if tag not in ("$tuple", "$float", "$dict", "$numpy"):
        raise _fail(where, f'unknown tag {tag!r} (known: "$tuple", "$float", "$dict", "$numpy")')
    expected = {"$numpy": {"$numpy", "value"}}.get(tag, {tag})
    if set(value) != expected:
        raise _fail(
            where,
            f"a tagged value must hold exactly the keys {sorted(expected)}, got {sorted(value)}",
        )
    body = value[tag]
    if tag == "$tuple":
        if not isinstance(body, list):
            raise _fail(where, f'"$tuple" must hold an array, got {describe(body)}')
        return tuple(_decode(item, f"{where}[{i}]") for i, item in enumerate(body))
    if tag == "$float":
        if not isinstance(body, str) or body not in _NON_FINITE:
            raise _fail(where, f'"$float" must be "nan", "inf" or "-inf", got {describe(body)}')
        return _NON_FINITE[body]
    if tag == "$numpy":
        return _decode_numpy(body, value["value"], where)
    return _decode_pairs(body, where)


def _decode_numpy(name: Any, raw: Any, where: str) -> Any:
    if not isinstance(name, str) or name not in _NUMPY_TYPES:
        raise _fail(
            where, f'"$numpy" must name one of {", ".join(_NUMPY_TYPES)}, got {describe(name)}'
        )
    item = _decode(raw, where)
    kind = np.dtype(name).kind
    fits = {
        "b": isinstance(item, bool),
        "i": type(item) is int,
        "u": type(item) is int and item >= 0,
        "f": type(item) in (int, float),
    }[kind]
    if not fits:
        raise _fail(where, f"{describe(raw)} is not a valid {name} value")
    if kind in "iu":
        info = np.iinfo(name)
        if not info.min <= item <= info.max:
            raise _fail(where, f"{item} does not fit in {name}")
    if kind != "f":
        return _NUMPY_TYPES[name](item)
    try:
        with np.errstate(over="ignore"):
            converted = _NUMPY_TYPES[name](item)
    except OverflowError:  # an int too large for any float
        converted = None
    # A finite number must stay finite (np.float16(1e5) would be inf).
    if converted is None or (_finite(item) and not np.isfinite(converted)):
        raise _fail(where, f"{describe(raw)} does not fit in {name}")
    return converted


def _decode_pairs(body: Any, where: str) -> dict[Any, Any]:
    if not isinstance(body, list):
        raise _fail(where, f'"$dict" must hold an array of [key, value] pairs, got {describe(body)}')
    result: dict[Any, Any] = {}
    for i, pair in enumerate(body):
        if not (isinstance(pair, list) and len(pair) == 2):
            raise _fail(f"{where} item {i}", f"expected a [key, value] pair, got {describe(pair)}")
        key = _decode(pair[0], f"{where} item {i} key")
        if not isinstance(key, Hashable) or not _hashable(key):
            raise _fail(f"{where} item {i} key", f"{key!r} cannot be a mapping key")
        if key in result:
            raise _fail(where, f"key {key!r} occurs twice")
        result[key] = _decode(pair[1], _place(where, key))
    return result


def _hashable(value: Any) -> bool:
    try:
        hash(value)
    except TypeError:
        return False
    return True


def _no_duplicates(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    result: dict[str, Any] = {}
    for key, value in pairs:
        if key in result:
            raise ModelFileError(f"the JSON object holding {key!r} has that key twice")
        result[key] = value
    return result


def _no_constant(name: str) -> Any:
    spelled = {"NaN": "nan", "Infinity": "inf", "-Infinity": "-inf"}[name]
    raise ModelFileError(
        f"bare {name} is not allowed in a model document (it is not strict JSON); "
        f'write {{"$float": "{spelled}"}} instead'
    )


def _is_real(value: Any) -> bool:
    return isinstance(value, (int, float, np.integer, np.floating)) and not isinstance(
        value, (bool, np.bool_)
    )


def _finite(value: Any) -> bool:
    """A real number that a float holds finitely (an int too large for one is not)."""
    try:
        return _is_real(value) and math.isfinite(value)
    except OverflowError:
        return False


def _check_depth(document: Any) -> None:
    stack = [(document, 1)]
    while stack:
        node, depth = stack.pop()
        if depth > _MAX_DEPTH:
            raise ModelFileError(f"the document is nested deeper than {_MAX_DEPTH} levels")
        children = node.values() if isinstance(node, dict) else node if isinstance(node, list) else ()
        stack.extend((child, depth + 1) for child in children)


def _check_direction(key: Any, where: str) -> None:
    # The model reads element 1 of every pair key as a multiplier.
    if isinstance(key, tuple) and len(key) == 2:
        direction = key[1]
        if not (isinstance(direction, (bool, np.bool_)) or _finite(direction)):
            raise _fail(where, f"the direction of a key must be a finite number, got {describe(direction)}")


def _check_index_key(key: Any, where: str) -> None:
    if isinstance(key, tuple) and len(key) == 0:
        raise _fail(where, "an index key cannot be an empty tuple")
    _check_direction(key, where)


def _check_record(record: dict[str, Any], where: str) -> None:
    """Numbers that a fit can produce: finite, a std of at least 0, min not above max."""
    for name, number in record.items():
        if not _is_real(number):
            raise _fail(_place(where, name), f"expected a number, got {describe(number)}")
        if not _finite(number):
            raise _fail(_place(where, name), f"expected a finite number, got {describe(number)}")
    # As floats: a float16 compared with a Python float would be cast to it.
    if float(record["std"]) < 0:
        raise _fail(_place(where, "std"), f"a standard deviation cannot be negative, got {describe(record['std'])}")
    if float(record["min"]) > float(record["max"]):
        raise _fail(where, f"min {describe(record['min'])} is above max {describe(record['max'])}")


def _check_table(table: dict[Any, Any], where: str) -> None:
    for key, record in table.items():
        place = _place(where, key)
        _check_index_key(key, place)
        if not isinstance(record, dict) or set(record) != set(RECORD_KEYS):
            shown = list(record) if isinstance(record, dict) else record
            raise _fail(
                place,
                f"a coefficient record must hold exactly the keys {', '.join(RECORD_KEYS)}, "
                f"got {describe(shown)}",
            )
        _check_record(record, place)


def _check_coef(node: Any, where: str) -> None:
    if node is None:
        return
    if not isinstance(node, dict):
        raise _fail(where, f"expected a coefficient table, a mapping of dimensions or null, got {describe(node)}")
    if is_coefficient_table(node):
        _check_table(node, where)
        return
    for key, child in node.items():
        _check_direction(key, _place(where, key))
        _check_coef(child, _place(where, key))


def _check_weights(weight: Any, coef: Any, where: str, coef_where: str) -> None:
    if weight is None:
        return
    if _is_real(weight):
        if not _finite(weight):
            raise _fail(where, f"a weight must be a finite number, got {describe(weight)}")
        if not is_coefficient_table(coef):
            raise _fail(where, f"a number weight needs a coefficient table at {coef_where}")
        return
    if not isinstance(weight, dict):
        raise _fail(where, f"expected a number, a mapping of weights or null, got {describe(weight)}")
    if not isinstance(coef, dict) or is_coefficient_table(coef):
        raise _fail(where, f"a mapping of weights needs a mapping of dimensions at {coef_where}")
    if set(weight) != set(coef):
        raise _fail(
            where,
            f"the weights' dimensions {describe(list(weight))} differ from those of "
            f"{coef_where}, {describe(list(coef))}",
        )
    for key, child in weight.items():
        _check_weights(child, coef[key], _place(where, key), _place(coef_where, key))


def _entry_key(entry: Any) -> Any:
    return tuple(entry) if isinstance(entry, (list, tuple)) else entry


def _typed(value: Any) -> Any:
    """A key with the types of its parts: a fit stores the schema's own
    entries, so the key 1 does not stand for the entry True or 1.0."""
    if isinstance(value, tuple):
        return (tuple, tuple(_typed(item) for item in value))
    return (type(value), value)


def _check_schema(schema: Any, coef: Any, where: str, coef_where: str) -> None:
    if isinstance(schema, dict):
        if not isinstance(coef, dict) or is_coefficient_table(coef) or set(coef) != set(schema):
            raise _fail(
                coef_where,
                f"does not follow the schema at {where}: expected the dimensions "
                f"{describe(list(schema))}",
            )
        for key, child in schema.items():
            _check_schema(child, coef[key], _place(where, key), _place(coef_where, key))
    elif isinstance(schema, (list, tuple)):
        for i, entry in enumerate(schema):
            if isinstance(entry, (list, tuple)) and len(entry) == 0:
                raise _fail(f"{where}[{i}]", "an index entry cannot be empty")
            if not _hashable(_entry_key(entry)):
                raise _fail(f"{where}[{i}]", f"{describe(entry)} cannot name a column")
        if coef is None:
            return
        if not is_coefficient_table(coef):
            raise _fail(coef_where, f"expected a coefficient table for the schema leaf {where}")
        known = {_typed(_entry_key(entry)) for entry in schema}
        for key in coef:
            if _typed(key) not in known:
                raise _fail(
                    _place(coef_where, key), f"is not an index entry of the schema leaf {where}"
                )
    elif coef is not None:
        raise _fail(coef_where, f"must be null: {where} is neither a mapping nor a list")


def from_dict(document: Any) -> indexfuse.indexpca_diment:
    """Rebuild a fitted model from a dict made by :func:`to_dict` (or parsed JSON).

    The model is constructed as ``indexpca_diment(schema,
    scale_method=scale_method, pca_cumulative=pca_cumulative, ent_k=k)`` and
    then given ``min_ent``, ``index_coef``, ``dim_weight`` and the
    ``abnormal_index`` entries. It scores exactly like the model that was
    saved. Its ``pca`` is a new, unfitted ``PCA`` (scoring does not use it);
    calling ``fit`` again works as on any model.

    Raises
    ------
    ModelFileError
        A ``ValueError`` whose message names the place and the problem, for a
        document that is not a model document of a known version, lacks or
        adds fields, holds malformed tagged values, coefficient records or
        weights, or whose parts do not fit together.
    """
    if not isinstance(document, dict):
        raise ModelFileError(
            f"a model document must be a JSON object, got {type(document).__name__}"
        )
    if document.get("format") != FORMAT:
        raise _fail("format", f"expected {FORMAT!r}, got {describe(document.get('format'))}: not a model document")
    version = document.get("version")
    if type(version) is not int or version != VERSION:
        raise _fail(
            "version", f"this release reads version {VERSION} documents, got {describe(version)}"
        )
    missing = [name for name in _FIELDS if name not in document]
    if missing:
        raise ModelFileError(f"missing field(s): {', '.join(missing)}")
    extra = [name for name in document if name not in _FIELDS]
    if extra:
        raise ModelFileError(f"unknown field(s): {', '.join(map(repr, extra))}")
    _check_depth(document)
    value = {name: _decode(document[name], name) for name in _FIELDS[2:]}

    schema = value["schema"]
    if not isinstance(schema, (dict, list, tuple)):
        raise _fail("schema", f"expected a mapping of dimensions or a list of indices, got {describe(schema)}")
    if not isinstance(value["scale_method"], str):
        raise _fail("scale_method", f"expected a string, got {describe(value['scale_method'])}")
    cumulative = value["pca_cumulative"]
    if not _finite(cumulative) or not 0 < float(cumulative) <= 1:
        raise _fail("pca_cumulative", f"expected a number in (0, 1], got {describe(cumulative)}")
    k = value["k"]
    if not isinstance(k, (int, np.integer)) or isinstance(k, (bool, np.bool_)):
        raise _fail("k", f"expected an integer, got {describe(k)}")
    if not _is_real(value["min_ent"]):
        raise _fail("min_ent", f"expected a number, got {describe(value['min_ent'])}")

    index_coef = value["index_coef"]
    if not isinstance(index_coef, dict):
        raise _fail("index_coef", f"expected a mapping, got {describe(index_coef)}")
    _check_coef(index_coef, "index_coef")
    _check_schema(schema, index_coef, "schema", "index_coef")
    _check_weights(value["dim_weight"], index_coef, "dim_weight", "index_coef")

    abnormal = value["abnormal_index"]
    if not isinstance(abnormal, list):
        raise _fail("abnormal_index", f"expected an array, got {describe(abnormal)}")
    for i, entry in enumerate(abnormal):
        if not (isinstance(entry, dict) and len(entry) == 1 and _is_real(next(iter(entry.values())))):
            raise _fail(
                f"abnormal_index[{i}]",
                f"expected a one-entry mapping of an index key to its coefficient, got {describe(entry)}",
            )

    try:
        model = indexfuse.indexpca_diment(
            schema,
            scale_method=value["scale_method"],
            pca_cumulative=float(cumulative),
            ent_k=cast(int, k),  # a numpy integer stays one
        )
    except (TypeError, ValueError) as exc:
        raise ModelFileError(f"cannot rebuild the model: {exc}") from exc
    model.min_ent = value["min_ent"]
    model.index_coef = index_coef
    model.dim_weight = value["dim_weight"]
    model.abnormal_index.extend(abnormal)
    return model


def _parse_float(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise ModelFileError(
            f"the number {describe(text)} is too large for a float; an infinity is written "
            '{"$float": "inf"}'
        )
    return value


def _parse_int(text: str) -> int:
    try:
        return int(text)
    except ValueError:  # more digits than Python converts
        raise ModelFileError(f"an integer of {len(text)} digits is too long") from None


def _parse(text: str) -> Any:
    try:
        return json.loads(
            text,
            object_pairs_hook=_no_duplicates,
            parse_constant=_no_constant,
            parse_float=_parse_float,
            parse_int=_parse_int,
        )
    except json.JSONDecodeError as exc:
        raise ModelFileError(f"not valid JSON: {exc}") from None
    except RecursionError:
        raise ModelFileError("not valid JSON: nested too deeply") from None


def loads(text: str | bytes) -> indexfuse.indexpca_diment:
    """Rebuild a fitted model from JSON text (see :func:`from_dict`).

    Raises :class:`ModelFileError` for text that is not JSON, for ``NaN`` or
    ``Infinity`` literals, for duplicate keys in an object, and for anything
    :func:`from_dict` rejects.
    """
    if isinstance(text, bytes):
        try:
            text = text.decode("utf-8")
        except UnicodeDecodeError as exc:
            raise ModelFileError(f"not UTF-8 text: {exc}") from None
    return from_dict(_parse(text))


def load(file: str | os.PathLike[str] | IO[str]) -> indexfuse.indexpca_diment:
    """Rebuild a fitted model from a JSON file, given as a path or a text file object."""
    if isinstance(file, (str, os.PathLike)):
        with open(file, encoding="utf-8") as handle:
            return loads(handle.read())
    return loads(file.read())

