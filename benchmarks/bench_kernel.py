"""One-dimensional k-NN entropy: the compiled kernel vs. a k-d tree vs. a plain sort.

For each size the same normal sample goes through three paths in one run:

* ``tessel``  -- ``tessel.modelbench.entropy.multivar_knn(x, k=k)``;
* ``ckdtree`` -- the same estimate from ``scipy.spatial.cKDTree`` (k + 1
  neighbours under ``p=inf``, same distance floor and formula);
* ``sort``    -- ``numpy.sort(x)`` alone, the floor of any sort-based method.

The two estimates must agree to 1e-9 (relative) before any time is printed.
"""

from __future__ import annotations

import math

import numpy as np
from tessel.modelbench import entropy

from plain_pipeline import knn_entropy
from bench_timing import median_times

SEED = 7


def run(sizes, k: int = 10, repeats: int = 5, seed: int = SEED) -> list[dict]:
    rng = np.random.default_rng(seed)
    rows = []
    for n in sizes:
        x = rng.standard_normal(n)
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


def print_table(rows: list[dict], k: int, repeats: int, n_cores: int) -> None:
    print("Toolkit kernel: 1-D multivar_knn vs. cKDTree (p=inf) vs. numpy.sort of the same array")
    print(f"cores: {n_cores}  k: {k}  normal sample  median of {repeats} runs after a warm-up")
    header = (f"{'n':>9} {'tessel ms':>10} {'cKDTree ms':>11} {'sort ms':>8} "
              f"{'cKDTree/tessel':>15} {'tessel/sort':>12}")
    print(header)
    print("-" * len(header))
    for r in rows:
        print(f"{r['n']:>9} {r['tessel_s'] * 1e3:>10.2f} {r['ckdtree_s'] * 1e3:>11.2f} "
              f"{r['sort_s'] * 1e3:>8.2f} {r['ckdtree_over_tessel']:>15.1f} "
              f"{r['tessel_over_sort']:>12.2f}")
