"""The explorer's map: how heavy the page gets and how soon it answers.

* world: the bundled countries on a page of 200 units (a country table):
  the bytes the map adds (goal: at most 800 KB);
* us-counties: 3,221 units on the bundled counties: the page's bytes (goal:
  at most 2 MB) and the time until the map is drawn in headless Chromium
  (goal: within 2 s);
* tracts: a user file of 85,000 census-tract-like polygons (a jittered grid
  over the lower 48, 20 corners each, neighbours sharing their borders):
  the page's bytes (goal: at most 30 MB), the time until the map is drawn
  (goal: within 3 s), and the time a recolouring takes after a weight moves
  (goal: within 200 ms; the map's own measure, from the new composites to
  the last shape painted).

Times are from the start of the page's navigation (performance.now() in the
page), the median of three loads. Python's side (reading, joining,
projecting, simplifying, writing the page) is timed too.

Run: ``.venv/bin/python benchmarks/bench_maps.py`` (a few minutes);
``--smoke`` for small sizes only (no timing goals checked).
"""

from __future__ import annotations

import argparse
import json
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

import indexfuse
import indexfuse_tools

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import _chromium  # noqa: E402

SCHEMA = {"economy": ["a", "b"], "health": ["c", ("d", -1)], "safety": [("e", -1)]}


def table(units: list[str], seed: int = 0) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    latent = rng.normal(size=len(units))
    columns = {name: latent * w + rng.normal(size=len(units)) for name, w in zip("abcde", (1, 0.8, 0.6, -0.7, -0.5))}
    return pd.DataFrame(columns, index=units)


def tract_grid(rows: int, columns: int, seed: int = 1) -> dict:
    """A grid of jittered cells over the lower 48: each edge bent through four corners shared by both neighbours."""
    rng = np.random.default_rng(seed)
    west, east, south, north = -124.0, -67.0, 25.0, 49.0
    xs = np.linspace(west, east, columns + 1)
    ys = np.linspace(south, north, rows + 1)
    dx, dy = xs[1] - xs[0], ys[1] - ys[0]
    # Jitter of each shared edge's inner points, stored per edge so both sides see the same border.
    horizontal = rng.uniform(-0.15, 0.15, size=(rows + 1, columns, 4)) * dy
    vertical = rng.uniform(-0.15, 0.15, size=(rows, columns + 1, 4)) * dx
    steps = np.arange(1, 5) / 5
    features = []
    for r in range(rows):
        for c in range(columns):
            x0, x1, y0, y1 = xs[c], xs[c + 1], ys[r], ys[r + 1]
            bottom = np.column_stack([x0 + steps * dx, y0 + horizontal[r, c]])
            right = np.column_stack([x1 + vertical[r, c + 1], y0 + steps * dy])
            top = np.column_stack([x1 - steps * dx, y1 + horizontal[r + 1, c][::-1]])
            left = np.column_stack([x0 + vertical[r, c][::-1], y1 - steps * dy])
            ring = np.vstack([[x0, y0], bottom, [x1, y0], right, [x1, y1], top, [x0, y1], left, [x0, y0]])
            features.append({
                "type": "Feature", "properties": {"GEOID": f"T{r:03d}{c:03d}"},
                "geometry": {"type": "Polygon", "coordinates": [ring.round(5).tolist()]},
            })  # fmt: skip
    return {"type": "FeatureCollection", "features": features}


def page_of(units: list[str], geometry, folder: Path, name: str, key=None) -> tuple[Path, float]:
    data = table(units)
    model = indexfuse.indexpca_diment(SCHEMA)
    model.fit(data)
    started = time.perf_counter()
    path = indexfuse_tools.explorer(model, data, folder / f"{name}.html", geometry=geometry, key=key)
    return path, time.perf_counter() - started


def in_browser(path: Path, loads: int = 3) -> dict[str, float]:
    drawn, recolour = [], []
    with _chromium.Session(_chromium.find(), width=1280) as session:
        for _ in range(loads):
            session.load(path)
            session.evaluate("window.indexfuseExplorer.ready")
            drawn.append(session.evaluate("window.indexfuseMapView.drawn"))
            session.evaluate("(() => { const s = document.querySelector('#weight-controls input[type=range]');"
                             " s.value = '10'; s.dispatchEvent(new Event('input')); })()")  # fmt: skip
            session.evaluate("new Promise(done => requestAnimationFrame(() => setTimeout(() => done(true), 0)))")
            recolour.append(session.evaluate("window.indexfuseMapView.took()"))
        assert not [url for url in session.requests if not url.startswith(("file:", "about:", "data:", "blob:"))]
    return {"drawn_ms": statistics.median(drawn), "recolour_ms": statistics.median(recolour)}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true", help="small sizes, no goals checked")
    smoke = parser.parse_args().smoke
    rows, columns = (20, 25) if smoke else (250, 340)
    folder = Path(tempfile.mkdtemp(prefix="bench-maps-"))
    results = {}

    world = indexfuse_tools.read_geometry("world")
    countries = [s.properties["iso_a3"] for s in world.shapes][:200]
    bare, _ = page_of(countries, None, folder, "world-bare")
    mapped, seconds = page_of(countries, "world", folder, "world")
    results["world"] = {"added_bytes": mapped.stat().st_size - bare.stat().st_size, "python_s": seconds}

    counties = [s.properties["fips"] for s in indexfuse_tools.read_geometry("us-counties").shapes]
    counties = counties[: 300 if smoke else len(counties)]
    path, seconds = page_of(counties, "us-counties", folder, "counties", key="fips")
    results["us-counties"] = {"units": len(counties), "bytes": path.stat().st_size, "python_s": seconds, **in_browser(path)}

    grid = folder / "tracts.geojson"
    grid.write_text(json.dumps(tract_grid(rows, columns)))
    tracts = [f"T{r:03d}{c:03d}" for r in range(rows) for c in range(columns)]
    started = time.perf_counter()
    geometry = indexfuse_tools.read_geometry(grid)
    reading = time.perf_counter() - started
    path, seconds = page_of(tracts, geometry, folder, "tracts", key="GEOID")
    results["tracts"] = {"units": len(tracts), "bytes": path.stat().st_size, "read_s": reading, "python_s": seconds,
                         **in_browser(path)}  # fmt: skip

    print(json.dumps(results, indent=2))
    if smoke:
        return
    goals = [
        ("world map adds at most 800 KB", results["world"]["added_bytes"] <= 800_000),
        ("us-counties page at most 2 MB", results["us-counties"]["bytes"] <= 2_000_000),
        ("us-counties map drawn within 2 s", results["us-counties"]["drawn_ms"] <= 2000),
        ("85,000 tracts: page at most 30 MB", results["tracts"]["bytes"] <= 30_000_000),
        ("85,000 tracts: map drawn within 3 s", results["tracts"]["drawn_ms"] <= 3000),
        ("85,000 tracts: recoloured within 200 ms", results["tracts"]["recolour_ms"] <= 200),
    ]
    for goal, met in goals:
        print(("met     " if met else "MISSED  ") + goal)


if __name__ == "__main__":
    main()
