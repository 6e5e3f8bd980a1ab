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
    """A composite-index model: a schema of dimensions, fitted on one table.

    Columns are weighted within each dimension by principal components, and
    dimensions against each other by a nearest-neighbour entropy estimate of
    their values. ``fit`` learns both from one table; ``score`` turns any
    table with the same columns into a composite score per row.

    Parameters
    ----------
    schema : dict, list or tuple
        A mapping of dimension keys to lists of index entries, to mappings
        of sub-dimensions (one level) or to None; or one list of entries (a
        single dimension). An entry is a column label or a pair
        ``(label, direction)``; a key may be a pair ``(name, direction)``.
        Entries that name no column are skipped silently:
        ``indexfuse_tools.check(schema, data)`` finds them.
    scale_method : {"max_min", "z_score"}, default "max_min"
        How each column is scaled with the statistics of the fit.
    pca_cumulative : float, default 1
        Share of explained variance, in (0, 1], the components must reach.
    ent_k : int, default 10
        Neighbour count of the entropy estimates (stored as ``k``).

    Raises
    ------
    ValueError
        From the toolkit, for an unknown ``scale_method`` or a
        ``pca_cumulative`` outside (0, 1].
    """

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
    ) -> None:
        """Store the configuration and build the principal-component object.

        Nothing is validated here beyond what the toolkit's ``PCA`` checks;
        the schema is kept as given (the same object, not a copy).
        """
    def fit(self, data: pandas.DataFrame) -> None:
        """Learn coefficients and dimension weights from ``data``.

        Caps ``k`` at ``len(data) - 1``, stores the baseline ``min_ent``,
        the coefficient tree ``index_coef`` and the weights ``dim_weight``.
        If a step fails, those four attributes are put back as they were.
        That is all "atomic" means here: the model takes no lock, so it must
        not be fitted while another thread scores or fits it (fit a new
        model and swap the reference instead).

        Parameters
        ----------
        data : pandas.DataFrame
            One numeric column per index (other columns are ignored).

        Returns
        -------
        None

        Raises
        ------
        ValueError
            From the toolkit, for fewer than 2 rows or a used column that
            is not numeric or holds missing or infinite values.
        TypeError
            For nesting deeper than one level, a nested dimension none of
            whose sub-dimensions names a column, or a single-list schema
            none of whose entries names one.
        ZeroDivisionError
            When no dimension carries any information.
        IndexError
            For an empty index entry.
        """
    # The composite score is a Series for a fitted model with at least one
    # weighted dimension (the integer 0 when no dimension carries a weight).
    def score(
        self, data: pandas.DataFrame, scale: _Range | None = None
    ) -> tuple[pandas.Series[float], _DimValues]:
        """Score ``data`` with the fitted coefficients and weights.

        Safe to call from several threads at once, but not while another
        thread fits the same model: the scores would mix the two fits.

        Parameters
        ----------
        data : pandas.DataFrame
            Any table with the columns the model was fitted on.
        scale : (low, high), optional
            Rescale every dimension value onto this range before combining
            them (the composite itself is not rescaled).

        Returns
        -------
        composite : pandas.Series
            The weighted sum of the dimension values, with the directions
            of the dimension keys applied, one value per row.
        dim_values : dict or pandas.Series
            Each dimension's value per row, shaped like the schema. A
            missing indicator counts as the bottom of its scale; a row
            whose indicators of a dimension are all missing gets NaN.

        Raises
        ------
        AttributeError
            Before the first ``fit``.
        KeyError
            If ``data`` lacks a column the model uses.
        """
    def compute_index_coef(self, data: pandas.DataFrame, schema: Any) -> _CoefTree | None:
        """The coefficient tree of ``schema`` on ``data``.

        Returns a coefficient table ``{index key: {"coef", "max", "min",
        "mean", "std"}}`` for a list of entries, a dict of the same shape as
        the schema for a mapping, and None for a list that names no column
        or a node of another type. Fits ``self.pca`` once per list and
        appends abnormal coefficients to ``abnormal_index``.

        Raises
        ------
        ValueError, IndexError, TypeError
            As ``fit`` does for its columns and entries.
        """
    def compute_dim_value(
        self, data: pandas.DataFrame, index_coef: Any, scale: _Range | None = None
    ) -> _DimValues | None:
        """The dimension values of ``data`` for a coefficient table or tree.

        Returns a Series for a coefficient table (each column times its
        direction, scaled with the stored statistics, times its
        coefficient, summed per row), a dict of the same shape for a tree,
        and None for anything else. ``scale`` as in ``score``.

        Raises
        ------
        KeyError
            If ``data`` lacks a column or a record lacks a statistic.
        """
    def compute_dim_weight(self, dim_value: Any) -> tuple[_DimWeights, Any] | None:
        """The pair (weights, information) of dimension values.

        Each dimension's information is its entropy estimate minus
        ``min_ent``; its weight is its share of the total. A nested
        dimension's weight is spread over its sub-dimensions. For a single
        Series, list, tuple or array the weight is the integer 1; for a dict
        in which no dimension has a value, the argument is returned twice;
        for anything else, None.

        Raises
        ------
        AttributeError
            On a model that was never fitted (no ``min_ent``).
        """
    def compute_score(self, dim_value: Any, dim_weight: Any) -> Any:
        """The composite: dimension values times weights, directions applied.

        A weight counts only when it is a ``float`` or an ``int``; None
        contributes nothing. Returns the integer 0 when nothing contributes.

        Raises
        ------
        KeyError
            If a weight's key is missing from the dimension values.
        """
    def is_index_coef(self, x: object) -> bool:
        """Whether ``x`` is a coefficient table.

        True when ``x`` is a dict holding at least one dict whose keys are
        all among "coef", "max", "min", "mean" and "std".
        """
