"""Fingerprints: what an output was made from, told apart cheaply.

An index is one construction: a model (its schema, parameters and fitted
state), the preparation replayed on the raw table before scoring, and that
raw table (its values and its unit labels). Every result derived from it
carries a :class:`Fingerprint` of those four parts, so that an output handed
parts of two constructions (a robustness analysis of another model beside
this one's ranks) can refuse them and say which part differs.

Each part is a BLAKE2b digest:

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
and files as the plain strings they are. A table of 250,000 rows and 17
indicators is hashed in a few tenths of a second: arrays are hashed as bytes,
never value by value in Python.
"""

from __future__ import annotations

import hashlib
import json
from collections.abc import Hashable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from indexfuse_tools._core.codec import encode
from indexfuse_tools._core.tree import coefficient_tables, split_key
from indexfuse_tools._core.values import fitted

__all__ = [
    "FINGERPRINT_PARTS",
    "Fingerprint",
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


def _hasher() -> Any:
    return hashlib.blake2b(digest_size=_DIGEST_SIZE)


def _text_digest(text: str) -> str:
    hasher = _hasher()
    hasher.update(text.encode("utf-8"))
    return hasher.hexdigest()


@dataclass(frozen=True)
class Fingerprint:
    """What a result was made from: a digest of each of the four parts of an index.

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
        return combined(getattr(self, part) for part in FINGERPRINT_PARTS)

    def __str__(self) -> str:
        return self.digest[:16]

    def to_dict(self) -> dict[str, str]:
        """The four digests, for a file."""
        return {part: getattr(self, part) for part in FINGERPRINT_PARTS}

    @classmethod
    def from_dict(cls, document: Any) -> Fingerprint:
        """A fingerprint from :meth:`to_dict`'s dict; ``ValueError`` for anything else."""
        if not (
            isinstance(document, Mapping)
            and set(document) == set(FINGERPRINT_PARTS)
            and all(isinstance(document[part], str) and 0 < len(document[part]) <= 128 for part in FINGERPRINT_PARTS)
        ):
            raise ValueError(f"a fingerprint is an object of the strings {', '.join(FINGERPRINT_PARTS)}")
        return cls(**{part: document[part] for part in FINGERPRINT_PARTS})


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


def _numbers(block: pd.DataFrame, order: np.ndarray) -> np.ndarray:
    """Columns of numbers as float64, rows in ``order``: one NaN, no negative zero."""
    values = block.to_numpy(dtype=np.float64, na_value=np.nan)[order]
    values += 0.0
    values[np.isnan(values)] = np.nan
    return np.ascontiguousarray(values.T)


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
    numeric = [position for position in positions if _is_number(frame.iloc[:, position])]
    block = _numbers(frame.iloc[:, numeric], order) if numeric else np.empty((0, len(frame)))
    hasher = _hasher()
    hasher.update(np.int64(len(frame)).tobytes())
    for position in positions:
        hasher.update(repr(frame.columns[position]).encode("utf-8") + b"\0")
        if position in numeric:
            hasher.update(b"f" + block[numeric.index(position)].tobytes())
        else:
            column = frame.iloc[:, position]
            labels = pd.util.hash_pandas_object(column, index=False).to_numpy(dtype=np.uint64)[order]
            hasher.update(b"h" + np.ascontiguousarray(labels).tobytes())
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
