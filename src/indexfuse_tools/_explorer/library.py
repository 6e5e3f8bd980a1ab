"""The table library the page embeds: DataTables, as itables ships it for offline use.

DataTables gives the sortable, searchable, paged table of every unit, with
its keyboard and screen-reader support. itables bundles it (with jQuery) as
one ES module and one stylesheet, both MIT-licensed, for pages that must work
without a network; the page embeds that bundle as read from the installed
package when the page is written, with the licence notices it carries, and
imports it the way itables' own offline pages do.
"""

from __future__ import annotations

import base64
import functools
import importlib.metadata
from dataclasses import dataclass
from pathlib import Path

__all__ = ["Bundle", "bundle"]

_INSTALL = "explorer() embeds the table library itables ships: pip install itables (or indexfuse[explorer])"


@dataclass(frozen=True)
class Bundle:
    """The embedded library: script and styles as base64, and what to credit."""

    script: str
    styles: str
    version: str
    notice: str


def _licence(distribution: importlib.metadata.Distribution) -> str:
    for file in distribution.files or ():
        if file.name.upper().startswith(("LICENSE", "LICENCE", "COPYING")):
            return file.read_text(encoding="utf-8")
    return "MIT License (itables)"


@functools.cache
def bundle() -> Bundle:
    """The library as installed now.

    Raises
    ------
    ImportError
        If itables is not installed, or ships no offline bundle.
    """
    try:
        distribution = importlib.metadata.distribution("itables")
    except importlib.metadata.PackageNotFoundError:
        raise ImportError(_INSTALL) from None
    script_path = Path(str(distribution.locate_file("itables/html/dt_bundle.js")))
    if not script_path.is_file():
        raise ImportError(f"itables {distribution.version} ships no offline bundle (html/dt_bundle.js): {_INSTALL}")
    script = script_path.read_bytes()
    styles = script_path.with_suffix(".css").read_bytes()
    # The notice sits in an HTML comment: it must not close it early.
    notice = _licence(distribution).replace("--", "- -")
    return Bundle(
        base64.b64encode(script).decode("ascii"),
        base64.b64encode(styles).decode("ascii"),
        distribution.version,
        notice,
    )
