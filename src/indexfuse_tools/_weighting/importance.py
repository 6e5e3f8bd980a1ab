"""First-order importance: the share of the composite's variance an input explains alone.

The correlation ratio ``eta^2 = V[E(y | x)] / V(y)`` of the composite ``y``
given one input ``x`` (a dimension's value, or an indicator), estimated from
the units themselves: the units are put into bins of about equal count by
``x``, ``E(y | x)`` is read as the mean of ``y`` in each bin, and its
variance over the bins (each weighted by its units) is divided by the
variance of ``y``.

Written here rather than taken from a library: the bootstrap needs the
estimate on a thousand resamples of tens of thousands of units for every
input at once, which comes down to two sparse products per batch of
resamples when each resample is a vector of counts over the same bins.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np

__all__ = ["MAX_BINS", "Bins", "bin_count", "bins_of", "correlation_ratios"]

#: The most bins an input is cut into: enough for the conditional mean of any
#: smooth relation, and a bias of at most 99 / (n - 1) to correct.
MAX_BINS = 100


def bin_count(units: int) -> int:
    """Bins for ``units`` units: the square root of their number, at least 2 and at most :data:`MAX_BINS`.

    As the units grow, the bins grow finer (less of ``E(y | x)`` is lost
    inside a bin) and fuller (each bin's mean is steadier).
    """
    return int(min(MAX_BINS, max(2, math.isqrt(max(units, 0)))))


def _bins_of_column(x: np.ndarray, size: int) -> np.ndarray:
    """Each unit's bin, 0 to (bins used - 1): ``size`` bins of about equal count by ``x``.

    Units with equal values share a bin, so that a bin never splits what
    ``E(y | x)`` cannot tell apart; an input of few values gets a bin per
    value when it has fewer than ``size``.
    """
    n = len(x)
    order = np.argsort(x, kind="stable")
    ordered = x[order]
    first = np.concatenate(([True], ordered[1:] != ordered[:-1]))
    group_start = np.maximum.accumulate(np.where(first, np.arange(n), 0))
    sorted_bins = group_start * size // n
    _, used = np.unique(sorted_bins, return_inverse=True)
    bins = np.empty(n, dtype=np.int64)
    bins[order] = used
    return bins


@dataclass(frozen=True)
class Bins:
    """The bins of every input over the same units, as one sparse matrix.

    Attributes
    ----------
    matrix : scipy.sparse.csc_matrix
        One row per bin of every input (the inputs' bins one block after
        the other), one column per unit, 1 where the unit is in the bin.
        By columns: a product with the counts reads each unit's counts
        once, in order, however the bins scatter the units.
    starts : numpy.ndarray
        The first row of each input's block.
    sizes : numpy.ndarray
        How many bins each input has.
    """

    matrix: Any
    starts: np.ndarray
    sizes: np.ndarray


def bins_of(inputs: np.ndarray) -> Bins:
    """The bins of each row of ``inputs`` (inputs x units, finite values)."""
    from scipy import sparse

    count, units = inputs.shape
    size = bin_count(units)
    each = [_bins_of_column(row, size) for row in inputs]
    sizes = np.array([int(bins.max()) + 1 for bins in each], dtype=np.int64)
    starts = np.concatenate(([0], np.cumsum(sizes)[:-1])).astype(np.int64)
    rows = np.concatenate([start + bins for start, bins in zip(starts, each)])
    columns = np.tile(np.arange(units), count)
    matrix = sparse.csc_matrix((np.ones(len(rows)), (rows, columns)), shape=(int(sizes.sum()), units))
    return Bins(matrix, starts, sizes)


def correlation_ratios(bins: Bins, y: np.ndarray, counts: np.ndarray) -> np.ndarray:
    """The bias-corrected correlation ratio of ``y`` given each input, for each column of ``counts``.

    Parameters
    ----------
    bins : Bins
        The bins of the inputs.
    y : numpy.ndarray
        The output of every unit; centred near 0 keeps the sums of squares
        clear of cancellation.
    counts : numpy.ndarray
        Units x samples: how often each unit counts in each sample (all ones
        for the table itself, a bootstrap resample's draws otherwise).

    Returns
    -------
    numpy.ndarray
        Inputs x samples. Where ``y`` does not vary in a sample, NaN.

    Notes
    -----
    With ``N`` units counted and ``B`` bins that hold any, the plain ratio
    ``r`` of the between-bin to the total sum of squares is biased upwards:
    an input without any effect has an expected ``r`` of about
    ``(B - 1) / (N - 1)``, which the bin means pick up from the noise. The
    estimate returned is corrected as the adjusted R-squared of a one-way
    analysis of variance is, ``1 - (1 - r) (N - 1) / (N - B)``, so that it
    is about 0 for such an input and can fall a little below 0. Binning
    also loses what ``E(y | x)`` varies within a bin, a bias downwards
    that is small once each bin holds a narrow slice of ``x``: with few
    units, few bins, and the estimate is cruder.
    """
    weighted = counts * y[:, None]
    total_count = counts.sum(axis=0)
    mean = weighted.sum(axis=0) / total_count
    total = (counts * (y[:, None] - mean) ** 2).sum(axis=0)
    in_bin = np.asarray(bins.matrix @ counts)
    sums = np.asarray(bins.matrix @ weighted)
    filled = in_bin > 0
    squares = np.divide(sums**2, in_bin, out=np.zeros_like(sums), where=filled)
    between = np.add.reduceat(squares, bins.starts, axis=0) - total_count * mean**2
    used = np.add.reduceat(filled.astype(np.float64), bins.starts, axis=0)
    with np.errstate(invalid="ignore", divide="ignore"):
        ratio = between / total
        corrected = 1 - (1 - ratio) * (total_count - 1) / (total_count - used)
    return np.where(total > 0, corrected, np.nan)
