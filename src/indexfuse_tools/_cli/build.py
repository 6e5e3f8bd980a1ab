"""``build``: the index a TOML description sets out, and every output it names."""

from __future__ import annotations

import argparse
import sys

import indexfuse_tools
from indexfuse_tools._cli.common import InputError, read_rows
from indexfuse_tools._cli.description import Description, check_against_data, read_description

__all__ = ["run"]


def run(arguments: argparse.Namespace) -> int:
    description = read_description(arguments.description)
    table, _ = read_rows(description.data.file, description.data.sheet)
    description = check_against_data(description, table)
    if arguments.check:
        print(_summary(description, len(table)))
        return 0
    if not hasattr(indexfuse_tools, "Index"):
        raise InputError(
            f"{arguments.description}: the description is sound, but this release cannot build it yet: "
            "writing the outputs needs indexfuse_tools.Index; --check checks a description"
        )
    raise NotImplementedError("build: the run on indexfuse_tools.Index")


def _summary(description: Description, rows: int) -> str:
    data = description.data
    editions = f", editions by {data.period!r}" if data.period is not None else ""
    outputs = ", ".join(f"{name} {path}" for name, path in description.outputs.paths().items())
    print(f"{description.path}: the description and its data agree", file=sys.stderr)
    return f"{data.file}: {rows:,} rows{editions}; would write {outputs}"
