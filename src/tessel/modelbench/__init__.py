"""Model-building blocks: principal-component weights and entropy estimates.

>>> from tessel.modelbench import entropy, PCA
"""

from tessel.modelbench import entropy
from tessel.modelbench._pca import PCA, NotFittedError

__all__ = ["PCA", "NotFittedError", "entropy"]
