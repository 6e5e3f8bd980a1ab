"""The model a command works with: loaded from a model file, or fitted on the
table from a schema, with the preparation to replay on the raw table."""

from __future__ import annotations

import argparse
import contextlib
from typing import Any

import pandas as pd

import indexfuse
from tessel.modelbench import entropy
from indexfuse_tools._check import Problem, check
from indexfuse_tools._cli.common import InputError, one_line, read_bytes
from indexfuse_tools._cli.schemas import read_schema
from indexfuse_tools._core import leaf_columns, parse
from indexfuse_tools._persist import loads
from indexfuse_tools._preparation import Preparation

__all__ = [
    "MAX_RESOLUTION",
    "check_schema",
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

    The treatment is the one ``--preparation`` names, else the one the model
    file carries (a model fitted after a preparation scores raw tables only
    once it is replayed), else none.
    """
    given = None if arguments.preparation is None else load_preparation(arguments.preparation)
    if arguments.model is not None:
        model, carried = load_model(arguments.model)
        return model, given if given is not None else carried
    return fitted_model(arguments, replayed(given, data)), given


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
