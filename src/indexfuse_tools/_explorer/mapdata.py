"""What the explorer's map carries: the shapes as SVG path data, which unit
each shape is, the values a reader may colour by besides the composite and
the rank (which the page computes), and what found no partner."""

from __future__ import annotations

import base64
import importlib.resources
from typing import Any

import numpy as np
import pandas as pd

from indexfuse_tools._geo import Placed
from indexfuse_tools._geo.classes import DIVERGING, NO_SCORE, NO_UNIT_LINE, SEQUENTIAL
from indexfuse_tools._geo.shapes import ring_area

__all__ = ["map_payload", "map_script"]

_DATA = importlib.resources.files("indexfuse_tools._explorer")


def _encode(values: Any, dtype: str) -> str:
    return base64.b64encode(np.ascontiguousarray(np.asarray(values).astype(dtype)).tobytes()).decode("ascii")


def _centres(placed: Placed) -> np.ndarray:
    """Per shape, a point inside or near it (map units): its dot, or the middle of its largest ring's extent."""
    drawn = placed.geometry.drawn
    centres = np.zeros((len(drawn.polygons), 2), dtype=np.int64)
    for number, polygons in enumerate(drawn.polygons):
        dot = drawn.dots[number]
        if dot is not None:
            centres[number] = dot
        elif polygons:
            largest = max((polygon[0] for polygon in polygons), key=lambda ring: abs(ring_area(ring.astype(np.float64))))
            centres[number] = (largest.min(axis=0) + largest.max(axis=0)) // 2
    return centres


def map_payload(
    placed: Placed,
    layers: pd.DataFrame,
    trajectories: pd.DataFrame | None,
    periods: list[Any] | None,
) -> dict[str, Any]:
    """The map's data for the page.

    Parameters
    ----------
    placed : Placed
        The units (in the page's order) on their shapes.
    layers : pandas.DataFrame
        The dimensions' values over the same units, one column each.
    trajectories : pandas.DataFrame or None
        The editions' ``rank`` by (period, unit).
    periods : list or None
        The editions' periods, in order.
    """
    drawn = placed.geometry.drawn
    centres = _centres(placed)
    paths = []
    for number in range(len(drawn.polygons)):
        path = drawn.path(number)
        if not path:  # smaller than a map unit: a speck where it is
            x, y = centres[number]
            path = f"M{x} {y}h2v2h-2z"
        paths.append(path)
    unit_of_shape = placed.joined.unit_of_shape
    editions = None
    if trajectories is not None and periods:
        ranks = [trajectories["rank"].xs(period, level=0).reindex(placed.units) for period in periods]
        editions = {"periods": [str(p) for p in periods], "ranks": [_encode(r.to_numpy(np.float64, na_value=np.nan), "<f4") for r in ranks]}
    return {
        "width": drawn.width,
        "height": drawn.height,
        "paths": paths,
        "unit": _encode(unit_of_shape, "<i4"),
        "centres": _encode(centres.ravel(), "<i4"),
        "labels": {str(i): label for i, label in zip(np.flatnonzero(unit_of_shape < 0).tolist(), placed.joined.shapes_without_unit)},
        "layers": [
            {"name": str(name), "values": _encode(layers[name].to_numpy(np.float64, na_value=np.nan), "<f4")}
            for name in layers.columns
        ],
        "editions": editions,
        "unitsWithout": [str(label) for label in placed.joined.units_without_shape],
        "shapesWithout": placed.joined.shapes_without_unit,
        "note": f"{drawn.note}. Units joined to the shapes of {placed.geometry.source} by {placed.joined.how}.",
        "palette": {"sequential": list(SEQUENTIAL), "diverging": list(DIVERGING), "noScore": NO_SCORE, "noUnitLine": NO_UNIT_LINE},
        "css": _DATA.joinpath("map.css").read_text(encoding="utf-8"),
    }


def map_script() -> str:
    """The map's script, as shipped with the package."""
    return _DATA.joinpath("map.js").read_text(encoding="utf-8")
