"""Labels set beside a chart, one per marked point, that never overprint.

A chart that names a few of many points sets their labels in a column at its
edge, each as near its point's height as the others allow, and joins each to
its point with a thin line.
"""

from __future__ import annotations

import numpy as np

__all__ = ["spread"]


def _nondecreasing(values: np.ndarray) -> np.ndarray:
    """The nondecreasing sequence nearest ``values`` in least squares (pool adjacent violators)."""
    means: list[float] = []
    sizes: list[int] = []
    for value in values:
        means.append(float(value))
        sizes.append(1)
        # A block below the one before it merges with it, into their mean,
        # until the blocks rise again.
        while len(means) > 1 and means[-2] > means[-1]:
            size = sizes[-2] + sizes[-1]
            means[-2] = (means[-2] * sizes[-2] + means[-1] * sizes[-1]) / size
            sizes[-2] = size
            means.pop()
            sizes.pop()
    return np.repeat(means, sizes)


def spread(wanted: np.ndarray, gap: float, low: float = 0.0, high: float = 1.0) -> np.ndarray:
    """Positions as near ``wanted`` as possible, at least ``gap`` apart, within ``low`` .. ``high``.

    Parameters
    ----------
    wanted : numpy.ndarray
        Where each label would sit (for instance its point's height), in
        ascending order.
    gap : float
        The least distance between two neighbours (a label's height).
    low, high : float
        The range the positions stay in.

    Returns
    -------
    numpy.ndarray
        One position per label, in the order given: the positions that move
        the labels least (in least squares) while keeping them ``gap`` apart
        and inside the range. When the range cannot hold them all that far
        apart, they are spread evenly over it.

    Examples
    --------
    >>> spread(np.array([0.5, 0.5, 0.5]), gap=0.1).round(2).tolist()
    [0.4, 0.5, 0.6]
    >>> spread(np.array([0.0, 0.02, 0.9]), gap=0.1).round(2).tolist()
    [0.0, 0.1, 0.9]
    """
    wanted = np.asarray(wanted, dtype=np.float64)
    count = len(wanted)
    if count == 0:
        return wanted.copy()
    if gap * (count - 1) > high - low:
        return np.linspace(low, high, count) if count > 1 else np.array([(low + high) / 2])
    # With q_i = p_i - i * gap the gaps become "q does not fall": the nearest
    # such q, held within the range, gives back the positions.
    steps = gap * np.arange(count)
    lifted = _nondecreasing(wanted - steps)
    placed: np.ndarray = np.clip(lifted, low, high - steps[-1]) + steps
    return placed
