"""Dimension values, dimension weights and the composite score."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

import indexfuse

C = indexfuse.indexpca_diment


def record(coef, low=0.0, high=1.0, mean=0.0, std=1.0):
    return {"coef": coef, "max": high, "min": low, "mean": mean, "std": std}


@pytest.fixture
def small():
    return pd.DataFrame({"a": [0.0, 1.0, 2.0, 4.0], "b": [1.0, 3.0, 2.0, 0.0], "c": [5.0, 1.0, 2.0, 3.0]})


# --------------------------------------------------------- dimension values --


def test_table_value_is_the_sum_of_scaled_weighted_columns(toolkit, small):
    model = C(None, scale_method="custom")
    table = {"a": record(0.25, 0, 4, 1.5, 2.0), ("b", -1): record(0.75, -3, 0)}
    value = model.compute_dim_value(small, table)
    expected = small["a"] / 4 * 0.25 + (-small["b"] + 3) / 3 * 0.75
    pd.testing.assert_series_equal(value, expected, check_names=False)

    scaled = toolkit.log.of("scale")
    assert [kw for _, kw in scaled] == [
        {"method": "custom", "range": (0, 4), "mean": 1.5, "std": 2.0},
        {"method": "custom", "range": (-3, 0), "mean": 0.0, "std": 1.0},
    ]
    pd.testing.assert_series_equal(scaled[1][0][0], -small["b"])
    assert toolkit.log.of("rescale") == []


@pytest.mark.parametrize(
    ("key", "column", "sign"),
    [
        ("a", "a", 1),
        (("a",), "a", 1),
        (("a", -1), "a", -1),
        (["a", -1], "a", -1),
        (("a", -1, "note"), "a", 1),
    ],
)
def test_index_keys_decode_by_shape(toolkit, small, key, column, sign):
    class Items(dict):  # lets a list stand as a key
        def items(self):
            return [(key, record(1.0))]

    value = C(None).compute_dim_value(small, Items(z=record(1.0)))
    pd.testing.assert_series_equal(value, small[column] * sign, check_names=False)


def test_two_character_label_is_used_whole(toolkit):
    frame = pd.DataFrame({"ab": [1.0, 2.0], "a": [9.0, 9.0]})
    value = C(None).compute_dim_value(frame, {"ab": record(1.0)})
    assert value.tolist() == [1.0, 2.0]


def test_tree_value_and_rescaling(toolkit, small):
    tree = {"A": {"a": record(1.0)}, "B": {"inner": {"b": record(0.5)}, "none": None}, "C": 3}
    model = C(None, scale_method="z_score")
    values = model.compute_dim_value(small, tree, scale=(0, 100))
    assert list(values) == ["A", "B", "C"] and list(values["B"]) == ["inner", "none"]
    assert values["C"] is None and values["B"]["none"] is None
    assert values["A"].min() == 0 and values["A"].max() == 100
    rescaled = toolkit.log.of("rescale")
    assert [kw for _, kw in rescaled] == [{"method": "max_min", "range": (0, 100)}] * 2
    assert tree["B"]["none"] is None and values is not tree


@pytest.mark.parametrize("scale", [0, (), False, "range"])
def test_any_scale_but_none_rescales(toolkit, small, monkeypatch, scale):
    seen = []
    monkeypatch.setattr(toolkit.process, "rescale", lambda s, **kw: seen.append(kw) or "rescaled")
    assert C(None).compute_dim_value(small, {"a": record(1.0)}, scale) == "rescaled"
    assert seen == [{"method": "max_min", "range": scale}]


@pytest.mark.parametrize("index_coef", [None, [1], pd.DataFrame({"a": [1]}), "a"])
def test_values_of_other_kinds_give_none(toolkit, small, index_coef):
    assert C(None).compute_dim_value(small, index_coef) is None


def test_empty_mapping_gives_a_new_empty_mapping(toolkit, small):
    empty = {}
    result = C(None).compute_dim_value(small, empty)
    assert result == {} and result is not empty


def test_row_without_any_value_is_nan_not_zero(toolkit):
    frame = pd.DataFrame({"a": [1.0, np.nan, np.nan], "b": [1.0, 2.0, np.nan]})
    value = C(None).compute_dim_value(frame, {"a": record(1.0), "b": record(1.0)})
    assert value.iloc[0] == 2.0 and value.iloc[1] == 2.0 and np.isnan(value.iloc[2])


@pytest.mark.parametrize(
    ("table", "missing"),
    [
        ({"zz": record(1.0)}, "zz"),
        ({"a": {}}, "min"),
        ({"a": {"min": 0, "max": 1}}, "mean"),
        ({"a": {"min": 0, "max": 1, "mean": 0, "std": 1}}, "coef"),
    ],
)
def test_missing_keys(toolkit, small, table, missing):
    with pytest.raises(KeyError, match=missing):
        C(None).compute_dim_value(small, {"x": table} if "zz" in table else table)


def test_overrides_take_effect_at_every_level(toolkit, small):
    class Model(C):
        def is_index_coef(self, x):
            return isinstance(x, dict) and "marker" in x

    tree = {"A": {"marker": record(1.0)}}
    with pytest.raises(KeyError, match="marker"):
        Model(None).compute_dim_value(small, tree)


# ------------------------------------------------------------- dim weights --


def fitted(toolkit, estimates, k=3, min_ent=0.0):
    """A model with `min_ent` set, whose estimator returns `estimates` in turn."""
    values = iter(estimates)
    toolkit.entropy.estimate = lambda x: next(values)
    model = C(None, ent_k=k)
    model.min_ent = min_ent
    return model


def test_weights_are_shares_of_information(toolkit):
    s = pd.Series([1.0, 2.0, 3.0])
    model = fitted(toolkit, [5.0, 3.0], min_ent=2.0)
    weights, dim_iv = model.compute_dim_weight({"A": s, "B": s, "C": None, "D": [1, 2]})
    assert weights == {"A": 0.75, "B": 0.25, "C": None, "D": None}
    assert dim_iv == {"A": 3.0, "B": 1.0}
    assert list(weights) == ["A", "B", "C", "D"]
    for (x,), kw in toolkit.log.of("multivar_knn"):
        assert isinstance(x, np.ndarray) and kw == {"k": 3}


@pytest.mark.parametrize("argument", [{}, {"A": [1.0, 2.0]}, {"A": None}])
def test_no_information_hands_back_the_argument(toolkit, argument):
    result = fitted(toolkit, []).compute_dim_weight(argument)
    assert result[0] is argument and result[1] is argument


@pytest.mark.parametrize(
    ("argument", "received"),
    [
        (pd.Series([1.0, 2.0]), np.ndarray),
        ([1.0, 2.0], list),
        ((1.0, 2.0), tuple),
        (np.array([1.0, 2.0]), np.ndarray),
    ],
)
def test_single_dimension_weighs_one(toolkit, argument, received):
    assert fitted(toolkit, [4.0], min_ent=1.5).compute_dim_weight(argument) == (1, 2.5)
    (x,), _ = toolkit.log.of("multivar_knn")[0]
    assert type(x) is received


def test_frames_and_arrays(toolkit):
    frame = pd.DataFrame({"x": [1.0, 2.0]})
    model = fitted(toolkit, [1.0, 1.0])
    assert model.compute_dim_weight(frame) is None
    weights, _ = model.compute_dim_weight({"F": frame, "N": np.array([1.0, 3.0])})
    assert weights == {"F": 0.5, "N": 0.5}
    (x,), _ = toolkit.log.of("multivar_knn")[0]
    assert x is frame


def test_nested_dimension_worked_example(toolkit):
    s1 = pd.Series([1.0, 2.0, 4.0])
    s2 = pd.Series([3.0, 1.0, 2.0])
    s3 = pd.Series([0.0, 5.0, 1.0])
    # i1 = 3, i2 = 1; iA = 6, iB = 2 (min_ent = 1); the second pass repeats i1, i2
    model = fitted(toolkit, [4.0, 2.0, 7.0, 3.0, 4.0, 2.0], k=2, min_ent=1.0)
    weights, dim_iv = model.compute_dim_weight({"A": {"a1": s1, ("a2", -1): s2}, "B": s3})

    assert dim_iv == {"A": 6.0, "B": 2.0}
    assert weights == {"A": {"a1": 0.75 * 0.75, ("a2", -1): 0.75 * 0.25}, "B": 0.25}
    calls = [x for (x,), _ in toolkit.log.of("multivar_knn")]
    assert len(calls) == 6
    for got, expected in zip(calls, [s1, s2, None, s3, s1, s2]):
        if expected is not None:
            np.testing.assert_array_equal(got, expected.values)
    composite = (s1 * 3 - s2 * 1) / 4
    np.testing.assert_allclose(calls[2], composite.values)


def test_sub_dimension_without_weight_keeps_none(toolkit):
    s = pd.Series([1.0, 2.0, 4.0])
    model = fitted(toolkit, [3.0, 2.0, 4.0, 3.0, 2.0])
    weights, _ = model.compute_dim_weight({"A": {"a1": s, "a2": None}, "B": s})
    # iv: a1 3, composite of A 2, B 4: A holds a third, all of it on a1
    assert weights["A"] == {"a1": 1.0 / 3.0, "a2": None}
    assert weights["B"] == 2.0 / 3.0


def test_three_levels_are_not_supported(toolkit):
    s = pd.Series([1.0, 2.0])
    with pytest.raises(TypeError):
        fitted(toolkit, [1.0] * 10).compute_dim_weight({"A": {"a": {"x": s}}})


def test_negative_information_gives_negative_weight(toolkit):
    s = pd.Series([1.0, 2.0])
    weights, _ = fitted(toolkit, [3.0, -1.0]).compute_dim_weight({"A": s, "B": s})
    assert weights == {"A": 1.5, "B": -0.5}


def test_unfitted_model_fails_after_the_first_estimate(toolkit):
    model = C(None)
    with pytest.raises(AttributeError, match="'indexpca_diment' object has no attribute 'min_ent'"):
        model.compute_dim_weight({"A": pd.Series([1.0, 2.0])})
    assert len(toolkit.log.of("multivar_knn")) == 1


@pytest.mark.parametrize(
    ("result", "error", "message"),
    [
        (None, TypeError, "'NoneType' object is not iterable"),
        ((1, 2, 3), ValueError, "too many values to unpack (expected 2)"),
        ([{"a": 1}], ValueError, "need more than 1 value to unpack"),
        (({}, None), AttributeError, "'NoneType' object has no attribute 'items'"),
    ],
)
def test_override_results_must_unpack(toolkit, result, error, message):
    class Model(C):
        def compute_dim_weight(self, dim_value):
            if "inner" in dim_value:
                return result
            return super().compute_dim_weight(dim_value)

    model = Model(None)
    model.min_ent = 0.0
    with pytest.raises(error) as info:
        model.compute_dim_weight({"A": {"inner": pd.Series([1.0, 2.0])}})
    assert str(info.value) == message


# ---------------------------------------------------------- composite score --


def test_number_weight_scales_the_values():
    values = pd.Series([2.0, 4.0])
    score = C.compute_score(None, values, 0.5)
    assert score.tolist() == [1.0, 2.0] and score is not values and values.tolist() == [2.0, 4.0]


@pytest.mark.parametrize(
    ("weight", "expected"),
    [(True, 3), (2, 6), (np.float64(0.5), 1.5), (None, 0), ("w", 0), (np.int64(2), 0), (np.float32(1), 0), ({}, 0)],
)
def test_weight_kinds(weight, expected):
    result = C.compute_score(None, {} if isinstance(weight, dict) else 3, weight)
    assert result == expected and type(result) is not bool


def test_nested_weights_and_directions(toolkit):
    s1, s2, s3 = (pd.Series([float(i), 1.0]) for i in (1, 2, 3))
    model = C(None)
    values = {"A": {"a1": s1, "a2": s2}, "B": s3}
    score = model.compute_score(values, {"A": {"a1": 0.2, "a2": 0.3}, "B": 0.5})
    pd.testing.assert_series_equal(score, 0.2 * s1 + 0.3 * s2 + 0.5 * s3)

    values = {("A", -1): {("a1", -1): s1, "a2": s2}, ("B", "x", -1): s3}
    score = model.compute_score(values, {("A", -1): {("a1", -1): 0.2, "a2": 0.3}, ("B", "x", -1): 0.5})
    pd.testing.assert_series_equal(score, 0.2 * s1 - 0.3 * s2 + 0.5 * s3)


def test_missing_value_key_raises_even_for_none_weight():
    with pytest.raises(KeyError, match="B"):
        C.compute_score(C.__new__(C), {"A": 1.0}, {"A": 1.0, "B": None})


def test_self_containing_weights_end_in_recursion_error(toolkit):
    weights = {}
    weights["A"] = weights
    values = {}
    values["A"] = values
    with pytest.raises(RecursionError):
        C(None).compute_score(values, weights)
