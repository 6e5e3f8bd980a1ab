"""Units across the tools: one label per unit, and rank intervals made of ranks."""

from __future__ import annotations

import re
import warnings

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm

import indexfuse
import indexfuse_tools
from indexfuse_tools._report.pieces import rank_text
from indexfuse_tools._robustness.result import rank_table

matplotlib = pytest.importorskip("matplotlib")

SCHEMA = {"size": ["value", "capital"], "growth": ["invest"]}


@pytest.fixture(scope="module")
def firms():
    """A real panel labelled by firm alone: each of its 11 firms repeats over 20 years."""
    data = sm.datasets.grunfeld.load_pandas().data.set_index("firm")[["invest", "value", "capital"]]
    model = indexfuse.indexpca_diment(SCHEMA)
    model.fit(data)
    return model, data


def _quiet_analysis(data):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", indexfuse_tools.RobustnessWarning)  # n is small on purpose
        return indexfuse_tools.robustness(SCHEMA, data, n=16, progress=False, scheduler=1)


_TOOLS = {
    "results": lambda model, data, path: indexfuse_tools.results(model, data),
    "audit": lambda model, data, path: indexfuse_tools.audit(model, data, external=data["invest"].iloc[::20]),
    "robustness": lambda model, data, path: _quiet_analysis(data),
    "report": lambda model, data, path: indexfuse_tools.report(model, data, path),
}


@pytest.mark.parametrize("tool", _TOOLS)
def test_every_tool_that_takes_units_refuses_repeated_labels_and_says_how_to_fix_them(firms, tool, tmp_path):
    model, data = firms
    with pytest.raises(ValueError, match=r"repeats 11 label\(s\): 'General Motors', 'US Steel', 'General Electric'") as info:
        _TOOLS[tool](model, data, tmp_path / "report.html")
    assert f"{tool}(" in str(info.value)
    fix = re.search(r"\((data\.index = .*)\)$", str(info.value))
    assert fix is not None
    fixed = {"data": data.copy()}
    exec(fix.group(1), fixed)  # the message's own fix makes the tool run
    _TOOLS[tool](model, fixed["data"], tmp_path / "report.html")


def test_an_audit_without_outside_measures_matches_no_unit_and_takes_repeated_labels(firms):
    model, data = firms
    assert indexfuse_tools.audit(model, data).rows == len(data)


def test_a_report_refuses_an_analysis_whose_units_repeat_a_label(firms, tmp_path):
    model, data = firms
    data = data.set_index(data.index + " " + np.arange(len(data)).astype(str))
    analysis = _quiet_analysis(data)
    # As an analysis saved before repeated labels were refused reads back.
    analysis.ranks.index = pd.Index(["Chrysler"] * len(data))
    with pytest.raises(ValueError, match=r"report\(robustness=\.\.\.\).*the robustness analysis repeats 1"):
        indexfuse_tools.report(model, data, tmp_path / "report.html", robustness=analysis)


def _run_ranks(runs, units, seed):
    """Ranks with ties averaged: whole numbers and halves, as the runs give them."""
    rng = np.random.default_rng(seed)
    scores = rng.integers(0, units // 2 + 1, size=(runs, units))
    return pd.DataFrame(scores.T).rank(ascending=False, method="average").to_numpy().T.astype(np.float32)


@pytest.mark.parametrize("runs, units", [(20, 7), (1, 3), (37, 2100)])  # 2100: more units than a block
def test_rank_intervals_are_ranks_a_run_gave_by_the_inverted_cdf_rule(runs, units):
    run_ranks = _run_ranks(runs, units, seed=runs)
    table = rank_table(run_ranks, np.arange(1.0, units + 1), np.zeros(units), pd.RangeIndex(units))
    for percentile, column in ((0.05, "p5"), (0.95, "p95")):
        bound = table[column].to_numpy()
        assert (run_ranks == bound).any(axis=0).all()
        # The best rank reached or beaten in at least that share of the runs.
        assert ((run_ranks <= bound).mean(axis=0) >= percentile - 1e-12).all()
        assert ((run_ranks < bound).mean(axis=0) < percentile).all()
    np.testing.assert_array_equal(table["median"], np.median(run_ranks, axis=0))


def test_rank_intervals_do_not_interpolate_between_runs():
    table = rank_table(np.arange(1.0, 21.0)[:, None], np.array([10.0]), np.array([0.0]), pd.RangeIndex(1))
    assert table.loc[0, ["p5", "median", "p95"]].tolist() == [1.0, 10.5, 19.0]  # linear: 1.95 and 19.05


@pytest.mark.parametrize(
    "rank, text",
    [(1.0, "1"), (12.5, "12.5"), (123_456.5, "123,456.5"), (1_000_000.0, "1,000,000"), (129.35, "129.35")],
)
def test_a_rank_is_written_whole_or_with_its_half(rank, text):
    assert rank_text(rank) == text


def test_the_report_writes_rank_intervals_as_ranks(firms, tmp_path):
    model, data = firms
    data = data.set_index(data.index + " " + (1935 + data.groupby(level=0).cumcount()).astype(str))
    model.fit(data)
    page = indexfuse_tools.report(model, data, tmp_path / "report.html", robustness=_quiet_analysis(data))
    intervals = re.findall(r">([\d,.]+)–([\d,.]+)<", page.read_text(encoding="utf-8"))
    assert len(intervals) == 100
    assert all(re.fullmatch(r"[\d,]+(\.5)?", end) for interval in intervals for end in interval)
