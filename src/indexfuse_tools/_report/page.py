"""The page around the sections: the templates and the stylesheet, read from
the package's data, and Jinja2 to put them together with escaping on."""

from __future__ import annotations

import functools
import importlib.resources
from collections.abc import Sequence

import jinja2
from markupsafe import Markup, escape

from indexfuse_tools._core.bidi import balanced, needs_isolation
from indexfuse_tools._report.sections import Section

_DATA = importlib.resources.files("indexfuse_tools._report")


def _template_source(name: str) -> str | None:
    resource = _DATA / "templates" / name
    return resource.read_text(encoding="utf-8") if resource.is_file() else None


def bdi(value: object) -> Markup:
    """``value`` escaped, inside ``<bdi>`` when it could reorder the text around it.

    The templates' filter for every label they show: a name in a
    right-to-left script, or one holding a bidirectional control such as
    U+202E, is isolated from the sentence or the cell around it, so that
    ``Ohio\u202e (0.292)`` does not read ``(292.0)``. Other text is only
    escaped, as it cannot reorder anything.
    """
    if isinstance(value, Markup):
        return value
    text = str(value)
    if not needs_isolation(text):
        return escape(text)
    return Markup("<bdi>%s</bdi>") % balanced(text)


@functools.cache
def environment() -> jinja2.Environment:
    """The templates' environment: every value escaped unless marked safe,
    and a name a template does not have is an error, not an empty string;
    the filter ``bdi`` isolates a label (see :func:`bdi`)."""
    built = jinja2.Environment(
        loader=jinja2.FunctionLoader(_template_source),
        autoescape=True,
        undefined=jinja2.StrictUndefined,
        trim_blocks=True,
        lstrip_blocks=True,
        keep_trailing_newline=True,
    )
    built.filters["bdi"] = bdi
    return built


@functools.cache
def stylesheet() -> Markup:
    """The page's styles, from ``report.css``."""
    # Safe unescaped: the file ships with the package and holds no reader's
    # value, and escaping would break its quoted font names inside <style>.
    return Markup(_DATA.joinpath("report.css").read_text(encoding="utf-8"))


def render(
    title: str,
    source: str | None,
    written: str,
    version: str,
    settings: Sequence[str],
    sections: Sequence[Section],
    explorer: str | None = None,
) -> str:
    """The whole page as HTML.

    Parameters
    ----------
    title : str
        The page's title and top heading.
    source : str or None
        Where the data come from, shown under the title when given.
    written : str
        The date the page is written, in ISO form.
    version : str
        The version of ``indexfuse_tools`` writing it.
    settings : sequence of str
        The model's settings in words.
    sections : sequence of Section
        The sections, in the order shown; each is rendered by the template
        named by its anchor.
    explorer : str, optional
        The address of the explorer page, relative to the report's, to link to.
    """
    return environment().get_template("page.html").render(
        title=title,
        source=source,
        written=written,
        version=version,
        settings=settings,
        sections=sections,
        explorer=explorer,
        css=stylesheet(),
    )
