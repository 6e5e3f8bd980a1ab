"""A synthetic table shaped like a small-area deprivation index.

17 indicators in 4 dimensions, one row per small area. Deprivation indices
are built from rates and counts: right-skewed (a long tail of the most
deprived areas), correlated within a domain and, more weakly, across domains
(deprivation comes in bundles). So every column here is a transform of a
normal mixture: one general factor shared by all, one factor per domain, and
noise of its own; rates pass through a logistic, counts and ratios through an
exponential. Four indicators measure the good side (qualifications, access
to green space, ...) and enter with the direction -1.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

SEED = 20250117
#: The unit counts of the scale benchmark: an English deprivation index
#: (small areas), US census tracts and US block groups.
SCALE_SIZES = (33_000, 85_000, 242_335)

# domain: (indicator, direction, kind, loading on the domain, noise); kinds: a
# rate in [0, 1] (logistic), a count per 1,000 or a ratio (exponential).
_DOMAINS: dict[str, list[tuple[str, int, str, float, float]]] = {
    "income": [
        ("income_support", 1, "rate", 1.0, 0.35),
        ("child_poverty", 1, "rate", 0.9, 0.45),
        ("old_age_poverty", 1, "rate", 0.7, 0.6),
        ("unemployment", 1, "rate", 0.8, 0.5),
        ("median_income", -1, "ratio", 0.9, 0.4),
    ],
    "health": [
        ("premature_deaths", 1, "count", 0.8, 0.5),
        ("disability", 1, "rate", 0.9, 0.4),
        ("hospital_admissions", 1, "count", 0.7, 0.55),
        ("mood_disorders", 1, "rate", 0.6, 0.7),
    ],
    "education": [
        ("no_qualifications", 1, "rate", 0.9, 0.4),
        ("degree_holders", -1, "rate", 0.85, 0.45),
        ("school_absence", 1, "rate", 0.6, 0.65),
        ("not_in_education", 1, "rate", 0.7, 0.55),
    ],
    "living": [
        ("overcrowding", 1, "rate", 0.8, 0.5),
        ("no_central_heating", 1, "rate", 0.5, 0.8),
        ("air_pollution", 1, "ratio", 0.4, 0.6),
        ("green_space_access", -1, "ratio", 0.5, 0.7),
    ],
}
_GENERAL = 0.6  # the weight of the shared factor in each domain's factor


def scale_schema() -> dict[str, list[object]]:
    """The 4 dimensions and their 17 indicators (direction -1 for the good side)."""
    return {
        domain: [name if direction == 1 else (name, -1) for name, direction, *_ in indicators]
        for domain, indicators in _DOMAINS.items()
    }


def scale_frame(units: int, seed: int = SEED) -> pd.DataFrame:
    """``units`` small areas (index ``area``), 17 float64 columns, skewed and correlated."""
    rng = np.random.default_rng(seed)
    general = rng.standard_normal(units)
    columns: dict[str, np.ndarray] = {}
    for domain in _DOMAINS.values():
        factor = _GENERAL * general + np.sqrt(1 - _GENERAL**2) * rng.standard_normal(units)
        for name, direction, kind, loading, noise in domain:
            latent = direction * loading * factor + noise * rng.standard_normal(units)
            if kind == "rate":
                columns[name] = 1.0 / (1.0 + np.exp(-(latent - 1.8)))
            elif kind == "count":
                columns[name] = np.round(40.0 * np.exp(0.6 * latent), 1)
            else:
                columns[name] = np.exp(0.5 * latent)
    index = pd.Index([f"A{i:07d}" for i in range(units)], name="area")
    return pd.DataFrame(columns, index=index)
