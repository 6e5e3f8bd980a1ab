import statsmodels.api as sm

import indexfuse
import indexfuse_tools

# Fertility rates (births per woman) of 219 countries and regions from the
# World Bank, one column per year; small states have gaps.
data = sm.datasets.fertility.load_pandas().data.set_index("Country Name")
schema = {
    "1980s": ["1980", "1985", "1989"],
    "1990s": ["1990", "1995", "1999"],
    "2000s": ["2001", "2006", "2011"],
}

problems = indexfuse_tools.check(schema, data)
print(f"{len(problems)} problems before preparing, the first:")
print(problems[0])

# Score only the rows with at least 2 of the 3 years of every decade, fill
# the remaining gaps with the year's median, and treat outliers.
prepared, log, preparation = indexfuse_tools.prepare(
    schema, data, impute="median", min_present=2 / 3, winsorize=True
)
print(f"\n{len(data) - len(prepared)} rows dropped, for example:")
print(log[log["step"] == "drop"].head(3).to_string(index=False))
print("\nValues imputed:")
print(log[log["step"] == "impute"].to_string(index=False))
print("\nProblems after preparing:", indexfuse_tools.check(schema, prepared))

model = indexfuse.indexpca_diment(schema)
model.fit(prepared)
table = indexfuse_tools.results(model, prepared)
print("\nHighest fertility over the three decades:")
print(table.sort_values("rank").head(3).round(3).to_string())
