"""Companions to the ``indexfuse`` model: storing a fitted model as JSON,
flat tables of its coefficients and weights, and the robustness of its ranking.

>>> import indexfuse_tools
>>> text = indexfuse_tools.dumps(model)        # doctest: +SKIP
>>> same = indexfuse_tools.loads(text)          # doctest: +SKIP
>>> indexfuse_tools.weights(same)               # doctest: +SKIP
"""

from indexfuse_tools._persist import (
    FORMAT,
    VERSION,
    ModelFileError,
    dump,
    dumps,
    from_dict,
    load,
    loads,
    to_dict,
)
from indexfuse_tools._robustness import FACTORS, METHODS, RobustnessWarning, robustness
from indexfuse_tools._robustness_result import RobustnessResult
from indexfuse_tools._tables import coefficients, dimension_name, weights

__all__ = [
    "FACTORS",
    "FORMAT",
    "METHODS",
    "VERSION",
    "ModelFileError",
    "RobustnessResult",
    "RobustnessWarning",
    "coefficients",
    "dimension_name",
    "dump",
    "dumps",
    "from_dict",
    "load",
    "loads",
    "robustness",
    "to_dict",
    "weights",
]
__version__ = "0.1.0"
