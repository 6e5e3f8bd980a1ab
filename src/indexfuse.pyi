"""Composite indices from indicator columns.

The class :class:`indexpca_diment` fits principal-component coefficients
within dimensions and nearest-neighbour entropy weights across them, and
scores any table with the same columns.
"""

from collections.abc import Sequence
from typing import Any, TypeAlias

import numpy as numpy
import pandas as pandas
from tessel import process as process
from tessel.modelbench import PCA as PCA
from tessel.modelbench import entropy as entropy

# A schema: a dict of dimension keys to nested schemas (or None), or a list or
# tuple of index entries; an index entry is a column label or a
# (label, direction) pair. Dimension keys may also be (name, direction) pairs.
_Schema: TypeAlias = dict[Any, Any] | list[Any] | tuple[Any, ...]
# A coefficient record: {"coef", "max", "min", "mean", "std"} -> number.
_Record: TypeAlias = dict[str, float]
# A coefficient tree: dimension key -> tree, coefficient table or None; a
# coefficient table maps index keys (labels or (label, direction)) to records.
_CoefTree: TypeAlias = dict[Any, Any]
# Dimension values: dimension key -> Series (one value per row), nested dict
# or None; a single Series for a schema that is one list of indices.
_DimValues: TypeAlias = dict[Any, Any] | pandas.Series[float]
# Dimension weights: dimension key -> share, nested dict of shares or None;
# the integer 1 for a schema that is one list of indices.
_DimWeights: TypeAlias = dict[Any, Any] | float
# Target range of process.rescale: a (low, high) pair such as (0, 100).
_Range: TypeAlias = Sequence[float]

__test__: dict[str, Any]

class indexpca_diment:
    """A composite-index model: a schema of dimensions, fitted on one table."""

    schema: Any
    k: int
    scale_method: str
    pca: PCA
    abnormal_index: list[dict[Any, float]]
    # Set by fit:
    min_ent: float
    index_coef: _CoefTree
    dim_weight: _DimWeights

    def __init__(
        self,
        schema: _Schema,
        scale_method: str = "max_min",
        pca_cumulative: float = 1,
        ent_k: int = 10,
    ) -> None: ...
    def fit(self, data: pandas.DataFrame) -> None: ...
    # The composite score is a Series for a fitted model with at least one
    # weighted dimension (the integer 0 when no dimension carries a weight).
    def score(
        self, data: pandas.DataFrame, scale: _Range | None = None
    ) -> tuple[pandas.Series[float], _DimValues]: ...
    def compute_index_coef(self, data: pandas.DataFrame, schema: Any) -> _CoefTree | None: ...
    def compute_dim_value(
        self, data: pandas.DataFrame, index_coef: Any, scale: _Range | None = None
    ) -> _DimValues | None: ...
    def compute_dim_weight(self, dim_value: Any) -> tuple[_DimWeights, Any] | None: ...
    def compute_score(self, dim_value: Any, dim_weight: Any) -> Any: ...
    def is_index_coef(self, x: object) -> bool: ...
