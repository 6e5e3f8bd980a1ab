"""
Checking directions
===================

A draft whose coefficient comes out negative, and the same dimension with
the direction fixed.
"""

import statsmodels.api as sm

import indexfuse
import indexfuse_tools

data = sm.datasets.statecrime.load_pandas().data

# A first draft of a hardship dimension forgets that a high school
# graduation rate lowers hardship.
draft = indexfuse.indexpca_diment({"hardship": ["poverty", "single", "hs_grad"]})
draft.fit(data)
print("draft:", draft.abnormal_index)
print(indexfuse_tools.coefficients(draft)[["index", "direction", "coef"]].round(3).to_string(index=False))

# Entered with the direction -1, it pulls the same way as the others.
fixed = indexfuse.indexpca_diment({"hardship": ["poverty", "single", ("hs_grad", -1)]})
fixed.fit(data)
print("\nfixed:", fixed.abnormal_index)
print(indexfuse_tools.coefficients(fixed)[["index", "direction", "coef"]].round(3).to_string(index=False))
