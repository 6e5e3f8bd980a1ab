"""A preparation as a JSON document, in the tagged form model files use, checked field by field on load.

Version 2 added the fills over time (``period``, ``unit``, ``max_gap``,
``fallback`` and each unit's last values); a version 1 document is read as
a preparation without them.
"""

from __future__ import annotations

import json
import math
import uuid
from collections.abc import Mapping
from typing import Any

from indexfuse_tools._core import (
    MODEL_FORMAT,
    ModelFileError,
    Where,
    check_hash_spread,
    check_size,
    decode,
    describe,
    encode,
    fail,
    is_finite,
    is_hashable,
    is_integer,
    is_real,
    parse,
    period_order,
    place,
)
from indexfuse_tools._preparation.panel import OVER_TIME
from indexfuse_tools._preparation.rules import IMPUTATIONS, STATISTICS, TRANSFORMS, Preparation

__all__ = ["PREPARATION_FORMAT", "PREPARATION_VERSION", "to_document", "from_document", "loads_document"]

#: The ``format`` field of a preparation document.
PREPARATION_FORMAT = "indexfuse-preparation"
#: Version of the preparation document layout written by this release.
PREPARATION_VERSION = 2

_FIELDS_1 = (
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
_OVER_TIME_FIELDS = ("period", "unit", "max_gap", "fallback", "periods", "units", "last_periods", "last_values")
_FIELDS = {1: _FIELDS_1, 2: (*_FIELDS_1, *_OVER_TIME_FIELDS)}
# The fields of the units' kept values: long arrays.
_KEPT = ("last_periods", "last_values")
_PARAMETER = {"log": "shift", "box-cox": "lambda", "yeo-johnson": "lambda"}
# As deep as a model file may be (a preparation is far shallower), so that nothing
# recurses past Python's limit. Values and keys grow with units x indicators over
# time: 240,000 units of 40 indicators hold about 20 million values.
_MAX_DEPTH = 100
_MAX_VALUES = 100_000_000
_MAX_KEYS = 10_000_000


def _plain(value: Any) -> Any:
    """Read-only mappings as dicts, so that the codec takes them."""
    if isinstance(value, Mapping):
        return {key: _plain(item) for key, item in value.items()}
    if isinstance(value, tuple):
        # The units' kept values are long tuples of numbers: nothing in them to turn.
        if set(map(type, value)) <= {int, float, str}:
            return value
        return tuple(_plain(item) for item in value)
    return value


def to_document(preparation: Preparation) -> dict[str, Any]:
    """The preparation's fields, tagged, after ``format`` and ``version``."""
    document: dict[str, Any] = {"format": PREPARATION_FORMAT, "version": PREPARATION_VERSION}
    for name in _FIELDS[PREPARATION_VERSION]:
        document[name] = encode(_plain(getattr(preparation, name)), name)
    return document


def dumps_document(document: dict[str, Any], indent: int | None) -> str:
    """JSON text of a document, strict (no NaN literals).

    Indented, the units' kept values are written compactly, each field on
    one line: a reviewer reads the rules, and a panel of 30,000 units holds
    millions of kept values, which one per line would make a file of
    hundreds of megabytes (and json writes indented text item by item).
    """
    if indent is None:
        return _compact(document)
    bulk = {name: f"bulk {uuid.uuid4().hex} {name}" for name in _KEPT if document.get(name)}
    text = json.dumps({**document, **bulk}, allow_nan=False, ensure_ascii=False, indent=indent)
    for name, token in bulk.items():
        text = text.replace(json.dumps(token), _compact(document[name]), 1)
    return text


def _compact(value: Any) -> str:
    return json.dumps(value, allow_nan=False, ensure_ascii=False, separators=(",", ":"))


def loads_document(text: str | bytes) -> Preparation:
    """A preparation from JSON text: its own document, or a model file's ``preparation`` field."""
    if isinstance(text, bytes):
        try:
            text = text.decode("utf-8")
        except UnicodeDecodeError as exc:
            raise ModelFileError(f"not UTF-8 text: {exc}") from None
    document = parse(text)
    check_size(
        document,
        depth=_MAX_DEPTH,
        values=_MAX_VALUES,
        keys=_MAX_KEYS,
        beyond="far more than a preparation of 1,000,000 units: it is not a preparation file",
    )
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
    if type(version) is not int or version not in _FIELDS:
        raise fail(
            at("version"),
            f"this release reads versions {', '.join(map(str, _FIELDS))}, got {describe(version)}",
        )
    fields = _FIELDS[version]
    missing = [name for name in fields if name not in document]
    if missing:
        raise ModelFileError(f"{where or 'preparation'}: missing field(s): {', '.join(missing)}")
    extra = [name for name in document if name not in ("format", "version", *fields)]
    if extra:
        raise ModelFileError(f"{where or 'preparation'}: unknown field(s): {', '.join(map(repr, extra))}")
    value = {name: decode(document[name], at(name)) for name in fields}
    _check(value, at)
    if version >= 2:
        _check_over_time(value, at)
    return Preparation(**value)


def _check(value: dict[str, Any], at: Any) -> None:
    indicators = value["indicators"]
    if not isinstance(indicators, tuple) or not indicators or not all(is_hashable(x) for x in indicators):
        raise fail(at("indicators"), f"expected a non-empty tuple of column labels, got {describe(indicators)}")
    check_hash_spread(indicators, at("indicators"))
    known = set(indicators)
    if len(known) != len(indicators):
        raise fail(at("indicators"), "an indicator occurs twice")
    impute = value["impute"]
    if impute not in (None, *IMPUTATIONS):
        raise fail(at("impute"), f"expected {', '.join(map(repr, IMPUTATIONS))} or null, got {describe(impute)}")
    if not is_hashable(value["group"]):
        raise fail(at("group"), f"expected a column label or null, got {describe(value['group'])}")
    _check_numbers(value["fills"], known, at("fills"))
    if value["fills"] and impute is None:
        raise fail(at("fills"), "fills without imputation: impute is null")
    if impute is not None:
        # Without a fill, a gap would stay missing while the log says it was imputed.
        unfilled = [label for label in indicators if label not in value["fills"]]
        if unfilled:
            raise fail(at("fills"), f"impute is {impute!r} but no fill is given for {_few(unfilled)}")
    group_fills = _labelled(value["group_fills"], known, at("group_fills"))
    if group_fills and value["group"] is None:
        raise fail(at("group_fills"), "group fills without a group column")
    for label, fills in group_fills.items():
        _check_numbers(fills, None, place(at("group_fills"), label))
    for label, rule in _labelled(value["transforms"], known, at("transforms")).items():
        _check_transform(rule, place(at("transforms"), label))
    caps = _labelled(value["caps"], known, at("caps"))
    for label, pair in caps.items():
        low, high = (_as_float(c) for c in pair) if isinstance(pair, tuple) and len(pair) == 2 else (None, None)
        if low is None or high is None or not low < high:
            raise fail(place(at("caps"), label), f"expected a tuple (low, high) with low < high, got {describe(pair)}")
    _check_dimensions(value, indicators, at)
    for label, counts in _labelled(value["counts"], known, at("counts")).items():
        if not (isinstance(counts, dict) and set(counts) == {"imputed", "winsorized"}
                and all(is_integer(n) and n >= 0 for n in counts.values())):
            raise fail(place(at("counts"), label), f"expected counts 'imputed' and 'winsorized', got {describe(counts)}")
        if counts["imputed"] and impute is None:
            raise fail(place(at("counts"), label), "values counted as imputed, but impute is null")
        if counts["winsorized"] and label not in caps:
            raise fail(place(at("counts"), label), "values counted as winsorised, but the indicator has no caps")


def _check_dimensions(value: dict[str, Any], indicators: tuple[Any, ...], at: Any) -> None:
    dimensions = value["dimensions"]
    if not isinstance(dimensions, dict) or not dimensions:
        raise fail(at("dimensions"), f"expected a non-empty mapping, got {describe(dimensions)}")
    known = set(indicators)
    for path, labels in dimensions.items():
        if not isinstance(path, tuple) or not isinstance(labels, tuple) or not labels:
            raise fail(place(at("dimensions"), path), "expected a path tuple holding a tuple of the indicators")
        strays = [label for label in labels if not is_hashable(label) or label not in known]
        if strays:
            raise fail(place(at("dimensions"), path), f"{_few(strays)} {'is' if len(strays) == 1 else 'are'} not "
                       "among the preparation's indicators")
    # The availability thresholds count per dimension: an indicator in none of them is never counted.
    covered = {label for labels in dimensions.values() for label in labels}
    orphans = [label for label in indicators if label not in covered]
    if orphans:
        raise fail(at("dimensions"), f"the dimensions do not hold the indicator(s) {_few(orphans)}")
    thresholds = value["min_present"]
    if not isinstance(thresholds, dict):
        raise fail(at("min_present"), f"expected a mapping, got {describe(thresholds)}")
    for path, threshold in thresholds.items():
        if path not in dimensions:
            raise fail(place(at("min_present"), path), "not one of the dimensions")
        _check_threshold(threshold, len(dimensions[path]), place(at("min_present"), path))
    if value["min_present_total"] is not None:
        _check_threshold(value["min_present_total"], len(indicators), at("min_present_total"))


def _check_over_time(value: dict[str, Any], at: Any) -> None:
    if value["impute"] not in OVER_TIME:
        for name in _OVER_TIME_FIELDS:
            if value[name] not in (None, (), {}):
                raise fail(at(name), f"set, but impute is {value['impute']!r}: it serves 'carry' or 'interpolate'")
        return
    for name in ("period", "unit"):
        if value[name] is None or not is_hashable(value[name]):
            raise fail(at(name), f"expected a column label, got {describe(value[name])}")
    if value["period"] == value["unit"]:
        raise fail(at("unit"), f"the same column as the period, {value['period']!r}")
    gap = value["max_gap"]
    if gap is not None and not (is_integer(gap) and is_finite(gap) and gap >= 1):
        raise fail(at("max_gap"), f"expected a whole number of periods >= 1 or null, got {describe(gap)}")
    if value["fallback"] not in STATISTICS:
        raise fail(at("fallback"), f"expected 'mean' or 'median', got {describe(value['fallback'])}")
    periods = _labels(value["periods"], at("periods"))
    try:
        period_order(periods, "the document")
    except ValueError as error:
        raise fail(at("periods"), str(error)) from None
    units = _labels(value["units"], at("units"))
    indicators = value["indicators"]
    for name in ("last_periods", "last_values"):
        mapping = _labelled(value[name], set(indicators), at(name))
        absent = [label for label in indicators if label not in mapping]
        if absent:
            raise fail(at(name), f"no entry for {_few(absent)}")
        for label, row in mapping.items():
            if not (isinstance(row, tuple) and len(row) == len(units)):
                raise fail(place(at(name), label), f"expected a tuple of {len(units)} values, one per unit")
    for label in indicators:
        _check_last(value["last_periods"][label], value["last_values"][label], label, len(periods), at)


def _check_last(positions: tuple[Any, ...], values: tuple[Any, ...], label: Any, count: int, at: Any) -> None:
    """One indicator's last values: a position in the periods (or -1) and a number, per unit.

    Checked as arrays, since a panel holds hundreds of thousands of them;
    the item at fault is looked for only once something is.
    """
    import numpy as np

    where = place(at("last_periods"), label)
    if not set(map(type, positions)) <= {int}:
        i = next(i for i, p in enumerate(positions) if type(p) is not int)
        raise fail(where, f"item {i}: expected a position in the periods or -1, got {describe(positions[i])}")
    at_period = np.asarray(positions, dtype=np.int64) if positions else np.empty(0, np.int64)
    outside = np.flatnonzero((at_period < -1) | (at_period >= count))
    if outside.size:
        i = int(outside[0])
        raise fail(where, f"item {i}: expected a position in the periods (0 to {count - 1}) or -1, got {positions[i]}")
    where = place(at("last_values"), label)
    if not set(map(type, values)) <= {int, float}:
        i = next(i for i, v in enumerate(values) if type(v) not in (int, float))
        raise fail(where, f"item {i}: expected a number, got {describe(values[i])}")
    try:
        numbers = np.asarray(values, dtype=np.float64) if values else np.empty(0)
    except OverflowError:
        numbers = np.array([_as_float(v) if _as_float(v) is not None else np.inf for v in values])
    wrong = np.flatnonzero((at_period >= 0) & ~np.isfinite(numbers))
    if wrong.size:
        i = int(wrong[0])
        raise fail(where, f"item {i}: expected a finite number, got {describe(values[i])}")


def _labels(labels: Any, where: str) -> tuple[Any, ...]:
    if not isinstance(labels, tuple) or not labels or not all(is_hashable(x) for x in labels):
        raise fail(where, f"expected a non-empty tuple of labels, got {describe(labels)}")
    check_hash_spread(labels, where)
    if len(set(labels)) != len(labels):
        raise fail(where, "a label occurs twice")
    return labels


def _few(labels: list[Any]) -> str:
    shown = ", ".join(repr(label) for label in labels[:5])
    return shown if len(labels) <= 5 else f"{shown}, ... ({len(labels)} in all)"


def _as_float(number: Any) -> float | None:
    """A real number as a float that is not NaN; None for anything else (an int too large for a float too)."""
    if not is_real(number):
        return None
    try:
        converted = float(number)
    except OverflowError:
        return None
    return None if math.isnan(converted) else converted


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
        if not is_finite(number):
            raise fail(place(where, key), f"expected a finite number, got {describe(number)}")


def _check_transform(rule: Any, where: str) -> None:
    kind = rule.get("kind") if isinstance(rule, dict) else None
    if kind not in TRANSFORMS:
        raise fail(where, f"expected a transform of kind {', '.join(map(repr, TRANSFORMS))}, got {describe(rule)}")
    parameter = _PARAMETER[kind]
    if set(rule) != {"kind", parameter} or not is_finite(rule.get(parameter)):
        raise fail(where, f"a {kind} transform holds its kind and a finite {parameter!r}, got {describe(rule)}")


def _check_threshold(threshold: Any, size: int, where: str) -> None:
    if is_integer(threshold):
        if not 1 <= threshold <= size:
            raise fail(where, f"a count must be 1 to {size}, got {threshold}")
    elif not (isinstance(threshold, float) and 0 < threshold <= 1):
        raise fail(where, f"expected a share in (0, 1] or a count, got {describe(threshold)}")
