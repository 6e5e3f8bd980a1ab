"""The published index as one object: :class:`Index`, its file, and every output drawn from it.

- :mod:`~indexfuse_tools._index.index`: :class:`Index`, built from a raw
  table (with or without editions), which gives the results, the robustness
  analysis, the audit, the report and the explorer of the one index it is;
- :mod:`~indexfuse_tools._index.file`: the index as one file, read without
  trusting it.
"""

from indexfuse_tools._index.file import INDEX_FORMAT, INDEX_VERSION, IndexFileError
from indexfuse_tools._index.index import BUILD_BASELINES, Index

__all__ = ["BUILD_BASELINES", "INDEX_FORMAT", "INDEX_VERSION", "Index", "IndexFileError"]
