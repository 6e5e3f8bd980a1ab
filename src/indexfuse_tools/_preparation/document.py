"""A preparation as a JSON document, in the tagged form model files use, checked field by field on load."""

from __future__ import annotations

import json
from collections.abc import Mapping
from typing import Any

from indexfuse_tools._core import (
    ModelFileError,
    check_hash_spread,
    Where,
    decode,
    describe,
    encode,
    fail,
    is_hashable,
    is_integer,
    is_real,
    parse,
    place,
)
from indexfuse_tools._preparation.rules import TRANSFORMS, Preparation

__all__ = ["PREPARATION_FORMAT", "PREPARATION_VERSION", "to_document", "from_document", "loads_document"]

#: The ``format`` field of a preparation document.
PREPARATION_FORMAT = "indexfuse-preparation"
#: Version of the preparation document layout written by this release.
PREPARATION_VERSION = 1

_FIELDS = (
    "indicators",
    "impute",
    "group",
    "fills",
    "group_fills",
    "transforms",
    "caps",
    "min_present",
    "min_present_total",
    "dimensions",
    "counts",
)
_IMPUTE = ("mean", "median")
_PARAMETER = {"log": "shift", "box-cox": "lambda", "yeo-johnson": "lambda"}


def _plain(value: Any) -> Any:
    """Read-only mappings as dicts, so that the codec takes them."""
    if isinstance(value, Mapping):
        return {key: _plain(item) for key, item in value.items()}
    if isinstance(value, tuple):
        return tuple(_plain(item) for item in value)
    return value


def to_document(preparation: Preparation) -> dict[str, Any]:
    """The preparation's fields, tagged, after ``format`` and ``version``."""
    document: dict[str, Any] = {"format": PREPARATION_FORMAT, "version": PREPARATION_VERSION}
    for name in _FIELDS:
        document[name] = encode(_plain(getattr(preparation, name)), name)
    return document


def dumps_document(document: dict[str, Any], indent: int | None) -> str:
    """JSON text of a document, strict (no NaN literals)."""
    if indent is None:
        return json.dumps(document, allow_nan=False, ensure_ascii=False, separators=(",", ":"))
    return json.dumps(document, allow_nan=False, ensure_ascii=False, indent=indent)


def loads_document(text: str | bytes) -> Preparation:
    """A preparation from JSON text: its own document, or a model file's ``preparation`` field."""
    if isinstance(text, bytes):
        try:
            text = text.decode("utf-8")
        except UnicodeDecodeError as exc:
            raise ModelFileError(f"not UTF-8 text: {exc}") from None
    document = parse(text)
    from indexfuse_tools._persist import MODEL_FORMAT

    if isinstance(document, dict) and document.get("format") == MODEL_FORMAT:
        if document.get("preparation") is None:
            raise ModelFileError("this model file carries no preparation: it was saved without one")
        return from_document(document["preparation"], "preparation")
    return from_document(document)


# --------------------------------------------------------------- checks --


def from_document(document: Any, where: str = "") -> Preparation:
    """Rebuild a preparation, checking every field; ``where`` prefixes the places named."""
    if not isinstance(document, dict):
        raise ModelFileError(f"a preparation document must be a JSON object, got {describe(document)}")
    at = (lambda name: f"{where}[{name!r}]") if where else (lambda name: name)
    if document.get("format") != PREPARATION_FORMAT:
        raise fail(at("format"), f"expected {PREPARATION_FORMAT!r}, got {describe(document.get('format'))}")
    version = document.get("version")
    if type(version) is not int or version != PREPARATION_VERSION:
        raise fail(at("version"), f"this release reads version {PREPARATION_VERSION}, got {describe(version)}")
    missing = [name for name in _FIELDS if name not in document]
    if missing:
        raise ModelFileError(f"{where or 'preparation'}: missing field(s): {', '.join(missing)}")
    extra = [name for name in document if name not in ("format", "version", *_FIELDS)]
    if extra:
        raise ModelFileError(f"{where or 'preparation'}: unknown field(s): {', '.join(map(repr, extra))}")
    value = {name: decode(document[name], at(name)) for name in _FIELDS}
    _check(value, at)
    return Preparation(**value)


def _check(value: dict[str, Any], at: Any) -> None:
    indicators = value["indicators"]
    if not isinstance(indicators, tuple) or not indicators or not all(is_hashable(x) for x in indicators):
        raise fail(at("indicators"), f"expected a non-empty tuple of column labels, got {describe(indicators)}")
    check_hash_spread(indicators, at("indicators"))
    known = set(indicators)
    if len(known) != len(indicators):
        raise fail(at("indicators"), "an indicator occurs twice")
    if value["impute"] not in (None, *_IMPUTE):
        raise fail(at("impute"), f"expected 'mean', 'median' or null, got {describe(value['impute'])}")
    if not is_hashable(value["group"]):
        raise fail(at("group"), f"expected a column label or null, got {describe(value['group'])}")
    _check_numbers(value["fills"], known, at("fills"))
    if value["fills"] and value["impute"] is None:
        raise fail(at("fills"), "fills without imputation: impute is null")
    group_fills = _labelled(value["group_fills"], known, at("group_fills"))
    if group_fills and value["group"] is None:
        raise fail(at("group_fills"), "group fills without a group column")
    for label, fills in group_fills.items():
        _check_numbers(fills, None, place(at("group_fills"), label))
    for label, rule in _labelled(value["transforms"], known, at("transforms")).items():
        _check_transform(rule, place(at("transforms"), label))
    for label, caps in _labelled(value["caps"], known, at("caps")).items():
        if not (isinstance(caps, tuple) and len(caps) == 2 and all(is_real(c) and c == c for c in caps)
                and caps[0] < caps[1]):
            raise fail(place(at("caps"), label), f"expected a tuple (low, high) with low < high, got {describe(caps)}")
    dimensions = value["dimensions"]
    if not isinstance(dimensions, dict):
        raise fail(at("dimensions"), f"expected a mapping, got {describe(dimensions)}")
    for path, labels in dimensions.items():
        if not isinstance(path, tuple) or not isinstance(labels, tuple) or not set(labels) <= known or not labels:
            raise fail(place(at("dimensions"), path), "expected a path tuple holding a tuple of the indicators")
    thresholds = value["min_present"]
    if not isinstance(thresholds, dict):
        raise fail(at("min_present"), f"expected a mapping, got {describe(thresholds)}")
    for path, threshold in thresholds.items():
        if path not in dimensions:
            raise fail(place(at("min_present"), path), "not one of the dimensions")
        _check_threshold(threshold, len(dimensions[path]), place(at("min_present"), path))
    if value["min_present_total"] is not None:
        _check_threshold(value["min_present_total"], len(indicators), at("min_present_total"))
    for label, counts in _labelled(value["counts"], known, at("counts")).items():
        if not (isinstance(counts, dict) and set(counts) == {"imputed", "winsorized"}
                and all(is_integer(n) and n >= 0 for n in counts.values())):
            raise fail(place(at("counts"), label), f"expected counts 'imputed' and 'winsorized', got {describe(counts)}")


def _labelled(mapping: Any, known: set[Any], where: Where) -> dict[Any, Any]:
    if not isinstance(mapping, dict):
        raise fail(where, f"expected a mapping, got {describe(mapping)}")
    for label in mapping:
        if label not in known:
            raise fail(place(where, label), "not one of the preparation's indicators")
    return mapping


def _check_numbers(mapping: Any, known: set[Any] | None, where: Where) -> None:
    if not isinstance(mapping, dict):
        raise fail(where, f"expected a mapping, got {describe(mapping)}")
    for key, number in mapping.items():
        if known is not None and key not in known:
            raise fail(place(where, key), "not one of the preparation's indicators")
        if not (is_real(number) and abs(float(number)) != float("inf") and number == number):
            raise fail(place(where, key), f"expected a finite number, got {describe(number)}")


def _check_transform(rule: Any, where: str) -> None:
    kind = rule.get("kind") if isinstance(rule, dict) else None
    if kind not in TRANSFORMS:
        raise fail(where, f"expected a transform of kind {', '.join(map(repr, TRANSFORMS))}, got {describe(rule)}")
    parameter = _PARAMETER[kind]
    number = rule.get(parameter)
    if set(rule) != {"kind", parameter} or not (is_real(number) and abs(float(number)) < float("inf")):
        raise fail(where, f"a {kind} transform holds its kind and a finite {parameter!r}, got {describe(rule)}")


def _check_threshold(threshold: Any, size: int, where: str) -> None:
    if is_integer(threshold):
        if not 1 <= threshold <= size:
            raise fail(where, f"a count must be 1 to {size}, got {threshold}")
    elif not (isinstance(threshold, float) and 0 < threshold <= 1):
        raise fail(where, f"expected a share in (0, 1] or a count, got {describe(threshold)}")
