"""``build``: the index a TOML description sets out, and every output it names.

One :class:`~indexfuse_tools.Index` is built, analysed and reviewed, and
every output is drawn from it: the index file, the scores, the rank
intervals, the analysis, the review's workbook, the explorer and the
report. Each output is written to a temporary file beside its target, and
the temporaries replace the targets only once every one of them is
written: a run that fails anywhere (bad data, a full disk, an interrupt)
leaves every earlier output as it was, so the files of one description
always come from one run.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pandas as pd

from indexfuse_tools._cli.common import InputError, label_rows, one_line, read_rows
from indexfuse_tools._cli.description import Description, check_against_data, read_description
from indexfuse_tools._cli.published import published_scores
from indexfuse_tools._core import atomic_path, csv_safe

__all__ = ["build_index", "run"]


def run(arguments: argparse.Namespace) -> int:
    description = read_description(arguments.description)
    table, numbered = read_rows(description.data.file, description.data.sheet)
    description = check_against_data(description, table)
    _check_highlight(description, table, numbered)
    if arguments.check:
        print(_summary(description, len(table)))
        return 0
    index = build_index(description, table, numbered, progress=not arguments.quiet)
    shown = None if description.robustness is None else description.robustness.edition
    written = _write_outputs(description, index, shown, _external(description, table, numbered, index, shown))
    print(index)
    for name, path in written.items():
        print(f"{name} written to {_shown_path(path)}")
    return 0


def build_index(description: Description, table: pd.DataFrame, numbered: bool, progress: bool = True) -> Any:
    """The index ``description`` sets out, built on ``table`` (its data file as :func:`read_rows` read it),
    with the robustness analysis and the review of the weights it asks for."""
    from indexfuse_tools._cli.models import load_preparation
    from indexfuse_tools._index import Index

    data = description.data
    preparation: Any = None
    if description.preparation_file is not None:
        preparation = load_preparation(str(description.preparation_file))
    elif description.preparation_options:
        preparation = dict(description.preparation_options)
    model_args = dict(description.model_args)
    if description.resolution is not None:
        model_args["resolution"] = description.resolution
    if data.period is None:
        rows, unit = label_rows(table, data.id, data.file, numbered), None
    else:
        rows, unit = table, data.unit or next(column for column in table.columns if column != data.period)
    with _named(description):
        index = Index.build(
            description.schema, rows, preparation=preparation, period=data.period, unit=unit,
            baseline=description.baseline, reference=description.reference, scale=description.scale,
            anchor=description.anchor, **model_args,
        )  # fmt: skip
        plan = description.robustness
        if plan is not None:
            index.robustness(
                period=plan.edition, factors=None if plan.factors is None else dict.fromkeys(plan.factors),
                method=plan.method, n=plan.n, seed=plan.seed, scheduler=plan.workers, progress=progress,
            )  # fmt: skip
        review = description.weights
        if review is not None:
            index.weight_uncertainty(
                n=review.n, seed=review.seed, level=review.level, scheduler=review.workers, progress=progress
            )
    return index


@contextlib.contextmanager
def _named(description: Description) -> Any:
    """The library's refusals of the data or the settings, as bad input named by the description."""
    try:
        yield
    except (ValueError, KeyError) as exc:
        raise InputError(f"{description.path}: {one_line(exc)}") from None


def _external(
    description: Description, table: pd.DataFrame, numbered: bool, index: Any, shown: Any
) -> pd.DataFrame | None:
    """The columns ``report.external`` names, over the units of the edition the report shows."""
    if not description.external:
        return None
    data = description.data
    columns = list(description.external)
    if data.period is None:
        rows = label_rows(table, data.id, data.file, numbered)
    else:
        edition = index.edition(shown)
        unit = index.unit
        rows = table[table[data.period] == edition].set_index(unit)
    return rows[columns].reindex(index.frame(shown).index)


def _write_outputs(
    description: Description, index: Any, shown: Any, external: pd.DataFrame | None
) -> dict[str, Path]:
    """Write every output the description names, all of them or none; the paths written, by output."""
    outputs = description.outputs
    asked = outputs.paths()
    writers: dict[str, Callable[[Path], object]] = {
        "index": index.save,
        "scores": lambda path: _csv(published_scores(index), path, outputs.raw_csv, index=False),
        "ranks": lambda path: _csv(index.analyses[index.edition(shown)].ranks, path, outputs.raw_csv),
        "analysis": lambda path: index.analyses[index.edition(shown)].save(path),
        "weights": lambda path: index.weight_review.to_excel(path),
    }
    pages = _pages(description, index, shown, external)
    with contextlib.ExitStack() as stack, _named(description):
        staged = {name: stack.enter_context(atomic_path(path)) for name, path in asked.items()}
        for name, temporary in staged.items():
            if name in writers:
                writers[name](temporary)
        pages(staged)
    return asked


def _pages(
    description: Description, index: Any, shown: Any, external: pd.DataFrame | None
) -> Callable[[dict[str, Path]], None]:
    """What writes the explorer and the report into their temporary files; the report links to the
    explorer where the explorer will be, not where it is written first."""
    outputs = description.outputs
    common: dict[str, Any] = {"period": shown, "title": description.title, "source": description.source}
    if description.geometry is not None:
        common.update(geometry=os.fspath(description.geometry), key=description.key)

    def write(staged: dict[str, Path]) -> None:
        if "explorer" in staged:
            index.explorer(staged["explorer"], **common)
        if "report" in staged:
            highlight = _highlighted(description.highlight, index, shown)
            index.report(
                staged["report"], external=external, highlight=highlight, explorer_link=outputs.explorer, **common
            )

    return write


def _check_highlight(description: Description, table: pd.DataFrame, numbered: bool) -> None:
    """Refuse, before the work, a unit ``report.highlight`` names that the data do not have."""
    if not description.highlight:
        return
    data = description.data
    if data.period is None:
        units = label_rows(table, data.id, data.file, numbered).index
    else:
        units = pd.Index(table[data.unit or next(column for column in table.columns if column != data.period)])
    known = {str(unit) for unit in units}
    missing = [name for name in description.highlight if name not in known]
    if missing:
        raise InputError(
            f"{description.path}: report.highlight: {', '.join(map(repr, missing))}: no such unit in "
            f"{data.file.name}"
        )


def _highlighted(names: tuple[str, ...], index: Any, shown: Any) -> list[Any] | None:
    """The units ``report.highlight`` names, as the index labels them (a label read from a file is text)."""
    if not names:
        return None
    units = {str(unit): unit for unit in index.frame(shown).index}
    missing = [name for name in names if name not in units]
    if missing:
        raise InputError(f"report.highlight: {', '.join(map(repr, missing))}: no such unit in the index")
    return [units[name] for name in names]


def _csv(table: pd.DataFrame, path: Path, raw: bool, index: bool = True) -> None:
    shown = table if raw else csv_safe(table)
    shown.to_csv(path, index=index)


def _shown_path(path: Path) -> str:
    """A path as the person at the shell would write it: from where they are, when it lies below."""
    try:
        return str(path.resolve().relative_to(Path.cwd().resolve()))
    except ValueError:
        return str(path)


def _summary(description: Description, rows: int) -> str:
    data = description.data
    editions = f", editions by {data.period!r}" if data.period is not None else ""
    outputs = ", ".join(f"{name} {path}" for name, path in description.outputs.paths().items())
    print(f"{description.path}: the description and its data agree", file=sys.stderr)
    return f"{data.file}: {rows:,} rows{editions}; would write {outputs}"
