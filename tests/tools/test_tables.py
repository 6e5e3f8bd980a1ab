"""Flat tables of a fitted model's coefficients and weights."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

import indexfuse
import indexfuse_tools


@pytest.fixture(scope="module")
def table():
    rng = np.random.default_rng(5)
    base = rng.normal(size=(50, 1))
    return pd.DataFrame(base + rng.normal(size=(50, 4)), columns=["a", "b", 3, ("t", 1)])


@pytest.mark.parametrize(
    ("path", "name"),
    [
        ((), "(all indices)"),
        (("A",), "A"),
        (("A", ("h", -1)), "A / h (-1)"),
        ((("x", 1, 2), 7), "x / 7"),
        ((("B", 0.5),), "B (0.5)"),
    ],
)
def test_dimension_name(path, name):
    assert indexfuse_tools.dimension_name(path) == name


def test_nested_model_tables(table):
    schema = {"A": [("a", -1), "b"], ("B", -1): {"b1": [3], "b2": [(("t", 1),)], "gone": ["zz"]}}
    model = indexfuse.indexpca_diment(schema)
    model.fit(table)
    coef = indexfuse_tools.coefficients(model)
    assert coef.columns.tolist() == ["dimension", "index", "direction", "coef", "min", "max", "mean", "std"]
    assert coef["dimension"].tolist() == ["A", "A", "B (-1) / b1", "B (-1) / b2"]
    assert coef["index"].tolist() == ["a", "b", 3, ("t", 1)]
    assert coef["direction"].tolist() == [-1, 1, 1, 1]
    assert coef.loc[0, "max"] == -table["a"].min()  # statistics of the column after its direction
    weights = indexfuse_tools.weights(model)
    assert weights.index.tolist() == ["A", "B (-1) / b1", "B (-1) / b2", "B (-1) / gone"]
    assert np.isnan(weights["B (-1) / gone"])
    assert weights.sum() == pytest.approx(1)
    assert weights["B (-1) / b1"] == model.dim_weight[("B", -1)]["b1"]


def test_single_list_model_tables(table):
    model = indexfuse.indexpca_diment(["a", "b"])
    model.fit(table)
    assert indexfuse_tools.weights(model).to_dict() == {"(all indices)": 1.0}
    assert indexfuse_tools.coefficients(model)["dimension"].tolist() == ["(all indices)"] * 2


def test_tables_accept_the_fitted_attributes_themselves(table):
    model = indexfuse.indexpca_diment({"A": ["a"], "B": ["b"]})
    model.fit(table)
    pd.testing.assert_frame_equal(
        indexfuse_tools.coefficients(model.index_coef), indexfuse_tools.coefficients(model)
    )
    pd.testing.assert_series_equal(indexfuse_tools.weights(model.dim_weight), indexfuse_tools.weights(model))


@pytest.mark.parametrize("view", [indexfuse_tools.coefficients, indexfuse_tools.weights])
def test_tables_of_an_unfitted_model_say_so(view):
    with pytest.raises(ValueError, match="not fitted"):
        view(indexfuse.indexpca_diment({"A": ["a"]}))
