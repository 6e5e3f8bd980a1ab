"""The factors of a robustness analysis, each defined once.

A :class:`Factor` holds everything the analysis knows about one choice an
analyst could make differently: what it is called, its default levels, how
a level is checked and stored, and its part in the configuration. The API,
the design, the engine, the result and the report all loop over
:data:`REGISTRY` instead of naming factors.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, TypeAlias

import numpy as np
import pandas as pd

import indexfuse
from indexfuse_tools._core import GONE, MODEL_DEFAULTS, Schema, indicators, is_integer, is_real, same_label, without
from tessel import process
from tessel.modelbench import entropy

__all__ = [
    "BY_NAME",
    "DISCRETE",
    "FACTORS",
    "FACTOR_LABELS",
    "MODEL_ARGUMENTS",
    "NOISE",
    "NO_EXCLUSION",
    "TREATMENT",
    "TABLE_FACTORS",
    "ERRORS",
    "ERROR_DRAWS",
    "AGGREGATION_LEVELS",
    "COMBINATION",
    "WEIGHTING_LEVELS",
    "NOMINAL_ARGUMENTS",
    "REGISTRY",
    "Factor",
    "Ground",
    "Nominal",
    "ModelSchema",
    "Setting",
    "check_resolution",
    "check_treatment",
    "nominal_level",
    "treatment_options",
    "excluded",
    "level_names",
    "nominal_of",
    "setting_of",
]

#: The default levels of ``pca_cumulative``.
PCA_CUMULATIVE_LEVELS = (1.0, 0.9, 0.8)
#: The default levels of ``ent_k``, those below the number of rows.
ENT_K_LEVELS = (5, 10, 20)
#: The default resolution levels, as multiples of the toolkit's default.
RESOLUTION_STEPS = (0.1, 1.0, 10.0)
#: The default half-width of the weight noise: the field's usual +/-25%.
DEFAULT_WEIGHT_NOISE = 0.25
#: What the tables and figures call the ``exclude`` level that leaves nothing out.
NO_EXCLUSION = "no exclusion"
#: The levels ``imputation`` takes: ``prepare``'s ``impute``, within ``group`` for the "group" ones.
IMPUTATION_LEVELS = ("median", "mean", "group median", "group mean")
#: The levels ``transform`` takes: ``prepare``'s ``transform`` of the indicators the outlier rule flags.
TRANSFORM_LEVELS = (None, "log", "box-cox", "yeo-johnson")
#: The levels ``outliers`` takes: winsorise as the nominal preparation does (or 5 points), or not at all.
OUTLIER_LEVELS = ("winsorize", "none")
#: The factors that change the preparation of the raw table rather than the index built on it.
TREATMENT = ("imputation", "transform", "outliers")
#: The levels ``imputation`` may take besides, with a nominal preparation that names its period and unit.
OVER_TIME_LEVELS = ("carry", "interpolate", "group carry", "group interpolate")
#: The levels ``weighting`` takes: the model's entropy weights, equal weights
#: level by level, and the weights of the dimensions' first principal component.
WEIGHTING_LEVELS = ("model", "equal", "principal components")
#: The levels ``aggregation`` takes: the model's weighted sum, or the weighted
#: geometric mean of the dimension values put on 1..100.
AGGREGATION_LEVELS = ("arithmetic", "geometric")
#: The factors that change how the dimensions are weighed and combined, not the dimensions.
COMBINATION = ("weighting", "aggregation")
#: The default number of draws of the measurement errors a ``measurement_error`` factor takes.
ERROR_DRAWS = 32
#: The options of ``prepare`` a preparation may hold.
PREPARE_OPTIONS = (
    "impute", "group", "transform", "winsorize", "min_present", "min_present_total",
    "period", "unit", "max_gap", "fallback",
)  # fmt: skip
# The options that only a fill over time takes.
_OVER_TIME_OPTIONS = ("period", "unit", "max_gap", "fallback")

#: A schema as the model's constructor takes it; :func:`robustness` refuses
#: any other before it reads one.
ModelSchema: TypeAlias = dict[Any, Any] | list[Any] | tuple[Any, ...]


def excluded(level: Any) -> list[Any]:
    """The labels an ``exclude`` level leaves out: None, one label, or a list of labels."""
    if level is None:
        return []
    return list(level) if isinstance(level, list) else [level]


# ------------------------------------------------------ the configuration --


@dataclass(frozen=True)
class Nominal:
    """The configuration of the nominal index: the model arguments and the resolution."""

    scale_method: Any
    pca_cumulative: Any
    ent_k: Any
    resolution: float

    def ctor(self, **changes: Any) -> dict[str, Any]:
        """The model's constructor arguments, with ``changes`` in place of the nominal ones."""
        args = {name: getattr(self, name) for name in MODEL_ARGUMENTS}
        args.update(changes)
        return args

    def fit(self, schema: ModelSchema, data: pd.DataFrame) -> indexfuse.indexpca_diment:
        """The nominal index fitted on ``data``, at the nominal resolution."""
        model = indexfuse.indexpca_diment(schema, **self.ctor())
        with entropy.resolution(self.resolution):
            model.fit(data)
        return model


@dataclass(frozen=True)
class Setting:
    """Checked factors: the levels of every discrete factor, and the weight noise."""

    levels: dict[str, tuple[Any, ...]]  # every factor of DISCRETE; one level if not varied
    varied: tuple[str, ...]  # the factors of the analysis
    noise: float | None  # half-width of the weight noise; None if it is not a factor


@dataclass(frozen=True)
class Ground:
    """What a factor's defaults and checks are judged against."""

    schema: ModelSchema
    data: pd.DataFrame
    nominal: Nominal
    found: list[Any]  # the column labels the schema's entries select
    treatment: Mapping[str, Any] | None = None  # the nominal preparation's options, if the raw table is prepared
    errors: bool = False  # whether the values come with their standard errors

    @property
    def columns(self) -> list[Any]:
        return self.data.columns.tolist()


# -------------------------------------------------------------- a factor --


def _always(ground: Ground) -> bool:
    return True


def _unchanged(level: Any) -> Any:
    return level


def _plain_name(level: Any) -> str:
    return "none" if level is None else str(level)


def _exclusion_name(level: Any) -> str:
    # None would read as a missing value in a table; the analyst reads this level as the full index.
    return NO_EXCLUSION if level is None else " + ".join(str(label) for label in excluded(level))


@dataclass(frozen=True)
class Factor:
    """One choice an analysis varies.

    Attributes
    ----------
    name : str
        The key of the factor in ``factors`` and in every table.
    label : str
        What the report and the figures call it.
    defaults : callable
        ``defaults(ground)``: its levels when the caller gives None.
    check : callable
        ``check(level, ground)``: raises ``ValueError`` for a level the
        configuration cannot take (for the weight noise, its half-width).
    coerce : callable
        Turns a checked level into the one stored and used.
    discrete : bool
        One of a list of levels; False for the weight noise, a half-width.
    model_argument : bool
        An argument of the model's constructor.
    nominal : bool
        Has a nominal value, set through ``robustness(**model_args)`` and
        used when the factor is not varied.
    applies : callable
        ``applies(ground)``: whether the factor is among the defaults.
    name_of : callable
        ``name_of(level)``: the level as the tables and figures show it.
    """

    name: str
    label: str
    defaults: Callable[[Ground], Any]
    check: Callable[[Any, Ground], None]
    coerce: Callable[[Any], Any] = _unchanged
    discrete: bool = True
    model_argument: bool = False
    nominal: bool = False
    applies: Callable[[Ground], bool] = _always
    name_of: Callable[[Any], str] = _plain_name

    def levels(self, value: Any, ground: Ground) -> Any:
        """The checked and coerced levels of a caller's value (None: the defaults)."""
        if value is None:
            value = self.defaults(ground)
        if not self.discrete:
            self.check(value, ground)
            return self.coerce(value)
        levels = _levels(self.name, value)
        for level in levels:
            self.check(level, ground)
        return tuple(self.coerce(level) for level in levels)


def _levels(name: str, value: Any) -> tuple[Any, ...]:
    if not isinstance(value, (Sequence, np.ndarray, pd.Index)) or isinstance(value, (str, bytes)):
        raise TypeError(f"factor {name!r}: levels are a list or tuple, got {type(value).__name__} ({value!r:.60})")
    levels = tuple(value.tolist() if isinstance(value, (np.ndarray, pd.Index)) else value)
    if not levels:
        raise ValueError(f"factor {name!r}: needs at least one level")
    for i, level in enumerate(levels):
        if any(same_label(level, other) for other in levels[:i]):
            raise ValueError(f"factor {name!r}: level {level!r} appears twice")
    return levels


# ------------------------------------------------------ checks of levels --


def check_resolution(where: str, value: Any) -> None:
    """Raise ``ValueError`` unless ``value`` is a resolution the toolkit takes."""
    if not is_real(value) or not math.isfinite(value) or value <= 0:
        raise ValueError(f"{where}: a resolution is a positive finite number, got {value!r}")
    with entropy.resolution(float(value)):
        pass  # the toolkit's own check of the value


def _model_level_check(name: str) -> Callable[[Any, Ground], None]:
    def check(level: Any, ground: Ground) -> None:
        try:
            indexfuse.indexpca_diment(ground.schema, **ground.nominal.ctor(**{name: level}))
        except (TypeError, ValueError) as exc:
            raise ValueError(f"factor {name!r}: level {level!r} cannot be used: {exc}") from None

    return check


def _check_k(level: Any, ground: Ground) -> None:
    n_rows = len(ground.data)
    if not is_integer(level) or not 1 <= level <= n_rows - 1:
        raise ValueError(
            f"factor 'ent_k': level {level!r} cannot be used: the neighbour count is an integer from 1 to "
            f"len(data) - 1 = {n_rows - 1} (fit would lower a larger one to that)"
        )


def _check_resolution_level(level: Any, ground: Ground) -> None:
    check_resolution(f"factor 'resolution': level {level!r}", level)


def _check_exclusion(level: Any, ground: Ground) -> None:
    drop = excluded(level)
    if isinstance(level, list) and not drop:
        raise ValueError("factor 'exclude': the level [] leaves nothing out; None is that level")
    for label in drop:
        if not any(same_label(label, indicator) for indicator in ground.found):
            raise ValueError(
                f"factor 'exclude': level {level!r} cannot be used: {label!r} is not an indicator of the schema "
                f"that names a column of data (they are {ground.found!r:.300})"
            )
    if without(ground.schema, drop, ground.columns) is GONE:
        raise ValueError(f"factor 'exclude': level {level!r} cannot be used: it leaves no indicator")


def _reweightable(schema: Schema) -> bool:
    return isinstance(schema, dict) and len(schema) >= 2


def _reweightable_ground(ground: Ground) -> bool:
    return _reweightable(ground.schema)


def _prepared(ground: Ground) -> bool:
    return ground.treatment is not None


def _asked_for(ground: Ground) -> bool:
    # Asked for by name only: on real tables they move the ranks less than the
    # defaults do, and each doubles or triples the configurations to build.
    return False


def _one_of(name: str, allowed: tuple[Any, ...]) -> Callable[[Any, Ground], None]:
    def check(level: Any, ground: Ground) -> None:
        if not any(level is other or (isinstance(level, str) and level == other) for other in allowed):
            raise ValueError(f"factor {name!r}: level {level!r} cannot be used: the levels are {allowed!r}")

    return check


def _check_imputation(level: Any, ground: Ground) -> None:
    over_time = all((ground.treatment or {}).get(name) is not None for name in ("period", "unit"))
    _one_of("imputation", IMPUTATION_LEVELS + (OVER_TIME_LEVELS if over_time else ()))(level, ground)
    if level.startswith("group ") and (ground.treatment or {}).get("group") is None:
        raise ValueError(
            f"factor 'imputation': level {level!r} needs a group column: give it as "
            "preparation={'group': <column>, ...}"
        )


def _check_transform(level: Any, ground: Ground) -> None:
    """A kind of ``prepare``'s ``transform`` for the indicators the outlier rule flags, or a mapping of
    indicators to kinds: the transforms of a preparation given as it is."""
    if not isinstance(level, Mapping):
        _one_of("transform", TRANSFORM_LEVELS)(level, ground)
        return
    unknown = [label for label in level if not any(same_label(label, found) for found in ground.found)]
    kinds = [kind for kind in level.values() if kind is not None and kind not in TRANSFORM_LEVELS]
    if unknown or kinds or not level:
        raise ValueError(
            f"factor 'transform': level {level!r:.200} cannot be used: a mapping of the schema's indicators to "
            f"the kinds {', '.join(repr(kind) for kind in TRANSFORM_LEVELS if kind)}"
        )


def _transform_name(level: Any) -> str:
    """A transform level in words: its kind, or the kinds of a mapping and their indicators."""
    if not isinstance(level, Mapping):
        return _plain_name(level)
    by_kind: dict[str, list[str]] = {}
    for label, kind in level.items():
        by_kind.setdefault(_plain_name(kind), []).append(str(label))
    return "; ".join(f"{kind} of {', '.join(labels)}" for kind, labels in by_kind.items())


def _default_transforms(ground: Ground) -> tuple[Any, ...]:
    # A preparation given as it is transforms the indicators it names: that choice is one of the levels.
    nominal = (ground.treatment or {}).get("transform")
    return (nominal, None, "log") if isinstance(nominal, Mapping) else (None, "log")


def _check_noise(value: Any, ground: Ground) -> None:
    if not is_real(value) or not 0 <= value < 1:
        raise ValueError(
            "factor 'weight_noise': its level is the half-width w, a number with 0 <= w < 1 (each top-level "
            f"weight is multiplied by a factor drawn from [1 - w, 1 + w]), got {value!r}"
        )
    if not _reweightable(ground.schema):
        raise ValueError("factor 'weight_noise': the index needs at least two top-level dimensions to reweight")


def _with_errors(ground: Ground) -> bool:
    return ground.errors


def _check_draw(level: Any, ground: Ground) -> None:
    if not ground.errors:
        raise ValueError(
            "factor 'measurement_error': the values' errors are needed: give errors={indicator: standard-error "
            "column or relative error}"
        )
    if not is_integer(level) or level < 0:
        raise ValueError(
            f"factor 'measurement_error': a level is the number of a draw of the errors, an integer of at least 0, "
            f"got {level!r}"
        )


def _draw_name(level: Any) -> str:
    return "none" if level is None else f"draw {level}"


# ---------------------------------------------------------- default levels --


def _default_ent_k(ground: Ground) -> tuple[int, ...]:
    rows = len(ground.data)
    return tuple(k for k in ENT_K_LEVELS if k < rows) or (max(rows - 1, 1),)


def _default_resolution(ground: Ground) -> tuple[float, ...]:
    return tuple(entropy.DEFAULT_RESOLUTION * step for step in RESOLUTION_STEPS)


def _default_imputations(ground: Ground) -> tuple[str, ...]:
    grouped = (ground.treatment or {}).get("group") is not None
    return ("median", "mean", "group median") if grouped else ("median", "mean")


def _default_exclusions(ground: Ground) -> tuple[Any, ...]:
    columns = ground.columns
    return (None, *(label for label in ground.found if without(ground.schema, [label], columns) is not GONE))


# ---------------------------------------------------------- the registry --

#: Every factor, in the order the designs use them.
REGISTRY: tuple[Factor, ...] = (
    Factor(
        "scale_method", "scale method", lambda ground: tuple(process.SCALE_METHODS),
        _model_level_check("scale_method"), model_argument=True, nominal=True,
    ),
    Factor(
        "pca_cumulative", "variance the components keep", lambda ground: PCA_CUMULATIVE_LEVELS,
        _model_level_check("pca_cumulative"), model_argument=True, nominal=True,
    ),
    Factor("ent_k", "entropy neighbours (k)", _default_ent_k, _check_k, int, model_argument=True, nominal=True),
    Factor("resolution", "entropy resolution", _default_resolution, _check_resolution_level, float, nominal=True),
    Factor("exclude", "an indicator left out", _default_exclusions, _check_exclusion, name_of=_exclusion_name),
    Factor(
        "imputation", "how gaps are filled", _default_imputations, _check_imputation, applies=_prepared,
    ),
    Factor(
        "transform", "transform of skewed indicators", _default_transforms, _check_transform, applies=_prepared,
        name_of=_transform_name,
    ),
    Factor(
        "outliers", "outliers winsorised", lambda ground: OUTLIER_LEVELS, _one_of("outliers", OUTLIER_LEVELS),
        applies=_prepared,
    ),
    Factor(
        "weight_noise", "noise on the weights", lambda ground: DEFAULT_WEIGHT_NOISE, _check_noise, float,
        discrete=False, applies=_reweightable_ground,
    ),
    Factor(
        "weighting", "how the dimensions are weighted", lambda ground: WEIGHTING_LEVELS,
        _one_of("weighting", WEIGHTING_LEVELS), applies=_asked_for,
    ),
    Factor(
        "aggregation", "how the dimensions are combined", lambda ground: AGGREGATION_LEVELS,
        _one_of("aggregation", AGGREGATION_LEVELS), applies=_asked_for,
    ),
    # Last: the level codes of a saved analysis of an earlier release lack it, and gain it at the end.
    Factor(
        "measurement_error", "measurement error", lambda ground: tuple(range(ERROR_DRAWS)), _check_draw, int,
        applies=_with_errors, name_of=_draw_name,
    ),
)  # fmt: skip

BY_NAME: Mapping[str, Factor] = {factor.name: factor for factor in REGISTRY}
#: The factors of an analysis, in the order the designs use them.
FACTORS = tuple(factor.name for factor in REGISTRY)
#: The factor that adds the values' own errors.
ERRORS = "measurement_error"
#: The factors that change the table the index is built on: each combination of their levels is one table.
TABLE_FACTORS = (*TREATMENT, ERRORS)
#: What the report and the figures call each factor.
FACTOR_LABELS = {factor.name: factor.label for factor in REGISTRY}
#: The factor that is the weight noise.
NOISE = next(factor.name for factor in REGISTRY if not factor.discrete)
#: The factors that take one of a list of levels, in the order of a run's
#: codes: ``exclude`` first, as saved analyses keep them.
DISCRETE = ("exclude", *(factor.name for factor in REGISTRY if factor.discrete and factor.name != "exclude"))
#: The nominal configuration ``robustness(**model_args)`` takes.
NOMINAL_ARGUMENTS = tuple(factor.name for factor in REGISTRY if factor.nominal)
#: The factors that are arguments of the model's constructor.
MODEL_ARGUMENTS = tuple(factor.name for factor in REGISTRY if factor.model_argument)


def level_names(name: str, levels: Sequence[Any]) -> list[str]:
    """The levels of factor ``name`` as tables show them, each name told apart from the others.

    Two levels that read alike (the label ``1`` and the label ``"1"``) are
    shown by their ``repr`` instead.
    """
    names = [BY_NAME[name].name_of(level) for level in levels]
    if len(set(names)) < len(names):
        names = [name if names.count(name) == 1 else repr(level) for name, level in zip(names, levels)]
    return names


def nominal_level(name: str, nominal: Nominal, treatment: Mapping[str, Any] | None) -> Any:
    """The level of discrete factor ``name`` the nominal index has (a factor that is not varied keeps it)."""
    if BY_NAME[name].nominal:
        return getattr(nominal, name)
    options = treatment or {}
    if name == "imputation":
        impute = options.get("impute")
        return impute if impute is None or options.get("group") is None else f"group {impute}"
    if name == "transform":
        return options.get("transform")
    if name == "outliers":
        return "winsorize" if options.get("winsorize") else "none"
    if name == "weighting":
        return WEIGHTING_LEVELS[0]
    if name == "aggregation":
        return AGGREGATION_LEVELS[0]
    return None  # an exclusion, or a draw of the errors: none


def treatment_options(treatment: Mapping[str, Any], levels: Mapping[str, Any]) -> dict[str, Any]:
    """The options of ``prepare`` for a run: the nominal preparation with the run's treatment levels.

    Options at ``prepare``'s defaults are left out, so the call reads as
    an analyst would write it.
    """
    options = {
        key: value for key, value in treatment.items()
        if key not in ("impute", "group", "transform", *_OVER_TIME_OPTIONS)
    }  # fmt: skip
    imputation = levels["imputation"]
    if imputation is None:
        options["group"] = treatment.get("group")  # without imputation it only tells where dropped rows cluster
    else:
        options["impute"] = imputation.removeprefix("group ")
        if imputation.startswith("group "):
            options["group"] = treatment["group"]
        if options["impute"] in ("carry", "interpolate"):
            options.update({key: treatment.get(key) for key in _OVER_TIME_OPTIONS})
    if levels["transform"] is not None:
        options["transform"] = levels["transform"]
    winsorize = treatment.get("winsorize")
    options["winsorize"] = (winsorize or True) if levels["outliers"] == "winsorize" else False
    return {key: value for key, value in options.items() if value is not None and value is not False}


def check_treatment(preparation: Any) -> dict[str, Any] | None:
    """The nominal preparation of :func:`robustness` as a dict of ``prepare`` options, checked for its keys."""
    if preparation is None:
        return None
    if not isinstance(preparation, Mapping):
        raise TypeError(
            "preparation is the Preparation the index was fitted after (replayed as it is) or a mapping of "
            f"prepare() options, such as {{'impute': 'median', 'winsorize': True}}, got {type(preparation).__name__}"
        )
    unknown = [key for key in preparation if key not in PREPARE_OPTIONS]
    if unknown:
        raise ValueError(f"preparation: unknown option(s) {unknown!r}; prepare() takes {', '.join(PREPARE_OPTIONS)}")
    return dict(preparation)


# ------------------------------------------------- the factors of a call --


def nominal_of(model_args: dict[str, Any], schema: ModelSchema, caller: str = "robustness()") -> Nominal:
    """The nominal configuration of ``robustness(**model_args)`` (or of ``caller``), checked; the
    model's defaults for the rest."""
    unknown = sorted(set(model_args) - set(NOMINAL_ARGUMENTS))
    if unknown:
        raise TypeError(
            f"{caller} got unexpected keyword argument(s) {', '.join(map(repr, unknown))}; "
            f"the nominal index takes {', '.join(NOMINAL_ARGUMENTS)}"
        )
    args = {**MODEL_DEFAULTS, **model_args}
    resolution = args.pop("resolution", None)
    if resolution is None:
        resolution = entropy.get_resolution()
    else:
        check_resolution("resolution", resolution)
        resolution = float(resolution)
    indexfuse.indexpca_diment(schema, **args)  # the toolkit rejects a bad method or cumulative
    return Nominal(**args, resolution=resolution)


def _requested(factors: Any, method: str, ground: Ground) -> Mapping[str, Any]:
    """The caller's factors, by name, with None for their default levels.

    Errors given with the values are a factor whether or not ``factors``
    names it: an analyst who gives them wants their effect in the intervals.
    """
    if method == "bootstrap":
        if ground.errors:
            raise ValueError(
                "method='bootstrap' resamples the rows and adds no measurement error: use method='sobol' or "
                "'uncertainty' with errors"
            )
        if factors:
            raise ValueError(
                "method='bootstrap' resamples the rows of the nominal index and varies no factor: pass "
                "factors=None, or use method='sobol' or 'uncertainty' to vary factors"
            )
        return {}
    if factors is None:
        return {factor.name: None for factor in REGISTRY if factor.applies(ground)}
    if not isinstance(factors, Mapping):
        raise TypeError(f"factors is a mapping of factor names to levels, got {type(factors).__name__}")
    unknown = [name for name in factors if name not in BY_NAME]
    if unknown:
        raise ValueError(f"unknown factor(s) {unknown!r}; the factors are {', '.join(FACTORS)}")
    if not factors:
        raise ValueError(f"method={method!r} needs at least one factor to vary")
    if ground.errors and ERRORS not in factors:
        return {**factors, ERRORS: None}
    return factors


def setting_of(
    factors: Any,
    method: str,
    schema: ModelSchema,
    nominal: Nominal,
    data: pd.DataFrame,
    treatment: Mapping[str, Any] | None = None,
    errors: bool = False,
) -> Setting:
    """The checked levels of the factors a call of ``method`` varies (``factors`` as the caller gave it).

    ``treatment`` holds the nominal preparation's options (None when the
    table is not prepared); ``data`` is then the raw table. ``errors``: the
    values come with their standard errors.
    """
    ground = Ground(schema, data, nominal, indicators(schema, data.columns.tolist()), treatment, errors)
    requested = _requested(factors, method, ground)
    checked = {
        factor.name: factor.levels(requested[factor.name], ground) for factor in REGISTRY if factor.name in requested
    }
    levels = {name: checked.get(name, (nominal_level(name, nominal, treatment),)) for name in DISCRETE}
    noise = next((checked[factor.name] for factor in REGISTRY if not factor.discrete and factor.name in checked), None)
    return Setting(levels, tuple(checked), noise)
