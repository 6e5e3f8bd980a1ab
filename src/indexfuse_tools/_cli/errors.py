"""How the command line ends: the exit statuses and the one line that
reports bad input. Light on purpose: ``main`` needs it before any command's
module is loaded."""

from __future__ import annotations

__all__ = ["EXIT_INPUT", "EXIT_INTERNAL", "InputError", "one_line"]

# A mistake in the input: a file, an option or data the command refuses.
EXIT_INPUT = 2
# A fault of this program, not of its input (sysexits.h: EX_SOFTWARE).
EXIT_INTERNAL = 70


class InputError(Exception):
    """Bad input: reported as one line, exit status 2."""


def one_line(error: BaseException | str) -> str:
    """``error`` as one line: its first, and how many more it had."""
    text = str(error.args[0] if isinstance(error, KeyError) and error.args else error)
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    if len(lines) <= 1:
        return lines[0] if lines else type(error).__name__
    return f"{lines[0]} (and {len(lines) - 1} more line{'s' if len(lines) > 2 else ''})"
