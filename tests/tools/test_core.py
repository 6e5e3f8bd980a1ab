"""The ground floor of the tools: the tree walker, the entry rule, value checks and defaults."""

from __future__ import annotations

import math
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest

import indexfuse
import indexfuse_tools
from indexfuse_tools import _core as core

COLUMNS = ["a", "b", "c", "d", ("t", 1)]


@pytest.fixture(scope="module")
def table():
    rng = np.random.default_rng(11)
    return pd.DataFrame(rng.normal(size=(40, len(COLUMNS))), columns=COLUMNS)


# ------------------------------------------------------------ the entry rule --


@pytest.mark.parametrize("empty", [(), []])
def test_an_empty_entry_fails_in_fit_and_in_resolve_alike(table, empty):
    schema = {"A": ["a", empty], "B": ["b"]}
    with pytest.raises(IndexError):
        indexfuse.indexpca_diment(schema).fit(table)
    with pytest.raises(IndexError):
        core.resolve(empty, COLUMNS)
    with pytest.raises(IndexError):
        core.indicators(schema, COLUMNS)


@pytest.mark.parametrize(
    ("entry", "label", "direction", "whole"),
    [
        ("a", "a", 1, False),
        (("a", -1), "a", -1, False),
        (["a", 2.5], "a", 2.5, False),
        (("a", -1, "note"), "a", 1, False),  # only the label of a longer entry is read
        (("t", 1), ("t", 1), 1, True),  # no column "t": the tuple label as a whole
        ((("t", 1), -1), ("t", 1), -1, False),
    ],
)
def test_resolve_reads_an_entry_as_fit_does(entry, label, direction, whole):
    assert core.resolve(entry, COLUMNS) == (label, direction, whole)


@pytest.mark.parametrize("entry", ["zz", ("zz", -1), 3])
def test_an_entry_naming_no_column_selects_nothing(entry):
    assert core.resolve(entry, COLUMNS) is None
    assert core.selected(entry, COLUMNS) is core.GONE


# ------------------------------------------------------------------ without --

SCHEMA = {"A": ["a", ("b", -1)], "B": {"B1": ["c"], "B2": ["d", "zz"]}, "C": None}


@pytest.mark.parametrize(
    ("drop", "expected"),
    [
        ([], SCHEMA),
        (["a"], {"A": [("b", -1)], "B": {"B1": ["c"], "B2": ["d", "zz"]}, "C": None}),
        (["a", "b"], {"B": {"B1": ["c"], "B2": ["d", "zz"]}, "C": None}),
        (["d"], {"A": ["a", ("b", -1)], "B": {"B1": ["c"]}, "C": None}),  # "zz" alone names nothing
        (["c", "d"], {"A": ["a", ("b", -1)], "C": None}),
    ],
)
def test_without_drops_emptied_dimensions_and_keeps_placeholders(drop, expected):
    assert core.without(SCHEMA, drop, COLUMNS) == expected


def test_without_everything_is_gone_and_untouched_lists_are_the_callers():
    assert core.without(["a", "b"], ["a", "b"], COLUMNS) is core.GONE
    assert core.without({"A": ["a"]}, ["a"], COLUMNS) is core.GONE
    assert core.without(SCHEMA, ["a"], COLUMNS)["B"]["B1"] is SCHEMA["B"]["B1"]
    assert core.without((("a", -1), "b"), ["b"], COLUMNS) == (("a", -1),)


def test_indicators_and_used_columns_follow_schema_order(table):
    schema = {"A": ["c", ("a", -1)], "B": ["c", "zz", ("t", 1)]}
    assert core.indicators(schema, COLUMNS) == ["c", "a", ("t", 1)]
    assert core.used_columns(table, schema).columns.tolist() == ["a", "c", ("t", 1)]


# --------------------------------------------------------------- the walker --


def test_walk_stops_below_the_depth_the_model_reads():
    schema: dict = {"A": {"B": {"C": ["a"]}}}
    schema["A"]["self"] = schema
    places = [node.place for node in core.walk(schema)]
    assert places == ["schema", "schema['A']", "schema['A']['B']", "schema['A']['self']"]


def test_map_leaves_visits_leaves_in_tree_order_and_maps_keys():
    seen = []

    def leaf(node):
        seen.append(node.place)
        return node.value * 2

    mapped = core.map_leaves({"x": 1, "y": {"z": 2, "w": 3}}, leaf, where="t", key=str.upper)
    assert mapped == {"X": 2, "Y": {"Z": 4, "W": 6}}
    assert seen == ["t['x']", "t['y']['z']", "t['y']['w']"]
    assert core.map_leaves(5, leaf) == 10


@pytest.mark.parametrize(
    ("tree", "weight"),
    [
        ({"a": 0.25, "b": {"c": None, "d": np.float32(0.5)}}, 0.75),
        ({"a": None, "b": {"c": None}}, math.nan),
        ({"a": np.int64(1), "b": True}, 1.0),  # a bool is no weight
        (0.5, 0.5),
        (None, math.nan),
    ],
)
def test_node_weight(tree, weight):
    assert core.node_weight(tree) == pytest.approx(weight, nan_ok=True)


def test_coefficient_tables_and_weight_leaves_of_a_fitted_model(table):
    model = indexfuse.indexpca_diment({"A": ["a", "b"], ("B", -1): {"B1": ["c"], "B2": ["zz"]}})
    model.fit(table)
    assert [node.path for node in core.coefficient_tables(model.index_coef)] == [("A",), (("B", -1), "B1")]
    leaves = [(node.path, node.value) for node in core.weight_leaves(model.dim_weight)]
    assert [path for path, _ in leaves] == [("A",), (("B", -1), "B1"), (("B", -1), "B2")]
    assert leaves[-1][1] is None


# ------------------------------------------------------------------- values --


@pytest.mark.parametrize(
    ("value", "real", "integer", "finite"),
    [
        (1, True, True, True),
        (np.int64(-3), True, True, True),
        (np.uint8(3), True, True, True),
        (0.5, True, False, True),
        (np.float32(0.5), True, False, True),
        (math.inf, True, False, False),
        (np.float64("nan"), True, False, False),
        (10**400, True, True, False),  # no float holds it
        (True, False, False, False),
        (np.bool_(True), False, False, False),
        (Fraction(1, 2), False, False, False),
        ("1", False, False, False),
        (None, False, False, False),
    ],
)
def test_one_rule_for_numbers(value, real, integer, finite):
    assert (core.is_real(value), core.is_integer(value), core.is_finite(value)) == (real, integer, finite)


@pytest.mark.parametrize(("value", "hashable"), [(("a", 1), True), (("a", [1]), False), ([1], False)])
def test_is_hashable(value, hashable):
    assert core.is_hashable(value) is hashable


def test_the_defaults_are_the_models_own():
    model = indexfuse.indexpca_diment(["a"])
    assert core.DEFAULT_SCALE_METHOD == model.scale_method
    assert core.DEFAULT_K == model.k
    assert set(core.MODEL_DEFAULTS) == {"scale_method", "pca_cumulative", "ent_k"}


# ----------------------------------------------------------- the API's shape --


def test_prepare_in_the_old_order_shows_the_new_signature(table):
    with pytest.raises(TypeError, match=r"prepare\(schema, data, \*, impute=None"):
        indexfuse_tools.prepare(table, {"A": ["a"]})


@pytest.mark.parametrize(
    ("call", "name"),
    [
        (lambda m, d: indexfuse_tools.check(m.schema, d, True), "check"),
        (lambda m, d: indexfuse_tools.results(m, d, 0.5), "results"),
        (lambda m, d: indexfuse_tools.audit(m, d, d[["a"]]), "audit"),
        (lambda m, d: indexfuse_tools.set_weights(m, {"A": 1.0, "B": 1.0}, False), "set_weights"),
        (lambda m, d: indexfuse_tools.to_dict(m, 1.0), "to_dict"),
    ],
)
def test_options_are_keyword_only(table, call, name):
    model = indexfuse.indexpca_diment({"A": ["a"], "B": ["b"]})
    model.fit(table)
    with pytest.raises(TypeError, match="positional argument"):
        call(model, table)
