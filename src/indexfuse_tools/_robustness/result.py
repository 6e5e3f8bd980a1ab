"""What a robustness analysis found: its tables, figures and file."""

from __future__ import annotations

import os
from collections.abc import Hashable, Iterable, Iterator, Mapping
from typing import TYPE_CHECKING, Any, Final

import numpy as np
import pandas as pd

from indexfuse_tools._core import Fingerprint, is_real, same_label
from indexfuse_tools._robustness.design import (
    CONVERGENCE_COLUMNS,
    SENSITIVITY_COLUMNS,
    factor_table,
    multiplier_column,
    salib_problem,
    sobol_indices,
)
from indexfuse_tools._robustness.engine import Engine, Job, ranked_units, resample_rows
from indexfuse_tools._robustness.factors import (
    DISCRETE,
    FACTOR_LABELS,
    NOISE,
    NOMINAL_ARGUMENTS,
    ModelSchema,
    level_names,
    nominal_level,
)
from indexfuse_tools._robustness.series import order_statistics
from indexfuse_tools._robustness.spill import Spill, SpillFile
from indexfuse_tools._robustness.saved import (
    RANK_COLUMNS,
    ROBUSTNESS_FORMAT,
    ROBUSTNESS_VERSION,
    Saved,
    read_analysis,
    write_analysis,
)

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

__all__ = [
    "ROBUSTNESS_FORMAT",
    "ROBUSTNESS_VERSION",
    "RobustnessResult",
    "least_settled",
    "rank_positions",
    "rank_table",
    "rank_table_of",
]

RANK_SHIFT = "rank_shift"
LEVEL_COLUMNS = ("runs", "mean_shift", "median_shift", "excess")
_TAILS = (0.05, 0.95)
#: The percentile rule of the rank intervals (numpy's name): the best rank
#: that the unit reaches or beats in at least that share of the runs. Unlike
#: an interpolated percentile, it is a rank some run gave.
PERCENTILE_RULE: Final = "inverted_cdf"
#: The columns of :func:`least_settled`.
SETTLED_COLUMNS = ("nominal", "median", "p5", "p95", "width")


def rank_positions(runs: int) -> list[int]:
    """Where ``p5``, ``p95`` and the two middle ranks sit in a unit's ranks over ``runs`` runs, sorted.

    Which position numpy's percentile rule picks is read off its own answer
    for the positions 0 .. runs - 1, so the rule stays numpy's.
    """
    tails = np.quantile(np.arange(runs), _TAILS, method=PERCENTILE_RULE).astype(np.intp)
    return [*tails.tolist(), (runs - 1) // 2, runs // 2]


def rank_table(
    run_ranks: np.ndarray | Spill, nominal: np.ndarray, mean_shift: np.ndarray, index: pd.Index
) -> pd.DataFrame:
    """Each unit's nominal rank, its median rank and 5-95% rank interval over the runs, and its mean shift.

    Parameters
    ----------
    run_ranks : numpy.ndarray or Spill
        Every unit's rank in every run (runs x units), in memory or spilled
        to disk; either way it is read a block of units at a time.
    nominal : numpy.ndarray
        Every unit's rank in the nominal index.
    mean_shift : numpy.ndarray
        Every unit's mean absolute shift from its nominal rank.
    index : pandas.Index
        The units' labels.

    Returns
    -------
    pandas.DataFrame
        ``nominal``, ``median``, ``p5``, ``p95`` and ``mean_shift``, one row
        per unit. ``p5`` and ``p95`` follow numpy's ``"inverted_cdf"`` rule:
        the best rank that the unit reaches or beats in at least 5% (95%) of
        the runs, so each is a rank some run gave (an integer, or a half where
        ties share a rank), never one interpolated between two. ``median``
        is the median rank (the mean of the two middle ones for an even
        number of runs).
    """
    if not isinstance(run_ranks, Spill):
        run_ranks = _InMemory(run_ranks)
    selected = order_statistics(run_ranks, rank_positions(run_ranks.runs))
    return rank_table_of(selected, nominal, mean_shift, index)


def rank_table_of(selected: np.ndarray, nominal: np.ndarray, mean_shift: np.ndarray, index: pd.Index) -> pd.DataFrame:
    """:func:`rank_table` from each unit's ranks at :func:`rank_positions` (one row per unit)."""
    quantiles = np.empty((len(selected), 3))
    quantiles[:, :2] = selected[:, :2]
    quantiles[:, 2] = selected[:, 2:4].astype(np.float64).mean(axis=1)
    table = pd.DataFrame(quantiles, index=index, columns=["p5", "p95", "median"])
    table.insert(0, "nominal", nominal)
    table["mean_shift"] = mean_shift
    return table[list(RANK_COLUMNS)]


class _InMemory(Spill):
    """A matrix of every run's ranks held in memory, read as a spill file is."""

    def __init__(self, matrix: np.ndarray) -> None:
        runs, units = matrix.shape
        super().__init__(-1, runs, units, matrix.dtype)
        self._matrix = matrix

    def unit_blocks(
        self, start: int = 0, stop: int | None = None, block_bytes: int | None = None
    ) -> Iterator[tuple[int, np.ndarray]]:
        stop = self.units if stop is None else stop
        width = min(self.block_width(block_bytes), max(1, stop - start))
        buffer = np.empty((width, self.runs), dtype=self.dtype)
        for first in range(start, stop, width):
            block = buffer[: min(width, stop - first)]
            np.copyto(block, self._matrix[:, first : first + len(block)].T)
            yield first, block


def least_settled(ranks: pd.DataFrame, n: int | None = 10) -> pd.DataFrame:
    """The units whose rank moves most over the runs: the widest 5-95% rank intervals first.

    Parameters
    ----------
    ranks : pandas.DataFrame
        The ``ranks`` table of a robustness result (the columns
        ``"nominal"``, ``"median"``, ``"p5"`` and ``"p95"`` are used).
    n : int or None, default 10
        How many units to return; None returns every unit with a rank.

    Returns
    -------
    pandas.DataFrame
        ``nominal``, ``median``, ``p5``, ``p95`` and ``width``
        (``p95 - p5``), one row per unit, the widest interval first and
        units of the same width by nominal rank. Units without a rank (no
        composite) are left out.
    """
    if n is not None and (not isinstance(n, (int, np.integer)) or isinstance(n, (bool, np.bool_)) or n < 1):
        raise ValueError(f"n must be a positive integer or None, got {n!r}")
    table = ranks[["nominal", "median", "p5", "p95"]].assign(width=ranks["p95"] - ranks["p5"])
    table = table[table["width"].notna()]
    # Two sorts, each stable: width decides, the nominal rank breaks its ties,
    # and units that tie on both keep the table's order.
    table = table.sort_values("nominal", kind="stable").sort_values("width", ascending=False, kind="stable")
    return table if n is None else table.head(int(n))


def _column(levels: tuple[Any, ...], codes: np.ndarray) -> pd.Series:
    """Each run's level: numbers as numbers, anything else (None, labels, lists) as it is."""
    if all(is_real(level) for level in levels):
        return pd.Series(np.asarray(levels)[codes])
    holder = np.empty(len(levels), dtype=object)
    holder[:] = list(levels)
    return pd.Series(holder[codes], dtype=object)


def _centre(shifts: np.ndarray) -> tuple[float, float]:
    """Mean and median of some runs' rank shifts; NaN for none (a level no run drew)."""
    if not len(shifts):
        return np.nan, np.nan
    return float(shifts.mean()), float(np.median(shifts))


# ---------------------------------------------------------------- result --


class RobustnessResult:
    """The result of :func:`indexfuse_tools.robustness`.

    Attributes
    ----------
    method : str
        ``"sobol"``, ``"uncertainty"`` or ``"bootstrap"``.
    n : int
        The ``n`` of the call (base samples for Sobol, draws or resamples
        otherwise).
    seed : int
        The seed the designs were drawn with.
    nominal : dict
        The nominal configuration: ``scale_method``, ``pca_cumulative``,
        ``ent_k`` and ``resolution``.
    factors : dict
        The factors of the analysis and their levels (for ``weight_noise``
        its half-width).
    runs : pandas.DataFrame
        One row per run (index ``run``): one column per factor holding the
        run's level, one column ``"weight_noise: <dimension>"`` per top-level
        dimension holding its weight multiplier, and ``"rank_shift"``, the
        run's mean absolute rank shift from the nominal ranking (the target
        of the Sobol indices).
    ranks : pandas.DataFrame
        One row per unit (the rows of ``data``): ``nominal`` rank (1 = best,
        ties averaged), ``median`` rank over the runs, ``p5`` and ``p95``
        (5th and 95th percentiles of its rank over the runs, each a rank some
        run gave: numpy's ``"inverted_cdf"`` rule, no interpolation), and
        ``mean_shift``, the mean absolute difference between its rank in a
        run and its nominal rank.
    sensitivity : pandas.DataFrame
        For ``method="sobol"``: one row per factor, ``S1`` and ``ST`` with
        their bootstrap confidence intervals (``S1_low``, ``S1_high``,
        ``ST_low``, ``ST_high``, 95%). Empty for the other methods.
    convergence : pandas.DataFrame
        For ``method="sobol"``: ``S1`` and ``ST`` from the first half of the
        base samples next to those from all of them, and the larger of the
        two changes (``change``). Empty for the other methods.
    preparation : Preparation, dict or None
        The nominal preparation: the :class:`Preparation` replayed as it
        is, or the options of :func:`prepare` learnt on the table (None:
        the table was used as given).
    fingerprint : Fingerprint or None
        What the analysis was made from: the nominal model, the
        preparation and the raw table of the units ranked. Outputs given
        the analysis beside an index compare it with theirs. None for an
        analysis read from a file saved before fingerprints were kept.
    run_ranks : numpy.ndarray or None
        Every unit's rank in every run (runs x units; float32, which holds
        them exactly, up to 8 million units), or
        None for a result loaded from a file saved without them. The
        matrix stays on disk, in the analysis's spill file, and is mapped
        into memory page by page as it is read: at census scale (8,192 runs
        of 242,335 units, 7.9 GB) read it a block at a time, or use
        :meth:`unit_sensitivity` and :meth:`save`, which do.
    """

    def __init__(
        self,
        job: Job,
        n: int,
        codes: np.ndarray,
        multipliers: np.ndarray,
        shifts: np.ndarray,
        run_ranks: np.ndarray | SpillFile | None,
        ranks: pd.DataFrame,
        sensitivity: pd.DataFrame | None = None,
        convergence: pd.DataFrame | None = None,
        *,
        fingerprint: Fingerprint | None = None,
    ) -> None:
        self._job = job
        self.fingerprint = fingerprint
        self._codes = codes
        self._multipliers = multipliers
        self._engine: Engine | None = None
        self.method = job.method
        self.n = n
        self.seed = job.seed
        nominal = job.nominal
        self.nominal = {name: getattr(nominal, name) for name in NOMINAL_ARGUMENTS}
        self.preparation: Any = job.published if job.published is not None else (
            None if job.treatment is None else dict(job.treatment)
        )
        setting = job.setting
        self.factors = {
            name: setting.noise if name == NOISE else setting.levels[name] for name in setting.varied
        }
        self._spill = run_ranks if isinstance(run_ranks, SpillFile) else None
        self._run_ranks = None if isinstance(run_ranks, SpillFile) else run_ranks
        self.runs = self._runs_table(shifts)
        self.ranks = ranks
        self.sensitivity = factor_table(SENSITIVITY_COLUMNS) if sensitivity is None else sensitivity
        self.convergence = factor_table(CONVERGENCE_COLUMNS) if convergence is None else convergence

    def __getstate__(self) -> dict[str, Any]:
        """The result as a pickle holds it: every run's ranks in memory, the spill file left behind."""
        state = self.__dict__.copy()
        state["_engine"] = None  # built again when needed; it holds a lock
        if self._spill is not None:
            state["_spill"], state["_run_ranks"] = None, self._spill.read_runs(0, self._spill.runs)
        return state

    @property
    def run_ranks(self) -> np.ndarray | None:
        if self._run_ranks is None and self._spill is not None:
            self._run_ranks = self._spill.matrix()
        return self._run_ranks

    @run_ranks.setter
    def run_ranks(self, matrix: np.ndarray | None) -> None:
        self._spill, self._run_ranks = None, matrix

    def _unit_ranks(self, position: int) -> np.ndarray:
        """One unit's rank in every run, read from the spill file when the matrix is there."""
        if self._spill is not None:
            return self._spill.read_units(position, position + 1)[:, 0]
        assert self._run_ranks is not None
        return self._run_ranks[:, position]

    def _runs_table(self, shifts: np.ndarray) -> pd.DataFrame:
        setting = self._job.setting
        columns: dict[str, Any] = {}
        for name in setting.varied:
            if name == NOISE:
                for j, key in enumerate(self._job.top_keys):
                    columns[multiplier_column(key)] = self._multipliers[:, j]
            else:
                columns[name] = _column(setting.levels[name], self._codes[:, DISCRETE.index(name)])
        columns[RANK_SHIFT] = shifts
        return pd.DataFrame(columns, index=pd.RangeIndex(len(shifts), name="run"))

    def __repr__(self) -> str:
        factors = ", ".join(self.factors) or "none"
        return (
            f"<RobustnessResult method={self.method!r}: {len(self.runs):,} runs of {len(self.ranks):,} units; "
            f"factors: {factors}; mean rank shift {self.runs[RANK_SHIFT].mean():.3g}>"
        )

    # ------------------------------------------------------------ runs --

    def _run(self, run: Any) -> int:
        if not isinstance(run, (int, np.integer)) or isinstance(run, (bool, np.bool_)):
            raise TypeError(f"a run is an integer, got {type(run).__name__}")
        if not -len(self.runs) <= run < len(self.runs):
            raise IndexError(f"run {run} is out of range: the analysis has {len(self.runs)} runs")
        return int(run) % len(self.runs)

    def _local(self) -> Engine:
        if self._engine is None:
            self._engine = Engine(self._job)
        return self._engine

    def schema(self, run: int) -> ModelSchema:
        """The schema the index of run ``run`` is built on (the nominal one less its exclusion)."""
        return self._job.variants[int(self._codes[self._run(run), DISCRETE.index("exclude")])]

    def treatment(self, run: int) -> dict[str, Any] | None:
        """The options of :func:`prepare` run ``run`` prepared the raw table with; None without a preparation.

        ``prepare(schema, data, **result.treatment(run))`` gives the table
        the run's index is fitted on and scores.
        """
        return self._job.options(self._codes[self._run(run)])

    def weights(self, run: int) -> Any:
        """The dimension weights run ``run`` scored with (noisy ones when the weights are a factor)."""
        run = self._run(run)
        if self.method == "bootstrap":
            return self._local().bootstrap_model(run).dim_weight
        return self._local().run_weights(self._codes[run], self._multipliers[run])

    def resample(self, run: int) -> np.ndarray:
        """Row positions (into ``data``) of bootstrap resample ``run``: ``data.iloc[rows]`` was fitted."""
        if self.method != "bootstrap":
            raise ValueError(f"resample needs method='bootstrap', this analysis is {self.method!r}")
        return resample_rows(self.seed, self._run(run), self._job.fit_rows)

    def composite(self, run: int) -> pd.Series:
        """The composite scores of run ``run``, one per unit, computed again.

        They equal, bit for bit, what ``score(data)`` gives for the model of
        that run's configuration (or, for the bootstrap, the nominal model
        fitted on that run's resample), ``data`` being the run's prepared
        table when the analysis has a preparation (:meth:`treatment`).
        """
        run = self._run(run)
        engine = self._local()
        if self.method == "bootstrap":
            composite, _ = engine.bootstrap_model(run).score(self._job.data)
        else:
            composite = engine.composite(self._codes[run], self._multipliers[run])
        ranked = self._job.ranked
        return composite if ranked is None or not isinstance(composite, pd.Series) else composite.iloc[ranked]

    def unit_sensitivity(self, unit: Hashable) -> pd.DataFrame:
        """Sobol indices of one unit's rank (instead of the mean rank shift).

        Needs ``method="sobol"`` and :attr:`run_ranks`. Returns a table
        shaped like :attr:`sensitivity`.
        """
        if self.method != "sobol":
            raise ValueError(f"unit sensitivity needs method='sobol', this analysis is {self.method!r}")
        if self._spill is None and self._run_ranks is None:
            raise ValueError("this result holds no run_ranks (it was saved with run_ranks=False)")
        position = self.ranks.index.get_indexer(pd.Index([unit]))[0]
        if position < 0:
            raise KeyError(f"{unit!r} is not a unit of the analysis")
        job = self._job
        spec = salib_problem(job.setting, job.top_keys)
        return sobol_indices(spec, self._unit_ranks(position).astype(np.float64), self.seed)

    def by_level(self, factor: str = "exclude") -> pd.DataFrame:
        """How far the ranking moves at each level of a discrete factor.

        The Sobol indices say how much a factor matters; this says which of
        its levels does. For ``exclude``: which indicator's removal moves the
        ranking most.

        Parameters
        ----------
        factor : str, default "exclude"
            A discrete factor of the analysis.

        Returns
        -------
        pandas.DataFrame
            One row per level (index ``level``: the level as text, the
            ``exclude`` level that leaves nothing out named
            ``"no exclusion"``), the level that moves the ranking most
            first: ``runs`` (how many runs took it), ``mean_shift`` and
            ``median_shift`` (of their mean absolute rank shift from the
            nominal ranking) and ``excess`` (``mean_shift`` less the mean
            over all runs).

        Raises
        ------
        ValueError
            If ``factor`` is not a discrete factor of the analysis.

        Notes
        -----
        Every other factor varies over the runs of a level, so a level's
        ``mean_shift`` is its effect averaged over the other choices: the
        conditional mean whose variance over the levels is the numerator of
        the factor's first-order index.
        """
        if factor not in self.factors or factor not in DISCRETE:
            discrete = [name for name in self.factors if name in DISCRETE]
            raise ValueError(
                f"by_level needs a discrete factor of the analysis ({', '.join(discrete) or 'it varies none'}), "
                f"got {factor!r}"
            )
        levels = self._job.setting.levels[factor]
        codes = self._codes[:, DISCRETE.index(factor)]
        shifts = self.runs[RANK_SHIFT].to_numpy()
        rows = [(int((codes == code).sum()), *_centre(shifts[codes == code])) for code in range(len(levels))]
        table = pd.DataFrame(
            rows, index=pd.Index(level_names(factor, levels), name="level"), columns=list(LEVEL_COLUMNS[:3])
        )
        table["excess"] = table["mean_shift"] - shifts.mean()
        return table.sort_values("mean_shift", ascending=False, kind="stable")

    def least_settled(self, n: int | None = 10) -> pd.DataFrame:
        """The units whose rank moves most over the runs: the widest 5-95% rank intervals first.

        A unit's interval runs from ``p5`` to ``p95`` of :attr:`ranks`; the
        wider it is, the more its place owes to the choices the analysis
        varied. These are the units to publish with their interval, or to
        look at before publishing a rank at all.

        Parameters
        ----------
        n : int or None, default 10
            How many units to return; None returns every unit with a rank.

        Returns
        -------
        pandas.DataFrame
            One row per unit (indexed as :attr:`ranks`): ``nominal`` rank,
            ``median`` rank over the runs, ``p5`` and ``p95`` (the ends of
            its interval) and ``width`` (``p95 - p5``); the widest interval
            first, and units of the same width by nominal rank.

        Raises
        ------
        ValueError
            If ``n`` is neither None nor a positive integer.

        Examples
        --------
        >>> import warnings
        >>> import statsmodels.api as sm
        >>> import indexfuse_tools
        >>> data = sm.datasets.statecrime.load_pandas().data
        >>> schema = {"safety": [("violent", -1), ("murder", -1)], "schooling": ["hs_grad"]}
        >>> with warnings.catch_warnings():
        ...     warnings.simplefilter("ignore", indexfuse_tools.RobustnessWarning)
        ...     result = indexfuse_tools.robustness(schema, data, n=32, progress=False, scheduler=1)
        >>> widest = result.least_settled(3)
        >>> list(widest.columns)
        ['nominal', 'median', 'p5', 'p95', 'width']
        >>> bool(widest["width"].is_monotonic_decreasing)
        True
        >>> bool((widest["width"] == widest["p95"] - widest["p5"]).all())
        True
        """
        return least_settled(self.ranks, n)

    # --------------------------------------------------------- figures --

    def plot_ranks(
        self,
        *,
        n: int | None = None,
        label: Mapping[Hashable, str] | pd.Series | None = None,
        highlight: Iterable[Hashable] | None = None,
        title: str | None = None,
        ax: Axes | None = None,
    ) -> Figure:
        """Units by nominal rank with the 5-95% interval and median of their rank over the runs.

        Parameters
        ----------
        n : int, optional
            Show the ``n`` best and ``n`` worst units (by nominal rank); by
            default all of them. Up to 60 units are drawn one per row with
            their labels. More are drawn as thin lines, and the ten widest
            intervals (:meth:`least_settled`), the three best and three worst
            units and ``highlight`` are drawn in full and named beside the
            chart.
        label : mapping or Series, optional
            Display names of units (by their index label); units it lacks
            show their index label.
        highlight : iterable, optional
            Units (index labels of :attr:`ranks`) to name in any case, in
            bold. A label that is no unit raises ``KeyError``.
        title : str, optional
            Replaces the default title.
        ax : matplotlib.axes.Axes, optional
            Draw on this axes instead of a new figure.

        Returns
        -------
        matplotlib.figure.Figure
        """
        from indexfuse_tools._plots import plot_rank_intervals

        return plot_rank_intervals(
            self.ranks, runs=len(self.runs), n=n, label=label, highlight=highlight, title=title, ax=ax
        )

    def plot_sensitivity(self, *, title: str | None = None, ax: Axes | None = None) -> Figure:
        """First-order and total Sobol indices of each factor, with their 95% intervals."""
        if self.method != "sobol":
            raise ValueError(f"plot_sensitivity needs method='sobol', this analysis is {self.method!r}")
        from indexfuse_tools._plots import plot_sensitivity_indices

        return plot_sensitivity_indices(self.sensitivity, labels=FACTOR_LABELS, title=title, ax=ax)

    def plot_by_level(
        self, factor: str = "exclude", *, title: str | None = None, ax: Axes | None = None
    ) -> Figure:
        """The mean rank shift of the runs at each level of a discrete factor (the table :meth:`by_level`)."""
        from indexfuse_tools._plots.robustness import plot_level_shifts

        table = self.by_level(factor)
        levels = self._job.setting.levels[factor]
        nominal = self._nominal_level(factor)
        names = level_names(factor, levels)
        shown = next((names[i] for i, level in enumerate(levels) if same_label(level, nominal)), None)
        return plot_level_shifts(
            table, factor=FACTOR_LABELS[factor], overall=float(self.runs[RANK_SHIFT].mean()), nominal=shown,
            title=title, ax=ax,
        )  # fmt: skip

    def _nominal_level(self, factor: str) -> Any:
        """The level of ``factor`` the nominal index has: no exclusion, or its configuration's value."""
        return nominal_level(factor, self._job.nominal, self._job.treatment)

    # ------------------------------------------------------------ file --

    def save(self, path: str | os.PathLike[str], *, run_ranks: bool = True) -> None:
        """Write the analysis to one file (a zip of JSON and ``.npy`` arrays; no pickle).

        The file holds the schema, the used columns of the data, the
        factors, the design, the tables and (with ``run_ranks=True``, the
        default) every run's ranks, so :meth:`load` gives back a result on
        which :meth:`composite` works. ``run_ranks=False`` leaves the ranks
        of every run out (runs x units float32 values; 1 GB for 8,192 runs
        of 33,000 units) and with them :meth:`unit_sensitivity`. The file
        is written whole or not at all: a failed write leaves the previous
        one as it was.

        Raises
        ------
        TypeError
            If a row or column label cannot be stored (labels are None,
            bool, int, float, str, numpy scalars, dates and time spans, or
            tuples of these); the message names the label.
        """
        write_analysis(
            path,
            Saved(
                self._job, self.n, self._codes, self._multipliers, self.runs[RANK_SHIFT].to_numpy(),
                (self._spill or self._run_ranks) if run_ranks else None, self.ranks.to_numpy(), self.sensitivity,
                self.convergence, self.fingerprint,
            ),
        )  # fmt: skip

    @classmethod
    def load(
        cls, path: str | os.PathLike[str], *, spill_dir: str | os.PathLike[str] | None = None
    ) -> RobustnessResult:
        """Read an analysis written by :meth:`save`. Runs no code from the file.

        Every run's ranks, when the file holds them, are copied a block at a
        time into a spill file in ``spill_dir`` (as :func:`robustness` puts
        them; by default the temporary directory), not into memory.

        The file may come from anyone: only the members the analysis needs
        are read, each only after its declared size and array header agree
        with what the document implies, and every field is checked as
        :func:`robustness` checks its arguments.

        Raises
        ------
        ValueError
            Naming the file and what is wrong with it.
        """
        saved = read_analysis(path, spill_dir)
        units = ranked_units(saved.job.data.index, saved.job.ranked)
        ranks = pd.DataFrame(saved.ranks, index=units, columns=list(RANK_COLUMNS))
        return cls(
            saved.job, saved.n, saved.codes, saved.multipliers, saved.shifts, saved.run_ranks, ranks,
            saved.sensitivity, saved.convergence, fingerprint=saved.fingerprint,
        )  # fmt: skip
