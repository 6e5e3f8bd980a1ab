"""The audit's numbers against hand computation, their invariance, its flags and errors."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
from scipy.stats import rankdata
from tessel.modelbench import entropy

import indexfuse
import indexfuse_tools


SCHEMA = {"A": ["a", ("b", -1)], "B": {"B1": ["c"], ("B2", -1): ["d", "e"]}}
# Direction of each dimension in the index, and of each indicator in its dimension.
SIGNS = {"A": 1, "B / B1": 1, "B / B2 (-1)": -1}
ENTRIES = {"A": {"a": 1, "b": -1}, "B / B1": {"c": 1}, "B / B2 (-1)": {"d": 1, "e": 1}}


def _table(seed: int = 5, rows: int = 80) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    good, bad = rng.normal(size=rows), rng.normal(size=rows)
    return pd.DataFrame(
        {
            "a": 10 + good + rng.normal(scale=0.7, size=rows),
            "b": 3 - 2 * good + rng.normal(scale=1.5, size=rows),
            "c": good + rng.normal(scale=0.5, size=rows),
            "d": 50 + 5 * bad + rng.normal(scale=4, size=rows),
            "e": bad + rng.normal(scale=0.8, size=rows),
        },
        index=pd.Index([f"unit {i}" for i in range(rows)], name="unit"),
    )


def _fitted(schema=SCHEMA, data=None):
    data = _table() if data is None else data
    model = indexfuse.indexpca_diment(schema)
    model.fit(data)
    return model, data


@pytest.fixture(scope="module")
def case():
    model, data = _fitted()
    external = pd.Series(
        np.random.default_rng(9).normal(size=len(data)), index=data.index[::-1], name="income"
    )
    return model, data, external, indexfuse_tools.audit(model, data, external=external)


def _directed(data, name):
    return np.column_stack([data[label] * direction for label, direction in ENTRIES[name].items()])


def _by_dimension(table, column):
    return dict(zip(table["dimension"], table[column]))


def test_cronbach_alpha_both_forms(case):
    _, data, _, result = case
    for name in ("A", "B / B2 (-1)"):
        x = _directed(data, name)
        scaled = (x - x.min(axis=0)) / (x.max(axis=0) - x.min(axis=0))  # max_min, as the model scales
        k = x.shape[1]
        raw = k / (k - 1) * (1 - scaled.var(axis=0, ddof=1).sum() / scaled.sum(axis=1).var(ddof=1))
        r = np.corrcoef(x.T)[0, 1]
        assert _by_dimension(result.coherence, "cronbach_alpha")[name] == pytest.approx(raw, rel=1e-12)
        assert _by_dimension(result.coherence, "standardized_alpha")[name] == pytest.approx(
            k * r / (1 + (k - 1) * r), rel=1e-12
        )
        np.testing.assert_allclose(result.correlations[name].to_numpy(), np.corrcoef(x.T), rtol=1e-12)
    assert np.isnan(_by_dimension(result.coherence, "cronbach_alpha")["B / B1"])  # one indicator


def test_indicator_correlations_apply_every_direction_on_the_path(case):
    model, data, _, result = case
    composite, values = model.score(data)
    table = result.indicator_correlations.set_index(["dimension", "indicator"])
    # e sits in B2, which lowers the index: higher e means a lower composite.
    e = data["e"]
    assert table.loc[("B / B2 (-1)", "e"), "with_dimension"] == pytest.approx(
        np.corrcoef(e, values["B"][("B2", -1)])[0, 1]
    )
    assert table.loc[("B / B2 (-1)", "e"), "with_composite"] == pytest.approx(
        np.corrcoef(-e, composite)[0, 1]
    )
    assert table.loc[("A", "b"), "with_composite"] == pytest.approx(np.corrcoef(-data["b"], composite)[0, 1])


def test_effective_weights_are_normalised_squared_correlations(case):
    model, data, _, result = case
    composite, values = model.score(data)
    leaves = {"A": values["A"], "B / B1": values["B"]["B1"], "B / B2 (-1)": values["B"][("B2", -1)]}
    r = {name: np.corrcoef(SIGNS[name] * value, composite)[0, 1] for name, value in leaves.items()}
    total = sum(value**2 for value in r.values())
    table = result.effective_weights.set_index("dimension")
    for name in leaves:
        assert table.loc[name, "correlation"] == pytest.approx(r[name], rel=1e-12)
        assert table.loc[name, "effective_weight"] == pytest.approx(r[name] ** 2 / total, rel=1e-12)
    assert table["weight"].to_dict() == pytest.approx(indexfuse_tools.weights(model).to_dict())


@pytest.mark.parametrize("resolution", [None, 1e-2])
def test_information_shares_are_the_fitted_weights_and_equal_weights_split_by_level(case, resolution):
    model, data, _, result = case
    if resolution is not None:
        # Fitted at another resolution than the one in effect now, on a table with
        # a dimension of four levels, whose estimate depends on the resolution.
        data = data.assign(c=(data["c"].rank() * 4 // (len(data) + 1)).astype(float))
        with entropy.resolution(resolution):
            model, _ = _fitted(data=data)
        result = indexfuse_tools.audit(model, data)
    table = result.dimensions.set_index("dimension")
    assert table.loc["A", "information_share"] == pytest.approx(model.dim_weight["A"])
    assert table.loc["B", "information_share"] == pytest.approx(sum(model.dim_weight["B"].values()))
    assert table["equal_weight"].to_dict() == pytest.approx(
        {"A": 0.5, "B": 0.5, "B / B1": 0.25, "B / B2 (-1)": 0.25}
    )
    assert table.loc["B / B1", "parent"] == "B"


def test_links_match_rows_by_label(case):
    model, data, external, result = case
    composite, _ = model.score(data)
    aligned = external.reindex(data.index)  # given in the reverse order
    row = result.links.set_index("measure").loc["composite"]
    assert row["external"] == "income" and row["n"] == len(data)
    assert row["pearson"] == pytest.approx(np.corrcoef(composite, aligned)[0, 1], rel=1e-12)
    assert row["spearman"] == pytest.approx(
        np.corrcoef(rankdata(composite), rankdata(aligned))[0, 1], rel=1e-12
    )


def _rescale_a(data):
    return {**SCHEMA}, data.assign(a=data["a"] * 1000)  # other units


def _flip_b(data):
    return {**SCHEMA, "A": ["a", ("b", 1)]}, data.assign(b=-data["b"])  # other sign convention


def _reorder(data):
    return SCHEMA, data[data.columns[::-1]]


def _round(data):
    return SCHEMA, data.round(6)


@pytest.mark.parametrize("change", [_rescale_a, _flip_b, _reorder, _round])
def test_numbers_do_not_depend_on_units_sign_convention_or_column_order(case, change):
    _, data, _, result = case
    schema, changed = change(data)
    model, _ = _fitted(schema, changed)
    other = indexfuse_tools.audit(model, changed)
    numeric = ["cronbach_alpha", "standardized_alpha", "mean_correlation", "first_component_share"]
    np.testing.assert_allclose(other.coherence[numeric], result.coherence[numeric], rtol=1e-6)
    np.testing.assert_allclose(
        other.effective_weights["effective_weight"], result.effective_weights["effective_weight"], rtol=1e-6
    )


@pytest.mark.parametrize(
    "column, flag",
    [
        (np.full(80, 3.0), "constant"),
        (np.tile([0.0, 1.0], 40), "few_distinct"),
        (np.r_[np.linspace(0, 1, 77), 40.0, 60.0, 90.0], "needs_treatment"),
    ],
)
def test_indicator_flags(column, flag):
    data = _table().assign(x=column)
    model, _ = _fitted({"A": ["a", "c"], "X": ["x"]}, data)
    row = indexfuse_tools.audit(model, data).indicators.set_index("indicator").loc["x"]
    flags = {name: bool(row[name]) for name in ("constant", "few_distinct", "needs_treatment")}
    assert flags == {name: name == flag for name in flags}


def test_reversed_indicator_is_found():
    data = _table()
    model, _ = _fitted({"A": ["a", "b", "c"]}, data)  # b forgets its direction
    result = indexfuse_tools.audit(model, data)
    assert result.coefficients.set_index("index")["abnormal"].to_dict() == {"a": False, "b": True, "c": False}
    findings = " ".join(result.findings())
    assert "a and b (A) correlate negatively" in findings and "coefficient of b (A) is abnormal" in findings


def test_missing_values_are_counted_and_alpha_uses_complete_rows():
    model, data = _fitted()  # fitted on complete data, audited on a table with holes
    data.iloc[:8, data.columns.get_loc("d")] = np.nan
    result = indexfuse_tools.audit(model, data)
    assert result.indicators.set_index("indicator").loc["d", "missing_share"] == pytest.approx(0.1)
    table = model.index_coef["B"][("B2", -1)]
    scaled = np.column_stack(
        [
            (data[label][8:] - table[label]["min"]) / (table[label]["max"] - table[label]["min"])
            for label in ("d", "e")
        ]
    )  # with the statistics the model stored, over the complete rows
    alpha = 2 * (1 - scaled.var(axis=0, ddof=1).sum() / scaled.sum(axis=1).var(ddof=1))
    assert _by_dimension(result.coherence, "cronbach_alpha")["B / B2 (-1)"] == pytest.approx(alpha, rel=1e-12)
    assert "misses 10% of its values" in str(result)


def test_single_dimension_model():
    model, data = _fitted(["a", ("b", -1)])
    result = indexfuse_tools.audit(model, data)
    assert result.effective_weights["effective_weight"].tolist() == [1.0]
    assert result.dimensions["weight"].tolist() == [1.0]


@pytest.mark.parametrize(
    "call, error, phrase",
    [
        (lambda m, d: indexfuse_tools.audit(indexfuse.indexpca_diment(SCHEMA), d), ValueError, "not fitted"),
        (
            lambda m, d: indexfuse_tools.audit(m, d.drop(columns="e")),
            ValueError,
            "lack the model's column(s) 'e'",
        ),
        (lambda m, d: indexfuse_tools.audit(m, d.to_numpy()), TypeError, "pandas DataFrame"),
        (
            lambda m, d: indexfuse_tools.audit(m, d, external=d["a"].reset_index(drop=True)),
            ValueError,
            "shares no row label",
        ),
        (
            lambda m, d: indexfuse_tools.audit(m, d, external=d.index.to_series().rename("name")),
            ValueError,
            "not numeric",
        ),
        (lambda m, d: indexfuse_tools.audit(m, d, external=[1, 2]), TypeError, "DataFrame or Series"),
        (lambda m, d: indexfuse_tools.audit(m, d.iloc[:0]), ValueError, "no rows: there is nothing to audit"),
        (
            lambda m, d: indexfuse_tools.audit(m, d.assign(d=np.nan, e=np.nan)),
            ValueError,
            "none of the 80 row(s) has a composite",
        ),
    ],
)
def test_bad_input(case, call, error, phrase):
    model, data, _, _ = case
    with pytest.raises(error, match=phrase.replace("(", r"\(").replace(")", r"\)")):
        call(model, data)


def test_to_excel_writes_every_table(case, tmp_path):
    openpyxl = pytest.importorskip("openpyxl")
    _, _, _, result = case
    path = tmp_path / "audit.xlsx"
    result.to_excel(path)
    book = openpyxl.load_workbook(path, read_only=True)
    assert book.sheetnames == ["summary", *result.tables()]
    coherence = pd.read_excel(path, sheet_name="coherence")
    np.testing.assert_allclose(coherence["cronbach_alpha"], result.coherence["cronbach_alpha"])
    assert pd.read_excel(path, sheet_name="summary")["summary"].iloc[0] == str(result).splitlines()[0]


# Tables that score but break an estimate: a row lacking every indicator of
# B2, one row, two rows whose A indicators run against each other (every
# correlation is -1), and six equal rows (no dimension carries information).
def _lacking_b2(data):
    return data.assign(d=data["d"].mask(data.index == "unit 3"), e=data["e"].mask(data.index == "unit 3"))


AWKWARD = {
    "row lacking a dimension": (_lacking_b2, "B / B2 has no value on 1 row(s) ('unit 3')"),
    "one row": (lambda d: d.iloc[:1], "the information of the top-level dimensions cannot be estimated"),
    "two rows": (lambda d: d.iloc[:2].assign(a=[1.0, 2.0], b=[1.0, 2.0]), None),
    "equal rows": (lambda d: d.iloc[:6].assign(**dict.fromkeys(d.columns, 1.0)), "do not vary"),
}


@pytest.mark.parametrize("name", AWKWARD)
def test_awkward_tables_are_audited_and_say_what_was_left_out(case, name):
    model, data, _, _ = case
    change, note = AWKWARD[name]
    awkward = change(data)
    result = indexfuse_tools.audit(model, awkward)
    assert result.rows == len(awkward) and len(result.dimensions) == 4
    if note is None:
        assert result.notes == []
    else:
        assert any(note in finding for finding in result.findings())
        assert any(note in line for line in str(result).splitlines())


def test_information_leaves_out_rows_without_a_dimension_value(case):
    model, data, _, _ = case
    result = indexfuse_tools.audit(model, _lacking_b2(data))
    complete = indexfuse_tools.audit(model, data.drop(index="unit 3"))
    assert result.dimensions["information"].tolist() == complete.dimensions["information"].tolist()
    assert complete.notes == []


@pytest.mark.parametrize("rows", [2, 3, 10])
def test_information_of_a_small_table_caps_k_as_fit_does(case, rows):
    model, data, _, _ = case
    small = data.iloc[:rows]
    _, values = model.score(small)
    expected = entropy.multivar_knn(values["A"].to_numpy(), k=rows - 1) - model.min_ent
    result = indexfuse_tools.audit(model, small)
    assert _by_dimension(result.dimensions, "information")["A"] == pytest.approx(expected, rel=1e-12)


def test_equal_rows_carry_no_information_and_no_share(case):
    model, data, _, _ = case
    change, _ = AWKWARD["equal rows"]
    table = indexfuse_tools.audit(model, change(data)).dimensions
    assert table["information"].tolist() == [0.0] * 4
    assert table["information_share"].isna().all()


def test_audit_with_a_preparation_says_what_the_treatment_did():
    raw = _table()
    raw.loc[raw.index[:6], "a"] = np.nan
    raw.loc[raw.index[3:5], "d"] = np.nan
    raw.loc["unit 7", "e"] = 40.0  # one far outlier: winsorised
    prepared, log, preparation = indexfuse_tools.prepare(
        SCHEMA, raw, impute="median", transform={"d": "log"}, winsorize=True
    )
    model, _ = _fitted(data=prepared)
    result = indexfuse_tools.audit(model, raw, preparation=preparation)
    table = result.indicators.set_index("indicator")
    counts = log.groupby(["step", "column"]).size()
    assert table["imputed"].to_dict() == {label: int(counts.get(("impute", label), 0)) for label in "abcde"}
    assert table.loc["a", "imputed"] == 6 and table.loc["d", "imputed"] == 2
    assert table.loc["e", "winsorized"] == counts[("winsorize", "e")] > 0
    assert table["transform"].to_dict() == {"a": "", "b": "", "c": "", "d": "log", "e": ""}
    # gaps are those of the table as given; the shape, that of the values scored
    assert table.loc["a", "count"] == 74 and table.loc["a", "missing_share"] == pytest.approx(6 / 80)
    assert table.loc["e", "max"] == prepared["e"].max() < 40
    assert any("a (A) misses 8% of its values, has 6 values imputed" in text for text in result.findings())
    plain = indexfuse_tools.audit(model, prepared).indicators
    assert not {"imputed", "winsorized", "transform"} & set(plain.columns)
    assert (plain["missing_share"] == 0).all()
