"""The design of an analysis and its Sobol indices, both through SALib.

A design point is a row of the unit cube, one coordinate per discrete factor
and one per top-level weight in the group ``weight_noise``;
:func:`from_unit` turns it into the level codes and weight multipliers of a
run.
"""

from __future__ import annotations

import warnings
from collections.abc import Hashable
from typing import Any, cast

import numpy as np
import pandas as pd

from indexfuse_tools._core import dimension_name
from indexfuse_tools._robustness.factors import DISCRETE, NOISE, Setting

__all__ = [
    "CONVERGENCE_COLUMNS",
    "SENSITIVITY_COLUMNS",
    "convergence",
    "design",
    "factor_table",
    "from_unit",
    "multiplier_column",
    "salib_problem",
    "sobol_indices",
]

_RESAMPLES = 1000  # bootstrap resamples behind the confidence intervals
_CONFIDENCE = 0.95


def multiplier_column(key: Hashable) -> str:
    """The column of a run table holding the weight multiplier of top-level dimension ``key``."""
    return f"{NOISE}: {dimension_name((key,))}"


# --------------------------------------------------------------- designs --


def from_unit(u: np.ndarray, setting: Setting, top_keys: tuple[Hashable, ...]) -> tuple[np.ndarray, np.ndarray]:
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


def design(method: str, spec: dict[str, Any], n: int, seed: int) -> np.ndarray:
    """The design points in the unit cube: Saltelli's for Sobol indices, plain random otherwise."""
    if method == "sobol":
        from SALib.sample import sobol

        return cast(np.ndarray, sobol.sample(spec, n, calc_second_order=False, scramble=True, seed=seed))
    return np.random.default_rng(seed).random((n, spec["num_vars"]))


# --------------------------------------------------------- Sobol indices --


SENSITIVITY_COLUMNS = ("S1", "S1_low", "S1_high", "ST", "ST_low", "ST_high")
CONVERGENCE_COLUMNS = ("S1_half", "S1", "ST_half", "ST", "change")


def factor_table(columns: tuple[str, ...]) -> pd.DataFrame:
    return pd.DataFrame(columns=list(columns), index=pd.Index([], name="factor"), dtype=np.float64)


def salib_problem(setting: Setting, top_keys: tuple[Hashable, ...]) -> dict[str, Any]:
    """SALib's description of the factors: one variable per factor, one per
    top-level weight in the group ``weight_noise``, all on the unit interval."""
    names, groups = [], []
    for name in setting.varied:
        if name == NOISE:
            names += [multiplier_column(key) for key in top_keys]
            groups += [NOISE] * len(top_keys)
        else:
            names.append(name)
            groups.append(name)
    return {"num_vars": len(names), "names": names, "bounds": [[0.0, 1.0]] * len(names), "groups": groups}


def sobol_indices(spec: dict[str, Any], y: np.ndarray, seed: int) -> pd.DataFrame:
    """S1 and ST (Jansen's estimator) with 95% bootstrap intervals, one row per factor."""
    from SALib.analyze import sobol

    with warnings.catch_warnings():
        # A target that never moves has indices 0, which SALib returns after a warning.
        warnings.filterwarnings("ignore", message="Constant values encountered", category=UserWarning)
        # A generator, not the integer: SALib tests ``if seed:`` and would
        # draw the resamples of seed 0 from numpy's global state.
        found = sobol.analyze(
            spec, y, calc_second_order=False, num_resamples=_RESAMPLES, conf_level=_CONFIDENCE,
            seed=np.random.default_rng(seed),
        )
    columns: dict[str, np.ndarray] = {}
    for name in ("S1", "ST"):
        columns[name] = found[name]
        columns[f"{name}_low"] = found[name] - found[f"{name}_conf"]
        columns[f"{name}_high"] = found[name] + found[f"{name}_conf"]
    return pd.DataFrame(columns, index=pd.Index(list(dict.fromkeys(spec["groups"])), name="factor"))


def convergence(spec: dict[str, Any], y: np.ndarray, seed: int, full: pd.DataFrame) -> pd.DataFrame:
    """S1 and ST from the first half of the base samples next to those from all of them."""
    step = len(full) + 2  # the rows of one base sample: A, one AB per factor, B
    half = sobol_indices(spec, y[: len(y) // step // 2 * step], seed)
    table = pd.DataFrame(
        {"S1_half": half["S1"], "S1": full["S1"], "ST_half": half["ST"], "ST": full["ST"]}, index=full.index
    )
    table["change"] = np.maximum((table["S1"] - table["S1_half"]).abs(), (table["ST"] - table["ST_half"]).abs())
    return table
