"""The published index as one object: its raw data, treatment, model, scale and analyses, and every output drawn from them."""

from __future__ import annotations

import math
import os
from collections.abc import Hashable, Mapping
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

import indexfuse
from indexfuse_tools._core import (
    Fingerprint,
    Presentation,
    as_frame,
    check_scale,
    fingerprint,
    is_finite,
    is_real,
    move_verdict,
    over_editions,
    presentation,
    show,
    unique_units,
)
from indexfuse_tools._editions import Editions, editions, split_editions
from indexfuse_tools._preparation import Preparation, prepare
from indexfuse_tools._results import refuse_marked, scores_of, with_presentation
from tessel.modelbench import entropy

if TYPE_CHECKING:
    from indexfuse_tools._audit import Audit
    from indexfuse_tools._robustness import RobustnessResult
    from indexfuse_tools._weighting import WeightUncertainty

__all__ = ["BUILD_BASELINES", "Index"]

#: The baselines an index with editions is published against: each gives one model for every edition.
BUILD_BASELINES = ("pooled", "reference")
_BUILD = "Index.build()"


class Index:
    """A published composite index as one object, from which every output is drawn.

    It holds the raw table, its treatment (a :class:`Preparation`, learnt
    or given), the published model (one fit, or the model of the editions'
    baseline), the presentation scale fixed once, the editions when the
    index has periods, and the robustness analyses made of it. Its results,
    audit, report and explorer page all come from these, so that a unit and
    an edition have one composite, one score and one rank in every output;
    and each output carries the index's :class:`Fingerprint`.

    Build one with :meth:`build`, read one with :meth:`load`; publish the
    next edition with :meth:`add_edition`.

    Attributes
    ----------
    schema : dict, list or tuple
        The model's schema.
    model : indexfuse.indexpca_diment
        The published model. With editions, the baseline's: fitted on every
        edition stacked (``"pooled"``) or on the reference edition.
    preparation : Preparation or None
        The treatment replayed on the raw table before scoring.
    preparation_options : dict or None
        The options of :func:`prepare` the preparation was learnt with,
        when it was learnt by :meth:`build` (the robustness analysis learns
        again with them); None when it was given as it is.
    period, unit : column label or None
        The columns naming the editions and the units of the raw table.
    baseline : str or None
        ``"pooled"`` or ``"reference"`` for an index with editions, else None.
    reference : period label or None
        The edition fitted on, under ``"reference"``.
    fitted_on : tuple
        The editions the model was fitted on (every edition built with under
        ``"pooled"``, the reference edition under ``"reference"``); empty
        without editions. Editions added later are scored, not fitted on.
    presentation : Presentation or None
        The 0..100 scale, fixed once: every score of every output is on it.
    editions : Editions or None
        Every edition scored by the model, with the attribution of changes
        and the comparability findings; None without periods.
    model_args : dict
        The model's arguments (``scale_method``, ``pca_cumulative``,
        ``ent_k``) and the entropy ``resolution`` it was fitted at.
    analyses : dict
        ``{period: RobustnessResult}`` (the period None without editions):
        the robustness analyses made by :meth:`robustness`, which the report
        and the explorer show.
    weight_review : WeightUncertainty or None
        The review of the weights made by :meth:`weight_uncertainty`, which
        the report shows (not kept in the index file: make it again after
        :meth:`load`).
    """

    def __init__(
        self,
        *,
        schema: Any,
        model: indexfuse.indexpca_diment,
        preparation: Preparation | None,
        preparation_options: dict[str, Any] | None,
        raw: pd.DataFrame | None,
        editions: Editions | None,
        period: Hashable | None,
        unit: Hashable | None,
        fitted_on: tuple[Any, ...],
        presentation: Presentation | None,
        model_args: dict[str, Any],
        analyses: dict[Any, RobustnessResult] | None = None,
        weight_review: WeightUncertainty | None = None,
    ) -> None:
        self.schema = schema
        self.model = model
        self.preparation = preparation
        self.preparation_options = preparation_options
        self.period = period
        self.unit = unit
        self.fitted_on = fitted_on
        self.presentation = presentation
        self.editions = editions
        self.model_args = dict(model_args)
        self.analyses: dict[Any, RobustnessResult] = dict(analyses or {})
        self.weight_review = weight_review
        self._raw = raw
        self._results: pd.DataFrame | None = None

    # ------------------------------------------------------------ building --

    @classmethod
    def build(
        cls,
        schema: Any,
        data: pd.DataFrame,
        *,
        preparation: Preparation | Mapping[str, Any] | None = None,
        period: Hashable | None = None,
        unit: Hashable | None = None,
        baseline: str = "pooled",
        reference: Any = None,
        scale: str | None = None,
        anchor: Any = None,
        **model_args: Any,
    ) -> Index:
        """Fit the published index on a raw table, with or without editions.

        Parameters
        ----------
        schema : dict, list or tuple
            The model's schema, as ``indexfuse.indexpca_diment`` takes it.
        data : pandas.DataFrame
            The raw table: one row per unit (named by its row labels, or by
            the ``unit`` column), or with ``period`` one row per unit and
            edition. Copied: changing it later changes nothing here, and it
            is never modified.
        preparation : Preparation or dict, optional
            The treatment before scoring: a :class:`Preparation` replayed as
            it is, or :func:`prepare`'s options, learnt where the model is
            fitted (the table; the editions stacked under ``"pooled"``; the
            reference edition under ``"reference"``).
        period : column label, optional
            The column holding the editions' labels: the index then has
            editions (see :func:`editions`).
        unit : column label, optional
            The column naming the units; by default the row labels.
        baseline : {"pooled", "reference"}, default "pooled"
            With ``period``: one model fitted on every edition stacked, or on
            the ``reference`` edition alone and every edition scored with it
            (a frozen baseline). ``"refit"`` gives no single index (one model
            per edition, composites that do not compare): :func:`editions`
            compares such editions.
        reference : period label, optional
            With ``baseline="reference"``: the edition to fit on (the first
            by default).
        scale : {"0-100"}, optional
            Show every score on 0..100, fixed once: over every unit of every
            edition (each unit counted once), unless ``anchor`` says
            otherwise. Saved with the index: editions added later keep it.
        anchor : tuple of two numbers, or period label, optional
            What 0 and 100 are: ``(low, high)``, two composite values an
            analyst chose (such as the composites of two benchmark units),
            or an edition, whose lowest and highest composites they are.
            Implies ``scale="0-100"``.
        **model_args
            The model's arguments (``scale_method``, ``pca_cumulative``,
            ``ent_k``) and ``resolution``, the entropy resolution to fit at
            (by default the one in effect).

        Returns
        -------
        Index

        Raises
        ------
        TypeError
            If ``schema`` is not a dict, list or tuple, ``data`` not a
            DataFrame, or ``preparation`` neither a Preparation, a dict nor
            None.
        ValueError
            For a baseline other than ``"pooled"`` or ``"reference"``, a
            ``reference``, ``baseline`` or ``anchor`` that does not fit, a
            table that repeats a unit (per edition), a table that looks
            already prepared while a Preparation is given, and as
            :func:`editions`, :func:`prepare` and the model's ``fit`` raise
            it.
        KeyError
            If ``period`` or ``unit`` is not a column.

        Examples
        --------
        >>> import pandas as pd
        >>> from indexfuse_tools import Index
        >>> data = pd.DataFrame({
        ...     "year": [2020] * 4 + [2021] * 4,
        ...     "region": ["n", "s", "e", "w"] * 2,
        ...     "gdp": [1.0, 2.0, 3.0, 4.0, 1.5, 2.0, 3.5, 3.0],
        ...     "crime": [4.0, 3.0, 2.5, 1.0, 3.5, 3.0, 2.0, 1.5]})
        >>> index = Index.build({"economy": ["gdp"], "safety": [("crime", -1)]}, data,
        ...                     period="year", unit="region", scale="0-100")
        >>> index
        Index(2 editions 2020..2021, 4 units, baseline='pooled', scale 0-100)
        >>> index.results(2021)[["score", "rank"]].round(1)
              score  rank
        unit
        n      16.7   4.0
        s      33.3   3.0
        e      75.0   1.0
        w      75.0   2.0
        """
        if not isinstance(schema, (dict, list, tuple)):
            raise TypeError(f"{_BUILD}: schema must be a dict, list or tuple, got {type(schema).__name__}")
        raw = as_frame(data).copy()
        check_scale(scale)
        if anchor is not None:
            scale = "0-100"
            _check_anchor(anchor, raw, period)
        resolution = _resolution(model_args.pop("resolution", None))
        options = _options(preparation)
        if period is None:
            if baseline != "pooled" or reference is not None:
                raise ValueError(f"{_BUILD}: baseline and reference choose how editions are scored; give period= too")
            return cls._single(schema, raw, preparation, options, unit, scale, anchor, resolution, model_args)
        if baseline not in BUILD_BASELINES:
            hint = (
                "; baseline='refit' fits one model per edition, whose composites do not compare, so it publishes "
                "no single index: compare such editions with editions(..., baseline='refit')"
                if baseline == "refit"
                else ""
            )
            raise ValueError(f"{_BUILD}: baseline must be one of {show(BUILD_BASELINES)}, got {baseline!r}{hint}")
        if isinstance(preparation, Preparation):
            refuse_marked(raw, preparation, _BUILD)
        with entropy.resolution(resolution):
            found = editions(
                schema, raw, period=period, unit=unit, baseline=baseline, reference=reference,
                preparation=preparation, **model_args,
            )  # fmt: skip
        fitted_on = tuple(found.periods) if baseline == "pooled" else (found.reference,)
        shown = _anchored(scale, anchor, found)
        prepared = found.preparation
        assert prepared is None or isinstance(prepared, Preparation)  # one model, one preparation
        return cls(
            schema=schema, model=found.model, preparation=prepared, preparation_options=options, raw=None,
            editions=found.rescaled(shown), period=period, unit=unit, fitted_on=fitted_on, presentation=shown,
            model_args={**model_args, "resolution": resolution},
        )  # fmt: skip

    @classmethod
    def _single(
        cls,
        schema: Any,
        raw: pd.DataFrame,
        preparation: Any,
        options: dict[str, Any] | None,
        unit: Hashable | None,
        scale: str | None,
        anchor: Any,
        resolution: float,
        model_args: dict[str, Any],
    ) -> Index:
        """An index of one table: its rows are the units."""
        if unit is not None:
            if unit not in raw.columns:
                raise KeyError(f"{_BUILD}: unit={unit!r} is not a column of data")
            raw = raw.set_index(unit)
        unique_units(raw.index, _BUILD)
        if options is not None:
            fitted_on, _, learnt = prepare(schema, raw, **options)
        elif preparation is not None:
            refuse_marked(raw, preparation, _BUILD)
            fitted_on, learnt = preparation.apply(raw)[0], preparation
        else:
            fitted_on, learnt = raw, None
        model = indexfuse.indexpca_diment(schema, **model_args)
        with entropy.resolution(resolution):
            model.fit(fitted_on)
        index = cls(
            schema=schema, model=model, preparation=learnt, preparation_options=options, raw=raw, editions=None,
            period=None, unit=unit, fitted_on=(), presentation=None,
            model_args={**model_args, "resolution": resolution},
        )  # fmt: skip
        composite = index._scores()["composite"]
        if _is_pair(anchor):
            index.presentation = _given(anchor)
        elif anchor is not None:
            raise ValueError(
                f"{_BUILD}: anchor is two composite values (low, high), or with editions an edition; got {anchor!r}"
            )
        else:
            index.presentation = presentation(composite, scale)
        return index

    # ------------------------------------------------------------- reading --

    @property
    def periods(self) -> list[Any]:
        """The editions' labels, in order; empty without editions."""
        return [] if self.editions is None else list(self.editions.periods)

    @property
    def data(self) -> pd.DataFrame:
        """The raw table (not a copy: do not modify).

        With editions, every edition stacked in period order, the period
        (and the unit column, when the units were named by one) as columns.
        """
        if self.editions is None:
            assert self._raw is not None
            return self._raw
        frames = {period: self.editions.frame(period) for period in self.periods}
        stacked = pd.concat(list(frames.values()), keys=list(frames), names=[self.period, "unit"])
        if self.unit is None:
            return stacked.reset_index(level=0)
        return stacked.rename_axis([self.period, self.unit]).reset_index()

    @property
    def fingerprint(self) -> Fingerprint:
        """What the index's results are made from: its model, preparation, raw table and units."""
        if self.editions is not None:
            return self.editions.fingerprint
        assert self._raw is not None
        return fingerprint(self.model, self.preparation, self._raw)

    def __repr__(self) -> str:
        scale = ", scale 0-100" if self.presentation is not None else ""
        if self.editions is None:
            assert self._raw is not None
            return f"Index({len(self._raw):,} units{scale})"
        periods = self.periods
        span = f"{periods[0]}..{periods[-1]}" if len(periods) > 1 else f"{periods[0]}"
        return (
            f"Index({len(periods)} editions {span}, {len(self.editions.units):,} units, "
            f"baseline={self.baseline!r}{scale})"
        )

    @property
    def baseline(self) -> str | None:
        """``"pooled"`` or ``"reference"`` with editions, else None."""
        return None if self.editions is None else self.editions.baseline

    @property
    def reference(self) -> Any:
        """The reference edition under ``"reference"``, else None."""
        return None if self.editions is None else self.editions.reference

    def edition(self, period: Any = None) -> Any:
        """``period`` checked to be an edition of the index; the latest edition for None (None without editions)."""
        if self.editions is None:
            if period is not None:
                raise ValueError(f"this index has no editions, so period must be None, got {period!r}")
            return None
        if period is None:
            return self.periods[-1]
        if period not in self.periods:
            raise KeyError(f"period={period!r} is not an edition of the index; they are {show(self.periods)}")
        return period

    def frame(self, period: Any = None) -> pd.DataFrame:
        """The raw table of one edition (the latest by default), indexed by unit; the whole table without editions."""
        chosen = self.edition(period)
        if self.editions is None:
            assert self._raw is not None
            return self._raw
        return self.editions.frame(chosen)

    # ------------------------------------------------------------- results --

    def _scores(self) -> pd.DataFrame:
        """The results of an index without editions, scored once."""
        if self._results is None:
            assert self._raw is not None
            self._results = scores_of(self.model, self._raw, preparation=self.preparation)
        return self._results

    def results(self, period: Any = None) -> pd.DataFrame:
        """Composite, score, rank, dimension values and missing counts of every unit.

        Parameters
        ----------
        period : period label, optional
            One edition: its units alone, indexed by unit, with the changes
            from the previous edition. By default every edition, indexed by
            (period, unit), as :attr:`Editions.results` has them (or the one
            table of an index without editions).

        Returns
        -------
        pandas.DataFrame
            As :func:`results` (and :attr:`Editions.results`) give it, the
            score on the index's presentation scale;
            ``attrs["fingerprint"]`` says what it was made from (the
            edition's, for one edition) and ``attrs["scale"]`` states the
            scale.
        """
        if self.editions is None:
            self.edition(period)
            table = with_presentation(self._scores().copy(), self.presentation)
            table.attrs["fingerprint"] = self.fingerprint
            return table
        if period is None:
            whole = self.editions.results.copy()
            whole.attrs["fingerprint"] = self.editions.fingerprint
            return whole
        chosen = self.edition(period)
        table = pd.DataFrame(self.editions.results.loc[chosen]).copy()
        table.attrs = {key: value for key, value in self.editions.results.attrs.items() if key != "fingerprint"}
        table.attrs["fingerprint"] = self.editions.edition_fingerprint(chosen)
        return table

    # ---------------------------------------------------------- robustness --

    def robustness(
        self,
        *,
        period: Any = None,
        factors: Mapping[str, Any] | None = None,
        method: str = "sobol",
        n: int = 1024,
        seed: int | None = 0,
        scheduler: Any = None,
        progress: bool = True,
        errors: Mapping[Any, Any] | None = None,
        confidence: float | None = None,
        since: Any = None,
        moves: bool = True,
    ) -> RobustnessResult:
        """How far the published ranks move under the other defensible choices; kept with the index.

        The analysis is of the published index: the nominal index is the
        published model's configuration fitted on the table it was fitted
        on, after the published preparation replayed as it is, so its
        nominal ranks are the published ranks, exactly. The factors vary
        around it as :func:`robustness` describes, a treatment level other
        than the published one learning a preparation again from
        :attr:`preparation_options` (or :attr:`Preparation.options`) on
        the rows the model is fitted on.

        With editions, each run refits on the editions the model was
        fitted on (every edition stacked under ``"pooled"``, the reference
        edition under ``"reference"``), scores them and the edition
        analysed, and ranks the units of that edition among themselves: the
        rank intervals are that edition's.

        With editions, the same runs also give each unit's move since an
        earlier edition (``since``, by default the first, as the report's
        risers and fallers count them): in every run both editions are
        scored by the run's index and ranked each among its own units, and
        the places climbed and the change of composite between them are
        kept; :attr:`RobustnessResult.moves` holds their 5-95% intervals
        next to the published moves. A move whose interval of places
        excludes zero is beyond the method's uncertainty.

        Parameters
        ----------
        period : period label, optional
            The edition whose ranks are analysed; the latest by default.
        factors, method, n, seed, scheduler, progress, errors, confidence
            As :func:`robustness` takes them. With editions, a column of
            standard errors is one of every edition's tables.
        since : period label, optional
            The earlier edition the moves are measured from; by default the
            first edition (none when ``period`` is the first).
        moves : bool, default True
            False leaves the moves out (their two series of every run go
            to the spill directory and cost some time).

        Returns
        -------
        RobustnessResult
            Also kept in :attr:`analyses` under the edition (None without
            editions), where :meth:`report`, :meth:`explorer` and
            :meth:`changes` find it; its ``fingerprint`` is the edition's.
        """
        from indexfuse_tools._robustness import analyse

        chosen = self.edition(period)
        earlier = self._earlier(chosen, since) if moves else None
        raw, fitted, ranked, before = self._analysed_rows(chosen, earlier)
        shown = self.fingerprint if self.editions is None else self.editions.edition_fingerprint(chosen)
        result = analyse(
            self.schema, raw, factors=factors, method=method, n=n, seed=seed, scheduler=scheduler,
            progress=progress, preparation=self.preparation, options=self.preparation_options, fitted=fitted,
            ranked=ranked, fingerprint=shown, errors=errors, confidence=confidence, since=before, **self.model_args,
        )  # fmt: skip
        if result.moves is not None:
            result.moves.attrs.update(since=earlier, until=chosen)
        published = self.results(chosen)["rank"]
        nominal = result.ranks["nominal"]
        if not np.array_equal(nominal.to_numpy(), published.reindex(nominal.index).to_numpy(), equal_nan=True):
            raise RuntimeError(
                "the robustness analysis's nominal ranks are not the published ranks: the nominal index is not "
                "the published one (was the model changed after it was built?)"
            )
        self.analyses[chosen] = result
        return result

    def _earlier(self, period: Any, since: Any) -> Any:
        """The edition the moves of ``period`` are measured from: ``since`` checked, or the first; None for none."""
        if self.editions is None:
            if since is not None:
                raise ValueError(f"this index has no editions, so since must be None, got {since!r}")
            return None
        if since is None:
            first = self.periods[0]
            return None if first == period else first
        earlier = self.edition(since)
        if self.periods.index(earlier) >= self.periods.index(period):
            raise ValueError(f"since={since!r} is an edition before the one analysed, {period!r}")
        return earlier

    def _analysed_rows(
        self, period: Any, earlier: Any = None
    ) -> tuple[pd.DataFrame, int | None, np.ndarray | None, np.ndarray | None]:
        """The raw rows an analysis of edition ``period`` fits on and scores, how many it fits on, which it ranks,
        and which are those of the ``earlier`` edition its moves are measured from (None: no moves).

        The editions the model was fitted on come first, stacked; then, in
        period order, the edition analysed and the earlier one, when the
        model was not fitted on them.
        """
        if self.editions is None:
            assert self._raw is not None
            return self._raw, None, None, None
        fitted_on = list(self.fitted_on)
        extra = [key for key in self.periods if key in (period, earlier) and key is not None and key not in fitted_on]
        shown = [*fitted_on, *extra]
        frames = [self.editions.frame(key) for key in shown]
        stacked = pd.concat(frames, keys=shown, names=["period", "unit"])
        fitted = None if not extra else sum(len(frame) for frame in frames[: len(fitted_on)])

        def rows(key: Any) -> np.ndarray:
            start = sum(len(frame) for frame in frames[: shown.index(key)])
            return np.arange(start, start + len(frames[shown.index(key)]))

        return stacked, fitted, rows(period), None if earlier is None else rows(earlier)

    def changes(self, *, since: Any = None, until: Any = None) -> pd.DataFrame:
        """Each unit's move between two editions, with its interval over the runs of a robustness analysis.

        Read from the analysis of edition ``until`` that :meth:`robustness`
        made and kept (its :attr:`RobustnessResult.moves`); nothing is run
        again.

        Parameters
        ----------
        since : period label, optional
            The earlier edition; by default the one the analysis measured
            the moves from (the first edition, unless it was given another).
        until : period label, optional
            The later edition; the latest by default.

        Returns
        -------
        pandas.DataFrame
            One row per unit of ``until``: ``rank_change`` (places climbed),
            ``composite_change``, each with its 5-95% interval over the runs
            (``_p5``, ``_p95``), ``beyond`` (the interval of places excludes
            zero), ``composite_beyond`` (that of the composite's change
            does) and ``verdict``, the words the report prints of the places.

        Raises
        ------
        LookupError
            When no analysis of ``until`` with the moves since ``since`` is
            kept: the message says which call makes it.
        """
        if self.editions is None:
            raise ValueError("changes() needs editions: this index has one table")
        later = self.edition(until)
        wanted = None if since is None else self.edition(since)
        analysis = self.analyses.get(later)
        moves = None if analysis is None else analysis.moves
        if moves is None or (wanted is not None and moves.attrs.get("since") != wanted):
            asked = f", since={wanted!r}" if wanted is not None else ""
            raise LookupError(
                f"no robustness analysis of edition {later!r} with the moves since "
                f"{wanted if wanted is not None else 'an earlier edition'!r} is kept: run "
                f"index.robustness(period={later!r}{asked}) first"
            )
        table = moves.copy()
        table["verdict"] = pd.Series(
            [None if change != change else move_verdict(beyond) for change, beyond in zip(table["rank_change"], table["beyond"])],
            index=table.index, dtype=object,
        )
        return table

    def weight_uncertainty(
        self, *, n: int = 1000, seed: int = 0, scheduler: Any = None, level: float = 0.9, progress: bool = False
    ) -> WeightUncertainty:
        """Can the published weights be trusted? :func:`weight_uncertainty` of this index; kept with it.

        The review refits the published model's configuration (its schema
        and arguments, at its entropy resolution) on the rows it was fitted
        on, after the published preparation: the table, or with editions
        every edition fitted on stacked (under ``"pooled"``, each unit once
        per edition) or the reference edition. Its nominal weights are the
        published ones.

        Parameters
        ----------
        n, seed, scheduler, level, progress
            As :func:`weight_uncertainty` takes them.

        Returns
        -------
        WeightUncertainty
            Also kept as :attr:`weight_review`, which :meth:`report` shows.
        """
        from indexfuse_tools._weighting import weight_uncertainty

        review = weight_uncertainty(
            self.schema, self._fitted_rows(), n=n, seed=seed, scheduler=scheduler, level=level, progress=progress,
            **self.model_args,
        )  # fmt: skip
        self.weight_review = review
        return review

    def _fitted_rows(self) -> pd.DataFrame:
        """The rows the published model was fitted on, as it saw them: after the preparation, editions stacked."""
        if self.editions is None:
            assert self._raw is not None
            return self._raw if self.preparation is None else self.preparation.apply(self._raw)[0]
        frames = [self.editions.scored(period) for period in self.fitted_on]
        if len(frames) == 1:
            return frames[0]
        return pd.concat(frames, keys=list(self.fitted_on), names=["period", "unit"])

    # ------------------------------------------------------------- outputs --

    def audit(self, *, period: Any = None, external: pd.DataFrame | pd.Series | None = None) -> Audit:
        """:func:`audit` of one edition (the latest by default), or of the table without editions."""
        from indexfuse_tools._audit import audit

        return audit(self.model, self.frame(period), external=external, preparation=self.preparation)

    def report(
        self, path: str | os.PathLike[str], *, period: Any = None, explorer: str | os.PathLike[str] | None = None,
        **options: Any,
    ) -> Path:  # fmt: skip
        """Write the report of one edition (the latest by default) to one HTML file: see :func:`report`.

        The report shows the published model on the edition's raw table
        after the preparation, every score on the index's scale, the
        robustness analysis of that edition when :meth:`robustness` made
        one, the review of the weights when :meth:`weight_uncertainty` made
        one, and with editions the "Over time" section. ``explorer`` writes
        the explorer page beside it, from the same parts.

        Parameters
        ----------
        path : str or os.PathLike
            Where to write the page.
        period : period label, optional
            The edition reported.
        explorer : str or os.PathLike, optional
            Where to write the explorer page too, linked from the report.
        **options
            :func:`report`'s other options: ``external``, ``title``,
            ``source``, ``highlight``, ``geometry`` and ``key``;
            ``robustness`` to show another analysis of this index than the
            one kept, ``weight_uncertainty`` another review of its weights
            than :attr:`weight_review`; ``explorer_link``, the address of an
            explorer page written apart (by :meth:`explorer`), which the
            report links to without writing it.
        """
        from indexfuse_tools._report import write_report

        chosen = self.edition(period)
        options.setdefault("robustness", self.analyses.get(chosen))
        options.setdefault("weight_uncertainty", self.weight_review)
        if options["weight_uncertainty"] is not None and self.editions is not None:
            # Reviewed on the rows the model was fitted on, not on the one edition the page shows.
            options.setdefault("reviewed_units", sum(len(self.editions.scored(key)) for key in self.fitted_on))
        return write_report(
            self.model, self.frame(chosen), path, preparation=self.preparation, editions=self.editions,
            presentation=self.presentation, explorer=explorer, function="Index.report()", **options,
        )  # fmt: skip

    def explorer(self, path: str | os.PathLike[str], *, period: Any = None, **options: Any) -> Path:
        """Write the explorer page of one edition (the latest by default): see :func:`explorer`.

        Parameters
        ----------
        path : str or os.PathLike
            Where to write the page.
        period : period label, optional
            The edition shown.
        **options
            :func:`explorer`'s other options: ``title``, ``source``,
            ``geometry`` and ``key``; ``robustness`` to show another
            analysis of this index than the one kept.
        """
        from indexfuse_tools._explorer import write_explorer

        chosen = self.edition(period)
        options.setdefault("robustness", self.analyses.get(chosen))
        return write_explorer(
            self.model, self.frame(chosen), path, preparation=self.preparation, editions=self.editions,
            scale=self.presentation, function="Index.explorer()", **options,
        )  # fmt: skip

    # ------------------------------------------------------------ editions --

    def add_edition(self, data: pd.DataFrame, *, period: Any) -> Index:
        """The index with a new edition, scored by the published model and preparation as they stand.

        Nothing is fitted or learnt again and the presentation scale is
        kept: every earlier edition's composite, score and rank stay as they
        were, to the bit, whatever the baseline (a pooled model stays pooled
        over the editions it was fitted on, :attr:`fitted_on`). The new
        edition's values may lie outside the range the model was fitted on,
        and its scores outside 0..100: :attr:`Editions.comparability` says
        where. The analyses are kept; the new edition has none yet.

        Parameters
        ----------
        data : pandas.DataFrame
            The new edition's raw rows, laid out as the table the index was
            built from: the units named by the unit column (or the row
            labels); the period column, if present, holding ``period`` alone.
        period : period label
            The new edition's label, after every edition of the index.

        Returns
        -------
        Index
            A new index; this one is left as it is.

        Raises
        ------
        ValueError
            Without editions, for a period that is not after the last or
            that the period column contradicts, for a unit repeated, and for
            a table that looks already prepared.
        KeyError
            If the new edition lacks indicator columns.
        """
        if self.editions is None:
            raise ValueError("Index.add_edition(): this index has no editions; build it with period= to publish editions")
        frame = as_frame(data)
        if self.period in frame.columns:
            others = frame[self.period][frame[self.period] != period]
            if len(others):
                raise ValueError(
                    f"Index.add_edition(): period={period!r}, but the column {self.period!r} also holds "
                    f"{show(others.unique().tolist())}"
                )
            frame = frame.drop(columns=[self.period])
        if self.unit is not None and self.unit not in frame.columns:
            raise KeyError(f"Index.add_edition(): the unit column {self.unit!r} is not a column of data")
        frames, _ = split_editions(frame.assign(**{_PERIOD: period}), _PERIOD, self.unit)
        added = self.editions.with_edition(period, frames[period].copy())
        return Index(
            schema=self.schema, model=self.model, preparation=self.preparation,
            preparation_options=self.preparation_options, raw=None, editions=added, period=self.period,
            unit=self.unit, fitted_on=self.fitted_on, presentation=self.presentation, model_args=self.model_args,
            analyses=self.analyses, weight_review=self.weight_review,
        )  # fmt: skip

    def compare_baselines(self, *, edition: Any = None) -> pd.DataFrame:
        """How the baselines an index could be published against compare, on its latest edition.

        See :func:`compare_baselines`: the index's raw table, preparation
        (its options when it learnt them, else the Preparation itself),
        model arguments and reference edition are compared as they are.
        """
        from indexfuse_tools._editions import compare_baselines

        if self.editions is None:
            raise ValueError("Index.compare_baselines(): this index has no editions to compare baselines over")
        frames = {period: self.editions.frame(period) for period in self.periods}
        preparation = self.preparation_options if self.preparation_options is not None else self.preparation
        arguments = {key: value for key, value in self.model_args.items() if key != "resolution"}
        with entropy.resolution(self.model_args["resolution"]):
            return compare_baselines(
                self.schema, frames, period=self.period, preparation=preparation,
                reference=self.reference if self.baseline == "reference" else None, edition=edition, **arguments,
            )  # fmt: skip

    # --------------------------------------------------------------- files --

    def save(self, path: str | os.PathLike[str]) -> Path:
        """Write the whole index to one file, whole or not at all; :meth:`load` reads it back.

        The file (a zip, no pickle) holds the schema, the model as its model
        file holds it, the preparation and the options it was learnt with,
        the model's arguments and resolution, the period and unit columns,
        the baseline and the editions fitted on, the presentation scale,
        the raw table (the columns the index reads, every edition), every
        published composite, the fingerprint, and each robustness analysis
        kept (as :meth:`RobustnessResult.save` writes it, without every
        run's ranks).

        The raw table makes the file self-contained: reading it scores the
        raw table again and refuses a file whose published composites or
        fingerprint are not what its parts give, and every output, a new
        edition and a robustness analysis can be made from the file alone.

        Returns
        -------
        pathlib.Path
            The path written.

        Raises
        ------
        TypeError
            If a unit, period or column label, or a text value of the raw
            table, cannot be stored (labels are None, bool, int, float,
            str, numpy scalars and tuples of these); the file is not
            written.
        """
        from indexfuse_tools._index.file import write_index

        return write_index(self, path)

    @classmethod
    def load(cls, path: str | os.PathLike[str], *, schema: Any = None) -> Index:
        """Read an index written by :meth:`save`. Runs no code from the file.

        Parameters
        ----------
        path : str or os.PathLike
            The index file.
        schema : dict, list or tuple, optional
            The schema the index must have: a file of another index is
            refused, naming the difference.

        Raises
        ------
        IndexFileError
            A ``ValueError`` naming the file and what is wrong with it, and
            where: not an index file, a newer layout, damaged, edited so
            that its parts disagree, or of another schema.
        """
        from indexfuse_tools._index.file import read_index

        return read_index(path, schema)


# Where add_edition puts the new edition's label, in a copy of its rows, for the editions' own checks.
_PERIOD = "indexfuse_tools.period"


def _resolution(value: Any) -> float:
    if value is None:
        return float(entropy.get_resolution())
    if not is_real(value) or not math.isfinite(value) or value <= 0:
        raise ValueError(f"{_BUILD}: resolution is a positive finite number, got {value!r}")
    with entropy.resolution(float(value)):
        pass  # the toolkit's own check of the value
    return float(value)


def _options(preparation: Any) -> dict[str, Any] | None:
    """``prepare()``'s options when the preparation is to be learnt; TypeError for what is no preparation."""
    if preparation is None or isinstance(preparation, Preparation):
        return None
    if isinstance(preparation, Mapping):
        return dict(preparation)
    raise TypeError(
        f"{_BUILD}: preparation must be a Preparation, a dict of prepare()'s keyword arguments or None, "
        f"got {type(preparation).__name__}"
    )


def _is_pair(anchor: Any) -> bool:
    return isinstance(anchor, tuple) and len(anchor) == 2 and all(is_real(value) for value in anchor)


def _check_anchor(anchor: Any, raw: pd.DataFrame, period: Hashable | None) -> None:
    """Refuse an anchor that is neither two composites nor (with editions) a period of the table, before fitting."""
    if _is_pair(anchor):
        _given(anchor)
        return
    known = False
    if period is not None and period in raw.columns:
        try:
            known = bool((raw[period] == anchor).any())
        except (TypeError, ValueError):
            known = False
    if not known:
        raise ValueError(
            f"{_BUILD}: anchor is two composite values (low, high), or with editions an edition of the table; "
            f"got {anchor!r}"
        )


def _given(anchor: tuple[Any, Any]) -> Presentation:
    low, high = (float(value) for value in anchor)
    if not (is_finite(low) and is_finite(high) and low < high):
        raise ValueError(f"{_BUILD}: anchor=(low, high) needs two finite composites with low < high, got {anchor!r}")
    return Presentation(low, high, 0, given=True)


def _anchored(scale: str | None, anchor: Any, found: Editions) -> Presentation | None:
    """The presentation scale of an index with editions: over every edition, on one edition, or given."""
    if _is_pair(anchor):
        return _given(anchor)
    composites = {period: found.results.loc[period, "composite"] for period in found.periods}
    if anchor is None:
        return over_editions(composites, scale)
    try:
        known = anchor in found.periods
    except TypeError:
        known = False
    if not known:
        raise ValueError(
            f"{_BUILD}: anchor is two composite values (low, high) or an edition; {anchor!r} is neither "
            f"(the editions are {show(found.periods)})"
        )
    shown = over_editions({anchor: composites[anchor]}, scale)
    if shown is None:
        raise ValueError(f"{_BUILD}: no unit of the {anchor!r} edition has a composite to fix the scale on")
    return shown
