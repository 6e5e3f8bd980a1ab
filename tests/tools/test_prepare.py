"""prepare and needs_treatment against values computed by hand."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

from indexfuse_tools import needs_treatment, prepare

NAN = np.nan
# Skew 2.03 and excess kurtosis 5.47 bias-corrected; 1.78 and 3.16 with the biased estimators.
LONG_TAIL = [*range(12), 26]


@pytest.mark.parametrize(
    ("values", "expected"),
    [
        (LONG_TAIL, True),
        ([-v for v in LONG_TAIL], True),  # the absolute skew counts
        ([*LONG_TAIL, NAN], True),  # missing values are left out
        ([0] * 10 + [1] * 2, False),  # skew 2.06 but excess kurtosis 2.64 (5.64 if not excess)
        ([1, 2, 90], False),  # too few values to estimate
        ([5.0] * 8, False),
    ],
)
def test_needs_treatment(values, expected):
    assert needs_treatment(values) is expected


@pytest.mark.parametrize(("how", "fill"), [("mean", 14 / 3), ("median", 3.0)])
def test_impute_fills_with_the_column_statistic(how, fill):
    data = pd.DataFrame({"a": [1.0, NAN, 3.0, 10.0], "b": [1, 2, 3, 4], "note": list("wxyz")})
    prepared, log, _ = prepare({"A": ["a"], "B": ["b"]}, data, impute=how)
    assert prepared["a"].tolist() == [1.0, fill, 3.0, 10.0]
    pd.testing.assert_frame_equal(prepared[["b", "note"]], data[["b", "note"]])
    assert log.to_dict("records") == [
        {"step": "impute", "column": "a", "row": 1, "before": pytest.approx(NAN, nan_ok=True),
         "after": fill, "detail": f"{how} of 3 values"}
    ]
    assert np.isnan(data.loc[1, "a"])  # the argument is untouched


def test_impute_within_groups_falls_back_to_the_column():
    data = pd.DataFrame(
        {
            "a": [1.0, NAN, 3.0, 5.0, NAN, NAN],
            "region": ["n", "n", "s", "s", "s", "w"],
        },
        index=list("pqrstu"),
    )
    prepared, log, _ = prepare(["a"], data, impute="mean", group="region")
    assert prepared["a"].tolist() == [1.0, 1.0, 3.0, 5.0, 4.0, 3.0]
    assert log["row"].tolist() == ["q", "t", "u"]
    assert log["detail"].tolist() == [
        "mean of 1 values with region = 'n'",
        "mean of 2 values with region = 's'",
        "mean of 3 values (no value with region = 'w')",
    ]


@pytest.mark.parametrize("sign", [1, -1], ids=["high tail", "low tail"])
def test_winsorize_moves_one_extreme_point_at_a_time(sign):
    values = sign * np.r_[np.arange(20.0), 200, 300]
    prepared, log, _ = prepare(["x"], pd.DataFrame({"x": values}), winsorize=True)
    # 300 goes to 200 first; the rule still holds, so both 200s go to 19; then it no longer does.
    np.testing.assert_array_equal(prepared["x"], sign * np.r_[np.arange(20.0), 19, 19])
    assert log[["row", "before", "after"]].values.tolist() == [
        [21, sign * 300, sign * 200], [20, sign * 200, sign * 19], [21, sign * 200, sign * 19]
    ]
    assert log["detail"].str.startswith("highest" if sign > 0 else "lowest").all()


def test_winsorize_stops_at_the_limit_and_warns():
    data = pd.DataFrame({"x": np.r_[np.arange(20.0), 200, 300]})
    with pytest.warns(UserWarning, match="'x' still has skew"):
        prepared, log, _ = prepare(["x"], data, winsorize=1)
    assert prepared["x"].iloc[-2:].tolist() == [200, 200] and len(log) == 1


def test_rows_below_the_availability_threshold_are_dropped_first():
    data = pd.DataFrame(
        {
            "a": [1.0, NAN, NAN, 4.0],
            "b": [1.0, 2.0, NAN, 4.0],
            "c": [1.0, 2.0, 3.0, NAN],
            "d": [1.0, NAN, 3.0, 4.0],
        }
    )
    schema = {"A": ["a", "b", "c"], "D": ["d"]}
    prepared, log, _ = prepare(schema, data, impute="median", min_present=2 / 3)
    # Row 1: 2 of 3 in A meets 2/3 but D has none; row 2: 1 of 3 in A; row 3: 2 of 3, kept.
    assert prepared.index.tolist() == [0, 3]
    assert prepared.loc[3, "c"] == 1.0  # the median of the rows kept, not of all rows
    drops = log[log["step"] == "drop"]
    assert drops[["column", "row", "before"]].values.tolist() == [["D", 1, 0.0], ["A", 2, 1 / 3]]
    assert drops["detail"].iloc[0] == "too few indicators present: D 0 of 1 (needs 0.667)"


@pytest.mark.parametrize(
    ("kwargs", "error", "message"),
    [
        ({"impute": "mode"}, ValueError, "impute must be one of"),
        ({"impute": "mean", "group": "h"}, ValueError, "group column 'h' has 1 missing labels"),
        ({"impute": "mean", "group": "zz"}, KeyError, "not a column"),
        ({"winsorize": 0}, ValueError, "winsorize must be"),
        ({"min_present": 1.5}, ValueError, "min_present must be a share"),
        ({"schema": "a"}, TypeError, "schema must be"),
        ({"schema": ["zz"]}, ValueError, "no entry of the schema names a column"),
        ({"schema": ["a", "g"], "impute": "mean"}, ValueError, "non-numeric columns: 'g'"),
        ({"schema": ["a", "e"], "impute": "mean"}, ValueError, "cannot impute 'e'"),
    ],
)
def test_prepare_rejects(kwargs, error, message):
    data = pd.DataFrame({"a": [1.0, NAN, 2.0], "e": [NAN] * 3, "g": ["x", "y", "x"], "h": ["x", None, "y"]})
    schema = kwargs.pop("schema", ["a"])
    with pytest.raises(error, match=message):
        prepare(schema, data, **kwargs)
