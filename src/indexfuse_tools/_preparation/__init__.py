"""Data treatment a reviewer can audit and replay.

- :mod:`~indexfuse_tools._preparation.learn`: :func:`prepare` learns the
  rules from a table (thresholds, fills, transforms, caps) and the outlier
  rule :func:`needs_treatment`;
- :mod:`~indexfuse_tools._preparation.rules`: :class:`Preparation` holds
  them and replays them on any table with the same columns;
- :mod:`~indexfuse_tools._preparation.panel`: a unit's gaps filled from its
  own periods, in a long table;
- :mod:`~indexfuse_tools._preparation.document`: a preparation as safe JSON,
  alone or inside a model file.
"""

from indexfuse_tools._preparation.document import PREPARATION_FORMAT, PREPARATION_VERSION
from indexfuse_tools._preparation.learn import (
    EXTREME_SD,
    KURTOSIS_LIMIT,
    SKEW_LIMIT,
    WINSORIZE_LIMIT,
    needs_treatment,
    prepare,
)
from indexfuse_tools._preparation.panel import OVER_TIME
from indexfuse_tools._preparation.rules import IMPUTATIONS, LOG_COLUMNS, PREPARED_MARK, STATISTICS, TRANSFORMS, Preparation

__all__ = [
    "EXTREME_SD",
    "IMPUTATIONS",
    "KURTOSIS_LIMIT",
    "LOG_COLUMNS",
    "OVER_TIME",
    "PREPARATION_FORMAT",
    "PREPARATION_VERSION",
    "PREPARED_MARK",
    "SKEW_LIMIT",
    "STATISTICS",
    "TRANSFORMS",
    "WINSORIZE_LIMIT",
    "Preparation",
    "needs_treatment",
    "prepare",
]
