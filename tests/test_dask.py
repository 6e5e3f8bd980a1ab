"""Scoring a partitioned Dask table gives the scores of the whole table in memory."""

from __future__ import annotations

import importlib
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

dd = pytest.importorskip("dask.dataframe")
sm = pytest.importorskip("statsmodels.api")

import indexfuse  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]

@pytest.fixture(scope="module")
def example():
    # Imported as a module, from a path that spawned worker processes inherit.
    sys.path.insert(0, str(ROOT / "examples"))
    try:
        yield importlib.import_module("dask_scoring")
    finally:
        sys.path.remove(str(ROOT / "examples"))
        sys.modules.pop("dask_scoring", None)


@pytest.fixture(scope="module")
def health():
    return sm.datasets.randhie.load_pandas().data


@pytest.fixture(scope="module")
def model(example, health):
    fitted = indexfuse.indexpca_diment(example.SCHEMA)
    fitted.fit(health.sample(2000, random_state=1))
    return fitted


def _in_memory(model, table):
    composite, _ = model.score(table)
    return composite.rename("score")


@pytest.mark.parametrize("partitions", [1, 3, 8, 25])
def test_partitioned_scores_equal_in_memory_scores(example, model, health, partitions):
    table = dd.from_pandas(health, npartitions=partitions)
    scores = example.score_dask(table, model)
    assert scores.npartitions == table.npartitions
    got = scores.compute(scheduler="threads")
    pd.testing.assert_series_equal(got, _in_memory(model, health), check_exact=True)


def test_scores_cross_process_boundaries(example, model, health):
    # The processes scheduler really ships the pickled model to other interpreters.
    table = dd.from_pandas(health.iloc[:4000], npartitions=4)
    got = example.score_dask(table, model).compute(scheduler="processes", num_workers=2)
    pd.testing.assert_series_equal(got, _in_memory(model, health.iloc[:4000]), check_exact=True)


def test_missing_values_and_a_shuffled_index_survive_partitioning(example, model, health):
    table = health.sample(3000, random_state=2).copy()
    table.index = [f"person-{i}" for i in table.index]
    table = table.sort_index()
    table.iloc[::7, table.columns.get_loc("disea")] = np.nan
    table.iloc[::11, [table.columns.get_loc(c) for c in ("physlm", "disea", "hlthf", "hlthp")]] = np.nan
    got = example.score_dask(dd.from_pandas(table, npartitions=6), model).compute(scheduler="sync")
    want = _in_memory(model, table)
    # Dask may turn string labels into its own string dtype; the labels stay the same.
    pd.testing.assert_series_equal(got, want, check_exact=True, check_index_type=False)
    assert want.isna().sum() == len(table.iloc[::11])


def test_meta_is_a_float_score(example, model, health):
    scores = example.score_dask(dd.from_pandas(health.iloc[:100], npartitions=2), model)
    assert scores.dtype == np.float64 and scores.name == "score"


def test_example_main_scores_every_row(example, capsys):
    scores = example.main(partitions=5, sample_size=1500, scheduler="sync")
    assert len(scores) == 20190 and scores.notna().all()
    assert "20190 rows scored in 5 partitions" in capsys.readouterr().out


def test_example_script_runs_with_worker_processes():
    result = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "dask_scoring.py"), "processes"],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stderr
    assert "20190 rows scored in 8 partitions" in result.stdout
    assert result.stderr == ""
