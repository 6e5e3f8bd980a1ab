"""The benchmark suite at its smallest size: it runs, and both sides agree.

Speed is not tested here (benchmarks/run.py measures it); these tests make
sure the comparisons still compare like with like, and that the agreement
checks would catch a real difference.
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

BENCH = Path(__file__).resolve().parent.parent / "benchmarks"
sys.path.insert(0, str(BENCH))

import bench_end_to_end  # noqa: E402
import bench_knn  # noqa: E402
import bench_memory  # noqa: E402
import bench_overhead  # noqa: E402
import indexfuse  # noqa: E402
import indexfuse_tools  # noqa: E402
import plain_methods  # noqa: E402
import run as bench_run  # noqa: E402
from bench_data import SIZES, make_frame, make_schema  # noqa: E402
from plain_pipeline import PlainCompositeIndex, constant_entropy, knn_entropy  # noqa: E402
from tessel.modelbench import entropy  # noqa: E402

pytestmark = pytest.mark.bench_smoke
SMALL = SIZES[0]


@pytest.fixture(scope="module")
def frame() -> pd.DataFrame:
    return make_frame(SMALL)


def test_end_to_end_agrees_at_smallest_size(frame):
    bench_end_to_end.check_agreement(frame, make_schema())


def test_synthetic_table_is_reproducible_and_has_the_schema_columns(frame):
    again = make_frame(SMALL)
    pd.testing.assert_frame_equal(frame, again)
    labels = []
    for leaf in [*list(make_schema().values())[:6], *make_schema()["d6"].values()]:
        labels += [e[0] if isinstance(e, tuple) else e for e in leaf]
    assert labels == list(frame.columns) and len(labels) == 40


@pytest.mark.parametrize(
    "perturb",
    [
        pytest.param(lambda w: {**w, "d0": w["d0"] * (1 + 1e-6)}, id="weight off by 1e-6"),
        pytest.param(lambda w: {k: w[k] for k in reversed(list(w))}, id="key order"),
        pytest.param(lambda w: {**w, "extra": 0.0}, id="extra key"),
        pytest.param(
            lambda w: {**w, "d6": {**w["d6"], "d6a": w["d6"]["d6a"] + 1e-7}}, id="nested weight"
        ),
    ],
)
def test_compare_catches_a_changed_weight_tree(frame, perturb):
    plain = PlainCompositeIndex(make_schema())
    plain.fit(frame)
    bench_end_to_end.compare("weights", plain.dim_weight, plain.dim_weight)
    with pytest.raises(AssertionError):
        bench_end_to_end.compare("weights", perturb(plain.dim_weight), plain.dim_weight)


@pytest.mark.parametrize(
    "change, caught",
    [
        (lambda s: s * (1 + 1e-10), False),
        (lambda s: s * (1 + 1e-6), True),
        (lambda s: s.where(s.index != 3), True),  # a missing value appears
        (lambda s: s.iloc[:-1], True),
    ],
    ids=["within 1e-8", "off by 1e-6", "new NaN", "shorter"],
)
def test_compare_holds_series_to_the_relative_bound(change, caught):
    base = pd.Series(np.linspace(-3.0, 5.0, 50))
    if caught:
        with pytest.raises(AssertionError):
            bench_end_to_end.compare("score", {"s": change(base)}, {"s": base})
    else:
        bench_end_to_end.compare("score", {"s": change(base)}, {"s": base})


@pytest.mark.parametrize("k", [1, 3, 10])
def test_plain_estimates_match_the_toolkit(k):
    x = np.random.default_rng(k).standard_normal(2000)
    assert knn_entropy(x, k) == pytest.approx(entropy.multivar_knn(x, k=k), rel=1e-12)
    n = 500
    assert constant_entropy(n, k) == pytest.approx(entropy.multivar_knn(np.zeros(n), k=k), rel=1e-12)


@pytest.mark.parametrize("decimals", [None, 2, 0], ids=["distinct", "ties", "heavy ties"])
def test_kernel_benchmark_runs_and_agrees(decimals):
    (row,) = bench_knn.run([SMALL], repeats=1, decimals=decimals)
    assert row["n"] == SMALL and min(row["tessel_s"], row["ckdtree_s"], row["sort_s"]) > 0


def test_kernel_script_prints_its_table(capsys):
    assert bench_knn.main(["--sizes", "2000", "--repeats", "1", "--k", "3"]) == 0
    assert "cKDTree/tessel" in capsys.readouterr().out


def test_overhead_benchmark_runs_and_agrees():
    result = bench_overhead.run(repeats=1, budget=0.0005)
    assert result["sides"][0] == "indexfuse" and result["sides"][-1] == "plain"
    assert {row["case"].split(",")[0] for row in result["rows"]} == set(bench_overhead.METHODS)
    for row in result["rows"]:
        assert all(row[f"{side}_us"] > 0 for side in result["sides"])
        assert bench_overhead.goal_ratio(row)[0] == result["sides"][1]


def test_overhead_compares_with_a_reference_model_when_there_is_one(tmp_path):
    # A stand-in reference: the plain methods under another module, so that
    # loading it and rebinding its own globals are both exercised.
    path = tmp_path / "reference_model.py"
    path.write_text((BENCH / "plain_methods.py").read_text())
    result = bench_overhead.run(repeats=1, budget=0.0002, reference_path=path)
    assert result["sides"] == ["indexfuse", "reference", "plain"]
    assert result["files"]["reference"] == str(path.resolve())
    assert all(bench_overhead.goal_ratio(row)[0] == "reference" for row in result["rows"])
    # The stand-in must not take the place of the tests' own reference model.
    assert getattr(sys.modules.get("reference_model"), "__file__", None) != str(path)


def test_overhead_reference_is_optional(tmp_path):
    missing = tmp_path / "reference_model.py"
    assert bench_overhead.load_reference(missing) is None
    assert [label for label, _, _ in bench_overhead.make_sides(reference_path=missing)] == [
        "indexfuse", "plain"]


@pytest.mark.parametrize("module", [indexfuse, plain_methods], ids=lambda m: m.__name__)
def test_rebound_globals_are_restored_even_after_an_error(module):
    before = dict(vars(module))
    with pytest.raises(ZeroDivisionError), bench_overhead.rebound(module):
        assert module.pandas is bench_overhead.FAKE_PANDAS
        assert module.entropy is bench_overhead.FAKE_ENTROPY
        1 / 0  # noqa: B018
    assert module.pandas is pd and module.entropy is entropy
    assert {k: v for k, v in vars(module).items() if k in before} == before


@pytest.mark.parametrize("method", bench_overhead.METHODS)
def test_plain_methods_agree_with_the_extension_on_real_objects(method, frame):
    """Without stand-ins: Series values and the real estimator."""
    model = indexfuse.indexpca_diment(make_schema())
    model.fit(frame)
    plain = plain_methods.PlainMethods(k=model.k, min_ent=model.min_ent)
    values = model.compute_dim_value(frame, model.index_coef)
    if method == "compute_dim_weight":
        got, want = model.compute_dim_weight(values), plain.compute_dim_weight(values)
        bench_end_to_end.compare("weights", got[0], want[0])
        bench_end_to_end.compare("information", got[1], want[1])
    elif method == "compute_score":
        got = model.compute_score(values, model.dim_weight)
        want = plain.compute_score(values, model.dim_weight)
        bench_end_to_end.compare("score", {"s": got}, {"s": want}, rtol=1e-14)
    else:
        for tree in (model.index_coef, model.index_coef["d0"], model.index_coef["d6"], {}, None):
            assert model.is_index_coef(tree) is plain.is_index_coef(tree)


@pytest.mark.parametrize("impl", ["indexfuse", "plain"])
def test_memory_child_reports_a_peak_at_least_the_starting_set(impl):
    (row,) = bench_memory.run(SMALL, impls=(impl,))
    assert row["impl"] == impl and row["n"] == SMALL
    assert row["peak_rss"] >= row["rss_before"] > row["frame_bytes"] > 0


def test_smoke_run_writes_its_figures(tmp_path, capsys):
    target = tmp_path / "smoke.json"
    assert bench_run.main(["--smoke", "--skip", "memory", "scale", "--json", str(target)]) == 0
    out = capsys.readouterr().out
    assert "All comparisons agreed" in out and "Goals" not in out
    figures = json.loads(target.read_text())
    assert figures["smoke"] and [r["n"] for r in figures["end_to_end"]] == [SMALL]


def test_robustness_benchmark_agrees_with_the_naive_loop_at_a_small_size():
    import bench_robustness

    figures = bench_robustness.run(rows=300, n=4, repeats=1, sample=3, quickstart=False)
    assert figures["runs"] == 4 * (len(figures["factors"]) + 2)
    assert figures["naive_seconds"] > 0 and figures["peak_bytes"] > 0


def test_editions_benchmark_agrees_and_checks_its_goals_at_a_small_size():
    import bench_editions

    figures = bench_editions.run(units=600, count=3, repeats=1)
    assert figures["rows"] == 1800 and figures["change_units"] == 600
    assert min(figures["pooled_seconds"], figures["fit_score_seconds"], figures["refit_seconds"]) > 0
    assert [met for _, _, met in bench_editions.goals({**figures, "pooled_ratio": 2.5})][0] is False


def test_editions_agreement_check_catches_a_different_model():
    import bench_editions

    table = bench_editions.long_table(300, 2)
    data = bench_editions.stacked(table)
    bench_editions.check_agreement(make_schema(), table, data)
    shifted = data.copy()
    shifted.iloc[:, 0] += np.linspace(0, 1, len(shifted))  # the plain side fits on other values
    with pytest.raises(AssertionError, match="pooled"):
        bench_editions.check_agreement(make_schema(), table, shifted)


def test_editions_are_long_tables_of_drifting_editions():
    import bench_editions

    table = bench_editions.long_table(50, 4)
    assert list(table.columns[:2]) == ["period", "unit"] and len(table) == 200
    assert table.groupby("period")["unit"].apply(list).map(len).tolist() == [50] * 4
    means = table.groupby("period")["g0_i0"].mean()
    assert means.is_monotonic_increasing  # each edition drifts up from the one before


def test_scale_benchmark_measures_every_step_at_its_smallest_size():
    import bench_scale

    rows = bench_scale.run([bench_scale.SMOKE_UNITS], bench_scale.SMOKE_N)
    by_step = {row["step"]: row for row in rows}
    assert list(by_step) == list(bench_scale.STEPS)
    assert all(row["units"] == bench_scale.SMOKE_UNITS for row in rows)
    assert by_step["robustness"]["runs"] == bench_scale.SMOKE_N * 8  # six default factors: n (d + 2)
    assert min(by_step[step]["peak_bytes"] for step in ("fit", "score", "robustness")) > 0
    assert by_step["explorer"]["page_bytes"] > 0
    if "interactive_seconds" in by_step["explorer"]:  # with a browser
        assert by_step["explorer"]["interactive_seconds"] > 0 and by_step["explorer"]["complaints"] == 0


def test_scale_table_is_skewed_and_correlated_like_a_deprivation_index():
    from scale_data import scale_frame, scale_schema

    data, schema = scale_frame(5000), scale_schema()
    assert data.shape == (5000, 17) and len(schema) == 4 and not data.isna().any().any()
    assert (data.skew() > 1).all()  # a long tail of the most deprived areas
    within = data[["income_support", "child_poverty", "unemployment"]].corr().to_numpy()
    across = data[["income_support", "disability", "overcrowding"]].corr().to_numpy()
    assert within[np.triu_indices(3, 1)].min() > 0.5 > across[np.triu_indices(3, 1)].max() > 0.1


def test_panel_benchmark_fills_as_plain_pandas_does_and_would_catch_a_difference():
    import bench_panel

    table, indicators = bench_panel.panel_with_gaps(200, 4)
    assert table[indicators].isna().to_numpy().mean() > bench_panel.MISSING
    bench_panel.check_agreement(make_schema(), table, indicators)
    with pytest.raises(AssertionError, match="carry"):
        bench_panel.check_agreement(make_schema(), table.assign(period=table["period"] * 3), indicators)


def test_weights_benchmark_agrees_with_plain_refits_at_a_small_size():
    import bench_weights

    figures = bench_weights.run(units=300, n=6, repeats=1, sample=2)
    assert figures["failed"] == 0 and figures["plain_seconds"] > 0 and figures["peak_bytes"] > 0
    assert bench_weights.goals(figures) == []  # goals are for the reference problem only
    slow = {**figures, "units": 33_000, "n": 1000, "review_seconds": 31}
    assert [met for _, _, met in bench_weights.goals(slow)] == [False]


def test_weights_agreement_check_catches_another_model():
    import bench_weights

    schema, data = make_schema(), make_frame(300)
    review = indexfuse_tools.weight_uncertainty(schema, data, n=3, scheduler=1, ent_k=5)  # not the plain side's k
    with pytest.raises(AssertionError, match="resample 0"):
        bench_weights.check_agreement(review, schema, data, [0])
