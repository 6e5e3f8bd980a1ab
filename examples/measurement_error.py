"""
The data's own errors
=====================

The quickstart's ranking when the values themselves are uncertain: each
state's poverty and single-parent rates are survey estimates with a margin
of error, and its murder rate rests on small counts. The analysis draws
errors of that size and says how far they move each rank, and how often a
state is among the ten best or worst fifths.
"""

import statsmodels.api as sm

import indexfuse_tools

data = sm.datasets.statecrime.load_pandas().data
schema = {
    "safety": [("violent", -1), ("murder", -1)],
    "opportunity": {
        "education": ["hs_grad"],
        ("hardship", -1): ["poverty", "single"],
    },
}

# statecrime ships no standard errors. The rates come from a national
# survey whose state estimates have 90% margins of error of a few percent
# of the estimate: take 4% for poverty and single parents as a column of
# margins, as a publisher gives them, and 10% of the murder rate, whose
# small counts make it the noisiest.
data["poverty_moe"] = 0.04 * data["poverty"]
data["single_moe"] = 0.04 * data["single"]
errors = {"poverty": "poverty_moe", "single": "single_moe", "murder": 0.10}

plain = indexfuse_tools.robustness(schema, data, n=256, seed=0, progress=False, scheduler=1)
noisy = indexfuse_tools.robustness(
    schema, data, n=256, seed=0, progress=False, scheduler=1, errors=errors, confidence=0.90
)
print(noisy.sensitivity[["S1", "ST"]].round(2).to_string())


def width(result: indexfuse_tools.RobustnessResult) -> float:
    return float((result.ranks["p95"] - result.ranks["p5"]).mean())


print(f"\nMean width of the 5-95% rank intervals: {width(plain):.1f} places without the errors, "
      f"{width(noisy):.1f} with them")

print("\nThe states closest to the top tenth's edge:")
edge = noisy.ranks[(noisy.ranks["top_tenth"] > 0) & (noisy.ranks["top_tenth"] < 1)]
print(edge.sort_values("nominal")[["nominal", "p5", "p95", "top_tenth"]].to_string())
