"""One-dimensional k-NN entropy: numpy's sort plus the compiled scan vs. k-d tree vs. the sort alone.

For each size the same sample goes through three paths in one run:

* ``tessel``  -- ``tessel.modelbench.entropy.multivar_knn(x, k=k)``: input
  checks, ``numpy.sort``, then the kernel's scan (tie groups at the default
  resolution and k-th neighbour distances);
* ``ckdtree`` -- the same estimate by hand from ``numpy.unique`` and
  ``scipy.spatial.cKDTree`` (query k + 1 neighbours with ``p=inf``);
* ``sort``    -- ``numpy.sort(x)`` alone, the floor of any sort-based method.

The two estimates must agree to 1e-9 (relative) before any time is printed.
Each time is the median of several runs after one warm-up run, the three
paths taking turns. ``run.py`` calls :func:`run` as the suite's kernel part.

Usage::

    python benchmarks/bench_knn.py [--sizes 10000 100000 1000000] [--k 10]
                                   [--repeats 5] [--decimals D]
"""

from __future__ import annotations

import argparse
import math
import sys

import numpy as np
from tessel.modelbench import entropy

from bench_timing import cores, median_times
from plain_pipeline import knn_entropy

SEED = 0


def run(sizes, k: int = 10, repeats: int = 5, seed: int = SEED,
        decimals: int | None = None) -> list[dict]:
    rng = np.random.default_rng(seed)
    rows = []
    for n in sizes:
        x = rng.normal(size=n)
        if decimals is not None:
            x = np.round(x, decimals)
        ours = entropy.multivar_knn(x, k=k)
        theirs = knn_entropy(x, k)
        if not math.isclose(ours, theirs, rel_tol=1e-9):
            raise AssertionError(f"n={n}: estimates disagree: tessel {ours!r}, cKDTree {theirs!r}")
        t_ours, t_tree, t_sort = median_times(
            [lambda: entropy.multivar_knn(x, k=k), lambda: knn_entropy(x, k), lambda: np.sort(x)],
            repeats,
        )
        rows.append({"n": n, "tessel_s": t_ours, "ckdtree_s": t_tree, "sort_s": t_sort,
                     "ckdtree_over_tessel": t_tree / t_ours, "tessel_over_sort": t_ours / t_sort})
    return rows


def print_table(rows: list[dict], k: int, repeats: int, n_cores: int,
                decimals: int | None = None) -> None:
    sample = "normal" if decimals is None else f"normal rounded to {decimals} decimals"
    print("Toolkit kernel: 1-D multivar_knn vs. cKDTree (p=inf) vs. numpy.sort of the same array")
    print(f"cores: {n_cores}  k: {k}  sample: {sample}  "
          f"median of {repeats} runs after a warm-up")
    header = (f"{'n':>9} {'tessel ms':>10} {'cKDTree ms':>11} {'sort ms':>8} "
              f"{'cKDTree/tessel':>15} {'tessel/sort':>12}")
    print(header)
    print("-" * len(header))
    for r in rows:
        print(f"{r['n']:>9} {r['tessel_s'] * 1e3:>10.2f} {r['ckdtree_s'] * 1e3:>11.2f} "
              f"{r['sort_s'] * 1e3:>8.2f} {r['ckdtree_over_tessel']:>15.1f} "
              f"{r['tessel_over_sort']:>12.2f}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[10**4, 10**5, 10**6])
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--seed", type=int, default=SEED)
    parser.add_argument(
        "--decimals",
        type=int,
        default=None,
        help="round the normal sample to this many decimals (creates ties)",
    )
    args = parser.parse_args(argv)
    try:
        rows = run(args.sizes, args.k, args.repeats, args.seed, args.decimals)
    except AssertionError as exc:
        print(exc)
        return 1
    print_table(rows, args.k, args.repeats, cores(), args.decimals)
    return 0


if __name__ == "__main__":
    sys.exit(main())
