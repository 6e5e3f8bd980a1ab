"""Robustness analysis: the engine against the naive loop, side by side.

The reference problem: the synthetic table of ``bench_data.py`` at 33,000
rows (40 indicators in 8 dimensions, one nested), every factor at its default
levels, Sobol with n = 1024 base samples (n (d + 2) = 8,192 runs for the six
factors). Then the quickstart's 51 rows with the same design.

* engine: ``indexfuse_tools.robustness(...)`` as a user calls it (local
  processes, ``scheduler=None``), wall time of the whole analysis, and the
  peak memory of the process and its workers together (private pages
  summed, shared ones counted once; sampled every 50 ms);
* naive: one ``fit`` + weights + ``score`` + ranking per run in one process,
  the way the field's reference tool rebuilds the index, timed on a sample
  of the same runs and extrapolated to all of them. Before anything is
  timed, each sampled run's ranks must equal the engine's, exactly.

Run: ``.venv/bin/python benchmarks/bench_robustness.py`` (a few minutes);
``--rows 2000 --n 64 --repeats 1`` for a quick look. ``--profile`` writes a
cProfile of the engine in one process to ``results/robustness.prof``.
"""

from __future__ import annotations

import argparse
import contextlib
import cProfile
import json
import resource
import statistics
import sys
import threading
import time
import warnings
from pathlib import Path
from typing import Any

import numpy as np
import psutil

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import indexfuse  # noqa: E402
import indexfuse_tools  # noqa: E402
from bench_data import make_frame, make_schema  # noqa: E402
from bench_timing import cores  # noqa: E402
from indexfuse_tools._robustness.engine import apply_weights, descending_ranks, perturbed  # noqa: E402
from tessel.modelbench import entropy  # noqa: E402

RESULTS = HERE / "results"
REFERENCE_ROWS = 33_000
QUICKSTART_SCHEMA = {
    "safety": [("violent", -1), ("murder", -1)],
    "opportunity": {"education": ["hs_grad"], ("hardship", -1): ["poverty", "single"]},
}
GOALS = {"reference_seconds": 15.0, "speedup": 40.0, "peak_gib": 1.0, "quickstart_seconds": 15.0}


def quiet() -> None:
    warnings.filterwarnings("ignore", category=indexfuse_tools.RobustnessWarning)


class PeakMemory:
    """Highest memory of this process and its children together, sampled in a thread.

    Each process's private pages (resident minus shared) are summed; shared
    pages (the libraries and the matrix of ranks the workers write in place)
    count once, as the largest shared part of any of them. Reading every
    process's page map instead (its proportional set size) is exact but
    slows the workers it reads.
    """

    def __init__(self, every: float = 0.05) -> None:
        self.every, self.peak, self._stop = every, 0, threading.Event()

    def _sample(self) -> None:
        me = psutil.Process()
        while not self._stop.is_set():
            private, shared = 0, 0
            for process in (me, *me.children(recursive=True)):
                with contextlib.suppress(psutil.Error):
                    info = process.memory_info()
                    private += info.rss - info.shared
                    shared = max(shared, info.shared)
            self.peak = max(self.peak, private + shared)
            self._stop.wait(self.every)

    def __enter__(self) -> PeakMemory:
        self._thread = threading.Thread(target=self._sample, daemon=True)
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        self._thread.join()


def _cpu_seconds() -> float:
    """CPU time of this process and of its children that have ended (the analysis's workers)."""
    own, children = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


def analysis(schema: Any, data: Any, n: int, scheduler: Any = None) -> tuple[Any, float, int, float]:
    """The result, its wall time, peak memory and CPU time (this process and its workers)."""
    with PeakMemory() as memory:
        start, cpu = time.perf_counter(), _cpu_seconds()
        result = indexfuse_tools.robustness(schema, data, n=n, scheduler=scheduler, progress=False)
        elapsed = time.perf_counter() - start
    return result, elapsed, memory.peak, _cpu_seconds() - cpu


def naive_run(result: Any, data: Any, run: int) -> np.ndarray:
    """One run rebuilt from scratch: fit, weights, score, ranks."""
    row = result.runs.iloc[run]
    level = {name: row[name] if name in result.factors else result.nominal[name] for name in result.nominal}
    model = indexfuse.indexpca_diment(
        result.schema(run), scale_method=level["scale_method"], pca_cumulative=level["pca_cumulative"],
        ent_k=int(level["ent_k"]),
    )
    with entropy.resolution(level["resolution"]):
        model.fit(data)
    if "weight_noise" in result.factors:
        multipliers = {key: row[f"weight_noise: {indexfuse_tools.dimension_name((key,))}"] for key in model.dim_weight}
        apply_weights(model, perturbed(model.dim_weight, multipliers))
    composite, _ = model.score(data)
    return descending_ranks(composite, len(data))


def check_agreement(result: Any, data: Any, runs: np.ndarray) -> None:
    for run in runs:
        if not np.array_equal(naive_run(result, data, int(run)), result.run_ranks[run]):
            raise AssertionError(f"run {run}: the naive loop and the engine disagree")


def naive_seconds_per_run(result: Any, data: Any, runs: np.ndarray) -> float:
    start = time.perf_counter()
    for run in runs:
        naive_run(result, data, int(run))
    return (time.perf_counter() - start) / len(runs)


def profile_engine(schema: Any, data: Any, n: int, path: Path) -> None:
    profiler = cProfile.Profile()
    profiler.enable()
    indexfuse_tools.robustness(schema, data, n=n, scheduler=1, progress=False)
    profiler.disable()
    path.parent.mkdir(exist_ok=True)
    profiler.dump_stats(path)


def run(rows: int, n: int, repeats: int, sample: int, quickstart: bool) -> dict[str, Any]:
    quiet()
    data, schema = make_frame(rows), make_schema()
    indexfuse_tools.robustness(schema, data.iloc[:200], n=4, scheduler=1, progress=False)  # warm caches, imports
    # The two sides take turns (analysis, then its share of the naive sample),
    # so that a busy spell on a shared machine hits both.
    times, peaks, cpus, naive, checked = [], [], [], [], False
    rng = np.random.default_rng(0)
    result = None
    for _ in range(repeats):
        result = None  # the last turn's result would count in this turn's memory
        result, elapsed, peak, cpu = analysis(schema, data, n)
        times.append(elapsed)
        peaks.append(peak)
        cpus.append(cpu)
        sample_runs = rng.choice(len(result.runs), size=max(1, sample // repeats), replace=False)
        if not checked:  # agree before the naive side is timed
            check_agreement(result, data, sample_runs[:3])
            checked = True
        naive.append(naive_seconds_per_run(result, data, sample_runs))
    runs = len(result.runs)
    figures: dict[str, Any] = {
        "rows": rows, "n": n, "runs": runs, "factors": list(result.factors), "repeats": repeats,
        "engine_seconds": statistics.median(times), "engine_seconds_all": times,
        "engine_cpu_seconds": statistics.median(cpus),
        "peak_bytes": max(peaks), "naive_sample": len(naive) * max(1, sample // repeats),
        "naive_seconds_per_run": statistics.median(naive), "naive_seconds": statistics.median(naive) * runs,
        "speedups": [per_run * runs / t for per_run, t in zip(naive, times)],
        "load_average": list(psutil.getloadavg()),
    }
    figures["speedup"] = figures["naive_seconds"] / figures["engine_seconds"]
    if quickstart:
        import statsmodels.api as sm

        states = sm.datasets.statecrime.load_pandas().data
        small = [analysis(QUICKSTART_SCHEMA, states, n)[1] for _ in range(repeats)]
        figures["quickstart_seconds"] = statistics.median(small)
        figures["quickstart_seconds_all"] = small
    return figures


def print_table(f: dict[str, Any], n_cores: int) -> None:
    gib = f["peak_bytes"] / 2**30
    print(f"Robustness analysis: {f['rows']:,} rows, {f['runs']:,} runs (Sobol n={f['n']}, "
          f"factors {', '.join(f['factors'])}), {n_cores} cores, median of {f['repeats']}; "
          f"load average at the end {f['load_average'][0]:.1f}")
    print(f"  engine, whole analysis     {f['engine_seconds']:8.1f} s   (runs: "
          f"{', '.join(f'{t:.1f}' for t in f['engine_seconds_all'])})")
    print(f"  engine, CPU time           {f['engine_cpu_seconds']:8.1f} s   (this process and its workers)")
    print(f"  naive loop, extrapolated   {f['naive_seconds']:8.1f} s   ({f['naive_seconds_per_run'] * 1e3:.1f} ms "
          f"per run on {f['naive_sample']} runs)")
    print(f"  speed-up                   {f['speedup']:8.1f} x   (per turn: "
          f"{', '.join(f'{x:.1f}' for x in f['speedups'])})")
    print(f"  peak memory, all processes {gib:8.2f} GiB")
    if "quickstart_seconds" in f:
        print(f"  quickstart (51 rows)       {f['quickstart_seconds']:8.1f} s   for {f['runs']:,} runs")


def goals(f: dict[str, Any]) -> list[tuple[str, str, bool]]:
    out = []
    if f["rows"] == REFERENCE_ROWS and f["n"] == 1024:
        out.append(("whole analysis <= 15 s", f"{f['engine_seconds']:.1f} s",
                    f["engine_seconds"] <= GOALS["reference_seconds"]))
        out.append(("peak memory <= 1 GiB", f"{f['peak_bytes'] / 2**30:.2f} GiB",
                    f["peak_bytes"] / 2**30 <= GOALS["peak_gib"]))
    out.append((">= 40x faster than the naive loop", f"{f['speedup']:.1f}x", f["speedup"] >= GOALS["speedup"]))
    if "quickstart_seconds" in f:
        out.append(("quickstart 51 rows <= 15 s", f"{f['quickstart_seconds']:.1f} s",
                    f["quickstart_seconds"] <= GOALS["quickstart_seconds"]))
    return out


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=REFERENCE_ROWS)
    parser.add_argument("--n", type=int, default=1024, help="Sobol base samples")
    parser.add_argument("--repeats", type=int, default=3, help="whole analyses timed (median)")
    parser.add_argument("--sample", type=int, default=60, help="runs of the naive loop timed, over all turns")
    parser.add_argument("--no-quickstart", action="store_true")
    parser.add_argument("--profile", action="store_true", help="also profile the engine in one process")
    args = parser.parse_args(argv)

    figures = run(args.rows, args.n, args.repeats, args.sample, not args.no_quickstart)
    print_table(figures, cores())
    print()
    met = goals(figures)
    for goal, figure, ok in met:
        print(f"  [{'met' if ok else 'MISSED'}] {goal}: {figure}")
    if args.profile:
        path = RESULTS / "robustness.prof"
        profile_engine(make_schema(), make_frame(args.rows), args.n, path)
        print(f"\nProfile of the engine in one process: {path.relative_to(HERE.parent)}")
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "robustness.json").write_text(json.dumps(figures, indent=1))
    return 0 if all(ok for _, _, ok in met) else 1


if __name__ == "__main__":
    sys.exit(main())
