"""A schema read the way the model reads it: its nodes, and the column each entry selects.

The model matches entries against ``data.columns.tolist()`` with ``in`` (so by
equality), tries element 0 of a list or tuple entry before the entry as a
whole, and takes element 1 of a two-element entry as its direction. The
helpers here follow those rules exactly, so that what the tools report or
prepare is what ``fit`` will use.
"""

from __future__ import annotations

from collections.abc import Hashable, Iterator
from dataclasses import dataclass
from typing import Any, NamedTuple

from indexfuse_tools._persist import _place as place

__all__ = ["MAX_DEPTH", "Node", "Match", "walk", "resolve", "is_leaf", "leaf_columns", "place"]

#: Depth of the deepest mapping the model reads: the schema's mapping of
#: dimensions (depth 0) and mappings of sub-dimensions in it (depth 1). The
#: values of a sub-dimension mapping (depth 2) must be lists of entries.
MAX_DEPTH = 1


@dataclass(frozen=True)
class Node:
    """One node of a schema: where it is, and what it holds."""

    path: tuple[Hashable, ...]
    place: str
    value: Any
    depth: int


class Match(NamedTuple):
    """The column an entry names, and the multiplier the model applies to it."""

    label: Any
    direction: Any
    #: A list or tuple entry that names a column only as a whole (a tuple label).
    whole: bool


def walk(schema: Any, where: str = "schema") -> Iterator[Node]:
    """Every node of ``schema``, the schema itself first, depth first in key order.

    Mappings deeper than :data:`MAX_DEPTH` are yielded but not entered, so a
    schema that contains itself ends.
    """
    stack = [Node((), where, schema, 0)]
    while stack:
        node = stack.pop()
        yield node
        if isinstance(node.value, dict) and node.depth <= MAX_DEPTH:
            children = [
                Node((*node.path, key), place(node.place, key), child, node.depth + 1)
                for key, child in node.value.items()
            ]
            stack.extend(reversed(children))


def is_leaf(node: Node) -> bool:
    """Whether ``node`` is a list of entries at a depth the model reads."""
    return isinstance(node.value, (list, tuple)) and node.depth <= MAX_DEPTH + 1


def resolve(entry: Any, columns: list[Any]) -> Match | None:
    """The column that ``entry`` names among ``columns``, or ``None`` (skipped).

    Raises ``IndexError`` for an empty list or tuple entry, and whatever the
    comparison with a label raises (for example for a numpy array entry).
    """
    if isinstance(entry, (list, tuple)):
        head = entry[0]
        if head in columns:
            return Match(head, entry[1] if len(entry) == 2 else 1, False)
        if entry in columns:
            return Match(tuple(entry), 1, True)
        return None
    if entry in columns:
        return Match(entry, 1, False)
    return None


def leaf_columns(schema: Any, columns: list[Any]) -> list[tuple[Node, list[Any]]]:
    """Each list of entries in ``schema`` with the distinct columns its entries name.

    Entries that name no column, or cannot be compared with the labels, are
    left out (:func:`indexfuse_tools.check` reports them); so are lists that
    name no column at all.
    """
    result = []
    for node in walk(schema):
        if not is_leaf(node):
            continue
        labels: list[Any] = []
        for entry in node.value:
            try:
                match = resolve(entry, columns)
            except Exception:  # an empty or incomparable entry: check names it
                continue
            if match is not None and match.label not in labels:
                labels.append(match.label)
        if labels:
            result.append((node, labels))
    return result
