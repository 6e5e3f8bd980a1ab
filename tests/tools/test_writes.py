"""Files the package writes: whole or not at all, never over the report they
belong to, and spreadsheets that take any label."""

from __future__ import annotations

import builtins
import errno
import io
import os
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import indexfuse
import indexfuse_tools
from indexfuse_tools._cli import main
from indexfuse_tools._core import write_excel

pytest.importorskip("matplotlib")
openpyxl = pytest.importorskip("openpyxl")

SCHEMA = {"economy": ["gdp", "jobs"], "safety": [("crime", -1)]}


def _data(index=None) -> pd.DataFrame:
    rng = np.random.default_rng(7)
    rows = 12 if index is None else len(index)
    values = rng.normal(size=(rows, 3)) + np.arange(rows)[:, None] * 0.3
    return pd.DataFrame(values, columns=["gdp", "jobs", "crime"], index=index or [f"u{i}" for i in range(rows)])


@pytest.fixture(scope="module")
def fitted():
    data = _data()
    model = indexfuse.indexpca_diment(SCHEMA)
    model.fit(data)
    return model, data


@pytest.fixture(scope="module")
def analysis(fitted):
    pytest.importorskip("SALib")
    _, data = fitted
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", indexfuse_tools.RobustnessWarning)
        return indexfuse_tools.robustness(
            SCHEMA, data, n=4, factors={"scale_method": None, "weight_noise": 0.25}, scheduler=1, progress=False
        )


class _FullDisk:
    """A file in a folder whose disk fills up after ``room`` bytes: a write past them stores what fits and fails."""

    def __init__(self, handle, room):
        self._handle, self._room = handle, room

    def write(self, data):
        if len(data) > self._room:
            self._handle.write(data[: self._room])
            self._room = 0
            self._handle.flush()
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        self._room -= len(data)
        return self._handle.write(data)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self._handle.close()

    def __iter__(self):
        return iter(self._handle)

    def __getattr__(self, name):
        return getattr(self._handle, name)


@pytest.fixture
def full_disk(monkeypatch):
    """``fill(folder, room)``: from then on, a file opened for writing in ``folder`` takes ``room`` bytes at most."""

    def fill(folder: Path, room: int) -> None:
        real_open = io.open

        def opened(file, mode="r", *args, **kwargs):
            handle = real_open(file, mode, *args, **kwargs)
            inside = isinstance(file, (str, os.PathLike)) and Path(os.fspath(file)).resolve().parent == folder
            return _FullDisk(handle, room) if inside and any(m in mode for m in "wax") else handle

        monkeypatch.setattr(io, "open", opened)
        monkeypatch.setattr(builtins, "open", opened)

    return fill


def _report(fitted, analysis, path):
    model, data = fitted
    indexfuse_tools.report(model, data, path, title="Good")


def _audit_workbook(fitted, analysis, path):
    model, data = fitted
    indexfuse_tools.audit(model, data).to_excel(path)


def _model_file(fitted, analysis, path):
    indexfuse_tools.dump(fitted[0], path)


def _analysis_file(fitted, analysis, path):
    analysis.save(path)


# A zip file that fails to close tries again when it is collected.
@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
@pytest.mark.parametrize(
    "write",
    [_report, _audit_workbook, _model_file, _analysis_file],
    ids=["report", "Audit.to_excel", "dump", "RobustnessResult.save"],
)
def test_a_write_that_fails_part_way_leaves_the_old_file(request, fitted, tmp_path, full_disk, write):
    target = tmp_path / "published"
    target.write_bytes(b"the file published last year\n" * 100)
    full_disk(tmp_path.resolve(), 200)
    with pytest.raises(OSError, match="No space left"):
        write(fitted, request.getfixturevalue("analysis") if write is _analysis_file else None, target)
    assert target.read_bytes() == b"the file published last year\n" * 100
    assert [path.name for path in tmp_path.iterdir()] == ["published"]  # no temporary file left behind


@pytest.mark.parametrize("spelling", ["same", "relative", "symlink", "dotted"])
def test_report_refuses_to_write_the_explorer_over_itself(fitted, tmp_path, monkeypatch, spelling):
    model, data = fitted
    report = tmp_path / "index.html"
    report.write_text("the published report")
    monkeypatch.chdir(tmp_path)
    if spelling == "symlink":
        (tmp_path / "link.html").symlink_to(report)
    explorer = {
        "same": report,
        "relative": Path("index.html"),
        "symlink": tmp_path / "link.html",
        "dotted": tmp_path / "sub" / ".." / "index.html",
    }[spelling]
    with pytest.raises(ValueError, match="explorer=.*is the report's own file"):
        indexfuse_tools.report(model, data, report, explorer=explorer)
    assert report.read_text() == "the published report"


# ----------------------------------------------------------- spreadsheets --

CONTROLS = {"form feed": "\x0c", "NUL": "\x00", "escape": "\x1b"}


@pytest.mark.parametrize("name, control", list(CONTROLS.items()))
def test_a_workbook_shows_a_control_character_of_a_label_as_its_symbol(tmp_path, name, control):
    table = pd.DataFrame(
        {f"gdp{control}": [1.0, 2.0], "region": [f"North{control}", "=1+1"]},
        index=pd.Index([f"a{control}b", "c"], name=f"unit{control}"),
    )
    path = tmp_path / "t.xlsx"
    with pytest.warns(UserWarning, match=r"4 label\(s\) or cell\(s\) held control characters") as caught:
        write_excel(path, {"Sheet1": (table, True)})
    assert repr(f"a{control}b") in str(caught[0].message)  # the label as it was, escaped
    symbol = chr(0x2400 + ord(control))
    sheet = openpyxl.load_workbook(path)["Sheet1"]
    rows = [[cell.value for cell in row] for row in sheet.iter_rows()]
    assert rows[0] == [f"unit{symbol}", f"gdp{symbol}", "region"]
    assert rows[1] == [f"a{symbol}b", 1, f"North{symbol}"]
    assert sheet["C3"].data_type == "s"  # still text, not a formula


def test_prepare_writes_a_workbook_of_labels_with_control_characters(tmp_path, monkeypatch, capsys):
    data = _data([f"unit\x0c{i}" if i % 2 else f"unit\x1b{i}" for i in range(12)])
    data.index.name = "unit"
    data.to_csv(tmp_path / "table.csv")
    (tmp_path / "schema.toml").write_text('economy = ["gdp", "jobs"]\nsafety = ["crime:-1"]\n')
    monkeypatch.chdir(tmp_path)
    status = main(["prepare", "table.csv", "--schema", "schema.toml", "--id", "unit",
                   "-o", "x.xlsx", "--preparation-out", "p.json"])  # fmt: skip
    err = capsys.readouterr().err
    assert status == 0 and "12 label(s) or cell(s) held control characters" in err
    written = pd.read_excel(tmp_path / "x.xlsx", index_col=0)
    assert written.index[:2].tolist() == ["unit␛0", "unit␌1"]
    assert np.allclose(written.to_numpy(), data.to_numpy())
