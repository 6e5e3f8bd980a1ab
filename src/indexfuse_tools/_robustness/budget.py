"""How much memory and disk an analysis will take, said before it starts.

Every run's ranks go to disk (``spill``), so what an analysis holds in memory
depends on the units, the columns and the levels of the factors, not on the
number of runs: each process holds the table, the coefficient tables and
dimension values of every variant of a leaf it builds (shared by all the
configurations that use it), and a few of a run's arrays at a time; this
process also holds the result's tables and one block of the spilled ranks
while it reads them back. :func:`estimate` adds these up; the constants are
measured (see benchmarks/bench_scale.py) with some room to spare.
"""

from __future__ import annotations

import math
import os
import re
from dataclasses import dataclass
from typing import Any

from indexfuse_tools._robustness.spill import SPILL_BLOCK_BYTES
from indexfuse_tools._robustness.workers import DASK_TASK_BYTES

__all__ = [
    "Estimate",
    "available_memory",
    "check_budget",
    "combination_bytes_per_unit",
    "estimate",
    "kept_values_bytes",
    "parse_memory",
]

#: An idle process with numpy, pandas, scikit-learn and the model imported
#: (its own pages; the libraries' are shared between processes).
PROCESS_BYTES = 150 * 2**20
#: A leaf variant's dimension value per unit (its coefficient table is small).
_VARIANT_BYTES_PER_UNIT = 8
#: A run's arrays per unit at their peak: composite, ranks, their keys and
#: order, shift, and the model's temporaries while it scores and weights.
_RUN_BYTES_PER_UNIT = 160
#: The result's tables, the sums over the runs and the nominal fit's
#: temporaries in this process, per unit.
_RESULT_BYTES_PER_UNIT = 250
#: Per unit and weighted dimension, the weights of the principal components:
#: the dimension values stacked with their directions, their complete rows,
#: and the centred copy and spreads the correlations are computed from.
_PRINCIPAL_BYTES_PER_UNIT = 48
#: Per unit and weighted dimension, the geometric mean: each dimension's
#: logarithm, kept while its configuration's runs last, and the temporaries
#: of its rescaling (one dimension at a time); per unit, the weighted sum of
#: the logarithms and its exponential.
_GEOMETRIC_BYTES_PER_UNIT = 40
_GEOMETRIC_SUM_BYTES_PER_UNIT = 32
#: A number a preparation over time keeps per unit and indicator (a Python
#: float or int in a tuple: the object and its slot).
_KEPT_VALUE_BYTES = 40

_UNITS = {
    "": 1, "b": 1,
    "k": 10**3, "kb": 10**3, "m": 10**6, "mb": 10**6, "g": 10**9, "gb": 10**9, "t": 10**12, "tb": 10**12,
    "kib": 2**10, "mib": 2**20, "gib": 2**30, "tib": 2**40,
}  # fmt: skip
_SIZE = re.compile(r"\s*([0-9]*\.?[0-9]+(?:[eE][-+]?[0-9]+)?)\s*([a-zA-Z]*)\s*")


def parse_memory(value: Any, name: str = "memory") -> int | None:
    """Bytes from an integer or a text such as ``"2GiB"``, ``"1.5 GB"`` or ``"800MiB"``; None stays None.

    Decimal units (kB, MB, GB, TB, and K, M, G, T) are powers of 1,000,
    binary ones (KiB, MiB, GiB, TiB) powers of 1,024.

    Examples
    --------
    >>> parse_memory("2GiB"), parse_memory("1.5 GB"), parse_memory(4096)
    (2147483648, 1500000000, 4096)
    """
    if value is None:
        return None
    if isinstance(value, bool):
        raise TypeError(f"{name} is a number of bytes or a text such as '2GiB', got {value!r}")
    if isinstance(value, int) or (hasattr(value, "__index__") and not isinstance(value, str)):
        size = int(value)
    elif isinstance(value, str) and (match := _SIZE.fullmatch(value)) and match[2].lower() in _UNITS:
        size = math.floor(float(match[1]) * _UNITS[match[2].lower()])
    else:
        raise (ValueError if isinstance(value, str) else TypeError)(
            f"{name} is a number of bytes or a text such as '2GiB' or '1.5GB', got {value!r}"
        )
    if size <= 0:
        raise ValueError(f"{name} is a positive size, got {value!r}")
    return size


def available_memory() -> int | None:
    """The memory this process could still take: ``MemAvailable``, or what its cgroup leaves, if less.

    None where neither can be read (not Linux): no limit is then assumed.
    """
    found = []
    try:
        with open("/proc/meminfo") as info:
            for line in info:
                if line.startswith("MemAvailable:"):
                    found.append(int(line.split()[1]) * 1024)
    except (OSError, ValueError):
        pass
    try:
        with open("/sys/fs/cgroup/memory.max") as limit, open("/sys/fs/cgroup/memory.current") as current:
            ceiling = limit.read().strip()
            if ceiling != "max":
                found.append(int(ceiling) - int(current.read()))
    except (OSError, ValueError):
        pass
    return min(found) if found else None


def combination_bytes_per_unit(dimensions: int, principal: bool, geometric: bool) -> int:
    """What the rival weighting and aggregation a run may take add to it, per unit.

    ``dimensions``: the dimensions that carry a weight; ``principal``: a
    level of the weighting is the principal components' weights;
    ``geometric``: a level of the aggregation is the geometric mean.
    """
    found = 0
    if principal:
        found = max(found, _PRINCIPAL_BYTES_PER_UNIT * dimensions)
    if geometric:
        # The logarithms stay while the runs of their configuration score; the principal components' stack
        # is gone by then, so the larger of the two is the peak.
        found = max(found, _GEOMETRIC_BYTES_PER_UNIT * dimensions + _GEOMETRIC_SUM_BYTES_PER_UNIT)
    return found


def kept_values_bytes(values: int) -> int:
    """The memory of ``values`` numbers a preparation over time keeps (each unit's last values and periods)."""
    return _KEPT_VALUE_BYTES * values


@dataclass(frozen=True)
class Estimate:
    """The memory an analysis takes, process by process, and the disk its spill files take."""

    caller: int  # this process, at its peak
    worker: int  # each worker process, at its peak (0 when the runs are built here)
    workers: int  # local worker processes (0: none, the runs are built here; Dask workers are not counted)
    spill: int  # bytes on disk

    @property
    def local(self) -> int:
        """This process and its local workers together."""
        return self.caller + self.workers * self.worker


def estimate(
    units: int,
    table_bytes: int,
    leaf_variants: int,
    runs: int,
    spill_row_bytes: int,
    kind: str,
    workers: int,
    run_bytes_per_unit: int = 0,
) -> Estimate:
    """The peak memory of this process and of each worker, and the spill files' size.

    ``units``: the rows each run scores; ``table_bytes``: the tables a
    process holds (the analysis's, and the raw one with a preparation, with
    every prepared table the runs share, and the preparation replayed);
    ``leaf_variants``: the coefficient tables and dimension values the runs
    share, each one value per unit; ``run_bytes_per_unit``: what a run
    takes per unit besides the model's weighted sum and its ranks (a rival
    weighting or aggregation: :func:`combination_bytes_per_unit`).
    Measured on the scale benchmark's table (242,335 units, 126 leaf
    variants, two workers): 1.01 GiB for the three processes together
    (their own pages summed, shared ones counted once), against 1.20 GiB
    estimated.
    """
    reading = SPILL_BLOCK_BYTES + 2**20  # a block of units turned a unit to a row, and the tile it is turned from
    if kind != "dask" and workers > 1:
        # A local worker keeps to its stretch of the configurations, and so
        # to about its share of the variants; more when it helps another.
        leaf_variants = min(leaf_variants, math.ceil(1.5 * leaf_variants / workers))
    builder = (
        PROCESS_BYTES
        + table_bytes
        + leaf_variants * units * _VARIANT_BYTES_PER_UNIT
        + (_RUN_BYTES_PER_UNIT + run_bytes_per_unit) * units
        + reading
    )
    results = _RESULT_BYTES_PER_UNIT * units + 64 * runs
    spill = runs * spill_row_bytes
    if kind == "dask":
        caller = PROCESS_BYTES + 2 * table_bytes + results + reading + _DASK_RESULTS * DASK_TASK_BYTES
        return Estimate(caller, builder, 0, spill)
    if workers == 1:
        return Estimate(builder + table_bytes + results, 0, 0, spill)
    return Estimate(PROCESS_BYTES + 2 * table_bytes + results, builder, workers, spill)


# Task results this process holds at once from a cluster: the one it takes, and the next.
_DASK_RESULTS = 2


def _size(value: int) -> str:
    return f"{value / 2**30:.2f} GiB"


def check_budget(
    found: Estimate,
    limit: int | None,
    spill_dir: str | os.PathLike[str],
    room: int | None,
    alone: Estimate | None = None,
) -> None:
    """Refuse an analysis that would not fit ``limit`` bytes of memory or the ``room`` of its spill directory.

    ``alone`` is the estimate for the runs built in this process only, the
    first thing to suggest when local workers do not fit.

    Raises
    ------
    MemoryError
        If this process and its local workers would need more than
        ``limit``; the message gives the estimate and what to change.
    OSError
        If the spill files would not fit in ``spill_dir``.
    """
    if limit is not None and found.local > limit:
        parts = f"this process {_size(found.caller)}"
        if found.workers:
            parts += f", {found.workers} local worker processes {_size(found.worker)} each"
        advice = []
        if found.workers > 1 and alone is not None and alone.local <= limit:
            advice.append(f"scheduler=1 (this process only, about {_size(alone.local)}, slower)")
        advice.append("fewer levels of exclude, scale_method or pca_cumulative (each level adds a variant of "
                      "the dimension values to every process)")
        advice.append("a Dask cluster whose workers each have the room (scheduler=Client(...))")
        raise MemoryError(
            f"robustness(): this analysis would need about {_size(found.local)} of memory ({parts}), more than "
            f"the {_size(limit)} it may take (memory=..., by default what the machine has available); "
            f"to fit, use {'; or '.join(advice)}"
        )
    if room is not None and found.spill > room:
        raise OSError(
            f"robustness(): every run's ranks take {_size(found.spill)} on disk while the analysis runs, and the "
            f"spill directory {os.fspath(spill_dir)!r} has {_size(room)} free: pass spill_dir= a directory with "
            "more room (or set TMPDIR)"
        )
