"""The toolkit's numbers on the cases an analyst checks first.

Not a speed benchmark (except the last table): it prints the figures a
methodological review asks about, for whatever toolkit is installed.

* coefficients of interchangeable indicators: two of them (as ranks, so
  their spreads are exactly equal) in both column orders, three of them at 400 rows with the spread of each coefficient over
  30 bootstrap resamples, and three at 2,000 rows under both scalings;
* information (estimate minus that of the constant column of the same
  length) of a 50/50 binary indicator, a 4-level indicator and a uniform
  sample rounded to 2 decimals, at several sizes, with ``k = 10`` (the
  model's default neighbour count);
* time of the 1-D ``multivar_knn`` against ``numpy.sort`` of the same array
  at 10^6 points, ``k = 10`` (medians, the two taking turns).

Usage::

    python benchmarks/bench_numbers.py [--repeats 11] [--skip-kernel]
"""

from __future__ import annotations

import argparse
import sys

import numpy as np
import pandas as pd
from tessel.modelbench import PCA, entropy

from bench_timing import median_times

SEED = 0
K = 10
SIZES = (100, 1_000, 100_000, 1_000_000)
# The count of the first report, and enough for a steady figure.
BOOTSTRAPS = (30, 1000)


def interchangeable(n: int, d: int, rng: np.random.Generator) -> pd.DataFrame:
    """``d`` indicators: one common factor plus independent noise of equal size."""
    base = rng.normal(size=n)
    return pd.DataFrame({f"x{i}": base + rng.normal(size=n) for i in range(d)})


def coefficients(frame: pd.DataFrame, method: str = "max_min") -> np.ndarray:
    return np.asarray(PCA(scale_method=method).fit(frame).coef)


def coefficient_rows() -> list[tuple[str, str]]:
    rows = []
    # Ranks: both columns hold the same values, so their spreads are exactly equal.
    two = interchangeable(400, 2, np.random.default_rng(SEED)).rank()
    forward = coefficients(two)
    backward = coefficients(two[["x1", "x0"]])[::-1]
    rows.append(("two, order (x0, x1): x0 / x1", " / ".join(f"{c:.3f}" for c in forward)))
    rows.append(("two, order (x1, x0): x0 / x1", " / ".join(f"{c:.3f}" for c in backward)))

    rng = np.random.default_rng(SEED + 1)
    three = interchangeable(400, 3, rng)
    rows.append(("three at 400 rows", " / ".join(f"{c:.3f}" for c in coefficients(three))))
    for count in BOOTSTRAPS:
        draws = np.array(
            [coefficients(three.iloc[rng.integers(0, 400, 400)]) for _ in range(count)]
        )
        rows.append((f"three, bootstrap sd ({count} resamples)",
                     " / ".join(f"{s:.3f}" for s in draws.std(axis=0, ddof=1))))
    big = interchangeable(2_000, 3, np.random.default_rng(SEED + 2))
    for method in ("z_score", "max_min"):
        worst = np.abs(coefficients(big, method) - 1 / 3).max()
        rows.append((f"three at 2,000 rows, {method}: max |coef - 1/3|", f"{worst:.3f}"))
    return rows


def random_design(rng: np.random.Generator, loading: tuple[float, float]) -> pd.DataFrame:
    """3 to 6 indicators of one factor, unequal scales, half of them skewed."""
    d = int(rng.integers(3, 7))
    weight = rng.uniform(*loading, d)
    factor = rng.normal(size=200)
    values = factor[:, None] * weight + rng.normal(size=(200, d)) * np.sqrt(1 - weight**2)
    values *= rng.uniform(0.5, 5, d)
    if rng.random() < 0.5:
        values[:, : d // 2] = np.exp(values[:, : d // 2])
    return pd.DataFrame(values)


def direction_rows(rng: np.random.Generator, trials: int = 300) -> list[tuple[str, str]]:
    rows = []
    for method in ("max_min", "z_score"):
        for loading in ((0.2, 0.5), (0.4, 0.7)):
            caught = alarms = 0
            for _ in range(trials):
                frame = random_design(rng, loading)
                alarms += bool((coefficients(frame, method) < 0).any())
                frame.iloc[:, 0] *= -1
                caught += set(np.flatnonzero(coefficients(frame, method) < 0)) == {0}
            rows.append((f"{method}, loadings {loading[0]}..{loading[1]}",
                         f"caught {caught / trials:.0%}, false alarms {alarms / trials:.0%}"))
    return rows


SAMPLES = {
    "binary 50/50": lambda rng, n: rng.integers(0, 2, n).astype(float),
    "4 levels": lambda rng, n: rng.integers(0, 4, n).astype(float),
    "uniform, 2 decimals": lambda rng, n: np.round(rng.uniform(size=n), 2),
}


def information(x: np.ndarray) -> float:
    n = len(x)
    return entropy.multivar_knn(x, k=K) - entropy.multivar_knn(np.zeros(n), k=K)


def information_rows(rng: np.random.Generator) -> list[tuple[str, list[float]]]:
    return [(name, [information(make(rng, n)) for n in SIZES]) for name, make in SAMPLES.items()]


def kernel_ratio(repeats: int, rng: np.random.Generator) -> tuple[float, float]:
    x = rng.normal(size=10**6)
    knn, sort = median_times(
        [lambda: entropy.multivar_knn(x, k=K), lambda: np.sort(x)], repeats
    )
    return knn, sort


def resolution_in_effect() -> str:
    getter = getattr(entropy, "get_resolution", None)
    if getter is not None:
        return f"resolution {getter():g}"
    return f"resolution {getattr(entropy, 'DELTA', float('nan')):g} (fixed)"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=11)
    parser.add_argument("--skip-kernel", action="store_true")
    args = parser.parse_args(argv)
    print(f"Coefficients (PCA, max_min unless named; seeds {SEED} to {SEED + 2})")
    for label, figure in coefficient_rows():
        print(f"  {label:<46} {figure}")

    print("\nOne indicator reversed: flagged alone (caught); none reversed: any flagged")
    for label, figure in direction_rows(np.random.default_rng(SEED + 3)):
        print(f"  {label:<46} {figure}")

    print(f"\nInformation above the constant column, nats (k={K}, {resolution_in_effect()})")
    print(f"  {'sample':<22}" + "".join(f"{f'n={n:.0e}':>12}" for n in SIZES))
    rng = np.random.default_rng(SEED)
    for name, values in information_rows(rng):
        print(f"  {name:<22}" + "".join(f"{v:>12.3f}" for v in values))

    if not args.skip_kernel:
        knn, sort = kernel_ratio(args.repeats, rng)
        print(f"\nKernel at n=1e6, k={K} (median of {args.repeats}): multivar_knn "
              f"{knn * 1e3:.1f} ms, numpy.sort {sort * 1e3:.1f} ms, ratio {knn / sort:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
