"""
Can the weights be trusted?
===========================

The quickstart's entropy weights put to a reviewer's questions: how much they
move when the states are resampled, what equal and principal-component
weights would give, and how much each dimension drives the index in fact.
"""

import sys
from pathlib import Path

import statsmodels.api as sm

import indexfuse_tools

data = sm.datasets.statecrime.load_pandas().data
schema = {
    "safety": [("violent", -1), ("murder", -1)],
    "opportunity": {
        "education": ["hs_grad"],
        ("hardship", -1): ["poverty", "single"],
    },
}


def main(figure_path: Path) -> None:
    # 1,000 bootstrap resamples of the 51 states, the model refitted on each.
    review = indexfuse_tools.weight_uncertainty(schema, data, n=1000, seed=0)
    print(review)

    figure_path.parent.mkdir(parents=True, exist_ok=True)
    review.plot().savefig(figure_path)
    print(f"\nFigure written to {figure_path}")


if __name__ == "__main__":  # local processes need this guard when they are used
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).parent / "figures" / "weights_intervals.png")
