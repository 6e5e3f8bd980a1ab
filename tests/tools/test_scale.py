"""The presentation scale: one "score" on 0..100 in results, the report and the command line,
fixed on the units scored and stated wherever scores are shown."""

from __future__ import annotations

import io
import re

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm

import indexfuse
import indexfuse_tools
from indexfuse_tools._cli import main
from indexfuse_tools._core import check_scale, presentation
from indexfuse_tools._report.sections import OWN_SCALE

SCHEMA = {
    "safety": [("violent", -1), ("murder", -1)],
    "opportunity": {"education": ["hs_grad"], ("hardship", -1): ["poverty", "single"]},
}
TOML = 'safety = ["violent:-1", "murder:-1"]\n[opportunity]\neducation = ["hs_grad"]\n"hardship:-1" = ["poverty", "single"]\n'
# The sections of the report that show the units' scores.
SCORED_SECTIONS = ("glance", "ranking", "scores")
BAD_SCALES = ["0-10", "0..100", 100, (0, 100), ""]


@pytest.fixture(scope="module")
def statecrime():
    data = sm.datasets.statecrime.load_pandas().data
    model = indexfuse.indexpca_diment(SCHEMA)
    model.fit(data)
    return model, data


def _refusal(scale):
    with pytest.raises(ValueError) as caught:
        check_scale(scale)
    return str(caught.value)


# ------------------------------------------------------------- results --


def test_results_add_the_score_after_the_composite_and_keep_the_composite(statecrime):
    model, data = statecrime
    plain, scored = indexfuse_tools.results(model, data), indexfuse_tools.results(model, data, scale="0-100")
    assert list(scored.columns) == ["composite", "score", *plain.columns[1:]]
    pd.testing.assert_frame_equal(scored.drop(columns="score"), plain)
    fixed_on = presentation(plain["composite"], "0-100")
    pd.testing.assert_series_equal(scored["score"], fixed_on.apply(plain["composite"]), check_names=False)
    assert (scored["score"].min(), scored["score"].max()) == (0.0, 100.0)
    assert scored.attrs["scale"] == fixed_on.describe()
    assert "scale" not in plain.attrs and "score" not in plain.columns


def test_the_scale_is_fixed_on_the_rows_scored(statecrime):
    model, data = statecrime
    # A state without a composite takes no part in fixing the scale, and has no score.
    holes = data.copy()
    lowest = indexfuse_tools.results(model, data)["composite"].idxmin()
    holes.loc[lowest, ["violent", "murder"]] = np.nan
    scored = indexfuse_tools.results(model, holes, scale="0-100", min_present=0.5)
    assert np.isnan(scored.loc[lowest, "score"])
    assert scored["score"].min() == 0.0 and scored["score"].max() == 100.0
    assert "the 50 units scored" in scored.attrs["scale"]
    # A subset is scored on its own scale: the scale is no property of the model.
    few = indexfuse_tools.results(model, data.iloc[:5], scale="0-100")
    assert sorted(few["score"])[::4] == [0.0, 100.0]


def test_with_a_preparation_the_dropped_rows_have_no_score():
    raw = sm.datasets.statecrime.load_pandas().data.copy()
    raw.loc[["Texas", "Idaho"], ["violent", "murder"]] = np.nan
    prepared, _, preparation = indexfuse_tools.prepare(SCHEMA, raw, min_present=0.5)
    model = indexfuse.indexpca_diment(SCHEMA)
    model.fit(prepared)
    scored = indexfuse_tools.results(model, raw, preparation=preparation, scale="0-100")
    assert scored.loc[["Texas", "Idaho"], "score"].isna().all()
    kept = scored["composite"].dropna()
    pd.testing.assert_series_equal(
        scored["score"].dropna(), presentation(kept, "0-100").apply(kept), check_names=False
    )
    assert list(scored.columns[:3]) == ["composite", "score", "rank"]


@pytest.mark.parametrize("scale", BAD_SCALES)
def test_results_refuse_a_scale_they_do_not_know(statecrime, scale):
    model, data = statecrime
    with pytest.raises(ValueError, match=re.escape(_refusal(scale))):
        indexfuse_tools.results(model, data, scale=scale)


def test_plot_ranking_draws_the_column_asked_for(statecrime):
    pytest.importorskip("matplotlib")
    model, data = statecrime
    scored = indexfuse_tools.results(model, data, scale="0-100")
    figure = indexfuse_tools.plot_ranking(scored, n=None, column="score")
    dots = figure.axes[0].collections[-1].get_offsets()[:, 0]
    assert sorted(dots) == pytest.approx(sorted(scored["score"]))
    assert figure.axes[0].get_xlabel() == "score"
    with pytest.raises(ValueError, match="no column 'points'"):
        indexfuse_tools.plot_ranking(scored, column="points")


# -------------------------------------------------------------- report --


def _section(page, anchor):
    return re.search(rf'<section id="{anchor}">(.*?)</section>', page, re.S).group(1)


def _scale_notes(section):
    return re.findall(r'<p class="note scale">(.*?)</p>', section, re.S)


@pytest.fixture(scope="module")
def pages(statecrime, tmp_path_factory):
    model, data = statecrime
    folder = tmp_path_factory.mktemp("scale")
    return {
        scale: indexfuse_tools.report(model, data, folder / f"{scale}.html", scale=scale).read_text(encoding="utf-8")
        for scale in (None, "0-100")
    }


@pytest.mark.parametrize("anchor", SCORED_SECTIONS)
def test_the_report_states_the_scale_wherever_it_shows_scores(statecrime, pages, anchor):
    model, data = statecrime
    stated = indexfuse_tools.results(model, data, scale="0-100").attrs["scale"]
    assert _scale_notes(_section(pages["0-100"], anchor)) == [stated.replace("'", "&#39;")]
    assert _scale_notes(_section(pages[None], anchor)) == [OWN_SCALE.replace("'", "&#39;")]


def test_the_report_shows_the_scores_that_results_gives(statecrime, pages):
    model, data = statecrime
    scored = indexfuse_tools.results(model, data, scale="0-100").sort_values("rank")
    section = _section(pages["0-100"], "scores")
    headers = re.findall(r"<th[^>]*>(.*?)</th>", section)
    assert "score (0–100)" in headers and "composite" not in headers
    column = headers.index("score (0–100)")
    rows = [re.findall(r"<td[^>]*>(.*?)</td>", row) for row in re.findall(r"<tr>(.*?)</tr>", section.split("<tbody>")[1])]
    shown = [float(row[column]) for row in rows]
    assert shown == pytest.approx(scored["score"].to_list(), abs=0.05)
    # At a glance names the extremes by their score.
    best, worst = scored.index[0], scored.index[-1]
    glance = _section(pages["0-100"], "glance")
    assert f"{best} (100.0)" in glance and f"{worst} (0.0)" in glance
    assert "(0–100)" not in _section(pages[None], "glance")


def test_the_ranking_figures_are_drawn_on_the_score(statecrime, monkeypatch, tmp_path):
    pytest.importorskip("matplotlib")
    from indexfuse_tools._report import sections

    model, data = statecrime
    drawn = {}
    for name in ("plot_ranking", "plot_distribution"):
        original = getattr(sections, name)

        def record(scores, *args, _name=name, _original=original, **kwargs):
            drawn[_name] = kwargs
            return _original(scores, *args, **kwargs)

        monkeypatch.setattr(sections, name, record)
    indexfuse_tools.report(model, data, tmp_path / "page.html", scale="0-100")
    assert drawn["plot_ranking"]["column"] == drawn["plot_distribution"]["column"] == "score"


@pytest.mark.parametrize("scale", BAD_SCALES)
def test_the_report_refuses_a_scale_it_does_not_know_before_it_draws(statecrime, tmp_path, scale):
    model, data = statecrime
    with pytest.raises(ValueError, match=re.escape(_refusal(scale))):
        indexfuse_tools.report(model, data, tmp_path / "page.html", scale=scale)
    assert not (tmp_path / "page.html").exists()


# -------------------------------------------------------- command line --


@pytest.fixture()
def files(tmp_path, monkeypatch):
    sm.datasets.statecrime.load_pandas().data.to_csv(tmp_path / "statecrime.csv")
    (tmp_path / "schema.toml").write_text(TOML)
    monkeypatch.chdir(tmp_path)
    return tmp_path


def test_score_scale_adds_the_score_to_the_csv(statecrime, files, capsys):
    model, data = statecrime
    assert main(["score", "statecrime.csv", "--schema", "schema.toml", "--scale", "0-100"]) == 0
    written = pd.read_csv(io.StringIO(capsys.readouterr().out), index_col=0)
    assert list(written.columns[:3]) == ["composite", "score", "rank"]
    expected = indexfuse_tools.results(model, data, scale="0-100")["score"]
    np.testing.assert_allclose(written["score"], expected, rtol=1e-12)
    assert main(["score", "statecrime.csv", "--schema", "schema.toml"]) == 0
    assert "score" not in pd.read_csv(io.StringIO(capsys.readouterr().out), index_col=0).columns


def test_report_scale_shows_the_score(files):
    assert main(["report", "statecrime.csv", "--schema", "schema.toml", "--scale", "0-100", "-o", "page.html"]) == 0
    page = (files / "page.html").read_text(encoding="utf-8")
    assert all(_scale_notes(_section(page, anchor))[0].startswith("Composite on a 0-100 scale") for anchor in SCORED_SECTIONS)


def test_explore_scale_shows_the_score_beside_the_composite(statecrime, files):
    from _explorer_page import carried

    model, data = statecrime
    assert main(["explore", "statecrime.csv", "--schema", "schema.toml", "--scale", "0-100", "-o", "page.html"]) == 0
    page, _ = carried(files / "page.html")
    expected = presentation(indexfuse_tools.results(model, data)["composite"], "0-100")
    assert (page["scale"]["low"], page["scale"]["high"]) == (expected.low, expected.high)
    assert main(["explore", "statecrime.csv", "--schema", "schema.toml", "-o", "plain.html"]) == 0
    assert carried(files / "plain.html")[0].get("scale") is None


@pytest.mark.parametrize("command", ["score", "report", "explore"])
def test_the_command_line_refuses_an_unknown_scale_with_its_reason(files, capsys, command):
    with pytest.raises(SystemExit) as stopped:
        main([command, "statecrime.csv", "--schema", "schema.toml", "--scale", "0-10", "-o", "out.html"])
    assert stopped.value.code == 2
    assert _refusal("0-10") in capsys.readouterr().err
    assert not (files / "out.html").exists()
