"""The benchmark suite: ``make bench`` (full) or ``make bench-smoke`` (smallest size).

Runs, in one process (memory in fresh child processes):

1. end to end: ``fit`` and ``score``, indexfuse vs. the hand-written pipeline;
2. the toolkit's 1-D ``multivar_knn`` vs. ``cKDTree`` vs. ``numpy.sort``;
3. call overhead of three model methods vs. plain Python;
4. peak memory of ``fit``;
5. editions: ``editions()`` against the plain fits and scores it stands for
   (20 editions of 33,000 units; 3 of 2,000 with ``--smoke``);
6. panel imputation: ``prepare(..., impute="carry")`` against the same fill in
   plain pandas, on the same 20 editions with gaps;
7. the review of the weights: ``weight_uncertainty`` against the plain
   refits it stands for (1,000 resamples of 33,000 units; 20 of 1,000 with
   ``--smoke``);
8. census scale: fit, score, the robustness analysis and the explorer at
   33,000, 85,000 and 242,335 units (``bench_scale.py``; 2,000 units with
   ``--smoke``), with its plot ``results/scale.png``;
9. a log-log plot of fit and score time against rows (``results/growth.png``).

Every comparison checks that both sides agree before it times anything, and
stops with an error if they do not. The full run then checks the goals and
says which it reached. Raw figures go to ``results/latest.json``.
"""

from __future__ import annotations

import argparse
import json
import platform
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import bench_editions  # noqa: E402
import bench_end_to_end  # noqa: E402
import bench_knn  # noqa: E402
import bench_memory  # noqa: E402
import bench_overhead  # noqa: E402
import bench_panel  # noqa: E402
import bench_scale  # noqa: E402
import bench_weights  # noqa: E402
from bench_data import SIZES  # noqa: E402
from bench_timing import cores  # noqa: E402

RESULTS = HERE / "results"


def goals(results: dict) -> list[tuple[str, str, bool]]:
    """(goal, figure reached, met) for the full run at 10^6 rows."""
    out = []
    e2e = {r["n"]: r for r in results["end_to_end"]}
    kernel = {r["n"]: r for r in results["kernel"]}
    big = 10**6
    if big in e2e:
        r = e2e[big]
        out.append(("fit at 1e6 >= 5x faster than plain", f"{r['fit_ratio']:.1f}x",
                    r["fit_ratio"] >= 5))
        out.append(("score at 1e6 no slower than plain", f"{r['score_ratio']:.2f}x",
                    r["score_ratio"] >= 1))
    if big in kernel:
        r = kernel[big]
        out.append(("1-D multivar_knn at 1e6 >= 10x faster than cKDTree",
                    f"{r['ckdtree_over_tessel']:.0f}x", r["ckdtree_over_tessel"] >= 10))
        out.append(("1-D multivar_knn at 1e6 within 2x of numpy.sort",
                    f"{r['tessel_over_sort']:.2f}x the sort", r["tessel_over_sort"] <= 2))
    if results.get("overhead"):
        for row in results["overhead"]["rows"]:
            side, ratio = bench_overhead.goal_ratio(row)
            figure = f"{ratio:.2f}x vs {side}"
            if side != "plain":
                figure += f" ({row['plain_ratio']:.2f}x vs plain)"
            out.append((f"overhead >= 3x: {row['case']}", figure, ratio >= 3))
    if results.get("editions"):
        out.extend(bench_editions.goals(results["editions"]))
    if results.get("panel"):
        out.extend(bench_panel.goals(results["panel"]))
    if results.get("weights"):
        out.extend(bench_weights.goals(results["weights"]))
    if results.get("scale"):
        out.extend(bench_scale.goals(results["scale"], 1024))
    for r in results.get("memory", []):
        if r["impl"] == "indexfuse" and r["n"] == big:
            out.append(("fit peak memory at 1e6 < 4x the frame",
                        f"extra {r['fit_extra_over_frame']:.2f}x, "
                        f"whole process {r['peak_over_frame']:.2f}x",
                        r["peak_over_frame"] < 4))
    return out


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true",
                        help="smallest size, one timed run: checks that everything runs and agrees")
    parser.add_argument("--sizes", type=int, nargs="+", help="row counts (default 1e4 1e5 1e6)")
    parser.add_argument("--repeats", type=int, help="timed runs per figure (median)")
    parser.add_argument("--skip", nargs="*", default=[],
                        choices=["end_to_end", "kernel", "overhead", "memory", "editions", "panel", "weights",
                                 "scale", "plot"])
    parser.add_argument("--json", type=Path, help="where to write the raw figures")
    args = parser.parse_args(argv)

    sizes = args.sizes or ([SIZES[0]] if args.smoke else list(SIZES))
    repeats = args.repeats or (1 if args.smoke else 5)
    skip = set(args.skip) | ({"plot"} if args.smoke else set())
    n_cores = cores()
    results: dict = {"python": platform.python_version(), "cores": n_cores, "sizes": sizes,
                     "repeats": repeats, "smoke": args.smoke}
    started = time.perf_counter()

    if "end_to_end" not in skip:
        results["end_to_end"] = bench_end_to_end.run(sizes, repeats)
        bench_end_to_end.print_table(results["end_to_end"], repeats, n_cores)
        print()
    else:
        results["end_to_end"] = []
    if "kernel" not in skip:
        results["kernel"] = bench_knn.run(sizes, repeats=repeats)
        bench_knn.print_table(results["kernel"], 10, repeats, n_cores)
        print()
    else:
        results["kernel"] = []
    if "overhead" not in skip:
        overhead_repeats = 2 if args.smoke else 9
        results["overhead"] = bench_overhead.run(
            overhead_repeats, budget=0.002 if args.smoke else 0.02)
        bench_overhead.print_table(results["overhead"], overhead_repeats, n_cores)
        print()
    if "memory" not in skip:
        results["memory"] = bench_memory.run(max(sizes))
        bench_memory.print_table(results["memory"])
        print()
    if "editions" not in skip:
        size = ((bench_editions.SMOKE_UNITS, bench_editions.SMOKE_EDITIONS) if args.smoke
                else (bench_editions.UNITS, bench_editions.EDITIONS))
        results["editions"] = bench_editions.run(*size, repeats=1 if args.smoke else 3)
        bench_editions.print_table(results["editions"])
        print()
    if "panel" not in skip:
        size = ((bench_panel.SMOKE_UNITS, bench_panel.SMOKE_EDITIONS) if args.smoke
                else (bench_panel.UNITS, bench_panel.EDITIONS))
        results["panel"] = bench_panel.run(*size, repeats=1 if args.smoke else 3)
        bench_panel.print_table(results["panel"])
        print()
    if "weights" not in skip:
        size = ((bench_weights.SMOKE_UNITS, bench_weights.SMOKE_RESAMPLES) if args.smoke
                else (bench_weights.UNITS, bench_weights.RESAMPLES))
        results["weights"] = bench_weights.run(*size, repeats=1 if args.smoke else 3,
                                               sample=3 if args.smoke else 30)
        bench_weights.print_table(results["weights"])
        print()
    if "scale" not in skip:
        scale_sizes = [bench_scale.SMOKE_UNITS] if args.smoke else list(bench_scale.SCALE_SIZES)
        scale_n = bench_scale.SMOKE_N if args.smoke else 1024
        results["scale"] = bench_scale.run(scale_sizes, scale_n)
        bench_scale.print_table(results["scale"], scale_n, n_cores)
        if "plot" not in skip:
            path = bench_scale.plot(results["scale"], RESULTS / "scale.png", scale_n, n_cores)
            print(f"Scale plot: {path.relative_to(HERE.parent)}")
        print()
    if "plot" not in skip and len(results["end_to_end"]) > 1:
        from plot_growth import plot

        path = plot(results["end_to_end"], RESULTS / "growth.png", n_cores)
        print(f"Growth plot: {path.relative_to(HERE.parent)}")
        print()

    if not args.smoke:
        checked = goals(results)
        if checked:
            print("Goals")
            for goal, figure, met in checked:
                print(f"  [{'reached' if met else 'MISSED '}] {goal}: {figure}")
            print()
    print(f"All comparisons agreed. Total {time.perf_counter() - started:.0f} s.")

    target = args.json or RESULTS / ("smoke.json" if args.smoke else "latest.json")
    target.parent.mkdir(parents=True, exist_ok=True)
    target.write_text(json.dumps(results, indent=2, default=str) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
