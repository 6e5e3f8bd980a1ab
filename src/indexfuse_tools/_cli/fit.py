"""``fit``: a model fitted on the table, written as JSON with the preparation it was fitted after."""

from __future__ import annotations

import argparse
import sys

from indexfuse_tools._cli.common import check_outputs, data_table, write_text
from indexfuse_tools._cli.models import treated_model
from indexfuse_tools._persist import dump

__all__ = ["run"]


def run(arguments: argparse.Namespace) -> int:
    arguments.model = None
    check_outputs(arguments, {"--output": arguments.output})
    model, preparation = treated_model(arguments, data_table(arguments))
    write_text(arguments.output, lambda stream: dump(model, stream, preparation=preparation))
    if arguments.output not in (None, "-"):
        print(f"model written to {arguments.output}", file=sys.stderr)
    return 0
