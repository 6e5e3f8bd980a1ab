"""Editions read from a Dask DataFrame partitioned by period.

Each partition is split into its editions where it lies (on the workers of
a cluster), each edition labelled by its units there; the client receives
one table per period, the pieces of a period spread over several
partitions put together, and fits and scores them as it does editions given
as a mapping. The scores then are those of the same table in pandas, to the
bit; text labels come back in the string dtype Dask gives them (its
``dataframe.convert-string`` setting). Dask is imported only when the data
is a Dask DataFrame.
"""

from __future__ import annotations

import sys
from collections.abc import Hashable
from typing import Any

import pandas as pd

__all__ = ["is_dask_frame", "gathered_editions"]


def is_dask_frame(data: object) -> bool:
    """Whether ``data`` is a Dask DataFrame (without importing Dask when it is not loaded)."""
    dataframe = sys.modules.get("dask.dataframe")
    return dataframe is not None and isinstance(data, dataframe.DataFrame)


def _split(part: pd.DataFrame, period: Hashable, unit: Hashable | None) -> list[tuple[Any, pd.DataFrame]]:
    """One partition's editions: ``(period, rows labelled by unit)``, in the order met."""
    if period not in part.columns:
        raise KeyError(f"editions(): period={period!r} is not a column of data")
    if unit is not None and unit not in part.columns:
        raise KeyError(f"editions(): unit={unit!r} is not a column of data")
    labels = part[period]
    if labels.isna().any():
        raise ValueError(f"editions(): the period column {period!r} has missing labels")
    body = part.drop(columns=[period])
    if unit is not None:
        if body[unit].isna().any():
            raise ValueError(f"editions(): the unit column {unit!r} has missing labels; every row must name its unit")
        body = body.set_index(unit)
    elif body.index.hasnans:
        raise ValueError("editions(): the row labels have missing labels; every row must name its unit")
    body.index = body.index.rename("unit")
    positions = part.groupby(labels.to_numpy(), sort=False).indices
    return [(key, body.iloc[rows]) for key, rows in positions.items()]


def gathered_editions(data: Any, period: Hashable, unit: Hashable | None) -> dict[Any, pd.DataFrame]:
    """``{period: table indexed by unit}`` from a Dask DataFrame, split partition by partition.

    Parameters
    ----------
    data : dask.dataframe.DataFrame
        A long table with a ``period`` column, best partitioned so that each
        partition holds whole periods (``set_index``/``shuffle`` on the
        period, or one file per period).
    period, unit : column labels
        As :func:`editions` takes them.

    Returns
    -------
    dict
        Period -> that edition's rows; the pieces of a period found in
        several partitions are put together in the partitions' order.

    Raises
    ------
    KeyError, ValueError
        A missing period or unit column, or missing labels in them, as
        :func:`editions` raises them for a pandas table.
    """
    import importlib

    # dask ships no annotations for these: reached as plain objects.
    dask: Any = importlib.import_module("dask")
    if data.index.name == period and period not in data.columns:
        data = data.reset_index()
    pieces = dask.compute(*(dask.delayed(_split)(part, period, unit) for part in data.to_delayed()))
    editions: dict[Any, list[pd.DataFrame]] = {}
    for piece in pieces:
        for key, frame in piece:
            editions.setdefault(key, []).append(frame)
    return {key: frames[0] if len(frames) == 1 else pd.concat(frames) for key, frames in editions.items()}
