"""The robustness analysis: how far the ranking moves under other defensible choices.

``api`` holds :func:`robustness`; ``factors`` defines each factor once;
``design`` draws the runs and computes the Sobol indices; ``engine`` builds
them and ``workers`` decides where; ``result`` is what the analysis found
and its figures; ``saved`` is its file, which ``archive`` reads without
trusting it.
"""

from indexfuse_tools._robustness.archive import Archive, FileProblem
from indexfuse_tools._robustness.api import METHODS, RobustnessWarning, analyse, robustness
from indexfuse_tools._robustness.factors import COMBINATION, FACTOR_LABELS, FACTORS
from indexfuse_tools._robustness.result import ROBUSTNESS_FORMAT, ROBUSTNESS_VERSION, RobustnessResult

__all__ = [
    "Archive",
    "COMBINATION",
    "FileProblem",
    "FACTORS",
    "FACTOR_LABELS",
    "METHODS",
    "ROBUSTNESS_FORMAT",
    "ROBUSTNESS_VERSION",
    "RobustnessResult",
    "RobustnessWarning",
    "analyse",
    "robustness",
]
