import math
import re

import numpy as np
import pandas as pd
import pytest
from scipy.spatial import cKDTree
from scipy.special import digamma

from tessel import _knn
from tessel.modelbench import entropy


def brute_force(points, k):
    """The estimate from a k-d tree query, written out independently."""
    points = np.asarray(points, dtype=float)
    if points.ndim == 1:
        points = points[:, None]
    n, d = points.shape
    dist, _ = cKDTree(points).query(points, k=k + 1, p=np.inf)
    r = np.maximum(dist[:, k], 1e-10 * math.ceil(k / 2) / n)
    return digamma(n) - digamma(k) + d * math.log(2) + d * np.mean(np.log(r))


@pytest.mark.parametrize(
    "n, k",
    [(2, 1), (5, 4), (50, 3), (200, 7), (3000, 10), (5000, 1), (20000, 25), (20000, 4)],
)
@pytest.mark.parametrize("kind", ["ties", "mixed", "continuous"])
def test_one_dimension_matches_kd_tree(n, k, kind):
    rng = np.random.default_rng(n + k)
    if kind == "ties":
        x = rng.integers(-5, 6, size=n) * 0.5
    elif kind == "mixed":
        x = np.where(rng.random(n) < 0.3, 0.0, rng.exponential(size=n) - 0.2)
    else:
        x = rng.normal(scale=1e3, size=n)
    assert entropy.multivar_knn(x, k) == pytest.approx(brute_force(x, k), rel=1e-9, abs=1e-9)


@pytest.mark.parametrize("d, k", [(2, 1), (3, 4)])
def test_several_dimensions_match_kd_tree(d, k):
    x = np.random.default_rng(d).integers(0, 4, size=(500, d)).astype(float)
    assert entropy.multivar_knn(x, k) == pytest.approx(brute_force(x, k), rel=1e-9)


@pytest.mark.parametrize(
    "sample, expected",
    [
        (lambda rng, n: rng.normal(0, 2.5, n), 0.5 * math.log(2 * math.pi * math.e * 2.5**2)),
        (lambda rng, n: rng.normal(-7, 0.01, n), 0.5 * math.log(2 * math.pi * math.e * 1e-4)),
        (lambda rng, n: rng.uniform(3, 7, n), math.log(4)),
        (lambda rng, n: rng.uniform(0, 0.2, n), math.log(0.2)),
    ],
)
@pytest.mark.parametrize("k", [3, 10])
def test_analytic_entropies(sample, expected, k):
    x = sample(np.random.default_rng(k), 100_000)
    assert entropy.multivar_knn(x, k) == pytest.approx(expected, abs=0.02)


def test_independent_gaussians_in_two_dimensions():
    x = np.random.default_rng(7).normal(size=(20_000, 2))
    assert entropy.multivar_knn(x) == pytest.approx(math.log(2 * math.pi * math.e), abs=0.05)


@pytest.mark.parametrize("k", [1, 3, 10])
def test_all_zero_baseline_does_not_drift_with_n(k):
    estimates = [entropy.multivar_knn(np.zeros(n), k) for n in (1_000, 100_000, 1_000_000)]
    assert max(estimates) - min(estimates) < 1e-3
    assert abs(estimates[0] - math.log(1e-10)) < 1.5
    # A constant reads like points spread evenly over a width of 1e-10.
    n = 100_000
    grid = np.arange(n) * (1e-10 / n)
    assert estimates[1] == pytest.approx(entropy.multivar_knn(grid, k), abs=1e-3)


def test_input_forms_agree():
    data = np.random.default_rng(8).integers(0, 30, size=300)
    want = entropy.multivar_knn(data.astype(float), 4)
    forms = [
        data,
        data.tolist(),
        tuple(data.tolist()),
        pd.Series(data),
        pd.Series(data, dtype="Int64"),
        pd.Series(data.astype(object)),
        pd.DataFrame({"a": data}),
        data.reshape(-1, 1),
        data[::-1].copy(),  # order does not matter
    ]
    for form in forms:
        assert entropy.multivar_knn(form, np.int64(4)) == pytest.approx(want, rel=1e-12)
    frame = pd.DataFrame({"a": data, "b": data[::-1]})
    assert entropy.multivar_knn(frame, 4) == entropy.multivar_knn(frame.to_numpy(), 4)


def test_deterministic_and_input_untouched():
    x = np.random.default_rng(9).normal(size=10_000)
    before = x.copy()
    assert entropy.multivar_knn(x) == entropy.multivar_knn(x)
    np.testing.assert_array_equal(x, before)


@pytest.mark.parametrize(
    "x, k, fragments",
    [
        ([1.0], 0, ["at least 2 points", "k=0", "n=1"]),
        ([1.0], -1, ["k=-1", "n=1"]),
        ([], 0, ["k=0", "n=0"]),
        (np.zeros((1, 3)), 1, ["k=1", "n=1"]),
        ([1.0, 2.0, 3.0], 3, ["1 <= k < n", "k=3", "n=3"]),
        ([1.0, 2.0, 3.0], 0, ["1 <= k < n", "k=0", "n=3"]),
        ([1.0, 2.0, 3.0], True, ["integer", "bool", "k=True", "n=3"]),
        ([1.0, 2.0, 3.0], 2.0, ["integer", "float", "k=2.0", "n=3"]),
        ([1.0, 2.0, 3.0], "2", ["integer", "k='2'", "n=3"]),
        ([1.0, np.nan, 3.0, 4.0], 1, ["missing or infinite", "k=1", "n=4"]),
        (pd.Series([1.0, None, 3.0], dtype="Float64"), 1, ["missing", "k=1", "n=3"]),
        (np.array([[0.0, 1.0], [np.inf, 2.0], [3.0, 4.0]]), 1, ["infinite", "n=3"]),
        (["a", "b", "c"], 1, ["numeric", "k=1", "n=3"]),
        (pd.Series(["a", "b", "c"]), 1, ["numeric", "n=3"]),
        (pd.DataFrame({"a": [1, 2, 3], "s": list("abc")}), 1, ["numeric", "'s'", "n=3"]),
        (np.array([1j, 2j, 3j]), 1, ["numeric", "complex", "n=3"]),
        (np.zeros((3, 2, 2)), 1, ["shape", "n=3"]),
        (np.zeros((4, 0)), 1, ["no columns", "n=4"]),
        (5.0, 1, ["shape"]),
    ],
)
def test_bad_input_is_named(x, k, fragments):
    with pytest.raises(ValueError) as info:
        entropy.multivar_knn(x, k)
    for fragment in fragments:
        assert fragment in str(info.value)


@pytest.mark.parametrize(
    "args, error, fragment",
    [
        ((np.zeros(5), 5, 1e-10), ValueError, "k=5"),
        ((np.zeros(5), 0, 1e-10), ValueError, "k=0"),
        ((np.zeros(5), 2**62, 1e-10), ValueError, "1 <= k < n"),
        ((np.zeros(1), 1, 1e-10), ValueError, "n=1"),
        ((np.zeros(0), 1, 1e-10), ValueError, "n=0"),
        ((np.zeros(5), 1, 0.0), ValueError, "floor"),
        ((np.zeros(5), 1, float("nan")), ValueError, "floor"),
        ((np.zeros((5, 2)), 1, 1e-10), ValueError, "ndim=2"),
        ((np.zeros(5, dtype=np.float32), 1, 1e-10), ValueError, "format 'f'"),
        ((np.zeros(5, dtype=np.int64), 1, 1e-10), ValueError, "format"),
        ((np.zeros(10)[::2], 1, 1e-10), TypeError, "C-contiguous"),
        ((b"\x00" * 40, 1, 1e-10), ValueError, "format 'B'"),
        (([1.0, 2.0], 1, 1e-10), TypeError, "buffer protocol"),
        ((np.array([0.0, np.nan] * 3000), 1, 1e-10), ValueError, "finite"),
        ((np.array([0.0, np.inf, 1.0]), 1, 1e-10), ValueError, "finite"),
    ],
)
def test_kernel_rejects_bad_calls(args, error, fragment):
    with pytest.raises(error, match=re.escape(fragment)):
        _knn.sum_log_kth(*args)


def test_kernel_huge_k_overflows_cleanly():
    with pytest.raises(OverflowError):
        _knn.sum_log_kth(np.zeros(5), 2**70, 1e-10)
