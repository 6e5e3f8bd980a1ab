"""A composite index of regional well-being on generated data.

Twelve indicators of 500 regions, driven by three latent traits, are grouped
into three dimensions; the safety dimension nests two sub-dimensions and one
indicator (infant deaths) counts against its dimension. Run with
`python examples/synthetic_demo.py`.
"""

import warnings

import numpy as np
import pandas as pd

import indexfuse

# pandas 3.1 deprecates the positional axis of DataFrame.sum that the model uses.
warnings.filterwarnings("ignore", "Starting with pandas version 4.0", DeprecationWarning)


def regions(n: int = 500, seed: int = 2024) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    wealth, health, safety = rng.normal(size=(3, n))

    def noisy(trait, scale):
        return trait + scale * rng.normal(size=n)

    return pd.DataFrame(
        {
            "income": noisy(wealth, 0.4),
            "employment": noisy(wealth, 0.6),
            "housing": noisy(wealth, 0.9),
            "life_expectancy": noisy(health, 0.5),
            "infant_deaths": noisy(-health, 0.5),
            "doctors": noisy(health, 0.8),
            "theft": noisy(-safety, 0.5),
            "assault": noisy(-safety, 0.7),
            "trust": noisy(safety, 0.8),
            "police": noisy(safety, 1.0),
        },
        index=pd.Index([f"region-{i:03d}" for i in range(n)], name="region"),
    )


SCHEMA = {
    "wealth": ["income", "employment", "housing"],
    "health": ["life_expectancy", ("infant_deaths", -1), "doctors"],
    "safety": {
        ("crime", -1): ["theft", "assault"],
        "cohesion": ["trust", "police"],
    },
}


def main() -> None:
    data = regions()
    model = indexfuse.indexpca_diment(SCHEMA, ent_k=10)
    model.fit(data)

    print("Dimension weights")
    for dimension, weight in model.dim_weight.items():
        if isinstance(weight, dict):
            for sub, share in weight.items():
                print(f"  {dimension} / {sub}: {share:.3f}")
        else:
            print(f"  {dimension}: {weight:.3f}")

    print("\nCoefficients of the wealth dimension")
    print(pd.DataFrame(model.index_coef["wealth"]).T.round(3).to_string())
    print("\nAbnormal indices:", model.abnormal_index or "none")

    score, _ = model.score(data)
    ranked = score.sort_values(ascending=False)
    print("\nTop regions\n" + ranked.head(5).round(4).to_string())
    print("\nBottom regions\n" + ranked.tail(5).round(4).to_string())


if __name__ == "__main__":
    main()
