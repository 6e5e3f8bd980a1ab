"""Schema files: JSON as the model files write it, or TOML as a person writes it."""

from __future__ import annotations

import math
import re
import tomllib
from pathlib import Path
from typing import Any

from indexfuse_tools._cli.common import InputError, one_line
from indexfuse_tools._core import ModelFileError, Node, decode, map_leaves, parse

__all__ = ["MAX_SCHEMA_DEPTH", "read_schema", "toml_schema"]

# "label:direction" in a TOML schema: the direction is the number after the last colon.
_DIRECTED = re.compile(r"^(?P<label>.*\S)\s*:\s*(?P<direction>[-+]?(\d+(\.\d*)?|\.\d+)([eE][-+]?\d+)?)$")

# Schemas nest a few levels; a file nested deeper is a mistake or an attack,
# refused before anything recurses through it.
MAX_SCHEMA_DEPTH = 64


def _toml_direction(text: str) -> int | float:
    number = float(text)
    if not math.isfinite(number):
        raise ValueError(text)
    return int(number) if number.is_integer() and not re.search(r"[.eE]", text) else number


def _toml_label(text: str) -> Any:
    """``"violent:-1"`` as the pair ``("violent", -1)``; other strings as they are."""
    match = _DIRECTED.match(text)
    if match is None:
        return text
    return (match["label"], _toml_direction(match["direction"]))


def _toml_entry(entry: Any, where: str) -> Any:
    if isinstance(entry, str):
        return _toml_label(entry)
    if isinstance(entry, dict):
        unknown = set(entry) - {"label", "direction"}
        if "label" not in entry or unknown:
            raise InputError(
                f"{where}: an entry written as a table holds label and, optionally, direction "
                f'(for example {{label = "violent", direction = -1}}), got keys {sorted(entry)}'
            )
        return (entry["label"], entry["direction"]) if "direction" in entry else entry["label"]
    return entry


def _toml_schema(document: dict[str, Any]) -> Any:
    def leaf(node: Node) -> Any:
        if isinstance(node.value, list):
            return [_toml_entry(entry, f"{node.place}[{i}]") for i, entry in enumerate(node.value)]
        return node.value

    return map_leaves(document, leaf, where="schema", key=_toml_label)


def _depth(document: Any) -> int:
    """How deep lists and mappings nest in ``document``, found without recursion."""
    deepest, stack = 0, [(document, 0)]
    while stack:
        node, depth = stack.pop()
        if isinstance(node, dict):
            node = list(node.values())
        if isinstance(node, list):
            deepest = max(deepest, depth + 1)
            stack.extend((child, depth + 1) for child in node)
    return deepest


def _shallow(document: Any) -> Any:
    depth = _depth(document)
    if depth > MAX_SCHEMA_DEPTH:
        raise InputError(f"the schema nests {depth} levels deep; a schema nests at most {MAX_SCHEMA_DEPTH}")
    return document


def toml_schema(document: dict[str, Any]) -> Any:
    """A schema from a TOML table as ``tomllib`` reads it (a schema file, or a
    table inside another TOML file), written as :func:`read_schema` describes."""
    return _toml_schema(_shallow(document))


def read_schema(path: str | Path) -> Any:
    r"""A schema from a JSON or a TOML file.

    JSON uses the encoding of the model files: a pair is
    ``{"$tuple": ["violent", -1]}`` and every string is a label as it stands.
    TOML writes a direction after a colon, ``"violent:-1"``, or as a table,
    ``{label = "violent", direction = -1}``; dimension keys take the colon
    form (``"hardship:-1" = [...]``). A label that itself ends in a colon
    and a number is written as ``{label = "ratio:2"}``.

    Examples
    --------
    >>> import pathlib, tempfile
    >>> path = pathlib.Path(tempfile.mkdtemp()) / "schema.toml"
    >>> _ = path.write_text('safety = ["violent:-1", {label = "murder", direction = -1}]\n'
    ...                     '[opportunity]\n"hardship:-1" = ["poverty"]\n')
    >>> read_schema(path)
    {'safety': [('violent', -1), ('murder', -1)], 'opportunity': {('hardship', -1): ['poverty']}}
    """
    file = Path(path)
    try:
        text = file.read_text(encoding="utf-8")
    except OSError as exc:
        raise InputError(f"{file}: cannot read the schema: {exc.strerror or exc}") from None
    suffix = file.suffix.lower()
    try:
        if suffix == ".json":
            return decode(_shallow(parse(text)), "schema")
        if suffix == ".toml":
            try:
                document = tomllib.loads(text)
            except RecursionError:
                raise InputError("not valid TOML: nested too deeply") from None
            return toml_schema(document)
    except (ModelFileError, tomllib.TOMLDecodeError, InputError) as exc:
        raise InputError(f"{file}: {one_line(exc)}") from None
    raise InputError(f"{file}: a schema file is .json or .toml, not {suffix or 'without a suffix'}")
