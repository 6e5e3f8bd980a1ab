"""Schemas and the trees a fit makes, read the way the model reads them.

A *schema* maps dimension keys to lists of entries, or to mappings of
sub-dimensions whose values are lists of entries; a list of entries alone is
a schema of one dimension. The model matches entries against
``data.columns.tolist()`` with ``in`` (so by equality), tries element 0 of a
list or tuple entry before the entry as a whole, and takes element 1 of a
two-element entry as its direction. An empty list or tuple entry makes
``fit`` raise ``IndexError``; so does :func:`resolve`.

A fit makes trees of the same shape: ``index_coef`` (a coefficient table at
every dimension that names a column, ``None`` elsewhere), ``dim_weight`` (a
number, ``None``, or a mapping for a nested dimension) and the dimension
values that ``score`` returns. Everything here walks those trees with one
walker, :func:`nodes`, so that every module reads them alike.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Collection, Hashable, Iterable, Iterator, Mapping, Sequence
from typing import Any, NamedTuple, TypeAlias

import pandas as pd

from indexfuse_tools._core.bidi import isolate
from indexfuse_tools._core.codec import Spot, Where, place
from indexfuse_tools._core.values import is_real

__all__ = [
    "Schema",
    "WeightTree",
    "CoefficientTable",
    "CoefficientTree",
    "Path",
    "MAX_DEPTH",
    "RECORD_KEYS",
    "GONE",
    "Node",
    "Match",
    "nodes",
    "walk",
    "is_leaf",
    "resolve",
    "selected",
    "leaf_columns",
    "entries",
    "indicators",
    "without",
    "same_label",
    "used_columns",
    "split_key",
    "dimension_name",
    "SCORE_COLUMNS",
    "name_clashes",
    "clash_text",
    "check_dimension_names",
    "plain_name",
    "effect",
    "is_coefficient_table",
    "coefficient_tables",
    "dimension_nodes",
    "weight_leaves",
    "node_weight",
    "at",
    "replace_at",
    "map_leaves",
    "where_of",
]

#: Where a node sits: the keys from the root down to it.
Path: TypeAlias = tuple[Hashable, ...]
#: A mapping of dimensions (to lists of entries, to mappings of
#: sub-dimensions or to ``None``), or a single list of entries. Typed as
#: loosely as callers write them: ``{"a": ["x"], "b": [("y", -1)]}`` is a
#: dict of a join of list and tuple, a ``Collection``.
Schema: TypeAlias = "Mapping[Any, Schema | None] | Collection[Any]"
#: A fitted ``dim_weight``: a number per dimension, ``None`` for one without
#: coefficients, a mapping for a nested dimension.
WeightTree: TypeAlias = "float | None | dict[Hashable, WeightTree]"
#: Index key -> coefficient record (the keys of :data:`RECORD_KEYS`).
CoefficientTable: TypeAlias = dict[Hashable, dict[str, float]]
#: A fitted ``index_coef``: a table per dimension, ``None`` for one without.
CoefficientTree: TypeAlias = "CoefficientTable | None | dict[Hashable, CoefficientTree]"

#: Depth of the deepest mapping the model reads: the schema's mapping of
#: dimensions (depth 0) and mappings of sub-dimensions in it (depth 1). The
#: values of a sub-dimension mapping (depth 2) must be lists of entries.
MAX_DEPTH = 1
#: The keys of a coefficient record, in the order the model writes them.
RECORD_KEYS = ("coef", "max", "min", "mean", "std")

_WHOLE = "(all indices)"


class _Gone:
    def __repr__(self) -> str:
        return "GONE"


#: What :func:`selected` gives for an entry that names no column, and what
#: :func:`without` leaves of a node it emptied.
GONE: Any = _Gone()


class Node(NamedTuple):
    """One node of a tree: where it is, and what it holds."""

    path: Path
    #: The name of the tree's root, as :attr:`place` begins.
    root: str
    value: Any
    depth: int

    @property
    def place(self) -> str:
        """Where the node sits, as Python would index it: ``schema['safety'][0]``.

        Built when read, which is mostly on an error: the walkers of hot
        paths (weights set once per robustness run) never pay for it, and
        a tree of long keys nested deep costs no more than the tree.
        """
        return where_of(self.root, self.path)

    @property
    def spot(self) -> Where:
        """:attr:`place` as a :class:`Spot`, for a check that passes it on
        and spells it out only in an error message."""
        spot: Where = self.root
        for key in self.path:
            spot = Spot(spot, key)
        return spot


class Match(NamedTuple):
    """The column an entry names, and the multiplier the model applies to it."""

    label: Any
    direction: Any
    #: A list or tuple entry that names a column only as a whole (a tuple label).
    whole: bool


# ------------------------------------------------------------- the walker --


def _is_mapping(value: Any) -> bool:
    return isinstance(value, dict)


def nodes(
    tree: Any,
    where: str = "",
    *,
    enter: Callable[[Any], bool] = _is_mapping,
    max_depth: int | None = None,
) -> Iterator[Node]:
    """Every node of ``tree``, the root first, depth first in key order.

    Parameters
    ----------
    tree : object
        A schema, a weight tree, a coefficient tree or a tree of values.
    where : str
        The name of the root in the nodes' :attr:`Node.place`.
    enter : callable
        Whether to yield the children of a node; any mapping by default.
        The children of a node are read when it is entered, after the node
        itself was yielded, so a caller that raises on a node never sees
        its children.
    max_depth : int, optional
        Mappings deeper than this are yielded but not entered, so that a
        tree that contains itself ends.
    """
    # The robustness engine walks a weight tree several times per run, so the
    # common case (enter every dict) skips the call through ``enter``.
    plain = enter is _is_mapping
    stack = [Node((), where, tree, 0)]
    while stack:
        node = stack.pop()
        yield node
        value = node.value
        if (isinstance(value, dict) if plain else enter(value)) and (max_depth is None or node.depth <= max_depth):
            path, depth = node.path, node.depth + 1
            stack.extend(reversed([Node((*path, key), where, child, depth) for key, child in value.items()]))


def walk(schema: Any, where: str = "schema") -> Iterator[Node]:
    """Every node of ``schema`` down to the depth the model reads (see :data:`MAX_DEPTH`)."""
    return nodes(schema, where, max_depth=MAX_DEPTH)


def where_of(root: str, path: Path) -> str:
    """The place of ``path`` below ``root``: ``weights['economy']['work']``."""
    for key in path:
        root = place(root, key)
    return root


def at(tree: Any, path: Path) -> Any:
    """The node of ``tree`` at ``path``; ``None`` where the tree has no such node."""
    for key in path:
        tree = tree.get(key) if isinstance(tree, dict) else None
    return tree


def replace_at(tree: Any, path: Path, value: Any) -> Any:
    """A copy of ``tree`` with ``value`` at ``path``; the mappings on the path are copied."""
    if not path:
        return value
    root = dict(tree)
    parent = root
    for key in path[:-1]:
        parent[key] = dict(parent[key])
        parent = parent[key]
    parent[path[-1]] = value
    return root


def map_leaves(
    tree: Any,
    leaf: Callable[[Node], Any],
    *,
    where: str = "",
    key: Callable[[Any], Hashable] | None = None,
) -> Any:
    """A new tree shaped like ``tree`` whose leaves are ``leaf(node)`` of its leaf nodes.

    Every mapping is rebuilt (with its keys passed through ``key``, when
    given); everything else is a leaf.
    """
    # One pass in tree order, so that the first bad leaf or key is the one
    # reported: a mapping's new dict is made when it is reached and filled as
    # its children are, which keeps the keys' order. The robustness engine
    # rebuilds a weight tree once per run, so no Node is made for a mapping.
    top: dict[Any, Any] = {}
    stack: list[tuple[Any, Path, int, dict[Any, Any], Any]] = [(tree, (), 0, top, None)]
    while stack:
        value, path, depth, parent, name = stack.pop()
        if isinstance(value, dict):
            built: dict[Any, Any] = {}
            names = list(value) if key is None else [key(k) for k in value]
            stack.extend(
                reversed([(child, (*path, k), depth + 1, built, n) for (k, child), n in zip(value.items(), names)])
            )
            parent[name] = built
        else:
            parent[name] = leaf(Node(path, where, value, depth))
    return top[None]


# ---------------------------------------------------------- the entries --


def is_leaf(node: Node) -> bool:
    """Whether ``node`` of a schema is a list of entries at a depth the model reads."""
    return isinstance(node.value, (list, tuple)) and node.depth <= MAX_DEPTH + 1


def resolve(entry: Any, columns: list[Any]) -> Match | None:
    """The column that ``entry`` names among ``columns``, or ``None`` (skipped).

    Raises ``IndexError`` for an empty list or tuple entry, as ``fit`` does,
    and whatever the comparison with a label raises (for example for a numpy
    array entry).
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


def selected(entry: Any, columns: list[Any]) -> Any:
    """The column label ``entry`` selects, or :data:`GONE` (by :func:`resolve`'s rule)."""
    match = resolve(entry, columns)
    return GONE if match is None else match.label


def entries(schema: Any) -> Iterator[Any]:
    """Every entry of the schema's lists of entries, in schema order."""
    for node in walk(schema):
        if is_leaf(node):
            yield from node.value


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


def indicators(schema: Any, columns: list[Any]) -> list[Any]:
    """Column labels the schema's entries select, in schema order, each once."""
    found: list[Any] = []
    for entry in entries(schema):
        label = selected(entry, columns)
        if label is not GONE and label not in found:
            found.append(label)
    return found


def without(schema: Any, drop: Sequence[Any], columns: list[Any]) -> Any:
    """``schema`` without the entries that select a column in ``drop``.

    A list left without any entry that selects a column disappears, and so
    does a mapping all of whose children disappeared: leaving out the only
    indicator of a dimension leaves out the dimension. A ``None`` child
    stays as it is. Untouched lists are the caller's own objects; the result
    is :data:`GONE` if nothing is left at all.
    """

    def kept(leaf: Node) -> Any:
        node = leaf.value
        if not isinstance(node, (list, tuple)):
            return node
        remaining = [e for e in node if selected(e, columns) not in drop]
        if len(remaining) == len(node):
            return node
        if all(selected(e, columns) is GONE for e in remaining):
            return GONE
        return remaining if isinstance(node, list) else tuple(remaining)

    return _prune(map_leaves(schema, kept))


def _prune(tree: Any) -> Any:
    """``tree`` without its :data:`GONE` leaves and the mappings they emptied."""
    pruned: dict[Path, Any] = {}
    for node in reversed(list(nodes(tree))):
        if not isinstance(node.value, dict):
            pruned[node.path] = node.value
            continue
        children = {k: pruned.pop((*node.path, k)) for k in node.value}
        left = {k: v for k, v in children.items() if v is not GONE}
        pruned[node.path] = left if left or not node.value else GONE
    return pruned[()]


def same_label(label: Any, name: Any) -> bool:
    """Whether a column label equals a name, ``False`` where they cannot be compared."""
    try:
        return bool(label == name)
    except (TypeError, ValueError):  # an entry list against a tuple label, say
        return False


def used_columns(data: pd.DataFrame, schema: Any) -> pd.DataFrame:
    """``data`` reduced to the columns an entry of the schema could select."""
    names: list[Any] = []
    for entry in entries(schema):
        names.append(entry)
        if isinstance(entry, (tuple, list)) and entry:
            names.append(entry[0])
    keep = [any(same_label(label, name) for name in names) for label in data.columns]
    return data.loc[:, keep]


# ------------------------------------------------------------ the names --


def split_key(key: Any) -> tuple[Any, Any]:
    """(label, direction) of a key, read by its shape as the model reads it."""
    if isinstance(key, (tuple, list)):
        return key[0], key[1] if len(key) == 2 else 1
    return key, 1


def dimension_name(path: Sequence[Hashable]) -> str:
    """Display name of a path of dimension keys, e.g. ``"wellbeing / hardship (-1)"``.

    A key that carries a direction (a pair) shows it in parentheses. The empty
    path (a model of a single dimension) is ``"(all indices)"``.
    """
    parts = []
    for key in path:
        label, direction = split_key(key)
        paired = isinstance(key, (tuple, list)) and len(key) == 2
        parts.append(f"{label} ({direction})" if paired else str(label))
    return " / ".join(parts) if parts else _WHOLE


# The columns a table of scores holds beside its dimensions' (the results of
# a table or of an edition), with what each holds in words.
_SCORE_COLUMNS = {
    "composite": "composite",
    "score": "score on the presentation scale",
    "rank": "rank",
    "rank_change": "change of rank since the previous edition",
    "composite_change": "change of composite since the previous edition",
    "score_change": "change of score since the previous edition",
    "missing": "count of missing indicators",
    "imputed": "count of imputed values",
}
#: The columns a table of scores holds beside its dimensions': a dimension
#: cannot be shown under one of these names.
SCORE_COLUMNS = tuple(_SCORE_COLUMNS)


def name_clashes(paths: Iterable[Sequence[Hashable]]) -> list[tuple[str, list[Path]]]:
    """The display names (:func:`dimension_name`) that two of ``paths`` share,
    or that one of them shares with a column of :data:`SCORE_COLUMNS`.

    Every table, page and file shows a dimension by its name, so two
    dimensions that read alike (``"a / b"`` at the top beside ``"b"`` inside
    ``"a"``; the key ``("safety", -1)`` beside a key written
    ``"safety (-1)"``; ``1`` beside ``"1"``) would share a column, and a
    unit would be shown with another dimension's value.

    Returns
    -------
    list of (str, list of Path)
        Each name shared, with the paths that share it in the order given
        (one path alone for a name that is a column of the scores).

    Examples
    --------
    >>> name_clashes([("a / b",), ("a", "b"), ("c",), ("rank",)])
    [('a / b', [('a / b',), ('a', 'b')]), ('rank', [('rank',)])]
    """
    by_name: dict[str, list[Path]] = {}
    for path in paths:
        by_name.setdefault(dimension_name(path), []).append(tuple(path))
    return [(name, found) for name, found in by_name.items() if len(found) > 1 or name in SCORE_COLUMNS]


def clash_text(name: str, paths: Sequence[Path], root: str = "schema") -> str:
    """A clash of :func:`name_clashes` in words: which dimensions, and why that is refused."""
    if len(paths) == 1:
        return (
            f"the dimension {where_of(root, paths[0])} is named {name!r}, as the column of the "
            f"scores that holds each unit's {_SCORE_COLUMNS[name]}: rename the dimension"
        )
    named = " and ".join(where_of(root, path) for path in paths)
    return (
        f"the dimensions {named} share the name {name!r} in the results, so their values would "
        "share one column and a unit would be shown with another's value: rename one of them"
    )


def check_dimension_names(paths: Iterable[Sequence[Hashable]], root: str = "schema") -> None:
    """Nothing, or ``ValueError`` naming the dimensions of ``paths`` whose display
    names clash (:func:`name_clashes`)."""
    clashes = name_clashes(paths)
    if clashes:
        name, found = clashes[0]
        more = f" ({len(clashes)} names clash in all)" if len(clashes) > 1 else ""
        raise ValueError(clash_text(name, found, root) + more)


def plain_name(path: Sequence[Hashable]) -> str:
    """A dimension path in words, without directions: ``"opportunity / hardship"``.

    For text a reader sees: each part is isolated (:func:`isolate`), so that
    a name in a right-to-left script, or one holding a bidirectional
    control, leaves the sentence around it in its order.
    """
    return " / ".join(isolate(split_key(key)[0]) for key in path) if path else "all indicators"


def effect(sign: float) -> str:
    """What a direction does, in words."""
    if sign > 0:
        return "raises the index" if sign == 1 else f"raises the index (counted {sign:g} times)"
    if sign < 0:
        return "lowers the index" if sign == -1 else f"lowers the index (counted {-sign:g} times)"
    return "does not count"


# ------------------------------------------------------- the fitted trees --


def is_coefficient_table(node: Any) -> bool:
    """The model's own test: a dict with at least one value that is a dict
    whose keys are all record keys."""
    return isinstance(node, dict) and any(
        isinstance(v, dict) and set(v) <= set(RECORD_KEYS) for v in node.values()
    )


def _is_dimension_mapping(node: Any) -> bool:
    return isinstance(node, dict) and not is_coefficient_table(node)


def coefficient_tables(tree: Any, where: str = "index_coef") -> Iterator[Node]:
    """The node of every coefficient table of an ``index_coef`` tree, in schema order."""
    for node in nodes(tree, where, enter=_is_dimension_mapping):
        if is_coefficient_table(node.value):
            yield node


def dimension_nodes(tree: Any, where: str = "index_coef") -> Iterator[Node]:
    """Every node of an ``index_coef`` tree down to its tables (not into them), the root first."""
    return nodes(tree, where, enter=_is_dimension_mapping)


def weight_leaves(tree: Any, where: str = "dim_weight") -> Iterator[Node]:
    """The node of every dimension's weight (a number or ``None``), in schema order."""
    for node in nodes(tree, where):
        if not isinstance(node.value, dict):
            yield node


def node_weight(node: Any) -> float:
    """The weight of a node of a weight tree: a number as a float, a nested
    dimension the sum of its sub-dimensions' weights; NaN where nothing
    below carries a number (``None``, or a nested dimension of ``None``)."""
    # Summed level by level, as the weights nest, so that rounding is the same
    # whichever node the sum starts from.
    sums: dict[Path, float] = {}
    for part in reversed(list(nodes(node))):
        if isinstance(part.value, dict):
            below = [sums.pop((*part.path, k)) for k in part.value]
            kept = [weight for weight in below if not math.isnan(weight)]
            sums[part.path] = float(sum(kept)) if kept else math.nan
        else:
            sums[part.path] = float(part.value) if is_real(part.value) else math.nan
    return sums[()]
