"""The schema of each run: the nominal one less the indicators it leaves out.

An ``exclude`` level names column labels; the variant of the schema for it
keeps the caller's own objects wherever nothing was left out, so runs that
share a leaf share its coefficient table.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from typing import Any

import pandas as pd

__all__ = [
    "GONE",
    "assemble",
    "entry_label",
    "excluded",
    "indicators",
    "leaf_plan",
    "same_label",
    "used_columns",
    "without",
]

GONE = object()  # what an exclusion leaves of a node it emptied


def same_label(label: Any, name: Any) -> bool:
    """Whether two labels are equal, False where comparing them fails.

    An entry list compared with a tuple label, or an array with anything,
    raises or gives no single truth value instead of saying no.
    """
    try:
        return bool(label == name)
    except (TypeError, ValueError):
        return False


def entry_label(entry: Any, columns: list[Any]) -> Any:
    """The column an index entry selects, by the model's own rule; ``GONE`` if none."""
    if isinstance(entry, (tuple, list)) and entry and entry[0] in columns:
        return entry[0]
    if entry in columns:
        return entry
    return GONE


def _entries(node: Any) -> Iterator[Any]:
    if isinstance(node, dict):
        for child in node.values():
            yield from _entries(child)
    elif isinstance(node, (list, tuple)):
        yield from node


def indicators(schema: Any, columns: list[Any]) -> list[Any]:
    """Column labels the schema's entries select, in schema order, each once."""
    found: list[Any] = []
    for entry in _entries(schema):
        label = entry_label(entry, columns)
        if label is not GONE and label not in found:
            found.append(label)
    return found


def excluded(level: Any) -> list[Any]:
    """The labels an ``exclude`` level leaves out: None, one label, or a list of labels."""
    if level is None:
        return []
    return list(level) if isinstance(level, list) else [level]


def without(node: Any, drop: list[Any], columns: list[Any]) -> Any:
    """``node`` without the entries that select a column in ``drop``.

    A leaf left without any entry that selects a column disappears, and so
    does a mapping all of whose children disappeared: leaving out the only
    indicator of a dimension leaves out the dimension. Untouched parts are
    the caller's own objects; ``GONE`` if nothing is left at all.
    """
    if isinstance(node, dict):
        kept: dict[Any, Any] = {}
        for key, child in node.items():
            new = None if child is None else without(child, drop, columns)
            if new is not GONE:
                kept[key] = new
        return kept if kept or not node else GONE
    if isinstance(node, (list, tuple)):
        entries = [e for e in node if entry_label(e, columns) not in drop]
        if len(entries) == len(node):
            return node
        if all(entry_label(e, columns) is GONE for e in entries):
            return GONE
        return entries if isinstance(node, list) else tuple(entries)
    return node


def leaf_plan(node: Any, leaves: list[Any]) -> Any:
    """``node`` with every non-mapping child replaced by its position in ``leaves``.

    A leaf that is the same object in several variants gets one position, so
    its coefficient table is computed once for all of them.
    """
    if isinstance(node, dict):
        return {key: None if child is None else leaf_plan(child, leaves) for key, child in node.items()}
    for position, leaf in enumerate(leaves):
        if leaf is node:
            return position
    leaves.append(node)
    return len(leaves) - 1


def assemble(plan: Any, value_of: Callable[[int], Any]) -> Any:
    """The tree of ``plan`` with each leaf position replaced by ``value_of(position)``."""
    if isinstance(plan, dict):
        return {key: None if child is None else assemble(child, value_of) for key, child in plan.items()}
    return value_of(plan)


def used_columns(data: pd.DataFrame, schema: Any) -> pd.DataFrame:
    """``data`` reduced to the columns an entry of the schema could select."""
    names: list[Any] = []
    for entry in _entries(schema):
        names.append(entry)
        if isinstance(entry, (tuple, list)) and entry:
            names.append(entry[0])
    keep = [any(same_label(label, name) for name in names) for label in data.columns]
    return data.loc[:, keep]
