"""The boundary sets shipped with the package, read from its data, and the
texts each shape is matched by.

See ``data/README.md`` for where each set comes from, its licence and how
it was made (``scripts/bundle-maps``).
"""

from __future__ import annotations

import functools
import importlib.resources
import json

from indexfuse_tools._geo.aliases import CODE_ALIASES, COUNTRY_ALIASES
from indexfuse_tools._geo.keys import match_text
from indexfuse_tools._geo.read import read_mapping
from indexfuse_tools._geo.shapes import Shape

__all__ = ["BUNDLED", "bundled", "BUNDLED_KEYS"]

#: The bundled sets by name, with what each holds.
BUNDLED = {
    "world": "the countries of Natural Earth at 1:50 million (public domain), Antarctica left out",
    "us-states": "the 50 US states, DC, Puerto Rico and the US Virgin Islands, US Census Bureau 2016 (public domain)",
    "us-counties": "the counties and county equivalents of the same, US Census Bureau 2016 (public domain)",
}
#: The properties of each set's shapes a ``key`` may name; every one is
#: tried when ``key`` names none.
BUNDLED_KEYS = {
    "world": ("iso_a3", "iso_n3", "name"),
    "us-states": ("fips", "postal", "name"),
    "us-counties": ("fips", "name"),
}
#: The projection each set is drawn in.
KINDS = {"world": "world", "us-states": "us", "us-counties": "us"}

_DATA = importlib.resources.files("indexfuse_tools._geo") / "data"


def _aliases_by_code() -> dict[str, list[str]]:
    found: dict[str, list[str]] = {}
    for alias, code in COUNTRY_ALIASES.items():
        found.setdefault(code, []).append(alias)
    for alias, code in CODE_ALIASES.items():
        found.setdefault(code, []).append(alias)
    return found


def _matches(name: str, properties: dict[str, str | None], extra: dict[str, list[str]]) -> dict[str, tuple[str, ...]]:
    def texts(*values: str | None) -> tuple[str, ...]:
        return tuple(dict.fromkeys(match_text(value) for value in values if value))

    if name == "world":
        code = properties.get("iso_a3")
        names = json.loads(properties.get("names") or "[]")
        return {
            "iso_a3": texts(code, *[alias for alias in extra.get(code or "", []) if alias in CODE_ALIASES]),
            "iso_n3": texts(properties.get("iso_n3")),
            "name": texts(properties.get("name"), *names, *[a for a in extra.get(code or "", []) if a not in CODE_ALIASES]),
        }
    if name == "us-states":
        state = properties.get("name")
        dc = ("Washington DC", "Washington, D.C.", "D.C.") if state == "District of Columbia" else ()
        return {"fips": texts(properties.get("fips")), "postal": texts(properties.get("postal")), "name": texts(state, *dc)}
    full = properties.get("name") or ""
    short = properties.get("postal") or ""
    # "Autauga County, Alabama", "Autauga, AL" and "Autauga County, AL" all name it.
    mixed = full.rsplit(", ", 1)[0] + ", " + short.rsplit(", ", 1)[-1] if short else None
    return {"fips": texts(properties.get("fips")), "name": texts(full, short, mixed)}


@functools.cache
def bundled(name: str) -> tuple[Shape, ...]:
    """The shapes of the bundled set ``name``, each with the texts it is matched by."""
    source = f"the bundled set {name!r}"
    document = json.loads(_DATA.joinpath(f"{name}.json").read_text(encoding="utf-8"))
    extra = _aliases_by_code() if name == "world" else {}
    shapes = read_mapping(document, source)
    return tuple(
        Shape(shape.properties, shape.polygons, shape.point, shape.where, shape.feature_id, _matches(name, shape.properties, extra))
        for shape in shapes
    )
