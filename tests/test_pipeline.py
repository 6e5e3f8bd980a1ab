"""fit and score: call sequences, the neighbour-count cap, failure and rollback,
and whole runs on the real toolkit."""

from __future__ import annotations

import gc
import subprocess
import sys
import textwrap
import types

import numpy as np
import pandas as pd
import pytest

import indexfuse

C = indexfuse.indexpca_diment
FITTED = ("k", "min_ent", "index_coef", "dim_weight")


def table(rows, columns="abcde", seed=3):
    rng = np.random.default_rng(seed)
    return pd.DataFrame(rng.normal(size=(rows, len(columns))), columns=list(columns))


@pytest.mark.parametrize(("rows", "k"), [(5, 4), (11, 10), (1, 0), (0, -1), (200, 10)])
def test_neighbour_count_is_capped_by_the_table(toolkit, rows, k):
    model = C(None)
    ten = model.k
    model.compute_index_coef = lambda data, schema: None
    model.compute_dim_value = lambda data, coef: None
    model.compute_dim_weight = lambda values: (1, 0)
    model.fit(table(rows))
    assert model.k == k
    if rows >= 11:
        assert model.k is ten
    (zeros,), kwargs = toolkit.log.of("multivar_knn")[0]
    assert kwargs == {"k": k}
    assert isinstance(zeros, np.ndarray) and zeros.dtype == float and zeros.shape == (rows,)
    assert not zeros.any()


@pytest.mark.parametrize("rows", [0, 1])
def test_tiny_tables_fail_clearly_in_the_estimator(rows):
    model = C({"A": ["a"]})
    with pytest.raises(ValueError, match="k") as info:
        model.fit(table(rows))
    assert str(rows) in str(info.value)
    assert model.k == 10 and not hasattr(model, "min_ent")


def test_cap_never_raises_k(toolkit):
    model = C({"A": ["a"]})
    model.fit(table(5))
    model.fit(table(100))
    assert model.k == 4
    assert [kw["k"] for _, kw in toolkit.log.of("multivar_knn")][-1] == 4


def test_fit_and_score_call_the_methods_through_self(toolkit):
    calls = []

    class Model(C):
        def compute_index_coef(self, data, schema):
            calls.append(("compute_index_coef", schema))
            return super().compute_index_coef(data, schema)

        def compute_dim_value(self, data, index_coef, *args, **kwargs):
            calls.append(("compute_dim_value", args, kwargs))
            return super().compute_dim_value(data, index_coef, *args, **kwargs)

        def compute_dim_weight(self, dim_value):
            calls.append(("compute_dim_weight",))
            return super().compute_dim_weight(dim_value)

        def compute_score(self, dim_value, dim_weight):
            calls.append(("compute_score", dim_weight))
            return super().compute_score(dim_value, dim_weight)

    schema = {"A": ["a", "b"], "B": ["c"]}
    model = Model(schema)
    data = table(20)
    assert model.fit(data) is None
    top = [c for c in calls if c[0] != "compute_dim_value" or c[1:] != ((), {"scale": None})]
    assert calls[0] == ("compute_index_coef", schema)
    assert ("compute_dim_value", (), {}) in calls  # fit passes no scale
    assert calls[-1] == ("compute_dim_weight",)
    assert top
    calls.clear()
    score, values = model.score(data)
    assert calls[0] == ("compute_dim_value", (), {"scale": None})
    assert ("compute_score", model.dim_weight) in calls
    assert isinstance(score, pd.Series) and list(values) == ["A", "B"]
    calls.clear()
    model.score(data, (0, 1))
    assert calls[0] == ("compute_dim_value", (), {"scale": (0, 1)})


def test_instance_attributes_replace_steps(toolkit):
    model = C({"A": ["a"]})
    model.fit(table(20))
    model.compute_score = lambda values, weights: ("scored", weights)
    model.dim_weight = "mine"
    assert model.score(table(5))[0] == ("scored", "mine")


def test_score_before_fit(toolkit):
    model = C({"A": ["a"]})
    with pytest.raises(AttributeError) as info:
        model.score(table(5))
    assert str(info.value) == "'indexpca_diment' object has no attribute 'index_coef'"
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'score'"):
        model.fit(table(20)).score(table(5))


def test_single_leaf_schema(toolkit):
    model = C(["a", ("b", -1)])
    data = table(30)
    model.fit(data)
    assert list(model.index_coef) == ["a", ("b", -1)] and model.dim_weight == 1
    score, values = model.score(data)
    pd.testing.assert_series_equal(score, values * 1)


@pytest.mark.parametrize(
    ("weights_result", "error", "message"),
    [
        (["w", "iv"], None, None),
        (("w", "iv", "x"), ValueError, "too many values to unpack (expected 2)"),
        (iter(["w"]), ValueError, "need more than 1 value to unpack"),
    ],
)
def test_weights_result_unpacking(toolkit, weights_result, error, message):
    model = C({"A": ["a"]})
    model.compute_dim_weight = lambda values: weights_result
    if error is None:
        model.fit(table(20))
        assert model.dim_weight == "w"
        return
    with pytest.raises(error) as info:
        model.fit(table(20))
    assert str(info.value) == message


def snapshot(model):
    return {name: vars(model)[name] for name in FITTED if name in vars(model)}


@pytest.mark.parametrize(
    "breaks",
    ["index_coef", "dim_value", "dim_weight", "unpack", "entropy"],
)
def test_failed_fit_restores_the_previous_fit(toolkit, breaks):
    model = C({"A": ["a", "b"], "B": ["c"]}, ent_k=50)
    model.fit(table(40))
    before = snapshot(model)
    abnormal_before = list(model.abnormal_index)

    boom = RuntimeError("step failed")

    def fail(*args, **kwargs):
        raise boom

    if breaks == "unpack":
        model.compute_dim_weight = lambda values: None
    elif breaks == "entropy":
        toolkit.entropy.estimate = fail
    else:
        setattr(model, f"compute_{breaks}", fail)
    with pytest.raises(Exception) as info:
        model.fit(table(10, seed=9))
    if breaks != "unpack":
        assert info.value is boom
    after = snapshot(model)
    assert after.keys() == before.keys()
    for name in FITTED:
        assert after[name] is before[name]
    assert model.abnormal_index == abnormal_before


def _reading_then_failing(owner):
    def compute_index_coef(data, schema):
        owner().min_ent, owner().k  # a class remembers what was looked up
        raise RuntimeError("step failed")

    return compute_index_coef


def _class_owner():
    class K:
        k = 10
        schema = ["a"]
        index_coef = "old"
        compute_index_coef = _reading_then_failing(lambda: K)

    return K


def _subclass_owner():
    # k and schema inherited: fit stores k on the subclass itself.
    class Sub(_class_owner()):
        compute_index_coef = _reading_then_failing(lambda: Sub)

    Sub.index_coef = "old"
    return Sub


def _module_owner():
    module = types.ModuleType("owner")
    module.k, module.schema, module.index_coef = 10, ["a"], "old"
    module.compute_index_coef = _reading_then_failing(lambda: module)
    return module


def _instance_owner():
    model = C(["a"])
    model.index_coef = "old"
    model.compute_index_coef = _reading_then_failing(lambda: model)
    return model


@pytest.mark.parametrize("make_owner", [_class_owner, _subclass_owner, _module_owner, _instance_owner])
def test_failed_fit_restores_any_owner(toolkit, make_owner):
    owner = make_owner()
    own_before = {name: vars(owner)[name] for name in FITTED if name in vars(owner)}
    with pytest.raises(RuntimeError, match="step failed"):
        C.fit(owner, table(6))  # lowers k to 5 and stores min_ent before failing
    gc.collect()
    clutter = [[i, str(i)] for i in range(100_000)]  # reuses freed memory
    for _ in range(2):  # the second reads come from a class's attribute cache
        assert {name: vars(owner)[name] for name in FITTED if name in vars(owner)} == own_before
        assert owner.k == 10 and owner.index_coef == "old"
        with pytest.raises(AttributeError):
            owner.min_ent  # noqa: B018
    del clutter


def test_failed_first_fit_leaves_no_fitted_attributes(toolkit):
    model = C(["zz"])  # names no column: the weights are None and do not unpack
    with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
        model.fit(table(20))
    assert snapshot(model) == {"k": 10}


def test_abnormal_index_is_not_rolled_back(toolkit):
    toolkit.pca_options = {"coef": lambda f: [-1.0], "abnormal": [-1.0]}
    model = C({"A": ["a"]})
    model.compute_dim_weight = lambda values: None
    with pytest.raises(TypeError):
        model.fit(table(20))
    assert model.abnormal_index == [{"a": -1.0}]


def test_data_without_length_changes_nothing(toolkit):
    model = C({"A": ["a"]})
    with pytest.raises(TypeError, match="object of type 'NoneType' has no len"):
        model.fit(None)
    assert model.k == 10 and toolkit.log.names() == ["PCA"]


# ------------------------------------------------------------- real toolkit --


@pytest.fixture
def survey():
    """Three latent traits behind eight noisy indicators (one reversed)."""
    rng = np.random.default_rng(42)
    n = 400
    wealth, health, safety = rng.normal(size=(3, n))
    noise = lambda scale=0.5: scale * rng.normal(size=n)  # noqa: E731
    return pd.DataFrame(
        {
            "income": wealth + noise(),
            "assets": wealth + noise(0.7),
            "life": health + noise(),
            "infant_deaths": -health + noise(),
            "doctors": health + noise(0.8),
            "theft": -safety + noise(),
            "assault": -safety + noise(0.6),
            "police": safety + noise(1.0),
        }
    )


SCHEMA = {
    "wealth": ["income", "assets"],
    "health": ["life", ("infant_deaths", -1), "doctors"],
    ("danger", -1): {"crime": ["theft", "assault"], ("policing", -1): ["police"]},
}


def test_end_to_end_on_the_toolkit(survey):
    model = C(SCHEMA, ent_k=5)
    model.fit(survey)

    assert list(model.dim_weight) == list(SCHEMA)
    nested = model.dim_weight[("danger", -1)]
    top = [model.dim_weight["wealth"], model.dim_weight["health"], sum(nested.values())]
    assert sum(top) == pytest.approx(1.0)
    assert all(w > 0 for w in top)
    assert model.abnormal_index == []
    for table_ in (model.index_coef["wealth"], model.index_coef["health"]):
        assert sum(abs(r["coef"]) for r in table_.values()) == pytest.approx(1.0)

    score, values = model.score(survey)
    assert isinstance(score, pd.Series) and score.index.equals(survey.index)
    assert list(values) == list(SCHEMA)
    assert list(values[("danger", -1)]) == ["crime", ("policing", -1)]
    # the composite rises with wealth and health
    assert np.corrcoef(score, survey["income"])[0, 1] > 0.2
    assert np.corrcoef(score, survey["life"])[0, 1] > 0.2

    _, scaled = model.score(survey, scale=(0, 100))
    for value in (scaled["wealth"], scaled["health"], *scaled[("danger", -1)].values()):
        assert value.min() == pytest.approx(0) and value.max() == pytest.approx(100)


def test_wrong_direction_is_reported_abnormal(survey):
    model = C({"health": ["life", "infant_deaths", "doctors"], "wealth": ["income", "assets"]})
    model.fit(survey)
    assert [list(r) for r in model.abnormal_index] == [["infant_deaths"]]


def test_new_rows_score_with_the_fitted_model(survey):
    model = C(SCHEMA)
    model.fit(survey.iloc[:300])
    score, _ = model.score(survey.iloc[300:])
    assert score.index.equals(survey.index[300:]) and score.notna().all()


def test_fit_and_score_run_clean_under_warnings_as_errors():
    code = """
        import numpy as np, pandas as pd, indexfuse
        rng = np.random.default_rng(5)
        data = pd.DataFrame(rng.normal(size=(60, 4)), columns=list("abcd"))
        model = indexfuse.indexpca_diment({"A": ["a", ("b", -1)], ("B", -1): {"b1": ["c"], "b2": ["d"]}})
        model.fit(data)
        holes = data.copy()
        holes.loc[0, ["a", "b"]] = np.nan  # a row whose dimension value is missing
        for scale in (None, (0, 100)):
            model.score(holes, scale)
        print("clean")
    """
    result = subprocess.run([sys.executable, "-W", "error", "-c", textwrap.dedent(code)],
                            capture_output=True, text=True, timeout=120)
    assert result.stdout.strip() == "clean", result.stderr
