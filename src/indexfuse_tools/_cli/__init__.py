"""The command line: ``indexfuse`` (or ``python -m indexfuse_tools``) with one
subcommand per job, each reading a table and a schema or model file, and
the preparation that treats a raw table (which ``prepare`` writes).

Exit status: 0 on success, 1 when ``check`` finds errors, 2 for a mistake
in the input (a missing or unreadable file, a schema, model or preparation
file that cannot be read, data the model refuses, an output path that is one of the inputs or
lies in a folder that cannot take it), with one line on standard error; 70
(``EX_SOFTWARE``) for a fault of the program itself, with its traceback.

Every output is checked before any work starts and written whole: to a
temporary file beside it, renamed onto the path at the end. CSV output writes
labels that a spreadsheet would run as a formula (beginning with ``=``, ``+``,
``-``, ``@``, a tab or a carriage return) with a leading single quote, unless
``--raw-csv`` is given.

Where things go: a command's options are declared in :mod:`.arguments`
(``add_<command>``), and what it does in its own module, ``<command>.py``,
whose ``run(arguments)`` returns the exit status; that module is imported
only when its command runs. A new command is one more line of ``COMMANDS``
below. Helpers that several commands share are public names of
:mod:`.common` (reading, outputs), :mod:`.errors`, :mod:`.schemas` and
:mod:`.models`.

Start-up: this module and :mod:`.arguments` import nothing of the analysis,
nor pandas, so that ``--help`` and a mistyped option answer at once; keep
them so (a test lists the modules that ``--help`` loads).
"""

from __future__ import annotations

import argparse
import importlib
import os
import sys
import warnings
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from indexfuse_tools._cli import arguments as _arguments
from indexfuse_tools._cli.errors import EXIT_INPUT, EXIT_INTERNAL, InputError, one_line

if TYPE_CHECKING:
    from indexfuse_tools._cli.common import read_table
    from indexfuse_tools._cli.schemas import read_schema

__all__ = ["COMMANDS", "EXIT_INTERNAL", "Command", "InputError", "main", "read_schema", "read_table"]

_PROG = "indexfuse"


@dataclass(frozen=True)
class Command:
    """A subcommand: its name (also the name of the module that runs it), the
    line ``--help`` shows, and the function that declares its options."""

    name: str
    summary: str
    add_arguments: Callable[[argparse.ArgumentParser], None]


COMMANDS = (
    Command("check", "check a schema against a table and list every problem", _arguments.add_check),
    Command(
        "prepare",
        "drop, impute, transform and winsorise a table; write it and the rules to replay",
        _arguments.add_prepare,
    ),
    Command("fit", "fit a model and write it as JSON", _arguments.add_fit),
    Command("score", "score a table: composite, rank and dimensions as CSV", _arguments.add_score),
    Command("report", "write a self-contained HTML report of the index", _arguments.add_report),
    Command(
        "explore",
        "write one offline HTML page to sort, search and re-weight every unit",
        _arguments.add_explore,
    ),
    Command(
        "robustness",
        "how far the ranks move under other defensible choices, and which choice moves them most",
        _arguments.add_robustness,
    ),
    Command(
        "build",
        "build the index a TOML file describes and write every output it names, in one consistent run",
        _arguments.add_build,
    ),
    Command(
        "weights",
        "can the weights be trusted: their intervals, their rivals and what each dimension drives",
        _arguments.add_weights,
    ),
)


def _parser(prog: str) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=prog,
        description="Composite indices from indicator tables: check a schema, prepare the data, fit, score "
        "and report.",
        epilog=f"Run '{prog} COMMAND --help' for the options of a command.",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for command in COMMANDS:
        sub = commands.add_parser(
            command.name,
            help=command.summary,
            description=command.summary[0].upper() + command.summary[1:] + ".",
        )
        command.add_arguments(sub)
    return parser


def main(argv: Sequence[str] | None = None, prog: str = _PROG) -> int:
    """Run the command line on ``argv`` (default: ``sys.argv[1:]``); return the exit status."""
    arguments = _parser(prog).parse_args(argv)
    # Imported before the errors below are told apart: a module of this
    # package that fails to import is a fault of the program, not of its input.
    run: Callable[[argparse.Namespace], int] = importlib.import_module(f"{__name__}.{arguments.command}").run
    try:
        with warnings.catch_warnings():
            # A warning is one line of the command's own, not a source line of this module.
            warnings.showwarning = lambda message, *_, **__: print(f"{prog}: warning: {message}", file=sys.stderr)
            status: int = run(arguments)
            return status
    except BrokenPipeError:
        # The reader went away (``... | head``): stop writing, quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    # The user's: InputError (this package's own findings), ValueError (the
    # library's answer to data or settings it refuses, and text that is not
    # UTF-8), KeyError (the extension's answer to a table without a column the
    # model uses), OSError (files, folders, permissions, a full disk) and
    # ImportError (an optional package to install).
    except (InputError, ValueError, KeyError, OSError, ImportError) as exc:
        print(f"{prog}: error: {one_line(exc)}", file=sys.stderr)
        return EXIT_INPUT
    # Ours: input on which the library would divide by zero, recurse past the
    # stack or allocate without bound is refused before the work starts, so
    # any other exception (TypeError included: this package builds every
    # argument it passes) is a fault to report with its traceback.
    except Exception:
        import traceback  # only a fault needs it: not loaded at every start

        traceback.print_exc()
        print(f"{prog}: internal error; please report it with the lines above", file=sys.stderr)
        return EXIT_INTERNAL


# The readers load pandas: found when first asked for, not with the command line.
_READERS = {"read_table": "common", "read_schema": "schemas"}


def __getattr__(name: str) -> Any:
    if name not in _READERS:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    return getattr(importlib.import_module(f"{__name__}.{_READERS[name]}"), name)
