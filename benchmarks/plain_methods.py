"""Three of the model's methods in plain Python, for the call-overhead comparison.

Written from the documented behaviour as a user would write it: the same
type tests, the same dispatch and recursion through ``self``, the same calls
on the module globals ``pandas``, ``numpy`` and ``entropy`` (looked up at
each use, so a benchmark can rebind them exactly as it rebinds the
extension's globals).
"""

from __future__ import annotations

import numpy
import pandas
from tessel.modelbench import entropy

RECORD_KEYS = {"coef", "max", "min", "mean", "std"}


def _direction(key):
    return key[1] if isinstance(key, (tuple, list)) and len(key) == 2 else 1


class PlainMethods:
    """``compute_dim_weight``, ``compute_score`` and ``is_index_coef``.

    Needs the attributes ``k`` and ``min_ent``, as a fitted model has them.
    """

    def __init__(self, k=10, min_ent=0.0):
        self.k = k
        self.min_ent = min_ent

    def compute_dim_weight(self, dim_value):
        if isinstance(dim_value, dict):
            dim_iv = {}
            for key, val in dim_value.items():
                if isinstance(val, dict):
                    weight, iv = self.compute_dim_weight(val)
                    parts = [val[k] * v * _direction(k) for k, v in iv.items()]
                    v = pandas.concat(parts, axis=1).sum(axis=1) / sum(iv.values())
                    ent = entropy.multivar_knn(v.values, k=self.k)
                    dim_iv[key] = ent - self.min_ent
                elif isinstance(val, (pandas.DataFrame, pandas.Series, numpy.ndarray)):
                    if isinstance(val, pandas.Series):
                        val = val.values
                    ent = entropy.multivar_knn(val, k=self.k)
                    dim_iv[key] = ent - self.min_ent
            if not dim_iv:
                return dim_value, dim_value
            total = sum(dim_iv.values())
            dim_weight = {
                key: dim_iv[key] / total if key in dim_iv else None for key in dim_value
            }
            for key, val in dim_weight.items():
                if isinstance(dim_value[key], dict):
                    weight, iv = self.compute_dim_weight(dim_value[key])
                    dim_weight[key] = {k: val * v for k, v in weight.items()}
            return dim_weight, dim_iv
        if isinstance(dim_value, (tuple, list, pandas.Series, numpy.ndarray)):
            if isinstance(dim_value, pandas.Series):
                dim_value = dim_value.values
            ent = entropy.multivar_knn(dim_value, k=self.k)
            return 1, ent - self.min_ent
        return None

    def compute_score(self, dim_value, dim_weight):
        score = 0
        if isinstance(dim_weight, (float, int)):
            score += dim_value * dim_weight
        elif isinstance(dim_weight, dict):
            for key, weight in dim_weight.items():
                direct = key[1] if isinstance(key, (tuple, list)) and len(key) == 2 else 1
                score += self.compute_score(dim_value[key], weight) * direct
        return score

    def is_index_coef(self, x):
        if not isinstance(x, dict):
            return False
        checks = [
            isinstance(val, dict) and set(val.keys()).issubset(RECORD_KEYS)
            for key, val in x.items()
        ]
        return any(checks)
