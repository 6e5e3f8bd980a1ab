"""Douglas and Peucker's line simplification, over every ring of a map at once.

Written here rather than taken from shapely: the maps simplify the same way
whether or not the optional geometry libraries are installed, and a map of
85,000 small polygons is simplified in one vectorised pass instead of 85,000
calls. Each ring keeps at least three corners, so no unit disappears.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

__all__ = ["simplify_rings"]

Points = npt.NDArray[np.float64]


def _split(starts: npt.NDArray[np.int64], ends: npt.NDArray[np.int64], xy: Points, tolerance: float,
           keep: npt.NDArray[np.bool_]) -> None:
    """Keep, segment by segment, the farthest point from the chord while it strays beyond ``tolerance``."""
    while len(starts):
        inner = ends - starts - 1
        live = inner > 0
        starts, ends, inner = starts[live], ends[live], inner[live]
        if not len(starts):
            return
        segment = np.repeat(np.arange(len(starts)), inner)
        first = np.cumsum(inner) - inner
        index = starts[segment] + 1 + (np.arange(int(inner.sum())) - first[segment])
        a, b = xy[starts[segment]], xy[ends[segment]]
        chord = b - a
        length = np.hypot(chord[:, 0], chord[:, 1])
        offset = xy[index] - a
        cross = np.abs(chord[:, 0] * offset[:, 1] - chord[:, 1] * offset[:, 0])
        # A degenerate chord (a ring's ends meet): the distance to the point itself.
        distance = np.where(length > 0, cross / np.where(length > 0, length, 1.0), np.hypot(offset[:, 0], offset[:, 1]))
        farthest = np.maximum.reduceat(distance, first)
        # The first point of each segment where its largest distance is reached.
        positions = np.arange(len(distance))
        chosen = np.minimum.reduceat(np.where(distance == farthest[segment], positions, len(distance)), first)
        split = farthest > tolerance
        middle = index[chosen][split]
        keep[middle] = True
        starts = np.concatenate([starts[split], middle])
        ends = np.concatenate([middle, ends[split]])


def simplify_rings(rings: Sequence[Points], tolerance: float) -> list[Points]:
    """Each open ring simplified so that no dropped point lies farther than ``tolerance`` from it.

    Parameters
    ----------
    rings : sequence of ndarray
        Open rings (the first point not repeated), each (n, 2), n >= 3.
    tolerance : float
        The largest distance, in the rings' units, from a dropped point to
        the simplified ring; 0 keeps every point.

    Returns
    -------
    list of ndarray
        The rings simplified, in order; each keeps at least three points.

    Examples
    --------
    >>> import numpy as np
    >>> square = np.array([[0, 0], [1, 0.01], [2, 0], [2, 2], [0, 2]], dtype=float)
    >>> simplify_rings([square], 0.1)[0].tolist()
    [[0.0, 0.0], [2.0, 0.0], [2.0, 2.0], [0.0, 2.0]]
    """
    if tolerance <= 0 or not rings:
        return list(rings)
    lengths = np.array([len(ring) for ring in rings], dtype=np.int64)
    # Each ring is closed again for the pass, so that its last edge is simplified too.
    closed = lengths + 1
    first = np.cumsum(closed) - closed
    last = first + lengths
    xy = np.empty((int(closed.sum()), 2))
    body = np.ones(len(xy), dtype=np.bool_)
    body[last] = False
    xy[body] = np.concatenate(rings)
    xy[last] = xy[first]
    keep = np.zeros(len(xy), dtype=np.bool_)
    keep[first] = True
    keep[last] = True
    # The point farthest from each ring's first corner splits it in two halves.
    within = np.repeat(np.arange(len(rings)), closed)
    gap = np.hypot(*(xy - xy[first[within]]).T)
    gap[first] = -1.0
    gap[last] = -1.0
    farthest = np.maximum.reduceat(gap, first)
    positions = np.arange(len(gap))
    opposite = np.minimum.reduceat(np.where(gap == farthest[within], positions, len(gap)), first)
    keep[opposite] = True
    _split(np.concatenate([first, opposite]), np.concatenate([opposite, last]), xy, tolerance, keep)
    counts = np.add.reduceat(keep[body].astype(np.int64), first - np.arange(len(rings)))
    for number in np.flatnonzero(counts < 3):
        start, end = first[number], last[number]
        keep[start:end] = _third_corner(xy[start:end], keep[start:end])
    kept_lengths = np.add.reduceat((keep & body).astype(np.int64), first)
    return np.split(xy[keep & body], np.cumsum(kept_lengths)[:-1])


def _third_corner(ring: Points, mask: npt.NDArray[np.bool_]) -> npt.NDArray[np.bool_]:
    """``mask`` with the point farthest from the line through the two kept ones added."""
    mask = mask.copy()
    a, b = ring[np.flatnonzero(mask)[:2]]
    chord = b - a
    offset = ring - a
    distance = np.abs(chord[0] * offset[:, 1] - chord[1] * offset[:, 0])
    distance[mask] = -1.0
    mask[int(np.argmax(distance))] = True
    return mask
