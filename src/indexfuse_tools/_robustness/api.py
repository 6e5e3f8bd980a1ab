"""Is the ranking robust? Uncertainty and sensitivity analysis of ranks.

:func:`robustness` rebuilds the index under the other choices an analyst
could defend and reports how far every unit's rank moves and which choice
moves it most. The factors are those of ``factors``; the engine that builds
the runs is in ``engine`` and ``workers``; what it finds is a
:class:`RobustnessResult`.
"""

from __future__ import annotations

import functools
import importlib
import inspect
import math
import os
import warnings
from collections.abc import Callable, Mapping
from typing import Any, ParamSpec, TypeVar, cast

import numpy as np
import pandas as pd

from indexfuse_tools._check import check
from indexfuse_tools._core import Fingerprint, Schema, is_integer, nodes, signature_text, unique_units, used_columns
from indexfuse_tools._core import fingerprint as fingerprint_of
from indexfuse_tools._robustness.design import (
    convergence,
    design,
    from_unit,
    salib_problem,
    sobol_indices,
)
from indexfuse_tools._preparation import Preparation, prepare
from indexfuse_tools._results import refuse_marked
from indexfuse_tools._robustness.budget import (
    available_memory,
    check_budget,
    combination_bytes_per_unit,
    estimate,
    kept_values_bytes,
    parse_memory,
)
from indexfuse_tools._robustness.engine import Job, make_job, nominal_options, ranked_units
from indexfuse_tools._robustness.factors import (
    DISCRETE,
    FACTORS,
    OVER_TIME_LEVELS,
    TREATMENT,
    ModelSchema,
    Nominal,
    check_treatment,
    nominal_of,
    setting_of,
)
from indexfuse_tools._robustness.result import RobustnessResult, rank_positions, rank_table_of
from indexfuse_tools._robustness.series import RANKS, SHIFT, Accumulator, analysis_series, descending_ranks
from indexfuse_tools._robustness.spill import default_spill_dir, spill_room
from indexfuse_tools._robustness.workers import (
    bootstrap_tasks,
    check_dask_workers,
    execute,
    plan_workers,
    refuse_in_a_starting_worker,
    split,
    task_runs,
)

__all__ = ["FACTORS", "METHODS", "RobustnessWarning", "analyse", "robustness"]

#: The methods :func:`robustness` offers.
METHODS = ("sobol", "uncertainty", "bootstrap")

#: A Sobol index that moves by more than this between n/2 and n base samples
#: has not settled: :func:`robustness` warns.
CONVERGENCE_TOLERANCE = 0.1

_P = ParamSpec("_P")
_R = TypeVar("_R")


class RobustnessWarning(UserWarning):
    """The Sobol indices of an analysis have not settled: use a larger ``n``."""


def _options_by_keyword(function: Callable[_P, _R]) -> Callable[_P, _R]:
    """``function``, refusing extra positional arguments with a message that shows its signature.

    Python's own message only counts the arguments; a caller of the old
    signature, whose options were positional, needs to see the new one.
    """
    positional = [p.name for p in inspect.signature(function).parameters.values() if p.kind is p.POSITIONAL_OR_KEYWORD]
    shown = signature_text(function)

    @functools.wraps(function)
    def checked(*args: _P.args, **kwargs: _P.kwargs) -> _R:
        if len(args) > len(positional):
            raise TypeError(
                f"{function.__name__}() takes {len(positional)} positional arguments ({', '.join(positional)}) "
                f"and its options by keyword, got {len(args)} positional: {function.__name__}{shown}"
            )
        return function(*args, **kwargs)

    return checked


# ------------------------------------------------------------ the call --


def _check_budget(
    job: Job,
    runs: int,
    row_bytes: int,
    kind: str,
    workers: int,
    scheduler: Any,
    limit: int | None,
    spill_dir: str | os.PathLike[str],
) -> None:
    """Refuse, before any run, an analysis that would not fit the memory it may take or its spill directory."""
    rows = len(job.data)  # every row is scored in each run, whichever are ranked
    tables = [job.data] if job.raw is None else [job.data, job.raw]
    table_bytes = sum(int(table.memory_usage(index=True, deep=True).sum()) for table in tables)
    levels = job.setting.levels
    if job.method == "bootstrap":
        variants, table_bytes = 0, 3 * table_bytes  # each run fits on a resampled copy, with the fit's own copies
    else:
        prepared = math.prod(len(levels[name]) for name in TREATMENT) if job.treatment is not None else 1
        variants = len(job.leaves) * len(levels["scale_method"]) * len(levels["pca_cumulative"]) * prepared
        table_bytes += (prepared - 1) * int(job.data.memory_usage(index=True, deep=True).sum())
    table_bytes += _preparation_bytes(job)
    dimensions = sum(1 for node in nodes(job.plans[0]) if not isinstance(node.value, dict))
    per_run = combination_bytes_per_unit(
        dimensions, "principal components" in levels["weighting"], "geometric" in levels["aggregation"]
    )
    found = estimate(rows, table_bytes, variants, runs, row_bytes, kind, workers, per_run)
    alone = estimate(rows, table_bytes, variants, runs, row_bytes, "local", 1, per_run)
    check_budget(found, available_memory() if limit is None else limit, spill_dir, spill_room(spill_dir), alone)
    if kind == "dask":
        check_dask_workers(scheduler, found.worker if found.worker else found.caller)


def _preparation_bytes(job: Job) -> int:
    """What the preparations of an analysis over time hold in a process: the one replayed, and one being learnt.

    A preparation that fills gaps over time keeps each unit's last value
    and period of every indicator. The one given as it is travels with the
    job; a run at another level over time learns one as large again.
    """
    published = job.published
    held = 0
    if published is not None and published.over_time:
        held = kept_values_bytes(
            len(published.units) + sum(map(len, published.last_values.values()))
            + sum(map(len, published.last_periods.values()))
        )
    imputation = job.setting.levels["imputation"] if job.treatment is not None else ()
    if not any(level in OVER_TIME_LEVELS for level in imputation):
        return held
    assert job.raw is not None
    indicators = len(used_columns(job.raw, job.schema).columns)
    return held + kept_values_bytes((1 + 2 * indicators) * _unit_count(job.raw, job.treatment or {}))


def _unit_count(raw: pd.DataFrame, treatment: Mapping[str, Any]) -> int:
    """The units of a table over time (at most its rows, where the unit column cannot be read)."""
    unit = treatment.get("unit")
    try:
        labels = raw[unit] if unit in raw.columns else raw.index.get_level_values(cast(Any, unit))
        return int(labels.nunique())
    except (KeyError, TypeError, ValueError, IndexError):
        return len(raw)


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
    # Refused before the runs rather than after: every table of the result, and a report on it, finds units by label.
    unique_units(data.index, "robustness()")
    if not isinstance(schema, (dict, list, tuple)):
        raise TypeError(f"schema is a dict, list or tuple, got {type(schema).__name__}")
    if method not in METHODS:
        raise ValueError(f"method is one of {', '.join(map(repr, METHODS))}, got {method!r}")
    for module in ("SALib", "tqdm") if method == "sobol" else ("tqdm",):
        _require(module)
    if not is_integer(n) or n < 2:
        raise ValueError(f"n is an integer of at least 2, got {n!r}")
    if method == "sobol" and n & (n - 1):
        raise ValueError(
            f"method='sobol' needs n to be a power of 2 (a Sobol sequence is balanced only then), "
            f"got {n}; {1 << int(n).bit_length()} is the next"
        )
    if seed is None:
        return int(cast(int, np.random.SeedSequence().entropy))
    if not is_integer(seed) or seed < 0:
        raise ValueError(f"seed is a non-negative integer or None, got {seed!r}")
    return int(seed)


def _treatment_of(preparation: Any, factors: Any, options: Mapping[str, Any] | None) -> dict[str, Any] | None:
    """The nominal preparation's options; ``{}`` when only a treatment factor asks for one.

    A :class:`Preparation` given as it is has the options that learn its
    kinds of rules again (:attr:`Preparation.options`), unless ``options``
    says with which it was learnt.
    """
    if isinstance(preparation, Preparation):
        return check_treatment(preparation.options if options is None else options)
    treatment = check_treatment(preparation)
    if treatment is None and isinstance(factors, Mapping) and any(name in factors for name in TREATMENT):
        return {}
    return treatment


def _nominal_table(
    schema: ModelSchema, raw: pd.DataFrame, nominal: Nominal, treatment: Any, published: Preparation | None,
    fitted: int | None,
) -> tuple[pd.DataFrame, Preparation | None]:
    """The table the nominal index is fitted on and scores, and the preparation it is the replay of.

    The raw table itself; or ``published`` replayed on it as it is; or the
    nominal options learnt on the rows fitted on and replayed on every row.
    """
    if published is not None:
        refuse_marked(raw, published, "robustness()")
        return published.apply(raw)[0], published
    options = nominal_options(nominal, treatment)
    if options is None:
        return raw, None
    try:
        if fitted is None:
            prepared, _, learnt = prepare(schema, raw, **options)
            return prepared, learnt
        prepared, _, learnt = prepare(schema, raw.iloc[:fitted], **options)
        return pd.concat([prepared, learnt.apply(raw.iloc[fitted:])[0]]), learnt
    except Exception as exc:
        exc.add_note(f"while preparing the nominal table: prepare(schema, data, **{options!r})")
        raise


def _kept(
    raw: pd.DataFrame, data: pd.DataFrame, fitted: int | None, ranked: Any
) -> tuple[int | None, np.ndarray | None]:
    """``fitted`` and ``ranked``, given over the rows of the raw table, over those its preparation kept."""
    positions = None if ranked is None else np.asarray(ranked, dtype=np.int64)
    if len(data) == len(raw):
        return fitted, positions
    if fitted is not None:
        fitted = int(data.index.isin(raw.index[:fitted]).sum())
    if positions is not None:
        found = data.index.get_indexer(raw.index[positions])
        positions = found[found >= 0].astype(np.int64)
    return fitted, positions


def _refuse_in_a_starting_worker() -> None:
    refuse_in_a_starting_worker("robustness()")


@_options_by_keyword
def robustness(
    schema: Schema,
    data: pd.DataFrame,
    *,
    factors: Mapping[str, Any] | None = None,
    method: str = "sobol",
    n: int = 1024,
    seed: int | None = 0,
    scheduler: Any = None,
    progress: bool = True,
    preparation: Preparation | Mapping[str, Any] | None = None,
    memory: int | str | None = None,
    spill_dir: str | os.PathLike[str] | None = None,
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
    its weights perturbed as below, then ``score(data)``. With a
    ``preparation``, ``data`` is the raw table and each run scores
    ``prepare(schema, data, **options)``'s table, the options those of the
    run's treatment levels (:meth:`RobustnessResult.treatment`).

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
        ``imputation``
            ``("median", "mean")``, and ``"group median"`` when the
            preparation names a ``group``: ``prepare``'s ``impute``, the
            "group" levels within the preparation's group. Also
            ``"group mean"``.
        ``transform``
            ``(None, "log")``: ``prepare``'s ``transform`` of the
            indicators the outlier rule flags. Also ``"box-cox"`` and
            ``"yeo-johnson"``.
        ``outliers``
            ``("winsorize", "none")``: winsorise as the preparation does
            (5 points when it does not), or not at all.
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

        ``weighting``
            ``("model", "equal", "principal components")``: the model's
            entropy weights, equal weights level by level (as
            :func:`equal_weights` sets them), or the squared loadings of the
            first principal component of the dimension values. Asked for by
            name only.
        ``aggregation``
            ``("arithmetic", "geometric")``: the model's weighted sum, or
            the weighted geometric mean of the dimension values, each
            first rescaled, its direction applied, onto 1..100 by its lowest
            and highest unit. Asked for by name only.

        The three treatment factors are among the defaults when a
        ``preparation`` is given; asked for without one, the nominal
        preparation is ``{}`` (the raw table as it is).

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
        ``if __name__ == "__main__":`` guard (without it, each worker stops
        with one line saying so). Local workers end with this process, even
        if it is killed outright.
    progress : bool, default True
        Show a progress bar (tqdm) of the runs done and the time left.
    preparation : Preparation or mapping, optional
        The nominal treatment of the raw ``data``: the :class:`Preparation`
        the published index was fitted after, or options of
        :func:`prepare` (``{"impute": "median", "group": "region",
        "winsorize": True}``, say).

        A :class:`Preparation` is replayed as it is
        (:meth:`Preparation.apply`): the nominal index is fitted on its
        replay on ``data``, so its ranks are the published ones. The
        treatment factors vary around it: their nominal levels are the
        preparation's own (its statistic and group, the indicators it
        transforms with their kinds, ``"winsorize"`` when it has caps),
        and a run at every nominal level scores the replay; a run at any
        other level learns a preparation again on ``data`` with
        :func:`prepare`, from :attr:`Preparation.options` with that
        level in place (so fills, transform parameters and caps are
        learnt on ``data``). The availability thresholds are the
        preparation's in every run, so every run keeps the same rows.

        Options are learnt on ``data`` for the nominal index, and again
        with each run's treatment levels.

        A prepared table is shared by every run with the same levels. The
        units ranked are the rows the preparation keeps. Leaving
        indicators out (``exclude``) changes the index, not the
        preparation: each run prepares the whole schema.
    memory : int or str, optional
        The most memory the analysis may take, this process and its local
        workers together: bytes, or a text such as ``"2GiB"`` or
        ``"1.5GB"``. By default, what the machine has available when the
        analysis starts (``MemAvailable``, or its cgroup's limit). An
        analysis estimated to need more is refused before any run, with
        the estimate and what to change. With a Dask client, each worker's
        own ``memory_limit`` is checked against the estimate for one
        worker too.
    spill_dir : str or path-like, optional
        The directory of the spill files: every run's ranks go to disk as
        the runs end (runs x units float32 values: 1.1 GB for 8,192 runs of
        33,000 units, 7.9 GB for 242,335 units) and are read back a block
        of units at a time, so memory does not grow with the runs. By
        default :func:`tempfile.gettempdir` (``TMPDIR``, else ``/tmp``).
        The files have no name (the system reclaims their room when the
        analysis ends, however it ends, a kill included) and live as long
        as the result, whose :attr:`~RobustnessResult.run_ranks` reads
        them. An analysis whose files would not fit is refused before any
        run.
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
        For a bad method, ``n``, seed, factor level, ``memory`` or
        ``spill_dir``, or ``data`` whose row labels repeat (the result finds
        units by label), before anything runs.
    TypeError
        For an unknown model argument or a scheduler of another kind.
    MemoryError
        If the analysis would need more memory than ``memory`` (or a Dask
        worker's limit), before any run.
    OSError
        If the spill files would not fit in ``spill_dir``, before any run.

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
    return analyse(
        schema, data, factors=factors, method=method, n=n, seed=seed, scheduler=scheduler, progress=progress,
        preparation=preparation, memory=memory, spill_dir=spill_dir, **model_args,
    )  # fmt: skip


def analyse(
    schema: Schema,
    data: pd.DataFrame,
    *,
    factors: Mapping[str, Any] | None = None,
    method: str = "sobol",
    n: int = 1024,
    seed: int | None = 0,
    scheduler: Any = None,
    progress: bool = True,
    preparation: Preparation | Mapping[str, Any] | None = None,
    memory: int | str | None = None,
    spill_dir: str | os.PathLike[str] | None = None,
    options: Mapping[str, Any] | None = None,
    fitted: int | None = None,
    ranked: np.ndarray | None = None,
    fingerprint: Fingerprint | None = None,
    **model_args: Any,
) -> RobustnessResult:
    """:func:`robustness`, of an index fitted on some rows and ranked on others.

    Parameters
    ----------
    schema, data, factors, method, n, seed, scheduler, progress, preparation, memory, spill_dir, model_args
        As :func:`robustness` takes them; ``data`` is the raw table of
        every row the runs score.
    options : mapping, optional
        With a :class:`Preparation`: the options of :func:`prepare` it was
        learnt with, for the runs that learn a preparation again (by
        default :attr:`Preparation.options`).
    fitted : int, optional
        Each run's index is fitted on the first ``fitted`` rows of ``data``
        alone (and a preparation learnt on them), and scores every row:
        the editions after a frozen reference edition. By default every row.
    ranked : array of int, optional
        The positions of the rows whose composites are ranked in each run,
        and whose rank intervals the result gives: one edition of several.
        By default every row.
    fingerprint : Fingerprint, optional
        The fingerprint the result carries; by default that of the nominal
        model, the preparation and ``data``.
    """
    _refuse_in_a_starting_worker()
    seed = _check_call(schema, data, method, n, seed)
    limit = parse_memory(memory)
    if spill_dir is not None and not os.path.isdir(spill_dir):
        raise ValueError(f"spill_dir is an existing directory, got {os.fspath(spill_dir)!r}")
    schema = cast(ModelSchema, schema)  # _check_call refused any other kind
    published = preparation if isinstance(preparation, Preparation) else None
    treatment = _treatment_of(preparation, factors, options)
    nominal = nominal_of(model_args, schema)
    raw = data
    data, learnt = _nominal_table(schema, raw, nominal, treatment, published, fitted)
    fitted, ranked = _kept(raw, data, fitted, ranked)
    fit_rows = len(data) if fitted is None else fitted
    check(schema, data.iloc[:fit_rows], strict=True)  # an index that is not what its schema says is not analysed
    setting = setting_of(factors, method, schema, nominal, data.iloc[:fit_rows], treatment)
    plan_workers(scheduler)  # a scheduler of another kind fails here, before the nominal fit
    try:
        model = nominal.fit(schema, data.iloc[:fit_rows])
        composite, _ = model.score(data)
    except Exception as exc:
        exc.add_note("while fitting the nominal index")
        raise
    top_keys = tuple(schema) if isinstance(schema, dict) else ()
    positions = None if ranked is None else np.asarray(ranked, dtype=np.int64)
    shown = composite if positions is None or np.ndim(composite) == 0 else np.asarray(composite, np.float64)[positions]
    job = make_job(
        method, seed, data, schema, nominal, setting, top_keys, descending_ranks(shown, len(shown)), treatment,
        None if treatment is None else raw, fitted=fitted, ranked=positions, published=published,
    )
    if fingerprint is None:
        fingerprint = fingerprint_of(model, learnt, raw)
    spec = salib_problem(setting, top_keys)
    if method == "bootstrap":
        codes, multipliers = np.zeros((n, len(DISCRETE)), dtype=np.int64), np.ones((n, 0))
    else:
        codes, multipliers = from_unit(design(method, spec, n, seed), setting, top_keys)
    units = len(job.nominal_ranks)  # the rows ranked in each run
    series = analysis_series(units)
    kind, workers = plan_workers(scheduler, len(codes) * len(data))  # every row is scored, whichever are ranked
    row_bytes = sum(s.dtype.itemsize * units for s in series if s.kept)
    spill_dir = default_spill_dir() if spill_dir is None else spill_dir
    _check_budget(job, len(codes), row_bytes, kind, workers, scheduler, limit, spill_dir)
    most = task_runs(kind, row_bytes)
    if method == "bootstrap":
        tasks = bootstrap_tasks(n, workers, most)
    else:
        tasks = split(codes, multipliers, workers, most)
    accumulator = Accumulator(series, len(codes), units, spill_dir)
    try:
        selected = execute(job, tasks, scheduler, progress, accumulator, {RANKS: rank_positions(len(codes))})
        ranks = rank_table_of(
            selected[RANKS], job.nominal_ranks, accumulator.mean(SHIFT), ranked_units(data.index, positions)
        )
    except BaseException:
        accumulator.close()
        raise
    shifts, run_ranks = accumulator.scalars, accumulator.spills[RANKS]
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
                stacklevel=3,
            )
    return RobustnessResult(
        job, n, codes, multipliers, shifts, run_ranks, ranks, sensitivity, settled, fingerprint=fingerprint
    )
