"""Shapes drawn: projected, fitted to a map of fixed width, simplified,
rounded to whole map units, and written as compact SVG path data.

A map is :data:`MAP_WIDTH` units wide. Coordinates are whole units: half a
pixel on a map shown 1,000 pixels wide, finer than a reader sees, and short
to write. Path data are relative ("l" with the step from the last point), so
each number is the small step along a border, not a position.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from indexfuse_tools._geo.project import Projected, project
from indexfuse_tools._geo.shapes import Shape, ring_area
from indexfuse_tools._geo.simplify import simplify_rings

__all__ = ["MAP_WIDTH", "DEFAULT_TOLERANCE", "DOT_RADIUS", "Drawn", "draw"]

#: The map's width in its own units; its height follows from the shapes.
MAP_WIDTH = 2000
#: How far a simplified border may stray from the original, as a share of the
#: map's width: 0.0003 is 0.6 map units, a third of a pixel on a map shown
#: 1,000 pixels wide. Larger values give lighter pages and coarser borders.
DEFAULT_TOLERANCE = 0.0003
#: Radius, in map units, of the dot that marks a place too small to see.
DOT_RADIUS = 6
# A shape whose extent is under this many map units both ways gets a dot, on a
# map of at most _DOTTED_SHAPES shapes (a country, a state): on a map of
# thousands of small areas the small ones are the dense cities, not islands.
_DOT_BELOW = 12
_DOTTED_SHAPES = 1000
_MARGIN = 10

IntRing = npt.NDArray[np.int64]


@dataclass(frozen=True)
class Drawn:
    """Shapes on the map, ready to draw in a page or a figure.

    Attributes
    ----------
    width, height : int
        The map's extent in map units (y grows downwards, as on a screen).
    polygons : list of list of list of ndarray
        Per shape, its polygons, each a list of integer rings (outer ring
        clockwise on screen, holes anticlockwise), not closed.
    dots : list of tuple of int or None
        Per shape, the centre of its dot, or None.
    note : str
        The projection (and insets) in words.
    """

    width: int
    height: int
    polygons: list[list[list[IntRing]]]
    dots: list[tuple[int, int] | None]
    note: str

    def path(self, number: int) -> str:
        """Shape ``number`` as SVG path data: its rings, then its dot."""
        parts = [_ring_path(ring) for polygon in self.polygons[number] for ring in polygon]
        dot = self.dots[number]
        if dot is not None:
            x, y = dot
            r = DOT_RADIUS
            parts.append(f"M{x - r} {y}a{r} {r} 0 1 0 {2 * r} 0a{r} {r} 0 1 0 {-2 * r} 0z")
        return "".join(parts)


def _numbers(values: npt.NDArray[np.int64]) -> str:
    # A minus sign separates two numbers as well as a space does.
    return " ".join(map(str, values.tolist())).replace(" -", "-")


def _ring_path(ring: IntRing) -> str:
    steps = np.diff(ring, axis=0).ravel()
    return f"M{ring[0, 0]} {ring[0, 1]}l{_numbers(steps)}z".replace(" -", "-")


def draw(shapes: Sequence[Shape], kind: str, tolerance: float = DEFAULT_TOLERANCE) -> Drawn:
    """``shapes`` projected for ``kind`` and drawn on a map :data:`MAP_WIDTH` units wide.

    Parameters
    ----------
    shapes : sequence of Shape
        The shapes, in the order the map keeps.
    kind : {"world", "us", "region"}
        The projection (see :func:`.project.kind_of`).
    tolerance : float
        How far a simplified border may stray, as a share of the map's width.
    """
    projected = project(shapes, kind)
    scale, left, top, width, height = _fit(projected)
    flat = [ring for shape in projected.polygons for polygon in shape for ring in polygon]
    on_map = [np.column_stack([(ring[:, 0] - left) * scale, (top - ring[:, 1]) * scale]) for ring in flat]
    simplified = simplify_rings(on_map, tolerance * MAP_WIDTH)
    rounded = iter(_rounded(simplified))
    polygons: list[list[list[IntRing]]] = []
    for shape in projected.polygons:
        kept_shape = []
        for polygon in shape:
            rings = [next(rounded) for _ in polygon]
            outer, holes = rings[0], [ring for ring in rings[1:] if len(ring) >= 3]
            if len(outer) < 3:
                continue  # smaller than a map unit: the shape's dot or speck shows it
            kept_shape.append([_oriented(outer, True)] + [_oriented(hole, False) for hole in holes])
        polygons.append(kept_shape)
    dots = [
        _dot(shape, points, kept, (left, top, scale), len(shapes))
        for shape, points, kept in zip(projected.polygons, projected.points, polygons)
    ]
    return Drawn(width, height, polygons, dots, projected.name)


def _rounded(rings: list[npt.NDArray[np.float64]]) -> list[IntRing]:
    """Each ring on whole map units, without a point that repeats the one before (the last
    compared with the first), in one pass over every ring."""
    if not rings:
        return []
    lengths = np.array([len(ring) for ring in rings])
    starts = np.cumsum(lengths) - lengths
    points = np.rint(np.concatenate(rings)).astype(np.int64)
    previous = np.roll(points, 1, axis=0)
    previous[starts] = points[starts + lengths - 1]
    keep = np.any(points != previous, axis=1)
    # A ring whose every point is the same keeps one.
    whole = np.add.reduceat(keep.astype(np.int64), starts)
    keep[starts[whole == 0]] = True
    kept = np.add.reduceat(keep.astype(np.int64), starts)
    return np.split(points[keep], np.cumsum(kept)[:-1])


def _oriented(ring: IntRing, outer: bool) -> IntRing:
    # On screen (y down) a positive shoelace area is clockwise.
    x, y = ring[:, 0], ring[:, 1]
    clockwise = int(np.dot(x[:-1], y[1:]) - np.dot(x[1:], y[:-1]) + x[-1] * y[0] - x[0] * y[-1]) > 0
    return ring if clockwise == outer else ring[::-1]


def _fit(projected: Projected) -> tuple[float, float, float, int, int]:
    """Scale and top-left corner that fit every shape into the map's width, and the map's size."""
    extents = [ring for shape in projected.polygons for polygon in shape for ring in polygon[:1]]
    extents += [point[None, :] for point in projected.points if point is not None]
    low = np.min([ring.min(axis=0) for ring in extents], axis=0)
    high = np.max([ring.max(axis=0) for ring in extents], axis=0)
    span = np.maximum(high - low, 1e-12)
    scale = (MAP_WIDTH - 2 * _MARGIN) / span[0]
    height = int(math.ceil(span[1] * scale)) + 2 * _MARGIN
    return float(scale), float(low[0] - _MARGIN / scale), float(high[1] + _MARGIN / scale), MAP_WIDTH, height


def _dot(
    shape: list[list[npt.NDArray[np.float64]]],
    point: npt.NDArray[np.float64] | None,
    kept: list[list[IntRing]],
    fit: tuple[float, float, float],
    count: int,
) -> tuple[int, int] | None:
    left, top, scale = fit

    def on_map(xy: npt.NDArray[np.float64]) -> tuple[int, int]:
        return int(round((xy[0] - left) * scale)), int(round((top - xy[1]) * scale))

    if not shape:
        return None if point is None else on_map(point)
    if kept and count > _DOTTED_SHAPES:
        return None
    outers = np.concatenate([polygon[0] for polygon in shape])
    extent = (outers.max(axis=0) - outers.min(axis=0)) * scale
    small = extent.max() < _DOT_BELOW
    if kept and not (small and count <= _DOTTED_SHAPES):
        return None
    if point is not None:
        return on_map(point)
    largest = max((polygon[0] for polygon in shape), key=lambda ring: abs(ring_area(ring)))
    return on_map(largest.mean(axis=0))
