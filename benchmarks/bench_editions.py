"""Editions of an index: ``editions()`` against the fits and scores it stands for, side by side.

The reference problem: 20 editions of the synthetic table of ``bench_data.py``
at 33,000 units and 40 indicators (660,000 rows in one long table), each
edition drifting a little from the one before.

* pooled: ``editions(schema, long, baseline="pooled").results`` against one
  ``fit`` plus one ``score`` of the stacked table (goal: within 2x);
* change: ``Editions.change(first, last)`` for every unit, on editions just
  made (the terms of both editions computed in the call; goal: within 1 s),
  and again once they are cached;
* refit: ``editions(..., baseline="refit").results`` against 20 separate
  fits and scores, one per edition (goal: within 1.5x).

Before anything is timed, the composites of each ``editions()`` must equal
those of the plain fits and scores to 1e-12 (relative), and the change's
terms must add up to it. Times are medians, the two sides taking turns.

Run: ``.venv/bin/python benchmarks/bench_editions.py`` (a few minutes);
``--smoke`` for the smallest size (3 editions of 1,000 units, one run).
``--profile`` writes a cProfile of the pooled editions to ``results/editions.prof``.
"""

from __future__ import annotations

import argparse
import cProfile
import json
import sys
import time
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import indexfuse  # noqa: E402
import indexfuse_tools  # noqa: E402
from bench_data import make_frame, make_schema  # noqa: E402
from bench_timing import cores, median_times  # noqa: E402

RESULTS = HERE / "results"
UNITS, EDITIONS = 33_000, 20
SMOKE_UNITS, SMOKE_EDITIONS = 1_000, 3
GOALS = {"pooled_ratio": 2.0, "change_seconds": 1.0, "refit_ratio": 1.5}
RTOL = 1e-12
# How far an edition drifts from the one before, in standard deviations of the noise.
DRIFT = 0.02


def long_table(units: int, count: int) -> pd.DataFrame:
    """``count`` editions of ``units`` units one under the other, with "period" and "unit" columns."""
    base = make_frame(units)
    noise = np.random.default_rng(1).standard_normal((count, *base.shape)) * DRIFT
    labels = np.array([f"u{i:05d}" for i in range(units)], dtype=object)
    parts = []
    for period in range(count):
        edition = base + np.cumsum(noise[: period + 1], axis=0)[-1] + DRIFT * period
        edition.insert(0, "unit", labels)
        edition.insert(0, "period", 2000 + period)
        parts.append(edition)
    return pd.concat(parts, ignore_index=True)


def stacked(table: pd.DataFrame) -> pd.DataFrame:
    """The long table indexed by (period, unit), indicators only: what one plain fit takes."""
    return table.set_index(["period", "unit"])


def plain_pooled(schema: Any, data: pd.DataFrame) -> pd.Series:
    model = indexfuse.indexpca_diment(schema)
    model.fit(data)
    composite, _ = model.score(data)
    return composite


def plain_refit(schema: Any, data: pd.DataFrame) -> list[pd.Series]:
    scores = []
    for _, edition in data.groupby(level="period", sort=True):
        model = indexfuse.indexpca_diment(schema)
        model.fit(edition)
        scores.append(model.score(edition)[0])
    return scores


def pooled_editions(schema: Any, table: pd.DataFrame, baseline: str = "pooled") -> pd.DataFrame:
    return indexfuse_tools.editions(schema, table, period="period", unit="unit", baseline=baseline).results


def check_agreement(schema: Any, table: pd.DataFrame, data: pd.DataFrame) -> None:
    """Stop with an error unless editions() gives the composites of the plain fits and scores."""
    pooled = pooled_editions(schema, table)["composite"].to_numpy()
    np.testing.assert_allclose(pooled, plain_pooled(schema, data).to_numpy(), rtol=RTOL, err_msg="pooled")
    refit = pooled_editions(schema, table, "refit")["composite"].to_numpy()
    plain = np.concatenate([score.to_numpy() for score in plain_refit(schema, data)])
    np.testing.assert_allclose(refit, plain, rtol=RTOL, err_msg="refit")


def change_seconds(schema: Any, table: pd.DataFrame, repeats: int) -> tuple[float, float, int]:
    """(cold, cached) seconds of change(first, last) for every unit, and how many units it covered."""
    colds, warm = [], []
    for _ in range(repeats):
        result = indexfuse_tools.editions(schema, table, period="period", unit="unit")
        start = time.perf_counter()
        change = result.change(result.periods[0], result.periods[-1])
        colds.append(time.perf_counter() - start)
        start = time.perf_counter()
        result.change(result.periods[0], result.periods[-1])
        warm.append(time.perf_counter() - start)
    terms = change[result.terms].sum(axis=1) + change["missing"] + change["method"]
    np.testing.assert_allclose(terms, change["change"], rtol=1e-9, atol=1e-12, err_msg="change")
    return float(np.median(colds)), float(np.median(warm)), len(change)


def run(units: int = UNITS, count: int = EDITIONS, repeats: int = 3, profile: Path | None = None) -> dict[str, Any]:
    """Every figure of the benchmark, after the agreement checks."""
    schema = make_schema()
    table = long_table(units, count)
    data = stacked(table)
    check_agreement(schema, table, data)
    editions_s, plain_s = median_times(
        [lambda: pooled_editions(schema, table), lambda: plain_pooled(schema, data)], repeats
    )
    cold, cached, changed = change_seconds(schema, table, repeats)
    refit_s, separate_s = median_times(
        [lambda: pooled_editions(schema, table, "refit"), lambda: plain_refit(schema, data)], repeats
    )
    if profile is not None:
        profile.parent.mkdir(parents=True, exist_ok=True)
        cProfile.runctx("pooled_editions(schema, table)", globals(), locals(), str(profile))
    return {
        "units": units, "editions": count, "rows": len(table), "repeats": repeats, "cores": cores(),
        "pooled_seconds": editions_s, "fit_score_seconds": plain_s, "pooled_ratio": editions_s / plain_s,
        "change_seconds": cold, "change_cached_seconds": cached, "change_units": changed,
        "refit_seconds": refit_s, "separate_seconds": separate_s, "refit_ratio": refit_s / separate_s,
    }  # fmt: skip


def goals(figures: dict[str, Any]) -> list[tuple[str, str, bool]]:
    """(goal, figure reached, met) for each goal of the reference problem."""
    return [
        ("editions pooled within 2x of one fit + score of the stacked table",
         f"{figures['pooled_ratio']:.2f}x", figures["pooled_ratio"] <= GOALS["pooled_ratio"]),
        ("change for all units within 1 s", f"{figures['change_seconds']:.2f} s",
         figures["change_seconds"] <= GOALS["change_seconds"]),
        ("editions refit within 1.5x of separate fits and scores",
         f"{figures['refit_ratio']:.2f}x", figures["refit_ratio"] <= GOALS["refit_ratio"]),
    ]  # fmt: skip


def print_table(figures: dict[str, Any]) -> None:
    print(f"Editions: {figures['editions']} editions of {figures['units']:,} units, 40 indicators "
          f"({figures['rows']:,} rows); cores: {figures['cores']}; median of {figures['repeats']}, "
          "the two sides taking turns; composites agree to 1e-12")  # fmt: skip
    rows = [
        ("editions(baseline='pooled')", figures["pooled_seconds"], "one fit + score, stacked",
         figures["fit_score_seconds"], figures["pooled_ratio"]),
        ("editions(baseline='refit')", figures["refit_seconds"], f"{figures['editions']} fits + scores",
         figures["separate_seconds"], figures["refit_ratio"]),
    ]  # fmt: skip
    print(f"{'':<30} {'s':>8}   {'against':<26} {'s':>8} {'ratio':>7}")
    for name, seconds, other, other_seconds, ratio in rows:
        print(f"{name:<30} {seconds:>8.2f}   {other:<26} {other_seconds:>8.2f} {ratio:>7.2f}")
    print(f"change(first, last), {figures['change_units']:,} units: {figures['change_seconds']:.3f} s "
          f"({figures['change_cached_seconds']:.3f} s with the terms cached)")  # fmt: skip


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true", help="smallest size, one run: it runs and agrees")
    parser.add_argument("--units", type=int, help=f"units per edition (default {UNITS:,})")
    parser.add_argument("--editions", type=int, help=f"editions (default {EDITIONS})")
    parser.add_argument("--repeats", type=int, help="timed runs per figure (default 3; 1 with --smoke)")
    parser.add_argument("--profile", action="store_true", help="write a cProfile to results/editions.prof")
    parser.add_argument("--json", type=Path, help="where to write the raw figures")
    args = parser.parse_args(argv)
    units = args.units or (SMOKE_UNITS if args.smoke else UNITS)
    count = args.editions or (SMOKE_EDITIONS if args.smoke else EDITIONS)
    figures = run(units, count, args.repeats or (1 if args.smoke else 3),
                  RESULTS / "editions.prof" if args.profile else None)  # fmt: skip
    print_table(figures)
    if not args.smoke and (units, count) == (UNITS, EDITIONS):
        print("Goals")
        for goal, figure, met in goals(figures):
            print(f"  [{'reached' if met else 'MISSED '}] {goal}: {figure}")
    target = args.json or RESULTS / ("editions_smoke.json" if args.smoke else "editions.json")
    target.parent.mkdir(parents=True, exist_ok=True)
    target.write_text(json.dumps(figures, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
