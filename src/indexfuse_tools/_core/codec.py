"""Tagged JSON: Python values that plain JSON cannot hold, kept as one-key tags.

Model files, robustness results and the command line's JSON schemas share
this encoding. The text is plain, strict JSON (no ``NaN`` or ``Infinity``
literals) that a person can read and review; a value that JSON cannot hold
as it is gets a one-key tag object whose key starts with ``$``:

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
from collections.abc import Hashable, Iterable
from dataclasses import dataclass
from typing import Any, TypeAlias

import numpy as np

from indexfuse_tools._core.values import describe, is_finite, is_hashable

__all__ = [
    "ModelFileError",
    "Spot",
    "Where",
    "place",
    "fail",
    "check_hash_spread",
    "check_size",
    "encode",
    "decode",
    "parse",
    "NUMPY_TYPES",
    "MAX_SHARED_HASH",
    "MODEL_FORMAT",
]

#: Value of a model document's ``"format"`` field (a preparation file may
#: be a model document that carries one).
MODEL_FORMAT = "indexfuse-model"

#: The numpy scalar types a document holds, by dtype name.
NUMPY_TYPES = {
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
# The types json.loads gives a scalar, which encode and decode pass through as they are
# (but for a float that is not finite): a long array of them needs no walk item by item.
_SCALARS = frozenset({int, float, str, bool, type(None)})
_TAGS = ("$tuple", "$float", "$dict", "$numpy")
#: How many distinct keys of one mapping (or entries of one list of entries)
#: may share a hash value. Python finds a key among those sharing its hash by
#: comparing it with each, so n such keys cost n * n comparisons: 16,000
#: integer keys that are multiples of 2**61 - 1 (all of hash 0) take half a
#: minute. Keys are column labels and dimension names, whose hashes coincide
#: by chance at most in pairs; 32 is far above that and keeps the work linear.
MAX_SHARED_HASH = 32


class ModelFileError(ValueError):
    """A model document that cannot be loaded.

    The message names the place in the document (for example
    ``index_coef['safety'][('murder', -1)]``) and what is wrong there.
    """


@dataclass(frozen=True, slots=True)
class Spot:
    """A place in a document, spelled out only when a message names it.

    Spelling every place out as the document is read costs the length of
    its path for each value: a file of long keys nested deep holds paths
    far longer than itself. A spot costs the same for any depth, and its
    text (``index_coef['safety'][('murder', -1)]``) is built by ``str``.
    """

    parent: Where
    key: Any = None
    #: Text that follows the parent instead of ``[key]``, such as `` item 3``.
    suffix: str | None = None

    def __str__(self) -> str:
        steps: list[str] = []
        spot: Where = self
        while isinstance(spot, Spot):
            steps.append(f"[{spot.key!r}]" if spot.suffix is None else spot.suffix)
            spot = spot.parent
        return spot + "".join(reversed(steps))


#: A place as text, or as a :class:`Spot` that becomes text when needed.
Where: TypeAlias = "str | Spot"


def place(where: Where, key: Any) -> str:
    """The place of ``key`` inside ``where``, as Python would index it: ``schema['safety']``."""
    return f"{where}[{key!r}]"


def fail(where: Where, message: str) -> ModelFileError:
    """The error for ``message`` at the place ``where`` of a document."""
    return ModelFileError(f"{where}: {message}")


def check_hash_spread(keys: Iterable[Hashable], where: Where) -> None:
    """Refuse more than :data:`MAX_SHARED_HASH` distinct keys sharing one hash value.

    The cost is linear in the number of keys: each is compared with at most
    :data:`MAX_SHARED_HASH` others.

    Raises
    ------
    ModelFileError
        Naming ``where`` and a few of the keys.
    """
    buckets: dict[int, list[Hashable]] = {}
    for key in keys:
        bucket = buckets.setdefault(hash(key), [])
        if key in bucket:  # the same key again is no collision
            continue
        bucket.append(key)
        if len(bucket) > MAX_SHARED_HASH:
            raise fail(
                where,
                f"more than {MAX_SHARED_HASH} distinct keys share one hash value (such as "
                f"{', '.join(_short(k) for k in bucket[:3])}); no model's labels collide like this, "
                "and reading them would take time that grows with their square",
            )


def check_size(document: Any, *, depth: int, values: int, keys: int, beyond: str) -> None:
    """Refuse parsed JSON nested deeper than ``depth`` or holding more than ``values`` values or ``keys`` keys.

    Run before anything recurses over the document: the checks and the
    decoding of tags would otherwise meet Python's recursion limit on a
    document nested a thousand deep. The walk itself keeps its own stack.

    Raises
    ------
    ModelFileError
        ``"the document is nested deeper than ..."``, or ``"the document
        holds more than ... values, {beyond}"`` (or keys).
    """
    stack = [(document, 1)]
    count = held = 0
    while stack:
        node, level = stack.pop()
        count += 1
        if level > depth:
            raise ModelFileError(f"the document is nested deeper than {depth} levels")
        if isinstance(node, dict):
            held += len(node)
            children: Any = node.values()
        elif isinstance(node, list):
            children = node
        else:
            continue
        if children and level + 1 > depth:
            raise ModelFileError(f"the document is nested deeper than {depth} levels")
        # Scalars are counted here: only what holds values goes on the stack.
        nested = [] if set(map(type, children)) <= _SCALARS else [c for c in children if type(c) not in _SCALARS]
        count += len(children) - len(nested)
        stack.extend((child, level + 1) for child in nested)
        if count + len(stack) > values:
            raise ModelFileError(f"the document holds more than {values:,} values, {beyond}")
        if held > keys:
            raise ModelFileError(f"the document holds more than {keys:,} keys, {beyond}")


def _short(key: Any) -> str:
    text = repr(key)
    return text if len(text) <= 40 else text[:37] + "..."


# --------------------------------------------------------------- encoding --


def encode(value: Any, where: str) -> Any:
    """``value`` as JSON-ready tagged values; ``TypeError`` naming ``where`` for what it cannot hold."""
    if value is None or type(value) in (bool, str):
        return value
    if isinstance(value, np.generic):
        name = value.dtype.name
        if name not in NUMPY_TYPES:
            raise TypeError(f"{where}: cannot store a numpy {name} value ({value!r})")
        return {"$numpy": name, "value": encode(value.item(), where)}
    if type(value) is int:
        return value
    if type(value) is float:
        if math.isfinite(value):
            return value
        return {"$float": "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")}
    if isinstance(value, str):
        return str(value)
    if isinstance(value, tuple):
        return {"$tuple": _encode_items(value, where)}
    if isinstance(value, list):
        return _encode_items(value, where)
    if isinstance(value, dict):
        return _encode_dict(value, where)
    raise TypeError(
        f"{where}: cannot store a value of type {type(value).__qualname__} ({describe(value)}); "
        "stored models hold None, bool, int, float, str, numpy scalars, and lists, "
        "tuples and dicts of these"
    )


def _encode_items(items: list[Any] | tuple[Any, ...], where: str) -> list[Any]:
    if _finite_scalars(items):
        return list(items)
    # The place of an item is spelled out only for one that is not a finite scalar.
    return [
        item if type(item) in _SCALARS and (type(item) is not float or math.isfinite(item))
        else encode(item, f"{where}[{i}]")
        for i, item in enumerate(items)
    ]  # fmt: skip


def _encode_dict(value: dict[Any, Any], where: str) -> Any:
    if all(type(k) is str and not k.startswith("$") for k in value):
        return {k: encode(v, place(where, k)) for k, v in value.items()}
    return {
        "$dict": [
            [encode(k, f"{where} key {k!r}"), encode(v, place(where, k))]
            for k, v in value.items()
        ]
    }


# --------------------------------------------------------------- decoding --


def decode(value: Any, where: Where) -> Any:
    """The Python value of parsed tagged JSON; :class:`ModelFileError` naming the place of a bad tag.

    The place of a value is spelled out only for the error, so decoding
    costs the same whatever the length of the keys on its path.
    """
    if value is None or isinstance(value, (bool, str, int, float)):
        return value
    if isinstance(value, list):
        return _decode_items(value, where)
    if not isinstance(value, dict):  # pragma: no cover - json never yields anything else
        raise fail(where, f"unexpected value {value!r}")
    tags = [k for k in value if k.startswith("$")]
    if not tags:
        return {k: decode(v, Spot(where, k)) for k, v in value.items()}
    tag = tags[0]
    if tag not in _TAGS:
        raise fail(where, f'unknown tag {tag!r} (known: "$tuple", "$float", "$dict", "$numpy")')
    expected = {"$numpy": {"$numpy", "value"}}.get(tag, {tag})
    if set(value) != expected:
        raise fail(
            where,
            f"a tagged value must hold exactly the keys {sorted(expected)}, got {sorted(value)}",
        )
    body = value[tag]
    if tag == "$tuple":
        if not isinstance(body, list):
            raise fail(where, f'"$tuple" must hold an array, got {describe(body)}')
        return tuple(_decode_items(body, where))
    if tag == "$float":
        if not isinstance(body, str) or body not in _NON_FINITE:
            raise fail(where, f'"$float" must be "nan", "inf" or "-inf", got {describe(body)}')
        return _NON_FINITE[body]
    if tag == "$numpy":
        return _decode_numpy(body, value["value"], where)
    return _decode_pairs(body, where)


def _finite_scalars(items: list[Any] | tuple[Any, ...]) -> bool:
    """Whether every item is a scalar that encodes and decodes to itself, looked at in C loops."""
    kinds = set(map(type, items))
    if not kinds <= _SCALARS:
        return False
    floats = items if kinds == {float} else [item for item in items if type(item) is float]
    return all(map(math.isfinite, floats))


def _decode_items(items: list[Any], where: Where) -> list[Any]:
    if set(map(type, items)) <= _SCALARS:
        return list(items)
    # A scalar decodes to itself: a place is made only for what holds more.
    return [item if type(item) in _SCALARS else decode(item, Spot(where, i)) for i, item in enumerate(items)]


def _decode_numpy(name: Any, raw: Any, where: Where) -> Any:
    if not isinstance(name, str) or name not in NUMPY_TYPES:
        raise fail(where, f'"$numpy" must name one of {", ".join(NUMPY_TYPES)}, got {describe(name)}')
    item = decode(raw, where)
    kind = np.dtype(name).kind
    fits = {
        "b": isinstance(item, bool),
        "i": type(item) is int,
        "u": type(item) is int and item >= 0,
        "f": type(item) in (int, float),
    }[kind]
    if not fits:
        raise fail(where, f"{describe(raw)} is not a valid {name} value")
    if kind in "iu":
        info = np.iinfo(name)
        if not info.min <= item <= info.max:
            raise fail(where, f"{item} does not fit in {name}")
    if kind != "f":
        return NUMPY_TYPES[name](item)
    try:
        with np.errstate(over="ignore"):
            converted = NUMPY_TYPES[name](item)
    except OverflowError:  # an int too large for any float
        converted = None
    # A finite number must stay finite (np.float16(1e5) would be inf).
    if converted is None or (is_finite(item) and not np.isfinite(converted)):
        raise fail(where, f"{describe(raw)} does not fit in {name}")
    return converted


def _decode_key(pair: Any, i: int, where: Where) -> Any:
    item = Spot(where, suffix=f" item {i}")
    if not (isinstance(pair, list) and len(pair) == 2):
        raise fail(item, f"expected a [key, value] pair, got {describe(pair)}")
    key = decode(pair[0], Spot(item, suffix=" key"))
    if not isinstance(key, Hashable) or not is_hashable(key):
        raise fail(Spot(item, suffix=" key"), f"{key!r} cannot be a mapping key")
    return key


def _decode_pairs(body: Any, where: Where) -> dict[Any, Any]:
    if not isinstance(body, list):
        raise fail(where, f'"$dict" must hold an array of [key, value] pairs, got {describe(body)}')
    keys = [_decode_key(pair, i, where) for i, pair in enumerate(body)]
    # Before any key goes into a dict: that is where colliding keys cost.
    check_hash_spread(keys, where)
    result: dict[Any, Any] = {}
    for key, pair in zip(keys, body):
        if key in result:
            raise fail(where, f"key {key!r} occurs twice")
        result[key] = decode(pair[1], Spot(where, key))
    return result


# ---------------------------------------------------------------- parsing --


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


def parse(text: str) -> Any:
    """Strict JSON text as plain values (tags not yet decoded).

    Raises :class:`ModelFileError` for text that is not JSON, for ``NaN`` or
    ``Infinity`` literals, for numbers no float or int holds, for duplicate
    keys in an object and for nesting too deep to read.
    """
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
