"""The model's defaults, read from the model class itself so they cannot drift."""

from __future__ import annotations

import inspect
from typing import Any

import indexfuse

__all__ = ["MODEL_DEFAULTS", "DEFAULT_SCALE_METHOD", "DEFAULT_PCA_CUMULATIVE", "DEFAULT_K", "FEW_DISTINCT"]

#: The keyword arguments of ``indexfuse.indexpca_diment`` with their defaults:
#: ``scale_method``, ``pca_cumulative`` and ``ent_k``.
MODEL_DEFAULTS: dict[str, Any] = {
    name: parameter.default
    for name, parameter in inspect.signature(indexfuse.indexpca_diment).parameters.items()
    if parameter.default is not inspect.Parameter.empty
}

DEFAULT_SCALE_METHOD: str = MODEL_DEFAULTS["scale_method"]
DEFAULT_PCA_CUMULATIVE: float = MODEL_DEFAULTS["pca_cumulative"]
#: The neighbour count of the entropy estimates (``ent_k``).
DEFAULT_K: int = MODEL_DEFAULTS["ent_k"]

#: An indicator with fewer distinct values than this (but more than one) is
#: read from a handful of levels: the audit flags it (its entropy rests on
#: them) and winsorisation leaves it alone (capping would merge them).
FEW_DISTINCT = 5
