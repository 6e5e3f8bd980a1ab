"""Weights a reviewer can defend: their uncertainty, their rivals, what each dimension drives.

``api`` holds :func:`weight_uncertainty`; ``resample`` refits the model on
bootstrap resamples of the units, in whatever worker draws them;
``importance`` estimates the correlation ratios; ``rivals`` builds the
index under equal and principal-component weights; ``tables`` and
``result`` are what the review found.
"""

from indexfuse_tools._weighting.api import weight_uncertainty
from indexfuse_tools._weighting.importance import MAX_BINS
from indexfuse_tools._weighting.result import WIDE_INTERVAL, WeightUncertainty
from indexfuse_tools._weighting.tables import Equality

__all__ = ["MAX_BINS", "WIDE_INTERVAL", "Equality", "WeightUncertainty", "weight_uncertainty"]
