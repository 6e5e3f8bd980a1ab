"""Companions to the ``indexfuse`` model: storing a fitted model as JSON, flat
tables of its coefficients and weights, a statistical audit, figures, an HTML
report and a command line (``indexfuse``, or ``python -m indexfuse_tools``).

>>> import indexfuse_tools
>>> text = indexfuse_tools.dumps(model)        # doctest: +SKIP
>>> same = indexfuse_tools.loads(text)          # doctest: +SKIP
>>> indexfuse_tools.weights(same)               # doctest: +SKIP
"""

from indexfuse_tools._audit import FEW_DISTINCT, Audit, audit
from indexfuse_tools._figures import plot_correlations, plot_distribution, plot_effective_weights, plot_weights
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
from indexfuse_tools._report import report
from indexfuse_tools._tables import coefficients, dimension_name, weights

__all__ = [
    "FEW_DISTINCT",
    "FORMAT",
    "VERSION",
    "Audit",
    "ModelFileError",
    "audit",
    "coefficients",
    "dimension_name",
    "dump",
    "dumps",
    "from_dict",
    "load",
    "loads",
    "plot_correlations",
    "plot_distribution",
    "plot_effective_weights",
    "plot_weights",
    "report",
    "to_dict",
    "weights",
]
__version__ = "0.1.0"
