"""Weights a reviewer can defend: their bootstrap, their rivals, importance and the warnings."""

from __future__ import annotations

import copy

import numpy as np
import pandas as pd
import pytest

import indexfuse
import indexfuse_tools
from indexfuse_tools import WeightUncertainty, audit, robustness, set_weights, weight_uncertainty
from indexfuse_tools._core import (
    at,
    coefficient_tables,
    geometric_composite,
    node_weight,
    principal_component_weights,
    strip_bidi,
)
from indexfuse_tools._weighting.importance import bin_count, bins_of, correlation_ratios
from indexfuse_tools._weighting.resample import _refit, rows_of
from indexfuse_tools._weighting.tables import equality_test

NESTED = {"A": ["a", ("b", -1)], ("B", -1): {"b1": ["c", "d"], ("b2", -1): ["e"]}, "C": ["f", "g"]}


def _nested_table(n: int = 80, seed: int = 3) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    f = rng.normal(size=(n, 3))
    noise = rng.normal(size=(n, 7))
    return pd.DataFrame(
        {
            "a": f[:, 0] + 0.5 * noise[:, 0],
            "b": -f[:, 0] + 0.8 * noise[:, 1],
            "c": -f[:, 1] + 0.4 * noise[:, 2],
            "d": -2 * f[:, 1] + noise[:, 3],
            "e": f[:, 1] + 0.6 * noise[:, 4],
            "f": f[:, 2] + 0.3 * noise[:, 5],
            "g": f[:, 2] + 0.9 * noise[:, 6] + 5,
        },
        index=pd.Index([f"unit {i}" for i in range(n)], name="area"),
    )


def _noise_table(n: int = 2000, seed: int = 1) -> tuple[dict, pd.DataFrame]:
    """Dimensions A and B of three indicators loading 0.8 on one latent factor; C of three
    columns of uniform noise with no link to anything."""
    rng = np.random.default_rng(seed)
    latent = rng.standard_normal(n)
    columns = {f"{d}{i}": 0.8 * latent + 0.6 * rng.standard_normal(n) for d in "AB" for i in range(3)}
    columns.update({f"C{i}": rng.uniform(size=n) for i in range(3)})
    return {d: [f"{d}{i}" for i in range(3)] for d in "ABC"}, pd.DataFrame(columns)


NESTED_DATA = _nested_table()


@pytest.fixture(scope="module")
def noise():
    schema, data = _noise_table()
    return schema, data, weight_uncertainty(schema, data, n=24, scheduler=1)


@pytest.fixture(scope="module")
def nested():
    return weight_uncertainty(NESTED, NESTED_DATA, n=40, seed=5, scheduler=1, ent_k=5)


def test_the_noise_dimension_is_named_by_a_warning_and_loses_to_its_rivals(noise):
    schema, data, review = noise
    model = indexfuse.indexpca_diment(schema)
    model.fit(data)
    warned = [text for text in review.findings() if "spread of its values" in text]
    assert len(warned) == 1 and warned[0].startswith("C agrees little")
    # The audit says it too, wherever its findings are read.
    assert warned[0] in audit(model, data).findings()
    weights = review.weights.set_index("dimension")
    assert weights.loc["C", "weight"] == max(weights["weight"])  # the largest weight, as the model gives it
    assert weights.loc["C", "principal_components"] < 0.05  # the rival that reads agreement drops it
    share = review.importance.set_index("name")["share"]
    assert share["C"] < weights.loc["C", "weight"] - 0.05  # it drives less than its weight claims


@pytest.mark.parametrize(
    "model_args",
    [{}, {"scale_method": "z_score"}, {"pca_cumulative": 0.8}, {"ent_k": 3, "resolution": 1e-2}],
    ids=["defaults", "z-score", "cumulative", "k and resolution"],
)
def test_a_resample_is_refitted_as_fit_refits_it(monkeypatch, model_args):
    captured = {}
    real = indexfuse_tools._weighting.api.sample_of
    monkeypatch.setattr(
        indexfuse_tools._weighting.api, "sample_of", lambda *a, **k: captured.setdefault("sample", real(*a, **k))
    )
    weight_uncertainty(NESTED, NESTED_DATA, n=2, scheduler=1, **model_args)
    sample = captured["sample"]
    resolution = model_args.pop("resolution", None)
    for run in (0, 7):
        rows = rows_of(0, run, len(NESTED_DATA))
        weights, coefficients = _refit(sample, rows)
        model = indexfuse.indexpca_diment(NESTED, **model_args)
        with indexfuse_tools._weighting.resample.entropy.resolution(resolution or sample.nominal.resolution):
            model.fit(NESTED_DATA.iloc[rows])
        want = [node_weight(at(model.dim_weight, path)) for path in sample.paths]
        np.testing.assert_allclose(weights, want, rtol=0, atol=1e-15)
        fitted = [record["coef"] for node in coefficient_tables(model.index_coef) for record in node.value.values()]
        np.testing.assert_allclose(coefficients, fitted, rtol=0, atol=1e-15)


def test_the_tables_of_a_nested_index(nested):
    weights = nested.weights
    assert list(weights["dimension"]) == ["A", "B (-1)", "B (-1) / b1", "B (-1) / b2 (-1)", "C"]
    parent = weights.set_index("dimension")
    # A nested dimension weighs what its sub-dimensions do, in the model and in every resample.
    assert parent.loc["B (-1)", "weight"] == pytest.approx(
        parent.loc["B (-1) / b1", "weight"] + parent.loc["B (-1) / b2 (-1)", "weight"]
    )
    np.testing.assert_allclose(
        nested.draws["B (-1)"], nested.draws["B (-1) / b1"] + nested.draws["B (-1) / b2 (-1)"], rtol=1e-12
    )
    assert ((weights["low"] <= weights["weight"]) & (weights["weight"] <= weights["high"])).all()
    assert len(nested.coefficients) == 7 and nested.coefficients["low"].le(nested.coefficients["coef"]).all()
    # Siblings only: the three top-level dimensions and the two sub-dimensions of B.
    assert len(nested.order) == 4
    assert 0 <= nested.order_changes <= 1
    assert set(nested.rivals.index) == {"equal", "principal components"}
    ranks = nested.ranks
    model = indexfuse.indexpca_diment(NESTED, ent_k=5)
    model.fit(NESTED_DATA)
    np.testing.assert_array_equal(ranks["model rank"], model.score(NESTED_DATA)[0].rank(ascending=False))
    indexfuse_tools.equal_weights(model)
    np.testing.assert_array_equal(ranks["equal rank"], model.score(NESTED_DATA)[0].rank(ascending=False))
    assert set(nested.shifts["unit"]) <= set(NESTED_DATA.index)
    kinds = nested.importance["kind"].value_counts()
    assert kinds["dimension"] == 4 and kinds["indicator"] == 7
    assert nested.importance.groupby("kind")["nominal_weight"].sum().to_numpy() == pytest.approx([1, 1])
    assert "Findings:" in str(nested) and repr(nested).startswith("<WeightUncertainty")


def _same_review(other: WeightUncertainty, review: WeightUncertainty) -> None:
    for name, table in review.tables().items():
        pd.testing.assert_frame_equal(other.tables()[name], table, check_exact=True)
    pd.testing.assert_frame_equal(other.draws, review.draws, check_exact=True)


def test_the_same_seed_gives_the_same_review_in_local_processes(nested):
    _same_review(weight_uncertainty(NESTED, NESTED_DATA, n=40, seed=5, scheduler=2, ent_k=5), nested)


@pytest.mark.slow
def test_the_same_seed_gives_the_same_review_on_dask(nested):
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            client.wait_for_workers(2, timeout=120)  # a slow machine starts them after the client is made
            _same_review(weight_uncertainty(NESTED, NESTED_DATA, n=40, seed=5, scheduler=client, ent_k=5), nested)


def test_failed_resamples_are_counted_and_named_not_hidden():
    # Three units: a resample that draws one unit three times leaves every
    # dimension constant, and the weights have nothing to share.
    data = pd.DataFrame({"x": [1.0, 2.0, 4.0], "y": [3.0, 1.0, 2.0]}, index=list("uvw"))
    schema = {"X": ["x"], "Y": ["y"]}
    alone = [run for run in range(60) if len(set(rows_of(0, run, 3))) == 1]
    assert alone  # the seed draws some
    review = weight_uncertainty(schema, data, n=60, ent_k=1, scheduler=1)
    assert review.failures["resample"].tolist() == alone
    assert review.refitted == 60 - len(alone)
    assert review.draws.loc[alone].isna().all().all() and review.draws.drop(alone).notna().all().all()
    assert any(f"{len(alone)} of 60 resamples could not be refitted" in text for text in review.findings())


def test_a_model_that_fits_no_resample_is_an_error(monkeypatch):
    def fails(sample, rows):
        raise ZeroDivisionError("nothing to share")

    monkeypatch.setattr(indexfuse_tools._weighting.resample, "_refit", fails)
    with pytest.raises(ValueError, match="any of the 5 resamples: ZeroDivisionError: nothing to share"):
        weight_uncertainty(NESTED, NESTED_DATA, n=5, scheduler=1)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: weight_uncertainty(NESTED, NESTED_DATA, n=1), ValueError, "n is the number of resamples.*got 1"),
        (lambda: weight_uncertainty(NESTED, NESTED_DATA, n=10.0), ValueError, "at least 2, got 10.0"),
        (lambda: weight_uncertainty(NESTED, NESTED_DATA, seed=1.5), ValueError, "seed is a non-negative integer"),
        (lambda: weight_uncertainty(NESTED, NESTED_DATA, seed=None), ValueError, "got None"),
        (lambda: weight_uncertainty(NESTED, NESTED_DATA, seed="0"), ValueError, "got '0'"),
        (lambda: weight_uncertainty(NESTED, NESTED_DATA, level=90), ValueError, "between 0 and 1"),
        (lambda: weight_uncertainty(NESTED, NESTED_DATA.to_numpy()), TypeError, "data is a pandas DataFrame"),
        (lambda: weight_uncertainty(NESTED, NESTED_DATA, k=5), TypeError, "weight_uncertainty\\(\\) got unexpected"),
        (lambda: weight_uncertainty(NESTED, NESTED_DATA, scheduler="all"), TypeError, "scheduler must be"),
        (
            lambda: weight_uncertainty({"A": ["a", "b", "c"], "B": ["d"]}, NESTED_DATA.head(2)),
            ValueError,
            "schema\\['A'\\] has 3 indicators but the table only 2 units",
        ),
        (lambda: weight_uncertainty({"A": ["a", "zz"]}, NESTED_DATA), indexfuse_tools.SchemaError, "zz"),
    ],
    ids=[
        "n of 1", "n not an integer", "seed not an integer", "seed None", "seed text", "level",
        "not a frame", "unknown argument", "scheduler", "fewer units", "schema error",
    ],
)  # fmt: skip
def test_bad_input_is_refused_before_anything_runs(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_a_preparation_is_replayed_and_its_rows_reviewed():
    raw = NESTED_DATA.copy()
    raw.iloc[[2, 5], 0] = np.nan
    prepared, _, preparation = indexfuse_tools.prepare(NESTED, raw, impute="median")
    review = weight_uncertainty(NESTED, raw, n=4, preparation=preparation, scheduler=1)
    again = weight_uncertainty(NESTED, prepared, n=4, scheduler=1)
    pd.testing.assert_frame_equal(review.weights, again.weights)
    with pytest.raises(TypeError, match="preparation must be the Preparation"):
        weight_uncertainty(NESTED, raw, n=4, preparation={"impute": "median"})


# --------------------------------------------------------------- the tests --


class _Fitted:
    def __init__(self, weights):
        self.dim_weight = weights


@pytest.mark.parametrize(
    "offset, told_apart",
    [(0.0, False), (0.002, False), (0.03, True)],
    ids=["equal", "within the noise", "far beyond it"],
)
def test_equal_weights_are_told_apart_only_beyond_the_resamples_spread(offset, told_apart):
    rng = np.random.default_rng(0)
    equal = {"a": 1 / 3, "b": 1 / 3, "c": 1 / 3}
    fitted = {"a": 1 / 3 + offset, "b": 1 / 3 - offset, "c": 1 / 3}
    spread = rng.normal(scale=0.01, size=(500, 2))
    draws = np.column_stack([spread + [fitted["a"], fitted["b"]], 1 - spread.sum(axis=1) - 2 / 3 + fitted["c"]])
    test = equality_test(_Fitted(fitted), equal, (("a",), ("b",), ("c",)), draws, 0.9)
    assert test.told_apart is told_apart and test.dof == 2


# ---------------------------------------------------------- the importance --


@pytest.mark.parametrize(
    "relation, expected",
    [
        (lambda x, noise: np.sin(3 * x), 1.0),  # a function of x: all of it, however curved
        (lambda x, noise: noise, 0.0),  # no link: about nothing once the noise of the bins is taken off
        (lambda x, noise: x + noise, 0.5),  # linear, half the variance
    ],
    ids=["function", "independent", "linear half"],
)
def test_the_correlation_ratio_reads_the_share_of_variance_explained(relation, expected):
    rng = np.random.default_rng(7)
    x, noise = rng.normal(size=(2, 20_000))
    y = relation(x, noise)
    ratio = correlation_ratios(bins_of(x[None, :]), y - y.mean(), np.ones((len(x), 1)))[0, 0]
    assert ratio == pytest.approx(expected, abs=0.02)


def test_counts_weigh_units_as_repeated_rows_would():
    rng = np.random.default_rng(2)
    x = rng.integers(0, 6, size=40).astype(float)  # ties
    y = x**2 + rng.normal(size=40)
    counts = np.bincount(rng.integers(0, 40, size=40), minlength=40)
    bins = bins_of(x[None, :])
    got = correlation_ratios(bins, y, counts[:, None].astype(float))[0, 0]
    # The same bins, each unit repeated as often as the resample drew it, by hand.
    member = np.asarray(bins.matrix.argmax(axis=0)).ravel()
    repeated = pd.DataFrame({"bin": np.repeat(member, counts), "y": np.repeat(y, counts)})
    means = repeated.groupby("bin")["y"].transform("mean")
    ratio = ((means - repeated["y"].mean()) ** 2).sum() / ((repeated["y"] - repeated["y"].mean()) ** 2).sum()
    groups, size = repeated["bin"].nunique(), len(repeated)
    assert got == pytest.approx(1 - (1 - ratio) * (size - 1) / (size - groups), rel=1e-12)


@pytest.mark.parametrize("units", [9, 400, 20_000])
def test_bins_are_about_equal_and_never_split_equal_values(units):
    rng = np.random.default_rng(units)
    x = np.round(rng.normal(size=units), 1)
    bins = bins_of(x[None, :])
    member = np.asarray(bins.matrix.argmax(axis=0)).ravel()
    assert bins.sizes[0] <= bin_count(units) and bin_count(units) <= 100
    assert pd.Series(member).groupby(x).nunique().max() == 1  # a value lives in one bin
    # bins follow the order of x
    by_bin = pd.Series(x).groupby(member)
    assert (by_bin.max().to_numpy()[:-1] < by_bin.min().to_numpy()[1:]).all()


# ------------------------------------------------------------- the rivals --


@pytest.mark.parametrize(
    "columns, expected",
    [
        # uncorrelated: every direction is a first component, and none is preferred
        (lambda z: [z[0], z[1], z[2]], [1 / 3, 1 / 3, 1 / 3]),
        (lambda z: [z[0], z[0] + 0.01 * z[1], z[2]], [0.5, 0.5, 0.0]),
        # a direction does not change a share: b's -1 turns it round, its square stays
        (lambda z: [z[0], -z[0] - 0.01 * z[1], z[2]], [0.5, 0.5, 0.0]),
        (lambda z: [z[0], 0 * z[1], z[2]], [0.5, 0.0, 0.5]),  # a dimension that does not vary gets 0
        (lambda z: [z[0], 0 * z[1], 0 * z[2]], [1.0, 0.0, 0.0]),
    ],
    ids=["uncorrelated", "two together", "two together, one reversed", "one constant", "one varies"],
)
def test_principal_component_weights(columns, expected):
    # Exactly uncorrelated columns, so that ties between eigenvalues are ties.
    drawn = np.random.default_rng(0).normal(size=(500, 3))
    z = np.linalg.qr(drawn - drawn.mean(axis=0))[0].T
    values = dict(zip(("a", ("b", -1), "c"), map(pd.Series, columns(z))))
    got = principal_component_weights(values, {"a": 0.2, ("b", -1): 0.3, "c": 0.5})
    np.testing.assert_allclose(list(got.values()), expected, atol=1e-6)


def test_principal_component_weights_are_the_squared_loadings_scikit_learn_finds():
    from sklearn.decomposition import PCA
    from sklearn.preprocessing import StandardScaler

    values = {key: NESTED_DATA[column] for key, column in zip("xyz", "acf")}
    got = principal_component_weights(values, {"x": 0.3, "y": 0.3, "z": 0.4})
    loadings = PCA(n_components=1).fit(StandardScaler().fit_transform(NESTED_DATA[list("acf")])).components_[0]
    np.testing.assert_allclose(list(got.values()), loadings**2, rtol=1e-9)


def test_the_geometric_mean_by_hand():
    values = {"a": pd.Series([0.0, 0.5, 1.0, 0.25]), ("n", -1): {"p": pd.Series([2.0, 4.0, 6.0, 2.0])}}
    weights = {"a": 0.25, ("n", -1): {"p": 0.75}}
    # a on 1..100: 1, 50.5, 100, 25.75; p's direction -1 puts 6 lowest: 100, 50.5, 1, 100
    by_hand = [
        1**0.25 * 100**0.75,
        50.5**0.25 * 50.5**0.75,
        100**0.25 * 1**0.75,
        25.75**0.25 * 100**0.75,
    ]
    np.testing.assert_allclose(geometric_composite(values, weights), by_hand, rtol=1e-12)


@pytest.fixture(scope="module")
def combined():
    return robustness(
        NESTED, NESTED_DATA, method="uncertainty", n=24, seed=2, scheduler=1, progress=False,
        factors={"weighting": None, "aggregation": None, "weight_noise": 0.25},
    )  # fmt: skip


def _noisy(weights, multipliers):
    """Each top-level weight (a nested one's parts with it) times its multiplier, the whole renormalised."""
    scaled = {
        key: {part: w * multipliers[key] for part, w in weight.items()} if isinstance(weight, dict)
        else weight * multipliers[key]
        for key, weight in weights.items()
    }  # fmt: skip
    total = sum(sum(w.values()) if isinstance(w, dict) else w for w in scaled.values())
    return {key: {p: v / total for p, v in w.items()} if isinstance(w, dict) else w / total for key, w in scaled.items()}


def test_robustness_runs_weigh_and_combine_as_their_levels_say(combined):
    result = combined
    runs = result.runs
    assert set(runs["weighting"]) == {"model", "equal", "principal components"}
    assert set(runs["aggregation"]) == {"arithmetic", "geometric"}
    model = indexfuse.indexpca_diment(NESTED)
    model.fit(NESTED_DATA)
    composite, values = model.score(NESTED_DATA)
    for run in range(len(runs)):
        weighted = copy.copy(model)
        if runs["weighting"][run] == "equal":
            indexfuse_tools.equal_weights(weighted)
        elif runs["weighting"][run] == "principal components":
            set_weights(weighted, principal_component_weights(values, model.dim_weight))
        # the noise on the weights applies to the run's weighting, whichever it is
        multipliers = {key: runs[f"weight_noise: {indexfuse_tools.dimension_name((key,))}"][run] for key in NESTED}
        weighted.dim_weight = _noisy(weighted.dim_weight, multipliers)
        for (_, got), (_, want_weight) in zip(
            indexfuse_tools.weights(result.weights(run)).items(), indexfuse_tools.weights(weighted.dim_weight).items()
        ):
            assert got == pytest.approx(want_weight, rel=1e-12)
        want = weighted.compute_score(values, weighted.dim_weight)
        if runs["aggregation"][run] == "geometric":
            want = geometric_composite(values, weighted.dim_weight)
        np.testing.assert_allclose(result.composite(run).to_numpy(), np.asarray(want), rtol=1e-12)


def test_an_analysis_of_the_weighting_and_the_aggregation_is_saved_and_loaded(combined, tmp_path):
    combined.save(tmp_path / "analysis.zip")
    back = indexfuse_tools.RobustnessResult.load(tmp_path / "analysis.zip")
    pd.testing.assert_frame_equal(back.runs, combined.runs, check_exact=True)
    geometric = int(np.flatnonzero(combined.runs["aggregation"] == "geometric")[0])
    pd.testing.assert_series_equal(back.composite(geometric), combined.composite(geometric), check_exact=True)


# --------------------------------------------------------------- the report --


def test_the_report_shows_the_review_and_refuses_one_of_other_weights(nested, tmp_path):
    model = indexfuse.indexpca_diment(NESTED, ent_k=5)
    model.fit(NESTED_DATA)
    page = indexfuse_tools.report(model, NESTED_DATA, tmp_path / "index.html", weight_uncertainty=nested)
    text = page.read_text(encoding="utf-8")
    assert '<section id="trust"><h2>Can the weights be trusted?</h2>' in text
    assert "entropy above a constant (nats)" in text and ">information<" not in text
    for finding in nested.findings():
        assert text.count(finding.replace("'", "&#39;")) >= 1
    other = indexfuse.indexpca_diment(NESTED, ent_k=10)
    other.fit(NESTED_DATA)
    with pytest.raises(ValueError, match="reviewed other weights"):
        indexfuse_tools.report(other, NESTED_DATA, tmp_path / "other.html", weight_uncertainty=nested)
    with pytest.raises(TypeError, match="weight_uncertainty must be"):
        indexfuse_tools.report(model, NESTED_DATA, tmp_path / "other.html", weight_uncertainty=nested.weights)


def test_the_review_writes_its_tables_to_a_workbook(nested, tmp_path):
    openpyxl = pytest.importorskip("openpyxl")
    path = tmp_path / "review.xlsx"
    nested.to_excel(path)
    book = openpyxl.load_workbook(path)
    assert book.sheetnames == ["summary", *nested.tables()]


def test_a_unit_label_with_a_control_character_reaches_the_workbook_as_its_symbol(tmp_path):
    openpyxl = pytest.importorskip("openpyxl")
    data = NESTED_DATA.rename(index={"unit 0": "unit\x0c0"})  # a form feed no workbook can hold
    review = weight_uncertainty(NESTED, data, n=4, seed=5, scheduler=1, ent_k=5)
    path = tmp_path / "review.xlsx"
    with pytest.warns(UserWarning, match="control characters"):
        review.to_excel(path)
    cells = {cell.value for sheet in openpyxl.load_workbook(path) for row in sheet.iter_rows() for cell in row}
    assert "unit\u240c0" in cells


def test_the_review_is_a_result_of_its_own_kind(nested):
    assert isinstance(nested, WeightUncertainty)
    assert nested.plot().axes[0].get_title(loc="left") == "Weights, their uncertainty and their rivals"


def test_a_name_that_runs_right_to_left_is_isolated_in_the_summary_and_the_findings():
    schema, data = _noise_table(n=400)
    schema = {("C\u202e" if key == "C" else key): entries for key, entries in schema.items()}
    review = weight_uncertainty(schema, data, n=4, scheduler=1)
    (warned,) = [text for text in review.findings() if "spread of its values" in text]
    assert warned.startswith("\u2068C\u202e\u2069 agrees little")
    rows = [line for line in str(review).splitlines() if line.startswith(("A ", "B ", "\u2068C"))][:3]
    assert len({len(strip_bidi(line)) for line in rows}) == 1  # the columns line up as a reader sees them


@pytest.mark.parametrize(
    "draws, reversed_share, changes",
    [
        ([[0.5, 0.3, 0.2]] * 4, [0.0, 0.0, 0.0], 0.0),
        ([[0.5, 0.3, 0.2], [0.3, 0.5, 0.2], [0.5, 0.1, 0.4], [0.5, 0.3, 0.2]], [0.25, 0.0, 0.25], 0.5),
        ([[0.2, 0.2, 0.6]] * 2, [1.0, 1.0, 1.0], 1.0),  # a tie reverses an order too: it no longer holds
    ],
    ids=["steady", "two pairs reversed once each", "every order lost"],
)
def test_the_share_of_resamples_that_reverse_the_order_of_siblings(draws, reversed_share, changes):
    from indexfuse_tools._weighting.tables import order_rows

    paths = (("a",), ("b",), ("c",))
    table, share = order_rows(paths, np.array([0.5, 0.3, 0.2]), np.array(draws))
    assert list(zip(table["dimension"], table["other"])) == [("a", "b"), ("a", "c"), ("b", "c")]
    assert table["reversed"].tolist() == reversed_share and share == changes


def test_a_script_without_the_main_guard_fails_in_one_line_however_large_the_review(tmp_path):
    import subprocess
    import sys

    script = tmp_path / "unguarded.py"
    script.write_text(
        "import numpy as np, pandas as pd\n"
        "from indexfuse_tools import weight_uncertainty\n"
        "data = pd.DataFrame(np.random.default_rng(0).normal(size=(3000, 4)), columns=list('abcd'))\n"
        "weight_uncertainty({'A': ['a', 'b'], 'B': ['c', 'd']}, data, n=8, scheduler=2)\n"
    )
    # The workers' state (the columns and the bins: some 350 KB) would not fit in a pipe (64 KB).
    finished = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=300)
    assert finished.returncode != 0
    assert 'under if __name__ == "__main__":' in finished.stderr
    assert finished.stderr.count("Traceback") <= 1
