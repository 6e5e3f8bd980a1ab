"""A fitted model as a JSON document, and back.

The document is plain, strict JSON (no ``NaN`` or ``Infinity`` literals) that
a person can read and review; values that JSON cannot hold as they are get a
one-key tag object whose key starts with ``$``, as
:mod:`indexfuse_tools._core.codec` describes (a tuple is ``{"$tuple": [...]}``,
a NaN ``{"$float": "nan"}``, a numpy scalar ``{"$numpy": "float64", "value":
0.5}``).
"""

from __future__ import annotations

import json
import os
from typing import IO, Any, cast

import numpy as np

import indexfuse
from indexfuse_tools._core import (
    MODEL_FORMAT,
    RECORD_KEYS,
    ModelFileError,
    Node,
    Spot,
    Where,
    at,
    atomic_path,
    check_hash_spread,
    check_size,
    decode,
    describe,
    dimension_nodes,
    encode,
    fail,
    is_coefficient_table,
    is_finite,
    is_hashable,
    is_integer,
    is_real,
    nodes,
    parse,
    where_of,
)
from indexfuse_tools._preparation import Preparation

__all__ = [
    "MODEL_FORMAT",
    "MODEL_VERSION",
    "ModelFileError",
    "to_dict",
    "from_dict",
    "dumps",
    "loads",
    "dump",
    "load",
]

#: Version of the model document layout written by this release.
MODEL_VERSION = 1

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
# Far deeper than any model document (a dimension level adds four), and
# shallow enough for the checks below to recurse over.
_MAX_DEPTH = 100
# A model of n indicators is about 16 n JSON values and 8 n object keys (a
# schema entry, a [key, record] pair, a record of five numbers, their tags).
# Composite indices have tens to hundreds of indicators; these caps allow
# over 100,000, and refuse a document built only to make loading slow.
_MAX_NODES = 2_000_000
_MAX_KEYS = 1_000_000
# A fit keeps k below the number of rows, and the entropy estimate takes
# it as a 64-bit integer.
_MAX_K = 2**63 - 1


# ---------------------------------------------------------------- saving --


def to_dict(
    model: indexfuse.indexpca_diment,
    *,
    pca_cumulative: float | None = None,
    preparation: Preparation | None = None,
) -> dict[str, Any]:
    """The fitted state of ``model`` as a JSON-ready dict.

    Parameters
    ----------
    model : indexfuse.indexpca_diment
        A fitted model.
    pca_cumulative : float, optional
        The ``pca_cumulative`` the model was built with. The model does not
        keep it itself; by default it is read from ``model.pca.cumulative``.
    preparation : Preparation, optional
        The treatment the model was fitted after, kept in the field
        ``preparation`` so that raw data can be scored through it
        (:meth:`Preparation.load` reads it back; :func:`from_dict` leaves
        it aside).

    Returns
    -------
    dict
        The fields ``format``, ``version``, ``schema``, ``scale_method``,
        ``pca_cumulative``, ``k``, ``min_ent``, ``index_coef``,
        ``dim_weight`` and ``abnormal_index`` (and ``preparation`` when
        given), encoded as the module docstring describes; ``json.dumps``
        accepts it as it is.

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
    document: dict[str, Any] = {"format": MODEL_FORMAT, "version": MODEL_VERSION}
    for name, value in fields.items():
        document[name] = encode(value, name)
    if preparation is not None:
        if not isinstance(preparation, Preparation):
            raise TypeError(f"preparation must be a Preparation (from prepare), got {type(preparation).__name__}")
        document["preparation"] = preparation.to_dict()
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
    model: indexfuse.indexpca_diment,
    *,
    indent: int | None = 2,
    pca_cumulative: float | None = None,
    preparation: Preparation | None = None,
) -> str:
    """The fitted state of ``model`` as JSON text (see :func:`to_dict`).

    With an ``indent`` (the default), every mapping member gets its own line
    and containers short enough stay on one line; ``indent=None`` gives the
    most compact text.
    """
    document = to_dict(model, pca_cumulative=pca_cumulative, preparation=preparation)
    if indent is None:
        return json.dumps(document, allow_nan=False, ensure_ascii=False, separators=(",", ":"))
    return _pretty(document, indent, 0)


def dump(
    model: indexfuse.indexpca_diment,
    file: str | os.PathLike[str] | IO[str],
    *,
    indent: int | None = 2,
    pca_cumulative: float | None = None,
    preparation: Preparation | None = None,
) -> None:
    """Write the fitted state of ``model`` as JSON to a path or a text file object.

    With ``preparation``, the file carries the treatment the model was fitted
    after (see :func:`to_dict`). A path is written whole or not at all: the
    text goes to a new file beside it, which then replaces it, so a failed
    write leaves the previous model file as it was.
    """
    text = dumps(model, indent=indent, pca_cumulative=pca_cumulative, preparation=preparation) + "\n"
    if isinstance(file, (str, os.PathLike)):
        with atomic_path(file) as temporary:
            temporary.write_text(text, encoding="utf-8")
    else:
        file.write(text)


# --------------------------------------------------------------- loading --


def _check_size(document: Any) -> None:
    """Refuse a document nested too deep or holding far more than any model."""
    check_size(
        document,
        depth=_MAX_DEPTH,
        values=_MAX_NODES,
        keys=_MAX_KEYS,
        beyond="far more than a model of 100,000 indicators: it is not a model file",
    )


# The checks below take the place of a value as a Spot, and spell it out
# only in the message of a refusal.


def _check_direction(key: Any, where: Where) -> None:
    # The model reads element 1 of every pair key as a multiplier.
    if isinstance(key, tuple) and len(key) == 2:
        direction = key[1]
        if not (isinstance(direction, (bool, np.bool_)) or is_finite(direction)):
            raise fail(where, f"the direction of a key must be a finite number, got {describe(direction)}")


def _check_index_key(key: Any, where: Where) -> None:
    if isinstance(key, tuple) and len(key) == 0:
        raise fail(where, "an index key cannot be an empty tuple")
    _check_direction(key, where)


def _check_record(record: dict[str, Any], where: Where) -> None:
    """Numbers that a fit can produce: finite, a std of at least 0, min not above max."""
    for name, number in record.items():
        if not is_real(number):
            raise fail(Spot(where, name), f"expected a number, got {describe(number)}")
        if not is_finite(number):
            raise fail(Spot(where, name), f"expected a finite number, got {describe(number)}")
    # As floats: a float16 compared with a Python float would be cast to it.
    if float(record["std"]) < 0:
        raise fail(Spot(where, "std"), f"a standard deviation cannot be negative, got {describe(record['std'])}")
    if float(record["min"]) > float(record["max"]):
        raise fail(where, f"min {describe(record['min'])} is above max {describe(record['max'])}")


def _check_table(table: dict[Any, Any], where: Where) -> None:
    for key, record in table.items():
        spot = Spot(where, key)
        _check_index_key(key, spot)
        if not isinstance(record, dict) or set(record) != set(RECORD_KEYS):
            shown = list(record) if isinstance(record, dict) else record
            raise fail(
                spot,
                f"a coefficient record must hold exactly the keys {', '.join(RECORD_KEYS)}, "
                f"got {describe(shown)}",
            )
        _check_record(record, spot)


def _check_coef(tree: Any, where: str) -> None:
    for node in dimension_nodes(tree, where):
        if node.path:
            _check_direction(node.path[-1], node.spot)
        if node.value is None:
            continue
        if not isinstance(node.value, dict):
            raise fail(
                node.spot,
                f"expected a coefficient table, a mapping of dimensions or null, got {describe(node.value)}",
            )
        if is_coefficient_table(node.value):
            _check_table(node.value, node.spot)


def _check_weights(tree: Any, coef_tree: Any, where: str, coef_root: str) -> None:
    for node in nodes(tree, where):
        weight, coef = node.value, at(coef_tree, node.path)
        if weight is None:
            continue
        if is_real(weight):
            if not is_finite(weight):
                raise fail(node.spot, f"a weight must be a finite number, got {describe(weight)}")
            if not is_coefficient_table(coef):
                raise fail(
                    node.spot,
                    f"a number weight needs a coefficient table at {where_of(coef_root, node.path)}",
                )
            continue
        _check_weight_mapping(node, coef, coef_root)


def _check_weight_mapping(node: Node, coef: Any, coef_root: str) -> None:
    weight = node.value
    if not isinstance(weight, dict):
        raise fail(node.spot, f"expected a number, a mapping of weights or null, got {describe(weight)}")
    if not isinstance(coef, dict) or is_coefficient_table(coef):
        raise fail(
            node.spot,
            f"a mapping of weights needs a mapping of dimensions at {where_of(coef_root, node.path)}",
        )
    if set(weight) != set(coef):
        raise fail(
            node.spot,
            f"the weights' dimensions {describe(list(weight))} differ from those of "
            f"{where_of(coef_root, node.path)}, {describe(list(coef))}",
        )


def _entry_key(entry: Any) -> Any:
    return tuple(entry) if isinstance(entry, (list, tuple)) else entry


def _typed(value: Any) -> Any:
    """A key with the types of its parts: a fit stores the schema's own
    entries, so the key 1 does not stand for the entry True or 1.0."""
    if isinstance(value, tuple):
        return (tuple, tuple(_typed(item) for item in value))
    return (type(value), value)


def _check_schema(schema: Any, coef_tree: Any, where: str, coef_root: str) -> None:
    for node in nodes(schema, where):
        coef = at(coef_tree, node.path)
        if isinstance(node.value, dict):
            if not isinstance(coef, dict) or is_coefficient_table(coef) or set(coef) != set(node.value):
                raise fail(
                    where_of(coef_root, node.path),
                    f"does not follow the schema at {node.place}: expected the dimensions "
                    f"{describe(list(node.value))}",
                )
        elif isinstance(node.value, (list, tuple)):
            _check_leaf(node.value, coef, node.spot, _spot_of(coef_root, node.path))
        elif coef is not None:
            raise fail(
                where_of(coef_root, node.path),
                f"must be null: {node.place} is neither a mapping nor a list",
            )


def _spot_of(root: str, path: tuple[Any, ...]) -> Where:
    spot: Where = root
    for key in path:
        spot = Spot(spot, key)
    return spot


def _check_leaf(leaf: list[Any] | tuple[Any, ...], coef: Any, where: Where, coef_where: Where) -> None:
    for i, entry in enumerate(leaf):
        if isinstance(entry, (list, tuple)) and len(entry) == 0:
            raise fail(Spot(where, i), "an index entry cannot be empty")
        if not is_hashable(_entry_key(entry)):
            raise fail(Spot(where, i), f"{describe(entry)} cannot name a column")
    typed = [_typed(_entry_key(entry)) for entry in leaf]
    check_hash_spread(typed, where)
    if coef is None:
        return
    if not is_coefficient_table(coef):
        raise fail(coef_where, f"expected a coefficient table for the schema leaf {where}")
    known = set(typed)
    for key in coef:
        if _typed(key) not in known:
            raise fail(Spot(coef_where, key), f"is not an index entry of the schema leaf {where}")


def _check_k(k: Any) -> None:
    if not is_integer(k):
        raise fail("k", f"expected an integer, got {describe(k)}")
    if not 1 <= int(k) <= _MAX_K:
        raise fail(
            "k",
            f"expected a neighbour count from 1 to 2**63 - 1 (a fit keeps it below the number "
            f"of rows), got {describe(k)}",
        )


def _check_min_ent(min_ent: Any) -> None:
    if not is_real(min_ent):
        raise fail("min_ent", f"expected a number, got {describe(min_ent)}")
    if not is_finite(min_ent):
        raise fail("min_ent", f"expected a finite number (a fit's baseline entropy), got {describe(min_ent)}")


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
        weights or a ``k`` or ``min_ent`` that no fit produces, is far larger
        than any model (in values, keys, depth, or keys sharing a hash
        value), or whose parts do not fit together.

    Notes
    -----
    The time and memory of loading grow in proportion to the document: the
    place named in a message is spelled out only when the message is made.
    """
    if not isinstance(document, dict):
        raise ModelFileError(
            f"a model document must be a JSON object, got {type(document).__name__}"
        )
    if document.get("format") != MODEL_FORMAT:
        raise fail("format", f"expected {MODEL_FORMAT!r}, got {describe(document.get('format'))}: not a model document")
    version = document.get("version")
    if type(version) is not int or version != MODEL_VERSION:
        raise fail(
            "version", f"this release reads version {MODEL_VERSION} documents, got {describe(version)}"
        )
    missing = [name for name in _FIELDS if name not in document]
    if missing:
        raise ModelFileError(f"missing field(s): {', '.join(missing)}")
    # A preparation carried along is Preparation.load's to read; the model does not need it.
    extra = [name for name in document if name not in _FIELDS and name != "preparation"]
    if extra:
        raise ModelFileError(f"unknown field(s): {', '.join(map(repr, extra))}")
    _check_size(document)
    value = {name: decode(document[name], name) for name in _FIELDS[2:]}

    schema = value["schema"]
    if not isinstance(schema, (dict, list, tuple)):
        raise fail("schema", f"expected a mapping of dimensions or a list of indices, got {describe(schema)}")
    if not isinstance(value["scale_method"], str):
        raise fail("scale_method", f"expected a string, got {describe(value['scale_method'])}")
    cumulative = value["pca_cumulative"]
    if not is_finite(cumulative) or not 0 < float(cumulative) <= 1:
        raise fail("pca_cumulative", f"expected a number in (0, 1], got {describe(cumulative)}")
    _check_k(value["k"])
    _check_min_ent(value["min_ent"])

    index_coef = value["index_coef"]
    if not isinstance(index_coef, dict):
        raise fail("index_coef", f"expected a mapping, got {describe(index_coef)}")
    _check_coef(index_coef, "index_coef")
    _check_schema(schema, index_coef, "schema", "index_coef")
    _check_weights(value["dim_weight"], index_coef, "dim_weight", "index_coef")

    abnormal = value["abnormal_index"]
    if not isinstance(abnormal, list):
        raise fail("abnormal_index", f"expected an array, got {describe(abnormal)}")
    for i, entry in enumerate(abnormal):
        if not (isinstance(entry, dict) and len(entry) == 1 and is_real(next(iter(entry.values())))):
            raise fail(
                f"abnormal_index[{i}]",
                f"expected a one-entry mapping of an index key to its coefficient, got {describe(entry)}",
            )

    try:
        model = indexfuse.indexpca_diment(
            schema,
            scale_method=value["scale_method"],
            pca_cumulative=float(cumulative),
            ent_k=cast(int, value["k"]),  # a numpy integer stays one
        )
    except (TypeError, ValueError) as exc:
        raise ModelFileError(f"cannot rebuild the model: {exc}") from exc
    model.min_ent = value["min_ent"]
    model.index_coef = index_coef
    model.dim_weight = value["dim_weight"]
    model.abnormal_index.extend(abnormal)
    return model


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
    return from_dict(parse(text))


def load(file: str | os.PathLike[str] | IO[str]) -> indexfuse.indexpca_diment:
    """Rebuild a fitted model from a JSON file, given as a path or a text file object."""
    if isinstance(file, (str, os.PathLike)):
        with open(file, encoding="utf-8") as handle:
            return loads(handle.read())
    return loads(file.read())
