"""The :class:`Editions` object: every edition scored against one baseline."""

from __future__ import annotations

import difflib
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from indexfuse_tools._contributions import contributions
from indexfuse_tools._core import Fingerprint, Presentation, combined, fingerprint, label_digest, show
from indexfuse_tools._editions.change import attribute
from indexfuse_tools._editions.comparability import findings
from indexfuse_tools._preparation import Preparation
from indexfuse_tools._results import Treated, scores_of, treat, with_treatment

__all__ = ["Editions", "Scored", "Terms"]

if TYPE_CHECKING:
    from matplotlib.figure import Figure

#: The results' columns that are not dimensions, in the order they come.
_LEADING = ("composite", "score", "rank", "rank_change", "composite_change", "score_change")
_TRAILING = ("missing", "imputed")


@dataclass(frozen=True)
class Scored:
    """One edition scored by one model.

    Attributes
    ----------
    table : pandas.DataFrame
        :func:`results` of the edition, over its units.
    scored : pandas.DataFrame
        The rows the model scored (after the preparation, when there is
        one), indexed by unit.
    """

    table: pd.DataFrame
    scored: pd.DataFrame

    @classmethod
    def of(cls, model: Any, frame: pd.DataFrame, preparation: Preparation | None) -> Scored:
        """``frame`` scored by ``model`` after replaying ``preparation``."""
        if preparation is None:
            return cls(scores_of(model, frame), frame)
        return cls.of_treated(model, treat(frame, preparation, "editions()", model))

    @classmethod
    def of_treated(cls, model: Any, treated: Treated) -> Scored:
        """An edition already treated, scored by ``model``."""
        table = with_treatment(scores_of(model, treated.prepared), treated, model)
        return cls(table, treated.prepared)


@dataclass(frozen=True)
class Terms:
    """The contributions of one model on one edition, as arrays over the edition's units.

    Attributes
    ----------
    units : pandas.Index
        The edition's units.
    labels : list of tuple
        ``(dimension, indicator)``, as :func:`contributions` labels them.
    values : numpy.ndarray
        units x labels; a row is NaN where the composite is.
    absent : numpy.ndarray
        units x labels, bool: the indicator is missing in what the model
        scored (its term is then 0).
    """

    units: pd.Index
    labels: list[tuple[Any, Any]]
    values: np.ndarray
    absent: np.ndarray


class Editions:
    """Every edition of an index scored against one baseline; made by :func:`editions`.

    Attributes
    ----------
    periods : list
        The editions' labels, in order.
    baseline : str
        ``"pooled"``, ``"reference"``, ``"refit"`` or ``"given"`` (a fitted
        model scored every edition).
    reference : period label or None
        The edition fitted on, under ``"reference"``.
    models : dict
        ``{period: model}``; the same object for every period unless the
        baseline is ``"refit"``.
    preparation : Preparation, dict or None
        The preparation learnt or given (replayed on every edition), a
        dict ``{period: Preparation}`` under ``"refit"``, or None.
    presentation : Presentation or None
        The 0..100 scale fixed over all editions' composites, with
        ``scale="0-100"``.
    fingerprint : Fingerprint
        What the results were made from (see :meth:`edition_fingerprint`
        for one edition's); ``results.attrs["fingerprint"]`` holds it too.
    results : pandas.DataFrame
        Indexed by (``"period"``, ``"unit"``), periods in order; the
        columns ``"composite"``, ``"score"`` (with a scale: the composite
        on 0..100), ``"rank"`` (within the period, 1 = best),
        ``"rank_change"`` (the previous edition's rank minus this one, so
        positive means the unit climbed; NaN in the first edition and for
        a unit absent from the previous one), ``"composite_change"`` (this
        composite minus the previous one; NaN under ``"refit"``, whose
        composites do not compare), ``"score_change"`` (with a scale), one
        column per dimension (named as :func:`results` names them),
        ``"missing"`` and, with a preparation, ``"imputed"``. With a scale,
        ``results.attrs["scale"]`` is ``presentation.describe()``.
    """

    def __init__(
        self,
        *,
        frames: dict[Any, pd.DataFrame],
        models: dict[Any, Any],
        preparations: dict[Any, Preparation | None],
        scored: dict[Any, Scored],
        baseline: str,
        reference: Any,
        presentation: Presentation | None,
    ) -> None:
        self.periods: list[Any] = list(frames)
        self.baseline = baseline
        self.reference = reference
        self.models = models
        self.presentation = presentation
        self._frames = frames
        self._preparations = preparations
        self._scored = scored
        self._terms: dict[tuple[Any, Any], Terms] = {}
        self._comparability: pd.DataFrame | None = None
        self._fingerprints: dict[Any, Fingerprint] = {}
        self.results = self._results()

    # ------------------------------------------------------------ models --

    @property
    def one_model(self) -> bool:
        """Whether one model scored every edition (every baseline but ``"refit"``)."""
        return self.baseline != "refit"

    @property
    def model(self) -> Any:
        """The model that scored every edition; under ``"refit"`` an error pointing to :attr:`models`."""
        if not self.one_model:
            raise AttributeError(
                "baseline='refit' fitted one model per edition, so there is no single model: "
                "use models[period]"
            )
        return self.models[self.periods[0]]

    @property
    def preparation(self) -> Preparation | dict[Any, Preparation | None] | None:
        """The preparation replayed on every edition (``{period: Preparation}`` under refit), or None."""
        if not self.one_model and self._preparations[self.periods[0]] is not None:
            return dict(self._preparations)
        return self._preparations[self.periods[0]]

    @property
    def units(self) -> pd.Index:
        """Every unit of any edition, in order of first appearance."""
        return self.results.index.get_level_values("unit").unique()

    def __repr__(self) -> str:
        span = f"{self.periods[0]}..{self.periods[-1]}" if len(self.periods) > 1 else f"{self.periods[0]}"
        return (
            f"Editions({len(self.periods)} periods {span}, {len(self.units):,} units, "
            f"baseline={self.baseline!r})"
        )

    def plot_trajectories(self, units: Any = None, n: int = 10, **options: Any) -> Figure:
        """Every unit's composite, rank or score over the editions, a few highlighted: see :func:`plot_trajectories`."""
        from indexfuse_tools._plots.editions import plot_trajectories

        return plot_trajectories(self, units, n, **options)

    def plot_change(self, unit: Any, start: Any, end: Any, **options: Any) -> Figure:
        """A waterfall of what each indicator added to one unit's change: see :func:`plot_change`."""
        from indexfuse_tools._plots.editions import plot_change

        return plot_change(self, unit, start, end, **options)

    # ------------------------------------------------------- fingerprints --

    def edition_fingerprint(self, period: Any) -> Fingerprint:
        """What the results of edition ``period`` were made from: its model, preparation, raw table and units.

        A report or an explorer page of that edition (``report(model,
        editions.frame(period), ..., editions=editions)``) has the same.
        """
        self._require_period(period, "period")
        if period not in self._fingerprints:
            self._fingerprints[period] = fingerprint(
                self.models[period], self._preparations[period], self._frames[period]
            )
        return self._fingerprints[period]

    @property
    def fingerprint(self) -> Fingerprint:
        """What every edition's results were made from, as one :class:`Fingerprint`.

        Its model part is the one model's (every model's together under
        ``"refit"``), its preparation part likewise; its data and units
        parts cover every edition, each named by its period.
        """
        parts = [self.edition_fingerprint(period) for period in self.periods]
        labels = [label_digest(period) for period in self.periods]

        def one(values: list[str]) -> str:
            return values[0] if len(set(values)) == 1 else combined(values)

        return Fingerprint(
            one([part.model for part in parts]),
            one([part.preparation for part in parts]),
            combined(digest for label, part in zip(labels, parts) for digest in (label, part.data)),
            combined(digest for label, part in zip(labels, parts) for digest in (label, part.units)),
        )

    # ----------------------------------------------------------- results --

    def _results(self) -> pd.DataFrame:
        tables = []
        previous: pd.DataFrame | None = None
        for key in self.periods:
            table = self._scored[key].table.copy()
            if self.presentation is not None:
                table["score"] = self.presentation.apply(table["composite"])
            if previous is None:
                table["rank_change"] = np.nan
                table["composite_change"] = np.nan
            else:
                before = previous.reindex(table.index)
                table["rank_change"] = before["rank"] - table["rank"]
                table["composite_change"] = (
                    table["composite"] - before["composite"] if self.one_model else np.nan
                )
            if self.presentation is not None:
                table["score_change"] = table["composite_change"] * _factor(self.presentation)
            previous = table
            tables.append(table)
        whole = pd.concat(tables, keys=self.periods, names=["period", "unit"])
        leading = [c for c in _LEADING if c in whole.columns]
        trailing = [c for c in _TRAILING if c in whole.columns]
        dimensions = [c for c in whole.columns if c not in leading and c not in trailing]
        whole = whole[leading + dimensions + trailing]
        if self.presentation is not None:
            whole.attrs["scale"] = self.presentation.describe()
        whole.attrs["fingerprint"] = self.fingerprint
        return whole

    @property
    def dimensions(self) -> list[str]:
        """The results' dimension columns."""
        return [c for c in self.results.columns if c not in _LEADING and c not in _TRAILING]

    def trajectory(self, unit: Any) -> pd.DataFrame:
        """One unit over the editions it appears in.

        Parameters
        ----------
        unit : label
            A unit of any edition.

        Returns
        -------
        pandas.DataFrame
            Indexed by period: ``"composite"``, ``"score"`` (with a scale),
            ``"rank"``, ``"rank_change"``, ``"composite_change"`` and the
            dimensions, as in :attr:`results`.

        Raises
        ------
        KeyError
            If no edition has ``unit`` (near labels are suggested).
        """
        self._require_unit(unit)
        columns = [
            c for c in ("composite", "score", "rank", "rank_change", "composite_change") if c in self.results
        ] + self.dimensions
        rows = self.results.xs(unit, level="unit")
        assert isinstance(rows, pd.DataFrame)
        return rows[columns]

    def _require_unit(self, unit: Any) -> None:
        units = self.units
        try:
            known = unit in units
        except TypeError:
            known = False
        if known:
            return
        near = difflib.get_close_matches(str(unit), [str(u) for u in units], n=3)
        hint = f"; did you mean {show(near)}?" if near else ""
        raise KeyError(f"unit {unit!r} is in no edition{hint}")

    def _require_period(self, period: Any, name: str) -> None:
        if period not in self.periods:
            raise KeyError(f"{name}={period!r} is not a period; the periods are {show(self.periods)}")

    # ------------------------------------------------------ contributions --

    def terms_of(self, model_period: Any, data_period: Any) -> Terms:
        """The contributions of the model of ``model_period`` on the edition ``data_period``, computed once.

        Under one model every ``model_period`` gives the same terms.
        """
        key = (None if self.one_model else model_period, data_period)
        if key not in self._terms:
            self._terms[key] = self._compute_terms(model_period, data_period)
        return self._terms[key]

    def _compute_terms(self, model_period: Any, data_period: Any) -> Terms:
        frame = self._frames[data_period]
        # The same preparation gives the same rows whatever model scores them.
        same = self._preparations[model_period] is self._preparations[data_period]
        if model_period == data_period or self.one_model or same:
            scored = self._scored[data_period].scored
        else:
            scored = Scored.of(self.models[model_period], frame, self._preparations[model_period]).scored
        table = contributions(self.models[model_period], scored).reindex(frame.index)
        labels: list[tuple[Any, Any]] = [(label[0], label[1]) for label in table.columns]
        values = table.to_numpy(np.float64)
        present = scored.reindex(frame.index)
        absent = np.column_stack([present[label[1]].isna().to_numpy() for label in labels])
        return Terms(frame.index, labels, values, absent)

    @property
    def terms(self) -> list[tuple[Any, Any]]:
        """The term columns of :meth:`change`: ``(dimension, indicator)`` as :func:`contributions` labels them."""
        labels: list[tuple[Any, Any]] = []
        for key in self.periods[:1] if self.one_model else self.periods:
            for label in self.terms_of(key, key).labels:
                if label not in labels:
                    labels.append(label)
        return labels

    # ------------------------------------------------------- what it says --

    @property
    def comparability(self) -> pd.DataFrame:
        """What keeps the editions from comparing as they stand, one row per finding.

        Columns ``"finding"``, ``"period"``, ``"unit"``, ``"indicator"``,
        ``"amount"`` and ``"detail"`` (a sentence), sorted by period then
        finding. The findings:

        - ``"unit entering"`` / ``"unit leaving"``: a unit present in an
          edition and absent from the previous one, or the reverse (the
          period is the edition where it appears, or first lacks);
        - ``"indicator missing in edition"``: no unit has the indicator
          (amount: the number of units);
        - ``"indicator missing for unit"``: one unit lacks it (in the data
          as given, before any preparation);
        - ``"outside fitted range"``: per period and indicator, values
          beyond the lowest or highest value the model was fitted on, which
          its scale stretches past 0..1; amount is the largest distance
          past the range as a share of the fitted range (0.1: a tenth of
          the range beyond it); the units are named in the detail;
        - ``"not comparable"`` (``"refit"`` only), one per edition after
          the first: composites of different editions come from different
          models; ranks compare.
        """
        if self._comparability is None:
            self._comparability = findings(self)
        return self._comparability

    def change(self, start: Any, end: Any, *, units: Any = None) -> pd.DataFrame:
        """The exact attribution of each unit's change in composite from ``start`` to ``end``.

        Under one model (baseline ``"pooled"``, ``"reference"`` or ``"given"``)
        the composite is the sum of one term per indicator
        (:func:`contributions`), so the change is the sum of the changes of the
        terms, exactly. Under ``"refit"`` the two editions are scored by two
        models, and the change is split between the data and the method by the
        two-factor Shapley rule, the average over both orders of changing one
        factor at a time: with ``t_i(d, m)`` the term of indicator ``i`` on the
        data of edition ``d`` under the model (and preparation) of edition
        ``m``, and ``C`` their sum,

        - data term of ``i`` = 1/2 [(t_i(d1, m0) - t_i(d0, m0)) + (t_i(d1, m1) - t_i(d0, m1))],
        - ``method`` = 1/2 [(C(d0, m1) - C(d0, m0)) + (C(d1, m1) - C(d1, m0))].

        Parameters
        ----------
        start, end : period labels
            The two editions.
        units : label or list-like, optional
            The units to show, in this order; one label alone (``"Ohio"``,
            or a tuple where the units are tuples) is one unit. By default
            every unit of the start edition, then those of the end edition
            it lacks.

        Returns
        -------
        pandas.DataFrame
            Indexed by unit. The columns are a ``MultiIndex`` of two levels,
            ``"dimension"`` and ``"indicator"``, as :func:`contributions` has
            them: the indicator terms are ``(dimension, indicator)`` and the
            other columns ``(name, "")``, which pandas selects by their name
            alone (``table["change"]`` is a Series, ``table.loc[unit,
            "change"]`` a number), while ``table["economy"]`` holds the terms of
            one dimension. (A dimension named like one of the other columns is
            selected together with it: select its terms by their tuples.)

            - ``"status"``: ``"both"``, ``"start only"`` or ``"end only"``; a
              unit at one end only has NaN composite at the other and NaN
              terms;
            - ``"start"``, ``"end"``: the composites (as in ``results``);
            - ``"change"``: ``end - start``;
            - one column per indicator term, labelled ``(dimension, indicator)``
              exactly as :func:`contributions` labels its columns (the list is
              :attr:`terms`); an indicator of two dimensions has two;
            - ``"missing"``: the part of the change due to indicators present at
              one end and missing at the other (in what the model scored), taken
              out of those indicators' terms: a missing indicator's term is 0,
              so its whole term appears or vanishes;
            - ``"method"``: the part due to the change of model; 0 except under
              ``"refit"``.

            For every unit at both ends with finite composites, the terms plus
            ``"missing"`` plus ``"method"`` add up to ``"change"`` to within
            1e-12 of the sum of their absolute values. A unit whose composite
            is NaN at one end (a dimension wholly missing, or a row the
            preparation drops) has NaN terms.

        Raises
        ------
        KeyError
            If ``start`` or ``end`` is not a period, or a unit of ``units``
            is in neither edition.

        Examples
        --------
        >>> import pandas as pd
        >>> from indexfuse_tools import editions
        >>> data = pd.DataFrame({
        ...     "year": [2020] * 4 + [2021] * 4,
        ...     "region": ["n", "s", "e", "w"] * 2,
        ...     "gdp": [1.0, 2.0, 3.0, 4.0, 1.5, 2.0, 3.5, 3.0],
        ...     "jobs": [2.0, 2.5, 3.0, 5.0, 2.5, 2.0, 3.0, 4.5],
        ...     "crime": [4.0, 3.0, 2.5, 1.0, 3.5, 3.0, 2.0, 1.5]})
        >>> ed = editions({"economy": ["gdp", "jobs"], "safety": [("crime", -1)]}, data,
        ...               period="year", unit="region")
        >>> table = ed.change(2020, 2021)
        >>> table.columns.tolist()[:4]
        [('status', ''), ('start', ''), ('end', ''), ('change', '')]
        >>> ed.terms
        [('economy', 'gdp'), ('economy', 'jobs'), ('safety', 'crime')]
        >>> table.loc["n", "change"].round(4)
        np.float64(0.1667)
        >>> table.loc["n", ed.terms].round(4).tolist()
        [0.0398, 0.0436, 0.0833]
        >>> table["economy"].columns.tolist()
        ['gdp', 'jobs']
        """
        self._require_period(start, "start")
        self._require_period(end, "end")
        return attribute(self, start, end, units)

    def frame(self, period: Any) -> pd.DataFrame:
        """The edition ``period`` as given, indexed by unit (not a copy: do not modify)."""
        self._require_period(period, "period")
        return self._frames[period]

    # -------------------------------------------------------- new editions --

    @classmethod
    def scored_by(
        cls,
        model: Any,
        frames: dict[Any, pd.DataFrame],
        preparation: Preparation | None,
        *,
        baseline: str,
        reference: Any = None,
        presentation: Presentation | None = None,
    ) -> Editions:
        """Editions scored by one model fitted already, under the name of the baseline it was fitted for.

        For a model read back from a file: ``frames`` are the editions in
        period order, indexed by unit, and nothing is fitted or learnt.
        """
        return cls(
            frames=frames,
            models=dict.fromkeys(frames, model),
            preparations=dict.fromkeys(frames, preparation),
            scored={key: Scored.of(model, frame, preparation) for key, frame in frames.items()},
            baseline=baseline,
            reference=reference,
            presentation=presentation,
        )

    def rescaled(self, presentation: Presentation | None) -> Editions:
        """The same editions shown on another presentation scale (None: none), nothing scored again."""
        return Editions(
            frames=self._frames, models=self.models, preparations=self._preparations, scored=self._scored,
            baseline=self.baseline, reference=self.reference, presentation=presentation,
        )  # fmt: skip

    def with_edition(self, period: Any, frame: pd.DataFrame) -> Editions:
        """These editions and a new one after them, scored by the model and preparation that scored them.

        Nothing is fitted or learnt again and the presentation scale is kept,
        so every earlier edition's results stay as they are, to the bit.

        Parameters
        ----------
        period : period label
            The new edition's label; it must sort after every period.
        frame : pandas.DataFrame
            The new edition, indexed by unit, with the indicator columns.

        Raises
        ------
        ValueError
            Under ``"refit"`` (there is no one model to score it with), for a
            period that is not after the last, and as :func:`results` raises
            it (a table prepared already is refused).
        """
        if not self.one_model:
            raise ValueError("baseline='refit' fits a model per edition: there is no one model to score a new edition")
        try:
            later = bool(period > self.periods[-1])
        except TypeError:
            later = False
        if not later:
            raise ValueError(
                f"a new edition comes after the last one ({self.periods[-1]!r}); got period={period!r}"
            )
        model, preparation = self.models[self.periods[-1]], self._preparations[self.periods[-1]]
        return Editions(
            frames={**self._frames, period: frame},
            models={**self.models, period: model},
            preparations={**self._preparations, period: preparation},
            scored={**self._scored, period: Scored.of(model, frame, preparation)},
            baseline=self.baseline,
            reference=self.reference,
            presentation=self.presentation,
        )

    def scored(self, period: Any) -> pd.DataFrame:
        """The rows of edition ``period`` its model scored, after any preparation (not a copy)."""
        self._require_period(period, "period")
        return self._scored[period].scored


def _factor(presentation: Presentation) -> float:
    span = presentation.high - presentation.low
    return 100.0 / span if span > 0 else 0.0
