"""Units on a map: shapes read from a file, a geopandas table or a bundled
set, joined to the units by a key, projected, simplified and drawn.

- :mod:`.read` and :mod:`.topojson`: GeoJSON and TopoJSON with ``json``
  alone; other files and geopandas tables through the ``maps`` extra;
- :mod:`.bundled` and :mod:`.aliases`: the world's countries and the US
  states and counties, shipped with the package;
- :mod:`.keys`: which shape is whose, and what is left over;
- :mod:`.project`, :mod:`.simplify` and :mod:`.render`: equal-area
  projections, simplification, and the shapes as SVG path data.
"""

from __future__ import annotations

import functools
import os
from collections.abc import Hashable, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from indexfuse_tools._geo.bundled import BUNDLED, BUNDLED_KEYS, KINDS, bundled
from indexfuse_tools._geo.keys import Joined, join, match_text
from indexfuse_tools._geo.project import kind_of
from indexfuse_tools._geo.read import MAX_GEOMETRY_BYTES, is_json, read_frame, read_json, read_mapping, read_with_gdal
from indexfuse_tools._geo.render import DEFAULT_TOLERANCE, DOT_RADIUS, MAP_WIDTH, Drawn, draw
from indexfuse_tools._geo.shapes import GeometryError, Shape

__all__ = [
    "BUNDLED",
    "DEFAULT_TOLERANCE",
    "DOT_RADIUS",
    "MAP_WIDTH",
    "MAX_GEOMETRY_BYTES",
    "Drawn",
    "Geometry",
    "GeometryError",
    "Joined",
    "Placed",
    "Shape",
    "as_key",
    "match_text",
    "place",
    "read_geometry",
    "shape_values",
]


class Geometry:
    """Shapes to put units on a map, read once: give it as ``geometry=`` to
    :func:`report` and :func:`explorer`, or give them what it is read from.

    Made by :func:`read_geometry`; ``len()`` is its number of shapes.
    """

    def __init__(self, shapes: tuple[Shape, ...], source: str, kind: str, tolerance: float, bundled: str | None) -> None:
        self.shapes = shapes
        #: What the shapes were read from, as messages name it.
        self.source = source
        #: The projection they are drawn in: "world", "us" or "region".
        self.kind = kind
        #: How far a simplified border may stray, as a share of the map's width.
        self.tolerance = tolerance
        #: The bundled set's name, or None.
        self.bundled = bundled

    def __len__(self) -> int:
        return len(self.shapes)

    def __repr__(self) -> str:
        return f"<Geometry of {len(self.shapes):,} shapes from {self.source}>"

    @functools.cached_property
    def drawn(self) -> Drawn:
        """The shapes projected and simplified on a map, computed once."""
        return draw(self.shapes, self.kind, self.tolerance)


def _check_tolerance(tolerance: Any) -> float:
    if isinstance(tolerance, bool) or not isinstance(tolerance, (int, float)) or not 0 <= tolerance < 0.1:
        raise ValueError(
            f"tolerance must be a share of the map's width from 0 (no simplification) to below 0.1, got {tolerance!r}"
        )
    return float(tolerance)


def read_geometry(
    source: Any,
    *,
    tolerance: float = DEFAULT_TOLERANCE,
    layer: str | None = None,
) -> Geometry:
    """Read the shapes of a map: a file, a geopandas table, or a bundled set.

    Parameters
    ----------
    source : str, os.PathLike, GeoDataFrame, dict or Geometry
        ``"world"`` (the countries of Natural Earth), ``"us-states"`` or
        ``"us-counties"`` (US Census Bureau boundaries), shipped with the
        package; a GeoJSON or TopoJSON file (read without any geometry
        library), or any other file GDAL reads (shapefile, GeoPackage...,
        needing ``pip install indexfuse[maps]``); a geopandas
        ``GeoDataFrame``; a GeoJSON or TopoJSON document already parsed; or
        a :class:`Geometry`, returned as it is.
    tolerance : float, default 0.0003
        How far a simplified border may stray from the original, as a share
        of the map's width (0.0003: a third of a pixel on a map shown 1,000
        pixels wide). Larger values make lighter pages and coarser borders;
        0 keeps every point.
    layer : str, optional
        The layer of a GeoPackage, or the object of a TopoJSON file, when
        it holds more than one.

    Returns
    -------
    Geometry

    Raises
    ------
    GeometryError
        A ``ValueError`` naming the file and the feature: a geometry that
        is empty, not a polygon, malformed, or not in longitude and
        latitude (a projected file without its CRS); a file larger than
        ``MAX_GEOMETRY_BYTES``; a name that is neither a file nor a bundled set.
    ImportError
        For a file other than GeoJSON or TopoJSON, or a ``GeoDataFrame``,
        without geopandas.

    Examples
    --------
    >>> from indexfuse_tools import read_geometry
    >>> world = read_geometry("world")
    >>> len(world) > 200
    True
    """
    tolerance = _check_tolerance(tolerance)
    if isinstance(source, Geometry):
        return source
    if isinstance(source, str) and source in BUNDLED:
        return Geometry(bundled(source), f"the bundled set {source!r}", KINDS[source], tolerance, source)
    if isinstance(source, (str, os.PathLike)):
        path = Path(source)
        if not path.is_file():
            raise GeometryError(
                f"geometry {str(source)!r}: no such file, and no bundled set of that name "
                f"({', '.join(BUNDLED)})"
            )
        shapes = read_json(path, layer) if is_json(path) else read_with_gdal(path, layer)
        where = str(path)
    elif isinstance(source, Mapping):
        where = "the GeoJSON given"
        shapes = read_mapping(source, where, layer)
    elif type(source).__name__ == "GeoDataFrame":
        where = "the GeoDataFrame given"
        shapes = read_frame(source, where)
    else:
        raise TypeError(
            "geometry must be a bundled set's name (" + ", ".join(BUNDLED) + "), a path to a geometry file, "
            f"a geopandas GeoDataFrame, a GeoJSON mapping or a Geometry; got {type(source).__name__}"
        )
    return Geometry(tuple(shapes), where, kind_of(shapes), tolerance, None)


def as_key(key: Any, function: str) -> tuple[Hashable | None, str | None]:
    """``key=`` as (the data's column or None for the row labels, the shapes' property or None)."""
    if key is None:
        return None, None
    if isinstance(key, str):
        return None, key
    if isinstance(key, tuple) and len(key) == 2 and (key[1] is None or isinstance(key[1], str)):
        return key[0], key[1]
    raise TypeError(
        f"{function}: key must be the shapes' property the row labels match (a str), or a pair "
        f"(column of the data or None for the row labels, property or None); got {key!r:.80}"
    )


@dataclass(frozen=True)
class Placed:
    """Units on a map: the shapes drawn and who is where.

    Attributes
    ----------
    geometry : Geometry
        The shapes.
    joined : Joined
        Each shape's unit, and what is left over.
    units : pandas.Index
        The units, in the order ``joined`` counts them.
    """

    geometry: Geometry
    joined: Joined
    units: pd.Index


def place(geometry: Any, key: Any, data: pd.DataFrame, units: pd.Index, function: str) -> Placed:
    """The units of ``units`` (rows of ``data``) on the map of ``geometry``, joined by ``key``.

    Parameters
    ----------
    geometry, key
        As :func:`report` and :func:`explorer` take them.
    data : pandas.DataFrame
        The table the units come from, holding the key column if ``key`` names one.
    units : pandas.Index
        The units to place, in the order the output keeps them.
    function : str
        The call, as messages name it.
    """
    found = read_geometry(geometry)
    column, property_name = as_key(key, function)
    if column is None:
        keys = list(units)
        words = "the row labels"
    else:
        if column not in data.columns:
            raise KeyError(f"{function}: key names the column {column!r}, which the data do not have")
        keys = list(data[column].reindex(units))
        words = f"the column {column!r}"
    bundled_keys = BUNDLED_KEYS[found.bundled] if found.bundled else None
    if bundled_keys is not None and property_name is not None and property_name not in bundled_keys:
        raise GeometryError(
            f"{found.source}: its shapes are matched by {', '.join(map(repr, bundled_keys))}, not {property_name!r}"
        )
    joined = join(found.shapes, keys, list(units), property_name, bundled=bundled_keys, source=found.source, column=words)
    return Placed(found, joined, units)


def shape_values(placed: Placed, values: pd.Series) -> np.ndarray:
    """Per shape, the value of its unit in ``values`` (indexed by unit), NaN for a shape without one."""
    aligned = values.reindex(placed.units).to_numpy(dtype=np.float64, na_value=np.nan)
    index = placed.joined.unit_of_shape
    result = np.full(len(index), np.nan)
    result[index >= 0] = aligned[index[index >= 0]]
    return result
