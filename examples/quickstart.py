"""
Quickstart: a wellbeing index of the US states
==============================================

Safety from two crime rates, opportunity as a nested dimension of education
and hardship: check the schema, fit, and rank the 50 states and DC.
"""

import statsmodels.api as sm

import indexfuse
import indexfuse_tools

# US states and DC in 2009: one row per state, one column per indicator.
data = sm.datasets.statecrime.load_pandas().data

schema = {
    # Crime rates lower the index: each column enters with direction -1.
    "safety": [("violent", -1), ("murder", -1)],
    # A nested dimension. Education raises the index; hardship lowers it,
    # so its whole sub-dimension carries the direction -1.
    "opportunity": {
        "education": ["hs_grad"],
        ("hardship", -1): ["poverty", "single"],
    },
}

# What the model would skip silently or fail on: typos, stray directions,
# missing values... An empty list means none.
print("Problems:", indexfuse_tools.check(schema, data))

model = indexfuse.indexpca_diment(schema)
model.fit(data)

print("\nDimension weights:")
print(indexfuse_tools.weights(model).round(3).to_string())

print("\nCoefficients within each dimension:")
print(indexfuse_tools.coefficients(model).round(3).to_string(index=False))

# Indices whose coefficient came out negative: they pull against the rest
# of their dimension, usually because their direction is wrong.
print("\nAbnormal indices:", model.abnormal_index)

# One row per state: the composite, its rank (1 = best), each dimension's
# value and the count of missing indicators. The composite's scale has no
# meaning of its own: scale="0-100" adds it as a "score" from 0 (the lowest
# state) to 100 (the highest), and says so in table.attrs["scale"].
table = indexfuse_tools.results(model, data, scale="0-100")
ranked = table.sort_values("rank").round(2)
print("\nHighest and lowest wellbeing:")
print(table.attrs["scale"])
print(ranked.head(5).to_string())
print("...")
print(ranked.tail(5).to_string())
