"""Data treatment on the command line: ``prepare``, ``--preparation`` on the
commands that fit, score and report, and ``check``'s advice worded for a shell."""

from __future__ import annotations

import unicodedata

import numpy as np
import pandas as pd
import pytest

from indexfuse_tools import check
from indexfuse_tools._cli import main

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
