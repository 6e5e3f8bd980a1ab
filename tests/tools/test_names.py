"""Dimensions that would be shown under one name: found by check, refused by every table of scores."""

from __future__ import annotations

import re

import numpy as np
import pandas as pd
import pytest

import indexfuse
import indexfuse_tools

DATA = pd.DataFrame(
    np.random.default_rng(5).normal(size=(12, 3)) + np.arange(12)[:, None] * 0.2,
    columns=["x", "y", "z"],
    index=[f"u{i}" for i in range(12)],
)

# Each schema, the place check names and the words both messages share.
CLASHES = {
    "nested beside a slash": ({"a / b": ["x"], "a": {"b": ["y"]}, "c": ["z"]}, "schema['a']['b']", "'a / b'"),
    "a direction beside its words": ({("s", -1): ["x"], "s (-1)": ["y"]}, "schema['s (-1)']", "'s (-1)'"),
    "a number beside its text": ({1: ["x"], "1": ["y"], "c": ["z"]}, "schema['1']", "'1'"),
    "a column of the scores": ({"rank": ["x"], "c": ["y", "z"]}, "schema['rank']", "'rank'"),
    "the count of gaps": ({"d": ["x"], "missing": ["y", "z"]}, "schema['missing']", "'missing'"),
}


@pytest.mark.parametrize("schema, place, name", CLASHES.values(), ids=list(CLASHES))
def test_check_reports_dimensions_shown_under_one_name(schema, place, name):
    found = [problem for problem in indexfuse_tools.check(schema, DATA) if problem.level == "error"]
    assert [problem.place for problem in found] == [place]
    assert name in found[0].message and "rename" in found[0].message


def _report(model, data, tmp_path):
    indexfuse_tools.report(model, data, tmp_path / "r.html")


def _explorer(model, data, tmp_path):
    pytest.importorskip("jinja2")
    indexfuse_tools.explorer(model, data, tmp_path / "e.html")


def _editions(model, data, tmp_path):
    long = pd.concat([data.assign(year=2020), (data * 1.1).assign(year=2021)]).rename_axis("unit").reset_index()
    indexfuse_tools.editions(model.schema, long, period="year", unit="unit")


OUTPUTS = {
    "results": lambda model, data, _: indexfuse_tools.results(model, data),
    "audit": lambda model, data, _: indexfuse_tools.audit(model, data),
    "contributions": lambda model, data, _: indexfuse_tools.contributions(model, data),
    "report": _report,
    "explorer": _explorer,
    "editions": _editions,
}


REFUSED = {
    "two dimensions": (CLASHES["nested beside a slash"][0], "schema['a / b'] and schema['a']['b'] share the name 'a / b'"),
    "a column of the scores": (CLASHES["a column of the scores"][0], "schema['rank'] is named 'rank'"),
}


@pytest.mark.parametrize("output", list(OUTPUTS))
@pytest.mark.parametrize("schema, words", REFUSED.values(), ids=list(REFUSED))
def test_every_table_of_scores_refuses_them_naming_the_dimensions(tmp_path, output, schema, words):
    model = indexfuse.indexpca_diment(schema)
    model.fit(DATA)
    with pytest.raises(ValueError, match=re.escape(words)):
        OUTPUTS[output](model, DATA, tmp_path)
    assert not list(tmp_path.iterdir())  # refused before anything is written


def test_distinct_names_are_left_alone():
    schema = {"a": {"b": ["y"]}, "a / c": ["x"], ("s", -1): ["z"]}
    model = indexfuse.indexpca_diment(schema)
    model.fit(DATA)
    assert [p for p in indexfuse_tools.check(schema, DATA) if p.level == "error"] == []
    assert indexfuse_tools.results(model, DATA).columns.tolist() == [
        "composite", "rank", "a / b", "a / c", "s (-1)", "missing",
    ]  # fmt: skip
