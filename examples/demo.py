"""
The report
==========

Run the quickstart, then write its report.

Writes ``examples/output/wellbeing.html`` (or the path given as the first
argument): one self-contained page with the framework, the weights, the
ranking, the audit's tables and figures, the links of the index to the
share of each state's people living in urban areas, and how robust the
ranking is to the other defensible choices.
"""

import runpy
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # files only, no window

import indexfuse_tools  # noqa: E402

HERE = Path(__file__).resolve().parent
SOURCE = (
    "US states and DC in 2009: American Statistical Abstract and American Community Survey, "
    "as shipped with statsmodels (statecrime)"
)


def main(argv: list[str]) -> Path:
    target = Path(argv[0]) if argv else HERE / "output" / "wellbeing.html"
    result = runpy.run_path(str(HERE / "quickstart.py"), run_name="quickstart")
    data = result["data"]
    analysis = indexfuse_tools.robustness(result["schema"], data, progress=False)
    target.parent.mkdir(parents=True, exist_ok=True)
    indexfuse_tools.report(
        result["model"],
        data,
        target,
        external=data[["urban"]],
        title="Wellbeing in the US states, 2009",
        source=SOURCE,
        robustness=analysis,
        scale="0-100",  # the quickstart's score: the page and the published table agree
    )
    print(f"\nReport written to {target}")
    return target


if __name__ == "__main__":
    main(sys.argv[1:])
