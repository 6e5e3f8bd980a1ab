"""What a move between two editions is called next to the method's own uncertainty.

One wording for the report, the explorer and :meth:`Index.changes`, so that
a reader sees the same verdict wherever a move is shown.
"""

from __future__ import annotations

__all__ = ["BEYOND", "WITHIN", "move_verdict"]

#: A move whose interval over the robustness runs excludes zero.
BEYOND = "beyond the method's uncertainty"
#: A move whose interval holds zero: the method's own choices could undo it.
WITHIN = "within the method's uncertainty"


def move_verdict(beyond: bool) -> str:
    """:data:`BEYOND` or :data:`WITHIN`."""
    return BEYOND if beyond else WITHIN
