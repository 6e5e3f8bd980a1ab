"""Census scale: fit, score, the robustness analysis and the explorer at 33,000, 85,000 and 242,335 units.

The table is ``scale_data.py``'s: 17 indicators in 4 dimensions, skewed and
correlated, shaped like a small-area deprivation index. Each step runs in a
fresh process, so that its peak memory is its own:

* fit and score: wall time, and the peak resident set of the process
  (its high-water mark, reset just before the step where the system allows);
* robustness: ``indexfuse_tools.robustness(schema, data, n=...)`` with every
  factor at its default levels, as a user calls it (one process per core),
  wall time and the peak memory of the process and its workers together
  (private pages summed, shared ones counted once, sampled every 50 ms);
* explorer: ``indexfuse_tools.explorer(model, data, path)``, the time to
  write the page, its size, and the time until the page is interactive in
  headless Chromium: the moment it sets ``data-ready="1"`` on its root
  element, or, for a page that never does, the end of DOMContentLoaded
  (measured from the start of navigation, by the page's own clock).

Run: ``.venv/bin/python benchmarks/bench_scale.py`` (about 15 minutes on
two cores); ``--sizes 33000 --n 64`` for a quick look, ``--smoke`` for one
small size. Writes ``results/scale.json`` and the plot ``results/scale.png``.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import resource
import subprocess
import sys
import tempfile
import time
import warnings
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from bench_timing import cores  # noqa: E402
from scale_data import SCALE_SIZES, scale_frame, scale_schema  # noqa: E402

RESULTS = HERE / "results"
TESTS = HERE.parent / "tests"
STEPS = ("fit", "score", "robustness", "explorer")
SMOKE_UNITS, SMOKE_N = 2_000, 8
#: The goals at the largest size, on two cores.
GOALS = {"robustness_gib": 2.0, "robustness_seconds": 600.0, "explorer_mb": 30.0, "explorer_seconds": 3.0}

# Set on the page before its own scripts: the moment the root element gets data-ready="1".
_READY_WATCH = """
(() => {
  const seen = () => {
    if (document.documentElement && document.documentElement.dataset.ready === "1" && !window.__readyAt) {
      window.__readyAt = performance.now();
    }
  };
  new MutationObserver(seen).observe(document, {attributes: true, subtree: true, attributeFilter: ["data-ready"]});
})();
"""
_READY_TIME = """
new Promise((resolve) => {
  const poll = () => window.__readyAt ? resolve(window.__readyAt)
    : performance.now() > 120000 ? resolve(null) : setTimeout(poll, 20);
  poll();
})
"""
_CONTENT_LOADED = "performance.getEntriesByType('navigation')[0].domContentLoadedEventEnd"


def _status_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"/proc/self/status has no {field}")


@contextlib.contextmanager
def _own_peak() -> Any:
    """The peak resident set of this process during the block, in bytes (``figures["peak_bytes"]``)."""
    figures: dict[str, Any] = {}
    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")
        exact = True
    except OSError:
        exact = False
    yield figures
    if exact:
        figures["peak_bytes"] = _status_kib("VmHWM") * 1024
    else:  # the high-water mark may date from before the block
        figures["peak_bytes"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    figures["peak_reset"] = exact


def _step_fit(units: int) -> dict[str, Any]:
    import indexfuse

    data, schema = scale_frame(units), scale_schema()
    indexfuse.indexpca_diment(schema).fit(data.iloc[:500])  # lazy imports
    model = indexfuse.indexpca_diment(schema)
    with _own_peak() as figures:
        start = time.perf_counter()
        model.fit(data)
        figures["seconds"] = time.perf_counter() - start
    return figures


def _step_score(units: int) -> dict[str, Any]:
    import indexfuse

    data, schema = scale_frame(units), scale_schema()
    model = indexfuse.indexpca_diment(schema)
    model.fit(data)
    model.score(data.iloc[:500])
    with _own_peak() as figures:
        start = time.perf_counter()
        model.score(data)
        figures["seconds"] = time.perf_counter() - start
    return figures


def _step_robustness(units: int, n: int) -> dict[str, Any]:
    import indexfuse_tools
    from bench_robustness import PeakMemory

    warnings.filterwarnings("ignore", category=indexfuse_tools.RobustnessWarning)
    data, schema = scale_frame(units), scale_schema()
    indexfuse_tools.robustness(schema, data.iloc[:300], n=4, scheduler=1, progress=False)  # lazy imports
    with PeakMemory() as memory:
        start = time.perf_counter()
        result = indexfuse_tools.robustness(schema, data, n=n, progress=False)
        seconds = time.perf_counter() - start
    own = resource.getrusage(resource.RUSAGE_SELF)
    workers = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = own.ru_utime + own.ru_stime + workers.ru_utime + workers.ru_stime
    return {"seconds": seconds, "peak_bytes": memory.peak, "runs": len(result.runs), "cpu_seconds": cpu}


def _step_explorer(units: int) -> dict[str, Any]:
    import indexfuse
    import indexfuse_tools

    data, schema = scale_frame(units), scale_schema()
    model = indexfuse.indexpca_diment(schema)
    model.fit(data)
    with tempfile.TemporaryDirectory(prefix="indexfuse-scale-") as folder:
        page = Path(folder) / "explorer.html"
        start = time.perf_counter()
        indexfuse_tools.explorer(model, data, page, title="Deprivation at census scale")
        figures: dict[str, Any] = {"write_seconds": time.perf_counter() - start, "page_bytes": page.stat().st_size}
        figures.update(interactive(page))
    return figures


def interactive(page: Path) -> dict[str, Any]:
    """Seconds until ``page`` is interactive in headless Chromium, and how that was told; {} without a browser."""
    sys.path.insert(0, str(TESTS))
    import _chromium

    binary = _chromium.find()
    if binary is None:
        return {}
    marked = b"documentElement.dataset.ready" in page.read_bytes()
    with _chromium.Session(binary, width=1280) as session:
        session.add_script(_READY_WATCH)
        session.load(page)
        milliseconds = session.evaluate(_READY_TIME if marked else _CONTENT_LOADED)
        complaints = session.complaints
    if milliseconds is None:
        raise RuntimeError(f"{page} never marked itself ready (data-ready on its root element) in 120 s")
    return {
        "interactive_seconds": milliseconds / 1000,
        "ready_by": "data-ready" if marked else "DOMContentLoaded",
        "complaints": len(complaints),
    }


def child(step: str, units: int, n: int) -> dict[str, Any]:
    if step == "robustness":
        return _step_robustness(units, n)
    return {"fit": _step_fit, "score": _step_score, "explorer": _step_explorer}[step](units)


def measure(step: str, units: int, n: int) -> dict[str, Any]:
    """One step at one size, in a fresh process."""
    out = subprocess.run(
        [sys.executable, str(HERE / "bench_scale.py"), "--child", step, "--units", str(units), "--n", str(n)],
        check=True, capture_output=True, text=True, cwd=HERE,
    )  # fmt: skip
    return {"step": step, "units": units, **json.loads(out.stdout.strip().splitlines()[-1])}


def run(sizes: list[int], n: int, steps: tuple[str, ...] = STEPS) -> list[dict[str, Any]]:
    rows = []
    for units in sizes:
        for step in steps:
            rows.append(measure(step, units, n))
    return rows


def print_table(rows: list[dict[str, Any]], n: int, n_cores: int) -> None:
    print(f"Census scale: 17 indicators in 4 dimensions, robustness with default factors and n={n}, {n_cores} cores")
    header = f"{'units':>9} {'step':<11} {'seconds':>9} {'peak GiB':>9}  more"
    print(header)
    print("-" * len(header))
    for row in rows:
        more = ""
        if row["step"] == "robustness":
            more = f"{row['runs']:,} runs, {row['cpu_seconds']:.0f} s of CPU"
        elif row["step"] == "explorer":
            more = f"page {row['page_bytes'] / 1e6:.1f} MB written in {row['write_seconds']:.1f} s"
            if "interactive_seconds" in row:
                more += f", interactive after {row['interactive_seconds']:.2f} s ({row['ready_by']})"
        seconds = row.get("seconds", row.get("interactive_seconds", float("nan")))
        peak = row["peak_bytes"] / 2**30 if "peak_bytes" in row else float("nan")
        print(f"{row['units']:>9,} {row['step']:<11} {seconds:>9.2f} {peak:>9.3f}  {more}")


def goals(rows: list[dict[str, Any]], n: int) -> list[tuple[str, str, bool]]:
    """(goal, figure, met) at the largest size, 242,335 units (robustness at n=1024)."""
    out = []
    largest = {row["step"]: row for row in rows if row["units"] == max(SCALE_SIZES)}
    if "robustness" in largest and n == 1024:
        r = largest["robustness"]
        gib = r["peak_bytes"] / 2**30
        out.append(("robustness at 242,335 units: peak <= 2 GiB", f"{gib:.2f} GiB", gib <= GOALS["robustness_gib"]))
        out.append(("robustness at 242,335 units: <= 10 minutes", f"{r['seconds']:.0f} s",
                    r["seconds"] <= GOALS["robustness_seconds"]))
    if "explorer" in largest:
        e = largest["explorer"]
        out.append(("explorer at 242,335 units: <= 30 MB", f"{e['page_bytes'] / 1e6:.1f} MB",
                    e["page_bytes"] / 1e6 <= GOALS["explorer_mb"]))
        if "interactive_seconds" in e:
            out.append(("explorer at 242,335 units: interactive within 3 s", f"{e['interactive_seconds']:.2f} s",
                        e["interactive_seconds"] <= GOALS["explorer_seconds"]))
    return out


def plot(rows: list[dict[str, Any]], path: Path, n: int, n_cores: int) -> Path:
    """Time and memory against units, log-log, one line per step."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (times, memory) = plt.subplots(1, 2, figsize=(11, 4.6))
    labels = {"fit": "fit", "score": "score", "robustness": f"robustness (n={n})",
              "explorer": "explorer: until interactive"}  # fmt: skip
    # fit and score peak at about the same memory: fit's marks are drawn open and larger, to show through.
    styles = {
        "fit": {"marker": "o", "markersize": 9, "markerfacecolor": "none"},
        "score": {"marker": "s", "markersize": 5},
        "robustness": {"marker": "D"},
        "explorer": {"marker": "^", "linestyle": "--"},
    }
    for step in STEPS:
        mine = [row for row in rows if row["step"] == step]
        seconds = [(row["units"], row.get("seconds", row.get("interactive_seconds"))) for row in mine]
        seconds = [(u, s) for u, s in seconds if s is not None]
        if seconds:
            times.loglog(*zip(*seconds), label=labels[step], **styles[step])
        peaks = [(row["units"], row["peak_bytes"] / 2**30) for row in mine if "peak_bytes" in row]
        if peaks:
            memory.loglog(*zip(*peaks), label=f"{labels[step]}: peak", **styles[step])
        elif step == "explorer" and mine:
            memory.loglog([r["units"] for r in mine], [r["page_bytes"] / 2**30 for r in mine],
                          label="explorer: size of the page", **styles[step])
    times.set_ylabel("seconds (wall time)")
    memory.set_ylabel("GiB")
    if rows and n == 1024:
        memory.axhline(GOALS["robustness_gib"], color="grey", linewidth=0.8, linestyle=":")
        memory.annotate("robustness goal: 2 GiB", (max(r["units"] for r in rows), GOALS["robustness_gib"]),
                        color="grey", ha="right", va="top", xytext=(0, -3), textcoords="offset points")
    sizes = sorted({row["units"] for row in rows})
    for ax, title in ((times, "Time"), (memory, "Memory")):
        ax.set_title(title)
        ax.set_xlabel("units")
        ax.set_xticks(sizes, [f"{size:,}" for size in sizes])
        ax.minorticks_off()
        ax.grid(True, which="major", alpha=0.3)
        ax.legend(fontsize="small")
    fig.suptitle(f"Census scale: 17 indicators in 4 dimensions, {n_cores} cores (shared with other work)")
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


def replot(path: Path = RESULTS / "scale.json") -> Path:
    """The plot again from the figures of the last run."""
    saved = json.loads(path.read_text())
    return plot(saved["rows"], RESULTS / "scale.png", saved["n"], saved["cores"])


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", help=f"unit counts (default {SCALE_SIZES})")
    parser.add_argument("--n", type=int, help="Sobol base samples of the robustness analysis (default 1024)")
    parser.add_argument("--skip", nargs="*", default=[], choices=STEPS)
    parser.add_argument("--smoke", action="store_true", help=f"{SMOKE_UNITS:,} units, n={SMOKE_N}, no plot")
    parser.add_argument("--child", choices=STEPS, help=argparse.SUPPRESS)
    parser.add_argument("--units", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    n = args.n or (SMOKE_N if args.smoke else 1024)
    if args.child:
        print(json.dumps(child(args.child, args.units, n)))
        return 0
    sizes = args.sizes or ([SMOKE_UNITS] if args.smoke else list(SCALE_SIZES))
    steps = tuple(step for step in STEPS if step not in args.skip)
    rows = run(sizes, n, steps)
    n_cores = cores()
    print_table(rows, n, n_cores)
    met = goals(rows, n)
    for goal, figure, ok in met:
        print(f"  [{'met' if ok else 'MISSED'}] {goal}: {figure}")
    RESULTS.mkdir(exist_ok=True)
    name = "scale-smoke" if args.smoke else "scale"
    (RESULTS / f"{name}.json").write_text(json.dumps({"n": n, "cores": n_cores, "rows": rows}, indent=1) + "\n")
    if not args.smoke and len(sizes) > 1:
        print(f"Plot: {plot(rows, RESULTS / 'scale.png', n, n_cores).relative_to(HERE.parent)}")
    return 0 if all(ok for _, _, ok in met) else 1


if __name__ == "__main__":
    sys.exit(main())
