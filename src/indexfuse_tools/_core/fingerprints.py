"""Fingerprints: what an output was made from, told apart cheaply.

An index is one construction: a model (its schema, parameters and fitted
state), the preparation replayed on the raw table before scoring, and that
raw table (its values and its unit labels). Every result derived from it
carries a :class:`Fingerprint` of those four parts, so that an output handed
parts of two constructions (a robustness analysis of another model beside
this one's ranks) can refuse them and say which part differs.

Each part is a SHA-256 digest (of which 32 hexadecimal digits are kept):

- the model: its fitted state as the model file holds it (schema, scale
  method, ``pca_cumulative``, ``k``, ``min_ent``, coefficients, weights,
  abnormal entries), as tagged JSON;
- the preparation: its document (:meth:`Preparation.to_dict`), or nothing;
- the data: the columns the model and the preparation read (the model's
  indicators, the preparation's indicators and group column), as float64
  bytes for numbers and pandas' stable value hashes for labels, rows taken
  in the order of their unit labels' hashes, so that sorting a table does
  not change it;
- the units: the unit labels, in any order.

The digests depend on values only (an int column and a float column of the
same numbers agree, a NaN is a NaN whatever its bits), never on the process,
the order of a table's rows or its other columns, and they survive pickling
and files as the plain strings they are. Arrays are hashed as bytes, never
value by value in Python: a table of 250,000 rows and 17 indicators takes a
few tenths of a second.
"""

from __future__ import annotations

import hashlib
import json
import warnings
from collections.abc import Hashable, Iterable, Mapping, Sequence
from typing import Any, NamedTuple

import numpy as np
import pandas as pd

from indexfuse_tools._core.codec import encode
from indexfuse_tools._core.tree import coefficient_tables, split_key
from indexfuse_tools._core.values import fitted

__all__ = [
    "FINGERPRINT_PARTS",
    "Fingerprint",
    "UnverifiedWarning",
    "check_parts",
    "label_digest",
    "matching_edition",
    "refuse_mixed",
    "combined",
    "data_digest",
    "fingerprint",
    "model_digest",
    "preparation_digest",
    "read_columns",
    "units_digest",
]

#: The parts of a fingerprint, in the order messages name them.
FINGERPRINT_PARTS = ("model", "preparation", "data", "units")
_DIGEST_SIZE = 16
# The digest of "no preparation": not the digest of any document.
_NONE = "none"


class _Hasher:
    """SHA-256 cut to 128 bits: the fastest of hashlib's digests where the processor computes it, and far
    more bits than telling apart the parts of a few indices needs."""

    def __init__(self) -> None:
        self._hash = hashlib.sha256()

    def update(self, data: bytes) -> None:
        self._hash.update(data)

    def hexdigest(self) -> str:
        return self._hash.hexdigest()[: 2 * _DIGEST_SIZE]


def _hasher() -> _Hasher:
    return _Hasher()


def _text_digest(text: str) -> str:
    hasher = _hasher()
    hasher.update(text.encode("utf-8"))
    return hasher.hexdigest()


class Fingerprint(NamedTuple):
    """What a result was made from: a digest of each of the four parts of an index.

    A tuple of four strings, so that it pickles, compares and goes into
    ``DataFrame.attrs`` (which pandas writes to Parquet files as JSON) as
    it is.

    Attributes
    ----------
    model : str
        The model's schema, parameters and fitted state.
    preparation : str
        The preparation's rules (``"none"`` without a preparation).
    data : str
        The values of the columns the model and the preparation read.
    units : str
        The unit labels.

    Examples
    --------
    >>> a = Fingerprint("m1", "none", "d1", "u1")
    >>> a.differences(Fingerprint("m1", "none", "d2", "u1"))
    ['the data']
    >>> a == Fingerprint.from_dict(a.to_dict())
    True
    """

    model: str
    preparation: str
    data: str
    units: str

    def differences(self, other: Fingerprint) -> list[str]:
        """The parts in which ``other`` differs, named as messages name them (``"the model"``)."""
        return [f"the {part}" for part in FINGERPRINT_PARTS if getattr(self, part) != getattr(other, part)]

    @property
    def digest(self) -> str:
        """One digest of the four parts."""
        return combined(self)

    def __str__(self) -> str:
        return self.digest[:16]

    def to_dict(self) -> dict[str, str]:
        """The four digests, for a file."""
        return dict(self._asdict())

    @classmethod
    def from_dict(cls, document: Any) -> Fingerprint:
        """A fingerprint from :meth:`to_dict`'s dict; ``ValueError`` for anything else."""
        if not (
            isinstance(document, Mapping)
            and set(document) == set(FINGERPRINT_PARTS)
            and all(isinstance(document[part], str) and 0 < len(document[part]) <= 128 for part in FINGERPRINT_PARTS)
        ):
            raise ValueError(f"a fingerprint is an object of the strings {', '.join(FINGERPRINT_PARTS)}")
        return cls(*(document[part] for part in FINGERPRINT_PARTS))


def combined(digests: Iterable[str]) -> str:
    """One digest of several, in their order."""
    hasher = _hasher()
    for digest in digests:
        hasher.update(digest.encode("ascii"))
        hasher.update(b"\0")
    return hasher.hexdigest()


# ------------------------------------------------------------------ parts --


def model_digest(model: Any) -> str:
    """The digest of a fitted model's schema, parameters and fitted state.

    Two models that score alike to the bit (one fitted, one loaded from its
    file; one fitted twice on the same table) have the same digest.
    """
    state = {
        "schema": model.schema,
        "scale_method": model.scale_method,
        "pca_cumulative": getattr(getattr(model, "pca", None), "cumulative", None),
        "k": model.k,
        "min_ent": fitted(model, "min_ent"),
        "index_coef": fitted(model, "index_coef"),
        "dim_weight": fitted(model, "dim_weight"),
        "abnormal_index": list(getattr(model, "abnormal_index", [])),
    }
    return _text_digest(json.dumps(encode(state, "model"), allow_nan=False, ensure_ascii=False, sort_keys=False))


def preparation_digest(preparation: Any) -> str:
    """The digest of a preparation's rules (anything with ``to_dict()``), or ``"none"`` for None."""
    if preparation is None:
        return _NONE
    return _text_digest(json.dumps(preparation.to_dict(), allow_nan=False, ensure_ascii=False))


def read_columns(model: Any = None, preparation: Any = None) -> list[Any]:
    """The columns a model and a preparation read: the model's indicators, then the preparation's and its group."""
    labels: list[Any] = []
    if model is not None:
        coef = fitted(model, "index_coef")
        labels += [split_key(key)[0] for node in coefficient_tables(coef) for key in node.value]
    if preparation is not None:
        labels += list(preparation.indicators)
        if preparation.group is not None:
            labels.append(preparation.group)
    return list(dict.fromkeys(labels))


def _label_hashes(labels: pd.Index) -> np.ndarray:
    """pandas' stable 64-bit hash of each label, by value (a label as text or as a number hashes as itself)."""
    if not isinstance(labels, pd.MultiIndex) and (labels.dtype == object or pd.api.types.is_string_dtype(labels)):
        # The values hashed directly: pandas first factorises them otherwise, which costs three times more.
        direct: np.ndarray = pd.util.hash_array(labels.to_numpy(dtype=object), categorize=False)
        return direct
    hashed: np.ndarray = pd.util.hash_pandas_object(labels, index=False).to_numpy(dtype=np.uint64)
    return hashed


def units_digest(units: pd.Index, hashes: np.ndarray | None = None) -> str:
    """The digest of a table's unit labels, whatever their order (``hashes``: their value hashes, if known)."""
    ordered = np.sort(_label_hashes(units) if hashes is None else hashes)
    hasher = _hasher()
    hasher.update(np.int64(len(ordered)).tobytes())
    hasher.update(np.ascontiguousarray(ordered).tobytes())
    return hasher.hexdigest()


def _is_number(column: pd.Series) -> bool:
    return pd.api.types.is_numeric_dtype(column.dtype) or pd.api.types.is_bool_dtype(column.dtype)


def _numbers(column: pd.Series, order: np.ndarray) -> bytes:
    """A column of numbers as float64 bytes, rows in ``order``: one NaN, no negative zero."""
    values = np.take(column.to_numpy(dtype=np.float64, na_value=np.nan), order)
    values += 0.0
    values[np.isnan(values)] = np.nan
    return values.tobytes()


def data_digest(frame: pd.DataFrame, columns: Sequence[Hashable], hashes: np.ndarray | None = None) -> str:
    """The digest of ``frame``'s ``columns`` (those it has), rows in the order of their labels' hashes.

    A column is named in the digest by its ``repr``, so the columns may come
    in any order; a column the table lacks counts as absent. ``hashes`` are
    the value hashes of the row labels, if known.
    """
    order = np.argsort(_label_hashes(frame.index) if hashes is None else hashes, kind="stable")
    wanted = set(map(repr, dict.fromkeys(columns)))
    # By position, in the order of the labels' text: a repeated label keeps each of its columns.
    positions = sorted(
        (position for position, label in enumerate(frame.columns) if repr(label) in wanted and label in columns),
        key=lambda position: (repr(frame.columns[position]), position),
    )
    hasher = _hasher()
    hasher.update(np.int64(len(frame)).tobytes())
    for position in positions:
        hasher.update(repr(frame.columns[position]).encode("utf-8") + b"\0")
        column = frame.iloc[:, position]
        if _is_number(column):
            hasher.update(b"f" + _numbers(column, order))
        else:
            labels = pd.util.hash_pandas_object(column, index=False).to_numpy(dtype=np.uint64)
            hasher.update(b"h" + np.take(labels, order).tobytes())
    return hasher.hexdigest()


def fingerprint(model: Any, preparation: Any, data: pd.DataFrame) -> Fingerprint:
    """The fingerprint of ``model`` scoring the raw table ``data`` after ``preparation`` (or None).

    Parameters
    ----------
    model : indexfuse.indexpca_diment
        A fitted model.
    preparation : Preparation or None
        The treatment replayed on ``data`` before scoring.
    data : pandas.DataFrame
        The raw table, its rows the units.
    """
    hashes = _label_hashes(data.index)
    return Fingerprint(
        model_digest(model),
        preparation_digest(preparation),
        data_digest(data, read_columns(model, preparation), hashes),
        units_digest(data.index, hashes),
    )


def label_digest(label: Any) -> str:
    """The digest of one label (a period, say) by its value: the year 2019 as an int or a numpy int alike."""
    return units_digest(pd.Index([label]))


# ----------------------------------------------------------------- checks --


class UnverifiedWarning(UserWarning):
    """A part handed to an output carries no fingerprint, so it cannot be checked to belong to the same index.

    A robustness analysis read from a file saved before fingerprints were
    kept is the usual case: the output uses it, and says so.
    """


def _listed(parts: list[str]) -> str:
    return parts[0] if len(parts) == 1 else ", ".join(parts[:-1]) + " and " + parts[-1]


def refuse_mixed(function: str, own: Fingerprint, other: Fingerprint | None, what: str, remedy: str) -> None:
    """``ValueError`` naming the parts in which ``other`` (the fingerprint of ``what``) differs from ``own``.

    Parameters
    ----------
    function : str
        The call, as the message names it (``"report()"``).
    own : Fingerprint
        The fingerprint of what the output shows.
    other : Fingerprint or None
        The fingerprint ``what`` carries; None warns
        (:class:`UnverifiedWarning`) instead of refusing.
    what : str
        The part handed to the output (``"the robustness analysis"``).
    remedy : str
        What to do instead, as a sentence.
    """
    if other is None:
        warnings.warn(
            f"{function}: {what} carries no fingerprint (it was saved before they were kept), so it cannot be "
            "checked to be of the index shown; it is used as it is",
            UnverifiedWarning,
            stacklevel=3,
        )
        return
    differing = own.differences(other)
    if differing:
        verb = "differs" if len(differing) == 1 else "differ"
        raise ValueError(
            f"{function}: {what} is of another index than the one shown: {_listed(differing)} {verb} "
            f"(fingerprint {other} against {own}). {remedy}"
        )


def matching_edition(
    function: str, own: Fingerprint, editions: Mapping[Any, Fingerprint], what: str, remedy: str
) -> Any:
    """The period whose edition is the table shown (same data and units), checked for its model and preparation.

    Raises ``ValueError`` naming what differs when an edition has the same
    table but another model or preparation, or when no edition has the
    table shown (compared with the latest edition).
    """
    for period, other in editions.items():
        if other.data == own.data and other.units == own.units:
            refuse_mixed(function, own, other, f"{what} (its {period} edition)", remedy)
            return period
    latest = list(editions)[-1]
    refuse_mixed(function, own, editions[latest], f"{what} (its latest edition, {latest}, the closest)", remedy)
    raise ValueError(f"{function}: the table shown is none of the editions of {what}. {remedy}")  # pragma: no cover


#: What to do when a robustness analysis is of another index than the one shown.
ROBUSTNESS_REMEDY = (
    "Analyse the index shown: Index.robustness(), or robustness(schema, data, preparation=<the Preparation "
    "the model was fitted after>, **<the model's arguments>) on the same raw table."
)
#: What to do when editions are of another index than the one shown.
EDITIONS_REMEDY = (
    "Show one of the editions with the model and preparation that scored it: Index.report() and "
    "Index.explorer(), or report(editions.models[period], editions.frame(period), path, "
    "preparation=editions.preparation, editions=editions)."
)


def check_parts(function: str, own: Fingerprint, robustness: Any = None, editions: Any = None) -> Any:
    """Refuse a robustness analysis or editions of another index than ``own``; the edition shown, or None.

    ``robustness`` is compared part by part (its ``fingerprint``); the
    table shown must be one of the ``editions`` (the same raw table and
    units as ``editions.edition_fingerprint(period)``), scored by that
    edition's model after its preparation.
    """
    if robustness is not None:
        refuse_mixed(function, own, robustness.fingerprint, "the robustness analysis", ROBUSTNESS_REMEDY)
    if editions is None:
        return None
    found = {period: editions.edition_fingerprint(period) for period in editions.periods}
    return matching_edition(function, own, found, "the editions", EDITIONS_REMEDY)
