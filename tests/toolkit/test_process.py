import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

from tessel import process

VALUES = [3.0, 5.0, 4.0, 9.0]


@pytest.mark.parametrize(
    "dtype, data",
    [
        ("int64", [3, 5, 4, 9]),
        ("float64", [3.0, 5.0, np.nan, 9.0]),
        ("Int64", [3, 5, None, 9]),
        ("Float64", [3.0, None, 4.0, 9.0]),
        ("boolean", [True, None, False, True]),
        ("bool", [True, False, False, True]),
    ],
)
def test_scale_accepts_numeric_dtypes_and_keeps_missing(dtype, data):
    column = pd.Series(data, dtype=dtype, name=("dim", 1), index=[10, 11, 12, 13])
    out = process.scale(column, method="max_min", range=(0, 10), mean=0.0, std=1.0)
    assert out.dtype == np.float64
    assert out.name == ("dim", 1)
    assert list(out.index) == [10, 11, 12, 13]
    numeric = [np.nan if v is None or v is pd.NA else float(v) for v in data]
    np.testing.assert_allclose(out.to_numpy(), np.array(numeric) / 10)


def test_scale_with_stored_statistics_does_not_clip():
    column = pd.Series([-2.0, 0.0, 5.0, 12.0])
    out = process.scale(column, "max_min", range=(0, 10), mean=99, std=99)
    assert out.tolist() == [-0.2, 0.0, 0.5, 1.2]
    out = process.scale(column, "z_score", range=(0, 1), mean=np.float32(2), std=np.int64(4))
    assert out.tolist() == [-1.0, -0.5, 0.75, 2.5]


def test_scale_defaults_to_own_statistics():
    column = pd.Series(VALUES + [np.nan])
    own = column.dropna()
    np.testing.assert_allclose(
        process.scale(column).to_numpy()[:4], (own - own.min()) / (own.max() - own.min())
    )
    np.testing.assert_allclose(
        process.scale(column, "z_score").to_numpy()[:4], (own - own.mean()) / own.std(ddof=1)
    )
    assert np.isnan(process.scale(column, "z_score").iloc[4])


@pytest.mark.parametrize(
    "method, kwargs",
    [
        ("max_min", {"range": (2.0, 2.0)}),
        ("max_min", {}),
        ("z_score", {"mean": 1.0, "std": 0.0}),
        ("z_score", {}),
    ],
)
def test_zero_width_or_std_gives_zeros(method, kwargs):
    column = pd.Series([2.0, 2.0, np.nan, 2.0])
    out = process.scale(column, method, **kwargs)
    assert out.iloc[[0, 1, 3]].tolist() == [0.0, 0.0, 0.0]
    assert np.isnan(out.iloc[2])


def test_reversed_range_flips_the_scale():
    out = process.scale(pd.Series([0.0, 2.5, 10.0]), range=(10, 0))
    assert out.tolist() == [1.0, 0.75, 0.0]


def test_scale_does_not_modify_input():
    column = pd.Series(VALUES)
    process.scale(column, "z_score")
    assert column.tolist() == VALUES


@pytest.mark.parametrize(
    "low, high, expected",
    [
        (0, 1, [0.0, 1 / 3, 1 / 6, 1.0]),
        (0, 100, [0.0, 100 / 3, 100 / 6, 100.0]),
        (1, 0, [1.0, 2 / 3, 5 / 6, 0.0]),
        (np.float64(-1), np.int32(1), [-1.0, -1 / 3, -2 / 3, 1.0]),
    ],
)
def test_rescale_maps_min_max_onto_range(low, high, expected):
    series = pd.Series(VALUES, index=list("abcd"), name="score")
    out = process.rescale(series, method="max_min", range=(low, high))
    np.testing.assert_allclose(out.to_numpy(), expected, rtol=1e-15, atol=1e-15)
    assert out.iloc[0] == float(low) and out.iloc[3] == float(high)
    assert out.name == "score" and list(out.index) == list("abcd")


@pytest.mark.parametrize("data", [[4.0, 4.0, np.nan], [np.nan, np.nan], []])
def test_rescale_constant_or_missing(data):
    out = process.rescale(pd.Series(data, dtype=float), range=(5, 1))
    expected = [5.0 if not np.isnan(v) else np.nan for v in data]
    np.testing.assert_array_equal(out.to_numpy(), np.array(expected, dtype=float))


@given(
    st.lists(st.floats(-1e6, 1e6), min_size=1, max_size=50),
    st.floats(-1e3, 1e3),
    st.floats(-1e3, 1e3),
)
def test_rescale_stays_within_range(data, low, high):
    out = process.rescale(pd.Series(data), range=(low, high)).to_numpy()
    lo, hi = min(low, high), max(low, high)
    slack = 1e-9 * (1 + abs(lo) + abs(hi))
    assert np.all(out >= lo - slack) and np.all(out <= hi + slack)


@pytest.mark.parametrize("call", [
    lambda s: process.scale(s, range=(0, 10)),
    lambda s: process.scale(s, "z_score"),
    lambda s: process.rescale(s),
])
@pytest.mark.parametrize(
    "data, count",
    [([1.0, np.inf, 3.0], 1), ([-np.inf, np.nan, np.inf, 2.0], 2)],
)
def test_infinite_values_are_refused_by_name_and_count(call, data, count):
    with pytest.raises(ValueError, match=rf"'rate' has {count} infinite value"):
        call(pd.Series(data, name="rate"))


@pytest.mark.parametrize(
    "call, fragments",
    [
        (lambda s: process.scale(s, method="minmax"), ["'minmax'", "'max_min'", "'z_score'"]),
        (lambda s: process.scale(s, method=None), ["None", "'max_min'"]),
        (lambda s: process.rescale(s, method="z_score"), ["'z_score'", "'max_min'"]),
        (lambda s: process.scale(s, range=(0, 1, 2)), ["range", "(0, 1, 2)", "pair"]),
        (lambda s: process.scale(s, range=(0, np.nan)), ["range", "nan", "finite"]),
        (lambda s: process.scale(s, range="ab"), ["range", "'ab'"]),
        (lambda s: process.scale(s, range=5), ["range", "5"]),
        (lambda s: process.rescale(s, range=(0, np.inf)), ["range", "inf"]),
        (lambda s: process.rescale(s, range=(True, 1)), ["range", "True"]),
        (lambda s: process.scale(s, "z_score", mean=np.inf), ["mean", "inf"]),
        (lambda s: process.scale(s, "z_score", std=-1.0), ["std", "-1.0", ">= 0"]),
        (lambda s: process.scale(s, "z_score", std="1"), ["std", "'1'"]),
        (lambda s: process.scale(s.astype(str)), ["numeric", "column"]),
        (lambda s: process.rescale(pd.Series(["a", "b"])), ["numeric"]),
        (lambda s: process.scale(pd.Series([1j, 2j])), ["numeric", "complex"]),
        (lambda s: process.scale(s.to_frame()), ["Series", "DataFrame"]),
    ],
)
def test_bad_input_is_named(call, fragments):
    with pytest.raises(ValueError) as info:
        call(pd.Series(VALUES, name="col"))
    for fragment in fragments:
        assert fragment in str(info.value)
