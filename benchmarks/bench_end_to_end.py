"""End to end: ``fit`` and ``score`` of indexfuse vs. the hand-written pipeline.

Both sides fit the same synthetic table (``data.py``) and score it again;
their coefficients, dimension values, weights and composite scores must
agree to 1e-8 (relative) before any time is taken.
"""

from __future__ import annotations

import math

import numpy as np
import pandas as pd

import indexfuse
from bench_data import make_frame, make_schema
from plain_pipeline import PlainCompositeIndex
from bench_timing import median_times

RTOL = 1e-8


def _leaves(tree, path=()):
    if isinstance(tree, dict):
        for key, value in tree.items():
            yield from _leaves(value, path + (key,))
    else:
        yield path, tree


def compare(label: str, got, want, rtol: float = RTOL) -> None:
    """Raises AssertionError unless two trees of numbers or Series agree to ``rtol``.

    Series are compared element-wise relative to their largest magnitude,
    so values that happen to be near zero are not held to a relative bound.
    """
    got_leaves, want_leaves = dict(_leaves(got)), dict(_leaves(want))
    if list(got_leaves) != list(want_leaves):
        first = next(
            (a, b) for a, b in zip([*got_leaves, None], [*want_leaves, None]) if a != b
        )
        raise AssertionError(f"{label}: keys differ, first at {first[0]!r} vs {first[1]!r}")
    for path, a in got_leaves.items():
        b = want_leaves[path]
        if isinstance(a, pd.Series) or isinstance(b, pd.Series):
            a_values, b_values = np.asarray(a, dtype=float), np.asarray(b, dtype=float)
            if a_values.shape != b_values.shape:
                raise AssertionError(f"{label} {path}: shapes {a_values.shape}, {b_values.shape}")
            scale = np.nanmax(np.abs(b_values)) if b_values.size else 0.0
            same_nan = np.array_equal(np.isnan(a_values), np.isnan(b_values))
            worst = np.nanmax(np.abs(a_values - b_values)) if a_values.size else 0.0
            if not same_nan or worst > rtol * scale:
                raise AssertionError(f"{label} {path}: Series differ by up to {worst!r}")
        elif not math.isclose(float(a), float(b), rel_tol=rtol, abs_tol=rtol * 1e-3):
            raise AssertionError(f"{label} {path}: {a!r} vs {b!r}")


def check_agreement(frame: pd.DataFrame, schema: dict) -> None:
    ours = indexfuse.indexpca_diment(schema)
    plain = PlainCompositeIndex(schema)
    ours.fit(frame)
    plain.fit(frame)
    compare("coefficients", ours.index_coef, plain.index_coef)
    compare("weights", ours.dim_weight, plain.dim_weight)
    if ours.abnormal_index:
        raise AssertionError(f"unexpected abnormal indices: {ours.abnormal_index}")
    score, values = ours.score(frame)
    plain_score, plain_values = plain.score(frame)
    compare("dimension values", values, plain_values)
    compare("composite score", {"score": score}, {"score": plain_score})


def time_fit_score(frame: pd.DataFrame, schema: dict, repeats: int, score_repeats: int) -> dict:
    models: dict = {}

    def fresh() -> None:
        models["ours"] = indexfuse.indexpca_diment(schema)
        models["plain"] = PlainCompositeIndex(schema)

    fit_ours, fit_plain = median_times(
        [lambda: models["ours"].fit(frame), lambda: models["plain"].fit(frame)], repeats, fresh
    )
    fitted_ours = indexfuse.indexpca_diment(schema)
    fitted_ours.fit(frame)
    fitted_plain = PlainCompositeIndex(schema)
    fitted_plain.fit(frame)
    score_ours, score_plain = median_times(
        [lambda: fitted_ours.score(frame), lambda: fitted_plain.score(frame)], score_repeats
    )
    return {"fit_indexfuse_s": fit_ours, "fit_plain_s": fit_plain,
            "fit_ratio": fit_plain / fit_ours, "score_indexfuse_s": score_ours,
            "score_plain_s": score_plain, "score_ratio": score_plain / score_ours}


def score_repeats_for(repeats: int) -> int:
    """Scoring is cheap next to fitting and as noisy: it gets three times the runs."""
    return 3 * repeats


def run(sizes, repeats: int = 5) -> list[dict]:
    schema = make_schema()
    rows = []
    for n in sizes:
        frame = make_frame(n)
        check_agreement(frame, schema)
        row = {"n": n}
        row.update(time_fit_score(frame, schema, repeats, score_repeats_for(repeats)))
        rows.append(row)
        del frame
    return rows


def print_table(rows: list[dict], repeats: int, n_cores: int) -> None:
    print("End to end: indexfuse vs. plain pandas + scikit-learn PCA + cKDTree")
    print(f"cores: {n_cores}  40 indices in 8 groups of 5 (one dimension nested), k: 10  "
          f"median of {repeats} fits and {score_repeats_for(repeats)} scores after a warm-up, "
          f"the two sides taking turns; results agree to {RTOL:g}")
    header = (f"{'n':>9} {'fit indexfuse s':>16} {'fit plain s':>12} {'plain/indexfuse':>16} "
              f"{'score indexfuse s':>18} {'score plain s':>14} {'plain/indexfuse':>16}")
    print(header)
    print("-" * len(header))
    for r in rows:
        print(f"{r['n']:>9} {r['fit_indexfuse_s']:>16.4f} {r['fit_plain_s']:>12.4f} "
              f"{r['fit_ratio']:>16.1f} {r['score_indexfuse_s']:>18.4f} "
              f"{r['score_plain_s']:>14.4f} {r['score_ratio']:>16.2f}")
