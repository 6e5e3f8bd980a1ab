"""``explore``: one offline HTML page to sort, search and re-weight every unit."""

from __future__ import annotations

import argparse

from indexfuse_tools._cli.arguments import geometry_key
from indexfuse_tools._cli.common import (
    InputError,
    check_outputs,
    data_table,
    one_line,
    refuse_period_options,
)
from indexfuse_tools._cli.models import refuse_constant, replayed, treated_model
from indexfuse_tools._core import same_file
from indexfuse_tools._explorer import explorer
from indexfuse_tools._robustness import RobustnessResult

__all__ = ["run"]


def _load_robustness(path: str | None) -> RobustnessResult | None:
    if path is None:
        return None
    try:
        return RobustnessResult.load(path)
    except (ValueError, KeyError) as exc:
        raise InputError(f"{path}: not an analysis saved by robustness -o ({one_line(exc)})") from None


def run(arguments: argparse.Namespace) -> int:
    check_outputs(arguments, {"--output": arguments.output})
    if arguments.robustness is not None and same_file(arguments.output, arguments.robustness):
        raise InputError(
            f"--output {arguments.output}: that is the robustness analysis; write the page to another file"
        )
    if arguments.index is not None:
        return _published(arguments)
    if arguments.period is not None:
        from indexfuse_tools._cli.editions import read_long_table, run_explore

        long = read_long_table(arguments)
        return run_explore(arguments, long, _load_robustness(arguments.robustness))
    refuse_period_options(arguments)
    data = data_table(arguments)
    model, preparation = treated_model(arguments, data)
    refuse_constant(model.schema, replayed(preparation, data))
    analysis = _load_robustness(arguments.robustness)
    explorer(
        model, data, arguments.output, title=arguments.title, source=arguments.source, robustness=analysis,
        preparation=preparation, geometry=arguments.geometry, key=geometry_key(arguments.key), scale=arguments.scale,
    )  # fmt: skip
    print(f"explorer written to {arguments.output}")
    return 0


def _published(arguments: argparse.Namespace) -> int:
    """``explore --index``: the page of one edition of the index, with the analysis the file keeps for it
    (or the one ``--robustness`` names, which must be of that edition)."""
    from indexfuse_tools._cli.published import chosen_edition, read_index

    index = read_index(arguments)
    options = {} if arguments.robustness is None else {"robustness": _load_robustness(arguments.robustness)}
    index.explorer(
        arguments.output, period=chosen_edition(index, arguments.period, arguments.index), title=arguments.title,
        source=arguments.source, geometry=arguments.geometry, key=geometry_key(arguments.key), **options,
    )  # fmt: skip
    print(f"explorer written to {arguments.output}")
    return 0
