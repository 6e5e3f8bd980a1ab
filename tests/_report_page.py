"""Read what a report page shows: the tables of a section, and the rank-interval CSV it links."""

from __future__ import annotations

import html.parser
import io
import re
import urllib.parse

import pandas as pd


class _Tables(html.parser.HTMLParser):
    """Every table of one section of a page, as rows of cell texts (tags inside cells dropped)."""

    def __init__(self, section: str) -> None:
        super().__init__()
        self.section, self.inside, self.tables = section, False, []
        self.row: list[str] | None = None
        self.cell: list[str] | None = None

    def handle_starttag(self, tag, attrs):
        if tag == "section":
            self.inside = dict(attrs).get("id") == self.section
        elif self.inside and tag == "table":
            self.tables.append([])
        elif self.inside and tag == "tr":
            self.row = []
        elif self.inside and tag in ("td", "th"):
            self.cell = []

    def handle_endtag(self, tag):
        if tag in ("td", "th") and self.cell is not None and self.row is not None:
            self.row.append("".join(self.cell).strip())
            self.cell = None
        elif tag == "tr" and self.row is not None:
            self.tables[-1].append(self.row)
            self.row = None
        elif tag == "section":
            self.inside = False

    def handle_data(self, data):
        if self.cell is not None:
            self.cell.append(data)


def section_table(text: str, section: str, index: int = 0) -> pd.DataFrame:
    """The ``index``-th table of the section whose id is ``section``, its header as the columns."""
    parser = _Tables(section)
    parser.feed(text)
    head, *rows = parser.tables[index]
    return pd.DataFrame(rows, columns=head)


def ranks_csv(text: str) -> pd.DataFrame:
    """The rank intervals the report offers as a CSV download."""
    link = re.search(r'href="data:text/csv;charset=utf-8,([^"]+)"', text).group(1)
    return pd.read_csv(io.StringIO(urllib.parse.unquote(link)))
