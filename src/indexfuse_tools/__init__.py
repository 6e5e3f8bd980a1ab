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
  fit, score, report, explore and robustness from files.

>>> import indexfuse_tools
>>> indexfuse_tools.check(schema, data)         # doctest: +SKIP
>>> text = indexfuse_tools.dumps(model)        # doctest: +SKIP
>>> same = indexfuse_tools.loads(text)          # doctest: +SKIP
>>> indexfuse_tools.results(same, data)         # doctest: +SKIP
"""

from importlib.metadata import PackageNotFoundError, version

from indexfuse_tools._audit import FEW_DISTINCT, Audit, audit
from indexfuse_tools._check import Problem, SchemaError, check
from indexfuse_tools._contributions import contributions
from indexfuse_tools._core.numbers import number_format
from indexfuse_tools._core import Fingerprint, UnverifiedWarning
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
from indexfuse_tools._weights import equal_weights, set_weights

__all__ = [
    "BUNDLED",
    "FACTORS",
    "FEW_DISTINCT",
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
    "audit",
    "check",
    "contributions",
    "coefficients",
    "compare_baselines",
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
    "weights",
]

try:
    __version__ = version("indexfuse")
except PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"
