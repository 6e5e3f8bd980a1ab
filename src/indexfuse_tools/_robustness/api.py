"""Is the ranking robust? Uncertainty and sensitivity analysis of ranks.

:func:`robustness` rebuilds the index under the other choices an analyst
could defend and reports how far every unit's rank moves and which choice
moves it most. The engine that builds the runs is in
``_robustness_engine``; what it finds is a :class:`RobustnessResult`.
"""

from __future__ import annotations

import importlib
import math
import warnings
from collections.abc import Hashable, Mapping, Sequence
from typing import Any, cast

import numpy as np
import pandas as pd

import indexfuse
from indexfuse_tools._check import check
from indexfuse_tools._robustness_engine import (
    DISCRETE,
    GONE,
    Nominal,
    Setting,
    bootstrap_tasks,
    descending_ranks,
    excluded,
    execute,
    indicators,
    is_number,
    make_problem,
    plan_workers,
    split,
    without,
)
from indexfuse_tools._robustness_result import (
    NOISE,
    RobustnessResult,
    convergence,
    rank_table,
    salib_problem,
    sobol_indices,
)
from tessel import process
from tessel.modelbench import entropy

__all__ = ["FACTORS", "METHODS", "RobustnessWarning", "robustness"]

#: The factors of an analysis, in the order the designs use them.
FACTORS = ("scale_method", "pca_cumulative", "ent_k", "resolution", "exclude", "weight_noise")
#: The methods :func:`robustness` offers.
METHODS = ("sobol", "uncertainty", "bootstrap")

DEFAULT_PCA_CUMULATIVE = (1.0, 0.9, 0.8)
DEFAULT_ENT_K = (5, 10, 20)
#: The default resolution levels, as multiples of the toolkit's default.
DEFAULT_RESOLUTION_STEPS = (0.1, 1.0, 10.0)
#: The default half-width of the weight noise: the field's usual +/-25%.
DEFAULT_WEIGHT_NOISE = 0.25
#: A Sobol index that moves by more than this between n/2 and n base samples
#: has not settled: :func:`robustness` warns.
CONVERGENCE_TOLERANCE = 0.1

_MODEL_ARGS = ("scale_method", "pca_cumulative", "ent_k", "resolution")
_CTOR_DEFAULTS: dict[str, Any] = {"scale_method": "max_min", "pca_cumulative": 1, "ent_k": 10}


class RobustnessWarning(UserWarning):
    """The Sobol indices of an analysis have not settled: use a larger ``n``."""


# ------------------------------------------------------------- factors --


def _is_integer(value: Any) -> bool:
    return isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_))


def _levels(name: str, value: Any) -> tuple[Any, ...]:
    if not isinstance(value, (Sequence, np.ndarray, pd.Index)) or isinstance(value, (str, bytes)):
        raise TypeError(f"factor {name!r}: levels are a list or tuple, got {type(value).__name__} ({value!r:.60})")
    levels = tuple(value.tolist() if isinstance(value, (np.ndarray, pd.Index)) else value)
    if not levels:
        raise ValueError(f"factor {name!r}: needs at least one level")
    for i, level in enumerate(levels):
        if any(_equal(level, other) for other in levels[:i]):
            raise ValueError(f"factor {name!r}: level {level!r} appears twice")
    return levels


def _equal(a: Any, b: Any) -> bool:
    try:
        return bool(a == b)
    except (TypeError, ValueError):
        return False


def _nominal(model_args: dict[str, Any], schema: Any) -> Nominal:
    unknown = sorted(set(model_args) - set(_MODEL_ARGS))
    if unknown:
        raise TypeError(
            f"robustness() got unexpected keyword argument(s) {', '.join(map(repr, unknown))}; "
            f"the nominal index takes {', '.join(_MODEL_ARGS)}"
        )
    args = {**_CTOR_DEFAULTS, **model_args}
    resolution = args.pop("resolution", None)
    if resolution is None:
        resolution = entropy.get_resolution()
    else:
        _check_resolution("resolution", resolution)
        resolution = float(resolution)
    indexfuse.indexpca_diment(schema, **args)  # the toolkit rejects a bad method or cumulative
    return Nominal(args["scale_method"], args["pca_cumulative"], args["ent_k"], resolution)


def _check_resolution(where: str, value: Any) -> None:
    if not is_number(value) or not math.isfinite(value) or value <= 0:
        raise ValueError(f"{where}: a resolution is a positive finite number, got {value!r}")
    with entropy.resolution(float(value)):
        pass  # the toolkit's own check of the value


def _check_model_level(name: str, level: Any, schema: Any, nominal: Nominal) -> None:
    try:
        indexfuse.indexpca_diment(schema, **nominal.ctor(**{name: level}))
    except (TypeError, ValueError) as exc:
        raise ValueError(f"factor {name!r}: level {level!r} cannot be used: {exc}") from None


def _check_k(level: Any, n_rows: int) -> None:
    if not _is_integer(level) or not 1 <= level <= n_rows - 1:
        raise ValueError(
            f"factor 'ent_k': level {level!r} cannot be used: the neighbour count is an integer from 1 to "
            f"len(data) - 1 = {n_rows - 1} (fit would lower a larger one to that)"
        )


def _check_exclusion(level: Any, schema: Any, columns: list[Any], found: list[Any]) -> None:
    drop = excluded(level)
    if isinstance(level, list) and not drop:
        raise ValueError("factor 'exclude': the level [] leaves nothing out; None is that level")
    for label in drop:
        if not any(_equal(label, indicator) for indicator in found):
            raise ValueError(
                f"factor 'exclude': level {level!r} cannot be used: {label!r} is not an indicator of the schema "
                f"that names a column of data (they are {found!r:.300})"
            )
    if without(schema, drop, columns) is GONE:
        raise ValueError(f"factor 'exclude': level {level!r} cannot be used: it leaves no indicator")


def _default(name: str, schema: Any, data: pd.DataFrame, found: list[Any]) -> Any:
    if name == "scale_method":
        return tuple(process.SCALE_METHODS)
    if name == "pca_cumulative":
        return DEFAULT_PCA_CUMULATIVE
    if name == "ent_k":
        return tuple(k for k in DEFAULT_ENT_K if k < len(data)) or (max(len(data) - 1, 1),)
    if name == "resolution":
        return tuple(entropy.DEFAULT_RESOLUTION * step for step in DEFAULT_RESOLUTION_STEPS)
    if name == "exclude":
        columns = data.columns.tolist()
        return (None, *(label for label in found if without(schema, [label], columns) is not GONE))
    return DEFAULT_WEIGHT_NOISE


def _check_factor(name: str, value: Any, schema: Any, nominal: Nominal, data: pd.DataFrame, found: list[Any]) -> Any:
    if name == NOISE:
        if not is_number(value) or not 0 <= value < 1:
            raise ValueError(
                "factor 'weight_noise': its level is the half-width w, a number with 0 <= w < 1 (each top-level "
                f"weight is multiplied by a factor drawn from [1 - w, 1 + w]), got {value!r}"
            )
        if not isinstance(schema, dict) or len(schema) < 2:
            raise ValueError("factor 'weight_noise': the index needs at least two top-level dimensions to reweight")
        return float(value)
    levels = _levels(name, value)
    for level in levels:
        if name in ("scale_method", "pca_cumulative"):
            _check_model_level(name, level, schema, nominal)
        elif name == "ent_k":
            _check_k(level, len(data))
        elif name == "resolution":
            _check_resolution(f"factor 'resolution': level {level!r}", level)
        else:
            _check_exclusion(level, schema, data.columns.tolist(), found)
    if name == "ent_k":
        return tuple(int(level) for level in levels)
    if name == "resolution":
        return tuple(float(level) for level in levels)
    return levels


def _defaults_apply(name: str, schema: Any) -> bool:
    if name == NOISE:
        return isinstance(schema, dict) and len(schema) >= 2
    return True


def _setting(factors: Any, method: str, schema: Any, nominal: Nominal, data: pd.DataFrame) -> Setting:
    found = indicators(schema, data.columns.tolist())
    if method == "bootstrap":
        if factors:
            raise ValueError(
                "method='bootstrap' resamples the rows of the nominal index and varies no factor: pass "
                "factors=None, or use method='sobol' or 'uncertainty' to vary factors"
            )
        factors = {}
    elif factors is None:
        factors = {name: None for name in FACTORS if _defaults_apply(name, schema)}
    elif not isinstance(factors, Mapping):
        raise TypeError(f"factors is a mapping of factor names to levels, got {type(factors).__name__}")
    unknown = [name for name in factors if name not in FACTORS]
    if unknown:
        raise ValueError(f"unknown factor(s) {unknown!r}; the factors are {', '.join(FACTORS)}")
    if method != "bootstrap" and not factors:
        raise ValueError(f"method={method!r} needs at least one factor to vary")
    checked: dict[str, Any] = {}
    for name in FACTORS:
        if name in factors:
            value = factors[name]
            if value is None:
                value = _default(name, schema, data, found)
            checked[name] = _check_factor(name, value, schema, nominal, data, found)
    fixed = {
        "exclude": (None,),
        "scale_method": (nominal.scale_method,),
        "pca_cumulative": (nominal.pca_cumulative,),
        "ent_k": (nominal.ent_k,),
        "resolution": (nominal.resolution,),
    }
    levels = {name: checked.get(name, fixed[name]) for name in DISCRETE}
    return Setting(levels, tuple(name for name in FACTORS if name in checked), checked.get(NOISE))


# -------------------------------------------------------------- designs --


def _from_unit(u: np.ndarray, setting: Setting, top_keys: tuple[Hashable, ...]) -> tuple[np.ndarray, np.ndarray]:
    """Level codes and weight multipliers of design points in the unit cube.

    A factor of L levels takes level ``floor(u * L)``, each with probability
    1/L; a weight multiplier is ``1 + w (2u - 1)``, uniform on [1 - w, 1 + w].
    """
    codes = np.zeros((len(u), len(DISCRETE)), dtype=np.int64)
    multipliers = np.ones((len(u), len(top_keys)))
    column = 0
    for name in setting.varied:
        if name == NOISE:
            assert setting.noise is not None
            multipliers = 1.0 + setting.noise * (2.0 * u[:, column : column + len(top_keys)] - 1.0)
            column += len(top_keys)
        else:
            size = len(setting.levels[name])
            codes[:, DISCRETE.index(name)] = np.minimum((u[:, column] * size).astype(np.int64), size - 1)
            column += 1
    return codes, multipliers


def _design(method: str, spec: dict[str, Any], setting: Setting, top_keys: tuple[Hashable, ...], n: int, seed: int) -> np.ndarray:
    """The design points in the unit cube: Saltelli's for Sobol indices, plain random otherwise."""
    if method == "sobol":
        from SALib.sample import sobol

        return cast(np.ndarray, sobol.sample(spec, n, calc_second_order=False, scramble=True, seed=seed))
    return np.random.default_rng(seed).random((n, spec["num_vars"]))


# ------------------------------------------------------------ the call --


def _require(module: str) -> None:
    try:
        importlib.import_module(module)
    except ImportError:
        raise ImportError(
            f"robustness() needs {module}: pip install \"indexfuse[robustness]\" (SALib, tqdm, matplotlib)"
        ) from None


def _check_call(schema: Any, data: Any, method: Any, n: Any, seed: Any) -> int:
    if not isinstance(data, pd.DataFrame):
        raise TypeError(f"data is a pandas DataFrame, got {type(data).__name__}")
    if not isinstance(schema, (dict, list, tuple)):
        raise TypeError(f"schema is a dict, list or tuple, got {type(schema).__name__}")
    if method not in METHODS:
        raise ValueError(f"method is one of {', '.join(map(repr, METHODS))}, got {method!r}")
    for module in ("SALib", "tqdm") if method == "sobol" else ("tqdm",):
        _require(module)
    if not _is_integer(n) or n < 2:
        raise ValueError(f"n is an integer of at least 2, got {n!r}")
    if method == "sobol" and n & (n - 1):
        raise ValueError(
            f"method='sobol' needs n to be a power of 2 (a Sobol sequence is balanced only then), "
            f"got {n}; {1 << int(n).bit_length()} is the next"
        )
    if seed is None:
        return int(cast(int, np.random.SeedSequence().entropy))
    if not _is_integer(seed) or seed < 0:
        raise ValueError(f"seed is a non-negative integer or None, got {seed!r}")
    return int(seed)


def robustness(
    schema: Any,
    data: pd.DataFrame,
    factors: Mapping[str, Any] | None = None,
    method: str = "sobol",
    n: int = 1024,
    seed: int | None = 0,
    scheduler: Any = None,
    progress: bool = True,
    **model_args: Any,
) -> RobustnessResult:
    """How much would the ranking change under the other defensible choices?

    Builds the index once per run, each run with its own choice of the
    factors below, and ranks the units (1 = best, ties averaged) in every
    run. The nominal index is ``indexpca_diment(schema, **model_args)``
    fitted on ``data``; a factor that is not varied stays at its nominal
    value. Each run's composite equals, bit for bit, what the public API
    gives for its configuration: ``indexpca_diment(schema without the
    excluded indicators, scale_method=..., pca_cumulative=..., ent_k=...)``
    fitted on ``data`` inside ``tessel.modelbench.entropy.resolution(...)``,
    its weights perturbed as below, then ``score(data)``.

    Parameters
    ----------
    schema : dict, list or tuple
        The schema of the nominal index, as for ``indexpca_diment``.
    data : pandas.DataFrame
        The table the index is fitted on and whose rows (the units) are
        ranked.
    factors : mapping, optional
        Factor names to their levels (a level of None: the default levels).
        By default every factor with its default levels:

        ``scale_method``
            ``("max_min", "z_score")``.
        ``pca_cumulative``
            ``(1.0, 0.9, 0.8)``.
        ``ent_k``
            ``(5, 10, 20)``, those below ``len(data)``.
        ``resolution``
            The entropy resolution: the toolkit's default times 0.1, 1
            and 10.
        ``exclude``
            None (no indicator left out), then each indicator of the schema
            in turn. A level is None, a column label, or a list of labels
            left out together. A dimension left without indicators is left
            out with them.
        ``weight_noise``
            0.25: the half-width ``w`` (a single number, not a list). Each
            top-level dimension's fitted weight is multiplied by its own
            factor drawn uniformly from [1 - w, 1 + w], the top-level
            weights are renormalised to sum to 1, and nested weights scale
            with their parent (``set_weights`` renormalises, and refuses
            negative weights: a run whose fitted weights come out negative
            fails, naming itself). One factor (a group of one multiplier
            per dimension) in the Sobol analysis. Needs two top-level
            dimensions, and is not among the defaults without them.

        Discrete levels are drawn with equal probability (in the Sobol
        design, level ``floor(u * L)`` of L for a coordinate ``u`` in
        [0, 1)). Every level is checked before anything runs: a level the
        configuration cannot take (an unknown scale method, a neighbour
        count of ``len(data)`` or more, an ``exclude`` naming no indicator
        of the schema, ...) raises ``ValueError``.
    method : {"sobol", "uncertainty", "bootstrap"}, default "sobol"
        ``"sobol"``: Saltelli's design from SALib with ``n`` base samples
        (``n (d + 2)`` runs for d factors) and first-order and total Sobol
        indices of the mean absolute rank shift. ``"uncertainty"``: ``n``
        random draws of the factors. ``"bootstrap"``: ``n`` resamples of
        the rows (with replacement), each refitted with the nominal
        configuration and scoring the original rows; takes no factors.
    n : int, default 1024
        Base samples (a power of 2 for Sobol), draws or resamples.
    seed : int or None, default 0
        Seed of the designs and of SALib's bootstrap intervals; None draws
        one (kept in the result). The same seed gives the same result
        whatever the scheduler and the number of workers.
    scheduler : None, int or dask.distributed.Client, default None
        None: one process per local core (or this process alone when
        the runs times the units are fewer than 20 million, where starting
        processes costs more than it saves); an integer: that many local
        processes (1: this process only); a ``dask.distributed.Client``:
        the workers of its cluster. Local processes are started with
        ``spawn``, so a script that calls this at top level needs the usual
        ``if __name__ == "__main__":`` guard.
    progress : bool, default True
        Show a progress bar (tqdm) of the runs done and the time left.
    **model_args
        The nominal configuration: ``scale_method``, ``pca_cumulative``,
        ``ent_k`` (as for ``indexpca_diment``) and ``resolution`` (default:
        the resolution in effect at the call).

    Returns
    -------
    RobustnessResult
        ``runs``, ``ranks``, ``sensitivity`` and their figures.

    Raises
    ------
    SchemaError
        If :func:`check` finds an error in the schema or the data (an entry
        naming no column, a non-numeric or incomplete column, ...): the
        nominal index would not be what the schema says.
    ValueError
        For a bad method, ``n``, seed or factor level, before anything runs.
    TypeError
        For an unknown model argument or a scheduler of another kind.

    Warns
    -----
    RobustnessWarning
        When a Sobol index moves by more than 0.1 between the first half of
        the base samples and all of them: the indices have not settled and
        a larger ``n`` is needed.

    Notes
    -----
    The target of the Sobol indices is the mean over units of
    ``|rank in the run - nominal rank|``. ``S1`` is the share of its
    variance that a factor explains alone, ``ST`` the share it has a hand
    in, interactions included (Jansen's estimator); both come with 95%
    bootstrap intervals. The runs share their coefficient tables, dimension
    values and entropy estimates wherever their configurations do, which
    is what makes the analysis fast; the result is the same as building
    every run from scratch.

    Examples
    --------
    >>> import numpy as np, pandas as pd
    >>> rng = np.random.default_rng(0)
    >>> data = pd.DataFrame(rng.normal(size=(30, 4)), columns=list("abcd"))
    >>> result = robustness({"A": ["a", "b"], "B": ["c", "d"]}, data, n=64,
    ...                     factors={"scale_method": None, "weight_noise": 0.25},
    ...                     scheduler=1, progress=False)
    >>> len(result.runs), list(result.sensitivity.index)
    (256, ['scale_method', 'weight_noise'])
    """
    seed = _check_call(schema, data, method, n, seed)
    check(schema, data, strict=True)  # an index that is not what its schema says is not analysed
    nominal = _nominal(model_args, schema)
    setting = _setting(factors, method, schema, nominal, data)
    plan_workers(scheduler)  # a scheduler of another kind fails here, before the nominal fit
    try:
        model = nominal.fit(schema, data)
        composite, _ = model.score(data)
    except Exception as exc:
        exc.add_note("while fitting the nominal index")
        raise
    top_keys = tuple(schema) if isinstance(schema, dict) else ()
    problem = make_problem(
        method, seed, data, schema, nominal, setting, top_keys, descending_ranks(composite, len(data))
    )
    spec = salib_problem(setting, top_keys)
    if method == "bootstrap":
        codes, multipliers = np.zeros((n, len(DISCRETE)), dtype=np.int64), np.ones((n, 0))
    else:
        codes, multipliers = _from_unit(_design(method, spec, setting, top_keys, n, seed), setting, top_keys)
    _, workers = plan_workers(scheduler, len(codes) * len(data))
    tasks = bootstrap_tasks(n, workers) if method == "bootstrap" else split(codes, multipliers, workers)
    run_ranks, shifts, unit_shifts = execute(problem, tasks, scheduler, progress)
    ranks = rank_table(run_ranks, problem.nominal_ranks, unit_shifts, data.index)
    sensitivity = settled = None
    if method == "sobol":
        sensitivity = sobol_indices(spec, shifts, seed)
        settled = convergence(spec, shifts, seed, sensitivity)
        moved = settled[settled["change"] > CONVERGENCE_TOLERANCE]
        if len(moved):
            warnings.warn(
                f"Sobol indices have not settled at n={n}: {', '.join(moved.index)} moved by up to "
                f"{moved['change'].max():.2f} between n/2 and n base samples; use a larger n",
                RobustnessWarning,
                stacklevel=2,
            )
    return RobustnessResult(problem, n, codes, multipliers, shifts, run_ranks, ranks, sensitivity, settled)
