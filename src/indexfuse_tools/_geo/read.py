"""Shapes in: GeoJSON and TopoJSON read here with ``json`` alone; shapefiles,
GeoPackages and whatever else GDAL reads, and geopandas tables, through the
optional ``maps`` extra.

Every reader hands back the same :class:`~.shapes.Shape` list, checked
feature by feature, so that a message names the file and the feature.
"""

from __future__ import annotations

import json
import os
from collections.abc import Iterator, Mapping
from pathlib import Path
from typing import Any

import numpy as np

from indexfuse_tools._geo.shapes import GeometryError, Polygon, Shape, check_point, check_ring, feature_place

__all__ = ["MAX_GEOMETRY_BYTES", "read_json", "read_mapping", "read_with_gdal", "read_frame", "text"]

#: The largest geometry file read, in bytes (256 MiB): a JSON file is read
#: whole into memory, several times its size once parsed, and a page holding
#: the shapes of a larger one would be too heavy to open. Simplify a larger
#: file first, or split it.
MAX_GEOMETRY_BYTES = 256 * 2**20

# The names under which a GeoJSON file may say that its coordinates are
# longitude and latitude (RFC 7946 takes WGS 84 as given; older files name it).
_LON_LAT = ("CRS84", "CRS:84", "EPSG:4326", "EPSG::4326", "EPSG:4269", "EPSG::4269", "CRS83", "EPSG:4258")

_INSTALL = "pip install geopandas (or indexfuse[maps])"


def text(value: Any) -> str | None:
    """A property's value as the text a key is matched against (an integral number without ``.0``)."""
    if value is None:
        return None
    if isinstance(value, bool):
        return str(value).lower()
    if isinstance(value, float) and value.is_integer():
        return str(int(value))
    if isinstance(value, (int, float, str)):
        return str(value)
    if isinstance(value, (np.integer, np.floating)):
        return text(value.item())
    return json.dumps(value, ensure_ascii=False, default=str)


def _check_size(path: Path) -> None:
    try:
        size = path.stat().st_size
    except OSError as error:
        raise GeometryError(f"{path}: cannot read the geometry file ({error.strerror or error})") from None
    if size > MAX_GEOMETRY_BYTES:
        raise GeometryError(
            f"{path}: the geometry file holds {size / 2**20:,.0f} MiB, more than the {MAX_GEOMETRY_BYTES // 2**20} MiB "
            "a map reads; simplify it first (for instance with mapshaper or ogr2ogr -simplify), or split it"
        )


def read_json(path: Path, layer: str | None = None) -> list[Shape]:
    """The shapes of a GeoJSON or TopoJSON file."""
    _check_size(path)
    try:
        document = json.loads(path.read_bytes())
    except (UnicodeDecodeError, json.JSONDecodeError) as error:
        raise GeometryError(f"{path}: not a GeoJSON or TopoJSON file: {error}") from None
    return read_mapping(document, str(path), layer)


def read_mapping(document: Any, source: str, layer: str | None = None) -> list[Shape]:
    """The shapes of a GeoJSON or TopoJSON document already parsed."""
    if not isinstance(document, Mapping):
        raise GeometryError(f"{source}: a GeoJSON or TopoJSON document is a JSON object, got {type(document).__name__}")
    kind = document.get("type")
    if kind == "Topology":
        from indexfuse_tools._geo.topojson import features

        return _shapes(features(document, source, layer), source)
    _check_crs(document, source)
    if kind == "FeatureCollection":
        found = document.get("features")
        if not isinstance(found, list):
            raise GeometryError(f"{source}: a FeatureCollection needs a list of features")
        shapes = _shapes(iter(found), source)
    elif kind == "Feature":
        shapes = _shapes(iter([document]), source)
    else:
        raise GeometryError(
            f"{source}: expected a GeoJSON FeatureCollection or Feature, or a TopoJSON Topology; got type {kind!r:.40}"
        )
    if not shapes:
        raise GeometryError(f"{source}: the file holds no feature")
    return shapes


def _check_crs(document: Mapping[str, Any], source: str) -> None:
    crs = document.get("crs")
    if crs is None:
        return
    name = str((crs.get("properties") or {}).get("name", "")) if isinstance(crs, Mapping) else str(crs)
    if not any(name.upper().replace("URN:OGC:DEF:CRS:", "").replace("OGC:1.3:", "").endswith(ok) for ok in _LON_LAT):
        raise GeometryError(
            f"{source}: the file's coordinates are in {name!r:.80}, not longitude and latitude; "
            "reproject it to longitude/latitude (EPSG:4326), or read it through geopandas and pass the table"
        )


def _shapes(features: Iterator[Any], source: str) -> list[Shape]:
    shapes = []
    for number, feature in enumerate(features):
        if not isinstance(feature, Mapping) or feature.get("type") != "Feature":
            raise GeometryError(f"{source}, feature {number}: not a GeoJSON Feature")
        properties = feature.get("properties") or {}
        if not isinstance(properties, Mapping):
            raise GeometryError(f"{source}, feature {number}: its properties must be an object")
        feature_id = text(feature.get("id"))
        where = feature_place(source, number, properties, feature_id)
        polygons, point = _geometry(feature.get("geometry"), where)
        shapes.append(Shape({str(k): text(v) for k, v in properties.items()}, polygons, point, where, feature_id))
    return shapes


def _geometry(geometry: Any, where: str) -> tuple[list[Polygon], tuple[float, float] | None]:
    if geometry is None:
        raise GeometryError(f"{where}: the feature has no geometry (null); a unit on a map needs its shape")
    if not isinstance(geometry, Mapping):
        raise GeometryError(f"{where}: its geometry must be an object")
    kind = geometry.get("type")
    coordinates = geometry.get("coordinates")
    if kind == "GeometryCollection":
        polygons: list[Polygon] = []
        point = None
        for part in geometry.get("geometries") or ():
            found, dot = _geometry(part, where)
            polygons.extend(found)
            point = point or dot
        if not polygons and point is None:
            raise GeometryError(f"{where}: the geometry is empty")
        return polygons, point
    if kind in ("Point", "MultiPoint"):
        first = coordinates[0] if kind == "MultiPoint" and coordinates else coordinates
        if first is None or len(first) == 0:
            raise GeometryError(f"{where}: the geometry is empty")
        return [], check_point(first, where)
    parts: Any
    if kind == "Polygon":
        parts = [coordinates]
    elif kind == "MultiPolygon":
        parts = coordinates
    elif kind in ("LineString", "MultiLineString"):
        raise GeometryError(f"{where}: a {kind} is a line, and a unit on a map is an area (Polygon or MultiPolygon)")
    else:
        raise GeometryError(f"{where}: unknown geometry type {kind!r:.40}; expected Polygon or MultiPolygon")
    if not isinstance(parts, (list, tuple)) or not parts or not all(isinstance(part, (list, tuple)) and part for part in parts):
        raise GeometryError(f"{where}: the geometry is empty")
    return [[check_ring(ring, where) for ring in part] for part in parts], None


def _require_geopandas() -> Any:
    try:
        import geopandas
    except ImportError:
        raise ImportError(f"reading shapefiles, GeoPackages and geopandas tables needs geopandas: {_INSTALL}") from None
    return geopandas


def read_with_gdal(path: Path, layer: str | None = None) -> list[Shape]:
    """The shapes of any file GDAL reads (shapefile, GeoPackage...), through pyogrio and geopandas."""
    _check_size(path)
    geopandas = _require_geopandas()
    try:
        frame = geopandas.read_file(path, layer=layer, engine="pyogrio")
    except Exception as error:  # GDAL's errors come in many classes; the message is what matters
        raise GeometryError(f"{path}: cannot read it as a geometry file: {error}") from None
    return read_frame(frame, str(path))


def read_frame(frame: Any, source: str) -> list[Shape]:
    """The shapes of a geopandas ``GeoDataFrame``, reprojected to longitude and latitude where it says it is not."""
    _require_geopandas()
    if getattr(frame, "crs", None) is not None and not frame.crs.is_geographic:
        frame = frame.to_crs(4326)
    if frame.geometry.isna().any():
        number = int(np.argmax(frame.geometry.isna().to_numpy()))
        properties = {str(k): v for k, v in frame.drop(columns=frame.geometry.name).iloc[number].items()}
        raise GeometryError(f"{feature_place(source, number, properties)}: the feature has no geometry")
    return _shapes(iter(frame.__geo_interface__["features"]), source)


def is_json(path: Path) -> bool:
    """Whether ``path`` names a GeoJSON or TopoJSON file, by its name."""
    name = path.name.lower()
    return name.endswith((".json", ".geojson", ".topojson"))


def path_of(source: str | os.PathLike[str]) -> Path:
    return Path(source)
