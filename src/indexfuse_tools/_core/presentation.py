"""The presentation scale: a composite shown on 0..100, fixed once over every unit shown."""

from __future__ import annotations

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

    ``low`` (the lowest composite of the ``units`` units it was fixed on)
    maps to 0 and ``high`` (the highest) to 100. It is fixed once, over all
    the units shown together (all editions of an index together), so that
    a unit's presented score moves only when its composite does.
    """

    low: float
    high: float
    units: int

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
        return (
            f"Composite on a 0-100 scale: 0 is the lowest composite of the {self.units:,} "
            f"units scored ({_plain(self.low)}), 100 the highest ({_plain(self.high)})."
        )


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


def _plain(value: float) -> str:
    # Adding 0.0 turns -0.0 into 0.0; a value that rounds to zero prints as "0".
    text = f"{value + 0.0:.4g}"
    return "0" if float(text) == 0.0 else text
