"""Contributions add up to the composite, whatever the schema's shape, directions and gaps."""

import numpy as np
import pandas as pd
import pytest

import indexfuse
from indexfuse_tools import contributions, results
from indexfuse_tools._core import Presentation, check_scale, presentation

NESTED = {"x": ["a", ("b", -1)], "y": {"p": ["c", "d"], ("q", -1): ["e", ("f", -1)]}, ("z", -1): ["g"]}


@pytest.fixture(scope="module")
def table():
    rng = np.random.default_rng(7)
    return pd.DataFrame(rng.normal(size=(150, 7)), columns=list("abcdefg"), index=[f"u{i}" for i in range(150)])


def _holes(table):
    holes = table.copy()
    rng = np.random.default_rng(3)
    for row, column in zip(rng.integers(0, len(holes), 50), rng.integers(0, 7, 50)):
        holes.iat[row, column] = np.nan
    holes.loc["u5", ["g"]] = np.nan  # a whole dimension missing: NaN composite
    return holes


@pytest.mark.parametrize("schema", [NESTED, ["a", ("b", -1), "c"]], ids=["nested", "flat"])
@pytest.mark.parametrize("scale_method", ["max_min", "z_score"])
def test_terms_add_up_to_the_composite(table, schema, scale_method):
    model = indexfuse.indexpca_diment(schema, scale_method=scale_method, ent_k=5)
    model.fit(table)
    data = _holes(table)
    terms = contributions(model, data)
    composite = results(model, data)["composite"]
    assert terms.index.equals(data.index)
    assert terms.isna().any(axis=1).equals(composite.isna())
    total = terms.sum(axis=1, min_count=1)
    scale = terms.abs().sum(axis=1)
    np.testing.assert_array_less((total - composite).abs().dropna(), 1e-12 * scale[composite.notna()] + 1e-300)


def test_columns_name_dimensions_as_results_does(table):
    model = indexfuse.indexpca_diment(NESTED, ent_k=5)
    model.fit(table)
    terms = contributions(model, table)
    assert terms.columns.names == ["dimension", "indicator"]
    dimensions = list(dict.fromkeys(terms.columns.get_level_values("dimension")))
    assert dimensions == results(model, table).columns[2:-1].tolist()
    # A missing indicator adds nothing; the others still do.
    holes = table.copy()
    holes.loc["u1", "a"] = np.nan
    assert contributions(model, holes).loc["u1", ("x", "a")] == 0.0


def test_a_dimension_without_weight_adds_nothing(table):
    model = indexfuse.indexpca_diment({"x": ["a", "b"], "y": ["c"]}, ent_k=5)
    model.fit(table)
    model.dim_weight = {"x": 1.0, "y": None}
    holes = table.copy()
    holes["c"] = np.nan
    terms = contributions(model, holes)
    assert (terms["y"] == 0.0).all().all() and terms.notna().all().all()


def test_missing_columns_are_named(table):
    model = indexfuse.indexpca_diment(NESTED, ent_k=5)
    model.fit(table)
    with pytest.raises(KeyError, match="'c'.*'e'"):
        contributions(model, table.drop(columns=["c", "e"]))


@pytest.mark.parametrize("bad", ["0..100", 100, (0, 100)])
def test_unknown_presentation_scales_are_refused(bad):
    with pytest.raises(ValueError, match="'0-100'"):
        check_scale(bad)


def test_presentation_is_fixed_on_the_finite_values():
    composite = pd.Series([-0.5, 0.0, 1.5, np.nan], index=list("abcd"))
    shown = presentation(composite, "0-100")
    assert shown == Presentation(-0.5, 1.5, 3)
    values = shown.apply(composite)
    assert values.tolist()[:3] == [0.0, 25.0, 100.0] and np.isnan(values["d"])
    assert not np.signbit(values["a"])
    assert "3 units" in shown.describe() and "-0.5" in shown.describe()
    assert presentation(composite, None) is None
