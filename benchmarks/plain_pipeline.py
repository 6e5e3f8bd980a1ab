"""The same composite-index method written by hand with pandas, scikit-learn and scipy.

This is what a user would write without indexfuse: pandas for the scaling
and the row sums, scikit-learn's ``PCA`` for the components, and a
``scipy.spatial.cKDTree`` under the maximum norm for the k-th neighbour
distances of the entropy estimate. The formulas are the library's:

* coefficients: the components ``v_j`` of the max-min scaled columns,
  combined as ``sum_j lambda_j**2 v_j (v_j . 1)`` (squared eigenvalue times
  projection on the all-ones direction) and normalised so that the absolute
  coefficients add up to 1;
* dimension value: the row sum of the scaled columns times their
  coefficients (a row with nothing to add stays missing);
* entropy: ``psi(n) - psi(k) + log 2 + mean(log r_i)`` with the k-th
  neighbour distance ``r_i``, except that values are read to the nearest
  multiple of the toolkit's default resolution and a point whose value is
  shared by ``c > k`` points counts with ``psi(k) - psi(c) + log(resolution
  / 2)``;
* weights: entropy above that of a constant column, as shares; a nested
  dimension is estimated on the information-weighted, direction-signed
  average of its sub-dimensions and its share is spread over them.

Written as a user would: the sub-dimensions are estimated once, the k-d
tree is queried only for points outside tie groups, and the constant
column's estimate is taken in closed form (``log(resolution)``).
"""

from __future__ import annotations

import math

import numpy as np
import pandas as pd
from scipy.spatial import cKDTree
from scipy.special import digamma
from sklearn.decomposition import PCA
from tessel.modelbench.entropy import DEFAULT_RESOLUTION

def direction_of(key) -> float:
    return key[1] if isinstance(key, (tuple, list)) and len(key) == 2 else 1


def label_of(key):
    return key[0] if isinstance(key, (tuple, list)) else key


def knn_entropy(values: np.ndarray, k: int) -> float:
    """Nearest-neighbour entropy of a 1-D sample under the maximum norm, read at the resolution."""
    x = np.asarray(values, dtype=float)
    n = len(x)
    _, where, counts = np.unique(np.rint(x / DEFAULT_RESOLUTION), return_inverse=True,
                                 return_counts=True)
    group = counts[where]
    tied = group > k
    log_r = digamma(k) - digamma(group) + math.log(DEFAULT_RESOLUTION / 2)
    if not tied.all():
        dist, _ = cKDTree(x[:, None]).query(x[~tied, None], k=k + 1, p=np.inf)
        log_r[~tied] = np.log(dist[:, k])
    return float(digamma(n) - digamma(k) + math.log(2) + log_r.sum() / n)


def constant_entropy(n: int, k: int) -> float:  # noqa: ARG001
    """The same estimate for a constant column: one tie group of n points."""
    return math.log(DEFAULT_RESOLUTION)


def group_coefficients(frame: pd.DataFrame) -> dict[str, list[float]]:
    """Statistics and coefficients of one group of already signed columns."""
    low, high = frame.min(), frame.max()
    scaled = (frame - low) / (high - low)
    pca = PCA().fit(scaled)
    vectors = pca.components_
    coef = vectors.T @ (pca.explained_variance_**2 * vectors.sum(axis=1))
    coef /= np.abs(coef).sum()
    return {
        "coef": coef.tolist(),
        "max": high.tolist(),
        "min": low.tolist(),
        "mean": frame.mean().tolist(),
        "std": frame.std().tolist(),
    }


class PlainCompositeIndex:
    """Fit on one table, score any table: the hand-written pipeline."""

    def __init__(self, schema: dict, k: int = 10) -> None:
        self.schema = schema
        self.k = k

    # -- fit ------------------------------------------------------------
    def fit(self, data: pd.DataFrame) -> None:
        self.k = min(self.k, len(data) - 1)
        self.min_ent = constant_entropy(len(data), self.k)
        self.index_coef = self._coefficients(data, self.schema)
        values = self._values(data, self.index_coef)
        self.dim_weight, _ = self._weights(values)

    def _coefficients(self, data: pd.DataFrame, node):
        if isinstance(node, dict):
            return {key: self._coefficients(data, child) for key, child in node.items()}
        keys = [tuple(e) if isinstance(e, (tuple, list)) else e for e in node]
        frame = data[[label_of(key) for key in keys]] * [direction_of(key) for key in keys]
        stats = group_coefficients(frame)
        return {key: {name: stats[name][i] for name in stats} for i, key in enumerate(keys)}

    def _information(self, values) -> float:
        return knn_entropy(np.asarray(values), self.k) - self.min_ent

    def _weights(self, values: dict):
        info = {}
        sub_weights = {}
        for key, value in values.items():
            if isinstance(value, dict):
                weights, sub_info = self._weights(value)
                total = sum(sub_info.values())
                composite = pd.concat(
                    [value[s] * i * direction_of(s) for s, i in sub_info.items()], axis=1
                ).sum(axis=1) / total
                info[key] = self._information(composite)
                sub_weights[key] = weights
            else:
                info[key] = self._information(value)
        total = sum(info.values())
        shares = {}
        for key, iv in info.items():
            share = iv / total
            if key in sub_weights:
                shares[key] = {s: share * w for s, w in sub_weights[key].items()}
            else:
                shares[key] = share
        return shares, info

    # -- score ----------------------------------------------------------
    def _values(self, data: pd.DataFrame, coefficients: dict):
        out = {}
        for key, table in coefficients.items():
            first = next(iter(table.values()))
            if isinstance(first, dict) and "coef" in first:
                parts = []
                for index, rec in table.items():
                    column = data[label_of(index)] * direction_of(index)
                    scaled = (column - rec["min"]) / (rec["max"] - rec["min"])
                    parts.append(scaled * rec["coef"])
                out[key] = pd.concat(parts, axis=1).sum(axis=1, min_count=1)
            else:
                out[key] = self._values(data, table)
        return out

    def _combine(self, values: dict, weights: dict):
        total = 0
        for key, weight in weights.items():
            if isinstance(weight, dict):
                part = self._combine(values[key], weight)
            else:
                part = values[key] * weight
            total = total + part * direction_of(key)
        return total

    def score(self, data: pd.DataFrame):
        values = self._values(data, self.index_coef)
        return self._combine(values, self.dim_weight), values
