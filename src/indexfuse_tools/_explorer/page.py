"""The page around the data: the template, the stylesheet and the scripts,
read from the package's data, put together by Jinja2 with escaping on."""

from __future__ import annotations

import functools
import importlib.resources
import json
import re
from typing import Any

import jinja2
from markupsafe import Markup

from indexfuse_tools._plots.style import INK, MUTED, PALETTE

__all__ = ["render", "script_json"]

_DATA = importlib.resources.files("indexfuse_tools._explorer")

# Inside <script>, "</script" or "<!--" would end or bend the element, and
# U+2028/2029 end a line in older JavaScript: JSON may write each of these
# as a \u escape inside a string, which is the only place they can occur.
_BASE64 = re.compile(r"[A-Za-z0-9+/=]*")
_SCRIPT_UNSAFE = {"<": "\\u003c", ">": "\\u003e", "&": "\\u0026", "\u2028": "\\u2028", "\u2029": "\\u2029"}


def script_json(document: Any) -> Markup:
    """``document`` as JSON that is safe as the text of a ``<script>`` element.

    Examples
    --------
    >>> str(script_json({"unit": "</script><b>"}))
    '{"unit": "\\\\u003c/script\\\\u003e\\\\u003cb\\\\u003e"}'
    """
    text = json.dumps(document, ensure_ascii=False, allow_nan=False)
    for character, escaped in _SCRIPT_UNSAFE.items():
        text = text.replace(character, escaped)
    # Safe unescaped: no character that could end the element is left.
    return Markup(text)


def _base64(text: str) -> str:
    if not _BASE64.fullmatch(text):
        raise ValueError("the page's columns must be base64 text")
    return text


def _resource(name: str) -> str:
    return _DATA.joinpath(name).read_text(encoding="utf-8")


@functools.cache
def _environment() -> jinja2.Environment:
    return jinja2.Environment(
        loader=jinja2.FunctionLoader(lambda name: _resource(name) if _DATA.joinpath(name).is_file() else None),
        autoescape=True,
        undefined=jinja2.StrictUndefined,
        trim_blocks=True,
        lstrip_blocks=True,
        keep_trailing_newline=True,
    )


def _colours() -> Markup:
    """The plotting style's colours as CSS variables: one palette for charts and page."""
    names = {"raise": PALETTE[0], "lower": PALETTE[5], "accent": PALETTE[2], "ink": INK, "muted": MUTED}
    # Safe unescaped: hexadecimal colours of the package's own style.
    return Markup(" ".join(f"--{name}: {colour};" for name, colour in names.items()))


def render(
    *,
    title: str,
    source: str | None,
    written: str,
    version: str,
    settings: list[str],
    data: dict[str, Any],
    columns: str,
    map_data: dict[str, Any] | None = None,
) -> str:
    """The whole page as HTML.

    Parameters
    ----------
    title, source, written, version, settings
        The title/source/date block, as the report shows it.
    data : dict
        The page's data (:func:`.payload.payload`), embedded as JSON.
    columns : str
        The per-unit columns the data point into: base64 text.
    map_data : dict, optional
        The map's data (:func:`.mapdata.map_payload`), embedded as JSON with
        the map's script after the page's, where it finds what the page
        offers a companion panel (see the top of ``explorer.js``).
    """
    from indexfuse_tools._explorer.mapdata import map_script
    from indexfuse_tools._report.page import stylesheet

    return _environment().get_template("explorer.html").render(
        title=title,
        # A window title is plain text: isolates keep a right-to-left label from turning what follows.
        isolated_title=f"\u2068{title}\u2069",
        source=source,
        written=written,
        version=version,
        settings=settings,
        report_css=stylesheet(),
        # Safe unescaped: files shipped with the package, holding no reader's value.
        css=Markup(_resource("explorer.css")),
        script=Markup(_resource("explorer.js")),
        engine=Markup(_resource("engine.js")),
        colours=_colours(),
        data=script_json(data),
        # Safe unescaped: base64 holds letters, digits, "+", "/" and "=" only.
        columns=Markup(_base64(columns)),
        map_data=None if map_data is None else script_json(map_data),
        # Safe unescaped: a file shipped with the package, holding no reader's value.
        map_script=Markup(map_script()) if map_data is not None else None,
    )
