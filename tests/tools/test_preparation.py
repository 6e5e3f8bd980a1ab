"""The stored preparation: replayed bit for bit, on new rows, and through its JSON."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

from indexfuse_tools import Preparation, prepare

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
