"""Gaps filled over time: ``prepare(..., impute="carry")`` against the same fill in plain pandas, side by side.

The reference problem: 20 editions of the synthetic table of ``bench_data.py``
at 33,000 units and 40 indicators (660,000 rows in one long table, the one
``bench_editions.py`` builds), with 5% of the values taken out at random and
every fifth unit missing its first two periods of one indicator.

* ``prepare(schema, long, impute="carry", period=, unit=, max_gap=2)``: the
  fill over time, every fill logged with the period it came from, the
  median for what the units' own values do not reach, and the rules kept
  for a new edition (goal: within 2 s);
* against plain pandas: ``groupby(unit).ffill(limit=2)``, a ``bfill(limit=2)``
  of the gaps before a unit's first value, then each column's median (no
  log, no rules kept);
* the preparation it learns written as JSON and read back (``dumps`` and
  ``Preparation.loads``): it keeps each unit's last value of each
  indicator, 1.3 million values.

Before anything is timed, the two prepared tables must be equal. Times are
medians, the two sides taking turns.

Run: ``.venv/bin/python benchmarks/bench_panel.py`` (a minute or two);
``--smoke`` for the smallest size (3 editions of 1,000 units, one run).
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import indexfuse_tools  # noqa: E402
from bench_data import make_schema  # noqa: E402
from bench_editions import long_table  # noqa: E402
from bench_timing import cores, median_times  # noqa: E402

RESULTS = HERE / "results"
UNITS, EDITIONS = 33_000, 20
SMOKE_UNITS, SMOKE_EDITIONS = 1_000, 3
GOAL_SECONDS = 2.0
MAX_GAP = 2
MISSING = 0.05


def panel_with_gaps(units: int, count: int) -> tuple[pd.DataFrame, list[str]]:
    """The long table of ``bench_editions.py`` with gaps, and its indicator columns."""
    table = long_table(units, count)
    indicators = [column for column in table.columns if column not in ("period", "unit")]
    values = table[indicators].to_numpy(copy=True)
    values[np.random.default_rng(2).random(values.shape) < MISSING] = np.nan
    # Leading runs, which only a carry backwards fills.
    leading = table["unit"].isin(table["unit"].unique()[::5]).to_numpy() & (table["period"] < 2002).to_numpy()
    values[leading, 0] = np.nan
    table[indicators] = values
    return table, indicators


def ours(schema: Any, table: pd.DataFrame) -> pd.DataFrame:
    return indexfuse_tools.prepare(schema, table, impute="carry", period="period", unit="unit", max_gap=MAX_GAP)[0]


def plain(table: pd.DataFrame, indicators: list[str]) -> pd.DataFrame:
    """The same fill in plain pandas: every unit holds every period, so a limit in rows is one in periods."""
    ordered = table.sort_values(["unit", "period"], kind="stable")
    values = ordered[indicators]
    by_unit = values.groupby(ordered["unit"], sort=False)
    filled = by_unit.ffill(limit=MAX_GAP)
    seen = values.notna().groupby(ordered["unit"], sort=False).cummax()
    filled = filled.where(seen | filled.notna(), by_unit.bfill(limit=MAX_GAP))
    filled = filled.fillna(table[indicators].median())
    out = table.copy()
    out[indicators] = filled.reindex(table.index)
    return out


def check_agreement(schema: Any, table: pd.DataFrame, indicators: list[str]) -> None:
    """Stop with an error unless both sides fill every gap with the same value."""
    np.testing.assert_array_equal(
        ours(schema, table)[indicators].to_numpy(), plain(table, indicators)[indicators].to_numpy(), err_msg="carry"
    )


def run(units: int = UNITS, count: int = EDITIONS, repeats: int = 3) -> dict[str, Any]:
    """Every figure of the benchmark, after the agreement check."""
    schema = make_schema()
    table, indicators = panel_with_gaps(units, count)
    check_agreement(schema, table, indicators)
    gaps = int(table[indicators].isna().sum().sum())
    ours_s, plain_s = median_times([lambda: ours(schema, table), lambda: plain(table, indicators)], repeats)
    start = time.process_time()
    ours(schema, table)
    cpu = time.process_time() - start
    preparation = indexfuse_tools.prepare(schema, table, impute="carry", period="period", unit="unit")[2]
    text = preparation.dumps()
    dumps_s, loads_s = median_times([preparation.dumps, lambda: indexfuse_tools.Preparation.loads(text)], repeats)
    return {
        "units": units, "editions": count, "rows": len(table), "gaps": gaps, "repeats": repeats,
        "cores": cores(), "prepare_seconds": ours_s, "prepare_cpu_seconds": cpu, "plain_seconds": plain_s,
        "ratio": ours_s / plain_s, "dumps_seconds": dumps_s, "loads_seconds": loads_s, "file_bytes": len(text),
    }  # fmt: skip


def goals(figures: dict[str, Any]) -> list[tuple[str, str, bool]]:
    """(goal, figure reached, met) for the reference problem."""
    return [
        (f"panel imputation of {figures['editions']} editions x {figures['units']:,} units x 40 indicators "
         f"within {GOAL_SECONDS:g} s", f"{figures['prepare_seconds']:.2f} s",
         figures["prepare_seconds"] <= GOAL_SECONDS),
    ]  # fmt: skip


def print_table(figures: dict[str, Any]) -> None:
    print(f"Panel imputation: {figures['editions']} editions of {figures['units']:,} units, 40 indicators "
          f"({figures['rows']:,} rows, {figures['gaps']:,} gaps); cores: {figures['cores']}; median of "
          f"{figures['repeats']}, the two sides taking turns; both fill every gap alike")  # fmt: skip
    print(f"{'':<44} {'s':>8}")
    print(f"{'prepare(impute=carry, max_gap=2)':<44} {figures['prepare_seconds']:>8.2f}"
          f"   (CPU {figures['prepare_cpu_seconds']:.2f} s)")  # fmt: skip
    print(f"{'plain pandas ffill/bfill + median':<44} {figures['plain_seconds']:>8.2f}"
          f"   ratio {figures['ratio']:.2f}")  # fmt: skip
    print(f"{'the preparation written as JSON (dumps)':<44} {figures['dumps_seconds']:>8.2f}"
          f"   ({figures['file_bytes'] / 1e6:.1f} MB)")  # fmt: skip
    print(f"{'and read back (Preparation.loads)':<44} {figures['loads_seconds']:>8.2f}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true", help="smallest size, one run: it runs and agrees")
    parser.add_argument("--units", type=int, help=f"units per edition (default {UNITS:,})")
    parser.add_argument("--editions", type=int, help=f"editions (default {EDITIONS})")
    parser.add_argument("--repeats", type=int, help="timed runs per figure (default 3; 1 with --smoke)")
    parser.add_argument("--json", type=Path, help="where to write the raw figures")
    args = parser.parse_args(argv)
    units = args.units or (SMOKE_UNITS if args.smoke else UNITS)
    count = args.editions or (SMOKE_EDITIONS if args.smoke else EDITIONS)
    figures = run(units, count, args.repeats or (1 if args.smoke else 3))
    print_table(figures)
    if not args.smoke and (units, count) == (UNITS, EDITIONS):
        print("Goals")
        for goal, figure, met in goals(figures):
            print(f"  [{'reached' if met else 'MISSED '}] {goal}: {figure}")
    target = args.json or RESULTS / ("panel_smoke.json" if args.smoke else "panel.json")
    target.parent.mkdir(parents=True, exist_ok=True)
    target.write_text(json.dumps(figures, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
