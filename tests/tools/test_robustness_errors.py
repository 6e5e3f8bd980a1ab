"""The values' own errors in a robustness analysis, and the shares of runs in the best and worst tenths."""

import warnings

import numpy as np
import pandas as pd
import pytest

import indexfuse
from indexfuse_tools import RobustnessResult, prepare, robustness
from tessel.modelbench import entropy

pytest.importorskip("SALib")
pytest.importorskip("tqdm")

SCHEMA = {"health": ["life", "infant_mortality"], "wealth": ["income", "rent"]}
QUICK = {"method": "uncertainty", "n": 24, "scheduler": 1, "progress": False}


@pytest.fixture(scope="module")
def table():
    """Forty units with a standard-error column for income, as a survey publishes it."""
    rng = np.random.default_rng(7)
    data = pd.DataFrame(
        {
            "life": rng.normal(75, 4, 40),
            "infant_mortality": rng.gamma(2.0, 4.0, 40),
            "income": rng.lognormal(10, 0.4, 40),
            "rent": rng.normal(900, 150, 40),
        },
        index=pd.Index([f"unit {i}" for i in range(40)], name="unit"),
    )
    data["income_se"] = data["income"] * rng.uniform(0.02, 0.15, 40)
    return data


def _fitted(table, **ctor):
    model = indexfuse.indexpca_diment(SCHEMA, **ctor)
    model.fit(table)
    return model.score(table)[0]


def test_each_run_is_the_public_index_fitted_on_the_noisy_table_of_its_draw(table):
    """The engine shares a noisy table between the runs of one draw; each run is still the index built anew."""
    result = robustness(
        SCHEMA, table, factors={"scale_method": None}, errors={"income": "income_se", "rent": 0.05}, **QUICK
    )
    draws = result.runs["measurement_error"]
    assert draws.nunique() > 1
    assert "measurement_error" in result.factors
    with entropy.resolution(result.nominal["resolution"]):
        for run in (0, 5):
            noisy = result._job.errors.perturbed(table, draws[run], result.seed)
            want = _fitted(noisy, scale_method=result.runs["scale_method"][run])
            np.testing.assert_array_equal(result.composite(run).to_numpy(), np.asarray(want))
    # The noise has the stated spread: a standard error of 5% of each rent.
    ratio = (noisy["rent"] - table["rent"]) / (0.05 * table["rent"])
    assert 0.6 < ratio.std() < 1.5
    pd.testing.assert_series_equal(noisy["life"], table["life"])


def test_the_same_seed_gives_the_same_analysis_and_another_seed_other_draws(table):
    errors = {"income": "income_se"}
    first = robustness(SCHEMA, table, factors={"ent_k": None}, errors=errors, **QUICK)
    again = robustness(SCHEMA, table, factors={"ent_k": None}, errors=errors, **QUICK)
    other = robustness(SCHEMA, table, factors={"ent_k": None}, errors=errors, **{**QUICK, "seed": 5})
    pd.testing.assert_frame_equal(first.ranks, again.ranks)
    assert not first.ranks["p5"].equals(other.ranks["p5"])


def test_margins_of_error_are_turned_into_standard_errors_by_their_confidence(table):
    """A 90% margin of error is 1.645 standard errors."""
    as_margin = robustness(SCHEMA, table, errors={"rent": 0.1}, confidence=0.90, **QUICK)
    as_error = robustness(SCHEMA, table, errors={"rent": 0.1 / 1.6448536269514722}, **QUICK)
    pd.testing.assert_frame_equal(as_margin.ranks, as_error.ranks)


def test_errors_widen_the_rank_intervals_of_units_close_to_each_other(table):
    """Errors large enough to reorder units give wider intervals than the same analysis without them."""
    plain = robustness(SCHEMA, table, factors={"scale_method": None}, **QUICK)
    noisy = robustness(SCHEMA, table, factors={"scale_method": None}, errors={"income": 0.5, "rent": 0.5}, **QUICK)
    width = lambda result: (result.ranks["p95"] - result.ranks["p5"]).mean()  # noqa: E731
    assert width(noisy) > width(plain)


def test_errors_are_added_before_the_treatment_and_a_gap_stays_a_gap(table):
    holed = table.copy()
    holed.loc[holed.index[:3], ["income", "income_se"]] = np.nan
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        _, _, preparation = prepare(SCHEMA, holed, impute="median")
        result = robustness(
            SCHEMA, holed, factors={"measurement_error": [0, 1, 2]}, errors={"income": "income_se"},
            preparation=preparation, **QUICK,
        )  # fmt: skip
    run = int(np.flatnonzero(result.runs["measurement_error"] == 1)[0])
    noisy = result._job.errors.perturbed(holed, 1, result.seed)
    assert noisy["income"].iloc[:3].isna().all()
    with entropy.resolution(result.nominal["resolution"]):
        want = _fitted(preparation.apply(noisy)[0])
    np.testing.assert_array_equal(result.composite(run).to_numpy(), np.asarray(want))


def test_an_analysis_with_errors_saves_and_loads(table, tmp_path):
    result = robustness(SCHEMA, table, errors={"income": "income_se"}, confidence=0.95, **QUICK)
    result.save(tmp_path / "analysis.zip")
    back = RobustnessResult.load(tmp_path / "analysis.zip")
    pd.testing.assert_frame_equal(back.ranks, result.ranks)
    np.testing.assert_array_equal(back.composite(3), result.composite(3))


def test_the_shares_in_the_best_and_worst_tenths_are_those_of_the_runs(table):
    result = robustness(SCHEMA, table, factors={"weight_noise": 0.5}, **QUICK)
    ranks = np.asarray(result.run_ranks, dtype=np.float64)
    np.testing.assert_array_equal(result.ranks["top_tenth"], (ranks <= 4).mean(axis=0))
    np.testing.assert_array_equal(result.ranks["bottom_tenth"], (ranks > 36).mean(axis=0))
    # Four units in each tenth in every run (no ties among 40 composites).
    assert result.ranks["top_tenth"].sum() == result.ranks["bottom_tenth"].sum() == 4


def _with(table, column, values):
    changed = table.copy()
    changed[column] = values
    return changed


@pytest.mark.parametrize(
    "change, errors, kind, message",
    [
        (None, {"income": "income_sd"}, ValueError, r"column 'income_sd', which the table lacks"),
        (None, {"wage": "income_se"}, ValueError, r"'wage', which is not an indicator of the schema"),
        (("income_se", -1.0), {"income": "income_se"}, ValueError, r"'income_se'.*is negative.*first 'unit 0'"),
        (("income_se", np.nan), {"income": "income_se"}, ValueError, r"missing where the value is present.*'unit 0'"),
        (("income_se", np.inf), {"income": "income_se"}, ValueError, r"'income_se'.*not finite"),
        (("income_se", "n/a"), {"income": "income_se"}, ValueError, r"'income_se'.*numbers are needed"),
        (None, {"income": 0.0}, ValueError, r"error of 'income'.*positive finite"),
        (None, {"income": float("inf")}, ValueError, r"error of 'income'.*positive finite"),
        (None, {"income": -0.1}, ValueError, r"error of 'income'.*positive finite"),
        (None, ["income"], TypeError, r"errors maps indicators"),
    ],
    ids=["unknown-column", "not-an-indicator", "negative", "missing", "infinite", "not-numeric", "zero", "inf",
         "negative-relative", "not-a-mapping"],
)
def test_bad_errors_are_refused_naming_the_column_and_the_first_unit(table, change, errors, kind, message):
    data = table
    if change is not None:
        column, value = change
        data = _with(table, column, table[column].astype(object if isinstance(value, str) else float))
        data.loc["unit 0", column] = value
        if isinstance(value, str):
            data[column] = data[column].astype(object)
    with pytest.raises(kind, match=message):
        robustness(SCHEMA, data, errors=errors, **QUICK)


@pytest.mark.parametrize(
    "options, message",
    [
        ({"confidence": 1.2}, r"confidence is the level"),
        ({"method": "bootstrap", "n": 4}, r"bootstrap.*adds no measurement error"),
        ({"factors": {"measurement_error": [-1]}}, r"an integer of at least 0"),
    ],
)
def test_bad_options_with_errors_are_refused(table, options, message):
    with pytest.raises(ValueError, match=message):
        robustness(SCHEMA, table, errors={"income": "income_se"}, **{**QUICK, **options})


def test_draws_without_errors_are_refused(table):
    with pytest.raises(ValueError, match=r"errors=\{indicator"):
        robustness(SCHEMA, table, factors={"measurement_error": None}, **QUICK)
