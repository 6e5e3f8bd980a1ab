"""
Saving and shipping a model
===========================

The same fitted model through JSON and through pickle, scoring identically.
"""

import pickle
import tempfile
from pathlib import Path

import statsmodels.api as sm

import indexfuse
import indexfuse_tools

data = sm.datasets.statecrime.load_pandas().data
model = indexfuse.indexpca_diment(
    {"safety": [("violent", -1), ("murder", -1)], "education": ["hs_grad"]}
)
model.fit(data)
expected, _ = model.score(data)

with tempfile.TemporaryDirectory() as folder:
    # JSON: readable, reviewable, and safe to load from anyone.
    path = Path(folder) / "wellbeing-model.json"
    indexfuse_tools.dump(model, path)
    print("\n".join(path.read_text().splitlines()[:12]) + "\n  ...")
    restored = indexfuse_tools.load(path)

    # pickle: the whole object, including the fitted PCA; load trusted files only.
    (Path(folder) / "wellbeing-model.pkl").write_bytes(pickle.dumps(model))
    unpickled = pickle.loads((Path(folder) / "wellbeing-model.pkl").read_bytes())

for name, copy in [("JSON", restored), ("pickle", unpickled)]:
    scores, _ = copy.score(data)
    print(f"{name}: identical scores: {scores.equals(expected)}")
