"""Every run's values of a per-unit series, kept on disk rather than in memory.

A unit's median rank and the ends of its rank interval are order statistics
of its ranks over all the runs, so every run's rank of every unit is needed
before any of them is known: 8,192 runs of 242,335 units are 7.9 GB of
float32. They go to a file as the runs end, one row per run, and come back a
block of units at a time (:meth:`SpillFile.unit_blocks`): memory holds one
block whatever the number of runs, and the statistics are computed from the
very values a matrix in memory would hold, so they are exact.

A spill file has no name: it is created unlinked (``O_TMPFILE`` where the
file system allows, otherwise unlinked as soon as it is created), so no way
of ending the process, ``SIGKILL`` included, can leave it behind; the system
reclaims its room with the last descriptor or mapping of it. Local worker
processes get a descriptor of it while they start (:class:`SharedFd`).
"""

from __future__ import annotations

import errno
import mmap
import os
import tempfile
import weakref
from collections.abc import Iterator
from dataclasses import dataclass
from multiprocessing import reduction
from typing import Any

import numpy as np

__all__ = [
    "SPILL_BLOCK_BYTES",
    "SPILL_PREFIX",
    "SharedFd",
    "SharedSpill",
    "Spill",
    "SpillError",
    "SpillFile",
    "default_spill_dir",
    "spill_room",
]

#: The prefix of a spill file's name while it has one (only on file systems
#: without ``O_TMPFILE``, and only between its creation and its unlinking).
SPILL_PREFIX = "indexfuse-robustness-"
#: The bytes of one block of units read back at a time, and of its transposed
#: copy: 8,192 runs of 2,048 units.
SPILL_BLOCK_BYTES = 64 * 2**20
_TILE_RUNS = 64  # runs read back and turned at a time


class SpillError(OSError):
    """The spill directory cannot hold an analysis's spill files."""


def default_spill_dir() -> str:
    """Where spill files go unless told otherwise: :func:`tempfile.gettempdir` (``TMPDIR``, then ``/tmp``...)."""
    return tempfile.gettempdir()


def spill_room(directory: str | os.PathLike[str]) -> int | None:
    """Bytes free for an unprivileged process in ``directory``; None where the system cannot say."""
    try:
        stat = os.statvfs(directory)
    except (OSError, AttributeError):  # statvfs is POSIX only
        return None
    return stat.f_bavail * stat.f_frsize


def _read_into(fd: int, into: memoryview, offset: int) -> int:
    if hasattr(os, "preadv"):
        return os.preadv(fd, [into], offset)
    chunk = os.pread(fd, len(into), offset)  # systems without preadv: one copy more
    into[: len(chunk)] = chunk
    return len(chunk)


def _write_all(fd: int, data: memoryview, offset: int) -> None:
    while len(data):
        written = os.pwrite(fd, data, offset)
        data, offset = data[written:], offset + written


def _read_all(fd: int, into: memoryview, offset: int) -> None:
    while len(into):
        read = _read_into(fd, into, offset)
        if not read:
            raise EOFError(f"a spill file ended {len(into):,} bytes early, at byte {offset:,}")
        into, offset = into[read:], offset + read


def _read_strided(fd: int, into: list[memoryview], offset: int, step: int) -> None:
    """Fill each of ``into`` from ``offset``, ``offset + step``, ...: a block's pieces of successive rows."""
    preadv = getattr(os, "preadv", None)
    for piece in into:
        # A whole piece in one call, as a file in the page cache gives it;
        # anything short (or no preadv) is read again in full.
        if preadv is None or preadv(fd, [piece], offset) != len(piece):
            _read_all(fd, piece, offset)
        offset += step


class Spill:
    """A runs x units matrix of one dtype in a file, through a descriptor of it (in this process or a worker).

    Run ``r``'s row starts at byte ``r * units * itemsize``.
    """

    def __init__(self, fd: int, runs: int, units: int, dtype: Any) -> None:
        self.fd, self.runs, self.units, self.dtype = fd, runs, units, np.dtype(dtype)
        self.nbytes = runs * units * self.dtype.itemsize

    def write(self, run: int, values: np.ndarray) -> None:
        """Store ``values`` (one per unit, converted to the file's dtype) as run ``run``'s row."""
        row = np.ascontiguousarray(values, dtype=self.dtype)
        if row.shape != (self.units,):
            raise ValueError(f"a spilled row holds {self.units} values, got shape {row.shape}")
        _write_all(self.fd, memoryview(row).cast("B"), run * self.units * self.dtype.itemsize)

    def read_runs(self, start: int, stop: int) -> np.ndarray:
        """Rows ``start`` to ``stop`` (runs), read into a new array."""
        out = np.empty((stop - start, self.units), dtype=self.dtype)
        _read_all(self.fd, memoryview(out).cast("B"), start * self.units * self.dtype.itemsize)
        return out

    def run_blocks(self, block_bytes: int | None = None) -> Iterator[np.ndarray]:
        """Every row, a block of runs at a time (each block a new array)."""
        step = max(1, (block_bytes or SPILL_BLOCK_BYTES) // max(1, self.units * self.dtype.itemsize))
        for start in range(0, self.runs, step):
            yield self.read_runs(start, min(self.runs, start + step))

    def read_units(self, start: int, stop: int) -> np.ndarray:
        """Columns ``start`` to ``stop`` (units) of every run, runs x (stop - start), into a new array."""
        out = np.empty((self.runs, stop - start), dtype=self.dtype)
        size = self.dtype.itemsize
        for run in range(self.runs):
            _read_all(self.fd, memoryview(out[run]).cast("B"), (run * self.units + start) * size)
        return out

    def block_width(self, block_bytes: int | None = None) -> int:
        """How many units :meth:`unit_blocks` reads at a time."""
        budget = block_bytes or SPILL_BLOCK_BYTES
        return max(1, min(self.units, budget // max(1, self.runs * int(self.dtype.itemsize))))

    def unit_blocks(
        self, start: int = 0, stop: int | None = None, block_bytes: int | None = None
    ) -> Iterator[tuple[int, np.ndarray]]:
        """(first unit, block): units ``start`` to ``stop``, one unit's values over the runs to a row.

        The block is a view of a buffer used again for the next one: read
        what is needed from it before asking for the next.
        """
        stop = self.units if stop is None else stop
        width = min(self.block_width(block_bytes), max(1, stop - start))
        by_unit = np.empty((width, self.runs), dtype=self.dtype)
        # The runs come in tiles small enough to stay in cache while they are
        # turned a unit to a row: a whole block turned at once runs at memory
        # speed, about three times slower.
        tile = np.empty((min(self.runs, _TILE_RUNS), width), dtype=self.dtype)
        size = self.dtype.itemsize
        for first_unit in range(start, stop, width):
            count = min(width, stop - first_unit)
            block = by_unit[:count]
            # A run's part of the block is a piece of its row in the file: one
            # read per run, into views of the tile's rows made once per block.
            pieces = [memoryview(row).cast("B") for row in tile[:, :count]] if count < self.units else []
            for first in range(0, self.runs, _TILE_RUNS):
                rows = tile[: min(_TILE_RUNS, self.runs - first), :count]
                if count == self.units:  # whole rows, one after the other in the file
                    _read_all(self.fd, memoryview(rows).cast("B"), first * self.units * size)
                else:
                    offset = (first * self.units + first_unit) * size
                    _read_strided(self.fd, pieces[: len(rows)], offset, self.units * size)
                np.copyto(block[:, first : first + len(rows)], rows.T)
            yield first_unit, block


class SpillFile(Spill):
    """A :class:`Spill` in a nameless file of ``directory``, which it owns.

    Its room is reserved when it is created, so that a full disk is found
    before any run, not after hours of them.

    Raises
    ------
    SpillError
        If ``directory`` cannot hold it; the message says how much it needs
        and how much there is.
    """

    def __init__(self, directory: str | os.PathLike[str], runs: int, units: int, dtype: Any) -> None:
        self._file = tempfile.TemporaryFile(dir=directory, prefix=SPILL_PREFIX)
        super().__init__(self._file.fileno(), runs, units, dtype)
        self._closed = weakref.finalize(self, self._file.close)
        try:
            _reserve(self.fd, self.nbytes)
        except OSError as exc:
            self.close()
            if exc.errno in (errno.ENOSPC, errno.EDQUOT, errno.EFBIG):
                raise SpillError(
                    exc.errno,
                    f"the spill directory {os.fspath(directory)!r} cannot hold {self.nbytes / 2**30:.2f} GiB "
                    f"(every run's value of every unit, {runs:,} x {units:,} {self.dtype.name}){_free(directory)}: "
                    "pass spill_dir= a directory with more room",
                ) from None
            raise

    def shared(self) -> SharedSpill:
        """The file as a local process gets it while it starts."""
        return SharedSpill(SharedFd(self.fd), self.runs, self.units, self.dtype.str)

    def matrix(self) -> np.ndarray:
        """The whole matrix, mapped from the file rather than read: pages are read as they are touched.

        The mapping is private: writing into the array changes this copy,
        never the file. It keeps the file's room alive as long as it lives.
        """
        if not self.nbytes:
            return np.empty((self.runs, self.units), dtype=self.dtype)
        mapped = mmap.mmap(self.fd, self.nbytes, access=mmap.ACCESS_COPY)
        return np.frombuffer(mapped, dtype=self.dtype).reshape(self.runs, self.units)

    def close(self) -> None:
        self._closed()


def _free(directory: str | os.PathLike[str]) -> str:
    room = spill_room(directory)
    return "" if room is None else f"; it has {room / 2**30:.2f} GiB free"


def _reserve(fd: int, size: int) -> None:
    if not size:
        return
    if hasattr(os, "posix_fallocate"):
        try:
            os.posix_fallocate(fd, 0, size)
            return
        except OSError as exc:
            # A file system without fallocate: the room is found when it is written.
            if exc.errno not in (errno.EOPNOTSUPP, errno.EINVAL, errno.ENOSYS):
                raise
    os.ftruncate(fd, size)


class SharedFd:
    """A file descriptor that a local process receives while it is spawned.

    Pickled by a process being spawned, the descriptor is handed to the new
    process with its other inherited descriptors; there it is the same open
    file, nameless or not.
    """

    def __init__(self, fd: int) -> None:
        self.fd = fd

    def __reduce__(self) -> tuple[Any, tuple[Any, ...]]:
        return _received_fd, (reduction.DupFd(self.fd),)


def _received_fd(handle: Any) -> SharedFd:
    return SharedFd(handle.detach())


@dataclass(frozen=True)
class SharedSpill:
    """A spill file as a local process receives it: its descriptor and shape."""

    fd: SharedFd
    runs: int
    units: int
    dtype: str

    def open(self) -> Spill:
        return Spill(self.fd.fd, self.runs, self.units, self.dtype)
