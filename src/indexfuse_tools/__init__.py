"""Companions to the ``indexfuse`` model for the analyst who publishes an index.

- the published index as one object: :class:`Index` (raw data, treatment,
  model, presentation scale, editions and robustness analyses together,
  saved as one file), from which results, report and explorer are drawn so
  that they cannot disagree; every result carries a :class:`Fingerprint`;
- before fitting: :func:`check` (what the model would skip silently or fail
  on) and :func:`prepare` (availability thresholds, imputation, transforms,
  outlier treatment, with a log of every change, and a :class:`Preparation`
  that replays them on new data and is saved as JSON);
- after fitting: :func:`results` (one tidy table of composite, rank,
  dimension values and missing counts), :func:`contributions` (what each
  indicator adds to each unit's composite) and :func:`plot_ranking`;
  :func:`editions` (an index published edition after edition, scored
  against one baseline, every change attributed) and
  :func:`compare_baselines` (which baseline to publish against);
  :func:`coefficients` and :func:`weights` (flat tables of the fitted model);
  :func:`set_weights` and :func:`equal_weights` (weights set by hand);
- before publishing: :func:`audit` (coherence of each dimension, effective
  weights, links to other measures) and :func:`report` (one self-contained
  HTML page, linking to the :func:`explorer` when asked), with the figures :func:`plot_weights`,
  :func:`plot_effective_weights`, :func:`plot_distribution` and
  :func:`plot_correlations`; :func:`robustness` (how far the ranks move
  under the other defensible choices, and which choice moves them most);
  :func:`weight_uncertainty` (how uncertain the weights are, what rival
  weightings give, and what each dimension drives in fact);
- for the index's readers: :func:`explorer` (one offline HTML page to sort,
  search and re-weight every unit, and to see why each ranks where it does);
- maps: :func:`read_geometry` (the units' shapes from a file, a geopandas
  table or a bundled set: ``"world"``, ``"us-states"``, ``"us-counties"``),
  given as ``geometry=`` to :func:`report` and :func:`explorer`, and
  :func:`plot_map`;
- :func:`dump` / :func:`load` and friends: a fitted model as JSON;
- :func:`number_format`: floats as text for pandas' ``float_format``, never
  as "-0.00";
- the command line ``indexfuse`` (or ``python -m indexfuse_tools``): check,
  prepare, fit, score, report, explore and robustness from files, and build
  from one description of the whole index.

>>> import indexfuse_tools
>>> indexfuse_tools.check(schema, data)         # doctest: +SKIP
>>> text = indexfuse_tools.dumps(model)        # doctest: +SKIP
>>> same = indexfuse_tools.loads(text)          # doctest: +SKIP
>>> indexfuse_tools.results(same, data)         # doctest: +SKIP
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from indexfuse_tools._audit import FEW_DISTINCT, Audit, audit
    from indexfuse_tools._check import Problem, SchemaError, check
    from indexfuse_tools._contributions import contributions
    from indexfuse_tools._core.fingerprints import Fingerprint, UnverifiedWarning
    from indexfuse_tools._core.numbers import number_format
    from indexfuse_tools._editions import Editions, compare_baselines, editions
    from indexfuse_tools._index import INDEX_FORMAT, INDEX_VERSION, Index, IndexFileError
    from indexfuse_tools._explorer import explorer
    from indexfuse_tools._geo import BUNDLED, MAX_GEOMETRY_BYTES, Geometry, GeometryError, read_geometry
    from indexfuse_tools._persist import (
        MODEL_FORMAT,
        MODEL_VERSION,
        ModelFileError,
        dump,
        dumps,
        from_dict,
        load,
        loads,
        to_dict,
    )
    from indexfuse_tools._plots import (
        plot_change,
        plot_correlations,
        plot_distribution,
        plot_effective_weights,
        plot_map,
        plot_ranking,
        plot_trajectories,
        plot_weights,
    )
    from indexfuse_tools._preparation import (
        EXTREME_SD,
        IMPUTATIONS,
        KURTOSIS_LIMIT,
        PREPARATION_FORMAT,
        PREPARATION_VERSION,
        SKEW_LIMIT,
        TRANSFORMS,
        WINSORIZE_LIMIT,
        Preparation,
        needs_treatment,
        prepare,
    )
    from indexfuse_tools._report import report
    from indexfuse_tools._results import results
    from indexfuse_tools._robustness import FACTORS, METHODS, RobustnessResult, RobustnessWarning, robustness
    from indexfuse_tools._tables import coefficients, dimension_name, weights
    from indexfuse_tools._weighting import WIDE_INTERVAL, WeightUncertainty, weight_uncertainty
    from indexfuse_tools._weights import equal_weights, set_weights

# Each public name is loaded from its module when first used, so that
# importing the package (and starting the command line) loads none of the
# analysis. To add a name: one line here, the same import in the block above
# (for type checkers), and the name in __all__.
_SOURCES = {
    "FEW_DISTINCT": "_audit",
    "Audit": "_audit",
    "audit": "_audit",
    "Problem": "_check",
    "SchemaError": "_check",
    "check": "_check",
    "contributions": "_contributions",
    "Fingerprint": "_core.fingerprints",
    "UnverifiedWarning": "_core.fingerprints",
    "number_format": "_core.numbers",
    "Editions": "_editions",
    "compare_baselines": "_editions",
    "editions": "_editions",
    "INDEX_FORMAT": "_index",
    "INDEX_VERSION": "_index",
    "Index": "_index",
    "IndexFileError": "_index",
    "explorer": "_explorer",
    "BUNDLED": "_geo",
    "MAX_GEOMETRY_BYTES": "_geo",
    "Geometry": "_geo",
    "GeometryError": "_geo",
    "read_geometry": "_geo",
    "MODEL_FORMAT": "_persist",
    "MODEL_VERSION": "_persist",
    "ModelFileError": "_persist",
    "dump": "_persist",
    "dumps": "_persist",
    "from_dict": "_persist",
    "load": "_persist",
    "loads": "_persist",
    "to_dict": "_persist",
    "plot_change": "_plots",
    "plot_correlations": "_plots",
    "plot_distribution": "_plots",
    "plot_effective_weights": "_plots",
    "plot_map": "_plots",
    "plot_ranking": "_plots",
    "plot_trajectories": "_plots",
    "plot_weights": "_plots",
    "EXTREME_SD": "_preparation",
    "IMPUTATIONS": "_preparation",
    "KURTOSIS_LIMIT": "_preparation",
    "PREPARATION_FORMAT": "_preparation",
    "PREPARATION_VERSION": "_preparation",
    "SKEW_LIMIT": "_preparation",
    "TRANSFORMS": "_preparation",
    "WINSORIZE_LIMIT": "_preparation",
    "Preparation": "_preparation",
    "needs_treatment": "_preparation",
    "prepare": "_preparation",
    "report": "_report",
    "results": "_results",
    "FACTORS": "_robustness",
    "METHODS": "_robustness",
    "RobustnessResult": "_robustness",
    "RobustnessWarning": "_robustness",
    "robustness": "_robustness",
    "coefficients": "_tables",
    "dimension_name": "_tables",
    "weights": "_tables",
    "equal_weights": "_weights",
    "set_weights": "_weights",
    "WIDE_INTERVAL": "_weighting",
    "WeightUncertainty": "_weighting",
    "weight_uncertainty": "_weighting",
}

__all__ = [
    "BUNDLED",
    "EXTREME_SD",
    "FACTORS",
    "FEW_DISTINCT",
    "IMPUTATIONS",
    "INDEX_FORMAT",
    "INDEX_VERSION",
    "KURTOSIS_LIMIT",
    "MAX_GEOMETRY_BYTES",
    "METHODS",
    "MODEL_FORMAT",
    "MODEL_VERSION",
    "PREPARATION_FORMAT",
    "PREPARATION_VERSION",
    "SKEW_LIMIT",
    "TRANSFORMS",
    "WIDE_INTERVAL",
    "WINSORIZE_LIMIT",
    "Audit",
    "Editions",
    "Fingerprint",
    "Geometry",
    "GeometryError",
    "Index",
    "IndexFileError",
    "ModelFileError",
    "Preparation",
    "Problem",
    "RobustnessResult",
    "RobustnessWarning",
    "SchemaError",
    "UnverifiedWarning",
    "WeightUncertainty",
    "audit",
    "check",
    "coefficients",
    "compare_baselines",
    "contributions",
    "dimension_name",
    "dump",
    "dumps",
    "editions",
    "equal_weights",
    "explorer",
    "from_dict",
    "load",
    "loads",
    "needs_treatment",
    "number_format",
    "plot_change",
    "plot_correlations",
    "plot_distribution",
    "plot_effective_weights",
    "plot_map",
    "plot_ranking",
    "plot_trajectories",
    "plot_weights",
    "prepare",
    "read_geometry",
    "report",
    "results",
    "robustness",
    "set_weights",
    "to_dict",
    "weight_uncertainty",
    "weights",
]


def __getattr__(name: str) -> Any:
    if name in _SOURCES:
        value = getattr(importlib.import_module(f"{__name__}.{_SOURCES[name]}"), name)
    elif name == "__version__":
        # importlib.metadata is slow to import, and only this one name needs it.
        from importlib.metadata import PackageNotFoundError, version

        try:
            value = version("indexfuse")
        except PackageNotFoundError:  # imported from a source tree that was never installed
            value = "0+unknown"
    else:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals()[name] = value  # found once; later reads are plain attribute reads
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *__all__, "__version__"})
