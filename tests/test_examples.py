"""The examples run, the README and the manual show them as they are, and what they claim holds."""

from __future__ import annotations

import re
import runpy
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import indexfuse
import indexfuse_tools

ROOT = Path(__file__).resolve().parents[1]
README = (ROOT / "README.md").read_text()
EXAMPLES = ROOT / "examples"
# The README and the manual's Markdown pages, by path: the sections that moved
# from the README into the manual keep their ties to the files.
PAGES = {
    path.relative_to(ROOT).as_posix(): path.read_text()
    for path in [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]
    if "_build" not in path.parts
}


def _marked(kind: str) -> list[tuple[str, str, str]]:
    """``(page, path, body)`` of every code block preceded by ``<!-- kind: path -->``."""
    pattern = rf"<!-- {kind}: (\S+) -->\n```\w*\n(.*?)```"
    return [(page, path, body) for page, text in PAGES.items() for path, body in re.findall(pattern, text, flags=re.S)]


def _marked_blocks(kind: str) -> dict[str, str]:
    """Code blocks preceded by ``<!-- kind: path -->`` in any page, by path."""
    return {path: body for _, path, body in _marked(kind)}


def _page_holding(text: str) -> str:
    pages = [body for body in PAGES.values() if text in body]
    assert len(pages) == 1, f"{text!r} is on {len(pages)} pages"
    return pages[0]


def _run(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, *args], cwd=ROOT, capture_output=True, text=True, timeout=300
    )


@pytest.fixture(scope="module")
def quickstart_run():
    return _run("examples/quickstart.py")


@pytest.fixture(scope="module")
def quickstart():
    return runpy.run_path(str(EXAMPLES / "quickstart.py"), run_name="quickstart")


# ------------------------------------------------------------ the README --


def test_readme_starts_with_the_two_setup_commands():
    first_block = re.search(r"```sh\n(.*?)```", README, flags=re.S).group(1)
    commands = [line.split("#")[0].strip() for line in first_block.splitlines()]
    assert commands == ["make demo", "make test"]
    assert README.index("make demo") < README.index("## Quickstart")


@pytest.mark.parametrize(
    "path",
    [
        "examples/quickstart.py",
        "examples/directions.py",
        "examples/persistence.py",
        "examples/preparing.py",
        "examples/robustness.py",
        "examples/audit.py",
    ],
)
def test_readme_code_is_the_example_file(path):
    shown = [(page, body) for page, marked, body in _marked("example") if marked == path]
    assert shown, f"no page has a block marked as {path}"
    for page, body in shown:
        assert body == (ROOT / path).read_text(), f"{page} shows an old {path}"


def test_readme_excerpts_are_taken_from_the_files():
    excerpts = _marked("excerpt")
    assert excerpts, "no excerpt found"
    for page, path, body in excerpts:
        assert body in (ROOT / path).read_text(), f"{page}: {path}"


@pytest.mark.parametrize("page, path", [(page, path) for page, path, _ in _marked("example")])
def test_every_example_block_is_its_file(page, path):
    body = next(body for shown_on, marked, body in _marked("example") if (shown_on, marked) == (page, path))
    assert body == (ROOT / path).read_text(), f"{page} shows an old {path}"


def test_each_output_is_shown_once():
    outputs = [path for _, path, _ in _marked("output")]
    assert len(outputs) == len(set(outputs)), outputs  # else a test would compare only one of them


def test_readme_output_is_what_the_quickstart_prints(quickstart_run):
    assert _marked_blocks("output")["examples/quickstart.py"] == quickstart_run.stdout


def test_readme_output_is_what_the_audit_example_prints():
    result = _run("examples/audit.py")
    assert result.returncode == 0 and result.stderr == "", result.stderr
    assert _marked_blocks("output")["examples/audit.py"] == result.stdout


def test_every_example_is_shown_or_run_by_a_test():
    shown = set(_marked_blocks("example")) | set(_marked_blocks("excerpt"))
    # run by test_demo_writes_the_report, by tests/tools/test_explorer.py, and shown on a
    # guide page by test_editions_page_*
    run_elsewhere = {"examples/demo.py", "examples/explorer.py", "examples/editions.py"}
    files = {f"examples/{p.name}" for p in EXAMPLES.glob("*.py")}
    assert files <= shown | run_elsewhere


# ---------------------------------------------------------- the examples --


def test_quickstart_output_is_clean(quickstart_run):
    assert quickstart_run.returncode == 0, quickstart_run.stderr
    assert quickstart_run.stderr == ""  # the pandas 4 notice is filtered, nothing else appears


def test_quickstart_printed_weights_add_up_to_one(quickstart_run):
    section = quickstart_run.stdout.split("Dimension weights:\n")[1].split("\n\n")[0]
    weights = [float(line.rsplit(maxsplit=1)[1]) for line in section.splitlines()[1:]]
    assert len(weights) == 3
    assert sum(weights) == pytest.approx(1, abs=0.0015)  # three values rounded to 0.001


def test_quickstart_model(quickstart):
    model = quickstart["model"]
    assert indexfuse_tools.weights(model).sum() == pytest.approx(1, abs=1e-12)
    assert set(model.dim_weight) == {"safety", "opportunity"}
    assert set(model.dim_weight["opportunity"]) == {"education", ("hardship", -1)}
    table = indexfuse_tools.coefficients(model)
    assert table["index"].tolist() == ["violent", "murder", "hs_grad", "poverty", "single"]
    assert table.groupby("dimension", sort=False)["coef"].apply(lambda c: c.abs().sum()).tolist() == (
        pytest.approx([1, 1, 1])
    )
    assert model.abnormal_index == []


def test_readme_resolution_table_is_what_the_quickstart_gives(quickstart):
    from tessel.modelbench import entropy

    heading = "The quickstart's weights at three resolutions:"
    section = _page_holding(heading).split(heading)[1].split("\n\n")[1]
    rows = [line.strip("|").split("|") for line in section.splitlines()[2:]]
    assert len(rows) == 3
    for first, *shown in rows:
        model = indexfuse.indexpca_diment(quickstart["schema"])
        with entropy.resolution(float(first.split()[0])):
            model.fit(quickstart["data"])
        assert [float(cell) for cell in shown] == indexfuse_tools.weights(model).round(3).tolist()


def test_quickstart_checks_first_and_ranks_the_states(quickstart_run, quickstart):
    assert quickstart_run.stdout.startswith("Problems: []\n")
    table = quickstart["table"]
    assert len(table) == 51 and table.index.name == "state"
    assert table["score"].min() == 0 and table["score"].max() == 100
    assert table.loc[table["score"].idxmax(), "rank"] == 1
    # The published score and the report's agree: the table states its scale as the report does.
    assert table.attrs["scale"] in quickstart_run.stdout
    # Lower crime and higher graduation rank higher: the directions took effect.
    assert table["composite"].corr(quickstart["data"]["murder"]) < 0
    assert table["composite"].corr(quickstart["data"]["hs_grad"]) > 0


def test_directions_example_flags_the_reversed_index():
    result = _run("examples/directions.py")
    assert result.returncode == 0 and result.stderr == "", result.stderr
    draft, fixed = result.stdout.split("\nfixed:")
    assert re.search(r"draft: \[\{'hs_grad': -0\.\d+\}\]", draft)
    assert fixed.startswith(" []")


def test_persistence_example_scores_identically():
    result = _run("examples/persistence.py")
    assert result.returncode == 0 and result.stderr == "", result.stderr
    assert '"format": "indexfuse-model"' in result.stdout
    assert "JSON: identical scores: True" in result.stdout
    assert "pickle: identical scores: True" in result.stdout


def test_robustness_example_prints_the_readme_output_and_draws_the_figure(tmp_path):
    target = tmp_path / "ranks.png"
    result = _run("examples/robustness.py", str(target))
    assert result.returncode == 0 and result.stderr == "", result.stderr
    shown = result.stdout.replace(str(target), "examples/figures/robustness_ranks.png")
    assert shown == _marked_blocks("output")["examples/robustness.py"]
    import matplotlib.image

    height, width, _ = matplotlib.image.imread(target).shape
    assert height > width > 800  # one line per state
    page = next(page for page, text in PAGES.items() if "robustness_ranks.png)" in text)
    link = re.search(r"\]\((\S*robustness_ranks\.png)\)", PAGES[page]).group(1)
    assert (ROOT / page).parent.joinpath(link).resolve() == ROOT / "examples/figures/robustness_ranks.png"
    assert (ROOT / "examples/figures/robustness_ranks.png").exists()


def test_weights_example_prints_the_guide_output_and_draws_the_figure(tmp_path):
    target = tmp_path / "weights.png"
    result = _run("examples/weights.py", str(target))
    assert result.returncode == 0 and result.stderr == "", result.stderr
    shown = result.stdout.replace(str(target), "examples/figures/weights_intervals.png")
    assert shown == _marked_blocks("output")["examples/weights.py"]
    assert target.exists() and (ROOT / "examples/figures/weights_intervals.png").exists()


def test_preparing_example_leaves_nothing_for_check():
    result = _run("examples/preparing.py")
    assert result.returncode == 0 and result.stderr == "", result.stderr
    assert "20 rows dropped" in result.stdout
    assert "Problems after preparing: []" in result.stdout
    assert "through the saved preparation gives the same composites: True" in result.stdout


def test_panel_example_prints_what_the_guide_shows():
    result = _run("examples/panel.py")
    assert result.returncode == 0 and result.stderr == "", result.stderr
    assert _page_blocks("preparing.md", "output")["examples/panel.py"] == result.stdout


def test_demo_writes_the_report(tmp_path):
    target = tmp_path / "wellbeing.html"
    result = _run("examples/demo.py", str(target))
    assert result.returncode == 0 and result.stderr == "", result.stderr
    assert result.stdout.endswith(f"\nReport written to {target}\n")
    text = target.read_text()
    assert text.startswith("<!DOCTYPE html>") and "<title>Wellbeing in the US states, 2009</title>" in text
    assert text.count('<img src="data:image/png;base64,') == 8  # with the robustness analysis' three


def _page_blocks(page: str, kind: str) -> dict[str, str]:
    """Code blocks of a guide page preceded by ``<!-- kind: path -->``, by path."""
    text = (ROOT / "docs" / "guide" / page).read_text()
    return {path: body for path, body in re.findall(rf"<!-- {kind}: (\S+) -->\n```\w*\n(.*?)```", text, flags=re.S)}


def test_editions_page_shows_the_example_and_what_it_prints(tmp_path):
    assert _page_blocks("editions.md", "example")["examples/editions.py"] == (EXAMPLES / "editions.py").read_text()
    result = _run("examples/editions.py", str(tmp_path))
    assert result.returncode == 0 and result.stderr == "", result.stderr
    shown = result.stdout.replace(str(tmp_path), "examples/figures")
    assert shown == _page_blocks("editions.md", "output")["examples/editions.py"]
    for name in ("editions_georgia.png", "editions_ranks.png"):
        assert (tmp_path / name).stat().st_size > 10_000 and (EXAMPLES / "figures" / name).exists()
        assert f"](../../examples/figures/{name})" in (ROOT / "docs" / "guide" / "editions.md").read_text()


@pytest.mark.slow  # two publications with their reports and maps: about 20 s; make docs runs it too
def test_publishing_page_shows_the_example_and_what_it_prints(tmp_path):
    assert _page_blocks("publishing.md", "example")["examples/publishing.py"] == (EXAMPLES / "publishing.py").read_text()
    result = _run("examples/publishing.py", str(tmp_path))
    assert result.returncode == 0 and result.stderr == "", result.stderr
    assert result.stdout == _page_blocks("publishing.md", "output")["examples/publishing.py"]
    assert "scores are the Python index's: True" in result.stdout and "intervals too: True" in result.stdout
    assert "Every earlier composite, score and rank unchanged: True" in result.stdout


def test_mypy_passes_on_the_examples_and_the_companion_package():
    result = _run("-m", "mypy")  # files and strictness come from pyproject.toml
    assert result.returncode == 0, result.stdout + result.stderr


# ----------------------------------------------- behaviour the pages state --


@pytest.fixture
def table():
    rng = np.random.default_rng(11)
    base = rng.normal(size=(40, 1))
    return pd.DataFrame(base + rng.normal(size=(40, 4)), columns=list("abcd"))


def test_failed_fit_restores_the_fitted_attributes(table):
    model = indexfuse.indexpca_diment({"A": ["a", "b"], "B": ["c"]})
    model.fit(table)
    before = {name: getattr(model, name) for name in ("k", "min_ent", "index_coef", "dim_weight")}
    abnormal_before = len(model.abnormal_index)
    model.schema["B"] = {"deep": {"deeper": ["c"]}}  # deeper than one level: fails late
    with pytest.raises(TypeError):
        model.fit(table.iloc[:6])  # would lower k to 5 before failing
    for name, value in before.items():
        assert getattr(model, name) is value, name
    assert model.k == 10
    assert len(model.abnormal_index) >= abnormal_before


def test_failed_first_fit_leaves_no_fitted_attributes(table):
    model = indexfuse.indexpca_diment(["zz"])
    with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
        model.fit(table)
    assert sorted(vars(model)) == ["abnormal_index", "k", "pca", "scale_method", "schema"]


def test_sub_dimension_without_weight_keeps_none(table):
    model = indexfuse.indexpca_diment({"A": {"a1": ["a"], "a2": ["zz"]}, "B": ["c"]})
    model.fit(table)
    assert model.dim_weight["A"]["a2"] is None
    assert indexfuse_tools.weights(model).sum() == pytest.approx(1)
    composite, values = model.score(table)
    want = values["A"]["a1"] * model.dim_weight["A"]["a1"] + values["B"] * model.dim_weight["B"]
    pd.testing.assert_series_equal(composite, want)


def test_all_missing_row_gets_nan_and_partly_missing_row_the_rest(table):
    model = indexfuse.indexpca_diment({"A": ["a", "b"], "B": ["c"]})
    model.fit(table)
    holes = table.copy()
    holes.loc[0, ["a", "b"]] = np.nan
    holes.loc[1, "a"] = np.nan
    _, full = model.score(table)
    composite, values = model.score(holes)
    assert np.isnan(values["A"][0]) and np.isnan(composite[0])
    record = model.index_coef["A"]["b"]
    only_b = (table.loc[1, "b"] - record["min"]) / (record["max"] - record["min"]) * record["coef"]
    assert values["A"][1] == pytest.approx(only_b)
    pd.testing.assert_series_equal(values["A"][2:], full["A"][2:])


@pytest.mark.parametrize("method, stand_in", [("max_min", "min"), ("z_score", "mean")])
def test_a_missing_value_scores_as_the_training_minimum_or_mean(table, method, stand_in):
    model = indexfuse.indexpca_diment({"A": ["a", "b"]}, scale_method=method)
    model.fit(table)
    holes = table.copy()
    holes.loc[3, "a"] = np.nan
    filled = holes.fillna({"a": getattr(table["a"], stand_in)()})
    assert model.score(holes)[0][3] == pytest.approx(model.score(filled)[0][3], abs=1e-12)


def test_score_scale_rescales_dimension_values_not_the_composite(table):
    model = indexfuse.indexpca_diment({"A": ["a", "b"], ("B", -1): ["c"]})
    model.fit(table)
    composite, values = model.score(table, scale=(0, 100))
    for value in values.values():
        assert value.min() == 0 and value.max() == 100
    w = model.dim_weight
    pd.testing.assert_series_equal(composite, values["A"] * w["A"] - values[("B", -1)] * w[("B", -1)])
    assert composite.max() < 100


def test_moves_example_prints_what_the_editions_page_shows(tmp_path):
    target = tmp_path / "moves.html"
    result = _run("examples/moves.py", str(target))
    assert result.returncode == 0 and result.stderr == "", result.stderr
    shown = result.stdout.replace(str(target), "examples/output/moves-report.html")
    assert shown == _page_blocks("editions.md", "output")["examples/moves.py"]
    assert "beyond the method's uncertainty" in target.read_text()


def test_measurement_error_example_prints_what_the_robustness_page_shows():
    result = _run("examples/measurement_error.py")
    assert result.returncode == 0 and result.stderr == "", result.stderr
    assert result.stdout == _page_blocks("robustness.md", "output")["examples/measurement_error.py"]
