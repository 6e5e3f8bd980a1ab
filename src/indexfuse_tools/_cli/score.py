"""``score``: composite, rank and dimensions of every row, as CSV."""

from __future__ import annotations

import argparse

from indexfuse_tools._cli.common import check_outputs, data_table, for_csv, refuse_period_options, write_text
from indexfuse_tools._cli.models import treated_model
from indexfuse_tools._results import results

__all__ = ["run"]


def run(arguments: argparse.Namespace) -> int:
    check_outputs(arguments, {"--output": arguments.output})
    if arguments.period is not None:
        from indexfuse_tools._cli.editions import run_score

        return run_score(arguments)
    refuse_period_options(arguments)
    data = data_table(arguments)
    model, preparation = treated_model(arguments, data)
    scores = results(
        model, data, min_present=arguments.min_present, preparation=preparation, scale=arguments.scale
    )
    scores = for_csv(scores, arguments)
    write_text(arguments.output, scores.to_csv)
    return 0
