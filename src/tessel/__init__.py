"""tessel: a small analysis toolkit for building composite indices.

Submodules
----------
process
    Column scaling (:func:`~tessel.process.scale`, :func:`~tessel.process.rescale`).
modelbench
    :class:`~tessel.modelbench.PCA` coefficients and nearest-neighbour
    entropy estimates (:func:`~tessel.modelbench.entropy.multivar_knn`).
"""

from tessel import modelbench, process

__all__ = ["modelbench", "process"]
__version__ = "0.1.0"
