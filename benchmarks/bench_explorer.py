"""The explorer page at census scale: its size, and how soon and how fast it answers.

    python benchmarks/bench_explorer.py                      # 33,000, 85,000 and 242,335 units
    python benchmarks/bench_explorer.py --sizes 10000 --keep /tmp/pages

For each size a synthetic table shaped like a deprivation index (17 skewed,
correlated indicators in 4 dimensions, one unit per small area) is fitted,
its page written, and the page opened in headless Chromium, which reports:

- the time from the start of the navigation until the table answers
  (``document.documentElement.dataset.ready``), best of ``--repeats`` loads;
- a search (typing a part of a label), a sort (choosing a column's
  heading) and a re-weighting (moving a slider): the time from the reader's
  input until every composite and rank is computed again and the rows on
  screen show the result, best of ``--repeats``.

The browser is the one the tests use (``tests/_chromium.py``). Timings on a
shared machine are noisy: take the best of several runs.
"""

from __future__ import annotations

import argparse
import json
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

SIZES = (33_000, 85_000, 242_335)
SEED = 20250117

# Four dimensions, 17 indicators; a higher value is more deprived except
# where the direction is -1 (a share of qualified adults, say).
SCHEMA: dict[str, list[Any]] = {
    "income": ["low_income", "benefits", "child_poverty", "older_poverty", "fuel_poverty"],
    "employment": ["unemployment", "sickness", "carers", ("in_work", -1)],
    "education": ["no_qualification", ("degree", -1), "absence", "not_in_school"],
    "health": ["mortality", "disability", "mood", "emergency"],
}


def deprivation_frame(n: int, seed: int = SEED) -> pd.DataFrame:
    """``n`` small areas: 17 right-skewed indicators sharing one deprivation factor.

    Each dimension adds its own factor to the shared one, so indicators of
    a dimension correlate more with each other than across dimensions. Rates
    are lognormal (skewed, as shares of a small population are); areas are
    labelled as census block groups are named.
    """
    rng = np.random.default_rng(seed)
    shared = rng.standard_normal(n)
    columns: dict[str, np.ndarray] = {}
    for position, (dimension, entries) in enumerate(SCHEMA.items()):
        own = rng.standard_normal(n)
        for k, entry in enumerate(entries):
            name, direction = entry if isinstance(entry, tuple) else (entry, 1)
            latent = 0.6 * shared + 0.5 * own + (0.4 + 0.1 * k) * rng.standard_normal(n)
            skew = 0.3 + 0.15 * ((k + position) % 4)
            columns[name] = np.round(100 * np.exp(direction * skew * latent - 2.0 + 0.1 * k), 3)
    counties = rng.integers(1, 840, n)
    tracts = np.arange(n) // 3
    frame = pd.DataFrame(columns)
    frame.index = [
        f"Block group {i % 3 + 1}, tract {tract // 100:04d}.{tract % 100:02d}, county {county:03d}"
        for i, (tract, county) in enumerate(zip(tracts, counties))
    ]
    return frame


def write_page(n: int, folder: Path) -> tuple[Path, float]:
    """The page of ``n`` synthetic areas, and the seconds Python took to write it."""
    import indexfuse

    import indexfuse_tools

    data = deprivation_frame(n)
    model = indexfuse.indexpca_diment(SCHEMA)
    model.fit(data)
    start = time.perf_counter()
    path = indexfuse_tools.explorer(model, data, folder / f"explorer-{n}.html", title=f"{n:,} small areas")
    return path, time.perf_counter() - start


# Each probe returns milliseconds from the reader's input until what it
# asked for is on screen, as the page's own clock measures it.
_SEARCH = """(async () => {
  const box = document.getElementById('search');
  const start = performance.now();
  box.value = %s;
  box.dispatchEvent(new Event('input'));
  await window.indexfuseExplorer.settled();
  return performance.now() - start;
})()"""
_SORT = """(async () => {
  const heading = [...document.querySelectorAll('#table thead th')][%d].querySelector('button') ;
  const start = performance.now();
  heading.click();
  await window.indexfuseExplorer.settled();
  return performance.now() - start;
})()"""
_WEIGHT = """(async () => {
  const slider = document.querySelector('#weight-controls input[type=range]');
  const start = performance.now();
  slider.value = %s;
  slider.dispatchEvent(new Event('input'));
  await window.indexfuseExplorer.settled();
  return performance.now() - start;
})()"""
# Milliseconds from the start of the navigation until the table answered.
_READY = """new Promise(done => {
  const look = () => document.documentElement.dataset.ready === '1'
    ? done(performance.getEntriesByName('interactive')[0].startTime) : setTimeout(look, 5);
  look();
})"""


def measure(path: Path, repeats: int) -> dict[str, float]:
    """Milliseconds in headless Chromium at 1280 px: each step's best of ``repeats`` loads.

    A search, a sort and a re-weighting are each timed twice per load (a
    narrow and a broad search; the first sort of a column and its
    reversal), and the slower of the two is kept, since a reader meets both.
    """
    import _chromium

    binary = _chromium.find()
    if binary is None:
        raise SystemExit("no Chromium here (apt-get install chromium)")
    found: dict[str, list[float]] = {"interactive": [], "search": [], "sort": [], "reweight": []}
    with _chromium.Session(binary, width=1280) as session:
        for attempt in range(repeats):
            session.load(path)
            found["interactive"].append(session.evaluate(_READY))
            searches = [session.evaluate(_SEARCH % json.dumps(text)) for text in ("tract 0012", "group 2", "")]
            found["search"].append(max(searches[:2]))
            found["sort"].append(max(session.evaluate(_SORT % 2), session.evaluate(_SORT % 2)))
            moves = [session.evaluate(_WEIGHT % json.dumps(str(value))) for value in (10 + 15 * attempt, 60)]
            found["reweight"].append(max(moves))
        if session.complaints:
            raise SystemExit(f"the page complained: {session.complaints}")
    return {name: min(times) for name, times in found.items()}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=list(SIZES))
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--keep", type=Path, help="write the pages here and keep them")
    options = parser.parse_args(argv)
    with tempfile.TemporaryDirectory() as scratch:
        folder = options.keep or Path(scratch)
        folder.mkdir(parents=True, exist_ok=True)
        print("| units | page MB | written s | interactive ms | search ms | sort ms | re-weight ms |")
        print("|---|---|---|---|---|---|---|")
        for n in options.sizes:
            path, written = write_page(n, folder)
            times = measure(path, options.repeats)
            print(
                f"| {n:,} | {path.stat().st_size / 1e6:.1f} | {written:.1f} | {times['interactive']:.0f} "
                f"| {times['search']:.0f} | {times['sort']:.0f} | {times['reweight']:.0f} |",
                flush=True,
            )
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
