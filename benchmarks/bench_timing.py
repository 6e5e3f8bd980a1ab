"""Timing helpers shared by the benchmarks: medians after a warm-up, A/B interleaved."""

from __future__ import annotations

import gc
import os
import statistics
import time
from collections.abc import Callable, Sequence


def median_times(
    funcs: Sequence[Callable[[], object]],
    repeats: int,
    setup: Callable[[], object] | None = None,
) -> list[float]:
    """Median wall time of each function, in seconds.

    Every function runs once as a warm-up, then the functions take turns
    ``repeats`` times (A, B, A, B, ...) so that a slow spell on a shared
    machine hits them alike. ``setup`` runs before every call, untimed.
    """
    samples: list[list[float]] = [[] for _ in funcs]
    for round_ in range(repeats + 1):
        for i, func in enumerate(funcs):
            if setup is not None:
                setup()
            gc.collect()
            start = time.perf_counter()
            func()
            elapsed = time.perf_counter() - start
            if round_:
                samples[i].append(elapsed)
    return [statistics.median(s) for s in samples]


def per_call_times(
    funcs: Sequence[Callable[[], object]], repeats: int, budget: float = 0.02
) -> list[float]:
    """Median time of one call of each (fast) function, in seconds.

    The loop count is chosen so that one timed batch of the slowest function
    takes about ``budget`` seconds; batches of the functions alternate.
    """
    start = time.perf_counter()
    for func in funcs:
        func()
    probe = max(time.perf_counter() - start, 1e-7)
    loops = max(1, int(budget / probe))
    samples: list[list[float]] = [[] for _ in funcs]
    for round_ in range(repeats + 1):
        for i, func in enumerate(funcs):
            start = time.perf_counter()
            for _ in range(loops):
                func()
            elapsed = (time.perf_counter() - start) / loops
            if round_:
                samples[i].append(elapsed)
    return [statistics.median(s) for s in samples]


def cores() -> int:
    """Cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not Linux
        return os.cpu_count() or 1
