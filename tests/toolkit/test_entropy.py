import math
import re
import threading

import numpy as np
import pandas as pd
import pytest
from scipy.special import digamma

from tessel import _knn
from tessel.modelbench import entropy


def reference_estimate(points, k, step):
    """The estimate from every pairwise distance, written out independently:
    points whose grid cell holds more than k points use the expected log
    distance of points spread evenly over the cell, the others their k-th
    neighbour distance."""
    points = np.asarray(points, dtype=float)
    if points.ndim == 1:
        points = points[:, None]
    n, d = points.shape
    cells = np.rint(points / step)
    same_cell = (cells[:, None, :] == cells[None, :, :]).all(axis=2)
    counts = same_cell.sum(axis=1)
    gaps = np.abs(points[:, None, :] - points[None, :, :]).max(axis=2)
    kth = np.sort(gaps, axis=1)[:, k]  # column 0 is the point itself
    log_r = np.where(
        counts > k,
        (digamma(k) - digamma(counts)) / d + math.log(step / 2),
        np.log(np.where(counts > k, 1.0, kth)),
    )
    return digamma(n) - digamma(k) + d * math.log(2) + d * np.mean(log_r)


SAMPLES = {
    "heavy ties": lambda rng, n: rng.integers(-5, 6, size=n) * 0.5,
    "rounded": lambda rng, n: np.round(rng.normal(size=n), 2),
    "zeros and spread": lambda rng, n: np.where(rng.random(n) < 0.3, 0.0, rng.exponential(size=n)),
    "continuous": lambda rng, n: rng.normal(scale=1e3, size=n),
    "near ties": lambda rng, n: np.repeat(rng.normal(size=n // 7 + 1), 7)[:n]
    + rng.uniform(-4e-4, 4e-4, n),
}


@pytest.mark.parametrize("n, k", [(2, 1), (5, 4), (50, 3), (300, 7), (1500, 10), (2500, 1), (2500, 40)])
@pytest.mark.parametrize("kind", list(SAMPLES))
@pytest.mark.parametrize("step", [1e-3, 0.3])
def test_one_dimension_matches_the_pairwise_reference(n, k, kind, step):
    x = SAMPLES[kind](np.random.default_rng(n + k), n)
    assert entropy.multivar_knn(x, k, resolution=step) == pytest.approx(
        reference_estimate(x, k, step), rel=1e-9, abs=1e-9
    )


@pytest.mark.parametrize("d, k, step", [(2, 1, 1e-3), (3, 4, 1e-3), (2, 3, 1.5)])
def test_several_dimensions_match_the_pairwise_reference(d, k, step):
    x = np.random.default_rng(d).integers(0, 4, size=(500, d)) + np.where(
        np.random.default_rng(d + 1).random((500, d)) < 0.5, 0.0, 0.1
    )
    assert entropy.multivar_knn(x, k, resolution=step) == pytest.approx(
        reference_estimate(x, k, step), rel=1e-9
    )


@pytest.mark.parametrize(
    "sample, expected",
    [
        (lambda rng, n: rng.normal(0, 2.5, n), 0.5 * math.log(2 * math.pi * math.e * 2.5**2)),
        (lambda rng, n: rng.normal(-7, 0.01, n), 0.5 * math.log(2 * math.pi * math.e * 1e-4)),
        (lambda rng, n: rng.normal(0, 1, n), 0.5 * math.log(2 * math.pi * math.e)),
        (lambda rng, n: rng.uniform(3, 7, n), math.log(4)),
        (lambda rng, n: rng.uniform(0, 0.2, n), math.log(0.2)),
        (lambda rng, n: rng.uniform(0, 1, n), 0.0),
    ],
)
@pytest.mark.parametrize("k", [3, 10])
def test_continuous_samples_keep_their_analytic_entropy(sample, expected, k):
    x = sample(np.random.default_rng(k), 100_000)
    assert entropy.multivar_knn(x, k) == pytest.approx(expected, abs=0.02)


def test_independent_gaussians_in_two_dimensions():
    x = np.random.default_rng(7).normal(size=(20_000, 2))
    assert entropy.multivar_knn(x) == pytest.approx(math.log(2 * math.pi * math.e), abs=0.05)


@pytest.mark.parametrize("value", [0.0, -7.25])
@pytest.mark.parametrize("n, k", [(2, 1), (100, 20), (100_000, 3), (1_000_000, 10)])
@pytest.mark.parametrize("step", [1e-10, 1e-3, 2.0])
def test_a_constant_sample_reads_as_log_resolution(value, n, k, step):
    assert entropy.multivar_knn(np.full(n, value), k, resolution=step) == pytest.approx(
        math.log(step), abs=1e-9
    )


def test_a_constant_sample_in_two_dimensions_reads_as_twice_log_resolution():
    points = np.tile([3.0, -1.0], (400, 1))
    assert entropy.multivar_knn(points, 5, resolution=0.01) == pytest.approx(2 * math.log(0.01))


@pytest.mark.parametrize("m", [2, 4])
@pytest.mark.parametrize("n", [100, 1_000, 10_000, 1_000_000])
@pytest.mark.parametrize("k", [1, 5, 20])
def test_m_equally_likely_values_carry_log_m(m, n, k):
    # Values 0.37 apart at the default resolution, n / m copies of each.
    x = np.tile(np.arange(m) * 0.37, n // m)
    baseline = entropy.multivar_knn(np.zeros(len(x)), k)
    assert entropy.multivar_knn(x, k) - baseline == pytest.approx(math.log(m), abs=0.05)


@pytest.mark.parametrize("m, n", [(2, 1_000), (4, 100_000), (10, 1_000_000)])
def test_m_values_drawn_at_random_carry_about_log_m(m, n):
    x = np.random.default_rng(m).integers(0, m, n).astype(float)
    information = entropy.multivar_knn(x, 10) - entropy.multivar_knn(np.zeros(n), 10)
    assert information == pytest.approx(math.log(m), abs=0.05)


@pytest.mark.parametrize("n", [1_000, 10_000, 100_000, 1_000_000])
@pytest.mark.parametrize("k", [3, 10])
def test_rounded_data_keep_their_information_as_n_grows(n, k):
    x = np.round(np.random.default_rng(n).uniform(size=n), 2)
    information = entropy.multivar_knn(x, k) - entropy.multivar_knn(np.zeros(n), k)
    assert information >= math.log(100) - 0.1


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


@pytest.mark.parametrize("value", [0, -1e-3, float("nan"), float("inf"), "0.1", True, [1e-3]])
@pytest.mark.parametrize(
    "use",
    [
        lambda v: entropy.multivar_knn([1.0, 2.0, 3.0], 1, resolution=v),
        entropy.set_resolution,
        lambda v: entropy.resolution(v).__enter__(),
    ],
    ids=["argument", "default", "block"],
)
def test_bad_resolution_is_named(value, use):
    before = entropy.get_resolution()
    with pytest.raises(ValueError, match=re.escape(f"resolution must be a finite number > 0, got {value!r}")):
        use(value)
    assert entropy.get_resolution() == before


@pytest.mark.parametrize("x", [[0.0, 1e300], [[1e300, 0.0], [0.0, 0.0]]])
def test_a_resolution_too_fine_for_the_values_is_refused(x):
    with pytest.raises(ValueError, match=r"too fine for values as large as 1e\+300.*k=1, n=2"):
        entropy.multivar_knn(x, 1)


# ------------------------------------------------------ the resolution --


@pytest.fixture
def default_kept():
    previous = entropy.get_resolution()
    yield
    entropy.set_resolution(previous)


def test_resolution_is_chosen_by_argument_then_block_then_default(default_kept):
    assert entropy.DEFAULT_RESOLUTION == entropy.get_resolution() == 1e-3
    zeros = np.zeros(50)
    assert entropy.set_resolution(0.5) == 1e-3
    assert entropy.multivar_knn(zeros) == pytest.approx(math.log(0.5))
    with entropy.resolution(0.25) as step:
        assert step == 0.25
        assert entropy.multivar_knn(zeros) == pytest.approx(math.log(0.25))
        assert entropy.multivar_knn(zeros, resolution=2) == pytest.approx(math.log(2))
        with entropy.resolution(np.float32(0.125)):
            assert entropy.get_resolution() == 0.125
        assert entropy.get_resolution() == 0.25
        assert entropy.set_resolution(0.75) == 0.5  # the default changes, the block holds
        assert entropy.get_resolution() == 0.25
    assert entropy.get_resolution() == 0.75


def test_a_block_is_left_cleanly_on_error_and_stays_in_its_thread():
    seen = []
    with pytest.raises(KeyError), entropy.resolution(0.5):
        worker = threading.Thread(target=lambda: seen.append(entropy.get_resolution()))
        worker.start()
        worker.join()
        raise KeyError("inside")
    assert seen == [entropy.DEFAULT_RESOLUTION]
    assert entropy.get_resolution() == entropy.DEFAULT_RESOLUTION


def test_one_fit_reads_the_baseline_and_every_dimension_at_the_block_resolution():
    import indexfuse

    rng = np.random.default_rng(3)
    data = pd.DataFrame(rng.normal(size=(300, 3)), columns=list("abc"))
    data["b"] = np.round(data["b"], 1)
    model = indexfuse.indexpca_diment({"A": ["a"], "B": ["b", "c"]})
    with entropy.resolution(0.01):
        model.fit(data)
    assert model.min_ent == pytest.approx(math.log(0.01))
    values = model.compute_dim_value(data, model.index_coef)
    information = {
        key: entropy.multivar_knn(v.values, k=10, resolution=0.01) - math.log(0.01)
        for key, v in values.items()
    }
    total = sum(information.values())
    assert model.dim_weight == pytest.approx({key: i / total for key, i in information.items()})


@pytest.mark.parametrize(
    "args, error, fragment",
    [
        ((np.zeros(5), 5, 1e-10), ValueError, "k=5"),
        ((np.zeros(5), 0, 1e-10), ValueError, "k=0"),
        ((np.zeros(5), 2**62, 1e-10), ValueError, "1 <= k < n"),
        ((np.zeros(1), 1, 1e-10), ValueError, "n=1"),
        ((np.zeros(0), 1, 1e-10), ValueError, "n=0"),
        ((np.zeros(5), 1, 0.0), ValueError, "resolution"),
        ((np.zeros(5), 1, float("nan")), ValueError, "resolution"),
        ((np.array([0.0, 2.0, 1.0]), 1, 1e-3), ValueError, "sorted"),
        ((np.array([0.0, 1e300]), 1, 1e-3), ValueError, "too fine"),
        ((np.zeros((5, 2)), 1, 1e-10), ValueError, "ndim=2"),
        ((np.zeros(5, dtype=np.float32), 1, 1e-10), ValueError, "format 'f'"),
        ((np.zeros(5, dtype=np.int64), 1, 1e-10), ValueError, "format"),
        ((np.zeros(10)[::2], 1, 1e-10), TypeError, "C-contiguous"),
        ((b"\x00" * 40, 1, 1e-10), ValueError, "format 'B'"),
        (([1.0, 2.0], 1, 1e-10), TypeError, "buffer protocol"),
        ((np.array([0.0] * 3000 + [np.nan]), 1, 1e-10), ValueError, "finite"),
        ((np.array([0.0, 1.0, np.inf]), 1, 1e-10), ValueError, "finite"),
    ],
)
def test_kernel_rejects_bad_calls(args, error, fragment):
    with pytest.raises(error, match=re.escape(fragment)):
        _knn.sum_log_kth(*args)


def test_kernel_huge_k_overflows_cleanly():
    with pytest.raises(OverflowError):
        _knn.sum_log_kth(np.zeros(5), 2**70, 1e-10)
