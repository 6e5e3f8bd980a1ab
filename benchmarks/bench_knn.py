"""One-dimensional k-NN entropy: compiled kernel vs. k-d tree vs. a plain sort.

For each size the same sample goes through three paths in one run:

* ``tessel``  -- ``tessel.modelbench.entropy.multivar_knn(x, k)``;
* ``ckdtree`` -- the same estimate from ``scipy.spatial.cKDTree`` (query
  k + 1 neighbours with ``p=inf``, same distance floor and formula);
* ``sort``    -- ``numpy.sort(x)`` alone, the floor of any sort-based method.

The two estimates must agree to 1e-9 (relative) before any time is printed.
Each time is the median of several runs after one warm-up run.

Usage::

    python benchmarks/bench_knn.py [--sizes 10000 100000 1000000] [--k 10]
                                   [--repeats 5] [--decimals D]
"""

from __future__ import annotations

import argparse
import math
import os
import statistics
import sys
import time
from collections.abc import Callable

import numpy as np
from scipy.spatial import cKDTree
from scipy.special import digamma

from tessel.modelbench import entropy


def kd_tree_estimate(x: np.ndarray, k: int) -> float:
    n = x.size
    points = x[:, None]
    dist, _ = cKDTree(points).query(points, k=k + 1, p=np.inf)
    r = np.maximum(dist[:, k], entropy.distance_floor(n, k))
    return float(digamma(n) - digamma(k) + math.log(2) + np.log(r).sum() / n)


def median_time(func: Callable[[], object], repeats: int) -> float:
    func()  # warm-up
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        func()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[10**4, 10**5, 10**6])
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument(
        "--decimals",
        type=int,
        default=None,
        help="round the normal sample to this many decimals (creates ties)",
    )
    args = parser.parse_args(argv)

    rng = np.random.default_rng(args.seed)
    sample = "normal" if args.decimals is None else f"normal rounded to {args.decimals} decimals"
    print(
        f"cores: {os.cpu_count()}  k: {args.k}  sample: {sample}  "
        f"repeats: {args.repeats} (median, after warm-up)"
    )
    header = (
        f"{'n':>9} {'tessel ms':>10} {'ckdtree ms':>11} {'sort ms':>8} "
        f"{'ckdtree/tessel':>15} {'tessel/sort':>12}"
    )
    print(header)
    print("-" * len(header))
    for n in args.sizes:
        x = rng.normal(size=n)
        if args.decimals is not None:
            x = np.round(x, args.decimals)
        ours = entropy.multivar_knn(x, args.k)
        theirs = kd_tree_estimate(x, args.k)
        if not math.isclose(ours, theirs, rel_tol=1e-9):
            print(f"n={n}: estimates disagree: tessel {ours!r} vs ckdtree {theirs!r}")
            return 1
        t_ours = median_time(lambda: entropy.multivar_knn(x, args.k), args.repeats)
        t_tree = median_time(lambda: kd_tree_estimate(x, args.k), args.repeats)
        t_sort = median_time(lambda: np.sort(x), args.repeats)
        print(
            f"{n:>9} {t_ours * 1e3:>10.2f} {t_tree * 1e3:>11.2f} {t_sort * 1e3:>8.2f} "
            f"{t_tree / t_ours:>15.1f} {t_ours / t_sort:>12.2f}"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
