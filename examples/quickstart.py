import statsmodels.api as sm

import indexfuse
import indexfuse_tools
from tessel import process

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

model = indexfuse.indexpca_diment(schema)
model.fit(data)

print("Dimension weights:")
print(indexfuse_tools.weights(model).round(3).to_string())

print("\nCoefficients within each dimension:")
print(indexfuse_tools.coefficients(model).round(3).to_string(index=False))

# Indices whose coefficient came out negative: they pull against the rest
# of their dimension, usually because their direction is wrong.
print("\nAbnormal indices:", model.abnormal_index)

composite, dim_values = model.score(data)
# score(data, scale=...) would rescale each dimension value, not the
# composite; the composite goes onto 0..100 here.
wellbeing = process.rescale(composite, range=(0, 100)).rename("wellbeing")
ranked = wellbeing.sort_values(ascending=False).round(1)
print("\nHighest and lowest wellbeing (0..100):")
print(ranked.head(5).to_string())
print("...")
print(ranked.tail(5).to_string())
