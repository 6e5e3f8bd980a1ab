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
