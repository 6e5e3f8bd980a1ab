"""Moves between editions with their intervals: what they add to the robustness analysis they come from.

The problem: an index of ``--editions`` editions of ``--units`` units (the
synthetic table of ``bench_data.py``, each edition the same units with
their values drifted), pooled baseline, every default factor, Sobol with
``--n`` base samples. Side by side, interleaved (A, B, A, B, ...):

* without: ``index.robustness(moves=False)``, the rank intervals of the
  latest edition alone;
* with: ``index.robustness()``, which also keeps, in every run, each
  unit's places climbed and composite change since the first edition, and
  takes their 5-95% intervals from the spill files.

The goal: the moves add at most 20% to the analysis. Both are run in this
process (``scheduler=1``) unless ``--workers`` says otherwise, so that the
difference is not lost in the noise of starting processes.

Run: ``.venv/bin/python benchmarks/bench_moves.py`` (a few minutes);
``--units 2000 --n 32 --repeats 1`` for a quick look.
"""

from __future__ import annotations

import argparse
import json
import sys
import warnings
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import indexfuse_tools  # noqa: E402
from bench_data import make_frame, make_schema  # noqa: E402
from bench_timing import median_times  # noqa: E402

RESULTS = HERE / "results"
GOAL = 0.20  # the most the moves may add, as a share of the analysis without them


def panel(units: int, editions: int, seed: int = 1) -> pd.DataFrame:
    """``editions`` editions of the same units, each the last plus a small drift."""
    base = make_frame(units)
    rng = np.random.default_rng(seed)
    frames = []
    for period in range(editions):
        drifted = base + rng.normal(scale=0.1, size=base.shape) * base.abs().mean().to_numpy()
        frames.append(drifted.assign(year=2000 + period, unit=[f"u{i}" for i in range(units)]))
    return pd.concat(frames, ignore_index=True)


def run(units: int, editions: int, n: int, repeats: int, workers: int) -> dict[str, Any]:
    warnings.filterwarnings("ignore", category=indexfuse_tools.RobustnessWarning)
    index = indexfuse_tools.Index.build(make_schema(), panel(units, editions), period="year", unit="unit")
    options = {"n": n, "scheduler": workers, "progress": False}
    without, with_moves = median_times(
        [lambda: index.robustness(moves=False, **options), lambda: index.robustness(**options)], repeats
    )
    runs = len(index.analyses[index.periods[-1]].runs)
    return {
        "units": units,
        "editions": editions,
        "runs": runs,
        "workers": workers,
        "without_seconds": without,
        "with_seconds": with_moves,
        "added": with_moves / without - 1,
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--units", type=int, default=5_000)
    parser.add_argument("--editions", type=int, default=5)
    parser.add_argument("--n", type=int, default=64, help="Sobol base samples (a power of 2)")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--workers", type=int, default=1)
    args = parser.parse_args(argv)
    found = run(args.units, args.editions, args.n, args.repeats, args.workers)
    print(
        f"{found['editions']} editions x {found['units']:,} units, {found['runs']:,} runs, "
        f"{found['workers']} worker(s): without moves {found['without_seconds']:.2f} s, "
        f"with moves {found['with_seconds']:.2f} s: +{100 * found['added']:.1f}% (goal: at most "
        f"+{100 * GOAL:.0f}%)"
    )
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "moves.json").write_text(json.dumps(found, indent=1))
    return 0 if found["added"] <= GOAL else 1


if __name__ == "__main__":
    raise SystemExit(main())
