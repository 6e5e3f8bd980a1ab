"""An index published edition after edition, comparable across editions.

- :mod:`~indexfuse_tools._editions.api`: :func:`editions`, which checks the
  editions, fits the baseline and scores every edition with it;
- :mod:`~indexfuse_tools._editions.result`: the :class:`Editions` object;
- :mod:`~indexfuse_tools._editions.change`: the exact attribution of a
  unit's change between two editions;
- :mod:`~indexfuse_tools._editions.comparability`: what keeps two editions
  from being compared as they stand.
"""

from indexfuse_tools._editions.api import BASELINES, editions
from indexfuse_tools._editions.result import Editions

__all__ = ["BASELINES", "Editions", "editions"]
