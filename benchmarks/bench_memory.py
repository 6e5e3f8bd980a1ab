"""Peak memory of ``fit``, measured in a fresh process per implementation.

The child process builds the table, fits once on a small table (so lazily
imported modules are loaded), resets the kernel's high-water mark of its
resident set, fits the large table and reports the new high-water mark.
The figure that matters is the fit's own working memory: the peak during
the fit minus the resident set just before it, relative to the table's size.

Run as a script with ``--child`` it is that child.
"""

from __future__ import annotations

import argparse
import json
import resource
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent


def _status_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"/proc/self/status has no {field}")


def _reset_peak() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def child(n: int, impl: str) -> dict:
    from bench_data import frame_bytes, make_frame, make_schema

    schema = make_schema()
    if impl == "indexfuse":
        import indexfuse

        def new_model():
            return indexfuse.indexpca_diment(schema)
    else:
        from plain_pipeline import PlainCompositeIndex

        def new_model():
            return PlainCompositeIndex(schema)

    new_model().fit(make_frame(1000))
    frame = make_frame(n)
    model = new_model()
    before = _status_kib("VmRSS") * 1024
    exact = _reset_peak()
    model.fit(frame)
    if exact:
        peak = _status_kib("VmHWM") * 1024
    else:  # no way to reset the high-water mark: it may date from before the fit
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    size = frame_bytes(frame)
    return {"impl": impl, "n": n, "frame_bytes": size, "rss_before": before, "peak_rss": peak,
            "fit_extra_over_frame": (peak - before) / size, "peak_over_frame": peak / size,
            "peak_reset": exact}


def measure(n: int, impl: str) -> dict:
    out = subprocess.run(
        [sys.executable, str(HERE / "bench_memory.py"), "--child", "--n", str(n), "--impl", impl],
        check=True, capture_output=True, text=True, cwd=HERE,
    )
    return json.loads(out.stdout.strip().splitlines()[-1])


def run(n: int, impls=("indexfuse", "plain")) -> list[dict]:
    return [measure(n, impl) for impl in impls]


def print_table(rows: list[dict]) -> None:
    print("Memory: peak resident set of one fit, fresh process per implementation")
    exact = all(r["peak_reset"] for r in rows)
    print("peak reset before the fit (/proc/self/clear_refs)" if exact
          else "peak NOT reset before the fit: figures are upper bounds")
    header = (f"{'implementation':<15} {'n':>9} {'frame MiB':>10} {'RSS before MiB':>15} "
              f"{'peak MiB':>9} {'fit extra/frame':>16} {'peak/frame':>11}")
    print(header)
    print("-" * len(header))
    mib = 1024 * 1024
    for r in rows:
        print(f"{r['impl']:<15} {r['n']:>9} {r['frame_bytes'] / mib:>10.1f} "
              f"{r['rss_before'] / mib:>15.1f} {r['peak_rss'] / mib:>9.1f} "
              f"{r['fit_extra_over_frame']:>16.2f} {r['peak_over_frame']:>11.2f}")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--child", action="store_true")
    parser.add_argument("--n", type=int, default=10**6)
    parser.add_argument("--impl", choices=("indexfuse", "plain"), default="indexfuse")
    args = parser.parse_args()
    if args.child:
        print(json.dumps(child(args.n, args.impl)))
    else:
        print_table(run(args.n))
