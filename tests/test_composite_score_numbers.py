"""compute_score on plain numbers: the results, their types and signs match Python's arithmetic.

The composite score of float leaves takes a shortcut for the additions to
the starting 0 and the multiplications by the direction 1; these tests pin
down that nothing observable changes: signed zeros, NaN, float subclasses,
integer weights and fresh result objects.
"""

from __future__ import annotations

import math
import sys
from pathlib import Path

import pytest

import indexfuse

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "benchmarks"))
from plain_methods import PlainMethods  # noqa: E402


class Half(float):
    """A float subclass whose products stay in the subclass."""

    def __mul__(self, other):
        return Half(float(self) * other)

    __rmul__ = __mul__


def same_number(a, b) -> bool:
    if type(a) is not type(b):
        return False
    if isinstance(a, float) and math.isnan(a):
        return math.isnan(b)
    return a == b and (not isinstance(a, float) or math.copysign(1, a) == math.copysign(1, b))


@pytest.fixture(scope="module")
def model():
    return indexfuse.indexpca_diment(None)


LEAVES = [
    (2.5, 0.5),
    (-0.0, 1.0),
    (0.0, -1.0),
    (-0.0, 1),
    (-3.0, 0.0),
    (float("nan"), 0.25),
    (float("inf"), 2),
    (1.5, True),
    (4, 2),
    (4, 0.5),
    (Half(3.0), 0.5),
    (True, 1.5),
]


@pytest.mark.parametrize("value, weight", LEAVES, ids=repr)
def test_number_weight_matches_python(model, value, weight):
    got = model.compute_score(value, weight)
    want = PlainMethods().compute_score(value, weight)
    assert same_number(got, want), (got, want)
    assert got is not value


KEYS = ["a", ("a", 1), ("a", -1), ("a", 1.0), ("a", 2, 3), "ab"]


@pytest.mark.parametrize("key", KEYS, ids=repr)
@pytest.mark.parametrize("value, weight", LEAVES, ids=repr)
def test_child_direction_matches_python(model, key, value, weight):
    values, weights = {key: value}, {key: weight}
    got = model.compute_score(values, weights)
    want = PlainMethods().compute_score(values, weights)
    assert same_number(got, want), (got, want)


@pytest.mark.parametrize(
    "children",
    [
        [("a", -0.0, 1.0), ("b", -0.0, 1.0)],
        [(("a", -1), 0.0, 1.0), ("b", -0.0, 1.0)],
        [("a", 1.0, 0.5), (("b", -1), 2.0, 0.25), ("c", None, None)],
        [("a", None, None), ("b", -0.0, 1.0)],
        [("a", 3, 1), ("b", 2.0, 1)],
        [("a", Half(2.0), 1.0), ("b", 1.0, 1.0)],
    ],
    ids=["two negative zeros", "negated zero", "mixed directions", "none first",
         "int then float", "subclass child"],
)
def test_sums_over_children_match_python(model, children):
    values = {key: value for key, value, _ in children}
    weights = {key: weight for key, _, weight in children}
    nested_values = {"top": values, ("neg", -1): values}
    nested_weights = {"top": weights, ("neg", -1): weights}
    for v, w in ((values, weights), (nested_values, nested_weights)):
        got = model.compute_score(v, w)
        want = PlainMethods().compute_score(v, w)
        assert same_number(got, want), (got, want)


SHARED = 0.75


class FixedLeaves(indexfuse.indexpca_diment):
    """Every leaf scores the same float object, which others refer to as well."""

    def compute_score(self, dim_value, dim_weight):
        if isinstance(dim_weight, dict):
            return super().compute_score(dim_value, dim_weight)
        return SHARED


@pytest.mark.parametrize("weight", [2.0, 2])
def test_a_child_score_object_returned_by_an_override_is_not_handed_back(weight):
    shared = SHARED
    fixed = FixedLeaves(None)
    for key in ("a", ("a", 1)):
        got = indexfuse.indexpca_diment.compute_score(fixed, {key: 1.0}, {key: weight})
        assert type(got) is float and got == shared and got is not shared


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("nested", [False, True], ids=["flat", "nested"])
def test_long_sums_match_python_exactly_and_leave_the_inputs_alone(model, seed, nested):
    import random

    rng = random.Random(seed)
    keys = [(f"k{i}", -1) if rng.random() < 0.2 else f"k{i}" for i in range(60)]
    values = {k: rng.uniform(-1e3, 1e3) for k in keys}
    weights = {k: rng.choice([rng.random(), 1, 0.0, -0.0]) for k in keys}
    if nested:
        values = {"a": values, ("b", -1): dict(values)}
        weights = {"a": weights, ("b", -1): dict(weights)}
    snapshot = repr((values, weights))
    got = model.compute_score(values, weights)
    want = PlainMethods().compute_score(values, weights)
    assert same_number(got, want)
    assert repr((values, weights)) == snapshot


def test_a_shared_child_score_is_never_changed_in_place():
    shared = SHARED
    fixed = FixedLeaves(None)
    got = indexfuse.indexpca_diment.compute_score(fixed, dict.fromkeys("abc", 1.0),
                                                  dict.fromkeys("abc", 1.0))
    assert got == 2.25 and shared == 0.75 and SHARED == 0.75 and got is not shared
