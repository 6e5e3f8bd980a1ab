"""``check``: every problem a schema has with a table, one per line."""

from __future__ import annotations

import argparse

from indexfuse_tools._cli.common import data_table
from indexfuse_tools._cli.models import check_schema
from indexfuse_tools._cli.schemas import read_schema

__all__ = ["run"]


def run(arguments: argparse.Namespace) -> int:
    data = data_table(arguments)
    problems = check_schema(read_schema(arguments.schema), data)
    for problem in problems:
        print(f"{problem.level}: {problem.place}: {problem.message}")
    errors = sum(problem.level == "error" for problem in problems)
    failed = errors > 0 or (arguments.strict and problems)
    if not problems:
        print("no problems found")
    else:
        print(
            f"{errors} error{'s' * (errors != 1)}, {len(problems) - errors} warning{'s' * (len(problems) - errors != 1)}"
        )
    return 1 if failed else 0
