import pickle

import numpy as np
import pandas as pd
import pytest
from sklearn.decomposition import PCA as SkPCA

from tessel import process
from tessel.modelbench import PCA, NotFittedError


def correlated_frame(n=400, d=5, seed=0):
    rng = np.random.default_rng(seed)
    mixing = rng.normal(size=(d, d)) + 1.0
    data = rng.normal(size=(n, d)) @ mixing + rng.uniform(-50, 50, size=d)
    return pd.DataFrame(data, columns=[f"c{i}" for i in range(d)])


def scaled_by_hand(frame, method):
    if method == "max_min":
        return (frame - frame.min()) / (frame.max() - frame.min())
    return (frame - frame.mean()) / frame.std(ddof=1)


@pytest.mark.parametrize("method", ["max_min", "z_score"])
@pytest.mark.parametrize("seed", [0, 1])
def test_decomposition_matches_sklearn(method, seed):
    frame = correlated_frame(seed=seed)
    pca = PCA(scale_method=method).fit(frame)
    reference = SkPCA().fit(scaled_by_hand(frame, method).to_numpy())
    np.testing.assert_allclose(pca.eigenvalues, reference.explained_variance_, rtol=1e-9)
    np.testing.assert_allclose(
        pca.explained_variance_ratio, reference.explained_variance_ratio_, rtol=1e-9
    )
    # Same directions; the sign is ours to choose.
    overlap = np.abs(np.sum(pca.components * reference.components_, axis=1))
    np.testing.assert_allclose(overlap, 1.0, rtol=1e-8)
    assert np.all(pca.components.sum(axis=1) > 0)


def test_statistics_are_python_floats_in_column_order():
    frame = correlated_frame(d=3)
    pca = PCA().fit(frame)
    for name, expected in [
        ("max", frame.max()),
        ("min", frame.min()),
        ("mean", frame.mean()),
        ("std", frame.std(ddof=1)),
    ]:
        stored = getattr(pca, name)
        assert isinstance(stored, list) and all(type(v) is float for v in stored)
        np.testing.assert_allclose(stored, expected.to_numpy(), rtol=1e-12)


@pytest.mark.parametrize("cumulative", [0.3, 0.6, 0.9, 0.99, 1])
def test_keeps_fewest_components_reaching_cumulative(cumulative):
    frame = correlated_frame(d=6, seed=3)
    pca = PCA(cumulative=cumulative).fit(frame)
    ratio = np.cumsum(SkPCA().fit(scaled_by_hand(frame, "max_min")).explained_variance_ratio_)
    expected = 6 if cumulative == 1 else int(np.argmax(ratio >= cumulative)) + 1
    assert pca.n_components == expected


@pytest.mark.parametrize("method", ["max_min", "z_score"])
@pytest.mark.parametrize("cumulative", [0.5, 1])
def test_coefficients_and_values(method, cumulative):
    frame = correlated_frame(seed=4)
    pca = PCA(cumulative=cumulative, scale_method=method).fit(frame)
    values, coef, abnormal = pca.score(frame)
    assert all(type(c) is float for c in coef)
    assert sum(abs(c) for c in coef) == pytest.approx(1.0, abs=1e-12)
    assert abnormal == [c for c in coef if c < 0]

    # Eigenvalue-weighted sum of the kept components, from sklearn.
    reference = SkPCA().fit(scaled_by_hand(frame, method).to_numpy())
    m = pca.n_components
    lam = reference.explained_variance_[:m]
    signs = np.sign(reference.components_[:m].sum(axis=1))
    raw = (reference.components_[:m] * signs[:, None]).T @ (lam / lam.sum())
    np.testing.assert_allclose(coef, raw / np.abs(raw).sum(), rtol=1e-8, atol=1e-12)

    # values = columns scaled the way a caller scales new data with the
    # stored statistics (all four keywords, whatever the method), times coef.
    scaled = np.column_stack(
        [
            process.scale(
                frame.iloc[:, i],
                method=method,
                range=(pca.min[i], pca.max[i]),
                mean=pca.mean[i],
                std=pca.std[i],
            )
            for i in range(frame.shape[1])
        ]
    )
    np.testing.assert_allclose(values.to_numpy(), scaled @ np.array(coef), rtol=1e-12, atol=1e-12)
    assert values.index.equals(frame.index)


def test_reversed_column_is_flagged_abnormal():
    frame = correlated_frame(d=4, seed=5)
    frame = frame.assign(c0=frame.mean(axis=1) + 1)  # strongly aligned with the rest
    _, coef, abnormal = PCA().fit(frame).score(frame)
    assert abnormal == []

    flipped = frame.assign(c0=-frame["c0"])
    _, flipped_coef, flipped_abnormal = PCA().fit(flipped).score(flipped)
    assert flipped_coef[0] < 0
    assert flipped_abnormal == [flipped_coef[0]]
    np.testing.assert_allclose(np.abs(flipped_coef), np.abs(coef), rtol=1e-9)


def test_balanced_component_orientation_is_deterministic():
    x = np.random.default_rng(6).normal(size=200)
    pca = PCA().fit(pd.DataFrame({"a": x, "b": -x}))
    # One component, (1, -1) / sqrt(2): entries sum to 0, first entry wins.
    np.testing.assert_allclose(pca.components[0], [2**-0.5, -(2**-0.5)], atol=1e-12)
    np.testing.assert_allclose(pca.coef, [0.5, -0.5], atol=1e-12)


@pytest.mark.parametrize(
    "data, expected",
    [
        ({"a": [1.0, 2.0, 5.0]}, [1.0]),
        ({"a": [3.0, 3.0, 3.0]}, [1.0]),
        ({"a": [1.0, 1.0], "b": [2.0, 2.0], "c": [0.0, 0.0]}, [1 / 3] * 3),
    ],
)
@pytest.mark.parametrize("method", ["max_min", "z_score"])
def test_single_column_and_zero_variance(data, expected, method):
    frame = pd.DataFrame(data)
    values, coef, abnormal = PCA(scale_method=method).fit(frame).score(frame)
    np.testing.assert_allclose(coef, expected, rtol=1e-15)
    assert abnormal == []
    assert np.all(np.isfinite(values))


def test_constant_column_gets_exact_zero():
    frame = correlated_frame(d=3).assign(flat=7.0)
    values, coef, abnormal = PCA().fit(frame).score(frame)
    assert coef[3] == 0.0 and abnormal == []
    assert np.all(np.isfinite(values))


def test_positional_columns_duplicate_and_tuple_labels():
    frame = correlated_frame(d=3)
    odd = frame.iloc[:, [0, 1, 0, 2]].copy()
    odd.columns = ["x", ("t", 1), "x", ("t", 1)]
    plain = frame.iloc[:, [0, 1, 0, 2]].set_axis(list("abcd"), axis=1)
    got = PCA().fit(odd).score(odd)
    want = PCA().fit(plain).score(plain)
    np.testing.assert_array_equal(got[0].to_numpy(), want[0].to_numpy())
    assert got[1] == want[1]


def test_nullable_and_bool_columns_fit_like_floats():
    frame = pd.DataFrame({"i": [1, 5, 2, 8, 3], "b": [True, False, True, True, False]})
    nullable = frame.astype({"i": "Int64", "b": "boolean"})
    np.testing.assert_allclose(
        PCA().fit(nullable).coef, PCA().fit(frame.astype(float)).coef, rtol=1e-14
    )


def test_pickle_round_trip_of_fitted_model():
    frame = correlated_frame()
    pca = PCA(cumulative=0.8, scale_method="z_score").fit(frame)
    clone = pickle.loads(pickle.dumps(pca))
    assert (clone.cumulative, clone.scale_method) == (0.8, "z_score")
    for name in ("max", "min", "mean", "std", "coef", "n_components"):
        assert getattr(clone, name) == getattr(pca, name)
    np.testing.assert_array_equal(clone.score(frame)[0], pca.score(frame)[0])
    unfitted = pickle.loads(pickle.dumps(PCA(0.5)))
    assert not unfitted.is_fitted and unfitted.cumulative == 0.5


def test_unfitted_model_raises_clearly():
    pca = PCA()
    with pytest.raises(NotFittedError, match=r"fit\(frame\)"):
        pca.score(correlated_frame())
    with pytest.raises(ValueError):
        pca.score(correlated_frame())
    with pytest.raises(NotFittedError, match="max"):
        pca.max  # noqa: B018
    assert not hasattr(pca, "std")


@pytest.mark.parametrize(
    "kwargs, fragments",
    [
        ({"cumulative": 0}, ["cumulative", "(0, 1]", "0"]),
        ({"cumulative": 1.5}, ["cumulative", "1.5"]),
        ({"cumulative": np.nan}, ["cumulative", "nan"]),
        ({"cumulative": True}, ["cumulative", "True"]),
        ({"cumulative": "0.9"}, ["cumulative", "'0.9'"]),
        ({"scale_method": "zscore"}, ["scale_method", "'zscore'", "'max_min'", "'z_score'"]),
    ],
)
def test_bad_construction(kwargs, fragments):
    with pytest.raises(ValueError) as info:
        PCA(**kwargs)
    for fragment in fragments:
        assert fragment in str(info.value)


def _with(frame, **changes):
    frame = frame.copy()
    for (row, col), value in changes.get("cells", {}).items():
        frame.iloc[row, col] = value
    return frame


@pytest.mark.parametrize(
    "make, fragments",
    [
        (lambda f: f.iloc[:1], ["2 rows", "1"]),
        (lambda f: f.iloc[:, :0], ["column"]),
        (lambda f: _with(f, cells={(3, 1): np.nan}), ["missing or infinite", "1 'c1'"]),
        (
            lambda f: _with(f, cells={(0, 0): np.inf, (2, 4): -np.inf}),
            ["missing or infinite", "0 'c0'", "4 'c4'"],
        ),
        (lambda f: _with(f.astype({"c1": "Float64"}), cells={(0, 1): pd.NA}), ["1 'c1'"]),
        (lambda f: f.assign(c3=pd.NA), ["missing", "3 'c3'"]),
        (lambda f: f.assign(c2=f["c2"].astype(str)), ["numeric", "2 'c2'"]),
        (lambda f: f.set_axis([("t", 1)] * 5, axis=1).assign(z="x"), ["numeric", "5 'z'"]),
        (lambda f: f["c0"].to_numpy(), ["2-D", "(400,)"]),
    ],
)
def test_bad_fit_frame(make, fragments):
    with pytest.raises(ValueError) as info:
        PCA().fit(make(correlated_frame()))
    for fragment in fragments:
        assert fragment in str(info.value)


@pytest.mark.parametrize("columns", [[0, 1], [0, 1, 2, 3, 4, 0]])
def test_score_column_count_must_match(columns):
    frame = correlated_frame()
    pca = PCA().fit(frame)
    with pytest.raises(ValueError, match=f"5 column.*got {len(columns)}"):
        pca.score(frame.iloc[:, columns])


def test_score_new_data_with_missing_row():
    frame = correlated_frame()
    pca = PCA().fit(frame)
    new = frame.iloc[:3].copy()
    new.iloc[1, 2] = np.nan
    values, _, _ = pca.score(new)
    assert np.isnan(values.iloc[1]) and np.isfinite(values.iloc[[0, 2]]).all()
