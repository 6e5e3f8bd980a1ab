"""Index coefficients and the coefficient-table check, against recording fakes."""

from __future__ import annotations

import copy

import numpy as np
import pandas as pd
import pytest

import indexfuse

C = indexfuse.indexpca_diment
RECORD = ["coef", "max", "min", "mean", "std"]


def fitted_columns(toolkit):
    return [list(args[0].columns) for args, _ in toolkit.log.of("fit")]


def test_tree_keeps_keys_order_and_walks_depth_first(toolkit, frame):
    schema = {"B": ["c", "d"], ("A", -1): {"a1": ["a"], "a2": None, "a3": {}}, "E": ["e"]}
    before = copy.deepcopy(schema)
    model = C(schema)
    tree = model.compute_index_coef(frame, schema)

    assert schema == before and tree is not schema
    assert list(tree) == ["B", ("A", -1), "E"]
    assert list(tree[("A", -1)]) == ["a1", "a2", "a3"]
    assert tree[("A", -1)]["a2"] is None and tree[("A", -1)]["a3"] == {}
    assert fitted_columns(toolkit) == [["c", "d"], ["a"], ["e"]]
    assert toolkit.log.names()[1:] == ["fit", "score"] * 3
    record = tree["B"]["c"]
    assert list(record) == RECORD
    fitted = frame[["c", "d"]]  # the statistics as the fake PCA takes them, column by column
    assert record == {
        "coef": 0.5,
        "max": fitted.max()["c"],
        "min": fitted.min()["c"],
        "mean": fitted.mean()["c"],
        "std": fitted.std()["c"],
    }


@pytest.mark.parametrize(
    ("leaf", "keys", "selected", "signs"),
    [
        (["a", "zz", "b"], ["a", "b"], ["a", "b"], [1, 1]),
        ([("a", -1)], [("a", -1)], ["a"], [-1]),
        ([["a", -1]], [("a", -1)], ["a"], [-1]),
        ([("a",)], [("a",)], ["a"], [1]),
        ([("a", -1, "note")], [("a", -1, "note")], ["a"], [1]),
        ([("zz", -1), "b"], ["b"], ["b"], [1]),
        (("a", ("b", 2)), ["a", ("b", 2)], ["a", "b"], [1, 2]),
    ],
)
def test_leaf_entries(toolkit, frame, leaf, keys, selected, signs):
    model = C(None)
    table = model.compute_index_coef(frame, leaf)
    assert list(table) == keys
    (fitted,), _ = toolkit.log.of("fit")[0]
    assert list(fitted.columns) == selected
    expected = frame[selected] * signs
    pd.testing.assert_frame_equal(fitted, expected)
    assert toolkit.log.of("score")[0][0][0] is fitted


def test_repeated_entry_keeps_first_place_and_later_record(toolkit, frame):
    toolkit.pca_options = {"coef": lambda f: [0.1, 0.2, 0.7]}
    table = C(None).compute_index_coef(frame, ["a", "b", "a"])
    assert list(table) == ["a", "b"]
    assert table["a"]["coef"] == 0.7
    (fitted,), _ = toolkit.log.of("fit")[0]
    assert list(fitted.columns) == ["a", "b", "a"]


def test_tuple_label_accepted_whole_is_selected_by_element_0(toolkit):
    columns = pd.MultiIndex.from_tuples([("x", "1"), ("y", "1")])
    frame = pd.DataFrame([[1.0, 2.0], [3.0, 5.0]], columns=columns)
    entry = ("x", "1")  # "x" is no column label, the pair as a whole is
    table = C(None).compute_index_coef(frame, [entry])
    assert list(table) == [entry] and next(iter(table)) is entry
    (fitted,), _ = toolkit.log.of("fit")[0]
    assert list(fitted.columns) == [("x", "1")]


@pytest.mark.parametrize("node", ["abc", 3, {1, 2}, np.arange(3), pd.Index(["a"]), None])
def test_other_nodes_give_none(toolkit, frame, node):
    assert C(None).compute_index_coef(frame, node) is None
    assert C(None).compute_index_coef(frame, {"A": node}) == {"A": None}
    assert toolkit.log.of("fit") == []


@pytest.mark.parametrize("leaf", [[], ["zz"], ("q", ("r", -1))])
def test_leaf_without_columns_gives_none_without_toolkit_calls(toolkit, frame, leaf):
    assert C(None).compute_index_coef(frame, leaf) is None
    assert toolkit.log.names() == ["PCA"]


def test_empty_entry_raises_index_error(toolkit, frame):
    with pytest.raises(IndexError):
        C(None).compute_index_coef(frame, ["a", ()])


def test_abnormal_values_are_recorded_by_value(toolkit, frame):
    toolkit.pca_options = {"coef": lambda f: [0.5, -0.25, -0.25], "abnormal": [-0.25]}
    model = C(None)
    model.compute_index_coef(frame, ["a", ("b", -1), "c"])
    assert model.abnormal_index == [{("b", -1): -0.25}, {"c": -0.25}]
    model.compute_index_coef(frame, ["a", ("b", -1), "c"])
    assert len(model.abnormal_index) == 4  # a second call appends again


def test_repeated_entry_can_be_recorded_twice(toolkit, frame):
    toolkit.pca_options = {"coef": lambda f: [-1.0, -1.0], "abnormal": {-1.0}}
    model = C(None)
    model.compute_index_coef(frame, ["a", "a"])
    assert model.abnormal_index == [{"a": -1.0}, {"a": -1.0}]


class LoggingDict(dict):
    log: list

    def copy(self):
        self.log.append("copy")
        return LoggingDict(self)

    def items(self):
        self.log.append("items")
        return super().items()


def test_mappings_are_copied_and_walked_through_their_own_methods(toolkit, frame):
    LoggingDict.log = []
    schema = LoggingDict(A=["a"], B=None)
    tree = C(None).compute_index_coef(frame, schema)
    assert LoggingDict.log == ["copy", "items"]
    assert type(tree) is LoggingDict and tree is not schema and schema["A"] == ["a"]


@pytest.mark.parametrize(
    ("copied", "error", "message"),
    [
        (None, AttributeError, "'NoneType' object has no attribute 'items'"),
        ([("A", ["a"], 1)], ValueError, "too many values to unpack (expected 2)"),
        ([("A",)], ValueError, "need more than 1 value to unpack"),
        ([()], ValueError, "need more than 0 values to unpack"),
    ],
)
def test_odd_copies(toolkit, frame, copied, error, message):
    class Odd(dict):
        def copy(self):
            return copied if copied is None else OddItems(copied)

    class OddItems(dict):
        def __init__(self, items):
            self._items = items

        def items(self):
            return self._items

    with pytest.raises(error) as info:
        C(None).compute_index_coef(frame, Odd(A=["a"]))
    assert str(info.value) == message


@pytest.mark.parametrize(
    ("result", "error", "message"),
    [
        ((1, 2), ValueError, "need more than 2 values to unpack"),
        ((1, 2, 3, 4), ValueError, "too many values to unpack (expected 3)"),
        (iter([None, [1.0], []]), None, None),
        (None, TypeError, "'NoneType' object is not iterable"),
    ],
)
def test_score_result_must_unpack_into_three(toolkit, frame, result, error, message):
    class PCA:
        def fit(self, f):
            self.max = self.min = self.mean = self.std = [0.0]

        def score(self, f):
            return result

    model = C(None)
    model.pca = PCA()
    if error is None:
        assert list(model.compute_index_coef(frame, ["a"])) == ["a"]
        return
    with pytest.raises(error) as info:
        model.compute_index_coef(frame, ["a"])
    assert str(info.value) == message


def test_overrides_handle_nested_nodes(toolkit, frame):
    seen = []

    class Model(C):
        def compute_index_coef(self, data, schema):
            seen.append(schema)
            return super().compute_index_coef(data, schema)

    schema = {"A": {"B": ["a"]}}
    Model(schema).compute_index_coef(frame, schema)
    assert seen == [schema, {"B": ["a"]}, ["a"]]

    model = C(schema)
    model.compute_index_coef = lambda data, node: "instance"
    assert C.compute_index_coef(model, frame, schema) == {"A": "instance"}


def test_self_containing_schema_ends_in_recursion_error(toolkit, frame):
    schema = {}
    schema["A"] = schema
    with pytest.raises(RecursionError):
        C(schema).compute_index_coef(frame, schema)


# -------------------------------------------------------- coefficient check --

RECORD_DICT = dict.fromkeys(RECORD, 0.0)


@pytest.mark.parametrize(
    ("x", "expected"),
    [
        ([], False),
        ((), False),
        (pd.DataFrame({"a": [1]}), False),
        (3, False),
        (None, False),
        ({}, False),
        ({"a": {}}, True),
        ({"a": RECORD_DICT, "b": RECORD_DICT}, True),
        ({"a": {**RECORD_DICT, "extra": 1}}, False),
        ({"a": 1, "b": None, "c": [1], "d": {"min": 0}}, True),
        ({"A": {"a": RECORD_DICT}}, False),
        ({"A": {"min": RECORD_DICT, "max": RECORD_DICT}}, True),
        ({"a": None, "b": None}, False),
        ({"A": {"a": RECORD_DICT}, "B": {}}, True),
        ({"a": {1: 0}}, False),
        ({"a": {("min",): 0}}, False),
    ],
)
def test_is_index_coef_truth_table(x, expected):
    result = C.is_index_coef(None, x)
    assert result is expected


def test_is_index_coef_examines_every_value_through_its_own_methods():
    calls = []

    class Keys(dict):
        def keys(self):
            calls.append(id(self))
            return super().keys()

    first, second = Keys(min=1), Keys(max=1)
    assert C.is_index_coef(None, {"a": first, "b": second}) is True
    assert calls == [id(first), id(second)]  # no early exit

    class Failing(dict):
        def keys(self):
            raise LookupError("keys")

    with pytest.raises(LookupError, match="keys"):
        C.is_index_coef(None, {"a": Failing()})
