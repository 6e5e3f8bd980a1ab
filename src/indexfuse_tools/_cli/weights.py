"""``weights``: can the weights be trusted? Their intervals over bootstrap
resamples, their rivals, what each dimension drives, and what a reviewer
would ask."""

from __future__ import annotations

import argparse
import sys
from typing import Any

from indexfuse_tools._audit import fit_resolution
from indexfuse_tools._cli.arguments import MAX_RESAMPLES
from indexfuse_tools._cli.common import InputError, check_outputs, data_table
from indexfuse_tools._cli.models import refuse_constant, replayed, treated_model
from indexfuse_tools._cli.published import refuse_edition_without_index
from indexfuse_tools._core import atomic_path
from indexfuse_tools._report import report
from indexfuse_tools._weighting import WeightUncertainty, weight_uncertainty

__all__ = ["MAX_RESAMPLES", "run"]


def run(arguments: argparse.Namespace) -> int:
    check_outputs(arguments, {"--output": arguments.output, "--report": arguments.report})
    if arguments.output and not arguments.output.lower().endswith(".xlsx"):
        raise InputError(f"--output {arguments.output}: the tables go to a workbook; name a .xlsx file")
    if not 2 <= arguments.n <= MAX_RESAMPLES:
        raise InputError(f"-n {arguments.n}: the resamples are from 2 to {MAX_RESAMPLES:,}")
    if arguments.seed < 0:
        raise InputError(f"--seed {arguments.seed}: a seed is a whole number of at least 0")
    if not 0 < arguments.level < 1:
        raise InputError(f"--level {arguments.level:g}: the coverage of the intervals lies between 0 and 1 (0.9)")
    if arguments.index is not None:
        return _published(arguments)
    refuse_edition_without_index(arguments)
    data = data_table(arguments)
    model, preparation = treated_model(arguments, data)  # fitted here with --schema, after check
    refuse_constant(model.schema, replayed(preparation, data))
    review = weight_uncertainty(
        model.schema, data, n=arguments.n, seed=arguments.seed, preparation=preparation,
        scheduler=arguments.workers, level=arguments.level, progress=not arguments.quiet, **_settings(model),
    )  # fmt: skip
    if arguments.output:
        with atomic_path(arguments.output) as temporary:
            review.to_excel(temporary)
    if arguments.report:
        with atomic_path(arguments.report) as temporary:
            report(
                model, data, temporary, title=arguments.title, source=arguments.source,
                preparation=preparation, weight_uncertainty=review,
            )  # fmt: skip
    _summarise(arguments, review)
    return 0


def _published(arguments: argparse.Namespace) -> int:
    """``weights --index``: the review of the published weights, on the rows the model was fitted on."""
    from indexfuse_tools._cli.published import chosen_edition, read_index

    index = read_index(arguments)
    period = chosen_edition(index, arguments.period, arguments.index)
    review = index.weight_uncertainty(
        n=arguments.n, seed=arguments.seed, scheduler=arguments.workers, level=arguments.level,
        progress=not arguments.quiet,
    )  # fmt: skip
    if arguments.output:
        with atomic_path(arguments.output) as temporary:
            review.to_excel(temporary)
    if arguments.report:
        index.report(arguments.report, period=period, title=arguments.title, source=arguments.source)
    _summarise(arguments, review)
    return 0


def _summarise(arguments: argparse.Namespace, review: WeightUncertainty) -> None:
    print(review)
    for label, path in (("tables", arguments.output), ("report", arguments.report)):
        if path:
            print(f"{label} written to {path}", file=sys.stderr)


def _settings(model: Any) -> dict[str, Any]:
    """The model's own settings, so that the review refits the model the command works with
    (fitted here, or loaded with --model) as it was fitted."""
    settings: dict[str, Any] = {
        "scale_method": model.scale_method,
        "pca_cumulative": model.pca.cumulative,
        "ent_k": model.k,
    }
    resolution = fit_resolution(model)
    if resolution is not None:
        settings["resolution"] = resolution
    return settings
