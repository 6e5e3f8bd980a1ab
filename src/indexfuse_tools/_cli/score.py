"""``score``: composite, rank and dimensions of every row, as CSV."""

from __future__ import annotations

import argparse

from indexfuse_tools._cli.common import check_outputs, data_table, for_csv, refuse_period_options, write_text
from indexfuse_tools._cli.models import treated_model
from indexfuse_tools._results import results

__all__ = ["run"]


def run(arguments: argparse.Namespace) -> int:
    check_outputs(arguments, {"--output": arguments.output})
    if arguments.index is not None:
        return _published(arguments)
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


def _published(arguments: argparse.Namespace) -> int:
    """``score --index``: the published results, as every other output of the index shows them."""
    from indexfuse_tools._cli.published import chosen_edition, published_scores, read_index

    index = read_index(arguments)
    scores = for_csv(published_scores(index, chosen_edition(index, arguments.period, arguments.index)), arguments)
    write_text(arguments.output, lambda stream: scores.to_csv(stream, index=False))
    return 0
