"""check: every problem it must name, with its level and place; clean inputs stay clean."""

from __future__ import annotations

import copy
import unicodedata

import numpy as np
import pandas as pd
import pytest

import indexfuse
import indexfuse_tools
from indexfuse_tools import Problem, SchemaError, check


def _table(rows=30):
    rng = np.random.default_rng(3)
    base = rng.normal(size=(rows, 1))
    return pd.DataFrame(base + rng.normal(size=(rows, 4)), columns=["gdp", "jobs", "crime", "poverty"])


def _with(**changes):
    def make():
        frame = _table()
        for label, values in changes.items():
            frame[label] = values(frame) if callable(values) else values
        return frame

    return make


def _holes(frame):
    frame.loc[[3, 7], "gdp"] = np.nan
    frame.loc[5, "jobs"] = np.inf
    return frame


def _tuple_labels(frame):
    frame.columns = pd.MultiIndex.from_tuples([("gdp", 2000), ("gdp", 2001), ("crime", 2000), ("crime", 2001)])
    return frame


def _duplicated(frame):
    frame.columns = ["gdp", "gdp", "crime", "poverty"]
    return frame


SAFE = {"B": [("crime", -1)]}

CASES = {
    # schema entries
    "typo": ({"A": ["gdp", "jbos"], **SAFE}, _table, "error", "schema['A'][1]", "did you mean 'jobs'"),
    "no column at all": ({"A": ["zz"], **SAFE}, _table, "error", "schema['A']", "none of its entries"),
    "repeat within": ({"A": ["gdp", ("gdp", -1)], **SAFE}, _table, "error", "schema['A'][1]", "repeats"),
    "repeat across": ({"A": ["gdp"], "B": ["crime", "gdp"]}, _table, "warning", "schema['B'][1]",
                      "also used in schema['A']"),
    "text direction": ({"A": ["jobs", ("gdp", "-1")], **SAFE}, _table, "error", "schema['A'][1]",
                       "the direction '-1' of the column 'gdp' is a string, not a number: write -1 without quotes"),
    "nan direction": ({"A": [("gdp", np.nan)], **SAFE}, _table, "error", "schema['A'][0]",
                      "the direction nan of the column 'gdp' is not a finite"),
    "direction 2": ({"A": ["jobs", ("gdp", 2)], **SAFE}, _table, "warning", "schema['A'][1]",
                    "the direction 2 scales the column 'gdp' by 2"),
    "direction 0": ({"A": [("gdp", 0)], **SAFE}, _table, "warning", "schema['A'][0]", "zeroes the column 'gdp'"),
    "bool direction": ({"A": [("gdp", True)], **SAFE}, _table, "warning", "schema['A'][0]",
                       "the direction True of the column 'gdp' is a bool"),
    "direction without a table": ({"A": [("gdp", "up")]}, lambda: _table().to_numpy(), "error", "schema['A'][0]",
                                  "the direction 'up' of the column 'gdp' is a string"),
    "other normal form": ({"A": [unicodedata.normalize("NFC", "Zürich")], **SAFE},
                          lambda: _table().rename(columns={"gdp": unicodedata.normalize("NFD", "Zürich")}),
                          "error", "schema['A'][0]",
                          f"the column {unicodedata.normalize('NFD', 'Zürich')!r} has the same letters written in "
                          "another Unicode normal form "
                          "(the schema's is NFC, the data's NFD)"),
    "other normal form, the other way": (
        {"A": [unicodedata.normalize("NFD", "Zürich")], **SAFE},
        lambda: _table().rename(columns={"gdp": unicodedata.normalize("NFC", "Zürich")}),
        "error", "schema['A'][0]", "(the schema's is NFD, the data's NFC)"),
    "three elements": ({"A": [("gdp", -1, "x")], **SAFE}, _table, "warning", "schema['A'][0]", "ignores the rest"),
    "empty entry": ({"A": ["gdp", ()], **SAFE}, _table, "error", "schema['A'][1]", "IndexError"),
    # dimension keys
    "zero key": ({("A", 0): ["gdp"], **SAFE}, _table, "warning", "schema[('A', 0)]", "keeps its weight"),
    "pair key": ({("economy", "jobs"): ["gdp"], **SAFE}, _table, "error", "schema[('economy', 'jobs')]",
                 "read as (name, direction)"),
    # structure
    "too deep": ({"A": {"a": {"x": ["gdp"]}}, **SAFE}, _table, "error", "schema['A']['a']", "nest deeper"),
    "empty dimension": ({"A": [], **SAFE}, _table, "error", "schema['A']", "an empty dimension"),
    "empty mapping": ({"A": {}, **SAFE}, _table, "error", "schema['A']", "KeyError"),
    "no dimensions": ({}, _table, "error", "schema", "no dimensions"),
    "placeholders only": ({"A": None}, _table, "error", "schema", "no dimension names a column"),
    "nested without columns": ({"A": {"a1": ["zz"], "a2": None}, **SAFE}, _table, "error", "schema['A']",
                               "none of its sub-dimensions"),
    "string schema": ("gdp", _table, "error", "schema", "write ['gdp']"),
    "set dimension": ({"A": {"gdp", "jobs"}, **SAFE}, _table, "error", "schema['A']", "a set has no order"),
    # the table
    "array": ({"A": ["gdp"]}, lambda: _table().to_numpy(), "error", "data", "pd.DataFrame(array"),
    "duplicate labels": ({"A": ["gdp"], **SAFE}, lambda: _duplicated(_table()), "error", "data['gdp']",
                         "2 columns carry this label"),
    "categorical": ({"A": ["gdp"], **SAFE}, _with(gdp=lambda f: f["gdp"].round().astype("category")),
                    "error", "data['gdp']", "categorical"),
    "datetime": ({"A": ["gdp"], **SAFE}, _with(gdp=pd.date_range("2000", periods=30)), "error",
                 "data['gdp']", "datetime64"),
    "text": ({"A": ["gdp"], **SAFE}, _with(gdp="high"), "error", "data['gdp']", "pd.to_numeric"),
    "missing": ({"A": ["gdp", "jobs"], **SAFE}, lambda: _holes(_table()), "error", "data['gdp']",
                "2 missing value(s) (rows 3, 7)"),
    "infinite": ({"A": ["gdp", "jobs"], **SAFE}, lambda: _holes(_table()), "error", "data['jobs']",
                 "1 infinite value(s)"),
    "constant": ({"A": ["gdp"], **SAFE}, _with(gdp=4.0), "warning", "data['gdp']", "constant"),
    "tuple label": ({"A": [("gdp", 2000)], "B": [[("crime", 2000)]]}, lambda: _tuple_labels(_table()),
                    "error", "schema['A'][0]", "write [('gdp', 2000)]"),
    "one row": ({"A": ["gdp"], **SAFE}, lambda: _table().iloc[:1], "error", "data", "at least 2"),
    "few rows": ({"A": ["gdp"], **SAFE}, lambda: _table().iloc[:8], "warning", "data", "from 10 to 7"),
    "rows per index": ({"A": ["gdp", "jobs", "poverty"], **SAFE}, lambda: _table().iloc[:3], "warning",
                       "schema['A']", "3 indices on 3 rows"),
}


@pytest.mark.parametrize(("schema", "make", "level", "place", "phrase"), CASES.values(), ids=CASES.keys())
def test_check_names_the_problem_and_changes_nothing(schema, make, level, place, phrase):
    data = make()
    schema_before, data_before = repr(schema), copy.deepcopy(data)
    problems = check(schema, data)
    assert any(
        p.level == level and p.place == place and phrase in p.message for p in problems
    ), "\n".join(map(str, problems))
    assert repr(schema) == schema_before
    if isinstance(data, pd.DataFrame):
        pd.testing.assert_frame_equal(data, data_before)
    else:
        np.testing.assert_array_equal(data, data_before)


CLEAN = {
    "nested with directions": {"A": [("gdp", -1), "jobs"], ("B", -1): {"b1": ["crime"], "b2": [("poverty",)]}},
    "single list": ["gdp", ("jobs", -1)],
    "placeholder": {"A": ["gdp"], "later": None},
}


@pytest.mark.parametrize("schema", CLEAN.values(), ids=CLEAN.keys())
def test_clean_schema_on_clean_data_has_no_problem_and_fits(schema):
    data = _table()
    assert check(schema, data) == []
    indexfuse.indexpca_diment(schema).fit(data)


def test_tuple_labels_written_whole_are_clean():
    data = _tuple_labels(_table())
    schema = {"A": [[("gdp", 2000)], (("gdp", 2001), -1)], "B": [[("crime", 2000)]]}
    assert check(schema, data) == []
    model = indexfuse.indexpca_diment(schema)
    model.fit(data)
    assert indexfuse_tools.weights(model).notna().all()


def test_strict_raises_one_error_listing_every_error():
    schema = {"A": ["gdp", "jbos"], "B": [("crime", "-1"), "gdp"]}
    with pytest.raises(SchemaError) as caught:
        check(schema, _table(), strict=True)
    error = caught.value
    assert isinstance(error, ValueError)
    text = str(error)
    assert text.startswith("2 error(s)") and "schema['A'][1]" in text and "schema['B'][0]" in text
    assert "1 warning(s)" in text  # the column used twice
    assert [p.level for p in error.problems] == ["error", "error", "warning"]


def test_strict_does_not_raise_for_warnings_alone():
    problems = check({"A": [("gdp", 2)]}, _table(), strict=True)
    assert problems == [Problem("warning", "schema['A'][0]", problems[0].message)]
