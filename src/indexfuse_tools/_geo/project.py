"""Equal-area projections for the maps: Equal Earth for the world, Albers's
conic for the United States (Alaska, Hawaii and Puerto Rico inset) and for any
other region, fitted to its extent.

Written out here rather than taken from PROJ (pyproj): each is a few lines
of published formulas, and the maps must be drawn the same with or without
the optional geometry libraries. Both are on the sphere, which at the scale
of a page differs from the ellipsoid by less than a pixel.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from indexfuse_tools._geo.shapes import Ring, Shape, bounds

__all__ = ["equal_earth", "albers", "Projected", "project", "kind_of"]

Points = npt.NDArray[np.float64]

# Equal Earth's polynomial coefficients: Šavrič, Patterson and Jenny (2019),
# "The Equal Earth map projection", International Journal of Geographical
# Information Science 33(3), 454-465, equations (1) and (2).
_A1, _A2, _A3, _A4 = 1.340264, -0.081106, 0.000893, 0.003796
_M = math.sqrt(3.0) / 2.0


def equal_earth(points: Points, central_meridian: float = 0.0) -> Points:
    """Longitude and latitude in degrees to Equal Earth's plane (unit sphere, y up).

    Examples
    --------
    >>> import numpy as np
    >>> equal_earth(np.array([[0.0, 0.0], [180.0, 0.0]])).round(6).tolist()
    [[0.0, 0.0], [2.7066, 0.0]]
    """
    longitude = np.radians(points[:, 0] - central_meridian)
    theta = np.arcsin(_M * np.sin(np.radians(points[:, 1])))
    t2 = theta * theta
    t6 = t2 * t2 * t2
    x = 2.0 * math.sqrt(3.0) * longitude * np.cos(theta) / (3.0 * (9.0 * _A4 * t6 * t2 + 7.0 * _A3 * t6 + 3.0 * _A2 * t2 + _A1))
    y = theta * (_A1 + _A2 * t2 + t6 * (_A3 + _A4 * t2))
    return np.column_stack([x, y])


def albers(points: Points, parallels: tuple[float, float], origin: tuple[float, float]) -> Points:
    """Longitude and latitude in degrees to Albers's equal-area conic (unit sphere, y up).

    ``parallels`` are the two standard parallels, ``origin`` the (longitude,
    latitude) at the plane's origin. Snyder (1987), *Map Projections: A
    Working Manual*, USGS Professional Paper 1395, equations (14-1) to (14-6).

    Examples
    --------
    >>> import numpy as np
    >>> albers(np.array([[-96.0, 37.5]]), (29.5, 45.5), (-96.0, 37.5)).round(12).tolist()
    [[0.0, 0.0]]
    """
    phi1, phi2 = np.radians(parallels)
    n = (math.sin(phi1) + math.sin(phi2)) / 2.0
    c = math.cos(phi1) ** 2 + 2.0 * n * math.sin(phi1)
    rho0 = math.sqrt(c - 2.0 * n * math.sin(math.radians(origin[1]))) / n
    longitude = (points[:, 0] - origin[0] + 180.0) % 360.0 - 180.0
    rho = np.sqrt(c - 2.0 * n * np.sin(np.radians(points[:, 1]))) / n
    theta = n * np.radians(longitude)
    return np.column_stack([rho * np.sin(theta), rho0 - rho * np.cos(theta)])


@dataclass(frozen=True)
class _Region:
    """A part of a composite map: which rings it takes, and how it is projected and placed."""

    name: str
    takes: Callable[[float, float], bool]
    project: Callable[[Points], Points]
    scale: float


def _us_regions() -> list[_Region]:
    # The parallels and origins of the US Geological Survey's national maps
    # (Snyder 1987, p. 98) for the lower 48 states and Alaska, and the usual
    # ones of Hawaii's and Puerto Rico's maps. Alaska is drawn at a third of the
    # lower 48's scale, as on every national map, or it would fill the page.
    return [
        # The Northwestern Hawaiian Islands, specks strung over 2,000 km of
        # ocean, are left off, as the Census Bureau's national maps leave them.
        _Region(_LEFT_OFF, lambda x, y: x < -161.5 and 22.8 < y < 29.0, lambda p: p, 0.0),
        _Region("Alaska", lambda x, y: y > 50.0 and (x < -129.0 or x > 170.0), lambda p: albers(p, (55.0, 65.0), (-154.0, 50.0)), 0.35),
        _Region("Hawaii", lambda x, y: -162.0 < x < -154.0 and 18.0 < y < 23.0, lambda p: albers(p, (8.0, 18.0), (-157.0, 3.0)), 1.0),
        _Region("Puerto Rico", lambda x, y: -68.0 < x < -64.0 and 17.0 < y < 19.0, lambda p: albers(p, (8.0, 18.0), (-66.0, 18.0)), 1.5),
        _Region("the lower 48", lambda x, y: True, lambda p: albers(p, (29.5, 45.5), (-96.0, 37.5)), 1.0),
    ]


_LEFT_OFF = "the Northwestern Hawaiian Islands"


def _centre(ring: Ring) -> tuple[float, float]:
    return float(ring[:, 0].mean()), float(ring[:, 1].mean())


def kind_of(shapes: Sequence[Shape]) -> str:
    """Which projection suits ``shapes``: ``"world"``, ``"us"`` (lower 48 with insets) or ``"region"``."""
    regions = _us_regions()
    seen = set()
    in_us = True
    for shape in shapes:
        for polygon in shape.polygons:
            x, y = _centre(polygon[0])
            region = next(r for r in regions if r.takes(x, y))
            if region.name == "the lower 48" and not (-125.0 < x < -66.0 and 24.0 < y < 50.0):
                in_us = False
            seen.add(region.name)
    if in_us and "the lower 48" in seen and len(seen) > 1:
        return "us"
    west, south, east, north = bounds(shapes)
    return "world" if east - west > 100.0 or north - south > 60.0 else "region"


@dataclass(frozen=True)
class Projected:
    """Shapes on the plane: per shape, its polygons' rings and its point (y up).

    Attributes
    ----------
    polygons : list of list of list of ndarray
        Per shape, its polygons, each a list of rings in plane coordinates.
    points : list of ndarray or None
        Per shape, its dot's position on the plane, or None.
    name : str
        The projection in words, for the map's note.
    insets : list of str
        The regions drawn apart from the main map, at their own place and scale.
    """

    polygons: list[list[list[Points]]]
    points: list[Points | None]
    name: str
    insets: list[str]


def _project_each(shapes: Sequence[Shape], project: Callable[[Points], Points]) -> Projected:
    # One call over every ring at once: a map of 85,000 polygons would
    # otherwise spend its time in 85,000 small numpy calls.
    rings = [ring for shape in shapes for polygon in shape.polygons for ring in polygon]
    lengths = np.cumsum([len(ring) for ring in rings])[:-1]
    flat = iter(np.split(project(np.concatenate(rings)), lengths) if rings else [])
    polygons = [[[next(flat) for _ in polygon] for polygon in shape.polygons] for shape in shapes]
    points = [None if s.point is None else project(np.array([s.point]))[0] for s in shapes]
    return Projected(polygons, points, "", [])


def _us(shapes: Sequence[Shape]) -> Projected:
    regions = _us_regions()
    main = regions[-1]
    placed: list[list[list[tuple[_Region, Points]]]] = []
    dots: list[tuple[_Region, Points] | None] = []
    for shape in shapes:
        shape_polygons = []
        for polygon in shape.polygons:
            region = next(r for r in regions if r.takes(*_centre(polygon[0])))
            if region.name != _LEFT_OFF:
                shape_polygons.append([(region, region.project(ring)) for ring in polygon])
        placed.append(shape_polygons)
        if shape.point is None:
            dots.append(None)
        else:
            region = next(r for r in regions[1:] if r.takes(*shape.point))
            dots.append((region, region.project(np.array([shape.point]))[0]))
    extents: dict[str, list[Points]] = {}
    for shape_polygons in placed:
        for placed_rings in shape_polygons:
            region, outer = placed_rings[0]
            extents.setdefault(region.name, []).append(outer)
    if main.name not in extents:  # no lower 48: each inset is then a map of its own
        return _project_each(shapes, lambda p: next(r for r in regions[1:] if r.takes(*_centre(p))).project(p))
    low: dict[str, Points] = {name: np.vstack([ring.min(axis=0) for ring in rings]).min(axis=0) for name, rings in extents.items()}
    high: dict[str, Points] = {name: np.vstack([ring.max(axis=0) for ring in rings]).max(axis=0) for name, rings in extents.items()}
    left, bottom = low[main.name]
    right, _ = high[main.name]
    width = right - left
    # Insets along the bottom edge, under the Pacific and off Florida, where
    # the lower 48 leave the page empty: Alaska and Hawaii from the left,
    # Puerto Rico on the right.
    offsets: dict[str, Points] = {main.name: np.zeros(2)}
    cursor = left
    for region in regions[1:-1]:
        if region.name not in extents:
            continue
        size = (high[region.name] - low[region.name]) * region.scale
        if region.name == "Puerto Rico":
            target = np.array([right - 0.12 * width - size[0], bottom - 0.02 * width])
        else:
            target = np.array([cursor, bottom - 0.02 * width])
            cursor += size[0] + 0.03 * width
        offsets[region.name] = target - low[region.name] * region.scale

    def place(region: _Region, points: Points) -> Points:
        return points * region.scale + offsets[region.name]

    polygons = [[[place(region, ring) for region, ring in polygon] for polygon in shape_polygons] for shape_polygons in placed]
    points = [None if dot is None else place(*dot) for dot in dots]
    insets = [region.name for region in regions[1:-1] if region.name in extents]
    return Projected(polygons, points, "", insets)


def project(shapes: Sequence[Shape], kind: str) -> Projected:
    """``shapes`` on an equal-area plane suited to ``kind`` (see :func:`kind_of`)."""
    if kind == "world":
        found = _project_each(shapes, equal_earth)
        return Projected(found.polygons, found.points, "Equal Earth projection", [])
    if kind == "us":
        found = _us(shapes)
        insets = found.insets
        note = "Albers equal-area conic projection"
        if insets:
            listed = insets[0] if len(insets) == 1 else ", ".join(insets[:-1]) + " and " + insets[-1]
            note += f"; {listed} drawn apart, {'each at its own scale' if len(insets) > 1 else 'at its own scale'}"
        return Projected(found.polygons, found.points, note, insets)
    west, south, east, north = bounds(shapes)
    span = north - south
    parallels = (south + span / 6.0, north - span / 6.0)
    if abs(parallels[0] + parallels[1]) < 1e-6:  # a region centred on the equator: a conic needs n != 0
        parallels = (parallels[0] + 1.0, parallels[1] + 1.0)
    origin = ((west + east) / 2.0, (south + north) / 2.0)
    found = _project_each(shapes, lambda p: albers(p, parallels, origin))
    return Projected(found.polygons, found.points, "Albers equal-area conic projection", [])
