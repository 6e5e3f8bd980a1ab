"""Units joined to shapes: which shape each unit's key names, and what is
left over on either side, listed, never dropped in silence."""

from __future__ import annotations

import math
import re
import unicodedata
from collections.abc import Hashable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from indexfuse_tools._geo.shapes import GeometryError, Shape

__all__ = ["match_text", "Joined", "join"]

_PUNCTUATION = re.compile(r"[.,'’`()\[\]\"]")
_SPACES = re.compile(r"[\s\-–_/]+")


def match_text(value: Any) -> str:
    """A key as it is compared: case, accents, punctuation, "&", a leading or
    trailing "the" and leading zeros of a number folded away.

    Examples
    --------
    >>> match_text("Côte d'Ivoire") == match_text("Cote d'Ivoire")
    True
    >>> match_text("Bahamas, The"), match_text("01001"), match_text(1001), match_text(6.0)
    ('bahamas', '1001', '1001', '6')
    """
    if isinstance(value, (bool, np.bool_)):
        return str(value).lower()
    if isinstance(value, (float, np.floating)) and math.isfinite(value) and float(value).is_integer():
        value = int(value)
    text = unicodedata.normalize("NFKD", str(value))
    text = "".join(character for character in text if not unicodedata.combining(character)).casefold()
    text = _PUNCTUATION.sub("", text.replace("&", " and "))
    text = _SPACES.sub(" ", text).strip()
    if text.isdigit():
        return str(int(text))
    text = re.sub(r"^the ", "", text)
    return re.sub(r" the$", "", text)


def _missing(value: Any) -> bool:
    if value is None:
        return True
    try:
        return bool(isinstance(value, float) and math.isnan(value)) or value is np.nan
    except TypeError:
        return False


@dataclass(frozen=True)
class Joined:
    """How units met shapes.

    Attributes
    ----------
    unit_of_shape : ndarray of int
        Per shape, the position of its unit among the units given, or -1.
    units_without_shape : list
        The units (their labels) that no shape matched, in order.
    shapes_without_unit : list of str
        The shapes (by their key, or their place in the file) no unit matched.
    how : str
        The join in words: which column or labels, against which property.
    """

    unit_of_shape: npt.NDArray[np.int64]
    units_without_shape: list[Hashable]
    shapes_without_unit: list[str]
    how: str


def _lookup(shapes: Sequence[Shape], property_name: str, bundled: bool, source: str) -> dict[str, int]:
    """Each folded key of ``property_name`` to its shape; a key two shapes share is refused (a file) or left out (a bundled set)."""
    table: dict[str, int] = {}
    shared: set[str] = set()
    for number, shape in enumerate(shapes):
        if bundled:
            texts: Sequence[str] = shape.matches.get(property_name, ())
        else:
            value = shape.feature_id if property_name == "id" and shape.feature_id is not None else shape.properties.get(property_name)
            texts = () if value is None or value == "" else (match_text(value),)
        for text in texts:
            if text in table and table[text] != number:
                if not bundled:
                    raise GeometryError(
                        f"{shapes[table[text]].where} and {shape.where}: both have the {property_name} "
                        f"{shape.properties.get(property_name, shape.feature_id)!r}, and a key must name one shape; "
                        "join the parts of a unit into one multipolygon first, or choose another key"
                    )
                shared.add(text)
            table.setdefault(text, number)
    for text in shared:
        del table[text]
    return table


def _label(shape: Shape, property_name: str | None) -> str:
    for name in (property_name, "name", "NAME"):
        if name is not None and shape.properties.get(name):
            return str(shape.properties[name])
    return shape.feature_id if shape.feature_id is not None else shape.where


def _properties(shapes: Sequence[Shape]) -> list[str]:
    names = ["id"] if all(shape.feature_id is not None for shape in shapes) else []
    return names + list(dict.fromkeys(name for shape in shapes for name in shape.properties))


def join(
    shapes: Sequence[Shape],
    keys: Sequence[Any],
    units: Sequence[Hashable],
    property_name: str | None,
    *,
    bundled: Sequence[str] | None,
    source: str,
    column: str,
) -> Joined:
    """Match each unit's key to a shape.

    Parameters
    ----------
    shapes : sequence of Shape
        The map's shapes.
    keys : sequence
        Per unit, the value that names its shape.
    units : sequence
        The units' labels, for the lists of what is left over.
    property_name : str or None
        The shapes' property the keys are compared with; None tries every
        property (a bundled set's, or a file's whose values are unique) and
        takes the one that matches the most units.
    bundled : sequence of str or None
        For a bundled set, the properties it matches by.
    source : str
        The geometry, as messages name it.
    column : str
        Where the keys come from, in words ("the row labels").
    """
    folded = [None if _missing(key) else match_text(key) for key in keys]
    seen: dict[str, int] = {}
    for position, text in enumerate(folded):
        if text is None:
            continue
        if text in seen:
            raise ValueError(
                f"{column} repeats the key {keys[position]!r} (the units {units[seen[text]]!r} and {units[position]!r}"
                f"{'' if keys[seen[text]] == keys[position] else f', as {keys[seen[text]]!r}'}); "
                "each unit needs its own shape"
            )
        seen[text] = position
    candidates = _candidates(shapes, property_name, bundled, source)
    if bundled is not None:
        table = _merged([_lookup(shapes, name, True, source) for name in candidates])
        chosen = property_name
        hits = sum(text in table for text in folded if text is not None)
    else:
        hits, chosen, table = _best(shapes, folded, candidates, source, guessing=property_name is None)
    if hits == 0:
        raise GeometryError(_nothing_matched(shapes, keys, candidates, source, column))
    unit_of_shape = np.full(len(shapes), -1, dtype=np.int64)
    without = []
    for position, text in enumerate(folded):
        shape = table.get(text) if text is not None else None
        if shape is None:
            without.append(units[position])
            continue
        if unit_of_shape[shape] >= 0:
            raise ValueError(
                f"{column}: the units {units[int(unit_of_shape[shape])]!r} and {units[position]!r} both name "
                f"the shape {_label(shapes[shape], chosen)!r} of {source}; each unit needs its own shape"
            )
        unit_of_shape[shape] = position
    property_words = "any of " + ", ".join(candidates) if chosen is None else repr(chosen)
    return Joined(
        unit_of_shape,
        without,
        [_label(shapes[int(i)], None if bundled is not None else chosen) for i in np.flatnonzero(unit_of_shape < 0)],
        f"{column} against the shapes' {property_words}",
    )


def _merged(tables: list[dict[str, int]]) -> dict[str, int]:
    """One table of several properties' keys; a key naming two shapes names none."""
    merged: dict[str, int] = {}
    ambiguous = set()
    for table in tables:
        for text, shape in table.items():
            if merged.setdefault(text, shape) != shape:
                ambiguous.add(text)
    return {text: shape for text, shape in merged.items() if text not in ambiguous}


def _best(
    shapes: Sequence[Shape], folded: list[str | None], candidates: list[str], source: str, guessing: bool
) -> tuple[int, str | None, dict[str, int]]:
    """The property that matches the most keys, its count and its table."""
    best: tuple[int, str | None, dict[str, int]] = (0, None, {})
    for name in candidates:
        try:
            table = _lookup(shapes, name, False, source)
        except GeometryError:
            if not guessing:
                raise
            continue  # while guessing, a property whose values repeat names no shape
        hits = sum(text in table for text in folded if text is not None)
        if hits > best[0]:
            best = (hits, name, table)
    return best


def _candidates(shapes: Sequence[Shape], property_name: str | None, bundled: Sequence[str] | None, source: str) -> list[str]:
    available = list(bundled) if bundled is not None else _properties(shapes)
    if property_name is None:
        return available
    if property_name not in available and not (property_name == "id" and any(s.feature_id is not None for s in shapes)):
        raise GeometryError(
            f"{source}: its shapes have no property {property_name!r}; they have {', '.join(map(repr, available)) or 'none'}"
        )
    return [property_name]


def _nothing_matched(shapes: Sequence[Shape], keys: Sequence[Any], candidates: list[str], source: str, column: str) -> str:
    examples = ", ".join(
        f"{name} (as {next((str(s.properties.get(name) or s.feature_id) for s in shapes if s.properties.get(name) or name == 'id'), '')!r})"
        for name in candidates[:8]
    )
    given = ", ".join(repr(key) for key in list(keys)[:3])
    return (
        f"{source}: no unit's key matches a shape: {column} give {given}..., and the shapes' properties are "
        f"{examples or 'none'}; say which property to match with key=\"PROPERTY\", or key=(\"COLUMN\", \"PROPERTY\") "
        "for a column of the data"
    )
