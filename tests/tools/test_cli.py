"""The command line on the statecrime table: its main uses end to end through
subprocesses, bad input and help in process; and the schema files it reads."""

from __future__ import annotations

import io
import json
import math
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm

import indexfuse
import indexfuse_tools
from indexfuse_tools._cli import InputError, main, read_schema


SCHEMA = {
    "safety": [("violent", -1), ("murder", -1)],
    "opportunity": {"education": ["hs_grad"], ("hardship", -1): ["poverty", "single"]},
}
TOML = """\
safety = ["violent:-1", {label = "murder", direction = -1}]

[opportunity]
education = ["hs_grad"]
"hardship:-1" = ["poverty", "single"]
"""
COMMANDS = ("check", "prepare", "fit", "score", "report", "robustness", "weights")


def _cli(*args, cwd):
    return subprocess.run(
        [sys.executable, "-m", "indexfuse_tools", *map(str, args)],
        cwd=cwd, capture_output=True, text=True, timeout=300,
    )  # fmt: skip


@pytest.fixture(scope="module")
def work(tmp_path_factory):
    """The statecrime table as CSV (state names in the first column) and both schema files."""
    folder = tmp_path_factory.mktemp("cli")
    data = sm.datasets.statecrime.load_pandas().data
    data.to_csv(folder / "statecrime.csv")
    (folder / "schema.toml").write_text(TOML)
    (folder / "schema.json").write_text(json.dumps(indexfuse_tools.to_dict(_model(data))["schema"]))
    return folder, data


def _model(data):
    model = indexfuse.indexpca_diment(SCHEMA)
    model.fit(data)
    return model


@pytest.fixture(scope="module")
def fitted(work):
    folder, _ = work
    result = _cli("fit", "statecrime.csv", "--schema", "schema.toml", "-o", "model.json", cwd=folder)
    assert result.returncode == 0, result.stderr
    return folder / "model.json"


def test_fit_writes_the_model_the_library_fits(work, fitted):
    _, data = work
    loaded = indexfuse_tools.load(fitted)
    assert loaded.schema == SCHEMA
    pd.testing.assert_series_equal(loaded.score(data)[0], _model(data).score(data)[0])


@pytest.mark.parametrize("schema", ["schema.toml", "schema.json"])
def test_check_reads_both_schema_formats(work, schema):
    folder, _ = work
    result = _cli("check", "statecrime.csv", "--schema", schema, cwd=folder)
    assert (result.returncode, result.stdout, result.stderr) == (0, "no problems found\n", "")


def test_check_lists_problems_and_fails_on_errors(work):
    folder, _ = work
    (folder / "typo.toml").write_text('safety = ["violent:-1", "murdr:-1"]\n')
    result = _cli("check", "statecrime.csv", "--schema", "typo.toml", cwd=folder)
    assert result.returncode == 1
    assert "error: " in result.stdout and "murdr" in result.stdout and "murder" in result.stdout


def test_fit_at_a_resolution(work, tmp_path):
    folder, _ = work
    target = tmp_path / "model.json"
    assert main(["fit", str(folder / "statecrime.csv"), "--schema", str(folder / "schema.toml"),
                 "--resolution", "0.01", "-o", str(target)]) == 0  # fmt: skip
    assert indexfuse_tools.load(target).min_ent == pytest.approx(math.log(0.01))


@pytest.mark.parametrize("suffix", [".csv", ".parquet", ".xlsx"])
def test_score_reads_every_table_format(work, fitted, tmp_path, suffix):
    folder, data = work
    table = tmp_path / f"statecrime{suffix}"
    {".csv": data.to_csv, ".parquet": data.to_parquet, ".xlsx": data.to_excel}[suffix](table)
    result = _cli("score", table, "--model", fitted, cwd=folder)
    assert result.returncode == 0, result.stderr
    scores = pd.read_csv(io.StringIO(result.stdout), index_col="state")
    want = indexfuse_tools.results(indexfuse_tools.load(fitted), data)
    np.testing.assert_allclose(
        scores[want.columns].to_numpy(dtype=float), want.to_numpy(dtype=float), rtol=1e-12
    )


def test_report_from_the_schema(work, tmp_path):
    folder, _ = work
    target = tmp_path / "report.html"
    result = _cli("report", "statecrime.csv", "--schema", "schema.toml", "-o", target, "--external", "urban",
                  "--title", "Wellbeing", cwd=folder)  # fmt: skip
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"report written to {target}\n"
    text = target.read_text()
    assert "<title>Wellbeing</title>" in text and 'id="links"' in text and "Alabama" in text


def test_robustness_writes_rank_intervals(work, tmp_path):
    folder, data = work
    target = tmp_path / "ranks.csv"
    result = _cli("robustness", "statecrime.csv", "--schema", "schema.toml", "-n", "16", "--quiet",
                  "--ranks", target, cwd=folder)  # fmt: skip
    assert result.returncode == 0, result.stderr
    assert "exclude" in result.stdout  # the sensitivity table
    # small n: one warning line of the command's own, then where the ranks went
    assert result.stderr.splitlines()[0].startswith("python -m indexfuse_tools: warning: Sobol indices")
    ranks = pd.read_csv(target, index_col="state")
    assert list(ranks.index) == list(data.index)
    assert ((ranks["p5"] <= ranks["median"]) & (ranks["median"] <= ranks["p95"])).all()


def test_robustness_takes_the_values_errors_as_python_does(work, tmp_path, capsys):
    folder, data = work
    table = data.assign(poverty_moe=data["poverty"] * 0.08)
    table.to_csv(tmp_path / "errors.csv")
    target = tmp_path / "ranks.csv"
    assert main([
        "robustness", str(tmp_path / "errors.csv"), "--schema", str(folder / "schema.toml"), "-n", "12", "--quiet",
        "--method", "uncertainty", "--workers", "1", "--error", "poverty=poverty_moe", "--error", "murder=0.1",
        "--confidence", "0.9", "--factors", "scale_method", "--ranks", str(target),
    ]) == 0  # fmt: skip
    want = indexfuse_tools.robustness(
        SCHEMA, pd.read_csv(tmp_path / "errors.csv", index_col="state"), method="uncertainty", n=12, scheduler=1,
        progress=False, factors={"scale_method": None}, errors={"poverty": "poverty_moe", "murder": 0.1},
        confidence=0.9,
    )  # fmt: skip
    ranks = pd.read_csv(target, index_col="state")
    np.testing.assert_array_equal(ranks[list(want.ranks.columns)].to_numpy(), want.ranks.to_numpy())


@pytest.mark.parametrize(
    "options, message",
    [
        (["--error", "poverty"], "INDICATOR=COLUMN or INDICATOR=FRACTION"),
        (["--error", "poverty=poverty_sd"], "'poverty_sd' is neither a column of the table nor a relative error"),
        (["--error", "poverty=-0.1"], "error of 'poverty'.*positive finite"),
        (["--confidence", "0.9"], "give --error too"),
    ],
)
def test_bad_errors_on_the_command_line_are_named(work, capsys, options, message):
    folder, _ = work
    code = main(["robustness", str(folder / "statecrime.csv"), "--schema", str(folder / "schema.toml"), "-n", "4",
                 "--quiet", "--method", "uncertainty", *options])  # fmt: skip
    assert code != 0
    assert re.search(message, capsys.readouterr().err)


def test_weights_prints_the_review_and_writes_its_tables_and_report(work, fitted, tmp_path, capsys):
    folder, data = work
    tables, page = tmp_path / "weights.xlsx", tmp_path / "weights.html"
    status = main(["weights", str(folder / "statecrime.csv"), "--model", str(fitted), "-n", "12", "--quiet",
                   "--workers", "1", "-o", str(tables), "--report", str(page)])  # fmt: skip
    out, err = capsys.readouterr()
    assert status == 0, err
    review = indexfuse_tools.weight_uncertainty(SCHEMA, data, n=12, scheduler=1)
    assert out == f"{review}\n"  # the model file's own settings: the same review as the library's
    assert err == f"tables written to {tables}\nreport written to {page}\n"
    assert pd.read_excel(tables, sheet_name=None).keys() == {"summary", *review.tables()}
    assert 'id="trust"' in page.read_text(encoding="utf-8")


@pytest.mark.parametrize(
    "args, phrase",
    [
        (["weights", "statecrime.csv", "--schema", "schema.toml", "-n", "1"], "-n 1: the resamples are from 2"),
        (["weights", "statecrime.csv", "--schema", "schema.toml", "--level", "90"], "--level 90: the coverage"),
        (["weights", "statecrime.csv", "--schema", "schema.toml", "-o", "w.csv"], "name a .xlsx file"),
        (["fit", "missing.csv", "--schema", "schema.toml"], "missing.csv: no such file"),
        (["fit", "statecrime.dat", "--schema", "schema.toml"], "cannot tell the format"),
        (["fit", "statecrime.csv", "--schema", "broken.toml"], "broken.toml"),
        (["fit", "statecrime.csv", "--schema", "typo.toml"], "murdr"),
        (["score", "statecrime.csv"], "give the schema (--schema FILE) or a fitted model"),
        (["score", "statecrime.csv", "--model", "schema.toml"], "not valid JSON"),
        (["report", "statecrime.csv", "--schema", "schema.toml", "-o", "r.html", "--external", "gdp"], "gdp"),
        (["fit", "statecrime.csv", "--schema", "schema.toml", "--id", "name"], "no column 'name'"),
        (["fit", "repeats.csv", "--schema", "schema.toml", "--id", "name"], "whose values are unique"),
    ],
)
def test_bad_input_fails_with_one_line(work, args, phrase, monkeypatch, capsys):
    folder, _ = work
    (folder / "broken.toml").write_text("safety = [\n")
    (folder / "typo.toml").write_text('safety = ["violent:-1", "murdr:-1"]\n')
    (folder / "statecrime.dat").write_text("")
    (folder / "repeats.csv").write_text("name,violent,murder\na,1,2\na,2,3\nb,3,1\n")
    monkeypatch.chdir(folder)
    status = main(args)
    out, err = capsys.readouterr()
    assert status == 2 and out == ""
    assert err.count("\n") == 1 and err.startswith("indexfuse: error: ")
    assert phrase in err


@pytest.mark.parametrize("command", COMMANDS)
def test_help_of_every_command(command, capsys):
    with pytest.raises(SystemExit) as exited:
        main([command, "--help"])
    assert exited.value.code == 0 and capsys.readouterr().out.startswith(f"usage: indexfuse {command} ")


def test_console_script_is_installed():
    script = Path(sys.executable).with_name("indexfuse")
    result = subprocess.run([script, "--help"], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0 and all(command in result.stdout for command in COMMANDS)


@pytest.mark.parametrize(
    "text, schema",
    [
        ('a = ["x:-1", "y", "z:+2", "w: -0.5"]', {"a": [("x", -1), "y", ("z", 2), ("w", -0.5)]}),
        ('a = [{label = "x", direction = -1}, {label = "ratio:2"}]', {"a": [("x", -1), "ratio:2"]}),
        ('[a]\n"b:-1" = ["x"]\nc = ["y"]', {"a": {("b", -1): ["x"], "c": ["y"]}}),
        ('a = ["rate:per:1e3"]', {"a": [("rate:per", 1000.0)]}),
        ('a = ["gdp: ppp"]', {"a": ["gdp: ppp"]}),
    ],
)
def test_toml_directions(tmp_path, text, schema):
    path = tmp_path / "schema.toml"
    path.write_text(text)
    assert repr(read_schema(path)) == repr(schema)  # -1 stays an int, -0.5 a float


@pytest.mark.parametrize(
    "name, text, phrase",
    [
        ("s.toml", 'a = [{name = "x"}]', "holds label and, optionally, direction"),
        ("s.json", '{"a": [{"$tuple": ["x", -1]}], "a": []}', "has that key twice"),
        ("s.yaml", "a: [x]", "is .json or .toml"),
    ],
)
def test_unreadable_schemas(tmp_path, name, text, phrase):
    path = tmp_path / name
    path.write_text(text)
    with pytest.raises(InputError, match=phrase):
        read_schema(path)
