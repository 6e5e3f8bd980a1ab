"""Colour classes of a choropleth: the breaks between them and their colours,
the same in the report's figures and in the explorer's page.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

__all__ = ["SEQUENTIAL", "DIVERGING", "NO_SCORE", "NO_UNIT_LINE", "Classes", "quantile_classes", "change_classes"]

#: viridis at seven even steps: ordered in lightness, told apart by readers
#: with any common colour-vision deficiency, and printable in grey.
SEQUENTIAL = ("#440154", "#443983", "#31688e", "#21918c", "#35b779", "#90d743", "#fde725")
#: ColorBrewer's PuOr with seven classes (Brewer, colorbrewer2.org, marked
#: colour-blind safe there): orange for a fall, purple for a rise, pale for none.
DIVERGING = ("#b35806", "#f1a340", "#fee0b6", "#f7f7f7", "#d8daeb", "#998ec3", "#542788")
#: A unit in the table without a score.
NO_SCORE = "#bdbdbd"
#: The hatching of a shape that no unit of the table matched (on white).
NO_UNIT_LINE = "#c8c8c8"
#: At most this many classes; fewer when there are few units to class.
CLASSES = 7


@dataclass(frozen=True)
class Classes:
    """Values in classes: what each class spans, its colour, and each value's class.

    Attributes
    ----------
    edges : list of float
        The class boundaries, lowest first (one more than the classes).
    colours : list of str
        Each class's colour.
    labels : list of str
        Each class's span in words, for a legend.
    index : ndarray of int
        Per value, its class, or -1 for a missing value.
    """

    edges: list[float]
    colours: list[str]
    labels: list[str]
    index: npt.NDArray[np.int64]


def _digits(edges: npt.NDArray[np.float64]) -> int:
    """Decimals that tell the edges apart, as few as possible."""
    steps = np.diff(np.unique(edges))
    if not len(steps):
        return 0
    return int(min(6, max(0, -math.floor(math.log10(steps.min())) + 1 if steps.min() > 0 else 0)))


def _text(value: float, digits: int) -> str:
    text = f"{value:,.{digits}f}"
    return text[1:] if text.startswith("-") and float(text.replace(",", "")) == 0 else text


def quantile_classes(values: npt.ArrayLike, count: int = CLASSES) -> Classes:
    """Classes holding about as many units each (quantiles), coloured light for the highest.

    Examples
    --------
    >>> found = quantile_classes([1.0, 2.0, 3.0, 4.0, float("nan")], count=2)
    >>> found.labels, found.index.tolist()
    (['1.0 – 2.5', '2.5 – 4.0'], [0, 0, 1, 1, -1])
    """
    array = np.asarray(values, dtype=np.float64)
    finite = array[np.isfinite(array)]
    index = np.full(len(array), -1, dtype=np.int64)
    if not finite.size:
        return Classes([], [], [], index)
    count = max(1, min(count, len(np.unique(finite)), max(2, finite.size // 2)))
    edges = np.unique(np.quantile(finite, np.linspace(0.0, 1.0, count + 1)))
    if len(edges) < 2:
        edges = np.array([edges[0], edges[0]])
    inner = edges[1:-1]
    found = np.isfinite(array)
    index[found] = np.searchsorted(inner, array[found], side="right")
    classes = len(edges) - 1
    picks = np.rint(np.linspace(0, len(SEQUENTIAL) - 1, classes)).astype(int) if classes > 1 else np.array([3])
    digits = _digits(edges)
    labels = [f"{_text(a, digits)} – {_text(b, digits)}" for a, b in zip(edges[:-1], edges[1:])]
    return Classes([float(e) for e in edges], [SEQUENTIAL[i] for i in picks], labels, index)


def change_classes(values: npt.ArrayLike) -> Classes:
    """Seven classes of a change in rank: three of falls, none, three of rises, split at thirds of the moves.

    Examples
    --------
    >>> found = change_classes([-4.0, -1.0, 0.0, 2.0, 6.0])
    >>> found.labels[3], found.index.tolist()
    ('no change', [1, 2, 3, 4, 6])
    """
    array = np.asarray(values, dtype=np.float64)
    finite = np.abs(array[np.isfinite(array)])
    moved = finite[finite > 0]
    thirds = np.quantile(moved, [1 / 3, 2 / 3]) if moved.size else np.array([1.0, 2.0])
    low = max(1.0, float(np.ceil(thirds[0])))
    high = max(low + 1.0, float(np.ceil(thirds[1])))
    edges = [-math.inf, -high, -low, -0.5, 0.5, low, high, math.inf]
    index = np.full(len(array), -1, dtype=np.int64)
    found = np.isfinite(array)
    # A move exactly on a break belongs to the smaller class ("fell 3 to 4" holds 4).
    inner, shown = np.array(edges[1:-1]), array[found]
    index[found] = np.where(
        shown < 0, np.searchsorted(inner, shown, side="right"), np.searchsorted(inner, shown, side="left")
    )
    labels = [
        f"fell more than {high:g}",
        f"fell {low + 1:g} to {high:g}" if high > low + 1 else f"fell {high:g}",
        f"fell 1 to {low:g}" if low > 1 else "fell 1",
        "no change",
        f"rose 1 to {low:g}" if low > 1 else "rose 1",
        f"rose {low + 1:g} to {high:g}" if high > low + 1 else f"rose {high:g}",
        f"rose more than {high:g}",
    ]
    return Classes(edges, list(DIVERGING), labels, index)
