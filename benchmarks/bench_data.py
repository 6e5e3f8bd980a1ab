"""Synthetic indicator tables for the benchmarks.

40 indices in 8 groups of 5. Seven dimensions sit at the top of the schema;
the last one nests two sub-dimensions, the second of which enters with the
direction -1. Four index entries carry the direction -1: their columns are
generated with a negative loading, so the direction turns them the right
way round and every coefficient stays positive.

Each group shares one latent factor; the indices of a group are that factor
with group-specific loadings plus independent noise of different sizes, so
the scaled covariance matrices have well separated eigenvalues.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

SEED = 20240611
GROUPS = 8
PER_GROUP = 5
SIZES = (10**4, 10**5, 10**6)

# (group, position within the group) of the entries that carry direction -1.
REVERSED = frozenset({(1, 2), (3, 0), (5, 4), (6, 1)})


def column_name(group: int, position: int) -> str:
    return f"g{group}_i{position}"


def make_schema() -> dict:
    """The schema: dims d0..d5 flat, d6 nesting d6a and (d6b, -1)."""
    leaves = []
    for g in range(GROUPS):
        entries: list = []
        for p in range(PER_GROUP):
            name = column_name(g, p)
            entries.append((name, -1) if (g, p) in REVERSED else name)
        leaves.append(entries)
    schema: dict = {f"d{g}": leaves[g] for g in range(6)}
    schema["d6"] = {"d6a": leaves[6], ("d6b", -1): leaves[7]}
    return schema


def make_frame(n: int, seed: int = SEED) -> pd.DataFrame:
    """n rows, 40 float64 columns, one per index, in group order."""
    rng = np.random.default_rng(seed)
    columns: dict[str, np.ndarray] = {}
    for g in range(GROUPS):
        factor = rng.standard_normal(n)
        for p in range(PER_GROUP):
            loading = 0.4 + 0.25 * p + 0.05 * g
            noise = 0.3 + 0.2 * ((p + g) % PER_GROUP)
            sign = -1.0 if (g, p) in REVERSED else 1.0
            values = sign * loading * factor
            values += noise * rng.standard_normal(n)
            values += 10.0 * g + p  # offsets, so min/max scaling matters
            columns[column_name(g, p)] = values
    return pd.DataFrame(columns)


def frame_bytes(frame: pd.DataFrame) -> int:
    return int(frame.memory_usage(index=True, deep=True).sum())
