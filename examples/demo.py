"""Run the quickstart, then draw its result.

Writes ``examples/output/wellbeing.png`` (or the path given as the first
argument): the dimension weights as bars, and the distribution of the
composite score on its 0..100 scale.
"""

import runpy
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # files only, no window

import matplotlib.pyplot as plt  # noqa: E402

import indexfuse_tools  # noqa: E402

HERE = Path(__file__).resolve().parent


def main(argv: list[str]) -> Path:
    target = Path(argv[0]) if argv else HERE / "output" / "wellbeing.png"
    result = runpy.run_path(str(HERE / "quickstart.py"), run_name="quickstart")
    weights = indexfuse_tools.weights(result["model"])
    wellbeing = result["table"]["composite"]

    fig, (left, right) = plt.subplots(1, 2, figsize=(11, 4.2), layout="constrained")
    bars = left.barh(weights.index[::-1], weights.to_numpy()[::-1], color="#4c72b0")
    left.bar_label(bars, fmt="%.3f", padding=3)
    left.set_xlabel("weight")
    left.set_xlim(0, max(weights.max() * 1.25, 0.1))
    left.set_title("Dimension weights")

    right.hist(wellbeing.dropna(), bins=range(0, 105, 5), color="#55a868", edgecolor="white")
    right.set_xlabel("wellbeing index (0..100)")
    right.set_ylabel("states")
    right.set_title(f"Composite score of {wellbeing.notna().sum()} states")

    target.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(target, dpi=110)
    plt.close(fig)
    print(f"\nFigure written to {target}")
    return target


if __name__ == "__main__":
    main(sys.argv[1:])
