"""The model a command works with: loaded from a model file, or fitted on the
table from a schema, with the preparation to replay on the raw table."""

from __future__ import annotations

import argparse
import contextlib
from collections.abc import Mapping
from typing import Any

import pandas as pd

import indexfuse
from tessel.modelbench import entropy
from indexfuse_tools._check import Problem, check
from indexfuse_tools._cli.common import InputError, one_line, read_bytes
from indexfuse_tools._cli.schemas import read_schema
from indexfuse_tools._core import dimension_name, leaf_columns, parse, show
from indexfuse_tools._persist import loads
from indexfuse_tools._preparation import Preparation

__all__ = [
    "MAX_RESOLUTION",
    "check_schema",
    "given_model",
    "preparation_differences",
    "refuse_replacement",
    "check_resolution",
    "fitted_model",
    "load_model",
    "load_preparation",
    "refuse_constant",
    "replayed",
    "treated_model",
]

# Values of a dimension lie within a few units of each other (max_min scaling
# keeps indicators in [0, 1]); a coarser resolution reads every dimension as
# one value and leaves nothing to weight by.
MAX_RESOLUTION = 1.0


def load_model(path: str) -> tuple[Any, Preparation | None]:
    """The model a file holds, and the preparation it was fitted after when it carries one."""
    content = read_bytes(path, "model")
    try:
        model = loads(content)
        text = content.decode("utf-8")  # loads has read it as UTF-8
        carried = Preparation.loads(text) if _carries_preparation(text) else None
    except ValueError as exc:
        raise InputError(f"{path}: {one_line(exc)}") from None
    return model, carried


def _carries_preparation(text: str) -> bool:
    document = parse(text)
    return isinstance(document, dict) and "preparation" in document


def load_preparation(path: str) -> Preparation:
    try:
        return Preparation.loads(read_bytes(path, "preparation"))
    except ValueError as exc:
        raise InputError(f"{path}: {one_line(exc)}") from None


def _used_columns(schema: Any, data: pd.DataFrame) -> list[Any]:
    found = leaf_columns(schema, list(data.columns))
    return list(dict.fromkeys(column for _, columns in found for column in columns))


def refuse_constant(schema: Any, data: pd.DataFrame) -> None:
    """Refuse a table on which no dimension can carry information: the
    entropy weights would divide by a total of zero."""
    used = _used_columns(schema, data)
    if used and bool((data[used].nunique(dropna=True) <= 1).all()):
        raise InputError(
            "every column the schema uses is constant in this table: no dimension carries information to weight by"
        )


def check_resolution(resolution: float | None) -> None:
    if resolution is not None and not 0 < resolution <= MAX_RESOLUTION:
        raise InputError(
            f"--resolution {resolution:g}: the entropy resolution is a number in (0, {MAX_RESOLUTION:g}] "
            f"(default {entropy.DEFAULT_RESOLUTION:g}); a coarser one reads every dimension as one value"
        )


def treated_model(arguments: argparse.Namespace, data: pd.DataFrame) -> tuple[Any, Preparation | None]:
    """The model a command works with and the treatment to replay on the raw table.

    With ``--model``, what :func:`given_model` finds; with ``--schema``, the
    model fitted on the table treated by ``--preparation`` (if given).
    """
    if arguments.model is not None:
        return given_model(arguments)
    refuse_replacement(arguments)
    given = None if arguments.preparation is None else load_preparation(arguments.preparation)
    return fitted_model(arguments, replayed(given, data)), given


def given_model(arguments: argparse.Namespace) -> tuple[Any, Preparation | None]:
    """The model ``--model`` names and the treatment to replay on a raw table with it.

    The treatment is the one the model file carries: its coefficients were
    fitted on values treated so, and on values treated otherwise they give
    composites on another scale altogether. ``--preparation`` may name the
    same treatment (or one for a model file that carries none); one that
    differs from the carried one is refused, naming how, unless
    ``--replace-preparation`` says the replacement is meant.
    """
    model, carried = load_model(arguments.model)
    if arguments.preparation is None:
        refuse_replacement(arguments)
        return model, carried
    given = load_preparation(arguments.preparation)
    if carried is None or getattr(arguments, "replace_preparation", False):
        return model, given
    differences = preparation_differences(carried, given, names=(arguments.model, arguments.preparation))
    if differences:
        raise InputError(
            f"--preparation {arguments.preparation}: it differs from the preparation the model file "
            f"{arguments.model} carries and was fitted after ({'; '.join(differences)}); leave out --preparation "
            "to replay the model's own, or add --replace-preparation to replay this one instead"
        )
    return model, carried


def refuse_replacement(arguments: argparse.Namespace) -> None:
    """``--replace-preparation`` where there is nothing to replace."""
    if getattr(arguments, "replace_preparation", False) and (arguments.model is None or arguments.preparation is None):
        raise InputError(
            "--replace-preparation: it replays --preparation FILE in place of the preparation a model file "
            "carries; give both --model FILE and --preparation FILE"
        )


# The fields of a preparation that decide what a replay does (its counts only
# tell what it did to the table it was learnt on).
_RULES = (
    "indicators",
    "dimensions",
    "min_present",
    "min_present_total",
    "impute",
    "group",
    "fills",
    "group_fills",
    "transforms",
    "caps",
    "period",
    "unit",
    "max_gap",
    "fallback",
    "periods",
    "units",
    "last_periods",
    "last_values",
)
_BY_DIMENSION = ("dimensions", "min_present")


def _plain(value: Any) -> Any:
    if isinstance(value, Mapping):
        return {key: _plain(item) for key, item in value.items()}
    return value


def preparation_differences(
    first: Preparation, second: Preparation, names: tuple[str, str] = ("the first", "the second")
) -> list[str]:
    """How ``second`` would treat a table otherwise than ``first``: a phrase
    per rule that differs, naming them as ``names`` says.

    Examples
    --------
    >>> import pandas as pd
    >>> from indexfuse_tools import prepare
    >>> data = pd.DataFrame({"gdp": [100.0, None, 900.0, 2700.0], "life": [70.0, 71.0, None, 80.0]})
    >>> median = prepare(["gdp", "life"], data, impute="median")[2]
    >>> mean = prepare(["gdp", "life"], data, impute="mean", transform={"gdp": "log"})[2]
    >>> preparation_differences(median, mean, names=("model.json", "other.json"))
    ["impute 'median' in model.json, 'mean' in other.json", "the fills of 'gdp', 'life'", "the transforms of 'gdp'"]
    """
    phrases = []
    for name in _RULES:
        one, other = _plain(getattr(first, name)), _plain(getattr(second, name))
        if one == other:
            continue
        if isinstance(one, dict) and isinstance(other, dict):
            keys = [key for key in dict.fromkeys([*one, *other]) if one.get(key, None) != other.get(key, None)]
            labels = [dimension_name(key) for key in keys] if name in _BY_DIMENSION else keys
            phrases.append(f"the {name.replace('_', ' ')} of {show(labels, 3)}")
        elif isinstance(one, tuple) and isinstance(other, tuple):  # the periods or units learnt on: too long to print
            phrases.append(f"the {name} learnt on ({len(one)} in {names[0]}, {len(other)} in {names[1]})")
        else:
            phrases.append(f"{name.replace('_', ' ')} {one!r} in {names[0]}, {other!r} in {names[1]}")
    return phrases


def replayed(preparation: Preparation | None, data: pd.DataFrame) -> pd.DataFrame:
    return data if preparation is None else preparation.apply(data)[0]


def fitted_model(arguments: argparse.Namespace, data: pd.DataFrame) -> Any:
    """The model a command works with: loaded with --model, or fitted here on
    the table with --schema (after the schema passed check)."""

    if arguments.model is not None:
        return load_model(arguments.model)[0]
    if arguments.schema is None:
        raise InputError("give the schema (--schema FILE) or a fitted model (--model FILE)")
    schema = read_schema(arguments.schema)
    errors = [problem for problem in check_schema(schema, data) if problem.level == "error"]
    if errors:
        first = errors[0]
        more = (
            f" (and {len(errors) - 1} more error{'s' if len(errors) > 2 else ''}: run check for the list)"
            if len(errors) > 1
            else ""
        )
        raise InputError(f"{first.place}: {one_line(first.message)}{more}")
    check_resolution(arguments.resolution)
    refuse_constant(schema, data)
    model = indexfuse.indexpca_diment(
        schema,
        scale_method=arguments.scale_method,
        pca_cumulative=arguments.pca_cumulative,
        ent_k=arguments.ent_k,
    )
    resolution = arguments.resolution
    with entropy.resolution(resolution) if resolution is not None else contextlib.nullcontext():
        model.fit(data)
    return model


def check_schema(schema: Any, data: pd.DataFrame) -> list[Problem]:
    # Someone at a shell is told which command or file edit fixes a finding, not which call.
    return check(schema, data, advice="command line")
