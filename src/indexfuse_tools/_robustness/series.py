"""What every run of an analysis leaves behind, unit by unit, and how it is added up.

Each run yields a composite; from it come per-unit series (today the rank of
every unit, and its absolute shift from the nominal rank) and one number per
run (the mean shift, the target of the Sobol indices). A series is *kept*
when its per-unit statistics are order statistics (a median, an interval):
every run's values go to a spill file
(:class:`~indexfuse_tools._robustness.spill.SpillFile`), one row per run. A
series is *summed* when a per-unit sum over the runs is all it takes (a mean
shift, a share of runs). :class:`Tally` does the first part where the run is
built (any worker), :class:`Accumulator` the rest where the analysis was
called, and neither holds more than a bounded buffer however many runs there
are.

To add a series, give it a :class:`Series` in :func:`analysis_series` and
its values in :func:`run_values`; ask for its order statistics (intervals,
medians: :func:`order_statistics`, computed where the spill files are) in
the ``wanted`` of ``workers.execute``, and read its means or shares off
:meth:`Accumulator.mean`.
"""

from __future__ import annotations

import functools
import os
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from indexfuse_tools._robustness.spill import Spill, SpillFile

__all__ = [
    "COMPOSITE_MOVE",
    "RANKS",
    "RANK_MOVE",
    "SHIFT",
    "BOTTOM",
    "TOP",
    "Moves",
    "Accumulator",
    "Series",
    "Tally",
    "TaskResult",
    "analysis_series",
    "descending_ranks",
    "order_statistics",
    "rank_dtype",
    "run_values",
    "tenths",
    "unit_ranges",
]

RANKS = "ranks"  # each unit's rank in the run (1 = best, ties averaged)
SHIFT = "shift"  # its absolute difference from the unit's nominal rank
TOP = "top_tenth"  # 1 where the unit is in the best tenth of the units ranked, else 0
BOTTOM = "bottom_tenth"  # 1 where it is in the worst tenth
RANK_MOVE = "rank_move"  # places climbed since an earlier edition (its rank then minus its rank now)
COMPOSITE_MOVE = "composite_move"  # its composite now minus its composite then


@dataclass(frozen=True)
class Series:
    """A per-unit series every run yields.

    ``kept``: every run's values are spilled, for exact order statistics
    (and handed back as a runs x units matrix); ``summed``: their per-unit
    sum over the runs is accumulated.
    """

    name: str
    dtype: np.dtype[Any]
    kept: bool = False
    summed: bool = False


def rank_dtype(units: int) -> type[np.floating[Any]]:
    """float32 holds every rank of up to 2**23 units exactly (they are multiples of 1/2), in half the room."""
    return np.float32 if units <= 2**23 else np.float64


def analysis_series(units: int, moves: bool = False) -> tuple[Series, ...]:
    """The series of an analysis of ``units`` units; with ``moves``, those of their moves since an earlier edition.

    A composite move is kept as float64, the composites' own precision: its
    interval is then exactly the one the whole matrix of moves gives. A
    move of places is a difference of two ranks, a multiple of 1/2 no larger
    than the units: the ranks' own type holds it exactly.
    """
    found: tuple[Series, ...] = (
        Series(RANKS, np.dtype(rank_dtype(units)), kept=True),
        Series(SHIFT, np.dtype(np.float64), summed=True),
        Series(TOP, np.dtype(np.float64), summed=True),
        Series(BOTTOM, np.dtype(np.float64), summed=True),
    )
    if moves:
        found += (
            Series(RANK_MOVE, np.dtype(rank_dtype(units)), kept=True),
            Series(COMPOSITE_MOVE, np.dtype(np.float64), kept=True),
        )
    return found


# ----------------------------------------------------------------- ranks --

_MAGNITUDE = (1 << 63) - 1  # every bit of a float64 but its sign


def descending_ranks(values: Any, n: int) -> np.ndarray:
    """Ranks, 1 for the largest value, ties sharing their average rank, NaN kept.

    What ``Series.rank(ascending=False)`` gives. It runs once per run, on
    every unit, so it avoids ``argsort`` (three times the cost of a plain
    sort): each value becomes an integer key that sorts as the value does,
    the key's lowest bits are replaced by the value's position, and one
    sort of those integers gives the order. Values whose keys differ only
    in the replaced bits (nearly equal or equal values, a handful per run)
    are ordered again by their whole key; equal values then share the
    average of their ranks.
    """
    values = np.asarray(values, dtype=np.float64)
    if values.ndim == 0:  # the composite of an index without any weight is the integer 0
        values = np.full(n, float(values))
    missing = np.isnan(values)
    if missing.any():
        ranks = np.full(values.shape, np.nan)
        ranks[~missing] = descending_ranks(values[~missing], int((~missing).sum()))
        return ranks
    size = values.size
    if size < 2:
        return np.ones(values.shape)
    # Adding 0.0 turns -0.0 into 0.0: equal values, which must tie.
    bits = (values + 0.0).view(np.int64)
    # The float order as the integer order (a negative value's magnitude bits
    # flipped), then reversed: the largest value first. In place: a run's
    # ranks are made thousands of times, and each new array costs a pass.
    keys = bits >> 63
    keys &= _MAGNITUDE
    keys ^= bits
    np.invert(keys, out=keys)
    shift = (size - 1).bit_length()
    low = (1 << shift) - 1
    packed = keys & ~low
    packed |= _positions(size)
    packed.sort()
    order = (packed & low).astype(np.intp, copy=False)
    packed &= ~low
    near = packed[1:] == packed[:-1]
    ranks = np.empty(size)
    if not near.any():
        ranks[order] = _places(size)
        return ranks
    # Runs of equal truncated keys, ordered again by the whole key.
    inside = np.zeros(size, dtype=bool)
    inside[1:] |= near
    inside[:-1] |= near
    where = np.flatnonzero(inside)
    group = np.cumsum(np.concatenate(([True], ~near)))[where]
    where_order = order[where]
    order[where] = where_order[np.lexsort((keys[where_order], group))]
    ordered = keys[order]
    starts = np.flatnonzero(np.concatenate(([True], ordered[1:] != ordered[:-1])))
    if starts.size == size:
        ranks[order] = _places(size)
    else:
        counts = np.diff(np.append(starts, size))
        ranks[order] = np.repeat(starts + (counts + 1) / 2, counts)
    return ranks


@functools.lru_cache(maxsize=4)
def _positions(size: int) -> np.ndarray:
    """0 .. size - 1 as int64, made once per size (read-only: shared by every run)."""
    positions = np.arange(size, dtype=np.int64)
    positions.flags.writeable = False
    return positions


@functools.lru_cache(maxsize=4)
def _places(size: int) -> np.ndarray:
    """The places 1 .. size as float64, made once per size (read-only)."""
    places = np.arange(1, size + 1, dtype=np.float64)
    places.flags.writeable = False
    return places


@dataclass(frozen=True)
class Moves:
    """Where the units ranked stood in an earlier edition, for their moves since.

    ``rows``: the positions (into the analysis's table) of the earlier
    edition's rows, ranked among themselves in each run; ``matched``: for
    each unit ranked, its position among ``rows`` (-1 for a unit the
    earlier edition lacks).
    """

    rows: np.ndarray
    matched: np.ndarray

    def of(self, earlier_composite: Any, composite: np.ndarray, ranks: np.ndarray) -> dict[str, np.ndarray]:
        """The rank and composite moves of one run, from the earlier edition's composites and the later ranks."""
        before = np.asarray(earlier_composite, dtype=np.float64)
        if before.ndim == 0:
            before = np.full(len(self.rows), float(before))
        earlier_ranks = descending_ranks(before, len(before))
        present = self.matched >= 0
        at = np.maximum(self.matched, 0)
        rank_move = np.where(present, earlier_ranks[at] - ranks, np.nan)
        composite_move = np.where(present, composite - before[at], np.nan)
        return {RANK_MOVE: rank_move, COMPOSITE_MOVE: composite_move}


def tenths(ranks: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """True where a unit is in the best tenth of the units with a rank, and where in the worst tenth.

    Summed over the runs (as 1 and 0) they count the runs a unit spends there.
    """
    ranked = ranks.size - int(np.count_nonzero(np.isnan(ranks)))
    tenth = ranked / 10
    return ranks <= tenth, ranks > ranked - tenth


def run_values(
    composite: Any, nominal_ranks: np.ndarray, moves: Moves | None = None, earlier: Any = None
) -> tuple[dict[str, np.ndarray], float]:
    """The series of one run from its composite, and the run's mean absolute rank shift.

    With ``moves``, ``earlier`` holds the composites of the earlier
    edition's rows in the same run.
    """
    ranks = descending_ranks(composite, len(nominal_ranks))
    shift = np.abs(ranks - nominal_ranks)
    top, bottom = tenths(ranks)
    values = {RANKS: ranks, SHIFT: shift, TOP: top, BOTTOM: bottom}
    if moves is not None:
        scores = np.asarray(composite, dtype=np.float64)
        if scores.ndim == 0:
            scores = np.full(len(nominal_ranks), float(scores))
        values.update(moves.of(earlier, scores, ranks))
    return values, float(shift.mean())


# ---------------------------------------------------------------- tallies --


@dataclass
class TaskResult:
    """What a task's runs left behind: sent back from wherever they ran."""

    runs: np.ndarray
    scalars: np.ndarray  # each run's mean absolute rank shift
    sums: dict[str, np.ndarray]  # per summed series, each unit's sum over the task's runs
    kept: dict[str, np.ndarray] = field(default_factory=dict)  # per kept series not written in place: task runs x units


class Tally:
    """The series of one task's runs as they end.

    A kept series goes straight to its spill file when the worker has one
    (local processes, this process), else into a task-sized buffer sent back
    with the result (Dask workers, whose tasks are sized for it).
    """

    def __init__(
        self, series: tuple[Series, ...], runs: np.ndarray, units: int, spills: Mapping[str, Spill] | None = None
    ) -> None:
        self._series, self._spills = series, dict(spills or {})
        self._result = TaskResult(
            runs,
            np.empty(len(runs)),
            {s.name: np.zeros(units) for s in series if s.summed},
            {
                s.name: np.empty((len(runs), units), dtype=s.dtype)
                for s in series
                if s.kept and s.name not in self._spills
            },
        )

    def add(self, row: int, values: Mapping[str, np.ndarray], scalar: float) -> None:
        """Record the ``row``-th run of the task."""
        result = self._result
        result.scalars[row] = scalar
        for s in self._series:
            if s.summed:
                result.sums[s.name] += values[s.name]
            if s.kept:
                if s.name in self._spills:
                    self._spills[s.name].write(int(result.runs[row]), values[s.name])
                else:
                    result.kept[s.name][row] = values[s.name]

    def result(self) -> TaskResult:
        return self._result


def order_statistics(spill: Spill, positions: Sequence[int], start: int = 0, stop: int | None = None) -> np.ndarray:
    """Each unit's values at ``positions`` of their sorted order over the runs, for units ``start`` to ``stop``.

    Exact: each unit's values are sorted in full (numpy's vectorised sort
    beats its selection four times over on rows of thousands of runs).
    Returns one row per unit, one column per position.
    """
    stop = spill.units if stop is None else stop
    out = np.empty((stop - start, len(positions)), dtype=spill.dtype)
    for first, block in spill.unit_blocks(start, stop):
        block.sort(axis=1)
        out[first - start : first - start + len(block)] = block[:, list(positions)]
    return out


def unit_ranges(units: int, width: int) -> list[tuple[int, int]]:
    """Units in consecutive ranges of ``width``: the pieces order statistics are computed in."""
    return [(start, min(units, start + width)) for start in range(0, units, width)]


class Accumulator:
    """Every task's tally added up, with the kept series in spill files of ``directory``.

    Raises
    ------
    SpillError
        If ``directory`` cannot hold the spill files (before any run).
    """

    def __init__(self, series: tuple[Series, ...], runs: int, units: int, directory: str | os.PathLike[str]) -> None:
        self.series, self.runs, self.units, self.directory = series, runs, units, directory
        self.scalars = np.empty(runs)
        self.sums = {s.name: np.zeros(units) for s in series if s.summed}
        self.spills: dict[str, SpillFile] = {}
        try:
            for s in series:
                if s.kept:
                    self.spills[s.name] = SpillFile(directory, runs, units, s.dtype)
        except BaseException:
            self.close()
            raise

    def take(self, result: TaskResult) -> None:
        self.scalars[result.runs] = result.scalars
        for name, total in result.sums.items():
            self.sums[name] += total
        for name, rows in result.kept.items():
            spill = self.spills[name]
            for run, values in zip(result.runs.tolist(), rows):
                spill.write(run, values)

    def mean(self, name: str) -> np.ndarray:
        """Each unit's mean of summed series ``name`` over the runs."""
        return self.sums[name] / self.runs

    def close(self) -> None:
        for spill in self.spills.values():
            spill.close()
