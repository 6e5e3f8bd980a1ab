"""The presentation scale: a composite shown on 0..100, fixed once over every unit shown."""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

#: The presentation scales a caller can ask for.
PRESENTATION_SCALES = ("0-100",)


def check_scale(scale: Any, name: str = "scale") -> str | None:
    """``scale`` if it is ``None`` or a known presentation scale; ``ValueError`` otherwise."""
    if scale is None or (isinstance(scale, str) and scale in PRESENTATION_SCALES):
        return scale
    raise ValueError(f"{name} must be None or one of {', '.join(map(repr, PRESENTATION_SCALES))}, got {scale!r}")


@dataclass(frozen=True)
class Presentation:
    """A linear map of composites onto 0..100.

    ``low`` maps to 0 and ``high`` to 100. It is fixed once, over all the
    units shown together (all editions of an index together), so that a
    unit's presented score moves only when its composite does.

    Attributes
    ----------
    low, high : float
        The composites shown as 0 and 100: the lowest and the highest of the
        units it was fixed on, or two values an analyst chose.
    units : int
        How many units it was fixed on (each counted once, whatever the
        number of editions it appears in); 0 when the analyst chose.
    periods : tuple
        The editions it was fixed on: empty for one table, one edition for
        an anchor on a reference edition, every edition otherwise.
    given : bool
        Whether the analyst chose ``low`` and ``high``.
    """

    low: float
    high: float
    units: int
    periods: tuple[Any, ...] = ()
    given: bool = False

    def apply(self, values: Any) -> Any:
        """``values`` on 0..100 (same type: a Series keeps its index and name)."""
        span = self.high - self.low
        if not span > 0:
            return (values - self.low) * 0.0 + 0.0
        # Divided rather than multiplied by 100 / span: the highest unit's
        # (high - low) / span is exactly 1, so it shows exactly 100. Adding
        # 0.0 turns the -0.0 of the lowest unit into 0.0.
        return (values - self.low) / span * 100.0 + 0.0

    def describe(self) -> str:
        """The transformation in words, for every place that shows presented scores."""
        low, high = _plain(self.low), _plain(self.high)
        if self.given:
            return (
                f"Composite on a 0-100 scale fixed by the analyst: 0 is a composite of {low}, 100 a composite "
                f"of {high}; a unit beyond them scores below 0 or above 100."
            )
        if len(self.periods) == 1:
            return (
                f"Composite on a 0-100 scale fixed on the {self.periods[0]} edition: 0 is the lowest composite "
                f"of its {self.units:,} units ({low}), 100 the highest ({high}); other editions keep this scale, "
                "so a unit may score below 0 or above 100 there."
            )
        if self.periods:
            return (
                f"Composite on a 0-100 scale fixed once over the {len(self.periods)} editions {self.periods[0]} "
                f"to {self.periods[-1]}: 0 is the lowest composite of their {self.units:,} units in any edition "
                f"({low}), 100 the highest ({high}); a later edition keeps this scale, so a unit may score below 0 "
                "or above 100 there."
            )
        return f"Composite on a 0-100 scale: 0 is the lowest composite of the {self.units:,} units scored ({low}), 100 the highest ({high})."


def presentation(composite: Any, scale: str | None) -> Presentation | None:
    """The :class:`Presentation` of ``scale`` fixed on the finite values of ``composite``.

    ``None`` when ``scale`` is ``None``, or when no value is finite.
    """
    if check_scale(scale) is None:
        return None
    values = np.asarray(pd.Series(composite, dtype=np.float64), dtype=np.float64)
    finite = values[np.isfinite(values)]
    if finite.size == 0:
        return None
    return Presentation(float(finite.min()), float(finite.max()), int(finite.size))


def over_editions(composites: Mapping[Any, pd.Series], scale: str | None) -> Presentation | None:
    """The :class:`Presentation` of ``scale`` fixed once over the editions ``{period: composite by unit}``.

    It spans the lowest and highest finite composite of any edition, and
    counts each unit once however many editions it appears in. ``None`` when
    ``scale`` is ``None`` or no composite is finite.
    """
    if check_scale(scale) is None:
        return None
    lows, highs, units = [], [], []
    for composite in composites.values():
        values = np.asarray(pd.Series(composite, dtype=np.float64), dtype=np.float64)
        finite = np.isfinite(values)
        if finite.any():
            lows.append(values[finite].min())
            highs.append(values[finite].max())
            units.append(pd.Index(composite.index)[finite])
    if not units:
        return None
    distinct = units[0].append(units[1:]).unique() if len(units) > 1 else units[0].unique()
    return Presentation(float(min(lows)), float(max(highs)), len(distinct), tuple(composites))


def _plain(value: float) -> str:
    # Adding 0.0 turns -0.0 into 0.0; a value that rounds to zero prints as "0".
    text = f"{value + 0.0:.4g}"
    return "0" if float(text) == 0.0 else text
