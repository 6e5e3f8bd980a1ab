"""TopoJSON decoded into GeoJSON features.

TopoJSON stores each border once, as an arc shared by the shapes on either
side, usually quantised (integers, each a difference from the one before,
with a transform to longitude and latitude). The format is small and fully
documented (TopoJSON 1.0), and decoding it is a few lines; the libraries
that read it pull in a whole geometry stack.
"""

from __future__ import annotations

from collections.abc import Iterator, Mapping
from typing import Any

import numpy as np
import numpy.typing as npt

from indexfuse_tools._geo.shapes import GeometryError

__all__ = ["features"]


def _arcs(topology: Mapping[str, Any], source: str) -> list[npt.NDArray[np.float64]]:
    arcs = topology.get("arcs")
    if not isinstance(arcs, list):
        raise GeometryError(f"{source}: a TopoJSON Topology needs a list of arcs")
    transform = topology.get("transform")
    decoded = []
    for number, arc in enumerate(arcs):
        try:
            points = np.asarray(arc, dtype=np.float64)
        except (TypeError, ValueError):
            raise GeometryError(f"{source}, arc {number}: an arc must be a list of positions of numbers") from None
        if points.ndim != 2 or points.shape[1] < 2 or len(points) < 2:
            raise GeometryError(f"{source}, arc {number}: an arc needs at least two positions")
        points = points[:, :2]
        if transform is not None:
            try:
                scale = np.asarray(transform["scale"], dtype=np.float64)
                translate = np.asarray(transform["translate"], dtype=np.float64)
            except (KeyError, TypeError, ValueError):
                raise GeometryError(f"{source}: the transform needs a scale and a translate of two numbers") from None
            points = np.cumsum(points, axis=0) * scale + translate
        decoded.append(points)
    return decoded


def _ring(references: Any, arcs: list[npt.NDArray[np.float64]], where: str) -> list[list[float]]:
    if not isinstance(references, list) or not references:
        raise GeometryError(f"{where}: a ring must be a list of arc indices")
    parts = []
    for position, reference in enumerate(references):
        if not isinstance(reference, int) or isinstance(reference, bool) or not -len(arcs) <= reference < len(arcs):
            raise GeometryError(f"{where}: {reference!r:.20} is no arc of the topology")
        # ~i (that is -i - 1) is arc i walked backwards.
        arc = arcs[reference] if reference >= 0 else arcs[~reference][::-1]
        parts.append(arc if position == 0 else arc[1:])
    ring: list[list[float]] = np.concatenate(parts).tolist()
    return ring


def _geometry(geometry: Mapping[str, Any], arcs: list[npt.NDArray[np.float64]], transform: Any, where: str) -> Any:
    kind = geometry.get("type")
    if kind == "Polygon":
        return {"type": kind, "coordinates": [_ring(ring, arcs, where) for ring in geometry.get("arcs") or []]}
    if kind == "MultiPolygon":
        polygons = geometry.get("arcs") or []
        return {"type": kind, "coordinates": [[_ring(ring, arcs, where) for ring in polygon] for polygon in polygons]}
    if kind in ("Point", "MultiPoint"):
        coordinates = geometry.get("coordinates")
        if transform is not None and coordinates:
            scale, translate = np.asarray(transform["scale"]), np.asarray(transform["translate"])
            points = np.atleast_2d(np.asarray(coordinates, dtype=np.float64)) * scale + translate
            coordinates = points[0].tolist() if kind == "Point" else points.tolist()
        return {"type": kind, "coordinates": coordinates}
    if kind is None:
        return None
    return {"type": kind, "coordinates": geometry.get("coordinates")}  # refused by the GeoJSON reader, by name


def _flatten(geometry: Mapping[str, Any]) -> Iterator[Mapping[str, Any]]:
    if geometry.get("type") == "GeometryCollection":
        for part in geometry.get("geometries") or ():
            if isinstance(part, Mapping):
                yield from _flatten(part)
    else:
        yield geometry


def features(topology: Mapping[str, Any], source: str, layer: str | None = None) -> Iterator[dict[str, Any]]:
    """The features of one object of ``topology`` as GeoJSON Feature mappings.

    Parameters
    ----------
    topology : mapping
        A parsed TopoJSON document.
    source : str
        The file, as messages name it.
    layer : str, optional
        The object to read; needed when the topology holds more than one.
    """
    objects = topology.get("objects")
    if not isinstance(objects, Mapping) or not objects:
        raise GeometryError(f"{source}: a TopoJSON Topology needs at least one object")
    if layer is None:
        if len(objects) > 1:
            raise GeometryError(f"{source}: the topology holds the objects {', '.join(map(repr, objects))}; name one with layer=")
        layer = next(iter(objects))
    if layer not in objects:
        raise GeometryError(f"{source}: the topology holds no object {layer!r}; it holds {', '.join(map(repr, objects))}")
    arcs = _arcs(topology, source)
    transform = topology.get("transform")
    found = objects[layer]
    if not isinstance(found, Mapping):
        raise GeometryError(f"{source}: the object {layer!r} is not a geometry")
    for number, geometry in enumerate(_flatten(found)):
        properties = geometry.get("properties") or {}
        where = f"{source}, object {layer!r}, geometry {number}"
        feature: dict[str, Any] = {
            "type": "Feature",
            "properties": properties,
            "geometry": _geometry(geometry, arcs, transform, where),
        }
        if "id" in geometry:
            feature["id"] = geometry["id"]
        yield feature
