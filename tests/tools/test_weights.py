"""set_weights and equal_weights: the shapes accepted, the values rejected, and that scoring counts them."""

from __future__ import annotations

from decimal import Decimal
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest

import indexfuse
from indexfuse_tools import equal_weights, set_weights

SCHEMA = {"A": ["a"], ("B", -1): {"b1": ["b"], "b2": ["c"], "gone": ["zz"]}}


@pytest.fixture
def data():
    rng = np.random.default_rng(2)
    return pd.DataFrame(rng.normal(size=(25, 3)), columns=list("abc"))


@pytest.fixture
def model(data):
    fitted = indexfuse.indexpca_diment(SCHEMA)
    fitted.fit(data)
    return fitted


def _tree(a, b1, b2):
    return {"A": a, ("B", -1): {"b1": b1, "b2": b2, "gone": None}}


@pytest.mark.parametrize(
    "given",
    [
        _tree(np.float32(2), np.int64(1), 1.0),
        {"A": 2, "B (-1) / b1": 1, "B (-1) / b2": np.float32(1), "B (-1) / gone": np.nan},
        pd.Series({"A": 2.0, "B (-1) / b1": 1.0, "B (-1) / b2": 1.0, "B (-1) / gone": None}),
        _tree(Fraction(1, 2), Fraction(1, 4), Fraction(1, 4)),
    ],
    ids=["nested numpy scalars", "by name", "series", "fractions"],
)
def test_set_weights_takes_both_shapes_and_scoring_counts_them(model, data, given):
    set_weights(model, given)
    assert model.dim_weight == _tree(0.5, 0.25, 0.25)
    assert list(model.dim_weight) == ["A", ("B", -1)]
    nested = model.dim_weight[("B", -1)]
    assert [type(w) for w in (model.dim_weight["A"], nested["b1"], nested["b2"])] == [float] * 3
    composite, values = model.score(data)
    expected = 0.5 * values["A"] - 0.25 * values[("B", -1)]["b1"] - 0.25 * values[("B", -1)]["b2"]
    pd.testing.assert_series_equal(composite, expected)


def test_weights_that_sum_to_one_are_kept_as_given(model):
    set_weights(model, _tree(0.2, 0.3, 0.5), normalize=False)
    assert model.dim_weight == _tree(0.2, 0.3, 0.5)


@pytest.mark.parametrize(
    ("given", "normalize", "message"),
    [
        (_tree(0.4, 0.5, 0.5), False, "sum to 1.4, not 1"),
        (_tree(-0.5, 1, 1), True, r"weights\['A'\]: a weight must be a finite number >= 0, got -0.5"),
        (_tree(np.nan, 1, 1), True, "got nan"),
        (_tree("1", 1, 1), True, "got '1'"),
        (_tree(True, 1, 1), True, "got True"),
        (_tree(np.True_, 1, 1), True, r"got (np\.True_|True)"),  # numpy 2 writes np.True_, 1.26 True
        (_tree(Decimal(1), 1, 1), True, "got Decimal"),
        (_tree(1e308, 1e308, 1), True, r"weights\['A'\]: the weight 1e\+308 is too large: the weights' total"),
        (_tree(1, 10**400, 1), True, r"weights\[\('B', -1\)\]\['b1'\]: the weight 1000.*\.\.\. is too large for a float"),
        (_tree(Fraction(1, 3), 1e308, 1e308), False, r"\['b1'\]: the weight 1e\+308 is too large"),
        (_tree(0, 0, 0), True, "every weight is 0"),
        ({"A": 1, ("B", -1): 1}, True, r"weights\[\('B', -1\)\]: expected a dict of the sub-dimensions"),
        ({"A": 1, ("B", -1): {"b1": 1, "b2": 1}}, True, "no weight for 'gone'"),
        ({"A": 1, "B (-1) / b1": 1, "B (-1) / b2": 1, "B / gone": None}, True,
         "no weight for 'B \\(-1\\) / gone'; no fitted dimension 'B / gone'"),
        ({"A": 1, ("B", -1): {"b1": 1, "b2": 1, "gone": 1}}, True, "cannot carry a weight"),
        ([0.5, 0.5], True, "weights must be a dict"),
    ],
)
def test_set_weights_rejects(model, given, normalize, message):
    before = model.dim_weight
    with pytest.raises((ValueError, TypeError), match=message):
        set_weights(model, given, normalize=normalize)
    assert model.dim_weight is before


def test_equal_weights_split_each_share_among_the_weighted_children(model):
    equal_weights(model)
    assert model.dim_weight == _tree(0.5, 0.25, 0.25)


def test_single_dimension_model(data):
    model = indexfuse.indexpca_diment(["a", "b"])
    model.fit(data)
    set_weights(model, {"(all indices)": np.float32(3)})
    assert model.dim_weight == 1.0 and type(model.dim_weight) is float


@pytest.mark.parametrize("function", [equal_weights, lambda m: set_weights(m, {"A": 1})])
def test_weights_need_a_fitted_model(function):
    with pytest.raises(ValueError, match="not fitted"):
        function(indexfuse.indexpca_diment({"A": ["a"]}))
