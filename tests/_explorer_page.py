"""Read what an explorer page carries, as its script decodes it."""

from __future__ import annotations

import base64
import json
import re
import zlib
from pathlib import Path

import numpy as np


def carried(path: Path) -> tuple[dict, dict]:
    """The page's data document, and its per-unit columns decoded by entry (``column(entry)``)."""
    text = path.read_text(encoding="utf-8")
    document = json.loads(re.search(r'<script type="application/json" id="explorer-data">(.*?)</script>', text, re.S).group(1))
    columns = re.search(r'id="explorer-columns">(.*?)</script>', text, re.S).group(1)

    def column(entry):
        data = zlib.decompress(base64.b64decode(columns[entry["at"] : entry["at"] + entry["length"]]))
        if entry["type"] == "json":
            return json.loads(data)
        width = 8 if entry["type"] == "f8" else 4
        values = np.frombuffer(data, np.uint8).reshape(width, -1).T.copy().view("<" + entry["type"][0] + str(width))[:, 0]
        if entry["type"] != "i4":
            return values
        return np.where(values == np.iinfo(np.int32).min, np.nan, values / 10.0 ** entry["decimals"])

    return document, column


def units_of(path: Path) -> list[str]:
    document, column = carried(path)
    return column(document["units"])
