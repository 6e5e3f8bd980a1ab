"""Shapes as the maps hold them: rings of longitude and latitude per unit,
with the properties that join them to a table, and the one error every
reader of a geometry raises.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

__all__ = ["Ring", "Polygon", "Shape", "GeometryError", "feature_place", "check_ring", "check_point"]

#: A ring: an (n, 2) array of longitude and latitude, not closed (its first
#: point is not repeated at its end).
Ring = npt.NDArray[np.float64]
#: A polygon: its outer ring, then its holes.
Polygon = list[Ring]


class GeometryError(ValueError):
    """A geometry that cannot be put on a map; the message names the file and the feature."""


# Names a feature by the first of these it carries, so that a message points
# at it as its author knows it.
_NAMING = ("name", "NAME", "Name", "NAME_EN", "ADMIN", "GEOID", "id", "ID")


def feature_place(source: str, number: int, properties: Mapping[str, Any], feature_id: Any = None) -> str:
    """Where a feature is, for a message: ``"states.json, feature 3 (NAME 'Ohio')"``."""
    named = ""
    if feature_id is not None:
        named = f" (id {str(feature_id)!r})"
    else:
        for key in _NAMING:
            value = properties.get(key)
            if value is not None and value != "":
                named = f" ({key} {str(value)!r})"
                break
    return f"{source}, feature {number}{named}"


@dataclass(frozen=True)
class Shape:
    """One unit's shape: its polygons, or a point for a place too small to draw.

    Attributes
    ----------
    properties : dict
        The feature's properties, as text (None where missing).
    polygons : list of Polygon
        Its polygons; empty for a shape given as a point only.
    point : tuple of float or None
        A point (longitude, latitude) where a dot is drawn: a place with no
        polygon, or one too small to see at the map's scale.
    where : str
        The feature as a message names it.
    feature_id : str or None
        The feature's own identifier, where the file gives one.
    """

    properties: dict[str, str | None]
    polygons: list[Polygon]
    point: tuple[float, float] | None
    where: str
    feature_id: str | None = None
    #: Normalised texts a bundled set matches a unit by, per property.
    matches: dict[str, tuple[str, ...]] = field(default_factory=dict)


def _fail(where: str, what: str) -> GeometryError:
    return GeometryError(f"{where}: {what}")


def check_point(position: Any, where: str) -> tuple[float, float]:
    """A position as (longitude, latitude), or ``GeometryError`` saying what is wrong with it."""
    if not isinstance(position, Sequence) or isinstance(position, str) or len(position) < 2:
        raise _fail(where, f"a position must be [longitude, latitude], got {position!r:.80}")
    try:
        longitude, latitude = float(position[0]), float(position[1])
    except (TypeError, ValueError):
        raise _fail(where, f"a position must hold two numbers, got {position!r:.80}") from None
    _check_lon_lat(np.array([[longitude, latitude]]), where)
    return longitude, latitude


def _check_lon_lat(points: Ring, where: str) -> None:
    if not np.isfinite(points).all():
        raise _fail(where, "a coordinate is not a finite number")
    outside = (np.abs(points[:, 0]) > 180.0 + 1e-9) | (np.abs(points[:, 1]) > 90.0 + 1e-9)
    if outside.any():
        x, y = points[int(np.argmax(outside))]
        raise _fail(
            where,
            f"the position ({x:g}, {y:g}) is not a longitude and latitude in degrees: the file looks "
            "projected (metres or feet) but says nothing of its projection; reproject it to "
            "longitude/latitude (EPSG:4326), or give a file that names its coordinate reference system",
        )


def check_ring(coordinates: Any, where: str) -> Ring:
    """A ring's positions as an open (n, 2) array, or ``GeometryError`` saying what is wrong.

    A ring needs at least four positions, the first repeated last (three
    distinct corners at least); a ring given open is accepted and closed.
    """
    try:
        points = np.asarray(coordinates, dtype=np.float64)
    except (TypeError, ValueError):
        raise _fail(where, "a ring must be a list of [longitude, latitude] positions of numbers") from None
    if points.ndim != 2 or points.shape[1] < 2:
        raise _fail(where, "a ring must be a list of [longitude, latitude] positions")
    points = np.ascontiguousarray(points[:, :2])
    _check_lon_lat(points, where)
    if len(points) > 1 and (points[0] == points[-1]).all():
        points = points[:-1]
    # Corners that differ from the one before (the last from the first too):
    # a ring needs three, or it encloses nothing.
    corners = int(np.any(points != np.roll(points, 1, axis=0), axis=1).sum()) if len(points) >= 3 else len(points)
    if corners < 3:
        raise _fail(where, f"a ring needs at least three distinct corners, it has {len(np.unique(points, axis=0))}")
    return points


def ring_area(ring: Ring) -> float:
    """Signed area of an open ring by the shoelace formula (positive when counter-clockwise, y up)."""
    x, y = ring[:, 0], ring[:, 1]
    return 0.5 * float(np.dot(x, np.roll(y, -1)) - np.dot(np.roll(x, -1), y))


def bounds(shapes: Sequence[Shape]) -> tuple[float, float, float, float]:
    """(west, south, east, north) of every polygon and point of ``shapes``."""
    low = np.array([math.inf, math.inf])
    high = -low
    for shape in shapes:
        for polygon in shape.polygons:
            low = np.minimum(low, polygon[0].min(axis=0))
            high = np.maximum(high, polygon[0].max(axis=0))
        if shape.point is not None:
            low = np.minimum(low, shape.point)
            high = np.maximum(high, shape.point)
    return float(low[0]), float(low[1]), float(high[0]), float(high[1])
