"""results: names, ranks, availability; plot_ranking: which rows, in which order."""

from __future__ import annotations

import matplotlib
import numpy as np
import pandas as pd
import pytest

import indexfuse
import indexfuse_tools
from indexfuse_tools import plot_ranking, results

matplotlib.use("Agg")

@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(8)
    base = rng.normal(size=(30, 1))
    frame = pd.DataFrame(base + rng.normal(size=(30, 3)), columns=list("abc"))
    frame.iloc[1] = frame.iloc[0]  # a tie
    frame.index = [f"unit {i}" for i in range(30)]
    return frame


@pytest.fixture(scope="module")
def model(data):
    fitted = indexfuse.indexpca_diment({"A": ["a", ("b", -1)], ("B", -1): {"b1": ["c"], "gone": ["zz"]}})
    fitted.fit(data)
    return fitted


def test_results_columns_follow_the_model(model, data):
    table = results(model, data)
    assert table.columns.tolist() == ["composite", "rank", "A", "B (-1) / b1", "B (-1) / gone", "missing"]
    assert table.index.equals(data.index)
    composite, values = model.score(data)
    pd.testing.assert_series_equal(table["composite"], composite, check_names=False)
    pd.testing.assert_series_equal(table["B (-1) / b1"], values[("B", -1)]["b1"], check_names=False)
    assert table["B (-1) / gone"].isna().all() and (table["missing"] == 0).all()


def test_rank_one_is_best_and_ties_share_the_average(model, data):
    holes = data.copy()
    holes.loc["unit 5", ["a", "b", "c"]] = np.nan
    table = results(model, holes)
    scored = table["composite"].notna()
    assert table.loc[table["composite"].idxmax(), "rank"] == 1
    tie = table.loc["unit 0", "rank"]
    assert table.loc["unit 1", "rank"] == tie and tie % 1 == 0.5
    others = [r for r in range(1, 30) if r not in (tie - 0.5, tie + 0.5)]
    assert sorted(table.loc[scored, "rank"]) == sorted([*others, tie, tie])
    assert np.isnan(table.loc["unit 5", "rank"]) and table.loc["unit 5", "missing"] == 3


@pytest.mark.parametrize(("share", "kept"), [(None, True), (0.5, True), (0.75, False)])
def test_min_present_blanks_a_dimension_short_of_indicators(model, data, share, kept):
    holes = data.copy()
    holes.loc["unit 3", "b"] = np.nan  # 1 of A's 2 indicators present
    table = results(model, holes, min_present=share)
    assert table.loc["unit 3", "missing"] == 1
    assert np.isnan(table.loc["unit 3", "A"]) is not kept
    assert np.isnan(table.loc["unit 3", "composite"]) is not kept
    others = table.drop(index="unit 3", columns="rank")
    pd.testing.assert_frame_equal(others, results(model, data).drop(index="unit 3", columns="rank"))


def test_results_refuse_a_model_without_weights_and_missing_columns(data):
    typos = indexfuse.indexpca_diment({"A": ["zz"], "B": ["yy"]})
    typos.fit(data)  # every weight is None: the model's composite is the integer 0
    with pytest.raises(ValueError, match="no dimension of the model carries a weight"):
        results(typos, data)
    fitted = indexfuse.indexpca_diment({"A": ["a", "b"]})
    fitted.fit(data)
    with pytest.raises(KeyError, match="lacks column"):
        results(fitted, data.drop(columns="b"))


def _labels(figure):
    return [t.get_text() for t in figure.axes[0].get_yticklabels()]


def test_plot_ranking_shows_top_and_bottom_rows_in_rank_order(model, data):
    holes = data.copy()
    holes.loc["unit 5", ["a", "b", "c"]] = np.nan
    table = results(model, holes)
    ordered = table.dropna(subset=["composite"]).sort_values("rank", kind="stable")
    figure = plot_ranking(table, n=3, label="wellbeing")
    shown = [*ordered.index[:3], *ordered.index[-3:]]
    assert [label.split("  ", 1)[1] for label in _labels(figure)] == shown
    assert _labels(figure)[-1].startswith("29  ")
    assert "1 without a composite" in figure.axes[0].get_title("left")
    assert figure.axes[0].get_xlabel() == "wellbeing"
    assert len(_labels(plot_ranking(table, n=None))) == 29


def test_plot_ranking_draws_into_given_axes(model, data):
    from matplotlib.figure import Figure

    ax = Figure().add_subplot()
    assert plot_ranking(results(model, data), ax=ax, title="T") is ax.figure
    assert ax.get_title("left") == "T"


# ------------------------------------------------ with a stored preparation --

FERTILITY_SCHEMA = {
    "1980s": ["1980", "1985", "1989"],
    "1990s": ["1990", "1995", "1999"],
    "2000s": ["2001", "2006", "2011"],
}


@pytest.fixture(scope="module")
def fertility():
    """The World Bank's fertility table (gaps in small states), prepared and fitted."""
    import statsmodels.api as sm

    raw = sm.datasets.fertility.load_pandas().data.set_index("Country Name")
    prepared, log, preparation = indexfuse_tools.prepare(
        FERTILITY_SCHEMA, raw, impute="median", min_present=2 / 3, winsorize=True
    )
    fitted = indexfuse.indexpca_diment(FERTILITY_SCHEMA)
    fitted.fit(prepared)
    return fitted, raw, prepared, log, preparation


def test_results_replay_the_preparation_on_the_raw_table(fertility):
    model, raw, prepared, log, preparation = fertility
    snapshot = raw.copy()
    table = results(model, raw, preparation=preparation)
    pd.testing.assert_frame_equal(raw, snapshot)  # the caller's table is left as it was
    assert table.index.equals(raw.index)
    assert table.columns.tolist()[-2:] == ["missing", "imputed"]

    dropped = log.loc[log["step"] == "drop", "row"]
    assert len(dropped) and table.loc[dropped, ["composite", "rank", "1980s"]].isna().all().all()
    kept = table.drop(index=dropped)
    # the rows kept score as the prepared table scores, to the bit
    on_prepared = results(model, prepared)
    pd.testing.assert_frame_equal(
        kept.drop(columns=["missing", "imputed"]), on_prepared.drop(columns="missing"), check_exact=True
    )

    labels = [label for labels in FERTILITY_SCHEMA.values() for label in labels]
    pd.testing.assert_series_equal(table["missing"], raw[labels].isna().sum(axis=1), check_names=False)
    filled = log.loc[log["step"] == "impute", "row"].value_counts()
    assert filled.sum() and (table["imputed"] == filled.reindex(raw.index, fill_value=0)).all()
    assert (table["imputed"] <= table["missing"]).all()
    assert "imputed" not in on_prepared.columns


@pytest.mark.parametrize(
    "change, preparation, error, message",
    [
        (lambda d: d, {"impute": "median"}, TypeError, "Preparation that prepare"),
        (lambda d: d.drop(columns="1985"), None, KeyError, "1985"),
        (lambda d: d.iloc[[0, 0, 1]], None, ValueError, "one row label per unit"),
    ],
    ids=["options instead of a preparation", "a column lacking", "a repeated row label"],
)
def test_results_refuse_what_cannot_be_replayed(fertility, change, preparation, error, message):
    model, raw, *_, fitted_preparation = fertility
    with pytest.raises(error, match=message):
        results(model, change(raw), preparation=preparation or fitted_preparation)
