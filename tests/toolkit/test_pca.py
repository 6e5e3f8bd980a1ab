import pickle

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from sklearn.decomposition import PCA as SkPCA

from tessel import process
from tessel.modelbench import PCA, NotFittedError, _pca


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

    # sum_j lambda_j**2 v_j (v_j . 1) over the kept components, from sklearn.
    reference = SkPCA().fit(scaled_by_hand(frame, method).to_numpy())
    m = pca.n_components
    lam = reference.explained_variance_[:m]
    vectors = reference.components_[:m]
    raw = vectors.T @ (lam**2 * vectors.sum(axis=1))
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


@pytest.mark.parametrize("method", ["max_min", "z_score"])
@pytest.mark.parametrize(
    "d, noise, reversed_at",
    [(3, 1.0, 0), (3, 1.0, 2), (5, 1.5, 1), (4, 1.0, 3)],
)
def test_reversed_column_is_flagged_abnormal(method, d, noise, reversed_at):
    rng = np.random.default_rng(d + reversed_at)
    frame = interchangeable(300, d, rng, noise)
    # Skewed columns make the max-min spreads unequal.
    frame.iloc[:, ::2] = np.exp(frame.iloc[:, ::2] / 2)
    _, _, abnormal = PCA(scale_method=method).fit(frame).score(frame)
    assert abnormal == []

    flipped = frame.copy()
    flipped.iloc[:, reversed_at] *= -1
    _, coef, abnormal = PCA(scale_method=method).fit(flipped).score(flipped)
    assert abnormal == [coef[reversed_at]]
    assert coef[reversed_at] < 0


@pytest.mark.parametrize(
    "columns, expected",
    [
        # The equal-weight sum does not vary: equal shares, constants excluded.
        (lambda x: {"a": x, "b": -x}, [0.5, 0.5]),
        (lambda x: {"a": x, "b": -x, "flat": 0 * x + 2}, [0.5, 0.5, 0.0]),
        (lambda x: {"a": x, "b": -x, "c": x**3, "d": -(x**3)}, [0.25] * 4),
    ],
)
def test_cancelling_columns_fall_back_to_equal_shares(columns, expected):
    x = np.random.default_rng(6).normal(size=200)
    pca = PCA(scale_method="z_score").fit(pd.DataFrame(columns(x)))
    np.testing.assert_allclose(pca.coef, expected, atol=1e-12)
    # Components are still oriented for display: the first clear entry of a
    # balanced one is positive.
    assert pca.components[0][np.flatnonzero(np.abs(pca.components[0]) > 1e-6)[0]] > 0


# ------------------------------------------------ properties of coef --


def interchangeable(n, d, rng, noise=1.0):
    """``d`` indicators: one common factor plus independent noise of equal size."""
    base = rng.normal(size=n)
    return pd.DataFrame({f"x{i}": base + noise * rng.normal(size=n) for i in range(d)})


def designs(rng, n, d):
    """Frames whose coefficients a sign convention would make fragile."""
    return {
        "interchangeable": interchangeable(n, d, rng),
        "ranks": interchangeable(n, d, rng).rank(),  # exactly equal spreads
        "mixed": correlated_frame(n, d, seed=int(rng.integers(1 << 30))),
        "one reversed": interchangeable(n, d, rng).assign(x0=lambda f: -f["x0"]),
    }


FIT_OPTIONS = st.sampled_from(
    [(1, "max_min"), (1, "z_score"), (0.8, "max_min"), (0.6, "z_score")]
)


@settings(max_examples=60, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), d=st.integers(2, 6), options=FIT_OPTIONS, data=st.data())
def test_coefficients_follow_a_permutation_of_the_columns(seed, d, options, data):
    rng = np.random.default_rng(seed)
    order = data.draw(st.permutations(range(d)))
    for frame in designs(rng, 300, d).values():
        coef = np.array(PCA(*options).fit(frame).coef)
        permuted = np.array(PCA(*options).fit(frame.iloc[:, order]).coef)
        np.testing.assert_allclose(permuted, coef[order], atol=1e-9)


@settings(max_examples=40, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), d=st.integers(2, 6), options=FIT_OPTIONS)
def test_coefficients_ignore_the_sign_of_every_component(seed, d, options):
    rng = np.random.default_rng(seed)
    flips = rng.choice([-1.0, 1.0], size=64)
    frame = designs(rng, 300, d)["mixed"]
    want = PCA(*options).fit(frame).coef
    calls = iter(flips)
    original = _pca._orient
    try:
        _pca._orient = lambda vector: next(calls) * vector
        got = PCA(*options).fit(frame).coef
    finally:
        _pca._orient = original
    np.testing.assert_allclose(got, want, atol=1e-12)


@settings(max_examples=40, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), d=st.integers(2, 5), options=FIT_OPTIONS)
def test_coefficients_move_little_with_the_data(seed, d, options):
    rng = np.random.default_rng(seed)
    for frame in designs(rng, 300, d).values():
        nudged = frame + 1e-7 * rng.normal(size=frame.shape)
        np.testing.assert_allclose(
            PCA(*options).fit(nudged).coef, PCA(*options).fit(frame).coef, atol=1e-4
        )


@pytest.mark.parametrize("method, tolerance", [("z_score", 0.02), ("max_min", 0.05)])
@pytest.mark.parametrize("d", [2, 3, 5])
@pytest.mark.parametrize("seed", range(2))
def test_interchangeable_indicators_share_equally(method, tolerance, d, seed):
    frame = interchangeable(2_000, d, np.random.default_rng(seed))
    np.testing.assert_allclose(PCA(scale_method=method).fit(frame).coef, 1 / d, atol=tolerance)


def test_coefficients_are_stable_under_resampling():
    # Three interchangeable indicators at 400 rows: orienting components by
    # the sign of their sum gave a bootstrap standard deviation of 0.11 to
    # 0.12 on exactly this case.
    rng = np.random.default_rng(1)
    frame = interchangeable(400, 3, rng)
    draws = [PCA().fit(frame.iloc[rng.integers(0, 400, 400)]).coef for _ in range(200)]
    assert np.std(draws, axis=0, ddof=1).max() < 0.04


def test_equal_eigenvalues_are_kept_together():
    # Exactly symmetric covariance: eigenvalues 1 + 2r, 1 - r, 1 - r.
    r = 0.3
    cov = np.full((3, 3), r) + (1 - r) * np.eye(3)
    frame = pd.DataFrame(np.random.default_rng(0).normal(size=(500, 3)))
    white = np.linalg.cholesky(np.cov(frame.to_numpy(), rowvar=False))
    exact = frame.to_numpy() @ np.linalg.inv(white).T @ np.linalg.cholesky(cov).T
    pca = PCA(cumulative=0.7, scale_method="z_score").fit(pd.DataFrame(exact))
    assert pca.n_components == 3
    np.testing.assert_allclose(pca.coef, [1 / 3] * 3, atol=1e-12)


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


def test_score_refuses_infinite_values_by_column():
    frame = correlated_frame()
    pca = PCA().fit(frame)
    new = frame.iloc[:4].copy()
    new.iloc[[0, 2], 3] = [np.inf, -np.inf]
    with pytest.raises(ValueError, match="3 'c3': 2"):
        pca.score(new)


def test_score_new_data_with_missing_row():
    frame = correlated_frame()
    pca = PCA().fit(frame)
    new = frame.iloc[:3].copy()
    new.iloc[1, 2] = np.nan
    values, _, _ = pca.score(new)
    assert np.isnan(values.iloc[1]) and np.isfinite(values.iloc[[0, 2]]).all()
