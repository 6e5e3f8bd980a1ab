"""The zip of a saved analysis, read without trusting it.

A saved analysis may come from anyone, and a zip can declare members far
larger than itself (a megabyte of deflated zeros is a gigabyte) or hold an
``.npy`` header claiming terabytes. :class:`Archive` reads only the members
it is asked for, and only after their declared sizes, and for arrays their
headers, agree with what the caller expects; nothing larger than the file
can explain is ever allocated.
"""

from __future__ import annotations

import os
import tokenize
import zipfile
import zlib
from collections.abc import Iterator
from types import TracebackType
from typing import Any

import numpy as np

__all__ = ["DEFLATE_RATIO", "SMALL_MEMBER", "Archive", "FileProblem"]

#: Members up to this size are read whatever they compress to.
SMALL_MEMBER = 64 * 2**20
#: How many times its compressed size a larger member may declare. JSON
#: and ranks deflate far less than this; deflated zeros, about 1,000 times.
DEFLATE_RATIO = 100
# The header versions numpy writes (3.0 only for non-Latin-1 field names,
# which no array of an analysis has).
_HEADER_READERS = {
    (1, 0): np.lib.format.read_array_header_1_0,
    (2, 0): np.lib.format.read_array_header_2_0,
}
# What a damaged or hostile member raises while read: a bad CRC, a truncated
# stream, an encrypted member, an unknown method (zipfile and zlib); an
# ``.npy`` header that is not a Python literal (numpy parses it with ast).
_READ_ERRORS = (
    zipfile.BadZipFile, zlib.error, EOFError, RuntimeError, NotImplementedError, OSError, ValueError,
    SyntaxError, tokenize.TokenError,
)  # fmt: skip


class FileProblem(ValueError):
    """What is wrong with a saved analysis, without the file's name (the loader adds it)."""


class Archive:
    """The members of a saved analysis's zip, each read only when asked for and checked first.

    Parameters
    ----------
    path : str or os.PathLike
        The zip file.

    Raises
    ------
    FileProblem
        If the file is not a zip.
    """

    def __init__(self, path: str | os.PathLike[str]) -> None:
        try:
            self._zip = zipfile.ZipFile(path)
        except (zipfile.BadZipFile, EOFError, ValueError) as exc:
            raise FileProblem(f"it is not a zip file ({exc})") from None
        # A member cannot hold more compressed bytes than the whole file.
        self._size = os.path.getsize(path)

    def __enter__(self) -> Archive:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, trace: TracebackType | None
    ) -> None:
        self._zip.close()

    def has(self, name: str) -> bool:
        """Whether the zip holds a member ``name``."""
        return name in self._zip.NameToInfo

    def _info(self, name: str) -> zipfile.ZipInfo:
        try:
            info = self._zip.getinfo(name)
        except KeyError:
            raise FileProblem(f"it has no member {name!r}") from None
        if info.compress_size > self._size:
            raise FileProblem(
                f"{name}: declares {info.compress_size:,} compressed bytes in a file of {self._size:,}"
            )
        if info.compress_type == zipfile.ZIP_STORED and info.file_size != info.compress_size:
            raise FileProblem(
                f"{name}: a stored member declares {info.file_size:,} bytes but holds {info.compress_size:,}"
            )
        if info.file_size > max(SMALL_MEMBER, DEFLATE_RATIO * info.compress_size):
            raise FileProblem(
                f"{name}: declares {info.file_size:,} bytes packed into {info.compress_size:,}, more than "
                f"{DEFLATE_RATIO} times its packed size, as only a zip bomb does"
            )
        return info

    def text(self, name: str, limit: int) -> bytes:
        """The bytes of member ``name``, refused unheard when it declares more than ``limit``."""
        info = self._info(name)
        if info.file_size > limit:
            raise FileProblem(f"{name}: declares {info.file_size:,} bytes, more than the {limit:,} it may hold")
        try:
            return self._zip.read(info)
        except _READ_ERRORS as exc:
            raise FileProblem(f"{name}: cannot be read ({exc})") from None

    def array(self, name: str, shape: tuple[int, ...], dtype: Any) -> np.ndarray:
        """The array of ``.npy`` member ``name``, read only if its header says ``shape`` and ``dtype``.

        Parameters
        ----------
        name : str
            The member.
        shape : tuple of int
            The shape the array must have.
        dtype : numpy dtype or str
            Its dtype, or a string of dtype kinds (``"biuf"``) one of which
            it must be of.

        Returns
        -------
        numpy.ndarray
            In native byte order. Never unpickled.

        Raises
        ------
        FileProblem
            If the member is missing, its header does not say ``shape`` and
            ``dtype``, its declared size is not the header's, or it cannot
            be read.
        """
        info = self._info(name)
        try:
            self._checked(info, name, shape, dtype)
            with self._zip.open(info) as stream:
                array = np.lib.format.read_array(stream, allow_pickle=False)
        except FileProblem:
            raise
        except _READ_ERRORS as exc:
            raise FileProblem(f"{name}: cannot be read ({exc})") from None
        return array.astype(array.dtype.newbyteorder("="), copy=False)

    def _checked(self, info: zipfile.ZipInfo, name: str, shape: tuple[int, ...], dtype: Any) -> tuple[Any, ...]:
        """(dtype, data offset, column order) of an ``.npy`` member whose header and size agree with ``shape``."""
        with self._zip.open(info) as stream:
            found_shape, found_dtype, data_start, fortran_order = _header(stream)
        _check_header(name, found_shape, found_dtype, shape, dtype)
        expected_size = data_start + found_dtype.itemsize * int(np.prod(shape, dtype=np.int64))
        if info.file_size != expected_size:
            raise FileProblem(f"{name}: declares {info.file_size:,} bytes where its header implies {expected_size:,}")
        return found_dtype, data_start, fortran_order

    def array_rows(
        self, name: str, shape: tuple[int, int], dtype: Any, block_bytes: int
    ) -> Iterator[np.ndarray]:
        """The rows of the 2-D ``.npy`` member ``name``, about ``block_bytes`` at a time, checked as :meth:`array` does.

        Yields
        ------
        numpy.ndarray
            A block of rows, in native byte order; never the whole array
            unless the member stores it column by column.
        """
        info = self._info(name)
        try:
            found_dtype, data_start, fortran_order = self._checked(info, name, shape, dtype)
            native = found_dtype.newbyteorder("=")
            if fortran_order:
                with self._zip.open(info) as stream:
                    yield np.lib.format.read_array(stream, allow_pickle=False).astype(native, copy=False)
                return
            row_bytes = shape[1] * found_dtype.itemsize
            step = max(1, block_bytes // max(1, row_bytes))
            with self._zip.open(info) as stream:
                _read_exactly(stream, data_start, name)
                for start in range(0, shape[0], step):
                    count = min(step, shape[0] - start)
                    block = np.frombuffer(_read_exactly(stream, count * row_bytes, name), dtype=found_dtype)
                    yield block.reshape(count, shape[1]).astype(native, copy=False)
        except FileProblem:
            raise
        except _READ_ERRORS as exc:
            raise FileProblem(f"{name}: cannot be read ({exc})") from None


def _read_exactly(stream: Any, size: int, name: str) -> bytes:
    data = stream.read(size)
    if len(data) != size:
        raise FileProblem(f"{name}: ends {size - len(data):,} bytes before its header says")
    return bytes(data)


def _header(stream: Any) -> tuple[tuple[int, ...], np.dtype[Any], int, bool]:
    """The shape, dtype, data offset and column order an ``.npy`` stream's header declares; ``ValueError`` if none."""
    version = np.lib.format.read_magic(stream)
    reader = _HEADER_READERS.get(version)
    if reader is None:
        raise ValueError(f"an .npy header of version {version} is not one this release writes")
    shape, fortran_order, dtype = reader(stream)
    return tuple(shape), dtype, stream.tell(), bool(fortran_order)


def _check_header(name: str, found_shape: tuple[int, ...], found_dtype: np.dtype[Any], shape: Any, dtype: Any) -> None:
    if found_dtype.hasobject or found_dtype.fields is not None or found_dtype.subdtype is not None:
        raise FileProblem(f"{name}: holds values of dtype {found_dtype}, which no analysis writes")
    if isinstance(dtype, str):
        wrong = found_dtype.kind not in dtype
    else:
        wrong = found_dtype.newbyteorder("=") != np.dtype(dtype).newbyteorder("=")
    if wrong:
        expected = f"a dtype of kind {', '.join(dtype)}" if isinstance(dtype, str) else np.dtype(dtype).name
        raise FileProblem(f"{name}: holds {found_dtype}, where the analysis needs {expected}")
    if found_shape != tuple(shape):
        raise FileProblem(f"{name}: has shape {found_shape}, where the document implies {tuple(shape)}")
