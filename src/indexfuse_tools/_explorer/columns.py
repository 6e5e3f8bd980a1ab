"""Per-unit columns as the page carries them: typed arrays, compressed, in one text.

A page of 242,335 units carries millions of numbers; as JSON numbers or
plain base64 they weigh about 90 MB. Each column here is a little-endian
typed array whose bytes are regrouped by significance (every value's first
byte, then every second byte, ...: the high bytes of similar numbers repeat,
and deflate finds them once they sit together), deflated with zlib, and
written as base64. Every column is its own stream, so that the page inflates
only what it shows (the indicators when a unit's profile opens); the browser
inflates with its built-in ``DecompressionStream("deflate")``.

A column holds the digits its use needs, and no more:

- ``"f8"``, float64, where the page computes with the value and must agree
  with Python to the last bit (the dimension values it re-weights);
- ``"i4"`` with ``decimals`` d, int32 counts of 10^-d, where every value is
  written with at most d decimals: the page divides by 10^d and gets the
  float64 back exactly (both divisions are correctly rounded). Data read
  from text files are nearly always so. Numbers only shown, at a fixed
  number of decimals, are rounded to those decimals and stored the same
  way. The least int32 marks a missing value;
- ``"f4"``, float32, for values with no short decimal form that the page
  shows at four significant digits;
- ``"u4"``, uint32, for positions;
- ``"json"``, UTF-8 JSON, for the units' labels.
"""

from __future__ import annotations

import base64
import json
import re
import zlib
from typing import Any

import numpy as np

__all__ = ["MISSING", "Columns", "decimals_of"]

#: The int32 that stands for a missing value in an ``"i4"`` column.
MISSING = np.iinfo(np.int32).min
# Beyond six decimals a column is rarely a decimal one, and 10**d·x soon
# leaves int32: float32 serves it better.
_MOST_DECIMALS = 6
_LARGEST = np.iinfo(np.int32).max
# Level 6 is zlib's own default: level 9 gains under 1% on these columns
# and takes twice as long.
_LEVEL = 6
_LONE_SURROGATE = re.compile("[\ud800-\udfff]")


def _regrouped(array: np.ndarray) -> bytes:
    """The bytes of ``array`` grouped by significance: all first bytes, then all second bytes..."""
    width = array.dtype.itemsize
    as_bytes = np.frombuffer(np.ascontiguousarray(array).tobytes(), dtype=np.uint8)
    return as_bytes.reshape(-1, width).T.tobytes() if width > 1 else as_bytes.tobytes()


def decimals_of(values: np.ndarray) -> int | None:
    """The fewest decimals that write every finite value of ``values`` exactly, or None.

    Exactly means that ``round(x * 10**d) / 10**d == x`` in float64, which
    is what the page computes; None when no d up to six does it within int32.

    Examples
    --------
    >>> decimals_of(np.array([12.5, 0.25, np.nan])), decimals_of(np.array([1 / 3]))
    (2, None)
    """
    finite = values[np.isfinite(values)]
    for digits in range(_MOST_DECIMALS + 1):
        scale = 10.0**digits
        counts = np.round(finite * scale)
        if counts.size and np.abs(counts).max() > _LARGEST:
            return None
        if np.array_equal(counts / scale, finite):
            return digits
    return None


class Columns:
    """The per-unit columns of one page, gathered into one text.

    Each ``add_*`` method appends a column and returns what the page's
    data say of it: its type, where its base64 starts in :meth:`text` and
    how long it is.
    """

    def __init__(self) -> None:
        self._parts: list[str] = []
        self._length = 0

    def _add(self, kind: str, data: bytes, **extra: Any) -> dict[str, Any]:
        packed = base64.b64encode(zlib.compress(data, _LEVEL)).decode("ascii")
        entry = {"type": kind, "at": self._length, "length": len(packed), **extra}
        self._parts.append(packed)
        self._length += len(packed)
        return entry

    def add_exact(self, values: Any) -> dict[str, Any]:
        """Float64 values the page computes with: every bit kept."""
        return self._add("f8", _regrouped(np.asarray(values, dtype="<f8")))

    def add_shown(self, values: Any, decimals: int) -> dict[str, Any]:
        """Values the page only shows, at ``decimals`` decimals: rounded to them."""
        array = np.asarray(values, dtype=np.float64)
        return self._add_counts(np.round(array * 10.0**decimals), np.isnan(array), decimals)

    def add_measured(self, values: Any) -> dict[str, Any]:
        """Indicator values: exact when they have a short decimal form, else float32."""
        array = np.asarray(values, dtype=np.float64)
        digits = decimals_of(array)
        if digits is None:
            return self._add("f4", _regrouped(array.astype("<f4")))
        return self._add_counts(np.round(array * 10.0**digits), np.isnan(array), digits)

    def _add_counts(self, counts: np.ndarray, missing: np.ndarray, decimals: int) -> dict[str, Any]:
        counts = np.where(missing, 0.0, counts)
        if counts.size and np.abs(counts).max() > _LARGEST:
            # Too large for the decimals asked for: the page shows them from float32.
            values = np.where(missing, np.nan, counts / 10.0**decimals)
            return self._add("f4", _regrouped(values.astype("<f4")))
        integers = np.where(missing, MISSING, counts).astype("<i4")
        return self._add("i4", _regrouped(integers), decimals=decimals)

    def add_positions(self, positions: Any) -> dict[str, Any]:
        """Positions of units (0-based), as uint32."""
        return self._add("u4", _regrouped(np.asarray(positions, dtype="<u4")))

    def add_labels(self, labels: list[str]) -> dict[str, Any]:
        """Text labels, as one JSON array."""
        text = json.dumps(labels, ensure_ascii=False)
        # A lone surrogate (a label decoded with "surrogateescape") has no
        # UTF-8 form; as an escape it reaches the page unchanged.
        text = _LONE_SURROGATE.sub(lambda found: f"\\u{ord(found.group()):04x}", text)
        return self._add("json", text.encode("utf-8"))

    def text(self) -> str:
        """Every column's base64, one after the other."""
        return "".join(self._parts)
