"""``report``: the self-contained HTML report of the index."""

from __future__ import annotations

import argparse

import pandas as pd

from indexfuse_tools._cli.arguments import geometry_key
from indexfuse_tools._cli.common import InputError, check_outputs, data_table, refuse_period_options
from indexfuse_tools._cli.models import refuse_constant, replayed, treated_model
from indexfuse_tools._core import atomic_path
from indexfuse_tools._report import report

__all__ = ["external_columns", "run"]


def run(arguments: argparse.Namespace) -> int:
    check_outputs(arguments, {"--output": arguments.output, "--explorer": arguments.explorer})
    if arguments.index is not None:
        return _published(arguments)
    if arguments.period is not None:
        from indexfuse_tools._cli.editions import read_long_table, run_report

        long = read_long_table(arguments)
        return run_report(arguments, long, external_columns(arguments, long.table))
    refuse_period_options(arguments)
    data = data_table(arguments)
    names = external_columns(arguments, data)
    external = None if names is None else data[names]
    model, preparation = treated_model(arguments, data)
    refuse_constant(model.schema, replayed(preparation, data))
    with atomic_path(arguments.output) as temporary:
        report(
            model, data, temporary, external=external, title=arguments.title, source=arguments.source,
            preparation=preparation, scale=arguments.scale, explorer=arguments.explorer,
            geometry=arguments.geometry, key=geometry_key(arguments.key),
        )  # fmt: skip
    _written(arguments)
    return 0


def _published(arguments: argparse.Namespace) -> int:
    """``report --index``: the report of one edition of the index, with the analysis the file keeps for it."""
    from indexfuse_tools._cli.published import chosen_edition, read_index

    index = read_index(arguments)
    index.report(
        arguments.output, period=chosen_edition(index, arguments.period, arguments.index),
        explorer=arguments.explorer, title=arguments.title, source=arguments.source, geometry=arguments.geometry,
        key=geometry_key(arguments.key),
    )  # fmt: skip
    _written(arguments)
    return 0


def _written(arguments: argparse.Namespace) -> None:
    print(f"report written to {arguments.output}")
    if arguments.explorer:
        print(f"explorer written to {arguments.explorer}")


def external_columns(arguments: argparse.Namespace, data: pd.DataFrame) -> list[str] | None:
    """The columns --external names, each checked to be in the table."""
    if not arguments.external:
        return None
    names = [name.strip() for value in arguments.external for name in value.split(",") if name.strip()]
    missing = [name for name in names if name not in data.columns]
    if missing:
        raise InputError(f"--external names no column of the table: {', '.join(missing)}")
    return names
