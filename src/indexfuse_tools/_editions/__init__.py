"""An index published edition after edition, comparable across editions.

- :mod:`~indexfuse_tools._editions.api`: :func:`editions`, which checks the
  editions, fits the baseline and scores every edition with it;
- :mod:`~indexfuse_tools._editions.result`: the :class:`Editions` object;
- :mod:`~indexfuse_tools._editions.change`: the exact attribution of a
  unit's change between two editions;
- :mod:`~indexfuse_tools._editions.comparability`: what keeps two editions
  from being compared as they stand;
- :mod:`~indexfuse_tools._editions.baselines`: the baselines side by side,
  to choose one.
"""

from indexfuse_tools._editions.api import BASELINES, editions, split_editions
from indexfuse_tools._editions.baselines import compare_baselines
from indexfuse_tools._editions.result import Editions

__all__ = ["BASELINES", "Editions", "compare_baselines", "editions", "split_editions"]
